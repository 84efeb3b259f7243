// The windows driven the way a person drives them, through a scripted Ui:
// start-up and refusals, protecting and opening real folders, cancels and
// failures, and the recovery request.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/app_environment.h"
#include "support/scratch.h"
#include "support/tree_builders.h"
#include "korvane/forms/application.h"
#include "korvane/forms/container_layout.h"
#include "korvane/forms/container_seal.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/files_list_form.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/hardened_escrow.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/recovery_escrow.h"
#include "korvane/forms/request_form.h"
#include "korvane/forms/service_records.h"
#include "vaultfs/utf16.h"
#include "scripted_ui.h"
#include "vaultfs/vault_stream.h"

namespace korvane {
namespace {

using testsupport::Exists;
using testsupport::Pattern;
using testsupport::ReadFile;
using testsupport::Snapshot;
using testsupport::TempDir;
using testsupport::WriteFile;

using testing::ScriptedUi;

// ---------------------------------------------------------------- disk helpers

// Entries a workflow left in `parent` under a staged name.
std::vector<std::string> StagedEntries(const std::string& parent) {
  std::vector<std::string> names;
  std::vector<platform::DirEntry> entries;
  platform::EnumerateDirectory(parent, "*", entries);
  for (const auto& entry : entries) {
    if (entry.Name.find(".korvane-") != std::string::npos) names.push_back(entry.Name);
  }
  return names;
}

// A folder with what a person keeps: small and large files, nested empty
// folders, hidden and read-only entries, a link, a file named like a record.
void MakeFolder(const std::string& folder) {
  testsupport::MakeKeptFolder(folder, 1024, {{"notes.service", "mine\n"}});
  mkdir((folder + "/locked").c_str(), 0755);
  WriteFile(folder + "/locked/inside.txt", "inside\n");
  chmod((folder + "/locked").c_str(), 0555);
}

TEnvironment TestEnvironment() {
  return testsupport::AppEnvironment();
}

struct ProtectOptions {
  std::string Password = "secret password";
  std::string Confirm = "secret password";
  bool Compression = true;
  bool DontDelete = false;
  bool Recovery = true;
  bool Classic = false;
};

void ScriptProtect(ScriptedUi& ui, const ProtectOptions& options) {
  ui.Scripts["frmProtect"] = [options](TForm& form) {
    auto& protect = dynamic_cast<TfrmProtect&>(form);
    protect.edPassword.SetText(options.Password);
    protect.edConfirm.SetText(options.Confirm);
    protect.cbxCompression.SetChecked(options.Compression);
    protect.cbxDontDelete.SetChecked(options.DontDelete);
    protect.cbxEnablePassRestore.SetChecked(options.Recovery);
    protect.cbxClassic.SetChecked(options.Classic);
    protect.btnProtect.Click();
  };
}

void ScriptOpen(ScriptedUi& ui, const std::vector<std::string>& passwords) {
  ui.Scripts["frmEnter"] = [passwords](TForm& form) {
    auto& enter = dynamic_cast<TfrmEnter&>(form);
    for (const std::string& password : passwords) {
      if (!enter.Visible()) break;
      enter.edPassword.SetText(password);
      enter.btnOpen.Click();
    }
  };
}

struct AppRun {
  ScriptedUi& ui;
  TEnvironment environment = TestEnvironment();
  std::unique_ptr<TApplication> app;

  explicit AppRun(ScriptedUi& scripted) : ui(scripted) {}
  TApplication& Go(const std::vector<std::string>& args) {
    app = std::make_unique<TApplication>(ui, environment);
    EXPECT_EQ(app->Run(args), 0);
    return *app;
  }
};

std::string RecordOf(const std::string& container, const char16_t* record) {
  auto storage = NewContainerStorage(container);
  storage->SetReadOnly(true);
  storage->Open(2);
  if (!storage->FileExists(record)) return "<absent>";
  return ReadServiceRecord(*storage, record);
}

// The public record of a hardened container; nothing for a classic one.
std::optional<TPublicRecord> PublicRecordOf(const std::string& container) {
  auto probe = NewLockedContainerStorage(container);
  probe->SetReadOnly(true);
  probe->Open(2);
  return ReadPublicRecord(*probe);
}

// How to reach a container of either layout with its password.
TContainerAccess AccessOf(const std::string& container,
                          const std::string& password = "secret password") {
  const std::optional<TPublicRecord> record = PublicRecordOf(container);
  if (!record) return TContainerAccess::Classic(password);
  const std::optional<SecretBytes> master =
      OpenHardenedRecord(record->Record, PasswordBytes(password));
  if (!master) throw std::runtime_error("the password does not open " + container);
  return TContainerAccess::Hardened(DeriveSubkeys(*master));
}

std::unique_ptr<vaultfs::TVaultStorage> OpenStored(const std::string& container) {
  return AccessOf(container).OpenForReading(container);
}

// The escrow text and the size figure wherever the layout keeps them.
std::string EscrowOf(const std::string& container) {
  const std::optional<TPublicRecord> record = PublicRecordOf(container);
  if (!record) return RecordOf(container, kEscrowRecord);
  return record->EscrowText.empty() ? "<absent>" : record->EscrowText;
}
std::string SizeOf(const std::string& container) {
  const std::optional<TPublicRecord> record = PublicRecordOf(container);
  return record ? std::to_string(record->Record.SizeKB) : RecordOf(container, kSizeRecord);
}

// ---------------------------------------------------------------- start-up

TEST(StartUp, ModesFromTheCommandLine) {
  struct Case {
    std::vector<std::string> args;
    bool protect;
    bool open;
    std::string folder;
    bool browse = false;
  };
  const std::vector<Case> cases = {
      {{"k", "-protect", "/data/Photos"}, true, false, "/data/Photos"},
      {{"k", "x-PROTECTED", "/data/Photos/"}, true, false, "/data/Photos"},
      {{"k", "/PROTECT", "/data/Photos"}, false, false, ""},
      {{"k", "-PROTECT"}, false, false, ""},
      {{"k", "-Open", "/data/Photos._zkvlk", "ignored"}, false, true, "/data/Photos._zkvlk"},
      {{"k", "-OPEN-PROTECT", "/d/x"}, true, true, "/d/x"},
      {{"k", "-PROTECT", ""}, true, false, ""},
      {{"k"}, false, false, ""},
      {{"k", "-browse", "/data/Photos._zkvlk"}, false, false, "/data/Photos._zkvlk", true},
      {{"k", "-BROWSE"}, false, false, "", false},
  };
  ScriptedUi ui;
  for (const Case& c : cases) {
    TApplication app(ui, TestEnvironment());
    app.ParseCommandLine(c.args);
    EXPECT_EQ(app.ProtectMode, c.protect) << c.args[1 % c.args.size()];
    EXPECT_EQ(app.OpenMode, c.open) << c.args[1 % c.args.size()];
    EXPECT_EQ(app.BrowseMode, c.browse) << c.args[1 % c.args.size()];
    EXPECT_EQ(app.FolderArgument, c.folder);
  }
}

TEST(StartUp, WithoutAVerbTheSettingsWindowSaysHowToStart) {
  ScriptedUi ui;
  AppRun run(ui);
  TApplication& app = run.Go({"korvane", "-PROTECT"});
  ASSERT_EQ(ui.Boxes.size(), 1u);
  EXPECT_EQ(ui.Boxes[0].Caption, "Korvane");
  EXPECT_EQ(ui.Boxes[0].Text,
            "This program must be run from drop-down menu of the file manager.\rPlease refer to "
            "Korvane documentation for details.");
  EXPECT_EQ(ui.FormsRun, std::vector<std::string>{"frmSettings"});
  EXPECT_TRUE(app.frmSettings && app.frmHelper && !app.frmProtect && !app.frmEnter);
}

TEST(StartUp, RefusedFoldersShowTheirMessageAndNoWindow) {
  TempDir dir{"korvane_forms_test"};
  WriteFile(dir / "file", "x");
  struct Case {
    std::string folder;
    std::string caption;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"", "Root folder cannot be protected", "You cannot protect the root folder!"},
      {"/", "Root folder cannot be protected", "You cannot protect the root folder!"},
      {"/ab", "Root folder cannot be protected", "You cannot protect the root folder!"},
      {dir / "file", "Korvane cannot protect a file",
       "\"" + (dir / "file") + "\" is a file. Korvane only protects folders."},
      {"/usr", "System folder", "You cannot protect system folder or subfolder!"},
      {"/usr/share/doc", "System folder", "You cannot protect system folder or subfolder!"},
      {"/USR/lib", "System folder", "You cannot protect system folder or subfolder!"},
      {"/etc/", "System folder", "You cannot protect system folder or subfolder!"},
      {"/opt/korvane", "Application folder",
       "You cannot protect folder \"/opt/korvane\"\rbecause it contains Korvane application "
       "files!"},
      {"/OPT/Korvane/bin", "Application folder",
       "You cannot protect folder \"/OPT/Korvane/bin\"\rbecause it contains Korvane application "
       "files!"},
  };
  for (const Case& c : cases) {
    ScriptedUi ui;
    AppRun run(ui);
    run.Go({"korvane", "-PROTECT", c.folder});
    ASSERT_EQ(ui.Boxes.size(), 1u) << c.folder;
    EXPECT_EQ(ui.Boxes[0].Caption, c.caption) << c.folder;
    EXPECT_EQ(ui.Boxes[0].Text, c.text) << c.folder;
    EXPECT_EQ(ui.Boxes[0].Icon, TMsgIcon::Exclamation);
    EXPECT_TRUE(ui.FormsRun.empty()) << c.folder;
  }
  // Near misses are accepted.
  for (const std::string folder : {"/usr2", "/opt/korvan", "/home/me/usr", "/opt/korvane2"}) {
    ScriptedUi ui;
    TApplication app(ui, TestEnvironment());
    app.ParseCommandLine({"korvane", "-PROTECT", folder});
    app.CreateForms();
    EXPECT_FALSE(app.RejectFolder()) << folder;
    EXPECT_TRUE(ui.Boxes.empty()) << folder;
  }
}

// ---------------------------------------------------------------- protect refusals

struct ProtectFixture : ::testing::Test {
  TempDir dir{"korvane_forms_test"};
  std::string folder = dir / "Photos";
  std::string container = folder + "._zkvlk";
  ScriptedUi ui;
  AppRun run{ui};

