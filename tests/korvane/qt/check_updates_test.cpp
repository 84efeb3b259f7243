// The update windows through their dialogs: the check window loads the
// answer page from a server (a local one here) and offers its last download
// link; the settings window edits and stores the settings.
#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBrowser>
#include <QToolButton>
#include <string>
#include <vector>

#include "korvane/forms/other_forms.h"
#include "korvane/forms/update_settings.h"
#include "korvane/platform/settings_file.h"
#include "gui_driver.h"

namespace korvane::qttest {
namespace {

const QString kCheck = QStringLiteral("frmCheckUpdates");

// A web server on 127.0.0.1 that answers every request with one page and
// remembers the request lines.
class PageServer {
 public:
  explicit PageServer(QByteArray page) : page_(std::move(page)) {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
          buffer_[socket] += socket->readAll();
          const QByteArray& request = buffer_[socket];
          if (!request.contains("\r\n\r\n")) return;
          Requests.push_back(request.left(request.indexOf("\r\n")).toStdString());
          buffer_.erase(socket);
          if (Hold) {
            held_.push_back(socket);
          } else {
            Answer(socket);
          }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
      }
    });
  }
  // Answers the requests held so far.
  void Release() {
    for (QPointer<QTcpSocket>& socket : held_) {
      if (!socket.isNull()) Answer(socket.data());
    }
    held_.clear();
  }
  std::string Address() const {
    return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + "/update/chkver.php";
  }
  std::vector<std::string> Requests;
  // Requests wait for Release instead of being answered at once.
  bool Hold = false;

 private:
  void Answer(QTcpSocket* socket) {
    socket->write("HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                  QByteArray::number(page_.size()) + "\r\nConnection: close\r\n\r\n" + page_);
    socket->disconnectFromHost();
  }

  QTcpServer server_;
  QByteArray page_;
  std::map<QTcpSocket*, QByteArray> buffer_;
  std::vector<QPointer<QTcpSocket>> held_;
};

struct CheckRun {
  TestQtUi ui;
  std::unique_ptr<TApplication> app;
  explicit CheckRun(const std::string& checkUrl) {
    TEnvironment environment = TestEnvironment();
    environment.CheckUrl = [checkUrl] { return checkUrl; };
    app = std::make_unique<TApplication>(ui, environment);
    app->ParseCommandLine({"korvane", "-PROTECT", "/tmp/korvane-check-test"});
    app->CreateForms();
  }
  ~CheckRun() { ui.DiscardAllDialogs(); }
};

TEST(CheckForUpdates, TheLastDownloadLinkOfThePageIsOffered) {
  platform::SettingsFile(platform::SettingsFile::DefaultPath()).Save();  // empty settings
  PageServer server(
      "<html><body><h1>Korvane updates</h1>"
      "<p><a href=\"http://127.0.0.1/notes.html\">Release notes</a></p>"
      "<p><a href=\"http://127.0.0.1/get?maindnld=1&amp;v=1\">Older</a></p>"
      "<p><a href=\"http://127.0.0.1/get?maindnld=1&amp;v=2\">Newest</a></p>"
      "<p><img src=\"file:///dev/zero\"></p></body></html>");
  CheckRun run(server.Address());
  GuiScript script;
  script.WhenShown(kCheck, [](FormDialog& dialog) {
    // The warning first; Get Update waits for a link.
    EXPECT_TRUE(dialog.findChild<QWidget*>("pnlWarning")->isVisibleTo(&dialog));
    EXPECT_FALSE(dialog.findChild<QPushButton*>("btnGetUpdate")->isEnabled());
    EXPECT_TRUE(dialog.testAttribute(Qt::WA_WState_Visible));
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
    QTest::mouseClick(dialog.findChild<QCheckBox*>("cbxWarnCheckUpd"), Qt::LeftButton);
    ClickOn(dialog, "btnContinue");
  });
  script.When(
      "the page",
      [] {
        auto* get = WidgetOf<QPushButton>(kCheck, QStringLiteral("btnGetUpdate"));
        return get != nullptr && get->isEnabled();
      },
      [&run] {
        FormDialog* dialog = ShownDialog(kCheck);
        auto* page = dialog->findChild<QTextBrowser*>("wbrCheckUpdate");
        EXPECT_TRUE(page->toPlainText().contains(QStringLiteral("Korvane updates")));
        EXPECT_FALSE(dialog->findChild<QWidget*>("pnlMessage")->isVisibleTo(dialog));
        EXPECT_EQ(page->contextMenuPolicy(), Qt::NoContextMenu);
        EXPECT_EQ(run.app->frmHelper->frmCheckUpdates->DownloadLink,
                  "http://127.0.0.1/get?maindnld=1&v=2");
        ClickOn(*dialog, "btnGetUpdate");
        ClickOn(*dialog, "btnClose");
      });
  run.app->frmHelper->CheckForUpdates();
  EXPECT_TRUE(script.Finished());
  ASSERT_EQ(server.Requests.size(), 1u);
  EXPECT_EQ(server.Requests[0], "GET /update/chkver.php?prod=korvapp&curbuild=" +
                                    std::string(KORVANE_VERSION) + ".0&lg=ENU HTTP/1.1");
  EXPECT_EQ(run.ui.Opened,
            std::vector<std::string>{"http://127.0.0.1/get?maindnld=1&v=2&ref=korvapp"});
  // The ticked box is remembered: no warning next time.
  EXPECT_EQ(ReadRegInteger(kUpdateKey, "AutoUpdateFlag", 0), 1);
  EXPECT_EQ(ReadRegDate(kUpdateKey, "LastPoll", 0), 46000.0);
}

