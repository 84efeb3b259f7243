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
