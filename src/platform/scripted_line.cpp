// The scripted serial line of the tests: a line whose bytes a test feeds and whose output it takes.
#include "runtime.h"
#include "runtime_testing.h"
#include "serial_line.h"

#include <climits>
#include <map>
#include <memory>
#include <utility>

namespace {

// Opening it always succeeds and empties the input, as a real open discards what arrived before
// it; closing drops what is still unread. Bytes fed while it is closed are therefore never read.
// What the program writes is kept, across reopens, until the test takes it.
class ScriptedLine : public SerialLine {
  public:
    int Open(const std::string &, const LineSettings &) override {
        open = true;
        DropInput();
        return 0;
    }
    int Reopen(const std::string &path) override { return Open(path, LineSettings{}); }
    bool IsOpen() const override { return open; }
    int SetFlowControl(bool, QSerialPort::FlowControl) override { return 0; }

    int Write(const char *buffer, int count) override {
        std::string written(buffer, static_cast<size_t>(count));
        output += written;
        // A copy: the responder may replace itself or detach the line, and so destroy it, while
        // it runs. Nothing of the line is touched after it.
        auto answer = responder;
        if (answer)
            answer(written);
        return count;
    }

    int Waiting() const override {
        if (!open)
            return 0;
        const size_t waiting = input.size() - inputRead;
        return waiting > INT_MAX ? INT_MAX : static_cast<int>(waiting);
    }

    int ReadByte() override {
        if (inputRead == input.size())
            return RT_ERR_IO;
        const unsigned char byte = static_cast<unsigned char>(input[inputRead++]);
        if (inputRead == input.size())
            DropInput();
        return byte;
    }

    int FlushInput() override {
        DropInput();
        return 0;
    }

    void Close() override {
        open = false;
        DropInput();
    }

    // A scripted line is always there.
    PortDeviceInfo Describe(const std::string &, SystemPortListing *) const override {
        PortDeviceInfo info;
        info.present = true;
        return info;
    }

    void Feed(const std::string &bytes) { input += bytes; }
    std::string TakeOutput() { return std::exchange(output, std::string()); }
    void SetResponder(std::function<void(const std::string &written)> answer) {
        responder = std::move(answer);
    }

  private:
    void DropInput() {
        input.clear();
        inputRead = 0;
    }

    bool open = false;
    std::string input;
    size_t inputRead = 0;
    std::string output;
    std::function<void(const std::string &written)> responder;
};

std::map<int, std::unique_ptr<ScriptedLine>> scriptedLines;

ScriptedLine *FindScriptedLine(int port) {
    auto found = scriptedLines.find(port);
    return found == scriptedLines.end() ? nullptr : found->second.get();
}

} // namespace

void AttachScriptedLine(int port) {
    std::unique_ptr<ScriptedLine> &line = scriptedLines[port];
    // The serial service lets go of the old line before it is destroyed.
    DetachLine(port);
    line = std::make_unique<ScriptedLine>();
    AttachLine(port, line.get());
}

void DetachScriptedLine(int port) {
    DetachLine(port);
    scriptedLines.erase(port);
}

void FeedScriptedLine(int port, const std::string &bytes) {
    if (ScriptedLine *line = FindScriptedLine(port))
        line->Feed(bytes);
}

std::string TakeScriptedLineOutput(int port) {
    ScriptedLine *line = FindScriptedLine(port);
    return line ? line->TakeOutput() : std::string();
}

void SetScriptedLineResponder(int port, std::function<void(const std::string &written)> responder) {
    if (ScriptedLine *line = FindScriptedLine(port))
        line->SetResponder(std::move(responder));
}
