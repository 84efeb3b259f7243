#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "support/sample_data.h"
#include "support/disk_holes.h"
#include "support/scratch.h"
#include "support/tree_builders.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/format/object_layout.h"
#include "vaultfs/objects/storage_password.h"
#include "vaultfs/utf16.h"
#include "vaultfs/volume/volume.h"
#include "vaultfs/disk_tree.h"
#include "vaultfs/vault_storage.h"
#include "vaultfs/vault_stream.h"
#include "support/structure_check.h"

namespace vaultfs {
namespace {

using testsupport::Pattern;
using testsupport::ReadFile;
using testsupport::WriteFile;

// ---------------------------------------------------------------- disk helpers

// A scratch folder removed with everything in it, whatever modes it holds.
class TempDir : public testsupport::TempDir {
 public:
  TempDir() : testsupport::TempDir("import_export_test") {}
};

void SetTime(const std::string& path, std::int64_t seconds, long nanoseconds) {
  const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Everything about a tree that a round trip must keep: per path below the
// top (the top itself is ""), kind, permission bits, modification time to the
// nanosecond, and contents or link target.
struct EntryState {
  char kind = '?';
  mode_t mode = 0;
  std::int64_t seconds = 0;
  long nanoseconds = 0;
  std::string data;
  bool operator==(const EntryState&) const = default;
};
using TreeState = std::map<std::string, EntryState>;

void Snapshot(const std::string& root, const std::string& relative, TreeState& out) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
  EntryState& entry = out[relative];
  entry.seconds = st.st_mtim.tv_sec;
  entry.nanoseconds = st.st_mtim.tv_nsec;
  if (S_ISLNK(st.st_mode)) {
    entry.kind = 'l';
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    entry.data.assign(target, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    return;
  }
  entry.mode = st.st_mode & 07777;
  if (S_ISREG(st.st_mode)) {
    entry.kind = 'f';
    entry.data = ReadFile(path);
    return;
  }
  ASSERT_TRUE(S_ISDIR(st.st_mode)) << path;
  entry.kind = 'd';
  const DiskFolder folder = OpenDiskFolder(path);
  for (const DiskEntry& child : ListDiskFolder(folder))
    Snapshot(root, relative.empty() ? child.Name : relative + "/" + child.Name, out);
}

TreeState Snapshot(const std::string& root) {
  TreeState state;
  Snapshot(root, "", state);
  return state;
}

// ---------------------------------------------------------------- deep trees

// Trees deeper than a path can name are made, read and removed through
// descriptors, a level at a time.

// A chain of `depth` folders named "d", mode 0755, below `top` (which exists);
// `fill(folder, level)` adds entries to each level, the top being level 0.
void MakeDeepChain(const std::string& top, int depth,
                   const std::function<void(int folder, int level)>& fill) {
  testsupport::MakeDeepChain(top, depth, 0755, fill);
}

void WriteFileAt(int folder, const char* name, const std::string& content, mode_t mode) {
  const int fd = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << name;
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ASSERT_EQ(fchmod(fd, mode), 0);
  close(fd);
}

// One line per folder and entry of a chain made by MakeDeepChain: level,
// name, kind, mode, modification time, and contents or link target.
std::vector<std::string> DescribeDeepChain(const std::string& top) {
  std::vector<std::string> lines;
  DiskFolder folder = OpenDiskFolder(top);
  for (int level = 0;; ++level) {
    const std::string prefix = "level " + std::to_string(level);
    auto describe = [](const DiskStat& stat) {
      char text[64];
      std::snprintf(text, sizeof text, " %o %lld.%09u", static_cast<unsigned>(stat.Mode & 07777),
                    static_cast<long long>(stat.Modified.Seconds), stat.Modified.Nanoseconds);
      return std::string(text);
    };
    lines.push_back(prefix + describe(StatDiskFolder(folder)));
    bool deeper = false;
    for (const DiskEntry& entry : ListDiskFolder(folder)) {
      std::string line = prefix + "/" + entry.Name + describe(entry.Stat);
      if (entry.Stat.Kind == DiskKind::Directory) {
        deeper = entry.Name == "d";
        line += " folder";
      } else if (entry.Stat.Kind == DiskKind::Link) {
        line += " link " + ReadDiskLink(folder, entry.Name);
      } else {
        const UniqueFd fd = OpenDiskFileForReading(folder, entry.Name);
        std::string data(entry.Stat.Size, '\0');
        data.resize(ReadDiskFile(
            fd.Get(), std::span(reinterpret_cast<std::uint8_t*>(data.data()), data.size()),
            entry.Name));
        line += " file " + data;
      }
      lines.push_back(std::move(line));
    }
    if (!deeper) return lines;
    // A short stand-in path: the real one would grow past what a path holds.
    DiskFolder child = OpenDiskSubfolder(folder, "d", false);
    folder.Fd = std::move(child.Fd);
  }
}

// The first line where two descriptions differ, or "" when they are equal.
std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] != b[i]) return "'" + a[i] + "' vs '" + b[i] + "'";
  if (a.size() != b.size())
    return std::to_string(a.size()) + " lines vs " + std::to_string(b.size());
  return "";
}

