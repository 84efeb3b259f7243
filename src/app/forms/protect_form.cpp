#include "app/forms/protect_form.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "app/forms/application.h"
#include "app/forms/container_compare.h"
#include "app/forms/files_list_form.h"
#include "app/forms/globals.h"
#include "app/forms/other_forms.h"
#include "app/forms/progress_form.h"
#include "app/forms/recovery_escrow.h"
#include "app/forms/service_records.h"
#include "app/forms/update_settings.h"
#include "app/platform/platform.h"
#include "engine/volume/utf16.h"

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

}  // namespace

void TfrmProtect::btnProtectClick() {
  Outcome = TWorkflowOutcome::woNone;
  const std::string folder = edFolder.Text();
  const std::string container = folder + kContainerSuffix;
  const std::string password = edPassword.Text();

  if (password != edConfirm.Text()) {
    MessageBox("Passwords don't match",
               "The password and confirmation password do not match.\rEnter the same text for "
               "both the password and confirmation.",
               TMsgIcon::Stop);
    edPassword.Clear();
    edConfirm.Clear();
    return;
  }
  if (TextLength(password) < 4) {
    MessageBox("Password is too short",
               "Your password is too short.\rThe minimal length of the password is 4 symbols.",
               TMsgIcon::Exclamation);
    return;
  }
  if (platform::FileExists(container)) {
    const TModalResult answer = MessageBox(
        "Protected folder already exists",
        FormatText(
            "Protected folder \"%s\" already exists!\rIf you click OK it will be deleted and "
            "overwritten.",
            {folder}),
        TMsgIcon::Exclamation, TMsgButtons::OkCancel);
    if (answer != mrOk) {
      Close();
      return;
    }
    ForceDeleteFile(container);
  }

  std::uint32_t sizeKB = 0;
  ScanFolder(folder, "*.*", sizeKB, nullptr, false);
  platform::DiskSpace space;
  App().Environment().GetDiskFreeSpace(folder, space);
  const std::uint64_t freeKB = space.AvailableToCaller / 1024;
  const std::uint64_t totalFreeKB = space.TotalFree / 1024;
  if (freeKB < static_cast<std::uint64_t>(sizeKB) + 1024) {
    MessageBox("Not enough free disk space",
               FormatText("You have only %d KB available from total %d KB free disk space.\rTo "
                          "protect \"%s\" folder you need %d KB.",
                          {std::to_string(freeKB), std::to_string(totalFreeKB), folder,
                           std::to_string(sizeKB)}) +
                   "\r" +
                   "Not enough free disk space to create protected folder!\rPlease free up some "
                   "disk space.",
               TMsgIcon::Stop);
    return;
  }

  TfrmProgress& progress = *App().frmProgress;
  Storage = NewContainerStorage(container);
  Storage->SetOnProgress(progress.ProgressHandler());

  // However the handler is left from here on: container closed, storage
  // freed, the window closed (which ends the program).
  struct CleanUp {
    TfrmProtect& form;
    ~CleanUp() {
      if (form.Storage) form.Storage->Close();
      form.App().frmProgress->Close();
      form.Storage.reset();
      form.Close();
    }
  } cleanUp{*this};

  // Every failure from creating the container to reading it back is the
  // same for the person: "Failed to lock", the new container goes, the
  // folder stays as it was. Nothing of the folder is touched before the
  // container was closed whole, flushed to the disk and compared with it.
  bool failed = false;
  try {
    Storage->Open(1);
    progress.Show();
    Hide();
    GetUi().ProcessMessages();
    Storage->SetCompression(vaultfs::crNoCompression);

    const std::string hashText = Md5Hex(password);
    const bool withEscrow = cbxEnablePassRestore.Checked();
    const std::string escrowText =
        withEscrow ? EncryptPasswordForRecovery(password, std::string()) : std::string();
    WriteServiceRecords(*Storage, folder, sizeKB, hashText, withEscrow, escrowText);

    if (!password.empty()) {
      Storage->SetFilesEncryption(vaultfs::ecAES256_HMAC256);
      Storage->SetFilesPassword(vaultfs::Utf8ToUtf16(password));
    }
    if (cbxCompression.Checked()) {
      Storage->SetCompression(vaultfs::crZLib);
      Storage->SetCompressionLevel(9);
    } else {
      Storage->SetCompression(vaultfs::crNoCompression);
      Storage->SetCompressionLevel(0);
    }
    Storage->ImportFiles(vaultfs::Utf8ToUtf16(folder), u"*.*", 63, true, kDataFolder, 2);

    if (!progress.Cancelled) {
      Storage->CloseChecked();
      if (!platform::SyncFile(container)) ThrowErrno("Cannot flush \"" + container + "\" to disk");
      if (!platform::SyncDirectory(platform::ParentDirectory(container))) {
        ThrowErrno("Cannot flush the folder of \"" + container + "\" to disk");
      }
      const bool compared = CompareContainerWithFolder(
          container, folder, password,
          [&progress](const std::string& name, std::uint64_t done, std::uint64_t total) {
            progress.ShowOperationText("Verifying file " + name);
            // The bar counts in KB so that folders beyond 4 GB still fit.
            progress.barProgress.Max = static_cast<std::uint32_t>(total / 1024);
            progress.barProgress.Position = static_cast<std::uint32_t>(done / 1024);
            progress.GetUi().FormChanged(progress);
            if (progress.Visible()) progress.GetUi().ProcessMessages();
            return !progress.Cancelled;
          });
      if (!compared) progress.Cancelled = true;
    }
  } catch (const std::exception& e) {
    progress.Cancelled = true;
    failed = true;
    MessageBox(
        "Failed to lock",
        FormatText("Korvane failed to create protected folder \"%s\".", {folder}) + "\r" + e.what(),
        TMsgIcon::Stop);
  }

  Storage->Close();
  if (progress.Cancelled) {
    // Nothing stood at this path before Open (an old container was removed
    // above with the person's consent), so whatever is there now is ours.
    ForceDeleteFile(container);
    platform::SyncDirectory(platform::ParentDirectory(container));
    Outcome = failed ? TWorkflowOutcome::woFailed : TWorkflowOutcome::woCancelled;
    return;
  }
  if (!cbxDontDelete.Checked()) {
    std::uint32_t ignored = 0;
    ScanFolder(folder, "*.*", ignored, nullptr, true);
    platform::ShellDeleteTree(folder);
  }
  Outcome = TWorkflowOutcome::woDone;
}

}  // namespace korvane
