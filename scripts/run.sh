#!/usr/bin/env bash
# The main job: builds the tools and shows them working on a new container.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh release
bin=build/release
demo="$(mktemp -d)"
trap 'rm -rf "$demo"' EXIT

echo "== vaultfs create"
"$bin/vaultfs" create "$demo/demo.vfs" --logo "Korvane demo container"
echo "== vaultfs info"
"$bin/vaultfs" info "$demo/demo.vfs"
echo "== vaultfs create --transactions --page-size 512"
"$bin/vaultfs" create "$demo/journaled.vfs" --transactions --page-size 512
"$bin/vaultfs" info "$demo/journaled.vfs"

echo "== an enciphered container holding a small tree"
printf 'demo storage password\n' >"$demo/storage.pw"
printf 'demo file password\n' >"$demo/file.pw"
S=(--storage-password-file "$demo/storage.pw")
seq 1 200000 >"$demo/numbers.txt"
"$bin/vaultfs" create "$demo/tree.vfs" "${S[@]}"
"$bin/vaultfs" mkdir "$demo/tree.vfs" /docs/reports -p "${S[@]}"
"$bin/vaultfs" put "$demo/tree.vfs" "$demo/numbers.txt" /docs/reports/numbers.txt "${S[@]}" \
  --password-file "$demo/file.pw" --compression zlib --level 9
"$bin/vaultfs" ln "$demo/tree.vfs" /docs/reports/numbers.txt /latest "${S[@]}"
"$bin/vaultfs" ls "$demo/tree.vfs" / -R -l "${S[@]}"
"$bin/vaultfs" stat "$demo/tree.vfs" /docs/reports/numbers.txt "${S[@]}"
"$bin/vaultfs" get "$demo/tree.vfs" /latest "$demo/back.txt" "${S[@]}" --password-file "$demo/file.pw"
cmp "$demo/numbers.txt" "$demo/back.txt" && echo "read back through the link: identical"
ls -l "$demo/numbers.txt" "$demo/tree.vfs"

echo "== a folder tree in and out (the application's settings), check, compact"
mkdir -p "$demo/folder/sub/deeper" "$demo/folder/empty"
seq 1 50000 >"$demo/folder/sub/numbers.txt"
printf 'hidden\n' >"$demo/folder/.hidden"
ln -s sub/numbers.txt "$demo/folder/link"
"$bin/vaultfs" create "$demo/folder.vfs" "${S[@]}"
"$bin/vaultfs" import "$demo/folder.vfs" "$demo/folder" /DATA "${S[@]}" \
  --password-file "$demo/file.pw" --encryption 3 --compression zlib --level 9
"$bin/vaultfs" check "$demo/folder.vfs" --storage-password-file "$demo/storage.pw"
"$bin/vaultfs" export "$demo/folder.vfs" /DATA "$demo/restored" "${S[@]}" \
  --password-file "$demo/file.pw"
diff -r --no-dereference "$demo/folder" "$demo/restored" && echo "exported tree: identical"
"$bin/vaultfs" rm "$demo/folder.vfs" /DATA/sub/numbers.txt "${S[@]}"
"$bin/vaultfs" compact "$demo/folder.vfs" "${S[@]}"

echo "== korvane-cli: a folder protected and opened again"
mkdir -p "$demo/Photos/2008/summer" "$demo/Photos/empty"
seq 1 100000 >"$demo/Photos/2008/numbers.txt"
head -c 300000 /dev/urandom >"$demo/Photos/2008/summer/beach.jpg"
printf 'notes\n' >"$demo/Photos/.notes"
ln -s 2008/summer/beach.jpg "$demo/Photos/favourite"
cp -a "$demo/Photos" "$demo/Photos.original"
printf 'demo folder password\n' >"$demo/folder.pw"
"$bin/korvane-cli" protect "$demo/Photos" --password-file "$demo/folder.pw"
ls -l "$demo" | grep Photos
[ ! -e "$demo/Photos" ] && echo "the folder is gone; only Photos._zkvlk stands for it"
"$bin/korvane-cli" info "$demo/Photos._zkvlk"
printf 'not the password\n' >"$demo/wrong.pw"
if "$bin/korvane-cli" open "$demo/Photos._zkvlk" --password-file "$demo/wrong.pw"; then
  echo "a wrong password opened the folder!"
  exit 1
else
  echo "a wrong password is refused (exit status $?); the container is kept"
fi
"$bin/korvane-cli" open "$demo/Photos._zkvlk" --password-file "$demo/folder.pw"
diff -r --no-dereference "$demo/Photos.original" "$demo/Photos" &&
  echo "opened folder: identical to the original"
[ ! -e "$demo/Photos._zkvlk" ] && echo "the container is gone"
