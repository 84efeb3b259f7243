#include "korvane/forms/application.h"

#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "korvane/forms/browse_form.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/files_list_form.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/request_form.h"
#include "vaultfs/vault_error.h"

namespace korvane {

TApplication::TApplication(Ui& ui, TEnvironment environment)
    : ui_(&ui), environment_(std::move(environment)) {}

TApplication::~TApplication() = default;

void TApplication::ParseCommandLine(const std::vector<std::string>& args) {
  // Only the first two arguments after the program count; the verb is found
  // anywhere in the upper-cased first one ("x-PROTECTED" qualifies).
  ProtectMode = false;
  OpenMode = false;
  BrowseMode = false;
  FolderArgument.clear();
  if (args.size() >= 3) {
    const std::string verb = UpperCase(args[1]);
    ProtectMode = verb.find("-PROTECT") != std::string::npos;
    OpenMode = verb.find("-OPEN") != std::string::npos;
    BrowseMode = verb.find("-BROWSE") != std::string::npos;
  }
  if (ProtectMode || OpenMode || BrowseMode) FolderArgument = platform::AbsolutePath(args[2]);
}

void TApplication::CreateForms() {
  if (ProtectMode) {
    frmProtect = std::make_unique<TfrmProtect>(*this);
    frmProgress = std::make_unique<TfrmProgress>(*this);
    frmFilesList = std::make_unique<TfrmFilesList>(*this);
    AboutForm = std::make_unique<TAboutForm>(*this);
    frmHelper = std::make_unique<TfrmHelper>(*this);
    ErrorDialog = std::make_unique<TErrorDialog>(*this);
  } else if (OpenMode || BrowseMode) {
    frmEnter = std::make_unique<TfrmEnter>(*this);
    frmBrowse = std::make_unique<TfrmBrowse>(*this);
    frmProgress = std::make_unique<TfrmProgress>(*this);
    frmRequest = std::make_unique<TfrmRequest>(*this);
    AboutForm = std::make_unique<TAboutForm>(*this);
    frmHelper = std::make_unique<TfrmHelper>(*this);
  } else {
    frmSettings = std::make_unique<TfrmSettings>(*this);
    frmHelper = std::make_unique<TfrmHelper>(*this);
  }
}

namespace {

std::string WithSlash(const std::string& path) {
  if (!path.empty() && path.back() == '/') return path;
  return path + '/';
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool TApplication::RejectFolder() {
  // The windows of protect mode exist by now; the boxes are theirs.
  TForm& owner = *frmProtect;
  const std::string& folder = FolderArgument;
  if (folder.size() <= 3) {
    owner.MessageBox("Root folder cannot be protected", "You cannot protect the root folder!",
                     TMsgIcon::Exclamation);
    return true;
  }
  if (platform::FileExists(folder)) {
    owner.MessageBox("Korvane cannot protect a file",
                     FormatText("\"%s\" is a file. Korvane only protects folders.", {folder}),
                     TMsgIcon::Exclamation);
    return true;
  }
  // Paths are absolute here, so "inside" is a prefix test on whole
  // components: /usr and /usr/share are refused, /home/me/usr is not.
  const std::string upperFolder = UpperCase(WithSlash(folder));
  for (const std::string& system : environment_.SystemFolders) {
    if (StartsWith(upperFolder, UpperCase(WithSlash(system)))) {
      owner.MessageBox("System folder", "You cannot protect Windows folder or subfolder!",
                       TMsgIcon::Exclamation);
      return true;
    }
  }
  const std::string executable = UpperCase(environment_.ExecutablePath());
  if (StartsWith(executable, upperFolder)) {
    owner.MessageBox(
        "Application folder",
        FormatText(
            "You cannot protect folder \"%s\"\rbecause it contains Korvane application files!",
            {folder}),
        TMsgIcon::Exclamation);
    return true;
  }
  return false;
}

int TApplication::Run(const std::vector<std::string>& args) {
  ParseCommandLine(args);
  platform::RunLock runLock(kRunMutexName);
  CreateForms();
  if (ProtectMode) {
    if (RejectFolder()) return 0;
    if (!TerminateRequested) frmProtect->ShowModal();
  } else if (OpenMode || BrowseMode) {
    if (!TerminateRequested) frmEnter->ShowModal();
  } else {
    frmSettings->ShownAsMainWindow = true;
    if (!TerminateRequested) frmSettings->ShowModal();
  }
  runLock.Close();
  return 0;
}

void TApplication::HandleException(std::exception_ptr error) {
  std::string message;
  try {
    std::rethrow_exception(error);
  } catch (const vaultfs::EVaultError& e) {
    message = e.what();
  } catch (const std::system_error& e) {
    message = e.what();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error";
  }
  // The helper exists in every mode; one is made for a run that has not
  // created its windows (yet).
  const int countBefore = ErrorCount;
  std::string failure;
  try {
    if (!frmHelper) frmHelper = std::make_unique<TfrmHelper>(*this);
    frmHelper->ExceptionNotify(message);
    return;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "Unknown error";
  }
  // Showing the error failed as well (out of memory, say): the run goes on,
  // and the two messages are all that can still be told.
  if (ErrorCount == countBefore) ++ErrorCount;
  std::fprintf(stderr, "korvane: %s. (%s)\n", message.c_str(), failure.c_str());
}

void TApplication::Terminate() {
  TerminateRequested = true;
  // Work in progress stops at its next step through the progress window's
  // Cancel, whose window closes itself when that work has wound down.
  if (frmProgress && frmProgress->Visible()) frmProgress->Cancelled = true;
  TForm* const windows[] = {
      frmHelper ? frmHelper->frmCheckUpdates.get() : nullptr,
      frmSettings.get(),
      frmFilesList.get(),
      frmRequest.get(),
      AboutForm.get(),
      frmBrowse.get(),
      frmEnter.get(),
      frmProtect.get(),
  };
  for (TForm* window : windows) {
    if (window == nullptr || !window->Visible()) continue;
    if (!window->Close()) window->Hide();
  }
}

std::string TApplication::WorkflowContext() const {
  std::string text = "Mode: ";
  text +=
      ProtectMode ? "protect" : (OpenMode ? "open" : (BrowseMode ? "browse" : "update settings"));
  text += "\n";
  if (ProtectMode || OpenMode || BrowseMode) text += "Folder: " + FolderArgument + "\n";
  std::string open;
  const TForm* const windows[] = {
      frmProtect.get(),  frmEnter.get(),   frmBrowse.get(),
      frmProgress.get(), frmRequest.get(), frmFilesList.get(),
      frmSettings.get(), AboutForm.get(),  frmHelper ? frmHelper->frmCheckUpdates.get() : nullptr,
  };
  for (const TForm* window : windows) {
    if (window == nullptr || !window->Visible()) continue;
    open += (open.empty() ? "" : ", ") + window->Name;
  }
  text += "Open windows: " + (open.empty() ? std::string("none") : open) + "\n";
  return text;
}

}  // namespace korvane
