// Searches: the members of one directory whose names match a mask and whose
// attributes meet an attribute mask, one per call, in the directory's name
// order. A search keeps its directory referenced and a read-only transaction
// open from SearchFirst until SearchClose (or the errNoMoreFiles that ends
// it), and survives changes to the directory between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vaultfs/objects/file_object.h"
#include "vaultfs/storage_time.h"

namespace vaultfs {

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

// `path` is the directory's path followed by the mask as its last component;
// links are followed in the directory part, not in the mask. A mask without
// '?' or '*' names one entry exactly and yields at most that one.
// errNoMoreFiles when nothing matches (the search is then closed).
[[nodiscard]] EngineResult SearchFirst(ObjectStore& store, SearchRecord& record,
                                       std::u16string_view path, std::uint32_t attributeMask,
                                       std::uint32_t flags, std::uint32_t tag = 0);
// The next match; errNoMoreFiles at the end, which closes the search.
[[nodiscard]] EngineResult SearchNext(SearchRecord& record);
// Ends the search (if any) and clears the record's strings.
void SearchClose(SearchRecord& record);

// Ends every open search of the volume, for closing it (an open search holds
// a read-only transaction, which keeps Volume::Close from finishing): each
// gives back its directory and its transaction at once. Their records stay
// safe to use and to destroy after the volume has gone: SearchNext answers
// errHandleClosed and SearchClose only frees what the record holds.
void CloseAllSearches(ObjectStore& store);

// '?' stands for exactly one unit, '*' for any run of units; "*" and "*.*"
// match every name, and a mask ending in '.' also matches names without a dot
// ("abc." matches "abc"). After a mismatch behind a '*' the scan resumes at
// the unit that failed, not one past where the '*' run began, so "*aab" does
// not match "aaab".
bool MatchMask(std::u16string_view name, std::u16string_view mask, bool caseSensitive);

}  // namespace vaultfs
