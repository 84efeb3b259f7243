#!/usr/bin/env bash
# End-to-end checks of what korvane-cli offers scripts: the password from a
# command, machine-readable progress (--progress json), --quiet, and the exit
# status of a wrong password.
#
# Usage: korvane_scripting_test.sh BIN_DIR   (BIN_DIR holds korvane-cli)
set -u
bin="$(cd "${1:?usage: $0 BIN_DIR}" && pwd)"
export KORVANE_CLI_REAL="$bin/korvane-cli"
here="$(cd "$(dirname "$0")" && pwd)"
# Protections at the least key-derivation cost (see the script).
cli="$here/lib/korvane-cli-at-floor"
[ -x "$KORVANE_CLI_REAL" ] || { echo "FAIL: $KORVANE_CLI_REAL is missing"; exit 1; }
command -v python3 >/dev/null || { echo "SKIP: python3 is needed to read JSON"; exit 77; }

dir="$(mktemp -d)"
trap 'chmod -R u+rwx "$dir" 2>/dev/null; rm -rf "$dir"' EXIT
. "$here/lib/cli_checks.sh"

listing() { (cd "$1" && find . -printf '%P %m %T@ %y %l\n' | LC_ALL=C sort); }
same_tree() {
  [ -d "$2" ] && diff -r --no-dereference "$1" "$2" >/dev/null 2>&1 &&
    cmp -s <(listing "$1") <(listing "$2")
}

# json_check FILE KIND [NAME=VALUE...]: every line of FILE is one JSON object.
# KIND "run": progress objects with every field in range, bytes and files
# never going back, then exactly one summary, last. NAME=VALUE: a field of
# the summary must have that value (compared as text); "bytes_total~N": within
# one byte of N (the container counts its bytes in steps of two).
# KIND "messages": objects of type error, warning or info with a message.
json_check() {
  python3 - "$@" <<'PY'
import json, sys
path, kind, wants = sys.argv[1], sys.argv[2], sys.argv[3:]
lines = open(path, 'rb').read().decode('utf-8').splitlines()
objects = [json.loads(line) for line in lines]
def fail(why):
    print('   ', why, file=sys.stderr)
    sys.exit(1)
if kind == 'messages':
    for o in objects:
        if o.get('type') not in ('error', 'warning', 'info') or not isinstance(o.get('message'), str):
            fail('not a message: %r' % o)
    sys.exit(0)
if not objects or objects[-1].get('type') != 'summary':
    fail('no summary last')
if any(o.get('type') == 'summary' for o in objects[:-1]):
    fail('a summary before the last line')
fields = ['type', 'stage', 'percent', 'bytes_done', 'bytes_total', 'files_done', 'files_total', 'current',
          'seconds_elapsed', 'seconds_remaining']
last = None
for o in objects[:-1]:
    if list(o) != fields or o['type'] != 'progress':
        fail('fields: %r' % o)
    if not 0 <= o['percent'] <= 100 or not isinstance(o['current'], str):
        fail('out of range: %r' % o)
    if not 0 <= o['bytes_done'] <= o['bytes_total'] or not 0 <= o['files_done'] <= o['files_total']:
        fail('done beyond total: %r' % o)
    if o['seconds_elapsed'] < 0 or (o['seconds_remaining'] is not None and o['seconds_remaining'] < 0):
        fail('times: %r' % o)
    stages = ['scan', 'copy', 'verify']
    if o['stage'] not in stages:
        fail('stage: %r' % o)
    if last and (stages.index(o['stage']) < stages.index(last['stage'])
                 or o['seconds_elapsed'] < last['seconds_elapsed']
                 or (o['stage'] == last['stage'] and o['bytes_done'] < last['bytes_done'])):
        fail('went back: %r after %r' % (o, last))
    last = o
summary = objects[-1]
# Once the work is sized, every line gives the totals the run ends with.
for o in objects[:-1]:
    if o['stage'] != 'scan' and (o['files_total'], o['bytes_total']) != (
            summary['files_total'], summary['bytes_total']):
        fail('totals of %r differ from the summary' % o)
for want in wants:
    if '~' in want:
        name, value = want.split('~', 1)
        if abs(summary[name] - int(value)) > 1:
            fail('%s: %r, expected about %s' % (name, summary[name], value))
        continue
    name, value = want.split('=', 1)
    got = summary.get(name)
    if name == 'progress_lines':
        got = len(objects) - 1
        if got < int(value):
            fail('%d progress lines, expected at least %s' % (got, value))
        continue
    if name == 'last_percent':
        got = last['percent'] if last else None
    if str(got) != value:
        fail('%s: %r, expected %s' % (name, got, value))
PY
}

