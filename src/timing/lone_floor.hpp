#pragma once
// A read that came quicker than any other of its piece: the reader was awake
// already when a transfer landed, or caught a second one in the same read.
// Such a point lies alone, far under a floor that the piece's other packets
// reach time and again, and a line resting on it tilts across the whole
// piece. Plain C++.
//
// A point the line rests on is lone when it lies kLoneLeastNs or more (but
// no more than a quick read can) under the line of the others, and
// kLoneRatio times or more as far as the floor of the others usually stands
// over that line, block by block across the piece. A floor whose lows wander
// (a kind that reaches it now and then) has no lone point, and neither has
// one that bends: the lift is only for a floor so well marked that one point
// under it says more about its read than about the line.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "timing/lower_envelope.hpp"

namespace brimlet::columns {

// Whether the line under a piece's points may rest on a lone one: `hull` is
// their lower hull (in order of x, from the piece's first point) and `mean_x`
// the mean x over the piece. Cheap, from the hull alone: most pieces have
// no such point, and then the points themselves are never looked at.
bool may_rest_on_lone_point(std::span<const HullPoint> hull, double mean_x);

// Lifts each lone point the line rests on among `points` (the piece's every
// point, in order of x; its first and last are never lifted) onto the line
// of the others: for the line only.
// `hull` is their lower hull, kept up to date. Whether any was lifted.
bool lift_lone_points(std::vector<HullPoint>& points, std::vector<HullPoint>& hull, double mean_x);

}  // namespace brimlet::columns
