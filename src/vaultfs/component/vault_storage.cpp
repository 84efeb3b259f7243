#include "vaultfs/vault_storage.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <string_view>

#include "vaultfs/utf16.h"
#include "vaultfs/password_bytes.h"

namespace vaultfs {
namespace {

// The file events in the order their completeness is checked, with the name
// the message uses for each.
constexpr std::array<std::string_view, 9> kFileEventNames = {
    "OnCreateFile",  "OnOpenFile", "OnCloseFile", "OnFlushFile", "OnGetFileSize",
    "OnSetFileSize", "OnSeekFile", "OnReadFile",  "OnWriteFile"};
constexpr std::array<std::string_view, 4> kCryptEventNames = {"OnEncryptData", "OnDecryptData",
                                                              "OnCalculateHash", "OnValidateHash"};
constexpr std::array<std::string_view, 2> kCompressEventNames = {"OnCompressData",
                                                                 "OnDecompressData"};

// Raises the refusal of an incomplete event group: the last missing member
// in check order is named.
template <std::size_t N>
void CheckGroup(const std::array<bool, N>& assigned, const std::array<std::string_view, N>& names,
                std::string_view groupWord) {
  std::string_view missing;
  for (std::size_t i = 0; i < N; ++i) {
    if (!assigned[i]) missing = names[i];
  }
  if (missing.empty()) return;
  throw EVaultError("Event '" + std::string(missing) +
                        "' not defined\r\nIf you have defined one of the " +
                        std::string(groupWord) + " events,\r\nyou must define all that events",
                    0);
}

// Whether the container file is present on disk (a directory does not count).
bool DiskFileExists(const std::u16string& fileName) {
  const std::string path = Utf16ToUtf8(fileName);
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// The time-zone offset in effect now, in days to subtract from UTC to get
// local time (minutes west of UTC / 1440).
double CurrentBiasDays() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) return 0;
  const double biasMinutes = -static_cast<double>(local.tm_gmtoff) / 60.0;
  return biasMinutes / 1440.0;
}

// The text of a zero-terminated result buffer of at most `units` units.
std::u16string TextOf(const char16_t* buffer, std::size_t units) {
  const std::u16string_view view(buffer, units);
  return std::u16string(view.substr(0, std::min(view.find(u'\0'), view.size())));
}

void ConvertSearchTimes(TVaultSearchRec& search) {
  search.Created = UtcToLocal(search.Created);
  search.Modified = UtcToLocal(search.Modified);
  search.Accessed = UtcToLocal(search.Accessed);
}

}  // namespace

// The plain functions handed to the engine. User data is the storage. An
// exception from an event handler is caught here: the engine holds locks and
// half-done state while it calls us, so the handler's exception is held in
// the storage, the engine is told errInterrupted, and TVaultStorage::Call
// rethrows it once the engine call has returned.
struct VaultStorageCallbacks {
  template <typename Body>
  static EngineResult Guard(void* userData, Body&& body) noexcept {
    auto& storage = *static_cast<TVaultStorage*>(userData);
    try {
      return body(storage);
    } catch (...) {
      if (!storage.PendingException_) storage.PendingException_ = std::current_exception();
      return errInterrupted;
    }
  }