  void SetUp() override { MakeFolder(folder); }
  TApplication& Protect(const ProtectOptions& options = {}) {
    ScriptProtect(ui, options);
    return run.Go({"korvane", "-PROTECT", folder});
  }
};

TEST_F(ProtectFixture, InputRefusalsKeepTheWindowOpen) {
  struct Case {
    std::string password;
    std::string confirm;
    std::string caption;  // empty: accepted
    TMsgIcon icon;
    bool editsEmptied;
  };
  const std::string mismatch = "Passwords don't match";
  const std::string tooShort = "Password is too short";
  const std::vector<Case> cases = {
      {"Secret", "secret", mismatch, TMsgIcon::Stop, true},
      {"abc", "abd", mismatch, TMsgIcon::Stop, true},
      {"abc", "abc", tooShort, TMsgIcon::Exclamation, false},
      {"", "", tooShort, TMsgIcon::Exclamation, false},
      {"abcd", "abcd", "", TMsgIcon::None, false},
      {"\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", "", TMsgIcon::None,
       false},
  };
  const auto before = Snapshot(folder);
  for (const Case& c : cases) {
    ScriptedUi local;
    TApplication app(local, TestEnvironment());
    app.ParseCommandLine({"korvane", "-PROTECT", folder});
    app.CreateForms();
    TfrmProtect& form = *app.frmProtect;
    form.Show();
    form.cbxDontDelete.SetChecked(true);
    form.edPassword.SetText(c.password);
    form.edConfirm.SetText(c.confirm);
    form.btnProtect.Click();
    if (c.caption.empty()) {
      EXPECT_TRUE(local.Boxes.empty()) << c.password;
      EXPECT_EQ(form.Outcome, TWorkflowOutcome::woDone);
      unlink(container.c_str());
      continue;
    }
    ASSERT_EQ(local.Boxes.size(), 1u) << c.password;
    EXPECT_EQ(local.Boxes[0].Caption, c.caption);
    EXPECT_EQ(local.Boxes[0].Icon, c.icon);
    EXPECT_TRUE(form.Visible()) << "the window stays for another try";
    EXPECT_EQ(form.edPassword.Text().empty(), c.editsEmptied || c.password.empty());
    EXPECT_EQ(form.edConfirm.Text().empty(), c.editsEmptied || c.confirm.empty());
    EXPECT_FALSE(Exists(container));
  }
  EXPECT_EQ(Snapshot(folder), before);
  ScriptedUi texts;
  TApplication app(texts, TestEnvironment());
  app.ParseCommandLine({"korvane", "-PROTECT", folder});
  app.CreateForms();
  app.frmProtect->Show();
  app.frmProtect->edPassword.SetText("abcd");
  app.frmProtect->edConfirm.SetText("abce");
  app.frmProtect->btnProtect.Click();
  app.frmProtect->edPassword.SetText("abc");
  app.frmProtect->edConfirm.SetText("abc");
  app.frmProtect->btnProtect.Click();
  ASSERT_EQ(texts.Boxes.size(), 2u);
  EXPECT_EQ(texts.Boxes[0].Text,
            "The password and confirmation password do not match.\rEnter the same text for both "
            "the password and confirmation.");
  EXPECT_EQ(texts.Boxes[1].Text,
            "Your password is too short.\rThe minimal length of the password is 4 symbols.");
}

TEST_F(ProtectFixture, FreeSpaceMustCoverTheFolderAndOneMegabyte) {
  // a.txt 1023 -> 0 KB, b.bin 1024 -> 1, c.dat 5000 -> 4, the small files 0: 5 KB.
  for (const std::uint64_t freeKB : {std::uint64_t{5 + 1024}, std::uint64_t{5 + 1023}}) {
    ScriptedUi local;
    AppRun r(local);
    r.environment.GetDiskFreeSpace = [freeKB](const std::string&, platform::DiskSpace& space) {
      space.AvailableToCaller = freeKB * 1024 + 1023;
      space.TotalFree = 777 * 1024;
      space.Total = 999 * 1024;
      return true;
    };
    ProtectOptions options;
    options.DontDelete = true;
    ScriptProtect(local, options);
    r.Go({"korvane", "-PROTECT", folder});
    if (freeKB == 5 + 1024) {
      EXPECT_TRUE(local.Boxes.empty());
      EXPECT_EQ(r.app->frmProtect->Outcome, TWorkflowOutcome::woDone);
      EXPECT_TRUE(Exists(container));
      unlink(container.c_str());
    } else {
      ASSERT_EQ(local.Boxes.size(), 1u);
      EXPECT_EQ(local.Boxes[0].Caption, "Not enough free disk space");
      EXPECT_EQ(
          local.Boxes[0].Text,
          "You have only 1028 KB available from total 777 KB free disk space.\rTo protect \"" +
              folder +
              "\" folder you need 5 KB.\rNot enough free disk space to create protected "
              "folder!\rPlease free up some disk space.");
      EXPECT_FALSE(Exists(container));
    }
  }
}

TEST_F(ProtectFixture, AnExistingContainerIsReplacedOnlyWithConsent) {
  WriteFile(container, "an older container");
  const auto before = Snapshot(folder);
  ScriptProtect(ui, {});
  ui.Answers = {mrCancel};
  TApplication& app = run.Go({"korvane", "-PROTECT", folder});
  ASSERT_EQ(ui.Boxes.size(), 1u);
  EXPECT_EQ(ui.Boxes[0].Caption, "Protected folder already exists");
  EXPECT_EQ(ui.Boxes[0].Text, "Protected folder \"" + folder +
                                  "\" already exists!\rIf you click OK it will be deleted and "
                                  "overwritten.");
  EXPECT_EQ(ui.Boxes[0].Buttons, TMsgButtons::OkCancel);
  EXPECT_FALSE(app.frmProtect->Visible());
  EXPECT_EQ(ReadFile(container), "an older container");
  EXPECT_EQ(Snapshot(folder), before);

  ScriptedUi again;
  AppRun second(again);
  ProtectOptions keep;
  keep.DontDelete = true;
  ScriptProtect(again, keep);
  again.Answers = {mrOk};
  second.Go({"korvane", "-PROTECT", folder});
  EXPECT_EQ(second.app->frmProtect->Outcome, TWorkflowOutcome::woDone);
  EXPECT_NE(ReadFile(container), "an older container");
  EXPECT_EQ(SizeOf(container), "5");
}

// ---------------------------------------------------------------- the round trip

TEST_F(ProtectFixture, ProtectThenOpenRestoresTheFolderExactly) {
  const auto before = Snapshot(folder);
  ProtectOptions classic;
  classic.Classic = true;
  TApplication& app = Protect(classic);
  EXPECT_TRUE(ui.Boxes.empty()) << ui.Captions();
  EXPECT_EQ(app.frmProtect->Outcome, TWorkflowOutcome::woDone);
  EXPECT_FALSE(Exists(folder)) << "the folder goes after a protection";
  ASSERT_TRUE(Exists(container));
  EXPECT_FALSE(Exists(folder + "/$%size%$.service"));

  EXPECT_EQ(RecordOf(container, kSizeRecord), "5");
  EXPECT_EQ(RecordOf(container, kHashRecord), Md5Hex("secret password"));
  EXPECT_EQ(RecordOf(container, kEscrowRecord).size(), 172u);
  {
    auto storage = NewContainerStorage(container);
    storage->SetReadOnly(true);
    storage->Open(2);
    EXPECT_EQ(storage->GetFileEncryption(kHashRecord), vaultfs::ecNoEncryption);
    EXPECT_EQ(storage->GetFileEncryption(u"DATA\\a.txt"), vaultfs::ecAES256_HMAC256);
    vaultfs::TVaultCompression compression{};
    std::uint32_t level = 0;
    std::uint32_t block = 0;
    storage->GetFileCompression(u"DATA\\sub\\c.dat", compression, level, block);
    EXPECT_EQ(compression, vaultfs::crZLib);
    storage->GetFileCompression(kSizeRecord, compression, level, block);
    EXPECT_EQ(compression, vaultfs::crNoCompression);
    // The folder's own *.service files are data like any other.
    EXPECT_FALSE(storage->FileExists(u"_SERVICE\\notes.service"));
    EXPECT_TRUE(storage->FileExists(u"DATA\\notes.service"));
  }

  ScriptedUi openUi;
  AppRun open(openUi);
  ScriptOpen(openUi, {"wrong password", "secret password"});
  TApplication& opened = open.Go({"korvane", "-OPEN", container});
  ASSERT_EQ(openUi.Boxes.size(), 1u) << openUi.Captions();
  EXPECT_EQ(openUi.Boxes[0].Caption, "Invalid password");
  EXPECT_EQ(openUi.Boxes[0].Text,
            "The password you have entered is not valid for this protected folder!\rPlease try "
            "again.");
  EXPECT_EQ(opened.frmEnter->Outcome, TWorkflowOutcome::woDone);
  EXPECT_EQ(Snapshot(folder), before);
  EXPECT_FALSE(Exists(container));
  EXPECT_EQ(openUi.Opened, std::vector<std::string>{folder + "/"});
  EXPECT_FALSE(Exists(folder + "/$%hash%$.service"));
}

TEST_F(ProtectFixture, OptionsDecideCompressionRecoveryAndDeletion) {
  const auto before = Snapshot(folder);
  ProtectOptions options;
  options.Compression = false;
  options.Recovery = false;
  options.DontDelete = true;
  Protect(options);
  EXPECT_EQ(Snapshot(folder), before) << "kept files stay as they were";
  EXPECT_EQ(EscrowOf(container), "<absent>");
  auto storage = OpenStored(container);
  vaultfs::TVaultCompression compression{};
  std::uint32_t level = 0;
  std::uint32_t block = 0;
  storage->GetFileCompression(u"DATA\\sub\\c.dat", compression, level, block);
  EXPECT_EQ(compression, vaultfs::crNoCompression);
}

TEST_F(ProtectFixture, AnEmptyFolderHasSizeZero) {
  const std::string empty = dir / "Empty";
  mkdir(empty.c_str(), 0755);
  ScriptProtect(ui, {});
  run.Go({"korvane", "-PROTECT", empty});
  EXPECT_EQ(SizeOf(empty + "._zkvlk"), "0");
  EXPECT_FALSE(Exists(empty));
}

// ---------------------------------------------------------------- cancel and failure

TEST_F(ProtectFixture, CancelDuringTheImportKeepsTheFolderAndDropsTheContainer) {
  WriteFile(folder + "/large.bin", Pattern(200000, 9));
  const auto before = Snapshot(folder);
  ui.OnProcessMessages = [this](int call) {
    if (call == 4) run.app->frmProgress->btnCancel.Click();
  };
  TApplication& app = Protect();
  EXPECT_EQ(app.frmProtect->Outcome, TWorkflowOutcome::woCancelled);
  EXPECT_TRUE(app.frmProgress->Cancelled);
  EXPECT_TRUE(ui.Boxes.empty());
  EXPECT_FALSE(Exists(container));
  EXPECT_EQ(Snapshot(folder), before);
}

TEST_F(ProtectFixture, CancelWhileReadingBackAlsoKeepsTheFolder) {
  const auto before = Snapshot(folder);
  ui.OnProcessMessages = [this](int) {
    if (run.app->frmProgress->OperationLine.rfind("Verifying", 0) == 0) {
      run.app->frmProgress->btnCancel.Click();
    }
  };
  TApplication& app = Protect();
  EXPECT_EQ(app.frmProtect->Outcome, TWorkflowOutcome::woCancelled);
  EXPECT_FALSE(Exists(container));
  EXPECT_EQ(Snapshot(folder), before);
}

TEST_F(ProtectFixture, AFileChangedBeforeTheReadBackFailsTheProtection) {
  bool changed = false;
  ui.OnProcessMessages = [&](int) {
    if (!changed && run.app->frmProgress->OperationLine.rfind("Verifying", 0) == 0) {
      changed = true;
      WriteFile(folder + "/b.bin", Pattern(1024, 99));
    }
  };
  const TApplication& app = Protect();
  ASSERT_TRUE(changed);
  const auto after = Snapshot(folder);
  ASSERT_EQ(ui.Boxes.size(), 1u);
  EXPECT_EQ(ui.Boxes[0].Caption, "Failed to lock");
  EXPECT_EQ(ui.Boxes[0].Text.rfind("Korvane failed to create protected folder \"" + folder +
                                       "\".\rThe protected folder does not match",
                                   0),
            0u)
      << ui.Boxes[0].Text;
  EXPECT_EQ(app.frmProtect->Outcome, TWorkflowOutcome::woFailed);
  EXPECT_FALSE(Exists(container));
  EXPECT_EQ(ReadFile(folder + "/b.bin"), Pattern(1024, 99)) << "the folder is left alone";
  EXPECT_EQ(after.size(), Snapshot(folder).size());
}

TEST_F(ProtectFixture, AnImportFailureShowsFailedToLock) {
  ASSERT_EQ(mkfifo((folder + "/sub/pipe").c_str(), 0644), 0);
  const auto before = Snapshot(folder);
  const TApplication& app = Protect();
  ASSERT_EQ(ui.Boxes.size(), 1u);
  EXPECT_EQ(ui.Boxes[0].Caption, "Failed to lock");
  EXPECT_EQ(ui.Boxes[0].Icon, TMsgIcon::Stop);
  EXPECT_NE(ui.Boxes[0].Text.find("pipe"), std::string::npos) << ui.Boxes[0].Text;
  EXPECT_EQ(app.frmProtect->Outcome, TWorkflowOutcome::woFailed);
  EXPECT_FALSE(Exists(container));
  EXPECT_EQ(Snapshot(folder), before);
}

// ---------------------------------------------------------------- open

struct OpenFixture : ProtectFixture {
  std::map<std::string, std::string> original;
  void SetUp() override {
    ProtectFixture::SetUp();
    original = Snapshot(folder);
    ScriptedUi protectUi;
    AppRun protect(protectUi);
    ProtectOptions options;
    options.Classic = Classic();
    ScriptProtect(protectUi, options);
    protect.Go({"korvane", "-PROTECT", folder});
    ASSERT_TRUE(Exists(container));
    ASSERT_FALSE(Exists(folder));
  }
  std::string ContainerBytes() const { return ReadFile(container); }
  // The layout the container is protected with.
  virtual bool Classic() const { return false; }
};

// The same with the classic layout, for what only it has: its records.
struct ClassicOpenFixture : OpenFixture {
  bool Classic() const override { return true; }
};

TEST_F(OpenFixture, FreeSpaceIsCheckedBeforeThePassword) {
  const std::string bytes = ContainerBytes();
  // The size record says 5 KB.
  for (const std::uint64_t freeKB : {std::uint64_t{5 + 1023}, std::uint64_t{5 + 1024}}) {
    ScriptedUi local;
    AppRun r(local);
    r.environment.GetDiskFreeSpace = [freeKB](const std::string&, platform::DiskSpace& space) {
      space.AvailableToCaller = freeKB * 1024;
      return true;
    };
    ScriptOpen(local, {"wrong password"});
    r.Go({"korvane", "-OPEN", container});
    ASSERT_EQ(local.Boxes.size(), 1u);
    if (freeKB == 5 + 1023) {
      EXPECT_EQ(local.Boxes[0].Caption, "Not enough free disk space");
      EXPECT_EQ(local.Boxes[0].Text,
                "Not enough free disk space to extract files from protected folder!\rPlease free "
                "up some disk space.");
    } else {
      EXPECT_EQ(local.Boxes[0].Caption, "Invalid password");
    }
    EXPECT_EQ(r.app->frmEnter->edPassword.Text(), freeKB == 5 + 1023 ? "wrong password" : "");
    EXPECT_EQ(ContainerBytes(), bytes);
    EXPECT_FALSE(Exists(folder));
  }
}

TEST_F(OpenFixture, AnExistingFolderIsReplacedOnlyWithConsent) {
  mkdir(folder.c_str(), 0755);
  WriteFile(folder + "/stranger.txt", "not from the container");
  ScriptOpen(ui, {"secret password"});
  ui.Answers = {mrCancel};
  run.Go({"korvane", "-OPEN", container});
  ASSERT_EQ(ui.Boxes.size(), 1u);
  EXPECT_EQ(ui.Boxes[0].Caption, "Folder already exists");
  EXPECT_EQ(ui.Boxes[0].Text, "Folder \"" + folder +
                                  "\" already exists!\rIf you click OK it will be deleted and "
                                  "overwritten.");
  EXPECT_EQ(ReadFile(folder + "/stranger.txt"), "not from the container");
  EXPECT_TRUE(Exists(container));

  ScriptedUi again;
  AppRun second(again);
  ScriptOpen(again, {"secret password"});
  again.Answers = {mrOk};
  second.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(second.app->frmEnter->Outcome, TWorkflowOutcome::woDone);
  EXPECT_EQ(Snapshot(folder), original);
  EXPECT_FALSE(Exists(container));
}

TEST_F(OpenFixture, CancelKeepsTheContainerAndASecondOpenRestoresEverything) {
  WriteFile(dir / "unused", "");
  ui.OnProcessMessages = [this](int call) {
    if (call == 3) run.app->frmProgress->btnCancel.Click();
  };
  ScriptOpen(ui, {"secret password"});
  run.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(run.app->frmEnter->Outcome, TWorkflowOutcome::woCancelled);
  EXPECT_TRUE(Exists(container));
  EXPECT_FALSE(Exists(folder)) << "a restore that did not finish goes again";
  EXPECT_TRUE(StagedEntries(dir.path()).empty());
  EXPECT_EQ(ui.Opened, std::vector<std::string>{folder + "/"});

  ScriptedUi again;
  AppRun second(again);
  ScriptOpen(again, {"secret password"});
  again.Answers = {mrOk};
  second.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(again.Captions(), "");
  EXPECT_EQ(Snapshot(folder), original);
  EXPECT_FALSE(Exists(container));
}

TEST_F(ClassicOpenFixture, RecordsStoredInUpperCaseAndWithoutANumberStillOpen) {
  {
    auto storage = NewContainerStorage(container);
    storage->Open(2);
    for (const auto& [record, text] : {std::pair{kHashRecord, UpperCase(Md5Hex("secret password"))},
                                       std::pair{kSizeRecord, std::string("not a number")}}) {
      vaultfs::TVaultStream stream(*storage, record, vaultfs::fmCreate);
      stream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
    }
  }
  const std::uint64_t containerKB = platform::GetFileSize64(container) / 1024;
  ScriptedUi local;
  AppRun r(local);
  r.environment.GetDiskFreeSpace = [containerKB](const std::string&, platform::DiskSpace& space) {
    space.AvailableToCaller = (containerKB + 1023) * 1024;
    return true;
  };
  ScriptOpen(local, {"secret password"});
  r.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(local.Captions(), "Not enough free disk space")
      << "the container's size stands in for a size record that is no number";

  ScriptOpen(ui, {"secret password"});
  run.Go({"korvane", "-OPEN", container});
  EXPECT_TRUE(ui.Boxes.empty()) << ui.Captions();
  EXPECT_EQ(Snapshot(folder), original);
}

TEST_F(ClassicOpenFixture, ANegativeSizeRecordNeverSkipsTheSpaceCheck) {
  {
    auto storage = NewContainerStorage(container);
    storage->Open(2);
    const std::string text = "-99999999";
    vaultfs::TVaultStream stream(*storage, kSizeRecord, vaultfs::fmCreate);
    stream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
  }
  const std::uint64_t containerKB = platform::GetFileSize64(container) / 1024;
  run.environment.GetDiskFreeSpace = [containerKB](const std::string&, platform::DiskSpace& space) {
    space.AvailableToCaller = (containerKB + 1023) * 1024;
    return true;
  };
  ScriptOpen(ui, {"secret password"});
  run.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(ui.Captions(), "Not enough free disk space");
  EXPECT_FALSE(Exists(folder));
}

TEST_F(OpenFixture, ContainersThatCannotBeOpenedWriteNothing) {
  // Not a container, and a name without the suffix (renamed in upper case).
  const std::string junk = dir / "Junk._zkvlk";
  WriteFile(junk, std::string(8192, 'x'));
  const std::string renamed = dir / "Photos._ZKVLK";
  ASSERT_EQ(rename(container.c_str(), renamed.c_str()), 0);
  const std::string renamedBytes = ReadFile(renamed);
  for (const std::string& path : {junk, renamed}) {
    ScriptedUi local;
    TApplication app(local, TestEnvironment());
    app.ParseCommandLine({"korvane", "-OPEN", path});
    app.CreateForms();
    app.frmEnter->Show();
    EXPECT_FALSE(app.frmEnter->btnOpen.Enabled) << path;
    app.frmEnter->edPassword.SetText("secret password");
    app.frmEnter->btnOpenClick();
    EXPECT_EQ(app.frmEnter->Outcome, TWorkflowOutcome::woNone);
    if (path == renamed) {
      EXPECT_EQ(local.Captions(), "Not a protected folder|Not a protected folder");
      EXPECT_EQ(local.Boxes[0].Text, "\"" + renamed +
                                         "\" is not a protected folder.\rThe name of a protected "
                                         "folder ends in \"._zkvlk\".");
    } else {
      EXPECT_TRUE(local.Boxes.empty()) << local.Captions();
    }
  }
  EXPECT_EQ(ReadFile(renamed), renamedBytes);
  EXPECT_FALSE(Exists(folder));
  EXPECT_FALSE(Exists(dir / "Junk"));
}

TEST_F(OpenFixture, AFailedExportKeepsTheContainer) {
  // A file where the folder should be: nothing can be restored into it.
  WriteFile(folder, "in the way");
  ScriptOpen(ui, {"secret password"});
  run.Go({"korvane", "-OPEN", container});
  ASSERT_EQ(ui.Boxes.size(), 1u);
  EXPECT_EQ(ui.Boxes[0].Caption, "Failed to unlock");
  EXPECT_EQ(ui.Boxes[0].Text.rfind("Korvane failed to restore folder \"" + folder + "\".\r", 0), 0u)
      << ui.Boxes[0].Text;
  EXPECT_EQ(run.app->frmEnter->Outcome, TWorkflowOutcome::woFailed);
  EXPECT_TRUE(Exists(container));
  EXPECT_EQ(ReadFile(folder), "in the way");
}

// ---------------------------------------------------------------- recovery request

TEST_F(OpenFixture, TheAccessCodeOpensTheRequestWindow) {
  std::vector<std::string> lines;
  bool copyEnabledBefore = true;
  ui.Scripts["frmRequest"] = [&](TForm& form) {
    auto& request = dynamic_cast<TfrmRequest&>(form);
    copyEnabledBefore = request.btnCopyMemo.Enabled || request.meRequest.Enabled;
    request.cbxAgree.Click();
    EXPECT_TRUE(request.btnCopyMemo.Enabled && request.meRequest.Enabled);
    request.btnCopyMemo.Click();
    request.lblEmail.Click();
    request.cbxAgree.Click();
    EXPECT_FALSE(request.btnCopyMemo.Enabled || request.meRequest.Enabled);
    lines = request.meRequest.Lines;
    EXPECT_EQ(request.edFolder.Text(), folder);
    EXPECT_EQ(request.Caption, "Request");
  };
  ui.Scripts["frmEnter"] = [](TForm& form) {
    auto& enter = dynamic_cast<TfrmEnter&>(form);
    enter.edPassword.SetText("qz%7431$");  // another letter case: an ordinary attempt
    enter.edPassword.SetText(kAccessCode);
    EXPECT_EQ(enter.edPassword.Text(), kAccessCode);
    enter.Close();
  };
  run.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(ui.FormsRun, (std::vector<std::string>{"frmEnter", "frmRequest"}));
  EXPECT_FALSE(copyEnabledBefore);
  const std::string escrow = EscrowOf(container);
  ASSERT_EQ(escrow.size(), 512u);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "Please recover lost or forgotten password to my personal Korvane Folder.\r");
  EXPECT_EQ(lines[1], "Folder password cipher text is \r");
  EXPECT_EQ(lines[2], escrow);
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[6],
            "that unauthorized data recovery may be a subject of civil or criminal liability.");
  EXPECT_NE(ui.Clipboard.find(escrow), std::string::npos);
  EXPECT_EQ(ui.Opened, std::vector<std::string>{
                           "mailto:help@example.test?subject=\"Korvane password restore\""});
  EXPECT_TRUE(ui.Boxes.empty()) << ui.Captions();
  EXPECT_TRUE(Exists(container));
}

