// Copying folder trees between the disk and a container: TVaultStorage's
// ImportFiles and ExportFiles. The disk side (names, links, modes, times) is
// disk_tree.h; this file walks the trees, decides what to copy, and keeps a
// failure from leaving a half-written file under a real name on either side.
//
// Depth. A tree may be as deep as the file systems allow: the folder list
// keeps each folder's own names and its parent, full paths are built on
// demand into one reused buffer, and at most kMaxOpenLevels folders of a
// chain stay open. Both lists are in depth-first order, so that moving from
// one folder of a list to the next costs a constant amount of work on
// average, however deep the tree.
//
// What a container cannot be trusted with: export never restores the
// set-user-ID and set-group-ID bits (ownership does not travel, so a
// restored file would belong to whoever opens the container), and refuses a
// tree whose declared sizes do not fit the disk before writing anything.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vaultfs/format/object_layout.h"
#include "vaultfs/objects/search.h"
#include "vaultfs/utf16.h"
#include "vaultfs/disk_tree.h"
#include "vaultfs/export_metadata.h"
#include "vaultfs/vault_storage.h"
#include "vaultfs/vault_stream.h"

namespace vaultfs {

namespace {

// Progress and stops count a copy in blocks of this size.
constexpr std::size_t kCopyBlockSize = 16384;
// File data moves between disk and container in pieces of this size: a
// piece holds enough whole blocks for the engine to compress or decompress
// them on every core, and a large file costs few system calls.
constexpr std::size_t kPieceSize = std::size_t{1} << 20;
// A tag is one record in its object's header page: its data may fill the
// page less this many bytes of page and record headers (the engine's largest
// record; a tag it would accept by size alone may still not fit a record).
constexpr std::uint32_t kTagOverhead = 60;
// Within this much of each other a container time and a disk time stamp are
// taken for the same moment (the container's double keeps about a
// microsecond today).
constexpr double kSameTimeDays = 1e-3 / 86400.0;

constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

// Folders of one chain kept open at a time besides the top: enough that
// walking a tree rarely opens a folder twice, few enough for any limit on
// open files.
constexpr std::size_t kMaxOpenLevels = 64;

// Work that moves no data (listing, making and settling folders) reports to
// OnProgress every kReportEvery items, or after kReportInterval when the
// clock, read every kClockEvery items, says so: a stop is seen soon even in
// a tree of folders without files.
constexpr std::uint32_t kReportEvery = 256;
constexpr std::uint32_t kClockEvery = 16;
constexpr std::chrono::milliseconds kReportInterval{10};

constexpr mode_t kSetIdBits = kExportSetIdBits;

// One folder of a run's directory list. Every folder comes after its parent.
struct TreeFolder {
  std::size_t Parent = kNoParent;
  std::size_t Depth = 0;       // 0 for the top
  std::string DiskName;        // its own name on disk; for the top, the last component
  std::u16string StorageName;  // its own container name; empty for the top
};

// How much of a chain of folders (the top first, its entry at depth d being
// indexAt(d)) stays when the chain moves to end at `index`; `down` gets the
// folders to add below what stays, the deepest first.
template <typename IndexAt>
std::size_t KeptLevels(const std::vector<TreeFolder>& folders, std::size_t chainSize,
                       IndexAt indexAt, std::size_t index, std::vector<std::size_t>& down) {
  down.clear();
  std::size_t i = index;
  while (folders[i].Depth >= chainSize || indexAt(folders[i].Depth) != i) {
    down.push_back(i);
    i = folders[i].Parent;
  }
  return folders[i].Depth + 1;
}

// Full container paths of the folders of a list, built on demand: the path
// of the folder asked for last is kept with the ends of its ancestors'
// paths, so a neighbour's costs only the names that differ.
class StoragePaths {
 public:
  StoragePaths(const std::vector<TreeFolder>& folders, const std::u16string& top,
               char16_t separator)
      : folders_(folders), separator_(separator), path_(top), indices_{0}, ends_{top.size()} {}

  // The path ends in the separator; it stays valid until the next call.
  const std::u16string& Of(std::size_t index) {
    const std::size_t kept = KeptLevels(
        folders_, indices_.size(), [this](std::size_t depth) { return indices_[depth]; }, index,
        down_);
    indices_.resize(kept);
    ends_.resize(kept);
    path_.resize(ends_.back());
    for (auto it = down_.rbegin(); it != down_.rend(); ++it) {
      path_ += folders_[*it].StorageName;
      path_ += separator_;
      indices_.push_back(*it);
      ends_.push_back(path_.size());
    }
    return path_;
  }

 private:
  const std::vector<TreeFolder>& folders_;
  const char16_t separator_;
  std::u16string path_;
  std::vector<std::size_t> indices_;  // the chain of folders path_ belongs to, the top first
  std::vector<std::size_t> ends_;     // where each one's path ends in path_
  std::vector<std::size_t> down_;
};

// One file (or link) of a run's file list.
struct TreeFile {
  std::size_t Folder = 0;
  std::string DiskName;
  std::u16string StorageName;
  bool IsLink = false;
  std::uint64_t Size = 0;
};

// The smallest shift, at least 1, that brings `total` within 31 bits.
std::uint32_t ProgressShift(std::uint64_t total) {
  std::uint32_t shift = 1;
  while ((total >> shift) > 0x7FFFFFFFu) ++shift;
  return shift;
}

std::uint32_t Scaled(std::uint64_t value, std::uint32_t shift) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value >> shift, 0xFFFFFFFFu));
}

std::string LastComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

bool IsSeparatorOnly(const std::u16string& path, char16_t separator) {
  return std::all_of(path.begin(), path.end(), [separator](char16_t c) {
    return c == separator || c == u'/' || c == u'\\' || c == u':';
  });
}

