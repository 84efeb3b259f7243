// Path resolution and the path-level operations.
#include "vaultfs/objects/path_ops.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "vaultfs/objects/file_data_state.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/util/paths.h"

namespace vaultfs {

using namespace layout;

// The host file's page count as it stands now (it may grow on another
// thread); defined with the space map.
std::uint32_t HostPageCountNow(Volume& volume);

namespace {

// ---------------------------------------------------------- notifications

// Registrations of every open volume, by ObjectStore, each list sorted by
// ObjectId. The object layer has no per-volume slot for them, and handles
// raise events too, so they live here behind one lock.
struct NotificationLists {
  RecursiveMutex lock;
  std::map<const ObjectStore*,
           std::multimap<std::uint32_t, std::unique_ptr<NotificationRegistration>>>
      lists;
};

NotificationLists& Notifications() {
  static NotificationLists lists;
  return lists;
}

// Depth of callbacks running on this thread: a callback that registers or
// unregisters would change the list being walked.
thread_local int deliveringDepth = 0;

bool HasRegistrations(const ObjectStore& store) {
  NotificationLists& n = Notifications();
  MutexLock lock(n.lock);
  return n.lists.count(&store) != 0;
}

void Deliver(const ObjectStore& store, const ChangeEvent& event) {
  NotificationLists& n = Notifications();
  MutexLock lock(n.lock);
  auto list = n.lists.find(&store);
  if (list == n.lists.end()) return;
  for (std::size_t i = 0; i < event.ObjectIds.size(); ++i) {
    auto [first, last] = list->second.equal_range(event.ObjectIds[i]);
    for (auto it = first; it != last; ++it) {
      const NotificationRegistration& registration = *it->second;
      if (!registration.WatchSubtree && i != 0) continue;
      if ((registration.Filter & event.Flags) == 0 || !registration.Callback) continue;
      ++deliveringDepth;
      registration.Callback(registration.UserData, event, registration);
      --deliveringDepth;
    }
  }
}

// Builds an event for `object` as it stands now.
ChangeEvent MakeEvent(FileObject& object, std::uint32_t flags, std::u16string_view path,
                      std::u16string_view newPath, Transaction* t) {
  ChangeEvent event;
  event.Flags = flags;
  event.Time = Now();
  event.Path.assign(path);
  event.NewPath.assign(newPath);
  event.Attributes = object.Entry ? object.Entry->Attributes : 0;
  if ((flags & cnDeleted) == 0) {
    std::uint64_t size = 0;
    Transaction* own = object.PrivateTransaction ? object.PrivateTransaction : t;
    if (GetObjectSize(object, own, size) == 0) event.Size = size;
  }
  for (FileObject* o = &object; o; o = o->Parent) event.ObjectIds.push_back(o->ObjectId());
  return event;
}

// ---------------------------------------------------------- one operation

// The transaction of one path operation, the reference chains it holds, the
// private transactions it has to begin again and the events it raised.
class Operation {
 public:
  explicit Operation(ObjectStore& store) : store(store), volume(store.volume) {}
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;
  ~Operation() {
    if (!finished_) {
      EngineResult ignored = Finish(errInvalidParameter);
      (void)ignored;
    }
  }

  [[nodiscard]] EngineResult Begin(bool readOnly) {
    if (!volume.Active || !store.Root()) return errStorageNotActive;
    return volume.Begin(readOnly, t);
  }

  // A chain to give back when the operation ends. With `keepOnSuccess` a
  // successful operation only unlocks the object and leaves the references
  // to whoever takes over (a new handle).
  void Hold(FileObject* object, bool locked, bool keepOnSuccess = false) {
    held_.push_back({object, locked, keepOnSuccess});
  }

  // Unlocks every held object and keeps its references. Chains are given
  // back (and references moved) one object at a time up to the root, which
  // must not happen while anything below is still locked: that would take a
  // parent's lock after a child's.
  void UnlockHeld() {
    for (auto it = held_.rbegin(); it != held_.rend(); ++it)
      if (std::exchange(it->locked, false)) it->object->Lock.unlock();
  }

  // Joins an object to the transaction. An object with a private transaction
  // of its own (an open handle) is joined only when that transaction holds
  // nothing but the object: it is committed now and begun again afterwards.
  [[nodiscard]] EngineResult Join(FileObject& object) {
    if (object.JoinedTransaction == t) return 0;
    if (Transaction* own = object.PrivateTransaction) {
      bool onlyThis = false;
      {
        MutexLock lock(own->lock);
        onlyThis = own->objects.size() == 1 && own->objects.front() == &object;
      }
      if (!onlyThis) return errSharingViolation;
      // What the handles wrote goes into that commit. Should this operation
      // fail, its roll-back drops the object's cached blocks, and a block
      // still dirty in memory would be lost with them although the write
      // that filled it succeeded.
      if (object.Data) {
        EngineResult stored = StoreDirtyBuffers(object, own);
        if (stored == 0 && object.Data->Damaged) stored = errStorageCorrupted;
        if (stored != 0) return stored;
      }
      EngineResult r = CommitObjectTransaction(object);
      if (r != 0) return r;
      restart_.push_back(&object);
    }
    return volume.JoinObject(t, &object);
  }

  void Event(FileObject& object, std::uint32_t flags, std::u16string_view path,
             std::u16string_view newPath = {}) {
    if (!HasRegistrations(store)) return;
    events_.push_back(MakeEvent(object, flags, path, newPath, t));
  }

  // Commits (or rolls back when `result` is a failure) and begins again the
  // private transactions committed for the operation. Returns the first failure.
  [[nodiscard]] EngineResult End(EngineResult result) {
    if (ended_) return result;
    ended_ = true;
    if (t) {
      Transaction* done = std::exchange(t, nullptr);
      if (result == 0) {
        result = volume.Commit(done);
      } else if (done->IsReadOnly()) {
        volume.EndReadOnly(done);
      } else {
        EngineResult ignored = volume.Rollback(done, result);
        (void)ignored;
      }
    }
    for (FileObject* object : restart_) {
      EngineResult r = BeginObjectTransaction(*object);
      if (result == 0) result = r;
    }
    restart_.clear();
    return result;
  }

  // Ends the transaction when not yet done, gives back the held chains and,
  // after a success, delivers the events.
  [[nodiscard]] EngineResult Finish(EngineResult result) {
    result = End(result);
    finished_ = true;
    // A held object gives back its reference before its lock, since a delete
    // judges by the count under that lock. The ancestors come after, once
    // nothing of the operation is locked any more, one at a time: taking a
    // parent's lock while a child's is held would invert the order.
    std::vector<std::pair<FileObject*, EntryRef>> chains;
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
      FileObject* object = it->object;
      if (result == 0 && it->keepOnSuccess) {
        if (it->locked) object->Lock.unlock();
      } else if (!it->locked) {
        chains.emplace_back(object, nullptr);
      } else {
        FileObject* parent = object->Parent;
        EntryRef member = IdleCandidate(*object);
        object->Release();
        if (parent) chains.emplace_back(parent, std::move(member));
      }
    }
    for (auto& [object, member] : chains) ReleaseChain(*object, false, std::move(member));
    held_.clear();
    if (result == 0)
      for (const ChangeEvent& event : events_) Deliver(store, event);
    events_.clear();
    return result;
  }

  ObjectStore& store;
  Volume& volume;
  Transaction* t = nullptr;

