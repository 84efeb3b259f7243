// What lets an interrupted commit be finished: the transactions running, the
// transaction table (pages listing each registered commit's journal) and,
// for volumes without a table, the journal file beside the container; and
// the recovery that replays them at the next writable open.
//
// Locks: the list of running transactions and a pending recovery are kept
// under the journal's own lock, the volume's transaction lock, which ranks
// first of all the volume's locks. The table's pages are cache pages and a
// commit registers itself with the cache lock held, so the table's page
// list is kept under the cache's lock.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vaultfs/format/page_layout.h"
#include "vaultfs/host_file.h"
#include "vaultfs/result_codes.h"
#include "vaultfs/util/mutex.h"

namespace vaultfs {

class Transaction;
class Volume;

// Page numbers a journal page lists, and commits a table page registers.
inline std::uint32_t EntriesPerJournalPage(std::uint32_t pageSize) {
  return (pageSize - layout::kJournalFirstEntry) / 4;
}
inline std::uint32_t SlotsPerTablePage(std::uint32_t pageSize) {
  return (pageSize - layout::kTableFirstSlot) / layout::kTableSlotSize;
}

class Journal {
 public:
  // `cacheLock` is the volume's cache lock (PageCache::Lock()).
  Journal(Volume& volume, RecursiveMutex& cacheLock) : v_(volume), cacheLock_(cacheLock) {}
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // The transaction lock.
  RecursiveMutex& Lock() RETURN_CAPABILITY(mutex_) { return mutex_; }

  // ---- running transactions ----
  void Add(Transaction* transaction) REQUIRES(mutex_) { running_.push_back(transaction); }
  void Remove(Transaction* transaction) REQUIRES(mutex_);
  const std::vector<Transaction*>& Running() const REQUIRES(mutex_) { return running_; }
  // A copy of the list, taken under the lock.
  std::vector<Transaction*> RunningNow();
  std::size_t RunningCount();

  // ---- a commit that failed after its registration ----
  // While set, no transaction begins and the volume closes without writing;
  // the next writable open completes the commit. A roll-back that cannot
  // undo what already reached the file sets it too (see Volume::Rollback),
  // and so does a commit without a journal that failed after overwriting
  // pages in place: that one is kept in memory and `writeAtClose` has the
  // close write it in place, as the next open has nothing to recover from.
  EngineResult PendingRecovery() const REQUIRES(mutex_) { return pendingRecovery_; }
  // Keeps the first failure; the close writes only when every failure
  // since asked for it.
  void SetPendingRecovery(EngineResult r, bool writeAtClose = false) REQUIRES(mutex_) {
    writeAtClose_ = (pendingRecovery_ == 0 || writeAtClose_) && writeAtClose;
    if (pendingRecovery_ == 0) pendingRecovery_ = r;
  }
  EngineResult TakePendingRecovery() REQUIRES(mutex_);
  bool TakeWriteAtClose() REQUIRES(mutex_) { return std::exchange(writeAtClose_, false); }

  // ---- the transaction table ----
  void ForgetTable();
  bool InTable(std::uint32_t page);
  // Writes a new table (one empty page) and names it in the volume
  // information image.
  [[nodiscard]] EngineResult Mount();
  // Wipes and frees the table's pages; errActiveTransactions while a
  // transaction runs.
  [[nodiscard]] EngineResult Unmount();
  // Writes (id, first journal page) into a free slot, chaining a new table
  // page when every slot is taken, and flushes: the commit is registered.
  [[nodiscard]] EngineResult Register(std::uint32_t id, std::uint32_t firstJournal,
                                      std::uint32_t& tablePage, std::uint32_t& slot);
  [[nodiscard]] EngineResult ClearSlot(std::uint32_t tablePage, std::uint32_t slot,
                                       std::uint32_t id);
  // Compaction copied table page `from` to `to`: the page that names it
  // (the previous table page, or the volume information for the first)
  // names `to` instead, flushed, and the list follows. errStorageCorrupted
  // when `from` is not a table page.
  [[nodiscard]] EngineResult RenameTablePage(std::uint32_t from, std::uint32_t to);

  // ---- recovery ----
  // Replays every commit the table registers.
  [[nodiscard]] EngineResult RecoverFromTable();
  // Replays the committed transactions of the journal file (or of the
  // journal area at the end of a fixed-size volume).
  [[nodiscard]] EngineResult RecoverFromFile();

  // ---- the journal file ----
  // The journal file's name: the container's with ".log" for its extension.
  void SetFileName(const std::u16string& containerPath);
  // Slot `slot` of the journal file as it is stored (the volume's page I/O
  // converts and deciphers it); under the volume's I/O lock.
  [[nodiscard]] EngineResult ReadRaw(std::uint32_t slot, std::uint8_t* buffer);
  // Closes the journal file if it is open.
  [[nodiscard]] EngineResult CloseFile();

 private:
  Volume& v_;
  RecursiveMutex& cacheLock_;
  RecursiveMutex mutex_;
  std::vector<Transaction*> running_ GUARDED_BY(mutex_);
  EngineResult pendingRecovery_ GUARDED_BY(mutex_) = 0;
  bool writeAtClose_ GUARDED_BY(mutex_) = false;
  // Table pages while mounted, first first.
  std::vector<std::uint32_t> tablePages_ GUARDED_BY(cacheLock_);
  // The journal file (under the volume's I/O lock).
  std::u16string fileName_;
  HostHandle file_ = 0;
  bool fileOpen_ = false;
};

}  // namespace vaultfs
