#!/usr/bin/env bash
# Builds the system and runs it on a scratch board root (default ./board, or $RUN_ROOT).
# Ctrl-C stops it in order.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

root=${RUN_ROOT:-$PWD/board}
./scripts/make_board.sh "$root"
export BOARD_ROOT=$root
echo "board root: $root"
echo "logs:       $root/tmp/log   (commands handed to the shell: $root/var/shell.log)"

top=$OLDPWD
cd "$root"
"$top/build/sipswitch" &
sw=$!
"$top/build/radiogate" &
gw=$!
trap 'kill -INT $sw $gw 2>/dev/null || true' INT TERM
wait $sw || true
wait $gw || true
wait $sw $gw 2>/dev/null || true
echo "sipswitch and radiogate ended"
