// Check and repair of a closed container.
//
// The run has four phases, each reported with its own progress code:
//
// Reading: every space map page, every page the map calls used (every page
//    with kCheckEveryPage, and every page of a group whose map page is itself
//    damaged) gives a 36-byte header copy. A page whose header does not
//    describe a page of the object layer at its own number (a wrong type, a
//    copy of another page, random bytes) keeps a zero copy: nothing will ever
//    follow a link into it. Pages the map wrongly calls free are read later,
//    the moment a link names them, so a damaged map loses nothing.
// Links: every link is judged from both ends. A chain link stands when the
//    next page has the same type and owner, points back and carries the next
//    chain index (in a data chain: the next page of its block, or the first
//    page of the next block); a directory entry, name chain or moved-out record stands
//    when its first page is of the right kind, belongs to the right object,
//    points back at the page holding the reference and is not claimed twice
//    in that page. Failing links are cut (next page 0, entry cleared, record
//    removed), names are cut back to the units their surviving pages hold.
//    Every link that stands comes from the target's PrevPage, so each page
//    has at most one valid holder.
// Orphans: a page lives when its holder's link to it stands and the holder
//    lives, up to page 1. This also catches loops that no reference count
//    would. Object ids must be unique among the living; a block index lives
//    only when it lists exactly the pages of its stream's chain (otherwise
//    the stream is read along its chain, as small streams always are).
// Writing (repairs only): changed pages are re-read and the same decisions
//    applied again, pages in use that nothing valid references are wiped
//    (never written back deciphered), the space map is rebuilt from what
//    lives, and page 1 is put right last, with the corrupted flag cleared.
//
// Apart from the ordinary open and close that first finishes an interrupted
// commit when repairing, nothing is written before the writing phase: a check-only
// run, and one that ends in an error before it, leave the host file as it
// was.
#include "vaultfs/maintenance/repair.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/object_layout.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/format/record_walk.h"
#include "vaultfs/objects/codecs.h"
#include "vaultfs/util/random.h"
#include "vaultfs/storage_time.h"

namespace vaultfs {

using namespace layout;

namespace {

constexpr std::uint32_t kMinPageShift = 8;
constexpr std::uint32_t kMaxPageShift = 16;
constexpr std::uint32_t kMinVolumePages = 3;
constexpr std::uint32_t kRootHeaderPage = 2;
constexpr std::uint32_t kRootObjectId = 1;
constexpr std::uint32_t kVolumeInfoReserved = 8;  // u32 of the volume information page, always 0

// The part of each page the check keeps in memory: the common header and the
// UsedLength word of object header pages.
constexpr std::uint32_t kHeaderCopySize = 36;
// What is written back from a header copy into a page being repaired: the
// common header up to ChainIndex, and for object header pages the ParentId.
constexpr std::uint32_t kLinkFieldsEnd = kParentId;
constexpr std::uint32_t kHeaderFieldsEnd = kPageHeaderSize;

// rkFileEncryption data: u32 mode, then the check value for modes 1 to 3.
constexpr std::uint32_t kEncryptionModeBytes = 4;

// State byte of a page.
constexpr std::uint8_t sVisited = 0x01;  // links checked
constexpr std::uint8_t sRewrite = 0x02;  // the page changes
constexpr std::uint8_t sDecided = 0x04;  // whether it lives is known
constexpr std::uint8_t sRead = 0x08;     // header copy loaded
constexpr std::uint8_t sMapUsed = 0x10;  // the space map had it in use
constexpr std::uint8_t sAlive = 0x20;    // reached from the root
constexpr std::uint8_t sMark = 0x40;     // scratch: claimed in this page, listed, on this path
constexpr std::uint8_t sIndexOk = 0x80;  // block index page (candidate, then confirmed)

bool RecordDataValid(std::uint16_t kind, const std::uint8_t* record, std::uint32_t length) {
  const std::uint32_t size = length - kRecordHeadSize;
  const std::uint8_t* data = record + kRecordHeadSize;
  if (kind == rkFileEncryption) {
    if (size < kEncryptionModeBytes) return false;
    const std::uint32_t mode = NormalizeEncryption(LoadU32(data));
    if (mode == ecNoEncryption) return true;
    return mode <= ecAES256_HMAC256 && size >= kEncryptionModeBytes + kCheckValueSize;
  }
  if (kind == rkCompression) {
    if (size < compression_record::kSize) return false;
    const std::uint32_t mode = LoadU32(data + compression_record::kMode);
    return (mode == crNoCompression || mode == crCustom || mode == crZLib || mode == crRLE) &&
           LoadU16(data + compression_record::kBlockPages) != 0;
  }
  return true;
}

EngineResult CheckedPageSize(std::uint32_t pageSize) {
  for (std::uint32_t shift = kMinPageShift; shift <= kMaxPageShift; ++shift)
    if (pageSize == (1u << shift)) return 0;
  return errInvalidPageSize;
}

enum class Pass { kAnalyse, kApply };

// One header page under check: what the record walk learns on the way.
struct HeaderCheck {
  std::uint32_t page = 0;
  std::uint8_t* image = nullptr;
  Pass pass = Pass::kAnalyse;
  std::uint32_t used = 0;  // where the records end
  bool changed = false;
  bool link = false;            // an rkLinkTarget record was met
  std::uint64_t linkBytes = 0;  // the target bytes that record still stores
};

}  // namespace

class RepairSession {
 public:
  RepairSession(Volume& volume, std::uint32_t flags, const CustomCipherCallbacks* events,
                const ProgressSink& progress, CheckReport& report)
      : volume_(volume),
        checkOnly_((flags & kCheckOnly) != 0),
        everyPage_((flags & kCheckEveryPage) != 0),
        events_(events),
        progress_(progress),
        report_(report) {}

  // Runs a whole check (and repair) on an inactive volume.
  static EngineResult Execute(Volume& volume, const std::u16string& path, std::uint32_t pageSize,
                              std::uint32_t flags, std::uint32_t storageMode,
                              std::span<const std::uint8_t> password, std::uint32_t keyVariant,
                              const CustomCipherCallbacks* cipherEvents,
                              const ProgressSink& progress, CheckReport& report);

 private:
  EngineResult Run(const std::u16string& path, std::uint32_t pageSize, std::uint32_t storageMode,
                   std::span<const std::uint8_t> password, std::uint32_t keyVariant);

  // ---- host file and layout ----
  void RecoverOnce(const std::u16string& path);
  EngineResult OpenHostFile(const std::u16string& path);
  void CloseHostFile(EngineResult& result);
  EngineResult Locate(std::uint32_t givenPageSize);
  EngineResult ReadRaw(std::uint64_t byteOffset, std::uint8_t* buffer, std::uint32_t count);
  bool LooksLikeVolumeStart(std::uint64_t startBytes, std::uint32_t pageSize, bool swapped);
  EngineResult SetLayout(std::uint64_t startBytes, std::uint32_t pageSize, bool swapped);
  EngineResult Allocate();
  EngineResult InstallKey(std::uint32_t storageMode, std::span<const std::uint8_t> password,
                          std::uint32_t keyVariant);
  EngineResult VerifyStoragePassword(std::uint32_t storageMode,
                                     std::span<const std::uint8_t> password);
  EngineResult CheckStorageEncryptionRecord(const std::uint8_t* record, const RecordHead& head,
                                            std::uint32_t storageMode,
                                            std::span<const std::uint8_t> password);

  // ---- phases ----
  EngineResult ReadPages();
  EngineResult CheckLinks();
  EngineResult FindOrphans();
  EngineResult Finish();

