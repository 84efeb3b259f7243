// Opens arbitrary bytes as a container: probe, read-only open with a walk of
// every page and of the space map, then a writable open (which may run crash
// recovery) with a small committed transaction. Any outcome is acceptable
// except a crash, a hang, a leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vaultfs/format/page_layout.h"
#include "vaultfs/volume/transaction.h"
#include "vaultfs/volume/volume.h"
#include "support/fuzz_container.h"
#include "support/memory_host_files.h"

using vaultfs::EngineResult;
using vaultfs::PageRef;
using vaultfs::Transaction;
using vaultfs::Volume;
using vaultfs::testing::MemoryHostFiles;
using vaultfs::testing::OpenFuzzContainer;

namespace {

const std::u16string& kName = vaultfs::testing::kFuzzContainer;

void ReadOnlyPass(MemoryHostFiles& files) {
  Volume volume;
  if (volume.SetHostFileCallbacks(files.Callbacks()) != 0) return;
  vaultfs::ProbeResult probe;
  (void)volume.Probe(kName, probe);
  if (volume.Open(kName, true) != 0) return;
  vaultfs::StorageSize size;
  (void)volume.GetStorageSize(size);
  bool changed = false;
  (void)volume.CheckSameVolume(changed);
  const std::uint32_t pages = volume.HostPageCount < 64 ? volume.HostPageCount : 64;
  for (std::uint32_t n = 0; n < pages; ++n) {
    PageRef page;
    (void)volume.GetPage(n, true, -1, 0, nullptr, page);
  }
  (void)volume.Close();
}

void WritablePass(MemoryHostFiles& files) {
  Volume volume;
  if (OpenFuzzContainer(volume, files, false) != 0) return;
  Transaction* t = nullptr;
  if (volume.Begin(false, t) == 0) {
    PageRef fresh;
    EngineResult r = volume.AllocateNewPage(vaultfs::layout::DataPage, t, fresh);
    fresh = PageRef();
    if (r == 0)
      r = volume.Commit(t);
    else
      (void)volume.Rollback(t);
  }
  (void)volume.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryHostFiles files;
  files.SetContents(kName, std::vector<std::uint8_t>(data, data + size));
  ReadOnlyPass(files);
  WritablePass(files);
  for (bool transactions : {false, true}) {
    // A second writable pass runs on whatever the first one left behind.
    Volume volume;
    if (volume.SetHostFileCallbacks(files.Callbacks()) != 0) break;
    (void)volume.SetUseTransactions(transactions);
    if (volume.Open(kName, false) == 0) (void)volume.Close();
  }
  return 0;
}
