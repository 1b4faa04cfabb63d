#!/usr/bin/env bash
# Times the tool against the reference decoders on a 74-minute synthesized
# album: the FLAC frame walk with an empty and a warm seek-table cache against
# `flac -t`, the WavPack block walk against `wvunpack -vq`, and the peak memory
# of every run. Then runs the in-process walk benchmark, when it was built.
#
#   bench/run-bench.sh [pairs]        (default 7 interleaved pairs)
#   bench/run-bench.sh --data-only    (only make the albums)
#
# The album is made once and kept outside the repository, in
# $TRAKMAP_BENCH_DATA (default ${XDG_CACHE_HOME:-~/.cache}/trakmap-bench).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
data_only=
if [[ "${1:-}" == --data-only ]]; then data_only=1; shift; fi
pairs="${1:-7}"
data="${TRAKMAP_BENCH_DATA:-${XDG_CACHE_HOME:-$HOME/.cache}/trakmap-bench}"
build="${TRAKMAP_BENCH_BUILD:-$repo/build-bench}"
album_seconds=$((74 * 60))

for tool in flac wavpack wvunpack cmake c++ python3; do
    command -v "$tool" >/dev/null || { echo "run-bench: $tool is missing" >&2; exit 1; }
done

mkdir -p "$data"

# The albums are remade only when the synthesizer or the encoders change:
# - album.flac / album.wv: the project's album (seed 0, four voices), flac -8
#   and wavpack -hh;
# - album2.flac: other songs and denser, noisier chords (seed 7, ten voices),
#   flac -8 -e;
# - tracks/NN.flac: the project's album cut into 20 files of 3:42, flac -8,
#   with one sheet over all of them.
second_seed=7
second_voices=10
track_count=20
stamp="$( (cat "$here/synth_album.cpp"; flac --version; wavpack --version 2>&1 | head -1;
           echo "$album_seconds $second_seed $second_voices $track_count") | md5sum | cut -c1-32)"
