// Resizing a volume and compacting it: the pages at the end move into free
// pages lower down, every reference to a moved page follows it, and the free
// end is cut off the host file.
//
// A compaction first plans and checks, writing nothing: it reads the space
// map, pairs the used pages at the end with the free pages below the new end,
// and checks that every reference to a page it will move points back to that
// page. Damage found here is errStorageCorrupted (vfCorrupted set) with the
// volume exactly as it was.
//
// Then it moves the pages, highest first, in transactions of bounded size:
// a moved page becomes a page allocated in the transaction at its new
// number, the page it leaves is freed by the commit, and every page that
// referred to it is changed in the same transaction.
//   - With UseTransactions the transactions are journaled as any other, and
//     the pages they need for themselves (shadows, journal pages) come from
//     the part that is cut off afterwards. A crash leaves the volume as it was
//     before or after each transaction: every file reads back the same.
//   - Without UseTransactions nothing of a transaction reaches the file until
//     it is complete in memory (its pages are held, so the cache cannot write
//     them early). Then the moved pages are written at their new places
//     (free until then), the space map is flushed with them in use, and only
//     then are the references changed in place, and at last the left pages
//     freed. A failure before the references are written is rolled back and
//     touches nothing a file depends on. A crash, or an I/O failure, while
//     they are written leaves some naming the old page and some the new one;
//     both hold the same contents and both stay in use, so every file still
//     reads back the same. What can be left over is space (pages marked in
//     use that nothing names) and stale back-links; after an I/O failure
//     the volume is marked corrupted so that check-and-repair settles them.
// The file is cut only once every transaction has committed.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/object_layout.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/format/record_walk.h"
#include "vaultfs/progress.h"
#include "vaultfs/volume/transaction.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

using namespace layout;

namespace {

// Pages 0 to 2 (the first map page, the volume information, the root's
// header page) never move.
constexpr std::uint32_t kFirstMovablePage = 3;
// A transaction of moves is committed once it holds this many pages.
constexpr std::size_t kBatchPages = kCacheLimit;

// Replaces every reference to page `from` in an object page by `to` and
// tells how many there were (0 when a header page's records cannot be
// walked). A block index lists a page once: only its first entry counts.
std::uint32_t Repoint(std::uint8_t* page, std::uint32_t pageSize, std::uint32_t from,
                      std::uint32_t to) {
  std::uint32_t count = 0;
  bool indexEntryDone = false;
  const bool walked = ForEachPageReference(page, pageSize, [&](const PageReference& ref) {
    if (ref.Link == PageLink::kIndexEntry && indexEntryDone) return;
    if (LoadU32(page + ref.Field) != from) return;
    StoreU32(page + ref.Field, to);
    ++count;
    if (ref.Link == PageLink::kIndexEntry) indexEntryDone = true;
  });
  return walked ? count : 0;
}

}  // namespace

class Compactor {
 public:
  Compactor(Volume& volume, const ProgressSink& progress) : v_(volume), progress_(progress) {}
  Compactor(const Compactor&) = delete;
  Compactor& operator=(const Compactor&) = delete;

  // Called with the transaction lock held.
  [[nodiscard]] EngineResult Run(bool& ran);
  // Grows or shrinks the host file to `target` pages once the pages in use
  // end below it (SetStorageSize compacted first); transaction lock held.
  [[nodiscard]] EngineResult Resize(std::uint32_t target);
  // Cuts the free end off, moving nothing; transaction lock held.
  [[nodiscard]] EngineResult CutFreeEnd() {
    MutexLock cache(v_.cache_.Lock());
    EngineResult r = v_.EnsureScanned();
    return r != 0 ? r : Cut();
  }

 private:
  struct Mover {
    std::uint32_t page = 0;
    bool table = false;  // a page of the transaction table
  };
  // A page moved: what it is (type, owner, place in its chain) and where
  // from and to.
  struct Moved {
    std::uint16_t type = 0;
    std::uint32_t owner = 0;
    std::uint32_t chainIndex = 0;
    std::uint32_t from = 0, to = 0;
  };

