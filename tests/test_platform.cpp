// Run-time layer: the serial line over a real pseudo-terminal, the scripted line, the event loop,
// message boxes and the utility functions.
#include "runtime.h"
#include "runtime_testing.h"

#include <QApplication>
#include <QDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QScreen>
#include <QSerialPort>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// Loop bounds below only keep a broken build from hanging; no test depends on how fast anything is.
constexpr int POLL_ROUNDS = 10000;

// Counts the timer events delivered while it lives. Where a test runs no timer of its own, one
// means that ProcessSystemEvents slept until its own bound.
class TimerEvents : public QObject {
  public:
    int seen = 0;
    TimerEvents() { qApp->installEventFilter(this); }
    ~TimerEvents() override { qApp->removeEventFilter(this); }

  protected:
    bool eventFilter(QObject *, QEvent *event) override {
        seen += event->type() == QEvent::Timer;
        return false;
    }
};

// Pattern bytes covering 0x00..0xFF, so a sign-extension slip in ComRdByte shows.
std::string Pattern(size_t count) {
    std::string bytes;
    for (size_t i = 0; i < count; i++)
        bytes += static_cast<char>((i * 37 + 11) & 0xFF);
    return bytes;
}

// Port PORT is the raw slave of a pseudo-terminal; the test plays the unit on the master.
class PtyPortTest : public ::testing::Test {
  protected:
    static constexpr int PORT = 5;
    int master = -1;
    int slave = -1;
    std::string path;

    void SetUp() override {
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        fcntl(master, F_SETFL, O_NONBLOCK);
        path = name;
        setenv("TAMSEL_COM5", name, 1);
    }

    void TearDown() override {
        CloseCom(PORT);
        if (master >= 0)
            close(master);
        close(slave);
    }

    int Open(int port = PORT) { return OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512); }

    void SendFromUnit(const std::string &bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }

    // What reaches the unit, letting the event loop run between reads of the master.
    std::string ReceiveAtUnit(size_t count) {
        std::string received;
        for (int i = 0; i < POLL_ROUNDS && received.size() < count; i++) {
            char bytes[4096];
            const ssize_t n = read(master, bytes, sizeof bytes);
            if (n > 0)
                received.append(bytes, static_cast<size_t>(n));
            else
                ProcessSystemEvents();
        }
        return received;
    }

    // Reads the port as the device link does: one event dispatch, then one byte per queue query.
    std::string ReadPort(size_t count, int *longestQueue = nullptr) {
        std::string read;
        for (int i = 0; i < POLL_ROUNDS && read.size() < count; i++) {
            ProcessSystemEvents();
            for (int waiting; (waiting = GetInQLen(PORT)) > 0;) {
                if (longestQueue && waiting > *longestQueue)
                    *longestQueue = waiting;
                const int byte = ComRdByte(PORT);
                read += byte >= 0 && byte <= 255 ? std::string(1, static_cast<char>(byte))
                                                 : "<" + std::to_string(byte) + ">";
            }
        }
        return read;
    }
};

TEST_F(PtyPortTest, OpenSetsTheLineAndBytesFlowBothWaysInOrder) {
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(SetCTSMode(PORT, 0), 0);
    EXPECT_EQ(SetXMode(PORT, 0), 0);
    EXPECT_EQ(SetComTime(PORT, 1.0), 0);
    termios line;
    ASSERT_EQ(tcgetattr(slave, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B9600);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), (tcflag_t)CS8);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);

    EXPECT_EQ(ComWrt(PORT, "TA00195F\r", 9), 9);
    EXPECT_EQ(ReceiveAtUnit(9), "TA00195F\r");

    // Three times the input queue: the line must be read again each time the queue drains.
    const std::string sent = Pattern(1500);
    SendFromUnit(sent);
    int longestQueue = 0;
    EXPECT_EQ(ReadPort(sent.size(), &longestQueue), sent);
    EXPECT_LE(longestQueue, 512);
    EXPECT_EQ(ComRdByte(PORT), RT_ERR_IO);
}

