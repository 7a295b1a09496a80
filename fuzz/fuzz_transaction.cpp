// Fuzz target: whole exchanges (read, write with read-back, identification) on a scripted line
// whose answers come from the input, one exchange after another on the same link.
//
// The input is a series of exchanges. Each starts with a kind byte (bits 0-1: read, write,
// identification, identification with the version report; bits 2-3: timer A, D, W, A; bits 4-5:
// how the written count is made from the 16-bit value), for a write two value bytes (high first),
// then a length byte and that many stale bytes, which are waiting on the line when the exchange
// starts. Every command
// the program then sends takes the next answer from the input: a length byte, a delay byte (the
// answer arrives that many polls later, always before the reply timeout runs out) and the answer's
// bytes. Once the input is used up the unit is silent. Link state carries from one exchange to the
// next, as it does in the program.
#include "devices.h"
#include "harness.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <climits>
#include <cstdio>
#include <string>

namespace {

enum {
    MAX_EXCHANGES = 16,
    // Answers arrive within this many polls of their command, well inside the 20-tick timeout.
    MAX_ANSWER_DELAY = 16,
    KIND_READ = 0,
    KIND_WRITE = 1,
    KIND_IDENTIFY = 2,
    KIND_IDENTIFY_REPORT = 3,
};

const char READ_ERROR_TITLE[] = "Communication Error";
const char READ_ERROR_TEXT[] = "Dorvan System timer read error";
const char REPORT_LABEL[] = "Dorvan System       : ";
const int UNTOUCHED = 0x5A5A5A5A;

class InputStream {
  public:
    InputStream(const uint8_t *data, size_t size) : data(data), size(size) {}
    bool Empty() const { return at == size; }
    unsigned Byte() { return at < size ? data[at++] : 0; }
    std::string Bytes(size_t count) {
        if (count > size - at)
            count = size - at;
        std::string bytes((const char *)data + at, count);
        at += count;
        return bytes;
    }

  private:
    const uint8_t *data;
    size_t size;
    size_t at = 0;
};

// The command as the unit expects it: text, the two-digit sum of its characters, carriage return.
std::string Framed(const std::string &text) {
    unsigned sum = 0;
    for (char c : text)
        sum += (unsigned char)c;
    char checksum[3];
    snprintf(checksum, sizeof checksum, "%02X", sum & 0xFFu);
    return text + checksum + "\r";
}

std::string ReadCommand(char code) {
    return Framed(std::string("TG") + code);
}

std::string WriteCommand(char code, int count) {
    char digits[5];
    snprintf(digits, sizeof digits, "%04X", (unsigned)count & 0xFFFFu);
    return Framed(std::string("T") + code + digits);
}

int WrittenCount(unsigned variant, unsigned value16) {
    switch (variant) {
    case 0:
        return (int)value16;
    case 1:
        return (int)value16 + 0x10000; // travels as its low 16 bits; can never be read back
    case 2:
        return -(int)value16;
    default:
        return INT_MAX - (int)value16;
    }
}

// Dv3Ms holds the timer reply that was accepted: "TG" + code, then a value that converts to count.
bool ReplyHolds(char code, long count) {
    long value = 0;
    return BeginsWith(Dv3Ms, (std::string("TG") + code).c_str()) &&
           ConvertTimerDigits(Dv3Ms, &value) && value == count;
}

void Read(char code) {
    int count = UNTOUCHED;
    int result = GetTamselTimer(code, &count);
    Require(TakeScriptedLineOutput(FUZZ_PORT) == ReadCommand(code), "a read sends its command");
    PopupList popups = TakePopups();
    if (result == 1) {
        Require(ReplyHolds(code, count), "a successful read returns the value of its reply");
        Require(popups.empty(), "a successful read shows nothing");
    } else {
        Require(result == 0, "a read returns 1 or 0");
        Require(count == UNTOUCHED, "a failed read leaves the count alone");
        Require(popups == PopupList{{READ_ERROR_TITLE, READ_ERROR_TEXT}},
                "a failed read tells the operator once");
    }
}

void Write(char code, int count) {
    int result = SetTamselTimer(code, count);
    const std::string sent = TakeScriptedLineOutput(FUZZ_PORT);
    const std::string both = WriteCommand(code, count) + ReadCommand(code);
    Require(sent == WriteCommand(code, count) || sent == both, "a write sends its commands");
    Require(TakePopups().empty(), "a write shows nothing of its own");
    if (result == 1) {
        Require(sent == both, "a confirmed write has read the value back");
        Require(ReplyHolds(code, count), "a write is confirmed only by a read-back of the value");
    } else {
        Require(result == 0, "a write returns 1 or 0");
    }
}

void Identify(bool showReport) {
    int result = VerifyTamsel(showReport ? 1 : 0);
    Require(TakeScriptedLineOutput(FUZZ_PORT) == "?\r" + Framed("SV"),
            "identification sends attention, then the version command");
    Require(result == 0 || (result == 1 && BeginsWith(Dv3Ms, "KX_")),
            "the unit is identified only by its identification line");
    PopupList popups = TakePopups();
    if (!showReport) {
        Require(popups.empty(), "identification without the report shows nothing");
        return;
    }
    Require(popups.size() == 1 && popups[0].first == "Software Versions",
            "the version report is shown once");
    const std::string &report = popups[0].second;
    Require(report.size() < DV3_MS_SIZE, "the report fits its 256 characters");
    const size_t label = report.find(REPORT_LABEL);
    Require(label != std::string::npos, "the report names the unit's line");
    const std::string shown = report.substr(label + sizeof REPORT_LABEL - 1);
    Require(BeginsWith(shown.c_str(), result == 1 ? "KX_" : "Not On Line !!!\r\n\n"),
            "the report shows the identification, or that the unit is not on line");
    Require(report.size() >= 9 && report.compare(report.size() - 9, 9, "reserved.") == 0,
            "the report always ends with its closing line");
}

} // namespace

// VerifyTamsel waits half a second for the unit to wake before it throws away the answer to the
// attention command. The target is linked with --wrap for the run-time's Delay, so that wait costs
// nothing: what the unit sends meanwhile arrives, and no timer ticks, as during the real wait.
extern "C" void __wrap__Z5Delayd(double) {
    FeedLineScheduled();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    StartFuzzRuntime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ResetLink();
    InputStream input(data, size);
    SetScriptedLineResponder(FUZZ_PORT, [&input](const std::string &) {
        if (input.Empty())
            return;
        size_t length = input.Byte();
        int delay = (int)(input.Byte() % MAX_ANSWER_DELAY);
        FeedLineLater(input.Bytes(length), delay);
    });
    for (int exchange = 0; exchange < MAX_EXCHANGES && !input.Empty(); exchange++) {
        const unsigned kind = input.Byte();
        const char code = "ADWA"[(kind >> 2) & 3];
        unsigned value16 = 0;
        if ((kind & 3) == KIND_WRITE) {
            value16 = input.Byte() << 8;
            value16 |= input.Byte();
        }
        // What was still on its way when the last exchange gave up has arrived by now.
        FeedLineScheduled();
        FeedLine(input.Bytes(input.Byte()));
        switch (kind & 3) {
        case KIND_READ:
            Read(code);
            break;
        case KIND_WRITE:
            Write(code, WrittenCount((kind >> 4) & 3, value16));
            break;
        default:
            Identify((kind & 3) == KIND_IDENTIFY_REPORT);
            break;
        }
        Require(Dv3Gate == 1, "the gate is free after every exchange");
        CheckLinkInvariants();
    }
    SetScriptedLineResponder(FUZZ_PORT, {});
    return 0;
}
