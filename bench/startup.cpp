// Start-up figures of the program: process start to the window and to three green rows, and peak
// memory, each from fresh processes run from a copy beside the panel resource.
//
// Times are taken from the parent's clock just before fork to events the child reports on the
// same clock (CLOCK_MONOTONIC is system-wide), so loading and linking count. Inside the program
// only a watch sees the panel paint, so that child is tamsel-bench itself running TamselMain
// with an event filter; the real Tamsel executable is run as well, timed to the unit receiving
// its third timer read (seen from outside) and measured for memory.
#include "startup.h"

#include "Tamsel.h"
#include "figures.h"
#include "program_process.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "sim_process.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

#include <signal.h>
#include <unistd.h>

#include <fstream>

#include <chrono>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef TAMSEL_PATH
#error "TAMSEL_PATH must name the built Tamsel executable"
#endif
#ifndef TAMSEL_UIR_PATH
#error "TAMSEL_UIR_PATH must name the panel resource beside it"
#endif

const char WATCHED_PROGRAM_ARG[] = "--watched-program";

namespace {

// The first run of each kind warms the page cache and writes TAMSEL.INI; it is not counted.
const int COUNTED_RUNS = 7;
const int RUN_TIMEOUT_MS = 30000;
// Once the unit has the wash read, its two replies take about 13 ms on the wire; this leaves the
// panel ample time to paint them before the memory is read.
const int SETTLE_MS = 300;
// The wash timer read as the unit receives it ("TGW" and its checksum): the last of first contact.
const char THIRD_READ[] = "TGWF2";

long long MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double MsSince(long long startNs, long long thenNs) {
    return (thenNs - startNs) / 1e6;
}

// How long the program is watched doing nothing once its rows are green.
const int IDLE_MS = 2000;

// CPU time the process has used, in nanoseconds (the scheduler's own count, exact unlike the clock
// ticks of /proc/PID/stat); -1 if it cannot be read.
long long CpuNs(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    file >> ns;
    return file ? ns : -1;
}

bool AllLampsGreen() {
    for (int lamp : {ASPIRATION_LAMP, DELAY_LAMP, WASH_LAMP}) {
        int colour = 0;
        if (GetCtrlAttribute(MainPanelHandle, lamp, ATTR_ON_COLOR, &colour) != 0 ||
            colour != VAL_GREEN)
            return false;
    }
    return true;
}

// Sees every paint event of the program. The wash lamp is the last to turn green, so its first
// paint with all three lamps green is the moment the operator sees three green rows.
class StartupWatch : public QObject {
  public:
    long long shownNs = 0;
    long long greenNs = 0;

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() != QEvent::Paint || MainPanelHandle <= 0)
            return false;
        QWidget *panel = PanelWidget(MainPanelHandle);
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!panel || !widget || widget->window() != panel)
            return false;
        if (shownNs == 0)
            shownNs = MonotonicNs();
        if (greenNs == 0 && widget == ControlWidget(MainPanelHandle, WASH_LAMP) &&
            AllLampsGreen()) {
            greenNs = MonotonicNs();
            QuitUserInterface(0);
        }
        return false;
    }
};

// Offscreen, port 2 on the unit and the other ports nowhere, so that whatever TAMSEL.INI says
// the machine's own serial ports stay out of it. Qt's uncategorised warnings (the offscreen
// platform cannot raise a window) would bury the figures.
std::vector<std::string> ProgramEnvironment(const ScratchDir &dir, const std::string &link) {
    std::vector<std::string> environment{"QT_QPA_PLATFORM=offscreen",
                                         "QT_LOGGING_RULES=default.warning=false"};
    for (int port = 1; port <= 4; port++)
        environment.push_back("TAMSEL_COM" + std::to_string(port) + "=" +
                              (port == 2 ? link : dir.file("no-unit")));
    return environment;
}

bool StartPacedUnit(SimProcess &sim, const std::string &link, bool echo) {
    std::vector<std::string> options{"--pace", "--link", link};
    if (echo)
        options.push_back("--echo");
    if (sim.start(options))
        return true;
    fprintf(stderr, "unit-sim: %s\n", sim.error().c_str());
    return false;
}

struct WatchedRun {
    double shownMs;
    double greenMs;
    long long lineBytes; // both ways, first contact's whole traffic
};

std::optional<WatchedRun> RunWatchedCopy(const ScratchDir &dir, const std::string &link) {
    SimProcess sim;
    if (!StartPacedUnit(sim, link, false))
        return std::nullopt;
    ChildProgram program;
    const long long startNs = MonotonicNs();
    if (!program.start(dir.file("tamsel-bench"), {WATCHED_PROGRAM_ARG},
                       ProgramEnvironment(dir, link), true)) {
        fprintf(stderr, "watched program: %s\n", program.error().c_str());
        return std::nullopt;
    }
    long long shownNs = 0, greenNs = 0;
    for (std::optional<std::string> line; (line = program.readLine(RUN_TIMEOUT_MS));) {
        sscanf(line->c_str(), "shown %lld", &shownNs);
        sscanf(line->c_str(), "green %lld", &greenNs);
    }
    const int status = program.wait(RUN_TIMEOUT_MS);
    if (status != 0 || shownNs == 0 || greenNs == 0) {
        fprintf(stderr, "watched program: status %d, %s\n", status,
                shownNs == 0 ? "window never painted" : "rows never all green");
        return std::nullopt;
    }
    const long long lineBytes = LineBytes(sim);
    if (lineBytes < 0) {
        fprintf(stderr, "unit-sim did not count its bytes\n");
        return std::nullopt;
    }
    return WatchedRun{MsSince(startNs, shownNs), MsSince(startNs, greenNs), lineBytes};
}

