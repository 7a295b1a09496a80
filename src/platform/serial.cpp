// Serial line service: port numbers mapped to devices behind QSerialPort, or to a scripted line.
#include "platform_internal.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// A scripted line stands in for a device. Opening it always succeeds and empties the input, as a
// real open discards what arrived before it; closing drops what is still unread. Bytes fed while
// it is closed are therefore never read. What the program writes is kept, across reopens, until
// the test takes it.
struct ScriptedLine {
    bool open = false;
    std::string input;
    size_t inputRead = 0;
    std::string output;
    std::function<void(const std::string &written)> responder;

    void DropInput() {
        input.clear();
        inputRead = 0;
    }
};

struct LineSettings {
    qint32 baud;
    QSerialPort::Parity parity;
    QSerialPort::DataBits dataBits;
    QSerialPort::StopBits stopBits;
    qint64 inQueueSize;
    qint64 outQueueSize;
};

// A device port. The QSerialPort is made at the first open and kept for the life of the process;
// between uses it is simply closed. settings are those of the last open that succeeded.
// reopenOnWrite is set while the port is closed because its line dropped: the adapter may be
// plugged back in, and the next write tries the device once more before it gives up.
struct DevicePort {
    QSerialPort *serial = nullptr;
    LineSettings settings{};
    bool reopenOnWrite = false;
};

std::map<int, DevicePort> serialDevicePorts;
std::map<int, ScriptedLine> serialScriptedLines;
std::map<int, std::string> serialDeviceNames; // the texts ComPortDevice hands out
int serialLastPolledPort = 0;                 // the port GetInQLen was last asked about

std::string DevicePath(int port) {
    char variable[32]; // "TAMSEL_COM" and an int: 10 + 11 + NUL
    snprintf(variable, sizeof variable, "TAMSEL_COM%d", port);
    const char *named = getenv(variable);
    if (named && *named)
        return named;
    return SystemPortPath(port);
}

ScriptedLine *FindScriptedLine(int port) {
    auto found = serialScriptedLines.find(port);
    return found == serialScriptedLines.end() ? nullptr : &found->second;
}

DevicePort *FindOpenDevice(int port) {
    auto found = serialDevicePorts.find(port);
    if (found == serialDevicePorts.end() || !found->second.serial ||
        !found->second.serial->isOpen())
        return nullptr;
    return &found->second;
}

bool SettingsFromArguments(long baud, int parity, int dataBits, int stopBits, int inQueueSize,
                           int outQueueSize, LineSettings *settings) {
    static const QSerialPort::Parity PARITIES[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                   QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                   QSerialPort::SpaceParity};
    if (baud < 1 || baud > INT32_MAX || parity < 0 || parity > 4 || dataBits < 5 || dataBits > 8 ||
        stopBits < 1 || stopBits > 2 || inQueueSize < 1 || outQueueSize < 1)
        return false;
    settings->baud = static_cast<qint32>(baud);
    settings->parity = PARITIES[parity];
    settings->dataBits = static_cast<QSerialPort::DataBits>(dataBits);
    settings->stopBits = stopBits == 1 ? QSerialPort::OneStop : QSerialPort::TwoStop;
    settings->inQueueSize = inQueueSize;
    settings->outQueueSize = outQueueSize;
    return true;
}

// QSerialPort 6.4 keeps a port open after its line hangs up, and its read notifier takes the
// read() of 0 that follows as a ReadError with a stale errno, over and over at full CPU; a pulled
// USB adapter looks the same. While the port is open, the first read, write or resource error
// closes it: that ends the notifiers, and the closed state is what the program sees until its next
// write tries the device again. Closing from inside the notifier's own signal is safe, as Qt
// deletes its notifiers later.
// A write that would block cannot cause this (ComWrt only pushes bytes when the line can take
// them), so a backed-up line is never mistaken for a dead one.
void CloseOnLineFailure(int port, QSerialPort *serial, QSerialPort::SerialPortError error) {
    if ((error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
         error == QSerialPort::ResourceError) &&
        serial->isOpen()) {
        serial->close();
        serialDevicePorts[port].reopenOnWrite = true;
        ReportPortState(port, PORT_LINE_DROPPED);
    }
}