// A read's two replies arrive together, and Qt takes both off the line in one go: the poll for the
// second one must not sleep, as no event will ever announce bytes that are already taken.
TEST_F(PtyPortTest, PollingNeverSleepsOnBytesAlreadyTakenOffTheLine) {
    ASSERT_EQ(Open(), 0);
    SendFromUnit("T$\rTGA0019A6\r");
    for (int i = 0; i < POLL_ROUNDS && GetInQLen(PORT) < 13; i++) {
        usleep(100);
        QCoreApplication::processEvents();
    }
    ASSERT_EQ(GetInQLen(PORT), 13);
    for (int i = 0; i < 3; i++) {
        ComRdByte(PORT);
        TimerEvents timers;
        EXPECT_EQ(ProcessSystemEvents(), 0);
        EXPECT_EQ(timers.seen, 0) << "slept with " << GetInQLen(PORT) << " bytes waiting";
    }
    while (GetInQLen(PORT) > 0)
        ComRdByte(PORT);
    // A drain's last poll finds the line empty and returns; the poll after it waits.
    TimerEvents timers;
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_EQ(timers.seen, 0) << "a drain was held up";
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_GE(timers.seen, 1) << "with nothing to wake it, the wait ends at its bound";
}

TEST_F(PtyPortTest, OpenDiscardsEarlierBytesAndThePortReopens) {
    SendFromUnit("stale");
    int queued = 0;
    for (int i = 0; i < POLL_ROUNDS && queued < 5; i++) {
        usleep(100);
        ioctl(slave, FIONREAD, &queued);
    }
    ASSERT_EQ(queued, 5);
    ASSERT_EQ(Open(), 0);
    // The stale bytes are on the line already: a dispatch that does not wait would take them.
    for (int i = 0; i < 20; i++)
        QCoreApplication::processEvents();
    EXPECT_EQ(GetInQLen(PORT), 0);
    SendFromUnit("fresh");
    EXPECT_EQ(ReadPort(5), "fresh");

    // A flush takes the queue (full here, so Qt had stopped reading the line) and what the system
    // still holds; the line is read again after it.
    SendFromUnit(Pattern(700));
    for (int i = 0; i < POLL_ROUNDS && GetInQLen(PORT) < 512; i++) {
        usleep(100);
        QCoreApplication::processEvents();
    }
    ASSERT_EQ(GetInQLen(PORT), 512);
    for (int i = 0; i < 20; i++)
        QCoreApplication::processEvents();
    SendFromUnit("older");
    for (int i = 0; i < POLL_ROUNDS && queued < 700 + 5 - 512; i++) {
        usleep(100);
        ioctl(slave, FIONREAD, &queued);
    }
    EXPECT_EQ(FlushInQ(PORT), 0);
    for (int i = 0; i < 20; i++)
        QCoreApplication::processEvents();
    EXPECT_EQ(GetInQLen(PORT), 0);
    SendFromUnit("fresh");
    EXPECT_EQ(ReadPort(5), "fresh");

    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(ComWrt(PORT, "x", 1), 1);
    EXPECT_EQ(ReceiveAtUnit(1), "x");
    EXPECT_EQ(CloseCom(PORT), 0);
    EXPECT_EQ(CloseCom(PORT), 0);
    ASSERT_EQ(Open(), 0);

    // A scripted line put on the number takes the device's place, which is closed for it.
    AttachScriptedLine(PORT);
    DetachScriptedLine(PORT);
    EXPECT_EQ(SetComTime(PORT, 1.0), RT_ERR_NOT_OPEN);
    EXPECT_EQ(Open(), 0);
}

