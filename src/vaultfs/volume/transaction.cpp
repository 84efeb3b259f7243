// Transactions: pages and objects committed or rolled back together; with
// UseTransactions on, changed pages go to shadow pages, the commit lists them
// in journal pages and registers itself in the transaction table before
// copying anything home, so an interrupted commit is finished at the next open.
#include "vaultfs/volume/transaction.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

using namespace layout;

namespace {

std::uint32_t EntriesPerJournalPage(std::uint32_t pageSize) {
  return (pageSize - kJournalFirstEntry) / 4;
}

std::uint32_t SlotsPerTablePage(std::uint32_t pageSize) {
  return (pageSize - kTableFirstSlot) / kTableSlotSize;
}

}  // namespace

bool Volume::RecoveryPending() {
  std::scoped_lock lock(TransactionLock);
  return pendingRecovery_ != 0;
}

std::size_t Volume::RunningTransactions() {
  std::scoped_lock lock(TransactionLock);
  return Running.size();
}

EngineResult Volume::Begin(bool readOnly, Transaction*& transaction) {
  transaction = nullptr;
  if (!Active) return errStorageNotActive;
  std::scoped_lock lock(TransactionLock);
  // A commit that failed after its registration is finished by the next
  // writable open; until then the pages in memory and on the medium may
  // disagree, so nothing else runs.
  if (pendingRecovery_ != 0) return pendingRecovery_;
  auto* t = new (std::nothrow) Transaction(*this);
  if (!t) return errOutOfMemory;
  std::uint32_t id = 0;
  {
    std::scoped_lock io(IoLock);  // the volume information image
    id = LoadU32(info_.data() + kLastTransactionId) + 1;
    if (id == 0) id = 1;
    StoreU32(info_.data() + kLastTransactionId, id);
  }
  t->Id = id;
  if (readOnly) t->Flags |= txReadOnly;
  Running.push_back(t);
  transaction = t;
  return 0;
}

EngineResult Volume::JoinPage(Transaction* transaction, PageBuffer* buffer) {
  std::scoped_lock lock(transaction->lock);
  std::scoped_lock cache(CacheLock);
  if (buffer->Transaction && buffer->Transaction != transaction) return errSharingViolation;
  if (!buffer->Has(pbJoined)) {
    buffer->TxPrev = nullptr;
    buffer->TxNext = transaction->pages;
    if (transaction->pages) transaction->pages->TxPrev = buffer;
    transaction->pages = buffer;
    buffer->Flags |= pbJoined;
    buffer->Transaction = transaction;
    ++transaction->pageCount;
  }
  // A compaction's transactions are journaled like any other: a crash in
  // the middle of one leaves the pages before or after it.
  if (UseTransactions && !transaction->IsReadOnly() && !transaction->NoJournalSpace()) {
    const std::uint32_t perPage = EntriesPerJournalPage(PageSize);
    const std::uint32_t needed = (transaction->pageCount + perPage - 1) / perPage;
    if (transaction->reserved.size() < needed) {
      std::uint32_t page = 0;
      EngineResult r = AllocatePage(JournalPage, nullptr, true, page);
      if (r == errStorageFull) {
        transaction->Flags |= txNoJournalSpace;
      } else if (r != 0) {
        LeavePage(buffer);
        return r;
      } else {
        transaction->reserved.push_back(page);
      }
    }
  }
  return 0;
}

void Volume::LeavePage(PageBuffer* buffer) {
  std::scoped_lock cache(CacheLock);
  Transaction* t = buffer->Transaction;
  if (!t || !buffer->Has(pbJoined)) return;
  if (buffer->TxPrev)
    buffer->TxPrev->TxNext = buffer->TxNext;
  else
    t->pages = buffer->TxNext;
  if (buffer->TxNext) buffer->TxNext->TxPrev = buffer->TxPrev;
  buffer->TxPrev = buffer->TxNext = nullptr;
  buffer->Transaction = nullptr;
  buffer->Flags &= static_cast<std::uint16_t>(~pbJoined);
  if (t->pageCount > 0) --t->pageCount;
}

EngineResult Volume::JoinObject(Transaction* transaction, TransactionObject* object) {
  std::scoped_lock lock(transaction->lock);
  if (object->JoinedTransaction == transaction) return 0;
  if (object->JoinedTransaction) return errSharingViolation;
  transaction->objects.push_back(object);
  object->JoinedTransaction = transaction;
  object->SaveState();
  return 0;
}

