// The Tamsel module: the port setting file TAMSEL.INI, start-up and the operator interface.
#include "Tamsel.h"

#include "devices.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Port setting file. Format, as written:
//     [Port]\r\n
//     COMNO=<port>\r\n
//     COM<n>=<device>\r\n     one line for each of ports 1..4 the operator bound to a device
// The reader also takes LF and CR CR LF line ends; lines before "[Port]" are ignored and the
// first "key=value" line after it decides the port. The bindings come after that line, where a
// reader that stops at the port number never looks, and a file without them is only the section
// and the port number.

static const char INI_FILE_NAME[] = "TAMSEL.INI";
static const char INI_SECTION[] = "[Port]";
static const char INI_KEY[] = "COMNO";
static const char INI_BINDING_KEY[] = "COM"; // followed by the port's digit
static const char INI_READ_TITLE[] = "Read INI file";
static const char INI_UPDATE_TITLE[] = "Update INI file";
static const char INI_FILE_ERROR[] = "File error seen, check pc";

enum {
    INI_DEFAULT_COM_NO = 2,
    INI_MIN_COM_NO = 1,
    INI_MAX_COM_NO = 4,
    INI_LINE_SIZE = 255, // one read takes at most 254 characters; a longer line comes in pieces
    // The part of the file looked at: the file as written is 17 bytes, and a huge one must not
    // hold up start-up. A file is read as if it ended here.
    INI_READ_LIMIT = 64 * 1024,
};

char ProjectDir[MAX_PATHNAME_LEN];
// Full path of TAMSEL.INI; empty until formed (or after ProjectDir proved too long to join).
static char IniFilePath[MAX_PATHNAME_LEN];
// The device each port 1..4 is bound to, "" for none: what the file said when last read, changed
// by the operator's choice, written back with the port number.
static char IniBindings[INI_MAX_COM_NO + 1][MAX_PATHNAME_LEN];

// Joins ProjectDir and the file name into IniFilePath. 0 when there is no program directory (it
// could not be taken) or the result would not fit: the path is then empty, never relative or
// truncated, so no other file is ever read or replaced.
static int FormIniFilePath(void) {
    if (ProjectDir[0] == '\0') {
        IniFilePath[0] = '\0';
        return 0;
    }
    return MakePathname(ProjectDir, INI_FILE_NAME, IniFilePath) == 0;
}

// 1 when the line's text is exactly "[Port]": CRs and LFs leading the line are skipped and the
// text ends at the next CR or LF. Works on the C string only: bytes after a NUL are not looked at.
static int IsSectionLine(const char *line) {
    const char *text = line + strspn(line, "\r\n");
    size_t length = strcspn(text, "\r\n");
    return length == sizeof INI_SECTION - 1 && strncmp(text, INI_SECTION, length) == 0;
}

// Splits a line after the section line at its first '=' (leading '=' skipped). 0 when the line
// has no '=' or nothing between it and the line feed: it is passed over. Otherwise 1, and
// *comNo is the port it names, or 0 when the key is not exactly "COMNO" or the number is not 1..4.
static int ParseKeyLine(const char *line, int *comNo) {
    const char *key = line + strspn(line, "=");
    size_t keyLength = strcspn(key, "=");
    if (key[keyLength] != '=')
        return 0;
    const char *value = key + keyLength + 1;
    if (strcspn(value, "\n") == 0)
        return 0;
    *comNo = 0;
    if (keyLength != sizeof INI_KEY - 1 || strncmp(key, INI_KEY, keyLength) != 0)
        return 1;
    // strtol stops at the CR or LF that ends the value. The range is checked on the long, before
    // narrowing: a huge value must not wrap into 1..4.
    long number = strtol(value, nullptr, 10);
    if (number >= INI_MIN_COM_NO && number <= INI_MAX_COM_NO)
        *comNo = (int)number;
    return 1;
}

