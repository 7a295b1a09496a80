// Test fixture: the device link on a scripted line, with recorded message boxes and a fast
// timeout timer (20 ticks of 5 ms), so a silent unit costs a tenth of a second.
#ifndef TAMSEL_TESTS_LINK_FIXTURE_H
#define TAMSEL_TESTS_LINK_FIXTURE_H

#include "devices.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

using Popups = std::vector<std::pair<std::string, std::string>>;

class ScriptedLinkTest : public ::testing::Test {
  protected:
    static constexpr int PORT = 7;

    Popups popups;
    // Canned answers by exact command; a command without one is answered by the simulated unit
    // when SimulateUnit() was called, and otherwise not at all.
    std::map<std::string, std::string> answers;

    void SetUp() override {
        AttachScriptedLine(PORT);
        SetScriptedLineResponder(PORT, [this](const std::string &command) { Respond(command); });
        SetPopupHook([this](const std::string &title, const std::string &text) {
            popups.emplace_back(title, text);
        });
        Dv3MsPnt = 0;
        Dv3MsRdy = 0;
        Dv3Ms[0] = '\0';
        TamselTOut = 0;
        ASSERT_EQ(InitDevices(PORT), 1);
        QObject::connect(&ticker, &QTimer::timeout,
                         [] { XrayTimeSlice(0, 0, EVENT_TIMER_TICK, nullptr, 0, 0); });
        ticker.start(5);
    }

    void TearDown() override {
        ticker.stop();
        CloseDv3(PORT);
        DetachScriptedLine(PORT);
        SetPopupHook({});
    }

    void Answer(const std::string &command, const std::string &reply) { answers[command] = reply; }
    void SimulateUnit() { simulated = true; }

  private:
    QTimer ticker;
    bool simulated = false;
    std::map<char, int> timers{{'A', 25}, {'D', 10}, {'W', 50}};

    void Respond(const std::string &command) {
        auto canned = answers.find(command);
        if (canned != answers.end()) {
            FeedScriptedLine(PORT, canned->second);
            return;
        }
        if (!simulated)
            return;
        if (command.size() == 6 && command.compare(0, 2, "TG") == 0) {
            char value[5];
            IntToHex(timers[command[2]], value);
            FeedScriptedLine(PORT, std::string("T$\rTG") + command[2] + value + "\r");
        } else if (command.size() == 9 && command[0] == 'T') {
            timers[command[1]] = (int)strtol(command.substr(2, 4).c_str(), nullptr, 16);
            FeedScriptedLine(PORT, "T$\r");
        } else if (command == "SVA9\r") {
            FeedScriptedLine(PORT, "S$\rKX_SIMULATED\r");
        }
    }
};

#endif
