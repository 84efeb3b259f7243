#!/usr/bin/env bash
# End-to-end checks of korvane-cli under hostile and unlucky input: container
# names that point elsewhere, links and mounts inside the folder, links
# planted where the container goes, setuid files, a restore that fails over
# an existing folder, the folder's own *.service files, entries the user
# cannot remove, and very deep trees with a stop signal. Each case uses a
# small fixture of its own and checks that nobody's data was lost.
#
# Usage: korvane_hostile_test.sh BIN_DIR   (BIN_DIR holds korvane-cli and
# vaultfs). Cases that need root (a bind mount, a second user) are skipped
# without it.
set -u
bin="$(cd "${1:?usage: $0 BIN_DIR}" && pwd)"
export KORVANE_CLI_REAL="$bin/korvane-cli"
[ -x "$KORVANE_CLI_REAL" ] || { echo "FAIL: $KORVANE_CLI_REAL is missing"; exit 1; }
# Protections at the least key-derivation cost (see the script).
cli="$(cd "$(dirname "$0")" && pwd)/lib/korvane-cli-at-floor"
vaultfs="$bin/vaultfs"
for tool in "$cli" "$vaultfs"; do
  [ -x "$tool" ] || { echo "FAIL: $tool is missing"; exit 1; }
done

dir="$(mktemp -d)"
mounts=()
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  chmod -R u+rwx "$dir" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
# Another user must be able to reach the fixtures of the second-user case.
chmod 0711 "$dir"
. "$(dirname "$0")/lib/cli_checks.sh"
# A listing of a tree with contents, for before/after comparisons.
snapshot() { (cd "$1" && find . -printf '%P %m %s %y %l\n' | LC_ALL=C sort && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r md5sum); }
same_as() { cmp -s "$1" <(snapshot "$2"); }
# Nothing a workflow stages beside the data may stay behind.
no_staged() { ! ls -A "$1" | grep -q '\.korvane-'; }

printf 'tobel5931' >"$dir/storage.pw"
S=(--storage-password-file "$dir/storage.pw")
printf 'correct horse 1\n' >"$dir/pw"
P=(--password-file "$dir/pw")
chmod 0644 "$dir/pw" "$dir/storage.pw"
is_root=0
[ "$(id -u)" -eq 0 ] && is_root=1

echo "== the folder is the container's name without its final suffix"
w="$dir/names"
mkdir -p "$w/old._zkvlk.d/f" "$w/old"
echo "keep me" >"$w/old/work.txt"
echo "inner" >"$w/old._zkvlk.d/f/inner.txt"
run_cli 0 "protect old._zkvlk.d/f" protect "$w/old._zkvlk.d/f" "${P[@]}"
run_cli 0 "open old._zkvlk.d/f._zkvlk" open "$w/old._zkvlk.d/f._zkvlk" "${P[@]}" --yes
check "restored into old._zkvlk.d/f" [ "$(cat "$w/old._zkvlk.d/f/inner.txt" 2>/dev/null)" = inner ]
check "the sibling old/ is untouched" [ "$(cat "$w/old/work.txt" 2>/dev/null)" = "keep me" ]
# A real container under names whose folder part is "..", "." or empty.
mkdir -p "$w/p/q" && echo "parent file" >"$w/p/keep.txt" && echo "q file" >"$w/p/q/keep.txt"
mkdir "$w/src" && echo x >"$w/src/x"
run_cli 0 "protect a small folder" protect "$w/src" "${P[@]}"
for name in "..._zkvlk" "._zkvlk" "q/.._zkvlk"; do
  cp "$w/src._zkvlk" "$w/p/$name" 2>/dev/null || continue
  before="$(snapshot "$w/p")"
  run_cli 1 "open '$name' is refused" open "$w/p/$name" "${P[@]}" --yes
  check "'$name': the message says there is no folder name" err_has "no folder name"
  check "'$name': nothing changed" [ "$before" = "$(snapshot "$w/p")" ]
  rm -f "$w/p/$name"
done
if [ "$is_root" -eq 1 ]; then
  # A folder name that is a mount of the folder holding the container.
  mkdir -p "$w/holder/inner"
  cp "$w/src._zkvlk" "$w/holder/inner._zkvlk"
  if mount --bind "$w/holder" "$w/holder/inner" 2>/dev/null; then
    mounts+=("$w/holder/inner")
    run_cli 1 "open into a folder that holds the container is refused" \
      open "$w/holder/inner._zkvlk" "${P[@]}" --yes
    check "the container is still there" [ -f "$w/holder/inner._zkvlk" ]
    umount "$w/holder/inner" && mounts=()
  else
    echo "skip: bind mounts are not possible here"
  fi