TEST_F(ProtectFixture, TheAccessCodeWithoutRecoveryDataDoesNothingOrSaysSo) {
  ProtectOptions options;
  options.Recovery = false;
  options.Classic = true;
  Protect(options);
  ScriptedUi local;
  TApplication app(local, TestEnvironment());
  app.ParseCommandLine({"korvane", "-OPEN", container});
  app.CreateForms();
  app.frmEnter->Show();
  app.frmEnter->edPassword.SetText(kAccessCode);
  EXPECT_TRUE(local.Boxes.empty());
  EXPECT_TRUE(local.FormsRun.empty());

  // Recovery data seen at show, but the container lost its password record
  // since: the request cannot be made.
  app.frmEnter->edPassword.Clear();
  app.frmEnter->EscrowPresent = true;
  {
    auto storage = NewContainerStorage(container);
    storage->Open(2);
    storage->DeleteFile(kHashRecord);
  }
  app.frmEnter->edPassword.SetText(kAccessCode);
  ASSERT_EQ(local.Boxes.size(), 1u);
  EXPECT_EQ(local.Boxes[0].Caption, "Password cipher text not found");
  EXPECT_EQ(local.Boxes[0].Text, "Password restore data was not saved for folder \"" + folder +
                                     "\".\rIt is impossible to recover your password.");
}