 private:
  struct Held {
    FileObject* object;
    bool locked;
    bool keepOnSuccess;
  };
  std::vector<Held> held_;
  std::vector<FileObject*> restart_;
  std::vector<ChangeEvent> events_;
  bool ended_ = false;
  bool finished_ = false;
};

// The transaction an object's own records are read or written in: its
// private one while a handle has it, else the operation's.
Transaction* ObjectTransaction(FileObject& object, Transaction* t) {
  return object.PrivateTransaction ? object.PrivateTransaction : t;
}

bool NamesRoot(std::u16string_view path, char16_t separator) {
  return std::all_of(path.begin(), path.end(),
                     [separator](char16_t c) { return IsSeparator(c, separator); });
}

// Runs `change` in the object's private transaction: the open handle's, or
// one begun and committed (rolled back on failure) here.
template <class Change>
EngineResult InPrivateTransaction(FileObject& object, Change change) {
  bool begun = false;
  EngineResult r = BeginIfNone(object, begun);
  if (r != 0) return r;
  r = change(object.PrivateTransaction);
  if (begun) {
    if (r == 0) {
      r = CommitObjectTransaction(object);
    } else {
      EngineResult ignored = RollbackObjectTransaction(object, r);
      (void)ignored;
    }
  }
  return r;
}

// ---------------------------------------------------------- resolved directories
//
// A deep tree is worked on path by path: an import creates, stamps and tags
// every folder through its full path, and an export or a comparison reads it
// back the same way. Walking each path from the root would cost a directory
// lookup per component per call, which grows with the square of the depth.
// So the store remembers the last few directories a resolution reached, each
// with its path text and its objects from the root down, and a path that
// shares leading components with one of them is walked from below those.
//
// An entry is made only when the store's TreeGeneration did not move while
// the directory was being found, and is used only while it still has that
// value: every change that can make a path lead elsewhere moves it. Adding a
// name does not, so an import that creates a folder and then stamps it keeps
// its entries. Paths are compared as text, code unit for code unit; a path
// spelled otherwise (other case, other separators) is walked from the root.
//
// A resolution that starts below the root must hold what a walk from the
// root would: the start directory locked, it and every ancestor referenced.
// The chain is referenced from the root down, each object under its own lock
// and only while the generation is unchanged: a move counts the references
// on the object it moves under that object's lock and carries them to the
// new parent's chain, which comes out right only when the ancestors were
// referenced first. The objects are tried, never waited for, with ObjectLock
// held: while the generation is unchanged none of them has been destroyed
// (destroying an object moves it under that lock first) and none can be
// meanwhile. Anything busy or changed ends the attempt; what was referenced
// is given back and the path is walked from the root.

// How many leading components of `path` the entry's directory chain can
// stand for, leaving at least one component of `path` to be looked up (the
// lookup of the last component gives the walk its names and its parent).
std::size_t SharedComponents(const ResolvedDirectory& entry, std::u16string_view path,
                             char16_t separator) {
  const std::u16string_view known(entry.Path);
  const std::size_t limit = std::min(known.size(), path.size());
  const std::size_t same = static_cast<std::size_t>(
      std::mismatch(known.begin(), known.begin() + static_cast<std::ptrdiff_t>(limit), path.begin())
          .first -
      known.begin());
  // Components of the entry that end within the common text.
  std::size_t count = static_cast<std::size_t>(
      std::upper_bound(entry.Ends.begin(), entry.Ends.end(), same) - entry.Ends.begin());
  // A component ends in `path` too only where a separator (or the end) follows.
  if (count > 0 && entry.Ends[count - 1] == same && same < path.size() &&
      !IsSeparator(path[same], separator))
    --count;
  if (count > 0) {
    std::size_t rest = entry.Ends[count - 1];
    while (rest < path.size() && IsSeparator(path[rest], separator)) ++rest;
    if (rest == path.size()) --count;
  }
  return count;
}

// The longest start an entry offers for `path`: its chain up to the directory
// the walk continues from, and where each of their names ends. False when no
// entry gets below the root.
bool FindResolved(ObjectStore& store, std::u16string_view path, std::uint64_t generation,
                  std::vector<FileObject*>& chain, std::vector<std::size_t>& ends) {
  const char16_t separator = store.volume.PathSeparator;
  const bool caseSensitive = store.volume.CaseSensitive;
  std::scoped_lock lock(store.ResolvedLock);
  ResolvedDirectory* best = nullptr;
  std::size_t bestCount = 0;
  for (ResolvedDirectory& entry : store.Resolved) {
    if (entry.Generation != generation || entry.Separator != separator ||
        entry.CaseSensitive != caseSensitive)
      continue;
    const std::size_t count = SharedComponents(entry, path, separator);
    if (count > bestCount) {
      best = &entry;
      bestCount = count;
    }
  }
  if (!best) return false;
  best->LastUse = ++store.ResolvedUses;
  chain.assign(best->Chain.begin(),
               best->Chain.begin() + static_cast<std::ptrdiff_t>(bestCount) + 1);
  ends.assign(best->Ends.begin(), best->Ends.begin() + static_cast<std::ptrdiff_t>(bestCount));
  return true;
}

// Takes up `chain` as a walk from the root leaves it: every object
// referenced, the last one locked. False, with nothing held, when an object
// is busy or the tree changed since `generation`.
bool TakeChain(ObjectStore& store, const std::vector<FileObject*>& chain,
               std::uint64_t generation) {
  FileObject* referenced = nullptr;  // the deepest object referenced so far
  bool taken = false;
  {
    MutexLock objects(store.volume.ObjectLock);
    if (store.TreeGeneration.load(std::memory_order_acquire) == generation &&
        chain.front() == store.Root()) {
      for (std::size_t i = 0; i < chain.size(); ++i) {
        FileObject* object = chain[i];
        if (!object->Lock.try_lock()) break;
        // Under the object's lock: it still has the parent it had when the
        // entry was made, and a move of it is either over or not begun.
        if (store.TreeGeneration.load(std::memory_order_acquire) != generation) {
          object->Lock.unlock();
          break;
        }
        object->AddRef();
        referenced = object;
        if (i + 1 == chain.size()) {
          taken = true;
        } else {
          object->Lock.unlock();
        }
      }
    }
  }
  // Given back one object at a time, as any chain is, with ObjectLock free.
  if (!taken && referenced) ReleaseChain(*referenced, false);
  return taken;
}

// Remembers the directory at the end of `chain` (referenced, with its
// ancestors, by the resolution that calls) under the text of `path` up to
// the end of its name, unless the tree changed since `generation` or an
// entry already knows it.
void RememberResolved(ObjectStore& store, std::u16string_view path,
                      const std::vector<FileObject*>& chain, const std::vector<std::size_t>& ends,
                      std::uint64_t generation) {
  if (ends.empty()) return;  // the root needs no entry
  const std::size_t end = ends.back();
  const std::u16string_view text = path.substr(0, end);
  std::scoped_lock lock(store.ResolvedLock);
  if (store.TreeGeneration.load(std::memory_order_acquire) != generation) return;
  // An entry that no longer counts is taken first, else the least recently used.
  ResolvedDirectory* slot = nullptr;
  bool slotValid = true;
  for (ResolvedDirectory& entry : store.Resolved) {
    const bool valid = entry.Generation == generation &&
                       entry.Separator == store.volume.PathSeparator &&
                       entry.CaseSensitive == store.volume.CaseSensitive;
    if (valid && entry.Ends.size() >= ends.size() && entry.Ends[ends.size() - 1] == end &&
        std::u16string_view(entry.Path).substr(0, end) == text) {
      entry.LastUse = ++store.ResolvedUses;
      return;
    }
    if (!slot || (slotValid && (!valid || entry.LastUse < slot->LastUse))) {
      slot = &entry;
      slotValid = valid;
    }
  }
  slot->Path.assign(text);
  slot->Chain = chain;
  slot->Ends = ends;
  slot->Generation = generation;
  slot->Separator = store.volume.PathSeparator;
  slot->CaseSensitive = store.volume.CaseSensitive;
  slot->LastUse = ++store.ResolvedUses;
}

// ---------------------------------------------------------- resolution

EngineResult Resolve(ObjectStore& store, std::u16string_view path, bool parentMode,
                     bool followFinal, bool wantNames, Transaction* t, ResolvedPath& out) {
  out = ResolvedPath();
  Volume& volume = store.volume;
  if (!volume.Active || !store.Root()) return errStorageNotActive;
  const char16_t separator = volume.PathSeparator;
  std::u16string current;
  current.reserve(path.size() + 1);
  if (path.empty() || !IsSeparator(path.front(), separator)) current.push_back(separator);
  current.append(path);

  // Read before anything is looked at: what the walk finds may be remembered
  // only if nothing changed since.
  const std::uint64_t generation = store.TreeGeneration.load(std::memory_order_acquire);
  // The directories walked through, the root first, and where the name of
  // each after the root ends in `current`; kept only while no link was
  // followed, since only then do they match the path as given.
  std::vector<FileObject*> chain;
  std::vector<std::size_t> ends;
  std::uint32_t expansions = 0;
  EngineResult r = 0;
  for (bool again = true; again;) {
    again = false;
    FileObject* directory = nullptr;
    std::size_t position = 0;
    if (expansions == 0 && FindResolved(store, current, generation, chain, ends) &&
        TakeChain(store, chain, generation)) {
      directory = chain.back();
      position = ends.back();
    } else {
      chain.clear();
      ends.clear();
      directory = store.Root();
      directory->Lock.lock();
      directory->AddRef();
      if (expansions == 0) chain.push_back(directory);
    }
    for (;;) {
      std::u16string_view component;
      const bool last = NextComponent(current, position, separator, component);
      if (component.empty()) {
        // Only the root path has no component: it has no name of its own.
        if (parentMode || wantNames) {
          ReleaseChain(*directory, true);
          r = errFileNotFound;
          break;
        }
        out.Object = directory;
        return 0;
      }
      // Only a directory has members; a file in the directory part of a path
      // is as good as a missing directory. A directory with an open handle
      // has its pages in its private transaction: they are read there.
      FileObject* child = nullptr;
      r = directory->IsDirectory() ? OpenChild(*directory, component, errFileNotFound,
                                               ObjectTransaction(*directory, t), child)
                                   : errFileNotFound;
      const bool missing = r == errFileNotFound;
      if (r != 0 && !(missing && parentMode && last && directory->IsDirectory())) {
        ReleaseChain(*directory, true);
        break;
      }
      r = 0;
      const std::size_t begin = static_cast<std::size_t>(component.data() - current.data());
      const std::size_t end = begin + component.size();
      if (parentMode && last) {
        if (child) child->Release();
        if (expansions == 0) RememberResolved(store, current, chain, ends, generation);
        out.Object = directory;
        out.LastComponent.assign(component);
        out.DirectoryPath.assign(current, 0, begin);
        out.Expansions = expansions;
        return 0;
      }
      directory->Lock.unlock();  // it stays referenced
      if ((child->Entry->Attributes & attrSymLink) != 0 && (!last || followFinal)) {
        std::u16string target, joined;
        r = ReadLinkTarget(*child, t, target);
        if (r == 0) {
          const std::u16string_view whole(current);
          r = JoinLinkPath(separator, whole.substr(0, begin), target, whole.substr(end), joined);
        }
        ReleaseChain(*child, true);
        if (r == 0 && ++expansions > kMaxLinkExpansions) r = errLinkTargetNotFound;
        if (r != 0) break;
        current = std::move(joined);
        again = true;
        break;
      }
      if (last) {
        if (expansions == 0) {
          // The deepest directory reached: the object itself when it is one.
          if (child->IsDirectory()) {
            chain.push_back(child);
            ends.push_back(end);
          }
          RememberResolved(store, current, chain, ends, generation);
        }
        out.Object = child;
        if (wantNames) {
          out.LastComponent.assign(component);
          out.DirectoryPath.assign(current, 0, begin);
        }
        out.Expansions = expansions;
        return 0;
      }
      directory = child;
      if (expansions == 0) {
        chain.push_back(child);
        ends.push_back(end);
      }
    }
  }
  if (r == errFileNotFound) {
    if (expansions > 0)
      r = errLinkTargetNotFound;
    else if (parentMode)
      r = errPathNotFound;
  }
  return r;
}

// The parent of the path, joined, and the object of its last component
// (locked, referenced; optionally joined). The parent's chain is held by the
// operation.
EngineResult ResolveParentAndChild(Operation& op, std::u16string_view path, bool joinChild,
                                   FileObject*& child) {
  child = nullptr;
  ResolvedPath parent;
  EngineResult r = ResolveParent(op.store, path, op.t, parent);
  if (r != 0) return r;
  op.Hold(parent.Object, true);
  r = op.Join(*parent.Object);
  if (r == 0) r = OpenChild(*parent.Object, parent.LastComponent, errFileNotFound, op.t, child);
  if (r == 0 && joinChild) {
    r = op.Join(*child);
    if (r != 0) {
      child->Release();
      child = nullptr;
    }
  }
  return r;
}

struct CreatedObject {
  FileObject* Object = nullptr;  // locked and referenced
  FileObject* Parent = nullptr;
  bool Created = false;
};

// Creates (or with `allowExisting` finds) the object at `path` in the
// operation's write transaction. The parent's chain is held by the operation;
// the caller gives back the object's reference before the operation ends (a
// roll-back destroys a created object).
EngineResult CreateAtPath(Operation& op, std::u16string_view path, std::uint32_t attributes,
                          bool allowExisting, CreatedObject& out, bool keepParent = false) {
  out = CreatedObject();
  ResolvedPath parent;
  EngineResult r = ResolveParent(op.store, path, op.t, parent);
  if (r != 0) return r;
  op.Hold(parent.Object, true, keepParent);
  out.Parent = parent.Object;
  if (!IsValidName(parent.LastComponent)) return errInvalidFileName;
  if (!allowExisting) {
    // Refused before the directory joins the transaction: a failed write
    // operation rolls back, and a roll-back makes the directory reload its
    // index from the pages.
    EntryRef existing;
    r = LookupName(*parent.Object, parent.LastComponent, ObjectTransaction(*parent.Object, op.t),
                   existing);
    if (r != 0) return r;
    if (existing) return errAlreadyExists;
  }
  r = op.Join(*parent.Object);
  if (r != 0) return r;
  r = CreateChild(*parent.Object, parent.LastComponent, attributes, nullptr, allowExisting, true,
                  op.t, out.Object, out.Created);
  if (r != 0) return r;
  if (out.Created) op.Event(*out.Object, cnCreated, path);
  return 0;
}

void ReleaseIf(FileObject*& object) {
  if (object) object->Release();
  object = nullptr;
}

// A plain resolution in a read-only transaction, `query` run on the object.
template <class Query>
EngineResult QueryObject(ObjectStore& store, std::u16string_view path, bool followFinal,
                         Query query) {
  Operation op(store);
  EngineResult r = op.Begin(true);
  if (r == 0) {
    ResolvedPath resolved;
    r = ResolvePath(store, path, followFinal, op.t, resolved);
    if (r == 0) {
      op.Hold(resolved.Object, true);
      r = query(*resolved.Object, op);
    }
  }
  return op.Finish(r);
}

EngineResult CheckTag(Volume& volume, std::uint16_t tagId, std::uint32_t size) {
  if (tagId < kFirstTagKind || tagId > kLastTagKind) return errInvalidParameter;
  if (size > volume.PageSize - 48) return errInvalidParameter;
  return 0;
}

EngineResult GetTimesAt(ObjectStore& store, std::u16string_view path, std::uint32_t which,
                        StorageTime& created, StorageTime& modified, StorageTime& accessed) {
  return QueryObject(store, path, false, [&](FileObject& object, Operation& op) {
    return GetTimes(object, which, ObjectTransaction(object, op.t), created, modified, accessed);
  });
}

EngineResult SetTimesAt(ObjectStore& store, std::u16string_view path, std::uint32_t which,
                        StorageTime created, StorageTime modified, StorageTime accessed) {
  if (store.volume.Active && store.volume.ReadOnly) return errStorageReadOnly;
  return QueryObject(store, path, false, [&](FileObject& object, Operation& op) {
    EngineResult r = InPrivateTransaction(object, [&](Transaction* own) {
      return SetTimes(object, which, own, created, modified, accessed);
    });
    if (r == 0) op.Event(object, cnTimesChanged, path);
    return r;
  });
}

// Moves every reference that other users hold on `object` from the chain of
// its old parent to the chain of its new one.
// `others` is counted while the object was still locked by the move, so no
// handle could close in between; a handle closing since gives its reference
// back on the new chain, which comes out right once both walks are done. The
// caller holds no lock (each object is locked alone, as ReleaseChain does)
// and keeps its own references on both chains until the walks are over.
void TransferReferences(FileObject* oldParent, FileObject* newParent, std::int32_t others) {
  if (others <= 0) return;
  auto walk = [](FileObject* o, std::int32_t change) {
    while (o) {
      std::scoped_lock lock(o->Lock);
      o->References.fetch_add(change);
      o = o->Parent;
    }
  };
  walk(oldParent, -others);
  walk(newParent, others);
}

// Depth orders objects when a commit locks them; after a move it must follow
// the new place of every open object below. A roll-back may have made a
// directory forget its index while members are open: reload it to find them.
void UpdateDepths(FileObject& directory) {
  std::scoped_lock lock(directory.Lock);
  if (!directory.Has(ofEntriesLoaded) && LoadEntries(directory, nullptr) != 0) return;
  for (const EntryRef& entry : directory.ChildList) {
    FileObject* child = entry->Object;
    if (!child || child->Parent != &directory) continue;
    child->Depth = directory.Depth + 1;
    if (child->IsDirectory()) UpdateDepths(*child);
  }
}

// Every header page of a moved object names its new parent.
EngineResult SetParentIds(FileObject& object, std::uint32_t parentId, Transaction* t) {
  Volume& volume = object.volume;
  std::uint32_t n = object.HeaderPage;
  std::uint32_t steps = 0;
  while (n != 0) {
    if (++steps > HostPageCountNow(volume)) {
      volume.MarkCorrupted();
      return errStorageCorrupted;
    }
    PageRef page;
    EngineResult r = volume.GetPage(n, true, ObjectHeaderPage, object.ObjectId(), t, page);
    if (r != 0) return r;
    if (LoadU32(page.data() + kParentId) != parentId) {
      r = volume.MarkDirty(page.get(), t);
      if (r != 0) return r;
      StoreU32(page.data() + kParentId, parentId);
    }
    n = NextPageOf(page.data());
  }
  return 0;
}

// Opens a handle on `object`, which is locked and referenced with its chain;
// the handle takes the chain over. On failure the chain is given back.
EngineResult OpenObjectHandle(FileObject& object, std::u16string_view path, bool read, bool write,
                              bool denyRead, bool denyWrite, std::int32_t cipherMode,
                              std::span<const std::uint8_t> password, bool truncate,
                              std::uint32_t tag, FileHandle*& handle) {
  handle = nullptr;
  bool begun = false;
  EngineResult r = BeginIfNone(object, begun);
  if (r == 0)
    r = OpenHandle(object, tag, path, read, write, denyRead, denyWrite, cipherMode, password,
                   handle);
  if (r == 0 && truncate) r = SetEndOfFile(handle);
  if (r == 0 && begun) {
    // What opening wrote (an empty data stream, a truncation) is kept; a new
    // private transaction belongs to the handle from now on. A transaction
    // that another handle already had is left to that handle's flushes.
    r = CommitObjectTransaction(object);
    if (r == 0) r = BeginObjectTransaction(object);
  }
  if (r != 0) {
    if (handle) {
      EngineResult ignored = CloseHandle(handle, false);
      (void)ignored;
      handle = nullptr;
    }
    if (begun) {
      EngineResult ignored = RollbackObjectTransaction(object, r);
      (void)ignored;
    }
    ReleaseChain(object, true);
    return r;
  }
  object.Lock.unlock();
  return 0;
}

EngineResult CreateFileAtPath(ObjectStore& store, std::u16string_view path, bool read, bool write,
                              bool denyRead, bool denyWrite, std::uint32_t cipherMode,
                              std::span<const std::uint8_t> password, std::uint32_t compressionMode,
                              std::uint32_t level, std::uint32_t blockPages, bool allowExisting,
                              bool truncate, std::uint32_t tag, FileHandle*& handle) {
  handle = nullptr;
  std::uint32_t attributes = attrFile;
  if (cipherMode != 0) attributes |= attrEncrypted;
  if (compressionMode != 0) attributes |= attrCompressed;

  std::uint32_t id = 0;
  FileObject* parent = nullptr;
  {
    Operation op(store);
    EngineResult r = op.Begin(false);
    CreatedObject made;
    if (r == 0) r = CreateAtPath(op, path, attributes, allowExisting, made, true);
    parent = made.Parent;
    if (r == 0 && (made.Object->Entry->Attributes & attrFile) == 0) r = errAlreadyExists;
    if (r == 0 && made.Created && cipherMode != 0)
      r = ChangeFileEncryption(*made.Object, op.t, cipherMode, {}, password, false);
    if (r == 0 && made.Created && compressionMode != 0)
      r = ChangeFileCompression(*made.Object, op.t, compressionMode, level, blockPages, password,
                                false);
    if (made.Object) {
      id = made.Object->ObjectId();
      // Released for the commit, which locks objects in its own order, but
      // taken up again below: not to be dropped as idle meanwhile.
      made.Object->Pins.fetch_add(1);
    }
    ReleaseIf(made.Object);
    r = op.Finish(r);
    if (r != 0) {
      // A new object rolled back is gone; one that was there stays.
      if (FileObject* kept = id != 0 ? store.Find(id) : nullptr) {
        std::scoped_lock lock(kept->Lock);
        kept->Pins.fetch_sub(1);
      }
      return r;
    }
  }

  // The object outlived the commit; it takes its place in the handle's chain.
  FileObject* object = store.Find(id);
  if (!object) {
    ReleaseChain(*parent, false);
    return errStorageCorrupted;
  }
  object->Lock.lock();
  object->Pins.fetch_sub(1);
  object->AddRef();
  return OpenObjectHandle(*object, path, read, write, denyRead, denyWrite,
                          static_cast<std::int32_t>(cipherMode), password, truncate, tag, handle);
}

EngineResult DeleteRecordInPrivate(FileObject& object, std::uint16_t kind) {
  return InPrivateTransaction(
      object, [&](Transaction* own) { return DeleteRecord(object, kind, 0, true, own); });
}

}  // namespace

