#!/usr/bin/env bash
# The Debian package end to end.
#
#   tests/packaging/package_test.sh BUILD_DIR
#
# Builds the package with `cpack -G DEB` in BUILD_DIR (a configured and
# built release tree), checks what it holds, its control fields, its
# launcher, manual pages, completions and software centre entry. With
# KORVANE_PACKAGE_INSTALL=1 (as root, in a throwaway system: CI's
# container) it also installs the package with apt-get, runs the
# programs, installs the per-user desktop integration for a temporary home,
# asks the desktop what type a container is, and removes the package again.
# It never installs anything otherwise.
#
# Needs: cmake (cpack), dpkg-dev (dpkg-shlibdeps), desktop-file-utils,
# appstream (appstreamcli); for the install part also xdg-utils,
# shared-mime-info and libglib2.0-bin (gio, which xdg-mime asks for a
# file's type). A missing tool skips the test
# (exit 77) on a developer machine and fails it under CI=true.
# Functions below are called through check(), which shellcheck cannot follow.
# shellcheck disable=SC2317
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
  local description=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $description" >&2
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  exit $((failed == 0 ? 0 : 1))
}

require() {  # require PROGRAM PACKAGE
  if ! command -v "$1" >/dev/null 2>&1; then
    if [ "${CI:-}" = true ]; then
      echo "FAILED: $1 is missing (Debian package $2)" >&2
      exit 1
    fi
    echo "SKIPPED: $1 is missing (Debian package $2)"
    exit 77
  fi
}
require cpack cmake
require dpkg-deb dpkg
require dpkg-shlibdeps dpkg-dev
require desktop-file-validate desktop-file-utils
require appstreamcli appstream

[ -f "$build_dir/CPackConfig.cmake" ] || {
  echo "FAILED: $build_dir has no CPackConfig.cmake (not a configured build tree)" >&2
  exit 1
}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")

work=$(mktemp -d /tmp/korvane-package-test.XXXXXX)
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    apt-get purge -y -q korvane >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---------------------------------------------------------------- build
rm -f "$build_dir"/korvane_*.deb
if ! (cd "$build_dir" && cpack -G DEB) >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAILED: cpack -G DEB" >&2
  exit 1
