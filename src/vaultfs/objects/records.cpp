#include "vaultfs/objects/records.h"

#include <cstring>

#include "vaultfs/format/record_walk.h"
#include "vaultfs/volume/page_cipher.h"

namespace vaultfs {

using namespace layout;

// The host file's page count as it stands now (it may grow on another
// thread); defined with the space map.
std::uint32_t HostPageCountNow(Volume& volume);

namespace {

std::uint16_t UsedLengthOf(const std::uint8_t* page) {
  return LoadU16(page + kUsedLength);
}

EngineResult Corrupted(Volume& volume) {
  volume.MarkCorrupted();
  return errStorageCorrupted;
}

EngineResult GetHeaderPage(FileObject& object, std::uint32_t n, Transaction* t, PageRef& page) {
  EngineResult r = object.volume.GetPage(n, true, ObjectHeaderPage, object.ObjectId(), t, page);
  if (r != 0) return r;
  const std::uint16_t used = UsedLengthOf(page.data());
  if (used < kFirstRecord || used > object.volume.PageSize) return Corrupted(object.volume);
  return 0;
}

// Removes `length` bytes at `at` of a header page, zeroing the freed tail.
void CutBytes(std::uint8_t* page, std::uint32_t at, std::uint32_t length, std::uint32_t pageSize) {
  const std::uint16_t used = UsedLengthOf(page);
  std::memmove(page + at, page + at + length, used - at - length);
  std::memset(page + used - length, 0, pageSize - (used - length));
  StoreU16(page + kUsedLength, static_cast<std::uint16_t>(used - length));
}

}  // namespace

EngineResult FindRecord(FileObject& object, std::uint16_t kind, std::uint32_t onlyPage,
                        bool mustExist, Transaction* t, RecordRef& record) {
  record = RecordRef();
  Volume& volume = object.volume;
  std::uint32_t n = onlyPage != 0 ? onlyPage : object.HeaderPage;
  std::uint32_t steps = 0;
  while (n != 0) {
    if (++steps > HostPageCountNow(volume)) return Corrupted(volume);
    PageRef page;
    EngineResult r = GetHeaderPage(object, n, t, page);
    if (r != 0) return r;
    const std::uint8_t* d = page.data();
    // GetHeaderPage vetted UsedLength; every record before it must be whole.
    const RecordWalkEnd walk = ForEachRecord(
        d, UsedLengthOf(d), [&](const RecordHead& head) { return head.Kind != kind; });
    if (walk.Stop == RecordAt::kRecord) {
      record.page = std::move(page);
      record.offset = walk.Offset;
      return 0;
    }
    if (!walk.Clean()) return Corrupted(volume);
    if (onlyPage != 0) break;
    n = NextPageOf(d);
  }
  return mustExist ? Corrupted(volume) : 0;
}

EngineResult ResizeRecord(FileObject& object, RecordRef& record, std::uint32_t newSize,
                          Transaction* t) {
  Volume& volume = object.volume;
  std::uint8_t* page = record.page.data();
  std::uint8_t* head = record.head();
  const std::uint32_t oldLength = LoadU16(head + kRecordLength);
  const std::uint32_t newLength = newSize + kRecordHeadSize;
  const std::uint32_t used = UsedLengthOf(page);
  const std::uint32_t after = record.offset + oldLength;
  if (newLength > oldLength && used + (newLength - oldLength) >= volume.PageSize)
    return errInvalidParameter;
  EngineResult r = volume.MarkDirty(record.page.get(), t);
  if (r != 0) return r;
  std::memmove(page + record.offset + newLength, page + after, used - after);
  const std::uint32_t newUsed = used - oldLength + newLength;
  if (newUsed < used) std::memset(page + newUsed, 0, volume.PageSize - newUsed);
  if (newLength > oldLength)
    std::memset(page + after, 0, newLength - oldLength);  // new data bytes start as zeros
  StoreU16(page + kUsedLength, static_cast<std::uint16_t>(newUsed));
  StoreU16(head + kRecordLength, static_cast<std::uint16_t>(newLength));
  StoreU32(head + kRecordDataSize, newSize);
  return 0;
}

EngineResult MoveRecordOut(FileObject& object, std::uint32_t headerPage, std::uint16_t kind,
                           Transaction* t, std::uint32_t& newPage) {
  newPage = 0;
  Volume& volume = object.volume;
  RecordRef record;
  EngineResult r = FindRecord(object, kind, headerPage, false, t, record);
  if (r != 0) return r;
  if (!record) return errTagNotFound;
  if (record.MovedTo() != 0) {
    newPage = record.MovedTo();
    return 0;
  }
  PageRef stream;
  r = volume.AllocateNewPage(StreamPageType(kind), t, stream);
  if (r != 0) return r;
  std::uint8_t* s = stream.data();
  StoreU32(s + kPrevPage, record.PageNumber());
  StoreU32(s + kOwnerId, LoadU32(record.page.data() + kOwnerId));
  StoreU16(s + kStreamKind, kind);
  if (kind == object.StreamKind)
    StoreU16(s + kUsedBytes, static_cast<std::uint16_t>(record.DataSize() & 0xFFFF));
  const std::uint32_t dataLength = record.Length() - kRecordHeadSize;
  std::memcpy(s + kPageHeaderSize, record.data(), dataLength);
  // Shrink the record to its head.
  r = volume.MarkDirty(record.page.get(), t);
  if (r != 0) return r;
  std::uint8_t* page = record.page.data();
  CutBytes(page, record.offset + kRecordHeadSize, dataLength, volume.PageSize);
  StoreU16(record.head() + kRecordLength, kRecordHeadSize);
  StoreU32(record.head() + kRecordMovedTo, stream->PageNumber);
  newPage = stream->PageNumber;
  return 0;
}

EngineResult MakeRoom(FileObject& object, std::uint32_t headerPage, std::uint16_t keepKind,
                      std::uint32_t needed, Transaction* t, bool& room) {
  room = false;
  Volume& volume = object.volume;
  // A file's raw block 0 kept inline is enciphered under the file key as one
  // unit of its own length. Moved into a data page it would be read back as
  // a raw page enciphered to its end, and the bytes behind it, which no key
  // ever touched, would come back as noise wherever the file's size reaches
  // past them. Only the file data layer, which holds the key, may move it;
  // here it stays, and the record that needs the room goes to another
  // header page. (A compressed block is safe to move: its page keeps the
  // stored length, and nothing behind that is read.)
  bool dataCiphered = false;
  {
    RecordRef encryption;
    EngineResult r = FindRecord(object, rkFileEncryption, 0, false, t, encryption);
    if (r != 0) return r;
    // Its data starts with the u32 mode.
    dataCiphered = encryption && encryption.Length() - kRecordHeadSize >= sizeof(std::uint32_t) &&
                   NormalizeEncryption(LoadU32(encryption.data())) != ecNoEncryption;
  }
  auto movable = [&](const std::uint8_t* head) {
    const std::uint16_t kind = LoadU16(head + kRecordKind);
    return IsMovableKind(kind) && kind != keepKind && LoadU32(head + kRecordMovedTo) == 0 &&
           !(kind == rkFileData && dataCiphered && LoadU32(head + kRecordDataSize) == 0);
  };
  PageRef page;
  EngineResult r = GetHeaderPage(object, headerPage, t, page);
  if (r != 0) return r;
  const std::uint8_t* d = page.data();
  const std::uint32_t used = UsedLengthOf(d);
  std::uint32_t available = volume.PageSize - used;
  const RecordWalkEnd walk = ForEachRecord(d, used, [&](const RecordHead& head) {
    if (movable(d + head.Offset)) available += head.Length - kRecordHeadSize;
  });
  if (!walk.Clean()) return Corrupted(volume);
  // A page is never filled to its last byte: UsedLength is 16 bits wide and
  // a full 64 KiB page would wrap it to 0.
  if (available <= needed) return 0;
  while (volume.PageSize - UsedLengthOf(page.data()) <= needed) {
    const std::uint8_t* p = page.data();
    std::uint16_t victim = 0xFFFF;
    ForEachRecord(p, UsedLengthOf(p), [&](const RecordHead& head) {
      if (!movable(p + head.Offset) || head.Length <= kRecordHeadSize) return true;
      victim = head.Kind;
      return false;
    });
    if (victim == 0xFFFF) return 0;
    std::uint32_t moved = 0;
    r = MoveRecordOut(object, headerPage, victim, t, moved);
    if (r != 0) return r;
  }
  room = true;
  return 0;
}

EngineResult AddRecord(FileObject& object, std::uint16_t kind, const std::uint8_t* data,
                       std::uint32_t size, Transaction* t, std::uint32_t& headerPage) {
  headerPage = 0;
  Volume& volume = object.volume;
  if (size > MaxRecordData(volume.PageSize)) return errInvalidParameter;
  RecordRef existing;
  EngineResult r = FindRecord(object, kind, 0, false, t, existing);
  if (r != 0) return r;
  if (existing) return errTagExists;
  existing = RecordRef();
  const std::uint32_t length = size + kRecordHeadSize;
  std::uint32_t n = object.HeaderPage;
  std::uint32_t last = 0, lastIndex = 0, steps = 0;
  PageRef target;
  while (n != 0) {
    if (++steps > HostPageCountNow(volume)) return Corrupted(volume);
    PageRef page;
    r = GetHeaderPage(object, n, t, page);
    if (r != 0) return r;
    bool fits = UsedLengthOf(page.data()) + length < volume.PageSize;
    if (!fits) {
      r = MakeRoom(object, n, kind, length, t, fits);
      if (r != 0) return r;
    }
    if (fits) {
      target = std::move(page);
      break;
    }
    last = n;
    lastIndex = LoadU32(page.data() + kChainIndex);
    n = NextPageOf(page.data());
  }
  if (!target) {
    // Append a header page to the chain.
    r = volume.AllocateNewPage(ObjectHeaderPage, t, target);
    if (r != 0) return r;
    std::uint8_t* p = target.data();
    StoreU32(p + kPrevPage, last);
    StoreU32(p + kOwnerId, object.ObjectId());
    StoreU32(p + kChainIndex, lastIndex + 1);
    StoreU32(p + kParentId, object.Parent ? object.Parent->ObjectId() : 0);
    StoreU16(p + kUsedLength, kFirstRecord);
    PageRef previous;
    r = GetHeaderPage(object, last, t, previous);
    if (r != 0) return r;
    r = volume.MarkDirty(previous.get(), t);
    if (r != 0) return r;
    StoreU32(previous.data() + kNextPage, target->PageNumber);
  }
  r = volume.MarkDirty(target.get(), t);
  if (r != 0) return r;
  std::uint8_t* p = target.data();
  const std::uint16_t used = UsedLengthOf(p);
  std::uint8_t* head = p + used;
  StoreU16(head + kRecordKind, kind);
  StoreU16(head + kRecordLength, static_cast<std::uint16_t>(length));
  StoreU32(head + kRecordDataSize, size);
  StoreU32(head + kRecordMovedTo, 0);
  if (size != 0) std::memcpy(head + kRecordHeadSize, data, size);
  StoreU16(p + kUsedLength, static_cast<std::uint16_t>(used + length));
  headerPage = target->PageNumber;
  return 0;
}

EngineResult DeleteRecord(FileObject& object, std::uint16_t kind, std::uint32_t onlyPage,
                          bool mustExist, Transaction* t) {
  RecordRef record;
  EngineResult r = FindRecord(object, kind, onlyPage, false, t, record);
  if (r != 0) return r;
  if (!record) return mustExist ? errTagNotFound : 0;
  r = object.volume.MarkDirty(record.page.get(), t);
  if (r != 0) return r;
  CutBytes(record.page.data(), record.offset, record.Length(), object.volume.PageSize);
  return 0;
}

EngineResult SetRecord(FileObject& object, std::uint16_t kind, const std::uint8_t* data,
                       std::uint32_t size, Transaction* t) {
  Volume& volume = object.volume;
  if (size > MaxRecordData(volume.PageSize)) return errInvalidParameter;
  RecordRef record;
  EngineResult r = FindRecord(object, kind, 0, false, t, record);
  if (r != 0) return r;
  if (!record) {
    std::uint32_t page = 0;
    return AddRecord(object, kind, data, size, t, page);
  }
  const std::uint32_t current = record.Length() - kRecordHeadSize;
  bool fits = size <= current;
  if (!fits) {
    const std::uint32_t pageNumber = record.PageNumber();
    record = RecordRef();
    r = MakeRoom(object, pageNumber, kind, size - current, t, fits);
    if (r != 0) return r;
    // Moving other records out may have shifted this one.
    r = FindRecord(object, kind, pageNumber, true, t, record);
    if (r != 0) return r;
  }
  if (!fits) {
    const std::uint32_t pageNumber = record.PageNumber();
    record = RecordRef();
    r = DeleteRecord(object, kind, pageNumber, true, t);
    if (r != 0) return r;
    std::uint32_t page = 0;
    return AddRecord(object, kind, data, size, t, page);
  }
  if (size != current) {
    r = ResizeRecord(object, record, size, t);
    if (r != 0) return r;
  } else {
    r = volume.MarkDirty(record.page.get(), t);
    if (r != 0) return r;
  }
  if (size != 0) std::memcpy(record.data(), data, size);
  return 0;
}

EngineResult ReadRecord(FileObject& object, std::uint16_t kind, Transaction* t,
                        std::vector<std::uint8_t>& data, std::uint32_t* dataSize,
                        std::uint32_t* movedTo, std::uint32_t* headerPage) {
  RecordRef record;
  EngineResult r = FindRecord(object, kind, 0, false, t, record);
  if (r != 0) return r;
  if (!record) return errTagNotFound;
  data.assign(record.data(), record.data() + (record.Length() - kRecordHeadSize));
  if (dataSize) *dataSize = record.DataSize();
  if (movedTo) *movedTo = record.MovedTo();
  if (headerPage) *headerPage = record.PageNumber();
  return 0;
}

EngineResult ListTags(FileObject& object, Transaction* t,
                      std::vector<std::pair<std::uint16_t, std::uint32_t>>& tags) {
  tags.clear();
  Volume& volume = object.volume;
  std::uint32_t n = object.HeaderPage;
  std::uint32_t steps = 0;
  while (n != 0) {
    if (++steps > HostPageCountNow(volume)) return Corrupted(volume);
    PageRef page;
    EngineResult r = GetHeaderPage(object, n, t, page);
    if (r != 0) return r;
    const std::uint8_t* d = page.data();
    const RecordWalkEnd walk = ForEachRecord(d, UsedLengthOf(d), [&](const RecordHead& head) {
      if (head.Kind >= kFirstTagKind && head.Kind <= kLastTagKind)
        tags.emplace_back(head.Kind, head.DataSize);
    });
    if (!walk.Clean()) return Corrupted(volume);
    n = NextPageOf(d);
  }
  return 0;
}

}  // namespace vaultfs
