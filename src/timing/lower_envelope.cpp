#include "timing/lower_envelope.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace brimlet::columns {

namespace {

// Points relative to a piece's first one.
using Point = HullPoint;

// > 0 when o, a, b turn left (b lies above the line from o through a),
// reckoned in Wide, which must hold the products of the piece's spans.
template <class Wide>
Wide turn(const Point& o, const Point& a, const Point& b) {
    return static_cast<Wide>(a.x - o.x) * (b.y - o.y) - static_cast<Wide>(a.y - o.y) * (b.x - o.x);
}

// The x of each point of a piece as it is given, or its index: only the
// differences of x within a piece count.
struct GivenX {
    const std::int64_t* x;
    std::int64_t operator[](std::size_t i) const { return x[i]; }
};
struct IndexX {
    std::int64_t operator[](std::size_t i) const { return static_cast<std::int64_t>(i); }
};

// The line along the edge of the lower hull `hull` (two vertices or more,
// relative to the first point) that spans `mean`.
EnvelopeLine line_of(std::span<const Point> hull, double mean) {
    std::size_t k = 1;
    while (k + 1 < hull.size() && static_cast<double>(hull[k].x) < mean) ++k;
    const Point& a = hull[k - 1];
    const Point& b = hull[k];
    const double slope = static_cast<double>(b.y - a.y) / static_cast<double>(b.x - a.x);
    return {slope, static_cast<double>(a.y) - slope * static_cast<double>(a.x)};
}

// Whole numbers up to this are exact in doubles.
constexpr std::int64_t kWholeDouble = std::int64_t{1} << 53;

// The sum of each x less the first over n points, as sum_in_order gives it.
double sum_of_x(GivenX x, std::size_t n) { return sum_in_order(std::span(x.x, n), x[0]); }

double sum_of_x(IndexX x, std::size_t n) {
    const auto count = static_cast<std::int64_t>(n);
    if (count <= kWholeDouble / std::max<std::int64_t>(count, 1)) return static_cast<double>(count * (count - 1) / 2);
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(x[i]);
    return sum;
}

// The line under the points (x[i], y[i]), with room for them all in `hull`,
// which holds the vertices of their lower hull after (`size` of them).
template <class Wide, class X>
EnvelopeLine fit_piece(X x, std::span<const std::int64_t> y, Point* hull, std::size_t& size) {
    const std::int64_t x0 = x[0], y0 = y[0];
    // The last two vertices are kept at hand as well as in `hull`.
    hull[0] = {0, 0};
    size = 1;
    Point before{}, last = hull[0];
    for (std::size_t i = 1; i < y.size(); ++i) {
        const Point p{x[i] - x0, y[i] - y0};
        while (size >= 2 && turn<Wide>(before, last, p) <= 0) {
            --size;
            last = before;
            if (size >= 2) before = hull[size - 2];
        }
        hull[size++] = p;
        before = last;
        last = p;
    }
    if (size < 2) return {std::numeric_limits<double>::quiet_NaN(), 0};
    return line_of(std::span<const Point>(hull, size), sum_of_x(x, y.size()) / static_cast<double>(y.size()));
}

// The line under the piece's points, its turns reckoned in 64 bits where
// they fit: each product is at most its span of x times its span of y.
template <class X>
EnvelopeLine fit_piece(X x, std::span<const std::int64_t> y, std::vector<Point>& hull, std::size_t& size) {
    if (hull.size() < y.size()) hull.resize(y.size());
    std::int64_t low = y[0], high = y[0];
    for (const std::int64_t v : y) {
        low = std::min(low, v);
        high = std::max(high, v);
    }
    const __int128 most = static_cast<__int128>(x[y.size() - 1] - x[0]) * (static_cast<__int128>(high) - low);
    return most < (static_cast<__int128>(1) << 61) ? fit_piece<std::int64_t>(x, y, hull.data(), size)
                                                   : fit_piece<__int128>(x, y, hull.data(), size);
}

// The line of each piece of the points (x(begin)[i], y[begin + i]), x(begin)
// giving the x of the piece that starts at begin.
template <class XOf>
void fit_pieces(XOf x_of, std::span<const std::int64_t> y, std::span<const std::int64_t> starts,
                std::span<EnvelopeLine> out) {
    std::vector<Point> hull;
    std::size_t size = 0;
    for (std::size_t p = 0; p < starts.size() && p < out.size(); ++p) {
        const auto begin = static_cast<std::size_t>(starts[p]);
        const auto end = p + 1 < starts.size() ? static_cast<std::size_t>(starts[p + 1]) : y.size();
        out[p] = begin < end && end <= y.size() ? fit_piece(x_of(begin), y.subspan(begin, end - begin), hull, size)
                                                : EnvelopeLine{std::numeric_limits<double>::quiet_NaN(), 0};
    }
}

}  // namespace

