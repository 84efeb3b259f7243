#!/usr/bin/env bash
# Containers written by one byte order and read by the other: each case runs
# both ways between the host build (little-endian) and the s390x build (big-
# endian, run under qemu-s390x), and must read back identical.
#
#   byte_order_matrix.sh HOST_BIN_DIR S390X_BIN_DIR
#
# Each BIN_DIR holds vaultfs, korvane-cli and interrupted_commit. Prints one
# line per case and direction, then `N passed, M failed`; exits 1 when any
# failed.
set -uo pipefail
host_dir="$(cd "${1:?usage: byte_order_matrix.sh HOST_BIN_DIR S390X_BIN_DIR}" && pwd)"
cross_dir="$(cd "${2:?usage: byte_order_matrix.sh HOST_BIN_DIR S390X_BIN_DIR}" && pwd)"
qemu="${QEMU_S390X:-qemu-s390x}"

work="$(mktemp -d "${TMPDIR:-/tmp}/byte-order.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# run SIDE PROGRAM ARGS...: a program of the host build or of the s390x one.
run() {
  local side="$1" program="$2"
  shift 2
  if [ "$side" = host ]; then
    "$host_dir/$program" "$@"
  else
    "$qemu" "$cross_dir/$program" "$@"
  fi
}

# Inputs shared by every case.
inputs="$work/inputs"
mkdir -p "$inputs"
yes "a line of text that compresses well, again and again" | head -c 300000 >"$inputs/text"
head -c 200000 /dev/urandom >"$inputs/random"
head -c 4096 /dev/zero >"$inputs/zeros"
printf 'file password\n' >"$inputs/file-pw"
printf 'storage password\n' >"$inputs/storage-pw"
printf 'another storage password\n' >"$inputs/storage-pw2"
printf 'folder password\n' >"$inputs/folder-pw"
# A small tree: folders, files of several sizes, a link, an empty folder,
# odd modes and nanosecond times.
tree="$inputs/tree"
mkdir -p "$tree/docs/deeper" "$tree/empty"
cp "$inputs/text" "$tree/docs/text.txt"
cp "$inputs/random" "$tree/docs/deeper/random.bin"
printf 'x' >"$tree/one-byte"
: >"$tree/empty-file"
ln -s docs/text.txt "$tree/link"
chmod 640 "$tree/docs/text.txt"
chmod 750 "$tree/docs/deeper"
touch -h -d '2021-03-04 05:06:07.123456789' "$tree/one-byte" "$tree/link" "$tree/docs/deeper"

listing() { (cd "$1" && find . -printf '%P|%y|%m|%s|%T@|%l\n' | sort); }

# ---- the cases: case_NAME WRITER READER DIR; status 0 when identical

# put FILES... with OPTIONS on the writer, cat them back on the reader.
put_and_cat() {
  local w="$1" r="$2" d="$3" opts="$4" read_opts="$5" f="$3/c.vfs"
  run "$w" vaultfs create "$f" $opts_create >/dev/null || return 1
  local name
  for name in text random zeros; do
    run "$w" vaultfs put "$f" "$inputs/$name" "/$name" $opts >/dev/null || return 1
  done
  for name in text random zeros; do
    run "$r" vaultfs cat "$f" "/$name" $read_opts >"$d/$name" || return 1
    cmp -s "$d/$name" "$inputs/$name" || return 1
  done
  run "$r" vaultfs check "$f" $read_opts_check >/dev/null
}

opts_create=""
read_opts_check=""
case_raw() { put_and_cat "$1" "$2" "$3" "" ""; }
case_zlib() { put_and_cat "$1" "$2" "$3" "--compression zlib --level 9" ""; }
case_rle() { put_and_cat "$1" "$2" "$3" "--compression rle" ""; }
case_file_cipher_3() {
  put_and_cat "$1" "$2" "$3" "--password-file $inputs/file-pw --compression zlib" \
    "--password-file $inputs/file-pw"
}
case_file_cipher_1() {
  put_and_cat "$1" "$2" "$3" "--password-file $inputs/file-pw --encryption 1" \
    "--password-file $inputs/file-pw"
}
storage_case() {
  local mode="$4"
  opts_create="--storage-password-file $inputs/storage-pw --storage-encryption $mode"
  read_opts_check="--storage-password-file $inputs/storage-pw"
  put_and_cat "$1" "$2" "$3" \
    "--storage-password-file $inputs/storage-pw --password-file $inputs/file-pw --compression zlib" \
    "--storage-password-file $inputs/storage-pw --password-file $inputs/file-pw"
  local status=$?
  opts_create=""
  read_opts_check=""
  return $status
}
case_storage_cipher_3() { storage_case "$1" "$2" "$3" 3; }
case_storage_cipher_1() { storage_case "$1" "$2" "$3" 1; }

# The storage key changed on the other byte order (pages rewritten there).
case_storage_key_change() {
  local w="$1" r="$2" d="$3" f="$3/c.vfs"
  run "$w" vaultfs create "$f" --storage-password-file "$inputs/storage-pw" >/dev/null || return 1
  run "$w" vaultfs put "$f" "$inputs/text" /text --storage-password-file "$inputs/storage-pw" \
    --compression zlib >/dev/null || return 1
  run "$r" vaultfs passwd "$f" --storage-password-file "$inputs/storage-pw" \
    --new-storage-password-file "$inputs/storage-pw2" --storage-encryption 1 >/dev/null || return 1
  run "$w" vaultfs cat "$f" /text --storage-password-file "$inputs/storage-pw2" >"$d/text" ||
    return 1
  cmp -s "$d/text" "$inputs/text" &&
    run "$w" vaultfs check "$f" --storage-password-file "$inputs/storage-pw2" >/dev/null
}

