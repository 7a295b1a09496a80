// File services, the Windows side: file status, reading regular files only, replacing text whole.
//
// Paths are UTF-8 here (EncodePath), so a program folder with any name works. Each is made
// absolute and given the "\\?\" prefix before use: Windows then takes every part literally, so a
// file named COM1 or NUL in a folder is that file, never the device of that name.
#include "platform_os.h"
#include "runtime.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

namespace {

// Names tried for a temporary file before giving up; each is new with odds of 2^-64 against.
constexpr int TEMP_NAME_TRIES = 16;
// Attributes a replacement keeps from the file it replaces.
constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The absolute form of a wide path, from GetFullPathNameW; empty when it fails.
std::wstring FullPath(const std::wstring &path) {
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return std::wstring();
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    if (written == 0 || written >= length)
        return std::wstring();
    full.resize(written);
    return full;
}

// The literal, absolute form of a UTF-8 path, or empty: for a path that does not convert, and for
// one that names the device space ("\\.\COM1"), which is never a file. Only the folder goes
// through GetFullPathNameW: given a last part named like a device (NUL, COM1, nul.ini) it answers
// with the device ("\\.\NUL"), and the file of that name would be out of reach.
std::wstring LiteralPath(const char *path) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 1)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    // The folder keeps its separator, so that its own last part is never taken for a device; a
    // last part of "." or ".." is the folder's to resolve.
    size_t split = wide.find_last_of(L"\\/");
    split = split != std::wstring::npos ? split + 1 : wide.size() >= 2 && wide[1] == L':' ? 2 : 0;
    std::wstring name = wide.substr(split);
    std::wstring full = FullPath(split > 0 ? wide.substr(0, split) : std::wstring(L".\\"));
    if (name == L"." || name == L"..") {
        full = FullPath(wide);
        name.clear();
    }
    if (full.empty())
        return std::wstring();
    if (!name.empty() && full.back() != L'\\')
        full += L'\\';
    full += name;
    if (full.rfind(L"\\\\?\\", 0) == 0)
        return full;
    if (full.rfind(L"\\\\.\\", 0) == 0)
        return std::wstring();
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool IsDiskFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The read-only attribute refuses every writer on Windows, administrators included; Wine run as
// root does not enforce it, so it is looked at here rather than left to the open.
bool IsReadOnly(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    return !GetFileInformationByHandle(file, &info) ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
}

bool WriteAll(HANDLE file, const char *text, size_t count) {
    while (count > 0) {
        const DWORD chunk = count > 1u << 30 ? 1u << 30 : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(file, text, chunk, &written, nullptr) || written == 0)
            return false;
        text += written;
        count -= written;
    }
    return true;
}

// Writes the text, pushes it to the disk and closes the file, which is closed whatever happens.
bool WriteSyncClose(HANDLE file, const char *text, size_t count) {
    const bool ok = WriteAll(file, text, count) && FlushFileBuffers(file);
    return CloseHandle(file) && ok;
}