  // ---- host files ----
  static EngineResult FileCreate(void* userData, const std::u16string& fileName,
                                 HostHandle& fileHandle, bool overwrite,
                                 bool isJournalFile) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileCreate_(s, fileName, fileHandle, overwrite, isJournalFile, result);
      return result;
    });
  }
  static EngineResult FileOpen(void* userData, const std::u16string& fileName,
                               HostHandle& fileHandle, bool& readOnly,
                               bool isJournalFile) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileOpen_(s, fileName, fileHandle, readOnly, isJournalFile, result);
      return result;
    });
  }
  static EngineResult FileClose(void* userData, HostHandle fileHandle) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileClose_(s, fileHandle, result);
      return result;
    });
  }
  static EngineResult FileFlush(void* userData, HostHandle fileHandle) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileFlush_(s, fileHandle, result);
      return result;
    });
  }
  // The engine deletes its emptied journal file this way. Without a handler
  // there is nothing to delete on the caller's side and the request counts
  // as done: a journal left behind is empty and harmless.
  static EngineResult FileDelete(void* userData, const std::u16string& fileName) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      if (s.OnFileDelete_) s.OnFileDelete_(s, fileName, result);
      return result;
    });
  }
  static EngineResult FileGetSize(void* userData, HostHandle fileHandle,
                                  std::int64_t& size) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileGetSize_(s, fileHandle, size, result);
      return result;
    });
  }
  static EngineResult FileSetSize(void* userData, HostHandle fileHandle,
                                  std::int64_t newSize) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileSetSize_(s, fileHandle, newSize, result);
      return result;
    });
  }
  static EngineResult FileSeek(void* userData, HostHandle fileHandle, std::int64_t offset,
                               int origin) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileSeek_(s, fileHandle, offset, static_cast<std::uint16_t>(origin), result);
      return result;
    });
  }
  static EngineResult FileRead(void* userData, HostHandle fileHandle, void* buffer,
                               std::uint32_t count) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileRead_(s, fileHandle, buffer, count, result);
      return result;
    });
  }
  static EngineResult FileWrite(void* userData, HostHandle fileHandle, const void* buffer,
                                std::uint32_t count) noexcept {
    return Guard(userData, [&](TVaultStorage& s) {
      std::int32_t result = 0;
      s.OnFileWrite_(s, fileHandle, buffer, count, result);
      return result;
    });
  }

  // ---- custom encryption ----
  static EngineResult HashCalculate(void* userData, const std::uint8_t* buffer, std::uint32_t count,
                                    std::uint8_t* hash) noexcept {
    return Guard(userData, [&](TVaultStorage& s) -> EngineResult {
      if (!s.OnHashCalculate_) return errNoEncryptionHandlers;
      std::int32_t result = 0;
      s.OnHashCalculate_(s, buffer, count, hash, result);
      return result;
    });
  }
  static EngineResult HashValidate(void* userData, const std::uint8_t* buffer, std::uint32_t count,
                                   const std::uint8_t* hash, bool& valid) noexcept {
    return Guard(userData, [&](TVaultStorage& s) -> EngineResult {
      if (!s.OnHashValidate_) return errNoEncryptionHandlers;
      std::int32_t result = 0;
      s.OnHashValidate_(s, buffer, count, hash, valid, result);
      return result;
    });
  }
  static EngineResult Encrypt(void* userData, const std::uint8_t* key, std::uint32_t keyLength,
                              std::uint8_t* data, std::uint32_t dataSize, std::uint32_t objectId,
                              std::uint32_t pageIndex) noexcept {
    return Guard(userData, [&](TVaultStorage& s) -> EngineResult {
      if (!s.OnDataEncrypt_) return errNoEncryptionHandlers;
      std::int32_t result = 0;
      s.OnDataEncrypt_(s, key, keyLength, data, dataSize, objectId, pageIndex, result);
      return result;
    });
  }
  static EngineResult Decrypt(void* userData, const std::uint8_t* key, std::uint32_t keyLength,
                              std::uint8_t* data, std::uint32_t dataSize, std::uint32_t objectId,
                              std::uint32_t pageIndex) noexcept {
    return Guard(userData, [&](TVaultStorage& s) -> EngineResult {
      if (!s.OnDataDecrypt_) return errNoEncryptionHandlers;
      std::int32_t result = 0;
      s.OnDataDecrypt_(s, key, keyLength, data, dataSize, objectId, pageIndex, result);
      return result;
    });
  }

  // ---- custom compression: OutSize goes in as the room available ----
  static EngineResult Compress(void* userData, const std::uint8_t* in, std::uint32_t inSize,
                               std::uint8_t* out, std::uint32_t outLimit, std::int32_t level,
                               std::uint32_t& outSize) noexcept {
    return Guard(userData, [&](TVaultStorage& s) -> EngineResult {
      if (!s.OnCompress_) return errNoCompressionHandlers;
      std::int32_t result = 0;
      outSize = outLimit;
      s.OnCompress_(s, in, inSize, out, outSize, level, result);
      return result;
    });
  }
  static EngineResult Decompress(void* userData, const std::uint8_t* in, std::uint32_t inSize,
                                 std::uint8_t* out, std::uint32_t outCapacity,
                                 std::uint32_t& outSize) noexcept {
    return Guard(userData, [&](TVaultStorage& s) -> EngineResult {
      if (!s.OnDecompress_) return errNoCompressionHandlers;
      std::int32_t result = 0;
      outSize = outCapacity;
      s.OnDecompress_(s, in, inSize, out, outSize, result);
      return result;
    });
  }

  // ---- progress: a handler that raises also stops the operation ----
  static void Progress(void* userData, std::uint8_t operation, std::uint32_t progress,
                       std::uint32_t total, bool canStop, bool& stop) noexcept {
    stop = false;
    auto& storage = *static_cast<TVaultStorage*>(userData);
    if (!storage.OnProgress_) return;
    const EngineResult result = Guard(userData, [&](TVaultStorage& s) -> EngineResult {
      s.OnProgress_(s, std::u16string(), operation, progress, total, canStop, stop);
      return 0;
    });
    if (result != 0) stop = true;
  }
};

// ---------------------------------------------------------------------------
// Time conversion

TDateTime UtcToLocal(StorageTime time) {
  return time - CurrentBiasDays();
}

StorageTime LocalToUtc(TDateTime time) {
  return time + CurrentBiasDays();
}

// ---------------------------------------------------------------------------
// TBaseVaultStorage

void TBaseVaultStorage::CheckActive() const {
  if (!Active_) CheckResult(errStorageNotActive);
}

void TBaseVaultStorage::CheckInactive() const {
  if (Active_) CheckResult(errStorageActive);
}

