#include "korvane/forms/protect_form.h"

#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "korvane/forms/application.h"
#include "korvane/forms/container_compare.h"
#include "korvane/forms/container_layout.h"
#include "korvane/forms/container_seal.h"
#include "korvane/forms/files_list_form.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/hardened_escrow.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/recovery_escrow.h"
#include "korvane/forms/service_records.h"
#include "korvane/forms/update_settings.h"
#include "korvane/platform/platform.h"
#include "korvane/platform/staging.h"
#include "vaultfs/engine_api.h"
#include "vaultfs/utf16.h"

namespace korvane {

TfrmProtect::TfrmProtect(TApplication& app)
    : TForm(app, "frmProtect", "Korvane: Protect Folder"),
      edFolder(*this, "edFolder"),
      edPassword(*this, "edPassword"),
      edConfirm(*this, "edConfirm"),
      cbxCompression(*this, "cbxCompression", "Enable file compression"),
      cbxDontDelete(*this, "cbxDontDelete",
                    "Do not delete original files (just copy to protected folder)"),
      cbxEnablePassRestore(*this, "cbxEnablePassRestore", "Enable password recovery facility"),
      cbxClassic(*this, "cbxClassic", "Compatible with older versions (weaker protection)"),
      lbDetails(*this, "lbDetails", "More information..."),
      btnProtect(*this, "btnProtect", "Protect"),
      btnCancel(*this, "btnCancel", "Cancel"),
      btnHelp(*this, "btnHelp", "Help"),
      Button1(*this, "Button1", "View"),
      imgLogo(*this, "imgLogo") {
  HelpContext = 100;
  edFolder.ReadOnly = true;
  edPassword.Masked = true;
  edConfirm.Masked = true;
  lbDetails.IsLink = true;
  btnProtect.Default = true;
  btnCancel.Cancel = true;
  Button1.Visible = false;
  imgLogo.Hint = "About...";
  lbDetails.OnClick = [this] { lbDetailsClick(); };
  btnProtect.OnClick = [this] { btnProtectClick(); };
  btnCancel.OnClick = [this] { btnCancelClick(); };
  btnHelp.OnClick = [this] { btnHelpClick(); };
  Button1.OnClick = [this] { Button1Click(); };
  imgLogo.OnClick = [this] { imgLogoClick(); };
}

TfrmProtect::~TfrmProtect() = default;

void TfrmProtect::FormShow() {
  edFolder.SetText(App().FolderArgument);
  edPassword.Clear();
  edConfirm.Clear();
  cbxCompression.SetChecked(true);
  cbxDontDelete.SetChecked(false);
  cbxEnablePassRestore.SetChecked(true);
  cbxClassic.SetChecked(false);
  btnProtect.Enabled = true;
  Outcome = TWorkflowOutcome::woNone;
  FormActivate();
}

void TfrmProtect::FormActivate() {
  // Runs once per run: whether an update poll is due.
  if (activated_) return;
  activated_ = true;
  const double today = App().Environment().Today();
  double firstStart = ReadRegDate(kUpdateKey, "FirstStart", 0);
  const std::int32_t interval = ReadRegInteger(kUpdateKey, "PollInterval", 14);
  const bool autoPoll = (ReadRegInteger(kUpdateKey, "AutoPoll", 1) & 0xFF) != 0;
  // The first poll comes some days after the first protection, not with it.
  if (firstStart == 0) {
    firstStart = today - 3;
    WriteRegDate(kUpdateKey, "FirstStart", firstStart);
  }
  if (!autoPoll) return;
  const double lastPoll = ReadRegDate(kUpdateKey, "LastPoll", 0);
  const double reference = lastPoll != 0 ? lastPoll : firstStart;
  if (today - reference >= interval && App().frmHelper) App().frmHelper->CheckForUpdates();
}

void TfrmProtect::btnCancelClick() {
  Close();
}

void TfrmProtect::btnHelpClick() {
  if (App().frmHelper) App().frmHelper->ShowHelp(100);
}

void TfrmProtect::lbDetailsClick() {
  if (App().frmHelper) App().frmHelper->ShowHelp(110);
}

void TfrmProtect::imgLogoClick() {
  if (App().AboutForm) App().AboutForm->ShowModal();
}

void TfrmProtect::Button1Click() {
  TfrmFilesList* list = App().frmFilesList.get();
  if (list == nullptr) return;
  list->edFolder.SetText(edFolder.Text());
  list->ShowModal();
}

std::string TfrmProtect::EncryptPasswordForRecovery(const std::string& password,
                                                    const std::string& fallback) {
  return korvane::EncryptPasswordForRecovery(password, fallback, App().Environment().RecoveryKey());
}

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// A stop test for long walks outside the copy: lets pending input run (that
// is how Cancel, and SIGINT/SIGTERM in the command-line front-end, are seen)
// at most every few milliseconds, and says whether the work was cancelled.
class CancelPoll {
 public:
  explicit CancelPoll(TfrmProgress& progress) : progress_(progress) {}
  bool operator()() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ >= std::chrono::milliseconds(20)) {
      last_ = now;
      if (progress_.Visible()) progress_.GetUi().ProcessMessages();
    }
    return progress_.Cancelled;
  }

 private:
  TfrmProgress& progress_;
  std::chrono::steady_clock::time_point last_{};
};

