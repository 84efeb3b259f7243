// The page cache's bookkeeping: every PageBuffer the volume holds, by page
// number, and the list of loaded buffers nobody references, oldest first,
// from which trimming drops page images. What a buffer means (loading,
// write-back, transactions) is the volume's; this class keeps the lists
// consistent under its lock, which is the volume's cache lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "vaultfs/util/mutex.h"

namespace vaultfs {

struct PageBuffer;

class PageCache {
 public:
  PageCache();
  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  // The cache lock. The space map's summary is kept under it too (see
  // SpaceMap), and so is the transaction table's page list while a page
  // joins or leaves a transaction.
  RecursiveMutex& Lock() RETURN_CAPABILITY(mutex_) { return mutex_; }

  PageBuffer* Find(std::uint32_t n) REQUIRES(mutex_);
  // A new, empty buffer for page n (none may exist); null when out of memory.
  PageBuffer* Insert(std::uint32_t n) REQUIRES(mutex_);
  // Forgets the buffer: off the unreferenced list, image dropped, deleted.
  void Remove(PageBuffer* b) REQUIRES(mutex_);
  // The buffer now stands for page `to` (compaction moves pages under their
  // holders); no buffer for `to` may exist.
  void Renumber(PageBuffer* b, std::uint32_t to) REQUIRES(mutex_);
  std::size_t BufferCount() REQUIRES(mutex_) { return buffers_.size(); }
  // Page numbers of the buffers from `first` on (for compaction).
  std::vector<std::uint32_t> PagesFrom(std::uint32_t first) REQUIRES(mutex_);
  // Page numbers of the loaded, dirty buffers (for writing them all out).
  std::vector<std::uint32_t> DirtyPages() REQUIRES(mutex_);
  void Clear() REQUIRES(mutex_);

  // Page images: allocation and the count of loaded ones.
  [[nodiscard]] bool AllocateImage(PageBuffer* b, std::uint32_t pageSize, bool zeroed)
      REQUIRES(mutex_);
  void MarkLoaded(PageBuffer* b) REQUIRES(mutex_);
  void DropImage(PageBuffer* b) REQUIRES(mutex_);
  std::uint32_t LoadedCount() const { return loaded_.load(); }

  // The list of unreferenced loaded buffers.
  void Unlist(PageBuffer* b) REQUIRES(mutex_);
  void ListLast(PageBuffer* b) REQUIRES(mutex_);
  void ListFirst(PageBuffer* b) REQUIRES(mutex_);
  PageBuffer* Oldest() REQUIRES(mutex_);

  // One trim at a time: a write-back during a trim may release pages, whose
  // release would trim again.
  bool BeginTrim() REQUIRES(mutex_);
  void EndTrim() REQUIRES(mutex_) { trimming_ = false; }

 private:
  RecursiveMutex mutex_;
  std::map<std::uint32_t, std::unique_ptr<PageBuffer>> buffers_ GUARDED_BY(mutex_);
  std::unique_ptr<PageBuffer> list_ GUARDED_BY(mutex_);  // sentinel of the list
  std::atomic<std::uint32_t> loaded_{0};
  bool trimming_ GUARDED_BY(mutex_) = false;
};

}  // namespace vaultfs
