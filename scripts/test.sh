#!/usr/bin/env bash
# Every test: the layer check and clang's thread-safety analysis of the
# engine, the sanitizer build and the release build with all unit and
# end-to-end tests, the big-endian (s390x) build's unit tests under qemu and
# the byte-order matrix, the engine's thread tests under ThreadSanitizer, then
# the fuzz targets for a bounded time.
#   FUZZ_SECONDS  seconds per fuzz target (default 60; 0 skips fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# The include rules between the layers of src/ (cheap, so first).
echo "== layer check"
python3 scripts/check-layers.py

# The engine's lock contracts, checked by clang's thread-safety analysis.
echo "== thread-safety analysis"
cmake --preset thread-safety >/dev/null
cmake --build --preset thread-safety

for preset in debug release; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset tests"
  ctest --preset "$preset" -j "$(nproc)"
done

# The big-endian build (s390x, under qemu): its unit tests, and containers
# written by one byte order read by the other, against the release build.
echo "== s390x cross build"
scripts/cross-s390x.sh

# ThreadSanitizer cannot share a build with AddressSanitizer: a build of its own.
echo "== tsan build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
echo "== tsan tests"
ctest --preset tsan -j "$(nproc)"

seconds="${FUZZ_SECONDS:-60}"
if [ "$seconds" -gt 0 ]; then
  echo "== fuzz build"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  for target in build/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name="$(basename "$target")"
    corpus="build/fuzz/corpus-$name"
    mkdir -p "$corpus"
    echo "== $name for ${seconds}s"
    "$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$corpus" tests/fuzz/seeds 2>&1 | tail -n 15
  done
fi
echo "== all tests passed"
