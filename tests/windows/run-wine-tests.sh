#!/usr/bin/env bash
# Builds the two Windows executables with MinGW-w64 and runs the end-to-end
# tests of the native test binary against each of them under Wine, the 32-bit
# one first. A test that fails against either executable fails the run.
#
#   tests/windows/run-wine-tests.sh [native trakmap_tests] [gtest filter]
#
# Without a native test binary, one is built too. The default filter takes
# every EndToEnd test except those whose names contain "Posix" (they rely on
# POSIX path rules); the WindowsOnly ones run only here. While one executable
# is tested, the other is named by TRAKMAP_E2E_PEER_BINARY, for the tests of
# what the two share (the seek-table cache). Build folders go below
# $TRAKMAP_WINDOWS_BUILD (default: build/windows in the source tree). Needs
# the Debian packages cmake, g++-mingw-w64-i686, g++-mingw-w64-x86-64, wine,
# wine64, wine32:i386 and libgtest-dev (tools/install-test-deps.sh installs
# them).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build_root=${TRAKMAP_WINDOWS_BUILD:-$source_dir/build/windows}
native_tests=${1:-}
filter=${2:-'EndToEnd*:-*Posix*'}
jobs=${TRAKMAP_JOBS:-2}
architectures=(i686 x86_64)

build() {
    folder=$1
    shift
    cmake -S "$source_dir" -B "$build_root/$folder" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$build_root/$folder" -j "$jobs"
}

for arch in "${architectures[@]}"; do
    build "$arch" --toolchain "$source_dir/cmake/mingw-$arch.cmake"
done
if [ -z "$native_tests" ]; then
    build native
    native_tests=$build_root/native/tests/trakmap_tests
fi

# Each executable must stand alone: only system DLLs may be imported.
for arch in "${architectures[@]}"; do
    imports=$(x86_64-w64-mingw32-objdump -p "$build_root/$arch/trakmap.exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    for dll in $imports; do
        case $(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]') in
            kernel32.dll | msvcrt.dll | shell32.dll | user32.dll | ole32.dll) ;;
            *) echo "trakmap.exe ($arch) needs $dll, which Windows does not ship" >&2; exit 1 ;;
        esac
    done
done

# shellcheck source=wine-prefix.sh
source "$here/wine-prefix.sh"
trap stop_wine_prefix EXIT
trap 'exit 130' INT TERM
start_wine_prefix
# The parse-error test reads the message box's text from Wine's trace of the
# calls into its DLLs; only that call is traced.
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d 'user32.MessageBoxA' /f \
    </dev/null >/dev/null 2>&1

run_suite() {
    TRAKMAP_E2E_BINARY="$build_root/$1/trakmap.exe" \
    TRAKMAP_E2E_PEER_BINARY="$build_root/$2/trakmap.exe" \
    TRAKMAP_E2E_RUNNER=${TRAKMAP_WINE:-wine} \
        "$native_tests" --gtest_filter="$3"
}

# Runs the suite against one executable, the other one being its peer.
#
# Wine itself now and then starts a program that prints nothing at all (seen
# a handful of times in thousands of runs, never reproducibly). A test that
# fails is therefore run once more on its own; a test that fails twice fails
# the suite, and a pass on the second run is reported, not hidden.
test_executable() {
    arch=$1
    peer=$2
    echo "== the end-to-end suite against the $arch executable under Wine"
    log=$(mktemp "${TMPDIR:-/tmp}/trakmap-wine-log-XXXXXX")
    if run_suite "$arch" "$peer" "$filter" | tee "$log"; [ "${PIPESTATUS[0]}" -eq 0 ]; then
        rm -f "$log"
        return 0
    fi
    failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_]*\.[A-Za-z0-9_/]*\).*/\1/p' "$log" | sort -u | paste -sd: -)
    rm -f "$log"
    if [ -z "$failed" ]; then
        echo "the end-to-end suite against the $arch executable failed before reporting a test" >&2
        return 1
    fi
    echo "== running the tests that failed against the $arch executable once more: $failed"
    run_suite "$arch" "$peer" "$failed" || return 1
    echo "warning: these end-to-end tests failed once against the $arch executable under Wine and passed when run again: $failed" >&2
}

status=0
test_executable i686 x86_64 || status=1
test_executable x86_64 i686 || status=1
if [ "$status" -ne 0 ]; then
    echo "the end-to-end suite failed under Wine" >&2
fi
exit "$status"
