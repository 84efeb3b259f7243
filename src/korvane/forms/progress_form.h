// The progress window: the file being copied, a bar, how much is done and
// how long the rest may take, and Cancel. Its Cancelled flag is how a cancel
// or a failure reaches the end of a workflow.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "korvane/forms/controls.h"
#include "vaultfs/vault_storage.h"

namespace korvane {

// Shortens a path to at most `maxChars` characters (UTF-8 code points) by
// putting "..." in its middle, keeping as much as possible of the part after
// the last separator ('\\' or '/'); a text that fits comes back unchanged.
std::string PathEllipsis(const std::string& text, std::size_t maxChars);

// A container path as a person on this system reads it: '\' becomes '/'.
// For showing only; the container's own names are never changed.
std::string DisplayPath(const std::string& containerPath);

// "0 B", "512 B", "12.3 kB", "45.6 MB", "1.2 GB" (powers of 1000).
std::string ByteSizeText(std::uint64_t bytes);

// "about 40 s left", "about 3 min left", "about 2 h left".
std::string TimeLeftText(double seconds);

// What the work has come to. Bytes are those of the copy into or out of the
// container; the files are the entries copied (files and links).
struct TProgressFigures {
  std::uint64_t BytesDone = 0;
  std::uint64_t BytesTotal = 0;
  std::uint64_t FilesDone = 0;
  // The files the copy took up so far, unless the whole work was announced
  // (SetWorkSize); complete once the copy is.
  std::uint64_t FilesTotal = 0;
  unsigned Percent = 0;  // of the bytes (of the files when there are none)
  double SecondsElapsed = 0;
  // Once the rate is steady (some seconds and some part of the work done).
  std::optional<double> SecondsRemaining;
  // The entry being copied, with '/' separators, relative to the folder.
  std::string CurrentPath;
  bool CopyComplete = false;
  // "scan" until the size of the work is known, "copy", then "verify"
  // while a new container is read back against the folder; the figures
  // above are those of the stage under way.
  std::string Stage = "scan";
};

class TfrmProgress : public TForm {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;

  // The estimate waits until this much time and this part of the work have
  // passed: the first moments of a copy say little about its rate.
  static constexpr std::chrono::seconds kSteadyAfter{2};
  static constexpr unsigned kSteadyPercent = 5;

  explicit TfrmProgress(TApplication& app);

  TLabel lblText;
  TLabel Label2;
  TProgressBar barProgress;
  TButton btnCancel;

  bool Cancelled = false;
  // The line last drawn into lblText's area (ShowOperationText), as the
  // workflow or the storage gave it.
  std::string OperationLine;

  void btnCancelClick();
  // Handler of the storage's OnProgress event.
  void VaultStorageProgress(vaultfs::TVaultStorage& sender, const std::u16string& fileName,
                            vaultfs::TProgressOperation operation, std::uint32_t progress,
                            std::uint32_t total, bool canStop, bool& stop);
  void ShowOperationText(const std::string& line);
  // The event handler bound to this window, for TVaultStorage::SetOnProgress.
  vaultfs::TVaultProgressEvent ProgressHandler();

  // The operation line as shown: container paths with '/'.
  std::string DisplayLine() const;
  // The figures as of now.
  TProgressFigures Figures() const;
  // "12.3 MB of 45.6 MB, about 2 min left"; empty before the copy started.
  std::string FiguresText() const;

  // The size of the whole work when whoever starts it knows it: the totals
  // are then exact from the first report on.
  void SetWorkSize(std::uint64_t files, std::uint64_t bytes);
  // Where the time comes from (tests drive a clock of their own).
  void SetClock(TClock clock);
  // The read-back of a new container: `relativePath` is the file being
  // compared, `done` and `total` the bytes of the whole folder. The window
  // shows it as a stage of its own, with its own bar and estimate.
  void ShowVerifying(const std::string& relativePath, std::uint64_t done, std::uint64_t total);

 protected:
  void FormShow() override;
  // Refuses every request to close: the window goes when the program ends.
  void FormClose(TCloseAction& action) override;

 private:
  std::chrono::steady_clock::time_point Now() const;
  void CountReport(vaultfs::TVaultStorage& sender, const std::string& name,
                   std::uint32_t progress, std::uint32_t total);
  void CountFiles(vaultfs::TVaultStorage& sender);

  TClock clock_;
  bool started_ = false;
  std::chrono::steady_clock::time_point startedAt_{};
  // The copy as the storage reports it.
  bool copying_ = false;
  std::uint32_t reportedTotal_ = 0;
  std::uint32_t reportedDone_ = 0;
  unsigned shift_ = 1;
  std::string shownName_;  // without the container's top folder
  // The files the copy took up (its question before each), and whether the
  // last of them is complete.
  const vaultfs::TVaultStorage* countedStorage_ = nullptr;
  std::uint64_t filesStarted_ = 0;
  bool currentFileDone_ = false;
  std::string firstName_;
  std::uint32_t largestStep_ = 0;
  std::uint64_t baseBytes_ = 0;
  // Whether OperationLine came from the storage (its text after the prefix
  // is a container path).
  bool storageLine_ = false;
  std::string storageLinePrefix_;
  std::chrono::steady_clock::time_point copyStartedAt_{};
  std::optional<std::uint64_t> announcedFiles_;
  std::optional<std::uint64_t> announcedBytes_;
  // The read-back stage.
  bool verifying_ = false;
  std::chrono::steady_clock::time_point verifyStartedAt_{};
  std::uint64_t verifyDone_ = 0;
  std::uint64_t verifyTotal_ = 0;
  std::uint64_t verifyFiles_ = 0;
  std::string verifyPath_;
};

}  // namespace korvane
