// korvane-cli mount end to end: a tree protected in both layouts and mounted
// shows exactly what opening would restore (names, modes, nanosecond times,
// sizes, links), refuses every write, leaves the container byte for byte and
// time for time as it was; a wrong password mounts nothing; a damaged file
// of a hardened container reads as EIO while its neighbours read fine.
//
// Needs /dev/fuse and fusermount3; skipped without them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "tools/mount/mount_test_support.h"

namespace {

using testsupport::TempDir;

using namespace mounttest;

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = WhyNoMounts(); !missing.empty()) GTEST_SKIP() << missing;
    password_ = work_ / "password";
    std::ofstream(password_) << "correct horse\n";
  }

  // Whatever a test leaves mounted goes, even after a failed assertion.
  void TearDown() override {
    for (const std::string& dir : mounts_)
      if (IsMountPoint(dir)) (void)RunShell("fusermount3 -u -z " + Quote(dir));
  }

  std::string Cli(const std::string& arguments, int* status) {
    std::string output;
    *status = RunShell(std::string(KORVANE_CLI) + " " + arguments + " </dev/null", &output);
    return output;
  }

  // Protects `tree` (kept), at the derivation's floor for the hardened layout.
  std::string Protect(const std::string& tree, bool classic, const std::string& extra = "") {
    int status = 0;
    const std::string layout = classic ? "--classic" : "--kdf-passes 1 --kdf-memory 64";
    const std::string output =
        Cli("protect " + Quote(tree) + " --password-file " + Quote(password_) +
                " --keep-files --no-recovery --quiet " + layout + " " + extra,
            &status);
    EXPECT_EQ(status, 0) << output;
    return tree + "._zkvlk";
  }

  std::string MakeMountPoint(const std::string& name) {
    const std::string dir = work_ / name;
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    mounts_.push_back(dir);
    return dir;
  }

  TempDir work_{"korvane_mount"};
  std::string password_;
  std::vector<std::string> mounts_;
};

class MountLayoutTest : public MountTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MountLayoutTest, ShowsWhatOpeningRestoresReadOnlyAndChangesNothing) {
  const bool classic = GetParam();
  const std::string tree = work_ / "tree";
  BuildTree(tree);
  // A folder whose listing takes the kernel many requests, each going on
  // where the last one stopped.
  ASSERT_EQ(
      RunShell("mkdir " + Quote(tree + "/many") + " && cd " + Quote(tree + "/many") +
               " && for i in $(seq 1 1500); do echo $i > a-long-name-for-the-listing-$i; done"),
      0);
  const std::string container = Protect(tree, classic);
  const std::string before = ReadWhole(container);
  struct stat stamped {};
  ASSERT_EQ(stat(container.c_str(), &stamped), 0);

  const std::string mnt = MakeMountPoint("mnt");
  int status = 0;
  std::string output =
      Cli("mount " + Quote(container) + " " + Quote(mnt) + " --password-file " + Quote(password_),
          &status);
  ASSERT_EQ(status, 0) << output;
  EXPECT_NE(output.find("mounted "), std::string::npos) << output;
  // In place as soon as the command returned.
  ASSERT_TRUE(IsMountPoint(mnt));

