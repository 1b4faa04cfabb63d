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

// Retries a call that a signal interrupted.
template <class Call>
int retried(Call call) {
    int result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Keeps `fd` when `accept` approves of what it is; closes it otherwise.
template <class Accept>
NativeFile keptIf(int fd, Accept accept) {
    if (fd < 0) return kInvalidFile;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !accept(info)) {
        ::close(fd);
        return kInvalidFile;
    }
    return fd;
}

bool isRegular(const struct stat& info) { return S_ISREG(info.st_mode); }

}  // namespace

NativeFile platformOpenFile(const PathChar* path, unsigned mode) {
    int flags = O_CLOEXEC;
    bool read = (mode & kOpenRead) != 0;
    bool write = (mode & kOpenWrite) != 0;
    if (read && write) flags |= O_RDWR;
    else if (write) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    if (mode & kOpenCreate) flags |= O_CREAT | O_TRUNC;
    // Without O_NONBLOCK, opening a pipe waits for the other end; with it the
    // open returns at once and the pipe is refused below. Regular files
    // ignore the flag.
    flags |= O_NONBLOCK;
    int fd = retried([&] { return ::open(path, flags, 0644); });
    // Folders, pipes and devices are refused: a folder cannot be opened on
    // Windows either, and a read from a pipe or a device may wait or never end.
    return keptIf(fd, isRegular);
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

bool platformIsNonRegularFile(const PathChar* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && !S_ISREG(info.st_mode);
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
