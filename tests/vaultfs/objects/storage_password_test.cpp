// The storage password: checking, supplying, and re-enciphering a volume.
#include "vaultfs/objects/storage_password.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/sample_data.h"
#include "support/volume_fixture.h"
#include "vaultfs/maintenance/format.h"
#include "vaultfs/maintenance/repair.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/objects/search.h"

namespace vaultfs {
namespace {

using testing::MemoryHostFiles;

// Passwords as the storage component passes them: UTF-16LE code units.
const std::vector<std::uint8_t> kAppPassword = testing::Utf16Bytes(u"tobel5931");
const std::vector<std::uint8_t> kOther = testing::Utf16Bytes(u"something else");

// Recognisable bytes: a name as it is stored (UTF-16, this host's order) and a
// tag's content.
const std::u16string kSecretName = u"SecretFolderName";
// Longer than the 22 units an entry holds: the rest goes to a page of its own,
// which is freed with the object.
const std::u16string kDeletedName = u"DeletedButNotForgotten-ItsLongTail";
const std::u16string kDeletedTail = kDeletedName.substr(22);
const std::u16string kLinkTarget = u"/TargetOfTheLink";
const std::string kFileContent = "The content of a file, worth hiding. ";
const std::vector<std::uint8_t> kTagBytes = {'T', 'a', 'g', 'C', 'o', 'n', 't',
                                             'e', 'n', 't', '-', '4', '2', '!'};

std::vector<std::uint8_t> Stored(std::u16string_view text) {
  std::vector<std::uint8_t> bytes(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) StoreU16(bytes.data() + 2 * i, text[i]);
  return bytes;
}

bool Contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

class StoragePasswordTest : public testing::MemoryVolumeTest {
 protected:
  StoragePasswordTest() : MemoryVolumeTest(u"locked.vfs") {}

  void Open(bool create, std::uint32_t pageSize = 512, bool readOnly = false) {
    // The free pages Fill leaves (with a deleted name in them) must stay.
    OpenVolume(create, {.pageSize = pageSize, .readOnly = readOnly, .autoCompact = 0});
  }
  void Close() { CloseVolume(); }

