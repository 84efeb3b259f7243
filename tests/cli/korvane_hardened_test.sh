#!/usr/bin/env bash
# End-to-end checks of the hardened layout with korvane-cli: what a container
# shows to someone without the password, the cost of a guess, the exact
# round trip, damage found and named (a flipped byte, swapped pages, a page
# of zeros), verify, passwd and the recovery escrow.
#
# Usage: korvane_hardened_test.sh BIN_DIR   (BIN_DIR holds korvane-cli,
# korvane-recover and vaultfs)
set -u
bin="$(cd "${1:?usage: $0 BIN_DIR}" && pwd)"
export KORVANE_CLI_REAL="$bin/korvane-cli"
here="$(cd "$(dirname "$0")" && pwd)"
# Protections at the least key-derivation cost (see the script).
cli="$here/lib/korvane-cli-at-floor"
recover="$bin/korvane-recover"
vaultfs="$bin/vaultfs"
for tool in "$KORVANE_CLI_REAL" "$recover" "$vaultfs"; do
  [ -x "$tool" ] || { echo "FAIL: $tool is missing"; exit 1; }
done
keys="$here/../korvane/escrow/fixtures"
. "$here/lib/crafted_tree.sh"

dir="$(mktemp -d)"
cleanup() {
  chmod -R u+rwx "$dir" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
. "$here/lib/cli_checks.sh"

listing() { (cd "$1" && find . -printf '%P %m %T@ %y %l\n' | LC_ALL=C sort); }
same_tree() {
  [ -d "$2" ] && diff -r --no-dereference "$1" "$2" >/dev/null 2>&1 &&
    cmp -s <(listing "$1") <(listing "$2")
}
# holds FILE TEXT: whether the bytes of TEXT appear in FILE, as they are
# and as UTF-16LE (how the container stores names).
holds() {
  grep -qaF -- "$2" "$1" && return 0
  local utf16
  utf16="$(printf '%s' "$2" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 | tr -d ' \n')"
  od -An -tx1 -v "$1" | tr -d ' \n' | grep -q "$utf16"
}
not_holds() { ! holds "$@"; }
ms_now() { date +%s%3N; }

password="correct horse 1"
printf '%s\n' "$password" >"$dir/pw"
P=(--password-file "$dir/pw")
printf 'tobel5931' >"$dir/storage.pw"
work="$dir/work"
mkdir -p "$work" "$XDG_CONFIG_HOME/korvane"
# The test key pair stands in for the maker's.
cp "$keys/hardened-test-public-key.pem" "$XDG_CONFIG_HOME/korvane/hardened-recovery-key.pem"

echo "== a default protection shows nothing without the password"
tree="$work/tree"
make_crafted_tree "$tree"
printf 'The plans for the new bridge: DISTINCTIVE-CONTENT-7731\n' >"$tree/plans for the bridge.txt"
touch -d '2001-02-03 04:05:06.070809101 UTC' "$tree"
ref="$dir/ref"
cp -a "$tree" "$ref"
run_cli 0 "protect the tree" protect "$tree" "${P[@]}"
container="$tree._zkvlk"
cp "$container" "$dir/container.copy"
check "vaultfs ls with the public storage password fails" \
  bash -c "! '$vaultfs' ls '$container' / -R --storage-password-file '$dir/storage.pw' >/dev/null 2>&1"
check "the MD5 of the password is nowhere in the file" \
  bash -c "! grep -qaF \"\$(printf '%s' '$password' | md5sum | cut -c1-32)\" '$container'"
for name in "plans for the bridge.txt" "DISTINCTIVE-CONTENT-7731" "docs" "words.txt"; do
  check "'$name' is nowhere in the file (plain or UTF-16)" not_holds "$container" "$name"
done
"$cli" info "$container" >"$dir/out" 2>&1
check "info: layout hardened" grep -qxF "layout: hardened" "$dir/out"
check "info: the key derivation's figures" grep -qxF "key derivation: Argon2id, 1 passes, 64 MiB, 1 lanes" "$dir/out"
check "info: recovery possible, escrow of 512 characters" \
  bash -c "grep -qxF 'recovery: possible' '$dir/out' && grep -qxF 'escrow text length: 512' '$dir/out'"

echo "== wrong and right passwords"
printf 'not the password' >"$dir/wrong.pw"
run_cli 4 "a wrong password is refused" open "$container" --password-file "$dir/wrong.pw"
check "  says so" err_has "Invalid password"
check "  the container is byte-identical" cmp -s "$container" "$dir/container.copy"
check "  nothing restored" [ ! -e "$tree" ]
run_cli 0 "verify with the password" verify "$container" "${P[@]}"
check "  says it is sound" grep -q "^sound: $container" "$dir/out"
run_cli 0 "the right password restores" open "$container" "${P[@]}"
check "  the tree is identical (contents, names, modes, ns times, links)" same_tree "$ref" "$tree"
check "  the container is gone" [ ! -e "$container" ]

echo "== the cost of a guess at the measured default"
small="$work/small"
mkdir -p "$small" && printf 'one\n' >"$small/a.txt"
"$KORVANE_CLI_REAL" protect "$small" "${P[@]}" </dev/null >/dev/null 2>"$dir/err"
check "protect with the measured cost (exit $?)" [ -f "$small._zkvlk" ]
"$cli" info "$small._zkvlk" >"$dir/out" 2>&1
memory=$(sed -n 's/^key derivation: Argon2id, [0-9]* passes, \([0-9]*\) MiB.*/\1/p' "$dir/out")
check "  at least 64 MiB (${memory:-?} MiB)" [ "${memory:-0}" -ge 64 ]
cp "$small._zkvlk" "$dir/small.copy"
start=$(ms_now)
"$cli" open "$small._zkvlk" --password-file "$dir/wrong.pw" </dev/null >/dev/null 2>&1
status=$?
elapsed=$(($(ms_now) - start))
check "a wrong password is refused after the derivation (exit $status, $elapsed ms)" \
  [ "$status" -eq 4 -a "$elapsed" -gt 250 ]
check "  the container is byte-identical" cmp -s "$small._zkvlk" "$dir/small.copy"

echo "== damage is found and named"
big="$work/big"
mkdir -p "$big"
head -c 4194304 /dev/urandom >"$big/big.bin"
printf 'small and sound\n' >"$big/note.txt"
cp -a "$big" "$dir/big.ref"
run_cli 0 "protect one 4 MiB random file uncompressed" protect "$big" "${P[@]}" --no-compression
cp "$big._zkvlk" "$dir/big.container"
size=$(stat -c %s "$dir/big.container")
pages=$((size / 4096))
# damage NAME: the container in $big._zkvlk changed one way.
damage() {
  cp "$dir/big.container" "$big._zkvlk"
  case "$1" in
    flip) printf '\x5a' | dd of="$big._zkvlk" bs=1 seek=$((size / 2)) conv=notrunc status=none ;;
    swap)
      local a=$((pages / 2))
      dd if="$dir/big.container" of="$big._zkvlk" bs=4096 skip=$a seek=$((a + 1)) count=1 conv=notrunc status=none
      dd if="$dir/big.container" of="$big._zkvlk" bs=4096 skip=$((a + 1)) seek=$a count=1 conv=notrunc status=none
      ;;
    zero) dd if=/dev/zero of="$big._zkvlk" bs=4096 seek=$((pages / 2)) count=1 conv=notrunc status=none ;;
  esac
}
for how in flip swap zero; do
  damage "$how"
  cp "$big._zkvlk" "$dir/damaged"
  run_cli 1 "verify finds the damage ($how)" verify "$big._zkvlk" "${P[@]}"
  check "  and names big.bin" grep -q "^damaged: big.bin: " "$dir/out"
  run_cli 1 "open refuses the damaged file ($how)" open "$big._zkvlk" "${P[@]}" --yes
  check "  says Failed to unlock and names big.bin" bash -c "grep -qF 'Failed to unlock' '$dir/err' && grep -q '^big.bin: ' '$dir/err'"
  check "  keeps the container as it was" cmp -s "$big._zkvlk" "$dir/damaged"
  check "  leaves no big.bin under its name" [ ! -e "$big/big.bin" ]
  check "  restores what is sound" cmp -s "$big/note.txt" "$dir/big.ref/note.txt"
  check "  leaves no temporary files" [ "$(ls -A "$big")" = "note.txt" ]
  rm -rf "$big"
