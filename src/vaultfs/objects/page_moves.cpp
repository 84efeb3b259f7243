// What the object layer does for a compaction of the volume: it locks every
// loaded object in use for the run, and keeps the page numbers its objects, their
// directory indexes, data and index page lists and cached blocks hold in step
// with the pages the compaction moves.
#include <algorithm>
#include <mutex>

#include "vaultfs/objects/file_data_state.h"
#include "vaultfs/objects/file_object.h"

namespace vaultfs {

using namespace layout;

namespace {

// A page list indexed by chain position; the position is checked first, the
// whole list searched only when it does not hold the page there.
void Replace(std::vector<std::uint32_t>& list, std::uint32_t chainIndex, std::uint32_t from,
             std::uint32_t to) {
  if (chainIndex < list.size() && list[chainIndex] == from) {
    list[chainIndex] = to;
    return;
  }
  std::replace(list.begin(), list.end(), from, to);
}

// An open file's private transaction that holds nothing yet: it belongs to
// the file's handles, and waits for them while its object is locked. (The
// cache lock, held by the caller, guards the page count.)
bool Parked(Transaction* t) {
  std::unique_lock lock(t->lock, std::try_to_lock);
  if (!lock.owns_lock() || t->IsReadOnly() || t->pageCount != 0 || !t->reserved.empty() ||
      t->objects.size() != 1)
    return false;
  const auto* owner = dynamic_cast<const FileObject*>(t->objects.front());
  return owner && owner->PrivateTransaction == t && owner->Data && !owner->Data->Handles.empty();
}

}  // namespace

void FileObject::PageMoved(std::uint16_t pageType, std::uint32_t chainIndex, std::uint32_t from,
                           std::uint32_t to) {
  switch (pageType) {
    case ObjectHeaderPage:
      if (HeaderPage == from) HeaderPage = to;
      if (saved_.HeaderPage == from) saved_.HeaderPage = to;
      return;
    case DirectoryEntryPage:
      Replace(EntryPageList, chainIndex, from, to);
      return;
    case NameContinuationPage:
      // A detached object carries its name chain to its next directory.
      if (MovedNameNextPage == from) MovedNameNextPage = to;
      return;
    default:
      break;
  }
  if (!Data) return;
  FileDataState& s = *Data;
  if (pageType == BlockIndexPage) {
    Replace(s.IndexPageList, chainIndex, from, to);
    return;
  }
  if (pageType != StreamPageType(StreamKind)) return;
  Replace(s.DataPageList, chainIndex, from, to);
  for (const auto& buffer : s.Buffers)
    std::replace(buffer->BlockPageList.begin(), buffer->BlockPageList.end(), from, to);
}

bool ObjectStore::LockForCompaction(const std::vector<Transaction*>& running) {
  // The table lock keeps objects from going away while they are tried (a
  // commit destroys the objects it deleted after unlocking them); objects
  // and transactions are never waited for, so taking them here, out of their
  // usual order, cannot deadlock.
  MutexLock lock(volume.ObjectLock);
  std::vector<FileObject*> taken;
  auto giveBack = [&taken] {
    for (auto it = taken.rbegin(); it != taken.rend(); ++it) (*it)->Lock.unlock();
    return false;
  };
  for (auto& [id, object] : objects_) {
    FileObject* o = object.get();
    if (!o->Lock.try_lock()) return giveBack();
    // An idle object (no reference, no transaction) is only taken up again
    // by an operation that begins a transaction first, which waits for the
    // compaction; it need not stay locked. Those in use (open handles and
    // their directories, registrations, the root) stay locked throughout.
    const bool idle = o->References.load() == 0 && !o->PrivateTransaction &&
                      !o->JoinedTransaction && !(o->Data && !o->Data->Handles.empty());
    if (idle)
      o->Lock.unlock();
    else
      taken.push_back(o);
  }
  for (Transaction* t : running)
    if (!Parked(t)) return giveBack();
  lockedForCompaction_ = std::move(taken);
  return true;
}

void ObjectStore::UnlockAfterCompaction() {
  for (auto it = lockedForCompaction_.rbegin(); it != lockedForCompaction_.rend(); ++it)
    (*it)->Lock.unlock();
  lockedForCompaction_.clear();
}

void ObjectStore::PageMoved(std::uint16_t pageType, std::uint32_t ownerId, std::uint32_t chainIndex,
                            std::uint32_t from, std::uint32_t to) {
  if (FileObject* object = Find(ownerId)) object->PageMoved(pageType, chainIndex, from, to);
}

}  // namespace vaultfs
