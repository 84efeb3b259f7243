#!/usr/bin/env bash
# Acceptance test of `korvane` on a real terminal: tmux runs the program, the
# test types into it as a person would and reads the screen.
#
#   korvane_tty_test.sh PATH/TO/korvane
#
# Exits 77 (skipped) when tmux is not installed, non-zero on any failure.
set -u
# The terminal front-end even on a desktop session.
export KORVANE_UI=tty

if ! command -v tmux >/dev/null 2>&1; then
  echo "SKIP: tmux is not installed"
  exit 77
fi
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 PATH/TO/korvane" >&2
  exit 2
fi
korvane="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
unset TMUX  # our own server, even when run from inside tmux

work="$(mktemp -d)"
sock="$work/tmux.sock"
data="$work/data"
mkdir -p "$data" "$work/config" "$work/state" "$work/runtime"
chmod 0700 "$work/runtime"

tm() { tmux -S "$sock" "$@"; }
cleanup() {
  tm kill-server >/dev/null 2>&1
  chmod -R u+rwx "$work" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
checks=0
ok() {
  checks=$((checks + 1))
  echo "  ok: $*"
}
fail() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  echo "  FAIL: $*"
}
check() {  # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
step() { echo "== $*"; }

# The program runs through this wrapper: in the data folder, with settings
# and run lock in the test's own folders, without a desktop (so the
# clipboard and "open" fall back to their terminal forms), and with the
# terminal's mode saved before and after so that a mode left behind shows.
cat >"$work/run.sh" <<EOF
#!/bin/sh
# Ctrl-C goes to the whole foreground group; the wrapper outlives it so
# that korvane's own exit status is what the pane reports.
trap ':' INT
cd "$data" || exit 99
stty -g >"$work/stty.before" 2>/dev/null
env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \\
  XDG_RUNTIME_DIR="$work/runtime" "$korvane" "\$@"
status=\$?
stty -g >"$work/stty.after" 2>/dev/null
echo \$status >"$work/exit.status.new" && mv "$work/exit.status.new" "$work/exit.status"
exit \$status
EOF
chmod +x "$work/run.sh"

cat >"$work/tmux.conf" <<'EOF'
set -g remain-on-exit on
set -g history-limit 20000
set -s escape-time 0
EOF

session=0
current=""
# start ARGS...: a new 120x40 terminal running korvane ARGS.
start() {
  session=$((session + 1))
  current="k$session"
  rm -f "$work/stty.before" "$work/stty.after" "$work/exit.status"
  local command="$work/run.sh"
  local arg
  for arg in "$@"; do command+=" $(printf '%q' "$arg")"; done
  tm -f "$work/tmux.conf" new-session -d -s "$current" -x 120 -y 40 "$command"
}
screen() { tm capture-pane -p -J -S - -t "$current" 2>/dev/null; }
show_screen() {
  echo "  ---- screen of $current ----"
  screen | sed -e '/^$/d' -e 's/^/  | /' | tail -40
  echo "  ---------------------------"
}
# wait_for TEXT [COUNT] [SECONDS]: until TEXT is on COUNT lines of the screen.
wait_for() {
  local text="$1" count="${2:-1}" seconds="${3:-20}"
  local deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -le "$deadline" ]; do
    if [ "$(screen | grep -c -F -- "$text")" -ge "$count" ]; then return 0; fi
    sleep 0.1
  done
  fail "\"$text\" did not appear (x$count) within ${seconds}s"
  show_screen
  return 1
}
# type TEXT: types the text literally and presses Enter.
type_line() {
  tm send-keys -t "$current" -l -- "$1"
  tm send-keys -t "$current" Enter
}
press() { tm send-keys -t "$current" "$@"; }
# wait_exit [SECONDS]: until the program ended; its exit status in $status.
# The wrapper writes it (tmux may mark the pane dead before it has the status).
status=""
wait_exit() {
  local seconds="${1:-60}"
  local deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -le "$deadline" ]; do
    if [ -f "$work/exit.status" ]; then
      status="$(cat "$work/exit.status")"
      return 0
    fi
    sleep 0.1
  done
  status="running"
  fail "korvane did not end within ${seconds}s"
  show_screen
  return 1
}
on_screen() { screen | grep -q -F -- "$1"; }
not_on_screen() { ! on_screen "$1"; }
same_tree() { diff -r --no-dereference "$1" "$2" >/dev/null; }
cannot_write() { ! { printf 'x' >"$1"; } 2>/dev/null; }
terminal_mode_kept() {
  [ -s "$work/stty.before" ] && cmp -s "$work/stty.before" "$work/stty.after"
}

