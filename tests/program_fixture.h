// Test fixture: the whole program (TamselMain) in-process, in a real offscreen window with the real
// Tamsel.uir, against simulated units on pseudo-terminals, driven by a scripted operator that acts
// from inside the program's event loop. Message boxes are recorded instead of shown.
#ifndef TAMSEL_TESTS_PROGRAM_FIXTURE_H
#define TAMSEL_TESTS_PROGRAM_FIXTURE_H

#include "Tamsel.h"
#include "devices.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "sim_process.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using Lines = std::vector<std::string>;
using Popup = std::pair<std::string, std::string>; // title, text
using Popups = std::vector<Popup>;

// The program's message boxes.
inline const Popup BUSY_BOX{"Communication warning", "Dorvan Pump Busy, try again"};
inline const Popup PORT_NOT_FOUND_BOX{"Communication Error", "Communication port not found"};
inline const Popup PUMP_NOT_FOUND_BOX{"Communication Error",
                                      "Dorvan Pump not found, check mains supply and cables"};
inline const Popup INI_ERROR_BOX{"INI setup file Error",
                                 "Default port no. used, check communication settings"};
inline const Popup READ_ERROR_BOX{"Communication Error", "Dorvan System timer read error"};
inline const Popup UPDATE_ERROR_BOX{"Timer Update Error",
                                    "Communication error, values not updated"};
inline const Popup NOT_READ_BOX{"Communication error", "Values not read, try again"};
inline const Popup SETUP_ERROR_BOX{
    "Communication Setup Error",
    "Communication port not found\r\nCheck pc configuration and cables"};

// What unit-sim receives at first contact: attention, version, then the three timer reads.
inline const Lines FIRST_CONTACT_COMMANDS{"?", "SVA9", "TGADC", "TGDDF", "TGWF2"};
inline const Lines READ_ALL_COMMANDS{"TGADC", "TGDDF", "TGWF2"};

// The rows as the program shows them before the unit has confirmed anything.
inline const Lines UNCONFIRMED_ROWS{"A 0 dimmed yellow", "D 0 dimmed yellow", "W 0 dimmed yellow"};
// What their value controls show meanwhile: no number, since none came from the unit.
inline const Lines PLACEHOLDERS{"—", "—", "—"};

inline std::string PortFileText(int port) {
    return "[Port]\r\nCOMNO=" + std::to_string(port) + "\r\n";
}

class ProgramTest : public testing::Test {
  protected:
    enum { MAX_PORT = 4 };
    // How long the operator waits for something the program should do; a reply timeout is 2 s.
    static constexpr int WAIT_MS = 10000;
    // How long after the operator's script the program may take to end.
    static constexpr int END_MS = 5000;

    struct Row {
        char code;
        int value;
        int lamp;
        int write;
    };
    static constexpr Row ROWS[] = {
        {'A', ASPIRATION_VALUE, ASPIRATION_LAMP, ASPIRATION_WRITE},
        {'D', DELAY_VALUE, DELAY_LAMP, DELAY_WRITE},
        {'W', WASH_VALUE, WASH_LAMP, WASH_WRITE},
    };

    std::filesystem::path dir;
    Popups popups;
    std::string statusAtEnd;        // the status line as the program ended
    SimProcess units[MAX_PORT + 1]; // by port number

    void SetUp() override {
        char pattern[] = "/tmp/tamsel-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        OverrideProjectDir(dir.string());
        for (int port = 1; port <= MAX_PORT; port++)
            setenv(PortVariable(port).c_str(), ComPath(port).c_str(), 1);
        // Tests in one process share the device link's state: each starts from power-up.
        Dv3Gate = 0;
        Dv3ComNo = 0;
        Dv3MsPnt = 0;
        Dv3MsRdy = 0;
        Dv3Ms[0] = '\0';
        TamselTOut = 0;
        SetPopupHook([this](const std::string &title, const std::string &text) {
            popups.emplace_back(title, text);
        });
    }

