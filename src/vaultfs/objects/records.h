// Object records in an object's chain of header pages: finding, adding,
// replacing, deleting and moving their data out into stream pages.
#pragma once

#include <cstdint>
#include <vector>

#include "vaultfs/objects/file_object.h"

namespace vaultfs {

// A record found in a header page, with the page pinned.
struct RecordRef {
  PageRef page;
  std::uint32_t offset = 0;

  explicit operator bool() const { return static_cast<bool>(page); }
  std::uint8_t* head() const { return page.data() + offset; }
  std::uint16_t Kind() const { return LoadU16(head() + kRecordKind); }
  std::uint16_t Length() const { return LoadU16(head() + kRecordLength); }
  std::uint32_t DataSize() const { return LoadU32(head() + kRecordDataSize); }
  std::uint32_t MovedTo() const { return LoadU32(head() + kRecordMovedTo); }
  std::uint8_t* data() const { return head() + kRecordHeadSize; }
  std::uint32_t PageNumber() const { return page->PageNumber; }
};

// The largest record data a header page can take.
inline std::uint32_t MaxRecordData(std::uint32_t pageSize) {
  return pageSize - 60;
}

// `onlyPage` 0 searches the whole header chain. Without the record, `found`
// is false (errStorageCorrupted with mustExist).
[[nodiscard]] EngineResult FindRecord(FileObject& object, std::uint16_t kind,
                                      std::uint32_t onlyPage, bool mustExist, Transaction* t,
                                      RecordRef& record);
[[nodiscard]] EngineResult AddRecord(FileObject& object, std::uint16_t kind,
                                     const std::uint8_t* data, std::uint32_t size, Transaction* t,
                                     std::uint32_t& headerPage);
[[nodiscard]] EngineResult SetRecord(FileObject& object, std::uint16_t kind,
                                     const std::uint8_t* data, std::uint32_t size, Transaction* t);
// Copies of the record's data (and head); errTagNotFound when absent.
[[nodiscard]] EngineResult ReadRecord(FileObject& object, std::uint16_t kind, Transaction* t,
                                      std::vector<std::uint8_t>& data,
                                      std::uint32_t* dataSize = nullptr,
                                      std::uint32_t* movedTo = nullptr,
                                      std::uint32_t* headerPage = nullptr);
[[nodiscard]] EngineResult DeleteRecord(FileObject& object, std::uint16_t kind,
                                        std::uint32_t onlyPage, bool mustExist, Transaction* t);
[[nodiscard]] EngineResult MoveRecordOut(FileObject& object, std::uint32_t headerPage,
                                         std::uint16_t kind, Transaction* t,
                                         std::uint32_t& newPage);
[[nodiscard]] EngineResult MakeRoom(FileObject& object, std::uint32_t headerPage,
                                    std::uint16_t keepKind, std::uint32_t needed, Transaction* t,
                                    bool& room);
// The tags of an object (record kinds 0x8000..0xCFFF) with their data sizes.
[[nodiscard]] EngineResult ListTags(FileObject& object, Transaction* t,
                                    std::vector<std::pair<std::uint16_t, std::uint32_t>>& tags);

// Changes a record's data size in its page (the caller made sure it fits).
[[nodiscard]] EngineResult ResizeRecord(FileObject& object, RecordRef& record,
                                        std::uint32_t newSize, Transaction* t);

}  // namespace vaultfs
