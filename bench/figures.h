// How the benchmark reports a figure: the median and spread over runs, and, where the line sets
// one, the limit each run had and the figure's ratio to it.
#pragma once

#include <string>
#include <vector>

class SimProcess;

// 9600 baud, 8N1: ten bit times a byte.
constexpr double WIRE_MS_PER_BYTE = 10.0 * 1000.0 / 9600.0;
// The pause of the identification after its wake-up command, and the bytes that cross the line
// during it ("?" with its CR, and the unit's "RDY" with its CR), which therefore cost no time.
constexpr double WAKE_UP_PAUSE_MS = 500.0;
constexpr long long WAKE_UP_BYTES = 2 + 4;

// One figure over several runs; limits, when given, has one entry per run.
struct Figure {
    std::vector<double> values;
    std::vector<double> limits;
};

// "median M <unit> (N runs, MIN to MAX)" in the given printf format for one value.
std::string Spread(std::vector<double> values, const char *format);

// Prints "<what>: <spread of the values>", then, with limits, "; limit <spread> (<limitWhy>);
// ratio <spread of each run's value / limit>", else "; <limitWhy>".
void PrintFigure(const std::string &what, const Figure &figure, const char *format,
                 const std::string &limitWhy);

// Every byte that crossed the unit's line so far, both ways, as the unit counted them; -1 if it
// did not say within a few seconds. Lines the unit printed before the count are skipped.
long long LineBytes(SimProcess &sim);
