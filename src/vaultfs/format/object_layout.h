// On-disk layout of the object layer: record kinds, attributes, directory
// entries and the header page fields it uses. The common page header and the
// offsets shared with the volume core live in page_layout.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"

namespace vaultfs {

// Record kinds.
using layout::rkDirectory;
using layout::rkFileEncryption;
using layout::rkLinkTarget;
using layout::rkObjectInfo;
using layout::rkStorageEncryption;
inline constexpr std::uint16_t rkFileData = 2;
// A kind whose data moves out like a file's; nothing writes it today, but
// its stream pages are object pages that check and repair keep.
inline constexpr std::uint16_t rkUnusedStream = 4;
inline constexpr std::uint16_t rkCompression = 6;
inline constexpr std::uint16_t rkRootData = 8;
inline constexpr std::uint16_t rkBlockIndex = 11;
inline constexpr std::uint16_t kFirstTagKind = 0x8000;
inline constexpr std::uint16_t kLastTagKind = 0xCFFF;

// Records whose data MakeRoom may move out into stream pages.
inline bool IsMovableKind(std::uint16_t kind) {
  return kind == rkDirectory || kind == rkFileData || kind == rkLinkTarget;
}
// Stream pages holding the moved-out data of a record of kind K have type K + 32.
inline std::uint16_t StreamPageType(std::uint16_t kind) {
  return static_cast<std::uint16_t>(kind + 32);
}

// The page types of the object layer: name continuations, header and
// directory pages, and the stream pages of the kinds whose data moves out.
inline constexpr bool IsObjectPageType(std::uint16_t type) {
  switch (type) {
    case layout::NameContinuationPage:
    case layout::ObjectHeaderPage:
    case layout::DirectoryEntryPage:
    case layout::DataPage:
    case rkUnusedStream + 32:
    case layout::LinkDataPage:
    case layout::RootDataPage:
    case layout::BlockIndexPage:
      return true;
    default:
      return false;
  }
}

// Data stream pages: their chains may skip page indices (holes after a
// compressed block's last page), a block index may list them, and they name
// that index in kIndexPage (every other page keeps 0 there).
inline constexpr bool IsDataPageType(std::uint16_t type) {
  return type == layout::DataPage || type == rkUnusedStream + 32 ||
         type == layout::LinkDataPage || type == layout::RootDataPage;
}

// The stream page type of a record kind whose data can move out, 0 for the
// kinds whose data always stays in the record (check and repair clears a
// MovedTo such a record carries).
inline constexpr std::uint16_t StreamTypeOf(std::uint16_t kind) {
  switch (kind) {
    case rkDirectory:
    case rkFileData:
    case rkUnusedStream:
    case rkLinkTarget:
    case rkRootData:
    case rkBlockIndex:
      return static_cast<std::uint16_t>(kind + 32);
    default:
      return 0;
  }
}

// The kinds the object layer knows: the settings records it reads before
// any data (a record it cannot take would make the whole object unreadable)
// and the tags.
inline constexpr bool KnownRecordKind(std::uint16_t kind) {
  return kind <= rkBlockIndex || (kind >= kFirstTagKind && kind <= kLastTagKind);
}

// The whole range of object-layer page types: name pages, header pages and
// the stream pages of every record kind up to 15 (kind + 32), including
// kinds this engine never writes. Compaction takes any page of this range
// for an object page it may move, and any page of it for a page whose
// references it may rewrite: a page of a type it does not know is moved
// only after every link to and from it was found to point back, so such a
// page does not keep the volume from shrinking. Check and repair, the
// object layer and the tests know only IsObjectPageType.
inline constexpr std::uint16_t kLastMovablePageType = layout::ObjectHeaderPage + 15;
inline constexpr bool IsMovableObjectPageType(std::uint16_t type) {
  return type >= layout::NameContinuationPage && type <= kLastMovablePageType;
}

// The movable pages whose kIndexPage may name a block index page: every
// stream page type but directory and block index pages. On the types this
// engine writes that is exactly IsDataPageType; compaction, which must
// follow every reference a page may hold, takes the wider rule.
inline constexpr bool MayNameIndexPage(std::uint16_t type) {
  return IsMovableObjectPageType(type) && type != layout::NameContinuationPage &&
         type != layout::ObjectHeaderPage && type != layout::DirectoryEntryPage &&
         type != layout::BlockIndexPage;
}

namespace type_rules_check {
// The rules above agree with each other on every type. Every page type and
// record kind the format defines lies far below the bounds walked here (a
// walk over all 65536 values would pass the constant-evaluation limits of
// some compilers).
inline constexpr bool Consistent() {
  for (std::uint32_t type = 0; type <= 0x3FF; ++type) {
    const auto t = static_cast<std::uint16_t>(type);
    if (IsObjectPageType(t) && !IsMovableObjectPageType(t)) return false;
    if (IsDataPageType(t) && !IsObjectPageType(t)) return false;
    if (IsObjectPageType(t) && MayNameIndexPage(t) != IsDataPageType(t)) return false;
  }
  for (std::uint32_t kind = 0; kind <= 0x3FF; ++kind) {
    const std::uint16_t stream = StreamTypeOf(static_cast<std::uint16_t>(kind));
    if (stream != 0 && !IsObjectPageType(stream)) return false;
  }
  return true;
}
static_assert(Consistent());
}  // namespace type_rules_check

// rkCompression record data: u32 mode, u32 level, u16 block pages, u16 zero.
// Host byte order, like every other record field in a page image.
namespace compression_record {
inline constexpr std::size_t kMode = 0;
inline constexpr std::size_t kLevel = 4;
inline constexpr std::size_t kBlockPages = 8;
inline constexpr std::size_t kReserved = 10;
inline constexpr std::size_t kSize = 12;
}  // namespace compression_record

// The attribute bits are the interface's, in vaultfs/engine_types.h.

// Record head fields (relative to the record).
using layout::kRecordDataSize;
using layout::kRecordHeadSize;
using layout::kRecordKind;
using layout::kRecordLength;
using layout::kRecordMovedTo;

// Object header page fields.
using layout::kFirstRecord;
using layout::kUsedLength;
inline constexpr std::uint32_t kFirstHeaderUsedLength =
    layout::kFirstRecord + layout::kObjectInfoLength;

// The rkObjectInfo record of a new object: its head and the three times.
inline void StoreNewObjectInfo(std::uint8_t* info, double now) {
  StoreU16(info + layout::kRecordKind, layout::rkObjectInfo);
  StoreU16(info + layout::kRecordLength, layout::kObjectInfoLength);
  StoreDouble(info + layout::kInfoCreated, now);
  StoreDouble(info + layout::kInfoModified, now);
  StoreDouble(info + layout::kInfoAccessed, now);
}

// A directory entry, decoded.
struct DirectoryEntry {
  std::uint32_t ObjectId = 0;
  std::uint32_t HeaderPage = 0;
  std::uint32_t Attributes = 0;
  std::uint32_t NameLength = 0;
  std::uint32_t NameNextPage = 0;
  char16_t NameStart[22] = {};

