#!/usr/bin/env bash
# Proves the engine's durability flushes: in a scratch copy of the tree, each
# flush of the engine (commit, recovery, unmount and close, compaction, key
# change, check and repair, format) is taken out in turn, the engine's tests
# are rebuilt and the crash sweeps run (they lose what was not flushed). A
# flush whose removal no sweep notices is MISSED: either it is not needed or
# a test is missing.
#
#   scripts/flush-mutants.sh [SCRATCH]   (default /tmp/korvane-flush-mutants)
#
# Prints one line per mutant, `mutant K: FILE:LINE caught` or `MISSED`, and a
# closing line `flush mutants: N caught of M`. Slow (a rebuild and the sweeps
# per mutant): not part of scripts/test.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
scratch="${1:-/tmp/korvane-flush-mutants}"

rm -rf "$scratch"
mkdir -p "$scratch/tree"
git -C "$root" ls-files -z | (cd "$root" && xargs -0 tar -cf - --no-recursion) |
  tar -xf - -C "$scratch/tree"
tree="$scratch/tree"
build="$scratch/build"
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANE_WERROR=OFF >/dev/null
targets=(volume_tests objects_tests)
cmake --build "$build" --target "${targets[@]}" >/dev/null

# The sweeps that lose power or fail writes at every point of a commit,
# recovery, close, compaction, key change, format and repair.
sweeps() {
  "$build/volume_tests" --gtest_brief=1 \
    --gtest_filter='*CrashSweep*:*Recover*:*Journal*:*Transaction*:*PowerLoss*' >/dev/null 2>&1 &&
    "$build/objects_tests" --gtest_brief=1 \
      --gtest_filter='*Crash*:*Compact*:StoragePassword*:*Repair*:*Format*' >/dev/null 2>&1
}
if ! sweeps; then
  echo "the sweeps fail without any mutant: nothing to measure" >&2
  exit 1
fi

# Every durability flush of the engine: a call of FlushHost() or of the host
# backend's Flush() (the definition of FlushHost itself excluded), formatting
# included.
mapfile -t sites < <(cd "$tree" && grep -n -E 'FlushHost\(\)|backend_?->Flush\(|host_\.Flush\(' \
  src/vaultfs/volume/*.cpp src/vaultfs/maintenance/*.cpp src/vaultfs/objects/*.cpp |
  grep -v 'EngineResult Volume::FlushHost')

caught=0
total=0
for site in "${sites[@]}"; do
  file="${site%%:*}"
  rest="${site#*:}"
  line="${rest%%:*}"
  total=$((total + 1))
  cp "$tree/$file" "$scratch/original"
  # The call reports success without flushing.
  sed -i -E "${line}s/(v_\.|volume_?\.)?FlushHost\(\)/errOk/; ${line}s/[A-Za-z_.]*(backend_?->|host_\.)Flush\([^)]*\)/errOk/" \
    "$tree/$file"
  if cmp -s "$tree/$file" "$scratch/original"; then
    echo "mutant $total: $file:$line not applied"
  elif ! cmake --build "$build" --target "${targets[@]}" >/dev/null 2>&1; then
    echo "mutant $total: $file:$line does not build"
  elif sweeps; then
    echo "mutant $total: $file:$line MISSED"
  else
    echo "mutant $total: $file:$line caught"
    caught=$((caught + 1))
  fi
  cp "$scratch/original" "$tree/$file"
done
cmake --build "$build" --target "${targets[@]}" >/dev/null
echo "flush mutants: $caught caught of $total"