fi

echo "== links and mounts inside the folder"
w="$dir/links"
mkdir -p "$w/outside" "$w/F/sub"
for i in $(seq 1 50); do echo "outside $i" >"$w/outside/o$i"; done
ln -s "$w/outside" "$w/F/link-to-outside"
echo data >"$w/F/sub/d"
snapshot "$w/outside" >"$dir/outside.before"
run_cli 0 "protect a folder holding a link to an outside folder" protect "$w/F" "${P[@]}"
check "the outside folder is untouched" same_as "$dir/outside.before" "$w/outside"
run_cli 0 "open it again" open "$w/F._zkvlk" "${P[@]}"
check "the link came back as a link" [ -L "$w/F/link-to-outside" ]
# A subfolder swapped for a link to the outside folder while protect runs.
for i in $(seq 1 3000); do echo "$i" >"$w/F/sub/f$i"; done
(
  while [ ! -e "$w/F._zkvlk" ] && ! ls -A "$w" | grep -q 'korvane-partial'; do sleep 0.01; done
  # As soon as the container is being written: the subfolder moves away
  # and a link to the outside folder takes its name.
  mv "$w/F/sub" "$w/sub.moved" && ln -s "$w/outside" "$w/F/sub"
) &
racer=$!
pids+=("$racer")
"$cli" protect "$w/F" "${P[@]}" </dev/null >"$dir/out" 2>"$dir/err"
wait "$racer" 2>/dev/null
check "a swapped subfolder never leads the deletion outside" same_as "$dir/outside.before" "$w/outside"
check "the moved subfolder kept its files" [ "$(ls "$w/sub.moved" 2>/dev/null | wc -l)" -eq 3001 ]
rm -rf "$w/F" "$w/F._zkvlk" "$w/sub.moved"
if [ "$is_root" -eq 1 ]; then
  mkdir -p "$w/G/mnt" "$w/source"
  for i in $(seq 1 20); do echo "source $i" >"$w/source/s$i"; done
  echo g >"$w/G/g.txt"
  snapshot "$w/source" >"$dir/source.before"
  if mount --bind "$w/source" "$w/G/mnt" 2>/dev/null; then
    mounts+=("$w/G/mnt")
    run_cli 1 "a folder holding a bind mount is refused" protect "$w/G" "${P[@]}"
    check "the message names the mount point" err_has "mnt"
    check "no container, nothing staged" bash -c "[ ! -e '$w/G._zkvlk' ] && ! ls -A '$w' | grep -q korvane-"
    umount "$w/G/mnt" && mounts=()
    check "the mount's source is untouched" same_as "$dir/source.before" "$w/source"
    check "the folder is untouched" [ -f "$w/G/g.txt" ]
  else
    echo "skip: bind mounts are not possible here"
  fi
fi

echo "== links at the container's name"
w="$dir/planted"
mkdir -p "$w/H"
echo "victim's own text" >"$w/victim"
for i in $(seq 1 200); do head -c 20000 /dev/urandom >"$w/H/r$i"; done
snapshot "$w/H" >"$dir/H.before"
ln -s "$w/victim" "$w/H._zkvlk"
run_cli 1 "a link at the container's name needs --yes" protect "$w/H" "${P[@]}"
run_cli 0 "with --yes the link is replaced, not followed" protect "$w/H" "${P[@]}" --yes --keep-files
check "the link's target is untouched" [ "$(cat "$w/victim")" = "victim's own text" ]
check "the container is a regular file now" bash -c "[ -f '$w/H._zkvlk' ] && [ ! -L '$w/H._zkvlk' ]"
rm -f "$w/H._zkvlk"
# A link planted while protect works: the container never goes through it.
(
  while ! ls -A "$w" | grep -q 'korvane-partial'; do sleep 0.005; done
  ln -s "$w/victim" "$w/H._zkvlk"
) &
racer=$!
pids+=("$racer")
run_cli 1 "a link planted during protect stops it" protect "$w/H" "${P[@]}"
wait "$racer" 2>/dev/null
check "the message says something appeared" err_has "appeared"
check "the planted link's target is untouched" [ "$(cat "$w/victim")" = "victim's own text" ]
check "the folder is untouched" same_as "$dir/H.before" "$w/H"
check "nothing staged is left" no_staged "$w"

