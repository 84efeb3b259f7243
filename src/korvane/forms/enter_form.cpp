#include "korvane/forms/enter_form.h"

#include <cerrno>
#include <charconv>
#include <system_error>

#include "korvane/forms/application.h"
#include "korvane/forms/browse_form.h"
#include "korvane/forms/container_layout.h"
#include "korvane/forms/container_seal.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/request_form.h"
#include "korvane/forms/service_records.h"
#include "korvane/platform/browse_mount.h"
#include "korvane/platform/platform.h"
#include "korvane/platform/staging.h"
#include "vaultfs/utf16.h"

namespace korvane {

TfrmEnter::TfrmEnter(TApplication& app)
    : TForm(app, "frmEnter", "Korvane: Open Folder"),
      edFolder(*this, "edFolder"),
      edPassword(*this, "edPassword"),
      btnOpen(*this, "btnOpen", "Open"),
      btnBrowse(*this, "btnBrowse", "Browse"),
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
  btnBrowse.Hint = "Show the folder read-only, without restoring it";
  btnBrowse.OnClick = [this] { btnBrowseClick(); };
  btnCancel.OnClick = [this] { btnCancelClick(); };
  btnHelp.OnClick = [this] { btnHelpClick(); };
  imgLogo.OnClick = [this] { imgLogoClick(); };
}

TfrmEnter::~TfrmEnter() = default;

namespace {

void NotAProtectedFolder(TfrmEnter& form) {
  form.MessageBox("Not a protected folder", ContainerPathProblem(form.App().FolderArgument),
                  TMsgIcon::Stop);
}

// A folder that holds the container (through a link or a mount on the way)
// would be replaced with the container in it.
bool RefuseFolderHoldingContainer(TfrmEnter& form) {
  if (!platform::FolderHoldsPath(form.FolderPath, form.App().FolderArgument)) return false;
  form.MessageBox("Not a protected folder",
                  FormatText("The folder \"%s\" holds the protected folder \"%s\" itself.\rIt "
                             "cannot be restored in its own place.",
                             {form.FolderPath, form.App().FolderArgument}),
                  TMsgIcon::Stop);
  return true;
}

void InvalidPassword(TfrmEnter& form) {
  form.MessageBox("Invalid password",
                  "The password you have entered is not valid for this protected folder!\rPlease "
                  "try again.",
                  TMsgIcon::Stop);
  form.edPassword.Clear();
}

}  // namespace

void TfrmEnter::FormShow() {
  Outcome = TWorkflowOutcome::woNone;
  FolderPath = ContainerPathToFolder(App().FolderArgument);
  edFolder.SetText(FolderPath);
  edPassword.Clear();
  btnOpen.Enabled = true;
  btnBrowse.Enabled = true;
  // Started to browse: Enter browses.
  const bool browsing = App().BrowseMode && !App().OpenMode;
  Caption = browsing ? "Korvane: Browse Folder" : "Korvane: Open Folder";
  btnOpen.Default = !browsing;
  btnBrowse.Default = browsing;
  if (FolderPath.empty()) {
    // Without a folder name of its own there is nothing to restore into:
    // nothing may be written anywhere (an empty destination would be the
    // current folder, "." or ".." the folder holding the container).
    btnOpen.Enabled = false;
    btnBrowse.Enabled = false;
    NotAProtectedFolder(*this);
    return;
  }
  if (RefuseFolderHoldingContainer(*this)) {
    btnOpen.Enabled = false;
    return;
  }
  std::string hashText;
  std::string escrowText;
  std::string sizeText;
  if (!ReadServiceRecords(hashText, escrowText, sizeText)) {
    btnOpen.Enabled = false;
    btnBrowse.Enabled = false;
    if (!RecordProblem.empty())
      MessageBox("Not a protected folder",
                 FormatText("\"%s\" cannot be opened.", {App().FolderArgument}) + "\r" +
                     RecordProblem,
                 TMsgIcon::Stop);
  }
}

