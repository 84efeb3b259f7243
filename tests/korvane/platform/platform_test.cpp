#include "korvane/platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/tree_builders.h"

namespace korvane::platform {
namespace {

using testsupport::Exists;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

bool IsRoot() {
  return geteuid() == 0;
}

// ---------------------------------------------------------------- masks

TEST(MatchesMask, FollowsTheDesktopRules) {
  struct Case {
    std::string name;
    std::string mask;
    bool matches;
  };
  const Case cases[] = {
      {"README", "*.*", true},  // no dot, still every name
      {"archive.tar.gz", "*.*", true},
      {"README", "*", true},
      {"a.service", "*.service", true},
      {".service", "*.service", true},
      {"A.SERVICE", "*.service", true},  // ASCII letters fold
      {"a.services", "*.service", false},
      {"a.service.bak", "*.service", false},
      {"service", "*.service", false},
      {"x", "?", true},
      {"", "?", false},
      {"xy", "?", false},
      {"abc", "a?c", true},
      {"ab", "a?c", false},
      {"Gr\xc3\xbc\xc3\x9f"
       "e",
       "Gr??e", true},                  // '?' is one character, not one byte
      {"\xc3\x89", "\xc3\xa9", false},  // only ASCII letters fold
      {"\xc3\x89", "\xc3\x89", true},
      {"\xff\xfe", "??", true},  // bytes that are no UTF-8 are characters too
      {"abcabd", "*abd", true},  // the star must give back what it took
      {"mississippi", "m*iss*ppi", true},
      {"mississippi", "m*iss*ppx", false},
      {"abc", "abc*", true},
      {"abc", "abcd", false},
      {"abcd", "abc", false},
      {std::string(200, 'a'), "*a*a*a*a*a*a*a*a*a*a*b", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesMask(c.name, c.mask), c.matches) << "'" << c.name << "' ~ '" << c.mask << "'";
  }
}

// ---------------------------------------------------------------- paths

TEST(Paths, ParentDirectory) {
  const std::pair<const char*, const char*> cases[] = {
      {"/home/user/folder", "/home/user"},
      {"/folder", "/"},
      {"/", "/"},
      {"folder", "."},
      {"", "."},
      {"a/b", "a"},
      {"a/b/", "a"},  // a folder is never its own parent
      {"/a//b", "/a"},
      {"//a", "/"},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(ParentDirectory(path), parent) << path;
}

TEST(Paths, AbsolutePathFoldsLexically) {
  TempDir scratch{"platform_test"};
  ASSERT_EQ(mkdir((scratch / "here").c_str(), 0700), 0);
  std::vector<char> saved(4096);
  ASSERT_NE(getcwd(saved.data(), saved.size()), nullptr);
  ASSERT_EQ(chdir((scratch / "here").c_str()), 0);
  std::vector<char> buffer(4096);
  const std::string here = getcwd(buffer.data(), buffer.size());
  const std::string above = here.substr(0, here.rfind('/'));
  // A link is taken as a name, never resolved: "link/.." is the folder the
  // link sits in, whatever it points at.
  ASSERT_EQ(symlink("/usr/share", "link"), 0);

  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"/", "/"},
      {"//", "/"},
      {"/..", "/"},
      {"/../a", "/a"},
      {"/a//b/./c/", "/a/b/c"},
      {"/a/b/../c", "/a/c"},
      {"/a/b/..", "/a"},
      {".", here},
      {"./", here},
      {"name", here + "/name"},
      {"name/", here + "/name"},
      {"..", above},
      {"sub/../..", above},
      {"link/..", here},
      {"odd name/\xff", here + "/odd name/\xff"},
  };
  for (const auto& [path, absolute] : cases) EXPECT_EQ(AbsolutePath(path), absolute) << path;
  ASSERT_EQ(chdir(saved.data()), 0);
}

TEST(Paths, ExecutableAndUserFolders) {
  const std::string executable = ExecutablePath();
  ASSERT_GE(executable.size(), 15u);
  EXPECT_EQ(executable.substr(executable.size() - 15), "/platform_tests");

  TempDir scratch{"platform_test"};
  {
    ScopedEnv home("HOME", scratch.path().c_str());
    ScopedEnv config("XDG_CONFIG_HOME", "/cfg/here/");
    ScopedEnv state("XDG_STATE_HOME", nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/test");
    EXPECT_EQ(ConfigHome(), "/cfg/here");
    EXPECT_EQ(StateHome(), scratch / ".local/state");
    EXPECT_EQ(RuntimeDirectory(), "/run/user/test");
  }
  {
    // Relative or empty values are no base folders and are ignored.
    ScopedEnv home("HOME", scratch.path().c_str());
    ScopedEnv config("XDG_CONFIG_HOME", "relative/cfg");
    ScopedEnv state("XDG_STATE_HOME", "");
    ScopedEnv runtime("XDG_RUNTIME_DIR", "");
    EXPECT_EQ(ConfigHome(), scratch / ".config");
    EXPECT_EQ(StateHome(), scratch / ".local/state");
    EXPECT_EQ(RuntimeDirectory(), "/tmp");
  }
  {
    ScopedEnv home("HOME", nullptr);
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    const std::string fromPasswd = ConfigHome();
    EXPECT_FALSE(fromPasswd.empty());
    EXPECT_EQ(fromPasswd.front(), '/');
  }
}

// ---------------------------------------------------------------- file tests

TEST(FileTests, EachKindOfEntry) {
  TempDir scratch{"platform_test"};
  WriteFile(scratch / "file", std::string(12345, 'x'));
  ASSERT_EQ(mkdir((scratch / "dir").c_str(), 0700), 0);
  ASSERT_EQ(symlink("file", (scratch / "linkToFile").c_str()), 0);
  ASSERT_EQ(symlink("dir", (scratch / "linkToDir").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (scratch / "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);

  struct Case {
    const char* name;
    bool fileExists;
    bool isDirectory;
    bool isLink;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"file", true, false, false, 12345},
      {"dir", false, true, false, 0},
      {"linkToFile", true, false, true, 12345},
      {"linkToDir", true, true, true, 0},
      {"dangling", true, false, true, 0},
      {"fifo", true, false, false, 0},  // must not hang waiting for a writer
      {"missing", false, false, false, 0},
  };
  for (const Case& c : cases) {
    const std::string path = scratch / c.name;
    EXPECT_EQ(FileExists(path), c.fileExists) << c.name;
    EXPECT_EQ(IsDirectory(path), c.isDirectory) << c.name;
    EXPECT_EQ(IsSymbolicLink(path), c.isLink) << c.name;
    EXPECT_EQ(GetFileSize64(path), c.size) << c.name;
  }
}

// ---------------------------------------------------------------- listing

TEST(EnumerateDirectory, ReportsEntriesAndNeverFollowsLinks) {
  TempDir scratch{"platform_test"};
  TempDir outside{"platform_test"};
  WriteFile(outside / "secret.txt", "outside");
  const std::string folder = scratch / "folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  WriteFile(folder + "/a.txt", "12345");
  WriteFile(folder + "/B.TXT", "");
  WriteFile(folder + "/README", "1234567");
  ASSERT_EQ(mkdir((folder + "/sub.txt").c_str(), 0700), 0);
  WriteFile(folder + "/sub.txt/inner.txt", "inner");
  ASSERT_EQ(symlink(outside.path().c_str(), (folder + "/out").c_str()), 0);
  ASSERT_EQ(symlink("README", (folder + "/readme.lnk").c_str()), 0);

  struct Seen {
    bool isDirectory;
    bool isLink;
    std::uint64_t size;
    bool operator==(const Seen&) const = default;
  };
  const auto list = [](const std::string& path, const std::string& mask) {
    std::vector<DirEntry> entries;
    EXPECT_TRUE(EnumerateDirectory(path, mask, entries));
    std::map<std::string, Seen> seen;
    for (const DirEntry& entry : entries) {
      EXPECT_TRUE(
          seen.emplace(entry.Name, Seen{entry.IsDirectory, entry.IsLink, entry.Size}).second)
          << entry.Name;
    }
    return seen;
  };

  const std::map<std::string, Seen> all = {
      {"a.txt", {false, false, 5}},  {"B.TXT", {false, false, 0}}, {"README", {false, false, 7}},
      {"sub.txt", {true, false, 0}}, {"out", {false, true, 0}},    {"readme.lnk", {false, true, 0}},
  };
  EXPECT_EQ(list(folder, "*.*"), all);
  EXPECT_EQ(list(folder + "/", "*"), all);
  const std::map<std::string, Seen> texts = {
      {"a.txt", {false, false, 5}},
      {"B.TXT", {false, false, 0}},
      {"sub.txt", {true, false, 0}},
  };
  EXPECT_EQ(list(folder, "*.txt"), texts);

  // A missing folder, a file, and a link to a folder cannot be listed; the
  // list is empty afterwards, whatever it held.
  for (const std::string& path : {scratch / "missing", folder + "/a.txt", folder + "/out"}) {
    std::vector<DirEntry> entries(3);
    EXPECT_FALSE(EnumerateDirectory(path, "*", entries)) << path;
    EXPECT_TRUE(entries.empty()) << path;
  }
}

// ---------------------------------------------------------------- deleting

TEST(ShellDeleteTree, RemovesReadOnlyContentButNothingBehindLinks) {
  TempDir scratch{"platform_test"};
  TempDir outside{"platform_test"};
  // What links point at: read-only, so a chmod that followed a link shows.
  ASSERT_EQ(mkdir((outside / "folder").c_str(), 0700), 0);
  WriteFile(outside / "folder/keep.txt", "keep");
  ASSERT_EQ(chmod((outside / "folder").c_str(), 0500), 0);
  WriteFile(outside / "file.txt", "keep too");
  ASSERT_EQ(chmod((outside / "file.txt").c_str(), 0400), 0);

  const std::string tree = scratch / "tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
  WriteFile(tree + "/readonly.txt", "r");
  ASSERT_EQ(chmod((tree + "/readonly.txt").c_str(), 0400), 0);
  ASSERT_EQ(mkdir((tree + "/ro").c_str(), 0700), 0);
  WriteFile(tree + "/ro/inside.txt", "i");
  ASSERT_EQ(mkdir((tree + "/ro/closed").c_str(), 0700), 0);
  WriteFile(tree + "/ro/closed/deep.txt", "d");
  ASSERT_EQ(chmod((tree + "/ro/closed").c_str(), 0), 0);  // not even readable
  ASSERT_EQ(chmod((tree + "/ro").c_str(), 0500), 0);
  ASSERT_EQ(symlink((outside / "folder").c_str(), (tree + "/toFolder").c_str()), 0);
  ASSERT_EQ(symlink((outside / "file.txt").c_str(), (tree + "/toFile").c_str()), 0);
  ASSERT_EQ(symlink("/nowhere/at/all", (tree + "/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((tree + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(chmod(tree.c_str(), 0500), 0);

  EXPECT_TRUE(ShellDeleteTree(tree + "/"));
  EXPECT_FALSE(Exists(tree));
  EXPECT_TRUE(Exists(outside / "folder/keep.txt"));
  EXPECT_EQ(ModeOf(outside / "folder"), 0500u);
  EXPECT_TRUE(Exists(outside / "file.txt"));
  EXPECT_EQ(ModeOf(outside / "file.txt"), 0400u);
}

TEST(ShellDeleteTree, WhatThePathNames) {
  TempDir scratch{"platform_test"};
  TempDir outside{"platform_test"};
  WriteFile(outside / "keep.txt", "keep");
  // A link given as the path goes, its target stays.
  ASSERT_EQ(symlink(outside.path().c_str(), (scratch / "link").c_str()), 0);
  EXPECT_TRUE(ShellDeleteTree(scratch / "link"));
  EXPECT_FALSE(Exists(scratch / "link"));
  EXPECT_TRUE(Exists(outside / "keep.txt"));
  // The same with a trailing slash, which would otherwise lead through it.
  ASSERT_EQ(symlink(outside.path().c_str(), (scratch / "link2").c_str()), 0);
  EXPECT_TRUE(ShellDeleteTree(scratch / "link2/"));
  EXPECT_FALSE(Exists(scratch / "link2"));
  EXPECT_TRUE(Exists(outside / "keep.txt"));
  // A plain file, and a path that is not there at all.
  WriteFile(scratch / "file", "x");
  EXPECT_TRUE(ShellDeleteTree(scratch / "file"));
  EXPECT_FALSE(Exists(scratch / "file"));
  EXPECT_TRUE(ShellDeleteTree(scratch / "missing"));
  EXPECT_TRUE(ShellDeleteTree(scratch / "missing/below"));
  // Names that are no entry of a parent.
  EXPECT_FALSE(ShellDeleteTree(""));
  EXPECT_FALSE(ShellDeleteTree(scratch / "."));
  EXPECT_FALSE(ShellDeleteTree(scratch / ".."));
  EXPECT_TRUE(Exists(scratch.path()));
}

TEST(ShellDeleteTree, TreeDeeperThanAnyPathCanName) {
  // 2500 levels: paths beyond PATH_MAX, and far more folders than the
  // removal keeps open at once, so it has to climb back through "..".
  TempDir scratch{"platform_test"};
  const std::string tree = scratch / "deep";
  constexpr int kDepth = 2500;
  ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
  ASSERT_NO_FATAL_FAILURE(testsupport::MakeDeepChain(tree, kDepth, 0700, [](int fd, int level) {
    if (level % 100 == 0 && level < kDepth) {
      const int file = openat(fd, "file", O_WRONLY | O_CREAT, 0400);
      ASSERT_GE(file, 0);
      close(file);
      ASSERT_EQ(mkdirat(fd, "side", 0500), 0);  // a read-only sibling branch
    }
  }));
  EXPECT_TRUE(ShellDeleteTree(tree));
  EXPECT_FALSE(Exists(tree));
}

TEST(ShellDeleteTree, ReportsAFolderThatCannotGo) {
  if (IsRoot()) GTEST_SKIP() << "permissions do not bind root";
  TempDir scratch{"platform_test"};
  const std::string parent = scratch / "parent";
  ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((parent + "/tree").c_str(), 0700), 0);
  WriteFile(parent + "/tree/file", "x");
  ASSERT_EQ(chmod(parent.c_str(), 0500), 0);  // the folder itself cannot be unlinked
  EXPECT_FALSE(ShellDeleteTree(parent + "/tree"));
  EXPECT_TRUE(Exists(parent + "/tree"));
  ASSERT_EQ(chmod(parent.c_str(), 0700), 0);
}

TEST(ChangingFiles, NormalAttributesAndRemoval) {
  TempDir scratch{"platform_test"};
  WriteFile(scratch / "ro", "x");
  ASSERT_EQ(chmod((scratch / "ro").c_str(), 0444), 0);
  EXPECT_TRUE(SetFileAttributesNormal(scratch / "ro"));
  EXPECT_EQ(ModeOf(scratch / "ro"), 0644u);

  WriteFile(scratch / "target", "x");
  ASSERT_EQ(chmod((scratch / "target").c_str(), 0400), 0);
  ASSERT_EQ(symlink("target", (scratch / "link").c_str()), 0);
  EXPECT_TRUE(SetFileAttributesNormal(scratch / "link"));
  EXPECT_EQ(ModeOf(scratch / "target"), 0400u);  // the link was left alone
  EXPECT_FALSE(SetFileAttributesNormal(scratch / "missing"));

  EXPECT_TRUE(DeleteFile(scratch / "link"));
  EXPECT_TRUE(Exists(scratch / "target"));
  EXPECT_FALSE(DeleteFile(scratch / "link"));
  ASSERT_EQ(mkdir((scratch / "dir").c_str(), 0700), 0);
  EXPECT_FALSE(DeleteFile(scratch / "dir"));
  WriteFile(scratch / "dir/file", "x");
  EXPECT_FALSE(RemoveDirectory(scratch / "dir"));
  ASSERT_TRUE(DeleteFile(scratch / "dir/file"));
  EXPECT_TRUE(RemoveDirectory(scratch / "dir"));
  EXPECT_FALSE(Exists(scratch / "dir"));
}

// ---------------------------------------------------------------- disk, sync

TEST(DiskSpace, RootHasSpaceAndAFailureClearsTheFigures) {
  DiskSpace space;
  ASSERT_TRUE(GetDiskFreeSpace("/", space));
  EXPECT_GT(space.Total, 0u);
  EXPECT_LE(space.TotalFree, space.Total);
  EXPECT_LE(space.AvailableToCaller, space.TotalFree);

  space = DiskSpace{1, 2, 3};
  EXPECT_FALSE(GetDiskFreeSpace("/no/such/folder/anywhere", space));
  EXPECT_EQ(space.AvailableToCaller, 0u);
  EXPECT_EQ(space.Total, 0u);
  EXPECT_EQ(space.TotalFree, 0u);
}

TEST(Durability, SyncsWhatExistsAndReportsWhatDoesNot) {
  TempDir scratch{"platform_test"};
  WriteFile(scratch / "file", "data");
  ASSERT_EQ(mkdir((scratch / "folder").c_str(), 0700), 0);
  EXPECT_TRUE(SyncFile(scratch / "file"));
  EXPECT_TRUE(SyncDirectory(scratch.path()));
  EXPECT_TRUE(SyncTree(scratch / "folder"));
  EXPECT_TRUE(SyncTree(scratch / "folder/"));

  errno = 0;
  EXPECT_FALSE(SyncFile(scratch / "missing"));
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_FALSE(SyncDirectory(scratch / "file"));
  EXPECT_EQ(errno, ENOTDIR);
  errno = 0;
  EXPECT_FALSE(SyncTree(scratch / "missing"));
  EXPECT_EQ(errno, ENOENT);
}

// ---------------------------------------------------------------- desktop

TEST(ShellOpen, FalseWithoutADesktopOrAnOpener) {
  {
    ScopedEnv display("DISPLAY", nullptr);
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    EXPECT_FALSE(ShellOpen("/tmp"));
  }
  {
    ScopedEnv display("DISPLAY", "");
    ScopedEnv wayland("WAYLAND_DISPLAY", "");
    EXPECT_FALSE(ShellOpen("/tmp"));
  }
  {
    // A desktop, but no xdg-open anywhere on the search path.
    TempDir empty{"platform_test"};
    ScopedEnv display("DISPLAY", ":99");
    ScopedEnv path("PATH", empty.path().c_str());
    EXPECT_FALSE(ShellOpen("/tmp"));
  }
}

TEST(LocalizeText, NamesThePlatformAsLinuxDoes) {
  const std::pair<const char*, const char*> cases[] = {
      {"You cannot protect the Windows folder.", "You cannot protect the system folder."},
      {"Open it in Windows Explorer.", "Open it in the file manager."},
      {"Windows folder, Windows Explorer, Windows folder",
       "system folder, the file manager, system folder"},
      {"Windows alone stays", "Windows alone stays"},
      {"windows folder", "windows folder"},
      {"", ""},
  };
  for (const auto& [text, localized] : cases) EXPECT_EQ(LocalizeText(text), localized) << text;
}

// ---------------------------------------------------------------- run lock

TEST(RunLock, HoldsAnAdvisoryLockUntilClosed) {
  TempDir runtime{"platform_test"};
  ScopedEnv variable("XDG_RUNTIME_DIR", runtime.path().c_str());
  const std::string lockPath = runtime / "korvane-test.lock";
  const auto lockedByOthers = [&] {
    const int fd = open(lockPath.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return busy;
  };

  RunLock first("korvane-test");
  EXPECT_TRUE(first.Held());
  EXPECT_EQ(ModeOf(lockPath) & 0077, 0u);
  EXPECT_TRUE(lockedByOthers());
  RunLock second("korvane-test");  // a second instance is not turned away
  EXPECT_TRUE(second.Held());
  first.Close();
  EXPECT_FALSE(first.Held());
  EXPECT_FALSE(lockedByOthers());
  first.Close();  // twice is harmless
}

TEST(RunLock, DoesNotFollowAPlantedLink) {
  TempDir runtime{"platform_test"};
  TempDir elsewhere{"platform_test"};
  ScopedEnv variable("XDG_RUNTIME_DIR", runtime.path().c_str());
  ASSERT_EQ(symlink((elsewhere / "victim").c_str(), (runtime / "korvane-test.lock").c_str()), 0);
  RunLock lock("korvane-test");
  EXPECT_FALSE(lock.Held());
  EXPECT_FALSE(Exists(elsewhere / "victim"));
}

}  // namespace
}  // namespace korvane::platform