// Reads the next line, or the next piece of a longer one, into line (INI_LINE_SIZE characters).
// 0 at the end of the file, or of the part of it that is looked at. *length: the bytes read.
// *cutShort: the line has no line end because the file (or that part) ends there. feof alone
// misses a last line that exactly fills one read, since fgets then stops without looking past it;
// and a NUL in the line hides its line feed from the string functions, so the length read comes
// from the position.
static int ReadIniLine(FILE *file, char *line, long *length, int *cutShort) {
    long start = ftell(file);
    if (start < 0 || start >= INI_READ_LIMIT)
        return 0;
    // fgets reads one character less than it is given room for.
    long room = INI_READ_LIMIT - start + 1;
    if (fgets(line, room < INI_LINE_SIZE ? (int)room : INI_LINE_SIZE, file) == nullptr)
        return 0;
    *length = ftell(file) - start;
    if (*length < 1) {
        *cutShort = feof(file);
        return 1;
    }
    *cutShort = 0;
    if (line[*length - 1] != '\n') {
        int next = start + *length >= INI_READ_LIMIT ? EOF : getc(file);
        *cutShort = next == EOF;
        if (next != EOF)
            ungetc(next, file);
    }
    return 1;
}

// Reads the port from an open file. 0 when there is no "[Port]" line, the decisive line is bad,
// or the end of the file was met first: a file whose last line has no line end is treated as
// cut short, even when that line looks complete.
static int ReadIniComNo(FILE *file, int *comNo) {
    char line[INI_LINE_SIZE];
    long length = 0;
    int found = 0;
    int cutShort = 0;
    while (!found && ReadIniLine(file, line, &length, &cutShort))
        found = IsSectionLine(line);
    if (!found || cutShort)
        return 0;
    int decided = 0;
    while (!decided && ReadIniLine(file, line, &length, &cutShort))
        decided = ParseKeyLine(line, comNo);
    return decided && !cutShort && *comNo != 0;
}

// 1 when the first length characters of text are all printable: a device name from the file is
// text others may have written, and a control character would break the file's lines or what
// the operator is shown.
static int IsPlainDeviceText(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++)
        if ((unsigned char)text[i] < 0x20 || text[i] == 0x7F)
            return 0;
    return 1;
}

// Takes a whole line "COM<n>=<device>" (n 1..4) as the binding of port n, unless that port has
// one already: the first line for a port counts. A NUL, a control character, an empty device or
// one too long to keep makes the line no binding at all; whether the device is a serial line is
// the run-time's to decide when the binding is used.
static void ParseBindingLine(const char *line, long length) {
    const size_t keyLength = sizeof INI_BINDING_KEY - 1;
    if ((size_t)length != strlen(line) || strncmp(line, INI_BINDING_KEY, keyLength) != 0)
        return;
    int port = line[keyLength] - '0';
    if (port < INI_MIN_COM_NO || port > INI_MAX_COM_NO || line[keyLength + 1] != '=')
        return;
    const char *device = line + keyLength + 2;
    size_t deviceLength = strcspn(device, "\r\n");
    const char *lineEnd = device + deviceLength;
    if (deviceLength == 0 || strspn(lineEnd, "\r\n") != strlen(lineEnd) ||
        !IsPlainDeviceText(device, deviceLength) || deviceLength >= sizeof IniBindings[port] ||
        IniBindings[port][0] != '\0')
        return;
    snprintf(IniBindings[port], sizeof IniBindings[port], "%.*s", (int)deviceLength, device);
}

// Reads the bindings that follow the port number. Only whole lines count: a piece of a line
// longer than one read, or a last line the file cuts short, may be a device name cut anywhere.
static void ReadIniBindings(FILE *file) {
    char line[INI_LINE_SIZE];
    long length = 0;
    int cutShort = 0;
    int atLineStart = 1;
    while (ReadIniLine(file, line, &length, &cutShort)) {
        int whole = length > 0 && line[length - 1] == '\n';
        if (atLineStart && whole && !cutShort)
            ParseBindingLine(line, length);
        atLineStart = whole;
    }
}

static void ForgetIniBindings(void) {
    for (char *binding : IniBindings)
        binding[0] = '\0';
}

