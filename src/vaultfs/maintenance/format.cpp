// Formatting a host file as a fixed-size volume with an optional boot area
// and FAT area.
#include "vaultfs/maintenance/format.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/util/random.h"
#include "vaultfs/storage_time.h"

namespace vaultfs {

using layout::kPartitionCount;
using layout::kPartitionEntry1;
using layout::kPartitionEntry2;
using layout::kPartitionStart;
using layout::kPartitionType;
using layout::kSectorSignature;

namespace {

constexpr std::uint32_t kWriteChunk = 65536;
constexpr std::uint64_t kFourGigabytes = std::uint64_t{1} << 32;

// FAT area sizes by size code / 2 (code 16, the rest of the file, apart).
constexpr std::uint64_t kFatAreaSizes[] = {0,           64 * 1024,   256 * 1024,  1024 * 1024,
                                           2048 * 1024, 4096 * 1024, 8192 * 1024, 16384 * 1024};

// Choosing the FAT type and cluster size.
constexpr std::uint64_t kFat12AreaLimit = 2092544;     // 4087 sectors
constexpr std::uint64_t kFat16ClusterUnit = 33549312;  // 65526 one-sector clusters
constexpr std::uint32_t kMaxFat12Clusters = 4084;      // tools read 4085 and more as FAT16
constexpr std::uint32_t kMaxFat16Clusters = 65524;     // ... and 65525 and more as FAT32
constexpr std::uint32_t kMaxSectorsPerCluster = 128;
constexpr std::uint32_t kFat12EntriesPerSector = 341;
constexpr std::uint32_t kFat16EntriesPerSector = 256;
constexpr std::uint32_t kReservedSectors = 1;  // the boot sector
constexpr std::uint32_t kRootEntries = 256;
constexpr std::uint32_t kRootSectors = kRootEntries * 32 / kFormatSectorSize;

// Partition table sector.
constexpr std::uint8_t kVolumePartitionType = 0x74;
constexpr std::uint8_t kFatPartitionType = 6;

// FAT boot sector.
constexpr std::uint32_t kBsOemName = 3;
constexpr std::uint32_t kBsBytesPerSector = 11;
constexpr std::uint32_t kBsSectorsPerCluster = 13;
constexpr std::uint32_t kBsReservedSectors = 14;
constexpr std::uint32_t kBsFatCount = 16;
constexpr std::uint32_t kBsRootEntries = 17;
constexpr std::uint32_t kBsTotalSectors16 = 19;
constexpr std::uint32_t kBsMedia = 21;
constexpr std::uint32_t kBsSectorsPerFat = 22;
constexpr std::uint32_t kBsSectorsPerTrack = 24;
constexpr std::uint32_t kBsHeads = 26;
constexpr std::uint32_t kBsHiddenSectors = 28;
constexpr std::uint32_t kBsTotalSectors32 = 32;
constexpr std::uint32_t kBsExtendedSignature = 38;
constexpr std::uint32_t kBsVolumeSerial = 39;
constexpr std::uint32_t kBsVolumeLabel = 43;
constexpr std::uint32_t kBsFileSystemType = 54;
constexpr std::uint8_t kMediaByte = 0xF0;
constexpr std::uint16_t kSectorsPerTrack = 128;
constexpr std::uint16_t kHeads = 2;

void PutText(std::uint8_t* p, const char* text, std::size_t width) {
  std::memset(p, ' ', width);
  std::memcpy(p, text, std::min(std::strlen(text), width));
}

std::uint32_t CeilDiv(std::uint64_t a, std::uint64_t b) {
  return static_cast<std::uint32_t>((a + b - 1) / b);
}

// FAT type, cluster size and FAT size for an area of `bytes` (whole sectors).
EngineResult PlanFat(std::uint64_t bytes, FormatLayout& layout) {
  const std::uint64_t total = bytes / kFormatSectorSize;
  std::uint32_t bits = 12;
  std::uint64_t perCluster = 1;
  if (bytes >= kFat12AreaLimit) {
    bits = 16;
    perCluster = std::bit_ceil(std::uint64_t{CeilDiv(bytes, kFat16ClusterUnit)});
  }
  for (;;) {
    if (perCluster > kMaxSectorsPerCluster) return errInvalidParameter;
    const std::uint32_t perSector = bits == 12 ? kFat12EntriesPerSector : kFat16EntriesPerSector;
    std::uint64_t fat = std::max<std::uint32_t>(1, CeilDiv(total / perCluster, perSector));
    std::uint64_t clusters = 0;
    for (;;) {
      const std::uint64_t overhead = kReservedSectors + fat + kRootSectors;
      if (total <= overhead) return errInvalidParameter;
      clusters = (total - overhead) / perCluster;
      // Entries 0 and 1 of the FAT are taken by the media bytes.
      if (clusters + 2 <= fat * perSector) break;
      ++fat;
    }
    if (clusters == 0) return errInvalidParameter;
    if (bits == 16 && clusters <= kMaxFat12Clusters) {
      bits = 12;
      perCluster = 1;
      continue;
    }
    if ((bits == 12 && clusters > kMaxFat12Clusters) ||
        (bits == 16 && clusters > kMaxFat16Clusters)) {
      perCluster *= 2;
      continue;
    }
    layout.FatBits = bits;
    layout.SectorsPerCluster = static_cast<std::uint32_t>(perCluster);
    layout.SectorsPerFat = static_cast<std::uint32_t>(fat);
    layout.ClusterCount = static_cast<std::uint32_t>(clusters);
    return 0;
  }
}

void BuildPartitionSector(std::uint8_t* s, const FormatLayout& layout) {
  std::memset(s, 0, kFormatSectorSize);
  // A jump to itself: the sector is not meant to be started.
  s[0] = 0xE9;
  s[1] = 0xFD;
  s[2] = 0xFF;
  auto entry = [s](std::uint32_t at, std::uint8_t type, std::uint64_t start, std::uint64_t count) {
    s[at + kPartitionType] = type;
    StoreLittleEndian32(s + at + kPartitionStart,
                        static_cast<std::uint32_t>(start / kFormatSectorSize));
    StoreLittleEndian32(s + at + kPartitionCount,
                        static_cast<std::uint32_t>(count / kFormatSectorSize));
  };
  const std::uint64_t volumeBytes = layout.FatAreaStart() - layout.BootAreaSize;
  if (layout.VolumePages != 0) {
    entry(kPartitionEntry1, kVolumePartitionType, layout.BootAreaSize, volumeBytes);
    if (layout.FatAreaSize != 0)
      entry(kPartitionEntry2, kFatPartitionType, layout.FatAreaStart(), layout.FatAreaSize);
  } else {
    entry(kPartitionEntry1, kFatPartitionType, layout.FatAreaStart(), layout.FatAreaSize);
  }
  s[kSectorSignature] = 0x55;
  s[kSectorSignature + 1] = 0xAA;
}

void BuildFatBootSector(std::uint8_t* s, const FormatLayout& layout, std::uint32_t serial) {
  std::memset(s, 0, kFormatSectorSize);
  // A jump to itself and a no-op: not a system disk.
  s[0] = 0xEB;
  s[1] = 0xFE;
  s[2] = 0x90;
  PutText(s + kBsOemName, "VaultFS", 8);
  StoreLittleEndian16(s + kBsBytesPerSector, static_cast<std::uint16_t>(kFormatSectorSize));
  s[kBsSectorsPerCluster] = static_cast<std::uint8_t>(layout.SectorsPerCluster);
  StoreLittleEndian16(s + kBsReservedSectors, static_cast<std::uint16_t>(kReservedSectors));
  s[kBsFatCount] = 1;
  StoreLittleEndian16(s + kBsRootEntries, static_cast<std::uint16_t>(kRootEntries));
  const std::uint32_t total = layout.FatTotalSectors();
  if (total < 65536)
    StoreLittleEndian16(s + kBsTotalSectors16, static_cast<std::uint16_t>(total));
  else
    StoreLittleEndian32(s + kBsTotalSectors32, total);
  s[kBsMedia] = kMediaByte;
  StoreLittleEndian16(s + kBsSectorsPerFat, static_cast<std::uint16_t>(layout.SectorsPerFat));
  StoreLittleEndian16(s + kBsSectorsPerTrack, static_cast<std::uint16_t>(kSectorsPerTrack));
  StoreLittleEndian16(s + kBsHeads, static_cast<std::uint16_t>(kHeads));
  // Behind a partition table the area is a partition, and a partition's boot
  // sector tells where it starts on the medium.
  if (layout.BootAreaSize != 0)
    StoreLittleEndian32(s + kBsHiddenSectors,
                        static_cast<std::uint32_t>(layout.FatAreaStart() / kFormatSectorSize));
  s[kBsExtendedSignature] = 0x29;
  StoreLittleEndian32(s + kBsVolumeSerial, serial);
  PutText(s + kBsVolumeLabel, "NO NAME", 11);
  PutText(s + kBsFileSystemType, layout.FatBits == 12 ? "FAT12" : "FAT16", 8);
  s[kSectorSignature] = 0x55;
  s[kSectorSignature + 1] = 0xAA;
}

// The first FAT sector: entry 0 holds the media byte, entry 1 all ones.
void BuildFirstFatSector(std::uint8_t* s, const FormatLayout& layout) {
  std::memset(s, 0, kFormatSectorSize);
  s[0] = kMediaByte;
  s[1] = 0xFF;
  s[2] = 0xFF;
  if (layout.FatBits == 16) s[3] = 0xFF;
}

// What can be refused without knowing the size of the file.
EngineResult CheckFormatArguments(std::uint32_t pageSize, std::uint32_t flags) {
  if (pageSize < 256 || pageSize > 65536 || !std::has_single_bit(pageSize))
    return errInvalidPageSize;
  if ((flags & ~(kFormatQuick | kFormatFatAreaMask | kFormatBootArea)) != 0)
    return errInvalidParameter;
  if ((flags & kFormatFatAreaMask) > kFormatFatAreaRest) return errInvalidParameter;
  if ((flags & kFormatBootArea) != 0 && pageSize > kFormatBootAreaSize) return errInvalidPageSize;
  return 0;
}

// A piece of structure at a place in the host file; everything else is zero.
struct Piece {
  std::uint64_t At = 0;
  const std::uint8_t* Bytes = nullptr;
  std::uint32_t Size = 0;
};

// What a format writes besides zeros, built once: the partition sector of
// the boot area, the volume's first three pages, the FAT area's boot sector
// and first FAT sector. The first map page is kept apart: it goes out last.
class FormatImage {
 public:
  FormatImage() = default;
  FormatImage(const FormatImage&) = delete;
  FormatImage& operator=(const FormatImage&) = delete;

