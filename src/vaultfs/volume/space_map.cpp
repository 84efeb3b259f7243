// The space map: one u16 entry per page holding the page's type, kept in the
// first page of every group of PageSize/2 pages; allocation and growth.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "vaultfs/format/page_layout.h"
#include "vaultfs/util/byte_order.h"
#include "vaultfs/volume/transaction.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

using namespace layout;

namespace {
std::uint16_t MapEntry(const std::uint8_t* map, std::uint32_t index) {
  return LoadU16(map + 2 * index);
}
}  // namespace

// HostPageCount grows here under the cache lock, while other threads check
// page numbers against it without that lock: both sides go through an atomic
// view of the field.
std::uint32_t HostPageCountNow(Volume& volume) {
  return std::atomic_ref<std::uint32_t>(volume.HostPageCount).load(std::memory_order_relaxed);
}

bool Volume::IsFreeEntry(std::uint16_t entry) const {
  return entry == 0 || (!UseTransactions && entry >= JournalPage);
}

EngineResult SpaceMap::GetMapPage(std::uint32_t group, PageRef& map) {
  const std::uint64_t page = std::uint64_t{group} << (v_.PageShift - 1);
  if (page > 0xFFFFFFFFu) return errStorageCorrupted;
  return v_.GetPage(static_cast<std::uint32_t>(page), true, static_cast<int>(v_.PageShift), 0,
                    nullptr, map);
}

EngineResult SpaceMap::Scan(bool all, std::uint32_t limit) {
  MutexLock lock(lock_);
  return ScanLocked(all, limit);
}

EngineResult SpaceMap::EnsureScanned() {
  MutexLock lock(lock_);
  if (v_.UsedPageCount != kUnknownPageCount) return 0;
  return ScanLocked(true, 0);
}

EngineResult SpaceMap::ScanLocked(bool all, std::uint32_t limit) {
  if (!v_.Active) return errStorageNotActive;
  const std::uint32_t half = v_.PageSize / 2;
  while (v_.UsedPageCount == kUnknownPageCount) {
    const std::uint64_t start = std::uint64_t{groupsKnown_} * half;
    if (start >= v_.HostPageCount) {
      if (v_.FixedSize) {
        v_.UsedPageCount = scanLastUsed_ + 1;
      } else {
        v_.UsedPageCount = v_.HostPageCount;
        freeCount_ += scanPending_;
      }
      scanPending_ = 0;
      break;
    }
    PageRef map;
    EngineResult r = GetMapPage(groupsKnown_, map);
    if (r != 0) return r;
    const std::uint8_t* entries = map.data();
    const bool neverWritten = MapEntry(entries, 0) == 0;
    if (neverWritten && v_.FixedSize) {
      v_.UsedPageCount = scanLastUsed_ + 1;
      scanPending_ = 0;
      break;
    }
    freeCount_ += scanPending_;
    scanPending_ = 0;
    std::uint32_t count = 0;
    for (std::uint32_t i = 1; i < half; ++i) {
      const std::uint64_t p = start + i;
      if (p >= v_.HostPageCount) break;
      const std::uint16_t entry = neverWritten ? 0 : MapEntry(entries, i);
      if (v_.IsFreeEntry(entry)) {
        lowestFree_ = std::min<std::uint32_t>(lowestFree_, static_cast<std::uint32_t>(p));
        highestFree_ = std::max<std::uint32_t>(highestFree_, static_cast<std::uint32_t>(p));
        ++count;
      } else {
        scanLastUsed_ = static_cast<std::uint32_t>(p);
        scanLastUsedGroup_ = groupsKnown_;
        scanFreeBelowLastUsed_ = count;
      }
    }
    groupFree_.push_back(count);
    ++groupsKnown_;
    scanPending_ = count;
    if (!all && limit == 0 && freeCount_ != 0) break;
    if (!all && limit > 0 && groupsKnown_ > limit) break;
  }
  if (v_.UsedPageCount != kUnknownPageCount) {
    freeCount_ += scanPending_;
    scanPending_ = 0;
    if (v_.FixedSize) {
      // Only the free pages below the end of the used area count on a
      // fixed-size volume; the tail after it is room for growth.
      for (std::uint32_t g = 0; g < groupFree_.size(); ++g) {
        if (g > scanLastUsedGroup_) groupFree_[g] = 0;
      }
      if (scanLastUsedGroup_ < groupFree_.size())
        groupFree_[scanLastUsedGroup_] = scanFreeBelowLastUsed_;
      freeCount_ = 0;
      for (std::uint32_t c : groupFree_) freeCount_ += c;
    }
  }
  return 0;
}

