#!/usr/bin/env bash
# The big-endian checks: cross-builds the engine, vaultfs, korvane-cli and the
# engine's unit tests for s390x (cmake --preset s390x), runs those tests
# under qemu-s390x, then the matrix of containers written by one byte order
# and read by the other (tests/cross/byte_order_matrix.sh) against the host's
# release build, which must be built already.
#
#   scripts/cross-s390x.sh
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in s390x-linux-gnu-g++ qemu-s390x; do
  command -v "$tool" >/dev/null || {
    echo "cross-s390x: $tool missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  }
done
for program in vaultfs korvane-cli interrupted_commit; do
  [ -x "build/release/$program" ] || {
    echo "cross-s390x: build/release/$program missing: build the release preset first" >&2
    exit 1
  }
done
scripts/s390x-root.sh build/s390x-root
cmake --preset s390x >/dev/null
cmake --build --preset s390x
echo "== s390x unit tests (qemu-s390x)"
ctest --preset s390x -j "$(nproc)"
echo "== byte-order matrix"
tests/cross/byte_order_matrix.sh build/release build/s390x