  EngineResult Corrupt() {
    v_.MarkCorrupted();
    return errStorageCorrupted;
  }
  [[nodiscard]] EngineResult Entry(std::uint32_t page, std::uint16_t& entry);
  bool InTable(std::uint32_t page) const {
    return v_.journal_.InTable(page);
  }
  // Journal pages no running transaction owns, and table pages no longer
  // mounted: left by an interrupted session, free for the taking.
  bool Reclaimable(std::uint32_t page, std::uint16_t entry) const {
    return v_.UseTransactions &&
           (entry == JournalPage || (entry == TransactionTablePage && !InTable(page)));
  }
  bool Free(std::uint32_t page, std::uint16_t entry) const {
    return v_.IsFreeEntry(entry) || Reclaimable(page, entry);
  }

  [[nodiscard]] EngineResult Plan();
  [[nodiscard]] EngineResult Classify(std::uint32_t page, std::uint16_t entry, bool& movable,
                                      bool& table);
  [[nodiscard]] EngineResult Referenced(std::uint32_t page, std::uint32_t self, PageRef& ref);
  [[nodiscard]] EngineResult Validate(std::uint32_t page);
  [[nodiscard]] EngineResult NextHole(std::uint32_t below, std::uint32_t& hole);
  // The moves and the cut run with the cache lock held throughout, so no
  // page moves under a cached buffer that someone else is using.
  [[nodiscard]] EngineResult ClearDestination(std::uint32_t page) REQUIRES(v_.cache_.Lock());
  void Rekey(PageBuffer* buffer, std::uint32_t to) REQUIRES(v_.cache_.Lock());
  [[nodiscard]] EngineResult Apply() REQUIRES(v_.cache_.Lock());
  [[nodiscard]] EngineResult MoveTablePage(std::uint32_t from, std::uint32_t to)
      REQUIRES(v_.cache_.Lock());
  [[nodiscard]] EngineResult MoveObjectPage(Transaction* t, std::uint32_t from, std::uint32_t to,
                                            std::vector<PageRef>& held, std::vector<Moved>& moved)
      REQUIRES(v_.cache_.Lock());
  [[nodiscard]] EngineResult WriteMovedPagesFirst(const std::vector<Moved>& moved)
      REQUIRES(v_.cache_.Lock());
  [[nodiscard]] EngineResult WriteReferences(const std::vector<PageRef>& held);
  void Undo(const std::vector<Moved>& moved);
  [[nodiscard]] EngineResult Cut() REQUIRES(v_.cache_.Lock());
  [[nodiscard]] EngineResult DropCached(std::uint32_t first, bool mapPagesOnly)
      REQUIRES(v_.cache_.Lock());
  [[nodiscard]] EngineResult Grow(std::uint32_t target) REQUIRES(v_.cache_.Lock());
  void Shrink(std::uint32_t target);

  Volume& v_;
  const ProgressSink& progress_;
  PageRef map_;  // the map page Entry read last
  std::uint32_t mapGroup_ = kUnknownPageCount;
  std::vector<std::uint32_t> holes_;  // free pages below the old end, ascending
  std::vector<std::uint32_t> reclaim_;
  std::vector<Mover> movers_;  // highest first
  std::uint32_t newEnd_ = 0;   // the planned end; pages from here on are cut
  std::size_t holeCursor_ = 0;
  std::uint32_t total_ = 0;
  std::uint32_t done_ = 0;
};

EngineResult Compactor::Entry(std::uint32_t page, std::uint16_t& entry) {
  const std::uint32_t group = page >> (v_.PageShift - 1);
  if (group != mapGroup_ || !map_) {
    map_ = PageRef();
    mapGroup_ = kUnknownPageCount;
    EngineResult r = v_.space_.GetMapPage(group, map_);
    if (r != 0) return r;
    mapGroup_ = group;
  }
  const std::uint8_t* map = map_.data();
  // A map page never written counts all its pages as free.
  entry = LoadU16(map) == 0 ? 0 : LoadU16(map + 2 * (page & (v_.PageSize / 2 - 1)));
  return 0;
}

EngineResult Compactor::Classify(std::uint32_t page, std::uint16_t entry, bool& movable,
                                 bool& table) {
  movable = table = false;
  if (entry == TransactionTablePage) {
    table = movable = InTable(page);
    return 0;
  }
  if (!IsMovableObjectPageType(entry)) return 0;
  PageRef ref;
  EngineResult r = v_.GetPage(page, true, -1, 0, nullptr, ref);
  if (r != 0) return r;
  // A page whose contents disagree with the map, or that carries another
  // page's number (a shadow an interrupted commit left behind), is not
  // known well enough to move; the volume is cut above it.
  movable = PageTypeOf(ref.data()) == entry && PageNumberOf(ref.data()) == page;
  return 0;
}

