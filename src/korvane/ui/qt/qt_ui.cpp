#include "korvane/ui/qt/qt_ui.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <cstdio>

#include "korvane/forms/application.h"
#include "korvane/forms/progress_form.h"
#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

namespace {

// Larger answers are no update page: the load stops there.
constexpr qint64 kMaxPageBytes = 2 * 1024 * 1024;
// Long enough for a slow server, short enough that a person waiting in
// front of "Connecting remote server..." is not left there for minutes.
constexpr int kPageTimeoutMs = 20000;
constexpr int kMaxRedirects = 3;
constexpr qint64 kEventIntervalMs = 16;

std::string EscapeHtml(const std::string& text) {
  return ModelText(
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toHtmlEscaped());
}

// What a browser shows for a server it cannot reach: a page of its own,
// with nothing on it to follow.
std::string UnreachablePage(const std::string& address, const std::string& why) {
  return "<html><head><title>Cannot reach the server</title></head><body>"
         "<h1>Cannot reach the server</h1><p>" +
         EscapeHtml(address) + "</p><p>" + EscapeHtml(why) + "</p></body></html>";
}

}  // namespace

// ---------------------------------------------------------------- application

KorvaneApplication::KorvaneApplication(int& argc, char** argv) : QApplication(argc, argv) {
  // Windows come and go during a run (the main window hides while the
  // progress window works): the program ends when the model says so.
  setQuitOnLastWindowClosed(false);
}

void KorvaneApplication::SetExceptionHandler(std::function<void(std::exception_ptr)> handler) {
  exceptionHandler_ = std::move(handler);
}

bool KorvaneApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    // An error inside the error handling itself is only reported: showing
    // it would start the same loop again.
    if (exceptionHandler_ && !handling_) {
      handling_ = true;
      exceptionHandler_(std::current_exception());
      handling_ = false;
    } else {
      std::fputs("korvane: an error occurred while an error was being shown\n", stderr);
    }
    return false;
  }
}

// ---------------------------------------------------------------- front-end

QtUi::QtUi(volatile std::sig_atomic_t* interruptFlag) : interruptFlag_(interruptFlag) {
  if (interruptFlag_ != nullptr) {
    interruptTimer_ = new QTimer;
    interruptTimer_->setInterval(100);
    QObject::connect(interruptTimer_, &QTimer::timeout, [this] { CheckInterrupt(); });
    interruptTimer_->start();
  }
  if (QCoreApplication* app = QCoreApplication::instance()) {
    quitWatch_ =
        QObject::connect(app, &QCoreApplication::aboutToQuit, [this] { quitting_ = true; });
  }
}

QtUi::~QtUi() {
  delete interruptTimer_;
  for (auto& [browser, page] : pages_) {
    delete page.Receiver;
    page.Reply->abort();
    delete page.Reply;
  }
  pages_.clear();
  delete network_;
  DiscardAllDialogs();
  QObject::disconnect(quitWatch_);
}

FormDialog* QtUi::DialogOf(const TForm& form) const {
  const auto found = dialogs_.find(&form);
  return found == dialogs_.end() ? nullptr : found->second.data();
}

FormDialog* QtUi::ShowDialog(TForm& form) {
  FormDialog* dialog = DialogOf(form);
  if (dialog == nullptr) {
    dialog = CreateFormDialog(*this, form);
    // A window shown from inside another one is modal to the application;
    // the progress window never is: it is shown while the work runs and
    // only offers Cancel.
    const bool progress = dynamic_cast<TfrmProgress*>(&form) != nullptr;
    dialog->setWindowModality(!progress && !running_.empty() ? Qt::ApplicationModal : Qt::NonModal);
    dialogs_[&form] = dialog;
  }
  if (dialog->isVisible()) {
    dialog->Refresh();
  } else {
    dialog->ShowCentred();
  }
  return dialog;
}

void QtUi::DiscardDialog(const TForm& form) {
  const auto found = dialogs_.find(&form);
  if (found == dialogs_.end()) return;
  QPointer<FormDialog> dialog = found->second;
  dialogs_.erase(found);
  if (dialog.isNull()) return;
  dialog->HideFromModel();
  // Later: this may run inside one of the dialog's own handlers.
  dialog->deleteLater();
  std::erase_if(discarded_, [](const QPointer<FormDialog>& gone) { return gone.isNull(); });
  discarded_.push_back(dialog);
}

