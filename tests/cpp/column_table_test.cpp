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