QSerialPort *MakeSerialPort(int port) {
    auto *serial = new QSerialPort;
    QObject::connect(serial, &QSerialPort::errorOccurred, serial,
                     [port, serial](QSerialPort::SerialPortError error) {
                         CloseOnLineFailure(port, serial, error);
                     });
    return serial;
}

int OpenDevice(int port, const LineSettings &settings) {
    if (!QCoreApplication::instance())
        return RT_ERR_ARGUMENT;
    DevicePort &device = serialDevicePorts[port];
    if (!device.serial)
        device.serial = MakeSerialPort(port);
    QSerialPort *serial = device.serial;
    if (serial->isOpen())
        serial->close();
    serial->setPortName(SerialDeviceName(DevicePath(port)));
    serial->setReadBufferSize(settings.inQueueSize);
    if (!serial->open(QIODevice::ReadWrite)) {
        // A second opener is refused with PermissionError (the lock file, or TIOCEXCL), which is
        // also what a user outside the dialout group gets.
        return serial->error() == QSerialPort::PermissionError ? RT_ERR_BUSY : RT_ERR_OPEN_FAILED;
    }
    if (!LockOpenedDevice(serial)) {
        serial->close();
        return RT_ERR_BUSY;
    }
    if (!serial->setBaudRate(settings.baud) || !serial->setParity(settings.parity) ||
        !serial->setDataBits(settings.dataBits) || !serial->setStopBits(settings.stopBits) ||
        !serial->setFlowControl(QSerialPort::NoFlowControl)) {
        serial->close();
        return RT_ERR_CONFIG;
    }
    // Qt does not flush on open: without this, bytes the line delivered before the open would be
    // read as the first reply.
    serial->clear();
    device.settings = settings;
    return 0;
}

// Once, for a write on a port whose line dropped: the same name, which a by-id link may now resolve
// to another tty, with the settings the port had, its flow control included. Only a write does
// this, never a timer or a read, so an idle program does not poll for the adapter; a failed try
// leaves the port waiting for the next write.
DevicePort *ReopenDroppedDevice(int port) {
    auto found = serialDevicePorts.find(port);
    if (found == serialDevicePorts.end() || !found->second.reopenOnWrite)
        return nullptr;
    DevicePort &device = found->second;
    const QSerialPort::FlowControl flowControl = device.serial->flowControl();
    const int result = OpenDevice(port, device.settings);
    if (result == 0 && !device.serial->setFlowControl(flowControl))
        device.serial->close();
    const bool opened = device.serial->isOpen();
    device.reopenOnWrite = !opened;
    ReportPortState(port, opened ? PORT_OPENED : PORT_OPEN_FAILED);
    return opened ? &device : nullptr;
}

// The program opens or closes the port itself: a line that dropped before is not reopened.
void ForgetDroppedLine(int port) {
    if (auto found = serialDevicePorts.find(port); found != serialDevicePorts.end())
        found->second.reopenOnWrite = false;
}

int SetFlowControl(int port, bool on, QSerialPort::FlowControl kind) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    if (ScriptedLine *line = FindScriptedLine(port))
        return line->open ? 0 : RT_ERR_NOT_OPEN;
    DevicePort *device = FindOpenDevice(port);
    if (!device)
        return RT_ERR_NOT_OPEN;
    QSerialPort *serial = device->serial;
    if (on)
        return serial->setFlowControl(kind) ? 0 : RT_ERR_CONFIG;
    if (serial->flowControl() != kind)
        return 0;
    return serial->setFlowControl(QSerialPort::NoFlowControl) ? 0 : RT_ERR_CONFIG;
}

} // namespace

int OpenComConfig(int port, const char *deviceName, long baud, int parity, int dataBits,
                  int stopBits, int inQueueSize, int outQueueSize) {
    (void)deviceName;
    LineSettings settings;
    if (port < 1 || !SettingsFromArguments(baud, parity, dataBits, stopBits, inQueueSize,
                                           outQueueSize, &settings))
        return RT_ERR_ARGUMENT;
    // A program told to end must not take a line it would only hold up, or start talking on it.
    if (TerminationRequested())
        return RT_ERR_OPEN_FAILED;
    if (ScriptedLine *line = FindScriptedLine(port)) {
        line->open = true;
        line->DropInput();
        ReportPortState(port, PORT_OPENED);
        return 0;
    }
    // The program's own open decides from now on; a drop before it is no longer undone by a write.
    ForgetDroppedLine(port);
    const int result = OpenDevice(port, settings);
    if (result != RT_ERR_ARGUMENT)
        ReportPortState(port, result == 0 ? PORT_OPENED : PORT_OPEN_FAILED);
    return result;
}

