// The data stream of an object: blocks kept inline in the stream record or in
// a chain of data pages (listed by a block index once the chain grows), the
// buffers through which every read and write goes, and the data end and size.
//
// A block k covers stream bytes k * BlockCapacity onwards and its stored form
// lives in page indices k * BlockPages onwards (raw data therefore lies page by
// page whatever the block size). Blocks are materialised from 0 up to DataEnd;
// bytes between DataEnd and Size read as zeros.
//
// Invariant kept for every block in memory: its valid length is
// min(BlockCapacity, DataEnd - BlockStart), anything the stored form lacks
// being zeros. Reads and writes inside DataEnd can therefore always use the
// buffer's bytes directly.
#include <algorithm>
#include <cstring>
#include <new>

#include "vaultfs/objects/file_data_state.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/storage_time.h"
#include "vaultfs/util/worker_pool.h"

namespace vaultfs {

using namespace layout;

// The host file's page count as it stands now (it may grow on another
// thread); defined with the space map.
std::uint32_t HostPageCountNow(Volume& volume);

namespace {

// The data page list gets a block index when it holds more entries than this...
constexpr std::size_t kMaxUnindexedEntries = 16;
// ...and loses it again when it holds fewer than this.
constexpr std::size_t kMinIndexedEntries = 8;
// Inline stored forms are padded to whole cipher units.
constexpr std::uint32_t kInlineUnit = 32;
constexpr std::uint64_t kAllPages = ~std::uint64_t{0};
// Spare buffers kept per object once no block uses them.
constexpr std::size_t kMaxSpareBuffers = 2;

EngineResult Corrupted(Volume& volume) {
  volume.MarkCorrupted();
  return errStorageCorrupted;
}

void Keep(EngineResult& first, EngineResult r) {
  if (first == 0) first = r;
}

std::uint16_t DataPageType(const FileObject& object) {
  return StreamPageType(object.StreamKind);
}

const CustomCodecCallbacks* Codec(const FileObject& object) {
  return static_cast<const CustomCodecCallbacks*>(object.store.CustomCodec);
}

std::uint32_t BlockCapacityOf(const FileObject& object) {
  return object.Data->BlockPages * object.volume.PayloadSize;
}

std::uint32_t EntryAt(const FileDataState& s, std::uint64_t index) {
  return index < s.DataPageList.size() ? s.DataPageList[index] : 0;
}

void TrimList(std::vector<std::uint32_t>& list) {
  while (!list.empty() && list.back() == 0) list.pop_back();
}

void SetEntry(FileDataState& s, std::uint64_t index, std::uint32_t page) {
  if (page == 0) {
    if (index < s.DataPageList.size()) s.DataPageList[index] = 0;
    TrimList(s.DataPageList);
    return;
  }
  if (index >= s.DataPageList.size()) s.DataPageList.resize(index + 1, 0);
  s.DataPageList[index] = page;
}

bool ListComplete(const FileObject& object) {
  return object.Has(ofPageListComplete) && !object.Data->DataPageList.empty();
}

EngineResult Encipher(FileObject& object, std::uint8_t* data, std::uint32_t size,
                      std::uint32_t pageIndex) {
  PageCipher* key = object.Data->WriteCipher.Key.get();
  if (!key || size == 0) return 0;
  Volume& v = object.volume;
  return key->Encipher(data, size, v.TweakWord(object.ObjectId()), v.TweakWord(pageIndex));
}

EngineResult Decipher(FileObject& object, std::uint8_t* data, std::uint32_t size,
                      std::uint32_t pageIndex) {
  PageCipher* key = object.Data->ReadCipher.Key.get();
  if (!key || size == 0) return 0;
  Volume& v = object.volume;
  EngineResult r =
      key->Decipher(data, size, v.TweakWord(object.ObjectId()), v.TweakWord(pageIndex));
  // A length the cipher cannot take comes from a damaged record.
  return r == errInvalidParameter ? Corrupted(v) : r;
}

EngineResult GetDataPageRef(FileObject& object, std::uint32_t n, Transaction* t, PageRef& page) {
  Volume& v = object.volume;
  if (n == 0 || n >= HostPageCountNow(v)) return Corrupted(v);
  return v.GetPage(n, true, DataPageType(object), object.ObjectId(), t, page);
}

EngineResult FreePageChecked(FileObject& object, std::uint32_t n, std::uint16_t type,
                             Transaction* t) {
  Volume& v = object.volume;
  if (n == 0 || n >= HostPageCountNow(v)) return Corrupted(v);
  PageRef page;
  EngineResult r = v.GetPage(n, true, type, object.ObjectId(), t, page);
  if (r != 0) return r;
  return v.DeletePage(page.Detach(), t);
}

// ------------------------------------------------------------- page lists

EngineResult LoadFromIndex(FileObject& object, std::uint32_t first) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  s.DataPageList.clear();
  s.IndexPageList.clear();
  const std::uint32_t perPage = v.PayloadSize / 4;
  std::uint32_t n = first;
  std::uint32_t chainIndex = 0;
  while (n != 0) {
    if (n >= HostPageCountNow(v) || chainIndex > HostPageCountNow(v)) {
      s.DataPageList.clear();
      s.IndexPageList.clear();
      return Corrupted(v);
    }
    PageRef page;
    EngineResult r = v.GetPage(n, true, BlockIndexPage, object.ObjectId(), nullptr, page);
    if (r == 0 && LoadU32(page.data() + kChainIndex) != chainIndex) r = Corrupted(v);
    if (r != 0) {
      s.DataPageList.clear();
      s.IndexPageList.clear();
      return r;
    }
    s.IndexPageList.push_back(n);
    const std::uint8_t* entries = page.data() + kPageHeaderSize;
    for (std::uint32_t e = 0; e < perPage; ++e) {
      const std::uint32_t value = LoadU32(entries + 4 * e);
      if (value >= HostPageCountNow(v)) {
        s.DataPageList.clear();
        s.IndexPageList.clear();
        return Corrupted(v);
      }
      s.DataPageList.push_back(value);
    }
    n = NextPageOf(page.data());
    ++chainIndex;
  }
  TrimList(s.DataPageList);
  object.Flags |= ofPageListComplete;
  return 0;
}

// Makes the list cover page index `x` (kAllPages: the whole stream).
EngineResult LoadPageList(FileObject& object, std::uint64_t x) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  if (ListComplete(object)) return 0;
  if (x != kAllPages && s.DataPageList.size() > x) return 0;
  if (s.DataPageList.empty()) object.Flags &= ~ofPageListComplete;

  if (object.StreamKind != rkRootData && s.DataPageList.empty()) {
    RecordRef index;
    EngineResult r = FindRecord(object, rkBlockIndex, 0, false, nullptr, index);
    if (r != 0) return r;
    if (index && index.MovedTo() != 0) {
      const std::uint32_t first = index.MovedTo();
      index = RecordRef();
      return LoadFromIndex(object, first);
    }
  }