# A small tree with what a scripted run meets: files of one and of many
# blocks, an empty file, a link, an empty folder and names a JSON line must
# escape (a quote, a backslash, a control character, a byte that is not UTF-8).
tree="$dir/tree"
mkdir -p "$tree/sub/deeper" "$tree/empty"
head -c 200001 /dev/urandom >"$tree/many blocks.bin"
head -c 1000 /dev/urandom >"$tree/sub/one block.bin"
: >"$tree/sub/deeper/nothing"
printf 'odd\n' >"$tree/$(printf 'q"\\\001\377')"
ln -s "many blocks.bin" "$tree/sub/link"
touch -d '2001-02-03 04:05:06.070809101 UTC' "$tree/sub"
cp -a "$tree" "$dir/tree.ref"
tree_bytes=$(find "$tree" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
tree_files=$(find "$tree" ! -type d | wc -l)

password="correct horse 1"
printf '%s\n' "$password" >"$dir/pw"
printf 'second line is not part of it\n' >>"$dir/pw"
printf 'not the password\n' >"$dir/wrong.pw"

echo "== the password from a command, progress as JSON"
run_cli 0 "protect with --password-command 'cat F' --progress json" \
  protect "$tree" --password-command "cat '$dir/pw'" --progress json
check "  every line is JSON, a summary last" \
  json_check "$dir/out" run outcome=done exit_status=0 progress_lines=2 last_percent=100 \
  bytes_total="$tree_bytes" bytes_done="$tree_bytes" files_total="$tree_files" \
  files_done="$tree_files" container="$tree._zkvlk"
check "  no text line among them" bash -c "! grep -q '^protected' '$dir/out'"
check "  the folder is gone" [ ! -e "$tree" ]
cp "$tree._zkvlk" "$dir/container.copy"

echo "== a command that fails, prints nothing or cannot run"
for case in "exit 3|exited with status 3" "true|printed no password" \
  "printf '\\n'|printed no password" "$dir/no-such-program|exited with status 127"; do
  command="${case%%|*}"
  run_cli 2 "open with --password-command '$command'" open "$tree._zkvlk" --password-command "$command"
  check "  says why" err_has "${case#*|}"
done
check "  the container is as it was" cmp -s "$tree._zkvlk" "$dir/container.copy"
run_cli 2 "two password sources" open "$tree._zkvlk" --password-command "cat '$dir/pw'" \
  --password-file "$dir/pw"
run_cli 2 "--progress takes json only" open "$tree._zkvlk" --password-file "$dir/pw" --progress text
run_cli 2 "a failing command with --progress json" open "$tree._zkvlk" --password-command false \
  --progress json
check "  ends in a summary" json_check "$dir/out" run outcome=refused exit_status=2
check "  the reason as a JSON message" json_check "$dir/err" messages

echo "== a wrong password"
run_cli 4 "open" open "$tree._zkvlk" --password-file "$dir/wrong.pw"
check "  says so" err_has "Invalid password"
run_cli 4 "open --progress json" open "$tree._zkvlk" --password-command "cat '$dir/wrong.pw'" \
  --progress json
check "  the summary says refused" json_check "$dir/out" run outcome=refused exit_status=4
check "  the message is an error object" json_check "$dir/err" messages
check "  naming the refusal" err_has '{"type":"error","message":"Invalid password: '
run_cli 4 "verify" verify "$tree._zkvlk" --password-file "$dir/wrong.pw"
check "  the container is as it was" cmp -s "$tree._zkvlk" "$dir/container.copy"
run_cli 4 "passwd" passwd "$tree._zkvlk" --password-file "$dir/wrong.pw" \
  --new-password-command "echo a new password"
run_cli 0 "verify with the password from a command" verify "$tree._zkvlk" \
  --password-command "cat '$dir/pw'" --quiet
check "  the result line stays with --quiet" grep -q "^sound: $tree._zkvlk (" "$dir/out"

echo "== open exactly"
mkdir -p "$tree"
run_cli 0 "open with --password-command --progress json --yes --quiet" \
  open "$tree._zkvlk" --password-command "cat '$dir/pw'" --progress json --yes --quiet
check "  every line is JSON, a summary last" \
  json_check "$dir/out" run outcome=done exit_status=0 progress_lines=2 last_percent=100 \
  bytes_total="$tree_bytes" files_total="$tree_files" files_done="$tree_files" folder="$tree"
check "  --quiet leaves out what --yes answered" bash -c "! grep -q 'answered OK' '$dir/err'"
check "  the tree is back exactly" same_tree "$dir/tree.ref" "$tree"
check "  the container is gone" [ ! -e "$tree._zkvlk" ]

echo "== without --progress json nothing changes"
run_cli 0 "protect --keep-files" protect "$tree" --password-command "cat '$dir/pw'" --keep-files
check "  prints its line" out_is "protected $tree -> $tree._zkvlk"
run_cli 0 "passwd with both passwords from commands" passwd "$tree._zkvlk" \
  --password-command "cat '$dir/pw'" --new-password-command "printf 'new password 2\\r\\nrest'"
printf 'new password 2' >"$dir/new.pw"
run_cli 0 "  the new password (the first line, without CR LF) opens" open "$tree._zkvlk" \
  --password-file "$dir/new.pw" --yes
check "  its two lines" out_is "restored $tree
opened $tree._zkvlk -> $tree"

echo "== names a JSON line must escape"
odd="$dir/$(printf 'q"\\\001\377 x')"
mkdir -p "$odd" && printf 'x\n' >"$odd/x"
run_cli 0 "protect a folder with an odd name" protect "$odd" --password-file "$dir/pw" \
  --keep-files --progress json
check "  the summary names it (U+FFFD for the byte that is not UTF-8)" python3 -c '
import json, sys
summary = json.loads(open(sys.argv[1], "rb").read().decode("utf-8").splitlines()[-1])
sys.exit(0 if summary["folder"].endswith("/q\"\\\x01\ufffd x") else 1)' "$dir/out"

echo "korvane-cli scripting: $failures failure(s) in $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ]
