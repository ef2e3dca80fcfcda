#!/usr/bin/env bash
# Installs, from Debian's archive, every package that building and testing need, and fetches the
# zstd and libdivsufsort sources that the Windows builds compile (Debian's source packages of the
# libraries that Linux links). Does nothing when everything is there already.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  cmake ninja-build g++ pkg-config dpkg-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix binutils-mingw-w64
  googletest libgtest-dev
  libzstd-dev zstd libdivsufsort-dev libgcrypt20-dev libgcrypt-mingw-w64-dev
  clang libclang-rt-14-dev
  wine64 xvfb xauth imagemagick
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
updated=no
apt_update() {
  if [ $updated = no ]; then
    $SUDO apt-get update -qq
    updated=yes
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  apt_update
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The sources of zstd and libdivsufsort for the Windows presets, from Debian's source packages
# of the libraries that Linux links.
# Kept outside build/, so that removing the build trees does not remove them.
deps="$root/.deps"
fetch_source() {  # PACKAGE DIRECTORY FILE-THAT-MUST-BE-THERE
  local package=$1 dir=$2 check=$3
  [ -f "$deps/$dir/$check" ] && return 0
  local sources=/etc/apt/sources.list.d/quorvane-src.sources
  if ! grep -rqs '^Types: *deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    local suite
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    $SUDO tee "$sources" >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    updated=no
  fi
  apt_update
  mkdir -p "$deps"
  local fetch src
  fetch=$(mktemp -d "$deps/fetch.XXXXXX")
  (cd "$fetch" && apt-get source -qq "$package" >/dev/null 2>&1) || true
  src=$(find "$fetch" -maxdepth 1 -type d -name "$package-*" | head -n1)
  if [ -z "$src" ] || [ ! -f "$src/$check" ]; then
    echo "install-deps: could not fetch the $package sources" >&2
    exit 1
  fi
  rm -rf "${deps:?}/$dir"
  mv "$src" "$deps/$dir"
  rm -rf "$fetch"
}
fetch_source libzstd zstd lib/zstd.h
fetch_source libdivsufsort divsufsort lib/divsufsort.c
