// Storage password: the root's rkStorageEncryption record and the volume's
// read and write keys.
#include "vaultfs/objects/storage_password.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "vaultfs/objects/records.h"
#include "vaultfs/volume/transaction.h"

namespace vaultfs {

using namespace layout;

namespace {

constexpr std::uint32_t kModeBytes = 4;
constexpr std::uint32_t kFirstRewrittenPage = 3;  // pages 0 to 2 are never enciphered

struct StoredEncryption {
  bool Found = false;
  std::uint32_t Mode = ecNoEncryption;
  CheckValueBytes Check{};
};

const CustomCipherCallbacks* CipherEvents(const ObjectStore& store) {
  return static_cast<const CustomCipherCallbacks*>(store.CustomCipher);
}

EngineResult ReadStoredEncryption(ObjectStore& store, Transaction* t, StoredEncryption& stored) {
  stored = StoredEncryption();
  FileObject& root = *store.Root();
  std::scoped_lock lock(root.Lock);
  RecordRef record;
  EngineResult r = FindRecord(root, rkStorageEncryption, 0, false,
                              root.PrivateTransaction ? root.PrivateTransaction : t, record);
  if (r != 0 || !record) return r;
  const std::uint32_t length = record.Length() - kRecordHeadSize;
  if (length < kModeBytes) {
    store.volume.MarkCorrupted();
    return errStorageCorrupted;
  }
  stored.Mode = NormalizeEncryption(LoadU32(record.data()));
  if (stored.Mode != ecNoEncryption) {
    if (length < kModeBytes + kCheckValueSize) {
      store.volume.MarkCorrupted();
      return errStorageCorrupted;
    }
    std::memcpy(stored.Check.data(), record.data() + kModeBytes, kCheckValueSize);
  }
  stored.Found = true;
  return 0;
}

// Checks a password in a read-only transaction of its own.
EngineResult Check(ObjectStore& store, std::span<const std::uint8_t> password,
                   StoredEncryption& stored, bool& valid, std::uint32_t& variant) {
  valid = false;
  variant = 0;
  Volume& volume = store.volume;
  if (!volume.Active || !store.Root()) return errStorageNotActive;
  Transaction* t = nullptr;
  EngineResult r = volume.Begin(true, t);
  if (r != 0) return r;
  r = ReadStoredEncryption(store, t, stored);
  volume.EndReadOnly(t);
  if (r != 0) return r;
  if (!stored.Found) {
    valid = true;
    return 0;
  }
  return CheckPassword(stored.Mode, password, stored.Check, volume.TweakWord(volume.PageSize),
                       CipherEvents(store), valid, variant);
}

// The page key of a mode; none for mode 0, whose pages stay plain.
EngineResult MakeKey(ObjectStore& store, std::uint32_t mode, std::span<const std::uint8_t> password,
                     std::uint32_t variant, std::shared_ptr<PageCipherHook>& key) {
  key.reset();
  if (mode == ecNoEncryption) return 0;
  std::shared_ptr<PageCipher> cipher;
  EngineResult r = PageCipher::Create(mode, password, variant, CipherEvents(store), cipher);
  if (r == 0) key = std::move(cipher);
  return r;
}

void SetKeys(Volume& volume, std::shared_ptr<PageCipherHook> read,
             std::shared_ptr<PageCipherHook> write) {
  MutexLock io(volume.IoLock);
  volume.ReadKey = std::move(read);
  volume.WriteKey = std::move(write);
}

}  // namespace

EngineResult GetStorageEncryption(ObjectStore& store, std::uint32_t& mode) {
  mode = ecNoEncryption;
  Volume& volume = store.volume;
  if (!volume.Active || !store.Root()) return errStorageNotActive;
  Transaction* t = nullptr;
  EngineResult r = volume.Begin(true, t);
  if (r != 0) return r;
  StoredEncryption stored;
  r = ReadStoredEncryption(store, t, stored);
  volume.EndReadOnly(t);
  if (r == 0) mode = stored.Mode;
  return r;
}

EngineResult CheckStoragePassword(ObjectStore& store, std::span<const std::uint8_t> password,
                                  bool& valid, std::uint32_t& mode, std::uint32_t& variant) {
  StoredEncryption stored;
  EngineResult r = Check(store, password, stored, valid, variant);
  mode = stored.Mode;
  return r;
}

EngineResult SupplyStoragePassword(ObjectStore& store, std::span<const std::uint8_t> password) {
  StoredEncryption stored;
  bool valid = false;
  std::uint32_t variant = 0;
  EngineResult r = Check(store, password, stored, valid, variant);
  if (r != 0) return r;
  if (!stored.Found) return 0;
  if (!valid) return errInvalidPassword;
  std::shared_ptr<PageCipherHook> key;
  r = MakeKey(store, stored.Mode, password, variant, key);
  if (r != 0) return r;
  Volume& volume = store.volume;
  SetKeys(volume, key, key);
  MutexLock io(volume.IoLock);
  volume.StorageUnlocked = true;
  return 0;
}

namespace {

// The key change itself, with the root locked and no transaction running or
// able to begin elsewhere.
EngineResult ChangeKeyWhileAlone(ObjectStore& store, FileObject& root, std::uint32_t newMode,
                                 std::span<const std::uint8_t> oldPassword,
                                 std::span<const std::uint8_t> newPassword,
                                 const ProgressSink& progress) {
  Volume& volume = store.volume;
  EngineResult r = 0;
  const std::shared_ptr<PageCipherHook> oldRead = volume.ReadKey;
  const std::shared_ptr<PageCipherHook> oldWrite = volume.WriteKey;
  const bool oldUnlocked = volume.StorageUnlocked;
  auto restoreKeys = [&] {
    SetKeys(volume, oldRead, oldWrite);
    MutexLock io(volume.IoLock);
    volume.StorageUnlocked = oldUnlocked;
  };

  StoredEncryption stored;
  bool valid = false;
  std::uint32_t variant = 0;
  r = Check(store, oldPassword, stored, valid, variant);
  if (r == 0 && !valid) r = errInvalidPassword;
  std::shared_ptr<PageCipherHook> currentKey, newKey;
  if (r == 0) r = MakeKey(store, stored.Mode, oldPassword, variant, currentKey);
  if (r == 0) r = MakeKey(store, newMode, newPassword, 0, newKey);
  CheckValueBytes check{};
  if (r == 0 && newMode != ecNoEncryption)
    r = CheckValue(newMode, newPassword, 0, volume.TweakWord(volume.PageSize), CipherEvents(store),
                   check);
  if (r == 0) r = volume.EnsureScanned();
  // Whatever the cache still has to write goes out under the old key now, not
  // half-way through the rewrite under the new one.
  if (r == 0) r = volume.WriteAllDirty();
  if (r != 0) return r;

  const bool rewrite = newMode != ecNoEncryption || stored.Mode != ecNoEncryption;
  // The new images go to shadow pages and the commit that stores the new
  // key's record copies them home: a crash anywhere leaves every page under
  // the old key with the old record, or (finished by the next open) every
  // page under the new key with the new record. A volume opened without
  // transactions journals this one commit.
  bool journaling = false;
  if (rewrite && (r = volume.StartJournaling(journaling)) != 0) return r;
  auto stopJournaling = [&] {
    if (!journaling) return EngineResult{0};
    journaling = false;
    return volume.StopJournaling();
  };

  Transaction* t = nullptr;
  r = volume.Begin(false, t);
  if (r == 0) {
    r = volume.JoinObject(t, &root);
    if (r != 0) {
      EngineResult ignored = volume.Rollback(t);
      (void)ignored;
    }
  }
  if (r != 0) {
    EngineResult ignored = stopJournaling();
    (void)ignored;
    return r;
  }

  if (rewrite) {
    {
      MutexLock io(volume.IoLock);
      volume.StorageUnlocked = true;
    }
    const std::uint8_t operation =
        newMode != ecNoEncryption ? kProgressEncrypting : kProgressDecrypting;
    r = volume.RecipherPages(t, currentKey, newKey, kFirstRewrittenPage, &progress, operation);
    // Pages joined above now read from their shadows, under the new key.
    if (r == 0) SetKeys(volume, newKey, newKey);
  }
  if (r == 0 && rewrite) {
    std::uint8_t data[kModeBytes + kCheckValueSize];
    StoreU32(data, newMode);
    std::memcpy(data + kModeBytes, check.data(), kCheckValueSize);
    r = SetRecord(root, rkStorageEncryption, data,
                  newMode != ecNoEncryption ? kModeBytes + kCheckValueSize : kModeBytes, t);
  }
  // Without a journal the commit would copy home what it cannot undo.
  if (r == 0 && rewrite && t->NoJournalSpace()) r = errStorageFull;
  if (r == 0) {
    r = volume.Commit(t);
    // A commit that fails after it was registered is finished when the
    // volume is next opened: the new record will stand, and so do the pages.
    // The table must stay as it is on the medium until then.
    if (r != 0 && volume.RecoveryPending()) return r;
  } else {
    // Nothing was written in place: the shadows go and the old key stands.
    EngineResult ignored = volume.Rollback(t, r);
    (void)ignored;
  }
  if (r != 0) {
    restoreKeys();
    EngineResult ignored = stopJournaling();
    (void)ignored;
    return r;
  }
  r = stopJournaling();
  // The shadows, freed by the commit, are cut off the end of the file again.
  if (r == 0 && rewrite) r = volume.CutFreeTail();
  if (r == 0 && newMode != ecNoEncryption) r = volume.WipeFreePages(kFirstRewrittenPage);
  return r;
}

}  // namespace

EngineResult ChangeStorageEncryption(ObjectStore& store, std::uint32_t newMode,
                                     std::span<const std::uint8_t> oldPassword,
                                     std::span<const std::uint8_t> newPassword,
                                     const ProgressSink& progress) {
  Volume& volume = store.volume;
  if (!volume.Active || !store.Root()) return errStorageNotActive;
  if (volume.ReadOnly) return errStorageReadOnly;
  newMode = NormalizeEncryption(newMode);
  EngineResult r = ValidateNewPassword(newMode, newPassword);
  if (r != 0) return r;

  // No other operation may run while pages change their key under it. The
  // root is locked first: an operation holding it (or any object) may still
  // take the transaction lock to end its transaction or begin the next one.
  FileObject& root = *store.Root();
  std::scoped_lock rootLock(root.Lock);
  return volume.RunAlone([&] {
    return ChangeKeyWhileAlone(store, root, newMode, oldPassword, newPassword, progress);
  });
}

}  // namespace vaultfs