  // ---- header copies ----
  std::uint8_t* Copy(std::uint32_t j) { return &headers_[std::size_t{j} * kHeaderCopySize]; }
  std::uint16_t TypeOf(std::uint32_t j) { return LoadU16(Copy(j) + kPageType); }
  std::uint32_t Field(std::uint32_t j, std::uint32_t at) { return LoadU32(Copy(j) + at); }
  void SetField(std::uint32_t j, std::uint32_t at, std::uint32_t value) {
    StoreU32(Copy(j) + at, value);
    state_[j] |= sRewrite;
  }
  bool Has(std::uint32_t j, std::uint8_t bit) const { return (state_[j] & bit) != 0; }
  bool IsMap(std::uint32_t j) const { return (j & (volume_.PageSize / 2 - 1)) == 0; }
  bool InRange(std::uint32_t j) const { return j >= kRootHeaderPage && j < count_ && !IsMap(j); }
  bool Alive(std::uint32_t j) const { return j == 1 || (j < count_ && Has(j, sAlive)); }
  // A page of the object layer whose header makes sense at its place.
  bool Plausible(std::uint32_t j) { return InRange(j) && Has(j, sRead) && TypeOf(j) != 0; }
  void LoadHeader(std::uint32_t j, const std::uint8_t* page);
  bool HeaderMakesSense(std::uint32_t j);
  // Reads a page's header when a link names it before the page was read.
  bool EnsureHeader(std::uint32_t j);

  // ---- links ----
  // The page's next page when that link stands, else 0.
  std::uint32_t ValidNext(std::uint32_t j);
  // Whether `target` can be the first page (chain index 0) of type `type` and
  // owner `owner` whose holder is `holder`.
  bool FirstPageOk(std::uint32_t target, std::uint16_t type, std::uint32_t owner,
                   std::uint32_t holder);
  void Claim(std::uint32_t target) {
    state_[target] |= sMark;
    claims_.push_back(target);
  }
  void ReleaseClaims() {
    for (std::uint32_t t : claims_) state_[t] &= static_cast<std::uint8_t>(~sMark);
    claims_.clear();
  }
  void Reference(std::uint32_t target) { ++refs_[target]; }
  // Cuts the next-page link of page j's header copy.
  void CutNext(std::uint32_t j);
  bool CheckHeaderPage(std::uint32_t j, std::uint8_t* page, Pass pass);
  // The steps of CheckHeaderPage, in the order it takes them.
  void TakeUsedLength(HeaderCheck& c);
  void EnsureObjectInfoRecord(HeaderCheck& c);
  void CheckRecords(HeaderCheck& c);
  bool CheckRecord(HeaderCheck& c, const RecordHead& head);
  bool CheckMovedOutRecord(HeaderCheck& c, const RecordHead& head, std::uint16_t streamType);
  void MeasureLinkTarget(HeaderCheck& c, const RecordHead& head, bool keep);
  void RemoveRecord(HeaderCheck& c, const RecordHead& head);
  void CutRecordsFrom(HeaderCheck& c, const RecordHead& head);
  void StoreUsedLength(HeaderCheck& c);
  void LimitLinkSizeToTarget(HeaderCheck& c);
  void CountRemovedRecord(const HeaderCheck& c);
  bool CheckEntries(std::uint32_t holder, std::uint32_t directoryId, std::uint8_t* entries,
                    std::uint32_t count, Pass pass);
  bool CheckName(std::uint32_t holder, std::uint8_t* entry, Pass pass);
  // The block size in pages of the object owning header page j (held in `d`).
  std::uint32_t BlockPagesOf(std::uint32_t j, const std::uint8_t* d);
  // Cuts a data chain where a page would not be where the object layer reads it.
  void CheckDataChain(std::uint32_t first, std::uint32_t blockPages);

  // ---- orphans ----
  void Decide(std::uint32_t j);
  void DecideAll(bool report);
  bool MakeIdsUnique();
  void CheckBlockIndexes();
  bool IndexMatchesChain(std::uint32_t first);
  void UnmarkIndexEntries(std::uint32_t first);
  void FixParentIds();
  void FixIndexPageLinks();

  // ---- writing ----
  bool FixVolumeInfo(std::uint8_t* page);
  EngineResult WritePage(std::uint32_t j, const std::uint8_t* page);

  // ---- progress ----
  // Sends a report; false when the receiver stopped the run (error_ set).
  bool Report(std::uint8_t operation, std::uint32_t progress, std::uint32_t total);
  void Finding(std::uint8_t operation, std::uint32_t page) {
    if (error_ == 0) Report(operation, page, 0);
  }
  bool Failed() const { return error_ != 0; }
  void Fail(EngineResult r) {
    if (error_ == 0) error_ = r;
  }

  Volume& volume_;
  const bool checkOnly_;
  const bool everyPage_;
  const CustomCipherCallbacks* const events_;
  const ProgressSink& progress_;
  CheckReport& report_;

  EngineResult error_ = 0;
  bool wrote_ = false;
  std::uint64_t fileSize_ = 0;
  bool keepFileSize_ = false;      // the volume ends before the host file does
  std::uint64_t extentBytes_ = 0;  // the volume's partition, when it has one
  bool keyInstalled_ = false;
  std::uint32_t count_ = 0;  // pages of the volume

  // Per page: 36-byte header copy, reference count, state byte.
  std::vector<std::uint8_t> headers_;
  std::vector<std::uint32_t> refs_;
  std::vector<std::uint8_t> state_;

