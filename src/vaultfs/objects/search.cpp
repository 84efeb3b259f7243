// Searches over one directory's ChildList with wildcard masks.
#include "vaultfs/objects/search.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/records.h"

namespace vaultfs {

using namespace layout;

namespace {

// Positions before the first entry: "." and "..".
constexpr std::int32_t kDotPosition = -2;
// Any position below the dot entries: nothing more to report.
constexpr std::int32_t kFinished = -3;

constexpr std::uint32_t kTimesAndSize = sfTimesAndSize | sfTimesAndSizeToo;

}  // namespace

struct SearchHandle {
  explicit SearchHandle(ObjectStore& owner) : store(owner) {}

  ObjectStore& store;
  Transaction* t = nullptr;         // read-only, open for the whole search
  FileObject* Directory = nullptr;  // referenced with its chain, unlocked between calls
  std::u16string DirectoryPath;     // ends with a separator
  std::u16string Mask;
  std::uint32_t AttributeMask = 0;
  std::uint32_t Flags = 0;
  // Reads the records of an entry that has no open object, without opening one.
  std::unique_ptr<FileObject> Scratch;
  std::int32_t Position = 0;
  // The entry reported last (0: none yet, or only "." and ".."). The next
  // call goes on right after it, wherever the directory's changes moved it.
  std::uint32_t LastId = 0;
  std::u16string LastName;
  std::uint32_t Tag = 0;
  // On the store's list of open searches; false once the volume ended it.
  bool Listed = false;
};

namespace {

// A directory with an open handle keeps its pages in its private transaction.
Transaction* ReadTransaction(FileObject& object, Transaction* t) {
  return object.PrivateTransaction ? object.PrivateTransaction : t;
}

bool HasWildcards(std::u16string_view mask) {
  return mask.find_first_of(u"?*") != std::u16string_view::npos;
}

// Index of the first entry whose name sorts after `name`.
std::int32_t PositionAfter(const FileObject& directory, std::u16string_view name) {
  return static_cast<std::int32_t>(
      directory.ChildList.UpperBound(name, directory.volume.CaseSensitive));
}

// Index of the entry named exactly `name`, or -1.
std::int32_t PositionOf(const FileObject& directory, std::u16string_view name) {
  const bool caseSensitive = directory.volume.CaseSensitive;
  const std::size_t at = directory.ChildList.LowerBound(name, caseSensitive);
  if (at == directory.ChildList.size() ||
      CompareNames(directory.ChildList[at]->Name, name, caseSensitive) != 0)
    return -1;
  return static_cast<std::int32_t>(at);
}

// Times and size from the object's rkObjectInfo; a missing record gives zeros.
EngineResult ReadInfo(FileObject& object, Transaction* t, SearchRecord& record) {
  RecordRef info;
  EngineResult r = FindRecord(object, rkObjectInfo, object.HeaderPage, false, t, info);
  if (r != 0 || !info) return r;
  if (info.Length() < kObjectInfoLength) {
    object.volume.MarkCorrupted();
    return errStorageCorrupted;
  }
  record.Created = LoadDouble(info.head() + kInfoCreated);
  record.Modified = LoadDouble(info.head() + kInfoModified);
  record.Accessed = LoadDouble(info.head() + kInfoAccessed);
  // An open file's size may be ahead of its record until the next flush.
  record.Size = object.Size != kUnknownSize
                    ? object.Size
                    : (LoadU32(info.head() + kInfoSizeLow) |
                       (std::uint64_t{LoadU32(info.head() + kInfoSizeHigh)} << 32));
  return 0;
}

// Fills the record with a candidate: an entry, or "." / ".." (entry none).
EngineResult Fill(SearchHandle& search, SearchRecord& record, const EntryInfo* entry,
                  std::u16string_view name, std::uint32_t attributes) {
  record.Attributes = attributes;
  record.Name.assign(name);
  record.FullPath.clear();
  if (search.Flags & sfFullPath) {
    record.FullPath.reserve(search.DirectoryPath.size() + name.size());
    record.FullPath.assign(search.DirectoryPath).append(name);
  }
  record.Created = record.Modified = record.Accessed = 0;
  record.Size = 0;
  if ((search.Flags & kTimesAndSize) == 0) return 0;

  FileObject& directory = *search.Directory;
  EngineResult r = 0;
  if (!entry) {
    // "." and ".." report the directory itself, which is locked already.
    r = ReadInfo(directory, ReadTransaction(directory, search.t), record);
  } else if (FileObject* open = entry->Object) {
    open->Lock.lock();
    open->AddRef();
    r = ReadInfo(*open, ReadTransaction(*open, search.t), record);
    open->Release();
  } else {
    DirectoryEntry slot;
    std::uint32_t page = 0;
    r = ReadEntry(directory, entry->Slot, ReadTransaction(directory, search.t), slot, page);
    if (r == 0 && (slot.ObjectId != entry->ObjectId || slot.HeaderPage == 0)) {
      directory.volume.MarkCorrupted();
      r = errStorageCorrupted;
    }
    if (r == 0) {
      if (!search.Scratch) {
        search.Scratch = std::make_unique<FileObject>(search.store);
        search.Scratch->Entry = std::make_shared<EntryInfo>();
      }
      FileObject& scratch = *search.Scratch;
      std::scoped_lock lock(scratch.Lock);
      scratch.Entry->ObjectId = slot.ObjectId;
      scratch.Entry->Attributes = slot.Attributes;
      scratch.HeaderPage = slot.HeaderPage;
      scratch.Size = kUnknownSize;
      r = ReadInfo(scratch, search.t, record);
    }
  }
  if (r != 0) {
    record.FullPath.clear();
    record.Name.clear();
  }
  return r;
}

}  // namespace

SearchRecord::~SearchRecord() {
  SearchClose(*this);
}

bool MatchMask(std::u16string_view name, std::u16string_view mask, bool caseSensitive) {
  auto same = [caseSensitive](char16_t a, char16_t b) {
    return caseSensitive ? a == b : SimpleLowerCase(a) == SimpleLowerCase(b);
  };
  std::size_t n = 0, m = 0;
  bool match = true;
  bool dotSeen = false;
  bool haveStar = false;
  std::size_t star = 0, skipped = 0;
  while (match && n < name.size()) {
    if (name[n] == u'.') dotSeen = true;
    const bool maskLeft = m < mask.size();
    if (maskLeft && mask[m] == u'?') {
      ++n;
      ++m;
    } else if (maskLeft && mask[m] == u'*') {
      haveStar = true;
      star = m;
      skipped = 0;
      ++m;
      // Wildcards right after the '*': each '?' takes one unit.
      while (m < mask.size()) {
        if (mask[m] == u'?') {
          if (n >= name.size()) break;
          ++n;
          ++skipped;
          ++m;
        } else if (mask[m] == u'*') {
          ++m;
        } else {
          break;
        }
      }
      // The '*' swallows units up to the next one the mask asks for.
      while (n < name.size() && !(m < mask.size() && same(name[n], mask[m]))) ++n;
    } else if (maskLeft && same(mask[m], name[n])) {
      ++n;
      ++m;
    } else if (haveStar) {
      // Let the last '*' swallow more: back to it, with the name where the
      // '?'s after it began, so the unit that failed is tried again.
      m = star;
      n -= skipped;
    } else {
      match = false;
    }
  }
  if (!match) return false;
  while (m < mask.size() && mask[m] == u'*') ++m;
  if (mask.size() - m == 2 && mask[m] == u'.' && mask[m + 1] == u'*') m += 2;
  if (!dotSeen && mask.size() - m == 1 && mask[m] == u'.') ++m;
  return m == mask.size();
}

EngineResult SearchFirst(ObjectStore& store, SearchRecord& record, std::u16string_view path,
                         std::uint32_t attributeMask, std::uint32_t flags, std::uint32_t tag) {
  // A record used again lets its earlier search go first.
  SearchClose(record);
  record.Attributes = 0;
  record.Created = record.Modified = record.Accessed = 0;
  record.Size = 0;
  Volume& volume = store.volume;
  if (!volume.Active || !store.Root()) return errStorageNotActive;
  if (!volume.StorageUnlocked) return errInvalidPassword;
  Transaction* t = nullptr;
  EngineResult r = volume.Begin(true, t);
  if (r != 0) return r;
  ResolvedPath resolved;
  r = ResolveParent(store, path, t, resolved);
  if (r != 0) {
    volume.EndReadOnly(t);
    return r;
  }
  FileObject& directory = *resolved.Object;
  const bool wildcards = HasWildcards(resolved.LastComponent);
  std::int32_t position =
      (flags & sfDotEntries) != 0 && &directory != store.Root() ? kDotPosition : 0;
  r = LoadEntries(directory, ReadTransaction(directory, t));
  if (r == 0 && directory.ChildList.empty() && (flags & sfDotEntries) == 0) r = errNoMoreFiles;
  if (r == 0 && !wildcards) {
    position = PositionOf(directory, resolved.LastComponent);
    if (position < 0) r = errNoMoreFiles;
  }
  if (r != 0) {
    ReleaseChain(directory, true);
    volume.EndReadOnly(t);
    return r;
  }
  auto search = std::make_unique<SearchHandle>(store);
  search->t = t;
  search->Directory = &directory;
  search->DirectoryPath = std::move(resolved.DirectoryPath);
  search->Mask = std::move(resolved.LastComponent);
  search->AttributeMask = attributeMask;
  search->Flags = flags;
  search->Position = position;
  search->Tag = tag;
  directory.Lock.unlock();  // it stays referenced
  {
    MutexLock handles(volume.HandleLock);
    store.Searches.push_back(search.get());
    search->Listed = true;
  }
  record.Handle = search.release();
  r = SearchNext(record);
  if (r != 0) {
    // Nothing may stay open behind a failed first call.
    SearchClose(record);
    return r;
  }
  // An exact name yields at most its one entry.
  if (!wildcards) record.Handle->Position = kFinished;
  return 0;
}

EngineResult SearchNext(SearchRecord& record) {
  SearchHandle* search = record.Handle;
  if (!search) return errNoMoreFiles;
  if (!search->Directory) return errHandleClosed;
  bool exhausted = search->Position < kDotPosition;
  if (!exhausted) {
    FileObject& directory = *search->Directory;
    std::scoped_lock lock(directory.Lock);
    // A roll-back elsewhere may have made the directory forget its index.
    EngineResult r = LoadEntries(directory, ReadTransaction(directory, search->t));
    if (r != 0) return r;
    const auto& list = directory.ChildList;
    const auto count = static_cast<std::int32_t>(list.size());
    if (search->Position >= 0 && search->LastId != 0) {
      const std::int32_t before = search->Position - 1;
      if (before < 0 || before >= count || list[before]->ObjectId != search->LastId)
        search->Position = PositionAfter(directory, search->LastName);
    }
    const bool caseSensitive = directory.volume.CaseSensitive;
    for (;; ++search->Position) {
      const EntryInfo* entry = nullptr;
      std::u16string_view name;
      std::uint32_t attributes = attrDirectory;
      if (search->Position < 0) {
        name = search->Position == kDotPosition ? u"." : u"..";
      } else if (search->Position < count) {
        entry = list[search->Position].get();
        name = entry->Name;
        attributes = entry->Attributes;
      } else {
        exhausted = true;
        break;
      }
      if ((attributes & search->AttributeMask) == 0 ||
          !MatchMask(name, search->Mask, caseSensitive))
        continue;
      r = Fill(*search, record, entry, name, attributes);
      if (r != 0) return r;
      ++search->Position;
      if (entry) {
        search->LastId = entry->ObjectId;
        search->LastName = entry->Name;
      }
      return 0;
    }
  }
  SearchClose(record);
  return errNoMoreFiles;
}

namespace {

// Gives back what a search holds in the volume. The caller has taken it off
// the store's list.
void EndSearch(SearchHandle& search) {
  if (search.Directory) ReleaseChain(*search.Directory, false);
  if (search.t) search.store.volume.EndReadOnly(search.t);
  search.Directory = nullptr;
  search.t = nullptr;
  search.Scratch.reset();
}

}  // namespace

void SearchClose(SearchRecord& record) {
  if (SearchHandle* search = std::exchange(record.Handle, nullptr)) {
    // A search the volume ended at its close must not touch the store,
    // which may be gone by now.
    if (search->Listed) {
      {
        MutexLock handles(search->store.volume.HandleLock);
        auto& list = search->store.Searches;
        list.erase(std::remove(list.begin(), list.end(), search), list.end());
        search->Listed = false;
      }
      EndSearch(*search);
    }
    delete search;
  }
  record.FullPath.clear();
  record.Name.clear();
}

void CloseAllSearches(ObjectStore& store) {
  std::vector<SearchHandle*> open;
  {
    MutexLock handles(store.volume.HandleLock);
    open.swap(store.Searches);
    for (SearchHandle* search : open) search->Listed = false;
  }
  // Outside the handle lock: ending a search locks objects, which rank above it.
  for (SearchHandle* search : open) EndSearch(*search);
}

}  // namespace vaultfs