EnvelopeLine fit_lower_envelope(std::span<const std::int64_t> x, std::span<const std::int64_t> y,
                                std::vector<HullPoint>& hull) {
    std::size_t size = 0;
    const EnvelopeLine line = y.empty() ? EnvelopeLine{std::numeric_limits<double>::quiet_NaN(), 0}
                                        : fit_piece(GivenX{x.data()}, y.first(std::min(x.size(), y.size())), hull, size);
    hull.resize(size);
    for (HullPoint& p : hull) p = {p.x + x[0], p.y + y[0]};
    return line;
}

EnvelopeLine fit_lower_envelope(std::span<const std::int64_t> y, std::vector<HullPoint>& hull) {
    std::size_t size = 0;
    const EnvelopeLine line =
        y.empty() ? EnvelopeLine{std::numeric_limits<double>::quiet_NaN(), 0} : fit_piece(IndexX{}, y, hull, size);
    hull.resize(size);
    for (HullPoint& p : hull) p.y += y[0];
    return line;
}

EnvelopeLine lower_envelope_of(std::span<const HullPoint> points, std::size_t count, double sum_x,
                               std::vector<HullPoint>& hull) {
    hull.clear();
    if (points.empty()) return {std::numeric_limits<double>::quiet_NaN(), 0};
    const HullPoint first = points.front();
    for (const HullPoint& v : points) {
        const Point p{v.x - first.x, v.y - first.y};
        while (hull.size() >= 2 && turn<__int128>(hull[hull.size() - 2], hull.back(), p) <= 0) hull.pop_back();
        hull.push_back(p);
    }
    const EnvelopeLine line = hull.size() < 2 ? EnvelopeLine{std::numeric_limits<double>::quiet_NaN(), 0}
                                              : line_of(hull, sum_x / static_cast<double>(count));
    for (HullPoint& p : hull) p = {p.x + first.x, p.y + first.y};
    return line;
}

double sum_in_order(std::span<const std::int64_t> values, std::int64_t base) {
    const std::int64_t last = values.empty() ? 0 : values.back() - base;
    if (last == 0 || static_cast<std::int64_t>(values.size()) <= kWholeDouble / last) {
        std::int64_t sum = 0;
        for (const std::int64_t v : values) sum += v - base;
        return static_cast<double>(sum);
    }
    double sum = 0;
    for (const std::int64_t v : values) sum += static_cast<double>(v - base);
    return sum;
}

double hull_slope(std::span<const HullPoint> points, double mean_x) {
    std::vector<HullPoint> hull;
    for (const HullPoint& p : points) {
        while (hull.size() >= 2 && turn<__int128>(hull[hull.size() - 2], hull.back(), p) <= 0) hull.pop_back();
        hull.push_back(p);
    }
    if (hull.size() < 2) return std::numeric_limits<double>::quiet_NaN();
    std::size_t k = 1;
    while (k + 1 < hull.size() && static_cast<double>(hull[k].x) < mean_x) ++k;
    return static_cast<double>(hull[k].y - hull[k - 1].y) / static_cast<double>(hull[k].x - hull[k - 1].x);
}

void fit_lower_envelopes(std::span<const std::int64_t> x, std::span<const std::int64_t> y,
                         std::span<const std::int64_t> starts, std::span<EnvelopeLine> out) {
    fit_pieces([&](std::size_t begin) { return GivenX{x.data() + begin}; }, y.first(std::min(x.size(), y.size())),
               starts, out);
}

void fit_lower_envelopes(std::span<const std::int64_t> y, std::span<const std::int64_t> starts,
                         std::span<EnvelopeLine> out) {
    fit_pieces([](std::size_t) { return IndexX{}; }, y, starts, out);
}

}  // namespace brimlet::columns
