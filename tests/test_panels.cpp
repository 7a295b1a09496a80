// Panels and controls: the real Tamsel.uir in real offscreen windows, driven as the operator would.
#include "Tamsel.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "test_os.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>


#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

enum { MENU_BAR = 1, MENU_COMM_SETUP = 2, MENU_EXIT = 3, MENU_ABOUT = 4 };

struct Call {
    std::string callback;
    int panel;
    int id; // control number, or menu item
    int event;
};
std::vector<Call> Calls;

// One recorder per name, so a test sees which name the resource bound to which element.
const char *const CONTROL_NAMES[] = {
    "AspirationChange", "DelayChange", "WashChange",      "UpdateAspiration",
    "UpdateDelay",      "UpdateWash",  "RefreshAll",      "AquireTimeSlice",
    "XrayTimeSlice",    "CancelSetUp", "CloseSetUpPanel",
};
const char *const MENU_NAMES[] = {"AboutCallback", "ExitCallback", "CommSetUpCallback"};

template <int N> int RecordControl(int panel, int control, int event, void *, int, int) {
    Calls.push_back({CONTROL_NAMES[N], panel, control, event});
    return 0;
}
template <int N> void RecordMenu(int menuBar, int menuItem, void *, int panel) {
    Calls.push_back({MENU_NAMES[N], panel, menuItem, menuBar});
}
int RecordPanel(int panel, int event, void *, int, int) {
    Calls.push_back({"MainPanelCallback", panel, 0, event});
    return 0;
}

const CallbackName CALLBACKS[] = {
    {CONTROL_NAMES[0], RecordControl<0>, nullptr, nullptr},
    {CONTROL_NAMES[1], RecordControl<1>, nullptr, nullptr},
    {CONTROL_NAMES[2], RecordControl<2>, nullptr, nullptr},
    {CONTROL_NAMES[3], RecordControl<3>, nullptr, nullptr},
    {CONTROL_NAMES[4], RecordControl<4>, nullptr, nullptr},
    {CONTROL_NAMES[5], RecordControl<5>, nullptr, nullptr},
    {CONTROL_NAMES[6], RecordControl<6>, nullptr, nullptr},
    {CONTROL_NAMES[7], RecordControl<7>, nullptr, nullptr},
    {CONTROL_NAMES[8], RecordControl<8>, nullptr, nullptr},
    {CONTROL_NAMES[9], RecordControl<9>, nullptr, nullptr},
    {CONTROL_NAMES[10], RecordControl<10>, nullptr, nullptr},
    {MENU_NAMES[0], nullptr, nullptr, RecordMenu<0>},
    {MENU_NAMES[1], nullptr, nullptr, RecordMenu<1>},
    {MENU_NAMES[2], nullptr, nullptr, RecordMenu<2>},
    {"MainPanelCallback", nullptr, RecordPanel, nullptr},
};
const int CALLBACK_COUNT = sizeof CALLBACKS / sizeof CALLBACKS[0];

std::vector<Call> CallsWith(const std::string &callback, int event) {
    std::vector<Call> found;
    for (const Call &call : Calls)
        if (call.callback == callback && call.event == event)
            found.push_back(call);
    return found;
}

// Lets the loop run until done() holds; the bound only keeps a broken build from hanging.
void RunEventsUntil(const std::function<bool()> &done) {
    QDeadlineTimer bound(10000);
    while (!done() && !bound.hasExpired())
        ProcessSystemEvents();
}

void RunEventsFor(int milliseconds) {
    QDeadlineTimer end(milliseconds);
    RunEventsUntil([&end] { return end.hasExpired(); });
}

QString ResourceText() {
    QFile file(QDir(QCoreApplication::applicationDirPath()).filePath("Tamsel.uir"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return QString::fromUtf8(file.readAll());
}

class Panels : public testing::Test {
  protected:
    int mainPanel = 0;
    int setUpPanel = 0;

    void SetUp() override {
        RegisterCallbacks(CALLBACKS, CALLBACK_COUNT);
        mainPanel = LoadPanel(0, "Tamsel.uir", MAIN_PANEL);
        ASSERT_GT(mainPanel, 0);
        setUpPanel = LoadPanel(mainPanel, "Tamsel.uir", SETUP_PANEL);
        ASSERT_GT(setUpPanel, 0);
        Calls.clear();
    }
    void TearDown() override {
        HidePanel(setUpPanel);
        HidePanel(mainPanel);
    }
    void Show(int panel) {
        ASSERT_EQ(DisplayPanel(panel), 0);
        // QTest's wait counts a child window as active while its parent still is.
        QWidget *window = PanelWidget(panel);
        RunEventsUntil([window] { return QApplication::activeWindow() == window; });
        ASSERT_EQ(QApplication::activeWindow(), window);
    }
    QDoubleSpinBox *Value(int control) {
        return qobject_cast<QDoubleSpinBox *>(ControlWidget(mainPanel, control));
    }
};

TEST_F(Panels, EveryControlOfBothPanelsExistsWithItsKind) {
    for (int control : {ASPIRATION_VALUE, DELAY_VALUE, WASH_VALUE}) {
        QDoubleSpinBox *value = Value(control);
        ASSERT_NE(value, nullptr) << control;
        EXPECT_EQ(value->minimum(), 0.0);
        EXPECT_EQ(value->maximum(), 6553.5);
        EXPECT_EQ(value->decimals(), 1);
    }
    for (int control : {ASPIRATION_LAMP, DELAY_LAMP, WASH_LAMP}) {
        int color = 0;
        EXPECT_EQ(GetCtrlAttribute(mainPanel, control, ATTR_ON_COLOR, &color), 0) << control;
    }
    for (int control : {ASPIRATION_WRITE, DELAY_WRITE, WASH_WRITE, REFRESH})
        EXPECT_NE(qobject_cast<QAbstractButton *>(ControlWidget(mainPanel, control)), nullptr);
    for (int control : {START_UP_TIMER, TIMEOUT_TIMER}) {
        ASSERT_NE(ControlWidget(mainPanel, control), nullptr);
        EXPECT_TRUE(ControlWidget(mainPanel, control)->isHidden());
    }
    auto *ring = qobject_cast<QComboBox *>(ControlWidget(setUpPanel, COM_PORT_RING));
    ASSERT_NE(ring, nullptr);
    ASSERT_EQ(ring->count(), 4);
    for (int i = 0; i < ring->count(); i++)
        EXPECT_TRUE(ring->itemText(i).startsWith(QStringLiteral("COM%1").arg(i + 1)));
    for (int control : {SETUP_OK, SETUP_CANCEL})
        EXPECT_NE(qobject_cast<QAbstractButton *>(ControlWidget(setUpPanel, control)), nullptr);
    // No port has been opened in this process.
    const QList<QLabel *> labels = PanelWidget(mainPanel)->findChildren<QLabel *>();
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const QLabel *label) {
        return label->property("portStatus").toBool() &&
               label->text() == "No serial port opened yet";
    }));

    // The setup panel is a window of its own that leaves the main panel usable.
    QWidget *setUp = PanelWidget(setUpPanel);
    EXPECT_TRUE(setUp->isWindow());
    EXPECT_EQ(setUp->parentWidget(), PanelWidget(mainPanel));
    EXPECT_EQ(setUp->windowModality(), Qt::NonModal);
}