TEST_F(ProtectFixture, LongPasswordsKeepTheirWholeEscrowRecord) {
  // 3000 bytes: 26 blocks, far beyond 4095 bytes of record.
  ProtectOptions options;
  options.Password = std::string(3000, 'p');
  options.Confirm = options.Password;
  options.DontDelete = true;
  options.Classic = true;
  Protect(options);
  const std::string escrow = RecordOf(container, kEscrowRecord);
  EXPECT_EQ(escrow.size(), 26u * 128 / 3 * 4 + 4);
  ScriptedUi local;
  TApplication app(local, TestEnvironment());
  app.ParseCommandLine({"korvane", "-OPEN", container});
  app.CreateForms();
  std::string hash;
  std::string read;
  std::string size;
  EXPECT_TRUE(app.frmEnter->ReadServiceRecords(hash, read, size));
  EXPECT_EQ(read, escrow);
}

// ---------------------------------------------------------------- progress and lists

TEST(ProgressWindow, ShowsTheFileAndCarriesTheCancel) {
  ScriptedUi ui;
  TApplication app(ui, TestEnvironment());
  app.ParseCommandLine({"korvane", "-PROTECT", "/data/x"});
  app.CreateForms();
  TfrmProgress& progress = *app.frmProgress;
  progress.Show();
  vaultfs::TVaultStorage sender;
  bool stop = false;
  progress.VaultStorageProgress(sender, u"DATA\\2008\\a.jpg", 6, 16384, 50000, true, stop);
  EXPECT_EQ(progress.OperationLine, "Copying file 2008\\a.jpg");
  EXPECT_EQ(progress.barProgress.Max, 50000u);
  EXPECT_EQ(progress.barProgress.Position, 16384u);
  EXPECT_FALSE(stop);
  EXPECT_EQ(ui.ProcessMessagesCalls, 1);
  progress.VaultStorageProgress(sender, u"_SERVICE\\$%size%$.service", 6, 1, 1, true, stop);
  EXPECT_EQ(progress.OperationLine, "Copying file $%size%$.service");

  progress.btnCancel.Click();
  EXPECT_TRUE(progress.Cancelled);
  EXPECT_TRUE(progress.Visible()) << "the window refuses to close";
  EXPECT_FALSE(progress.Close());
  progress.VaultStorageProgress(sender, u"DATA\\b", 6, 1, 2, true, stop);
  EXPECT_TRUE(stop);
  bool untouched = false;
  progress.VaultStorageProgress(sender, u"DATA\\b", 9, 7, 8, false, untouched);
  EXPECT_FALSE(untouched);
  EXPECT_EQ(progress.barProgress.Max, 2u) << "page reports leave the bar alone";

  progress.Hide();
  progress.Show();
  EXPECT_FALSE(progress.Cancelled) << "showing again starts afresh";
}

