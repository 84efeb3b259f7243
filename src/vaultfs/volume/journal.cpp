// The journal: running transactions, the transaction table, the journal
// file, and the recovery that finishes interrupted commits.
#include "vaultfs/volume/journal.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "vaultfs/format/page_layout.h"
#include "vaultfs/util/byte_order.h"
#include "vaultfs/volume/transaction.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

using namespace layout;

namespace {

// What recovery trusts of a page number it reads from a table, a journal or a
// journal record. Pages a commit allocates (table, journal, shadow and marker
// pages, and pages to free) lie past the root's header page; a home may be the
// root's header page itself, whose changes are journaled like any other
// page's. Pages 0 and 1 and the map pages never are either.
bool UsableCommitPage(const Volume& v, std::uint32_t n) {
  return n > 2 && n < v.HostPageCount && !v.IsMapPage(n);
}

bool UsableHomePage(const Volume& v, std::uint32_t n) {
  return n >= 2 && n < v.HostPageCount && !v.IsMapPage(n);
}

}  // namespace

void Journal::Remove(Transaction* transaction) {
  running_.erase(std::remove(running_.begin(), running_.end(), transaction), running_.end());
}

std::vector<Transaction*> Journal::RunningNow() {
  MutexLock lock(mutex_);
  return running_;
}

std::size_t Journal::RunningCount() {
  MutexLock lock(mutex_);
  return running_.size();
}

EngineResult Journal::TakePendingRecovery() {
  return std::exchange(pendingRecovery_, 0);
}

void Journal::ForgetTable() {
  MutexLock cache(cacheLock_);
  tablePages_.clear();
}

bool Journal::InTable(std::uint32_t page) {
  MutexLock cache(cacheLock_);
  return std::find(tablePages_.begin(), tablePages_.end(), page) != tablePages_.end();
}

EngineResult Journal::RenameTablePage(std::uint32_t from, std::uint32_t to) {
  MutexLock cache(cacheLock_);
  auto at = std::find(tablePages_.begin(), tablePages_.end(), from);
  if (at == tablePages_.end()) {
    v_.MarkCorrupted();
    return errStorageCorrupted;
  }
  const std::size_t index = static_cast<std::size_t>(at - tablePages_.begin());
  EngineResult r = 0;
  if (index == 0) {
    MutexLock io(v_.IoLock);
    StoreU32(v_.info_.data() + kTransactionTablePage, to);
    r = v_.WriteVolumeInfo();
  } else {
    PageRef previous;
    r = v_.GetPage(tablePages_[index - 1], true, -1, 0, nullptr, previous);
    if (r == 0) {
      StoreU32(previous.data() + kTableNextPage, to);
      r = v_.WritePage(tablePages_[index - 1], previous.data());
    }
  }
  // No flush here. The table is moved only between transactions (commits
  // hold the cache lock from registration to clearing their slot), so no
  // slot is in use, and the copy at `to` is on the medium already. Until
  // this write reaches the medium, page 1 (or the previous table page) names
  // `from`, which holds the same empty table or, once reused, a page that is
  // no table or lies past the end: either way recovery finds no transaction
  // to finish, which is the truth. The next registration into the table
  // comes after a flush of its commit, which carries this write with it.
  if (r != 0) return r;
  tablePages_[index] = to;
  return 0;
}

void Journal::SetFileName(const std::u16string& containerPath) {
  const std::size_t dot = containerPath.rfind(u'.');
  if (dot == std::u16string::npos || dot == 0)
    fileName_ = u".log";
  else
    fileName_ = containerPath.substr(0, dot) + u".log";
}

EngineResult Journal::ReadRaw(std::uint32_t slot, std::uint8_t* buffer) {
  if (!fileOpen_) return errStorageNotActive;
  return v_.backend_->ReadAt(file_, slot, v_.PageSize, buffer, v_.PageSize);
}

EngineResult Journal::CloseFile() {
  if (!fileOpen_) return 0;
  fileOpen_ = false;
  return v_.backend_->Close(file_);
}

