# Pieces shared by the benchmark scripts in this folder (compare.sh,
# app_compare.sh); sourced, not run. The scripts set before using them:
#   repo      the repository's root
#   password  the password every tool uses; pwFile holds it (setUpWorkArea)
#   src       the data set's folder a pack step reads
#   archive   the file (or folder) a pack step writes and an unpack step reads
#   dest      the empty folder an unpack step fills
#   sevenZip  the 7z binary (findSevenZip)

say() { printf '== %s\n' "$*" >&2; }
loud() {
  printf '\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n' >&2
  printf '!!! %s\n' "$@" >&2
  printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n' >&2
}

isRoot() { [ "$(id -u)" -eq 0 ]; }

# ---------------------------------------------------------------- peers ----

asRoot() {
  if isRoot; then
    "$@"
  else
    command -v sudo >/dev/null || { echo "need root or sudo to run: $*" >&2; exit 1; }
    sudo "$@"
  fi
}

aptUpdated=0
aptUpdate() {
  export DEBIAN_FRONTEND=noninteractive
  if [ "$aptUpdated" -eq 0 ]; then
    asRoot apt-get update -q >/dev/null
    aptUpdated=1
  fi
}
aptInstall() {
  aptUpdate
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

# Installs what is missing with apt-get. Each argument is COMMAND:PACKAGE (the
# command is looked up on PATH, or is a path); the argument "7z" asks for any
# of 7z, 7zz and 7za.
installPeers() {
  local missing=() want7z=0 spec pkg policy
  for spec in "$@"; do
    if [ "$spec" = 7z ]; then
      want7z=1
    elif ! command -v "${spec%%:*}" >/dev/null; then
      missing+=("${spec##*:}")
    fi
  done
  [ ${#missing[@]} -eq 0 ] || aptInstall "${missing[@]}"

  if [ "$want7z" -eq 1 ] && ! findSevenZip >/dev/null; then
    # p7zip-full gives 7z (Debian 12), 7zip gives 7zz; take the first package
    # this machine's archive offers.
    aptUpdate
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

# Prints the absolute path of the program given (GIVEN, the value of the
# variable VARIABLE), or when none is given configures the release preset and
# builds TARGET (build/release/TARGET).
programOrBuild() {
  local variable="$1" given="$2" target="$3" path
  if [ -n "$given" ]; then
    path="$given"
  else
    say "building build/release/$target"
    (cd "$repo" && scripts/install-deps.sh && cmake --preset release >/dev/null &&
      cmake --build build/release --target "$target" >/dev/null) >&2
    path="$repo/build/release/$target"
  fi
  [ -x "$path" ] || { echo "no $target binary at $path (set $variable)" >&2; exit 1; }
  echo "$(cd "$(dirname "$path")" && pwd)/$(basename "$path")"
}

# The commit the benchmarked programs come from, marked when the work tree
# has local changes.
gitRevision() {
  local rev
  rev="$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  git -C "$repo" diff --quiet HEAD 2>/dev/null || rev="$rev+local changes"
  echo "$rev"
}

# ------------------------------------------------------------ work area ----

# Sets work (the work directory, absolute), pwFile and logDir, and removes
# the work directory at exit unless KEEP=1. BENCH_DIR names the directory
# (default: a new one under /tmp named after $1). TMPFS=1 puts it on a tmpfs:
# as root a new tmpfs is mounted there (unmounted at exit); otherwise, or
# when mounting fails, a new directory in $XDG_RUNTIME_DIR when that is a
# tmpfs, else in /dev/shm (BENCH_DIR, when given, must already be on a tmpfs).
tmpfsMounted=0
userTmpfs() {
  local d
  for d in "${XDG_RUNTIME_DIR:-}" /dev/shm; do
    if [ -n "$d" ] && [ -d "$d" ] && [ -w "$d" ] && [ "$(stat -f -c %T "$d")" = tmpfs ]; then
      echo "$d"
      return 0
    fi
  done
  echo "TMPFS=1: no tmpfs to use (not root, and neither \$XDG_RUNTIME_DIR nor /dev/shm is one)" >&2
  return 1
}
setUpWorkArea() {
  local prefix="$1" base
  if [ "${TMPFS:-0}" = 1 ]; then
    if [ -n "${BENCH_DIR:-}" ]; then
      work="$BENCH_DIR"
      mkdir -p "$work"
    else
      work="$(mktemp -d "/tmp/$prefix.XXXXXX")"
    fi
    if [ "$(stat -f -c %T "$work")" != tmpfs ]; then
      if isRoot && mount -t tmpfs -o "size=${TMPFS_SIZE:-50%},mode=0700" "$prefix" "$work"; then
        tmpfsMounted=1
      elif [ -n "${BENCH_DIR:-}" ]; then
        echo "TMPFS=1: cannot mount a tmpfs on $work, and it is not on one" >&2
        exit 2
      else
        rmdir "$work"
        base="$(userTmpfs)"
        work="$(mktemp -d "$base/$prefix.XXXXXX")"
      fi
    fi
  elif [ -n "${BENCH_DIR:-}" ]; then
    work="$BENCH_DIR"
    mkdir -p "$work"
  else
    work="$(mktemp -d "/tmp/$prefix.XXXXXX")"
  fi
  work="$(cd "$work" && pwd)"
  trap cleanUpWorkArea EXIT

  pwFile="$work/password"
  printf '%s\n' "$password" >"$pwFile"
  logDir="$work/logs"
  mkdir -p "$logDir" "$work/data"
}

cleanUpWorkArea() {
  if [ "${KEEP:-0}" = 1 ]; then
    say "kept $work"
    [ "$tmpfsMounted" -eq 0 ] || say "$work is a tmpfs: unmount it when done (umount $work)"
  elif [ "$tmpfsMounted" -eq 1 ]; then
    if umount "$work"; then
      [ -n "${BENCH_DIR:-}" ] || rmdir "$work"
    else
      rm -rf "${work:?}"/*
    fi
  else
    rm -rf "$work"
  fi
}

# The work directory's file system, for the report: "tmpfs", "ext2/ext3" ...
workFileSystem() { stat -f -c %T "$work"; }

# ---------------------------------------------------------------- data ----

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

# The generated sets other than random: see generate_data.py.
generateSet() { python3 "$repo/bench/generate_data.py" "$@"; }

treeBytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d\n", s }'; }
treeFiles() { find "$1" -type f | wc -l; }
treeBytesOrDash() { if [ -d "$1" ]; then treeBytes "$1"; else echo -; fi; }

# Reads a data set once, so that no tool pays for the first read from disk.
warmSet() { tar -C "$1" -cf - . >/dev/null; }

# --------------------------------------------------------------- tools ----

# Runs one process of a pack or unpack step. Here it only runs it;
# app_compare.sh redefines it to record each process's peak memory.
stage() { "$@"; }

# tar | COMPRESSOR... | openssl enc, and back with DECOMPRESSOR...
tarPack() {
  stage tar -C "$src" -cf - . | stage "$@" |
    stage openssl enc -aes-256-cbc -pbkdf2 -pass "file:$pwFile" -out "$archive"
}
tarUnpack() {
  stage openssl enc -d -aes-256-cbc -pbkdf2 -pass "file:$pwFile" -in "$archive" | stage "$@" |
    stage tar -C "$dest" -xf -
}

sevenZipPack() {
  (cd "$src" && stage "$sevenZip" a -bd -y -mx=9 -mhe=on "-p$password" "$archive" .)
}
sevenZipUnpack() {
  stage "$sevenZip" x -bd -y "-p$password" "-o$dest" "$archive"
}

sevenZipVersion() { echo "$("$sevenZip" 2>&1 | grep -m1 '^7-Zip' | sed 's/ *:.*//') ($sevenZip)"; }
tarOpensslVersion() { echo "$(tar --version | head -1); $1; $(openssl version)"; }

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

# --------------------------------------------------------------- report ----

machine() {
  local cpu mem
  cpu="$(grep -m1 '^model name' /proc/cpuinfo | sed 's/^[^:]*: *//')"
  mem="$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "$(nproc) CPUs, ${cpu:-unknown CPU}, $mem RAM, Linux $(uname -r)"
}

# An awk function for the reports: a byte count in B, KiB, MiB or GiB.
awkHuman='
  function human(b) {
    if (b == "-") return "-"
    if (b >= 1073741824) return sprintf("%.2f GiB", b / 1073741824)
    if (b >= 1048576) return sprintf("%.1f MiB", b / 1048576)
    if (b >= 1024) return sprintf("%.1f KiB", b / 1024)
    return b " B"
  }'

# The head of a section of the results file: its title, the machine (and
# NOTE after it), the data sets and the tools, ending in a blank line. Uses
# the script's startDate, sets, tools, setFiles, setBytes, describeSet and
# toolVersion.
resultsHead() {
  local title="$1" note="${2:-}" set tool
  echo
  echo "## $startDate: $title"
  echo
  echo "Machine: $(machine).$note"
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
}
