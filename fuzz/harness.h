// Shared by the fuzz targets: the run-time started offscreen, the scripted line the link talks on,
// a poll hook that stands in for the timeout timer, reference models and the common checks.
#ifndef TAMSEL_FUZZ_HARNESS_H
#define TAMSEL_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum {
    FUZZ_PORT = 7,
    // The real port's input queue holds 512 bytes; the scripted line would hold any number, and a
    // line delivering more than a real one can would not be testing the program.
    FUZZ_QUEUE_SIZE = 512,
};

using PopupList = std::vector<std::pair<std::string, std::string>>;

// Starts the run-time offscreen with message boxes recorded, attaches the scripted line and starts
// the poll hook. Called once, from LLVMFuzzerInitialize.
void StartFuzzRuntime(void);

// Ends the run when a checked property does not hold; libFuzzer keeps the input that did it.
void Require(bool condition, const char *what);

// Every input starts from a link just opened on the scripted line: gate free, reply buffer empty,
// nothing waiting, no responder, nothing scheduled, no message box recorded.
void ResetLink(void);

// Message boxes shown since the last ResetLink or TakePopups.
PopupList TakePopups(void);

// Puts bytes in the line's input queue now, as far as the queue has room; returns what went in.
std::string FeedLine(const std::string &bytes);
// Lets bytes arrive pollsFromNow polls from now (0 is now). They go in as far as the queue has
// room at that moment.
void FeedLineLater(const std::string &bytes, int pollsFromNow);
// Lets everything scheduled arrive now, as it would while the program is not polling.
void FeedLineScheduled(void);

// Properties of the link state that hold between any two calls into the device link.
void CheckLinkInvariants(void);

// Reply assembly as the line's protocol defines it, byte by byte, without the fixed buffer: the
// program's Dv3Ms, Dv3MsPnt and handed-over replies are compared with it.
class ReplyModel {
  public:
    // Takes one received byte; true when it completed a reply.
    bool Take(unsigned char byte);
    // What Dv3Ms reads as a text: the reply being assembled, or the one just completed.
    std::string Text() const;
    // Where the next character goes: Dv3MsPnt.
    size_t Position() const { return stored.size(); }

  private:
    std::string stored; // characters since the reply began or last wrapped
    std::string shown;  // the characters Dv3Ms holds before its NUL
};

// The timer value conversion as the read exchange defines it, on the text of a reply from position
// 3 (at most four characters, ending at a NUL): leading white space, a sign, a 0x prefix, then hex
// digits in either case up to the first other character. false when no digit converts.
bool ConvertTimerDigits(const char *reply, long *value);

// 1 when the text begins with prefix.
bool BeginsWith(const char *text, const char *prefix);

#endif