// ---------------------------------------------------------- resolution

EngineResult ResolvePath(ObjectStore& store, std::u16string_view path, bool followFinalLink,
                         Transaction* t, ResolvedPath& result, bool wantNames) {
  return Resolve(store, path, false, followFinalLink, wantNames, t, result);
}

EngineResult ResolveParent(ObjectStore& store, std::u16string_view path, Transaction* t,
                           ResolvedPath& result) {
  EngineResult r = Resolve(store, path, true, false, true, t, result);
  if (r == 0 && !result.Object->IsDirectory()) {
    ReleaseChain(*result.Object, true);
    result = ResolvedPath();
    r = errPathNotFound;
  }
  return r;
}

EntryRef IdleCandidate(const FileObject& object) {
  if (!object.Parent || object.IsDirectory() || object.References.load() != 1) return nullptr;
  return object.Entry;
}

void ReleaseChain(FileObject& object, bool alreadyLocked, EntryRef member) {
  FileObject* o = &object;
  bool locked = alreadyLocked;
  // `member`, the object let go last: dropped when idle, once its
  // directory's lock is held. Its entry is kept by value; the object itself
  // may be gone by then.
  while (o) {
    if (!locked) o->Lock.lock();
    if (member) {
      o->store.DropIfIdle(*o, member);
      member.reset();
    }
    FileObject* parent = o->Parent;
    member = IdleCandidate(*o);
    o->Release();
    o = parent;
    locked = false;
  }
}