EngineResult Compactor::Plan() {
  const std::uint32_t end = v_.UsedPageCount;
  for (std::uint32_t p = kFirstMovablePage; p < end; ++p) {
    if (v_.IsMapPage(p)) continue;
    std::uint16_t entry = 0;
    EngineResult r = Entry(p, entry);
    if (r != 0) return r;
    if (Reclaimable(p, entry)) reclaim_.push_back(p);
    if (Free(p, entry)) holes_.push_back(p);
  }
  // The highest used page goes to the lowest free page, and so on while the
  // free page lies below the used one.
  std::size_t lowest = 0;
  std::uint32_t top = end;
  while (top > kFirstMovablePage) {
    const std::uint32_t p = top - 1;
    // The free pages given to moved pages stay below the end.
    if (lowest > 0 && p <= holes_[lowest - 1]) break;
    if (v_.IsMapPage(p)) {
      top = p;
      continue;
    }
    std::uint16_t entry = 0;
    EngineResult r = Entry(p, entry);
    if (r != 0) return r;
    if (Free(p, entry)) {
      top = p;
      continue;
    }
    if (lowest >= holes_.size() || holes_[lowest] >= p) break;
    bool movable = false, table = false;
    r = Classify(p, entry, movable, table);
    if (r != 0) return r;
    if (!movable) break;
    movers_.push_back(Mover{p, table});
    ++lowest;
    top = p;
  }
  newEnd_ = top;
  return 0;
}

// Reads a page that refers to (or is referred to by) page `self`; it must be
// a live object page inside the volume.
EngineResult Compactor::Referenced(std::uint32_t page, std::uint32_t self, PageRef& ref) {
  if (page < 2 || page == self || page >= v_.UsedPageCount || v_.IsMapPage(page)) return Corrupt();
  std::uint16_t entry = 0;
  EngineResult r = Entry(page, entry);
  if (r != 0) return r;
  if (!IsMovableObjectPageType(entry)) return Corrupt();
  r = v_.GetPage(page, true, -1, 0, nullptr, ref);
  if (r != 0) return r;
  return PageTypeOf(ref.data()) == entry ? 0 : Corrupt();
}

// Every page that refers to `page` must point back to it, and it to them.
EngineResult Compactor::Validate(std::uint32_t page) {
  PageRef self;
  EngineResult r = v_.GetPage(page, true, -1, 0, nullptr, self);
  if (r != 0) return r;
  const std::uint8_t* s = self.data();
  const std::uint32_t size = v_.PageSize;
  {
    // The page before it in its chain, or the page holding the reference
    // to the chain, names it.
    PageRef before;
    r = Referenced(LoadU32(s + kPrevPage), page, before);
    if (r != 0) return r;
    const std::uint8_t* b = before.data();
    std::uint32_t refs = 0;
    if (!ForEachPageReference(b, size,
                              [&](const PageReference& ref) {
                                refs += ref.NamesChild() && LoadU32(b + ref.Field) == page;
                              }) ||
        refs == 0)
      return Corrupt();
  }
  std::vector<std::uint32_t> children;
  std::uint32_t index = 0;
  std::vector<std::uint32_t> listed;
  if (!ForEachPageReference(s, size, [&](const PageReference& ref) {
        const std::uint32_t n = LoadU32(s + ref.Field);
        if (n == 0) return;
        if (ref.NamesChild()) children.push_back(n);
        if (ref.Link == PageLink::kIndexPage) index = n;
        if (ref.Link == PageLink::kIndexEntry) listed.push_back(n);
      }))
    return Corrupt();
  for (std::uint32_t n : children) {
    PageRef child;
    r = Referenced(n, page, child);
    if (r != 0) return r;
    if (LoadU32(child.data() + kPrevPage) != page) return Corrupt();
  }
  if (index != 0) {
    PageRef indexPage;
    r = Referenced(index, page, indexPage);
    if (r != 0) return r;
    const std::uint8_t* x = indexPage.data();
    if (PageTypeOf(x) != BlockIndexPage || OwnerIdOf(x) != OwnerIdOf(s)) return Corrupt();
    bool isListed = false;
    ForEachPageReference(x, size, [&](const PageReference& ref) {
      isListed = isListed || (ref.Link == PageLink::kIndexEntry && LoadU32(x + ref.Field) == page);
    });
    if (!isListed) return Corrupt();
  }
  for (std::uint32_t n : listed) {
    PageRef data;
    r = Referenced(n, page, data);
    if (r != 0) return r;
    if (LoadU32(data.data() + kIndexPage) != page) return Corrupt();
  }
  return 0;
}