  std::uint32_t next = 0;
  std::uint64_t previous = 0;
  bool first = s.DataPageList.empty();
  if (first) {
    RecordRef stream;
    EngineResult r = FindRecord(object, object.StreamKind, 0, false, nullptr, stream);
    if (r != 0) return r;
    if (!stream || stream.MovedTo() == 0) return 0;  // inline: no pages
    next = stream.MovedTo();
  } else {
    previous = s.DataPageList.size() - 1;  // trimmed: the last entry is a page
    PageRef last;
    EngineResult r = GetDataPageRef(object, s.DataPageList.back(), nullptr, last);
    if (r != 0) return r;
    next = NextPageOf(last.data());
  }
  // Consecutive pages of a chain are at most one block apart; anything else
  // is damage (and must not make the list grow without bound).
  const std::uint64_t maxStep = std::max<std::uint32_t>(s.BlockPages, 1);
  std::uint32_t steps = 0;
  while (next != 0) {
    if (++steps > HostPageCountNow(v)) return Corrupted(v);
    PageRef page;
    EngineResult r = GetDataPageRef(object, next, nullptr, page);
    if (r != 0) return r;
    const std::uint64_t index = LoadU32(page.data() + kChainIndex);
    if (first ? index != 0 : (index <= previous || index - previous > maxStep)) return Corrupted(v);
    SetEntry(s, index, next);
    first = false;
    previous = index;
    next = NextPageOf(page.data());
    if (x != kAllPages && index >= x) return 0;
  }
  object.Flags |= ofPageListComplete;
  return 0;
}

// The page of index x, 0 when it is a hole or beyond the chain.
EngineResult GetDataPage(FileObject& object, std::uint64_t x, std::uint32_t& page) {
  page = 0;
  EngineResult r = LoadPageList(object, x);
  if (r != 0) return r;
  page = EntryAt(*object.Data, x);
  return 0;
}

// Writes index entries [a, b) (0 past the list's end) and the IndexPage field
// of each listed data page.
EngineResult WriteIndexEntries(FileObject& object, Transaction* t, std::uint64_t a,
                               std::uint64_t b) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  const std::uint32_t perPage = v.PayloadSize / 4;
  PageRef index;
  std::uint64_t held = ~std::uint64_t{0};
  for (std::uint64_t i = a; i < b; ++i) {
    const std::uint64_t m = i / perPage;
    if (m >= s.IndexPageList.size()) break;
    if (m != held) {
      index = PageRef();
      EngineResult r =
          v.GetPage(s.IndexPageList[m], true, BlockIndexPage, object.ObjectId(), t, index);
      if (r == 0) r = v.MarkDirty(index.get(), t);
      if (r != 0) return r;
      held = m;
    }
    const std::uint32_t value = EntryAt(s, i);
    StoreU32(index.data() + kPageHeaderSize + 4 * (i % perPage), value);
    if (value != 0) {
      PageRef data;
      EngineResult r = GetDataPageRef(object, value, t, data);
      if (r == 0) r = v.MarkDirty(data.get(), t);
      if (r != 0) return r;
      StoreU32(data.data() + kIndexPage, s.IndexPageList[m]);
    }
  }
  return 0;
}

EngineResult RemoveBlockIndex(FileObject& object, Transaction* t) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  for (std::uint32_t n : s.IndexPageList) {
    EngineResult r = FreePageChecked(object, n, BlockIndexPage, t);
    if (r != 0) return r;
  }
  s.IndexPageList.clear();
  EngineResult r = DeleteRecord(object, rkBlockIndex, 0, false, t);
  if (r != 0) return r;
  for (std::uint32_t n : s.DataPageList) {
    if (n == 0) continue;
    PageRef data;
    r = GetDataPageRef(object, n, t, data);
    if (r == 0) r = v.MarkDirty(data.get(), t);
    if (r != 0) return r;
    StoreU32(data.data() + kIndexPage, 0);
  }
  return 0;
}

// The list (complete) changed between indices a and b: keep the block index
// in step with it.
EngineResult UpdateBlockIndex(FileObject& object, Transaction* t, std::uint64_t a,
                              std::uint64_t b) {
  if (object.StreamKind == rkRootData) return 0;
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  const std::size_t count = s.DataPageList.size();
  if (s.IndexPageList.empty()) {
    if (count <= kMaxUnindexedEntries) return 0;
    std::uint32_t headerPage = 0, first = 0;
    EngineResult r = AddRecord(object, rkBlockIndex, nullptr, 0, t, headerPage);
    if (r == 0) r = MoveRecordOut(object, headerPage, rkBlockIndex, t, first);
    if (r != 0) return r;
    s.IndexPageList.push_back(first);
    a = 0;
    b = std::max<std::uint64_t>(b, count);
  } else if (count < kMinIndexedEntries) {
    return RemoveBlockIndex(object, t);
  }
  const std::uint32_t perPage = v.PayloadSize / 4;
  const std::size_t needed = (count + perPage - 1) / perPage;
  while (s.IndexPageList.size() < needed) {
    const std::uint32_t previous = s.IndexPageList.back();
    PageRef fresh;
    EngineResult r = v.AllocateNewPage(BlockIndexPage, t, fresh);
    if (r != 0) return r;
    std::uint8_t* d = fresh.data();
    StoreU32(d + kOwnerId, object.ObjectId());
    StoreU32(d + kPrevPage, previous);
    StoreU32(d + kChainIndex, static_cast<std::uint32_t>(s.IndexPageList.size()));
    StoreU16(d + kStreamKind, rkBlockIndex);
    PageRef last;
    r = v.GetPage(previous, true, BlockIndexPage, object.ObjectId(), t, last);
    if (r == 0) r = v.MarkDirty(last.get(), t);
    if (r != 0) return r;
    StoreU32(last.data() + kNextPage, fresh->PageNumber);
    // Every entry the new page covers is written below.
    a = std::min<std::uint64_t>(a, std::uint64_t{perPage} * s.IndexPageList.size());
    b = std::max<std::uint64_t>(b, count);
    s.IndexPageList.push_back(fresh->PageNumber);
  }
  while (s.IndexPageList.size() > needed) {
    EngineResult r = FreePageChecked(object, s.IndexPageList.back(), BlockIndexPage, t);
    if (r != 0) return r;
    s.IndexPageList.pop_back();
    PageRef last;
    r = v.GetPage(s.IndexPageList.back(), true, BlockIndexPage, object.ObjectId(), t, last);
    if (r == 0) r = v.MarkDirty(last.get(), t);
    if (r != 0) return r;
    StoreU32(last.data() + kNextPage, 0);
  }
  return WriteIndexEntries(object, t, a, b);
}

// Frees every data page from page index `from` on and ends the chain before
// it; with nothing left the stream record becomes inline and empty.
EngineResult CutPages(FileObject& object, Transaction* t, std::uint64_t from) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  EngineResult r = LoadPageList(object, kAllPages);
  if (r != 0) return r;
  const std::size_t oldCount = s.DataPageList.size();
  if (from >= oldCount) return 0;
  const std::uint16_t type = DataPageType(object);
  for (std::size_t i = oldCount; i-- > from;) {
    if (s.DataPageList[i] == 0) continue;
    r = FreePageChecked(object, s.DataPageList[i], type, t);
    if (r != 0) return r;
    s.DataPageList[i] = 0;
  }
  s.DataPageList.resize(from);
  TrimList(s.DataPageList);
  if (!s.DataPageList.empty()) {
    PageRef last;
    r = GetDataPageRef(object, s.DataPageList.back(), t, last);
    if (r == 0) r = v.MarkDirty(last.get(), t);
    if (r != 0) return r;
    StoreU32(last.data() + kNextPage, 0);
  } else {
    object.Flags &= ~ofPageListComplete;
    RecordRef stream;
    r = FindRecord(object, object.StreamKind, 0, true, t, stream);
    if (r == 0 && stream.Length() != kRecordHeadSize) r = ResizeRecord(object, stream, 0, t);
    if (r == 0) r = v.MarkDirty(stream.page.get(), t);
    if (r != 0) return r;
    StoreU32(stream.head() + kRecordMovedTo, 0);
    StoreU32(stream.head() + kRecordDataSize, 0);
  }
  return UpdateBlockIndex(object, t, from, oldCount);
}