EngineResult ReadLinkTarget(FileObject& object, Transaction* t, std::u16string& target) {
  if (!object.Entry || (object.Entry->Attributes & attrSymLink) == 0) return errNotSymbolicLink;
  std::scoped_lock lock(object.Lock);
  if (!object.Has(ofLinkCached)) {
    std::vector<std::uint8_t> bytes;
    EngineResult r = ReadStream(object, ObjectTransaction(object, t), bytes);
    if (r != 0) return r;
    std::u16string text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>(LoadU16(bytes.data() + 2 * i));
    object.LinkTarget = std::move(text);
    object.Flags |= ofLinkCached;
  }
  target = object.LinkTarget;
  return 0;
}

// ---------------------------------------------------------- notifications

void NotifyChange(FileObject& object, std::uint32_t flags, std::u16string_view path) {
  if (!HasRegistrations(object.store)) return;
  Deliver(object.store, MakeEvent(object, flags, path, {}, nullptr));
}

EngineResult PathRegisterNotification(ObjectStore& store, std::u16string_view path,
                                      bool watchSubtree, std::uint32_t filter, void* userData,
                                      NotificationCallback callback, NotificationHandle& handle) {
  handle = nullptr;
  if (deliveringDepth > 0) return errInvalidParameter;
  auto registration = std::make_unique<NotificationRegistration>();
  Operation op(store);
  EngineResult r = op.Begin(false);
  FileObject* object = nullptr;
  if (r == 0) {
    ResolvedPath resolved;
    if (NamesRoot(path, store.volume.PathSeparator)) {
      resolved.Object = store.Root();
      resolved.Object->Lock.lock();
      resolved.Object->AddRef();
    } else {
      r = ResolvePath(store, path, true, op.t, resolved);
    }
    if (r == 0) {
      object = resolved.Object;
      op.Hold(object, true, true);  // the registration keeps the chain
    }
  }
  r = op.Finish(r);
  if (r != 0) return r;
  registration->Store = &store;
  registration->Object = object;
  registration->ObjectId = object->ObjectId();
  registration->Filter = filter;
  registration->UserData = userData;
  registration->Callback = callback;
  registration->WatchSubtree = watchSubtree;
  handle = registration.get();
  NotificationLists& n = Notifications();
  MutexLock lock(n.lock);
  n.lists[&store].emplace(handle->ObjectId, std::move(registration));
  return 0;
}

