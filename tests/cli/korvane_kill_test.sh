#!/usr/bin/env bash
# Kills korvane-cli with SIGKILL at random moments while it protects a folder
# and while it opens one. Whatever the moment, nothing may be lost: either
# the folder is complete, or the container is, and opening it gives back the
# complete tree.
#
# Usage: korvane_kill_test.sh BIN_DIR   (BIN_DIR holds korvane-cli)
# KORVANE_KILL_SEED repeats a run (the seed is printed);
# KORVANE_KILL_ROUNDS sets the kills per workflow (default 20).
set -u
bin="$(cd "${1:?usage: $0 BIN_DIR}" && pwd)"
export KORVANE_CLI_REAL="$bin/korvane-cli"
[ -x "$KORVANE_CLI_REAL" ] || { echo "FAIL: $KORVANE_CLI_REAL is missing"; exit 1; }
# Protections at the least key-derivation cost (see the script).
cli="$(cd "$(dirname "$0")" && pwd)/lib/korvane-cli-at-floor"
[ -x "$cli" ] || { echo "FAIL: $cli is missing"; exit 1; }
. "$(dirname "$0")/lib/crafted_tree.sh"

seed="${KORVANE_KILL_SEED:-$(($(date +%s%N) / 1000 % 32768))}"
rounds="${KORVANE_KILL_ROUNDS:-20}"
echo "seed: $seed (KORVANE_KILL_SEED=$seed repeats this run)"
RANDOM=$seed

dir="$(mktemp -d)"
pid=""
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  chmod -R u+rwx "$dir" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" XDG_RUNTIME_DIR="$dir/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_RUNTIME_DIR"
started=$(date +%s)

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

printf 'kill test password\n' >"$dir/pw"
P=(--password-file "$dir/pw")
work="$dir/work"
folder="$work/folder"
container="$folder._zkvlk"
ref="$dir/ref"
mkdir "$work"

listing() { (cd "$1" && find . -printf '%P %m %T@ %y %l\n' | LC_ALL=C sort); }
complete() {
  [ -d "$1" ] && diff -r --no-dereference "$ref" "$1" >/dev/null 2>&1 &&
    cmp -s <(listing "$ref") <(listing "$1")
}
remove() {
  chmod -R u+rwx "$1" 2>/dev/null
  rm -rf "$1"
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# timed ARGS...: runs korvane-cli; prints its duration in ms; fails with it.
timed() {
  local start status
  start=$(now_ms)
  "$cli" "$@" </dev/null >/dev/null 2>"$dir/err"
  status=$?
  echo $(($(now_ms) - start))
  return $status
}

# ---- a folder that takes long enough for the kills to land inside the work
make_crafted_tree "$ref"
mkdir "$ref/bulk"
bulk_mb=8
while :; do
  for i in $(seq 1 $((bulk_mb / 4))); do
    [ -e "$ref/bulk/part$i" ] || head -c $((4 * 1024 * 1024)) /dev/urandom >"$ref/bulk/part$i"
  done
  cp -a "$ref" "$folder"
  protect_ms=$(timed protect "$folder" "${P[@]}") || {
    echo "FAIL: protect did not work: $(cat "$dir/err")"
    exit 1
  }
  cp "$container" "$dir/pristine"
  open_ms=$(timed open "$container" "${P[@]}") || {
    echo "FAIL: open did not work: $(cat "$dir/err")"
    exit 1
  }
  complete "$folder" || {
    echo "FAIL: an uninterrupted round trip did not give back the tree"
    exit 1
  }
  remove "$folder"
  [ "$protect_ms" -ge 1500 ] || [ "$bulk_mb" -ge 512 ] && break
  bulk_mb=$((bulk_mb * 2))
done
echo "folder: $(du -sm "$ref" | cut -f1) MB; protect takes $protect_ms ms, open $open_ms ms"

# after_kill WHAT: the folder is complete, or the container opens to it.
after_kill() {
  local what="$1"
  if complete "$folder"; then
    echo "$what: folder complete"
    return
  fi
  if [ ! -f "$container" ]; then
    fail "$what: the folder is incomplete and there is no container"
    return
  fi
  if ! "$cli" open "$container" "${P[@]}" --yes </dev/null >/dev/null 2>"$dir/err"; then
    fail "$what: the folder is incomplete and the container does not open: $(head -c 400 "$dir/err")"
    return
  fi
  if complete "$folder"; then
    echo "$what: folder incomplete; the container opened to the complete tree"
  else
    fail "$what: the container opened to an incomplete tree"
  fi
}

# kill_after DELAY_MS ARGS...: starts korvane-cli and SIGKILLs it after
# DELAY_MS (if it is still running by then).
kill_after() {
  local delay="$1"
  shift
  "$cli" "$@" </dev/null >/dev/null 2>&1 &
  pid=$!
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=""
}

for round in $(seq 1 "$rounds"); do
  remove "$folder"
  rm -f "$container"
  cp -a "$ref" "$folder"
  delay=$((RANDOM * protect_ms / 32768))
  kill_after "$delay" protect "$folder" "${P[@]}"
  after_kill "protect round $round, killed after $delay ms"
done

for round in $(seq 1 "$rounds"); do
  remove "$folder"
  cp "$dir/pristine" "$container"
  delay=$((RANDOM * open_ms / 32768))
  kill_after "$delay" open "$container" "${P[@]}"
  # Opening only reads the container: whatever the moment, it is untouched
  # until the folder is complete.
  if [ -f "$container" ] && ! cmp -s "$container" "$dir/pristine"; then
    fail "open round $round: the container was changed"
  fi
  after_kill "open round $round, killed after $delay ms"
done

echo "kill test (seed $seed): $failures failure(s) in $(($(date +%s) - started)) s"
exit $((failures > 0))
