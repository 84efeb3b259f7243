// Walking, checking and removing folder trees on hostile and unlucky input:
// names swapped for links while the removal runs, bind mounts inside the
// tree, entries another user owns, trees deeper than any path can name, and
// a person who cancels.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/tree_builders.h"
#include "korvane/platform/platform.h"

namespace korvane::platform {
namespace {

using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr uid_t kNobody = 65534;

void MakeFolder(const std::string& path, mode_t mode = 0755) {
  ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path << ": " << std::strerror(errno);
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;  // past the umask
}

bool IsRoot() {
  return geteuid() == 0;
}

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  if (DIR* stream = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(stream)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(stream);
  }
  return count;
}

// A bind mount for the length of a test; it goes before the scratch folders
// are cleaned up, which would otherwise empty the mount's source through it.
class ScopedBindMount {
 public:
  ScopedBindMount(const std::string& source, const std::string& target) : target_(target) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0) {
      mounted_ = true;
    } else {
      error_ = errno;
    }
  }
  ~ScopedBindMount() {
    if (mounted_) umount2(target_.c_str(), MNT_DETACH);
  }
  ScopedBindMount(const ScopedBindMount&) = delete;
  ScopedBindMount& operator=(const ScopedBindMount&) = delete;
  bool Mounted() const { return mounted_; }
  int Error() const { return error_; }

 private:
  std::string target_;
  bool mounted_ = false;
  int error_ = 0;
};

// Immutable and append-only flags set for a test, cleared again before the
// scratch folders are cleaned up.
class ScopedInodeFlags {
 public:
  ~ScopedInodeFlags() {
    for (const std::string& path : paths_) Change(path, FS_IMMUTABLE_FL | FS_APPEND_FL, false);
  }
  // False when the file system or the process cannot set the flag.
  bool Set(const std::string& path, int flag) {
    if (!Change(path, flag, true)) return false;
    paths_.push_back(path);
    return true;
  }

 private:
  static bool Change(const std::string& path, int flag, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? (flags | flag) : (flags & ~flag);
      done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
  }
  std::vector<std::string> paths_;
};

// Runs `work` in a child process that has become the user nobody and
// returns what it printed.
std::string RunAsNobody(const std::function<std::string()>& work) {
  int channel[2];
  if (pipe(channel) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    std::string result;
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      result = "cannot become nobody";
    } else {
      result = work();
    }
    [[maybe_unused]] const ssize_t written = write(channel[1], result.data(), result.size());
    _exit(0);
  }
  close(channel[1]);
  std::string result;
  char buffer[512];
  ssize_t got = 0;
  while ((got = read(channel[0], buffer, sizeof buffer)) > 0) result.append(buffer, got);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return result;
}

const char* ProblemName(TreeProblem problem) {
  switch (problem) {
    case TreeProblem::None:
      return "none";
    case TreeProblem::SpecialFile:
      return "special";
    case TreeProblem::MountPoint:
      return "mount";
    case TreeProblem::CannotRemove:
      return "cannot-remove";
    case TreeProblem::CannotRead:
      return "cannot-read";
    case TreeProblem::WalkFailed:
      return "walk-failed";
    case TreeProblem::Stopped:
      return "stopped";
  }
  return "?";
}

// "problem:relative path" of the first finding.
std::string FirstFinding(const TreeCheckReport& report) {
  return std::string(ProblemName(report.First.Problem)) + ":" + report.First.RelativePath;
}

std::map<std::string, EntryFacts> WalkAll(const std::string& folder) {
  std::map<std::string, EntryFacts> seen;
  TreeWalkReport report;
  EXPECT_TRUE(WalkTree(
      folder,
      [&](const std::string& path, const EntryFacts& facts) {
        EXPECT_TRUE(seen.emplace(path, facts).second) << "visited twice: " << path;
        return true;
      },
      {}, report))
      << report.Message;
  return seen;
}

// ---------------------------------------------------------------- walking