// --------------------------------------------------------------- buffers

EngineResult NewBuffer(FileObject& object, std::uint64_t start, DataBuffer*& out) {
  FileDataState& s = *object.Data;
  const std::uint32_t capacity = BlockCapacityOf(object);
  const bool separate =
      s.ReadCompression != crNoCompression || s.WriteCompression != crNoCompression;
  std::unique_ptr<DataBuffer> buffer;
  while (!s.Spare.empty() && !buffer) {
    std::unique_ptr<DataBuffer> spare = std::move(s.Spare.back());
    s.Spare.pop_back();
    if (spare->BlockCapacity == capacity && spare->Separate() == separate)
      buffer = std::move(spare);
  }
  if (!buffer) {
    buffer.reset(new (std::nothrow) DataBuffer);
    if (!buffer) return errOutOfMemory;
    buffer->BlockCapacity = capacity;
    buffer->StoredForm.reset(new (std::nothrow)
                                 std::uint8_t[std::size_t{capacity} + kStoredFormSlack]);
    if (!buffer->StoredForm) return errOutOfMemory;
    if (separate) {
      buffer->OwnData.reset(new (std::nothrow) std::uint8_t[capacity]);
      if (!buffer->OwnData) return errOutOfMemory;
    }
    buffer->Data = separate ? buffer->OwnData.get() : buffer->StoredForm.get();
    buffer->BlockPageList.reserve(s.BlockPages);
  }
  buffer->BlockStart = start;
  buffer->StoredLength = 0;
  buffer->ValidLength = 0;
  buffer->References.store(1);
  buffer->Flags = 0;
  buffer->Owner = &object;
  buffer->BlockPageList.clear();
  auto at = std::lower_bound(s.Buffers.begin(), s.Buffers.end(), start,
                             [](const std::unique_ptr<DataBuffer>& b, std::uint64_t value) {
                               return b->BlockStart < value;
                             });
  out = buffer.get();
  s.Buffers.insert(at, std::move(buffer));
  return 0;
}

DataBuffer* FindBuffer(FileDataState& s, std::uint64_t start) {
  auto at = std::lower_bound(s.Buffers.begin(), s.Buffers.end(), start,
                             [](const std::unique_ptr<DataBuffer>& b, std::uint64_t value) {
                               return b->BlockStart < value;
                             });
  return at != s.Buffers.end() && (*at)->BlockStart == start ? at->get() : nullptr;
}

// Takes a buffer out of use (unwritten) and keeps its memory for reuse.
void DiscardBuffer(FileDataState& s, DataBuffer* buffer) {
  for (FileHandle* h : s.Handles)
    if (h->Buffer == buffer) h->Buffer = nullptr;
  for (auto it = s.Buffers.begin(); it != s.Buffers.end(); ++it) {
    if (it->get() != buffer) continue;
    std::unique_ptr<DataBuffer> owned = std::move(*it);
    s.Buffers.erase(it);
    owned->References.store(0);
    owned->Flags = 0;
    owned->Owner = nullptr;
    if (s.Spare.size() < kMaxSpareBuffers) s.Spare.push_back(std::move(owned));
    return;
  }
}

// Zeroes the bytes a block gains without a write.
void GrowValid(DataBuffer& b, std::uint32_t valid) {
  if (valid <= b.ValidLength) return;
  std::memset(b.Data + b.ValidLength, 0, valid - b.ValidLength);
  b.ValidLength = valid;
}

// The stored form of the block whose pages start at page index `first`,
// read from its pages and deciphered, into `stored` (room for BlockPages
// payloads); the pages go to `pages` when asked for.
EngineResult LoadPagedStoredForm(FileObject& object, std::uint64_t first, std::uint8_t* stored,
                                 std::uint32_t& storedLength, bool& compressed,
                                 std::vector<std::uint32_t>* pages) {
  const FileDataState& s = *object.Data;
  Volume& v = object.volume;
  const std::uint32_t payload = v.PayloadSize;
  bool raw = false;
  storedLength = 0;
  for (std::uint32_t j = 0; j < s.BlockPages; ++j) {
    std::uint32_t n = 0;
    EngineResult r = GetDataPage(object, first + j, n);
    if (r != 0) return r;
    if (n == 0) {
      if (j == 0) return Corrupted(v);
      break;
    }
    PageRef page;
    r = GetDataPageRef(object, n, nullptr, page);
    if (r != 0) return r;
    if (LoadU32(page.data() + kChainIndex) != first + j) return Corrupted(v);
    const std::uint32_t used = LoadU16(page.data() + kUsedBytes);
    if (used > payload) return Corrupted(v);
    std::uint8_t* at = stored + std::size_t{j} * payload;
    std::memcpy(at, page.data() + kPageHeaderSize, payload);
    page = PageRef();
    r = Decipher(object, at, payload, static_cast<std::uint32_t>(first + j));
    if (r != 0) return r;
    if (pages) pages->push_back(n);
    if (used == 0) raw = true;
    storedLength += used == 0 ? payload : used;
    if (used != 0 && used < payload) break;
  }
  compressed = !raw;
  return 0;
}

EngineResult LoadBlock(FileObject& object, DataBuffer& b) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  const std::uint32_t capacity = b.BlockCapacity;
  const std::uint64_t first = b.BlockStart / capacity * s.BlockPages;
  std::uint8_t* stored = b.StoredForm.get();
  std::uint32_t storedLength = 0;
  bool compressed = false;
  bool paged = true;
  b.BlockPageList.clear();

  if (b.BlockStart == 0) {
    RecordRef stream;
    EngineResult r = FindRecord(object, object.StreamKind, 0, false, nullptr, stream);
    if (r != 0) return r;
    if (!stream || stream.MovedTo() == 0) {
      paged = false;
      if (stream) {
        storedLength = stream.Length() - kRecordHeadSize;
        if (storedLength > capacity) return Corrupted(v);
        std::memcpy(stored, stream.data(), storedLength);
        compressed = stream.DataSize() != 0 && storedLength != 0;
        r = Decipher(object, stored, storedLength, 0);
        if (r != 0) return r;
      }
    }
  }
  if (paged) {
    EngineResult r =
        LoadPagedStoredForm(object, first, stored, storedLength, compressed, &b.BlockPageList);
    if (r != 0) return r;
  }

  std::uint32_t valid = 0;
  if (compressed) {
    // A compressed block in a file whose settings say none cannot be decoded.
    if (s.ReadCompression == crNoCompression || !b.Separate()) return errCompressedDataCorrupted;
    EngineResult r = DecodeBlock(s.ReadCompression, stored, storedLength, b.Data, capacity, valid,
                                 v.ByteSwapped, Codec(object));
    if (r == errStorageCorrupted) r = errCompressedDataCorrupted;
    if (r != 0) return r;
  } else {
    valid = std::min(storedLength, capacity);
    if (b.Separate() && valid != 0) std::memcpy(b.Data, stored, valid);
  }
  b.StoredLength = storedLength;
  const std::uint64_t end = object.DataEnd;
  const std::uint32_t target =
      end > b.BlockStart
          ? static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, end - b.BlockStart))
          : 0;
  b.ValidLength = std::min(valid, target);
  GrowValid(b, target);
  return 0;
}

EngineResult StoreBlock(FileObject& object, Transaction* t, DataBuffer& b);

