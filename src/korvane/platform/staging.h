// Things the workflows make beside the person's data: a new container, a
// folder being restored, an old folder on its way out. Each is made under a
// hidden temporary name in the folder of its final name, never through a
// link and never over something that is already there, held locked while
// this process works on it, and moved to its final name in one rename only
// once it is complete. A run killed half-way leaves nothing under a real
// name: only a temporary entry, which the next run for the same name removes
// (it can tell a leftover from the work of a running process by the lock).
//
// Temporary names: "." + the final name (cut to 200 bytes) + ".korvane-" +
// a kind + "-" + six random characters, for example
// ".Photos._zkvlk.korvane-partial-Xq3f9a".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::platform {

// Identity of a directory entry (lstat, links not followed).
struct EntryIdentity {
  dev_t Device = 0;
  ino_t Inode = 0;
  mode_t Mode = 0;
  bool Exists = false;
  friend bool operator==(const EntryIdentity&, const EntryIdentity&) = default;
};
EntryIdentity IdentityOf(const std::string& path);

// What a staged entry is for; part of its name.
enum class StagedKind { skContainer, skRestore, skReplaced };

// A temporary file or folder beside `finalPath`, locked by this process.
// Destroyed without Commit (or after a failed one) it is removed again.
class StagedEntry {
 public:
  StagedEntry() = default;
  ~StagedEntry();
  StagedEntry(StagedEntry&& other) noexcept;
  StagedEntry& operator=(StagedEntry&& other) noexcept;
  StagedEntry(const StagedEntry&) = delete;
  StagedEntry& operator=(const StagedEntry&) = delete;

  // A new file (mode 0600) under a name that nothing held, made with
  // O_CREAT|O_EXCL|O_NOFOLLOW and locked. The engine then creates its
  // container over it, which it does without following a link.
  static StagedEntry NewFile(const std::string& finalPath, StagedKind kind);
  // A new empty folder (mode 0700), made with mkdir, which never follows a
  // link and fails on any existing entry, and locked.
  static StagedEntry NewFolder(const std::string& finalPath, StagedKind kind);

  const std::string& Path() const { return path_; }
  bool Active() const { return !path_.empty(); }
  // The entry as made (device and inode); the entry at Path() must still be
  // this one for Commit to go ahead.
  const EntryIdentity& Identity() const { return identity_; }

  // Moves the entry to `finalPath`. Nothing may stand there, unless it is
  // exactly `replaceable` (an entry the person agreed to replace, identified
  // when they agreed; a default identity replaces nothing). Raises
  // std::system_error with a clear text when the rename cannot be done; the
  // staged entry then stays (and goes with this object).
  void Commit(const std::string& finalPath, const EntryIdentity& replaceable = {});

  // Puts the staged folder at `finalPath` in place of `existing` (the entry
  // the person agreed to replace, identified when they agreed) in one step,
  // so that the name always holds one of the two. Returns where the old
  // entry is now (a staged name beside it), for the caller to remove.
  // Raises std::system_error when `finalPath` no longer holds `existing` or
  // the exchange fails; the old entry then stays where it was.
  std::string CommitReplacing(const std::string& finalPath, const EntryIdentity& existing);

  // Removes the entry now (a folder with everything in it, never following
  // a link or crossing a mount point). True when it is gone.
  bool Remove();
  // Forgets the entry without removing it (it was renamed by the caller).
  void Release();

 private:
  std::string path_;
  EntryIdentity identity_;
  int lockFd_ = -1;
  bool isFolder_ = false;
};

// Swaps two directory entries in one step (renameat2 RENAME_EXCHANGE).
// Raises std::system_error when the file system cannot.
void ExchangeEntries(const std::string& a, const std::string& b);

// Removes leftovers of runs that were killed while working on `finalPath`:
// staged entries of that name that no running process holds locked.
// Returns how many were removed.
std::size_t RemoveStaleStagedEntries(const std::string& finalPath);

// True when `name` could be a staged name of `finalName` (for tests and
// listings).
bool IsStagedNameOf(std::string_view name, std::string_view finalName);

// Whether the folder (the entry itself, a link is not followed) is the
// directory that holds `path`, or one of its ancestors: restoring or
// protecting it would reach the container itself.
bool FolderHoldsPath(const std::string& folder, const std::string& path);

}  // namespace korvane::platform
