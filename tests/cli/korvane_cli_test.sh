#!/usr/bin/env bash
# End-to-end checks of korvane-cli: a real tree protected and opened again
# byte for byte, what the container holds, password recovery, every refusal
# with its exit status and its promise that nothing changed, cancelling with
# a signal in the middle of the work, and a file-size limit.
#
# Usage: korvane_cli_test.sh BIN_DIR   (BIN_DIR holds korvane-cli,
# korvane-recover and vaultfs)
set -u
bin="$(cd "${1:?usage: $0 BIN_DIR}" && pwd)"
export KORVANE_CLI_REAL="$bin/korvane-cli"
[ -x "$KORVANE_CLI_REAL" ] || { echo "FAIL: $KORVANE_CLI_REAL is missing"; exit 1; }
# Protections at the least key-derivation cost (see the script).
cli="$(cd "$(dirname "$0")" && pwd)/lib/korvane-cli-at-floor"
recover="$bin/korvane-recover"
vaultfs="$bin/vaultfs"
for tool in "$cli" "$recover" "$vaultfs"; do
  [ -x "$tool" ] || { echo "FAIL: $tool is missing"; exit 1; }
done
. "$(dirname "$0")/lib/crafted_tree.sh"

dir="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  chmod -R u+rwx "$dir" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
# Nothing of the person running the test may take part: no recovery key of
# theirs, no settings, no run lock beside theirs.
. "$(dirname "$0")/lib/cli_checks.sh"

listing() { (cd "$1" && find . -printf '%P %m %T@ %y %l\n' | LC_ALL=C sort); }
# same_tree REF DIR: contents, names, links, modes and nanosecond times.
same_tree() {
  [ -d "$2" ] || return 1
  diff -r --no-dereference "$1" "$2" >"$dir/diff" 2>&1 || {
    head -5 "$dir/diff"
    return 1
  }
  cmp -s <(listing "$1") <(listing "$2") || {
    diff <(listing "$1") <(listing "$2") | head -5
    return 1
  }
}
checksums() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) && listing "$1"; }
md5() { printf '%s' "$1" | md5sum | cut -c1-32; }
# The MD5 of what a printf format stands for (command substitution would
# drop its trailing newlines).
md5_of_format() { printf "$1" | md5sum | cut -c1-32; }
# is_escrow TEXT LENGTH: Base64 of the given length.
is_escrow() { [ "${#1}" -eq "$2" ] && [[ "$1" =~ ^[A-Za-z0-9+/]+=*$ ]]; }

printf 'tobel5931' >"$dir/storage.pw"
S=(--storage-password-file "$dir/storage.pw")
record() { "$vaultfs" cat "$1" "/_SERVICE/\$%$2%\$.service" "${S[@]}" 2>/dev/null; }
stat_field() { "$vaultfs" stat "$1" "$2" "${S[@]}" 2>/dev/null | sed -n "s/^$3: *//p"; }
# stored_as CONTAINER PATH ENCRYPTION COMPRESSION: how the file is kept.
stored_as() {
  [ "$(stat_field "$1" "$2" encryption)" = "$3" ] &&
    [ "$(stat_field "$1" "$2" compression | cut -d, -f1)" = "$4" ]
}

password="correct horse 1"
printf '%s\n' "$password" >"$dir/pw"
P=(--password-file "$dir/pw")
work="$dir/work"
mkdir "$work"

echo "== round trip of a real tree"
tree="$work/tree"
make_crafted_tree "$tree"
if [ -d /usr/share/doc ]; then
  cp -a /usr/share/doc "$tree/usr_share_doc" 2>/dev/null ||
    echo "note: parts of /usr/share/doc could not be copied; they are left out"
  # Only what a folder to protect may hold: files, folders and links.
  find "$tree/usr_share_doc" ! -type f ! -type d ! -type l -delete 2>/dev/null
else
  echo "note: no /usr/share/doc here; the crafted tree alone is used"
