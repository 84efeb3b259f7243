// On-disk layout of the object layer: record kinds, attributes, directory
// entries and the header page fields it uses. The common page header and the
// offsets shared with the volume core live in engine/volume/page_layout.h.
#pragma once

#include <cstdint>
#include <string>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"

namespace vaultfs {

// Record kinds.
using layout::attrDirectory;
using layout::rkDirectory;
using layout::rkFileEncryption;
using layout::rkLinkTarget;
using layout::rkObjectInfo;
using layout::rkStorageEncryption;
inline constexpr std::uint16_t rkFileData = 2;
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

// Attribute bits.
inline constexpr std::uint32_t attrFile = 0x0001;
inline constexpr std::uint32_t attrCompressed = 0x0008;
inline constexpr std::uint32_t attrEncrypted = 0x0010;
inline constexpr std::uint32_t attrSymLink = 0x0020;
inline constexpr std::uint32_t attrReadOnly = 0x0040;
inline constexpr std::uint32_t attrArchive = 0x0080;
inline constexpr std::uint32_t attrHidden = 0x0100;
inline constexpr std::uint32_t attrSystem = 0x0200;
inline constexpr std::uint32_t kEngineAttributeMask = 0xF03F;

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