done
run_cli 2 "verify without a container is a usage error" verify

echo "== passwd"
cp "$dir/big.container" "$big._zkvlk"
printf 'a new password 9\n' >"$dir/new.pw"
run_cli 0 "passwd re-wraps the key" passwd "$big._zkvlk" "${P[@]}" --new-password-file "$dir/new.pw"
check "  says so" out_is "password changed: $big._zkvlk"
run_cli 4 "the old password is refused now" verify "$big._zkvlk" "${P[@]}"
run_cli 4 "passwd with a wrong password" passwd "$big._zkvlk" --password-file "$dir/wrong.pw" --new-password-file "$dir/pw"
run_cli 0 "the new password opens" open "$big._zkvlk" --password-file "$dir/new.pw"
check "  the folder is back exactly" same_tree "$dir/big.ref" "$big"
run_cli 0 "a classic container" protect "$big" "${P[@]}" --classic --keep-files
cp "$big._zkvlk" "$dir/classic.copy"
run_cli 1 "passwd refuses a classic container" passwd "$big._zkvlk" "${P[@]}" --new-password-file "$dir/new.pw"
check "  says why" err_has "classic layout"
check "  and leaves it as it was" cmp -s "$big._zkvlk" "$dir/classic.copy"

echo "== recovery escrow with the test key pair"
mkdir -p "$work/esc" && printf 'x\n' >"$work/esc/x"
run_cli 0 "protect with recovery" protect "$work/esc" "${P[@]}"
run_cli 0 "info --escrow prints the escrow text" info "$work/esc._zkvlk" --escrow
check "  korvane-recover reads the password back" \
  [ "$("$recover" --private-key "$keys/hardened-test-private-key.pem" "$dir/out" 2>&1)" = "$password" ]
run_cli 0 "passwd makes the escrow again" passwd "$work/esc._zkvlk" "${P[@]}" --new-password-file "$dir/new.pw"
"$cli" info "$work/esc._zkvlk" --escrow >"$dir/escrow2" 2>&1
check "  which reads back as the new password" \
  [ "$("$recover" --private-key "$keys/hardened-test-private-key.pem" "$dir/escrow2" 2>&1)" = "a new password 9" ]
mkdir -p "$work/plain" && printf 'x\n' >"$work/plain/x"
run_cli 0 "protect without recovery" protect "$work/plain" "${P[@]}" --no-recovery
run_cli 1 "info --escrow without an escrow" info "$work/plain._zkvlk" --escrow

echo "korvane-cli hardened layout: $failures failure(s) in $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ]
