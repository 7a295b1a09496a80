// Serial line service, the POSIX side: device names, exclusive use and what a device node is.
#include "platform_internal.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cstdio>

std::string SystemPortPath(int port) {
    char path[32]; // "/dev/ttyS" and an int: 9 + 11 + NUL
    snprintf(path, sizeof path, "/dev/ttyS%d", port - 1);
    return path;
}

// Qt names a device by path; a link is resolved so that every alias of one device (a by-id link,
// a simulator's link to its pty) shares one lock file and excludes the others.
QString SerialDeviceName(const std::string &path) {
    const QString name = QFile::decodeName(path.c_str());
    QFileInfo info(name);
    if (!info.isAbsolute())
        return name;
    const QString target = info.canonicalFilePath();
    return target.isEmpty() ? name : target;
}

// The lock file goes by the resolved name and root passes TIOCEXCL, so another name of the same
// device (a hard link, a bind mount) would open it twice. A lock on the open device itself
// refuses that opener too, root included, and goes with the descriptor at close.
bool LockOpenedDevice(QSerialPort *serial) {
    return flock(static_cast<int>(serial->handle()), LOCK_EX | LOCK_NB) == 0;
}

// Qt's clear() is tcflush here, and it empties Qt's own buffer too.
bool DiscardSystemInput(QSerialPort *serial) {
    return serial->clear(QSerialPort::Input);
}

// A write that would block fails with EAGAIN, which Qt reports as a ResourceError. A hung-up line
// counts as writable: the write then fails and closes the port.
bool LineWritable(QSerialPort *serial) {
    pollfd line = {static_cast<int>(serial->handle()), POLLOUT, 0};
    return poll(&line, 1, 0) > 0 && (line.revents & (POLLOUT | POLLHUP | POLLERR)) != 0;
}

// stat, not open: looking must never block on, or act on, whatever special file the path names.
// The kernel keeps placeholder ttyS ports with no UART behind them, which Qt leaves out of its
// list; those, and USB adapters, have a device in sysfs. A pseudo-terminal has none.
DeviceKind ExamineDevice(const QString &device) {
    struct stat status;
    if (stat(QFile::encodeName(device).constData(), &status) != 0 || !S_ISCHR(status.st_mode))
        return DEVICE_ABSENT;
    const bool listed = QFileInfo::exists(
        QStringLiteral("/sys/class/tty/%1/device").arg(QFileInfo(device).fileName()));
    return listed ? DEVICE_SYSTEM_PORT : DEVICE_OTHER;
}
