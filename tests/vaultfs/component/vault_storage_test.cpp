#include "vaultfs/vault_storage.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "vaultfs/storage_time.h"
#include "vaultfs/utf16.h"
#include "vaultfs/vault_stream.h"
#include "support/memory_host_files.h"
#include "support/storage_host_files.h"
#include "support/vault_errors.h"

namespace vaultfs {
namespace {

using testing::AttachHostFiles;
using testing::ExpectVaultError;
using testing::MemoryHostFiles;

constexpr double kOneMinute = 1.0 / 1440.0;

// Sets TZ for the life of the object, so that local time differs from UTC
// by a known amount.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = ::getenv("TZ")) {
      hadOld_ = true;
      old_ = old;
    }
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (hadOld_) {
      ::setenv("TZ", old_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  bool hadOld_ = false;
  std::string old_;
};

// A fault thrown by an event handler; it must reach the caller unchanged.
struct HandlerFault {
  int id = 0;
};

class VaultStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-vault-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::u16string PathOf(const std::string& name) const { return Utf8ToUtf16(dir_ + "/" + name); }
  void WriteDiskFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
  }
  // A new container with one directory in it, closed again.
  void MakeContainer(const std::u16string& fileName, const std::u16string& password = u"",
                     TVaultEncryption encryption = ecNoEncryption) const {
    TVaultStorage storage;
    storage.SetFileName(fileName);
    storage.SetStorageEncryption(encryption);
    storage.SetStoragePassword(password);
    storage.Open(1);
    storage.CreateDirectory(u"\\kept");
    storage.Close();
  }

  std::string dir_;
};

// ---------------------------------------------------------------------------
// Open and close

TEST_F(VaultStorageTest, OpenModesDecideByTheDiskFile) {
  WriteDiskFile("junk.vault", std::string(5000, 'x'));
  TVaultStorage storage;
  storage.SetFileName(PathOf("junk.vault"));
  try {
    storage.Open(0);
    ADD_FAILURE() << "mode 0 opened an existing file";
  } catch (const EFilerError& error) {
    EXPECT_STREQ(error.what(), "File already exists");
  }
  EXPECT_FALSE(storage.Active());
  EXPECT_EQ(storage.Handle(), nullptr);

  // Mode 1 replaces the file with a new container.
  storage.Open(1);
  EXPECT_TRUE(storage.Active());
  storage.CreateDirectory(u"\\made");
  storage.Close();
  EXPECT_TRUE(storage.IsValidStorage());

  // Mode 2 opens what is there; mode 0 on a missing file creates.
  storage.Open(2);
  EXPECT_TRUE(storage.FileExists(u"\\made"));
  storage.Close();

  storage.SetFileName(PathOf("missing.vault"));
  try {
    storage.Open(2);
    ADD_FAILURE() << "mode 2 created a missing file";
  } catch (const EFilerError& error) {
    EXPECT_STREQ(error.what(), "File not found");
  }
  EXPECT_FALSE(storage.Active());
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing.vault"));
  ExpectVaultError([&] { storage.Open(3); }, errInvalidParameter);

  storage.Open(0);
  EXPECT_TRUE(storage.Active());
  EXPECT_FALSE(storage.FileExists(u"\\made"));
}