  [[nodiscard]] EngineResult Allocate(std::uint32_t pageSize) {
    try {
      pages_.assign(std::size_t{3} * pageSize, 0);
      sectors_.assign(std::size_t{3} * kFormatSectorSize, 0);
    } catch (const std::bad_alloc&) {
      return errOutOfMemory;
    }
    return 0;
  }

  void Build(const FormatLayout& layout, std::uint32_t pageSize, std::u16string_view logo) {
    std::uint32_t pageShift = 8;
    while ((1u << pageShift) != pageSize) ++pageShift;
    std::uint8_t* page0 = pages_.data();
    std::uint8_t* page1 = page0 + pageSize;
    std::uint8_t* page2 = page1 + pageSize;
    std::uint8_t* partitionSector = sectors_.data();
    std::uint8_t* fatBootSector = partitionSector + kFormatSectorSize;
    std::uint8_t* firstFatSector = fatBootSector + kFormatSectorSize;
    const std::uint64_t volumeStart = layout.BootAreaSize;
    if (layout.BootAreaSize != 0) {
      BuildPartitionSector(partitionSector, layout);
      Add({0, partitionSector, kFormatSectorSize});
    }
    if (layout.VolumePages != 0) {
      BuildFirstMapPage(page0, pageSize, pageShift);
      BuildVolumeInfoPage(page1, pageSize, logo, false);
      StoreU16(page1 + layout::kFixedSize, 1);
      StoreU32(page1 + layout::kMaxPageCount, layout.VolumePages);
      BuildRootHeaderPage(page2, pageSize, Now());
      // Page 0 goes out last (FormatWriter::Finish); until then its place
      // is zeros.
      Add({volumeStart + pageSize, page1, pageSize});
      Add({volumeStart + 2 * std::uint64_t{pageSize}, page2, pageSize});
    }
    if (layout.FatAreaSize != 0) {
      BuildFatBootSector(fatBootSector, layout, RandomId());
      BuildFirstFatSector(firstFatSector, layout);
      Add({layout.FatAreaStart(), fatBootSector, kFormatSectorSize});
      Add({layout.FatAreaStart() + kFormatSectorSize, firstFatSector, kFormatSectorSize});
    }
  }

