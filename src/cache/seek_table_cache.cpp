#include "cache/seek_table_cache.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"

namespace trakmap {

namespace {

// File layout: magic, checksum, then the scrambled body from offset 8: entry
// count, maxFrameSamples, maxFrameBytes, totalSamples, 8 zero bytes, the
// digest, and 8 bytes per entry (sample, offset). All little-endian.
constexpr std::uint32_t kMagic = 0x534B5430;  // the bytes "0TKS"
constexpr std::uint32_t kHeaderBytes = 48;
constexpr std::uint32_t kEntryBytes = 8;
constexpr std::uint32_t kBodyStart = 8;
constexpr std::uint32_t kDigestOffset = 32;

// Files written with one key are readable only with the same key.
constexpr std::array<std::uint8_t, 16> kCacheKey = {0x5A, 0xC3, 0x17, 0x8E, 0x29, 0xF0, 0x64, 0xB1,
                                                    0x0D, 0x93, 0x4E, 0xA7, 0x72, 0x1C, 0xE5, 0x38};

// kCrcTables[0] is the CRC of each byte value; kCrcTables[n] is that CRC
// followed by n zero bytes, so eight bytes can be folded in at once.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        tables[0][i] = crc;
    }
    for (std::size_t n = 1; n < tables.size(); ++n)
        for (std::uint32_t i = 0; i < 256; ++i)
            tables[n][i] = (tables[n - 1][i] << 8) ^ tables[0][tables[n - 1][i] >> 24];
    return tables;
}

constexpr CrcTables kCrcTables = makeCrcTables();

PathString& rootOverride() {
    static PathString root;
    return root;
}

// The folder below which "Vantorel" lives: the test seam, the process-wide
// override, the machine's application data, the user's, else the root.
PathString cacheRoot() {
    if (!rootOverride().empty()) return rootOverride();
    const char* fromEnvironment = std::getenv("TRAKMAP_CACHE_ROOT");
    PathString root;
    // The variable holds 8-bit text in the system's code page, like a sheet name.
    if (fromEnvironment != nullptr && fromEnvironment[0] != 0 &&
        platformSheetNameToPath(fromEnvironment, false, kMaxPath, &root))
        return root;
    root.clear();
    if (platformAppDataFolder(true, &root)) return root;
    root.clear();
    if (platformAppDataFolder(false, &root)) return root;
    return PathString();
}

void appendAscii(PathString* path, std::string_view text) {
    for (char c : text) path->push_back(static_cast<PathChar>(c));
}

}  // namespace

bool seekTableCachePath(PathString* path, char letter, const Digest& digest) {
    PathString full = cacheRoot();
    full.push_back(kPathSeparator);
    appendAscii(&full, "Vantorel");
    std::size_t firstFolderEnd = full.size();
    full.push_back(kPathSeparator);
    appendAscii(&full, "seektable");
    std::size_t secondFolderEnd = full.size();
    full.push_back(kPathSeparator);
    full.push_back(static_cast<PathChar>(letter));
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    for (std::uint8_t byte : digest) {
        full.push_back(static_cast<PathChar>(kHexDigits[byte >> 4]));
        full.push_back(static_cast<PathChar>(kHexDigits[byte & 0x0F]));
    }
    appendAscii(&full, ".skt");
    if (full.size() + 1 > kMaxPath) return false;
    platformCreateFolder(full.substr(0, firstFolderEnd).c_str());
    platformCreateFolder(full.substr(0, secondFolderEnd).c_str());
    *path = std::move(full);
    return true;
}

std::uint32_t cacheChecksum(std::span<const std::uint8_t> bytes) {
    // A warm cache's cost is mostly this pass over the table, so it takes
    // eight bytes a step (slicing by eight), then the rest a byte at a time.
    const auto& t = kCrcTables;
    std::uint32_t crc = 0xFFFFFFFFu;
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    for (; left >= 8; p += 8, left -= 8) {
        crc ^= loadBe32(p);
        crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xFF] ^ t[5][(crc >> 8) & 0xFF] ^ t[4][crc & 0xFF] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; left > 0; ++p, --left) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *p];
    return crc;
}