# A commit registered in the transaction table and never finished, finished
# by the first writable open on the other byte order.
case_interrupted_commit() {
  local w="$1" r="$2" d="$3" f="$3/c.vfs"
  run "$w" interrupted_commit "$f" "$d/expected" || return 1
  run "$r" vaultfs mkdir "$f" /after >/dev/null || return 1
  run "$r" vaultfs cat "$f" /second >"$d/second" || return 1
  cmp -s "$d/second" "$d/expected" || return 1
  run "$w" vaultfs cat "$f" /second >"$d/second-back" || return 1
  cmp -s "$d/second-back" "$d/expected" && run "$r" vaultfs check "$f" >/dev/null
}

# A file deleted and the container compacted on the other byte order (the
# pages behind the hole move down), then read on both.
case_compacted() {
  local w="$1" r="$2" d="$3" f="$3/c.vfs" name
  run "$w" vaultfs create "$f" >/dev/null || return 1
  for name in random text zeros; do
    run "$w" vaultfs put "$f" "$inputs/$name" "/$name" --compression zlib >/dev/null || return 1
  done
  local before
  before=$(stat -c %s "$f")
  run "$r" vaultfs rm "$f" /random >/dev/null || return 1
  run "$r" vaultfs compact "$f" >/dev/null || return 1
  [ "$(stat -c %s "$f")" -lt "$before" ] || return 1
  for side in "$r" "$w"; do
    for name in text zeros; do
      run "$side" vaultfs cat "$f" "/$name" >"$d/$name" || return 1
      cmp -s "$d/$name" "$inputs/$name" || return 1
    done
    run "$side" vaultfs check "$f" >/dev/null || return 1
  done
}

# Damaged on the writer's side (the space map calls every page free),
# repaired on the other byte order, then read on both.
case_repaired() {
  local w="$1" r="$2" d="$3" f="$3/c.vfs" name
  run "$w" vaultfs create "$f" --page-size 4096 >/dev/null || return 1
  for name in text random; do
    run "$w" vaultfs put "$f" "$inputs/$name" "/$name" --compression rle >/dev/null || return 1
  done
  # Entries of pages 3 on in the first space map page.
  dd if=/dev/zero of="$f" bs=1 seek=6 count=$((4096 - 6)) conv=notrunc status=none
  if run "$r" vaultfs check "$f" >/dev/null 2>&1; then return 1; fi
  run "$r" vaultfs repair "$f" >/dev/null || return 1
  for side in "$r" "$w"; do
    run "$side" vaultfs check "$f" >/dev/null || return 1
    for name in text random; do
      run "$side" vaultfs cat "$f" "/$name" >"$d/$name" || return 1
      cmp -s "$d/$name" "$inputs/$name" || return 1
    done
  done
}

# A folder tree imported on one side and exported on the other.
case_tree() {
  local w="$1" r="$2" d="$3" f="$3/c.vfs"
  run "$w" vaultfs create "$f" >/dev/null || return 1
  run "$w" vaultfs import "$f" "$tree" /tree --compression zlib >/dev/null || return 1
  run "$r" vaultfs export "$f" /tree "$d/out" >/dev/null || return 1
  diff -r --no-dereference "$tree" "$d/out" >/dev/null &&
    [ "$(listing "$tree")" = "$(listing "$d/out")" ]
}

# The application: protected on one side, opened on the other.
protect_and_open() {
  local w="$1" r="$2" d="$3" layout="$4"
  cp -a "$tree" "$d/folder"
  run "$w" korvane-cli protect "$d/folder" --password-file "$inputs/folder-pw" --quiet \
    $layout >/dev/null || return 1
  [ ! -e "$d/folder" ] && [ -f "$d/folder._zkvlk" ] || return 1
  run "$r" korvane-cli open "$d/folder._zkvlk" --password-file "$inputs/folder-pw" --quiet \
    >/dev/null || return 1
  [ ! -e "$d/folder._zkvlk" ] || return 1
  diff -r --no-dereference "$tree" "$d/folder" >/dev/null &&
    [ "$(listing "$tree")" = "$(listing "$d/folder")" ]
}
case_app_hardened() {
  protect_and_open "$1" "$2" "$3" "--kdf-passes 1 --kdf-memory 64 --kdf-lanes 1"
}
case_app_classic() { protect_and_open "$1" "$2" "$3" "--classic"; }

cases=(raw zlib rle file_cipher_3 file_cipher_1 storage_cipher_3 storage_cipher_1
  storage_key_change interrupted_commit compacted repaired tree app_hardened app_classic)
passed=0
failed=0
for c in "${cases[@]}"; do
  for direction in "host s390x" "s390x host"; do
    set -- $direction
    d="$work/$c-$1-$2"
    mkdir -p "$d"
    if "case_$c" "$1" "$2" "$d" 2>"$d/errors"; then
      passed=$((passed + 1))
      echo "ok      $c: written on $1, read on $2"
    else
      failed=$((failed + 1))
      echo "FAILED  $c: written on $1, read on $2"
      sed 's/^/        /' "$d/errors" | head -5
    fi
  done
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
