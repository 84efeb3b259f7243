// Help topics, the About window and the error dialog with its report.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "support/scratch.h"
#include "support/tree_builders.h"
#include "korvane/forms/application.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/request_form.h"
#include "scripted_ui.h"

namespace korvane {
namespace {

using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::ScopedHomes;
using testsupport::TempDir;
using testsupport::WriteFileAndFolders;

namespace fs = std::filesystem;
using testing::ScriptedUi;

// The Ui of the tests, with the help pages it was asked to show and the
// beeps it sounded.
class HelpUi : public ScriptedUi {
 public:
  std::vector<std::string> HelpPages;
  int Beeps = 0;
  void ShowHelpTopic(const std::string& pagePath) override { HelpPages.push_back(pagePath); }
  void Beep() override { ++Beeps; }
};

// A program installed under <prefix>/bin with its help beside it.
struct InstalledProgram {
  TempDir prefix{"korvane_help_test"};
  ScopedEnv config{"XDG_CONFIG_HOME", prefix / "config"};
  std::string help = prefix / "share/doc/korvane/help";
  InstalledProgram() {
    for (const char* page : {"index.html", "passrec.html", "license.html", "passrectou.html"}) {
      WriteFileAndFolders(help + "/" + page, "<html></html>");
    }
    fs::create_directories(prefix / "bin");
  }
  TEnvironment Environment() const {
    TEnvironment environment;
    environment.ExecutablePath = [exe = prefix / "bin/korvane"] { return exe; };
    environment.Today = [] { return 45000.0; };
    return environment;
  }
};

// ---------------------------------------------------------------- help

TEST(Help, EveryHelpRequestOpensItsTopicPage) {
  InstalledProgram program;
  struct Case {
    const char* what;
    const char* mode;
    std::function<void(TApplication&)> request;
    const char* page;
  };
  const Case cases[] = {
      {"Help of the Protect window", "-PROTECT",
       [](TApplication& app) { app.frmProtect->btnHelp.Click(); }, "index.html"},
      {"More information... of the Protect window", "-PROTECT",
       [](TApplication& app) { app.frmProtect->lbDetails.Click(); }, "passrec.html"},
      {"Help of the Open window (500)", "-OPEN",
       [](TApplication& app) { app.frmEnter->btnHelp.Click(); }, "index.html"},
      {"terms of the request window", "-OPEN",
       [](TApplication& app) { app.frmRequest->btnReadTerms.Click(); }, "passrectou.html"},
      {"licence line of About", "-OPEN",
       [](TApplication& app) { app.AboutForm->lblLicense.Click(); }, "license.html"},
      {"About (10)", "-OPEN", [](TApplication& app) { app.frmHelper->ShowHelp(10); }, "index.html"},
      {"Help of the settings window (200)", "",
       [](TApplication& app) { app.frmSettings->btnHelp.Click(); }, "index.html"},
      {"the application's help event", "",
       [](TApplication& app) {
         bool callHelp = false;
         EXPECT_TRUE(app.frmHelper->ApplicationEvents1Help(0, 110, callHelp));
       },
       "passrec.html"},
  };
  for (const Case& c : cases) {
    HelpUi ui;
    TApplication app(ui, program.Environment());
    app.ParseCommandLine({"korvane", c.mode, program.prefix / "Photos"});
    app.CreateForms();
    for (TForm* form : std::initializer_list<TForm*>{app.frmProtect.get(), app.frmEnter.get(),
                                                     app.frmRequest.get(), app.AboutForm.get(),
                                                     app.frmSettings.get()}) {
      if (form != nullptr) form->Show();
    }
    ui.Boxes.clear();
    c.request(app);
    EXPECT_EQ(ui.HelpPages, std::vector<std::string>{program.help + "/" + c.page}) << c.what;
    EXPECT_TRUE(ui.Boxes.empty()) << c.what;
  }
}

TEST(Help, WithoutHelpPagesRequestsDoNothing) {
  HelpUi ui;
  InstalledProgram program;
  TApplication app(ui, program.Environment());
  app.CreateForms();
  app.frmHelper->HelpFolder.clear();
  EXPECT_FALSE(app.frmHelper->ShowHelp(100));
  EXPECT_TRUE(ui.HelpPages.empty());
  EXPECT_TRUE(ui.Boxes.empty());
}

TEST(Help, TheShippedPagesAreCompleteAndLinkEachOther) {
  const fs::path help = fs::path(__FILE__).parent_path() / "../../../docs/help";
  std::set<std::string> pages;
  for (const int context : {100, 110, 200, 302, 500, 510, 10}) pages.insert(HelpTopicPage(context));
  EXPECT_EQ(pages, (std::set<std::string>{"index.html", "passrec.html", "license.html",
                                          "passrectou.html"}));
  for (const std::string& page : pages) {
    const std::string text = ReadFile((help / page).string());
    ASSERT_FALSE(text.empty()) << page;
    EXPECT_NE(text.find("<title>"), std::string::npos) << page;
    // Every link to a page of the help leads to one that is there.
    for (const std::string& link : ExtractDocumentLinks(text)) {
      if (link.find(':') != std::string::npos || link.empty() || link[0] == '#') continue;
      const std::string file = link.substr(0, link.find('#'));
      EXPECT_TRUE(fs::exists(help / file)) << page << " links to " << link;
    }
  }
}

// ---------------------------------------------------------------- About

TEST(About, VersionStrings) {
  struct Case {
    std::string version;
    bool ok;
    std::string two, three, four;
  };
  const Case cases[] = {
      {"2.1.45.7", true, "2.1", "2.1.45", "2.1.45.7"},
      {"0.1.0", true, "0.1", "0.1.0", "0.1.0.0"},
      {"3", true, "3.0", "3.0.0", "3.0.0.0"},
      {"65535.0.0.65535", true, "65535.0", "65535.0.0", "65535.0.0.65535"},
      {"", false, "", "", ""},
      {"1..2", false, "", "", ""},
      {"1.2.3.4.5", false, "", "", ""},
      {"1.x", false, "", "", ""},
      {"65536.1", false, "", "", ""},
      {"-1.2", false, "", "", ""},
      {"1.2.3-beta", false, "", "", ""},
  };
  for (const Case& c : cases) {
    std::string two = "keep";
    std::string three = "keep";
    std::string four = "keep";
    EXPECT_EQ(GetVersionStrings(c.version, two, three, four), c.ok) << c.version;
    EXPECT_EQ(two, c.ok ? c.two : "keep") << c.version;
    EXPECT_EQ(three, c.ok ? c.three : "keep") << c.version;
    EXPECT_EQ(four, c.ok ? c.four : "keep") << c.version;
  }
}

TEST(About, ShowsTheVersionAndOpensItsLinks) {
  ScriptedUi ui;
  TApplication app(ui);
  TAboutForm about(app);
  std::string two;
  std::string three;
  std::string four;
  ASSERT_TRUE(GetVersionStrings(KORVANE_VERSION, two, three, four));
  EXPECT_EQ(about.VersionLabel.Caption, "Version " + two + " (Build " + four + ")");
  about.ShowVersion("2.1.45.7");
  EXPECT_EQ(about.VersionLabel.Caption, "Version 2.1 (Build 2.1.45.7)");
  about.ShowVersion("not a version");
  EXPECT_EQ(about.VersionLabel.Caption, "Version 2.1 (Build 2.1.45.7)");

  ui.Scripts["AboutForm"] = [](TForm& form) {
    auto& shown = dynamic_cast<TAboutForm&>(form);
    shown.CopyrightLabel.Click();
    shown.btnOk.Click();
  };
  EXPECT_EQ(about.ShowModal(), mrOk);
  EXPECT_EQ(ui.Opened, std::vector<std::string>{about.CopyrightLabel.Hint});
  EXPECT_EQ(about.CopyrightLabel.Hint.rfind("https://", 0), 0u);
  EXPECT_FALSE(about.meProtected.Lines.empty());
}

// ---------------------------------------------------------------- errors

struct ErrorFixture : ::testing::Test {
  ScopedHomes home{"korvane_help_test"};
  HelpUi ui;
  std::string folder = home / "Photos";
  TApplication app{ui, Environment()};