fi
touch -d '2001-02-03 04:05:06.070809101 UTC' "$tree"
chmod 0751 "$tree"
ref="$dir/ref"
cp -a "$tree" "$ref"
# The classic layout first: what it writes must stay exactly what older
# versions read (the hardened layout has a script of its own).
run_cli 0 "protect the tree" protect "$tree" "${P[@]}" --classic
check "summary line names folder and container" out_is "protected $tree -> $tree._zkvlk"
check "only the container is left" [ "$(ls -A "$work")" = "tree._zkvlk" ]
container="$tree._zkvlk"

echo "== what the container holds"
want_kb=$(find "$ref" -type f -printf '%s\n' | awk '{ s += int($1 / 1024) } END { printf "%d", s % 4294967296 }')
check "size record is the folder's KB ($want_kb)" [ "$(record "$container" size)" = "$want_kb" ]
check "hash record is the MD5 of the password" [ "$(record "$container" hash)" = "$(md5 "$password")" ]
escrow="$(record "$container" penc)"
check "escrow record: 172 Base64 characters" is_escrow "$escrow" 172
for name in size hash penc; do
  path="/_SERVICE/\$%$name%\$.service"
  check "$name record unencrypted and uncompressed" stored_as "$container" "$path" 0 none
done
check "data files: encryption mode 3, zlib" stored_as "$container" /DATA/docs/words.txt 3 zlib
"$cli" info "$container" >"$dir/out" 2>"$dir/err"
check "info shows the records" grep -qxF "size: $want_kb KB" "$dir/out"
check "info: layout classic" grep -qxF "layout: classic" "$dir/out"
check "info: password record present" grep -qxF "password record: present" "$dir/out"
check "info: recovery possible, escrow length 172" \
  bash -c "grep -qxF 'recovery: possible' '$dir/out' && grep -qxF 'escrow text length: 172' '$dir/out'"
check "info: folder" grep -qxF "folder: $tree" "$dir/out"

run_cli 0 "open the tree" open "$container" "${P[@]}"
check "open says what it restored" out_is "restored $tree
opened $container -> $tree"
check "restored tree identical (contents, modes, ns times, links)" same_tree "$ref" "$tree"
check "container removed after open" [ ! -e "$container" ]

run_cli 0 "protect --keep-files" protect "$tree" "${P[@]}" --keep-files
check "kept folder unchanged" same_tree "$ref" "$tree"
check "container made beside it" [ -f "$container" ]
run_cli 0 "protect --keep-files --no-compression --no-recovery --yes" protect "$tree" "${P[@]}" \
  --keep-files --no-compression --no-recovery --yes --classic
check "no escrow record without recovery" \
  bash -c "! '$vaultfs' stat '$container' '/_SERVICE/\$%penc%\$.service' --storage-password-file '$dir/storage.pw' >/dev/null 2>&1"
check "data files uncompressed, still encryption mode 3" \
  stored_as "$container" /DATA/docs/words.txt 3 none
"$cli" info "$container" >"$dir/out" 2>&1
check "info: recovery not possible" grep -qxF "recovery: not possible" "$dir/out"
check "kept folder still unchanged" same_tree "$ref" "$tree"
rm -f "$container"
chmod -R u+rwx "$tree" "$ref"
rm -rf "$tree" "$ref"

echo "== passwords from files and descriptors"
small="$work/small"
mkdir -p "$small/sub"
printf 'one\n' >"$small/a.txt"
head -c 5000 /dev/urandom >"$small/sub/b.bin"
small_ref="$dir/small_ref"
cp -a "$small" "$small_ref"
# file content | the password it stands for
while IFS='|' read -r content meant; do
  printf "$content" >"$dir/pwcase"
  run_cli 0 "password file '$content'" protect "$small" --password-file "$dir/pwcase" --keep-files --yes --classic
  check "  its password is '$meant'" [ "$(record "$small._zkvlk" hash)" = "$(md5_of_format "$meant")" ]
