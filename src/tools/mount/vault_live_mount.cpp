// The read-write FUSE 3 adapter over one container: every request goes to
// the engine under one lock. See vault_live_mount.h.
#define FUSE_USE_VERSION 31
#include "tools/mount/vault_live_mount.h"

#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vaultfs/engine_api.h"
#include "vaultfs/export_metadata.h"
#include "vaultfs/utf16.h"

namespace vaultfs::mount {

namespace {

TVaultLiveMount& Self() {
  return *static_cast<TVaultLiveMount*>(fuse_get_context()->private_data);
}

// The most one engine transfer takes.
constexpr std::size_t kMaxTransfer = 0x40000000;

}  // namespace

// ---------------------------------------------------------------- callbacks

struct TVaultLiveMount::TCallbacks {
  // One request's engine work, under the lock, its failures as errno.
  template <typename Work>
  static int Locked(Work work) {
    TVaultLiveMount& self = Self();
    return Guarded([&] {
      std::lock_guard lock(self.mutex_);
      return work(self);
    });
  }

  static void* Init(fuse_conn_info* /*connection*/, fuse_config* config) {
    // Only this process changes the container, and the kernel sees every
    // change go by, so it may keep what it learnt for a while; a file's
    // pages are dropped when it is opened again, as the engine may have
    // rewritten them.
    config->entry_timeout = 1.0;
    config->attr_timeout = 1.0;
    config->negative_timeout = 0.0;
    return fuse_get_context()->private_data;
  }