TEST_F(VaultStorageTest, FileEventsOpenTheContainerTheyPresent) {
  MemoryHostFiles files;
  int containerCreates = 0;
  auto attach = [&](TVaultStorage& storage) {
    AttachHostFiles(storage, files, /*withDelete=*/false);
    const HostFileCallbacks cb = files.Callbacks();
    storage.SetOnFileCreate([&containerCreates, cb](TVaultStorage&, const std::u16string& name,
                                                    std::uint32_t& handle, bool overwrite,
                                                    bool journal, std::int32_t& result) {
      if (!journal) ++containerCreates;
      result = cb.OnFileCreate(cb.UserData, name, handle, overwrite, journal);
    });
    storage.SetFileName(u"memory.vault");
  };
  {
    TVaultStorage storage;
    attach(storage);
    storage.Open(1);
    storage.CreateDirectory(u"\\kept");
    storage.Close();
  }
  EXPECT_EQ(containerCreates, 1);
  EXPECT_EQ(files.OpenHandleCount(), 0u);
  EXPECT_FALSE(std::filesystem::exists("memory.vault"));

  // Mode 0 with file events opens: the component cannot look at the file.
  TVaultStorage storage;
  attach(storage);
  storage.Open(0);
  EXPECT_EQ(containerCreates, 1);
  EXPECT_TRUE(storage.FileExists(u"\\kept"));
  EXPECT_TRUE(storage.IsValidStorage());
  storage.Close();
  EXPECT_EQ(files.OpenHandleCount(), 0u);
}

TEST_F(VaultStorageTest, IncompleteEventGroupNamesTheLastMissingMember) {
  const auto noFile = [](TVaultStorage&, std::uint32_t, std::int32_t&) {};
  struct Case {
    std::function<void(TVaultStorage&)> assign;
    const char* message;
  };
  const Case cases[] = {
      {[](TVaultStorage& s) {
         s.SetOnFileCreate([](TVaultStorage&, const std::u16string&, std::uint32_t&, bool, bool,
                              std::int32_t&) {});
       },
       "Event 'OnWriteFile' not defined\r\nIf you have defined one of the file events,\r\n"
       "you must define all that events"},
      {[&](TVaultStorage& s) {
         s.SetOnFileFlush(noFile);
         s.SetOnFileWrite(
             [](TVaultStorage&, std::uint32_t, const void*, std::uint32_t, std::int32_t&) {});
       },
       "Event 'OnReadFile' not defined\r\nIf you have defined one of the file events,\r\n"
       "you must define all that events"},
      {[](TVaultStorage& s) {
         s.SetOnDataEncrypt([](TVaultStorage&, const void*, std::uint32_t, void*, std::uint32_t,
                               std::uint32_t, std::uint32_t, std::int32_t&) {});
       },
       "Event 'OnValidateHash' not defined\r\nIf you have defined one of the encryption "
       "events,\r\nyou must define all that events"},
      {[](TVaultStorage& s) {
         s.SetOnCompress([](TVaultStorage&, const void*, std::uint32_t, void*, std::uint32_t&,
                            std::int32_t, std::int32_t&) {});
       },
       "Event 'OnDecompressData' not defined\r\nIf you have defined one of the compression "
       "events,\r\nyou must define all that events"},
  };
  for (const Case& c : cases) {
    TVaultStorage storage;
    storage.SetFileName(PathOf("events.vault"));
    c.assign(storage);
    try {
      storage.Open(1);
      ADD_FAILURE() << "opened with an incomplete group: " << c.message;
    } catch (const EVaultError& error) {
      EXPECT_STREQ(error.what(), c.message);
      EXPECT_EQ(error.ErrorCode, 0);
    }
    EXPECT_FALSE(storage.Active());
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/events.vault"));
  }
}

TEST_F(VaultStorageTest, CloseIsHarmlessAndDestructionCloses) {
  TVaultStorage closed;
  EXPECT_NO_THROW(closed.Close());
  EXPECT_EQ(closed.GetLastAccessTime(), 0);
  EXPECT_EQ(closed.GetLastModificationTime(), 0);
  {
    TVaultStorage open;
    open.SetFileName(PathOf("left.vault"));
    open.Open(1);
    open.CreateDirectory(u"\\written");
  }
  // Only a proper close makes the directory visible to the next open.
  TVaultStorage again;
  again.SetFileName(PathOf("left.vault"));
  again.Open(2);
  EXPECT_TRUE(again.FileExists(u"\\written"));
}