void SpaceMap::KnowGroup(std::uint32_t group) {
  while (groupFree_.size() <= group) groupFree_.push_back(0);
  if (groupsKnown_ <= group) groupsKnown_ = group + 1;
}

EngineResult SpaceMap::GetEntry(std::uint32_t page, std::uint16_t& type) {
  MutexLock lock(lock_);
  PageRef map;
  EngineResult r = GetMapPage(page >> (v_.PageShift - 1), map);
  if (r != 0) return r;
  const std::uint8_t* entries = map.data();
  type = MapEntry(entries, 0) == 0 ? 0 : MapEntry(entries, page & (v_.PageSize / 2 - 1));
  if ((page & (v_.PageSize / 2 - 1)) == 0) type = static_cast<std::uint16_t>(v_.PageShift);
  return 0;
}

EngineResult SpaceMap::SetEntry(std::uint32_t page, std::uint16_t type, bool forced) {
  MutexLock lock(lock_);
  if (v_.ReadOnly) return errStorageReadOnly;
  // Entry 0 of a map page describes the map page itself; anything else there
  // would make the whole group read as never written, and so as free. A
  // request like that, or one past the end, comes from a bad reference.
  if (page >= v_.HostPageCount || (v_.IsMapPage(page) && type != v_.PageShift)) {
    v_.MarkCorrupted();
    return errStorageCorrupted;
  }
  const std::uint32_t group = page >> (v_.PageShift - 1);
  if (group >= groupsKnown_ && v_.UsedPageCount == kUnknownPageCount) {
    EngineResult r = ScanLocked(false, group);
    if (r != 0) return r;
  }
  KnowGroup(group);
  PageRef map;
  EngineResult r = GetMapPage(group, map);
  if (r != 0) return r;
  std::uint8_t* entries = map.data();
  const std::uint32_t index = page & (v_.PageSize / 2 - 1);
  const bool neverWritten = MapEntry(entries, 0) == 0;
  if (neverWritten) {
    // A map page that was never written counts all its entries as free.
    std::memset(entries, 0, v_.PageSize);
    StoreU16(entries, static_cast<std::uint16_t>(v_.PageShift));
  }
  const std::uint16_t old = MapEntry(entries, index);
  if (old == type && !forced && !neverWritten) return 0;
  StoreU16(entries + 2 * index, type);
  PageBuffer* b = map.get();
  if (!b->Has(pbDirty)) {
    // The dirty map list holds a reference so the page stays until flushed.
    b->RefCount.fetch_add(1);
    dirtyMaps_.push_back(b);
  }
  r = v_.MarkDirty(b, nullptr);
  if (r != 0) return r;
  const bool wasFree = v_.IsFreeEntry(old);
  const bool isFree = v_.IsFreeEntry(type);
  const bool counted = v_.UsedPageCount == kUnknownPageCount || page < v_.UsedPageCount;
  // While a scan is under way, the free pages of the group it read last are
  // still pending, not yet part of the free count; a change there belongs to
  // the pending count, or the total would be off by one once it is added.
  const bool pendingGroup = v_.UsedPageCount == kUnknownPageCount && group + 1 == groupsKnown_;
  std::uint32_t& total = pendingGroup ? scanPending_ : freeCount_;
  if (forced) {
    // A page just appended was never counted.
    if (isFree) {
      ++groupFree_[group];
      ++freeCount_;
      lowestFree_ = std::min(lowestFree_, page);
      highestFree_ = std::max(highestFree_, page);
    }
  } else if (counted && !wasFree && isFree) {
    ++groupFree_[group];
    ++total;
    lowestFree_ = std::min(lowestFree_, page);
    highestFree_ = std::max(highestFree_, page);
  } else if (counted && wasFree && !isFree) {
    if (groupFree_[group] > 0) --groupFree_[group];
    if (total > 0) --total;
  }
  return 0;
}