int GetIniFileComNo(int *out) {
    *out = INI_DEFAULT_COM_NO;
    ForgetIniBindings();
    long size = 0;
    int status = FormIniFilePath() ? GetFileInfo(IniFilePath, &size) : -1;
    if (status == 0) {
        UpdateIniFile(INI_DEFAULT_COM_NO);
        return 1;
    }
    if (status < 0) {
        MessagePopup(INI_READ_TITLE, INI_FILE_ERROR);
        return 1;
    }
    // Binary mode: the parser handles CRs itself, and no platform ends a read early at a Ctrl-Z.
    // Anything but a regular file (a FIFO, a link to a device) counts as one that cannot be opened.
    FILE *file = OpenFileForReading(IniFilePath);
    if (file == nullptr)
        return 0;
    int comNo = 0;
    int ok = ReadIniComNo(file, &comNo);
    if (ok) {
        *out = comNo;
        ReadIniBindings(file);
    }
    fclose(file);
    return ok;
}

const char *GetIniFileBinding(int port) {
    return port >= INI_MIN_COM_NO && port <= INI_MAX_COM_NO ? IniBindings[port] : "";
}

int SetIniFileBinding(int port, const char *device) {
    if (port < INI_MIN_COM_NO || port > INI_MAX_COM_NO)
        return 0;
    if (device == nullptr)
        device = "";
    size_t length = strlen(device);
    if (length >= sizeof IniBindings[port] || !IsPlainDeviceText(device, length))
        return 0;
    snprintf(IniBindings[port], sizeof IniBindings[port], "%s", device);
    return 1;
}

int UpdateIniFile(int comNo) {
    long size = 0;
    if ((IniFilePath[0] == '\0' && !FormIniFilePath()) || GetFileInfo(IniFilePath, &size) < 0) {
        MessagePopup(INI_UPDATE_TITLE, INI_FILE_ERROR);
        return 0;
    }
    // "[Port]\r\nCOMNO=" (14), an int (11), "\r\n"; then per binding "COMn=" (5), the device
    // and "\r\n"; and the NUL.
    char text[32 + INI_MAX_COM_NO * (5 + MAX_PATHNAME_LEN + 2)];
    int length = snprintf(text, sizeof text, "[Port]\r\nCOMNO=%i\r\n", comNo);
    for (int port = INI_MIN_COM_NO; port <= INI_MAX_COM_NO; port++)
        if (IniBindings[port][0] != '\0')
            length += snprintf(text + length, sizeof text - (size_t)length, "COM%d=%s\r\n", port,
                               IniBindings[port]);
    return ReplaceFileText(IniFilePath, text, length) == 0;
}

// ---------------------------------------------------------------------------------------------
// Operator interface

static const char PANEL_RESOURCE[] = "Tamsel.uir";

// One row of the main panel per unit timer.
struct TimerRow {
    char code;
    int valueControl;
    int lampControl;
};

static const TimerRow ROWS[] = {
    {'A', ASPIRATION_VALUE, ASPIRATION_LAMP},
    {'D', DELAY_VALUE, DELAY_LAMP},
    {'W', WASH_VALUE, WASH_LAMP},
};
enum { ROW_A, ROW_D, ROW_W };

int MainPanelHandle;
int SetUpPanelHandle;
static int FirstTick;
static int InTimeSlice;

static void SetRowLamp(const TimerRow &row, int colour) {
    SetCtrlAttribute(MainPanelHandle, row.lampControl, ATTR_ON_COLOR, colour);
}

// The unit's value is confirmed: the operator may edit it from now on.
static void ConfirmRow(const TimerRow &row) {
    SetCtrlAttribute(MainPanelHandle, row.valueControl, ATTR_DIMMED, 0);
    SetRowLamp(row, VAL_GREEN);
}

static void ShutDown(void) {
    QuitUserInterface(0);
}

