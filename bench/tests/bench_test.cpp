// kova-bench's own arithmetic: order statistics, histograms, the lateness of periodic stamps,
// and the JSON reader of kova-bench-plot.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Json.h"
#include "Measure.h"

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

TEST(Json, ReadsWhatKovaBenchWrites) {
    const std::string text = R"({
      "runs": 3, "frame_rate": 59.83, "ok": true, "none": null,
      "name": "a \"quoted\" \\ line\nnext \u00b5s",
      "histograms": {"h": {"edges_us": [1, 10, 1e2], "counts": [0, -2.5E-1]}}
    })";
    std::string error;
    const auto value = parseJson(text, &error);
    ASSERT_TRUE(value) << error;
    EXPECT_EQ((*value)["runs"].number(), 3);
    EXPECT_EQ((*value)["frame_rate"].number(), 59.83);
    EXPECT_TRUE((*value)["none"].isNull());
    EXPECT_TRUE((*value)["absent"].isNull());
    EXPECT_EQ((*value)["name"].string(), "a \"quoted\" \\ line\nnext \xc2\xb5s");
    EXPECT_EQ((*value)["histograms"]["h"]["edges_us"].numbers(), (std::vector<double>{1, 10, 100}));
    EXPECT_EQ((*value)["histograms"]["h"]["counts"].numbers(), (std::vector<double>{0, -0.25}));
    // Not an array of numbers: no numbers.
    EXPECT_FALSE((*value)["name"].numbers());
    EXPECT_FALSE((*value)["runs"]["nested"].number());
}

TEST(Json, RefusesWhatIsNotJsonAndSaysWhere) {
    for (const std::string& bad : std::vector<std::string>{
             "", "{", "[1,]", "{\"a\" 1}", "[1] 2", "\"open", "01x", "-", "1.", "1e", "nul",
             "\"\\q\"", "\"\\u12\"", std::string(100, '[') + std::string(100, ']')}) {
        std::string error;
        EXPECT_FALSE(parseJson(bad, &error)) << bad;
        EXPECT_NE(error.find("at byte"), std::string::npos) << bad;
    }
}

}  // namespace
}  // namespace kova::bench
