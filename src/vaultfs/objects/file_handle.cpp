// Open files: handles with their access and sharing rules, the private
// transaction they work in, the per-file password and cipher state, the
// compression and encryption settings, and whole-stream access without a
// handle.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "vaultfs/objects/file_data_state.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/records.h"

namespace vaultfs {

using namespace layout;

namespace {

// rkFileEncryption data: u32 mode, then the check value for modes 1 to 3.
constexpr std::uint32_t kEncryptionMode = 0;
constexpr std::uint32_t kEncryptionCheck = 4;
constexpr std::uint32_t kEncryptionRecordSize = kEncryptionCheck + kCheckValueSize;
// Any stored encryption mode is accepted.
constexpr std::int64_t kAnyMode = -1;
// FlushHandle flag: flush nothing.
constexpr std::uint32_t kFlushNothing = 0x1;

void Keep(EngineResult& first, EngineResult r) {
  if (first == 0) first = r;
}

EngineResult Corrupted(Volume& volume) {
  volume.MarkCorrupted();
  return errStorageCorrupted;
}

const CustomCipherCallbacks* CipherEvents(const FileObject& object) {
  return static_cast<const CustomCipherCallbacks*>(object.store.CustomCipher);
}

// No new handle may open while settings change under it.
class DenyEveryone {
 public:
  explicit DenyEveryone(FileDataState& state) : state_(state) {
    ++state_.DenyReadCount;
    ++state_.DenyWriteCount;
  }
  ~DenyEveryone() {
    --state_.DenyReadCount;
    --state_.DenyWriteCount;
  }
  DenyEveryone(const DenyEveryone&) = delete;
  DenyEveryone& operator=(const DenyEveryone&) = delete;

