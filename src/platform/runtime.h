// Run-time services for the domain modules: serial line, event loop, panels, message boxes, files.
//
// The domain code (devices, Tamsel) is written against a small procedural run-time: integer port
// numbers and panel handles, callbacks named in a panel resource, 0 for success and negative codes
// for failure. This header is that run-time's whole contract; everything behind it is Qt 6.
// Nothing here throws.
#ifndef TAMSEL_PLATFORM_RUNTIME_H
#define TAMSEL_PLATFORM_RUNTIME_H

#include <cstdio>

// ---------------------------------------------------------------------------------------------
// Results. 0 is success. A caller's mistake and a device or OS failure are told apart.
enum RuntimeError {
    RT_ERR_ARGUMENT = -1,    // caller's bug: bad port number, null pointer, bad handle, bad index
    RT_ERR_NOT_OPEN = -2,    // the port is not open (or vanished and was closed underneath)
    RT_ERR_OPEN_FAILED = -3, // the device does not exist or cannot be opened
    RT_ERR_BUSY = -4,        // the device is held by another program (or no permission to open it)
    RT_ERR_CONFIG = -5,      // the device refused a line setting
    RT_ERR_IO = -6,          // the OS reported a failure on an open device
    RT_ERR_NO_UI = -7,       // the panel resource is missing, malformed or names unknown callbacks
};

// ---------------------------------------------------------------------------------------------
// Serial line. Ports count from 1. Port n is the device named by the environment variable
// TAMSEL_COM<n> when set, otherwise the system's n-th port (/dev/ttyS<n-1>, COM<n>). A port number
// below 1 is RT_ERR_ARGUMENT everywhere. Device ports need InitCVIRTE first (RT_ERR_ARGUMENT
// before it).
// A device that vanishes while open (adapter pulled, line hung up) closes its port: from then on
// reads see nothing, and each ComWrt on that port first tries once to open the same device again
// (the name port n maps to now) with the port's last settings; writes report RT_ERR_NOT_OPEN while
// that fails. Nothing tries between writes. A port closed by CloseCom, or whose last OpenComConfig
// failed, is never reopened by a write.
// The port last opened or tried shows on the panels' status lines with its device and whether it
// is open, could not be opened, was closed, or was closed because its line dropped.

// Opens the port exclusively (under any name of the device) with the given line settings, no flow
// control, and empties both queues, so bytes that arrived before the open are never read; an
// already open port is reopened. deviceName is ignored: the port number names the device. parity:
// 0 none, 1 odd, 2 even, 3 mark, 4 space; dataBits 5 to 8; stopBits 1 or 2. inQueueSize bounds
// the bytes held for reading (the line is not read further while that many wait); outQueueSize
// bounds the bytes waiting to be sent.
// Bad settings or queue sizes below 1 are RT_ERR_ARGUMENT; a device that does not exist or is not
// a serial line RT_ERR_OPEN_FAILED; one held elsewhere (or not ours to open) RT_ERR_BUSY; settings
// the device refuses RT_ERR_CONFIG; after a termination signal every open is RT_ERR_OPEN_FAILED.
// The port is left closed after any failure.
int OpenComConfig(int port, const char *deviceName, long baud, int parity, int dataBits,
                  int stopBits, int inQueueSize, int outQueueSize);
// mode 0: no hardware handshake; 1 or 2: RTS/CTS handshake. RT_ERR_NOT_OPEN when not open.
int SetCTSMode(int port, int mode);
// mode 0: no XON/XOFF; 1: XON/XOFF. RT_ERR_NOT_OPEN when not open.
int SetXMode(int port, int mode);
// Accepts a finite timeout of 0 or more seconds on an open port. Nothing here blocks on the line
// (ComWrt queues, ComRdByte takes what is waiting), so the timeout bounds no call.
int SetComTime(int port, double timeoutSeconds);
// Queues count bytes for sending, starts sending at once, and returns the number queued: fewer than
// count (down to 0) when the output queue is full. On a port whose line dropped it first tries to
// reopen the device (see above), and the status lines show whether that opened it. RT_ERR_ARGUMENT
// for a null buffer or a negative count, RT_ERR_NOT_OPEN when the port is not open; after a
// termination signal 0, and nothing is sent (and nothing is reopened).
int ComWrt(int port, const char *buffer, int count);
// Bytes waiting in the input queue; 0 when none or when the port is not open.
int GetInQLen(int port);
// The next byte (0..255) from the input queue; RT_ERR_IO when none is waiting, RT_ERR_NOT_OPEN when
// the port is not open.
int ComRdByte(int port);
// Discards everything the port has received and not yet handed over: the input queue, and bytes the
// system holds that the queue has not taken yet. Bytes that arrive after it are kept. It does not
// wait and does not poll the line. 0; RT_ERR_NOT_OPEN when the port is not open, RT_ERR_IO when
// the system refuses.
int FlushInQ(int port);
// Closes the port. Closing a port that is not open succeeds.
int CloseCom(int port);
// The device path that port n maps to ("" for a port number below 1); for showing to the operator.
// The text stays valid until the next call for the same port number.
const char *ComPortDevice(int port);
// Binds port n to device, the serial device the operator chose for it (a path, or on Windows a
// COM port name), in place of the system's n-th port; TAMSEL_COM<n> still wins over a binding.
// An empty or null device removes the binding. A device is taken when it names a serial line
// (on Linux a character device under /dev of a tty driver the kernel lists as serial or pty
// slave, through any link; on Windows a COM port name), or when nothing is there now: an adapter
// that is unplugged keeps its binding and its port is simply not found. Anything else is refused:
// the port then maps as if unbound, and the status lines say why. A bound device is looked at
// again at each open, so a link pointed elsewhere meanwhile opens nothing but a serial line. The
// port is not closed or opened here; the binding holds from its next open.
// 0 when bound or unbound; RT_ERR_OPEN_FAILED when refused; RT_ERR_ARGUMENT for a port number
// below 1 or a device of MAX_PATHNAME_LEN characters or more (the binding is then unchanged).
int BindComPort(int port, const char *device);

