// A container's whole tree served read-write through FUSE 3, for the vaultfs
// tool. Unlike TVaultMount nothing is loaded up front: every request goes to
// the engine, since the tree changes under the mount. A mount path maps to
// the container path of the same names (each through DiskNameToStorage),
// and an entry shows the mode and time an export would give it; chmod and
// utimens write the same metadata tag (and, for links, the folder's table
// of link times) that an import writes.
//
// Durability is the storage's: opened with transactions, each change the
// engine makes is its own transaction, and a file's data is committed when
// the file is flushed (close, fsync). A kill leaves the container as of the
// last commit, recovered at the next open.
//
// Threads: every engine call runs under one mutex (TVaultStorage and its
// streams are not made for concurrent use); libfuse's loop runs
// single-threaded, since with one engine lock more threads would only
// queue on it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "tools/mount/mount_support.h"
#include "vaultfs/vault_storage.h"
#include "vaultfs/vault_stream.h"

struct fuse_file_info;

namespace vaultfs::mount {

class TVaultLiveMount {
 public:
  // `storage` is open for writing and must outlive the mount.
  TVaultLiveMount(TVaultStorage& storage, std::string fsName);
  ~TVaultLiveMount();
  TVaultLiveMount(const TVaultLiveMount&) = delete;
  TVaultLiveMount& operator=(const TVaultLiveMount&) = delete;

  // Mounts on `directory`; false with a message when that fails. The mount
  // is in place when this returns true.
  [[nodiscard]] bool Mount(const std::string& directory, std::string& error);
  // Serves until the file system is unmounted (or SIGINT, SIGTERM, SIGHUP),
  // then closes every file still open. Returns 0, or the loop's error, or
  // the errno of a file whose last data could not be stored.
  int Serve();

 private:
  // The FUSE callbacks (in the .cpp, so that this header needs no libfuse).
  struct TCallbacks;
  struct TOpenFile {
    std::u16string Path;
    std::unique_ptr<TVaultStream> Stream;
    bool Writable = false;
  };

  // An open folder's names, as a listing goes through them.
  struct TListing {
    std::u16string Folder;
    std::vector<std::string> Names;
  };

  // The container path of a mount path ("/a/b" -> "a<sep>b"; "/" -> "").
  std::u16string StoragePath(const char* path) const;
  // The container path of an open file (when `file` names one), else of
  // the mount path. REQUIRES(mutex_)
  std::u16string OpenPath(const char* path, const fuse_file_info* file) const;
  // The disk names of a folder's entries, as export would write them.
  // REQUIRES(mutex_)
  std::vector<std::string> ListNames(const std::u16string& folder);
  // The container path of the entry `name` (a disk name) in `folder`.
  std::u16string ChildPath(const std::u16string& folder, const std::string& name) const;
  // The container path of an entry's folder, and its own name.
  void SplitPath(const std::u16string& path, std::u16string& folder, std::u16string& name) const;
  // The folder's table of link times: the stamp of `name`, if any. REQUIRES(mutex_)
  bool LinkTimeOf(const std::u16string& path, DiskTime& out);
  // Sets (`time` given) or drops the stamp of the link at `path`. REQUIRES(mutex_)
  void SetLinkTime(const std::u16string& path, const DiskTime* time);
  // The stat record of the entry at `path` (a container path). REQUIRES(mutex_)
  void Stat(const std::u16string& path, struct stat& out);
  // Writes the metadata tag, the container's times and its read-only and
  // hidden attributes of a file or folder, as import does. REQUIRES(mutex_)
  void StoreMetadata(const std::u16string& path, mode_t mode, DiskTime modified);
  // The file's time becomes now after its size changed. REQUIRES(mutex_)
  void Touch(const std::u16string& path);
  // Stores what the handles of `path` hold (their data is committed).
  // Returns the first failure as an engine result. REQUIRES(mutex_)
  EngineResult FlushHandlesOf(const std::u16string& path);
  // Closes a handle, returning its last failure as a negative errno.
  // REQUIRES(mutex_)
  int CloseHandle(std::uint64_t handle);

  TVaultStorage& storage_;
  std::string fsName_;
  char16_t separator_;
  mode_t umask_;
  DiskTime mountTime_;
  std::mutex mutex_;
  // Guarded by mutex_.
  std::unordered_map<std::uint64_t, TOpenFile> open_;
  std::unordered_map<std::uint64_t, TListing> listings_;  // open folders
  std::uint64_t nextHandle_ = 1;
  TFuseSession session_;
};

}  // namespace vaultfs::mount