 private:
  FileDataState& state_;
};

void WipeCiphers(FileDataState& s) {
  s.ReadCipher.Clear();
  s.WriteCipher.Clear();
  s.CipherReady = false;
}

// Forgets the settings of an object nobody has open, so the next user
// loads them from its records again.
void ForgetSettings(FileObject& object) {
  FileDataState& s = *object.Data;
  if (!s.Handles.empty()) return;
  WipeCiphers(s);
  s.SettingsReady = false;
  object.Flags &= ~ofPasswordSupplied;
}

EngineResult MakeCipher(FileObject& object, std::uint32_t mode,
                        std::span<const std::uint8_t> password, std::uint32_t variant,
                        FileCipher& cipher) {
  cipher.Clear();
  cipher.Mode = NormalizeEncryption(mode);
  if (cipher.Mode == ecNoEncryption) return 0;
  cipher.Password.Assign(password);
  cipher.Variant = variant;
  ObjectStore& store = object.store;
  const CustomCipherCallbacks* const events = CipherEvents(object);
  const auto sameKey = [&](const std::shared_ptr<PageCipher>& key) {
    return key && key->Mode() == cipher.Mode && key->KeyVariant() == variant &&
           key->Callbacks() == events && key->Password().Equals(password);
  };
  {
    std::scoped_lock lock(store.CipherCacheLock);
    auto& cache = store.CipherCache;
    const auto found = std::find_if(cache.begin(), cache.end(), sameKey);
    if (found != cache.end()) {
      cipher.Key = *found;
      std::rotate(cache.begin(), found, found + 1);
      return 0;
    }
  }
  const EngineResult r = PageCipher::Create(cipher.Mode, password, variant, events, cipher.Key);
  if (r != 0) return r;
  std::scoped_lock lock(store.CipherCacheLock);
  auto& cache = store.CipherCache;
  std::rotate(cache.begin(), cache.end() - 1, cache.end());
  cache.front() = cipher.Key;
  return 0;
}

// The stored encryption mode and, for modes 1 to 3, the check value.
EngineResult ReadEncryptionRecord(FileObject& object, Transaction* t, bool& present,
                                  std::uint32_t& mode, CheckValueBytes& check) {
  present = false;
  mode = ecNoEncryption;
  RecordRef record;
  EngineResult r = FindRecord(object, rkFileEncryption, 0, false, t, record);
  if (r != 0 || !record) return r;
  const std::uint32_t length = record.Length() - kRecordHeadSize;
  if (length < kEncryptionCheck) return Corrupted(object.volume);
  present = true;
  mode = NormalizeEncryption(LoadU32(record.data() + kEncryptionMode));
  if (mode != ecNoEncryption) {
    if (length < kEncryptionRecordSize) return Corrupted(object.volume);
    std::memcpy(check.data(), record.data() + kEncryptionCheck, kCheckValueSize);
  }
  return 0;
}

// Checks a password for a requested mode (kAnyMode: whatever the file has).
EngineResult CheckFilePassword(FileObject& object, Transaction* t, std::int64_t requested,
                               std::span<const std::uint8_t> password, bool& valid,
                               std::uint32_t& storedMode, std::uint32_t& variant) {
  valid = false;
  variant = 0;
  bool present = false;
  CheckValueBytes check{};
  EngineResult r = ReadEncryptionRecord(object, t, present, storedMode, check);
  if (r != 0) return r;
  if (!present) {
    valid = requested == kAnyMode || requested == ecNoEncryption;
    return 0;
  }
  if (requested != kAnyMode && requested != storedMode) return 0;
  if (storedMode == ecNoEncryption) {
    valid = true;
    return 0;
  }
  r = CheckPassword(storedMode, password, check, object.volume.TweakWord(object.ObjectId()),
                    CipherEvents(object), valid, variant);
  if (r == errStorageCorrupted) object.volume.MarkCorrupted();
  return r;
}

// Sets the object's keys from a checked password. With handles open the
// object already has its key, and a different one is refused.
EngineResult SetupCipher(FileObject& object, Transaction* t, std::uint32_t mode,
                         std::span<const std::uint8_t> password, std::uint32_t variant) {
  FileDataState& s = DataState(object);
  if (!s.SettingsReady || s.Handles.empty()) {
    EngineResult r = LoadCompressionSettings(object, t);
    if (r != 0) return r;
  }
  mode = NormalizeEncryption(mode);
  if (s.CipherReady && !s.Handles.empty()) {
    const bool same = s.ReadCipher.Mode == mode &&
                      (mode == ecNoEncryption || s.ReadCipher.Password.Equals(password));
    return same ? 0 : errInvalidPassword;
  }
  FileCipher cipher;
  EngineResult r = MakeCipher(object, mode, password, variant, cipher);
  if (r != 0) return r;
  s.ReadCipher = cipher;
  s.WriteCipher = std::move(cipher);
  s.CipherReady = true;
  return 0;
}

EngineResult EnsurePrivateTransaction(FileObject& object) {
  bool begun = false;
  return BeginIfNone(object, begun);
}

// After a failed handle operation: a full storage, or a structure left
// half-changed, costs what was written since the last commit, and the handle
// goes on with a fresh transaction.
EngineResult Recover(FileObject& object, EngineResult r) {
  if (r == 0) return 0;
  FileDataState& s = *object.Data;
  if (r != errStorageFull && !s.Damaged) return r;
  EngineResult ignored = RollbackObjectTransaction(object, r);
  (void)ignored;
  s.Damaged = false;
  if (!s.Handles.empty()) {
    ignored = BeginObjectTransaction(object);
    (void)ignored;
  }
  return r;
}

// Stores what the handles hold and commits the private transaction when it
// holds anything, beginning the next one.
EngineResult FlushObject(FileObject& object, FileHandle* handle) {
  FileDataState& s = *object.Data;
  EngineResult r = EnsurePrivateTransaction(object);
  if (r != 0) return r;
  Transaction* t = object.PrivateTransaction;
  if (handle) r = ReleaseBuffer(object, t, handle->Buffer);
  if (r == 0) r = StoreDirtyBuffers(object, t);
  if (r == 0 && s.Damaged) r = errStorageCorrupted;
  if (r != 0) return Recover(object, r);
  if (object.PrivateTransaction->pageCount > 0) {
    r = CommitObjectTransaction(object);
    Keep(r, BeginObjectTransaction(object));
  }
  // The flag says whether the file changed since the last flush.
  if (r == 0 && handle && (object.Flags & ofChanged))
    NotifyChange(object, cnDataChanged, handle->Path);
  object.Flags &= ~ofChanged;
  return r;
}

// Takes the handle off its object's list and the volume's.
void ForgetHandle(FileHandle* handle) {
  FileObject* object = handle->Object;
  if (!object) return;
  auto& list = object->Data->Handles;
  list.erase(std::remove(list.begin(), list.end(), handle), list.end());
  MutexLock lock(object->volume.HandleLock);
  auto& all = object->store.Handles;
  all.erase(std::remove(all.begin(), all.end(), handle), all.end());
}

EngineResult CheckHandle(FileHandle* handle) {
  if (!handle) return errInvalidHandle;
  return handle->Object ? 0 : errHandleClosed;
}

// Settings for reading or writing a stream without a handle: those of an
// open handle or a supplied password when there is one, otherwise the
// object's records with no key (an encrypted stream needs its password).
class StreamSettings {
 public:
  explicit StreamSettings(FileObject& object) : object_(object) {}
  ~StreamSettings() {
    if (temporary_) ForgetSettings(object_);
  }
  StreamSettings(const StreamSettings&) = delete;
  StreamSettings& operator=(const StreamSettings&) = delete;

