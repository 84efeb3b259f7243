// Walks every page of an open (normally read-only) volume and reports each
// broken link between pages: chain links, back-links of first pages,
// directory entries to header pages, name chains, moved-out records, block
// index entries, and space map entries that disagree with the pages.
#pragma once

#include <string>
#include <vector>

#include "vaultfs/volume/volume.h"

namespace vaultfs::testing {

// An empty result means the structure is sound.
std::vector<std::string> CheckStructure(Volume& volume);

}  // namespace vaultfs::testing
