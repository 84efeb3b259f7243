#include "vaultfs/vault_stream.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vaultfs/utf16.h"
#include "vaultfs/vault_storage.h"
#include "support/memory_host_files.h"
#include "support/storage_host_files.h"
#include "support/vault_errors.h"

namespace vaultfs {
namespace {

using testing::ExpectVaultError;
using testing::MemoryHostFiles;

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

std::vector<std::uint8_t> ReadAll(TVaultStream& stream) {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> piece(16384);
  for (;;) {
    const std::int32_t got = stream.Read(piece.data(), static_cast<std::int32_t>(piece.size()));
    if (got == 0) break;
    bytes.insert(bytes.end(), piece.begin(), piece.begin() + got);
  }
  return bytes;
}

// A storage of another kind: the stream works only on TVaultStorage.
class OtherStorage : public TBaseVaultStorage {
 public:
  void SetAutoCompact(std::uint32_t) override {}
  void SetLogo(const std::u16string&) override {}
  void SetStoragePassword(const std::u16string&) override {}
  void SetBuffering(std::uint32_t) override {}
  bool IsCorrupted() override { return false; }
  std::uint32_t GetMaxPageCount() override { return 0; }
  void SetMaxPageCount(std::uint32_t) override {}
  TDateTime GetLastAccessTime() override { return 0; }
  TDateTime GetLastModificationTime() override { return 0; }
  std::int64_t GetStorageSize() override { return 0; }
  void SetStorageSize(std::int64_t) override {}
  void Open(int) override {}
  void Close(int) override {}
  void ReopenFile() override {}
  TVaultEncryption GetStorageEncryption() override { return 0; }
  void SupplyStoragePassword(const std::u16string&) override {}
  void ChangeStorageEncryption(TVaultEncryption, const std::u16string&,
                               const std::u16string&) override {}
  bool IsValidStorage() override { return false; }
  void CheckAndRepair(std::uint32_t) override {}
  void Format(std::int64_t, std::uint32_t) override {}
  bool Compact() override { return false; }
  std::unique_ptr<TVaultStream> OpenRootStream() override { return nullptr; }
  std::int64_t GetFreeSpace() override { return 0; }
  bool FileExists(const std::u16string&) override { return true; }
  void DeleteFile(const std::u16string&) override {}
  void MoveFile(const std::u16string&, const std::u16string&) override {}
  void MoveFileReplace(const std::u16string&, const std::u16string&) override {}
  bool FindFirst(TVaultSearchRec&, const std::u16string&, std::uint32_t) override { return false; }
  bool FindFirstEx(TVaultSearchRec&, const std::u16string&, std::uint32_t, std::uint32_t) override {
    return false;
  }
  bool FindNext(TVaultSearchRec&) override { return false; }
  void FindClose(TVaultSearchRec&) override {}
  void CreateDirectory(const std::u16string&) override {}
  void ForceCreateDirectories(const std::u16string&) override {}
  void RemoveDirectory(const std::u16string&) override {}
  TDateTime GetFileCreationTime(const std::u16string&) override { return 0; }
  void SetFileCreationTime(const std::u16string&, TDateTime) override {}
  TDateTime GetFileModificationTime(const std::u16string&) override { return 0; }
  void SetFileModificationTime(const std::u16string&, TDateTime) override {}
  TDateTime GetFileLastAccessTime(const std::u16string&) override { return 0; }
  void SetFileLastAccessTime(const std::u16string&, TDateTime) override {}
  void SetFileTag(const std::u16string&, std::uint16_t, const void*, std::uint32_t) override {}
  std::uint32_t GetFileTagSize(const std::u16string&, std::uint16_t, bool&) override { return 0; }
  std::uint32_t GetFileTag(const std::u16string&, std::uint16_t, void*, std::uint32_t) override {
    return 0;
  }
  void DeleteFileTag(const std::u16string&, std::uint16_t) override {}
  TVaultEncryption GetFileEncryption(const std::u16string&) override { return 0; }
  void SetFileEncryption(const std::u16string&, TVaultEncryption, const std::u16string&,
                         const std::u16string&) override {}
  bool CheckFilePassword(const std::u16string&, const std::u16string&, bool,
                         TVaultEncryption) override {
    return true;
  }
  void SupplyFilePassword(const std::u16string&, const std::u16string&) override {}
  TVaultCompression GetFileCompression(const std::u16string&, TVaultCompression& compression,
                                       std::uint32_t&, std::uint32_t&) override {
    return compression;
  }
  void SetFileCompression(const std::u16string&, TVaultCompression, std::uint32_t, std::uint16_t,
                          const std::u16string&) override {}
  void GetFileAttributes(const std::u16string&, std::uint32_t&) override {}
  void SetFileAttributes(const std::u16string&, std::uint32_t) override {}
  void CreateLink(const std::u16string&, const std::u16string&) override {}
  void ReadLink(const std::u16string&, std::u16string&) override {}
  void ResolveLink(const std::u16string&, std::u16string&) override {}
};

class VaultStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-stream-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    storage_.SetFileName(Utf8ToUtf16(dir_ + "/streams.vault"));
    storage_.Open(1);
  }
  void TearDown() override {
    storage_.Close();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void WriteFile(const std::u16string& name, const std::vector<std::uint8_t>& bytes) {
    TVaultStream stream(storage_, name, fmCreate);
    stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  }

  std::string dir_;
  TVaultStorage storage_;
};

TEST_F(VaultStreamTest, OnlyAVaultStorageCarriesStreams) {
  OtherStorage other;
  ExpectVaultError([&] { TVaultStream stream(other, u"\\f", fmCreate); }, errInvalidParameter);
  ExpectVaultError(
      [&] {
        TVaultStream stream(other, u"\\f", true, true, true, false, false, u"", ecNoEncryption,
                            crNoCompression, 0, 0);
      },
      errInvalidParameter);
}

TEST_F(VaultStreamTest, ReadsEndWithZeroNotAnError) {
  WriteFile(u"\\ten", Pattern(10));
  TVaultStream stream(storage_, u"\\ten", fmOpenRead);
  std::vector<std::uint8_t> buffer(16384);
  EXPECT_EQ(stream.Read(buffer.data(), 16384), 10);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 10), Pattern(10));
  EXPECT_EQ(stream.Read(buffer.data(), 16384), 0);
  EXPECT_EQ(stream.ReadAt(10, buffer.data(), 16384), 0);
  EXPECT_EQ(stream.ReadAt(4, buffer.data(), 16384), 6);
  EXPECT_EQ(stream.Size(), 10);

  stream.SetPosition(2);
  try {
    stream.ReadBuffer(buffer.data(), 9);
    ADD_FAILURE() << "a short whole-buffer read passed";
  } catch (const EReadError& error) {
    EXPECT_STREQ(error.what(), "Stream read error");
  }
  // Opened for reading only.
  EXPECT_ANY_THROW(stream.WriteBuffer(buffer.data(), 1));
}

