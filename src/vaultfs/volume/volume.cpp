// Volume life cycle: create, open (locating the volume behind a partition
// table or a boot sector, byte-swapped volumes), probe and close; the volume
// information page.
#include "vaultfs/volume/volume.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "vaultfs/format/object_layout.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/storage_time.h"
#include "vaultfs/util/byte_order.h"
#include "vaultfs/util/random.h"
#include "vaultfs/volume/transaction.h"

namespace vaultfs {

using namespace layout;

namespace {

constexpr char16_t kDefaultLogo[] = u"VaultFS volume";

void StoreLogo(std::uint8_t* info, std::u16string_view logo) {
  if (logo.empty()) logo = kDefaultLogo;
  const std::size_t units = std::min<std::size_t>(logo.size(), kLogoUnits);
  for (std::size_t i = 0; i < units; ++i)
    StoreU16(info + kLogo + 2 * i, static_cast<std::uint16_t>(logo[i]));
  // Units of an older, longer logo after the terminator stay as they were.
  if (units < kLogoUnits) StoreU16(info + kLogo + 2 * units, 0);
  StoreU16(info + kLogoTerminator, 0);
}

std::u16string LoadLogo(const std::uint8_t* info, bool swapped) {
  std::u16string logo;
  for (std::uint32_t i = 0; i < kLogoUnits; ++i) {
    std::uint16_t unit = LoadU16(info + kLogo + 2 * i);
    if (swapped) unit = Swap16(unit);
    if (unit == 0) break;
    logo.push_back(static_cast<char16_t>(unit));
  }
  return logo;
}

}  // namespace

Volume::Volume() {
  backend_ = MakeSystemFileBackend();
  LastAccess = LastChange = Now();
  Reseed(ReseedValueFromClock(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(this))));
}

Volume::~Volume() {
  if (Active) {
    // Running transactions cannot be finished by anyone any more.
    for (Transaction* t : journal_.RunningNow()) {
      EngineResult ignored = Rollback(t);
      (void)ignored;
    }
    EngineResult ignored = Close();
    (void)ignored;
  }
  ReadKey.reset();
  WriteKey.reset();
}

EngineResult Volume::SetHostFileCallbacks(const HostFileCallbacks& callbacks) {
  if (Active) return errStorageActive;
  if (!callbacks.Complete()) return errInvalidParameter;
  callbacks_ = callbacks;
  backend_ = MakeCallbackFileBackend(callbacks_, IoLock.Native());
  useCallbacks_ = true;
  return 0;
}

EngineResult Volume::UseSystemFiles() {
  if (Active) return errStorageActive;
  backend_ = MakeSystemFileBackend();
  useCallbacks_ = false;
  return 0;
}

EngineResult Volume::SetPathSeparator(char16_t separator) {
  if (Active) return errStorageActive;
  PathSeparator = separator;
  return 0;
}

EngineResult Volume::SetUseTransactions(bool on) {
  if (Active) return errStorageActive;
  UseTransactions = on;
  return 0;
}

EngineResult Volume::SetUseAccessTime(bool on) {
  if (Active) return errStorageActive;
  UseAccessTime = on;
  return 0;
}

EngineResult Volume::CheckPageSize(std::uint32_t pageSize) {
  std::uint32_t v = pageSize >> 8;
  std::uint32_t count = 8;
  while (v > 1) {
    v >>= 1;
    ++count;
  }
  if (v != 1 || count > 16 || (1u << count) != pageSize) return errInvalidPageSize;
  return 0;
}

void Volume::ResetState() {
  DropAllBuffers();
  space_.Reset();
  journal_.ForgetTable();
  Compacting = false;
  VolumeStart = 0;
  HostPageCount = 0;
  UsedPageCount = kUnknownPageCount;
  ReadOnly = false;
  ByteSwapped = false;
  FixedSize = false;
  StorageUnlocked = true;
}

std::uint32_t Volume::VolumeFlags() const {
  return info_.empty() ? 0 : LoadU32(info_.data() + kVolumeFlags);
}
bool Volume::MountedFlag() const {
  return !info_.empty() && LoadU16(info_.data() + kMountedFlag) != 0;
}
std::uint32_t Volume::LastObjectId() const {
  return info_.empty() ? 0 : LoadU32(info_.data() + kLastObjectId);
}
std::uint32_t Volume::LastTransactionId() const {
  return info_.empty() ? 0 : LoadU32(info_.data() + kLastTransactionId);
}
std::uint32_t Volume::TransactionTableFirstPage() const {
  return info_.empty() ? 0 : LoadU32(info_.data() + kTransactionTablePage);
}

