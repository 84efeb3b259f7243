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

#include "vaultfs/format/page_layout.h"
#include "vaultfs/util/byte_order.h"
#include "vaultfs/volume/journal.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

using namespace layout;

namespace {}  // namespace

bool Volume::RecoveryPending() {
  MutexLock lock(journal_.Lock());
  return journal_.PendingRecovery() != 0;
}

std::size_t Volume::RunningTransactions() {
  return journal_.RunningCount();
}

EngineResult Volume::Begin(bool readOnly, Transaction*& transaction) {
  transaction = nullptr;
  if (!Active) return errStorageNotActive;
  MutexLock lock(journal_.Lock());
  // A commit that failed after its registration is finished by the next
  // writable open, and a roll-back that could not undo the file leaves it as
  // it is; until then the pages in memory and on the medium may disagree, so
  // nothing else runs.
  if (EngineResult pending = journal_.PendingRecovery(); pending != 0) return pending;
  auto* t = new (std::nothrow) Transaction(*this);
  if (!t) return errOutOfMemory;
  std::uint32_t id = 0;
  {
    MutexLock io(IoLock);  // the volume information image
    id = LoadU32(info_.data() + kLastTransactionId) + 1;
    if (id == 0) id = 1;
    StoreU32(info_.data() + kLastTransactionId, id);
  }
  t->Id = id;
  if (readOnly) t->Flags |= txReadOnly;
  journal_.Add(t);
  transaction = t;
  return 0;
}

EngineResult Volume::JoinPage(Transaction* transaction, PageBuffer* buffer) {
  MutexLock lock(transaction->lock);
  MutexLock cache(cache_.Lock());
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
  MutexLock cache(cache_.Lock());
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
  MutexLock lock(transaction->lock);
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
  MutexLock lock(t->lock);
  auto& list = t->objects;
  list.erase(std::remove(list.begin(), list.end(), object), list.end());
  object->JoinedTransaction = nullptr;
}

EngineResult Volume::WriteDirtyPages(Transaction* transaction) {
  MutexLock lock(transaction->lock);
  MutexLock cache(cache_.Lock());
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
  MutexLock io(IoLock);
  return backend_->Flush(host_);
}

EngineResult Volume::WriteZeroPage(std::uint32_t at, std::uint32_t number) {
  std::vector<std::uint8_t> zero(PageSize);
  StoreU32(zero.data() + kPageNumber, number);
  return WritePage(at, zero.data());
}

void Volume::DestroyTransaction(Transaction* transaction) {
  MutexLock lock(journal_.Lock());
  journal_.Remove(transaction);
  delete transaction;
}

// The pages of a finished transaction, as a list the caller walks (by
// TxNext, read before the page is settled) to let each one go: the
// transaction flags and the shadow are cleared and the transaction's hold
// on the page ends.
static PageBuffer* TakePages(Transaction* transaction) {
  PageBuffer* first = transaction->pages;
  transaction->pages = nullptr;
  transaction->pageCount = 0;
  return first;
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
  const bool behind = WritesBehind();
  for (PageBuffer* b = transaction->pages; b && r == 0; b = b->TxNext) {
    if (b->Has(pbDirty) && b->Has(pbHasData)) r = behind ? KeepCommitted(b) : WriteBack(b);
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
    r = journal_.Register(transaction->Id, transaction->reserved[0], journal.tablePage,
                          journal.tableSlot);
    journal.registered = r == 0;
  }
  return r;
}