void Volume::LeaveObject(TransactionObject* object) {
  Transaction* t = object->JoinedTransaction;
  if (!t) return;
  std::scoped_lock lock(t->lock);
  auto& list = t->objects;
  list.erase(std::remove(list.begin(), list.end(), object), list.end());
  object->JoinedTransaction = nullptr;
}

EngineResult Volume::WriteDirtyPages(Transaction* transaction) {
  std::scoped_lock lock(transaction->lock);
  std::scoped_lock cache(CacheLock);
  EngineResult first = 0;
  for (PageBuffer* b = transaction->pages; b; b = b->TxNext) {
    if (b->Has(pbHasData) && b->Has(pbDirty)) {
      EngineResult r = WriteBack(b);
      if (first == 0) first = r;
    }
  }
  return first;
}

EngineResult Volume::FlushHost() {
  std::scoped_lock io(IoLock);
  return backend_->Flush(host_);
}

EngineResult Volume::WriteZeroPage(std::uint32_t at, std::uint32_t number) {
  std::vector<std::uint8_t> zero(PageSize);
  StoreU32(zero.data() + kPageNumber, number);
  return WritePage(at, zero.data());
}

EngineResult Volume::RegisterInTable(std::uint32_t id, std::uint32_t firstJournal,
                                     std::uint32_t& tablePage, std::uint32_t& slot) {
  std::scoped_lock cache(CacheLock);
  std::scoped_lock io(IoLock);
  const std::uint32_t slots = SlotsPerTablePage(PageSize);
  for (std::uint32_t tp : TablePages) {
    PageRef page;
    EngineResult r = GetPage(tp, true, -1, 0, nullptr, page);
    if (r != 0) return r;
    std::uint8_t* d = page.data();
    for (std::uint32_t s = 0; s < slots; ++s) {
      std::uint8_t* at = d + kTableFirstSlot + s * kTableSlotSize;
      if (LoadU32(at) != 0) continue;
      StoreU32(at, id);
      StoreU32(at + 4, firstJournal);
      r = WritePage(tp, d);
      if (r != 0) {
        StoreU32(at, 0);
        StoreU32(at + 4, 0);
        return r;
      }
      tablePage = tp;
      slot = s;
      return FlushHost();
    }
  }
  // Every slot is taken: chain a new table page.
  PageRef fresh;
  EngineResult r = AllocateNewPage(TransactionTablePage, nullptr, fresh);
  if (r != 0) return r;
  std::uint8_t* d = fresh.data();
  StoreU32(d + kTableFirstSlot, id);
  StoreU32(d + kTableFirstSlot + 4, firstJournal);
  r = WritePage(fresh->PageNumber, d);
  if (r != 0) return r;
  fresh->Flags &= static_cast<std::uint16_t>(~pbDirty);
  PageRef last;
  r = GetPage(TablePages.back(), true, -1, 0, nullptr, last);
  if (r != 0) return r;
  StoreU32(last.data() + kTableNextPage, fresh->PageNumber);
  r = WritePage(TablePages.back(), last.data());
  if (r != 0) return r;
  TablePages.push_back(fresh->PageNumber);
  tablePage = fresh->PageNumber;
  slot = 0;
  return FlushHost();
}

EngineResult Volume::ClearTableSlot(std::uint32_t tablePage, std::uint32_t slot, std::uint32_t id) {
  std::scoped_lock cache(CacheLock);
  std::scoped_lock io(IoLock);
  PageRef page;
  EngineResult r = GetPage(tablePage, true, -1, 0, nullptr, page);
  if (r != 0) return r;
  std::uint8_t* at = page.data() + kTableFirstSlot + slot * kTableSlotSize;
  if (LoadU32(at) != id) {
    MarkCorrupted();
    return errStorageCorrupted;
  }
  StoreU32(at, 0);
  StoreU32(at + 4, 0);
  r = WritePage(tablePage, page.data());
  if (r != 0) return r;
  return FlushHost();
}

void Volume::DestroyTransaction(Transaction* transaction) {
  std::scoped_lock lock(TransactionLock);
  Running.erase(std::remove(Running.begin(), Running.end(), transaction), Running.end());
  delete transaction;
}