EngineResult SpaceMap::FindFree(std::uint32_t& page) {
  MutexLock lock(lock_);
  page = 0;
  if (freeCount_ == 0 && v_.UsedPageCount == kUnknownPageCount) {
    EngineResult r = ScanLocked(false, 0);
    if (r != 0) return r;
  }
  if (freeCount_ == 0) return 0;
  const std::uint32_t half = v_.PageSize / 2;
  std::uint32_t from = lowestFree_ == kUnknownPageCount ? 0 : lowestFree_;
  // A compaction's own pages stay above its floor; the hint, which speaks
  // for the whole volume, is left alone meanwhile.
  const bool floored = allocationFloor_ != 0;
  if (floored) from = allocationFloor_;
  const std::uint64_t end = v_.UsedPageCount == kUnknownPageCount
                                ? std::uint64_t{groupsKnown_} * half
                                : std::uint64_t{v_.UsedPageCount};
  for (std::uint32_t g = from / half; g < groupsKnown_ && std::uint64_t{g} * half < end; ++g) {
    if (groupFree_[g] == 0) continue;
    PageRef map;
    EngineResult r = GetMapPage(g, map);
    if (r != 0) return r;
    const std::uint8_t* entries = map.data();
    const bool neverWritten = MapEntry(entries, 0) == 0;
    const std::uint64_t groupStart = std::uint64_t{g} * half;
    const std::uint64_t groupEnd = std::min<std::uint64_t>(groupStart + half, end);
    for (std::uint64_t p = std::max<std::uint64_t>(from, groupStart + 1); p < groupEnd; ++p) {
      const std::uint16_t entry = neverWritten ? 0 : MapEntry(entries, p - groupStart);
      if (v_.IsFreeEntry(entry)) {
        page = static_cast<std::uint32_t>(p);
        if (!floored) lowestFree_ = page + 1;
        return 0;
      }
    }
  }
  // The counts promised a free page the map does not show: trust the map.
  if (!floored) lowestFree_ = kUnknownPageCount;
  return 0;
}

EngineResult SpaceMap::FindFreeBelow(std::uint32_t limit, std::uint32_t& page) {
  MutexLock lock(lock_);
  page = 0;
  EngineResult r = EnsureScanned();
  if (r != 0 || freeCount_ == 0 || limit <= 1) return r;
  const std::uint32_t half = v_.PageSize / 2;
  std::uint32_t start = (highestFree_ != 0 && highestFree_ < limit) ? highestFree_ : limit - 1;
  for (int pass = 0; pass < 2; ++pass) {
    std::int64_t p = start;
    while (p >= 2) {
      const std::uint32_t g = static_cast<std::uint32_t>(p) / half;
      if (g >= groupsKnown_ || groupFree_[g] == 0) {
        p = std::int64_t{g} * half - 1;
        continue;
      }
      PageRef map;
      r = GetMapPage(g, map);
      if (r != 0) return r;
      const std::uint8_t* entries = map.data();
      const bool neverWritten = MapEntry(entries, 0) == 0;
      const std::int64_t groupStart = std::int64_t{g} * half;
      for (; p > groupStart && p >= 2; --p) {
        const std::uint16_t entry =
            neverWritten ? 0 : MapEntry(entries, static_cast<std::uint32_t>(p - groupStart));
        if (v_.IsFreeEntry(entry) && p < v_.UsedPageCount) {
          page = static_cast<std::uint32_t>(p);
          highestFree_ = page - 1;
          return 0;
        }
      }
      p = groupStart - 1;
    }
    if (v_.UsedPageCount == 0) break;
    start = std::min(limit, v_.UsedPageCount) - 1;
  }
  return 0;
}