EngineResult PathUnregisterNotification(NotificationHandle handle) {
  if (!handle) return 0;
  if (deliveringDepth > 0) return errInvalidParameter;
  std::unique_ptr<NotificationRegistration> owned;
  {
    NotificationLists& n = Notifications();
    MutexLock lock(n.lock);
    auto list = n.lists.find(handle->Store);
    if (list == n.lists.end()) return 0;
    auto [first, last] = list->second.equal_range(handle->ObjectId);
    for (auto it = first; it != last; ++it) {
      if (it->second.get() != handle) continue;
      owned = std::move(it->second);
      list->second.erase(it);
      break;
    }
    if (list->second.empty()) n.lists.erase(list);
  }
  if (owned && owned->Object) ReleaseChain(*owned->Object, false);
  return 0;
}

void UnregisterAllNotifications(ObjectStore& store) {
  if (deliveringDepth > 0) return;  // the list is being walked
  std::multimap<std::uint32_t, std::unique_ptr<NotificationRegistration>> ended;
  {
    NotificationLists& n = Notifications();
    MutexLock lock(n.lock);
    auto list = n.lists.find(&store);
    if (list == n.lists.end()) return;
    ended = std::move(list->second);
    n.lists.erase(list);
  }
  for (auto& [id, registration] : ended)
    if (registration->Object) ReleaseChain(*registration->Object, false);
}

// ---------------------------------------------------------- namespace

EngineResult PathFileExists(ObjectStore& store, std::u16string_view path, bool& exists) {
  exists = false;
  EngineResult r =
      QueryObject(store, path, false, [](FileObject&, Operation&) -> EngineResult { return 0; });
  if (r == 0) exists = true;
  return r == errFileNotFound ? 0 : r;
}

EngineResult PathCreateDirectory(ObjectStore& store, std::u16string_view path) {
  Operation op(store);
  EngineResult r = op.Begin(false);
  if (r == 0) {
    CreatedObject made;
    r = CreateAtPath(op, path, attrDirectory, false, made);
    ReleaseIf(made.Object);
  }
  return op.Finish(r);
}

EngineResult PathForceCreateDirectories(ObjectStore& store, std::u16string_view path) {
  // The path with one separator before each component, and where each
  // component ends in it.
  const char16_t separator = store.volume.PathSeparator;
  std::u16string work;
  std::vector<std::size_t> ends;
  std::size_t position = 0;
  for (bool last = false; !last;) {
    std::u16string_view component;
    last = NextComponent(path, position, separator, component);
    if (component.empty()) break;
    work.push_back(separator);
    work.append(component);
    ends.push_back(work.size());
  }
  if (ends.empty()) return 0;
  // Usually all but the last directory exist (or all of them): start at the
  // end and climb only while a parent is missing, so that a deep path costs
  // one operation and not one per level. Then make what is missing below.
  const std::u16string_view whole(work);
  std::size_t made = ends.size();  // the prefix of this many components exists
  for (;;) {
    const EngineResult r = PathCreateDirectory(store, whole.substr(0, ends[made - 1]));
    if (r == 0 || r == errAlreadyExists) break;
    if ((r != errPathNotFound && r != errLinkTargetNotFound) || made == 1) return r;
    --made;
  }
  for (; made < ends.size(); ++made) {
    const EngineResult r = PathCreateDirectory(store, whole.substr(0, ends[made]));
    if (r != 0 && r != errAlreadyExists) return r;
  }
  return 0;
}