  static DirectoryEntry Load(const std::uint8_t* at) {
    DirectoryEntry e;
    e.ObjectId = LoadU32(at + layout::kEntryObjectId);
    e.HeaderPage = LoadU32(at + layout::kEntryHeaderPage);
    e.Attributes = LoadU32(at + layout::kEntryAttributes);
    e.NameLength = LoadU32(at + layout::kEntryNameLength);
    e.NameNextPage = LoadU32(at + layout::kEntryNameNextPage);
    for (std::uint32_t i = 0; i < 22; ++i)
      e.NameStart[i] = static_cast<char16_t>(LoadU16(at + layout::kEntryNameStart + 2 * i));
    return e;
  }
  void Store(std::uint8_t* at) const {
    StoreU32(at + layout::kEntryObjectId, ObjectId);
    StoreU32(at + layout::kEntryHeaderPage, HeaderPage);
    StoreU32(at + layout::kEntryAttributes, Attributes);
    StoreU32(at + layout::kEntryNameLength, NameLength);
    StoreU32(at + layout::kEntryNameNextPage, NameNextPage);
    for (std::uint32_t i = 0; i < 22; ++i)
      StoreU16(at + layout::kEntryNameStart + 2 * i, static_cast<std::uint16_t>(NameStart[i]));
  }
};

inline constexpr std::uint32_t kNameStartUnits = 22;

}  // namespace vaultfs