EngineResult SpaceMap::SpaceCheck(bool forcedSpace) {
  if (v_.FixedSize) {
    EngineResult r = EnsureScanned();
    if (r != 0) return r;
    const std::uint64_t reserve = (v_.UseTransactions && !forcedSpace) ? kTransactionReserve : 0;
    const std::uint64_t need = reserve + 1 + v_.UsedPageCount;
    const bool ok = v_.UseTransactions ? need < v_.HostPageCount : v_.HostPageCount >= need;
    return ok ? 0 : errStorageFull;
  }
  const std::uint32_t max = LoadU32(v_.info_.data() + kMaxPageCount);
  return (max == 0 || std::uint64_t{max} >= std::uint64_t{v_.UsedPageCount} + 1) ? 0
                                                                                 : errStorageFull;
}

EngineResult SpaceMap::Allocate(std::uint16_t type, const std::uint8_t* image, bool forcedSpace,
                                std::uint32_t& page) {
  MutexLock lock(lock_);
  if (!v_.Active) return errStorageNotActive;
  if (v_.ReadOnly) return errStorageReadOnly;
  page = 0;
  EngineResult r = FindFree(page);
  if (r != 0) return r;
  if (page != 0) {
    if (image) {
      r = v_.WritePage(page, image);
      if (r != 0) return r;
    }
    return SetEntry(page, type, false);
  }

  r = EnsureScanned();
  if (r != 0) return r;
  std::uint64_t k;
  if (v_.FixedSize) {
    k = 1;
  } else {
    k = v_.UsedPageCount >= 256 ? 64 : v_.UsedPageCount / 4 + 1;
    const std::uint32_t max = LoadU32(v_.info_.data() + kMaxPageCount);
    if (max != 0 && std::uint64_t{v_.UsedPageCount} + k > max)
      k = max > v_.UsedPageCount ? max - v_.UsedPageCount : 0;
  }
  const bool forced = forcedSpace || type == TransactionTablePage || type == JournalPage;
  std::vector<std::uint8_t> zero(v_.PageSize);
  std::uint32_t answer = 0;
  for (std::uint64_t i = 0; i < k || answer == 0; ++i) {
    r = SpaceCheck(forced);
    if (r != 0) break;
    const std::uint32_t d = v_.UsedPageCount;
    if (d == 0xFFFFFFFEu) {
      r = errStorageFull;
      break;
    }
    std::uint16_t entryType;
    const std::uint8_t* write = zero.data();
    std::fill(zero.begin(), zero.end(), 0);
    if (v_.IsMapPage(d)) {
      StoreU16(zero.data(), static_cast<std::uint16_t>(v_.PageShift));
      entryType = static_cast<std::uint16_t>(v_.PageShift);
      ++k;  // the map page does not count toward the growth step
      KnowGroup(d >> (v_.PageShift - 1));
    } else {
      entryType = answer == 0 ? type : 0;
      StoreU16(zero.data() + kPageType, entryType);
      StoreU32(zero.data() + kPageNumber, d);
      if (answer == 0 && image) write = image;
    }
    if (!v_.FixedSize) {
      r = v_.WritePage(d, write);
      if (r != 0) break;
      if (d >= v_.HostPageCount)
        std::atomic_ref<std::uint32_t>(v_.HostPageCount).store(d + 1, std::memory_order_relaxed);
    } else if (answer == 0 && image && !v_.IsMapPage(d)) {
      r = v_.WritePage(d, image);
      if (r != 0) break;
    }
    ++v_.UsedPageCount;
    r = SetEntry(d, entryType, true);
    if (r != 0) break;
    if (answer == 0 && !v_.IsMapPage(d)) answer = d;
  }
  if (answer != 0) {
    // Pages appended after the answer are a bonus; a failure there does not
    // undo the allocation the caller asked for.
    page = answer;
    return 0;
  }
  if (allocationFloor_ != 0 && (r == 0 || r == errStorageFull)) {
    // No room above a compaction's floor and none to grow: a free page below
    // it will do, the compaction then leaves that one unfilled.
    const std::uint32_t floor = std::exchange(allocationFloor_, 0);
    r = FindFree(page);
    allocationFloor_ = floor;
    if (r != 0) return r;
    if (page != 0) {
      if (image) r = v_.WritePage(page, image);
      if (r == 0) r = SetEntry(page, type, false);
      return r;
    }
  }
  return r != 0 ? r : errStorageFull;
}