  static TEnvironment Environment() {
    TEnvironment environment;
    environment.Today = [] { return 45000.0; };
    return environment;
  }
  void SetUp() override {
    app.ParseCommandLine({"korvane", "-PROTECT", folder});
    app.CreateForms();
  }
  // An error escaping a handler of the Protect window.
  void Fail(const std::string& message) {
    app.frmProtect->Perform([&] { throw std::runtime_error(message); });
  }
  std::vector<std::string> Reports() const {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(home / "state/korvane", ignored)) {
      found.push_back(entry.path().string());
    }
    return found;
  }
};

TEST_F(ErrorFixture, TheFourthErrorOffersToTerminate) {
  std::vector<bool> terminateShown;
  std::vector<std::string> labels;
  ui.Scripts["ErrorDialog"] = [&](TForm& form) {
    auto& dialog = dynamic_cast<TErrorDialog&>(form);
    terminateShown.push_back(dialog.btnTerminate.Visible);
    labels.push_back(dialog.LabelError.Caption);
    EXPECT_EQ(dialog.btnTerminate.Caption, "Terminate");
    dialog.Button2.Click();
  };
  for (int i = 1; i <= 5; ++i) Fail("Failure " + std::to_string(i));
  EXPECT_EQ(terminateShown, (std::vector<bool>{false, false, false, true, true}));
  EXPECT_EQ(labels.front(), "Failure 1.");
  EXPECT_EQ(app.ErrorCount, 5);
  EXPECT_EQ(ui.Beeps, 5);
  EXPECT_TRUE(Reports().empty()) << "Don't Send saves nothing";
  EXPECT_EQ(app.ErrorDialog->LabelError.Caption, "Failure 5.");
  EXPECT_FALSE(app.TerminateRequested);
}

TEST_F(ErrorFixture, TerminateEndsTheRunAndLeavesTheFolderAlone) {
  fs::create_directories(folder);
  WriteFileAndFolders(folder + "/keep.txt", "mine");
  ui.Scripts["ErrorDialog"] = [](TForm& form) {
    auto& dialog = dynamic_cast<TErrorDialog&>(form);
    dialog.btnTerminate.Click();  // hidden until the fourth error
    dialog.Button2.Click();
  };
  ui.Scripts["frmProtect"] = [this](TForm& form) {
    auto& protect = dynamic_cast<TfrmProtect&>(form);
    protect.edPassword.SetText("secret words");
    protect.edConfirm.SetText("secret words");
    for (int i = 0; i < 4 && protect.Visible(); ++i) Fail("Failure");
    EXPECT_FALSE(protect.Visible()) << "Terminate closes the main window";
    protect.btnProtect.Click();  // nothing: the window is gone
  };
  app.Run({"korvane", "-PROTECT", folder});
  EXPECT_TRUE(app.TerminateRequested);
  EXPECT_EQ(app.ErrorCount, 4);
  EXPECT_EQ(ReadFile(folder + "/keep.txt"), "mine");
  EXPECT_FALSE(fs::exists(folder + "._zkvlk"));
}

TEST_F(ErrorFixture, SendErrorReportSavesAPrivateReportWithoutThePassword) {
  const std::string password = "Pa55-w0rd of mine";
  app.frmProtect->Show();
  app.frmProtect->edPassword.SetText(password);
  app.frmProtect->edConfirm.SetText(password);
  std::vector<std::string> details;
  int runs = 0;
  ui.Scripts["ErrorDialog"] = [&](TForm& form) {
    auto& dialog = dynamic_cast<TErrorDialog&>(form);
    ++runs;
    if (!dialog.meDetails.Visible) {
      dialog.Button3.Click();  // Details >>: the dialog comes back with them
      return;
    }
    details = dialog.meDetails.Lines;
    EXPECT_FALSE(dialog.Button3.Enabled);
    dialog.Button1.Click();
  };
  Fail("Storage Error: The storage is corrupted");
  Fail("Storage Error: The storage is corrupted");
  EXPECT_EQ(runs, 4);

  const std::vector<std::string> reports = Reports();
  ASSERT_EQ(reports.size(), 2u) << "a second report in the same second gets a name of its own";
  ASSERT_EQ(ui.Boxes.size(), 2u);
  EXPECT_EQ(ui.Boxes[1].Caption, "Korvane");
  EXPECT_EQ(ui.Boxes[1].Text,
            "The error report was saved to " + app.frmHelper->LastErrorReport + ".");
  EXPECT_EQ(ui.Boxes[1].Icon, TMsgIcon::Information);
  const std::string& path = app.frmHelper->LastErrorReport;
  EXPECT_TRUE(std::regex_match(fs::path(path).filename().string(),
                               std::regex(R"(error-report-\d{8}-\d{6}(-2)?\.txt)")))
      << path;

  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((home / "state/korvane").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  const std::string report = ReadFile(path);
  for (const std::string& expected :
       {std::string("Error: Storage Error: The storage is corrupted"),
        std::string("Version: ") + KORVANE_VERSION, std::string("Mode: protect"),
        "Folder: " + folder, std::string("Open windows: frmProtect"), std::string("System: "),
        std::string("Time (UTC): ")}) {
    EXPECT_NE(report.find(expected), std::string::npos) << expected << "\n" << report;
  }
  EXPECT_EQ(report.find(password), std::string::npos) << report;
  std::string shown;
  for (const std::string& line : details) shown += line + "\n";
  EXPECT_EQ(shown, report) << "the details are the report";
}

TEST_F(ErrorFixture, AReportThatCannotBeSavedIsSaidSo) {
  WriteFileAndFolders(home / "state", "a file where the folder should be");
  ui.Scripts["ErrorDialog"] = [](TForm& form) {
    dynamic_cast<TErrorDialog&>(form).Button1.Click();
  };
  Fail("Failure");
  ASSERT_EQ(ui.Boxes.size(), 1u);
  EXPECT_EQ(ui.Boxes[0].Icon, TMsgIcon::Stop);
  EXPECT_EQ(ui.Boxes[0].Text.rfind("The error report could not be saved", 0), 0u)
      << ui.Boxes[0].Text;
  EXPECT_TRUE(app.frmHelper->LastErrorReport.empty());
}

TEST_F(ErrorFixture, AnErrorWhileTheErrorDialogRunsGetsADialogOfItsOwn) {
  std::vector<std::string> seen;
  ui.Scripts["ErrorDialog"] = [&](TForm& form) {
    auto& dialog = dynamic_cast<TErrorDialog&>(form);
    seen.push_back(dialog.LabelError.Caption);
    if (seen.size() == 1) {
      dialog.Perform([] { throw std::runtime_error("Inner failure"); });
      // This dialog is still the one running, whole.
      seen.push_back(dialog.LabelError.Caption);
    }
    dialog.Button2.Click();
  };
  Fail("Outer failure");
  EXPECT_EQ(seen, (std::vector<std::string>{"Outer failure.", "Inner failure.", "Outer failure."}));
  EXPECT_EQ(app.ErrorCount, 2);
}

TEST(ErrorHandling, ARunWithoutWindowsStillShowsTheError) {
  ScriptedUi ui;
  TApplication app(ui);
  std::string shown;
  ui.Scripts["ErrorDialog"] = [&](TForm& form) {
    shown = dynamic_cast<TErrorDialog&>(form).LabelError.Caption;
  };
  app.HandleException(std::make_exception_ptr(std::system_error(
      std::make_error_code(std::errc::no_space_on_device), "Cannot write \"x\"")));
  EXPECT_EQ(shown.rfind("Cannot write \"x\": ", 0), 0u) << shown;
  EXPECT_EQ(shown.back(), '.');
  EXPECT_EQ(app.ErrorCount, 1);
}

}  // namespace
}  // namespace korvane
