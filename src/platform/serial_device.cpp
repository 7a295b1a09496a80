// Serial line service: a line on a device, through QSerialPort.
#include "platform_os.h"
#include "runtime.h"
#include "serial_line.h"

#include <QCoreApplication>

#include <climits>
#include <utility>

namespace {

// The QSerialPort is made at the first open and kept for the life of the process; between uses
// it is simply closed. settings are those of the last open that succeeded.
class DeviceLine : public SerialLine {
  public:
    explicit DeviceLine(std::function<void()> dropped) : onDropped(std::move(dropped)) {}

    int Open(const std::string &path, const LineSettings &newSettings) override {
        if (!QCoreApplication::instance())
            return RT_ERR_ARGUMENT;
        if (!serial)
            serial = MakeSerialPort();
        if (serial->isOpen())
            serial->close();
        serial->setPortName(SerialDeviceName(path));
        serial->setReadBufferSize(newSettings.inQueueSize);
        if (!serial->open(QIODevice::ReadWrite)) {
            // A second opener is refused with PermissionError (the lock file, or TIOCEXCL), which
            // is also what a user outside the dialout group gets.
            return serial->error() == QSerialPort::PermissionError ? RT_ERR_BUSY
                                                                   : RT_ERR_OPEN_FAILED;
        }
        if (!LockOpenedDevice(serial)) {
            serial->close();
            return RT_ERR_BUSY;
        }
        if (!serial->setBaudRate(newSettings.baud) || !serial->setParity(newSettings.parity) ||
            !serial->setDataBits(newSettings.dataBits) ||
            !serial->setStopBits(newSettings.stopBits) ||
            !serial->setFlowControl(QSerialPort::NoFlowControl)) {
            serial->close();
            return RT_ERR_CONFIG;
        }
        // Qt does not flush on open: without this, bytes the line delivered before the open would
        // be read as the first reply.
        serial->clear();
        settings = newSettings;
        return 0;
    }

    // The same name, which a by-id link may now resolve to another tty, with the settings the line
    // had, its flow control included.
    int Reopen(const std::string &path) override {
        if (!serial)
            return RT_ERR_NOT_OPEN;
        const QSerialPort::FlowControl flowControl = serial->flowControl();
        const int result = Open(path, settings);
        if (result == 0 && !serial->setFlowControl(flowControl)) {
            serial->close();
            return RT_ERR_CONFIG;
        }
        return result;
    }

    bool IsOpen() const override { return serial && serial->isOpen(); }

    int SetFlowControl(bool on, QSerialPort::FlowControl kind) override {
        if (on)
            return serial->setFlowControl(kind) ? 0 : RT_ERR_CONFIG;
        if (serial->flowControl() != kind)
            return 0;
        return serial->setFlowControl(QSerialPort::NoFlowControl) ? 0 : RT_ERR_CONFIG;
    }

    int Write(const char *buffer, int count) override {
        const qint64 room = settings.outQueueSize - serial->bytesToWrite();
        const int queued = room < count ? static_cast<int>(room > 0 ? room : 0) : count;
        if (queued == 0)
            return 0;
        if (serial->write(buffer, queued) != queued)
            return RT_ERR_IO;
        // Without this the bytes wait for the next event dispatch, and the program may Delay
        // first.
        if (LineWritable(serial))
            serial->flush();
        return queued;
    }

    int Waiting() const override {
        if (!IsOpen())
            return 0;
        const qint64 waiting = serial->bytesAvailable();
        return waiting > INT_MAX ? INT_MAX : static_cast<int>(waiting);
    }

    int ReadByte() override {
        char byte;
        if (serial->read(&byte, 1) != 1)
            return RT_ERR_IO;
        return static_cast<unsigned char>(byte);
    }

    int FlushInput() override {
        // Qt stops reading the line while its buffer is full, and starts again only from a read
        // that finds the buffer empty: after such a flush that read must come, or the line would
        // stay deaf. Otherwise no such read is made: on Windows it starts a read of the line that
        // Wine keeps waiting, and the next bytes would go to it and arrive after the flush.
        const bool full = serial->bytesAvailable() >= serial->readBufferSize();
        // The system's bytes first, then Qt's, so nothing is decided by polling, which on Windows
        // may need several rounds to see a byte. Reading exactly what Qt holds, and only when it
        // holds something, empties its buffer without asking the line for more.
        const bool discarded = DiscardSystemInput(serial);
        if (const qint64 held = serial->bytesAvailable(); held > 0)
            serial->read(held);
        if (full) {
            char none;
            serial->read(&none, 1);
        }
        return discarded ? 0 : RT_ERR_IO;
    }

    void Close() override {
        if (IsOpen())
            serial->close();
    }

    PortDeviceInfo Describe(const std::string &path, SystemPortListing *listing) const override {
        return DescribeDevice(path, listing);
    }

  private:
    QSerialPort *MakeSerialPort() {
        auto *made = new QSerialPort;
        QObject::connect(made, &QSerialPort::errorOccurred, made,
                         [this](QSerialPort::SerialPortError error) { CloseOnLineFailure(error); });
        return made;
    }

    // QSerialPort 6.4 keeps a port open after its line hangs up, and its read notifier takes the
    // read() of 0 that follows as a ReadError with a stale errno, over and over at full CPU; a
    // pulled USB adapter looks the same. While the line is open, the first read, write or resource
    // error closes it: that ends the notifiers, and the closed state is what the program sees
    // until its next write tries the device again. Closing from inside the notifier's own signal
    // is safe, as Qt deletes its notifiers later.
    // A write that would block cannot cause this (Write only pushes bytes when the line can take
    // them), so a backed-up line is never mistaken for a dead one.
    void CloseOnLineFailure(QSerialPort::SerialPortError error) {
        if ((error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
             error == QSerialPort::ResourceError) &&
            serial->isOpen()) {
            serial->close();
            onDropped();
        }
    }

    std::function<void()> onDropped;
    QSerialPort *serial = nullptr;
    LineSettings settings{};
};

} // namespace

std::unique_ptr<SerialLine> MakeDeviceLine(std::function<void()> dropped) {
    return std::make_unique<DeviceLine>(std::move(dropped));
}
