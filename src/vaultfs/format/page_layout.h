// On-disk layout of the pages the volume core itself reads and writes: the
// common page header, the page types, the volume information page, the space
// map and the transaction pages. Offsets are in bytes from the page start; the
// image in memory is always in host byte order.
#pragma once

#include <cstdint>

#include "vaultfs/engine_types.h"
#include "vaultfs/util/byte_order.h"

namespace vaultfs::layout {

// Common page header (every page except space map pages).
inline constexpr std::uint32_t kPageType = 0;
inline constexpr std::uint32_t kCommitMark = 2;
inline constexpr std::uint32_t kPageNumber = 4;
inline constexpr std::uint32_t kIndexPage = 8;
inline constexpr std::uint32_t kPrevPage = 12;
inline constexpr std::uint32_t kNextPage = 16;
inline constexpr std::uint32_t kOwnerId = 20;
inline constexpr std::uint32_t kChainIndex = 24;
inline constexpr std::uint32_t kParentId = 28;    // object header pages
inline constexpr std::uint32_t kStreamKind = 28;  // other object-layer pages (u16)
inline constexpr std::uint32_t kUsedBytes = 30;   // other object-layer pages (u16)
inline constexpr std::uint32_t kPageHeaderSize = 32;

// Page types.
inline constexpr std::uint16_t kFreePageType = 0;
inline constexpr std::uint16_t VolumeSignature = 22350;  // 0x574E, the VolumeInfoPage
inline constexpr std::uint16_t kSwappedSignature = 0x4E57;
inline constexpr std::uint16_t NameContinuationPage = 31;
inline constexpr std::uint16_t ObjectHeaderPage = 32;
inline constexpr std::uint16_t DirectoryEntryPage = 33;
inline constexpr std::uint16_t DataPage = 34;
inline constexpr std::uint16_t LinkDataPage = 37;
inline constexpr std::uint16_t RootDataPage = 40;
inline constexpr std::uint16_t BlockIndexPage = 43;
inline constexpr std::uint16_t TransactionTablePage = 0xFFFF;
inline constexpr std::uint16_t JournalPage = 0xFFF0;
inline constexpr std::uint16_t kJournalFreeRecord = 0xFFFE;
inline constexpr std::uint16_t kJournalRewriteRecord = 0xFFFD;

// VolumeInfoPage (page 1).
inline constexpr std::uint32_t kMountedFlag = 12;
inline constexpr std::uint32_t kLogoCr = 14;
inline constexpr std::uint32_t kLogoLf = 16;
inline constexpr std::uint32_t kLogo = 18;
inline constexpr std::uint32_t kLogoUnits = 62;
inline constexpr std::uint32_t kLogoTerminator = 142;
inline constexpr std::uint32_t kEngineVersion = 144;
inline constexpr std::uint32_t kEngineVersionCopy = 148;
inline constexpr std::uint32_t kLastObjectId = 152;
inline constexpr std::uint32_t kLastTransactionId = 156;
inline constexpr std::uint32_t kLayoutConstant1 = 160;  // u16, always 1
inline constexpr std::uint32_t kLayoutConstant2 = 162;  // u16, always 76
inline constexpr std::uint32_t kLayoutConstant3 = 164;  // u32, always 64
inline constexpr std::uint32_t kLayoutConstant4 = 168;  // u32, always 0
inline constexpr std::uint32_t kRootEntry = 172;
inline constexpr std::uint32_t kFixedSize = 236;
inline constexpr std::uint32_t kMaxPageCount = 240;
inline constexpr std::uint32_t kVolumeFlags = 244;
inline constexpr std::uint32_t kTransactionTablePage = 248;
inline constexpr std::uint32_t kVolumeId = 252;
inline constexpr std::uint32_t kVolumeInfoUsedBytes = 256;

inline constexpr std::uint32_t kEngineVersionValue = 0x03000000;
inline constexpr std::uint32_t vfCorrupted = 0x1;
inline constexpr std::uint32_t vfTransactionTable = 0x2;

// DirectoryEntry (64 bytes).
inline constexpr std::uint32_t kDirectoryEntrySize = 64;
inline constexpr std::uint32_t kEntryObjectId = 0;
inline constexpr std::uint32_t kEntryHeaderPage = 4;
inline constexpr std::uint32_t kEntryAttributes = 8;
inline constexpr std::uint32_t kEntryNameLength = 12;
inline constexpr std::uint32_t kEntryNameNextPage = 16;
inline constexpr std::uint32_t kEntryNameStart = 20;
inline constexpr std::uint32_t kEntryNameStartUnits = 22;
using ::vaultfs::attrDirectory;

// ObjectHeaderPage and its records.
inline constexpr std::uint32_t kUsedLength = 32;
inline constexpr std::uint32_t kFirstRecord = 36;
inline constexpr std::uint32_t kRecordKind = 0;
inline constexpr std::uint32_t kRecordLength = 2;
inline constexpr std::uint32_t kRecordDataSize = 4;
inline constexpr std::uint32_t kRecordMovedTo = 8;
inline constexpr std::uint32_t kRecordHeadSize = 12;
inline constexpr std::uint16_t rkObjectInfo = 0;
inline constexpr std::uint16_t rkDirectory = 1;
inline constexpr std::uint16_t rkFileEncryption = 3;
inline constexpr std::uint16_t rkLinkTarget = 5;
inline constexpr std::uint16_t rkStorageEncryption = 7;
// rkObjectInfo data, relative to the record start.
inline constexpr std::uint32_t kInfoCreated = 16;
inline constexpr std::uint32_t kInfoModified = 24;
inline constexpr std::uint32_t kInfoAccessed = 32;
inline constexpr std::uint32_t kInfoSizeLow = 40;
inline constexpr std::uint32_t kInfoSizeHigh = 44;
inline constexpr std::uint16_t kObjectInfoLength = 48;

// TransactionTablePage.
inline constexpr std::uint32_t kTableNextPage = 8;
inline constexpr std::uint32_t kTableFirstSlot = 12;
inline constexpr std::uint32_t kTableSlotSize = 8;
// JournalPage.
inline constexpr std::uint32_t kJournalFirstEntry = 20;
// Journal file records listing pages (free / rewrite).
inline constexpr std::uint32_t kJournalRecordFirstEntry = 12;
inline constexpr std::uint32_t kJournalSlotTransactionId = 8;
inline constexpr std::uint32_t kJournalCommittedFirst = 4;

// Whether a page's payload is enciphered under the storage key: the pages
// of the object layer, except the root's header pages (kOwnerId 1) and
// root data pages, which stay readable while the storage is locked; none of
// the volume core's pages. A space map page has no header: its first u16 is
// PageShift.
inline constexpr bool IsEncipheredPageType(std::uint16_t pageType, std::uint32_t ownerId,
                                           std::uint32_t pageShift) {
  switch (pageType) {
    case kFreePageType:
    case VolumeSignature:
    case TransactionTablePage:
    case JournalPage:
    case kJournalFreeRecord:
    case kJournalRewriteRecord:
    case RootDataPage:
      return false;
    case ObjectHeaderPage:
      return ownerId > 1;
    default:
      return pageType != pageShift;
  }
}

// Field helpers over a page image in host byte order.
inline std::uint16_t PageTypeOf(const std::uint8_t* page) {
  return LoadU16(page + kPageType);
}
inline std::uint16_t CommitMarkOf(const std::uint8_t* page) {
  return LoadU16(page + kCommitMark);
}
inline std::uint32_t PageNumberOf(const std::uint8_t* page) {
  return LoadU32(page + kPageNumber);
}
inline std::uint32_t OwnerIdOf(const std::uint8_t* page) {
  return LoadU32(page + kOwnerId);
}
inline std::uint32_t NextPageOf(const std::uint8_t* page) {
  return LoadU32(page + kNextPage);
}

// Where a volume starts in its host file: at 0, or behind a boot area that
// a boot sector or a partition table describes. The start is probed in units
// of kProbeSize bytes, hopping at most kMaxLocateSteps times.
inline constexpr std::uint32_t kProbeSize = 512;
inline constexpr int kMaxLocateSteps = 16;
// A partition table sector: entries of 16 bytes from kPartitionEntry1, and
// within an entry the type byte, the u32 first sector and the u32 count.
inline constexpr std::uint32_t kPartitionEntry1 = 446;
inline constexpr std::uint32_t kPartitionEntry2 = 462;
inline constexpr std::uint32_t kPartitionType = 4;
inline constexpr std::uint32_t kPartitionStart = 8;
inline constexpr std::uint32_t kPartitionCount = 12;
// 0x55 0xAA here ends a boot sector or a partition table sector.
inline constexpr std::uint32_t kSectorSignature = 510;

}  // namespace vaultfs::layout
