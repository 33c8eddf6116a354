// What kova-bench reports: the figures of one run by name, their medians over the runs, the
// goals they are held to, the printed tables and the JSON file.
//
// Threading: plain values and functions; use from one thread.
#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Measure.h"

namespace kova::bench {

// One run's figures by name (see Report.cpp for the names and their units).
using Figures = std::map<std::string, double>;

// A goal: the figure `key` must be at most (or at least) `limit`.
struct Goal {
    std::string text;
    std::string key;
    bool atMost = true;
    double limit = 0;
};
const std::vector<Goal>& goals();
// Whether `figures` meets `goal`; nothing when the figure was not measured.
std::optional<bool> goalMet(const Goal& goal, const Figures& figures);

// The median of every figure over the runs that have it.
Figures mediansOf(const std::vector<Figures>& runs);

// Facts about the machine, printed with the tables and kept in the JSON.
struct MachineFacts {
    int cpus = 0;
    std::string cpuModel;
    std::string kernel;
    double loadAverageBefore = 0;  // one-minute load average when the bench started
    double loadAverageAfter = 0;
};
MachineFacts machineFacts();
// Notes the load average once the runs are over.
void noteLoadAfter(MachineFacts& facts);

// Histograms pooled over every run.
struct PooledHistograms {
    Histogram latencyAtStreamRateUs = Histogram::logSpaced(1, 1e5, 10);
    Histogram latencyUnthrottledUs = Histogram::logSpaced(1, 1e5, 10);
    Histogram placeholderLatenessUs = Histogram::logSpaced(1, 1e5, 10);
};

struct Report {
    std::string command;
    int runs = 0;
    int viewers = 0;
    double frameRate = 0;
    MachineFacts machine;
    std::vector<Figures> perRun;
    Figures medians;
    PooledHistograms histograms;
};

// The figures and goals as Markdown tables, which read as they are in a terminal.
void printTables(std::FILE* out, const Report& report);
// The whole report as JSON text.
std::string reportJson(const Report& report);
// Writes reportJson() to `path`: 0, or -errno of the call that failed.
int writeJson(const std::string& path, const Report& report);

}  // namespace kova::bench