  static int Getattr(const char* path, struct stat* out, fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      if (file != nullptr) {
        const auto found = self.open_.find(file->fh);
        if (found != self.open_.end()) {
          self.Stat(found->second.Path, *out);
          return 0;
        }
      }
      self.Stat(self.StoragePath(path), *out);
      return 0;
    });
  }

  static int Readlink(const char* path, char* buffer, std::size_t size) {
    if (size == 0) return -EINVAL;
    return Locked([&](TVaultLiveMount& self) {
      std::u16string target;
      self.storage_.ReadLink(self.StoragePath(path), target);
      const std::string bytes = Utf16ToUtf8(target);
      // Cut to the buffer, always terminated, as readlink(2) through FUSE wants.
      const std::size_t n = std::min(bytes.size(), size - 1);
      std::memcpy(buffer, bytes.data(), n);
      buffer[n] = '\0';
      return 0;
    });
  }

  // A folder's names are taken when a listing starts (offset 0, also after a
  // rewind); the listing goes on from the position the kernel gives, so a
  // large folder costs its own size once, and names added or removed
  // meanwhile do not shift it.
  static int Opendir(const char* path, fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string folder = self.StoragePath(path);
      std::uint32_t attributes = attrDirectory;
      if (!folder.empty()) self.storage_.GetFileAttributes(folder, attributes);
      if ((attributes & attrDirectory) == 0) return -ENOTDIR;
      const std::uint64_t handle = self.nextHandle_++;
      // The names are taken when the listing starts.
      self.listings_.emplace(handle, TListing{folder, {}});
      file->fh = handle;
      return 0;
    });
  }

  static int Releasedir(const char* /*path*/, fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      self.listings_.erase(file->fh);
      return 0;
    });
  }

  // Positions: 1 is ".", 2 is "..", 3 and on the names. When the kernel
  // asks for attributes with the names, each entry carries them, taken a
  // batch at a time under the lock and handed over outside it.
  static int Readdir(const char* /*path*/, void* buffer, fuse_fill_dir_t fill, off_t offset,
                     fuse_file_info* file, fuse_readdir_flags flags) {
    TVaultLiveMount& self = Self();
    const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
    const auto none = static_cast<fuse_fill_dir_flags>(0);
    return Guarded([&] {
      off_t at = std::max<off_t>(offset, 0);
      bool fresh = at == 0;
      if (at == 0) {
        if (fill(buffer, ".", nullptr, ++at, none) != 0) return 0;
      }
      if (at == 1) {
        if (fill(buffer, "..", nullptr, ++at, none) != 0) return 0;
      }
      constexpr std::size_t kBatch = 128;
      struct TEntry {
        std::string Name;
        struct stat St {};
        bool HasStat = false;
      };
      std::vector<TEntry> batch;
      for (;;) {
        batch.clear();
        {
          std::lock_guard lock(self.mutex_);
          const auto found = self.listings_.find(file->fh);
          if (found == self.listings_.end()) return -EBADF;
          TListing& listing = found->second;
          if (fresh) {
            listing.Names = self.ListNames(listing.Folder);
            fresh = false;
          }
          const auto first = static_cast<std::size_t>(at - 2);
          for (std::size_t i = first; i < listing.Names.size() && batch.size() < kBatch; ++i) {
            TEntry entry{listing.Names[i]};
            if (plus) {
              // An entry gone since the names were taken is listed by name
              // only; its lookup then finds it missing.
              try {
                self.Stat(self.ChildPath(listing.Folder, listing.Names[i]), entry.St);
                entry.HasStat = true;
              } catch (const std::exception&) {
              }
            }
            batch.push_back(std::move(entry));
          }
        }
        if (batch.empty()) return 0;
        for (const TEntry& entry : batch) {
          const auto how =
              entry.HasStat ? static_cast<fuse_fill_dir_flags>(FUSE_FILL_DIR_PLUS) : none;
          if (fill(buffer, entry.Name.c_str(), entry.HasStat ? &entry.St : nullptr, at + 1, how) !=
              0)
            return 0;
          ++at;
        }
      }
    });
  }

  static int Mkdir(const char* path, mode_t mode) {
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string storagePath = self.StoragePath(path);
      self.storage_.CreateDirectory(storagePath);
      self.StoreMetadata(storagePath, mode & 07777, Now());
      return 0;
    });
  }

  static int Rmdir(const char* path) {
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string storagePath = self.StoragePath(path);
      std::uint32_t attributes = 0;
      self.storage_.GetFileAttributes(storagePath, attributes);
      if ((attributes & attrDirectory) == 0) return -ENOTDIR;
      self.storage_.RemoveDirectory(storagePath);
      return 0;
    });
  }

  static int Unlink(const char* path) {
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string storagePath = self.StoragePath(path);
      std::uint32_t attributes = 0;
      self.storage_.GetFileAttributes(storagePath, attributes);
      if (attributes & attrDirectory) return -EISDIR;
      self.storage_.DeleteFile(storagePath);
      if (attributes & attrSymLink) self.SetLinkTime(storagePath, nullptr);
      return 0;
    });
  }

  static int Symlink(const char* target, const char* path) {
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string storagePath = self.StoragePath(path);
      // The target text is kept as it is, as import keeps it.
      self.storage_.CreateLink(storagePath, Utf8ToUtf16(target));
      // A stamp an earlier link of this name left must not outlive it.
      self.SetLinkTime(storagePath, nullptr);
      return 0;
    });
  }

  static int Rename(const char* from, const char* to, unsigned int flags) {
    // Swapping two entries has no engine operation that does it in one step.
    if (flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) return -EINVAL;
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string oldPath = self.StoragePath(from);
      const std::u16string newPath = self.StoragePath(to);
      std::uint32_t source = 0;
      self.storage_.GetFileAttributes(oldPath, source);
      std::uint32_t target = 0;
      bool targetExists = true;
      try {
        self.storage_.GetFileAttributes(newPath, target);
      } catch (const EVaultError& error) {
        if (ErrnoOf(error.ErrorCode) != ENOENT) throw;
        targetExists = false;
      }
      DiskTime linkTime;
      const bool isLink = (source & attrSymLink) != 0;
      const bool stamped = isLink && self.LinkTimeOf(oldPath, linkTime);
      if (targetExists) {
        if (flags & RENAME_NOREPLACE) return -EEXIST;
        const bool sourceFolder = (source & attrDirectory) != 0;
        const bool targetFolder = (target & attrDirectory) != 0;
        if (targetFolder && !sourceFolder) return -EISDIR;
        if (sourceFolder && !targetFolder) return -ENOTDIR;
        if (oldPath == newPath) return 0;
        if (targetFolder) {
          // Only an empty folder may be replaced; the engine says whether
          // it is (ENOTEMPTY), and then the move cannot meet it.
          self.storage_.RemoveDirectory(newPath);
          self.storage_.MoveFile(oldPath, newPath);
        } else {
          self.storage_.MoveFileReplace(oldPath, newPath);
          if (target & attrSymLink) self.SetLinkTime(newPath, nullptr);
        }
      } else {
        self.storage_.MoveFile(oldPath, newPath);
      }
      if (isLink) {
        self.SetLinkTime(oldPath, nullptr);
        self.SetLinkTime(newPath, stamped ? &linkTime : nullptr);
      }
      // Open files of the moved entry (or below a moved folder) follow it.
      for (auto& [handle, file] : self.open_) {
        if (file.Path == oldPath) {
          file.Path = newPath;
        } else if (file.Path.size() > oldPath.size() &&
                   file.Path.compare(0, oldPath.size(), oldPath) == 0 &&
                   file.Path[oldPath.size()] == self.separator_) {
          file.Path = newPath + file.Path.substr(oldPath.size());
        }
      }
      return 0;
    });
  }

  static int Chmod(const char* path, mode_t mode, fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string storagePath = self.OpenPath(path, file);
      struct stat st {};
      self.Stat(storagePath, st);
      // A link has no mode of its own.
      if (S_ISLNK(st.st_mode)) return 0;
      self.StoreMetadata(
          storagePath, mode & 07777,
          DiskTime{st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec)});
      return 0;
    });
  }

  static int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      struct stat st {};
      self.Stat(self.OpenPath(path, file), st);
      // Ownership is not stored: everything belongs to whoever mounted, and
      // only a change to that owner succeeds (as cp -a as that user asks).
      const bool sameUser = uid == static_cast<uid_t>(-1) || uid == st.st_uid;
      const bool sameGroup = gid == static_cast<gid_t>(-1) || gid == st.st_gid;
      return sameUser && sameGroup ? 0 : -EPERM;
    });
  }

  static int Utimens(const char* path, const timespec times[2], fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string storagePath = self.OpenPath(path, file);
      // Data still held by a handle would stamp its own time when stored.
      if (const EngineResult flushed = self.FlushHandlesOf(storagePath); flushed != 0)
        return -ErrnoOf(flushed);
      struct stat st {};
      self.Stat(storagePath, st);
      DiskTime modified{st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec)};
      // Only the modification time is kept; the access time follows it.
      if (times == nullptr || times[1].tv_nsec == UTIME_NOW) {
        modified = Now();
      } else if (times[1].tv_nsec != UTIME_OMIT) {
        modified = DiskTime{times[1].tv_sec, static_cast<std::uint32_t>(times[1].tv_nsec)};
      } else {
        return 0;
      }
      if (S_ISLNK(st.st_mode)) {
        StorageTime created = 0, changed = 0, accessed = 0;
        self.storage_.Call(
            StorageGetFileTimes(self.storage_.Handle(), storagePath, created, changed, accessed));
        self.storage_.Call(StorageSetFileTimes(self.storage_.Handle(), storagePath, created,
                                               DiskTimeToStorageTime(modified), accessed));
        self.SetLinkTime(storagePath, &modified);
      } else {
        self.StoreMetadata(storagePath, st.st_mode & 07777, modified);
      }
      return 0;
    });
  }

  static int OpenWith(const char* path, fuse_file_info* file, bool create, mode_t mode) {
    return Locked([&](TVaultLiveMount& self) {
      const std::u16string storagePath = self.StoragePath(path);
      const int access = file->flags & O_ACCMODE;
      const bool writable = create || access != O_RDONLY;
      std::unique_ptr<TVaultStream> stream;
      if (create) {
        stream = std::make_unique<TVaultStream>(
            self.storage_, storagePath, true, true, true, false, false,
            self.storage_.FilesPassword(), self.storage_.FilesEncryption(),
            self.storage_.Compression(), self.storage_.CompressionLevel(), 0);
        self.StoreMetadata(storagePath, mode & 07777, Now());
      } else {
        std::uint32_t attributes = 0;
        self.storage_.GetFileAttributes(storagePath, attributes);
        if (attributes & attrDirectory) return -EISDIR;
        const std::uint16_t mode16 =
            access == O_RDONLY ? fmOpenRead : (access == O_WRONLY ? fmOpenWrite : fmOpenReadWrite);
        stream = std::make_unique<TVaultStream>(
            self.storage_, storagePath, static_cast<std::uint16_t>(mode16 | fmShareDenyNone));
        if ((file->flags & O_TRUNC) != 0 && writable && stream->GetSize64() != 0) {
          stream->SetSize64(0);
          self.Touch(storagePath);
        }
      }
      const std::uint64_t handle = self.nextHandle_++;
      self.open_.emplace(handle, TOpenFile{storagePath, std::move(stream), writable});
      file->fh = handle;
      return 0;
    });
  }

  static int Create(const char* path, mode_t mode, fuse_file_info* file) {
    return OpenWith(path, file, true, mode);
  }
  static int Open(const char* path, fuse_file_info* file) { return OpenWith(path, file, false, 0); }

  static int Read(const char* /*path*/, char* buffer, std::size_t size, off_t offset,
                  fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      const auto found = self.open_.find(file->fh);
      if (found == self.open_.end()) return -EBADF;
      if (offset < 0) return -EINVAL;
      const std::size_t want = std::min(size, kMaxTransfer);
      std::size_t done = 0;
      while (done < want) {
        const std::int32_t got =
            found->second.Stream->ReadAt(offset + static_cast<off_t>(done), buffer + done,
                                         static_cast<std::int32_t>(want - done));
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
      }
      return static_cast<int>(done);
    });
  }

  static int Write(const char* /*path*/, const char* buffer, std::size_t size, off_t offset,
                   fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      const auto found = self.open_.find(file->fh);
      if (found == self.open_.end()) return -EBADF;
      if (!found->second.Writable) return -EBADF;
      if (offset < 0) return -EINVAL;
      const std::size_t want = std::min(size, kMaxTransfer);
      std::size_t done = 0;
      while (done < want) {
        const std::int32_t put =
            found->second.Stream->WriteAt(offset + static_cast<off_t>(done), buffer + done,
                                          static_cast<std::int32_t>(want - done));
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
      }
      // A write the engine took nothing of is a full container.
      return done == 0 && want > 0 ? -ENOSPC : static_cast<int>(done);
    });
  }

  static int Truncate(const char* path, off_t size, fuse_file_info* file) {
    if (size < 0) return -EINVAL;
    return Locked([&](TVaultLiveMount& self) {
      if (file != nullptr) {
        const auto found = self.open_.find(file->fh);
        if (found != self.open_.end() && found->second.Writable) {
          TVaultStream& open = *found->second.Stream;
          if (open.GetSize64() == size) return 0;
          open.SetSize64(size);
          self.Touch(found->second.Path);
          return 0;
        }
      }
      const std::u16string storagePath = self.StoragePath(path);
      std::uint32_t attributes = 0;
      self.storage_.GetFileAttributes(storagePath, attributes);
      if (attributes & attrDirectory) return -EISDIR;
      TVaultStream stream(self.storage_, storagePath,
                          static_cast<std::uint16_t>(fmOpenWrite | fmShareDenyNone));
      if (stream.GetSize64() != size) {
        stream.SetSize64(size);
        self.Touch(storagePath);
      }
      // Closed here so that a failure to store the change is reported.
      FileHandle* handle = stream.Handle;
      stream.Handle = nullptr;
      const EngineResult closed = StorageCloseFile(handle);
      return closed == 0 ? 0 : -ErrnoOf(closed);
    });
  }

  // close(2) of a file: its data is stored and committed, so that close
  // reports a failure to store it (a full container) and what a program
  // closed survives a crash of the mount.
  static int Flush(const char* /*path*/, fuse_file_info* file) { return Fsync(nullptr, 0, file); }

  static int Fsync(const char* /*path*/, int /*dataOnly*/, fuse_file_info* file) {
    return Locked([&](TVaultLiveMount& self) {
      const auto found = self.open_.find(file->fh);
      if (found == self.open_.end()) return -EBADF;
      if (!found->second.Writable) return 0;
      const EngineResult flushed = StorageFlushFile(found->second.Stream->Handle, 0);
      return flushed == 0 ? 0 : -ErrnoOf(flushed);
    });
  }

  static int Fsyncdir(const char* /*path*/, int /*dataOnly*/, fuse_file_info* /*file*/) {
    // Every change to a folder was committed when it was made.
    return 0;
  }

  static int Release(const char* /*path*/, fuse_file_info* file) {
    TVaultLiveMount& self = Self();
    std::lock_guard lock(self.mutex_);
    return self.CloseHandle(file->fh);
  }

  static int Statfs(const char* /*path*/, struct statvfs* out) {
    return Locked([&](TVaultLiveMount& self) {
      bool fixed = false;
      std::uint64_t size = 0, free = 0;
      self.storage_.Call(StorageGetSizes(self.storage_.Handle(), &fixed, &size, &free));
      // A container that grows has the room of the disk it lies on as well.
      if (!fixed) {
        std::string folder = Utf16ToUtf8(self.storage_.FileName());
        const std::size_t cut = folder.rfind('/');
        folder = cut == std::string::npos ? std::string(".") : folder.substr(0, cut + 1);
        struct statvfs host {};
        if (statvfs(folder.c_str(), &host) == 0) {
          const std::uint64_t room = static_cast<std::uint64_t>(host.f_bavail) * host.f_frsize;
          free += room;
          size += room;
        }
      }
      *out = {};
      out->f_bsize = kBlockSize;
      out->f_frsize = kBlockSize;
      out->f_blocks = static_cast<fsblkcnt_t>(size / kBlockSize);
      out->f_bfree = static_cast<fsblkcnt_t>(free / kBlockSize);
      out->f_bavail = out->f_bfree;
      out->f_namemax = 255;
      out->f_flag = ST_NOSUID | ST_NODEV;
      return 0;
    });
  }

  static fuse_operations Operations() {
    fuse_operations ops{};
    ops.init = Init;
    ops.getattr = Getattr;
    ops.readlink = Readlink;
    ops.opendir = Opendir;
    ops.readdir = Readdir;
    ops.releasedir = Releasedir;
    ops.mkdir = Mkdir;
    ops.rmdir = Rmdir;
    ops.unlink = Unlink;
    ops.symlink = Symlink;
    ops.rename = Rename;
    ops.chmod = Chmod;
    ops.chown = Chown;
    ops.utimens = Utimens;
    ops.create = Create;
    ops.open = Open;
    ops.read = Read;
    ops.write = Write;
    ops.truncate = Truncate;
    ops.flush = Flush;
    ops.fsync = Fsync;
    ops.fsyncdir = Fsyncdir;
    ops.release = Release;
    ops.statfs = Statfs;
    return ops;
  }
};