TEST_F(VaultStreamTest, PositionsBeyondTwoGigabytesDoNotWrap) {
  WriteFile(u"\\small", Pattern(100));
  TVaultStream stream(storage_, u"\\small", fmOpenReadWrite);
  const std::int64_t far = (std::int64_t{3} << 30) + 5;
  EXPECT_EQ(stream.Seek(far, soFromBeginning), far);
  EXPECT_EQ(stream.Position(), far);
  EXPECT_EQ(stream.GetPosition64(), far);
  std::uint8_t byte = 0;
  EXPECT_EQ(stream.Read(&byte, 1), 0);
  EXPECT_EQ(stream.Seek64(-far, soFromCurrent), 0);
  EXPECT_EQ(stream.Seek(-10, soFromEnd), 90);

  stream.SetSize(40);
  EXPECT_EQ(stream.GetSize64(), 40);
  ExpectVaultError([&] { stream.SetSize64(-1); }, errInvalidParameter);
  EXPECT_EQ(stream.GetSize64(), 40);
}

TEST_F(VaultStreamTest, CreateModeEmptiesAnExistingFileAndKeepsItsEncryption) {
  storage_.SetFilesEncryption(ecAES256_HMAC256);
  storage_.SetFilesPassword(u"file secret");
  WriteFile(u"\\enc", Pattern(5000));
  EXPECT_EQ(storage_.GetFileEncryption(u"\\enc"), ecAES256_HMAC256);

  storage_.SetFilesEncryption(ecNoEncryption);
  {
    TVaultStream stream(storage_, u"\\enc", fmCreate);
    EXPECT_EQ(stream.GetSize64(), 0);
    stream.WriteBuffer("abc", 3);
  }
  EXPECT_EQ(storage_.GetFileEncryption(u"\\enc"), ecAES256_HMAC256);
  TVaultStream stream(storage_, u"\\enc", fmOpenRead);
  EXPECT_EQ(ReadAll(stream), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
}

TEST_F(VaultStreamTest, CreateModeAppliesTheStoragesCompression) {
  storage_.SetCompression(crZLib);
  storage_.SetCompressionLevel(9);
  const std::vector<std::uint8_t> text(200000, 'z');
  WriteFile(u"\\packed", text);
  TVaultCompression compression = crNoCompression;
  std::uint32_t level = 0;
  std::uint32_t block = 0;
  EXPECT_EQ(storage_.GetFileCompression(u"\\packed", compression, level, block), crZLib);
  EXPECT_EQ(level, 9u);
  std::uint32_t attributes = 0;
  storage_.GetFileAttributes(u"\\packed", attributes);
  EXPECT_NE(attributes & 0x0008u, 0u);  // compressed

  TVaultStream stream(storage_, u"\\packed", fmOpenRead);
  EXPECT_EQ(ReadAll(stream), text);
}

TEST_F(VaultStreamTest, OpenModesMapToAccessAndSharing) {
  WriteFile(u"\\shared", Pattern(64));
  ExpectVaultError([&] { TVaultStream stream(storage_, u"\\absent", fmShareDenyWrite); },
                   errFileNotFound);
  struct Case {
    std::uint16_t firstMode;
    std::uint16_t secondMode;
    bool secondOpens;
  };
  const Case cases[] = {
      {fmOpenRead | fmShareDenyNone, fmOpenReadWrite | fmShareDenyNone, true},
      {fmOpenRead, fmOpenWrite, true},  // no share bits: deny nothing
      {fmOpenRead | fmShareExclusive, fmOpenRead, false},
      {fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareDenyNone, true},
      {fmOpenRead | fmShareDenyWrite, fmOpenWrite | fmShareDenyNone, false},
      {fmOpenRead | fmShareDenyWrite | fmShareExclusive, fmOpenRead, false},
      {fmCreate, fmOpenRead | fmShareDenyNone, true},
      {fmCreate, fmOpenReadWrite | fmShareDenyNone, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.firstMode << " then " << c.secondMode);
    TVaultStream first(storage_, u"\\shared", c.firstMode);
    if (c.secondOpens) {
      EXPECT_NO_THROW(TVaultStream(storage_, u"\\shared", c.secondMode));
    } else {
      ExpectVaultError([&] { TVaultStream second(storage_, u"\\shared", c.secondMode); },
                       errSharingViolation);
    }
  }
}

TEST_F(VaultStreamTest, CreateExRefusesOrReusesExistingFiles) {
  WriteFile(u"\\there", Pattern(30));
  ExpectVaultError(
      [&] {
        TVaultStream stream(storage_, u"\\there", true, true, true, false, false, u"",
                            ecNoEncryption, crNoCompression, 0, 0);
      },
      errAlreadyExists);
  {
    TVaultStream stream(storage_, u"\\there", false, true, false, false, false, u"", ecNoEncryption,
                        crNoCompression, 0, 0);
    EXPECT_EQ(ReadAll(stream), Pattern(30));
  }
  TVaultStream fresh(storage_, u"\\fresh", false, true, true, false, false, u"pw", ecAES256_HMAC256,
                     crRLE, 0, 0);
  fresh.WriteBuffer("xyz", 3);
  EXPECT_EQ(storage_.GetFileEncryption(u"\\fresh"), ecAES256_HMAC256);
}

TEST_F(VaultStreamTest, EncryptedFileAsksForItsPasswordUntilItFits) {
  storage_.SetFilesEncryption(ecAES256_HMAC256);
  storage_.SetFilesPassword(u"right");
  WriteFile(u"\\locked", Pattern(300));
  storage_.SetFilesPassword(u"wrong");

  std::vector<std::int32_t> attempts;
  storage_.SetOnPasswordNeeded([&](TVaultStorage&, const std::u16string& fileName,
                                   std::int32_t attempt, std::u16string& password, bool&) {
    EXPECT_EQ(fileName, u"\\locked");
    attempts.push_back(attempt);
    if (attempt == 1) password = u"right";
  });
  {
    TVaultStream stream(storage_, u"\\locked", fmOpenRead);
    EXPECT_EQ(ReadAll(stream), Pattern(300));
  }
  EXPECT_EQ(attempts, (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(storage_.FilesPassword(), u"wrong");

  attempts.clear();
  storage_.SetOnPasswordNeeded([&](TVaultStorage&, const std::u16string&, std::int32_t attempt,
                                   std::u16string&, bool& cancel) {
    attempts.push_back(attempt);
    cancel = true;
  });
  ExpectVaultError([&] { TVaultStream stream(storage_, u"\\locked", fmOpenRead); },
                   errInvalidPassword);
  EXPECT_EQ(attempts, (std::vector<std::int32_t>{0}));
}

TEST_F(VaultStreamTest, LinksAreFollowedForThePasswordCheck) {
  storage_.SetFilesEncryption(ecAES256_HMAC256);
  storage_.SetFilesPassword(u"right");
  WriteFile(u"\\target", Pattern(50));
  storage_.CreateLink(u"\\link", u"\\target");
  storage_.SetFilesPassword(u"wrong");
  std::vector<std::u16string> asked;
  storage_.SetOnPasswordNeeded([&](TVaultStorage&, const std::u16string& fileName, std::int32_t,
                                   std::u16string& password, bool&) {
    asked.push_back(fileName);
    password = u"right";
  });
  TVaultStream stream(storage_, u"\\link", fmOpenRead);
  EXPECT_EQ(ReadAll(stream), Pattern(50));
  EXPECT_EQ(asked, (std::vector<std::u16string>{u"\\target"}));
}

TEST(VaultStreamHostFiles, FlushWritesNothing) {
  MemoryHostFiles files;
  TVaultStorage storage;
  testing::AttachHostFiles(storage, files, /*withDelete=*/false);
  storage.SetFileName(u"flush.vault");
  storage.SetCompression(crZLib);
  storage.Open(1);
  TVaultStream stream(storage, u"\\pending", fmCreate);
  const std::vector<std::uint8_t> bytes = Pattern(70000);
  stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));

  const MemoryHostFiles::Snapshot before = files.TakeSnapshot();
  const std::uint64_t writes = files.WriteCount();
  const std::uint64_t flushes = files.FlushCount();
  stream.Flush();
  EXPECT_EQ(files.WriteCount(), writes);
  EXPECT_EQ(files.FlushCount(), flushes);
  EXPECT_EQ(files.TakeSnapshot(), before);
}

TEST_F(VaultStreamTest, CodecHandlerExceptionReachesTheWriter) {
  storage_.Close();
  bool fail = false;
  storage_.SetOnCompress([&fail](TVaultStorage&, const void*, std::uint32_t, void*, std::uint32_t&,
                                 std::int32_t, std::int32_t& result) {
    if (fail) throw std::logic_error("codec handler gave up");
    result = errInvalidParameter;  // keep the block as it is
  });
  storage_.SetOnDecompress([](TVaultStorage&, const void*, std::uint32_t, void*, std::uint32_t&,
                              std::int32_t& result) { result = errCompressedDataCorrupted; });
  storage_.Open(2);
  const std::vector<std::uint8_t> bytes = Pattern(200000);
  {
    // A custom codec has no default block size.
    TVaultStream stream(storage_, u"\\custom", true, true, true, false, true, u"", ecNoEncryption,
                        crCustom, 0, 4);
    fail = true;
    try {
      stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
      ADD_FAILURE() << "the handler's exception was lost";
    } catch (const std::logic_error& error) {
      EXPECT_STREQ(error.what(), "codec handler gave up");
    }
    fail = false;
  }
  // Nothing is left pending: the next calls see their own results.
  EXPECT_TRUE(storage_.FileExists(u"\\custom"));
  {
    TVaultStream stream(storage_, u"\\custom", fmOpenReadWrite);
    stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  }
  TVaultStream stream(storage_, u"\\custom", fmOpenRead);
  EXPECT_EQ(ReadAll(stream), bytes);
}

TEST_F(VaultStreamTest, CustomCodecRoundTripsThroughTheEvents) {
  // A toy codec for runs of one byte: the byte and the run's length.
  storage_.Close();
  int compressed = 0;
  int decompressed = 0;
  storage_.SetOnCompress([&](TVaultStorage&, const void* in, std::uint32_t inSize, void* out,
                             std::uint32_t& outSize, std::int32_t, std::int32_t& result) {
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    for (std::uint32_t i = 1; i < inSize; ++i) {
      if (bytes[i] != bytes[0]) {
        result = errInvalidParameter;
        return;
      }
    }
    if (outSize < 5) {
      result = errBufferTooSmall;
      return;
    }
    auto* packed = static_cast<std::uint8_t*>(out);
    packed[0] = bytes[0];
    std::memcpy(packed + 1, &inSize, 4);
    outSize = 5;
    ++compressed;
  });
  storage_.SetOnDecompress([&](TVaultStorage&, const void* in, std::uint32_t inSize, void* out,
                               std::uint32_t& outSize, std::int32_t& result) {
    std::uint32_t length = 0;
    if (inSize != 5) {
      result = errCompressedDataCorrupted;
      return;
    }
    std::memcpy(&length, static_cast<const std::uint8_t*>(in) + 1, 4);
    if (length > outSize) {
      result = errBufferTooSmall;
      return;
    }
    std::memset(out, static_cast<const std::uint8_t*>(in)[0], length);
    outSize = length;
    ++decompressed;
  });
  storage_.Open(2);
  std::vector<std::uint8_t> bytes(150000, 'q');
  std::fill(bytes.begin() + 100000, bytes.end(), 'r');
  {
    TVaultStream stream(storage_, u"\\runs", true, true, true, false, true, u"", ecNoEncryption,
                        crCustom, 0, 8);
    stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  }
  EXPECT_GT(compressed, 0);
  storage_.Close();
  storage_.Open(2);
  TVaultStream stream(storage_, u"\\runs", fmOpenRead);
  EXPECT_EQ(ReadAll(stream), bytes);
  EXPECT_GT(decompressed, 0);
}

TEST_F(VaultStreamTest, RootStreamClosesWithIt) {
  std::unique_ptr<TVaultStream> root = storage_.OpenRootStream();
  ASSERT_NE(root->Handle, nullptr);
  EXPECT_NO_THROW(root->Flush());
  root.reset();
  storage_.Close();
  EXPECT_NO_THROW(storage_.Open(2));
}

}  // namespace
}  // namespace vaultfs