// ---------------------------------------------------------------------------------------------
// Event loop and process.

// Starts the run-time: the Qt application object (argv, NULL-terminated, may be null) and the
// handling of the system's requests to end the program, each of which ends it as
// QuitUserInterface(0) does (a second one before a RunUserInterface has ended for the first ends
// the process at once). Those requests are, on POSIX, SIGINT, SIGTERM and SIGHUP; on Windows,
// which has no such signals, WM_CLOSE to the main panel, the end of the session, and Ctrl+C or
// Ctrl+Break in the console it was started from. "A termination signal" below means any of them.
// From the request until the outermost RunUserInterface has ended, the run-time is ending: open
// message boxes are dismissed, MessagePopup shows none, Delay does not wait, no port opens and
// nothing is sent, so the callback that runs unwinds at once. Returns 1, or 0 when there is no
// display to show panels on: on POSIX, none of DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM is set
// (the reason then goes to standard error); Windows always has its display. A platform that is
// named but cannot start (a missing plugin, a display nobody serves) ends the process with status
// 255, as main's -1 does, after Qt's reason on standard error. Calling it again returns 1 and
// changes nothing.
int InitCVIRTE(void *hInstance, char *argv[], void *reserved);
// Runs the event loop, calling callbacks, until QuitUserInterface. Returns the code given there.
// Loops nest: QuitUserInterface ends the innermost one. RT_ERR_NO_UI before InitCVIRTE.
int RunUserInterface(void);
// Ends the running RunUserInterface with code; called when none runs, the next one returns code
// at once. Returns 0.
int QuitUserInterface(int code);
// Dispatches pending events, callbacks included. When nothing is pending, and no bytes wait on the
// port last asked with GetInQLen, for the second call in a row, it sleeps until the next event
// (serial data, a timer tick, input, a termination signal), but never longer than a tenth of a
// second: a caller that polls through it neither spins nor misses a deadline of its own, and one
// that drains what is waiting is not held up. Returns 0, or RT_ERR_ARGUMENT before InitCVIRTE.
int ProcessSystemEvents(void);
// 1 from a termination signal until the outermost RunUserInterface has ended, otherwise 0. A loop
// that waits for the line gives up when it turns 1.
int TerminationRequested(void);
// Waits the given time without dispatching events. 0, a negative time or NaN waits not at all; no
// wait is longer than 1e9 seconds, and none goes on after a termination signal.
void Delay(double seconds);
// Clears the standard output window; on a console there is nothing to clear.
int Cls(void);

// ---------------------------------------------------------------------------------------------
// Utility and files.

enum { MAX_PATHNAME_LEN = 260 };