std::u16string TBaseVaultStorage::AppendSeparator(const std::u16string& path) const {
  if (!path.empty() && path.back() == PathSeparator_) return path;
  return path + PathSeparator_;
}

void TBaseVaultStorage::SetReadOnly(bool value) {
  CheckInactive();
  ReadOnly_ = value;
}

void TBaseVaultStorage::SetPageSize(std::uint32_t value) {
  CheckInactive();
  PageSize_ = value;
}

void TBaseVaultStorage::SetFileName(const std::u16string& value) {
  CheckInactive();
  FileName_ = value;
}

void TBaseVaultStorage::SetPathSeparator(char16_t value) {
  CheckInactive();
  PathSeparator_ = value;
}

void TBaseVaultStorage::SetUseTransactions(bool value) {
  CheckInactive();
  UseTransactions_ = value;
}

void TBaseVaultStorage::SetUseAccessTime(bool value) {
  CheckInactive();
  UseAccessTime_ = value;
}

void TBaseVaultStorage::SetCaseSensitive(bool value) {
  CheckInactive();
  CaseSensitive_ = value;
}

// ---------------------------------------------------------------------------
// TVaultStorage: life, events, engine results

TVaultStorage::TVaultStorage() = default;

TVaultStorage::~TVaultStorage() {
  Close();
  WipeText(StoragePassword_);
  WipeText(FilesPassword_);
}

void TVaultStorage::Call(EngineResult result) {
  if (PendingException_) {
    std::exception_ptr pending = std::move(PendingException_);
    PendingException_ = nullptr;
    std::rethrow_exception(pending);
  }
  CheckResult(result);
}

// File and encryption events are wired into the engine when a container is
// opened, so they cannot change while one is open.
#define KORVANE_LOCKED_EVENT_SETTER(Type, Name) \
  void TVaultStorage::Set##Name(Type handler) { \
    CheckInactive();                            \
    Name##_ = std::move(handler);               \
  }
#define KORVANE_PLAIN_EVENT_SETTER(Type, Name)  \
  void TVaultStorage::Set##Name(Type handler) { \
    Name##_ = std::move(handler);               \
  }
KORVANE_LOCKED_EVENT_SETTER(TVaultCreateFileEvent, OnFileCreate)
KORVANE_LOCKED_EVENT_SETTER(TVaultOpenFileEvent, OnFileOpen)
KORVANE_LOCKED_EVENT_SETTER(TVaultCloseFileEvent, OnFileClose)
KORVANE_LOCKED_EVENT_SETTER(TVaultFlushFileEvent, OnFileFlush)
KORVANE_LOCKED_EVENT_SETTER(TVaultDeleteFileEvent, OnFileDelete)
KORVANE_LOCKED_EVENT_SETTER(TVaultGetFileSizeEvent, OnFileGetSize)
KORVANE_LOCKED_EVENT_SETTER(TVaultSetFileSizeEvent, OnFileSetSize)
KORVANE_LOCKED_EVENT_SETTER(TVaultSeekFileEvent, OnFileSeek)
KORVANE_LOCKED_EVENT_SETTER(TVaultReadFileEvent, OnFileRead)
KORVANE_LOCKED_EVENT_SETTER(TVaultWriteFileEvent, OnFileWrite)
KORVANE_LOCKED_EVENT_SETTER(TVaultCryptDataEvent, OnDataEncrypt)
KORVANE_LOCKED_EVENT_SETTER(TVaultCryptDataEvent, OnDataDecrypt)
KORVANE_LOCKED_EVENT_SETTER(TVaultCalculateHashEvent, OnHashCalculate)
KORVANE_LOCKED_EVENT_SETTER(TVaultValidateHashEvent, OnHashValidate)
KORVANE_PLAIN_EVENT_SETTER(TVaultProgressEvent, OnProgress)
KORVANE_PLAIN_EVENT_SETTER(TVaultImportExportEvent, OnImportExport)
KORVANE_PLAIN_EVENT_SETTER(TVaultPasswordEvent, OnPasswordNeeded)
KORVANE_PLAIN_EVENT_SETTER(TVaultCompressDataEvent, OnCompress)
KORVANE_PLAIN_EVENT_SETTER(TVaultDecompressDataEvent, OnDecompress)
#undef KORVANE_LOCKED_EVENT_SETTER
#undef KORVANE_PLAIN_EVENT_SETTER

bool TVaultStorage::HasFileEvents() const {
  return OnFileCreate_ || OnFileOpen_ || OnFileClose_ || OnFileFlush_ || OnFileGetSize_ ||
         OnFileSetSize_ || OnFileSeek_ || OnFileRead_ || OnFileWrite_;
}

bool TVaultStorage::HasCryptEvents() const {
  return OnDataEncrypt_ || OnDataDecrypt_ || OnHashCalculate_ || OnHashValidate_;
}

bool TVaultStorage::HasCompressEvents() const {
  return OnCompress_ || OnDecompress_;
}

