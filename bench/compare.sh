#!/usr/bin/env bash
# Side-by-side timing of VaultFS import/export against two common ways of
# packing a folder into one encrypted file:
#   tar | gzip -9 | openssl enc -aes-256-cbc -pbkdf2     (and back)
#   7z a -mx=9 -mhe=on -p...                              (7z x)
# All tools run on the same generated data in one run. For every data set,
# tool and direction it prints MB/s (data-set bytes / wall seconds), the
# output size and the time relative to the fastest tool, as a table, and
# writes the same as Markdown to a results file. Every restored tree is
# compared with its source; a mismatch is reported loudly and makes the
# script exit with status 1.
#
# Environment (see bench/README.md):
#   SCALE=F          fraction of the full sizes (default 1)
#   SIZE_MB=N        MiB in each of the two large sets (default 1024 * SCALE)
#   SMALL_FILES=N    files in the small-file set (default 20000 * SCALE)
#   SETS="..."       data sets to run: small random text (default all three)
#   TOOLS="..."      tools to run: vaultfs tar-gzip-openssl 7z (default all)
#   RUNS=N           timed runs of each step; the fastest counts (default 1)
#   BENCH_DIR=D      work directory (default: a new mktemp directory in /tmp)
#   TMPFS=1          put the work directory on a tmpfs (see bench/README.md)
#   KEEP=1           keep the work directory at the end
#   RESULTS=F        Markdown results file to append to (default
#                    bench/RESULTS.md; empty: write none)
#   VAULTFS=PATH     vaultfs binary (default: build/release/vaultfs, built
#                    by this script)
#   VAULTFS_OPTS=".." extra options for vaultfs create, import and export
set -euo pipefail
export LC_ALL=C

repo="$(cd "$(dirname "$0")/.." && pwd)"

scale="${SCALE:-1}"
sizeMb="${SIZE_MB:-$(awk -v s="$scale" 'BEGIN { v = int(1024 * s + 0.5); print (v < 1 ? 1 : v) }')}"
smallFiles="${SMALL_FILES:-$(awk -v s="$scale" 'BEGIN { v = int(20000 * s + 0.5); print (v < 1 ? 1 : v) }')}"
sets="${SETS:-small random text}"
tools="${TOOLS:-vaultfs tar-gzip-openssl 7z}"
runs="${RUNS:-1}"
resultsFile="${RESULTS-$repo/bench/RESULTS.md}"
password="korvane-bench-Password-2f9c"

for n in "$sizeMb" "$smallFiles" "$runs"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "SIZE_MB, SMALL_FILES and RUNS must be positive integers" >&2; exit 2; }
done

# shellcheck source=bench/bench_common.sh
. "$repo/bench/bench_common.sh"

buildVaultfs() {
  vaultfs="$(programOrBuild VAULTFS "${VAULTFS:-}" vaultfs)"
  local help
  help="$("$vaultfs" --help 2>&1 || true)"
  if ! grep -Eq '^ *import ' <<<"$help" || ! grep -Eq '^ *export ' <<<"$help"; then
    echo "$vaultfs has no import/export commands" >&2
    exit 1
  fi
}

peers=(tar:tar gzip:gzip openssl:openssl python3:python3 diff:diffutils)
if [[ " $tools " == *" 7z "* ]]; then peers+=(7z); fi
installPeers "${peers[@]}"
if [[ " $tools " == *" vaultfs "* ]]; then buildVaultfs; fi
sevenZip="$(findSevenZip || true)"

setUpWorkArea korvane-bench

# ---------------------------------------------------------------- data ----

makeSet() {
  local set="$1" root="$work/data/$1"
  rm -rf "$root"
  case "$set" in
    small) generateSet small "$root" "$smallFiles" ;;
    random) makeRandomSet "$root" $((sizeMb * 1048576)) ;;
    text) generateSet text "$root" $((sizeMb * 1048576)) ;;
    *) echo "unknown data set: $set (small, random, text)" >&2; exit 2 ;;
  esac
}

describeSet() {
  case "$1" in
    small) echo "$smallFiles small files (0-8 KiB, half text, half random)" ;;
    random) echo "$sizeMb MiB incompressible data in 4 files" ;;
    text) echo "$sizeMb MiB generated text in 4 files" ;;
  esac
}

