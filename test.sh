#!/usr/bin/env bash
# Builds and passes every test, then again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then runs every libFuzzer target inside one total time budget (FUZZ_SECONDS, default 300).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh

jobs=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-300}

build_and_test() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

echo "== build and test"
build_and_test build
echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test build-asan -DSANITIZE=ON

echo "== fuzz (${FUZZ_SECONDS}s in all)"
cmake -S . -B build-fuzz -DFUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build build-fuzz -j "$jobs"
./scripts/run_fuzz.sh build-fuzz "$FUZZ_SECONDS"
echo "== all tests passed"