echo "== setuid and setgid bits never come back"
w="$dir/setid"
mkdir -p "$w/J"
cp /bin/true "$w/J/tool"
chmod 6755 "$w/J/tool"
chmod 2775 "$w/J"
[ "$is_root" -eq 1 ] && chown 65534:65534 "$w/J/tool" && chmod 6755 "$w/J/tool"
run_cli 0 "protect a folder with a setuid program" protect "$w/J" "${P[@]}"
run_cli 0 "open it" open "$w/J._zkvlk" "${P[@]}"
check "no setuid or setgid bit on the file" [ "$(stat -c %a "$w/J/tool")" = 755 ]
check "no setgid bit on the folder" [ "$(stat -c %a "$w/J")" = 775 ]
check "the opening says how many lost the bits" err_has "setuid or setgid"

echo "== a failed restore keeps the existing folder"
w="$dir/restore"
mkdir -p "$w/K"
echo "secret" >"$w/K/s.txt"
# The classic layout: its hash record can be set apart from the files.
run_cli 0 "protect K" protect "$w/K" "${P[@]}" --classic
mkdir -p "$w/K" && echo "newer work" >"$w/K/new.txt"
snapshot "$w/K" >"$dir/K.before"
# The hash record says "other password"; the files are under the first one.
printf '%s' "$(printf 'other password' | md5sum | cut -c1-32)" >"$dir/hash"
"$vaultfs" put "$w/K._zkvlk" "$dir/hash" '/_SERVICE/$%hash%$.service' "${S[@]}" >/dev/null 2>&1
printf 'other password' >"$dir/pw2"
cp "$w/K._zkvlk" "$dir/K.copy"
run_cli 1 "a restore that fails" open "$w/K._zkvlk" --password-file "$dir/pw2" --yes
check "the existing folder is as it was" same_as "$dir/K.before" "$w/K"
check "the container is as it was" cmp -s "$dir/K.copy" "$w/K._zkvlk"
check "no restore folder is left" no_staged "$w"
mv "$w/K" "$w/K.aside"
ln -s "$w/nowhere" "$w/K"
run_cli 1 "a dangling link at the folder's name is refused" open "$w/K._zkvlk" --password-file "$dir/pw2"
check "the link is still a link and led nowhere" bash -c "[ -L '$w/K' ] && [ ! -e '$w/nowhere' ]"

echo "== the folder's own *.service files are data"
w="$dir/service"
mkdir -p "$w/L"
echo "bank PIN 4711" >"$w/L/notes.service"
run_cli 0 "protect a folder with notes.service" protect "$w/L" "${P[@]}" --classic
"$vaultfs" ls "$w/L._zkvlk" /_SERVICE "${S[@]}" >"$dir/ls" 2>&1
check "_SERVICE holds only the records" bash -c "! grep -q notes '$dir/ls' && grep -q 'size' '$dir/ls'"
check "the public storage password shows no PIN" \
  bash -c "! '$vaultfs' cat '$w/L._zkvlk' /DATA/notes.service ${S[*]} 2>/dev/null | grep -q 4711"
run_cli 0 "open it" open "$w/L._zkvlk" "${P[@]}"
check "notes.service comes back" [ "$(cat "$w/L/notes.service")" = "bank PIN 4711" ]

if [ "$is_root" -eq 1 ] && command -v setpriv >/dev/null; then
  echo "== entries the user cannot remove"
  w="$dir/perm"
  mkdir -p "$w/M/rootsub"
  echo "mine" >"$w/M/mine.txt"
  echo "root's" >"$w/M/rootsub/plain.txt"
  chown -R 65534:65534 "$w" && chown -R 0:0 "$w/M/rootsub"
  chmod 0755 "$w" "$w/M" "$w/M/rootsub"
  snapshot "$w/M" >"$dir/M.before"
  nobody_env=(env -i PATH=/usr/bin:/bin HOME="$w" XDG_CONFIG_HOME="$w/.c" XDG_RUNTIME_DIR="$w/.r"
    KORVANE_CLI_REAL="$KORVANE_CLI_REAL")
  setpriv --reuid=65534 --regid=65534 --clear-groups "${nobody_env[@]}" \
    "$cli" protect "$w/M" "${P[@]}" </dev/null >"$dir/out" 2>"$dir/err"
  got=$?
  check "protect by a user who cannot remove rootsub exits 1 (got $got)" [ "$got" -eq 1 ]
  check "the message names rootsub" err_has "rootsub"
  check "no container" [ ! -e "$w/M._zkvlk" ]
  check "the folder is untouched" same_as "$dir/M.before" "$w/M"
