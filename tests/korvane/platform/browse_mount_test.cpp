// The places a browse uses, without mounting anything: the browse root is a
// private folder of ours or nothing, the tool is found beside the program
// before the PATH, names stay usable, and the owner check tells a running
// process from a gone one. (The mounts themselves are tested with the Open
// window, in form_tests.)
#include "korvane/platform/browse_mount.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/scratch.h"

namespace korvane::platform {
namespace {

using testsupport::ScopedEnv;
using testsupport::TempDir;

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

TEST(BrowseRoot, IsAPrivateFolderOfOursOrRefused) {
  TempDir work("browse_root");
  const std::string runtime = work / "run";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  ScopedEnv env("XDG_RUNTIME_DIR", runtime + "/");
  std::string root;
  std::string error;

  // Made when missing; one that others could enter is closed.
  ASSERT_TRUE(BrowseRoot(root, error)) << error;
  EXPECT_EQ(root, runtime + "/korvane");
  ASSERT_EQ(chmod(root.c_str(), 0755), 0);
  ASSERT_TRUE(BrowseRoot(root, error)) << error;
  EXPECT_EQ(ModeOf(root) & 0777, 0700u);
  EXPECT_EQ(ModeOf(root + "/.owners") & 0777, 0700u);

  // A link or a file in its place is never used.
  ASSERT_EQ(rmdir((root + "/.owners").c_str()), 0);
  ASSERT_EQ(rmdir(root.c_str()), 0);
  const std::string elsewhere = work / "elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), root.c_str()), 0);
  EXPECT_FALSE(BrowseRoot(root, error));
  EXPECT_NE(error.find("not a folder of yours"), std::string::npos) << error;
  ASSERT_EQ(unlink(root.c_str()), 0);
  std::ofstream(root) << "a file";
  EXPECT_FALSE(BrowseRoot(root, error));
  EXPECT_FALSE(std::ifstream(elsewhere + "/.owners").good());
}

TEST(BrowseRoot, WithoutARuntimeFolderTmpHoldsOneOfTheUsersOwn) {
  ScopedEnv env("XDG_RUNTIME_DIR", std::nullopt);
  const std::string expected = "/tmp/korvane-browse-" + std::to_string(geteuid());
  struct stat before {};
  const bool existed = lstat(expected.c_str(), &before) == 0;
  std::string root;
  std::string error;
  ASSERT_TRUE(BrowseRoot(root, error)) << error;
  EXPECT_EQ(root, expected);
  EXPECT_EQ(ModeOf(root) & 0777, 0700u);
  if (!existed) {
    rmdir((root + "/.owners").c_str());
    rmdir(root.c_str());
  }
}

TEST(BrowseTool, BesideTheProgramComesBeforeThePath) {
  TempDir work("browse_tool");
  const std::string program = work / "bin/korvane";
  const std::string onPath = work / "path";
  ASSERT_EQ(mkdir((work / "bin").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(onPath.c_str(), 0755), 0);
  auto makeTool = [](const std::string& path) {
    std::ofstream(path) << "#!/bin/sh\n";
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  };
  ScopedEnv path("PATH", onPath);
  EXPECT_EQ(FindBrowseTool(program), "");
  makeTool(onPath + "/korvane-cli");
  EXPECT_EQ(FindBrowseTool(program), onPath + "/korvane-cli");
  // Beside the program, but not executable: not a tool.
  std::ofstream(work / "bin/korvane-cli") << "text";
  EXPECT_EQ(FindBrowseTool(program), onPath + "/korvane-cli");
  makeTool(work / "bin/korvane-cli");
  EXPECT_EQ(FindBrowseTool(program), work / "bin/korvane-cli");
}

TEST(BrowseName, IsTheFoldersNameOrAPlainOne) {
  EXPECT_EQ(BrowseName("/home/ann/Holiday photos"), "Holiday photos");
  EXPECT_EQ(BrowseName("/home/ann/.hidden"), ".hidden");
  for (const char* unusable : {"/home/ann/", "/", "/home/..", "/home/.", "/home/.owners"})
    EXPECT_EQ(BrowseName(unusable), "folder") << unusable;
}

TEST(BrowseOwner, AStartTimeTellsARunningProcessFromAGoneOne) {
  EXPECT_NE(ProcessStartTime(getpid()), 0u);
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  EXPECT_EQ(ProcessStartTime(gone), 0u);
  EXPECT_TRUE(IsMountPoint("/"));
  EXPECT_FALSE(IsMountPoint("/no such folder"));
}

}  // namespace
}  // namespace korvane::platform
