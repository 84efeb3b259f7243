// Staged entries beside the person's data: temporary names, locks, the final
// rename, and the clean-up of what killed runs left. See staging.h.
#include "korvane/platform/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "korvane/platform/platform.h"

namespace korvane::platform {

namespace {

// Final names longer than this are cut in the temporary name, so that the
// marker and the random part still fit within a name's 255 bytes.
constexpr std::size_t kNamePrefixBytes = 200;
constexpr std::size_t kRandomCharacters = 6;
constexpr const char* kMarker = ".korvane-";

const char* KindText(StagedKind kind) {
  switch (kind) {
    case StagedKind::skContainer:
      return "partial";
    case StagedKind::skRestore:
      return "restoring";
    case StagedKind::skReplaced:
      return "replaced";
  }
  return "partial";
}

std::string LastComponent(const std::string& path) {
  std::string clean = path;
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  const std::size_t slash = clean.rfind('/');
  return slash == std::string::npos ? clean : clean.substr(slash + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder == ".") return name;
  std::string path = folder;
  if (path != "/") path.push_back('/');
  path.append(name);
  return path;
}

std::string StagedPrefix(const std::string& finalName) {
  std::string prefix(".");
  prefix.append(finalName, 0, kNamePrefixBytes);
  prefix.append(kMarker);
  return prefix;
}

std::string RandomSuffix() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[kRandomCharacters];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    got += static_cast<std::size_t>(n);
  }
  std::string text;
  for (unsigned char b : bytes) text += kAlphabet[b % (sizeof kAlphabet - 1)];
  return text;
}

std::string StagedPath(const std::string& finalPath, StagedKind kind) {
  const std::string name = LastComponent(finalPath);
  return JoinPath(ParentDirectory(finalPath),
                  StagedPrefix(name) + KindText(kind) + "-" + RandomSuffix());
}

[[noreturn]] void Fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// A lock only this open file holds; another process's attempt fails at once.
bool LockExclusively(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

EntryIdentity IdentityOfFd(int fd) {
  EntryIdentity identity;
  struct stat info {};
  if (::fstat(fd, &info) == 0) {
    identity.Device = info.st_dev;
    identity.Inode = info.st_ino;
    identity.Mode = info.st_mode;
    identity.Exists = true;
  }
  return identity;
}

bool SameEntry(const EntryIdentity& a, const EntryIdentity& b) {
  return a.Exists && b.Exists && a.Device == b.Device && a.Inode == b.Inode;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: a hard link fails on any existing name,
  // which is the same promise for a file. Folders cannot be linked; the
  // check before the rename is the best there is.
  struct stat info {};
  if (::lstat(from.c_str(), &info) != 0) return errno;
  if (!S_ISDIR(info.st_mode)) {
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
  }
  if (::lstat(to.c_str(), &info) == 0) return EEXIST;
  if (::rename(from.c_str(), to.c_str()) != 0) return errno;
  return 0;
}

}  // namespace

EntryIdentity IdentityOf(const std::string& path) {
  EntryIdentity identity;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    identity.Device = info.st_dev;
    identity.Inode = info.st_ino;
    identity.Mode = info.st_mode;
    identity.Exists = true;
  }
  return identity;
}

StagedEntry::~StagedEntry() {
  if (Active()) Remove();
  if (lockFd_ >= 0) ::close(lockFd_);
}

StagedEntry::StagedEntry(StagedEntry&& other) noexcept
    : path_(std::exchange(other.path_, std::string())),
      identity_(other.identity_),
      lockFd_(std::exchange(other.lockFd_, -1)),
      isFolder_(other.isFolder_) {}

StagedEntry& StagedEntry::operator=(StagedEntry&& other) noexcept {
  if (this != &other) {
    if (Active()) Remove();
    if (lockFd_ >= 0) ::close(lockFd_);
    path_ = std::exchange(other.path_, std::string());
    identity_ = other.identity_;
    lockFd_ = std::exchange(other.lockFd_, -1);
    isFolder_ = other.isFolder_;
  }
  return *this;
}