done <<'EOF'
word1234|word1234
word1234\n|word1234
word1234\r\n|word1234
word1234\n\n|word1234\n
word1234\r|word1234\r
 spaced pass \n| spaced pass 
EOF
run_cli 0 "password from a descriptor" protect "$small" --password-fd 3 --keep-files --yes --classic 3<"$dir/pw"
check "  its password is the descriptor's" [ "$(record "$small._zkvlk" hash)" = "$(md5 "$password")" ]
rm -f "$small._zkvlk"

echo "== asking on a terminal"
if command -v python3 >/dev/null 2>&1; then
  # Runs korvane-cli on a new pseudo-terminal and types the '|'-separated
  # answers of $ANSWERS (with \x escapes) at each password prompt.
  cat >"$dir/on_tty.py" <<'PY'
import os, pty, re, select, signal, sys, time
log, argv = sys.argv[1], sys.argv[2:]
answers = [a.encode().decode("unicode_escape").encode("latin-1")
           for a in os.environ.get("ANSWERS", "").split("|") if a]
pid, fd = pty.fork()
if pid == 0:
    os.execv(argv[0], argv)
out, asked, deadline = b"", 0, time.time() + 60
while True:
    if time.time() > deadline:
        os.kill(pid, signal.SIGKILL)
        break
    ready, _, _ = select.select([fd], [], [], 0.2)
    if ready:
        try:
            data = os.read(fd, 4096)
        except OSError:
            break
        if not data:
            break
        out += data
    if asked < len(answers) and len(re.findall(rb"(?i)password[^\n]*: ", out)) > asked:
        time.sleep(0.05)
        os.write(fd, answers[asked])
        asked += 1
_, status = os.waitpid(pid, 0)
open(log, "wb").write(out)
sys.exit(os.waitstatus_to_exitcode(status))
PY
  # on_tty STATUS WHAT ANSWERS ARGS...
  on_tty() {
    local want="$1" what="$2"
    ANSWERS="$3" python3 "$dir/on_tty.py" "$dir/tty.log" "$cli" "${@:4}" </dev/null
    local got=$?
    if [ "$got" -eq "$want" ]; then
      pass "$what (exit $got)"
    else
      fail "$what: exit $got, expected $want; terminal: $(tr -d '\r' <"$dir/tty.log" | head -c 600)"
    fi
  }
  # Backspace takes back whole characters, also multi-byte ones.
  on_tty 0 "password typed twice, with backspaces" 'grün\x7f\x7f\x7fuen1234\r|guen1234\r' \
    protect "$small" --keep-files --classic
  check "  the password is what was left" [ "$(record "$small._zkvlk" hash)" = "$(md5 guen1234)" ]
  check "  masked: one star per character, never the text" \
    bash -c "grep -qF '****' '$dir/tty.log' && ! grep -qF guen '$dir/tty.log'"
  cp "$small._zkvlk" "$dir/saved_container"
  on_tty 1 "two different passwords typed" 'abcd1234\r|abcd9999\r' protect "$small" --keep-files --yes
  check "  says they do not match, changes nothing" \
    bash -c "grep -qF \"Passwords don't match\" '$dir/tty.log' && cmp -s '$small._zkvlk' '$dir/saved_container'"
  on_tty 3 "Ctrl-C at the prompt" '\x03' protect "$small" --keep-files --yes
  check "  changes nothing" cmp -s "$small._zkvlk" "$dir/saved_container"
  rm -rf "$small"
  on_tty 0 "open with the password typed" 'guen1234\r' open "$small._zkvlk"
  check "  tree restored identical" same_tree "$small_ref" "$small"
  check "  container removed" [ ! -e "$small._zkvlk" ]
else
  echo "skip: no python3 to drive a terminal"
fi

