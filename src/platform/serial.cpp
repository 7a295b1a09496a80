// Serial line service: each port's line and state, and the serial calls over them.
#include "platform_os.h"
#include "platform_services.h"
#include "runtime.h"
#include "serial_line.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// Everything the service knows of one port number.
// reopenOnWrite is set while the port is closed because its line dropped: the adapter may be
// plugged back in, and the next write tries the device once more before it gives up.
// binding is the device the operator chose for the port; a refused one (no serial line) is kept
// to be shown, and the port is used as if unbound.
struct SerialPortState {
    std::unique_ptr<SerialLine> device; // made at the port's first use, kept for the process's life
    SerialLine *standIn = nullptr;      // a line attached in the device's place, or none
    std::string devicePath;             // the text ComPortDevice last handed out for the port
    PortState state = PORT_CLOSED;
    bool reopenOnWrite = false;
    std::string binding;
    bool bindingRefused = false;
};

std::map<int, SerialPortState> serialPorts;
int serialLastPolledPort = 0; // the port GetInQLen was last asked about
PortStatus serialShownPort;   // what the status lines show
void (*serialPortStatusHook)() = nullptr;

// The administrator's TAMSEL_COM<n>, or nullptr.
const char *VariableDevice(int port) {
    char variable[32]; // "TAMSEL_COM" and an int: 10 + 11 + NUL
    snprintf(variable, sizeof variable, "TAMSEL_COM%d", port);
    const char *named = getenv(variable);
    return named && *named ? named : nullptr;
}

void OnLineDropped(int port);

SerialPortState &PortOf(int port) {
    SerialPortState &state = serialPorts[port];
    if (!state.device)
        state.device = MakeDeviceLine([port] { OnLineDropped(port); });
    return state;
}

SerialLine &LineOf(int port) {
    SerialPortState &state = PortOf(port);
    return state.standIn ? *state.standIn : *state.device;
}

// The binding the port is used with now: none where TAMSEL_COM<n> wins or the device was refused.
const std::string *UsedBinding(int port) {
    const SerialPortState &state = PortOf(port);
    if (state.binding.empty() || state.bindingRefused || VariableDevice(port))
        return nullptr;
    return &state.binding;
}

std::string DevicePath(int port) {
    if (const char *named = VariableDevice(port))
        return named;
    if (const std::string *binding = UsedBinding(port))
        return *binding;
    return SystemPortPath(port);
}

// A bound device is looked at again before each open: its link may lead elsewhere by now, and
// only a serial line may be opened through it.
int OpenLine(int port, const LineSettings *settings) {
    if (const std::string *binding = UsedBinding(port))
        if (ExamineBinding(*binding) == BINDING_NOT_SERIAL) {
            LineOf(port).Close();
            return RT_ERR_OPEN_FAILED;
        }
    SerialLine &line = LineOf(port);
    return settings ? line.Open(DevicePath(port), *settings) : line.Reopen(DevicePath(port));
}

// The status lines follow the port last opened or tried; that port's closing and dropping show
// there, any other port's do not.
void SetPortState(int port, PortState state) {
    PortOf(port).state = state;
    if (state != PORT_OPENED && state != PORT_OPEN_FAILED && port != serialShownPort.port)
        return;
    serialShownPort = {port, state};
    if (serialPortStatusHook)
        serialPortStatusHook();
}

void OnLineDropped(int port) {
    PortOf(port).reopenOnWrite = true;
    SetPortState(port, PORT_LINE_DROPPED);
}

// Once, for a write on a port whose line dropped. Only a write does this, never a timer or a
// read, so an idle program does not poll for the adapter; a failed try leaves the port waiting for
// the next write.
bool ReopenDroppedLine(int port) {
    SerialPortState &state = PortOf(port);
    if (!state.reopenOnWrite)
        return false;
    OpenLine(port, nullptr);
    const bool opened = LineOf(port).IsOpen();
    state.reopenOnWrite = !opened;
    SetPortState(port, opened ? PORT_OPENED : PORT_OPEN_FAILED);
    return opened;
}

// The program opens or closes the port itself: a line that dropped before is not reopened.
void ForgetDroppedLine(int port) {
    PortOf(port).reopenOnWrite = false;
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

int SetFlowControl(int port, bool on, QSerialPort::FlowControl kind) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    SerialLine &line = LineOf(port);
    return line.IsOpen() ? line.SetFlowControl(on, kind) : RT_ERR_NOT_OPEN;
}

