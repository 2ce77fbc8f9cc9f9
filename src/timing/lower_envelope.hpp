#pragma once
// The line under a run of points that hugs them closest: for packets that
// arrive late by a varying delay but never early, the line of their sample
// times. Plain C++.
//
// Among the lines below every point (x, y), the one with the least total
// distance to the points is the one highest at the mean x, so it lies on the
// edge of the lower convex hull that spans the mean x.

#include <cstdint>
#include <span>
#include <vector>

namespace brimlet::columns {

struct EnvelopeLine {
    double slope = 0;   // y per unit of x
    double at_start = 0;  // the line at the piece's first x, less its first y
};

struct HullPoint {
    std::int64_t x;
    std::int64_t y;
};

// The lower-envelope line of the points (x[i], y[i]), x strictly increasing,
// and the vertices of their lower convex hull into `hull`, in order of x.
EnvelopeLine fit_lower_envelope(std::span<const std::int64_t> x, std::span<const std::int64_t> y,
                                std::vector<HullPoint>& hull);

// The same with each point's index for its x: the vertices in `hull` are
// (index, y).
EnvelopeLine fit_lower_envelope(std::span<const std::int64_t> y, std::vector<HullPoint>& hull);

// The lower-envelope line of a run of `count` points, x strictly increasing,
// from `points`: in order of x, every vertex of the run's lower hull and
// only points of the run (the vertices of the hulls of the neighbouring
// runs of points it is made of, say), the first and last of the run among
// them. `sum_x` is the sum over the run of each x less the first. The same
// line as fit_lower_envelope gives; the vertices into `hull`.
EnvelopeLine lower_envelope_of(std::span<const HullPoint> points, std::size_t count, double sum_x,
                               std::vector<HullPoint>& hull);

// The sum of each of `values` less `base`, each from `base` to the last, as
// adding them one by one in doubles gives it: exactly while it stays within
// the 53 bits doubles hold whole (n times the last bounds it), else in that
// order.
double sum_in_order(std::span<const std::int64_t> values, std::int64_t base);

// The slope of the lower hull's edge that spans `mean_x` among `points`, in
// order of x (the vertices of the hulls of neighbouring runs of points give
// the hull of them all); NaN with fewer than two.
double hull_slope(std::span<const HullPoint> points, double mean_x);

// The lower-envelope line of each piece of the points (x[i], y[i]): piece p
// runs from starts[p] to starts[p + 1] (or the end), x strictly increasing
// within it. A piece of one point gives slope NaN and at_start 0; `out`
// holds one line per piece.
void fit_lower_envelopes(std::span<const std::int64_t> x, std::span<const std::int64_t> y,
                         std::span<const std::int64_t> starts, std::span<EnvelopeLine> out);

// The same with each point's index for its x.
void fit_lower_envelopes(std::span<const std::int64_t> y, std::span<const std::int64_t> starts,
                         std::span<EnvelopeLine> out);

}  // namespace brimlet::columns