# ---------------------------------------------------------------- the folders
make_small_tree() {
  mkdir -p "$1/sub/deeper" "$1/empty"
  printf 'hello\n' >"$1/a.txt"
  : >"$1/zero"
  head -c 300000 /dev/urandom >"$1/sub/random.bin"
  yes "compressible line" | head -c 200000 >"$1/sub/deeper/words.txt"
  printf 'hidden\n' >"$1/.hidden"
  printf 'unicode\n' >"$1/$(printf 'caf\303\251 \346\227\245\346\234\254')"
  # A name holding a terminal escape sequence: it must be shown, not obeyed.
  printf 'escape\n' >"$1/$(printf 'title\033]0;owned\007.txt')"
}

password='s3cret wörd'
step "--help and --version are answered before anything else"
out="$("$korvane" --help)"
check "--help exits 0 with a usage text" test $? -eq 0 -a -n "$(printf '%s' "$out" | grep 'Usage: korvane -PROTECT')"
out="$("$korvane" --version)"
check "--version exits 0 and names the program" test $? -eq 0 -a -n "$(printf '%s' "$out" | grep '^korvane ')"

step "protect: a refused confirmation asks again; then the folder becomes its container"
make_small_tree "$data/secret"
cp -a "$data/secret" "$work/secret.copy"
start -PROTECT secret
if wait_for "Enter password:"; then
  check "the window shows the folder to protect" on_screen "Folder to protect: $data/secret"
  type_line "$password"
  wait_for "Confirm password:" && type_line "something else"
  wait_for "Enable file compression [Y/n]" && press Enter
  wait_for "Do not delete original files (just copy to protected folder) [y/N]" && press Enter
  wait_for "Enable password recovery facility [Y/n]" && press Enter
  wait_for "Compatible with older versions (weaker protection) [y/N]" && press Enter
  wait_for "Protect this folder? [Y/n]" && press Enter
  wait_for "Passwords don't match" && wait_for "Press Enter to continue" && press Enter
  check "the folder is untouched after the refusal" same_tree "$data/secret" "$work/secret.copy"
  wait_for "Enter password:" 2 && type_line "$password"
  wait_for "Confirm password:" 2 && type_line "$password"
  wait_for "Enable file compression [Y/n]" 2 && press Enter
  wait_for "Do not delete original files" 2 && press Enter
  wait_for "Enable password recovery facility [Y/n]" 2 && press Enter
  wait_for "Compatible with older versions (weaker protection) [y/N]" 2 && press Enter
  wait_for "Protect this folder? [Y/n]" 2 && press Enter
  wait_exit 60
  check "korvane exits 0 (status $status)" test "$status" = 0
  check "the container exists" test -f "$data/secret._zkvlk"
  check "the folder is gone" test ! -e "$data/secret"
  check "the person is told the folder is protected" on_screen "Folder protected: $data/secret._zkvlk"
  check "passwords are masked: one '*' per character" on_screen "Enter password: ***********"
  check "the password never shows" not_on_screen "s3cret"
fi

step "browse: the folder shown read-only until Enter, the container unchanged"
if [ ! -w /dev/fuse ] || ! command -v fusermount3 >/dev/null 2>&1; then
  echo "  skipped: no FUSE here (/dev/fuse, fusermount3)"
