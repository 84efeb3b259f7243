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

# Files and directories in an enciphered container.
printf 'storage secret\n' >"$dir/sp"
printf 'file secret\n' >"$dir/fp"
S=(--storage-password-file "$dir/sp")
head -c 300000 /dev/urandom >"$dir/random.bin"
yes "plain words that must not show" | head -c 200000 >"$dir/words.txt"
expect 0 "$vaultfs" create "$dir/e.vfs" "${S[@]}"
expect 0 "$vaultfs" mkdir "$dir/e.vfs" /a/b/c -p "${S[@]}"
expect 1 "$vaultfs" mkdir "$dir/e.vfs" /x/y "${S[@]}"
expect 0 "$vaultfs" put "$dir/e.vfs" "$dir/random.bin" /a/random.bin "${S[@]}" \
  --password-file "$dir/fp" --compression zlib --level 9
expect 0 "$vaultfs" put "$dir/e.vfs" "$dir/words.txt" /a/b/words.txt "${S[@]}" --compression rle
expect 0 "$vaultfs" ln "$dir/e.vfs" /a/b/words.txt /shortcut "${S[@]}"
expect 0 "$vaultfs" get "$dir/e.vfs" /a/random.bin "$dir/random.out" "${S[@]}" --password-file "$dir/fp"
cmp -s "$dir/random.bin" "$dir/random.out" || fail "get did not return the bytes put"
expect 1 "$vaultfs" get "$dir/e.vfs" /a/random.bin "$dir/nothing" "${S[@]}"
[ -e "$dir/nothing" ] && fail "a failed get left a file behind"
"$vaultfs" cat "$dir/e.vfs" /shortcut "${S[@]}" | cmp -s - "$dir/words.txt" || fail "cat through a link"
expect 0 "$vaultfs" ls "$dir/e.vfs" / -R -l "${S[@]}"
grep -q "shortcut -> /a/b/words.txt" "$dir/out" || fail "ls -l does not show the link"
grep -q "random.bin" "$dir/out" || fail "ls -R misses a file"
expect 1 "$vaultfs" ls "$dir/e.vfs" /
grep -q "storage-password-file" "$dir/err" || fail "missing storage password not explained"
expect 0 "$vaultfs" stat "$dir/e.vfs" /a/random.bin "${S[@]}"
grep -q "size: *300000" "$dir/out" || fail "stat size"
grep -q "encryption: *3" "$dir/out" || fail "stat encryption"
grep -q "compression: *zlib, level 9" "$dir/out" || fail "stat compression"
python3 - "$dir/e.vfs" <<'PY' || fail "names or contents readable in an enciphered container"
import sys
data = open(sys.argv[1], "rb").read()
for word in ["random.bin", "words.txt", "shortcut"]:
    if word.encode("utf-16-le") in data:
        sys.exit(1)
if b"plain words" in data:
    sys.exit(1)
PY
expect 0 "$vaultfs" mv "$dir/e.vfs" /a/random.bin /a/b/c/moved.bin "${S[@]}"
expect 1 "$vaultfs" mv "$dir/e.vfs" /a /a/b/c/inside "${S[@]}"
expect 1 "$vaultfs" rm "$dir/e.vfs" /a "${S[@]}"
grep -q "Directory is not empty" "$dir/err" || fail "rm of a full directory"
expect 0 "$vaultfs" rm "$dir/e.vfs" /shortcut "${S[@]}"
printf 'another secret\n' >"$dir/sp2"
expect 0 "$vaultfs" passwd "$dir/e.vfs" "${S[@]}" --new-storage-password-file "$dir/sp2"
expect 1 "$vaultfs" ls "$dir/e.vfs" / "${S[@]}"
grep -q "Invalid password" "$dir/err" || fail "old storage password still accepted"
expect 0 "$vaultfs" get "$dir/e.vfs" /a/b/c/moved.bin "$dir/moved.out" \
  --storage-password-file "$dir/sp2" --password-file "$dir/fp"
cmp -s "$dir/random.bin" "$dir/moved.out" || fail "data changed by mv or passwd"

[ "$failures" -eq 0 ] && echo "all vaultfs checks passed"
exit $((failures > 0))
