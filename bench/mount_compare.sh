#!/usr/bin/env bash
# Reading and listing through the mounts against the same work without one:
#   read   one large file: `vaultfs cat` of it, against `cat` of it through
#          `vaultfs mount --read-only`, through `vaultfs mount` (read-write)
#          and through `korvane-cli mount` (a protected folder holding the
#          same file; no ratio there: a container of its own kind, its file
#          enciphered under its own key as well)
#   list   a folder of many files: `ls` and `ls -l` of it on the disk,
#          against the same through both kinds of mount
# The mounts take turns with the direct work, a fresh mount for every run
# (so the kernel's caches of a mount never help a later run); setting the
# mount up is timed apart ("mount" rows: until it is in place). Every file
# read through a mount is compared with its source, and every listing's
# names with the folder on the disk; a mismatch makes the script exit 1.
#
# Environment (see bench/README.md):
#   SIZE_MB=N        MiB in the large file (default 256)
#   KIND=text|random what the large file holds (default text)
#   FILES=N          files in the listed folder (default 100000)
#   RUNS=N           runs of each step; the median counts (default 3)
#   BENCH_DIR=D, TMPFS=1, TMPFS_SIZE, KEEP=1   as in app_compare.sh
#   RESULTS=F        Markdown results file to append to (default
#                    bench/RESULTS.md; empty: write none)
#   VAULTFS=PATH, KORVANE_CLI=PATH   the binaries (default: build/release/...,
#                    built by this script)
set -euo pipefail
export LC_ALL=C

repo="$(cd "$(dirname "$0")/.." && pwd)"

sizeMb="${SIZE_MB:-256}"
kind="${KIND:-text}"
files="${FILES:-100000}"
runs="${RUNS:-3}"
resultsFile="${RESULTS-$repo/bench/RESULTS.md}"
password="korvane-bench-Password-2f9c"

for n in "$sizeMb" "$files" "$runs"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "SIZE_MB, FILES and RUNS must be positive integers" >&2; exit 2; }
done
case "$kind" in text | random) ;; *) echo "KIND must be text or random" >&2; exit 2 ;; esac
[ -e /dev/fuse ] || { echo "no /dev/fuse on this machine: nothing can be mounted" >&2; exit 1; }
command -v fusermount3 >/dev/null || { echo "fusermount3 is missing (Debian package fuse3)" >&2; exit 1; }

# shellcheck source=bench/bench_common.sh
. "$repo/bench/bench_common.sh"

vaultfs="$(programOrBuild VAULTFS "${VAULTFS:-}" vaultfs)"
korvane="$(programOrBuild KORVANE_CLI "${KORVANE_CLI:-}" korvane-cli)"
setUpWorkArea korvane-mount-bench
korvaneKdf=(--kdf-passes 1 --kdf-memory 64)

mnt="$work/mnt"
mkdir -p "$mnt"
mounted=0
unmountAll() {
  if [ "$mounted" -eq 1 ]; then
    fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -uz "$mnt" 2>/dev/null || true
    mounted=0
    # The serving process closes the container after the unmount: wait for
    # it, so the next step finds the container free.
    local i
    for i in $(seq 1 100); do
      pgrep -f -- " $mnt" >/dev/null || break
      sleep 0.05
    done
  fi
}
trap 'unmountAll; cleanUpWorkArea' EXIT

# Mounts CONTAINER-KIND ARGUMENTS... on $mnt; sets elapsedNs to the time until
# the mount is in place (both commands return only then).
mountIt() {
  local how="$1" start end
  shift
  start=$(date +%s%N)
  case "$how" in
    vaultfs-ro) "$vaultfs" mount "$@" "$mnt" --storage-password-file "$pwFile" --read-only ;;
    vaultfs-rw) "$vaultfs" mount "$@" "$mnt" --storage-password-file "$pwFile" ;;
    korvane) "$korvane" mount "$@" "$mnt" --password-file "$pwFile" ;;
  esac >>"$logDir/mount.log" 2>&1
  end=$(date +%s%N)
  mounted=1
  elapsedNs=$((end - start))
}