TEST(ProgressWindow, PathEllipsisKeepsTheFileName) {
  struct Case {
    std::string text;
    std::size_t width;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"Copying file a\\b.txt", 40, "Copying file a\\b.txt"},
      {"Copying file folder\\sub\\name.txt", 20, "Copying ...\\name.txt"},
      {"Copying file folder\\a-very-long-file-name.txt", 12, "...-name.txt"},
      {"Copying file f\\\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4.txt", 15,
       "Cop...\\\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4.txt"},
      {"abcdef", 2, ".."},
  };
  for (const Case& c : cases) EXPECT_EQ(PathEllipsis(c.text, c.width), c.expected) << c.text;
}

TEST(FilesListWindow, ListsEveryFileThenTheTotals) {
  TempDir dir{"korvane_forms_test"};
  const std::string folder = dir / "F";
  mkdir(folder.c_str(), 0755);
  ScriptedUi ui;
  TApplication app(ui, TestEnvironment());
  app.ParseCommandLine({"korvane", "-PROTECT", folder});
  app.CreateForms();
  TfrmFilesList& list = *app.frmFilesList;
  list.edFolder.SetText(folder);
  list.ShowModal();
  const std::vector<std::string> empty = {"0 files", "0 KB", "1048576 MB free available",
                                          "2097152 MB total"};
  EXPECT_EQ(list.Memo1.Lines, empty);
  mkdir((folder + "/a").c_str(), 0755);
  mkdir((folder + "/a/b").c_str(), 0755);
  WriteFile(folder + "/a/b/deep.bin", Pattern(3000, 4));
  WriteFile(folder + "/top", "x");
  app.frmProtect->Show();
  app.frmProtect->Button1Click();
  ASSERT_EQ(list.Memo1.Lines.size(), 6u);
  std::vector<std::string> paths(list.Memo1.Lines.begin(), list.Memo1.Lines.begin() + 2);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{folder + "/a/b/deep.bin", folder + "/top"}));
  EXPECT_EQ(list.Memo1.Lines[2], "2 files");
  EXPECT_EQ(list.Memo1.Lines[3], "2 KB");
}