// The volume information image is written out under the I/O lock, so every
// change to it is made under that lock too.
EngineResult Volume::WriteVolumeInfo() {
  MutexLock io(IoLock);
  return WritePage(1, info_.data());
}

void Volume::MarkCorrupted() {
  MutexLock io(IoLock);
  if (info_.empty()) return;
  const std::uint32_t flags = LoadU32(info_.data() + kVolumeFlags);
  if (flags & vfCorrupted) return;
  StoreU32(info_.data() + kVolumeFlags, flags | vfCorrupted);
  if (Active && !ReadOnly) {
    EngineResult ignored = WriteVolumeInfo();
    (void)ignored;
  }
}

void BuildFirstMapPage(std::uint8_t* page, std::uint32_t pageSize, std::uint32_t pageShift) {
  std::memset(page, 0, pageSize);
  // The entries of pages 0 to 2; they also make the probe of every volume.
  StoreU16(page, static_cast<std::uint16_t>(pageShift));
  StoreU16(page + 2, VolumeSignature);
  StoreU16(page + 4, ObjectHeaderPage);
}

void BuildVolumeInfoPage(std::uint8_t* page, std::uint32_t pageSize, std::u16string_view logo,
                         bool mounted) {
  std::memset(page, 0, pageSize);
  StoreU16(page + kPageType, VolumeSignature);
  StoreU32(page + kPageNumber, 1);
  StoreU16(page + kMountedFlag, mounted ? 1 : 0);
  StoreU16(page + kLogoCr, 13);
  StoreU16(page + kLogoLf, 10);
  StoreLogo(page, logo);
  StoreU32(page + kEngineVersion, kEngineVersionValue);
  StoreU32(page + kEngineVersionCopy, kEngineVersionValue);
  StoreU32(page + kLastObjectId, 1);
  StoreU32(page + kLastTransactionId, 1);
  StoreU16(page + kLayoutConstant1, 1);
  StoreU16(page + kLayoutConstant2, 76);
  StoreU32(page + kLayoutConstant3, 64);
  StoreU32(page + kLayoutConstant4, 0);
  StoreU32(page + kRootEntry + kEntryObjectId, 1);
  StoreU32(page + kRootEntry + kEntryHeaderPage, 2);
  StoreU32(page + kRootEntry + kEntryAttributes, attrDirectory);
  StoreU32(page + kVolumeFlags, vfTransactionTable);
  StoreU32(page + kVolumeId, RandomId());
}

void BuildRootHeaderPage(std::uint8_t* page, std::uint32_t pageSize, StorageTime now) {
  std::memset(page, 0, pageSize);
  StoreU16(page + kPageType, ObjectHeaderPage);
  StoreU32(page + kPageNumber, 2);
  StoreU32(page + kPrevPage, 1);
  StoreU32(page + kOwnerId, 1);
  StoreU16(page + kUsedLength, kFirstRecord + kObjectInfoLength);
  StoreNewObjectInfo(page + kFirstRecord, now);
}