// Removes `path` with everything below it, at any depth: down through the
// first subfolder of each folder, removing files on the way, and back up
// through "..", removing the emptied folder.
void RemoveDeepTree(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<std::string> entered;
  for (;;) {
    (void)fchmod(fd, 0700);
    std::string subfolder;
    if (DIR* listing = fdopendir(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
      while (const dirent* item = readdir(listing)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
          subfolder = name;
          break;
        }
        (void)unlinkat(fd, name.c_str(), 0);
      }
      closedir(listing);
    }
    if (!subfolder.empty()) {
      const int child =
          openat(fd, subfolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        close(fd);
        fd = child;
        entered.push_back(subfolder);
        continue;
      }
    }
    if (entered.empty()) break;
    const int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = parent;
    if (fd < 0 || unlinkat(fd, entered.back().c_str(), AT_REMOVEDIR) != 0) break;
    entered.pop_back();
  }
  if (fd >= 0) close(fd);
  (void)rmdir(path.c_str());
}

// Lowers the limit on open files for as long as it lives.
class FileLimit {
 public:
  explicit FileLimit(rlim_t limit) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min<rlim_t>(limit, saved_.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~FileLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  FileLimit(const FileLimit&) = delete;
  FileLimit& operator=(const FileLimit&) = delete;

 private:
  rlimit saved_{};
};

// The tree every round trip must bring back exactly.
void MakeCraftedTree(const std::string& root) {
  auto at = [&](const std::string& name) { return root + "/" + name; };
  for (const char* folder : {"empty", "empty/nested", "docs", "ro_folder", "links"})
    ASSERT_EQ(mkdir(at(folder).c_str(), 0755), 0);
  WriteFile(at("zero"), "");
  WriteFile(at("big.bin"), Pattern((4u << 20) + 12345, 1));
  WriteFile(at("docs/readme.txt"), "read me\n");
  WriteFile(at(".hidden"), "not shown");
  WriteFile(at("ro.txt"), "read only");
  WriteFile(at("ro_folder/inside"), "inside a read-only folder");
  WriteFile(at("odd a:b?c*d\\e<f>g|h"), "forbidden characters");
  WriteFile(at("bad\xff\xfe"), "invalid UTF-8");
  WriteFile(at("\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80"), "Unicode");
  WriteFile(at(std::string(255, 'L')), "longest name");
  WriteFile(at("setgid"), "mode bits");
  ASSERT_EQ(symlink("docs/readme.txt", at("rel_link").c_str()), 0);
  ASSERT_EQ(symlink("/etc/hostname", at("abs_link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere/at/all", at("dangling").c_str()), 0);
  ASSERT_EQ(symlink("docs", at("dir_link").c_str()), 0);
  // Enough links in one folder that their times need several tag pieces.
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(symlink(("target-" + std::to_string(i)).c_str(),
                      at("links/link-number-" + std::to_string(i)).c_str()),
              0);
  ASSERT_EQ(chmod(at("setgid").c_str(), 02750), 0);

  // Distinct times to the nanosecond, set from the bottom so that writing
  // into a folder does not move its time afterwards.
  TreeState listed = Snapshot(root);
  std::int64_t second = 1500000000;
  long nanosecond = 123456789;
  for (auto it = listed.rbegin(); it != listed.rend(); ++it) {
    SetTime(it->first.empty() ? root : at(it->first), second += 3601, nanosecond);
    nanosecond = (nanosecond * 7 + 13) % 1000000000;
  }
  ASSERT_EQ(chmod(at("ro.txt").c_str(), 0444), 0);
  ASSERT_EQ(chmod(at("ro_folder").c_str(), 0555), 0);
}

// ---------------------------------------------------------------- fixture

class ImportExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((dir / "in").c_str(), 0755), 0);
    storage.SetFileName(Utf8ToUtf16(dir / "c.vfs"));
    storage.SetPageSize(4096);
    storage.SetPathSeparator(u'/');
    storage.Open(1);
  }

  std::string In(const std::string& name = "") const {
    return name.empty() ? dir / "in" : dir / ("in/" + name);
  }
  std::u16string U(const std::string& text) const { return Utf8ToUtf16(text); }

  void Import(const std::string& mask = "*.*", std::int32_t attributes = 63, bool recursive = true,
              std::int32_t mode = 2) {
    storage.ImportFiles(U(In()), U(mask), attributes, recursive, u"DATA", mode);
  }

  std::string ContainerText(const std::string& path) {
    TVaultStream stream(storage, U(path), fmOpenRead);
    std::string text(static_cast<std::size_t>(stream.GetSize64()), '\0');
    if (!text.empty()) stream.ReadBuffer(text.data(), static_cast<std::int32_t>(text.size()));
    return text;
  }

  bool Exists(const std::string& path) { return storage.FileExists(U(path)); }

  std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    TVaultSearchRec search;
    for (bool found = storage.FindFirst(search, U(folder + "/*"), 0xFFFFFFFFu); found;
         found = storage.FindNext(search))
      names.push_back(Utf16ToUtf8(search.Name));
    return names;
  }

  TempDir dir;
  TVaultStorage storage;
};