void TVaultStorage::CheckFileEvents() const {
  CheckGroup<9>({static_cast<bool>(OnFileCreate_), static_cast<bool>(OnFileOpen_),
                 static_cast<bool>(OnFileClose_), static_cast<bool>(OnFileFlush_),
                 static_cast<bool>(OnFileGetSize_), static_cast<bool>(OnFileSetSize_),
                 static_cast<bool>(OnFileSeek_), static_cast<bool>(OnFileRead_),
                 static_cast<bool>(OnFileWrite_)},
                kFileEventNames, "file");
}

void TVaultStorage::CheckCryptEvents() const {
  CheckGroup<4>({static_cast<bool>(OnDataEncrypt_), static_cast<bool>(OnDataDecrypt_),
                 static_cast<bool>(OnHashCalculate_), static_cast<bool>(OnHashValidate_)},
                kCryptEventNames, "encryption");
}

void TVaultStorage::CheckCompressEvents() const {
  CheckGroup<2>({static_cast<bool>(OnCompress_), static_cast<bool>(OnDecompress_)},
                kCompressEventNames, "compression");
}

HostFileCallbacks TVaultStorage::FileCallbacks() {
  HostFileCallbacks callbacks;
  callbacks.UserData = this;
  callbacks.OnFileCreate = &VaultStorageCallbacks::FileCreate;
  callbacks.OnFileOpen = &VaultStorageCallbacks::FileOpen;
  callbacks.OnFileClose = &VaultStorageCallbacks::FileClose;
  callbacks.OnFileFlush = &VaultStorageCallbacks::FileFlush;
  callbacks.OnFileDelete = &VaultStorageCallbacks::FileDelete;
  callbacks.OnFileGetSize = &VaultStorageCallbacks::FileGetSize;
  callbacks.OnFileSetSize = &VaultStorageCallbacks::FileSetSize;
  callbacks.OnFileSeek = &VaultStorageCallbacks::FileSeek;
  callbacks.OnFileRead = &VaultStorageCallbacks::FileRead;
  callbacks.OnFileWrite = &VaultStorageCallbacks::FileWrite;
  return callbacks;
}

// ---------------------------------------------------------------------------
// Settings that reach the engine

void TVaultStorage::SetAutoCompact(std::uint32_t value) {
  if (Active_) Call(StorageSetAutoCompact(Handle_, value));
  AutoCompact_ = value;
}

void TVaultStorage::SetLogo(const std::u16string& value) {
  Logo_ = value;
  if (Active_) Call(StorageSetLogo(Handle_, Logo_));
}

void TVaultStorage::SetStoragePassword(const std::u16string& value) {
  if (&value != &StoragePassword_) {
    WipeText(StoragePassword_);
    StoragePassword_ = value;
  }
  if (!Active_) return;
  // The engine's verdict on the password is not wanted here; only an
  // exception from an event handler still reaches the caller.
  const PasswordBytes password(StoragePassword_);
  [[maybe_unused]] const EngineResult ignored =
      StorageSupplyPassword(Handle_, password.data(), password.size());
  Call(0);
}

void TVaultStorage::SetBuffering(std::uint32_t value) {
  Buffering_ = value;
  if (!Active_) return;
  // The engine keeps a 16-bit value: a larger one must not wrap silently.
  if (value > 0xFFFF) CheckResult(errInvalidParameter);
  Call(StorageSetBuffering(Handle_, static_cast<std::uint16_t>(value)));
}

// ---------------------------------------------------------------------------
// Open and close

void TVaultStorage::Open(int mode) {
  CheckInactive();
  if (mode < 0 || mode > 2) CheckResult(errInvalidParameter);
  if (HasCryptEvents()) CheckCryptEvents();
  if (HasCompressEvents()) CheckCompressEvents();

  const bool fileEvents = HasFileEvents();
  bool create = false;
  if (fileEvents) {
    // The file lies behind the events: only the caller knows whether it exists.
    create = mode == 1;
  } else if (DiskFileExists(FileName_)) {
    if (mode == 0) throw EFilerError("File already exists");
    create = mode == 1;
  } else {
    if (mode == 2) throw EFilerError("File not found");
    create = true;
  }
  const bool overwrite = mode == 1;

  StorageHandle handle = nullptr;
  EngineResult result = 0;
  if (fileEvents) {
    CheckFileEvents();
    const HostFileCallbacks callbacks = FileCallbacks();
    result = create
                 ? StorageCreateCB(FileName_, overwrite, PageSize_, Logo_, handle, PathSeparator_,
                                   UseTransactions_, UseAccessTime_, ReadOnly_, this, callbacks)
                 : StorageOpenCB(FileName_, handle, PathSeparator_, UseTransactions_,
                                 UseAccessTime_, ReadOnly_, this, callbacks);
  } else if (create) {
    result = StorageCreate(FileName_, overwrite, PageSize_, Logo_, handle, PathSeparator_,
                           UseTransactions_, UseAccessTime_);
  } else if (ReadOnly_) {
    result =
        StorageOpenReadOnly(FileName_, handle, PathSeparator_, UseTransactions_, UseAccessTime_);
  } else {
    result = StorageOpen(FileName_, handle, PathSeparator_, UseTransactions_, UseAccessTime_);
  }
  // A handler that raised while the engine still got the container open
  // fails the open as well: nothing may stay open behind a closed object.
  if (handle != nullptr && (result != 0 || PendingException_)) {
    [[maybe_unused]] const EngineResult ignored = StorageClose(handle);
    handle = nullptr;
  }
  Call(result);
  Handle_ = handle;

  if (HasCryptEvents()) {
    [[maybe_unused]] const EngineResult ignored = StorageSetCryptCallbacks(
        Handle_, this, &VaultStorageCallbacks::HashCalculate, &VaultStorageCallbacks::HashValidate,
        &VaultStorageCallbacks::Encrypt, &VaultStorageCallbacks::Decrypt);
  }
  if (HasCompressEvents()) {
    [[maybe_unused]] const EngineResult ignored = StorageSetCompressCallbacks(
        Handle_, this, &VaultStorageCallbacks::Compress, &VaultStorageCallbacks::Decompress);
  }

  // From here on a failure leaves the container open; the caller closes it.
  ReadSettingsFromEngine();
  if (!StoragePassword_.empty()) {
    if (create) {
      ChangeStorageEncryption(StorageEncryption_, std::u16string(), StoragePassword_);
    } else {
      SupplyStoragePassword(StoragePassword_);
    }
  }
}

