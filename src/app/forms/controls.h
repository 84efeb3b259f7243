// The windows as plain models: a form owns named controls with their
// captions and states, and handlers that front-ends (terminal, desktop,
// scripts, tests) invoke the way a person would. Nothing here draws; a
// front-end reads the models and calls Click / SetText / SetChecked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/forms/ui.h"

namespace korvane {

class TForm;
using TNotifyEvent = std::function<void()>;

class TControl {
 public:
  TControl(TForm& owner, std::string name, std::string caption = {});
  virtual ~TControl() = default;
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  TForm& Owner() const { return *owner_; }
  const std::string Name;
  std::string Caption;  // caption, or the designed text of a label
  std::string Hint;
  bool Enabled = true;
  bool Visible = true;

 protected:
  // Runs a handler as the window system would: an exception that escapes it
  // goes to the application's error handling instead of to the caller.
  void Fire(const TNotifyEvent& handler);

 private:
  TForm* owner_;
};

class TLabel : public TControl {
 public:
  using TControl::TControl;
  bool IsLink = false;  // drawn as a link; clicking runs OnClick
  TNotifyEvent OnClick;
  void Click();
};

class TEdit : public TControl {
 public:
  using TControl::TControl;
  // A masked edit holds a password: its text is overwritten when replaced
  // and when the edit goes.
  ~TEdit() override;
  bool ReadOnly = false;
  bool Masked = false;  // every character shown as a dot
  const std::string& Text() const { return text_; }
  // Sets the text; OnChange runs when it differs from the old one (also for
  // changes the program makes, as on the desktop).
  void SetText(const std::string& text);
  void Clear() { SetText(std::string()); }
  TNotifyEvent OnChange;

 private:
  std::string text_;
};

class TCheckBox : public TControl {
 public:
  using TControl::TControl;
  bool Checked() const { return checked_; }
  // OnClick runs when the state changes (a click, or the program setting it).
  void SetChecked(bool checked);
  // A person's click: toggles the state.
  void Click() { SetChecked(!checked_); }
  TNotifyEvent OnClick;

 private:
  bool checked_ = false;
};

class TButton : public TControl {
 public:
  using TControl::TControl;
  bool Default = false;  // Enter presses it
  bool Cancel = false;   // Escape presses it
  // Set on the owner form when the button is pressed (a modal window closes
  // with it); mrNone for buttons that only run OnClick.
  TModalResult ModalResult = mrNone;
  TNotifyEvent OnClick;
  // A person's click: nothing when the button is disabled or hidden.
  void Click();
};

class TImage : public TControl {
 public:
  using TControl::TControl;
  TNotifyEvent OnClick;
  void Click();
};

class TMemo : public TControl {
 public:
  using TControl::TControl;
  bool ReadOnly = false;
  std::vector<std::string> Lines;
  // The lines joined by "\r\n", as the text box hands them to the clipboard.
  std::string Text() const;
};

class TProgressBar : public TControl {
 public:
  using TControl::TControl;
  std::uint32_t Min = 0;
  std::uint32_t Max = 100;
  std::uint32_t Position = 0;
};

enum class TCloseAction { caNone, caHide };

class TApplication;

// A window. Created hidden; Show makes it visible and runs FormShow;
// ShowModal shows it and lets the front-end run it until it closes.
class TForm {
 public:
  TForm(TApplication& app, std::string name, std::string caption);
  virtual ~TForm() = default;
  TForm(const TForm&) = delete;
  TForm& operator=(const TForm&) = delete;

  const std::string Name;
  std::string Caption;
  int HelpContext = 0;
  int ClientWidth = 0;
  int ClientHeight = 0;
  TModalResult ModalResult = mrNone;

  TApplication& App() const { return *app_; }
  Ui& GetUi() const;
  bool Visible() const { return visible_; }

  void Show();
  void Hide();
  // Asks the window to close: FormClose may refuse (caNone). Returns whether
  // it closed; a closed window is hidden, with ModalResult mrCancel unless a
  // button set another.
  bool Close();
  // Shows the window and runs it until it closes; returns its ModalResult.
  TModalResult ShowModal();
  // The window's controls, in creation order (front-ends find them by Name).
  const std::vector<TControl*>& Controls() const { return controls_; }
  TControl* FindControl(const std::string& name) const;

  // A modal message box owned by this window, its text in the platform's
  // words (see platform::LocalizeText).
  TModalResult MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                          TMsgButtons buttons = TMsgButtons::Ok);

  // Runs a handler the way the window system does: an exception escaping it
  // goes to the application's error handling (TApplication::HandleException).
  void Perform(const TNotifyEvent& handler);

 protected:
  virtual void FormShow() {}
  virtual void FormClose(TCloseAction& action) { (void)action; }

 private:
  friend class TControl;
  TApplication* app_;
  std::vector<TControl*> controls_;
  bool visible_ = false;
};

}  // namespace korvane
