// Copying folder trees between the disk and a container: TVaultStorage's
// ImportFiles and ExportFiles. The disk side (names, links, modes, times) is
// disk_tree.h; this file walks the trees, decides what to copy, and keeps a
// failure from leaving a half-written file under a real name on either side.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/objects/object_layout.h"
#include "engine/objects/search.h"
#include "engine/volume/utf16.h"
#include "storage/disk_tree.h"
#include "storage/vault_storage.h"
#include "storage/vault_stream.h"

namespace vaultfs {

namespace {

// Every read and write of a copy moves one block of this size.
constexpr std::size_t kCopyBlockSize = 16384;
// A tag is one record in its object's header page: its data may fill the
// page less this many bytes of page and record headers (the engine's largest
// record; a tag it would accept by size alone may still not fit a record).
constexpr std::uint32_t kTagOverhead = 60;
// Within this much of each other a container time and a disk time stamp are
// taken for the same moment (the container's double keeps about a
// microsecond today).
constexpr double kSameTimeDays = 1e-3 / 86400.0;

constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

// One folder of a run's directory list.
struct TreeFolder {
  std::size_t Parent = kNoParent;
  std::string DiskName;        // its own name on disk; for the top, the last component
  std::u16string StoragePath;  // full container path, ending in the separator
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
// next to each other in a list share most of their chain.
class FolderChain {
 public:
  // With `forWriting`, missing folders are created, and a folder that lacks
  // its owner's write permission gets it while the run fills it (the final
  // pass gives every folder its own mode back).
  FolderChain(const std::vector<TreeFolder>& folders, DiskFolder top, bool forWriting)
      : folders_(folders), forWriting_(forWriting) {
    if (forWriting_) MakeDiskFolderWritable(top);
    open_.push_back(std::make_unique<DiskFolder>(std::move(top)));
    indices_.push_back(0);
  }

  // The folder stays open until the next call.
  const DiskFolder& Open(std::size_t index) {
    std::vector<std::size_t> path;
    for (std::size_t i = index; i != kNoParent; i = folders_[i].Parent) path.push_back(i);
    std::reverse(path.begin(), path.end());
    std::size_t kept = 1;  // the top always stays
    while (kept < path.size() && kept < indices_.size() && indices_[kept] == path[kept]) ++kept;
    open_.resize(kept);
    indices_.resize(kept);
    for (; kept < path.size(); ++kept) {
      auto folder = std::make_unique<DiskFolder>(
          OpenDiskSubfolder(*open_.back(), folders_[path[kept]].DiskName, forWriting_));
      if (forWriting_) MakeDiskFolderWritable(*folder);
      open_.push_back(std::move(folder));
      indices_.push_back(path[kept]);
    }
    return *open_.back();
  }

  const DiskFolder& Top() const { return *open_.front(); }

 private:
  const std::vector<TreeFolder>& folders_;
  bool forWriting_;
  std::vector<std::unique_ptr<DiskFolder>> open_;
  std::vector<std::size_t> indices_;
};

// What both directions share: the counters, the buffer, the events.
class TreeCopy {
 protected:
  // The top folder on disk gets a trailing '/', the container directory a
  // trailing separator; an empty mask means every name.
  TreeCopy(TVaultStorage& storage, const std::u16string& diskFolder, const std::u16string& mask,
           const std::u16string& storagePath)
      : storage_(storage),
        buffer_(kCopyBlockSize),
        separator_(storage.PathSeparator()),
        mask_(mask.empty() ? u"*.*" : mask),
        topPath_(WithSlash(Utf16ToUtf8(diskFolder))),
        storagePath_(storagePath.empty() || storagePath.back() != separator_
                         ? storagePath + separator_
                         : storagePath) {}

