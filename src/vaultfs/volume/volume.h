// The state of one open container and the operations of the volume core:
// create, open, probe and close; page I/O with byte-order conversion and the
// page-cipher hook; the page cache; the space map; the transaction table.
//
// The volume owns the page cache (PageCache), the space map (SpaceMap) and
// the journal (Journal); their state is private to them.
//
// Lock order: the transaction lock (Journal::Lock()), objects (parents
// before children, shallower first, then by id), a transaction's own lock,
// the cache lock (PageCache::Lock(), which also guards the space map's
// summary and the transaction table's page list), IoLock. Objects rank
// above a transaction's own lock because joins happen under an object's
// lock. All locks are recursive; the contracts the compiler can check are
// written with the annotations of util/thread_annotations.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vaultfs/host_file.h"
#include "vaultfs/result_codes.h"
#include "vaultfs/storage_time.h"
#include "vaultfs/util/byte_order.h"
#include "vaultfs/util/mutex.h"
#include "vaultfs/volume/journal.h"
#include "vaultfs/volume/page_cache.h"
#include "vaultfs/volume/space_map.h"

namespace vaultfs {

class Transaction;
class Volume;

inline constexpr std::uint32_t kUnknownPageCount = 0xFFFFFFFFu;
inline constexpr std::uint32_t kCacheLimit = 256;
inline constexpr std::uint32_t kTransactionReserve = 5;

// PageBuffer flags.
inline constexpr std::uint16_t pbHasData = 0x01;
inline constexpr std::uint16_t pbDirty = 0x02;
inline constexpr std::uint16_t pbDeleted = 0x04;
inline constexpr std::uint16_t pbJoined = 0x08;
inline constexpr std::uint16_t pbAllocated = 0x10;
inline constexpr std::uint16_t pbFreed = 0x20;
inline constexpr std::uint16_t pbChanged = 0x40;
inline constexpr std::uint16_t pbInLru = 0x80;

// One page the engine holds in memory, whether or not its bytes are loaded.
struct PageBuffer {
  std::unique_ptr<std::uint8_t[]> Data;  // host byte order, plain text
  // With write-behind: the image the last commit left, while that commit is
  // in memory only. A roll-back returns the page to it (the file does not
  // hold it yet); the write-back that brings it home lets it go.
  std::unique_ptr<std::uint8_t[]> Committed;
  std::uint32_t PageNumber = 0;
  std::uint32_t ShadowPage = 0;
  vaultfs::Transaction* Transaction = nullptr;
  PageBuffer* LruPrev = nullptr;
  PageBuffer* LruNext = nullptr;
  PageBuffer* TxPrev = nullptr;
  PageBuffer* TxNext = nullptr;
  std::atomic<std::uint32_t> RefCount{0};
  std::uint16_t Flags = 0;
  std::uint16_t PageType = 0;

  bool Has(std::uint16_t flag) const { return (Flags & flag) != 0; }
};

// The cipher applied to page payloads on their way to and from the host file.
// The volume holds one for reading and one for writing; none means plain text.
class PageCipherHook {
 public:
  virtual ~PageCipherHook() = default;
  [[nodiscard]] virtual EngineResult Encipher(std::uint8_t* data, std::uint32_t size,
                                              std::uint32_t a, std::uint32_t b) = 0;
  [[nodiscard]] virtual EngineResult Decipher(std::uint8_t* data, std::uint32_t size,
                                              std::uint32_t a, std::uint32_t b) = 0;
};

// Whether a page of this type and owner has its payload enciphered under the
// storage key. Structural pages and the root's record pages stay plain so that
// a volume can be opened and its storage record read without the key.
bool IsEncipheredPage(std::uint16_t pageType, std::uint32_t ownerId, std::uint32_t pageShift);

// An object of the object layer as a member of a transaction.
class TransactionObject {
 public:
  virtual ~TransactionObject() = default;
  // Commits lock their objects in ascending key order so two commits cannot deadlock.
  virtual std::uint64_t OrderingKey() const = 0;
  virtual void LockObject() = 0;
  virtual void UnlockObject() = 0;
  // Called when the object joins: keep what a roll-back must restore.
  virtual void SaveState() = 0;
  // The transaction committed; the object leaves it (and is unlocked by the caller).
  virtual void Committed() = 0;
  // The transaction rolled back: restore the saved state, or detach a created object.
  virtual void RolledBack() = 0;

