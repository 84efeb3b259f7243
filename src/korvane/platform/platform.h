// What the application needs from the operating system, in one place: disk
// space, directory listing, file tests, deleting, walking, checking and
// removing folder trees, syncing, opening things in the desktop, where the
// program and its folders are, the run lock and the texts that name the
// platform. POSIX implementation in platform.cpp.
//
// Paths are UTF-8 byte strings (any bytes a Linux name may hold). Nothing in
// here ever follows a symbolic link while listing or deleting a tree.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::platform {

// ---------------------------------------------------------------- disk space

struct DiskSpace {
  std::uint64_t AvailableToCaller = 0;  // f_bavail * f_frsize
  std::uint64_t Total = 0;              // f_blocks * f_frsize
  std::uint64_t TotalFree = 0;          // f_bfree * f_frsize
};

// statvfs on the path (a folder or a file on the disk in question). False and
// all three zero when the call fails.
bool GetDiskFreeSpace(const std::string& path, DiskSpace& space);

// ---------------------------------------------------------------- listing

struct DirEntry {
  std::string Name;          // the entry's own name, never "." or ".."
  bool IsDirectory = false;  // a real directory (a link to one is not)
  bool IsLink = false;       // a symbolic link (reported, never followed)
  std::uint64_t Size = 0;    // bytes of a regular file; 0 for anything else
};

// Mask matching as the desktop does it, on the whole name, case-insensitive
// for ASCII letters: '*' any run, '?' one character; "*.*" and "*" match every
// name (also one without a dot); "*.service" matches names ending in
// ".service".
bool MatchesMask(const std::string& name, const std::string& mask);

// Bytes of the UTF-8 character that starts at byte `at` (1 for a byte that
// does not start a complete, valid sequence: any name can be walked).
std::size_t Utf8CharLength(std::string_view text, std::size_t at);

// Lists the folder's entries whose names match the mask, in the order the
// file system gives them. False when the folder cannot be opened (the list
// is then empty); entries that vanish while listing are skipped.
bool EnumerateDirectory(const std::string& folder, const std::string& mask,
                        std::vector<DirEntry>& entries);

// ---------------------------------------------------------------- file tests

// True only for an existing entry that is not a directory (a regular file, a
// link, anything else); false for a directory or a missing path. Links are
// not followed.
bool FileExists(const std::string& path);
// True when the path names an existing directory (a link to a directory
// counts as the directory it names, as the desktop's attribute query does).
bool IsDirectory(const std::string& path);
// True when the path itself is a symbolic link.
bool IsSymbolicLink(const std::string& path);
// Size in bytes of the file (opened for reading); 0 when it cannot be opened.
std::uint64_t GetFileSize64(const std::string& path);

// ---------------------------------------------------------------- changing

// "Normal attributes": gives the owner write permission (the one attribute
// that keeps a desktop file from being deleted or replaced). Links are left
// alone. False when it fails.
bool SetFileAttributesNormal(const std::string& path);
// Removes a non-directory entry (unlink). False when it fails.
bool DeleteFile(const std::string& path);
// Removes an empty directory (rmdir). False when it fails.
bool RemoveDirectory(const std::string& path);
// Permanent, silent removal of a folder and everything left in it:
// RemoveTree without a predicate (see below). Never follows a link (a link
// inside is removed as a link; a link given as the path is removed itself),
// never leaves the tree, never empties a mount point, makes folders writable
// as it goes so read-only ones do not block it. True when the path no longer
// exists afterwards.
bool ShellDeleteTree(const std::string& path);

// ---------------------------------------------------------------- folder trees
//
// Walking, checking and removing a folder tree. All of it holds the tree by
// descriptors: each folder is opened relative to its parent's descriptor
// and never through a link, so a name swapped for a link while the work
// runs cannot lead out of the tree, a tree deeper than any path can name
// works, and the time grows linearly with the size of the tree whatever its
// depth. At most kTreeOpenLevels folders are open at once; deeper down, a
// folder that many levels up is closed and reopened through ".." on the way
// back, and must then be the same folder (device and inode) or the work
// stops. A mount point inside the tree (another file system, or a bind mount
// of a folder or a file, also of the same file system) is reported and
// never entered, emptied or removed.

// Folders of a tree that are open at the same time, whatever its depth.
constexpr std::size_t kTreeOpenLevels = 64;

enum class EntryKind : std::uint8_t {
  File,
  Folder,
  SymbolicLink,
  CharacterDevice,
  BlockDevice,
  Fifo,
  Socket,
  Unknown,
};

