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

# Folder trees in and out (the storage password is sp2 by now).
S=(--storage-password-file "$dir/sp2")
tree="$dir/tree"
mkdir -p "$tree/sub/deeper" "$tree/empty"
printf 'one\n' >"$tree/one.txt"
printf 'two\n' >"$tree/sub/two.txt"
head -c 70000 /dev/urandom >"$tree/sub/deeper/blob.bin"
ln -s sub/two.txt "$tree/link"
touch -d '2011-11-11 11:11:11.111111111 UTC' "$tree/one.txt"
expect 0 "$vaultfs" import "$dir/e.vfs" "$tree" /T "${S[@]}" --password-file "$dir/fp" --compression zlib
expect 0 "$vaultfs" ls "$dir/e.vfs" /T -R "${S[@]}"
grep -q "blob.bin" "$dir/out" || fail "import did not store the tree"
expect 0 "$vaultfs" export "$dir/e.vfs" /T "$dir/back" "${S[@]}" --password-file "$dir/fp"
diff -r --no-dereference "$tree" "$dir/back" >/dev/null || fail "export did not bring the tree back"
[ "$(stat -c %y "$dir/back/one.txt")" = "$(stat -c %y "$tree/one.txt")" ] || fail "export lost a time"
[ "$(readlink "$dir/back/link")" = "sub/two.txt" ] || fail "export did not restore the link"
expect 1 "$vaultfs" export "$dir/e.vfs" /T "$dir/nopassword" "${S[@]}"
grep -q "Invalid password" "$dir/err" || fail "a missing file password is not explained"
expect 1 "$vaultfs" import "$dir/e.vfs" "$tree" /T
grep -q "storage-password-file" "$dir/err" || fail "import without the storage password"
# --overwrite-mode 0 keeps what is there; the default replaces it.
printf 'changed\n' >"$dir/back/one.txt"
expect 0 "$vaultfs" export "$dir/e.vfs" /T "$dir/back" "${S[@]}" --password-file "$dir/fp" --overwrite-mode 0
[ "$(cat "$dir/back/one.txt")" = "changed" ] || fail "--overwrite-mode 0 replaced a file"
expect 0 "$vaultfs" export "$dir/e.vfs" /T "$dir/back" "${S[@]}" --password-file "$dir/fp"
[ "$(cat "$dir/back/one.txt")" = "one" ] || fail "the default mode kept an old file"
# --no-recursive and --mask.
expect 0 "$vaultfs" import "$dir/e.vfs" "$tree" /M "${S[@]}" --no-recursive --mask '*.txt'
expect 0 "$vaultfs" ls "$dir/e.vfs" /M "${S[@]}"
[ "$(cat "$dir/out")" = "one.txt" ] || fail "--no-recursive --mask imported $(cat "$dir/out")"
mkfifo "$tree/sub/pipe"
sum_before="$(md5sum <"$dir/e.vfs")"
expect 1 "$vaultfs" import "$dir/e.vfs" "$tree" /F "${S[@]}"
grep -q "$tree/sub/pipe" "$dir/err" || fail "the FIFO is not named: $(cat "$dir/err")"
[ "$(md5sum <"$dir/e.vfs")" = "$sum_before" ] || fail "a refused import wrote to the container"
expect 1 "$vaultfs" ls "$dir/e.vfs" /F "${S[@]}"
expect 1 "$vaultfs" import "$dir/e.vfs" "$dir/no such folder" "${S[@]}"
grep -q "no such folder" "$dir/err" || fail "a missing folder is not named"
expect 2 "$vaultfs" import "$dir/e.vfs"
expect 2 "$vaultfs" export "$dir/e.vfs" /T
expect 2 "$vaultfs" import "$dir/e.vfs" "$tree" --overwrite-mode 3
expect 2 "$vaultfs" export "$dir/e.vfs" /T "$dir/x" --bogus

