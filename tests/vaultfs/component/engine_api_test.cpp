// The flat entry layer: handle life cycle, whole-container functions,
// settings, path-level compositions and file-handle functions.
#include "vaultfs/engine_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "vaultfs/format/page_layout.h"
#include "vaultfs/util/byte_order.h"
#include "vaultfs/volume/page_cipher.h"
#include "vaultfs/utf16.h"
#include "support/memory_host_files.h"

namespace vaultfs {
namespace {

using testing::MemoryHostFiles;

const std::u16string kName = u"container.vfs";
const std::u16string kLogo = u"Entry layer test";
constexpr std::uint32_t kPageSize = 512;
const std::string kPassword = "storage secret";

class EngineApiTest : public ::testing::Test {
 protected:
  ~EngineApiTest() override {
    if (handle_) {
      EngineResult ignored = StorageClose(handle_);
      (void)ignored;
    }
  }

  EngineResult Create(char16_t separator = u'/') {
    return StorageCreateCB(kName, false, kPageSize, kLogo, handle_, separator, true, false, false,
                           &files_, files_.Callbacks());
  }
  EngineResult Open(bool readOnly = false, char16_t separator = u'/') {
    return StorageOpenCB(kName, handle_, separator, true, false, readOnly, &files_,
                         files_.Callbacks());
  }
  void Close() {
    ASSERT_NE(handle_, nullptr);
    EXPECT_EQ(StorageClose(handle_), 0);
    handle_ = nullptr;
    EXPECT_EQ(files_.OpenHandleCount(), 0u);
  }

  void WriteFile(std::u16string_view path, const std::string& text) {
    FileHandle* file = nullptr;
    ASSERT_EQ(
        StorageCreateFile(handle_, path, true, true, false, false, 0, nullptr, 0, file, true, true),
        0);
    std::uint32_t done = 0;
    EXPECT_EQ(StorageWrite(file, text.data(), static_cast<std::uint32_t>(text.size()), done), 0);
    EXPECT_EQ(done, text.size());
    EXPECT_EQ(StorageCloseFile(file), 0);
  }
  std::string ReadFile(std::u16string_view path) {
    FileHandle* file = nullptr;
    EXPECT_EQ(StorageOpenFile(handle_, path, true, false, false, false, nullptr, 0, file), 0);
    if (!file) return {};
    std::string text(4096, '\0');
    std::uint32_t done = 0;
    EngineResult r = StorageRead(file, text.data(), static_cast<std::uint32_t>(text.size()), done);
    EXPECT_TRUE(r == 0 || r == errSeekBeyondEOF) << r;
    text.resize(done);
    EXPECT_EQ(StorageCloseFile(file), 0);
    return text;
  }
  bool Exists(std::u16string_view path) {
    bool exists = false;
    EXPECT_EQ(StorageFileExists(handle_, path, exists), 0) << Utf16ToUtf8(path);
    return exists;
  }

