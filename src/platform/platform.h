// The operating-system layer: the only code in the tool that knows which
// system it runs on. Everything above it sees paths, open files, the heap,
// a couple of well-known folders and a way to show an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace trakmap {

#if defined(_WIN32)
using PathChar = wchar_t;
#define TRAKMAP_PATH(text) L##text
#else
using PathChar = char;
#define TRAKMAP_PATH(text) text
#endif

using PathString = std::basic_string<PathChar>;
using PathView = std::basic_string_view<PathChar>;

// Limits in path units, terminator included: a sheet's full path and a cache
// file path must fit kMaxPath, a candidate path of a referenced file
// kMaxCandidatePath. A path that does not fit fails the operation.
inline constexpr std::size_t kMaxPath = 260;
inline constexpr std::size_t kMaxCandidatePath = 520;

extern const PathChar kPathSeparator;

// ---------------------------------------------------------------------------
// Files. A NativeFile is the system's handle value; kInvalidFile (-1) means no
// open file on every system.
using NativeFile = std::intptr_t;
inline constexpr NativeFile kInvalidFile = -1;

// Open-mode bits: read access, write access, create-or-truncate (without it the
// file must exist). Files are opened with read sharing only. Only regular
// files open: folders, pipes and devices are refused (without waiting for the
// other end of a pipe), so that no read can block or never end.
enum : unsigned {
    kOpenRead = 1,
    kOpenWrite = 2,
    kOpenCreate = 4,
};

enum class SeekFrom { begin, current };

NativeFile platformOpenFile(const PathChar* path, unsigned mode);
void platformCloseFile(NativeFile file);
// One read of up to `count` bytes; `got` receives what was delivered (0 at end
// of file). Returns false when the read itself failed.
bool platformReadFile(NativeFile file, void* buffer, std::uint32_t count, std::uint32_t* got);
bool platformWriteFile(NativeFile file, const void* buffer, std::uint32_t count,
                       std::uint32_t* written);
// Moves the file position; 64-bit so files between 2 and 4 GiB work.
bool platformSeekFile(NativeFile file, std::int64_t distance, SeekFrom from);
bool platformFileSize(NativeFile file, std::int64_t* size);
bool platformFileExists(const PathChar* path);
// Whether something exists at `path` that is not a regular file (a folder, a
// pipe, a device): what a message says when such a path could not be opened.
bool platformIsNonRegularFile(const PathChar* path);
// Creates one folder; the outcome is not reported (it usually exists).
void platformCreateFolder(const PathChar* path);
// Replaces the file at `path` with `size` bytes so that a reader never sees a
// half-written file. Returns false when nothing was stored.
bool platformStoreWholeFile(const PathChar* path, const void* data, std::uint32_t size);

// The sheet is read as a C stream ("rb"); it may be a pipe.
std::FILE* platformOpenStream(const PathChar* path);

// Move-only owner of an open file.
class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(NativeFile file) : file_(file) {}
    UniqueFile(UniqueFile&& other) noexcept : file_(other.release()) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    ~UniqueFile() { reset(); }

    NativeFile get() const { return file_; }
    bool valid() const { return file_ != kInvalidFile; }
    NativeFile release() {
        NativeFile file = file_;
        file_ = kInvalidFile;
        return file;
    }
    void reset(NativeFile file = kInvalidFile) {
        if (file_ != kInvalidFile) platformCloseFile(file_);
        file_ = file;
    }

private:
    NativeFile file_ = kInvalidFile;
};

// ---------------------------------------------------------------------------
// Paths.

// The full path of `argument` (made absolute against the current folder, "."
// and ".." collapsed, the disk not touched) and the position of its last
// component. False when there is no last component (the path ends in a
// separator), the path does not fit kMaxPath, or the system call fails.
bool platformFullPath(const PathChar* argument, PathString* fullPath, std::size_t* namePosition);

// Converts a file name written in a sheet (8-bit text) into a path. `utf8`
// says the sheet was saved as UTF-8 (it began with a byte-order mark); without
// it the system's 8-bit code page applies. False when the text cannot be
// converted or does not fit `maxUnits` (terminator included).
bool platformSheetNameToPath(std::string_view name, bool utf8, std::size_t maxUnits,
                             PathString* path);

// Whether a converted sheet name is used as it stands, without the sheet's folder.
bool platformIsAbsoluteSheetName(PathView name);

// Whether a command-line argument is an option rather than a sheet path.
bool platformIsOption(const PathChar* argument);

// A path as UTF-8 bytes, for messages.
std::string platformPathToUtf8(PathView path);

// Writes a path to a stream as the banner shows it.
void platformPrintPath(std::FILE* stream, const PathChar* path);

// ---------------------------------------------------------------------------
// Process heap: every block that crosses module boundaries comes from here.
void* platformHeapAlloc(std::size_t size, bool zeroed);
bool platformHeapFree(void* block);

// ---------------------------------------------------------------------------
// Well-known folders. `common` asks for the machine-wide application-data
// folder, otherwise the user's. False when the system has none to offer.
bool platformAppDataFolder(bool common, PathString* folder);

// ---------------------------------------------------------------------------
// Shows a parse error to the user: a message box on desktop systems, one line
// on standard error elsewhere.
void platformShowError(const char* message);

}  // namespace trakmap
