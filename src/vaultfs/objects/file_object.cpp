// FileObjects: references, private transactions, opening, creating, moving
// and deleting directory members, times and attributes.
#include "vaultfs/objects/file_object.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "vaultfs/format/record_walk.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/file_data_state.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/storage_time.h"

namespace vaultfs {

using namespace layout;

// The host file's page count as it stands now (it may grow on another
// thread); defined with the space map.
std::uint32_t HostPageCountNow(Volume& volume);

// Defined with the directory index.
void InsertChild(FileObject& directory, EntryRef entry);
void RemoveChild(FileObject& directory, const EntryInfo* entry);

namespace {

EngineResult Corrupted(Volume& volume) {
  volume.MarkCorrupted();
  return errStorageCorrupted;
}

std::uint16_t StreamKindFor(const EntryInfo& entry) {
  if (entry.ObjectId == 1) return rkRootData;
  if (entry.Attributes & attrSymLink) return rkLinkTarget;
  return rkFileData;
}

}  // namespace

// ---------------------------------------------------------------- FileObject

FileObject::FileObject(ObjectStore& owner) : store(owner), volume(owner.volume) {}

FileObject::~FileObject() {
  if (Entry && Entry->Object == this) Entry->Object = nullptr;
}

void FileObject::AddRef() {
  References.fetch_add(1);
}

void FileObject::Release() {
  // Never skipped, even at zero: a move carries its users' references to the
  // new parent's chain only after its locks are given back, and a user that
  // lets go through the new chain before that takes the count below zero for
  // a moment. A decrement dropped there would never be made good.
  References.fetch_sub(1);
  Lock.unlock();
}

void FileObject::SaveState() {
  saved_.Parent = Parent;
  saved_.HeaderPage = HeaderPage;
  saved_.Depth = Depth;
  if (Entry) saved_.Entry = *Entry;
}

void FileObject::Committed() {
  if (Has(ofDeleted)) {
    store.DestroyObject(this);
    return;
  }
  Flags &= ~(ofNew | ofNameChanged | ofLinkCached);
}

void FileObject::RolledBack() {
  // The pages are authoritative again: every directory that may have changed
  // rebuilds its index from them when next used.
  if (Parent) ForgetEntries(*Parent);
  if (saved_.Parent && saved_.Parent != Parent) ForgetEntries(*saved_.Parent);
  if (Has(ofNew)) {
    if (Parent && Entry) RemoveChild(*Parent, Entry.get());
    store.DestroyObject(this);
    return;
  }
  ForgetEntries(*this);
  Parent = saved_.Parent;
  HeaderPage = saved_.HeaderPage;
  Depth = saved_.Depth;
  if (Entry) {
    const FileObject* self = Entry->Object;
    *Entry = saved_.Entry;
    Entry->Object = const_cast<FileObject*>(self);
  }
  Size = kUnknownSize;
  DataEnd = kUnknownSize;
  LinkTarget.clear();
  if (store.DropDataState) store.DropDataState(*this);
  Flags &= ~(ofNew | ofDeleted | ofNameChanged | ofLinkCached | ofChanged | ofPageListComplete);
  // The name and parent just restored may lead paths elsewhere again.
  store.TreeChanged();
}

// --------------------------------------------------------------- ObjectStore

ObjectStore::ObjectStore(Volume& v) : volume(v) {
  volume.ObjectLayer = this;
  // Installed here, before any thread can use the store: installing it on
  // first use would have several threads write the hook at once.
  InstallFileDataHooks(*this);
}

ObjectStore::~ObjectStore() {
  if (volume.ObjectLayer == this) volume.ObjectLayer = nullptr;
  objects_.clear();
}

FileObject* ObjectStore::Find(std::uint32_t objectId) {
  MutexLock lock(volume.ObjectLock);
  auto it = objects_.find(objectId);
  return it == objects_.end() ? nullptr : it->second.get();
}

void ObjectStore::SetCaseSensitive(bool caseSensitive) {
  if (volume.CaseSensitive == caseSensitive) return;
  std::vector<FileObject*> directories;
  {
    MutexLock lock(volume.ObjectLock);
    volume.CaseSensitive = caseSensitive;
    for (auto& [id, object] : objects_)
      if (object->Has(ofEntriesLoaded)) directories.push_back(object.get());
  }
  // One directory at a time, after ObjectLock is given back: objects rank above it.
  for (FileObject* directory : directories) {
    std::scoped_lock lock(directory->Lock);
    directory->ChildList.Resort(caseSensitive);
  }
  // Names that matched before may not any more.
  TreeChanged();
}

std::size_t ObjectStore::ObjectCount() {
  MutexLock lock(volume.ObjectLock);
  return objects_.size();
}

EngineResult ObjectStore::CreateObject(FileObject* parent, EntryRef entry, std::uint32_t headerPage,
                                       FileObject*& object) {
  object = nullptr;
  auto created = std::make_unique<FileObject>(*this);
  created->Parent = parent;
  created->Depth = parent ? parent->Depth + 1 : 1;
  created->HeaderPage = headerPage;
  created->StreamKind = StreamKindFor(*entry);
  created->References.store(1);
  // An object ranks above the volume's lists: it is locked before the table
  // lock is taken, while nobody else can see it yet.
  created->Lock.lock();
  MutexLock lock(volume.ObjectLock);
  if (objects_.count(entry->ObjectId)) {  // two entries, one id
    created->Lock.unlock();
    return Corrupted(volume);
  }
  created->Entry = std::move(entry);
  created->Entry->Object = created.get();
  object = created.get();
  objects_.emplace(object->ObjectId(), std::move(created));
  return 0;
}

void ObjectStore::DestroyObject(FileObject* object) {
  MutexLock lock(volume.ObjectLock);
  // Before the object goes, under ObjectLock: a resolution that finds the
  // generation unchanged under that lock knows its objects are still there.
  TreeChanged();
  if (object == root_) root_ = nullptr;
  auto it = objects_.find(object->ObjectId());
  if (it != objects_.end() && it->second.get() == object) {
    if (DropDataState) DropDataState(*object);
    objects_.erase(it);
  }
}

void ObjectStore::DropIfIdle(FileObject& directory, const EntryRef& entry) {
  MutexLock lock(volume.ObjectLock);
  auto it = objects_.find(entry->ObjectId);
  if (it == objects_.end()) return;
  FileObject* o = it->second.get();
  // Out of the usual order (objects rank above the table lock), so only
  // tried: an object someone is working on is busy, not idle.
  if (o == root_ || !o->Lock.try_lock()) return;
  constexpr std::uint32_t kWaiting =
      ofNew | ofDeleted | ofNameChanged | ofChanged | ofPasswordSupplied;
  bool idle = o->Entry == entry && o->Parent == &directory && !o->IsDirectory() &&
              o->References.load() == 0 && o->Pins.load() == 0 && !o->PrivateTransaction &&
              !o->JoinedTransaction && (o->Flags & kWaiting) == 0;
  if (idle && o->Data) {
    const FileDataState& s = *o->Data;
    idle = s.Handles.empty() && s.DenyReadCount == 0 && s.DenyWriteCount == 0 &&
           std::none_of(s.Buffers.begin(), s.Buffers.end(), [](const auto& b) {
             return b->References.load() != 0 || (b->Flags & dbDirty) != 0;
           });
  }
  o->Lock.unlock();
  if (!idle) return;
  // No path leads elsewhere for its going: the tree does not change.
  if (DropDataState) DropDataState(*o);
  objects_.erase(it);
}

EngineResult ObjectStore::AttachRoot(Volume& v) {
  const std::uint8_t* info = v.VolumeInfo();
  auto entry = std::make_shared<EntryInfo>();
  entry->ObjectId = LoadU32(info + kRootEntry + kEntryObjectId);
  entry->Attributes = LoadU32(info + kRootEntry + kEntryAttributes);
  const std::uint32_t headerPage = LoadU32(info + kRootEntry + kEntryHeaderPage);
  if (entry->ObjectId != 1 || headerPage != 2) return Corrupted(v);
  FileObject* root = nullptr;
  EngineResult r = CreateObject(nullptr, entry, headerPage, root);
  if (r != 0) return r;
  root_ = root;
  TreeChanged();
  root->Lock.unlock();  // the store keeps its reference for the whole session
  return 0;
}

void ObjectStore::ReleaseRoot(Volume&) {
  // Registrations hold references to objects that are about to go.
  UnregisterAllNotifications(*this);
  {
    std::scoped_lock resolved(ResolvedLock);
    for (ResolvedDirectory& entry : Resolved) entry = ResolvedDirectory();
  }
  MutexLock lock(volume.ObjectLock);
  TreeChanged();
  if (DropDataState)
    for (auto& [id, object] : objects_) DropDataState(*object);
  objects_.clear();
  root_ = nullptr;
}

EngineResult ObjectStore::DetectStorageLock(Volume& v, bool& locked) {
  locked = false;
  if (!root_) return 0;
  Transaction* t = nullptr;
  EngineResult r = v.Begin(true, t);
  if (r != 0) return r;
  {
    std::scoped_lock objectLock(root_->Lock);
    RecordRef record;
    r = FindRecord(*root_, rkStorageEncryption, 0, false, t, record);
    if (r == 0 && record && record.Length() >= kRecordHeadSize + 4) {
      const std::uint32_t mode = LoadU32(record.data());
      locked = mode != 0 && mode != 0xFFFFFFFFu;
    }
  }
  v.EndReadOnly(t);
  return r;
}

// ------------------------------------------------------ private transactions

EngineResult BeginObjectTransaction(FileObject& object) {
  if (object.PrivateTransaction) return errSharingViolation;
  Transaction* t = nullptr;
  EngineResult r = object.volume.Begin(false, t);
  if (r != 0) return r;
  r = object.volume.JoinObject(t, &object);
  if (r != 0) {
    EngineResult ignored = object.volume.Rollback(t);
    (void)ignored;
    return r;
  }
  object.PrivateTransaction = t;
  return 0;
}

EngineResult BeginIfNone(FileObject& object, bool& begun) {
  begun = false;
  if (object.PrivateTransaction) return 0;
  EngineResult r = BeginObjectTransaction(object);
  begun = r == 0;
  return r;
}

EngineResult CommitObjectTransaction(FileObject& object) {
  Transaction* t = object.PrivateTransaction;
  if (!t) return 0;
  object.PrivateTransaction = nullptr;
  return object.volume.Commit(t);
}

EngineResult RollbackObjectTransaction(FileObject& object, EngineResult cause) {
  Transaction* t = object.PrivateTransaction;
  if (!t) return 0;
  object.PrivateTransaction = nullptr;
  return object.volume.Rollback(t, cause);
}

// ---------------------------------------------------------------- membership

EngineResult OpenChild(FileObject& directory, std::u16string_view name, EngineResult notFound,
                       Transaction* t, FileObject*& child) {
  child = nullptr;
  if (name.empty()) return errInvalidParameter;
  EntryRef entry;
  EngineResult r = LookupName(directory, name, t, entry);
  if (r != 0) return r;
  if (!entry) return notFound;
  if (entry->Object) {
    child = entry->Object;
    child->Lock.lock();
    child->AddRef();
    return 0;
  }
  DirectoryEntry slot;
  std::uint32_t page = 0;
  r = ReadEntry(directory, entry->Slot, t, slot, page);
  if (r != 0) return r;
  if (slot.ObjectId != entry->ObjectId || slot.HeaderPage == 0) return Corrupted(directory.volume);
  return directory.store.CreateObject(&directory, entry, slot.HeaderPage, child);
}

namespace {

// A new object's header page: owned by `id`, holding its information record.
EngineResult NewHeaderPage(Volume& volume, Transaction* t, std::uint32_t& id,
                           std::uint32_t& headerPage) {
  EngineResult r = volume.NextObjectId(id);
  if (r != 0) return r;
  PageRef header;
  r = volume.AllocateNewPage(ObjectHeaderPage, t, header);
  if (r != 0) return r;
  std::uint8_t* d = header.data();
  StoreU32(d + kOwnerId, id);
  StoreU16(d + kUsedLength, kFirstHeaderUsedLength);
  StoreNewObjectInfo(d + kFirstRecord, Now());
  headerPage = header->PageNumber;
  return 0;
}

// The header page names the entry page and the directory it belongs to.
EngineResult LinkHeaderToDirectory(FileObject& directory, std::uint32_t id,
                                   std::uint32_t headerPage, std::uint32_t entryPage,
                                   Transaction* t) {
  Volume& volume = directory.volume;
  PageRef header;
  EngineResult r = volume.GetPage(headerPage, true, ObjectHeaderPage, id, t, header);
  if (r == 0) r = volume.MarkDirty(header.get(), t);
  if (r != 0) return r;
  StoreU32(header.data() + kPrevPage, entryPage);
  StoreU32(header.data() + kParentId, directory.ObjectId());
  return 0;
}

// The object in memory for the entry just written at `slot`: the moved
// object itself, or a new one that joins the transaction.
EngineResult TakeChildObject(FileObject& directory, const DirectoryEntry& entry,
                             std::uint32_t slot, FileObject* existing, Transaction* t,
                             FileObject*& child, bool& created) {
  if (existing) {
    child = existing;
    child->Entry->Slot = slot;
    child->Entry->Attributes = entry.Attributes;
    child->Parent = &directory;
    child->Depth = directory.Depth + 1;
    directory.store.TreeChanged();
    return 0;
  }
  auto info = std::make_shared<EntryInfo>();
  info->ObjectId = entry.ObjectId;
  info->Attributes = entry.Attributes;
  info->Slot = slot;
  EngineResult r = directory.store.CreateObject(&directory, info, entry.HeaderPage, child);
  if (r != 0) return r;
  child->Flags |= ofNew;
  r = directory.volume.JoinObject(t, child);
  if (r != 0) return r;
  created = true;
  return 0;
}

// Files made in a compressed directory inherit its compression settings.
EngineResult InheritCompression(FileObject& directory, FileObject& child, Transaction* t) {
  std::vector<std::uint8_t> compression;
  std::uint32_t movedTo = 0;
  EngineResult c = ReadRecord(directory, rkCompression, t, compression, nullptr, &movedTo);
  if (c == errTagNotFound) return 0;
  if (c != 0) return c;
  if (movedTo != 0) return 0;
  RecordRef mine;
  EngineResult r = FindRecord(child, rkCompression, 0, false, t, mine);
  if (r != 0 || mine) return r;
  std::uint32_t page = 0;
  return AddRecord(child, rkCompression, compression.data(),
                   static_cast<std::uint32_t>(compression.size()), t, page);
}

}  // namespace

EngineResult CreateChild(FileObject& directory, std::u16string_view name, std::uint32_t attributes,
                         FileObject* existing, bool allowExisting, bool touchParent, Transaction* t,
                         FileObject*& child, bool& created) {
  child = nullptr;
  created = false;
  FileObject* found = nullptr;
  EngineResult r = OpenChild(directory, name, errFileNotFound, t, found);
  if (r == 0) {
    if (!allowExisting) {
      found->Release();
      return errAlreadyExists;
    }
    child = found;
    return 0;
  }
  if (r != errFileNotFound) return r;
  if (directory.volume.ReadOnly) return errStorageReadOnly;

  std::uint32_t slot = 0;
  r = AllocateSlot(directory, t, slot);
  if (r != 0) return r;
  DirectoryEntry entry;
  std::uint32_t entryPage = 0;
  r = ReadEntry(directory, slot, t, entry, entryPage);
  if (r != 0) return r;

  DirectoryEntry fresh;
  if (existing) {
    fresh.ObjectId = existing->ObjectId();
    fresh.HeaderPage = existing->HeaderPage;
    // The moved object's name chain goes with it.
    fresh.NameLength = existing->MovedNameLength;
    fresh.NameNextPage = existing->MovedNameNextPage;
  } else {
    r = NewHeaderPage(directory.volume, t, fresh.ObjectId, fresh.HeaderPage);
    if (r != 0) return r;
  }
  r = LinkHeaderToDirectory(directory, fresh.ObjectId, fresh.HeaderPage, entryPage, t);
  if (r != 0) return r;
  fresh.Attributes = attributes | (directory.Entry->Attributes & attrCompressed);
  r = WriteEntry(directory, slot, fresh, t);
  if (r != 0) return r;
  r = TakeChildObject(directory, fresh, slot, existing, t, child, created);
  if (r != 0) return r;

  // Entered under an empty name, then named: SetName writes the name and sorts it in.
  child->Entry->Name.clear();
  InsertChild(directory, child->Entry);
  // AllocateSlot gave the first free slot. (An index forgotten meanwhile
  // comes back from the pages, where the slot is in use now.)
  if (!directory.FreeSlotList.empty() && directory.FreeSlotList.front() == slot)
    directory.FreeSlotList.pop_front();
  r = SetName(*child, name, true, false, t);
  if (r != 0) return r;
  r = InheritCompression(directory, *child, t);
  if (r != 0) return r;
  if (touchParent) return TouchModified(directory, t);
  return 0;
}

EngineResult DetachObject(FileObject& object, Transaction* t) {
  FileObject* parent = object.Parent;
  if (!parent) return errInvalidParameter;
  DirectoryEntry entry;
  std::uint32_t page = 0;
  EngineResult r = ReadEntry(*parent, object.Entry->Slot, t, entry, page);
  if (r != 0) return r;
  object.MovedNameLength = entry.NameLength;
  object.MovedNameNextPage = entry.NameNextPage;
  r = WriteEntry(*parent, object.Entry->Slot, DirectoryEntry{}, t);
  if (r != 0) return r;
  RemoveChild(*parent, object.Entry.get());
  object.Parent = nullptr;
  return 0;
}

EngineResult DeleteObject(FileObject& object, Transaction* t) {
  Volume& volume = object.volume;
  if (object.References.load() > 1) return errSharingViolation;
  EngineResult first = 0;
  auto keep = [&first](EngineResult r) {
    if (first == 0) first = r;
  };
  if (object.IsDirectory()) {
    keep(LoadEntries(object, t));
    const std::vector<EntryRef> children = object.ChildList.ToVector();
    for (const EntryRef& entry : children) {
      FileObject* child = nullptr;
      EngineResult r = OpenChild(object, entry->Name, errFileNotFound, t, child);
      if (r == 0) {
        r = volume.JoinObject(t, child);
        if (r == 0) r = DeleteObject(*child, t);
        child->Release();
      }
      keep(r);
    }
  }
  // Free every moved-out record's stream chain and every header page.
  std::uint32_t n = object.HeaderPage;
  std::uint32_t steps = 0;
  while (n != 0) {
    if (++steps > HostPageCountNow(volume)) {
      keep(Corrupted(volume));
      break;
    }
    PageRef page;
    EngineResult r = volume.GetPage(n, true, ObjectHeaderPage, object.ObjectId(), t, page);
    if (r != 0) {
      keep(r);
      break;
    }
    const std::uint8_t* d = page.data();
    // A record reaching past UsedLength is the last one read; its chain goes
    // like the others (FreeChain takes only this object's pages).
    RecordCursor cursor(d, RecordsEndWithin(d, volume.PageSize));
    for (;;) {
      RecordHead head;
      const RecordAt found = cursor.Read(head);
      if (found == RecordAt::kEnd || found == RecordAt::kNoHead) break;
      if (head.Length < kRecordHeadSize) {
        keep(Corrupted(volume));
        break;
      }
      if (head.MovedTo != 0)
        keep(volume.FreeChain(head.MovedTo, StreamPageType(head.Kind), object.ObjectId(), t));
      if (found != RecordAt::kRecord) break;
      cursor.Skip(head);
    }
    const std::uint32_t next = NextPageOf(d);
    keep(volume.DeletePage(page.Detach(), t));
    n = next;
  }
  if (FileObject* parent = object.Parent) {
    DirectoryEntry entry;
    std::uint32_t page = 0;
    EngineResult r = ReadEntry(*parent, object.Entry->Slot, t, entry, page);
    if (r == 0) {
      if (entry.NameNextPage != 0)
        keep(volume.FreeChain(entry.NameNextPage, NameContinuationPage, object.ObjectId(), t));
      entry.ObjectId = 0;
      entry.HeaderPage = 0;
      entry.NameNextPage = 0;
      keep(WriteEntry(*parent, object.Entry->Slot, entry, t));
    } else {
      keep(r);
    }
    RemoveChild(*parent, object.Entry.get());
  }
  object.Flags |= ofDeleted;
  object.Parent = nullptr;
  return first;
}

// -------------------------------------------------------- times, attributes

EngineResult GetTimes(FileObject& object, std::uint32_t which, Transaction* t, StorageTime& created,
                      StorageTime& modified, StorageTime& accessed) {
  if (which & kTimeCreated) created = 0;
  if (which & kTimeModified) modified = 0;
  if (which & kTimeAccessed) accessed = 0;
  RecordRef record;
  EngineResult r = FindRecord(object, rkObjectInfo, object.HeaderPage, true, t, record);
  if (r != 0) return r;
  if (record.Length() < kObjectInfoLength) return Corrupted(object.volume);
  if (which & kTimeCreated) created = LoadDouble(record.head() + kInfoCreated);
  if (which & kTimeModified) modified = LoadDouble(record.head() + kInfoModified);
  if (which & kTimeAccessed) accessed = LoadDouble(record.head() + kInfoAccessed);
  return 0;
}

EngineResult SetTimes(FileObject& object, std::uint32_t which, Transaction* t, StorageTime created,
                      StorageTime modified, StorageTime accessed) {
  RecordRef record;
  EngineResult r = FindRecord(object, rkObjectInfo, object.HeaderPage, true, t, record);
  if (r != 0) return r;
  if (record.Length() < kObjectInfoLength) return Corrupted(object.volume);
  r = object.volume.MarkDirty(record.page.get(), t);
  if (r != 0) return r;
  if (which & kTimeCreated) StoreDouble(record.head() + kInfoCreated, created);
  if (which & kTimeModified) StoreDouble(record.head() + kInfoModified, modified);
  if (which & kTimeAccessed) StoreDouble(record.head() + kInfoAccessed, accessed);
  return 0;
}

EngineResult TouchModified(FileObject& object, Transaction* t) {
  const StorageTime now = Now();
  // Any thread may touch any object: the volume-wide stamps are atomic stores.
  std::atomic_ref<StorageTime>(object.volume.LastChange).store(now, std::memory_order_relaxed);
  return SetTimes(object, kTimeModified | kTimeAccessed, t, 0, now, now);
}

EngineResult TouchAccessed(FileObject& object, Transaction* t) {
  const StorageTime now = Now();
  std::atomic_ref<StorageTime>(object.volume.LastAccess).store(now, std::memory_order_relaxed);
  if (!object.volume.UseAccessTime || !t || object.volume.ReadOnly) return 0;
  return SetTimes(object, kTimeAccessed, t, 0, 0, now);
}

EngineResult SetAttributes(FileObject& object, std::uint32_t attributes, Transaction* t) {
  Volume& volume = object.volume;
  if (!object.Parent) {
    if (object.ObjectId() != 1) return errInvalidParameter;
    MutexLock io(volume.IoLock);  // the volume information image
    StoreU32(volume.VolumeInfo() + kRootEntry + kEntryAttributes, attributes);
    EngineResult r = volume.WriteVolumeInfo();
    if (r == 0) object.Entry->Attributes = attributes;
    return r;
  }
  DirectoryEntry entry;
  std::uint32_t page = 0;
  EngineResult r = ReadEntry(*object.Parent, object.Entry->Slot, t, entry, page);
  if (r != 0) return r;
  entry.Attributes = attributes;
  r = WriteEntry(*object.Parent, object.Entry->Slot, entry, t);
  if (r == 0) object.Entry->Attributes = attributes;
  return r;
}

EngineResult GetObjectSize(FileObject& object, Transaction* t, std::uint64_t& size) {
  if (object.Size != kUnknownSize) {
    size = object.Size;
    return 0;
  }
  RecordRef record;
  EngineResult r = FindRecord(object, rkObjectInfo, object.HeaderPage, true, t, record);
  if (r != 0) return r;
  if (record.Length() < kObjectInfoLength) return Corrupted(object.volume);
  object.Size = LoadU32(record.head() + kInfoSizeLow) |
                (std::uint64_t{LoadU32(record.head() + kInfoSizeHigh)} << 32);
  size = object.Size;
  return 0;
}

}  // namespace vaultfs