TEST(WalkTree, ReportsEachEntryWithItsFactsAndNeverFollowsLinks) {
  TempDir scratch{"platform_test"};
  TempDir outside{"platform_test"};
  WriteFile(outside / "secret.txt", "outside");
  const std::string tree = scratch / "tree";
  MakeFolder(tree);
  MakeFolder(tree + "/sub");
  MakeFolder(tree + "/sub/deeper");
  WriteFile(tree + "/sub/deeper/file.bin", std::string(5000, 'x'));
  WriteFile(tree + "/top.txt", "");
  ASSERT_EQ(symlink(outside.path().c_str(), (tree + "/sub/out").c_str()), 0);
  ASSERT_EQ(symlink("top.txt", (tree + "/link").c_str()), 0);

  const std::map<std::string, EntryFacts> seen = WalkAll(tree + "/");
  std::map<std::string, EntryKind> kinds;
  for (const auto& [path, facts] : seen) kinds[path] = facts.Kind;
  const std::map<std::string, EntryKind> expected = {
      {"sub", EntryKind::Folder},
      {"sub/deeper", EntryKind::Folder},
      {"sub/deeper/file.bin", EntryKind::File},
      {"sub/out", EntryKind::SymbolicLink},
      {"top.txt", EntryKind::File},
      {"link", EntryKind::SymbolicLink},
  };
  EXPECT_EQ(kinds, expected);

  // The facts are those of lstat, to the nanosecond.
  struct stat info {};
  ASSERT_EQ(lstat((tree + "/sub/deeper/file.bin").c_str(), &info), 0);
  const EntryFacts& file = seen.at("sub/deeper/file.bin");
  EXPECT_EQ(file.Device, info.st_dev);
  EXPECT_EQ(file.Inode, info.st_ino);
  EXPECT_EQ(file.Mode, info.st_mode);
  EXPECT_EQ(file.Owner, info.st_uid);
  EXPECT_EQ(file.Size, 5000u);
  EXPECT_EQ(file.ModifiedSeconds, info.st_mtim.tv_sec);
  EXPECT_EQ(file.ModifiedNanoseconds, static_cast<std::uint32_t>(info.st_mtim.tv_nsec));
  EXPECT_EQ(file.ChangedSeconds, info.st_ctim.tv_sec);
  EXPECT_EQ(file.ChangedNanoseconds, static_cast<std::uint32_t>(info.st_ctim.tv_nsec));
  EXPECT_FALSE(file.IsMountRoot);
  EXPECT_EQ(seen.at("sub/out").Size, outside.path().size());  // the link's own text

  // A link or a file given as the folder is not walked.
  ASSERT_EQ(symlink(tree.c_str(), (scratch / "toTree").c_str()), 0);
  for (const std::string& path :
       {scratch / "toTree", scratch / "toTree/", tree + "/top.txt", scratch / "missing"}) {
    TreeWalkReport report;
    bool visited = false;
    EXPECT_FALSE(WalkTree(
        path, [&](const std::string&, const EntryFacts&) { return visited = true; }, {}, report))
        << path;
    EXPECT_FALSE(visited) << path;
    EXPECT_EQ(report.Status, TreeWalkStatus::Failed) << path;
    EXPECT_FALSE(report.Message.empty()) << path;
  }
}

TEST(WalkTree, StopsWhenAskedWithinOneEntry) {
  TempDir scratch{"platform_test"};
  const std::string tree = scratch / "tree";
  MakeFolder(tree);
  for (int folder = 0; folder < 5; ++folder) {
    const std::string sub = tree + "/f" + std::to_string(folder);
    MakeFolder(sub);
    for (int file = 0; file < 40; ++file) WriteFile(sub + "/" + std::to_string(file), "x");
  }
  // Stop after the 30th poll: no entry may be visited past it.
  int polls = 0;
  int visits = 0;
  const StopRequest stopAt30 = [&] { return ++polls > 30; };
  const TreeVisitor count = [&](const std::string&, const EntryFacts&) {
    ++visits;
    return true;
  };
  TreeWalkReport walk;
  EXPECT_FALSE(WalkTree(tree, count, stopAt30, walk));
  EXPECT_EQ(walk.Status, TreeWalkStatus::Stopped);
  EXPECT_LE(visits, 30);

  // A visitor that has seen enough stops the walk the same way.
  visits = 0;
  EXPECT_FALSE(WalkTree(
      tree, [&](const std::string&, const EntryFacts&) { return ++visits < 3; }, {}, walk));
  EXPECT_EQ(walk.Status, TreeWalkStatus::Stopped);
  EXPECT_EQ(visits, 3);

  // A stopped check is no pass.
  polls = 0;
  TreeCheckReport check;
  EXPECT_FALSE(CheckTreeForProtection(tree, true, stopAt30, check));
  EXPECT_EQ(check.First.Problem, TreeProblem::Stopped);
  EXPECT_FALSE(check.Walk.Complete());

  // A stopped removal leaves the rest where it is and says so.
  polls = 0;
  RemovalReport removal;
  EXPECT_FALSE(RemoveTree(tree, {}, removal, stopAt30));
  EXPECT_TRUE(removal.Stopped);
  EXPECT_FALSE(removal.Removed);
  EXPECT_GT(removal.RemovedCount, 0u);
  EXPECT_LT(removal.RemovedCount, 30u);
  EXPECT_FALSE(removal.Message.empty());
  EXPECT_EQ(WalkAll(tree).size(), 5u * 41u - removal.RemovedCount);
}

