// The dialogs as a person sees them: every control of a window model has its
// widget under the control's name, the designed texts, sizes, defaults and
// masks are there, input reaches the model and the model's changes reach
// the widgets; message boxes; the progress window; help from every window.
#include <sys/stat.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <functional>
#include <string>
#include <vector>

#include "korvane/forms/enter_form.h"
#include "korvane/forms/files_list_form.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/request_form.h"
#include "korvane/ui/qt/form_dialogs.h"
#include "vaultfs/utf16.h"
#include "gui_driver.h"

namespace korvane::qttest {
namespace {

// An application whose windows exist (in protect, open or settings mode),
// shown one at a time through their models, as the workflows show them.
struct Windows {
  TestQtUi ui;
  TempDir dir;
  std::string folder = dir / "Photos";
  std::unique_ptr<TApplication> app;

  explicit Windows(const std::string& verb, const std::string& programDir = "/opt/korvane") {
    MakeFolder(folder);
    app = std::make_unique<TApplication>(ui, TestEnvironment(programDir));
    const std::string argument = verb == "-OPEN" ? folder + "._zkvlk" : folder;
    app->ParseCommandLine(verb.empty() ? std::vector<std::string>{"korvane"}
                                       : std::vector<std::string>{"korvane", verb, argument});
    app->CreateForms();
  }
  ~Windows() {
    // The dialogs go before the models they show.
    ui.DiscardAllDialogs();
  }
  FormDialog& Show(TForm& form) {
    form.Show();
    FormDialog* dialog = ui.DialogOf(form);
    EXPECT_NE(dialog, nullptr) << form.Name;
    return *dialog;
  }
};

TEST(Dialogs, EveryControlHasItsWidgetUnderItsName) {
  struct Case {
    std::string verb;
    std::function<TForm&(TApplication&)> window;
    int width;  // 0: as the layout makes it
    int height;
  };
  const std::vector<Case> cases = {
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.frmProtect; }, 0, 0},
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.frmProgress; }, 312, 130},
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.frmFilesList; }, 601, 500},
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.AboutForm; }, 0, 0},
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.ErrorDialog; }, 0, 0},
      {"-OPEN", [](TApplication& a) -> TForm& { return *a.frmEnter; }, 0, 0},
      {"-OPEN", [](TApplication& a) -> TForm& { return *a.frmRequest; }, 464, 367},
      {"", [](TApplication& a) -> TForm& { return *a.frmSettings; }, 0, 0},
  };
  for (const Case& c : cases) {
    Windows windows(c.verb);
    TForm& form = c.window(*windows.app);
    FormDialog& dialog = windows.Show(form);
    SCOPED_TRACE(form.Name);
    EXPECT_EQ(dialog.objectName().toStdString(), form.Name);
    EXPECT_EQ(dialog.windowTitle().toStdString(), form.Caption);
    for (const TControl* control : form.Controls()) {
      auto* widget = dialog.findChild<QWidget*>(QString::fromStdString(control->Name));
      ASSERT_NE(widget, nullptr) << control->Name;
      EXPECT_EQ(widget->isVisibleTo(&dialog), control->Showing()) << control->Name;
      EXPECT_EQ(widget->isEnabled(), control->Enabled) << control->Name;
      if (const auto* button = dynamic_cast<const TButton*>(control)) {
        auto* push = qobject_cast<QPushButton*>(widget);
        ASSERT_NE(push, nullptr) << control->Name;
        EXPECT_EQ(push->text().toStdString(), button->Caption);
        EXPECT_EQ(push->isDefault(), button->Default) << control->Name;
      } else if (const auto* edit = dynamic_cast<const TEdit*>(control)) {
        auto* line = qobject_cast<QLineEdit*>(widget);
        ASSERT_NE(line, nullptr) << control->Name;
        EXPECT_EQ(line->echoMode() == QLineEdit::Password, edit->Masked) << control->Name;
        EXPECT_EQ(line->isReadOnly(), edit->ReadOnly) << control->Name;
        EXPECT_EQ(line->text().toStdString(), edit->Text()) << control->Name;
      } else if (const auto* box = dynamic_cast<const TCheckBox*>(control)) {
        auto* check = qobject_cast<QCheckBox*>(widget);
        ASSERT_NE(check, nullptr) << control->Name;
        EXPECT_EQ(check->isChecked(), box->Checked()) << control->Name;
        EXPECT_EQ(check->text().toStdString(), box->Caption);
      }
    }
    if (c.width > 0) {
      // The designed size, unless the content needs more: then it grows,
      // never cuts the content off.
      const QSize needed = dialog.minimumSizeHint();
      EXPECT_EQ(dialog.width(), std::max(c.width, needed.width()));
      EXPECT_EQ(dialog.height(), std::max(c.height, needed.height()));
    }
    form.Hide();
    EXPECT_EQ(windows.ui.DialogOf(form), nullptr) << "a hidden window has no dialog";
  }
}

