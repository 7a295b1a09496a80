// The real program as a process: one termination signal ends it with 0 wherever it is (a message
// box waiting for the operator, a wait for a silent unit), and it gives up with -1 when it cannot
// start.
#include "program_process.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

#ifndef TAMSEL_PATH
#error "TAMSEL_PATH must name the built Tamsel executable"
#endif
#ifndef TAMSEL_UIR_PATH
#error "TAMSEL_UIR_PATH must name the panel resource beside it"
#endif

namespace {

// Generous: under the sanitizers the program takes seconds to come up on a busy machine.
const int START_TIMEOUT_MS = 60000;
const int END_TIMEOUT_MS = 20000;

std::optional<std::string> FileText(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A copy of the program in a directory of its own, where it keeps TAMSEL.INI, with every port
// leading to a device that does not exist (this machine's own serial ports are not ours).
class ProgramCopy : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        ASSERT_TRUE(dir.copyIn(TAMSEL_PATH));
    }

    std::vector<std::string> NoUnitEnvironment() const {
        std::vector<std::string> environment{"QT_QPA_PLATFORM=offscreen"};
        for (int port = 1; port <= 4; port++)
            environment.push_back("TAMSEL_COM" + std::to_string(port) + "=" +
                                  dir.file("no-unit-" + std::to_string(port)));
        return environment;
    }

    void Start(const std::vector<std::string> &environment) {
        ASSERT_TRUE(program.start(dir.file("Tamsel"), {}, environment, false)) << program.error();
    }

    // Waits until first contact has written TAMSEL.INI (the program's only outward sign of
    // being up when there is no unit); false if the program ended or the time ran out first.
    bool WaitForFirstContact() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(START_TIMEOUT_MS);
        while (std::chrono::steady_clock::now() < deadline) {
            if (FileText(dir.file("TAMSEL.INI")))
                return true;
            if (!program.running())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    ScratchDir dir;
    ChildProgram program;
};

// Where the program is when the signal comes. Against a silent unit the program is inside a
// callback that polls or sleeps; with a box open it is held by the box's own loop.
enum class Moment {
    NoPortMessageOpen, // no unit: "Communication port not found" waits for the operator
    WakeUpPause,       // the unit heard the attention command: the 0.5 s pause after it
    ReplyWait,         // the unit heard the version command and does not answer
    IniErrorBoxOpen,   // a bad TAMSEL.INI: the INI error box, before the port is opened
};

struct SignalCase {
    const char *name;
    int signal;
    Moment moment;
};

void PrintTo(const SignalCase &c, std::ostream *os) {
    *os << c.name;
}

const SignalCase SIGNAL_CASES[] = {
    {"SigtermNoPortMessageOpen", SIGTERM, Moment::NoPortMessageOpen},
    {"SigintNoPortMessageOpen", SIGINT, Moment::NoPortMessageOpen},
    {"SighupNoPortMessageOpen", SIGHUP, Moment::NoPortMessageOpen},
    {"SigtermWakeUpPause", SIGTERM, Moment::WakeUpPause},
    {"SigintReplyWait", SIGINT, Moment::ReplyWait},
    {"SighupReplyWait", SIGHUP, Moment::ReplyWait},
    {"SigtermIniErrorBoxOpen", SIGTERM, Moment::IniErrorBoxOpen},
};

class ProgramSignal : public ProgramCopy, public testing::WithParamInterface<SignalCase> {
  protected:
    // Waits until the silent unit has heard command; false if it heard something else first.
    bool UnitHears(const std::string &command) {
        while (auto line = unit.readLine(START_TIMEOUT_MS))
            if (*line == command)
                return true;
        return false;
    }

    // Watches TAMSEL.INI from before the start, so that its read cannot be missed.
    void WatchPortFile() {
        portFileWatch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(portFileWatch, 0);
        ASSERT_GE(
            inotify_add_watch(portFileWatch, dir.file("TAMSEL.INI").c_str(), IN_CLOSE_NOWRITE), 0);
    }
    // Waits until the program has read TAMSEL.INI and closed it again.
    bool PortFileRead() {
        pollfd event{portFileWatch, POLLIN, 0};
        return poll(&event, 1, START_TIMEOUT_MS) == 1;
    }
    void TearDown() override {
        if (portFileWatch >= 0)
            close(portFileWatch);
    }

