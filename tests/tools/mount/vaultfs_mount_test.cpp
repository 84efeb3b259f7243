// vaultfs mount end to end: a plain container mounted read-write takes a
// copy of a tree and a round of moves, replacements, deletions, appends,
// truncations, new links and folders, done the same way to a reference tree
// on disk; after the unmount the container checks clean and a second mount
// (read-only) shows exactly the reference tree. File-system stressors over a
// mount, and a kill of the serving process in the middle of writes, leave a
// container that checks clean.
//
// Needs /dev/fuse and fusermount3 (stress-ng for the stress test); skipped
// without them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch.h"
#include "tools/mount/mount_test_support.h"

namespace {

using namespace mounttest;
using testsupport::TempDir;

class VaultfsMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = WhyNoMounts(); !missing.empty()) GTEST_SKIP() << missing;
    container_ = work_ / "plain.vfs";
    mnt_ = work_ / "mnt";
    ASSERT_EQ(mkdir(mnt_.c_str(), 0755), 0);
    int status = 0;
    const std::string output = Tool("create " + Quote(container_), &status);
    ASSERT_EQ(status, 0) << output;
  }

  // Whatever a test leaves mounted goes, even after a failed assertion.
  void TearDown() override {
    if (IsMountPoint(mnt_)) (void)RunShell("fusermount3 -u -z " + Quote(mnt_));
  }

  std::string Tool(const std::string& arguments, int* status) {
    std::string output;
    *status = RunShell(std::string(VAULTFS_TOOL) + " " + arguments + " </dev/null", &output);
    return output;
  }

  void Mount(const std::string& options = "") {
    int status = 0;
    const std::string output =
        Tool("mount " + Quote(container_) + " " + Quote(mnt_) + " " + options, &status);
    ASSERT_EQ(status, 0) << output;
    // In place as soon as the command returned.
    ASSERT_TRUE(IsMountPoint(mnt_));
  }

  // Unmounts and waits until the serving process let go of the container,
  // so that nothing else opens it while it is still being closed.
  void Unmount() {
    int status = 0;
    const std::string output = Tool("unmount " + Quote(mnt_), &status);
    ASSERT_EQ(status, 0) << output;
    WaitUntilClosed();
  }

  // The process that holds the container open (the serving one); "" when
  // none does.
  std::string ServingProcess() {
    std::string pids;
    (void)RunShell("for p in /proc/[0-9]*; do ls -l $p/fd 2>/dev/null | grep -qF -- " +
                       Quote(container_) + " && echo ${p#/proc/}; done",
                   &pids);
    while (!pids.empty() && pids.back() == '\n') pids.pop_back();
    return pids;
  }

  void WaitUntilClosed() {
    for (int i = 0; i < 600 && !ServingProcess().empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(ServingProcess(), "") << "the mount process still holds the container";
  }

  void ExpectCheckClean() {
    int status = 0;
    const std::string output = Tool("check " + Quote(container_), &status);
    EXPECT_EQ(status, 0) << output;
  }

  TempDir work_{"vaultfs_mount"};
  std::string container_;
  std::string mnt_;
};

// The same round of changes, run in `dir` (the mount or the reference).
// Every entry whose time the change itself sets to "now" is stamped at the
// end, so that the two trees can be compared time for time.
const char* const kChanges =
    "set -e\n"
    "mv f1 f1-moved\n"
    "mv f16383 sub/moved-in\n"
    "mv f0 f16384\n"  // replaces an existing file
    "mv dangling sub/dangling-moved\n"
    "rm f16385\n"
    "printf 'appended' >> sub/inner\n"
    "truncate -s 20000 sub/moved-in\n"
    "truncate -s 3 f1-moved\n"
    "printf 12345 | dd of=sub/inner bs=1 seek=16382 conv=notrunc status=none\n"
    "cp sub/inner sub/inner-copy\n"
    "ln -s 'sub/inner' new-link\n"
    "mkdir -m 0711 made\n"
    "printf 'new file' > made/new\n"
    "chmod 0604 made/new\n"
    "rmdir sub/empty\n"
    "chmod 0755 read-only\n"
    "touch -d @1650000000.987654321 made/new sub/inner sub/moved-in f1-moved read-only "
    "sub/inner-copy\n"
    "printf '#!/bin/sh\\n' > '.hidden script'\n"
    "chmod 0751 '.hidden script'\n"
    "touch -d @1650000000.25 '.hidden script'\n"
    "touch -h -d @1650000001.000000007 new-link sub/dangling-moved\n"
    "touch -d @1650000002.5 . sub made\n";

