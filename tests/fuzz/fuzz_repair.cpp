// Checks and repairs arbitrary bytes as a closed container: a check-only run
// (which must not change a byte), a repair, then a second check and an open
// of whatever the repair left. Any outcome is acceptable except a crash, a
// hang, a leak, undefined behaviour, or a check that writes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vaultfs/progress.h"
#include "vaultfs/maintenance/repair.h"
#include "vaultfs/volume/volume.h"
#include "support/fuzz_container.h"
#include "support/memory_host_files.h"

using vaultfs::CheckReport;
using vaultfs::EngineResult;
using vaultfs::Volume;
using vaultfs::testing::MemoryHostFiles;

namespace {

const std::u16string& kName = vaultfs::testing::kFuzzContainer;

EngineResult Run(MemoryHostFiles& files, std::uint32_t pageSize, std::uint32_t flags) {
  Volume volume;
  if (EngineResult r = volume.SetHostFileCallbacks(files.Callbacks()); r != 0) return r;
  CheckReport report;
  return vaultfs::CheckAndRepair(volume, kName, pageSize, flags, 0, {}, 0, nullptr,
                                 vaultfs::ProgressSink{}, &report);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The bytes are the container as they stand (so seed containers stay
  // valid); the length picks the page size the caller claims (the check
  // looks for the right one itself) and whether every page is examined.
  const std::uint32_t pageSize = size % 2 == 0 ? 256 : 4096;
  const std::uint32_t everyPage = size % 4 >= 2 ? vaultfs::kCheckEveryPage : 0;
  const std::vector<std::uint8_t> bytes(data, data + size);
  MemoryHostFiles files;
  files.SetContents(kName, bytes);
  (void)Run(files, pageSize, vaultfs::kCheckOnly | everyPage);
  if (files.Contents(kName) != bytes) std::abort();  // a check must never write
  if (Run(files, pageSize, everyPage) != 0) return 0;
  (void)Run(files, pageSize, vaultfs::kCheckOnly | everyPage);
  Volume volume;
  if (vaultfs::testing::OpenFuzzContainer(volume, files, false) == 0) (void)volume.Close();
  return 0;
}
