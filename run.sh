#!/usr/bin/env bash
# Builds the system and runs it on a scratch board root (default ./board, or $RUN_ROOT).
# Both programs run in network and IPC namespaces of their own (as the tests do), where the
# board's "eth0" is one end of a veth pair with address $RUN_ADDR (default 10.77.0.5/24);
# no interface of this machine is used or needed. Run as root, the pair's other end comes out
# on this machine as $RUN_HOST_IF (default rgate0) with $RUN_HOST_ADDR (default 10.77.0.1),
# so the board is reached at its address directly. A shell inside the namespaces (the command
# is printed) reaches everything: the switch on the loopback, the shared memory, the board's
# radios through scripts/board.py. While the programs run, scripts/status.py prints a status
# line a second per radio line; their own output goes to files beside their logs. Ctrl-C stops
# both programs in order.
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD
root=${RUN_ROOT:-$PWD/board}
addr=${RUN_ADDR:-10.77.0.5}
host_if=${RUN_HOST_IF:-rgate0}
host_addr=${RUN_HOST_ADDR:-10.77.0.1}
prefix=24

if [ "${1:-}" != --in-namespace ]; then
  ./scripts/deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$(nproc)" --target sipswitch radiogate   # what it runs, no test or benchmark
  ./scripts/make_board.sh "$root"
  if [ "$(id -u)" = 0 ]; then
    exec unshare --net --ipc --fork "$0" --in-namespace
  fi
  exec unshare --user --map-root-user --net --ipc --fork "$0" --in-namespace
fi

# ---- inside the namespaces ----
ip link set lo up
if [ "$(id -u)" = 0 ] && [ -r /proc/1/ns/net ] && nsenter -t 1 -n true 2>/dev/null; then
  # The other end goes to the machine's own network namespace (that of process 1).
  ip link add eth0 type veth peer name "$host_if" netns 1
  nsenter -t 1 -n ip addr add "$host_addr/$prefix" dev "$host_if"
  nsenter -t 1 -n ip link set "$host_if" up
  reach="from this machine: $addr, through $host_if ($host_addr)"
  enter="nsenter --target $$ --net --ipc"
else
  ip link add eth0 type veth peer name eth0peer
  ip link set eth0peer up
  reach="from a shell inside"
  enter="nsenter --target $$ --user --net --ipc --preserve-credentials"
fi
ip addr add "$addr/$prefix" dev eth0
ip link set eth0 up
# linphone counts a network without a default route as down and then does not register.
ip route replace default dev eth0

export BOARD_ROOT=$root
echo "board root:    $root"
echo "logs:          $root/tmp/log   (commands handed to the shell: $root/var/shell.log)"
echo "board address: $addr (eth0), reached $reach"
echo "softswitch:    127.0.0.1:5060 on the namespaces' own loopback"
echo "programs' own output: $root/tmp/log/sipswitch.out, $root/tmp/log/radiogate.out"
echo "shell inside:  cd $top && $enter env BOARD_ROOT=$root ${SHELL:-bash}"
echo "               (there: scripts/board.py --help; README.md, \"Try it\")"

cd "$root"
mkdir -p tmp/log
"$top/build/sipswitch" >tmp/log/sipswitch.out 2>&1 &
sw=$!
"$top/build/radiogate" >tmp/log/radiogate.out 2>&1 &
gw=$!
python3 "$top/scripts/status.py" --root "$root" &
st=$!
trap 'kill -INT $sw $gw 2>/dev/null || true' INT TERM
wait $sw || true
wait $gw || true
wait $sw $gw 2>/dev/null || true
kill $st 2>/dev/null || true
wait $st 2>/dev/null || true
echo "sipswitch and radiogate ended"
