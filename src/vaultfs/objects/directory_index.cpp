// The directory index: 64-byte slots in DirectoryEntryPages on disk, long
// names in NameContinuationPage chains, and in memory the ChildList sorted
// by name order with the free slots in the order they are to be reused.
#include <algorithm>
#include <cstring>

#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/records.h"

namespace vaultfs {

using namespace layout;

// The host file's page count as it stands now (it may grow on another
// thread); defined with the space map.
std::uint32_t HostPageCountNow(Volume& volume);

namespace {

EngineResult Corrupted(Volume& volume) {
  volume.MarkCorrupted();
  return errStorageCorrupted;
}

std::uint32_t UnitsPerNamePage(const Volume& volume) {
  return volume.PayloadSize / 2;
}

void InsertSorted(FileObject& directory, EntryRef entry) {
  directory.ChildList.Insert(std::move(entry), directory.volume.CaseSensitive);
}

void RemoveFromChildList(FileObject& directory, const EntryInfo* entry) {
  directory.ChildList.Remove(entry, directory.volume.CaseSensitive);
}

}  // namespace

std::uint32_t SlotsPerPage(const Volume& volume) {
  return volume.PayloadSize / kDirectoryEntrySize;
}

char16_t SimpleLowerCase(char16_t c) {
  // Basic Latin and Latin-1.
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  // Latin Extended-A and -B: upper and lower case alternate in pairs.
  if ((c >= 0x0100 && c <= 0x012F) || (c >= 0x0132 && c <= 0x0137) ||
      (c >= 0x014A && c <= 0x0177) || (c >= 0x0182 && c <= 0x0185) ||
      (c >= 0x01A0 && c <= 0x01A5) || (c >= 0x01DE && c <= 0x01EF) ||
      (c >= 0x01F8 && c <= 0x021F) || (c >= 0x0222 && c <= 0x0233) ||
      (c >= 0x0460 && c <= 0x0481) || (c >= 0x048A && c <= 0x04BF) ||
      (c >= 0x04D0 && c <= 0x04F9) || (c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EF9))
    return (c & 1) == 0 ? static_cast<char16_t>(c + 1) : c;
  if ((c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E) ||
      (c >= 0x01CD && c <= 0x01DC) || (c >= 0x04C1 && c <= 0x04CE))
    return (c & 1) == 1 ? static_cast<char16_t>(c + 1) : c;
  if (c == 0x0178) return 0x00FF;
  // Greek.
  if (c == 0x0386) return 0x03AC;
  if (c >= 0x0388 && c <= 0x038A) return static_cast<char16_t>(c + 37);
  if (c == 0x038C) return 0x03CC;
  if (c == 0x038E || c == 0x038F) return static_cast<char16_t>(c + 63);
  if ((c >= 0x0391 && c <= 0x03A1) || (c >= 0x03A3 && c <= 0x03AB))
    return static_cast<char16_t>(c + 32);
  // Cyrillic.
  if (c >= 0x0400 && c <= 0x040F) return static_cast<char16_t>(c + 80);
  if (c >= 0x0410 && c <= 0x042F) return static_cast<char16_t>(c + 32);
  // Armenian.
  if (c >= 0x0531 && c <= 0x0556) return static_cast<char16_t>(c + 48);
  // Greek extended: capitals sit 8 above their small letters.
  if (c >= 0x1F08 && c <= 0x1F6F && (c & 0x0F) >= 8) return static_cast<char16_t>(c - 8);
  // Roman numerals, circled letters, full-width Latin.
  if (c >= 0x2160 && c <= 0x216F) return static_cast<char16_t>(c + 16);
  if (c >= 0x24B6 && c <= 0x24CF) return static_cast<char16_t>(c + 26);
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 32);
  return c;
}