  // Page images: the page whose contents are checked, one for pages read on
  // the way (link targets), one for index pages and old space map pages.
  std::vector<std::uint8_t> page_, aux_, extra_;
  std::vector<std::uint32_t> claims_;
};

// --------------------------------------------------------------- progress

bool RepairSession::Report(std::uint8_t operation, std::uint32_t progress, std::uint32_t total) {
  if (Failed()) return false;
  if (ReportProgress(progress_, operation, progress, total, !wrote_)) {
    Fail(errInterrupted);
    return false;
  }
  return true;
}

// ------------------------------------------------------ host file, layout

void RepairSession::RecoverOnce(const std::u16string& path) {
  // An ordinary open finishes an interrupted commit (unless only checking,
  // which opens read-only and changes nothing). Transactions stay off for
  // it: mounting a transaction table could grow the file, and recovery does
  // not need one. Whatever this open says, the check below judges the pages.
  const bool transactions = volume_.UseTransactions;
  volume_.UseTransactions = false;
  if (volume_.Open(path, checkOnly_) == 0) {
    EngineResult ignored = volume_.Close();
    (void)ignored;
  }
  volume_.UseTransactions = transactions;
}

EngineResult RepairSession::OpenHostFile(const std::u16string& path) {
  bool readOnly = checkOnly_;
  EngineResult r = volume_.OpenHost(path, readOnly);
  if (r != 0) return r;
  if (readOnly && !checkOnly_) {
    EngineResult ignored = volume_.backend_->Close(volume_.host_);
    (void)ignored;
    volume_.hostOpen_ = false;
    return errStorageReadOnly;
  }
  volume_.ReadOnly = readOnly;
  volume_.Path = path;
  std::int64_t size = 0;
  r = volume_.backend_->GetSize(volume_.host_, size);
  if (r != 0) return r;
  fileSize_ = static_cast<std::uint64_t>(size);
  try {
    volume_.scratch_.assign(std::size_t{1} << kMaxPageShift, 0);
  } catch (const std::bad_alloc&) {
    return errOutOfMemory;
  }
  return 0;
}

void RepairSession::CloseHostFile(EngineResult& result) {
  if (!volume_.hostOpen_) return;
  EngineResult r = 0;
  if (wrote_) r = volume_.backend_->Flush(volume_.host_);
  EngineResult closed = volume_.backend_->Close(volume_.host_);
  volume_.hostOpen_ = false;
  if (result == 0) result = r != 0 ? r : closed;
}

EngineResult RepairSession::ReadRaw(std::uint64_t byteOffset, std::uint8_t* buffer,
                                    std::uint32_t count) {
  if (byteOffset + count > fileSize_) return errInvalidStorageFile;
  return volume_.backend_->ReadAt(volume_.host_, byteOffset, 1, buffer, count);
}

// Whether a volume of this page size starting here has its information page
// (or, when that is gone, the root directory's header page) where it belongs.
bool RepairSession::LooksLikeVolumeStart(std::uint64_t startBytes, std::uint32_t pageSize,
                                         bool swapped) {
  std::uint8_t* b = volume_.scratch_.data();
  auto u16 = [&](std::uint32_t at) {
    const std::uint16_t v = LoadU16(b + at);
    return swapped ? Swap16(v) : v;
  };
  auto u32 = [&](std::uint32_t at) {
    const std::uint32_t v = LoadU32(b + at);
    return swapped ? Swap32(v) : v;
  };
  if (ReadRaw(startBytes + pageSize, b, kPageHeaderSize) == 0 &&
      u16(kPageType) == VolumeSignature && u32(kPageNumber) == 1)
    return true;
  return ReadRaw(startBytes + 2 * std::uint64_t{pageSize}, b, kPageHeaderSize) == 0 &&
         u16(kPageType) == ObjectHeaderPage && u32(kPageNumber) == kRootHeaderPage &&
         u32(kPrevPage) == 1 && u32(kOwnerId) == kRootObjectId && u32(kChainIndex) == 0;
}

EngineResult RepairSession::Locate(std::uint32_t givenPageSize) {
  // As Open does: a volume's first page starts with PageShift and the
  // VolumeInfoPage's type, possibly behind a partition table or a boot
  // sector. Those start sectors count 512-byte sectors, so the probe stays
  // 512 bytes whatever the page size.
  std::uint8_t* b = volume_.scratch_.data();
  std::uint64_t start = 0;
  int steps = 0;
  bool found = false;
  for (;;) {
    if (fileSize_ < (start + 1) * kProbeSize) break;
    EngineResult r = volume_.backend_->ReadAt(volume_.host_, start, kProbeSize, b, kProbeSize);
    if (r != 0) return r;
    const std::uint16_t signature = LoadU16(b + 2);
    if (signature == VolumeSignature || signature == kSwappedSignature) {
      found = true;
      break;
    }
    const std::uint64_t before = start;
    const std::uint32_t partitionStart =
        LoadLittleEndian32(b + kPartitionEntry1 + kPartitionStart);
    const std::uint32_t partitionSectors =
        LoadLittleEndian32(b + kPartitionEntry1 + kPartitionCount);
    if (++steps > kMaxLocateSteps || volume_.LocateVolume(start, fileSize_) != 0 || start <= before)
      break;
    // Behind a partition table the volume ends where its partition does
    // (a FAT area may follow), whatever its own first pages still say.
    if (start - before == partitionStart && partitionSectors != 0)
      extentBytes_ = std::uint64_t{partitionSectors} * kProbeSize;
  }
  // The candidate page sizes when the first page cannot tell: the one given
  // first, then every valid size.
  auto tryEverySize = [&](std::uint64_t startBytes, bool swapped) -> EngineResult {
    if (startBytes % givenPageSize == 0 && LooksLikeVolumeStart(startBytes, givenPageSize, swapped))
      return SetLayout(startBytes, givenPageSize, swapped);
    for (std::uint32_t shift = kMinPageShift; shift <= kMaxPageShift; ++shift) {
      const std::uint32_t size = 1u << shift;
      if (startBytes % size == 0 && LooksLikeVolumeStart(startBytes, size, swapped))
        return SetLayout(startBytes, size, swapped);
    }
    return errInvalidStorageFile;
  };
  if (!found) {
    // The first page itself is damaged: the volume is still recognised by
    // its second or third page, where the partition table put it or at the
    // start of the file.
    if (start != 0 && tryEverySize(start * kProbeSize, false) == 0) return 0;
    extentBytes_ = 0;
    return tryEverySize(0, false);
  }
  const bool swapped = LoadU16(b + 2) == kSwappedSignature;
  std::uint16_t shift = LoadU16(b);
  if (swapped) shift = Swap16(shift);
  const std::uint64_t startBytes = start * kProbeSize;
  if (shift >= kMinPageShift && shift <= kMaxPageShift && startBytes % (1u << shift) == 0)
    return SetLayout(startBytes, 1u << shift, swapped);
  return tryEverySize(startBytes, swapped);
}

EngineResult RepairSession::SetLayout(std::uint64_t startBytes, std::uint32_t pageSize,
                                      bool swapped) {
  Volume& v = volume_;
  v.PageSize = pageSize;
  v.PageShift = kMinPageShift;
  while ((1u << v.PageShift) != pageSize) ++v.PageShift;
  v.PayloadSize = pageSize - kPageHeaderSize;
  v.ByteSwapped = swapped;
  const std::uint64_t startPages = startBytes / pageSize;
  const std::uint64_t filePages = fileSize_ >> v.PageShift;
  if (filePages < startPages + kMinVolumePages || filePages - startPages > 0xFFFFFFFEu)
    return errInvalidStorageFile;
  v.VolumeStart = static_cast<std::uint32_t>(startPages);
  v.HostPageCount = static_cast<std::uint32_t>(filePages - startPages);
  v.UsedPageCount = kUnknownPageCount;
  v.StorageUnlocked = true;
  count_ = v.HostPageCount;
  if (extentBytes_ != 0 && extentBytes_ / pageSize >= kMinVolumePages &&
      extentBytes_ / pageSize < count_) {
    count_ = static_cast<std::uint32_t>(extentBytes_ / pageSize);
    v.HostPageCount = count_;
    keepFileSize_ = true;
  }
  // A fixed-size volume may share its host file with a FAT area after it;
  // its extent is its MaxPageCount, as Open takes it.
  try {
    page_.assign(pageSize, 0);
  } catch (const std::bad_alloc&) {
    return errOutOfMemory;
  }
  if (v.ReadPage(1, page_.data()) == 0 && PageTypeOf(page_.data()) == VolumeSignature &&
      PageNumberOf(page_.data()) == 1) {
    v.FixedSize = LoadU16(page_.data() + kFixedSize) != 0;
    const std::uint32_t extent = LoadU32(page_.data() + kMaxPageCount);
    if (v.FixedSize && extent >= kMinVolumePages && extent < count_) {
      count_ = extent;
      v.HostPageCount = extent;
      keepFileSize_ = true;
    }
  }
  return 0;
}

EngineResult RepairSession::Allocate() {
  const std::uint32_t size = volume_.PageSize;
  try {
    headers_.assign(std::size_t{count_} * kHeaderCopySize, 0);
    refs_.assign(count_, 0);
    state_.assign(count_, 0);
    page_.assign(size, 0);
    aux_.assign(size, 0);
    extra_.assign(size, 0);
    claims_.reserve(2 * (size / kDirectoryEntrySize) + 2);
  } catch (const std::bad_alloc&) {
    return errOutOfMemory;
  }
  return 0;
}

EngineResult RepairSession::InstallKey(std::uint32_t storageMode,
                                       std::span<const std::uint8_t> password,
                                       std::uint32_t keyVariant) {
  storageMode = NormalizeEncryption(storageMode);
  if (password.empty() || storageMode == ecNoEncryption) return 0;
  std::shared_ptr<PageCipher> cipher;
  EngineResult r = PageCipher::Create(storageMode, password, keyVariant, events_, cipher);
  if (r != 0) return r;
  MutexLock io(volume_.IoLock);
  volume_.ReadKey = cipher;
  volume_.WriteKey = cipher;
  volume_.StorageUnlocked = true;
  keyInstalled_ = true;
  return 0;
}

// The root's storage encryption record decides: pages of an enciphered
// container are only read with a password its check value accepts. Reading
// them with a wrong key (or none) would make every entry look damaged, and a
// repair would then throw the tree away.
EngineResult RepairSession::VerifyStoragePassword(std::uint32_t storageMode,
                                                  std::span<const std::uint8_t> password) {
  const std::uint32_t size = volume_.PageSize;
  std::uint32_t steps = 0;
  for (std::uint32_t j = kRootHeaderPage; j != 0 && steps <= count_; j = ValidNext(j), ++steps) {
    EngineResult r = volume_.ReadPage(j, page_.data());
    if (r != 0) return r;
    const std::uint8_t* d = page_.data();
    bool found = false;
    ForEachRecord(d, RecordsEndWithin(d, size), [&](const RecordHead& head) {
      if (head.Kind != rkStorageEncryption || head.Length < kRecordHeadSize + 4) return true;
      found = true;
      r = CheckStorageEncryptionRecord(d + head.Offset, head, storageMode, password);
      return false;
    });
    if (found) return r;
  }
  if (Failed()) return error_;
  // No record found: the container is taken as the caller describes it.
  return 0;
}

// The root's rkStorageEncryption record against the password given.
EngineResult RepairSession::CheckStorageEncryptionRecord(const std::uint8_t* record,
                                                         const RecordHead& head,
                                                         std::uint32_t storageMode,
                                                         std::span<const std::uint8_t> password) {
  const std::uint32_t mode = NormalizeEncryption(LoadU32(record + kRecordHeadSize));
  if (mode == ecNoEncryption) {
    // Not enciphered: its pages must be read as they are.
    MutexLock io(volume_.IoLock);
    volume_.ReadKey.reset();
    volume_.WriteKey.reset();
    keyInstalled_ = false;
    return 0;
  }
  if (!keyInstalled_ || NormalizeEncryption(storageMode) != mode ||
      head.Length < kRecordHeadSize + 4 + kCheckValueSize)
    return errInvalidPassword;
  bool valid = false;
  std::uint32_t variant = 0;
  const EngineResult r = vaultfs::CheckPassword(
      mode, password,
      std::span<const std::uint8_t, kCheckValueSize>(record + kRecordHeadSize + 4, kCheckValueSize),
      volume_.TweakWord(volume_.PageSize), events_, valid, variant);
  if (r != 0 || !valid) return errInvalidPassword;
  return 0;
}

// ------------------------------------------------------------ header copies

bool RepairSession::HeaderMakesSense(std::uint32_t j) {
  const std::uint16_t type = TypeOf(j);
  if (!IsObjectPageType(type) || Field(j, kPageNumber) != j) return false;
  const std::uint32_t owner = Field(j, kOwnerId);
  if (owner == 0) return false;
  // A data page never stores more than its payload.
  if (IsDataPageType(type) && LoadU16(Copy(j) + kUsedBytes) > volume_.PayloadSize) return false;
  const bool rootShape =
      type == ObjectHeaderPage && owner == kRootObjectId && Field(j, kChainIndex) == 0;
  // Page 2 is the root's first header page and nothing else is.
  if (j == kRootHeaderPage) return rootShape && Field(j, kPrevPage) == 1;
  return !rootShape;
}

void RepairSession::LoadHeader(std::uint32_t j, const std::uint8_t* page) {
  std::memcpy(Copy(j), page, kHeaderCopySize);
  state_[j] |= sRead;
  if (InRange(j) && !HeaderMakesSense(j)) std::memset(Copy(j), 0, kHeaderCopySize);
}

bool RepairSession::EnsureHeader(std::uint32_t j) {
  if (Has(j, sRead)) return true;
  if (Failed()) return false;
  EngineResult r = volume_.ReadPage(j, aux_.data());
  if (r != 0) {
    Fail(r);
    return false;
  }
  LoadHeader(j, aux_.data());
  return true;
}

// ------------------------------------------------------------------ links

std::uint32_t RepairSession::ValidNext(std::uint32_t j) {
  const std::uint32_t n = Field(j, kNextPage);
  if (n == 0 || !InRange(n) || !EnsureHeader(n) || !Plausible(n)) return 0;
  const std::uint16_t type = TypeOf(j);
  if (TypeOf(n) != type || Field(n, kOwnerId) != Field(j, kOwnerId) || Field(n, kPrevPage) != j)
    return 0;
  const std::uint32_t index = Field(j, kChainIndex);
  const std::uint32_t nextIndex = Field(n, kChainIndex);
  // Data chains skip the indices of holes; every other chain counts up by one.
  if (IsDataPageType(type)) return nextIndex > index ? n : 0;
  return index != 0xFFFFFFFFu && nextIndex == index + 1 ? n : 0;
}

bool RepairSession::FirstPageOk(std::uint32_t target, std::uint16_t type, std::uint32_t owner,
                                std::uint32_t holder) {
  if (!InRange(target) || !EnsureHeader(target) || !Plausible(target)) return false;
  return TypeOf(target) == type && Field(target, kOwnerId) == owner &&
         Field(target, kPrevPage) == holder && Field(target, kChainIndex) == 0 &&
         !Has(target, sMark);
}

void RepairSession::CutNext(std::uint32_t j) {
  const std::uint32_t n = Field(j, kNextPage);
  // A link already counted gives its reference back.
  if (Has(j, sVisited) && n < count_ && refs_[n] > 0 && ValidNext(j) == n) --refs_[n];
  SetField(j, kNextPage, 0);
  ++report_.LinksCut;
  Finding(kProgressLinkCut, j);
}

std::uint32_t RepairSession::BlockPagesOf(std::uint32_t j, const std::uint8_t* d) {
  const std::uint32_t size = volume_.PageSize;
  auto find = [size](const std::uint8_t* page, std::uint32_t& blockPages) {
    bool found = false;
    ForEachRecord(page, RecordsEndWithin(page, size), [&](const RecordHead& head) {
      if (head.Kind != rkCompression ||
          !RecordDataValid(rkCompression, page + head.Offset, head.Length))
        return true;
      blockPages = LoadU16(page + head.DataOffset() + compression_record::kBlockPages);
      found = true;
      return false;
    });
    return found;
  };
  std::uint32_t blockPages = 1;
  if (find(d, blockPages)) return blockPages;
  // Elsewhere in the object's chain of header pages.
  std::uint32_t first = j;
  for (std::uint32_t steps = 0; Field(first, kChainIndex) != 0 && steps <= count_; ++steps) {
    const std::uint32_t previous = Field(first, kPrevPage);
    if (!Plausible(previous) || ValidNext(previous) != first) return 1;
    first = previous;
  }
  std::uint32_t steps = 0;
  for (std::uint32_t p = first; p != 0 && steps <= count_; p = ValidNext(p), ++steps) {
    if (p == j) continue;
    if (EngineResult r = volume_.ReadPage(p, extra_.data()); r != 0) {
      Fail(r);
      return 1;
    }
    if (find(extra_.data(), blockPages)) return blockPages;
  }
  return 1;
}

// The object layer follows a data chain page by page and reads each block
// from its first page on: a page comes right after the one before it, or
// starts the next block.
void RepairSession::CheckDataChain(std::uint32_t first, std::uint32_t blockPages) {
  std::uint32_t steps = 0;
  for (std::uint32_t p = first; p != 0 && steps <= count_; ++steps) {
    const std::uint32_t next = ValidNext(p);
    if (next == 0) return;
    const std::uint64_t index = Field(p, kChainIndex);
    const std::uint64_t nextIndex = Field(next, kChainIndex);
    if (nextIndex != index + 1 && nextIndex != (index / blockPages + 1) * blockPages) {
      CutNext(p);
      return;
    }
    p = next;
  }
}

// A long name's first 22 units live in its entry, the rest in a chain of
// name pages that must hold exactly the units the entry counts.
bool RepairSession::CheckName(std::uint32_t holder, std::uint8_t* entry, Pass pass) {
  const bool analyse = pass == Pass::kAnalyse;
  const std::uint32_t id = LoadU32(entry + kEntryObjectId);
  const std::uint32_t length = LoadU32(entry + kEntryNameLength);
  const std::uint32_t first = LoadU32(entry + kEntryNameNextPage);
  if (length <= kEntryNameStartUnits) {
    if (first == 0) return false;
    StoreU32(entry + kEntryNameNextPage, 0);
    if (analyse) {
      ++report_.LinksCut;
      Finding(kProgressLinkCut, holder);
    }
    return true;
  }
  if (!FirstPageOk(first, NameContinuationPage, id, holder)) {
    StoreU32(entry + kEntryNameNextPage, 0);
    StoreU32(entry + kEntryNameLength, kEntryNameStartUnits);
    if (analyse) {
      ++report_.LinksCut;
      ++report_.NamesShortened;
      Finding(kProgressLinkCut, holder);
    }
    return true;
  }
  Claim(first);
  if (analyse) Reference(first);
  const std::uint64_t units = volume_.PayloadSize / 2;
  const std::uint64_t needed = (length - kEntryNameStartUnits + units - 1) / units;
  std::uint64_t pages = 1;
  std::uint32_t last = first;
  while (pages < needed) {
    const std::uint32_t next = ValidNext(last);
    if (next == 0) break;
    last = next;
    ++pages;
  }
  if (pages < needed) {
    // The chain was cut: the name keeps the units its pages still hold (the
    // pages before a cut were full).
    StoreU32(entry + kEntryNameLength,
             static_cast<std::uint32_t>(kEntryNameStartUnits + pages * units));
    if (analyse) ++report_.NamesShortened;
    return true;
  }
  if (analyse && ValidNext(last) != 0) CutNext(last);  // more pages than the name needs
  return false;
}

bool RepairSession::CheckEntries(std::uint32_t holder, std::uint32_t directoryId,
                                 std::uint8_t* entries, std::uint32_t count, Pass pass) {
  const bool analyse = pass == Pass::kAnalyse;
  bool changed = false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t* e = entries + std::size_t{i} * kDirectoryEntrySize;
    const std::uint32_t id = LoadU32(e + kEntryObjectId);
    if (id == 0) continue;
    const std::uint32_t header = LoadU32(e + kEntryHeaderPage);
    // The root and the directory itself are never its children.
    if (id == kRootObjectId || id == directoryId ||
        !FirstPageOk(header, ObjectHeaderPage, id, holder)) {
      // Cleared as a deleted object's slot is; its name pages go with it.
      StoreU32(e + kEntryObjectId, 0);
      StoreU32(e + kEntryHeaderPage, 0);
      StoreU32(e + kEntryNameNextPage, 0);
      changed = true;
      if (analyse) {
        ++report_.EntriesCleared;
        Finding(kProgressLinkCut, holder);
      }
      continue;
    }
    Claim(header);
    if (analyse) Reference(header);
    if (CheckName(holder, e, pass)) changed = true;
  }
  return changed;
}

