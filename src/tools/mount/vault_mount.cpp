// The read-only FUSE 3 adapter over one container: the tree is loaded into
// memory when the mount is made, bytes are read through the engine on demand
// under one lock. See vault_mount.h.
#define FUSE_USE_VERSION 31
#include "tools/mount/vault_mount.h"

#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <exception>
#include <unordered_set>
#include <utility>

#include "vaultfs/engine_api.h"
#include "vaultfs/export_metadata.h"
#include "vaultfs/utf16.h"

namespace vaultfs::mount {

namespace {

// Nothing changes under a mount made from a read-only container, so the
// kernel may keep what it learnt for as long as it likes.
constexpr double kCacheSeconds = 86400.0;
TVaultMount& Self() {
  return *static_cast<TVaultMount*>(fuse_get_context()->private_data);
}

// ---------------------------------------------------------------- callbacks

void* OnInit(fuse_conn_info* /*connection*/, fuse_config* config) {
  // Our own inode numbers, stable for the mount's life; contents and
  // metadata never change, so every cache may keep them.
  config->use_ino = 1;
  config->kernel_cache = 1;
  config->entry_timeout = kCacheSeconds;
  config->attr_timeout = kCacheSeconds;
  config->negative_timeout = kCacheSeconds;
  return fuse_get_context()->private_data;
}

int OnGetattr(const char* path, struct stat* out, fuse_file_info* /*file*/) {
  TVaultMount& self = Self();
  std::size_t node = 0;
  if (!self.Find(path, node)) return -ENOENT;
  self.FillStat(node, *out);
  return 0;
}

int OnReadlink(const char* path, char* buffer, std::size_t size) {
  TVaultMount& self = Self();
  std::size_t node = 0;
  if (!self.Find(path, node)) return -ENOENT;
  if (self.Node(node).Kind != TVaultMount::TKind::Link) return -EINVAL;
  if (size == 0) return -EINVAL;
  std::string target;
  if (const int result = self.ReadLinkTarget(node, target); result != 0) return result;
  // Cut to the buffer, always terminated, as readlink(2) through FUSE wants.
  const std::size_t n = std::min(target.size(), size - 1);
  std::memcpy(buffer, target.data(), n);
  buffer[n] = '\0';
  return 0;
}

int OnOpendir(const char* path, fuse_file_info* file) {
  TVaultMount& self = Self();
  std::size_t node = 0;
  if (!self.Find(path, node)) return -ENOENT;
  if (self.Node(node).Kind != TVaultMount::TKind::Folder) return -ENOTDIR;
  // The tree never changes: the kernel may keep a folder's listing.
  file->cache_readdir = 1;
  file->keep_cache = 1;
  return 0;
}

// Entries by position: 1 is ".", 2 is "..", 3 and on the children in name
// order; each filled entry carries the position of the next, so the kernel
// asks for a large folder piece by piece and every piece costs its own size.
int OnReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
              fuse_file_info* /*file*/, fuse_readdir_flags flags) {
  TVaultMount& self = Self();
  std::size_t node = 0;
  if (!self.Find(path, node)) return -ENOENT;
  const TVaultMount::TNode& folder = self.Node(node);
  if (folder.Kind != TVaultMount::TKind::Folder) return -ENOTDIR;
  // Every entry's attributes are at hand: given with the names, a long
  // listing needs no lookup of each entry after.
  const auto plus =
      static_cast<fuse_fill_dir_flags>((flags & FUSE_READDIR_PLUS) != 0 ? FUSE_FILL_DIR_PLUS : 0);
  const auto none = static_cast<fuse_fill_dir_flags>(0);
  return Guarded([&] {
    struct stat st {};
    off_t at = std::max<off_t>(offset, 0);
    if (at == 0) {
      self.FillStat(node, st);
      if (fill(buffer, ".", &st, ++at, none) != 0) return 0;
    }
    if (at == 1) {
      self.FillStat(folder.Parent, st);
      if (fill(buffer, "..", &st, ++at, none) != 0) return 0;
    }
    for (auto i = static_cast<std::size_t>(at - 2); i < folder.Children.size(); ++i) {
      const auto& [name, child] = folder.Children[i];
      self.FillStat(child, st);
      if (fill(buffer, name.c_str(), &st, ++at, plus) != 0) break;
    }
    return 0;
  });
}

int OnOpen(const char* path, fuse_file_info* file) {
  TVaultMount& self = Self();
  std::size_t node = 0;
  if (!self.Find(path, node)) return -ENOENT;
  std::uint64_t handle = 0;
  const int result = self.OpenFile(node, file->flags, handle);
  if (result != 0) return result;
  file->fh = handle;
  file->keep_cache = 1;
  return 0;
}

int OnRead(const char* /*path*/, char* buffer, std::size_t size, off_t offset,
           fuse_file_info* file) {
  return Self().ReadFile(file->fh, buffer, size, offset);
}

int OnRelease(const char* /*path*/, fuse_file_info* file) {
  Self().ReleaseFile(file->fh);
  return 0;
}

int OnStatfs(const char* /*path*/, struct statvfs* out) {
  return Guarded([&] {
    Self().FillStatfs(*out);
    return 0;
  });
}

// Everything that would change the tree: the mount is read-only.
int RefuseMknod(const char*, mode_t, dev_t) {
  return -EROFS;
}
int RefusePath(const char*) {
  return -EROFS;
}
int RefuseMkdir(const char*, mode_t) {
  return -EROFS;
}
int RefuseTwoPaths(const char*, const char*) {
  return -EROFS;
}
int RefuseRename(const char*, const char*, unsigned int) {
  return -EROFS;
}
int RefuseChmod(const char*, mode_t, fuse_file_info*) {
  return -EROFS;
}
int RefuseChown(const char*, uid_t, gid_t, fuse_file_info*) {
  return -EROFS;
}
int RefuseTruncate(const char*, off_t, fuse_file_info*) {
  return -EROFS;
}
int RefuseWrite(const char*, const char*, std::size_t, off_t, fuse_file_info*) {
  return -EROFS;
}
int RefuseSetxattr(const char*, const char*, const char*, std::size_t, int) {
  return -EROFS;
}
int RefuseRemovexattr(const char*, const char*) {
  return -EROFS;
}
int RefuseCreate(const char*, mode_t, fuse_file_info*) {
  return -EROFS;
}
int RefuseUtimens(const char*, const timespec[2], fuse_file_info*) {
  return -EROFS;
}
int RefuseFallocate(const char*, int, off_t, off_t, fuse_file_info*) {
  return -EROFS;
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = OnInit;
  ops.getattr = OnGetattr;
  ops.readlink = OnReadlink;
  ops.opendir = OnOpendir;
  ops.readdir = OnReaddir;
  ops.open = OnOpen;
  ops.read = OnRead;
  ops.release = OnRelease;
  ops.statfs = OnStatfs;
  ops.mknod = RefuseMknod;
  ops.mkdir = RefuseMkdir;
  ops.unlink = RefusePath;
  ops.rmdir = RefusePath;
  ops.symlink = RefuseTwoPaths;
  ops.rename = RefuseRename;
  ops.link = RefuseTwoPaths;
  ops.chmod = RefuseChmod;
  ops.chown = RefuseChown;
  ops.truncate = RefuseTruncate;
  ops.write = RefuseWrite;
  ops.setxattr = RefuseSetxattr;
  ops.removexattr = RefuseRemovexattr;
  ops.create = RefuseCreate;
  ops.utimens = RefuseUtimens;
  ops.fallocate = RefuseFallocate;
  return ops;
}

}  // namespace

