#!/usr/bin/env bash
# Regenerates the committed seed corpora under fuzz/corpus with the reference
# encoders (flac, wavpack, ffmpeg) and, for the formats without one at hand,
# small hand-made files. Run it from anywhere; it replaces fuzz/corpus.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
corpus="$here/corpus"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for tool in flac wavpack ffmpeg python3; do
  command -v "$tool" >/dev/null || { echo "make-seeds: $tool is needed" >&2; exit 1; }
done
rm -rf "$corpus"
mkdir -p "$corpus"/{cue_sheet,run_sheet,probe_dispatch,probe_flac,probe_wavpack,probe_monkeys_audio,probe_tta,probe_alac,cdtext_file,seek_table_cache,flac_differential}

# Short CD-format sources: quiet noise (exercises every predictor), a tone and silence.
lavfi() { ffmpeg -hide_banner -loglevel error -y -f lavfi -i "$1" -ac 2 -ar 44100 -fflags +bitexact -flags:a +bitexact "${@:2}"; }
lavfi 'anoisesrc=d=0.02:c=pink:r=44100:a=0.0002:s=3' -c:a pcm_s16le "$work/noise.wav"
lavfi 'sine=frequency=440:duration=0.06' -af volume=0.01 -c:a pcm_s16le "$work/tone.wav"
lavfi 'anoisesrc=d=0.25:c=pink:r=44100:a=0.0001:s=5' -c:a pcm_s16le "$work/longer.wav"
lavfi 'anullsrc=r=44100:cl=stereo' -t 0.06 -c:a pcm_s16le "$work/silence.wav"

flac --silent --force --lax -b 192 -o "$corpus/probe_flac/noise-192.flac" "$work/noise.wav"
flac --silent --force -8 --no-padding -o "$corpus/probe_flac/tone-8.flac" "$work/tone.wav"
flac --silent --force -0 --no-padding --no-seektable -o "$corpus/probe_flac/silence-0.flac" "$work/silence.wav"

# Whole blocks only: the WavPack target repeats its input to fill the window the probe reads first.
wavpack -q -y --blocksize=512 "$work/noise.wav" -o "$corpus/probe_wavpack/noise-512.wv"
wavpack -q -y "$work/tone.wav" -o "$corpus/probe_wavpack/tone.wv"

ffmpeg -hide_banner -loglevel error -y -i "$work/tone.wav" -c:a tta "$corpus/probe_tta/tone.tta"
ffmpeg -hide_banner -loglevel error -y -i "$work/longer.wav" -c:a alac -sample_fmt s16p "$corpus/probe_alac/noise.m4a"
ffmpeg -hide_banner -loglevel error -y -i "$work/longer.wav" -c:a alac -sample_fmt s16p -movflags +faststart \
  "$corpus/probe_alac/faststart.m4a"
# Other brands, other formats, other audio, and copies cut short.
ffmpeg -hide_banner -loglevel error -y -i "$work/longer.wav" -c:a alac -sample_fmt s16p "$corpus/probe_alac/isom.mp4"
ffmpeg -hide_banner -loglevel error -y -i "$work/longer.wav" -ar 48000 -ac 1 -c:a alac -sample_fmt s16p \
  "$corpus/probe_alac/48k-mono.m4a"
ffmpeg -hide_banner -loglevel error -y -i "$work/tone.wav" -c:a aac -b:a 32k "$corpus/probe_alac/aac.m4a"
head -c 1900 "$corpus/probe_alac/faststart.m4a" > "$corpus/probe_alac/cut-faststart.m4a"
head -c 1200 "$corpus/probe_alac/noise.m4a" > "$corpus/probe_alac/cut.m4a"
ffmpeg -hide_banner -loglevel error -y -i "$work/tone.wav" -ar 48000 -c:a tta "$corpus/probe_tta/48k.tta"
head -c 900 "$corpus/probe_tta/tone.tta" > "$corpus/probe_tta/cut.tta"

python3 "$here/make-seeds.py" "$corpus" "$work"

# The dispatch also starts from every probe's seeds (run-fuzzers.sh adds them).
head -c 2000 "$work/tone.wav" > "$corpus/probe_dispatch/tone-head.wav"
