#include "gui_driver.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "korvane/forms/recovery_escrow.h"

namespace korvane::qttest {

// ---------------------------------------------------------------- disk

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::string Pattern(std::size_t size, unsigned seed) {
  std::string text(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& c : text) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return text;
}

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, std::string>* gSnapshot = nullptr;
std::size_t gSnapshotRoot = 0;

}  // namespace

std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> result;
  gSnapshot = &result;
  gSnapshotRoot = root.size();
  nftw(
      root.c_str(),
      [](const char* p, const struct stat* st, int type, FTW*) {
        const std::string path(p);
        std::string entry = std::to_string(st->st_mode) + " ";
        if (type != FTW_D && type != FTW_DNR) {
          entry += std::to_string(st->st_mtim.tv_sec);
          entry += '.';
          entry += std::to_string(st->st_mtim.tv_nsec);
        }
        if (type == FTW_SL) {
          char target[4096];
          const ssize_t n = readlink(p, target, sizeof target);
          entry += " -> ";
          entry.append(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        } else if (type == FTW_F && S_ISREG(st->st_mode)) {
          entry += ' ';
          entry += ReadFile(path);
        }
        (*gSnapshot)[path.substr(gSnapshotRoot)] = entry;
        return 0;
      },
      16, FTW_PHYS);
  gSnapshot = nullptr;
  return result;
}

void MakeFolder(const std::string& folder) {
  mkdir(folder.c_str(), 0755);
  WriteFile(folder + "/a.txt", Pattern(1023, 1));
  WriteFile(folder + "/b.bin", Pattern(70000, 2));
  mkdir((folder + "/sub").c_str(), 0755);
  WriteFile(folder + "/sub/c.dat", Pattern(5000, 3));
  mkdir((folder + "/empty").c_str(), 0755);
  mkdir((folder + "/empty/deeper").c_str(), 0755);
  WriteFile(folder + "/.hidden", "hidden\n");
  WriteFile(folder + "/sub/\xC3\xA4rger.txt", "umlaut\n");
  symlink("sub/c.dat", (folder + "/link").c_str());
  WriteFile(folder + "/sub/readonly.txt", "read only\n");
  chmod((folder + "/sub/readonly.txt").c_str(), 0444);
}

TEnvironment TestEnvironment(const std::string& programDir) {
  TEnvironment environment;
  environment.GetDiskFreeSpace = [](const std::string&, platform::DiskSpace& space) {
    space.AvailableToCaller = 1ull << 40;
    space.Total = 1ull << 41;
    space.TotalFree = 1ull << 40;
    return true;
  };
  environment.ExecutablePath = [programDir] { return programDir + "/bin/korvane"; };
  environment.SystemFolders = {"/usr", "/etc"};
  environment.RecoveryKey = [] { return BuiltInRecoveryKey(); };
  environment.HardenedRecoveryKey = [] { return BuiltInHardenedRecoveryKey(); };
  // The least cost the program accepts: protecting calibrates otherwise.
  environment.ProtectKdf = [] { return kKdfFloor; };
  environment.SupportAddress = [] { return std::string("help@example.test"); };
  environment.Today = [] { return 46000.0; };
  environment.LanguageId = [] { return std::string("ENU"); };
  // Nothing in these tests goes online unless a test says where.
  environment.CheckUrl = [] { return std::string("http://127.0.0.1:9/update/chkver.php"); };
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