// A check that records what the export showed it, refuses one file and
// fails another as a container error would.
class RecordingCheck final : public TVaultExportCheck {
 public:
  void BeginEntry(TVaultStorage&, const std::u16string& path, bool isLink) override {
    current_ = Utf16ToUtf8(path) + (isLink ? " (link)" : "");
    seen.push_back(current_);
    bytes_.clear();
  }
  void EntryData(const std::uint8_t* data, std::size_t size) override {
    if (current_ == "DATA/sub/c") throw EVaultError("page damaged", errStorageCorrupted);
    bytes_.append(reinterpret_cast<const char*>(data), size);
  }
  bool EndEntry() override {
    contents[current_] = bytes_;
    return current_ != "DATA/b";
  }
  void EntryFailed(const std::u16string& path, const std::string& message) override {
    failed.push_back(Utf16ToUtf8(path) + ": " + message);
  }
  void FolderDone(TVaultStorage&, const std::u16string& path) override {
    folders.push_back(Utf16ToUtf8(path));
  }

  std::vector<std::string> seen;
  std::vector<std::string> failed;
  std::vector<std::string> folders;
  std::map<std::string, std::string> contents;

 private:
  std::string current_;
  std::string bytes_;
};

TEST_F(ImportExportTest, AnExportCheckSeesEveryEntryAndRefusedOnesNeverTakeTheirNames) {
  WriteFile(In("a"), Pattern(70000, 1));
  WriteFile(In("b"), "refused");
  ASSERT_EQ(mkdir(In("sub").c_str(), 0755), 0);
  WriteFile(In("sub/c"), Pattern(5000, 2));
  ASSERT_EQ(symlink("a", In("l").c_str()), 0);
  Import();
  const std::string out = dir / "out";
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  RecordingCheck check;
  storage.SetExportCheck(&check);
  storage.ExportFiles(u"DATA", u"*.*", 63, true, U(out), 2);
  storage.SetExportCheck(nullptr);

  std::vector<std::string> seen = check.seen;
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"DATA/a", "DATA/b", "DATA/l (link)", "DATA/sub/c"}));
  EXPECT_EQ(check.contents["DATA/a"], Pattern(70000, 1));
  EXPECT_EQ(check.contents["DATA/l (link)"], "");
  ASSERT_EQ(check.failed.size(), 1u);
  EXPECT_EQ(check.failed[0].rfind("DATA/sub/c: ", 0), 0u) << check.failed[0];
  EXPECT_EQ(check.folders, std::vector<std::string>{"DATA/sub"});
  // What was refused or failed is not there, not even as a temporary file.
  std::vector<std::string> names;
  for (const auto& entry : ListDiskFolder(OpenDiskFolder(out))) names.push_back(entry.Name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "l", "sub"}));
  EXPECT_TRUE(ListDiskFolder(OpenDiskFolder(out + "/sub")).empty());
  EXPECT_EQ(ReadFile(out + "/a"), Pattern(70000, 1));
}

// ---------------------------------------------------------------- round trip

struct RoundTripCase {
  const char* name;
  std::uint32_t pageSize;
  TVaultEncryption filesEncryption;
  TVaultCompression compression;
  bool storageEncrypted;
};

class RoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTripTest, CraftedTreeComesBackExactly) {
  const RoundTripCase& c = GetParam();
  TempDir dir;
  const std::string source = dir / "source", target = dir / "target";
  ASSERT_EQ(mkdir(source.c_str(), 0750), 0);
  ASSERT_NO_FATAL_FAILURE(MakeCraftedTree(source));
  const TreeState before = Snapshot(source);
  const std::u16string container = Utf8ToUtf16(dir / "c.vfs");
  const std::u16string storagePassword = u"storage secret", filesPassword = u"files secret";
  {
    TVaultStorage storage;
    storage.SetFileName(container);
    storage.SetPageSize(c.pageSize);
    storage.SetPathSeparator(u'/');
    storage.SetUseTransactions(true);
    if (c.storageEncrypted) {
      storage.SetStorageEncryption(ecAES256_HMAC256);
      storage.SetStoragePassword(storagePassword);
    }
    storage.SetFilesEncryption(c.filesEncryption);
    storage.SetFilesPassword(filesPassword);
    storage.SetCompression(c.compression);
    storage.SetCompressionLevel(9);
    storage.Open(1);
    storage.ImportFiles(Utf8ToUtf16(source), u"*.*", 63, true, u"DATA", 2);
    EXPECT_EQ(storage.GetFileEncryption(u"DATA/big.bin"), c.filesEncryption);
    std::uint32_t attributes = 0;
    storage.GetFileAttributes(u"DATA/ro.txt", attributes);
    EXPECT_TRUE(attributes & attrReadOnly);
    storage.GetFileAttributes(u"DATA/.hidden", attributes);
    EXPECT_TRUE(attributes & attrHidden);
    storage.GetFileAttributes(u"DATA/dangling", attributes);
    EXPECT_TRUE(attributes & attrSymLink);
    storage.Close();
  }
  {
    // The container is sound page by page.
    Volume volume;
    ObjectStore store(volume);
    ASSERT_EQ(volume.Open(container, true), 0);
    if (c.storageEncrypted) {
      // As the component hands it over: UTF-16LE.
      ASSERT_EQ(SupplyStoragePassword(store, testing::Utf16Bytes(storagePassword)), 0);
    }
    EXPECT_EQ(testing::CheckStructure(volume), std::vector<std::string>());
    EXPECT_EQ(volume.Close(), 0);
  }
  {
    TVaultStorage storage;
    storage.SetFileName(container);
    storage.SetPathSeparator(u'/');
    storage.SetReadOnly(true);
    if (c.storageEncrypted) storage.SetStoragePassword(storagePassword);
    storage.SetFilesPassword(filesPassword);
    storage.Open(2);
    storage.ExportFiles(u"DATA", u"*.*", 63, true, Utf8ToUtf16(target), 2);
    EXPECT_EQ(storage.ExportDroppedSetIdBits(), 1u) << "the set-group-ID file";
  }
  const TreeState after = Snapshot(target);
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [path, state] : before) {
    const auto found = after.find(path);
    if (found == after.end()) {
      ADD_FAILURE() << "missing after the round trip: '" << path << "'";
      continue;
    }
    const EntryState& back = found->second;
    EXPECT_EQ(back.kind, state.kind) << path;
    // Everything but the set-ID bits, which export never restores.
    const mode_t expectedMode = state.mode & ~mode_t{06000};
    EXPECT_EQ(back.mode, expectedMode)
        << path << std::oct << " mode " << back.mode << " vs " << expectedMode;
    EXPECT_EQ(back.seconds, state.seconds) << path;
    EXPECT_EQ(back.nanoseconds, state.nanoseconds) << path;
    EXPECT_TRUE(back.data == state.data) << path << ": contents or link target differ";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RoundTripTest,
    ::testing::Values(RoundTripCase{"Plain", 4096, ecNoEncryption, crNoCompression, false},
                      RoundTripCase{"EncryptedZlib", 4096, ecAES256_HMAC256, crZLib, true},
                      RoundTripCase{"SmallPages", 512, ecAES256_HMAC256, crZLib, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- refusals and failures

TEST_F(ImportExportTest, SpecialFileStopsTheImportBeforeAnythingIsWritten) {
  ASSERT_EQ(mkdir(In("sub").c_str(), 0755), 0);
  WriteFile(In("a.txt"), "a");
  ASSERT_EQ(mkfifo(In("sub/pipe").c_str(), 0600), 0);
  try {
    Import();
    FAIL() << "the FIFO was not refused";
  } catch (const EFilerError& e) {
    EXPECT_NE(std::string(e.what()).find(In("sub/pipe")), std::string::npos) << e.what();
  }
  EXPECT_TRUE(Names("").empty()) << "the container was changed";
}

TEST_F(ImportExportTest, FileVanishingMidRunFailsAfterTheFinalPass) {
  WriteFile(In("f1"), "one");
  WriteFile(In("f2"), "two");
  WriteFile(In("f3"), "three");
  ASSERT_EQ(mkdir(In("s1").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(In("s1/s2").c_str(), 0700), 0);
  SetTime(In("s1/s2"), 1400000000, 5);
  SetTime(In("s1"), 1400000100, 6);
  storage.SetOnProgress([&](TVaultStorage&, const std::u16string& name, TProgressOperation,
                            std::uint32_t, std::uint32_t, bool, bool&) {
    if (name == u"DATA/f1") unlink(In("f2").c_str());
  });
  try {
    Import();
    FAIL() << "the vanished file was not reported";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(e.what()).find(In("f2")), std::string::npos) << e.what();
  }
  EXPECT_EQ(ContainerText("DATA/f1"), "one");
  EXPECT_FALSE(Exists("DATA/f2"));
  EXPECT_FALSE(Exists("DATA/f3"));
  // The final pass ran: every folder exists with its disk time.
  for (const auto& [path, seconds] :
       {std::pair{"DATA/s1", 1400000100}, std::pair{"DATA/s1/s2", 1400000000}}) {
    ASSERT_TRUE(Exists(path)) << path;
    EXPECT_NEAR(LocalToUtc(storage.GetFileModificationTime(U(path))),
                DiskTimeToStorageTime({seconds, 0}), 1e-8)
        << path;
  }
}

TEST_F(ImportExportTest, FailedCopyLeavesNoPartialFileAndKeepsTheOldOne) {
  const std::string oldContents = Pattern(100000, 2), newContents = Pattern(100000, 3);
  WriteFile(In("big"), oldContents);
  WriteFile(In("fresh"), newContents);
  Import("big");
  WriteFile(In("big"), newContents);
  int reports = 0;
  storage.SetOnProgress([&](TVaultStorage&, const std::u16string&, TProgressOperation,
                            std::uint32_t, std::uint32_t, bool, bool&) {
    if (++reports == 2) throw std::runtime_error("handler failed");
  });
  for (const char* name : {"big", "fresh"}) {
    reports = 0;
    EXPECT_THROW(Import(name), std::runtime_error) << name;
  }
  EXPECT_EQ(ContainerText("DATA/big"), oldContents);
  EXPECT_FALSE(Exists("DATA/fresh"));
  EXPECT_EQ(Names("DATA"), std::vector<std::string>{"big"});

  // Export: the disk file that was there stays as it was, and no temporary
  // file is left beside it.
  const std::string out = dir / "out";
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  WriteFile(out + "/big", "disk version");
  reports = 0;
  EXPECT_THROW(storage.ExportFiles(u"DATA", u"*.*", 63, true, U(out), 2), std::runtime_error);
  EXPECT_EQ(ReadFile(out + "/big"), "disk version");
  EXPECT_EQ(ListDiskFolder(OpenDiskFolder(out)).size(), 1u);
}

TEST_F(ImportExportTest, StopInTheFirstBlockKeepsThatBlockWithItsDetails) {
  WriteFile(In("a_big"), Pattern(100000, 4));
  WriteFile(In("b_small"), "b");
  ASSERT_EQ(mkdir(In("z").c_str(), 0755), 0);
  ASSERT_EQ(chmod(In("a_big").c_str(), 0444), 0);
  SetTime(In("a_big"), 1300000000, 999999999);
  struct Report {
    std::u16string name;
    std::uint32_t progress, total;
    bool canStop;
  };
  std::vector<Report> reports;
  storage.SetOnProgress([&](TVaultStorage&, const std::u16string& name,
                            TProgressOperation operation, std::uint32_t progress,
                            std::uint32_t total, bool canStop, bool& stop) {
    EXPECT_EQ(operation, poCopyFile);
    reports.push_back({name, progress, total, canStop});
    stop = true;
  });
  Import();
  TVaultStream stream(storage, u"DATA/a_big", fmOpenRead);
  EXPECT_EQ(stream.GetSize64(), 16384);
  EXPECT_FALSE(Exists("DATA/b_small"));
  EXPECT_TRUE(Exists("DATA/z"));
  std::uint32_t attributes = 0;
  storage.GetFileAttributes(u"DATA/a_big", attributes);
  EXPECT_TRUE(attributes & attrReadOnly);
  EXPECT_NEAR(LocalToUtc(storage.GetFileModificationTime(u"DATA/a_big")),
              DiskTimeToStorageTime({1300000000, 999999999}), 1e-8);
  // One block report, then the closing one; values are halved byte counts.
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].progress, 16384u / 2);
  EXPECT_EQ(reports[0].total, 100001u / 2);
  EXPECT_EQ(reports[1].progress, reports[1].total);
  EXPECT_EQ(reports[1].name, u"DATA/a_big");
}

TEST_F(ImportExportTest, EmptyFolderTreeGivesOneReportAndEveryFolder) {
  for (const char* folder : {"a", "a/b", "c"}) ASSERT_EQ(mkdir(In(folder).c_str(), 0755), 0);
  int reports = 0;
  storage.SetOnProgress([&](TVaultStorage&, const std::u16string&, TProgressOperation,
                            std::uint32_t progress, std::uint32_t total, bool, bool&) {
    ++reports;
    EXPECT_EQ(progress, 0u);
    EXPECT_EQ(total, 0u);
  });
  Import();
  EXPECT_EQ(reports, 1);
  for (const char* folder : {"DATA/a", "DATA/a/b", "DATA/c"}) EXPECT_TRUE(Exists(folder)) << folder;
}

// ---------------------------------------------------------------- what is copied

TEST_F(ImportExportTest, OverwriteModesAndTheEventDecide) {
  enum Event { kNone, kSetFalse, kSetTrue };
  enum DiskAge { kOlder, kSame, kNewer };
  struct Case {
    std::int32_t mode;
    DiskAge age;
    Event event;
    bool offered;  // the Overwrite the event receives
    bool replaced;
  } const cases[] = {
      {0, kNewer, kNone, false, false},    {0, kOlder, kSetTrue, false, true},
      {1, kNewer, kNone, true, true},      {1, kOlder, kNone, false, false},
      {1, kSame, kNone, false, false},     {2, kOlder, kNone, true, true},
      {2, kNewer, kSetFalse, true, false},
  };
  const std::int64_t stored = 1600000000;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "mode " << c.mode << " age " << c.age << " event " << c.event);
    storage.SetOnImportExport(nullptr);
    storage.SetOnProgress(nullptr);
    WriteFile(In("f"), "old");
    SetTime(In("f"), stored, 0);
    Import();
    WriteFile(In("f"), "new");
    SetTime(In("f"), stored + (c.age == kOlder ? -10 : c.age == kNewer ? 10 : 0), 0);
    int asked = 0, progress = 0;
    storage.SetOnImportExport([&](TVaultStorage&, bool toStorage, const std::u16string& diskName,
                                  TDateTime, const std::u16string& storageName,
                                  TDateTime storageDate, bool& overwrite) {
      ++asked;
      EXPECT_TRUE(toStorage);
      EXPECT_EQ(diskName, U(In("f")));
      EXPECT_EQ(storageName, u"DATA/f");
      EXPECT_NEAR(LocalToUtc(storageDate), DiskTimeToStorageTime({stored, 0}), 1e-8);
      EXPECT_EQ(overwrite, c.offered);
      if (c.event != kNone) overwrite = c.event == kSetTrue;
    });
    storage.SetOnProgress([&](TVaultStorage&, const std::u16string&, TProgressOperation,
                              std::uint32_t, std::uint32_t, bool, bool&) { ++progress; });
    Import("*.*", 63, true, c.mode);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(ContainerText("DATA/f"), c.replaced ? "new" : "old");
    EXPECT_EQ(progress, c.replaced ? 2 : 1) << "a skipped file reports no progress";
    EXPECT_EQ(Names("DATA"), std::vector<std::string>{"f"}) << "a temporary file was left behind";
  }
}

