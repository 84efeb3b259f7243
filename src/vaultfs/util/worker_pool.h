// Threads for the pure per-block work (compressing, decompressing,
// enciphering blocks) that the engine spreads over the machine's cores.
#pragma once

#include <cstddef>
#include <functional>

namespace vaultfs {

// Runs body(0) ... body(count - 1), each exactly once, on the calling thread
// and the shared workers together, and returns when all have run. The
// bodies must be independent of each other and must not throw. With one
// core, or one item, everything runs on the calling thread. Callers on
// several threads may share the workers at the same time.
void ForEachInParallel(std::size_t count, const std::function<void(std::size_t)>& body);

// The number of threads ForEachInParallel spreads over (the caller's
// included): the machine's cores, at least 1.
std::size_t ParallelWidth();

}  // namespace vaultfs
