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

say() { printf '== %s\n' "$*" >&2; }
loud() {
  printf '\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n' >&2
  printf '!!! %s\n' "$@" >&2
  printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n' >&2
}

# ---------------------------------------------------------------- peers ----

asRoot() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    command -v sudo >/dev/null || { echo "need root or sudo to run: $*" >&2; exit 1; }
    sudo "$@"
  fi
}

aptUpdated=0
aptInstall() {
  export DEBIAN_FRONTEND=noninteractive
  if [ "$aptUpdated" -eq 0 ]; then
    asRoot apt-get update -q >/dev/null
    aptUpdated=1
  fi
  say "installing: $*"
  asRoot apt-get install -y -q --no-install-recommends "$@" >/dev/null
}

findSevenZip() {
  local b
  for b in 7z 7zz 7za; do
    if command -v "$b" >/dev/null; then
      command -v "$b"
      return 0
    fi
  done
  return 1
}

installPeers() {
  local missing=() cmd pkg policy
  for cmd in tar:tar gzip:gzip openssl:openssl python3:python3 diff:diffutils; do
    command -v "${cmd%%:*}" >/dev/null || missing+=("${cmd##*:}")
  done
  [ ${#missing[@]} -eq 0 ] || aptInstall "${missing[@]}"

  if [[ " $tools " == *" 7z "* ]] && ! findSevenZip >/dev/null; then
    # p7zip-full gives 7z (Debian 12), 7zip gives 7zz; take the first package
    # this machine's archive offers.
    [ "$aptUpdated" -eq 1 ] || { asRoot apt-get update -q >/dev/null; aptUpdated=1; }
    for pkg in p7zip-full 7zip; do
      policy="$(apt-cache policy "$pkg" 2>/dev/null)"
      if [[ "$policy" == *"Candidate: "[0-9]* ]]; then
        aptInstall "$pkg"
        break
      fi
    done
    findSevenZip >/dev/null || { echo "no 7z, 7zz or 7za after installing" >&2; exit 1; }
  fi
}

buildVaultfs() {
  if [ -n "${VAULTFS:-}" ]; then
    vaultfs="$VAULTFS"
  else
    say "building build/release/vaultfs"
    (cd "$repo" && scripts/install-deps.sh && cmake --preset release >/dev/null &&
      cmake --build build/release --target vaultfs >/dev/null)
    vaultfs="$repo/build/release/vaultfs"
  fi
  [ -x "$vaultfs" ] || { echo "no vaultfs binary at $vaultfs" >&2; exit 1; }
  vaultfs="$(cd "$(dirname "$vaultfs")" && pwd)/$(basename "$vaultfs")"
  local help
  help="$("$vaultfs" --help 2>&1 || true)"
  if ! grep -Eq '^ *import ' <<<"$help" || ! grep -Eq '^ *export ' <<<"$help"; then
    echo "$vaultfs has no import/export commands" >&2
    exit 1
  fi
}

installPeers
if [[ " $tools " == *" vaultfs "* ]]; then buildVaultfs; fi
sevenZip="$(findSevenZip || true)"

# ------------------------------------------------------------ work area ----

if [ -n "${BENCH_DIR:-}" ]; then
  work="$BENCH_DIR"
  mkdir -p "$work"
else
  work="$(mktemp -d /tmp/korvane-bench.XXXXXX)"
fi
work="$(cd "$work" && pwd)"
cleanup() {
  if [ "${KEEP:-0}" = 1 ]; then
    say "kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

pwFile="$work/password"
printf '%s\n' "$password" >"$pwFile"
logDir="$work/logs"
mkdir -p "$logDir" "$work/data"

# ---------------------------------------------------------------- data ----

# Deterministic generator for the small-file set and the text set: seeded
# pseudo-random words with a skewed (Zipf-like) frequency, as in prose.
cat >"$work/generate.py" <<'EOF'
import os, random, sys

def vocabulary(rnd, count):
    onsets = ["", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t", "v",
              "w", "br", "ch", "st", "th", "tr", "pl", "gr", "sh"]
    vowels = ["a", "e", "i", "o", "u", "ae", "ou", "ei", "y"]
    codas = ["", "", "n", "r", "s", "t", "l", "m", "nd", "st", "ck", "ng"]
    words = set()
    while len(words) < count:
        syllables = rnd.choice((1, 1, 2, 2, 2, 3, 3, 4))
        words.add("".join(rnd.choice(onsets) + rnd.choice(vowels) + rnd.choice(codas)
                          for _ in range(syllables)))
    words = sorted(words)
    rnd.shuffle(words)
    cumulative, total = [], 0.0
    for rank in range(count):
        total += 1.0 / (rank + 1)
        cumulative.append(total)
    return words, cumulative

class Text:
    def __init__(self, rnd):
        self.rnd = rnd
        self.words, self.cumulative = vocabulary(rnd, 8192)

    def chunk(self, approx):
        rnd = self.rnd
        words = rnd.choices(self.words, cum_weights=self.cumulative, k=max(1, approx // 6))
        lines, i = [], 0
        while i < len(words):
            k = rnd.randint(4, 16)
            line = " ".join(words[i:i + k])
            lines.append(line[:1].upper() + line[1:] + ".")
            i += k
        return ("\n".join(lines) + "\n").encode()

def main():
    kind, root, amount = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rnd = random.Random({"small": 0x4B6F7201, "text": 0x4B6F7203}[kind])
    text = Text(rnd)
    if kind == "small":
        # 100 files per folder, 10 folders per group: d00/s0/f00000.txt ...
        for i in range(amount):
            folder = os.path.join(root, "d%02d" % (i // 1000), "s%d" % (i // 100 % 10))
            if i % 100 == 0:
                os.makedirs(folder, exist_ok=True)
            size = rnd.randint(0, 8192)
            if rnd.random() < 0.5:
                data, name = text.chunk(size + 64)[:size], "f%05d.txt" % i
            else:
                data, name = rnd.randbytes(size), "f%05d.bin" % i
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    else:
        os.makedirs(root, exist_ok=True)
        files = 4
        for i in range(files):
            left = amount // files + (1 if i < amount % files else 0)
            with open(os.path.join(root, "text%d.txt" % i), "wb") as f:
                while left > 0:
                    piece = text.chunk(min(left, 1 << 20) + 64)[:left]
                    f.write(piece)
                    left -= len(piece)

main()
EOF

# Incompressible data: AES-256-CTR keystream under a fixed key, one key per
# file, so the bytes are the same on every run and every machine.
makeRandomSet() {
  local root="$1" total="$2" i size
  mkdir -p "$root"
  for i in 0 1 2 3; do
    size=$((total / 4 + (i < total % 4 ? 1 : 0)))
    head -c "$size" /dev/zero |
      openssl enc -aes-256-ctr -nosalt -K "$(printf '%064x' $((0x4B6F7202 + i)))" \
        -iv 00000000000000000000000000000000 >"$root/random$i.bin"
  done
}

makeSet() {
  local set="$1" root="$work/data/$1"
  rm -rf "$root"
  case "$set" in
    small) python3 "$work/generate.py" small "$root" "$smallFiles" ;;
    random) makeRandomSet "$root" $((sizeMb * 1048576)) ;;
    text) python3 "$work/generate.py" text "$root" $((sizeMb * 1048576)) ;;
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

treeBytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d\n", s }'; }
treeFiles() { find "$1" -type f | wc -l; }

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

packTar() {
  tar -C "$src" -cf - . | gzip -9 |
    openssl enc -aes-256-cbc -pbkdf2 -pass "file:$pwFile" -out "$archive"
}
unpackTar() {
  openssl enc -d -aes-256-cbc -pbkdf2 -pass "file:$pwFile" -in "$archive" | gunzip |
    tar -C "$dest" -xf -
}

pack7z() {
  (cd "$src" && "$sevenZip" a -bd -y -mx=9 -mhe=on "-p$password" "$archive" .)
}
unpack7z() {
  "$sevenZip" x -bd -y "-p$password" "-o$dest" "$archive"
}

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
    7z) echo pack7z ;;
    *) echo "unknown tool: $1 (vaultfs, tar-gzip-openssl, 7z)" >&2; exit 2 ;;
  esac
}
unpackFunction() {
  case "$1" in
    vaultfs) echo unpackVaultfs ;;
    tar-gzip-openssl) echo unpackTar ;;
    7z) echo unpack7z ;;
  esac
}