void TVaultStorage::ReadSettingsFromEngine() {
  Active_ = true;
  StreamCloseFailure_ = 0;
  Call(StorageSetAutoCompact(Handle_, AutoCompact_));
  Call(StorageSetCaseSensitive(Handle_, CaseSensitive_));
  if (Buffering_ > 0xFFFF) CheckResult(errInvalidParameter);
  Call(StorageSetBuffering(Handle_, static_cast<std::uint16_t>(Buffering_)));

  std::uint32_t pageSize = 0;
  const char16_t* logo = nullptr;
  Call(StorageGetPageSizeAndLogo(Handle_, pageSize, logo));
  PageSize_ = pageSize;
  Logo_ = logo != nullptr ? std::u16string(logo) : std::u16string();

  bool readOnly = false;
  Call(StorageGetReadOnly(Handle_, readOnly));
  ReadOnly_ = readOnly;
  bool fixedSize = false;
  Call(StorageGetFixedSize(Handle_, fixedSize));
  FixedSize_ = fixedSize;
}

void TVaultStorage::Close(int /*unused*/) {
  if (!Active_) return;
  if (Handle_ != nullptr) {
    [[maybe_unused]] const EngineResult ignored = StorageClose(Handle_);
  }
  Handle_ = nullptr;
  Active_ = false;
  StreamCloseFailure_ = 0;
  DiscardPendingException();
}

void TVaultStorage::CloseChecked() {
  if (!Active_) return;
  EngineResult result = StreamCloseFailure_;
  StreamCloseFailure_ = 0;
  if (Handle_ != nullptr) {
    const EngineResult flushed = StorageFlush(Handle_);
    if (result == 0) result = flushed;
    const EngineResult closed = StorageClose(Handle_);
    if (result == 0) result = closed;
  }
  Handle_ = nullptr;
  Active_ = false;
  std::exception_ptr pending = PendingException_;
  DiscardPendingException();
  if (pending) std::rethrow_exception(pending);
  CheckResult(result);
}

void TVaultStorage::ReopenFile() {
  CheckActive();
  if (HasFileEvents()) {
    Call(StorageReopenFileCB(Handle_, FileName_, this, FileCallbacks()));
  } else {
    Call(StorageReopenFile(Handle_, FileName_));
  }
}

// ---------------------------------------------------------------------------
// Whole-container operations

bool TVaultStorage::IsCorrupted() {
  bool corrupted = false;
  if (Active_) {
    Call(StorageGetCorrupted(Handle_, corrupted));
  } else {
    std::uint32_t volumeId = 0;
    std::uint32_t pageSize = 0;
    Call(StorageGetInfo(FileName_, corrupted, volumeId, pageSize, nullptr, 0));
  }
  return corrupted;
}

std::uint32_t TVaultStorage::GetMaxPageCount() {
  CheckActive();
  std::uint32_t pages = 0;
  Call(StorageGetMaxPageCount(Handle_, pages));
  return pages;
}

void TVaultStorage::SetMaxPageCount(std::uint32_t pages) {
  CheckActive();
  Call(StorageSetMaxPageCount(Handle_, pages));
}

TDateTime TVaultStorage::GetLastAccessTime() {
  if (!Active_) return 0;
  StorageTime time = 0;
  Call(StorageGetLastAccessTime(Handle_, time));
  return time;
}

TDateTime TVaultStorage::GetLastModificationTime() {
  if (!Active_) return 0;
  StorageTime time = 0;
  Call(StorageGetLastModificationTime(Handle_, time));
  return time;
}