  vaultfs::Transaction* JoinedTransaction = nullptr;
};

// What the volume needs from the object layer at open, create and close.
class ObjectLayerHooks {
 public:
  virtual ~ObjectLayerHooks() = default;
  [[nodiscard]] virtual EngineResult AttachRoot(Volume& volume) = 0;
  [[nodiscard]] virtual EngineResult CloseAllHandles(Volume& volume) = 0;
  virtual void ReleaseRoot(Volume& volume) = 0;
  // Decide whether the storage starts locked (it has a storage encryption record).
  [[nodiscard]] virtual EngineResult DetectStorageLock(Volume& volume, bool& locked) = 0;

  // Compaction moves pages that loaded objects know by number. Before it
  // starts, with the transaction lock and the cache lock held, every object
  // in use is locked without waiting (an idle one can only be taken up by an
  // operation that begins a transaction, which waits). This fails, holding
  // nothing, when an object is locked elsewhere or when a running
  // transaction is anything but an open file's private transaction that
  // holds no page yet; such a transaction stays parked while the compaction
  // runs, since its object is locked.
  [[nodiscard]] virtual bool LockForCompaction(const std::vector<Transaction*>& running) {
    return running.empty();
  }
  virtual void UnlockAfterCompaction() {}
  // Page `from` now lives at `to`: every page number the objects keep in
  // memory (header page, entry page list, data and index page lists, the
  // page lists of cached blocks) follows. Called with the objects locked as
  // above, also to undo a move whose transaction rolled back.
  virtual void PageMoved(std::uint16_t pageType, std::uint32_t ownerId, std::uint32_t chainIndex,
                         std::uint32_t from, std::uint32_t to) {
    (void)pageType, (void)ownerId, (void)chainIndex, (void)from, (void)to;
  }
};

struct ProbeResult {
  bool Corrupted = false;
  std::uint32_t VolumeId = 0;
  std::uint32_t PageSize = 0;
  std::u16string Logo;
};

struct StorageSize {
  bool FixedSize = false;
  std::uint64_t Size = 0;
  std::uint64_t FreeBytes = 0;
};

struct ProgressSink;

// Progress operation code of compaction (resizing reports as formatting does).
inline constexpr std::uint8_t kProgressCompacting = 14;

// Asked before each automatic compaction with the free pages and the pages in
// use; false skips it. It runs at the end of a commit, on the committing
// thread and with that caller's objects locked, so it must not call the engine.
using AutoCompactConfirm = bool (*)(void* userData, std::uint32_t freePages,
                                    std::uint32_t totalPages);

// The first pages of a new volume (host byte order, `pageSize` bytes each),
// built alike by Create and by FormatVolume: page 0, the first space map
// page; page 1, the volume information page (a new random VolumeId, the
// default logo for an empty one); page 2, the root directory's header page.
void BuildFirstMapPage(std::uint8_t* page, std::uint32_t pageSize, std::uint32_t pageShift);
void BuildVolumeInfoPage(std::uint8_t* page, std::uint32_t pageSize, std::u16string_view logo,
                         bool mounted);
void BuildRootHeaderPage(std::uint8_t* page, std::uint32_t pageSize, StorageTime now);

// A counted reference to a cached page that releases itself.
class PageRef {
 public:
  PageRef() = default;
  PageRef(Volume* volume, PageBuffer* buffer) : volume_(volume), buffer_(buffer) {}
  PageRef(const PageRef&) = delete;
  PageRef& operator=(const PageRef&) = delete;
  PageRef(PageRef&& other) noexcept { *this = std::move(other); }
  PageRef& operator=(PageRef&& other) noexcept;
  ~PageRef();