  const std::uint8_t* FirstMapPage() const { return pages_.data(); }

  // Copies the pieces' bytes that fall into [from, from + length) of the
  // file into `chunk`, which holds zeros.
  void Fill(std::uint8_t* chunk, std::uint64_t from, std::uint32_t length) const {
    for (std::size_t i = 0; i < pieceCount_; ++i) {
      const Piece& p = pieces_[i];
      const std::uint64_t begin = std::max(p.At, from);
      const std::uint64_t end = std::min(p.At + p.Size, from + length);
      if (begin < end) std::memcpy(chunk + (begin - from), p.Bytes + (begin - p.At), end - begin);
    }
  }

 private:
  void Add(const Piece& piece) { pieces_[pieceCount_++] = piece; }

  std::vector<std::uint8_t> pages_;    // pages 0 to 2 of the volume
  std::vector<std::uint8_t> sectors_;  // partition, FAT boot and first FAT sector
  Piece pieces_[5];
  std::size_t pieceCount_ = 0;
};

// Opens the host file a format writes: an existing file keeps its size
// (which then decides the layout), a new one is created at the planned
// size. The file is closed again on failure.
EngineResult OpenFormatTarget(HostFileBackend& host, const std::u16string& path, std::uint64_t size,
                              std::uint32_t pageSize, std::uint32_t flags, FormatLayout& layout,
                              HostHandle& handle) {
  EngineResult r = 0;
  if (size == 0) {
    bool readOnly = false;
    if ((r = host.Open(path, readOnly, false, handle)) != 0) return r;
    std::int64_t existing = 0;
    r = host.GetSize(handle, existing);
    if (r == 0 && readOnly) r = errStorageReadOnly;
    if (r == 0) r = PlanFormat(static_cast<std::uint64_t>(existing), pageSize, flags, layout);
  } else {
    if ((r = host.Create(path, true, false, handle)) != 0) return r;
    r = host.SetSize(handle, static_cast<std::int64_t>(layout.FileSize));
  }
  if (r != 0) {
    EngineResult ignored = host.Close(handle);
    (void)ignored;
  }
  return r;
}

// Writes the file in chunks of zeros with the image's pieces in them,
// reporting after each chunk; a report may stop the run.
class FormatWriter {
 public:
  FormatWriter(HostFileBackend& host, HostHandle handle, const FormatLayout& layout,
               std::uint32_t pageSize, const FormatImage& image, std::vector<std::uint8_t>& chunk,
               const ProgressSink& progress)
      : host_(host),
        handle_(handle),
        layout_(layout),
        pageSize_(pageSize),
        image_(image),
        chunk_(chunk),
        progress_(progress),
        unit_(std::min<std::uint32_t>(pageSize, kFormatSectorSize)),
        total_(static_cast<std::uint32_t>(layout.FileSize / unit_)) {}

