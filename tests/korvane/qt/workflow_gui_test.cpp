// The workflows run through the real dialogs, as a person runs them:
// passwords typed, buttons clicked, message boxes answered, Cancel pressed
// in the progress window while the work runs; and the error front.
#include <sys/stat.h>

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "../forms/scripted_ui.h"
#include "gui_driver.h"
#include "korvane/forms/container_layout.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/request_form.h"
#include "korvane/forms/service_records.h"
#include "korvane/platform/browse_mount.h"
#include "tools/mount/mount_test_support.h"

namespace korvane::qttest {
namespace {

const QString kProtect = QStringLiteral("frmProtect");
const QString kEnter = QStringLiteral("frmEnter");

struct Records {
  std::string Layout;
  std::string Size;
  std::string Hash;
  std::string Escrow;
};

// What a container shows without its password, in either layout.
Records RecordsOf(const std::string& container) {
  auto storage = NewLockedContainerStorage(container);
  storage->SetReadOnly(true);
  storage->Open(2);
  if (const std::optional<TPublicRecord> record = ReadPublicRecord(*storage)) {
    storage->Close();
    return Records{"hardened", std::to_string(record->Record.SizeKB), "<absent>",
                   record->EscrowText.empty() ? "<absent>" : record->EscrowText};
  }
  storage->SupplyStoragePassword(u"tobel5931");
  auto read = [&](const char16_t* record) {
    return storage->FileExists(record) ? ReadServiceRecord(*storage, record) : "<absent>";
  };
  Records records{"classic", read(kSizeRecord), read(kHashRecord), read(kEscrowRecord)};
  storage->Close();
  return records;
}

// A run of the program with the desktop front-end, for one command line.
struct GuiRun {
  TestQtUi ui;
  std::unique_ptr<TApplication> app;