// What lstat tells about an entry (links are described, never followed).
struct EntryFacts {
  EntryKind Kind = EntryKind::Unknown;
  std::uint64_t Device = 0;  // st_dev
  std::uint64_t Inode = 0;
  std::uint32_t Mode = 0;  // st_mode: type and permission bits
  std::uint32_t Owner = 0;
  std::uint32_t Group = 0;
  std::uint64_t Size = 0;  // st_size: bytes of a file, length of a link's text
  std::int64_t ModifiedSeconds = 0;
  std::uint32_t ModifiedNanoseconds = 0;
  std::int64_t ChangedSeconds = 0;  // status change (ctime)
  std::uint32_t ChangedNanoseconds = 0;
  bool IsMountRoot = false;  // the root of a mount: a folder or a bind-mounted file
};

// True when both describe the same entry in the same state: device, inode,
// type and mode, owner, size, modification and change times. A workflow
// compares what it stored with what it is about to delete this way.
bool SameEntryState(const EntryFacts& a, const EntryFacts& b);

// Polled at least once per entry; true asks the work to stop. An empty
// function never stops.
using StopRequest = std::function<bool()>;

enum class TreeWalkStatus : std::uint8_t {
  Complete,  // every entry of the tree was visited
  Stopped,   // the stop request or the visitor ended it early
  Failed,    // a folder could not be opened or listed, or the tree moved
};

struct TreeWalkReport {
  TreeWalkStatus Status = TreeWalkStatus::Failed;
  int Error = 0;             // errno of a failure
  std::string RelativePath;  // where it failed ("" = the folder itself)
  std::string Message;       // one sentence for a person; empty when complete
  EntryFacts Top;            // the folder itself, when it could be opened
  bool Complete() const { return Status == TreeWalkStatus::Complete; }
};

// Called for each entry below the folder, a folder before its entries, in the
// order the file system lists them. The relative path has no leading or
// trailing slash ("a/b/file"); the string is valid during the call only.
// Return false to stop the walk.
using TreeVisitor = std::function<bool(const std::string& relativePath, const EntryFacts& facts)>;

// Visits every entry below `folder`. The folder itself must be a real folder
// (a link given as the path is not followed: the walk fails). Mount points
// are visited (IsMountRoot set) but never entered. The first folder that
// cannot be opened or listed ends the walk as Failed: a walk is Complete
// only when nothing was left out. True when Complete.
bool WalkTree(const std::string& folder, const TreeVisitor& visit, const StopRequest& stop,
              TreeWalkReport& report);

// The same, for a visitor that reads what it is shown: it also gets the
// descriptor of the folder holding the entry and the entry's own name, both
// valid during the call only (openat, readlinkat with them never leave the
// tree, however deep it is).
using TreeVisitorAt = std::function<bool(const std::string& relativePath, const EntryFacts& facts,
                                         int folderFd, const char* name)>;
bool WalkTreeAt(const std::string& folder, const TreeVisitorAt& visit, const StopRequest& stop,
                TreeWalkReport& report);

enum class TreeProblem : std::uint8_t {
  None,
  SpecialFile,   // a device, FIFO or socket: it cannot be stored
  MountPoint,    // a mount point inside the folder (folder or file)
  CannotRemove,  // this process could not delete it afterwards
  CannotRead,    // this process cannot read it (a folder cannot be listed)
  WalkFailed,    // the folder could not be read whole for another reason
  Stopped,       // the stop request ended the check
};

struct TreeFinding {
  TreeProblem Problem = TreeProblem::None;
  std::string RelativePath;  // "" = the folder itself
  std::string Path;          // the full path, as the folder was named
  std::string Message;       // one sentence for a person, naming the full path
  bool Found() const { return Problem != TreeProblem::None; }
};

struct TreeCheckReport {
  // The first problem met in walk order (None when the folder passed), and
  // the first one of each kind.
  TreeFinding First;
  TreeFinding SpecialFile;
  TreeFinding MountPoint;
  TreeFinding CannotRemove;  // only looked for when the folder is to be removed
  TreeFinding CannotRead;
  TreeWalkReport Walk;
  // What the walk counted, as the folder scan counts it: every entry that is
  // no folder is a file (links and special files too); SizeKB adds up each
  // regular file's size in whole KB, Bytes its exact size.
  std::uint64_t Files = 0;
  std::uint64_t Folders = 0;
  std::uint64_t Bytes = 0;
  std::uint64_t SizeKB = 0;
  bool Passed() const { return Walk.Complete() && !First.Found(); }
};

// One walk of the folder before it is protected, changing nothing. Finds the
// first device, FIFO or socket, the first mount point inside, the first
// entry this process cannot read and, when `willBeRemoved`, the first entry
// it could not delete afterwards with the reason: a read-only file system,
// no permission to change the folder holding it (owned folders count as
// changeable: the removal makes them writable), the sticky bit of that
// folder, immutable or append-only flags, or a mount point as the folder
// itself. The folder itself must be removable from its parent too. Counts
// files, folders and sizes on the way. True when the folder passed.
bool CheckTreeForProtection(const std::string& folder, bool willBeRemoved, const StopRequest& stop,
                            TreeCheckReport& report);