  // Every byte of the file.
  void WriteWholeFile() { WriteRange(0, layout_.FileSize); }

  // The boot area, the volume's first pages, every later space map page as
  // a zero page (on a fixed-size volume a map page that was never written
  // ends the used area, so stale data behind it stays unused), then the FAT
  // area's boot sector, FAT and root directory.
  void WriteStructureOnly() {
    const std::uint64_t volumeStart = layout_.BootAreaSize;
    const std::uint64_t firstPages = layout_.VolumePages != 0 ? 3 * std::uint64_t{pageSize_} : 0;
    WriteRange(0, volumeStart + firstPages);
    const std::uint64_t group = pageSize_ / 2;
    for (std::uint64_t n = group; n < layout_.VolumePages && Going(); n += group)
      WriteRange(volumeStart + n * pageSize_, volumeStart + (n + 1) * pageSize_);
    if (layout_.FatAreaSize != 0) {
      const std::uint64_t sectors =
          std::uint64_t{kReservedSectors} + layout_.SectorsPerFat + kRootSectors;
      WriteRange(layout_.FatAreaStart(), layout_.FatAreaStart() + sectors * kFormatSectorSize);
    }
  }

  // The first map page last: it carries PageShift and the volume
  // signature, so a format cut short leaves nothing that is recognised as
  // a volume. A disk may write what it holds in any order, so everything
  // else is on the medium before it is written, and it is flushed in turn:
  // after a successful return the volume survives a power loss.
  [[nodiscard]] EngineResult Finish() {
    EngineResult r = result_;
    if (r == 0 && stopped_) r = errInterrupted;
    if (r == 0 && layout_.VolumePages != 0) {
      r = host_.Flush(handle_);
      if (r == 0)
        r = host_.WriteAt(handle_, layout_.BootAreaSize, 1, image_.FirstMapPage(), pageSize_);
    }
    if (r == 0) r = host_.Flush(handle_);
    if (r == 0) ReportProgress(progress_, kProgressFormatting, total_, total_, false);
    return r;
  }