EngineResult Journal::Register(std::uint32_t id, std::uint32_t firstJournal,
                               std::uint32_t& tablePage, std::uint32_t& slot) {
  MutexLock cache(cacheLock_);
  MutexLock io(v_.IoLock);
  const std::uint32_t slots = SlotsPerTablePage(v_.PageSize);
  for (std::uint32_t tp : tablePages_) {
    PageRef page;
    EngineResult r = v_.GetPage(tp, true, -1, 0, nullptr, page);
    if (r != 0) return r;
    std::uint8_t* d = page.data();
    for (std::uint32_t s = 0; s < slots; ++s) {
      std::uint8_t* at = d + kTableFirstSlot + s * kTableSlotSize;
      if (LoadU32(at) != 0) continue;
      StoreU32(at, id);
      StoreU32(at + 4, firstJournal);
      r = v_.WritePage(tp, d);
      if (r != 0) {
        StoreU32(at, 0);
        StoreU32(at + 4, 0);
        return r;
      }
      tablePage = tp;
      slot = s;
      return v_.FlushHost();
    }
  }
  // Every slot is taken: chain a new table page.
  PageRef fresh;
  EngineResult r = v_.AllocateNewPage(TransactionTablePage, nullptr, fresh);
  if (r != 0) return r;
  // A failure before the page is chained gives it back: nothing names it.
  auto giveBack = [this, &fresh](EngineResult error) {
    const std::uint32_t n = fresh->PageNumber;
    PageBuffer* b = fresh.Detach();
    b->Flags &= static_cast<std::uint16_t>(~pbDirty);
    b->RefCount.fetch_sub(1);
    if (b->RefCount.load() == 0) v_.ForgetBuffer(b);
    EngineResult ignored = v_.SetMapEntry(n, 0, false);
    (void)ignored;
    return error;
  };
  std::uint8_t* d = fresh.data();
  StoreU32(d + kTableFirstSlot, id);
  StoreU32(d + kTableFirstSlot + 4, firstJournal);
  r = v_.WritePage(fresh->PageNumber, d);
  if (r != 0) return giveBack(r);
  fresh->Flags &= static_cast<std::uint16_t>(~pbDirty);
  PageRef last;
  r = v_.GetPage(tablePages_.back(), true, -1, 0, nullptr, last);
  if (r != 0) return giveBack(r);
  StoreU32(last.data() + kTableNextPage, fresh->PageNumber);
  r = v_.WritePage(tablePages_.back(), last.data());
  if (r != 0) {
    StoreU32(last.data() + kTableNextPage, 0);
    return giveBack(r);
  }
  tablePages_.push_back(fresh->PageNumber);
  tablePage = fresh->PageNumber;
  slot = 0;
  return v_.FlushHost();
}

EngineResult Journal::ClearSlot(std::uint32_t tablePage, std::uint32_t slot, std::uint32_t id) {
  MutexLock cache(cacheLock_);
  MutexLock io(v_.IoLock);
  PageRef page;
  EngineResult r = v_.GetPage(tablePage, true, -1, 0, nullptr, page);
  if (r != 0) return r;
  std::uint8_t* at = page.data() + kTableFirstSlot + slot * kTableSlotSize;
  if (LoadU32(at) != id) {
    v_.MarkCorrupted();
    return errStorageCorrupted;
  }
  StoreU32(at, 0);
  StoreU32(at + 4, 0);
  r = v_.WritePage(tablePage, page.data());
  if (r != 0) return r;
  return v_.FlushHost();
}

EngineResult Journal::Mount() {
  MutexLock cache(cacheLock_);
  StoreU32(v_.info_.data() + kVolumeFlags,
           LoadU32(v_.info_.data() + kVolumeFlags) | vfTransactionTable);
  PageRef table;
  EngineResult r = v_.AllocateNewPage(TransactionTablePage, nullptr, table);
  if (r != 0) return r;
  const std::uint32_t n = table->PageNumber;
  StoreU32(v_.info_.data() + kTransactionTablePage, n);
  tablePages_.assign(1, n);
  r = v_.WriteVolumeInfo();
  if (r != 0) return r;
  r = v_.WritePage(n, table.data());
  if (r != 0) return r;
  table->Flags &= static_cast<std::uint16_t>(~(pbDirty | pbAllocated | pbChanged));
  return 0;
}

EngineResult Journal::Unmount() {
  MutexLock lock(mutex_);
  if (!running_.empty()) return errActiveTransactions;
  MutexLock cache(cacheLock_);
  EngineResult first = 0;
  while (!tablePages_.empty()) {
    const std::uint32_t n = tablePages_.back();
    PageRef table;
    EngineResult r = v_.GetPage(n, true, -1, 0, nullptr, table);
    if (r == 0) {
      StoreU16(table.data() + kPageType, 0);
      r = v_.WritePage(n, table.data());
      table->Flags &= static_cast<std::uint16_t>(~pbDirty);
    }
    if (first == 0) first = r;
    r = v_.SetMapEntry(n, 0, false);
    if (first == 0) first = r;
    if (table) {
      PageBuffer* b = table.Detach();
      b->RefCount.fetch_sub(1);
      if (b->RefCount.load() == 0) v_.ForgetBuffer(b);
    }
    tablePages_.pop_back();
  }
  StoreU32(v_.info_.data() + kTransactionTablePage, 0);
  return first;
}

