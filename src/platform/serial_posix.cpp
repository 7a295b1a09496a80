// Serial line service, the POSIX side: device names, discarding input, whether a line takes bytes.
#include "platform_os.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <poll.h>

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
