#!/usr/bin/env python3
"""Hand-made seeds for the formats without an encoder at hand, and the cue
sheets, CD-TEXT files and cache files; called by make-seeds.sh."""
import os
import struct
import sys

corpus, work = sys.argv[1], sys.argv[2]


def put(folder, name, data):
    with open(os.path.join(corpus, folder, name), "wb") as out:
        out.write(data)


def read(folder, name):
    with open(os.path.join(corpus, folder, name), "rb") as f:
        return f.read()


# Monkey's Audio: the descriptor layout (3990) and the old layout (3970, with
# and without its optional fields), CD format, a few frames.
def ape_new(frames=3, final=1000, rate=44100, frame_bytes=64):
    # The frames follow the table, each frame_bytes long.
    first = 76 + 4 * frames
    table = b"".join(struct.pack("<I", first + 64 * i) for i in range(frames))
    descriptor = struct.pack("<IIIIIII16s", 52, 24, len(table), 0, frame_bytes * frames, 0, 0, bytes(16))
    header = struct.pack("<HHIIIHHI", 2000, 0, 73728, final, frames, 16, 2, rate)
    return b"MAC " + struct.pack("<HH", 3990, 0) + descriptor + header + table + bytes(64 * frames)


def ape_old(flags, frames=3):
    wav_header = bytes(44) if not flags & 32 else b""
    fields = struct.pack("<HHIIIII", flags, 2, 44100, len(wav_header), 0, frames, 500)
    extra = b""
    if flags & 4:
        extra += struct.pack("<I", 0x7FFF)
    if flags & 16:
        extra += struct.pack("<I", frames)
    first = 32 + len(extra) + len(wav_header) + 4 * frames
    table = b"".join(struct.pack("<I", first + 64 * i) for i in range(frames))
    return b"MAC " + struct.pack("<HH", 3970, 2000) + fields + extra + wav_header + table + bytes(64 * frames)


put("probe_monkeys_audio", "new-layout.ape", ape_new())
put("probe_monkeys_audio", "old-layout.ape", ape_old(0))
put("probe_monkeys_audio", "old-layout-all-fields.ape", ape_old(4 | 16 | 32))
# Other formats, and copies whose table or frames run past the end.
put("probe_monkeys_audio", "48k.ape", ape_new(rate=48000))
put("probe_monkeys_audio", "cut-in-table.ape", ape_new()[:84])
put("probe_monkeys_audio", "cut-in-frames.ape", ape_new()[:250])
put("probe_monkeys_audio", "frames-past-end.ape", ape_new(frame_bytes=65))


