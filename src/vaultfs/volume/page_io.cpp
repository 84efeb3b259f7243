// Whole-page reads and writes: byte-order conversion and the page cipher.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/object_layout.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/format/record_walk.h"
#include "vaultfs/progress.h"
#include "vaultfs/volume/transaction.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

using namespace layout;

// The host file's page count as it stands now (it may grow on another
// thread); defined with the space map.
std::uint32_t HostPageCountNow(Volume& volume);

bool IsEncipheredPage(std::uint16_t pageType, std::uint32_t ownerId, std::uint32_t pageShift) {
  return IsEncipheredPageType(pageType, ownerId, pageShift);
}

namespace {

void SwapU16Range(std::uint8_t* p, std::uint32_t from, std::uint32_t to) {
  for (std::uint32_t at = from; at + 2 <= to; at += 2) SwapU16At(p + at);
}

void SwapU32Range(std::uint8_t* p, std::uint32_t from, std::uint32_t to) {
  for (std::uint32_t at = from; at + 4 <= to; at += 4) SwapU32At(p + at);
}

void SwapDirectoryEntry(std::uint8_t* e) {
  SwapU32Range(e, 0, kEntryNameStart);
  SwapU16Range(e, kEntryNameStart, kDirectoryEntrySize);
}

void SwapRecordHead(std::uint8_t* r) {
  SwapU16At(r + kRecordKind);
  SwapU16At(r + kRecordLength);
  SwapU32At(r + kRecordDataSize);
  SwapU32At(r + kRecordMovedTo);
}

// A record's data by its kind. The kinds not named here (file and root
// data, tags, rkBlockIndex) stay as they are.
void SwapRecordData(std::uint8_t* r, const RecordHead& head) {
  const std::uint32_t dataEnd = head.Length;
  switch (head.Kind) {
    case rkObjectInfo:
      if (head.Length >= kObjectInfoLength) {
        SwapU32At(r + 12);
        SwapU64At(r + kInfoCreated);
        SwapU64At(r + kInfoModified);
        SwapU64At(r + kInfoAccessed);
        SwapU32At(r + kInfoSizeLow);
        SwapU32At(r + kInfoSizeHigh);
      }
      break;
    case rkDirectory:
      for (std::uint32_t e = kRecordHeadSize; e + kDirectoryEntrySize <= dataEnd;
           e += kDirectoryEntrySize)
        SwapDirectoryEntry(r + e);
      break;
    case rkFileEncryption:
    case rkStorageEncryption:
      if (head.Length >= kRecordHeadSize + 4) SwapU32At(r + kRecordHeadSize);
      break;
    case rkLinkTarget:
      SwapU16Range(r, kRecordHeadSize, dataEnd);
      break;
    case rkCompression:
      if (head.Length >= kRecordHeadSize + compression_record::kSize) {
        SwapU32At(r + kRecordHeadSize + compression_record::kMode);
        SwapU32At(r + kRecordHeadSize + compression_record::kLevel);
        SwapU16At(r + kRecordHeadSize + compression_record::kBlockPages);
        SwapU16At(r + kRecordHeadSize + compression_record::kReserved);
      }
      break;
    default:
      break;
  }
}

// Records of an object header page, up to UsedLength. The kind and length
// steer the walk, so they are read in host order: before swapping when
// going to file order, after swapping when coming from it. A record whose
// head fits is converted up to its head even when its length then stops
// the walk.
void SwapRecords(std::uint8_t* page, std::uint32_t pageSize, bool toFileOrder) {
  std::uint16_t usedLength = LoadU16(page + kUsedLength);
  SwapU16At(page + kUsedLength);
  SwapU16At(page + kUsedLength + 2);
  if (!toFileOrder) usedLength = LoadU16(page + kUsedLength);
  RecordCursor cursor(page, std::min<std::uint32_t>(usedLength, pageSize));
  while (cursor.HeadFits()) {
    std::uint8_t* r = page + cursor.Offset();
    if (!toFileOrder) SwapRecordHead(r);
    RecordHead head;
    const bool whole = cursor.Read(head) == RecordAt::kRecord;
    if (toFileOrder) SwapRecordHead(r);
    if (!whole) break;
    SwapRecordData(r, head);
    cursor.Skip(head);
  }
}

}  // namespace