 private:
  bool Going() const { return result_ == 0 && !stopped_; }
  std::uint64_t FirstPageEnd() const {
    return layout_.VolumePages != 0 ? layout_.BootAreaSize + std::uint64_t{pageSize_} : 0;
  }

  // Bytes [from, to) of the file.
  void WriteRange(std::uint64_t from, std::uint64_t to) {
    while (Going() && from < to) {
      const std::uint32_t length =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(to - from, kWriteChunk));
      std::memset(chunk_.data(), 0, length);
      image_.Fill(chunk_.data(), from, length);
      result_ = host_.WriteAt(handle_, from, 1, chunk_.data(), length);
      from += length;
      // The chunk that zeroed the place of the first map page is flushed at
      // once: over an existing file an old volume's first page must not
      // outlive a power loss behind some of the new pages.
      if (result_ == 0 && !firstPageErased_ && from >= FirstPageEnd()) {
        result_ = host_.Flush(handle_);
        firstPageErased_ = true;
      }
      if (result_ == 0)
        stopped_ = ReportProgress(progress_, kProgressFormatting,
                                  static_cast<std::uint32_t>(from / unit_), total_, true);
    }
  }

  HostFileBackend& host_;
  const HostHandle handle_;
  const FormatLayout& layout_;
  const std::uint32_t pageSize_;
  const FormatImage& image_;
  std::vector<std::uint8_t>& chunk_;
  const ProgressSink& progress_;
  const std::uint32_t unit_;   // progress unit: a sector, or a page when smaller
  const std::uint32_t total_;  // the file in progress units
  EngineResult result_ = 0;
  bool stopped_ = false;
  bool firstPageErased_ = false;
};

}  // namespace

