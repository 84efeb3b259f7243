// A container's tree served read-only through FUSE 3, as an export would
// leave it on disk: the same names, modes, nanosecond times, sizes and links
// (vaultfs/export_metadata.h), read straight from the container. Built on
// the engine's public headers only, for every tool that mounts a container.
//
// The tree's shape and metadata are read once, when the mount is made: the
// container is open read-only and nothing changes it while it is mounted,
// so lookups, listings and stat calls never reach the engine. File bytes
// and link targets are read on demand, each file's and link's only after
// the caller's check passed for it (once per entry; a failed check gives EIO
// from then on).
//
// Threads: every engine call runs under one mutex (TVaultStorage and its
// streams are not made for concurrent use, and an event handler's held-back
// exception belongs to one call). Callers may run libfuse's loop single- or
// multi-threaded; korvane-cli runs it single-threaded, since with one engine
// lock more threads would only queue on it.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/mount/mount_support.h"
#include "vaultfs/disk_tree.h"
#include "vaultfs/vault_storage.h"
#include "vaultfs/vault_stream.h"

namespace vaultfs::mount {

// Decides whether an entry's bytes (a file's data, a link's target) may be
// served: `path` is its full container path. Called once per entry, under
// the mount's engine lock, before the first byte; false (or an exception)
// makes every later read of it fail with EIO.
using TEntryCheck =
    std::function<bool(TVaultStorage& storage, const std::u16string& path, bool isLink)>;

struct TMountOptions {
  // Shown as the file system's source in the mount table.
  std::string FsName = "vaultfs";
  // Run libfuse's multi-threaded loop (the engine lock still serialises).
  bool MultiThreaded = false;
};

class TVaultMount {
 public:
  // `storage` is open (read-only is the caller's business: nothing here
  // writes) and must outlive the mount; `root` is the container folder served
  // as the mount's top, ending in the separator ("" for the whole tree).
  TVaultMount(TVaultStorage& storage, std::u16string root, TEntryCheck check,
              TMountOptions options = {});
  ~TVaultMount();
  TVaultMount(const TVaultMount&) = delete;
  TVaultMount& operator=(const TVaultMount&) = delete;

  // Reads the tree's shape and metadata. Raises on container errors. Entries
  // whose names an export would refuse (".", "..", a '/' or NUL, or two
  // container names that meet on one disk name) are left out and counted.
  void Load();
  std::uint64_t EntryCount() const { return nodes_.size(); }
  std::uint64_t SkippedNames() const { return skippedNames_; }

  // Makes the FUSE session and mounts it on `directory`; false with a
  // message when that fails. The mount is in place when this returns true.
  [[nodiscard]] bool Mount(const std::string& directory, std::string& error);
  // Serves requests until the file system is unmounted (or SIGINT, SIGTERM,
  // SIGHUP ask for it), then unmounts and closes every file still open, so
  // that the storage may be closed next. Returns 0, or the loop's error.
  int Serve();

  // ---- what the FUSE callbacks use (public for them; not an interface) ----
  using TKind = TEntryKind;
  struct TNode {
    TKind Kind = TKind::File;
    std::size_t Parent = 0;
    mode_t Mode = 0;  // permission bits
    DiskTime Modified;
    std::uint64_t Size = 0;                       // a link: its target's length in bytes
    std::u16string StoragePath;                   // full container path, no trailing separator
    std::string LinkTarget;                       // bytes, links only
    // Folders: (disk name, node), sorted by name; a listing goes by position.
    std::vector<std::pair<std::string, std::size_t>> Children;
    std::size_t Subfolders = 0;
  };
  // The node of a mount path ("/a/b"); false when there is none.
  bool Find(const char* path, std::size_t& node) const;
  const TNode& Node(std::size_t index) const { return nodes_[index]; }
  void FillStat(std::size_t index, struct stat& out) const;
  int OpenFile(std::size_t index, int flags, std::uint64_t& handle);
  int ReadFile(std::uint64_t handle, char* buffer, std::size_t size, off_t offset);
  void ReleaseFile(std::uint64_t handle);
  int ReadLinkTarget(std::size_t index, std::string& target);
  void FillStatfs(struct statvfs& out);

 private:
  struct TOpenFile {
    std::size_t Node = 0;
    std::unique_ptr<TVaultStream> Stream;
  };
  enum class TVerdict : std::uint8_t { Unchecked, Sound, Damaged };

  void LoadFolder(std::size_t index, const std::u16string& folderPath);
  // The entry's check, once; true when its bytes may be served. REQUIRES(mutex_)
  bool Checked(std::size_t index);

  TVaultStorage& storage_;
  std::u16string root_;
  TEntryCheck check_;
  TMountOptions options_;
  mode_t umask_;
  DiskTime loadTime_;
  // Written by Load only; read freely afterwards.
  std::vector<TNode> nodes_;
  std::uint64_t skippedNames_ = 0;
  std::mutex mutex_;
  // Guarded by mutex_.
  std::vector<TVerdict> verdicts_;
  std::unordered_map<std::uint64_t, TOpenFile> open_;
  std::uint64_t nextHandle_ = 1;
  TFuseSession session_;
};

}  // namespace vaultfs::mount