TEST(Dialogs, TheProtectWindowStartsAsDesigned) {
  Windows windows("-PROTECT");
  FormDialog& dialog = windows.Show(*windows.app->frmProtect);
  auto checked = [&](const char* name) {
    return dialog.findChild<QCheckBox*>(QString::fromLatin1(name))->isChecked();
  };
  EXPECT_TRUE(checked("cbxCompression"));
  EXPECT_FALSE(checked("cbxDontDelete"));
  EXPECT_TRUE(checked("cbxEnablePassRestore"));
  EXPECT_FALSE(checked("cbxClassic"));
  EXPECT_EQ(dialog.findChild<QLineEdit*>("edFolder")->text().toStdString(), windows.folder);
  EXPECT_EQ(dialog.findChild<QLineEdit*>("edPassword")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dialog.findChild<QLineEdit*>("edConfirm")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dialog.focusWidget(), dialog.findChild<QLineEdit*>("edPassword"));
  EXPECT_FALSE(dialog.findChild<QPushButton*>("Button1")->isVisibleTo(&dialog));
  auto* details = dialog.findChild<QLabel*>("lbDetails");
  EXPECT_EQ(details->textFormat(), Qt::RichText);
  EXPECT_TRUE(details->text().contains(QStringLiteral("More information...")));
  EXPECT_EQ(dialog.findChild<QLabel*>("imgLogo")->toolTip(), QStringLiteral("About..."));
  EXPECT_FALSE(dialog.findChild<QLabel*>("imgLogo")->pixmap().isNull());
}

TEST(Dialogs, InputReachesTheModelAndTheModelReachesTheWidgets) {
  Windows windows("-PROTECT");
  TfrmProtect& form = *windows.app->frmProtect;
  FormDialog& dialog = windows.Show(form);
  auto* password = dialog.findChild<QLineEdit*>("edPassword");
  TypeText(password, QStringLiteral("s\u00e9cret"));
  EXPECT_EQ(form.edPassword.Text(),
            "s\xC3\xA9"
            "cret");
  QTest::mouseClick(dialog.findChild<QCheckBox*>("cbxDontDelete"), Qt::LeftButton);
  EXPECT_TRUE(form.cbxDontDelete.Checked());

  // The program changes the model: the widgets follow after a handler and
  // on FormChanged.
  form.edPassword.Clear();
  form.btnProtect.Enabled = false;
  form.Button1.Visible = true;
  form.Caption = "Changed <b>caption</b>";
  form.cbxCompression.SetChecked(false);
  windows.ui.FormChanged(form);
  EXPECT_TRUE(password->text().isEmpty());
  EXPECT_FALSE(dialog.findChild<QPushButton*>("btnProtect")->isEnabled());
  EXPECT_TRUE(dialog.findChild<QPushButton*>("Button1")->isVisibleTo(&dialog));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Changed <b>caption</b>"));
  EXPECT_FALSE(dialog.findChild<QCheckBox*>("cbxCompression")->isChecked());

  // A disabled button does nothing when clicked.
  QTest::mouseClick(dialog.findChild<QPushButton*>("btnProtect"), Qt::LeftButton);
  EXPECT_EQ(form.Outcome, TWorkflowOutcome::woNone);
  EXPECT_TRUE(windows.ui.Boxes.empty());
}

