// Serial line service, what Linux offers beyond POSIX: device locks, which ttys have hardware.
#include "platform_os.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <sys/file.h>
#include <sys/stat.h>

// The lock file goes by the resolved name and root passes TIOCEXCL, so another name of the same
// device (a hard link, a bind mount) would open it twice. A lock on the open device itself
// refuses that opener too, root included, and goes with the descriptor at close.
bool LockOpenedDevice(QSerialPort *serial) {
    return flock(static_cast<int>(serial->handle()), LOCK_EX | LOCK_NB) == 0;
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