std::int64_t TVaultStorage::GetStorageSize() {
  CheckActive();
  bool fixedSize = false;
  std::uint64_t size = 0;
  Call(StorageGetSizes(Handle_, &fixedSize, &size, nullptr));
  FixedSize_ = fixedSize;
  return static_cast<std::int64_t>(size);
}

void TVaultStorage::SetStorageSize(std::int64_t size) {
  CheckActive();
  // A negative size would reach the engine as an enormous one.
  if (size < 0) CheckResult(errInvalidParameter);
  Call(StorageSetSize(Handle_, static_cast<std::uint64_t>(size), this,
                      &VaultStorageCallbacks::Progress));
}

TVaultEncryption TVaultStorage::GetStorageEncryption() {
  CheckActive();
  std::uint32_t mode = 0;
  Call(StorageGetEncryption(Handle_, mode));
  return mode;
}

void TVaultStorage::SupplyStoragePassword(const std::u16string& password) {
  CheckActive();
  const PasswordBytes bytes(password);
  Call(StorageSupplyPassword(Handle_, bytes.data(), bytes.size()));
}

void TVaultStorage::ChangeStorageEncryption(TVaultEncryption encryption,
                                            const std::u16string& oldPassword,
                                            const std::u16string& newPassword) {
  CheckActive();
  const PasswordBytes oldBytes(oldPassword);
  const PasswordBytes newBytes(newPassword);
  Call(StorageSetEncryption(Handle_, encryption, oldBytes.data(), oldBytes.size(), newBytes.data(),
                            newBytes.size()));
  StorageEncryption_ = encryption;
  if (&newPassword != &StoragePassword_) {
    WipeText(StoragePassword_);
    StoragePassword_ = newPassword;
  }
}

bool TVaultStorage::IsValidStorage() {
  EngineResult result = 0;
  if (HasFileEvents()) {
    CheckFileEvents();
    result = StorageIsValidCB(FileName_, this, FileCallbacks());
  } else {
    result = StorageIsValid(FileName_);
  }
  if (result == errInvalidStorageFile) {
    Call(0);
    return false;
  }
  Call(result);
  return true;
}

void TVaultStorage::CheckAndRepair(std::uint32_t flags) {
  CheckInactive();
  std::int32_t attempt = 0;
  bool cancel = false;
  std::u16string password = StoragePassword_;
  const WipeOnExit wipePassword(password);
  const bool fileEvents = HasFileEvents();
  const bool cryptEvents = HasCryptEvents();
  const bool compressEvents = HasCompressEvents();
  for (;;) {
    try {
      const PasswordBytes bytes(password);
      EngineResult result = 0;
      if (fileEvents || cryptEvents || compressEvents) {
        if (fileEvents) CheckFileEvents();
        if (cryptEvents) CheckCryptEvents();
        if (compressEvents) CheckCompressEvents();
        result = StorageCheckAndRepairEx(
            FileName_, PageSize_, flags, bytes.data(), bytes.size(), this,
            &VaultStorageCallbacks::Progress, fileEvents, this, FileCallbacks(), this,
            &VaultStorageCallbacks::HashCalculate, &VaultStorageCallbacks::HashValidate,
            &VaultStorageCallbacks::Encrypt, &VaultStorageCallbacks::Decrypt, this,
            &VaultStorageCallbacks::Compress, &VaultStorageCallbacks::Decompress);
      } else {
        result = StorageCheckAndRepair(FileName_, PageSize_, flags, bytes.data(), bytes.size(),
                                       this, &VaultStorageCallbacks::Progress);
      }
      Call(result);
      return;
    } catch (const EVaultError& error) {
      if (error.ErrorCode != errInvalidPassword || !OnPasswordNeeded_) throw;
      OnPasswordNeeded_(*this, FileName_, attempt, password, cancel);
      ++attempt;
      if (cancel) throw;
    }
  }
}

void TVaultStorage::Format(std::int64_t size, std::uint32_t flags) {
  CheckInactive();
  if (size < 0) CheckResult(errInvalidParameter);
  const auto bytes = static_cast<std::uint64_t>(size);
  if (HasFileEvents()) {
    CheckFileEvents();
    Call(StorageFormatCB(FileName_, bytes, PageSize_, Logo_, flags, this,
                         &VaultStorageCallbacks::Progress, this, FileCallbacks()));
  } else {
    Call(StorageFormat(FileName_, bytes, PageSize_, Logo_, flags, this,
                       &VaultStorageCallbacks::Progress));
  }
  if (StoragePassword_.empty()) return;
  // Format is an operation on a closed container: it is left closed whatever
  // happens while the new container is being encrypted.
  try {
    Open(2);
    ChangeStorageEncryption(StorageEncryption_, std::u16string(), StoragePassword_);
  } catch (...) {
    Close();
    throw;
  }
  Close();
}

bool TVaultStorage::Compact() {
  CheckActive();
  bool completed = false;
  Call(StorageCompact(Handle_, completed));
  return completed;
}