  PageBuffer* get() const { return buffer_; }
  PageBuffer* operator->() const { return buffer_; }
  explicit operator bool() const { return buffer_ != nullptr; }
  std::uint8_t* data() const { return buffer_->Data.get(); }
  // Give up the reference, keeping the first error in `result`.
  void Release(EngineResult& result);
  // Hand the reference to the caller (for DeletePage, which consumes it).
  PageBuffer* Detach() {
    PageBuffer* b = buffer_;
    buffer_ = nullptr;
    return b;
  }

 private:
  Volume* volume_ = nullptr;
  PageBuffer* buffer_ = nullptr;
};

class Volume {
 public:
  Volume();
  ~Volume();
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // ---- settings (refused while active) ----
  [[nodiscard]] EngineResult SetHostFileCallbacks(const HostFileCallbacks& callbacks);
  [[nodiscard]] EngineResult UseSystemFiles();
  [[nodiscard]] EngineResult SetPathSeparator(char16_t separator);
  [[nodiscard]] EngineResult SetUseTransactions(bool on);
  [[nodiscard]] EngineResult SetUseAccessTime(bool on);

  // ---- life cycle ----
  [[nodiscard]] EngineResult Create(const std::u16string& path, bool overwrite,
                                    std::uint32_t pageSize, std::u16string_view logo);
  [[nodiscard]] EngineResult Open(const std::u16string& path, bool readOnlyWanted);
  // Reads the identity of a container without opening it; needs an inactive volume.
  [[nodiscard]] EngineResult Probe(const std::u16string& path, ProbeResult& result);
  [[nodiscard]] EngineResult Close();
  // Closes the host file of an open volume and opens `path` in its place (the
  // container was moved or renamed); the journal name follows the new path.
  // The access asked for is the volume's current one and the read-only state
  // follows what the reopened file allows. When the open fails the volume
  // stays without a host file, and page I/O fails until a reopen succeeds.
  [[nodiscard]] EngineResult ReopenHost(const std::u16string& path);

  // ---- volume information ----
  [[nodiscard]] EngineResult GetLogo(std::u16string& logo) const;
  [[nodiscard]] EngineResult SetLogo(std::u16string_view logo);
  [[nodiscard]] EngineResult GetMaxPageCount(std::uint32_t& count) const;
  // The growth limit; on a fixed-size volume it is the volume's extent in
  // its host file (Open takes HostPageCount from it) and cannot grow past it.
  // Values below UsedPageCount, or above the extent, are errInvalidParameter.
  [[nodiscard]] EngineResult SetMaxPageCount(std::uint32_t count);
  [[nodiscard]] EngineResult GetVolumeId(std::uint32_t& id) const;
  [[nodiscard]] EngineResult GetCorrupted(bool& corrupted) const;
  // True when the host file no longer holds this volume (another program replaced it).
  [[nodiscard]] EngineResult CheckSameVolume(bool& changed);
  void MarkCorrupted();
  [[nodiscard]] EngineResult WriteVolumeInfo();
  std::uint32_t VolumeFlags() const;
  bool MountedFlag() const;
  std::uint32_t LastObjectId() const;
  std::uint32_t LastTransactionId() const;
  std::uint32_t TransactionTableFirstPage() const;
  // The volume information page image (host order); changes go out with WriteVolumeInfo.
  std::uint8_t* VolumeInfo() { return info_.data(); }

