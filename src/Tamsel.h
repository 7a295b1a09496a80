// Tamsel setup utility: the port setting file TAMSEL.INI, start-up and the operator interface.
#ifndef TAMSEL_TAMSEL_H
#define TAMSEL_TAMSEL_H

#include "runtime.h"

// Panels and controls of the panel resource Tamsel.uir, by the numbers written in it.
enum {
    MAIN_PANEL = 1,
    SETUP_PANEL = 2,
};
enum {                    // main panel
    ASPIRATION_VALUE = 2, // value controls show the unit's count / 10
    DELAY_VALUE = 3,
    WASH_VALUE = 4,
    ASPIRATION_LAMP = 6, // status lamps: yellow unconfirmed, green confirmed by the unit
    DELAY_LAMP = 7,
    WASH_LAMP = 8,
    ASPIRATION_WRITE = 9,
    DELAY_WRITE = 10,
    WASH_WRITE = 11,
    REFRESH = 12,
    START_UP_TIMER = 13,
    TIMEOUT_TIMER = 14,
};
enum { // communication setup panel
    SETUP_OK = 2,
    COM_PORT_RING = 3, // entry i < SETUP_PORT_COUNT stands for serial port i + 1; the entries
                       // after them for the serial devices present that no port stands for
    SETUP_CANCEL = 4,
};
enum { SETUP_PORT_COUNT = 4 };

// Handles of the two panels, set by TamselMain.
extern int MainPanelHandle;
extern int SetUpPanelHandle;

// The program: loads the panels, makes first contact with the unit shortly after the window
// shows, and runs until the window is closed or Exit is chosen. 0 after a normal end; -1 when the
// run-time cannot start or a panel cannot be loaded. (The process entry point hands its
// arguments here.)
int TamselMain(int argc, char *argv[]);

// Directory of the program, where TAMSEL.INI lives. Set once by TamselMain at start.
extern char ProjectDir[MAX_PATHNAME_LEN];

// Reads the port number from TAMSEL.INI in ProjectDir; *out receives a port number on every path.
// 1: *out is the number from the file (1..4), or the default 2 when the file was missing (it is
//    then created with 2, and a failed creation is not reported) or when its status could not be
//    queried or its path formed, for a program directory that could not be taken or is too
//    long (then "Read INI file" / "File error seen, check pc" has been shown).
// 0: *out is the default 2 because the file could not be opened (or is no regular file: a FIFO
//    or a device is never opened to read), had no "[Port]" line, gave a wrong key or a number
//    outside 1..4, or ended before the decisive line was complete; only the first 64 KiB are
//    looked at, as if the file ended there. Nothing has been shown; the caller tells the
//    operator. The file is left as it was.
// A file read correctly also gives the bindings that follow its port number: lines
// "COM<n>=<device>" binding port n (1..4) to the operator's device. They are kept for
// GetIniFileBinding, and replaced by each read (none after a read that returns 0).
int GetIniFileComNo(int *out);

// The device port is bound to, as last read or set; "" for none and for a port outside 1..4.
const char *GetIniFileBinding(int port);
// Binds port to device for the next UpdateIniFile; an empty or null device removes the binding.
// 1: kept. 0: a port outside 1..4, or a device that is too long (MAX_PATHNAME_LEN characters
// with the NUL) or holds a control character; nothing changed.
int SetIniFileBinding(int port, const char *device);

// Replaces the content of TAMSEL.INI with "[Port]\r\nCOMNO=<comNo>\r\n" followed by a line
// "COM<n>=<device>\r\n" for each port bound, in port order, as rewriting it in
// place would: a writable file is updated (through a link, its target), keeping its mode and
// owner, and a missing one is created; where the folder allows it, the old text stays intact
// until the new one is complete. Forms the path from ProjectDir when GetIniFileComNo has not done
// so yet.
// 1: written. 0: not written (the file may not be written, or is no regular file); when the
// file's status could not be queried or its path formed, "Update INI file" / "File error seen,
// check pc" has been shown, otherwise nothing.
int UpdateIniFile(int comNo);

#endif
