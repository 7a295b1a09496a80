// Benchmark of the device link and of the program's start-up against the simulated unit on a
// pseudo-terminal. Prints one line per figure; run it on an otherwise idle machine.
//
// Usage: tamsel-bench [--link | --startup]   (both sets of figures without an argument)
#include "devices.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "sim_process.h"
#include "startup.h"

#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int PORT = 3;
const int TIMEOUT_TICK_MS = 100; // the interval of the timeout timer control in Tamsel.uir
// 9600 baud, 8N1: ten bit times a byte.
const double WIRE_MS_PER_BYTE = 10.0 * 1000.0 / 9600.0;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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

void MeasureRoundTrip(SimProcess &sim, const std::string &link) {
    StartUnit(sim, link, {});
    std::vector<double> micros;
    for (int i = 0; i < 500; i++) {
        QElapsedTimer clock;
        clock.start();
        XRayCmd("TGADC\r");
        if (!WaitDv3Ms() || !WaitDv3Ms()) {
            fprintf(stderr, "round trip: no reply\n");
            exit(1);
        }
        micros.push_back(clock.nsecsElapsed() / 1000.0);
    }
    printf("round trip of one read command and its two replies, unpaced: median %.0f us "
           "(%zu runs)\n",
           Median(micros), micros.size());
    sim.stop();
}

void MeasurePacedExchanges(SimProcess &sim, const std::string &link) {
    StartUnit(sim, link, {"--pace"});
    // Write "TA00195F\r", "T$\r", read "TGADC\r", "T$\r", "TGA0019A6\r" (the unit adds its own
    // checksum to the value line).
    const double writeWireMs = (9 + 3 + 6 + 3 + 10) * WIRE_MS_PER_BYTE;
    std::vector<double> writeMs;
    for (int i = 0; i < 30; i++) {
        QElapsedTimer clock;
        clock.start();
        if (SetTamselTimer('A', 25) != 1) {
            fprintf(stderr, "paced write failed\n");
            exit(1);
        }
        writeMs.push_back(clock.nsecsElapsed() / 1e6);
    }
    double write = Median(writeMs);
    printf("timer write at 9600 baud: median %.1f ms, %.2f x the %.1f ms its bytes need on the "
           "wire\n",
           write, write / writeWireMs, writeWireMs);

    std::vector<double> verifyMs;
    for (int i = 0; i < 5; i++) {
        QElapsedTimer clock;
        clock.start();
        if (VerifyTamsel(0) != 1) {
            fprintf(stderr, "paced identification failed\n");
            exit(1);
        }
        verifyMs.push_back(clock.nsecsElapsed() / 1e6);
    }
    printf("identification at 9600 baud: median %.1f ms (of which 500 ms is the unit's wake-up "
           "pause)\n",
           Median(verifyMs));
    sim.stop();
}

void MeasureIdleWait(SimProcess &sim, const std::string &link) {
    StartUnit(sim, link, {"--silent"});
    SetPopupHook([](const std::string &, const std::string &) {});
    QElapsedTimer clock;
    clock.start();
    double cpuBefore = CpuSeconds();
    int count = 0;
    GetTamselTimer('A', &count);
    double cpu = CpuSeconds() - cpuBefore;
    double wall = clock.nsecsElapsed() / 1e9;
    printf("waiting out the reply timeout against a silent unit: %.4f CPU s per wall s "
           "(%.2f s wall)\n",
           cpu / wall, wall);
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
    MeasureIdleWait(sim, link);
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
