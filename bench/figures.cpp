// Reporting of the benchmark's figures against the limits the line sets.
#include "figures.h"

#include "sim_process.h"

#include <algorithm>
#include <cstdio>

namespace {

const int COUNT_TIMEOUT_MS = 5000;

} // namespace

std::string Spread(std::vector<double> values, const char *format) {
    if (values.empty())
        return "no runs";
    std::sort(values.begin(), values.end());
    char text[128];
    const std::string pattern =
        std::string("median ") + format + " (%zu runs, " + format + " to " + format + ")";
    snprintf(text, sizeof text, pattern.c_str(), values[values.size() / 2], values.size(),
             values.front(), values.back());
    return text;
}

void PrintFigure(const std::string &what, const Figure &figure, const char *format,
                 const std::string &limitWhy) {
    std::string line = what + ": " + Spread(figure.values, format);
    if (figure.limits.size() == figure.values.size() && !figure.limits.empty()) {
        std::vector<double> ratios;
        for (size_t i = 0; i < figure.values.size(); i++)
            ratios.push_back(figure.values[i] / figure.limits[i]);
        line += "; limit " + Spread(figure.limits, format) + " (" + limitWhy + "); ratio " +
                Spread(ratios, "%.3f");
    } else {
        line += "; " + limitWhy;
    }
    printf("%s\n", line.c_str());
    fflush(stdout);
}

long long LineBytes(SimProcess &sim) {
    if (!sim.send("count"))
        return -1;
    for (std::optional<std::string> line; (line = sim.readLine(COUNT_TIMEOUT_MS));) {
        long long received = 0, sent = 0;
        if (sscanf(line->c_str(), "COUNT %lld %lld", &received, &sent) == 2)
            return received + sent;
    }
    return -1;
}
