// The two layouts of a protected folder's container and how to reach each.
//
// Classic: every page enciphered under the fixed storage password, the
// files under the person's password, and three service records (size, MD5
// of the password, escrow) readable by anyone (service_records.h).
//
// Hardened: a random master key per container, wrapped under an Argon2id key
// of the password (app/keys/hardened_keys.h); the storage password and the
// file password are subkeys of it, so nothing but the public record is
// readable without the password. The public record is a tag of the root
// directory, whose record pages are never enciphered, so it reads while the
// storage is still locked:
//   PublicRecordTag = HardenedRecord (kHardenedRecordSize bytes)
//                     followed by the recovery escrow text, if any
// One tag, so that changing the password replaces the wrapped key and the
// escrow of the new password in one step. A classic container has no such
// tag.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "korvane/keys/hardened_keys.h"
#include "vaultfs/vault_storage.h"

namespace korvane {

enum class TContainerLayout { clClassic, clHardened };

inline constexpr std::uint16_t kPublicRecordTag = 0xCF01;
inline constexpr const char16_t* kRootPath = u"\\";

// What the public record says.
struct TPublicRecord {
  HardenedRecord Record;
  std::string EscrowText;  // empty: no recovery escrow
};

// The largest escrow text the public record takes beside the key record;
// a longer one (a password of several KB) is not stored.
std::size_t MaxPublicEscrowSize(std::uint32_t pageSize);

// The public record of an open container, locked or not: nothing when the
// container has none (the classic layout). Raises HardenedKeyError when it
// is there but cannot be used (damaged, unknown version, figures beyond the
// limits opening accepts).
std::optional<TPublicRecord> ReadPublicRecord(vaultfs::TVaultStorage& storage);

// Writes (or replaces) the public record. Raises HardenedKeyError
// (kInvalidArgument) when the escrow text does not fit.
void WritePublicRecord(vaultfs::TVaultStorage& storage, const TPublicRecord& record);

// How to read and write one container: its layout and the passwords the
// engine needs for it. Password texts are wiped when the object goes.
// Move-only.
class TContainerAccess {
 public:
  // The classic layout: the fixed storage password, the person's password
  // for the files (none when it is empty).
  static TContainerAccess Classic(const std::string& password);
  // The hardened layout, from the subkeys of its master key.
  static TContainerAccess Hardened(const HardenedSubkeys& keys);

  TContainerAccess(TContainerAccess&& other) noexcept;
  TContainerAccess& operator=(TContainerAccess&& other) noexcept;
  TContainerAccess(const TContainerAccess&) = delete;
  TContainerAccess& operator=(const TContainerAccess&) = delete;
  ~TContainerAccess();

  TContainerLayout Layout() const { return layout_; }
  // The storage password as the storage component takes it (for the
  // engine's check of a closed container).
  const std::u16string& StoragePasswordText() const { return storagePassword_; }

  // A storage object for the container file `path` with the container
  // settings (page size, logo, storage encryption and password) and the
  // file encryption and password of this access; not yet open.
  std::unique_ptr<vaultfs::TVaultStorage> NewStorage(const std::string& path) const;
  // The same, opened read-only and unlocked. Raises when it cannot be.
  std::unique_ptr<vaultfs::TVaultStorage> OpenForReading(const std::string& path) const;

 private:
  TContainerAccess() = default;
  void Wipe() noexcept;

  TContainerLayout layout_ = TContainerLayout::clClassic;
  std::u16string storagePassword_;
  std::u16string filesPassword_;
};

// A storage object for `path` with the container settings but no storage
// password: opened, it is unlocked for a classic container only after its
// fixed password is supplied, and reads nothing but the root's records of a
// hardened one until its storage password is.
std::unique_ptr<vaultfs::TVaultStorage> NewLockedContainerStorage(const std::string& path);

// The password of the person as the key derivation takes it: its bytes as
// typed (UTF-8).
std::span<const std::uint8_t> PasswordBytes(const std::string& password);

// Changes the password of the hardened container `path` by wrapping its
// master key again under `newPassword` (new salt, `newParameters` through
// ProtectParameters); the escrow text, when the record holds one, becomes
// `newEscrowText` (empty: the escrow is dropped). Nothing else of the
// container is rewritten. The record is replaced in one journaled step, so
// that a crash at any point leaves either the old or the new password
// working. Returns false when `oldPassword` does not open the container;
// raises HardenedKeyError for a container that is not hardened or whose
// record is damaged, and the storage's errors.
bool ChangeContainerPassword(vaultfs::TVaultStorage& storage, const std::string& oldPassword,
                             const std::string& newPassword, const KdfParameters& newParameters,
                             const std::string& newEscrowText);

}  // namespace korvane
