// The engine's flat interface: plain functions over opaque handles that
// return an EngineResult and never throw. The storage component and the
// storage stream call nothing else of the engine.
//
// Conventions. Every function that takes a StorageHandle or a FileHandle
// answers errInvalidParameter for a null one before anything else. Strings
// are UTF-16; a password is a byte pointer plus a length in bytes (null or 0
// means none). 64-bit sizes and offsets are passed as one 64-bit value. Times
// are StorageTime values in UTC. Out values are references (or pointers where
// the caller may pass null).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "vaultfs/engine_types.h"
#include "vaultfs/host_file.h"
#include "vaultfs/result_codes.h"
#include "vaultfs/storage_time.h"

namespace vaultfs {

inline constexpr std::uint32_t EngineVersion = 0x03000000;

// One open container: its Volume, object store and registered callbacks.
struct StorageContext;
using StorageHandle = StorageContext*;
// FileHandle (an open file), SearchRecord and NotificationHandle are the
// object layer's own types.

// Progress reports: operation code (TProgressOperation), progress, total,
// whether the receiver may stop, and its answer.
using ProgressCallback = void (*)(void* userData, std::uint8_t operation, std::uint32_t progress,
                                  std::uint32_t total, bool canStop, bool& stop);
// Asked before each automatic compaction; answer false to skip it.
using AutoCompactConfirmCallback = bool (*)(void* userData, std::uint32_t freePages,
                                            std::uint32_t totalPages);

// ---- storage handle life cycle ----

// On failure `handle` is left null and nothing stays allocated or open.
[[nodiscard]] EngineResult StorageCreate(std::u16string_view fileName, bool overwrite,
                                         std::uint32_t pageSize, std::u16string_view logo,
                                         StorageHandle& handle, char16_t pathSeparator,
                                         bool useTransactions, bool useAccessTime);
// `readOnly` is accepted and ignored (a new container is always writable).
[[nodiscard]] EngineResult StorageCreateCB(std::u16string_view fileName, bool overwrite,
                                           std::uint32_t pageSize, std::u16string_view logo,
                                           StorageHandle& handle, char16_t pathSeparator,
                                           bool useTransactions, bool useAccessTime, bool readOnly,
                                           void* userData, const HostFileCallbacks& callbacks);
[[nodiscard]] EngineResult StorageOpen(std::u16string_view fileName, StorageHandle& handle,
                                       char16_t pathSeparator, bool useTransactions,
                                       bool useAccessTime);
[[nodiscard]] EngineResult StorageOpenReadOnly(std::u16string_view fileName, StorageHandle& handle,
                                               char16_t pathSeparator, bool useTransactions,
                                               bool useAccessTime);
[[nodiscard]] EngineResult StorageOpenCB(std::u16string_view fileName, StorageHandle& handle,
                                         char16_t pathSeparator, bool useTransactions,
                                         bool useAccessTime, bool readOnly, void* userData,
                                         const HostFileCallbacks& callbacks);
// Closes the container and frees the handle (also after a failed close).
[[nodiscard]] EngineResult StorageClose(StorageHandle handle);
[[nodiscard]] EngineResult StorageReopenFile(StorageHandle handle, std::u16string_view fileName);
// The callbacks the handle was created with stay in use; those passed here
// are not taken over.
[[nodiscard]] EngineResult StorageReopenFileCB(StorageHandle handle, std::u16string_view fileName,
                                               void* userData, const HostFileCallbacks& callbacks);
[[nodiscard]] EngineResult StorageSetCryptCallbacks(
    StorageHandle handle, void* userData, CustomCipherCallbacks::HashCalculateEvent hashCalculate,
    CustomCipherCallbacks::HashValidateEvent hashValidate, CustomCipherCallbacks::DataEvent encrypt,
    CustomCipherCallbacks::DataEvent decrypt);
[[nodiscard]] EngineResult StorageSetCompressCallbacks(
    StorageHandle handle, void* userData, CustomCodecCallbacks::CompressProc compress,
    CustomCodecCallbacks::DecompressProc decompress);

// ---- whole-container functions (closed containers) ----

// 0: a container; errInvalidStorageFile: not one; other codes: reading failed.
[[nodiscard]] EngineResult StorageIsValid(std::u16string_view fileName);
[[nodiscard]] EngineResult StorageIsValidCB(std::u16string_view fileName, void* userData,
                                            const HostFileCallbacks& callbacks);
// The logo (62 units) is copied with a terminating zero; a non-null buffer
// shorter than 64 units is errInvalidParameter; a null one is skipped.
[[nodiscard]] EngineResult StorageGetInfo(std::u16string_view fileName, bool& corrupted,
                                          std::uint32_t& volumeId, std::uint32_t& pageSize,
                                          char16_t* logo, std::uint32_t logoLength);
[[nodiscard]] EngineResult StorageGetInfoCB(std::u16string_view fileName, bool& corrupted,
                                            std::uint32_t& volumeId, std::uint32_t& pageSize,
                                            char16_t* logo, std::uint32_t logoLength,
                                            void* userData, const HostFileCallbacks& callbacks);
[[nodiscard]] EngineResult StorageFormat(std::u16string_view fileName, std::uint64_t size,
                                         std::uint32_t pageSize, std::u16string_view logo,
                                         std::uint32_t flags, void* progressUserData,
                                         ProgressCallback progress);
[[nodiscard]] EngineResult StorageFormatCB(std::u16string_view fileName, std::uint64_t size,
                                           std::uint32_t pageSize, std::u16string_view logo,
                                           std::uint32_t flags, void* progressUserData,
                                           ProgressCallback progress, void* userData,
                                           const HostFileCallbacks& callbacks);
// Flag bit 0: check only; bit 1: examine every page. A password (non-null,
// more than 0 bytes) is checked first; a wrong one is errInvalidPassword.
[[nodiscard]] EngineResult StorageCheckAndRepair(std::u16string_view fileName,
                                                 std::uint32_t pageSize, std::uint32_t flags,
                                                 const void* password, std::uint32_t passwordBytes,
                                                 void* progressUserData, ProgressCallback progress);
// StorageCheckAndRepair that also tells what was found (and, unless only
// checking, mended); a sound container reports nothing.
[[nodiscard]] EngineResult StorageCheckAndRepairReport(
    std::u16string_view fileName, std::uint32_t pageSize, std::uint32_t flags, const void* password,
    std::uint32_t passwordBytes, void* progressUserData, ProgressCallback progress,
    CheckReport& report);
[[nodiscard]] EngineResult StorageCheckAndRepairCB(
    std::u16string_view fileName, std::uint32_t pageSize, std::uint32_t flags, const void* password,
    std::uint32_t passwordBytes, void* progressUserData, ProgressCallback progress, void* userData,
    const HostFileCallbacks& callbacks);
[[nodiscard]] EngineResult StorageCheckAndRepairEx(
    std::u16string_view fileName, std::uint32_t pageSize, std::uint32_t flags, const void* password,
    std::uint32_t passwordBytes, void* progressUserData, ProgressCallback progress,
    bool useHostFileCallbacks, void* userData, const HostFileCallbacks& callbacks,
    void* cryptUserData, CustomCipherCallbacks::HashCalculateEvent hashCalculate,
    CustomCipherCallbacks::HashValidateEvent hashValidate, CustomCipherCallbacks::DataEvent encrypt,
    CustomCipherCallbacks::DataEvent decrypt, void* compressUserData,
    CustomCodecCallbacks::CompressProc compress, CustomCodecCallbacks::DecompressProc decompress);
// Always EngineVersion, result 0.
[[nodiscard]] EngineResult StorageGetVersion(std::uint32_t& version);
// The figures of a container's volume (see VolumeFigures), read with the
// file opened read-only and without the directory tree: neither a storage
// password nor a sound root is needed, and nothing is written. The result is
// that of opening the file and reading the figures; `closed` is that of
// closing it once every figure was read (0 when the reading failed), apart so
// that a caller can still show what it read.
[[nodiscard]] EngineResult StorageGetVolumeFigures(std::u16string_view fileName,
                                                   VolumeFigures& figures, EngineResult& closed);

// ---- settings and state of an open container ----

[[nodiscard]] EngineResult StorageSetCaseSensitive(StorageHandle handle, bool value);
[[nodiscard]] EngineResult StorageGetCaseSensitive(StorageHandle handle, bool& value);
// The three setters below are refused with errStorageActive on an open handle.
[[nodiscard]] EngineResult StorageSetPathSeparator(StorageHandle handle, char16_t value);
[[nodiscard]] EngineResult StorageGetPathSeparator(StorageHandle handle, char16_t& value);
[[nodiscard]] EngineResult StorageSetUseTransactions(StorageHandle handle, bool value);
[[nodiscard]] EngineResult StorageGetUseTransactions(StorageHandle handle, bool& value);
// Write-behind, on an open handle while transactions are off: a commit's
// pages, the space map and the volume information stay in memory and are
// written when the cache trims them, at StorageFlush and at the close, each
// once however many commits changed it. For a container nobody trusts before
// it was closed without error (one being filled): a crash before the close
// leaves it unusable. Turning it off writes what waits; the close ends it.
// Not while other threads work in the container.
[[nodiscard]] EngineResult StorageSetWriteBehind(StorageHandle handle, bool value);
[[nodiscard]] EngineResult StorageSetUseAccessTime(StorageHandle handle, bool value);
[[nodiscard]] EngineResult StorageGetUseAccessTime(StorageHandle handle, bool& value);
[[nodiscard]] EngineResult StorageSetAutoCompact(StorageHandle handle, std::uint32_t percent);
[[nodiscard]] EngineResult StorageGetAutoCompact(StorageHandle handle, std::uint32_t& percent);
[[nodiscard]] EngineResult StorageSetAutoCompactCallback(StorageHandle handle,
                                                         std::uint32_t percent, void* userData,
                                                         AutoCompactConfirmCallback confirm);
// 0 is errInvalidParameter and keeps the old value.
[[nodiscard]] EngineResult StorageSetBuffering(StorageHandle handle, std::uint16_t value);
[[nodiscard]] EngineResult StorageGetBuffering(StorageHandle handle, std::uint16_t& value);
[[nodiscard]] EngineResult StorageGetReadOnly(StorageHandle handle, bool& readOnly);
// `logo` points at the handle's own zero-terminated copy (at most 62 units),
// valid until the next call on the handle that changes the logo.
[[nodiscard]] EngineResult StorageGetPageSizeAndLogo(StorageHandle handle, std::uint32_t& pageSize,
                                                     const char16_t*& logo);
// An empty logo stores the default logo text.
[[nodiscard]] EngineResult StorageSetLogo(StorageHandle handle, std::u16string_view logo);
[[nodiscard]] EngineResult StorageGetFixedSize(StorageHandle handle, bool& fixedSize);
// Each out pointer may be null.
[[nodiscard]] EngineResult StorageGetSizes(StorageHandle handle, bool* fixedSize,
                                           std::uint64_t* size, std::uint64_t* freeSpace);
[[nodiscard]] EngineResult StorageGetMaxPageCount(StorageHandle handle, std::uint32_t& pages);
// A value below the pages in use (0 included) is errInvalidParameter.
[[nodiscard]] EngineResult StorageSetMaxPageCount(StorageHandle handle, std::uint32_t pages);
[[nodiscard]] EngineResult StorageSetSize(StorageHandle handle, std::uint64_t size,
                                          void* progressUserData, ProgressCallback progress);
[[nodiscard]] EngineResult StorageGetCorrupted(StorageHandle handle, bool& corrupted);
[[nodiscard]] EngineResult StorageGetVolumeId(StorageHandle handle, std::uint32_t& volumeId);
[[nodiscard]] EngineResult StorageCheckInfoPages(StorageHandle handle, bool& mismatch);
[[nodiscard]] EngineResult StorageGetLastAccessTime(StorageHandle handle, StorageTime& time);
[[nodiscard]] EngineResult StorageGetLastModificationTime(StorageHandle handle, StorageTime& time);
// While a transaction is active nothing is done: completed false, result 0.
[[nodiscard]] EngineResult StorageCompact(StorageHandle handle, bool& completed);
[[nodiscard]] EngineResult StorageFlush(StorageHandle handle);
[[nodiscard]] EngineResult StorageGetEncryption(StorageHandle handle, std::uint32_t& mode);
[[nodiscard]] EngineResult StorageSupplyPassword(StorageHandle handle, const void* password,
                                                 std::uint32_t bytes);
[[nodiscard]] EngineResult StorageCheckPassword(StorageHandle handle, const void* password,
                                                std::uint32_t bytes, bool& valid,
                                                std::uint32_t& mode);
[[nodiscard]] EngineResult StorageSetEncryption(StorageHandle handle, std::uint32_t mode,
                                                const void* oldPassword, std::uint32_t oldBytes,
                                                const void* newPassword, std::uint32_t newBytes);
[[nodiscard]] EngineResult StorageSetEncryptionWithProgress(
    StorageHandle handle, std::uint32_t mode, const void* oldPassword, std::uint32_t oldBytes,
    const void* newPassword, std::uint32_t newBytes, void* progressUserData,
    ProgressCallback progress);

// ---- path-level functions ----

// errFileNotFound is "does not exist" with result 0.
[[nodiscard]] EngineResult StorageFileExists(StorageHandle handle, std::u16string_view path,
                                             bool& exists);
[[nodiscard]] EngineResult StorageCreateDirectory(StorageHandle handle, std::u16string_view path);
// Creates every missing directory along the path; existing ones count as success.
[[nodiscard]] EngineResult StorageForceCreateDirectories(StorageHandle handle,
                                                         std::u16string_view path);
[[nodiscard]] EngineResult StorageRemoveDirectory(StorageHandle handle, std::u16string_view path);
[[nodiscard]] EngineResult StorageIsDirectoryEmpty(StorageHandle handle, std::u16string_view path,
                                                   bool& empty);
[[nodiscard]] EngineResult StorageDeleteFile(StorageHandle handle, std::u16string_view path);
[[nodiscard]] EngineResult StorageMoveFile(StorageHandle handle, std::u16string_view path,
                                           std::u16string_view newPath);
[[nodiscard]] EngineResult StorageMoveFileReplace(StorageHandle handle, std::u16string_view path,
                                                  std::u16string_view newPath);
[[nodiscard]] EngineResult StorageGetFileCreationTime(StorageHandle handle,
                                                      std::u16string_view path, StorageTime& time);
[[nodiscard]] EngineResult StorageSetFileCreationTime(StorageHandle handle,
                                                      std::u16string_view path, StorageTime time);
[[nodiscard]] EngineResult StorageGetFileModificationTime(StorageHandle handle,
                                                          std::u16string_view path,
                                                          StorageTime& time);
[[nodiscard]] EngineResult StorageSetFileModificationTime(StorageHandle handle,
                                                          std::u16string_view path,
                                                          StorageTime time);
[[nodiscard]] EngineResult StorageGetFileLastAccessTime(StorageHandle handle,
                                                        std::u16string_view path,
                                                        StorageTime& time);
[[nodiscard]] EngineResult StorageSetFileLastAccessTime(StorageHandle handle,
                                                        std::u16string_view path, StorageTime time);
[[nodiscard]] EngineResult StorageGetFileTimes(StorageHandle handle, std::u16string_view path,
                                               StorageTime& created, StorageTime& modified,
                                               StorageTime& accessed);
[[nodiscard]] EngineResult StorageSetFileTimes(StorageHandle handle, std::u16string_view path,
                                               StorageTime created, StorageTime modified,
                                               StorageTime accessed);
[[nodiscard]] EngineResult StorageGetFileAttributes(StorageHandle handle, std::u16string_view path,
                                                    std::uint32_t& attributes);
[[nodiscard]] EngineResult StorageSetFileAttributes(StorageHandle handle, std::u16string_view path,
                                                    std::uint32_t attributes);
[[nodiscard]] EngineResult StorageGetFileEncryption(StorageHandle handle, std::u16string_view path,
                                                    std::uint32_t& mode);
[[nodiscard]] EngineResult StorageSetFileEncryption(StorageHandle handle, std::u16string_view path,
                                                    std::uint32_t mode, const void* oldPassword,
                                                    std::uint32_t oldBytes, const void* newPassword,
                                                    std::uint32_t newBytes);
[[nodiscard]] EngineResult StorageCheckFilePassword(StorageHandle handle, std::u16string_view path,
                                                    std::uint32_t mode, bool anyMode,
                                                    const void* password, std::uint32_t bytes,
                                                    bool& valid);
[[nodiscard]] EngineResult StorageSupplyFilePassword(StorageHandle handle, std::u16string_view path,
                                                     const void* password, std::uint32_t bytes);
// A file without compression settings gives 0, 0, 1.
[[nodiscard]] EngineResult StorageGetFileCompression(StorageHandle handle, std::u16string_view path,
                                                     std::uint32_t& mode, std::uint32_t& level,
                                                     std::uint32_t& blockSetting);
[[nodiscard]] EngineResult StorageSetFileCompression(StorageHandle handle, std::u16string_view path,
                                                     std::uint32_t mode, std::uint32_t level,
                                                     std::uint16_t blockSetting,
                                                     const void* password, std::uint32_t bytes);
[[nodiscard]] EngineResult StorageSetFileTag(StorageHandle handle, std::u16string_view path,
                                             std::uint16_t tagId, const void* data,
                                             std::uint32_t size);
// A missing tag: present = false, result 0.
[[nodiscard]] EngineResult StorageGetFileTagSize(StorageHandle handle, std::u16string_view path,
                                                 std::uint16_t tagId, bool& present,
                                                 std::uint32_t& size);
// `size`: the buffer's size in, the tag's size out; short buffer errBufferTooSmall.
[[nodiscard]] EngineResult StorageGetFileTag(StorageHandle handle, std::u16string_view path,
                                             std::uint16_t tagId, void* buffer,
                                             std::uint32_t& size);
[[nodiscard]] EngineResult StorageDeleteFileTag(StorageHandle handle, std::u16string_view path,
                                                std::uint16_t tagId);
// The size of the object at `path` (a link's own: the last component is not
// followed) and all its tags in their stored order, read in one read-only
// transaction. No file password is needed.
[[nodiscard]] EngineResult StorageGetFileSizeAndTags(StorageHandle handle, std::u16string_view path,
                                                     std::uint64_t& size,
                                                     std::vector<FileTagInfo>& tags);
[[nodiscard]] EngineResult StorageCreateLink(StorageHandle handle, std::u16string_view path,
                                             std::u16string_view target);
// `length`: buffer size in bytes in, bytes needed (with the terminating zero) out.
[[nodiscard]] EngineResult StorageGetLinkDestination(StorageHandle handle, std::u16string_view path,
                                                     char16_t* buffer, std::uint32_t& length);
[[nodiscard]] EngineResult StorageGetLinkDestinationRef(StorageHandle handle,
                                                        std::u16string_view path,
                                                        const char16_t*& target);
// `length`: buffer size in units in, units needed (with the terminating zero) out.
[[nodiscard]] EngineResult StorageResolveLink(StorageHandle handle, std::u16string_view path,
                                              char16_t* buffer, std::uint32_t& length);
// Result-field flags 7.
[[nodiscard]] EngineResult StorageFindFirst(StorageHandle handle, std::u16string_view path,
                                            SearchRecord& record, std::uint32_t attributes);
[[nodiscard]] EngineResult StorageFindFirstEx(StorageHandle handle, std::u16string_view path,
                                              SearchRecord& record, std::uint32_t attributes,
                                              std::uint32_t flags);
[[nodiscard]] EngineResult StorageFindNext(SearchRecord& record);
[[nodiscard]] EngineResult StorageFindClose(SearchRecord& record);
[[nodiscard]] EngineResult StorageRegisterNotification(StorageHandle handle,
                                                       std::u16string_view path, bool watchSubtree,
                                                       std::uint32_t filter, void* userData,
                                                       NotificationCallback callback,
                                                       NotificationHandle& notification);
[[nodiscard]] EngineResult StorageUnregisterNotification(NotificationHandle notification);

// ---- file-handle functions ----

[[nodiscard]] EngineResult StorageOpenRootFile(StorageHandle handle, FileHandle*& file);
[[nodiscard]] EngineResult StorageCreateFile(StorageHandle handle, std::u16string_view path,
                                             bool read, bool write, bool denyRead, bool denyWrite,
                                             std::uint32_t encryption, const void* password,
                                             std::uint32_t bytes, FileHandle*& file,
                                             bool openExisting, bool truncate);
[[nodiscard]] EngineResult StorageCreateFileCompressed(
    StorageHandle handle, std::u16string_view path, bool read, bool write, bool denyRead,
    bool denyWrite, std::uint32_t encryption, const void* password, std::uint32_t bytes,
    std::uint32_t compression, std::uint32_t level, std::uint16_t blockSetting, FileHandle*& file,
    bool openExisting, bool truncate);
[[nodiscard]] EngineResult StorageOpenFile(StorageHandle handle, std::u16string_view path,
                                           bool read, bool write, bool denyRead, bool denyWrite,
                                           const void* password, std::uint32_t bytes,
                                           FileHandle*& file);
[[nodiscard]] EngineResult StorageCloseFile(FileHandle* file);
// Flag bit 0 clear: store pending data; set: only check that the handle is valid.
[[nodiscard]] EngineResult StorageFlushFile(FileHandle* file, std::uint32_t flags);
[[nodiscard]] EngineResult StorageGetFileSize(FileHandle* file, std::uint64_t& size);
[[nodiscard]] EngineResult StorageSetFileSize(FileHandle* file, std::uint32_t size);
[[nodiscard]] EngineResult StorageSetFileSize64(FileHandle* file, std::uint64_t size);
// Sets the size to the current position.
[[nodiscard]] EngineResult StorageTruncateFile(FileHandle* file);
// Origin 0 beginning, 1 current, 2 end.
[[nodiscard]] EngineResult StorageSeek(FileHandle* file, std::int32_t offset, std::uint16_t origin,
                                       std::uint32_t& position);
[[nodiscard]] EngineResult StorageSeek64(FileHandle* file, std::int64_t offset,
                                         std::uint16_t origin, std::uint64_t& position);
[[nodiscard]] EngineResult StorageGetPosition(FileHandle* file, std::uint64_t& position);
// At or past the end with nothing read: errSeekBeyondEOF.
[[nodiscard]] EngineResult StorageRead(FileHandle* file, void* buffer, std::uint32_t count,
                                       std::uint32_t& done);
[[nodiscard]] EngineResult StorageWrite(FileHandle* file, const void* buffer, std::uint32_t count,
                                        std::uint32_t& done);
// Seek and transfer as one step under the file object's lock.
[[nodiscard]] EngineResult StorageReadAt(FileHandle* file, std::uint64_t offset, void* buffer,
                                         std::uint32_t count, std::uint32_t& done);
[[nodiscard]] EngineResult StorageWriteAt(FileHandle* file, std::uint64_t offset,
                                          const void* buffer, std::uint32_t count,
                                          std::uint32_t& done);

// ---- entry points kept for compatibility: each answers errNotImplemented ----

[[nodiscard]] EngineResult StorageDefragment(StorageHandle handle);
[[nodiscard]] EngineResult StorageGetFileOwner(StorageHandle handle, std::u16string_view path,
                                               std::uint32_t& owner);
[[nodiscard]] EngineResult StorageSetFileOwner(StorageHandle handle, std::u16string_view path,
                                               std::uint32_t owner);
[[nodiscard]] EngineResult StorageGetFileSecurity(StorageHandle handle, std::u16string_view path,
                                                  void* buffer, std::uint32_t& size);
[[nodiscard]] EngineResult StorageSetFileSecurity(StorageHandle handle, std::u16string_view path,
                                                  const void* buffer, std::uint32_t size);
[[nodiscard]] EngineResult StorageCreateHardLink(StorageHandle handle, std::u16string_view path,
                                                 std::u16string_view target);
[[nodiscard]] EngineResult StorageGetHardLinkCount(StorageHandle handle, std::u16string_view path,
                                                   std::uint32_t& count);
[[nodiscard]] EngineResult StorageLockFile(FileHandle* file, std::uint64_t offset,
                                           std::uint64_t length);
[[nodiscard]] EngineResult StorageUnlockFile(FileHandle* file, std::uint64_t offset,
                                             std::uint64_t length);
[[nodiscard]] EngineResult StorageGetFileSparse(FileHandle* file, bool& sparse);
[[nodiscard]] EngineResult StorageSetFileSparse(FileHandle* file, bool sparse);
[[nodiscard]] EngineResult StorageGetAlternateStreams(StorageHandle handle,
                                                      std::u16string_view path,
                                                      std::uint32_t& count);
[[nodiscard]] EngineResult StorageBackup(StorageHandle handle, std::u16string_view target);
[[nodiscard]] EngineResult StorageRestore(StorageHandle handle, std::u16string_view source);
[[nodiscard]] EngineResult StorageGetQuota(StorageHandle handle, std::uint64_t& quota);
[[nodiscard]] EngineResult StorageSetQuota(StorageHandle handle, std::uint64_t quota);

}  // namespace vaultfs