failures=0
mismatch() {
  loud "$1"
  failures=$((failures + 1))
}

# One line per measurement: step tool run nanoseconds
runsFile="$work/runs"
: >"$runsFile"
record() { echo "$1 $2 $3 $4" >>"$runsFile"; }

startDate="$(date -u '+%Y-%m-%d %H:%M UTC')"
say "work directory $work ($(workFileSystem))"
say "machine: $(machine)"

# ---------------------------------------------------------------- read ----

say "making the large file: $sizeMb MiB of $kind"
bytes=$((sizeMb * 1048576))
if [ "$kind" = random ]; then makeRandomSet "$work/data/parts" "$bytes"; else generateSet text "$work/data/parts" "$bytes"; fi
mkdir -p "$work/data/big"
cat "$work/data/parts"/* >"$work/data/big/big.bin"
rm -rf "$work/data/parts"
big="$work/data/big/big.bin"

say "filling the containers"
plain="$work/plain.vfs"
"$vaultfs" create "$plain" --storage-password-file "$pwFile" >>"$logDir/fill.log"
"$vaultfs" put "$plain" "$big" /big.bin --compression zlib --level 9 \
  --storage-password-file "$pwFile" >>"$logDir/fill.log"
cp -a "$work/data/big" "$work/prot"
"$korvane" protect "$work/prot" --password-file "$pwFile" "${korvaneKdf[@]}" >>"$logDir/fill.log" 2>&1
protected="$work/prot._zkvlk"

for run in $(seq 1 "$runs"); do
  say "read, run $run of $runs"
  timeStep "$logDir/read.log" sh -c '"$1" cat "$2" /big.bin --storage-password-file "$3" >"$4"' \
    - "$vaultfs" "$plain" "$pwFile" "$work/out.bin"
  [ "$stepStatus" -eq 0 ] || mismatch "vaultfs cat failed (see $logDir/read.log)"
  cmp -s "$big" "$work/out.bin" || mismatch "vaultfs cat wrote other bytes"
  record read "vaultfs-cat" "$run" "$elapsedNs"
  rm -f "$work/out.bin"
  for how in vaultfs-ro vaultfs-rw korvane; do
    if [ "$how" = korvane ]; then mountIt "$how" "$protected"; else mountIt "$how" "$plain"; fi
    record mount-read "$how" "$run" "$elapsedNs"
    timeStep "$logDir/read.log" sh -c 'cat "$1" >"$2"' - "$mnt/big.bin" "$work/out.bin"
    [ "$stepStatus" -eq 0 ] || mismatch "cat through $how failed"
    cmp -s "$big" "$work/out.bin" || mismatch "cat through $how gave other bytes"
    record read "$how" "$run" "$elapsedNs"
    rm -f "$work/out.bin"
    unmountAll
  done
done
rm -rf "$work/data/big" "$work/prot._zkvlk" "$plain"

# ---------------------------------------------------------------- list ----

say "making the folder of $files files"
generateSet flat "$work/data/flat" "$files"
flat="$work/data/flat"
plain="$work/flat.vfs"
"$vaultfs" create "$plain" --storage-password-file "$pwFile" >>"$logDir/fill.log"
"$vaultfs" import "$plain" "$flat" /flat --storage-password-file "$pwFile" >>"$logDir/fill.log"
cp -a "$flat" "$work/prot"
"$korvane" protect "$work/prot" --password-file "$pwFile" "${korvaneKdf[@]}" >>"$logDir/fill.log" 2>&1
protected="$work/prot._zkvlk"
ls "$flat" >"$work/names.disk"

# Lists FOLDER with ls ARGS into FILE, timed.
listStep() {
  local folder="$1" out="$2"
  shift 2
  timeStep "$logDir/list.log" sh -c 'ls "$@" >"$0"' "$out" "$@" "$folder"
}

for run in $(seq 1 "$runs"); do
  say "list, run $run of $runs"
  listStep "$flat" "$work/names" -1
  record ls disk "$run" "$elapsedNs"
  listStep "$flat" "$work/long" -l
  record ls-l disk "$run" "$elapsedNs"
  for how in vaultfs-ro vaultfs-rw korvane; do
    if [ "$how" = korvane ]; then
      mountIt "$how" "$protected"
      folder="$mnt"
    else
      mountIt "$how" "$plain"
      folder="$mnt/flat"
    fi
    record mount-list "$how" "$run" "$elapsedNs"
    listStep "$folder" "$work/names" -1
    [ "$stepStatus" -eq 0 ] || mismatch "ls through $how failed"
    cmp -s "$work/names.disk" "$work/names" || mismatch "ls through $how listed other names"
    record ls "$how" "$run" "$elapsedNs"
    listStep "$folder" "$work/long" -l
    [ "$stepStatus" -eq 0 ] || mismatch "ls -l through $how failed"
    record ls-l "$how" "$run" "$elapsedNs"
    unmountAll
  done
done

# -------------------------------------------------------------- report ----

# The table: every step and tool with the median of its runs and its ratio
# to the same step's direct work (vaultfs cat; ls on the disk).
report() {
  local format="$1"
  awk -v format="$format" -v bytes="$bytes" -v files="$files" '
    function median(list,   n, a, i, j, t) {
      n = split(list, a, " ")
      for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    {
      key = $1 SUBSEP $2
      if (!(key in seen)) { seen[key] = 1; rows++; step[rows] = $1; tool[rows] = $2 }
      times[key] = times[key] " " $4
    }
    END {
      base["read"] = "vaultfs-cat"; base["ls"] = "disk"; base["ls-l"] = "disk"
      what["read"] = "read " bytes " bytes"; what["mount-read"] = "mount the large file'"'"'s container"
      what["ls"] = "ls of " files " names"; what["ls-l"] = "ls -l of " files " files"
      what["mount-list"] = "mount the folder'"'"'s container"
      if (format == "md") {
        print "| step | through | seconds (median) | ratio to the direct work |"
        print "| --- | --- | ---: | ---: |"
      } else {
        printf "%-34s %-12s %9s %8s\n", "step", "through", "seconds", "ratio"
      }
      for (i = 1; i <= rows; i++) {
        key = step[i] SUBSEP tool[i]
        m = median(times[key])
        ratio = "-"
        if ((step[i] in base) && tool[i] != base[step[i]] && !(step[i] == "read" && tool[i] == "korvane")) {
          b = median(times[step[i] SUBSEP base[step[i]]])
          if (b > 0) ratio = sprintf("%.2f", m / b)
        }
        if (format == "md") printf "| %s | %s | %.3f | %s |\n", what[step[i]], tool[i], m / 1e9, ratio
        else printf "%-34s %-12s %9.3f %8s\n", what[step[i]], tool[i], m / 1e9, ratio
      }
    }' "$runsFile"
}

parameters="SIZE_MB=$sizeMb, KIND=$kind, FILES=$files, RUNS=$runs"
echo
echo "Reading and listing through the mounts, $startDate; $(machine)"
echo "  work directory on $(workFileSystem); $parameters; $(gitRevision)"
echo "  seconds: median of $runs run(s); ratio: seconds / the same step's direct work"
echo "  (vaultfs cat of the plain container; ls of the folder on the disk)"
echo
report text

if [ -n "$resultsFile" ]; then
  {
    echo
    echo "## $startDate: mount_compare.sh, $parameters"
    echo
    echo "Machine: $(machine). Work directory on $(workFileSystem)."
    echo
    echo "Programs: \`vaultfs\` and \`korvane-cli\` of the release build at $(gitRevision);"
    echo "$(fusermount3 --version 2>&1 | head -1)."
    echo
    echo "The large file: $sizeMb MiB of $kind, stored with zlib level 9 in a plain container"
    echo "whose pages are enciphered, and protected by \`korvane-cli protect\` (its own"
    echo "container; the derivation at its floor). The folder: $files files of 0 to 64"
    echo "bytes. A fresh mount for every run; \"mount\" rows: until the mount is in place."
    echo
    report md
  } >>"$resultsFile"
  say "results appended to $resultsFile"
fi

if [ "$failures" -ne 0 ]; then
  loud "$failures mismatch(es): see above"
  exit 1
fi
