# The checks the korvane-cli end-to-end scripts share. Source it after
# setting $cli (the program) and $dir (a scratch folder); it keeps the count
# of failures in $failures and the time the script started in $started.
# Each script isolates itself from the person running it the same way.
export XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" XDG_RUNTIME_DIR="$dir/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_RUNTIME_DIR"
started=$(date +%s)

failures=0
pass() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# check WHAT COMMAND...: one line for the check, by the command's status.
check() {
  local what="$1"
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# run_cli STATUS WHAT ARGS...: runs korvane-cli without a terminal and checks the
# exit status; its output stays in $dir/out and $dir/err.
run_cli() {
  local want="$1" what="$2"
  shift 2
  "$cli" "$@" </dev/null >"$dir/out" 2>"$dir/err"
  local got=$?
  if [ "$got" -eq "$want" ]; then
    pass "$what (exit $got)"
  else
    fail "$what: exit $got, expected $want; stderr: $(head -c 600 "$dir/err")"
  fi
}
err_has() { grep -qF -- "$1" "$dir/err"; }
out_is() { [ "$(cat "$dir/out")" = "$1" ]; }
