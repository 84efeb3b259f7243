// The Protect window: folder, password twice, three options; Protect turns
// the folder into its container and removes it.
#pragma once

#include <memory>
#include <string>

#include "korvane/forms/container_compare.h"
#include "korvane/forms/controls.h"
#include "korvane/platform/staging.h"
#include "vaultfs/vault_storage.h"

namespace korvane {

// How the last Protect or Open click ended (for front-ends and scripts):
// woNone nothing was started (input refused, or the replace question was
// declined), woDone the work completed, woCancelled the person cancelled,
// woFailed the work failed (its message was shown).
enum class TWorkflowOutcome { woNone, woDone, woCancelled, woFailed };

class TfrmProtect : public TForm {
 public:
  explicit TfrmProtect(TApplication& app);
  ~TfrmProtect() override;

  TEdit edFolder;
  TEdit edPassword;
  TEdit edConfirm;
  TCheckBox cbxCompression;
  TCheckBox cbxDontDelete;
  TCheckBox cbxEnablePassRestore;
  // Off: the hardened layout. On: the classic layout that older versions
  // open too, with its weaker protection.
  TCheckBox cbxClassic;
  TLabel lbDetails;
  TButton btnProtect;
  TButton btnCancel;
  TButton btnHelp;
  TButton Button1;
  TImage imgLogo;

  // The storage of the running protection (null outside btnProtectClick).
  std::unique_ptr<vaultfs::TVaultStorage> Storage;
  TWorkflowOutcome Outcome = TWorkflowOutcome::woNone;

  void FormActivate();
  void btnProtectClick();
  void btnCancelClick();
  void btnHelpClick();
  void lbDetailsClick();
  void imgLogoClick();
  void Button1Click();
  // Removes the folder after a protection: only entries the read-back saw
  // and that are still the same; says what stays.
  void RemoveProtectedFolder(const std::string& folder, const TStoredIdentities& stored);
  // The escrow text of the password, or `fallback` when it cannot be made.
  std::string EncryptPasswordForRecovery(const std::string& password, const std::string& fallback);

 protected:
  void FormShow() override;

 private:
  // The steps of btnProtectClick. Each check returns false when it ended
  // the work (its message shown, Outcome set, the window closed if due).
  bool PasswordsAccepted(const std::string& password);
  bool ReplacingAgreed(const std::string& folder, const std::string& container,
                       platform::EntryIdentity& replaceable);
  // One walk before anything is written: the size, and whatever would make
  // the protection unsafe or leave plain text behind.
  bool FolderScanned(const std::string& folder, const std::string& container, bool deleteFolder,
                     std::uint64_t& folderSizeKB);
  bool EnoughDiskSpace(const std::string& folder, std::uint32_t sizeKB);
  // Writes the container under a temporary name, flushes it, reads it back
  // against the folder and gives it its name. Failures are shown as "Failed
  // to lock"; the progress window's Cancelled says whether it was done.
  void WriteAndVerifyContainer(const std::string& folder, const std::string& container,
                               const std::string& password, std::uint64_t folderSizeKB,
                               const platform::EntryIdentity& replaceable,
                               platform::StagedEntry& staged, TStoredIdentities& stored,
                               bool& failed);

  bool activated_ = false;
};

}  // namespace korvane