  void Progress(const std::u16string& fileName, std::uint64_t done, bool canStop) {
    if (!storage_.OnProgress()) return;
    storage_.OnProgress()(storage_, fileName, poCopyFile, Scaled(done, shift_),
                          Scaled(total_, shift_), canStop, stop_);
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
    bool exists = false;
    const std::uint32_t size = storage_.GetFileTagSize(path, kPosixMetadataTag, exists);
    if (!exists || size < kPosixMetadataSize || size > 4096) return false;
    std::vector<std::uint8_t> bytes(size);
    const std::uint32_t got = storage_.GetFileTag(path, kPosixMetadataTag, bytes.data(), size);
    return got == size && DecodePosixMetadata(bytes, out);
  }

  // The pieces of a folder's link-time table, joined and decoded; entries
  // after damage are lost, and an empty table is what a folder without one has.
  std::vector<LinkTime> ReadLinkTimes(const std::u16string& folder) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t id = kLinkTimesFirstTag; id <= kLinkTimesLastTag; ++id) {
      bool exists = false;
      const auto tag = static_cast<std::uint16_t>(id);
      const std::uint32_t size = storage_.GetFileTagSize(folder, tag, exists);
      if (!exists) break;
      const std::size_t start = bytes.size();
      bytes.resize(start + size);
      if (storage_.GetFileTag(folder, tag, bytes.data() + start, size) != size) break;
    }
    std::vector<LinkTime> links;
    if (!bytes.empty()) (void)DecodeLinkTimes(bytes, links);
    return links;
  }

  // The disk time a container entry should get: the exact stamp of its tag
  // when that still agrees with the container's own time, else the
  // container's time. False when there is none to give.
  static bool ChooseTime(StorageTime containerTime, const DiskTime* exact, DiskTime& out) {
    if (exact && std::fabs(DiskTimeToStorageTime(*exact) - containerTime) <= kSameTimeDays) {
      out = *exact;
      return true;
    }
    return containerTime != 0 && StorageTimeToDiskTime(containerTime, out);
  }

