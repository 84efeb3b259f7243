// Searches: the members of one directory whose names match a mask and whose
// attributes meet an attribute mask, one per call, in the directory's name
// order. A search keeps its directory referenced and a read-only transaction
// open from SearchFirst until SearchClose (or the errNoMoreFiles that ends
// it), and survives changes to the directory between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vaultfs/engine_types.h"
#include "vaultfs/name_mask.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/storage_time.h"

namespace vaultfs {


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

}  // namespace vaultfs
