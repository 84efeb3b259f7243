#include "app/forms/enter_form.h"

#include <cerrno>
#include <charconv>
#include <system_error>

#include "app/forms/application.h"
#include "app/forms/globals.h"
#include "app/forms/other_forms.h"
#include "app/forms/progress_form.h"
#include "app/forms/request_form.h"
#include "app/forms/service_records.h"
#include "app/platform/platform.h"
#include "engine/volume/utf16.h"

namespace korvane {

TfrmEnter::TfrmEnter(TApplication& app)
    : TForm(app, "frmEnter", "Korvane: Open Folder"),
      edFolder(*this, "edFolder"),
      edPassword(*this, "edPassword"),
      btnOpen(*this, "btnOpen", "Open"),
      btnCancel(*this, "btnCancel", "Cancel"),
      btnHelp(*this, "btnHelp", "Help"),
      imgLogo(*this, "imgLogo") {
  HelpContext = 500;
  edFolder.ReadOnly = true;
  edPassword.Masked = true;
  btnOpen.Default = true;
  btnCancel.Cancel = true;
  imgLogo.Hint = "About...";
  edPassword.OnChange = [this] { edPasswordChange(); };
  btnOpen.OnClick = [this] { btnOpenClick(); };
  btnCancel.OnClick = [this] { btnCancelClick(); };
  btnHelp.OnClick = [this] { btnHelpClick(); };
  imgLogo.OnClick = [this] { imgLogoClick(); };
}

TfrmEnter::~TfrmEnter() = default;

namespace {

void NotAProtectedFolder(TfrmEnter& form) {
  form.MessageBox("Not a protected folder",
                  FormatText("\"%s\" is not a protected folder.\rThe name of a protected folder "
                             "ends in \"._zkvlk\".",
                             {form.App().FolderArgument}),
                  TMsgIcon::Stop);
}

}  // namespace

void TfrmEnter::FormShow() {
  Outcome = TWorkflowOutcome::woNone;
  FolderPath = ContainerPathToFolder(App().FolderArgument);
  edFolder.SetText(FolderPath);
  edPassword.Clear();
  btnOpen.Enabled = true;
  if (FolderPath.empty()) {
    // Without the suffix there is no folder to restore into: nothing may be
    // written anywhere (an empty destination would be the current folder).
    btnOpen.Enabled = false;
    NotAProtectedFolder(*this);
    return;
  }
  std::string hashText;
  std::string escrowText;
  std::string sizeText;
  if (!ReadServiceRecords(hashText, escrowText, sizeText)) btnOpen.Enabled = false;
}

bool TfrmEnter::ReadServiceRecords(std::string& hashText, std::string& escrowText,
                                   std::string& sizeText) {
  const std::string& container = App().FolderArgument;
  // No file, no container: the same as one that is not valid.
  if (!platform::FileExists(container)) {
    HashPresent = false;
    return false;
  }
  Storage = NewContainerStorage(container);
  Storage->SetReadOnly(true);
  struct Free {
    std::unique_ptr<vaultfs::TVaultStorage>& storage;
    ~Free() { storage.reset(); }
  } free{Storage};
  if (!Storage->IsValidStorage()) {
    HashPresent = false;
    return false;
  }
  Storage->Open(2);
  // Without a size record the container's own size stands in: it is about
  // what the folder needs (compression aside).
  sizeText = std::to_string(platform::GetFileSize64(container) / 1024);
  if (Storage->FileExists(kSizeRecord)) sizeText = ReadServiceRecord(*Storage, kSizeRecord);
  HashPresent = Storage->FileExists(kHashRecord);
  if (HashPresent) hashText = ReadServiceRecord(*Storage, kHashRecord);
  EscrowPresent = Storage->FileExists(kEscrowRecord);
  if (EscrowPresent) escrowText = ReadServiceRecord(*Storage, kEscrowRecord);
  Storage->Close();
  return HashPresent;
}

void TfrmEnter::btnCancelClick() {
  Close();
}

void TfrmEnter::btnHelpClick() {
  if (App().frmHelper) App().frmHelper->ShowHelp(500);
}

void TfrmEnter::imgLogoClick() {
  if (App().AboutForm) App().AboutForm->ShowModal();
}

void TfrmEnter::edPasswordChange() {
  if (edPassword.Text() != kAccessCode || !EscrowPresent) return;
  std::string hashText;
  std::string escrowText;
  std::string sizeText;
  if (ReadServiceRecords(hashText, escrowText, sizeText)) {
    App().frmRequest->EscrowText = escrowText;
    App().frmRequest->ShowModal();
  } else {
    MessageBox("Password cipher text not found",
               FormatText("Password restore data was not saved for folder \"%s\".\rIt is "
                          "impossible to recover your password.",
                          {edFolder.Text()}),
               TMsgIcon::Stop);
  }
}

namespace {

bool ParseInt32(const std::string& text, std::int64_t& value) {
  std::int32_t parsed = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, parsed);
  if (error != std::errc() || end != last || first == last) return false;
  value = parsed;
  return true;
}

bool SameHexIgnoringCase(const std::string& a, const std::string& b) {
  return UpperCase(a) == UpperCase(b);
}

}  // namespace

