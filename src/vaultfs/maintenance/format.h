// Formatting a whole host file (or disk image) of a given size as a
// fixed-size volume, optionally behind an 8192-byte boot area that starts
// with a partition table and in front of a small FAT12 or FAT16 file system,
// so that one medium serves both. Open finds the volume behind the partition
// table, and the volume keeps out of the FAT area (its page count is its
// MaxPageCount).
//
// Host file of Z bytes, boot area M (8192 or 0), FAT area F:
//   0 .. M-1      partition table sector, then zeros
//   M .. Z-F-1    the volume: pages 0, 1 and 2 as a new volume has them,
//                 marked fixed-size; the rest free
//   Z-F .. Z-1    FAT boot sector, one FAT, a 256-entry root directory, clusters
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vaultfs/progress.h"
#include "vaultfs/volume/volume.h"
#include "vaultfs/result_codes.h"

namespace vaultfs {

// Format flags.
inline constexpr std::uint32_t kFormatQuick = 0x01;        // write only what carries structure
inline constexpr std::uint32_t kFormatFatAreaMask = 0x1E;  // size code of the FAT area
inline constexpr std::uint32_t kFormatBootArea = 0x20;     // boot area with a partition table
// FAT area size codes (flags & kFormatFatAreaMask): 0 none, 2 = 64 KB,
// 4 = 256 KB, 6 = 1 MB, 8 = 2 MB, 10 = 4 MB, 12 = 8 MB, 14 = 16 MB, and
// 16 = everything after the boot area (no volume; the file must be below 4 GB).
inline constexpr std::uint32_t kFormatFatAreaRest = 16;

inline constexpr std::uint32_t kFormatBootAreaSize = 8192;
inline constexpr std::uint32_t kFormatSectorSize = 512;

// Where everything goes in a host file; computed by PlanFormat.
struct FormatLayout {
  std::uint64_t FileSize = 0;      // Z, rounded down to whole pages (and sectors)
  std::uint32_t BootAreaSize = 0;  // M
  std::uint64_t FatAreaSize = 0;   // F, 0 without a FAT area
  std::uint32_t VolumePages = 0;   // pages from byte M on; 0 = no volume
  // The FAT area's file system (all 0 without one).
  std::uint32_t FatBits = 0;  // 12 or 16
  std::uint32_t SectorsPerCluster = 0;
  std::uint32_t SectorsPerFat = 0;
  std::uint32_t ClusterCount = 0;  // clusters of the data area

  std::uint64_t FatAreaStart() const { return FileSize - FatAreaSize; }
  std::uint32_t FatTotalSectors() const {
    return static_cast<std::uint32_t>(FatAreaSize / kFormatSectorSize);
  }
};

// Lays out a host file of `size` bytes: refuses a page size that is not a
// power of two from 256 to 65536 (errInvalidPageSize), and one above 8192
// with the boot area, since the volume must start on a page boundary after
// it (errInvalidPageSize); refuses unknown flags, a FAT area and boot area
// larger than the file, a volume too small for its first three pages, FAT
// code 16 on a file of 4 GB or more and a FAT area no FAT12/FAT16 file
// system can fill (errInvalidParameter).
//
// The FAT type and cluster size follow the rule FAT12 with one-sector
// clusters below 2,092,544 bytes, else FAT16 with the smallest cluster size
// that keeps to 65,526 clusters; but file system tools tell FAT12 from FAT16
// by the number of clusters alone, so an area with fewer than 4,085 clusters
// is always FAT12, and cluster sizes are powers of two.
[[nodiscard]] EngineResult PlanFormat(std::uint64_t size, std::uint32_t pageSize,
                                      std::uint32_t flags, FormatLayout& layout);

// Formats `path` through the host-file backend of `volume`, which must be
// inactive (errStorageActive otherwise) and stays inactive and closed. With
// `size` 0 the existing file is formatted at its size (a file that opens only
// for reading gives errStorageReadOnly); otherwise the file is created anew
// (overwriting) with `size` rounded down to whole pages. Everything is
// checked before the file is touched.
//
// The file is written front to back in chunks of up to 64 KB; after each
// chunk a report (kProgressFormatting, position, total) in write units of
// min(pageSize, 512) bytes goes to `progress`, whose Stop answer ends the
// format with errInterrupted. The volume's first page is written last, so a
// format that stops or fails part way never leaves a file that opens as a
// volume. A final report (total, total) that cannot stop follows success.
[[nodiscard]] EngineResult FormatVolume(Volume& volume, const std::u16string& path,
                                        std::uint64_t size, std::uint32_t pageSize,
                                        std::u16string_view logo, std::uint32_t flags,
                                        const ProgressSink& progress);

}  // namespace vaultfs