  // ---- page I/O ----
  [[nodiscard]] EngineResult ReadPage(std::uint32_t n, std::uint8_t* buffer);
  [[nodiscard]] EngineResult WritePage(std::uint32_t n, const std::uint8_t* buffer);
  [[nodiscard]] EngineResult ReadJournalPage(std::uint32_t slot, std::uint8_t* buffer);
  // Gives every enciphered page in use from `first` on a new image under
  // `write` (read under `read`; both become the volume's keys now) inside
  // `transaction`, never in place: each new image goes to a shadow page,
  // so the change stands or falls with the transaction's commit. Needs
  // UseTransactions (see StartJournaling). errStorageFull, with nothing
  // written in place, when there is no room for the shadows or the
  // journal; errStorageCorrupted for a page in use that names another
  // page. (operation, page, UsedPageCount as it was) goes to `progress`
  // when given, after each page and once more at the end with the page
  // count for both; it cannot stop the rewrite.
  [[nodiscard]] EngineResult RecipherPages(Transaction* transaction,
                                           std::shared_ptr<PageCipherHook> read,
                                           std::shared_ptr<PageCipherHook> write,
                                           std::uint32_t first, const ProgressSink* progress,
                                           std::uint8_t operation);
  // Overwrites the free pages from `first` on that are not cached with
  // zeros, so nothing written before under another key (or none) lingers.
  [[nodiscard]] EngineResult WipeFreePages(std::uint32_t first);
  // Journals the commits of one operation on a volume opened without
  // transactions: mounts a transaction table and marks the volume mounted,
  // so that an interrupted commit is finished at the next open. `started`
  // says whether anything was done (nothing when transactions are on).
  [[nodiscard]] EngineResult StartJournaling(bool& started);
  // Ends what StartJournaling began, once no commit is left unfinished:
  // the table goes and the volume is marked closed cleanly again, flushed.
  [[nodiscard]] EngineResult StopJournaling();
  // A tweak word of the page cipher as the machine that made the volume
  // sees it: swapped on a byte-swapped volume.
  std::uint32_t TweakWord(std::uint32_t value) const { return ByteSwapped ? Swap32(value) : value; }
  // Converts one page image between host and file byte order (an involution
  // except for which copy of the steering fields is read).
  void ConvertPage(std::uint8_t* page, bool toFileOrder) const;

  // ---- page cache ----
  // expectedType -1 = no check. With `create` and no `load`, an unloaded buffer
  // gets an uninitialised data area (for pages about to be filled completely).
  [[nodiscard]] EngineResult GetPage(std::uint32_t n, bool load, int expectedType,
                                     std::uint32_t expectedOwner, Transaction* transaction,
                                     PageRef& page, bool create = false);
  [[nodiscard]] EngineResult ReleasePage(PageBuffer* buffer);
  [[nodiscard]] EngineResult MarkDirty(PageBuffer* buffer, Transaction* transaction);
  // Consumes the caller's reference.
  [[nodiscard]] EngineResult DeletePage(PageBuffer* buffer, Transaction* transaction);
  [[nodiscard]] EngineResult WriteBack(PageBuffer* buffer);
  [[nodiscard]] EngineResult FlushCache();
  // FlushCache, and with write-behind the space map and the volume
  // information too: everything committed reaches the host file.
  [[nodiscard]] EngineResult Flush();
  // Write-behind (only while UseTransactions is off): a commit leaves its
  // pages, the space map and the volume information dirty in memory; they
  // are written when the cache trims them, at a flush and at the close,
  // each once however many commits changed it. For a volume nobody trusts
  // before it was closed without error (a container being filled), where
  // a tiny file's commit would otherwise write half a dozen pages. Turning
  // it off writes what waits.
  [[nodiscard]] EngineResult SetWriteBehind(bool on);
  bool WritesBehind() const { return WriteBehind && !UseTransactions; }
  [[nodiscard]] EngineResult WriteAllDirty();
  std::uint32_t LoadedPageCount() const { return cache_.LoadedCount(); }
  std::size_t CachedBufferCount();
  // Whether page n has a buffer in the cache (with its image loaded, when
  // `loaded`).
  bool IsCached(std::uint32_t n, bool loaded = false);

