// The space map: how the volume grows, where the map pages lie, the growth
// limit, reuse of freed pages, the free counts after a rescan, and fixed-size
// volumes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/volume/volume.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

using namespace layout;
using Bytes = std::vector<std::uint8_t>;

const std::u16string kPath = u"map.vfs";
constexpr std::uint32_t kNoLimit = 0x7FFFFFFF;

std::uint32_t ShiftOf(std::uint32_t pageSize) {
  std::uint32_t shift = 0;
  while ((1u << shift) != pageSize) ++shift;
  return shift;
}

class SpaceMap : public testing::HostedVolumeTest {
 protected:

  void Start(std::uint32_t pageSize, bool transactions) {
    ASSERT_EQ(volume_.Close(), errOk);
    ASSERT_EQ(volume_.SetUseTransactions(transactions), errOk);
    ASSERT_EQ(volume_.Create(kPath, true, pageSize, u""), errOk);
  }

  void Reopen() {
    ASSERT_EQ(volume_.Close(), errOk);
    ASSERT_EQ(volume_.Open(kPath, false), errOk);
  }

  std::uint32_t Allocate(std::uint16_t type = DataPage, bool forced = false) {
    std::uint32_t page = 0;
    EXPECT_EQ(volume_.AllocatePage(type, nullptr, forced, page), errOk);
    return page;
  }

  // Allocates data pages until the volume holds exactly `used` pages, none of
  // them free; returns the pages handed out.
  std::vector<std::uint32_t> FillTo(std::uint32_t used) {
    std::vector<std::uint32_t> pages;
    EXPECT_EQ(volume_.SetMaxPageCount(used), errOk);
    for (;;) {
      std::uint32_t page = 0;
      const EngineResult r = volume_.AllocatePage(DataPage, nullptr, false, page);
      if (r == errStorageFull) break;
      EXPECT_EQ(r, errOk);
      if (r != errOk) break;
      pages.push_back(page);
    }
    EXPECT_EQ(volume_.UsedPageCount, used);
    EXPECT_EQ(volume_.FreeCount(), 0u);
    EXPECT_EQ(volume_.SetMaxPageCount(kNoLimit), errOk);
    return pages;
  }

  std::uint16_t Entry(std::uint32_t page) {
    std::uint16_t entry = 0xABCD;
    EXPECT_EQ(volume_.GetMapEntry(page, entry), errOk);
    return entry;
  }

  std::size_t FileSize() const { return files_.Contents(kPath).size(); }

  std::uint64_t FreeBytes() {
    StorageSize size;
    EXPECT_EQ(volume_.GetStorageSize(size), errOk);
    return size.FreeBytes;
  }

  bool Corrupted() {
    bool corrupted = false;
    EXPECT_EQ(volume_.GetCorrupted(corrupted), errOk);
    return corrupted;
  }
};