// ---------------------------------------------------------------- TVaultLiveMount

TVaultLiveMount::TVaultLiveMount(TVaultStorage& storage, std::string fsName)
    : storage_(storage),
      fsName_(std::move(fsName)),
      separator_(storage.PathSeparator()),
      umask_(CurrentUmask()),
      mountTime_(Now()) {}

TVaultLiveMount::~TVaultLiveMount() {
  // Streams close before the storage their caller owns goes.
  open_.clear();
}

std::vector<std::string> TVaultLiveMount::ListNames(const std::u16string& folder) {
  const std::u16string prefix = folder.empty() ? folder : folder + separator_;
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  TVaultSearchRec search;
  TSearchGuard guard{storage_, search};
  // Names only: without times and sizes the search needs no file's own
  // pages, only the folder's.
  for (bool found = storage_.FindFirstEx(search, prefix + u"*.*", 0xFFFFFFFFu, 0); found;
       found = storage_.FindNext(search)) {
    std::string name = StorageNameToDisk(search.Name);
    // As export: names a disk cannot hold, or two that meet on one disk
    // name, are left out.
    if (IsSafeDiskName(name) && seen.insert(name).second) names.push_back(std::move(name));
  }
  return names;
}

std::u16string TVaultLiveMount::ChildPath(const std::u16string& folder,
                                          const std::string& name) const {
  std::u16string path = folder;
  if (!path.empty()) path += separator_;
  return path + DiskNameToStorage(name);
}

