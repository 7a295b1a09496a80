// The simulated unit over a real pty: its answers, its fault and shaping options, its control
// channel and its symlink, seen from a raw client end as the serial layer would see them.
#include "sim_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int ANSWER_TIMEOUT_MS = 5000;
constexpr int SILENCE_MS = 300;

// The client end of the pty, raw, non-blocking.
class Line {
  public:
    explicit Line(const std::string &path) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        struct termios tio;
        if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
    }
    ~Line() {
        if (fd >= 0)
            close(fd);
    }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool isOpen() const { return fd >= 0; }
    bool hungUp() const { return gone; }

    void send(const std::string &bytes) {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `lines` carriage returns (bit 7 ignored) have come, the line hangs up, or
    // timeoutMs passes; chunks counts the reads that delivered bytes.
    std::string readLines(int lines, int timeoutMs, int *chunks = nullptr) {
        std::string got;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        auto crs = [&] {
            return std::count_if(got.begin(), got.end(), [](char c) { return (c & 0x7F) == '\r'; });
        };
        while (crs() < lines && !gone) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd p = {fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buf[512];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
                if (chunks)
                    ++*chunks;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                gone = true;
            }
        }
        return got;
    }

    // Sends a command and returns the answer of `lines` lines.
    std::string ask(const std::string &command, int lines) {
        send(command);
        return readLines(lines, ANSWER_TIMEOUT_MS);
    }

  private:
    int fd = -1;
    bool gone = false;
};

int CountLines(const std::string &bytes) {
    return static_cast<int>(
        std::count_if(bytes.begin(), bytes.end(), [](char c) { return (c & 0x7F) == '\r'; }));
}

std::string LinkTarget(const std::string &link) {
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

struct Step {
    std::string command;
    std::string answer;
};

TEST(UnitSim, AnswersEveryCommandWithItsFramingAndEchoesIt) {
    SimProcess sim;
    ASSERT_TRUE(sim.start(
        {"--echo", "--aspiration", "25", "--delay", "10", "--wash", "50", "--id", "KX_%s%n%x"}))
        << sim.error();
    Line line(sim.path());
    ASSERT_TRUE(line.isOpen());

    const std::vector<Step> steps = {
        {"TGADC\r", "T$\rTGA0019A6\r"},
        {"TGDDF\r", "T$\rTGD000AB0\r"},
        {"TGWF2\r", "T$\rTGW0032B7\r"},
        {"SVA9\r", "S$\rKX_%s%n%x\r"},
        {"?\r", "RDY\r"},
        {"TGADD\r", "E!\r"},              // checksum off by one
        {"TGAdc\r", "E!\r"},              // checksum digits must be upper case
        {"TGXF3\r", "E!\r"},              // no timer X
        {"A\x01\\\r", "E!\r"},            // echoed escaped
        {"TA01235B\r", "T$\r"},           // write 0x0123 ...
        {"TGADC\r\n", "T$\rTGA0123A2\r"}, // ... reads back, LF ignored
    };
    for (const Step &s : steps)
        EXPECT_EQ(line.ask(s.command, CountLines(s.answer)), s.answer) << s.command;

    const std::vector<std::string> echoed = {"TGADC",       "TGDDF",    "TGWF2", "SVA9",
                                             "?",           "TGADD",    "TGAdc", "TGXF3",
                                             "A\\x01\\x5C", "TA01235B", "TGADC"};
    for (const std::string &expected : echoed)
        EXPECT_EQ(sim.readLine(ANSWER_TIMEOUT_MS).value_or("<none>"), expected);
}

TEST(UnitSim, FaultAndShapingOptionsChangeTheBytesSent) {
    struct Case {
        std::vector<std::string> options;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {{"--wrong-ack"}, {{"TGADC\r", "T#\r"}, {"TA01235B\r", "T#\r"}, {"SVA9\r", "S#\r"}}},
        {{"--bad-value"}, {{"TGADC\r", "T$\rTGAZZZZ44\r"}}},
        {{"--readback-differs"}, {{"TA01235B\r", "T$\r"}, {"TGADC\r", "T$\rTGA0124A3\r"}}},
        {{"--top-bit"}, {{"?\r", "\xD2\xC4\xD9\x8D"}}},
        {{"--lf"}, {{"TGADC\r", "T$\r\nTGA0019A6\r\n"}}},
        {{"--overlong", "30"}, {{"?\r", "abcdefghijklmnopqrstuvwxyzabcd\rRDY\r"}}},
        {{"--pace"}, {{"SVA9\r", "S$\rKX_DORVAN PUMP 2.3\r"}}},
        {{"--local-echo"}, {{"TGADC\r", "TGADC\rT$\rTGA0019A6\r"}, {"X\r", "X\rE!\r"}}},
    };
    for (const Case &c : cases) {
        SimProcess sim;
        ASSERT_TRUE(sim.start(c.options)) << sim.error();
        Line line(sim.path());
        for (const Step &s : c.steps)
            EXPECT_EQ(line.ask(s.command, CountLines(s.answer)), s.answer)
                << c.options[0] << " " << s.command;
    }
}

TEST(UnitSim, SplitGapSendsTheReplyInPieces) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--split-gap-ms", "20", "--id", "KX_1234567890"})) << sim.error();
    Line line(sim.path());
    line.send("SVA9\r");
    int chunks = 0;
    EXPECT_EQ(line.readLines(2, ANSWER_TIMEOUT_MS, &chunks), "S$\rKX_1234567890\r");
    EXPECT_GT(chunks, 1);
}

