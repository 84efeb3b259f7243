// The page cache: reference-counted page buffers, the LRU list of unreferenced
// page images, write-back and trimming.
#include <cstring>
#include <new>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/volume/transaction.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

using namespace layout;

PageRef& PageRef::operator=(PageRef&& other) noexcept {
  if (this != &other) {
    if (buffer_) {
      EngineResult ignored = 0;
      Release(ignored);
    }
    volume_ = other.volume_;
    buffer_ = other.buffer_;
    other.buffer_ = nullptr;
  }
  return *this;
}

PageRef::~PageRef() {
  if (buffer_) {
    EngineResult ignored = 0;
    Release(ignored);
  }
}

void PageRef::Release(EngineResult& result) {
  if (!buffer_) return;
  EngineResult r = volume_->ReleasePage(buffer_);
  buffer_ = nullptr;
  if (result == 0) result = r;
}

PageBuffer* Volume::FindBuffer(std::uint32_t n) {
  auto it = buffers_.find(n);
  return it == buffers_.end() ? nullptr : it->second.get();
}

std::size_t Volume::CachedBufferCount() {
  std::scoped_lock cache(CacheLock);
  return buffers_.size();
}

PageBuffer* Volume::InsertBuffer(std::uint32_t n) {
  auto buffer = std::unique_ptr<PageBuffer>(new (std::nothrow) PageBuffer);
  if (!buffer) return nullptr;
  buffer->PageNumber = n;
  PageBuffer* raw = buffer.get();
  buffers_.emplace(n, std::move(buffer));
  return raw;
}

void Volume::RemoveBuffer(PageBuffer* b) {
  if (b->Has(pbInLru)) LruRemove(b);
  DropData(b);
  buffers_.erase(b->PageNumber);
}

void Volume::LruRemove(PageBuffer* b) {
  b->LruPrev->LruNext = b->LruNext;
  b->LruNext->LruPrev = b->LruPrev;
  b->LruPrev = b->LruNext = nullptr;
  b->Flags &= static_cast<std::uint16_t>(~pbInLru);
}

void Volume::LruAppend(PageBuffer* b) {
  if (b->Has(pbInLru)) LruRemove(b);
  b->LruPrev = lru_.LruPrev;
  b->LruNext = &lru_;
  lru_.LruPrev->LruNext = b;
  lru_.LruPrev = b;
  b->Flags |= pbInLru;
}

void Volume::LruPushFront(PageBuffer* b) {
  if (b->Has(pbInLru)) LruRemove(b);
  b->LruNext = lru_.LruNext;
  b->LruPrev = &lru_;
  lru_.LruNext->LruPrev = b;
  lru_.LruNext = b;
  b->Flags |= pbInLru;
}

void Volume::DropData(PageBuffer* b) {
  if (b->Has(pbHasData)) {
    b->Data.reset();
    b->Flags &= static_cast<std::uint16_t>(~pbHasData);
    LoadedCount.fetch_sub(1);
  }
}

EngineResult Volume::LoadData(PageBuffer* b) {
  if (!b->Data) {
    b->Data.reset(new (std::nothrow) std::uint8_t[PageSize]);
    if (!b->Data) return errOutOfMemory;
  }
  EngineResult r = ReadPage(b->ShadowPage ? b->ShadowPage : b->PageNumber, b->Data.get());
  if (r != 0) {
    b->Data.reset();
    return r;
  }
  b->PageType = PageTypeOf(b->Data.get());
  b->Flags |= pbHasData;
  LoadedCount.fetch_add(1);
  return 0;
}

EngineResult Volume::GetPage(std::uint32_t n, bool load, int expectedType,
                             std::uint32_t expectedOwner, Transaction* transaction, PageRef& page,
                             bool create) {
  if (!Active) return errStorageNotActive;
  PageBuffer* b = nullptr;
  bool created = false;
  bool loaded = false;
  EngineResult r = 0;
  {
    std::scoped_lock cache(CacheLock);
    b = FindBuffer(n);
    if (!b) {
      b = InsertBuffer(n);
      if (!b) return errOutOfMemory;
      created = true;
    }
    if (b->Has(pbInLru)) LruRemove(b);
    b->RefCount.fetch_add(1);
    if (!b->Has(pbHasData)) {
      if (load) {
        r = LoadData(b);
        loaded = r == 0;
      } else if (create) {
        b->Data.reset(new (std::nothrow) std::uint8_t[PageSize]());
        if (!b->Data) {
          r = errOutOfMemory;
        } else {
          b->Flags |= pbHasData;
          LoadedCount.fetch_add(1);
        }
      }
    }
  }
  // Joining takes the transaction's own lock, which ranks above the cache lock.
  if (r == 0 && transaction) r = JoinPage(transaction, b);
  if (r == 0 && expectedType != -1 && b->Has(pbHasData)) {
    const std::uint8_t* d = b->Data.get();
    const std::uint16_t type = PageTypeOf(d);
    bool ok;
    if (expectedType == static_cast<int>(PageShift))
      ok = type == PageShift || type == 0;
    else
      ok = type == expectedType && OwnerIdOf(d) == expectedOwner;
    if (!ok) {
      MarkCorrupted();
      r = errStorageCorrupted;
    }
  }
  std::scoped_lock cache(CacheLock);
  if (r != 0) {
    if (created && b->RefCount.load() == 1 && !b->Has(pbChanged)) {
      if (b->Has(pbJoined)) LeavePage(b);
      b->RefCount.fetch_sub(1);
      RemoveBuffer(b);
    } else {
      EngineResult ignored = ReleasePage(b);
      (void)ignored;
    }
    return r;
  }
  if (loaded) {
    // A failed write-back of another page stays in the cache and is retried
    // by the next trim or flush; it does not fail this read.
    EngineResult ignored = Trim(kCacheLimit);
    (void)ignored;
  }
  page = PageRef(this, b);
  return 0;
}

