// Device link to the pump unit: command framing, reply assembly, the exchange gate, and the
// unit's timer and identification exchanges.
//
// Every exchange runs to its end inside one callback on the one thread: it takes the gate, sends a
// framed command and polls the line through GetDv3Ms, which lets the event loop run once per poll.
// That is where the timeout timer counts TamselTOut down, and where the operator can ask for a
// second exchange, which the gate then turns away.
#include "devices.h"

#include "runtime.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int Dv3ComNo = 0;
int Dv3Gate = 0;
char Dv3Ms[DV3_MS_SIZE];
int Dv3MsPnt = 0;
int Dv3MsRdy = 0;
int TamselTOut = 0;

enum {
    TIMER_DIGITS = 4,
};

static const char HEX_DIGITS[] = "0123456789ABCDEF";
static const char VERSION_TEXT[] = "1.0.0.4";
static const char VERSION_DATE[] = "15-03-2012";

// ---------------------------------------------------------------------------------------------
// Framing

void ByteToHex(unsigned char value, char *out) {
    out[0] = HEX_DIGITS[value >> 4];
    out[1] = HEX_DIGITS[value & 0x0F];
    out[2] = '\0';
}

void IntToHex(int value, char *out) {
    unsigned bits = (unsigned)value & 0xFFFFu;
    for (int i = 0; i < TIMER_DIGITS; i++)
        out[i] = HEX_DIGITS[(bits >> (12 - 4 * i)) & 0x0Fu];
    out[TIMER_DIGITS] = '\0';
}

void AddCheckSum(char *command) {
    size_t length = strlen(command);
    unsigned sum = 0;
    for (size_t i = 0; i < length; i++)
        sum += (unsigned char)command[i];
    ByteToHex((unsigned char)(sum & 0xFFu), command + length);
}

// Builds letters + code + digits + checksum + CR into command (DV3_CMD_SIZE characters).
// code 0 adds no code letter; digits may be empty.
static void BuildDv3Cmd(char *command, const char *letters, char code, const char *digits) {
    char codeText[2] = {code, '\0'};
    snprintf(command, DV3_CMD_SIZE, "%s%s%s", letters, codeText, digits);
    AddCheckSum(command);
    size_t length = strlen(command);
    snprintf(command + length, DV3_CMD_SIZE - length, "\r");
}

// ---------------------------------------------------------------------------------------------
// Serial link

int InitDevices(int comNo) {
    Dv3ComNo = comNo;
    Dv3Gate = 1;
    return InitDv3(Dv3ComNo);
}

int InitDv3(int port) {
    if (OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512) < 0)
        return 0;
    // A reply cut short by the old line must not be spliced onto the first one of the new line.
    Dv3MsPnt = 0;
    Dv3MsRdy = 0;
    if (SetCTSMode(port, 0) < 0)
        return 0;
    if (SetXMode(port, 0) < 0)
        return 0;
    return SetComTime(port, 1.0) < 0 ? 0 : 1;
}

int CloseDv3(int port) { return CloseCom(port) < 0 ? 0 : 1; }

int CloseDv3Gate(void) {
    if (Dv3Gate == 1) {
        Dv3Gate = 0;
        return 1;
    }
    MessagePopup("Communication warning", "Dorvan Pump Busy, try again");
    return 0;
}

int XRayCmd(const char *command) {
    ComWrt(Dv3ComNo, command, (int)strlen(command));
    TamselTOut = DV3_REPLY_TICKS;
    return 1;
}

// Stores one received byte. The unit's line is 7-bit: the top bit is noise and is masked before
// anything else looks at the byte, so 0x8A is a line feed and 0x8D ends a reply. A reply that
// outgrows the buffer starts over at position 0; the text is kept NUL-terminated after every
// byte so that Dv3Ms is always a valid text, even in the middle of a reply.
static void StoreDv3Byte(int byte) {
    char c = (char)(byte & 0x7F);
    if (c == '\n' || c == 0x1A)
        return;
    Dv3Ms[Dv3MsPnt++] = c;
    if (Dv3MsPnt >= DV3_MS_SIZE) {
        Dv3MsPnt = 0;
        printf("GetDv3 buffer overrun\r\n");
        fflush(stdout);
    }
    Dv3Ms[Dv3MsPnt] = '\0';
    if (c == '\r')
        Dv3MsRdy = 1;
}

int GetDv3Ms(void) {
    ProcessSystemEvents();
    int waiting;
    do {
        waiting = GetInQLen(Dv3ComNo);
        if (waiting > 0 && Dv3MsRdy == 0) {
            int byte = ComRdByte(Dv3ComNo);
            if (byte < 0)
                break;
            StoreDv3Byte(byte);
        }
    } while (waiting > 0 && Dv3MsRdy == 0);
    if (Dv3MsRdy == 1) {
        Dv3MsRdy = 0;
        Dv3MsPnt = 0;
        return 1;
    }
    return 0;
}

int XrayTimeSlice(int, int, int, void *, int, int) {
    if (TamselTOut > 0)
        TamselTOut--;
    return 0;
}

int WaitDv3Ms(void) {
    while (GetDv3Ms() == 0) {
        // A program told to end does not wait out the reply timeout.
        if (TamselTOut <= 0 || TerminationRequested())
            return 0;
    }
    return 1;
}

