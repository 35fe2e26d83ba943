// Seconds per phase of the products, for benchmarks; the program itself
// passes no record.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace torvik {

// Seconds spent in each named phase, added up over every call given the same
// record; phases are kept in the order they first ran.
struct PhaseTimes {
    std::vector<std::pair<std::string, double>> phases;

    void add(const char* name, double seconds) {
        for (auto& [phase, total] : phases)
            if (phase == name) {
                total += seconds;
                return;
            }
        phases.emplace_back(name, seconds);
    }
};

}  // namespace torvik
