#include "columns/column_table.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>

#include "test_support.hpp"

namespace brimlet::columns {
namespace {

using test::Bytes;
using test::concat;
using test::field;
using test::frame;

const Bytes kRaw = frame(0x80, concat({field(0x04, {1.0f, -0.0f, 3.0f}), field(0x17, {1013.25f})}));
const Bytes kEstimated = frame(0x82, concat({field(0x21, {2.5f}, 0), field(0x13, {0, 0, 9.8f}, 0), field(0x21, {4.0f}, 1)}));

std::size_t column_of(std::string_view field, std::string_view suffix) {
    for (std::size_t c = 0; c < kDataColumns.size(); ++c) {
        if (kDataColumns[c].field == field && kDataColumns[c].suffix == suffix) return c;
    }
    ADD_FAILURE() << "no column " << field << "_" << suffix;
    return 0;
}

ColumnTable decode(const Bytes& stream, std::vector<std::uint64_t> ends = {}, std::vector<std::int64_t> times = {}) {
    auto table = decode_columns(stream, {ends, times});
    EXPECT_TRUE(table.has_value());
    return std::move(*table);
}

TEST(ColumnTable, EveryValueInItsColumnAndNaNWhereAbsent) {
    ColumnTable t = decode(concat({kRaw, {0x00, 0x75}, kEstimated, frame(0x81, {}), frame(0x80, {})}));
    ASSERT_EQ(t.size, 3u);
    EXPECT_EQ((std::vector<int>{t.kind.data()[0], t.kind.data()[1], t.kind.data()[2]}), (std::vector<int>{0, 1, 0}));
    const float* accel_y = t.data[column_of("scaled_accel", "y")].data();
    EXPECT_TRUE(std::signbit(accel_y[0]) && accel_y[0] == 0.0f);
    EXPECT_TRUE(std::isnan(accel_y[1]) && std::isnan(accel_y[2]));
    EXPECT_EQ(t.data[column_of("scaled_ambient_pressure", "")].data()[0], 1013.25f);
    // The later of two values of one field wins; a flag counts once.
    EXPECT_EQ(t.data[column_of("est_pressure_alt", "")].data()[1], 4.0f);
    EXPECT_EQ(t.data[column_of("est_gravity_vector", "z")].data()[1], 9.8f);
    const auto bit = [](std::string_view name) {
        for (std::size_t i = 0; i < schema::kValidityNames.size(); ++i) {
            if (schema::kValidityNames[i] == name) return 1u << i;
        }
        return 0u;
    };
    EXPECT_EQ(t.invalid.data()[1], bit("estPressureAlt") | bit("estGravityVector"));
    EXPECT_EQ(t.invalid.data()[0], 0);
    EXPECT_EQ(t.time.data()[0], 0);
}

struct ReadCase {
    const char* name;
    std::vector<std::uint64_t> ends;
    std::vector<std::int64_t> expected;  // time of each packet
};

TEST(ColumnTable, APacketHasTheTimeOfTheReadAfterWhichTheScannerReachedIt) {
    // A false sync pair with a long length holds the frames behind it back
    // until 261 bytes from it have arrived, as it does on a live line.
    const Bytes stream = concat({kRaw, {0x75, 0x65, 0x80, 0xFF}, kEstimated, Bytes(300, 0), kRaw});
    const std::size_t raw = kRaw.size(), held = raw + 4 + kEstimated.size(), whole = stream.size();
    const ReadCase cases[] = {
        {"one read", {whole}, {10, 10, 10}},
        {"frames cut by reads", {raw - 1, raw, held, whole - 1, whole}, {20, 40, 50}},
        {"held back by a false frame", {raw + 10, held, raw + 270, whole}, {10, 30, 40}},
        {"bytes after the last read", {raw, held}, {10, 20, 20}},
        {"a read past the end", {raw, whole + 5}, {10, 20, 20}},
    };
    for (const auto& c : cases) {
        std::vector<std::int64_t> times;
        for (std::size_t k = 0; k < c.ends.size(); ++k) times.push_back(10 * static_cast<std::int64_t>(k + 1));
        ColumnTable t = decode(stream, c.ends, times);
        ASSERT_EQ(t.size, 3u) << c.name;
        EXPECT_EQ((std::vector<std::int64_t>(t.time.data(), t.time.data() + 3)), c.expected) << c.name;
    }
}

struct ScanCase {
    const char* name;
    Bytes stream;
    std::vector<std::uint32_t> skipped;  // before each packet
    ScanTotals totals;
    std::vector<std::uint64_t> end;  // of each packet frame
};

Bytes damaged(Bytes f) {
    f[5] ^= 0x40;
    return f;
}

TEST(ColumnTable, CountsWhatTheScanPassesOverAsAReadByReadFeedDoes) {
    const std::uint64_t r = kRaw.size(), e = kEstimated.size();
    const ScanCase cases[] = {
        {"clean", concat({kRaw, kEstimated}), {0, 0}, {}, {r, r + e}},
        {"noise before", concat({{0x00, 0x11, 0x22}, kRaw}), {3}, {.outside = 3}, {3 + r}},
        {"a damaged frame", concat({damaged(kRaw), kRaw, kEstimated}), {std::uint32_t(r), 0},
         {.outside = r, .bad_checksums = 1}, {2 * r, 2 * r + e}},
        {"lone sync bytes", concat({kRaw, {0x75, 0x00, 0x75, 0x75}, kRaw}), {0, 4}, {.outside = 4}, {r, 2 * r + 4}},
        {"a frame of another set", concat({kRaw, frame(0x81, {}), {0x01}, kRaw}), {0, 1},
         {.outside = 1, .other_frames = 1}, {r, 2 * r + 7}},
        {"noise after the last", concat({kRaw, {0x01, 0x02}}), {0}, {.outside = 2}, {r}},
        {"an unfinished frame", concat({kRaw, Bytes(kRaw.begin(), kRaw.end() - 3)}), {0}, {.unfinished = r - 3}, {r}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint64_t> ends;
        std::vector<std::int64_t> times;
        for (std::uint64_t end = 7; end < c.stream.size(); end += 7) {
            ends.push_back(end);
            times.push_back(1);
        }
        for (bool by_reads : {false, true}) {
            ColumnTable t = by_reads ? decode(c.stream, ends, times) : decode(c.stream);
            EXPECT_EQ((std::vector<std::uint32_t>(t.skipped.data(), t.skipped.data() + t.size)), c.skipped) << c.name;
            EXPECT_EQ((std::vector<std::uint64_t>(t.end.data(), t.end.data() + t.size)), c.end) << c.name;
            EXPECT_EQ(t.scan.outside, c.totals.outside) << c.name;
            EXPECT_EQ(t.scan.unfinished, c.totals.unfinished) << c.name;
            EXPECT_EQ(t.scan.bad_checksums, c.totals.bad_checksums) << c.name;
            EXPECT_EQ(t.scan.other_frames, c.totals.other_frames) << c.name;
        }
    }
}

TEST(ColumnTable, GrowsPastItsFirstGuessWithEveryValueInPlace) {
    // Empty frames are far shorter than the guess of bytes per packet.
    Bytes stream;
    for (int k = 0; k < 5000; ++k) {
        const Bytes f = k % 3 ? frame(0x80, {}) : frame(0x80, field(0x04, {float(k), 0, 0}));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    ColumnTable t = decode(stream);
    ASSERT_EQ(t.size, 5000u);
    const float* x = t.data[column_of("scaled_accel", "x")].data();
    const float* pressure = t.data[column_of("scaled_ambient_pressure", "")].data();
    for (std::size_t k = 0; k < t.size; ++k) {
        ASSERT_TRUE(k % 3 ? std::isnan(x[k]) : x[k] == float(k)) << k;
        ASSERT_TRUE(std::isnan(pressure[k])) << k;
    }
}

TEST(ColumnTable, NamesFollowThePropertyOrder) {
    ASSERT_EQ(kDataColumns.size(), 34u);
    EXPECT_EQ(kDataColumns.front().field, "scaled_accel");
    EXPECT_EQ(kDataColumns.front().suffix, "x");
    EXPECT_EQ(kDataColumns[12].field, "scaled_ambient_pressure");
    EXPECT_EQ(kDataColumns.back().field, "est_gravity_vector");
    EXPECT_EQ(decode({}).size, 0u);
}

}  // namespace
}  // namespace brimlet::columns