// Block 0 must live in data pages before any later block does.
EngineResult EnsureBlockZeroPaged(FileObject& object, Transaction* t) {
  RecordRef stream;
  EngineResult r = FindRecord(object, object.StreamKind, 0, false, t, stream);
  if (r != 0) return r;
  if (stream && stream.MovedTo() != 0) return 0;
  stream = RecordRef();
  DataBuffer* zero = nullptr;
  r = GetBuffer(object, t, 0, false, zero);
  if (r == 0) {
    zero->Flags |= dbLeaveInline | dbDirty;
    r = StoreBlock(object, t, *zero);
  }
  EngineResult released = ReleaseBuffer(object, t, zero);
  return r != 0 ? r : released;
}

// A block's stored form: the codec's output when it is shorter than the
// data, the data itself otherwise. Touches nothing but its arguments, so
// blocks may be encoded on several threads at once.
EngineResult EncodeStored(std::uint32_t mode, std::uint32_t level, std::uint32_t capacity,
                          const std::uint8_t* data, std::uint32_t valid, std::uint8_t* stored,
                          bool byteSwapped, const CustomCodecCallbacks* codec,
                          std::uint32_t& storedLength, bool& compressed) {
  compressed = false;
  if (mode != crNoCompression) {
    // A result as long as the data is of no use, so the built-in codecs may
    // stop there; a caller's handler gets the whole stored-form buffer.
    const std::uint32_t limit = mode == crCustom ? capacity + kStoredFormSlack : valid;
    EngineResult r = EncodeBlock(mode, level, data, valid, stored, limit, storedLength, compressed,
                                 byteSwapped, codec);
    if (r != 0) return r;
  }
  if (mode == crNoCompression || (compressed && storedLength >= valid)) {
    compressed = false;
    if (data != stored && valid != 0) std::memcpy(stored, data, valid);
    storedLength = valid;
  }
  return 0;
}

// The mode a block is stored with now.
std::uint32_t StoreMode(const FileDataState& s, const DataBuffer& b) {
  if (b.ValidLength == 0 || (b.Flags & dbStoreRaw) != 0) return crNoCompression;
  return s.WriteCompression;
}

// The block's stored form in b.StoredForm.
EngineResult EncodeStoredForm(FileObject& object, DataBuffer& b, bool& compressed) {
  FileDataState& s = *object.Data;
  const std::uint32_t mode = StoreMode(s, b);
  b.Flags &= ~dbStoreRaw;
  return EncodeStored(mode, s.Level, b.BlockCapacity, b.Data, b.ValidLength, b.StoredForm.get(),
                      object.volume.ByteSwapped, Codec(object), b.StoredLength, compressed);
}

// Block 0 of an inline stream stays in its record while it fits (`kept`);
// otherwise the record's data moves out to become page index 0, and block 0
// goes to data pages like any other.
EngineResult KeepBlockZeroInline(FileObject& object, Transaction* t, DataBuffer& b,
                                 bool compressed, bool& kept) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  kept = false;
  RecordRef stream;
  EngineResult r = FindRecord(object, object.StreamKind, 0, false, t, stream);
  if (r == 0 && !stream) {
    r = EnsureStreamRecord(object, t);
    if (r == 0) r = FindRecord(object, object.StreamKind, 0, true, t, stream);
  }
  if (r != 0) return r;
  if (stream.MovedTo() != 0) return 0;
  const std::uint32_t current = stream.Length() - kRecordHeadSize;
  const std::uint32_t padded = (b.StoredLength + kInlineUnit - 1) / kInlineUnit * kInlineUnit;
  bool stay = false;
  if ((b.Flags & dbLeaveInline) == 0 && padded <= MaxRecordData(v.PageSize)) {
    if (padded <= current) {
      stay = true;
    } else {
      // One byte more than needed: a header page is never filled to its
      // very end, as AddRecord never does either.
      const std::uint32_t headerPage = stream.PageNumber();
      stream = RecordRef();
      r = MakeRoom(object, headerPage, object.StreamKind, padded - current + 1, t, stay);
      // Other records may have moved out and shifted this one.
      if (r == 0) r = FindRecord(object, object.StreamKind, headerPage, true, t, stream);
      if (r != 0) return r;
      stay = stay && stream.MovedTo() == 0;
    }
  }
  if (stay) {
    if (padded != stream.Length() - kRecordHeadSize)
      r = ResizeRecord(object, stream, padded, t);
    else
      r = v.MarkDirty(stream.page.get(), t);
    if (r != 0) return r;
    std::uint8_t* data = stream.data();
    std::memcpy(data, b.StoredForm.get(), b.StoredLength);
    std::memset(data + b.StoredLength, 0, padded - b.StoredLength);
    StoreU32(stream.head() + kRecordDataSize, compressed ? padded : 0);
    r = Encipher(object, data, padded, 0);
    if (r != 0) return r;
    b.BlockPageList.clear();
    kept = true;
    return 0;
  }
  if (stream.MovedTo() == 0) {
    // The record's data becomes page index 0.
    const std::uint32_t headerPage = stream.PageNumber();
    stream = RecordRef();
    std::uint32_t page = 0;
    r = MoveRecordOut(object, headerPage, object.StreamKind, t, page);
    if (r != 0) return r;
    s.DataPageList.assign(1, page);
    object.Flags |= ofPageListComplete;
  }
  return 0;
}

// Gives the block from page index `first` on exactly `needed` pages in
// b.BlockPageList: it keeps the pages it has, chains new ones in after them
// (or after the last page of an earlier block) and frees those beyond.
// `next` is the first page of what follows the block in the chain.
EngineResult FitBlockPages(FileObject& object, Transaction* t, DataBuffer& b,
                           std::uint64_t first, std::uint32_t needed, std::uint32_t& next) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  EngineResult r = LoadPageList(object, kAllPages);
  if (r != 0) return r;
  const std::uint16_t type = DataPageType(object);
  std::vector<std::uint32_t>& pages = b.BlockPageList;
  pages.clear();
  for (std::uint32_t j = 0; j < s.BlockPages; ++j)
    if (std::uint32_t n = EntryAt(s, first + j); n != 0) pages.push_back(n);
  std::uint32_t previous = 0;
  next = 0;
  if (!pages.empty()) {
    PageRef last;
    r = GetDataPageRef(object, pages.back(), nullptr, last);
    if (r != 0) return r;
    next = NextPageOf(last.data());
  } else {
    for (std::uint64_t i = std::min<std::uint64_t>(first, s.DataPageList.size()); i-- > 0;) {
      if (s.DataPageList[i] != 0) {
        previous = s.DataPageList[i];
        break;
      }
    }
    if (previous == 0) return Corrupted(v);  // block 0 always has its first page
    PageRef before;
    r = GetDataPageRef(object, previous, nullptr, before);
    if (r != 0) return r;
    next = NextPageOf(before.data());
  }
  const std::size_t oldCount = pages.size();
  while (pages.size() < needed) {
    const std::uint32_t predecessor = pages.empty() ? previous : pages.back();
    PageRef fresh;
    r = v.AllocateNewPage(type, t, fresh);
    if (r != 0) return r;
    const std::uint32_t n = fresh->PageNumber;
    std::uint8_t* d = fresh.data();
    StoreU32(d + kOwnerId, object.ObjectId());
    StoreU32(d + kPrevPage, predecessor);
    StoreU32(d + kNextPage, next);
    StoreU32(d + kChainIndex, static_cast<std::uint32_t>(first + pages.size()));
    StoreU16(d + kStreamKind, object.StreamKind);
    fresh = PageRef();
    PageRef link;
    r = GetDataPageRef(object, predecessor, t, link);
    if (r == 0) r = v.MarkDirty(link.get(), t);
    if (r != 0) return r;
    StoreU32(link.data() + kNextPage, n);
    SetEntry(s, first + pages.size(), n);
    pages.push_back(n);
  }
  while (pages.size() > needed) {
    r = FreePageChecked(object, pages.back(), type, t);
    if (r != 0) return r;
    SetEntry(s, first + pages.size() - 1, 0);
    pages.pop_back();
  }
  return UpdateBlockIndex(object, t, first, first + std::max<std::size_t>(oldCount, needed));
}