// A header page's records, checked one by one: what cannot be taken goes,
// links that fail are cut, and UsedLength ends up where the records do.
// True when the page changed.
bool RepairSession::CheckHeaderPage(std::uint32_t j, std::uint8_t* d, Pass pass) {
  HeaderCheck c;
  c.page = j;
  c.image = d;
  c.pass = pass;
  const bool first = Field(j, kChainIndex) == 0;
  TakeUsedLength(c);
  if (first) EnsureObjectInfoRecord(c);
  CheckRecords(c);
  StoreUsedLength(c);
  if (c.link && first) LimitLinkSizeToTarget(c);
  return c.changed;
}

// Records may fill the page to its last byte (an inline block grown into
// the room left), so only a UsedLength beyond the page is damage; the
// records themselves then tell where they end.
void RepairSession::TakeUsedLength(HeaderCheck& c) {
  c.used = LoadU16(c.image + kUsedLength);
  if (c.used < kFirstRecord || c.used > volume_.PageSize) {
    c.used = kFirstRecord;
    c.changed = true;
  }
}

// An object's first header page starts with its rkObjectInfo record;
// without it the page's records cannot be trusted, and the page starts
// again with a new one.
void RepairSession::EnsureObjectInfoRecord(HeaderCheck& c) {
  const std::uint32_t size = volume_.PageSize;
  std::uint8_t* d = c.image;
  const std::uint32_t infoLength = LoadU16(d + kFirstRecord + kRecordLength);
  if (LoadU16(d + kFirstRecord + kRecordKind) == rkObjectInfo && infoLength >= kObjectInfoLength &&
      infoLength <= size - kFirstRecord)
    return;
  std::memset(d + kFirstRecord, 0, size - kFirstRecord);
  StoreNewObjectInfo(d + kFirstRecord, Now());
  c.used = kFirstRecord + kObjectInfoLength;
  StoreU16(d + kUsedLength, static_cast<std::uint16_t>(c.used));
  StoreU16(d + kUsedLength + 2, 0);
  c.changed = true;
  CountRemovedRecord(c);
}

