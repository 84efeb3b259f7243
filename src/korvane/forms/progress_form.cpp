#include "korvane/forms/progress_form.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "korvane/forms/application.h"
#include "korvane/forms/globals.h"
#include "korvane/platform/platform.h"
#include "vaultfs/utf16.h"

namespace korvane {

namespace {

// Templates by progress operation; the workflows only ever meet 6.
constexpr std::array<const char*, 11> kOperationTexts = {
    "Formating",        "Checking1",         "Checking2",       "Checking3",
    "Checking4",        "Checking5",         "Copying file %s", "Copying file %s",
    "Deleting file %s", "Page %d corrupted", "Page %d orphaned"};

void EraseFirst(std::string& text, const std::string& part) {
  const std::size_t at = text.find(part);
  if (at != std::string::npos) text.erase(at, part.size());
}

// The storage reports a copy's byte counts shifted right by the fewest bits,
// at least one, that bring the total within 31 bits; it copies a file in
// blocks of this many bytes, reporting after each.
constexpr std::uint32_t kLargestReportedTotal = 0x7FFFFFFFu;
constexpr std::uint64_t kCopyBlockBytes = 16384;

unsigned ShiftFor(std::uint64_t bytes) {
  unsigned shift = 1;
  while ((bytes >> shift) > kLargestReportedTotal) ++shift;
  return shift;
}

// Byte offsets of the characters of a UTF-8 text.
std::vector<std::size_t> CharStarts(const std::string& text) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); i += platform::Utf8CharLength(text, i))
    starts.push_back(i);
  return starts;
}

}  // namespace

std::string PathEllipsis(const std::string& text, std::size_t maxChars) {
  const std::vector<std::size_t> starts = CharStarts(text);
  const std::size_t count = starts.size();
  if (count <= maxChars) return text;
  static const std::string kDots = "...";
  if (maxChars <= kDots.size()) return kDots.substr(0, maxChars);
  auto slice = [&](std::size_t fromChar, std::size_t toChar) {
    const std::size_t from = fromChar < count ? starts[fromChar] : text.size();
    const std::size_t to = toChar < count ? starts[toChar] : text.size();
    return text.substr(from, to - from);
  };
  // The name after the last separator is kept whole when it fits with the
  // dots; the room left goes to the start of the path.
  std::size_t nameStart = 0;
  for (std::size_t c = 0; c < count; ++c) {
    const char byte = text[starts[c]];
    if (byte == '\\' || byte == '/') nameStart = c;
  }
  const std::size_t nameChars = count - nameStart;
  const std::size_t room = maxChars - kDots.size();
  if (nameChars <= room) {
    const std::size_t head = room - nameChars;
    return slice(0, head) + kDots + slice(nameStart, count);
  }
  // Even the name is too long: keep its end.
  return kDots + slice(count - room, count);
}

std::string DisplayPath(const std::string& containerPath) {
  std::string shown = containerPath;
  for (char& c : shown)
    if (c == '\\') c = '/';
  return shown;
}