toolVersion() {
  case "$1" in
    vaultfs)
      local rev
      rev="$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
      git -C "$repo" diff --quiet HEAD 2>/dev/null || rev="$rev+local changes"
      echo "vaultfs $rev ($vaultfs${VAULTFS_OPTS:+, options: $VAULTFS_OPTS}), $(g++ --version | head -1)"
      ;;
    tar-gzip-openssl)
      echo "$(tar --version | head -1); $(gzip --version | head -1); $(openssl version)"
      ;;
    7z) echo "$("$sevenZip" 2>&1 | grep -m1 '^7-Zip' | sed 's/ *:.*//') ($sevenZip)" ;;
  esac
}

# ------------------------------------------------------------- timing ----

# Runs "$@" with output to $log and sets elapsedNs and stepStatus. Writes a
# tool left in the page cache are flushed inside the timed span (every tool
# pays for its own output reaching the disk); earlier writes are flushed
# before it starts.
timeStep() {
  local log="$1" start end
  shift
  sync -f "$work"
  start=$(date +%s%N)
  if "$@" >>"$log" 2>&1; then stepStatus=0; else stepStatus=$?; fi
  sync -f "$work"
  end=$(date +%s%N)
  elapsedNs=$((end - start))
}

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

treeBytesOrDash() { if [ -d "$1" ]; then treeBytes "$1"; else echo -; fi; }