std::u16string WithoutTrailingSeparator(std::u16string path, char16_t separator) {
  if (!path.empty() && path.back() == separator) path.pop_back();
  return path;
}

// Opens the folders of a directory list below the top folder, never through
// a link, keeping the chain from the top to the folder opened last: folders
// next to each other in a list share most of their chain. Of the chain only
// the top and the deepest kMaxOpenLevels folders stay open; a closed one is
// opened again through the ".." of the one below it, checked to be the same
// folder, so that climbing costs one call a level.
class FolderChain {
 public:
  // With `forWriting`, missing folders are created, and a folder that lacks
  // its owner's write permission gets it while the run fills it (the final
  // pass gives every folder its own mode back).
  FolderChain(const std::vector<TreeFolder>& folders, DiskFolder top, bool forWriting)
      : folders_(folders), forWriting_(forWriting) {
    if (forWriting_) MakeDiskFolderWritable(top);
    levels_.push_back(Level{0, {}, std::make_unique<DiskFolder>(std::move(top))});
  }

  // The folder stays open until the next call.
  const DiskFolder& Open(std::size_t index) {
    const std::size_t kept = KeptLevels(
        folders_, levels_.size(), [this](std::size_t depth) { return levels_[depth].Index; }, index,
        down_);
    Climb(kept - 1);
    for (auto it = down_.rbegin(); it != down_.rend(); ++it) Descend(*it);
    return *levels_.back().Folder;
  }

  // Opens the parent of the folder Open returned last, if it is closed, while
  // the way up through that folder still exists: a mode given to it next may
  // take away the search permission that ".." needs.
  void KeepParentOpen() {
    const std::size_t current = levels_.size() - 1;
    if (current <= 1 || current - 1 >= firstOpen_) return;
    Reopen(current - 1);
    firstOpen_ = current - 1;
  }

  const DiskFolder& Top() const { return *levels_.front().Folder; }

 private:
  struct Level {
    std::size_t Index;
    DiskFolderId Id;  // recorded when the folder is closed
    std::unique_ptr<DiskFolder> Folder;
  };

  // Shortens the chain to end at `depth`, that folder open.
  void Climb(std::size_t depth) {
    if (depth == 0 || depth >= firstOpen_) {
      levels_.resize(depth + 1);
      firstOpen_ = std::min(firstOpen_, depth + 1);
      return;
    }
    // The folder is closed: up from the shallowest open one, a level at a
    // time, each closed again once the one above it is open.
    levels_.resize(firstOpen_ + 1);
    for (std::size_t level = firstOpen_; level > depth; --level) {
      Reopen(level - 1);
      levels_.pop_back();
    }
    firstOpen_ = depth;
  }

  void Descend(std::size_t index) {
    auto folder = std::make_unique<DiskFolder>(
        OpenDiskSubfolder(*levels_.back().Folder, folders_[index].DiskName, forWriting_));
    if (forWriting_) MakeDiskFolderWritable(*folder);
    levels_.push_back(Level{index, {}, std::move(folder)});
    if (levels_.size() - firstOpen_ > kMaxOpenLevels) {
      Level& oldest = levels_[firstOpen_];
      oldest.Id = IdentifyDiskFolder(*oldest.Folder);
      oldest.Folder.reset();
      ++firstOpen_;
    }
  }

  // Opens level `level` (closed) through the ".." of the open level below.
  void Reopen(std::size_t level) {
    const DiskFolder& child = *levels_[level + 1].Folder;
    const std::size_t ownName = folders_[levels_[level + 1].Index].DiskName.size() + 1;
    levels_[level].Folder = std::make_unique<DiskFolder>(OpenDiskParentFolder(
        child, child.Path.substr(0, child.Path.size() - ownName), levels_[level].Id));
  }

  const std::vector<TreeFolder>& folders_;
  bool forWriting_;
  // The chain from the top; the top and the levels from firstOpen_ on are
  // open, the ones between are closed.
  std::vector<Level> levels_;
  std::size_t firstOpen_ = 1;
  std::vector<std::size_t> down_;
};

// What both directions share: the counters, the buffer, the events.
class TreeCopy {
 protected:
  // The top folder on disk gets a trailing '/', the container directory a
  // trailing separator; an empty mask means every name.
  TreeCopy(TVaultStorage& storage, const std::u16string& diskFolder, const std::u16string& mask,
           const std::u16string& storagePath)
      : storage_(storage),
        separator_(storage.PathSeparator()),
        mask_(mask.empty() ? u"*.*" : mask),
        topPath_(WithSlash(Utf16ToUtf8(diskFolder))),
        storagePath_(storagePath.empty() || storagePath.back() != separator_
                         ? storagePath + separator_
                         : storagePath),
        paths_(folders_, storagePath_, separator_),
        lastReport_(std::chrono::steady_clock::now()) {}

  void Progress(const std::u16string& fileName, std::uint64_t done, bool canStop) {
    if (!storage_.OnProgress()) return;
    storage_.OnProgress()(storage_, fileName, poCopyFile, Scaled(done, shift_),
                          Scaled(total_, shift_), canStop, stop_);
  }

  // One item of work that moves no data, done in folder `folder`; now and
  // then a report that may stop the run (while `listing`, with 0 for the
  // progress and the total, which are not known yet). True when a report was
  // made and a stop is requested.
  bool Tick(std::size_t folder, bool listing) {
    if (!storage_.OnProgress() || ++sinceReport_ % kClockEvery != 0) return false;
    const auto now = std::chrono::steady_clock::now();
    if (sinceReport_ < kReportEvery && now - lastReport_ < kReportInterval) return false;
    sinceReport_ = 0;
    lastReport_ = now;
    const std::u16string name = WithoutTrailingSeparator(paths_.Of(folder), separator_);
    storage_.OnProgress()(storage_, name, poCopyFile, listing ? 0 : Scaled(copied_, shift_),
                          listing ? 0 : Scaled(total_, shift_), true, stop_);
    return stop_;
  }