# ---- maintenance: format, check, repair, compact, resize ----
expect 0 "$vaultfs" format "$dir/fx.img" --size 64M --boot-area --fat 256K
expect 1 "$vaultfs" format "$dir/fx.img" --size 64M
grep -q "file exists" "$dir/err" || fail "format replaced an existing file silently"
expect 2 "$vaultfs" format "$dir/fy.img"
expect 2 "$vaultfs" format "$dir/fy.img" --size 1M --fat 3M
expect 1 "$vaultfs" format "$dir/fy.img" --size 1M --boot-area --page-size 16384
grep -q "Invalid page size" "$dir/err" || fail "a page size beyond the boot area is not refused"
expect 0 "$vaultfs" info "$dir/fx.img"
grep -q "fixed size: *yes" "$dir/out" || fail "a formatted container is not fixed-size"
sum_before="$(md5sum <"$dir/fx.img")"
expect 0 "$vaultfs" check "$dir/fx.img"
[ "$(md5sum <"$dir/fx.img")" = "$sum_before" ] || fail "check wrote to a sound container"

# Damage: check says so (exit 1) without writing, repair mends it. A file of
# 300,000 plain bytes fills the pages after its header page in order, so page
# 6 is one of its data pages.
head -c 300000 /dev/urandom >"$dir/big.bin"
expect 0 "$vaultfs" create "$dir/d.vfs"
expect 0 "$vaultfs" put "$dir/d.vfs" "$dir/big.bin" /big
expect 0 "$vaultfs" mkdir "$dir/d.vfs" /other
expect 0 "$vaultfs" check "$dir/d.vfs"
dd if=/dev/zero of="$dir/d.vfs" bs=4096 seek=6 count=1 conv=notrunc 2>/dev/null
sum_before="$(md5sum <"$dir/d.vfs")"
expect 1 "$vaultfs" check "$dir/d.vfs"
grep -q "damage found" "$dir/out" || fail "check did not report the damage: $(cat "$dir/out")"
[ "$(md5sum <"$dir/d.vfs")" = "$sum_before" ] || fail "check wrote to a damaged container"
expect 0 "$vaultfs" repair "$dir/d.vfs"
grep -q "damage mended" "$dir/out" || fail "repair did not report what it mended: $(cat "$dir/out")"
expect 0 "$vaultfs" check "$dir/d.vfs"
expect 0 "$vaultfs" ls "$dir/d.vfs" /
grep -q "other" "$dir/out" || fail "repair lost an undamaged directory"

# Compaction after deleting files; resizing.
expect 0 "$vaultfs" create "$dir/k.vfs"
for i in 1 2 3 4; do expect 0 "$vaultfs" put "$dir/k.vfs" "$dir/big.bin" "/f$i"; done
size_full=$(stat -c %s "$dir/k.vfs")
for i in 1 3; do expect 0 "$vaultfs" rm "$dir/k.vfs" "/f$i"; done
expect 0 "$vaultfs" compact "$dir/k.vfs"
size_compact=$(stat -c %s "$dir/k.vfs")
[ "$size_compact" -lt "$size_full" ] || fail "compact did not shrink the file ($size_full -> $size_compact)"
for i in 2 4; do
  expect 0 "$vaultfs" get "$dir/k.vfs" "/f$i" "$dir/got$i"
  cmp -s "$dir/got$i" "$dir/big.bin" || fail "/f$i changed in compaction"
done
expect 0 "$vaultfs" check "$dir/k.vfs"
expect 0 "$vaultfs" resize "$dir/k.vfs" $((size_compact + 4096 * 100))
[ "$(stat -c %s "$dir/k.vfs")" -eq $((size_compact + 4096 * 100)) ] || fail "resize did not grow the file"
expect 1 "$vaultfs" resize "$dir/k.vfs" 4096
grep -q "Storage is full" "$dir/err" || fail "shrinking below the data is not refused: $(cat "$dir/err")"
expect 1 "$vaultfs" resize "$dir/k.vfs" 5000
expect 0 "$vaultfs" check "$dir/k.vfs"

[ "$failures" -eq 0 ] && echo "all vaultfs checks passed"
exit $((failures > 0))
