#!/usr/bin/env bash
# Installs the test dependencies, builds trakmap and runs every test: the
# native suite, the same suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# the tests of the threaded places under ThreadSanitizer, and, where their
# scripts exist, the Windows builds under Wine and a short
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

# Only the places that run threads, and what they share: the parallel
# runner, the split FLAC walk, the cache, and the driver probing a sheet's
# files (its end-to-end tests run the ThreadSanitizer build of the tool,
# whose reports on standard error would fail them).
echo "== ThreadSanitizer"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DTRAKMAP_THREAD_SANITIZE=ON
cmake --build build/tsan -j"$jobs" --target trakmap trakmap_tests
TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
  build/tsan/tests/trakmap_tests --gtest_filter='Parallel.*:FlacSplitWalk.*:EndToEndThreads.*:SeekTableCache*.*:EndToEndCacheFolder.*'

if [ -f tests/windows/run-wine-tests.sh ]; then
  echo "== Windows builds and end-to-end tests under Wine"
  bash tests/windows/run-wine-tests.sh build/native/tests/trakmap_tests
fi

if [ -f fuzz/run-fuzzers.sh ]; then
  echo "== fuzzing, ${TRAKMAP_FUZZ_SECONDS:-60} s per target"
  bash fuzz/run-fuzzers.sh "${TRAKMAP_FUZZ_SECONDS:-60}"
fi
echo "all tests passed"
