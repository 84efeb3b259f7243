#!/usr/bin/env bash
# The manual pages and the bash completions against the programs.
#
#   tests/cli/man_pages_test.sh BIN_DIR
#
# BIN_DIR holds korvane, korvane-cli, korvane-recover and vaultfs. Checks
# that every page in docs/man renders without a single groff warning, that
# every command and option the programs' --help texts name (korvane-cli's
# and each of its commands', vaultfs's) is documented in the program's page,
# and that the completions in packaging/completions offer the commands, the
# options of each command and the right files. Needs groff (Debian package
# groff-base); without it the test is skipped (exit 77) on a developer
# machine and fails under CI=true.
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BIN_DIR" >&2
  exit 2
fi
bin=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
pages="$source_dir/docs/man"
completions="$source_dir/packaging/completions"

if ! command -v groff >/dev/null 2>&1; then
  if [ "${CI:-}" = true ]; then
    echo "FAILED: groff is missing (Debian package groff-base)" >&2
    exit 1
  fi
  echo "SKIPPED: groff is missing (Debian package groff-base)"
  exit 77
fi

work=$(mktemp -d /tmp/korvane-man-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAILED: $*" >&2
}

# ---------------------------------------------------------------- rendering
programs=(korvane korvane-cli korvane-recover vaultfs)
for program in "${programs[@]}"; do
  page="$pages/$program.1"
  if [ ! -f "$page" ]; then
    fail "$program has no page $page"
    continue
  fi
  # -ww: every warning; -z: format but print nothing, so any output is one.
  # Typeset, and as man(1) shows it on an 80-column terminal.
  for device in "" "-Tutf8 -rLL=78n"; do
    # shellcheck disable=SC2086
    if output=$(groff -man -ww -z $device "$page" 2>&1) && [ -z "$output" ]; then
      pass
    else
      fail "groff ${device:+$device }warns about $program.1: $output"
    fi
  done
  # The text a reader sees starts with the name line.
  if groff -man -Tutf8 -P-cbou "$page" 2>/dev/null | grep -A1 -x 'NAME' |
    grep -qE "^ +$program +- "; then
    pass
  else
    fail "$program.1 has no NAME line for $program"
  fi
done