// Walks the records up to the page's end: zeros end them, and so does
// damage (what comes before it stays). Past UsedLength only whole records
// of a known kind count (UsedLength grows over them).
void RepairSession::CheckRecords(HeaderCheck& c) {
  RecordCursor cursor(c.image, volume_.PageSize);
  for (;;) {
    RecordHead head;
    const RecordAt found = cursor.Read(head);
    if (found == RecordAt::kEnd) return;
    const std::uint32_t at = head.Offset;
    if (found != RecordAt::kNoHead && head.Length == 0 && head.Kind == 0) {
      // Zeros: the records end here, whatever the page's UsedLength said.
      if (c.used != at) c.changed = true;
      c.used = at;
      return;
    }
    const bool bad = found != RecordAt::kRecord;
    if (at >= c.used && (bad || !KnownRecordKind(head.Kind))) return;
    if (bad) {
      CutRecordsFrom(c, head);
      return;
    }
    if (head.End() > c.used) {
      c.used = head.End();
      c.changed = true;
    }
    const bool keep = CheckRecord(c, head);
    MeasureLinkTarget(c, head, keep);
    if (!keep) {
      // What follows moves up into its place and is read next.
      RemoveRecord(c, head);
      continue;
    }
    cursor.Skip(head);
  }
}

// Whether a whole record stays: its data must be one the object layer
// takes, and a moved-out record's pages must stand.
bool RepairSession::CheckRecord(HeaderCheck& c, const RecordHead& head) {
  std::uint8_t* record = c.image + head.Offset;
  const std::uint16_t streamType = StreamTypeOf(head.Kind);
  if (!RecordDataValid(head.Kind, record, head.Length)) return false;
  if (head.MovedTo != 0 && streamType == 0) {
    // A kind whose data never moves out: the record's own data stands.
    StoreU32(record + kRecordMovedTo, 0);
    c.changed = true;
    if (c.pass == Pass::kAnalyse) {
      ++report_.LinksCut;
      Finding(kProgressLinkCut, c.page);
    }
    return true;
  }
  if (head.MovedTo != 0) return CheckMovedOutRecord(c, head, streamType);
  // An index record without pages would stop the index from ever being
  // made again.
  if (head.Kind == rkBlockIndex) return false;
  if (head.Kind == rkDirectory &&
      CheckEntries(c.page, Field(c.page, kOwnerId), record + kRecordHeadSize,
                   (head.Length - kRecordHeadSize) / kDirectoryEntrySize, c.pass))
    c.changed = true;
  return true;
}

// A moved-out record stands when its first stream page does; a data
// chain is cut where the object layer would not read it, and a block
// index is settled once the orphans are known.
bool RepairSession::CheckMovedOutRecord(HeaderCheck& c, const RecordHead& head,
                                        std::uint16_t streamType) {
  const bool analyse = c.pass == Pass::kAnalyse;
  const std::uint32_t j = c.page;
  bool keep = FirstPageOk(head.MovedTo, streamType, Field(j, kOwnerId), j);
  if (keep && analyse && IsDataPageType(streamType))
    CheckDataChain(head.MovedTo, BlockPagesOf(j, c.image));
  if (keep && head.Kind == rkBlockIndex) {
    if (analyse)
      state_[head.MovedTo] |= sIndexOk;
    else
      keep = Has(head.MovedTo, sIndexOk);
  }
  if (keep) {
    Claim(head.MovedTo);
    if (analyse) Reference(head.MovedTo);
  }
  return keep;
}

// A link's size may not pass the target bytes it still stores: the object
// layer takes a shorter stored target for damage. The first rkLinkTarget
// record met counts.
void RepairSession::MeasureLinkTarget(HeaderCheck& c, const RecordHead& head, bool keep) {
  if (head.Kind != rkLinkTarget || c.link) return;
  c.link = true;
  if (keep && head.MovedTo == 0) {
    c.linkBytes = head.Length - kRecordHeadSize;
  } else if (keep) {
    std::uint32_t last = head.MovedTo;
    for (std::uint32_t next = ValidNext(last); next != 0; next = ValidNext(last)) last = next;
    c.linkBytes = (std::uint64_t{Field(last, kChainIndex)} + 1) * volume_.PayloadSize;
  }
}

