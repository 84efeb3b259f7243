#!/usr/bin/env bash
# The application against its peers: how long `korvane-cli protect` and
# `korvane-cli open` take, and how much memory they need, next to
#   tar | gzip -9 | openssl enc -aes-256-cbc -pbkdf2    (the reference)
#   tar | pigz -9 | openssl enc -aes-256-cbc -pbkdf2
#   7z a -mx=9 -mhe=on -p...
#   cp -a                                              (the floor: a copy)
# each in both directions, on the same generated data in one run. For every
# data set, tool and direction it prints the median wall time of RUNS runs,
# its ratio to the reference's median, the peak memory and the output size,
# as a table, and appends the same as Markdown to a results file. Every
# restored tree is compared with its source (contents; for korvane and cp
# also modes and modification times); a mismatch is reported loudly and
# makes the script exit with status 1.
#
# Environment (see bench/README.md):
#   SETS="..."         data sets: small text random flat50k flat100k (default all)
#   TOOLS="..."        tools: korvane korvane-classic tar-gzip-openssl
#                      tar-pigz-openssl 7z cp (default all)
#   SMALL_FILES=N      files in the small set (default 5000)
#   SIZE_MB=N          MiB in each of text and random (default 64)
#   FLAT50K_FILES=N    files in the flat50k set (default 50000)
#   FLAT100K_FILES=N   files in the flat100k set (default 100000)
#   RUNS=N             runs of every round trip; the median counts (default 3)
#   BENCH_DIR=D        work directory (default: a new mktemp directory in /tmp)
#   TMPFS=1            put the work directory on a tmpfs (TMPFS_SIZE: its size)
#   KEEP=1             keep the work directory at the end
#   RESULTS=F          Markdown results file to append to (default
#                      bench/RESULTS.md; empty: write none)
#   KORVANE_CLI=PATH   korvane-cli binary (default: build/release/korvane-cli,
#                      built by this script)
set -euo pipefail
export LC_ALL=C

repo="$(cd "$(dirname "$0")/.." && pwd)"

smallFiles="${SMALL_FILES:-5000}"
sizeMb="${SIZE_MB:-64}"
flat50kFiles="${FLAT50K_FILES:-50000}"
flat100kFiles="${FLAT100K_FILES:-100000}"
sets="${SETS:-small text random flat50k flat100k}"
tools="${TOOLS:-korvane korvane-classic tar-gzip-openssl tar-pigz-openssl 7z cp}"
runs="${RUNS:-3}"
resultsFile="${RESULTS-$repo/bench/RESULTS.md}"
password="korvane-bench-Password-2f9c"
reference=tar-gzip-openssl

for n in "$smallFiles" "$sizeMb" "$flat50kFiles" "$flat100kFiles" "$runs"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || {
    echo "SMALL_FILES, SIZE_MB, FLAT50K_FILES, FLAT100K_FILES and RUNS must be positive integers" >&2
    exit 2
  }
done
for set in $sets; do
  case "$set" in
    small | text | random | flat50k | flat100k) ;;
    *) echo "unknown data set: $set (small, text, random, flat50k, flat100k)" >&2; exit 2 ;;
  esac
done
for tool in $tools; do
  case "$tool" in
    korvane | korvane-classic | tar-gzip-openssl | tar-pigz-openssl | 7z | cp) ;;
    *)
      echo "unknown tool: $tool (korvane, korvane-classic, tar-gzip-openssl, tar-pigz-openssl, 7z, cp)" >&2
      exit 2
      ;;
  esac
done
hasTool() { [[ " $tools " == *" $1 "* ]]; }

# shellcheck source=bench/bench_common.sh
. "$repo/bench/bench_common.sh"

