#include "cache/seek_table_cache.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"
#include "platform/parallel.h"

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
// A store never writes more than the 32-bit lengths allow.
constexpr std::int64_t kMaxCacheFileBytes = 0xFFFFFFF8;

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

constexpr std::string_view kAppFolder = "Vantorel";
constexpr std::string_view kTableFolder = "seektable";
constexpr std::string_view kExtension = ".skt";
constexpr std::size_t kDigitCount = 32;  // two per digest byte
constexpr std::string_view kTemporaryMark = ".tmp.";
constexpr std::size_t kTemporarySuffixLength = 12;
constexpr std::size_t kMaxTemporarySuffixLength = 32;  // earlier versions used the process id
// A temporary file older than this was left by a killed store: a live store
// writes its file in one go and renames it at once.
constexpr std::int64_t kStaleTemporarySeconds = 60;
// Random names collide only when someone plants files under them.
constexpr int kTemporaryNameAttempts = 8;

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

PathString asPath(std::string_view text) {
    PathString path;
    appendAscii(&path, text);
    return path;
}

void appendFolder(PathString* path, std::string_view name) {
    path->push_back(kPathSeparator);
    appendAscii(path, name);
}

// "F" and the digest's 32 upper-case hexadecimal digits, then ".skt".
PathString cacheFileName(char letter, const Digest& digest) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    PathString name(1, static_cast<PathChar>(letter));
    for (std::uint8_t byte : digest) {
        name.push_back(static_cast<PathChar>(kHexDigits[byte >> 4]));
        name.push_back(static_cast<PathChar>(kHexDigits[byte & 0x0F]));
    }
    appendAscii(&name, kExtension);
    return name;
}

bool isAsciiIn(PathChar c, char first, char last) { return c >= PathChar(first) && c <= PathChar(last); }

bool isUpperHexDigit(PathChar c) { return isAsciiIn(c, '0', '9') || isAsciiIn(c, 'A', 'F'); }

bool isAlphanumeric(PathChar c) {
    return isAsciiIn(c, '0', '9') || isAsciiIn(c, 'A', 'Z') || isAsciiIn(c, 'a', 'z');
}

bool isCacheFileName(PathView name) {
    if (name.size() != 1 + kDigitCount + kExtension.size() || !isAsciiIn(name[0], 'A', 'Z')) return false;
    for (std::size_t i = 1; i <= kDigitCount; ++i)
        if (!isUpperHexDigit(name[i])) return false;
    return name.substr(1 + kDigitCount) == asPath(kExtension);
}

// The temporary names stores give their files: a cache file name, ".tmp.",
// then up to 32 letters and digits. Nothing else in the folder is touched.
bool isTemporaryName(PathView name) {
    std::size_t mark = name.find(asPath(kTemporaryMark));
    if (mark == PathView::npos || !isCacheFileName(name.substr(0, mark))) return false;
    PathView suffix = name.substr(mark + kTemporaryMark.size());
    if (suffix.empty() || suffix.size() > kMaxTemporarySuffixLength) return false;
    for (PathChar c : suffix)
        if (!isAlphanumeric(c)) return false;
    return true;
}

