// The program under every line fault and port file fault, against a simulated unit: the boxes the
// operator sees, the state the rows end in, and a refresh that still answers afterwards.
#include "program_fixture.h"

#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The rows filled from a unit with its default counts, 25, 10 and 50.
const Lines DEFAULT_UNIT_ROWS{"A 2.5 operable green", "D 1 operable green", "W 5 operable green"};
// Confirmed once, then a refresh failed on the first read: every lamp is back to yellow.
const Lines UNCONFIRMED_AGAIN_ROWS{"A 2.5 operable yellow", "D 1 operable yellow",
                                   "W 5 operable yellow"};
// A unit that reports a written count plus one: aspiration was written as 25 and reads 26.
const Lines ASPIRATION_READS_26_ROWS{"A 2.5999999046325684 operable green", "D 1 operable green",
                                     "W 5 operable green"};

// What the program directory holds under the name TAMSEL.INI, when it is not a file's bytes.
const std::string NO_FILE = "<no file>";
const std::string A_DIRECTORY = "<directory>";
const std::string A_SOCKET = "<socket>";
const std::string A_FIFO = "<fifo>";

// Bytes of every value from a fixed generator; these 4096 hold no "[Port]" line.
std::string BinaryGarbage() {
    std::string bytes(4096, '\0');
    unsigned state = 12345;
    for (char &byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    return bytes;
}
const std::string GARBAGE_FILE = BinaryGarbage();

// One line of 10 MiB before the section: the reader looks at the first 64 KiB only, so the
// port 3 it names is never seen.
const std::string TEN_MEGABYTE_FILE = std::string(10 << 20, 'x') + "\r\n" + "[Port]\r\nCOMNO=3\r\n";

// Read by the program, it would name port 3, where no unit hangs.
const std::string PORT_3_FILE = "[Port]\r\nCOMNO=3\r\n";

enum class PortFile {
    Missing,
    Unreadable, // mode 000
    Socket,     // opens for no one, root included
    Directory,
    Fifo, // opening it to read would wait for a writer
    Garbage,
    TenMegabytes,
    // The program directory is /proc, which refuses new files to everyone, root included.
    InUnwritableDirectory,
};

enum class Action {
    None,
    WriteAspiration, // the row's value as shown
    // The unit falls silent and, while the refresh's first read polls, closes its side of the
    // line. Silence first, so that no reply can beat the hang-up to the program: a reply cut short
    // would stay in the reply buffer and spoil the first reply on the reopened line.
    HangUpDuringRefresh,
    // A termination signal while the refresh's read error box is open, or while the refresh
    // waits for a unit fallen silent: the program ends with 0, and shows no box after it.
    SignalAtReadErrorBox,
    SignalDuringSilentRefresh,
    // A converter with local echo switched in: a write, then a refresh, each meet their own echo.
    EchoOnWriteThenRefresh,
    // Bytes on the idle line that begin no reply the program could finish: one NUL, noise.
    NulOnIdleLine,
    NoiseOnIdleLine,
    // The unit answers one command 2.3 s late, past the 2 s timeout; the late answer has arrived
    // by the time the operator acts again.
    ReadAnsweredLate,
    WriteAcknowledgedLate,
    // The adapter pulled out while the program is idle: its status line says the line dropped.
    PullAdapter,
};

enum class Recovery {
    None,
    SilentOff,
    // The unit opens a new pseudo-terminal behind the same path; the operator accepts the port in
    // use in the communication setup, which closes it and opens it again.
    ReopenAndAcceptSamePort,
    EchoOff,
    // A new pseudo-terminal behind the same path; the operator only presses Refresh.
    PlugAdapterBackIn,
};

// What the operator has seen by the end of a step: the boxes it showed, in order, and the rows.
struct Seen {
    Popups popups;
    Lines rows;
};

struct FaultCase {
    const char *name;
    std::vector<std::string> unit; // options of the unit
    int port;                      // where the unit hangs
    PortFile portFile;
    Seen startUp;
    Action action;
    Seen afterAction; // unused with Action::None
    Recovery recovery;
    Seen refresh; // after the recovery, the refresh button
    std::string portFileAfter;
};
void PrintTo(const FaultCase &c, std::ostream *os) {
    *os << c.name;
}

const Seen NORMAL{{}, DEFAULT_UNIT_ROWS};
const Seen NOTHING{};
const Seen READ_FAILS_BEFORE_ANY_ROW{{READ_ERROR_BOX, NOT_READ_BOX}, UNCONFIRMED_ROWS};

const FaultCase FAULT_CASES[] = {
    // Line faults the unit recovers from, or that touch only some commands.
    {"UnitSilent",
     {"--silent"},
     2,
     PortFile::Missing,
     {{PUMP_NOT_FOUND_BOX}, UNCONFIRMED_ROWS},
     Action::None,
     NOTHING,
     Recovery::SilentOff,
     NORMAL,
     PortFileText(2)},
    {"ReadBackDiffers",
     {"--readback-differs"},
     2,
     PortFile::Missing,
     NORMAL,
     Action::WriteAspiration,
     {{UPDATE_ERROR_BOX}, DEFAULT_UNIT_ROWS},
     Recovery::None,
     {{}, ASPIRATION_READS_26_ROWS},
     PortFileText(2)},
    {"HangUpMidExchangeThenReopen",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::HangUpDuringRefresh,
     {{READ_ERROR_BOX, NOT_READ_BOX}, UNCONFIRMED_AGAIN_ROWS},
     Recovery::ReopenAndAcceptSamePort,
     NORMAL,
     PortFileText(2)},
    // The refresh after the signal still runs in the script, but sends nothing and shows nothing.
    {"SignalAtReadErrorBox",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::SignalAtReadErrorBox,
     {{READ_ERROR_BOX}, UNCONFIRMED_AGAIN_ROWS},
     Recovery::None,
     {{}, UNCONFIRMED_AGAIN_ROWS},
     PortFileText(2)},
    {"SignalDuringSilentRefresh",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::SignalDuringSilentRefresh,
     {{}, UNCONFIRMED_AGAIN_ROWS},
     Recovery::None,
     {{}, UNCONFIRMED_AGAIN_ROWS},
     PortFileText(2)},
    // Line faults built into the unit: every refresh fails the same defined way.
    {"WrongAcknowledgement",
     {"--wrong-ack"},
     2,
     PortFile::Missing,
     {{PUMP_NOT_FOUND_BOX}, UNCONFIRMED_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     READ_FAILS_BEFORE_ANY_ROW,
     PortFileText(2)},
    {"UnconvertibleValue",
     {"--bad-value"},
     2,
     PortFile::Missing,
     {{READ_ERROR_BOX}, UNCONFIRMED_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     READ_FAILS_BEFORE_ANY_ROW,
     PortFileText(2)},
    // A junk line longer than the reply buffer before every reply: the junk, wrapped, is taken
    // as the reply, so the unit is never recognised, and the replies it hides stay queued.
    {"OverlongLine",
     {"--overlong", "300"},
     2,
     PortFile::Missing,
     {{PUMP_NOT_FOUND_BOX}, UNCONFIRMED_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     READ_FAILS_BEFORE_ANY_ROW,
     PortFileText(2)},
    // Lines shaped on the wire but valid: the normal result.
    {"BytesSplitWithGaps",
     {"--split-gap-ms", "10"},
     2,
     PortFile::Missing,
     NORMAL,
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    {"TopBitSet",
     {"--top-bit"},
     2,
     PortFile::Missing,
     NORMAL,
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    {"LineFeedAfterCarriageReturn",
     {"--lf"},
     2,
     PortFile::Missing,
     NORMAL,
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    {"NoiseBetweenReplies",
     {"--noise"},
     2,
     PortFile::Missing,
     NORMAL,
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    // What the line delivered before an exchange is never its answer.
    {"EchoedWriteAndRead",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::EchoOnWriteThenRefresh,
     {{UPDATE_ERROR_BOX, READ_ERROR_BOX, NOT_READ_BOX}, UNCONFIRMED_AGAIN_ROWS},
     Recovery::EchoOff,
     NORMAL,
     PortFileText(2)},
    {"NulOnIdleLine",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::NulOnIdleLine,
     NORMAL,
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    {"NoiseOnIdleLine",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::NoiseOnIdleLine,
     NORMAL,
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    {"ReadAnsweredLate",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::ReadAnsweredLate,
     {{READ_ERROR_BOX, NOT_READ_BOX}, UNCONFIRMED_AGAIN_ROWS},
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    {"WriteAcknowledgedLate",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::WriteAcknowledgedLate,
     {{UPDATE_ERROR_BOX}, DEFAULT_UNIT_ROWS},
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    {"AdapterPulledAndPluggedBackIn",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::PullAdapter,
     NORMAL,
     Recovery::PlugAdapterBackIn,
     NORMAL,
     PortFileText(2)},
    // Port file faults, with a normal unit.
    {"PortFileMissing",
     {},
     2,
     PortFile::Missing,
     NORMAL,
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     PortFileText(2)},
    {"PortFileUnreadable",
     {},
     2,
     PortFile::Unreadable,
     {{INI_ERROR_BOX}, DEFAULT_UNIT_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     PORT_3_FILE},
    {"PortFileIsASocket",
     {},
     2,
     PortFile::Socket,
     {{INI_ERROR_BOX}, DEFAULT_UNIT_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     A_SOCKET},
    {"PortFileIsADirectory",
     {},
     2,
     PortFile::Directory,
     {{INI_ERROR_BOX}, DEFAULT_UNIT_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     A_DIRECTORY},
    {"PortFileBinaryGarbage",
     {},
     2,
     PortFile::Garbage,
     {{INI_ERROR_BOX}, DEFAULT_UNIT_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     GARBAGE_FILE},
    {"PortFileIsAFifo",
     {},
     2,
     PortFile::Fifo,
     {{INI_ERROR_BOX}, DEFAULT_UNIT_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     A_FIFO},
    {"PortFileTenMegabytes",
     {},
     2,
     PortFile::TenMegabytes,
     {{INI_ERROR_BOX}, DEFAULT_UNIT_ROWS},
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     TEN_MEGABYTE_FILE},
    // The missing file cannot be created: the default is used, and nothing is said.
    {"PortFileInUnwritableDirectory",
     {},
     2,
     PortFile::InUnwritableDirectory,
     NORMAL,
     Action::None,
     NOTHING,
     Recovery::None,
     NORMAL,
     NO_FILE},
};

// Root reads a file of mode 000 through its capabilities to override file modes. Without them in
// its effective set, on this thread (where the program runs) and for as long as this lives, the
// modes bind root as they bind an operator; the program's own line and files stay root's.
class FileModesBindRoot {
  public:
    FileModesBindRoot() {
        if (syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        dropped = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~FileModesBindRoot() {
        if (dropped)
            syscall(SYS_capset, &header, saved);
    }
    FileModesBindRoot(const FileModesBindRoot &) = delete;
    FileModesBindRoot &operator=(const FileModesBindRoot &) = delete;
    bool dropped = false;

  private:
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
};

class Fault : public ProgramTest, public testing::WithParamInterface<FaultCase> {
  protected:
    fs::path programDir;
    size_t popupsChecked = 0;

    void SetUp() override {
        ProgramTest::SetUp();
        programDir = dir;
    }

    void PreparePortFile(PortFile kind) {
        switch (kind) {
        case PortFile::Missing:
            break;
        case PortFile::Unreadable:
            WriteFile(IniPath(), PORT_3_FILE);
            fs::permissions(IniPath(), fs::perms::none);
            break;
        case PortFile::Socket:
            MakeSocket(IniPath());
            break;
        case PortFile::Directory:
            fs::create_directory(IniPath());
            break;
        case PortFile::Fifo:
            ASSERT_EQ(mkfifo(IniPath().c_str(), 0666), 0) << strerror(errno);
            break;
        case PortFile::Garbage:
            WriteFile(IniPath(), GARBAGE_FILE);
            break;
        case PortFile::TenMegabytes:
            WriteFile(IniPath(), TEN_MEGABYTE_FILE);
            break;
        case PortFile::InUnwritableDirectory:
            programDir = "/proc";
            OverrideProjectDir(programDir.string());
            break;
        }
    }

    static void MakeSocket(const fs::path &path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(path.string().size(), sizeof address.sun_path);
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        // The name stays in the directory after the socket is closed, and opening it fails.
        const int bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        close(fd);
        ASSERT_EQ(bound, 0) << strerror(errno);
    }

    std::string PortFileState() const {
        const fs::path path = programDir / "TAMSEL.INI";
        const fs::file_status status = fs::symlink_status(path);
        if (!fs::exists(status))
            return NO_FILE;
        if (fs::is_directory(status))
            return A_DIRECTORY;
        if (fs::is_socket(status))
            return A_SOCKET;
        if (fs::is_fifo(status))
            return A_FIFO;
        // A file made unreadable on purpose is read by giving its owner the right back.
        fs::permissions(path, fs::perms::owner_read, fs::perm_options::add);
        return ReadFile(path);
    }

    // The boxes shown since the last check, then the rows, against what the operator must see.
    void ExpectSeen(const char *step, const Seen &seen) {
        SCOPED_TRACE(step);
        const Popups shown(popups.begin() + static_cast<std::ptrdiff_t>(popupsChecked),
                           popups.end());
        popupsChecked = popups.size();
        EXPECT_EQ(shown, seen.popups);
        EXPECT_EQ(ShownRows(), seen.rows);
    }

    // Until bytes the unit sent have reached the program's input queue (or the wait gives up).
    static void WaitForBytesAtProgram(int port) {
        WaitUntil([port] { return GetInQLen(port) > 0; });
    }

    // The unit prints the new path once its new pseudo-terminal is behind the link.
    bool Reopened(int port) {
        while (auto line = units[port].readLine(WAIT_MS)) {
            if (line->rfind("PATH ", 0) == 0)
                return true;
        }
        return false;
    }
};

std::string Abbreviated(const std::string &text) {
    const size_t shown = 60;
    return text.size() <= shown
               ? text
               : text.substr(0, shown) + "... (" + std::to_string(text.size()) + " bytes)";
}

TEST_P(Fault, EndsInTheDefinedStateAndARefreshStillAnswers) {
    const FaultCase &c = GetParam();
    StartUnit(c.port, c.unit);
    PreparePortFile(c.portFile);
    std::optional<FileModesBindRoot> modesBind;
    if (c.portFile == PortFile::Unreadable && geteuid() == 0) {
        modesBind.emplace();
        ASSERT_TRUE(modesBind->dropped) << "root's capabilities could not be set";
    }
    bool hungUp = false;
    const int result = RunProgram([&] {
        ASSERT_TRUE(WaitForFirstContact());
        ExpectSeen("start-up", c.startUp);

        switch (c.action) {
        case Action::None:
            break;
        case Action::WriteAspiration:
            Press(ASPIRATION_WRITE);
            break;
        case Action::HangUpDuringRefresh:
            ASSERT_TRUE(units[c.port].send("silent on"));
            DuringNextExchange([&] { hungUp = units[c.port].send("hangup"); });
            Press(REFRESH);
            EXPECT_TRUE(hungUp) << "the line was closed while the refresh polled";
            EXPECT_EQ(StatusLine(), PortStatus(c.port, "closed: the line dropped"));
            break;
        case Action::SignalAtReadErrorBox:
            ASSERT_TRUE(units[c.port].send("silent on"));
            SetPopupHook([this](const std::string &title, const std::string &text) {
                popups.emplace_back(title, text);
                if (popups.back() == READ_ERROR_BOX)
                    Terminate();
            });
            Press(REFRESH);
            break;
        case Action::SignalDuringSilentRefresh:
            ASSERT_TRUE(units[c.port].send("silent on"));
            DuringNextExchange([&] { Terminate(); });
            Press(REFRESH);
            break;
        case Action::EchoOnWriteThenRefresh:
            ASSERT_TRUE(units[c.port].send("local-echo on"));
            Press(ASPIRATION_WRITE);
            Press(REFRESH);
            break;
        case Action::NulOnIdleLine:
            ASSERT_TRUE(units[c.port].send("inject 00"));
            WaitForBytesAtProgram(c.port);
            break;
        case Action::NoiseOnIdleLine:
            ASSERT_TRUE(units[c.port].send("inject 5447417e2301ff54"));
            WaitForBytesAtProgram(c.port);
            break;
        case Action::ReadAnsweredLate:
            ASSERT_TRUE(units[c.port].send("late 2300"));
            Press(REFRESH);
            WaitForBytesAtProgram(c.port);
            break;
        case Action::WriteAcknowledgedLate:
            ASSERT_TRUE(units[c.port].send("late 2300"));
            Press(ASPIRATION_WRITE);
            WaitForBytesAtProgram(c.port);
            break;
        case Action::PullAdapter:
            ASSERT_TRUE(units[c.port].send("hangup"));
            EXPECT_TRUE(WaitUntil([&] {
                return StatusLine() == PortStatus(c.port, "closed: the line dropped");
            })) << StatusLine();
            break;
        }
        if (c.action != Action::None)
            ExpectSeen("fault action", c.afterAction);

        switch (c.recovery) {
        case Recovery::None:
            break;
        case Recovery::SilentOff:
            ASSERT_TRUE(units[c.port].send("silent off"));
            break;
        case Recovery::ReopenAndAcceptSamePort:
            ASSERT_TRUE(units[c.port].send("reopen"));
            ASSERT_TRUE(Reopened(c.port));
            ASSERT_TRUE(units[c.port].send("silent off"));
            Choose("CommSetUpCallback");
            ASSERT_EQ(SelectedPortIndex(), c.port - 1);
            Click(SetUpPanelHandle, SETUP_OK);
            break;
        case Recovery::EchoOff:
            ASSERT_TRUE(units[c.port].send("local-echo off"));
            break;
        case Recovery::PlugAdapterBackIn:
            ASSERT_TRUE(units[c.port].send("reopen"));
            ASSERT_TRUE(Reopened(c.port));
            EXPECT_EQ(StatusLine(), PortStatus(c.port, "closed: the line dropped"));
            break;
        }

        if (c.recovery == Recovery::ReopenAndAcceptSamePort) {
            EXPECT_EQ(StatusLine(), PortStatus(c.port, "open"));
        }
        Press(REFRESH);
        ExpectSeen("refresh", c.refresh);
        if (c.recovery == Recovery::PlugAdapterBackIn) {
            EXPECT_EQ(StatusLine(), PortStatus(c.port, "open"));
        }
        EXPECT_EQ(Dv3Gate, 1) << "the gate is free once every exchange has ended";
    });
    EXPECT_EQ(result, 0);
    modesBind.reset();
    const std::string after = PortFileState();
    EXPECT_TRUE(after == c.portFileAfter)
        << "TAMSEL.INI: " << Abbreviated(after) << ", expected " << Abbreviated(c.portFileAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, Fault, testing::ValuesIn(FAULT_CASES),
                         [](const testing::TestParamInfo<FaultCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