// Lets every page of a finished transaction go: the transaction flags and the
// shadow are cleared and the transaction's hold on the page ends.
template <class Settle>
static void SettlePages(Transaction* transaction, Settle settle) {
  PageBuffer* b = transaction->pages;
  while (b) {
    PageBuffer* next = b->TxNext;
    settle(b);
    b = next;
  }
  transaction->pages = nullptr;
  transaction->pageCount = 0;
}

struct Volume::CommitJournal {
  // Transactions are on: changed pages went to shadows.
  bool journaling = false;
  // Whether this commit writes a journal: transactions are on, it changed
  // pages, and it found room for its journal when the pages joined.
  bool written = false;
  std::uint32_t tablePage = 0;
  std::uint32_t tableSlot = 0;
  bool registered = false;
};

EngineResult Volume::WriteAndRegisterCommit(Transaction* transaction, CommitJournal& journal) {
  EngineResult r = 0;
  for (PageBuffer* b = transaction->pages; b && r == 0; b = b->TxNext) {
    if (b->Has(pbDirty) && b->Has(pbHasData)) r = WriteBack(b);
  }

  // The journal lists, for every changed page, where recovery finds its new
  // image: the shadow, the home of a new page, or a marker page standing for
  // a freed page (so recovery can tell a freed page from a page already home).
  // Shadows and markers join the reserved pages, which the space map lets go
  // of once the commit is complete.
  const bool journaling = journal.journaling = UseTransactions;
  std::vector<std::uint32_t> entries;
  journal.written =
      journaling && transaction->pageCount >= 1 && !transaction->NoJournalSpace() && r == 0;
  const std::size_t journalPageCount = transaction->reserved.size();
  if (journaling) {
    std::vector<std::uint8_t> marker(PageSize);
    for (PageBuffer* b = transaction->pages; b && r == 0; b = b->TxNext) {
      if (!b->Has(pbChanged)) continue;
      if (b->ShadowPage != 0) transaction->reserved.push_back(b->ShadowPage);
      if (!journal.written) continue;
      if (b->Has(pbFreed)) {
        std::fill(marker.begin(), marker.end(), 0);
        StoreU32(marker.data() + kPageNumber, b->PageNumber);
        std::uint32_t m = 0;
        r = AllocatePage(JournalPage, marker.data(), true, m);
        if (r != 0) break;
        transaction->reserved.push_back(m);
        entries.push_back(m);
      } else {
        entries.push_back(b->ShadowPage != 0 ? b->ShadowPage : b->PageNumber);
      }
    }
  }
  if (r != 0 || !journal.written || entries.empty()) return r;

  // The journal pages (reserved when the pages joined), chained in order.
  const std::uint32_t perPage = EntriesPerJournalPage(PageSize);
  const std::size_t pagesNeeded = (entries.size() + perPage - 1) / perPage;
  if (pagesNeeded > journalPageCount) {
    r = errStorageCorrupted;  // reservation is one journal page per `perPage` joined pages
  }
  std::vector<std::uint8_t> page(PageSize);
  for (std::size_t j = 0; j < pagesNeeded && r == 0; ++j) {
    std::fill(page.begin(), page.end(), 0);
    const std::uint32_t self = transaction->reserved[j];
    StoreU32(page.data() + kPageNumber, self);
    StoreU32(page.data() + kPrevPage, j > 0 ? transaction->reserved[j - 1] : 0);
    StoreU32(page.data() + kNextPage, j + 1 < pagesNeeded ? transaction->reserved[j + 1] : 0);
    for (std::uint32_t e = 0; e < perPage && j * perPage + e < entries.size(); ++e)
      StoreU32(page.data() + kJournalFirstEntry + 4 * e, entries[j * perPage + e]);
    r = WritePage(self, page.data());
  }
  transaction->journalCursor = static_cast<std::uint32_t>(pagesNeeded);
  // Everything the journal names must be on the medium before the
  // registration makes it authoritative.
  if (r == 0) r = FlushHost();
  if (r == 0) {
    r = RegisterInTable(transaction->Id, transaction->reserved[0], journal.tablePage,
                        journal.tableSlot);
    journal.registered = r == 0;
  }
  return r;
}

