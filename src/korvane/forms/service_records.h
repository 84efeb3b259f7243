// The layout of a protected folder's container: its fixed settings, the
// DATA tree and the three service records the Open window reads before it
// touches the data.
#pragma once

#include <cstdint>
#include <string>

#include "vaultfs/vault_storage.h"

namespace korvane {

inline constexpr const char16_t* kDataFolder = u"DATA\\";
inline constexpr const char16_t* kServiceFolder = u"_SERVICE\\";
inline constexpr const char16_t* kSizeRecord = u"_SERVICE\\$%size%$.service";
inline constexpr const char16_t* kHashRecord = u"_SERVICE\\$%hash%$.service";
inline constexpr const char16_t* kEscrowRecord = u"_SERVICE\\$%penc%$.service";

// A records longer than this is refused as damage (no application writes
// one near it: the escrow record of the longest sensible password is a few
// KB).
inline constexpr std::int64_t kMaxServiceRecordSize = 1 << 20;

// A new storage object with the container settings of a protected folder
// (page size, logo, storage encryption and its fixed password) for the
// container file `containerPath`.
std::unique_ptr<vaultfs::TVaultStorage> NewContainerStorage(const std::string& containerPath);

// Puts the records into the open container, unencrypted and uncompressed
// whatever the storage's file settings are: the size record, the hash record
// and, when `withEscrow`, the escrow record, each written straight into
// _SERVICE. Nothing else goes there: files of the folder named "*.service"
// are the person's data and belong in DATA, encrypted.
void WriteServiceRecords(vaultfs::TVaultStorage& storage, std::uint32_t sizeKB,
                         const std::string& hashText, bool withEscrow,
                         const std::string& escrowText);

// One record's text: the whole file (any length up to
// kMaxServiceRecordSize), cut at its first zero byte.
std::string ReadServiceRecord(vaultfs::TVaultStorage& storage, const std::u16string& path);

}  // namespace korvane