  EngineResult Prepare(Transaction* t) {
    FileDataState& s = DataState(object_);
    if (s.SettingsReady && s.CipherReady) return 0;
    temporary_ = s.Handles.empty();
    std::uint32_t mode = 0;
    CheckValueBytes check{};
    bool present = false;
    EngineResult r = ReadEncryptionRecord(object_, t, present, mode, check);
    if (r != 0) return r;
    if (!s.CipherReady) {
      if (mode != ecNoEncryption) return errInvalidPassword;
      WipeCiphers(s);
      s.CipherReady = true;
    }
    return s.SettingsReady ? 0 : LoadCompressionSettings(object_, t);
  }
  bool Temporary() const { return temporary_; }

 private:
  FileObject& object_;
  bool temporary_ = false;
};

}  // namespace

// ------------------------------------------------------------------ handles

EngineResult OpenHandle(FileObject& object, std::uint32_t tag, std::u16string_view path, bool read,
                        bool write, bool denyRead, bool denyWrite, std::int32_t cipherMode,
                        std::span<const std::uint8_t> password, FileHandle*& handle) {
  handle = nullptr;
  std::scoped_lock lock(object.Lock);
  FileDataState& s = DataState(object);
  Volume& volume = object.volume;
  if ((read && s.DenyReadCount > 0) || (write && s.DenyWriteCount > 0)) return errSharingViolation;
  if (write && object.Entry && (object.Entry->Attributes & attrReadOnly) != 0)
    return errAccessDenied;
  if (write && volume.ReadOnly) return errStorageReadOnly;

  // Counted at once, under the lock; taken back when the open fails.
  if (denyRead) ++s.DenyReadCount;
  if (denyWrite) ++s.DenyWriteCount;
  const bool supplied = object.Has(ofPasswordSupplied) && s.CipherReady;
  object.Flags &= ~ofPasswordSupplied;
  bool begun = false;
  auto fail = [&](EngineResult r) {
    if (denyRead) --s.DenyReadCount;
    if (denyWrite) --s.DenyWriteCount;
    if (supplied) object.Flags |= ofPasswordSupplied;
    if (begun) {
      EngineResult ignored = RollbackObjectTransaction(object, r);
      (void)ignored;
    }
    if (s.Handles.empty() && !supplied) ForgetSettings(object);
    return r;
  };

  std::uint32_t mode = 0, variant = 0;
  if (!supplied) {
    bool valid = false;
    const std::int64_t requested = cipherMode <= 0 ? kAnyMode : cipherMode;
    EngineResult r = CheckFilePassword(object, nullptr, requested, password, valid, mode, variant);
    if (r != 0) return fail(r);
    if (!valid) return fail(errInvalidPassword);
  }
  EngineResult r = BeginIfNone(object, begun);
  if (r != 0) return fail(r);
  if (!volume.ReadOnly) {
    r = EnsureStreamRecord(object, object.PrivateTransaction);
    if (r != 0) return fail(r);
  }
  if (s.Handles.empty() || !s.SettingsReady) {
    r = LoadCompressionSettings(object, nullptr);
    if (r != 0) return fail(r);
  }
  if (!supplied) {
    r = SetupCipher(object, nullptr, mode, password, variant);
    if (r != 0) return fail(r);
  }

  auto made = std::make_unique<FileHandle>();
  made->Object = &object;
  made->volume = &volume;
  made->Tag = tag;
  made->Path.assign(path);
  made->Read = read;
  made->Write = write;
  made->DenyRead = denyRead;
  made->DenyWrite = denyWrite;
  s.Handles.push_back(made.get());
  {
    MutexLock handles(volume.HandleLock);
    object.store.Handles.push_back(made.get());
  }
  handle = made.release();
  return 0;
}

EngineResult CloseHandle(FileHandle* handle, bool releaseChain) {
  if (!handle) return errInvalidHandle;
  FileObject* object = handle->Object;
  if (!object) {
    ForgetHandle(handle);
    delete handle;
    return 0;
  }
  object->Lock.lock();
  FileDataState& s = *object->Data;
  // A dirty block is stored inside the object's transaction, never outside one.
  EngineResult first = EnsurePrivateTransaction(*object);
  if (first == 0)
    first = ReleaseBuffer(*object, object->PrivateTransaction, handle->Buffer);
  else
    DropFileDataState(*object);  // what cannot be stored is given up
  if (handle->DenyRead) --s.DenyReadCount;
  if (handle->DenyWrite) --s.DenyWriteCount;
  ForgetHandle(handle);
  handle->Object = nullptr;
  if (s.Handles.empty()) {
    if (first == 0) first = StoreDirtyBuffers(*object, object->PrivateTransaction);
    ForgetSettings(*object);
    if (first == 0 && !s.Damaged) {
      first = CommitObjectTransaction(*object);
    } else {
      if (first == 0) first = errStorageCorrupted;
      EngineResult ignored = RollbackObjectTransaction(*object, first);
      (void)ignored;
      s.Damaged = false;
    }
    // Nobody has the file open any more: its spare block buffers go, so
    // that copying a tree holds buffers for the open files only, not for
    // every file it has passed.
    s.Spare.clear();
    s.Spare.shrink_to_fit();
  } else {
    first = Recover(*object, first);
  }
  if (first == 0 && (object->Flags & ofChanged)) NotifyChange(*object, cnDataChanged, handle->Path);
  object->Flags &= ~ofChanged;
  if (releaseChain)
    ReleaseChain(*object, true);
  else
    object->Lock.unlock();
  delete handle;
  return first;
}

EngineResult FlushHandle(FileHandle* handle, std::uint32_t flags) {
  EngineResult r = CheckHandle(handle);
  if (r != 0) return r;
  FileObject& object = *handle->Object;
  std::scoped_lock lock(object.Lock);
  if ((flags & kFlushNothing) != 0) return 0;
  return FlushObject(object, handle);
}

EngineResult Seek(FileHandle* handle, std::int64_t offset, int origin, std::uint64_t& position) {
  EngineResult r = CheckHandle(handle);
  if (r != 0) return r;
  FileObject& object = *handle->Object;
  std::scoped_lock lock(object.Lock);
  // The sum wraps; reads and writes check the position later.
  const std::uint64_t step = static_cast<std::uint64_t>(offset);
  switch (origin) {
    case 0:
      position = step;
      break;
    case 1:
      position = handle->Position + step;
      break;
    case 2: {
      std::uint64_t size = 0;
      r = GetObjectSize(object, nullptr, size);
      if (r != 0) return r;
      position = size + step;
      break;
    }
    default:
      position = 0;
      break;
  }
  handle->Position = position;
  return 0;
}

EngineResult GetSize(FileHandle* handle, std::uint64_t& size) {
  EngineResult r = CheckHandle(handle);
  if (r != 0) return r;
  FileObject& object = *handle->Object;
  std::scoped_lock lock(object.Lock);
  return GetObjectSize(object, nullptr, size);
}

EngineResult ReadData(FileHandle* handle, std::uint8_t* buffer, std::uint32_t count,
                      std::uint32_t& done) {
  done = 0;
  EngineResult r = CheckHandle(handle);
  if (r != 0) return r;
  if (!handle->Read) return errAccessDenied;
  if (!buffer && count != 0) return errInvalidParameter;
  FileObject& object = *handle->Object;
  std::scoped_lock lock(object.Lock);
  r = EnsurePrivateTransaction(object);
  if (r != 0) return r;
  Transaction* t = object.PrivateTransaction;
  r = TouchAccessed(object, t);
  if (r != 0) return Recover(object, r);
  std::uint64_t read = 0;
  r = ReadAt(object, t, handle->Buffer, handle->Position, buffer, count, read);
  done = static_cast<std::uint32_t>(read);
  handle->Position += read;
  return r == errSeekBeyondEOF ? r : Recover(object, r);
}

EngineResult WriteData(FileHandle* handle, const std::uint8_t* buffer, std::uint32_t count,
                       std::uint32_t& done) {
  done = 0;
  EngineResult r = CheckHandle(handle);
  if (r != 0) return r;
  if (!handle->Write) return errAccessDenied;
  if (count == 0) return 0;  // a null write changes nothing, not even the size
  if (!buffer) return errInvalidParameter;
  FileObject& object = *handle->Object;
  std::scoped_lock lock(object.Lock);
  r = EnsurePrivateTransaction(object);
  if (r != 0) return r;
  Transaction* t = object.PrivateTransaction;
  std::uint64_t written = 0;
  r = WriteAt(object, t, handle->Buffer, handle->Position, buffer, count, written);
  done = static_cast<std::uint32_t>(written);
  handle->Position += written;
  if (r != 0) return Recover(object, r);
  // The transaction may hold no more pages than the cache.
  if (object.PrivateTransaction && object.PrivateTransaction->pageCount >= kCacheLimit)
    r = FlushObject(object, handle);
  return r;
}

namespace {

EngineResult ResizeThroughHandle(FileHandle* handle, std::uint64_t size) {
  FileObject& object = *handle->Object;
  std::scoped_lock lock(object.Lock);
  bool begun = false;
  EngineResult r = BeginIfNone(object, begun);
  if (r != 0) return r;
  r = SetFileSize(object, object.PrivateTransaction, size, true, false);
  if (begun) {
    if (r == 0 && !object.Data->Damaged) return CommitObjectTransaction(object);
    EngineResult ignored = RollbackObjectTransaction(object, r);
    (void)ignored;
    object.Data->Damaged = false;
    return r;
  }
  return Recover(object, r);
}

}  // namespace

EngineResult SetEndOfFile(FileHandle* handle) {
  EngineResult r = CheckHandle(handle);
  if (r != 0) return r;
  if (!handle->Write) return errAccessDenied;
  return ResizeThroughHandle(handle, handle->Position);
}

EngineResult SetFileSizeByHandle(FileHandle* handle, std::uint64_t size) {
  EngineResult r = CheckHandle(handle);
  if (r != 0) return r;
  // Changing the size is writing: a handle without write access must not,
  // or a read-only file could be cut through a reading handle.
  if (!handle->Write) return errAccessDenied;
  return ResizeThroughHandle(handle, size);
}

EngineResult SupplyPassword(FileObject& object, std::span<const std::uint8_t> password) {
  std::scoped_lock lock(object.Lock);
  DataState(object);
  bool valid = false;
  std::uint32_t mode = 0, variant = 0;
  EngineResult r = CheckFilePassword(object, nullptr, kAnyMode, password, valid, mode, variant);
  if (r != 0) return r;
  if (!valid) return errInvalidPassword;
  r = SetupCipher(object, nullptr, mode, password, variant);
  if (r != 0) return r;
  object.Flags |= ofPasswordSupplied;
  return 0;
}

// ----------------------------------------------------------------- settings

EngineResult ReadEncryptionSetting(FileObject& object, Transaction* t, std::uint32_t& mode) {
  std::scoped_lock lock(object.Lock);
  bool present = false;
  CheckValueBytes check{};
  EngineResult r = ReadEncryptionRecord(object, t, present, mode, check);
  OPENSSL_cleanse(check.data(), check.size());
  return r;
}

EngineResult VerifyFilePassword(FileObject& object, Transaction* t,
                                std::span<const std::uint8_t> password, bool& valid) {
  std::scoped_lock lock(object.Lock);
  std::uint32_t mode = 0, variant = 0;
  return CheckFilePassword(object, t, kAnyMode, password, valid, mode, variant);
}

EngineResult ChangeFileEncryption(FileObject& object, Transaction* t, std::uint32_t newMode,
                                  std::span<const std::uint8_t> oldPassword,
                                  std::span<const std::uint8_t> newPassword,
                                  bool updateAttributes) {
  std::scoped_lock lock(object.Lock);
  FileDataState& s = DataState(object);
  newMode = NormalizeEncryption(newMode);
  EngineResult r = ValidateNewPassword(newMode, newPassword);
  if (r != 0) return r;
  DenyEveryone deny(s);

  bool present = false;
  std::uint32_t storedMode = 0, variant = 0;
  CheckValueBytes check{};
  r = ReadEncryptionRecord(object, t, present, storedMode, check);
  if (r != 0) return r;
  if (present && storedMode != ecNoEncryption) {
    bool valid = false;
    r = CheckPassword(storedMode, oldPassword, check, object.volume.TweakWord(object.ObjectId()),
                      CipherEvents(object), valid, variant);
    if (r == errStorageCorrupted) object.volume.MarkCorrupted();
    if (r != 0) return r;
    if (!valid) return errInvalidPassword;
  }
  if (newMode != ecNoEncryption || storedMode != ecNoEncryption) {
    // Blocks in memory were read with the old key: store them first.
    r = StoreDirtyBuffers(object, t);
    if (r == 0) r = SetupCipher(object, t, storedMode, oldPassword, variant);
    FileCipher next;
    if (r == 0) r = MakeCipher(object, newMode, newPassword, 0, next);
    if (r == 0) {
      s.WriteCipher = next;
      r = RewriteAll(object, t);
    }
    if (r == 0) {
      s.ReadCipher = std::move(next);
      std::uint8_t data[kEncryptionRecordSize] = {};
      StoreU32(data + kEncryptionMode, newMode);
      std::uint32_t size = kEncryptionCheck;
      if (newMode != ecNoEncryption) {
        CheckValueBytes value{};
        r = CheckValue(newMode, newPassword, 0, object.volume.TweakWord(object.ObjectId()),
                       CipherEvents(object), value);
        std::memcpy(data + kEncryptionCheck, value.data(), kCheckValueSize);
        OPENSSL_cleanse(value.data(), value.size());
        size = kEncryptionRecordSize;
      }
      if (r == 0) r = SetRecord(object, rkFileEncryption, data, size, t);
    }
    if (r != 0 && !s.Handles.empty()) {
      // The open handles keep their key.
      s.WriteCipher = s.ReadCipher;
    }
    ForgetSettings(object);
    if (r != 0) return r;
  }
  if (updateAttributes && object.Entry) {
    std::uint32_t attributes = object.Entry->Attributes;
    if (newMode != ecNoEncryption)
      attributes |= attrEncrypted;
    else
      attributes &= ~attrEncrypted;
    if (attributes != object.Entry->Attributes) r = SetAttributes(object, attributes, t);
  }
  return r;
}

EngineResult ReadCompressionSetting(FileObject& object, Transaction* t, std::uint32_t& mode,
                                    std::uint32_t& level, std::uint32_t& blockPages) {
  std::scoped_lock lock(object.Lock);
  mode = crNoCompression;
  level = 0;
  blockPages = 1;
  RecordRef record;
  EngineResult r = FindRecord(object, rkCompression, 0, false, t, record);
  if (r != 0 || !record) return r;
  CompressionSetting setting;
  r = LoadCompressionRecord(record.data(), record.Length() - kRecordHeadSize, setting);
  if (r == errStorageCorrupted) object.volume.MarkCorrupted();
  if (r != 0) return r;
  mode = setting.Mode;
  level = setting.Level;
  blockPages = setting.BlockPages;
  return 0;
}

EngineResult ChangeFileCompression(FileObject& object, Transaction* t, std::uint32_t mode,
                                   std::uint32_t level, std::uint32_t blockPages,
                                   bool updateAttributes) {
  return ChangeFileCompression(object, t, mode, level, blockPages, {}, updateAttributes);
}

EngineResult ChangeFileCompression(FileObject& object, Transaction* t, std::uint32_t mode,
                                   std::uint32_t level, std::uint32_t blockPages,
                                   std::span<const std::uint8_t> password, bool updateAttributes) {
  std::scoped_lock lock(object.Lock);
  FileDataState& s = DataState(object);
  Volume& volume = object.volume;
  if (blockPages > 0xFFFF) return errInvalidParameter;
  CompressionSetting wanted;
  EngineResult r = NormaliseCompression(mode, level, static_cast<std::uint16_t>(blockPages),
                                        volume.PageSize, wanted);
  if (r != 0) return r;
  DenyEveryone deny(s);

  std::uint32_t storedMode = 0, storedLevel = 0, storedPages = 1;
  r = ReadCompressionSetting(object, t, storedMode, storedLevel, storedPages);
  if (r != 0) return r;
  if (wanted.Mode != crNoCompression || storedMode != crNoCompression) {
    const bool root = object.StreamKind == rkRootData;
    if (!root) {
      // The data is rewritten, so the file's key is needed.
      r = StoreDirtyBuffers(object, t);
      bool valid = false;
      std::uint32_t cipherMode = 0, variant = 0;
      if (r == 0) {
        r = CheckFilePassword(object, t, kAnyMode, password, valid, cipherMode, variant);
        if (r == 0 && !valid) r = errInvalidPassword;
      }
      if (r == 0) r = SetupCipher(object, t, cipherMode, password, variant);
      if (r == 0 && s.ReadCompression != crNoCompression && wanted.Mode != crNoCompression) {
        // Both compress: go through raw data, which does not depend on the
        // block size.
        s.WriteCompression = crNoCompression;
        r = RewriteAll(object, t);
        if (r == 0) s.ReadCompression = crNoCompression;
      }
      if (r == 0) {
        s.WriteCompression = wanted.Mode;
        s.Level = wanted.Level;
        // Compressed blocks are read with the block size they were written with.
        const std::uint32_t pages =
            s.ReadCompression != crNoCompression ? s.BlockPages : wanted.BlockPages;
        if (pages != s.BlockPages) {
          s.BlockPages = pages;
          object.DataEnd = kUnknownSize;
        }
        r = RewriteAll(object, t);
      }
      if (r == 0) {
        s.ReadCompression = s.WriteCompression;
        if (s.BlockPages != wanted.BlockPages) {
          s.BlockPages = wanted.BlockPages;
          object.DataEnd = kUnknownSize;
        }
      }
      ForgetSettings(object);
      if (r != 0) return r;
    }
    // The root's own stream is always read without compression; its record
    // only passes the setting on to new children.
    std::uint8_t data[compression_record::kSize];
    StoreCompressionRecord(data, wanted);
    r = SetRecord(object, rkCompression, data, compression_record::kSize, t);
    if (r != 0) return r;
  }
  if (updateAttributes && object.Parent && object.Entry) {
    std::uint32_t attributes = object.Entry->Attributes;
    if (wanted.Mode != crNoCompression)
      attributes |= attrCompressed;
    else
      attributes &= ~attrCompressed;
    if (attributes != object.Entry->Attributes) r = SetAttributes(object, attributes, t);
  }
  return r;
}

// ---------------------------------------------------------- whole streams

EngineResult ReadStream(FileObject& object, Transaction* t, std::vector<std::uint8_t>& data) {
  std::scoped_lock lock(object.Lock);
  data.clear();
  StreamSettings settings(object);
  EngineResult r = settings.Prepare(t);
  if (r != 0) return r;
  std::uint64_t size = 0;
  r = GetObjectSize(object, t, size);
  if (r != 0 || size == 0) return r;
  // A whole stream is written to its end, so its size never goes beyond the
  // blocks it keeps. A larger size comes from a damaged record and must not
  // decide how much memory is taken.
  r = EnsureDataEnd(object);
  if (r != 0) return r;
  if (size > object.DataEnd) return Corrupted(object.volume);
  if (size > data.max_size()) return errOutOfMemory;
  data.resize(static_cast<std::size_t>(size));
  DataBuffer* slot = nullptr;
  std::uint64_t read = 0;
  r = ReadAt(object, t, slot, 0, data.data(), size, read);
  EngineResult released = ReleaseBuffer(object, t, slot);
  if (r == 0) r = released;
  if (r == 0 && read != size) r = errStorageCorrupted;
  if (r != 0) data.clear();
  return r;
}

EngineResult WriteStream(FileObject& object, Transaction* t, std::span<const std::uint8_t> data) {
  std::scoped_lock lock(object.Lock);
  if (!t) return errInvalidParameter;
  FileDataState& s = DataState(object);
  StreamSettings settings(object);
  EngineResult r = EnsureStreamRecord(object, t);
  if (r == 0) r = settings.Prepare(t);
  // The stream is replaced as a whole: nothing of it is read.
  if (r == 0) r = SetFileSize(object, t, 0, true, true);
  if (r != 0) return r;
  if (object.StreamKind == rkLinkTarget && settings.Temporary()) {
    // A link target is kept plain, one page per block, whatever the record says.
    s.ReadCompression = s.WriteCompression = crNoCompression;
    if (s.BlockPages != 1) {
      s.BlockPages = 1;
      object.DataEnd = kUnknownSize;
    }
  }
  DataBuffer* slot = nullptr;
  std::uint64_t written = 0;
  r = WriteAt(object, t, slot, 0, data.data(), data.size(), written);
  EngineResult released = ReleaseBuffer(object, t, slot);
  if (r == 0) r = released;
  if (r == 0) r = StoreDirtyBuffers(object, t);
  return r;
}

// ------------------------------------------------------------ the volume

EngineResult ObjectStore::CloseAllHandles(Volume&) {
  std::vector<FileHandle*> open;
  {
    MutexLock lock(volume.HandleLock);
    open = Handles;
  }
  EngineResult first = 0;
  for (FileHandle* handle : open) Keep(first, CloseHandle(handle, true));
  return first;
}

}  // namespace vaultfs
