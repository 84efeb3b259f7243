#!/usr/bin/env bash
# Acceptance round trip of the vaultfs tool: a crafted folder (and a copy of
# /usr/share/doc when there is one) goes into a new container with the
# application's settings and comes back out; contents, names, links, modes and
# nanosecond modification times must all be identical.
set -u
vaultfs="$1"
. "$(dirname "$0")/lib/crafted_tree.sh"
dir="$(mktemp -d)"
cleanup() {
  chmod -R u+rwx "$dir" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

src="$dir/source"
out="$dir/restored"

# ---- the crafted folder ----
make_crafted_tree "$src"

# ---- a real tree ----
if [ -d /usr/share/doc ]; then
  if ! cp -a /usr/share/doc "$src/usr_share_doc" 2>/dev/null; then
    echo "note: /usr/share/doc could not be copied completely; left out"
    chmod -R u+rwx "$src/usr_share_doc" 2>/dev/null
    rm -rf "$src/usr_share_doc"
  else
    # Nothing but files, folders and links may be in it.
    find "$src/usr_share_doc" ! -type f ! -type d ! -type l -delete
  fi
else
  echo "note: no /usr/share/doc here; the crafted folder alone is used"
fi
touch -d '2001-02-03 04:05:06.070809101 UTC' "$src"
chmod 0751 "$src"

files=$(find "$src" ! -type d | wc -l)
bytes=$(find "$src" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')

# ---- the application's settings ----
printf 'storage password\n' >"$dir/storage.pw"
printf 'the user password\n' >"$dir/files.pw"
S=(--storage-password-file "$dir/storage.pw")
F=(--password-file "$dir/files.pw")

"$vaultfs" create "$dir/c.vfs" --page-size 4096 "${S[@]}" --storage-encryption 3 >/dev/null ||
  fail "create"
start=$(date +%s.%N)
if ! "$vaultfs" import "$dir/c.vfs" "$src" /DATA "${S[@]}" "${F[@]}" --encryption 3 \
  --compression zlib --level 9 2>"$dir/err"; then
  fail "import: $(cat "$dir/err")"
fi
middle=$(date +%s.%N)
if ! "$vaultfs" export "$dir/c.vfs" /DATA "$out" "${S[@]}" "${F[@]}" 2>"$dir/err"; then
  fail "export: $(cat "$dir/err")"
fi
end=$(date +%s.%N)

# ---- the checks ----
if ! diff -r --no-dereference "$src" "$out" >"$dir/diff" 2>&1; then
  fail "contents differ: $(head -20 "$dir/diff")"
fi
listing() { (cd "$1" && find . -printf '%P %m %T@ %y %l\n' | LC_ALL=C sort); }
listing "$src" >"$dir/before"
listing "$out" >"$dir/after"
if ! cmp -s "$dir/before" "$dir/after"; then
  fail "names, modes, times or links differ: $(diff "$dir/before" "$dir/after" | head -20)"
fi
stat -c '%s' "$dir/c.vfs" >"$dir/size"

# ---- a FIFO is refused before anything is written ----
fifo_src="$dir/with_fifo"
mkdir -p "$fifo_src/sub"
printf 'x\n' >"$fifo_src/a.txt"
mkfifo "$fifo_src/sub/the_pipe"
"$vaultfs" create "$dir/f.vfs" >/dev/null || fail "create f.vfs"
if "$vaultfs" import "$dir/f.vfs" "$fifo_src" /DATA 2>"$dir/err"; then
  fail "a folder with a FIFO was imported"
fi
grep -q "$fifo_src/sub/the_pipe" "$dir/err" || fail "the FIFO is not named: $(cat "$dir/err")"
"$vaultfs" ls "$dir/f.vfs" / >"$dir/ls" 2>&1
[ -s "$dir/ls" ] && fail "the refused import changed the container: $(cat "$dir/ls")"

awk -v f="$files" -v b="$bytes" -v s="$start" -v m="$middle" -v e="$end" -v c="$(cat "$dir/size")" \
  'BEGIN { printf "round trip: %d files and links, %.1f MiB; import %.1f s, export %.1f s; container %.1f MiB\n",
           f, b / 1048576, m - s, e - m, c / 1048576 }'
[ "$failures" -eq 0 ] && echo "round trip passed"
exit $((failures > 0))
