// The disk side of copying folder trees in and out of a container, on Linux.
//
// Names. Disk names are bytes (UTF-8 as a rule, but any bytes but '/' and
// NUL); container names are UTF-16 without the units the container forbids.
// DiskNameToStorage and StorageNameToDisk map one name at a time so that
// every name a Linux folder can hold comes back byte for byte.
//
// Links. Nothing here follows a symbolic link below the top folder the
// caller names: entries are examined with lstat semantics, files and folders
// are opened relative to their folder's descriptor with O_NOFOLLOW, and new
// files are created with O_EXCL under a temporary name.
//
// Errors. Disk failures raise std::system_error (generic category, the errno)
// whose text names the operation and the path, e.g.
// "open '/home/a/x': Permission denied". A device, FIFO or socket raises
// EFilerError naming it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vaultfs/storage_time.h"

namespace vaultfs {

// ---------------------------------------------------------------- names

// Disk name -> container name: the bytes are decoded losslessly (a byte that
// is not valid UTF-8 becomes U+DC80 + (byte - 0x80)), then every unit the
// container forbids in names (U+0001..U+001F and \ ? * : < > |) becomes
// U+F000 + its code. A name that already holds one of those U+F0xx stand-ins
// keeps it as raw bytes (U+DC80 + byte per UTF-8 byte), so the way back
// cannot mistake it for a forbidden unit.
std::u16string DiskNameToStorage(std::string_view diskName);

// Container name -> disk name: the stand-ins U+F000 + code of a forbidden unit
// become that unit, then the text is encoded back to bytes. U+F02F stays a
// private-use character: no container name can put a '/' into a disk name.
std::string StorageNameToDisk(std::u16string_view storageName);

// False for a name that must never be created on disk from a container
// entry: empty, ".", "..", or holding '/' or NUL.
bool IsSafeDiskName(std::string_view diskName);

// ---------------------------------------------------------------- attributes

// Disk attributes in the values the component's interface uses.
inline constexpr std::uint32_t faReadOnly = 0x01;
inline constexpr std::uint32_t faHidden = 0x02;
inline constexpr std::uint32_t faSystem = 0x04;
inline constexpr std::uint32_t faVolumeId = 0x08;
inline constexpr std::uint32_t faDirectory = 0x10;
inline constexpr std::uint32_t faArchive = 0x20;

// The four container attribute bits that mirror disk attributes.
inline constexpr std::uint32_t kMappedStorageAttributes = 0x3C0;

// read-only 0x1 <-> attrReadOnly 0x40, archive 0x20 <-> attrArchive 0x80,
// hidden 0x2 <-> attrHidden 0x100, system 0x4 <-> attrSystem 0x200; every
// other bit is ignored.
std::uint32_t WindowsToStorageAttributes(std::uint32_t diskAttributes);
std::uint32_t StorageToWindowsAttributes(std::uint32_t storageAttributes);

// A Linux entry's disk attributes: read-only when the owner-write bit is
// clear, hidden when the name starts with '.' (but is not "." or "..").
// Archive and system never.
std::uint32_t DiskAttributes(std::string_view name, mode_t mode);

// ---------------------------------------------------------------- times

// A disk time stamp exactly as the kernel keeps it.
struct DiskTime {
  std::int64_t Seconds = 0;  // since 1970-01-01 00:00 UTC
  std::uint32_t Nanoseconds = 0;
  friend bool operator==(const DiskTime&, const DiskTime&) = default;
};

// Disk time -> container time (UTC days since 1899-12-30).
StorageTime DiskTimeToStorageTime(DiskTime time);
// Container time -> disk time, to the nearest nanosecond the double holds
// (about a microsecond today). False for NaN, infinities and values beyond
// the years 1..9999.
[[nodiscard]] bool StorageTimeToDiskTime(StorageTime time, DiskTime& out);

// ---------------------------------------------------------------- metadata tag

// Every imported file and folder carries this tag: what Linux keeps about it
// that the container's attributes and double-precision times cannot hold.
// Layout (little-endian, 15 bytes):
//   0  u8   version (1)
//   1  u16  permission bits, st_mode & 07777
//   3  i64  modification time, seconds since 1970-01-01 00:00 UTC
//   11 u32  modification time, nanoseconds (below 1,000,000,000)
// A reader takes version 1 and ignores bytes after the fields it knows.
inline constexpr std::uint16_t kPosixMetadataTag = 0x8001;
inline constexpr std::size_t kPosixMetadataSize = 15;
inline constexpr std::uint8_t kPosixMetadataVersion = 1;

struct PosixMetadata {
  std::uint32_t Mode = 0;  // st_mode & 07777
  DiskTime Modified;
};

void EncodePosixMetadata(const PosixMetadata& metadata,
                         std::span<std::uint8_t, kPosixMetadataSize> out);
// False for a short record, another version, or nanoseconds out of range.
[[nodiscard]] bool DecodePosixMetadata(std::span<const std::uint8_t> data, PosixMetadata& out);

// A tag set through a link's path lands on the link's target, so the exact
// modification times of the links in a folder travel in tags of the folder
// instead: one table, cut into pieces of at most the container's largest tag
// and stored under kLinkTimesFirstTag, kLinkTimesFirstTag + 1, ... up to the
// first id that is missing. Layout (little-endian):
//   0  u8   version (1)
//   then per link: u16 name length in units, the name (UTF-16 units),
//                  i64 seconds, u32 nanoseconds.
// The link's own container modification time is set from the same value, so
// a reader can tell a stale entry (the link was replaced by other means) from
// a current one.
inline constexpr std::uint16_t kLinkTimesFirstTag = 0x8100;
inline constexpr std::uint16_t kLinkTimesLastTag = 0x8FFF;
inline constexpr std::uint8_t kLinkTimesVersion = 1;

struct LinkTime {
  std::u16string Name;
  DiskTime Modified;
};

// Names longer than 65535 units are left out (no Linux name comes near it).
std::vector<std::uint8_t> EncodeLinkTimes(const std::vector<LinkTime>& links);
// False for a damaged or unknown table; `out` then holds the entries read
// before the damage.
[[nodiscard]] bool DecodeLinkTimes(std::span<const std::uint8_t> data, std::vector<LinkTime>& out);

// ---------------------------------------------------------------- entries

enum class DiskKind : std::uint8_t { File, Directory, Link, Special };

struct DiskStat {
  DiskKind Kind = DiskKind::File;
  mode_t Mode = 0;         // the whole st_mode
  std::uint64_t Size = 0;  // 0 for anything but a regular file
  DiskTime Modified;
  DiskTime Created;  // the birth time when the file system has one, else Modified
};

struct DiskEntry {
  std::string Name;
  DiskStat Stat;
};

// "FIFO", "socket", "character device", "block device" or "special file".
const char* SpecialKindName(mode_t mode);

// The error for a device, FIFO or socket met at `path`: EFilerError naming it.
[[noreturn]] void RefuseSpecialFile(const std::string& path, mode_t mode);

// std::system_error(error, generic) with "<operation> '<path>'" as its text.
[[noreturn]] void ThrowDiskError(const char* operation, const std::string& path, int error);

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();
  // Closes and reports the result of close() (0 or an errno).
  int Close();