// Writes the stored form into the block's pages, enciphered page by page,
// and links the block into the chain: its last page to `next`, and `next`
// back to its last page.
EngineResult WriteBlockPages(FileObject& object, Transaction* t, DataBuffer& b,
                             std::uint64_t first, bool compressed, std::uint32_t next) {
  Volume& v = object.volume;
  const std::uint32_t payload = v.PayloadSize;
  const std::uint8_t* stored = b.StoredForm.get();
  const std::vector<std::uint32_t>& pages = b.BlockPageList;
  const std::size_t needed = pages.size();
  EngineResult r = 0;
  for (std::uint32_t i = 0; i < needed; ++i) {
    PageRef page;
    r = GetDataPageRef(object, pages[i], t, page);
    if (r == 0) r = v.MarkDirty(page.get(), t);
    if (r != 0) return r;
    std::uint8_t* d = page.data();
    const std::uint32_t offset = i * payload;
    const std::uint32_t bytes =
        b.StoredLength > offset ? std::min(payload, b.StoredLength - offset) : 0;
    std::memcpy(d + kPageHeaderSize, stored + offset, bytes);
    std::memset(d + kPageHeaderSize + bytes, 0, payload - bytes);
    r = Encipher(object, d + kPageHeaderSize, payload, static_cast<std::uint32_t>(first + i));
    if (r != 0) return r;
    StoreU16(d + kUsedBytes, static_cast<std::uint16_t>(compressed ? bytes : 0));
    StoreU32(d + kChainIndex, static_cast<std::uint32_t>(first + i));
    StoreU32(d + kNextPage, i + 1 < needed ? pages[i + 1] : next);
    if (i > 0) StoreU32(d + kPrevPage, pages[i - 1]);
  }
  if (next != 0) {
    PageRef following;
    r = GetDataPageRef(object, next, t, following);
    if (r == 0) r = v.MarkDirty(following.get(), t);
    if (r != 0) return r;
    StoreU32(following.data() + kPrevPage, pages.back());
  }
  return 0;
}

// Places the stored form in b.StoredForm: inline in block 0's record, or
// on the block's pages.
EngineResult PlaceStoredForm(FileObject& object, Transaction* t, DataBuffer& b, bool compressed) {
  FileDataState& s = *object.Data;
  EngineResult r = 0;
  const std::uint64_t first = b.BlockStart / b.BlockCapacity * s.BlockPages;
  if (b.BlockStart == 0) {
    bool kept = false;
    r = KeepBlockZeroInline(object, t, b, compressed, kept);
    if (r != 0) return r;
    if (kept) {
      b.Flags &= ~(dbDirty | dbLeaveInline);
      return 0;
    }
  } else {
    r = EnsureBlockZeroPaged(object, t);
    if (r != 0) return r;
  }
  b.Flags &= ~dbLeaveInline;

  const std::uint32_t payload = object.volume.PayloadSize;
  const std::uint32_t needed = std::max<std::uint32_t>(1, (b.StoredLength + payload - 1) / payload);
  std::uint32_t next = 0;
  r = FitBlockPages(object, t, b, first, needed, next);
  if (r == 0) r = WriteBlockPages(object, t, b, first, compressed, next);
  if (r != 0) return r;
  b.Flags &= ~dbDirty;
  return 0;
}

EngineResult StoreBlockPages(FileObject& object, Transaction* t, DataBuffer& b) {
  bool compressed = false;
  EngineResult r = EncodeStoredForm(object, b, compressed);
  if (r != 0) return r;
  return PlaceStoredForm(object, t, b, compressed);
}

EngineResult StoreBlock(FileObject& object, Transaction* t, DataBuffer& b) {
  if ((b.Flags & dbDirty) == 0) return 0;
  EngineResult r = StoreBlockPages(object, t, b);
  // A failed store may leave the chain, the index or the record half-changed.
  if (r != 0) object.Data->Damaged = true;
  return r;
}

// ------------------------------------------------------------- data end

EngineResult SetSizeField(FileObject& object, Transaction* t, std::uint64_t size) {
  RecordRef info;
  EngineResult r = FindRecord(object, rkObjectInfo, object.HeaderPage, true, t, info);
  if (r != 0) return r;
  if (info.Length() < kObjectInfoLength) return Corrupted(object.volume);
  r = object.volume.MarkDirty(info.page.get(), t);
  if (r != 0) return r;
  StoreU32(info.head() + kInfoSizeLow, static_cast<std::uint32_t>(size));
  StoreU32(info.head() + kInfoSizeHigh, static_cast<std::uint32_t>(size >> 32));
  object.Size = size;
  object.Flags |= ofChanged;
  return 0;
}

// Whether block k has pages (or, for block 0, a stream at all).
EngineResult BlockExists(FileObject& object, std::uint64_t k, bool& exists) {
  exists = true;
  if (k == 0) return 0;
  std::uint32_t page = 0;
  EngineResult r = GetDataPage(object, k * object.Data->BlockPages, page);
  exists = page != 0;
  return r;
}

// Takes the buffer of block k: cached, loaded, or new and empty when the
// block does not exist yet.
EngineResult TakeBlock(FileObject& object, std::uint64_t k, bool createAllowed, DataBuffer*& out) {
  FileDataState& s = *object.Data;
  const std::uint64_t start = k * BlockCapacityOf(object);
  if (DataBuffer* found = FindBuffer(s, start)) {
    found->References.fetch_add(1);
    out = found;
    return 0;
  }
  bool exists = start < object.DataEnd;
  if (!exists) {
    EngineResult r = BlockExists(object, k, exists);
    if (r != 0) return r;
  }
  if (!exists && !createAllowed) return errSeekBeyondEOF;
  DataBuffer* buffer = nullptr;
  EngineResult r = NewBuffer(object, start, buffer);
  if (r != 0) return r;
  if (exists) {
    r = LoadBlock(object, *buffer);
    if (r != 0) {
      DiscardBuffer(s, buffer);
      return r;
    }
  } else {
    buffer->Flags |= dbDirty;
    // With a second block, block 0 leaves its record when it is next stored.
    if (k > 0)
      if (DataBuffer* zero = FindBuffer(s, 0)) zero->Flags |= dbLeaveInline;
  }
  out = buffer;
  return 0;
}