TEST_F(SpaceMap, GrowthStepsAndMapPages) {
  struct Case {
    std::uint32_t pageSize;
    std::uint32_t used;
    std::uint32_t answer;
    std::uint32_t appended;
  };
  const Case cases[] = {
      {4096, 3, 3, 1},  // a new volume: 3/4 + 1
      {4096, 40, 40, 11},     {4096, 300, 300, 64},
      {4096, 2047, 2047, 65},  // the answer, map page 2048, 63 free pages
      {512, 255, 255, 65},     // the answer, map page 256, 63 free pages
      {512, 256, 257, 65},     // map page 256 first, then the answer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pageSize) + "-byte pages, " + std::to_string(c.used) + " used");
    Start(c.pageSize, false);
    FillTo(c.used);
    ASSERT_EQ(FileSize(), std::size_t{c.used} * c.pageSize);

    EXPECT_EQ(Allocate(), c.answer);
    const std::uint32_t end = c.used + c.appended;
    EXPECT_EQ(FileSize(), std::size_t{end} * c.pageSize);
    EXPECT_EQ(volume_.HostPageCount, end);
    EXPECT_EQ(volume_.UsedPageCount, end);
    const std::uint32_t half = c.pageSize / 2;
    std::uint32_t mapPages = 0;
    std::vector<std::uint32_t> freePages;
    for (std::uint32_t p = c.used; p < end; ++p) {
      if (p % half == 0) {
        ++mapPages;
        EXPECT_EQ(Entry(p), ShiftOf(c.pageSize)) << p;
      } else if (p == c.answer) {
        EXPECT_EQ(Entry(p), DataPage);
      } else {
        EXPECT_EQ(Entry(p), 0) << p;
        freePages.push_back(p);
      }
    }
    EXPECT_EQ(volume_.FreeCount(), freePages.size());
    EXPECT_EQ(freePages.size(), c.appended - 1 - mapPages);

    // The appended pages are handed out in order before the volume grows again.
    for (const std::uint32_t p : freePages) ASSERT_EQ(Allocate(), p);
    EXPECT_EQ(FileSize(), std::size_t{end} * c.pageSize);

    ASSERT_EQ(volume_.Close(), errOk);
    const Bytes file = files_.Contents(kPath);
    for (std::uint32_t p = 0; p < end; p += half)
      EXPECT_EQ(LoadU16(file.data() + std::size_t{p} * c.pageSize), ShiftOf(c.pageSize))
          << "map page " << p;
    EXPECT_EQ(LoadU16(file.data() + std::size_t{c.answer} * c.pageSize + kPageType), DataPage);
  }
}

TEST_F(SpaceMap, MapPagesLieAtEveryMultipleOfHalfThePageSize) {
  Start(512, false);
  std::vector<std::uint32_t> pages;
  for (int i = 0; i < 1100; ++i) pages.push_back(Allocate());
  for (const std::uint32_t p : pages) ASSERT_NE(p % 256, 0u) << "a map page was handed out";
  std::sort(pages.begin(), pages.end());
  EXPECT_EQ(std::adjacent_find(pages.begin(), pages.end()), pages.end()) << "a page twice";

  const std::uint32_t used = volume_.UsedPageCount;
  const std::uint32_t freeCount = volume_.FreeCount();
  ASSERT_EQ(volume_.Close(), errOk);
  const Bytes file = files_.Contents(kPath);
  for (std::uint32_t p = 0; p < used; p += 256) {
    SCOPED_TRACE(p);
    // Entry 0 describes the map page itself; entries for its group follow.
    EXPECT_EQ(LoadU16(file.data() + std::size_t{p} * 512), 9);
    std::uint32_t dataEntries = 0;
    for (std::uint32_t i = 1; i < 256 && p + i < used; ++i)
      if (LoadU16(file.data() + std::size_t{p} * 512 + 2 * i) == DataPage) ++dataEntries;
    const auto inGroup = std::count_if(pages.begin(), pages.end(),
                                       [p](std::uint32_t n) { return n > p && n < p + 256; });
    EXPECT_EQ(dataEntries, static_cast<std::uint32_t>(inGroup));
  }

  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  ASSERT_EQ(volume_.EnsureScanned(), errOk);
  EXPECT_EQ(volume_.UsedPageCount, used);
  EXPECT_EQ(volume_.FreeCount(), freeCount);
  for (std::uint32_t p = 0; p < used; p += 256) EXPECT_EQ(Entry(p), 9);
}