TEST_F(Panels, RelativeResourceNameIsFoundBesideTheProgramNotInTheWorkingDirectory) {
    QTemporaryDir elsewhere;
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
    const int panel = LoadPanel(0, "Tamsel.uir", MAIN_PANEL);
    QDir::setCurrent(before);
    EXPECT_GT(panel, 0);
}

TEST(PanelResource, DefectiveResourcesAreNotLoaded) {
    const QString WRITES = "\"valueControl\" stdset=\"0\">\n           <number>";
    const QString WRITES_ASPIRATION = WRITES + "2</number>";
    struct Case {
        const char *what;
        QString from, to; // edit applied to the real resource; empty from: no edit
        int resourceId;
        bool truncate;
        int expected;
    };
    const Case cases[] = {
        {"unaltered copy", {}, {}, MAIN_PANEL, false, 1},
        {"unknown resource", {}, {}, 3, false, RT_ERR_NO_UI},
        {"malformed file", {}, {}, MAIN_PANEL, true, RT_ERR_NO_UI},
        {"unregistered control callback", "WashChange<", "WashChanged<", MAIN_PANEL, false,
         RT_ERR_NO_UI},
        {"unregistered menu callback", "AboutCallback<", "AboutBox<", MAIN_PANEL, false,
         RT_ERR_NO_UI},
        {"control callback bound to the panel", "MainPanelCallback<", "RefreshAll<", MAIN_PANEL,
         false, RT_ERR_NO_UI},
        {"repeated control number", "<number>14</number>", "<number>13</number>", MAIN_PANEL, false,
         RT_ERR_NO_UI},
        {"no resourceId", "\"resourceId\"", "\"resourceNumber\"", MAIN_PANEL, false, RT_ERR_NO_UI},
        {"write button naming a lamp", WRITES_ASPIRATION, WRITES + "6</number>", MAIN_PANEL, false,
         RT_ERR_NO_UI},
        {"write button naming no control", WRITES_ASPIRATION, WRITES + "99</number>", MAIN_PANEL,
         false, RT_ERR_NO_UI},
    };
    RegisterCallbacks(CALLBACKS, CALLBACK_COUNT);
    QTemporaryDir dir;
    const QString original = ResourceText();
    for (const Case &c : cases) {
        QString text = original;
        if (!c.from.isEmpty()) {
            ASSERT_TRUE(text.contains(c.from)) << c.what;
            text.replace(c.from, c.to);
        }
        if (c.truncate)
            text.truncate(text.size() / 2);
        const QString path = dir.filePath("edited.uir");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
        file.close();
        const int result = LoadPanel(0, path.toLocal8Bit().constData(), c.resourceId);
        if (c.expected > 0)
            EXPECT_GT(result, 0) << c.what;
        else
            EXPECT_EQ(result, c.expected) << c.what;
    }
    EXPECT_EQ(LoadPanel(0, "no-such-resource.uir", MAIN_PANEL), RT_ERR_NO_UI);
    EXPECT_EQ(LoadPanel(0, nullptr, MAIN_PANEL), RT_ERR_ARGUMENT);
    EXPECT_EQ(LoadPanel(9999, "Tamsel.uir", SETUP_PANEL), RT_ERR_ARGUMENT);
}

TEST_F(Panels, BadHandlesAndWrongKindsOfControlAreRefused) {
    double value = 0;
    int index = 0;
    const struct {
        const char *what;
        std::function<int()> call;
    } cases[] = {
        {"value, no panel", [] { return SetCtrlVal(9999, ASPIRATION_VALUE, 1.0); }},
        {"value, no control", [&] { return SetCtrlVal(mainPanel, 99, 1.0); }},
        {"value of a lamp", [&] { return SetCtrlVal(mainPanel, ASPIRATION_LAMP, 1.0); }},
        {"value, not a number", [&] { return SetCtrlVal(mainPanel, ASPIRATION_VALUE, NAN); }},
        {"value, null target", [&] { return GetCtrlVal(mainPanel, ASPIRATION_VALUE, nullptr); }},
        {"value, panel 0", [&] { return GetCtrlVal(0, ASPIRATION_VALUE, &value); }},
        {"index of a value", [&] { return GetCtrlIndex(mainPanel, ASPIRATION_VALUE, &index); }},
        {"index, no panel", [&] { return SetCtrlIndex(-1, COM_PORT_RING, 0); }},
        {"dim, no control", [&] { return SetCtrlAttribute(mainPanel, 99, ATTR_DIMMED, 1); }},
        {"colour of a value",
         [&] { return SetCtrlAttribute(mainPanel, ASPIRATION_VALUE, ATTR_ON_COLOR, VAL_GREEN); }},
        {"unknown attribute", [&] { return SetCtrlAttribute(mainPanel, ASPIRATION_VALUE, 1, 0); }},
        {"focus to a lamp", [&] { return SetActiveCtrl(mainPanel, ASPIRATION_LAMP); }},
        {"display, no panel", [] { return DisplayPanel(0); }},
        {"hide, no panel", [] { return HidePanel(9999); }},
        {"menu, unknown command", [&] { return TriggerMenuCommand(mainPanel, "Quit"); }},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.call(), RT_ERR_ARGUMENT) << c.what;
    EXPECT_TRUE(Calls.empty());
}

