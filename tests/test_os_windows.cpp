// What the tests do differently on Windows.
#include "test_os.h"

#include <windows.h>

#include <cstdio>
#include <random>

namespace {

// The literal form of an absolute path: Windows takes every part as it is, so a file named NUL is
// that file. Not through std::filesystem::absolute, which turns ".../NUL" into the device.
std::wstring LiteralPath(std::filesystem::path path) {
    const std::wstring text = path.make_preferred().wstring();
    if (text.rfind(L"\\\\?\\", 0) == 0)
        return text;
    if (text.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

// The read-only attribute would refuse the removal.
void RemoveLiteral(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    // A link to a directory is removed itself, never what it leads to.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..")
                    RemoveLiteral(path + L"\\" + name);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(path.c_str());
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

} // namespace

std::string MakeTempDirectory(const std::string &prefix) {
    char folder[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > MAX_PATH)
        return std::string();
    std::random_device source;
    for (int tries = 0; tries < 16; tries++) {
        char name[32]; // "-", 16 hex digits, NUL
        snprintf(name, sizeof name, "-%08x%08x", source(), source());
        const std::string path = std::string(folder) + prefix + name;
        if (CreateDirectoryA(path.c_str(), nullptr))
            return path;
    }
    return std::string();
}

void RemoveTree(const std::filesystem::path &path) {
    if (!path.empty())
        RemoveLiteral(LiteralPath(path));
}

const char *WhyNoPosixDevices() {
    return "Windows has no /dev and no pseudo-terminals: its devices are COMn and NUL";
}

std::string OpenPseudoTerminal() {
    return std::string();
}

void ClosePseudoTerminal() {}

const char *WhyNoUnixOwners() {
    return "Windows has no Unix owners, groups or mode bits, and no root that overrides them";
}

const char *WhyNoFifos() {
    return "Windows has no FIFO in a folder: its named pipes live outside the file system";
}

void SetOwner(const std::filesystem::path &, int, int) {}

int RunAsUser(int, int, const std::function<int()> &body) {
    return body();
}

bool MakeFifo(const std::filesystem::path &) {
    return false;
}

std::string KeptAttributes(const std::filesystem::path &path) {
    const DWORD attributes = GetFileAttributesW(LiteralPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return std::string();
    char text[32];
    snprintf(text, sizeof text, "attributes %lx",
             attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_DIRECTORY));
    return text;
}