  void Fill() {
    ASSERT_EQ(PathForceCreateDirectories(Store(), u"/" + kSecretName + u"/inner"), 0);
    ASSERT_EQ(PathCreateLink(Store(), u"/" + kSecretName + u"/link", kLinkTarget), 0);
    ASSERT_EQ(PathSetFileTag(Store(), u"/" + kSecretName, 0x8123, kTagBytes.data(),
                             static_cast<std::uint32_t>(kTagBytes.size())),
              0);
    FileHandle* handle = nullptr;
    ASSERT_EQ(PathCreateFile(Store(), u"/" + kSecretName + u"/data", true, true, false, false, 0,
                             {}, handle, false, false),
              0);
    std::uint32_t done = 0;
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(WriteData(handle, reinterpret_cast<const std::uint8_t*>(kFileContent.data()),
                          static_cast<std::uint32_t>(kFileContent.size()), done),
                0);
    }
    ASSERT_EQ(CloseHandle(handle, true), 0);
    // Last, so that the pages it gives back stay as they are.
    ASSERT_EQ(PathCreateDirectory(Store(), u"/" + kDeletedName), 0);
    ASSERT_EQ(PathRemoveDirectory(Store(), u"/" + kDeletedName), 0);
  }
  // What Fill left is all there and intact.
  void ExpectContent() {
    std::uint32_t attributes = 0;
    EXPECT_EQ(PathGetFileAttributes(Store(), u"/" + kSecretName + u"/inner", attributes), 0);
    EXPECT_EQ(attributes, attrDirectory);
    std::vector<std::uint8_t> tag(64);
    std::uint32_t size = static_cast<std::uint32_t>(tag.size());
    EXPECT_EQ(PathGetFileTag(Store(), u"/" + kSecretName, 0x8123, tag.data(), size), 0);
    tag.resize(size);
    EXPECT_EQ(tag, kTagBytes);
    char16_t target[64];
    std::uint32_t length = sizeof target;
    EXPECT_EQ(PathGetLinkDestination(Store(), u"/" + kSecretName + u"/link", target, length), 0);
    EXPECT_EQ(std::u16string(target), kLinkTarget);
    bool exists = true;
    EXPECT_EQ(PathFileExists(Store(), u"/" + kDeletedName, exists), 0);
    EXPECT_FALSE(exists);
    FileHandle* handle = nullptr;
    ASSERT_EQ(
        PathOpenFile(Store(), u"/" + kSecretName + u"/data", true, false, false, false, {}, handle),
        0);
    std::string content(kFileContent.size() * 50, '\0');
    std::uint32_t done = 0;
    EXPECT_EQ(ReadData(handle, reinterpret_cast<std::uint8_t*>(content.data()),
                       static_cast<std::uint32_t>(content.size()), done),
              0);
    EXPECT_EQ(done, content.size());
    for (std::size_t at = 0; at < content.size(); at += kFileContent.size())
      EXPECT_EQ(content.compare(at, kFileContent.size(), kFileContent), 0) << at;
    EXPECT_EQ(CloseHandle(handle, true), 0);
  }
  // A new volume under kAppPassword holding what Fill writes, all of it on
  // the medium; `rewrites` is the number of pages a key change rewrites
  // (pages 3 and up, one write each: one map group here).
  void FreshEncipheredVolume(std::uint64_t& rewrites) {
    files_.Remove(name_);
    files_.ResetFaults();
    Open(true);
    ASSERT_EQ(ChangeStorageEncryption(Store(), ecAES256_HMAC256, {}, kAppPassword), 0);
    Fill();
    ASSERT_EQ(volume_->FlushCache(), 0);
    ASSERT_LT(volume_->HostPageCount, volume_->PageSize / 2);
    rewrites = volume_->HostPageCount - 3;
  }