static int GetTimersAndUpdatePanel(void) {
    for (const TimerRow &row : ROWS) {
        int count = 0;
        int result = GetTamselTimer(row.code, &count);
        if (result != 1)
            return result;
        // The quotient is handed over in single precision: a count of 3 reads back as
        // 0.30000001192092896, not 0.3, and ten times that still rounds to the count.
        SetCtrlVal(MainPanelHandle, row.valueControl, (double)(float)(count / 10.0));
        ConfirmRow(row);
    }
    return 1;
}

// Hands the file's bindings to the run-time. One it refuses (no serial device) leaves its port on
// the port's own device, the status line says why, and the file keeps it until the operator
// chooses again.
static void BindPortsAsFileSays(void) {
    for (int port = INI_MIN_COM_NO; port <= INI_MAX_COM_NO; port++)
        BindComPort(port, GetIniFileBinding(port));
}

static int AquireTimeSlice(int, int, int event, void *, int, int) {
    if (InTimeSlice == 1)
        return 0;
    InTimeSlice = 1;
    if (event == EVENT_TIMER_TICK && FirstTick == 1) {
        int comNo = 2;
        if (GetIniFileComNo(&comNo) == 0)
            MessagePopup("INI setup file Error",
                         "Default port no. used, check communication settings");
        BindPortsAsFileSays();
        if (InitDevices(comNo) == 0)
            MessagePopup("Communication Error", "Communication port not found");
        else if (VerifyTamsel(0) == 0)
            MessagePopup("Communication Error",
                         "Dorvan Pump not found, check mains supply and cables");
        else
            GetTimersAndUpdatePanel();
        FirstTick = 0;
    }
    InTimeSlice = 0;
    return 0;
}

static int MainPanelCallback(int, int event, void *, int, int) {
    if (event == EVENT_CLOSE)
        ShutDown();
    return 0;
}

static void ExitCallback(int, int, void *, int) {
    ShutDown();
}

static void AboutCallback(int, int, void *, int) {
    VerifyTamsel(1);
}

// ---------------------------------------------------------------------------------------------
// Timer editing

static int MarkRowUnconfirmed(const TimerRow &row, int event) {
    if (event == EVENT_COMMIT)
        SetRowLamp(row, VAL_YELLOW);
    return 0;
}

// Writes the row's value to the unit; the lamp turns green only when the unit reports it back.
static int WriteRow(const TimerRow &row, int event) {
    if (event != EVENT_COMMIT)
        return 0;
    double value = 0.0;
    GetCtrlVal(MainPanelHandle, row.valueControl, &value);
    int count = (int)RoundRealToNearestInteger(value * 10.0);
    if (SetTamselTimer(row.code, count) == 1)
        ConfirmRow(row);
    else
        MessagePopup("Timer Update Error", "Communication error, values not updated");
    return 0;
}

static int AspirationChange(int, int, int event, void *, int, int) {
    return MarkRowUnconfirmed(ROWS[ROW_A], event);
}
static int DelayChange(int, int, int event, void *, int, int) {
    return MarkRowUnconfirmed(ROWS[ROW_D], event);
}
static int WashChange(int, int, int event, void *, int, int) {
    return MarkRowUnconfirmed(ROWS[ROW_W], event);
}
static int UpdateAspiration(int, int, int event, void *, int, int) {
    return WriteRow(ROWS[ROW_A], event);
}
static int UpdateDelay(int, int, int event, void *, int, int) {
    return WriteRow(ROWS[ROW_D], event);
}
static int UpdateWash(int, int, int event, void *, int, int) {
    return WriteRow(ROWS[ROW_W], event);
}