  void AskOverwrite(bool toStorage, const std::string& diskName, StorageTime diskDate,
                    const std::u16string& storageName, StorageTime storageDate, bool& overwrite) {
    if (!storage_.OnImportExport()) return;
    storage_.OnImportExport()(storage_, toStorage, Utf8ToUtf16(diskName),
                              diskDate != 0 ? UtcToLocal(diskDate) : 0, storageName,
                              storageDate != 0 ? UtcToLocal(storageDate) : 0, overwrite);
  }

  // Reads the metadata tag of a file or folder; false when it has none.
  bool ReadMetadata(const std::u16string& path, PosixMetadata& out) {
    return ReadPosixMetadata(storage_, path, out);
  }

  std::vector<LinkTime> ReadLinkTimes(const std::u16string& folder) {
    return vaultfs::ReadLinkTimes(storage_, folder);
  }

  static bool ChooseTime(StorageTime containerTime, const DiskTime* exact, DiskTime& out) {
    return ChooseExportTime(containerTime, exact, out);
  }

  TVaultStorage& storage_;
  std::vector<std::uint8_t> piece_;  // a file's data in large pieces, made at the first file
  std::vector<TreeFolder> folders_;
  std::vector<TreeFile> files_;
  std::uint64_t copied_ = 0;
  std::uint64_t total_ = 0;
  std::uint32_t shift_ = 1;
  bool stop_ = false;
  const char16_t separator_;
  const std::u16string mask_;
  const std::string topPath_;
  const std::u16string storagePath_;
  StoragePaths paths_;
  std::unique_ptr<FolderChain> chain_;
  std::u16string lastStorageName_;
  std::uint32_t sinceReport_ = 0;
  std::chrono::steady_clock::time_point lastReport_;
};

// ---------------------------------------------------------------- import

class ImportRun : public TreeCopy {
 public:
  ImportRun(TVaultStorage& storage, const std::u16string& diskFolder, const std::u16string& mask,
            std::int32_t attributes, bool recursive, const std::u16string& storagePath,
            std::int32_t overwriteMode)
      : TreeCopy(storage, diskFolder, mask, storagePath),
        attributes_(static_cast<std::uint32_t>(attributes) & ~(faDirectory | faVolumeId)),
        recursive_(recursive),
        overwriteMode_(overwriteMode) {}