    void TearDown() override {
        SetPopupHook({});
        OverrideProjectDir("");
        for (int port = 1; port <= MAX_PORT; port++) {
            units[port].stop();
            unsetenv(PortVariable(port).c_str());
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // ---------------------------------------------------------------------------------------------
    // The test's own directory: the program's directory, and the device paths of ports 1 to 4.

    static std::string PortVariable(int port) { return "TAMSEL_COM" + std::to_string(port); }
    std::string ComPath(int port) const { return (dir / ("com" + std::to_string(port))).string(); }
    std::filesystem::path IniPath() const { return dir / "TAMSEL.INI"; }

    static std::string ReadFile(const std::filesystem::path &path) {
        std::ostringstream bytes;
        bytes << std::ifstream(path, std::ios::binary).rdbuf();
        return bytes.str();
    }
    static void WriteFile(const std::filesystem::path &path, const std::string &bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    // Starts a simulated unit on port's device path. It echoes every command it receives.
    void StartUnit(int port, std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--echo", "--link", ComPath(port)});
        ASSERT_TRUE(units[port].start(options)) << units[port].error();
    }

    // The commands the unit on port received since the last call, in order, without their CR.
    // A unit echoes a command before it answers it, so every answered command is already here
    // and the short wait only ends the list.
    Lines Received(int port) {
        Lines lines;
        while (auto line = units[port].readLine(20))
            lines.push_back(*line);
        return lines;
    }

    // ---------------------------------------------------------------------------------------------
    // Running the program.

    // Runs the program with the operator's script. The script runs inside the program's event
    // loop as soon as the loop starts, before the start-up timer's first tick; WaitUntil lets the
    // program go on meanwhile. When the script returns without having ended the program (Exit,
    // CloseWindow, Terminate; an ASSERT that failed in it included), the fixture chooses Exit.
    // A program that has not ended END_MS after the script fails the test and is ended. Returns
    // TamselMain's result, after discarding the panels so that the next run starts clean.
    int RunProgram(const std::function<void()> &script) {
        endRequested = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] {
            ADD_FAILURE() << "the program did not end within " << END_MS << " ms";
            QuitUserInterface(0);
        });
        QTimer operatorStart;
        operatorStart.setSingleShot(true);
        QObject::connect(&operatorStart, &QTimer::timeout, [&] {
            script();
            if (!endRequested)
                Exit();
            watchdog.start(END_MS);
        });
        operatorStart.start(0);
        char name[] = "Tamsel";
        char *argv[] = {name, nullptr};
        const int result = TamselMain(1, argv);
        operatorStart.stop();
        watchdog.stop();
        exchangeWatch.reset();
        statusAtEnd = StatusLine();
        DiscardPanel(MainPanelHandle);
        return result;
    }

    // Lets the program run (timer ticks, replies, callbacks) until condition holds. False when
    // it still does not hold after timeoutMs.
    static bool WaitUntil(const std::function<bool()> &condition, int timeoutMs = WAIT_MS) {
        const QDeadlineTimer deadline(timeoutMs);
        while (!condition()) {
            if (deadline.hasExpired())
                return false;
            ProcessSystemEvents();
        }
        return true;
    }

    // Lets the program run for ms milliseconds.
    static void LetRun(int ms) {
        WaitUntil([] { return false; }, ms);
    }

    // First contact runs to its end inside one tick of the start-up timer, and it names the port
    // first thing; so once the port is named, the operator sees the outcome, success or failure.
    static bool FirstContactMade() { return Dv3ComNo != 0; }
    static bool WaitForFirstContact() { return WaitUntil(FirstContactMade); }

    // Runs action once, from inside the event loop, as soon as an exchange holds the gate: while
    // that exchange polls for its reply. Only meaningful after first contact (the gate is taken
    // until then). The watch fires on every pass of the loop: an exchange with a quick unit can
    // end within a millisecond, and a watch with an interval of its own could miss it.
    void DuringNextExchange(std::function<void()> action) {
        exchangeWatch = std::make_unique<QTimer>();
        exchangeWatch->setInterval(0);
        QObject::connect(exchangeWatch.get(), &QTimer::timeout, [this, action] {
            if (Dv3Gate != 0)
                return;
            exchangeWatch->stop();
            action();
        });
        exchangeWatch->start();
    }

    // ---------------------------------------------------------------------------------------------
    // The operator's actions, through the window's own widgets.

    // Types text into a value control and commits it with Enter.
    static void Enter(int valueControl, const char *text) {
        auto *spin = qobject_cast<QDoubleSpinBox *>(ControlWidget(MainPanelHandle, valueControl));
        ASSERT_NE(spin, nullptr);
        spin->setFocus(Qt::TabFocusReason);
        spin->selectAll();
        QTest::keyClicks(spin, text);
        QTest::keyClick(spin, Qt::Key_Return);
    }

    static void Click(int panel, int control) {
        QWidget *button = ControlWidget(panel, control);
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    static void Press(int mainPanelButton) { Click(MainPanelHandle, mainPanelButton); }

    // Tabs from a main panel control to the button after it and presses the button with Space:
    // the keyboard operator's click.
    static void TabAndPress(int fromControl, int button) {
        QWidget *from = ControlWidget(MainPanelHandle, fromControl);
        ASSERT_NE(from, nullptr);
        from->setFocus(Qt::TabFocusReason);
        QTest::keyClick(from, Qt::Key_Tab);
        ASSERT_EQ(FocusedControl(), button);
        QTest::keyClick(ControlWidget(MainPanelHandle, button), Qt::Key_Space);
    }

    // Presses Return wherever the main panel's keyboard focus is.
    static void PressReturn() {
        QWidget *window = PanelWidget(MainPanelHandle);
        QWidget *focused = window->focusWidget();
        QTest::keyClick(focused ? focused : window, Qt::Key_Return);
    }

    // The main panel control that holds the keyboard focus; 0 when none does.
    static int FocusedControl() {
        QWidget *focused = PanelWidget(MainPanelHandle)->focusWidget();
        for (int control = ASPIRATION_VALUE; focused && control <= REFRESH; control++) {
            QWidget *widget = ControlWidget(MainPanelHandle, control);
            if (widget && (widget == focused || widget->isAncestorOf(focused)))
                return control;
        }
        return 0;
    }

    static void Choose(const char *menuCallback) {
        ASSERT_EQ(TriggerMenuCommand(MainPanelHandle, menuCallback), 0) << menuCallback;
    }

    // Moves the port selector of the setup panel to port with the arrow keys.
    static void SelectPort(int port) {
        auto *ring = qobject_cast<QComboBox *>(ControlWidget(SetUpPanelHandle, COM_PORT_RING));
        ASSERT_NE(ring, nullptr);
        while (ring->currentIndex() < port - 1)
            QTest::keyClick(ring, Qt::Key_Down);
        while (ring->currentIndex() > port - 1)
            QTest::keyClick(ring, Qt::Key_Up);
    }

    void Exit() {
        endRequested = true;
        Choose("ExitCallback");
    }
    void CloseWindow() {
        endRequested = true;
        PanelWidget(MainPanelHandle)->close();
    }
    // The run-time turns SIGTERM into the end of the event loop.
    void Terminate() {
        endRequested = true;
        raise(SIGTERM);
    }

    // ---------------------------------------------------------------------------------------------
    // What the operator sees.

    static bool SetUpPanelShown() { return PanelWidget(SetUpPanelHandle)->isVisible(); }
    static int SelectedPortIndex() {
        int index = -1;
        GetCtrlIndex(SetUpPanelHandle, COM_PORT_RING, &index);
        return index;
    }

    static int LampColour(const Row &row) {
        int colour = -1;
        GetCtrlAttribute(MainPanelHandle, row.lamp, ATTR_ON_COLOR, &colour);
        return colour;
    }

    // One row of the main panel: code, exact value, dimmed or operable, lamp colour; for
    // example "D 0.30000001192092896 operable green".
    static std::string ShownRow(const Row &row) {
        double value = -1;
        int dimmed = -1;
        int lamp = -1;
        GetCtrlVal(MainPanelHandle, row.value, &value);
        GetCtrlAttribute(MainPanelHandle, row.value, ATTR_DIMMED, &dimmed);
        GetCtrlAttribute(MainPanelHandle, row.lamp, ATTR_ON_COLOR, &lamp);
        char text[64]; // code, %.17g of a double (at most 24), the two words
        snprintf(text, sizeof text, "%c %.17g %s %s", row.code, value,
                 dimmed == 1   ? "dimmed"
                 : dimmed == 0 ? "operable"
                               : "?",
                 lamp == VAL_GREEN    ? "green"
                 : lamp == VAL_YELLOW ? "yellow"
                                      : "other");
        return text;
    }
    // The main panel's status line: the link's port, its device and its state.
    static std::string StatusLine() {
        for (QLabel *label : PanelWidget(MainPanelHandle)->findChildren<QLabel *>())
            if (label->property("portStatus").toBool())
                return label->text().toStdString();
        return "(no status line)";
    }
    std::string PortStatus(int port, const char *state) const {
        return "COM" + std::to_string(port) + " · " + ComPath(port) + " · " + state;
    }

    // What the operator reads in each value control: "2.5 s", or the placeholder.
    static Lines ShownTexts() {
        Lines texts;
        for (const Row &row : ROWS)
            texts.push_back(
                qobject_cast<QDoubleSpinBox *>(ControlWidget(MainPanelHandle, row.value))
                    ->text()
                    .toStdString());
        return texts;
    }
    static Lines ShownRows() {
        Lines rows;
        for (const Row &row : ROWS)
            rows.push_back(ShownRow(row));
        return rows;
    }

  private:
    bool endRequested = false;
    std::unique_ptr<QTimer> exchangeWatch;
};

#endif