EngineResult Volume::AllocateNewPage(std::uint16_t type, Transaction* transaction, PageRef& page) {
  if (ReadOnly) return errStorageReadOnly;
  std::uint32_t n = 0;
  {
    MutexLock cache(cache_.Lock());
    EngineResult r = AllocatePage(type, nullptr, false, n);
    if (r != 0) return r;
    if (cache_.Find(n)) {
      MarkCorrupted();
      return errStorageCorrupted;
    }
    PageBuffer* b = cache_.Insert(n);
    if (!b) return errOutOfMemory;
    if (!cache_.AllocateImage(b, PageSize, true)) {
      cache_.Remove(b);
      return errOutOfMemory;
    }
    StoreU16(b->Data.get() + kPageType, type);
    StoreU32(b->Data.get() + kPageNumber, n);
    b->PageType = type;
    b->Flags = pbDirty | pbAllocated | pbChanged;
    cache_.MarkLoaded(b);
    b->RefCount.store(1);
    page = PageRef(this, b);
  }
  if (transaction) {
    EngineResult r = JoinPage(transaction, page.get());
    if (r != 0) return r;
  }
  return 0;
}

EngineResult Volume::FreePage(std::uint32_t page) {
  return SetMapEntry(page, 0, false);
}

EngineResult Volume::FreeChain(std::uint32_t firstPage, std::uint16_t type, std::uint32_t owner,
                               Transaction* transaction) {
  std::uint32_t n = firstPage;
  std::uint32_t steps = 0;
  while (n != 0) {
    if (++steps > HostPageCountNow(*this)) {
      // A chain longer than the volume loops back on itself.
      MarkCorrupted();
      return errStorageCorrupted;
    }
    PageRef p;
    EngineResult r = GetPage(n, true, type, owner, transaction, p);
    if (r != 0) return r;
    const std::uint32_t next = NextPageOf(p.data());
    r = DeletePage(p.Detach(), transaction);
    if (r != 0) return r;
    n = next;
  }
  return 0;
}

EngineResult SpaceMap::FlushDirtyPages() {
  MutexLock lock(lock_);
  EngineResult first = 0;
  std::vector<PageBuffer*> remaining;
  for (auto it = dirtyMaps_.rbegin(); it != dirtyMaps_.rend(); ++it) {
    PageBuffer* b = *it;
    StoreU16(b->Data.get(), static_cast<std::uint16_t>(v_.PageShift));
    EngineResult r = v_.WriteBack(b);
    if (r == 0) {
      EngineResult released = v_.ReleasePage(b);
      if (first == 0) first = released;
    } else {
      remaining.insert(remaining.begin(), b);
      if (first == 0) first = r;
    }
  }
  dirtyMaps_ = std::move(remaining);
  return first;
}

EngineResult Volume::NextObjectId(std::uint32_t& id) {
  if (!Active) return errStorageNotActive;
  if (ReadOnly) return errStorageReadOnly;
  MutexLock cache(cache_.Lock());
  MutexLock io(IoLock);  // the volume information image
  id = LoadU32(info_.data() + kLastObjectId) + 1;
  StoreU32(info_.data() + kLastObjectId, id);
  // Written behind: the close (or a flush) writes the information.
  return WritesBehind() ? 0 : WriteVolumeInfo();
}