TEST_F(ImportExportTest, AttributeFilterSelectsHiddenFiles) {
  WriteFile(In(".hidden"), "h");
  WriteFile(In("ro"), "r");
  ASSERT_EQ(chmod(In("ro").c_str(), 0444), 0);
  struct Case {
    std::int32_t attributes;
    bool hiddenImported;
  } const cases[] = {{0, false}, {63, true}, {faHidden, true}};
  for (const Case& c : cases) {
    if (Exists("DATA/ro")) storage.DeleteFile(u"DATA/ro");
    if (Exists("DATA/.hidden")) storage.DeleteFile(u"DATA/.hidden");
    Import("*.*", c.attributes);
    EXPECT_EQ(Exists("DATA/.hidden"), c.hiddenImported) << c.attributes;
    std::uint32_t attributes = 0;
    storage.GetFileAttributes(u"DATA/ro", attributes);
    EXPECT_TRUE(attributes & attrReadOnly) << c.attributes;
  }
}

TEST_F(ImportExportTest, WithoutRecursionOnlyTheTopFolderIsCopied) {
  WriteFile(In("top.txt"), "t");
  ASSERT_EQ(mkdir(In("sub").c_str(), 0755), 0);
  WriteFile(In("sub/below.txt"), "b");
  SetTime(In(), 1234567890, 0);
  Import("*.txt", 63, false);
  EXPECT_EQ(Names("DATA"), std::vector<std::string>{"top.txt"});
  EXPECT_NEAR(LocalToUtc(storage.GetFileModificationTime(u"DATA")),
              DiskTimeToStorageTime({1234567890, 0}), 1e-8);

  const std::string out = dir / "out";
  storage.ForceCreateDirectories(u"DATA/sub");
  storage.ExportFiles(u"DATA", u"*.*", 63, false, U(out), 2);
  EXPECT_EQ(ListDiskFolder(OpenDiskFolder(out)).size(), 1u);
  EXPECT_EQ(ReadFile(out + "/top.txt"), "t");
}

