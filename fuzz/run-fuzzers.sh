#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS seconds,
# starting from a throwaway copy of the committed seeds. Fails when a target
# crashes, leaks, hangs or breaks a sanitizer check; the input that did it is
# kept under build/fuzz/artifacts.
#
#   bash fuzz/run-fuzzers.sh SECONDS [TARGET...]
#
# TARGET names (without the fuzz_ prefix) pick some targets; by default all
# run, TRAKMAP_FUZZ_PARALLEL (default 2) at a time. TRAKMAP_FUZZ_CORPUS=DIR
# keeps the grown corpora in DIR/<target> (and starts from them next time).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:?usage: run-fuzzers.sh SECONDS [TARGET...]}"
shift
all_targets=(cue_sheet run_sheet probe_dispatch probe_flac probe_wavpack probe_monkeys_audio
             probe_tta probe_alac cdtext_file seek_table_cache flac_differential)
targets=("${@:-${all_targets[@]}}")
parallel="${TRAKMAP_FUZZ_PARALLEL:-2}"

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DTRAKMAP_FUZZ=ON -DTRAKMAP_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$parallel" --target $(printf 'fuzz_%s ' "${targets[@]}")

artifacts="$build/artifacts"
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Scratch files of the targets go to memory where there is some.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

max_len() {
  case "$1" in
    probe_wavpack | probe_monkeys_audio | probe_tta | cdtext_file) echo 4096 ;;
    seek_table_cache) echo 2048 ;;
    cue_sheet | probe_alac) echo 8192 ;;
    flac_differential) echo 4096 ;;
    *) echo 16384 ;;
  esac
}

dictionary() {
  case "$1" in
    cue_sheet | run_sheet) echo "-dict=fuzz/dict/cue_sheet.dict" ;;
    probe_dispatch | probe_alac) echo "-dict=fuzz/dict/audio.dict" ;;
  esac
}

run_target() {
  local target="$1" corpus="$work/corpus/$1"
  if [ -n "${TRAKMAP_FUZZ_CORPUS:-}" ]; then corpus="$TRAKMAP_FUZZ_CORPUS/$target"; fi
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  # The dispatch starts from every probe's seeds.
  if [ "$target" = probe_dispatch ]; then
    cp -n fuzz/corpus/probe_{flac,wavpack,monkeys_audio,tta,alac}/* "$corpus"/
  fi
  local status=0
  # stdout and stderr of the code under test are closed (-close_fd_mask=3);
  # libFuzzer and the sanitizers still report on their own copy of stderr.
  # The processor time it took (user and system seconds) goes to $target.cpu:
  # with other work on the machine, executions per second of that time say
  # more about a target than per second of the clock.
  local TIMEFORMAT='%U %S'
  { time timeout --kill-after=30 $((seconds + 300)) "$build/fuzz/fuzz_$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$target")" \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
      $(dictionary "$target") "$corpus" </dev/null >"$work/$target.log" 2>&1 || status=$?; } 2>"$work/$target.cpu"
  local last
  last="$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$work/$target.log" | tail -1 || true)"
  local execs
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")"
  if [ "$status" -ne 0 ]; then
    echo "FAIL $target (exit $status)"
    tail -60 "$work/$target.log"
    return 1
  fi
  local cpu rate
  cpu="$(awk '{ printf "%.1f", $1 + $2 }' "$work/$target.cpu")"
  rate="$(awk -v n="${execs:-0}" '{ t = $1 + $2; printf "%d", (t > 0 ? n / t : 0) }' "$work/$target.cpu")"
  echo "ok   $target: ${execs:-?} executions in ${cpu} s of processor time (${rate} a second); ${last}"
}

failed=0
running=0
pids=()
names=()
for target in "${targets[@]}"; do
  run_target "$target" &
  pids+=($!)
  names+=("$target")
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done

if [ "$failed" -ne 0 ]; then
  echo "fuzzing found a fault; the inputs are in $artifacts" >&2
  exit 1
fi
echo "fuzzing: every target ran ${seconds} s without a fault"
