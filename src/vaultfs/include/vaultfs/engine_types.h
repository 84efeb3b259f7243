// The types the engine's interface shares with the engine: handles, modes,
// attribute bits, search records, change events, the check report, a file's
// tags, a volume's figures, and the callbacks a caller may supply for its own
// cipher and codec.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vaultfs/result_codes.h"
#include "vaultfs/storage_time.h"

namespace vaultfs {

// An open file of a container.
struct FileHandle;

// Attribute bits.
inline constexpr std::uint32_t attrFile = 0x0001;
inline constexpr std::uint32_t attrDirectory = 0x0002;
inline constexpr std::uint32_t attrCompressed = 0x0008;
inline constexpr std::uint32_t attrEncrypted = 0x0010;
inline constexpr std::uint32_t attrSymLink = 0x0020;
inline constexpr std::uint32_t attrReadOnly = 0x0040;
inline constexpr std::uint32_t attrArchive = 0x0080;
inline constexpr std::uint32_t attrHidden = 0x0100;
inline constexpr std::uint32_t attrSystem = 0x0200;
inline constexpr std::uint32_t kEngineAttributeMask = 0xF03F;

// Encryption modes as stored in the storage and file encryption records.
using TVaultEncryption = std::uint32_t;
inline constexpr TVaultEncryption ecNoEncryption = 0;
inline constexpr TVaultEncryption ecAES256_SHA256 = 1;
inline constexpr TVaultEncryption ecCustom256 = 2;
inline constexpr TVaultEncryption ecAES256_HMAC256 = 3;

// Caller-supplied handlers for ecCustom256. The data events work in place on
// `data` and receive the whole password (not the variant's share) as the key.
// A missing event makes the operation that needs it fail with
// errNoEncryptionHandlers.
struct CustomCipherCallbacks {
  using DataEvent = EngineResult (*)(void* userData, const std::uint8_t* key,
                                     std::uint32_t keyLength, std::uint8_t* data,
                                     std::uint32_t dataSize, std::uint32_t objectId,
                                     std::uint32_t pageIndex);
  // Writes the 32-byte check value of `buffer` to `hash`.
  using HashCalculateEvent = EngineResult (*)(void* userData, const std::uint8_t* buffer,
                                              std::uint32_t count, std::uint8_t* hash);
  // Tells whether `buffer` matches the stored 32-byte check value `hash`.
  using HashValidateEvent = EngineResult (*)(void* userData, const std::uint8_t* buffer,
                                             std::uint32_t count, const std::uint8_t* hash,
                                             bool& valid);

  DataEvent OnDataEncrypt = nullptr;
  DataEvent OnDataDecrypt = nullptr;
  HashCalculateEvent OnHashCalculate = nullptr;
  HashValidateEvent OnHashValidate = nullptr;
  void* UserData = nullptr;
};


// Compression modes. Plain constants rather than an enum so that they mix with
// the u32 mode of the record without casts.
using TVaultCompression = std::uint8_t;
inline constexpr TVaultCompression crNoCompression = 0;
inline constexpr TVaultCompression crDefault = 1;  // a request only: stored as crZLib
inline constexpr TVaultCompression crCustom = 2;
inline constexpr TVaultCompression crZLib = 3;
inline constexpr TVaultCompression crRLE = 4;

// Caller-supplied codec for crCustom. Both handlers return 0 on success.
// OnCompress gets the output limit and reports what it produced; OnDecompress
// gets the output capacity and reports the decoded length. outSize arrives
// holding the limit or capacity, for handlers that treat it as in/out. A
// reported length above the limit or capacity is treated as a failed handler.
struct CustomCodecCallbacks {
  using CompressProc = EngineResult (*)(void* userData, const std::uint8_t* in,
                                        std::uint32_t inSize, std::uint8_t* out,
                                        std::uint32_t outLimit, std::int32_t level,
                                        std::uint32_t& outSize);
  using DecompressProc = EngineResult (*)(void* userData, const std::uint8_t* in,
                                          std::uint32_t inSize, std::uint8_t* out,
                                          std::uint32_t outCapacity, std::uint32_t& outSize);

  CompressProc OnCompress = nullptr;
  DecompressProc OnDecompress = nullptr;
  void* UserData = nullptr;
};


// Search flags: what SearchFirst fills in besides name and attributes.
inline constexpr std::uint32_t sfFullPath = 0x1;
inline constexpr std::uint32_t sfTimesAndSize = 0x2;
inline constexpr std::uint32_t sfTimesAndSizeToo = 0x4;  // same meaning as 0x2
inline constexpr std::uint32_t sfDotEntries = 0x8000;    // "." and ".." first, not in the root
inline constexpr std::uint32_t kDefaultSearchFlags =
    sfFullPath | sfTimesAndSize | sfTimesAndSizeToo;

struct SearchHandle;

// Filled by every successful search call and owned by the caller. It carries
// the fields of the flat interface's 48-byte record (handle, full path, name,
// attributes, three times, size) as members of their natural C++ types. A
// record with an open search closes it when it goes away, so it must not
// outlive the container it searches.
struct SearchRecord {
  SearchRecord() = default;
  SearchRecord(const SearchRecord&) = delete;
  SearchRecord& operator=(const SearchRecord&) = delete;
  ~SearchRecord();