if [[ ! -f "$data/album.flac" || ! -f "$data/album.wv" || ! -f "$data/album2.flac" ||
      ! -f "$data/tracks/$track_count.flac" || "$(cat "$data/stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "Making the ${album_seconds}-second albums in $data (once)..."
    rm -f "$data/stamp"
    c++ -O2 -std=c++20 -o "$data/synth_album" "$here/synth_album.cpp"
    "$data/synth_album" "$data/album.wav" "$album_seconds"
    flac -8 --silent -f -o "$data/album.flac" "$data/album.wav"
    wavpack -hh -q -y -o "$data/album.wv" "$data/album.wav"
    rm -rf "$data/tracks"
    mkdir -p "$data/tracks"
    track_samples=$((album_seconds * 44100 / track_count))
    for ((t = 0; t < track_count; t++)); do
        flac -8 --silent -f --skip=$((t * track_samples)) --until=$(((t + 1) * track_samples)) \
            -o "$data/tracks/$(printf '%02d' $((t + 1))).flac" "$data/album.wav"
    done
    rm -f "$data/album.wav"
    "$data/synth_album" "$data/album2.wav" "$album_seconds" "$second_seed" "$second_voices"
    flac -8 -e --silent -f -o "$data/album2.flac" "$data/album2.wav"
    rm -f "$data/album2.wav"
    echo "$stamp" > "$data/stamp"
fi
for album in album.flac album.wv album2.flac; do
    printf 'FILE "%s" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n' "$album" > "$data/${album/./-}.cue"
done
for ((t = 1; t <= track_count; t++)); do
    printf 'FILE "tracks/%02d.flac" WAVE\n  TRACK %02d AUDIO\n    INDEX 01 00:00:00\n' "$t" "$t"
done > "$data/tracks-flac.cue"
if [[ "${data_only:-}" == 1 ]]; then exit 0; fi

echo "Building the tool (Release) in $build..."
mkdir -p "$build"
# The in-process benchmark needs Google Benchmark (Debian: libbenchmark-dev).
bench_option=OFF
if [[ -f /usr/include/benchmark/benchmark.h ]]; then bench_option=ON; fi
if ! { cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTRAKMAP_BUILD_TESTS=OFF \
           -DTRAKMAP_BENCH="$bench_option" && cmake --build "$build" -j2; } >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    exit 1
fi

# The Windows executables, built in Release like the native one and run in a
# throwaway Wine prefix.
windows_args=()
if command -v i686-w64-mingw32-g++ >/dev/null && command -v x86_64-w64-mingw32-g++ >/dev/null &&
    command -v wine >/dev/null; then
    for arch in i686 x86_64; do
        if ! { cmake -S "$repo" -B "$build/windows/$arch" --toolchain "$repo/cmake/mingw-$arch.cmake" \
                   -DCMAKE_BUILD_TYPE=Release && cmake --build "$build/windows/$arch" -j2; } >>"$build/build.log" 2>&1; then
            cat "$build/build.log" >&2
            exit 1
        fi
    done
    # shellcheck source=../tests/windows/wine-prefix.sh
    source "$repo/tests/windows/wine-prefix.sh"
    trap stop_wine_prefix EXIT
    start_wine_prefix
    windows_args=(--windows-i686 "$build/windows/i686/trakmap.exe" --windows-x86_64 "$build/windows/x86_64/trakmap.exe")
    # Debian's `wine` is the 32-bit loader, which hands a 64-bit program to a
    # second process that it does not wait for as a child. Each executable is
    # run by its own loader instead, in the launched process itself, so that
    # the wall and CPU times are the program's own.
    if [[ -x /usr/lib/wine/wine && -x /usr/lib/wine/wine64 ]]; then
        windows_args+=(--wine-i686 /usr/lib/wine/wine --wine-x86_64 /usr/lib/wine/wine64)
    fi
else
    echo "run-bench: MinGW-w64 or Wine is missing, so the Windows executables are not timed" >&2
fi

# The walk held to one core is timed against the tool as it was before its
# walk ran on several threads: $TRAKMAP_BENCH_BASELINE names that commit
# ("none" leaves the comparison out). It is built once per commit.
baseline_ref="${TRAKMAP_BENCH_BASELINE:-6a9eab9}"
baseline_args=()
if [[ "$baseline_ref" != none ]] && command -v taskset >/dev/null &&
    baseline_commit="$(git -C "$repo" rev-parse -q --verify "$baseline_ref^{commit}")"; then
    if [[ ! -x "$build/baseline/trakmap" || "$(cat "$build/baseline/commit" 2>/dev/null)" != "$baseline_commit" ]]; then
        rm -rf "$build/baseline" "$build/baseline-src"
        mkdir -p "$build/baseline-src"
        git -C "$repo" archive "$baseline_commit" | tar -x -C "$build/baseline-src"
        if ! { cmake -S "$build/baseline-src" -B "$build/baseline" -DCMAKE_BUILD_TYPE=Release -DTRAKMAP_BUILD_TESTS=OFF &&
                   cmake --build "$build/baseline" -j2 --target trakmap; } >>"$build/build.log" 2>&1; then
            cat "$build/build.log" >&2
            exit 1
        fi
        echo "$baseline_commit" > "$build/baseline/commit"
    fi
    baseline_args=(--baseline "$build/baseline/trakmap")
else
    echo "run-bench: no earlier build (or no taskset), so the walk on one core is not compared" >&2
fi

c++ -O2 -o "$build/spawn_timed" "$here/spawn_timed.cpp"
python3 "$here/time_tools.py" --tool "$build/trakmap" --launcher "$build/spawn_timed" --data "$data" --pairs "$pairs" \
    "${baseline_args[@]}" "${windows_args[@]}"

if [[ -x "$build/bench/flac_walk_bench" ]]; then
    echo
    echo "In-process FLAC walk (Google Benchmark):"
    "$build/bench/flac_walk_bench" "$data/album.flac" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
fi
