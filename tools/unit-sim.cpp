// Simulated pump unit on a pseudo-terminal: answers the timer and version commands, with
// selectable faults and wire shaping, and a control channel on stdin for tests and benchmarks.
//
// Usage: unit-sim [options]
//   --link PATH           make PATH a symlink to the slave side (a stale symlink is replaced)
//   --id TEXT             identification line sent after "S$" (without its CR)
//   --aspiration N, --delay N, --wash N   start counts (decimal, 0..65535)
//   --silent              never answer
//   --wrong-ack           acknowledge with "T#" / "S#" (and send nothing more for that command)
//   --bad-value           value replies carry "ZZZZ" instead of four hex digits
//   --readback-differs    reads of a written timer report the written count + 1 (mod 65536)
//   --split-gap-ms N      send one byte at a time, N ms apart
//   --pace                send at the pace of 9600 baud 8N1 (10 bits a byte)
//   --top-bit             set bit 7 on every byte sent
//   --lf                  send a LF after every CR
//   --overlong N          send a junk line of N lower-case letters + CR before every reply line
//   --noise               send 1 to 3 bytes of LF / SUB after every reply line
//   --echo                print every command received to stdout, one per line
//   --stamp               with --echo, put before each command the time its CR arrived: seconds
//                         of the monotonic clock, to the microsecond, and a space
//   --local-echo          send every byte received straight back, before any answer (a converter
//                         with local echo)
//   --fault-rate N        fault one exchange in N at random, printing "FAULT <command>"
//   --seed S              seed of --fault-rate and --noise (default 1)
//
// stdout: the slave path as the first line, then "PATH <path>" after each reopen, and with
// --echo / --fault-rate the command lines and FAULT lines in the order the commands arrived.
// Commands are printed without their CR; bytes outside 0x20..0x7E and the backslash as \xHH.
//
// stdin, one line each: "silent on|off", "local-echo on|off", "set A|D|W N", "late MS" (the
// answers to the next command are held back MS milliseconds, then sent), "inject HEX" (the bytes
// given as hex pairs go on the line at once, outside any answer), "hangup" (close the pty),
// "reopen" (new pty, symlink re-pointed, "PATH <path>" printed), "count" (prints
// "COUNT <bytes received> <bytes sent>", every byte that crossed the line so far), "quit". A
// control line written before a command reaches the pty is applied before that command. EOF is
// not an end.
//
// Ends with status 0 on SIGINT, SIGTERM or "quit", removing its symlink.
#include <pty.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