EngineResult Volume::ReleasePage(PageBuffer* buffer) {
  std::scoped_lock cache(CacheLock);
  std::uint32_t previous = buffer->RefCount.load();
  if (previous == 0) return 0;  // nothing held: a caller bug, never underflow
  buffer->RefCount.fetch_sub(1);
  if (previous != 1) return 0;
  if (buffer->Has(pbJoined) && !buffer->Has(pbChanged)) LeavePage(buffer);
  if (buffer->Has(pbHasData)) {
    LruAppend(buffer);
    return Trim(kCacheLimit);
  }
  if (!buffer->Has(pbJoined)) RemoveBuffer(buffer);
  return 0;
}

EngineResult Volume::MarkDirty(PageBuffer* buffer, Transaction* transaction) {
  if (ReadOnly) return errStorageReadOnly;
  if (transaction && buffer->Transaction != transaction) {
    EngineResult r = JoinPage(transaction, buffer);
    if (r != 0) return r;
  }
  std::scoped_lock cache(CacheLock);
  buffer->Flags |= pbDirty | pbChanged;
  return 0;
}

EngineResult Volume::DeletePage(PageBuffer* buffer, Transaction* transaction) {
  EngineResult r = 0;
  if (ReadOnly) r = errStorageReadOnly;
  if (r == 0 && buffer->RefCount.load() > 1) r = errSharingViolation;
  if (r == 0 && transaction && buffer->Transaction != transaction)
    r = JoinPage(transaction, buffer);
  std::scoped_lock cache(CacheLock);
  if (r != 0) {
    EngineResult ignored = ReleasePage(buffer);
    (void)ignored;
    return r;
  }
  if (!transaction) {
    // Freed outside a transaction: the map entry changes at once.
    const std::uint32_t n = buffer->PageNumber;
    buffer->RefCount.store(0);
    RemoveBuffer(buffer);
    return FreePage(n);
  }
  buffer->Flags |= pbDeleted | pbFreed | pbChanged;
  buffer->Flags &= static_cast<std::uint16_t>(~pbDirty);
  buffer->PageType = 0;
  DropData(buffer);
  buffer->RefCount.fetch_sub(1);
  return 0;
}

EngineResult Volume::WriteBack(PageBuffer* b) {
  std::scoped_lock cache(CacheLock);
  if (!b->Has(pbDirty) || !b->Has(pbHasData)) return 0;
  std::uint8_t* d = b->Data.get();
  EngineResult r;
  if (IsMapPage(b->PageNumber)) {
    r = WritePage(b->PageNumber, d);
  } else {
    Transaction* t = b->Transaction;
    const bool inPlace = !UseTransactions || !t || b->Has(pbAllocated) || t->NoJournalSpace();
    r = inPlace ? errStorageFull : ShadowWrite(b);
    if (r == errStorageFull) {
      if (!inPlace) t->Flags |= txNoJournalSpace;
      if (UseTransactions) StoreU16(d + kCommitMark, PageTypeOf(d));
      r = WritePage(b->PageNumber, d);
      if (r == 0 && b->ShadowPage != 0) {
        // The home copy is now the newest; the shadow must never be read again.
        const std::uint32_t shadow = b->ShadowPage;
        b->ShadowPage = 0;
        r = SetMapEntry(shadow, 0, false);
      }
    }
  }
  if (r == 0) b->Flags &= static_cast<std::uint16_t>(~pbDirty);
  return r;
}

EngineResult Volume::ShadowWrite(PageBuffer* b) {
  std::uint8_t* d = b->Data.get();
  StoreU16(d + kCommitMark, PageTypeOf(d));
  if (b->ShadowPage != 0) return WritePage(b->ShadowPage, d);
  std::uint32_t shadow = 0;
  EngineResult r = AllocatePage(PageTypeOf(d), d, true, shadow);
  if (r == 0) b->ShadowPage = shadow;
  return r;
}

EngineResult Volume::Trim(std::uint32_t limit) {
  std::scoped_lock cache(CacheLock);
  if (trimming_) return 0;
  trimming_ = true;
  EngineResult r = 0;
  while (LoadedCount.load() > limit && lru_.LruNext != &lru_) {
    PageBuffer* b = lru_.LruNext;
    LruRemove(b);
    if (b->Has(pbDirty)) {
      r = WriteBack(b);
      if (r != 0) {
        LruPushFront(b);
        break;
      }
    }
    if (b->RefCount.load() != 0) continue;  // taken again during the write-back
    DropData(b);
    if (!b->Has(pbJoined)) RemoveBuffer(b);
  }
  trimming_ = false;
  return r;
}

EngineResult Volume::FlushCache() {
  return Trim(0);
}

EngineResult Volume::WriteAllDirty() {
  std::scoped_lock cache(CacheLock);
  // Write-backs may allocate shadow pages and trim the cache, so walk a copy
  // of the page numbers rather than the live list.
  std::vector<std::uint32_t> dirty;
  for (auto& [n, b] : buffers_)
    if (!IsMapPage(n) && b->Has(pbDirty) && b->Has(pbHasData)) dirty.push_back(n);
  EngineResult first = 0;
  for (std::uint32_t n : dirty) {
    PageBuffer* b = FindBuffer(n);
    if (!b) continue;
    EngineResult r = WriteBack(b);
    if (first == 0) first = r;
  }
  return first;
}

void Volume::DropAllBuffers() {
  std::scoped_lock cache(CacheLock);
  dirtyMaps_.clear();
  lru_.LruNext = lru_.LruPrev = &lru_;
  buffers_.clear();
  LoadedCount.store(0);
}

}  // namespace vaultfs