// Asked before each entry that is no folder is unlinked, with the same
// relative path and facts a walk would give ("" for a path that is itself no
// folder). False keeps the entry.
using RemovalPredicate =
    std::function<bool(const std::string& relativePath, const EntryFacts& facts)>;

enum class KeptReason : std::uint8_t {
  Declined,    // the predicate kept it
  Changed,     // it was replaced or moved while the removal ran
  MountPoint,  // a mount point: kept, never emptied
  Permission,  // the system refused (EACCES, EPERM, a read-only file system)
  Failed,      // any other error (Error says which)
};

struct KeptEntry {
  std::string RelativePath;  // "" = the folder itself
  KeptReason Reason = KeptReason::Failed;
  int Error = 0;  // errno, when the system refused
};

// Entries of RemovalReport::Kept that are listed by path.
constexpr std::size_t kKeptEntriesReported = 8;

struct RemovalReport {
  bool Removed = false;  // the path no longer exists
  bool Stopped = false;  // the stop request ended it; the rest was not looked at
  // Entries that remain for a reason of their own, and the first of them.
  // Folders that stay only because something inside them stayed are counted
  // in FoldersLeft, not here.
  std::uint64_t KeptCount = 0;
  std::vector<KeptEntry> Kept;
  std::uint64_t FoldersLeft = 0;
  std::uint64_t RemovedCount = 0;  // entries removed, folders included
  std::string Message;             // one sentence for a person; empty when removed
};

// Removes the folder tree at `path` through descriptors, as ShellDeleteTree
// does, asking `mayRemove` (when given) before each entry that is no folder
// is unlinked. Declined entries, mount points, entries that changed under it
// and entries the system refuses stay; folders that end up empty are removed,
// the folder itself too. Folders it had to make writable and keeps get their
// mode back. Where a name no longer holds the folder that was emptied (it was
// moved or replaced), that name is left alone. A mount point given as the
// path is not emptied. True when the path no longer exists.
// Linux cannot unlink through a descriptor: an entry renamed over a checked
// name between the predicate's answer and the unlink goes in its place. It
// is always a name inside the tree that goes, never what a link names.
bool RemoveTree(const std::string& path, const RemovalPredicate& mayRemove, RemovalReport& report,
                const StopRequest& stop = {});

// ---------------------------------------------------------------- durability

// fsync of one file (opened read-only) / of a directory. False with errno set
// when it fails.
bool SyncFile(const std::string& path);
bool SyncDirectory(const std::string& path);
// Flushes everything written below the folder to the medium: syncfs of the
// file system that holds it, fsync of every file and folder below it (links
// not followed, mount points not entered), then of the folder and of its
// parent.
// False with errno set when any step fails.
bool SyncTree(const std::string& folder);

// ---------------------------------------------------------------- paths

// Everything before the last '/'; "/" for a path directly under the root;
// "." for a name without a slash.
std::string ParentDirectory(const std::string& path);
// An absolute, lexically clean path: relative paths are taken from the
// current directory; "//", "/./" and "/x/.." are folded; trailing slashes
// are dropped ("/" stays "/"). An empty path stays empty. No link is
// resolved.
std::string AbsolutePath(const std::string& path);
// Full path of the running program (/proc/self/exe); empty when unknown.
std::string ExecutablePath();
// Full path of an executable found on $PATH; empty when there is none.
// Empty and relative entries are skipped: a program named by the desktop
// must not come from whatever folder we happen to stand in.
std::string FindOnPath(const std::string& program);
// The folders that must never be protected, stand-ins of the Windows
// folder: /bin /boot /dev /etc /lib /lib32 /lib64 /libx32 /proc /sbin /sys /usr.
const std::vector<std::string>& SystemFolders();
// $XDG_CONFIG_HOME (default ~/.config), $XDG_STATE_HOME (default
// ~/.local/state), $XDG_RUNTIME_DIR (default /tmp). Never empty.
std::string ConfigHome();
std::string StateHome();
// $XDG_DATA_HOME (default ~/.local/share).
std::string DataHome();
std::string RuntimeDirectory();

// ---------------------------------------------------------------- desktop

// Opens a folder, a web address or a mailto: address with xdg-open, detached
// (the program does not wait for it). False when it cannot be started or no
// desktop session is there to show it.
bool ShellOpen(const std::string& target);

// The message texts that name the desktop platform, as they read on Linux:
// "Windows folder" -> "system folder", "Windows Explorer" -> "the file
// manager". Every other text comes back unchanged.
std::string LocalizeText(const std::string& text);

// ---------------------------------------------------------------- run lock

// The named run lock: an advisory lock file "<RuntimeDirectory>/<name>.lock"
// taken without waiting. Whether another instance holds it is not examined
// (two instances may run side by side); failures are silent.
class RunLock {
 public:
  explicit RunLock(const std::string& name);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  // Closes the lock file now (the destructor then does nothing).
  void Close();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace korvane::platform