TEST(UnitSim, NoiseBetweenRepliesIsOnlyWhatTheReceiverDrops) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--noise", "--seed", "3"})) << sim.error();
    Line line(sim.path());
    line.send("?\r?\r");
    std::string got = line.readLines(2, ANSWER_TIMEOUT_MS);
    const auto noise =
        std::count_if(got.begin(), got.end(), [](char c) { return c == '\n' || c == '\x1a'; });
    EXPECT_GE(noise, 1);
    got.erase(
        std::remove_if(got.begin(), got.end(), [](char c) { return c == '\n' || c == '\x1a'; }),
        got.end());
    EXPECT_EQ(got, "RDY\rRDY\r");
}

TEST(UnitSim, ControlChannelChangesTheUnitMidRun) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({})) << sim.error();
    Line line(sim.path());

    ASSERT_TRUE(sim.send("set W 4660"));
    EXPECT_EQ(line.ask("TGWF2\r", 2), "T$\rTGW1234BC\r");

    ASSERT_TRUE(sim.send("silent on"));
    line.send("TGWF2\r");
    EXPECT_EQ(line.readLines(1, SILENCE_MS), "");

    ASSERT_TRUE(sim.send("silent off"));
    EXPECT_EQ(line.ask("TGWF2\r", 2), "T$\rTGW1234BC\r");
    // Three commands in, two answers out, the silenced command's included.
    ASSERT_TRUE(sim.send("count"));
    EXPECT_EQ(sim.readLine(ANSWER_TIMEOUT_MS), std::optional<std::string>("COUNT 18 26"));

    ASSERT_TRUE(sim.send("inject 00580d"));
    EXPECT_EQ(line.readLines(1, ANSWER_TIMEOUT_MS), std::string("\0X\r", 3));
    ASSERT_TRUE(sim.send("late 600"));
    line.send("TGWF2\r");
    EXPECT_EQ(line.readLines(1, SILENCE_MS), "");
    EXPECT_EQ(line.readLines(2, ANSWER_TIMEOUT_MS), "T$\rTGW1234BC\r");
    EXPECT_EQ(line.ask("TGWF2\r", 2), "T$\rTGW1234BC\r") << "late holds one command's answers";
    ASSERT_TRUE(sim.send("local-echo on"));
    EXPECT_EQ(line.ask("?\r", 2), "?\rRDY\r");
    ASSERT_TRUE(sim.send("local-echo off"));
    EXPECT_EQ(line.ask("?\r", 1), "RDY\r");

    ASSERT_TRUE(sim.send("hangup"));
    line.readLines(1, ANSWER_TIMEOUT_MS);
    EXPECT_TRUE(line.hungUp());

    ASSERT_TRUE(sim.send("quit"));
    EXPECT_EQ(sim.stop(), 0);
}

TEST(UnitSim, LinkFollowsReopenAndGoesAwayOnStop) {
    char dirTemplate[] = "/tmp/unit-sim-test.XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const std::string link = dir + "/unit";
    ASSERT_EQ(symlink("/nonexistent/stale-pty", link.c_str()), 0);

    SimProcess sim;
    ASSERT_TRUE(sim.start({"--link", link})) << sim.error();
    EXPECT_EQ(LinkTarget(link), sim.path());
    Line first(link);
    EXPECT_EQ(first.ask("?\r", 1), "RDY\r");

    ASSERT_TRUE(sim.send("reopen"));
    const std::string pathLine = sim.readLine(ANSWER_TIMEOUT_MS).value_or("");
    ASSERT_EQ(pathLine.rfind("PATH /", 0), 0u) << pathLine;
    EXPECT_EQ(LinkTarget(link), pathLine.substr(5));
    first.readLines(1, ANSWER_TIMEOUT_MS);
    EXPECT_TRUE(first.hungUp());
    Line second(link);
    EXPECT_EQ(second.ask("?\r", 1), "RDY\r");

    EXPECT_EQ(sim.stop(), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    rmdir(dir.c_str());
}

// What one run of reads shows: the bytes on the wire and the FAULT lines.
std::pair<std::string, std::vector<std::string>> RunReads(int reads) {
    SimProcess sim;
    EXPECT_TRUE(sim.start({"--echo", "--fault-rate", "3", "--seed", "11"})) << sim.error();
    Line line(sim.path());
    std::string commands;
    for (int i = 0; i < reads; ++i)
        commands += "TGADC\r";
    // The attention command is never faulted: its answer marks the end of the run.
    line.send(commands + "?\r");
    std::string wire;
    while (wire.size() < 4 || wire.compare(wire.size() - 4, 4, "RDY\r") != 0) {
        const std::string more = line.readLines(1, ANSWER_TIMEOUT_MS);
        if (more.empty())
            break;
        wire += more;
    }
    std::vector<std::string> faults;
    for (std::optional<std::string> l; (l = sim.readLine(ANSWER_TIMEOUT_MS)) && *l != "?";)
        if (l->rfind("FAULT ", 0) == 0)
            faults.push_back(*l);
    return {wire, faults};
}

TEST(UnitSim, FaultRateReportsEveryFaultAndRepeatsWithTheSeed) {
    const int reads = 30;
    const auto [wire, faults] = RunReads(reads);
    ASSERT_FALSE(faults.empty());
    for (const std::string &f : faults)
        EXPECT_EQ(f, "FAULT TGADC");
    const std::string normal = "T$\rTGA0019A6\r";
    size_t intact = 0;
    for (size_t at = wire.find(normal); at != std::string::npos; at = wire.find(normal, at + 1))
        ++intact;
    EXPECT_EQ(intact + faults.size(), static_cast<size_t>(reads));

    const auto [wireAgain, faultsAgain] = RunReads(reads);
    EXPECT_EQ(wireAgain, wire);
    EXPECT_EQ(faultsAgain, faults);
}

} // namespace
