# Shared by the end-to-end scripts: a folder tree that holds what a folder
# can hold and is hard to carry across intact. Source this file, then call
# make_crafted_tree DIR (DIR is created when missing).
#
# In it: empty and deeply nested folders, empty, large (random) and highly
# compressible files, hidden files and folders, read-only files and a
# read-only folder, names with characters the container forbids, control
# characters, bytes that are not UTF-8, multi-byte characters, 255-byte
# names, a path far beyond 300 bytes, set-user-ID and set-group-ID bits,
# relative, absolute, dangling and folder links, and modification times
# before the epoch and after 2038 to the nanosecond.
make_crafted_tree() {
  local src="$1"
  mkdir -p "$src"
  mkdir -p "$src/empty/nested/deeper" "$src/docs" "$src/ro_folder" "$src/links" "$src/.hidden_folder"
  : >"$src/zero"
  head -c $((4 * 1024 * 1024 + 4321)) /dev/urandom >"$src/big.bin"
  yes "compressible line of text" | head -c 3000000 >"$src/docs/words.txt"
  printf 'hidden\n' >"$src/.hidden"
  printf 'in a hidden folder\n' >"$src/.hidden_folder/file"
  printf 'read only\n' >"$src/ro.txt"
  printf 'inside a read-only folder\n' >"$src/ro_folder/inside.txt"
  printf 'forbidden\n' >"$src/odd : ? * \\ | < > name"
  printf 'control\n' >"$src/$(printf 'ctl\001\037')"
  printf 'invalid\n' >"$src/$(printf 'bad\377\376\200')"
  printf 'unicode\n' >"$src/$(printf '\346\227\245\346\234\254\350\252\236 \360\237\230\200 caf\303\251')"
  local long wide deep i
  long="$(printf 'L%.0s' $(seq 1 255))"
  printf 'longest name\n' >"$src/$long"
  # A 255-byte name made of 3-byte characters, and a path far beyond 300 bytes.
  wide="$(printf '\346\227\245%.0s' $(seq 1 85))"
  printf 'wide\n' >"$src/$wide"
  deep="$src/$(printf 'component-%02d/' $(seq 1 30))"
  mkdir -p "$deep"
  printf 'deep\n' >"$deep/leaf"
  printf '#!/bin/sh\n' >"$src/script.sh"
  # Bits beyond rwx travel too (setuid and setgid never come back: ownership
  # is not stored; the sticky bit does).
  chmod 1755 "$src/script.sh"
  chmod 1750 "$src/docs"
  ln -s docs/words.txt "$src/relative_link"
  ln -s /etc/hostname "$src/absolute_link"
  ln -s "nowhere/at all" "$src/dangling_link"
  ln -s docs "$src/folder_link"
  for i in $(seq 1 60); do ln -s "target-$i" "$src/links/link-$i"; done
  # Odd times, to the nanosecond, below the epoch too.
  touch -h -d '1969-07-20 20:17:40.123456789 UTC' "$src/relative_link"
  touch -d '2038-01-19 03:14:08.999999999 UTC' "$src/big.bin"
  touch -d '1999-12-31 23:59:59.000000001 UTC' "$src/zero"
  chmod 0444 "$src/ro.txt"
  chmod 0555 "$src/ro_folder"
  chmod 0700 "$src/.hidden_folder"
}
