#!/usr/bin/env bash
# Unpacks Debian's s390x packages of the libraries the engine and korvane-cli
# link with (OpenSSL, zlib, libdeflate, libargon2) into DIR/root, for the cross build
# (cmake/s390x-toolchain.cmake). The packages are downloaded once into
# DIR/debs; scripts/install-deps.sh enables the s390x architecture. They are
# unpacked rather than installed: installed side by side, multiarch packages
# must match the host's versions exactly, and the host's may come from a
# suite that carries no s390x packages.
#
#   scripts/s390x-root.sh DIR
set -euo pipefail
dir="${1:?usage: s390x-root.sh DIR}"
mkdir -p "$dir/debs" "$dir/root"
dir="$(cd "$dir" && pwd)"
packages=(libssl-dev libssl3 zlib1g-dev zlib1g libdeflate-dev libdeflate0 libargon2-dev libargon2-1)
stamp="$dir/root/.packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ]; then
  exit 0
fi
(cd "$dir/debs" && apt-get download -q "${packages[@]/%/:s390x}" >/dev/null 2>&1) || {
  echo "s390x-root: could not download ${packages[*]} for s390x" \
    "(scripts/install-deps.sh adds the architecture)" >&2
  exit 1
}
for deb in "$dir"/debs/*_s390x.deb; do dpkg-deb -x "$deb" "$dir/root"; done
echo "${packages[*]}" >"$stamp"