  TVaultStorage& storage_;
  std::vector<std::uint8_t> buffer_;
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
  std::unique_ptr<FolderChain> chain_;
  std::u16string lastStorageName_;
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
    pending.push_back(TreeFolder{kNoParent, LastComponent(topPath_), storagePath_});
    // Depth first, each folder's subfolders in the reverse of their listing
    // order: a stack gives that order without moving the list around.
    while (!pending.empty()) {
      const std::size_t index = folders_.size();
      folders_.push_back(std::move(pending.back()));
      pending.pop_back();
      const DiskFolder& folder = chain_->Open(index);
      const std::vector<DiskEntry> entries = ListDiskFolder(folder);
      const std::u16string folderPath = folders_[index].StoragePath;
      for (const DiskEntry& entry : entries) {
        const std::u16string name = DiskNameToStorage(entry.Name);
        if (entry.Stat.Kind == DiskKind::Directory) {
          if (recursive_)
            pending.push_back(TreeFolder{index, entry.Name, folderPath + name + separator_});
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
    std::size_t created = 0;  // folders of the list made in the container so far
    for (std::size_t j = 0; j < files_.size(); ++j) {
      // Every folder is made before the first file that follows it in the
      // list, and the last file brings the remaining ones.
      const std::size_t upTo = j + 1 == files_.size() ? folders_.size() - 1 : files_[j].Folder;
      for (; created <= upTo; ++created)
        storage_.ForceCreateDirectories(folders_[created].StoragePath);
      CopyFile(files_[j]);
      if (stop_) break;
    }
  }

  void CopyFile(const TreeFile& file) {
    const DiskFolder& folder = chain_->Open(file.Folder);
    const std::string diskName = folder.Path + file.DiskName;
    DiskStat stat;
    if (!StatDiskEntry(folder, file.DiskName, stat)) ThrowDiskError("open", diskName, ENOENT);
    if (stat.Kind == DiskKind::Special) RefuseSpecialFile(diskName, stat.Mode);
    if (stat.Kind == DiskKind::Directory) ThrowDiskError("open", diskName, EISDIR);
    const StorageTime diskDate = DiskTimeToStorageTime(stat.Modified);

    const std::u16string storageName = folders_[file.Folder].StoragePath + file.StorageName;
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
      for (;;) {
        const std::size_t got = ReadDiskFile(input.Get(), buffer_, diskName);
        if (got != 0) stream.WriteBuffer(buffer_.data(), static_cast<std::int32_t>(got));
        copied_ += got;
        Progress(storageName, copied_, true);
        if (stop_ || got < kCopyBlockSize) break;
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
      std::u16string name = folders_[folder].StoragePath + Utf8ToUtf16(text);
      if (!storage_.FileExists(name)) return name;
    }
  }

  // Folders from the deepest to the top: their attributes, times and tags are
  // set once nothing more is written into them. Runs after a failure too.
  void FinalPass() {
    for (std::size_t i = folders_.size(); i-- > 0;) {
      const std::u16string path = WithoutTrailingSeparator(folders_[i].StoragePath, separator_);
      storage_.ForceCreateDirectories(path);
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
    const std::vector<std::uint8_t> bytes = EncodeLinkTimes(table);
    const std::uint32_t piece = storage_.PageSize() - kTagOverhead;
    std::uint32_t id = kLinkTimesFirstTag;
    for (std::size_t at = 0; at < bytes.size() && id <= kLinkTimesLastTag; at += piece, ++id) {
      const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(piece, bytes.size() - at));
      storage_.SetFileTag(folder, static_cast<std::uint16_t>(id), bytes.data() + at, size);
    }
    // A longer table from before must not run on past the new end.
    bool exists = false;
    if (id <= kLinkTimesLastTag) {
      (void)storage_.GetFileTagSize(folder, static_cast<std::uint16_t>(id), exists);
      if (exists) storage_.DeleteFileTag(folder, static_cast<std::uint16_t>(id));
    }
  }

  std::uint32_t attributes_;
  bool recursive_;
  std::int32_t overwriteMode_;
  std::unordered_map<std::size_t, std::vector<LinkTime>> linkTimes_;
  unsigned temporaryCounter_ = 0;
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

 private:
  // Container names that cannot be disk names (".", "..") or that would
  // land on the same disk name are refused before anything is written.
  void CheckDiskName(std::size_t folder, const std::u16string& storageName,
                     const std::string& diskName) {
    const std::string shown = Utf16ToUtf8(folders_[folder].StoragePath + storageName);
    if (!IsSafeDiskName(diskName))
      throw EFilerError("Cannot export '" + shown + "': the name cannot be used on disk");
    if (!namesInFolder_[folder].insert(diskName).second)
      throw EFilerError("Cannot export '" + shown +
                        "': another entry of its folder has the same disk name");
  }

  void List() {
    folders_.push_back(TreeFolder{kNoParent, std::string(), storagePath_});
    namesInFolder_.emplace_back();
    // Breadth first, in the container's search order.
    for (std::size_t i = 0; recursive_ && i < folders_.size(); ++i) {
      TVaultSearchRec search;
      for (bool found = storage_.FindFirst(search, folders_[i].StoragePath + u"*.*", attrDirectory);
           found; found = storage_.FindNext(search)) {
        if ((search.Attributes & attrDirectory) == 0) continue;
        const std::string diskName = StorageNameToDisk(search.Name);
        CheckDiskName(i, search.Name, diskName);
        folders_.push_back(
            TreeFolder{i, diskName, folders_[i].StoragePath + search.Name + separator_});
        namesInFolder_.emplace_back();
      }
      storage_.FindClose(search);
    }
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      TVaultSearchRec search;
      for (bool found = storage_.FindFirst(search, folders_[i].StoragePath + mask_, 0xFFFFFFFFu);
           found; found = storage_.FindNext(search)) {
        if (search.Attributes & attrDirectory) continue;
        const std::string diskName = StorageNameToDisk(search.Name);
        CheckDiskName(i, search.Name, diskName);
        const bool isLink = (search.Attributes & attrSymLink) != 0;
        files_.push_back(TreeFile{i, diskName, search.Name, isLink, isLink ? 0 : search.Size});
        total_ += files_.back().Size;
      }
      storage_.FindClose(search);
    }
    namesInFolder_.clear();
  }

  void CopyFiles() {
    std::size_t created = 0;
    for (std::size_t j = 0; j < files_.size(); ++j) {
      const std::size_t upTo = j + 1 == files_.size() ? folders_.size() - 1 : files_[j].Folder;
      for (; created <= upTo; ++created) (void)chain_->Open(created);
      CopyFile(files_[j]);
      if (stop_) break;
    }
  }

  void CopyFile(const TreeFile& file) {
    const std::u16string storageName = folders_[file.Folder].StoragePath + file.StorageName;
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
    for (;;) {
      const std::int32_t got =
          stream.Read(buffer_.data(), static_cast<std::int32_t>(kCopyBlockSize));
      if (got > 0)
        output.Write(std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(got)));
      copied_ += static_cast<std::uint64_t>(std::max(got, 0));
      Progress(storageName, copied_, true);
      if (stop_ || got < static_cast<std::int32_t>(kCopyBlockSize)) break;
    }
    output.SetMode(tagged ? metadata.Mode : DefaultFileMode(attributes));
    DiskTime when;
    if (ChooseTime(modified, tagged ? &metadata.Modified : nullptr, when)) output.SetTimes(when);
    output.Commit();
  }