// ---------------------------------------------------------------- checking

TEST(CheckTreeForProtection, CountsAPlainTreeAndPasses) {
  TempDir scratch{"platform_test"};
  const std::string tree = scratch / "tree";
  MakeFolder(tree);
  MakeFolder(tree + "/a");
  MakeFolder(tree + "/a/b");
  WriteFile(tree + "/a/b/big", std::string(3 * 1024 + 100, 'x'));  // 3 KB counted
  WriteFile(tree + "/a/small", std::string(1000, 'y'));            // 0 KB counted
  ASSERT_EQ(symlink("a/small", (tree + "/link").c_str()), 0);
  ASSERT_EQ(chmod((tree + "/a").c_str(), 0500), 0);  // owned, so the removal can open it up

  TreeCheckReport report;
  EXPECT_TRUE(CheckTreeForProtection(tree, true, {}, report)) << report.First.Message;
  EXPECT_EQ(report.First.Problem, TreeProblem::None);
  EXPECT_EQ(report.Files, 3u);  // the link counts as a file, as the folder scan counts it
  EXPECT_EQ(report.Folders, 2u);
  EXPECT_EQ(report.Bytes, 3u * 1024 + 100 + 1000);
  EXPECT_EQ(report.SizeKB, 3u);
  ASSERT_EQ(chmod((tree + "/a").c_str(), 0700), 0);
}

