// Internals shared between the run-time layer's own files; the domain code never includes this.
#ifndef TAMSEL_PLATFORM_INTERNAL_H
#define TAMSEL_PLATFORM_INTERNAL_H

#include <QString>

#include <string>
#include <vector>

class QSerialPort;

// True when the port last asked for its input queue length still has bytes waiting. A poller
// that reads the line through ProcessSystemEvents and GetInQLen will take them at once, so
// ProcessSystemEvents must not sleep on them.
bool PolledInputWaiting();

// What the system knows of the device behind a port. The texts come from the device itself (a
// USB adapter's descriptors) or the system, so they are planted text: shown plain and bounded.
struct PortDeviceInfo {
    bool present = false; // a character device is there, with hardware behind it where the
                          // system lists such ports; a scripted line is always present
    QString description;  // for a USB adapter: what it calls itself, its maker, its serial
    QString manufacturer; // number; empty when unknown
    QString serialNumber;
};
PortDeviceInfo LookUpPortDevice(int port);
// The same for ports 1 to count, in port order. Listing the system's serial ports walks every tty
// the kernel has (about 10 ms here), so the ports share one listing.
std::vector<PortDeviceInfo> LookUpPortDevices(int count);

// What became of a port, as the serial service reports it to the panels' status lines.
enum PortState {
    PORT_OPENED,
    PORT_OPEN_FAILED,
    PORT_CLOSED,
    PORT_LINE_DROPPED, // closed by the service because the line hung up or the device went
};
// The status lines follow the port last opened or tried; that port's closing and dropping show
// there, any other port's do not.
void ReportPortState(int port, PortState state);

class QWidget;

// Moves the focus of window (null: nothing) off a control that is dimmed or marked as no resting
// place, onto the first operable control in tab order that is not so marked. Called wherever the
// run-time, not the operator, decides where the focus goes.
void RestFocus(QWidget *window);
// RestFocus for every panel shown: after a message box, which may have been shown over any.
void RestFocusOfPanels();

// True once QuitUserInterface has told the running loop to end, while no ProcessSystemEvents is
// under way: the loop is only finishing the round it is in. A timer tick there would start work
// nobody waits for (a first contact after a signal); inside a poll the ticks still count down the
// reply timeout of the exchange that is finishing.
bool LoopEnding();

// ---------------------------------------------------------------------------------------------
// What differs between the operating systems: each has a file of its own for each service
// (serial_posix.cpp and serial_windows.cpp, process_*.cpp, files_*.cpp); the shared files call
// only what is declared here.

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

// Process.
// Arranges for the system's requests to end the program (signals; on Windows a closed window,
// the end of the session, a console's Ctrl+C) to reach RequestTermination on the event loop's
// thread. false when that cannot be arranged.
bool InstallTerminationHandling();
// Marks the run-time as ending; safe in a signal handler and from any thread.
void MarkTerminating();
// The shared part of ending on request, on the loop's thread: quits the loop and dismisses open
// boxes. false when an earlier request is still outstanding (the program is held somewhere); the
// caller then ends the process at once.
bool RequestTermination();
// Sleeps the given time (above 0, at most 1e9 seconds) without dispatching events, or until the
// run-time is told to end.
void SleepUnlessEnding(double seconds);
// Makes standard output carry exactly the bytes written to it.
void SetUpStandardOutput();
// Whether a display to show panels on is named, where that can be known before Qt tries.
bool DisplayNamed(const std::vector<std::string> &arguments);

// Files: a path the run-time hands out or takes, in the system's encoding for file names.
QByteArray EncodePath(const QString &path);

#endif