  // Every byte of every host file (the container and a journal file, if any).
  std::vector<std::uint8_t> RawBytes() {
    std::vector<std::uint8_t> all;
    for (const auto& [name, bytes] : files_.TakeSnapshot())
      all.insert(all.end(), bytes.begin(), bytes.end());
    return all;
  }
  void ExpectPlainText(bool visible) {
    const std::vector<std::uint8_t> raw = RawBytes();
    EXPECT_EQ(Contains(raw, Stored(kSecretName)), visible);
    EXPECT_EQ(Contains(raw, Stored(kLinkTarget)), visible);
    EXPECT_EQ(Contains(raw, kTagBytes), visible);
    EXPECT_EQ(Contains(raw, {kFileContent.begin(), kFileContent.end()}), visible);
  }
};

TEST_F(StoragePasswordTest, AVolumeWithoutEncryptionTakesAnyPassword) {
  Open(true);
  std::uint32_t mode = 9, variant = 9;
  bool valid = false;
  ASSERT_EQ(GetStorageEncryption(Store(), mode), 0);
  EXPECT_EQ(mode, ecNoEncryption);
  ASSERT_EQ(CheckStoragePassword(Store(), kOther, valid, mode, variant), 0);
  EXPECT_TRUE(valid);
  EXPECT_EQ(mode, ecNoEncryption);
  EXPECT_EQ(SupplyStoragePassword(Store(), kOther), 0);
  EXPECT_EQ(volume_->ReadKey, nullptr);
  EXPECT_TRUE(volume_->StorageUnlocked);
  // Both modes 0: nothing to rewrite and no record written.
  ASSERT_EQ(ChangeStorageEncryption(Store(), ecNoEncryption, {}, {}), 0);
  std::vector<std::uint8_t> record;
  EXPECT_EQ(ReadRecord(*Store().Root(), rkStorageEncryption, nullptr, record), errTagNotFound);
  Close();
}

TEST_F(StoragePasswordTest, AnEncipheredVolumeShowsNoNameOrContent) {
  for (std::uint32_t mode : {ecAES256_HMAC256, ecAES256_SHA256}) {
    for (std::uint32_t pageSize : {512u, 4096u}) {
      SCOPED_TRACE(std::to_string(mode) + " / " + std::to_string(pageSize));
      files_.Remove(name_);
      Open(true, pageSize);
      ASSERT_EQ(ChangeStorageEncryption(Store(), mode, {}, kAppPassword), 0);
      Fill();
      ExpectContent();
      Close();
      ExpectPlainText(false);

      // Opened again the volume is locked until the right password comes.
      Open(false);
      EXPECT_FALSE(volume_->StorageUnlocked);
      std::uint32_t attributes = 0;
      EXPECT_EQ(PathGetFileAttributes(Store(), u"/" + kSecretName, attributes), errInvalidPassword);
      std::uint32_t stored = 0, variant = 9;
      bool valid = true;
      ASSERT_EQ(CheckStoragePassword(Store(), kOther, valid, stored, variant), 0);
      EXPECT_FALSE(valid);
      EXPECT_EQ(stored, mode);
      EXPECT_EQ(SupplyStoragePassword(Store(), kOther), errInvalidPassword);
      EXPECT_FALSE(volume_->StorageUnlocked);
      EXPECT_EQ(SupplyStoragePassword(Store(), {}), errInvalidPassword);
      ASSERT_EQ(CheckStoragePassword(Store(), kAppPassword, valid, stored, variant), 0);
      EXPECT_TRUE(valid);
      EXPECT_EQ(variant, mode == ecAES256_SHA256 ? 3u : 0u);  // mode 1 calls the full length 3
      EXPECT_FALSE(volume_->StorageUnlocked);                 // checking keeps nothing
      ASSERT_EQ(SupplyStoragePassword(Store(), kAppPassword), 0);
      EXPECT_TRUE(volume_->StorageUnlocked);
      ExpectContent();
      // New content is enciphered as it is written.
      ASSERT_EQ(PathCreateDirectory(Store(), u"/" + kSecretName + u"/AnotherSecret"), 0);
      Close();
      EXPECT_FALSE(Contains(RawBytes(), Stored(u"AnotherSecret")));
    }
  }
}

TEST_F(StoragePasswordTest, EncipheringAVolumeLeavesNoPlainTextAndDecipheringRestoresIt) {
  Open(true);
  Fill();
  Close();
  // Sanity: before, the names are there to find, even the deleted one.
  ExpectPlainText(true);
  EXPECT_TRUE(Contains(RawBytes(), Stored(kDeletedTail)));

  Open(false);
  ASSERT_EQ(ChangeStorageEncryption(Store(), ecAES256_HMAC256, {}, kAppPassword), 0);
  ExpectContent();
  Close();
  ExpectPlainText(false);
  // Free pages were wiped too: nothing deleted earlier stays readable.
  EXPECT_FALSE(Contains(RawBytes(), Stored(kDeletedTail)));

  Open(false);
  ASSERT_EQ(SupplyStoragePassword(Store(), kAppPassword), 0);
  ASSERT_EQ(ChangeStorageEncryption(Store(), ecNoEncryption, kAppPassword, {}), 0);
  std::uint32_t mode = 9;
  ASSERT_EQ(GetStorageEncryption(Store(), mode), 0);
  EXPECT_EQ(mode, ecNoEncryption);
  std::vector<std::uint8_t> record;
  std::uint32_t dataSize = 0;
  ASSERT_EQ(ReadRecord(*Store().Root(), rkStorageEncryption, nullptr, record, &dataSize), 0);
  EXPECT_EQ(dataSize, 4u);  // just the mode
  Close();
  ExpectPlainText(true);
  Open(false);
  EXPECT_TRUE(volume_->StorageUnlocked);
  ExpectContent();
  Close();
}

TEST_F(StoragePasswordTest, AWrongPasswordChangesNothing) {
  Open(true);
  ASSERT_EQ(ChangeStorageEncryption(Store(), ecAES256_HMAC256, {}, kAppPassword), 0);
  Fill();
  ASSERT_EQ(volume_->FlushCache(), 0);
  const std::vector<std::uint8_t> before = RawBytes();
  const auto key = volume_->ReadKey;
  ASSERT_NE(key, nullptr);

  EXPECT_EQ(ChangeStorageEncryption(Store(), ecAES256_SHA256, kOther, kOther), errInvalidPassword);
  EXPECT_EQ(ChangeStorageEncryption(Store(), ecNoEncryption, {}, {}), errInvalidPassword);
  // Supplying a wrong password to an unlocked volume does not lock it.
  EXPECT_EQ(SupplyStoragePassword(Store(), kOther), errInvalidPassword);
  EXPECT_TRUE(volume_->StorageUnlocked);
  EXPECT_EQ(volume_->ReadKey, key);
  EXPECT_EQ(volume_->WriteKey, key);
  ExpectContent();
  EXPECT_EQ(RawBytes(), before);
  std::uint32_t mode = 0;
  ASSERT_EQ(GetStorageEncryption(Store(), mode), 0);
  EXPECT_EQ(mode, ecAES256_HMAC256);
  EXPECT_EQ(volume_->RunningTransactions(), 0u);
  Close();
}

TEST_F(StoragePasswordTest, RequestsThatCouldNotBeUndoneAreRefused) {
  Open(true);
  Fill();
  struct Case {
    const char* what;
    std::uint32_t mode;
    std::vector<std::uint8_t> password;
    EngineResult expected;
  };
  const Case cases[] = {
      {"mode 3, empty password", ecAES256_HMAC256, {}, errInvalidPassword},
      {"mode 1, empty password", ecAES256_SHA256, {}, errInvalidPassword},
      {"mode 2 without its events", ecCustom256, kOther, errNoEncryptionHandlers},
      {"unknown mode", 7, kOther, errInvalidParameter},
  };
  ASSERT_EQ(volume_->FlushCache(), 0);
  const std::vector<std::uint8_t> before = RawBytes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ChangeStorageEncryption(Store(), c.mode, {}, c.password), c.expected);
    EXPECT_EQ(volume_->WriteKey, nullptr);
  }
  {
    SearchRecord search;
    ASSERT_EQ(SearchFirst(Store(), search, u"/*", ~0u, 0), 0);
    EXPECT_EQ(ChangeStorageEncryption(Store(), ecAES256_HMAC256, {}, kAppPassword),
              errActiveTransactions);
  }
  EXPECT_EQ(RawBytes(), before);
  Close();
  Open(false, 512, true);
  EXPECT_EQ(ChangeStorageEncryption(Store(), ecAES256_HMAC256, {}, kAppPassword),
            errStorageReadOnly);
  Close();
  Open(false);
  ASSERT_EQ(volume_->Close(), 0);
  std::uint32_t mode = 0;
  EXPECT_EQ(ChangeStorageEncryption(Store(), ecAES256_HMAC256, {}, kAppPassword),
            errStorageNotActive);
  EXPECT_EQ(GetStorageEncryption(Store(), mode), errStorageNotActive);
  EXPECT_EQ(SupplyStoragePassword(Store(), kAppPassword), errStorageNotActive);
}