std::u16string TVaultLiveMount::StoragePath(const char* path) const {
  std::u16string out;
  std::string_view rest(path);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (name.empty()) continue;
    if (!out.empty()) out.push_back(separator_);
    out += DiskNameToStorage(name);
  }
  return out;
}

std::u16string TVaultLiveMount::OpenPath(const char* path, const fuse_file_info* file) const {
  if (file != nullptr) {
    const auto found = open_.find(file->fh);
    if (found != open_.end()) return found->second.Path;
  }
  return StoragePath(path);
}

void TVaultLiveMount::SplitPath(const std::u16string& path, std::u16string& folder,
                                std::u16string& name) const {
  const std::size_t cut = path.rfind(separator_);
  folder = cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
  name = cut == std::u16string::npos ? path : path.substr(cut + 1);
}

bool TVaultLiveMount::LinkTimeOf(const std::u16string& path, DiskTime& out) {
  std::u16string folder, name;
  SplitPath(path, folder, name);
  for (const LinkTime& link : ReadLinkTimes(storage_, folder)) {
    if (link.Name == name) {
      out = link.Modified;
      return true;
    }
  }
  return false;
}

void TVaultLiveMount::SetLinkTime(const std::u16string& path, const DiskTime* time) {
  std::u16string folder, name;
  SplitPath(path, folder, name);
  std::vector<LinkTime> table = ReadLinkTimes(storage_, folder);
  const auto at = std::find_if(table.begin(), table.end(),
                               [&name](const LinkTime& link) { return link.Name == name; });
  if (time == nullptr) {
    if (at == table.end()) return;
    table.erase(at);
  } else if (at != table.end()) {
    at->Modified = *time;
  } else {
    table.push_back(LinkTime{name, *time});
  }
  StoreLinkTimes(storage_, folder, table);
}

