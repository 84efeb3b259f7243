#include "korvane/forms/settings_form.h"

#include <algorithm>

#include "korvane/forms/application.h"
#include "korvane/forms/helper_form.h"
#include "korvane/forms/update_settings.h"

namespace korvane {

namespace {

constexpr int kMinPollInterval = 1;
constexpr int kMaxPollInterval = 100;
constexpr int kDefaultPollInterval = 14;

}  // namespace

TfrmSettings::TfrmSettings(TApplication& app)
    : TForm(app, "frmSettings", "Korvane: Update Settings"),
      cbxPollUpdates(*this, "cbxPollUpdates", " Automatically poll for updates "),
      edPollUpdInt(*this, "edPollUpdInt", "Polling interval (in days)"),
      udPollUpdInt(*this, "udPollUpdInt", edPollUpdInt),
      edLastPoll(*this, "edLastPoll", "Last poll"),
      cbxAutoUpdateFlag(*this, "cbxAutoUpdateFlag",
                        "Do not display warning before connecting the Internet"),
      btnOk(*this, "btnOk", "OK"),
      btnCancel(*this, "btnCancel", "Cancel"),
      btnHelp(*this, "btnHelp", "Help") {
  HelpContext = 200;
  udPollUpdInt.Min = kMinPollInterval;
  udPollUpdInt.Max = kMaxPollInterval;
  udPollUpdInt.SetPosition(kDefaultPollInterval);
  edLastPoll.ReadOnly = true;
  btnOk.Default = true;
  btnCancel.Cancel = true;
  btnCancel.ModalResult = mrCancel;
  btnOk.OnClick = [this] { btnOkClick(); };
  btnHelp.OnClick = [this] { btnHelpClick(); };
}

void TfrmSettings::FormShow() {
  if (ShownAsMainWindow) {
    ShownAsMainWindow = false;
    MessageBox("Korvane",
               "This program must be run from drop-down menu of Windows Explorer.\rPlease refer to "
               "Korvane documentation for details.",
               TMsgIcon::None, TMsgButtons::Ok);
  }
  cbxPollUpdates.SetChecked((ReadRegInteger(kUpdateKey, "AutoPoll", 1) & 0xFF) != 0);
  const std::int32_t interval = ReadRegInteger(kUpdateKey, "PollInterval", kDefaultPollInterval);
  udPollUpdInt.SetPosition(std::clamp<std::int32_t>(interval, kMinPollInterval, kMaxPollInterval));
  const double lastPoll = ReadRegDate(kUpdateKey, "LastPoll", 0);
  edLastPoll.SetText(lastPoll == 0 ? "<never>" : FormatShortDate(lastPoll));
  cbxAutoUpdateFlag.SetChecked((ReadRegInteger(kUpdateKey, "AutoUpdateFlag", 0) & 0xFF) == 1);
}

void TfrmSettings::btnOkClick() {
  WriteRegInteger(kUpdateKey, "AutoPoll", cbxPollUpdates.Checked() ? 1 : 0);
  // What the edit shows, as the arrows keep it: a typed number out of range
  // is stored clamped, a typed non-number as the last number shown.
  WriteRegInteger(kUpdateKey, "PollInterval", udPollUpdInt.Position());
  WriteRegInteger(kUpdateKey, "AutoUpdateFlag", cbxAutoUpdateFlag.Checked() ? 1 : 0);
  ModalResult = mrOk;
  Close();
}

void TfrmSettings::btnHelpClick() {
  if (App().frmHelper) App().frmHelper->ShowHelp(HelpContext);
}

}  // namespace korvane