void QtUi::DiscardAllDialogs() {
  std::vector<QPointer<FormDialog>> all = std::move(discarded_);
  discarded_.clear();
  for (auto& [form, dialog] : dialogs_) all.push_back(dialog);
  dialogs_.clear();
  for (QPointer<FormDialog>& dialog : all) {
    if (dialog.isNull()) continue;
    dialog->HideFromModel();
    delete dialog.data();
  }
}

void QtUi::RefreshAll() {
  std::vector<QPointer<FormDialog>> shown;
  for (const auto& [form, dialog] : dialogs_) shown.push_back(dialog);
  for (QPointer<FormDialog>& dialog : shown) {
    if (!dialog.isNull() && dialog->isVisible()) dialog->Refresh();
  }
}

void QtUi::RunHandler(TForm& form, const std::function<void()>& action) {
  // Taken first: the action may end the window's life.
  TApplication& app = form.App();
  try {
    action();
  } catch (...) {
    app.HandleException(std::current_exception());
  }
  RefreshAll();
}

TModalResult QtUi::MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                              TMsgButtons buttons) {
  // On the heap and watched: the window it belongs to may go while it is
  // open, and takes the box with it.
  QPointer<QMessageBox> box = new QMessageBox(ActiveWindow());
  box->setWindowModality(Qt::ApplicationModal);
  box->setWindowTitle(DisplayText(caption));
  // Paths in the texts are shown as they are, never as markup.
  box->setTextFormat(Qt::PlainText);
  box->setText(DisplayText(text));
  switch (icon) {
    case TMsgIcon::Stop:
      box->setIcon(QMessageBox::Critical);
      break;
    case TMsgIcon::Exclamation:
      box->setIcon(QMessageBox::Warning);
      break;
    case TMsgIcon::Information:
      box->setIcon(QMessageBox::Information);
      break;
    case TMsgIcon::None:
      box->setIcon(QMessageBox::NoIcon);
      break;
  }
  QPushButton* ok = box->addButton(QMessageBox::Ok);
  QPushButton* cancel = nullptr;
  if (buttons == TMsgButtons::OkCancel) cancel = box->addButton(QMessageBox::Cancel);
  box->setDefaultButton(ok);
  box->setEscapeButton(cancel != nullptr ? cancel : ok);
  box->exec();
  TModalResult result = mrCancel;
  if (!box.isNull()) {
    if (box->clickedButton() == ok) result = mrOk;
    delete box.data();
  }
  return buttons == TMsgButtons::Ok ? mrOk : result;
}

void QtUi::RunForm(TForm& form) {
  if (!form.Visible()) return;
  ShowDialog(form);
  QEventLoop loop;
  running_.push_back({&form, &loop});
  // The loop is told to end when the model hides the window; a window shown
  // again by the same handler keeps running.
  while (form.Visible() && !quitting_) loop.exec(QEventLoop::DialogExec);
  running_.pop_back();
}

void QtUi::ProcessMessages() {
  // The work asks after every block; running the events (a repaint of the
  // bar, a look for the person's click) more often than the screen shows
  // frames only slows the work down.
  if (sinceEvents_.isValid() && sinceEvents_.elapsed() < kEventIntervalMs) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  CheckInterrupt();
  sinceEvents_.restart();
}

void QtUi::FormChanged(TForm& form) {
  if (form.Visible()) {
    ShowDialog(form);
    return;
  }
  CancelNavigations(form);
  DiscardDialog(form);
  for (const RunningForm& running : running_) {
    if (running.Form == &form) running.Loop->exit();
  }
}

void QtUi::CopyToClipboard(const std::string& text) {
  // Lines end in '\n' on this desktop; a line that ends in '\r' before its
  // line break ends there.
  QString lines = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  while (lines.contains(QLatin1String("\r\n")))
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(lines);
}

bool QtUi::ShellOpen(const std::string& target) {
  const QString text = QString::fromUtf8(target.data(), static_cast<qsizetype>(target.size()));
  const QUrl url =
      target.starts_with('/') ? QUrl::fromLocalFile(text) : QUrl(text, QUrl::TolerantMode);
  return url.isValid() && QDesktopServices::openUrl(url);
}

void QtUi::Beep() {
  QApplication::beep();
}