void TVaultLiveMount::Stat(const std::u16string& path, struct stat& out) {
  if (path.empty()) {
    FillEntryStat(TopFolderInfo(storage_, path, umask_, mountTime_), 0, 1, out);
    return;
  }
  std::uint32_t attributes = 0;
  storage_.GetFileAttributes(path, attributes);
  DiskTime linkTime;
  const bool stamped = (attributes & attrSymLink) != 0 && LinkTimeOf(path, linkTime);
  const TEntryInfo info =
      ReadEntryInfo(storage_, path, stamped ? &linkTime : nullptr, umask_, mountTime_);
  std::uint64_t size = 0;
  if (info.Kind == TEntryKind::Link) {
    std::u16string target;
    storage_.ReadLink(path, target);
    size = Utf16ToUtf8(target).size();
  } else if (info.Kind == TEntryKind::File) {
    // A file open for writing knows its size better than its folder entry.
    bool fromHandle = false;
    for (auto& [handle, file] : open_) {
      if (file.Path == path && file.Writable) {
        size = static_cast<std::uint64_t>(file.Stream->GetSize64());
        fromHandle = true;
        break;
      }
    }
    if (!fromHandle) {
      TVaultSearchRec search;
      TSearchGuard guard{storage_, search};
      if (!storage_.FindFirst(search, path, 0xFFFFFFFFu)) CheckResult(errFileNotFound);
      size = search.Size;
    }
  }
  // Folders count no links: finding their subfolders would take a listing.
  FillEntryStat(info, size, 1, out);
}