// Create, Open and Close hold no lock of their own from start to end: each
// step takes the locks it needs in their order, and the object layer's hooks
// run with none of the volume's locks held, since they lock objects, which
// rank above them. Nothing else may use the volume while it is inactive, or
// while it is being closed.
EngineResult Volume::Create(const std::u16string& path, bool overwrite, std::uint32_t pageSize,
                            std::u16string_view logo) {
  if (Active) return errStorageActive;
  EngineResult r = CheckPageSize(pageSize);
  if (r != 0) return r;
  ResetState();
  // Close puts this back; without it a volume created with transactions off
  // would turn them on again for its next open or create.
  savedUseTransactions_ = UseTransactions;
  PageSize = pageSize;
  PageShift = 8;
  while ((1u << PageShift) != PageSize) ++PageShift;
  PayloadSize = PageSize - kPageHeaderSize;
  try {
    scratch_.assign(PageSize, 0);
    info_.assign(PageSize, 0);
  } catch (const std::bad_alloc&) {
    return errOutOfMemory;
  }
  Path = path;
  journal_.SetFileName(path);
  r = backend_->Create(path, overwrite, false, host_);
  if (r != 0) return r;
  hostOpen_ = true;

  auto fail = [this](EngineResult error) {
    Active = false;
    DropAllBuffers();
    EngineResult ignored = backend_->Close(host_);
    (void)ignored;
    hostOpen_ = false;
    return error;
  };

  std::vector<std::uint8_t> page(PageSize, 0);
  BuildFirstMapPage(page.data(), PageSize, PageShift);
  if ((r = WritePage(0, page.data())) != 0) return fail(r);

  BuildVolumeInfoPage(info_.data(), PageSize, logo, UseTransactions);
  if ((r = WritePage(1, info_.data())) != 0) return fail(r);

  BuildRootHeaderPage(page.data(), PageSize, Now());
  if ((r = WritePage(2, page.data())) != 0) return fail(r);

  {
    MutexLock cache(cache_.Lock());
    space_.StartNew();
    HostPageCount = 3;
    UsedPageCount = 3;
    Active = true;
    // Keep the root's header page cached: the object layer reads it first.
    PageRef root;
    if ((r = GetPage(2, true, ObjectHeaderPage, 1, nullptr, root)) != 0) return fail(r);
  }
  if (ObjectLayer && (r = ObjectLayer->AttachRoot(*this)) != 0) return fail(r);
  if (UseTransactions && (r = journal_.Mount()) != 0) return fail(r);
  return 0;
}

EngineResult Volume::OpenHost(const std::u16string& path, bool& readOnly) {
  EngineResult r = backend_->Open(path, readOnly, false, host_);
  if (r == 0) hostOpen_ = true;
  return r;
}

// Moves `start` (in probe units) past a boot sector or a partition table.
EngineResult Volume::LocateVolume(std::uint64_t& start, std::uint64_t fileSize) {
  const std::uint8_t* b = scratch_.data();
  const std::uint32_t sectorSize = LoadLittleEndian16(b + 11);
  const bool powerOfTwo = sectorSize != 0 && (sectorSize & (sectorSize - 1)) == 0;
  if (powerOfTwo && sectorSize >= 512 && sectorSize <= 65536 &&
      LoadLittleEndian16(b + 14) != 0 &&
      (b[16] == 1 || b[16] == 2)) {
    const bool signature = b[kProbeSize - 2] == 0x55 && b[kProbeSize - 1] == 0xAA;
    if (sectorSize > kProbeSize || (sectorSize == kProbeSize && signature)) {
      std::uint64_t sectors = LoadLittleEndian16(b + 19);
      if (sectors == 0) sectors = LoadLittleEndian32(b + 32);
      const std::uint64_t here = start * kProbeSize;
      if (sectors != 0 && fileSize > here && (fileSize - here) / sectorSize > sectors) {
        start += sectors * sectorSize / kProbeSize;
        return 0;
      }
      return errInvalidStorageFile;
    }
  }
  if (b[kSectorSignature] == 0x55 && b[kSectorSignature + 1] == 0xAA) {
    const std::uint32_t first = LoadLittleEndian32(b + kPartitionEntry1 + kPartitionStart);
    if (first != 0) {
      start += first;
      return 0;
    }
  }
  return errInvalidStorageFile;
}

