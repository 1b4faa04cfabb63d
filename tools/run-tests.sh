#!/usr/bin/env bash
# Installs the test dependencies, builds trakmap and runs every test: the
# native suite, the same suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# and, where their scripts exist, the Windows builds under Wine and a short
# fuzzing pass.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

bash tools/install-test-deps.sh

echo "== native build and tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/native -j"$jobs"
ctest --test-dir build/native --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTRAKMAP_SANITIZE=ON
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

if [ -f tests/windows/run-wine-tests.sh ]; then
  echo "== Windows builds and end-to-end tests under Wine"
  bash tests/windows/run-wine-tests.sh build/native/tests/trakmap_tests
fi

if [ -f fuzz/run-fuzzers.sh ]; then
  echo "== fuzzing, ${TRAKMAP_FUZZ_SECONDS:-60} s per target"
  bash fuzz/run-fuzzers.sh "${TRAKMAP_FUZZ_SECONDS:-60}"
fi
echo "all tests passed"
