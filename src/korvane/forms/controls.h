// The windows as plain models: a form owns named controls with their
// captions and states, and handlers that front-ends (terminal, desktop,
// scripts, tests) invoke the way a person would. Nothing here draws; a
// front-end reads the models and calls Click / SetText / SetChecked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "korvane/forms/ui.h"

namespace korvane {

class TForm;
class TPanel;
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
  // The panel the control sits on (null: directly on the form). A control on
  // a hidden panel is hidden with it.
  TPanel* Parent = nullptr;
  // Whether a person can see the control: it and every panel it sits on are
  // visible (the form itself aside).
  bool Showing() const;

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
  // A person's click: nothing when the button is disabled or hidden, or its
  // window is not shown.
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

// A plain area that groups controls (their Parent) and may carry a text of
// its own, such as "Connecting remote server...".
class TPanel : public TControl {
 public:
  using TControl::TControl;
};

// The up/down arrows of a number edit. Position is the number the edit
// shows, kept within Min..Max; the edit's text follows every change.
class TUpDown : public TControl {
 public:
  TUpDown(TForm& owner, std::string name, TEdit& associate);
  int Min = 0;
  int Max = 100;
  TEdit& Associate() const { return *associate_; }
  // The number in the edit within Min..Max; the last position set while the
  // edit holds no number.
  int Position() const;
  // Clamps to Min..Max and shows the number in the edit.
  void SetPosition(int position);
  // A person's click on an arrow.
  void ClickUp() { SetPosition(Position() + 1); }
  void ClickDown() { SetPosition(Position() - 1); }

 private:
  TEdit* associate_;
  int position_ = 0;
};

// An embedded web view. Navigate runs OnBeforeNavigate and hands the address
// to the front-end (Ui::Navigate), which loads it, now or later, and reports
// the page with DocumentComplete. No history, no cache.
class TWebBrowser : public TControl {
 public:
  using TControl::TControl;
  std::function<void(const std::string& address)> OnBeforeNavigate;
  TNotifyEvent OnDocumentComplete;

  void Navigate(const std::string& address);
  // The front-end's report of a loaded page: the address that answered, the
  // page's HTML (kept for front-ends that show it) and the addresses of its
  // links in document order, as written in the page. Runs OnDocumentComplete.
  void DocumentComplete(const std::string& url, const std::string& html,
                        std::vector<std::string> links);

  const std::string& LocationUrl() const { return locationUrl_; }
  const std::string& DocumentHtml() const { return documentHtml_; }
  const std::vector<std::string>& Links() const { return links_; }

 private:
  std::string locationUrl_;
  std::string documentHtml_;
  std::vector<std::string> links_;
};

// The addresses of a page's links (<a ... href=...>), in document order, with
// character references (&amp;, &#38;, ...) decoded. Comments are skipped.
std::vector<std::string> ExtractDocumentLinks(const std::string& html);

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
  // The same, with `onShown` run as a handler of the window after it was
  // shown and before the person gets it (a check that starts at once).
  TModalResult ShowModal(const TNotifyEvent& onShown);
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