// CLOCK_MONOTONIC on Linux: the pace timer takes its time points as absolute deadlines.
using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// 10 bits a byte (start, 8 data, stop) at 9600 baud.
constexpr Nanos PACE_BYTE_NS{10'000'000'000LL / 9600};
// A command longer than this is kept truncated; it cannot be valid anyway.
constexpr size_t MAX_COMMAND_LEN = 1024;
constexpr const char *ERROR_LINE = "E!";
constexpr const char *STATUS_LINE = "RDY";

struct Options {
    std::string link;
    std::string id = "KX_DORVAN PUMP 2.3";
    int counts[3] = {25, 10, 50};
    bool silent = false;
    bool wrongAck = false;
    bool badValue = false;
    bool readbackDiffers = false;
    long splitGapMs = 0;
    bool pace = false;
    bool topBit = false;
    bool lf = false;
    long overlong = 0;
    bool noise = false;
    bool echo = false;
    bool stamp = false;
    bool localEcho = false;
    unsigned long faultRate = 0;
    unsigned long seed = 1;
};

enum class Fault { None, Silent, WrongAck, BadValue, Differs };

Options opts;
volatile sig_atomic_t stopRequested = 0;

int masterFd = -1;
// Kept open so that reads on the master never fail with EIO while no client has the slave open.
int slaveFd = -1;
std::string slavePath;

bool stdinOpen = true;
std::string controlBuffer;
std::string commandBuffer;

// Bytes waiting for the wire, and the earliest time the next one may go when pacing.
std::deque<unsigned char> outQueue;
Clock::time_point nextByteAt;
Clock::time_point
    commandLandsAt; // with --pace: when the last command received would have crossed the wire
bool masterWritable = true;
// With pacing: fires at nextByteAt, an absolute time, so a late wake-up never shifts the bytes
// after it and the unit's own delays do not add to the line's time.
int paceTimerFd = -1;

// Bytes that crossed the line, for "count".
unsigned long long bytesReceived = 0;
unsigned long long bytesSent = 0;

// "late": the delay for the answers to the next command, and the answers held back meanwhile.
long lateMsForNextCommand = 0;
bool holdingAnswers = false;
std::string heldAnswers;
Clock::time_point heldUntil;

bool written[3] = {false, false, false};
// Timer code of the previous command if it was a write, else 0: the next read is its read-back.
char lastWriteCode = 0;

std::mt19937 faultRng;
std::mt19937 noiseRng;

void OnSignal(int) {
    stopRequested = 1;
}

void PrintLine(const std::string &text) {
    std::string line = text + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

[[noreturn]] void Die(const std::string &what) {
    fprintf(stderr, "unit-sim: %s\n", what.c_str());
    exit(2);
}

std::string Escaped(const std::string &command) {
    std::string out;
    for (unsigned char c : command) {
        if (c >= 0x20 && c <= 0x7E && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5]; // "\xHH" + NUL
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

int Checksum(const std::string &text) {
    unsigned sum = 0;
    for (unsigned char c : text)
        sum += c;
    return static_cast<int>(sum & 0xFF);
}

std::string Hex(unsigned value, int digits) {
    char buf[9]; // at most 8 digits + NUL
    snprintf(buf, sizeof buf, "%0*X", digits, value);
    return buf;
}

bool IsUpperHex(const std::string &text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

int TimerIndex(char code) {
    switch (code) {
    case 'A':
        return 0;
    case 'D':
        return 1;
    case 'W':
        return 2;
    default:
        return -1;
    }
}

bool ParseCount(const char *text, int *count) {
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 65535)
        return false;
    *count = static_cast<int>(value);
    return true;
}

bool IsPaced() {
    return opts.pace || opts.splitGapMs > 0;
}

Nanos ByteGap() {
    return opts.splitGapMs > 0 ? Nanos(std::chrono::milliseconds(opts.splitGapMs)) : PACE_BYTE_NS;
}

void QueueBytes(const std::string &bytes) {
    if (masterFd < 0)
        return;
    if (outQueue.empty() && IsPaced()) {
        // With --pace even the first byte of a burst takes one byte time to cross the line, and
        // no answer starts before the command it answers has crossed the line itself.
        Clock::time_point earliest =
            std::max(Clock::now(), commandLandsAt) + (opts.pace ? PACE_BYTE_NS : Nanos(0));
        if (nextByteAt < earliest)
            nextByteAt = earliest;
    }
    for (unsigned char c : bytes)
        outQueue.push_back(opts.topBit ? static_cast<unsigned char>(c | 0x80) : c);
}

// Sends one reply line with the shaping options: junk line before, LF after CR, noise after.
void SendLine(const std::string &text) {
    const std::string eol = opts.lf ? "\r\n" : "\r";
    std::string bytes;
    if (opts.overlong > 0) {
        for (long i = 0; i < opts.overlong; ++i)
            bytes += static_cast<char>('a' + i % 26);
        bytes += eol;
    }
    bytes += text + eol;
    if (opts.noise) {
        // Only bytes the PC drops between replies: printable noise would join the next reply.
        static const char NOISE[] = {'\n', '\x1a'};
        unsigned n = 1 + noiseRng() % 3;
        for (unsigned i = 0; i < n; ++i)
            bytes += NOISE[noiseRng() % 2];
    }
    if (holdingAnswers)
        heldAnswers += bytes;
    else
        QueueBytes(bytes);
}

void ReleaseHeldAnswers() {
    if (heldAnswers.empty() || Clock::now() < heldUntil)
        return;
    QueueBytes(heldAnswers);
    heldAnswers.clear();
}

Fault DrawFault(bool canBadValue, bool isReadback) {
    if (opts.faultRate == 0 || faultRng() % opts.faultRate != 0)
        return Fault::None;
    std::vector<Fault> kinds = {Fault::Silent, Fault::WrongAck};
    if (canBadValue)
        kinds.push_back(Fault::BadValue);
    if (isReadback)
        kinds.push_back(Fault::Differs);
    return kinds[faultRng() % kinds.size()];
}

void AnswerRead(char code, Fault fault) {
    const int index = TimerIndex(code);
    if (fault == Fault::WrongAck || opts.wrongAck) {
        SendLine("T#");
        return;
    }
    SendLine("T$");
    std::string value = "TG" + std::string(1, code);
    if (fault == Fault::BadValue || opts.badValue) {
        value += "ZZZZ";
    } else {
        unsigned count = static_cast<unsigned>(opts.counts[index]);
        if (fault == Fault::Differs || (opts.readbackDiffers && written[index]))
            count = (count + 1) & 0xFFFF;
        value += Hex(count, 4);
    }
    SendLine(value + Hex(Checksum(value), 2));
}

void AnswerVersion(Fault fault) {
    if (fault == Fault::WrongAck || opts.wrongAck) {
        SendLine("S#");
        return;
    }
    SendLine("S$");
    SendLine(fault == Fault::BadValue ? "KY_UNKNOWN" : opts.id);
}

void AnswerCommand(const std::string &command) {
    const char readbackOf = lastWriteCode;
    lastWriteCode = 0;

    if (command == "?") {
        if (!opts.silent)
            SendLine(STATUS_LINE);
        return;
    }
    const size_t n = command.size();
    const bool checksumOk =
        n >= 3 && IsUpperHex(command.substr(n - 2)) &&
        std::stoi(command.substr(n - 2), nullptr, 16) == Checksum(command.substr(0, n - 2));
    const std::string body = checksumOk ? command.substr(0, n - 2) : std::string();

    enum { Unknown, Read, Write, Version } kind = Unknown;
    if (body.size() == 3 && body.compare(0, 2, "TG") == 0 && TimerIndex(body[2]) >= 0)
        kind = Read;
    else if (body.size() == 6 && body[0] == 'T' && TimerIndex(body[1]) >= 0 &&
             IsUpperHex(body.substr(2)))
        kind = Write;
    else if (body == "SV")
        kind = Version;

    if (kind == Unknown) {
        if (!opts.silent)
            SendLine(ERROR_LINE);
        return;
    }

    const Fault fault =
        opts.silent ? Fault::None : DrawFault(kind != Write, kind == Read && readbackOf == body[2]);
    if (fault != Fault::None)
        PrintLine("FAULT " + Escaped(command));

    if (kind == Write) {
        const int index = TimerIndex(body[1]);
        opts.counts[index] = std::stoi(body.substr(2), nullptr, 16);
        written[index] = true;
        // Only an accepted write is followed by its read-back; after a faulted one the PC gives
        // up, and the next read of that timer is a plain read, which may not report a changed
        // value.
        if (fault == Fault::None)
            lastWriteCode = body[1];
    }
    if (opts.silent || fault == Fault::Silent)
        return;
    switch (kind) {
    case Read:
        AnswerRead(body[2], fault);
        break;
    case Write:
        SendLine(fault == Fault::WrongAck || opts.wrongAck ? "T#" : "T$");
        break;
    case Version:
        AnswerVersion(fault);
        break;
    case Unknown:
        break;
    }
}

// "12345.678901 ": the unit's own time, so that what reads its output late does not skew it.
std::string Stamp() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[32]; // a 64-bit count of seconds (at most 20 digits), '.', 6 digits, ' ' and NUL
    snprintf(text, sizeof text, "%lld.%06ld ", static_cast<long long>(now.tv_sec),
             now.tv_nsec / 1000);
    return text;
}

void HandleCommand(const std::string &command) {
    if (opts.echo)
        PrintLine((opts.stamp ? Stamp() : std::string()) + Escaped(command));
    holdingAnswers = lateMsForNextCommand > 0;
    if (holdingAnswers)
        heldUntil = Clock::now() + std::chrono::milliseconds(lateMsForNextCommand);
    lateMsForNextCommand = 0;
    AnswerCommand(command);
    holdingAnswers = false;
}

void HandleLineBytes(const char *data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n')
            continue;
        if (c == '\r') {
            // The pty hands over a whole command at once; on the wire its last byte lands only
            // after every byte has taken its time.
            if (opts.pace)
                commandLandsAt = Clock::now() + PACE_BYTE_NS * (commandBuffer.size() + 1);
            std::string command;
            command.swap(commandBuffer);
            HandleCommand(command);
        } else if (commandBuffer.size() < MAX_COMMAND_LEN) {
            commandBuffer += c;
        }
    }
}

void ClosePty() {
    if (masterFd >= 0)
        close(masterFd);
    if (slaveFd >= 0)
        close(slaveFd);
    masterFd = slaveFd = -1;
    outQueue.clear();
    heldAnswers.clear();
    commandBuffer.clear();
    masterWritable = true;
}

// Points the link at the current slave: a new symlink renamed over the old one, so a client
// never sees the link missing.
void UpdateLink() {
    if (opts.link.empty())
        return;
    struct stat st;
    if (lstat(opts.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        Die(opts.link + " exists and is not a symlink");
    const std::string tmp = opts.link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(slavePath.c_str(), tmp.c_str()) != 0)
        Die("cannot create symlink " + tmp + ": " + strerror(errno));
    if (rename(tmp.c_str(), opts.link.c_str()) != 0) {
        unlink(tmp.c_str());
        Die("cannot create symlink " + opts.link + ": " + strerror(errno));
    }
}

void RemoveLink() {
    if (opts.link.empty())
        return;
    char target[4096];
    const ssize_t len = readlink(opts.link.c_str(), target, sizeof target - 1);
    if (len < 0)
        return;
    target[len] = '\0';
    if (slavePath == target)
        unlink(opts.link.c_str());
}

void OpenPty() {
    ClosePty();
    char name[256];
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0)
        Die(std::string("openpty: ") + strerror(errno));
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    // Raw before any client opens it: no echo of our replies back as commands, no CR/NL mapping.
    struct termios tio;
    if (tcgetattr(slaveFd, &tio) != 0)
        Die(std::string("tcgetattr: ") + strerror(errno));
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(slaveFd, TCSANOW, &tio) != 0)
        Die(std::string("tcsetattr: ") + strerror(errno));
    slavePath = name;
    UpdateLink();
}

// "inject": hex pairs, upper or lower case, nothing else.
bool ParseHexBytes(const std::string &hex, std::string *bytes) {
    if (hex.empty() || hex.size() % 2 != 0 ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes->push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return true;
}

void HandleControl(const std::string &line) {
    static const std::string INJECT = "inject ";
    if (line.compare(0, INJECT.size(), INJECT) == 0) {
        std::string bytes;
        if (ParseHexBytes(line.substr(INJECT.size()), &bytes)) {
            QueueBytes(bytes);
            return;
        }
    }
    char what[16] = "";
    char arg[32] = "";
    char extra[2] = "";
    const int fields = sscanf(line.c_str(), "%15s %31s %1s", what, arg, extra);
    const std::string cmd = what;
    if (cmd == "silent" && fields == 2 && (strcmp(arg, "on") == 0 || strcmp(arg, "off") == 0)) {
        opts.silent = strcmp(arg, "on") == 0;
        return;
    }
    if (cmd == "local-echo" && fields == 2 && (strcmp(arg, "on") == 0 || strcmp(arg, "off") == 0)) {
        opts.localEcho = strcmp(arg, "on") == 0;
        return;
    }
    if (cmd == "late" && fields == 2) {
        char *end = nullptr;
        errno = 0;
        const long ms = strtol(arg, &end, 10);
        if (errno == 0 && end != arg && *end == '\0' && ms >= 0 && ms <= 600000) {
            lateMsForNextCommand = ms;
            return;
        }
    }
    if (cmd == "set") {
        char code = 0;
        char value[16] = "";
        int count = 0;
        if (sscanf(line.c_str(), "set %c %15s %1s", &code, value, extra) == 2 &&
            TimerIndex(code) >= 0 && ParseCount(value, &count)) {
            opts.counts[TimerIndex(code)] = count;
            written[TimerIndex(code)] = false;
            return;
        }
    } else if (cmd == "hangup" && fields == 1) {
        ClosePty();
        return;
    } else if (cmd == "reopen" && fields == 1) {
        OpenPty();
        PrintLine("PATH " + slavePath);
        return;
    } else if (cmd == "count" && fields == 1) {
        PrintLine("COUNT " + std::to_string(bytesReceived) + " " + std::to_string(bytesSent));
        return;
    } else if (cmd == "quit" && fields == 1) {
        stopRequested = 1;
        return;
    }
    fprintf(stderr, "unit-sim: unknown control line: %s\n", Escaped(line).c_str());
}

void ReadControl() {
    char buf[512];
    const ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        stdinOpen = false;
        return;
    }
    controlBuffer.append(buf, static_cast<size_t>(got));
    size_t nl;
    while ((nl = controlBuffer.find('\n')) != std::string::npos) {
        std::string line = controlBuffer.substr(0, nl);
        controlBuffer.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            HandleControl(line);
    }
}

bool ControlReady() {
    if (!stdinOpen)
        return false;
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

void ReadMaster() {
    char buf[512];
    const ssize_t got = read(masterFd, buf, sizeof buf);
    if (got > 0) {
        bytesReceived += static_cast<unsigned long long>(got);
        if (opts.localEcho)
            QueueBytes(std::string(buf, static_cast<size_t>(got)));
        HandleLineBytes(buf, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        // Only a hangup forced on the slave gets here (our own slave fd keeps the line up);
        // without a pty nothing is left to poll for, so wait for "reopen".
        fprintf(stderr, "unit-sim: pty lost: %s\n", got == 0 ? "EOF" : strerror(errno));
        ClosePty();
    }
}

void WriteOutput() {
    if (masterFd < 0 || outQueue.empty())
        return;
    // The pty's buffer is full while no client reads: wait for POLLOUT. Any other error drops
    // what is queued rather than retrying it forever.
    auto failed = [](ssize_t sent) {
        if (sent < 0 && errno == EAGAIN)
            masterWritable = false;
        else if (sent < 0 && errno != EINTR)
            outQueue.clear();
        return sent <= 0;
    };
    if (!IsPaced()) {
        const std::string bytes(outQueue.begin(), outQueue.end());
        const ssize_t sent = write(masterFd, bytes.data(), bytes.size());
        if (failed(sent))
            return;
        bytesSent += static_cast<unsigned long long>(sent);
        outQueue.erase(outQueue.begin(), outQueue.begin() + sent);
        masterWritable = outQueue.empty();
        return;
    }
    while (!outQueue.empty() && Clock::now() >= nextByteAt) {
        const unsigned char c = outQueue.front();
        if (failed(write(masterFd, &c, 1)))
            return;
        bytesSent++;
        outQueue.pop_front();
        // Scheduled from the previous slot, not from now, so the pace does not drift.
        nextByteAt += ByteGap();
    }
    masterWritable = true;
}

// A deadline already past fires at once.
void ArmPaceTimer(Clock::time_point at) {
    const long long ns = std::chrono::duration_cast<Nanos>(at.time_since_epoch()).count();
    itimerspec deadline = {};
    deadline.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    deadline.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    if (deadline.it_value.tv_sec == 0 && deadline.it_value.tv_nsec == 0)
        deadline.it_value.tv_nsec = 1; // all zero would disarm it
    if (timerfd_settime(paceTimerFd, TFD_TIMER_ABSTIME, &deadline, nullptr) != 0)
        Die(std::string("timerfd_settime: ") + strerror(errno));
}

void ParseOptions(int argc, char **argv) {
    auto value = [&](int &i) -> const char * {
        if (i + 1 >= argc)
            Die(std::string(argv[i]) + " needs a value");
        return argv[++i];
    };
    auto number = [&](int &i, long low, long high) -> long {
        const char *flag = argv[i];
        const char *text = value(i);
        char *end = nullptr;
        errno = 0;
        long n = strtol(text, &end, 10);
        if (errno != 0 || end == text || *end != '\0' || n < low || n > high)
            Die(std::string(flag) + ": bad number " + text);
        return n;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--link")
            opts.link = value(i);
        else if (a == "--id")
            opts.id = value(i);
        else if (a == "--aspiration")
            opts.counts[0] = static_cast<int>(number(i, 0, 65535));
        else if (a == "--delay")
            opts.counts[1] = static_cast<int>(number(i, 0, 65535));
        else if (a == "--wash")
            opts.counts[2] = static_cast<int>(number(i, 0, 65535));
        else if (a == "--silent")
            opts.silent = true;
        else if (a == "--wrong-ack")
            opts.wrongAck = true;
        else if (a == "--bad-value")
            opts.badValue = true;
        else if (a == "--readback-differs")
            opts.readbackDiffers = true;
        else if (a == "--split-gap-ms")
            opts.splitGapMs = number(i, 0, 60000);
        else if (a == "--pace")
            opts.pace = true;
        else if (a == "--top-bit")
            opts.topBit = true;
        else if (a == "--lf")
            opts.lf = true;
        else if (a == "--overlong")
            opts.overlong = number(i, 0, 100000);
        else if (a == "--noise")
            opts.noise = true;
        else if (a == "--echo")
            opts.echo = true;
        else if (a == "--stamp")
            opts.stamp = true;
        else if (a == "--local-echo")
            opts.localEcho = true;
        else if (a == "--fault-rate")
            opts.faultRate = static_cast<unsigned long>(number(i, 0, 1000000000));
        else if (a == "--seed")
            opts.seed = static_cast<unsigned long>(number(i, 0, 4294967295L));
        else
            Die("unknown option " + a);
    }
}

} // namespace

int main(int argc, char **argv) {
    ParseOptions(argc, argv);
    faultRng.seed(static_cast<std::mt19937::result_type>(opts.seed));
    noiseRng.seed(static_cast<std::mt19937::result_type>(opts.seed ^ 0x9E3779B9UL));

    // The signals stay blocked except inside ppoll, so a stop request always ends the wait.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
    // Fine timer slack keeps --pace close to the wire's own byte time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif

    OpenPty();
    PrintLine(slavePath);
    paceTimerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (paceTimerFd < 0)
        Die(std::string("timerfd_create: ") + strerror(errno));

    while (!stopRequested) {
        struct pollfd fds[3];
        nfds_t n = 0;
        int masterSlot = -1, stdinSlot = -1, paceSlot = -1;
        if (masterFd >= 0) {
            masterSlot = static_cast<int>(n);
            fds[n++] = {masterFd, static_cast<short>(POLLIN | (masterWritable ? 0 : POLLOUT)), 0};
        }
        if (stdinOpen) {
            stdinSlot = static_cast<int>(n);
            fds[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        struct timespec noWait = {0, 0};
        struct timespec *timeout = nullptr;
        struct timespec untilHeld = {0, 0};
        if (!heldAnswers.empty()) {
            const long long ns = std::max<long long>(
                0, std::chrono::duration_cast<Nanos>(heldUntil - Clock::now()).count());
            untilHeld.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            untilHeld.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            timeout = &untilHeld;
        }
        if (masterFd >= 0 && !outQueue.empty() && masterWritable) {
            if (IsPaced()) {
                ArmPaceTimer(nextByteAt);
                paceSlot = static_cast<int>(n);
                fds[n++] = {paceTimerFd, POLLIN, 0};
            } else {
                timeout = &noWait;
            }
        }
        const int ready = ppoll(fds, n, timeout, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Die(std::string("poll: ") + strerror(errno));
        }
        if (stdinSlot >= 0 && fds[stdinSlot].revents != 0)
            ReadControl();
        if (masterSlot >= 0 && masterFd >= 0 &&
            (fds[masterSlot].revents & (POLLIN | POLLHUP | POLLERR))) {
            // A control line sent before this command must take effect first.
            while (ControlReady() && masterFd >= 0 && !stopRequested)
                ReadControl();
            if (masterFd >= 0)
                ReadMaster();
        }
        if (masterSlot >= 0 && (fds[masterSlot].revents & POLLOUT))
            masterWritable = true;
        if (paceSlot >= 0 && (fds[paceSlot].revents & POLLIN)) {
            uint64_t expirations;
            const ssize_t taken = read(paceTimerFd, &expirations, sizeof expirations);
            (void)taken;
        }
        ReleaseHeldAnswers();
        WriteOutput();
    }

    RemoveLink();
    ClosePty();
    close(paceTimerFd);
    return 0;
}