# GNU time measures each process's peak memory (the shell keyword cannot).
gnuTime=/usr/bin/time
peers=(tar:tar gzip:gzip openssl:openssl python3:python3 diff:diffutils "$gnuTime:time")
if hasTool tar-pigz-openssl; then peers+=(pigz:pigz); fi
if hasTool 7z; then peers+=(7z); fi
installPeers "${peers[@]}"
[[ "$("$gnuTime" --version 2>&1)" == *GNU* ]] || { echo "$gnuTime is not GNU time" >&2; exit 1; }
korvane=""
if hasTool korvane || hasTool korvane-classic; then
  korvane="$(programOrBuild KORVANE_CLI "${KORVANE_CLI:-}" korvane-cli)"
fi
sevenZip="$(findSevenZip || true)"

setUpWorkArea korvane-app-bench
if { hasTool korvane || hasTool korvane-classic; } && [[ "$work/" == /dev/* ]]; then
  # korvane-cli refuses to protect anything below a system folder such as /dev.
  echo "the work directory $work is below /dev, where korvane-cli protects nothing:" \
    "run as root, or set XDG_RUNTIME_DIR or BENCH_DIR to a tmpfs elsewhere" >&2
  exit 2
fi

# ---------------------------------------------------------------- data ----

makeSet() {
  local set="$1" root="$work/data/$1"
  rm -rf "$root"
  case "$set" in
    small) generateSet small "$root" "$smallFiles" ;;
    text) generateSet text "$root" $((sizeMb * 1048576)) ;;
    random) makeRandomSet "$root" $((sizeMb * 1048576)) ;;
    flat50k) generateSet flat "$root" "$flat50kFiles" ;;
    flat100k) generateSet flat "$root" "$flat100kFiles" ;;
  esac
}

describeSet() {
  case "$1" in
    small) echo "$smallFiles small files (0-8 KiB, half text, half random) in folders of 100" ;;
    text) echo "$sizeMb MiB generated text in 4 files" ;;
    random) echo "$sizeMb MiB incompressible data in 4 files" ;;
    flat50k) echo "$flat50kFiles tiny files (0-64 bytes) in one folder" ;;
    flat100k) echo "$flat100kFiles tiny files (0-64 bytes) in one folder" ;;
  esac
}

# --------------------------------------------------------------- memory ----

# Every process of a step runs under GNU time, which writes the process's
# peak resident size (KiB) to a file of its own in $memDir; a step's figure
# is the sum over its processes (a pipeline's processes run side by side).
memDir="$work/memory"
stageCount=0
stage() {
  stageCount=$((stageCount + 1))
  "$gnuTime" -f %M -o "$memDir/$BASHPID.$stageCount" "$@"
}
# timeStep with the memory of the step's processes: sets stepStatus, and
# stepNs and stepMem (KiB), which are "-" when the step failed.
measureStep() {
  rm -f "$memDir"/*
  timeStep "$@"
  stepNs=- stepMem=-
  if [ "$stepStatus" -eq 0 ]; then stepNs="$elapsedNs" stepMem="$(stepMemoryKiB)"; fi
}
stepMemoryKiB() {
  local f
  for f in "$memDir"/*; do
    if [ -e "$f" ]; then tail -n 1 "$f"; fi
  done | awk '$1 ~ /^[0-9]+$/ { s += $1; n++ } END { print n ? s : "-" }'
}

# --------------------------------------------------------------- tools ----
# Each tool has a pack ("protect") and an unpack ("open") step. Pack reads
# $src and writes $archive; unpack reads $archive and fills $dest.

# The floor of the key derivation (1 pass over 64 MiB, with the default
# lanes: one per core): the benchmark measures the packing, not the
# deliberately slow password check.
korvaneKdf=(--kdf-passes 1 --kdf-memory 64)
protectKorvane() {
  stage "$korvane" protect "$src" --password-file "$pwFile" --keep-files --yes --quiet "$@"
}
packKorvane() { protectKorvane "${korvaneKdf[@]}"; }
packKorvaneClassic() { protectKorvane --classic; }
unpackKorvane() { stage "$korvane" open "$archive" --password-file "$pwFile" --quiet; }

packTarGzip() { tarPack gzip -9; }
unpackTarGzip() { tarUnpack gzip -d; }
packTarPigz() { tarPack pigz -9; }
unpackTarPigz() { tarUnpack pigz -d; }

packCopy() { stage cp -a "$src" "$archive"; }
unpackCopy() { stage cp -a "$archive" "$dest"; }

archiveName() {
  case "$1" in
    tar-gzip-openssl) echo archive.tar.gz.enc ;;
    tar-pigz-openssl) echo archive.tar.pigz.enc ;;
    7z) echo archive.7z ;;
  esac
}
packFunction() {
  case "$1" in
    korvane) echo packKorvane ;;
    korvane-classic) echo packKorvaneClassic ;;
    tar-gzip-openssl) echo packTarGzip ;;
    tar-pigz-openssl) echo packTarPigz ;;
    7z) echo sevenZipPack ;;
    cp) echo packCopy ;;
  esac
}
unpackFunction() {
  case "$1" in
    korvane | korvane-classic) echo unpackKorvane ;;
    tar-gzip-openssl) echo unpackTarGzip ;;
    tar-pigz-openssl) echo unpackTarPigz ;;
    7z) echo sevenZipUnpack ;;
    cp) echo unpackCopy ;;
  esac
}

# Tools that restore modes and modification times, which are compared too.
restoresMetadata() { [[ "$1" == korvane* || "$1" == cp ]]; }

toolVersion() {
  case "$1" in
    korvane)
      echo "$("$korvane" --version) at $(gitRevision) ($korvane), $(g++ --version | head -1);" \
        "key derivation at its floor: ${korvaneKdf[*]}"
      ;;
    korvane-classic) echo "the same korvane-cli, --classic" ;;
    tar-gzip-openssl) tarOpensslVersion "$(gzip --version | head -1)" ;;
    tar-pigz-openssl) tarOpensslVersion "$(pigz --version 2>&1 | head -1)" ;;
    7z) sevenZipVersion ;;
    cp) cp --version | head -1 ;;
  esac
}

# --------------------------------------------------------------- checks ----

# Type, permission bits and modification time (nanoseconds) of every entry,
# the folder itself included, by path.
metadataList() { (cd "$1" && find . -printf '%P\t%y %m %T@\n' | sort); }

# Compares the restored tree $dest with $src; prints "ok" or what differs,
# with the details in the log.
checkRestored() {
  local tool="$1" log="$2"
  if [ ! -d "$dest" ]; then
    echo "NOTHING RESTORED"
  elif ! diff -r --no-dereference -q "$src" "$dest" >>"$log" 2>&1; then
    echo "MISMATCH"
  elif restoresMetadata "$tool" &&
    ! diff <(metadataList "$src") <(metadataList "$dest") >>"$log" 2>&1; then
    echo "MODE OR TIME MISMATCH"
  else
    echo "ok"
  fi
}

# ------------------------------------------------------------- the runs ----

# One line per run and step: set tool step run nanoseconds peakKiB bytesOut check
# (check: "-" on protect lines; on open lines the round trip's outcome, with
# spaces as "_"). A step that did not run or failed has "-" for its figures.
runsFile="$work/runs"
: >"$runsFile"
failures=0
declare -A failedTool

# Times one round trip of $tool on $set.
roundTrip() {
  local set="$1" tool="$2" run="$3" log="$logDir/$1-$2.log" out="$work/out"
  local packNs packMem outBytes=- openNs=- openMem=- check
  src="$work/data/$set"
  rm -rf "$out"
  mkdir -p "$out" "$memDir"
  case "$tool" in
    korvane*)
      # Protect writes SET._zkvlk beside the folder and open restores the
      # folder beside the container: the container moves to $out in between,
      # so the restored tree does not meet its source.
      archive="$src._zkvlk"
      dest="$out/$set"
      rm -f "$archive"
      ;;
    cp)
      archive="$out/copy"
      dest="$out/restored"
      ;;
    *)
      archive="$out/$(archiveName "$tool")"
      dest="$out/restored"
      mkdir -p "$dest"
      ;;
  esac
  echo "== run $run" >>"$log"

  measureStep "$log" "$(packFunction "$tool")"
  packNs="$stepNs" packMem="$stepMem"
  if [ "$stepStatus" -ne 0 ]; then
    check="PROTECT FAILED (exit $stepStatus)"
  else
    if [[ "$tool" == korvane* ]]; then
      mv "$archive" "$out/"
      archive="$out/$set._zkvlk"
    fi
    if [ -d "$archive" ]; then outBytes="$(treeBytes "$archive")"; else outBytes="$(stat -c %s "$archive")"; fi

    measureStep "$log" "$(unpackFunction "$tool")"
    openNs="$stepNs" openMem="$stepMem"
    if [ "$stepStatus" -ne 0 ]; then
      check="OPEN FAILED (exit $stepStatus)"
    else
      check="$(checkRestored "$tool" "$log")"
    fi
  fi
  echo "$set $tool protect $run $packNs $packMem $outBytes -" >>"$runsFile"
  echo "$set $tool open $run $openNs $openMem $(treeBytesOrDash "$dest") ${check// /_}" >>"$runsFile"

  if [ "$check" = ok ]; then
    rm -rf "$out"
  else
    failures=$((failures + 1))
    failedTool[$set/$tool]=1
    # Keep what the tool made (and the work directory) for a look.
    rm -rf "$work/failed-$set-$tool"
    mv "$out" "$work/failed-$set-$tool"
    [ ! -e "$src._zkvlk" ] || mv "$src._zkvlk" "$work/failed-$set-$tool/"
    KEEP=1
    loud "$tool on data set '$set', run $run: $check" \
      "log: $log, output: $work/failed-$set-$tool (kept)" \
      "$(tail -n 5 "$log" | sed 's/^/    /')"
  fi
}

# --------------------------------------------------------------- report ----

# Prints the table as plain text (format=text) or Markdown (format=md): per
# set, tool and step the median time of the runs, its ratio to the
# reference's median (when the reference's round trips all succeeded), the
# highest peak memory of the runs and the output of the last run.
report() {
  awk -v format="$1" -v reference="$reference" -v setBytesList="$2" "$awkHuman"'
    function median(list,    v, n, i, j, t) {
      n = split(list, v, " ")
      for (i = 2; i <= n; i++)
        for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
      return n == 0 ? "-" : (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2)
    }
    BEGIN {
      n = split(setBytesList, pairs, " ")
      for (i = 1; i <= n; i++) { split(pairs[i], kv, "="); setBytes[kv[1]] = kv[2] }
    }
    {
      key = $1 SUBSEP $2 SUBSEP $3
      if (!(key in seen)) { seen[key] = 1; rows++; order[rows] = key; set[rows] = $1; tool[rows] = $2; step[rows] = $3 }
      if ($5 != "-") times[key] = times[key] " " $5
      if ($6 != "-" && (!(key in mem) || $6 + 0 > mem[key])) mem[key] = $6 + 0
      if ($7 != "-") out[key] = $7
      if ($8 != "-" && (!(key in check) || check[key] == "ok")) check[key] = $8
      if ($8 != "-" && $8 != "ok") failed[$1 SUBSEP $2] = 1
    }
    END {
      for (i = 1; i <= rows; i++) med[order[i]] = median(times[order[i]])
      if (format == "md") {
        print "| data set | tool | step | seconds (median) | MB/s | time / " reference " | peak memory | output | output/input | restored tree |"
        print "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | --- |"
      } else {
        printf "%-8s %-16s %-7s %9s %8s %8s %10s %11s %8s  %s\n", "set", "tool", "step",
          "seconds", "MB/s", "vs ref", "peak mem", "output", "out/in", "restored tree"
      }
      for (i = 1; i <= rows; i++) {
        key = order[i]; m = med[key]; bytes = setBytes[set[i]]
        refKey = set[i] SUBSEP reference SUBSEP step[i]
        if (m == "-") { sec = "-"; mbs = "-"; ratio = "-" }
        else {
          sec = sprintf("%.2f", m / 1e9)
          mbs = m > 0 ? sprintf("%.1f", bytes / 1e6 / (m / 1e9)) : "-"
          ratio = (med[refKey] != "" && med[refKey] != "-" && med[refKey] > 0 && !((set[i] SUBSEP reference) in failed)) \
            ? sprintf("%.2f", m / med[refKey]) : "-"
        }
        peak = (key in mem) ? sprintf("%.1f MiB", mem[key] / 1024) : "-"
        o = (key in out) ? out[key] : "-"
        share = (o == "-" || bytes == 0) ? "-" : sprintf("%.1f%%", 100 * o / bytes)
        c = (key in check) ? check[key] : ""
        gsub(/_/, " ", c)
        if (format == "md") {
          if (c != "" && c != "ok") c = "**" c "**"
          printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", set[i], tool[i], step[i], sec,
            mbs, ratio, peak, human(o), share, c
        } else {
          printf "%-8s %-16s %-7s %9s %8s %8s %10s %11s %8s  %s\n", set[i], tool[i], step[i], sec, mbs,
            ratio, peak, human(o), share, c
        }
      }
    }' "$runsFile"
}

# ------------------------------------------------------------------ run ----

startDate="$(date -u '+%Y-%m-%d %H:%M UTC')"
say "work directory $work ($(workFileSystem))"
say "machine: $(machine)"
for tool in $tools; do say "$(toolVersion "$tool")"; done

declare -A setBytes setFiles
setBytesList=""
for set in $sets; do
  say "generating data set '$set': $(describeSet "$set")"
  makeSet "$set"
  setBytes[$set]="$(treeBytes "$work/data/$set")"
  setFiles[$set]="$(treeFiles "$work/data/$set")"
  setBytesList="$setBytesList $set=${setBytes[$set]}"
  warmSet "$work/data/$set"
  # The runs take turns (every tool's first run, then every tool's second
  # ...), so a spell of load on the machine does not fall on one tool only.
  for run in $(seq 1 "$runs"); do
    for tool in $tools; do
      [ -z "${failedTool[$set/$tool]:-}" ] || continue
      say "$set: $tool, run $run of $runs"
      roundTrip "$set" "$tool" "$run"
    done
  done
  rm -rf "$work/data/$set"
done

parameters="SMALL_FILES=$smallFiles, SIZE_MB=$sizeMb, FLAT50K_FILES=$flat50kFiles, FLAT100K_FILES=$flat100kFiles, RUNS=$runs"
echo
echo "Korvane against its peers, $startDate; $(machine)"
echo "  work directory on $(workFileSystem); $parameters"
for set in $sets; do
  echo "  $set: $(describeSet "$set"): ${setFiles[$set]} files, ${setBytes[$set]} bytes"
done
echo "  seconds: median of $runs run(s); MB/s = data-set bytes / 10^6 / seconds; vs ref = seconds / $reference's"
echo "  peak mem: highest peak resident size of the step (a pipeline: its processes' peaks added)"
echo
report text "$setBytesList"

if [ -n "$resultsFile" ]; then
  {
    resultsHead "app_compare.sh, $parameters" " Work directory on $(workFileSystem)."
    echo "Seconds: the median of the runs. Peak memory: the largest of the runs; the maximum resident"
    echo "size of each process (GNU time's \`%M\`), a pipeline's processes added."
    echo
    report md "$setBytesList"
  } >>"$resultsFile"
  say "results appended to $resultsFile"
fi

if [ "$failures" -ne 0 ]; then
  loud "$failures round trip(s) FAILED: see the table above"
  exit 1
fi