TEST_F(SpaceMap, MaxPageCountCapsGrowth) {
  struct Case {
    std::uint32_t pageSize;
    std::uint32_t used;
    std::uint32_t max;
    EngineResult result;
    std::uint32_t appended;
  };
  const Case cases[] = {
      {4096, 40, 45, errOk, 5},          {4096, 300, 301, errOk, 1},
      {512, 255, 257, errOk, 2},  // the answer and map page 256
      {4096, 40, 40, errStorageFull, 0}, {4096, 3, 3, errStorageFull, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.used) + " used, at most " + std::to_string(c.max));
    Start(c.pageSize, false);
    FillTo(c.used);
    ASSERT_EQ(volume_.SetMaxPageCount(c.max), errOk);
    files_.ResetFaults();
    std::uint32_t page = 0;
    EXPECT_EQ(volume_.AllocatePage(DataPage, nullptr, false, page), c.result);
    EXPECT_EQ(FileSize(), std::size_t{c.used + c.appended} * c.pageSize);
    if (c.result == errOk) {
      EXPECT_EQ(page, c.used);
      EXPECT_EQ(volume_.UsedPageCount, c.used + c.appended);
    } else {
      EXPECT_EQ(files_.WriteCount(), 0u) << "something was written";
      EXPECT_EQ(volume_.UsedPageCount, c.used);
    }
    // Up to the limit and no further.
    while (volume_.AllocatePage(DataPage, nullptr, false, page) == errOk) {
    }
    EXPECT_EQ(volume_.UsedPageCount, std::max(c.used, c.max));
    EXPECT_EQ(FileSize(), std::size_t{std::max(c.used, c.max)} * c.pageSize);
  }
}

TEST_F(SpaceMap, FreedPagesAreReusedLowestFirst) {
  struct Case {
    std::uint32_t pageSize;
    std::uint32_t used;
    std::vector<std::uint32_t> freed;  // in this order
  };
  const Case cases[] = {
      {4096, 20, {7, 11, 15}},
      {4096, 20, {15, 11, 7}},
      {4096, 20, {11, 15, 7, 3}},
      {512, 600, {550, 10, 300, 511}},  // across space map groups
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.freed));
    Start(c.pageSize, false);
    FillTo(c.used);
    for (const std::uint32_t p : c.freed) ASSERT_EQ(volume_.FreePage(p), errOk);
    EXPECT_EQ(volume_.FreeCount(), c.freed.size());
    EXPECT_EQ(FreeBytes(), c.freed.size() * c.pageSize);
    std::vector<std::uint32_t> expected = c.freed;
    std::sort(expected.begin(), expected.end());
    for (const std::uint32_t p : expected) EXPECT_EQ(Allocate(), p);
    EXPECT_EQ(FileSize(), std::size_t{c.used} * c.pageSize);
    EXPECT_EQ(Allocate(), c.used) << "no free page left, so the volume grows";
  }
}

TEST_F(SpaceMap, CountsSurviveCloseAndRescan) {
  struct Case {
    std::uint32_t pageSize;
    bool transactions;
    std::uint32_t used;
  };
  const Case cases[] = {{512, false, 700}, {512, true, 700}, {4096, true, 300}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pageSize) + (c.transactions ? " with" : " without") +
                 " transactions");
    Start(c.pageSize, c.transactions);
    const std::vector<std::uint32_t> pages = FillTo(c.used);
    std::vector<std::uint32_t> freed;
    for (std::size_t i = 0; i < pages.size(); i += 7) freed.push_back(pages[i]);
    for (const std::uint32_t p : freed) ASSERT_EQ(volume_.FreePage(p), errOk);
    std::sort(freed.begin(), freed.end());
    ASSERT_EQ(volume_.FreeCount(), freed.size());
    ASSERT_EQ(FreeBytes(), freed.size() * c.pageSize);

    Reopen();
    EXPECT_EQ(FreeBytes(), freed.size() * c.pageSize);
    EXPECT_EQ(volume_.FreeCount(), freed.size());
    StorageSize size;
    ASSERT_EQ(volume_.GetStorageSize(size), errOk);
    EXPECT_EQ(size.Size, std::uint64_t{c.used} * c.pageSize);
    for (const std::uint32_t p : freed) ASSERT_EQ(Allocate(), p);
    EXPECT_EQ(volume_.FreeCount(), 0u);
    EXPECT_EQ(FileSize(), std::size_t{c.used} * c.pageSize);
  }
}