// Replays every registered commit. For each journal entry the page found
// there says what to do:
//   - a shadow (its PageNumber names another page): copy it home, then wipe
//     and free the shadow;
//   - a freed-page marker (type 0, PageNumber names another page): free and
//     wipe the home page;
//   - a page written in place with its commit mark (a new page): keep it,
//     clear the mark;
//   - a page already home with mark 0: keep it untouched;
//   - a wiped shadow (type 0, its own number): free it.
// Shadows, journal pages and table pages are wiped only once every page
// written home, and the space map as recovery leaves it, are on the medium:
// a disk may write what it holds in any order, and a journal or shadow wiped
// before the copy home arrived would leave the next recovery (after a power
// loss in this one) nothing to copy, one wiped before the map would leave
// pages marked in use that nothing names.
EngineResult Journal::RecoverFromTable() {
  MutexLock cache(cacheLock_);
  EngineResult r = v_.EnsureScanned();
  if (r != 0) return r;
  const std::uint32_t perPage = EntriesPerJournalPage(v_.PageSize);
  const std::uint32_t slots = SlotsPerTablePage(v_.PageSize);
  std::vector<std::uint8_t> table(v_.PageSize), journal(v_.PageSize), page(v_.PageSize);
  std::set<std::uint32_t> visited;
  std::vector<std::uint32_t> wipes;

  std::uint32_t tp = LoadU32(v_.info_.data() + kTransactionTablePage);
  while (tp != 0 && UsableCommitPage(v_, tp) && visited.insert(tp).second) {
    r = v_.ReadPage(tp, table.data());
    if (r != 0) return r;
    if (PageTypeOf(table.data()) != TransactionTablePage) {
      // Wiped by an unmount whose map update never reached the file. An
      // unmount wipes only the type and the pages chained after it went the
      // same way (or are still whole, with no slot in use): they are freed
      // too, or they would stay marked in use with nothing naming them.
      std::uint16_t entry = 0;
      if ((r = v_.GetMapEntry(tp, entry)) != 0) return r;
      if (entry != TransactionTablePage || PageNumberOf(table.data()) != tp) break;
      if ((r = v_.SetMapEntry(tp, 0, false)) != 0) return r;
      tp = LoadU32(table.data() + kTableNextPage);
      continue;
    }
    for (std::uint32_t s = 0; s < slots; ++s) {
      std::uint32_t jp = LoadU32(table.data() + kTableFirstSlot + s * kTableSlotSize + 4);
      while (jp != 0 && UsableCommitPage(v_, jp) && visited.insert(jp).second) {
        r = v_.ReadPage(jp, journal.data());
        if (r != 0) return r;
        if (PageTypeOf(journal.data()) != 0 || PageNumberOf(journal.data()) != jp) break;
        for (std::uint32_t e = 0; e < perPage; ++e) {
          const std::uint32_t d = LoadU32(journal.data() + kJournalFirstEntry + 4 * e);
          if (d == 0) break;
          if (!UsableCommitPage(v_, d)) continue;
          r = v_.ReadPage(d, page.data());
          if (r != 0) return r;
          const std::uint16_t type = PageTypeOf(page.data());
          const std::uint16_t mark = CommitMarkOf(page.data());
          const std::uint32_t home = PageNumberOf(page.data());
          if (home != d) {
            if (!UsableHomePage(v_, home) || (type != 0 && mark != type)) continue;
            StoreU16(page.data() + kCommitMark, 0);
            if ((r = v_.WritePage(home, page.data())) != 0) return r;
            if ((r = v_.SetMapEntry(home, type, false)) != 0) return r;
            if ((r = v_.SetMapEntry(d, 0, false)) != 0) return r;
            wipes.push_back(d);
          } else if (type == 0) {
            if ((r = v_.SetMapEntry(d, 0, false)) != 0) return r;
          } else if (mark == type) {
            StoreU16(page.data() + kCommitMark, 0);
            if ((r = v_.WritePage(d, page.data())) != 0) return r;
            if ((r = v_.SetMapEntry(d, type, false)) != 0) return r;
          } else if (mark == 0) {
            if ((r = v_.SetMapEntry(d, type, false)) != 0) return r;
          }
        }
        const std::uint32_t next = NextPageOf(journal.data());
        if ((r = v_.SetMapEntry(jp, 0, false)) != 0) return r;
        wipes.push_back(jp);
        jp = next;
      }
    }
    const std::uint32_t next = LoadU32(table.data() + kTableNextPage);
    if ((r = v_.SetMapEntry(tp, 0, false)) != 0) return r;
    wipes.push_back(tp);
    tp = next;
  }
  r = v_.FlushMapPages();
  if (r != 0) return r;
  if (!wipes.empty() && (r = v_.FlushHost()) != 0) return r;
  for (std::uint32_t n : wipes)
    if ((r = v_.WriteZeroPage(n, n)) != 0) return r;
  StoreU32(v_.info_.data() + kTransactionTablePage, 0);
  return 0;
}

