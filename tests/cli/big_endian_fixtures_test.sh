#!/usr/bin/env bash
# Containers written on a big-endian machine (tests/fixtures/big-endian, made
# by the s390x build under qemu) read by this build: files raw, zlib-,
# run-length-compressed and under a file password, an imported tree, a
# storage-enciphered container, and protected folders of both layouts.
#
#   big_endian_fixtures_test.sh BIN_DIR   (holding vaultfs and korvane-cli)
set -uo pipefail
bin="$(cd "${1:?usage: big_endian_fixtures_test.sh BIN_DIR}" && pwd)"
fixtures="$(cd "$(dirname "$0")/../fixtures/big-endian" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/big-endian.XXXXXX")"
trap 'rm -rf "$work"' EXIT
failures=0
check() {
  local what="$1"
  shift
  if "$@"; then echo "ok      $what"; else echo "FAILED  $what"; failures=$((failures + 1)); fi
}
listing() { (cd "$1" && find . -mindepth 1 -printf '%P|%y|%m|%T@|%l\n' | LC_ALL=C sort); }
same_tree() { diff -r --no-dereference "$work/in/tree" "$1" >/dev/null && [ "$(listing "$1")" = "$(cat "$fixtures/tree.listing")" ]; }

"$fixtures/inputs.sh" "$work/in"
in="$work/in"
printf 'fixture file password' >"$work/file-pw"
printf 'fixture storage password' >"$work/storage-pw"
printf 'fixture folder password' >"$work/folder-pw"
cp "$fixtures"/engine.vfs "$fixtures"/storage.vfs "$fixtures"/*._zkvlk "$work/"
vaultfs() { "$bin/vaultfs" "$@"; }

engine="$work/engine.vfs"
# Big-endian: byte-swapped for a little-endian machine.
if [ "$(printf '\001\000' | od -An -tu2 | tr -d ' ')" = 1 ]; then order=swapped; else order=native; fi
check "the fixture is big-endian" bash -c '"$0/vaultfs" info "$1" | grep -q "^byte order: *$2"' \
  "$bin" "$engine" "$order"
check "the engine fixture is sound" vaultfs check "$engine"
check "a raw file" cmp -s <(vaultfs cat "$engine" /text) "$in/text"
check "a zlib file" cmp -s <(vaultfs cat "$engine" /text.zlib) "$in/text"
check "a run-length file" cmp -s <(vaultfs cat "$engine" /random.rle) "$in/random.bin"
check "a file under its own password" \
  cmp -s <(vaultfs cat "$engine" /secret --password-file "$work/file-pw") "$in/text"
check "a wrong file password is refused" \
  bash -c '! "$0/vaultfs" cat "$1" /secret --password-file "$2" >/dev/null 2>&1' \
  "$bin" "$engine" "$work/storage-pw"
check "an imported tree exports exactly" \
  bash -c '"$0/vaultfs" export "$1" /tree "$2" >/dev/null' "$bin" "$engine" "$work/tree"
check "  the same names, modes, times and links" same_tree "$work/tree"

storage="$work/storage.vfs"
check "a storage-enciphered file" \
  cmp -s <(vaultfs cat "$storage" /text.zlib --storage-password-file "$work/storage-pw") "$in/text"
check "the storage-enciphered fixture is sound" \
  vaultfs check "$storage" --storage-password-file "$work/storage-pw"

for layout in hardened classic; do
  check "the $layout folder opens" bash -c '"$0/korvane-cli" open "$1" --password-file "$2" --quiet >/dev/null' \
    "$bin" "$work/$layout._zkvlk" "$work/folder-pw"
  check "  to the same tree" same_tree "$work/$layout"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "all passed"
