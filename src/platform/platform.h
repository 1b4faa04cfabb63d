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
// file must exist). Files are opened with read sharing only. A file opened
// for reading must be a regular file: folders, pipes and devices are refused
// (without waiting for a writer), so that no read can block or never end.
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
// The same at `offset` from the start of the file, leaving no position that
// another read depends on, so several threads can read one file at once.
// Delivers the whole count unless the file ends.
bool platformReadFileAt(NativeFile file, std::uint64_t offset, void* buffer, std::uint32_t count,
                        std::uint32_t* got);
bool platformWriteFile(NativeFile file, const void* buffer, std::uint32_t count,
                       std::uint32_t* written);
// Moves the file position; 64-bit so files between 2 and 4 GiB work.
bool platformSeekFile(NativeFile file, std::int64_t distance, SeekFrom from);
bool platformFileSize(NativeFile file, std::int64_t* size);
bool platformFileExists(const PathChar* path);
// Whether something exists at `path` that is not a regular file (a folder, a
// pipe, a device): what a message says when such a path could not be opened.
bool platformIsNonRegularFile(const PathChar* path);

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
// Folders that hold the tool's own files (the seek-table cache). A folder is
// held open while it is used, so that renaming its path or putting a link in
// its place cannot send later file operations elsewhere.
struct OwnFolder {
    UniqueFile handle;  // the open folder
    PathString path;    // where it is, for messages (Windows also opens by it)
};

// Why a folder is not used.
enum class FolderProblem {
    none,
    cannotCreate,      // it does not exist and cannot be made, or cannot be opened
    isLink,            // a link stands in its place
    otherOwner,        // it belongs to another user (to root only root's is accepted)
    writableByOthers,  // other users may write to it, and no sticky bit protects its files
};

// Opens the folder at `path`, creating it and its missing parents first.
// Links on the way are followed: where the user's cache lies is the user's.
FolderProblem platformOpenFolder(const PathChar* path, OwnFolder* folder);

// Opens the folder `name` inside `parent`, creating it when it is missing,
// without following a link, and only when it is safe for the tool's files:
// owned by this user or by root (by root alone when this is root) and not
// writable by others unless the sticky bit is set.
FolderProblem platformOpenOwnSubfolder(const OwnFolder& parent, PathView name, OwnFolder* folder);

// Opens the file `name` of `folder` for reading: without following a link,
// without blocking, and only when it is a regular file owned as a folder
// must be; `size` receives its size. kInvalidFile otherwise.
NativeFile platformOpenOwnFile(const OwnFolder& folder, PathView name, std::int64_t* size);

enum class StoreResult {
    stored,
    nameTaken,          // a file of the temporary name exists already
    folderNotWritable,  // the folder refuses new files
    failed,             // anything else (a short write, a failed rename)
};

// Writes `size` bytes to the new file `temporaryName` of `folder` (created
// exclusively, never through a link) and renames it over `name`, so that a
// reader sees either the old file or the whole new one. Nothing of the
// temporary file is left behind when the store fails.
StoreResult platformStoreOwnFile(const OwnFolder& folder, PathView temporaryName, PathView name,
                                 const void* data, std::uint32_t size);

// Removes the regular files of `folder` whose names `isStale` accepts and that
// were last written more than `minimumAgeSeconds` ago. Links are left alone.
void platformRemoveOldFiles(const OwnFolder& folder, bool (*isStale)(PathView name),
                            std::int64_t minimumAgeSeconds);

// Fills `bytes` with bytes no other user can predict.
void platformRandomBytes(std::uint8_t* bytes, std::size_t count);

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

// A second reading of a sheet name, for sheets saved in another encoding than
// platformSheetNameToPath assumes: on POSIX a name that is not valid UTF-8 is
// read as Windows-1252 and converted to UTF-8; on Windows a name that is valid
// UTF-8 and not plain ASCII is read as UTF-8, unless the sheet already said it
// was UTF-8. False when the name has no second reading or it does not fit
// `maxUnits` (terminator included).
bool platformAlternativeSheetName(std::string_view name, bool utf8, std::size_t maxUnits,
                                  PathString* path);

// Whether a converted sheet name is used as it stands, without the sheet's folder.
bool platformIsAbsoluteSheetName(PathView name);

// Whether a command-line argument is an option rather than a sheet path.
bool platformIsOption(const PathChar* argument);

// A path as UTF-8 bytes, for messages.
std::string platformPathToUtf8(PathView path);

// A path as the 8-bit text the report shows it in (on Windows in the ANSI code
// page the console reads).
std::string platformPathToReportText(PathView path);

// Whether `stream` is a terminal (a console on Windows).
bool platformIsTerminal(std::FILE* stream);

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
// on standard error elsewhere (with its unsafe bytes escaped, as every line
// there is).
void platformShowError(const char* message);

}  // namespace trakmap