# --------------------------------------------------------------- tools ----
# Each tool has a pack and an unpack step. Pack reads $src and writes
# $archive; unpack reads $archive and fills the empty folder $dest.

read -r -a vaultfsOpts <<<"${VAULTFS_OPTS:-}"
packVaultfs() {
  "$vaultfs" create "$archive" --page-size 4096 --storage-password-file "$pwFile" \
    --storage-encryption 3 "${vaultfsOpts[@]}" &&
    "$vaultfs" import "$archive" "$src" / --storage-password-file "$pwFile" \
      --password-file "$pwFile" --encryption 3 --compression zlib --level 9 "${vaultfsOpts[@]}"
}
unpackVaultfs() {
  "$vaultfs" export "$archive" / "$dest" --storage-password-file "$pwFile" \
    --password-file "$pwFile" "${vaultfsOpts[@]}"
}

packTar() { tarPack gzip -9; }
unpackTar() { tarUnpack gunzip; }

archiveName() {
  case "$1" in
    vaultfs) echo "container.vfs" ;;
    tar-gzip-openssl) echo "archive.tar.gz.enc" ;;
    7z) echo "archive.7z" ;;
  esac
}
packFunction() {
  case "$1" in
    vaultfs) echo packVaultfs ;;
    tar-gzip-openssl) echo packTar ;;
    7z) echo sevenZipPack ;;
    *) echo "unknown tool: $1 (vaultfs, tar-gzip-openssl, 7z)" >&2; exit 2 ;;
  esac
}
unpackFunction() {
  case "$1" in
    vaultfs) echo unpackVaultfs ;;
    tar-gzip-openssl) echo unpackTar ;;
    7z) echo sevenZipUnpack ;;
  esac
}

toolVersion() {
  case "$1" in
    vaultfs)
      echo "vaultfs $(gitRevision) ($vaultfs${VAULTFS_OPTS:+, options: $VAULTFS_OPTS}), $(g++ --version | head -1)"
      ;;
    tar-gzip-openssl) tarOpensslVersion "$(gzip --version | head -1)" ;;
    7z) sevenZipVersion ;;
  esac
}

# ------------------------------------------------------------- timing ----

# Results, one line per set/tool/direction:
# set tool direction seconds bytesIn bytesOut check
rows="$work/rows"
: >"$rows"
failures=0

runTool() {
  local set="$1" tool="$2" bytesIn="$3" best bestExport outBytes check
  local log="$logDir/$set-$tool.log" pack unpack
  pack="$(packFunction "$tool")"
  unpack="$(unpackFunction "$tool")"
  src="$work/data/$set"
  archive="$work/out/$(archiveName "$tool")"
  dest="$work/out/restored"
  : >"$log"
  best=""
  bestExport=""
  check="ok"
  for _ in $(seq 1 "$runs"); do
    rm -rf "$work/out"
    mkdir -p "$work/out"
    timeStep "$log" "$pack"
    if [ "$stepStatus" -ne 0 ]; then
      check="PACK FAILED (exit $stepStatus)"
      break
    fi
    if [ -z "$best" ] || [ "$elapsedNs" -lt "$best" ]; then best="$elapsedNs"; fi
    outBytes="$(stat -c %s "$archive" 2>/dev/null || echo -)"
    mkdir -p "$dest"
    timeStep "$log" "$unpack"
    if [ "$stepStatus" -ne 0 ]; then
      check="UNPACK FAILED (exit $stepStatus)"
      break
    fi
    if [ -z "$bestExport" ] || [ "$elapsedNs" -lt "$bestExport" ]; then bestExport="$elapsedNs"; fi
    if ! diff -r -q "$src" "$dest" >>"$log" 2>&1; then
      check="MISMATCH"
      break
    fi
  done
  if [ "$check" != ok ]; then
    failures=$((failures + 1))
    loud "$tool on data set '$set': $check" "log: $log, output: $work/failed-$set-$tool (kept)" \
      "$(tail -n 5 "$log" | sed 's/^/    /')"
  fi
  echo "$set $tool import ${best:--} $bytesIn ${outBytes:--} -" >>"$rows"
  echo "$set $tool export ${bestExport:--} $bytesIn $(treeBytesOrDash "$dest") $(echo "$check" | tr ' ' '_')" >>"$rows"
  if [ "$check" = ok ]; then
    rm -rf "$work/out"
  else
    # Keep what the tool made (and the work directory) for a look.
    mv "$work/out" "$work/failed-$set-$tool"
    KEEP=1
  fi
}