EngineResult Volume::CompleteRegisteredCommit(Transaction* transaction,
                                              const CommitJournal& journal) {
  EngineResult r = 0;
  // The shadows go home.
  if (journal.journaling) {
    std::vector<std::uint8_t> image(PageSize);
    for (PageBuffer* b = transaction->pages; b && r == 0; b = b->TxNext) {
      if (!b->Has(pbChanged) || b->Has(pbFreed) || b->ShadowPage == 0) continue;
      if (b->Has(pbHasData)) {
        std::memcpy(image.data(), b->Data.get(), PageSize);
      } else {
        r = ReadPage(b->ShadowPage, image.data());
        if (r != 0) break;
      }
      StoreU16(image.data() + kCommitMark, 0);
      StoreU32(image.data() + kPageNumber, b->PageNumber);
      r = WritePage(b->PageNumber, image.data());
      if (r == 0) r = WriteZeroPage(b->ShadowPage, b->ShadowPage);
      if (r == 0) b->ShadowPage = 0;
    }
  }

  // Space map: allocations and frees of the transaction, then the journal,
  // shadow and marker pages. The caller holds the cache lock until the slot
  // is cleared, so no other transaction can reuse those pages while recovery
  // might still read them.
  for (PageBuffer* b = transaction->pages; b && r == 0; b = b->TxNext) {
    if (b->Has(pbFreed))
      r = SetMapEntry(b->PageNumber, 0, false);
    else if (b->Has(pbAllocated))
      r = SetMapEntry(b->PageNumber, b->PageType, false);
  }
  if (r == 0) {
    for (std::uint32_t p : transaction->reserved) {
      EngineResult f = SetMapEntry(p, 0, false);
      if (r == 0) r = f;
    }
  }
  if (r == 0) r = FlushMapPages();

  // The registration goes once everything above is on the medium.
  if (r == 0 && journal.registered) {
    r = FlushHost();
    if (r == 0) r = ClearTableSlot(journal.tablePage, journal.tableSlot, transaction->Id);
  }
  return r;
}

EngineResult Volume::Commit(Transaction* transaction) {
  if (transaction->IsReadOnly()) {
    EndReadOnly(transaction);
    return 0;
  }
  // The objects are locked in a global order so two commits cannot
  // deadlock. Objects rank above the transaction's own lock (they are locked
  // when they join and whenever a page joins under them), so they come first.
  std::vector<TransactionObject*> objects;
  {
    std::scoped_lock lock(transaction->lock);
    objects = transaction->objects;
  }
  std::sort(objects.begin(), objects.end(),
            [](const TransactionObject* a, const TransactionObject* b) {
              return a->OrderingKey() < b->OrderingKey();
            });
  for (TransactionObject* o : objects) o->LockObject();
  std::unique_lock txLock(transaction->lock);
  std::unique_lock cache(CacheLock);
  auto unlockAll = [&] {
    cache.unlock();
    for (auto it = objects.rbegin(); it != objects.rend(); ++it) (*it)->UnlockObject();
    txLock.unlock();
  };

  CommitJournal journal;
  EngineResult r = WriteAndRegisterCommit(transaction, journal);
  if (r == 0) r = CompleteRegisteredCommit(transaction, journal);
  if (r != 0 && journal.registered) {
    // The registration stays: the next writable open finishes this commit
    // from its journal. Nothing on the medium may be touched any more (a
    // roll-back would wipe shadows and homes the journal still names), so
    // the transaction is only forgotten in memory, and the volume refuses
    // further work and closes without writing until it is reopened.
    unlockAll();
    {
      std::scoped_lock lock(TransactionLock);
      if (pendingRecovery_ == 0) pendingRecovery_ = r;
    }
    EngineResult ignored = Forget(transaction, false);
    (void)ignored;
    return r;
  }
  if (r != 0) {
    // Nothing of it is durable: undo.
    unlockAll();
    EngineResult rollback = Rollback(transaction);
    (void)rollback;
    return r;
  }

  SettlePages(transaction, [this](PageBuffer* b) {
    b->Flags &=
        static_cast<std::uint16_t>(~(pbJoined | pbAllocated | pbFreed | pbChanged | pbDeleted));
    b->ShadowPage = 0;
    b->Transaction = nullptr;
    b->TxPrev = b->TxNext = nullptr;
    if (b->Has(pbHasData)) StoreU16(b->Data.get() + kCommitMark, 0);
    if (b->RefCount.load() == 0) {
      if (b->Has(pbHasData))
        LruAppend(b);
      else
        RemoveBuffer(b);
    }
  });
  EngineResult trimmed = Trim(kCacheLimit);
  cache.unlock();

  // Objects leave the transaction. An object may destroy itself in
  // Committed (a deleted one), so it is unlocked first and not touched after.
  for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
    TransactionObject* o = *it;
    o->JoinedTransaction = nullptr;
    o->UnlockObject();
    o->Committed();
  }
  txLock.unlock();

  DestroyTransaction(transaction);
  // What the automatic compaction meets does not undo this commit: its
  // failures stay its own (damage it finds is flagged in the volume).
  if (trimmed == 0) AutoCompactAfterCommit();
  return trimmed;
}

