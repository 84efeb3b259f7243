// The Open window: the folder a container stands for and its password; Open
// restores the folder and removes the container, Browse shows its tree
// read-only in a folder of its own (the browse window) and changes nothing.
// The password box also knows the access code of the recovery request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korvane/forms/container_layout.h"
#include "korvane/forms/container_seal.h"
#include "korvane/forms/controls.h"
#include "korvane/forms/protect_form.h"
#include "vaultfs/vault_storage.h"

namespace korvane {

class TfrmEnter : public TForm {
 public:
  explicit TfrmEnter(TApplication& app);
  ~TfrmEnter() override;

  TEdit edFolder;
  TEdit edPassword;
  TButton btnOpen;
  TButton btnBrowse;
  TButton btnCancel;
  TButton btnHelp;
  TImage imgLogo;

  std::string FolderPath;
  bool HashPresent = false;
  bool EscrowPresent = false;
  std::unique_ptr<vaultfs::TVaultStorage> Storage;
  TWorkflowOutcome Outcome = TWorkflowOutcome::woNone;
  // Files and folders of the last opening whose setuid or setgid bits were
  // not restored (ownership is not stored, so those bits never are).
  std::uint64_t DroppedSetIdBits = 0;
  // What ReadServiceRecords found: the layout, and for a hardened container
  // its public record. RecordProblem says why a key record that is there
  // cannot be used (empty otherwise).
  TContainerLayout Layout = TContainerLayout::clClassic;
  std::optional<TPublicRecord> PublicRecord;
  std::string RecordProblem;
  // The entries of a hardened container the last opening found damaged
  // (they were not restored under their names, and the container was kept).
  std::vector<TDamage> Damage;

  // Reads the service records of the container FolderArgument names: for
  // the classic layout the three records (service_records.h), for the
  // hardened one its public record (its escrow text, its size; hashText
  // stays empty: a hardened container keeps no hash of the password).
  // Returns HashPresent: whether the container can be opened with a
  // password.
  bool ReadServiceRecords(std::string& hashText, std::string& escrowText, std::string& sizeText);

  // For front-ends that hold the password already (korvane-cli, the fuzz
  // target): whether the window has anything to open (a folder name of its
  // own and a container with a password record; otherwise it has said why
  // or there is no container), and the person's part once it has: type the
  // password, press Open.
  bool CanOpen() const { return !FolderPath.empty() && btnOpen.Enabled; }
  void OpenWithPassword(const std::string& password);

  void btnOpenClick();
  // Mounts the container read-only (korvane-cli mount, with the password
  // through a pipe), shows the folder in the file manager and runs the
  // browse window until it closes; then this window closes too. A wrong
  // password is said as for Open, and nothing is mounted.
  void btnBrowseClick();
  void btnCancelClick();
  void btnHelpClick();
  void imgLogoClick();
  void edPasswordChange();
  void RemoveReplacedFolder(const std::string& path);

 protected:
  void FormShow() override;
};

}  // namespace korvane
