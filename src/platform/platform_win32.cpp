// Win32 implementation of the platform layer. Paths are UTF-16, "\" is the
// separator, and names written in a sheet are converted from the ANSI code
// page (from UTF-8 when the sheet began with a byte-order mark).
// rand_s, the C runtime's unpredictable random numbers, is declared only on request.
#define _CRT_RAND_S
#include <stdlib.h>

#include "platform/platform.h"

#include <windows.h>
#include <io.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace trakmap {

const PathChar kPathSeparator = L'\\';

namespace {

HANDLE toHandle(NativeFile file) { return reinterpret_cast<HANDLE>(file); }

NativeFile fromHandle(HANDLE handle) { return reinterpret_cast<NativeFile>(handle); }

// Converts UTF-16 text to an 8-bit code page; unmappable characters become
// the code page's default character.
std::string narrowText(PathView text, UINT codePage) {
    if (text.empty()) return {};
    int length = static_cast<int>(text.size());
    int needed = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string result(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), needed, nullptr, nullptr);
    return result;
}

// Converts 8-bit text from `codePage` to UTF-16; with `strict`, text that is
// not valid in the code page fails instead of being replaced.
bool widenText(std::string_view text, UINT codePage, bool strict, std::size_t maxUnits, PathString* path) {
    path->clear();
    if (text.empty()) return maxUnits >= 1;
    int length = static_cast<int>(text.size());
    if (static_cast<std::size_t>(length) != text.size()) return false;
    DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    if (needed <= 0 || static_cast<std::size_t>(needed) + 1 > maxUnits) return false;
    path->resize(static_cast<std::size_t>(needed));
    if (MultiByteToWideChar(codePage, flags, text.data(), length, path->data(), needed) != needed) {
        path->clear();
        return false;
    }
    return true;
}

// INVALID_FILE_ATTRIBUTES when they cannot be had.
DWORD attributesOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(handle, &information) ? information.dwFileAttributes
                                                            : INVALID_FILE_ATTRIBUTES;
}

bool isLinkOrFolder(HANDLE handle) {
    return (attributesOf(handle) & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0;
}

// Keeps `handle` when it is a file on a disk (not a pipe, a console or another
// device) and, with `refuseLinks`, not a link opened as itself.
NativeFile keptIfDiskFile(HANDLE handle, bool refuseLinks) {
    if (handle == INVALID_HANDLE_VALUE) return kInvalidFile;
    if (GetFileType(handle) != FILE_TYPE_DISK || (refuseLinks && isLinkOrFolder(handle))) {
        CloseHandle(handle);
        return kInvalidFile;
    }
    return fromHandle(handle);
}

PathString childPath(const OwnFolder& parent, PathView name) {
    PathString path = parent.path;
    if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) path += L'\\';
    path += name;
    return path;
}

// Creates `path` and, when they are missing, its parents.
void createFolderWithParents(const PathString& path) {
    if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() != ERROR_PATH_NOT_FOUND) return;
    std::size_t end = path.find_last_not_of(L"\\/");
    std::size_t separator = end == PathString::npos ? end : path.find_last_of(L"\\/", end);
    if (separator == PathString::npos || separator == 0) return;
    createFolderWithParents(path.substr(0, separator));
    CreateDirectoryW(path.c_str(), nullptr);
}

// Opens a folder as a handle that pins it: without delete sharing, nobody can
// rename or remove it while the handle is open. With `asItself`, a link is
// opened as the link rather than followed.
HANDLE openFolderHandle(const PathString& path, bool asItself) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (asItself ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

}  // namespace

