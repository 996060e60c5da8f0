#!/usr/bin/env bash
# Installs the Debian packages the build, the run script and the tests need.
# Only what is missing is installed, so a second run costs one dpkg query.
set -euo pipefail
pkgs=(
  build-essential cmake g++ clang libclang-rt-14-dev
  libsqlite3-dev sqlite3 libgtest-dev libgmock-dev libbenchmark-dev
  nettle-dev libosip2-dev libmad0-dev pkg-config
  python3 iproute2 util-linux procps psmisc
  sip-tester sipsak tshark linphone-cli sox libsox-fmt-mp3 lame curl
  kamailio   # benchmarks only: the SIP proxy bench/bench_speed.py measures beside the switch
)
missing=()
# Only the host's own architecture (or "all") counts: the board's build installs some libraries
# for armhf too, and libmad0-dev of another architecture would take the host's place.
arch=$(dpkg --print-architecture)
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null \
    | grep -Eq "^install ok installed ($arch|all)\$" || missing+=("$p:$arch")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections || true
$SUDO apt-get update -qq || true
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