// The lowest planned free page below `below` that is still free (0: none).
EngineResult Compactor::NextHole(std::uint32_t below, std::uint32_t& hole) {
  hole = 0;
  while (holeCursor_ < holes_.size()) {
    const std::uint32_t p = holes_[holeCursor_];
    if (p >= below || p >= newEnd_) return 0;
    ++holeCursor_;
    std::uint16_t entry = 0;
    EngineResult r = Entry(p, entry);
    if (r != 0) return r;
    if (v_.IsFreeEntry(entry)) {
      hole = p;
      return 0;
    }
  }
  return 0;
}

// A free page has no buffer in use; an idle one left in the cache goes.
EngineResult Compactor::ClearDestination(std::uint32_t page) {
  PageBuffer* stale = v_.cache_.Find(page);
  if (!stale) return 0;
  if (stale->RefCount.load() != 0 || stale->Has(pbJoined) || stale->Has(pbDirty)) return Corrupt();
  v_.cache_.Remove(stale);
  return 0;
}

// The buffer, with its references and its transaction, now stands for page `to`.
void Compactor::Rekey(PageBuffer* buffer, std::uint32_t to) {
  v_.cache_.Renumber(buffer, to);
  if (buffer->Has(pbHasData)) StoreU32(buffer->Data.get() + kPageNumber, to);
}

// The transaction table is the volume's own: its copy goes to the new place
// and is flushed first (the free page may hold anything, even the image of a
// table left from long ago), then page 1 (or the table page before it) names
// the new place, so that a crash finds one whole table either way.
EngineResult Compactor::MoveTablePage(std::uint32_t from, std::uint32_t to) {
  if (!v_.journal_.InTable(from)) return Corrupt();
  EngineResult r = ClearDestination(to);
  if (r != 0) return r;
  PageRef table;
  r = v_.GetPage(from, true, -1, 0, nullptr, table);
  if (r != 0) return r;
  std::vector<std::uint8_t> image(table.data(), table.data() + v_.PageSize);
  StoreU32(image.data() + kPageNumber, to);
  if ((r = v_.SetMapEntry(to, TransactionTablePage, false)) != 0) return r;
  if ((r = v_.WritePage(to, image.data())) != 0) return r;
  if ((r = v_.FlushHost()) != 0) return r;
  if ((r = v_.journal_.RenameTablePage(from, to)) != 0) return r;
  Rekey(table.get(), to);
  table = PageRef();
  return v_.SetMapEntry(from, 0, false);
}

EngineResult Compactor::MoveObjectPage(Transaction* t, std::uint32_t from, std::uint32_t to,
                                       std::vector<PageRef>& held, std::vector<Moved>& moved) {
  Volume& v = v_;
  PageRef page;
  EngineResult r = v.GetPage(from, true, -1, 0, t, page);
  if (r != 0) return r;
  PageBuffer* b = page.get();
  std::uint8_t* image = b->Data.get();
  const std::uint16_t type = PageTypeOf(image);
  if (!IsMovableObjectPageType(type) || PageNumberOf(image) != from) return Corrupt();

  // Every page that names this one, as the page itself names them.
  std::vector<std::uint32_t> referrers;
  if (!ForEachPageReference(image, v.PageSize, [&](const PageReference& ref) {
        const std::uint32_t n = LoadU32(image + ref.Field);
        if (n != 0 || ref.Link == PageLink::kPrevPage) referrers.push_back(n);
      }))
    return Corrupt();
  std::sort(referrers.begin(), referrers.end());
  referrers.erase(std::unique(referrers.begin(), referrers.end()), referrers.end());
  for (std::uint32_t n : referrers)
    if (n < 2 || n == from || n >= v.UsedPageCount) return Corrupt();

  // The page becomes a page of this transaction at its new number...
  if ((r = ClearDestination(to)) != 0) return r;
  Rekey(b, to);
  if (b->ShadowPage != 0) {
    // An older image of its old home is of no use any more.
    t->reserved.push_back(b->ShadowPage);
    b->ShadowPage = 0;
  }
  // Journaled, it is a page new in the transaction (a roll-back wipes it).
  // Without journaling it is not: once references to it may have reached
  // the file, no roll-back may wipe or free it.
  b->Flags |= (v.UseTransactions ? pbAllocated : 0) | pbChanged | pbDirty;
  const Moved move{type, OwnerIdOf(image), LoadU32(image + kChainIndex), from, to};
  held.push_back(std::move(page));
  if ((r = v.SetMapEntry(to, type, false)) != 0) return r;
  moved.push_back(move);
  // ...and the commit frees the page it leaves.
  PageBuffer* left = v_.cache_.Insert(from);
  if (!left) return errOutOfMemory;
  left->Flags = pbFreed | pbDeleted | pbChanged;
  left->PageType = 0;
  if ((r = v.JoinPage(t, left)) != 0) {
    v_.cache_.Remove(left);
    return r;
  }
  if (v.ObjectLayer) v.ObjectLayer->PageMoved(move.type, move.owner, move.chainIndex, from, to);

  for (std::uint32_t n : referrers) {
    PageRef other;
    r = v.GetPage(n, true, -1, 0, t, other);
    if (r == 0) r = v.MarkDirty(other.get(), t);
    if (r != 0) return r;
    if (!IsMovableObjectPageType(PageTypeOf(other.data())) ||
        Repoint(other.data(), v.PageSize, from, to) == 0)
      return Corrupt();
    held.push_back(std::move(other));
  }
  return 0;
}