// ---------------------------------------------------------------- TVaultMount

TVaultMount::TVaultMount(TVaultStorage& storage, std::u16string root, TEntryCheck check,
                         TMountOptions options)
    : storage_(storage),
      root_(std::move(root)),
      check_(std::move(check)),
      options_(std::move(options)),
      umask_(CurrentUmask()),
      loadTime_(Now()) {}

TVaultMount::~TVaultMount() {
  // Streams close before the storage their caller owns goes.
  open_.clear();
}

void TVaultMount::Load() {
  nodes_.clear();
  skippedNames_ = 0;
  const char16_t separator = storage_.PathSeparator();
  TNode top;
  top.Kind = TKind::Folder;
  top.Parent = 0;
  top.StoragePath = root_;
  while (!top.StoragePath.empty() && top.StoragePath.back() == separator)
    top.StoragePath.pop_back();
  const TEntryInfo info = TopFolderInfo(storage_, top.StoragePath, umask_, loadTime_);
  top.Mode = info.Mode;
  top.Modified = info.Modified;
  nodes_.push_back(std::move(top));

  std::vector<std::size_t> pending{0};
  while (!pending.empty()) {
    const std::size_t index = pending.back();
    pending.pop_back();
    const std::size_t before = nodes_.size();
    LoadFolder(index, index == 0 ? root_ : nodes_[index].StoragePath + separator);
    for (std::size_t i = nodes_.size(); i-- > before;)
      if (nodes_[i].Kind == TKind::Folder) pending.push_back(i);
  }
  std::lock_guard lock(mutex_);
  verdicts_.assign(nodes_.size(), TVerdict::Unchecked);
}

