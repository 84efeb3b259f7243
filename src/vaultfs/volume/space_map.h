// The space map: one u16 entry per page holding the page's type, kept in the
// first page of every group of PageSize/2 pages. This class reads and writes
// those entries through the page cache, keeps the summary that spares a
// search of the whole map (free pages per group known so far, the running
// free count, hints where free pages were last seen), allocates pages and
// grows the volume for them.
//
// The map's pages are cache pages and allocation happens during a cache
// write-back (a shadow page), so the summary is guarded by the cache's lock,
// not by a lock of its own: one would rank both above and below the cache's.
#pragma once

#include <cstdint>
#include <vector>

#include "vaultfs/result_codes.h"
#include "vaultfs/util/mutex.h"

namespace vaultfs {

class Volume;
class PageRef;
struct PageBuffer;
struct StorageSize;

class SpaceMap {
 public:
  // `cacheLock` is the volume's cache lock (PageCache::Lock()).
  SpaceMap(Volume& volume, RecursiveMutex& cacheLock) : v_(volume), lock_(cacheLock) {}
  SpaceMap(const SpaceMap&) = delete;
  SpaceMap& operator=(const SpaceMap&) = delete;

  // Forgets everything known of the map (a volume is opened or closed).
  void Reset();
  // A new volume: the first group is known and holds no free page.
  void StartNew();

  // Reads map pages until a free page is known (limit 0), group `limit` is
  // known, or (all) the whole map is; the last sets UsedPageCount.
  [[nodiscard]] EngineResult Scan(bool all, std::uint32_t limit);
  [[nodiscard]] EngineResult EnsureScanned();

  [[nodiscard]] EngineResult GetEntry(std::uint32_t page, std::uint16_t& type);
  // `forced` counts a page just appended (never counted before) and writes
  // the entry even when it holds the value already.
  [[nodiscard]] EngineResult SetEntry(std::uint32_t page, std::uint16_t type, bool forced);
  // The lowest free page from the hint on; 0 when none.
  [[nodiscard]] EngineResult FindFree(std::uint32_t& page);
  // The highest free page below `limit`; 0 when none.
  [[nodiscard]] EngineResult FindFreeBelow(std::uint32_t limit, std::uint32_t& page);
  // A page of `type` (written with `image` when given): a free one, or new
  // ones appended to the volume, a growth step at a time.
  [[nodiscard]] EngineResult Allocate(std::uint16_t type, const std::uint8_t* image,
                                      bool forcedSpace, std::uint32_t& page);
  // Writes the changed map pages, last changed first.
  [[nodiscard]] EngineResult FlushDirtyPages();
  // Forgets the changed map pages without writing them (the cache is dropped).
  void DropDirtyPages();
  [[nodiscard]] EngineResult GetStorageSize(StorageSize& size);

  // The map page of a group, for a caller that reads many entries.
  [[nodiscard]] EngineResult GetMapPage(std::uint32_t group, PageRef& map);

  std::uint32_t FreeCount();
  std::uint32_t GroupsKnown();

  // Compaction: while set, pages for the compaction's own use come from
  // `floor` on (0 = no floor).
  void SetAllocationFloor(std::uint32_t floor);
  // Compaction cut the volume at `end`: groups past it are forgotten, the
  // last group's free pages are `lastGroupFree` (counted by the caller), and
  // the free-page hints start over.
  void Truncate(std::uint32_t end, std::uint32_t lastGroupFree);
  // The free count known for the group holding page `end - 1`.
  std::uint32_t LastGroupFree(std::uint32_t end);
  // Pages `from` to `stop` - 1 of a group whose map page was just written
  // empty are free (the volume grew).
  void AddFreeRange(std::uint32_t group, std::uint32_t from, std::uint32_t stop);
  void EnsureGroupKnown(std::uint32_t group);

 private:
  [[nodiscard]] EngineResult ScanLocked(bool all, std::uint32_t limit) REQUIRES(lock_);
  [[nodiscard]] EngineResult SpaceCheck(bool forcedSpace) REQUIRES(lock_);
  void KnowGroup(std::uint32_t group) REQUIRES(lock_);

  Volume& v_;
  RecursiveMutex& lock_;
  std::uint32_t groupsKnown_ GUARDED_BY(lock_) = 0;
  std::vector<std::uint32_t> groupFree_ GUARDED_BY(lock_);
  std::uint32_t freeCount_ GUARDED_BY(lock_) = 0;
  std::uint32_t lowestFree_ GUARDED_BY(lock_) = 0xFFFFFFFFu;
  std::uint32_t highestFree_ GUARDED_BY(lock_) = 0;
  // The scan's progress: the last used page and its group, the free pages
  // below it in that group, and the free pages of the group read last,
  // counted once the scan knows whether they lie below the used end.
  std::uint32_t scanLastUsed_ GUARDED_BY(lock_) = 0;
  std::uint32_t scanPending_ GUARDED_BY(lock_) = 0;
  std::uint32_t scanLastUsedGroup_ GUARDED_BY(lock_) = 0;
  std::uint32_t scanFreeBelowLastUsed_ GUARDED_BY(lock_) = 0;
  // Changed map pages, each holding a reference until it is written.
  std::vector<PageBuffer*> dirtyMaps_ GUARDED_BY(lock_);
  std::uint32_t allocationFloor_ GUARDED_BY(lock_) = 0;
};

}  // namespace vaultfs