TEST_F(VaultStorageTest, OperationsCheckTheState) {
  TVaultStorage storage;
  storage.SetFileName(PathOf("state.vault"));
  const std::function<void()> needOpen[] = {
      [&] { storage.FileExists(u"\\a"); },       [&] { storage.GetFreeSpace(); },
      [&] { storage.CreateDirectory(u"\\a"); },  [&] { storage.OpenRootStream(); },
      [&] { storage.SetStorageSize(1 << 20); },  [&] { storage.ReopenFile(); },
      [&] { storage.GetFileEncryption(u"\\"); },
  };
  for (const auto& action : needOpen) ExpectVaultError(action, errStorageNotActive);

  storage.Open(1);
  const std::function<void()> needClosed[] = {
      [&] { storage.Open(2); },
      [&] { storage.CheckAndRepair(0); },
      [&] { storage.Format(1 << 20, 0); },
  };
  for (const auto& action : needClosed) ExpectVaultError(action, errStorageActive);
  EXPECT_TRUE(storage.Active());
}

// ---------------------------------------------------------------------------
// Properties

TEST_F(VaultStorageTest, ClosedOnlySettersRefuseWhileOpenAndKeepTheValue) {
  TVaultStorage storage;
  storage.SetFileName(PathOf("setters.vault"));
  storage.SetPageSize(4096);
  storage.Open(1);
  struct Case {
    const char* name;
    std::function<void()> set;
    std::function<bool()> unchanged;
  };
  const std::u16string fileName = storage.FileName();
  const Case cases[] = {
      {"ReadOnly", [&] { storage.SetReadOnly(true); }, [&] { return !storage.ReadOnly(); }},
      {"PageSize", [&] { storage.SetPageSize(1024); }, [&] { return storage.PageSize() == 4096; }},
      {"FileName", [&] { storage.SetFileName(u"other"); },
       [&] { return storage.FileName() == fileName; }},
      {"PathSeparator", [&] { storage.SetPathSeparator(u'/'); },
       [&] { return storage.PathSeparator() == u'\\'; }},
      {"UseTransactions", [&] { storage.SetUseTransactions(true); },
       [&] { return !storage.UseTransactions(); }},
      {"UseAccessTime", [&] { storage.SetUseAccessTime(true); },
       [&] { return !storage.UseAccessTime(); }},
      {"CaseSensitive", [&] { storage.SetCaseSensitive(false); },
       [&] { return storage.CaseSensitive(); }},
      {"OnFileDelete",
       [&] {
         storage.SetOnFileDelete([](TVaultStorage&, const std::u16string&, std::int32_t&) {});
       },
       [&] { return !storage.OnFileDelete(); }},
      {"OnHashCalculate",
       [&] {
         storage.SetOnHashCalculate(
             [](TVaultStorage&, const void*, std::uint32_t, void*, std::int32_t&) {});
       },
       [&] { return !storage.OnHashCalculate(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectVaultError(c.set, errStorageActive);
    EXPECT_TRUE(c.unchanged());
  }

  // These apply to what is created later and change freely.
  storage.SetCompression(crZLib);
  storage.SetCompressionLevel(9);
  storage.SetFilesEncryption(ecAES256_HMAC256);
  storage.SetFilesPassword(u"pw");
  storage.SetStorageEncryption(ecAES256_SHA256);
  storage.SetOnProgress([](TVaultStorage&, const std::u16string&, TProgressOperation, std::uint32_t,
                           std::uint32_t, bool, bool&) {});
  EXPECT_EQ(storage.Compression(), crZLib);
  EXPECT_EQ(storage.CompressionLevel(), 9u);
  EXPECT_TRUE(storage.Active());
}

TEST_F(VaultStorageTest, EngineSettersWhileOpen) {
  TVaultStorage storage;
  storage.SetFileName(PathOf("engine.vault"));
  storage.Open(1);

  storage.SetAutoCompact(40);
  std::uint32_t percent = 0;
  ASSERT_EQ(StorageGetAutoCompact(storage.Handle(), percent), 0);
  EXPECT_EQ(percent, 40u);
  EXPECT_EQ(storage.AutoCompact(), 40u);

  // The engine refuses 0; the new value stays stored all the same.
  ExpectVaultError([&] { storage.SetBuffering(0); }, errInvalidParameter);
  EXPECT_EQ(storage.Buffering(), 0u);
  // The engine's value is 16 bits wide: a larger one must not wrap to 1.
  ExpectVaultError([&] { storage.SetBuffering(0x10001); }, errInvalidParameter);
  std::uint16_t buffering = 0;
  ASSERT_EQ(StorageGetBuffering(storage.Handle(), buffering), 0);
  EXPECT_EQ(buffering, 1u);
  storage.SetBuffering(4);
  ASSERT_EQ(StorageGetBuffering(storage.Handle(), buffering), 0);
  EXPECT_EQ(buffering, 4u);

  // A wrong storage password is stored and the engine's answer ignored.
  EXPECT_NO_THROW(storage.SetStoragePassword(u"not the password"));
  EXPECT_EQ(storage.StoragePassword(), u"not the password");

  storage.SetLogo(u"Logo of this container");
  storage.Close();
  storage.SetLogo(u"");
  storage.SetStoragePassword(u"");
  storage.Open(2);
  EXPECT_EQ(storage.Logo(), u"Logo of this container");
}

// ---------------------------------------------------------------------------
// Storage encryption and passwords

TEST_F(VaultStorageTest, NewContainerIsEncryptedOnlyWithAPassword) {
  TVaultStorage storage;
  storage.SetFileName(PathOf("plain.vault"));
  storage.SetStorageEncryption(ecAES256_HMAC256);
  storage.Open(1);
  EXPECT_EQ(storage.GetStorageEncryption(), ecNoEncryption);
  storage.Close();

  storage.SetFileName(PathOf("secret.vault"));
  storage.SetStoragePassword(u"correct horse");
  storage.Open(1);
  EXPECT_EQ(storage.GetStorageEncryption(), ecAES256_HMAC256);
  // The engine got the password as the UTF-16LE bytes of its text.
  std::vector<std::uint8_t> littleEndian;
  for (char16_t unit : std::u16string(u"correct horse")) {
    littleEndian.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    littleEndian.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  bool valid = false;
  std::uint32_t mode = 0;
  ASSERT_EQ(StorageCheckPassword(storage.Handle(), littleEndian.data(),
                                 static_cast<std::uint32_t>(littleEndian.size()), valid, mode),
            0);
  EXPECT_TRUE(valid);
  storage.CreateDirectory(u"\\inside");
  storage.Close();

  // A wrong password fails after the container was opened, and leaves it open.
  storage.SetStoragePassword(u"wrong horse");
  ExpectVaultError([&] { storage.Open(2); }, errInvalidPassword);
  EXPECT_TRUE(storage.Active());
  storage.Close();

  storage.SetStoragePassword(u"correct horse");
  storage.Open(2);
  EXPECT_TRUE(storage.FileExists(u"\\inside"));
}

TEST_F(VaultStorageTest, FormatMakesAFixedSizeContainerEncryptedOnlyWithAPassword) {
  TVaultStorage storage;
  storage.SetPageSize(4096);
  storage.SetFileName(PathOf("fixed.vault"));
  std::vector<TProgressOperation> operations;
  storage.SetOnProgress([&](TVaultStorage&, const std::u16string&, TProgressOperation operation,
                            std::uint32_t, std::uint32_t, bool,
                            bool&) { operations.push_back(operation); });
  storage.Format(1 << 20, 0);
  ASSERT_FALSE(operations.empty());
  EXPECT_EQ(operations.front(), 0);
  storage.Open(2);
  EXPECT_TRUE(storage.FixedSize());
  EXPECT_EQ(storage.GetStorageEncryption(), ecNoEncryption);
  EXPECT_EQ(storage.GetStorageSize(), 1 << 20);
  storage.Close();

  // With a storage password the new container is enciphered under it.
  storage.SetFileName(PathOf("fixed-secret.vault"));
  storage.SetStorageEncryption(ecAES256_HMAC256);
  storage.SetStoragePassword(u"fixed horse");
  storage.Format(1 << 20, 0);
  EXPECT_FALSE(storage.Active());
  storage.Open(2);
  EXPECT_EQ(storage.GetStorageEncryption(), ecAES256_HMAC256);
  storage.Close();
  storage.SetStoragePassword(u"other horse");
  ExpectVaultError([&] { storage.Open(2); }, errInvalidPassword);
  storage.Close();

  // A size that cannot hold a volume is refused.
  storage.SetFileName(PathOf("tiny.vault"));
  ExpectVaultError([&] { storage.Format(4096, 0); }, errInvalidParameter);
}

TEST_F(VaultStorageTest, CheckAndRepairAsksForThePasswordUntilItFits) {
  MakeContainer(PathOf("repair.vault"), u"right", ecAES256_HMAC256);
  TVaultStorage storage;
  storage.SetFileName(PathOf("repair.vault"));
  storage.SetStoragePassword(u"wrong");

  // Without the event the wrong password is the answer.
  ExpectVaultError([&] { storage.CheckAndRepair(1); }, errInvalidPassword);

  std::vector<std::int32_t> attempts;
  storage.SetOnPasswordNeeded([&](TVaultStorage& sender, const std::u16string& fileName,
                                  std::int32_t attempt, std::u16string& password, bool& cancel) {
    EXPECT_EQ(&sender, &storage);
    EXPECT_EQ(fileName, storage.FileName());
    attempts.push_back(attempt);
    password = attempt == 1 ? u"right" : u"still wrong";
    cancel = false;
  });
  // The right password passes the check, and the sound container checks clean.
  storage.CheckAndRepair(1);
  EXPECT_EQ(attempts, (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(storage.StoragePassword(), u"wrong");

  attempts.clear();
  storage.SetOnPasswordNeeded([&](TVaultStorage&, const std::u16string&, std::int32_t attempt,
                                  std::u16string&, bool& cancel) {
    attempts.push_back(attempt);
    cancel = attempt == 2;
  });
  ExpectVaultError([&] { storage.CheckAndRepair(1); }, errInvalidPassword);
  EXPECT_EQ(attempts, (std::vector<std::int32_t>{0, 1, 2}));
}

TEST_F(VaultStorageTest, CustomEncryptionRunsThroughTheEvents) {
  // A toy cipher: XOR with the key and the page index; the "hash" is the
  // first 32 bytes of the buffer's byte sums.
  int encrypts = 0;
  int decrypts = 0;
  auto xorData = [](const void* key, std::uint32_t keyLength, void* data, std::uint32_t size,
                    std::uint32_t pageIndex) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    const auto* k = static_cast<const std::uint8_t*>(key);
    for (std::uint32_t i = 0; i < size; ++i) {
      bytes[i] ^= static_cast<std::uint8_t>(k[i % keyLength] + pageIndex);
    }
  };
  auto hashOf = [](const void* buffer, std::uint32_t count, std::uint8_t* hash) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    for (int i = 0; i < 32; ++i) hash[i] = static_cast<std::uint8_t>(i);
    for (std::uint32_t i = 0; i < count; ++i) hash[i % 32] += bytes[i];
  };
  auto attach = [&](TVaultStorage& storage) {
    storage.SetOnDataEncrypt([&](TVaultStorage&, const void* key, std::uint32_t keyLength,
                                 void* data, std::uint32_t size, std::uint32_t, std::uint32_t page,
                                 std::int32_t&) {
      ++encrypts;
      xorData(key, keyLength, data, size, page);
    });
    storage.SetOnDataDecrypt([&](TVaultStorage&, const void* key, std::uint32_t keyLength,
                                 void* data, std::uint32_t size, std::uint32_t, std::uint32_t page,
                                 std::int32_t&) {
      ++decrypts;
      xorData(key, keyLength, data, size, page);
    });
    storage.SetOnHashCalculate(
        [&](TVaultStorage&, const void* buffer, std::uint32_t count, void* hash, std::int32_t&) {
          hashOf(buffer, count, static_cast<std::uint8_t*>(hash));
        });
    storage.SetOnHashValidate([&](TVaultStorage&, const void* buffer, std::uint32_t count,
                                  const void* hash, bool& valid, std::int32_t&) {
      std::uint8_t expected[32];
      hashOf(buffer, count, expected);
      valid = std::memcmp(expected, hash, 32) == 0;
    });
    storage.SetFileName(PathOf("custom.vault"));
  };
  {
    TVaultStorage storage;
    attach(storage);
    storage.SetStorageEncryption(ecCustom256);
    storage.SetStoragePassword(u"custom key");
    storage.Open(1);
    EXPECT_EQ(storage.GetStorageEncryption(), ecCustom256);
    storage.ForceCreateDirectories(u"\\a\\b\\c");
  }
  EXPECT_GT(encrypts, 0);

  TVaultStorage storage;
  attach(storage);
  storage.SetStoragePassword(u"wrong key");
  ExpectVaultError([&] { storage.Open(2); }, errInvalidPassword);
  storage.Close();
  storage.SetStoragePassword(u"custom key");
  storage.Open(2);
  EXPECT_TRUE(storage.FileExists(u"\\a\\b\\c"));
  EXPECT_GT(decrypts, 0);
}

// ---------------------------------------------------------------------------
// Exceptions from event handlers

TEST_F(VaultStorageTest, HandlerExceptionReachesTheCallerAndTheContainerStaysUsable) {
  MemoryHostFiles files;
  bool failWrites = false;
  TVaultStorage storage;
  AttachHostFiles(storage, files);
  const HostFileCallbacks cb = files.Callbacks();
  storage.SetOnFileWrite([&failWrites, cb](TVaultStorage&, std::uint32_t handle, const void* buffer,
                                           std::uint32_t count, std::int32_t& result) {
    if (failWrites) throw HandlerFault{7};
    result = cb.OnFileWrite(cb.UserData, handle, buffer, count);
  });
  storage.SetFileName(u"faulty.vault");
  storage.Open(1);

  failWrites = true;
  try {
    storage.CreateDirectory(u"\\first");
    ADD_FAILURE() << "the handler's exception was lost";
  } catch (const HandlerFault& fault) {
    EXPECT_EQ(fault.id, 7);
  }
  failWrites = false;

  // The engine was told the write failed and stayed in one piece.
  ASSERT_TRUE(storage.Active());
  storage.CreateDirectory(u"\\second");
  storage.Close();
  EXPECT_EQ(files.OpenHandleCount(), 0u);
  storage.Open(2);
  EXPECT_TRUE(storage.FileExists(u"\\second"));

  // Closing never raises, and leaves nothing behind for a later call to raise.
  storage.CreateDirectory(u"\\third");
  failWrites = true;
  EXPECT_NO_THROW(storage.Close());
  failWrites = false;
  EXPECT_FALSE(storage.Active());
  EXPECT_EQ(files.OpenHandleCount(), 0u);
  EXPECT_NO_THROW(storage.IsValidStorage());
}

// A stream's destructor cannot raise, but closing a written file commits it:
// when that fails, the file is not in the container and CloseChecked, which
// callers use to learn that the container is whole, must say so.
TEST_F(VaultStorageTest, AStreamWhoseClosingFailsIsReportedByCloseChecked) {
  for (const bool transactions : {false, true}) {
    SCOPED_TRACE(transactions ? "transactions" : "no transactions");
    MemoryHostFiles files;
    TVaultStorage storage;
    AttachHostFiles(storage, files);
    storage.SetFileName(u"streams.vault");
    storage.SetUseTransactions(transactions);
    storage.Open(1);
    const std::vector<std::uint8_t> data(10000, 0x5A);
    {
      TVaultStream stream(storage, u"\\manifest", fmCreate);
      stream.WriteBuffer(data.data(), static_cast<std::int32_t>(data.size()));
      files.FailWrite(files.WriteCount() + 1, EIO);
    }
    try {
      storage.CloseChecked();
      ADD_FAILURE() << "the failed closing of the stream was not reported";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), EIO) << error.what();
    }
    EXPECT_FALSE(storage.Active());

    // A failure belongs to the opening it happened in.
    storage.Open(2);
    EXPECT_NO_THROW(storage.CloseChecked());
  }
}

TEST_F(VaultStorageTest, HandlerExceptionDuringOpenLeavesNothingOpen) {
  MemoryHostFiles files;
  {
    TVaultStorage maker;
    AttachHostFiles(maker, files);
    maker.SetFileName(u"opened.vault");
    maker.Open(1);
  }
  int reads = 0;
  TVaultStorage storage;
  AttachHostFiles(storage, files);
  const HostFileCallbacks cb = files.Callbacks();
  storage.SetOnFileRead([&reads, cb](TVaultStorage&, std::uint32_t handle, void* buffer,
                                     std::uint32_t count, std::int32_t& result) {
    if (++reads == 2) throw HandlerFault{2};
    result = cb.OnFileRead(cb.UserData, handle, buffer, count);
  });
  storage.SetFileName(u"opened.vault");
  EXPECT_THROW(storage.Open(2), HandlerFault);
  EXPECT_FALSE(storage.Active());
  EXPECT_EQ(storage.Handle(), nullptr);
  EXPECT_EQ(files.OpenHandleCount(), 0u);

  storage.Open(2);
  EXPECT_TRUE(storage.Active());
}

// ---------------------------------------------------------------------------
// Times

TEST_F(VaultStorageTest, LocalTimeIsUtcShiftedByTheCurrentOffset) {
  const ScopedTimeZone zone("XYZ-02");  // two hours east of UTC
  const StorageTime utc = EncodeDateTime(2021, 1, 15, 10, 0, 0, 0);
  EXPECT_NEAR(UtcToLocal(utc), utc + 2.0 / 24.0, 1e-9);
  EXPECT_NEAR(LocalToUtc(UtcToLocal(utc)), utc, 1e-9);
  // The offset of today applies to every date, whatever its season.
  const StorageTime summer = EncodeDateTime(2021, 7, 15, 10, 0, 0, 0);
  EXPECT_NEAR(UtcToLocal(summer) - summer, UtcToLocal(utc) - utc, 1e-9);
}

TEST_F(VaultStorageTest, FileTimesAndSearchResultsAreLocalButStampsAreNot) {
  const ScopedTimeZone zone("XYZ-03");
  TVaultStorage storage;
  storage.SetFileName(PathOf("times.vault"));
  storage.Open(1);
  EXPECT_NEAR(storage.GetLastModificationTime(), Now(), kOneMinute);
  EXPECT_NEAR(storage.GetLastAccessTime(), Now(), kOneMinute);

  storage.CreateDirectory(u"\\dir");
  const TDateTime local = EncodeDateTime(2020, 5, 4, 12, 0, 0, 0);
  storage.SetFileModificationTime(u"\\dir", local);
  StorageTime stored = 0;
  ASSERT_EQ(StorageGetFileModificationTime(storage.Handle(), u"\\dir", stored), 0);
  EXPECT_NEAR(stored, local - 3.0 / 24.0, 1e-6);
  EXPECT_NEAR(storage.GetFileModificationTime(u"\\dir"), local, 1e-6);

  storage.SetFileCreationTime(u"\\dir", local - 1);
  EXPECT_NEAR(storage.GetFileCreationTime(u"\\dir"), local - 1, 1e-6);

  storage.CreateDirectory(u"\\other");
  {
    TVaultSearchRec search;
    ASSERT_TRUE(storage.FindFirst(search, u"\\*", 0xFFFF));
    std::vector<std::u16string> names;
    do {
      names.push_back(search.Name);
      if (search.Name == u"dir") {
        EXPECT_NEAR(search.Modified, local, 1e-6);
        EXPECT_NEAR(search.Created, local - 1, 1e-6);
      }
    } while (storage.FindNext(search));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"dir", u"other"}));
    storage.FindClose(search);

    EXPECT_FALSE(storage.FindFirst(search, u"\\nothing*", 0xFFFF));
  }
  ExpectVaultError(
      [&] {
        TVaultSearchRec search;
        storage.FindFirst(search, u"\\missing\\*", 0xFFFF);
      },
      errPathNotFound);
}

