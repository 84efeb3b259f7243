// Name masks: how a search (StorageFindFirst) and the copying of folder
// trees (TVaultStorage::ImportFiles, ExportFiles) choose names, for callers
// that need to choose the same names themselves.
#pragma once

#include <string_view>

namespace vaultfs {

// '?' stands for exactly one unit, '*' for any run of units; "*" and "*.*"
// match every name, and a mask ending in '.' also matches names without a dot
// ("abc." matches "abc"). After a mismatch behind a '*' the scan resumes at
// the unit that failed, not one past where the '*' run began, so "*aab" does
// not match "aaab". Without `caseSensitive` units are compared after simple
// lower-casing.
bool MatchMask(std::u16string_view name, std::u16string_view mask, bool caseSensitive);

}  // namespace vaultfs