EngineResult Volume::Rollback(Transaction* transaction) {
  return Forget(transaction, true);
}

EngineResult Volume::Forget(Transaction* transaction, bool touchFile) {
  // Objects first, as in Commit.
  std::vector<TransactionObject*> objects;
  {
    std::scoped_lock lock(transaction->lock);
    objects = transaction->objects;
  }
  for (TransactionObject* o : objects) o->LockObject();
  std::unique_lock txLock(transaction->lock);
  EngineResult first = 0;
  {
    std::scoped_lock cache(CacheLock);
    for (PageBuffer* b = transaction->pages; b && touchFile; b = b->TxNext) {
      if (b->Has(pbAllocated)) {
        EngineResult r = WriteZeroPage(b->PageNumber, b->PageNumber);
        if (first == 0) first = r;
        r = SetMapEntry(b->PageNumber, 0, false);
        if (first == 0) first = r;
      }
      if (b->ShadowPage != 0) {
        EngineResult r = WriteZeroPage(b->ShadowPage, b->ShadowPage);
        if (first == 0) first = r;
        // The shadow was allocated for this transaction only.
        r = SetMapEntry(b->ShadowPage, 0, false);
        if (first == 0) first = r;
      }
    }
    SettlePages(transaction, [this](PageBuffer* b) {
      b->Flags &= static_cast<std::uint16_t>(
          ~(pbJoined | pbAllocated | pbFreed | pbChanged | pbDeleted | pbDirty));
      b->ShadowPage = 0;
      b->Transaction = nullptr;
      b->TxPrev = b->TxNext = nullptr;
      // Unsaved images are dropped; a holder reloads the page from the file.
      DropData(b);
      if (b->RefCount.load() == 0) RemoveBuffer(b);
    });
    for (std::uint32_t p : transaction->reserved) {
      if (!touchFile) break;
      EngineResult r = SetMapEntry(p, 0, false);
      if (first == 0) first = r;
    }
  }
  for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
    TransactionObject* o = *it;
    o->JoinedTransaction = nullptr;
    o->UnlockObject();
    o->RolledBack();
  }
  txLock.unlock();
  DestroyTransaction(transaction);
  return first;
}

void Volume::EndReadOnly(Transaction* transaction) {
  {
    std::scoped_lock lock(transaction->lock);
    std::scoped_lock cache(CacheLock);
    for (std::uint32_t p : transaction->reserved) {
      EngineResult ignored = SetMapEntry(p, 0, false);
      (void)ignored;
    }
    SettlePages(transaction, [this](PageBuffer* b) {
      b->Flags &= static_cast<std::uint16_t>(~pbJoined);
      b->Transaction = nullptr;
      b->TxPrev = b->TxNext = nullptr;
      if (b->RefCount.load() == 0) {
        if (b->Has(pbHasData))
          LruAppend(b);
        else
          RemoveBuffer(b);
      }
    });
    for (TransactionObject* o : transaction->objects) o->JoinedTransaction = nullptr;
  }
  DestroyTransaction(transaction);
}

EngineResult Volume::MountTable() {
  std::scoped_lock cache(CacheLock);
  StoreU32(info_.data() + kVolumeFlags, LoadU32(info_.data() + kVolumeFlags) | vfTransactionTable);
  PageRef table;
  EngineResult r = AllocateNewPage(TransactionTablePage, nullptr, table);
  if (r != 0) return r;
  const std::uint32_t n = table->PageNumber;
  StoreU32(info_.data() + kTransactionTablePage, n);
  TablePages.assign(1, n);
  r = WriteVolumeInfo();
  if (r != 0) return r;
  r = WritePage(n, table.data());
  if (r != 0) return r;
  table->Flags &= static_cast<std::uint16_t>(~(pbDirty | pbAllocated | pbChanged));
  return 0;
}

