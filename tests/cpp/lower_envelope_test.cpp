#include "timing/lower_envelope.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace brimlet::columns {
namespace {

struct Points {
    std::string name;
    std::vector<std::int64_t> y;  // at x = 3 * index + 5
    std::vector<std::size_t> cuts;  // where runs start, after the first
};

bool same(const EnvelopeLine& a, const EnvelopeLine& b) {
    const bool both_nan = std::isnan(a.slope) && std::isnan(b.slope);
    return (both_nan || a.slope == b.slope) && a.at_start == b.at_start;
}

std::vector<std::pair<std::int64_t, std::int64_t>> pairs(const std::vector<HullPoint>& hull) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const HullPoint& p : hull) out.emplace_back(p.x, p.y);
    return out;
}

class LowerEnvelope : public testing::TestWithParam<Points> {};

// A line from the hulls of the runs a piece is made of is the very line of
// all its points, whatever points lie on the hull's edges or between runs;
// with the index for x it is the line with x given as the index.
TEST_P(LowerEnvelope, FromRunHullsIsTheLineOfAllPoints) {
    const Points& c = GetParam();
    const std::size_t n = c.y.size();
    std::vector<std::int64_t> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = 3 * static_cast<std::int64_t>(i) + 5;
    std::vector<HullPoint> whole_hull;
    const EnvelopeLine whole = fit_lower_envelope(x, c.y, whole_hull);

    std::vector<HullPoint> points, hull;
    std::vector<std::size_t> starts{0};
    starts.insert(starts.end(), c.cuts.begin(), c.cuts.end());
    for (std::size_t r = 0; r < starts.size(); ++r) {
        const std::size_t end = r + 1 < starts.size() ? starts[r + 1] : n;
        const auto span = [&](const auto& v) { return std::span(v).subspan(starts[r], end - starts[r]); };
        fit_lower_envelope(span(x), span(c.y), hull);
        points.insert(points.end(), hull.begin(), hull.end());
    }
    double sum_x = 0;
    for (const std::int64_t v : x) sum_x += static_cast<double>(v - x[0]);
    const EnvelopeLine joined = lower_envelope_of(points, n, sum_x, hull);
    EXPECT_TRUE(same(joined, whole)) << joined.slope << " " << whole.slope;
    EXPECT_EQ(pairs(hull), pairs(whole_hull));

    std::vector<std::int64_t> index(n);
    std::iota(index.begin(), index.end(), std::int64_t{0});
    std::vector<HullPoint> by_index_hull;
    EXPECT_TRUE(same(fit_lower_envelope(c.y, hull), fit_lower_envelope(index, c.y, by_index_hull)));
    EXPECT_EQ(pairs(hull), pairs(by_index_hull));
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, LowerEnvelope,
    testing::Values(Points{"one_point", {7}, {}}, Points{"two_points", {7, 3}, {1}},
                    // Every point on one line: only the ends are vertices.
                    Points{"collinear", {0, 10, 20, 30, 40, 50, 60}, {2, 3, 5}},
                    Points{"plateau_then_noise", {4, 4, 4, 9, 1, 6, 2, 8, 3, 3}, {3, 4, 8}},
                    Points{"vertex_at_a_cut", {9, 5, 1, 5, 9, 5, 1, 5, 9}, {2, 6}},
                    // Products past 64 bits.
                    Points{"far_apart",
                           {1'750'000'000'000'000'000, 1'750'000'000'000'001'000, 1'000, 1'750'000'000'000'000'500,
                            -1'750'000'000'000'000'000, 5},
                           {1, 4}}),
    [](const testing::TestParamInfo<Points>& info) { return info.param.name; });

}  // namespace
}  // namespace brimlet::columns