// The first entries a removal kept, one per line, and how many there are.
std::string KeptLines(const platform::RemovalReport& report) {
  std::string text;
  for (const platform::KeptEntry& kept : report.Kept) {
    text += "\r" + (kept.RelativePath.empty() ? std::string(".") : kept.RelativePath);
    if (kept.Reason == platform::KeptReason::Declined) {
      text += " (changed or added since it was stored)";
    } else if (kept.Error != 0) {
      text += " (" + std::generic_category().message(kept.Error) + ")";
    }
  }
  if (report.KeptCount > report.Kept.size()) text += "\r...";
  return text;
}

}  // namespace

bool TfrmProtect::PasswordsAccepted(const std::string& password) {
  if (password != edConfirm.Text()) {
    MessageBox("Passwords don't match",
               "The password and confirmation password do not match.\rEnter the same text for "
               "both the password and confirmation.",
               TMsgIcon::Stop);
    edPassword.Clear();
    edConfirm.Clear();
    return false;
  }
  if (TextLength(password) < 4) {
    MessageBox("Password is too short",
               "Your password is too short.\rThe minimal length of the password is 4 symbols.",
               TMsgIcon::Exclamation);
    return false;
  }
  return true;
}

bool TfrmProtect::ReplacingAgreed(const std::string& folder, const std::string& container,
                                  platform::EntryIdentity& replaceable) {
  if (!platform::FileExists(container)) return true;
  const TModalResult answer = MessageBox(
      "Protected folder already exists",
      FormatText("Protected folder \"%s\" already exists!\rIf you click OK it will be deleted and "
                 "overwritten.",
                 {folder}),
      TMsgIcon::Exclamation, TMsgButtons::OkCancel);
  if (answer != mrOk) {
    Close();
    return false;
  }
  replaceable = platform::IdentityOf(container);
  return true;
}