struct ProgramRun {
    double thirdReadMs;
    double idleCore;
    double peakMiB;
};

std::optional<ProgramRun> RunProgramCopy(const ScratchDir &dir, const std::string &link) {
    SimProcess sim;
    if (!StartPacedUnit(sim, link, true))
        return std::nullopt;
    ChildProgram program;
    const long long startNs = MonotonicNs();
    if (!program.start(dir.file("Tamsel"), {}, ProgramEnvironment(dir, link), false)) {
        fprintf(stderr, "Tamsel: %s\n", program.error().c_str());
        return std::nullopt;
    }
    long long thirdReadNs = 0;
    for (std::optional<std::string> line;
         thirdReadNs == 0 && (line = sim.readLine(RUN_TIMEOUT_MS));)
        if (*line == THIRD_READ)
            thirdReadNs = MonotonicNs();
    if (thirdReadNs == 0) {
        fprintf(stderr, "Tamsel: the unit never received %s\n", THIRD_READ);
        return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
    const long long idleStartNs = MonotonicNs();
    const long long cpuBeforeNs = CpuNs(program.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(IDLE_MS));
    const long long cpuAfterNs = CpuNs(program.pid());
    const double idleCore =
        static_cast<double>(cpuAfterNs - cpuBeforeNs) / (MonotonicNs() - idleStartNs);
    const long peakKb = ProcStatusKb(program.pid(), "VmHWM");
    kill(program.pid(), SIGTERM);
    const int status = program.wait(RUN_TIMEOUT_MS);
    if (status != 0 || peakKb < 0 || cpuBeforeNs < 0 || cpuAfterNs < 0) {
        fprintf(stderr, "Tamsel: status %d after SIGTERM, peak %ld kB, CPU %lld to %lld ns\n",
                status, peakKb, cpuBeforeNs, cpuAfterNs);
        return std::nullopt;
    }
    return ProgramRun{MsSince(startNs, thirdReadNs), idleCore, peakKb / 1024.0};
}

std::string SelfPath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return std::string(path, length > 0 ? static_cast<size_t>(length) : 0);
}

} // namespace

int RunWatchedProgram(int argc, char *argv[]) {
    // The watch must be in place before the window exists; TamselMain's own start of the
    // run-time then finds it started and changes nothing.
    if (InitCVIRTE(nullptr, argv, nullptr) == 0)
        return 1;
    StartupWatch watch;
    qApp->installEventFilter(&watch);
    const int result = TamselMain(argc, argv);
    printf("shown %lld\ngreen %lld\n", watch.shownNs, watch.greenNs);
    return result;
}

bool MeasureStartup() {
    ScratchDir dir;
    if (!dir.copyIn(SelfPath()) || !dir.copyIn(TAMSEL_PATH) || !dir.copyIn(TAMSEL_UIR_PATH)) {
        fprintf(stderr, "cannot copy the programs to a scratch directory\n");
        return false;
    }
    const std::string link = dir.file("unit");

    std::vector<double> shownMs;
    Figure green;
    for (int run = 0; run <= COUNTED_RUNS; run++) {
        std::optional<WatchedRun> result = RunWatchedCopy(dir, link);
        if (!result)
            return false;
        if (run > 0) {
            shownMs.push_back(result->shownMs);
            green.values.push_back(result->greenMs);
            green.limits.push_back(result->shownMs + WAKE_UP_PAUSE_MS +
                                   (result->lineBytes - WAKE_UP_BYTES) * WIRE_MS_PER_BYTE);
        }
    }
    printf("start-up to the main window's first paint: %s\n", Spread(shownMs, "%.0f ms").c_str());
    PrintFigure("start-up to three green rows, against the unit at 9600 baud", green, "%.0f ms",
                "the first paint, the 500 ms wake-up pause and the wire time of first contact's "
                "bytes after it");

    std::vector<double> thirdReadMs;
    Figure idle, peak;
    for (int run = 0; run <= COUNTED_RUNS; run++) {
        std::optional<ProgramRun> result = RunProgramCopy(dir, link);
        if (!result)
            return false;
        if (run > 0) {
            thirdReadMs.push_back(result->thirdReadMs);
            idle.values.push_back(result->idleCore);
            peak.values.push_back(result->peakMiB);
        }
    }
    printf("Tamsel executable, start to the unit receiving the third timer read: %s\n",
           Spread(thirdReadMs, "%.0f ms").c_str());
    PrintFigure("Tamsel executable, CPU idle with three green rows, no exchange", idle, "%.4f core",
                "no limit: its timers tick while it waits for the operator");
    PrintFigure("Tamsel executable, peak memory (VmHWM) with three green rows", peak, "%.1f MiB",
                "no limit");
    return true;
}
