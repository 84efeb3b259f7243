// Driving the real dialogs the way a person does: find windows and widgets
// by their names, type, click, answer message boxes; plus the folders the
// workflows work on.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/tree_builders.h"
#include "korvane/forms/application.h"
#include "korvane/ui/qt/form_dialog.h"
#include "korvane/ui/qt/qt_ui.h"

namespace korvane::qttest {

using testsupport::TempDir;

// ---------------------------------------------------------------- disk

using testsupport::Exists;
using testsupport::Pattern;
using testsupport::Snapshot;
using testsupport::WriteFile;
// A folder as people keep them: small and larger files, nested and empty
// folders, a hidden file, a read-only file, a link, a non-ASCII name.
void MakeFolder(const std::string& folder);

// Machine facts for the windows: plenty of disk space, the program in
// `programDir`/bin (where help pages may be put), a fixed day, this build's
// korvane-cli for Browse.
TEnvironment TestEnvironment(const std::string& programDir = "/opt/korvane");

// ---------------------------------------------------------------- front-end

struct ShownBox {
  std::string Caption;
  std::string Text;
  TMsgIcon Icon;
  TMsgButtons Buttons;
  TModalResult Result;
};

// The desktop front-end with nothing leaving the test: what would be opened
// in the desktop is recorded, and so is every message box (which is still
// shown, and answered by the script).
class TestQtUi : public QtUi {
 public:
  std::vector<std::string> Opened;
  std::vector<ShownBox> Boxes;
  // Runs at each ProcessMessages, with its number (from 1), after the
  // pending events ran.
  std::function<void(int)> OnProcessMessages;
  int ProcessMessagesCalls = 0;

  bool ShellOpen(const std::string& target) override {
    Opened.push_back(target);
    return true;
  }
  TModalResult MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                          TMsgButtons buttons) override {
    const TModalResult result = QtUi::MessageBox(caption, text, icon, buttons);
    Boxes.push_back({caption, text, icon, buttons, result});
    return result;
  }
  void ProcessMessages() override {
    QtUi::ProcessMessages();
    ++ProcessMessagesCalls;
    if (OnProcessMessages) OnProcessMessages(ProcessMessagesCalls);
  }
};

// ---------------------------------------------------------------- finding

// The shown dialog of a window (by the window's Name), or null.
FormDialog* ShownDialog(const QString& name);
// The shown message box in front, or null.
QMessageBox* ShownBox();
template <class W>
W* WidgetOf(const QString& dialog, const QString& name) {
  FormDialog* shown = ShownDialog(dialog);
  return shown == nullptr ? nullptr : shown->findChild<W*>(name);
}

// ---------------------------------------------------------------- script

// What a person does, step by step: each step waits until its condition
// holds (checked every few milliseconds in whatever event loop runs: the
// window's, a message box's, the progress window's pending events), then
// acts. An act may block (a click that runs the whole workflow); the next
// steps still run inside it. A step that waits longer than the time limit
// fails the test, and the windows are then cancelled until the run ends.
class GuiScript {
 public:
  explicit GuiScript(int stepTimeoutMs = 60000);
  ~GuiScript();
  GuiScript(const GuiScript&) = delete;
  GuiScript& operator=(const GuiScript&) = delete;

  GuiScript& When(std::string what, std::function<bool()> ready, std::function<void()> act);
  // Shorthands.
  GuiScript& WhenShown(const QString& dialog, std::function<void(FormDialog&)> act);
  // Answers the next message box with its OK (true) or Cancel (false)
  // button; `seen` gets the box's caption and text first.
  GuiScript& AnswerBox(bool ok, std::function<void(QMessageBox&)> seen = {});
  bool Finished() const { return steps_.empty() && !acting_; }
  bool TimedOut() const { return timedOut_; }

 private:
  struct Step {
    std::string What;
    std::function<bool()> Ready;
    std::function<void()> Act;
  };
  void Tick();
  void Escape();

  std::deque<Step> steps_;
  QTimer* timer_;
  QElapsedTimer waiting_;
  int stepTimeoutMs_;
  bool acting_ = false;  // an act was posted and has not started yet
  bool timedOut_ = false;
};

// Typing and clicking as a person does. Characters beyond ASCII arrive as
// the text of a key press, as an input method delivers them.
void TypeText(QWidget* widget, const QString& text);
void TypeInto(FormDialog& dialog, const char* editName, const std::string& text);
void ClickOn(FormDialog& dialog, const char* buttonName);

}  // namespace korvane::qttest