bool TfrmProtect::FolderScanned(const std::string& folder, const std::string& container,
                                bool deleteFolder, std::uint64_t& folderSizeKB) {
  // Devices, FIFOs and sockets, mount points and entries this process
  // cannot remove are refused before anything is written.
  TfrmProgress& progress = *App().frmProgress;
  progress.Show();
  progress.ShowOperationText("Scanning folder " + folder);
  GetUi().ProcessMessages();
  CancelPoll poll(progress);
  platform::TreeCheckReport check;
  const bool checked =
      platform::CheckTreeForProtection(folder, deleteFolder, std::ref(poll), check);
  const bool cancelled = progress.Cancelled;
  progress.Hide();
  if (cancelled) {
    Outcome = TWorkflowOutcome::woCancelled;
    Close();
    return false;
  }
  if (!checked || platform::FolderHoldsPath(folder, container)) {
    const std::string reason =
        checked ? "The folder holds the place of its own protected folder." : check.First.Message;
    MessageBox(
        "Failed to lock",
        FormatText("Korvane failed to create protected folder \"%s\".", {folder}) + "\r" + reason,
        TMsgIcon::Stop);
    Outcome = TWorkflowOutcome::woFailed;
    Close();
    return false;
  }
  folderSizeKB = check.SizeKB;
  progress.SetWorkSize(check.Files, check.Bytes);
  return true;
}

bool TfrmProtect::EnoughDiskSpace(const std::string& folder, std::uint32_t sizeKB) {
  platform::DiskSpace space;
  App().Environment().GetDiskFreeSpace(folder, space);
  const std::uint64_t freeKB = space.AvailableToCaller / 1024;
  const std::uint64_t totalFreeKB = space.TotalFree / 1024;
  if (freeKB >= static_cast<std::uint64_t>(sizeKB) + 1024) return true;
  MessageBox("Not enough free disk space",
             FormatText("You have only %d KB available from total %d KB free disk space.\rTo "
                        "protect \"%s\" folder you need %d KB.",
                        {std::to_string(freeKB), std::to_string(totalFreeKB), folder,
                         std::to_string(sizeKB)}) +
                 "\r" +
                 "Not enough free disk space to create protected folder!\rPlease free up some "
                 "disk space.",
             TMsgIcon::Stop);
  return false;
}

void TfrmProtect::btnProtectClick() {
  Outcome = TWorkflowOutcome::woNone;
  const std::string folder = edFolder.Text();
  const std::string container = folder + kContainerSuffix;
  const std::string password = edPassword.Text();

  if (!PasswordsAccepted(password)) return;
  // What a killed run left beside the folder goes first.
  platform::RemoveStaleStagedEntries(container);
  // An existing container the person agrees to replace is replaced only by
  // a complete new one, in one rename at the end: until then it stays.
  platform::EntryIdentity replaceable;
  if (!ReplacingAgreed(folder, container, replaceable)) return;

  const bool deleteFolder = !cbxDontDelete.Checked();
  std::uint64_t folderSizeKB = 0;
  if (!FolderScanned(folder, container, deleteFolder, folderSizeKB)) return;
  // The size record counts in an unsigned 32-bit number, wrapping as it
  // always has.
  if (!EnoughDiskSpace(folder, static_cast<std::uint32_t>(folderSizeKB))) return;

  if (!cbxClassic.Checked() && cbxEnablePassRestore.Checked() &&
      password.size() >
          kHardenedEscrowBlockBytes * (MaxPublicEscrowSize(kContainerPageSize) / 512)) {
    MessageBox("Password recovery not possible",
               "Your password is too long to be kept for recovery.\rThe folder will be protected "
               "without the password recovery facility.",
               TMsgIcon::Exclamation);
  }

  // The container is written under a temporary name beside the folder
  // (made with O_EXCL, never through a link) and gets its name only when it
  // is complete, on the disk and compared with the folder.
  platform::StagedEntry staged;
  TStoredIdentities stored;

  // However the handler is left from here on: container closed, storage
  // freed, the window closed (which ends the program); an unfinished
  // container goes with `staged`.
  struct CleanUp {
    TfrmProtect& form;
    ~CleanUp() {
      if (form.Storage) form.Storage->Close();
      form.App().frmProgress->Close();
      form.Storage.reset();
      form.Close();
    }
  } cleanUp{*this};

  bool failed = false;
  WriteAndVerifyContainer(folder, container, password, folderSizeKB, replaceable, staged, stored,
                          failed);

  if (Storage) Storage->Close();
  if (App().frmProgress->Cancelled) {
    // The unfinished container never had its name: it goes, and whatever
    // stands at the container's name (an old container the person did not
    // get replaced, or anything else) stays as it is.
    staged.Remove();
    Outcome = failed ? TWorkflowOutcome::woFailed : TWorkflowOutcome::woCancelled;
    return;
  }
  Outcome = TWorkflowOutcome::woDone;
  if (deleteFolder) RemoveProtectedFolder(folder, stored);
}

