// The record walker and the reference walker: which records and fields they
// visit on sound pages, and that on malformed ones they stop inside the
// page and say so. Pages are allocated at their exact size, so a read past
// the end is an error under the sanitizers.
#include "vaultfs/format/record_walk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vaultfs/format/object_layout.h"
#include "vaultfs/util/byte_order.h"

namespace vaultfs {
namespace {

using namespace layout;

constexpr std::uint32_t kSize = 256;

struct Page {
  std::unique_ptr<std::uint8_t[]> bytes = std::make_unique<std::uint8_t[]>(kSize);
  std::uint8_t* data() { return bytes.get(); }
};

Page HeaderPage(std::uint32_t usedLength) {
  Page p;
  StoreU16(p.data() + kPageType, ObjectHeaderPage);
  StoreU16(p.data() + kUsedLength, static_cast<std::uint16_t>(usedLength));
  return p;
}

// Writes a record head at `at`; returns where the next record starts.
std::uint32_t PutRecord(Page& p, std::uint32_t at, std::uint16_t kind, std::uint16_t length,
                        std::uint32_t movedTo = 0) {
  StoreU16(p.data() + at + kRecordKind, kind);
  StoreU16(p.data() + at + kRecordLength, length);
  StoreU32(p.data() + at + kRecordMovedTo, movedTo);
  return at + length;
}

TEST(RecordWalk, StopsOnMalformedRecordsInsideThePage) {
  struct Case {
    std::string name;
    Page page;
    std::vector<std::uint16_t> visited;  // the kinds, in order
    RecordAt stop;
    std::uint32_t stopOffset;
  };
  std::vector<Case> cases;
  {
    Page p = HeaderPage(kFirstRecord + 48 + 20);
    PutRecord(p, PutRecord(p, kFirstRecord, rkObjectInfo, 48), rkFileData, 20);
    cases.push_back({"records filling UsedLength", std::move(p), {0, 2}, RecordAt::kEnd, 104});
  }
  {
    Page p = HeaderPage(kFirstRecord + 48 + 20);
    PutRecord(p, PutRecord(p, kFirstRecord, rkObjectInfo, 48), rkFileData, 0);
    cases.push_back({"a length of 0", std::move(p), {0}, RecordAt::kBadLength, 84});
  }
  {
    Page p = HeaderPage(kFirstRecord + 48 + 20);
    PutRecord(p, PutRecord(p, kFirstRecord, rkObjectInfo, 48), rkFileData, 21);
    cases.push_back({"a record past UsedLength", std::move(p), {0}, RecordAt::kBadLength, 84});
  }
  {
    Page p = HeaderPage(kFirstRecord + 48 + 6);
    PutRecord(p, kFirstRecord, rkObjectInfo, 48);
    cases.push_back({"bytes left over", std::move(p), {0}, RecordAt::kNoHead, 84});
  }
  {
    // UsedLength beyond the page: the walk ends at the page's last byte.
    Page p = HeaderPage(0xFFFF);
    PutRecord(p, PutRecord(p, kFirstRecord, rkObjectInfo, 48), rkFileData, kSize - 84);
    cases.push_back({"UsedLength past the page", std::move(p), {0, 2}, RecordAt::kEnd, kSize});
  }
  {
    Page p = HeaderPage(kFirstRecord + 48);
    PutRecord(p, kFirstRecord, rkObjectInfo, 0xFFFF);
    cases.push_back({"a length past the page", std::move(p), {}, RecordAt::kBadLength, 36});
  }
  {
    Page p = HeaderPage(10);
    cases.push_back({"UsedLength before the records", std::move(p), {}, RecordAt::kEnd, 36});
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint16_t> visited;
    const RecordWalkEnd end =
        ForEachRecord(c.page.data(), RecordsEndWithin(c.page.data(), kSize),
                      [&](const RecordHead& head) { visited.push_back(head.Kind); });
    EXPECT_EQ(visited, c.visited);
    EXPECT_EQ(end.Stop, c.stop);
    EXPECT_EQ(end.Offset, c.stopOffset);
  }
}

TEST(RecordWalk, VisitorStopsTheWalk) {
  Page p = HeaderPage(kFirstRecord + 48 + 20 + 12);
  PutRecord(p, PutRecord(p, PutRecord(p, kFirstRecord, rkObjectInfo, 48), rkCompression, 20),
            rkBlockIndex, 12);
  std::vector<std::uint16_t> visited;
  const RecordWalkEnd end =
      ForEachRecord(p.data(), RecordsEndWithin(p.data(), kSize), [&](const RecordHead& head) {
        visited.push_back(head.Kind);
        return head.Kind != rkCompression;
      });
  EXPECT_EQ(visited, (std::vector<std::uint16_t>{rkObjectInfo, rkCompression}));
  EXPECT_EQ(end.Stop, RecordAt::kRecord);
  EXPECT_EQ(end.Offset, 84u);
  EXPECT_FALSE(end.Clean());
}

// (link, field offset) pairs a walk visits, fields holding 0 included.
using Visits = std::vector<std::pair<PageLink, std::uint32_t>>;

Visits WalkReferences(const std::uint8_t* page, bool& walked) {
  Visits visits;
  walked = ForEachPageReference(
      page, kSize, [&](const PageReference& ref) { visits.emplace_back(ref.Link, ref.Field); });
  return visits;
}

TEST(ReferenceWalk, VisitsEveryFieldThatNamesAPage) {
  const std::uint32_t slot1 = kPageHeaderSize + kDirectoryEntrySize;
  struct Case {
    std::string name;
    Page page;
    Visits expected;
    bool walked;
  };
  std::vector<Case> cases;
  {
    // Two slots, the first unused: only the second counts.
    Page p;
    StoreU16(p.data() + kPageType, DirectoryEntryPage);
    StoreU32(p.data() + slot1 + kEntryObjectId, 9);
    cases.push_back({"directory page",
                     std::move(p),
                     {{PageLink::kPrevPage, kPrevPage},
                      {PageLink::kNextPage, kNextPage},
                      {PageLink::kEntryHeader, slot1 + kEntryHeaderPage},
                      {PageLink::kEntryName, slot1 + kEntryNameNextPage}},
                     true});
  }
  {
    Page p;
    StoreU16(p.data() + kPageType, DataPage);
    cases.push_back({"data page",
                     std::move(p),
                     {{PageLink::kPrevPage, kPrevPage},
                      {PageLink::kIndexPage, kIndexPage},
                      {PageLink::kNextPage, kNextPage}},
                     true});
  }
  {
    Page p;
    StoreU16(p.data() + kPageType, BlockIndexPage);
    Visits expected{{PageLink::kPrevPage, kPrevPage}, {PageLink::kNextPage, kNextPage}};
    for (std::uint32_t at = kPageHeaderSize; at < kSize; at += 4)
      expected.emplace_back(PageLink::kIndexEntry, at);
    cases.push_back({"block index page", std::move(p), expected, true});
  }
  {
    // Info, an inline directory with one used slot, a moved-out file data
    // record, then a record reaching past UsedLength.
    const std::uint32_t dir = kFirstRecord + 48;
    const std::uint32_t data = dir + kRecordHeadSize + 2 * kDirectoryEntrySize;
    const std::uint32_t bad = data + kRecordHeadSize;
    Page p = HeaderPage(bad + kRecordHeadSize);
    PutRecord(p, kFirstRecord, rkObjectInfo, 48);
    PutRecord(p, dir, rkDirectory, kRecordHeadSize + 2 * kDirectoryEntrySize);
    StoreU32(p.data() + dir + kRecordHeadSize + kEntryObjectId, 5);
    PutRecord(p, data, rkFileData, kRecordHeadSize, 77);
    PutRecord(p, bad, rkLinkTarget, 2 * kRecordHeadSize);
    const std::uint32_t slot = dir + kRecordHeadSize;
    cases.push_back({"header page ending in damage",
                     std::move(p),
                     {{PageLink::kPrevPage, kPrevPage},
                      {PageLink::kNextPage, kNextPage},
                      {PageLink::kMovedTo, kFirstRecord + kRecordMovedTo},
                      {PageLink::kMovedTo, dir + kRecordMovedTo},
                      {PageLink::kEntryHeader, slot + kEntryHeaderPage},
                      {PageLink::kEntryName, slot + kEntryNameNextPage},
                      {PageLink::kMovedTo, data + kRecordMovedTo}},
                     false});
  }
  {
    // A moved-out directory record's slots are in its directory pages,
    // whatever its own bytes hold.
    Page p = HeaderPage(kFirstRecord + kRecordHeadSize + kDirectoryEntrySize);
    PutRecord(p, kFirstRecord, rkDirectory, kRecordHeadSize + kDirectoryEntrySize, 40);
    StoreU32(p.data() + kFirstRecord + kRecordHeadSize + kEntryObjectId, 5);
    cases.push_back({"moved-out directory record",
                     std::move(p),
                     {{PageLink::kPrevPage, kPrevPage},
                      {PageLink::kNextPage, kNextPage},
                      {PageLink::kMovedTo, kFirstRecord + kRecordMovedTo}},
                     true});
  }
  {
    Page p = HeaderPage(kSize + 1);
    cases.push_back({"UsedLength past the page",
                     std::move(p),
                     {{PageLink::kPrevPage, kPrevPage}, {PageLink::kNextPage, kNextPage}},
                     false});
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool walked = !c.walked;
    EXPECT_EQ(WalkReferences(c.page.data(), walked), c.expected);
    EXPECT_EQ(walked, c.walked);
  }
}

}  // namespace
}  // namespace vaultfs