NativeFile platformOpenFile(const PathChar* path, unsigned mode) {
    DWORD access = 0;
    if (mode & kOpenRead) access |= GENERIC_READ;
    if (mode & kOpenWrite) access |= GENERIC_WRITE;
    DWORD disposition = (mode & kOpenCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
    HANDLE handle = CreateFileW(path, access, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    // A pipe, a console or a device such as NUL is not a file to measure.
    return keptIfDiskFile(handle, false);
}

void platformCloseFile(NativeFile file) {
    if (file != kInvalidFile) CloseHandle(toHandle(file));
}

bool platformReadFile(NativeFile file, void* buffer, std::uint32_t count, std::uint32_t* got) {
    *got = 0;
    if (file == kInvalidFile) return false;
    DWORD read = 0;
    BOOL ok = ReadFile(toHandle(file), buffer, count, &read, nullptr);
    *got = read;
    return ok != FALSE;
}

bool platformReadFileAt(NativeFile file, std::uint64_t offset, void* buffer, std::uint32_t count,
                        std::uint32_t* got) {
    *got = 0;
    if (file == kInvalidFile) return false;
    std::uint32_t total = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (total < count) {
        // On a handle opened for synchronous reads, the offset in OVERLAPPED
        // says where this read takes place, whatever the file position.
        OVERLAPPED at{};
        const std::uint64_t where = offset + total;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD read = 0;
        if (!ReadFile(toHandle(file), bytes + total, count - total, &read, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            *got = total;
            return false;
        }
        if (read == 0) break;
        total += read;
    }
    *got = total;
    return true;
}

bool platformWriteFile(NativeFile file, const void* buffer, std::uint32_t count,
                       std::uint32_t* written) {
    *written = 0;
    if (file == kInvalidFile) return false;
    DWORD done = 0;
    BOOL ok = WriteFile(toHandle(file), buffer, count, &done, nullptr);
    *written = done;
    return ok != FALSE && done == count;
}

bool platformSeekFile(NativeFile file, std::int64_t distance, SeekFrom from) {
    if (file == kInvalidFile) return false;
    auto low = static_cast<LONG>(static_cast<std::uint32_t>(distance & 0xFFFFFFFF));
    auto high = static_cast<LONG>(distance >> 32);
    DWORD method = from == SeekFrom::begin ? FILE_BEGIN : FILE_CURRENT;
    // With a high part, INVALID_SET_FILE_POINTER is also a valid low half of a
    // new position; only the last error tells the two apart.
    SetLastError(NO_ERROR);
    DWORD result = SetFilePointer(toHandle(file), low, &high, method);
    return !(result == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool platformFileSize(NativeFile file, std::int64_t* size) {
    *size = 0;
    LARGE_INTEGER value{};
    if (file == kInvalidFile || !GetFileSizeEx(toHandle(file), &value)) return false;
    *size = value.QuadPart;
    return true;
}

bool platformFileExists(const PathChar* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool platformIsNonRegularFile(const PathChar* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}

FolderProblem platformOpenFolder(const PathChar* path, OwnFolder* folder) {
    PathString where(path);
    HANDLE handle = openFolderHandle(where, false);
    if (handle == INVALID_HANDLE_VALUE) {
        createFolderWithParents(where);
        handle = openFolderHandle(where, false);
    }
    if (handle == INVALID_HANDLE_VALUE) return FolderProblem::cannotCreate;
    UniqueFile owner(fromHandle(handle));
    DWORD attributes = attributesOf(handle);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return FolderProblem::cannotCreate;
    folder->handle = std::move(owner);
    folder->path = std::move(where);
    return FolderProblem::none;
}

// Who may write to a folder is its access list's matter on Windows; what is
// checked here is that it is a real folder and not a link to another one.
FolderProblem platformOpenOwnSubfolder(const OwnFolder& parent, PathView name, OwnFolder* folder) {
    PathString where = childPath(parent, name);
    CreateDirectoryW(where.c_str(), nullptr);
    HANDLE handle = openFolderHandle(where, true);
    if (handle == INVALID_HANDLE_VALUE) return FolderProblem::cannotCreate;
    UniqueFile owner(fromHandle(handle));
    DWORD attributes = attributesOf(handle);
    if (attributes == INVALID_FILE_ATTRIBUTES) return FolderProblem::cannotCreate;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FolderProblem::isLink;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FolderProblem::cannotCreate;
    folder->handle = std::move(owner);
    folder->path = std::move(where);
    return FolderProblem::none;
}

NativeFile platformOpenOwnFile(const OwnFolder& folder, PathView name, std::int64_t* size) {
    HANDLE handle = CreateFileW(childPath(folder, name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    NativeFile file = keptIfDiskFile(handle, true);
    if (!platformFileSize(file, size)) *size = 0;
    return file;
}

StoreResult platformStoreOwnFile(const OwnFolder& folder, PathView temporaryName, PathView name,
                                 const void* data, std::uint32_t size) {
    PathString temporary = childPath(folder, temporaryName);
    // CREATE_NEW fails on any existing name, a link included.
    HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return StoreResult::nameTaken;
        bool refused = error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT || error == ERROR_DISK_FULL;
        return refused ? StoreResult::folderNotWritable : StoreResult::failed;
    }
    std::uint32_t written = 0;
    bool ok = platformWriteFile(fromHandle(handle), data, size, &written);
    ok = CloseHandle(handle) != FALSE && ok;
    // A reader holding the old file keeps the rename from replacing it; the
    // table is then not stored, as when two stores meet.
    if (ok) ok = MoveFileExW(temporary.c_str(), childPath(folder, name).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (!ok) DeleteFileW(temporary.c_str());
    return ok ? StoreResult::stored : StoreResult::failed;
}

void platformRemoveOldFiles(const OwnFolder& folder, bool (*isStale)(PathView name),
                            std::int64_t minimumAgeSeconds) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(childPath(folder, L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    FILETIME nowTime{};
    GetSystemTimeAsFileTime(&nowTime);
    auto ticks = [](const FILETIME& time) {
        return (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    const std::int64_t now = ticks(nowTime);
    constexpr std::int64_t kTicksPerSecond = 10000000;  // FILETIME counts 100 ns
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
        if (!isStale(found.cFileName)) continue;
        if (now - ticks(found.ftLastWriteTime) <= minimumAgeSeconds * kTicksPerSecond) continue;
        DeleteFileW(childPath(folder, found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void platformRandomBytes(std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) value = static_cast<unsigned int>(GetTickCount() * 2654435761u + i);
        bytes[i] = static_cast<std::uint8_t>(value >> 8);
    }
}

std::FILE* platformOpenStream(const PathChar* path) { return _wfopen(path, L"rb"); }

bool platformFullPath(const PathChar* argument, PathString* fullPath, std::size_t* namePosition) {
    wchar_t buffer[kMaxPath];
    wchar_t* filePart = nullptr;
    DWORD length = GetFullPathNameW(argument, kMaxPath, buffer, &filePart);
    // 0 is failure; a result of kMaxPath or more is the size the buffer lacked.
    if (length == 0 || length >= kMaxPath || filePart == nullptr) return false;
    fullPath->assign(buffer, length);
    *namePosition = static_cast<std::size_t>(filePart - buffer);
    return true;
}

bool platformSheetNameToPath(std::string_view name, bool utf8, std::size_t maxUnits,
                             PathString* path) {
    return widenText(name, utf8 ? CP_UTF8 : CP_ACP, false, maxUnits, path);
}

bool platformAlternativeSheetName(std::string_view name, bool utf8, std::size_t maxUnits,
                                  PathString* path) {
    // A sheet saved as UTF-8 without a byte-order mark, as most editors save
    // today, names its files in UTF-8 although the ANSI code page was used.
    if (utf8) return false;
    bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return false;
    return widenText(name, CP_UTF8, true, maxUnits, path);
}

bool platformIsAbsoluteSheetName(PathView name) {
    // "\dir\a.wav", "\\server\share\a.wav", "C:\a.wav" and the drive-relative
    // "C:a.wav"; "/dir/a.wav" is relative.
    return (!name.empty() && name[0] == L'\\') || (name.size() >= 2 && name[1] == L':');
}

bool platformIsOption(const PathChar* argument) { return argument[0] == L'-' || argument[0] == L'/'; }

std::string platformPathToUtf8(PathView path) { return narrowText(path, CP_UTF8); }

std::string platformPathToReportText(PathView path) {
    // The console reads 8-bit text in the ANSI code page.
    return narrowText(path, CP_ACP);
}

bool platformIsTerminal(std::FILE* stream) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    // Only a console answers GetConsoleMode; NUL is a character device too.
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != FALSE;
}

void* platformHeapAlloc(std::size_t size, bool zeroed) {
    return HeapAlloc(GetProcessHeap(), zeroed ? HEAP_ZERO_MEMORY : 0, size);
}

bool platformHeapFree(void* block) {
    if (block == nullptr) return false;
    return HeapFree(GetProcessHeap(), 0, block) != FALSE;
}

bool platformAppDataFolder(bool common, PathString* folder) {
    IMalloc* shellMalloc = nullptr;
    if (FAILED(SHGetMalloc(&shellMalloc)) || shellMalloc == nullptr) return false;
    LPITEMIDLIST items = nullptr;
    wchar_t buffer[kMaxPath] = {};
    bool found = false;
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, common ? CSIDL_COMMON_APPDATA : CSIDL_APPDATA,
                                             &items)) &&
        items != nullptr) {
        found = SHGetPathFromIDListW(items, buffer) != FALSE;
        shellMalloc->Free(items);
    }
    shellMalloc->Release();
    if (!found) return false;
    *folder = buffer;
    return true;
}

void platformShowError(const char* message) { MessageBoxA(nullptr, message, nullptr, MB_ICONERROR); }

}  // namespace trakmap