std::unique_ptr<TVaultStream> TVaultStorage::OpenRootStream() {
  CheckActive();
  // The stream exists before the handle does, so the handle cannot leak.
  auto stream = std::make_unique<TVaultStream>(nullptr, this);
  Call(StorageOpenRootFile(Handle_, stream->Handle));
  return stream;
}

std::int64_t TVaultStorage::GetFreeSpace() {
  CheckActive();
  bool fixedSize = false;
  std::uint64_t freeSpace = 0;
  Call(StorageGetSizes(Handle_, &fixedSize, nullptr, &freeSpace));
  FixedSize_ = fixedSize;
  return static_cast<std::int64_t>(freeSpace);
}

// ---------------------------------------------------------------------------
// Paths

bool TVaultStorage::FileExists(const std::u16string& path) {
  CheckActive();
  bool exists = false;
  Call(StorageFileExists(Handle_, path, exists));
  return exists;
}

void TVaultStorage::DeleteFile(const std::u16string& path) {
  CheckActive();
  Call(StorageDeleteFile(Handle_, path));
}

void TVaultStorage::MoveFile(const std::u16string& oldPath, const std::u16string& newPath) {
  CheckActive();
  Call(StorageMoveFile(Handle_, oldPath, newPath));
}

void TVaultStorage::MoveFileReplace(const std::u16string& oldPath, const std::u16string& newPath) {
  CheckActive();
  Call(StorageMoveFileReplace(Handle_, oldPath, newPath));
}

bool TVaultStorage::FindFirst(TVaultSearchRec& search, const std::u16string& mask,
                              std::uint32_t attributes) {
  return FindFirstEx(search, mask, attributes, kDefaultSearchFlags);
}

bool TVaultStorage::FindFirstEx(TVaultSearchRec& search, const std::u16string& mask,
                                std::uint32_t attributes, std::uint32_t flags) {
  CheckActive();
  const EngineResult result = StorageFindFirstEx(Handle_, mask, search, attributes, flags);
  if (result == errNoMoreFiles) {
    Call(0);
    return false;
  }
  Call(result);
  ConvertSearchTimes(search);
  return true;
}

bool TVaultStorage::FindNext(TVaultSearchRec& search) {
  CheckActive();
  const EngineResult result = StorageFindNext(search);
  if (result == errNoMoreFiles) {
    Call(0);
    return false;
  }
  Call(result);
  ConvertSearchTimes(search);
  return true;
}

void TVaultStorage::FindClose(TVaultSearchRec& search) {
  CheckActive();
  Call(StorageFindClose(search));
}

void TVaultStorage::CreateDirectory(const std::u16string& path) {
  CheckActive();
  Call(StorageCreateDirectory(Handle_, path));
}

void TVaultStorage::ForceCreateDirectories(const std::u16string& path) {
  CheckActive();
  Call(StorageForceCreateDirectories(Handle_, path));
}

void TVaultStorage::RemoveDirectory(const std::u16string& path) {
  CheckActive();
  Call(StorageRemoveDirectory(Handle_, path));
}

TDateTime TVaultStorage::GetFileCreationTime(const std::u16string& path) {
  CheckActive();
  StorageTime time = 0;
  Call(StorageGetFileCreationTime(Handle_, path, time));
  return UtcToLocal(time);
}

void TVaultStorage::SetFileCreationTime(const std::u16string& path, TDateTime time) {
  CheckActive();
  Call(StorageSetFileCreationTime(Handle_, path, LocalToUtc(time)));
}

TDateTime TVaultStorage::GetFileModificationTime(const std::u16string& path) {
  CheckActive();
  StorageTime time = 0;
  Call(StorageGetFileModificationTime(Handle_, path, time));
  return UtcToLocal(time);
}

void TVaultStorage::SetFileModificationTime(const std::u16string& path, TDateTime time) {
  CheckActive();
  Call(StorageSetFileModificationTime(Handle_, path, LocalToUtc(time)));
}

TDateTime TVaultStorage::GetFileLastAccessTime(const std::u16string& path) {
  CheckActive();
  StorageTime time = 0;
  Call(StorageGetFileLastAccessTime(Handle_, path, time));
  return UtcToLocal(time);
}

void TVaultStorage::SetFileLastAccessTime(const std::u16string& path, TDateTime time) {
  CheckActive();
  Call(StorageSetFileLastAccessTime(Handle_, path, LocalToUtc(time)));
}

void TVaultStorage::SetFileTag(const std::u16string& path, std::uint16_t tagId, const void* data,
                               std::uint32_t size) {
  CheckActive();
  Call(StorageSetFileTag(Handle_, path, tagId, data, size));
}

std::uint32_t TVaultStorage::GetFileTagSize(const std::u16string& path, std::uint16_t tagId,
                                            bool& exists) {
  CheckActive();
  bool present = false;
  std::uint32_t size = 0;
  Call(StorageGetFileTagSize(Handle_, path, tagId, present, size));
  exists = present;
  return present ? size : 0;
}

