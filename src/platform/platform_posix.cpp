// POSIX implementation of the platform layer. Paths are byte strings, "/" is
// the separator and the 8-bit-to-path conversion is the identity (a "\" in a
// sheet name is read as "/", so sheets written on Windows find their files).
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace trakmap {

const PathChar kPathSeparator = '/';

namespace {

bool isDirectory(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

bool fitsPath(std::size_t units, std::size_t maxUnits) { return units + 1 <= maxUnits; }

// Bytes of the UTF-8 sequence that `lead` begins; 0 for a byte that begins none.
std::size_t utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = utf8SequenceLength(lead);
        if (length == 0 || text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            auto byte = static_cast<unsigned char>(text[i + k]);
            // The second byte's range rules out overlong forms, surrogates and
            // code points past U+10FFFF.
            unsigned char low = k == 1 && lead == 0xE0 ? 0xA0 : k == 1 && lead == 0xF0 ? 0x90 : 0x80;
            unsigned char high = k == 1 && lead == 0xED ? 0x9F : k == 1 && lead == 0xF4 ? 0x8F : 0xBF;
            if (byte < low || byte > high) return false;
        }
        i += length;
    }
    return true;
}

// Code points of Windows-1252 bytes 0x80 to 0x9F. The five bytes the code page
// leaves unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 control of
// the same value, as Windows' own conversion maps them: a file named on
// Windows from such a sheet carries exactly that character. Bytes from 0xA0
// on are the Latin-1 code points of the same value.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// UTF-8 of a code point below U+10000, all that Windows-1252 gives.
void appendUtf8(char32_t codePoint, std::string* out) {
    if (codePoint < 0x80) {
        *out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        *out += static_cast<char>(0xC0 | (codePoint >> 6));
        *out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | (codePoint >> 12));
        *out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::string windows1252ToUtf8(std::string_view text) {
    std::string converted;
    converted.reserve(text.size() * 3);
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        appendUtf8(byte >= 0x80 && byte < 0xA0 ? char32_t{kWindows1252High[byte - 0x80]} : char32_t{byte}, &converted);
    }
    return converted;
}

}  // namespace

