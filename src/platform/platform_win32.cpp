// Win32 implementation of the platform layer. Paths are UTF-16, "\" is the
// separator, and names written in a sheet are converted from the ANSI code
// page (from UTF-8 when the sheet began with a byte-order mark).
#include "platform/platform.h"

#include <windows.h>
#include <shlobj.h>

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

// Keeps `handle` when it is a file on a disk, not a pipe, a console or
// another device.
NativeFile keptIfDiskFile(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return kInvalidFile;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return kInvalidFile;
    }
    return fromHandle(handle);
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
    return keptIfDiskFile(handle);
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

void platformCreateFolder(const PathChar* path) { CreateDirectoryW(path, nullptr); }

bool platformStoreWholeFile(const PathChar* path, const void* data, std::uint32_t size) {
    // Other openers share reading only, so while this handle is open no reader
    // sees the file; an interrupted write leaves a short file that fails the
    // reader's length and checksum tests.
    NativeFile file = platformOpenFile(path, kOpenWrite | kOpenCreate);
    if (file == kInvalidFile) return false;
    std::uint32_t written = 0;
    bool ok = platformWriteFile(file, data, size, &written);
    platformCloseFile(file);
    return ok;
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
    path->clear();
    if (name.empty()) return maxUnits >= 1;
    UINT codePage = utf8 ? CP_UTF8 : CP_ACP;
    int length = static_cast<int>(name.size());
    if (static_cast<std::size_t>(length) != name.size()) return false;
    int needed = MultiByteToWideChar(codePage, 0, name.data(), length, nullptr, 0);
    if (needed <= 0 || static_cast<std::size_t>(needed) + 1 > maxUnits) return false;
    path->resize(static_cast<std::size_t>(needed));
    if (MultiByteToWideChar(codePage, 0, name.data(), length, path->data(), needed) != needed) {
        path->clear();
        return false;
    }
    return true;
}

bool platformIsAbsoluteSheetName(PathView name) {
    // "\dir\a.wav", "\\server\share\a.wav", "C:\a.wav" and the drive-relative
    // "C:a.wav"; "/dir/a.wav" is relative.
    return (!name.empty() && name[0] == L'\\') || (name.size() >= 2 && name[1] == L':');
}

bool platformIsOption(const PathChar* argument) { return argument[0] == L'-' || argument[0] == L'/'; }

std::string platformPathToUtf8(PathView path) { return narrowText(path, CP_UTF8); }

void platformPrintPath(std::FILE* stream, const PathChar* path) {
    // The console reads 8-bit text in the ANSI code page.
    std::fputs(narrowText(path, CP_ACP).c_str(), stream);
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
