// The container a fuzz target works on: one host file in memory, named
// kFuzzContainer. Header-only, so that the fuzz targets (which are built
// without the test_support library) need nothing beyond
// memory_host_files.cpp.
#pragma once

#include <string>

#include "support/memory_host_files.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs::testing {

inline const std::u16string kFuzzContainer = u"fuzz.vfs";

// Attaches `files` to the volume and opens kFuzzContainer. Most fuzz inputs
// are no container at all: a failure is a result like any other.
inline EngineResult OpenFuzzContainer(Volume& volume, MemoryHostFiles& files, bool readOnly) {
  if (EngineResult r = volume.SetHostFileCallbacks(files.Callbacks()); r != 0) return r;
  return volume.Open(kFuzzContainer, readOnly);
}

}  // namespace vaultfs::testing