TEST(VaultStoragePaths, AppendSeparatorAddsOneSeparatorAtMost) {
  struct Exposed : TVaultStorage {
    using TBaseVaultStorage::AppendSeparator;
  };
  Exposed storage;
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"", u"\\"}, {u"\\", u"\\"}, {u"\\a", u"\\a\\"}, {u"\\a\\", u"\\a\\"}};
  for (const auto& [path, expected] : cases) EXPECT_EQ(storage.AppendSeparator(path), expected);
  storage.SetPathSeparator(u'/');
  EXPECT_EQ(storage.AppendSeparator(u"a\\"), u"a\\/");
}

// ---------------------------------------------------------------------------
// Links, tags, validity

TEST_F(VaultStorageTest, LinksOfAnyLengthReadBackWhole) {
  TVaultStorage storage;
  storage.SetFileName(PathOf("links.vault"));
  storage.Open(1);
  storage.ForceCreateDirectories(u"\\a\\b");
  storage.CreateLink(u"\\short", u"\\a\\b");
  std::u16string longTarget = u"\\a";
  for (int i = 0; i < 120; ++i) longTarget += u"\\segment";
  storage.CreateLink(u"\\long", longTarget);

  std::u16string text;
  storage.ReadLink(u"\\short", text);
  EXPECT_EQ(text, u"\\a\\b");
  storage.ReadLink(u"\\long", text);
  EXPECT_EQ(text, longTarget);
  ASSERT_GT(text.size() * 2, 1024u);

  std::u16string full;
  storage.ResolveLink(u"\\short", full);
  EXPECT_EQ(full, u"\\a\\b");
  ExpectVaultError([&] { storage.ReadLink(u"\\a", text); }, errNotSymbolicLink);
}

