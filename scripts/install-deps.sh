#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Runs apt-get as root, or through sudo for other users.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev zlib1g-dev libdeflate-dev libargon2-dev
  python3 dosfstools mtools tmux
  qt6-base-dev libgl-dev libqt6svg6 xvfb xauth fonts-dejavu-core
  dpkg-dev desktop-file-utils xdg-utils shared-mime-info libglib2.0-bin libfile-mimeinfo-perl
  groff-base appstream
  libfuse3-dev fuse3 stress-ng
  g++-s390x-linux-gnu qemu-user
  # bench/app_compare.sh: two of its peers, and GNU time for peak memory
  pigz p7zip-full time
)
# The big-endian checks (scripts/cross-s390x.sh) unpack the s390x builds of
# OpenSSL, zlib and libargon2 from Debian's s390x packages: the architecture
# must be known to apt.
foreign_arch=s390x

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
arch_missing=0
dpkg --print-foreign-architectures | grep -qx "$foreign_arch" || arch_missing=1
[ ${#missing[@]} -eq 0 ] && [ "$arch_missing" -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
if [ "$arch_missing" -eq 1 ]; then
  echo "Adding the $foreign_arch architecture"
  $sudo dpkg --add-architecture "$foreign_arch"
fi
$sudo apt-get update -q
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