 private:
  int fd_ = -1;
};

// An open folder: its descriptor and its path (ending in '/') for messages
// and for names handed to the caller's events.
struct DiskFolder {
  UniqueFd Fd;
  std::string Path;
};

// The folder the caller names; links in this path are followed (it is the
// caller's own choice of folder).
DiskFolder OpenDiskFolder(const std::string& path);
// A subfolder, never through a link (a link in its place fails with ELOOP or
// ENOTDIR). With `create`, a missing subfolder is made first with `mode`
// (less the umask).
DiskFolder OpenDiskSubfolder(const DiskFolder& parent, const std::string& name, bool create,
                             mode_t mode = 0777);

// What tells an open folder from any other: opening it again by another way
// (through "..") must lead to the same device and inode.
struct DiskFolderId {
  dev_t Device = 0;
  ino_t Inode = 0;
  friend bool operator==(const DiskFolderId&, const DiskFolderId&) = default;
};
DiskFolderId IdentifyDiskFolder(const DiskFolder& folder);

// The folder above `child`, opened through its ".." entry, so that climbing
// back up a deep tree costs one call a level and no path is resolved from
// the top. `path` is the parent's path for messages (ending in '/'). The
// folder must still be `expected`: one that was moved or replaced meanwhile
// fails with ESTALE rather than lead the caller somewhere else.
DiskFolder OpenDiskParentFolder(const DiskFolder& child, std::string path, DiskFolderId expected);

