// The POSIX side of the platform layer. Folder trees are walked, checked
// and removed through descriptors only: each folder opened relative to its
// parent, never through a link, never across a mount point, with a bounded
// number of folders open at once, so hostile renames, bind mounts and deep
// trees cannot send the work outside the tree the caller named.
#include "korvane/platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
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
#include <system_error>
#include <unordered_set>
#include <utility>

namespace korvane::platform {

namespace {

// Flags for a folder we are about to read entries from: the last component
// must be a real directory, never a link that happens to point at one.
constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opening something only to ask about it or flush it: never block on a FIFO,
// never pick up a controlling terminal.
constexpr int kProbeOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

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

// ------------------------------------------------------------ folder trees

DirStream StreamOf(UniqueFd fd) {
  if (!fd.Valid()) return DirStream();
  DIR* stream = ::fdopendir(fd.Get());
  if (stream == nullptr) return DirStream();
  fd.Release();  // the stream owns it now
  return DirStream(stream);
}

// Every entry is described by statx without following a link and without
// triggering an automount; "" describes the descriptor itself.
constexpr int kStatxFlags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_SYNC_AS_STAT;

// How often one folder of a removal is listed again when entries appeared
// in it while it was being emptied: a writer that never stops must not keep
// the removal going forever.
constexpr unsigned kRemovalPasses = 4;

// An entry as statx describes it, with the inode flags the removal rules
// need beyond the public facts.
struct EntryStat {
  EntryFacts Facts;
  bool FlagsKnown = false;  // Immutable and AppendOnly were reported
  bool Immutable = false;
  bool AppendOnly = false;
};

EntryKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::File;
  if (S_ISDIR(mode)) return EntryKind::Folder;
  if (S_ISLNK(mode)) return EntryKind::SymbolicLink;
  if (S_ISCHR(mode)) return EntryKind::CharacterDevice;
  if (S_ISBLK(mode)) return EntryKind::BlockDevice;
  if (S_ISFIFO(mode)) return EntryKind::Fifo;
  if (S_ISSOCK(mode)) return EntryKind::Socket;
  return EntryKind::Unknown;
}

bool IsSpecialKind(EntryKind kind) {
  return kind == EntryKind::CharacterDevice || kind == EntryKind::BlockDevice ||
         kind == EntryKind::Fifo || kind == EntryKind::Socket || kind == EntryKind::Unknown;
}

const char* KindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::CharacterDevice:
      return "character device";
    case EntryKind::BlockDevice:
      return "block device";
    case EntryKind::Fifo:
      return "FIFO";
    case EntryKind::Socket:
      return "socket";
    case EntryKind::File:
      return "file";
    case EntryKind::Folder:
      return "folder";
    case EntryKind::SymbolicLink:
      return "symbolic link";
    case EntryKind::Unknown:
      break;
  }
  return "special file";
}

// statx of `name` inside `dirFd`; "" describes `dirFd` itself (an O_PATH
// descriptor will do). False with errno set when it fails.
bool StatEntry(int dirFd, const char* name, EntryStat& out) {
  struct statx sx {};
  const int flags = kStatxFlags | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  if (::statx(dirFd, name, flags, STATX_BASIC_STATS, &sx) != 0) return false;
  EntryFacts& facts = out.Facts;
  facts.Kind = KindOf(sx.stx_mode);
  facts.Device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  facts.Inode = sx.stx_ino;
  facts.Mode = sx.stx_mode;
  facts.Owner = sx.stx_uid;
  facts.Group = sx.stx_gid;
  facts.Size = sx.stx_size;
  facts.ModifiedSeconds = sx.stx_mtime.tv_sec;
  facts.ModifiedNanoseconds = sx.stx_mtime.tv_nsec;
  facts.ChangedSeconds = sx.stx_ctime.tv_sec;
  facts.ChangedNanoseconds = sx.stx_ctime.tv_nsec;
  // A bind mount of the same file system keeps st_dev: only the mount-root
  // attribute tells it. Callers add the device comparison with the parent.
  facts.IsMountRoot = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                      (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  constexpr std::uint64_t kFlagAttributes = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
  out.FlagsKnown = (sx.stx_attributes_mask & kFlagAttributes) == kFlagAttributes;
  out.Immutable = (sx.stx_attributes & STATX_ATTR_IMMUTABLE) != 0;
  out.AppendOnly = (sx.stx_attributes & STATX_ATTR_APPEND) != 0;
  return true;
}

bool SameObject(const EntryFacts& a, const EntryFacts& b) {
  return a.Device == b.Device && a.Inode == b.Inode;
}

// The immutable and append-only flags of an open file or folder, for file
// systems whose statx does not report them. A file system without the
// flags has neither.
void ReadInodeFlags(int fd, EntryStat& entry) {
  if (entry.FlagsKnown) return;
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return;
  entry.FlagsKnown = true;
  entry.Immutable = (flags & FS_IMMUTABLE_FL) != 0;
  entry.AppendOnly = (flags & FS_APPEND_FL) != 0;
}

bool HasEffectiveCapability(int capability) {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return ::geteuid() == 0;
  return ((data[capability / 32].effective >> (capability % 32)) & 1u) != 0;
}

// Reads the names in the folder, each ended by '\0', from its start. The
// listing is taken whole before anything in the folder is looked at or
// removed, so removing entries cannot hide others from it and a folder
// closed to save descriptors need not find its place again. False with
// errno set when the listing broke off.
bool ReadListing(int folderFd, std::string& listing) {
  listing.clear();
  UniqueFd copy(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
  if (!copy.Valid()) return false;
  if (::lseek(copy.Get(), 0, SEEK_SET) != 0) return false;
  DirStream stream = StreamOf(std::move(copy));
  if (!stream) return false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) break;
    if (IsDotOrDotDot(entry->d_name)) continue;
    listing.append(entry->d_name);
    listing.push_back('\0');
  }
  if (errno != 0) {
    listing.clear();
    return false;
  }
  return true;
}