EngineResult Volume::CompleteRegisteredCommit(Transaction* transaction,
                                              const CommitJournal& journal) {
  EngineResult r = 0;
  // The shadows go home, and are wiped only once every home copy is on the
  // medium: a disk may write what it holds in any order, and a shadow wiped
  // before its copy home reached the medium would leave recovery nothing to
  // copy.
  if (journal.journaling) {
    std::vector<std::uint8_t> image(PageSize);
    std::vector<PageBuffer*> home;
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
      if (r == 0) home.push_back(b);
    }
    if (r == 0 && !home.empty()) r = FlushHost();
    for (PageBuffer* b : home) {
      if (r != 0) break;
      r = WriteZeroPage(b->ShadowPage, b->ShadowPage);
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
  if (r == 0 && !WritesBehind()) r = FlushMapPages();

  // The registration goes once everything above is on the medium.
  if (r == 0 && journal.registered) {
    r = FlushHost();
    if (r == 0) r = journal_.ClearSlot(journal.tablePage, journal.tableSlot, transaction->Id);
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
    MutexLock lock(transaction->lock);
    objects = transaction->objects;
  }
  std::sort(objects.begin(), objects.end(),
            [](const TransactionObject* a, const TransactionObject* b) {
              return a->OrderingKey() < b->OrderingKey();
            });
  for (TransactionObject* o : objects) o->LockObject();
  MutexLock txLock(transaction->lock);
  MutexLock cache(cache_.Lock());
  auto unlockObjects = [&] {
    for (auto it = objects.rbegin(); it != objects.rend(); ++it) (*it)->UnlockObject();
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
    cache.Unlock();
    unlockObjects();
    txLock.Unlock();
    {
      MutexLock lock(journal_.Lock());
      journal_.SetPendingRecovery(r);
    }
    EngineResult ignored = Forget(transaction, false);
    (void)ignored;
    return r;
  }
  // Without a journal, older pages the commit already overwrote in place
  // cannot be given back: a roll-back would leave the file half changed and
  // the objects disagreeing with it. The commit is finished in memory
  // instead; the volume takes no further work and the close writes it.
  const bool kept = r != 0 && transaction->WroteInPlace() && KeepFailedCommit(transaction);
  if (r != 0 && !kept) {
    // Nothing of it is durable: undo, as far as the file allows (see Rollback).
    cache.Unlock();
    unlockObjects();
    txLock.Unlock();
    EngineResult rollback = Rollback(transaction, r);
    (void)rollback;
    return r;
  }

  for (PageBuffer *b = TakePages(transaction), *next = nullptr; b; b = next) {
    next = b->TxNext;
    b->Flags &=
        static_cast<std::uint16_t>(~(pbJoined | pbAllocated | pbFreed | pbChanged | pbDeleted));
    b->ShadowPage = 0;
    b->Transaction = nullptr;
    b->TxPrev = b->TxNext = nullptr;
    if (b->Has(pbHasData)) StoreU16(b->Data.get() + kCommitMark, 0);
    if (b->RefCount.load() == 0) {
      if (b->Has(pbHasData))
        cache_.ListLast(b);
      else
        cache_.Remove(b);
    }
  }
  // A kept commit's pages are written by the close, not by a trim now.
  EngineResult trimmed = kept ? r : Trim(kCacheLimit);
  cache.Unlock();

  // Objects leave the transaction. An object may destroy itself in
  // Committed (a deleted one), so it is unlocked first and not touched after.
  for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
    TransactionObject* o = *it;
    o->JoinedTransaction = nullptr;
    o->UnlockObject();
    o->Committed();
  }
  txLock.Unlock();

  DestroyTransaction(transaction);
  if (kept) {
    MutexLock lock(journal_.Lock());
    journal_.SetPendingRecovery(r, true);
    return r;
  }
  // What the automatic compaction meets does not undo this commit: its
  // failures stay its own (damage it finds is flagged in the volume).
  if (trimmed == 0) AutoCompactAfterCommit();
  return trimmed;
}

EngineResult Volume::RestoreCommitted(PageBuffer* b) {
  if (!b->Has(pbHasData)) {
    if (!cache_.AllocateImage(b, PageSize, false)) {
      // The commit cannot be had back: stop the volume as a failed commit does.
      MutexLock lock(journal_.Lock());
      journal_.SetPendingRecovery(errOutOfMemory);
      return errOutOfMemory;
    }
    cache_.MarkLoaded(b);
  }
  std::memcpy(b->Data.get(), b->Committed.get(), PageSize);
  b->PageType = PageTypeOf(b->Data.get());
  b->Flags |= pbDirty;
  if (b->RefCount.load() == 0 && !b->Has(pbInLru)) cache_.ListLast(b);
  return 0;
}

EngineResult Volume::KeepCommitted(PageBuffer* b) {
  MutexLock cache(cache_.Lock());
  if (!b->Committed) {
    b->Committed.reset(new (std::nothrow) std::uint8_t[PageSize]);
    if (!b->Committed) return errOutOfMemory;
  }
  std::memcpy(b->Committed.get(), b->Data.get(), PageSize);
  return 0;
}

bool Volume::KeepFailedCommit(Transaction* transaction) {
  for (PageBuffer* b = transaction->pages; b; b = b->TxNext)
    if (b->Has(pbChanged) && !b->Has(pbFreed) && !b->Has(pbHasData)) return false;
  EngineResult r = 0;
  for (PageBuffer* b = transaction->pages; b && r == 0; b = b->TxNext) {
    if (b->Has(pbFreed))
      r = SetMapEntry(b->PageNumber, 0, false);
    else if (b->Has(pbAllocated))
      r = SetMapEntry(b->PageNumber, b->PageType, false);
    if (b->Has(pbChanged) && !b->Has(pbFreed)) b->Flags |= pbDirty;
    // The image in memory is the newest; it goes home, the shadow is let go.
    if (r == 0 && b->ShadowPage != 0) r = SetMapEntry(b->ShadowPage, 0, false);
    if (r == 0) b->ShadowPage = 0;
  }
  for (std::uint32_t p : transaction->reserved)
    if (r == 0) r = SetMapEntry(p, 0, false);
  return r == 0;
}