TEST_F(Panels, ProgramSetValuesAreHeldExactlyAndNeverCommit) {
    const float single = 3 / 10.0f;
    const struct {
        double set, read;
    } cases[] = {{2.5, 2.5}, {single, single}, {7000.0, 6553.5}, {-1.0, 0.0}};
    for (const auto &c : cases) {
        ASSERT_EQ(SetCtrlVal(mainPanel, DELAY_VALUE, c.set), 0);
        double read = -1;
        ASSERT_EQ(GetCtrlVal(mainPanel, DELAY_VALUE, &read), 0);
        EXPECT_EQ(read, c.read) << c.set;
    }
    EXPECT_TRUE(Calls.empty());
}

// What assistive technology is told a control holds: its value and the value's text, or "none"
// (no value interface, which platform bridges would read as 0, and no text).
std::string AccessibleValue(QWidget *control) {
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
    const std::string text = accessible->text(QAccessible::Value).toStdString();
    if (!accessible->valueInterface())
        return text.empty() ? "none" : "none, yet says " + text;
    const QVariant value = accessible->valueInterface()->currentValue();
    return QString::number(value.toDouble()).toStdString() + " \"" + text + "\"";
}

// A value control shows a placeholder, not the 0 it reads, until it holds a value of its own; to
// assistive technology it holds none meanwhile.
TEST_F(Panels, ValueControlsShowAPlaceholderUntilTheyHoldAValue) {
    Show(mainPanel);
    const struct {
        const char *what;
        std::function<void()> act;
        std::vector<std::string> texts; // aspiration, delay, wash: shown, then told
    } steps[] = {
        {"loaded", [] {}, {"—", "none", "—", "none", "—", "none"}},
        {"dimmed",
         [&] { SetCtrlAttribute(mainPanel, DELAY_VALUE, ATTR_DIMMED, 1); },
         {"—", "none", "—", "none", "—", "none"}},
        {"set to 0 by the program",
         [&] { SetCtrlVal(mainPanel, ASPIRATION_VALUE, 0.0); },
         {"0.0 s", "0 \"0.0\"", "—", "none", "—", "none"}},
        {"made operable",
         [&] { SetCtrlAttribute(mainPanel, DELAY_VALUE, ATTR_DIMMED, 0); },
         {"0.0 s", "0 \"0.0\"", "0.0 s", "0 \"0.0\"", "—", "none"}},
        {"entered by the operator and back to 0",
         [&] {
             Value(WASH_VALUE)->setFocus();
             QTest::keyClick(Value(WASH_VALUE), Qt::Key_Up);
             QTest::keyClick(Value(WASH_VALUE), Qt::Key_Down);
         },
         {"0.0 s", "0 \"0.0\"", "0.0 s", "0 \"0.0\"", "0.0 s", "0 \"0.0\""}},
        {"set by the program",
         [&] { SetCtrlVal(mainPanel, DELAY_VALUE, 2.5); },
         {"0.0 s", "0 \"0.0\"", "2.5 s", "2.5 \"2.5\"", "0.0 s", "0 \"0.0\""}},
    };
    for (const auto &step : steps) {
        step.act();
        std::vector<std::string> texts;
        for (int control : {ASPIRATION_VALUE, DELAY_VALUE, WASH_VALUE}) {
            texts.push_back(Value(control)->text().toStdString());
            texts.push_back(AccessibleValue(Value(control)));
        }
        EXPECT_EQ(texts, step.texts) << step.what;
    }
    // The text being edited is still there for a screen reader to read.
    QAccessibleTextInterface *delay =
        QAccessible::queryAccessibleInterface(Value(DELAY_VALUE))->textInterface();
    ASSERT_NE(delay, nullptr);
    EXPECT_EQ(delay->text(0, delay->characterCount()), "2.5 s");
    double read = -1;
    ASSERT_EQ(GetCtrlVal(mainPanel, WASH_VALUE, &read), 0);
    EXPECT_EQ(read, 0.0);
}