// One folder on the way down a tree.
struct TreeLevel {
  UniqueFd Fd;                 // invalid while closed to save descriptors
  EntryStat Self;              // the folder as it was opened
  std::string Name;            // its name in the level above
  std::string Listing;         // its entries' names, each ended by '\0'
  std::size_t Next = 0;        // where the next name starts in Listing
  std::size_t PathLength = 0;  // length of its relative path
  // Removal: what was done here and whether the folder must stay.
  mode_t OriginalMode = 0;
  bool ModeChanged = false;    // made accessible by us: the mode goes back if it stays
  bool ActedThisPass = false;  // removed or kept an entry not seen before
  bool KeepsSomething = false;
  unsigned Passes = 1;
  std::unordered_set<std::string> KeptNames;
  // Check: whether this process may delete entries in it.
  bool Changeable = false;
};

// The folders from the top down to the one being read, and the relative
// path of the entry at hand. Each folder is opened relative to its parent;
// at most kTreeOpenLevels stay open.
class TreeCursor {
 public:
  std::vector<TreeLevel> Levels;
  std::string Path;  // relative path of the deepest level, or of an entry in it

  // Path becomes the entry's path; the returned mark takes it back off.
  std::size_t AppendName(const char* name) {
    const std::size_t mark = Path.size();
    if (mark != 0) Path.push_back('/');
    Path.append(name);
    return mark;
  }

  // Makes `level` (opened, listed, Name and PathLength set) the deepest.
  void Push(TreeLevel level) {
    if (Levels.size() >= kTreeOpenLevels) Levels[Levels.size() - kTreeOpenLevels].Fd.Reset();
    Levels.push_back(std::move(level));
  }

  // Makes sure the level above the deepest one is open, reopening it
  // through ".." (a directory's real parent, never a link). False, with
  // errno ESTALE, when that is no longer the folder we came from: the tree
  // was moved while we were in it, and nothing may go on in a place that
  // was never chosen.
  bool OpenParentOfDeepest() {
    if (Levels.size() < 2) return true;
    TreeLevel& parent = Levels[Levels.size() - 2];
    if (parent.Fd.Valid()) return true;
    UniqueFd up(::openat(Levels.back().Fd.Get(), "..", kFolderOpenFlags));
    if (!up.Valid()) return false;
    EntryStat now;
    if (!StatEntry(up.Get(), "", now)) return false;
    if (!SameObject(now.Facts, parent.Self.Facts)) {
      errno = ESTALE;
      return false;
    }
    parent.Fd = std::move(up);
    return true;
  }

  // Leaves the deepest level; OpenParentOfDeepest must have succeeded.
  void Pop() {
    Levels.pop_back();
    Path.resize(Levels.empty() ? 0 : Levels.back().PathLength);
  }

  // The next name of the deepest level, or nullptr at its end.
  const char* NextName() {
    TreeLevel& level = Levels.back();
    if (level.Next >= level.Listing.size()) return nullptr;
    const char* name = level.Listing.c_str() + level.Next;
    level.Next += std::strlen(name) + 1;
    return name;
  }
};

// What a walk reports to the code built on it.
class TreeObserver {
 public:
  virtual ~TreeObserver() = default;
  // The deepest level was opened and listed (the top folder too). False stops.
  virtual bool Entered(TreeCursor& cursor) = 0;
  // An entry of the deepest level; cursor.Path is its relative path. False stops.
  virtual bool Entry(TreeCursor& cursor, const char* name, const EntryStat& entry) = 0;
};

// The folder a walk starts from, and the one that holds it (O_PATH: one we
// may search but not read will do) when the path names one.
struct TopFolder {
  std::string Path;  // as named, without trailing slashes
  UniqueFd Parent;
  std::string Name;
  UniqueFd Fd;
  EntryStat Self;
};