// Creates a file of a name nobody has used beside path: CREATE_NEW fails on any name already
// there, a link included, so nothing planted can take the write elsewhere.
HANDLE CreateTempFile(const std::wstring &path, std::wstring *tempPath) {
    std::random_device source;
    std::mt19937_64 names((static_cast<uint64_t>(source()) << 32) ^ source() ^
                          static_cast<uint64_t>(GetCurrentProcessId()));
    for (int tries = 0; tries < TEMP_NAME_TRIES; tries++) {
        wchar_t suffix[20]; // ".", 16 hex digits, NUL
        swprintf(suffix, sizeof suffix / sizeof suffix[0], L".%016llx",
                 static_cast<unsigned long long>(names()));
        *tempPath = path + suffix;
        HANDLE file = CreateFileW(tempPath->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

// The plain rewrite, on a file already open for writing.
int RewriteInPlace(HANDLE file, const char *text, size_t count) {
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        CloseHandle(file);
        return RT_ERR_IO;
    }
    return WriteSyncClose(file, text, count) ? 0 : RT_ERR_IO;
}

// The text in a temporary file that takes the old file's place by rename: a crash leaves the old
// file or the new. Not for a file with other names, which would keep the old text, nor for a link,
// which would be replaced by a plain file. false when it could not be done this way; nothing has
// changed then, and file is still open.
bool ReplaceByRename(HANDLE file, const std::wstring &path, const char *text, size_t count,
                     int *result) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1)
        return false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    std::wstring tempPath;
    HANDLE temp = CreateTempFile(path, &tempPath);
    if (temp == INVALID_HANDLE_VALUE)
        return false;
    if (!WriteSyncClose(temp, text, count)) {
        DeleteFileW(tempPath.c_str());
        *result = RT_ERR_IO;
        CloseHandle(file);
        return true;
    }
    SetFileAttributesW(tempPath.c_str(), (attributes & KEPT_ATTRIBUTES) | FILE_ATTRIBUTE_NORMAL);
    // The open file would refuse to be replaced.
    CloseHandle(file);
    if (!MoveFileExW(tempPath.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(tempPath.c_str());
        *result = RT_ERR_IO;
        return true;
    }
    *result = 0;
    return true;
}

// A missing file: the text in a temporary file that is then moved to the name, which fails rather
// than replace anything put there meanwhile (a link included).
int CreateFileWithText(const std::wstring &path, const char *text, size_t count) {
    std::wstring tempPath;
    HANDLE temp = CreateTempFile(path, &tempPath);
    if (temp == INVALID_HANDLE_VALUE)
        return RT_ERR_IO;
    const bool written = WriteSyncClose(temp, text, count);
    if (!written || !MoveFileExW(tempPath.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(tempPath.c_str());
        return RT_ERR_IO;
    }
    return 0;
}

} // namespace

QByteArray EncodePath(const QString &path) {
    return path.toUtf8();
}

FILE *OpenFileForReading(const char *path) {
    if (!path)
        return nullptr;
    const std::wstring literal = LiteralPath(path);
    if (literal.empty())
        return nullptr;
    // A directory does not open this way, and what did open is looked at before it is read: a
    // pipe or a device is never read.
    HANDLE file = CreateFileW(literal.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!IsDiskFile(file)) {
        CloseHandle(file);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE *stream = _fdopen(fd, "rb");
    if (!stream)
        _close(fd);
    return stream;
}

int ReplaceFileText(const char *path, const char *text, int count) {
    if (!path || !text || count < 0)
        return RT_ERR_ARGUMENT;
    const size_t length = static_cast<size_t>(count);
    const std::wstring literal = LiteralPath(path);
    if (literal.empty())
        return RT_ERR_IO;
    if (GetFileAttributesW(literal.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? CreateFileWithText(literal, text, length)
                                             : RT_ERR_IO;
    }
    // Opened for writing, without truncating, first: a read-only file, a directory or one held
    // by another program refuses it, exactly as a rewrite in place would be refused.
    HANDLE file = CreateFileW(literal.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return RT_ERR_IO;
    if (!IsDiskFile(file) || IsReadOnly(file)) {
        CloseHandle(file);
        return RT_ERR_IO;
    }
    int result = RT_ERR_IO;
    if (ReplaceByRename(file, literal, text, length, &result))
        return result;
    return RewriteInPlace(file, text, length);
}

int GetFileInfo(const char *path, long *size) {
    if (!path || !size)
        return RT_ERR_ARGUMENT;
    *size = 0;
    const std::wstring literal = LiteralPath(path);
    if (literal.empty())
        return RT_ERR_ARGUMENT;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(literal.c_str(), GetFileExInfoStandard, &data)) {
        const unsigned long long bytes =
            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        *size = bytes > LONG_MAX ? LONG_MAX : static_cast<long>(bytes);
        return 1;
    }
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return 0;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_NAME:
        return RT_ERR_ARGUMENT;
    default:
        return RT_ERR_IO;
    }
}