    int portFileWatch = -1;
    SimProcess unit;
};

// One signal ends the program with 0 wherever it is, and nothing more goes out on the line.
TEST_P(ProgramSignal, OneSignalEndsWithZeroAndSendsNothingMore) {
    const SignalCase &c = GetParam();
    ASSERT_TRUE(dir.copyIn(TAMSEL_UIR_PATH));
    std::vector<std::string> environment = NoUnitEnvironment();
    if (c.moment != Moment::NoPortMessageOpen) {
        ASSERT_TRUE(unit.start({"--silent", "--echo"})) << unit.error();
        environment.push_back("TAMSEL_COM2=" + unit.path());
    }
    if (c.moment == Moment::IniErrorBoxOpen) {
        ASSERT_TRUE(std::ofstream(dir.file("TAMSEL.INI")) << "no section\n");
        WatchPortFile();
    }
    Start(environment);
    switch (c.moment) {
    case Moment::NoPortMessageOpen:
        ASSERT_TRUE(WaitForFirstContact()) << "exit status " << program.wait(0);
        // A missing file is created with the default port: proof the program keeps it beside
        // itself.
        EXPECT_EQ(FileText(dir.file("TAMSEL.INI")), "[Port]\r\nCOMNO=2\r\n");
        break;
    case Moment::WakeUpPause:
        ASSERT_TRUE(UnitHears("?"));
        break;
    case Moment::ReplyWait:
        ASSERT_TRUE(UnitHears("SVA9"));
        break;
    case Moment::IniErrorBoxOpen:
        ASSERT_TRUE(PortFileRead());
        break;
    }
    // A box is shown just after its outward sign; give it time to open, so that the signal finds
    // it waiting for an operator. The pause and the reply wait are long enough without it.
    if (c.moment == Moment::NoPortMessageOpen || c.moment == Moment::IniErrorBoxOpen)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(program.running());

    ASSERT_EQ(kill(program.pid(), c.signal), 0);
    EXPECT_EQ(program.wait(END_TIMEOUT_MS), 0) << "-1: still running, killed";
    if (unit.running()) {
        const std::optional<std::string> heard = unit.readLine(500);
        EXPECT_FALSE(heard) << "sent after the signal: " << *heard;
    }
}

INSTANTIATE_TEST_SUITE_P(TerminationSignals, ProgramSignal, testing::ValuesIn(SIGNAL_CASES),
                         [](const testing::TestParamInfo<SignalCase> &info) {
                             return std::string(info.param.name);
                         });

// main's -1 reaches the shell as 255; the program must get there on its own, without a signal.
TEST_F(ProgramCopy, ExitsWith255WhenThePanelResourceIsMissing) {
    Start(NoUnitEnvironment());
    EXPECT_EQ(program.wait(END_TIMEOUT_MS), 255) << "-1: still running, killed";
    EXPECT_FALSE(FileText(dir.file("TAMSEL.INI"))) << "first contact must not have been tried";
}

// No display at all, or one named that cannot be reached: main's -1, never Qt's abort.
TEST_F(ProgramCopy, ExitsWith255WithoutADisplay) {
    ASSERT_TRUE(dir.copyIn(TAMSEL_UIR_PATH));
    const std::vector<std::string> displays[] = {
        {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"},
        {"QT_QPA_PLATFORM=bogus"},
        // An X display number nobody serves, and a compositor socket that does not exist.
        {"QT_QPA_PLATFORM", "DISPLAY=:4711", "WAYLAND_DISPLAY"},
        {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY=nowhere", "XDG_RUNTIME_DIR=" + dir.path()},
    };
    for (const std::vector<std::string> &display : displays) {
        SCOPED_TRACE(display.size() > 1 ? display[1] + " " + display[2] : display[0]);
        std::vector<std::string> environment = NoUnitEnvironment();
        environment.insert(environment.end(), display.begin(), display.end());
        ChildProgram child;
        ASSERT_TRUE(child.start(dir.file("Tamsel"), {}, environment, false)) << child.error();
        EXPECT_EQ(child.wait(END_TIMEOUT_MS), 255) << "-1: still running, killed";
    }
}

} // namespace
