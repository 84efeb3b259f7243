// TVaultStorage: one container as an object. Settings are properties, every
// container operation is a method that raises on failure (EVaultError,
// std::system_error, EFilerError), and the engine's callbacks become events.
// Times at this interface are local date-times (days since 1899-12-30 in
// local time); the engine keeps UTC.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "vaultfs/engine_api.h"
#include "vaultfs/engine_types.h"
#include "vaultfs/vault_error.h"
#include "vaultfs/vault_stream.h"

namespace vaultfs {

// A local date-time: days since 1899-12-30 00:00 local time, the fraction
// being the time of day.
using TDateTime = double;

// What a progress report is about.
using TProgressOperation = std::uint8_t;
inline constexpr TProgressOperation poFormatOrResize = 0;
inline constexpr TProgressOperation poCopyFile = 6;
inline constexpr TProgressOperation poEncrypting = 12;
inline constexpr TProgressOperation poDecrypting = 13;
inline constexpr TProgressOperation poCompacting = 14;

// The search record of the component: the engine's, with the three times in
// local time after FindFirst / FindNext.
using TVaultSearchRec = SearchRecord;

class TVaultStorage;

// Watches an export entry by entry, for a caller that checks what it
// restores (see ExportFiles). Paths are full container paths. The check may
// read the container through the storage it is given (attributes, times,
// tags, link targets) but must not change it.
class TVaultExportCheck {
 public:
  virtual ~TVaultExportCheck() = default;
  // A file (`isLink` false) or link is about to be written.
  virtual void BeginEntry(TVaultStorage& storage, const std::u16string& path, bool isLink) = 0;
  // The file's bytes as read from the container, in order (none for a link).
  virtual void EntryData(const std::uint8_t* data, std::size_t size) = 0;
  // Whether what was written may take the entry's name. False: it is
  // removed again and nothing is left under that name.
  virtual bool EndEntry() = 0;
  // Reading the entry from the container failed with `message`; nothing was
  // left under its name and the export goes on with the next entry.
  virtual void EntryFailed(const std::u16string& path, const std::string& message) = 0;
  // A folder (never the top one) was written with its mode and times.
  virtual void FolderDone(TVaultStorage& storage, const std::u16string& path) = 0;
};

using TVaultCreateFileEvent =
    std::function<void(TVaultStorage& sender, const std::u16string& fileName,
                       std::uint32_t& fileHandle, bool overwrite, bool isJournalFile,
                       std::int32_t& result)>;
using TVaultOpenFileEvent =
    std::function<void(TVaultStorage& sender, const std::u16string& fileName,
                       std::uint32_t& fileHandle, bool& readOnly, bool isJournalFile,
                       std::int32_t& result)>;
using TVaultCloseFileEvent =
    std::function<void(TVaultStorage& sender, std::uint32_t& fileHandle, std::int32_t& result)>;
using TVaultFlushFileEvent =
    std::function<void(TVaultStorage& sender, std::uint32_t fileHandle, std::int32_t& result)>;
using TVaultDeleteFileEvent = std::function<void(
    TVaultStorage& sender, const std::u16string& fileName, std::int32_t& result)>;
using TVaultGetFileSizeEvent = std::function<void(
    TVaultStorage& sender, std::uint32_t fileHandle, std::int64_t& size, std::int32_t& result)>;
using TVaultSetFileSizeEvent = std::function<void(
    TVaultStorage& sender, std::uint32_t fileHandle, std::int64_t newSize, std::int32_t& result)>;
using TVaultSeekFileEvent =
    std::function<void(TVaultStorage& sender, std::uint32_t fileHandle, std::int64_t offset,
                       std::uint16_t origin, std::int32_t& result)>;
using TVaultReadFileEvent =
    std::function<void(TVaultStorage& sender, std::uint32_t fileHandle, void* buffer,
                       std::uint32_t count, std::int32_t& result)>;
using TVaultWriteFileEvent =
    std::function<void(TVaultStorage& sender, std::uint32_t fileHandle, const void* buffer,
                       std::uint32_t count, std::int32_t& result)>;
using TVaultValidateHashEvent =
    std::function<void(TVaultStorage& sender, const void* buffer, std::uint32_t count,
                       const void* hashBuffer, bool& valid, std::int32_t& result)>;
using TVaultCalculateHashEvent =
    std::function<void(TVaultStorage& sender, const void* buffer, std::uint32_t count,
                       void* hashBuffer, std::int32_t& result)>;
using TVaultCryptDataEvent = std::function<void(
    TVaultStorage& sender, const void* key, std::uint32_t keyLength, void* data,
    std::uint32_t dataSize, std::uint32_t objectId, std::uint32_t pageIndex, std::int32_t& result)>;
using TVaultCompressDataEvent =
    std::function<void(TVaultStorage& sender, const void* inData, std::uint32_t inSize,
                       void* outData, std::uint32_t& outSize, std::int32_t level,
                       std::int32_t& result)>;
using TVaultDecompressDataEvent =
    std::function<void(TVaultStorage& sender, const void* inData, std::uint32_t inSize,
                       void* outData, std::uint32_t& outSize, std::int32_t& result)>;
using TVaultProgressEvent =
    std::function<void(TVaultStorage& sender, const std::u16string& fileName,
                       TProgressOperation operation, std::uint32_t progress,
                       std::uint32_t total, bool canStop, bool& stop)>;
using TVaultImportExportEvent =
    std::function<void(TVaultStorage& sender, bool toStorage, const std::u16string& diskFileName,
                       TDateTime diskFileDate, const std::u16string& storageFileName,
                       TDateTime storageFileDate, bool& overwrite)>;
using TVaultPasswordEvent =
    std::function<void(TVaultStorage& sender, const std::u16string& fileName, std::int32_t attempt,
                       std::u16string& password, bool& cancel)>;

// Settings, state checks and the whole virtual interface; no engine handle.
class TBaseVaultStorage {
 public:
  TBaseVaultStorage() = default;
  virtual ~TBaseVaultStorage() = default;
  TBaseVaultStorage(const TBaseVaultStorage&) = delete;
  TBaseVaultStorage& operator=(const TBaseVaultStorage&) = delete;