// ---------------------------------------------------------------- links and names

TEST_F(ImportExportTest, ImportNeverWritesThroughAContainerLink) {
  storage.ForceCreateDirectories(u"DATA");
  {
    TVaultStream target(storage, u"DATA/target", fmCreate);
    target.WriteBuffer("precious", 8);
  }
  storage.CreateLink(u"DATA/f", u"target");
  WriteFile(In("f"), "replacement");
  Import("f");
  EXPECT_EQ(ContainerText("DATA/target"), "precious");
  std::uint32_t attributes = 0;
  storage.GetFileAttributes(u"DATA/f", attributes);
  EXPECT_FALSE(attributes & attrSymLink);
  EXPECT_EQ(ContainerText("DATA/f"), "replacement");

  // And a disk link that takes the place of a container file replaces it
  // instead of writing anything through.
  unlink(In("f").c_str());
  ASSERT_EQ(symlink("elsewhere", In("f").c_str()), 0);
  Import("f");
  std::u16string destination;
  storage.ReadLink(u"DATA/f", destination);
  EXPECT_EQ(destination, u"elsewhere");
  EXPECT_EQ(ContainerText("DATA/target"), "precious");
}

TEST_F(ImportExportTest, ExportRefusesNamesThatWouldLeaveTheFolder) {
  storage.ForceCreateDirectories(u"DATA/sub");
  {
    TVaultStream escape(storage, u"DATA/sub/..", fmCreate);
    escape.WriteBuffer("x", 1);
  }
  const std::string out = dir / "out";
  EXPECT_THROW(storage.ExportFiles(u"DATA", u"*.*", 63, true, U(out), 2), EFilerError);
  struct stat st {};
  EXPECT_NE(lstat(out.c_str(), &st), 0) << "something was written before the refusal";
  // No folder at all is not the root of the file system.
  EXPECT_THROW(storage.ExportFiles(u"DATA", u"*.*", 63, true, u"", 2), EFilerError);
  EXPECT_THROW(storage.ImportFiles(u"", u"*.*", 63, true, u"DATA", 2), EFilerError);
}

// ---------------------------------------------------------------- what a container cannot plant