int CompareNames(std::u16string_view a, std::u16string_view b, bool caseSensitive) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = a[i], y = b[i];
    if (!caseSensitive) {
      x = SimpleLowerCase(x);
      y = SimpleLowerCase(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

EngineResult ReadFullName(FileObject& directory, const DirectoryEntry& entry, Transaction* t,
                          std::u16string& name) {
  Volume& volume = directory.volume;
  const std::uint32_t length = entry.NameLength;
  name.assign(entry.NameStart, entry.NameStart + std::min(length, kNameStartUnits));
  if (length <= kNameStartUnits) {
    if (entry.NameNextPage != 0) return Corrupted(volume);
    return 0;
  }
  // A name can never be longer than every page of the volume could hold.
  if (std::uint64_t{length} >
      std::uint64_t{HostPageCountNow(volume)} * UnitsPerNamePage(volume) + 22)
    return Corrupted(volume);
  std::uint32_t remaining = length - kNameStartUnits;
  std::uint32_t page = entry.NameNextPage;
  std::uint32_t index = 0;
  while (remaining != 0 && page != 0) {
    PageRef p;
    EngineResult r = volume.GetPage(page, true, NameContinuationPage, entry.ObjectId, t, p);
    if (r != 0) return r;
    if (LoadU32(p.data() + kChainIndex) != index++) return Corrupted(volume);
    const std::uint32_t units = std::min(UnitsPerNamePage(volume), remaining);
    for (std::uint32_t i = 0; i < units; ++i)
      name.push_back(static_cast<char16_t>(LoadU16(p.data() + kPageHeaderSize + 2 * i)));
    remaining -= units;
    page = NextPageOf(p.data());
  }
  if ((remaining != 0) != (page != 0) || remaining != 0) return Corrupted(volume);
  return 0;
}

EngineResult ReadEntry(FileObject& directory, std::uint32_t slot, Transaction* t,
                       DirectoryEntry& entry, std::uint32_t& page) {
  Volume& volume = directory.volume;
  const std::uint32_t perPage = SlotsPerPage(volume);
  const std::uint32_t index = slot / perPage;
  if (index >= directory.EntryPageList.size()) return Corrupted(volume);
  page = directory.EntryPageList[index];
  PageRef p;
  EngineResult r = volume.GetPage(page, true, DirectoryEntryPage, directory.ObjectId(), t, p);
  if (r != 0) return r;
  entry = DirectoryEntry::Load(p.data() + kPageHeaderSize + kDirectoryEntrySize * (slot % perPage));
  return 0;
}

EngineResult WriteEntry(FileObject& directory, std::uint32_t slot, const DirectoryEntry& entry,
                        Transaction* t) {
  Volume& volume = directory.volume;
  const std::uint32_t perPage = SlotsPerPage(volume);
  const std::uint32_t index = slot / perPage;
  if (index >= directory.EntryPageList.size()) return Corrupted(volume);
  PageRef p;
  EngineResult r = volume.GetPage(directory.EntryPageList[index], true, DirectoryEntryPage,
                                  directory.ObjectId(), t, p);
  if (r != 0) return r;
  r = volume.MarkDirty(p.get(), t);
  if (r != 0) return r;
  entry.Store(p.data() + kPageHeaderSize + kDirectoryEntrySize * (slot % perPage));
  if (entry.ObjectId == 0) directory.FreeSlotList.push_back(slot);
  return 0;
}

void ForgetEntries(FileObject& directory) {
  // An index never loaded has led no path anywhere; one dropped may come
  // back from the pages with other names.
  const bool held = directory.Has(ofEntriesLoaded) || !directory.ChildList.empty();
  directory.ChildList.clear();
  directory.EntryPageList.clear();
  directory.FreeSlotList.clear();
  directory.Flags &= ~(ofEntriesLoaded | ofAllNamesSorted);
  if (held) directory.store.TreeChanged();
}

namespace {

using UsedSlots = std::vector<std::pair<std::uint32_t, DirectoryEntry>>;

// A writable storage keeps no slots inline: the directory record moves out
// to entry pages of its own (committed in a transaction of its own) and
// `first` becomes the first of them.
EngineResult MoveInlineSlotsOut(FileObject& directory, RecordRef& record, Transaction* t,
                                std::uint32_t& first) {
  Volume& volume = directory.volume;
  const std::uint32_t headerPage = record.PageNumber();
  record = RecordRef();
  Transaction* own = nullptr;
  EngineResult r = volume.Begin(false, own);
  if (r != 0) return r;
  r = volume.JoinObject(own, &directory);
  if (r == 0) r = MoveRecordOut(directory, headerPage, rkDirectory, own, first);
  if (r == 0) {
    r = volume.Commit(own);
  } else {
    EngineResult ignored = volume.Rollback(own, r);
    (void)ignored;
  }
  if (r != 0) return r;
  // The commit may have compacted the volume and moved the new page.
  r = FindRecord(directory, rkDirectory, 0, true, t, record);
  if (r != 0) return r;
  first = record.MovedTo();
  return 0;
}

// The used slots of a read-only directory whose slots are inline.
EngineResult ReadInlineSlots(FileObject& directory, const RecordRef& record, UsedSlots& used) {
  const std::uint32_t count = (record.Length() - kRecordHeadSize) / kDirectoryEntrySize;
  for (std::uint32_t i = 0; i < count; ++i) {
    const DirectoryEntry e = DirectoryEntry::Load(record.data() + kDirectoryEntrySize * i);
    if (e.ObjectId == 0) continue;
    if (e.HeaderPage == 0) return Corrupted(directory.volume);
    used.emplace_back(i, e);
  }
  return 0;
}

// Walks the entry pages from `first`: their numbers go to EntryPageList,
// the free slots to FreeSlotList and the used ones to `used`.
EngineResult ReadEntryPages(FileObject& directory, std::uint32_t first, Transaction* t,
                            UsedSlots& used) {
  Volume& volume = directory.volume;
  const std::uint32_t perPage = SlotsPerPage(volume);
  std::uint32_t page = first;
  std::uint32_t index = 0;
  while (page != 0) {
    if (index > HostPageCountNow(volume)) return Corrupted(volume);
    PageRef p;
    EngineResult r = volume.GetPage(page, true, DirectoryEntryPage, directory.ObjectId(), t, p);
    if (r != 0) return r;
    // Each page knows its place: a chain that loops back or skips is
    // caught at once, before the slot lists grow with it.
    if (LoadU32(p.data() + kChainIndex) != index) return Corrupted(volume);
    directory.EntryPageList.push_back(page);
    for (std::uint32_t i = 0; i < perPage; ++i) {
      const DirectoryEntry e =
          DirectoryEntry::Load(p.data() + kPageHeaderSize + kDirectoryEntrySize * i);
      const std::uint32_t slot = index * perPage + i;
      if (e.ObjectId == 0)
        directory.FreeSlotList.push_back(slot);
      else if (e.HeaderPage == 0)
        return Corrupted(volume);
      else
        used.emplace_back(slot, e);
    }
    page = NextPageOf(p.data());
    ++index;
  }
  return 0;
}

// One object is listed once in one directory. A damaged id that repeats
// would make the tree a cycle and let writes through one entry land in
// another's slot.
bool EachObjectListedOnce(const UsedSlots& used) {
  std::vector<std::uint32_t> ids;
  ids.reserve(used.size());
  for (const auto& [slot, e] : used) ids.push_back(e.ObjectId);
  std::sort(ids.begin(), ids.end());
  return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

// ChildList from the used slots, their full names read, sorted by name.
EngineResult BuildChildList(FileObject& directory, UsedSlots& used, Transaction* t) {
  std::vector<EntryRef> entries;
  entries.reserve(used.size());
  for (auto& [slot, e] : used) {
    // An object already open (for example after a roll-back rebuilt the
    // index) keeps its EntryInfo, so its back-link stays valid. One open
    // elsewhere (the root, this directory, an ancestor) is damage, as a
    // repeated id is.
    FileObject* open = directory.store.Find(e.ObjectId);
    if (open && open->Parent != &directory) return Corrupted(directory.volume);
    EntryRef info = open && open->Entry ? open->Entry : std::make_shared<EntryInfo>();
    EngineResult r = ReadFullName(directory, e, t, info->Name);
    if (r != 0) return r;
    info->ObjectId = e.ObjectId;
    info->Attributes = e.Attributes;
    info->Slot = slot;
    entries.push_back(std::move(info));
  }
  directory.ChildList.Assign(std::move(entries), directory.volume.CaseSensitive);
  return 0;
}

}  // namespace

EngineResult LoadEntries(FileObject& directory, Transaction* t) {
  if (directory.Has(ofEntriesLoaded)) return 0;
  ForgetEntries(directory);
  RecordRef record;
  EngineResult r = FindRecord(directory, rkDirectory, 0, false, t, record);
  if (r != 0) return r;
  if (!record) {
    directory.Flags |= ofEntriesLoaded;
    return 0;
  }
  UsedSlots used;
  std::uint32_t first = record.MovedTo();
  if (first == 0 && directory.volume.ReadOnly) {
    // Inline slots are only read; a writable storage moves them out first.
    r = ReadInlineSlots(directory, record, used);
  } else if (first == 0) {
    r = MoveInlineSlotsOut(directory, record, t, first);
  }
  record = RecordRef();
  if (r == 0 && first != 0) r = ReadEntryPages(directory, first, t, used);
  if (r != 0) return r;
  if (!EachObjectListedOnce(used)) {
    ForgetEntries(directory);
    return Corrupted(directory.volume);
  }
  if ((r = BuildChildList(directory, used, t)) != 0) {
    ForgetEntries(directory);
    return r;
  }
  directory.Flags |= ofEntriesLoaded | ofAllNamesSorted;
  return 0;
}

EngineResult LookupName(FileObject& directory, std::u16string_view name, Transaction* t,
                        EntryRef& entry) {
  entry.reset();
  EngineResult r = LoadEntries(directory, t);
  if (r != 0) return r;
  entry = directory.ChildList.Find(name, directory.volume.CaseSensitive);
  return 0;
}

EngineResult AllocateSlot(FileObject& directory, Transaction* t, std::uint32_t& slot) {
  Volume& volume = directory.volume;
  if (volume.ReadOnly) return errStorageReadOnly;
  EngineResult r = LoadEntries(directory, t);
  if (r != 0) return r;
  const std::uint32_t perPage = SlotsPerPage(volume);
  if (directory.EntryPageList.empty() && directory.FreeSlotList.empty()) {
    std::uint32_t headerPage = 0, first = 0;
    r = AddRecord(directory, rkDirectory, nullptr, 0, t, headerPage);
    if (r != 0) return r;
    r = MoveRecordOut(directory, headerPage, rkDirectory, t, first);
    if (r != 0) return r;
    directory.EntryPageList.push_back(first);
    for (std::uint32_t i = 0; i < perPage; ++i) directory.FreeSlotList.push_back(i);
  }
  if (directory.FreeSlotList.empty()) {
    const std::uint32_t last = directory.EntryPageList.back();
    PageRef fresh;
    r = volume.AllocateNewPage(DirectoryEntryPage, t, fresh);
    if (r != 0) return r;
    std::uint8_t* d = fresh.data();
    StoreU32(d + kPrevPage, last);
    StoreU32(d + kOwnerId, directory.ObjectId());
    StoreU32(d + kChainIndex, static_cast<std::uint32_t>(directory.EntryPageList.size()));
    StoreU16(d + kStreamKind, rkDirectory);
    PageRef previous;
    r = volume.GetPage(last, true, DirectoryEntryPage, directory.ObjectId(), t, previous);
    if (r != 0) return r;
    r = volume.MarkDirty(previous.get(), t);
    if (r != 0) return r;
    StoreU32(previous.data() + kNextPage, fresh->PageNumber);
    const std::uint32_t base = static_cast<std::uint32_t>(directory.EntryPageList.size()) * perPage;
    directory.EntryPageList.push_back(fresh->PageNumber);
    for (std::uint32_t i = 0; i < perPage; ++i) directory.FreeSlotList.push_back(base + i);
  }
  slot = directory.FreeSlotList.front();
  return 0;
}

EngineResult SetName(FileObject& object, std::u16string_view name, bool force, bool touch,
                     Transaction* t) {
  Volume& volume = object.volume;
  FileObject* parent = object.Parent;
  if (!parent || !object.Entry) return errInvalidParameter;
  EntryInfo& info = *object.Entry;
  if (!force && CompareNames(info.Name, name, volume.CaseSensitive) == 0) return 0;
  EngineResult r = 0;
  if (touch) {
    r = TouchModified(object, t);
    if (r != 0) return r;
  }
  DirectoryEntry entry;
  std::uint32_t entryPage = 0;
  r = ReadEntry(*parent, info.Slot, t, entry, entryPage);
  if (r != 0) return r;
  const std::uint32_t oldLength = entry.NameLength;
  const std::uint32_t newLength = static_cast<std::uint32_t>(name.size());
  std::fill(std::begin(entry.NameStart), std::end(entry.NameStart), u'\0');
  std::copy_n(name.begin(), std::min(newLength, kNameStartUnits), entry.NameStart);

  // Rewrite the continuation chain: reuse pages below the old length,
  // allocate beyond it, free what the new name no longer needs.
  const std::uint32_t perPage = UnitsPerNamePage(volume);
  std::uint32_t previous = 0;  // previous chain page, 0 = the entry itself
  std::uint32_t current = entry.NameNextPage;
  std::uint32_t index = 0;
  for (std::uint32_t c = kNameStartUnits; c < std::max(oldLength, newLength); c += perPage) {
    PageRef page;
    if (c < oldLength) {
      if (current == 0) return errStorageCorrupted;
      r = volume.GetPage(current, true, NameContinuationPage, info.ObjectId, t, page);
      if (r != 0) return r;
    }
    if (c >= newLength) {
      // No longer needed: cut the chain before it and free the rest.
      if (previous == 0) {
        entry.NameNextPage = 0;
      } else {
        PageRef before;
        r = volume.GetPage(previous, true, NameContinuationPage, info.ObjectId, t, before);
        if (r == 0) r = volume.MarkDirty(before.get(), t);
        if (r != 0) return r;
        StoreU32(before.data() + kNextPage, 0);
      }
      page = PageRef();
      r = volume.FreeChain(current, NameContinuationPage, info.ObjectId, t);
      if (r != 0) return r;
      break;
    }
    if (!page) {
      r = volume.AllocateNewPage(NameContinuationPage, t, page);
      if (r != 0) return r;
      StoreU32(page.data() + kOwnerId, info.ObjectId);
      StoreU32(page.data() + kChainIndex, index);
      if (previous == 0) {
        entry.NameNextPage = page->PageNumber;
      } else {
        PageRef before;
        r = volume.GetPage(previous, true, NameContinuationPage, info.ObjectId, t, before);
        if (r == 0) r = volume.MarkDirty(before.get(), t);
        if (r != 0) return r;
        StoreU32(before.data() + kNextPage, page->PageNumber);
        StoreU32(page.data() + kPrevPage, previous);
      }
    } else {
      r = volume.MarkDirty(page.get(), t);
      if (r != 0) return r;
    }
    std::uint8_t* d = page.data();
    // The first page of a chain points back to the page holding the entry,
    // wherever that entry now lives.
    if (previous == 0) StoreU32(d + kPrevPage, entryPage);
    const std::uint32_t units = std::min(perPage, newLength - c);
    std::memset(d + kPageHeaderSize, 0, volume.PayloadSize);
    for (std::uint32_t i = 0; i < units; ++i)
      StoreU16(d + kPageHeaderSize + 2 * i, static_cast<std::uint16_t>(name[c + i]));
    previous = page->PageNumber;
    current = NextPageOf(d);
    if (c + perPage >= newLength && c + perPage < oldLength) {
      // This is the new last page: cut the chain after it.
      StoreU32(d + kNextPage, 0);
      page = PageRef();
      if (current != 0) {
        r = volume.FreeChain(current, NameContinuationPage, info.ObjectId, t);
        if (r != 0) return r;
      }
      break;
    }
    ++index;
  }
  entry.NameLength = newLength;
  r = WriteEntry(*parent, info.Slot, entry, t);
  if (r != 0) return r;

  // Re-sort the entry under its new name. An entry that had none yet (one
  // just made) was out of every path's reach: naming it changes no path.
  EntryRef self = object.Entry;
  const bool renamed = !self->Name.empty();
  RemoveFromChildList(*parent, self.get());
  self->Name.assign(name.begin(), name.end());
  InsertSorted(*parent, self);
  object.Flags |= ofNameChanged;
  if (renamed) object.store.TreeChanged();
  return 0;
}

EngineResult ClearEntry(FileObject& object, Transaction* t) {
  FileObject* parent = object.Parent;
  if (!parent || !object.Entry) return errInvalidParameter;
  DirectoryEntry entry;
  std::uint32_t page = 0;
  EngineResult r = ReadEntry(*parent, object.Entry->Slot, t, entry, page);
  if (r != 0) return r;
  r = WriteEntry(*parent, object.Entry->Slot, DirectoryEntry{}, t);
  if (r != 0) return r;
  RemoveFromChildList(*parent, object.Entry.get());
  object.store.TreeChanged();
  return 0;
}

// Used by the object code when an entry leaves or joins a directory.
void InsertChild(FileObject& directory, EntryRef entry) {
  InsertSorted(directory, std::move(entry));
}
void RemoveChild(FileObject& directory, const EntryInfo* entry) {
  RemoveFromChildList(directory, entry);
  directory.store.TreeChanged();
}

}  // namespace vaultfs