void TVaultLiveMount::StoreMetadata(const std::u16string& path, mode_t mode, DiskTime modified) {
  std::uint8_t tag[kPosixMetadataSize];
  EncodePosixMetadata(PosixMetadata{static_cast<std::uint32_t>(mode & 07777), modified},
                      std::span<std::uint8_t, kPosixMetadataSize>(tag));
  storage_.SetFileTag(path, kPosixMetadataTag, tag, kPosixMetadataSize);
  StorageTime created = 0, changed = 0, accessed = 0;
  storage_.Call(StorageGetFileTimes(storage_.Handle(), path, created, changed, accessed));
  if (created == 0) created = DiskTimeToStorageTime(modified);
  storage_.Call(StorageSetFileTimes(storage_.Handle(), path, created,
                                    DiskTimeToStorageTime(modified), accessed));
  // The mapped attribute bits follow the mode and name; the others stay.
  std::u16string folder, name;
  SplitPath(path, folder, name);
  std::uint32_t current = 0;
  storage_.GetFileAttributes(path, current);
  const std::uint32_t wanted =
      (current & ~kMappedStorageAttributes) |
      WindowsToStorageAttributes(DiskAttributes(StorageNameToDisk(name), mode));
  if (wanted != current) storage_.SetFileAttributes(path, wanted);
}