void Volume::ConvertPage(std::uint8_t* page, bool toFileOrder) const {
  std::uint16_t type = LoadU16(page + kPageType);
  if (!toFileOrder) type = Swap16(type);
  if (type == PageShift) {
    SwapU16Range(page, 0, PageSize);
    return;
  }
  if (type == VolumeSignature) {
    SwapU16Range(page, 0, 4);
    SwapU32Range(page, 4, 12);
    SwapU16Range(page, 12, kLogoTerminator + 2);
    SwapU32Range(page, kEngineVersion, kLayoutConstant1);
    SwapU16Range(page, kLayoutConstant1, kLayoutConstant3);
    SwapU32Range(page, kLayoutConstant3, kRootEntry);
    SwapDirectoryEntry(page + kRootEntry);
    SwapU16Range(page, kFixedSize, kMaxPageCount);
    SwapU32Range(page, kMaxPageCount, kVolumeInfoUsedBytes);
    return;
  }
  SwapU16Range(page, 0, 4);
  switch (type) {
    case kFreePageType:  // journal pages and zeroed pages: all u32 after the type
    case TransactionTablePage:
    case kJournalFreeRecord:
    case kJournalRewriteRecord:
      SwapU32Range(page, 4, PageSize);
      return;
    case BlockIndexPage:
      SwapU32Range(page, 4, kStreamKind);
      SwapU16Range(page, kStreamKind, kPageHeaderSize);
      SwapU32Range(page, kPageHeaderSize, PageSize);
      return;
    default:
      break;
  }
  SwapU32Range(page, 4, 28);
  if (type == ObjectHeaderPage) {
    SwapU32At(page + kParentId);
    SwapRecords(page, PageSize, toFileOrder);
    return;
  }
  SwapU16Range(page, kStreamKind, kPageHeaderSize);
  if (type == DirectoryEntryPage) {
    for (std::uint32_t e = kPageHeaderSize; e + kDirectoryEntrySize <= PageSize;
         e += kDirectoryEntrySize)
      SwapDirectoryEntry(page + e);
  } else if (type == NameContinuationPage || type == LinkDataPage) {
    SwapU16Range(page, kPageHeaderSize, PageSize);
  }
}

EngineResult Volume::ReadPage(std::uint32_t n, std::uint8_t* buffer) {
  MutexLock io(IoLock);
  if (!hostOpen_) return errStorageNotActive;
  if (n >= HostPageCountNow(*this)) {
    // A reference past the end of the host file: the volume is damaged.
    MarkCorrupted();
    return errStorageCorrupted;
  }
  EngineResult r =
      backend_->ReadAt(host_, std::uint64_t{VolumeStart} + n, PageSize, buffer, PageSize);
  if (r != 0) return r;
  return DecodeStoredPage(buffer, LoadU32(buffer + kPageNumber));
}

EngineResult Volume::DecodeStoredPage(std::uint8_t* buffer, std::uint32_t tweak) {
  std::uint16_t type = LoadU16(buffer + kPageType);
  std::uint32_t owner = LoadU32(buffer + kOwnerId);
  if (ByteSwapped) {
    type = Swap16(type);
    owner = Swap32(owner);
  }
  if (IsEncipheredPage(type, owner, PageShift)) {
    if (!StorageUnlocked) return errInvalidPassword;
    if (ReadKey) {
      EngineResult r =
          ReadKey->Decipher(buffer + kPageHeaderSize, PayloadSize, TweakWord(PageSize), tweak);
      if (r != 0) return r;
    }
  }
  if (ByteSwapped) ConvertPage(buffer, false);
  return 0;
}

EngineResult Volume::WritePage(std::uint32_t n, const std::uint8_t* buffer) {
  MutexLock io(IoLock);
  if (!hostOpen_) return errStorageNotActive;
  if (ReadOnly) return errStorageReadOnly;
  const bool encipher = WriteKey && IsEncipheredPage(LoadU16(buffer + kPageType),
                                                     LoadU32(buffer + kOwnerId), PageShift);
  const std::uint8_t* out = buffer;
  if (encipher || ByteSwapped) {
    std::memcpy(scratch_.data(), buffer, PageSize);
    if (ByteSwapped) ConvertPage(scratch_.data(), true);
    if (encipher) {
      EngineResult r = WriteKey->Encipher(scratch_.data() + kPageHeaderSize, PayloadSize,
                                          TweakWord(PageSize),
                                          LoadU32(scratch_.data() + kPageNumber));
      if (r != 0) return r;
    }
    out = scratch_.data();
  }
  return backend_->WriteAt(host_, std::uint64_t{VolumeStart} + n, PageSize, out, PageSize);
}