void scrambleCacheBody(std::span<std::uint8_t> bytes) {
    // Whole 16-byte key lengths as two words each, then the tail byte by byte.
    std::uint64_t keyWords[2];
    std::memcpy(keyWords, kCacheKey.data(), sizeof keyWords);
    std::size_t k = 0;
    for (; k + 16 <= bytes.size(); k += 16) {
        std::uint64_t words[2];
        std::memcpy(words, bytes.data() + k, sizeof words);
        words[0] ^= keyWords[0];
        words[1] ^= keyWords[1];
        std::memcpy(bytes.data() + k, words, sizeof words);
    }
    for (; k < bytes.size(); ++k) bytes[k] ^= kCacheKey[k % kCacheKey.size()];
}

void storeSeekTable(std::span<const SeekPoint> table, const Digest& digest, char letter,
                    std::uint32_t maxFrameSamples, std::uint32_t maxFrameBytes,
                    std::uint32_t totalSamples) {
    if (table.empty() || table.size() > (0xFFFFFFFFu - kHeaderBytes) / kEntryBytes) return;
    auto count = static_cast<std::uint32_t>(table.size());
    std::uint32_t length = kHeaderBytes + kEntryBytes * count;
    HeapBytes image(static_cast<std::uint8_t*>(allocZeroedBlock(length)));
    if (!image) return;
    std::uint8_t* p = image.get();
    storeLe32(p, kMagic);
    storeLe32(p + 8, count);
    storeLe32(p + 12, maxFrameSamples);
    storeLe32(p + 16, maxFrameBytes);
    storeLe32(p + 20, totalSamples);
    std::memcpy(p + kDigestOffset, digest.data(), digest.size());
    for (std::uint32_t i = 0; i < count; ++i) {
        storeLe32(p + kHeaderBytes + kEntryBytes * i, table[i].sample);
        storeLe32(p + kHeaderBytes + kEntryBytes * i + 4, table[i].offset);
    }
    std::span<std::uint8_t> body(p + kBodyStart, length - kBodyStart);
    storeLe32(p + 4, cacheChecksum(body));
    scrambleCacheBody(body);
    PathString path;
    if (!seekTableCachePath(&path, letter, digest)) return;
    platformStoreWholeFile(path.c_str(), p, length);
}

std::optional<SeekTableRecord> loadSeekTable(char letter, const Digest& digest) {
    PathString path;
    if (!seekTableCachePath(&path, letter, digest) || !platformFileExists(path.c_str())) return std::nullopt;
    std::uint32_t length = 0;
    HeapBytes image = readWholeFile(path.c_str(), &length);
    if (!image || length < kHeaderBytes || length % 4 != 0) return std::nullopt;
    std::uint8_t* p = image.get();
    if (loadLe32(p) != kMagic) return std::nullopt;
    std::span<std::uint8_t> body(p + kBodyStart, length - kBodyStart);
    scrambleCacheBody(body);
    if (cacheChecksum(body) != loadLe32(p + 4)) return std::nullopt;
    if (std::memcmp(p + kDigestOffset, digest.data(), digest.size()) != 0) return std::nullopt;
    // Callers need at least one entry, and every entry must lie inside the file.
    std::uint32_t count = loadLe32(p + 8);
    if (count == 0 || count > (length - kHeaderBytes) / kEntryBytes) return std::nullopt;

    SeekTableRecord record;
    record.maxFrameSamples = loadLe32(p + 12);
    record.maxFrameBytes = loadLe32(p + 16);
    record.totalSamples = loadLe32(p + 20);
    record.entries.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = p + kHeaderBytes + kEntryBytes * i;
        record.entries[i] = SeekPoint{loadLe32(entry), loadLe32(entry + 4)};
    }
    return record;
}

void setSeekTableCacheRoot(const PathString& root) { rootOverride() = root; }

}  // namespace trakmap