EngineResult Volume::Rollback(Transaction* transaction, EngineResult cause) {
  if (transaction->WroteInPlace()) {
    // Older pages on the file already carry part of this transaction (written
    // in place without a journal), and the pages it allocated may be named by
    // them: wiping those and reloading the rest would leave the objects and
    // the file disagreeing, and the next use would read that as damage. As
    // with a registered commit that failed, the volume keeps the first
    // failure, takes no further work and closes without writing.
    {
      MutexLock lock(journal_.Lock());
      journal_.SetPendingRecovery(cause != 0 ? cause : errStorageCorrupted);
    }
    return Forget(transaction, false);
  }
  return Forget(transaction, true);
}

EngineResult Volume::Forget(Transaction* transaction, bool touchFile) {
  // Objects first, as in Commit.
  std::vector<TransactionObject*> objects;
  {
    MutexLock lock(transaction->lock);
    objects = transaction->objects;
  }
  for (TransactionObject* o : objects) o->LockObject();
  MutexLock txLock(transaction->lock);
  EngineResult first = 0;
  {
    MutexLock cache(cache_.Lock());
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
    for (PageBuffer *b = TakePages(transaction), *next = nullptr; b; b = next) {
      next = b->TxNext;
      b->Flags &= static_cast<std::uint16_t>(
          ~(pbJoined | pbAllocated | pbFreed | pbChanged | pbDeleted | pbDirty));
      b->ShadowPage = 0;
      b->Transaction = nullptr;
      b->TxPrev = b->TxNext = nullptr;
      if (b->Committed) {
        // Written behind: the file still lacks the last commit's image, so
        // the page goes back to that one and stays to be written.
        EngineResult restored = RestoreCommitted(b);
        if (first == 0) first = restored;
        continue;
      }
      // Unsaved images are dropped; a holder reloads the page from the file.
      cache_.DropImage(b);
      if (b->RefCount.load() == 0) cache_.Remove(b);
    }
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
  txLock.Unlock();
  DestroyTransaction(transaction);
  return first;
}

void Volume::EndReadOnly(Transaction* transaction) {
  {
    MutexLock lock(transaction->lock);
    MutexLock cache(cache_.Lock());
    for (std::uint32_t p : transaction->reserved) {
      EngineResult ignored = SetMapEntry(p, 0, false);
      (void)ignored;
    }
    for (PageBuffer *b = TakePages(transaction), *next = nullptr; b; b = next) {
      next = b->TxNext;
      b->Flags &= static_cast<std::uint16_t>(~pbJoined);
      b->Transaction = nullptr;
      b->TxPrev = b->TxNext = nullptr;
      if (b->RefCount.load() == 0) {
        if (b->Has(pbHasData))
          cache_.ListLast(b);
        else
          cache_.Remove(b);
      }
    }
    for (TransactionObject* o : transaction->objects) o->JoinedTransaction = nullptr;
  }
  DestroyTransaction(transaction);
}

EngineResult Volume::StartJournaling(bool& started) {
  started = false;
  if (UseTransactions) return 0;
  if (!Active) return errStorageNotActive;
  if (ReadOnly) return errStorageReadOnly;
  EngineResult r = EnsureScanned();
  if (r != 0) return r;
  {
    MutexLock io(IoLock);
    flagsBeforeJournaling_ = LoadU32(info_.data() + kVolumeFlags);
    StoreU16(info_.data() + kMountedFlag, 1);
  }
  UseTransactions = true;
  // As a writable open with transactions does it: from here on an open
  // after a crash looks for the table.
  r = WriteVolumeInfo();
  if (r == 0) r = journal_.Mount();
  if (r != 0) {
    EngineResult ignored = StopJournaling();
    (void)ignored;
    return r;
  }
  started = true;
  return 0;
}

EngineResult Volume::StopJournaling() {
  EngineResult r = journal_.Unmount();
  if (r == 0) {
    MutexLock cache(cache_.Lock());
    r = FlushMapPages();
  }
  // As at a close: the clean mark goes out only after what it vouches for.
  if (r == 0) r = FlushHost();
  if (r == 0) {
    {
      MutexLock io(IoLock);
      StoreU16(info_.data() + kMountedFlag, 0);
      // The table flag as it was; damage marked meanwhile stays marked.
      const std::uint32_t flags = LoadU32(info_.data() + kVolumeFlags);
      StoreU32(info_.data() + kVolumeFlags, (flags & ~vfTransactionTable) |
                                                (flagsBeforeJournaling_ & vfTransactionTable));
    }
    r = WriteVolumeInfo();
  }
  // No flush of its own: until the clean mark reaches the medium (with the
  // close's flush at the latest), an open after a crash looks for the table
  // and finds it wiped and freed, nothing to recover.
  UseTransactions = false;
  return r;
}

EngineResult Volume::Recover() {
  EngineResult r;
  if ((LoadU32(info_.data() + kVolumeFlags) & vfTransactionTable) != 0 &&
      LoadU32(info_.data() + kTransactionTablePage) != 0)
    r = journal_.RecoverFromTable();
  else
    r = journal_.RecoverFromFile();
  if (r != 0) return r;
  StoreU16(info_.data() + kMountedFlag, 0);
  r = WriteVolumeInfo();
  if (r == 0) r = FlushHost();
  return r;
}

}  // namespace vaultfs
