#include "korvane/forms/files_list_form.h"

#include "korvane/forms/application.h"
#include "korvane/forms/globals.h"

namespace korvane {

TfrmFilesList::TfrmFilesList(TApplication& app)
    : TForm(app, "frmFilesList", "frmFilesList"),
      edFolder(*this, "edFolder"),
      Button1(*this, "Button1", "Delete"),
      Memo1(*this, "Memo1", "Memo1") {
  ClientWidth = 601;
  ClientHeight = 500;
  edFolder.SetText("edFolder");
  Button1.Enabled = false;
  Button1.OnClick = [this] { Button1Click(); };
  Memo1.Lines = {"Memo1"};
}

void TfrmFilesList::Button1Click() {
  Memo1.Lines.clear();
}

void TfrmFilesList::FormShow() {
  Memo1.Lines.clear();
  std::uint32_t sizeKB = 0;
  const std::uint32_t count = ScanFolder(edFolder.Text(), "*.*", sizeKB, &Memo1.Lines, false);
  Memo1.Lines.push_back(std::to_string(count) + " files");
  Memo1.Lines.push_back(std::to_string(sizeKB) + " KB");
  platform::DiskSpace space;
  App().Environment().GetDiskFreeSpace(edFolder.Text(), space);
  Memo1.Lines.push_back(std::to_string(space.AvailableToCaller / 1048576) + " MB free available");
  Memo1.Lines.push_back(std::to_string(space.Total / 1048576) + " MB total");
}

}  // namespace korvane