EngineResult PathIsDirectoryEmpty(ObjectStore& store, std::u16string_view path, bool& empty) {
  empty = true;
  return QueryObject(store, path, true, [&](FileObject& object, Operation& op) {
    EngineResult r = LoadEntries(object, ObjectTransaction(object, op.t));
    if (r == 0) empty = object.ChildList.empty();
    return r;
  });
}

EngineResult DeleteAtPath(ObjectStore& store, std::u16string_view path) {
  if (store.volume.Active && store.volume.ReadOnly) return errStorageReadOnly;
  Operation op(store);
  EngineResult r = op.Begin(false);
  FileObject* object = nullptr;
  if (r == 0) r = ResolveParentAndChild(op, path, false, object);
  if (r == 0 && object->IsDirectory()) {
    r = LoadEntries(*object, op.t);
    if (r == 0 && !object->ChildList.empty()) r = errDirectoryNotEmpty;
  }
  if (r == 0 && object->References.load() > 1) r = errSharingViolation;
  if (r == 0) {
    op.Event(*object, cnDeleted, path);
    r = op.Join(*object);
  }
  if (r == 0) r = DeleteObject(*object, op.t);
  // A commit destroys the deleted object: let go of it first.
  ReleaseIf(object);
  return op.Finish(r);
}

EngineResult PathDeleteFile(ObjectStore& store, std::u16string_view path) {
  return DeleteAtPath(store, path);
}

EngineResult PathRemoveDirectory(ObjectStore& store, std::u16string_view path) {
  return DeleteAtPath(store, path);
}

EngineResult MoveAtPath(ObjectStore& store, std::u16string_view oldPath,
                        std::u16string_view newPath, bool replace) {
  if (store.volume.Active && store.volume.ReadOnly) return errStorageReadOnly;
  Operation op(store);
  EngineResult r = op.Begin(false);
  ResolvedPath from, to;
  if (r == 0) r = ResolveParent(store, oldPath, op.t, from);
  if (r != 0) return op.Finish(r);
  // The second resolution starts at the root again: the first directory
  // must not stay locked meanwhile, or a parent's lock would be taken after
  // a child's. It stays referenced.
  FileObject* p1 = from.Object;
  const std::uint64_t key1 = p1->OrderingKey();
  p1->Lock.unlock();
  r = ResolveParent(store, newPath, op.t, to);
  if (r != 0) {
    ReleaseChain(*p1, false);
    return op.Finish(r);
  }
  FileObject* p2 = to.Object;
  const std::uint64_t key2 = p2->OrderingKey();
  p2->Lock.unlock();
  {
    // Two directories are locked in depth order, the shallower first, and
    // by id at equal depth, so two moves in opposite directions agree.
    FileObject* first = key1 <= key2 ? p1 : p2;
    FileObject* second = first == p1 ? p2 : p1;
    first->Lock.lock();
    second->Lock.lock();
  }
  op.Hold(p1, true);
  op.Hold(p2, true);
  r = op.Join(*p1);
  if (r == 0 && p2 != p1) r = op.Join(*p2);
  if (r == 0 && !IsValidName(to.LastComponent)) r = errInvalidFileName;
  FileObject* object = nullptr;
  if (r == 0) r = OpenChild(*p1, from.LastComponent, errFileNotFound, op.t, object);
  if (r == 0) r = op.Join(*object);
  if (r == 0 && object->IsDirectory()) {
    // Moving a directory below itself would cut it and its subtree off the tree.
    for (FileObject* d = p2; d; d = d->Parent)
      if (d == object) r = errInvalidParameter;
  }
  if (r == 0) {
    FileObject* existing = nullptr;
    r = OpenChild(*p2, to.LastComponent, errFileNotFound, op.t, existing);
    if (r == errFileNotFound) {
      r = 0;
    } else if (r == 0) {
      if (replace && existing != object) {
        r = op.Join(*existing);
        if (r == 0) r = DeleteObject(*existing, op.t);
      } else {
        r = errAlreadyExists;
      }
      ReleaseIf(existing);
    }
  }
  if (r == 0 && p1 == p2) {
    op.Event(*object, cnNameChanged, oldPath, newPath);
    r = SetName(*object, to.LastComponent, false, false, op.t);
  } else if (r == 0) {
    op.Event(*object, cnDeleted, oldPath);
    r = DetachObject(*object, op.t);
    FileObject* moved = nullptr;
    bool created = false;
    if (r == 0)
      r = CreateChild(*p2, to.LastComponent, object->Entry->Attributes, object, false, false, op.t,
                      moved, created);
    if (r == 0) r = SetParentIds(*object, p2->ObjectId(), op.t);
    if (r == 0) op.Event(*object, cnCreated, newPath);
  }
  r = op.End(r);
  const bool moved = r == 0 && p1 != p2;
  if (moved) {
    const std::int32_t others = object->References.load() - 1;
    object->Depth = p2->Depth + 1;
    if (others > 0 || object->IsDirectory()) {
      // Both walks go up to the root: nothing of the move stays locked, only
      // referenced.
      object->Lock.unlock();
      op.UnlockHeld();
      TransferReferences(p1, p2, others);
      if (object->IsDirectory()) UpdateDepths(*object);
      object->Lock.lock();
    }
  }
  ReleaseIf(object);
  return op.Finish(r);
}

EngineResult PathMoveFile(ObjectStore& store, std::u16string_view oldPath,
                          std::u16string_view newPath) {
  return MoveAtPath(store, oldPath, newPath, false);
}

EngineResult PathMoveFileReplace(ObjectStore& store, std::u16string_view oldPath,
                                 std::u16string_view newPath) {
  return MoveAtPath(store, oldPath, newPath, true);
}

// ---------------------------------------------------------- times

EngineResult PathGetFileCreationTime(ObjectStore& store, std::u16string_view path,
                                     StorageTime& time) {
  StorageTime unused = 0;
  return GetTimesAt(store, path, kTimeCreated, time, unused, unused);
}

EngineResult PathGetFileModificationTime(ObjectStore& store, std::u16string_view path,
                                         StorageTime& time) {
  StorageTime unused = 0;
  return GetTimesAt(store, path, kTimeModified, unused, time, unused);
}

EngineResult PathGetFileLastAccessTime(ObjectStore& store, std::u16string_view path,
                                       StorageTime& time) {
  StorageTime unused = 0;
  return GetTimesAt(store, path, kTimeAccessed, unused, unused, time);
}

EngineResult PathGetFileTimes(ObjectStore& store, std::u16string_view path, StorageTime& created,
                              StorageTime& modified, StorageTime& accessed) {
  return GetTimesAt(store, path, kTimeCreated | kTimeModified | kTimeAccessed, created, modified,
                    accessed);
}

EngineResult PathSetFileCreationTime(ObjectStore& store, std::u16string_view path,
                                     StorageTime time) {
  return SetTimesAt(store, path, kTimeCreated, time, 0, 0);
}

EngineResult PathSetFileModificationTime(ObjectStore& store, std::u16string_view path,
                                         StorageTime time) {
  return SetTimesAt(store, path, kTimeModified, 0, time, 0);
}

EngineResult PathSetFileLastAccessTime(ObjectStore& store, std::u16string_view path,
                                       StorageTime time) {
  return SetTimesAt(store, path, kTimeAccessed, 0, 0, time);
}

