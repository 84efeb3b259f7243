#include "vaultfs/vault_stream.h"

#include "vaultfs/format/object_layout.h"
#include "vaultfs/password_bytes.h"
#include "vaultfs/vault_storage.h"

namespace vaultfs {
namespace {

TVaultStorage& VaultStorageOf(TBaseVaultStorage& storage) {
  auto* vault = dynamic_cast<TVaultStorage*>(&storage);
  if (vault == nullptr) CheckResult(errInvalidParameter);
  return *vault;
}

}  // namespace

// ---------------------------------------------------------------------------
// TStream

void TStream::ReadBuffer(void* buffer, std::int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

std::int64_t TStream::Size() {
  const std::int64_t position = Seek(0, soFromCurrent);
  const std::int64_t size = Seek(0, soFromEnd);
  Seek(position, soFromBeginning);
  return size;
}

// ---------------------------------------------------------------------------
// ResolveFilePassword

bool ResolveFilePassword(TVaultStorage& storage, const std::u16string& path,
                         std::u16string& password, TVaultEncryption& encryption) {
  bool cancel = false;
  // A missing file is left to the open, which reports it.
  if (!storage.FileExists(path)) return true;
  std::u16string target = path;
  std::uint32_t attributes = 0;
  storage.GetFileAttributes(path, attributes);
  if ((attributes & attrSymLink) != 0) storage.ResolveLink(path, target);
  encryption = storage.GetFileEncryption(target);
  if (encryption == ecNoEncryption) return true;
  for (std::int32_t attempt = 0;; ++attempt) {
    bool valid = false;
    try {
      valid = storage.CheckFilePassword(target, password, false, encryption);
    } catch (const EVaultError& error) {
      if (error.ErrorCode != errInvalidPassword) throw;
    }
    if (valid || !storage.OnPasswordNeeded()) break;
    storage.OnPasswordNeeded()(storage, target, attempt, password, cancel);
    if (cancel) break;
  }
  return !cancel;
}

// ---------------------------------------------------------------------------
// TVaultStream

TVaultStream::TVaultStream(TBaseVaultStorage& storage, const std::u16string& fileName,
                           std::uint16_t mode) {
  TVaultStorage& vault = VaultStorageOf(storage);
  Storage = &vault;
  std::u16string password = vault.FilesPassword();
  const WipeOnExit wipePassword(password);
  TVaultEncryption encryption = vault.FilesEncryption();

  const bool create = mode == fmCreate;
  const bool read = true;
  bool write = true;
  bool denyRead = false;
  bool denyWrite = true;
  if (!create) {
    write = (mode & (fmOpenWrite | fmOpenReadWrite)) != 0;
    denyRead = (mode & fmShareExclusive) != 0;
    denyWrite = (mode & (fmShareExclusive | fmShareDenyWrite)) != 0;
  }

  const PasswordBytes bytes(password);
  FileHandle* handle = nullptr;
  EngineResult result = 0;
  if (!create) {
    // The open checks the password itself: most opens have the right one
    // (the storage's), and only a refusal takes the long way through the
    // file's settings (a link resolved, the holder asked for another).
    result = StorageOpenFile(vault.Handle(), fileName, read, write, denyRead, denyWrite,
                             bytes.data(), bytes.size(), handle);
    if (result == errInvalidPassword && handle == nullptr && !vault.PendingException_) {
      ResolveFilePassword(vault, fileName, password, encryption);
      const PasswordBytes asked(password);
      result = StorageOpenFile(vault.Handle(), fileName, read, write, denyRead, denyWrite,
                               asked.data(), asked.size(), handle);
    }
  } else if (vault.Compression() == crNoCompression) {
    // An existing file is reused and emptied; it keeps its own settings.
    result = StorageCreateFile(vault.Handle(), fileName, read, write, denyRead, denyWrite,
                               encryption, bytes.data(), bytes.size(), handle, true, true);
  } else {
    result = StorageCreateFileCompressed(
        vault.Handle(), fileName, read, write, denyRead, denyWrite, encryption, bytes.data(),
        bytes.size(), vault.Compression(), vault.CompressionLevel(), 0, handle, true, true);
  }
  if (handle != nullptr && (result != 0 || vault.PendingException_)) {
    [[maybe_unused]] const EngineResult ignored = StorageCloseFile(handle);
    handle = nullptr;
  }
  vault.Call(result);
  Handle = handle;
}

TVaultStream::TVaultStream(TBaseVaultStorage& storage, const std::u16string& fileName,
                           bool createNew, bool read, bool write, bool denyRead, bool denyWrite,
                           const std::u16string& password, TVaultEncryption encryption,
                           TVaultCompression compression, std::uint32_t compressionLevel,
                           std::uint16_t blockSetting) {
  TVaultStorage& vault = VaultStorageOf(storage);
  Storage = &vault;
  std::u16string filePassword = password;
  const WipeOnExit wipePassword(filePassword);
  if (!createNew) ResolveFilePassword(vault, fileName, filePassword, encryption);

  const PasswordBytes bytes(filePassword);
  FileHandle* handle = nullptr;
  EngineResult result = 0;
  if (compression == crNoCompression) {
    result =
        StorageCreateFile(vault.Handle(), fileName, read, write, denyRead, denyWrite, encryption,
                          bytes.data(), bytes.size(), handle, !createNew, createNew);
  } else {
    result = StorageCreateFileCompressed(
        vault.Handle(), fileName, read, write, denyRead, denyWrite, encryption, bytes.data(),
        bytes.size(), compression, compressionLevel, blockSetting, handle, !createNew, createNew);
  }
  if (handle != nullptr && (result != 0 || vault.PendingException_)) {
    [[maybe_unused]] const EngineResult ignored = StorageCloseFile(handle);
    handle = nullptr;
  }
  vault.Call(result);
  Handle = handle;
}

TVaultStream::~TVaultStream() {
  if (Handle != nullptr) {
    // Closing a file written with transactions commits it: a failure here
    // means the file is not in the container, which its storage's
    // CloseChecked must still report.
    const EngineResult closed = StorageCloseFile(Handle);
    if (closed != 0 && Storage != nullptr) Storage->NoteStreamCloseFailure(closed);
    Handle = nullptr;
  }
  // Closing never raises, whatever an event handler did meanwhile.
  if (Storage != nullptr) Storage->DiscardPendingException();
}

void TVaultStream::Check(EngineResult result) {
  if (Storage != nullptr) {
    Storage->Call(result);
  } else {
    CheckResult(result);
  }
}

void TVaultStream::SetSize(std::int64_t newSize) {
  SetSize64(newSize);
}

std::int32_t TVaultStream::Read(void* buffer, std::int32_t count) {
  if (count < 0) CheckResult(errInvalidParameter);
  std::uint32_t done = 0;
  const EngineResult result = StorageRead(Handle, buffer, static_cast<std::uint32_t>(count), done);
  // Nothing left to read is the end of the stream, not a failure.
  if (result == errSeekBeyondEOF) {
    Check(0);
    return 0;
  }
  Check(result);
  return static_cast<std::int32_t>(done);
}

std::int32_t TVaultStream::Write(const void* buffer, std::int32_t count) {
  if (count < 0) CheckResult(errInvalidParameter);
  std::uint32_t done = 0;
  Check(StorageWrite(Handle, buffer, static_cast<std::uint32_t>(count), done));
  return static_cast<std::int32_t>(done);
}

std::int64_t TVaultStream::Seek(std::int64_t offset, std::uint16_t origin) {
  return Seek64(offset, origin);
}

std::int64_t TVaultStream::GetPosition64() {
  std::uint64_t position = 0;
  Check(StorageGetPosition(Handle, position));
  return static_cast<std::int64_t>(position);
}

std::int64_t TVaultStream::GetSize64() {
  std::uint64_t size = 0;
  Check(StorageGetFileSize(Handle, size));
  return static_cast<std::int64_t>(size);
}

void TVaultStream::SetPosition64(std::int64_t position) {
  Seek64(position, soFromBeginning);
}

void TVaultStream::SetSize64(std::int64_t newSize) {
  // A negative size would reach the engine as an enormous one.
  if (newSize < 0) CheckResult(errInvalidParameter);
  Check(StorageSetFileSize64(Handle, static_cast<std::uint64_t>(newSize)));
}

void TVaultStream::Flush() {
  // Bit 0: only confirm that the handle is still valid.
  Check(StorageFlushFile(Handle, 1));
}

std::int64_t TVaultStream::Seek64(std::int64_t offset, std::uint16_t origin) {
  std::uint64_t position = 0;
  Check(StorageSeek64(Handle, offset, origin, position));
  return static_cast<std::int64_t>(position);
}

std::int32_t TVaultStream::ReadAt(std::int64_t offset, void* buffer, std::int32_t count) {
  if (offset < 0 || count < 0) CheckResult(errInvalidParameter);
  std::uint32_t done = 0;
  const EngineResult result = StorageReadAt(Handle, static_cast<std::uint64_t>(offset), buffer,
                                            static_cast<std::uint32_t>(count), done);
  if (result == errSeekBeyondEOF) {
    Check(0);
    return 0;
  }
  Check(result);
  return static_cast<std::int32_t>(done);
}

std::int32_t TVaultStream::WriteAt(std::int64_t offset, const void* buffer, std::int32_t count) {
  if (offset < 0 || count < 0) CheckResult(errInvalidParameter);
  std::uint32_t done = 0;
  Check(StorageWriteAt(Handle, static_cast<std::uint64_t>(offset), buffer,
                       static_cast<std::uint32_t>(count), done));
  return static_cast<std::int32_t>(done);
}

}  // namespace vaultfs
