// File services, the POSIX side: file status, reading regular files only, replacing text whole.
#include "platform_os.h"
#include "runtime.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

// A new file's mode before the umask, as fopen gives it.
constexpr mode_t NEW_FILE_MODE = 0666;
// Names tried for a temporary file before giving up; each is new with odds of 2^-64 against.
constexpr int TEMP_NAME_TRIES = 16;

bool IsRegularFile(const char *path) {
    struct stat status;
    return stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

bool WriteAll(int fd, const char *text, size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, text, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

// Writes the text, pushes it to the disk and closes fd, which is closed whatever happens.
bool WriteSyncClose(int fd, const char *text, size_t count) {
    const bool ok = WriteAll(fd, text, count) && fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

// A rename or a new name is on the disk only once its directory is.
void SyncDirectory(const std::string &directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

std::string DirectoryOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a file of a name nobody has used beside path, exclusively and never through a link,
// whatever was left there before: a name already taken, by anything, is simply passed over.
// The descriptor, or -1 (the directory refuses new files).
int CreateTempFile(const std::string &path, mode_t mode, std::string *tempPath) {
    std::random_device source;
    std::mt19937_64 names((static_cast<uint64_t>(source()) << 32) ^ source() ^
                          static_cast<uint64_t>(getpid()));
    for (int tries = 0; tries < TEMP_NAME_TRIES; tries++) {
        char suffix[20]; // ".", 16 hex digits, NUL
        snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(names()));
        *tempPath = path + suffix;
        const int fd =
            open(tempPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The plain rewrite, on a regular file already open for writing.
int RewriteInPlace(int fd, const char *text, size_t count) {
    if (ftruncate(fd, 0) != 0) {
        close(fd);
        return RT_ERR_IO;
    }
    return WriteSyncClose(fd, text, count) ? 0 : RT_ERR_IO;
}

// The text in a temporary file that takes the old file's place by rename: a crash leaves the old
// file or the new. Only where the new file can be given the old one's mode and owner, and where
// the file has no other names, which a rename would leave with the old text. false when it could
// not be done this way; nothing has changed then.
bool ReplaceByRename(int fd, const struct stat &old, const char *path, const char *text,
                     size_t count, int *result) {
    if (old.st_nlink != 1)
        return false;
    char resolved[PATH_MAX];
    struct stat named;
    // Renaming over the link would make it a plain file and leave its target stale: the target
    // is replaced, and only if the resolved name still leads to the file that is open.
    if (!realpath(path, resolved) || stat(resolved, &named) != 0 || named.st_dev != old.st_dev ||
        named.st_ino != old.st_ino)
        return false;
    const std::string realPath = resolved;
    std::string tempPath;
    const int temp = CreateTempFile(realPath, 0600, &tempPath);
    if (temp < 0)
        return false;
    // chown clears the set-id bits, so the mode comes after it.
    if (fchown(temp, old.st_uid, old.st_gid) != 0 || fchmod(temp, old.st_mode & 07777) != 0) {
        close(temp);
        unlink(tempPath.c_str());
        return false;
    }
    close(fd);
    if (!WriteSyncClose(temp, text, count) || rename(tempPath.c_str(), realPath.c_str()) != 0) {
        unlink(tempPath.c_str());
        *result = RT_ERR_IO;
        return true;
    }
    SyncDirectory(DirectoryOf(realPath));
    *result = 0;
    return true;
}

// A missing file: the text in a temporary file that is then linked under the name, which fails
// rather than follow a link planted there meanwhile; a file system without hard links gets an
// exclusive create.
int CreateFileWithText(const char *path, const char *text, size_t count) {
    std::string tempPath;
    const int temp = CreateTempFile(path, NEW_FILE_MODE, &tempPath);
    if (temp >= 0) {
        const bool written = WriteSyncClose(temp, text, count);
        const int linked = written ? link(tempPath.c_str(), path) : -1;
        const int linkError = errno;
        unlink(tempPath.c_str());
        if (linked == 0) {
            SyncDirectory(DirectoryOf(path));
            return 0;
        }
        if (!written || (linkError != EPERM && linkError != EOPNOTSUPP))
            return RT_ERR_IO;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NEW_FILE_MODE);
    if (fd < 0 || !WriteSyncClose(fd, text, count))
        return RT_ERR_IO;
    SyncDirectory(DirectoryOf(path));
    return 0;
}

} // namespace

QByteArray EncodePath(const QString &path) {
    return QFile::encodeName(path);
}

FILE *OpenFileForReading(const char *path) {
    // Looked at before it is opened: opening a device can act on it (a serial line raises DTR).
    if (!path || !IsRegularFile(path))
        return nullptr;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // What was opened is what counts: the name may have been swapped since it was looked at.
    struct stat status;
    FILE *file = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? fdopen(fd, "rb") : nullptr;
    if (!file)
        close(fd);
    return file;
}

int ReplaceFileText(const char *path, const char *text, int count) {
    if (!path || !text || count < 0)
        return RT_ERR_ARGUMENT;
    const size_t length = static_cast<size_t>(count);
    struct stat old;
    if (stat(path, &old) != 0)
        return errno == ENOENT ? CreateFileWithText(path, text, length) : RT_ERR_IO;
    if (!S_ISREG(old.st_mode))
        return RT_ERR_IO;
    // Opened for writing, without truncating, first: whether we may write is decided exactly as a
    // rewrite in place decides it, for root as for anyone.
    const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return RT_ERR_IO;
    if (fstat(fd, &old) != 0 || !S_ISREG(old.st_mode)) {
        close(fd);
        return RT_ERR_IO;
    }
    int result = RT_ERR_IO;
    if (ReplaceByRename(fd, old, path, text, length, &result))
        return result;
    return RewriteInPlace(fd, text, length);
}

int GetFileInfo(const char *path, long *size) {
    if (!path || !size)
        return RT_ERR_ARGUMENT;
    *size = 0;
    struct stat status;
    if (stat(path, &status) == 0) {
        *size = status.st_size > LONG_MAX ? LONG_MAX : static_cast<long>(status.st_size);
        return 1;
    }
    switch (errno) {
    case ENOENT:
    case ENOTDIR:
        return 0;
    case ENAMETOOLONG:
        return RT_ERR_ARGUMENT;
    default:
        return RT_ERR_IO;
    }
}