// Pages a transaction left in the map are reclaimed only by an opening that
// does not use transactions itself.
TEST_F(SpaceMap, LeftoverTransactionPagesAreFreeOnlyWithoutTransactions) {
  struct Case {
    bool transactions;
    std::vector<std::uint32_t> reused;
  };
  const Case cases[] = {{false, {3, 4, 5}}, {true, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.transactions ? "with transactions" : "without transactions");
    Start(4096, true);  // page 3 holds the transaction table while open
    ASSERT_EQ(Allocate(JournalPage, true), 4u);
    ASSERT_EQ(Allocate(TransactionTablePage, true), 5u);
    ASSERT_EQ(volume_.Close(), errOk);  // page 3 is freed, 4 and 5 stay as they are

    ASSERT_EQ(volume_.SetUseTransactions(c.transactions), errOk);
    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    std::vector<std::uint32_t> reused;
    ASSERT_EQ(volume_.EnsureScanned(), errOk);
    for (std::uint32_t n = volume_.FreeCount(); n > 0; --n) reused.push_back(Allocate());
    EXPECT_EQ(reused, c.reused);
    EXPECT_EQ(FileSize(), 6u * 4096);
  }
}

// Right after opening, the map is scanned only as far as it is needed; a map
// change made before the scan is complete must still leave exact counts.
TEST_F(SpaceMap, ChangesBeforeTheFirstFullScanKeepTheCountsRight) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> freeAtOpen;
    std::uint32_t page;
    bool take;  // mark the page used; else free it
    std::vector<std::uint32_t> freeAfter;
  };
  const Case cases[] = {
      {"take a page of the first group", {20, 291, 550}, 20, true, {291, 550}},
      {"take a page of the middle group", {290, 291, 550}, 290, true, {291, 550}},
      {"take a page of the last group", {291, 550}, 550, true, {291}},
      {"free a page of the middle group", {550}, 300, false, {300, 550}},
      {"free a page of the last group", {291}, 560, false, {291, 560}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(512, false);
    FillTo(600);
    for (const std::uint32_t p : c.freeAtOpen) ASSERT_EQ(volume_.FreePage(p), errOk);
    Reopen();
    ASSERT_EQ(volume_.SetMapEntry(c.page, c.take ? DataPage : kFreePageType, false), errOk);
    EXPECT_EQ(FreeBytes(), c.freeAfter.size() * 512);
    EXPECT_EQ(volume_.FreeCount(), c.freeAfter.size());
    for (const std::uint32_t p : c.freeAfter) EXPECT_EQ(Allocate(), p);
    EXPECT_EQ(Allocate(), 600u);
  }
}

// A volume that never changes its file size: it fills up instead of growing.
TEST_F(SpaceMap, FixedSizeVolumeFillsUpWithoutGrowing) {
  struct Case {
    bool transactions;
    std::uint32_t ordinaryEnd;  // UsedPageCount when ordinary allocation stops
    std::uint32_t forcedEnd;    // ... and when transaction pages stop
  };
  constexpr std::uint32_t kPages = 300;
  // With transactions the last page stays for the journal and five more are
  // kept for the transaction machinery.
  const Case cases[] = {{false, kPages, kPages}, {true, kPages - 6, kPages - 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.transactions ? "with transactions" : "without transactions");
    Start(512, c.transactions);
    ASSERT_EQ(volume_.Close(), errOk);
    Bytes file = files_.Contents(kPath);
    StoreU16(file.data() + 512 + kFixedSize, 1);
    file.resize(kPages * 512, 0);
    files_.SetContents(kPath, file);

    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    EXPECT_TRUE(volume_.FixedSize);
    StorageSize size;
    ASSERT_EQ(volume_.GetStorageSize(size), errOk);
    EXPECT_TRUE(size.FixedSize);
    EXPECT_EQ(size.Size, kPages * 512u);
    EXPECT_EQ(size.FreeBytes, std::uint64_t{kPages - volume_.UsedPageCount} * 512);

    std::vector<std::uint32_t> pages;
    std::uint32_t page = 0;
    EngineResult r;
    while ((r = volume_.AllocatePage(DataPage, nullptr, false, page)) == errOk) {
      ASSERT_NE(page % 256, 0u);
      pages.push_back(page);
    }
    EXPECT_EQ(r, errStorageFull);
    EXPECT_EQ(volume_.UsedPageCount, c.ordinaryEnd);
    EXPECT_EQ(Entry(256), 9);
    while ((r = volume_.AllocatePage(JournalPage, nullptr, true, page)) == errOk)
      ASSERT_LT(page, kPages - (c.transactions ? 1 : 0));
    EXPECT_EQ(r, errStorageFull);
    EXPECT_EQ(volume_.UsedPageCount, c.forcedEnd);
    EXPECT_EQ(FileSize(), kPages * 512u);
    ASSERT_EQ(volume_.GetStorageSize(size), errOk);
    EXPECT_EQ(size.Size, kPages * 512u);
    EXPECT_EQ(size.FreeBytes, std::uint64_t{kPages - c.forcedEnd} * 512);

    // Freed pages come back, the tail stays where it is.
    ASSERT_EQ(volume_.FreePage(pages[5]), errOk);
    ASSERT_EQ(volume_.FreePage(pages[200]), errOk);
    const std::uint64_t freeBytes = FreeBytes();
    EXPECT_EQ(freeBytes, std::uint64_t{kPages - c.forcedEnd + 2} * 512);
    Reopen();
    EXPECT_TRUE(volume_.FixedSize);
    EXPECT_EQ(FreeBytes(), freeBytes);
    EXPECT_EQ(Allocate(), pages[5]);
    EXPECT_EQ(Allocate(), pages[200]);
    EXPECT_EQ(volume_.AllocatePage(DataPage, nullptr, false, page), errStorageFull);
    ASSERT_EQ(volume_.Close(), errOk);
    EXPECT_EQ(FileSize(), kPages * 512u);
    EXPECT_EQ(LoadU16(files_.Contents(kPath).data() + 256 * 512), 9);
  }
}

