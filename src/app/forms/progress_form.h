// The progress window: the file being copied, a bar, and Cancel. Its
// Cancelled flag is how a cancel or a failure reaches the end of a workflow.
#pragma once

#include <cstdint>
#include <string>

#include "app/forms/controls.h"
#include "storage/vault_storage.h"

namespace korvane {

// Shortens a path to at most `maxChars` characters (UTF-8 code points) by
// putting "..." in its middle, keeping as much as possible of the part after
// the last separator ('\\' or '/'); a text that fits comes back unchanged.
std::string PathEllipsis(const std::string& text, std::size_t maxChars);

class TfrmProgress : public TForm {
 public:
  explicit TfrmProgress(TApplication& app);

  TLabel lblText;
  TLabel Label2;
  TProgressBar barProgress;
  TButton btnCancel;

  bool Cancelled = false;
  // The line last drawn into lblText's area (ShowOperationText).
  std::string OperationLine;

  void btnCancelClick();
  // Handler of the storage's OnProgress event.
  void VaultStorageProgress(vaultfs::TVaultStorage& sender, const std::u16string& fileName,
                            vaultfs::TProgressOperation operation, std::uint32_t progress,
                            std::uint32_t total, bool canStop, bool& stop);
  void ShowOperationText(const std::string& line);
  // The event handler bound to this window, for TVaultStorage::SetOnProgress.
  vaultfs::TVaultProgressEvent ProgressHandler();

 protected:
  void FormShow() override;
  // Refuses every request to close: the window goes when the program ends.
  void FormClose(TCloseAction& action) override;
};

}  // namespace korvane