EngineResult Volume::ReadJournalPage(std::uint32_t slot, std::uint8_t* buffer) {
  MutexLock io(IoLock);
  if (FixedSize) {
    if (slot >= HostPageCount) return errStorageCorrupted;
    return ReadPage(HostPageCount - slot - 1, buffer);
  }
  EngineResult r = journal_.ReadRaw(slot, buffer);
  if (r != 0) return r;
  // A journal slot's image is enciphered with its slot for the second word.
  return DecodeStoredPage(buffer, TweakWord(slot));
}

EngineResult Volume::RecipherPages(Transaction* transaction,
                                   std::shared_ptr<PageCipherHook> read,
                                   std::shared_ptr<PageCipherHook> write, std::uint32_t first,
                                   const ProgressSink* progress, std::uint8_t operation) {
  if (!UseTransactions || !transaction || transaction->IsReadOnly()) return errInvalidParameter;
  {
    MutexLock io(IoLock);
    ReadKey = std::move(read);
    WriteKey = std::move(write);
  }
  // The pages in use now: the shadows allocated below are not among them.
  std::vector<std::uint32_t> used;
  std::uint32_t total = 0;
  {
    MutexLock cache(cache_.Lock());
    EngineResult r = EnsureScanned();
    if (r != 0) return r;
    total = UsedPageCount;
    try {
      for (std::uint32_t n = first; n < total; ++n) {
        if (IsMapPage(n)) continue;
        std::uint16_t type = 0;
        if ((r = GetMapEntry(n, type)) != 0) return r;
        if (!IsFreeEntry(type)) used.push_back(n);
      }
    } catch (const std::bad_alloc&) {
      return errOutOfMemory;
    }
  }
  for (const std::uint32_t n : used) {
    PageRef page;
    EngineResult r = GetPage(n, true, -1, 0, nullptr, page);
    if (r != 0) return r;
    const std::uint8_t* d = page.data();
    // Pages kept in plain text (the map's, the journal's) read the same
    // under any key. The root's record pages do too, but the caller changes
    // them next: shadowed now, they need no page the commit might not find.
    const std::uint16_t type = PageTypeOf(d);
    const bool rootRecords = type == ObjectHeaderPage && OwnerIdOf(d) <= 1;
    if (!rootRecords && !IsEncipheredPage(type, OwnerIdOf(d), PageShift)) continue;
    // The shadow is copied home to the page its image names.
    if (PageNumberOf(d) != n) {
      MarkCorrupted();
      return errStorageCorrupted;
    }
    if ((r = MarkDirty(page.get(), transaction)) != 0) return r;
    // A page without a shadow would be written in place, past undoing.
    if (transaction->NoJournalSpace()) return errStorageFull;
    {
      MutexLock cache(cache_.Lock());
      if ((r = ShadowWrite(page.get())) != 0) return r;
      page->Flags &= static_cast<std::uint16_t>(~pbDirty);
    }
    if (progress) ReportProgress(*progress, operation, n, total, false);
  }
  if (progress) ReportProgress(*progress, operation, total, total, false);
  // One journal page more than the pages joined so far need, for those the
  // caller joins next.
  std::uint32_t spare = 0;
  EngineResult r = AllocatePage(JournalPage, nullptr, true, spare);
  if (r != 0) return r;
  MutexLock lock(transaction->lock);
  transaction->reserved.push_back(spare);
  return 0;
}

EngineResult Volume::WipeFreePages(std::uint32_t first) {
  MutexLock cache(cache_.Lock());
  EngineResult r = EnsureScanned();
  if (r != 0) return r;
  std::vector<std::uint8_t> zero;
  try {
    zero.assign(PageSize, 0);
  } catch (const std::bad_alloc&) {
    return errOutOfMemory;
  }
  for (std::uint32_t n = first; n < UsedPageCount; ++n) {
    if (IsMapPage(n)) continue;
    std::uint16_t type = 0;
    if ((r = GetMapEntry(n, type)) != 0) return r;
    if (!IsFreeEntry(type) || cache_.Find(n)) continue;
    StoreU32(zero.data() + kPageNumber, n);
    if ((r = WritePage(n, zero.data())) != 0) return r;
  }
  return 0;
}

}  // namespace vaultfs