EngineResult Journal::RecoverFromFile() {
  MutexLock cache(cacheLock_);
  MutexLock io(v_.IoLock);
  std::uint64_t slotCount = 0;
  if (v_.FixedSize) {
    slotCount = v_.HostPageCount;
  } else {
    // No journal file means nothing was journaled; do not leave an empty one behind.
    bool readOnly = false;
    EngineResult r = v_.backend_->Open(fileName_, readOnly, true, file_);
    if (r != 0) return 0;
    if (readOnly) {
      EngineResult ignored = v_.backend_->Close(file_);
      (void)ignored;
      return 0;
    }
    fileOpen_ = true;
    std::int64_t size = 0;
    r = v_.backend_->GetSize(file_, size);
    if (r != 0) return r;
    slotCount = static_cast<std::uint64_t>(size) >> v_.PageShift;
  }
  EngineResult r = v_.EnsureScanned();
  if (r != 0) return r;
  std::vector<std::uint8_t> slot(v_.PageSize), listed(v_.PageSize);
  // Slots of a fixed-size volume to wipe once what they hold is home.
  std::vector<std::uint32_t> replayed;
  if (slotCount >= 1) {
    r = v_.ReadJournalPage(0, slot.data());
    if (r != 0) return r;
    std::vector<std::uint32_t> committed;
    for (std::uint32_t at = kJournalCommittedFirst; at + 4 <= v_.PageSize; at += 4) {
      const std::uint32_t id = LoadU32(slot.data() + at);
      if (id != 0) committed.push_back(id);
    }
    for (std::uint64_t s = 1; s < slotCount; ++s) {
      const std::uint32_t index = static_cast<std::uint32_t>(s);
      r = v_.ReadJournalPage(index, slot.data());
      if (r != 0) return r;
      const std::uint32_t number = PageNumberOf(slot.data());
      if (number == 0) break;
      if (v_.FixedSize && number == v_.HostPageCount - index - 1) break;
      const std::uint32_t id = LoadU32(slot.data() + kJournalSlotTransactionId);
      if (id == 0 || std::find(committed.begin(), committed.end(), id) == committed.end()) continue;
      const std::uint16_t type = PageTypeOf(slot.data());
      if (type == kJournalFreeRecord || type == kJournalRewriteRecord) {
        for (std::uint32_t at = kJournalRecordFirstEntry; at + 4 <= v_.PageSize; at += 4) {
          const std::uint32_t p = LoadU32(slot.data() + at);
          if (p == 0) break;
          if (type == kJournalFreeRecord ? !UsableCommitPage(v_, p) : !UsableHomePage(v_, p))
            continue;
          if (type == kJournalFreeRecord) {
            if ((r = v_.WriteZeroPage(p, p)) != 0) return r;
            if ((r = v_.SetMapEntry(p, 0, false)) != 0) return r;
          } else {
            if ((r = v_.ReadPage(p, listed.data())) != 0) return r;
            if ((r = v_.SetMapEntry(p, PageTypeOf(listed.data()), false)) != 0) return r;
            StoreU32(listed.data() + kJournalSlotTransactionId, 0);
            if ((r = v_.WritePage(p, listed.data())) != 0) return r;
          }
        }
      } else if (UsableHomePage(v_, number)) {
        StoreU32(slot.data() + kJournalSlotTransactionId, 0);
        if ((r = v_.SetMapEntry(number, type, false)) != 0) return r;
        if ((r = v_.WritePage(number, slot.data())) != 0) return r;
      }
      if (v_.FixedSize) replayed.push_back(index);
    }
  }
  r = v_.FlushMapPages();
  if (r != 0) return r;
  // Every copy home and the space map reach the medium before the journal
  // that could copy them again is wiped or cut: written in any order, a
  // journal gone before its pages arrived would leave the commit half done.
  r = v_.FlushHost();
  if (r != 0) return r;
  if (v_.FixedSize) {
    for (const std::uint32_t index : replayed)
      if ((r = v_.WriteZeroPage(v_.HostPageCount - index - 1, 0)) != 0) return r;
    if (v_.HostPageCount > 0) r = v_.WriteZeroPage(v_.HostPageCount - 1, 0);
    return r;
  }
  // The cut needs no flush of its own: a journal that came back after a
  // power loss is replayed only by an open that finds no transaction table.
  // With transactions the mount names a table in the volume information,
  // which the first commit's flush carries to the medium before any newer
  // page goes home; without them the file is deleted below.
  r = v_.backend_->SetSize(file_, 0);
  if (!v_.UseTransactions) {
    EngineResult c = v_.backend_->Close(file_);
    fileOpen_ = false;
    if (r == 0) r = c;
    EngineResult d = v_.backend_->Delete(fileName_);
    if (r == 0) r = d;
  }
  return r;
}

}  // namespace vaultfs
