#!/usr/bin/env bash
# Failing calls under the application: korvane-cli protects a small tree and
# opens it again on the tests' recording file system (record_fs, FUSE), and
# in turn the N-th write, fsync, rename, unlink, close and mkdir of the run
# fails with EIO and with ENOSPC, for every N up to the count of the run
# without failures. After each run the folder is complete or a container
# beside it opens to the complete tree; a run that fails says what failed
# (the system's text for the error); a run that reports success did it.
#
# Usage: korvane_io_errors_test.sh BIN_DIR RECORD_FS
# Exits 77 (skipped) where no FUSE file system can be mounted.
set -u
bin="$(cd "${1:?usage: $0 BIN_DIR RECORD_FS}" && pwd)"
record_fs="${2:?}"
export KORVANE_CLI_REAL="$bin/korvane-cli"
here="$(cd "$(dirname "$0")" && pwd)"
cli="$here/lib/korvane-cli-at-floor"

. "$here/lib/recording_fs.sh"
started=$(date +%s)
mount_recording /dev/null
control="$dir/mnt/.record-control"

# A small tree: few entries keep the number of calls, and of runs, small.
ref="$dir/ref"
mkdir -p "$ref/docs" "$ref/empty"
yes "a line of text" | head -c 20000 >"$ref/docs/text.txt"
head -c 3000 /dev/urandom >"$ref/random.bin"
ln -s docs/text.txt "$ref/link"
printf 'io errors test password\n' >"$dir/pw"
export CHECK_REF="$ref" CHECK_NAME=tree CHECK_CLI="$cli" CHECK_PASSWORD="$dir/pw"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# reset WORKFLOW: the folder below the mount as the workflow starts.
reset() {
  chmod -R u+rwx "$dir/back/box" 2>/dev/null
  rm -rf "$dir/back/box"
  mkdir "$dir/back/box"
  if [ "$1" = protect ]; then
    cp -a "$ref" "$dir/back/box/tree"
  else
    cp "$dir/pristine" "$dir/back/box/tree._zkvlk"
  fi
}

# run WORKFLOW: korvane-cli on the mount; its status.
run() {
  local target="$dir/mnt/box/tree"
  [ "$1" = open ] && target="$target._zkvlk"
  "$cli" "$1" "$target" --password-file "$dir/pw" </dev/null >"$dir/out" 2>&1
}

declare -A errors=([5]="Input/output error" [28]="No space left on device")
runs=0
for workflow in protect open; do
  reset "$workflow"
  echo none >"$control"
  run "$workflow" || { echo "FAIL: $workflow without failures: $(cat "$dir/out")"; exit 1; }
  read -r -a counts < <(awk '{printf "%s=%s ", $1, $2}' "$control")
  echo "$workflow makes: ${counts[*]}"
  [ "$workflow" = protect ] && cp "$dir/back/box/tree._zkvlk" "$dir/pristine"
  for pair in "${counts[@]}"; do
    class="${pair%=*}"
    total="${pair#*=}"
    for n in $(seq 1 "$total"); do
      for errno in 5 28; do
        reset "$workflow"
        echo "$class $n $errno" >"$control"
        run "$workflow"
        status=$?
        echo none >"$control"
        runs=$((runs + 1))
        what="$workflow, $class $n of $total failing with ${errors[$errno]}"
        if [ $status -ne 0 ] && ! grep -q "${errors[$errno]}" "$dir/out"; then
          fail "$what: the message does not say what failed: $(head -c 400 "$dir/out")"
        fi
        if [ $status -eq 0 ]; then
          # Success must mean it: the container alone, or the folder alone.
          if [ "$workflow" = protect ] && [ -e "$dir/back/box/tree" ]; then
            fail "$what: reported success but the folder is still there"
          elif [ "$workflow" = open ] && [ -e "$dir/back/box/tree._zkvlk" ] &&
            ! grep -q "could not be removed: ${errors[$errno]}" "$dir/out"; then
            fail "$what: reported success, the container is still there and nothing says so"
          fi
        fi
        if ! "$here/lib/power_loss_check.sh" "$dir/back" >"$dir/check" 2>&1; then
          fail "$what (status $status): $(cat "$dir/check")"
        fi
      done
    done
  done
done

echo "io errors: $runs runs, $failures lost or unclear in $(($(date +%s) - started)) s"
exit $((failures > 0))
