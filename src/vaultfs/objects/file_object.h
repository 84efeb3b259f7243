// Files, directories and symbolic links while a container is open: the
// in-memory FileObject with its directory index, references, lock and
// private transaction, and the store that keeps every object of a volume.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vaultfs/format/object_layout.h"
#include "vaultfs/objects/child_index.h"
#include "vaultfs/volume/page_cipher.h"
#include "vaultfs/volume/transaction.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

class FileObject;
class ObjectStore;
struct FileDataState;  // file data, cipher and compression state

inline constexpr std::uint64_t kUnknownSize = ~std::uint64_t{0};

// FileObject flags.
inline constexpr std::uint32_t ofNew = 0x1;
inline constexpr std::uint32_t ofDeleted = 0x2;
inline constexpr std::uint32_t ofNameChanged = 0x4;
inline constexpr std::uint32_t ofLinkCached = 0x8;
inline constexpr std::uint32_t ofChanged = 0x10;
inline constexpr std::uint32_t ofEntriesLoaded = 0x40;
inline constexpr std::uint32_t ofAllNamesSorted = 0x80;
inline constexpr std::uint32_t ofPasswordSupplied = 0x100;
inline constexpr std::uint32_t ofIdle = 0x200;
inline constexpr std::uint32_t ofPageListComplete = 0x800;