// `name` with ".tmp." and a random suffix that no other user can guess.
PathString temporaryNameFor(const PathString& name) {
    static constexpr char kSymbols[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::uint8_t random[kTemporarySuffixLength];
    platformRandomBytes(random, sizeof random);
    PathString temporary = name;
    appendAscii(&temporary, kTemporaryMark);
    for (std::uint8_t byte : random) temporary.push_back(static_cast<PathChar>(kSymbols[byte % 36]));
    return temporary;
}

CacheNotice& noticeReceiver() {
    static CacheNotice receiver = nullptr;
    return receiver;
}

// The seek-table folder of this run, opened and checked once; the run keeps
// it open, so each lookup and store costs only the file's own calls.
struct CacheFolderState {
    bool resolved = false;
    OwnFolder folder;     // no handle when the cache is not used
    std::string problem;  // why not, then
    bool noticeGiven = false;
    bool staleRemoved = false;
};

CacheFolderState& folderState() {
    static CacheFolderState state;
    return state;
}

// Files are probed on several threads at once: the folder state is read and
// changed only under this lock.
TaskLock& stateLock() {
    static TaskLock lock;
    return lock;
}

// Where this thread's notices are held instead of given, when set.
thread_local std::vector<std::string>* heldNotices = nullptr;

void deliverNotice(std::string_view text) {
    {
        TaskLockGuard guard(stateLock());
        CacheFolderState& state = folderState();
        if (state.noticeGiven) return;
        state.noticeGiven = true;
    }
    if (noticeReceiver() != nullptr) noticeReceiver()(text);
}

// Tells the user once per run why nothing is cached; every use of the cache
// that finds it unusable says so, and all but the first are dropped.
void giveNotice(const std::string& why) {
    std::string text = "seek tables are not cached: " + why;
    if (heldNotices != nullptr) heldNotices->push_back(std::move(text));
    else deliverNotice(text);
}

std::string quotedPath(const PathString& path) {
    std::string quoted = "\"";
    quoted += platformPathToUtf8(path);
    quoted += '"';
    return quoted;
}

std::string folderProblemText(FolderProblem problem, const PathString& path) {
    switch (problem) {
    case FolderProblem::isLink: return quotedPath(path) + " is a link";
    case FolderProblem::otherOwner: return quotedPath(path) + " belongs to another user";
    case FolderProblem::writableByOthers: return "others may write to " + quotedPath(path);
    case FolderProblem::cannotCreate:
    case FolderProblem::none: break;
    }
    return "cannot create the folder " + quotedPath(path);
}

// `root` with the two folders below it, when a cache file's path fits.
bool tableFolderPath(const PathString& root, PathString* path) {
    PathString full = root;
    appendFolder(&full, kAppFolder);
    appendFolder(&full, kTableFolder);
    // The separator, the file name and the terminator must fit as well.
    bool fits = full.size() + 1 + 1 + kDigitCount + kExtension.size() + 1 <= kMaxPath;
    *path = std::move(full);
    return fits;
}

// Opens root, "Vantorel" and "seektable" in turn, creating what is missing;
// on the first that cannot be used, says why.
void resolveCacheFolder(CacheFolderState& state) {
    state.resolved = true;
    PathString root = cacheRoot();
    PathString tablePath;
    if (!tableFolderPath(root, &tablePath)) {
        state.problem = "the path " + quotedPath(tablePath) + " is too long";
        return;
    }
    // An empty root is the root of the file system (of the current drive).
    if (root.empty()) root.push_back(kPathSeparator);
    OwnFolder rootFolder, appFolder;
    FolderProblem problem = platformOpenFolder(root.c_str(), &rootFolder);
    PathString failed = root;
    if (problem == FolderProblem::none) {
        problem = platformOpenOwnSubfolder(rootFolder, asPath(kAppFolder), &appFolder);
        failed = rootFolder.path;
        appendFolder(&failed, kAppFolder);
    }
    if (problem == FolderProblem::none) {
        problem = platformOpenOwnSubfolder(appFolder, asPath(kTableFolder), &state.folder);
        failed = tablePath;
    }
    if (problem != FolderProblem::none) {
        state.folder = OwnFolder{};
        state.problem = folderProblemText(problem, failed);
    }
}

// Null (and the user told why) when the cache cannot be used in this run.
const OwnFolder* cacheFolder() {
    std::string problem;
    {
        TaskLockGuard guard(stateLock());
        CacheFolderState& state = folderState();
        if (!state.resolved) resolveCacheFolder(state);
        // Once resolved, the folder stays as it is for the run.
        if (state.folder.handle.valid()) return &state.folder;
        problem = state.problem;
    }
    giveNotice(problem);
    return nullptr;
}

// A store killed between its write and its rename leaves its temporary file;
// the first store of a run into a folder clears what such stores left there.
void removeStaleTemporariesOnce(const OwnFolder& folder) {
    TaskLockGuard guard(stateLock());
    CacheFolderState& state = folderState();
    if (state.staleRemoved) return;
    state.staleRemoved = true;
    platformRemoveOldFiles(folder, isTemporaryName, kStaleTemporarySeconds);
}

}  // namespace

bool seekTableCachePath(PathString* path, char letter, const Digest& digest) {
    PathString full;
    if (!tableFolderPath(cacheRoot(), &full)) return false;
    cacheFolder();
    full.push_back(kPathSeparator);
    full += cacheFileName(letter, digest);
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
    const OwnFolder* folder = cacheFolder();
    if (folder == nullptr) return;
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

    removeStaleTemporariesOnce(*folder);
    const PathString name = cacheFileName(letter, digest);
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        StoreResult result = platformStoreOwnFile(*folder, temporaryNameFor(name), name, p, length);
        if (result == StoreResult::nameTaken) continue;
        if (result == StoreResult::folderNotWritable) giveNotice("cannot write to " + quotedPath(folder->path));
        return;
    }
}

std::optional<SeekTableRecord> loadSeekTable(char letter, const Digest& digest) {
    const OwnFolder* folder = cacheFolder();
    if (folder == nullptr) return std::nullopt;
    std::int64_t size = 0;
    UniqueFile file(platformOpenOwnFile(*folder, cacheFileName(letter, digest), &size));
    if (!file.valid()) return std::nullopt;
    if (size < kHeaderBytes || size % 4 != 0 || size > kMaxCacheFileBytes) return std::nullopt;
    const auto length = static_cast<std::uint32_t>(size);
    HeapBytes image(static_cast<std::uint8_t*>(allocBlock(length)));
    std::uint32_t got = 0;
    if (!image || !platformReadFile(file.get(), image.get(), length, &got) || got != length) return std::nullopt;
    file.reset();
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

void setSeekTableCacheRoot(const PathString& root) {
    rootOverride() = root;
    // The next use opens the folders afresh, and may say again why not.
    folderState() = CacheFolderState{};
}

void setSeekTableCacheNotice(CacheNotice notice) { noticeReceiver() = notice; }

void holdSeekTableCacheNotices(std::vector<std::string>* held) { heldNotices = held; }

void giveSeekTableCacheNotice(std::string_view text) { deliverNotice(text); }

}  // namespace trakmap
