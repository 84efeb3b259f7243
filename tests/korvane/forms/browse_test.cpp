// Browsing a protected folder through the Open window: the tree mounted
// read-only under the runtime folder with the window's exact words, the
// folder in use kept until it is free (or detached), a wrong password that
// mounts nothing, names taken by a live browse skipped; and what a killed
// run left behind cleaned up by the next one, a live browse left alone.
//
// The mounts are real (korvane-cli of this build, FUSE): skipped where
// /dev/fuse or fusermount3 is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "korvane/forms/application.h"
#include "korvane/forms/browse_form.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/protect_form.h"
#include "korvane/platform/browse_mount.h"
#include "scripted_ui.h"
#include "support/app_environment.h"
#include "support/scratch.h"
#include "support/tree_builders.h"
#include "tools/mount/mount_test_support.h"

namespace korvane {
namespace {

using testing::ScriptedUi;
using testsupport::Exists;
using testsupport::ScopedEnv;
using testsupport::Snapshot;
using testsupport::TempDir;

constexpr const char* kPassword = "secret password";

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  std::vector<platform::DirEntry> entries;
  platform::EnumerateDirectory(folder, "*", entries);
  for (const auto& entry : entries) names.push_back(entry.Name);
  return names;
}

struct Stamp {
  std::string Bytes;
  timespec Modified{};
  timespec Changed{};
};

Stamp StampOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return {mounttest::ReadWhole(path), info.st_mtim, info.st_ctim};
}

bool operator==(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

class BrowseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = mounttest::WhyNoMounts(); !missing.empty())
      GTEST_SKIP() << missing;
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    std::string error;
    ASSERT_TRUE(platform::BrowseRoot(root_, error)) << error;
    ASSERT_EQ(root_, runtime_ + "/korvane");
    testsupport::MakeKeptFolder(folder_, 40000);
    original_ = Snapshot(folder_);
    ASSERT_NO_FATAL_FAILURE(testing::ProtectScripted(folder_, kPassword, Environment()));
    ASSERT_TRUE(Exists(container_));
    ASSERT_FALSE(Exists(folder_));
  }

  // Whatever a failed test left mounted goes.
  void TearDown() override {
    for (const std::string& name : Entries(root_)) {
      const std::string folder = root_ + "/" + name;
      if (platform::IsMountPoint(folder))
        (void)mounttest::RunShell("fusermount3 -u -z " + mounttest::Quote(folder));
    }
  }

  static TEnvironment Environment() {
    TEnvironment environment = testsupport::AppEnvironment();
    environment.BrowseTool = [] { return std::string(KORVANE_CLI); };
    return environment;
  }

  // A -BROWSE (or -OPEN) run whose Open window types `password` and presses
  // Browse; `inBrowse` runs in the browse window, which it may leave open.
  void Browse(ScriptedUi& ui, const std::string& verb, const std::string& password,
              std::function<void(TfrmBrowse&)> inBrowse) {
    ui.Scripts["frmEnter"] = [password](TForm& form) {
      auto& enter = dynamic_cast<TfrmEnter&>(form);
      enter.edPassword.SetText(password);
      enter.btnBrowse.Click();
    };
    ui.Scripts["frmBrowse"] = [inBrowse](TForm& form) {
      inBrowse(dynamic_cast<TfrmBrowse&>(form));
    };
    TApplication app(ui, Environment());
    EXPECT_EQ(app.Run({"korvane", verb, container_}), 0);
  }

  TempDir work_{"korvane_browse"};
  std::string runtime_ = work_ / "run";
  ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_};
  std::string root_;
  std::string folder_ = work_ / "Holiday photos";
  std::string container_ = folder_ + "._zkvlk";
  std::map<std::string, std::string> original_;
};

