// ID3 tags, which taggers put in front of audio (version 2) or behind it
// (version 1). Only their extent is read, never their frames.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/platform.h"

namespace trakmap {

inline constexpr std::uint32_t kId3v2HeaderBytes = 10;
inline constexpr std::uint32_t kId3v1TagBytes = 128;

// The whole length of the ID3v2 tag whose first 10 bytes are `header`: the
// header, the syncsafe size it gives and the footer its flags announce. 0
// when the bytes do not begin an ID3v2 tag.
std::uint64_t id3v2TagLength(std::span<const std::uint8_t> header);

// Where the data behind the ID3v2 tags at the start of `file` (`fileSize`
// bytes) begins: 0 when it has none; nothing when a tag runs past the end of
// the file. Moves the file position.
std::optional<std::uint64_t> dataBehindId3v2Tags(NativeFile file, std::uint64_t fileSize);

// Whether the last 128 bytes of a file, `tail`, are an ID3v1 tag.
bool isId3v1Tag(std::span<const std::uint8_t> tail);

}  // namespace trakmap