// Without UseTransactions: the moved pages go to their new places (free
// until now) and the map says so on the medium, before any reference to
// them is written.
EngineResult Compactor::WriteMovedPagesFirst(const std::vector<Moved>& moved) {
  for (const Moved& m : moved) {
    PageBuffer* b = v_.cache_.Find(m.to);
    if (!b) return Corrupt();
    EngineResult r = v_.WriteBack(b);
    if (r != 0) return r;
  }
  EngineResult r = v_.FlushMapPages();
  return r != 0 ? r : v_.FlushHost();
}

// Then the pages that refer to them, in place.
EngineResult Compactor::WriteReferences(const std::vector<PageRef>& held) {
  for (const PageRef& page : held) {
    EngineResult r = v_.WriteBack(page.get());
    if (r != 0) return r;
  }
  return 0;
}

void Compactor::Undo(const std::vector<Moved>& moved) {
  if (!v_.ObjectLayer) return;
  for (auto it = moved.rbegin(); it != moved.rend(); ++it)
    v_.ObjectLayer->PageMoved(it->type, it->owner, it->chainIndex, it->to, it->from);
}

EngineResult Compactor::Apply() {
  for (std::uint32_t p : reclaim_) {
    EngineResult r = v_.SetMapEntry(p, 0, false);
    if (r != 0) return r;
  }
  std::size_t next = 0;
  bool stopped = false;
  while (next < movers_.size() && !stopped) {
    Transaction* t = nullptr;
    EngineResult r = v_.Begin(false, t);
    if (r != 0) return r;
    std::vector<PageRef> held;
    std::vector<Moved> moved;
    while (next < movers_.size() && held.size() < kBatchPages) {
      const Mover m = movers_[next];
      std::uint32_t hole = 0;
      r = NextHole(m.page, hole);
      if (r != 0) break;
      if (hole == 0) {
        // Its free page went to other use: the volume ends above this page.
        stopped = true;
        break;
      }
      r = m.table ? MoveTablePage(m.page, hole) : MoveObjectPage(t, m.page, hole, held, moved);
      if (r != 0) break;
      ++next;
      ReportProgress(progress_, kProgressCompacting, ++done_, total_, false);
    }
    bool referencesWritten = false;
    if (r == 0 && !v_.UseTransactions && !moved.empty()) {
      r = WriteMovedPagesFirst(moved);
      if (r == 0) {
        referencesWritten = true;
        r = WriteReferences(held);
      }
    }
    // Those writes in place come in an order that keeps every file readable
    // whatever follows (see above): a roll-back in memory is no reason for
    // the volume to stop.
    t->Flags &= ~txWroteInPlace;
    if (r != 0) {
      EngineResult ignored = v_.Rollback(t);
      (void)ignored;
      Undo(moved);
      if (referencesWritten) {
        // Some references on the medium name the new places, some the old
        // ones; both hold the same pages, and both stay in use. Check and
        // repair settles which copy each file keeps.
        v_.MarkCorrupted();
      } else if (!v_.UseTransactions) {
        for (const Moved& m : moved) {
          ignored = v_.SetMapEntry(m.to, 0, false);
          (void)ignored;
        }
      }
      return r;
    }
    r = v_.Commit(t);
    if (r != 0) {
      // A journaled commit that registered itself is finished by the next
      // open; one that freed the pages left went through (what failed came
      // after it); without journaling every reference was written already.
      // In each case the pages are where this session now believes them.
      // (The transaction itself is gone by now, forgotten by the commit.)
      const bool registered = v_.RecoveryPending();
      std::uint16_t left = 0;
      const bool through =
          !moved.empty() && Entry(moved.front().from, left) == 0 && v_.IsFreeEntry(left);
      if (v_.UseTransactions && !registered && !through) Undo(moved);
      return r;
    }
  }
  return 0;
}