// Run as root (as here), TIOCEXCL does not stop a second open(2) of the device; what refuses every
// second QSerialPort opener is Qt's lock file, named after the device the path resolves to, and
// for another name of the same device (a bind mount, a hard link) a lock on the device itself.
TEST_F(PtyPortTest, SecondOpenerOfTheDeviceIsRefused) {
    ASSERT_EQ(Open(), 0);
    QSerialPort other(QString::fromStdString(path));
    EXPECT_FALSE(other.open(QIODevice::ReadWrite));
    EXPECT_EQ(other.error(), QSerialPort::PermissionError);

    const std::string alias = testing::TempDir() + "tamsel-alias-" + std::to_string(getpid());
    unlink(alias.c_str());
    ASSERT_EQ(symlink(path.c_str(), alias.c_str()), 0);
    setenv("TAMSEL_COM6", alias.c_str(), 1);
    EXPECT_EQ(Open(6), RT_ERR_BUSY);

    EXPECT_EQ(CloseCom(PORT), 0);
    QSerialPort holder(QString::fromStdString(path));
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite));
    EXPECT_EQ(Open(), RT_ERR_BUSY);
    holder.close();
    EXPECT_EQ(Open(6), 0);
    EXPECT_EQ(CloseCom(6), 0);
    unlink(alias.c_str());

    // The pty bound over a file: the same device under another name, with no link to resolve.
    const std::string bound = alias + "-bound";
    ASSERT_TRUE(std::ofstream(bound));
    if (mount(path.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        unlink(bound.c_str());
        GTEST_SKIP() << "a bind mount needs CAP_SYS_ADMIN: " << strerror(errno);
    }
    setenv("TAMSEL_COM6", bound.c_str(), 1);
    EXPECT_EQ(Open(), 0);
    EXPECT_EQ(Open(6), RT_ERR_BUSY);
    EXPECT_EQ(CloseCom(PORT), 0);
    EXPECT_EQ(Open(6), 0);
    EXPECT_EQ(Open(), RT_ERR_BUSY);
    EXPECT_EQ(CloseCom(6), 0);
    umount2(bound.c_str(), MNT_DETACH);
    unlink(bound.c_str());
}