int SetCTSMode(int port, int mode) {
    if (mode < 0 || mode > 2)
        return RT_ERR_ARGUMENT;
    return SetFlowControl(port, mode != 0, QSerialPort::HardwareControl);
}

int SetXMode(int port, int mode) {
    if (mode < 0 || mode > 1)
        return RT_ERR_ARGUMENT;
    return SetFlowControl(port, mode != 0, QSerialPort::SoftwareControl);
}

int SetComTime(int port, double timeoutSeconds) {
    if (port < 1 || !std::isfinite(timeoutSeconds) || timeoutSeconds < 0)
        return RT_ERR_ARGUMENT;
    if (ScriptedLine *line = FindScriptedLine(port))
        return line->open ? 0 : RT_ERR_NOT_OPEN;
    return FindOpenDevice(port) ? 0 : RT_ERR_NOT_OPEN;
}

int ComWrt(int port, const char *buffer, int count) {
    if (port < 1 || count < 0 || (!buffer && count > 0))
        return RT_ERR_ARGUMENT;
    // After a termination signal nothing more goes out on the line.
    if (TerminationRequested())
        return 0;
    if (ScriptedLine *line = FindScriptedLine(port)) {
        if (!line->open)
            return RT_ERR_NOT_OPEN;
        std::string written(buffer, static_cast<size_t>(count));
        line->output += written;
        // A copy: the responder may replace itself or detach the line while it runs.
        auto responder = line->responder;
        if (responder)
            responder(written);
        return count;
    }
    DevicePort *device = FindOpenDevice(port);
    if (!device)
        device = ReopenDroppedDevice(port);
    if (!device)
        return RT_ERR_NOT_OPEN;
    QSerialPort *serial = device->serial;
    const qint64 room = device->settings.outQueueSize - serial->bytesToWrite();
    const int queued = room < count ? static_cast<int>(room > 0 ? room : 0) : count;
    if (queued == 0)
        return 0;
    if (serial->write(buffer, queued) != queued)
        return RT_ERR_IO;
    // Without this the bytes wait for the next event dispatch, and the program may Delay first.
    if (LineWritable(serial))
        serial->flush();
    return queued;
}

int GetInQLen(int port) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    serialLastPolledPort = port;
    if (ScriptedLine *line = FindScriptedLine(port)) {
        if (!line->open)
            return 0;
        const size_t waiting = line->input.size() - line->inputRead;
        return waiting > INT_MAX ? INT_MAX : static_cast<int>(waiting);
    }
    DevicePort *device = FindOpenDevice(port);
    if (!device)
        return 0;
    const qint64 waiting = device->serial->bytesAvailable();
    return waiting > INT_MAX ? INT_MAX : static_cast<int>(waiting);
}

int ComRdByte(int port) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    if (ScriptedLine *line = FindScriptedLine(port)) {
        if (!line->open)
            return RT_ERR_NOT_OPEN;
        if (line->inputRead == line->input.size())
            return RT_ERR_IO;
        const unsigned char byte = static_cast<unsigned char>(line->input[line->inputRead++]);
        if (line->inputRead == line->input.size())
            line->DropInput();
        return byte;
    }
    DevicePort *device = FindOpenDevice(port);
    if (!device)
        return RT_ERR_NOT_OPEN;
    char byte;
    if (device->serial->read(&byte, 1) != 1)
        return RT_ERR_IO;
    return static_cast<unsigned char>(byte);
}

