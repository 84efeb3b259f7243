// A Ui for tests: records every message box, answers OK/Cancel questions
// from a queue, and runs each window through a script of its own.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvane/forms/application.h"
#include "korvane/forms/controls.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/ui.h"

namespace korvane::testing {

struct ShownBox {
  std::string Caption;
  std::string Text;
  TMsgIcon Icon;
  TMsgButtons Buttons;
};

class ScriptedUi : public Ui {
 public:
  std::vector<ShownBox> Boxes;
  // Answers for OK/Cancel boxes, in order; Cancel once they run out.
  std::deque<TModalResult> Answers;
  // What the person does in a window, by form name; a window without a
  // script is closed at once.
  std::map<std::string, std::function<void(TForm&)>> Scripts;
  // Runs at every ProcessMessages (with the call's number, from 1).
  std::function<void(int)> OnProcessMessages;
  int ProcessMessagesCalls = 0;
  std::vector<std::string> Opened;
  std::string Clipboard;
  std::vector<std::string> FormsRun;

  TModalResult MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                          TMsgButtons buttons) override {
    Boxes.push_back({caption, text, icon, buttons});
    if (buttons == TMsgButtons::Ok) return mrOk;
    if (Answers.empty()) return mrCancel;
    const TModalResult answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  void RunForm(TForm& form) override {
    FormsRun.push_back(form.Name);
    const auto script = Scripts.find(form.Name);
    if (script != Scripts.end()) script->second(form);
    if (form.Visible()) form.Close();
  }
  void ProcessMessages() override {
    ++ProcessMessagesCalls;
    if (OnProcessMessages) OnProcessMessages(ProcessMessagesCalls);
  }
  void CopyToClipboard(const std::string& text) override { Clipboard = text; }
  bool ShellOpen(const std::string& target) override {
    Opened.push_back(target);
    return true;
  }

  std::string Captions() const {
    std::string all;
    for (const ShownBox& box : Boxes) all += (all.empty() ? "" : "|") + box.Caption;
    return all;
  }
};

// Protects `folder` through the Protect window the scripted way (the options
// as they come), as korvane-cli does.
inline void ProtectScripted(const std::string& folder, const std::string& password,
                            const TEnvironment& environment) {
  ScriptedUi ui;
  ui.Scripts["frmProtect"] = [password](TForm& form) {
    auto& protect = dynamic_cast<TfrmProtect&>(form);
    protect.edPassword.SetText(password);
    protect.edConfirm.SetText(password);
    protect.btnProtect.Click();
  };
  TApplication app(ui, environment);
  app.Run({"korvane", "-PROTECT", folder});
  ASSERT_EQ(app.frmProtect->Outcome, TWorkflowOutcome::woDone);
}

}  // namespace korvane::testing