void RepairSession::RemoveRecord(HeaderCheck& c, const RecordHead& head) {
  std::uint8_t* d = c.image;
  std::memmove(d + head.Offset, d + head.End(), c.used - head.End());
  c.used -= head.Length;
  std::memset(d + c.used, 0, volume_.PageSize - c.used);
  c.changed = true;
  CountRemovedRecord(c);
}

// The record list ends in damage: what comes before it stays.
void RepairSession::CutRecordsFrom(HeaderCheck& c, const RecordHead& head) {
  if (head.Kind == rkLinkTarget) c.link = true;
  std::memset(c.image + head.Offset, 0, volume_.PageSize - head.Offset);
  c.used = head.Offset;
  c.changed = true;
  CountRemovedRecord(c);
}

void RepairSession::StoreUsedLength(HeaderCheck& c) {
  std::uint8_t* d = c.image;
  if (LoadU16(d + kUsedLength) == c.used) return;
  StoreU16(d + kUsedLength, static_cast<std::uint16_t>(c.used));
  std::memset(d + c.used, 0, volume_.PageSize - c.used);
}

void RepairSession::LimitLinkSizeToTarget(HeaderCheck& c) {
  std::uint8_t* info = c.image + kFirstRecord;
  const std::uint64_t size =
      LoadU32(info + kInfoSizeLow) | std::uint64_t{LoadU32(info + kInfoSizeHigh)} << 32;
  if (size <= c.linkBytes) return;
  StoreU32(info + kInfoSizeLow, static_cast<std::uint32_t>(c.linkBytes));
  StoreU32(info + kInfoSizeHigh, static_cast<std::uint32_t>(c.linkBytes >> 32));
  c.changed = true;
}

void RepairSession::CountRemovedRecord(const HeaderCheck& c) {
  if (c.pass != Pass::kAnalyse) return;
  ++report_.RecordsRemoved;
  Finding(kProgressLinkCut, c.page);
}

// ---------------------------------------------------------- the reading phase

EngineResult RepairSession::ReadPages() {
  Volume& v = volume_;
  const std::uint32_t half = v.PageSize / 2;
  std::uint8_t* map = extra_.data();
  bool mapTrusted = true;
  for (std::uint32_t j = 0; j < count_; ++j) {
    if (!Report(kProgressReadingPages, j, count_)) return error_;
    if (IsMap(j)) {
      EngineResult r = v.ReadPage(j, map);
      if (r != 0) return r;
      LoadHeader(j, map);
      // A map page never written (after growth, or a fixed-size volume's
      // free tail) is all zeros and calls every page free. Any other map
      // page that does not start with PageShift is damaged: its entries say
      // nothing, so every page of its group is read.
      const std::uint16_t first = LoadU16(map);
      mapTrusted =
          first == v.PageShift ||
          (first == 0 && std::all_of(map, map + v.PageSize, [](std::uint8_t b) { return b == 0; }));
      continue;
    }
    const bool used = mapTrusted && LoadU16(map + 2 * (j % half)) != 0;
    if (!used && mapTrusted && !everyPage_ && j > kRootHeaderPage) continue;
    EngineResult r = v.ReadPage(j, page_.data());
    if (r != 0) return r;
    LoadHeader(j, page_.data());
    if (used || (!mapTrusted && Plausible(j))) state_[j] |= sMapUsed;
  }
  return 0;
}

// ------------------------------------------------------------ the links phase

EngineResult RepairSession::CheckLinks() {
  Volume& v = volume_;
  const std::uint32_t perPage = v.PayloadSize / kDirectoryEntrySize;
  // The root: page 1's entry names page 2, which the reading phase vetted.
  refs_[kRootHeaderPage] = 1;
  for (bool again = true; again && !Failed();) {
    again = false;
    for (std::uint32_t j = kRootHeaderPage; j < count_; ++j) {
      if (!Plausible(j) || Has(j, sVisited)) continue;
      if (!Report(kProgressCheckingLinks, j, count_)) return error_;
      state_[j] |= sVisited;
      if (Field(j, kNextPage) != 0) {
        const std::uint32_t next = ValidNext(j);
        if (next != 0)
          Reference(next);
        else if (!Failed())
          CutNext(j);
      }
      const std::uint16_t type = TypeOf(j);
      if (!MayNameIndexPage(type) && Field(j, kIndexPage) != 0) {
        SetField(j, kIndexPage, 0);
        ++report_.LinksCut;
        Finding(kProgressLinkCut, j);
      }
      if (type == ObjectHeaderPage || type == DirectoryEntryPage) {
        EngineResult r = v.ReadPage(j, page_.data());
        if (r != 0) return r;
        bool changed;
        if (type == ObjectHeaderPage) {
          changed = CheckHeaderPage(j, page_.data(), Pass::kAnalyse);
          std::memcpy(Copy(j) + kUsedLength, page_.data() + kUsedLength, 4);
        } else {
          changed = CheckEntries(j, Field(j, kOwnerId), page_.data() + kPageHeaderSize, perPage,
                                 Pass::kAnalyse);
        }
        ReleaseClaims();
        if (changed) state_[j] |= sRewrite;
      }
      if (Failed()) return error_;
    }
    // Pages first read on the way (their map entries were wrong) are
    // checked in another round.
    for (std::uint32_t j = kRootHeaderPage; j < count_ && !again; ++j)
      again = Plausible(j) && !Has(j, sVisited);
  }
  return error_;
}

// ---------------------------------------------------------- the orphans phase

// A page lives when its holder (always its PrevPage) lives and holds a link
// to it that stands. The walk goes up the holders until it meets a page
// whose answer is known, marking its path, and gives the answer to the whole
// path; a path that meets itself is a loop no root reaches.
void RepairSession::Decide(std::uint32_t j) {
  bool alive = false;
  std::uint32_t p = j;
  for (;;) {
    if (p == 1) {
      alive = true;
      break;
    }
    if (p >= count_ || Has(p, sDecided)) {
      alive = p < count_ && Has(p, sAlive);
      break;
    }
    if (!Plausible(p) || refs_[p] == 0 || Has(p, sMark)) break;
    state_[p] |= sMark;
    p = Field(p, kPrevPage);
  }
  for (std::uint32_t q = j; q < count_ && Has(q, sMark); q = Field(q, kPrevPage)) {
    state_[q] = static_cast<std::uint8_t>((state_[q] & ~sMark) | sDecided | (alive ? sAlive : 0));
  }
  if (!Has(j, sDecided)) state_[j] |= sDecided;  // a page that no link reaches
}

void RepairSession::DecideAll(bool report) {
  for (std::uint32_t j = kRootHeaderPage; j < count_; ++j) {
    if (report && !Report(kProgressSearchingOrphans, j, count_)) return;
    if (IsMap(j) || Has(j, sDecided)) continue;
    Decide(j);
  }
}

// Two living header chains claiming one object id would make the object
// layer see one object in two places; the one at the lower page number
// keeps the id, the other's entry is cleared with all it holds.
bool RepairSession::MakeIdsUnique() {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> firsts;  // (id, page)
  for (std::uint32_t j = kRootHeaderPage + 1; j < count_; ++j) {
    if (Alive(j) && TypeOf(j) == ObjectHeaderPage && Field(j, kChainIndex) == 0)
      firsts.emplace_back(Field(j, kOwnerId), j);
  }
  std::sort(firsts.begin(), firsts.end());
  bool lost = false;
  for (std::size_t i = 1; i < firsts.size(); ++i) {
    if (firsts[i].first != firsts[i - 1].first) continue;
    const std::uint32_t loser = firsts[i].second;
    const std::uint32_t holder = Field(loser, kPrevPage);
    state_[holder] |= sRewrite;
    ++report_.EntriesCleared;
    Finding(kProgressLinkCut, holder);
    std::memset(Copy(loser), 0, kHeaderCopySize);
    refs_[loser] = 0;
    lost = true;
  }
  if (lost) {
    for (std::uint32_t j = kRootHeaderPage; j < count_; ++j)
      state_[j] &= static_cast<std::uint8_t>(~(sDecided | sAlive));
    DecideAll(false);
  }
  return lost;
}

