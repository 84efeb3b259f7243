// The tests' recording file system: a FUSE pass-through of a folder that
// logs every change it passes down (creates, writes with their data,
// truncates, renames, unlinks, folders, links, modes, times) and every
// fsync, in the order they arrive, for crash_states to replay. It serves one
// request at a time, so the log's order is the order the kernel passed them.
//
// It can also fail a chosen call: the file `/.record-control` in the root of
// the mount (not in the folder below, never logged) takes a line
// "CLASS N ERRNO" (CLASS one of write, fsync, rename, unlink, close, mkdir;
// ERRNO a number), which fails the N-th call of that class from then on
// with that error, once; "none" fails nothing. Either resets the counts.
// Reading the file gives the counts since, one "CLASS COUNT" line each.
//
//   record_fs BACKING MOUNTPOINT LOG [FUSE OPTIONS...]   (LOG may be /dev/null)
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fs_log.h"

namespace {

using korvane_test::LogOp;
using korvane_test::LogRecord;

constexpr const char* kControlPath = "/.record-control";
constexpr std::uint64_t kControlHandle = ~std::uint64_t{0};

enum FaultClass { kWriteCalls, kFsyncCalls, kRenameCalls, kUnlinkCalls, kCloseCalls, kMkdirCalls, kClasses };
constexpr const char* kClassNames[kClasses] = {"write", "fsync", "rename", "unlink", "close", "mkdir"};

struct State {
  std::string Backing;
  std::FILE* Log = nullptr;
  std::uint64_t NextHandle = 1;
  std::map<std::uint64_t, int> Fds;  // file and folder handles
  std::uint64_t Counts[kClasses] = {};
  int FaultClass = -1;
  std::uint64_t FaultAt = 0;
  int FaultErrno = 0;
  std::string ControlInput;
};
State g;

std::string Below(const char* path) { return g.Backing + path; }

bool IsControl(const char* path) { return path != nullptr && std::strcmp(path, kControlPath) == 0; }

int Fd(const fuse_file_info* fi) {
  const auto it = g.Fds.find(fi->fh);
  return it == g.Fds.end() ? -1 : it->second;
}

void Log(const LogRecord& record) {
  if (g.Log != nullptr) korvane_test::WriteRecord(g.Log, record);
}

LogRecord Record(LogOp op, const char* path = nullptr, std::uint64_t handle = 0) {
  LogRecord r;
  r.Op = op;
  r.Handle = handle;
  if (path != nullptr) r.Path = path;
  return r;
}

// Counts a call of `c`; the error to fail it with, or 0.
int Fault(FaultClass c) {
  ++g.Counts[c];
  if (g.FaultClass == c && g.Counts[c] == g.FaultAt) return -g.FaultErrno;
  return 0;
}

void ApplyControl() {
  std::istringstream in(g.ControlInput);
  std::string name;
  std::uint64_t at = 0;
  int error = 0;
  g.FaultClass = -1;
  for (std::uint64_t& count : g.Counts) count = 0;
  if (!(in >> name) || name == "none") return;
  if (!(in >> at >> error)) return;
  for (int c = 0; c < kClasses; ++c)
    if (name == kClassNames[c]) g.FaultClass = c;
  g.FaultAt = at;
  g.FaultErrno = error;
}

std::string CountsText() {
  std::string text;
  for (int c = 0; c < kClasses; ++c)
    text += std::string(kClassNames[c]) + " " + std::to_string(g.Counts[c]) + "\n";
  return text;
}

int Errno() { return -errno; }

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
  // Inode numbers of the folder below (the application compares them), no
  // hidden renames of open files that are unlinked, no caches that would
  // hide a request from the log.
  cfg->use_ino = 1;
  cfg->hard_remove = 1;
  cfg->nullpath_ok = 1;
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  return nullptr;
}

void Destroy(void*) {
  if (g.Log != nullptr) std::fclose(g.Log);
  g.Log = nullptr;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  if (IsControl(path) || (fi != nullptr && fi->fh == kControlHandle)) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    return 0;
  }
  const int rc = fi != nullptr ? fstat(Fd(fi), st) : lstat(Below(path).c_str(), st);
  return rc == 0 ? 0 : Errno();
}

