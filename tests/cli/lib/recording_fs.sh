# Shared by the end-to-end scripts that run korvane-cli on the tests'
# recording file system (record_fs). Source it after setting `record_fs`
# (the program); it makes a scratch folder `dir` (removed on exit) with the
# folder below the mount `$dir/back` (holding `box/`), the mount point
# `$dir/mnt`, and XDG folders of its own.
dir="$(mktemp -d)"
fs_pid=""
# unmount: ends the recording file system, if it runs.
unmount() {
  if [ -n "$fs_pid" ]; then
    fusermount3 -u "$dir/mnt" 2>/dev/null || umount "$dir/mnt" 2>/dev/null
    wait "$fs_pid" 2>/dev/null
    fs_pid=""
  fi
}
cleanup() {
  unmount
  chmod -R u+rwx "$dir" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" XDG_RUNTIME_DIR="$dir/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_RUNTIME_DIR" "$dir/mnt" "$dir/back/box"

# mount_recording LOG: record_fs over $dir/back at $dir/mnt, logging to LOG
# (/dev/null for none). Exits 77 (skipped) where FUSE cannot mount.
mount_recording() {
  "$record_fs" "$dir/back" "$dir/mnt" "$1" 2>"$dir/fs.err" &
  fs_pid=$!
  for _ in $(seq 1 100); do
    mountpoint -q "$dir/mnt" && return 0
    kill -0 "$fs_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "SKIP: cannot mount the recording file system (FUSE): $(head -c 300 "$dir/fs.err")"
  exit 77
}