bool TfrmEnter::ReadServiceRecords(std::string& hashText, std::string& escrowText,
                                   std::string& sizeText) {
  const std::string& container = App().FolderArgument;
  // No file, no container: the same as one that is not valid.
  if (!platform::FileExists(container)) {
    HashPresent = false;
    return false;
  }
  // Opened without a password first: a hardened container shows its public
  // record, and nothing else, to anyone.
  Storage = NewLockedContainerStorage(container);
  Storage->SetReadOnly(true);
  struct Free {
    std::unique_ptr<vaultfs::TVaultStorage>& storage;
    ~Free() { storage.reset(); }
  } free{Storage};
  RecordProblem.clear();
  PublicRecord.reset();
  HashPresent = false;
  EscrowPresent = false;
  if (!Storage->IsValidStorage()) return false;
  Storage->Open(2);
  try {
    PublicRecord = ReadPublicRecord(*Storage);
  } catch (const HardenedKeyError& error) {
    RecordProblem = error.what();
    Storage->Close();
    return false;
  }
  if (PublicRecord) {
    Layout = TContainerLayout::clHardened;
    hashText.clear();
    escrowText = PublicRecord->EscrowText;
    EscrowPresent = !escrowText.empty();
    sizeText = std::to_string(PublicRecord->Record.SizeKB);
    HashPresent = true;
    Storage->Close();
    return true;
  }
  Layout = TContainerLayout::clClassic;
  // The classic layout's fixed storage password; a container it does not
  // open holds no classic records.
  try {
    Storage->SupplyStoragePassword(vaultfs::Utf8ToUtf16(kStoragePasswordText));
  } catch (const vaultfs::EVaultError&) {
    Storage->Close();
    return false;
  }
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

void TfrmEnter::OpenWithPassword(const std::string& password) {
  edPassword.SetText(password);
  // The access code of the recovery request opens its window, which has
  // closed again by now; then comes the Open click as for any text.
  if (Visible()) btnOpen.Click();
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

// The files (and links) under `folder` of the container and the bytes of
// the files, for the progress figures. A part that cannot be listed is left
// out: the restore reports it on its own.
void CountContainerTree(vaultfs::TVaultStorage& storage, const std::u16string& folder,
                        std::uint64_t& files, std::uint64_t& bytes) {
  std::vector<std::u16string> folders;
  vaultfs::TVaultSearchRec search;
  try {
    for (bool found = storage.FindFirst(search, folder + u"*.*", 0xFFFFFFFFu); found;
         found = storage.FindNext(search)) {
      if (search.Attributes & vaultfs::attrDirectory) {
        folders.push_back(folder + search.Name + storage.PathSeparator());
      } else {
        ++files;
        if (!(search.Attributes & vaultfs::attrSymLink)) bytes += search.Size;
      }
    }
  } catch (const vaultfs::EVaultError&) {
  }
  try {
    storage.FindClose(search);
  } catch (const vaultfs::EVaultError&) {
  }
  for (const std::u16string& inner : folders) CountContainerTree(storage, inner, files, bytes);
}

// A size record is a count of KB: a negative one is no count, like text.
bool ParseSizeRecord(const std::string& text, std::int64_t& value) {
  std::int64_t parsed = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, parsed);
  if (error != std::errc() || end != last || first == last || parsed < 0) return false;
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
  if (RefuseFolderHoldingContainer(*this)) return;
  std::string hashText;
  std::string escrowText;
  std::string sizeText;
  HashPresent = ReadServiceRecords(hashText, escrowText, sizeText);
  if (!HashPresent) return;

  // The record is only a first estimate: the export itself refuses a tree
  // whose files would not fit, before it writes anything.
  std::int64_t needKB = 0;
  if (!ParseSizeRecord(sizeText, needKB)) {
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
  // Classic: the MD5 record. Hardened: the master key unwraps only under
  // the key of the right password, after the full derivation.
  std::optional<TContainerAccess> access;
  SecretBytes macKey;
  bool valid = false;
  if (Layout == TContainerLayout::clHardened && PublicRecord) {
    std::optional<SecretBytes> master;
    try {
      master = OpenHardenedRecord(PublicRecord->Record, PasswordBytes(password));
    } catch (const HardenedKeyError& error) {
      MessageBox("Failed to unlock",
                 FormatText("Korvane failed to restore folder \"%s\".", {edFolder.Text()}) +
                     "\r" + error.what(),
                 TMsgIcon::Stop);
      Outcome = TWorkflowOutcome::woFailed;
      return;
    }
    if (master) {
      HardenedSubkeys keys = DeriveSubkeys(*master);
      access.emplace(TContainerAccess::Hardened(keys));
      macKey = std::move(keys.MacKey);
      valid = true;
    }
  } else {
    valid = SameHexIgnoringCase(Md5Hex(password), hashText);
    if (valid) access.emplace(TContainerAccess::Classic(password));
  }
  if (!valid) {
    InvalidPassword(*this);
    return;
  }

  // What a killed run left beside the folder goes first.
  platform::RemoveStaleStagedEntries(FolderPath);

  // The folder is restored under a temporary name beside its place and put
  // there in one step once it is complete and on the disk: an existing
  // folder is replaced only then, and a failure or a cancel leaves both the
  // old folder and the container as they were.
  const platform::EntryIdentity existing = platform::IdentityOf(FolderPath);
  if (existing.Exists) {
    if (!platform::IsDirectory(FolderPath)) {
      // A file or a dangling link: nothing the question below is about, and
      // never a way to send the restore somewhere else.
      MessageBox(
          "Failed to unlock",
          FormatText("Korvane failed to restore folder \"%s\".", {edFolder.Text()}) + "\r" +
              FormatText("\"%s\" exists and is not a folder; it was left as it is.", {FolderPath}),
          TMsgIcon::Stop);
      Outcome = TWorkflowOutcome::woFailed;
      Close();
      return;
    }
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
  }

  TfrmProgress& progress = *App().frmProgress;
  Storage = access->NewStorage(container);
  Storage->SetOnProgress(progress.ProgressHandler());
  Storage->SetReadOnly(true);
  Damage.clear();

  platform::StagedEntry restore;
  struct CleanUp {
    TfrmEnter& form;
    platform::StagedEntry& restore;
    ~CleanUp() {
      if (form.Storage) form.Storage->Close();
      // A restore that did not get into place goes again.
      restore.Remove();
      form.App().frmProgress->Close();
      form.Storage.reset();
      form.GetUi().ShellOpen(form.FolderPath + "/");
      form.Close();
    }
  } cleanUp{*this, restore};

  if (!Storage->IsValidStorage()) return;
  Storage->Open(2);
  {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    CountContainerTree(*Storage, kDataFolder, files, bytes);
    progress.SetWorkSize(files, bytes);
  }
  progress.Show();
  Hide();
  GetUi().ProcessMessages();

  bool failed = false;
  std::string replacedPath;
  std::optional<TManifest> manifest;
  std::optional<TManifestCheck> check;
  try {
    if (access->Layout() == TContainerLayout::clHardened) {
      // The list of entries must verify before anything is restored: it is
      // what every restored entry is checked against.
      manifest = ReadManifest(*Storage, macKey);
      if (!manifest) {
        throw std::runtime_error(
            "The protected folder is damaged: its list of entries is missing or does not "
            "verify. Nothing was restored and the protected folder was kept.");
      }
      check.emplace(*manifest, macKey, kDataFolder);
      Storage->SetExportCheck(&*check);
    }
    restore = platform::StagedEntry::NewFolder(FolderPath, platform::StagedKind::skRestore);
    Storage->ExportFiles(kDataFolder, u"*.*", 63, true, vaultfs::Utf8ToUtf16(restore.Path()), 2);
    Storage->SetExportCheck(nullptr);
    DroppedSetIdBits = Storage->ExportDroppedSetIdBits();
    if (check) Damage = check->Damage();
    // The container may only go once the restored folder is on the disk.
    if (!progress.Cancelled) {
      if (!platform::SyncTree(restore.Path())) {
        throw std::system_error(errno, std::generic_category(),
                                "Cannot flush \"" + restore.Path() + "\" to disk");
      }
      if (existing.Exists) {
        replacedPath = restore.CommitReplacing(FolderPath, existing);
      } else {
        restore.Commit(FolderPath);
      }
      if (!platform::SyncDirectory(platform::ParentDirectory(FolderPath))) {
        throw std::system_error(errno, std::generic_category(),
                                "Cannot flush the folder of \"" + FolderPath + "\" to disk");
      }
    }
  } catch (const std::exception& e) {
    progress.Cancelled = true;
    failed = true;
    MessageBox(
        "Failed to unlock",
        FormatText("Korvane failed to restore folder \"%s\".", {edFolder.Text()}) + "\r" + e.what(),
        TMsgIcon::Stop);
  }
  Storage->SetExportCheck(nullptr);
  Storage->Close();
  if (progress.Cancelled) {
    Outcome = failed ? TWorkflowOutcome::woFailed : TWorkflowOutcome::woCancelled;
    return;
  }
  if (!Damage.empty()) {
    // What verified is restored; what did not is named, and the container
    // stays for another try or a repair.
    Outcome = TWorkflowOutcome::woFailed;
    if (!replacedPath.empty()) RemoveReplacedFolder(replacedPath);
    MessageBox("Failed to unlock",
               FormatText("Korvane restored folder \"%s\", but %d entries of the protected "
                          "folder are damaged and were not restored:",
                          {edFolder.Text(), std::to_string(Damage.size())}) +
                   DamageList(Damage) + "\r" +
                   FormatText("The protected folder \"%s\" was kept.", {container}),
               TMsgIcon::Stop);
    return;
  }
  const bool containerRemoved = ForceDeleteFile(container);
  const int removeError = errno;
  platform::SyncDirectory(platform::ParentDirectory(container));
  Outcome = TWorkflowOutcome::woDone;
  if (!containerRemoved) {
    // The folder is back whole; the container is only a copy too many now,
    // but the person must know it is still there, and why.
    MessageBox("Protected folder not removed",
               FormatText("The folder \"%s\" was restored, but the protected folder \"%s\" "
                          "could not be removed: %s.",
                          {FolderPath, container, std::generic_category().message(removeError)}),
               TMsgIcon::Exclamation);
  }
  if (!replacedPath.empty()) RemoveReplacedFolder(replacedPath);
  if (DroppedSetIdBits > 0) {
    // Ownership is not stored: such a bit on a file now owned by whoever
    // opens would hand out their rights.
    MessageBox("Permissions not restored",
               FormatText("%d files or folders had setuid or setgid bits, which were not "
                          "restored: a protected folder does not keep who owned them.",
                          {std::to_string(DroppedSetIdBits)}),
               TMsgIcon::Exclamation);
  }
}

void TfrmEnter::btnBrowseClick() {
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

  auto failed = [this](const std::string& why) {
    MessageBox("Failed to browse",
               FormatText("Korvane failed to show folder \"%s\" for browsing.", {edFolder.Text()}) +
                   "\r" + why,
               TMsgIcon::Stop);
    Outcome = TWorkflowOutcome::woFailed;
  };
  const std::string tool = App().Environment().BrowseTool();
  if (tool.empty()) {
    failed("korvane-cli, which makes the mount, is neither beside the program nor on the PATH.");
    return;
  }
  std::string root;
  std::string error;
  if (!platform::BrowseRoot(root, error)) {
    failed(error);
    return;
  }
  auto mount = std::make_unique<platform::BrowseMount>();
  if (!mount->Start(tool, root, container, platform::BrowseName(FolderPath), edPassword.Text(),
                    error)) {
    failed(error);
    return;
  }
  // The key derivation and the tree's first read take a while: the window
  // stays responsive, and closing it gives the browse up.
  btnOpen.Enabled = false;
  btnBrowse.Enabled = false;
  GetUi().FormChanged(*this);
  while (mount->Wait(50) == platform::BrowseMount::State::Starting && Visible())
    GetUi().ProcessMessages();
  btnOpen.Enabled = true;
  btnBrowse.Enabled = true;
  if (!Visible()) {
    mount->End();
    return;
  }
  GetUi().FormChanged(*this);
  if (mount->GetState() != platform::BrowseMount::State::Mounted) {
    // korvane-cli's status for a password that does not open the container.
    constexpr int kWrongPasswordStatus = 4;
    if (mount->ExitStatus() == kWrongPasswordStatus) {
      InvalidPassword(*this);
      return;
    }
    failed(mount->Messages().empty() ? "The mount ended without a word." : mount->Messages());
    return;
  }

  GetUi().ShellOpen(mount->Folder());
  TfrmBrowse& browse = *App().frmBrowse;
  browse.Mount = std::move(mount);
  Hide();
  browse.ShowModal();
  // A front-end that gave up on the window leaves the browse running: it
  // ends here, detached if it must be.
  if (browse.Mount) {
    browse.Mount->End();
    browse.Mount.reset();
  }
  Close();
}

void TfrmEnter::RemoveReplacedFolder(const std::string& path) {
  // The old folder the person agreed to replace, now beside the restored
  // one under a temporary name. What cannot be removed is said, not hidden.
  if (platform::ShellDeleteTree(path)) return;
  MessageBox("Folder not removed completely",
             FormatText("The folder \"%s\" was restored. Parts of the folder it replaced could "
                        "not be removed and are left in \"%s\".",
                        {FolderPath, path}),
             TMsgIcon::Exclamation);
}

}  // namespace korvane