TEST_F(StoragePasswordTest, ProgressIsReportedPageByPageAndCannotStop) {
  struct Report {
    std::uint8_t operation;
    std::uint32_t progress, total;
    bool canStop;
  };
  std::vector<Report> reports;
  ProgressSink sink;
  sink.UserData = &reports;
  sink.Callback = [](void* userData, std::uint8_t operation, std::uint32_t progress,
                     std::uint32_t total, bool canStop, bool& stop) {
    static_cast<std::vector<Report>*>(userData)->push_back({operation, progress, total, canStop});
    stop = true;  // not consulted
  };
  Open(true);
  Fill();
  for (std::uint32_t mode : {ecAES256_HMAC256, ecNoEncryption}) {
    SCOPED_TRACE(mode);
    reports.clear();
    const std::vector<std::uint8_t> old = mode == ecNoEncryption ? kAppPassword : kOther;
    ASSERT_EQ(volume_->EnsureScanned(), 0);
    const std::uint32_t used = volume_->UsedPageCount;
    ASSERT_EQ(ChangeStorageEncryption(Store(), mode, old, mode ? kAppPassword : kOther, sink), 0);
    ASSERT_GE(reports.size(), 5u);
    for (std::size_t i = 0; i < reports.size(); ++i) {
      EXPECT_EQ(reports[i].operation, mode ? kProgressEncrypting : kProgressDecrypting);
      EXPECT_EQ(reports[i].total, used);
      EXPECT_FALSE(reports[i].canStop);
      if (i > 0) {
        EXPECT_GT(reports[i].progress, reports[i - 1].progress);
      }
    }
    EXPECT_GE(reports.front().progress, 3u);
    EXPECT_EQ(reports.back().progress, used);
    ExpectContent();
  }
  Close();
}