  // ---- space map ----
  // (see SpaceMap)
  [[nodiscard]] EngineResult Scan(bool all, std::uint32_t limit) { return space_.Scan(all, limit); }
  [[nodiscard]] EngineResult EnsureScanned() { return space_.EnsureScanned(); }
  [[nodiscard]] EngineResult SetMapEntry(std::uint32_t page, std::uint16_t type, bool forced) {
    return space_.SetEntry(page, type, forced);
  }
  [[nodiscard]] EngineResult GetMapEntry(std::uint32_t page, std::uint16_t& type) {
    return space_.GetEntry(page, type);
  }
  // A map entry that counts as free: 0, and without transactions also the
  // types of shadow and journal pages a crash may have left.
  bool IsFreeEntry(std::uint16_t entry) const;
  [[nodiscard]] EngineResult FindFree(std::uint32_t& page) { return space_.FindFree(page); }
  [[nodiscard]] EngineResult FindFreeBelow(std::uint32_t limit, std::uint32_t& page) {
    return space_.FindFreeBelow(limit, page);
  }
  [[nodiscard]] EngineResult AllocatePage(std::uint16_t type, const std::uint8_t* image,
                                          bool forcedSpace, std::uint32_t& page) {
    return space_.Allocate(type, image, forcedSpace, page);
  }
  [[nodiscard]] EngineResult AllocateNewPage(std::uint16_t type, Transaction* transaction,
                                             PageRef& page);
  [[nodiscard]] EngineResult FreePage(std::uint32_t page);
  [[nodiscard]] EngineResult FreeChain(std::uint32_t firstPage, std::uint16_t type,
                                       std::uint32_t owner, Transaction* transaction);
  [[nodiscard]] EngineResult FlushMapPages() { return space_.FlushDirtyPages(); }
  [[nodiscard]] EngineResult NextObjectId(std::uint32_t& id);
  [[nodiscard]] EngineResult GetStorageSize(StorageSize& size) {
    return space_.GetStorageSize(size);
  }
  std::uint32_t FreeCount() { return space_.FreeCount(); }
  bool IsMapPage(std::uint32_t page) const { return (page & (PageSize / 2 - 1)) == 0; }

  // ---- transactions ----
  [[nodiscard]] EngineResult Begin(bool readOnly, Transaction*& transaction);
  [[nodiscard]] EngineResult JoinPage(Transaction* transaction, PageBuffer* buffer);
  void LeavePage(PageBuffer* buffer);
  [[nodiscard]] EngineResult JoinObject(Transaction* transaction, TransactionObject* object);
  void LeaveObject(TransactionObject* object);
  [[nodiscard]] EngineResult WriteDirtyPages(Transaction* transaction);
  [[nodiscard]] EngineResult Commit(Transaction* transaction);
  // Undoes what the transaction did, in memory and on the file. When some of
  // its changes already overwrote older pages in place (no journal, or no
  // room for one), the file cannot be brought back: the volume then refuses
  // all further work with `cause` (errStorageCorrupted when none is given)
  // until it is closed, which writes nothing more.
  [[nodiscard]] EngineResult Rollback(Transaction* transaction, EngineResult cause = 0);
  void EndReadOnly(Transaction* transaction);
  [[nodiscard]] EngineResult Recover();
  std::size_t RunningTransactions();
  // The transactions running now (a copy).
  std::vector<Transaction*> RunningNow() { return journal_.RunningNow(); }
  // Runs `work` with no transaction running and none able to begin on
  // another thread meanwhile (this thread may begin its own);
  // errActiveTransactions, without running it, when one runs.
  [[nodiscard]] EngineResult RunAlone(const std::function<EngineResult()>& work);
  // A commit failed after registering itself: the volume takes no further
  // work and closes without writing, and the next writable open finishes it.
  bool RecoveryPending();