// Room on the file system that holds `path`, or its nearest existing parent
// when `path` does not exist yet (links in the path are followed: this is
// the caller's own folder).
struct DiskSpace {
  // Bytes the caller may still write there (blocks available to unprivileged
  // users).
  std::uint64_t Available = 0;
  // The largest file the file system can hold, when it says; else the
  // largest value.
  std::uint64_t MaxFileSize = ~std::uint64_t{0};
};
DiskSpace DiskSpaceAt(const std::string& path);

// Creates the folder `path` and every missing parent; a trailing '/' is
// ignored. Links in the path are followed: this is for the caller's top
// folder. Returns whether `path` is a folder afterwards.
bool ForceDiskDirectories(const std::string& path);

// The entries of a folder, "." and ".." left out, sorted by name bytes,
// examined without following links. An entry that disappears while the
// folder is read is left out.
std::vector<DiskEntry> ListDiskFolder(const DiskFolder& folder);

// One entry of a folder without following it; false when it does not exist.
[[nodiscard]] bool StatDiskEntry(const DiskFolder& folder, const std::string& name, DiskStat& out);
// The open folder itself.
DiskStat StatDiskFolder(const DiskFolder& folder);

// Opens a regular file for reading, never through a link. Anything that is
// not a regular file by now is refused (a device, FIFO or socket with
// EFilerError, others with a system error), without blocking on a FIFO.
UniqueFd OpenDiskFileForReading(const DiskFolder& folder, const std::string& name);
// Fills `buffer` as far as the file goes; returns the bytes read.
std::size_t ReadDiskFile(int fd, std::span<std::uint8_t> buffer, const std::string& path);
// The target of a link, as bytes.
std::string ReadDiskLink(const DiskFolder& folder, const std::string& name);

// Permission bits (07777) and the modification time (atime set to it too).
void SetDiskFolderMode(const DiskFolder& folder, mode_t mode);
void SetDiskFolderTimes(const DiskFolder& folder, DiskTime modified);
// Adds the owner's write and search bits to a folder that lacks the write
// bit, so that it can be filled; returns whether it changed anything.
bool MakeDiskFolderWritable(const DiskFolder& folder);

// The process's file-mode creation mask, read without changing it.
mode_t CurrentUmask();

// A new file or link written under a temporary name in its folder and renamed
// over `name` only by Commit; abandoned (destroyed without Commit) it is
// removed, so an existing file of that name stays as it was until the new one
// is complete. The folder must outlive the object.
class DiskReplacement {
 public:
  DiskReplacement(const DiskFolder& folder, std::string name);
  ~DiskReplacement();
  DiskReplacement(const DiskReplacement&) = delete;
  DiskReplacement& operator=(const DiskReplacement&) = delete;

  // A new empty file, mode 0600 while it is written.
  void CreateFile();
  // Writes at the current position and moves it on.
  void Write(std::span<const std::uint8_t> data);
  // Moves the position on by `count` bytes without writing them: they read
  // as zeros and, where the file system keeps holes, take no space. Commit
  // makes the file end at the position even when it ends in a hole.
  void Skip(std::uint64_t count);
  // A new link holding `target`.
  void CreateLink(const std::string& target);
  // Permission bits of the file (links have none to set).
  void SetMode(mode_t mode);
  // Modification time (atime set to it too); links keep their own.
  void SetTimes(DiskTime modified);
  // Sets the file's size to the position reached, closes it (a failing
  // close raises) and renames it over `name`.
  void Commit();

  const std::string& TargetPath() const { return targetPath_; }

 private:
  // Makes the file end at the position reached (it may end in a hole).
  void SettleSize();

  const DiskFolder& folder_;
  std::string name_;
  std::string targetPath_;
  std::string temporary_;  // empty until something was created
  UniqueFd fd_;
  std::uint64_t position_ = 0;  // where the next Write lands
  std::uint64_t end_ = 0;       // the end of what Write put into the file
  bool isLink_ = false;
  bool committed_ = false;
};

}  // namespace vaultfs
