// The program's start: the run mode from the command line, the named run
// lock, the windows of the mode in their fixed order, the refusal of folders
// that must never be protected, and the one place where errors escaping a
// window handler end up.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/forms/recovery_escrow.h"
#include "app/forms/ui.h"
#include "app/platform/platform.h"

namespace korvane {

class TfrmProtect;
class TfrmEnter;
class TfrmProgress;
class TfrmRequest;
class TfrmFilesList;
class TfrmSettings;
class TfrmHelper;
class TAboutForm;
class TErrorDialog;

// The machine facts the windows ask about; tests replace them.
struct TEnvironment {
  std::function<bool(const std::string& path, platform::DiskSpace& space)> GetDiskFreeSpace =
      platform::GetDiskFreeSpace;
  std::function<std::string()> ExecutablePath = platform::ExecutablePath;
  // Stand-ins of the Windows folder (see platform::SystemFolders).
  std::vector<std::string> SystemFolders = platform::SystemFolders();
  std::function<RecoveryPublicKey()> RecoveryKey = [] { return LoadRecoveryKey(); };
  std::function<std::string()> SupportAddress = [] { return korvane::SupportAddress(); };
};

class TApplication {
 public:
  explicit TApplication(Ui& ui, TEnvironment environment = {});
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  // The whole run for a command line (args[0] is the program): mode,
  // FolderArgument, run lock, windows of the mode, RejectFolder in protect
  // mode, then the main window until it closes. Returns the exit status (0,
  // as the desktop program always ends).
  int Run(const std::vector<std::string>& args);

  // Start-up steps, also used by tests one at a time.
  // Sets ProtectMode / OpenMode / FolderArgument from the arguments (args[0]
  // is the program). FolderArgument is the second argument made absolute
  // (platform::AbsolutePath: trailing slashes dropped, relative paths taken
  // from the current directory), so that "._zkvlk" is appended beside the
  // folder, never inside it; an empty argument stays empty.
  void ParseCommandLine(const std::vector<std::string>& args);
  // Creates the windows of the mode, hidden, in the designed order.
  void CreateForms();
  // True (after its one message) when FolderArgument must not be protected.
  bool RejectFolder();

  // Errors escaping a window handler: shown in the error dialog; the run
  // goes on (the workflows have already cleaned up).
  void HandleException(std::exception_ptr error);

  Ui& GetUi() const { return *ui_; }
  const TEnvironment& Environment() const { return environment_; }

  // The process-wide values of the command line.
  bool ProtectMode = false;
  bool OpenMode = false;
  std::string FolderArgument;
  std::string Title = "Korvane";
  // How many errors reached HandleException during the run.
  int ErrorCount = 0;

  // The windows (those of the current mode exist after CreateForms).
  std::unique_ptr<TfrmProtect> frmProtect;
  std::unique_ptr<TfrmEnter> frmEnter;
  std::unique_ptr<TfrmProgress> frmProgress;
  std::unique_ptr<TfrmRequest> frmRequest;
  std::unique_ptr<TfrmFilesList> frmFilesList;
  std::unique_ptr<TfrmSettings> frmSettings;
  std::unique_ptr<TfrmHelper> frmHelper;
  std::unique_ptr<TAboutForm> AboutForm;
  std::unique_ptr<TErrorDialog> ErrorDialog;

 private:
  Ui* ui_;
  TEnvironment environment_;
};

}  // namespace korvane
