// The pieces both container mounts share. See mount_support.h.
#define FUSE_USE_VERSION 31
#include "tools/mount/mount_support.h"

#include <fuse.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <vector>

#include "vaultfs/engine_api.h"
#include "vaultfs/export_metadata.h"

namespace vaultfs::mount {

int ErrnoOf(EngineResult result) {
  if (result > 0) return result;
  switch (result) {
    case errFileNotFound:
    case errPathNotFound:
    case errLinkTargetNotFound:
      return ENOENT;
    case errAlreadyExists:
      return EEXIST;
    case errDirectoryNotEmpty:
      return ENOTEMPTY;
    case errStorageFull:
      return ENOSPC;
    case errStorageReadOnly:
      return EROFS;
    case errInvalidFileName:
    case errNotSymbolicLink:
      return EINVAL;
    case errAccessDenied:
    case errInvalidPassword:
      return EACCES;
    case errSharingViolation:
      return EBUSY;
    case errOutOfMemory:
      return ENOMEM;
    case errNotImplemented:
      return ENOSYS;
    default:
      return EIO;
  }
}

DiskTime Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return DiskTime{now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec)};
}

TEntryInfo ReadEntryInfo(TVaultStorage& storage, const std::u16string& path,
                         const DiskTime* linkTime, mode_t umask, DiskTime fallback) {
  TEntryInfo info;
  std::uint32_t attributes = 0;
  StorageTime created = 0, modified = 0, accessed = 0;
  storage.GetFileAttributes(path, attributes);
  storage.Call(StorageGetFileTimes(storage.Handle(), path, created, modified, accessed));
  if (attributes & attrDirectory) {
    info.Kind = TEntryKind::Folder;
    PosixMetadata tag;
    const bool tagged = ReadPosixMetadata(storage, path, tag);
    info.Mode = ExportFolderMode(tagged ? &tag : nullptr, attributes, umask);
    // As export: a folder without a creation time keeps the time it was made.
    if (created == 0 ||
        !ChooseExportTime(modified, tagged ? &tag.Modified : nullptr, info.Modified))
      info.Modified = fallback;
  } else if (attributes & attrSymLink) {
    info.Kind = TEntryKind::Link;
    info.Mode = 0777;
    if (!ChooseExportTime(modified, linkTime, info.Modified)) info.Modified = fallback;
  } else {
    info.Kind = TEntryKind::File;
    PosixMetadata tag;
    const bool tagged = ReadPosixMetadata(storage, path, tag);
    info.Mode = ExportFileMode(tagged ? &tag : nullptr, attributes, umask);
    if (!ChooseExportTime(modified, tagged ? &tag.Modified : nullptr, info.Modified))
      info.Modified = fallback;
  }
  return info;
}

TEntryInfo TopFolderInfo(TVaultStorage& storage, const std::u16string& path, mode_t umask,
                         DiskTime fallback) {
  if (!path.empty()) return ReadEntryInfo(storage, path, nullptr, umask, fallback);
  TEntryInfo info{TEntryKind::Folder, ExportFolderMode(nullptr, 0, umask), fallback};
  // A read-write mount stores what chmod and utimens of its top ask for in
  // the root's own tag; the root has no other time to agree with.
  PosixMetadata tag;
  if (ReadPosixMetadata(storage, path, tag)) {
    info.Mode = ExportFolderMode(&tag, 0, umask);
    info.Modified = tag.Modified;
  }
  return info;
}

void FillEntryStat(const TEntryInfo& entry, std::uint64_t size, nlink_t links, struct stat& out) {
  out = {};
  switch (entry.Kind) {
    case TEntryKind::Folder:
      out.st_mode = S_IFDIR | entry.Mode;
      break;
    case TEntryKind::Link:
      out.st_mode = S_IFLNK | entry.Mode;
      break;
    case TEntryKind::File:
      out.st_mode = S_IFREG | entry.Mode;
      break;
  }
  // Whoever serves the mount owns everything in it; asked once, as a
  // listing fills this for every entry.
  static const uid_t owner = getuid();
  static const gid_t group = getgid();
  out.st_nlink = links;
  out.st_uid = owner;
  out.st_gid = group;
  out.st_size = static_cast<off_t>(size);
  out.st_blksize = kBlockSize;
  out.st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
  const timespec when{static_cast<time_t>(entry.Modified.Seconds),
                      static_cast<long>(entry.Modified.Nanoseconds)};
  // Export sets the access time to the modification time; the change time
  // cannot be set, and the modification time is the best stand-in.
  out.st_mtim = when;
  out.st_atim = when;
  out.st_ctim = when;
}

TFuseSession::~TFuseSession() {
  if (fuse_ != nullptr) {
    if (mounted_) fuse_unmount(fuse_);
    fuse_destroy(fuse_);
  }
}

bool TFuseSession::Mount(const fuse_operations& operations, void* userData,
                         const std::string& directory, const std::string& mountOptions,
                         std::string& error) {
  struct stat st {};
  if (stat(directory.c_str(), &st) != 0) {
    error = directory + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = directory + ": not a folder";
    return false;
  }
  std::vector<std::string> words{"vault_mount", "-o", mountOptions};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_ = fuse_new(&args, &operations, sizeof(operations), userData);
  fuse_opt_free_args(&args);
  if (fuse_ == nullptr) {
    error = "cannot start the FUSE session";
    return false;
  }
  if (fuse_mount(fuse_, directory.c_str()) != 0) {
    error = "cannot mount on " + directory + " (is /dev/fuse there, and fusermount3?)";
    fuse_destroy(fuse_);
    fuse_ = nullptr;
    return false;
  }
  mounted_ = true;
  return true;
}

int TFuseSession::Serve(bool multiThreaded) {
  if (fuse_ == nullptr) return -1;
  fuse_session* session = fuse_get_session(fuse_);
  const bool handlers = fuse_set_signal_handlers(session) == 0;
  const int result = multiThreaded ? fuse_loop_mt(fuse_, 0) : fuse_loop(fuse_);
  if (handlers) fuse_remove_signal_handlers(session);
  fuse_unmount(fuse_);
  mounted_ = false;
  // A loop that a signal ended reports the signal's number: for us that is
  // the way a foreground mount is meant to end, not a failure.
  if (result == SIGINT || result == SIGTERM || result == SIGHUP) return 0;
  return result;
}

}  // namespace vaultfs::mount
