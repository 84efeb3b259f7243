#include "gui_driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>

#include "korvane/forms/recovery_escrow.h"
#include "support/app_environment.h"

namespace korvane::qttest {

// ---------------------------------------------------------------- disk

void MakeFolder(const std::string& folder) {
  testsupport::MakeKeptFolder(folder, 70000, {{"sub/\xC3\xA4rger.txt", "umlaut\n"}});
}

TEnvironment TestEnvironment(const std::string& programDir) {
  TEnvironment environment = testsupport::AppEnvironment(programDir);
  environment.Today = [] { return 46000.0; };
  environment.LanguageId = [] { return std::string("ENU"); };
  // Nothing in these tests goes online unless a test says where.
  environment.CheckUrl = [] { return std::string("http://127.0.0.1:9/update/chkver.php"); };
  // Browse mounts with the korvane-cli of this build.
  environment.BrowseTool = [] { return std::string(KORVANE_CLI); };
  return environment;
}

// ---------------------------------------------------------------- finding

FormDialog* ShownDialog(const QString& name) {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<FormDialog*>(widget);
    if (dialog != nullptr && dialog->isVisible() && dialog->objectName() == name) return dialog;
  }
  return nullptr;
}

QMessageBox* ShownBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

// ---------------------------------------------------------------- script

GuiScript::GuiScript(int stepTimeoutMs) : timer_(new QTimer), stepTimeoutMs_(stepTimeoutMs) {
  timer_->setInterval(5);
  QObject::connect(timer_, &QTimer::timeout, [this] { Tick(); });
  timer_->start();
  waiting_.start();
}

GuiScript::~GuiScript() {
  delete timer_;
}

GuiScript& GuiScript::When(std::string what, std::function<bool()> ready,
                           std::function<void()> act) {
  steps_.push_back({std::move(what), std::move(ready), std::move(act)});
  return *this;
}

GuiScript& GuiScript::WhenShown(const QString& dialog, std::function<void(FormDialog&)> act) {
  return When(
      "window " + dialog.toStdString(), [dialog] { return ShownDialog(dialog) != nullptr; },
      [dialog, act] {
        if (FormDialog* shown = ShownDialog(dialog)) act(*shown);
      });
}

GuiScript& GuiScript::AnswerBox(bool ok, std::function<void(QMessageBox&)> seen) {
  return When(
      "a message box", [] { return ShownBox() != nullptr; },
      [ok, seen] {
        QMessageBox* box = ShownBox();
        if (box == nullptr) return;
        if (seen) seen(*box);
        QAbstractButton* button = box->button(ok ? QMessageBox::Ok : QMessageBox::Cancel);
        ASSERT_NE(button, nullptr) << "the box has no " << (ok ? "OK" : "Cancel") << " button";
        QTest::mouseClick(button, Qt::LeftButton);
      });
}

void GuiScript::Tick() {
  if (timedOut_) {
    Escape();
    return;
  }
  if (acting_ || steps_.empty()) {
    waiting_.restart();
    return;
  }
  if (!steps_.front().Ready()) {
    if (waiting_.elapsed() > stepTimeoutMs_) {
      ADD_FAILURE() << "timed out waiting for " << steps_.front().What;
      timedOut_ = true;
      steps_.clear();
    }
    return;
  }
  Step step = std::move(steps_.front());
  steps_.pop_front();
  // The act runs from a timer of its own, so that this one keeps ticking
  // (and the next steps keep running) while the act blocks.
  acting_ = true;
  QTimer::singleShot(0, timer_, [this, act = std::move(step.Act)] {
    acting_ = false;
    waiting_.restart();
    act();
  });
}

void GuiScript::Escape() {
  // Whatever is open is cancelled, so the run comes to its end.
  if (QMessageBox* box = ShownBox()) {
    box->reject();
    return;
  }
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<FormDialog*>(widget);
    if (dialog != nullptr && dialog->isVisible()) {
      QTimer::singleShot(0, dialog, [dialog] { dialog->reject(); });
      return;
    }
  }
}

void TypeText(QWidget* widget, const QString& text) {
  for (const QChar ch : text) {
    if (ch.unicode() >= 0x20 && ch.unicode() < 0x7F) {
      QTest::keyClick(widget, ch.toLatin1());
    } else {
      QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, QString(ch), Qt::NoModifier);
      QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
  }
}

void TypeInto(FormDialog& dialog, const char* editName, const std::string& text) {
  auto* edit = dialog.findChild<QLineEdit*>(QString::fromLatin1(editName));
  ASSERT_NE(edit, nullptr) << editName;
  TypeText(edit, QString::fromStdString(text));
}

void ClickOn(FormDialog& dialog, const char* buttonName) {
  auto* button = dialog.findChild<QAbstractButton*>(QString::fromLatin1(buttonName));
  ASSERT_NE(button, nullptr) << buttonName;
  ASSERT_TRUE(button->isVisible() && button->isEnabled()) << buttonName;
  QTest::mouseClick(button, Qt::LeftButton);
}

}  // namespace korvane::qttest
