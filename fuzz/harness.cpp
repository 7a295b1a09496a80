// Shared fuzz harness: run-time start-up, the scripted line with its poll hook, and the models.
#include "harness.h"

#include "devices.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct ScheduledBytes {
    unsigned long poll; // the poll at which they arrive
    std::string bytes;
};

PopupList harnessPopups;
std::vector<ScheduledBytes> harnessScheduled;
unsigned long harnessPolls = 0;

void DeliverDue(void) {
    for (size_t i = 0; i < harnessScheduled.size();) {
        if (harnessScheduled[i].poll <= harnessPolls) {
            FeedLine(harnessScheduled[i].bytes);
            harnessScheduled.erase(harnessScheduled.begin() + (long)i);
        } else {
            i++;
        }
    }
}

// Runs on every event dispatch of GetDv3Ms's poll. It is the timeout timer, one tick per poll, so
// a silent unit costs twenty polls instead of two seconds; and it is the wire, delivering bytes
// scheduled for this poll. Both hang on the same count, so whether bytes arrive before the reply
// timeout runs out depends on the input alone.
void OnPoll(void) {
    harnessPolls++;
    XrayTimeSlice(0, 0, EVENT_TIMER_TICK, nullptr, 0, 0);
    DeliverDue();
}

} // namespace

void StartFuzzRuntime(void) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static char name[] = "tamsel-fuzz";
    static char *argv[] = {name, nullptr};
    if (InitCVIRTE(nullptr, argv, nullptr) == 0) {
        fputs("the run-time did not start\n", stderr);
        abort();
    }
    SetPopupHook([](const std::string &title, const std::string &text) {
        harnessPopups.emplace_back(title, text);
    });
    AttachScriptedLine(FUZZ_PORT);
    // A zero interval fires on every pass of the event loop, and keeps ProcessSystemEvents from
    // ever waiting for the next event.
    auto *ticker = new QTimer;
    ticker->setInterval(0);
    QObject::connect(ticker, &QTimer::timeout, OnPoll);
    ticker->start();
}

void Require(bool condition, const char *what) {
    if (condition)
        return;
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

void ResetLink(void) {
    harnessScheduled.clear();
    SetScriptedLineResponder(FUZZ_PORT, {});
    Require(InitDevices(FUZZ_PORT) == 1, "the scripted line opens");
    TakeScriptedLineOutput(FUZZ_PORT);
    memset(Dv3Ms, 0, sizeof Dv3Ms);
    Dv3MsPnt = 0;
    Dv3MsRdy = 0;
    TamselTOut = 0;
    harnessPopups.clear();
}

PopupList TakePopups(void) {
    PopupList taken;
    taken.swap(harnessPopups);
    return taken;
}

std::string FeedLine(const std::string &bytes) {
    int waiting = GetInQLen(FUZZ_PORT);
    size_t room = waiting < FUZZ_QUEUE_SIZE ? (size_t)(FUZZ_QUEUE_SIZE - waiting) : 0;
    std::string fed = bytes.substr(0, room);
    FeedScriptedLine(FUZZ_PORT, fed);
    return fed;
}

void FeedLineLater(const std::string &bytes, int pollsFromNow) {
    if (pollsFromNow <= 0) {
        FeedLine(bytes);
        return;
    }
    harnessScheduled.push_back({harnessPolls + (unsigned long)pollsFromNow, bytes});
}

void FeedLineScheduled(void) {
    for (const ScheduledBytes &scheduled : harnessScheduled)
        FeedLine(scheduled.bytes);
    harnessScheduled.clear();
}

void CheckLinkInvariants(void) {
    Require(memchr(Dv3Ms, '\0', sizeof Dv3Ms) != nullptr, "Dv3Ms is NUL-terminated in its buffer");
    Require(Dv3MsPnt >= 0 && Dv3MsPnt < DV3_MS_SIZE, "Dv3MsPnt stays in 0..255");
    Require(Dv3MsRdy == 0, "no complete reply is held back between calls");
    Require(TamselTOut >= 0 && TamselTOut <= DV3_REPLY_TICKS, "the reply timeout stays in range");
}

bool ReplyModel::Take(unsigned char byte) {
    // 7-bit line: the top bit is dropped before anything looks at the byte.
    char c = (char)(byte & 0x7F);
    if (c == '\n' || c == 0x1A)
        return false;
    stored.push_back(c);
    // A reply that fills the whole buffer starts over; its carriage return may be what fills it.
    if (stored.size() == DV3_MS_SIZE)
        stored.clear();
    shown = stored;
    if (c != '\r')
        return false;
    stored.clear();
    return true;
}

std::string ReplyModel::Text() const {
    return shown.substr(0, shown.find('\0'));
}

bool ConvertTimerDigits(const char *reply, long *value) {
    // reply is a text, so digits holds no NUL.
    const std::string digits = std::string(reply).substr(3, 4);
    static const char HEX[] = "0123456789abcdef";
    auto hexValue = [&](size_t at) -> int {
        if (at >= digits.size())
            return -1;
        char c = digits[at];
        if (c >= 'A' && c <= 'F')
            c = (char)(c - 'A' + 'a');
        const char *found = strchr(HEX, c);
        return found ? (int)(found - HEX) : -1;
    };
    size_t i = digits.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos)
        return false;
    bool negative = false;
    if (digits[i] == '+' || digits[i] == '-')
        negative = digits[i++] == '-';
    // "0x" is a prefix only when a hex digit follows; otherwise its 0 is the number.
    if ((digits.compare(i, 2, "0x") == 0 || digits.compare(i, 2, "0X") == 0) &&
        hexValue(i + 2) >= 0)
        i += 2;
    long number = 0;
    const size_t first = i;
    for (int digit; (digit = hexValue(i)) >= 0; i++)
        number = number * 16 + digit;
    if (i == first)
        return false;
    *value = negative ? -number : number;
    return true;
}

bool BeginsWith(const char *text, const char *prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}