TEST_F(BrowseTest, BrowseMountsTheTreeReadOnlyAndCloseTakesItAway) {
  const Stamp before = StampOf(container_);
  const std::string mount = root_ + "/Holiday photos";
  for (const char* verb : {"-BROWSE", "-OPEN"}) {
    SCOPED_TRACE(verb);
    ScriptedUi ui;
    bool shown = false;
    Browse(ui, verb, kPassword, [&](TfrmBrowse& browse) {
      shown = true;
      EXPECT_EQ(browse.lblBrowsing.Caption, "Holiday photos is open for browsing, read-only");
      EXPECT_EQ(browse.lblFolder.Caption, mount);
      EXPECT_TRUE(platform::IsMountPoint(mount));
      // Nobody else may even look in (the mount shows the folder's own mode).
      struct stat info {};
      ASSERT_EQ(lstat(root_.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0700u) << std::oct << info.st_mode;
      // Exactly what opening would restore, and nothing may be changed.
      EXPECT_EQ(Snapshot(mount), original_);
      EXPECT_LT(open((mount + "/new file").c_str(), O_WRONLY | O_CREAT, 0600), 0);
      EXPECT_EQ(errno, EROFS);
      // The record says who owns the browse.
      std::ifstream record(root_ + "/.owners/Holiday photos");
      long pid = 0;
      record >> pid;
      EXPECT_EQ(pid, static_cast<long>(getpid()));
      browse.btnClose.Click();
      EXPECT_FALSE(browse.Visible());
    });
    EXPECT_TRUE(shown);
    EXPECT_TRUE(ui.Boxes.empty()) << ui.Captions();
    EXPECT_EQ(ui.Opened, std::vector<std::string>{mount});
    EXPECT_FALSE(platform::IsMountPoint(mount));
    EXPECT_FALSE(Exists(mount));
    EXPECT_TRUE(Entries(root_ + "/.owners").empty());
    EXPECT_FALSE(Exists(folder_));
  }
  const Stamp after = StampOf(container_);
  EXPECT_TRUE(after.Bytes == before.Bytes);
  EXPECT_TRUE(after.Modified == before.Modified);
  EXPECT_TRUE(after.Changed == before.Changed);
}

TEST_F(BrowseTest, AWrongPasswordSaysSoAsOpenDoesAndMountsNothing) {
  ScriptedUi ui;
  Browse(ui, "-BROWSE", "wrong password", [](TfrmBrowse&) { ADD_FAILURE() << "browsed"; });
  ASSERT_EQ(ui.Boxes.size(), 1u) << ui.Captions();
  EXPECT_EQ(ui.Boxes[0].Caption, "Invalid password");
  EXPECT_EQ(ui.Boxes[0].Text,
            "The password you have entered is not valid for this protected folder!\rPlease try "
            "again.");
  EXPECT_EQ(ui.Boxes[0].Icon, TMsgIcon::Stop);
  EXPECT_TRUE(ui.Opened.empty());
  EXPECT_EQ(Entries(root_), std::vector<std::string>{".owners"});
  EXPECT_TRUE(Entries(root_ + "/.owners").empty());
}

// A folder in use stays mounted: the window says so and offers Detach; Close
// works again once nothing uses it, and Detach at once.
TEST_F(BrowseTest, AFolderInUseStaysUntilFreedOrDetached) {
  const std::string mount = root_ + "/Holiday photos";
  for (const bool detach : {false, true}) {
    SCOPED_TRACE(detach ? "detach" : "free it");
    ScriptedUi ui;
    Browse(ui, "-BROWSE", kPassword, [&](TfrmBrowse& browse) {
      const int held = open((mount + "/a.txt").c_str(), O_RDONLY);
      ASSERT_GE(held, 0);
      browse.btnClose.Click();
      EXPECT_TRUE(browse.Visible());
      EXPECT_TRUE(platform::IsMountPoint(mount));
      EXPECT_TRUE(browse.lblStatus.Visible);
      EXPECT_NE(browse.lblStatus.Caption.find("is still in use"), std::string::npos)
          << browse.lblStatus.Caption;
      EXPECT_TRUE(browse.btnDetach.Visible);
      EXPECT_TRUE(browse.btnDetach.Cancel);
      if (detach) {
        browse.btnDetach.Click();
        close(held);
      } else {
        close(held);
        browse.btnClose.Click();
      }
      EXPECT_FALSE(browse.Visible());
    });
    EXPECT_FALSE(platform::IsMountPoint(mount));
    EXPECT_FALSE(Exists(mount));
    EXPECT_TRUE(Entries(root_ + "/.owners").empty());
  }
}

// A name a live browse holds is skipped; the next free one is used.
TEST_F(BrowseTest, ANameTakenByALiveBrowseIsSkipped) {
  ASSERT_EQ(mkdir((root_ + "/Holiday photos").c_str(), 0700), 0);
  ASSERT_TRUE(platform::WriteOwnerRecord(root_, "Holiday photos", getpid(),
                                         platform::ProcessStartTime(getpid())));
  ScriptedUi ui;
  Browse(ui, "-BROWSE", kPassword, [&](TfrmBrowse& browse) {
    EXPECT_EQ(browse.lblBrowsing.Caption, "Holiday photos (2) is open for browsing, read-only");
    EXPECT_TRUE(platform::IsMountPoint(root_ + "/Holiday photos (2)"));
    browse.btnClose.Click();
  });
  EXPECT_FALSE(Exists(root_ + "/Holiday photos (2)"));
  EXPECT_TRUE(Exists(root_ + "/Holiday photos"));
  EXPECT_EQ(Entries(root_ + "/.owners"), std::vector<std::string>{"Holiday photos"});
}

// What a killed run left: a mount whose owner is gone (or whose process id
// now belongs to another process), an empty folder, a record without a
// folder. The next run's clean-up takes all of it; a live owner's mount
// stays.
TEST_F(BrowseTest, LeftoversOfAKilledRunAreCleanedUpAndALiveBrowseStays) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const unsigned long long ourStart = platform::ProcessStartTime(getpid());
  ASSERT_NE(ourStart, 0u);
  enum class Mount { None, Served, ServerKilled };
  struct Owner {
    const char* Name;
    pid_t Pid;
    unsigned long long Start;
    Mount Mounted;
    bool Live;
  };
  const Owner owners[] = {
      {"Dead owner", gone, 12345, Mount::Served, false},
      {"Dead server", gone, 12345, Mount::ServerKilled, false},
      {"Reused id", getpid(), ourStart + 1, Mount::Served, false},
      {"Live owner", getpid(), ourStart, Mount::Served, true},
      {"Empty", gone, 12345, Mount::None, false},
  };
  const std::string passwordFile = work_ / "password";
  std::ofstream(passwordFile) << kPassword << "\n";
  for (const Owner& owner : owners) {
    const std::string folder = root_ + "/" + owner.Name;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_TRUE(platform::WriteOwnerRecord(root_, owner.Name, owner.Pid, owner.Start));
    if (owner.Mounted == Mount::None) continue;
    const std::string mount = std::string(KORVANE_CLI) + " mount " + mounttest::Quote(container_) +
                              " " + mounttest::Quote(folder) + " --password-file " +
                              mounttest::Quote(passwordFile) + " </dev/null";
    std::string output;
    if (owner.Mounted == Mount::Served) {
      ASSERT_EQ(mounttest::RunShell(mount, &output), 0) << output;
    } else {
      // Served in the foreground by a process of ours, killed once the
      // mount is there: what is left cannot even be looked at.
      ASSERT_EQ(mounttest::RunShell(mount + " --foreground >/dev/null 2>&1 & echo $!", &output), 0);
      const pid_t server = static_cast<pid_t>(std::stol(output));
      for (int i = 0; i < 1000 && !platform::IsMountPoint(folder); ++i) usleep(10000);
      ASSERT_EQ(kill(server, SIGKILL), 0);
      struct stat info {};
      for (int i = 0; i < 1000 && stat(folder.c_str(), &info) == 0; ++i) usleep(10000);
      EXPECT_NE(stat(folder.c_str(), &info), 0);
    }
    ASSERT_TRUE(platform::IsMountPoint(folder));
  }
  ASSERT_TRUE(platform::WriteOwnerRecord(root_, "No folder", gone, 12345));
  ASSERT_EQ(mkdir((root_ + "/No record").c_str(), 0700), 0);

  const std::vector<std::string> report = platform::CleanStaleBrowseMounts(root_);
  std::string said;
  for (const std::string& line : report) said += line + "\n";
  for (const Owner& owner : owners) {
    SCOPED_TRACE(owner.Name);
    const std::string folder = root_ + "/" + owner.Name;
    EXPECT_EQ(platform::IsMountPoint(folder), owner.Live) << said;
    EXPECT_EQ(Exists(folder), owner.Live) << said;
    EXPECT_EQ(Exists(root_ + "/.owners/" + owner.Name), owner.Live) << said;
  }
  EXPECT_EQ(Entries(root_ + "/.owners"), std::vector<std::string>{"Live owner"}) << said;
  EXPECT_FALSE(Exists(root_ + "/No record"));
  EXPECT_NE(said.find("unmounted " + root_ + "/Dead owner"), std::string::npos) << said;
  // The live browse still serves its tree.
  EXPECT_EQ(Snapshot(root_ + "/Live owner"), original_);
}

}  // namespace
}  // namespace korvane