TEST_F(SpaceMap, AllocatingAPageTheCacheStillHoldsIsCorruption) {
  Start(512, false);
  const std::uint32_t n = Allocate();
  ASSERT_EQ(volume_.FreePage(n), errOk);
  PageRef stale;
  ASSERT_EQ(volume_.GetPage(n, true, -1, 0, nullptr, stale), errOk);
  PageRef fresh;
  EXPECT_EQ(volume_.AllocateNewPage(DataPage, nullptr, fresh), errStorageCorrupted);
  EXPECT_FALSE(fresh);
  EXPECT_TRUE(Corrupted());
  EXPECT_EQ(stale->RefCount.load(), 1u);
}

TEST_F(SpaceMap, AllocateNewPageGivesAZeroedPageOfItsType) {
  Start(512, false);
  const std::uint32_t n = Allocate();
  Bytes junk(512, 0xA5);
  ASSERT_EQ(volume_.WritePage(n, junk.data()), errOk);
  ASSERT_EQ(volume_.FreePage(n), errOk);
  PageRef page;
  ASSERT_EQ(volume_.AllocateNewPage(BlockIndexPage, nullptr, page), errOk);
  ASSERT_EQ(page->PageNumber, n);
  EXPECT_EQ(PageTypeOf(page.data()), BlockIndexPage);
  EXPECT_EQ(PageNumberOf(page.data()), n);
  EXPECT_TRUE(
      std::all_of(page.data() + 8, page.data() + 512, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(page->Has(pbDirty));
  EXPECT_EQ(Entry(n), BlockIndexPage);
  page = PageRef();
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_EQ(LoadU16(files_.Contents(kPath).data() + n * 512), BlockIndexPage);
}

// A reference that points where no page of its kind can be is corruption, and
// the map is left as it was.
TEST_F(SpaceMap, FreeingWhatIsNoPageIsRefused) {
  Start(512, false);
  FillTo(300);
  struct Case {
    const char* name;
    std::uint32_t page;
  };
  const Case cases[] = {{"first map page", 0},
                        {"second map page", 256},
                        {"past the end", 300},
                        {"far past the end", 0xFFFFFFF0u}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(volume_.FreePage(c.page), errStorageCorrupted);
  }
  EXPECT_TRUE(Corrupted());
  EXPECT_EQ(volume_.FreeCount(), 0u);
  EXPECT_EQ(Entry(0), 9);
  EXPECT_EQ(Entry(256), 9);
  EXPECT_EQ(Entry(2), ObjectHeaderPage);
  EXPECT_EQ(Entry(257), DataPage);
  EXPECT_EQ(Allocate(), 300u) << "a page in use was handed out";
  ASSERT_EQ(volume_.Close(), errOk);
  const Bytes file = files_.Contents(kPath);
  EXPECT_EQ(LoadU16(file.data()), 9);
  EXPECT_EQ(LoadU16(file.data() + 256 * 512), 9);
}

TEST_F(SpaceMap, FreeChainStopsAtABrokenLink) {
  struct Case {
    const char* name;
    std::uint32_t lastNext;  // where the chain's last page points; 0 ends it
    std::uint32_t owner;     // owner asked for
    EngineResult result;
  };
  const Case cases[] = {
      {"whole chain", 0, 7, errOk},
      {"loop back to the first page", 1, 7, errStorageCorrupted},  // index into `chain`
      {"into a space map page", 256, 7, errStorageCorrupted},
      {"past the end", 5000, 7, errStorageCorrupted},
      {"another owner", 0, 8, errStorageCorrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(512, false);
    FillTo(300);
    // A chain of four data pages owned by object 7.
    const std::vector<std::uint32_t> chain = {20, 21, 40, 260};
    for (std::size_t i = 0; i < chain.size(); ++i) {
      PageRef page;
      ASSERT_EQ(volume_.GetPage(chain[i], true, -1, 0, nullptr, page), errOk);
      std::uint32_t next = i + 1 < chain.size() ? chain[i + 1] : c.lastNext;
      if (i + 1 == chain.size() && c.lastNext == 1) next = chain[0];
      StoreU16(page.data() + kPageType, DataPage);
      StoreU32(page.data() + kPageNumber, chain[i]);
      StoreU32(page.data() + kNextPage, next);
      StoreU32(page.data() + kOwnerId, 7);
      ASSERT_EQ(volume_.MarkDirty(page.get(), nullptr), errOk);
    }
    // On the medium, so that a page met again is read back as it was.
    ASSERT_EQ(volume_.WriteAllDirty(), errOk);
    EXPECT_EQ(volume_.FreeChain(chain[0], DataPage, c.owner, nullptr), c.result);
    EXPECT_EQ(Corrupted(), c.result != errOk);
    if (c.result == errOk) {
      EXPECT_EQ(volume_.FreeCount(), chain.size());
      for (const std::uint32_t p : chain) EXPECT_EQ(Entry(p), 0) << p;
    }
    EXPECT_EQ(Entry(256), 9);
    ASSERT_EQ(volume_.Close(), errOk);
  }
}

TEST_F(SpaceMap, FindFreeBelowWalksDownFromTheHighestFreePage) {
  Start(512, false);
  FillTo(600);
  for (const std::uint32_t p : {10u, 300u, 550u}) ASSERT_EQ(volume_.FreePage(p), errOk);
  struct Step {
    std::uint32_t limit;
    std::uint32_t found;  // 0: none
  };
  // Each answer is taken, as a compaction step would.
  const Step steps[] = {{600, 550}, {300, 10}, {600, 300}, {600, 0}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.limit);
    std::uint32_t page = 12345;
    ASSERT_EQ(volume_.FindFreeBelow(s.limit, page), errOk);
    EXPECT_EQ(page, s.found);
    if (page != 0) {
      ASSERT_EQ(volume_.SetMapEntry(page, DataPage, false), errOk);
    }
  }
  // A page freed above the last answer is still found.
  ASSERT_EQ(volume_.FreePage(580), errOk);
  std::uint32_t page = 0;
  ASSERT_EQ(volume_.FindFreeBelow(600, page), errOk);
  EXPECT_EQ(page, 580u);
  ASSERT_EQ(volume_.FindFreeBelow(580, page), errOk);
  EXPECT_EQ(page, 0u);
}

}  // namespace
}  // namespace vaultfs
