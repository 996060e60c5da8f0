#!/usr/bin/env bash
# Installs what the 32-bit ARM (armhf) build and its unit tests under qemu need: Debian's cross
# compiler, qemu-user, and the armhf -dev packages of every library the programs and the unit
# tests link, through multiarch. Only what is missing is installed, so a second run costs one
# dpkg query; with --check it installs nothing and fails when something is missing. ./test.sh
# runs it before its armhf stage; ./run.sh does not.
set -euo pipefail
pkgs=(
  g++-arm-linux-gnueabihf qemu-user file
  libsqlite3-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
  nettle-dev:armhf libosip2-dev:armhf
  # libmad0-dev of two architectures cannot be installed side by side (both own
  # /usr/include/mad.h): the host keeps its own, and the board's build links the armhf runtime
  # library directly (cmake/area_http.cmake).
  libmad0:armhf
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "${1:-}" = "--check" ]; then  # only tell whether everything is there
  echo "not installed: ${missing[*]}"
  exit 1
fi
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
fi
# Another apt run may hold the dpkg lock for a while: wait for it rather than fail.
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq || true
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
