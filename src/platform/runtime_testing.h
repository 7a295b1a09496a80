// Test seams of the run-time: a scripted line, the serial devices present, a message box hook, the
// program directory, panels. Only tests, fuzz targets and the benchmark include this; the program
// never does. The scripted line and the stand-in devices are in the library tamsel_stand_ins,
// which the program does not link.
#ifndef TAMSEL_PLATFORM_RUNTIME_TESTING_H
#define TAMSEL_PLATFORM_RUNTIME_TESTING_H

#include <functional>
#include <string>
#include <vector>

// Puts a scripted byte source behind a port number instead of a device. While attached, opening
// the port always succeeds, the bytes fed are what GetInQLen/ComRdByte see, and what the program
// writes is collected (and handed to the responder, if one is set, as each ComWrt happens).
void AttachScriptedLine(int port);
void DetachScriptedLine(int port);
void FeedScriptedLine(int port, const std::string &bytes);
std::string TakeScriptedLineOutput(int port);
void SetScriptedLineResponder(int port, std::function<void(const std::string &written)> responder);

// The serial devices the port lists find present, in place of the system's: ports in place of the
// system's list of serial ports (name as the operator knows it, "COM7" or "/dev/ttyUSB0", and what
// the hardware says of itself), and the links in linkFolder in place of those in
// /dev/serial/by-id, until RestoreSerialDevices.
struct ListedSerialPort {
    std::string name;
    std::string description;
    std::string manufacturer;
    std::string serialNumber;
};
void StandInSerialDevices(const std::vector<ListedSerialPort> &ports, const std::string &linkFolder);
void RestoreSerialDevices();

// With a hook set, MessagePopup calls it instead of showing a modal box and returns at once.
// Pass an empty function to show real boxes again.
void SetPopupHook(std::function<void(const std::string &title, const std::string &text)> hook);

// Makes GetProjectDir report dir instead of the executable's directory, so that each test runs the
// program with a TAMSEL.INI of its own. The panel resource is still looked up beside the
// executable. An empty dir restores the executable's directory.
void OverrideProjectDir(const std::string &dir);

// ---------------------------------------------------------------------------------------------
// Panels: what a test needs to act as the operator without a mouse. Widgets returned here belong
// to the run-time; drive them (QTest keys and clicks, close()) but never delete them.

class QWidget;

// The window of a loaded panel, or nullptr when the handle names none.
QWidget *PanelWidget(int panel);
// The widget that realises a control (hidden for a timer control), or nullptr when the panel or
// the control does not exist.
QWidget *ControlWidget(int panel, int control);
// Reads back what SetCtrlAttribute set: ATTR_DIMMED as 1 or 0, ATTR_ON_COLOR (status lamps only)
// as 0xRRGGBB. 0, or RT_ERR_ARGUMENT for a bad handle, control, attribute or null value.
int GetCtrlAttribute(int panel, int control, int attribute, int *value);
// Chooses the panel's menu command bound to callbackName as the operator would; its callback has
// run when this returns 0. RT_ERR_ARGUMENT when the panel has no such command or it is dimmed.
int TriggerMenuCommand(int panel, const char *callbackName);

#endif