echo "== password recovery"
"$recover" --generate-key "$dir/keys" >/dev/null 2>&1
mkdir -p "$XDG_CONFIG_HOME/korvane"
cp "$dir/keys/recovery-key.pem" "$XDG_CONFIG_HOME/korvane/recovery-key.pem"
long_password="$(head -c 400 /dev/urandom | base64 -w0 | head -c 150)"
printf '%s' "$long_password" >"$dir/long.pw"
run_cli 0 "protect with a 150-byte password" protect "$small" --password-file "$dir/long.pw" --keep-files --classic
record "$small._zkvlk" penc >"$dir/escrow1"
check "escrow of a 150-byte password: 344 characters" is_escrow "$(cat "$dir/escrow1")" 344
check "korvane-recover reads the password back" \
  [ "$("$recover" --private-key "$dir/keys/recovery-private-key.pem" "$dir/escrow1" 2>&1)" = "$long_password" ]
run_cli 0 "protect again with the same password" protect "$small" --password-file "$dir/long.pw" --keep-files --yes --classic
record "$small._zkvlk" penc >"$dir/escrow2"
check "two protections give different escrow texts" bash -c "! cmp -s '$dir/escrow1' '$dir/escrow2'"
check "the second one reads back too" \
  [ "$("$recover" --private-key "$dir/keys/recovery-private-key.pem" <"$dir/escrow2" 2>&1)" = "$long_password" ]
run_cli 0 "protect with a short password" protect "$small" "${P[@]}" --keep-files --yes --classic
record "$small._zkvlk" penc >"$dir/escrow3"
check "escrow of a short password: 172 characters, reads back" \
  [ "$(wc -c <"$dir/escrow3")" -eq 172 -a "$("$recover" --private-key "$dir/keys/recovery-private-key.pem" "$dir/escrow3" 2>&1)" = "$password" ]
rm -f "$small._zkvlk" "$XDG_CONFIG_HOME/korvane/recovery-key.pem"

echo "== refusals"
printf 'abc\n' >"$dir/short.pw"
run_cli 1 "too-short password" protect "$small" --password-file "$dir/short.pw"
check "  says so" err_has "Password is too short"
check "  no container made" [ ! -e "$small._zkvlk" ]
check "  folder intact" same_tree "$small_ref" "$small"
run_cli 1 "the root folder" protect / "${P[@]}"
check "  says so" err_has "Root folder cannot be protected"
printf 'x\n' >"$work/a_file"
run_cli 1 "a file instead of a folder" protect "$work/a_file" "${P[@]}"
check "  says so, file intact" bash -c "grep -qF 'cannot protect a file' '$dir/err' && [ \"\$(cat '$work/a_file')\" = x ] && [ ! -e '$work/a_file._zkvlk' ]"
# A path under a system folder whose parent does not exist either: even a
# broken refusal could not create or remove anything there.
run_cli 1 "a system folder" protect /usr/lib/korvane-test-missing-parent/folder "${P[@]}"
check "  says so" err_has "System folder"
check "  nothing made there" [ ! -e /usr/lib/korvane-test-missing-parent ]

run_cli 0 "make a container to collide with" protect "$small" "${P[@]}" --keep-files
cp "$small._zkvlk" "$dir/saved_container"
run_cli 1 "existing container without --yes" protect "$small" "${P[@]}"
check "  asks, and says --yes would answer OK" \
  bash -c "grep -qF 'Protected folder already exists' '$dir/err' && grep -qF -- '--yes would answer OK' '$dir/err'"
check "  container unchanged" cmp -s "$small._zkvlk" "$dir/saved_container"
check "  folder intact" same_tree "$small_ref" "$small"
run_cli 0 "existing container with --yes" protect "$small" "${P[@]}" --yes
check "  container replaced, folder gone" \
  bash -c "[ -f '$small._zkvlk' ] && ! cmp -s '$small._zkvlk' '$dir/saved_container' && [ ! -e '$small' ]"

cp "$small._zkvlk" "$dir/saved_container"
printf 'wrong password\n' >"$dir/wrong.pw"
run_cli 4 "wrong password on open" open "$small._zkvlk" --password-file "$dir/wrong.pw"
check "  says so" err_has "Invalid password"
check "  container unchanged, no folder" \
  bash -c "cmp -s '$small._zkvlk' '$dir/saved_container' && [ ! -e '$small' ]"