// The free slots of a directory in the order they are to be used: taken
// from the front, added at the back, each in O(1) (amortised). A plain
// vector: a file object that is no directory pays for no more than that.
class SlotQueue {
 public:
  bool empty() const { return head_ == slots_.size(); }
  std::uint32_t front() const { return slots_[head_]; }
  void push_back(std::uint32_t slot) { slots_.push_back(slot); }
  void pop_front() {
    // The used part is dropped once it is the larger half.
    if (++head_ * 2 >= slots_.size()) {
      slots_.erase(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }
  void clear() {
    slots_.clear();
    head_ = 0;
  }

 private:
  std::vector<std::uint32_t> slots_;
  std::size_t head_ = 0;
};

class FileObject final : public TransactionObject {
 public:
  explicit FileObject(ObjectStore& store);
  ~FileObject() override;
  FileObject(const FileObject&) = delete;
  FileObject& operator=(const FileObject&) = delete;

  ObjectStore& store;
  Volume& volume;
  std::uint32_t Flags = 0;
  EntryRef Entry;
  FileObject* Parent = nullptr;
  std::uint32_t HeaderPage = 0;
  // Taken hand over hand along a path and handed from a lookup to its
  // caller, which the thread-safety analysis cannot follow: a plain
  // recursive mutex, its order kept as the volume's lock order says.
  std::recursive_mutex Lock;
  std::atomic<std::int32_t> References{0};
  // Keeps an object without references from being dropped as idle (see
  // ObjectStore::DropIfIdle) while its maker still means to take it up.
  std::atomic<std::int32_t> Pins{0};
  std::uint32_t Depth = 1;
  Transaction* PrivateTransaction = nullptr;

  // Directory index, built once by LoadEntries; sorted by the name order.
  ChildIndex ChildList;
  std::vector<std::uint32_t> EntryPageList;
  // Free slots, taken from the front: those of the loaded pages in order,
  // then those freed or added since.
  SlotQueue FreeSlotList;

  std::uint64_t Size = kUnknownSize;
  std::uint64_t DataEnd = kUnknownSize;
  std::uint16_t StreamKind = rkFileData;
  std::shared_ptr<FileDataState> Data;
  std::u16string LinkTarget;
  // The name chain of a detached object, carried to its next directory.
  std::uint32_t MovedNameLength = 0;
  std::uint32_t MovedNameNextPage = 0;

  std::uint32_t ObjectId() const { return Entry ? Entry->ObjectId : 0; }
  bool IsDirectory() const { return Entry && (Entry->Attributes & attrDirectory) != 0; }
  bool Has(std::uint32_t flag) const { return (Flags & flag) != 0; }

  void AddRef();
  // Drops one reference and unlocks the object (every Release pairs with a held lock).
  void Release();

  // TransactionObject
  std::uint64_t OrderingKey() const override { return (std::uint64_t{Depth} << 32) | ObjectId(); }
  void LockObject() override { Lock.lock(); }
  void UnlockObject() override { Lock.unlock(); }
  void SaveState() override;
  void Committed() override;
  void RolledBack() override;

  // A page of this object now lives at `to` (compaction): the page numbers
  // kept in memory follow, the one saved for a roll-back included.
  void PageMoved(std::uint16_t pageType, std::uint32_t chainIndex, std::uint32_t from,
                 std::uint32_t to);

 private:
  struct Saved {
    FileObject* Parent = nullptr;
    std::uint32_t HeaderPage = 0;
    std::uint32_t Depth = 1;
    EntryInfo Entry;
  } saved_;
};

// A directory lately reached by path, kept so that a path below it can be
// resolved from there (the path operations make and use these). It counts
// only while the store's TreeGeneration still has the value it was made at.
struct ResolvedDirectory {
  std::u16string Path;             // the path text up to the end of the directory's name
  std::vector<FileObject*> Chain;  // the root first, the directory last
  std::vector<std::size_t> Ends;   // where the name of Chain[i + 1] ends in Path
  std::uint64_t Generation = 0;    // 0: unused
  std::uint64_t LastUse = 0;
  char16_t Separator = 0;  // the volume's settings the path was read with
  bool CaseSensitive = false;
};
inline constexpr std::size_t kResolvedDirectories = 4;

// Every FileObject of one open volume, and what the volume needs from the
// object layer at open, create and close.
class ObjectStore final : public ObjectLayerHooks {
 public:
  explicit ObjectStore(Volume& volume);
  ~ObjectStore() override;
  ObjectStore(const ObjectStore&) = delete;
  ObjectStore& operator=(const ObjectStore&) = delete;

  Volume& volume;
  FileObject* Root() const { return root_; }

  // ObjectLayerHooks
  [[nodiscard]] EngineResult AttachRoot(Volume& volume) override;
  [[nodiscard]] EngineResult CloseAllHandles(Volume& volume) override;
  void ReleaseRoot(Volume& volume) override;
  [[nodiscard]] EngineResult DetectStorageLock(Volume& volume, bool& locked) override;
  [[nodiscard]] bool LockForCompaction(const std::vector<Transaction*>& running) override;
  void UnlockAfterCompaction() override;
  void PageMoved(std::uint16_t pageType, std::uint32_t ownerId, std::uint32_t chainIndex,
                 std::uint32_t from, std::uint32_t to) override;

  // The open object of an id, or none.
  FileObject* Find(std::uint32_t objectId);
  // Switches the volume's name order and puts every loaded directory index
  // in the new order, so that lookups keep finding the names already listed.
  // Not for use while other threads work in the volume.
  void SetCaseSensitive(bool caseSensitive);
  // Creates the object of a directory entry (locked, one reference).
  [[nodiscard]] EngineResult CreateObject(FileObject* parent, EntryRef entry,
                                          std::uint32_t headerPage, FileObject*& object);
  void DestroyObject(FileObject* object);
  // Forgets the object of `entry`, a member of `directory`, when nothing
  // holds it: no reference or pin, no transaction, no handle, no change or
  // supplied password waiting for a later use. Its entry stays in the index
  // and the next use makes the object again from the pages, so memory
  // follows what is in use, not how many files were ever touched.
  // Directories stay (their members point to them). The caller holds the
  // directory's lock: nobody can reach the object through it meanwhile.
  void DropIfIdle(FileObject& directory, const EntryRef& entry);
  std::size_t ObjectCount();

  // Moves after every change that can make a path lead to another object or
  // to none: an entry leaving a directory or renamed, an object arriving by a
  // move, a loaded directory index forgotten, a roll-back, an object
  // destroyed, the root attached or released, the name order switched. Moved
  // once the change is made, before the lock that guards it is given back.
  // A new entry does not move it: it cannot change where a path that
  // resolved before leads.
  std::atomic<std::uint64_t> TreeGeneration{1};
  void TreeChanged() { TreeGeneration.fetch_add(1, std::memory_order_acq_rel); }

  // Directories lately reached by path. Nothing else is locked while
  // ResolvedLock is held.
  std::mutex ResolvedLock;
  std::array<ResolvedDirectory, kResolvedDirectories> Resolved;  // under ResolvedLock
  std::uint64_t ResolvedUses = 0;                                // under ResolvedLock

  // File keys lately set up, newest first: the files of one password share
  // one key instead of each open setting it up again, which costs more than
  // reading a small file. A key comes here only once its password opened or
  // made a file, and every open still checks its own file's password first.
  // Nothing else is locked while CipherCacheLock is held.
  std::mutex CipherCacheLock;
  std::array<std::shared_ptr<PageCipher>, 2> CipherCache;  // under CipherCacheLock

  // Hooks for the file data layer: called when an object is destroyed or
  // rolled back so data state can be dropped.
  void (*DropDataState)(FileObject& object) = nullptr;

  // Open handles of the volume (owned by the handle code, which defines
  // CloseAllHandles), and the storage-wide custom codec and cipher events.
  std::vector<struct FileHandle*> Handles;
  // Open searches (under HandleLock); CloseAllSearches ends them before a close.
  std::vector<struct SearchHandle*> Searches;
  void* CustomCipher = nullptr;  // const CustomCipherCallbacks*
  void* CustomCodec = nullptr;   // const CustomCodecCallbacks*

 private:
  FileObject* root_ = nullptr;
  // The objects in use, locked by a compaction for its run.
  std::vector<FileObject*> lockedForCompaction_;
  std::map<std::uint32_t, std::unique_ptr<FileObject>> objects_;
};

// ---- private transactions ----
[[nodiscard]] EngineResult BeginObjectTransaction(FileObject& object);
[[nodiscard]] EngineResult BeginIfNone(FileObject& object, bool& begun);
[[nodiscard]] EngineResult CommitObjectTransaction(FileObject& object);
// `cause`: the failure that ends the transaction (see Volume::Rollback).
[[nodiscard]] EngineResult RollbackObjectTransaction(FileObject& object, EngineResult cause = 0);

// ---- directory membership (caller holds the directory's lock, inside a transaction) ----
[[nodiscard]] EngineResult OpenChild(FileObject& directory, std::u16string_view name,
                                     EngineResult notFound, Transaction* transaction,
                                     FileObject*& child);
[[nodiscard]] EngineResult CreateChild(FileObject& directory, std::u16string_view name,
                                       std::uint32_t attributes, FileObject* existing,
                                       bool allowExisting, bool touchParent,
                                       Transaction* transaction, FileObject*& child, bool& created);
[[nodiscard]] EngineResult DetachObject(FileObject& object, Transaction* transaction);
[[nodiscard]] EngineResult DeleteObject(FileObject& object, Transaction* transaction);

// ---- times and attributes ----
inline constexpr std::uint32_t kTimeCreated = 1;
inline constexpr std::uint32_t kTimeModified = 2;
inline constexpr std::uint32_t kTimeAccessed = 4;
[[nodiscard]] EngineResult GetTimes(FileObject& object, std::uint32_t which, Transaction* t,
                                    StorageTime& created, StorageTime& modified,
                                    StorageTime& accessed);
[[nodiscard]] EngineResult SetTimes(FileObject& object, std::uint32_t which, Transaction* t,
                                    StorageTime created, StorageTime modified,
                                    StorageTime accessed);
[[nodiscard]] EngineResult TouchModified(FileObject& object, Transaction* t);
[[nodiscard]] EngineResult TouchAccessed(FileObject& object, Transaction* t);
[[nodiscard]] EngineResult SetAttributes(FileObject& object, std::uint32_t attributes,
                                         Transaction* t);
[[nodiscard]] EngineResult GetObjectSize(FileObject& object, Transaction* t, std::uint64_t& size);

// ---- directory index ----
[[nodiscard]] EngineResult LoadEntries(FileObject& directory, Transaction* t);
// The entry of a name, or none; loads the entries when needed.
[[nodiscard]] EngineResult LookupName(FileObject& directory, std::u16string_view name,
                                      Transaction* t, EntryRef& entry);
[[nodiscard]] EngineResult ReadEntry(FileObject& directory, std::uint32_t slot, Transaction* t,
                                     DirectoryEntry& entry, std::uint32_t& page);
[[nodiscard]] EngineResult WriteEntry(FileObject& directory, std::uint32_t slot,
                                      const DirectoryEntry& entry, Transaction* t);
[[nodiscard]] EngineResult AllocateSlot(FileObject& directory, Transaction* t, std::uint32_t& slot);
[[nodiscard]] EngineResult SetName(FileObject& object, std::u16string_view name, bool force,
                                   bool touch, Transaction* t);
[[nodiscard]] EngineResult ClearEntry(FileObject& object, Transaction* t);
// Reads a name whose units go beyond the entry's first 22 from its page chain.
[[nodiscard]] EngineResult ReadFullName(FileObject& directory, const DirectoryEntry& entry,
                                        Transaction* t, std::u16string& name);
// Forgets a directory's in-memory index so the next use rebuilds it from the pages.
void ForgetEntries(FileObject& directory);
std::uint32_t SlotsPerPage(const Volume& volume);

}  // namespace vaultfs