  // ---- resize and compaction ----
  // Grows or shrinks the volume to `bytes` (a multiple of PageSize, the same
  // measure GetStorageSize reports; the host file also keeps any area before
  // the volume). Shrinking compacts first: errActiveTransactions when that
  // cannot run, errStorageFull when the pages in use reach past the new end.
  // Growing writes an empty space map page at every group start it adds and
  // reports (0, position, new page count) to `progress`, which cannot stop
  // it. A fixed-size volume keeps its MaxPageCount in step, and one with a
  // FAT area behind it cannot be resized (errInvalidParameter).
  [[nodiscard]] EngineResult SetStorageSize(std::uint64_t bytes, const ProgressSink& progress);
  // Moves the pages at the end of the volume into free pages below,
  // re-pointing every reference to them (pages, loaded objects, open
  // handles), and cuts the free end off the host file (a fixed-size volume
  // keeps its file). Reports (kProgressCompacting, pages moved, free pages)
  // to `progress`, which cannot stop it. When a transaction is running
  // (other than an open file's parked one) or an object is in use on another
  // thread, nothing happens: success with `ran` false. Damage found on the
  // way is errStorageCorrupted with vfCorrupted set, found before anything
  // is written. The moves run in transactions of bounded size, journaled
  // when UseTransactions is on; see compact.cpp for what a crash leaves.
  [[nodiscard]] EngineResult Compact(const ProgressSink& progress, bool& ran);
  // Cuts the free pages at the end off the host file, moving nothing.
  [[nodiscard]] EngineResult CutFreeTail();
  // The callback asked before each automatic compaction; none = always.
  void SetAutoCompactConfirm(AutoCompactConfirm confirm, void* userData);
  // AutoCompact and its callback together, as the commit that tests the
  // threshold reads them.
  void SetAutoCompact(std::uint32_t percent, AutoCompactConfirm confirm, void* userData);

  // ---- settings ----
  char16_t PathSeparator = u'/';
  bool UseTransactions = true;
  // Atomic: compaction pauses it from whichever thread commits.
  std::atomic<bool> WriteBehind{false};  // see SetWriteBehind
  bool UseAccessTime = false;
  bool CaseSensitive = true;
  std::uint32_t AutoCompact = 25;
  std::uint32_t Buffering = 1;

  // ---- layout ----
  std::uint32_t PageSize = 0;
  std::uint32_t PageShift = 0;
  std::uint32_t PayloadSize = 0;
  std::uint32_t VolumeStart = 0;
  std::uint32_t HostPageCount = 0;
  std::uint32_t UsedPageCount = kUnknownPageCount;
  bool Active = false;
  bool ReadOnly = false;
  bool ByteSwapped = false;
  bool FixedSize = false;
  std::u16string Path;
  StorageTime LastAccess = 0;
  StorageTime LastChange = 0;

  // ---- storage encryption state ----
  bool StorageUnlocked = true;
  std::shared_ptr<PageCipherHook> ReadKey;
  std::shared_ptr<PageCipherHook> WriteKey;

  ObjectLayerHooks* ObjectLayer = nullptr;

  // ---- locks ----
  RecursiveMutex IoLock;
  RecursiveMutex ObjectLock;
  RecursiveMutex HandleLock;

 private:
  friend class PageRef;
  // The space map reads and writes its pages through the cache and the
  // volume information image.
  friend class SpaceMap;
  // The journal writes the table's pages and reads the journal file.
  friend class Journal;
  friend class Transaction;
  // Check and repair read and write a closed volume's pages through its host file.
  friend class RepairSession;
  // Compaction re-keys cached pages and rebuilds the space map summary.
  friend class Compactor;
  // Formatting writes a closed volume's host file through its backend.
  friend EngineResult FormatVolume(Volume& volume, const std::u16string& path, std::uint64_t size,
                                   std::uint32_t pageSize, std::u16string_view logo,
                                   std::uint32_t flags, const ProgressSink& progress);

  // A page image as the host file holds it (file byte order, payload
  // enciphered when its type and owner say so, with `tweak` for the second
  // tweak word) into host order plain text; under IoLock.
  [[nodiscard]] EngineResult DecodeStoredPage(std::uint8_t* buffer, std::uint32_t tweak)
      REQUIRES(IoLock);