  // ---- properties (plain reads) ----
  bool Active() const { return Active_; }
  bool FixedSize() const { return FixedSize_; }
  bool ReadOnly() const { return ReadOnly_; }
  const std::u16string& FileName() const { return FileName_; }
  bool UseTransactions() const { return UseTransactions_; }
  bool UseAccessTime() const { return UseAccessTime_; }
  std::uint32_t AutoCompact() const { return AutoCompact_; }
  std::uint32_t PageSize() const { return PageSize_; }
  virtual std::uint32_t Buffering() const { return Buffering_; }
  char16_t PathSeparator() const { return PathSeparator_; }
  const std::u16string& Logo() const { return Logo_; }
  bool CaseSensitive() const { return CaseSensitive_; }
  TVaultEncryption FilesEncryption() const { return FilesEncryption_; }
  const std::u16string& FilesPassword() const { return FilesPassword_; }
  TVaultEncryption StorageEncryption() const { return StorageEncryption_; }
  const std::u16string& StoragePassword() const { return StoragePassword_; }
  std::uint32_t CompressionLevel() const { return CompressionLevel_; }
  TVaultCompression Compression() const { return Compression_; }

  // ---- setters: those marked "closed" raise errStorageActive while open ----
  void SetReadOnly(bool value);                     // closed
  void SetPageSize(std::uint32_t value);            // closed
  void SetFileName(const std::u16string& value);    // closed
  void SetPathSeparator(char16_t value);            // closed
  void SetUseTransactions(bool value);              // closed
  void SetUseAccessTime(bool value);                // closed
  void SetCaseSensitive(bool value);                // closed
  void SetFilesEncryption(TVaultEncryption value) { FilesEncryption_ = value; }
  void SetFilesPassword(const std::u16string& value) { FilesPassword_ = value; }
  void SetStorageEncryption(TVaultEncryption value) { StorageEncryption_ = value; }
  void SetCompression(TVaultCompression value) { Compression_ = value; }
  void SetCompressionLevel(std::uint32_t value) { CompressionLevel_ = value; }
  // While open: hands the value to the engine first (a failure raises and
  // keeps the old value), then stores it.
  virtual void SetAutoCompact(std::uint32_t value) = 0;
  // Stores; while open also writes it into the container.
  virtual void SetLogo(const std::u16string& value) = 0;
  // Stores; while open also supplies it to the engine, ignoring its answer.
  virtual void SetStoragePassword(const std::u16string& value) = 0;
  // Stores; while open then hands it to the engine (a failure raises, the
  // new value stays stored).
  virtual void SetBuffering(std::uint32_t value) = 0;

