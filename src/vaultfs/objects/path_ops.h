// Operations on objects named by a path: resolution from the root with
// symbolic links, creation, deletion, moves, times, attributes, tags, links,
// file handles by path and change notifications.
//
// Naming. Every path-level function of the engine's flat interface has one
// engine function here: StorageXxx becomes PathXxx, taking the ObjectStore of
// the open volume first and then the entry function's own arguments in the
// same order. Out values are references, a caller buffer is a pointer with an
// in/out length, passwords are byte spans (empty = none). So
// StorageCreateDirectory(handle, path) is PathCreateDirectory(store, path) and
// StorageGetFileTag(handle, path, id, buffer, size) is
// PathGetFileTag(store, path, id, buffer, size).
//
// Every operation is self-contained: a write operation runs in a transaction
// of its own, a query in a read-only transaction; the transaction is committed
// on success and rolled back on failure, and every lock and reference taken is
// given back, except those an open handle or a notification keeps. Operations
// that only touch one object (times, tags) use that object's private
// transaction: the open handle's when there is one, else one begun and
// committed here.
//
// Paths. Components are separated by the volume's PathSeparator, '/', '\' or
// ':'; runs of separators count as one; a path always starts at the root and a
// trailing separator is ignored; the empty path names the root. "." and ".."
// are ordinary names except inside the target of a symbolic link.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vaultfs/engine_types.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/storage_time.h"