  EXPECT_EQ(RunShell("diff -r --no-dereference " + Quote(tree) + " " + Quote(mnt), &output), 0)
      << output;
  EXPECT_EQ(Listing(tree), Listing(mnt));
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 7}) {
    struct stat st {};
    ASSERT_EQ(stat((mnt + "/f" + std::to_string(size)).c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::size_t>(st.st_size), size);
  }

  // Readers side by side get the same bytes (the engine lock serialises
  // them; each file's check runs once).
  std::string sums;
  const std::string sum = " && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 cat | md5sum";
  ASSERT_EQ(RunShell("cd " + Quote(tree) + sum, &sums), 0);
  std::string parallel;
  EXPECT_EQ(RunShell("cd " + Quote(mnt) + " && for i in 1 2 3 4; do (true" + sum + ") & done; wait",
                     &parallel),
            0);
  EXPECT_EQ(parallel, sums + sums + sums + sums);

  // Every kind of change is refused as a read-only file system.
  errno = 0;
  EXPECT_EQ(open((mnt + "/new").c_str(), O_CREAT | O_WRONLY, 0644), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(open((mnt + "/f1").c_str(), O_WRONLY), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(open((mnt + "/f1").c_str(), O_RDWR | O_TRUNC), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(mkdir((mnt + "/folder").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(unlink((mnt + "/f1").c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(rmdir((mnt + "/sub/empty").c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(rename((mnt + "/f1").c_str(), (mnt + "/f2").c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(symlink("x", (mnt + "/another").c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(chmod((mnt + "/f1").c_str(), 0600), -1);
  EXPECT_EQ(errno, EROFS);

  output = Cli("unmount " + Quote(mnt), &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_FALSE(IsMountPoint(mnt));

  EXPECT_TRUE(ReadWhole(container) == before) << "the container changed";
  struct stat after {};
  ASSERT_EQ(stat(container.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, stamped.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, stamped.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_ctim.tv_sec, stamped.st_ctim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_nsec, stamped.st_ctim.tv_nsec);
}

TEST_P(MountLayoutTest, AWrongPasswordMountsNothing) {
  const std::string tree = work_ / "tree";
  BuildTree(tree);
  const std::string container = Protect(tree, GetParam());
  const std::string wrong = work_ / "wrong";
  std::ofstream(wrong) << "not the password\n";
  const std::string mnt = MakeMountPoint("mnt");
  int status = 0;
  const std::string output = Cli(
      "mount " + Quote(container) + " " + Quote(mnt) + " --password-file " + Quote(wrong), &status);
  EXPECT_EQ(status, 4) << output;
  EXPECT_NE(output.find("Invalid password"), std::string::npos) << output;
  EXPECT_FALSE(IsMountPoint(mnt));
}

INSTANTIATE_TEST_SUITE_P(Layouts, MountLayoutTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Classic" : "Hardened";
                         });

TEST_F(MountTest, ADamagedFileOfAHardenedContainerReadsAsEioItsNeighboursFine) {
  const std::string tree = work_ / "big";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  std::string noise(std::size_t{4} << 20, '\0');
  std::mt19937 random(11);
  for (char& c : noise) c = static_cast<char>(random());
  WriteFile(tree + "/big.bin", noise, 0644);
  WriteFile(tree + "/note.txt", "small and sound\n", 0644);
  const std::string container = Protect(tree, false, "--no-compression");
  // One byte in the middle of the container: inside big.bin's data.
  {
    struct stat st {};
    ASSERT_EQ(stat(container.c_str(), &st), 0);
    const int fd = open(container.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const char flipped = 0x5a;
    ASSERT_EQ(pwrite(fd, &flipped, 1, st.st_size / 2), 1);
    close(fd);
  }
  const std::string mnt = MakeMountPoint("mnt");
  int status = 0;
  std::string output =
      Cli("mount " + Quote(container) + " " + Quote(mnt) + " --password-file " + Quote(password_),
          &status);
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(ReadWhole(mnt + "/note.txt"), "small and sound\n");
  const int fd = open((mnt + "/big.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<char> buffer(1 << 16);
  errno = 0;
  EXPECT_EQ(read(fd, buffer.data(), buffer.size()), -1);
  EXPECT_EQ(errno, EIO);
  // And stays so: no later read serves its bytes either.
  errno = 0;
  EXPECT_EQ(pread(fd, buffer.data(), buffer.size(), 1 << 20), -1);
  EXPECT_EQ(errno, EIO);
  close(fd);
  output = Cli("unmount " + Quote(mnt), &status);
  EXPECT_EQ(status, 0) << output;
}

TEST_F(MountTest, InTheForegroundItServesUntilSigtermThenUnmountsAndExitsZero) {
  const std::string tree = work_ / "tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteFile(tree + "/note.txt", "served in the foreground\n", 0644);
  const std::string container = Protect(tree, false);
  const std::string mnt = MakeMountPoint("mnt");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    execl(KORVANE_CLI, KORVANE_CLI, "mount", container.c_str(), mnt.c_str(), "--password-file",
          password_.c_str(), "--foreground", "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
  bool mounted = false;
  for (int i = 0; i < 600 && !mounted; ++i) {
    usleep(50000);
    mounted = IsMountPoint(mnt);
  }
  int status = 0;
  if (!mounted) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the foreground mount never came";
  }
  // Still running: it serves from this process.
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0);
  EXPECT_EQ(ReadWhole(mnt + "/note.txt"), "served in the foreground\n");
  // A file still open when the mount ends: its stream must go before the
  // container is closed.
  const int held = open((mnt + "/note.txt").c_str(), O_RDONLY);
  EXPECT_GE(held, 0);
  ASSERT_EQ(kill(child, SIGTERM), 0);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (held >= 0) close(held);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(IsMountPoint(mnt));
}

// A container that an earlier version wrote mounts as it opens: the listing
// and the sums taken of its folder before it was protected.
TEST_F(MountTest, AClassicContainerOfAnEarlierVersionShowsItsFolderAsItWas) {
  const std::string fixtures = std::string(KORVANE_SOURCE_DIR) + "/tests/fixtures/classic";
  const std::string container = work_ / "Holiday._zkvlk";
  ASSERT_EQ(RunShell("cp " + Quote(fixtures + "/Holiday._zkvlk") + " " + Quote(container)), 0);
  const std::string password = work_ / "fixture-password";
  std::ofstream(password) << "fixture password 7";
  const std::string mnt = MakeMountPoint("mnt");
  int status = 0;
  std::string output =
      Cli("mount " + Quote(container) + " " + Quote(mnt) + " --password-file " + Quote(password),
          &status);
  ASSERT_EQ(status, 0) << output;
  std::string listing;
  EXPECT_EQ(RunShell("cd " + Quote(mnt) + " && find . -printf '%P %m %T@ %y %l\\n' | LC_ALL=C sort",
                     &listing),
            0);
  EXPECT_EQ(listing, ReadWhole(fixtures + "/Holiday.listing"));
  std::string sums;
  EXPECT_EQ(RunShell("cd " + Quote(mnt) +
                         " && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum",
                     &sums),
            0);
  EXPECT_EQ(sums, ReadWhole(fixtures + "/Holiday.md5"));
  output = Cli("unmount " + Quote(mnt), &status);
  EXPECT_EQ(status, 0) << output;
}

TEST_F(MountTest, ARefusedMountPointOrContainerMountsNothing) {
  int status = 0;
  const std::string mnt = MakeMountPoint("mnt");
  std::string output = Cli("mount " + Quote(work_ / "none._zkvlk") + " " + Quote(mnt) +
                               " --password-file " + Quote(password_),
                           &status);
  EXPECT_EQ(status, 1) << output;
  EXPECT_FALSE(IsMountPoint(mnt));
  output = Cli("mount " + Quote(work_ / "none._zkvlk") + " --password-file " + Quote(password_),
               &status);
  EXPECT_EQ(status, 2) << output;
}

}  // namespace
