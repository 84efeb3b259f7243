// The page cache: reference-counted page buffers, the LRU list of unreferenced
// page images, write-back and trimming.
#include <cstring>
#include <new>

#include "vaultfs/format/page_layout.h"
#include "vaultfs/util/byte_order.h"
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

PageCache::PageCache() : list_(std::make_unique<PageBuffer>()) {
  MutexLock lock(mutex_);
  list_->LruNext = list_->LruPrev = list_.get();
}

PageCache::~PageCache() = default;

PageBuffer* PageCache::Find(std::uint32_t n) {
  auto it = buffers_.find(n);
  return it == buffers_.end() ? nullptr : it->second.get();
}

PageBuffer* PageCache::Insert(std::uint32_t n) {
  auto buffer = std::unique_ptr<PageBuffer>(new (std::nothrow) PageBuffer);
  if (!buffer) return nullptr;
  buffer->PageNumber = n;
  PageBuffer* raw = buffer.get();
  buffers_.emplace(n, std::move(buffer));
  return raw;
}

void PageCache::Remove(PageBuffer* b) {
  if (b->Has(pbInLru)) Unlist(b);
  DropImage(b);
  buffers_.erase(b->PageNumber);
}

void PageCache::Renumber(PageBuffer* b, std::uint32_t to) {
  auto node = buffers_.extract(b->PageNumber);
  node.key() = to;
  buffers_.insert(std::move(node));
  b->PageNumber = to;
}

std::vector<std::uint32_t> PageCache::PagesFrom(std::uint32_t first) {
  std::vector<std::uint32_t> pages;
  for (auto it = buffers_.lower_bound(first); it != buffers_.end(); ++it)
    pages.push_back(it->first);
  return pages;
}

std::vector<std::uint32_t> PageCache::DirtyPages() {
  std::vector<std::uint32_t> dirty;
  for (auto& [n, b] : buffers_)
    if (b->Has(pbDirty) && b->Has(pbHasData)) dirty.push_back(n);
  return dirty;
}

void PageCache::Clear() {
  list_->LruNext = list_->LruPrev = list_.get();
  buffers_.clear();
  loaded_.store(0);
}

bool PageCache::AllocateImage(PageBuffer* b, std::uint32_t pageSize, bool zeroed) {
  if (zeroed)
    b->Data.reset(new (std::nothrow) std::uint8_t[pageSize]());
  else if (!b->Data)
    b->Data.reset(new (std::nothrow) std::uint8_t[pageSize]);
  return b->Data != nullptr;
}

void PageCache::MarkLoaded(PageBuffer* b) {
  b->Flags |= pbHasData;
  loaded_.fetch_add(1);
}

void PageCache::DropImage(PageBuffer* b) {
  if (b->Has(pbHasData)) {
    b->Data.reset();
    b->Flags &= static_cast<std::uint16_t>(~pbHasData);
    loaded_.fetch_sub(1);
  }
}

void PageCache::Unlist(PageBuffer* b) {
  b->LruPrev->LruNext = b->LruNext;
  b->LruNext->LruPrev = b->LruPrev;
  b->LruPrev = b->LruNext = nullptr;
  b->Flags &= static_cast<std::uint16_t>(~pbInLru);
}

void PageCache::ListLast(PageBuffer* b) {
  if (b->Has(pbInLru)) Unlist(b);
  PageBuffer* sentinel = list_.get();
  b->LruPrev = sentinel->LruPrev;
  b->LruNext = sentinel;
  sentinel->LruPrev->LruNext = b;
  sentinel->LruPrev = b;
  b->Flags |= pbInLru;
}

void PageCache::ListFirst(PageBuffer* b) {
  if (b->Has(pbInLru)) Unlist(b);
  PageBuffer* sentinel = list_.get();
  b->LruNext = sentinel->LruNext;
  b->LruPrev = sentinel;
  sentinel->LruNext->LruPrev = b;
  sentinel->LruNext = b;
  b->Flags |= pbInLru;
}

PageBuffer* PageCache::Oldest() {
  return list_->LruNext == list_.get() ? nullptr : list_->LruNext;
}

bool PageCache::BeginTrim() {
  if (trimming_) return false;
  trimming_ = true;
  return true;
}

void Volume::ForgetBuffer(PageBuffer* b) {
  MutexLock cache(cache_.Lock());
  cache_.Remove(b);
}

bool Volume::IsCached(std::uint32_t n, bool loaded) {
  MutexLock cache(cache_.Lock());
  const PageBuffer* b = cache_.Find(n);
  return b != nullptr && (!loaded || b->Has(pbHasData));
}

std::size_t Volume::CachedBufferCount() {
  MutexLock cache(cache_.Lock());
  return cache_.BufferCount();
}

