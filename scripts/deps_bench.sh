#!/usr/bin/env bash
# The SIP proxy that bench/bench_speed.py measures beside the switch. Kept out of scripts/deps.sh:
# neither the build nor the tests need it, and a proxy package has no place on a test machine.
set -euo pipefail
"$(dirname "$0")/deps.sh"
dpkg-query -W -f='${Status}\n' kamailio 2>/dev/null | grep -q "^install ok installed$" && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || true
$SUDO apt-get install -y -qq --no-install-recommends kamailio