TEST_F(PtyPortTest, VanishedDeviceClosesThePortWithoutSpinning) {
    for (bool writing : {false, true}) {
        SCOPED_TRACE(writing ? "writing when it vanished" : "idle when it vanished");
        ASSERT_EQ(Open(), 0);
        close(master);
        master = -1;
        EXPECT_EQ(GetInQLen(PORT), 0);
        if (writing) {
            const int result = ComWrt(PORT, "TGADC\r", 6);
            EXPECT_TRUE(result == 6 || result == RT_ERR_NOT_OPEN) << result;
        }
        // Qt 6.4 would report a read error on every one of these dispatches, at full CPU; the
        // first one closes the port instead.
        for (int i = 0; i < 50; i++)
            QCoreApplication::processEvents();
        EXPECT_EQ(SetComTime(PORT, 1.0), RT_ERR_NOT_OPEN);
        EXPECT_EQ(GetInQLen(PORT), 0);
        EXPECT_EQ(ComRdByte(PORT), RT_ERR_NOT_OPEN);
        EXPECT_EQ(ComWrt(PORT, "x", 1), RT_ERR_NOT_OPEN);
        EXPECT_EQ(Open(), RT_ERR_OPEN_FAILED);
        EXPECT_EQ(CloseCom(PORT), 0);

        close(slave);
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        fcntl(master, F_SETFL, O_NONBLOCK);
        setenv("TAMSEL_COM5", name, 1);
    }

    // Plugged back in under the same name (a link, as /dev/serial/by-id gives): the next write
    // opens the device again with the port's settings. A port the program closed stays closed.
    const std::string link = testing::TempDir() + "tamsel-replug-" + std::to_string(getpid());
    unlink(link.c_str());
    ASSERT_EQ(symlink(ttyname(slave), link.c_str()), 0);
    setenv("TAMSEL_COM5", link.c_str(), 1);
    ASSERT_EQ(Open(), 0);
    close(master);
    close(slave);
    for (int i = 0; i < 50; i++)
        QCoreApplication::processEvents();
    EXPECT_EQ(SetComTime(PORT, 1.0), RT_ERR_NOT_OPEN);
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    unlink(link.c_str());
    ASSERT_EQ(symlink(name, link.c_str()), 0);
    EXPECT_EQ(ComWrt(PORT, "x", 1), 1);
    EXPECT_EQ(ReceiveAtUnit(1), "x");
    termios line;
    ASSERT_EQ(tcgetattr(slave, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B9600);
    EXPECT_EQ(CloseCom(PORT), 0);
    EXPECT_EQ(ComWrt(PORT, "y", 1), RT_ERR_NOT_OPEN);
    unlink(link.c_str());
}

// A unit that stops reading fills the line; writes that cannot go out then wait (or are refused
// beyond the output queue) and the port stays open, because Qt reports a write that would block
// as a ResourceError, the same error that means the device has gone.
TEST_F(PtyPortTest, BackedUpLineKeepsThePortOpenAndLosesNothing) {
    ASSERT_EQ(Open(), 0);
    std::string accepted;
    bool refused = false;
    for (int chunk = 0; chunk < 200; chunk++) {
        const std::string bytes(512, static_cast<char>('a' + chunk % 26));
        const int queued = ComWrt(PORT, bytes.data(), 512);
        ASSERT_GE(queued, 0);
        refused = refused || queued < 512;
        accepted.append(bytes, 0, static_cast<size_t>(queued));
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(SetComTime(PORT, 1.0), 0);
    EXPECT_EQ(ReceiveAtUnit(accepted.size()), accepted);
}

TEST(SerialPort, MisuseAndMissingDevicesAreReportedNotFatal) {
    for (int port : {0, -1, INT_MIN}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512), RT_ERR_ARGUMENT);
        EXPECT_EQ(SetCTSMode(port, 0), RT_ERR_ARGUMENT);
        EXPECT_EQ(SetXMode(port, 0), RT_ERR_ARGUMENT);
        EXPECT_EQ(SetComTime(port, 1.0), RT_ERR_ARGUMENT);
        EXPECT_EQ(ComWrt(port, "x", 1), RT_ERR_ARGUMENT);
        EXPECT_EQ(GetInQLen(port), RT_ERR_ARGUMENT);
        EXPECT_EQ(ComRdByte(port), RT_ERR_ARGUMENT);
        EXPECT_EQ(CloseCom(port), RT_ERR_ARGUMENT);
        EXPECT_STREQ(ComPortDevice(port), "");
    }

    const struct {
        long baud;
        int parity, dataBits, stopBits, inQueue, outQueue;
    } badSettings[] = {{0, 0, 8, 1, 512, 512},     {LONG_MAX, 0, 8, 1, 512, 512},
                       {9600, -1, 8, 1, 512, 512}, {9600, 5, 8, 1, 512, 512},
                       {9600, 0, 4, 1, 512, 512},  {9600, 0, 9, 1, 512, 512},
                       {9600, 0, 8, 0, 512, 512},  {9600, 0, 8, 3, 512, 512},
                       {9600, 0, 8, 1, 0, 512},    {9600, 0, 8, 1, 512, 0}};
    for (const auto &s : badSettings)
        EXPECT_EQ(OpenComConfig(3, nullptr, s.baud, s.parity, s.dataBits, s.stopBits, s.inQueue,
                                s.outQueue),
                  RT_ERR_ARGUMENT)
            << s.baud << " " << s.parity << " " << s.dataBits << " " << s.stopBits;
    EXPECT_EQ(ComWrt(3, nullptr, 1), RT_ERR_ARGUMENT);
    EXPECT_EQ(ComWrt(3, "x", -1), RT_ERR_ARGUMENT);
    EXPECT_EQ(SetCTSMode(3, 3), RT_ERR_ARGUMENT);
    EXPECT_EQ(SetXMode(3, 2), RT_ERR_ARGUMENT);
    EXPECT_EQ(SetComTime(3, NAN), RT_ERR_ARGUMENT);
    EXPECT_EQ(SetComTime(3, -1.0), RT_ERR_ARGUMENT);

    // Qt takes a lock file named after the device before it opens it: tests that run at once
    // each name a missing device of their own, or one would find the other's lock (busy).
    setenv("TAMSEL_COM3", "/dev/tamsel-no-such-port-3", 1);
    EXPECT_STREQ(ComPortDevice(3), "/dev/tamsel-no-such-port-3");
    EXPECT_EQ(OpenComConfig(3, "", 9600, 0, 8, 1, 512, 512), RT_ERR_OPEN_FAILED);
    EXPECT_EQ(GetInQLen(3), 0);
    EXPECT_EQ(ComRdByte(3), RT_ERR_NOT_OPEN);
    EXPECT_EQ(ComWrt(3, "x", 1), RT_ERR_NOT_OPEN);
    EXPECT_EQ(SetCTSMode(3, 0), RT_ERR_NOT_OPEN);
    EXPECT_EQ(CloseCom(3), 0);

    setenv("TAMSEL_COM4", "", 1);
    EXPECT_STREQ(ComPortDevice(4), "/dev/ttyS3");
    unsetenv("TAMSEL_COM4");
    EXPECT_STREQ(ComPortDevice(4), "/dev/ttyS3");
}