// Whatever the PC's language, "." and "," are both the decimal point and neither a thousands
// separator; a text that is not one plain number in range commits nothing and the field goes back
// to the value it held. Each row's panel is made under its locale, as the program starts in it.
TEST_F(Panels, OperatorEntryCommitsOnceWhenTheValueChanged) {
    const double HELD = -1; // nothing committed: the program's own value is read back
    const double PROGRAM_VALUE = 0.30000001192092896;
    const struct {
        const char *locale;
        int control;
        const char *callback;
        const char *typed; // '#' is the numeric keypad's decimal key
        double read;
        const char *shown;
    } cases[] = {
        {"C", ASPIRATION_VALUE, "AspirationChange", "2.5", 2.5, "2.5 s"},
        {"C", DELAY_VALUE, "DelayChange", "2,5", 2.5, "2.5 s"},
        {"en_US", WASH_VALUE, "WashChange", "1,5", 1.5, "1.5 s"},
        {"C", WASH_VALUE, "WashChange", "2#5", 2.5, "2.5 s"},
        {"de_DE", ASPIRATION_VALUE, "AspirationChange", "2.5", 2.5, "2,5 s"},
        {"de_DE", DELAY_VALUE, "DelayChange", "2,5", 2.5, "2,5 s"},
        {"de_DE", WASH_VALUE, "WashChange", "2#5", 2.5, "2,5 s"},
        {"fr_FR", ASPIRATION_VALUE, "AspirationChange", "2.5", 2.5, "2,5 s"},
        {"de_DE", DELAY_VALUE, "DelayChange", ",5", 0.5, "0,5 s"},
        {"C", DELAY_VALUE, "DelayChange", "5.", 5.0, "5.0 s"},
        {"de_DE", WASH_VALUE, "WashChange", "6553.5", 6553.5, "6553,5 s"},
        // One decimal is all the field holds: the key for a second is refused.
        {"de_DE", ASPIRATION_VALUE, "AspirationChange", "0.04", 0.0, "0,0 s"},
        {"de_DE", ASPIRATION_VALUE, "AspirationChange", "1.234,5", HELD, "0,3 s"},
        {"C", DELAY_VALUE, "DelayChange", "1,234.5", HELD, "0.3 s"},
        {"fr_FR", WASH_VALUE, "WashChange", "2,,5", HELD, "0,3 s"},
        {"de_DE", ASPIRATION_VALUE, "AspirationChange", ",", HELD, "0,3 s"},
        {"C", DELAY_VALUE, "DelayChange", "", HELD, "0.3 s"},
        {"C", WASH_VALUE, "WashChange", "7000", HELD, "0.3 s"},
    };
    const QLocale before;
    for (const auto &c : cases) {
        const std::string what = std::string(c.locale) + " \"" + c.typed + "\"";
        QLocale::setDefault(QLocale(QString::fromLatin1(c.locale)));
        const int panel = LoadPanel(0, "Tamsel.uir", MAIN_PANEL);
        ASSERT_GT(panel, 0);
        Show(panel);
        auto *value = qobject_cast<QDoubleSpinBox *>(ControlWidget(panel, c.control));
        ASSERT_EQ(SetCtrlVal(panel, c.control, PROGRAM_VALUE), 0);
        Calls.clear();
        value->setFocus();
        value->selectAll();
        QTest::keyClick(value, Qt::Key_Backspace);
        for (const char *key = c.typed; *key; key++)
            if (*key == '#')
                QTest::keyClick(value, Qt::Key_Period, Qt::KeypadModifier);
            else
                QTest::keyClick(value, *key);
        EXPECT_TRUE(CallsWith(c.callback, EVENT_COMMIT).empty())
            << "typing alone commits: " << what;
        QTest::keyClick(value, Qt::Key_Return);
        std::vector<Call> commits = CallsWith(c.callback, EVENT_COMMIT);
        ASSERT_EQ(commits.size(), c.read == HELD ? 0u : 1u) << what;
        double read = 0;
        ASSERT_EQ(GetCtrlVal(panel, c.control, &read), 0);
        EXPECT_EQ(read, c.read == HELD ? PROGRAM_VALUE : c.read) << what;
        EXPECT_EQ(value->text().toStdString(), c.shown) << what;
        if (c.read != HELD) {
            EXPECT_EQ(commits[0].panel, panel);
            EXPECT_EQ(commits[0].id, c.control);
            QTest::keyClick(value, Qt::Key_Return);
            EXPECT_EQ(CallsWith(c.callback, EVENT_COMMIT).size(), 1u) << "unchanged, " << what;
            QTest::keyClick(value, Qt::Key_Down);
            EXPECT_EQ(CallsWith(c.callback, EVENT_COMMIT).size(), c.read > 0 ? 2u : 1u)
                << "arrow, " << what;
        }
        HidePanel(panel);
        DiscardPanel(panel);
    }
    QLocale::setDefault(before);
}

TEST_F(Panels, TabWalksTheRowsInOrderAndLeavingAnEditedFieldCommits) {
    Show(mainPanel);
    ASSERT_EQ(SetActiveCtrl(mainPanel, ASPIRATION_VALUE), 0);
    ASSERT_TRUE(ControlWidget(mainPanel, ASPIRATION_VALUE)->hasFocus());
    Value(ASPIRATION_VALUE)->selectAll();
    QTest::keyClicks(QApplication::focusWidget(), "4.5");
    const int order[] = {ASPIRATION_WRITE, DELAY_VALUE, DELAY_WRITE,
                         WASH_VALUE,       WASH_WRITE,  REFRESH};
    for (int control : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_TRUE(ControlWidget(mainPanel, control)->hasFocus()) << control;
    }
    EXPECT_EQ(CallsWith("AspirationChange", EVENT_COMMIT).size(), 1u);
    EXPECT_EQ(CallsWith("AspirationChange", EVENT_LOST_FOCUS).size(), 1u);
    EXPECT_EQ(CallsWith("UpdateDelay", EVENT_GOT_FOCUS).size(), 1u);

    Show(setUpPanel);
    ASSERT_EQ(SetActiveCtrl(setUpPanel, COM_PORT_RING), 0);
    for (int control : {SETUP_OK, SETUP_CANCEL}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_TRUE(ControlWidget(setUpPanel, control)->hasFocus()) << control;
    }
}

TEST_F(Panels, ButtonsCommitToTheirOwnCallbackUnlessDimmed) {
    const struct {
        bool onSetUp;
        int control;
        const char *callback;
    } buttons[] = {
        {false, ASPIRATION_WRITE, "UpdateAspiration"},
        {false, DELAY_WRITE, "UpdateDelay"},
        {false, WASH_WRITE, "UpdateWash"},
        {false, REFRESH, "RefreshAll"},
        {true, SETUP_OK, "CloseSetUpPanel"},
        {true, SETUP_CANCEL, "CancelSetUp"},
    };
    for (const auto &b : buttons) {
        const int panel = b.onSetUp ? setUpPanel : mainPanel;
        Calls.clear();
        QTest::mouseClick(ControlWidget(panel, b.control), Qt::LeftButton);
        std::vector<Call> commits = CallsWith(b.callback, EVENT_COMMIT);
        ASSERT_EQ(commits.size(), 1u) << b.callback;
        EXPECT_EQ(commits[0].panel, panel);
        EXPECT_EQ(commits[0].id, b.control);

        ASSERT_EQ(SetCtrlAttribute(panel, b.control, ATTR_DIMMED, 1), 0);
        QTest::mouseClick(ControlWidget(panel, b.control), Qt::LeftButton);
        EXPECT_EQ(CallsWith(b.callback, EVENT_COMMIT).size(), 1u) << "dimmed " << b.callback;
        ASSERT_EQ(SetCtrlAttribute(panel, b.control, ATTR_DIMMED, 0), 0);
    }
}

