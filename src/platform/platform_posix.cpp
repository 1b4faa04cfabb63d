// POSIX implementation of the platform layer. Paths are byte strings, "/" is
// the separator and the 8-bit-to-path conversion is the identity (a "\" in a
// sheet name is read as "/", so sheets written on Windows find their files).
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/text_escape.h"

namespace trakmap {

const PathChar kPathSeparator = '/';

namespace {

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

bool isDirectory(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

bool fitsPath(std::size_t units, std::size_t maxUnits) { return units + 1 <= maxUnits; }

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

// Retries a call that a signal interrupted.
template <class Call>
int retried(Call call) {
    int result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Root's files are trusted by every user; root itself trusts only its own.
bool ownedAcceptably(const struct stat& info) { return info.st_uid == ::geteuid() || info.st_uid == 0; }

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

std::string childPath(const OwnFolder& parent, PathView name) {
    std::string path = parent.path;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

// Creates `path` and, when they are missing, its parents.
void createFolderWithParents(const std::string& path) {
    if (::mkdir(path.c_str(), kFolderMode) == 0 || errno != ENOENT) return;
    std::size_t slash = path.find_last_not_of('/');
    slash = slash == std::string::npos ? slash : path.rfind('/', slash);
    if (slash == std::string::npos || slash == 0) return;
    createFolderWithParents(path.substr(0, slash));
    ::mkdir(path.c_str(), kFolderMode);
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
    // Without O_NONBLOCK, opening a pipe waits for the other end; with it the
    // open returns at once and the pipe is refused below. Regular files
    // ignore the flag.
    flags |= O_NONBLOCK;
    int fd = retried([&] { return ::open(path, flags, kFileMode); });
    // Folders, pipes and devices are refused: a folder cannot be opened on
    // Windows either, and a read from a pipe or a device may wait or never end.
    return keptIf(fd, isRegular);
}

void platformCloseFile(NativeFile file) {
    if (file != kInvalidFile) ::close(static_cast<int>(file));
}

namespace {

// Like ReadFile on a disk file: delivers the whole count unless the file
// ends. `readSome(bytes, wanted, done)` is one read into `bytes` of up to
// `wanted` bytes, `done` bytes into the request.
template <typename ReadSome>
bool readWhole(void* buffer, std::uint32_t count, std::uint32_t* got, ReadSome readSome) {
    std::size_t total = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (total < count) {
        ssize_t n = readSome(bytes + total, count - total, total);
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

}  // namespace

bool platformReadFile(NativeFile file, void* buffer, std::uint32_t count, std::uint32_t* got) {
    *got = 0;
    if (file == kInvalidFile) return false;
    return readWhole(buffer, count, got, [&](unsigned char* bytes, std::size_t wanted, std::size_t) {
        return ::read(static_cast<int>(file), bytes, wanted);
    });
}

bool platformReadFileAt(NativeFile file, std::uint64_t offset, void* buffer, std::uint32_t count,
                        std::uint32_t* got) {
    *got = 0;
    if (file == kInvalidFile) return false;
    return readWhole(buffer, count, got, [&](unsigned char* bytes, std::size_t wanted, std::size_t done) {
        return ::pread(static_cast<int>(file), bytes, wanted, static_cast<off_t>(offset + done));
    });
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

FolderProblem platformOpenFolder(const PathChar* path, OwnFolder* folder) {
    auto open = [&] { return retried([&] { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }); };
    int fd = open();
    if (fd < 0 && errno == ENOENT) {
        createFolderWithParents(path);
        fd = open();
    }
    if (fd < 0) return FolderProblem::cannotCreate;
    folder->handle.reset(fd);
    folder->path = path;
    return FolderProblem::none;
}

FolderProblem platformOpenOwnSubfolder(const OwnFolder& parent, PathView name, OwnFolder* folder) {
    const int parentFd = static_cast<int>(parent.handle.get());
    const std::string child(name);
    auto open = [&] {
        return retried([&] {
            return ::openat(parentFd, child.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        });
    };
    int fd = open();
    if (fd < 0 && errno == ENOENT) {
        ::mkdirat(parentFd, child.c_str(), kFolderMode);
        fd = open();
    }
    if (fd < 0) {
        struct stat info {};
        bool link = ::fstatat(parentFd, child.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
        return link ? FolderProblem::isLink : FolderProblem::cannotCreate;
    }
    UniqueFile owner(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0) return FolderProblem::cannotCreate;
    if (!ownedAcceptably(info)) return FolderProblem::otherOwner;
    // In a folder others may write to, they could plant files or links under
    // the names the tool uses, unless the sticky bit stops them from
    // replacing files they do not own.
    if ((info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0) return FolderProblem::writableByOthers;
    folder->handle = std::move(owner);
    folder->path = childPath(parent, name);
    return FolderProblem::none;
}

NativeFile platformOpenOwnFile(const OwnFolder& folder, PathView name, std::int64_t* size) {
    const std::string child(name);
    int fd = retried([&] {
        return ::openat(static_cast<int>(folder.handle.get()), child.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    });
    *size = 0;
    return keptIf(fd, [&](const struct stat& info) {
        *size = static_cast<std::int64_t>(info.st_size);
        return isRegular(info) && ownedAcceptably(info);
    });
}

StoreResult platformStoreOwnFile(const OwnFolder& folder, PathView temporaryName, PathView name,
                                 const void* data, std::uint32_t size) {
    const int folderFd = static_cast<int>(folder.handle.get());
    const std::string temporary(temporaryName);
    const std::string final(name);
    // O_EXCL with O_CREAT also refuses a link of that name, dangling or not.
    int fd = retried([&] {
        return ::openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        kFileMode);
    });
    if (fd < 0) {
        if (errno == EEXIST) return StoreResult::nameTaken;
        bool refused = errno == EACCES || errno == EPERM || errno == EROFS || errno == ENOSPC || errno == EDQUOT;
        return refused ? StoreResult::folderNotWritable : StoreResult::failed;
    }
    std::uint32_t written = 0;
    bool ok = platformWriteFile(fd, data, size, &written) && written == size;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::renameat(folderFd, temporary.c_str(), folderFd, final.c_str()) == 0;
    if (!ok) ::unlinkat(folderFd, temporary.c_str(), 0);
    return ok ? StoreResult::stored : StoreResult::failed;
}

void platformRemoveOldFiles(const OwnFolder& folder, bool (*isStale)(PathView name),
                            std::int64_t minimumAgeSeconds) {
    const int folderFd = static_cast<int>(folder.handle.get());
    // The listing consumes a descriptor of its own.
    int listFd = retried([&] { return ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (listFd < 0) return;
    DIR* listing = ::fdopendir(listFd);
    if (listing == nullptr) {
        ::close(listFd);
        return;
    }
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        if (!isStale(entry->d_name)) continue;
        struct stat info {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
        if (now - info.st_mtime <= minimumAgeSeconds) continue;
        ::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(listing);
}

void platformRandomBytes(std::uint8_t* bytes, std::size_t count) {
    std::size_t filled = 0;
    while (filled < count) {
        ssize_t got = ::getrandom(bytes + filled, count - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled == count) return;
    // Without the kernel's generator (older kernels, seccomp): the time and the
    // process id, mixed. Exclusive creation keeps this safe, only guessable.
    std::uint64_t mix = static_cast<std::uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ull ^
                        static_cast<std::uint64_t>(::getpid()) ^ reinterpret_cast<std::uintptr_t>(bytes);
    for (; filled < count; ++filled) {
        mix ^= mix >> 33;
        mix *= 0xFF51AFD7ED558CCDull;
        bytes[filled] = static_cast<std::uint8_t>(mix >> 56);
    }
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

std::string platformPathToReportText(PathView path) { return std::string(path); }

bool platformIsTerminal(std::FILE* stream) { return ::isatty(fileno(stream)) == 1; }

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
    std::string line = escapedForMessage(message);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace trakmap
