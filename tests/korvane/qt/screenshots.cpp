// Pictures of every window with representative content, for the
// documentation: `qt_tests --screenshots DIR` (under a real X server such as
// Xvfb) writes DIR/<window name>.png.
#include <QDir>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <memory>

#include "gui_driver.h"
#include "korvane/forms/browse_form.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/files_list_form.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/request_form.h"
#include "korvane/forms/service_records.h"

namespace korvane::qttest {

namespace {

const std::string kShownFolder = "/home/alex/Photos";

// The virtual X server has no window manager, so a grab shows no title bar:
// one is drawn above the window's contents, with the window's caption.
QPixmap Framed(const QWidget& window, const QPixmap& contents) {
  if (contents.isNull()) return contents;
  const int titleHeight = window.fontMetrics().height() + 12;
  QPixmap framed(contents.width() + 2, contents.height() + titleHeight + 1);
  framed.fill(QColor(0x6b, 0x6b, 0x6b));
  QPainter painter(&framed);
  painter.fillRect(QRect(1, 1, contents.width(), titleHeight - 1), QColor(0x2f, 0x4f, 0x7f));
  painter.setPen(Qt::white);
  QFont font = window.font();
  font.setBold(true);
  painter.setFont(font);
  painter.drawText(QRect(10, 1, contents.width() - 20, titleHeight - 1),
                   Qt::AlignVCenter | Qt::AlignLeft, window.windowTitle());
  painter.drawPixmap(1, titleHeight, contents);
  return framed;
}

bool Save(QWidget& window, const QString& folder, const QString& name) {
  window.raise();
  window.activateWindow();
  if (!QTest::qWaitForWindowExposed(&window, 5000)) {
    std::fprintf(stderr, "screenshots: %s was never shown\n", qPrintable(name));
    return false;
  }
  QTest::qWait(150);
  const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
  const QPixmap picture = Framed(window, window.grab());
  if (picture.isNull() || !picture.save(path, "PNG", 9)) {
    std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

bool ShowAndSave(TestQtUi& ui, TForm& form, const QString& folder,
                 const std::function<void(FormDialog&)>& prepare = {},
                 const QString& name = QString()) {
  form.Show();
  FormDialog* dialog = ui.DialogOf(form);
  if (dialog == nullptr) return false;
  if (prepare) prepare(*dialog);
  ui.RefreshAll();
  const bool saved =
      Save(*dialog, folder, name.isEmpty() ? QString::fromStdString(form.Name) : name);
  if (form.Visible()) form.Hide();
  return saved;
}

// A container beside the folder, as the Protect window leaves it.
void ProtectQuietly(const std::string& folder, const std::string& password) {
  auto storage = NewContainerStorage(folder + "._zkvlk");
  storage->Open(1);
  WriteServiceRecords(*storage, 75, Md5Hex(password), true,
                      EncryptPasswordForRecovery(password, std::string(), BuiltInRecoveryKey()));
  storage->Close();
}

}  // namespace

int TakeScreenshots(const std::string& folderArgument) {
  const QString folder = QString::fromStdString(folderArgument);
  if (!QDir().mkpath(folder)) {
    std::fprintf(stderr, "screenshots: cannot make %s\n", folderArgument.c_str());
    return 1;
  }
  TempDir dir;
  const std::string photos = dir / "Photos";
  MakeFolder(photos);
  bool ok = true;
  {
    TestQtUi ui;
    TApplication app(ui, TestEnvironment());
    app.ParseCommandLine({"korvane", "-PROTECT", photos});
    // The pictures show a folder as a person's would be named; nothing is
    // done to it.
    app.FolderArgument = kShownFolder;
    app.CreateForms();
    ok &= ShowAndSave(ui, *app.frmProtect, folder, [](FormDialog& dialog) {
      TypeInto(dialog, "edPassword", "correct horse");
      TypeInto(dialog, "edConfirm", "correct horse");
    });
    // The copy as the storage reports it (halves of the bytes), on a clock
    // of our own: 42 % of 8.3 MB after 14 s.
    auto clock = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::hours(1));
    app.frmProgress->SetClock([clock] { return *clock; });
    app.frmProgress->Show();
    {
      vaultfs::TVaultStorage storage;
      bool stop = false;
      const std::u16string name =
          u"DATA\\2008\\summer\\a folder with a rather long name\\IMG_0042.jpg";
      app.frmProgress->VaultStorageProgress(storage, name, vaultfs::poCopyFile, 0, 4156000, true,
                                            stop);
      *clock += std::chrono::seconds(14);
      app.frmProgress->VaultStorageProgress(storage, name, vaultfs::poCopyFile, 1745520, 4156000,
                                            true, stop);
    }
    ok &= ShowAndSave(ui, *app.frmProgress, folder);
    app.frmProgress->Cancelled = true;
    app.frmFilesList->edFolder.SetText(photos);
    ok &= ShowAndSave(ui, *app.frmFilesList, folder, [&app](FormDialog&) {
      app.frmFilesList->edFolder.SetText(kShownFolder);
      std::vector<std::string>& lines = app.frmFilesList->Memo1.Lines;
      lines = {kShownFolder + "/2008/summer/IMG_0041.jpg",
               kShownFolder + "/2008/summer/IMG_0042.jpg",
               kShownFolder + "/2008/winter/IMG_0107.jpg",
               kShownFolder + "/notes.txt",
               "4 files",
               "8312 KB",
               "201733 MB free available",
               "476802 MB total"};
    });
    ok &= ShowAndSave(ui, *app.AboutForm, folder);
    TErrorDialog& error = *app.ErrorDialog;
    error.LabelError.Caption = "Storage Error: Disk full.";
    ok &= ShowAndSave(ui, error, folder);
    error.ShowDetails(app.frmHelper->ErrorReportText("Storage Error: Disk full"));
    ok &= ShowAndSave(ui, error, folder, {}, QStringLiteral("ErrorDialog-details"));
    ui.DiscardAllDialogs();
  }
  {
    ProtectQuietly(photos, "correct horse");
    TestQtUi ui;
    TApplication app(ui, TestEnvironment());
    app.ParseCommandLine({"korvane", "-OPEN", photos + "._zkvlk"});
    app.CreateForms();
    ok &= ShowAndSave(ui, *app.frmEnter, folder, [&app](FormDialog& dialog) {
      app.frmEnter->edFolder.SetText(kShownFolder);
      TypeInto(dialog, "edPassword", "secret");
    });
    app.frmEnter->Show();
    app.frmRequest->EscrowText =
        EncryptPasswordForRecovery("correct horse", std::string(), BuiltInRecoveryKey());
    ok &= ShowAndSave(ui, *app.frmRequest, folder, [&app](FormDialog&) {
      app.frmRequest->edFolder.SetText(kShownFolder);
      app.frmRequest->cbxAgree.SetChecked(true);
    });
    app.frmEnter->Hide();
    // The browse window as a running browse shows it (no mount is made here).
    ok &= ShowAndSave(ui, *app.frmBrowse, folder, [&app](FormDialog&) {
      app.frmBrowse->lblBrowsing.Caption = "Photos is open for browsing, read-only";
      app.frmBrowse->lblFolder.Caption = "/run/user/1000/korvane/Photos";
    });
    ui.DiscardAllDialogs();
  }
  {
    TestQtUi ui;
    TApplication app(ui, TestEnvironment());
    app.ParseCommandLine({"korvane"});
    app.CreateForms();
    ok &= ShowAndSave(ui, *app.frmSettings, folder);
    app.frmHelper->frmCheckUpdates = std::make_unique<TfrmCheckUpdates>(app);
    TfrmCheckUpdates& check = *app.frmHelper->frmCheckUpdates;
    check.OnCloseWarning = [](bool) {};
    ok &= ShowAndSave(
        ui, check, folder, [&check](FormDialog&) { check.BeginCheck(true); },
        QStringLiteral("frmCheckUpdates-warning"));
    ok &= ShowAndSave(
        ui, check, folder,
        [&check](FormDialog&) {
          check.wbrCheckUpdate.DocumentComplete(
              "http://update.korvane.example/update/chkver.php",
              "<html><body><h2>A new version is available</h2>"
              "<p>Korvane 0.2.0 brings faster protection of large folders.</p>"
              "<p><a href=\"http://update.korvane.example/get?maindnld=1\">Download "
              "Korvane 0.2.0</a></p></body></html>",
              {"http://update.korvane.example/get?maindnld=1"});
        },
        QStringLiteral("frmCheckUpdates"));
    ui.DiscardAllDialogs();
  }
  {
    // A message box as the Open window shows it for a wrong password.
    TestQtUi ui;
    GuiScript script;
    script.When(
        "the box", [] { return ShownBox() != nullptr; },
        [&ok, folder] {
          QMessageBox* box = ShownBox();
          ok &= Save(*box, folder, QStringLiteral("MessageBox"));
          box->accept();
        });
    ui.MessageBox("Invalid password",
                  "The password you have entered is not valid for this protected folder!\rPlease "
                  "try again.",
                  TMsgIcon::Stop, TMsgButtons::Ok);
  }
  return ok ? 0 : 1;
}

}  // namespace korvane::qttest