TEST(CheckTreeForProtection, FindsTheFirstEntryThatCannotBeProtected) {
  struct Case {
    const char* title;
    // Builds inside the tree; false when this system cannot make the case.
    std::function<bool(const std::string& tree, ScopedInodeFlags& flags)> build;
    bool willBeRemoved;
    std::string expected;  // problem:relative path
  };
  const auto file = [](const std::string& path) {
    WriteFile(path, "x");
    return true;
  };
  const Case cases[] = {
      {"a FIFO deep down",
       [](const std::string& tree, ScopedInodeFlags&) {
         return mkdir((tree + "/a").c_str(), 0700) == 0 &&
                mkdir((tree + "/a/b").c_str(), 0700) == 0 &&
                mkfifo((tree + "/a/b/pipe").c_str(), 0600) == 0;
       },
       false, "special:a/b/pipe"},
      {"a socket",
       [](const std::string& tree, ScopedInodeFlags&) {
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         const std::string path = tree + "/sock";
         if (fd < 0 || path.size() >= sizeof address.sun_path) return false;
         std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
         const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
         close(fd);
         return bound;
       },
       false, "special:sock"},
      {"a character device",
       [](const std::string& tree, ScopedInodeFlags&) {
         return mknod((tree + "/null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
       },
       false, "special:null"},
      {"an immutable file, when the folder goes afterwards",
       [&](const std::string& tree, ScopedInodeFlags& flags) {
         return mkdir((tree + "/box").c_str(), 0700) == 0 && file(tree + "/box/locked") &&
                flags.Set(tree + "/box/locked", FS_IMMUTABLE_FL);
       },
       true, "cannot-remove:box/locked"},
      {"an immutable file, when the folder stays",
       [&](const std::string& tree, ScopedInodeFlags& flags) {
         return file(tree + "/locked") && flags.Set(tree + "/locked", FS_IMMUTABLE_FL);
       },
       false, "none:"},
      {"an append-only folder that holds a file",
       [&](const std::string& tree, ScopedInodeFlags& flags) {
         return mkdir((tree + "/log").c_str(), 0700) == 0 && file(tree + "/log/day1") &&
                flags.Set(tree + "/log", FS_APPEND_FL);
       },
       true, "cannot-remove:log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir scratch{"platform_test"};
    ScopedInodeFlags flags;  // cleared before the scratch folder goes
    const std::string tree = scratch / "tree";
    MakeFolder(tree);
    if (!c.build(tree, flags)) {
      std::cout << "[ skipped  ] " << c.title << ": " << std::strerror(errno) << "\n";
      continue;
    }
    TreeCheckReport report;
    const bool passed = CheckTreeForProtection(tree, c.willBeRemoved, {}, report);
    EXPECT_EQ(FirstFinding(report), c.expected) << report.First.Message;
    EXPECT_EQ(passed, c.expected == "none:");
    if (report.First.Found()) {
      EXPECT_EQ(report.First.Path, tree + "/" + report.First.RelativePath);
      EXPECT_NE(report.First.Message.find(report.First.Path), std::string::npos)
          << report.First.Message;
    }
  }
}

TEST(CheckTreeForProtection, NamesWhatAnUnprivilegedUserCannotRemoveOrRead) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to build entries another user owns";
  struct Case {
    const char* title;
    mode_t holderMode;  // the folder that holds the tree, owned by root
    std::function<void(const std::string& tree)> build;
    std::string expected;
  };
  const auto rootFolder = [](const std::string& path, mode_t mode) {
    MakeFolder(path, mode);
    WriteFile(path + "/file", "root's");
  };
  const Case cases[] = {
      {"a root-owned subfolder with a file in it", 01777,
       [&](const std::string& tree) { rootFolder(tree + "/sub", 0755); }, "cannot-remove:sub"},
      {"a root-owned file in another user's folder with the sticky bit", 01777,
       [&](const std::string& tree) { rootFolder(tree + "/shared", 01777); },
       "cannot-remove:shared/file"},
      {"the same folder without the sticky bit", 01777,
       [&](const std::string& tree) { rootFolder(tree + "/shared", 0777); }, "none:"},
      {"a folder only root may read", 01777,
       [&](const std::string& tree) { rootFolder(tree + "/secret", 0700); }, "cannot-read:secret"},
      {"a file only root may read", 01777,
       [&](const std::string& tree) {
         WriteFile(tree + "/private", "x");
         chmod((tree + "/private").c_str(), 0600);
       },
       "cannot-read:private"},
      {"the folder itself, in a folder nobody may change", 0755, [](const std::string&) {},
       "cannot-remove:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir scratch{"platform_test"};
    ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);  // world-searchable
    const std::string holder = scratch / "holder";
    MakeFolder(holder, c.holderMode);
    const std::string tree = holder + "/tree";
    MakeFolder(tree, 0755);
    c.build(tree);
    ASSERT_EQ(chown(tree.c_str(), kNobody, kNobody), 0);

    const std::string found = RunAsNobody([&] {
      TreeCheckReport report;
      CheckTreeForProtection(tree, true, {}, report);
      return FirstFinding(report) + "|" + report.First.Message;
    });
    EXPECT_EQ(found.substr(0, found.find('|')), c.expected) << found;
    // Root may do all of it: the same tree passes.
    TreeCheckReport asRoot;
    EXPECT_TRUE(CheckTreeForProtection(tree, true, {}, asRoot)) << asRoot.First.Message;
  }
}

// ---------------------------------------------------------------- removing

TEST(RemoveTree, ASubfolderSwappedForALinkNeverLeadsOutOfTheTree) {
  // The predicate swaps a folder for a link to an outside folder full of
  // files: on its first call, either the folder it is being asked from
  // (the removal is inside it) or the other one (not entered yet).
  for (const bool swapOwnFolder : {false, true}) {
    SCOPED_TRACE(swapOwnFolder ? "swap the folder being emptied" : "swap a folder not yet entered");
    TempDir scratch{"platform_test"};
    TempDir outside{"platform_test"};
    MakeFolder(outside / "victim");
    WriteFile(outside / "victim/precious.txt", "precious");
    MakeFolder(outside / "victim/inner");
    WriteFile(outside / "victim/inner/more.txt", "more");
    const std::string tree = scratch / "tree";
    MakeFolder(tree);
    for (const char* name : {"a", "b"}) {
      MakeFolder(tree + "/" + name);
      WriteFile(tree + "/" + name + "/file.txt", name);
    }

    std::string swapped;
    std::vector<std::pair<std::string, EntryKind>> asked;
    const RemovalPredicate swapOnFirstCall = [&](const std::string& path, const EntryFacts& facts) {
      asked.emplace_back(path, facts.Kind);
      if (swapped.empty()) {
        const std::string own = path.substr(0, path.find('/'));
        swapped = swapOwnFolder ? own : (own == "a" ? "b" : "a");
        EXPECT_EQ(rename((tree + "/" + swapped).c_str(), (scratch / "moved").c_str()), 0);
        EXPECT_EQ(symlink((outside / "victim").c_str(), (tree + "/" + swapped).c_str()), 0);
      }
      return true;
    };
    RemovalReport report;
    const bool removed = RemoveTree(tree, swapOnFirstCall, report);

    EXPECT_EQ(ReadFile(outside / "victim/precious.txt"), "precious");
    EXPECT_EQ(ReadFile(outside / "victim/inner/more.txt"), "more");
    if (swapOwnFolder) {
      // The emptied folder went elsewhere; the link now at its name stays.
      EXPECT_FALSE(removed);
      ASSERT_EQ(report.Kept.size(), 1u);
      EXPECT_EQ(report.Kept[0].RelativePath, swapped);
      EXPECT_EQ(report.Kept[0].Reason, KeptReason::Changed);
      EXPECT_EQ(report.KeptCount, 1u);
      EXPECT_NE(report.Message.find(swapped), std::string::npos) << report.Message;
    } else {
      // The link is just an entry: asked about as a link, removed as one.
      EXPECT_TRUE(removed) << report.Message;
      EXPECT_NE(
          std::find(asked.begin(), asked.end(), std::make_pair(swapped, EntryKind::SymbolicLink)),
          asked.end());
      EXPECT_EQ(ReadFile(scratch / "moved/file.txt"), swapped);  // never entered
    }
  }
}

TEST(RemoveTree, KeepsDeclinedEntriesAndTheFoldersThatHoldThem) {
  TempDir scratch{"platform_test"};
  const std::string tree = scratch / "tree";
  MakeFolder(tree);
  MakeFolder(tree + "/keep");
  MakeFolder(tree + "/keep/deep");
  WriteFile(tree + "/keep/deep/new.txt", "added after packing");
  WriteFile(tree + "/keep/old.txt", "packed");
  MakeFolder(tree + "/gone");
  WriteFile(tree + "/gone/old.txt", "packed");
  ASSERT_EQ(symlink("keep", (tree + "/new.lnk").c_str()), 0);
  WriteFile(tree + "/top.txt", "packed");
  ASSERT_EQ(chmod((tree + "/keep").c_str(), 0500), 0);

  // What a workflow stored: everything but the two new entries, with the
  // facts a walk gave; the predicate keeps whatever it does not know. One
  // more file turns up in "keep" while the removal is busy there.
  std::map<std::string, EntryFacts> stored = WalkAll(tree);
  stored.erase("keep/deep/new.txt");
  stored.erase("new.lnk");
  std::vector<std::string> asked;
  RemovalReport report;
  EXPECT_FALSE(RemoveTree(
      tree,
      [&](const std::string& path, const EntryFacts& facts) {
        asked.push_back(path);
        if (path == "keep/old.txt") WriteFile(tree + "/keep/late.txt", "written meanwhile");
        const auto known = stored.find(path);
        return known != stored.end() && SameEntryState(known->second, facts);
      },
      report));

  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked, (std::vector<std::string>{"gone/old.txt", "keep/deep/new.txt", "keep/late.txt",
                                             "keep/old.txt", "new.lnk", "top.txt"}));
  EXPECT_TRUE(Exists(tree + "/keep/deep/new.txt"));
  EXPECT_TRUE(Exists(tree + "/keep/late.txt"));
  EXPECT_TRUE(Exists(tree + "/new.lnk"));
  EXPECT_FALSE(Exists(tree + "/keep/old.txt"));
  EXPECT_FALSE(Exists(tree + "/gone"));
  EXPECT_FALSE(Exists(tree + "/top.txt"));
  struct stat info {};
  ASSERT_EQ(lstat((tree + "/keep").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0500u);  // a folder that stays keeps its mode

  EXPECT_FALSE(report.Removed);
  EXPECT_FALSE(report.Stopped);
  EXPECT_EQ(report.KeptCount, 3u);
  std::set<std::pair<std::string, KeptReason>> kept;
  for (const KeptEntry& entry : report.Kept) kept.emplace(entry.RelativePath, entry.Reason);
  EXPECT_EQ(kept, (std::set<std::pair<std::string, KeptReason>>{
                      {"keep/deep/new.txt", KeptReason::Declined},
                      {"keep/late.txt", KeptReason::Declined},
                      {"new.lnk", KeptReason::Declined}}));
  EXPECT_EQ(report.FoldersLeft, 3u);   // keep/deep, keep and the tree itself
  EXPECT_EQ(report.RemovedCount, 4u);  // three files and "gone"
  EXPECT_NE(report.Message.find("3 entries"), std::string::npos) << report.Message;
}

TEST(MountPoints, ABindMountInsideIsRefusedByTheCheckAndKeptByTheRemoval) {
  TempDir scratch{"platform_test"};
  TempDir outside{"platform_test"};
  MakeFolder(outside / "source");
  WriteFile(outside / "source/data.txt", "someone else's");
  MakeFolder(outside / "source/inner");
  WriteFile(outside / "source/inner/deep.txt", "deep");
  WriteFile(outside / "file.txt", "a file mounted alone");
  const std::string tree = scratch / "tree";
  MakeFolder(tree);
  MakeFolder(tree + "/sub");
  MakeFolder(tree + "/sub/mnt");
  WriteFile(tree + "/sub/file.bind", "");
  WriteFile(tree + "/plain.txt", "mine");

  // Declared after the scratch folders: unmounted before they are cleaned up.
  ScopedBindMount folderMount(outside / "source", tree + "/sub/mnt");
  if (!folderMount.Mounted() && folderMount.Error() == EPERM) {
    GTEST_SKIP() << "bind mounts need privileges";
  }
  ASSERT_TRUE(folderMount.Mounted()) << std::strerror(folderMount.Error());
  ScopedBindMount fileMount(outside / "file.txt", tree + "/sub/file.bind");
  ASSERT_TRUE(fileMount.Mounted()) << std::strerror(fileMount.Error());

  // Both are seen as mount roots, though the device number is the tree's
  // own, and nothing behind them is visited.
  const std::map<std::string, EntryFacts> seen = WalkAll(tree);
  ASSERT_EQ(seen.count("sub/mnt"), 1u);
  ASSERT_EQ(seen.count("sub/file.bind"), 1u);
  EXPECT_TRUE(seen.at("sub/mnt").IsMountRoot);
  EXPECT_TRUE(seen.at("sub/file.bind").IsMountRoot);
  EXPECT_FALSE(seen.at("plain.txt").IsMountRoot);
  EXPECT_EQ(seen.at("sub/mnt").Device, seen.at("plain.txt").Device);
  EXPECT_EQ(seen.size(), 4u);

  for (const bool willBeRemoved : {false, true}) {
    TreeCheckReport report;
    EXPECT_FALSE(CheckTreeForProtection(tree, willBeRemoved, {}, report));
    EXPECT_EQ(report.First.Problem, TreeProblem::MountPoint);
    EXPECT_TRUE(report.First.RelativePath == "sub/mnt" ||
                report.First.RelativePath == "sub/file.bind")
        << report.First.RelativePath;
  }

  RemovalReport report;
  EXPECT_FALSE(RemoveTree(tree, {}, report));
  EXPECT_EQ(ReadFile(outside / "source/data.txt"), "someone else's");
  EXPECT_EQ(ReadFile(outside / "source/inner/deep.txt"), "deep");
  EXPECT_EQ(ReadFile(outside / "file.txt"), "a file mounted alone");
  EXPECT_FALSE(Exists(tree + "/plain.txt"));
  std::set<std::pair<std::string, KeptReason>> kept;
  for (const KeptEntry& entry : report.Kept) kept.emplace(entry.RelativePath, entry.Reason);
  EXPECT_EQ(kept,
            (std::set<std::pair<std::string, KeptReason>>{
                {"sub/mnt", KeptReason::MountPoint}, {"sub/file.bind", KeptReason::MountPoint}}));
  EXPECT_EQ(report.KeptCount, 2u);

  // A mount point named as the folder itself is not emptied either.
  RemovalReport named;
  EXPECT_FALSE(RemoveTree(tree + "/sub/mnt", {}, named));
  ASSERT_EQ(named.Kept.size(), 1u);
  EXPECT_EQ(named.Kept[0].Reason, KeptReason::MountPoint);
  EXPECT_EQ(ReadFile(outside / "source/data.txt"), "someone else's");
}

TEST(DeepTree, TenThousandLevelsWithABoundedNumberOfDescriptors) {
  constexpr int kDepth = 10000;
  TempDir scratch{"platform_test"};
  const std::string tree = scratch / "deep";
  MakeFolder(tree, 0700);
  ASSERT_NO_FATAL_FAILURE(testsupport::MakeDeepChain(tree, kDepth, 0700, [](int fd, int level) {
    if (level % 1000 == 999) {
      const int file = openat(fd, "f", O_WRONLY | O_CREAT, 0600);
      ASSERT_GE(file, 0);
      close(file);
    }
  }));

  // Few descriptors to spare: one per level would run out long before the
  // bottom.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  struct Restore {
    rlimit limit;
    ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
  } restore{saved};

  const std::size_t before = OpenDescriptors();
  std::size_t mostOpen = 0;
  std::size_t longestPath = 0;
  std::size_t entries = 0;
  std::size_t samplingEvery = 500;
  const auto sample = [&](const std::string& path) {
    longestPath = std::max(longestPath, path.size());
    if (++entries % samplingEvery == 0) mostOpen = std::max(mostOpen, OpenDescriptors());
    return true;
  };
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  TreeWalkReport walk;
  EXPECT_TRUE(WalkTree(
      tree, [&](const std::string& path, const EntryFacts&) { return sample(path); }, {}, walk))
      << walk.Message;
  EXPECT_EQ(entries, static_cast<std::size_t>(kDepth + kDepth / 1000));
  EXPECT_EQ(longestPath, 2u * kDepth - 1);  // "d/d/.../f" below the 9999th level
  const auto walked = Clock::now();

  TreeCheckReport check;
  EXPECT_TRUE(CheckTreeForProtection(tree, true, {}, check)) << check.First.Message;
  EXPECT_EQ(check.Folders, static_cast<std::uint64_t>(kDepth));
  EXPECT_EQ(check.Files, static_cast<std::uint64_t>(kDepth / 1000));
  const auto checked = Clock::now();

  // The removal asks only about the files, one every thousand levels.
  entries = 0;
  samplingEvery = 1;
  RemovalReport removal;
  EXPECT_TRUE(RemoveTree(
      tree, [&](const std::string& path, const EntryFacts&) { return sample(path); }, removal))
      << removal.Message;
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(removal.RemovedCount, static_cast<std::uint64_t>(kDepth + kDepth / 1000 + 1));
  const auto removed = Clock::now();

  EXPECT_GT(mostOpen, 0u);
  EXPECT_LE(mostOpen, before + kTreeOpenLevels + 4);
  const auto ms = [](auto span) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(span).count();
  };
  std::cout << "[   info   ] " << kDepth << " levels: walk " << ms(walked - started)
            << " ms, check " << ms(checked - walked) << " ms, removal " << ms(removed - checked)
            << " ms; descriptors " << before << " before, at most " << mostOpen << " during\n";
}

}  // namespace
}  // namespace korvane::platform
