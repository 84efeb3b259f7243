#include "app/platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace korvane::platform {

namespace {

// Flags for a folder we are about to read entries from: the last component
// must be a real directory, never a link that happens to point at one.
constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opening something only to ask about it or flush it: never block on a FIFO,
// never pick up a controlling terminal.
constexpr int kProbeOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Folders of the tree being deleted whose directory streams stay open at the
// same time. Deeper folders close the stream of the folder this many levels
// up and reopen it through ".." on the way back, so a deep tree needs neither
// deep recursion nor one descriptor per level.
constexpr std::size_t kOpenDeleteLevels = 64;

constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  // Closes now and reports the result, keeping errno of a failed close.
  bool Close() {
    if (fd_ < 0) return true;
    return ::close(std::exchange(fd_, -1)) == 0;
  }
  void Reset() {
    if (fd_ >= 0) {
      const int savedErrno = errno;
      ::close(fd_);
      errno = savedErrno;
      fd_ = -1;
    }
  }

 private:
  int fd_ = -1;
};

struct DirStreamCloser {
  void operator()(DIR* stream) const {
    const int savedErrno = errno;
    ::closedir(stream);
    errno = savedErrno;
  }
};
using DirStream = std::unique_ptr<DIR, DirStreamCloser>;

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// "a/b///" -> "a/b"; a path made of slashes only becomes "/".
std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// ------------------------------------------------------------ mask matching

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameCharacter(std::string_view a, std::size_t atA, std::size_t lengthA, std::string_view b,
                   std::size_t atB, std::size_t lengthB) {
  if (lengthA != lengthB) return false;
  if (lengthA == 1) return FoldAscii(a[atA]) == FoldAscii(b[atB]);
  return a.compare(atA, lengthA, b, atB, lengthB) == 0;
}

// ------------------------------------------------------------ tree removal