EngineResult PlanFormat(std::uint64_t size, std::uint32_t pageSize, std::uint32_t flags,
                        FormatLayout& layout) {
  layout = {};
  EngineResult r = CheckFormatArguments(pageSize, flags);
  if (r != 0) return r;
  const std::uint32_t code = flags & kFormatFatAreaMask;
  const bool bootArea = (flags & kFormatBootArea) != 0;

  std::uint64_t fileSize = size / pageSize * pageSize;
  // Partition entries and the FAT area count whole sectors (only 256-byte
  // pages can leave half a sector).
  if (bootArea || code != 0) fileSize = fileSize / kFormatSectorSize * kFormatSectorSize;
  const std::uint32_t bootSize = bootArea ? kFormatBootAreaSize : 0;
  std::uint64_t fatSize = 0;
  if (code == kFormatFatAreaRest) {
    if (fileSize >= kFourGigabytes || fileSize < bootSize) return errInvalidParameter;
    fatSize = fileSize - bootSize;
  } else {
    fatSize = kFatAreaSizes[code / 2];
  }
  if (fatSize + bootSize > fileSize) return errInvalidParameter;
  const std::uint64_t volumeBytes = fileSize - fatSize - bootSize;
  if (volumeBytes == 0 && fatSize == 0) return errInvalidParameter;
  if (volumeBytes != 0 && volumeBytes < std::uint64_t{3} * pageSize) return errInvalidParameter;
  // Page numbers, sector numbers of the partition table and the progress
  // units are all 32-bit.
  const std::uint32_t unit = std::min<std::uint32_t>(pageSize, kFormatSectorSize);
  if (volumeBytes / pageSize >= kUnknownPageCount || fileSize / unit > 0xFFFFFFFFu)
    return errInvalidParameter;

  layout.FileSize = fileSize;
  layout.BootAreaSize = bootSize;
  layout.FatAreaSize = fatSize;
  layout.VolumePages = static_cast<std::uint32_t>(volumeBytes / pageSize);
  if (fatSize != 0) {
    r = PlanFat(fatSize, layout);
    if (r != 0) {
      layout = {};
      return r;
    }
  }
  return 0;
}

EngineResult FormatVolume(Volume& volume, const std::u16string& path, std::uint64_t size,
                          std::uint32_t pageSize, std::u16string_view logo, std::uint32_t flags,
                          const ProgressSink& progress) {
  if (volume.Active) return errStorageActive;
  HostFileBackend& host = *volume.backend_;
  // Check what needs no file before touching one, so that a refused format
  // never truncates an existing file.
  FormatLayout layout;
  EngineResult r =
      size != 0 ? PlanFormat(size, pageSize, flags, layout) : CheckFormatArguments(pageSize, flags);
  if (r != 0) return r;

  FormatImage image;
  std::vector<std::uint8_t> chunk;
  try {
    chunk.assign(kWriteChunk, 0);
  } catch (const std::bad_alloc&) {
    return errOutOfMemory;
  }
  if ((r = image.Allocate(pageSize)) != 0) return r;

  HostHandle handle = 0;
  if ((r = OpenFormatTarget(host, path, size, pageSize, flags, layout, handle)) != 0) return r;
  image.Build(layout, pageSize, logo);
  FormatWriter writer(host, handle, layout, pageSize, image, chunk, progress);
  if ((flags & kFormatQuick) == 0)
    writer.WriteWholeFile();
  else
    writer.WriteStructureOnly();
  r = writer.Finish();
  const EngineResult closed = host.Close(handle);
  return r != 0 ? r : closed;
}

}  // namespace vaultfs