EngineResult Volume::LoadData(PageBuffer* b) {
  if (!cache_.AllocateImage(b, PageSize, false)) return errOutOfMemory;
  EngineResult r = ReadPage(b->ShadowPage ? b->ShadowPage : b->PageNumber, b->Data.get());
  if (r != 0) {
    b->Data.reset();
    return r;
  }
  b->PageType = PageTypeOf(b->Data.get());
  cache_.MarkLoaded(b);
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
    MutexLock cache(cache_.Lock());
    b = cache_.Find(n);
    if (!b) {
      b = cache_.Insert(n);
      if (!b) return errOutOfMemory;
      created = true;
    }
    if (b->Has(pbInLru)) cache_.Unlist(b);
    b->RefCount.fetch_add(1);
    if (!b->Has(pbHasData)) {
      if (load) {
        r = LoadData(b);
        loaded = r == 0;
      } else if (create) {
        if (cache_.AllocateImage(b, PageSize, true))
          cache_.MarkLoaded(b);
        else
          r = errOutOfMemory;
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
  MutexLock cache(cache_.Lock());
  if (r != 0) {
    if (created && b->RefCount.load() == 1 && !b->Has(pbChanged)) {
      if (b->Has(pbJoined)) LeavePage(b);
      b->RefCount.fetch_sub(1);
      cache_.Remove(b);
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
  MutexLock cache(cache_.Lock());
  std::uint32_t previous = buffer->RefCount.load();
  if (previous == 0) return 0;  // nothing held: a caller bug, never underflow
  buffer->RefCount.fetch_sub(1);
  if (previous != 1) return 0;
  if (buffer->Has(pbJoined) && !buffer->Has(pbChanged)) LeavePage(buffer);
  if (buffer->Has(pbHasData)) {
    cache_.ListLast(buffer);
    return Trim(kCacheLimit);
  }
  if (!buffer->Has(pbJoined)) cache_.Remove(buffer);
  return 0;
}

EngineResult Volume::MarkDirty(PageBuffer* buffer, Transaction* transaction) {
  if (ReadOnly) return errStorageReadOnly;
  if (transaction && buffer->Transaction != transaction) {
    EngineResult r = JoinPage(transaction, buffer);
    if (r != 0) return r;
  }
  MutexLock cache(cache_.Lock());
  buffer->Flags |= pbDirty | pbChanged;
  return 0;
}

EngineResult Volume::DeletePage(PageBuffer* buffer, Transaction* transaction) {
  EngineResult r = 0;
  if (ReadOnly) r = errStorageReadOnly;
  if (r == 0 && buffer->RefCount.load() > 1) r = errSharingViolation;
  if (r == 0 && transaction && buffer->Transaction != transaction)
    r = JoinPage(transaction, buffer);
  MutexLock cache(cache_.Lock());
  if (r != 0) {
    EngineResult ignored = ReleasePage(buffer);
    (void)ignored;
    return r;
  }
  if (!transaction) {
    // Freed outside a transaction: the map entry changes at once.
    const std::uint32_t n = buffer->PageNumber;
    buffer->RefCount.store(0);
    cache_.Remove(buffer);
    return FreePage(n);
  }
  buffer->Flags |= pbDeleted | pbFreed | pbChanged;
  buffer->Flags &= static_cast<std::uint16_t>(~pbDirty);
  buffer->PageType = 0;
  cache_.DropImage(buffer);
  buffer->RefCount.fetch_sub(1);
  return 0;
}

EngineResult Volume::WriteBack(PageBuffer* b) {
  MutexLock cache(cache_.Lock());
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
      // A roll-back can zero a page the transaction allocated, but not give
      // an older page its former image again.
      if (r == 0 && t && !b->Has(pbAllocated)) t->Flags |= txWroteInPlace;
      if (r == 0 && b->ShadowPage != 0) {
        // The home copy is now the newest; the shadow must never be read again.
        const std::uint32_t shadow = b->ShadowPage;
        b->ShadowPage = 0;
        r = SetMapEntry(shadow, 0, false);
      }
    }
  }
  if (r == 0) {
    b->Flags &= static_cast<std::uint16_t>(~pbDirty);
    // The file holds the committed image now, unless a running transaction
    // changed the page since: a roll-back of that one still needs it.
    if (!b->Has(pbChanged)) b->Committed.reset();
  }
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
  MutexLock cache(cache_.Lock());
  if (!cache_.BeginTrim()) return 0;
  EngineResult r = 0;
  while (cache_.LoadedCount() > limit && cache_.Oldest()) {
    PageBuffer* b = cache_.Oldest();
    cache_.Unlist(b);
    if (b->Has(pbDirty)) {
      r = WriteBack(b);
      if (r != 0) {
        cache_.ListFirst(b);
        break;
      }
    }
    if (b->RefCount.load() != 0) continue;  // taken again during the write-back
    cache_.DropImage(b);
    if (!b->Has(pbJoined)) cache_.Remove(b);
  }
  cache_.EndTrim();
  return r;
}

EngineResult Volume::FlushCache() {
  return Trim(0);
}

EngineResult Volume::Flush() {
  EngineResult r = FlushCache();
  if (!WritesBehind()) return r;
  const EngineResult maps = FlushMapPages();
  if (r == 0) r = maps;
  const EngineResult info = WriteVolumeInfo();
  return r != 0 ? r : info;
}

EngineResult Volume::SetWriteBehind(bool on) {
  if (on == WriteBehind) return 0;
  EngineResult r = 0;
  if (!on && Active && !ReadOnly) {
    // What waits goes out before the commits write again.
    r = WriteAllDirty();
    const EngineResult flushed = Flush();
    if (r == 0) r = flushed;
  }
  WriteBehind = on && !ReadOnly;
  return r;
}

EngineResult Volume::WriteAllDirty() {
  MutexLock cache(cache_.Lock());
  // Write-backs may allocate shadow pages and trim the cache, so walk a copy
  // of the page numbers rather than the live list.
  EngineResult first = 0;
  for (std::uint32_t n : cache_.DirtyPages()) {
    if (IsMapPage(n)) continue;
    PageBuffer* b = cache_.Find(n);
    if (!b) continue;
    EngineResult r = WriteBack(b);
    if (first == 0) first = r;
  }
  return first;
}

void Volume::DropAllBuffers() {
  MutexLock cache(cache_.Lock());
  space_.DropDirtyPages();
  cache_.Clear();
}

}  // namespace vaultfs