TEST(ScriptedLine, BehavesAsAnAlwaysOpenablePort) {
    const int port = 11;
    AttachScriptedLine(port);
    EXPECT_EQ(GetInQLen(port), 0);
    EXPECT_EQ(ComWrt(port, "x", 1), RT_ERR_NOT_OPEN);
    EXPECT_EQ(ComRdByte(port), RT_ERR_NOT_OPEN);
    FeedScriptedLine(port, "before the open");
    ASSERT_EQ(OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512), 0);
    EXPECT_EQ(SetCTSMode(port, 0), 0);
    EXPECT_EQ(GetInQLen(port), 0);

    FeedScriptedLine(port, std::string("\x00\xff\x80\x41", 4));
    EXPECT_EQ(GetInQLen(port), 4);
    for (int expected : {0x00, 0xFF, 0x80, 0x41})
        EXPECT_EQ(ComRdByte(port), expected);
    EXPECT_EQ(ComRdByte(port), RT_ERR_IO);

    EXPECT_EQ(ComWrt(port, "abc", 3), 3);
    EXPECT_EQ(ComWrt(port, "d", 1), 1);
    EXPECT_EQ(TakeScriptedLineOutput(port), "abcd");
    EXPECT_EQ(TakeScriptedLineOutput(port), "");

    FeedScriptedLine(port, "flushed");
    EXPECT_EQ(FlushInQ(port), 0);
    EXPECT_EQ(GetInQLen(port), 0);
    FeedScriptedLine(port, "unread");
    EXPECT_EQ(CloseCom(port), 0);
    EXPECT_EQ(FlushInQ(port), RT_ERR_NOT_OPEN);
    EXPECT_EQ(GetInQLen(port), 0);
    ASSERT_EQ(OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512), 0);
    EXPECT_EQ(GetInQLen(port), 0);

    DetachScriptedLine(port);
    setenv("TAMSEL_COM11", "/dev/tamsel-no-such-port-11", 1);
    EXPECT_EQ(OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512), RT_ERR_OPEN_FAILED);
}

TEST(ScriptedLine, ResponderAnswersEachWriteAndMayChangeTheLine) {
    const int port = 12;
    AttachScriptedLine(port);
    ASSERT_EQ(OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512), 0);
    std::string heard;
    SetScriptedLineResponder(port, [&](const std::string &written) {
        heard += written;
        FeedScriptedLine(port, "T$\r");
        SetScriptedLineResponder(port, [&](const std::string &) { DetachScriptedLine(port); });
    });
    EXPECT_EQ(ComWrt(port, "TGADC\r", 6), 6);
    EXPECT_EQ(heard, "TGADC\r");
    EXPECT_EQ(GetInQLen(port), 3);
    EXPECT_EQ(ComWrt(port, "SVA9\r", 5), 5);
    EXPECT_EQ(GetInQLen(port), 0);
    EXPECT_EQ(TakeScriptedLineOutput(port), "");
}