EngineResult Volume::Open(const std::u16string& path, bool readOnlyWanted) {
  if (Active) return errStorageActive;
  ResetState();
  try {
    scratch_.assign(std::max<std::uint32_t>(kProbeSize, 65536), 0);
  } catch (const std::bad_alloc&) {
    return errOutOfMemory;
  }
  bool readOnly = readOnlyWanted;
  EngineResult r = OpenHost(path, readOnly);
  if (r != 0) return r;
  ReadOnly = readOnly;
  const bool savedUseTransactions = UseTransactions;
  auto fail = [this, savedUseTransactions](EngineResult error) {
    Active = false;
    DropAllBuffers();
    EngineResult ignoredJournal = journal_.CloseFile();
    (void)ignoredJournal;
    EngineResult ignored = backend_->Close(host_);
    (void)ignored;
    hostOpen_ = false;
    info_.clear();
    UseTransactions = savedUseTransactions;
    return error;
  };
  if (ReadOnly) UseTransactions = false;

  std::int64_t size = 0;
  if ((r = backend_->GetSize(host_, size)) != 0) return fail(r);
  const std::uint64_t fileSize = static_cast<std::uint64_t>(size);
  std::uint64_t start = 0;
  int steps = 0;
  for (;;) {
    if (fileSize < (start + 1) * kProbeSize) return fail(errInvalidStorageFile);
    if ((r = backend_->ReadAt(host_, start, kProbeSize, scratch_.data(), kProbeSize)) != 0)
      return fail(r);
    const std::uint16_t signature = LoadU16(scratch_.data() + 2);
    if (signature == VolumeSignature || signature == kSwappedSignature) break;
    const std::uint64_t before = start;
    if (++steps > kMaxLocateSteps || LocateVolume(start, fileSize) != 0 || start <= before)
      return fail(errInvalidStorageFile);
  }
  ByteSwapped = LoadU16(scratch_.data() + 2) == kSwappedSignature;
  std::uint16_t shift = LoadU16(scratch_.data());
  if (ByteSwapped) shift = Swap16(shift);
  if (shift < 8 || shift > 16) return fail(errInvalidStorageFile);
  PageShift = shift;
  PageSize = 1u << shift;
  PayloadSize = PageSize - kPageHeaderSize;
  const std::uint64_t startBytes = start * kProbeSize;
  // A volume begins on a page boundary of the host file.
  if (startBytes % PageSize != 0) return fail(errInvalidStorageFile);
  const std::uint64_t startPages = startBytes / PageSize;
  const std::uint64_t filePages = fileSize >> PageShift;
  // Pages 0 to 2 exist in every volume; anything shorter is not one.
  if (filePages < startPages + 3 || filePages - startPages > 0xFFFFFFFEu)
    return fail(errInvalidStorageFile);
  VolumeStart = static_cast<std::uint32_t>(startPages);
  HostPageCount = static_cast<std::uint32_t>(filePages - startPages);
  Path = path;
  journal_.SetFileName(path);

  try {
    info_.assign(PageSize, 0);
    scratch_.assign(PageSize, 0);
  } catch (const std::bad_alloc&) {
    return fail(errOutOfMemory);
  }
  if ((r = ReadPage(1, info_.data())) != 0) return fail(r);
  // Refuse to treat a file as a volume (and to write into it) unless page 1
  // really is the volume information page.
  if (PageTypeOf(info_.data()) != VolumeSignature || PageNumberOf(info_.data()) != 1)
    return fail(errInvalidStorageFile);
  Active = true;
  UsedPageCount = kUnknownPageCount;
  FixedSize = LoadU16(info_.data() + kFixedSize) != 0;
  if (FixedSize) {
    // A fixed-size volume may share its host file with a FAT area after it.
    // Its own extent is its MaxPageCount: allocation, the free space and the
    // journal area all stay below it. A value too small to hold the first
    // pages is damage, not an extent.
    const std::uint32_t extent = LoadU32(info_.data() + kMaxPageCount);
    if (extent >= 3 && extent < HostPageCount) HostPageCount = extent;
  }

  if (MountedFlag() && !ReadOnly) {
    if ((r = Recover()) != 0) return fail(r);
  }
  if (ObjectLayer && (r = ObjectLayer->AttachRoot(*this)) != 0) return fail(r);
  if (!ReadOnly && UseTransactions) {
    StoreU16(info_.data() + kMountedFlag, 1);
    if ((r = WriteVolumeInfo()) != 0) return fail(r);
    if ((r = journal_.Mount()) != 0) return fail(r);
  }
  if (ObjectLayer) {
    bool locked = false;
    if ((r = ObjectLayer->DetectStorageLock(*this, locked)) != 0) return fail(r);
    StorageUnlocked = !locked;
  }
  savedUseTransactions_ = savedUseTransactions;
  return 0;
}