fi
debs=("$build_dir"/korvane_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAILED: expected one korvane_*.deb in $build_dir, found: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
echo "package: $deb"

# ---------------------------------------------------------------- contents
dpkg-deb -c "$deb" >"$work/contents"
# "MODE OWNER SIZE DATE TIME PATH" per line; a path may hold spaces.
entry_path() { sed -E 's/^([^ ]+ +){5}//' "$work/contents"; }
has_entry() {  # has_entry MODE PATH: PATH is listed, with exactly that mode
  grep -qxF -- "$1 ./$2" <(paste -d ' ' <(awk '{ print $1 }' "$work/contents") <(entry_path))
}
for program in korvane korvane-cli korvane-recover vaultfs; do
  check "program $program is packaged and executable" has_entry -rwxr-xr-x "usr/bin/$program"
done
check "launcher" has_entry -rw-r--r-- usr/share/applications/korvane.desktop
check "MIME type" has_entry -rw-r--r-- usr/share/mime/packages/korvane-container.xml
check "icon" has_entry -rw-r--r-- usr/share/icons/hicolor/scalable/apps/korvane.svg
check "Nemo actions" has_entry -rw-r--r-- usr/share/nemo/actions/korvane-protect.nemo_action
check "Nemo actions" has_entry -rw-r--r-- usr/share/nemo/actions/korvane-open.nemo_action
check "Nemo actions" has_entry -rw-r--r-- usr/share/nemo/actions/korvane-browse.nemo_action
check "Dolphin service menu" has_entry -rw-r--r-- usr/share/kio/servicemenus/korvane-protect.desktop
check "Dolphin service menu" has_entry -rw-r--r-- usr/share/kio/servicemenus/korvane-open.desktop
check "Dolphin service menu" has_entry -rw-r--r-- usr/share/kio/servicemenus/korvane-browse.desktop
check "Nautilus scripts" has_entry -rwxr-xr-x \
  "usr/share/korvane/file-manager/nautilus/Protect with Korvane"
check "Nautilus scripts" has_entry -rwxr-xr-x \
  "usr/share/korvane/file-manager/nautilus/Open with Korvane"
check "Nautilus scripts" has_entry -rwxr-xr-x \
  "usr/share/korvane/file-manager/nautilus/Browse with Korvane"
check "Thunar actions" has_entry -rw-r--r-- usr/share/korvane/file-manager/thunar/uca-korvane.xml
check "recovery key" has_entry -rw-r--r-- usr/share/korvane/recovery-key.pem
check "user documentation" has_entry -rw-r--r-- usr/share/doc/korvane/korvane.md
help_pages=0
for page in "$source_dir"/docs/help/*.html; do
  [ -e "$page" ] || continue
  help_pages=$((help_pages + 1))
  check "help page $(basename "$page")" has_entry -rw-r--r-- \
    "usr/share/doc/korvane/help/$(basename "$page")"
done
check "help pages exist in docs/help" test "$help_pages" -gt 0
for program in korvane korvane-cli korvane-recover vaultfs; do
  check "manual page $program(1)" has_entry -rw-r--r-- "usr/share/man/man1/$program.1.gz"
done
for program in korvane-cli vaultfs; do
  check "bash completion of $program" has_entry -rw-r--r-- \
    "usr/share/bash-completion/completions/$program"
done
check "software centre entry" has_entry -rw-r--r-- \
  usr/share/metainfo/org.korvane.Korvane.metainfo.xml
no_tests() { ! grep -E '_tests$|gtest|/tests?/' "$work/contents"; }
check "no tests are packaged" no_tests
only_usr() { ! entry_path | grep -v -E '^\./(usr(/.*)?)?$'; }
check "everything lies below /usr" only_usr

# ---------------------------------------------------------------- control
field() { dpkg-deb -f "$deb" "$1"; }
depends=$(field Depends)
echo "Depends: $depends"
check "Package is korvane" test "$(field Package)" = korvane
check "Version is the project version $version" test "$(field Version)" = "$version"
check "Section is utils" test "$(field Section)" = utils
check "Maintainer" test "$(field Maintainer)" = "Korvane developers <dev@korvane.example>"
depends_on() { [[ ", $depends" == *", $1"* ]]; }  # by name prefix: libssl3, libssl3t64
for package in xdg-utils shared-mime-info libfile-mimeinfo-perl libc6 libssl libdeflate0 libargon2-1; do
  check "Depends names $package" depends_on "$package"
done
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do
  check "$script is executable" test -x "$work/control/$script"
  check "$script updates the MIME database" grep -q 'update-mime-database /usr/share/mime' \
    "$work/control/$script"
  check "$script updates the desktop database" grep -q update-desktop-database \
    "$work/control/$script"
done

# ---------------------------------------------------------------- launchers
dpkg-deb -x "$deb" "$work/root"
check "packaged launcher passes desktop-file-validate" \
  desktop-file-validate "$work/root/usr/share/applications/korvane.desktop"
check "packaged launcher is the one in packaging/" \
  cmp -s "$work/root/usr/share/applications/korvane.desktop" "$source_dir/packaging/korvane.desktop"
check "packaged MIME type is the one in packaging/" \
  cmp -s "$work/root/usr/share/mime/packages/korvane-container.xml" \
  "$source_dir/packaging/korvane-container.xml"
check "packaged programs report version $version" \
  grep -q "$version" <("$work/root/usr/bin/korvane-cli" --version)

# ---------------------------------------------------------------- manuals, metadata
for program in korvane korvane-cli korvane-recover vaultfs; do
  page="$work/root/usr/share/man/man1/$program.1.gz"
  [ -f "$page" ] || continue
  # gzip -n: no name or time stamp inside, so the same page gives the same bytes.
  check "$program.1.gz is the page in docs/man" cmp -s <(gzip -dc "$page") \
    "$source_dir/docs/man/$program.1"
  check "$program.1.gz carries no file name" \
    test "$(od -An -tu1 -j3 -N1 "$page" | tr -d ' ')" = 0
done
completes() {  # completes PROGRAM: the packaged completion loads and registers
  bash -c 'source "$1" && complete -p "$2" >/dev/null' _ \
    "$work/root/usr/share/bash-completion/completions/$1" "$1"
}
check "packaged completion of korvane-cli loads" completes korvane-cli
check "packaged completion of vaultfs loads" completes vaultfs
metainfo="$work/root/usr/share/metainfo/org.korvane.Korvane.metainfo.xml"
appstream_valid() {  # quiet when valid, the validator's report otherwise
  appstreamcli validate --no-net "$1" >"$work/appstream.log" 2>&1 || {
    cat "$work/appstream.log" >&2
    return 1
  }
}
check "software centre entry passes appstreamcli validate" appstream_valid "$metainfo"
# The entry names the packaged launcher and icon.
check "software centre entry launches korvane.desktop" \
  grep -q '<launchable type="desktop-id">korvane.desktop</launchable>' "$metainfo"
check "software centre entry's icon is packaged" \
  test -f "$work/root/usr/share/icons/hicolor/scalable/apps/$(sed -n \
    's|.*<icon type="stock">\(.*\)</icon>.*|\1|p' "$metainfo").svg"
check "software centre entry's id is its file name" \
  grep -q '<id>org.korvane.Korvane</id>' "$metainfo"

if [ "${KORVANE_PACKAGE_INSTALL:-0}" != 1 ]; then
  echo "not installing the package (set KORVANE_PACKAGE_INSTALL=1 to, as root, in a throwaway system)"
  finish
fi

# ---------------------------------------------------------------- install
require apt-get apt
require xdg-mime xdg-utils
require update-mime-database shared-mime-info
require gio libglib2.0-bin
if [ "$(id -u)" -ne 0 ]; then
  echo "FAILED: KORVANE_PACKAGE_INSTALL=1 needs root" >&2
  exit 1
fi
cp "$deb" "$work/"
installed=1
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$work/$(basename "$deb")" \
  >"$work/apt.log" 2>&1; then
  cat "$work/apt.log" >&2
  echo "FAILED: apt-get install" >&2
  exit 1
fi
check "korvane-cli --version" grep -q "$version" <(/usr/bin/korvane-cli --version)
check "korvane --help" /usr/bin/korvane --help >/dev/null
check "postinst registered the type system-wide" \
  test -f /usr/share/mime/application/x-korvane-container.xml

# The per-user integration, in a home of its own.
home="$work/home"
mkdir -p "$home" "$work/empty" "$work/files"
export HOME="$home" XDG_DATA_HOME="$home/.local/share" XDG_CONFIG_HOME="$home/.config"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_SESSION_VERSION
check "korvane --install-desktop-integration" \
  /usr/bin/korvane --install-desktop-integration >"$work/install.log" 2>&1
cat "$work/install.log"
check "per-user launcher" grep -q '^Exec="/usr/bin/korvane" -OPEN %f$' \
  "$XDG_DATA_HOME/applications/korvane.desktop"
check "per-user launcher passes desktop-file-validate" \
  desktop-file-validate "$XDG_DATA_HOME/applications/korvane.desktop"
check "per-user MIME database" test -f "$XDG_DATA_HOME/mime/application/x-korvane-container.xml"
check "per-user Nautilus script" test -x "$XDG_DATA_HOME/nautilus/scripts/Protect with Korvane"
check "per-user Thunar actions" grep -q '<unique-id>korvane-protect</unique-id>' \
  "$XDG_CONFIG_HOME/Thunar/uca.xml"

/usr/bin/vaultfs create "$work/files/some._zkvlk" >/dev/null
cp "$work/files/some._zkvlk" "$work/files/renamed.bin"
filetype() {  # filetype FILE EXPECTED [XDG_DATA_DIRS]
  local got
  got=$(XDG_CURRENT_DESKTOP=GNOME XDG_DATA_DIRS=${3:-/usr/local/share:/usr/share} \
    xdg-mime query filetype "$1")
  [ "$got" = "$2" ] || {
    echo "  $1: $got" >&2
    return 1
  }
}
check "a container is application/x-korvane-container" \
  filetype "$work/files/some._zkvlk" application/x-korvane-container
check "a container is known by its first bytes too" \
  filetype "$work/files/renamed.bin" application/x-korvane-container
# Outside a known desktop session xdg-mime asks `mimetype` instead of gio.
check "a container is application/x-korvane-container outside a desktop session" \
  test "$(env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION xdg-mime query filetype \
    "$work/files/some._zkvlk")" = application/x-korvane-container
# Without the system folders only the user's own database answers.
check "the per-user database alone knows the type" \
  filetype "$work/files/some._zkvlk" application/x-korvane-container "$work/empty"
check "korvane is the user's default for containers" \
  test "$(xdg-mime query default application/x-korvane-container)" = korvane.desktop

check "korvane --uninstall-desktop-integration" \
  /usr/bin/korvane --uninstall-desktop-integration >"$work/uninstall.log" 2>&1
cat "$work/uninstall.log"
check "per-user launcher removed" test ! -e "$XDG_DATA_HOME/applications/korvane.desktop"
check "per-user type forgotten" test ! -e "$XDG_DATA_HOME/mime/application/x-korvane-container.xml"

# ---------------------------------------------------------------- remove
if DEBIAN_FRONTEND=noninteractive apt-get remove -y -q korvane >"$work/apt.log" 2>&1; then
  installed=0
  passed=$((passed + 1))
else
  cat "$work/apt.log" >&2
  failed=$((failed + 1))
  echo "FAILED: apt-get remove" >&2
fi
check "programs removed" test ! -e /usr/bin/korvane
check "postrm forgot the type system-wide" \
  test ! -e /usr/share/mime/application/x-korvane-container.xml
# Leave no trace in dpkg's records either.
check "dpkg --purge korvane" dpkg --purge korvane >/dev/null
finish
