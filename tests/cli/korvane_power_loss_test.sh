#!/usr/bin/env bash
# Power cuts under the application: korvane-cli protects a small tree and
# opens it again, in both layouts, on the tests' recording file system (record_fs, FUSE),
# which logs every change and fsync with its data. crash_states then builds
# every state a power cut could have left at every fsync and between them
# (what was not durable kept, lost, or partly kept) and checks each: the
# folder is complete, or a container beside it opens to the complete tree.
#
# Usage: korvane_power_loss_test.sh BIN_DIR RECORD_FS CRASH_STATES
# Exits 77 (skipped) where no FUSE file system can be mounted.
set -u
bin="$(cd "${1:?usage: $0 BIN_DIR RECORD_FS CRASH_STATES}" && pwd)"
record_fs="${2:?}"
crash_states="${3:?}"
export KORVANE_CLI_REAL="$bin/korvane-cli"
here="$(cd "$(dirname "$0")" && pwd)"
cli="$here/lib/korvane-cli-at-floor"

. "$here/lib/recording_fs.sh"
started=$(date +%s)

# A small tree: folders, an empty one, files of several sizes (some across
# the engine's blocks), links, odd modes and times.
ref="$dir/ref"
mkdir -p "$ref/docs" "$ref/data" "$ref/nested/a/b" "$ref/empty"
: >"$ref/docs/empty.txt"
printf 'x' >"$ref/docs/one.txt"
yes "a line of text that compresses well" | head -c 200000 >"$ref/docs/long.txt"
head -c 700 /dev/urandom >"$ref/data/small.bin"
head -c 5000 /dev/urandom >"$ref/data/medium.bin"
head -c 70000 /dev/urandom >"$ref/data/large.bin"
printf 'leaf\n' >"$ref/nested/a/b/leaf.txt"
ln -s docs/long.txt "$ref/relative_link"
ln -s "nowhere at all" "$ref/dangling_link"
ln -s nested "$ref/folder_link"
chmod 0444 "$ref/docs/one.txt"
chmod 0750 "$ref/nested"
touch -d '1999-12-31 23:59:59.000000001 UTC' "$ref/data/small.bin"
touch -h -d '1969-07-20 20:17:40.123456789 UTC' "$ref/relative_link"
printf 'power loss test password\n' >"$dir/pw"

export CHECK_REF="$ref" CHECK_NAME=tree CHECK_CLI="$cli" CHECK_PASSWORD="$dir/pw"
failures=0

# replay LABEL: the states of the last recorded run.
replay() {
  "$crash_states" ${CRASH_STATES_OPTIONS:-} --label "$1" --before "$dir/before" --after "$dir/back" --log "$dir/$1.log" \
    --check "$here/lib/power_loss_check.sh" --scratch "$dir/scratch" --between 25 ||
    failures=$((failures + 1))
}

# Each layout: protect, then open what it made.
for layout in hardened classic; do
  options=()
  [ "$layout" = classic ] && options=(--classic)
  chmod -R u+rwx "$dir/back/box" && rm -rf "$dir/back/box" && mkdir "$dir/back/box"
  cp -a "$ref" "$dir/back/box/tree"
  rm -rf "$dir/before" && cp -a "$dir/back" "$dir/before"
  mount_recording "$dir/protect-$layout.log"
  if ! "$cli" protect "$dir/mnt/box/tree" --password-file "$dir/pw" "${options[@]}" </dev/null >"$dir/out" 2>&1; then
    echo "FAIL: protect ($layout) on the recording file system: $(cat "$dir/out")"
    exit 1
  fi
  unmount
  [ -f "$dir/back/box/tree._zkvlk" ] && [ ! -e "$dir/back/box/tree" ] ||
    { echo "FAIL: protect ($layout) did not leave the container alone"; exit 1; }
  replay "protect-$layout"

  # The classic round opens over another folder of the same name, which the
  # person agreed to replace (--yes): the restored folder takes its place in
  # one exchange and the old one is removed after.
  open_options=()
  if [ "$layout" = classic ]; then
    mkdir -p "$dir/back/box/tree/old"
    printf 'to be replaced\n' >"$dir/back/box/tree/old/file"
    open_options=(--yes)
  fi
  rm -rf "$dir/before" && cp -a "$dir/back" "$dir/before"
  mount_recording "$dir/open-$layout.log"
  if ! "$cli" open "$dir/mnt/box/tree._zkvlk" --password-file "$dir/pw" "${open_options[@]}" \
    </dev/null >"$dir/out" 2>&1; then
    echo "FAIL: open ($layout) on the recording file system: $(cat "$dir/out")"
    exit 1
  fi
  unmount
  replay "open-$layout"
done

echo "power loss test: $failures workflow(s) with lost states in $(($(date +%s) - started)) s"
exit $((failures > 0))