TEST(Dialogs, TextsAreShownAsTheyAreNeverAsMarkup) {
  // A folder named like markup must read as its name, in edits, labels and
  // message boxes alike.
  Windows windows("-PROTECT");
  TErrorDialog& error = *windows.app->ErrorDialog;
  error.LabelError.Caption = "<img src=\"/dev/zero\"> & <b>bold</b>.";
  FormDialog& dialog = windows.Show(error);
  auto* label = dialog.findChild<QLabel*>("LabelError");
  EXPECT_EQ(label->textFormat(), Qt::PlainText);
  EXPECT_EQ(label->text(), QStringLiteral("<img src=\"/dev/zero\"> & <b>bold</b>."));
  // A link label keeps its caption's characters too.
  TAboutForm& about = *windows.app->AboutForm;
  about.lblLicense.Caption = "Terms & <conditions>";
  FormDialog& aboutDialog = windows.Show(about);
  auto* link = aboutDialog.findChild<QLabel*>("lblLicense");
  EXPECT_TRUE(link->text().contains(QStringLiteral("Terms &amp; &lt;conditions&gt;")));
}

TEST(MessageBoxes, CaptionTextIconButtonsAndAnswers) {
  struct Case {
    TMsgIcon icon;
    TMsgButtons buttons;
    std::string answer;  // "ok", "cancel", "escape", "close"
    QMessageBox::Icon shownIcon;
    TModalResult expected;
  };
  const std::vector<Case> cases = {
      {TMsgIcon::Stop, TMsgButtons::Ok, "ok", QMessageBox::Critical, mrOk},
      {TMsgIcon::Exclamation, TMsgButtons::Ok, "escape", QMessageBox::Warning, mrOk},
      {TMsgIcon::Information, TMsgButtons::Ok, "close", QMessageBox::Information, mrOk},
      {TMsgIcon::None, TMsgButtons::Ok, "ok", QMessageBox::NoIcon, mrOk},
      {TMsgIcon::Exclamation, TMsgButtons::OkCancel, "ok", QMessageBox::Warning, mrOk},
      {TMsgIcon::Exclamation, TMsgButtons::OkCancel, "cancel", QMessageBox::Warning, mrCancel},
      {TMsgIcon::Exclamation, TMsgButtons::OkCancel, "escape", QMessageBox::Warning, mrCancel},
      {TMsgIcon::Stop, TMsgButtons::OkCancel, "close", QMessageBox::Critical, mrCancel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer + " " + std::to_string(static_cast<int>(c.icon)));
    TestQtUi ui;
    GuiScript script;
    QMessageBox::Icon shownIcon = QMessageBox::NoIcon;
    QString title;
    QString text;
    int buttons = 0;
    script.When(
        "the box", [] { return ShownBox() != nullptr; },
        [&] {
          QMessageBox* box = ShownBox();
          shownIcon = box->icon();
          title = box->windowTitle();
          text = box->text();
          buttons = static_cast<int>(box->buttons().size());
          if (c.answer == "ok") QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
          if (c.answer == "cancel") {
            QTest::mouseClick(box->button(QMessageBox::Cancel), Qt::LeftButton);
          }
          if (c.answer == "escape") QTest::keyClick(box, Qt::Key_Escape);
          if (c.answer == "close") box->close();
        });
    const TModalResult result = ui.MessageBox("Folder <already> exists",
                                              "First line\rSecond <b>line</b>", c.icon, c.buttons);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(shownIcon, c.shownIcon);
    EXPECT_EQ(title, QStringLiteral("Folder <already> exists"));
    EXPECT_EQ(text, QStringLiteral("First line\nSecond <b>line</b>"));
    EXPECT_EQ(buttons, c.buttons == TMsgButtons::Ok ? 1 : 2);
  }
}

// ---------------------------------------------------------------- progress