std::uint32_t TVaultStorage::GetFileTag(const std::u16string& path, std::uint16_t tagId,
                                        void* buffer, std::uint32_t bufferSize) {
  CheckActive();
  std::uint32_t size = bufferSize;
  const EngineResult result = StorageGetFileTag(Handle_, path, tagId, buffer, size);
  // A short buffer is an answer, not a failure: the size tells what is needed.
  Call(result == errBufferTooSmall ? 0 : result);
  return size;
}

void TVaultStorage::DeleteFileTag(const std::u16string& path, std::uint16_t tagId) {
  CheckActive();
  Call(StorageDeleteFileTag(Handle_, path, tagId));
}

TVaultEncryption TVaultStorage::GetFileEncryption(const std::u16string& path) {
  CheckActive();
  std::uint32_t mode = 0;
  Call(StorageGetFileEncryption(Handle_, path, mode));
  return mode;
}

void TVaultStorage::SetFileEncryption(const std::u16string& path, TVaultEncryption encryption,
                                      const std::u16string& oldPassword,
                                      const std::u16string& newPassword) {
  CheckActive();
  const PasswordBytes oldBytes(oldPassword);
  const PasswordBytes newBytes(newPassword);
  Call(StorageSetFileEncryption(Handle_, path, encryption, oldBytes.data(), oldBytes.size(),
                                newBytes.data(), newBytes.size()));
}

bool TVaultStorage::CheckFilePassword(const std::u16string& path, const std::u16string& password,
                                      bool anyMode, TVaultEncryption encryption) {
  CheckActive();
  const PasswordBytes bytes(password);
  bool valid = false;
  Call(StorageCheckFilePassword(Handle_, path, encryption, anyMode, bytes.data(), bytes.size(),
                                valid));
  return valid;
}

void TVaultStorage::SupplyFilePassword(const std::u16string& path, const std::u16string& password) {
  CheckActive();
  const PasswordBytes bytes(password);
  Call(StorageSupplyFilePassword(Handle_, path, bytes.data(), bytes.size()));
}

TVaultCompression TVaultStorage::GetFileCompression(const std::u16string& path,
                                                    TVaultCompression& compression,
                                                    std::uint32_t& level,
                                                    std::uint32_t& blockSetting) {
  CheckActive();
  std::uint32_t mode = 0;
  Call(StorageGetFileCompression(Handle_, path, mode, level, blockSetting));
  compression = static_cast<TVaultCompression>(mode);
  return compression;
}

void TVaultStorage::SetFileCompression(const std::u16string& path, TVaultCompression compression,
                                       std::uint32_t level, std::uint16_t blockSetting,
                                       const std::u16string& password) {
  CheckActive();
  const PasswordBytes bytes(password);
  Call(StorageSetFileCompression(Handle_, path, compression, level, blockSetting, bytes.data(),
                                 bytes.size()));
}

void TVaultStorage::GetFileAttributes(const std::u16string& path, std::uint32_t& attributes) {
  CheckActive();
  Call(StorageGetFileAttributes(Handle_, path, attributes));
}

void TVaultStorage::SetFileAttributes(const std::u16string& path, std::uint32_t attributes) {
  CheckActive();
  Call(StorageSetFileAttributes(Handle_, path, attributes));
}

void TVaultStorage::CreateLink(const std::u16string& linkPath, const std::u16string& targetPath) {
  CheckActive();
  Call(StorageCreateLink(Handle_, linkPath, targetPath));
}

void TVaultStorage::ReadLink(const std::u16string& path, std::u16string& destination) {
  CheckActive();
  constexpr std::uint32_t kFirstTryBytes = 1024;
  std::array<char16_t, kFirstTryBytes / 2> first{};
  std::uint32_t length = kFirstTryBytes;
  EngineResult result = StorageGetLinkDestination(Handle_, path, first.data(), length);
  if (result != errBufferTooSmall) {
    Call(result);
    destination = TextOf(first.data(), std::min<std::size_t>(length / 2, first.size()));
    return;
  }
  Call(0);
  // Longer than the first buffer: ask again with the size reported (bytes).
  std::u16string buffer((static_cast<std::size_t>(length) + 1) / 2, u'\0');
  length = static_cast<std::uint32_t>(buffer.size() * 2);
  result = StorageGetLinkDestination(Handle_, path, buffer.data(), length);
  Call(result);
  destination = TextOf(buffer.data(), std::min<std::size_t>(length / 2, buffer.size()));
}

void TVaultStorage::ResolveLink(const std::u16string& path, std::u16string& fullPath) {
  CheckActive();
  std::uint32_t length = 0;
  EngineResult result = StorageResolveLink(Handle_, path, nullptr, length);
  if (result != errBufferTooSmall) {
    Call(result);
    fullPath.clear();
    return;
  }
  Call(0);
  std::u16string buffer(length, u'\0');
  result = StorageResolveLink(Handle_, path, buffer.data(), length);
  Call(result);
  fullPath = TextOf(buffer.data(), std::min<std::size_t>(length, buffer.size()));
}

}  // namespace vaultfs