void TfrmProtect::WriteAndVerifyContainer(const std::string& folder, const std::string& container,
                                          const std::string& password, std::uint64_t folderSizeKB,
                                          const platform::EntryIdentity& replaceable,
                                          platform::StagedEntry& staged, TStoredIdentities& stored,
                                          bool& failed) {
  TfrmProgress& progress = *App().frmProgress;
  const bool classic = cbxClassic.Checked();
  const bool withEscrow = cbxEnablePassRestore.Checked();
  const auto sizeKB = static_cast<std::uint32_t>(folderSizeKB);
  // Every failure from creating the container to reading it back is the
  // same for the person: "Failed to lock", the new container goes, the
  // folder stays as it was. Nothing of the folder is touched before the
  // container was closed whole, flushed to the disk and compared with it.
  try {
    staged = platform::StagedEntry::NewFile(container, platform::StagedKind::skContainer);
    // The hardened layout: a new master key, wrapped under the password's
    // Argon2id key in the public record; every password the engine gets is
    // a subkey of it, and the MAC key seals the tree.
    std::optional<TContainerAccess> access;
    TPublicRecord publicRecord;
    SecretBytes macKey;
    if (classic) {
      access.emplace(TContainerAccess::Classic(password));
    } else {
      progress.Show();
      progress.ShowOperationText("Preparing the key of " + container);
      GetUi().ProcessMessages();
      const KdfParameters parameters = ProtectParameters(App().Environment().ProtectKdf());
      const SecretBytes master = GenerateMasterKey();
      HardenedSubkeys keys = DeriveSubkeys(master);
      publicRecord.Record =
          CreateHardenedRecord(master, PasswordBytes(password), parameters, folderSizeKB);
      if (withEscrow) {
        publicRecord.EscrowText =
            EncryptPasswordForHardenedRecovery(password, App().Environment().HardenedRecoveryKey());
        if (publicRecord.EscrowText.size() > MaxPublicEscrowSize(kContainerPageSize))
          publicRecord.EscrowText.clear();
      }
      access.emplace(TContainerAccess::Hardened(keys));
      macKey = std::move(keys.MacKey);
    }
    Storage = access->NewStorage(staged.Path());
    Storage->SetOnProgress(progress.ProgressHandler());
    Storage->Open(1);
    // Nothing trusts the new container before it was closed without error,
    // flushed and read back: its commits may stay in memory meanwhile, and
    // a page many files change (their folder's) is written once, not per file.
    Storage->Call(vaultfs::StorageSetWriteBehind(Storage->Handle(), true));
    progress.Show();
    Hide();
    GetUi().ProcessMessages();

    if (classic) {
      const std::string hashText = Md5Hex(password);
      const std::string escrowText =
          withEscrow ? EncryptPasswordForRecovery(password, std::string()) : std::string();
      WriteServiceRecords(*Storage, sizeKB, hashText, withEscrow, escrowText);
    } else {
      WritePublicRecord(*Storage, publicRecord);
    }
    if (cbxCompression.Checked()) {
      Storage->SetCompression(vaultfs::crZLib);
      Storage->SetCompressionLevel(9);
    } else {
      Storage->SetCompression(vaultfs::crNoCompression);
      Storage->SetCompressionLevel(0);
    }
    Storage->ImportFiles(vaultfs::Utf8ToUtf16(folder), u"*.*", 63, true, kDataFolder, 2);

    std::optional<TManifest> manifest;
    if (!classic && !progress.Cancelled) {
      // The MACs are taken from what the container holds; the comparison
      // below then shows that it holds the folder.
      CancelPoll poll(progress);
      auto lastShown = std::chrono::steady_clock::time_point{};
      manifest =
          ComputeManifest(*Storage, kDataFolder, macKey, [&](const std::string& path) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastShown >= std::chrono::milliseconds(100)) {
              lastShown = now;
              progress.ShowOperationText("Sealing file " + path);
            }
            return !poll();
          });
      if (!manifest) {
        progress.Cancelled = true;
      } else {
        WriteManifest(*Storage, *manifest, macKey);
      }
    }

    if (!progress.Cancelled) {
      Storage->CloseChecked();
      if (!platform::SyncFile(staged.Path()))
        ThrowErrno("Cannot flush \"" + staged.Path() + "\" to disk");
      const bool compared = CompareContainerWithFolder(
          staged.Path(), folder, *access,
          [&progress](const std::string& name, std::uint64_t done, std::uint64_t total) {
            progress.ShowVerifying(name, done, total);
            return !progress.Cancelled;
          },
          &stored);
      if (!compared) progress.Cancelled = true;
    }
    if (manifest && !progress.Cancelled) {
      // Opening restores nothing unless the list of entries verifies: it
      // must read back as it was written before the folder may go.
      const std::unique_ptr<vaultfs::TVaultStorage> readBack = access->OpenForReading(staged.Path());
      const std::optional<TManifest> readManifest = ReadManifest(*readBack, macKey);
      readBack->Close();
      if (!readManifest || !CompareManifests(*manifest, *readManifest).empty())
        throw std::runtime_error("The list of entries of \"" + container +
                                 "\" did not read back as it was written.");
    }
    if (!progress.Cancelled) {
      staged.Commit(container, replaceable);
      if (!platform::SyncDirectory(platform::ParentDirectory(container))) {
        ThrowErrno("Cannot flush the folder of \"" + container + "\" to disk");
      }
    }
  } catch (const std::exception& e) {
    progress.Cancelled = true;
    failed = true;
    MessageBox(
        "Failed to lock",
        FormatText("Korvane failed to create protected folder \"%s\".", {folder}) + "\r" + e.what(),
        TMsgIcon::Stop);
  }
}