// Return and Enter press only a default button or a focused auto-default one, never a button of
// the main panel; Space presses a focused button; a held key's repeats press nothing.
TEST_F(Panels, KeysPressOnlyTheButtonsTheyShould) {
    const struct {
        bool onSetUp;
        int focused;
        Qt::Key key;
        bool repeated;
        const char *pressed; // the callback committed, or nullptr
    } cases[] = {
        {false, ASPIRATION_WRITE, Qt::Key_Return, false, nullptr},
        {false, DELAY_WRITE, Qt::Key_Enter, false, nullptr},
        {false, WASH_WRITE, Qt::Key_Space, false, "UpdateWash"},
        {false, WASH_WRITE, Qt::Key_Space, true, nullptr},
        {false, REFRESH, Qt::Key_Return, false, nullptr},
        {false, ASPIRATION_VALUE, Qt::Key_Return, false, nullptr},
        {true, COM_PORT_RING, Qt::Key_Return, false, "CloseSetUpPanel"},
        {true, COM_PORT_RING, Qt::Key_Enter, true, nullptr},
        {true, SETUP_CANCEL, Qt::Key_Return, false, "CancelSetUp"},
        {true, SETUP_OK, Qt::Key_Space, true, nullptr},
    };
    for (const auto &c : cases) {
        const int panel = c.onSetUp ? setUpPanel : mainPanel;
        Show(panel);
        QWidget *widget = ControlWidget(panel, c.focused);
        widget->setFocus(Qt::TabFocusReason);
        Calls.clear();
        const QString text = c.key == Qt::Key_Space ? QStringLiteral(" ") : QStringLiteral("\r");
        for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
            QKeyEvent key(type, c.key, Qt::NoModifier, text, c.repeated);
            QApplication::sendEvent(widget, &key);
        }
        std::vector<std::string> commits;
        for (const Call &call : Calls)
            if (call.event == EVENT_COMMIT)
                commits.push_back(call.callback);
        EXPECT_EQ(commits,
                  c.pressed ? std::vector<std::string>{c.pressed} : std::vector<std::string>{})
            << c.focused << " key " << c.key << (c.repeated ? " repeated" : "");
    }
}

TEST_F(Panels, TheFocusNeverRestsOnAControlMarkedSo) {
    Show(mainPanel);
    QWidget *window = PanelWidget(mainPanel);
    const struct {
        const char *what;
        std::function<void()> act;
        int rests;
    } cases[] = {
        {"dimming the focused value control",
         [&] {
             SetActiveCtrl(mainPanel, ASPIRATION_VALUE);
             SetCtrlAttribute(mainPanel, ASPIRATION_VALUE, ATTR_DIMMED, 1);
         },
         DELAY_VALUE},
        {"every value control dimmed",
         [&] {
             for (int control : {DELAY_VALUE, WASH_VALUE})
                 SetCtrlAttribute(mainPanel, control, ATTR_DIMMED, 1);
         },
         REFRESH},
        {"a click on a write button",
         [&] { QTest::mouseClick(ControlWidget(mainPanel, DELAY_WRITE), Qt::LeftButton); },
         REFRESH},
        {"the setup panel hidden after a write button had the focus",
         [&] {
             SetCtrlAttribute(mainPanel, ASPIRATION_VALUE, ATTR_DIMMED, 0);
             SetActiveCtrl(mainPanel, ASPIRATION_WRITE);
             Show(setUpPanel);
             HidePanel(setUpPanel);
         },
         ASPIRATION_VALUE},
        {"a box closed after a write button had the focus",
         [&] {
             SetActiveCtrl(mainPanel, ASPIRATION_WRITE);
             SetPopupHook([](const std::string &, const std::string &) {});
             MessagePopup("Timer Update Error", "Communication error, values not updated");
             SetPopupHook({});
         },
         ASPIRATION_VALUE},
    };
    for (const auto &c : cases) {
        c.act();
        EXPECT_EQ(window->focusWidget(), ControlWidget(mainPanel, c.rests)) << c.what;
    }
}

TEST_F(Panels, ClosingTheMainWindowAsksItsCallbackAndTheWindowStays) {
    Show(mainPanel);
    EXPECT_FALSE(PanelWidget(mainPanel)->close());
    EXPECT_EQ(CallsWith("MainPanelCallback", EVENT_CLOSE).size(), 1u);
    EXPECT_TRUE(PanelWidget(mainPanel)->isVisible());

    // Without a panel callback, closing just hides the window, like Cancel.
    Show(setUpPanel);
    EXPECT_TRUE(PanelWidget(setUpPanel)->close());
    EXPECT_FALSE(PanelWidget(setUpPanel)->isVisible());
    EXPECT_EQ(DisplayPanel(setUpPanel), 0);
    EXPECT_TRUE(PanelWidget(setUpPanel)->isVisible());
}

// Polls the way an exchange waits for a reply: the timeout timer must keep ticking inside.
bool TickedWhilePolling = false;
int PollingRefresh(int panel, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    const size_t before = CallsWith("XrayTimeSlice", EVENT_TIMER_TICK).size();
    RunEventsUntil([&] { return CallsWith("XrayTimeSlice", EVENT_TIMER_TICK).size() > before; });
    TickedWhilePolling = CallsWith("XrayTimeSlice", EVENT_TIMER_TICK).size() > before;
    (void)panel;
    return 0;
}

TEST_F(Panels, TimerControlsTickOnlyWhileTheirPanelIsDisplayed) {
    RunEventsFor(500);
    EXPECT_TRUE(CallsWith("AquireTimeSlice", EVENT_TIMER_TICK).empty()) << "ticked before shown";

    Show(mainPanel);
    RunEventsUntil([] {
        return !CallsWith("AquireTimeSlice", EVENT_TIMER_TICK).empty() &&
               !CallsWith("XrayTimeSlice", EVENT_TIMER_TICK).empty();
    });
    for (const char *timer : {"AquireTimeSlice", "XrayTimeSlice"}) {
        std::vector<Call> ticks = CallsWith(timer, EVENT_TIMER_TICK);
        ASSERT_FALSE(ticks.empty()) << timer;
        EXPECT_EQ(ticks[0].panel, mainPanel);
        EXPECT_EQ(ticks[0].id,
                  std::string(timer) == "AquireTimeSlice" ? START_UP_TIMER : TIMEOUT_TIMER);
    }

    ASSERT_EQ(HidePanel(mainPanel), 0);
    Calls.clear();
    RunEventsFor(500);
    EXPECT_TRUE(CallsWith("XrayTimeSlice", EVENT_TIMER_TICK).empty()) << "ticked while hidden";
}