EngineResult Volume::UnmountTable() {
  std::scoped_lock lock(TransactionLock);
  if (!Running.empty()) return errActiveTransactions;
  std::scoped_lock cache(CacheLock);
  EngineResult first = 0;
  while (!TablePages.empty()) {
    const std::uint32_t n = TablePages.back();
    PageRef table;
    EngineResult r = GetPage(n, true, -1, 0, nullptr, table);
    if (r == 0) {
      StoreU16(table.data() + kPageType, 0);
      r = WritePage(n, table.data());
      table->Flags &= static_cast<std::uint16_t>(~pbDirty);
    }
    if (first == 0) first = r;
    r = SetMapEntry(n, 0, false);
    if (first == 0) first = r;
    if (table) {
      PageBuffer* b = table.Detach();
      b->RefCount.fetch_sub(1);
      if (b->RefCount.load() == 0) RemoveBuffer(b);
    }
    TablePages.pop_back();
  }
  StoreU32(info_.data() + kTransactionTablePage, 0);
  return first;
}

EngineResult Volume::Recover() {
  EngineResult r;
  if ((LoadU32(info_.data() + kVolumeFlags) & vfTransactionTable) != 0 &&
      LoadU32(info_.data() + kTransactionTablePage) != 0)
    r = RecoverFromTable();
  else
    r = RecoverFromJournal();
  if (r != 0) return r;
  StoreU16(info_.data() + kMountedFlag, 0);
  r = WriteVolumeInfo();
  if (r == 0) r = FlushHost();
  return r;
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
EngineResult Volume::RecoverFromTable() {
  std::scoped_lock cache(CacheLock);
  EngineResult r = EnsureScanned();
  if (r != 0) return r;
  const std::uint32_t perPage = EntriesPerJournalPage(PageSize);
  const std::uint32_t slots = SlotsPerTablePage(PageSize);
  std::vector<std::uint8_t> table(PageSize), journal(PageSize), page(PageSize);
  std::set<std::uint32_t> visited;
  auto usable = [this](std::uint32_t n) { return n > 2 && n < HostPageCount && !IsMapPage(n); };

  std::uint32_t tp = LoadU32(info_.data() + kTransactionTablePage);
  while (tp != 0 && usable(tp) && visited.insert(tp).second) {
    r = ReadPage(tp, table.data());
    if (r != 0) return r;
    if (PageTypeOf(table.data()) != TransactionTablePage) {
      // Wiped by an unmount whose map update never reached the file.
      std::uint16_t entry = 0;
      if ((r = GetMapEntry(tp, entry)) != 0) return r;
      if (entry == TransactionTablePage && (r = SetMapEntry(tp, 0, false)) != 0) return r;
      break;
    }
    for (std::uint32_t s = 0; s < slots; ++s) {
      std::uint32_t jp = LoadU32(table.data() + kTableFirstSlot + s * kTableSlotSize + 4);
      while (jp != 0 && usable(jp) && visited.insert(jp).second) {
        r = ReadPage(jp, journal.data());
        if (r != 0) return r;
        if (PageTypeOf(journal.data()) != 0 || PageNumberOf(journal.data()) != jp) break;
        for (std::uint32_t e = 0; e < perPage; ++e) {
          const std::uint32_t d = LoadU32(journal.data() + kJournalFirstEntry + 4 * e);
          if (d == 0) break;
          if (!usable(d)) continue;
          r = ReadPage(d, page.data());
          if (r != 0) return r;
          const std::uint16_t type = PageTypeOf(page.data());
          const std::uint16_t mark = CommitMarkOf(page.data());
          const std::uint32_t home = PageNumberOf(page.data());
          if (home != d) {
            if (!usable(home) || (type != 0 && mark != type)) continue;
            StoreU16(page.data() + kCommitMark, 0);
            if ((r = WritePage(home, page.data())) != 0) return r;
            if ((r = SetMapEntry(home, type, false)) != 0) return r;
            if ((r = WriteZeroPage(d, d)) != 0) return r;
            if ((r = SetMapEntry(d, 0, false)) != 0) return r;
          } else if (type == 0) {
            if ((r = SetMapEntry(d, 0, false)) != 0) return r;
          } else if (mark == type) {
            StoreU16(page.data() + kCommitMark, 0);
            if ((r = WritePage(d, page.data())) != 0) return r;
            if ((r = SetMapEntry(d, type, false)) != 0) return r;
          } else if (mark == 0) {
            if ((r = SetMapEntry(d, type, false)) != 0) return r;
          }
        }
        const std::uint32_t next = NextPageOf(journal.data());
        if ((r = SetMapEntry(jp, 0, false)) != 0) return r;
        if ((r = WriteZeroPage(jp, jp)) != 0) return r;
        jp = next;
      }
    }
    const std::uint32_t next = LoadU32(table.data() + kTableNextPage);
    if ((r = SetMapEntry(tp, 0, false)) != 0) return r;
    if ((r = WriteZeroPage(tp, tp)) != 0) return r;
    tp = next;
  }
  r = FlushMapPages();
  if (r != 0) return r;
  StoreU32(info_.data() + kTransactionTablePage, 0);
  return 0;
}

EngineResult Volume::RecoverFromJournal() {
  std::scoped_lock cache(CacheLock);
  std::scoped_lock io(IoLock);
  std::uint64_t slotCount = 0;
  if (FixedSize) {
    slotCount = HostPageCount;
  } else {
    // No journal file means nothing was journaled; do not leave an empty one behind.
    bool readOnly = false;
    EngineResult r = backend_->Open(JournalFileName, readOnly, true, journal_);
    if (r != 0) return 0;
    if (readOnly) {
      EngineResult ignored = backend_->Close(journal_);
      (void)ignored;
      return 0;
    }
    journalOpen_ = true;
    std::int64_t size = 0;
    r = backend_->GetSize(journal_, size);
    if (r != 0) return r;
    slotCount = static_cast<std::uint64_t>(size) >> PageShift;
  }
  EngineResult r = EnsureScanned();
  if (r != 0) return r;
  std::vector<std::uint8_t> slot(PageSize), listed(PageSize);
  if (slotCount >= 1) {
    r = ReadJournalPage(0, slot.data());
    if (r != 0) return r;
    std::vector<std::uint32_t> committed;
    for (std::uint32_t at = kJournalCommittedFirst; at + 4 <= PageSize; at += 4) {
      const std::uint32_t id = LoadU32(slot.data() + at);
      if (id != 0) committed.push_back(id);
    }
    auto usable = [this](std::uint32_t n) { return n > 2 && n < HostPageCount && !IsMapPage(n); };
    for (std::uint64_t s = 1; s < slotCount; ++s) {
      const std::uint32_t index = static_cast<std::uint32_t>(s);
      r = ReadJournalPage(index, slot.data());
      if (r != 0) return r;
      const std::uint32_t number = PageNumberOf(slot.data());
      if (number == 0) break;
      if (FixedSize && number == HostPageCount - index - 1) break;
      const std::uint32_t id = LoadU32(slot.data() + kJournalSlotTransactionId);
      if (id == 0 || std::find(committed.begin(), committed.end(), id) == committed.end()) continue;
      const std::uint16_t type = PageTypeOf(slot.data());
      if (type == kJournalFreeRecord || type == kJournalRewriteRecord) {
        for (std::uint32_t at = kJournalRecordFirstEntry; at + 4 <= PageSize; at += 4) {
          const std::uint32_t p = LoadU32(slot.data() + at);
          if (p == 0) break;
          if (!usable(p)) continue;
          if (type == kJournalFreeRecord) {
            if ((r = WriteZeroPage(p, p)) != 0) return r;
            if ((r = SetMapEntry(p, 0, false)) != 0) return r;
          } else {
            if ((r = ReadPage(p, listed.data())) != 0) return r;
            if ((r = SetMapEntry(p, PageTypeOf(listed.data()), false)) != 0) return r;
            StoreU32(listed.data() + kJournalSlotTransactionId, 0);
            if ((r = WritePage(p, listed.data())) != 0) return r;
          }
        }
      } else if (usable(number)) {
        StoreU32(slot.data() + kJournalSlotTransactionId, 0);
        if ((r = SetMapEntry(number, type, false)) != 0) return r;
        if ((r = WritePage(number, slot.data())) != 0) return r;
      }
      if (FixedSize && (r = WriteZeroPage(HostPageCount - index - 1, 0)) != 0) return r;
    }
  }
  r = FlushMapPages();
  if (r != 0) return r;
  if (FixedSize) {
    if (HostPageCount > 0) r = WriteZeroPage(HostPageCount - 1, 0);
    return r;
  }
  r = backend_->SetSize(journal_, 0);
  if (!UseTransactions) {
    EngineResult c = backend_->Close(journal_);
    journalOpen_ = false;
    if (r == 0) r = c;
    EngineResult d = backend_->Delete(JournalFileName);
    if (r == 0) r = d;
  }
  return r;
}

}  // namespace vaultfs