NativeFile platformOpenFile(const PathChar* path, unsigned mode) {
    int flags = O_CLOEXEC;
    bool read = (mode & kOpenRead) != 0;
    bool write = (mode & kOpenWrite) != 0;
    if (read && write) flags |= O_RDWR;
    else if (write) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    if (mode & kOpenCreate) flags |= O_CREAT | O_TRUNC;
    int fd;
    do {
        fd = ::open(path, flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kInvalidFile;
    // A folder is not a file: opening one must fail as it does on Windows.
    if (isDirectory(fd)) {
        ::close(fd);
        return kInvalidFile;
    }
    return fd;
}

void platformCloseFile(NativeFile file) {
    if (file != kInvalidFile) ::close(static_cast<int>(file));
}

bool platformReadFile(NativeFile file, void* buffer, std::uint32_t count, std::uint32_t* got) {
    *got = 0;
    if (file == kInvalidFile) return false;
    std::size_t total = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    // Like ReadFile on a disk file: deliver the whole count unless the file ends.
    while (total < count) {
        ssize_t n = ::read(static_cast<int>(file), bytes + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            *got = static_cast<std::uint32_t>(total);
            return false;
        }
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
    }
    *got = static_cast<std::uint32_t>(total);
    return true;
}

bool platformWriteFile(NativeFile file, const void* buffer, std::uint32_t count,
                       std::uint32_t* written) {
    *written = 0;
    if (file == kInvalidFile) return false;
    std::size_t total = 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (total < count) {
        ssize_t n = ::write(static_cast<int>(file), bytes + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            *written = static_cast<std::uint32_t>(total);
            return false;
        }
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
    }
    *written = static_cast<std::uint32_t>(total);
    return total == count;
}

bool platformSeekFile(NativeFile file, std::int64_t distance, SeekFrom from) {
    if (file == kInvalidFile) return false;
    int whence = from == SeekFrom::begin ? SEEK_SET : SEEK_CUR;
    return ::lseek(static_cast<int>(file), static_cast<off_t>(distance), whence) >= 0;
}

bool platformFileSize(NativeFile file, std::int64_t* size) {
    *size = 0;
    struct stat info {};
    if (file == kInvalidFile || fstat(static_cast<int>(file), &info) != 0) return false;
    *size = static_cast<std::int64_t>(info.st_size);
    return true;
}

bool platformFileExists(const PathChar* path) {
    struct stat info {};
    return ::stat(path, &info) == 0;
}

void platformCreateFolder(const PathChar* path) { ::mkdir(path, 0755); }

bool platformStoreWholeFile(const PathChar* path, const void* data, std::uint32_t size) {
    // Write beside the final name, then rename over it: readers see either the
    // old file or the whole new one, and an interrupted store loses nothing.
    std::string temporary = std::string(path) + ".tmp." + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::uint32_t written = 0;
    bool ok = platformWriteFile(fd, data, size, &written) && written == size;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(temporary.c_str(), path) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

std::FILE* platformOpenStream(const PathChar* path) {
    std::FILE* stream = std::fopen(path, "rb");
    if (stream != nullptr && isDirectory(fileno(stream))) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

bool platformFullPath(const PathChar* argument, PathString* fullPath, std::size_t* namePosition) {
    std::string_view arg(argument);
    if (arg.empty() || arg.back() == '/') return false;
    std::string joined;
    if (arg.front() != '/') {
        std::vector<char> cwd(4096);
        while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE || cwd.size() > (1u << 20)) return false;
            cwd.resize(cwd.size() * 2);
        }
        joined = cwd.data();
        joined += '/';
    }
    joined += arg;

    // Collapse "." and ".." lexically, as the Windows call does.
    std::vector<std::string_view> parts;
    std::string_view rest(joined);
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    if (parts.empty()) return false;
    std::string result;
    for (std::string_view part : parts) {
        result += '/';
        result += part;
    }
    if (!fitsPath(result.size(), kMaxPath)) return false;
    *namePosition = result.size() - parts.back().size();
    *fullPath = std::move(result);
    return true;
}

bool platformSheetNameToPath(std::string_view name, bool /*utf8*/, std::size_t maxUnits,
                             PathString* path) {
    if (!fitsPath(name.size(), maxUnits)) return false;
    path->assign(name);
    for (char& c : *path)
        if (c == '\\') c = '/';
    return true;
}

bool platformAlternativeSheetName(std::string_view name, bool /*utf8*/, std::size_t maxUnits,
                                  PathString* path) {
    // File systems here name files in UTF-8; a name that is not UTF-8 most
    // likely comes from a sheet saved in the Windows code page of the West.
    if (isValidUtf8(name)) return false;
    return platformSheetNameToPath(windows1252ToUtf8(name), false, maxUnits, path);
}

bool platformIsAbsoluteSheetName(PathView name) { return !name.empty() && name.front() == '/'; }

bool platformIsOption(const PathChar* argument) { return argument[0] == '-'; }

std::string platformPathToUtf8(PathView path) { return std::string(path); }

void platformPrintPath(std::FILE* stream, const PathChar* path) { std::fputs(path, stream); }

void* platformHeapAlloc(std::size_t size, bool zeroed) {
    if (size == 0) size = 1;
    return zeroed ? std::calloc(1, size) : std::malloc(size);
}

bool platformHeapFree(void* block) {
    if (block == nullptr) return false;
    std::free(block);
    return true;
}

bool platformAppDataFolder(bool common, PathString* folder) {
    struct stat info {};
    if (common) {
        // The machine-wide cache, when this process may create folders in it.
        const char* shared = "/var/cache";
        if (::stat(shared, &info) == 0 && S_ISDIR(info.st_mode) && ::access(shared, W_OK | X_OK) == 0) {
            *folder = shared;
            return true;
        }
        return false;
    }
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        *folder = xdg;
        return true;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        std::string candidate = std::string(home) + "/.cache";
        ::mkdir(candidate.c_str(), 0755);
        if (::stat(candidate.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            *folder = std::move(candidate);
            return true;
        }
    }
    return false;
}

void platformShowError(const char* message) {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace trakmap