TEST_F(ImportExportTest, SetIdBitsAreNeverRestoredAndAreCounted) {
  struct Case {
    const char* name;
    bool folder;
    mode_t mode;
  } const cases[] = {
      {"setuid", false, 04755},       {"setgid", false, 02750}, {"both", false, 06711},
      {"plain", false, 0640},         {"shared", true, 02775},  {"sticky", true, 01777},
      {"sticky_shared", true, 03775}, {"folder", true, 0750},
  };
  for (const Case& c : cases) {
    if (c.folder)
      ASSERT_EQ(mkdir(In(c.name).c_str(), 0700), 0);
    else
      WriteFile(In(c.name), c.name);
    ASSERT_EQ(chmod(In(c.name).c_str(), c.mode), 0) << c.name;
    struct stat st {};
    ASSERT_EQ(stat(In(c.name).c_str(), &st), 0);
    ASSERT_EQ(st.st_mode & 07777, c.mode) << c.name << ": the disk did not take the bits";
  }
  Import();
  // A container made elsewhere may ask for anything.
  {
    TVaultStream planted(storage, u"DATA/planted", fmCreate);
    planted.WriteBuffer("#!/bin/sh\n", 10);
  }
  std::uint8_t tag[kPosixMetadataSize];
  EncodePosixMetadata(PosixMetadata{04777, {1600000000, 0}},
                      std::span<std::uint8_t, kPosixMetadataSize>(tag));
  storage.SetFileTag(u"DATA/planted", kPosixMetadataTag, tag, kPosixMetadataSize);

  // The container keeps every bit the disk had (the stored format is not
  // changed by what export makes of it).
  for (const Case& c : cases) {
    std::uint8_t stored[kPosixMetadataSize] = {};
    ASSERT_EQ(storage.GetFileTag(U("DATA/" + std::string(c.name)), kPosixMetadataTag, stored,
                                 kPosixMetadataSize),
              kPosixMetadataSize);
    PosixMetadata metadata;
    ASSERT_TRUE(DecodePosixMetadata(stored, metadata));
    EXPECT_EQ(metadata.Mode, c.mode) << c.name;
  }

  const std::string out = dir / "out";
  storage.ExportFiles(u"DATA", u"*.*", 63, true, U(out), 2);
  for (const Case& c : cases) {
    struct stat st {};
    ASSERT_EQ(stat((out + "/" + c.name).c_str(), &st), 0) << c.name;
    EXPECT_EQ(st.st_mode & 07777, c.mode & ~mode_t{06000})
        << c.name << std::oct << ": mode " << (st.st_mode & 07777);
  }
  struct stat st {};
  ASSERT_EQ(stat((out + "/planted").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0777u);
  EXPECT_EQ(ReadFile(out + "/planted"), "#!/bin/sh\n");
  // setuid, setgid, both, shared, sticky_shared and planted.
  EXPECT_EQ(storage.ExportDroppedSetIdBits(), 6u);

  // The count is the last export's own.
  storage.ExportFiles(u"DATA", u"plain", 63, false, U(dir / "again"), 2);
  EXPECT_EQ(storage.ExportDroppedSetIdBits(), 0u);
}

// ---------------------------------------------------------------- sizes

TEST_F(ImportExportTest, DeclaredSizesBeyondTheFreeSpaceAreRefusedBeforeAnythingIsWritten) {
  // Five thousand bytes of data declared as a terabyte: the rest would read
  // as zeros, and writing them would fill the disk.
  constexpr std::uint64_t kDeclared = std::uint64_t{1} << 40;
  storage.ForceCreateDirectories(u"DATA/sub");
  {
    TVaultStream small(storage, u"DATA/sub/a_small", fmCreate);
    small.WriteBuffer("small", 5);
    TVaultStream huge(storage, u"DATA/sub/huge", fmCreate);
    const std::string data = Pattern(5000, 7);
    huge.WriteBuffer(data.data(), static_cast<std::int32_t>(data.size()));
    huge.SetSize64(static_cast<std::int64_t>(kDeclared));
  }
  if (DiskSpaceAt(dir.path()).Available > kDeclared) GTEST_SKIP() << "more than a terabyte free";
  struct Case {
    const char* target;
    const char* made;  // the folder made before the export, if any
  } const cases[] = {{"existing", "existing"}, {"missing/below", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string target = dir / c.target;
    if (c.made) {
      ASSERT_EQ(mkdir((dir / c.made).c_str(), 0755), 0);
    }
    try {
      storage.ExportFiles(u"DATA", u"*.*", 63, true, U(target), 2);
      ADD_FAILURE() << "the export was not refused";
    } catch (const EFilerError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find("Not enough disk space"), std::string::npos) << text;
      EXPECT_NE(text.find(std::to_string(kDeclared + 5) + " bytes needed"), std::string::npos)
          << text;
      EXPECT_NE(text.find(target), std::string::npos) << text;
    }
    if (c.made) {
      EXPECT_TRUE(ListDiskFolder(OpenDiskFolder(target)).empty()) << "something was written";
    } else {
      struct stat st {};
      EXPECT_NE(lstat((dir / "missing").c_str(), &st), 0) << "a folder was made";
    }
  }
}

TEST_F(ImportExportTest, BlocksOfZerosComeBackAsHoles) {
  if (!testsupport::KeepsHoles(dir.path())) GTEST_SKIP() << "the file system keeps no holes";
  // Zeros between data in a disk file, and zeros the container only
  // declares, past the end of the data it holds.
  const std::string middle = Pattern(40000, 5) + std::string(8u << 20, '\0') + Pattern(1000, 6);
  WriteFile(In("middle"), middle);
  Import();
  const std::string head = Pattern(3000, 8);
  const std::size_t tailSize = (6u << 20) + 7;
  {
    TVaultStream tail(storage, u"DATA/tail", fmCreate);
    tail.WriteBuffer(head.data(), static_cast<std::int32_t>(head.size()));
    tail.SetSize64(static_cast<std::int64_t>(tailSize));
  }
  const std::string out = dir / "out";
  storage.ExportFiles(u"DATA", u"*.*", 63, true, U(out), 2);
  struct Case {
    const char* name;
    std::string contents;
  } const cases[] = {{"middle", middle},
                     {"tail", head + std::string(tailSize - head.size(), '\0')}};
  for (const Case& c : cases) {
    const std::string path = out + "/" + c.name;
    EXPECT_TRUE(ReadFile(path) == c.contents) << c.name << ": contents differ";
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::size_t>(st.st_size), c.contents.size()) << c.name;
    EXPECT_LT(static_cast<std::size_t>(st.st_blocks) * 512, c.contents.size() / 4)
        << c.name << ": the zeros were written";
  }
}

// ---------------------------------------------------------------- deep trees