// ---------------------------------------------------------------- hostile and unlucky input

TEST(ContainerNames, TheFolderIsThePathWithoutTheFinalSuffix) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/a/Photos._zkvlk", "/a/Photos"},
      {"/a/old._zkvlk.d/f._zkvlk", "/a/old._zkvlk.d/f"},
      {"/a/b._zkvlk._zkvlk", "/a/b._zkvlk"},
      {"/a/x._zkvlky", ""},
      {"/a/Photos._ZKVLK", ""},
      {"/a/._zkvlk", ""},
      {"/a/.._zkvlk", ""},
      {"/a/..._zkvlk", ""},
      {"._zkvlk", ""},
      {"", ""},
  };
  for (const auto& [container, folder] : cases) {
    EXPECT_EQ(ContainerPathToFolder(container), folder) << container;
    EXPECT_EQ(ContainerPathProblem(container).empty(), !folder.empty()) << container;
  }
}

TEST_F(OpenFixture, ContainerNamesWithoutAFolderOfTheirOwnWriteNothing) {
  // A real container under names whose folder would be the one holding it
  // or its parent.
  const std::string inner = dir / "inner";
  mkdir(inner.c_str(), 0755);
  WriteFile(inner + "/keep.txt", "keep");
  for (const std::string name : {"._zkvlk", "..._zkvlk", ".._zkvlk"}) {
    const std::string path = inner + "/" + name;
    WriteFile(path, ContainerBytes());
    ScriptedUi local;
    AppRun r(local);
    ScriptOpen(local, {"secret password"});
    local.Answers = {mrOk};
    r.Go({"korvane", "-OPEN", path});
    EXPECT_EQ(local.Captions(), "Not a protected folder") << name;
    EXPECT_EQ(r.app->frmEnter->Outcome, TWorkflowOutcome::woNone);
    EXPECT_EQ(ReadFile(inner + "/keep.txt"), "keep");
    EXPECT_EQ(ReadFile(path), ContainerBytes());
    unlink(path.c_str());
  }
}

TEST_F(ProtectFixture, AFileEditedAfterItsReadBackIsKeptAndReported) {
  WriteFile(folder + "/big1.bin", Pattern(300000, 5));
  WriteFile(folder + "/big2.bin", Pattern(300000, 6));
  // The first file verified is edited once the read-back has moved on.
  std::string first;
  std::string edited;
  ui.OnProcessMessages = [&](int) {
    const std::string& line = run.app->frmProgress->OperationLine;
    const std::string prefix = "Verifying file ";
    if (!edited.empty() || line.rfind(prefix, 0) != 0) return;
    const std::string name = line.substr(prefix.size());
    if (first.empty()) first = name;
    if (name != first) {
      edited = first;
      std::ofstream(folder + "/" + first, std::ios::binary | std::ios::app) << "late edit";
    }
  };
  TApplication& app = Protect();
  ASSERT_FALSE(edited.empty());
  EXPECT_EQ(app.frmProtect->Outcome, TWorkflowOutcome::woFailed);
  ASSERT_EQ(ui.Boxes.size(), 1u) << ui.Captions();
  EXPECT_EQ(ui.Boxes[0].Caption, "Folder not removed completely");
  EXPECT_NE(ui.Boxes[0].Text.find(edited), std::string::npos) << ui.Boxes[0].Text;
  const std::string kept = ReadFile(folder + "/" + edited);
  EXPECT_EQ(kept.substr(kept.size() - 9), "late edit") << "the edit survives";
  EXPECT_TRUE(Exists(container)) << "the container is complete";
  EXPECT_FALSE(Exists(folder + "/a.txt")) << "what was stored and unchanged goes";
}