void TfrmProtect::RemoveProtectedFolder(const std::string& folder,
                                        const TStoredIdentities& stored) {
  TfrmProgress& progress = *App().frmProgress;
  progress.ShowOperationText("Removing folder " + folder);
  CancelPoll poll(progress);
  platform::RemovalReport report;
  // Only what was stored and is still the same file goes: a file changed
  // or added since it was read back is kept, as is anything that cannot be
  // removed, and the person is told.
  const bool gone = platform::RemoveTree(
      folder,
      [&stored](const std::string& relativePath, const platform::EntryFacts& facts) {
        return stored.Matches(relativePath, facts);
      },
      report, std::ref(poll));
  if (gone) return;
  const bool cancelled = progress.Cancelled || report.Stopped;
  Outcome = cancelled ? TWorkflowOutcome::woCancelled : TWorkflowOutcome::woFailed;
  if (cancelled) {
    MessageBox("Removal cancelled",
               FormatText("The protected folder \"%s\" is complete. Removing the folder \"%s\" "
                          "was cancelled: what was not removed yet is still there.",
                          {folder + kContainerSuffix, folder}),
               TMsgIcon::Exclamation);
    return;
  }
  MessageBox("Folder not removed completely",
             FormatText("The protected folder \"%s\" is complete, but %d entries of the folder "
                        "\"%s\" were not removed:",
                        {folder + kContainerSuffix, std::to_string(report.KeptCount), folder}) +
                 KeptLines(report),
             TMsgIcon::Exclamation);
}

}  // namespace korvane