  // ---- container operations ----
  virtual bool IsCorrupted() = 0;
  virtual std::uint32_t GetMaxPageCount() = 0;
  virtual void SetMaxPageCount(std::uint32_t pages) = 0;
  virtual TDateTime GetLastAccessTime() = 0;
  virtual TDateTime GetLastModificationTime() = 0;
  virtual std::int64_t GetStorageSize() = 0;
  virtual void SetStorageSize(std::int64_t size) = 0;
  // 0 create (an existing file is refused), 1 create and overwrite, 2 open.
  virtual void Open(int mode) = 0;
  virtual void Close(int unused = 0) = 0;
  virtual void ReopenFile() = 0;
  virtual TVaultEncryption GetStorageEncryption() = 0;
  virtual void SupplyStoragePassword(const std::u16string& password) = 0;
  virtual void ChangeStorageEncryption(TVaultEncryption encryption,
                                       const std::u16string& oldPassword,
                                       const std::u16string& newPassword) = 0;
  virtual bool IsValidStorage() = 0;
  // Bit 0: check only; bit 1: examine every page.
  virtual void CheckAndRepair(std::uint32_t flags) = 0;
  virtual void Format(std::int64_t size, std::uint32_t flags) = 0;
  virtual bool Compact() = 0;
  virtual std::unique_ptr<TVaultStream> OpenRootStream() = 0;
  virtual std::int64_t GetFreeSpace() = 0;
  virtual bool FileExists(const std::u16string& path) = 0;
  virtual void DeleteFile(const std::u16string& path) = 0;
  virtual void MoveFile(const std::u16string& oldPath, const std::u16string& newPath) = 0;
  virtual void MoveFileReplace(const std::u16string& oldPath, const std::u16string& newPath) = 0;
  // `mask` is the directory path followed by the name mask.
  virtual bool FindFirst(TVaultSearchRec& search, const std::u16string& mask,
                         std::uint32_t attributes) = 0;
  virtual bool FindFirstEx(TVaultSearchRec& search, const std::u16string& mask,
                           std::uint32_t attributes, std::uint32_t flags) = 0;
  virtual bool FindNext(TVaultSearchRec& search) = 0;
  virtual void FindClose(TVaultSearchRec& search) = 0;
  virtual void CreateDirectory(const std::u16string& path) = 0;
  virtual void ForceCreateDirectories(const std::u16string& path) = 0;
  virtual void RemoveDirectory(const std::u16string& path) = 0;
  virtual TDateTime GetFileCreationTime(const std::u16string& path) = 0;
  virtual void SetFileCreationTime(const std::u16string& path, TDateTime time) = 0;
  virtual TDateTime GetFileModificationTime(const std::u16string& path) = 0;
  virtual void SetFileModificationTime(const std::u16string& path, TDateTime time) = 0;
  virtual TDateTime GetFileLastAccessTime(const std::u16string& path) = 0;
  virtual void SetFileLastAccessTime(const std::u16string& path, TDateTime time) = 0;
  virtual void SetFileTag(const std::u16string& path, std::uint16_t tagId, const void* data,
                          std::uint32_t size) = 0;
  // Exists false: no such tag, and the result carries no value.
  virtual std::uint32_t GetFileTagSize(const std::u16string& path, std::uint16_t tagId,
                                       bool& exists) = 0;
  // Copies the tag and returns its size; a short buffer is no error, the
  // result then tells the size needed.
  virtual std::uint32_t GetFileTag(const std::u16string& path, std::uint16_t tagId, void* buffer,
                                   std::uint32_t bufferSize) = 0;
  virtual void DeleteFileTag(const std::u16string& path, std::uint16_t tagId) = 0;
  virtual TVaultEncryption GetFileEncryption(const std::u16string& path) = 0;
  virtual void SetFileEncryption(const std::u16string& path, TVaultEncryption encryption,
                                 const std::u16string& oldPassword,
                                 const std::u16string& newPassword) = 0;
  virtual bool CheckFilePassword(const std::u16string& path, const std::u16string& password,
                                 bool anyMode, TVaultEncryption encryption) = 0;
  virtual void SupplyFilePassword(const std::u16string& path, const std::u16string& password) = 0;
  virtual TVaultCompression GetFileCompression(const std::u16string& path,
                                               TVaultCompression& compression,
                                               std::uint32_t& level,
                                               std::uint32_t& blockSetting) = 0;
  virtual void SetFileCompression(const std::u16string& path, TVaultCompression compression,
                                  std::uint32_t level, std::uint16_t blockSetting,
                                  const std::u16string& password) = 0;
  virtual void GetFileAttributes(const std::u16string& path, std::uint32_t& attributes) = 0;
  virtual void SetFileAttributes(const std::u16string& path, std::uint32_t attributes) = 0;
  virtual void CreateLink(const std::u16string& linkPath, const std::u16string& targetPath) = 0;
  virtual void ReadLink(const std::u16string& path, std::u16string& destination) = 0;
  virtual void ResolveLink(const std::u16string& path, std::u16string& fullPath) = 0;