  void Run() {
    List();
    // A stop while listing: the container has not been touched.
    if (stop_) return;
    shift_ = ProgressShift(total_);
    std::exception_ptr failure;
    try {
      CopyFiles();
    } catch (...) {
      failure = std::current_exception();
    }
    try {
      FinalPass();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
    if (storage_.OnProgress())
      storage_.OnProgress()(storage_, lastStorageName_, poCopyFile, Scaled(total_, shift_),
                            Scaled(total_, shift_), true, stop_);
  }

 private:
  // The whole tree is listed before anything is written: Total must be
  // known, and a file that cannot be stored must stop the run while the
  // container is still untouched.
  void List() {
    chain_ = std::make_unique<FolderChain>(folders_, OpenDiskFolder(topPath_), false);
    std::vector<TreeFolder> pending;
    pending.push_back(TreeFolder{kNoParent, 0, LastComponent(topPath_), std::u16string()});
    // Depth first, each folder's subfolders in the reverse of their listing
    // order: a stack gives that order without moving the list around.
    while (!pending.empty()) {
      const std::size_t index = folders_.size();
      folders_.push_back(std::move(pending.back()));
      pending.pop_back();
      if (Tick(index, true)) return;
      const DiskFolder& folder = chain_->Open(index);
      const std::vector<DiskEntry> entries = ListDiskFolder(folder);
      const std::size_t depth = folders_[index].Depth + 1;
      for (const DiskEntry& entry : entries) {
        if (Tick(index, true)) return;
        std::u16string name = DiskNameToStorage(entry.Name);
        if (entry.Stat.Kind == DiskKind::Directory) {
          if (recursive_) pending.push_back(TreeFolder{index, depth, entry.Name, std::move(name)});
          continue;
        }
        if (!MatchMask(name, mask_, true)) continue;
        const std::uint32_t diskAttributes = DiskAttributes(entry.Name, entry.Stat.Mode);
        if ((diskAttributes & (faHidden | faSystem)) & ~attributes_) continue;
        if (entry.Stat.Kind == DiskKind::Special)
          RefuseSpecialFile(folder.Path + entry.Name, entry.Stat.Mode);
        const bool isLink = entry.Stat.Kind == DiskKind::Link;
        files_.push_back(TreeFile{index, entry.Name, name, isLink, isLink ? 0 : entry.Stat.Size});
        total_ += files_.back().Size;
      }
      if (!recursive_) break;
    }
  }

  void CopyFiles() {
    for (std::size_t j = 0; j < files_.size(); ++j) {
      // Every folder is made before the first file that follows it in the
      // list, and the last file brings the remaining ones.
      const std::size_t upTo = j + 1 == files_.size() ? folders_.size() - 1 : files_[j].Folder;
      if (!CreateFolders(upTo + 1)) return;
      CopyFile(files_[j]);
      if (stop_) break;
    }
  }

  // Makes the folders of the list up to (not including) `end` that are not
  // made yet, parents first: one level per call however deep the tree. False
  // when a stop came in between.
  bool CreateFolders(std::size_t end) {
    for (; created_ < end; ++created_) {
      storage_.ForceCreateDirectories(paths_.Of(created_));
      if (Tick(created_, false)) {
        ++created_;
        return false;
      }
    }
    return true;
  }

  void CopyFile(const TreeFile& file) {
    const DiskFolder& folder = chain_->Open(file.Folder);
    const std::string diskName = folder.Path + file.DiskName;
    DiskStat stat;
    if (!StatDiskEntry(folder, file.DiskName, stat)) ThrowDiskError("open", diskName, ENOENT);
    if (stat.Kind == DiskKind::Special) RefuseSpecialFile(diskName, stat.Mode);
    if (stat.Kind == DiskKind::Directory) ThrowDiskError("open", diskName, EISDIR);
    const StorageTime diskDate = DiskTimeToStorageTime(stat.Modified);

    const std::u16string storageName = paths_.Of(file.Folder) + file.StorageName;
    lastStorageName_ = storageName;
    const bool exists = storage_.FileExists(storageName);
    StorageTime storageDate = 0;
    if (exists)
      storage_.Call(StorageGetFileModificationTime(storage_.Handle(), storageName, storageDate));
    bool overwrite = !exists;
    if (overwriteMode_ == 1) overwrite = !exists || diskDate > storageDate;
    if (overwriteMode_ == 2) overwrite = true;
    AskOverwrite(true, diskName, diskDate, storageName, storageDate, overwrite);
    if (!overwrite) return;

    std::uint32_t existingAttributes = 0;
    if (exists) {
      storage_.GetFileAttributes(storageName, existingAttributes);
      // Replacing it would take a whole directory tree with it.
      if (existingAttributes & attrDirectory) storage_.Call(errAlreadyExists);
    }
    if (stat.Kind == DiskKind::Link)
      CopyLink(file, folder, stat, storageName, exists, existingAttributes);
    else
      CopyRegularFile(file, folder, stat, storageName, exists);
  }

  // An existing container file is replaced only once its successor is
  // complete: the new contents go to a temporary name in the same directory
  // and are moved over the old file at the end. A failure deletes what was
  // written and leaves the old file as it was.
  void CopyRegularFile(const TreeFile& file, const DiskFolder& folder, const DiskStat& listed,
                       const std::u16string& storageName, bool exists) {
    const std::string diskName = folder.Path + file.DiskName;
    UniqueFd input = OpenDiskFileForReading(folder, file.DiskName);
    const std::u16string writeName = exists ? TemporaryName(file.Folder) : storageName;
    std::exception_ptr failure;
    bool created = false;
    try {
      TVaultStream stream(storage_, writeName, fmCreate);
      created = true;
      // Read in large pieces and written a piece at a time, so that the
      // engine compresses a piece's blocks on every core; progress and a
      // stop still count in blocks of kCopyBlockSize. A block's report
      // comes just before the piece that holds it is written: a stop keeps
      // exactly the blocks reported.
      if (piece_.empty()) piece_.resize(kPieceSize);
      for (bool finished = false; !finished;) {
        const std::size_t got = ReadDiskFile(input.Get(), piece_, diskName);
        std::size_t kept = 0;
        for (;;) {
          const std::size_t n = std::min(kCopyBlockSize, got - kept);
          kept += n;
          copied_ += n;
          Progress(storageName, copied_, true);
          // A short block is the end of the file; a whole piece may be followed by more.
          finished = stop_ || n < kCopyBlockSize;
          if (finished || kept == piece_.size()) break;
        }
        if (kept != 0) stream.WriteBuffer(piece_.data(), static_cast<std::int32_t>(kept));
      }
      SetTagAndTimes(writeName, listed, true);
      // Closed here so that a failure to store the last data is reported,
      // not dropped as a stream's destructor would.
      FileHandle* handle = stream.Handle;
      stream.Handle = nullptr;
      storage_.Call(StorageCloseFile(handle));
      SetAttributes(writeName, file.DiskName, listed.Mode);
      if (writeName != storageName) storage_.MoveFileReplace(writeName, storageName);
    } catch (...) {
      failure = std::current_exception();
    }
    if (!failure) return;
    if (created) {
      try {
        storage_.DeleteFile(writeName);
      } catch (...) {
        // The copy's own failure is the one to report.
      }
    }
    std::rethrow_exception(failure);
  }

  // A link is stored as a container link with the target text unchanged. An
  // existing link just gets the new target; anything else in its place is
  // replaced as a file would be.
  void CopyLink(const TreeFile& file, const DiskFolder& folder, const DiskStat& listed,
                const std::u16string& storageName, bool exists, std::uint32_t existingAttributes) {
    const std::u16string target = Utf8ToUtf16(ReadDiskLink(folder, file.DiskName));
    const bool inPlace = !exists || (existingAttributes & attrSymLink) != 0;
    const std::u16string writeName = inPlace ? storageName : TemporaryName(file.Folder);
    storage_.CreateLink(writeName, target);
    try {
      SetTagAndTimes(writeName, listed, false);
      SetAttributes(writeName, file.DiskName, listed.Mode);
      if (writeName != storageName) storage_.MoveFileReplace(writeName, storageName);
    } catch (...) {
      if (!exists || !inPlace) {
        try {
          storage_.DeleteFile(writeName);
        } catch (...) {
          // The first failure is the one to report.
        }
      }
      throw;
    }
    linkTimes_[file.Folder].push_back(LinkTime{file.StorageName, listed.Modified});
    Progress(storageName, copied_, true);
  }

  // The metadata tag (files and folders) and the times of a container entry,
  // from its disk original. With a file's handle still open both go into the
  // handle's own transaction and cost nothing until it is closed.
  void SetTagAndTimes(const std::u16string& path, const DiskStat& stat, bool withTag) {
    if (withTag) {
      std::uint8_t tag[kPosixMetadataSize];
      EncodePosixMetadata(
          PosixMetadata{static_cast<std::uint32_t>(stat.Mode & 07777), stat.Modified},
          std::span<std::uint8_t, kPosixMetadataSize>(tag));
      storage_.SetFileTag(path, kPosixMetadataTag, tag, kPosixMetadataSize);
    }
    // Straight to the engine in UTC (a detour through local time could only
    // lose precision), both times in one change; the access time stays.
    StorageTime created = 0, modified = 0, accessed = 0;
    storage_.Call(StorageGetFileTimes(storage_.Handle(), path, created, modified, accessed));
    storage_.Call(StorageSetFileTimes(storage_.Handle(), path, DiskTimeToStorageTime(stat.Created),
                                      DiskTimeToStorageTime(stat.Modified), accessed));
  }

  // The four mapped attribute bits from the disk; the others stay.
  void SetAttributes(const std::u16string& path, const std::string& diskName, mode_t mode) {
    std::uint32_t current = 0;
    storage_.GetFileAttributes(path, current);
    const std::uint32_t wanted = (current & ~kMappedStorageAttributes) |
                                 WindowsToStorageAttributes(DiskAttributes(diskName, mode));
    if (wanted != current) storage_.SetFileAttributes(path, wanted);
  }

  std::u16string TemporaryName(std::size_t folder) {
    for (;;) {
      char text[32];
      std::snprintf(text, sizeof text, ".vaultfs-import-%08x", ++temporaryCounter_);
      std::u16string name = paths_.Of(folder) + Utf8ToUtf16(text);
      if (!storage_.FileExists(name)) return name;
    }
  }

  // Folders from the deepest to the top: their attributes, times and tags are
  // set once nothing more is written into them. Runs after a failure or a
  // stop too; a stop (one asked for earlier included) ends it at its next
  // report.
  void FinalPass() {
    // The folders no file brought come first, parents before children: a
    // deep folder made in one call would make all those above it in that
    // same call, out of reach of a stop. After a stop, only the folders
    // made so far get their attributes.
    if (!stop_ || folders_.size() - created_ < kClockEvery) {
      if (!CreateFolders(folders_.size())) return;
    }
    for (std::size_t i = created_; i-- > 0;) {
      if (Tick(i, false)) break;
      const std::u16string path = WithoutTrailingSeparator(paths_.Of(i), separator_);
      if (auto links = linkTimes_.find(i); links != linkTimes_.end())
        WriteLinkTimes(path, links->second);
      if (path.empty() || IsSeparatorOnly(path, separator_)) continue;
      DiskStat stat;
      if (!StatFolder(i, stat)) continue;
      SetTagAndTimes(path, stat, true);
      SetAttributes(path, folders_[i].DiskName, stat.Mode);
    }
  }

  // A folder that cannot be examined any more keeps the container's own
  // values.
  bool StatFolder(std::size_t index, DiskStat& out) {
    try {
      if (index == 0) {
        out = StatDiskFolder(chain_->Top());
        return true;
      }
      const DiskFolder& parent = chain_->Open(folders_[index].Parent);
      return StatDiskEntry(parent, folders_[index].DiskName, out) &&
             out.Kind == DiskKind::Directory;
    } catch (const std::system_error&) {
      return false;
    }
  }

  // Merges the times of the links written into a folder with the table it
  // already has, and stores the table in pieces that fit a tag.
  void WriteLinkTimes(const std::u16string& folder, const std::vector<LinkTime>& fresh) {
    std::vector<LinkTime> table = ReadLinkTimes(folder);
    std::unordered_map<std::u16string, std::size_t> byName;
    for (std::size_t k = 0; k < table.size(); ++k) byName.emplace(table[k].Name, k);
    for (const LinkTime& link : fresh) {
      if (auto found = byName.find(link.Name); found != byName.end()) {
        table[found->second].Modified = link.Modified;
      } else {
        byName.emplace(link.Name, table.size());
        table.push_back(link);
      }
    }
    StoreLinkTimes(storage_, folder, table);
  }

  std::uint32_t attributes_;
  bool recursive_;
  std::int32_t overwriteMode_;
  std::unordered_map<std::size_t, std::vector<LinkTime>> linkTimes_;
  unsigned temporaryCounter_ = 0;
  std::size_t created_ = 0;  // folders of the list made in the container so far
};

// ---------------------------------------------------------------- export

class ExportRun : public TreeCopy {
 public:
  ExportRun(TVaultStorage& storage, const std::u16string& storagePath, const std::u16string& mask,
            bool recursive, const std::u16string& diskFolder, std::int32_t overwriteMode)
      : TreeCopy(storage, diskFolder, mask, storagePath),
        recursive_(recursive),
        overwriteMode_(overwriteMode),
        umask_(CurrentUmask()) {}

