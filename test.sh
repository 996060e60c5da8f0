#!/usr/bin/env bash
# Builds and passes every test, then again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then builds the board's 32-bit ARM programs and passes their unit tests under qemu-arm, then
# runs every libFuzzer target inside one total time budget (FUZZ_SECONDS, default 180).
# Installs what is missing first: the host's packages and the armhf cross tools.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
./scripts/deps_armhf.sh

# The tests start python3 thousands of times: a version manager's shim in front of it (pyenv's
# costs six times the interpreter's own start) would be most of their time.
PATH="$(dirname "$(python3 -c 'import sys; print(sys.executable)')"):$PATH"
export PATH

jobs=$(nproc)
blackbox_jobs=$(( jobs * 4 < 16 ? jobs * 4 : 16 ))
FUZZ_SECONDS=${FUZZ_SECONDS:-180}

build_and_test() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest -LE blackbox -j "$jobs" --output-on-failure --timeout 600)
  # A black-box script spends most of its time waiting on the programs' timers (a fifth of a core
  # each), so several run on each core; they are built to hold on a loaded machine.
  (cd "$dir" && ctest -L blackbox -j "$blackbox_jobs" --output-on-failure --timeout 900)
}

echo "== build and test"
build_and_test build
echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test build-asan -DSANITIZE=ON

echo "== build for the board (32-bit ARM) and its unit tests under qemu-arm"
# The two programs and the unit tests only: the tools and benchmarks are the host's.
cmake -S . -B build-armhf --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-armhf -j "$jobs" --target sipswitch radiogate unit_tests
for exe in sipswitch radiogate; do
  file -L "build-armhf/$exe" | grep -q "ELF 32-bit LSB .* ARM" || { echo "build-armhf/$exe is no 32-bit ARM program"; exit 1; }
done
(cd build-armhf && ctest -j "$jobs" -L unit --output-on-failure --timeout 600)

echo "== fuzz (${FUZZ_SECONDS}s in all)"
cmake -S . -B build-fuzz -DFUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build build-fuzz -j "$jobs"
./scripts/run_fuzz.sh build-fuzz "$FUZZ_SECONDS"
echo "== all tests passed"