void QtUi::Navigate(TWebBrowser& browser, const std::string& address) {
  CancelNavigation(browser);
  const QUrl url(QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size())),
                 QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || url.host().isEmpty() ||
      (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
    TForm& form = browser.Owner();
    RunHandler(form, [&browser, &address] {
      browser.DocumentComplete(address, UnreachablePage(address, "Not a web address"), {});
    });
    return;
  }
  if (network_ == nullptr) {
    network_ = new QNetworkAccessManager;
    network_->setCache(nullptr);
    network_->setCookieJar(nullptr);
  }
  QNetworkRequest request(url);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setMaximumRedirectsAllowed(kMaxRedirects);
  request.setTransferTimeout(kPageTimeoutMs);
  QNetworkReply* reply = network_->get(request);
  auto* receiver = new QObject;
  pages_[&browser] = {reply, receiver};
  QObject::connect(reply, &QNetworkReply::downloadProgress, receiver,
                   [reply](qint64 received, qint64 /*total*/) {
                     if (received > kMaxPageBytes) {
                       reply->setProperty("korvaneTooLarge", true);
                       reply->abort();
                     }
                   });
  QObject::connect(reply, &QNetworkReply::finished, receiver,
                   [this, &browser, reply] { PageArrived(browser, reply); });
}

void QtUi::PageArrived(TWebBrowser& browser, QNetworkReply* reply) {
  const auto found = pages_.find(&browser);
  if (found == pages_.end() || found->second.Reply != reply) return;
  QObject* receiver = found->second.Receiver;
  pages_.erase(found);
  receiver->deleteLater();
  reply->deleteLater();

  const std::string requested = ModelText(reply->request().url().toString(QUrl::FullyEncoded));
  const std::string answered = ModelText(reply->url().toString(QUrl::FullyEncoded));
  std::string html;
  std::vector<std::string> links;
  // Any answer of the server is its page (an error page too); no answer is
  // ours to describe.
  const bool answeredAtAll = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() &&
                             !reply->property("korvaneTooLarge").toBool();
  if (answeredAtAll) {
    const QByteArray body = reply->readAll();
    html.assign(body.constData(), static_cast<std::size_t>(body.size()));
    links = ExtractDocumentLinks(html);
  } else {
    const std::string why = reply->property("korvaneTooLarge").toBool()
                                ? std::string("The answer is too large.")
                                : ModelText(reply->errorString());
    html = UnreachablePage(requested, why);
  }
  TForm& form = browser.Owner();
  RunHandler(form, [&browser, &answered, &requested, &html, &links, answeredAtAll] {
    browser.DocumentComplete(answeredAtAll ? answered : requested, html, std::move(links));
  });
}

void QtUi::CancelNavigation(const TWebBrowser& browser) {
  const auto found = pages_.find(&browser);
  if (found == pages_.end()) return;
  PendingPage page = found->second;
  pages_.erase(found);
  delete page.Receiver;
  page.Reply->abort();
  page.Reply->deleteLater();
}

void QtUi::CancelNavigations(const TForm& form) {
  std::vector<const TWebBrowser*> browsers;
  for (const auto& [browser, page] : pages_) {
    if (&browser->Owner() == &form) browsers.push_back(browser);
  }
  for (const TWebBrowser* browser : browsers) CancelNavigation(*browser);
}

QWidget* QtUi::ActiveWindow() const {
  for (auto running = running_.rbegin(); running != running_.rend(); ++running) {
    FormDialog* dialog = DialogOf(*running->Form);
    if (dialog != nullptr && dialog->isVisible()) return dialog;
  }
  for (const auto& [form, dialog] : dialogs_) {
    if (!dialog.isNull() && dialog->isVisible()) return dialog.data();
  }
  return nullptr;
}

void QtUi::CheckInterrupt() {
  if (interruptFlag_ == nullptr || *interruptFlag_ == 0) return;
  *interruptFlag_ = 0;
  // The question in front goes first (its Cancel), then running work (the
  // progress window's Cancel), then the window in front.
  if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
    box->reject();
    return;
  }
  for (const auto& [form, dialog] : dialogs_) {
    if (dynamic_cast<const TfrmProgress*>(form) != nullptr && !dialog.isNull() &&
        dialog->isVisible()) {
      dialog->reject();
      return;
    }
  }
  if (!running_.empty()) {
    if (FormDialog* dialog = DialogOf(*running_.back().Form)) dialog->reject();
  }
}

}  // namespace korvane