TEST_F(ProtectFixture, ALinkPlantedAtTheContainersNameIsNeverWrittenThrough) {
  const std::string victim = dir / "victim";
  WriteFile(victim, "the victim's own text");
  const auto before = Snapshot(folder);
  bool planted = false;
  ui.OnProcessMessages = [&](int) {
    if (!planted && !run.app->frmProtect->Visible()) {
      planted = symlink(victim.c_str(), container.c_str()) == 0;
    }
  };
  TApplication& app = Protect();
  ASSERT_TRUE(planted);
  EXPECT_EQ(app.frmProtect->Outcome, TWorkflowOutcome::woFailed);
  ASSERT_EQ(ui.Captions(), "Failed to lock");
  EXPECT_NE(ui.Boxes[0].Text.find("appeared"), std::string::npos) << ui.Boxes[0].Text;
  EXPECT_EQ(ReadFile(victim), "the victim's own text");
  EXPECT_TRUE(platform::IsSymbolicLink(container));
  EXPECT_EQ(Snapshot(folder), before);
  EXPECT_TRUE(StagedEntries(dir.path()).empty());
}

TEST_F(ProtectFixture, LeftoversOfAKilledRunGoUnlessARunningProcessHoldsThem) {
  const std::string stale = dir / ".Photos._zkvlk.korvane-partial-abcdef";
  const std::string held = dir / ".Photos._zkvlk.korvane-partial-ghijkl";
  WriteFile(stale, "half a container");
  WriteFile(held, "being written");
  const int fd = open(held.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  Protect();
  EXPECT_FALSE(Exists(stale));
  EXPECT_TRUE(Exists(held));
  close(fd);
  EXPECT_EQ(StagedEntries(dir.path()),
            std::vector<std::string>{".Photos._zkvlk.korvane-partial-ghijkl"});
}

TEST_F(ClassicOpenFixture, AFailedRestoreKeepsTheExistingFolderAndTheContainer) {
  // The hash record says "other password"; the files are under the first.
  {
    auto storage = NewContainerStorage(container);
    storage->Open(2);
    const std::string hash = Md5Hex("other password");
    vaultfs::TVaultStream stream(*storage, kHashRecord, vaultfs::fmCreate);
    stream.WriteBuffer(hash.data(), static_cast<std::int32_t>(hash.size()));
  }
  mkdir(folder.c_str(), 0755);
  WriteFile(folder + "/newer.txt", "work done since");
  const auto existing = Snapshot(folder);
  const std::string bytes = ContainerBytes();
  ScriptOpen(ui, {"other password"});
  ui.Answers = {mrOk};
  run.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(ui.Captions(), "Folder already exists|Failed to unlock");
  EXPECT_EQ(run.app->frmEnter->Outcome, TWorkflowOutcome::woFailed);
  EXPECT_EQ(Snapshot(folder), existing);
  EXPECT_EQ(ContainerBytes(), bytes);
  EXPECT_TRUE(StagedEntries(dir.path()).empty());
}

TEST_F(OpenFixture, ADanglingLinkAtTheFoldersNameNeverRedirectsTheRestore) {
  const std::string elsewhere = dir / "elsewhere";
  ASSERT_EQ(symlink(elsewhere.c_str(), folder.c_str()), 0);
  ScriptOpen(ui, {"secret password"});
  ui.Answers = {mrOk};
  run.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(ui.Captions(), "Failed to unlock");
  EXPECT_NE(ui.Boxes[0].Text.find("is not a folder"), std::string::npos) << ui.Boxes[0].Text;
  EXPECT_FALSE(Exists(elsewhere));
  EXPECT_TRUE(platform::IsSymbolicLink(folder));
  EXPECT_TRUE(Exists(container));
}

// ---------------------------------------------------------------- the hardened layout

bool Holds(const std::string& bytes, const std::string& needle) {
  return bytes.find(needle) != std::string::npos;
}

std::string Utf16Bytes(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST_F(ProtectFixture, ANewContainerIsHardenedAndShowsNothingWithoutThePassword) {
  const auto before = Snapshot(folder);
  Protect();
  ASSERT_TRUE(Exists(container)) << ui.Captions();
  const std::string bytes = ReadFile(container);

  const std::optional<TPublicRecord> record = PublicRecordOf(container);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->Record.Kdf, kKdfFloor);
  EXPECT_EQ(record->Record.SizeKB, 5u);
  EXPECT_EQ(record->EscrowText.size(), 512u);
  std::string recovered;
  std::string error;
  EXPECT_FALSE(DecryptHardenedRecoveryText(record->EscrowText, "not a key", recovered, error));

  // No name, content or hash of the password in the file's bytes.
  for (const std::string name : {"a.txt", "c.dat", "readonly.txt", "inside.txt", "notes"}) {
    EXPECT_FALSE(Holds(bytes, name) || Holds(bytes, Utf16Bytes(name))) << name;
  }
  EXPECT_FALSE(Holds(bytes, "inside\n") || Holds(bytes, "read only\n"));
  EXPECT_FALSE(Holds(bytes, Md5Hex("secret password")));

  // The classic layout's reading, with its fixed storage password, finds
  // nothing and changes nothing: a program that knows only it cannot open.
  {
    auto classic = NewContainerStorage(container);
    classic->SetReadOnly(true);
    EXPECT_TRUE(classic->IsValidStorage());
    EXPECT_THROW(classic->Open(2), vaultfs::EVaultError);
    classic->Close();
  }
  EXPECT_EQ(ReadFile(container), bytes);
  // The Open window's own classic reading, given the same container without
  // its public record (as a reader that knows only the classic layout sees
  // it): Open stays disabled and the file stays as it was.
  {
    const std::string copy = dir / "Copy._zkvlk";
    WriteFile(copy, bytes);
    {
      auto storage = NewLockedContainerStorage(copy);
      storage->Open(2);
      storage->DeleteFileTag(kRootPath, kPublicRecordTag);
      storage->Close();
    }
    const std::string withoutRecord = ReadFile(copy);
    ScriptedUi local;
    TApplication app(local, TestEnvironment());
    app.ParseCommandLine({"korvane", "-OPEN", copy});
    app.CreateForms();
    app.frmEnter->Show();
    EXPECT_FALSE(app.frmEnter->btnOpen.Enabled);
    EXPECT_EQ(app.frmEnter->Layout, TContainerLayout::clClassic);
    app.frmEnter->edPassword.SetText("secret password");
    app.frmEnter->btnOpenClick();
    EXPECT_EQ(app.frmEnter->Outcome, TWorkflowOutcome::woNone);
    EXPECT_EQ(ReadFile(copy), withoutRecord);
    EXPECT_FALSE(Exists(dir / "Copy"));
  }

  // With the password: no classic records, the sealed list of entries.
  {
    auto storage = OpenStored(container);
    EXPECT_FALSE(storage->FileExists(kHashRecord) || storage->FileExists(kSizeRecord) ||
                 storage->FileExists(kEscrowRecord));
    EXPECT_EQ(storage->GetFileEncryption(u"DATA\\a.txt"), vaultfs::ecAES256_HMAC256);
    const SecretBytes mac =
        DeriveSubkeys(*OpenHardenedRecord(record->Record, PasswordBytes("secret password")))
            .MacKey;
    const std::optional<TManifest> manifest = ReadManifest(*storage, mac);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->size(), 12u);
    EXPECT_EQ(manifest->at("link").Kind, TSealedKind::skLink);
    EXPECT_EQ(manifest->at("empty/deeper").Kind, TSealedKind::skFolder);
  }

  // Wrong, then right: the tree comes back exactly.
  ScriptedUi openUi;
  AppRun open(openUi);
  ScriptOpen(openUi, {"wrong password", "secret password"});
  TApplication& opened = open.Go({"korvane", "-OPEN", container});
  EXPECT_EQ(openUi.Captions(), "Invalid password");
  EXPECT_EQ(opened.frmEnter->Outcome, TWorkflowOutcome::woDone);
  EXPECT_EQ(Snapshot(folder), before);
  EXPECT_FALSE(Exists(container));
}