else
  echo "skip: the second-user case needs root and setpriv"
fi

levels="${KORVANE_DEEP_LEVELS:-10000}"
echo "== a very deep tree ($levels levels)"
w="$dir/deep"
mkdir -p "$w"
python3 - "$w/N" "$levels" <<'PY'
import os, sys
top, depth = sys.argv[1], int(sys.argv[2])
os.mkdir(top)
fd = os.open(top, os.O_RDONLY)
for i in range(depth):
    os.mkdir("d", dir_fd=fd)
    if i % 1000 == 0:
        with open(os.open("f", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "w") as f:
            f.write("level %d\n" % i)
    nfd = os.open("d", os.O_RDONLY, dir_fd=fd)
    os.close(fd)
    fd = nfd
os.close(fd)
PY
count_deep() { find "$w/N" 2>/dev/null | wc -l; }
before=$(count_deep)
t0=$(date +%s)
run_cli 0 "protect $levels nested folders" protect "$w/N" "${P[@]}"
t1=$(date +%s)
echo "note: protect of $levels levels took $((t1 - t0)) s"
check "the folder is gone" [ ! -e "$w/N" ]
run_cli 0 "open them again" open "$w/N._zkvlk" "${P[@]}"
echo "note: open of $levels levels took $(($(date +%s) - t1)) s"
last=$(((levels - 1) / 1000 * 1000))
check "the file of level $last came back" bash -c "python3 -c \"
import os
fd = os.open('$w/N', os.O_RDONLY)
for i in range($last):
    n = os.open('d', os.O_RDONLY, dir_fd=fd); os.close(fd); fd = n
print(open(os.open('f', os.O_RDONLY, dir_fd=fd)).read(), end='')
\" 2>/dev/null | grep -qx 'level $last'"
check "every folder came back" [ "$(count_deep)" -eq "$before" ]
# A stop signal at any moment of a deep protection: answered within a
# second, nothing lost, nothing left behind.
for delay in 0.3 1 2; do
  [ -d "$w/N" ] || "$cli" open "$w/N._zkvlk" "${P[@]}" </dev/null >/dev/null 2>&1
  "$cli" protect "$w/N" "${P[@]}" </dev/null >"$dir/out" 2>"$dir/err" &
  pid=$!
  pids+=("$pid")
  sleep "$delay"
  # A watchdog ends a run that does not answer at all.
  (sleep 20 && kill -KILL "$pid") 2>/dev/null &
  watchdog=$!
  kill -TERM "$pid" 2>/dev/null
  sent=$(date +%s%N)
  wait "$pid"
  status=$?
  waited=$((($(date +%s%N) - sent) / 1000000))
  kill "$watchdog" 2>/dev/null
  echo "note: SIGTERM after $delay s answered in $waited ms (exit $status)"
  check "SIGTERM after $delay s ends protect within a second" [ "$waited" -lt 1000 ]
  if [ "$status" -eq 3 ]; then
    check "cancelled: nothing half-made is left" \
      bash -c "{ [ ! -e '$w/N._zkvlk' ] && ! ls -A '$w' | grep -q korvane-; } || '$cli' info '$w/N._zkvlk' >/dev/null"
    check "cancelled: the folder is whole, or the container is" \
      bash -c "[ \"\$(find '$w/N' 2>/dev/null | wc -l)\" -eq $before ] || [ -f '$w/N._zkvlk' ]"
  else
    check "finished before the signal (exit $status): the container is there" [ -f "$w/N._zkvlk" ]
  fi
done
# SIGKILL leaves at most a staged container, which the next run for the
# same name removes.
[ -d "$w/N" ] || "$cli" open "$w/N._zkvlk" "${P[@]}" --yes </dev/null >/dev/null 2>&1
rm -f "$w/N._zkvlk"
"$cli" protect "$w/N" "${P[@]}" </dev/null >/dev/null 2>&1 &
pid=$!
sleep 1
kill -KILL "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
check "a killed protect leaves no container under its name" [ ! -e "$w/N._zkvlk" ]
check "the folder is whole" [ "$(count_deep)" -eq "$before" ]
mv "$w/N" "$w/N.deep"
mkdir "$w/N" && echo small >"$w/N/small.txt"
run_cli 0 "the next run cleans up and protects" protect "$w/N" "${P[@]}"
check "nothing staged is left" no_staged "$w"

echo "korvane-cli hostile input: $failures failure(s) in $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ]
