// Check and repair of a container that is not open. The check reads the
// pages, keeps a 36-byte copy of every page's header with a reference count
// and a state byte (41 bytes per page, nothing else per page), follows every
// link between pages from both ends, and works out which pages the root
// still reaches. The repair then cuts the links that fail, clears directory
// entries and removes records whose pages are gone, frees (and wipes) the
// pages nothing valid references any more, rebuilds the space map from the
// pages themselves and puts the volume information page right, clearing the
// corrupted flag.
//
// A page is only ever freed when nothing valid references it; a page whose
// own header cannot be understood is never followed, whatever points at it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "vaultfs/volume/page_cipher.h"
#include "vaultfs/progress.h"
#include "vaultfs/volume/volume.h"
#include "vaultfs/engine_types.h"
#include "vaultfs/result_codes.h"

namespace vaultfs {


// Checks, and unless `flags` has kCheckOnly repairs, the container at `path`
// through the host-file backend of `volume`, which must be inactive
// (errStorageActive otherwise) and is left inactive with its settings and
// keys as they were.
//
// `pageSize` must be a valid page size (errInvalidPageSize); it is the first
// guess when the volume's own first page is too damaged to tell its page size.
// An enciphered container needs the storage mode, password and KeyVariant that
// CheckStoragePassword found (`cipherEvents` serves ecCustom256); without a
// password, or with one its check value refuses, the result is
// errInvalidPassword before anything is written.
//
// A repairing run first opens and closes the container once, which finishes
// an interrupted commit; a file that opens only for reading is
// errStorageReadOnly. No root directory (page 2 not the root's header page) is
// errInvalidStorageFile, and nothing is repaired then.
//
// Progress: kProgressReadingPages, kProgressCheckingLinks and
// kProgressSearchingOrphans per page, kProgressWritingRepairs per page when
// repairing, and kProgressLinkCut / kProgressOrphanFreed per finding. Reports
// can stop the run until the first page is written (errInterrupted); a run
// that stops after that leaves every page it wrote in its repaired state.
[[nodiscard]] EngineResult CheckAndRepair(
    Volume& volume, const std::u16string& path, std::uint32_t pageSize, std::uint32_t flags,
    std::uint32_t storageMode, std::span<const std::uint8_t> password, std::uint32_t keyVariant,
    const CustomCipherCallbacks* cipherEvents, const ProgressSink& progress,
    CheckReport* report = nullptr);

}  // namespace vaultfs
