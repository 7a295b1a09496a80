// Fuzz target: reply assembly (GetDv3Ms) fed arbitrary bytes in arbitrary chunks.
//
// The input is a series of chunks, each a header byte and up to 63 bytes: the low six bits of the
// header are the chunk's length, the top two how many times GetDv3Ms polls after the chunk has
// arrived (0 lets chunks pile up in the queue). Every poll is compared with the reply model: what
// it returns, what Dv3Ms reads, where Dv3MsPnt stands, and how many bytes are left waiting.
#include "devices.h"
#include "harness.h"
#include "runtime.h"

#include <cstring>
#include <string>

namespace {

enum { CHUNK_LENGTH_MASK = 0x3F, POLLS_SHIFT = 6 };

ReplyModel model;
std::string modelWaiting; // the bytes the model has not taken yet, the line's queue

void PollAndCompare(void) {
    bool modelComplete = false;
    size_t taken = 0;
    while (taken < modelWaiting.size() && !modelComplete)
        modelComplete = model.Take((unsigned char)modelWaiting[taken++]);
    modelWaiting.erase(0, taken);

    int complete = GetDv3Ms();
    Require(complete == (modelComplete ? 1 : 0),
            "GetDv3Ms reports a complete reply exactly when one is");
    CheckLinkInvariants();
    Require(std::string(Dv3Ms) == model.Text(), "Dv3Ms holds the reply as assembled");
    Require((size_t)Dv3MsPnt == model.Position(), "Dv3MsPnt is where the next character goes");
    Require((size_t)GetInQLen(FUZZ_PORT) == modelWaiting.size(),
            "bytes after a complete reply wait for the next poll");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    StartFuzzRuntime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ResetLink();
    model = ReplyModel();
    modelWaiting.clear();
    size_t at = 0;
    while (at < size) {
        unsigned header = data[at++];
        size_t length = header & CHUNK_LENGTH_MASK;
        if (length > size - at)
            length = size - at;
        modelWaiting += FeedLine(std::string((const char *)data + at, length));
        at += length;
        for (unsigned polls = header >> POLLS_SHIFT; polls > 0; polls--)
            PollAndCompare();
    }
    // Whatever is still waiting comes out a reply at a time; the queue then stays empty.
    while (!modelWaiting.empty())
        PollAndCompare();
    PollAndCompare();
    return 0;
}