// Puts the panel's paints among the calls, so that a test sees what came first.
class PaintRecorder : public QObject {
  public:
    explicit PaintRecorder(int panel) : handle(panel) {
        PanelWidget(panel)->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            Calls.push_back({"paint", handle, 0, 0});
        return false;
    }

  private:
    int handle;
};

// An interval longer than any test runs: the tick that comes is the one the paint brings.
TEST(PanelTimers, StartUpTimerTicksFirstAsSoonAsThePanelHasPainted) {
    RegisterCallbacks(CALLBACKS, CALLBACK_COUNT);
    QString text = ResourceText();
    const QString interval = "<number>1000</number>";
    ASSERT_EQ(text.count(interval), 1);
    text.replace(interval, "<number>3600000</number>");
    QTemporaryDir dir;
    QFile file(dir.filePath("edited.uir"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
    file.close();
    const int panel = LoadPanel(0, file.fileName().toLocal8Bit().constData(), MAIN_PANEL);
    ASSERT_GT(panel, 0);
    PaintRecorder paints(panel);
    for (const char *when : {"first display", "displayed again"}) {
        Calls.clear();
        ASSERT_EQ(DisplayPanel(panel), 0);
        RunEventsUntil([] { return !CallsWith("AquireTimeSlice", EVENT_TIMER_TICK).empty(); });
        ASSERT_EQ(CallsWith("AquireTimeSlice", EVENT_TIMER_TICK).size(), 1u) << when;
        auto tick = std::find_if(Calls.begin(), Calls.end(), [](const Call &call) {
            return call.callback == "AquireTimeSlice";
        });
        EXPECT_TRUE(std::any_of(Calls.begin(), tick,
                                [](const Call &call) { return call.callback == "paint"; }))
            << "ticked before the window was painted, " << when;
        // The timeout timer keeps its own interval from display on.
        EXPECT_TRUE(CallsWith("XrayTimeSlice", EVENT_TIMER_TICK).empty()) << when;
        ASSERT_EQ(HidePanel(panel), 0);
    }
    DiscardPanel(panel);
}

TEST(PanelTimers, TickInsideACallbackThatPollsTheEventLoop) {
    std::vector<CallbackName> table(CALLBACKS, CALLBACKS + CALLBACK_COUNT);
    for (CallbackName &entry : table)
        if (std::string(entry.name) == "RefreshAll")
            entry.control = PollingRefresh;
    RegisterCallbacks(table.data(), static_cast<int>(table.size()));
    const int panel = LoadPanel(0, "Tamsel.uir", MAIN_PANEL);
    ASSERT_GT(panel, 0);
    ASSERT_EQ(DisplayPanel(panel), 0);
    TickedWhilePolling = false;
    QTest::mouseClick(ControlWidget(panel, REFRESH), Qt::LeftButton);
    EXPECT_TRUE(TickedWhilePolling);
    HidePanel(panel);
    RegisterCallbacks(CALLBACKS, CALLBACK_COUNT);
}

TEST_F(Panels, RingRefusesAnIndexOutsideItsListAndKeepsTheSelection) {
    ASSERT_EQ(SetCtrlIndex(setUpPanel, COM_PORT_RING, 1), 0);
    for (int bad : {-1, 4, 100}) {
        EXPECT_EQ(SetCtrlIndex(setUpPanel, COM_PORT_RING, bad), RT_ERR_ARGUMENT) << bad;
        int index = -7;
        ASSERT_EQ(GetCtrlIndex(setUpPanel, COM_PORT_RING, &index), 0);
        EXPECT_EQ(index, 1) << bad;
    }
}

// Each time the setup panel is shown, entry 3 says what TAMSEL_COM3 names at that moment.
TEST_F(Panels, PortListShowsTheDeviceEachPortMapsToWhenShown) {
    if (const char *why = WhyNoPosixDevices())
        GTEST_SKIP() << why;
    const std::string pty = OpenPseudoTerminal();
    ASSERT_FALSE(pty.empty());
    QTemporaryDir dir;
    const std::string file = dir.filePath("plain-file").toStdString();
    QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly);
    const std::string longPath = "/dev/" + std::string(5000, 'x') + "-end";
    // No other serial device is offered below the ports, whatever this machine has plugged in or
    // another test has planted meanwhile.
    StandInSerialDevices({}, dir.path().toStdString());
    const struct {
        std::string device;
        std::string entry; // empty: shortened, checked below
    } cases[] = {
        {"/dev/tamsel-test-line", "COM3 · /dev/tamsel-test-line · not present"},
        {pty, std::string("COM3 · ") + pty},
        {file, "COM3 · " + file + " · not present"},
        {"/dev/a\nb\u202e<b>c</b>", "COM3 · /dev/a\ufffdb\ufffd<b>c</b> · not present"},
        {longPath, ""},
    };
    auto *ring = qobject_cast<QComboBox *>(ControlWidget(setUpPanel, COM_PORT_RING));
    ASSERT_NE(ring, nullptr);
    QWidget *window = PanelWidget(setUpPanel);
    for (const auto &c : cases) {
        qputenv("TAMSEL_COM3", QByteArray::fromStdString(c.device));
        ASSERT_EQ(DisplayPanel(setUpPanel), 0);
        const QString entry = ring->itemText(2);
        if (!c.entry.empty()) {
            EXPECT_EQ(entry.toStdString(), c.entry);
        } else {
            EXPECT_TRUE(entry.startsWith("COM3 · /dev/xxx")) << entry.toStdString();
            EXPECT_TRUE(entry.endsWith("x-end · not present")) << entry.toStdString();
            EXPECT_LT(entry.size(), 200);
        }
        EXPECT_EQ(ring->count(), 4);
        const QRect screen = window->screen()->availableGeometry();
        EXPECT_TRUE(screen.contains(window->geometry())) << c.device.size();
        EXPECT_GE(ring->width(), ring->sizeHint().width()) << "the entries are shown whole";
        HidePanel(setUpPanel);
    }
    qunsetenv("TAMSEL_COM3");
    RestoreSerialDevices();
    ClosePseudoTerminal();
}

// Below the ports, the list offers every serial device present that no port stands for, with what
// it says of itself; an entry's value is what a port is then bound to. Port 3 stands for COM9
// here, which is therefore not offered.
TEST_F(Panels, PortListOffersTheDevicesNoPortStandsFor) {
    QTemporaryDir links;
    std::string pty;
    std::vector<std::string> expected;
    if (!WhyNoPosixDevices()) {
        pty = OpenPseudoTerminal();
        ASSERT_FALSE(pty.empty());
        const QString adapter = links.filePath("usb-M_1-if00");
        QFile::link(QString::fromStdString(pty), adapter);
        expected.push_back(pty + " · usb-M_1-if00 = " + adapter.toStdString());
        // Links to what is no serial line are not offered.
        QFile(links.filePath("plain")).open(QIODevice::WriteOnly);
        for (const char *target : {"/dev/null", "/dev/tty", "plain", "absent"})
            QFile::link(target, links.filePath(QStringLiteral("usb-%1").arg(target).replace('/', '_')));
    }
    expected.push_back("COM7 · USB Serial Port · FTDI · A600XYZ = COM7");
    StandInSerialDevices({{"COM7", "USB Serial Port", "FTDI", "A600XYZ"}, {"COM9", "taken", "", ""}},
                         links.path().toStdString());
    qputenv("TAMSEL_COM3", "COM9");
    auto *ring = qobject_cast<QComboBox *>(ControlWidget(setUpPanel, COM_PORT_RING));
    char value[MAX_PATHNAME_LEN];
    auto offered = [&] {
        EXPECT_EQ(DisplayPanel(setUpPanel), 0);
        std::vector<std::string> entries;
        for (int i = SETUP_PORT_COUNT; i < ring->count(); i++) {
            EXPECT_EQ(GetValueFromIndex(setUpPanel, COM_PORT_RING, i, value, sizeof value), 0);
            entries.push_back(ring->itemText(i).toStdString() + " = " + value);
        }
        HidePanel(setUpPanel);
        return entries;
    };
    EXPECT_EQ(offered(), expected);
    // A port's own entry has no value; one that does not fit is refused and leaves nothing.
    EXPECT_EQ(GetValueFromIndex(setUpPanel, COM_PORT_RING, 1, value, sizeof value), 0);
    EXPECT_STREQ(value, "");
    char small[4] = "x";
    EXPECT_EQ(GetValueFromIndex(setUpPanel, COM_PORT_RING, ring->count() - 1, small, sizeof small),
              RT_ERR_ARGUMENT);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(GetValueFromIndex(setUpPanel, COM_PORT_RING, ring->count(), value, sizeof value),
              RT_ERR_ARGUMENT);

    // Bound, the first device is port 4's: its entry names it, and it is offered no more. Bound to
    // port 3 too, where TAMSEL_COM3 wins, the entry says so. A plain file is refused.
    const std::string first = expected.front().substr(expected.front().rfind(" = ") + 3);
    ASSERT_EQ(BindComPort(4, first.c_str()), 0);
    ASSERT_EQ(BindComPort(3, first.c_str()), 0);
    const std::string planted = links.filePath("plain").toStdString();
    EXPECT_EQ(BindComPort(2, planted.c_str()), RT_ERR_OPEN_FAILED);
    EXPECT_EQ(offered(), std::vector<std::string>(expected.begin() + 1, expected.end()));
    EXPECT_EQ(ring->itemText(3).toStdString().rfind("COM4 · " + first, 0), 0u)
        << ring->itemText(3).toStdString();
    EXPECT_TRUE(ring->itemText(2).endsWith(
        QString::fromStdString(" · set by TAMSEL_COM3 over the chosen " + first)))
        << ring->itemText(2).toStdString();
    EXPECT_TRUE(ring->itemText(1).endsWith(" · binding ignored: not a serial device"))
        << ring->itemText(1).toStdString();
    // Port 2 then opens on its own device, and the status line says why.
    AttachScriptedLine(2);
    ASSERT_EQ(OpenComConfig(2, "", 9600, 0, 8, 1, 512, 512), 0);
    const QList<QLabel *> labels = PanelWidget(mainPanel)->findChildren<QLabel *>();
    const auto status = std::find_if(labels.begin(), labels.end(), [](const QLabel *label) {
        return label->property("portStatus").toBool();
    });
    ASSERT_NE(status, labels.end());
    EXPECT_TRUE((*status)->text().startsWith("COM2 · binding ignored: not a serial device · "))
        << (*status)->text().toStdString();
    EXPECT_TRUE((*status)->text().endsWith(" · open")) << (*status)->text().toStdString();
    CloseCom(2);
    DetachScriptedLine(2);
    for (int port = 2; port <= 4; port++)
        EXPECT_EQ(BindComPort(port, ""), 0);
    EXPECT_EQ(offered(), expected);
    qunsetenv("TAMSEL_COM3");
    RestoreSerialDevices();
    if (!pty.empty())
        ClosePseudoTerminal();
}

// A binding is taken for a serial line, or where nothing is now (an adapter unplugged); anything
// else a planted port file could name is refused.
TEST(PortBinding, OnlySerialLinesOrNothingAreTaken) {
    QTemporaryDir dir;
    const std::string plain = dir.filePath("plain").toStdString();
    QFile(QString::fromStdString(plain)).open(QIODevice::WriteOnly);
    const std::string fifo = dir.filePath("fifo").toStdString();
    const bool posix = WhyNoPosixDevices() == nullptr;
    const std::string pty = posix ? OpenPseudoTerminal() : std::string();
    const std::string linked = dir.filePath("usb-Maker_Model_1-if00-port0").toStdString();
    if (posix) {
        ASSERT_TRUE(MakeFifo(fifo));
        QFile::link(QString::fromStdString(pty), QString::fromStdString(linked));
    }
    const struct {
        std::string device;
        int posixResult; // on Linux
        int windowsResult;
    } rows[] = {
        {"COM7", RT_ERR_OPEN_FAILED, 0},
        {"\\\\.\\COM12", RT_ERR_OPEN_FAILED, 0},
        {"COM0", RT_ERR_OPEN_FAILED, RT_ERR_OPEN_FAILED},
        {"NUL", RT_ERR_OPEN_FAILED, RT_ERR_OPEN_FAILED},
        {plain, RT_ERR_OPEN_FAILED, RT_ERR_OPEN_FAILED},
        {"/dev/ttyUSB99", 0, RT_ERR_OPEN_FAILED},
        {"/dev/serial/by-id/usb-Gone_Adapter-if00-port0", 0, RT_ERR_OPEN_FAILED},
        {"/dev/../tmp/tamsel-absent", RT_ERR_OPEN_FAILED, RT_ERR_OPEN_FAILED},
        {"/dev/null", RT_ERR_OPEN_FAILED, RT_ERR_OPEN_FAILED},
        {"/dev/tty", RT_ERR_OPEN_FAILED, RT_ERR_OPEN_FAILED},
        {"/dev/console", RT_ERR_OPEN_FAILED, RT_ERR_OPEN_FAILED},
        {std::string(MAX_PATHNAME_LEN, 'd'), RT_ERR_ARGUMENT, RT_ERR_ARGUMENT},
        {"", 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.device);
        EXPECT_EQ(BindComPort(2, row.device.c_str()), posix ? row.posixResult : row.windowsResult);
    }
    if (posix) {
        for (const std::string &line : {pty, linked})
            EXPECT_EQ(BindComPort(2, line.c_str()), 0) << line;
        EXPECT_EQ(BindComPort(2, fifo.c_str()), RT_ERR_OPEN_FAILED);
        ClosePseudoTerminal();
    }
    EXPECT_EQ(BindComPort(0, "COM7"), RT_ERR_ARGUMENT);
    EXPECT_EQ(BindComPort(2, nullptr), 0);
}

TEST_F(Panels, AttributesRoundTripAndLampsSayTheirStateInWords) {
    int value = -1;
    ASSERT_EQ(GetCtrlAttribute(mainPanel, ASPIRATION_LAMP, ATTR_ON_COLOR, &value), 0);
    EXPECT_EQ(value, VAL_YELLOW) << "lamps start unconfirmed";
    for (int lamp : {ASPIRATION_LAMP, DELAY_LAMP, WASH_LAMP}) {
        auto *label = qobject_cast<QLabel *>(ControlWidget(mainPanel, lamp));
        ASSERT_NE(label, nullptr);
        QString words[2];
        const int colors[] = {VAL_GREEN, VAL_YELLOW};
        for (int i = 0; i < 2; i++) {
            ASSERT_EQ(SetCtrlAttribute(mainPanel, lamp, ATTR_ON_COLOR, colors[i]), 0);
            ASSERT_EQ(GetCtrlAttribute(mainPanel, lamp, ATTR_ON_COLOR, &value), 0);
            EXPECT_EQ(value, colors[i]);
            words[i] = label->text();
        }
        EXPECT_FALSE(words[0].isEmpty());
        EXPECT_NE(words[0], words[1]) << "colour is the only difference";
        ASSERT_EQ(SetCtrlAttribute(mainPanel, lamp, ATTR_ON_COLOR, 0x123456), 0);
        ASSERT_EQ(GetCtrlAttribute(mainPanel, lamp, ATTR_ON_COLOR, &value), 0);
        EXPECT_EQ(value, 0x123456);
    }
    // A screen reader speaks a name first: the lamp's state and the status line's text are there.
    ASSERT_EQ(SetCtrlAttribute(mainPanel, DELAY_LAMP, ATTR_ON_COLOR, VAL_GREEN), 0);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(ControlWidget(mainPanel, DELAY_LAMP))
                  ->text(QAccessible::Name),
              "Delay time state: confirmed");
    const QList<QLabel *> labels = PanelWidget(mainPanel)->findChildren<QLabel *>();
    const auto status = std::find_if(labels.begin(), labels.end(), [](const QLabel *label) {
        return label->property("portStatus").toBool();
    });
    ASSERT_NE(status, labels.end());
    EXPECT_EQ(QAccessible::queryAccessibleInterface(*status)->text(QAccessible::Name),
              "Serial port state: " + (*status)->text());
    // A write button is dimmed exactly while its value control is; it cannot be made operable
    // on its own meanwhile.
    for (int dimmed : {1, 0}) {
        ASSERT_EQ(SetCtrlAttribute(mainPanel, WASH_VALUE, ATTR_DIMMED, dimmed), 0);
        ASSERT_EQ(GetCtrlAttribute(mainPanel, WASH_VALUE, ATTR_DIMMED, &value), 0);
        EXPECT_EQ(value, dimmed);
        EXPECT_EQ(Value(WASH_VALUE)->isEnabled(), dimmed == 0);
        ASSERT_EQ(GetCtrlAttribute(mainPanel, WASH_WRITE, ATTR_DIMMED, &value), 0);
        EXPECT_EQ(value, dimmed) << "write button";
        ASSERT_EQ(SetCtrlAttribute(mainPanel, WASH_WRITE, ATTR_DIMMED, 0), 0);
        ASSERT_EQ(GetCtrlAttribute(mainPanel, WASH_WRITE, ATTR_DIMMED, &value), 0);
        EXPECT_EQ(value, dimmed) << "write button undimmed on its own";
    }
}

TEST_F(Panels, MenuCommandsReachTheirCallbacksAndHaveMnemonics) {
    const struct {
        const char *callback;
        int item;
    } commands[] = {{"CommSetUpCallback", MENU_COMM_SETUP},
                    {"ExitCallback", MENU_EXIT},
                    {"AboutCallback", MENU_ABOUT}};
    for (const auto &command : commands) {
        Calls.clear();
        ASSERT_EQ(TriggerMenuCommand(mainPanel, command.callback), 0) << command.callback;
        ASSERT_EQ(Calls.size(), 1u) << command.callback;
        EXPECT_EQ(Calls[0].callback, command.callback);
        EXPECT_EQ(Calls[0].panel, mainPanel);
        EXPECT_EQ(Calls[0].id, command.item);
        EXPECT_EQ(Calls[0].event, MENU_BAR);
    }
    for (QMenu *menu : PanelWidget(mainPanel)->findChildren<QMenu *>()) {
        EXPECT_TRUE(menu->title().contains('&')) << menu->title().toStdString();
        for (QAction *action : menu->actions())
            EXPECT_TRUE(action->isSeparator() || action->text().contains('&'))
                << action->text().toStdString();
    }
}

} // namespace
