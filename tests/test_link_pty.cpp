// Device link over a real pseudo-terminal against the simulated unit: the serial layer, the line
// settings and the exchanges as the program runs them.
#include "devices.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "sim_process.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using Popups = std::vector<std::pair<std::string, std::string>>;

class PtyLinkTest : public ::testing::Test {
  protected:
    static constexpr int PORT = 9;
    SimProcess sim;
    Popups popups;
    std::string link;

    void SetUp() override {
        link = testing::TempDir() + "tamsel-link-" + std::to_string(getpid());
        setenv("TAMSEL_COM9", link.c_str(), 1);
        SetPopupHook([this](const std::string &title, const std::string &text) {
            popups.emplace_back(title, text);
        });
        Dv3MsPnt = 0;
        Dv3MsRdy = 0;
        QObject::connect(&ticker, &QTimer::timeout,
                         [] { XrayTimeSlice(0, 0, EVENT_TIMER_TICK, nullptr, 0, 0); });
        ticker.start(20);
    }

    void TearDown() override {
        ticker.stop();
        CloseDv3(PORT);
        SetPopupHook({});
        sim.stop();
    }

    void StartUnit(std::vector<std::string> options) {
        options.insert(options.end(), {"--echo", "--link", link});
        ASSERT_TRUE(sim.start(options)) << sim.error();
        ASSERT_EQ(InitDevices(PORT), 1);
    }

    // The commands the unit received, in order, as its echo lines.
    std::vector<std::string> Received() {
        std::vector<std::string> lines;
        while (auto line = sim.readLine(200))
            lines.push_back(*line);
        return lines;
    }

  private:
    QTimer ticker;
};

TEST_F(PtyLinkTest, ReadsAndWritesEachTimerWithTheExactCommands) {
    StartUnit({"--aspiration", "25", "--delay", "3", "--wash", "65535"});
    int a = 0, d = 0, w = 0;
    EXPECT_EQ(GetTamselTimer('A', &a), 1);
    EXPECT_EQ(GetTamselTimer('D', &d), 1);
    EXPECT_EQ(GetTamselTimer('W', &w), 1);
    EXPECT_EQ(a, 25);
    EXPECT_EQ(d, 3);
    EXPECT_EQ(w, 65535);
    EXPECT_EQ(SetTamselTimer('A', 250), 1);
    EXPECT_EQ(VerifyTamsel(0), 1);
    EXPECT_STRNE(strstr(Dv3Ms, "KX_"), nullptr);
    EXPECT_EQ(Received(),
              std::vector<std::string>({"TGADC", "TGDDF", "TGWF2", "TA00FA7C", "TGADC", "?", "SVA9"}));
    EXPECT_TRUE(popups.empty());
}

TEST_F(PtyLinkTest, ShapedRepliesAreAssembledAsTheUnitMeantThem) {
    const std::vector<std::string> shapes[] = {
        {"--split-gap-ms", "3"}, {"--top-bit"}, {"--lf"}, {"--noise"}, {"--pace"},
    };
    for (const auto &shape : shapes) {
        std::vector<std::string> options = shape;
        options.insert(options.end(), {"--delay", "170"});
        StartUnit(options);
        int count = 0;
        EXPECT_EQ(GetTamselTimer('D', &count), 1) << shape[0];
        EXPECT_EQ(count, 170) << shape[0];
        EXPECT_EQ(SetTamselTimer('D', 171), 1) << shape[0];
        sim.stop();
    }
    EXPECT_TRUE(popups.empty());
}

TEST_F(PtyLinkTest, OverlongLinesPrintTheOverrunAndTheExchangeStillEnds) {
    StartUnit({"--overlong", "300"});
    testing::internal::CaptureStdout();
    int count = 0;
    int result = GetTamselTimer('A', &count);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_NE(printed.find("GetDv3 buffer overrun\r\n"), std::string::npos);
    EXPECT_EQ(Dv3Gate, 1);
}

TEST_F(PtyLinkTest, SilentUnitEndsTheExchangeByTimeout) {
    StartUnit({"--silent"});
    int count = -1;
    EXPECT_EQ(GetTamselTimer('A', &count), 0);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(TamselTOut, 0);
    EXPECT_EQ(popups, Popups({{"Communication Error", "Dorvan System timer read error"}}));
    EXPECT_EQ(VerifyTamsel(0), 0);
    EXPECT_EQ(Dv3Gate, 1);
}

TEST_F(PtyLinkTest, UnitHangingUpEndsTheExchangeAndTheLinkCanBeReopened) {
    StartUnit({});
    sim.send("hangup");
    int count = 0;
    EXPECT_EQ(GetTamselTimer('A', &count), 0);
    EXPECT_EQ(SetTamselTimer('A', 5), 0);
    EXPECT_EQ(Dv3Gate, 1);

    sim.send("reopen");
    auto line = sim.readLine(2000);
    while (line && line->rfind("PATH ", 0) != 0)
        line = sim.readLine(2000);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(CloseDv3(PORT), 1);
    ASSERT_EQ(InitDv3(PORT), 1);
    EXPECT_EQ(GetTamselTimer('A', &count), 1);
    EXPECT_EQ(count, 25);
}

TEST_F(PtyLinkTest, PortThatDoesNotExistFailsToOpen) {
    setenv("TAMSEL_COM9", "/dev/tamsel-no-such-port-9", 1);
    EXPECT_EQ(InitDevices(PORT), 0);
    EXPECT_EQ(InitDv3(0), 0);
    EXPECT_EQ(InitDv3(-3), 0);
}

} // namespace