// Writes the directory of the running program into buffer (MAX_PATHNAME_LEN characters, the NUL
// included). RT_ERR_ARGUMENT for a null buffer or before InitCVIRTE, RT_ERR_IO when the directory
// does not fit; buffer then holds an empty text.
int GetProjectDir(char *buffer);
// Joins directory and fileName into buffer (MAX_PATHNAME_LEN characters, the NUL included) with
// exactly one '/' between them; an empty directory gives fileName alone. RT_ERR_ARGUMENT for a null
// pointer or a result that does not fit; buffer then holds an empty text.
int MakePathname(const char *directory, const char *fileName, char *buffer);
// 1 when path exists (size receives its size in bytes), 0 when it does not (a missing directory on
// the way included), negative on error: RT_ERR_ARGUMENT for a null pointer or a name too long for
// the system, RT_ERR_IO when the system refuses to look (no permission). size is 0 unless 1.
int GetFileInfo(const char *path, long *size);
// Opens path for reading in binary mode, but only a regular file (a link is followed to it): a
// FIFO, a device, a directory or a socket is never opened in a way that could block or act on it.
// nullptr for those, for a null path and for a file that cannot be opened; fclose the result.
FILE *OpenFileForReading(const char *path);
// Replaces the whole content of path with count bytes of text, with the outcome of rewriting the
// file in place: an existing file must be a regular file we may write (a link is followed to it,
// and other hard links see the new text), and it keeps its mode and owner; a missing one is
// created with the usual mode, but never through a link, so a dangling link creates nothing.
// Where the file's directory lets us, the new text goes into a fresh file beside it that is
// synced and renamed over it, so a crash leaves the old text or the new; otherwise the file is
// rewritten in place. 0 on success; RT_ERR_ARGUMENT for a null pointer or a negative count;
// RT_ERR_IO when the file is not a regular file, may not be written, or the system fails.
int ReplaceFileText(const char *path, const char *text, int count);
// Nearest integer; halves round away from zero. NaN gives 0; values beyond long's range give
// LONG_MIN or LONG_MAX.
long RoundRealToNearestInteger(double x);
// Copies count bytes (the ranges may overlap); adds no NUL. Nothing happens for a null pointer, a
// negative index or a count below 1.
void CopyBytes(char *target, int targetIndex, const char *source, int sourceIndex, int count);

// ---------------------------------------------------------------------------------------------
// Panels, controls and message boxes.

// Shows a modal message box and returns once the operator has dismissed it (OK, Return, Enter or
// Escape). The text is shown as plain text, never markup; "\r\n" and "\n" each break the line and
// a lone "\r" is dropped. A text with a run of two or more spaces is laid out with spaces (columns,
// aligned colons): it is shown in a fixed-pitch font and its lines are never wrapped, the box
// growing to fit them within the screen (beyond it, the text scrolls). Any other text is shown in
// the desktop's normal font and wrapped. Every box is wide enough for its whole title, within the
// screen. The focus then goes back as the panels place it.
// Returns 0; RT_ERR_ARGUMENT for a null pointer; RT_ERR_NO_UI without a QApplication. Without one,
// and after a termination signal (no operator is left to dismiss it), no box is shown and the
// title and text go to standard error.
int MessagePopup(const char *title, const char *text);

enum {
    EVENT_COMMIT = 1,
    EVENT_GOT_FOCUS = 8,
    EVENT_LOST_FOCUS = 9,
    EVENT_CLOSE = 11,
    EVENT_TIMER_TICK = 15,
};

enum {
    ATTR_DIMMED = 500,   // 1 dimmed, 0 operable
    ATTR_ON_COLOR = 880, // a status lamp's lit colour, 0xRRGGBB
};

enum {
    VAL_YELLOW = 0xFFFF00,
    VAL_GREEN = 0x00FF00,
};

typedef int (*CtrlCallbackPtr)(int panel, int control, int event, void *callbackData,
                               int eventData1, int eventData2);
typedef int (*PanelCallbackPtr)(int panel, int event, void *callbackData, int eventData1,
                                int eventData2);
typedef void (*MenuCallbackPtr)(int menuBar, int menuItem, void *callbackData, int panel);

// One entry of the table that binds the callback names written in the panel resource to code.
// Exactly one of the three pointers is set.
struct CallbackName {
    const char *name;
    CtrlCallbackPtr control;
    PanelCallbackPtr panel;
    MenuCallbackPtr menu;
};

// Registers the program's callbacks; LoadPanel resolves every name in the resource through this
// table and fails on a name that is not in it. The table must outlive the panels.
void RegisterCallbacks(const CallbackName *table, int count);

// Loads panel resourceId from the resource file (looked up beside the program when relative).
// parent 0 makes a top-level panel, otherwise a child of that panel. Returns a handle > 0, or a
// negative error.
int LoadPanel(int parent, const char *fileName, int resourceId);
// Shows the panel, sized to its contents and kept within the screen; its port lists are made
// again from the devices present now. HidePanel hands the focus back to the parent panel.
int DisplayPanel(int panel);
int HidePanel(int panel);
// Removes the panel and its child panels; their handles are invalid afterwards.
int DiscardPanel(int panel);
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlVal(int panel, int control, double value);
int GetCtrlVal(int panel, int control, double *value);
int GetCtrlIndex(int panel, int control, int *index);
// An index outside the list is an error and leaves the selection as it was.
int SetCtrlIndex(int panel, int control, int index);
// Copies the value of entry index of a list into value (valueSize characters, the NUL included).
// In a port list it is the device the entry stands for when the entry comes after the ports (a
// device present that no port stands for), and "" for a port's own entry. 0; RT_ERR_ARGUMENT
// for a bad handle, control or index, a null value, a valueSize below 1, or a value that does
// not fit (value then holds "").
int GetValueFromIndex(int panel, int control, int index, char *value, int valueSize);
int SetActiveCtrl(int panel, int control);

#endif