elif [ -f "$data/secret._zkvlk" ]; then
  container_sum="$(sha256sum <"$data/secret._zkvlk")"
  browsed="$work/runtime/korvane/secret"
  start -BROWSE secret._zkvlk
  if wait_for "Folder password:"; then
    type_line "$password"
    if wait_for "secret is open for browsing, read-only" 1 60; then
      check "the mount shows the folder as it was" same_tree "$work/secret.copy" "$browsed"
      check "nothing can be written there" cannot_write "$browsed/new"
      wait_for "Press Enter to end the browse" && press Enter
      wait_exit 30
      check "korvane exits 0 (status $status)" test "$status" = 0
      check "the mount folder is gone" test ! -e "$browsed"
      check "the container is unchanged" test "$(sha256sum <"$data/secret._zkvlk")" = "$container_sum"
      check "nothing was restored" test ! -e "$data/secret"
    fi
  fi
fi

step "open: a wrong password is refused, the access code opens the request, the right one restores"
start -OPEN secret._zkvlk
if wait_for "Folder password:"; then
  check "the window shows the folder to open" on_screen "Folder to open: $data/secret"
  type_line "not the password"
  wait_for "Invalid password" && wait_for "Press Enter to continue" && press Enter
  check "the container is untouched after a wrong password" test -f "$data/secret._zkvlk"
  wait_for "Folder password:" 2 && type_line 'QZ%7431$'
  if wait_for "Request" && wait_for "Read the terms? [y/N]"; then
    ok "the access code opens the request window"
    press Enter
    wait_for "I have read and agree to the Korvane Password Recovery Terms and Conditions. [y/N]" &&
      type_line y
    wait_for "Copy to clipboard? [y/N]"
    check "the request names the support address" on_screen "recovery@korvane.example"
    check "the request holds the password cipher text" on_screen "Folder password cipher text is"
    press Enter
    wait_for "Write an e-mail now? [y/N]" && press Enter
  fi
  wait_for "Folder password:" 3 && type_line "$password"
  wait_exit 60
  check "korvane exits 0 (status $status)" test "$status" = 0
  check "the folder is restored identical" same_tree "$data/secret" "$work/secret.copy"
  check "the container is gone" test ! -e "$data/secret._zkvlk"
  check "the person is told the folder is restored" on_screen "Folder restored: $data/secret"
fi

step "OK/Cancel questions default to Cancel: Enter does not overwrite an existing container"
make_small_tree "$data/again"
printf 'an older container\n' >"$data/again._zkvlk"
cp "$data/again._zkvlk" "$work/again.container.copy"
start -PROTECT again
if wait_for "Enter password:"; then
  type_line "$password"
  wait_for "Confirm password:" && type_line "$password"
  for question in "Enable file compression" "Do not delete original files" \
    "Enable password recovery facility" "Compatible with older versions" "Protect this folder?"; do
    wait_for "$question" && press Enter
  done
  wait_for "already exists" && wait_for "[O]K or [C]ancel?" && press Enter
  wait_exit 30
  check "korvane exits 0 (status $status)" test "$status" = 0
  check "the existing container is untouched" cmp -s "$data/again._zkvlk" "$work/again.container.copy"
  check "the folder is untouched" test -f "$data/again/a.txt"
fi

step "names are shown, never obeyed; Ctrl-C at a password prompt cancels and restores the terminal"
# A folder name holding an escape sequence that would retitle the window.
odd="$(printf 'vault\033]2;owned\007')"
make_small_tree "$data/$odd"
start -PROTECT "$odd"
if wait_for "Enter password:"; then
  check "the name's control characters are shown as '?'" on_screen "Folder to protect: $data/vault?]2;owned?"
  check "the terminal did not obey the escape sequence" \
    test "$(tm display-message -p -t "$current" '#{pane_title}')" != owned
  tm send-keys -t "$current" -l -- "abc"
  press C-c
  wait_exit 20
  check "korvane exits 0 (status $status)" test "$status" = 0
  check "the terminal mode is restored" terminal_mode_kept
  check "the folder is untouched" test -f "$data/$odd/a.txt"
  check "no container was made" test ! -e "$data/$odd._zkvlk"
