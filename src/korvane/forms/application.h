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

#include "korvane/forms/hardened_escrow.h"
#include "korvane/forms/recovery_escrow.h"
#include "korvane/forms/ui.h"
#include "korvane/forms/update_settings.h"
#include "korvane/keys/hardened_keys.h"
#include "korvane/platform/browse_mount.h"
#include "korvane/platform/platform.h"

namespace korvane {

class TfrmProtect;
class TfrmEnter;
class TfrmBrowse;
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
  // The 3072-bit key of the hardened layout's escrow, as PEM text.
  std::function<std::string()> HardenedRecoveryKey = [] { return LoadHardenedRecoveryKey(); };
  // The key-derivation cost of a new hardened container: calibrated to about
  // a second on this machine unless the front-end was told otherwise. Never
  // below the floor (ProtectParameters raises whatever comes from here).
  std::function<KdfParameters()> ProtectKdf = [] { return CalibrateKdf(1.0); };
  std::function<std::string()> SupportAddress = [] { return korvane::SupportAddress(); };
  // Today's local date, whole days since 1899-12-30.
  std::function<double()> Today = LocalToday;
  // The update check page and the language it is told.
  std::function<std::string()> CheckUrl = [] { return UpdateCheckUrl(); };
  std::function<std::string()> LanguageId = [] { return UserLanguageId(); };
  // The korvane-cli that makes a browse's mount: beside the program, else on
  // the PATH; empty when there is none.
  std::function<std::string()> BrowseTool = [] {
    return platform::FindBrowseTool(platform::ExecutablePath());
  };
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
  // Sets ProtectMode / OpenMode / BrowseMode / FolderArgument from the
  // arguments (args[0]
  // is the program). FolderArgument is the second argument made absolute
  // (platform::AbsolutePath: trailing slashes dropped, relative paths taken
  // from the current directory), so that "._zkvlk" is appended beside the
  // folder, never inside it; an empty argument stays empty.
  void ParseCommandLine(const std::vector<std::string>& args);
  // Creates the windows of the mode, hidden, in the designed order.
  void CreateForms();
  // True (after its one message) when FolderArgument must not be protected.
  bool RejectFolder();

  // Errors escaping a window handler: handed to the helper window's error
  // notification (the error dialog); the run goes on (the workflows have
  // already cleaned up) unless the person chooses to end it there.
  void HandleException(std::exception_ptr error);

  // Ends the run as the error dialog's Terminate does: TerminateRequested
  // is set, work in progress is cancelled (it cleans up as for the person's
  // Cancel) and every open window is closed, so the front-end's loops end.
  void Terminate();
  // What the program was doing, for an error report: the mode, the folder
  // and the open windows, one "Name: value" line each. Never a password.
  std::string WorkflowContext() const;

  Ui& GetUi() const { return *ui_; }
  const TEnvironment& Environment() const { return environment_; }

  // The process-wide values of the command line.
  bool ProtectMode = false;
  bool OpenMode = false;
  // -BROWSE: the Open window, with Browse as the button Enter presses.
  bool BrowseMode = false;
  std::string FolderArgument;
  std::string Title = "Korvane";
  // How many errors reached HandleException during the run.
  int ErrorCount = 0;
  // Set when the person chose to end the program after an error; front-ends
  // close the main window when they see it.
  bool TerminateRequested = false;

  // The windows (those of the current mode exist after CreateForms).
  std::unique_ptr<TfrmProtect> frmProtect;
  std::unique_ptr<TfrmEnter> frmEnter;
  std::unique_ptr<TfrmBrowse> frmBrowse;
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