StagedEntry StagedEntry::NewFile(const std::string& finalPath, StagedKind kind) {
  for (int attempt = 0;; ++attempt) {
    const std::string path = StagedPath(finalPath, kind);
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
      if (errno == EEXIST && attempt < 16) continue;
      Fail(errno, "Cannot create \"" + path + "\"");
    }
    StagedEntry entry;
    entry.path_ = path;
    entry.lockFd_ = fd;
    entry.identity_ = IdentityOfFd(fd);
    entry.isFolder_ = false;
    if (!LockExclusively(fd)) Fail(errno, "Cannot lock \"" + path + "\"");
    return entry;
  }
}

StagedEntry StagedEntry::NewFolder(const std::string& finalPath, StagedKind kind) {
  for (int attempt = 0;; ++attempt) {
    const std::string path = StagedPath(finalPath, kind);
    if (::mkdir(path.c_str(), 0700) != 0) {
      if (errno == EEXIST && attempt < 16) continue;
      Fail(errno, "Cannot create the folder \"" + path + "\"");
    }
    StagedEntry entry;
    entry.path_ = path;
    entry.isFolder_ = true;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) Fail(errno, "Cannot open the folder \"" + path + "\"");
    entry.lockFd_ = fd;
    entry.identity_ = IdentityOfFd(fd);
    if (!LockExclusively(fd)) Fail(errno, "Cannot lock \"" + path + "\"");
    return entry;
  }
}

void StagedEntry::Commit(const std::string& finalPath, const EntryIdentity& replaceable) {
  if (!Active()) Fail(EINVAL, "Nothing to move to \"" + finalPath + "\"");
  // What we are about to move must still be what we made.
  if (!SameEntry(IdentityOf(path_), identity_)) {
    Fail(ESTALE, "\"" + path_ + "\" was replaced while it was being written");
  }
  const EntryIdentity there = IdentityOf(finalPath);
  int error = 0;
  if (!there.Exists) {
    error = RenameNoReplace(path_, finalPath);
  } else if (SameEntry(there, replaceable) &&
             (S_ISDIR(there.Mode) == S_ISDIR(identity_.Mode) || S_ISLNK(there.Mode))) {
    // The very entry the person agreed to replace (a rename never follows
    // a link at its target, it replaces the link).
    error = ::rename(path_.c_str(), finalPath.c_str()) == 0 ? 0 : errno;
  } else {
    error = EEXIST;
  }
  if (error == EEXIST || error == ENOTEMPTY) {
    Fail(EEXIST,
         "Something else appeared at \"" + finalPath + "\" in the meantime; it was left as it is");
  }
  if (error != 0) Fail(error, "Cannot rename \"" + path_ + "\" to \"" + finalPath + "\"");
  path_.clear();
}

std::string StagedEntry::CommitReplacing(const std::string& finalPath,
                                         const EntryIdentity& existing) {
  if (!Active()) Fail(EINVAL, "Nothing to move to \"" + finalPath + "\"");
  if (!SameEntry(IdentityOf(path_), identity_)) {
    Fail(ESTALE, "\"" + path_ + "\" was replaced while it was being written");
  }
  if (!SameEntry(IdentityOf(finalPath), existing)) {
    Fail(EEXIST, "\"" + finalPath + "\" changed in the meantime; it was left as it is");
  }
  if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, finalPath.c_str(), RENAME_EXCHANGE) == 0) {
    // Should someone have slipped another entry in just before the
    // exchange, it is put back and we stop.
    if (!SameEntry(IdentityOf(path_), existing)) {
      if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, finalPath.c_str(), RENAME_EXCHANGE) != 0)
        Fail(errno, "\"" + finalPath + "\" changed during the exchange; the new folder is \"" +
                        finalPath + "\", what was there is \"" + path_ + "\"");
      Fail(EEXIST, "\"" + finalPath + "\" changed in the meantime; it was left as it is");
    }
    std::string old = path_;
    path_.clear();
    return old;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    Fail(errno, "Cannot put \"" + path_ + "\" in the place of \"" + finalPath + "\"");
  }
  // No exchange on this file system: the old entry steps aside to a staged
  // name first and comes back should the new one not get in.
  const std::string old = StagedPath(finalPath, StagedKind::skReplaced);
  if (const int error = RenameNoReplace(finalPath, old); error != 0)
    Fail(error, "Cannot move \"" + finalPath + "\" aside");
  if (!SameEntry(IdentityOf(old), existing)) {
    (void)RenameNoReplace(old, finalPath);
    Fail(EEXIST, "\"" + finalPath + "\" changed in the meantime; it was left as it is");
  }
  if (const int error = RenameNoReplace(path_, finalPath); error != 0) {
    (void)RenameNoReplace(old, finalPath);
    Fail(error, "Cannot rename \"" + path_ + "\" to \"" + finalPath + "\"");
  }
  path_.clear();
  return old;
}