fi

step "Ctrl-C at a yes/no question (an interrupt, not a key) cancels the window"
start -PROTECT again
if wait_for "Enter password:"; then
  type_line "$password"
  wait_for "Confirm password:" && type_line "$password"
  wait_for "Enable file compression [Y/n]" && press C-c
  wait_exit 20
  check "korvane exits 0 (status $status)" test "$status" = 0
  check "the window was cancelled at once" not_on_screen "Do not delete original files"
  check "the terminal mode is restored" terminal_mode_kept
  check "the folder is untouched" test -f "$data/again/a.txt"
  check "the old container is untouched" cmp -s "$data/again._zkvlk" "$work/again.container.copy"
fi

step "Ctrl-C while the progress line runs cancels the protection"
mkdir -p "$data/large/inner"
for i in 1 2 3; do head -c $((80 * 1024 * 1024)) /dev/urandom >"$data/large/part$i.bin"; done
printf 'small\n' >"$data/large/inner/small.txt"
(cd "$data/large" && find . -type f -exec sha256sum {} + | sort -k 2) >"$work/large.sums"
start -PROTECT large
if wait_for "Enter password:"; then
  type_line "$password"
  wait_for "Confirm password:" && type_line "$password"
  for question in "Enable file compression" "Do not delete original files" \
    "Enable password recovery facility" "Compatible with older versions" "Protect this folder?"; do
    wait_for "$question" && press Enter
  done
  if wait_for "%  Copying file" 1 60; then
    press C-c
    wait_exit 120
    check "korvane exits 0 (status $status)" test "$status" = 0
    check "the progress line says it is cancelling" on_screen "Cancelling..."
    check "the person is told the folder was left as it was" on_screen "Cancelled."
    check "the container is gone" test ! -e "$data/large._zkvlk"
    check "the folder is byte-identical" \
      cmp -s "$work/large.sums" <(cd "$data/large" && find . -type f -exec sha256sum {} + | sort -k 2)
  fi
fi

step "Ctrl-C while a folder is being restored keeps the container"
start -PROTECT large
if wait_for "Enter password:"; then
  type_line "$password"
  wait_for "Confirm password:" && type_line "$password"
  for question in "Enable file compression" "Do not delete original files" \
    "Enable password recovery facility" "Compatible with older versions" "Protect this folder?"; do
    wait_for "$question" && press Enter
  done
  wait_exit 120
  check "the large folder is protected first (status $status)" test -f "$data/large._zkvlk" -a ! -e "$data/large"
fi
if [ -f "$data/large._zkvlk" ]; then
  container_sum="$(sha256sum <"$data/large._zkvlk")"
  start -OPEN large._zkvlk
  if wait_for "Folder password:"; then
    type_line "$password"
    if wait_for "%  Copying file" 1 60; then
      press C-c
      wait_exit 60
      check "korvane exits 0 (status $status)" test "$status" = 0
      check "the person is told the container was kept" on_screen "Cancelled. The protected folder was kept"
      check "the container is unchanged" test "$(sha256sum <"$data/large._zkvlk")" = "$container_sum"
    fi
  fi
fi
rm -rf "$data/large" "$data/large._zkvlk"

step "a file that is not a protected folder can only be cancelled"
head -c 5000 /dev/urandom >"$data/junk._zkvlk"
cp "$data/junk._zkvlk" "$work/junk.copy"
start -OPEN junk._zkvlk
if wait_for "not a valid protected folder"; then
  wait_for "Press Enter to continue" && press Enter
  wait_exit 20
  check "korvane exits 0 (status $status)" test "$status" = 0
  check "the file is untouched" cmp -s "$data/junk._zkvlk" "$work/junk.copy"
fi

step "any other command line is the update-settings mode"
start
if wait_for "must be run from drop-down menu of the file manager"; then
  press Enter
  wait_for "Update Settings" && wait_for "Press Enter to continue" 2 && press Enter
  wait_exit 20
  check "korvane exits 0 (status $status)" test "$status" = 0
fi

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