void TfrmEnter::btnOpenClick() {
  Outcome = TWorkflowOutcome::woNone;
  const std::string container = App().FolderArgument;
  if (FolderPath.empty()) {
    NotAProtectedFolder(*this);
    return;
  }
  std::string hashText;
  std::string escrowText;
  std::string sizeText;
  HashPresent = ReadServiceRecords(hashText, escrowText, sizeText);
  if (!HashPresent) return;

  std::int64_t needKB = 0;
  if (!ParseInt32(sizeText, needKB)) {
    needKB = static_cast<std::int64_t>(platform::GetFileSize64(container) / 1024);
  }
  platform::DiskSpace space;
  App().Environment().GetDiskFreeSpace(platform::ParentDirectory(container), space);
  const auto freeKB = static_cast<std::int64_t>(space.AvailableToCaller / 1024);
  if (freeKB < needKB + 1024) {
    MessageBox("Not enough free disk space",
               "Not enough free disk space to extract files from protected folder!\rPlease free up "
               "some disk space.",
               TMsgIcon::Stop);
    return;
  }

  const std::string password = edPassword.Text();
  if (!SameHexIgnoringCase(Md5Hex(password), hashText)) {
    MessageBox("Invalid password",
               "The password you have entered is not valid for this protected folder!\rPlease try "
               "again.",
               TMsgIcon::Stop);
    edPassword.Clear();
    return;
  }

  if (platform::IsDirectory(FolderPath)) {
    const TModalResult answer = MessageBox(
        "Folder already exists",
        FormatText("Folder \"%s\" already exists!\rIf you click OK it will be deleted and "
                   "overwritten.",
                   {FolderPath}),
        TMsgIcon::Exclamation, TMsgButtons::OkCancel);
    if (answer != mrOk) {
      Close();
      return;
    }
    if (platform::IsSymbolicLink(FolderPath)) {
      // The folder's name is a link to a folder elsewhere: the link goes,
      // never what it points to.
      platform::DeleteFile(FolderPath);
    } else {
      std::uint32_t ignored = 0;
      ScanFolder(FolderPath, "*.*", ignored, nullptr, true);
    }
  }

  TfrmProgress& progress = *App().frmProgress;
  Storage = NewContainerStorage(container);
  Storage->SetOnProgress(progress.ProgressHandler());
  Storage->SetReadOnly(true);

  struct CleanUp {
    TfrmEnter& form;
    ~CleanUp() {
      if (form.Storage) form.Storage->Close();
      form.App().frmProgress->Close();
      form.Storage.reset();
      form.GetUi().ShellOpen(form.FolderPath + "/");
      form.Close();
    }
  } cleanUp{*this};

  if (!Storage->IsValidStorage()) return;
  Storage->Open(2);
  progress.Show();
  Hide();
  GetUi().ProcessMessages();
  Storage->SetFilesEncryption(password.empty() ? vaultfs::ecNoEncryption
                                               : vaultfs::ecAES256_HMAC256);
  Storage->SetFilesPassword(vaultfs::Utf8ToUtf16(password));

  bool failed = false;
  try {
    Storage->ExportFiles(kDataFolder, u"*.*", 63, true, vaultfs::Utf8ToUtf16(FolderPath), 2);
    // The container may only go once the restored folder is on the disk.
    if (!progress.Cancelled && !platform::SyncTree(FolderPath)) {
      throw std::system_error(errno, std::generic_category(),
                              "Cannot flush \"" + FolderPath + "\" to disk");
    }
  } catch (const std::exception& e) {
    progress.Cancelled = true;
    failed = true;
    MessageBox(
        "Failed to unlock",
        FormatText("Korvane failed to restore folder \"%s\".", {edFolder.Text()}) + "\r" + e.what(),
        TMsgIcon::Stop);
  }
  Storage->Close();
  if (progress.Cancelled) {
    Outcome = failed ? TWorkflowOutcome::woFailed : TWorkflowOutcome::woCancelled;
    return;
  }
  ForceDeleteFile(container);
  platform::SyncDirectory(platform::ParentDirectory(container));
  Outcome = TWorkflowOutcome::woDone;
}

}  // namespace korvane