  void Run() {
    List();
    // A stop while listing: nothing has been written to the disk.
    if (stop_) return;
    CheckRoom();
    shift_ = ProgressShift(total_);
    std::exception_ptr failure;
    try {
      ForceDiskDirectories(topPath_);
      chain_ = std::make_unique<FolderChain>(folders_, OpenDiskFolder(topPath_), true);
      CopyFiles();
    } catch (...) {
      failure = std::current_exception();
    }
    try {
      if (!chain_) chain_ = std::make_unique<FolderChain>(folders_, OpenDiskFolder(topPath_), true);
      FinalPass();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
    if (storage_.OnProgress())
      storage_.OnProgress()(storage_, lastStorageName_, poCopyFile, Scaled(total_, shift_),
                            Scaled(total_, shift_), false, stop_);
  }

  // Files and folders restored without the set-user-ID or set-group-ID bit
  // their tag asked for.
  std::uint64_t DroppedSetIdBits() const { return droppedSetIdBits_; }

 private:
  // Container names that cannot be disk names (".", "..") or that would
  // land on the same disk name in one folder (`names` holds that folder's
  // disk names so far) are refused before anything is written.
  void CheckDiskName(std::size_t folder, const std::u16string& storageName,
                     const std::string& diskName, std::unordered_set<std::string>& names) {
    const bool safe = IsSafeDiskName(diskName);
    if (safe && names.insert(diskName).second) return;
    const std::string shown = Utf16ToUtf8(paths_.Of(folder) + storageName);
    if (!safe) throw EFilerError("Cannot export '" + shown + "': the name cannot be used on disk");
    throw EFilerError("Cannot export '" + shown +
                      "': another entry of its folder has the same disk name");
  }

  // Depth first, each folder's subfolders and files in the container's
  // search order; a stop leaves the lists incomplete and stop_ set.
  void List() {
    folders_.push_back(TreeFolder{kNoParent, 0, std::string(), std::u16string()});
    std::vector<TreeFolder> pending;
    std::vector<TreeFolder> children;
    std::unordered_set<std::string> names;
    for (std::size_t i = 0;;) {
      const std::u16string folderPath = paths_.Of(i);
      names.clear();
      children.clear();
      if (recursive_) {
        TVaultSearchRec search;
        TSearchGuard guard{storage_, search};
        for (bool found = storage_.FindFirst(search, folderPath + u"*.*", attrDirectory); found;
             found = storage_.FindNext(search)) {
          if (Tick(i, true)) return;
          if ((search.Attributes & attrDirectory) == 0) continue;
          std::string diskName = StorageNameToDisk(search.Name);
          CheckDiskName(i, search.Name, diskName, names);
          children.push_back(
              TreeFolder{i, folders_[i].Depth + 1, std::move(diskName), search.Name});
        }
      }
      {
        TVaultSearchRec search;
        TSearchGuard guard{storage_, search};
        for (bool found = storage_.FindFirst(search, folderPath + mask_, 0xFFFFFFFFu); found;
             found = storage_.FindNext(search)) {
          if (Tick(i, true)) return;
          if (search.Attributes & attrDirectory) continue;
          std::string diskName = StorageNameToDisk(search.Name);
          CheckDiskName(i, search.Name, diskName, names);
          const bool isLink = (search.Attributes & attrSymLink) != 0;
          files_.push_back(
              TreeFile{i, std::move(diskName), search.Name, isLink, isLink ? 0 : search.Size});
          total_ += files_.back().Size;
        }
      }
      // A stack: the first subfolder found comes out first.
      std::move(children.rbegin(), children.rend(), std::back_inserter(pending));
      if (pending.empty()) break;
      folders_.push_back(std::move(pending.back()));
      pending.pop_back();
      i = folders_.size() - 1;
    }
  }

  // Before the first byte is written: the declared sizes must fit the disk.
  // A container may declare sizes far beyond the data it holds (the rest
  // reads as zeros); without this, such a file would fill the disk.
  void CheckRoom() {
    if (total_ == 0) return;
    const DiskSpace space = DiskSpaceAt(topPath_);
    if (total_ > space.Available)
      throw EFilerError("Not enough disk space to export to '" + topPath_ +
                        "': " + std::to_string(total_) + " bytes needed, " +
                        std::to_string(space.Available) + " available");
    for (const TreeFile& file : files_) {
      if (file.Size <= space.MaxFileSize) continue;
      throw EFilerError("Cannot export '" + Utf16ToUtf8(paths_.Of(file.Folder) + file.StorageName) +
                        "': its size of " + std::to_string(file.Size) +
                        " bytes is more than a file at '" + topPath_ + "' can hold (" +
                        std::to_string(space.MaxFileSize) + " bytes)");
    }
  }

  void CopyFiles() {
    std::size_t created = 0;
    for (std::size_t j = 0; j < files_.size(); ++j) {
      const std::size_t upTo = j + 1 == files_.size() ? folders_.size() - 1 : files_[j].Folder;
      for (; created <= upTo; ++created) {
        (void)chain_->Open(created);
        if (Tick(created, false)) return;
      }
      CopyCheckedFile(files_[j]);
      if (stop_) break;
    }
  }

  // With an export check, a container error while reading one file or link
  // costs only that entry (its partial output goes with `output`'s
  // destructor); disk errors still end the run.
  void CopyCheckedFile(const TreeFile& file) {
    TVaultExportCheck* check = storage_.ExportCheck();
    if (check == nullptr) {
      CopyFile(file);
      return;
    }
    try {
      CopyFile(file);
    } catch (const EVaultError& error) {
      check->EntryFailed(paths_.Of(file.Folder) + file.StorageName, error.what());
    }
  }

  void CopyFile(const TreeFile& file) {
    const std::u16string storageName = paths_.Of(file.Folder) + file.StorageName;
    lastStorageName_ = storageName;
    std::uint32_t attributes = 0;
    StorageTime created = 0, modified = 0, accessed = 0;
    storage_.GetFileAttributes(storageName, attributes);
    storage_.Call(StorageGetFileTimes(storage_.Handle(), storageName, created, modified, accessed));

    const DiskFolder& folder = chain_->Open(file.Folder);
    const std::string diskName = folder.Path + file.DiskName;
    DiskStat existing;
    const bool exists = StatDiskEntry(folder, file.DiskName, existing);
    const StorageTime diskDate = exists ? DiskTimeToStorageTime(existing.Modified) : 0;
    bool overwrite = !exists;
    if (overwriteMode_ == 1) overwrite = !exists || modified > diskDate;
    if (overwriteMode_ == 2) overwrite = true;
    AskOverwrite(false, diskName, diskDate, storageName, modified, overwrite);
    if (!overwrite) return;
    if (exists && existing.Kind == DiskKind::Directory) ThrowDiskError("replace", diskName, EISDIR);

    TVaultExportCheck* check = storage_.ExportCheck();
    if (check) check->BeginEntry(storage_, storageName, file.IsLink);
    if (file.IsLink) {
      CopyLink(file, folder, storageName, modified);
      return;
    }
    PosixMetadata metadata;
    const bool tagged = ReadMetadata(storageName, metadata);
    TVaultStream stream(storage_, storageName, fmOpenRead | fmShareDenyWrite);
    // Written under a temporary name and renamed over the target only when
    // complete: a failure never costs the file that was there.
    DiskReplacement output(folder, file.DiskName);
    output.CreateFile();
    // Read in large pieces (the engine decodes a piece's blocks on every
    // core), written out, reported and stopped block by block as before.
    if (piece_.empty()) piece_.resize(kPieceSize);
    for (bool finished = false; !finished;) {
      const auto got = static_cast<std::size_t>(
          std::max(stream.Read(piece_.data(), static_cast<std::int32_t>(piece_.size())), 0));
      for (std::size_t at = 0;;) {
        const std::size_t n = std::min(kCopyBlockSize, got - at);
        if (n != 0) {
          // A block of zeros becomes a hole: what a container leaves unstored
          // (or a sparse original) takes no room on the disk either.
          const std::span<const std::uint8_t> block(piece_.data() + at, n);
          if (check) check->EntryData(block.data(), block.size());
          if (IsAllZeros(block))
            output.Skip(block.size());
          else
            output.Write(block);
        }
        at += n;
        copied_ += n;
        Progress(storageName, copied_, true);
        // A short block is the end of the file; a whole piece may be followed by more.
        finished = stop_ || n < kCopyBlockSize;
        if (finished || at == piece_.size()) break;
      }
    }
    const bool droppedSetId = tagged && (metadata.Mode & kSetIdBits) != 0;
    output.SetMode(ExportFileMode(tagged ? &metadata : nullptr, attributes, umask_));
    DiskTime when;
    if (ChooseTime(modified, tagged ? &metadata.Modified : nullptr, when)) output.SetTimes(when);
    // A file the check refuses never takes its name, not even for a moment;
    // nor does one cut short by a stop, which the check cannot vouch for.
    if (check && (stop_ || !check->EndEntry())) return;
    output.Commit();
    if (droppedSetId) ++droppedSetIdBits_;
  }

  static bool IsAllZeros(std::span<const std::uint8_t> block) {
    // Each byte equal to the next and the first one zero.
    return !block.empty() && block[0] == 0 &&
           std::memcmp(block.data(), block.data() + 1, block.size() - 1) == 0;
  }

  void CopyLink(const TreeFile& file, const DiskFolder& folder, const std::u16string& storageName,
                StorageTime modified) {
    std::u16string target;
    storage_.ReadLink(storageName, target);
    DiskReplacement output(folder, file.DiskName);
    output.CreateLink(Utf16ToUtf8(target));
    DiskTime when;
    if (ChooseTime(modified, LinkTimeOf(file), when)) output.SetTimes(when);
    TVaultExportCheck* check = storage_.ExportCheck();
    if (check && !check->EndEntry()) return;
    output.Commit();
    Progress(storageName, copied_, true);
  }

  // The exact time the folder's table keeps for a link, if any.
  const DiskTime* LinkTimeOf(const TreeFile& file) {
    if (linkTimesFolder_ != file.Folder) {
      linkTimesFolder_ = file.Folder;
      linkTimes_.clear();
      const std::u16string folder = WithoutTrailingSeparator(paths_.Of(file.Folder), separator_);
      for (LinkTime& link : ReadLinkTimes(folder)) linkTimes_[std::move(link.Name)] = link.Modified;
    }
    const auto found = linkTimes_.find(file.StorageName);
    return found == linkTimes_.end() ? nullptr : &found->second;
  }

  // Folders from the deepest to the top get their modes and times once
  // their contents are written. Runs after a failure or a stop too; a stop
  // (one asked for earlier included) ends it at its next report.
  //
  // A folder's set-group-ID bit only makes new entries inherit its group,
  // which is harmless, but it is dropped like a file's for one simple rule;
  // the sticky bit stays.
  void FinalPass() {
    for (std::size_t i = folders_.size(); i-- > 0;) {
      if (Tick(i, false)) break;
      const std::u16string path = WithoutTrailingSeparator(paths_.Of(i), separator_);
      std::uint32_t attributes = 0;
      StorageTime created = 0, modified = 0, accessed = 0;
      PosixMetadata metadata;
      bool tagged = false;
      if (!path.empty() && !IsSeparatorOnly(path, separator_)) {
        storage_.GetFileAttributes(path, attributes);
        storage_.Call(StorageGetFileTimes(storage_.Handle(), path, created, modified, accessed));
        tagged = ReadMetadata(path, metadata);
      }
      const DiskFolder& folder = chain_->Open(i);
      chain_->KeepParentOpen();
      if (tagged) {
        SetDiskFolderMode(folder, metadata.Mode & ~kSetIdBits);
        if (metadata.Mode & kSetIdBits) ++droppedSetIdBits_;
      } else {
        const mode_t mode = StatDiskFolder(folder).Mode & 07777;
        const bool readOnly = (StorageToWindowsAttributes(attributes) & faReadOnly) != 0;
        SetDiskFolderMode(folder, readOnly ? mode & ~mode_t{0222} : mode | S_IWUSR);
      }
      DiskTime when;
      if (created != 0 && ChooseTime(modified, tagged ? &metadata.Modified : nullptr, when))
        SetDiskFolderTimes(folder, when);
      if (i != 0 && storage_.ExportCheck()) storage_.ExportCheck()->FolderDone(storage_, path);
    }
  }

  bool recursive_;
  std::int32_t overwriteMode_;
  mode_t umask_;
  std::uint64_t droppedSetIdBits_ = 0;
  std::size_t linkTimesFolder_ = kNoParent;
  std::unordered_map<std::u16string, DiskTime> linkTimes_;
};

// An empty disk folder would stand for the root of the file system: never
// what a caller means, and dangerous to write into.
void CheckDiskFolder(const std::u16string& diskFolder) {
  if (diskFolder.empty()) throw EFilerError("No folder given");
}

}  // namespace

void TVaultStorage::ImportFiles(const std::u16string& diskFolder, const std::u16string& mask,
                                std::int32_t attributes, bool recursive,
                                const std::u16string& storagePath, std::int32_t overwriteMode) {
  CheckActive();
  CheckDiskFolder(diskFolder);
  ImportRun(*this, diskFolder, mask, attributes, recursive, storagePath, overwriteMode).Run();
}

void TVaultStorage::ExportFiles(const std::u16string& storagePath, const std::u16string& mask,
                                std::int32_t attributes, bool recursive,
                                const std::u16string& diskFolder, std::int32_t overwriteMode) {
  // Disk files are selected by what the container holds; a disk attribute
  // filter has nothing to select here.
  (void)attributes;
  CheckActive();
  ExportDroppedSetIdBits_ = 0;
  CheckDiskFolder(diskFolder);
  ExportRun run(*this, storagePath, mask, recursive, diskFolder, overwriteMode);
  try {
    run.Run();
  } catch (...) {
    ExportDroppedSetIdBits_ = run.DroppedSetIdBits();
    throw;
  }
  ExportDroppedSetIdBits_ = run.DroppedSetIdBits();
}

bool ReadPosixMetadata(TVaultStorage& storage, const std::u16string& path, PosixMetadata& out) {
  bool exists = false;
  const std::uint32_t size = storage.GetFileTagSize(path, kPosixMetadataTag, exists);
  if (!exists || size < kPosixMetadataSize || size > 4096) return false;
  std::vector<std::uint8_t> bytes(size);
  const std::uint32_t got = storage.GetFileTag(path, kPosixMetadataTag, bytes.data(), size);
  return got == size && DecodePosixMetadata(bytes, out);
}

std::vector<LinkTime> ReadLinkTimes(TVaultStorage& storage, const std::u16string& folder) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t id = kLinkTimesFirstTag; id <= kLinkTimesLastTag; ++id) {
    bool exists = false;
    const auto tag = static_cast<std::uint16_t>(id);
    const std::uint32_t size = storage.GetFileTagSize(folder, tag, exists);
    if (!exists) break;
    const std::size_t start = bytes.size();
    bytes.resize(start + size);
    if (storage.GetFileTag(folder, tag, bytes.data() + start, size) != size) break;
  }
  std::vector<LinkTime> links;
  if (!bytes.empty()) (void)DecodeLinkTimes(bytes, links);
  return links;
}