// The unit answers every command, even one it answers too late for the exchange that sent it, and
// a line picks up noise or a converter's echo while nobody listens. An exchange that took what
// waits from before its send would take those as its own replies: a stale "T$" as its
// acknowledgement, or the half of a reply that noise began, with the real reply spliced on. So it
// discards them all, an unfinished reply included, and counts only what comes after its command.
static void ClearDv3Line(void) {
    FlushInQ(Dv3ComNo);
    Dv3MsPnt = 0;
    Dv3MsRdy = 0;
    Dv3Ms[0] = '\0';
}

// ---------------------------------------------------------------------------------------------
// Timer exchanges

static int ReplyBegins(const char *prefix) { return strncmp(Dv3Ms, prefix, strlen(prefix)) == 0; }

// Converts the four value characters of the timer reply in Dv3Ms (positions 3 to 6) as one
// hexadecimal number. Leading blanks, a sign and a 0x prefix pass; the conversion stops at the
// first character that is not a hex digit and fails only when no digit converts.
static int ConvertTimerValue(int *count) {
    char digits[TIMER_DIGITS + 1];
    CopyBytes(digits, 0, Dv3Ms, 3, TIMER_DIGITS);
    digits[TIMER_DIGITS] = '\0';
    char *end = nullptr;
    errno = 0;
    long value = strtol(digits, &end, 16);
    if (end == digits || errno != 0)
        return 0;
    *count = (int)value;
    return 1;
}

// Sends the read command for code and takes the unit's two replies: the acknowledgement "T$",
// then "TG" + code and the value.
static int ReadBackTimer(char code, int *count) {
    char command[DV3_CMD_SIZE];
    BuildDv3Cmd(command, "TG", code, "");
    XRayCmd(command);
    if (!WaitDv3Ms() || !ReplyBegins("T$"))
        return 0;
    if (!WaitDv3Ms() || Dv3Ms[0] != 'T' || Dv3Ms[1] != 'G' || Dv3Ms[2] != code)
        return 0;
    return ConvertTimerValue(count);
}

int GetTamselTimer(char code, int *count) {
    if (!CloseDv3Gate())
        return 0;
    ClearDv3Line();
    int value = 0;
    if (!ReadBackTimer(code, &value)) {
        MessagePopup("Communication Error", "Dorvan System timer read error");
        Dv3Gate = 1;
        return 0;
    }
    *count = value;
    Dv3Gate = 1;
    return 1;
}

int SetTamselTimer(char code, int count) {
    if (!CloseDv3Gate())
        return 0;
    char digits[TIMER_DIGITS + 1];
    IntToHex(count, digits);
    char command[DV3_CMD_SIZE];
    BuildDv3Cmd(command, "T", code, digits);
    ClearDv3Line();
    XRayCmd(command);
    int readBack = 0;
    int confirmed = WaitDv3Ms() && ReplyBegins("T$") && ReadBackTimer(code, &readBack) &&
                    readBack == count;
    Dv3Gate = 1;
    return confirmed;
}

// ---------------------------------------------------------------------------------------------
// Identification and version report

// Appends at most maxLength characters of piece to text, whose buffer holds size characters.
static void AppendText(char *text, size_t size, const char *piece, size_t maxLength) {
    size_t length = strlen(text);
    size_t count = strnlen(piece, maxLength);
    if (count > size - 1 - length)
        count = size - 1 - length;
    memcpy(text + length, piece, count);
    text[length + count] = '\0';
}

// The report is one 256-character text. Its fixed pieces leave room for an identification of
// about 80 characters; a longer one is cut so that the report still ends with its closing line.
static void ShowVersionReport(const char *identification) {
    static const char BANNER[] = "                       Dorvan Liquid Handling Systems";
    static const char CLOSING[] = "Copyright (c) 2012 Dorvan. All rights reserved.";
    static const char *const HEAD[] = {BANNER,       "\r\n\n\n", "Dorvan Setup utility: ",
                                       VERSION_TEXT, "  (",       VERSION_DATE,
                                       ")",          "\r\n\n",   "Dorvan System       : "};
    static const char TAIL_BREAK[] = "\r\n\n";
    char report[DV3_MS_SIZE] = "";
    for (const char *piece : HEAD)
        AppendText(report, sizeof report, piece, sizeof report);
    size_t room = sizeof report - 1 - strlen(report) - strlen(TAIL_BREAK) - strlen(CLOSING);
    AppendText(report, sizeof report, identification, room);
    AppendText(report, sizeof report, TAIL_BREAK, sizeof report);
    AppendText(report, sizeof report, CLOSING, sizeof report);
    MessagePopup("Software Versions", report);
}

int VerifyTamsel(int showReport) {
    if (!CloseDv3Gate())
        return 0;
    ClearDv3Line();
    // The attention command wakes the unit. Whatever it answers is thrown away before the version
    // command, by the system as well: a drain through the event loop would only start taking it
    // in where the system hands bytes over in several rounds (Windows), and the answer would then
    // arrive as the first reply to "SV".
    XRayCmd("?\r");
    Delay(0.5);
    char command[DV3_CMD_SIZE];
    BuildDv3Cmd(command, "SV", 0, "");
    ClearDv3Line();
    XRayCmd(command);
    int result = WaitDv3Ms() && ReplyBegins("S$") && WaitDv3Ms() && ReplyBegins("KX_");
    if (showReport == 1)
        ShowVersionReport(result ? Dv3Ms : "Not On Line !!!");
    Dv3Gate = 1;
    return result;
}