TEST_F(StoragePasswordTest, AFailedRewriteLeavesEveryPageUnderTheOldKey) {
  // The new images go to shadow pages, after the writes that mount a
  // transaction table, and the commit's journal follows: a failure at any
  // of those writes, before the commit registers itself, changes nothing.
  std::uint64_t failAt = 1;
  int failed = 0;
  for (;; ++failAt) {
    SCOPED_TRACE(failAt);
    std::uint64_t rewrites = 0;
    ASSERT_NO_FATAL_FAILURE(FreshEncipheredVolume(rewrites));
    files_.FailWrite(files_.WriteCount() + failAt, EIO);
    const EngineResult changed =
        ChangeStorageEncryption(Store(), ecAES256_SHA256, kAppPassword, kOther);
    if (volume_->RecoveryPending()) break;  // registered: the next test's part
    // A page write-back that failed and was retried does not fail the change.
    if (changed != 0) {
      EXPECT_EQ(changed, EIO);
      ++failed;
    }
    std::uint32_t mode = 0;
    ASSERT_EQ(GetStorageEncryption(Store(), mode), 0);
    EXPECT_EQ(mode, changed == 0 ? ecAES256_SHA256 : ecAES256_HMAC256);
    ExpectContent();
    Close();
    Open(false);
    const auto& right = changed == 0 ? kOther : kAppPassword;
    const auto& wrong = changed == 0 ? kAppPassword : kOther;
    EXPECT_EQ(SupplyStoragePassword(Store(), wrong), errInvalidPassword);
    ASSERT_EQ(SupplyStoragePassword(Store(), right), 0);
    ExpectContent();
    Close();
  }
  EngineResult ignored = volume_->Close();
  (void)ignored;
  // The table, the shadows and the journal came first.
  EXPECT_GT(failed, 5);
}

