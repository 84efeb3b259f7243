// The hidden service window every mode has: help topics, the update check
// and its settings, and the notification of errors that escaped a window
// handler.
#pragma once

#include <memory>
#include <string>

#include "korvane/forms/controls.h"

namespace korvane {

class TfrmCheckUpdates;

// The help page of a help context: 110 "passrec.html", 302 "license.html",
// 510 "passrectou.html", every other (100, 200, 500, 10, ...) "index.html".
std::string HelpTopicPage(int context);

// The folder of the help pages for a program at `executablePath`:
// <prefix>/share/doc/korvane/help beside <prefix>/bin when installed, else
// the source tree's docs/help when this build knows it; empty when neither
// holds the pages.
std::string FindHelpFolder(const std::string& executablePath);

// Errors shown in one run before the error dialog also offers to end the
// program: from the fourth error on.
inline constexpr int kTerminateButtonThreshold = 3;

class TfrmHelper : public TForm {
 public:
  explicit TfrmHelper(TApplication& app);
  ~TfrmHelper() override;

  // Where the help pages are (found once, when the window is made); empty:
  // no help, and help requests do nothing.
  std::string HelpFolder;
  // The check window while it exists (made by CheckForUpdates, dropped once
  // it has closed).
  std::unique_ptr<TfrmCheckUpdates> frmCheckUpdates;
  // Where the last error report was saved (empty: none).
  std::string LastErrorReport;

  // The help handler: opens the page of the help context through the Ui.
  // False (and nothing happens) when no help pages were found.
  bool ShowHelp(int context);
  // The same, in the form the application's help event has it (the command
  // is of no interest; `callHelp` is left as it is).
  bool ApplicationEvents1Help(int command, int data, bool& callHelp);

  // Opens the check window (made anew when the last one has closed), with
  // the warning unless AutoUpdateFlag says not to, and stores today as
  // LastPoll. Runs the window until it closes.
  void CheckForUpdates();
  // The update settings window, made on first use, shown modally.
  void ShowUpdateSettings();
  // The check window's closing: a ticked "do not warn again" box stores
  // AutoUpdateFlag 1; an unticked one changes nothing.
  void SetNoWarningFlag(bool checked);
  // One error that escaped a window handler: counted, shown in a new error
  // dialog, and acted on (report saved, details shown, program ended).
  void ExceptionNotify(const std::string& message);
  // The text of an error report for `message` (no secrets in it: time,
  // version, the message, the mode and folder, the open windows, the
  // system).
  std::string ErrorReportText(const std::string& message) const;
};

// Saves an error report as $XDG_STATE_HOME/korvane/error-report-
// YYYYMMDD-HHMMSS[-N].txt (local time; folders made 0700, the file 0600 and
// never one that exists). The path, or empty with `error` set.
std::string SaveErrorReport(const std::string& report, std::string& error);

}  // namespace korvane