void StoreLinkTimes(TVaultStorage& storage, const std::u16string& folder,
                    const std::vector<LinkTime>& table) {
  const std::vector<std::uint8_t> bytes = EncodeLinkTimes(table);
  const std::uint32_t piece = storage.PageSize() - kTagOverhead;
  std::uint32_t id = kLinkTimesFirstTag;
  for (std::size_t at = 0; at < bytes.size() && id <= kLinkTimesLastTag; at += piece, ++id) {
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(piece, bytes.size() - at));
    storage.SetFileTag(folder, static_cast<std::uint16_t>(id), bytes.data() + at, size);
  }
  // A longer table from before must not run on past the new end.
  bool exists = false;
  if (id <= kLinkTimesLastTag) {
    (void)storage.GetFileTagSize(folder, static_cast<std::uint16_t>(id), exists);
    if (exists) storage.DeleteFileTag(folder, static_cast<std::uint16_t>(id));
  }
}

bool ChooseExportTime(StorageTime containerTime, const DiskTime* exact, DiskTime& out) {
  if (exact && std::fabs(DiskTimeToStorageTime(*exact) - containerTime) <= kSameTimeDays) {
    out = *exact;
    return true;
  }
  return containerTime != 0 && StorageTimeToDiskTime(containerTime, out);
}

mode_t ExportFileMode(const PosixMetadata* tag, std::uint32_t storageAttributes, mode_t umask) {
  if (tag) return static_cast<mode_t>(tag->Mode) & 07777 & ~kSetIdBits;
  mode_t mode = 0666 & ~umask;
  if (StorageToWindowsAttributes(storageAttributes) & faReadOnly) mode &= ~mode_t{0222};
  return mode;
}

mode_t ExportFolderMode(const PosixMetadata* tag, std::uint32_t storageAttributes, mode_t umask) {
  if (tag) return static_cast<mode_t>(tag->Mode) & 07777 & ~kSetIdBits;
  const mode_t mode = 0777 & ~umask;
  const bool readOnly = (StorageToWindowsAttributes(storageAttributes) & faReadOnly) != 0;
  return readOnly ? mode & ~mode_t{0222} : mode | S_IWUSR;
}

}  // namespace vaultfs