TEST_F(StoragePasswordTest, ACommitThatFailsAfterItsRegistrationIsCompletedByTheNextOpen) {
  // The writes after the page rewrite belong to the commit of the new
  // record: before its registration a failure puts everything back under the
  // old key; after it, the next open completes the commit, so the pages must
  // stay under the new key. Either way exactly one password opens the volume
  // and everything is there.
  int completedLater = 0;
  for (std::uint64_t after = 1; after <= 24; ++after) {
    SCOPED_TRACE(after);
    std::uint64_t rewrites = 0;
    ASSERT_NO_FATAL_FAILURE(FreshEncipheredVolume(rewrites));
    files_.FailWrite(files_.WriteCount() + rewrites + after, EIO);
    const EngineResult changed =
        ChangeStorageEncryption(Store(), ecAES256_SHA256, kAppPassword, kOther);
    // The close may report the failure too (a commit left for recovery, or
    // a write that failed after the change): what counts is the next open.
    EngineResult ignored = volume_->Close();
    (void)ignored;
    store_.reset();
    volume_.reset();
    files_.ResetFaults();
    Open(false);
    const bool oldWorks = SupplyStoragePassword(Store(), kAppPassword) == 0;
    const bool newWorks = !oldWorks && SupplyStoragePassword(Store(), kOther) == 0;
    EXPECT_NE(oldWorks, newWorks);
    if (changed == 0) {
      EXPECT_TRUE(newWorks);
    }
    if (changed != 0 && newWorks) ++completedLater;
    ExpectContent();
    Close();
  }
  // Some of the failures fell after the registration.
  EXPECT_GT(completedLater, 0);
}

// After a power loss at any write of a key change, kept, lost or reordered,
// exactly one of the two passwords opens the volume and everything is there.
TEST_F(StoragePasswordTest, APowerLossAtAnyWriteLeavesTheOldOrTheNewPasswordWorking) {
  std::uint64_t rewrites = 0;
  ASSERT_NO_FATAL_FAILURE(FreshEncipheredVolume(rewrites));
  Close();
  const MemoryHostFiles::Snapshot base = files_.TakeSnapshot();
  // With transactions, and without them (as the application keeps its
  // containers), where the change mounts a table for its one commit.
  for (const bool transactions : {true, false}) {
    auto change = [&](MemoryHostFiles& files) {
      OpenVolume(false, {.transactions = transactions, .autoCompact = 0}, &files);
      if (SupplyStoragePassword(Store(), kAppPassword) == 0) {
        EngineResult ignored =
            ChangeStorageEncryption(Store(), ecAES256_SHA256, kAppPassword, kOther);
        (void)ignored;
      }
      EngineResult ignored = volume_->Close();
      (void)ignored;
      store_.reset();
      volume_.reset();
    };
    MemoryHostFiles full(base);
    full.ResetFaults();
    change(full);
    const std::uint64_t writes = full.WriteCount();
    int sawOld = 0, sawNew = 0;
    for (std::uint64_t cut = 0; cut < writes; ++cut) {
      for (const testing::PowerLossCase& loss : testing::kPowerLosses) {
        SCOPED_TRACE(std::string(transactions ? "transactions, " : "no transactions, ") +
                     "power lost after write " + std::to_string(cut) + " of " +
                     std::to_string(writes) + ", " + loss.name);
        MemoryHostFiles files(base);
        files.ResetFaults();
        files.SetPowerLoss(loss.unflushed, loss.seed);
        files.CrashAfterWrites(cut);
        change(files);
        MemoryHostFiles after(files.TakeSnapshot());
        OpenVolume(false, {.transactions = transactions, .autoCompact = 0}, &after);
        const bool oldWorks = SupplyStoragePassword(Store(), kAppPassword) == 0;
        const bool newWorks = !oldWorks && SupplyStoragePassword(Store(), kOther) == 0;
        EXPECT_NE(oldWorks, newWorks);
        sawOld += oldWorks;
        sawNew += newWorks;
        ExpectContent();
        EngineResult ignored = volume_->Close();
        (void)ignored;
        store_.reset();
        // Nothing leaked or half linked either.
        CheckReport report;
        EXPECT_EQ(CheckAndRepair(*volume_, name_, 512, kCheckOnly,
                                 newWorks ? ecAES256_SHA256 : ecAES256_HMAC256,
                                 newWorks ? kOther : kAppPassword, 0, nullptr, {}, &report),
                  0);
        EXPECT_EQ(report.OrphansFreed, 0u);
        EXPECT_EQ(report.LinksCut, 0u);
        volume_.reset();
      }
    }
    std::printf("key change (%s): %llu writes (%llu page rewrites), old %d, new %d\n",
                transactions ? "transactions" : "no transactions",
                static_cast<unsigned long long>(writes), static_cast<unsigned long long>(rewrites),
                sawOld, sawNew);
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
  }
}