TEST_F(VaultStorageTest, TagQueriesReportSizeWithoutRaising) {
  TVaultStorage storage;
  storage.SetFileName(PathOf("tags.vault"));
  storage.Open(1);
  storage.CreateDirectory(u"\\d");
  const std::string data = "tag payload of 25 bytes..";
  storage.SetFileTag(u"\\d", 0x8001, data.data(), static_cast<std::uint32_t>(data.size()));

  bool exists = true;
  EXPECT_EQ(storage.GetFileTagSize(u"\\d", 0x8002, exists), 0u);
  EXPECT_FALSE(exists);
  EXPECT_EQ(storage.GetFileTagSize(u"\\d", 0x8001, exists), data.size());
  EXPECT_TRUE(exists);

  char small[4] = {};
  EXPECT_EQ(storage.GetFileTag(u"\\d", 0x8001, small, sizeof small), data.size());
  std::string whole(data.size(), '\0');
  EXPECT_EQ(
      storage.GetFileTag(u"\\d", 0x8001, whole.data(), static_cast<std::uint32_t>(whole.size())),
      data.size());
  EXPECT_EQ(whole, data);
}

TEST_F(VaultStorageTest, IsValidStorageTellsContainersFromOtherFiles) {
  MakeContainer(PathOf("real.vault"));
  WriteDiskFile("text.txt", std::string(8192, 't'));
  TVaultStorage storage;
  storage.SetFileName(PathOf("real.vault"));
  EXPECT_TRUE(storage.IsValidStorage());
  EXPECT_FALSE(storage.IsCorrupted());
  storage.SetFileName(PathOf("text.txt"));
  EXPECT_FALSE(storage.IsValidStorage());
  storage.SetFileName(PathOf("absent.vault"));
  EXPECT_ANY_THROW(storage.IsValidStorage());
}

}  // namespace
}  // namespace vaultfs
