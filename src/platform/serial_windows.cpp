// Serial line service, the Windows side: COM port names, the port lock, discarding input, presence.
#include "platform_os.h"

#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSerialPortInfo>

#include <windows.h>

#include <cstdio>

std::string SystemPortPath(int port) {
    char path[16]; // "COM" and an int: 3 + 11 + NUL
    snprintf(path, sizeof path, "COM%d", port);
    return path;
}

// Only COM1 to COM9 are also names in the DOS device space; a port above COM9 opens only as
// "\\.\COM12". Every COM port is given that form, upper case, so that "com2" and "\\.\COM2" name
// the same port and compare equal with the system's list.
QString SerialDeviceName(const std::string &path) {
    const QString name = QString::fromLocal8Bit(path.c_str());
    static const QRegularExpression COM_PORT(QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM([0-9]+)$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch port = COM_PORT.match(name);
    return port.hasMatch() ? QStringLiteral("\\\\.\\COM") + port.captured(1) : name;
}

// Windows keeps an adapter's COM number for that adapter: the name is the binding. Whether the
// port is there now is for the open to find.
BindingKind ExamineBinding(const std::string &device) {
    static const QRegularExpression COM_NAME(
        QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM[1-9][0-9]{0,2}$"),
        QRegularExpression::CaseInsensitiveOption);
    return COM_NAME.match(QString::fromLocal8Bit(device.c_str())).hasMatch() ? BINDING_SERIAL
                                                                            : BINDING_NOT_SERIAL;
}

// From the device manager and the registry: nothing is opened. What a port says of itself is
// kept for USB adapters; a board's own port only says that it is a communications port.
std::vector<SystemSerialPort> ListSystemSerialPorts() {
    std::vector<SystemSerialPort> ports;
    for (const QSerialPortInfo &listed : QSerialPortInfo::availablePorts()) {
        SystemSerialPort port;
        port.device = SerialDeviceName(listed.portName().toStdString());
        port.name = listed.portName();
        if (listed.hasVendorIdentifier()) {
            port.description = listed.description();
            port.manufacturer = listed.manufacturer();
            port.serialNumber = listed.serialNumber();
        }
        ports.push_back(port);
    }
    return ports;
}

// Windows names an adapter by its COM number alone.
std::vector<SerialLink> ListSerialLinks(const QString &) {
    return {};
}

QString SerialLinkFolder() {
    return QString();
}

// QSerialPort opens a port with no sharing, and a port's driver refuses a second opener, but not
// every driver does (Wine's serial ports, some virtual ones). A named lock per port, held while
// the port is open, keeps two of these programs off one port in any case. The name is the port's
// name without the "\\.\" prefix, so "COM2" and "\\.\COM2" take the same lock.
bool LockOpenedDevice(QSerialPort *serial) {
    QString port = serial->portName();
    port.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString name = QStringLiteral("Local\\Tamsel serial port ") + port;
    HANDLE lock = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t *>(name.utf16()));
    if (!lock)
        return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(lock);
        return false;
    }
    QObject::connect(
        serial, &QIODevice::aboutToClose, serial, [lock] { CloseHandle(lock); },
        Qt::SingleShotConnection);
    return true;
}

// Not Qt's clear(): it purges with PURGE_RXABORT, which aborts the read Qt keeps under way, and Qt
// then takes the aborted read for a failed line and stops reading. Clearing the queue alone leaves
// that read in place.
bool DiscardSystemInput(QSerialPort *serial) {
    return PurgeComm(serial->handle(), PURGE_RXCLEAR) != 0;
}

// Writes are overlapped and queued by the system: a full queue never fails a write.
bool LineWritable(QSerialPort *) {
    return true;
}

// Nothing is opened to look: opening a port raises its control lines. A port's driver makes its
// DOS device name ("COM2") while the port is there, open or not; the system's list of ports adds
// what it knows of the hardware, and may not list a virtual port at all.
DeviceKind ExamineDevice(const QString &device) {
    const QString prefix = QStringLiteral("\\\\.\\");
    const QString name = device.startsWith(prefix) ? device.mid(prefix.size()) : device;
    wchar_t target[MAX_PATH];
    const bool exists = QueryDosDeviceW(reinterpret_cast<const wchar_t *>(name.utf16()), target,
                                        MAX_PATH) != 0;
    return exists ? DEVICE_OTHER : DEVICE_ABSENT;
}