mkdir "$small"
printf 'stray\n' >"$small/stray.txt"
run_cli 1 "existing folder on open without --yes" open "$small._zkvlk" "${P[@]}"
check "  asks, and says --yes would answer OK" \
  bash -c "grep -qF 'Folder already exists' '$dir/err' && grep -qF -- '--yes would answer OK' '$dir/err'"
check "  folder and container unchanged" \
  bash -c "[ \"\$(ls -A '$small')\" = stray.txt ] && cmp -s '$small._zkvlk' '$dir/saved_container'"
run_cli 0 "existing folder on open with --yes" open "$small._zkvlk" "${P[@]}" --yes
check "  folder replaced by the restored one" same_tree "$small_ref" "$small"
check "  container removed" [ ! -e "$small._zkvlk" ]

mkdir "$dir/names"
cp "$dir/saved_container" "$dir/names/plain.vfs"
run_cli 1 "a container name without ._zkvlk" open "$dir/names/plain.vfs" "${P[@]}" --yes
check "  nothing written, container kept" \
  bash -c "[ \"\$(ls -A '$dir/names')\" = plain.vfs ] && cmp -s '$dir/names/plain.vfs' '$dir/saved_container'"
head -c 20000 /dev/urandom >"$dir/names/junk._zkvlk"
run_cli 1 "a file that is no container" open "$dir/names/junk._zkvlk" "${P[@]}" --yes
check "  says so" err_has "not a protected folder"
check "  nothing written" [ ! -e "$dir/names/junk" ]
run_cli 1 "info on a file that is no container" info "$dir/names/junk._zkvlk"

echo "== usage"
mkdir "$work/usage"
printf 'keep me\n' >"$work/usage/file"
U="$work/usage"
# expected status | arguments (split on blanks)
while IFS='|' read -r want args; do
  # shellcheck disable=SC2086
  run_cli "$want" "korvane-cli $args" $args
  [ "$want" -eq 2 ] && check "  usage line on stderr" err_has "Usage: korvane-cli"
done <<EOF
2|
2|frobnicate $U
2|protect
2|protect $U $U
2|protect $U --password-file $dir/pw --password-fd 0
2|protect $U --bogus ${P[*]}
2|protect $U --password-file
2|protect $U --yes=1 ${P[*]}
2|protect $U --password-fd x
2|protect $U --password-fd 57
2|protect $U --password-file $dir/no-such-file
2|protect $U
2|open $U._zkvlk
2|open $U._zkvlk --keep-files ${P[*]}
2|info $U._zkvlk ${P[*]}
0|--help
0|protect --help
0|open --help
0|info --help
0|--version
EOF
check "nothing was touched by bad usage" \
  bash -c "[ \"\$(cat '$U/file')\" = 'keep me' ] && [ ! -e '$U._zkvlk' ]"
"$cli" --version >"$dir/out" 2>&1
check "--version prints the version" grep -qE '^korvane-cli [0-9]+\.[0-9]+' "$dir/out"
"$cli" protect --help >"$dir/out" 2>&1
check "protect --help lists its options" \
  bash -c "grep -qF -- --keep-files '$dir/out' && grep -qF -- --no-recovery '$dir/out'"

echo "== cancel with a signal"
big="$work/big"
mkdir -p "$big/sub"
for i in 1 2 3 4; do head -c $((100 * 1024 * 1024)) /dev/urandom >"$big/part$i.bin"; done
printf 'small\n' >"$big/sub/small.txt"
checksums "$big" >"$dir/big.sums"
# wait_for CONDITION...: polls for up to 60 s.
wait_for() {
  local tries=0
  until "$@"; do
    tries=$((tries + 1))
    [ "$tries" -gt 1200 ] && return 1
    sleep 0.05
  done
}
bytes_at_least() { [ "$(du -sb "$1" 2>/dev/null | cut -f1)" -ge "$2" ] 2>/dev/null; }
# Work in progress sits under a hidden temporary name beside its final one.
staged_bytes_at_least() {
  local staged
  for staged in "$(dirname "$1")/.$(basename "$1").korvane-"*; do
    [ -e "$staged" ] && bytes_at_least "$staged" "$2" && return 0
  done
  return 1
}
nothing_staged() { ! ls -A "$work" | grep -q '\.korvane-'; }