int ReadLink(const char* path, char* buffer, size_t size) {
  const ssize_t n = readlink(Below(path).c_str(), buffer, size - 1);
  if (n < 0) return Errno();
  buffer[n] = '\0';
  return 0;
}

std::uint32_t ModeOf(const std::string& below) {
  struct stat st {};
  return lstat(below.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int MkDir(const char* path, mode_t mode) {
  if (const int f = Fault(kMkdirCalls)) return f;
  if (mkdir(Below(path).c_str(), mode) != 0) return Errno();
  LogRecord r = Record(LogOp::kMkdir, path);
  r.Mode = ModeOf(Below(path));
  Log(r);
  return 0;
}

int Unlink(const char* path) {
  if (const int f = Fault(kUnlinkCalls)) return f;
  if (unlink(Below(path).c_str()) != 0) return Errno();
  Log(Record(LogOp::kUnlink, path));
  return 0;
}

int RmDir(const char* path) {
  if (const int f = Fault(kUnlinkCalls)) return f;
  if (rmdir(Below(path).c_str()) != 0) return Errno();
  Log(Record(LogOp::kRmdir, path));
  return 0;
}

int SymLink(const char* target, const char* path) {
  if (symlink(target, Below(path).c_str()) != 0) return Errno();
  LogRecord r = Record(LogOp::kSymlink, path);
  r.Path2 = target;
  Log(r);
  return 0;
}

int Rename(const char* from, const char* to, unsigned int flags) {
  if (const int f = Fault(kRenameCalls)) return f;
  if (renameat2(AT_FDCWD, Below(from).c_str(), AT_FDCWD, Below(to).c_str(), flags) != 0)
    return Errno();
  LogRecord r = Record(LogOp::kRename, from);
  r.Path2 = to;
  r.Flags = flags;
  Log(r);
  return 0;
}

int Link(const char* from, const char* to) {
  if (link(Below(from).c_str(), Below(to).c_str()) != 0) return Errno();
  LogRecord r = Record(LogOp::kLink, from);
  r.Path2 = to;
  Log(r);
  return 0;
}

int ChMod(const char* path, mode_t mode, fuse_file_info* fi) {
  const int rc = fi != nullptr ? fchmod(Fd(fi), mode) : chmod(Below(path).c_str(), mode);
  if (rc != 0) return Errno();
  LogRecord r = fi != nullptr ? Record(LogOp::kChmod, nullptr, fi->fh) : Record(LogOp::kChmod, path);
  r.Mode = mode & 07777;
  Log(r);
  return 0;
}

int ChOwn(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  // Owners are not part of what the application keeps: passed on, not logged.
  const int rc = fi != nullptr ? fchown(Fd(fi), uid, gid) : lchown(Below(path).c_str(), uid, gid);
  return rc == 0 ? 0 : Errno();
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  if (IsControl(path) || (fi != nullptr && fi->fh == kControlHandle)) return 0;
  const int rc = fi != nullptr ? ftruncate(Fd(fi), size) : truncate(Below(path).c_str(), size);
  if (rc != 0) return Errno();
  LogRecord r =
      fi != nullptr ? Record(LogOp::kTruncate, nullptr, fi->fh) : Record(LogOp::kTruncate, path);
  r.Size = static_cast<std::uint64_t>(size);
  Log(r);
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (IsControl(path)) {
    fi->fh = kControlHandle;
    fi->direct_io = 1;
    g.ControlInput.clear();
    return 0;
  }
  const int fd = open(Below(path).c_str(), fi->flags & ~O_APPEND);
  if (fd < 0) return Errno();
  fi->fh = g.NextHandle++;
  g.Fds[fi->fh] = fd;
  Log(Record(LogOp::kOpen, path, fi->fh));
  if ((fi->flags & O_TRUNC) != 0 && (fi->flags & O_ACCMODE) != O_RDONLY) {
    LogRecord r = Record(LogOp::kTruncate, nullptr, fi->fh);
    r.Size = 0;
    Log(r);
  }
  return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  const int fd = open(Below(path).c_str(), (fi->flags & ~O_APPEND) | O_CREAT, mode);
  if (fd < 0) return Errno();
  fi->fh = g.NextHandle++;
  g.Fds[fi->fh] = fd;
  LogRecord r = Record(LogOp::kCreate, path, fi->fh);
  struct stat st {};
  r.Mode = fstat(fd, &st) == 0 ? st.st_mode & 07777 : mode & 07777;
  Log(r);
  return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  if (fi->fh == kControlHandle) {
    const std::string text = CountsText();
    if (static_cast<size_t>(offset) >= text.size()) return 0;
    const size_t n = std::min(size, text.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, text.data() + offset, n);
    return static_cast<int>(n);
  }
  const ssize_t n = pread(Fd(fi), buffer, size, offset);
  return n < 0 ? Errno() : static_cast<int>(n);
}

int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  if (fi->fh == kControlHandle) {
    g.ControlInput.append(buffer, size);
    return static_cast<int>(size);
  }
  if (const int f = Fault(kWriteCalls)) return f;
  const ssize_t n = pwrite(Fd(fi), buffer, size, offset);
  if (n < 0) return Errno();
  LogRecord r = Record(LogOp::kWrite, nullptr, fi->fh);
  r.Offset = static_cast<std::uint64_t>(offset);
  r.Data.assign(buffer, buffer + n);
  Log(r);
  return static_cast<int>(n);
}

int StatFs(const char*, struct statvfs* st) {
  return statvfs(g.Backing.c_str(), st) == 0 ? 0 : Errno();
}

int Flush(const char*, fuse_file_info* fi) {
  if (fi->fh == kControlHandle) {
    if (!g.ControlInput.empty()) ApplyControl();
    g.ControlInput.clear();
    return 0;
  }
  return Fault(kCloseCalls);
}

int Release(const char*, fuse_file_info* fi) {
  if (fi->fh == kControlHandle) return 0;
  const auto it = g.Fds.find(fi->fh);
  if (it != g.Fds.end()) {
    close(it->second);
    g.Fds.erase(it);
  }
  Log(Record(LogOp::kRelease, nullptr, fi->fh));
  return 0;
}

int FSync(const char*, int dataOnly, fuse_file_info* fi) {
  if (fi->fh == kControlHandle) return 0;
  if (const int f = Fault(kFsyncCalls)) return f;
  if ((dataOnly != 0 ? fdatasync(Fd(fi)) : fsync(Fd(fi))) != 0) return Errno();
  LogRecord r = Record(LogOp::kFsync, nullptr, fi->fh);
  r.Flags = dataOnly != 0 ? 1 : 0;
  Log(r);
  return 0;
}

int OpenDir(const char* path, fuse_file_info* fi) {
  const int fd = open(Below(path).c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return Errno();
  fi->fh = g.NextHandle++;
  g.Fds[fi->fh] = fd;
  Log(Record(LogOp::kOpenDir, path, fi->fh));
  return 0;
}

int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
            fuse_readdir_flags) {
  const int fd = openat(Fd(fi), ".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return Errno();
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = Errno();
    close(fd);
    return error;
  }
  while (const dirent* entry = readdir(dir)) {
    struct stat st {};
    st.st_ino = entry->d_ino;
    st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
    if (fill(buffer, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
  }
  closedir(dir);
  return 0;
}

int ReleaseDir(const char* path, fuse_file_info* fi) { return Release(path, fi); }

int FSyncDir(const char*, int dataOnly, fuse_file_info* fi) {
  if (const int f = Fault(kFsyncCalls)) return f;
  if (fsync(Fd(fi)) != 0) return Errno();
  LogRecord r = Record(LogOp::kFsyncDir, nullptr, fi->fh);
  r.Flags = dataOnly != 0 ? 1 : 0;
  Log(r);
  return 0;
}

int Access(const char* path, int mask) {
  if (IsControl(path)) return 0;
  return access(Below(path).c_str(), mask) == 0 ? 0 : Errno();
}

int UTimens(const char* path, const struct timespec tv[2], fuse_file_info* fi) {
  if (IsControl(path) || (fi != nullptr && fi->fh == kControlHandle)) return 0;
  struct stat st {};
  if (fi != nullptr) {
    if (futimens(Fd(fi), tv) != 0 || fstat(Fd(fi), &st) != 0) return Errno();
  } else {
    const std::string below = Below(path);
    if (utimensat(AT_FDCWD, below.c_str(), tv, AT_SYMLINK_NOFOLLOW) != 0 ||
        lstat(below.c_str(), &st) != 0)
      return Errno();
  }
  LogRecord r =
      fi != nullptr ? Record(LogOp::kUtimens, nullptr, fi->fh) : Record(LogOp::kUtimens, path);
  r.Times[0] = st.st_atim.tv_sec;
  r.Times[1] = st.st_atim.tv_nsec;
  r.Times[2] = st.st_mtim.tv_sec;
  r.Times[3] = st.st_mtim.tv_nsec;
  Log(r);
  return 0;
}

int FAllocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* fi) {
  if (fallocate(Fd(fi), mode, offset, length) != 0) return Errno();
  struct stat st {};
  if (fstat(Fd(fi), &st) != 0) return Errno();
  LogRecord r = Record(LogOp::kFallocate, nullptr, fi->fh);
  r.Size = static_cast<std::uint64_t>(st.st_size);
  Log(r);
  return 0;
}

off_t LSeek(const char*, off_t offset, int whence, fuse_file_info* fi) {
  const off_t at = lseek(Fd(fi), offset, whence);
  return at < 0 ? Errno() : at;
}

int GetXattr(const char* path, const char* name, char* value, size_t size) {
  if (IsControl(path)) return -ENODATA;
  const ssize_t n = lgetxattr(Below(path).c_str(), name, value, size);
  return n < 0 ? Errno() : static_cast<int>(n);
}

int ListXattr(const char* path, char* list, size_t size) {
  if (IsControl(path)) return 0;
  const ssize_t n = llistxattr(Below(path).c_str(), list, size);
  return n < 0 ? Errno() : static_cast<int>(n);
}

// Extended attributes are not kept by the application; refusing them keeps
// an unmodelled change out of the folder below.
int SetXattr(const char*, const char*, const char*, size_t, int) { return -ENOTSUP; }
int RemoveXattr(const char*, const char*) { return -ENOTSUP; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT LOG [FUSE OPTIONS...]\n", argv[0]);
    return 2;
  }
  char resolved[PATH_MAX];
  if (realpath(argv[1], resolved) == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  g.Backing = resolved;
  g.Log = std::fopen(argv[3], "wb");
  if (g.Log == nullptr) {
    std::perror(argv[3]);
    return 2;
  }

  fuse_operations ops{};
  ops.init = Init;
  ops.destroy = Destroy;
  ops.getattr = GetAttr;
  ops.readlink = ReadLink;
  ops.mkdir = MkDir;
  ops.unlink = Unlink;
  ops.rmdir = RmDir;
  ops.symlink = SymLink;
  ops.rename = Rename;
  ops.link = Link;
  ops.chmod = ChMod;
  ops.chown = ChOwn;
  ops.truncate = Truncate;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.statfs = StatFs;
  ops.flush = Flush;
  ops.release = Release;
  ops.fsync = FSync;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.releasedir = ReleaseDir;
  ops.fsyncdir = FSyncDir;
  ops.access = Access;
  ops.utimens = UTimens;
  ops.fallocate = FAllocate;
  ops.lseek = LSeek;
  ops.getxattr = GetXattr;
  ops.listxattr = ListXattr;
  ops.setxattr = SetXattr;
  ops.removexattr = RemoveXattr;

  std::vector<char*> args = {argv[0], argv[2], const_cast<char*>("-f"), const_cast<char*>("-s"),
                             const_cast<char*>("-o"),
                             const_cast<char*>("fsname=korvane-record,subtype=korvane-record")};
  for (int i = 4; i < argc; ++i) args.push_back(argv[i]);
  return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
