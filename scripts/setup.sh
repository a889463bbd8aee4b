#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Idempotent and
# non-interactive; does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ python3 googletest zlib1g-dev
  libssl-dev
  clang libclang-rt-14-dev
  mingw-w64 g++-mingw-w64-i686-posix libz-mingw-w64-dev
  wine wine64 wine32:i386 libgnutls30:i386
  xvfb xauth x11-utils openbox xdotool imagemagick fonts-crosextra-carlito
  zip unzip p7zip-full libarchive-tools nginx-light curl
  osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386

# A mirror caught mid-sync can serve one architecture's index out of step with the
# others; try again a few times, then go on with what was fetched.
for attempt in 1 2 3; do
  $sudo apt-get update -q && break
  echo "setup: apt-get update failed (attempt $attempt), retrying" >&2
  sleep 10
done

apt_install() { $sudo apt-get install -y -q --no-install-recommends "$@"; }
# With an i386 index of the security suite missing, the i386 libraries cannot match
# the amd64 versions from that suite; taking both from the release suite resolves it.
apt_install "${missing[@]}" || apt_install -t bookworm "${missing[@]}"
