#include "audio/stored_table.h"

#include <algorithm>

namespace trakmap {

namespace {

constexpr std::uint32_t kPieceBytes = 65536;

// Loads the next piece of whole entries; false when the table cannot be read further.
bool loadPiece(StoredTable& table) {
    if (!table.piece) table.piece = std::make_unique<std::uint8_t[]>(kPieceBytes);
    std::uint64_t wanted64 = std::min<std::uint64_t>(table.entriesLeft, kPieceBytes / table.entryBytes);
    auto wanted = static_cast<std::uint32_t>(wanted64) * table.entryBytes;
    if (!platformSeekFile(table.file, static_cast<std::int64_t>(table.position), SeekFrom::begin)) {
        table.readFailed = true;
        return false;
    }
    std::uint32_t filled = 0;
    while (filled < wanted) {
        std::uint32_t got = 0;
        if (!platformReadFile(table.file, table.piece.get() + filled, wanted - filled, &got)) {
            table.readFailed = true;
            break;
        }
        if (got == 0) {
            table.cutShort = true;
            break;
        }
        filled += got;
    }
    // Only whole entries count; a partial one at the end is where the file stops.
    table.pieceBytes = filled - filled % table.entryBytes;
    table.pieceAt = 0;
    table.position += table.pieceBytes;
    return table.pieceBytes != 0;
}

}  // namespace

StoredTable openStoredTable(NativeFile file, std::uint64_t position, std::uint64_t count,
                            std::uint32_t entryBytes) {
    StoredTable table;
    table.file = file;
    table.position = position;
    table.entriesLeft = count;
    table.entryBytes = std::clamp<std::uint32_t>(entryBytes, 1, 64);
    return table;
}

const std::uint8_t* nextEntry(StoredTable& table) {
    if (table.entriesLeft == 0) return nullptr;
    if (table.pieceAt == table.pieceBytes) {
        if (table.cutShort || table.readFailed || !loadPiece(table)) return nullptr;
    }
    const std::uint8_t* entry = table.piece.get() + table.pieceAt;
    table.pieceAt += table.entryBytes;
    --table.entriesLeft;
    return entry;
}

std::string cutShortReason(const std::string& subject, std::uint64_t reached, std::uint64_t fileSize,
                           std::uint64_t samplesThere, std::uint64_t samplesClaimed) {
    return "cut short: " + subject + " byte " + std::to_string(reached) + " of a " +
           std::to_string(fileSize) + "-byte file (" + std::to_string(std::min(samplesThere, samplesClaimed)) +
           " of " + std::to_string(samplesClaimed) + " samples there)";
}

std::string damagedReason(const std::string& what) { return what + ": the file is damaged"; }

}  // namespace trakmap