void TVaultMount::LoadFolder(std::size_t index, const std::u16string& folderPath) {
  struct Found {
    std::u16string Name;
    std::uint32_t Attributes;
    std::uint64_t Size;
  };
  std::vector<Found> entries;
  {
    TVaultSearchRec search;
    TSearchGuard guard{storage_, search};
    for (bool found = storage_.FindFirst(search, folderPath + u"*.*", 0xFFFFFFFFu); found;
         found = storage_.FindNext(search))
      entries.push_back(Found{search.Name, search.Attributes, search.Size});
  }
  // Link times live in the folder's tags; read only when it has links.
  bool linkTimesRead = false;
  std::unordered_map<std::u16string, DiskTime> linkTimes;
  std::unordered_set<std::string> names;
  for (Found& entry : entries) {
    std::string diskName = StorageNameToDisk(entry.Name);
    if (!IsSafeDiskName(diskName) || !names.insert(diskName).second) {
      ++skippedNames_;
      continue;
    }
    TNode node;
    node.Parent = index;
    node.StoragePath = folderPath + entry.Name;
    const DiskTime* linkTime = nullptr;
    if (entry.Attributes & attrSymLink) {
      if (!linkTimesRead) {
        linkTimesRead = true;
        std::u16string folder = folderPath;
        if (!folder.empty()) folder.pop_back();
        for (LinkTime& link : ReadLinkTimes(storage_, folder))
          linkTimes[std::move(link.Name)] = link.Modified;
      }
      const auto exact = linkTimes.find(entry.Name);
      if (exact != linkTimes.end()) linkTime = &exact->second;
    }
    const TEntryInfo info = ReadEntryInfo(storage_, node.StoragePath, linkTime, umask_, loadTime_);
    node.Kind = info.Kind;
    node.Mode = info.Mode;
    node.Modified = info.Modified;
    if (node.Kind == TKind::Folder) {
      ++nodes_[index].Subfolders;
    } else if (node.Kind == TKind::Link) {
      std::u16string target;
      storage_.ReadLink(node.StoragePath, target);
      node.LinkTarget = Utf16ToUtf8(target);
      node.Size = node.LinkTarget.size();
    } else {
      node.Size = entry.Size;
    }
    nodes_.push_back(std::move(node));
    nodes_[index].Children.emplace_back(std::move(diskName), nodes_.size() - 1);
  }
  auto& children = nodes_[index].Children;
  std::sort(children.begin(), children.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
}

bool TVaultMount::Find(const char* path, std::size_t& node) const {
  std::size_t at = 0;
  std::string_view rest(path);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (name.empty()) continue;
    const TNode& folder = nodes_[at];
    if (folder.Kind != TKind::Folder) return false;
    const auto found =
        std::lower_bound(folder.Children.begin(), folder.Children.end(), name,
                         [](const auto& child, std::string_view key) { return child.first < key; });
    if (found == folder.Children.end() || found->first != name) return false;
    at = found->second;
  }
  node = at;
  return true;
}