TEST(ProgressWindow, LongPathsAreShortenedInTheMiddleKeepingTheName) {
  const QFont font;
  const QFontMetrics metrics(font);
  const QString name = QStringLiteral("\\holiday-photo-0042.jpg");
  const QString path = QStringLiteral("2008\\summer\\family\\a very long folder name\\more") + name;
  const int dots = metrics.horizontalAdvance(QStringLiteral("..."));
  struct Case {
    QString text;
    int width;
  };
  const std::vector<Case> cases = {
      {path, metrics.horizontalAdvance(path)},              // fits: unchanged
      {path, metrics.horizontalAdvance(path) - 1},          // one pixel short
      {path, dots + metrics.horizontalAdvance(name) + 30},  // a little of the start
      {path, dots + metrics.horizontalAdvance(name)},       // the name alone
      {path, dots + metrics.horizontalAdvance(name) / 2},   // even the name is cut
      {QStringLiteral("/home/me/") + QString(40, QChar(0x00e4)) + QStringLiteral("/f.txt"), 120},
      {QStringLiteral("\\x\\") + QString::fromUtf8("\xF0\x9F\x93\xB7") + QString(60, 'n'), 90},
  };
  for (const Case& c : cases) {
    const QString shown = ElidePathMiddle(c.text, metrics, c.width);
    SCOPED_TRACE(c.text.toStdString() + " -> " + shown.toStdString());
    EXPECT_LE(metrics.horizontalAdvance(shown), c.width);
    if (metrics.horizontalAdvance(c.text) <= c.width) {
      EXPECT_EQ(shown, c.text);
      continue;
    }
    ASSERT_TRUE(shown.contains(QStringLiteral("...")));
    const QString kept = shown.mid(shown.indexOf(QStringLiteral("...")) + 3);
    EXPECT_TRUE(c.text.endsWith(kept)) << "what follows the dots is the end of the text";
    EXPECT_TRUE(c.text.startsWith(shown.left(shown.indexOf(QStringLiteral("...")))));
    const qsizetype separator =
        std::max(c.text.lastIndexOf(QLatin1Char('\\')), c.text.lastIndexOf(QLatin1Char('/')));
    if (metrics.horizontalAdvance(QStringLiteral("...") + c.text.mid(separator)) <= c.width) {
      EXPECT_EQ(kept, c.text.mid(separator)) << "the name is kept whole";
    }
    for (const QChar ch : shown) EXPECT_FALSE(ch.isLowSurrogate() && shown.front() == ch);
    EXPECT_FALSE(kept.front().isLowSurrogate()) << "no half character";
  }
}

TEST(ProgressWindow, ShowsTheLineAndTheBarAndRefusesToClose) {
  Windows windows("-PROTECT");
  TfrmProgress& progress = *windows.app->frmProgress;
  FormDialog& dialog = windows.Show(progress);
  EXPECT_EQ(dialog.size(), QSize(312, 130)) << "the designed size holds everything";
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()) << "not resizable";
  EXPECT_EQ(dialog.windowModality(), Qt::NonModal);
  auto* line = dialog.findChild<OperationLine*>("lblText");
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->Text(), QStringLiteral("Current operation"));

  const std::string longName =
      "DATA\\2008\\summer\\a folder with a rather long name\\and another one\\IMG_0042.jpg";
  bool stop = false;
  auto handler = progress.ProgressHandler();
  vaultfs::TVaultStorage storage;
  handler(storage, vaultfs::Utf8ToUtf16(longName), 6, 3000, 12000, true, stop);
  EXPECT_FALSE(stop);
  // The container's path reads as a path of this system.
  EXPECT_EQ(line->Text().toStdString(),
            "Copying file 2008/summer/a folder with a rather long name/and another one/"
            "IMG_0042.jpg");
  EXPECT_TRUE(line->ShownText().endsWith(QStringLiteral("/IMG_0042.jpg")));
  EXPECT_LE(line->fontMetrics().horizontalAdvance(line->ShownText()), line->width());
  EXPECT_EQ(line->width(), 312 - 2 * 12);
  auto* bar = dialog.findChild<QProgressBar*>("barProgress");
  EXPECT_EQ(bar->maximum(), 12000);
  EXPECT_EQ(bar->value(), 3000);
  // Over the bar: how much of the copy is done (the storage reports halves).
  auto* figures = dialog.findChild<OperationLine*>("Label2");
  ASSERT_NE(figures, nullptr);
  EXPECT_EQ(figures->Text(), QStringLiteral("6.0 kB of 24.0 kB"));

  // However long the texts, the window keeps its size and cuts them.
  const std::string longer = "DATA\\" + std::string(40, 'x') + "\\" + std::string(300, 'y') +
                             "\\" + std::string(200, 'z') + ".jpg";
  handler(storage, vaultfs::Utf8ToUtf16(longer), 6, 6000, 12000, true, stop);
  QCoreApplication::processEvents();
  EXPECT_EQ(dialog.size(), QSize(312, 130));
  EXPECT_EQ(line->width(), 312 - 2 * 12);
  EXPECT_LE(line->fontMetrics().horizontalAdvance(line->ShownText()), line->width());
  EXPECT_LE(figures->width(), 312 - 2 * 12);

  // Totals beyond what the bar holds keep their ratio.
  handler(storage, u"DATA\\big", 6, 0xC0000000u, 0xFFFFFFFFu, true, stop);
  EXPECT_NEAR(static_cast<double>(bar->value()) / bar->maximum(), 0.75, 0.001);

  // The close box is refused; Escape is the Cancel button.
  dialog.close();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(progress.Visible());
  EXPECT_FALSE(progress.Cancelled);
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_TRUE(progress.Cancelled);
  EXPECT_TRUE(dialog.isVisible());
  handler(storage, u"DATA\\next", 6, 1, 2, true, stop);
  EXPECT_TRUE(stop);
}