# CD-TEXT: 18-byte packs (type, track, sequence, block and character
# position, 12 text bytes, CRC-16/GSM).
def crc16_gsm(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc ^ 0xFFFF


def packs(pack_type, texts, first_sequence=0):
    stream = b"".join(t.encode("latin-1") + b"\0" for t in texts)
    out, track, sequence = b"", 0, first_sequence
    for start in range(0, len(stream), 12):
        chunk = stream[start:start + 12].ljust(12, b"\0")
        body = bytes([pack_type, track, sequence & 0xFF, 0]) + chunk
        out += body + struct.pack(">H", crc16_gsm(body))
        sequence += 1
        track += stream[start:start + 12].count(b"\0")
    return out


cdtext = packs(0x80, ["An album title", "First", "Second track's long title"]) + \
    packs(0x81, ["Performer", "A", "B"], 8) + packs(0x8E, ["0123456789012"], 16)
size_info = bytes([0x8F, 0, 20, 0]) + bytes(12)
cdtext_with_size = cdtext + size_info + struct.pack(">H", crc16_gsm(size_info))
put("cdtext_file", "titles.cdt", cdtext)
put("cdtext_file", "titles-size-info.cdt", cdtext_with_size)


# Seek-table cache files: sealed as stored, and the plain images the target
# seals itself.
KEY = bytes([0x5A, 0xC3, 0x17, 0x8E, 0x29, 0xF0, 0x64, 0xB1, 0x0D, 0x93, 0x4E, 0xA7, 0x72, 0x1C, 0xE5, 0x38])


def crc32_mpeg2(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if crc & 0x80000000 else (crc << 1) & 0xFFFFFFFF
    return crc


def cache_image(entries, digest):
    body = struct.pack("<IIII", len(entries), 4608, 9000, entries[-1][0]) + bytes(8) + digest
    body += b"".join(struct.pack("<II", s, o) for s, o in entries)
    return body


def seal(body):
    scrambled = bytes(b ^ KEY[i % 16] for i, b in enumerate(body))
    return struct.pack("<II", 0x534B5430, crc32_mpeg2(body)) + scrambled


entries = [(4608 * i, 8000 + 5000 * i) for i in range(5)] + [(23000, 40000)]
digest = bytes(range(16))
body = cache_image(entries, digest)
put("seek_table_cache", "sealed.skt", seal(body))
put("seek_table_cache", "plain.img", struct.pack("<II", 0x534B5430, 0) + body)
put("seek_table_cache", "one-entry-sealed.skt", seal(cache_image([(0, 44)], bytes(16))))

# Cue sheets.
album = b"""REM GENRE Rock
REM DATE 1999
REM DISCID 12345678
REM COMMENT "made by hand"
CATALOG 1234567890123
PERFORMER "Someone"
TITLE "An album"
CDTEXTFILE "album.cdt"
FILE "audio" WAVE
  TRACK 01 AUDIO
    TITLE "First"
    PERFORMER "A"
    ISRC ABCDE1234567
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    TITLE "Second"
    SONGWRITER "S"
    COMPOSER "C"
    ARRANGER "R"
    MESSAGE "M"
    PREGAP 00:02:00
    INDEX 00 00:00:10
    INDEX 01 00:00:20
    POSTGAP 00:01:00
"""
mixed = b"""\xef\xbb\xbfREM SESSION 01
FILE "data.bin" BINARY
  TRACK 01 MODE1/2352
    INDEX 01 00:00:00
REM SESSION 02
REM LEAD-OUT 00:10:00
FILE "audio" WAVE
  TRACK 02 AUDIO
    INDEX 00 00:00:00
    INDEX 01 00:00:30
  track 03 audio
    index 01 00:00:40
"""
put("cue_sheet", "album.cue", album)
put("cue_sheet", "mixed.cue", mixed)
put("cue_sheet", "error.cue", b"FILE\r\nTRACK 01 AUDIO\r\n")

# The driver: a sheet, the separator line, then the one file it names.
SEPARATOR = b"\n--8<--\n"
two_tracks = b"""TITLE "Album"
FILE "audio" WAVE
  TRACK 01 AUDIO
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    INDEX 00 00:00:01
    INDEX 01 00:00:02
"""
with open(os.path.join(work, "tone.wav"), "rb") as f:
    wave = f.read()
put("run_sheet", "flac", two_tracks + SEPARATOR + read("probe_flac", "silence-0.flac"))
put("run_sheet", "wave", two_tracks + SEPARATOR + wave[:44] + wave[44:44 + 2352 * 2])
put("run_sheet", "tta", two_tracks + SEPARATOR + read("probe_tta", "tone.tta"))
put("run_sheet", "monkeys-audio", two_tracks + SEPARATOR + ape_new())
put("run_sheet", "cdtext", album.replace(b"album.cdt", b"audio").replace(b"WAVE", b"BINARY") +
    SEPARATOR + cdtext_with_size)

# The FLAC probe as files are found: an ID3v2 tag in front, APEv2 and ID3v1
# tags behind, a STREAMINFO total of 0 with bytes after the frames; the
# dispatch also sees FLAC and WavPack behind an ID3v2 tag.
def id3v2_tag(payload=64):
    size = bytes((payload >> shift) & 0x7F for shift in (21, 14, 7, 0))
    frame = b"TIT2" + struct.pack(">IH", 8, 0) + b"\x03A title"
    return b"ID3\x03\x00\x00" + size + frame + bytes(payload - len(frame))


def ape_tag():
    item = struct.pack("<II", 7, 0) + b"Title\0A title"
    size = len(item) + 32
    header = b"APETAGEX" + struct.pack("<IIII", 2000, size, 1, 0xA0000000) + bytes(8)
    footer = b"APETAGEX" + struct.pack("<IIII", 2000, size, 1, 0x80000000) + bytes(8)
    return header + item + footer


id3v1 = b"TAG" + b"T" * 30 + b"A" * 30 + b"B" * 30 + b"1999" + b" " * 30 + bytes([17])
tone_flac = read("probe_flac", "tone-8.flac")
unknown_total = bytearray(tone_flac)
unknown_total[21] &= 0xF0  # the 36-bit total samples of STREAMINFO
unknown_total[22:26] = bytes(4)
put("probe_flac", "id3v2-front.flac", id3v2_tag() + tone_flac)
put("probe_flac", "tags-behind.flac", tone_flac + ape_tag() + id3v1)
put("probe_flac", "total-0-junk.flac", bytes(unknown_total) + bytes(100))
put("probe_dispatch", "id3v2-flac", id3v2_tag() + tone_flac)
put("probe_dispatch", "id3v2-wavpack", id3v2_tag() + read("probe_wavpack", "tone.wv"))


# The FLAC differential target reads settings for the reference encoder, not a
# stream: format, block size, samples per channel, LPC order, precision and
# search flags, partition orders, stereo and apodization, metadata, the shape
# of the audio and its seed; then changes to the frames written, four bytes
# each (kind, frame, a 16-bit value; a fifth for a byte changed in a frame).
def flac_settings(fmt=0x00, rate=None, block=0, samples=12288, lpc=8, precision=0, partitions=0x40, flags=0x01,
                  metadata=0, shape=2, seed=0x12345678, block_value=None):
    data = bytes([fmt]) + (bytes([rate]) if rate is not None else b"") + bytes([block])
    if block_value is not None:
        data += struct.pack(">H", block_value)
    return data + struct.pack(">HBBBBBB", samples, lpc, precision, partitions, flags, metadata, shape) + \
        struct.pack(">I", seed)


def flac_change(kind, frame, value, xor=None):
    return struct.pack(">BBH", kind, frame, value) + (bytes([xor]) if xor is not None else b"")


put("flac_differential", "cd-tone", flac_settings())
put("flac_differential", "cd-variable-blocking", flac_settings() + flac_change(7, 0, 0))
put("flac_differential", "cd-recoded-headers",
    flac_settings() + flac_change(1, 1, 1) + flac_change(2, 0, 2) + flac_change(3, 2, 4) + flac_change(0, 1, 0))
put("flac_differential", "cd-changed-residual", flac_settings(shape=6) + flac_change(6, 1, 100, 0x10))
put("flac_differential", "cd-silence-seektable", flac_settings(shape=0, metadata=0x02 | 3 << 2, block=2))
put("flac_differential", "cd-wasted-bits-lpc32", flac_settings(shape=5, block=9, lpc=32, partitions=0x28))
put("flac_differential", "cd-no-streaminfo-rewrite", flac_settings(precision=0x40 | 12, metadata=1 | 20 << 2) + flac_change(7, 0, 0))
put("flac_differential", "cd-odd-block-size", flac_settings(block=200, block_value=1000, samples=5000, flags=0x03))
put("flac_differential", "mono-8-bit-8k", flac_settings(fmt=0x90, rate=2, block=3, samples=1000, shape=4))
put("flac_differential", "6ch-24-bit-48k", flac_settings(fmt=0x8D, rate=1, block=1, samples=3000, shape=6))
put("flac_differential", "stereo-32-bit-96k",
    flac_settings(fmt=0xA9, rate=3, block=5, samples=900, shape=4, precision=0x30 | 15, lpc=4))
put("flac_differential", "stereo-20-bit-odd-rate",
    flac_settings(fmt=0xA1, rate=8, block=4, samples=2000, shape=7, flags=0x1D) + flac_change(2, 0, 3))