std::string ByteSizeText(std::uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const std::array<const char*, 6> kUnits = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000.0;
  std::size_t unit = 0;
  // 999.95 kB would round to "1000.0 kB": that is a megabyte.
  while (value >= 999.95 && unit + 1 < kUnits.size()) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string TimeLeftText(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  const auto rounded = static_cast<std::uint64_t>(std::ceil(seconds));
  if (rounded < 90) return "about " + std::to_string(rounded) + " s left";
  const auto minutes = static_cast<std::uint64_t>(std::llround(seconds / 60.0));
  if (minutes < 120) return "about " + std::to_string(minutes) + " min left";
  return "about " + std::to_string(static_cast<std::uint64_t>(std::llround(seconds / 3600.0))) +
         " h left";
}

TfrmProgress::TfrmProgress(TApplication& app)
    : TForm(app, "frmProgress", "Korvane"),
      lblText(*this, "lblText", "Current operation"),
      Label2(*this, "Label2", "Total progress:"),
      barProgress(*this, "barProgress"),
      btnCancel(*this, "btnCancel", "Cancel") {
  ClientWidth = 312;
  ClientHeight = 130;
  btnCancel.Cancel = true;
  btnCancel.OnClick = [this] { btnCancelClick(); };
}

void TfrmProgress::FormShow() {
  Cancelled = false;
  // The time runs from the first showing: a workflow shows the window
  // again between its steps, and all of them are one piece of work.
  if (!started_) {
    started_ = true;
    startedAt_ = Now();
  }
}

void TfrmProgress::FormClose(TCloseAction& action) {
  action = TCloseAction::caNone;
}

void TfrmProgress::btnCancelClick() {
  Cancelled = true;
  Close();  // refused while the work runs; the flag stops it
}

void TfrmProgress::VaultStorageProgress(vaultfs::TVaultStorage& sender,
                                        const std::u16string& fileName,
                                        vaultfs::TProgressOperation operation,
                                        std::uint32_t progress, std::uint32_t total, bool canStop,
                                        bool& stop) {
  std::string name = vaultfs::Utf16ToUtf8(fileName);
  EraseFirst(name, "DATA\\");
  EraseFirst(name, "_SERVICE\\");
  std::string line;
  if (operation < kOperationTexts.size()) {
    // The page templates want a number the event does not carry: the name
    // stands in for it.
    line = FormatText(kOperationTexts[operation], {name});
  } else {
    line = name;
  }
  ShowOperationText(line);
  if (line.size() >= name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0) {
    storageLine_ = true;
    storageLinePrefix_ = line.substr(0, line.size() - name.size());
  }
  if (operation != 9 && operation != 10) {
    barProgress.Max = total;
    barProgress.Position = progress;
  }
  if (operation == vaultfs::poCopyFile) {
    CountReport(sender, vaultfs::Utf16ToUtf8(fileName), progress, total);
    if (total != 0) shownName_ = name;
  }
  if (canStop) stop = Cancelled;
  GetUi().FormChanged(*this);
  if (Visible()) GetUi().ProcessMessages();
}

void TfrmProgress::ShowOperationText(const std::string& line) {
  lblText.Caption.clear();
  OperationLine = line;
  storageLine_ = false;
}

std::string TfrmProgress::DisplayLine() const {
  // Only the container path in a line of the storage's is converted: a
  // workflow's own lines name disk paths, which are shown as they are.
  if (!storageLine_) return OperationLine;
  return storageLinePrefix_ + DisplayPath(OperationLine.substr(storageLinePrefix_.size()));
}

void TfrmProgress::SetWorkSize(std::uint64_t files, std::uint64_t bytes) {
  announcedFiles_ = files;
  announcedBytes_ = bytes;
}

void TfrmProgress::SetClock(TClock clock) {
  clock_ = std::move(clock);
}

void TfrmProgress::ShowVerifying(const std::string& relativePath, std::uint64_t done,
                                 std::uint64_t total) {
  if (!verifying_) {
    verifying_ = true;
    verifyStartedAt_ = Now();
    verifyFiles_ = 0;
    verifyPath_.clear();
  }
  // Called before each file and after each piece of it: a new name is the
  // next file.
  if (relativePath != verifyPath_ || verifyFiles_ == 0) {
    ++verifyFiles_;
    verifyPath_ = relativePath;
  }
  verifyDone_ = done;
  verifyTotal_ = total;
  ShowOperationText("Verifying file " + relativePath);
  // The bar counts in KB so that folders beyond 4 GB still fit.
  barProgress.Max = static_cast<std::uint32_t>(total / 1024);
  barProgress.Position = static_cast<std::uint32_t>(done / 1024);
  GetUi().FormChanged(*this);
  if (Visible()) GetUi().ProcessMessages();
}

std::chrono::steady_clock::time_point TfrmProgress::Now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void TfrmProgress::CountFiles(vaultfs::TVaultStorage& sender) {
  if (countedStorage_ == &sender) return;
  countedStorage_ = &sender;
  // The progress reports name folders too (the copy reports the folders it
  // goes through now and then), so the files are counted where the copy
  // asks about each one before it copies it. A handler already there still
  // gets every question.
  vaultfs::TVaultImportExportEvent previous = sender.OnImportExport();
  sender.SetOnImportExport([this, previous](vaultfs::TVaultStorage& storage, bool toStorage,
                                            const std::u16string& diskName,
                                            vaultfs::TDateTime diskDate,
                                            const std::u16string& storageName,
                                            vaultfs::TDateTime storageDate, bool& overwrite) {
    ++filesStarted_;
    currentFileDone_ = false;
    if (previous)
      previous(storage, toStorage, diskName, diskDate, storageName, storageDate, overwrite);
  });
}

void TfrmProgress::CountReport(vaultfs::TVaultStorage& sender, const std::string& name,
                               std::uint32_t progress, std::uint32_t total) {
  // While the tree is listed nothing is known yet: no total.
  if (total == 0) {
    CountFiles(sender);
    return;
  }
  if (!copying_ || total != reportedTotal_ || progress < reportedDone_) {
    // A copy of its own (the first, or a later one with other figures).
    copying_ = true;
    reportedTotal_ = total;
    reportedDone_ = progress;
    largestStep_ = 0;
    copyStartedAt_ = Now();
    shift_ = 1;
    if (announcedBytes_ && (*announcedBytes_ >> ShiftFor(*announcedBytes_)) == total)
      shift_ = ShiftFor(*announcedBytes_);
    baseBytes_ = static_cast<std::uint64_t>(progress) << shift_;
    if (countedStorage_ != &sender) {
      // The first report of a copy whose listing went by unreported: the
      // entry it names was asked about already. A name without a
      // separator is the top folder, no entry.
      CountFiles(sender);
      filesStarted_ = name.find('\\') != std::string::npos ? 1 : 0;
      firstName_ = name;
    } else {
      firstName_.clear();
    }
  }
  // What was taken for the first file was a folder if a later name lies
  // inside it.
  if (!firstName_.empty() && name.size() > firstName_.size() &&
      name.compare(0, firstName_.size(), firstName_) == 0 && name[firstName_.size()] == '\\') {
    if (filesStarted_ > 0) --filesStarted_;
    firstName_.clear();
  }
  // The largest step between two reports is one whole block: it tells the
  // scale of totals beyond 2 GiB (below that the scale is always one bit).
  const std::uint32_t step = progress - reportedDone_;
  if (step > largestStep_ && (step & (step - 1)) == 0) largestStep_ = step;
  // With every byte copied, the file under way is complete too.
  if (progress >= total) currentFileDone_ = true;
  reportedDone_ = progress;
  if (!announcedBytes_ || (*announcedBytes_ >> ShiftFor(*announcedBytes_)) != total) {
    if (total > (kLargestReportedTotal >> 1) && largestStep_ > 0) {
      unsigned shift = 1;
      while ((kCopyBlockBytes >> shift) > largestStep_) ++shift;
      shift_ = shift;
    }
  }
}

namespace {

// The time the rest of a stage may take, once its rate is steady.
std::optional<double> RemainingSeconds(std::chrono::steady_clock::duration running,
                                       unsigned percent, std::uint64_t moved,
                                       std::uint64_t left) {
  if (left == 0) return 0.0;
  const double seconds = std::chrono::duration<double>(running).count();
  if (running < TfrmProgress::kSteadyAfter || percent < TfrmProgress::kSteadyPercent ||
      moved == 0 || seconds <= 0)
    return std::nullopt;
  return static_cast<double>(left) / (static_cast<double>(moved) / seconds);
}

}  // namespace

TProgressFigures TfrmProgress::Figures() const {
  TProgressFigures figures;
  const auto now = Now();
  if (started_) figures.SecondsElapsed = std::chrono::duration<double>(now - startedAt_).count();
  if (figures.SecondsElapsed < 0) figures.SecondsElapsed = 0;
  if (verifying_) {
    figures.Stage = "verify";
    figures.CopyComplete = true;
    figures.BytesTotal = verifyTotal_;
    figures.BytesDone = std::min(verifyDone_, verifyTotal_);
    figures.FilesTotal = announcedFiles_ ? *announcedFiles_ : filesStarted_;
    const bool fileDone = verifyTotal_ > 0 && verifyDone_ >= verifyTotal_;
    figures.FilesDone = std::min(fileDone ? verifyFiles_ : verifyFiles_ - 1, figures.FilesTotal);
    figures.CurrentPath = verifyPath_;
    figures.Percent = figures.BytesTotal > 0
                          ? static_cast<unsigned>(figures.BytesDone * 100 / figures.BytesTotal)
                          : 100;
    figures.SecondsRemaining =
        RemainingSeconds(now - verifyStartedAt_, figures.Percent, figures.BytesDone,
                         figures.BytesTotal - figures.BytesDone);
    return figures;
  }
  if (!copying_) {
    if (announcedFiles_) figures.FilesTotal = *announcedFiles_;
    if (announcedBytes_) figures.BytesTotal = *announcedBytes_;
    if (announcedFiles_ || announcedBytes_) figures.Stage = "copy";
    return figures;
  }
  figures.Stage = "copy";
  const bool exactTotal =
      announcedBytes_ && (*announcedBytes_ >> ShiftFor(*announcedBytes_)) == reportedTotal_;
  figures.BytesTotal =
      exactTotal ? *announcedBytes_ : static_cast<std::uint64_t>(reportedTotal_) << shift_;
  figures.BytesDone = reportedDone_ >= reportedTotal_
                          ? figures.BytesTotal
                          : std::min(static_cast<std::uint64_t>(reportedDone_) << shift_,
                                     figures.BytesTotal);
  figures.CopyComplete = reportedDone_ >= reportedTotal_;
  figures.FilesDone = filesStarted_ > 0 && !currentFileDone_ ? filesStarted_ - 1 : filesStarted_;
  figures.FilesTotal = filesStarted_;
  if (announcedFiles_) {
    figures.FilesTotal = *announcedFiles_;
    figures.FilesDone = std::min(figures.FilesDone, figures.FilesTotal);
  }
  figures.CurrentPath = DisplayPath(shownName_);
  // "DATA\" and "_SERVICE\" are the container's, not the folder's.
  for (const char* top : {"DATA/", "_SERVICE/"}) {
    const std::string prefix = top;
    if (figures.CurrentPath.rfind(prefix, 0) == 0) {
      figures.CurrentPath.erase(0, prefix.size());
      break;
    }
  }
  if (figures.BytesTotal > 0) {
    figures.Percent = static_cast<unsigned>(
        std::min<std::uint64_t>(100, figures.BytesDone * 100 / figures.BytesTotal));
  } else if (figures.FilesTotal > 0) {
    figures.Percent = static_cast<unsigned>(figures.FilesDone * 100 / figures.FilesTotal);
  }
  const std::uint64_t moved = figures.BytesDone > baseBytes_ ? figures.BytesDone - baseBytes_ : 0;
  figures.SecondsRemaining =
      RemainingSeconds(now - copyStartedAt_, figures.Percent, moved,
                       figures.BytesDone >= figures.BytesTotal
                           ? 0
                           : figures.BytesTotal - figures.BytesDone);
  return figures;
}

std::string TfrmProgress::FiguresText() const {
  if (!copying_ && !verifying_) return std::string();
  const TProgressFigures figures = Figures();
  std::string text = ByteSizeText(figures.BytesDone) + " of " + ByteSizeText(figures.BytesTotal);
  if (figures.SecondsRemaining && figures.BytesDone < figures.BytesTotal)
    text += ", " + TimeLeftText(*figures.SecondsRemaining);
  return text;
}

vaultfs::TVaultProgressEvent TfrmProgress::ProgressHandler() {
  return [this](vaultfs::TVaultStorage& sender, const std::u16string& fileName,
                vaultfs::TProgressOperation operation, std::uint32_t progress, std::uint32_t total,
                bool canStop, bool& stop) {
    VaultStorageProgress(sender, fileName, operation, progress, total, canStop, stop);
  };
}

}  // namespace korvane