 protected:
  // errStorageNotActive unless open / errStorageActive when open.
  void CheckActive() const;
  void CheckInactive() const;
  // Path with PathSeparator appended unless it already ends in one; an empty
  // path becomes the separator alone.
  std::u16string AppendSeparator(const std::u16string& path) const;

  bool Active_ = false;
  bool FixedSize_ = false;
  bool ReadOnly_ = false;
  std::u16string FileName_;
  bool UseTransactions_ = false;
  bool UseAccessTime_ = false;
  std::uint32_t AutoCompact_ = 25;
  std::uint32_t PageSize_ = 512;
  std::uint32_t Buffering_ = 1;
  char16_t PathSeparator_ = u'\\';
  std::u16string Logo_;
  bool CaseSensitive_ = true;
  TVaultEncryption FilesEncryption_ = ecNoEncryption;
  std::u16string FilesPassword_;
  TVaultEncryption StorageEncryption_ = ecNoEncryption;
  std::u16string StoragePassword_;
  std::uint32_t CompressionLevel_ = 0;
  TVaultCompression Compression_ = crNoCompression;
};

class TVaultStorage : public TBaseVaultStorage {
 public:
  TVaultStorage();
  // Closes the container first.
  ~TVaultStorage() override;

  StorageHandle Handle() const { return Handle_; }

