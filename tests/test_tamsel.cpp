// The program end to end: start-up and first contact, timer editing, the busy gate as the operator
// meets it, the version report, the communication setup and shutdown, each run as the operator
// runs it against simulated units on pseudo-terminals.
#include "program_fixture.h"

#include <QLocale>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A parameterised case is named by its name field, in test names and (PrintTo) in failures.
struct CaseName {
    template <class Case> std::string operator()(const testing::TestParamInfo<Case> &info) const {
        return info.param.name;
    }
};

// What a unit that did not identify itself received at first contact.
const Lines IDENTIFICATION_COMMANDS{"?", "SVA9"};
// The rows filled from a unit with its default counts, 25, 10 and 50.
const Lines DEFAULT_UNIT_ROWS{"A 2.5 operable green", "D 1 operable green", "W 5 operable green"};

// ---------------------------------------------------------------------------------------------
// Start-up and first contact

class StartUp : public ProgramTest {};

TEST_F(StartUp, CreatesThePortFileIdentifiesTheUnitAndFillsTheRows) {
    StartUnit(2, {"--aspiration", "25", "--delay", "3", "--wash", "65535"});
    const int result = RunProgram([&] {
        EXPECT_FALSE(fs::exists(IniPath()));
        EXPECT_EQ(ShownRows(), UNCONFIRMED_ROWS);
        EXPECT_EQ(ShownTexts(), PLACEHOLDERS);
        // Every value control is dimmed: the focus rests on Refresh, where Enter presses nothing
        // (a write would be turned away by the gate, with a box).
        EXPECT_EQ(FocusedControl(), REFRESH);
        PressReturn();
        ASSERT_TRUE(WaitForFirstContact());
        EXPECT_EQ(ShownRows(),
                  (Lines{"A 2.5 operable green", "D 0.30000001192092896 operable green",
                         "W 6553.5 operable green"}));
        EXPECT_EQ(ShownTexts(), (Lines{"2.5 s", "0.3 s", "6553.5 s"}));
        EXPECT_EQ(StatusLine(), PortStatus(2, "open"));
        PressReturn();
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(statusAtEnd, PortStatus(2, "closed"));
    EXPECT_EQ(ReadFile(IniPath()), "[Port]\r\nCOMNO=2\r\n");
    EXPECT_EQ(Received(2), FIRST_CONTACT_COMMANDS);
    EXPECT_EQ(popups, Popups{});
}

struct StartUpCase {
    const char *name;
    std::optional<std::vector<std::string>> unit; // options of the unit on port 2; none: no unit
    std::optional<std::string> iniBefore;         // TAMSEL.INI before the start; none: missing
    Popups popups;
    Lines received; // by the unit on port 2
    Lines rows;
    std::string iniAfter;
    const char *portState; // of port 2, on the status line
};
void PrintTo(const StartUpCase &c, std::ostream *os) {
    *os << c.name;
}

const StartUpCase START_UP_CASES[] = {
    {"NoPort",
     std::nullopt,
     std::nullopt,
     {PORT_NOT_FOUND_BOX},
     {},
     UNCONFIRMED_ROWS,
     PortFileText(2),
     "could not be opened"},
    {"SilentUnit",
     std::vector<std::string>{"--silent"},
     std::nullopt,
     {PUMP_NOT_FOUND_BOX},
     {"?", "SVA9"},
     UNCONFIRMED_ROWS,
     PortFileText(2),
     "open"},
    // Port 3 has no unit: only going on with port 2 reaches one.
    {"BadPortFileGoesOnWithPort2",
     std::vector<std::string>{},
     "[Port]\r\ncomno=3\r\n",
     {INI_ERROR_BOX},
     FIRST_CONTACT_COMMANDS,
     DEFAULT_UNIT_ROWS,
     "[Port]\r\ncomno=3\r\n",
     "open"},
    // Delay and wash are not asked for once the aspiration read has failed.
    {"FirstReadFails",
     std::vector<std::string>{"--bad-value"},
     std::nullopt,
     {READ_ERROR_BOX},
     {"?", "SVA9", "TGADC"},
     UNCONFIRMED_ROWS,
     PortFileText(2),
     "open"},
};

class StartUpFailure : public ProgramTest, public testing::WithParamInterface<StartUpCase> {};

TEST_P(StartUpFailure, IsShownOnceAndTheProgramStaysUp) {
    const StartUpCase &c = GetParam();
    if (c.unit)
        StartUnit(2, *c.unit);
    if (c.iniBefore)
        WriteFile(IniPath(), *c.iniBefore);
    const int result = RunProgram([&] {
        ASSERT_TRUE(WaitForFirstContact());
        EXPECT_EQ(popups, c.popups);
        EXPECT_EQ(ShownRows(), c.rows);
        if (c.rows == UNCONFIRMED_ROWS) {
            EXPECT_EQ(ShownTexts(), PLACEHOLDERS);
        }
        EXPECT_EQ(StatusLine(), PortStatus(2, c.portState));
        // Enter after the box has been dismissed sends nothing.
        EXPECT_EQ(FocusedControl(), REFRESH);
        PressReturn();
        // First contact is tried once: more start-up ticks change nothing.
        const Popups seen = popups;
        LetRun(300);
        EXPECT_EQ(popups, seen);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(IniPath()), c.iniAfter);
    EXPECT_EQ(Received(2), c.received);
}

INSTANTIATE_TEST_SUITE_P(Cases, StartUpFailure, testing::ValuesIn(START_UP_CASES), CaseName());

// ---------------------------------------------------------------------------------------------
// Timer editing

enum class Way {
    Click,             // a typed value is committed with Enter, then Write is clicked
    Keyboard,          // ... then Tab to Write and Space
    ClickWithoutEnter, // Write is clicked with the typed text still in the field
};

struct WriteCase {
    const char *name;
    std::vector<std::string> unit; // options of the unit on port 2
    const char *locale;            // the program's locale; nullptr: the test's own
    bool offAtStart;               // the unit is silent at first contact, and answers after it
    int row;                       // index into ROWS
    const char *typed;             // nullptr: written as shown, without an edit
    Way way;
    Lines received;
    std::string rowAfter;
    const char *shownAfter; // the field's text
    Popups popups;
};
void PrintTo(const WriteCase &c, std::ostream *os) {
    *os << c.name;
}

const WriteCase WRITE_CASES[] = {
    {"TwoAndAHalfIsCount25",
     {"--aspiration", "100"},
     nullptr,
     false,
     0,
     "2.5",
     Way::Click,
     {"TA00195F", "TGADC"},
     "A 2.5 operable green",
     "2.5 s",
     {}},
    // A German PC, an operator used to the decimal point.
    {"GermanTwoPointFiveIsCount25",
     {"--aspiration", "100"},
     "de_DE",
     false,
     0,
     "2.5",
     Way::Click,
     {"TA00195F", "TGADC"},
     "A 2.5 operable green",
     "2,5 s",
     {}},
    // The field holds one decimal: 0.04 is taken as 0.0, which is count 0.
    {"FourHundredthsIsCount0",
     {},
     nullptr,
     false,
     1,
     "0.04",
     Way::Keyboard,
     {"TD000058", "TGDDF"},
     "D 0 operable green",
     "0.0 s",
     {}},
    {"LargestValueIsCountFFFF",
     {"--wash", "0"},
     nullptr,
     false,
     2,
     "6553.5",
     Way::Click,
     {"TWFFFFC3", "TGWF2"},
     "W 6553.5 operable green",
     "6553.5 s",
     {}},
    // Write takes what the field shows, as Enter would: the lamp turns yellow, then it writes.
    {"TypedAndClickedWithoutEnterWritesWhatIsShown",
     {},
     nullptr,
     false,
     0,
     "3.7",
     Way::ClickWithoutEnter,
     {"TA00255C", "TGADC"},
     "A 3.7000000000000002 operable green",
     "3.7 s",
     {}},
    {"NotANumberClickedWritesNothing",
     {},
     "de_DE",
     false,
     0,
     "1.234,5",
     Way::ClickWithoutEnter,
     {},
     "A 2.5 operable green",
     "2,5 s",
     {}},
    // The unit was off at start: the row has no value, and its Write is dimmed with its field.
    {"RowWithNoValueWritesNothing",
     {"--silent"},
     nullptr,
     true,
     0,
     nullptr,
     Way::Click,
     {},
     "A 0 dimmed yellow",
     "—",
     {PUMP_NOT_FOUND_BOX}},
    {"ReadBackDiffersEditedRowStaysYellow",
     {"--readback-differs", "--aspiration", "100"},
     nullptr,
     false,
     0,
     "2.5",
     Way::Keyboard,
     {"TA00195F", "TGADC"},
     "A 2.5 operable yellow",
     "2.5 s",
     {UPDATE_ERROR_BOX}},
    {"ReadBackDiffersConfirmedRowStaysGreen",
     {"--readback-differs"},
     nullptr,
     false,
     1,
     nullptr,
     Way::Keyboard,
     {"TD000A69", "TGDDF"},
     "D 1 operable green",
     "1.0 s",
     {UPDATE_ERROR_BOX}},
};

class Write : public ProgramTest, public testing::WithParamInterface<WriteCase> {
  protected:
    // Each row's write button is dimmed exactly while its value control is.
    static void ExpectWriteDimmedWithItsValue() {
        for (const Row &row : ROWS) {
            int value = -1, write = -1;
            GetCtrlAttribute(MainPanelHandle, row.value, ATTR_DIMMED, &value);
            GetCtrlAttribute(MainPanelHandle, row.write, ATTR_DIMMED, &write);
            EXPECT_EQ(write, value) << row.code;
        }
    }
};

TEST_P(Write, SendsTheCountAndTheLampFollowsTheReadBack) {
    const WriteCase &c = GetParam();
    const Row &row = ROWS[c.row];
    StartUnit(2, c.unit);
    const QLocale testLocale;
    if (c.locale)
        QLocale::setDefault(QLocale(QString::fromLatin1(c.locale)));
    int lampWhileWriting = -1;
    const int result = RunProgram([&] {
        ASSERT_TRUE(WaitForFirstContact());
        ASSERT_EQ(Received(2), c.offAtStart ? IDENTIFICATION_COMMANDS : FIRST_CONTACT_COMMANDS);
        ExpectWriteDimmedWithItsValue();
        if (c.offAtStart) {
            ASSERT_TRUE(units[2].send("silent off"));
        }
        if (c.typed && c.way == Way::ClickWithoutEnter) {
            auto *value = qobject_cast<QDoubleSpinBox *>(ControlWidget(MainPanelHandle, row.value));
            value->setFocus(Qt::TabFocusReason);
            value->selectAll();
            QTest::keyClicks(value, c.typed);
        } else if (c.typed) {
            Enter(row.value, c.typed);
            EXPECT_EQ(LampColour(row), VAL_YELLOW) << "an edit is not confirmed";
        }
        DuringNextExchange([&] { lampWhileWriting = LampColour(row); });
        if (c.way == Way::Keyboard)
            TabAndPress(row.value, row.write);
        else
            Press(row.write);
        EXPECT_EQ(ShownRow(row), c.rowAfter);
        EXPECT_EQ(ShownTexts()[static_cast<size_t>(c.row)], c.shownAfter);
        EXPECT_EQ(Received(2), c.received);
        EXPECT_EQ(lampWhileWriting, c.received.empty() ? -1 : c.typed ? VAL_YELLOW : VAL_GREEN);
        ExpectWriteDimmedWithItsValue();
        // Once a box has been dismissed the focus has left the write button; wherever it is,
        // Enter writes nothing.
        if (!c.popups.empty() && !c.offAtStart) {
            EXPECT_EQ(FocusedControl(), ASPIRATION_VALUE);
        }
        PressReturn();
        EXPECT_EQ(Received(2), Lines{});
        if (c.offAtStart) {
            Press(REFRESH);
            EXPECT_EQ(ShownRows(), DEFAULT_UNIT_ROWS);
            ExpectWriteDimmedWithItsValue();
        }
    });
    QLocale::setDefault(testLocale);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(popups, c.popups);
}

INSTANTIATE_TEST_SUITE_P(Cases, Write, testing::ValuesIn(WRITE_CASES), CaseName());

class Editing : public ProgramTest {};

TEST_F(Editing, RefreshShowsWhatTheUnitReportsAndConfirmsEveryRow) {
    StartUnit(2);
    const int result = RunProgram([&] {
        ASSERT_TRUE(WaitForFirstContact());
        Received(2);
        Enter(ASPIRATION_VALUE, "7.5");
        Enter(WASH_VALUE, "0.1");
        EXPECT_EQ(ShownRows(), (Lines{"A 7.5 operable yellow", "D 1 operable green",
                                      "W 0.10000000000000001 operable yellow"}));
        // The unit's own value changes meanwhile.
        ASSERT_TRUE(units[2].send("set D 45"));
        Press(REFRESH);
        EXPECT_EQ(ShownRows(),
                  (Lines{"A 2.5 operable green", "D 4.5 operable green", "W 5 operable green"}));
        EXPECT_EQ(Received(2), READ_ALL_COMMANDS);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(popups, Popups{});
}

// ---------------------------------------------------------------------------------------------
// The busy gate: a second exchange asked for while one polls the line

struct BusyCase {
    const char *name;
    std::vector<std::string> unit;
    bool silentDuringRefresh;
    Popups refreshPopups; // the refresh's own, after the turned-away requests'
    Lines received;       // during the refresh
    Lines rowsAfter;
};
void PrintTo(const BusyCase &c, std::ostream *os) {
    *os << c.name;
}

const BusyCase BUSY_CASES[] = {
    {"SlowUnit", {"--split-gap-ms", "5"}, false, {}, READ_ALL_COMMANDS, DEFAULT_UNIT_ROWS},
    {"SilentUnit",
     {},
     true,
     {READ_ERROR_BOX, NOT_READ_BOX},
     {"TGADC"},
     {"A 2.5 operable yellow", "D 1 operable yellow", "W 5 operable yellow"}},
};

class Busy : public ProgramTest, public testing::WithParamInterface<BusyCase> {};

TEST_P(Busy, RequestsDuringARefreshAreTurnedAwayEachWithItsOwnBox) {
    const BusyCase &c = GetParam();
    StartUnit(2, c.unit);
    bool requestedWhilePolling = false;
    const int result = RunProgram([&] {
        ASSERT_TRUE(WaitForFirstContact());
        ASSERT_EQ(Received(2), FIRST_CONTACT_COMMANDS);
        if (c.silentDuringRefresh) {
            ASSERT_TRUE(units[2].send("silent on"));
        }
        DuringNextExchange([&] {
            requestedWhilePolling = true;
            Press(ASPIRATION_WRITE);
            Press(REFRESH);
            Choose("AboutCallback");
        });
        Press(REFRESH);
        EXPECT_EQ(ShownRows(), c.rowsAfter);
        EXPECT_EQ(Received(2), c.received) << "a turned-away request sends nothing";
        EXPECT_NE(FocusedControl(), ASPIRATION_WRITE);
        PressReturn();
        EXPECT_EQ(Received(2), Lines{});
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(requestedWhilePolling);
    Popups expected{BUSY_BOX, UPDATE_ERROR_BOX, BUSY_BOX, NOT_READ_BOX, BUSY_BOX};
    expected.insert(expected.end(), c.refreshPopups.begin(), c.refreshPopups.end());
    EXPECT_EQ(popups, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Busy, testing::ValuesIn(BUSY_CASES), CaseName());

// ---------------------------------------------------------------------------------------------
// Version report

class About : public ProgramTest {};

TEST_F(About, BeforeFirstContactShowsOnlyTheBusyBox) {
    StartUnit(2);
    const int result = RunProgram([&] {
        ASSERT_FALSE(FirstContactMade());
        Choose("AboutCallback");
        EXPECT_EQ(popups, Popups{BUSY_BOX});
        ASSERT_TRUE(WaitForFirstContact());
        EXPECT_EQ(ShownRows(), DEFAULT_UNIT_ROWS);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(popups, Popups{BUSY_BOX});
    EXPECT_EQ(Received(2), FIRST_CONTACT_COMMANDS);
}

TEST_F(About, AfterFirstContactShowsTheUnitsIdentification) {
    StartUnit(2, {"--id", "KX_TAMSEL E2E 4.2"});
    const int result = RunProgram([&] {
        ASSERT_TRUE(WaitForFirstContact());
        ASSERT_EQ(Received(2), FIRST_CONTACT_COMMANDS);
        Choose("AboutCallback");
        EXPECT_EQ(Received(2), (Lines{"?", "SVA9"}));
    });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(popups.size(), 1u);
    EXPECT_EQ(popups[0].first, "Software Versions");
    const std::string &report = popups[0].second;
    EXPECT_EQ(report.rfind(std::string(23, ' '), 0), 0u) << "indented banner line";
    // The identification line keeps the unit's own carriage return.
    EXPECT_NE(report.find("\r\n\n\nDorvan Setup utility: 1.0.0.4  (15-03-2012)\r\n\n"
                          "Dorvan System       : KX_TAMSEL E2E 4.2\r\r\n\n"),
              std::string::npos)
        << report;
}

// ---------------------------------------------------------------------------------------------
// Communication setup

// The unit on port 3 holds other counts than the one on port 2.
const std::vector<std::string> PORT_3_UNIT{"--aspiration", "35", "--delay", "45", "--wash", "55"};
const Lines PORT_3_ROWS{"A 3.5 operable green", "D 4.5 operable green", "W 5.5 operable green"};
// The port file as an editor may leave it: a rewrite by the program shows in the line ends.
const std::string PORT_FILE_WITH_LF = "[Port]\nCOMNO=2\n";

enum class Answer { ClickOk, ClickCancel, Return, Escape };

struct SetUpCase {
    const char *name;
    int chosenPort;
    Answer answer;
    Popups popups;
    int portAfter;
    std::string iniAfter;
    int readsFrom; // port whose unit a refresh reads from afterwards; 0: no refresh
};
void PrintTo(const SetUpCase &c, std::ostream *os) {
    *os << c.name;
}

const SetUpCase SET_UP_CASES[] = {
    {"AnotherPortMovesTheLinkAndIsStored", 3, Answer::ClickOk, {}, 3, PortFileText(3), 3},
    {"ThePortInUseIsReopenedAndStoredAgain", 2, Answer::ClickOk, {}, 2, PortFileText(2), 2},
    {"APortWithoutDeviceIsRefused", 4, Answer::ClickOk, {SETUP_ERROR_BOX}, 2, PORT_FILE_WITH_LF, 0},
    {"CancelChangesNothing", 3, Answer::ClickCancel, {}, 2, PORT_FILE_WITH_LF, 2},
    {"ReturnInTheSelectorAccepts", 3, Answer::Return, {}, 3, PortFileText(3), 3},
    {"EscapeInTheSelectorCancels", 3, Answer::Escape, {}, 2, PORT_FILE_WITH_LF, 2},
};

class CommunicationSetUp : public ProgramTest, public testing::WithParamInterface<SetUpCase> {};

TEST_P(CommunicationSetUp, OpensOnThePortInUseAndActsOnTheChoice) {
    const SetUpCase &c = GetParam();
    StartUnit(2);
    StartUnit(3, PORT_3_UNIT);
    const int result = RunProgram([&] {
        ASSERT_TRUE(WaitForFirstContact());
        ASSERT_EQ(ShownRows(), DEFAULT_UNIT_ROWS);
        ASSERT_EQ(Received(2), FIRST_CONTACT_COMMANDS);
        WriteFile(IniPath(), PORT_FILE_WITH_LF);
        // The operator had tabbed to a write button before opening the setup.
        QWidget *write = ControlWidget(MainPanelHandle, ASPIRATION_WRITE);
        write->setFocus(Qt::TabFocusReason);
        ASSERT_EQ(FocusedControl(), ASPIRATION_WRITE);

        Choose("CommSetUpCallback");
        EXPECT_TRUE(SetUpPanelShown());
        EXPECT_EQ(SelectedPortIndex(), 1);
        QWidget *ring = ControlWidget(SetUpPanelHandle, COM_PORT_RING);
        EXPECT_TRUE(WaitUntil([ring] { return ring->hasFocus(); }, 2000)) << "selector active";
        // Ports 2 and 3 lead to units, 1 and 4 to nothing.
        auto *list = qobject_cast<QComboBox *>(ring);
        for (int port = 1; port <= MAX_PORT; port++)
            EXPECT_EQ(list->itemText(port - 1).toStdString(),
                      "COM" + std::to_string(port) + " · " + ComPath(port) +
                          (port == 2 || port == 3 ? "" : " · not present"));
        SelectPort(c.chosenPort);
        ASSERT_EQ(SelectedPortIndex(), c.chosenPort - 1);
        switch (c.answer) {
        case Answer::ClickOk:
            Click(SetUpPanelHandle, SETUP_OK);
            break;
        case Answer::ClickCancel:
            Click(SetUpPanelHandle, SETUP_CANCEL);
            break;
        case Answer::Return:
            QTest::keyClick(ring, Qt::Key_Return);
            break;
        case Answer::Escape:
            // A shortcut presses its button the way a click looks: down, then up a moment later.
            QTest::keyClick(ring, Qt::Key_Escape);
            WaitUntil([] { return !SetUpPanelShown(); }, 2000);
            break;
        }

        EXPECT_FALSE(SetUpPanelShown());
        const bool accepted = c.answer == Answer::ClickOk || c.answer == Answer::Return;
        EXPECT_EQ(StatusLine(), accepted && c.popups.empty() ? PortStatus(c.chosenPort, "open")
                                : accepted ? PortStatus(c.chosenPort, "could not be opened")
                                           : PortStatus(2, "open"));
        EXPECT_EQ(FocusedControl(), ASPIRATION_VALUE) << "the focus left the write button";
        PressReturn();
        EXPECT_EQ(popups, c.popups);
        EXPECT_EQ(Dv3ComNo, c.portAfter);
        EXPECT_EQ(ReadFile(IniPath()), c.iniAfter);
        EXPECT_EQ(ShownRows(), DEFAULT_UNIT_ROWS) << "the rows are not read again";
        // The selector opens on the port in use, whatever was chosen last.
        Choose("CommSetUpCallback");
        EXPECT_EQ(SelectedPortIndex(), c.portAfter - 1);
        Click(SetUpPanelHandle, SETUP_CANCEL);
        if (c.readsFrom == 0)
            return;
        Press(REFRESH);
        EXPECT_EQ(ShownRows(), c.readsFrom == 3 ? PORT_3_ROWS : DEFAULT_UNIT_ROWS);
        EXPECT_EQ(Received(c.readsFrom), READ_ALL_COMMANDS);
        EXPECT_EQ(Received(c.readsFrom == 3 ? 2 : 3), Lines{});
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(popups, c.popups);
}

INSTANTIATE_TEST_SUITE_P(Cases, CommunicationSetUp, testing::ValuesIn(SET_UP_CASES), CaseName());

class CommunicationSetUpAfterFailure : public ProgramTest {};

TEST_F(CommunicationSetUpAfterFailure, MovesTheLinkWhenFirstContactFoundNoPort) {
    StartUnit(3, PORT_3_UNIT);
    const int result = RunProgram([&] {
        ASSERT_TRUE(WaitForFirstContact());
        ASSERT_EQ(popups, Popups{PORT_NOT_FOUND_BOX});
        Choose("CommSetUpCallback");
        EXPECT_EQ(SelectedPortIndex(), 1);
        SelectPort(3);
        Click(SetUpPanelHandle, SETUP_OK);
        EXPECT_EQ(popups, Popups{PORT_NOT_FOUND_BOX});
        EXPECT_EQ(ReadFile(IniPath()), PortFileText(3));
        // One Enter once used to write 0 over the unit's aspiration time here.
        EXPECT_EQ(FocusedControl(), REFRESH);
        PressReturn();
        EXPECT_EQ(Received(3), Lines{});
        EXPECT_EQ(ShownRows(), UNCONFIRMED_ROWS);
        Press(REFRESH);
        EXPECT_EQ(ShownRows(), PORT_3_ROWS);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(popups, Popups{PORT_NOT_FOUND_BOX});
    EXPECT_EQ(Received(3), READ_ALL_COMMANDS);
}

// The operator's own USB adapter: no port 1 to 4 stands for it, and udev names it in
// /dev/serial/by-id. Here the adapter is a unit whose pseudo-terminal that name links to, and
// port 2, the port in use, has no device of its own.
class OperatorsAdapter : public ProgramTest {
  protected:
    const fs::path byId = "/dev/serial/by-id";
    const fs::path link = byId / ("usb-Tamsel_E2E_Adapter_" + std::to_string(getpid()) + "-if00-port0");
    SimProcess adapter;
    bool madeById = false;

    void SetUp() override {
        ProgramTest::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "plants a link in " << byId << ", which only root may: run as root";
        madeById = !fs::exists(byId);
        fs::create_directories(byId);
        unsetenv(PortVariable(2).c_str());
        ASSERT_TRUE(adapter.start({"--echo", "--aspiration", "35", "--delay", "45", "--wash", "55",
                                   "--link", link.string()}))
            << adapter.error();
    }
    void TearDown() override {
        adapter.stop();
        std::error_code ignored;
        fs::remove(link, ignored);
        if (madeById) {
            fs::remove(byId, ignored);
            fs::remove(byId.parent_path(), ignored);
        }
        ProgramTest::TearDown();
    }
    Lines AdapterReceived() {
        Lines lines;
        while (auto line = adapter.readLine(20))
            if (line->rfind("PATH ", 0) != 0)
                lines.push_back(*line);
        return lines;
    }
    // Whether the status line shows the bound port in state: the link's path is long, and may be
    // shortened in the middle to fit the window.
    bool StatusShows(const std::string &state) const {
        const std::string line = StatusLine(), head = "COM2 · ", tail = " · " + state;
        if (line.rfind(head, 0) != 0 || line.size() < head.size() + tail.size() ||
            line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
            return false;
        const std::string shown = line.substr(head.size(), line.size() - head.size() - tail.size());
        const size_t cut = shown.find("…");
        if (cut == std::string::npos)
            return shown == link.string();
        const std::string start = shown.substr(0, cut), end = shown.substr(cut + strlen("…"));
        return link.string().rfind(start, 0) == 0 && link.string().size() > start.size() + end.size() &&
               link.string().compare(link.string().size() - end.size(), end.size(), end) == 0;
    }
    // Starts the program anew, as the operator does the next day.
    int RunAgain(const std::function<void()> &script) {
        Dv3Gate = 0;
        Dv3ComNo = 0;
        popups.clear();
        return RunProgram(script);
    }
};

TEST_F(OperatorsAdapter, ChosenInTheWindowKeptAndFoundAgainAfterAReplug) {
    EXPECT_EQ(RunProgram([&] {
                  ASSERT_TRUE(WaitForFirstContact());
                  ASSERT_EQ(popups, Popups{PORT_NOT_FOUND_BOX});
                  Choose("CommSetUpCallback");
                  auto *list = qobject_cast<QComboBox *>(ControlWidget(SetUpPanelHandle, COM_PORT_RING));
                  int entry = MAX_PORT;
                  char device[MAX_PATHNAME_LEN] = "";
                  while (GetValueFromIndex(SetUpPanelHandle, COM_PORT_RING, entry, device,
                                           sizeof device) == 0 &&
                         device != link.string())
                      entry++;
                  ASSERT_EQ(device, link.string()) << "the adapter is listed after the ports";
                  // Its tty, and what it says of itself: here only the name udev gave it.
                  EXPECT_EQ(list->itemText(entry).toStdString().rfind(adapter.path() + " · usb-", 0), 0u)
                      << list->itemText(entry).toStdString();
                  while (list->currentIndex() < entry)
                      QTest::keyClick(list, Qt::Key_Down);
                  QTest::keyClick(list, Qt::Key_Return);
                  EXPECT_TRUE(StatusShows("open")) << StatusLine();
                  EXPECT_EQ(ReadFile(IniPath()),
                            "[Port]\r\nCOMNO=2\r\nCOM2=" + link.string() + "\r\n");
                  // Port 2 now stands for the adapter, which is no longer listed below the ports.
                  Choose("CommSetUpCallback");
                  EXPECT_EQ(list->itemText(1).toStdString().rfind("COM2 · /dev/serial/by-id/", 0), 0u)
                      << list->itemText(1).toStdString();
                  EXPECT_EQ(list->findText(QString::fromStdString(adapter.path()),
                                           Qt::MatchStartsWith),
                            -1);
                  Click(SetUpPanelHandle, SETUP_CANCEL);
                  Press(REFRESH);
                  EXPECT_EQ(ShownRows(), PORT_3_ROWS);
                  EXPECT_EQ(AdapterReceived(), READ_ALL_COMMANDS);
              }),
              0);
    EXPECT_EQ(popups, Popups{PORT_NOT_FOUND_BOX});

    // The next start finds it at once; pulled and plugged back in as another tty, the same name
    // leads to it, and Refresh reads it there.
    EXPECT_EQ(RunAgain([&] {
                  ASSERT_TRUE(WaitForFirstContact());
                  EXPECT_TRUE(WaitUntil([] { return ShownRows() == PORT_3_ROWS; }));
                  EXPECT_EQ(AdapterReceived(), FIRST_CONTACT_COMMANDS);
                  ASSERT_TRUE(adapter.send("hangup"));
                  EXPECT_TRUE(WaitUntil([&] { return StatusShows("closed: the line dropped"); }))
                      << StatusLine();
                  ASSERT_TRUE(adapter.send("reopen"));
                  std::optional<std::string> line;
                  while ((line = adapter.readLine(WAIT_MS)) && line->rfind("PATH ", 0) != 0) {
                  }
                  ASSERT_TRUE(line) << "the adapter came back on no new tty";
                  Press(REFRESH);
                  EXPECT_TRUE(StatusShows("open")) << StatusLine();
                  EXPECT_EQ(ShownRows(), PORT_3_ROWS);
                  EXPECT_EQ(AdapterReceived(), READ_ALL_COMMANDS);
              }),
              0);
    EXPECT_EQ(popups, Popups{});
}

// ---------------------------------------------------------------------------------------------
// Shutdown

enum class Stage { BeforeFirstContact, PortNotFound, UnitConnected };
enum class Ending { Exit, CloseWindow, Sigterm };

struct ShutdownCase {
    std::string name;
    Stage stage;
    Ending ending;
};
void PrintTo(const ShutdownCase &c, std::ostream *os) {
    *os << c.name;
}

std::vector<ShutdownCase> ShutdownCases() {
    const std::pair<Stage, const char *> stages[] = {
        {Stage::BeforeFirstContact, "BeforeFirstContact"},
        {Stage::PortNotFound, "PortNotFound"},
        {Stage::UnitConnected, "UnitConnected"},
    };
    const std::pair<Ending, const char *> endings[] = {
        {Ending::Exit, "Exit"},
        {Ending::CloseWindow, "CloseWindow"},
        {Ending::Sigterm, "Sigterm"},
    };
    std::vector<ShutdownCase> cases;
    for (const auto &stage : stages)
        for (const auto &ending : endings)
            cases.push_back({std::string(ending.second) + stage.second, stage.first, ending.first});
    return cases;
}

class Shutdown : public ProgramTest, public testing::WithParamInterface<ShutdownCase> {};

TEST_P(Shutdown, EndsWithZeroAndClosesThePort) {
    const ShutdownCase &c = GetParam();
    if (c.stage != Stage::PortNotFound)
        StartUnit(2);
    std::string statusAtStart;
    const int result = RunProgram([&] {
        statusAtStart = StatusLine();
        if (c.stage == Stage::BeforeFirstContact)
            ASSERT_FALSE(FirstContactMade());
        else
            ASSERT_TRUE(WaitForFirstContact());
        switch (c.ending) {
        case Ending::Exit:
            Exit();
            break;
        case Ending::CloseWindow:
            CloseWindow();
            break;
        case Ending::Sigterm:
            Terminate();
            break;
        }
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(popups, c.stage == Stage::PortNotFound ? Popups{PORT_NOT_FOUND_BOX} : Popups{});
    EXPECT_EQ(statusAtEnd, c.stage == Stage::UnitConnected  ? PortStatus(2, "closed")
                           : c.stage == Stage::PortNotFound ? PortStatus(2, "could not be opened")
                                                            : statusAtStart)
        << "without a port ever opened, the status line stays as it was";
    // A closed port refuses even an empty write.
    EXPECT_EQ(ComWrt(2, "", 0), RT_ERR_NOT_OPEN);
    EXPECT_EQ(Received(2), c.stage == Stage::UnitConnected ? FIRST_CONTACT_COMMANDS : Lines{});
}

INSTANTIATE_TEST_SUITE_P(Cases, Shutdown, testing::ValuesIn(ShutdownCases()), CaseName());

} // namespace
