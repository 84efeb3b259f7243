#!/usr/bin/env bash
# End-to-end checks of the vaultfs command-line tool: output files, exit codes
# and messages for good and bad input.
set -u
vaultfs="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect STATUS COMMAND...: runs the command and checks its exit status.
expect() {
  local want="$1"; shift
  "$@" >"$dir/out" 2>"$dir/err"
  local got=$?
  [ "$got" -eq "$want" ] || fail "'$*' exited $got, expected $want: $(cat "$dir/err")"
}

expect 0 "$vaultfs" create "$dir/c.vfs"
[ "$(stat -c %s "$dir/c.vfs")" -eq 12288 ] || fail "plain container is not 12288 bytes"
[ "$(head -c 6 "$dir/c.vfs" | od -An -tx1 | tr -d ' \n')" = "0c004e572000" ] ||
  fail "container does not start with 0C 00 4E 57 20 00"
expect 1 "$vaultfs" create "$dir/c.vfs"
grep -q "file exists" "$dir/err" || fail "existing file not reported"
expect 0 "$vaultfs" create "$dir/c.vfs" --overwrite --logo "Hello logo"
expect 0 "$vaultfs" info "$dir/c.vfs"
grep -q "Hello logo" "$dir/out" || fail "logo not shown by info"
grep -q "journal: *clean" "$dir/out" || fail "journal state not shown"

expect 0 "$vaultfs" create "$dir/t.vfs" --transactions
[ "$(stat -c %s "$dir/t.vfs")" -eq 16384 ] || fail "journaled container is not 16384 bytes"

for size in 256 65536; do
  expect 0 "$vaultfs" create "$dir/p$size.vfs" --page-size "$size"
done
for size in 128 3000 131072 0 x; do
  expect 1 "$vaultfs" create "$dir/bad$size.vfs" --page-size "$size"
  grep -q "Invalid page size" "$dir/err" || fail "page size $size: wrong message $(cat "$dir/err")"
  [ -e "$dir/bad$size.vfs" ] && fail "page size $size left a file behind"
done

head -c 20000 /dev/zero >"$dir/zeros"
head -c 20000 /dev/urandom >"$dir/random"
head -c 6000 "$dir/c.vfs" >"$dir/cut"
for bad in zeros random cut; do
  expect 1 "$vaultfs" info "$dir/$bad"
  grep -q "Invalid storage file" "$dir/err" || fail "$bad: wrong message $(cat "$dir/err")"
done
expect 1 "$vaultfs" info "$dir/missing.vfs"
expect 1 "$vaultfs" info "$dir"

expect 2 "$vaultfs"
expect 2 "$vaultfs" frobnicate
expect 2 "$vaultfs" create
expect 2 "$vaultfs" create "$dir/x.vfs" --page-size
expect 2 "$vaultfs" info "$dir/c.vfs" --bogus
expect 0 "$vaultfs" --help
grep -q "Usage" "$dir/out" || fail "--help shows no usage"

[ "$failures" -eq 0 ] && echo "all vaultfs checks passed"
exit $((failures > 0))
