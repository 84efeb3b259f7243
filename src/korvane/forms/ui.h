// Everything the windows do with the person in front of the screen goes
// through one Ui: message boxes, running a shown window until it closes,
// letting pending input run during long work, the clipboard, opening things
// in the desktop, loading a page into a web view, showing a help page. The
// terminal front-end, the scripted front-end of korvane-cli and the tests
// each implement it.
#pragma once

#include <exception>
#include <string>

namespace korvane {

class TForm;
class TWebBrowser;

enum class TMsgIcon { None, Stop, Exclamation, Information };
enum class TMsgButtons { Ok, OkCancel };
// What closed a message box or a modal window. mrNone: not closed yet.
// Windows may close with results of their own (any int), hence the fixed
// underlying type.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2 };

class Ui {
 public:
  virtual ~Ui() = default;

  // A modal message box. Line breaks in `text` are '\r' (the forms' texts
  // keep them as designed). Closing the box without a button is mrCancel;
  // a box with only OK answers mrOk.
  virtual TModalResult MessageBox(const std::string& caption, const std::string& text,
                                  TMsgIcon icon, TMsgButtons buttons) = 0;

  // Runs a form that was just shown until it closes: the person works its
  // controls (TEdit::SetText, TCheckBox::SetChecked, TButton::Click, ...),
  // whose handlers may close it. Used for the main window of a mode (the
  // message loop) and for modal windows. Must return once form.Visible() is
  // false; a front-end that has no more input closes the form itself
  // (TForm::Close), which is the same as the person pressing Cancel.
  virtual void RunForm(TForm& form) = 0;

  // Lets pending input run once, in the middle of long work: redraw what is
  // visible and handle what the person did meanwhile (the progress window's
  // Cancel is clicked from here).
  virtual void ProcessMessages() = 0;

  // A form was shown or hidden, or drew something new (the progress line):
  // front-ends that draw may redraw it. Nothing is asked of the person here.
  virtual void FormChanged(TForm& form) { (void)form; }

  virtual void CopyToClipboard(const std::string& text) = 0;

  // Opens a folder, a web address or a "mailto:" address in the desktop.
  // False when that cannot be done.
  virtual bool ShellOpen(const std::string& target) = 0;

  virtual void Beep() {}

  // Loads a web address into a web view: the page, once it is there (now or
  // later, from the front-end's own loop), goes to browser.DocumentComplete.
  // May be called for a window that is shown but not yet run. The default
  // fetches http:// addresses itself (platform::HttpGet, no cache, no
  // history), finds the page's links and reports the page at once; a server
  // that cannot be reached gives a small error page without links.
  // Front-ends with a real web view override it.
  virtual void Navigate(TWebBrowser& browser, const std::string& address);

  // Shows a page of the help (an HTML file). The default opens the file in
  // the desktop (ShellOpen); whether it could is the viewer's to say.
  virtual void ShowHelpTopic(const std::string& pagePath) { ShellOpen(pagePath); }
};

}  // namespace korvane