void TVaultMount::FillStat(std::size_t index, struct stat& out) const {
  const TNode& node = nodes_[index];
  const nlink_t links = node.Kind == TKind::Folder ? 2 + node.Subfolders : 1;
  FillEntryStat(TEntryInfo{node.Kind, node.Mode, node.Modified}, node.Size, links, out);
  out.st_ino = index + 1;
}

bool TVaultMount::Checked(std::size_t index) {
  TVerdict& verdict = verdicts_[index];
  if (verdict == TVerdict::Unchecked) {
    bool sound = true;
    if (check_) {
      try {
        sound = check_(storage_, nodes_[index].StoragePath, nodes_[index].Kind == TKind::Link);
      } catch (...) {
        sound = false;
      }
    }
    verdict = sound ? TVerdict::Sound : TVerdict::Damaged;
  }
  return verdict == TVerdict::Sound;
}

int TVaultMount::OpenFile(std::size_t index, int flags, std::uint64_t& handle) {
  const TNode& node = nodes_[index];
  if (node.Kind == TKind::Folder) return -EISDIR;
  if ((flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0) return -EROFS;
  return Guarded([&] {
    std::lock_guard lock(mutex_);
    auto stream =
        std::make_unique<TVaultStream>(storage_, node.StoragePath, fmOpenRead | fmShareDenyWrite);
    handle = nextHandle_++;
    open_.emplace(handle, TOpenFile{index, std::move(stream)});
    return 0;
  });
}

int TVaultMount::ReadFile(std::uint64_t handle, char* buffer, std::size_t size, off_t offset) {
  return Guarded([&] {
    std::lock_guard lock(mutex_);
    const auto found = open_.find(handle);
    if (found == open_.end()) return -EBADF;
    // Nothing of a file is served before its check passed.
    if (!Checked(found->second.Node)) return -EIO;
    const std::uint64_t fileSize = nodes_[found->second.Node].Size;
    if (offset < 0) return -EINVAL;
    if (static_cast<std::uint64_t>(offset) >= fileSize) return 0;
    std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(size, fileSize - static_cast<std::uint64_t>(offset)));
    want = std::min<std::size_t>(want, 0x40000000);
    std::size_t done = 0;
    while (done < want) {
      const std::int32_t got = found->second.Stream->ReadAt(
          offset + static_cast<off_t>(done), buffer + done, static_cast<std::int32_t>(want - done));
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    return static_cast<int>(done);
  });
}

void TVaultMount::ReleaseFile(std::uint64_t handle) {
  std::lock_guard lock(mutex_);
  open_.erase(handle);
}

int TVaultMount::ReadLinkTarget(std::size_t index, std::string& target) {
  std::lock_guard lock(mutex_);
  return Guarded([&] {
    if (!Checked(index)) return -EIO;
    target = nodes_[index].LinkTarget;
    return 0;
  });
}

void TVaultMount::FillStatfs(struct statvfs& out) {
  std::int64_t size = 0;
  {
    std::lock_guard lock(mutex_);
    size = storage_.GetStorageSize();
  }
  out = {};
  out.f_bsize = kBlockSize;
  out.f_frsize = kBlockSize;
  out.f_blocks = static_cast<fsblkcnt_t>(std::max<std::int64_t>(size, 0) / kBlockSize);
  // Read-only: no room for anything new.
  out.f_bfree = 0;
  out.f_bavail = 0;
  out.f_files = nodes_.size();
  out.f_ffree = 0;
  out.f_favail = 0;
  out.f_namemax = 255;
  out.f_flag = ST_RDONLY | ST_NOSUID | ST_NODEV;
}

bool TVaultMount::Mount(const std::string& directory, std::string& error) {
  // Modes are the kernel's to enforce, as on the disk an export writes to.
  const fuse_operations ops = Operations();
  return session_.Mount(ops, this, directory, "ro,default_permissions,fsname=" + options_.FsName,
                        error);
}

int TVaultMount::Serve() {
  const int result = session_.Serve(options_.MultiThreaded);
  // Files the kernel had not released yet when the loop ended: their streams
  // go now, while the storage is surely still open (its owner may close it
  // as soon as this returns).
  std::lock_guard lock(mutex_);
  open_.clear();
  return result;
}

}  // namespace vaultfs::mount
