// What ExportFiles gives each restored entry, for a reader that shows a
// container's tree as an export would leave it on disk without writing it (a
// read-only mount): the metadata tag, the folder's table of link times, the
// time chosen from them, and the mode an entry gets. ExportFiles itself goes
// through these, so the two cannot drift apart (but for an untagged folder
// that already existed on disk, whose own bits export adjusts).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vaultfs/disk_tree.h"
#include "vaultfs/storage_time.h"
#include "vaultfs/vault_storage.h"

namespace vaultfs {

// The permission bits export never restores: ownership does not travel, so a
// restored set-ID file would carry the rights of whoever opens the container.
inline constexpr mode_t kExportSetIdBits = S_ISUID | S_ISGID;

// The metadata tag of a file or folder; false when it has none (or a damaged
// one).
[[nodiscard]] bool ReadPosixMetadata(TVaultStorage& storage, const std::u16string& path,
                                     PosixMetadata& out);

// The pieces of a folder's link-time table, joined and decoded; entries after
// damage are lost, and an empty table is what a folder without one has.
std::vector<LinkTime> ReadLinkTimes(TVaultStorage& storage, const std::u16string& folder);

// Stores a folder's whole table of link times in pieces that fit a tag (an
// empty table stores an empty table), dropping what a longer one left.
void StoreLinkTimes(TVaultStorage& storage, const std::u16string& folder,
                    const std::vector<LinkTime>& table);

// The disk time a container entry gets: the exact stamp of its tag (or its
// folder's link table) when that still agrees with the container's own time,
// else the container's time. False when there is none to give (the entry
// then keeps the time it was made).
[[nodiscard]] bool ChooseExportTime(StorageTime containerTime, const DiskTime* exact,
                                    DiskTime& out);

// The permission bits export gives a file: its tag's without the set-ID bits;
// without a tag, what a new file gets under `umask`, less the write bits when
// the container says read-only.
mode_t ExportFileMode(const PosixMetadata* tag, std::uint32_t storageAttributes, mode_t umask);

// The same for a folder that export creates: without a tag, a new folder's
// bits under `umask`, with the owner's write bit, or without any write bit
// when the container says read-only (what export does to the bits of the
// folder it made).
mode_t ExportFolderMode(const PosixMetadata* tag, std::uint32_t storageAttributes, mode_t umask);

}  // namespace vaultfs