  // host files
  [[nodiscard]] EngineResult OpenHost(const std::u16string& path, bool& readOnly);
  [[nodiscard]] EngineResult LocateVolume(std::uint64_t& start, std::uint64_t fileSize);
  void ResetState();
  void DropAllBuffers();
  [[nodiscard]] EngineResult CheckPageSize(std::uint32_t pageSize);

  // cache internals
  [[nodiscard]] EngineResult Trim(std::uint32_t limit);
  [[nodiscard]] EngineResult LoadData(PageBuffer* b) REQUIRES(cache_.Lock());

  // transaction internals
  // What a commit wrote for recovery: the journal's entries and the table
  // slot that makes them authoritative.
  struct CommitJournal;
  // The first phase of a commit: every changed page is written (an existing
  // page to its shadow), then the journal naming where each new image lies,
  // and then the commit is registered in the transaction table. Until the
  // registration nothing is durable: on a failure the caller rolls back.
  [[nodiscard]] EngineResult WriteAndRegisterCommit(Transaction* transaction,
                                                    CommitJournal& journal);
  // The second phase: the shadows are copied home, the space map takes the
  // transaction's allocations and frees, and the registration is cleared.
  // Once registered, a failure here leaves the registration in place and
  // the next writable open completes the commit from the journal.
  [[nodiscard]] EngineResult CompleteRegisteredCommit(Transaction* transaction,
                                                      const CommitJournal& journal);
  // A failed commit that already overwrote older pages in place, finished
  // in memory instead of rolled back: its allocations and frees go to the
  // space map, its pages stay dirty for the close. False (and the caller
  // drops it) when some new image is no longer in memory.
  [[nodiscard]] bool KeepFailedCommit(Transaction* transaction) REQUIRES(cache_.Lock());
  // Write-behind: keeps a committed image (KeepCommitted), or puts it back
  // after a roll-back (RestoreCommitted).
  [[nodiscard]] EngineResult KeepCommitted(PageBuffer* b);
  [[nodiscard]] EngineResult RestoreCommitted(PageBuffer* b) REQUIRES(cache_.Lock());
  [[nodiscard]] EngineResult ShadowWrite(PageBuffer* b);
  [[nodiscard]] EngineResult WriteZeroPage(std::uint32_t at, std::uint32_t number);
  // Forgets a buffer nobody holds (a page the journal wiped).
  void ForgetBuffer(PageBuffer* b);
  [[nodiscard]] EngineResult FlushHost();
  void DestroyTransaction(Transaction* transaction);
  // Rolls a transaction back; without `touchFile` only its memory state is
  // dropped (for a commit whose registration recovery must still replay).
  [[nodiscard]] EngineResult Forget(Transaction* transaction, bool touchFile);
  // The AutoCompact test at the end of a successful commit.
  void AutoCompactAfterCommit();

  std::unique_ptr<HostFileBackend> backend_;
  HostFileCallbacks callbacks_{};
  bool useCallbacks_ = false;
  bool savedUseTransactions_ = true;  // the caller's setting; read-only opens force it off
  // The volume flags before StartJournaling mounted a table.
  std::uint32_t flagsBeforeJournaling_ = 0;
  HostHandle host_ = 0;
  bool hostOpen_ = false;

  std::vector<std::uint8_t> info_;     // VolumeInfoPage image, host order
  std::vector<std::uint8_t> scratch_;  // file-order, enciphered image being written

  PageCache cache_;
  SpaceMap space_{*this, cache_.Lock()};
  Journal journal_{*this, cache_.Lock()};
  AutoCompactConfirm autoCompactConfirm_ GUARDED_BY(journal_.Lock()) = nullptr;
  void* autoCompactUserData_ GUARDED_BY(journal_.Lock()) = nullptr;

 public:
  bool Compacting = false;
};

}  // namespace vaultfs
