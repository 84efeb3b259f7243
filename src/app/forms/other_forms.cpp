#include "app/forms/other_forms.h"

#include "app/forms/application.h"
#include "app/platform/platform.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "0.1.0"
#endif

namespace korvane {

TfrmSettings::TfrmSettings(TApplication& app) : TForm(app, "frmSettings", "Update settings") {
  HelpContext = 200;
}

void TfrmSettings::FormShow() {
  if (ShownAsMainWindow) {
    ShownAsMainWindow = false;
    MessageBox("Korvane",
               "This program must be run from drop-down menu of Windows Explorer.\rPlease refer to "
               "Korvane documentation for details.",
               TMsgIcon::None, TMsgButtons::Ok);
  }
}

std::string HelpTopicPage(int context) {
  switch (context) {
    case 110:
      return "passrec.html";
    case 302:
      return "license.html";
    case 510:
      return "passrectou.html";
    default:
      return "index.html";
  }
}

TfrmHelper::TfrmHelper(TApplication& app) : TForm(app, "frmHelper", "frmHelper") {}

void TfrmHelper::ShowHelp(int context) {
  // Installed: <prefix>/share/doc/korvane/help beside <prefix>/bin; in a
  // build tree the pages are not copied, so nothing is found there.
  const std::string page = HelpTopicPage(context);
  const std::string executable = App().Environment().ExecutablePath();
  const std::string bin = platform::ParentDirectory(executable);
  const std::string candidate = platform::ParentDirectory(bin) + "/share/doc/korvane/help/" + page;
  if (!executable.empty() && platform::FileExists(candidate) && GetUi().ShellOpen(candidate)) {
    return;
  }
  MessageBox("Korvane", "The help pages are not installed.", TMsgIcon::Information);
}

TAboutForm::TAboutForm(TApplication& app)
    : TForm(app, "AboutForm", "About"),
      AppTitleLabel(*this, "AppTitleLabel", "Korvane"),
      Label5(*this, "Label5", "beta"),
      VersionLabel(*this, "VersionLabel", "Version 1.0 (Build 1.0.0.0)"),
      lblLicense(*this, "lblLicense",
                 "Using this software indicates acceptance of the license agreement"),
      btnOk(*this, "btnOk", "OK") {
  HelpContext = 10;
  lblLicense.Hint = "Read License Agreement...";
  lblLicense.IsLink = true;
  lblLicense.OnClick = [this] {
    if (App().frmHelper) App().frmHelper->ShowHelp(302);
  };
  btnOk.Default = true;
  btnOk.Cancel = true;
  btnOk.ModalResult = mrOk;
  VersionLabel.Caption =
      std::string("Version ") + KORVANE_VERSION + " (Build " + KORVANE_VERSION + ")";
}

TErrorDialog::TErrorDialog(TApplication& app)
    : TForm(app, "ErrorDialog", "Error occurred"),
      Label1(*this, "Label1",
             "The application has encoutered a problem. \r\nWe are sorry for the inconvenience."),
      LabelError(*this, "LabelError"),
      Label3(*this, "Label3", "Please tell us about this problem."),
      Label4(*this, "Label4",
             "We have created an error report that you can send to us to improve \r\nour "
             "software. We will treat this report as confidential and anonymous."),
      Button1(*this, "Button1", "Send Error Report"),
      Button2(*this, "Button2", "Don't Send"),
      Button3(*this, "Button3", "Details >>"),
      btnTerminate(*this, "btnTerminate", "Terminate") {
  Button1.Default = true;
  Button1.ModalResult = static_cast<TModalResult>(1);
  Button2.ModalResult = static_cast<TModalResult>(2);
  Button3.ModalResult = static_cast<TModalResult>(100);
  btnTerminate.ModalResult = static_cast<TModalResult>(101);
  btnTerminate.Visible = false;
}

}  // namespace korvane