// Opens the top folder without following a link in its last component. The
// folders leading to it are taken as the caller named them.
bool OpenTopFolder(const std::string& path, TopFolder& top) {
  top.Path = StripTrailingSlashes(path);
  if (top.Path.empty()) {
    errno = ENOENT;
    return false;
  }
  const std::size_t slash = top.Path.rfind('/');
  top.Name = slash == std::string::npos ? top.Path : top.Path.substr(slash + 1);
  if (top.Path == "/" || top.Name == "." || top.Name == "..") {
    // No entry of a parent: walked as it is, never removable.
    top.Name.clear();
    top.Fd = UniqueFd(::open(top.Path.c_str(), kFolderOpenFlags));
  } else {
    top.Parent =
        UniqueFd(::open(ParentDirectory(top.Path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!top.Parent.Valid()) return false;
    top.Fd = UniqueFd(::openat(top.Parent.Get(), top.Name.c_str(), kFolderOpenFlags));
  }
  if (!top.Fd.Valid() || !StatEntry(top.Fd.Get(), "", top.Self)) return false;
  EntryStat parent;
  if (top.Parent.Valid() && StatEntry(top.Parent.Get(), "", parent) &&
      parent.Facts.Device != top.Self.Facts.Device) {
    top.Self.Facts.IsMountRoot = true;
  }
  return true;
}

std::string FullPathOf(const std::string& top, const std::string& relativePath) {
  if (relativePath.empty()) return top;
  return top == "/" ? "/" + relativePath : top + "/" + relativePath;
}

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

std::string TopOpenFailure(const std::string& path, int error) {
  if (error == ELOOP) return "\"" + path + "\" is a symbolic link, not a folder.";
  if (error == ENOTDIR) return "\"" + path + "\" is not a folder.";
  return "Cannot open \"" + path + "\": " + ErrorText(error) + ".";
}

void FailWalk(TreeWalkReport& report, const std::string& top, const std::string& relativePath,
              int error, const char* what) {
  report.Status = TreeWalkStatus::Failed;
  report.Error = error;
  report.RelativePath = relativePath;
  const std::string full = FullPathOf(top, relativePath);
  if (error == ESTALE) {
    report.Message = "\"" + full + "\" was moved or replaced while it was being read.";
  } else {
    report.Message = std::string("Cannot ") + what + " \"" + full + "\": " + ErrorText(error) + ".";
  }
}

// The walk itself: entries of each folder in listing order, a folder before
// its entries; mount points are reported and never entered.
void RunWalk(TopFolder& top, TreeObserver& observer, const StopRequest& stop,
             TreeWalkReport& report) {
  report.Top = top.Self.Facts;
  TreeCursor cursor;
  TreeLevel first;
  first.Self = top.Self;
  first.Name = top.Name;
  if (!ReadListing(top.Fd.Get(), first.Listing)) {
    FailWalk(report, top.Path, "", errno, "list");
    return;
  }
  first.Fd = std::move(top.Fd);
  cursor.Push(std::move(first));
  report.Status = TreeWalkStatus::Stopped;
  if (!observer.Entered(cursor)) return;

  while (!cursor.Levels.empty()) {
    if (stop && stop()) return;
    const char* name = cursor.NextName();
    if (name == nullptr) {
      if (!cursor.OpenParentOfDeepest()) {
        FailWalk(report, top.Path, cursor.Path, errno, "go back up from");
        return;
      }
      cursor.Pop();
      continue;
    }
    const TreeLevel& level = cursor.Levels.back();
    EntryStat entry;
    if (!StatEntry(level.Fd.Get(), name, entry)) {
      if (errno == ENOENT) continue;  // gone since the folder was listed
      const int error = errno;
      cursor.AppendName(name);
      FailWalk(report, top.Path, cursor.Path, error, "read");
      return;
    }
    if (entry.Facts.Device != level.Self.Facts.Device) entry.Facts.IsMountRoot = true;
    const std::size_t mark = cursor.AppendName(name);
    if (!observer.Entry(cursor, name, entry)) return;
    if (entry.Facts.Kind != EntryKind::Folder || entry.Facts.IsMountRoot) {
      cursor.Path.resize(mark);
      continue;
    }
    TreeLevel child;
    child.Fd = UniqueFd(::openat(level.Fd.Get(), name, kFolderOpenFlags));
    if (!child.Fd.Valid()) {
      if (errno == ENOENT) {
        cursor.Path.resize(mark);
        continue;
      }
      FailWalk(report, top.Path, cursor.Path, errno == ELOOP || errno == ENOTDIR ? ESTALE : errno,
               "open");
      return;
    }
    if (!StatEntry(child.Fd.Get(), "", child.Self)) {
      FailWalk(report, top.Path, cursor.Path, errno, "read");
      return;
    }
    // Replaced, or mounted over, between the look and the open.
    if (!SameObject(child.Self.Facts, entry.Facts) || child.Self.Facts.IsMountRoot) {
      FailWalk(report, top.Path, cursor.Path, ESTALE, "open");
      return;
    }
    if (!ReadListing(child.Fd.Get(), child.Listing)) {
      FailWalk(report, top.Path, cursor.Path, errno, "list");
      return;
    }
    child.Name = name;
    child.PathLength = cursor.Path.size();
    cursor.Push(std::move(child));
    if (!observer.Entered(cursor)) return;
  }
  report.Status = TreeWalkStatus::Complete;
}

// ------------------------------------------------------------ protection check

class ProtectionCheck final : public TreeObserver {
 public:
  ProtectionCheck(TreeCheckReport& report, const std::string& top, bool willBeRemoved)
      : report_(report),
        top_(top),
        willBeRemoved_(willBeRemoved),
        euid_(::geteuid()),
        mayOwnAnything_(HasEffectiveCapability(CAP_FOWNER)) {}

  void Find(TreeFinding& slot, TreeProblem problem, const std::string& relativePath,
            const std::string& message) {
    if (slot.Found()) return;
    slot.Problem = problem;
    slot.RelativePath = relativePath;
    slot.Path = FullPathOf(top_, relativePath);
    slot.Message = "\"" + slot.Path + "\" " + message;
    if (!report_.First.Found()) report_.First = slot;
  }

  void CannotRemove(const std::string& relativePath, const std::string& reason) {
    Find(report_.CannotRemove, TreeProblem::CannotRemove, relativePath,
         "could not be deleted after protecting: " + reason + ".");
  }

  // The folder itself must leave its parent, which the removal does not
  // make writable: it must be writable and searchable as it is.
  void CheckTopRemovable(const TopFolder& top) {
    if (!willBeRemoved_) return;
    if (!top.Parent.Valid()) return CannotRemove("", "it is no entry of a folder");
    if (top.Self.Facts.IsMountRoot) return CannotRemove("", "it is a mount point");
    struct statvfs fs {};
    if (::fstatvfs(top.Parent.Get(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) {
      return CannotRemove("", "the folder holding it is on a read-only file system");
    }
    EntryStat parent;
    if (!StatEntry(top.Parent.Get(), "", parent)) return;
    if (!parent.FlagsKnown) {
      const UniqueFd readable(::openat(top.Parent.Get(), ".", kFolderOpenFlags));
      if (readable.Valid()) ReadInodeFlags(readable.Get(), parent);
    }
    if (parent.Immutable || parent.AppendOnly) {
      return CannotRemove("", std::string("the folder holding it is marked ") +
                                  (parent.Immutable ? "immutable" : "append-only"));
    }
    if (::faccessat(top.Parent.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
      return CannotRemove("", "no permission to change the folder holding it");
    }
    if (!StickyAllows(parent.Facts, top.Self.Facts)) {
      return CannotRemove("",
                          "the folder holding it has the sticky bit and both belong to "
                          "another user");
    }
  }

  bool Entered(TreeCursor& cursor) override {
    TreeLevel& level = cursor.Levels.back();
    if (!willBeRemoved_) return true;
    if (cursor.Levels.size() == 1) {
      struct statvfs fs {};
      readOnly_ = ::fstatvfs(level.Fd.Get(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0;
    }
    ReadInodeFlags(level.Fd.Get(), level.Self);
    // Removing the folder from its parent: inode flags (the sticky bit was
    // looked at with the entry).
    if (level.Self.Immutable || level.Self.AppendOnly) {
      CannotRemove(cursor.Path, std::string("it is marked ") +
                                    (level.Self.Immutable ? "immutable" : "append-only"));
    }
    // Emptying it: the removal makes a folder it owns writable as it goes;
    // anything else must be writable and searchable as it is.
    std::string why;
    if (readOnly_) {
      why = "it is on a read-only file system";
    } else if (level.Self.Immutable || level.Self.AppendOnly) {
      why = std::string("it is marked ") + (level.Self.Immutable ? "immutable" : "append-only");
    } else if (level.Self.Facts.Owner != euid_ &&
               ::faccessat(level.Fd.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
      why = "no permission to change it";
    }
    level.Changeable = why.empty();
    if (!level.Changeable && !level.Listing.empty()) {
      CannotRemove(cursor.Path, "its contents cannot be deleted: " + why);
    }
    return true;
  }

  bool Entry(TreeCursor& cursor, const char* name, const EntryStat& entry) override {
    const TreeLevel& parent = cursor.Levels.back();
    const EntryFacts& facts = entry.Facts;
    if (facts.Kind == EntryKind::Folder) {
      ++report_.Folders;
    } else {
      ++report_.Files;
      if (facts.Kind == EntryKind::File) {
        report_.Bytes += facts.Size;
        report_.SizeKB += facts.Size / 1024;
      }
    }
    if (IsSpecialKind(facts.Kind)) {
      Find(report_.SpecialFile, TreeProblem::SpecialFile, cursor.Path,
           std::string("is a ") + KindName(facts.Kind) +
               "; devices, FIFOs and sockets cannot be protected.");
    }
    if (facts.IsMountRoot) {
      Find(report_.MountPoint, TreeProblem::MountPoint, cursor.Path,
           "is a mount point; a folder that holds a mounted file system or a bind mount cannot "
           "be protected.");
    }
    if (facts.Kind == EntryKind::File && !report_.CannotRead.Found() &&
        ::faccessat(parent.Fd.Get(), name, R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 &&
        (errno == EACCES || errno == EPERM)) {
      Find(report_.CannotRead, TreeProblem::CannotRead, cursor.Path,
           "cannot be read: " + ErrorText(errno) + ".");
    }
    if (willBeRemoved_ && !report_.CannotRemove.Found() && parent.Changeable) {
      if (!StickyAllows(parent.Self.Facts, facts)) {
        CannotRemove(cursor.Path,
                     "the folder holding it has the sticky bit and both belong to another user");
      } else if (facts.Kind == EntryKind::File) {
        // Folders have their flags read when they are entered.
        EntryStat flags = entry;
        if (!flags.FlagsKnown) {
          const UniqueFd fd(::openat(parent.Fd.Get(), name, kProbeOpenFlags | O_NOFOLLOW));
          if (fd.Valid()) ReadInodeFlags(fd.Get(), flags);
        }
        if (flags.Immutable || flags.AppendOnly) {
          CannotRemove(cursor.Path, std::string("it is marked ") +
                                        (flags.Immutable ? "immutable" : "append-only"));
        }
      }
    }
    return true;
  }

 private:
  // In a folder with the sticky bit only the owner of the entry or of the
  // folder may remove the entry, unless the process may act as any owner.
  bool StickyAllows(const EntryFacts& folder, const EntryFacts& entry) const {
    if ((folder.Mode & S_ISVTX) == 0 || mayOwnAnything_) return true;
    return entry.Owner == euid_ || folder.Owner == euid_;
  }

  TreeCheckReport& report_;
  const std::string& top_;
  const bool willBeRemoved_;
  const uid_t euid_;
  const bool mayOwnAnything_;
  bool readOnly_ = false;
};

// Hands each entry of a walk to a public visitor.
class VisitorAdapter final : public TreeObserver {
 public:
  explicit VisitorAdapter(const TreeVisitor& visit) : visit_(visit) {}
  bool Entered(TreeCursor&) override { return true; }
  bool Entry(TreeCursor& cursor, const char*, const EntryStat& entry) override {
    return !visit_ || visit_(cursor.Path, entry.Facts);
  }

 private:
  const TreeVisitor& visit_;
};

// The same for a visitor that also reads the entries it is shown.
class VisitorAtAdapter final : public TreeObserver {
 public:
  explicit VisitorAtAdapter(const TreeVisitorAt& visit) : visit_(visit) {}
  bool Entered(TreeCursor&) override { return true; }
  bool Entry(TreeCursor& cursor, const char* name, const EntryStat& entry) override {
    return !visit_ || visit_(cursor.Path, entry.Facts, cursor.Levels.back().Fd.Get(), name);
  }

 private:
  const TreeVisitorAt& visit_;
};

// ------------------------------------------------------------ removal

KeptReason ReasonOf(int error) {
  if (error == EACCES || error == EPERM || error == EROFS) return KeptReason::Permission;
  if (error == EBUSY) return KeptReason::MountPoint;
  return KeptReason::Failed;
}

std::string KeptReasonText(const KeptEntry& kept) {
  switch (kept.Reason) {
    case KeptReason::Declined:
      return "kept on request";
    case KeptReason::Changed:
      return "it changed while it was being removed";
    case KeptReason::MountPoint:
      return "a mount point";
    case KeptReason::Permission:
    case KeptReason::Failed:
      break;
  }
  return ErrorText(kept.Error);
}

enum class FolderOpen : std::uint8_t { Opened, Gone, Changed, MountPoint, Failed };

// Opens the folder `name` in `parentFd` for emptying, as long as it is still
// the folder `expected` describes, and makes it readable, writable and
// searchable when it is not, so a read-only folder does not stop the
// removal. A folder that cannot even be opened is changed through a
// descriptor of exactly the folder that was looked at, never by its name,
// so a name swapped meanwhile cannot redirect the change.
FolderOpen OpenFolderForEmptying(int parentFd, const char* name, const EntryFacts& expected,
                                 TreeLevel& out, int& error) {
  UniqueFd fd(::openat(parentFd, name, kFolderOpenFlags));
  bool modeChanged = false;
  mode_t originalMode = 0;
  std::string viaProc;
  if (!fd.Valid()) {
    error = errno;
    if (error == ENOENT) return FolderOpen::Gone;
    if (error == ELOOP || error == ENOTDIR) return FolderOpen::Changed;
    if (error != EACCES) return FolderOpen::Failed;
    const UniqueFd pathFd(::openat(parentFd, name, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
    EntryStat seen;
    if (!pathFd.Valid()) {
      error = errno;
      if (error == ENOENT) return FolderOpen::Gone;
      return error == ELOOP || error == ENOTDIR ? FolderOpen::Changed : FolderOpen::Failed;
    }
    if (!StatEntry(pathFd.Get(), "", seen)) {
      error = errno;
      return FolderOpen::Failed;
    }
    if (!SameObject(seen.Facts, expected)) return FolderOpen::Changed;
    if (seen.Facts.IsMountRoot) return FolderOpen::MountPoint;
    // The magic link of a descriptor leads to exactly its inode.
    viaProc = "/proc/self/fd/" + std::to_string(pathFd.Get());
    originalMode = seen.Facts.Mode & 07777;
    if (::chmod(viaProc.c_str(), originalMode | S_IRWXU) != 0) return FolderOpen::Failed;
    modeChanged = true;
    fd = UniqueFd(::open(viaProc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) {
      error = errno;
      ::chmod(viaProc.c_str(), originalMode);
      return FolderOpen::Failed;
    }
  }
  if (!StatEntry(fd.Get(), "", out.Self)) {
    error = errno;
    if (modeChanged) ::fchmod(fd.Get(), originalMode);
    return FolderOpen::Failed;
  }
  if (!SameObject(out.Self.Facts, expected)) return FolderOpen::Changed;
  if (out.Self.Facts.IsMountRoot) return FolderOpen::MountPoint;
  if (!modeChanged) {
    originalMode = out.Self.Facts.Mode & 07777;
    if (::faccessat(fd.Get(), ".", R_OK | W_OK | X_OK, AT_EACCESS) != 0 &&
        ::fchmod(fd.Get(), originalMode | S_IRWXU) == 0) {
      modeChanged = true;
    }
    // When even that fails, each entry inside reports its own refusal.
  }
  out.Fd = std::move(fd);
  out.OriginalMode = originalMode;
  out.ModeChanged = modeChanged;
  return FolderOpen::Opened;
}

class TreeRemoval {
 public:
  TreeRemoval(RemovalReport& report, const RemovalPredicate& mayRemove, const StopRequest& stop,
              int topParentFd, const std::string& topPath)
      : report_(report),
        mayRemove_(mayRemove),
        stop_(stop),
        topParentFd_(topParentFd),
        topPath_(topPath) {}

  // The entry at cursor_.Path (`name` inside `holder`, or the path itself
  // when there is no holder) stays.
  void Keep(TreeLevel* holder, const char* name, KeptReason reason, int error) {
    ++report_.KeptCount;
    if (report_.Kept.size() < kKeptEntriesReported) {
      report_.Kept.push_back(KeptEntry{cursor_.Path, reason, error});
    }
    if (holder != nullptr) {
      holder->KeptNames.insert(name);
      holder->KeepsSomething = true;
      holder->ActedThisPass = true;
    }
  }

  // Any entry that is no folder, at cursor_.Path.
  void RemoveEntry(int folderFd, TreeLevel* holder, const char* name, const EntryStat& entry) {
    if (entry.Facts.IsMountRoot) return Keep(holder, name, KeptReason::MountPoint, 0);
    if (mayRemove_ && !mayRemove_(cursor_.Path, entry.Facts)) {
      return Keep(holder, name, KeptReason::Declined, 0);
    }
    if (::unlinkat(folderFd, name, 0) == 0) {
      ++report_.RemovedCount;
      if (holder != nullptr) holder->ActedThisPass = true;
      return;
    }
    const int error = errno;
    if (error == ENOENT) return;
    // A folder took its place since it was looked at.
    if (error == EISDIR) return Keep(holder, name, KeptReason::Changed, 0);
    Keep(holder, name, ReasonOf(error), error);
  }

  void RemoveFolder(const std::string& topName, const EntryStat& top) {
    if (top.Facts.IsMountRoot) return Keep(nullptr, "", KeptReason::MountPoint, 0);
    TreeLevel first;
    if (!OpenLevel(topParentFd_, nullptr, topName.c_str(), top, first)) return;
    cursor_.Push(std::move(first));

    while (!cursor_.Levels.empty()) {
      if (stop_ && stop_()) {
        report_.Stopped = true;
        return RestoreModes();
      }
      const char* name = cursor_.NextName();
      if (name == nullptr) {
        if (!FinishDeepest()) return RestoreModes();
        continue;
      }
      TreeLevel& level = cursor_.Levels.back();
      if (level.KeptNames.count(name) != 0) continue;
      EntryStat entry;
      const bool known = StatEntry(level.Fd.Get(), name, entry);
      if (!known && errno == ENOENT) continue;
      const int error = errno;
      const std::size_t mark = cursor_.AppendName(name);
      if (!known) {
        Keep(&level, name, ReasonOf(error), error);
      } else {
        if (entry.Facts.Device != level.Self.Facts.Device) entry.Facts.IsMountRoot = true;
        if (entry.Facts.Kind != EntryKind::Folder) {
          RemoveEntry(level.Fd.Get(), &level, name, entry);
        } else if (entry.Facts.IsMountRoot) {
          Keep(&level, name, KeptReason::MountPoint, 0);
        } else {
          TreeLevel child;
          if (OpenLevel(level.Fd.Get(), &level, name, entry, child)) {
            cursor_.Push(std::move(child));  // `level` is not used past here
            continue;
          }
        }
      }
      cursor_.Path.resize(mark);
    }
  }

 private:
  // Opens and lists a folder to be emptied, at cursor_.Path; false when it
  // is gone or stays (then reported).
  bool OpenLevel(int parentFd, TreeLevel* holder, const char* name, const EntryStat& entry,
                 TreeLevel& level) {
    int error = 0;
    switch (OpenFolderForEmptying(parentFd, name, entry.Facts, level, error)) {
      case FolderOpen::Opened:
        break;
      case FolderOpen::Gone:
        return false;
      case FolderOpen::Changed:
        Keep(holder, name, KeptReason::Changed, 0);
        return false;
      case FolderOpen::MountPoint:
        Keep(holder, name, KeptReason::MountPoint, 0);
        return false;
      case FolderOpen::Failed:
        Keep(holder, name, ReasonOf(error), error);
        return false;
    }
    if (!ReadListing(level.Fd.Get(), level.Listing)) {
      // A listing that broke off cannot say what the folder holds.
      Keep(holder, name, ReasonOf(errno), errno);
      if (level.ModeChanged) ::fchmod(level.Fd.Get(), level.OriginalMode);
      return false;
    }
    level.Name = name;
    level.PathLength = cursor_.Path.size();
    return true;
  }

  // The deepest folder was read to its end: remove it from its parent, or
  // read it again when entries appeared meanwhile, or keep it. False when
  // the removal has to stop (the tree moved).
  bool FinishDeepest() {
    if (!cursor_.OpenParentOfDeepest()) {
      report_.Message = "\"" + FullPathOf(topPath_, cursor_.Path) +
                        "\" was moved or replaced while it was being removed; the removal stopped.";
      return false;
    }
    TreeLevel& level = cursor_.Levels.back();
    TreeLevel* holder =
        cursor_.Levels.size() > 1 ? &cursor_.Levels[cursor_.Levels.size() - 2] : nullptr;
    const int parentFd = holder != nullptr ? holder->Fd.Get() : topParentFd_;
    // Only the folder that was emptied leaves: should its name hold another
    // entry by now, that entry is not ours to remove.
    EntryStat now;
    if (!StatEntry(parentFd, level.Name.c_str(), now)) {
      if (errno != ENOENT) Keep(holder, level.Name.c_str(), ReasonOf(errno), errno);
      return Leave(level);
    }
    if (!SameObject(now.Facts, level.Self.Facts)) {
      Keep(holder, level.Name.c_str(), KeptReason::Changed, 0);
      return Leave(level);
    }
    if (::unlinkat(parentFd, level.Name.c_str(), AT_REMOVEDIR) == 0) {
      ++report_.RemovedCount;
      if (holder != nullptr) holder->ActedThisPass = true;
      cursor_.Pop();
      return true;
    }
    const int error = errno;
    if (error == ENOTEMPTY || error == EEXIST) {
      // Entries may have appeared while it was emptied: look again until a
      // pass meets nothing new, so the report says all that stays.
      if (level.ActedThisPass && level.Passes < kRemovalPasses &&
          ReadListing(level.Fd.Get(), level.Listing)) {
        level.Next = 0;
        level.ActedThisPass = false;
        ++level.Passes;
        return true;
      }
      if (level.KeepsSomething) {
        ++report_.FoldersLeft;
        if (holder != nullptr) {
          holder->KeptNames.insert(level.Name);
          holder->KeepsSomething = true;
          holder->ActedThisPass = true;
        }
      } else {
        // Entries it holds were never looked at: they came late.
        Keep(holder, level.Name.c_str(), KeptReason::Changed, 0);
      }
    } else {
      Keep(holder, level.Name.c_str(), ReasonOf(error), error);
    }
    return Leave(level);
  }

  // The deepest folder stays (or went elsewhere): its mode goes back.
  bool Leave(TreeLevel& level) {
    if (level.ModeChanged) ::fchmod(level.Fd.Get(), level.OriginalMode);
    cursor_.Pop();
    return true;
  }

  // A stopped removal leaves the folders it made accessible as they were,
  // as far as they are still open.
  void RestoreModes() {
    for (TreeLevel& level : cursor_.Levels) {
      if (level.ModeChanged && level.Fd.Valid()) ::fchmod(level.Fd.Get(), level.OriginalMode);
    }
  }

  RemovalReport& report_;
  const RemovalPredicate& mayRemove_;
  const StopRequest& stop_;
  const int topParentFd_;
  const std::string& topPath_;
  TreeCursor cursor_;
};

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

}  // namespace

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

namespace {

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
  RemovalReport report;
  return RemoveTree(path, RemovalPredicate(), report);
}

// ---------------------------------------------------------------- folder trees

bool SameEntryState(const EntryFacts& a, const EntryFacts& b) {
  return a.Kind == b.Kind && a.Device == b.Device && a.Inode == b.Inode && a.Mode == b.Mode &&
         a.Owner == b.Owner && a.Group == b.Group && a.Size == b.Size &&
         a.ModifiedSeconds == b.ModifiedSeconds && a.ModifiedNanoseconds == b.ModifiedNanoseconds &&
         a.ChangedSeconds == b.ChangedSeconds && a.ChangedNanoseconds == b.ChangedNanoseconds;
}

namespace {

// A walk for a visitor of either kind, reporting as WalkTree says.
template <typename Adapter, typename Visitor>
bool WalkWith(const std::string& folder, const Visitor& visit, const StopRequest& stop,
              TreeWalkReport& report) {
  report = TreeWalkReport{};
  TopFolder top;
  if (!OpenTopFolder(folder, top)) {
    report.Error = errno;
    report.Message = TopOpenFailure(top.Path.empty() ? folder : top.Path, report.Error);
    return false;
  }
  Adapter adapter(visit);
  RunWalk(top, adapter, stop, report);
  if (report.Status == TreeWalkStatus::Stopped) {
    report.Message = "Reading \"" + top.Path + "\" was stopped before its end.";
  }
  return report.Complete();
}

}  // namespace

bool WalkTree(const std::string& folder, const TreeVisitor& visit, const StopRequest& stop,
              TreeWalkReport& report) {
  return WalkWith<VisitorAdapter>(folder, visit, stop, report);
}

bool WalkTreeAt(const std::string& folder, const TreeVisitorAt& visit, const StopRequest& stop,
                TreeWalkReport& report) {
  return WalkWith<VisitorAtAdapter>(folder, visit, stop, report);
}

bool CheckTreeForProtection(const std::string& folder, bool willBeRemoved, const StopRequest& stop,
                            TreeCheckReport& report) {
  report = TreeCheckReport{};
  TopFolder top;
  if (!OpenTopFolder(folder, top)) {
    const int error = errno;
    report.Walk.Error = error;
    report.Walk.Message = TopOpenFailure(top.Path.empty() ? folder : top.Path, error);
    TreeFinding& slot = error == EACCES ? report.CannotRead : report.First;
    slot.Problem = error == EACCES ? TreeProblem::CannotRead : TreeProblem::WalkFailed;
    slot.Path = top.Path.empty() ? folder : top.Path;
    slot.Message = report.Walk.Message;
    report.First = slot;
    return false;
  }
  ProtectionCheck check(report, top.Path, willBeRemoved);
  check.CheckTopRemovable(top);
  RunWalk(top, check, stop, report.Walk);
  if (report.Walk.Status == TreeWalkStatus::Stopped) {
    report.Walk.Message = "Checking \"" + top.Path + "\" was stopped before its end.";
    check.Find(report.First, TreeProblem::Stopped, "", "was not checked to its end.");
  } else if (report.Walk.Status == TreeWalkStatus::Failed) {
    const bool denied = report.Walk.Error == EACCES || report.Walk.Error == EPERM;
    TreeFinding finding;
    finding.Problem = denied ? TreeProblem::CannotRead : TreeProblem::WalkFailed;
    finding.RelativePath = report.Walk.RelativePath;
    finding.Path = FullPathOf(top.Path, report.Walk.RelativePath);
    finding.Message = report.Walk.Message;
    if (denied && !report.CannotRead.Found()) report.CannotRead = finding;
    if (!report.First.Found()) report.First = finding;
  }
  return report.Passed();
}

bool RemoveTree(const std::string& path, const RemovalPredicate& mayRemove, RemovalReport& report,
                const StopRequest& stop) {
  report = RemovalReport{};
  const std::string clean = StripTrailingSlashes(path);
  const std::size_t slash = clean.rfind('/');
  const std::string name = slash == std::string::npos ? clean : clean.substr(slash + 1);
  // Nothing named, the root, or a name that is no entry of its parent.
  if (clean.empty() || clean == "/" || name == "." || name == "..") {
    report.Message = "\"" + path + "\" names no entry of a folder and cannot be removed.";
    return false;
  }
  // The parent is reached as the caller named it; from there on nothing is
  // followed. O_PATH: a parent we may search but not read still works.
  const UniqueFd parentFd(::open(ParentDirectory(clean).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  EntryStat top;
  if (!parentFd.Valid() || !StatEntry(parentFd.Get(), name.c_str(), top)) {
    report.Removed = errno == ENOENT;
    if (!report.Removed) {
      report.Message = "Cannot remove \"" + clean + "\": " + ErrorText(errno) + ".";
    }
    return report.Removed;
  }
  EntryStat parent;
  if (StatEntry(parentFd.Get(), "", parent) && parent.Facts.Device != top.Facts.Device) {
    top.Facts.IsMountRoot = true;
  }

  TreeRemoval removal(report, mayRemove, stop, parentFd.Get(), clean);
  if (top.Facts.Kind == EntryKind::Folder) {
    removal.RemoveFolder(name, top);
  } else {
    removal.RemoveEntry(parentFd.Get(), nullptr, name.c_str(), top);
  }

  EntryStat after;
  report.Removed = !StatEntry(parentFd.Get(), name.c_str(), after) && errno == ENOENT;
  if (report.Removed) {
    report.Message.clear();
  } else if (report.Message.empty()) {
    if (report.Stopped) {
      report.Message = "Removing \"" + clean + "\" was stopped; what is left stays.";
    } else if (!report.Kept.empty()) {
      const KeptEntry& first = report.Kept.front();
      report.Message =
          std::to_string(report.KeptCount) + " entr" + (report.KeptCount == 1 ? "y" : "ies") +
          " of \"" + clean + "\" could not be removed, the first: \"" +
          FullPathOf(clean, first.RelativePath) + "\" (" + KeptReasonText(first) + ").";
    } else {
      report.Message = "\"" + clean + "\" could not be removed.";
    }
  }
  return report.Removed;
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
  // One syncfs writes everything out at once where the file system honours
  // it. Not all do (a FUSE file system is not even told of it, and neither
  // are some network ones), so every file and folder is then fsynced on its
  // own as well: cheap once syncfs has done the work, and the only promise
  // every file system keeps.
  if (::syncfs(fd.Get()) != 0) return false;
  int failure = 0;
  const auto syncEntry = [&failure](const std::string&, const EntryFacts& facts, int folderFd,
                                    const char* name) {
    if (facts.IsMountRoot) return true;
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (facts.Kind == EntryKind::Folder)
      flags |= O_DIRECTORY;
    else if (facts.Kind != EntryKind::File)
      return true;  // a link or a special file: its name is its folder's to flush
    UniqueFd entry(::openat(folderFd, name, flags));
    // A file its owner may not read cannot be opened to flush it: the
    // syncfs above is all there is for it.
    if (!entry.Valid() && errno == EACCES) return true;
    if (!entry.Valid() || ::fsync(entry.Get()) != 0 || !entry.Close()) {
      failure = errno;
      return false;
    }
    return true;
  };
  TreeWalkReport report;
  if (!WalkTreeAt(folder, syncEntry, [] { return false; }, report)) {
    errno = failure != 0 ? failure : (report.Error != 0 ? report.Error : EIO);
    return false;
  }
  if (::fsync(fd.Get()) != 0) return false;
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