EngineResult Compactor::Cut() {
  EngineResult r = v_.FlushMapPages();
  if (r != 0) return r;
  std::uint32_t end = v_.UsedPageCount;
  while (end > kFirstMovablePage) {
    const std::uint32_t p = end - 1;
    if (!v_.IsMapPage(p)) {
      std::uint16_t entry = 0;
      if ((r = Entry(p, entry)) != 0) return r;
      if (!v_.IsFreeEntry(entry)) break;
    }
    end = p;
  }
  map_ = PageRef();
  mapGroup_ = kUnknownPageCount;
  if (end >= v_.UsedPageCount) return 0;
  if ((r = DropCached(end, false)) != 0) return r;
  if (!v_.FixedSize) {
    {
      MutexLock io(v_.IoLock);
      r = v_.backend_->SetSize(
          v_.host_, static_cast<std::int64_t>(std::uint64_t{end} + v_.VolumeStart) << v_.PageShift);
    }
    if (r != 0) return r;
    std::atomic_ref<std::uint32_t>(v_.HostPageCount).store(end, std::memory_order_relaxed);
  }
  v_.UsedPageCount = end;
  Shrink(end);
  return 0;
}

// Forgets the space map summary past `end` (the used end) and counts the
// last group's free pages again.
void Compactor::Shrink(std::uint32_t end) {
  const std::uint32_t half = v_.PageSize / 2;
  const std::uint32_t groups = static_cast<std::uint32_t>((std::uint64_t{end} + half - 1) / half);
  std::uint32_t count = 0;
  if (groups > 0 && groups <= v_.space_.GroupsKnown()) {
    const std::uint32_t first = (groups - 1) * half;
    const std::uint32_t last = std::min(end, v_.UsedPageCount);
    for (std::uint32_t p = first + 1; p < last; ++p) {
      std::uint16_t entry = 0;
      if (Entry(p, entry) != 0) {
        count = v_.space_.LastGroupFree(end);  // keep what was known
        break;
      }
      count += v_.IsFreeEntry(entry);
    }
  }
  map_ = PageRef();
  mapGroup_ = kUnknownPageCount;
  v_.space_.Truncate(end, count);
}

// Drops cached pages from `first` on (only the map pages among them, when
// told so); they must not be in use.
EngineResult Compactor::DropCached(std::uint32_t first, bool mapPagesOnly) {
  for (std::uint32_t n : v_.cache_.PagesFrom(first)) {
    if (mapPagesOnly && !v_.IsMapPage(n)) continue;
    PageBuffer* b = v_.cache_.Find(n);
    if (b->RefCount.load() != 0 || b->Has(pbJoined) || b->Has(pbDirty)) return errSharingViolation;
    v_.cache_.Remove(b);
  }
  return 0;
}

// Adds pages HostPageCount .. target - 1: an empty map page at every group
// start among them; on a growable volume they are free pages from now on.
EngineResult Compactor::Grow(std::uint32_t target) {
  const std::uint32_t old = v_.HostPageCount;
  const std::uint32_t half = v_.PageSize / 2;
  std::vector<std::uint8_t> zero;
  try {
    zero.assign(v_.PageSize, 0);
  } catch (const std::bad_alloc&) {
    return errOutOfMemory;
  }
  EngineResult r = DropCached(old, true);
  if (r != 0) return r;
  for (std::uint64_t m = (std::uint64_t{old} + half - 1) / half * half; m < target; m += half) {
    r = v_.WritePage(static_cast<std::uint32_t>(m), zero.data());
    if (r != 0) return r;
    ReportProgress(progress_, kProgressFormatting, static_cast<std::uint32_t>(m), target, false);
  }
  std::atomic_ref<std::uint32_t>(v_.HostPageCount).store(target, std::memory_order_relaxed);
  if (!v_.FixedSize) {
    for (std::uint64_t g = old / half; g * half < target; ++g) {
      const std::uint64_t start = g * half;
      const std::uint64_t stop = std::min<std::uint64_t>(start + half, target);
      const std::uint64_t from = std::max<std::uint64_t>(old, start + 1);
      if (from >= stop) continue;
      const auto group = static_cast<std::uint32_t>(g);
      v_.space_.EnsureGroupKnown(group);
      if (start < old) {
        // The group's map page exists: whatever it still says about the
        // added pages (from before an earlier cut) is cleared.
        for (std::uint64_t p = from; p < stop; ++p) {
          r = v_.SetMapEntry(static_cast<std::uint32_t>(p), 0, true);
          if (r != 0) return r;
        }
      } else {
        v_.space_.AddFreeRange(group, static_cast<std::uint32_t>(from),
                               static_cast<std::uint32_t>(stop));
      }
    }
    v_.UsedPageCount = target;
  }
  ReportProgress(progress_, kProgressFormatting, target, target, false);
  return 0;
}

