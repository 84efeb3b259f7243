// What the application needs from the operating system, in one place: disk
// space, directory listing, file tests, deleting, syncing, opening things in
// the desktop, where the program and its folders are, the run lock and the
// texts that name the platform. POSIX implementation in platform.cpp.
//
// Paths are UTF-8 byte strings (any bytes a Linux name may hold). Nothing in
// here ever follows a symbolic link while listing or deleting a tree.
#pragma once

#include <cstdint>
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
// Permanent, silent removal of a folder and everything left in it. Never
// follows a link (a link inside is removed as a link; a link given as the
// path is removed itself), never leaves the tree, makes folders writable as
// it goes so read-only ones do not block it. True when the path no longer
// exists afterwards.
bool ShellDeleteTree(const std::string& path);

// ---------------------------------------------------------------- durability

// fsync of one file (opened read-only) / of a directory. False with errno set
// when it fails.
bool SyncFile(const std::string& path);
bool SyncDirectory(const std::string& path);
// Flushes everything written below the folder to the medium: syncfs of the
// file system that holds it, then fsync of the folder and of its parent.
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