int FlushInQ(int port) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    if (ScriptedLine *line = FindScriptedLine(port)) {
        if (!line->open)
            return RT_ERR_NOT_OPEN;
        line->DropInput();
        return 0;
    }
    DevicePort *device = FindOpenDevice(port);
    if (!device)
        return RT_ERR_NOT_OPEN;
    QSerialPort *serial = device->serial;
    // Qt stops reading the line while its buffer is full, and starts again only from a read that
    // finds the buffer empty: after such a flush that read must come, or the line would stay deaf.
    // Otherwise no such read is made: on Windows it starts a read of the line that Wine keeps
    // waiting, and the next bytes would go to it and arrive after the flush.
    const bool full = serial->bytesAvailable() >= serial->readBufferSize();
    // The system's bytes first, then Qt's, so nothing is decided by polling, which on Windows may
    // need several rounds to see a byte. Reading exactly what Qt holds, and only when it holds
    // something, empties its buffer without asking the line for more.
    const bool discarded = DiscardSystemInput(serial);
    if (const qint64 held = serial->bytesAvailable(); held > 0)
        serial->read(held);
    if (full) {
        char none;
        serial->read(&none, 1);
    }
    return discarded ? 0 : RT_ERR_IO;
}

int CloseCom(int port) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    if (ScriptedLine *line = FindScriptedLine(port)) {
        if (line->open)
            ReportPortState(port, PORT_CLOSED);
        line->open = false;
        line->DropInput();
        return 0;
    }
    ForgetDroppedLine(port);
    if (DevicePort *device = FindOpenDevice(port)) {
        device->serial->close();
        ReportPortState(port, PORT_CLOSED);
    }
    return 0;
}

const char *ComPortDevice(int port) {
    if (port < 1)
        return "";
    std::string &name = serialDeviceNames[port];
    name = DevicePath(port);
    return name.c_str();
}

namespace {

// What the system knows of port's device. known is the system's list of serial ports, made on
// first need by whichever port needs it and kept for the ports after it.
PortDeviceInfo DescribePortDevice(int port, std::optional<QList<QSerialPortInfo>> *known) {
    PortDeviceInfo info;
    if (FindScriptedLine(port)) {
        info.present = true;
        return info;
    }
    const QString device = SerialDeviceName(DevicePath(port));
    const DeviceKind kind = ExamineDevice(device);
    if (kind == DEVICE_ABSENT)
        return info;
    if (!known->has_value())
        *known = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &listed : **known) {
        if (listed.systemLocation() != device)
            continue;
        info.present = true;
        if (listed.hasVendorIdentifier()) {
            info.description = listed.description();
            info.manufacturer = listed.manufacturer();
            info.serialNumber = listed.serialNumber();
        }
        return info;
    }
    // A system port the system does not list has no hardware behind it (the kernel keeps
    // placeholder ttyS ports); a pseudo-terminal is never listed.
    info.present = kind == DEVICE_OTHER;
    return info;
}

} // namespace

PortDeviceInfo LookUpPortDevice(int port) {
    std::optional<QList<QSerialPortInfo>> known;
    return port < 1 ? PortDeviceInfo() : DescribePortDevice(port, &known);
}

std::vector<PortDeviceInfo> LookUpPortDevices(int count) {
    std::vector<PortDeviceInfo> infos;
    std::optional<QList<QSerialPortInfo>> known;
    for (int port = 1; port <= count; port++)
        infos.push_back(DescribePortDevice(port, &known));
    return infos;
}

void AttachScriptedLine(int port) {
    if (DevicePort *device = FindOpenDevice(port))
        device->serial->close();
    serialScriptedLines[port] = ScriptedLine();
}

void DetachScriptedLine(int port) {
    serialScriptedLines.erase(port);
}

void FeedScriptedLine(int port, const std::string &bytes) {
    if (ScriptedLine *line = FindScriptedLine(port))
        line->input += bytes;
}

std::string TakeScriptedLineOutput(int port) {
    ScriptedLine *line = FindScriptedLine(port);
    return line ? std::exchange(line->output, std::string()) : std::string();
}

void SetScriptedLineResponder(int port, std::function<void(const std::string &written)> responder) {
    if (ScriptedLine *line = FindScriptedLine(port))
        line->responder = std::move(responder);
}

bool PolledInputWaiting() {
    return serialLastPolledPort > 0 && GetInQLen(serialLastPolledPort) > 0;
}