  // ---- events: the file and encryption events raise errStorageActive while open ----
#define KORVANE_VAULT_EVENT(Type, Name)                   \
  const Type& Name() const { return Name##_; }            \
  void Set##Name(Type handler);
  KORVANE_VAULT_EVENT(TVaultCreateFileEvent, OnFileCreate)
  KORVANE_VAULT_EVENT(TVaultOpenFileEvent, OnFileOpen)
  KORVANE_VAULT_EVENT(TVaultCloseFileEvent, OnFileClose)
  KORVANE_VAULT_EVENT(TVaultFlushFileEvent, OnFileFlush)
  KORVANE_VAULT_EVENT(TVaultDeleteFileEvent, OnFileDelete)
  KORVANE_VAULT_EVENT(TVaultGetFileSizeEvent, OnFileGetSize)
  KORVANE_VAULT_EVENT(TVaultSetFileSizeEvent, OnFileSetSize)
  KORVANE_VAULT_EVENT(TVaultSeekFileEvent, OnFileSeek)
  KORVANE_VAULT_EVENT(TVaultReadFileEvent, OnFileRead)
  KORVANE_VAULT_EVENT(TVaultWriteFileEvent, OnFileWrite)
  KORVANE_VAULT_EVENT(TVaultCryptDataEvent, OnDataEncrypt)
  KORVANE_VAULT_EVENT(TVaultCryptDataEvent, OnDataDecrypt)
  KORVANE_VAULT_EVENT(TVaultCalculateHashEvent, OnHashCalculate)
  KORVANE_VAULT_EVENT(TVaultValidateHashEvent, OnHashValidate)
  KORVANE_VAULT_EVENT(TVaultProgressEvent, OnProgress)
  KORVANE_VAULT_EVENT(TVaultImportExportEvent, OnImportExport)
  KORVANE_VAULT_EVENT(TVaultPasswordEvent, OnPasswordNeeded)
  KORVANE_VAULT_EVENT(TVaultCompressDataEvent, OnCompress)
  KORVANE_VAULT_EVENT(TVaultDecompressDataEvent, OnDecompress)
#undef KORVANE_VAULT_EVENT

  // ---- TBaseVaultStorage ----
  void SetAutoCompact(std::uint32_t value) override;
  void SetLogo(const std::u16string& value) override;
  void SetStoragePassword(const std::u16string& value) override;
  void SetBuffering(std::uint32_t value) override;
  bool IsCorrupted() override;
  std::uint32_t GetMaxPageCount() override;
  void SetMaxPageCount(std::uint32_t pages) override;
  TDateTime GetLastAccessTime() override;
  TDateTime GetLastModificationTime() override;
  std::int64_t GetStorageSize() override;
  void SetStorageSize(std::int64_t size) override;
  void Open(int mode) override;
  void Close(int unused = 0) override;
  // Close for callers that must know the container reached its file whole:
  // writes everything out, closes, and raises the first failure of either,
  // or of a stream of this storage whose closing failed since it was opened
  // (a stream's destructor cannot raise; its failure is kept for this). The
  // object is closed afterwards in every case.
  void CloseChecked();
  void ReopenFile() override;
  TVaultEncryption GetStorageEncryption() override;
  void SupplyStoragePassword(const std::u16string& password) override;
  void ChangeStorageEncryption(TVaultEncryption encryption, const std::u16string& oldPassword,
                               const std::u16string& newPassword) override;
  bool IsValidStorage() override;
  void CheckAndRepair(std::uint32_t flags) override;
  void Format(std::int64_t size, std::uint32_t flags) override;
  bool Compact() override;
  std::unique_ptr<TVaultStream> OpenRootStream() override;
  std::int64_t GetFreeSpace() override;
  bool FileExists(const std::u16string& path) override;
  void DeleteFile(const std::u16string& path) override;
  void MoveFile(const std::u16string& oldPath, const std::u16string& newPath) override;
  void MoveFileReplace(const std::u16string& oldPath, const std::u16string& newPath) override;
  bool FindFirst(TVaultSearchRec& search, const std::u16string& mask,
                 std::uint32_t attributes) override;
  bool FindFirstEx(TVaultSearchRec& search, const std::u16string& mask, std::uint32_t attributes,
                   std::uint32_t flags) override;
  bool FindNext(TVaultSearchRec& search) override;
  void FindClose(TVaultSearchRec& search) override;
  void CreateDirectory(const std::u16string& path) override;
  void ForceCreateDirectories(const std::u16string& path) override;
  void RemoveDirectory(const std::u16string& path) override;
  TDateTime GetFileCreationTime(const std::u16string& path) override;
  void SetFileCreationTime(const std::u16string& path, TDateTime time) override;
  TDateTime GetFileModificationTime(const std::u16string& path) override;
  void SetFileModificationTime(const std::u16string& path, TDateTime time) override;
  TDateTime GetFileLastAccessTime(const std::u16string& path) override;
  void SetFileLastAccessTime(const std::u16string& path, TDateTime time) override;
  void SetFileTag(const std::u16string& path, std::uint16_t tagId, const void* data,
                  std::uint32_t size) override;
  std::uint32_t GetFileTagSize(const std::u16string& path, std::uint16_t tagId,
                               bool& exists) override;
  std::uint32_t GetFileTag(const std::u16string& path, std::uint16_t tagId, void* buffer,
                           std::uint32_t bufferSize) override;
  void DeleteFileTag(const std::u16string& path, std::uint16_t tagId) override;
  TVaultEncryption GetFileEncryption(const std::u16string& path) override;
  void SetFileEncryption(const std::u16string& path, TVaultEncryption encryption,
                         const std::u16string& oldPassword,
                         const std::u16string& newPassword) override;
  bool CheckFilePassword(const std::u16string& path, const std::u16string& password, bool anyMode,
                         TVaultEncryption encryption) override;
  void SupplyFilePassword(const std::u16string& path, const std::u16string& password) override;
  TVaultCompression GetFileCompression(const std::u16string& path, TVaultCompression& compression,
                                       std::uint32_t& level, std::uint32_t& blockSetting) override;
  void SetFileCompression(const std::u16string& path, TVaultCompression compression,
                          std::uint32_t level, std::uint16_t blockSetting,
                          const std::u16string& password) override;
  void GetFileAttributes(const std::u16string& path, std::uint32_t& attributes) override;
  void SetFileAttributes(const std::u16string& path, std::uint32_t attributes) override;
  void CreateLink(const std::u16string& linkPath, const std::u16string& targetPath) override;
  void ReadLink(const std::u16string& path, std::u16string& destination) override;
  void ResolveLink(const std::u16string& path, std::u16string& fullPath) override;

  // ---- folder trees (import_export.cpp) ----
  // Copies a disk folder (with its subfolders when `recursive`) into the
  // container directory `storagePath`. Attributes filters hidden (0x2) and
  // system (0x4) files. OverwriteMode: 0 keep an existing target, 1 replace
  // it when the source is newer, 2 always replace.
  void ImportFiles(const std::u16string& diskFolder, const std::u16string& mask,
                   std::int32_t attributes, bool recursive, const std::u16string& storagePath,
                   std::int32_t overwriteMode);
  // Export refuses, before writing anything, a tree whose declared file
  // sizes exceed the space available on the target's file system, or a file
  // larger than that file system can hold (EFilerError). Blocks of zeros are
  // left as holes. It never restores the set-user-ID and set-group-ID bits:
  // ownership is not stored, so they would hand the rights of whoever opens
  // the container to the file.
  void ExportFiles(const std::u16string& storagePath, const std::u16string& mask,
                   std::int32_t attributes, bool recursive, const std::u16string& diskFolder,
                   std::int32_t overwriteMode);
  // How many files and folders the last ExportFiles restored without the
  // set-user-ID or set-group-ID bit their metadata asked for (counted up to
  // a failure, too); callers tell the user, since such a program may no
  // longer work as it did.
  std::uint64_t ExportDroppedSetIdBits() const { return ExportDroppedSetIdBits_; }
  // With a check set, ExportFiles shows it every entry and lets it refuse a
  // file or link before it takes its name; a container error while reading
  // one file or link then fails only that entry (EntryFailed) instead of the
  // whole export. Errors of the disk still end the export. The check is not
  // owned; null (the default) exports as without one.
  void SetExportCheck(TVaultExportCheck* check) { ExportCheck_ = check; }
  TVaultExportCheck* ExportCheck() const { return ExportCheck_; }

  // Group use and completeness (completeness failures raise EVaultError
  // with ErrorCode 0 naming the last missing member).
  bool HasFileEvents() const;
  bool HasCryptEvents() const;
  bool HasCompressEvents() const;
  void CheckFileEvents() const;
  void CheckCryptEvents() const;
  void CheckCompressEvents() const;

  // Checks the result of an engine call made for this storage. An exception
  // an event handler raised inside that call was held back (it must not
  // unwind through engine code, which holds locks and half-done state) and is
  // rethrown here in place of the result; otherwise CheckResult(result).
  void Call(EngineResult result);

 private:
  friend class TVaultStream;
  friend struct VaultStorageCallbacks;

  // Drops a held-back exception: closing never raises.
  void DiscardPendingException() noexcept { PendingException_ = nullptr; }
  // A stream's closing failed (in its destructor, which cannot raise).
  void NoteStreamCloseFailure(EngineResult result) noexcept {
    if (StreamCloseFailure_ == 0) StreamCloseFailure_ = result;
  }
  void ReadSettingsFromEngine();
  // The callbacks handed to the entry layer; user data is this object.
  HostFileCallbacks FileCallbacks();

  StorageHandle Handle_ = nullptr;
  // The first exception an event handler raised during the engine call in
  // progress; see Call.
  std::exception_ptr PendingException_;
  // The first failure of a stream's closing since Open; see CloseChecked.
  EngineResult StreamCloseFailure_ = 0;
  std::uint64_t ExportDroppedSetIdBits_ = 0;
  TVaultExportCheck* ExportCheck_ = nullptr;
  TVaultCreateFileEvent OnFileCreate_;
  TVaultOpenFileEvent OnFileOpen_;
  TVaultCloseFileEvent OnFileClose_;
  TVaultFlushFileEvent OnFileFlush_;
  TVaultDeleteFileEvent OnFileDelete_;
  TVaultGetFileSizeEvent OnFileGetSize_;
  TVaultSetFileSizeEvent OnFileSetSize_;
  TVaultSeekFileEvent OnFileSeek_;
  TVaultReadFileEvent OnFileRead_;
  TVaultWriteFileEvent OnFileWrite_;
  TVaultCryptDataEvent OnDataEncrypt_;
  TVaultCryptDataEvent OnDataDecrypt_;
  TVaultCalculateHashEvent OnHashCalculate_;
  TVaultValidateHashEvent OnHashValidate_;
  TVaultProgressEvent OnProgress_;
  TVaultImportExportEvent OnImportExport_;
  TVaultPasswordEvent OnPasswordNeeded_;
  TVaultCompressDataEvent OnCompress_;
  TVaultDecompressDataEvent OnDecompress_;
};

// Closes a search of the storage however the loop over it ends.
class TSearchGuard {
 public:
  TSearchGuard(TBaseVaultStorage& storage, TVaultSearchRec& search)
      : storage_(storage), search_(search) {}
  TSearchGuard(const TSearchGuard&) = delete;
  TSearchGuard& operator=(const TSearchGuard&) = delete;
  ~TSearchGuard() {
    try {
      storage_.FindClose(search_);
    } catch (...) {
      // Only a search that failed on its own can fail to close.
    }
  }

 private:
  TBaseVaultStorage& storage_;
  TVaultSearchRec& search_;
};

// Local date-time <-> engine UTC time with the system's current offset.
TDateTime UtcToLocal(StorageTime time);
StorageTime LocalToUtc(TDateTime time);

}  // namespace vaultfs
