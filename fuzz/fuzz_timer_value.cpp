// Fuzz target: the value conversion of a timer read (GetTamselTimer).
//
// The scripted unit acknowledges the read of the aspiration timer and answers "TGA", the input's
// bytes and a carriage return. The input may hold carriage returns, line feeds, NULs, bytes with
// the top bit set, or be long enough to wrap the reply buffer: the read must succeed exactly when
// the reply the model assembles begins "TGA" and its value characters convert, with that value.
#include "devices.h"
#include "harness.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <string>
#include <vector>

namespace {

const char READ_COMMAND[] = "TGADC\r";
const int UNTOUCHED = 0x5A5A5A5A;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    StartFuzzRuntime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ResetLink();
    const std::string answer = "T$\rTGA" + std::string((const char *)data, size) + "\r";
    std::string fed;
    SetScriptedLineResponder(FUZZ_PORT, [&](const std::string &command) {
        if (command == READ_COMMAND)
            fed = FeedLine(answer);
    });

    int count = UNTOUCHED;
    int result = GetTamselTimer('A', &count);

    ReplyModel model;
    std::vector<std::string> replies;
    for (char byte : fed)
        if (model.Take((unsigned char)byte))
            replies.push_back(model.Text());
    long expected = 0;
    bool expectOk = replies.size() >= 2 && BeginsWith(replies[0].c_str(), "T$") &&
                    BeginsWith(replies[1].c_str(), "TGA") &&
                    ConvertTimerDigits(replies[1].c_str(), &expected);

    Require(TakeScriptedLineOutput(FUZZ_PORT) == READ_COMMAND, "the read sends its command once");
    Require(Dv3Gate == 1, "the gate is free after the read");
    CheckLinkInvariants();
    Require(result == (expectOk ? 1 : 0), "the read succeeds exactly when the reply converts");
    PopupList popups = TakePopups();
    if (result == 1) {
        Require(count == expected, "a successful read returns the value of the reply");
        Require(popups.empty(), "a successful read shows nothing");
    } else {
        Require(count == UNTOUCHED, "a failed read leaves the count alone");
        Require(popups == PopupList{{"Communication Error", "Dorvan System timer read error"}},
                "a failed read tells the operator once");
    }
    return 0;
}