TEST_F(StoragePasswordTest, AVolumeWithoutRoomForTheShadowsRefusesTheChangeAndKeepsItsKey) {
  {
    Volume formatter;
    ASSERT_EQ(formatter.SetHostFileCallbacks(files_.Callbacks()), 0);
    ASSERT_EQ(FormatVolume(formatter, name_, 20 * 512, 512, u"", 0, {}), 0);
  }
  OpenVolume(false, {.transactions = false, .autoCompact = 0});
  Fill();
  std::uint32_t free = 0;
  {
    StorageSize size;
    ASSERT_EQ(volume_->GetStorageSize(size), 0);
    free = static_cast<std::uint32_t>(size.FreeBytes / 512);
  }
  ASSERT_LT(free, 8u);  // fewer than the enciphered pages Fill takes
  EXPECT_EQ(ChangeStorageEncryption(Store(), ecAES256_HMAC256, {}, kAppPassword), errStorageFull);
  std::uint32_t mode = 9;
  ASSERT_EQ(GetStorageEncryption(Store(), mode), 0);
  EXPECT_EQ(mode, ecNoEncryption);
  ExpectContent();
  CloseVolume();
  ExpectSoundStructure(files_, name_);
  OpenVolume(false, {.transactions = false, .autoCompact = 0});
  EXPECT_EQ(SupplyStoragePassword(Store(), kOther), 0);  // no key: any password
  ExpectContent();
  CloseVolume();
}

// A stand-in custom cipher: XOR with the first key byte; the check value is
// the password padded with zeros.
struct XorEvents {
  static EngineResult Crypt(void*, const std::uint8_t* key, std::uint32_t keyLength,
                            std::uint8_t* data, std::uint32_t size, std::uint32_t, std::uint32_t) {
    for (std::uint32_t i = 0; i < size; ++i) data[i] ^= keyLength ? key[0] : 0x5A;
    return 0;
  }
  static EngineResult Hash(void*, const std::uint8_t* buffer, std::uint32_t count,
                           std::uint8_t* hash) {
    std::fill(hash, hash + kCheckValueSize, 0);
    std::copy_n(buffer, std::min<std::uint32_t>(count, kCheckValueSize), hash);
    return 0;
  }
  static EngineResult Validate(void*, const std::uint8_t* buffer, std::uint32_t count,
                               const std::uint8_t* hash, bool& valid) {
    std::uint8_t mine[kCheckValueSize];
    Hash(nullptr, buffer, count, mine);
    valid = std::equal(mine, mine + kCheckValueSize, hash);
    return 0;
  }
};

TEST_F(StoragePasswordTest, TheCustomModeUsesTheCallersEvents) {
  CustomCipherCallbacks events;
  events.OnDataEncrypt = &XorEvents::Crypt;
  events.OnDataDecrypt = &XorEvents::Crypt;
  events.OnHashCalculate = &XorEvents::Hash;
  events.OnHashValidate = &XorEvents::Validate;
  Open(true);
  Store().CustomCipher = &events;
  ASSERT_EQ(ChangeStorageEncryption(Store(), ecCustom256, {}, kAppPassword), 0);
  Fill();
  Close();
  ExpectPlainText(false);
  Open(false);
  Store().CustomCipher = &events;
  EXPECT_EQ(SupplyStoragePassword(Store(), kOther), errInvalidPassword);
  ASSERT_EQ(SupplyStoragePassword(Store(), kAppPassword), 0);
  ExpectContent();
  Close();
}

}  // namespace
}  // namespace vaultfs