TEST(CheckForUpdates, AServerThatCannotBeReachedOffersNothing) {
  // A port that was just free: nobody answers there.
  quint16 port = 0;
  {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    port = probe.serverPort();
  }
  WriteRegInteger(kUpdateKey, "AutoUpdateFlag", 1);  // straight to the check
  CheckRun run("http://127.0.0.1:" + std::to_string(port) + "/update/chkver.php");
  GuiScript script;
  script.When(
      "the error page",
      [] {
        auto* page = WidgetOf<QTextBrowser>(kCheck, QStringLiteral("wbrCheckUpdate"));
        return page != nullptr && page->toPlainText().contains(QStringLiteral("Cannot reach"));
      },
      [] {
        FormDialog* dialog = ShownDialog(kCheck);
        EXPECT_FALSE(dialog->findChild<QWidget*>("pnlWarning")->isVisibleTo(dialog));
        EXPECT_FALSE(dialog->findChild<QPushButton*>("btnGetUpdate")->isEnabled());
        QTest::keyClick(dialog, Qt::Key_Escape);
      });
  run.app->frmHelper->CheckForUpdates();
  EXPECT_TRUE(script.Finished());
  EXPECT_TRUE(run.ui.Opened.empty());
}

TEST(CheckForUpdates, APageArrivingAfterTheWindowClosedReachesNothing) {
  PageServer server("<html><body><a href=\"http://127.0.0.1/get?maindnld=1\">x</a></body></html>");
  server.Hold = true;
  WriteRegInteger(kUpdateKey, "AutoUpdateFlag", 1);
  CheckRun run(server.Address());
  GuiScript script;
  script.When(
      "the request", [&server] { return !server.Requests.empty(); },
      [] {
        FormDialog* dialog = ShownDialog(kCheck);
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog->findChild<QWidget*>("pnlMessage")->isVisibleTo(dialog));
        ClickOn(*dialog, "btnClose");
      });
  run.app->frmHelper->CheckForUpdates();
  EXPECT_TRUE(script.Finished());
  // The server answers now; the closed window hears nothing of it.
  server.Release();
  QTest::qWait(300);
  TfrmCheckUpdates& check = *run.app->frmHelper->frmCheckUpdates;
  EXPECT_TRUE(check.wbrCheckUpdate.LocationUrl().empty());
  EXPECT_TRUE(check.DownloadLink.empty());
}

TEST(UpdateSettings, TheWindowEditsAndStoresTheSettings) {
  platform::SettingsFile(platform::SettingsFile::DefaultPath()).Save();
  WriteRegInteger(kUpdateKey, "PollInterval", 100);
  TestQtUi ui;
  TApplication app(ui, TestEnvironment());
  GuiScript script;
  script.AnswerBox(true, [](QMessageBox& box) {
    EXPECT_TRUE(box.text().startsWith(QStringLiteral("This program must be run")));
  });
  script.WhenShown(QStringLiteral("frmSettings"), [](FormDialog& dialog) {
    auto* interval = dialog.findChild<QLineEdit*>("edPollUpdInt");
    EXPECT_EQ(interval->text(), QStringLiteral("100"));
    EXPECT_EQ(dialog.findChild<QLineEdit*>("edLastPoll")->text(), QStringLiteral("<never>"));
    auto* arrows = dialog.findChild<QWidget*>("udPollUpdInt");
    QTest::mouseClick(arrows->findChild<QToolButton*>("Up"), Qt::LeftButton);
    EXPECT_EQ(interval->text(), QStringLiteral("100")) << "kept within 1 to 100";
    QTest::mouseClick(arrows->findChild<QToolButton*>("Down"), Qt::LeftButton);
    QTest::keyClick(interval, Qt::Key_Down);
    EXPECT_EQ(interval->text(), QStringLiteral("98"));
    QTest::mouseClick(dialog.findChild<QCheckBox*>("cbxPollUpdates"), Qt::LeftButton);
    ClickOn(dialog, "btnOk");
  });
  app.Run({"korvane"});
  EXPECT_TRUE(script.Finished());
  EXPECT_EQ(ReadRegInteger(kUpdateKey, "PollInterval", 0), 98);
  EXPECT_EQ(ReadRegInteger(kUpdateKey, "AutoPoll", 1), 0);
  ui.DiscardAllDialogs();
}

}  // namespace
}  // namespace korvane::qttest