// Materialises [DataEnd, end): the block holding DataEnd grows, every block
// after it up to end is made, and each is stored raw once. With `keep`, the
// buffer of the block holding end - 1 is handed over instead of released.
EngineResult GrowDataEnd(FileObject& object, Transaction* t, std::uint64_t end, DataBuffer** keep) {
  const std::uint32_t capacity = BlockCapacityOf(object);
  const std::uint64_t kFirst = object.DataEnd / capacity;
  const std::uint64_t kLast = (end - 1) / capacity;
  for (std::uint64_t k = kFirst; k <= kLast; ++k) {
    DataBuffer* b = nullptr;
    EngineResult r = TakeBlock(object, k, true, b);
    if (r != 0) return r;
    const std::uint64_t start = k * capacity;
    const std::uint32_t valid =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, end - start));
    if (valid > b->ValidLength) {
      GrowValid(*b, valid);
      b->Flags |= dbDirty | dbStoreRaw;
    }
    if (k == 0 && kLast > 0) b->Flags |= dbLeaveInline;
    object.DataEnd = std::max(object.DataEnd, start + b->ValidLength);
    if (k == kLast && keep) {
      *keep = b;
      break;
    }
    if (k == 0 && kLast > 0 && (b->Flags & dbDirty) == 0) {
      // A full inline block 0 must still leave its record.
      b->Flags |= dbDirty;
    }
    r = ReleaseBuffer(object, t, b);
    if (r != 0) return r;
  }
  object.DataEnd = end;
  if (end > object.Size) {
    EngineResult r = SetSizeField(object, t, end);
    if (r == 0) r = TouchModified(object, t);
    return r;
  }
  return 0;
}

EngineResult TruncateToZero(FileObject& object, Transaction* t) {
  FileDataState& s = *object.Data;
  Volume& v = object.volume;
  for (FileHandle* h : s.Handles) h->Position = 0;
  while (!s.Buffers.empty()) DiscardBuffer(s, s.Buffers.back().get());
  RecordRef stream;
  EngineResult r = FindRecord(object, object.StreamKind, 0, false, t, stream);
  if (r != 0 || !stream) return r;
  const std::uint32_t first = stream.MovedTo();
  if (first != 0) {
    stream = RecordRef();
    r = v.FreeChain(first, DataPageType(object), object.ObjectId(), t);
    if (r != 0) return r;
    RecordRef index;
    r = FindRecord(object, rkBlockIndex, 0, false, t, index);
    if (r != 0) return r;
    if (index) {
      const std::uint32_t indexFirst = index.MovedTo();
      index = RecordRef();
      if (indexFirst != 0) r = v.FreeChain(indexFirst, BlockIndexPage, object.ObjectId(), t);
      if (r == 0) r = DeleteRecord(object, rkBlockIndex, 0, false, t);
      if (r != 0) return r;
    }
    r = FindRecord(object, object.StreamKind, 0, true, t, stream);
    if (r != 0) return r;
  }
  if (stream.Length() != kRecordHeadSize)
    r = ResizeRecord(object, stream, 0, t);
  else
    r = v.MarkDirty(stream.page.get(), t);
  if (r != 0) return r;
  StoreU32(stream.head() + kRecordMovedTo, 0);
  StoreU32(stream.head() + kRecordDataSize, 0);
  s.DataPageList.clear();
  s.IndexPageList.clear();
  object.Flags &= ~ofPageListComplete;
  return 0;
}

EngineResult ShrinkDataEnd(FileObject& object, Transaction* t, std::uint64_t end) {
  FileDataState& s = *object.Data;
  for (FileHandle* h : s.Handles)
    if (h->Position > end) h->Position = end;
  const std::uint32_t capacity = BlockCapacityOf(object);
  const std::uint64_t kKeep = (end - 1) / capacity;
  const std::uint64_t keepStart = kKeep * capacity;
  for (std::size_t i = s.Buffers.size(); i-- > 0;)
    if (s.Buffers[i]->BlockStart > keepStart) DiscardBuffer(s, s.Buffers[i].get());
  EngineResult r = CutPages(object, t, (kKeep + 1) * s.BlockPages);
  if (r != 0) return r;
  DataBuffer* b = nullptr;
  r = TakeBlock(object, kKeep, false, b);
  if (r != 0) return r;
  const std::uint32_t valid = static_cast<std::uint32_t>(end - keepStart);
  if (b->ValidLength != valid) {
    b->ValidLength = std::min(b->ValidLength, valid);
    GrowValid(*b, valid);
    b->Flags |= dbDirty;
  }
  object.DataEnd = end;
  r = StoreBlock(object, t, *b);
  EngineResult released = ReleaseBuffer(object, t, b);
  return r != 0 ? r : released;
}

EngineResult SetDataEnd(FileObject& object, Transaction* t, std::uint64_t end) {
  const std::uint64_t current = object.DataEnd;
  if (end == current) return 0;
  EngineResult r = 0;
  if (end > current) {
    r = GrowDataEnd(object, t, end, nullptr);
  } else if (end == 0) {
    r = TruncateToZero(object, t);
    if (r == 0) {
      object.DataEnd = 0;
      r = SetSizeField(object, t, 0);
    }
    if (r == 0) r = TouchModified(object, t);
  } else {
    r = ShrinkDataEnd(object, t, end);
  }
  if (r != 0) object.Data->Damaged = true;
  return r;
}

}  // namespace

// ------------------------------------------------------------------ state

FileDataState& DataState(FileObject& object) {
  if (!object.store.DropDataState) InstallFileDataHooks(object.store);
  if (!object.Data) object.Data = std::make_shared<FileDataState>();
  return *object.Data;
}

void DropFileDataState(FileObject& object) {
  if (!object.Data) return;
  FileDataState& s = *object.Data;
  while (!s.Buffers.empty()) DiscardBuffer(s, s.Buffers.back().get());
  for (FileHandle* h : s.Handles) h->Buffer = nullptr;
  s.DataPageList.clear();
  s.IndexPageList.clear();
  s.Damaged = false;
  object.Flags &= ~ofPageListComplete;
  object.DataEnd = kUnknownSize;
}

void InstallFileDataHooks(ObjectStore& store) {
  store.DropDataState = &DropFileDataState;
}

std::uint64_t MaxStreamLength(const FileObject& object) {
  const std::uint64_t pages = std::max<std::uint32_t>(object.Data->BlockPages, 1);
  return ((std::uint64_t{1} << 32) / pages) * pages * object.volume.PayloadSize;
}

EngineResult LoadCompressionSettings(FileObject& object, Transaction* t) {
  FileDataState& s = DataState(object);
  CompressionSetting setting{
      crNoCompression, 0,
      static_cast<std::uint16_t>(std::clamp<std::uint32_t>(object.volume.Buffering, 1, 0xFFFF))};
  if (object.StreamKind != rkRootData) {
    RecordRef record;
    EngineResult r = FindRecord(object, rkCompression, 0, false, t, record);
    if (r != 0) return r;
    if (record) {
      r = LoadCompressionRecord(record.data(), record.Length() - kRecordHeadSize, setting);
      if (r == errStorageCorrupted) object.volume.MarkCorrupted();
      if (r != 0) return r;
    }
  }
  if (s.BlockPages != setting.BlockPages) {
    // Blocks in memory and the data end were worked out for the old size.
    if (!s.Buffers.empty()) return errSharingViolation;
    object.DataEnd = kUnknownSize;
  }
  s.ReadCompression = s.WriteCompression = setting.Mode;
  s.Level = setting.Level;
  s.BlockPages = setting.BlockPages;
  s.SettingsReady = true;
  return 0;
}

EngineResult EnsureStreamRecord(FileObject& object, Transaction* t) {
  RecordRef stream;
  EngineResult r = FindRecord(object, object.StreamKind, 0, false, t, stream);
  if (r != 0 || stream) return r;
  std::uint32_t page = 0;
  return AddRecord(object, object.StreamKind, nullptr, 0, t, page);
}