bool StagedEntry::Remove() {
  if (!Active()) return true;
  bool gone = false;
  if (SameEntry(IdentityOf(path_), identity_)) {
    gone = isFolder_ ? ShellDeleteTree(path_) : ::unlink(path_.c_str()) == 0;
  } else {
    // Not ours any more: whatever stands there now is left alone.
    gone = true;
  }
  path_.clear();
  return gone;
}

void StagedEntry::Release() {
  path_.clear();
}

void ExchangeEntries(const std::string& a, const std::string& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
    Fail(errno, "Cannot exchange \"" + a + "\" and \"" + b + "\"");
  }
}

bool IsStagedNameOf(std::string_view name, std::string_view finalName) {
  const std::string prefix = StagedPrefix(std::string(finalName));
  if (name.substr(0, prefix.size()) != prefix) return false;
  const std::string_view rest = name.substr(prefix.size());
  for (StagedKind kind : {StagedKind::skContainer, StagedKind::skRestore, StagedKind::skReplaced}) {
    const std::string kindText = std::string(KindText(kind)) + "-";
    if (rest.size() == kindText.size() + kRandomCharacters &&
        rest.substr(0, kindText.size()) == kindText) {
      return true;
    }
  }
  return false;
}

std::size_t RemoveStaleStagedEntries(const std::string& finalPath) {
  const std::string folder = ParentDirectory(finalPath);
  const std::string finalName = LastComponent(finalPath);
  std::vector<DirEntry> entries;
  if (!EnumerateDirectory(folder, "*", entries)) return 0;
  std::size_t removed = 0;
  for (const DirEntry& entry : entries) {
    if (!IsStagedNameOf(entry.Name, finalName)) continue;
    const std::string path = JoinPath(folder, entry.Name);
    if (entry.IsLink) continue;  // never ours: we make files and folders only
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY |
                                            (entry.IsDirectory ? O_DIRECTORY : 0));
    if (fd < 0) continue;
    // A running process holds its entries locked: those are not leftovers.
    const bool stale = LockExclusively(fd);
    struct stat info {};
    const bool owned = ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid();
    if (stale && owned) {
      const bool gone = entry.IsDirectory ? ShellDeleteTree(path) : ::unlink(path.c_str()) == 0;
      if (gone) ++removed;
    }
    ::close(fd);
  }
  return removed;
}

bool FolderHoldsPath(const std::string& folder, const std::string& path) {
  struct stat folderInfo {};
  if (::lstat(folder.c_str(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode)) return false;
  int fd = ::open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool holds = false;
  // Up through ".." (the real parent, whatever links the path went
  // through) until the root, which is its own parent.
  for (int level = 0; level < 1 << 16; ++level) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) break;
    if (info.st_dev == folderInfo.st_dev && info.st_ino == folderInfo.st_ino) {
      holds = true;
      break;
    }
    const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (up < 0) break;
    struct stat upInfo {};
    const bool atRoot =
        ::fstat(up, &upInfo) == 0 && upInfo.st_dev == info.st_dev && upInfo.st_ino == info.st_ino;
    ::close(fd);
    fd = up;
    if (atRoot) break;
  }
  ::close(fd);
  return holds;
}

}  // namespace korvane::platform