TEST_F(ProtectFixture, APasswordTooLongForTheEscrowIsSaidAndProtectsWithoutIt) {
  ProtectOptions options;
  options.Password = std::string(3000, 'p');
  options.Confirm = options.Password;
  options.DontDelete = true;
  Protect(options);
  EXPECT_EQ(ui.Captions(), "Password recovery not possible");
  EXPECT_EQ(EscrowOf(container), "<absent>");
  ASSERT_TRUE(PublicRecordOf(container));
}

// Changes made to a hardened container by someone with its keys, through
// the engine, as an attacker who learned them (or a bug) would.
struct TamperFixture : OpenFixture {
  template <typename Change>
  void Tamper(Change change) {
    auto storage = AccessOf(container).NewStorage(container);
    storage->Open(2);
    change(*storage);
    storage->Close();
  }
  // Opens with the right password: the damage named in the box, the
  // container kept, nothing damaged under its name, the rest restored.
  void ExpectDamage(const std::vector<std::string>& damaged,
                    const std::vector<std::string>& absent) {
    ScriptOpen(ui, {"secret password"});
    run.Go({"korvane", "-OPEN", container});
    EXPECT_EQ(run.app->frmEnter->Outcome, TWorkflowOutcome::woFailed);
    ASSERT_EQ(ui.Captions(), "Failed to unlock");
    std::vector<std::string> named;
    for (const TDamage& item : run.app->frmEnter->Damage) named.push_back(item.Path);
    EXPECT_EQ(named, damaged);
    for (const std::string& path : damaged)
      EXPECT_NE(ui.Boxes[0].Text.find("\r" + path + ": "), std::string::npos) << ui.Boxes[0].Text;
    EXPECT_TRUE(Exists(container));
    auto restored = Snapshot(folder);
    auto expected = original;
    for (const std::string& path : absent) {
      EXPECT_FALSE(Exists(folder + "/" + path)) << path;
      expected.erase("/" + path);
    }
    // Folders' times move when an entry in them is missing.
    for (auto* tree : {&restored, &expected})
      for (auto it = tree->begin(); it != tree->end();)
        it = (it->first.empty() || it->first == "/sub" || it->first == "/empty") ? tree->erase(it)
                                                                                 : std::next(it);
    EXPECT_EQ(restored, expected);
  }
};

TEST_F(TamperFixture, AChangedFileIsNamedAndNeverRestored) {
  Tamper([](vaultfs::TVaultStorage& storage) {
    vaultfs::TVaultStream stream(storage, u"DATA\\b.bin", vaultfs::fmOpenReadWrite);
    stream.Seek(100, 0);
    const char byte = 'X';
    stream.WriteBuffer(&byte, 1);
  });
  ExpectDamage({"b.bin"}, {"b.bin"});
}

TEST_F(TamperFixture, ARenamedEntryIsMissingAndItsNewNameUnknown) {
  Tamper([](vaultfs::TVaultStorage& storage) {
    storage.MoveFile(u"DATA\\a.txt", u"DATA\\renamed.txt");
  });
  ExpectDamage({"a.txt", "renamed.txt"}, {"a.txt", "renamed.txt"});
}

TEST_F(TamperFixture, RemovedAndAddedEntriesAreNamed) {
  Tamper([](vaultfs::TVaultStorage& storage) {
    storage.DeleteFile(u"DATA\\sub\\c.dat");
    vaultfs::TVaultStream stream(storage, u"DATA\\planted.sh", vaultfs::fmCreate);
    stream.WriteBuffer("#!/bin/sh\n", 10);
  });
  ExpectDamage({"planted.sh", "sub/c.dat"}, {"planted.sh", "sub/c.dat"});
}

TEST_F(TamperFixture, SwappedFilesAreBothNamed) {
  Tamper([](vaultfs::TVaultStorage& storage) {
    storage.MoveFile(u"DATA\\a.txt", u"DATA\\swap");
    storage.MoveFile(u"DATA\\b.bin", u"DATA\\a.txt");
    storage.MoveFile(u"DATA\\swap", u"DATA\\b.bin");
  });
  ExpectDamage({"a.txt", "b.bin"}, {"a.txt", "b.bin"});
}

TEST_F(TamperFixture, WithoutAVerifiedListNothingIsRestored) {
  const std::string bytesBefore = ContainerBytes();
  for (const bool replace : {false, true}) {
    Tamper([replace](vaultfs::TVaultStorage& storage) {
      if (!replace) {
        storage.DeleteFile(kManifestRecord);
        return;
      }
      // A list sealed under another key.
      WriteManifest(storage, TManifest{}, GenerateMasterKey());
    });
    ScriptedUi local;
    AppRun r(local);
    ScriptOpen(local, {"secret password"});
    r.Go({"korvane", "-OPEN", container});
    EXPECT_EQ(local.Captions(), "Failed to unlock");
    EXPECT_NE(local.Boxes[0].Text.find("list of entries"), std::string::npos);
    EXPECT_FALSE(Exists(folder));
    EXPECT_TRUE(Exists(container));
  }
  EXPECT_NE(ContainerBytes(), bytesBefore);
}

TEST_F(OpenFixture, ADamagedKeyRecordIsRefusedWithItsReason) {
  const std::string bytes = ContainerBytes();
  for (const auto& [change, reason] :
       std::vector<std::pair<std::function<void(std::vector<std::uint8_t>&)>, std::string>>{
           {[](std::vector<std::uint8_t>& r) { r[8] = 9; }, "version"},
           {[](std::vector<std::uint8_t>& r) { r[17] = 0x40; }, "memory"},  // 1 TiB and more
           // Minutes of work at the floor's memory, many threads: refused
           // before any derivation (the Open button stays off).
           {[](std::vector<std::uint8_t>& r) { r[10] = 65; }, "time cost 65"},
           {[](std::vector<std::uint8_t>& r) { r[18] = 17; }, "parallelism 17"},
           {[](std::vector<std::uint8_t>& r) { r.resize(50); }, "damaged"},
       }) {
    {
      auto storage = NewLockedContainerStorage(container);
      storage->Open(2);
      bool exists = false;
      std::vector<std::uint8_t> record(
          storage->GetFileTagSize(kRootPath, kPublicRecordTag, exists));
      storage->GetFileTag(kRootPath, kPublicRecordTag, record.data(),
                          static_cast<std::uint32_t>(record.size()));
      change(record);
      storage->SetFileTag(kRootPath, kPublicRecordTag, record.data(),
                          static_cast<std::uint32_t>(record.size()));
      storage->Close();
    }
    ScriptedUi local;
    AppRun r(local);
    ScriptOpen(local, {"secret password"});
    r.Go({"korvane", "-OPEN", container});
    EXPECT_EQ(local.Captions(), "Not a protected folder") << reason;
    EXPECT_NE(local.Boxes[0].Text.find(reason), std::string::npos) << local.Boxes[0].Text;
    EXPECT_FALSE(r.app->frmEnter->btnOpen.Enabled);
    EXPECT_FALSE(Exists(folder));
    WriteFile(container, bytes);
  }
}

}  // namespace
}  // namespace korvane