EngineResult PathSetFileTimes(ObjectStore& store, std::u16string_view path, StorageTime created,
                              StorageTime modified, StorageTime accessed) {
  return SetTimesAt(store, path, kTimeCreated | kTimeModified | kTimeAccessed, created, modified,
                    accessed);
}

// ---------------------------------------------------------- attributes

EngineResult PathGetFileAttributes(ObjectStore& store, std::u16string_view path,
                                   std::uint32_t& attributes) {
  attributes = 0;
  return QueryObject(store, path, false, [&](FileObject& object, Operation&) {
    attributes = object.Entry->Attributes;
    return 0;
  });
}

EngineResult PathSetFileAttributes(ObjectStore& store, std::u16string_view path,
                                   std::uint32_t attributes) {
  Operation op(store);
  EngineResult r = op.Begin(false);
  FileObject* object = nullptr;
  if (r == 0) r = ResolveParentAndChild(op, path, false, object);
  if (r == 0) {
    const std::uint32_t current = object->Entry->Attributes;
    if ((attributes & kEngineAttributeMask) != (current & kEngineAttributeMask)) {
      r = errInvalidParameter;
    } else {
      r = SetAttributes(
          *object, (current & kEngineAttributeMask) | (attributes & ~kEngineAttributeMask), op.t);
      if (r == 0) op.Event(*object, cnAttributesChanged, path);
    }
  }
  ReleaseIf(object);
  return op.Finish(r);
}

EngineResult PathGetFileEncryption(ObjectStore& store, std::u16string_view path,
                                   std::uint32_t& mode) {
  mode = 0;
  return QueryObject(store, path, false, [&](FileObject& object, Operation& op) {
    return ReadEncryptionSetting(object, ObjectTransaction(object, op.t), mode);
  });
}

EngineResult PathSetFileEncryption(ObjectStore& store, std::u16string_view path, std::uint32_t mode,
                                   std::span<const std::uint8_t> oldPassword,
                                   std::span<const std::uint8_t> newPassword) {
  Operation op(store);
  EngineResult r = op.Begin(false);
  FileObject* object = nullptr;
  if (r == 0) r = ResolveParentAndChild(op, path, true, object);
  if (r == 0) r = ChangeFileEncryption(*object, op.t, mode, oldPassword, newPassword, true);
  if (r == 0) op.Event(*object, cnAttributesChanged, path);
  ReleaseIf(object);
  return op.Finish(r);
}

EngineResult PathCheckFilePassword(ObjectStore& store, std::u16string_view path, std::uint32_t mode,
                                   bool anyMode, std::span<const std::uint8_t> password,
                                   bool& valid) {
  valid = false;
  return QueryObject(store, path, false, [&](FileObject& object, Operation& op) {
    Transaction* t = ObjectTransaction(object, op.t);
    if (!anyMode) {
      std::uint32_t stored = 0;
      EngineResult r = ReadEncryptionSetting(object, t, stored);
      if (r != 0 || stored != mode) return r;
    }
    return VerifyFilePassword(object, t, password, valid);
  });
}

EngineResult PathSupplyFilePassword(ObjectStore& store, std::u16string_view path,
                                    std::span<const std::uint8_t> password) {
  return QueryObject(store, path, true, [&](FileObject& object, Operation&) {
    return SupplyPassword(object, password);
  });
}

EngineResult PathGetFileCompression(ObjectStore& store, std::u16string_view path,
                                    std::uint32_t& mode, std::uint32_t& level,
                                    std::uint32_t& blockPages) {
  mode = 0;
  level = 0;
  blockPages = 1;
  return QueryObject(store, path, false, [&](FileObject& object, Operation& op) {
    return ReadCompressionSetting(object, ObjectTransaction(object, op.t), mode, level, blockPages);
  });
}

EngineResult PathSetFileCompression(ObjectStore& store, std::u16string_view path,
                                    std::uint32_t mode, std::uint32_t level,
                                    std::uint16_t blockPages,
                                    std::span<const std::uint8_t> password) {
  Operation op(store);
  EngineResult r = op.Begin(false);
  FileObject* object = nullptr;
  const bool root = NamesRoot(path, store.volume.PathSeparator);
  if (r == 0 && root) {
    object = store.Root();
    object->Lock.lock();
    object->AddRef();
    r = op.Join(*object);
  } else if (r == 0) {
    r = ResolveParentAndChild(op, path, true, object);
  }
  if (r == 0) r = ChangeFileCompression(*object, op.t, mode, level, blockPages, password, true);
  if (r == 0 && root) {
    // The volume-wide flag: new members of the root inherit it.
    const std::uint32_t current = object->Entry->Attributes;
    r = SetAttributes(*object, mode != 0 ? current | attrCompressed : current & ~attrCompressed,
                      op.t);
  }
  if (r == 0) op.Event(*object, cnAttributesChanged, path);
  ReleaseIf(object);
  return op.Finish(r);
}

// ---------------------------------------------------------- tags

EngineResult PathSetFileTag(ObjectStore& store, std::u16string_view path, std::uint16_t tagId,
                            const std::uint8_t* data, std::uint32_t size) {
  Volume& volume = store.volume;
  if (volume.Active && volume.ReadOnly) return errStorageReadOnly;
  if (!volume.Active) return errStorageNotActive;
  EngineResult r = CheckTag(volume, tagId, size);
  if (r != 0) return r;
  if (size != 0 && !data) return errInvalidParameter;
  return QueryObject(store, path, true, [&](FileObject& object, Operation&) {
    return InPrivateTransaction(
        object, [&](Transaction* own) { return SetRecord(object, tagId, data, size, own); });
  });
}

EngineResult PathGetFileTagSize(ObjectStore& store, std::u16string_view path, std::uint16_t tagId,
                                bool& present, std::uint32_t& size) {
  present = false;
  size = 0;
  if (!store.volume.Active) return errStorageNotActive;
  EngineResult r = CheckTag(store.volume, tagId, 0);
  if (r != 0) return r;
  return QueryObject(store, path, true, [&](FileObject& object, Operation& op) {
    RecordRef record;
    EngineResult found =
        FindRecord(object, tagId, 0, false, ObjectTransaction(object, op.t), record);
    if (found == 0 && record) {
      // The bound PathGetFileTag keeps: a size beyond the record's own bytes
      // is damage, never a figure a caller should size a buffer by.
      if (record.DataSize() > record.Length() - kRecordHeadSize) {
        object.volume.MarkCorrupted();
        return errStorageCorrupted;
      }
      present = true;
      size = record.DataSize();
    }
    return found;
  });
}

EngineResult PathGetFileTag(ObjectStore& store, std::u16string_view path, std::uint16_t tagId,
                            std::uint8_t* buffer, std::uint32_t& size) {
  if (!store.volume.Active) return errStorageNotActive;
  EngineResult r = CheckTag(store.volume, tagId, 0);
  if (r != 0) return r;
  return QueryObject(store, path, true, [&](FileObject& object, Operation& op) {
    RecordRef record;
    EngineResult found =
        FindRecord(object, tagId, 0, false, ObjectTransaction(object, op.t), record);
    if (found != 0) return found;
    if (!record) return errTagNotFound;
    // The record's length bounds what can be copied, whatever its DataSize says.
    const std::uint32_t tagSize = record.DataSize();
    if (tagSize > record.Length() - kRecordHeadSize) {
      object.volume.MarkCorrupted();
      return errStorageCorrupted;
    }
    const std::uint32_t room = size;
    size = tagSize;
    if (room < tagSize) return errBufferTooSmall;
    if (buffer && tagSize != 0) std::copy_n(record.data(), tagSize, buffer);
    return 0;
  });
}

