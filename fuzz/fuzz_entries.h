// One entry per kind of input the tool reads. Each takes arbitrary bytes,
// feeds them to the tool's code the way the tool meets them, and returns what
// libFuzzer expects (0, or -1 for an input not worth keeping). The fuzz
// targets call them, and the test suite replays its regression inputs through
// them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace trakmap::fuzz {

using Input = std::span<const std::uint8_t>;

// Cue sheet text: parsed, then written back.
int fuzzCueSheet(Input input);
// The whole pass over one sheet: its text, the line "--8<--", then the bytes
// of the one file the sheet may name ("audio"; CDTEXTFILE may name it too).
// The report goes to standard output.
int fuzzRunSheet(Input input);
// Any audio file behind a WAVE line, through the probe dispatch.
int fuzzProbeDispatch(Input input);
// FLAC and WavPack files are probed twice: the second probe takes the table
// the first one cached and must agree with it. A FLAC stream is also walked
// in parts and through a reader buffer of a few bytes, which must give what
// one walk gives.
int fuzzProbeFlac(Input input);
// The input repeated to fill the window the probe reads first (made 16 KiB
// here instead of the product's 1 MiB), plus its own length: whole blocks
// become a long chain, and the last copy ends part way.
int fuzzProbeWavPack(Input input);
int fuzzProbeMonkeysAudio(Input input);
int fuzzProbeTta(Input input);
int fuzzProbeAlac(Input input);
// A CD-TEXT file: loaded, then its packs dumped.
int fuzzCdTextFile(Input input);
// A seek-table cache file, tried as its bytes stand and as an unscrambled
// image sealed (checksummed and scrambled) first, so that mutations reach the
// checks behind the checksum.
int fuzzSeekTableCache(Input input);
// Settings and audio for the reference FLAC encoder, then changes to the
// frames it wrote (with their CRCs made right): the frame walk must find the
// frames the reference decoder finds in every stream that decoder reads whole,
// through the product's reader buffer and through one of a few bytes.
int fuzzFlacDifferential(Input input);

// The entry for a target name ("cue_sheet", "probe_flac", ...); null for none.
using Entry = int (*)(Input);
Entry entryNamed(std::string_view target);

}  // namespace trakmap::fuzz
