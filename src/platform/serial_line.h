// The serial service's line seam: what a port's line does, and how one is made or attached.
#ifndef TAMSEL_PLATFORM_SERIAL_LINE_H
#define TAMSEL_PLATFORM_SERIAL_LINE_H

#include "platform_os.h"
#include "platform_services.h"

#include <QSerialPort>

#include <functional>
#include <memory>
#include <optional>
#include <string>

struct LineSettings {
    qint32 baud;
    QSerialPort::Parity parity;
    QSerialPort::DataBits dataBits;
    QSerialPort::StopBits stopBits;
    qint64 inQueueSize;
    qint64 outQueueSize;
};

// The system's list of serial ports, made on first need by whichever port needs it and kept for
// the ports described after it: listing walks every tty the kernel has (about 10 ms here).
using SystemPortListing = std::optional<std::vector<SystemSerialPort>>;

// Where the serial service learns which serial devices are there: the system, or a test's
// stand-in.
class SerialDeviceDirectory {
  public:
    virtual ~SerialDeviceDirectory() = default;
    virtual std::vector<SystemSerialPort> SystemPorts() const = 0;
    virtual std::vector<SerialLink> Links() const = 0;
};
// Puts directory in place of the system's until called with null; it must outlive its use.
void UseSerialDeviceDirectory(const SerialDeviceDirectory *directory);

// One line. The serial service checks every argument and the run-time's ending before it asks a
// line anything, and asks it to write, read, flush or change its flow control only while it is
// open.
// Results are 0 or the runtime.h codes.
class SerialLine {
  public:
    virtual ~SerialLine() = default;
    // Opens the line on the device at path with settings and no flow control, emptying what
    // arrived before; an open line is opened again. The line is closed after any failure.
    virtual int Open(const std::string &path, const LineSettings &settings) = 0;
    // Opens the line again after it dropped: the device at path with the settings, the flow
    // control included, of its last open that succeeded.
    virtual int Reopen(const std::string &path) = 0;
    virtual bool IsOpen() const = 0;
    // on: the given flow control; off: none, if kind is what the line has.
    virtual int SetFlowControl(bool on, QSerialPort::FlowControl kind) = 0;
    // Queues count bytes (count >= 0) and starts sending; the number queued, fewer when the
    // output queue is full, or RT_ERR_IO.
    // The line may be detached, and so destroyed, before this returns (a test's responder does it).
    virtual int Write(const char *buffer, int count) = 0;
    // Bytes waiting to be read; 0 when not open.
    virtual int Waiting() const = 0;
    // The next byte, or RT_ERR_IO when none waits.
    virtual int ReadByte() = 0;
    // Discards everything received and not yet read.
    virtual int FlushInput() = 0;
    // Closes the line; what was received and not read is gone.
    virtual void Close() = 0;
    // What the system knows of the device at path; listing is shared by the ports described in
    // one go.
    virtual PortDeviceInfo Describe(const std::string &path, SystemPortListing *listing) const = 0;
};

// A line on the device at a path, through QSerialPort. dropped is called when the line hangs up
// or the device goes while the line is open; the line is closed by then.
std::unique_ptr<SerialLine> MakeDeviceLine(std::function<void()> dropped);

// What the system knows of the device at path: whether it is present, and what a USB adapter says
// of itself.
PortDeviceInfo DescribeDevice(const std::string &path, SystemPortListing *listing);
// The serial devices present but those in taken (as SerialDeviceName gives them).
std::vector<OtherSerialDevice> ListOtherSerialDevices(const std::vector<QString> &taken,
                                                      SystemPortListing *listing);

// Puts line behind port in place of its device, which is closed, until DetachLine(port). The line
// stays its owner's, and must outlive the attachment.
void AttachLine(int port, SerialLine *line);
void DetachLine(int port);

#endif