# ---------------------------------------------------------------- --help
# The page's source with the escapes a reader never sees removed:
# "\-\-kdf\-time" reads "--kdf-time", "\fBprotect\fR" reads "protect".
plain() {
  sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f(..//g' -e 's/\\f\[[^]]*\]//g' \
    -e 's/\\&//g' -e 's/\\c$//' -e 's/\\~/ /g' "$1"
}
# The options a help text names: long ones (--name) anywhere, short ones
# as options are written in a usage line ("[-R]", "-h, --help"), not as
# prose mentions them ("sh -c").
options_of() {
  local text
  text=$(cat)
  {
    grep -oE -- '(^|[][ ,|(])--[A-Za-z][A-Za-z0-9-]*' <<<"$text"
    grep -oE -- '(^|[[ ])-[A-Za-z]([],]|$)' <<<"$text" | tr -d ',]'
  } | sed -E 's/^[][ ,|(]//' | sort -u
}
# documents PAGE OPTION: the option stands in the page as a word of its own.
documents() {
  grep -qE -- "(^|[^A-Za-z0-9-])$2([^A-Za-z0-9-]|$)" "$work/$1.plain"
}
# describes PAGE COMMAND: the command heads an entry (".TP" tag, ".SS").
describes() {
  grep -qE -- "^\.(B|BI|BR|SS|IP) \"?$2( |\"|$)" "$work/$1.plain"
}
check_options() {  # check_options PAGE WHAT < help text
  local option
  while read -r option; do
    if documents "$1" "$option"; then pass; else fail "$1.1 lacks $option ($2)"; fi
  done < <(options_of)
}
check_commands() {  # check_commands PAGE COMMAND...
  local page=$1 command
  shift
  [ $# -gt 0 ] || fail "no commands found for $page"
  for command in "$@"; do
    if describes "$page" "$command"; then pass; else fail "$page.1 lacks command $command"; fi
  done
}

for program in "${programs[@]}"; do
  [ -f "$pages/$program.1" ] && plain "$pages/$program.1" >"$work/$program.plain"
  if ! "$bin/$program" --help >"$work/$program.help" 2>&1; then
    fail "$program --help failed"
  fi
  check_options "$program" "$program --help" <"$work/$program.help"
done

# korvane: its verbs (-PROTECT, -OPEN).
mapfile -t verbs < <(grep -oE -- '(^| )-[A-Z]{2,}' "$work/korvane.help" | tr -d ' ' | sort -u)
check_commands korvane "${verbs[@]}"

# korvane-cli: the commands listed under "Commands:", and each one's options.
mapfile -t cli_commands < <(awk '/^Commands:/ { on = 1; next } on && /^$/ { exit }
                                 on { print $1 }' "$work/korvane-cli.help")
check_commands korvane-cli "${cli_commands[@]}"
for command in "${cli_commands[@]}"; do
  if "$bin/korvane-cli" "$command" --help >"$work/cli-$command.help" 2>&1; then
    check_options korvane-cli "korvane-cli $command --help" <"$work/cli-$command.help"
  else
    fail "korvane-cli $command --help failed"
  fi
done

# vaultfs: every "  NAME FILE ..." line of the help is a command.
mapfile -t vaultfs_commands < <(sed -nE 's/^  ([a-z]+) FILE.*/\1/p' "$work/vaultfs.help" | sort -u)
check_commands vaultfs "${vaultfs_commands[@]}"

# ---------------------------------------------------------------- completion
# complete_words FUNCTION WORD...: what the completion offers for the last
# word (the word being typed), one per line, sorted.
complete_words() {
  local function=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$function" 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}
# offers EXPECTED FUNCTION WORD...: the completion offers exactly EXPECTED
# (comma-separated, any order).
offers() {
  local want=$1 got
  shift
  got=$(complete_words "$@" | paste -sd ,)
  want=$(tr ',' '\n' <<<"$want" | sed '/^$/d' | sort | paste -sd ,)
  if [ "$got" = "$want" ]; then pass; else fail "completing '${*:2}': got '$got', expected '$want'"; fi
}
# offers_all FUNCTION WORD... < LIST: each listed word is among the offers
# (fed by a redirection, never a pipe: a pipe would count in a subshell).
offers_all() {
  local got word
  got=$(complete_words "$@")
  while read -r word; do
    if grep -qxF -- "$word" <<<"$got"; then pass; else fail "completing '${*:2}' lacks $word"; fi
  done
}

# shellcheck source=/dev/null
source "$completions/korvane-cli" || fail "packaging/completions/korvane-cli does not load"
# shellcheck source=/dev/null
source "$completions/vaultfs" || fail "packaging/completions/vaultfs does not load"
if complete -p korvane-cli >/dev/null 2>&1; then pass; else fail "korvane-cli has no completion"; fi
if complete -p vaultfs >/dev/null 2>&1; then pass; else fail "vaultfs has no completion"; fi

# Files to complete: containers, other files, folders (one with a space).
mkdir -p "$work/files/Photos" "$work/files/My Music"
: >"$work/files/Photos._zkvlk"
: >"$work/files/notes.txt"
: >"$work/files/pw"
cd "$work/files" || exit 1

# A table: the expected offers (comma-separated) | the words before | the
# word being completed.
while IFS='|' read -r expected before current; do
  read -r -a typed <<<"$before"
  function=_korvane_cli
  [ "${typed[0]}" = vaultfs ] && function=_vaultfs
  offers "$expected" "$function" "${typed[@]}" "$current"
done <<'EOF'
protect|korvane-cli|pro
passwd,protect|korvane-cli|p
--help,--version|korvane-cli|--
--kdf-lanes,--kdf-memory,--kdf-passes,--kdf-time|korvane-cli protect|--kdf-
My Music,Photos|korvane-cli protect|
Photos,Photos._zkvlk|korvane-cli open|Pho
My Music,Photos,Photos._zkvlk|korvane-cli verify|
My Music,Photos,Photos._zkvlk|korvane-cli open --yes --progress json|
json|korvane-cli open --progress|
pw|korvane-cli open Photos._zkvlk --password-file|p
--escrow,--help|korvane-cli info Photos._zkvlk|--
|korvane-cli protect --kdf-time|
import,info|vaultfs|i
none,rle,zlib|vaultfs put c.vfs a b --compression|
0,1,3|vaultfs create c.vfs --storage-encryption|
My Music,Photos|vaultfs import c.vfs|
|vaultfs import c.vfs Photos|
notes.txt|vaultfs put c.vfs|no
My Music,Photos|vaultfs export c.vfs --mask *.txt /docs|
16M,1M,256K,2M,4M,64K,8M,all|vaultfs format c.vfs --fat|
EOF

# Whatever the help texts name, the completion offers: each command of
# korvane-cli with its options, each command of vaultfs, and every option
# vaultfs names under some command.
offers_all _korvane_cli korvane-cli "" < <(printf '%s\n' "${cli_commands[@]}")
long_options() {  # long_options HELP: its options, less -h (--help is offered)
  options_of <"$1" | grep -vxF -- -h
}
for command in "${cli_commands[@]}"; do
  offers_all _korvane_cli korvane-cli "$command" -- < <(long_options "$work/cli-$command.help")
done
offers_all _vaultfs vaultfs "" < <(printf '%s\n' "${vaultfs_commands[@]}")
for command in "${vaultfs_commands[@]}"; do
  complete_words _vaultfs vaultfs "$command" c.vfs -
done | sort -u >"$work/vaultfs.offered"
while read -r option; do
  if grep -qxF -- "$option" "$work/vaultfs.offered"; then
    pass
  else
    fail "no vaultfs command completes $option"
  fi
done < <(long_options "$work/vaultfs.help")

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
