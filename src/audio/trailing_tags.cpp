#include "audio/trailing_tags.h"

#include "audio/apev2.h"
#include "audio/file_helpers.h"
#include "audio/id3.h"

namespace trakmap {

namespace {

// The `count` bytes that end at `end`; false when they cannot be read.
bool readBefore(NativeFile file, std::uint64_t end, std::uint8_t* bytes, std::uint32_t count) {
    return end >= count && readExactlyAt(file, end - count, bytes, count);
}

}  // namespace

std::uint64_t audioEndBeforeTags(NativeFile file, std::uint64_t fileSize, std::uint64_t audioStart) {
    std::uint64_t end = fileSize;
    bool id3v1Seen = false;
    bool apeSeen = false;
    // At most one tag of each kind, in either order.
    while (!(id3v1Seen && apeSeen) && end > audioStart) {
        std::uint64_t room = end - audioStart;
        std::uint8_t tail[kId3v1TagBytes];
        if (!id3v1Seen && room >= kId3v1TagBytes && readBefore(file, end, tail, kId3v1TagBytes) && isId3v1Tag(tail)) {
            id3v1Seen = true;
            end -= kId3v1TagBytes;
            continue;
        }
        std::uint8_t footer[kApeTagFooterBytes];
        std::uint64_t length = 0;
        if (!apeSeen && readBefore(file, end, footer, kApeTagFooterBytes)) length = apeTagLength(footer);
        if (length == 0 || length > room) break;
        apeSeen = true;
        end -= length;
    }
    return end;
}

}  // namespace trakmap
