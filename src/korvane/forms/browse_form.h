// The browse window: it stands for a protected folder shown read-only in a
// folder of its own (the Open window's Browse made the mount) and says so;
// closing it ends the browse. A folder still in use is not torn away: the
// window stays, says why, and offers Detach (a lazy unmount) besides Close
// (which tries again).
#pragma once

#include <memory>
#include <string>

#include "korvane/forms/controls.h"
#include "korvane/platform/browse_mount.h"

namespace korvane {

class TfrmBrowse : public TForm {
 public:
  explicit TfrmBrowse(TApplication& app);
  ~TfrmBrowse() override;

  TLabel lblBrowsing;  // "NAME is open for browsing, read-only"
  TLabel lblFolder;    // where: a link that shows it in the file manager again
  TLabel lblStatus;    // why the browse goes on after Close; hidden otherwise
  TButton btnDetach;
  TButton btnClose;

  // The browse the window stands for; it ends when the window closes (or,
  // failing that, when the window goes with the program).
  std::unique_ptr<platform::BrowseMount> Mount;

  void btnCloseClick();
  void btnDetachClick();
  void lblFolderClick();

 protected:
  void FormShow() override;
  void FormClose(TCloseAction& action) override;

 private:
  bool detach_ = false;
};

}  // namespace korvane
