// Soak of the timer exchanges against the simulated unit with injected faults: every failure the
// exchanges report must match a fault the unit injected, memory must not grow, and the gate must
// end free. Usage: tamsel-soak [exchanges] (default 10000).
#include "devices.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "sim_process.h"

#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>

namespace {

const int PORT = 3;
// Faster than the program's 100 ms so that the injected silences cost 0.2 s each, not 2 s.
const int SOAK_TICK_MS = 10;
const int FAULT_RATE = 20;

// Peak resident memory of this process so far, in kB.
long PeakMemoryKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

struct Tally {
    long writes = 0;
    long reads = 0;
    long reported = 0;    // exchanges that returned 0
    long expected = 0;    // exchanges during which the unit injected a fault
    long misreported = 0; // an exchange whose result disagrees with the injected faults
    long wrongValues = 0; // a read reported as success with a value the unit does not hold
};

// Takes the unit's lines for the exchange that just ended: its echoed commands (a write updates
// what the unit holds) and its FAULT lines. The unit prints both before it answers, so they are
// all in the pipe once the exchange is over. True when a fault was injected.
bool TakeUnitLines(SimProcess &sim, std::map<char, int> &unitTimers) {
    bool faulted = false;
    while (auto line = sim.readLine(0)) {
        if (line->rfind("FAULT ", 0) == 0)
            faulted = true;
        else if (line->size() == 8 && (*line)[0] == 'T' && (*line)[1] != 'G')
            unitTimers[(*line)[1]] = (int)strtol(line->substr(2, 4).c_str(), nullptr, 16);
    }
    return faulted;
}

} // namespace

int main(int argc, char **argv) {
    long exchanges = argc > 1 ? strtol(argv[1], nullptr, 10) : 10000;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (exchanges < 1 || InitCVIRTE(nullptr, argv, nullptr) == 0)
        return 2;
    std::string link = "/tmp/tamsel-soak-" + std::to_string(getpid());
    setenv(("TAMSEL_COM" + std::to_string(PORT)).c_str(), link.c_str(), 1);
    SimProcess sim;
    if (!sim.start({"--echo", "--fault-rate", std::to_string(FAULT_RATE), "--seed", "7",
                    "--aspiration", "0", "--delay", "0", "--wash", "0", "--link", link})) {
        fprintf(stderr, "unit-sim: %s\n", sim.error().c_str());
        return 2;
    }
    if (InitDevices(PORT) != 1) {
        fprintf(stderr, "cannot open %s\n", link.c_str());
        return 2;
    }
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [] { XrayTimeSlice(0, 0, EVENT_TIMER_TICK, nullptr, 0, 0); });
    ticker.start(SOAK_TICK_MS);
    long popups = 0;
    SetPopupHook([&popups](const std::string &, const std::string &) { popups++; });

    std::mt19937 random(11);
    std::map<char, int> unitTimers{{'A', 0}, {'D', 0}, {'W', 0}};
    Tally tally;
    long startPeakKb = 0;
    for (long i = 0; i < exchanges; i++) {
        const char code = "ADW"[random() % 3];
        const bool write = i % 2 == 0;
        int count = -1;
        int result;
        if (write) {
            tally.writes++;
            result = SetTamselTimer(code, (int)(random() % 65536));
        } else {
            tally.reads++;
            result = GetTamselTimer(code, &count);
        }
        const bool faulted = TakeUnitLines(sim, unitTimers);
        tally.reported += result == 0;
        tally.expected += faulted;
        tally.misreported += (result == 0) != faulted;
        tally.wrongValues += !write && result == 1 && count != unitTimers[code];
        if (i == 99)
            startPeakKb = PeakMemoryKb();
    }
    const long endPeakKb = PeakMemoryKb();

    printf("exchanges done: %ld (%ld writes, %ld reads)\n", tally.writes + tally.reads,
           tally.writes, tally.reads);
    printf("failures reported: %ld, expected from injected faults: %ld, misreported exchanges: "
           "%ld, reads with a wrong value: %ld, read-error boxes: %ld\n",
           tally.reported, tally.expected, tally.misreported, tally.wrongValues, popups);
    printf("peak memory: %ld kB after 100 exchanges, %ld kB at the end\n", startPeakKb, endPeakKb);
    printf("gate at the end: %s\n", Dv3Gate == 1 ? "free" : "TAKEN");
    CloseDv3(PORT);
    const bool sound = tally.misreported == 0 && tally.wrongValues == 0 && Dv3Gate == 1 &&
                       tally.reported == tally.expected;
    return sound ? 0 : 1;
}