EngineResult Volume::Probe(const std::u16string& path, ProbeResult& result) {
  MutexLock io(IoLock);
  if (Active) return errStorageActive;
  bool readOnly = true;
  HostHandle handle = 0;
  EngineResult r = backend_->Open(path, readOnly, false, handle);
  if (r != 0) return r;
  std::vector<std::uint8_t> buffer;
  auto finish = [&](EngineResult error) {
    EngineResult closed = backend_->Close(handle);
    return error != 0 ? error : closed;
  };
  try {
    buffer.assign(65536, 0);
    scratch_.assign(65536, 0);
  } catch (const std::bad_alloc&) {
    return finish(errOutOfMemory);
  }
  std::int64_t size = 0;
  if ((r = backend_->GetSize(handle, size)) != 0) return finish(r);
  const std::uint64_t fileSize = static_cast<std::uint64_t>(size);
  std::uint64_t start = 0;
  int steps = 0;
  for (;;) {
    if (fileSize < (start + 1) * kProbeSize) return finish(errInvalidStorageFile);
    if ((r = backend_->ReadAt(handle, start, kProbeSize, scratch_.data(), kProbeSize)) != 0)
      return finish(r);
    const std::uint16_t signature = LoadU16(scratch_.data() + 2);
    if (signature == VolumeSignature || signature == kSwappedSignature) break;
    const std::uint64_t before = start;
    if (++steps > kMaxLocateSteps || LocateVolume(start, fileSize) != 0 || start <= before)
      return finish(errInvalidStorageFile);
  }
  const bool swapped = LoadU16(scratch_.data() + 2) == kSwappedSignature;
  std::uint16_t shift = LoadU16(scratch_.data());
  if (swapped) shift = Swap16(shift);
  if (shift < 8 || shift > 16) return finish(errInvalidStorageFile);
  const std::uint32_t pageSize = 1u << shift;
  const std::uint64_t startBytes = start * kProbeSize;
  if (startBytes % pageSize != 0) return finish(errInvalidStorageFile);
  const std::uint64_t startPages = startBytes / pageSize;
  const std::uint64_t filePages = fileSize >> shift;
  // The same size rule as Open: a file the probe calls valid must open.
  if (filePages < startPages + 3 || filePages - startPages > 0xFFFFFFFEu)
    return finish(errInvalidStorageFile);
  const std::uint64_t page1 = startPages + 1;
  if ((r = backend_->ReadAt(handle, page1, pageSize, buffer.data(), pageSize)) != 0)
    return finish(r);
  auto u16 = [&](std::uint32_t at) {
    std::uint16_t v = LoadU16(buffer.data() + at);
    return swapped ? Swap16(v) : v;
  };
  auto u32 = [&](std::uint32_t at) {
    std::uint32_t v = LoadU32(buffer.data() + at);
    return swapped ? Swap32(v) : v;
  };
  if (u16(kPageType) != VolumeSignature || u32(kPageNumber) != 1)
    return finish(errInvalidStorageFile);
  result.Corrupted = (u32(kVolumeFlags) & vfCorrupted) != 0;
  result.VolumeId = u32(kVolumeId);
  result.PageSize = pageSize;
  result.Logo = LoadLogo(buffer.data(), swapped);
  return finish(0);
}

EngineResult Volume::Close() {
  if (!Active) return 0;
  // Open handles end first: closing them commits their private transactions.
  EngineResult handles = ObjectLayer ? ObjectLayer->CloseAllHandles(*this) : 0;
  if (journal_.RunningCount() != 0) return errActiveTransactions;
  EngineResult first = 0;
  auto keep = [&first](EngineResult r) {
    if (first == 0) first = r;
  };
  EngineResult pending = 0;
  bool writeKept = false;
  {
    MutexLock lock(journal_.Lock());
    pending = journal_.TakePendingRecovery();
    writeKept = journal_.TakeWriteAtClose();
  }
  if (pending != 0 && !writeKept) {
    // A registered commit failed half-way: the transaction table, the
    // journal it names and MountedFlag must stay exactly as they are on the
    // medium so that the next writable open finishes that commit. Or a
    // roll-back found older pages already overwritten in place: what memory
    // holds no longer matches them. Nothing is written; the volume is only
    // let go.
    if (ObjectLayer) ObjectLayer->ReleaseRoot(*this);
    DropAllBuffers();
    info_.clear();
    Active = false;
    (void)journal_.CloseFile();
    if (hostOpen_) (void)backend_->Close(host_);
    hostOpen_ = false;
    scratch_.clear();
    UseTransactions = savedUseTransactions_;
    WriteBehind = false;  // asked for by each open anew
    return pending;
  }
  // A failed commit kept in memory is written now like any other change;
  // the close still reports the failure that stopped the volume.
  keep(pending);
  keep(handles);
  if (!ReadOnly) {
    keep(journal_.Unmount());
    keep(WriteAllDirty());
    keep(FlushCache());
    keep(FlushMapPages());
  }
  if (ObjectLayer) ObjectLayer->ReleaseRoot(*this);
  if (!ReadOnly) {
    // The volume says it was closed cleanly only once everything above is
    // on the medium: written in any order, a clean mark that arrived
    // without them would keep the next open from recovering.
    keep(FlushHost());
    StoreU16(info_.data() + kMountedFlag, 0);
    keep(WriteVolumeInfo());
    keep(FlushHost());
  }
  DropAllBuffers();
  info_.clear();
  Active = false;
  keep(journal_.CloseFile());
  // After a failed reopen there is no host file left to close.
  if (hostOpen_) keep(backend_->Close(host_));
  hostOpen_ = false;
  scratch_.clear();
  UseTransactions = savedUseTransactions_;
  WriteBehind = false;  // asked for by each open anew
  return first;
}