static int RefreshAll(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    for (const TimerRow &row : ROWS)
        SetRowLamp(row, VAL_YELLOW);
    if (GetTimersAndUpdatePanel() == 0)
        MessagePopup("Communication error", "Values not read, try again");
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Communication setup

static void CommSetUpCallback(int, int, void *, int) {
    DisplayPanel(SetUpPanelHandle);
    SetCtrlIndex(SetUpPanelHandle, COM_PORT_RING, Dv3ComNo - 1);
    SetActiveCtrl(SetUpPanelHandle, COM_PORT_RING);
}

// Moves the link to port, on device when one is given ("" for the port's own device), and keeps
// both for the next start: close, open, store. 1 when moved; 0 when the device is refused or the
// port would not close or open, and then the binding is what it was and nothing is stored.
static int MoveLink(int port, const char *device) {
    char previous[MAX_PATHNAME_LEN];
    snprintf(previous, sizeof previous, "%s", GetIniFileBinding(port));
    if (BindComPort(port, device) == 0 && CloseDv3(Dv3ComNo) == 1 && InitDv3(port) == 1) {
        Dv3ComNo = port;
        SetIniFileBinding(port, device);
        UpdateIniFile(port);
        return 1;
    }
    BindComPort(port, previous);
    return 0;
}

// Takes the operator's choice: one of the ports, which then stands for its own device again, or
// a device listed below them, which the port in use is bound to. The gate is not consulted: an
// exchange polling meanwhile goes on with the port Dv3ComNo names.
static int CloseSetUpPanel(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    int index = 0;
    GetCtrlIndex(SetUpPanelHandle, COM_PORT_RING, &index);
    int port = index + 1;
    char device[MAX_PATHNAME_LEN] = "";
    if (index >= SETUP_PORT_COUNT) {
        port = Dv3ComNo;
        if (GetValueFromIndex(SetUpPanelHandle, COM_PORT_RING, index, device, sizeof device) < 0)
            port = 0;
    }
    if (!MoveLink(port, device))
        MessagePopup("Communication Setup Error",
                     "Communication port not found\r\nCheck pc configuration and cables");
    HidePanel(SetUpPanelHandle);
    return 0;
}

static int CancelSetUp(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT)
        HidePanel(SetUpPanelHandle);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Start and stop

// The names the panel resource binds its elements to.
static const CallbackName CALLBACKS[] = {
    {"MainPanelCallback", nullptr, MainPanelCallback, nullptr},
    {"AquireTimeSlice", AquireTimeSlice, nullptr, nullptr},
    {"XrayTimeSlice", XrayTimeSlice, nullptr, nullptr},
    {"AboutCallback", nullptr, nullptr, AboutCallback},
    {"ExitCallback", nullptr, nullptr, ExitCallback},
    {"CommSetUpCallback", nullptr, nullptr, CommSetUpCallback},
    {"AspirationChange", AspirationChange, nullptr, nullptr},
    {"DelayChange", DelayChange, nullptr, nullptr},
    {"WashChange", WashChange, nullptr, nullptr},
    {"UpdateAspiration", UpdateAspiration, nullptr, nullptr},
    {"UpdateDelay", UpdateDelay, nullptr, nullptr},
    {"UpdateWash", UpdateWash, nullptr, nullptr},
    {"RefreshAll", RefreshAll, nullptr, nullptr},
    {"CloseSetUpPanel", CloseSetUpPanel, nullptr, nullptr},
    {"CancelSetUp", CancelSetUp, nullptr, nullptr},
};

int TamselMain(int argc, char *argv[]) {
    (void)argc;
    if (InitCVIRTE(nullptr, argv, nullptr) == 0)
        return -1;
    Cls();
    GetProjectDir(ProjectDir);
    RegisterCallbacks(CALLBACKS, (int)(sizeof CALLBACKS / sizeof CALLBACKS[0]));
    MainPanelHandle = LoadPanel(0, PANEL_RESOURCE, MAIN_PANEL);
    if (MainPanelHandle < 0)
        return -1;
    SetUpPanelHandle = LoadPanel(MainPanelHandle, PANEL_RESOURCE, SETUP_PANEL);
    if (SetUpPanelHandle < 0)
        return -1;
    DisplayPanel(MainPanelHandle);
    for (const TimerRow &row : ROWS) {
        SetCtrlAttribute(MainPanelHandle, row.valueControl, ATTR_DIMMED, 1);
        SetRowLamp(row, VAL_YELLOW);
    }
    FirstTick = 1;
    RunUserInterface();
    CloseDv3(Dv3ComNo);
    Delay(0.2);
    return 0;
}