  int Go(const std::vector<std::string>& args) {
    app = std::make_unique<TApplication>(ui, TestEnvironment());
    const int status = app->Run(args);
    return status;
  }
  ~GuiRun() { ui.DiscardAllDialogs(); }
};

struct GuiWorkflow : ::testing::Test {
  TempDir dir;
  std::string folder = dir / "Photos";
  std::string container = folder + "._zkvlk";
  void SetUp() override { MakeFolder(folder); }
};

// The same protection through the scripted front-end korvane-cli uses.
void ProtectScripted(const std::string& folder, const std::string& password) {
  testing::ProtectScripted(folder, password, TestEnvironment());
}

TEST_F(GuiWorkflow, ProtectAndOpenRoundTripAsTheCommandLineDoes) {
  const std::string password = "correct horse \xC3\xA9";
  const auto before = Snapshot(folder);
  {
    GuiRun run;
    GuiScript script;
    script.WhenShown(kProtect, [&](FormDialog& dialog) {
      TypeInto(dialog, "edPassword", password);
      TypeInto(dialog, "edConfirm", password);
      ClickOn(dialog, "btnProtect");
    });
    EXPECT_EQ(run.Go({"korvane", "-PROTECT", folder}), 0);
    EXPECT_TRUE(script.Finished());
    EXPECT_EQ(run.app->frmProtect->Outcome, TWorkflowOutcome::woDone);
    EXPECT_TRUE(run.ui.Boxes.empty());
  }
  ASSERT_TRUE(Exists(container));
  EXPECT_FALSE(Exists(folder));
  const Records gui = RecordsOf(container);

  // The same folder protected the scripted way holds the same records.
  const std::string twin = dir / "Twin";
  MakeFolder(twin);
  ProtectScripted(twin, password);
  const Records scripted = RecordsOf(twin + "._zkvlk");
  EXPECT_EQ(gui.Layout, "hardened");
  EXPECT_EQ(gui.Layout, scripted.Layout);
  EXPECT_EQ(gui.Size, scripted.Size);
  EXPECT_EQ(gui.Hash, "<absent>");
  EXPECT_EQ(gui.Escrow.size(), scripted.Escrow.size());
  EXPECT_NE(gui.Escrow, "<absent>");

  {
    // A wrong password first: refused, the edit emptied; then the right one.
    GuiRun run;
    GuiScript script;
    script.WhenShown(kEnter, [](FormDialog& dialog) {
      TypeInto(dialog, "edPassword", "wrong password");
      ClickOn(dialog, "btnOpen");
    });
    script.AnswerBox(true);
    script.WhenShown(kEnter, [&](FormDialog& dialog) {
      EXPECT_TRUE(dialog.findChild<QLineEdit*>("edPassword")->text().isEmpty());
      TypeInto(dialog, "edPassword", password);
      QTest::keyClick(dialog.findChild<QLineEdit*>("edPassword"), Qt::Key_Return);
    });
    EXPECT_EQ(run.Go({"korvane", "-OPEN", container}), 0);
    EXPECT_TRUE(script.Finished());
    ASSERT_EQ(run.ui.Boxes.size(), 1u);
    EXPECT_EQ(run.ui.Boxes[0].Caption, "Invalid password");
    EXPECT_EQ(run.ui.Boxes[0].Icon, TMsgIcon::Stop);
    EXPECT_EQ(run.app->frmEnter->Outcome, TWorkflowOutcome::woDone);
    EXPECT_EQ(run.ui.Opened, std::vector<std::string>{folder + "/"});
  }
  EXPECT_FALSE(Exists(container));
  EXPECT_EQ(Snapshot(folder), before);

  // The scripted container opens through the windows to the same tree.
  {
    GuiRun run;
    GuiScript script;
    script.WhenShown(kEnter, [&](FormDialog& dialog) {
      TypeInto(dialog, "edPassword", password);
      ClickOn(dialog, "btnOpen");
    });
    run.Go({"korvane", "-OPEN", twin + "._zkvlk"});
    EXPECT_EQ(run.app->frmEnter->Outcome, TWorkflowOutcome::woDone);
  }
  auto twinTree = Snapshot(twin);
  auto tree = Snapshot(folder);
  ASSERT_EQ(twinTree.size(), tree.size());
  for (auto a = tree.begin(), b = twinTree.begin(); a != tree.end(); ++a, ++b) {
    EXPECT_EQ(a->first, b->first);
  }
}

// Browse through the real dialogs: the Open window started with -BROWSE
// browses on Enter; the browse window shows its exact words, and Escape
// (which is also what SIGTERM and SIGINT press) ends the browse.
TEST_F(GuiWorkflow, BrowseShowsTheFolderUntilItsWindowCloses) {
  if (const std::string missing = mounttest::WhyNoMounts(); !missing.empty())
    GTEST_SKIP() << missing;
  const auto before = Snapshot(folder);
  ProtectScripted(folder, "long enough");
  const std::string mount = platform::RuntimeDirectory() + "/korvane/Photos";
  GuiRun run;
  GuiScript script;
  script.WhenShown(kEnter, [](FormDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Korvane: Browse Folder"));
    EXPECT_TRUE(dialog.findChild<QPushButton*>("btnBrowse")->isDefault());
    TypeInto(dialog, "edPassword", "long enough");
    QTest::keyClick(dialog.findChild<QLineEdit*>("edPassword"), Qt::Key_Return);
  });
  script.WhenShown(QStringLiteral("frmBrowse"), [&](FormDialog& dialog) {
    EXPECT_EQ(dialog.findChild<QLabel*>("lblBrowsing")->text(),
              QStringLiteral("Photos is open for browsing, read-only"));
    EXPECT_TRUE(platform::IsMountPoint(mount));
    EXPECT_EQ(Snapshot(mount), before);
    QTest::keyClick(&dialog, Qt::Key_Escape);
  });
  run.Go({"korvane", "-BROWSE", container});
  EXPECT_TRUE(script.Finished());
  EXPECT_TRUE(run.ui.Boxes.empty());
  EXPECT_EQ(run.ui.Opened, std::vector<std::string>{mount});
  EXPECT_FALSE(platform::IsMountPoint(mount));
  EXPECT_FALSE(Exists(mount));
  EXPECT_TRUE(Exists(container));
}

TEST_F(GuiWorkflow, RefusedInputAndDeclinedQuestionsChangeNothing) {
  const auto before = Snapshot(folder);
  {
    // Passwords that differ: a stop box, both edits emptied, the window stays;
    // too short: a warning; then Cancel ends the run.
    GuiRun run;
    GuiScript script;
    script.WhenShown(kProtect, [](FormDialog& dialog) {
      TypeInto(dialog, "edPassword", "Secret");
      TypeInto(dialog, "edConfirm", "secret");
      ClickOn(dialog, "btnProtect");
    });
    script.AnswerBox(true, [](QMessageBox& box) {
      EXPECT_EQ(box.windowTitle(), QStringLiteral("Passwords don't match"));
      EXPECT_EQ(box.icon(), QMessageBox::Critical);
    });
    script.WhenShown(kProtect, [](FormDialog& dialog) {
      EXPECT_TRUE(dialog.findChild<QLineEdit*>("edPassword")->text().isEmpty());
      EXPECT_TRUE(dialog.findChild<QLineEdit*>("edConfirm")->text().isEmpty());
      TypeInto(dialog, "edPassword", "abc");
      TypeInto(dialog, "edConfirm", "abc");
      ClickOn(dialog, "btnProtect");
    });
    script.AnswerBox(true, [](QMessageBox& box) {
      EXPECT_EQ(box.windowTitle(), QStringLiteral("Password is too short"));
      EXPECT_EQ(box.icon(), QMessageBox::Warning);
    });
    script.WhenShown(kProtect, [](FormDialog& dialog) {
      EXPECT_EQ(dialog.findChild<QLineEdit*>("edPassword")->text(), QStringLiteral("abc"));
      QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    run.Go({"korvane", "-PROTECT", folder});
    EXPECT_TRUE(script.Finished());
    EXPECT_EQ(run.ui.Boxes.size(), 2u);
    EXPECT_EQ(run.app->frmProtect->Outcome, TWorkflowOutcome::woNone);
  }
  EXPECT_FALSE(Exists(container));
  {
    // An existing container: replaced only with consent.
    WriteFile(container, "an older container");
    GuiRun run;
    GuiScript script;
    script.WhenShown(kProtect, [](FormDialog& dialog) {
      TypeInto(dialog, "edPassword", "long enough");
      TypeInto(dialog, "edConfirm", "long enough");
      ClickOn(dialog, "btnProtect");
    });
    script.AnswerBox(false, [](QMessageBox& box) {
      EXPECT_EQ(box.windowTitle(), QStringLiteral("Protected folder already exists"));
      EXPECT_NE(box.button(QMessageBox::Cancel), nullptr);
    });
    run.Go({"korvane", "-PROTECT", folder});
    EXPECT_TRUE(script.Finished());
    EXPECT_FALSE(run.app->frmProtect->Visible());
  }
  EXPECT_EQ(Snapshot(folder), before);
  EXPECT_TRUE(Snapshot(container)[""].ends_with(" an older container"));
}

TEST_F(GuiWorkflow, CancelInTheProgressWindowWhileTheWorkRuns) {
  // Enough blocks that the work is surely still running at the click.
  const std::string big = dir / "Big";
  mkdir(big.c_str(), 0755);
  for (int i = 0; i < 24; ++i) {
    WriteFile(big + "/file" + std::to_string(i) + ".bin", Pattern(64 * 1024, i + 10));
  }
  const auto before = Snapshot(big);
  GuiRun run;
  int processed = 0;
  bool refusedClose = false;
  bool clicked = false;
  run.ui.OnProcessMessages = [&](int call) {
    processed = call;
    FormDialog* progress = ShownDialog(QStringLiteral("frmProgress"));
    if (progress == nullptr || clicked) return;
    if (call == 3) {
      // The close box is refused while the work runs.
      progress->close();
      refusedClose = progress->isVisible() && run.app->frmProgress->Visible() &&
                     !run.app->frmProgress->Cancelled;
    }
    if (call == 6) {
      clicked = true;
      ClickOn(*progress, "btnCancel");
    }
  };
  GuiScript script;
  script.WhenShown(kProtect, [](FormDialog& dialog) {
    TypeInto(dialog, "edPassword", "long enough");
    TypeInto(dialog, "edConfirm", "long enough");
    ClickOn(dialog, "btnProtect");
  });
  run.Go({"korvane", "-PROTECT", big});
  EXPECT_TRUE(script.Finished());
  EXPECT_TRUE(refusedClose);
  EXPECT_TRUE(clicked);
  EXPECT_LT(processed, 24 * 4) << "the work stopped soon after the click";
  EXPECT_EQ(run.app->frmProtect->Outcome, TWorkflowOutcome::woCancelled);
  EXPECT_TRUE(run.app->frmProgress->Cancelled);
  EXPECT_FALSE(Exists(big + "._zkvlk"));
  EXPECT_EQ(Snapshot(big), before);
}

TEST_F(GuiWorkflow, TheAccessCodeOpensTheRequestWindow) {
  ProtectScripted(folder, "forgotten password");
  GuiRun run;
  GuiScript script;
  std::string shownEscrow;
  script.WhenShown(kEnter, [](FormDialog& dialog) { TypeInto(dialog, "edPassword", kAccessCode); });
  script.WhenShown(QStringLiteral("frmRequest"), [&](FormDialog& dialog) {
    EXPECT_EQ(dialog.windowModality(), Qt::ApplicationModal);
    EXPECT_GE(dialog.width(), 464);
    EXPECT_GE(dialog.height(), 367);
    auto* memo = dialog.findChild<QPlainTextEdit*>("meRequest");
    auto* copy = dialog.findChild<QPushButton*>("btnCopyMemo");
    EXPECT_FALSE(memo->isEnabled());
    EXPECT_FALSE(copy->isEnabled());
    EXPECT_EQ(dialog.findChild<QLineEdit*>("edFolder")->text().toStdString(), folder);
    QTest::mouseClick(dialog.findChild<QCheckBox*>("cbxAgree"), Qt::LeftButton);
    EXPECT_TRUE(memo->isEnabled());
    ClickOn(dialog, "btnCopyMemo");
    emit dialog.findChild<QLabel*>("lblEmail")->linkActivated(QStringLiteral("#"));
    ClickOn(dialog, "btnCancel");
  });
  script.WhenShown(kEnter, [](FormDialog& dialog) { ClickOn(dialog, "btnCancel"); });
  run.Go({"korvane", "-OPEN", container});
  EXPECT_TRUE(script.Finished());
  const QString clipboard = QGuiApplication::clipboard()->text();
  EXPECT_TRUE(clipboard.contains(QString::fromStdString(RecordsOf(container).Escrow)));
  EXPECT_FALSE(clipboard.contains(QLatin1Char('\r')));
  EXPECT_TRUE(clipboard.startsWith(
      QStringLiteral("Please recover lost or forgotten password to my personal Korvane "
                     "Folder.\nFolder password cipher text is \n")));
  ASSERT_EQ(run.ui.Opened.size(), 1u);
  EXPECT_EQ(run.ui.Opened[0].rfind("mailto:help@example.test", 0), 0u);
  EXPECT_TRUE(Exists(container));
}

// ---------------------------------------------------------------- errors

// An object whose event handling fails the way a handler that slipped past
// the models' own error handling would.
class FailingObject : public QObject {
 protected:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw std::runtime_error("Disk on fire");
    return QObject::event(event);
  }
};

TEST(ErrorFront, AnExceptionEscapingAHandlerShowsTheErrorDialog) {
  auto* application = static_cast<KorvaneApplication*>(QCoreApplication::instance());
  TestQtUi ui;
  TApplication app(ui, TestEnvironment());
  app.ParseCommandLine({"korvane", "-PROTECT", "/tmp/x"});
  app.CreateForms();
  application->SetExceptionHandler(
      [&app](std::exception_ptr error) { app.HandleException(error); });
  GuiScript script;
  script.WhenShown(QStringLiteral("ErrorDialog"), [](FormDialog& dialog) {
    EXPECT_EQ(dialog.findChild<QLabel*>("LabelError")->text(), QStringLiteral("Disk on fire."));
    EXPECT_FALSE(dialog.findChild<QWidget*>("meDetails")->isVisibleTo(&dialog));
    ClickOn(dialog, "Button3");  // Details >>
  });
  script.WhenShown(QStringLiteral("ErrorDialog"), [](FormDialog& dialog) {
    auto* details = dialog.findChild<QPlainTextEdit*>("meDetails");
    EXPECT_TRUE(details->isVisibleTo(&dialog));
    EXPECT_TRUE(details->toPlainText().contains(QStringLiteral("Error: Disk on fire")));
    EXPECT_FALSE(dialog.findChild<QPushButton*>("Button3")->isEnabled());
    ClickOn(dialog, "Button2");  // Don't Send
  });
  FailingObject failing;
  QEvent event(QEvent::User);
  QCoreApplication::sendEvent(&failing, &event);
  application->SetExceptionHandler(nullptr);
  EXPECT_TRUE(script.Finished());
  EXPECT_EQ(app.ErrorCount, 1);
  ui.DiscardAllDialogs();
}

}  // namespace
}  // namespace korvane::qttest
