// What each operating system supplies to the run-time's shared files, which reach it only here.
// Each service has a file per system that defines its part: serial_posix.cpp (with serial_linux.cpp
// on Linux) and serial_windows.cpp, process_*.cpp, files_*.cpp.
#ifndef TAMSEL_PLATFORM_OS_H
#define TAMSEL_PLATFORM_OS_H

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

class QSerialPort;

// ---------------------------------------------------------------------------------------------
// Serial line.

// The device of port n when no TAMSEL_COM<n> names one: /dev/ttyS<n-1>, or COM<n>.
std::string SystemPortPath(int port);
// The name the system and Qt know path's device by, so that every alias of one device compares
// equal: a link resolved to its device on POSIX; "COM12" as "\\.\COM12" on Windows.
QString SerialDeviceName(const std::string &path);
// Makes the open port exclusive under every name of its device. false: another program has it.
bool LockOpenedDevice(QSerialPort *serial);
// Throws away what the system has received on the line and not yet handed to Qt, without
// disturbing a read under way. false when the system refuses.
bool DiscardSystemInput(QSerialPort *serial);
// Whether the line takes bytes now, so that a write cannot fail for a full queue.
bool LineWritable(QSerialPort *serial);
enum DeviceKind {
    DEVICE_ABSENT,      // nothing that could be a serial line is there
    DEVICE_SYSTEM_PORT, // a port the system lists when its hardware is there
    DEVICE_OTHER,       // a line the system does not list (a pseudo-terminal): present
};
DeviceKind ExamineDevice(const QString &device);

// What a device the operator bound a port to is now.
enum BindingKind {
    BINDING_SERIAL,     // a serial line: on Linux a tty of a serial or pty slave driver under
                        // /dev, through any link; on Windows a COM port name
    BINDING_ABSENT,     // nothing is there now under /dev (an adapter unplugged, its link gone)
    BINDING_NOT_SERIAL, // anything else: a file, a FIFO, a disk, the console, a path elsewhere
};
// Looks without opening: opening a device may block or act on it.
BindingKind ExamineBinding(const std::string &device);

// A serial port the system lists, with what its hardware says of itself. The texts are planted:
// a USB adapter's descriptors are whatever it was programmed with.
struct SystemSerialPort {
    QString device; // as SerialDeviceName gives it: "/dev/ttyUSB0", "\\.\COM7"
    QString name;   // what the operator knows it by, and binds a port to: "/dev/ttyUSB0", "COM7"
    QString description;
    QString manufacturer;
    QString serialNumber;
};
// The ports with hardware behind them, found without opening any.
std::vector<SystemSerialPort> ListSystemSerialPorts();

// A link that names a serial device by what it is (maker, model, serial number), and so keeps
// naming it when the device comes back under another name.
struct SerialLink {
    QString link;   // the link's path
    QString device; // the device it leads to, as SerialDeviceName gives it
};
// The links in folder whose devices are serial lines, by name; none where folder is empty.
std::vector<SerialLink> ListSerialLinks(const QString &folder);
// Where the system keeps such links: /dev/serial/by-id on Linux; none on Windows.
QString SerialLinkFolder();

// ---------------------------------------------------------------------------------------------
// Process.

// Arranges for the system's requests to end the program (signals; on Windows a closed window,
// the end of the session, a console's Ctrl+C) to reach RequestTermination on the event loop's
// thread. false when that cannot be arranged.
bool InstallTerminationHandling();
// Sleeps the given time (above 0, at most 1e9 seconds) without dispatching events, or until the
// run-time is told to end.
void SleepUnlessEnding(double seconds);
// Makes standard output carry exactly the bytes written to it.
void SetUpStandardOutput();
// Whether a display to show panels on is named, where that can be known before Qt tries. When
// none is, it says on standard error what the operator must set.
bool DisplayNamed(const std::vector<std::string> &arguments);

// ---------------------------------------------------------------------------------------------
// Files: a path the run-time hands out or takes, in the system's encoding for file names.
QByteArray EncodePath(const QString &path);

#endif
