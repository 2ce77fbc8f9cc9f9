#include "columns/lower_envelope.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace brimlet::columns {

namespace {

// Points relative to a piece's first one; exact in 128 bits, whatever the
// clock's value or the length of the piece.
struct Point {
    std::int64_t x;
    std::int64_t y;
};

// > 0 when o, a, b turn left (b lies above the line from o through a).
__int128 turn(const Point& o, const Point& a, const Point& b) {
    return static_cast<__int128>(a.x - o.x) * (b.y - o.y) - static_cast<__int128>(a.y - o.y) * (b.x - o.x);
}

EnvelopeLine fit_piece(std::span<const std::int64_t> x, std::span<const std::int64_t> y, std::vector<Point>& hull) {
    hull.clear();
    double mean = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const Point p{x[i] - x[0], y[i] - y[0]};
        mean += static_cast<double>(p.x);
        while (hull.size() >= 2 && turn(hull[hull.size() - 2], hull.back(), p) <= 0) hull.pop_back();
        hull.push_back(p);
    }
    if (hull.size() < 2) return {std::numeric_limits<double>::quiet_NaN(), 0};
    mean /= static_cast<double>(x.size());
    std::size_t k = 1;
    while (k + 1 < hull.size() && static_cast<double>(hull[k].x) < mean) ++k;
    const Point& a = hull[k - 1];
    const Point& b = hull[k];
    const double slope = static_cast<double>(b.y - a.y) / static_cast<double>(b.x - a.x);
    return {slope, static_cast<double>(a.y) - slope * static_cast<double>(a.x)};
}

}  // namespace

void fit_lower_envelopes(std::span<const std::int64_t> x, std::span<const std::int64_t> y,
                         std::span<const std::int64_t> starts, std::span<EnvelopeLine> out) {
    std::vector<Point> hull;
    for (std::size_t p = 0; p < starts.size() && p < out.size(); ++p) {
        const auto begin = static_cast<std::size_t>(starts[p]);
        const auto end = p + 1 < starts.size() ? static_cast<std::size_t>(starts[p + 1]) : x.size();
        if (begin >= end || end > x.size() || end > y.size()) {
            out[p] = {std::numeric_limits<double>::quiet_NaN(), 0};
            continue;
        }
        out[p] = fit_piece(x.subspan(begin, end - begin), y.subspan(begin, end - begin), hull);
    }
}

void values_on_lines(std::span<const std::int64_t> x, std::span<const std::int64_t> y,
                     std::span<const std::int64_t> starts, std::span<const EnvelopeLine> lines,
                     std::span<std::int64_t> out) {
    for (std::size_t p = 0; p < starts.size() && p < lines.size(); ++p) {
        const auto begin = static_cast<std::size_t>(starts[p]);
        const auto end = p + 1 < starts.size() ? static_cast<std::size_t>(starts[p + 1]) : x.size();
        if (begin >= end || end > x.size() || end > y.size() || end > out.size()) continue;
        const double slope = std::isnan(lines[p].slope) ? 0.0 : lines[p].slope;
        for (std::size_t i = begin; i < end; ++i) {
            const double on_line = lines[p].at_start + slope * static_cast<double>(x[i] - x[begin]);
            out[i] = y[begin] + static_cast<std::int64_t>(std::floor(on_line));
        }
    }
}

}  // namespace brimlet::columns
