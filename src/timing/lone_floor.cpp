#include "timing/lone_floor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brimlet::columns {

namespace {

constexpr double kLoneLeastNs = 2'000;
// Deeper than this, and than this share of a period, a point is no quick
// read but a floor of its own (a packet that usually waits behind another
// kind's frame reaches it when that frame was skipped). Under the share its
// time stays its receive time, and after the one before.
constexpr double kLoneDeepestNs = 50'000;
constexpr double kLoneDeepest = 0.25;
// The blocks of a piece whose lows tell how high its floor usually stands
// over the line, and how many times that the point must lie under it.
constexpr std::size_t kLoneBlocks = 16;
constexpr double kLoneRatio = 4;
constexpr int kLoneRounds = 3;  // lone points lifted per piece at most

// The vertices of `hull` the line rests on: the edge that spans `mean_x`.
std::size_t spanning_edge(std::span<const HullPoint> hull, double mean_x) {
    std::size_t k = 1;
    while (k + 1 < hull.size() && static_cast<double>(hull[k].x) < mean_x) ++k;
    return k;
}

// How far `p` lies under the straight line through `a` and `b`.
double under(const HullPoint& a, const HullPoint& b, const HullPoint& p) {
    const double slope = static_cast<double>(b.y - a.y) / static_cast<double>(b.x - a.x);
    return slope * static_cast<double>(p.x - a.x) - static_cast<double>(p.y - a.y);
}

// Vertex v of `hull`, an inner one the line rests on, lies this far under the
// line between its neighbours: no less than under the line of all the points
// but it, which rests on the hull of the points between those neighbours.
double depth_bound(std::span<const HullPoint> hull, std::size_t v) { return under(hull[v - 1], hull[v + 1], hull[v]); }

}  // namespace

bool may_rest_on_lone_point(std::span<const HullPoint> hull, double mean_x) {
    if (hull.size() < 3) return false;
    const std::size_t k = spanning_edge(hull, mean_x);
    for (const std::size_t v : {k - 1, k}) {
        if (v > 0 && v + 1 < hull.size() && depth_bound(hull, v) >= kLoneLeastNs) return true;
    }
    return false;
}

bool lift_lone_points(std::vector<HullPoint>& points, std::vector<HullPoint>& hull, double mean_x) {
    bool lifted = false;
    std::vector<HullPoint> others, others_hull;
    std::vector<double> lows;
    for (int round = 0; round < kLoneRounds && hull.size() >= 3; ++round) {
        const std::size_t k = spanning_edge(hull, mean_x);
        bool again = false;
        for (const std::size_t v : {k - 1, k}) {
            if (v == 0 || v + 1 >= hull.size() || depth_bound(hull, v) < kLoneLeastNs) continue;
            const HullPoint c = hull[v];
            const auto at = std::lower_bound(points.begin(), points.end(), c.x,
                                             [](const HullPoint& p, std::int64_t x) { return p.x < x; });
            if (at == points.begin() || at == points.end() || at + 1 == points.end() || at->x != c.x) continue;
            others.assign(points.begin(), at);
            others.insert(others.end(), at + 1, points.end());
            // The line of the others, over the same mean x (one "point" whose
            // x less the first sums to it).
            const HullPoint& first = others.front();
            const EnvelopeLine line =
                lower_envelope_of(others, 1, mean_x - static_cast<double>(first.x), others_hull);
            if (std::isnan(line.slope)) continue;
            const auto above = [&](const HullPoint& p) {
                return static_cast<double>(p.y - first.y) - line.at_start - line.slope * static_cast<double>(p.x - first.x);
            };
            const double depth = -above(c);
            if (depth < kLoneLeastNs || depth > std::min(kLoneDeepestNs, kLoneDeepest * line.slope)) continue;
            // How high the floor of the others stands over their line, block
            // by block: the middle of the blocks' lows.
            const std::int64_t from = points.front().x, span = points.back().x - from + 1;
            lows.assign(kLoneBlocks, std::numeric_limits<double>::infinity());
            for (const HullPoint& o : others) {
                double& low = lows[static_cast<std::size_t>((o.x - from) * std::int64_t{kLoneBlocks} / span)];
                low = std::min(low, above(o));
            }
            const auto middle = lows.begin() + kLoneBlocks / 2;
            std::nth_element(lows.begin(), middle, lows.end());
            if (depth < kLoneRatio * *middle) continue;
            at->y += static_cast<std::int64_t>(std::ceil(depth));
            lower_envelope_of(points, 1, mean_x - static_cast<double>(points.front().x), hull);
            lifted = again = true;
            break;
        }
        if (!again) break;
    }
    return lifted;
}

}  // namespace brimlet::columns
