// Device link to the pump unit: command framing, the serial link, and the unit's exchanges.
#ifndef TAMSEL_DEVICES_H
#define TAMSEL_DEVICES_H

enum {
    DV3_MS_SIZE = 256,       // reply buffer: the longest reply kept, its carriage return and NUL
    DV3_CMD_SIZE = 256,      // command buffer
    DV3_REPLY_TICKS = 20,    // reply timeout, in ticks of the timeout timer control
};

// Link state, shared with the operator interface (which moves the link to another port).
extern int Dv3ComNo;              // port in use, 1-based; 0 before the first InitDevices
extern int Dv3Gate;               // 1 free, 0 taken by a running exchange (taken until InitDevices)
extern char Dv3Ms[DV3_MS_SIZE];   // last complete reply, carriage return included, NUL-terminated
extern int Dv3MsPnt;              // next free position in Dv3Ms, 0..255
extern int Dv3MsRdy;              // 1 while a complete reply is held and not yet handed over
extern int TamselTOut;            // ticks left before the reply being waited for is overdue

// Framing. out of ByteToHex holds 3 characters, out of IntToHex 5; both are NUL-terminated and
// upper case. IntToHex writes the low 16 bits of value.
void ByteToHex(unsigned char value, char *out);
void IntToHex(int value, char *out);
// Appends the two-digit additive checksum (sum of the characters, modulo 256). The buffer must
// have room for two more characters and, later, the carriage return.
void AddCheckSum(char *command);

// Serial link. All return 1 on success and 0 on failure unless stated.
int InitDevices(int comNo);   // first contact: remembers the port, frees the gate, opens the port
int InitDv3(int port);        // opens port with the unit's line settings
int CloseDv3(int port);
// Takes the gate for one exchange. When another exchange holds it, tells the operator the unit
// is busy and returns 0; the caller then gives up without touching the line.
int CloseDv3Gate(void);
// Sends a NUL-terminated command to Dv3ComNo and re-arms the reply timeout. Always 1: a failed
// write shows up as a reply timeout.
int XRayCmd(const char *command);
// Lets the event loop run once, then assembles whatever bytes wait. 1 when a complete reply has
// just been assembled into Dv3Ms; 0 when none is complete yet (a partial one is kept). Never waits.
int GetDv3Ms(void);
// Timeout timer control callback: counts TamselTOut down on every call. Always 0.
int XrayTimeSlice(int panel, int control, int event, void *callbackData, int eventData1,
                  int eventData2);
// Polls until a complete reply is in Dv3Ms (1), or the reply timeout has run out or the program
// was told to end (0).
int WaitDv3Ms(void);

// Unit exchanges. Each takes the gate for its whole run and frees it before returning; when the
// gate is taken they return 0 at once, sending nothing. Before its first send each discards
// everything the line delivered before (complete replies, an unfinished one, bytes not yet taken
// off the line), so a reply that arrives after its exchange timed out is thrown away by the next
// one, and Dv3Ms starts empty. Within one exchange the reply timeout runs from each send and covers
// every reply after it. Whatever reply text was received stays in Dv3Ms after a failure.

// Reads timer code ('A', 'D' or 'W') into *count. 0 on failure, after telling the operator;
// *count is then left alone.
int GetTamselTimer(char code, int *count);
// Writes count to timer code and reads it back: 1 only when the unit accepted it and reports
// exactly count. Shows no message of its own.
int SetTamselTimer(char code, int count);
// Asks the unit for its identification: 1 when it answered as the unit does. With showReport 1
// the version report is shown whatever the outcome; otherwise nothing is shown.
int VerifyTamsel(int showReport);

#endif