  MemoryHostFiles files_;
  StorageHandle handle_ = nullptr;
};

// ---------------------------------------------------------------- life cycle

TEST_F(EngineApiTest, CreateAndOpenThroughCallbacksRoundTrip) {
  ASSERT_EQ(Create(u'\\'), 0);
  ASSERT_NE(handle_, nullptr);
  char16_t separator = 0;
  ASSERT_EQ(StorageGetPathSeparator(handle_, separator), 0);
  EXPECT_EQ(separator, u'\\');
  ASSERT_EQ(StorageForceCreateDirectories(handle_, u"\\docs\\notes"), 0);
  WriteFile(u"\\docs\\notes\\a.txt", "first file");
  Close();

  ASSERT_EQ(Open(true, u'/'), 0);
  bool readOnly = false;
  ASSERT_EQ(StorageGetReadOnly(handle_, readOnly), 0);
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(ReadFile(u"/docs/notes/a.txt"), "first file");
  std::uint32_t pageSize = 0;
  const char16_t* logo = nullptr;
  ASSERT_EQ(StorageGetPageSizeAndLogo(handle_, pageSize, logo), 0);
  EXPECT_EQ(pageSize, kPageSize);
  EXPECT_EQ(std::u16string(logo), kLogo);
  Close();
}

TEST_F(EngineApiTest, OpeningSomethingElseLeavesTheHandleNull) {
  files_.SetContents(kName, std::vector<std::uint8_t>(4096, 0x5A));
  handle_ = reinterpret_cast<StorageHandle>(&files_);  // must be overwritten
  EXPECT_EQ(Open(), errInvalidStorageFile);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(StorageIsValidCB(kName, &files_, files_.Callbacks()), errInvalidStorageFile);

  files_.Remove(kName);
  EXPECT_EQ(Open(), ENOENT);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
}

TEST_F(EngineApiTest, IncompleteHostCallbacksAreRefused) {
  HostFileCallbacks callbacks = files_.Callbacks();
  callbacks.OnFileFlush = nullptr;
  EXPECT_EQ(StorageCreateCB(kName, false, kPageSize, kLogo, handle_, u'/', true, false, false,
                            &files_, callbacks),
            errInvalidParameter);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_FALSE(files_.Exists(kName));
}

TEST_F(EngineApiTest, SystemFilesRoundTrip) {
  std::string pattern = (std::filesystem::temp_directory_path() / "engine-api-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path directory = pattern;
  const std::u16string name = Utf8ToUtf16((directory / "plain.vfs").string());

  ASSERT_EQ(StorageCreate(name, false, kPageSize, kLogo, handle_, u'/', true, false), 0);
  WriteFile(u"/a.txt", "on disk");
  ASSERT_EQ(StorageClose(handle_), 0);
  handle_ = nullptr;
  EXPECT_EQ(StorageIsValid(name), 0);

  bool corrupted = true;
  std::uint32_t volumeId = 0, pageSize = 0;
  char16_t logo[64];
  ASSERT_EQ(StorageGetInfo(name, corrupted, volumeId, pageSize, logo, 64), 0);
  EXPECT_FALSE(corrupted);
  EXPECT_EQ(pageSize, kPageSize);
  EXPECT_EQ(std::u16string(logo), kLogo);

  ASSERT_EQ(StorageOpen(name, handle_, u'/', true, false), 0);
  std::uint32_t openId = 0;
  ASSERT_EQ(StorageGetVolumeId(handle_, openId), 0);
  EXPECT_EQ(openId, volumeId);
  EXPECT_EQ(ReadFile(u"/a.txt"), "on disk");
  ASSERT_EQ(StorageClose(handle_), 0);

  ASSERT_EQ(StorageOpenReadOnly(name, handle_, u'/', true, false), 0);
  bool readOnly = false;
  ASSERT_EQ(StorageGetReadOnly(handle_, readOnly), 0);
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(StorageCreateDirectory(handle_, u"/new"), errStorageReadOnly);
  ASSERT_EQ(StorageClose(handle_), 0);
  handle_ = nullptr;
  // A read-only session leaves no journal behind.
  EXPECT_FALSE(std::filesystem::exists(directory / "plain.log"));
  std::filesystem::remove_all(directory);
}

TEST_F(EngineApiTest, VolumeFiguresAreReadWithoutTheDirectoryTree) {
  std::string pattern = (std::filesystem::temp_directory_path() / "engine-api-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path directory = pattern;
  const std::string path = (directory / "figures.vfs").string();
  const std::u16string name = Utf8ToUtf16(path);

  ASSERT_EQ(StorageCreate(name, false, kPageSize, kLogo, handle_, u'/', true, false), 0);
  WriteFile(u"/a.txt", "figures");
  ASSERT_EQ(StorageClose(handle_), 0);
  // The sizes as a read-only session sees the closed container.
  std::uint64_t size = 0, freeSpace = 0;
  ASSERT_EQ(StorageOpenReadOnly(name, handle_, u'/', true, false), 0);
  ASSERT_EQ(StorageGetSizes(handle_, nullptr, &size, &freeSpace), 0);
  ASSERT_EQ(StorageClose(handle_), 0);
  handle_ = nullptr;

  VolumeFigures figures;
  EngineResult closed = -1;
  ASSERT_EQ(StorageGetVolumeFigures(name, figures, closed), 0);
  EXPECT_EQ(closed, 0);
  bool corrupted = true;
  std::uint32_t volumeId = 0, pageSize = 0;
  ASSERT_EQ(StorageGetInfo(name, corrupted, volumeId, pageSize, nullptr, 0), 0);
  EXPECT_EQ(figures.PageSize, kPageSize);
  EXPECT_EQ(figures.Logo, kLogo);
  EXPECT_EQ(figures.VolumeId, volumeId);
  EXPECT_FALSE(figures.ByteSwapped);
  EXPECT_EQ(figures.VolumeStart, 0u);
  EXPECT_FALSE(figures.Corrupted);
  EXPECT_FALSE(figures.FixedSize);
  EXPECT_EQ(figures.MaxPageCount, 0u);
  EXPECT_EQ(std::uint64_t{figures.HostPageCount} * kPageSize, std::filesystem::file_size(path));
  EXPECT_EQ(figures.Size, size);
  EXPECT_EQ(figures.FreeBytes, freeSpace);
  EXPECT_GE(figures.LastObjectId, 2u);  // the root and the file
  EXPECT_FALSE(figures.Mounted);
  EXPECT_EQ(figures.TransactionTablePage, 0u);
  // Nothing was written and no journal left behind.
  EXPECT_FALSE(std::filesystem::exists(directory / "figures.log"));

  // A root entry that names another object keeps the container from opening,
  // but not from telling its figures.
  {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(kPageSize + layout::kRootEntry + layout::kEntryObjectId);
    const char other[4] = {5, 0, 0, 0};
    file.write(other, sizeof other);
  }
  EXPECT_EQ(StorageOpenReadOnly(name, handle_, u'/', true, false), errStorageCorrupted);
  EXPECT_EQ(handle_, nullptr);
  VolumeFigures damaged;
  ASSERT_EQ(StorageGetVolumeFigures(name, damaged, closed), 0);
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(damaged.VolumeId, volumeId);
  EXPECT_EQ(damaged.Size, size);

  // Something else, or nothing: the open's error, figures untouched.
  std::ofstream(directory / "other.bin") << std::string(4096, 'x');
  VolumeFigures none;
  closed = -1;
  EXPECT_EQ(StorageGetVolumeFigures(Utf8ToUtf16((directory / "other.bin").string()), none, closed),
            errInvalidStorageFile);
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(none.PageSize, 0u);
  EXPECT_EQ(
      StorageGetVolumeFigures(Utf8ToUtf16((directory / "missing.vfs").string()), none, closed),
      ENOENT);
  std::filesystem::remove_all(directory);
}

TEST_F(EngineApiTest, CloseFreesEverythingEvenWhenTheCloseFails) {
  ASSERT_EQ(Create(), 0);
  WriteFile(u"/kept.txt", "data");
  // Left open on purpose: the close ends the file handle and the search.
  FileHandle* file = nullptr;
  ASSERT_EQ(StorageCreateFile(handle_, u"/open.txt", true, true, false, false, 0, nullptr, 0, file,
                              false, false),
            0);
  std::uint32_t done = 0;
  ASSERT_EQ(StorageWrite(file, "pending", 7, done), 0);
  auto search = std::make_unique<SearchRecord>();
  ASSERT_EQ(StorageFindFirst(handle_, u"/*", *search, 0xFFFFFFFF), 0);

  files_.FailWrite(files_.WriteCount() + 1, EIO);
  EXPECT_EQ(StorageClose(handle_), EIO);
  handle_ = nullptr;
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
  // The search was ended with the volume; its record outlives it safely.
  EXPECT_EQ(StorageFindNext(*search), errHandleClosed);
  search.reset();
}

TEST_F(EngineApiTest, CloseWithAnOpenSearchSucceeds) {
  ASSERT_EQ(Create(), 0);
  ASSERT_EQ(StorageCreateDirectory(handle_, u"/d"), 0);
  SearchRecord search;
  ASSERT_EQ(StorageFindFirst(handle_, u"/*", search, 0xFFFFFFFF), 0);
  EXPECT_EQ(search.Name, u"d");
  Close();
  EXPECT_EQ(StorageFindNext(search), errHandleClosed);
  EXPECT_EQ(StorageFindClose(search), 0);
  ASSERT_EQ(Open(), 0);
  EXPECT_TRUE(Exists(u"/d"));
  bool corrupted = true;
  ASSERT_EQ(StorageGetCorrupted(handle_, corrupted), 0);
  EXPECT_FALSE(corrupted);
}

TEST_F(EngineApiTest, ReopenFileFollowsTheNewFile) {
  ASSERT_EQ(Create(), 0);
  WriteFile(u"/a.txt", "before the move");
  ASSERT_EQ(StorageFlush(handle_), 0);
  const std::u16string moved = u"moved.vfs";
  files_.SetContents(moved, files_.Contents(kName));
  files_.Remove(kName);
  files_.SetReadOnly(moved, true);

  ASSERT_EQ(StorageReopenFileCB(handle_, moved, nullptr, HostFileCallbacks{}), 0);
  bool readOnly = false;
  ASSERT_EQ(StorageGetReadOnly(handle_, readOnly), 0);
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(ReadFile(u"/a.txt"), "before the move");
  bool mismatch = true;
  ASSERT_EQ(StorageCheckInfoPages(handle_, mismatch), 0);
  EXPECT_FALSE(mismatch);

  // A failed reopen leaves the handle without a host file: nothing reads a
  // stale file, and the close still frees everything.
  EXPECT_EQ(StorageReopenFile(handle_, u"missing.vfs"), ENOENT);
  ASSERT_EQ(StorageCheckInfoPages(handle_, mismatch), 0);
  EXPECT_TRUE(mismatch);
  EXPECT_EQ(StorageClose(handle_), 0);
  handle_ = nullptr;
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
}

// --------------------------------------------------- whole-container functions

TEST_F(EngineApiTest, GetInfoChecksTheLogoBuffer) {
  ASSERT_EQ(Create(), 0);
  std::uint32_t openId = 0;
  ASSERT_EQ(StorageGetVolumeId(handle_, openId), 0);
  Close();
  const HostFileCallbacks callbacks = files_.Callbacks();

  bool corrupted = true;
  std::uint32_t volumeId = 0, pageSize = 0;
  std::vector<char16_t> logo(70, u'#');
  EXPECT_EQ(
      StorageGetInfoCB(kName, corrupted, volumeId, pageSize, logo.data(), 63, &files_, callbacks),
      errInvalidParameter);
  EXPECT_EQ(logo[0], u'#');

  ASSERT_EQ(StorageGetInfoCB(kName, corrupted, volumeId, pageSize, nullptr, 0, &files_, callbacks),
            0);
  EXPECT_FALSE(corrupted);
  EXPECT_EQ(volumeId, openId);
  EXPECT_EQ(pageSize, kPageSize);

  ASSERT_EQ(
      StorageGetInfoCB(kName, corrupted, volumeId, pageSize, logo.data(), 64, &files_, callbacks),
      0);
  EXPECT_EQ(std::u16string(logo.data()), kLogo);
  // The 62 logo units and the terminator, nothing after them.
  for (std::size_t i = kLogo.size(); i < 63; ++i) EXPECT_EQ(logo[i], u'\0') << i;
  for (std::size_t i = 63; i < logo.size(); ++i) EXPECT_EQ(logo[i], u'#') << i;
}

TEST_F(EngineApiTest, LogoIsCutAtSixtyTwoUnitsAndEmptyMeansTheDefault) {
  ASSERT_EQ(Create(), 0);
  const std::u16string longLogo(80, u'L');
  ASSERT_EQ(StorageSetLogo(handle_, longLogo), 0);
  std::uint32_t pageSize = 0;
  const char16_t* logo = nullptr;
  ASSERT_EQ(StorageGetPageSizeAndLogo(handle_, pageSize, logo), 0);
  EXPECT_EQ(std::u16string(logo), longLogo.substr(0, 62));

  ASSERT_EQ(StorageSetLogo(handle_, u""), 0);
  ASSERT_EQ(StorageGetPageSizeAndLogo(handle_, pageSize, logo), 0);
  EXPECT_FALSE(std::u16string(logo).empty());
  EXPECT_NE(std::u16string(logo), longLogo.substr(0, 62));
}

class EngineApiCheckAndRepairTest : public EngineApiTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(Create(), 0);
    ASSERT_EQ(StorageSetEncryption(handle_, ecAES256_HMAC256, nullptr, 0, kPassword.data(),
                                   static_cast<std::uint32_t>(kPassword.size())),
              0);
    Close();
    before_ = files_.Contents(kName);
  }
  EngineResult Run(const std::string& password, bool ex = false) {
    const void* bytes = password.empty() ? nullptr : password.data();
    const auto length = static_cast<std::uint32_t>(password.size());
    if (ex)
      return StorageCheckAndRepairEx(kName, kPageSize, kCheckOnly, bytes, length, nullptr, nullptr,
                                     true, &files_, files_.Callbacks(), nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
    return StorageCheckAndRepairCB(kName, kPageSize, kCheckOnly, bytes, length, nullptr, nullptr,
                                   &files_, files_.Callbacks());
  }
  std::vector<std::uint8_t> before_;
};

TEST_F(EngineApiCheckAndRepairTest, PasswordIsCheckedFirst) {
  struct Case {
    const char* what;
    std::string password;
    bool ex;
    EngineResult expected;
  };
  // The container is enciphered and sound: with its password the check runs
  // and finds nothing; without one it cannot read the pages. Checking writes
  // nothing either way.
  const Case cases[] = {
      {"wrong password", "not it", false, errInvalidPassword},
      {"wrong password, full form", "not it", true, errInvalidPassword},
      {"right password", kPassword, false, 0},
      {"right password, full form", kPassword, true, 0},
      {"no password", "", false, errInvalidPassword},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.password, c.ex), c.expected) << c.what;
    EXPECT_EQ(files_.Contents(kName), before_) << c.what;
    EXPECT_EQ(files_.OpenHandleCount(), 0u) << c.what;
  }
}

TEST_F(EngineApiCheckAndRepairTest, ANonContainerFailsTheOpen) {
  files_.SetContents(kName, std::vector<std::uint8_t>(4096, 0x11));
  EXPECT_EQ(Run(kPassword), errInvalidStorageFile);
}

// ---------------------------------------------------------- settings and state

TEST_F(EngineApiTest, PreOpenSettingsAreRefusedOnAnOpenHandle) {
  ASSERT_EQ(Create(), 0);
  EXPECT_EQ(StorageSetPathSeparator(handle_, u':'), errStorageActive);
  EXPECT_EQ(StorageSetUseTransactions(handle_, false), errStorageActive);
  EXPECT_EQ(StorageSetUseAccessTime(handle_, true), errStorageActive);
  char16_t separator = 0;
  bool transactions = false, accessTime = true;
  ASSERT_EQ(StorageGetPathSeparator(handle_, separator), 0);
  ASSERT_EQ(StorageGetUseTransactions(handle_, transactions), 0);
  ASSERT_EQ(StorageGetUseAccessTime(handle_, accessTime), 0);
  EXPECT_EQ(separator, u'/');
  EXPECT_TRUE(transactions);
  EXPECT_FALSE(accessTime);
}

TEST_F(EngineApiTest, BufferingZeroKeepsTheOldValue) {
  ASSERT_EQ(Create(), 0);
  ASSERT_EQ(StorageSetBuffering(handle_, 4), 0);
  EXPECT_EQ(StorageSetBuffering(handle_, 0), errInvalidParameter);
  std::uint16_t buffering = 0;
  ASSERT_EQ(StorageGetBuffering(handle_, buffering), 0);
  EXPECT_EQ(buffering, 4);
}

TEST_F(EngineApiTest, MaxPageCountBelowThePagesInUseIsRefused) {
  ASSERT_EQ(Create(), 0);
  WriteFile(u"/a.txt", std::string(3000, 'x'));
  ASSERT_EQ(StorageSetMaxPageCount(handle_, 1000), 0);
  for (std::uint32_t pages : {0u, 1u, 3u})
    EXPECT_EQ(StorageSetMaxPageCount(handle_, pages), errInvalidParameter) << pages;
  std::uint32_t pages = 0;
  ASSERT_EQ(StorageGetMaxPageCount(handle_, pages), 0);
  EXPECT_EQ(pages, 1000u);
}

TEST_F(EngineApiTest, SizesAcceptNullOutputs) {
  ASSERT_EQ(Create(), 0);
  std::uint64_t size = 0, freeSpace = ~std::uint64_t{0};
  bool fixed = true;
  EXPECT_EQ(StorageGetSizes(handle_, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(StorageGetSizes(handle_, &fixed, &size, nullptr), 0);
  EXPECT_FALSE(fixed);
  EXPECT_GE(size, 3u * kPageSize);
  ASSERT_EQ(StorageGetSizes(handle_, nullptr, nullptr, &freeSpace), 0);
  EXPECT_LT(freeSpace, size);
}

TEST_F(EngineApiTest, VolumeTimesFollowChanges) {
  const StorageTime start = Now();
  ASSERT_EQ(Create(), 0);
  StorageTime accessed = 0, modified = 0;
  ASSERT_EQ(StorageGetLastAccessTime(handle_, accessed), 0);
  ASSERT_EQ(StorageGetLastModificationTime(handle_, modified), 0);
  EXPECT_GE(accessed, start);
  EXPECT_GE(modified, start);
  WriteFile(u"/a.txt", "x");
  StorageTime later = 0;
  ASSERT_EQ(StorageGetLastModificationTime(handle_, later), 0);
  EXPECT_GE(later, modified);
  EXPECT_LE(later, Now());
}

TEST_F(EngineApiTest, CaseSensitivityChangeKeepsLoadedNamesFindable) {
  ASSERT_EQ(Create(), 0);
  // Code-unit order puts "B" before "a"; the case-blind order the other way.
  ASSERT_EQ(StorageCreateDirectory(handle_, u"/B"), 0);
  ASSERT_EQ(StorageCreateDirectory(handle_, u"/a"), 0);
  ASSERT_TRUE(Exists(u"/a"));  // the root's index is loaded now

  ASSERT_EQ(StorageSetCaseSensitive(handle_, false), 0);
  EXPECT_TRUE(Exists(u"/a"));
  EXPECT_TRUE(Exists(u"/A"));
  EXPECT_TRUE(Exists(u"/b"));
  EXPECT_EQ(StorageCreateDirectory(handle_, u"/A"), errAlreadyExists);

  ASSERT_EQ(StorageSetCaseSensitive(handle_, true), 0);
  EXPECT_TRUE(Exists(u"/a"));
  EXPECT_FALSE(Exists(u"/A"));
}

TEST_F(EngineApiTest, StoragePasswordsAsBytes) {
  ASSERT_EQ(Create(), 0);
  const auto length = static_cast<std::uint32_t>(kPassword.size());
  WriteFile(u"/secret.txt", "enciphered");
  ASSERT_EQ(StorageSetEncryption(handle_, ecAES256_HMAC256, nullptr, 0, kPassword.data(), length),
            0);
  Close();

  ASSERT_EQ(Open(), 0);
  // Failures other than a missing file come back as they are.
  bool exists = true;
  EXPECT_EQ(StorageFileExists(handle_, u"/secret.txt", exists), errInvalidPassword);
  EXPECT_FALSE(exists);
  std::uint32_t mode = 0;
  ASSERT_EQ(StorageGetEncryption(handle_, mode), 0);
  EXPECT_EQ(mode, ecAES256_HMAC256);
  bool valid = true;
  // A pointer with no bytes is no password at all.
  ASSERT_EQ(StorageCheckPassword(handle_, kPassword.data(), 0, valid, mode), 0);
  EXPECT_FALSE(valid);
  ASSERT_EQ(StorageCheckPassword(handle_, kPassword.data(), length, valid, mode), 0);
  EXPECT_TRUE(valid);
  EXPECT_EQ(StorageSupplyPassword(handle_, "wrong", 5), errInvalidPassword);
  ASSERT_EQ(StorageSupplyPassword(handle_, kPassword.data(), length), 0);
  EXPECT_EQ(ReadFile(u"/secret.txt"), "enciphered");

  int reports = 0;
  ASSERT_EQ(StorageSetEncryptionWithProgress(
                handle_, ecNoEncryption, kPassword.data(), length, nullptr, 0, &reports,
                [](void* userData, std::uint8_t, std::uint32_t, std::uint32_t, bool, bool& stop) {
                  stop = false;
                  ++*static_cast<int*>(userData);
                }),
            0);
  EXPECT_GT(reports, 0);
  EXPECT_EQ(ReadFile(u"/secret.txt"), "enciphered");
}

TEST(EngineApi, VersionIsFixed) {
  std::uint32_t version = 0;
  EXPECT_EQ(StorageGetVersion(version), 0);
  EXPECT_EQ(version, 0x03000000u);
}

// ------------------------------------------------------------ path functions

TEST_F(EngineApiTest, ForceCreateDirectoriesCreatesWhatIsMissing) {
  ASSERT_EQ(Create(), 0);
  ASSERT_EQ(StorageCreateDirectory(handle_, u"/one"), 0);
  ASSERT_EQ(StorageForceCreateDirectories(handle_, u"/one/two/three"), 0);
  EXPECT_TRUE(Exists(u"/one/two"));
  EXPECT_TRUE(Exists(u"/one/two/three"));
  EXPECT_EQ(StorageForceCreateDirectories(handle_, u"/one/two/three"), 0);

  // A file in the way ends the walk with the failure.
  WriteFile(u"/one/file", "x");
  EXPECT_EQ(StorageForceCreateDirectories(handle_, u"/one/file/below"), errPathNotFound);
  EXPECT_FALSE(Exists(u"/one/file/below"));
}

TEST_F(EngineApiTest, FileExistsTurnsNotFoundIntoFalse) {
  ASSERT_EQ(Create(), 0);
  WriteFile(u"/present", "x");
  EXPECT_TRUE(Exists(u"/present"));
  EXPECT_FALSE(Exists(u"/missing"));
  EXPECT_FALSE(Exists(u"/present/below"));
}

TEST_F(EngineApiTest, FileSizeAndTagsAreTheObjectsOwn) {
  ASSERT_EQ(Create(), 0);
  WriteFile(u"/f.txt", "twelve bytes");
  ASSERT_EQ(StorageSetFileTag(handle_, u"/f.txt", 0x8123, "0123456789", 10), 0);
  ASSERT_EQ(StorageSetFileTag(handle_, u"/f.txt", 0x8001, "abc", 3), 0);
  ASSERT_EQ(StorageCreateDirectory(handle_, u"/d"), 0);
  ASSERT_EQ(StorageCreateLink(handle_, u"/l", u"/f.txt"), 0);

  std::uint64_t size = 0;
  std::vector<FileTagInfo> tags;
  ASSERT_EQ(StorageGetFileSizeAndTags(handle_, u"/f.txt", size, tags), 0);
  EXPECT_EQ(size, 12u);
  ASSERT_EQ(tags.size(), 2u);
  bool sawFirst = false, sawSecond = false;
  for (const FileTagInfo& tag : tags) {
    bool present = false;
    std::uint32_t tagSize = 0;
    ASSERT_EQ(StorageGetFileTagSize(handle_, u"/f.txt", tag.Id, present, tagSize), 0);
    EXPECT_TRUE(present);
    EXPECT_EQ(tag.Size, tagSize);
    sawFirst |= tag.Id == 0x8001 && tag.Size == 3;
    sawSecond |= tag.Id == 0x8123 && tag.Size == 10;
  }
  EXPECT_TRUE(sawFirst);
  EXPECT_TRUE(sawSecond);

  // A link answers for itself, not for its target.
  ASSERT_EQ(StorageGetFileSizeAndTags(handle_, u"/l", size, tags), 0);
  EXPECT_TRUE(tags.empty());
  ASSERT_EQ(StorageGetFileSizeAndTags(handle_, u"/d", size, tags), 0);
  EXPECT_TRUE(tags.empty());

  size = 77;
  tags.assign(1, FileTagInfo{1, 1});
  EXPECT_EQ(StorageGetFileSizeAndTags(handle_, u"/missing", size, tags), errFileNotFound);
  EXPECT_EQ(size, 77u);
  EXPECT_EQ(tags.size(), 1u);
  Close();
}

// A tag whose record claims more bytes than it holds is damage, whether its
// size or its bytes are asked for: callers size their buffer by the size, so
// a damaged container must never make them allocate gigabytes.
TEST_F(EngineApiTest, ATagClaimingMoreThanItsRecordHoldsIsDamage) {
  ASSERT_EQ(Create(), 0);
  const std::string tag = "a tag that claims gigabytes";
  ASSERT_EQ(StorageSetFileTag(handle_, u"/", 0x8123, tag.data(),
                              static_cast<std::uint32_t>(tag.size())),
            0);
  Close();
  std::vector<std::uint8_t> bytes = files_.Contents(kName);
  int planted = 0;
  for (auto at = bytes.begin();
       (at = std::search(at, bytes.end(), tag.begin(), tag.end())) != bytes.end(); ++at, ++planted)
    StoreU32(&*at - layout::kRecordHeadSize + layout::kRecordDataSize, 0x52000000);
  ASSERT_GT(planted, 0);
  files_.SetContents(kName, bytes);

  ASSERT_EQ(Open(true), 0);
  bool present = true;
  std::uint32_t size = 77;
  EXPECT_EQ(StorageGetFileTagSize(handle_, u"/", 0x8123, present, size), errStorageCorrupted);
  EXPECT_FALSE(present);
  EXPECT_EQ(size, 0u);
  std::vector<std::uint8_t> buffer(64);
  size = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(StorageGetFileTag(handle_, u"/", 0x8123, buffer.data(), size), errStorageCorrupted);
  Close();
}

TEST_F(EngineApiTest, LinkBuffersReportWhatTheyNeed) {
  ASSERT_EQ(Create(), 0);
  ASSERT_EQ(StorageForceCreateDirectories(handle_, u"/dir/sub"), 0);
  ASSERT_EQ(StorageCreateLink(handle_, u"/link", u"dir/sub"), 0);

  std::uint32_t length = 0;
  EXPECT_EQ(StorageGetLinkDestination(handle_, u"/link", nullptr, length), errBufferTooSmall);
  EXPECT_EQ(length, (7 + 1) * sizeof(char16_t));
  std::vector<char16_t> buffer(length / sizeof(char16_t));
  ASSERT_EQ(StorageGetLinkDestination(handle_, u"/link", buffer.data(), length), 0);
  EXPECT_EQ(std::u16string(buffer.data()), u"dir/sub");

  length = 3;
  EXPECT_EQ(StorageResolveLink(handle_, u"/link", buffer.data(), length), errBufferTooSmall);
  EXPECT_EQ(length, 8u + 1u);  // "/dir/sub" and its terminator, in units
  buffer.assign(length, u'#');
  ASSERT_EQ(StorageResolveLink(handle_, u"/link", buffer.data(), length), 0);
  EXPECT_EQ(std::u16string(buffer.data()), u"/dir/sub");
}

// ------------------------------------------------------- file-handle functions

TEST_F(EngineApiTest, ReadAtAndWriteAtUseTheirOffset) {
  ASSERT_EQ(Create(), 0);
  FileHandle* file = nullptr;
  ASSERT_EQ(StorageCreateFile(handle_, u"/f", true, true, false, false, 0, nullptr, 0, file, false,
                              false),
            0);
  std::uint32_t done = 0;
  ASSERT_EQ(StorageWriteAt(file, 10, "hello", 5, done), 0);
  EXPECT_EQ(done, 5u);
  std::uint64_t position = 0, size = 0;
  ASSERT_EQ(StorageGetPosition(file, position), 0);
  EXPECT_EQ(position, 15u);
  ASSERT_EQ(StorageGetFileSize(file, size), 0);
  EXPECT_EQ(size, 15u);

  char buffer[8] = {};
  ASSERT_EQ(StorageReadAt(file, 12, buffer, 8, done), 0);
  EXPECT_EQ(std::string(buffer, done), "llo");
  EXPECT_EQ(StorageReadAt(file, 15, buffer, 8, done), errSeekBeyondEOF);
  EXPECT_EQ(done, 0u);

  ASSERT_EQ(StorageSeek64(file, 12, 0, position), 0);
  ASSERT_EQ(StorageTruncateFile(file), 0);
  ASSERT_EQ(StorageGetFileSize(file, size), 0);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(StorageCloseFile(file), 0);
}

TEST_F(EngineApiTest, ConcurrentWriteAtCallsLandAtTheirOwnOffsets) {
  ASSERT_EQ(Create(), 0);
  FileHandle* file = nullptr;
  ASSERT_EQ(StorageCreateFile(handle_, u"/shared", true, true, false, false, 0, nullptr, 0, file,
                              false, false),
            0);
  constexpr std::uint32_t kChunk = 16;
  constexpr std::uint32_t kRounds = 1000;
  auto writer = [&](std::uint32_t lane) {
    std::vector<char> chunk(kChunk, static_cast<char>('A' + lane));
    for (std::uint32_t i = 0; i < kRounds; ++i) {
      std::uint32_t done = 0;
      const std::uint64_t offset = (std::uint64_t{i} * 2 + lane) * kChunk;
      EXPECT_EQ(StorageWriteAt(file, offset, chunk.data(), kChunk, done), 0);
      EXPECT_EQ(done, kChunk);
    }
  };
  std::thread first(writer, 0), second(writer, 1);
  first.join();
  second.join();

  std::vector<char> all(kRounds * 2 * kChunk);
  std::uint32_t done = 0;
  ASSERT_EQ(StorageReadAt(file, 0, all.data(), static_cast<std::uint32_t>(all.size()), done), 0);
  ASSERT_EQ(done, all.size());
  for (std::size_t i = 0; i < all.size(); ++i)
    ASSERT_EQ(all[i], static_cast<char>('A' + (i / kChunk) % 2)) << "offset " << i;
  EXPECT_EQ(StorageCloseFile(file), 0);
}

TEST_F(EngineApiTest, ThirtyTwoBitSeekRefusesPositionsItCannotReport) {
  ASSERT_EQ(Create(), 0);
  FileHandle* file = nullptr;
  ASSERT_EQ(StorageCreateFile(handle_, u"/f", true, true, false, false, 0, nullptr, 0, file, false,
                              false),
            0);
  std::uint32_t done = 0;
  ASSERT_EQ(StorageWrite(file, "0123456789", 10, done), 0);
  struct Case {
    std::uint64_t start;
    std::int32_t offset;
    std::uint16_t origin;
    EngineResult expected;
    std::uint64_t after;
  };
  const Case cases[] = {
      {0, 4, 0, 0, 4},
      {4, -2, 1, 0, 2},
      {4, -3, 2, 0, 7},
      {4, -1, 0, errInvalidParameter, 4},
      {4, -5, 1, errInvalidParameter, 4},
      {4, -11, 2, errInvalidParameter, 4},
      {0xFFFFFFF0u, 0xF, 1, 0, 0xFFFFFFFFu},
      {0xFFFFFFF0u, 0x10, 1, errInvalidParameter, 0xFFFFFFF0u},
      {0x100000000u, -1, 1, 0, 0xFFFFFFFFu},
      {0x100000000u, 0, 1, errInvalidParameter, 0x100000000u},
      {4, 1, 3, errInvalidParameter, 4},
  };
  for (const Case& c : cases) {
    std::uint64_t position = 0;
    ASSERT_EQ(StorageSeek64(file, static_cast<std::int64_t>(c.start), 0, position), 0);
    std::uint32_t reported = 0;
    EXPECT_EQ(StorageSeek(file, c.offset, c.origin, reported), c.expected)
        << c.start << " " << c.offset << " " << c.origin;
    ASSERT_EQ(StorageGetPosition(file, position), 0);
    EXPECT_EQ(position, c.after) << c.start << " " << c.offset << " " << c.origin;
    if (c.expected == 0) {
      EXPECT_EQ(reported, c.after);
    }
  }
  EXPECT_EQ(StorageCloseFile(file), 0);
}

TEST_F(EngineApiTest, RootFileOpensAndCloses) {
  ASSERT_EQ(Create(), 0);
  FileHandle* root = nullptr;
  ASSERT_EQ(StorageOpenRootFile(handle_, root), 0);
  std::uint32_t done = 0;
  ASSERT_EQ(StorageWrite(root, "root data", 9, done), 0);
  ASSERT_EQ(StorageFlushFile(root, 0), 0);
  EXPECT_EQ(StorageCloseFile(root), 0);
  ASSERT_EQ(StorageOpenRootFile(handle_, root), 0);
  char buffer[16] = {};
  ASSERT_EQ(StorageRead(root, buffer, sizeof buffer, done), 0);
  EXPECT_EQ(std::string(buffer, done), "root data");
  EXPECT_EQ(StorageCloseFile(root), 0);
}

// ------------------------------------------------------------- null handles

TEST(EngineApi, NullHandlesAreInvalidParameters) {
  StorageHandle none = nullptr;
  FileHandle* noFile = nullptr;
  bool flag = false;
  char16_t unit = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  StorageTime time = 0;
  const char16_t* text = nullptr;
  char16_t buffer[8];
  SearchRecord record;
  NotificationHandle notification = nullptr;
  FileHandle* file = nullptr;
  const std::vector<std::pair<const char*, std::function<EngineResult()>>> calls = {
      {"Close", [&] { return StorageClose(none); }},
      {"ReopenFile", [&] { return StorageReopenFile(none, u"x"); }},
      {"SetCryptCallbacks",
       [&] { return StorageSetCryptCallbacks(none, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"SetCompressCallbacks",
       [&] { return StorageSetCompressCallbacks(none, nullptr, nullptr, nullptr); }},
      {"SetCaseSensitive", [&] { return StorageSetCaseSensitive(none, true); }},
      {"GetPathSeparator", [&] { return StorageGetPathSeparator(none, unit); }},
      {"SetUseTransactions", [&] { return StorageSetUseTransactions(none, true); }},
      {"SetAutoCompact", [&] { return StorageSetAutoCompact(none, 5); }},
      {"SetAutoCompactCallback",
       [&] { return StorageSetAutoCompactCallback(none, 5, nullptr, nullptr); }},
      {"SetBuffering", [&] { return StorageSetBuffering(none, 2); }},
      {"GetBuffering", [&] { return StorageGetBuffering(none, u16); }},
      {"GetPageSizeAndLogo", [&] { return StorageGetPageSizeAndLogo(none, u32, text); }},
      {"SetLogo", [&] { return StorageSetLogo(none, u"x"); }},
      {"GetSizes", [&] { return StorageGetSizes(none, &flag, &u64, &u64); }},
      {"SetMaxPageCount", [&] { return StorageSetMaxPageCount(none, 100); }},
      {"SetSize", [&] { return StorageSetSize(none, 100, nullptr, nullptr); }},
      {"CheckInfoPages", [&] { return StorageCheckInfoPages(none, flag); }},
      {"GetLastAccessTime", [&] { return StorageGetLastAccessTime(none, time); }},
      {"Compact", [&] { return StorageCompact(none, flag); }},
      {"Flush", [&] { return StorageFlush(none); }},
      {"SupplyPassword", [&] { return StorageSupplyPassword(none, "p", 1); }},
      {"SetEncryption", [&] { return StorageSetEncryption(none, 0, nullptr, 0, nullptr, 0); }},
      {"FileExists", [&] { return StorageFileExists(none, u"/x", flag); }},
      {"ForceCreateDirectories", [&] { return StorageForceCreateDirectories(none, u"/x"); }},
      {"GetLinkDestination", [&] { return StorageGetLinkDestination(none, u"/x", buffer, u32); }},
      {"GetFileSizeAndTags",
       [&] {
         std::vector<FileTagInfo> tags;
         return StorageGetFileSizeAndTags(none, u"/x", u64, tags);
       }},
      {"FindFirst", [&] { return StorageFindFirst(none, u"/*", record, 0xFF); }},
      {"RegisterNotification",
       [&] {
         return StorageRegisterNotification(none, u"/", true, 0xFF, nullptr, nullptr, notification);
       }},
      {"OpenRootFile", [&] { return StorageOpenRootFile(none, file); }},
      {"CreateFile",
       [&] {
         return StorageCreateFile(none, u"/x", true, true, false, false, 0, nullptr, 0, file, false,
                                  false);
       }},
      {"OpenFile",
       [&] { return StorageOpenFile(none, u"/x", true, false, false, false, nullptr, 0, file); }},
      {"Defragment", [&] { return StorageDefragment(none); }},
      {"GetQuota", [&] { return StorageGetQuota(none, u64); }},
      {"CloseFile", [&] { return StorageCloseFile(noFile); }},
      {"FlushFile", [&] { return StorageFlushFile(noFile, 0); }},
      {"GetFileSize", [&] { return StorageGetFileSize(noFile, u64); }},
      {"SetFileSize", [&] { return StorageSetFileSize(noFile, 1); }},
      {"TruncateFile", [&] { return StorageTruncateFile(noFile); }},
      {"Seek", [&] { return StorageSeek(noFile, 0, 0, u32); }},
      {"Seek64", [&] { return StorageSeek64(noFile, 0, 0, u64); }},
      {"GetPosition", [&] { return StorageGetPosition(noFile, u64); }},
      {"Read", [&] { return StorageRead(noFile, buffer, 1, u32); }},
      {"Write", [&] { return StorageWrite(noFile, buffer, 1, u32); }},
      {"ReadAt", [&] { return StorageReadAt(noFile, 0, buffer, 1, u32); }},
      {"WriteAt", [&] { return StorageWriteAt(noFile, 0, buffer, 1, u32); }},
      {"LockFile", [&] { return StorageLockFile(noFile, 0, 1); }},
      {"SetFileSparse", [&] { return StorageSetFileSparse(noFile, true); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), errInvalidParameter) << name;

  // An out handle is cleared even when the call is refused.
  file = reinterpret_cast<FileHandle*>(&record);
  EXPECT_EQ(StorageOpenFile(none, u"/x", true, false, false, false, nullptr, 0, file),
            errInvalidParameter);
  EXPECT_EQ(file, nullptr);
}

}  // namespace
}  // namespace vaultfs