EngineResult EnsureDataEnd(FileObject& object) {
  if (object.DataEnd != kUnknownSize) return 0;
  FileDataState& s = *object.Data;
  std::uint64_t size = 0;
  EngineResult r = GetObjectSize(object, nullptr, size);
  if (r != 0) return r;
  const std::uint64_t capacity = BlockCapacityOf(object);
  RecordRef stream;
  r = FindRecord(object, object.StreamKind, 0, false, nullptr, stream);
  if (r != 0) return r;
  std::uint64_t content = 0;
  if (stream && stream.MovedTo() == 0) {
    // Inline raw data is padded with zeros, so its padded length is a safe
    // bound; a compressed block may decode to anything up to a whole block,
    // and what it lacks reads as zeros.
    content = stream.DataSize() != 0 ? capacity : stream.Length() - kRecordHeadSize;
  } else if (stream) {
    stream = RecordRef();
    r = LoadPageList(object, kAllPages);
    if (r != 0) return r;
    if (!s.DataPageList.empty()) {
      // The end of the block holding the last page: a block never reaches
      // beyond its own end, and no later block exists.
      const std::uint64_t last = s.DataPageList.size() - 1;
      content = (last / s.BlockPages + 1) * capacity;
    }
  }
  object.DataEnd = std::min(size, content);
  return 0;
}

EngineResult ReleaseBuffer(FileObject& object, Transaction* t, DataBuffer*& slot) {
  DataBuffer* b = slot;
  slot = nullptr;
  if (!b) return 0;
  if (b->References.fetch_sub(1) > 1) return 0;
  EngineResult r = StoreBlock(object, t, *b);
  DiscardBuffer(*object.Data, b);
  return r;
}

EngineResult StoreDirtyBuffers(FileObject& object, Transaction* t) {
  FileDataState& s = *object.Data;
  // Storing a block may bring block 0 into the list for a moment, so walk
  // the starts taken beforehand.
  std::vector<std::uint64_t> starts;
  starts.reserve(s.Buffers.size());
  for (const auto& b : s.Buffers)
    if (b->Flags & dbDirty) starts.push_back(b->BlockStart);
  for (std::uint64_t start : starts) {
    DataBuffer* b = FindBuffer(s, start);
    if (!b) continue;
    b->References.fetch_add(1);
    EngineResult r = StoreBlock(object, t, *b);
    EngineResult released = ReleaseBuffer(object, t, b);
    if (r == 0) r = released;
    if (r != 0) return r;
  }
  return 0;
}

EngineResult GetBuffer(FileObject& object, Transaction* t, std::uint64_t position,
                       bool extendAllowed, DataBuffer*& slot) {
  EngineResult r = EnsureDataEnd(object);
  if (r != 0) return r;
  const std::uint32_t capacity = BlockCapacityOf(object);
  const std::uint64_t k = position / capacity;
  if (position / capacity >= MaxStreamLength(object) / capacity) return errInvalidParameter;
  DataBuffer* taken = nullptr;
  if (position > object.DataEnd) {
    if (!extendAllowed) return errSeekBeyondEOF;
    r = GrowDataEnd(object, t, position, position % capacity != 0 ? &taken : nullptr);
    if (r != 0) {
      if (taken) {
        EngineResult ignored = ReleaseBuffer(object, t, taken);
        (void)ignored;
      }
      return r;
    }
  }
  if (!taken) {
    r = TakeBlock(object, k, extendAllowed, taken);
    if (r != 0) return r;
  }
  DataBuffer* previous = slot;
  slot = taken;
  return previous ? ReleaseBuffer(object, t, previous) : 0;
}

EngineResult SetFileSize(FileObject& object, Transaction* t, std::uint64_t size, bool applyToData,
                         bool force) {
  std::uint64_t current = 0;
  EngineResult r = GetObjectSize(object, t, current);
  if (r == 0) r = EnsureDataEnd(object);
  if (r != 0) return r;
  if (size > MaxStreamLength(object)) return errInvalidParameter;
  if (applyToData && (size < current || force) && (size < object.DataEnd || force)) {
    r = SetDataEnd(object, t, size);
    if (r != 0) return r;
  }
  return SetSizeField(object, t, size);
}

EngineResult RewriteAll(FileObject& object, Transaction* t) {
  FileDataState& s = *object.Data;
  EngineResult r = 0;
  for (FileHandle* h : s.Handles) {
    EngineResult released = ReleaseBuffer(object, t, h->Buffer);
    Keep(r, released);
  }
  if (r != 0) return r;
  std::uint64_t size = 0;
  r = GetObjectSize(object, t, size);
  if (r != 0 || size == 0) return r;
  r = EnsureDataEnd(object);
  if (r != 0) return r;
  const std::uint32_t capacity = BlockCapacityOf(object);
  for (std::uint64_t offset = 0; offset < object.DataEnd; offset += capacity) {
    DataBuffer* b = nullptr;
    r = GetBuffer(object, t, offset, false, b);
    if (r != 0) return r;
    if (b->ValidLength != 0) {
      b->Flags |= dbDirty;
      r = StoreBlock(object, t, *b);
    }
    EngineResult released = ReleaseBuffer(object, t, b);
    if (r == 0) r = released;
    if (r != 0) return r;
  }
  return 0;
}

namespace {

// The whole blocks of one read that were decoded on several cores straight
// into the reader's buffer: blocks First .. First + Done.size() - 1.
struct DecodedAhead {
  std::uint64_t First = 0;
  std::vector<char> Done;

  bool Has(std::uint64_t position, std::uint64_t capacity) const {
    if (Done.empty() || position % capacity != 0) return false;
    const std::uint64_t k = position / capacity;
    return k >= First && k - First < Done.size() && Done[static_cast<std::size_t>(k - First)];
  }
};

// Reads the stored forms of the blocks that the read of `count` bytes at
// `position` covers whole, and decodes them on several cores into `buffer`,
// when there are at least two and the file uses a built-in codec. Blocks in
// memory (perhaps changed), block 0 (perhaps inline), short blocks and any
// that fail to decode are left to the usual path, which reads them and
// reports their errors. The stored forms cost memory of the read's size.
void DecodeWholeBlocksAhead(FileObject& object, std::uint64_t position, std::uint8_t* buffer,
                            std::uint64_t count, DecodedAhead& ahead) {
  FileDataState& s = *object.Data;
  const std::uint32_t mode = s.ReadCompression;
  if (mode != crZLib && mode != crRLE) return;
  const std::uint64_t capacity = BlockCapacityOf(object);
  const std::uint64_t first = std::max<std::uint64_t>(1, (position + capacity - 1) / capacity);
  const std::uint64_t end = std::min(position + count, object.DataEnd) / capacity;
  if (end < first + 2) return;
  struct Stored {
    std::unique_ptr<std::uint8_t[]> Bytes;
    std::uint32_t Length = 0;
    bool Compressed = false;
  };
  std::vector<Stored> stored(static_cast<std::size_t>(end - first));
  const std::size_t room = std::size_t{s.BlockPages} * object.volume.PayloadSize;
  for (std::uint64_t k = first; k < end; ++k) {
    if (FindBuffer(s, k * capacity)) continue;
    Stored& e = stored[static_cast<std::size_t>(k - first)];
    e.Bytes = std::make_unique<std::uint8_t[]>(room);
    if (LoadPagedStoredForm(object, k * s.BlockPages, e.Bytes.get(), e.Length, e.Compressed,
                            nullptr) != 0) {
      // The usual path reaches this block after the ones before it and
      // reports what is wrong there.
      e.Bytes.reset();
      break;
    }
  }
  ahead.First = first;
  ahead.Done.assign(stored.size(), 0);
  const bool byteSwapped = object.volume.ByteSwapped;
  ForEachInParallel(stored.size(), [&](std::size_t i) {
    const Stored& e = stored[i];
    if (!e.Bytes) return;
    std::uint8_t* out = buffer + ((first + i) * capacity - position);
    std::uint32_t valid = 0;
    if (e.Compressed) {
      if (DecodeBlock(mode, e.Bytes.get(), e.Length, out, static_cast<std::uint32_t>(capacity),
                      valid, byteSwapped, nullptr) != 0)
        return;
    } else {
      valid = static_cast<std::uint32_t>(std::min<std::uint64_t>(e.Length, capacity));
      std::memcpy(out, e.Bytes.get(), valid);
    }
    ahead.Done[i] = valid == capacity;
  });
}

}  // namespace