// ---------------------------------------------------------------------------------------------
// Event loop

TEST(EventLoop, QuitEndsTheLoopWithItsCodeWhateverAsksForIt) {
    const struct {
        const char *name;
        std::function<void()> ask;
        int code;
    } cases[] = {
        {"QuitUserInterface", [] { QuitUserInterface(7); }, 7},
        {"SIGINT", [] { raise(SIGINT); }, 0},
        {"SIGTERM", [] { raise(SIGTERM); }, 0},
        {"SIGHUP", [] { raise(SIGHUP); }, 0},
    };
    for (const auto &c : cases) {
        QTimer::singleShot(0, c.ask);
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QuitUserInterface(99); });
        guard.start(10000);
        EXPECT_EQ(RunUserInterface(), c.code) << c.name;
    }

    QuitUserInterface(4);
    EXPECT_EQ(RunUserInterface(), 4);

    int inner = -1;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, [] { QuitUserInterface(2); });
        inner = RunUserInterface();
        QuitUserInterface(3);
    });
    EXPECT_EQ(RunUserInterface(), 3);
    EXPECT_EQ(inner, 2);
}

// From a termination signal until the loop has ended, the callback that runs is unwound: nothing
// waits, no box is shown (not even to a hook), no port opens and nothing is sent.
TEST(EventLoop, AfterATerminationSignalNothingWaitsShowsOpensOrSends) {
    const int port = 9;
    AttachScriptedLine(port);
    ASSERT_EQ(OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512), 0);
    bool shown = false;
    SetPopupHook([&](const std::string &, const std::string &) { shown = true; });
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(TerminationRequested(), 0);
        raise(SIGTERM);
        EXPECT_EQ(TerminationRequested(), 1);
        EXPECT_EQ(MessagePopup("Title", "text to standard error"), 0);
        EXPECT_EQ(ComWrt(port, "TGADC\r", 6), 0);
        EXPECT_EQ(OpenComConfig(port, "", 9600, 0, 8, 1, 512, 512), RT_ERR_OPEN_FAILED);
        // Ended at once; otherwise the test's time limit ends it.
        Delay(600);
    });
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_FALSE(shown);
    EXPECT_EQ(TakeScriptedLineOutput(port), "");
    EXPECT_EQ(TerminationRequested(), 0) << "forgotten once the loop has ended";
    SetPopupHook({});
    DetachScriptedLine(port);
}

// A program held where the loop cannot end (a modal box, a callback that never returns) still
// ends on the second signal.
TEST(EventLoop, SecondSignalBeforeTheLoopEndsKillsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The handler has written to the pipe before raise returns, so the next dispatch
            // sees the signal.
            for (int sent = 0; sent < 2; sent++) {
                raise(SIGINT);
                ProcessSystemEvents();
            }
            exit(0);
        },
        testing::KilledBySignal(SIGINT), "");
}

TEST(EventLoop, ProcessSystemEventsRunsWhatIsPendingAndReturns) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_TRUE(ran);
    EXPECT_EQ(ProcessSystemEvents(), 0);

    // With nothing pending it sleeps through to the next event, not for some short while.
    ran = false;
    QTimer::singleShot(30, [&] { ran = true; });
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_TRUE(ran);
    Delay(-1.0);
    Delay(NAN);
}

// ---------------------------------------------------------------------------------------------
// Message boxes

