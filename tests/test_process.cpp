// The real program as a process: it comes up without a unit and ends with 0 on a termination
// signal even while a message box waits for the operator, and gives up with -1 when it cannot
// start.
#include "program_process.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
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

class ProgramSignal : public ProgramCopy, public testing::WithParamInterface<int> {};

TEST_P(ProgramSignal, EndsWithZeroWhileTheNoPortMessageIsOpen) {
    ASSERT_TRUE(dir.copyIn(TAMSEL_UIR_PATH));
    Start(NoUnitEnvironment());
    ASSERT_TRUE(WaitForFirstContact()) << "exit status " << program.wait(0);
    // A missing file is created with the default port: proof the program keeps it beside itself.
    EXPECT_EQ(FileText(dir.file("TAMSEL.INI")), "[Port]\r\nCOMNO=2\r\n");
    // The file is written just before the port fails to open; give "Communication port not
    // found" time to show, so that the signal finds the box waiting for an operator.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(program.running());

    ASSERT_EQ(kill(program.pid(), GetParam()), 0);
    EXPECT_EQ(program.wait(END_TIMEOUT_MS), 0) << "-1: still running, killed";
}

INSTANTIATE_TEST_SUITE_P(TerminationSignals, ProgramSignal, testing::Values(SIGTERM, SIGINT),
                         [](const testing::TestParamInfo<int> &info) {
                             return std::string(info.param == SIGTERM ? "Sigterm" : "Sigint");
                         });

// main's -1 reaches the shell as 255; the program must get there on its own, without a signal.
TEST_F(ProgramCopy, ExitsWith255WhenThePanelResourceIsMissing) {
    Start(NoUnitEnvironment());
    EXPECT_EQ(program.wait(END_TIMEOUT_MS), 255) << "-1: still running, killed";
    EXPECT_FALSE(FileText(dir.file("TAMSEL.INI"))) << "first contact must not have been tried";
}

TEST_F(ProgramCopy, ExitsWith255WithoutADisplay) {
    ASSERT_TRUE(dir.copyIn(TAMSEL_UIR_PATH));
    std::vector<std::string> environment = NoUnitEnvironment();
    environment.insert(environment.end(), {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"});
    Start(environment);
    EXPECT_EQ(program.wait(END_TIMEOUT_MS), 255) << "-1: still running, killed";
}

} // namespace