for signal in INT TERM; do
  "$cli" protect "$big" "${P[@]}" </dev/null >"$dir/out" 2>"$dir/err" &
  pid=$!
  pids+=("$pid")
  wait_for staged_bytes_at_least "$big._zkvlk" $((8 * 1024 * 1024)) || fail "the container did not grow"
  kill -"$signal" "$pid"
  wait "$pid"
  status=$?
  check "SIG$signal during protect: exit 3 (got $status)" [ "$status" -eq 3 ]
  check "  no container left" [ ! -e "$big._zkvlk" ]
  check "  nothing staged left" nothing_staged
  check "  folder byte-identical" cmp -s "$dir/big.sums" <(checksums "$big")
done

run_cli 0 "protect the big folder" protect "$big" "${P[@]}" --no-compression
md5sum <"$big._zkvlk" >"$dir/container.sum"
"$cli" open "$big._zkvlk" "${P[@]}" </dev/null >"$dir/out" 2>"$dir/err" &
pid=$!
pids+=("$pid")
wait_for staged_bytes_at_least "$big" $((8 * 1024 * 1024)) || fail "the folder did not grow"
kill -INT "$pid"
wait "$pid"
status=$?
check "SIGINT during open: exit 3 (got $status)" [ "$status" -eq 3 ]
check "  container kept unchanged" cmp -s "$dir/container.sum" <(md5sum <"$big._zkvlk")
check "  the unfinished restore went again" [ ! -e "$big" ]
check "  nothing staged left" nothing_staged
run_cli 0 "open again" open "$big._zkvlk" "${P[@]}"
check "  everything restored identical" cmp -s "$dir/big.sums" <(checksums "$big")
check "  container removed" [ ! -e "$big._zkvlk" ]
rm -rf "$big"

echo "== a classic container made by an earlier version"
fixtures="$(cd "$(dirname "$0")/../fixtures/classic" && pwd)"
old="$work/old"
mkdir -p "$old"
cp "$fixtures/Holiday._zkvlk" "$old/"
printf 'fixture password 7' >"$dir/fixture.pw"
run_cli 0 "open the earlier container" open "$old/Holiday._zkvlk" --password-file "$dir/fixture.pw"
check "  its tree comes back exactly (names, modes, ns times, links)" \
  cmp -s "$fixtures/Holiday.listing" <(cd "$old/Holiday" && find . -printf '%P %m %T@ %y %l\n' | LC_ALL=C sort)
check "  its files come back byte for byte" \
  cmp -s "$fixtures/Holiday.md5" <(cd "$old/Holiday" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum)
check "  the container is gone" [ ! -e "$old/Holiday._zkvlk" ]
rm -rf "$old"

echo "== a file-size limit"
limited="$work/limited"
mkdir "$limited"
for i in 1 2 3; do head -c $((2 * 1024 * 1024)) /dev/urandom >"$limited/part$i.bin"; done
checksums "$limited" >"$dir/limited.sums"
(
  ulimit -f 2048
  exec "$cli" protect "$limited" "${P[@]}" </dev/null >"$dir/out" 2>"$dir/err"
)
status=$?
check "protect beyond 'ulimit -f': exit 1 (got $status)" [ "$status" -eq 1 ]
check "  says Failed to lock" err_has "Failed to lock"
check "  no container left" [ ! -e "$limited._zkvlk" ]
check "  folder byte-identical" cmp -s "$dir/limited.sums" <(checksums "$limited")

echo "korvane-cli end-to-end: $failures failure(s) in $(($(date +%s) - started)) s"
exit $((failures > 0))