void TVaultLiveMount::Touch(const std::u16string& path) {
  // A size change is a change of the data: the file's time becomes now, as
  // a write's does (the engine's own size change keeps the time).
  struct stat st {};
  Stat(path, st);
  StoreMetadata(path, st.st_mode & 07777, Now());
}

EngineResult TVaultLiveMount::FlushHandlesOf(const std::u16string& path) {
  EngineResult first = 0;
  for (auto& [handle, file] : open_) {
    if (file.Path != path || !file.Writable) continue;
    const EngineResult flushed = StorageFlushFile(file.Stream->Handle, 0);
    if (first == 0) first = flushed;
  }
  return first;
}

int TVaultLiveMount::CloseHandle(std::uint64_t handle) {
  const auto found = open_.find(handle);
  if (found == open_.end()) return -EBADF;
  // Closed here, not by the stream's destructor, so that a failure to store
  // the last data is known.
  FileHandle* engineHandle = found->second.Stream->Handle;
  found->second.Stream->Handle = nullptr;
  open_.erase(found);
  const EngineResult closed = StorageCloseFile(engineHandle);
  return closed == 0 ? 0 : -ErrnoOf(closed);
}

bool TVaultLiveMount::Mount(const std::string& directory, std::string& error) {
  // Modes are the kernel's to enforce, as on a disk file system.
  const fuse_operations ops = TCallbacks::Operations();
  return session_.Mount(ops, this, directory, "rw,default_permissions,fsname=" + fsName_, error);
}

int TVaultLiveMount::Serve() {
  int result = session_.Serve(false);
  // Files the kernel had not released yet when the loop ended: closed now,
  // while the storage is surely still open.
  std::lock_guard lock(mutex_);
  while (!open_.empty()) {
    const int closed = CloseHandle(open_.begin()->first);
    if (result == 0 && closed != 0) result = -closed;
  }
  return result;
}

}  // namespace vaultfs::mount
