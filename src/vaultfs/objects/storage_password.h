// The storage password: checking and supplying it, and changing the storage
// encryption of a whole volume. The mode and check value live in the root's
// rkStorageEncryption record (u32 mode, then for modes 1 to 3 the 32-byte
// check value); a volume without that record is not enciphered.
#pragma once

#include <cstdint>
#include <span>

#include "vaultfs/objects/file_object.h"
#include "vaultfs/volume/page_cipher.h"
#include "vaultfs/progress.h"

namespace vaultfs {

// Operation codes of progress reports.
inline constexpr std::uint8_t kProgressEncrypting = 12;
inline constexpr std::uint8_t kProgressDecrypting = 13;

// The stored storage encryption mode; 0 without a record.
[[nodiscard]] EngineResult GetStorageEncryption(ObjectStore& store, std::uint32_t& mode);

// Whether `password` opens the volume, the stored mode and the KeyVariant
// that matched. Changes nothing. A volume without storage encryption accepts
// any password.
[[nodiscard]] EngineResult CheckStoragePassword(ObjectStore& store,
                                                std::span<const std::uint8_t> password, bool& valid,
                                                std::uint32_t& mode, std::uint32_t& variant);

// Checks `password` and, when it is right, keeps it as the volume's read and
// write key and unlocks the volume. A wrong password is errInvalidPassword and
// changes nothing: a locked volume stays locked, an unlocked one keeps its key.
[[nodiscard]] EngineResult SupplyStoragePassword(ObjectStore& store,
                                                 std::span<const std::uint8_t> password);

// Re-enciphers every used page under `newMode` and `newPassword` and writes
// the new mode and check value; `oldPassword` must open the volume. Refused
// while any transaction runs (errActiveTransactions: open handles and
// searches hold one) and for modes 1 and 3 with an empty new password, which
// no check would ever accept again (errInvalidPassword). A failure puts the
// pages already rewritten back under the old key. Progress is reported per
// page with kProgressEncrypting (or kProgressDecrypting for mode 0) and
// cannot be stopped.
[[nodiscard]] EngineResult ChangeStorageEncryption(ObjectStore& store, std::uint32_t newMode,
                                                   std::span<const std::uint8_t> oldPassword,
                                                   std::span<const std::uint8_t> newPassword,
                                                   const ProgressSink& progress = {});

}  // namespace vaultfs