// Clears the listed marks an index evaluation left on data pages.
void RepairSession::UnmarkIndexEntries(std::uint32_t first) {
  const std::uint32_t perPage = volume_.PayloadSize / 4;
  std::uint32_t steps = 0;
  for (std::uint32_t p = first; p != 0 && steps <= count_; p = ValidNext(p), ++steps) {
    if (volume_.ReadPage(p, extra_.data()) != 0) {
      // Unreadable now: clear every mark the hard way.
      for (std::uint32_t j = 0; j < count_; ++j)
        if (IsDataPageType(TypeOf(j))) state_[j] &= static_cast<std::uint8_t>(~sMark);
      return;
    }
    for (std::uint32_t e = 0; e < perPage; ++e) {
      const std::uint32_t listed = LoadU32(extra_.data() + kPageHeaderSize + 4 * e);
      if (listed < count_) state_[listed] &= static_cast<std::uint8_t>(~sMark);
    }
  }
}

// The object layer reads an indexed stream through its index alone, so an
// index stands only when it lists every page of the stream's chain, each at
// its chain index, and nothing else.
bool RepairSession::IndexMatchesChain(std::uint32_t first) {
  Volume& v = volume_;
  const std::uint32_t owner = Field(first, kOwnerId);
  const std::uint32_t perPage = v.PayloadSize / 4;
  std::uint64_t listedCount = 0;
  std::uint32_t head = 0;  // the stream's first page, listed at index 0
  std::uint16_t dataType = 0;
  bool ok = true;
  std::uint32_t steps = 0;
  std::uint64_t base = 0;
  for (std::uint32_t p = first; ok && p != 0; p = ValidNext(p), base += perPage) {
    if (++steps > count_ || !Alive(p)) {
      ok = false;
      break;
    }
    EngineResult r = v.ReadPage(p, extra_.data());
    if (r != 0) {
      Fail(r);
      ok = false;
      break;
    }
    for (std::uint32_t e = 0; e < perPage; ++e) {
      const std::uint32_t listed = LoadU32(extra_.data() + kPageHeaderSize + 4 * e);
      if (listed == 0) continue;
      const std::uint16_t type = listed < count_ ? TypeOf(listed) : 0;
      if (listed >= count_ || !Alive(listed) || !IsDataPageType(type) || type == RootDataPage ||
          (dataType != 0 && type != dataType) || Field(listed, kOwnerId) != owner ||
          Field(listed, kIndexPage) != p || Field(listed, kChainIndex) != base + e ||
          Has(listed, sMark)) {
        ok = false;
        break;
      }
      dataType = type;
      state_[listed] |= sMark;
      ++listedCount;
      if (base + e == 0) head = listed;
    }
  }
  std::uint64_t chainCount = 0;
  if (ok && head == 0) ok = false;  // block 0 always has its first page
  if (ok) {
    for (std::uint32_t q = head; q != 0; q = ValidNext(q)) {
      if (!Has(q, sMark) || ++chainCount > listedCount) {
        ok = false;
        break;
      }
    }
    ok = ok && chainCount == listedCount;
  }
  if (ok) {
    for (std::uint32_t q = head; q != 0; q = ValidNext(q))
      state_[q] &= static_cast<std::uint8_t>(~sMark);
  } else {
    UnmarkIndexEntries(first);
  }
  return ok;
}

void RepairSession::CheckBlockIndexes() {
  for (std::uint32_t j = kRootHeaderPage; j < count_ && !Failed(); ++j) {
    if (!Has(j, sIndexOk) || Field(j, kChainIndex) != 0) continue;
    if (TypeOf(j) != BlockIndexPage || !Alive(j)) {
      state_[j] &= static_cast<std::uint8_t>(~sIndexOk);
      continue;
    }
    const bool ok = IndexMatchesChain(j);
    std::uint32_t steps = 0;
    for (std::uint32_t p = j; p != 0 && steps <= count_; p = ValidNext(p), ++steps) {
      if (ok) {
        state_[p] |= sIndexOk;
      } else {
        state_[p] &= static_cast<std::uint8_t>(~(sIndexOk | sAlive));
      }
    }
    if (!ok) {
      // The record goes; the stream is read along its chain from now on.
      const std::uint32_t holder = Field(j, kPrevPage);
      state_[holder] |= sRewrite;
      ++report_.RecordsRemoved;
      Finding(kProgressLinkCut, holder);
    }
  }
  // Index pages of chains that did not start at a confirmed first page.
  for (std::uint32_t j = kRootHeaderPage; j < count_; ++j)
    if (Has(j, sIndexOk) && (!Alive(j) || TypeOf(j) != BlockIndexPage))
      state_[j] &= static_cast<std::uint8_t>(~sIndexOk);
}

// Every header page of an object names the object's directory.
void RepairSession::FixParentIds() {
  for (std::uint32_t j = kRootHeaderPage; j < count_; ++j) {
    if (!Alive(j) || TypeOf(j) != ObjectHeaderPage || Field(j, kChainIndex) != 0) continue;
    const std::uint32_t holder = Field(j, kPrevPage);
    const std::uint32_t parent = j == kRootHeaderPage ? 0 : Field(holder, kOwnerId);
    std::uint32_t steps = 0;
    for (std::uint32_t p = j; p != 0 && steps <= count_; p = ValidNext(p), ++steps)
      if (Field(p, kParentId) != parent) SetField(p, kParentId, parent);
  }
}

// A data page's IndexPage names the confirmed index page that lists it, or
// nothing.
void RepairSession::FixIndexPageLinks() {
  const std::uint32_t perPage = volume_.PayloadSize / 4;
  for (std::uint32_t j = kRootHeaderPage; j < count_; ++j) {
    if (!Alive(j) || !IsDataPageType(TypeOf(j))) continue;
    const std::uint32_t index = Field(j, kIndexPage);
    if (index == 0) continue;
    const bool ok = index < count_ && Alive(index) && Has(index, sIndexOk) &&
                    TypeOf(index) == BlockIndexPage &&
                    Field(index, kOwnerId) == Field(j, kOwnerId) &&
                    Field(index, kChainIndex) == Field(j, kChainIndex) / perPage;
    if (ok) continue;
    SetField(j, kIndexPage, 0);
    ++report_.LinksCut;
    Finding(kProgressLinkCut, j);
  }
}

EngineResult RepairSession::FindOrphans() {
  state_[1] |= sDecided | sAlive;
  DecideAll(true);
  if (Failed()) return error_;
  MakeIdsUnique();
  CheckBlockIndexes();
  if (Failed()) return error_;
  FixParentIds();
  FixIndexPageLinks();
  return error_;
}

// ---------------------------------------------------------- the writing phase

EngineResult RepairSession::WritePage(std::uint32_t j, const std::uint8_t* page) {
  ++report_.PagesRewritten;
  if (checkOnly_) return 0;
  wrote_ = true;
  return volume_.WritePage(j, page);
}

