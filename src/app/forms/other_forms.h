// Windows whose full behaviour comes with the desktop front-end: update
// settings, the hidden helper (help topics, error notification), About and
// the error dialog. Here they hold their controls and the behaviour the
// workflows rely on.
#pragma once

#include <string>

#include "app/forms/controls.h"

namespace korvane {

class TfrmSettings : public TForm {
 public:
  explicit TfrmSettings(TApplication& app);
  // Shown as the main window of update-settings mode: first the note that
  // the program is started from the file manager.
  bool ShownAsMainWindow = false;

 protected:
  void FormShow() override;
};

// The help topic page of a help context: 100 and anything unknown
// "index.html", 110 "passrec.html", 302 "license.html", 510 "passrectou.html".
std::string HelpTopicPage(int context);

class TfrmHelper : public TForm {
 public:
  explicit TfrmHelper(TApplication& app);
  // Opens the help page of a context (installed help folder, else the
  // source tree's docs/help); says so when no help is installed.
  void ShowHelp(int context);
};

class TAboutForm : public TForm {
 public:
  explicit TAboutForm(TApplication& app);
  TLabel AppTitleLabel;
  TLabel Label5;
  TLabel VersionLabel;
  TLabel lblLicense;
  TButton btnOk;
};

class TErrorDialog : public TForm {
 public:
  explicit TErrorDialog(TApplication& app);
  TLabel Label1;
  TLabel LabelError;
  TLabel Label3;
  TLabel Label4;
  TButton Button1;
  TButton Button2;
  TButton Button3;
  TButton btnTerminate;
};

}  // namespace korvane