EngineResult PathDeleteFileTag(ObjectStore& store, std::u16string_view path, std::uint16_t tagId) {
  Volume& volume = store.volume;
  if (volume.Active && volume.ReadOnly) return errStorageReadOnly;
  if (!volume.Active) return errStorageNotActive;
  EngineResult r = CheckTag(volume, tagId, 0);
  if (r != 0) return r;
  return QueryObject(store, path, true, [&](FileObject& object, Operation&) {
    return DeleteRecordInPrivate(object, tagId);
  });
}

// ---------------------------------------------------------- links

EngineResult PathCreateLink(ObjectStore& store, std::u16string_view path,
                            std::u16string_view target) {
  // The link and its target are made in one transaction, so a failure
  // leaves no link without a target behind.
  Operation op(store);
  EngineResult r = op.Begin(false);
  CreatedObject made;
  if (r == 0) r = CreateAtPath(op, path, attrSymLink, true, made);
  FileObject* link = made.Object;
  if (r == 0 && !made.Created && (link->Entry->Attributes & attrSymLink) == 0) r = errAlreadyExists;
  if (r == 0) r = op.Join(*link);
  if (r == 0) {
    // A link's target is stored raw, whatever its directory's compression.
    r = DeleteRecord(*link, rkCompression, 0, false, op.t);
    if (r == 0 && (link->Entry->Attributes & attrCompressed) != 0)
      r = SetAttributes(*link, link->Entry->Attributes & ~attrCompressed, op.t);
  }
  if (r == 0) {
    RecordRef record;
    r = FindRecord(*link, rkLinkTarget, 0, false, op.t, record);
    if (r == 0 && !record) {
      std::uint32_t page = 0;
      r = AddRecord(*link, rkLinkTarget, nullptr, 0, op.t, page);
    }
  }
  if (r == 0) {
    std::vector<std::uint8_t> bytes(target.size() * 2);
    for (std::size_t i = 0; i < target.size(); ++i)
      StoreU16(bytes.data() + 2 * i, static_cast<std::uint16_t>(target[i]));
    r = WriteStream(*link, op.t, bytes);
  }
  if (r == 0) {
    link->LinkTarget.assign(target);
    link->Flags |= ofLinkCached;
  }
  ReleaseIf(made.Object);
  return op.Finish(r);
}

EngineResult PathGetLinkDestination(ObjectStore& store, std::u16string_view path, char16_t* buffer,
                                    std::uint32_t& length) {
  return QueryObject(store, path, false, [&](FileObject& object, Operation& op) {
    std::u16string target;
    EngineResult r = ReadLinkTarget(object, op.t, target);
    if (r != 0) return r;
    const std::uint64_t needed = (std::uint64_t{target.size()} + 1) * 2;
    if (needed > 0xFFFFFFFFu) return errBufferTooSmall;
    const std::uint32_t room = length;
    length = static_cast<std::uint32_t>(needed);
    if (!buffer || room < needed) return errBufferTooSmall;
    std::copy(target.begin(), target.end(), buffer);
    buffer[target.size()] = u'\0';
    return 0;
  });
}

EngineResult PathGetLinkDestinationRef(ObjectStore& store, std::u16string_view path,
                                       const char16_t*& target) {
  target = nullptr;
  return QueryObject(store, path, false, [&](FileObject& object, Operation& op) {
    std::u16string text;
    EngineResult r = ReadLinkTarget(object, op.t, text);
    if (r == 0) target = object.LinkTarget.c_str();
    return r;
  });
}

EngineResult PathResolveLink(ObjectStore& store, std::u16string_view path, char16_t* buffer,
                             std::uint32_t& length) {
  Operation op(store);
  EngineResult r = op.Begin(true);
  ResolvedPath resolved;
  if (r == 0) r = ResolvePath(store, path, true, op.t, resolved, true);
  if (r == 0) {
    op.Hold(resolved.Object, true);
    const std::uint64_t needed =
        std::uint64_t{resolved.DirectoryPath.size()} + resolved.LastComponent.size() + 1;
    const std::uint32_t room = length;
    length = needed > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(needed);
    if (!buffer || room < needed) {
      r = errBufferTooSmall;
    } else {
      char16_t* at =
          std::copy(resolved.DirectoryPath.begin(), resolved.DirectoryPath.end(), buffer);
      at = std::copy(resolved.LastComponent.begin(), resolved.LastComponent.end(), at);
      *at = u'\0';
    }
  }
  return op.Finish(r);
}

// ---------------------------------------------------------- files

EngineResult PathCreateFile(ObjectStore& store, std::u16string_view path, bool read, bool write,
                            bool denyRead, bool denyWrite, std::uint32_t cipherMode,
                            std::span<const std::uint8_t> password, FileHandle*& handle,
                            bool openExisting, bool truncate, std::uint32_t tag) {
  return CreateFileAtPath(store, path, read, write, denyRead, denyWrite, cipherMode, password, 0, 0,
                          0, openExisting, truncate, tag, handle);
}

EngineResult PathCreateFileCompressed(ObjectStore& store, std::u16string_view path, bool read,
                                      bool write, bool denyRead, bool denyWrite,
                                      std::uint32_t cipherMode,
                                      std::span<const std::uint8_t> password,
                                      std::uint32_t compressionMode, std::uint32_t level,
                                      std::uint16_t blockPages, FileHandle*& handle,
                                      bool openExisting, bool truncate, std::uint32_t tag) {
  return CreateFileAtPath(store, path, read, write, denyRead, denyWrite, cipherMode, password,
                          compressionMode, level, blockPages, openExisting, truncate, tag, handle);
}

EngineResult PathOpenFile(ObjectStore& store, std::u16string_view path, bool read, bool write,
                          bool denyRead, bool denyWrite, std::span<const std::uint8_t> password,
                          FileHandle*& handle, bool truncate, std::uint32_t tag) {
  handle = nullptr;
  FileObject* object = nullptr;
  {
    Operation op(store);
    EngineResult r = op.Begin(true);
    ResolvedPath resolved;
    if (r == 0) r = ResolvePath(store, path, true, op.t, resolved);
    // Locked and referenced with its chain, which the handle takes over.
    if (r == 0) object = resolved.Object;
    r = op.Finish(r);
    if (r != 0) {
      if (object) ReleaseChain(*object, true);
      return r;
    }
  }
  return OpenObjectHandle(*object, path, read, write, denyRead, denyWrite, -1, password, truncate,
                          tag, handle);
}

EngineResult PathOpenRootFile(ObjectStore& store, FileHandle*& handle) {
  handle = nullptr;
  if (!store.volume.Active || !store.Root()) return errStorageNotActive;
  FileObject& root = *store.Root();
  root.Lock.lock();
  root.AddRef();
  bool begun = false;
  EngineResult r = BeginIfNone(root, begun);
  const char16_t separator[1] = {store.volume.PathSeparator};
  if (r == 0)
    r = OpenHandle(root, 0, std::u16string_view(separator, 1), true, true, true, true, -1, {},
                   handle);
  if (r != 0) {
    if (begun) {
      EngineResult ignored = RollbackObjectTransaction(root);
      (void)ignored;
    }
    root.Release();
    return r;
  }
  root.Lock.unlock();
  return 0;
}

}  // namespace vaultfs