// Opens the folder `name` inside `parentFd` for emptying, without following
// a link, and makes it readable, writable and searchable by its owner so a
// read-only folder does not stop the removal.
UniqueFd OpenFolderForEmptying(int parentFd, const char* name, struct stat& info) {
  UniqueFd fd(::openat(parentFd, name, kFolderOpenFlags));
  if (!fd.Valid() && errno == EACCES) {
    // Without read or search permission the folder cannot even be opened.
    // AT_SYMLINK_NOFOLLOW makes the change fail on a link instead of
    // reaching the link's target outside the tree.
    struct stat before {};
    if (::fstatat(parentFd, name, &before, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(before.st_mode) &&
        ::fchmodat(parentFd, name, (before.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0) {
      fd = UniqueFd(::openat(parentFd, name, kFolderOpenFlags));
    }
  }
  if (!fd.Valid()) return fd;
  if (::fstat(fd.Get(), &info) != 0) return UniqueFd();
  if ((info.st_mode & S_IRWXU) != S_IRWXU &&
      ::fchmod(fd.Get(), (info.st_mode & 07777) | S_IRWXU) != 0) {
    return UniqueFd();
  }
  return fd;
}

DirStream StreamOf(UniqueFd fd) {
  if (!fd.Valid()) return DirStream();
  DIR* stream = ::fdopendir(fd.Get());
  if (stream == nullptr) return DirStream();
  fd.Release();  // the stream owns it now
  return DirStream(stream);
}

// One folder on the way down the tree being deleted.
struct DeleteLevel {
  DeleteLevel(DirStream stream, const struct stat& info, std::string name)
      : Stream(std::move(stream)), Device(info.st_dev), Inode(info.st_ino), Name(std::move(name)) {}

  DirStream Stream;  // empty while closed to save descriptors
  dev_t Device = 0;
  ino_t Inode = 0;
  std::string Name;               // its name inside the level above
  bool RemovedSomething = false;  // since the stream was opened or rewound
  bool ReadFailed = false;        // the listing broke off: do not rewind
  std::vector<std::string> Kept;  // entries that could not be removed
};

bool WasKept(const DeleteLevel& level, const char* name) {
  return std::find(level.Kept.begin(), level.Kept.end(), name) != level.Kept.end();
}

// Empties the folder `topName` inside `topParentFd` and removes it. Removal
// goes on past entries that cannot be removed (the folder then stays); the
// result says whether the folder is gone. Nothing crosses into another file
// system: a mount point inside the tree belongs to someone else's tree.
bool EmptyAndRemoveFolder(int topParentFd, const std::string& topName) {
  struct stat topInfo {};
  DirStream topStream = StreamOf(OpenFolderForEmptying(topParentFd, topName.c_str(), topInfo));
  if (!topStream) return false;
  const dev_t treeDevice = topInfo.st_dev;

  std::vector<DeleteLevel> levels;
  levels.emplace_back(std::move(topStream), topInfo, topName);
  bool topRemoved = false;

  while (!levels.empty()) {
    DeleteLevel& level = levels.back();
    errno = 0;
    const dirent* entry = ::readdir(level.Stream.get());
    if (entry != nullptr) {
      const char* name = entry->d_name;
      if (IsDotOrDotDot(name) || WasKept(level, name)) continue;
      const int folderFd = ::dirfd(level.Stream.get());
      if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
        // The listing already says it is no folder: one call per file. A
        // folder that took its place meanwhile answers EISDIR and is
        // looked at below.
        if (::unlinkat(folderFd, name, 0) == 0 || errno == ENOENT) {
          level.RemovedSomething = true;
          continue;
        }
        if (errno != EISDIR) {
          level.Kept.emplace_back(name);
          continue;
        }
      }
      struct stat info {};
      if (::fstatat(folderFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) level.Kept.emplace_back(name);
        continue;
      }
      if (!S_ISDIR(info.st_mode)) {
        // Files, links (never followed), devices and the like: unlinking
        // needs only the folder to be writable, which it is by now.
        if (::unlinkat(folderFd, name, 0) == 0 || errno == ENOENT) {
          level.RemovedSomething = true;
        } else {
          level.Kept.emplace_back(name);
        }
        continue;
      }
      if (info.st_dev != treeDevice) {
        level.Kept.emplace_back(name);
        continue;
      }
      struct stat childInfo {};
      DirStream childStream = StreamOf(OpenFolderForEmptying(folderFd, name, childInfo));
      if (!childStream || childInfo.st_dev != treeDevice) {
        if (!childStream && errno == ENOENT) continue;
        level.Kept.emplace_back(name);
        continue;
      }
      DeleteLevel child(std::move(childStream), childInfo, name);
      if (levels.size() >= kOpenDeleteLevels) {
        levels[levels.size() - kOpenDeleteLevels].Stream.reset();
      }
      levels.push_back(std::move(child));  // `level` is not used past here
      continue;
    }
    if (errno != 0) level.ReadFailed = true;

    // The folder has been read to its end: remove it from the level above,
    // reopening that one first when its stream was closed on the way down.
    int parentFd = topParentFd;
    if (levels.size() > 1) {
      DeleteLevel& parent = levels[levels.size() - 2];
      if (!parent.Stream) {
        // ".." of a directory is its real parent, never a link. Should it
        // not be the folder we came from, the tree was moved while we were
        // in it, and we stop rather than delete in a place we never chose.
        UniqueFd up(::openat(::dirfd(level.Stream.get()), "..", kFolderOpenFlags));
        struct stat upInfo {};
        if (!up.Valid() || ::fstat(up.Get(), &upInfo) != 0 || upInfo.st_dev != parent.Device ||
            upInfo.st_ino != parent.Inode) {
          return false;
        }
        parent.Stream = StreamOf(std::move(up));
        if (!parent.Stream) return false;
      }
      parentFd = ::dirfd(parent.Stream.get());
    }
    if (::unlinkat(parentFd, level.Name.c_str(), AT_REMOVEDIR) == 0) {
      if (levels.size() > 1) {
        levels[levels.size() - 2].RemovedSomething = true;
      } else {
        topRemoved = true;
      }
      levels.pop_back();
      continue;
    }
    if ((errno == ENOTEMPTY || errno == EEXIST) && level.RemovedSomething && !level.ReadFailed) {
      // Entries removed during the listing may have hidden others from it;
      // read the folder again until a pass removes nothing more.
      ::rewinddir(level.Stream.get());
      level.RemovedSomething = false;
      continue;
    }
    if (levels.size() > 1) levels[levels.size() - 2].Kept.push_back(level.Name);
    levels.pop_back();
  }
  return topRemoved;
}

// ------------------------------------------------------------ environment

bool HasValue(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0';
}

// An environment variable that holds an absolute path; relative values are
// ignored, as the base-directory rules of the desktop ask.
const char* AbsoluteFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return (value != nullptr && value[0] == '/') ? value : nullptr;
}

std::string HomeDirectory() {
  if (const char* home = AbsoluteFromEnvironment("HOME")) return StripTrailingSlashes(home);
  long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (bufferSize <= 0) bufferSize = 16384;
  std::vector<char> buffer(static_cast<std::size_t>(bufferSize));
  passwd record{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &record, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return StripTrailingSlashes(found->pw_dir);
  }
  return "/tmp";
}

std::string XdgFolder(const char* variable, const char* belowHome) {
  if (const char* value = AbsoluteFromEnvironment(variable)) return StripTrailingSlashes(value);
  std::string home = HomeDirectory();
  if (home == "/") home.clear();
  return home + belowHome;
}

// Full path of an executable found on $PATH. Empty and relative entries
// are skipped: a program named by the desktop must not come from whatever
// folder we happen to stand in.
std::string FindOnPath(const std::string& program) {
  const char* pathVariable = std::getenv("PATH");
  std::string_view rest = pathVariable != nullptr ? pathVariable : kDefaultSearchPath;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (folder.empty() || folder.front() != '/') continue;
    std::string candidate(folder);
    if (candidate.back() != '/') candidate.push_back('/');
    candidate += program;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

// Only async-signal-safe calls from here on: the caller is a forked child of
// a process that may have other threads.
[[noreturn]] void ExecDetached(char* const argv[], int errorPipe) {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
    ::sigaction(signalNumber, &defaultAction, nullptr);
  }
  const int devNull = ::open("/dev/null", O_RDWR);
  if (devNull >= 0) {
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(devNull, STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    if (devNull > STDERR_FILENO) ::close(devNull);
  }
  ::execv(argv[0], argv);
  const int error = errno;
  [[maybe_unused]] const ssize_t written = ::write(errorPipe, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

// ---------------------------------------------------------------- disk space

bool GetDiskFreeSpace(const std::string& path, DiskSpace& space) {
  space = DiskSpace{};
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return false;
  const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  space.AvailableToCaller = static_cast<std::uint64_t>(info.f_bavail) * unit;
  space.Total = static_cast<std::uint64_t>(info.f_blocks) * unit;
  space.TotalFree = static_cast<std::uint64_t>(info.f_bfree) * unit;
  return true;
}

// ---------------------------------------------------------------- listing

bool MatchesMask(const std::string& name, const std::string& mask) {
  // The desktop treats "*.*" as "every name", with or without a dot.
  if (mask == "*.*") return true;
  const std::string_view text(name);
  const std::string_view pattern(mask);
  std::size_t at = 0;
  std::size_t maskAt = 0;
  // Where the last '*' was and how much of the name it has taken: on a
  // mismatch it takes one character more and matching resumes after it.
  std::size_t starMaskAt = std::string_view::npos;
  std::size_t starTextAt = 0;
  while (at < text.size()) {
    if (maskAt < pattern.size() && pattern[maskAt] == '*') {
      starMaskAt = ++maskAt;
      starTextAt = at;
      continue;
    }
    const std::size_t textLength = Utf8CharLength(text, at);
    if (maskAt < pattern.size()) {
      if (pattern[maskAt] == '?') {
        at += textLength;
        ++maskAt;
        continue;
      }
      const std::size_t maskLength = Utf8CharLength(pattern, maskAt);
      if (SameCharacter(text, at, textLength, pattern, maskAt, maskLength)) {
        at += textLength;
        maskAt += maskLength;
        continue;
      }
    }
    if (starMaskAt == std::string_view::npos) return false;
    starTextAt += Utf8CharLength(text, starTextAt);
    at = starTextAt;
    maskAt = starMaskAt;
  }
  while (maskAt < pattern.size() && pattern[maskAt] == '*') ++maskAt;
  return maskAt == pattern.size();
}

bool EnumerateDirectory(const std::string& folder, const std::string& mask,
                        std::vector<DirEntry>& entries) {
  entries.clear();
  DirStream stream =
      StreamOf(UniqueFd(::open(StripTrailingSlashes(folder).c_str(), kFolderOpenFlags)));
  if (!stream) return false;
  const int folderFd = ::dirfd(stream.get());
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) break;
    if (IsDotOrDotDot(entry->d_name) || !MatchesMask(entry->d_name, mask)) continue;
    DirEntry item;
    item.Name = entry->d_name;
    struct stat info {};
    if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      item.IsDirectory = S_ISDIR(info.st_mode);
      item.IsLink = S_ISLNK(info.st_mode);
      if (S_ISREG(info.st_mode)) item.Size = static_cast<std::uint64_t>(info.st_size);
    } else if (errno == ENOENT) {
      continue;  // gone since the folder was read
    } else {
      // A folder that may be read but not searched: the listing's own type
      // is all there is.
      item.IsDirectory = entry->d_type == DT_DIR;
      item.IsLink = entry->d_type == DT_LNK;
    }
    entries.push_back(std::move(item));
  }
  if (errno != 0) {
    // A listing that broke off must not pass for the whole folder.
    entries.clear();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- file tests

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsSymbolicLink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::uint64_t GetFileSize64(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), kProbeOpenFlags));
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

// ---------------------------------------------------------------- changing

bool SetFileAttributesNormal(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return false;
  if (S_ISLNK(info.st_mode) || (info.st_mode & S_IWUSR) != 0) return true;
  // AT_SYMLINK_NOFOLLOW: should a link take the entry's place in between,
  // the change fails instead of landing on whatever the link names.
  if (::fchmodat(AT_FDCWD, path.c_str(), (info.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW) ==
      0) {
    return true;
  }
  if (errno == EOPNOTSUPP) {
    // Either a link took its place (left alone, as links are) or the file
    // system gives no way to refuse links here (no /proc); the entry was
    // no link a moment ago.
    if (IsSymbolicLink(path)) return true;
    return ::chmod(path.c_str(), (info.st_mode & 07777) | S_IWUSR) == 0;
  }
  return false;
}

bool DeleteFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool RemoveDirectory(const std::string& path) {
  return ::rmdir(path.c_str()) == 0;
}

bool ShellDeleteTree(const std::string& path) {
  const std::string clean = StripTrailingSlashes(path);
  // Nothing named, the root, or a name that is no entry of its parent.
  if (clean.empty() || clean == "/") return false;
  const std::size_t slash = clean.rfind('/');
  const std::string name = slash == std::string::npos ? clean : clean.substr(slash + 1);
  if (name == "." || name == "..") return false;

  // The parent is reached as the caller named it; from there on nothing is
  // followed. O_PATH: a parent we may search but not read still works.
  const UniqueFd parentFd(::open(ParentDirectory(clean).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parentFd.Valid()) return errno == ENOENT;
  struct stat info {};
  if (::fstatat(parentFd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT;
  }
  if (S_ISDIR(info.st_mode)) {
    if (EmptyAndRemoveFolder(parentFd.Get(), name)) return true;
  } else if (::unlinkat(parentFd.Get(), name.c_str(), 0) == 0) {
    return true;
  }
  return ::fstatat(parentFd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 &&
         errno == ENOENT;
}

// ---------------------------------------------------------------- durability

bool SyncFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), kProbeOpenFlags));
  if (!fd.Valid()) return false;
  if (::fsync(fd.Get()) != 0) return false;
  return fd.Close();
}

bool SyncDirectory(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  if (::fsync(fd.Get()) != 0) return false;
  return fd.Close();
}

bool SyncTree(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  if (::syncfs(fd.Get()) != 0 || ::fsync(fd.Get()) != 0) return false;
  // The parent through "..": the folder's real parent, whatever the path
  // text says (trailing slashes, "." or links on the way).
  UniqueFd parent(::openat(fd.Get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.Valid()) return false;
  if (::fsync(parent.Get()) != 0) return false;
  if (!parent.Close()) return false;
  return fd.Close();
}

// ---------------------------------------------------------------- paths

std::string ParentDirectory(const std::string& path) {
  // Trailing slashes do not make a folder its own parent: "a/b/" is in "a".
  const std::string clean = StripTrailingSlashes(path);
  const std::size_t slash = clean.rfind('/');
  if (slash == std::string::npos) return ".";
  std::string parent = StripTrailingSlashes(clean.substr(0, slash));
  return parent.empty() ? "/" : parent;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return {};
  std::string full;
  if (path.front() == '/') {
    full = path;
  } else {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
      // Without the current folder there is no honest answer; an empty
      // path is one every caller already refuses.
      if (errno != ERANGE) return {};
      buffer.resize(buffer.size() * 2);
    }
    full = buffer.data();
    full += '/';
    full += path;
  }
  std::vector<std::string_view> parts;
  const std::string_view text(full);
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('/', at), text.size());
    const std::string_view part = text.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return "/";
  std::string result;
  for (const std::string_view part : parts) {
    result += '/';
    result += part;
  }
  return result;
}

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