EngineResult Volume::ReopenHost(const std::u16string& path) {
  if (!Active) return errStorageNotActive;
  MutexLock io(IoLock);
  EngineResult closed = 0;
  if (hostOpen_) {
    closed = backend_->Close(host_);
    hostOpen_ = false;
  }
  Path = path;
  journal_.SetFileName(path);
  bool readOnly = ReadOnly;
  EngineResult r = OpenHost(path, readOnly);
  if (r != 0) return r;
  ReadOnly = readOnly;
  return closed;
}

EngineResult Volume::GetLogo(std::u16string& logo) const {
  if (!Active) return errStorageNotActive;
  logo = LoadLogo(info_.data(), false);
  return 0;
}

EngineResult Volume::SetLogo(std::u16string_view logo) {
  if (!Active) return errStorageNotActive;
  if (ReadOnly) return errStorageReadOnly;
  MutexLock io(IoLock);
  StoreU16(info_.data() + kLogoCr, 13);
  StoreU16(info_.data() + kLogoLf, 10);
  StoreLogo(info_.data(), logo);
  return WriteVolumeInfo();
}

EngineResult Volume::GetMaxPageCount(std::uint32_t& count) const {
  if (!Active) return errStorageNotActive;
  count = LoadU32(info_.data() + kMaxPageCount);
  return 0;
}

EngineResult Volume::SetMaxPageCount(std::uint32_t count) {
  if (!Active) return errStorageNotActive;
  if (ReadOnly) return errStorageReadOnly;
  EngineResult r = EnsureScanned();
  if (r != 0) return r;
  if (count < UsedPageCount) return errInvalidParameter;
  // A fixed-size volume cannot reach past its extent: whatever follows it in
  // the host file (a FAT area) is not its to take.
  if (FixedSize && count > HostPageCount) return errInvalidParameter;
  MutexLock io(IoLock);
  StoreU32(info_.data() + kMaxPageCount, count);
  return WriteVolumeInfo();
}

EngineResult Volume::GetVolumeId(std::uint32_t& id) const {
  if (!Active) return errStorageNotActive;
  id = LoadU32(info_.data() + kVolumeId);
  return 0;
}

EngineResult Volume::GetCorrupted(bool& corrupted) const {
  if (!Active) return errStorageNotActive;
  corrupted = (LoadU32(info_.data() + kVolumeFlags) & vfCorrupted) != 0;
  return 0;
}

EngineResult Volume::CheckSameVolume(bool& changed) {
  if (!Active) return errStorageNotActive;
  MutexLock io(IoLock);
  std::vector<std::uint8_t> page0(PageSize), page1(PageSize);
  changed = true;
  if (ReadPage(0, page0.data()) != 0 || ReadPage(1, page1.data()) != 0) return 0;
  const std::uint32_t id = LoadU32(info_.data() + kVolumeId);
  changed = !(LoadU16(page0.data()) == PageShift &&
              LoadU16(page0.data() + 2) == PageTypeOf(info_.data()) &&
              PageTypeOf(page1.data()) == PageTypeOf(info_.data()) && id != 0 &&
              LoadU32(page1.data() + kVolumeId) == id);
  return 0;
}

}  // namespace vaultfs
