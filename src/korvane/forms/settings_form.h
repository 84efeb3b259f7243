// The update settings window: whether and how often the program looks for
// updates, when it last did, and whether it warns before going online.
#pragma once

#include "korvane/forms/controls.h"

namespace korvane {

class TfrmSettings : public TForm {
 public:
  explicit TfrmSettings(TApplication& app);

  TCheckBox cbxPollUpdates;
  TEdit edPollUpdInt;
  TUpDown udPollUpdInt;
  TEdit edLastPoll;
  TCheckBox cbxAutoUpdateFlag;
  TButton btnOk;
  TButton btnCancel;
  TButton btnHelp;

  // Shown as the main window of update-settings mode: first the note that
  // the program is started from the file manager.
  bool ShownAsMainWindow = false;

  // Stores AutoPoll, PollInterval and AutoUpdateFlag and closes with mrOk;
  // LastPoll and FirstStart stay as they are. A failed write leaves the
  // window open (the error is shown).
  void btnOkClick();
  void btnHelpClick();

 protected:
  void FormShow() override;
};

}  // namespace korvane