// True when the port last asked for its input queue length still has bytes waiting: a poller
// that reads the line through ProcessSystemEvents and GetInQLen takes them at once.
bool PolledInputWaiting() {
    return serialLastPolledPort > 0 && GetInQLen(serialLastPolledPort) > 0;
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
    // The program's own open decides from now on: a drop before it is not undone by a write.
    ForgetDroppedLine(port);
    const int result = OpenLine(port, &settings);
    if (result != RT_ERR_ARGUMENT)
        SetPortState(port, result == 0 ? PORT_OPENED : PORT_OPEN_FAILED);
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
    return LineOf(port).IsOpen() ? 0 : RT_ERR_NOT_OPEN;
}

int ComWrt(int port, const char *buffer, int count) {
    if (port < 1 || count < 0 || (!buffer && count > 0))
        return RT_ERR_ARGUMENT;
    // After a termination signal nothing more goes out on the line.
    if (TerminationRequested())
        return 0;
    SerialLine &line = LineOf(port);
    if (!line.IsOpen() && !ReopenDroppedLine(port))
        return RT_ERR_NOT_OPEN;
    return line.Write(buffer, count);
}

int GetInQLen(int port) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    // Bytes QSerialPort has already taken off the line raise no event again: the loop asks here
    // before it sleeps.
    static const bool checked = (SetInputWaitingCheck(PolledInputWaiting), true);
    (void)checked;
    serialLastPolledPort = port;
    return LineOf(port).Waiting();
}

int ComRdByte(int port) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    SerialLine &line = LineOf(port);
    return line.IsOpen() ? line.ReadByte() : RT_ERR_NOT_OPEN;
}

int FlushInQ(int port) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    SerialLine &line = LineOf(port);
    return line.IsOpen() ? line.FlushInput() : RT_ERR_NOT_OPEN;
}

int CloseCom(int port) {
    if (port < 1)
        return RT_ERR_ARGUMENT;
    ForgetDroppedLine(port);
    SerialLine &line = LineOf(port);
    const bool wasOpen = line.IsOpen();
    line.Close();
    if (wasOpen)
        SetPortState(port, PORT_CLOSED);
    return 0;
}

const char *ComPortDevice(int port) {
    if (port < 1)
        return "";
    std::string &path = PortOf(port).devicePath;
    path = DevicePath(port);
    return path.c_str();
}

int BindComPort(int port, const char *device) {
    if (port < 1 || (device && strlen(device) >= MAX_PATHNAME_LEN))
        return RT_ERR_ARGUMENT;
    SerialPortState &state = PortOf(port);
    state.binding = device ? device : "";
    state.bindingRefused =
        !state.binding.empty() && ExamineBinding(state.binding) == BINDING_NOT_SERIAL;
    if (port == serialShownPort.port && serialPortStatusHook)
        serialPortStatusHook();
    return state.bindingRefused ? RT_ERR_OPEN_FAILED : 0;
}

PortMapping LookUpPortMapping(int port) {
    if (port < 1)
        return {std::string(), false, false};
    const SerialPortState &state = PortOf(port);
    return {state.binding, state.bindingRefused, VariableDevice(port) != nullptr};
}

PortDeviceInfo LookUpPortDevice(int port) {
    SystemPortListing listing;
    return port < 1 ? PortDeviceInfo() : LineOf(port).Describe(DevicePath(port), &listing);
}

PortListDevices LookUpPortListDevices(int count) {
    PortListDevices found;
    std::vector<QString> taken;
    SystemPortListing listing;
    for (int port = 1; port <= count; port++) {
        const std::string path = DevicePath(port);
        found.ports.push_back(LineOf(port).Describe(path, &listing));
        taken.push_back(SerialDeviceName(path));
    }
    found.others = ListOtherSerialDevices(taken, &listing);
    return found;
}

PortStatus ShownPortStatus() {
    return serialShownPort;
}

void SetPortStatusHook(void (*hook)()) {
    serialPortStatusHook = hook;
}

void AttachLine(int port, SerialLine *line) {
    SerialPortState &state = PortOf(port);
    state.device->Close();
    state.reopenOnWrite = false;
    state.standIn = line;
}

void DetachLine(int port) {
    PortOf(port).standIn = nullptr;
}