EngineResult SpaceMap::GetStorageSize(StorageSize& size) {
  if (!v_.Active) return errStorageNotActive;
  MutexLock lock(lock_);
  EngineResult r = EnsureScanned();
  if (r != 0) return r;
  std::uint64_t n = v_.HostPageCount;
  const std::uint32_t max = LoadU32(v_.info_.data() + kMaxPageCount);
  if (v_.FixedSize && max != 0 && max < v_.HostPageCount) n = std::max(v_.UsedPageCount, max);
  size.FixedSize = v_.FixedSize;
  size.Size = n * v_.PageSize;
  const std::uint64_t freePages =
      n + freeCount_ > v_.UsedPageCount ? n + freeCount_ - v_.UsedPageCount : 0;
  size.FreeBytes = freePages * v_.PageSize;
  return 0;
}

void SpaceMap::Reset() {
  MutexLock lock(lock_);
  groupsKnown_ = 0;
  groupFree_.clear();
  freeCount_ = 0;
  lowestFree_ = kUnknownPageCount;
  highestFree_ = 0;
  scanLastUsed_ = 0;
  scanPending_ = 0;
  scanLastUsedGroup_ = 0;
  scanFreeBelowLastUsed_ = 0;
  dirtyMaps_.clear();
  allocationFloor_ = 0;
}

void SpaceMap::StartNew() {
  MutexLock lock(lock_);
  groupsKnown_ = 1;
  groupFree_.assign(1, 0);
  freeCount_ = 0;
  scanLastUsed_ = 2;
}

void SpaceMap::DropDirtyPages() {
  MutexLock lock(lock_);
  dirtyMaps_.clear();
}

std::uint32_t SpaceMap::FreeCount() {
  MutexLock lock(lock_);
  return freeCount_;
}

std::uint32_t SpaceMap::GroupsKnown() {
  MutexLock lock(lock_);
  return groupsKnown_;
}

void SpaceMap::SetAllocationFloor(std::uint32_t floor) {
  MutexLock lock(lock_);
  allocationFloor_ = floor;
}

std::uint32_t SpaceMap::LastGroupFree(std::uint32_t end) {
  MutexLock lock(lock_);
  const std::uint32_t half = v_.PageSize / 2;
  const std::uint32_t groups = static_cast<std::uint32_t>((std::uint64_t{end} + half - 1) / half);
  return groups > 0 && groups <= groupFree_.size() ? groupFree_[groups - 1] : 0;
}

void SpaceMap::Truncate(std::uint32_t end, std::uint32_t lastGroupFree) {
  MutexLock lock(lock_);
  const std::uint32_t half = v_.PageSize / 2;
  const std::uint32_t groups = static_cast<std::uint32_t>((std::uint64_t{end} + half - 1) / half);
  if (groupsKnown_ > groups) groupsKnown_ = groups;
  if (groupFree_.size() > groups) groupFree_.resize(groups);
  if (groups > 0 && groups <= groupFree_.size()) groupFree_[groups - 1] = lastGroupFree;
  freeCount_ = 0;
  for (std::uint32_t c : groupFree_) freeCount_ += c;
  lowestFree_ = kUnknownPageCount;
  highestFree_ = 0;
}

void SpaceMap::EnsureGroupKnown(std::uint32_t group) {
  MutexLock lock(lock_);
  KnowGroup(group);
}

void SpaceMap::AddFreeRange(std::uint32_t group, std::uint32_t from, std::uint32_t stop) {
  MutexLock lock(lock_);
  KnowGroup(group);
  const std::uint32_t count = stop - from;
  groupFree_[group] += count;
  freeCount_ += count;
  lowestFree_ = std::min(lowestFree_, from);
  highestFree_ = std::max(highestFree_, stop - 1);
}

}  // namespace vaultfs
