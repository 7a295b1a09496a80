// Benchmark of the device link and of the program's start-up against the simulated unit on a
// pseudo-terminal. Prints one line per figure, with its limit and its ratio to it where the line
// sets one; run it on an otherwise idle machine.
//
// Usage: tamsel-bench [--link | --startup]   (both sets of figures without an argument)
#include "devices.h"
#include "figures.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "sim_process.h"
#include "startup.h"

#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int PORT = 3;
const int TIMEOUT_TICK_MS = 100; // the interval of the timeout timer control in Tamsel.uir
const int ROUND_TRIPS = 500;
const int TIMER_WRITES = 30;
const int IDENTIFICATIONS = 5;
const int SILENT_WAITS = 5;

double CpuSeconds(long *wakes) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    // A voluntary context switch is a sleep that something ended.
    *wakes = usage.ru_nvcsw;
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Starts the unit with options and opens the link on it; exits on failure.
void StartUnit(SimProcess &sim, const std::string &link, std::vector<std::string> options) {
    options.insert(options.end(), {"--link", link});
    if (!sim.start(options)) {
        fprintf(stderr, "unit-sim: %s\n", sim.error().c_str());
        exit(1);
    }
    if (InitDevices(PORT) != 1) {
        fprintf(stderr, "cannot open %s\n", link.c_str());
        exit(1);
    }
}

long long CountedLineBytes(SimProcess &sim) {
    const long long bytes = LineBytes(sim);
    if (bytes < 0) {
        fprintf(stderr, "unit-sim did not count its bytes\n");
        exit(1);
    }
    return bytes;
}

// Runs exchange count times against the paced unit; each run's limit is the wire time of the
// bytes it put on the line, less those that cross during a pause of pauseMs, plus the pause.
Figure PacedExchanges(SimProcess &sim, int count, double pauseMs, long long pauseBytes,
                      int (*exchange)(), const char *what) {
    Figure figure;
    for (int i = 0; i < count; i++) {
        const long long before = CountedLineBytes(sim);
        QElapsedTimer clock;
        clock.start();
        if (exchange() != 1) {
            fprintf(stderr, "%s failed\n", what);
            exit(1);
        }
        figure.values.push_back(clock.nsecsElapsed() / 1e6);
        const long long bytes = CountedLineBytes(sim) - before - pauseBytes;
        figure.limits.push_back(pauseMs + bytes * WIRE_MS_PER_BYTE);
    }
    return figure;
}

void MeasureRoundTrip(SimProcess &sim, const std::string &link) {
    StartUnit(sim, link, {});
    std::vector<double> micros;
    for (int i = 0; i < ROUND_TRIPS; i++) {
        QElapsedTimer clock;
        clock.start();
        XRayCmd("TGADC\r");
        if (!WaitDv3Ms() || !WaitDv3Ms()) {
            fprintf(stderr, "round trip: no reply\n");
            exit(1);
        }
        micros.push_back(clock.nsecsElapsed() / 1000.0);
    }
    printf("round trip of one read command and its two replies, unpaced: %s\n",
           Spread(micros, "%.0f us").c_str());
    sim.stop();
}

void MeasurePacedExchanges(SimProcess &sim, const std::string &link) {
    StartUnit(sim, link, {"--pace"});
    // Write "TA00195F", "T$", read "TGADC", "T$", "TGA0019A6", each with its CR.
    PrintFigure("timer write at 9600 baud (write, T$, read, T$, value)",
                PacedExchanges(
                    sim, TIMER_WRITES, 0, 0, [] { return SetTamselTimer('A', 25); }, "paced write"),
                "%.1f ms", "the wire time of the bytes exchanged");
    PrintFigure("identification at 9600 baud",
                PacedExchanges(
                    sim, IDENTIFICATIONS, WAKE_UP_PAUSE_MS, WAKE_UP_BYTES,
                    [] { return VerifyTamsel(0); }, "paced identification"),
                "%.1f ms", "the 500 ms wake-up pause, then the wire time of the bytes after it");
    sim.stop();
}

void MeasureSilentWait(SimProcess &sim, const std::string &link) {
    StartUnit(sim, link, {"--silent"});
    SetPopupHook([](const std::string &, const std::string &) {});
    Figure cpu;
    std::vector<double> wakesPerSecond;
    for (int i = 0; i < SILENT_WAITS; i++) {
        QElapsedTimer clock;
        clock.start();
        long wakesBefore = 0, wakesAfter = 0;
        const double cpuBefore = CpuSeconds(&wakesBefore);
        int count = 0;
        GetTamselTimer('A', &count);
        const double cpuUsed = CpuSeconds(&wakesAfter) - cpuBefore;
        const double wall = clock.nsecsElapsed() / 1e9;
        cpu.values.push_back(cpuUsed / wall);
        wakesPerSecond.push_back((wakesAfter - wakesBefore) / wall);
    }
    PrintFigure("CPU while an exchange waits out the 2 s reply timeout of a silent unit", cpu,
                "%.4f core", "limit 0: a wait has nothing to compute");
    printf("  wakes during that wait: %s, against the %.0f ticks a second of the timeout timer\n",
           Spread(wakesPerSecond, "%.1f /s").c_str(), 1000.0 / TIMEOUT_TICK_MS);
    SetPopupHook({});
    sim.stop();
}

void MeasureLink(char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (InitCVIRTE(nullptr, argv, nullptr) == 0)
        exit(1);
    std::string link = "/tmp/tamsel-bench-" + std::to_string(getpid());
    setenv(("TAMSEL_COM" + std::to_string(PORT)).c_str(), link.c_str(), 1);
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [] { XrayTimeSlice(0, 0, EVENT_TIMER_TICK, nullptr, 0, 0); });
    ticker.start(TIMEOUT_TICK_MS);

    SimProcess sim;
    MeasureRoundTrip(sim, link);
    MeasurePacedExchanges(sim, link);
    MeasureSilentWait(sim, link);
    CloseDv3(PORT);
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == WATCHED_PROGRAM_ARG)
        return RunWatchedProgram(argc, argv);
    if (argc > 2 || (argc == 2 && mode != "--link" && mode != "--startup")) {
        fprintf(stderr, "usage: tamsel-bench [--link | --startup]\n");
        return 2;
    }
    if (mode != "--startup")
        MeasureLink(argv);
    if (mode != "--link" && !MeasureStartup())
        return 1;
    return 0;
}
