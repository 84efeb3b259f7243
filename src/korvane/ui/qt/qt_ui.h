// The desktop front-end: every window model is realised as a real dialog
// (one class per window, see form_dialogs.h), message boxes are message
// boxes, and the modal windows run in local event loops until their model
// closes them.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <csignal>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "korvane/forms/controls.h"
#include "korvane/forms/ui.h"

class QEventLoop;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace korvane {

class FormDialog;

// The application object of the desktop program. An exception that escapes
// an event handler (the window models catch their own, so this is whatever
// slipped past them) goes to the handler set here rather than ending the
// program inside the event loop.
class KorvaneApplication : public QApplication {
 public:
  KorvaneApplication(int& argc, char** argv);
  void SetExceptionHandler(std::function<void(std::exception_ptr)> handler);
  bool notify(QObject* receiver, QEvent* event) override;

 private:
  std::function<void(std::exception_ptr)> exceptionHandler_;
  bool handling_ = false;
};

class QtUi : public Ui {
 public:
  // `interruptFlag` (may be null) is set by the program's handler of
  // SIGINT, SIGTERM and SIGHUP: it is taken as Cancel of the progress
  // window or of the window in front, so that work in progress always ends
  // through its own clean-up. A QApplication must exist.
  explicit QtUi(volatile std::sig_atomic_t* interruptFlag = nullptr);
  ~QtUi() override;
  QtUi(const QtUi&) = delete;
  QtUi& operator=(const QtUi&) = delete;

  TModalResult MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                          TMsgButtons buttons) override;
  void RunForm(TForm& form) override;
  void ProcessMessages() override;
  void FormChanged(TForm& form) override;
  void CopyToClipboard(const std::string& text) override;
  bool ShellOpen(const std::string& target) override;
  void Beep() override;
  // Loads the page with the program's own network access, asynchronously
  // (the window stays responsive): never from a cache, never into a
  // history, web addresses only, at most a few MB; the page and its links
  // go to browser.DocumentComplete when they are there. A server that
  // cannot be reached gives a small page of our own without links.
  void Navigate(TWebBrowser& browser, const std::string& address) override;

  // The dialog that shows a form now; null while the form is hidden.
  FormDialog* DialogOf(const TForm& form) const;
  // Runs a person's action on a window (a click, a typed character): an
  // exception escaping it goes to the application's error handling, and
  // every shown window is redrawn from its model afterwards.
  void RunHandler(TForm& form, const std::function<void()>& action);
  // Redraws every shown window from its model.
  void RefreshAll();
  // Takes every dialog down without touching the models (the application
  // that owns them ends, or is gone already).
  void DiscardAllDialogs();

 private:
  struct PendingPage {
    QNetworkReply* Reply;
    QObject* Receiver;  // deleting it drops the reply's connections to us
  };

  struct RunningForm {
    TForm* Form;
    QEventLoop* Loop;
  };

  FormDialog* ShowDialog(TForm& form);
  void DiscardDialog(const TForm& form);
  void CheckInterrupt();
  void PageArrived(TWebBrowser& browser, QNetworkReply* reply);
  // Stops a load still on its way (the browser's window closed, or a new
  // address replaces it); nothing of it reaches the browser then.
  void CancelNavigation(const TWebBrowser& browser);
  void CancelNavigations(const TForm& form);
  // The window message boxes belong to: the innermost shown dialog.
  QWidget* ActiveWindow() const;

  volatile std::sig_atomic_t* interruptFlag_;
  QTimer* interruptTimer_ = nullptr;
  std::map<const TForm*, QPointer<FormDialog>> dialogs_;
  // Dialogs whose windows were hidden, waiting for their deferred deletion.
  std::vector<QPointer<FormDialog>> discarded_;
  std::vector<RunningForm> running_;
  bool quitting_ = false;
  QMetaObject::Connection quitWatch_;
  // When the pending events last ran from ProcessMessages.
  QElapsedTimer sinceEvents_;
  QNetworkAccessManager* network_ = nullptr;
  std::map<const TWebBrowser*, PendingPage> pages_;
};

}  // namespace korvane