# --------------------------------------------------------------- report ----

machine() {
  local cpu mem
  cpu="$(grep -m1 '^model name' /proc/cpuinfo | sed 's/^[^:]*: *//')"
  mem="$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "$(nproc) CPUs, ${cpu:-unknown CPU}, $mem RAM, Linux $(uname -r)"
}

# Prints the table as plain text (format=text) or Markdown (format=md).
# Time ratio: this step's seconds / the fastest tool's seconds for the same
# set and direction; a tool whose round trip failed is not a candidate.
report() {
  awk -v format="$1" '
    function human(b) {
      if (b == "-") return "-"
      if (b >= 1073741824) return sprintf("%.2f GiB", b / 1073741824)
      if (b >= 1048576) return sprintf("%.1f MiB", b / 1048576)
      if (b >= 1024) return sprintf("%.1f KiB", b / 1024)
      return b " B"
    }
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
  tar -C "$work/data/$set" -cf - . >/dev/null
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
    echo
    echo "## $startDate: SIZE_MB=$sizeMb, SMALL_FILES=$smallFiles, RUNS=$runs"
    echo
    echo "Machine: $(machine)."
    echo
    echo "Data sets:"
    echo
    for set in $sets; do
      echo "- \`$set\`: $(describeSet "$set"); ${setFiles[$set]} files, ${setBytes[$set]} bytes"
    done
    echo
    echo "Tools:"
    echo
    for tool in $tools; do echo "- \`$tool\`: $(toolVersion "$tool")"; done
    echo
    report md
  } >>"$resultsFile"
  say "results appended to $resultsFile"
fi

if [ "$failures" -ne 0 ]; then
  loud "$failures tool run(s) FAILED: see the table above"
  exit 1
fi