TEST(MessagePopup, HookRecordsAndTheRealBoxShowsPlainTextLines) {
    std::string title, text;
    SetPopupHook([&](const std::string &t, const std::string &x) {
        title = t;
        text = x;
    });
    EXPECT_EQ(MessagePopup("Communication warning", "Dorvan Pump Busy, try again"), 0);
    EXPECT_EQ(title, "Communication warning");
    EXPECT_EQ(text, "Dorvan Pump Busy, try again");
    EXPECT_EQ(MessagePopup(nullptr, "x"), RT_ERR_ARGUMENT);
    EXPECT_EQ(MessagePopup("x", nullptr), RT_ERR_ARGUMENT);
    SetPopupHook({});

    // The real box, dismissed with Return as the operator would. Plain messages in the normal
    // font, wrapped; a text laid out with spaces in a fixed pitch, never wrapped, even when its
    // lines are wider than the screen; every box as wide as its title needs.
    const std::string wide = "Dorvan System       : " + std::string(400, 'W');
    const struct {
        const char *title, *text, *shown;
        bool laidOut;
    } cases[] = {
        {"Communication Setup Error",
         "Communication port not found\r\nCheck pc configuration and cables",
         "Communication port not found\nCheck pc configuration and cables", false},
        {"Software Versions", "<b>System</b>       : KX_1\r\r\n\nend",
         "<b>System</b>       : KX_1\n\nend", true},
        {"Software Versions", wide.c_str(), wide.c_str(), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        QDialog *shown = nullptr;
        QLabel *label = nullptr;
        QRect box, screen;
        QTimer dismisser;
        QObject::connect(&dismisser, &QTimer::timeout, [&] {
            shown = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!shown)
                return;
            dismisser.stop();
            label = shown->findChild<QLabel *>(QStringLiteral("MessageText"));
            box = shown->geometry();
            screen = shown->screen()->availableGeometry();
            EXPECT_EQ(shown->windowTitle().toStdString(), c.title);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->text().toStdString(), c.shown);
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
            EXPECT_EQ(label->wordWrap(), !c.laidOut);
            EXPECT_EQ(label->font() == QFontDatabase::systemFont(QFontDatabase::FixedFont),
                      c.laidOut);
            if (c.laidOut && box.width() < screen.width() / 2) {
                EXPECT_GE(label->width(), label->sizeHint().width()) << "lines shown whole";
            }
            QFont bold = shown->font();
            bold.setBold(true);
            EXPECT_GT(box.width(), QFontMetrics(bold).horizontalAdvance(shown->windowTitle()));
            QTest::keyClick(shown->focusWidget() ? shown->focusWidget() : shown, Qt::Key_Return);
        });
        dismisser.start(10);
        EXPECT_EQ(MessagePopup(c.title, c.text), 0);
        ASSERT_NE(shown, nullptr);
        EXPECT_LE(box.width(), screen.width());
        EXPECT_LE(box.height(), screen.height());
    }
}

// ---------------------------------------------------------------------------------------------
// Utility