namespace vaultfs {

// A resolution that expands more links than this is taken for a loop.
inline constexpr std::uint32_t kMaxLinkExpansions = 32;

// ---- resolution ----

struct ResolvedPath {
  // Plain resolution: the object named. Parent resolution: the directory that
  // holds (or would hold) the last component. Locked, and referenced together
  // with every ancestor; give it back with ReleaseChain(*Object, true).
  FileObject* Object = nullptr;
  // The last component and the path up to and including the separator before
  // it, after link expansion (parent resolution, or plain resolution asked
  // for names).
  std::u16string LastComponent;
  std::u16string DirectoryPath;
  std::uint32_t Expansions = 0;
};

// Resolutions give what a walk from the root gives, but a path that shares
// leading components with a directory resolved lately is walked from there,
// so a deep tree worked on path by path does not cost a lookup per level per
// call.
//
// Plain resolution. Links before the last component are always followed, the
// last one only with `followFinalLink`. With `wantNames` the last component
// and directory path are filled too, and the root path (which has neither)
// fails. Missing components give errFileNotFound, or errLinkTargetNotFound
// once a link was expanded.
[[nodiscard]] EngineResult ResolvePath(ObjectStore& store, std::u16string_view path,
                                       bool followFinalLink, Transaction* t, ResolvedPath& result,
                                       bool wantNames = false);
// Parent resolution: the last component may be missing, a missing directory
// component is errPathNotFound (errLinkTargetNotFound after a link), and a
// directory part that names something other than a directory is
// errPathNotFound as well.
[[nodiscard]] EngineResult ResolveParent(ObjectStore& store, std::u16string_view path,
                                         Transaction* t, ResolvedPath& result);

// Gives back one reference of the object and of each ancestor up to the root,
// locking each in turn (the object itself is taken as locked when told so).
// A file or link whose last reference goes is dropped from memory when
// nothing else holds it (ObjectStore::DropIfIdle), under its directory's
// lock; `member`, from IdleCandidate, is such a member of `object` let go
// just before.
void ReleaseChain(FileObject& object, bool alreadyLocked, EntryRef member = nullptr);
// The entry of a locked object about to give back what may be its last
// reference, when it could then be dropped; none otherwise.
EntryRef IdleCandidate(const FileObject& object);

// The target of a symbolic link (errNotSymbolicLink for anything else), read
// once and then kept in the object.
[[nodiscard]] EngineResult ReadLinkTarget(FileObject& object, Transaction* t,
                                          std::u16string& target);

// ---- change notifications ----


struct NotificationRegistration {
  ObjectStore* Store = nullptr;
  FileObject* Object = nullptr;  // referenced with its chain while registered
  std::uint32_t ObjectId = 0;
  std::uint32_t Filter = 0;
  void* UserData = nullptr;
  NotificationCallback Callback = nullptr;
  bool WatchSubtree = false;
};

// Raises a change event for `object` now (for changes made outside the
// operations here, such as data written through a handle, cnDataChanged).
void NotifyChange(FileObject& object, std::uint32_t flags, std::u16string_view path);

[[nodiscard]] EngineResult PathRegisterNotification(ObjectStore& store, std::u16string_view path,
                                                    bool watchSubtree, std::uint32_t filter,
                                                    void* userData, NotificationCallback callback,
                                                    NotificationHandle& handle);
// Always 0 for a registration made by PathRegisterNotification.
[[nodiscard]] EngineResult PathUnregisterNotification(NotificationHandle handle);
// Ends every registration of the volume; for closing it (registrations keep
// objects referenced, and nothing may stay listed for a store that goes away).
void UnregisterAllNotifications(ObjectStore& store);

// ---- namespace operations ----

[[nodiscard]] EngineResult PathFileExists(ObjectStore& store, std::u16string_view path,
                                          bool& exists);
[[nodiscard]] EngineResult PathCreateDirectory(ObjectStore& store, std::u16string_view path);
// Creates every missing directory along the path; existing ones are fine.
[[nodiscard]] EngineResult PathForceCreateDirectories(ObjectStore& store, std::u16string_view path);
// `empty` is also true when the path does not resolve (the error is returned).
[[nodiscard]] EngineResult PathIsDirectoryEmpty(ObjectStore& store, std::u16string_view path,
                                                bool& empty);
// Deletes a file, a link or an empty directory (errDirectoryNotEmpty
// otherwise); errSharingViolation while anyone else uses the object.
[[nodiscard]] EngineResult DeleteAtPath(ObjectStore& store, std::u16string_view path);
[[nodiscard]] EngineResult PathDeleteFile(ObjectStore& store, std::u16string_view path);
[[nodiscard]] EngineResult PathRemoveDirectory(ObjectStore& store, std::u16string_view path);
// Renames within a directory or moves to another one, carrying the object's
// pages, name chain and open users along. An existing object at the new path
// is errAlreadyExists, or with `replace` deleted first (a directory with all
// it holds). A directory cannot be moved into itself or below itself
// (errInvalidParameter).
[[nodiscard]] EngineResult MoveAtPath(ObjectStore& store, std::u16string_view oldPath,
                                      std::u16string_view newPath, bool replace);
[[nodiscard]] EngineResult PathMoveFile(ObjectStore& store, std::u16string_view oldPath,
                                        std::u16string_view newPath);
[[nodiscard]] EngineResult PathMoveFileReplace(ObjectStore& store, std::u16string_view oldPath,
                                               std::u16string_view newPath);

// ---- times (UTC StorageTime) ----

[[nodiscard]] EngineResult PathGetFileCreationTime(ObjectStore& store, std::u16string_view path,
                                                   StorageTime& time);
[[nodiscard]] EngineResult PathGetFileModificationTime(ObjectStore& store, std::u16string_view path,
                                                       StorageTime& time);
[[nodiscard]] EngineResult PathGetFileLastAccessTime(ObjectStore& store, std::u16string_view path,
                                                     StorageTime& time);
[[nodiscard]] EngineResult PathGetFileTimes(ObjectStore& store, std::u16string_view path,
                                            StorageTime& created, StorageTime& modified,
                                            StorageTime& accessed);
[[nodiscard]] EngineResult PathSetFileCreationTime(ObjectStore& store, std::u16string_view path,
                                                   StorageTime time);
[[nodiscard]] EngineResult PathSetFileModificationTime(ObjectStore& store, std::u16string_view path,
                                                       StorageTime time);
[[nodiscard]] EngineResult PathSetFileLastAccessTime(ObjectStore& store, std::u16string_view path,
                                                     StorageTime time);
[[nodiscard]] EngineResult PathSetFileTimes(ObjectStore& store, std::u16string_view path,
                                            StorageTime created, StorageTime modified,
                                            StorageTime accessed);

// ---- attributes, encryption, compression ----

[[nodiscard]] EngineResult PathGetFileAttributes(ObjectStore& store, std::u16string_view path,
                                                 std::uint32_t& attributes);
// Only the caller's bits may change: the value must carry the object's
// current bits of kEngineAttributeMask unchanged (errInvalidParameter).
[[nodiscard]] EngineResult PathSetFileAttributes(ObjectStore& store, std::u16string_view path,
                                                 std::uint32_t attributes);
[[nodiscard]] EngineResult PathGetFileEncryption(ObjectStore& store, std::u16string_view path,
                                                 std::uint32_t& mode);
[[nodiscard]] EngineResult PathSetFileEncryption(ObjectStore& store, std::u16string_view path,
                                                 std::uint32_t mode,
                                                 std::span<const std::uint8_t> oldPassword,
                                                 std::span<const std::uint8_t> newPassword);
[[nodiscard]] EngineResult PathCheckFilePassword(ObjectStore& store, std::u16string_view path,
                                                 std::uint32_t mode, bool anyMode,
                                                 std::span<const std::uint8_t> password,
                                                 bool& valid);
[[nodiscard]] EngineResult PathSupplyFilePassword(ObjectStore& store, std::u16string_view path,
                                                  std::span<const std::uint8_t> password);
[[nodiscard]] EngineResult PathGetFileCompression(ObjectStore& store, std::u16string_view path,
                                                  std::uint32_t& mode, std::uint32_t& level,
                                                  std::uint32_t& blockPages);
// On the root path this also sets or clears the volume-wide compressed flag.
// An encrypted file's data is recoded with its password.
[[nodiscard]] EngineResult PathSetFileCompression(ObjectStore& store, std::u16string_view path,
                                                  std::uint32_t mode, std::uint32_t level,
                                                  std::uint16_t blockPages,
                                                  std::span<const std::uint8_t> password);

// ---- tags: caller records of kind kFirstTagKind..kLastTagKind ----

[[nodiscard]] EngineResult PathSetFileTag(ObjectStore& store, std::u16string_view path,
                                          std::uint16_t tagId, const std::uint8_t* data,
                                          std::uint32_t size);
// A missing tag is present = false with result 0.
[[nodiscard]] EngineResult PathGetFileTagSize(ObjectStore& store, std::u16string_view path,
                                              std::uint16_t tagId, bool& present,
                                              std::uint32_t& size);
// `size` holds the buffer's size and returns the tag's size; a smaller buffer
// is errBufferTooSmall. A missing tag is errTagNotFound.
[[nodiscard]] EngineResult PathGetFileTag(ObjectStore& store, std::u16string_view path,
                                          std::uint16_t tagId, std::uint8_t* buffer,
                                          std::uint32_t& size);
[[nodiscard]] EngineResult PathDeleteFileTag(ObjectStore& store, std::u16string_view path,
                                             std::uint16_t tagId);

// ---- symbolic links ----

// Creates a link, or gives an existing link a new target (an existing object
// that is not a link is errAlreadyExists).
[[nodiscard]] EngineResult PathCreateLink(ObjectStore& store, std::u16string_view path,
                                          std::u16string_view target);
// `length` holds the buffer's size in bytes and returns the bytes needed for
// the target and its terminating zero; no buffer or a short one is
// errBufferTooSmall.
[[nodiscard]] EngineResult PathGetLinkDestination(ObjectStore& store, std::u16string_view path,
                                                  char16_t* buffer, std::uint32_t& length);
// The engine's own zero-terminated copy of the target, valid while the link's
// object stays loaded and its target unchanged.
[[nodiscard]] EngineResult PathGetLinkDestinationRef(ObjectStore& store, std::u16string_view path,
                                                     const char16_t*& target);
// The path with every link followed, the last one included. `length` holds the
// buffer's size in code units and returns the units needed with the
// terminating zero; a short buffer is errBufferTooSmall.
[[nodiscard]] EngineResult PathResolveLink(ObjectStore& store, std::u16string_view path,
                                           char16_t* buffer, std::uint32_t& length);

// ---- files by path ----

// Creates a file (attrFile, with attrEncrypted / attrCompressed when a cipher
// or compression mode is given) and opens a handle on it; with `openExisting`
// an existing file is opened instead. The handle keeps the file and its
// ancestors referenced until CloseHandle(handle, true).
[[nodiscard]] EngineResult PathCreateFile(ObjectStore& store, std::u16string_view path, bool read,
                                          bool write, bool denyRead, bool denyWrite,
                                          std::uint32_t cipherMode,
                                          std::span<const std::uint8_t> password,
                                          FileHandle*& handle, bool openExisting, bool truncate,
                                          std::uint32_t tag = 0);
[[nodiscard]] EngineResult PathCreateFileCompressed(
    ObjectStore& store, std::u16string_view path, bool read, bool write, bool denyRead,
    bool denyWrite, std::uint32_t cipherMode, std::span<const std::uint8_t> password,
    std::uint32_t compressionMode, std::uint32_t level, std::uint16_t blockPages,
    FileHandle*& handle, bool openExisting, bool truncate, std::uint32_t tag = 0);
// Opens an existing file (links followed); never creates.
[[nodiscard]] EngineResult PathOpenFile(ObjectStore& store, std::u16string_view path, bool read,
                                        bool write, bool denyRead, bool denyWrite,
                                        std::span<const std::uint8_t> password, FileHandle*& handle,
                                        bool truncate = false, std::uint32_t tag = 0);
// A handle on the root directory's own data stream, with exclusive access.
[[nodiscard]] EngineResult PathOpenRootFile(ObjectStore& store, FileHandle*& handle);

}  // namespace vaultfs