EngineResult Compactor::Resize(std::uint32_t target) {
  MutexLock cache(v_.cache_.Lock());
  EngineResult r = v_.EnsureScanned();
  if (r != 0) return r;
  if (target < v_.UsedPageCount) return errStorageFull;
  const std::uint32_t old = v_.HostPageCount;
  if (target == old) return 0;
  // No dirty map page may stay behind for a group that goes.
  if ((r = v_.FlushMapPages()) != 0) return r;
  if (target < old && (r = DropCached(target, false)) != 0) return r;
  {
    MutexLock io(v_.IoLock);
    r = v_.backend_->SetSize(
        v_.host_, static_cast<std::int64_t>(std::uint64_t{target} + v_.VolumeStart) << v_.PageShift);
  }
  if (r != 0) return r;
  if (target > old) return Grow(target);
  std::atomic_ref<std::uint32_t>(v_.HostPageCount).store(target, std::memory_order_relaxed);
  if (!v_.FixedSize) v_.UsedPageCount = target;
  Shrink(v_.UsedPageCount);
  return 0;
}

EngineResult Compactor::Run(bool& ran) {
  ran = false;
  if (v_.Compacting) return 0;  // a commit of this very compaction asks again
  {
    MutexLock io(v_.IoLock);
    // Pages move under new numbers, which their encipherment depends on.
    if (!v_.StorageUnlocked) return errInvalidPassword;
  }
  // The cache lock first: what a transaction holds is counted under it, and
  // the objects are only tried, never waited for.
  MutexLock cache(v_.cache_.Lock());
  ObjectLayerHooks* objects = v_.ObjectLayer;
  const std::vector<Transaction*> running = v_.journal_.RunningNow();
  if (objects ? !objects->LockForCompaction(running) : !running.empty()) return 0;
  v_.Compacting = true;
  ran = true;
  EngineResult r = v_.EnsureScanned();
  if (r == 0) {
    total_ = v_.space_.FreeCount();
    r = Plan();
  }
  for (const Mover& m : movers_) {
    if (r != 0) break;
    if (!m.table) r = Validate(m.page);
  }
  if (r == 0) {
    v_.space_.SetAllocationFloor(newEnd_);
    r = Apply();
    v_.space_.SetAllocationFloor(0);
  }
  if (r == 0) {
    ReportProgress(progress_, kProgressCompacting, total_, total_, false);
    r = Cut();
  }
  map_ = PageRef();
  v_.Compacting = false;
  if (objects) objects->UnlockAfterCompaction();
  return r;
}

// ------------------------------------------------------------------ Volume

namespace {

// Compaction moves pages on the file and cuts it: what waits to be written
// (write-behind) goes first, and the run writes as it goes.
template <typename Run>
EngineResult WithoutWriteBehind(Volume& volume, Run run) {
  const bool behind = volume.WriteBehind;
  if (behind) {
    const EngineResult r = volume.SetWriteBehind(false);
    if (r != 0) return r;
  }
  const EngineResult r = run();
  if (behind) volume.WriteBehind = true;
  return r;
}

}  // namespace

EngineResult Volume::Compact(const ProgressSink& progress, bool& ran) {
  ran = false;
  if (!Active) return errStorageNotActive;
  if (ReadOnly) return errStorageReadOnly;
  return WithoutWriteBehind(*this, [&] {
    MutexLock transactions(journal_.Lock());
    Compactor compactor(*this, progress);
    return compactor.Run(ran);
  });
}

