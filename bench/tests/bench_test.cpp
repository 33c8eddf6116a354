// kova-bench's own arithmetic: order statistics, histograms, the lateness of periodic stamps,
// and its JSON report.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Measure.h"
#include "Report.h"

namespace kova::bench {
namespace {

TEST(Distribution, NearestRankPercentilesOfAnUnsortedSample) {
    std::vector<double> values;
    for (int i = 100; i >= 1; --i) values.push_back(i);
    const Distribution d = distributionOf(values);
    EXPECT_EQ(d.count, 100u);
    EXPECT_EQ(d.median, 50);
    EXPECT_EQ(d.p99, 99);
    EXPECT_EQ(d.max, 100);
    EXPECT_DOUBLE_EQ(d.mean, 50.5);

    // Small samples: p99 of two values is the larger, the median the smaller.
    const Distribution two = distributionOf({7, 3});
    EXPECT_EQ(two.median, 3);
    EXPECT_EQ(two.p99, 7);
    EXPECT_EQ(distributionOf({}).count, 0u);
}

TEST(Distribution, MedianOfRunsAveragesTheMiddlePairOfAnEvenCount) {
    EXPECT_EQ(medianOf({5, 1, 3}), 3);
    EXPECT_EQ(medianOf({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(medianOf({}), 0);
}

TEST(Histogram, LogSpacedBinsCountValuesAtTheirEdgesAndClampTheEnds) {
    Histogram h = Histogram::logSpaced(1, 1000, 1);  // edges 1, 10, 100, 1000
    ASSERT_EQ(h.edges.size(), 4u);
    EXPECT_DOUBLE_EQ(h.edges[3], 1000);
    for (const double v : {0.5, 1.0, 9.99, 10.0, 99.0, 500.0, 1000.0, 1e9}) h.add(v);
    // Below the first edge counts in the first bin; an edge opens its bin; past the end, last.
    EXPECT_EQ(h.counts, (std::vector<std::uint64_t>{3, 2, 3}));

    Histogram other = Histogram::logSpaced(1, 1000, 1);
    other.add(50);
    h.add(other);
    EXPECT_EQ(h.counts[1], 3u);
}

TEST(Lateness, OffsetsFromTheGridThroughTheFirstStampLessTheEarliest) {
    const double period = 1'000'000;  // 1 ms
    // Tick 0 is 5 µs late, tick 1 on time (+0), tick 2 is 300 µs late, tick 4 (3 missed) +20 µs.
    const std::vector<std::uint64_t> stamps = {1'005'000, 2'000'000, 3'300'000, 5'020'000};
    std::uint64_t missed = 0;
    const std::vector<double> lateness = latenessFromStamps(stamps, period, &missed);
    ASSERT_EQ(lateness.size(), 4u);
    EXPECT_DOUBLE_EQ(lateness[0], 5'000);
    EXPECT_DOUBLE_EQ(lateness[1], 0);
    EXPECT_DOUBLE_EQ(lateness[2], 300'000);
    EXPECT_DOUBLE_EQ(lateness[3], 20'000);
    EXPECT_EQ(missed, 1u);
    EXPECT_TRUE(latenessFromStamps({}, period).empty());
}

// What kova-bench writes reads back as it was: every figure to the last bit, an unmeasured one
// as null, the histograms and goals, and outside text even where it is not UTF-8.
TEST(Report, JsonReadsBackAsWritten) {
    Report report;
    report.command = "kova-bench --json \"a b.json\"\t\x01";
    report.runs = 2;
    report.viewers = 3;
    report.frameRate = 59.83;
    report.machine = {4, "CPU \xff model", "Linux 6.1", 0.25, 1.5};
    report.perRun = {{{"rate_latency_p50_us", 1.0 / 3}, {"fast1_fps", NAN}},
                     {{"rate_latency_p50_us", 41.5}}};
    report.medians = mediansOf(report.perRun);
    report.histograms.latencyAtStreamRateUs.add(42);

    const std::string path = testing::TempDir() + "bench_report.json";
    ASSERT_EQ(writeJson(path, report), 0);
    std::ifstream file(path);
    nlohmann::json read = nlohmann::json::parse(file);  // a missing member reads as null
    std::remove(path.c_str());

    EXPECT_EQ(read["command"], report.command);
    EXPECT_EQ(read["runs"], 2);
    EXPECT_EQ(read["viewers"], 3);
    EXPECT_EQ(read["frame_rate"], 59.83);
    EXPECT_EQ(read["machine"]["cpu_model"], "CPU \xef\xbf\xbd model");
    EXPECT_EQ(read["machine"]["load_average_after"], 1.5);
    EXPECT_EQ(read["per_run"][0]["rate_latency_p50_us"], 1.0 / 3);
    EXPECT_TRUE(read["per_run"][0]["fast1_fps"].is_null());
    EXPECT_EQ(read["medians"]["rate_latency_p50_us"], report.medians["rate_latency_p50_us"]);
    EXPECT_FALSE(read["medians"].contains("fast1_fps"));

    const Histogram& histogram = report.histograms.latencyAtStreamRateUs;
    const auto& written = read["histograms"]["latency_stream_rate_us"];
    EXPECT_EQ(written["edges_us"].get<std::vector<double>>(), histogram.edges);
    EXPECT_EQ(written["counts"].get<std::vector<std::uint64_t>>(), histogram.counts);
    for (const char* name : {"latency_unthrottled_us", "placeholder_lateness_us"}) {
        EXPECT_EQ(read["histograms"][name]["counts"].size(), histogram.counts.size()) << name;
    }

    ASSERT_EQ(read["goals"].size(), goals().size());
    for (const auto& goal : read["goals"]) {
        const std::string key = goal["key"];
        const auto met = goalMet(Goal{"", key, goal["at_most"], goal["limit"]}, report.medians);
        EXPECT_EQ(goal["met"], met ? nlohmann::json(*met) : nlohmann::json()) << key;
        EXPECT_EQ(goal["measured"].is_null(), !met) << key;
    }
}

TEST(Report, WritingWhereNoFileCanBeSaysWhy) {
    EXPECT_EQ(writeJson(testing::TempDir() + "no such folder/report.json", Report{}), -ENOENT);
}

}  // namespace
}  // namespace kova::bench
