// Walking an object header page's records, and the fields of an object page
// that name other pages. Every reader of these structures (byte-order
// conversion, compaction, check and repair, the tests' structure check) goes
// through these walkers, so that what counts as a whole record and which
// fields are references is decided in one place.
//
// Both walkers work on a page image in host byte order and never read
// outside [0, end) of the page they are given: a malformed record stops the
// walk, and the caller is told how the walk ended.
#pragma once

#include <cstdint>
#include <type_traits>

#include "vaultfs/format/object_layout.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/util/byte_order.h"

namespace vaultfs {

// ------------------------------------------------------------------ records

// A record's head as the walk read it.
struct RecordHead {
  std::uint32_t Offset = 0;  // of the record, from the page start
  std::uint16_t Kind = 0;
  std::uint16_t Length = 0;  // bytes in this page, head included
  std::uint32_t DataSize = 0;
  std::uint32_t MovedTo = 0;

  std::uint32_t End() const { return Offset + Length; }
  std::uint32_t DataOffset() const { return Offset + layout::kRecordHeadSize; }
};

// What a walk finds at its cursor.
enum class RecordAt : std::uint8_t {
  kRecord,     // a whole record
  kEnd,        // the end: the records fill the area exactly
  kNoHead,     // fewer bytes than a record head are left before the end
  kBadLength,  // a length below a record head or reaching past the end (head read)
};

// The records of a header page from kFirstRecord up to `end`, which the
// caller bounds by the page size. The cursor reads each head when asked, so
// a caller may change the bytes at the cursor between steps (convert the
// head's byte order, remove the record and read what moved up).
class RecordCursor {
 public:
  RecordCursor(const std::uint8_t* page, std::uint32_t end) : page_(page), end_(end) {}

  std::uint32_t Offset() const { return at_; }
  bool HeadFits() const { return at_ <= end_ && end_ - at_ >= layout::kRecordHeadSize; }

  // Reads the record at the cursor. The head is filled for kRecord and
  // kBadLength.
  RecordAt Read(RecordHead& head) const {
    head = RecordHead{};
    head.Offset = at_;
    if (at_ >= end_) return RecordAt::kEnd;
    if (!HeadFits()) return RecordAt::kNoHead;
    const std::uint8_t* r = page_ + at_;
    head.Kind = LoadU16(r + layout::kRecordKind);
    head.Length = LoadU16(r + layout::kRecordLength);
    head.DataSize = LoadU32(r + layout::kRecordDataSize);
    head.MovedTo = LoadU32(r + layout::kRecordMovedTo);
    if (head.Length < layout::kRecordHeadSize || head.Length > end_ - at_)
      return RecordAt::kBadLength;
    return RecordAt::kRecord;
  }

  // Steps past a record Read found whole.
  void Skip(const RecordHead& head) { at_ = head.End(); }

 private:
  const std::uint8_t* page_;
  std::uint32_t end_;
  std::uint32_t at_ = layout::kFirstRecord;
};

// How a walk over records ended.
struct RecordWalkEnd {
  RecordAt Stop = RecordAt::kEnd;  // kRecord: the visitor stopped at that record
  std::uint32_t Offset = 0;        // where the walk stopped

