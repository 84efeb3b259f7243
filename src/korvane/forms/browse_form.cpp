#include "korvane/forms/browse_form.h"

#include <utility>

#include "korvane/forms/application.h"
#include "korvane/forms/globals.h"

namespace korvane {

TfrmBrowse::TfrmBrowse(TApplication& app)
    : TForm(app, "frmBrowse", "Korvane: Browse Folder"),
      lblBrowsing(*this, "lblBrowsing"),
      lblFolder(*this, "lblFolder"),
      lblStatus(*this, "lblStatus"),
      btnDetach(*this, "btnDetach", "Detach"),
      btnClose(*this, "btnClose", "Close") {
  lblFolder.IsLink = true;
  lblFolder.Hint = "Show the folder in the file manager";
  btnDetach.Hint = "Unmount now, even though the folder is in use";
  btnClose.Default = true;
  btnClose.Cancel = true;
  btnClose.OnClick = [this] { btnCloseClick(); };
  btnDetach.OnClick = [this] { btnDetachClick(); };
  lblFolder.OnClick = [this] { lblFolderClick(); };
}

TfrmBrowse::~TfrmBrowse() = default;

void TfrmBrowse::FormShow() {
  detach_ = false;
  const std::string name = Mount ? Mount->Name() : std::string();
  lblBrowsing.Caption = name + " is open for browsing, read-only";
  lblFolder.Caption = Mount ? Mount->Folder() : std::string();
  lblStatus.Caption.clear();
  lblStatus.Visible = false;
  btnDetach.Visible = false;
  btnClose.Cancel = true;
  btnDetach.Cancel = false;
}

void TfrmBrowse::btnCloseClick() {
  Close();
}

void TfrmBrowse::btnDetachClick() {
  detach_ = true;
  Close();
}

void TfrmBrowse::lblFolderClick() {
  if (Mount && Mount->GetState() == platform::BrowseMount::State::Mounted)
    GetUi().ShellOpen(Mount->Folder());
}

void TfrmBrowse::FormClose(TCloseAction& action) {
  if (!Mount) return;
  std::string message;
  const bool detach = std::exchange(detach_, false);
  const auto result = Mount->Unmount(detach, message);
  if (result == platform::BrowseMount::UnmountResult::Done) {
    Mount.reset();
    return;
  }
  if (detach) {
    // Not even a lazy unmount works (fusermount3 is gone, say): the window
    // must not hold the person hostage. The mounting process is stopped,
    // which unmounts if anything can; what stays is cleaned up by the next
    // run.
    Mount->End();
    Mount.reset();
    return;
  }
  // Still mounted: the window stays, and from now on Escape (or a second
  // request to end) detaches.
  action = TCloseAction::caNone;
  const std::string why = message.empty() ? std::string() : "\r(" + message + ")";
  lblStatus.Caption =
      result == platform::BrowseMount::UnmountResult::Busy
          ? FormatText(
                "\"%s\" is still in use, so it stays open.\rClose what uses it and press "
                "Close again, or press Detach to take it away now (programs using it "
                "lose it).",
                {Mount->Folder()}) +
                why
          : FormatText("\"%s\" could not be unmounted.\rPress Close to try again, or Detach.",
                       {Mount->Folder()}) +
                why;
  lblStatus.Visible = true;
  btnDetach.Visible = true;
  btnClose.Cancel = false;
  btnDetach.Cancel = true;
  GetUi().FormChanged(*this);
}

}  // namespace korvane