EngineResult ReadAt(FileObject& object, Transaction* t, DataBuffer*& slot, std::uint64_t position,
                    std::uint8_t* buffer, std::uint64_t count, std::uint64_t& done) {
  done = 0;
  std::uint64_t size = 0;
  EngineResult r = GetObjectSize(object, nullptr, size);
  if (r == 0) r = EnsureDataEnd(object);
  if (r != 0) return r;
  const std::uint32_t capacity = BlockCapacityOf(object);
  DecodedAhead ahead;
  if (position < size)
    DecodeWholeBlocksAhead(object, position, buffer, std::min(count, size - position), ahead);
  while (count > 0 && position < size) {
    std::uint64_t n = std::min(count, size - position);
    if (ahead.Has(position, capacity)) {
      // Decoded into place already.
      n = capacity;
    } else if (position < object.DataEnd) {
      r = GetBuffer(object, t, position, false, slot);
      if (r != 0) return r;
      const DataBuffer& b = *slot;
      const std::uint64_t offset = position - b.BlockStart;
      if (offset < b.ValidLength) {
        n = std::min<std::uint64_t>(n, b.ValidLength - offset);
        std::memcpy(buffer, b.Data + offset, n);
      } else {
        n = std::min<std::uint64_t>(n, capacity - offset);
        std::memset(buffer, 0, n);
      }
    } else {
      std::memset(buffer, 0, n);
    }
    buffer += n;
    position += n;
    count -= n;
    done += n;
  }
  return done == 0 && position >= size ? errSeekBeyondEOF : 0;
}

namespace {

// Whole blocks of one write, encoded on several cores before the write
// copies them into their buffers: block `First + i` (counted in blocks)
// has its stored form in Stored[i].
struct EncodedAhead {
  std::uint64_t First = 0;
  std::uint32_t Mode = crNoCompression;
  struct Block {
    std::unique_ptr<std::uint8_t[]> Stored;
    std::uint32_t StoredLength = 0;
    bool Compressed = false;
    EngineResult Result = 0;
  };
  std::vector<Block> Blocks;
};

// Encodes the blocks that the write of `count` bytes at `position` fills
// from their first byte to their last, when the file compresses with a
// built-in codec (a caller's handler may not expect several threads) and
// there are at least two. Block 0 is left out: whether it stays inline is
// decided with the rest of the file. The encodings cost memory of the same
// size as the write, which the caller already holds.
void EncodeWholeBlocksAhead(FileObject& object, std::uint64_t position, const std::uint8_t* data,
                            std::uint64_t count, EncodedAhead& ahead) {
  const FileDataState& s = *object.Data;
  ahead.Blocks.clear();
  if (s.WriteCompression != crZLib && s.WriteCompression != crRLE) return;
  const std::uint64_t capacity = BlockCapacityOf(object);
  const std::uint64_t first = std::max<std::uint64_t>(1, (position + capacity - 1) / capacity);
  const std::uint64_t end = (position + count) / capacity;  // blocks before it are whole
  if (end < first + 2) return;
  ahead.First = first;
  ahead.Mode = s.WriteCompression;
  ahead.Blocks.resize(static_cast<std::size_t>(end - first));
  const std::uint32_t level = s.Level;
  const bool byteSwapped = object.volume.ByteSwapped;
  const auto block = static_cast<std::uint32_t>(capacity);
  ForEachInParallel(ahead.Blocks.size(), [&](std::size_t i) {
    EncodedAhead::Block& e = ahead.Blocks[i];
    e.Stored = std::make_unique<std::uint8_t[]>(block + kStoredFormSlack);
    const std::uint8_t* in = data + ((first + i) * capacity - position);
    e.Result = EncodeStored(ahead.Mode, level, block, in, block, e.Stored.get(), byteSwapped,
                            nullptr, e.StoredLength, e.Compressed);
  });
}

// Stores a block just filled by the write with the stored form encoded
// ahead for it, at once, while its data is still exactly what was encoded.
// Blocks without one are left to be stored as usual.
EngineResult StoreEncodedAhead(FileObject& object, Transaction* t, DataBuffer& b,
                               EncodedAhead& ahead) {
  if (ahead.Blocks.empty() || b.BlockCapacity == 0) return 0;
  const std::uint64_t k = b.BlockStart / b.BlockCapacity;
  if (k < ahead.First || k - ahead.First >= ahead.Blocks.size()) return 0;
  EncodedAhead::Block& e = ahead.Blocks[static_cast<std::size_t>(k - ahead.First)];
  if (!e.Stored || e.Result != 0 || b.ValidLength != b.BlockCapacity ||
      StoreMode(*object.Data, b) != ahead.Mode)
    return 0;
  std::memcpy(b.StoredForm.get(), e.Stored.get(), e.StoredLength);
  b.StoredLength = e.StoredLength;
  e.Stored.reset();
  const EngineResult r = PlaceStoredForm(object, t, b, e.Compressed);
  // As StoreBlock: a failed store may leave the chain half-changed.
  if (r != 0) object.Data->Damaged = true;
  return r;
}

}  // namespace

EngineResult WriteAt(FileObject& object, Transaction* t, DataBuffer*& slot, std::uint64_t position,
                     const std::uint8_t* buffer, std::uint64_t count, std::uint64_t& done) {
  done = 0;
  if (count == 0) return 0;
  std::uint64_t size = 0;
  EngineResult r = GetObjectSize(object, t, size);
  if (r == 0) r = EnsureDataEnd(object);
  if (r != 0) return r;
  const std::uint64_t limit = MaxStreamLength(object);
  if (position > limit || count > limit - position) return errInvalidParameter;
  const std::uint32_t capacity = BlockCapacityOf(object);
  EncodedAhead ahead;
  EncodeWholeBlocksAhead(object, position, buffer, count, ahead);
  while (count > 0) {
    r = GetBuffer(object, t, position, true, slot);
    if (r != 0) break;
    DataBuffer& b = *slot;
    const std::uint32_t offset = static_cast<std::uint32_t>(position - b.BlockStart);
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity - offset, count));
    GrowValid(b, offset);
    std::memcpy(b.Data + offset, buffer, n);
    b.ValidLength = std::max(b.ValidLength, offset + n);
    b.Flags |= dbDirty;
    r = StoreEncodedAhead(object, t, b, ahead);
    if (r != 0) break;
    buffer += n;
    position += n;
    count -= n;
    done += n;
    if (position > object.DataEnd) object.DataEnd = position;
    if (position > object.Size) {
      r = SetSizeField(object, t, position);
      if (r != 0) break;
    }
  }
  if (done != 0) {
    object.Flags |= ofChanged;
    EngineResult touched = TouchModified(object, t);
    if (r == 0) r = touched;
  }
  return r;
}

}  // namespace vaultfs