  SearchHandle* Handle = nullptr;  // none once the search ended
  std::u16string FullPath;         // directory path + name, with sfFullPath
  std::u16string Name;
  std::uint32_t Attributes = 0;
  StorageTime Created = 0;  // times and size with sfTimesAndSize
  StorageTime Modified = 0;
  StorageTime Accessed = 0;
  std::uint64_t Size = 0;
};

// ---- change notifications ----

inline constexpr std::uint32_t cnCreated = 0x1;
inline constexpr std::uint32_t cnDeleted = 0x2;
inline constexpr std::uint32_t cnNameChanged = 0x4;
inline constexpr std::uint32_t cnAttributesChanged = 0x8;  // also encryption, compression
inline constexpr std::uint32_t cnDataChanged = 0x10;
inline constexpr std::uint32_t cnTimesChanged = 0x8000;

struct ChangeEvent {
  std::uint32_t Flags = 0;
  StorageTime Time = 0;
  std::u16string Path;
  std::u16string NewPath;  // renames only
  std::uint32_t Attributes = 0;
  std::uint64_t Size = 0;  // not for deletions
  // The object's id first, then its ancestors' up to the root.
  std::vector<std::uint32_t> ObjectIds;
};

struct NotificationRegistration;
// Called under the registration list's lock: a callback must not register or
// unregister (such calls are refused with errInvalidParameter).
using NotificationCallback = void (*)(void* userData, const ChangeEvent& event,
                                      const NotificationRegistration& registration);
using NotificationHandle = NotificationRegistration*;

// Flags of CheckAndRepair.
inline constexpr std::uint32_t kCheckOnly = 0x1;  // report, write nothing
inline constexpr std::uint32_t kCheckEveryPage =
    0x2;  // also read the pages the space map calls free

// Progress operation codes. Phases report (page, page count); findings
// report (page, 0).
inline constexpr std::uint8_t kProgressReadingPages = 1;
inline constexpr std::uint8_t kProgressCheckingLinks = 2;
inline constexpr std::uint8_t kProgressSearchingOrphans = 3;
inline constexpr std::uint8_t kProgressWritingRepairs = 4;
inline constexpr std::uint8_t kProgressLinkCut = 8;      // a link held by the page was cut
inline constexpr std::uint8_t kProgressOrphanFreed = 9;  // the page is an orphan and is freed

// What a check found (and a repair mended). A container without damage gives
// zero in every field; a check-only run counts what a repair would do.
struct CheckReport {
  std::uint32_t LinksCut = 0;        // page links (next page, index page, name chain) cut
  std::uint32_t EntriesCleared = 0;  // directory entries whose object is gone
  std::uint32_t RecordsRemoved = 0;  // records whose pages are gone, damaged record lists
  std::uint32_t NamesShortened = 0;  // names cut back to the units their pages still hold
  std::uint32_t OrphansFreed = 0;    // pages in use that nothing valid references
  std::uint32_t PagesRewritten = 0;  // pages written (or, checking, to be written)

  bool Clean() const {
    return LinksCut == 0 && EntriesCleared == 0 && RecordsRemoved == 0 && NamesShortened == 0 &&
           OrphansFreed == 0 && PagesRewritten == 0;
  }
};

// One tag of a file or directory (StorageGetFileSizeAndTags): its id and the
// size of its data in bytes.
struct FileTagInfo {
  std::uint16_t Id = 0;
  std::uint32_t Size = 0;
};

// What the volume of a container says about itself (StorageGetVolumeFigures):
// the fields of its volume information page and the space its space map
// counts.
struct VolumeFigures {
  std::uint32_t PageSize = 0;
  std::u16string Logo;
  std::uint32_t VolumeId = 0;
  bool ByteSwapped = false;       // written on a machine of the other byte order
  std::uint32_t VolumeStart = 0;  // pages of the host file before the volume
  bool Corrupted = false;         // the corrupted flag
  bool FixedSize = false;
  std::uint32_t MaxPageCount = 0;   // 0: no limit
  std::uint32_t HostPageCount = 0;  // pages of the volume in its host file
  // As StorageGetSizes: the volume's size in bytes and the free bytes within
  // it (a fixed-size volume counts its unwritten tail as free).
  std::uint64_t Size = 0;
  std::uint64_t FreeBytes = 0;
  std::uint32_t LastObjectId = 0;
  // The journal: mounted (open for writing, or left so by a crash) and the
  // first page of the transaction table while it has one (else 0).
  bool Mounted = false;
  std::uint32_t TransactionTablePage = 0;
};

}  // namespace vaultfs