  void CopyLink(const TreeFile& file, const DiskFolder& folder, const std::u16string& storageName,
                StorageTime modified) {
    std::u16string target;
    storage_.ReadLink(storageName, target);
    DiskReplacement output(folder, file.DiskName);
    output.CreateLink(Utf16ToUtf8(target));
    DiskTime when;
    if (ChooseTime(modified, LinkTimeOf(file), when)) output.SetTimes(when);
    output.Commit();
    Progress(storageName, copied_, true);
  }

  // The exact time the folder's table keeps for a link, if any.
  const DiskTime* LinkTimeOf(const TreeFile& file) {
    if (linkTimesFolder_ != file.Folder) {
      linkTimesFolder_ = file.Folder;
      linkTimes_.clear();
      const std::u16string folder =
          WithoutTrailingSeparator(folders_[file.Folder].StoragePath, separator_);
      for (LinkTime& link : ReadLinkTimes(folder)) linkTimes_[std::move(link.Name)] = link.Modified;
    }
    const auto found = linkTimes_.find(file.StorageName);
    return found == linkTimes_.end() ? nullptr : &found->second;
  }

  // Without a tag: what a new file gets here, less the write bits when the
  // container says read-only.
  mode_t DefaultFileMode(std::uint32_t attributes) const {
    mode_t mode = 0666 & ~umask_;
    if (StorageToWindowsAttributes(attributes) & faReadOnly) mode &= ~mode_t{0222};
    return mode;
  }

  // Folders from the deepest to the top get their modes and times once
  // their contents are written. Runs after a failure too.
  void FinalPass() {
    for (std::size_t i = folders_.size(); i-- > 0;) {
      const std::u16string path = WithoutTrailingSeparator(folders_[i].StoragePath, separator_);
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
      if (tagged) {
        SetDiskFolderMode(folder, metadata.Mode);
      } else {
        const mode_t mode = StatDiskFolder(folder).Mode & 07777;
        const bool readOnly = (StorageToWindowsAttributes(attributes) & faReadOnly) != 0;
        SetDiskFolderMode(folder, readOnly ? mode & ~mode_t{0222} : mode | S_IWUSR);
      }
      DiskTime when;
      if (created != 0 && ChooseTime(modified, tagged ? &metadata.Modified : nullptr, when))
        SetDiskFolderTimes(folder, when);
    }
  }

  bool recursive_;
  std::int32_t overwriteMode_;
  mode_t umask_;
  std::vector<std::unordered_set<std::string>> namesInFolder_;
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
  CheckDiskFolder(diskFolder);
  ExportRun(*this, storagePath, mask, recursive, diskFolder, overwriteMode).Run();
}

}  // namespace vaultfs
