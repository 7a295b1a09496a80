// What the run-time's services offer one another; the domain code never includes this.
//
// The services stand in layers: the event loop and process; the serial line; the panels; the
// message boxes. Each calls only those below it. A service below learns of one above only through
// a hook the one above registers (the loop asks the serial line whether input waits, the serial
// line tells the panels that the status port changed).
#ifndef TAMSEL_PLATFORM_SERVICES_H
#define TAMSEL_PLATFORM_SERVICES_H

#include <QString>

#include <string>
#include <vector>

class QWidget;

// ---------------------------------------------------------------------------------------------
// Event loop and process.

// Registers check, which ProcessSystemEvents asks before it sleeps: while it says true, input is
// waiting that no event will announce again, and a poller is about to take it.
void SetInputWaitingCheck(bool (*check)());

// True once QuitUserInterface has told the running loop to end, while no ProcessSystemEvents is
// under way: the loop is only finishing the round it is in. A timer tick there would start work
// nobody waits for (a first contact after a signal); inside a poll the ticks still count down the
// reply timeout of the exchange that is finishing.
bool LoopEnding();

// Marks the run-time as ending; safe in a signal handler and from any thread.
void MarkTerminating();
// The shared part of ending on request, on the loop's thread: quits the loop and dismisses open
// boxes. false when an earlier request is still outstanding (the program is held somewhere); the
// caller then ends the process at once.
bool RequestTermination();

// ---------------------------------------------------------------------------------------------
// Serial line.

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

// A serial device present that no port of a port list stands for: one the operator may bind a
// port to.
struct OtherSerialDevice {
    std::string binding;  // what a port is bound to: the link, or the device's own name
    QString name;         // the device as the operator knows it: "/dev/ttyUSB0", "COM7"
    QString linkName;     // the link's own name ("usb-FTDI_FT232R_USB_UART_A600XYZ-if00-port0")
    PortDeviceInfo info;  // what it says of itself
};
// What a port list shows: ports 1 to count, in port order, then the serial devices present that
// none of them stands for, those with a link that names them by what they are first, by the
// link's name. Both come from one listing of the system's ports.
struct PortListDevices {
    std::vector<PortDeviceInfo> ports;
    std::vector<OtherSerialDevice> others;
};
PortListDevices LookUpPortListDevices(int count);

// Where port n's device comes from, beyond the path ComPortDevice gives, for the operator to see.
struct PortMapping {
    std::string binding;  // the device the operator bound the port to, "" for none
    bool bindingRefused;  // that device is no serial line: the port is used as if unbound
    bool variableSet;     // TAMSEL_COM<n> names the device, whatever the binding says
};
PortMapping LookUpPortMapping(int port);

// What became of a port.
enum PortState {
    PORT_OPENED,
    PORT_OPEN_FAILED,
    PORT_CLOSED,
    PORT_LINE_DROPPED, // closed by the service because the line hung up or the device went
};
// The port the status lines show: the one last opened or tried (0 before any), and what became
// of it since.
struct PortStatus {
    int port = 0;
    PortState state = PORT_CLOSED;
};
PortStatus ShownPortStatus();
// Registers hook, called after the shown port or its state has changed.
void SetPortStatusHook(void (*hook)());

// ---------------------------------------------------------------------------------------------
// Panels.

// Moves the focus of every panel shown off a control that is dimmed or marked as no resting
// place: after a message box, which may have been shown over any.
void RestFocusOfPanels();

#endif