# --------------------------------------------------------------- report ----

# Prints the table as plain text (format=text) or Markdown (format=md).
# Time ratio: this step's seconds / the fastest tool's seconds for the same
# set and direction; a tool whose round trip failed is not a candidate.
report() {
  awk -v format="$1" "$awkHuman"'
    FNR == NR { if ($7 != "-" && $7 != "ok") failed[$1 SUBSEP $2] = 1; next }
    {
      n++; set[n] = $1; tool[n] = $2; dir[n] = $3; ns[n] = $4; bin[n] = $5; bout[n] = $6
      check[n] = $7; gsub(/_/, " ", check[n])
      key = $1 SUBSEP $3
      if ($4 != "-" && !(($1 SUBSEP $2) in failed) && (!(key in fastest) || $4 + 0 < fastest[key])) fastest[key] = $4 + 0
    }
    END {
      if (format == "md") {
        print "| data set | tool | direction | MB/s | seconds | output | output/input | time vs fastest | restored tree |"
        print "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: | --- |"
      } else {
        printf "%-7s %-17s %-7s %9s %9s %11s %8s %8s  %s\n", "set", "tool", "step", "MB/s",
          "seconds", "output", "out/in", "vs best", "restored tree"
      }
      for (i = 1; i <= n; i++) {
        if (ns[i] == "-") { mbs = "-"; sec = "-"; ratio = "-" }
        else {
          s = ns[i] / 1e9
          sec = sprintf("%.2f", s)
          mbs = sprintf("%.1f", bin[i] / 1e6 / s)
          key = set[i] SUBSEP dir[i]
          ratio = (key in fastest) ? sprintf("%.2f", ns[i] / fastest[key]) : "-"
        }
        share = (bout[i] == "-" || bin[i] == 0) ? "-" : sprintf("%.1f%%", 100 * bout[i] / bin[i])
        c = (check[i] == "-") ? "" : check[i]
        if (format == "md") {
          if (c != "" && c != "ok") c = "**" c "**"
          printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", set[i], tool[i], dir[i], mbs,
            sec, human(bout[i]), share, ratio, c
        } else {
          printf "%-7s %-17s %-7s %9s %9s %11s %8s %8s  %s\n", set[i], tool[i], dir[i], mbs, sec,
            human(bout[i]), share, ratio, c
        }
      }
    }' "$rows" "$rows"
}

# ------------------------------------------------------------------ run ----

startDate="$(date -u '+%Y-%m-%d %H:%M UTC')"
say "work directory $work"
say "machine: $(machine)"
for tool in $tools; do
  packFunction "$tool" >/dev/null
  say "$(toolVersion "$tool")"
done

declare -A setBytes setFiles
for set in $sets; do
  say "generating data set '$set': $(describeSet "$set")"
  makeSet "$set"
  setBytes[$set]="$(treeBytes "$work/data/$set")"
  setFiles[$set]="$(treeFiles "$work/data/$set")"
  # Read the set once so that no tool pays for the first read from disk.
  warmSet "$work/data/$set"
  for tool in $tools; do
    say "$set: $tool"
    runTool "$set" "$tool" "${setBytes[$set]}"
  done
  rm -rf "$work/data/$set"
done

echo
echo "VaultFS side-by-side, $startDate; $(machine)"
for set in $sets; do
  echo "  $set: $(describeSet "$set"): ${setFiles[$set]} files, ${setBytes[$set]} bytes"
done
echo "  MB/s = data-set bytes / 10^6 / wall seconds (both directions); vs best = time / fastest tool's time"
echo
report text

if [ -n "$resultsFile" ]; then
  {
    resultsHead "SIZE_MB=$sizeMb, SMALL_FILES=$smallFiles, RUNS=$runs"
    report md
  } >>"$resultsFile"
  say "results appended to $resultsFile"
fi

if [ "$failures" -ne 0 ]; then
  loud "$failures tool run(s) FAILED: see the table above"
  exit 1
fi