  // Every record was whole and they filled the area exactly.
  bool Clean() const { return Stop == RecordAt::kEnd; }
};

// Calls visit(head) for every whole record before `end`, in order. A
// visitor returning bool stops the walk by returning false.
template <class Visit>
RecordWalkEnd ForEachRecord(const std::uint8_t* page, std::uint32_t end, Visit&& visit) {
  RecordCursor cursor(page, end);
  for (;;) {
    RecordHead head;
    const RecordAt at = cursor.Read(head);
    if (at != RecordAt::kRecord) return RecordWalkEnd{at, head.Offset};
    if constexpr (std::is_same_v<decltype(visit(head)), bool>) {
      if (!visit(head)) return RecordWalkEnd{RecordAt::kRecord, head.Offset};
    } else {
      visit(head);
    }
    cursor.Skip(head);
  }
}

// Where a header page's records end, as kUsedLength says, bounded by the
// page: for readers that take whatever whole records there are.
inline std::uint32_t RecordsEndWithin(const std::uint8_t* page, std::uint32_t pageSize) {
  const std::uint32_t used = LoadU16(page + layout::kUsedLength);
  return used < pageSize ? used : pageSize;
}

// Where a header page's records end, for readers that need them sound:
// false when kUsedLength lies before kFirstRecord or past the page.
inline bool UsedRecordsEnd(const std::uint8_t* page, std::uint32_t pageSize, std::uint32_t& end) {
  end = LoadU16(page + layout::kUsedLength);
  return end >= layout::kFirstRecord && end <= pageSize;
}

// --------------------------------------------------------------- references

// A field of an object page that holds a page number.
enum class PageLink : std::uint8_t {
  kPrevPage,     // the page holding the reference to this one
  kIndexPage,    // the block index page listing this one (MayNameIndexPage)
  kNextPage,     // the next page of the chain
  kMovedTo,      // header page: a record's first stream page
  kEntryHeader,  // a directory slot in use: the object's first header page
  kEntryName,    // a directory slot in use: the first page of a long name
  kIndexEntry,   // block index page: a data page it lists
};

struct PageReference {
  PageLink Link = PageLink::kPrevPage;
  std::uint32_t Field = 0;   // offset of the u32 page number from the page start
  std::uint32_t Holder = 0;  // the record (kMovedTo) or the slot (kEntry*) holding it
  std::uint16_t Kind = 0;    // kMovedTo: the record's kind

  // The links going down from this page, whose targets name it in their
  // kPrevPage.
  bool NamesChild() const {
    return Link == PageLink::kNextPage || Link == PageLink::kMovedTo ||
           Link == PageLink::kEntryHeader || Link == PageLink::kEntryName;
  }
};

// Calls visit(reference) for every field of object page `page` that names a
// page, whatever it holds (0 included), in this order: kPrevPage,
// kIndexPage, kNextPage, then by the page's type the records of a header
// page (each record's MovedTo, and the slots of an inline directory record),
// the slots of a directory page, or the entries of a block index page. Slots
// count when their object id is not 0. False when a header page's records
// cannot be walked (kUsedLength outside the page, a record that is not
// whole, bytes left over); the fields before the damage have been visited.
template <class Visit>
bool ForEachPageReference(const std::uint8_t* page, std::uint32_t pageSize, Visit&& visit) {
  const std::uint16_t type = layout::PageTypeOf(page);
  visit(PageReference{PageLink::kPrevPage, layout::kPrevPage});
  if (MayNameIndexPage(type)) visit(PageReference{PageLink::kIndexPage, layout::kIndexPage});
  visit(PageReference{PageLink::kNextPage, layout::kNextPage});
  auto slots = [&](std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t at = from; at + layout::kDirectoryEntrySize <= to;
         at += layout::kDirectoryEntrySize) {
      if (LoadU32(page + at + layout::kEntryObjectId) == 0) continue;
      visit(PageReference{PageLink::kEntryHeader, at + layout::kEntryHeaderPage, at});
      visit(PageReference{PageLink::kEntryName, at + layout::kEntryNameNextPage, at});
    }
  };
  switch (type) {
    case layout::DirectoryEntryPage:
      slots(layout::kPageHeaderSize, pageSize);
      return true;
    case layout::BlockIndexPage:
      for (std::uint32_t at = layout::kPageHeaderSize; at + 4 <= pageSize; at += 4)
        visit(PageReference{PageLink::kIndexEntry, at});
      return true;
    case layout::ObjectHeaderPage: {
      std::uint32_t end = 0;
      if (!UsedRecordsEnd(page, pageSize, end)) return false;
      const RecordWalkEnd walk = ForEachRecord(page, end, [&](const RecordHead& r) {
        visit(
            PageReference{PageLink::kMovedTo, r.Offset + layout::kRecordMovedTo, r.Offset, r.Kind});
        // Read after the visit: the visitor may have repointed it (never to 0).
        if (r.Kind == layout::rkDirectory && LoadU32(page + r.Offset + layout::kRecordMovedTo) == 0)
          slots(r.DataOffset(), r.End());
      });
      return walk.Clean();
    }
    default:
      return true;
  }
}

}  // namespace vaultfs