// ---------------------------------------------------------------- help

TEST(Help, HelpButtonsLinksAndF1OpenTheirPages) {
  TempDir program;
  const std::string helpFolder = program / "share/doc/korvane/help";
  for (const char* folder :
       {"share", "share/doc", "share/doc/korvane", "share/doc/korvane/help", "bin"}) {
    mkdir((program / folder).c_str(), 0755);
  }
  for (const char* page : {"index.html", "passrec.html", "license.html", "passrectou.html"}) {
    WriteFile(helpFolder + "/" + page, "<html></html>");
  }
  struct Case {
    std::string verb;
    std::function<TForm&(TApplication&)> window;
    std::string action;  // a button or label name, or "F1"
    std::string page;
  };
  const std::vector<Case> cases = {
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.frmProtect; }, "btnHelp",
       "index.html"},
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.frmProtect; }, "F1", "index.html"},
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.frmProtect; }, "lbDetails",
       "passrec.html"},
      {"-PROTECT", [](TApplication& a) -> TForm& { return *a.AboutForm; }, "lblLicense",
       "license.html"},
      {"-OPEN", [](TApplication& a) -> TForm& { return *a.frmEnter; }, "btnHelp", "index.html"},
      {"-OPEN", [](TApplication& a) -> TForm& { return *a.frmEnter; }, "F1", "index.html"},
      {"-OPEN", [](TApplication& a) -> TForm& { return *a.frmRequest; }, "btnReadTerms",
       "passrectou.html"},
      {"", [](TApplication& a) -> TForm& { return *a.frmSettings; }, "btnHelp", "index.html"},
  };
  for (const Case& c : cases) {
    Windows windows(c.verb, program.path());
    TForm& form = c.window(*windows.app);
    SCOPED_TRACE(form.Name + " " + c.action);
    FormDialog& dialog = windows.Show(form);
    if (c.action == "F1") {
      // F1 from inside the password edit reaches the window.
      QTest::keyClick(dialog.findChild<QLineEdit*>("edPassword"), Qt::Key_F1);
    } else if (auto* label = dialog.findChild<QLabel*>(QString::fromStdString(c.action))) {
      emit label->linkActivated(QStringLiteral("#"));
    } else {
      ClickOn(dialog, c.action.c_str());
    }
    ASSERT_EQ(windows.ui.Opened.size(), 1u);
    EXPECT_EQ(windows.ui.Opened[0], helpFolder + "/" + c.page);
  }
}

}  // namespace
}  // namespace korvane::qttest
