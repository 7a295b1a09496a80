// Utility service: the program's directory, path names, rounding and byte copies.
// The file services differ by system: files_posix.cpp, files_windows.cpp.
#include "platform_os.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <QCoreApplication>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

namespace {

// Set by tests that run the program in a directory of their own; empty: the executable's.
std::string utilityProjectDirOverride;

// Copies text with its NUL into buffer (MAX_PATHNAME_LEN bytes), or leaves an empty text there
// when it does not fit.
bool CopyPath(const char *text, size_t length, char *buffer) {
    if (length >= MAX_PATHNAME_LEN) {
        buffer[0] = '\0';
        return false;
    }
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    return true;
}

} // namespace

int GetProjectDir(char *buffer) {
    if (!buffer)
        return RT_ERR_ARGUMENT;
    if (!QCoreApplication::instance()) {
        buffer[0] = '\0';
        return RT_ERR_ARGUMENT;
    }
    const QByteArray directory = utilityProjectDirOverride.empty()
                                     ? EncodePath(QCoreApplication::applicationDirPath())
                                     : QByteArray::fromStdString(utilityProjectDirOverride);
    if (directory.isEmpty()) {
        buffer[0] = '\0';
        return RT_ERR_IO;
    }
    return CopyPath(directory.constData(), static_cast<size_t>(directory.size()), buffer)
               ? 0
               : RT_ERR_IO;
}

void OverrideProjectDir(const std::string &dir) {
    utilityProjectDirOverride = dir;
}

int MakePathname(const char *directory, const char *fileName, char *buffer) {
    if (!buffer)
        return RT_ERR_ARGUMENT;
    if (!directory || !fileName) {
        buffer[0] = '\0';
        return RT_ERR_ARGUMENT;
    }
    // "/a//" and "/b" join as "/a/b"; a lone "/" is the root and stays.
    size_t directoryLength = strlen(directory);
    while (directoryLength > 1 && directory[directoryLength - 1] == '/')
        directoryLength--;
    while (*fileName == '/')
        fileName++;
    const bool separator = directoryLength > 0 && directory[directoryLength - 1] != '/';
    const size_t fileLength = strlen(fileName);
    // Built aside: callers pass their buffer as the directory too.
    char joined[MAX_PATHNAME_LEN];
    const size_t length = directoryLength + (separator ? 1 : 0) + fileLength;
    if (length >= sizeof joined) {
        buffer[0] = '\0';
        return RT_ERR_ARGUMENT;
    }
    memcpy(joined, directory, directoryLength);
    if (separator)
        joined[directoryLength] = '/';
    memcpy(joined + directoryLength + (separator ? 1 : 0), fileName, fileLength);
    joined[length] = '\0';
    memcpy(buffer, joined, length + 1);
    return 0;
}

long RoundRealToNearestInteger(double x) {
    // Converting a double outside long's range is undefined, so those are clamped first; the
    // bounds are powers of two and exact as doubles.
    const double limit = -static_cast<double>(LONG_MIN);
    if (std::isnan(x))
        return 0;
    if (x >= limit)
        return LONG_MAX;
    if (x <= -limit)
        return LONG_MIN;
    return std::lround(x);
}

void CopyBytes(char *target, int targetIndex, const char *source, int sourceIndex, int count) {
    if (!target || !source || targetIndex < 0 || sourceIndex < 0 || count < 1)
        return;
    memmove(target + targetIndex, source + sourceIndex, static_cast<size_t>(count));
}
