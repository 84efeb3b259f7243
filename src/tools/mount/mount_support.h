// What the two FUSE adapters over a container share: the FUSE session that
// mounts and serves, the errno a container failure gives a request, the
// metadata an entry shows (the same an export gives it on disk, through
// vaultfs/export_metadata.h) and the stat record built from it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "vaultfs/disk_tree.h"
#include "vaultfs/result_codes.h"
#include "vaultfs/vault_error.h"
#include "vaultfs/vault_storage.h"

struct fuse;
struct fuse_operations;

namespace vaultfs::mount {

// What the mounts report as their block size: the engine's file block.
inline constexpr std::uint32_t kBlockSize = 16384;

// The errno (positive) a request answers with for an engine result.
int ErrnoOf(EngineResult result);

// A container error while serving one request is that request's errno; it
// must never unwind into libfuse.
template <typename Work>
int Guarded(Work work) {
  try {
    return work();
  } catch (const EVaultError& error) {
    return -ErrnoOf(error.ErrorCode);
  } catch (const std::system_error& error) {
    return error.code().value() > 0 ? -error.code().value() : -EIO;
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  } catch (...) {
    return -EIO;
  }
}

DiskTime Now();

enum class TEntryKind : std::uint8_t { File, Folder, Link };

// What an entry shows on a mount: the mode and time an export would give it.
struct TEntryInfo {
  TEntryKind Kind = TEntryKind::File;
  mode_t Mode = 0;  // permission bits
  DiskTime Modified;
};

// Reads the entry at `path` (a full container path, no trailing separator).
// `linkTime` is a link's stamp from its folder's table (nullptr when none);
// `fallback` is the time an entry without one gets. Raises on container
// errors.
TEntryInfo ReadEntryInfo(TVaultStorage& storage, const std::u16string& path,
                         const DiskTime* linkTime, mode_t umask, DiskTime fallback);

// The top of a mount: a folder of the container (`path`) keeps its own
// details, as the top of an export does; the container's root ("") shows
// the mode and time of its tag when a read-write mount stored one, else a
// new folder's mode and `fallback` as its time.
TEntryInfo TopFolderInfo(TVaultStorage& storage, const std::u16string& path, mode_t umask,
                         DiskTime fallback);

// The stat record of an entry; files belong to whoever runs the mount.
void FillEntryStat(const TEntryInfo& entry, std::uint64_t size, nlink_t links, struct stat& out);

// One FUSE session: made and mounted by Mount, served by Serve.
class TFuseSession {
 public:
  TFuseSession() = default;
  ~TFuseSession();
  TFuseSession(const TFuseSession&) = delete;
  TFuseSession& operator=(const TFuseSession&) = delete;

  // Mounts on `directory` with the options `mountOptions` ("-o" words);
  // false with a message when that fails. `userData` is the callbacks'
  // private data.
  [[nodiscard]] bool Mount(const fuse_operations& operations, void* userData,
                           const std::string& directory, const std::string& mountOptions,
                           std::string& error);
  // Serves requests until the file system is unmounted (or SIGINT, SIGTERM,
  // SIGHUP ask for it), then unmounts. Returns 0, or the loop's error.
  int Serve(bool multiThreaded);

 private:
  struct fuse* fuse_ = nullptr;
  bool mounted_ = false;
};

}  // namespace vaultfs::mount