TEST_F(VaultfsMountTest, ATreeCopiedAndChangedThroughAMountIsWhatTheContainerHolds) {
  const std::string source = work_ / "source";
  BuildTree(source);
  std::string output;
  // A folder whose listing takes the kernel several requests.
  ASSERT_EQ(RunShell("mkdir " + Quote(source + "/many") + " && cd " + Quote(source + "/many") +
                         " && for i in $(seq 1 250); do : > a-long-name-for-the-listing-$i; done",
                     &output),
            0)
      << output;
  Mount();
  ASSERT_EQ(RunShell("cp -a " + Quote(source) + "/. " + Quote(mnt_), &output), 0) << output;
  // Exactly the copy: bytes, names, modes, nanosecond times, links.
  EXPECT_EQ(RunShell("diff -r --no-dereference " + Quote(source) + " " + Quote(mnt_), &output), 0)
      << output;
  EXPECT_EQ(Listing(source), Listing(mnt_));

  const std::string reference = work_ / "reference";
  ASSERT_EQ(RunShell("cp -a " + Quote(source) + " " + Quote(reference), &output), 0) << output;
  for (const std::string& dir : {reference, mnt_}) {
    const std::string script = work_ / "changes.sh";
    std::ofstream(script) << kChanges;
    ASSERT_EQ(RunShell("cd " + Quote(dir) + " && sh " + Quote(script), &output), 0)
        << dir << ": " << output;
  }
  EXPECT_EQ(RunShell("diff -r --no-dereference " + Quote(reference) + " " + Quote(mnt_), &output),
            0)
      << output;
  EXPECT_EQ(Listing(reference), Listing(mnt_));

  // Room to write: a container that grows has the room of its disk.
  struct statvfs room {};
  ASSERT_EQ(statvfs(mnt_.c_str(), &room), 0);
  struct statvfs host {};
  ASSERT_EQ(statvfs(work_.path().c_str(), &host), 0);
  EXPECT_GE(static_cast<double>(room.f_bavail) * room.f_frsize,
            0.5 * static_cast<double>(host.f_bavail) * host.f_frsize);
  EXPECT_EQ(room.f_flag & ST_RDONLY, 0u);

  // A write stamps the time it was made; a refused change says why.
  struct stat st {};
  ASSERT_EQ(RunShell("printf x >> " + Quote(mnt_ + "/made/new")), 0);
  ASSERT_EQ(stat((mnt_ + "/made/new").c_str(), &st), 0);
  EXPECT_LE(std::abs(static_cast<long>(st.st_mtim.tv_sec - std::time(nullptr))), 5);
  // So does a change of the size alone.
  ASSERT_EQ(RunShell("touch -d @1650000000 " + Quote(mnt_ + "/made/new") + " && truncate -s 8 " +
                     Quote(mnt_ + "/made/new")),
            0);
  ASSERT_EQ(stat((mnt_ + "/made/new").c_str(), &st), 0);
  EXPECT_LE(std::abs(static_cast<long>(st.st_mtim.tv_sec - std::time(nullptr))), 5);
  ASSERT_EQ(RunShell("touch -d @1650000000.987654321 " + Quote(mnt_ + "/made/new")), 0);
  // Refused changes say why.
  const struct {
    const char* What;
    std::function<int()> Call;
    int Errno;
  } refusals[] = {
      {"rmdir of a full folder", [&] { return rmdir((mnt_ + "/sub").c_str()); }, ENOTEMPTY},
      {"mkdir of an existing name", [&] { return mkdir((mnt_ + "/made").c_str(), 0755); }, EEXIST},
      {"unlink of nothing", [&] { return unlink((mnt_ + "/missing").c_str()); }, ENOENT},
      {"rename onto a full folder",
       [&] { return rename((mnt_ + "/made").c_str(), (mnt_ + "/sub").c_str()); }, ENOTEMPTY},
      {"rename of a file onto a folder",
       [&] { return rename((mnt_ + "/f16384").c_str(), (mnt_ + "/made").c_str()); }, EISDIR},
  };
  for (const auto& refusal : refusals) {
    errno = 0;
    EXPECT_EQ(refusal.Call(), -1) << refusal.What;
    EXPECT_EQ(errno, refusal.Errno) << refusal.What;
  }

  Unmount();
  ExpectCheckClean();

  // What the container holds, as a read-only mount shows it.
  Mount("--read-only");
  EXPECT_EQ(RunShell("diff -r --no-dereference " + Quote(reference) + " " + Quote(mnt_), &output),
            0)
      << output;
  EXPECT_EQ(Listing(reference), Listing(mnt_));
  errno = 0;
  EXPECT_EQ(mkdir((mnt_ + "/refused").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
  Unmount();
}

TEST_F(VaultfsMountTest, AContainerMountedReadWriteIsNotMountedTwice) {
  Mount();
  const std::string second = work_ / "second";
  ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
  for (const char* options : {"", "--read-only"}) {
    int status = 0;
    const std::string output =
        Tool("mount " + Quote(container_) + " " + Quote(second) + " " + options, &status);
    EXPECT_EQ(status, 1) << options << ": " << output;
    EXPECT_NE(output.find("in use"), std::string::npos) << output;
    EXPECT_FALSE(IsMountPoint(second));
    if (IsMountPoint(second)) (void)RunShell("fusermount3 -u -z " + Quote(second));
  }
  Unmount();
  // Read-only mounts may share it.
  Mount("--read-only");
  int status = 0;
  const std::string output =
      Tool("mount " + Quote(container_) + " " + Quote(second) + " --read-only", &status);
  EXPECT_EQ(status, 0) << output;
  if (IsMountPoint(second)) {
    EXPECT_EQ(RunShell("fusermount3 -u " + Quote(second)), 0);
  }
  Unmount();
}

TEST_F(VaultfsMountTest, FileSystemStressorsLeaveAContainerThatChecksClean) {
  if (RunShell("command -v stress-ng") != 0)
    GTEST_SKIP() << "stress-ng is missing (scripts/install-deps.sh installs it)";
  Mount();
  std::string output;
  const int status = RunShell(
      "stress-ng --dir 1 --rename 1 --symlink 1 --utime 1 --chmod 1 --seek 1 --seek-size 4M "
      "--hdd 1 --hdd-opts wr-seq,rd-seq --hdd-bytes 8M --verify --temp-path " +
          Quote(mnt_) + " --timeout 20s --metrics-brief",
      &output);
  EXPECT_EQ(status, 0) << output;
  std::printf("%s", output.c_str());
  Unmount();
  ExpectCheckClean();
}

TEST_F(VaultfsMountTest, AKillInTheMiddleOfWritesKeepsWhatWasSyncedAndRecovers) {
  const std::string data = work_ / "data";
  WriteFile(data, Bytes(3 * kBlock + 11, 3), 0644);
  Mount();
  const std::string serving = ServingProcess();
  ASSERT_FALSE(serving.empty());
  // Files written and synced one after another; each one the sync confirmed
  // is noted on disk, outside the mount.
  const std::string log = work_ / "synced";
  const std::string writer =
      "i=0; while [ $i -lt 10000 ]; do i=$((i+1)); dd if=" + Quote(data) + " of=" + Quote(mnt_) +
      "/f$i bs=7000 conv=fsync status=none && echo f$i >> " + Quote(log) + " || exit 0; done";
  std::string output;
  ASSERT_EQ(RunShell("(" + writer + ") & sleep 2; kill -9 " + serving + "; wait", &output), 0)
      << output;
  ASSERT_EQ(RunShell("fusermount3 -u " + Quote(mnt_), &output), 0) << output;
  WaitUntilClosed();

  // The next open for writing recovers the container.
  int status = 0;
  output = Tool("mkdir " + Quote(container_) + " after-the-kill", &status);
  ASSERT_EQ(status, 0) << output;
  ExpectCheckClean();
  Mount("--read-only");
  const std::string synced = ReadWhole(log);
  ASSERT_FALSE(synced.empty()) << "nothing was written before the kill";
  EXPECT_EQ(RunShell("while read -r name; do cmp " + Quote(data) + " " + Quote(mnt_) +
                         "/$name || exit 1; done < " + Quote(log),
                     &output),
            0)
      << output;
  Unmount();
}

}  // namespace