TEST_F(ImportExportTest, DeepTreeRoundTripsWithFewOpenFiles) {
  constexpr int kDepth = 3000;
  struct Cleanup {
    std::string in, out;
    ~Cleanup() {
      RemoveDeepTree(in);
      RemoveDeepTree(out);
    }
  } cleanup{In(), dir / "out"};
  ASSERT_NO_FATAL_FAILURE(MakeDeepChain(In(), kDepth, [](int folder, int level) {
    if (level % 500 == 0) WriteFileAt(folder, "f", "level " + std::to_string(level), 0640);
    if (level == 1234) {
      ASSERT_EQ(symlinkat("../../x", folder, "l"), 0);
    }
    if (level == kDepth) WriteFileAt(folder, "bottom", Pattern(20000, 9), 0600);
  }));
  const std::vector<std::string> before = DescribeDeepChain(In());
  // A folder deep in the tree that its owner may not search: once its mode
  // is set, the way up can no longer lead through it.
  constexpr int kLocked = 1500;
  std::u16string locked = u"DATA";
  for (int level = 0; level < kLocked; ++level) locked += u"/d";
  {
    // Far fewer than one per level.
    const FileLimit limit(128);
    Import();
    std::uint8_t tag[kPosixMetadataSize] = {};
    ASSERT_EQ(storage.GetFileTag(locked, kPosixMetadataTag, tag, kPosixMetadataSize),
              kPosixMetadataSize);
    PosixMetadata metadata;
    ASSERT_TRUE(DecodePosixMetadata(tag, metadata));
    EncodePosixMetadata(PosixMetadata{0600, metadata.Modified},
                        std::span<std::uint8_t, kPosixMetadataSize>(tag));
    storage.SetFileTag(locked, kPosixMetadataTag, tag, kPosixMetadataSize);
    storage.ExportFiles(u"DATA", u"*.*", 63, true, U(dir / "out"), 2);
  }
  // Its mode as the container says, then the one it had for the comparison.
  int fd = open((dir / "out").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 1; fd >= 0 && level < kLocked; ++level) {
    const int child = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = child;
  }
  ASSERT_GE(fd, 0);
  struct stat st {};
  EXPECT_EQ(fstatat(fd, "d", &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(fchmodat(fd, "d", 0755, 0), 0);
  close(fd);
  EXPECT_EQ(FirstDifference(before, DescribeDeepChain(dir / "out")), "");
}

// A stop asked for while the tree is listed leaves the target untouched; one
// asked for during the final pass of a tree of folders ends that pass.
TEST_F(ImportExportTest, StopInADeepTreeIsSeenWhileListingAndInTheFinalPass) {
  constexpr int kDepth = 600;
  struct Cleanup {
    std::string in;
    std::vector<std::string> outs;
    ~Cleanup() {
      RemoveDeepTree(in);
      for (const std::string& out : outs) RemoveDeepTree(out);
    }
  } cleanup{In(), {}};
  ASSERT_NO_FATAL_FAILURE(MakeDeepChain(In(), kDepth, [](int, int) {}));
  SetTime(In(), 1234567890, 0);
  struct Case {
    bool toStorage;
    bool inFinalPass;  // else while listing
  } const cases[] = {{true, false}, {true, true}, {false, false}, {false, true}};
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.toStorage ? "import" : "export")
                                      << (c.inFinalPass ? " final pass" : " listing"));
    // Each case into a container folder and a disk folder of its own.
    const std::u16string inside = U("T" + std::to_string(++run));
    const std::string out = dir / ("out" + std::to_string(run));
    cleanup.outs.push_back(out);
    auto targetExists = [&] {
      struct stat st {};
      return c.toStorage ? storage.FileExists(inside) : lstat(out.c_str(), &st) == 0;
    };
    auto copy = [&] {
      if (c.toStorage)
        storage.ImportFiles(U(In()), u"*.*", 63, true, inside, 2);
      else
        storage.ExportFiles(inside, u"*.*", 63, true, U(out), 2);
    };
    storage.SetOnProgress(nullptr);
    if (!c.toStorage) storage.ImportFiles(U(In()), u"*.*", 63, true, inside, 2);
    int reports = 0, beforeWriting = 0;
    storage.SetOnProgress([&](TVaultStorage&, const std::u16string&, TProgressOperation,
                              std::uint32_t progress, std::uint32_t total, bool canStop,
                              bool& stop) {
      ++reports;
      if (!targetExists()) {
        ++beforeWriting;
        EXPECT_EQ(progress, 0u);
        EXPECT_EQ(total, 0u);
        EXPECT_TRUE(canStop);
        stop = !c.inFinalPass;
      } else {
        stop = true;
      }
    });
    copy();
    EXPECT_GE(beforeWriting, 1) << "no report while listing";
    if (!c.inFinalPass) {
      EXPECT_EQ(reports, 1) << "went on after the stop";
      EXPECT_FALSE(targetExists()) << "written after a stop while listing";
      continue;
    }
    // The pass ended before it reached the top, which keeps no disk details.
    ASSERT_TRUE(targetExists());
    if (c.toStorage) {
      bool tagged = true;
      (void)storage.GetFileTagSize(inside, kPosixMetadataTag, tagged);
      EXPECT_FALSE(tagged);
    } else {
      struct stat st {};
      ASSERT_EQ(stat(out.c_str(), &st), 0);
      EXPECT_NE(st.st_mtim.tv_sec, 1234567890);
    }
  }
  storage.SetOnProgress(nullptr);
}

}  // namespace
}  // namespace vaultfs