bool RepairSession::FixVolumeInfo(std::uint8_t* d) {
  bool changed = false;
  if (PageTypeOf(d) != VolumeSignature || PageNumberOf(d) != 1) {
    BuildVolumeInfoPage(d, volume_.PageSize, u"", false);
    if (keepFileSize_) {
      // Known to end before its host file (its partition says so): a
      // fixed-size volume whose extent is its MaxPageCount, as Format made it.
      StoreU16(d + kFixedSize, 1);
      StoreU32(d + kMaxPageCount, count_);
    }
    changed = true;
  }
  bool fixedField = false;
  auto fix16 = [&](std::uint32_t at, std::uint16_t value) {
    if (LoadU16(d + at) == value) return;
    StoreU16(d + at, value);
    fixedField = true;
  };
  auto fix32 = [&](std::uint32_t at, std::uint32_t value) {
    if (LoadU32(d + at) == value) return;
    StoreU32(d + at, value);
    fixedField = true;
  };
  fix32(kVolumeInfoReserved, 0);
  fix16(kMountedFlag, 0);
  fix16(kLayoutConstant1, 1);
  fix16(kLayoutConstant2, 76);
  fix32(kLayoutConstant3, 64);
  fix32(kLayoutConstant4, 0);
  // Ids are never handed out twice: above every owner seen, live or not.
  std::uint32_t highest = kRootObjectId;
  for (std::uint32_t j = kRootHeaderPage; j < count_; ++j)
    if (Plausible(j)) highest = std::max(highest, Field(j, kOwnerId));
  if (LoadU32(d + kLastObjectId) < highest) fix32(kLastObjectId, highest);
  std::uint8_t* root = d + kRootEntry;
  fix32(kRootEntry + kEntryObjectId, kRootObjectId);
  fix32(kRootEntry + kEntryHeaderPage, kRootHeaderPage);
  const std::uint32_t attributes = LoadU32(root + kEntryAttributes);
  fix32(kRootEntry + kEntryAttributes,
        (attributes & ~(attrFile | attrSymLink)) | layout::attrDirectory);
  fix32(kRootEntry + kEntryNameLength, 0);
  fix32(kRootEntry + kEntryNameNextPage, 0);
  if (fixedField) {
    StoreU32(d + kLastTransactionId, 1);
    changed = true;
  }
  // No transaction table outlives a closed volume.
  if (LoadU32(d + kTransactionTablePage) != 0) {
    StoreU32(d + kTransactionTablePage, 0);
    changed = true;
  }
  if (LoadU32(d + kVolumeId) == 0) {
    StoreU32(d + kVolumeId, RandomId());
    changed = true;
  }
  const std::uint32_t flags = LoadU32(d + kVolumeFlags);
  if (flags & vfCorrupted) {
    StoreU32(d + kVolumeFlags, flags & ~vfCorrupted);
    changed = true;
  }
  return changed;
}

EngineResult RepairSession::Finish() {
  Volume& v = volume_;
  const std::uint32_t perPage = v.PayloadSize / kDirectoryEntrySize;
  std::uint8_t* d = page_.data();
  EngineResult r = 0;
  // Changed pages are read again and every decision applied to them once
  // more; pages in use that nothing reaches are freed and wiped.
  for (std::uint32_t j = kRootHeaderPage; j < count_; ++j) {
    if (IsMap(j)) continue;
    if (!checkOnly_ && !Report(kProgressWritingRepairs, j, count_)) return error_;
    if (Alive(j)) {
      if (!Has(j, sRewrite)) continue;
      if ((r = v.ReadPage(j, d)) != 0) return r;
      const std::uint16_t type = TypeOf(j);
      std::memcpy(d, Copy(j), type == ObjectHeaderPage ? kHeaderFieldsEnd : kLinkFieldsEnd);
      if (type == ObjectHeaderPage)
        CheckHeaderPage(j, d, Pass::kApply);
      else if (type == DirectoryEntryPage)
        CheckEntries(j, Field(j, kOwnerId), d + kPageHeaderSize, perPage, Pass::kApply);
      ReleaseClaims();
      if (Failed()) return error_;
      if ((r = WritePage(j, d)) != 0) return r;
    } else if (Has(j, sMapUsed)) {
      ++report_.OrphansFreed;
      Finding(kProgressOrphanFreed, j);
      if (Failed()) return error_;
      // What the page held is not written back deciphered: a free page
      // carries its number and nothing else.
      std::memset(d, 0, v.PageSize);
      StoreU32(d + kPageNumber, j);
      if ((r = WritePage(j, d)) != 0) return r;
    }
  }

  // The space map, rebuilt from what lives. A group after the last page in
  // use may keep a map page that was never written.
  const std::uint32_t half = v.PageSize / 2;
  std::uint32_t lastUsed = 1;
  for (std::uint32_t j = kRootHeaderPage; j < count_; ++j)
    if (!IsMap(j) && Alive(j)) lastUsed = j;
  std::uint8_t* old = extra_.data();
  for (std::uint32_t start = 0; start < count_; start += half) {
    if (!checkOnly_ && !Report(kProgressWritingRepairs, start, count_)) return error_;
    std::memset(d, 0, v.PageSize);
    StoreU16(d, static_cast<std::uint16_t>(v.PageShift));
    for (std::uint32_t k = 1; k < half && start + k < count_; ++k) {
      const std::uint32_t j = start + k;
      std::uint16_t type = 0;
      if (j == 1)
        type = VolumeSignature;
      else if (Alive(j))
        type = TypeOf(j);
      StoreU16(d + 2 * k, type);
    }
    if ((r = v.ReadPage(start, old)) != 0) return r;
    const bool same = std::memcmp(d, old, v.PageSize) == 0;
    const bool neverWritten =
        start > lastUsed &&
        std::all_of(old, old + v.PageSize, [](std::uint8_t b) { return b == 0; });
    if (!same && !neverWritten && (r = WritePage(start, d)) != 0) return r;
  }

  // A torn last page of a growable volume goes.
  const std::uint64_t volumeBytes = (std::uint64_t{v.VolumeStart} + count_) * v.PageSize;
  if (!checkOnly_ && !keepFileSize_ && fileSize_ != volumeBytes) {
    wrote_ = true;
    if ((r = v.backend_->SetSize(v.host_, static_cast<std::int64_t>(volumeBytes))) != 0) return r;
  }

  // Page 1 last: the corrupted flag clears only once everything else is done.
  if ((r = v.ReadPage(1, d)) != 0) return r;
  if (FixVolumeInfo(d) && (r = WritePage(1, d)) != 0) return r;
  return 0;
}

// -------------------------------------------------------------------- run

EngineResult RepairSession::Run(const std::u16string& path, std::uint32_t pageSize,
                                std::uint32_t storageMode, std::span<const std::uint8_t> password,
                                std::uint32_t keyVariant) {
  EngineResult r = OpenHostFile(path);
  if (r == 0) r = Locate(pageSize);
  if (r == 0) r = Allocate();
  if (r == 0) r = InstallKey(storageMode, password, keyVariant);
  if (r == 0) r = ReadPages();
  // Without the root's header page there is no tree to repair.
  if (r == 0 && !Plausible(kRootHeaderPage)) r = errInvalidStorageFile;
  if (r == 0) r = VerifyStoragePassword(storageMode, password);
  if (r == 0) r = CheckLinks();
  if (r == 0) r = FindOrphans();
  if (r == 0) r = Finish();
  if (r == 0) r = error_;
  CloseHostFile(r);
  return r;
}

EngineResult RepairSession::Execute(
    Volume& volume, const std::u16string& path, std::uint32_t pageSize, std::uint32_t flags,
    std::uint32_t storageMode, std::span<const std::uint8_t> password, std::uint32_t keyVariant,
    const CustomCipherCallbacks* cipherEvents, const ProgressSink& progress, CheckReport& report) {
  // The volume is lent for the run and handed back inactive, with the
  // settings and keys it came with.
  const std::shared_ptr<PageCipherHook> readKey = volume.ReadKey;
  const std::shared_ptr<PageCipherHook> writeKey = volume.WriteKey;
  RepairSession session(volume, flags, cipherEvents, progress, report);
  session.RecoverOnce(path);
  EngineResult r = session.Run(path, pageSize, storageMode, password, keyVariant);
  volume.ResetState();
  MutexLock io(volume.IoLock);
  volume.scratch_.clear();
  volume.Path.clear();
  volume.ReadKey = readKey;
  volume.WriteKey = writeKey;
  return r;
}

EngineResult CheckAndRepair(Volume& volume, const std::u16string& path, std::uint32_t pageSize,
                            std::uint32_t flags, std::uint32_t storageMode,
                            std::span<const std::uint8_t> password, std::uint32_t keyVariant,
                            const CustomCipherCallbacks* cipherEvents, const ProgressSink& progress,
                            CheckReport* report) {
  if (volume.Active) return errStorageActive;
  EngineResult r = CheckedPageSize(pageSize);
  if (r != 0) return r;
  CheckReport local;
  CheckReport& out = report ? *report : local;
  out = CheckReport();
  return RepairSession::Execute(volume, path, pageSize, flags, storageMode, password, keyVariant,
                                cipherEvents, progress, out);
}

}  // namespace vaultfs
