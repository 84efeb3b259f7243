#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Runs apt-get as root, or through sudo for other users.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev zlib1g-dev libargon2-dev
  python3 dosfstools mtools tmux
  qt6-base-dev libgl-dev libqt6svg6 xvfb xauth fonts-dejavu-core
  dpkg-dev desktop-file-utils xdg-utils shared-mime-info libglib2.0-bin libfile-mimeinfo-perl
  groff-base appstream
  libfuse3-dev fuse3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