const std::vector<std::string>& SystemFolders() {
  static const std::vector<std::string> kFolders = {"/bin",  "/boot",  "/dev",   "/etc",
                                                    "/lib",  "/lib32", "/lib64", "/libx32",
                                                    "/proc", "/sbin",  "/sys",   "/usr"};
  return kFolders;
}

std::string ConfigHome() {
  return XdgFolder("XDG_CONFIG_HOME", "/.config");
}

std::string StateHome() {
  return XdgFolder("XDG_STATE_HOME", "/.local/state");
}

std::string DataHome() {
  return XdgFolder("XDG_DATA_HOME", "/.local/share");
}

std::string RuntimeDirectory() {
  if (const char* value = AbsoluteFromEnvironment("XDG_RUNTIME_DIR")) {
    return StripTrailingSlashes(value);
  }
  return "/tmp";
}

// ---------------------------------------------------------------- desktop

bool ShellOpen(const std::string& target) {
  if (target.empty() || target.find('\0') != std::string::npos) return false;
  if (!HasValue("DISPLAY") && !HasValue("WAYLAND_DISPLAY")) return false;
  std::string program = FindOnPath("xdg-open");
  if (program.empty()) return false;
  // xdg-open takes a leading '-' for an option; a relative name that starts
  // with one is still the same entry behind "./". Folders, web and mail
  // addresses never start with '-'.
  std::string argument = target.front() == '-' ? "./" + target : target;
  char* const argv[] = {program.data(), argument.data(), nullptr};

  // The pipe tells whether xdg-open was really started: it closes unread when
  // the exec succeeds and carries errno when it fails.
  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) return false;
  UniqueFd readEnd(errorPipe[0]);
  UniqueFd writeEnd(errorPipe[1]);
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // A new session, and a grandchild that init adopts: the opened program
    // neither waits on us nor becomes a zombie of ours, and a terminal that
    // closes does not take it along.
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) ExecDetached(argv, writeEnd.Get());
    if (grandchild < 0) {
      const int error = errno;
      [[maybe_unused]] const ssize_t written = ::write(writeEnd.Get(), &error, sizeof error);
    }
    ::_exit(0);
  }
  writeEnd.Reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int childError = 0;
  ssize_t got = 0;
  do {
    got = ::read(readEnd.Get(), &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  if (got != 0) {
    errno = got > 0 ? childError : errno;
    return false;
  }
  return true;
}

std::string LocalizeText(const std::string& text) {
  struct Substitution {
    std::string_view From;
    std::string_view To;
  };
  static constexpr Substitution kPlatformWords[] = {
      {"Windows folder", "system folder"},
      {"Windows Explorer", "the file manager"},
  };
  std::string result;
  result.reserve(text.size());
  const std::string_view rest(text);
  std::size_t at = 0;
  while (at < rest.size()) {
    bool replaced = false;
    for (const Substitution& word : kPlatformWords) {
      if (rest.substr(at, word.From.size()) == word.From) {
        result += word.To;
        at += word.From.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) result.push_back(rest[at++]);
  }
  return result;
}

// ---------------------------------------------------------------- run lock

RunLock::RunLock(const std::string& name) {
  std::string fileName = name.empty() ? std::string("korvane") : name;
  std::replace(fileName.begin(), fileName.end(), '/', '_');
  const std::string path = RuntimeDirectory() + "/" + fileName + ".lock";
  // O_NOFOLLOW: the folder may be the shared /tmp, where a planted link
  // must not make us create or lock a file elsewhere.
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd_ >= 0) {
    // Taken when free; another instance holding it is no reason to stop.
    [[maybe_unused]] const int locked = ::flock(fd_, LOCK_EX | LOCK_NB);
  }
}

RunLock::~RunLock() {
  Close();
}

void RunLock::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

// Bytes in the UTF-8 sequence that starts at `at`; a byte that does not
// start a complete sequence counts as a character of its own, so any name
// can be matched.
std::size_t Utf8CharLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  }
  if (length == 1 || at + length > text.size()) return 1;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

}  // namespace korvane::platform
