#include "korvane/forms/check_updates_form.h"

#include "korvane/forms/about_form.h"
#include "korvane/forms/application.h"
#include "korvane/forms/globals.h"
#include "korvane/platform/http_get.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "0.1.0"
#endif

namespace korvane {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A bare "www.host/..." is meant as a web address (OpenDownloadLink puts
// "http://" in front); anything else without a scheme is relative to the
// page it stands on.
bool IsBareWebAddress(const std::string& address) {
  return StartsWith(UpperCase(address.substr(0, 4)), "WWW.");
}

}  // namespace

bool IsDownloadLink(const std::string& address) {
  if (address.find("maindnld=1") == std::string::npos) return false;
  const std::string upper = UpperCase(address.substr(0, 8));
  return StartsWith(upper, "HTTP://") || StartsWith(upper, "HTTPS://") || IsBareWebAddress(address);
}

TfrmCheckUpdates::TfrmCheckUpdates(TApplication& app)
    : TForm(app, "frmCheckUpdates", "Check for updates"),
      btnClose(*this, "btnClose", "Close"),
      btnGetUpdate(*this, "btnGetUpdate", "Get Update"),
      btnConfigureRight(*this, "btnConfigureRight", "Configure..."),
      wbrCheckUpdate(*this, "wbrCheckUpdate"),
      pnlWarning(*this, "pnlWarning"),
      lbStartCheck(*this, "lbStartCheck",
                   FormatText("%s is about to start checking for updates.", {app.Title})),
      lbFirewall(*this, "lbFirewall",
                 "If a firewall is enabled on your local system, you should add this program to "
                 "the exception list."),
      lbConfigure(*this, "lbConfigure",
                  "To change \"Check for updates\" settings, click Configure."),
      lbContinue(*this, "lbContinue", "To start checking for updates, click Continue."),
      cbxWarnCheckUpd(*this, "cbxWarnCheckUpd", "Do not display this warning message again"),
      btnContinue(*this, "btnContinue", "Continue"),
      btnConfigure(*this, "btnConfigure", "Configure..."),
      pnlMessage(*this, "pnlMessage", "Connecting remote server...") {
  for (TControl* onWarning :
       std::initializer_list<TControl*>{&lbStartCheck, &lbFirewall, &lbConfigure, &lbContinue,
                                        &cbxWarnCheckUpd, &btnContinue, &btnConfigure}) {
    onWarning->Parent = &pnlWarning;
  }
  btnGetUpdate.Enabled = false;
  btnClose.Cancel = true;
  btnContinue.Default = true;
  btnClose.OnClick = [this] { btnCloseClick(); };
  btnGetUpdate.OnClick = [this] { btnGetUpdateClick(); };
  btnConfigureRight.OnClick = [this] { btnConfigureRightClick(); };
  btnContinue.OnClick = [this] { btnContinueClick(); };
  btnConfigure.OnClick = [this] { btnConfigureClick(); };
  wbrCheckUpdate.OnBeforeNavigate = [this](const std::string& address) {
    wbrCheckUpdateBeforeNavigate(address);
  };
  wbrCheckUpdate.OnDocumentComplete = [this] { wbrCheckUpdateDocumentComplete(); };
}

void TfrmCheckUpdates::FormShow() {
  pnlMessage.Visible = false;
  pnlWarning.Visible = false;
  if (!OnCloseWarning) cbxWarnCheckUpd.Visible = false;
}

void TfrmCheckUpdates::BeginCheck(bool warn) {
  if (warn) {
    pnlWarning.Visible = true;
    GetUi().FormChanged(*this);
    return;
  }
  StartCheck();
}

void TfrmCheckUpdates::btnContinueClick() {
  pnlWarning.Visible = false;
  StartCheck();
}

void TfrmCheckUpdates::StartCheck() {
  btnGetUpdate.Enabled = false;
  pnlMessage.Visible = true;
  GetUi().FormChanged(*this);
  std::string two;
  std::string three;
  std::string four;
  CurrentBuild = GetVersionStrings(KORVANE_VERSION, two, three, four) ? four : std::string();
  const std::string address =
      CheckUrl + "?prod=" + ProductId + "&curbuild=" + CurrentBuild + "&lg=" + LanguageId;
  wbrCheckUpdate.Navigate(address);
}

void TfrmCheckUpdates::wbrCheckUpdateBeforeNavigate(const std::string& /*address*/) {
  btnGetUpdate.Enabled = false;
}

void TfrmCheckUpdates::wbrCheckUpdateDocumentComplete() {
  pnlMessage.Visible = false;
  DownloadLink.clear();
  const std::string& page = wbrCheckUpdate.LocationUrl();
  for (const std::string& link : wbrCheckUpdate.Links()) {
    // A web view hands over links as addresses of their own; links taken
    // from the page's text may still be relative to it.
    const std::string address = IsBareWebAddress(link) ? link : platform::ResolveUrl(page, link);
    if (!IsDownloadLink(address)) continue;
    DownloadLink = address;
    btnGetUpdate.Enabled = true;
  }
  GetUi().FormChanged(*this);
}

void TfrmCheckUpdates::btnGetUpdateClick() {
  if (!DownloadLink.empty()) OpenDownloadLink(DownloadLink);
}

void TfrmCheckUpdates::OpenDownloadLink(const std::string& address) {
  std::string target = address;
  if (IsBareWebAddress(target)) target = "http://" + target;
  target += (target.find('?') != std::string::npos ? "&ref=" : "?ref=") + ProductId;
  GetUi().ShellOpen(target);
}

void TfrmCheckUpdates::btnConfigureClick() {
  if (OnConfigure) OnConfigure();
}

void TfrmCheckUpdates::btnConfigureRightClick() {
  if (OnConfigure) OnConfigure();
}

void TfrmCheckUpdates::btnCloseClick() {
  Close();
}

void TfrmCheckUpdates::FormClose(TCloseAction& /*action*/) {
  // The window goes with its closing: whoever opened it drops it once it
  // has stopped running (never from inside its own handlers). Storing the
  // box may fail; that is reported, and the window closes all the same.
  if (OnCloseWarning) {
    const bool checked = cbxWarnCheckUpd.Checked();
    Perform([this, checked] { OnCloseWarning(checked); });
  }
}

}  // namespace korvane
