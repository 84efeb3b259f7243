#!/usr/bin/env bash
# Judges one state a power cut could leave: exit 0 when the folder
# box/NAME in STATE is complete, or when a container box/NAME._zkvlk stands
# beside it that korvane-cli opens to the complete tree; exit 1 (with the
# reason) when neither holds. Used by crash_states for korvane_power_loss.
#
# Usage: power_loss_check.sh STATE
# Environment: CHECK_REF (the original tree), CHECK_NAME (the folder's
# name), CHECK_CLI (korvane-cli), CHECK_PASSWORD (a password file).
set -u
state="${1:?usage: $0 STATE}"
folder="$state/box/$CHECK_NAME"
container="$folder._zkvlk"

listing() { (cd "$1" && find . -printf '%P %m %T@ %y %l\n' | LC_ALL=C sort); }
complete() {
  [ -d "$1" ] && diff -r --no-dereference "$CHECK_REF" "$1" >/dev/null 2>&1 &&
    cmp -s <(listing "$CHECK_REF") <(listing "$1")
}

complete "$folder" && exit 0
if [ ! -f "$container" ]; then
  echo "the folder is not complete and no container stands beside it"
  ls -la "$state/box"
  exit 1
fi
if ! "$CHECK_CLI" open "$container" --password-file "$CHECK_PASSWORD" --yes </dev/null >"$state.open" 2>&1; then
  echo "the folder is not complete and the container does not open:"
  head -c 600 "$state.open"
  exit 1
fi
complete "$folder" && exit 0
echo "the container opened to a tree that is not the original:"
diff <(listing "$CHECK_REF") <(listing "$folder") | head -20
exit 1
