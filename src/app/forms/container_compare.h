// Reading a new container back before the folder it was made from goes: the
// DATA tree must hold every directory, every link with its target and every
// file with its exact size and bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvane {

// Called before each file is compared and after each piece of it: the path
// relative to the folder, bytes compared so far in the whole folder, and the
// folder's total. Returning false stops the comparison.
using TCompareProgress =
    std::function<bool(const std::string& relativePath, std::uint64_t done, std::uint64_t total)>;

// Opens the container read-only and compares its DATA tree with `folder`.
// Returns false when `progress` stopped it; raises std::runtime_error naming
// the first difference, and passes on errors of the container or the disk.
bool CompareContainerWithFolder(const std::string& containerPath, const std::string& folder,
                                const std::string& password, const TCompareProgress& progress);

}  // namespace korvane