TEST(Utility, MakePathnameJoinsWithOneSeparatorAndRefusesWhatDoesNotFit) {
    const struct {
        const char *directory, *fileName, *joined;
    } cases[] = {{"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"/a//", "//b", "/a/b"},
                 {"/", "b", "/b"},    {"", "b", "b"},       {"a", "", "a/"}};
    for (const auto &c : cases) {
        char buffer[MAX_PATHNAME_LEN];
        EXPECT_EQ(MakePathname(c.directory, c.fileName, buffer), 0) << c.joined;
        EXPECT_STREQ(buffer, c.joined);
    }

    char buffer[MAX_PATHNAME_LEN] = "/opt/tamsel";
    EXPECT_EQ(MakePathname(buffer, "TAMSEL.INI", buffer), 0);
    EXPECT_STREQ(buffer, "/opt/tamsel/TAMSEL.INI");

    const std::string directory(MAX_PATHNAME_LEN - 3, 'd');
    EXPECT_EQ(MakePathname(directory.c_str(), "f", buffer), 0);
    EXPECT_EQ(strlen(buffer), (size_t)MAX_PATHNAME_LEN - 1);
    EXPECT_EQ(MakePathname(directory.c_str(), "ff", buffer), RT_ERR_ARGUMENT);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(MakePathname(nullptr, "f", buffer), RT_ERR_ARGUMENT);
    EXPECT_EQ(MakePathname("d", nullptr, buffer), RT_ERR_ARGUMENT);
    EXPECT_EQ(MakePathname("d", "f", nullptr), RT_ERR_ARGUMENT);
}

TEST(Utility, GetFileInfoTellsExistsMissingAndErrors) {
    const std::string file = testing::TempDir() + "tamsel-info-" + std::to_string(getpid());
    FILE *out = fopen(file.c_str(), "w");
    ASSERT_NE(out, nullptr);
    fputs("2\r\n\n\n", out);
    fclose(out);

    const struct {
        std::string path;
        int result;
        long size;
    } cases[] = {
        {file, 1, 5},
        {file + ".missing", 0, 0},
        {file + "/under-a-file", 0, 0},
        {testing::TempDir() + std::string(300, 'n'), RT_ERR_ARGUMENT, 0},
    };
    for (const auto &c : cases) {
        long size = -1;
        EXPECT_EQ(GetFileInfo(c.path.c_str(), &size), c.result) << c.path;
        EXPECT_EQ(size, c.size) << c.path;
    }
    long size = 0;
    EXPECT_EQ(GetFileInfo(nullptr, &size), RT_ERR_ARGUMENT);
    EXPECT_EQ(GetFileInfo(file.c_str(), nullptr), RT_ERR_ARGUMENT);
    unlink(file.c_str());
}

TEST(Utility, RoundingIsHalfAwayFromZeroAndClampedOutsideLong) {
    const struct {
        double x;
        long rounded;
    } cases[] = {{2.5, 3},
                 {-2.5, -3},
                 {0.49999999999999994, 0},
                 {24.999999999, 25},
                 {1e300, LONG_MAX},
                 {-1e300, LONG_MIN},
                 {INFINITY, LONG_MAX},
                 {-INFINITY, LONG_MIN},
                 {9.2233720368547758e18, LONG_MAX},
                 {NAN, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(RoundRealToNearestInteger(c.x), c.rounded) << c.x;
}

TEST(Utility, CopyBytesCopiesExactlyTheRangeAsked) {
    char target[] = "xxxxxxx";
    CopyBytes(target, 2, "abcdef", 1, 3);
    EXPECT_STREQ(target, "xxbcdxx");
    CopyBytes(target, 0, target, 2, 5);
    EXPECT_STREQ(target, "bcdxxxx");
    CopyBytes(target, -1, "abc", 0, 1);
    CopyBytes(target, 0, "abc", 0, 0);
    CopyBytes(nullptr, 0, "abc", 0, 1);
    EXPECT_STREQ(target, "bcdxxxx");
}

TEST(Utility, GetProjectDirIsTheProgramsDirectory) {
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    *strrchr(exe, '/') = '\0';
    char buffer[MAX_PATHNAME_LEN];
    ASSERT_EQ(GetProjectDir(buffer), 0);
    EXPECT_STREQ(buffer, exe);
    EXPECT_EQ(GetProjectDir(nullptr), RT_ERR_ARGUMENT);
}

TEST(Utility, OverriddenProjectDirIsReportedUntilRestored) {
    char exe[MAX_PATHNAME_LEN];
    ASSERT_EQ(GetProjectDir(exe), 0);
    char buffer[MAX_PATHNAME_LEN];
    OverrideProjectDir("/tmp/tamsel-elsewhere");
    EXPECT_EQ(GetProjectDir(buffer), 0);
    EXPECT_STREQ(buffer, "/tmp/tamsel-elsewhere");
    OverrideProjectDir("/" + std::string(MAX_PATHNAME_LEN, 'd'));
    EXPECT_EQ(GetProjectDir(buffer), RT_ERR_IO);
    EXPECT_STREQ(buffer, "");
    OverrideProjectDir("");
    EXPECT_EQ(GetProjectDir(buffer), 0);
    EXPECT_STREQ(buffer, exe);
}

} // namespace
