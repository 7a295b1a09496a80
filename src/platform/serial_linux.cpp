// Serial line service, what Linux offers beyond POSIX: device locks, the kernel's ttys and drivers.
#include "platform_os.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstring>

// The lock file goes by the resolved name and root passes TIOCEXCL, so another name of the same
// device (a hard link, a bind mount) would open it twice. A lock on the open device itself
// refuses that opener too, root included, and goes with the descriptor at close.
bool LockOpenedDevice(QSerialPort *serial) {
    return flock(static_cast<int>(serial->handle()), LOCK_EX | LOCK_NB) == 0;
}

// stat, not open: looking must never block on, or act on, whatever special file the path names.
// The kernel keeps placeholder ttyS ports with no UART behind them, which ListSystemSerialPorts
// leaves out; those, and USB adapters, have a device in sysfs. A pseudo-terminal has none.
DeviceKind ExamineDevice(const QString &device) {
    struct stat status;
    if (stat(QFile::encodeName(device).constData(), &status) != 0 || !S_ISCHR(status.st_mode))
        return DEVICE_ABSENT;
    const bool listed = QFileInfo::exists(
        QStringLiteral("/sys/class/tty/%1/device").arg(QFileInfo(device).fileName()));
    return listed ? DEVICE_SYSTEM_PORT : DEVICE_OTHER;
}

namespace {

// One line of /proc/tty/drivers: "name  /dev/prefix  major  minor[-last]  type". Only the drivers
// of lines count: "serial" (UARTs, USB adapters, modems) and "pty:slave" (a pseudo-terminal, such
// as a simulator's). The console, /dev/tty, virtual terminals and pty masters do not.
bool DriverHoldsLine(const char *line, unsigned major, unsigned minor) {
    unsigned driverMajor = 0, first = 0, last = 0;
    char minors[32], type[32]; // a range of two numbers; the longest type is "system:vtmaster"
    if (sscanf(line, "%*s %*s %u %31s %31s", &driverMajor, minors, type) != 3)
        return false;
    if (sscanf(minors, "%u-%u", &first, &last) != 2) {
        if (sscanf(minors, "%u", &first) != 1)
            return false;
        last = first;
    }
    return driverMajor == major && minor >= first && minor <= last &&
           (strcmp(type, "serial") == 0 || strcmp(type, "pty:slave") == 0);
}

bool LineDriverHas(dev_t numbers) {
    FILE *drivers = fopen("/proc/tty/drivers", "re");
    if (!drivers)
        return false;
    char line[256]; // a driver line is about 60 characters
    bool found = false;
    while (!found && fgets(line, sizeof line, drivers))
        found = DriverHoldsLine(line, major(numbers), minor(numbers));
    fclose(drivers);
    return found;
}

// One attribute from sysfs, as the kernel or the device's own descriptors give it: bounded, its
// first line, empty when it is not there.
QString SysfsText(const QString &path) {
    enum { LONGEST = 256 };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(LONGEST)).section(QLatin1Char('\n'), 0, 0).trimmed();
}

// The USB device a tty hangs on: the nearest folder above the tty's device that has a vendor
// identifier (the interface, then the device). Empty for a UART on the board.
QString UsbDeviceFolder(const QString &ttyFolder) {
    QString folder = QFileInfo(ttyFolder + QStringLiteral("/device")).canonicalFilePath();
    for (int up = 0; up < 3 && folder.startsWith(QStringLiteral("/sys/")); up++) {
        if (QFileInfo::exists(folder + QStringLiteral("/idVendor")))
            return folder;
        folder = QFileInfo(folder).path();
    }
    return QString();
}

} // namespace

BindingKind ExamineBinding(const std::string &device) {
    const QString name = QFile::decodeName(device.c_str());
    const QString dev = QStringLiteral("/dev/");
    const QString node = QFileInfo(name).canonicalFilePath();
    // Nothing there, or a link that leads nowhere now: an adapter unplugged.
    if (node.isEmpty())
        return QDir::cleanPath(name).startsWith(dev) ? BINDING_ABSENT : BINDING_NOT_SERIAL;
    struct stat status;
    if (!node.startsWith(dev) || stat(QFile::encodeName(node).constData(), &status) != 0 ||
        !S_ISCHR(status.st_mode))
        return BINDING_NOT_SERIAL;
    return LineDriverHas(status.st_rdev) ? BINDING_SERIAL : BINDING_NOT_SERIAL;
}

// sysfs, never an open: opening a port raises its modem lines. A tty with hardware has a device
// there; one of the serial core reports its UART's type, 0 for the placeholder ttyS ports the
// kernel keeps without one.
std::vector<SystemSerialPort> ListSystemSerialPorts() {
    std::vector<SystemSerialPort> ports;
    const QDir ttys(QStringLiteral("/sys/class/tty"));
    for (const QString &name : ttys.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString folder = ttys.filePath(name);
        if (!QFileInfo::exists(folder + QStringLiteral("/device")) ||
            SysfsText(folder + QStringLiteral("/type")) == QLatin1String("0"))
            continue;
        SystemSerialPort port;
        port.device = QStringLiteral("/dev/") + name;
        port.name = port.device;
        const QString usb = UsbDeviceFolder(folder);
        if (!usb.isEmpty()) {
            port.description = SysfsText(usb + QStringLiteral("/product"));
            port.manufacturer = SysfsText(usb + QStringLiteral("/manufacturer"));
            port.serialNumber = SysfsText(usb + QStringLiteral("/serial"));
        }
        ports.push_back(port);
    }
    return ports;
}

std::vector<SerialLink> ListSerialLinks(const QString &folder) {
    // udev makes one link per adapter interface; a folder of more is no folder of adapters.
    enum { MOST_LINKS = 256 };
    std::vector<SerialLink> links;
    if (folder.isEmpty())
        return links;
    const QDir dir(folder);
    for (const QString &name : dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot,
                                             QDir::Name)) {
        const QString link = dir.filePath(name);
        if (!QFileInfo(link).isSymLink() ||
            ExamineBinding(QFile::encodeName(link).toStdString()) != BINDING_SERIAL)
            continue;
        links.push_back({link, QFileInfo(link).canonicalFilePath()});
        if (links.size() == MOST_LINKS)
            break;
    }
    return links;
}

QString SerialLinkFolder() {
    return QStringLiteral("/dev/serial/by-id");
}