EngineResult Volume::CutFreeTail() {
  if (!Active) return errStorageNotActive;
  if (ReadOnly) return errStorageReadOnly;
  static const ProgressSink kSilent{};
  return WithoutWriteBehind(*this, [&] {
    MutexLock transactions(journal_.Lock());
    Compactor compactor(*this, kSilent);
    return compactor.CutFreeEnd();
  });
}

void Volume::SetAutoCompactConfirm(AutoCompactConfirm confirm, void* userData) {
  MutexLock transactions(journal_.Lock());
  autoCompactConfirm_ = confirm;
  autoCompactUserData_ = userData;
}

void Volume::SetAutoCompact(std::uint32_t percent, AutoCompactConfirm confirm, void* userData) {
  MutexLock transactions(journal_.Lock());
  AutoCompact = percent;
  autoCompactConfirm_ = confirm;
  autoCompactUserData_ = userData;
}

EngineResult Volume::RunAlone(const std::function<EngineResult()>& work) {
  MutexLock transactions(journal_.Lock());
  if (!journal_.Running().empty()) return errActiveTransactions;
  return work();
}

void Volume::AutoCompactAfterCommit() {
  AutoCompactConfirm confirm = nullptr;
  void* userData = nullptr;
  std::uint32_t freePages = 0, usedPages = 0;
  {
    MutexLock transactions(journal_.Lock());
    if (Compacting || !Active || ReadOnly || FixedSize || AutoCompact == 0) return;
    MutexLock cache(cache_.Lock());
    // Only open files' idle transactions may be running; anything busier
    // keeps the compaction from running, so the question is not asked.
    for (Transaction* t : journal_.Running()) {
      std::unique_lock lock(t->lock, std::try_to_lock);
      if (!lock.owns_lock() || t->pageCount != 0 || !t->reserved.empty()) return;
    }
    confirm = autoCompactConfirm_;
    userData = autoCompactUserData_;
    if (EnsureScanned() != 0) return;
    freePages = space_.FreeCount();
    usedPages = UsedPageCount;
  }
  if (std::uint64_t{freePages} * 100 <= std::uint64_t{usedPages} * AutoCompact) return;
  if (confirm && !confirm(userData, freePages, usedPages)) return;
  bool ran = false;
  EngineResult ignored = Compact(ProgressSink{}, ran);
  (void)ignored;
}

EngineResult Volume::SetStorageSize(std::uint64_t bytes, const ProgressSink& progress) {
  if (!Active) return errStorageNotActive;
  if (bytes % PageSize != 0) return errInvalidParameter;
  if (ReadOnly) return errStorageReadOnly;
  const std::uint64_t pages = bytes >> PageShift;
  // Page numbers are 32 bits wide. (A size below the pages in use, down to
  // 0, is a shrink that cannot be done: errStorageFull after compacting.)
  if (pages + VolumeStart > 0xFFFFFFFEu) return errInvalidParameter;
  const auto target = static_cast<std::uint32_t>(pages);
  EngineResult r = 0;
  std::uint32_t maxPages = 0;
  {
    MutexLock io(IoLock);
    maxPages = LoadU32(info_.data() + kMaxPageCount);
  }
  if (FixedSize && maxPages != 0) {
    // A FAT area that shares the host file lies right after the volume's
    // extent; moving the end would cut it or grow into it.
    std::int64_t fileSize = 0;
    {
      MutexLock io(IoLock);
      r = backend_->GetSize(host_, fileSize);
    }
    if (r != 0) return r;
    const std::uint64_t filePages = static_cast<std::uint64_t>(fileSize) >> PageShift;
    if (filePages > std::uint64_t{VolumeStart} + maxPages) return errInvalidParameter;
  }
  MutexLock transactions(journal_.Lock());
  StorageSize size;
  if ((r = GetStorageSize(size)) != 0) return r;
  if (target < size.Size >> PageShift) {
    bool ran = false;
    r = Compact(progress, ran);
    if (r != 0) return r;
    if (!ran) return errActiveTransactions;
  }
  Compactor resizer(*this, progress);
  if ((r = resizer.Resize(target)) != 0) return r;
  if (FixedSize && maxPages != 0 && maxPages != target) {
    MutexLock io(IoLock);
    StoreU32(info_.data() + kMaxPageCount, target);
    r = WriteVolumeInfo();
  }
  return r;
}

}  // namespace vaultfs
