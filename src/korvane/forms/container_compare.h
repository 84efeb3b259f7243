// Reading a new container back before the folder it was made from goes: the
// DATA tree must hold every directory, every link with its target and every
// file with its exact size and bytes. What the read-back saw of each entry
// is kept, so that the removal afterwards takes only what was stored.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "korvane/forms/container_layout.h"
#include "korvane/platform/platform.h"

namespace korvane {

// Called before each file is compared and after each piece of it: the path
// relative to the folder, bytes compared so far in the whole folder, and the
// folder's total. Returning false stops the comparison.
using TCompareProgress =
    std::function<bool(const std::string& relativePath, std::uint64_t done, std::uint64_t total)>;

// The state of every file and link of the folder as the read-back found it
// equal to the container (device, inode, size, modification and change
// times): a file edited, replaced or added afterwards no longer matches.
class TStoredIdentities {
 public:
  void Record(const std::string& relativePath, const platform::EntryFacts& facts) {
    entries_[relativePath] = facts;
  }
  // Whether the entry at `relativePath` is still exactly what was stored.
  bool Matches(const std::string& relativePath, const platform::EntryFacts& facts) const {
    const auto found = entries_.find(relativePath);
    return found != entries_.end() && platform::SameEntryState(found->second, facts);
  }
  std::size_t Size() const { return entries_.size(); }

 private:
  std::unordered_map<std::string, platform::EntryFacts> entries_;
};

// Opens the container read-only through `access` and compares its DATA tree with `folder`,
// walking the folder by descriptors (never through a link, at any depth).
// Returns false when `progress` stopped it; raises std::runtime_error naming
// the first difference (a file that changed while it was read counts as
// one), and passes on errors of the container or the disk. With `stored`,
// records every file and link that matched.
bool CompareContainerWithFolder(const std::string& containerPath, const std::string& folder,
                                const TContainerAccess& access, const TCompareProgress& progress,
                                TStoredIdentities* stored = nullptr);

}  // namespace korvane
