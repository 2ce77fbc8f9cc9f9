#include "text/column_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <array>
#include <string>
#include <vector>

#include "protocol/packet_text.hpp"
#include "protocol/payload_decoder.hpp"
#include "test_support.hpp"

namespace brimlet::columns {
namespace {

using test::Bytes;
using test::concat;
using test::field;
using test::frame;

constexpr std::array<std::string_view, 3> kLeading{"packet_type", "timestamp", "invalid_fields"};
const std::array<std::string_view, schema::kFieldCount> kFieldKeys = [] {
    std::array<std::string_view, schema::kFieldCount> keys{};
    for (std::size_t f = 0; f < keys.size(); ++f) keys[f] = schema::kFields[f].name;
    return keys;
}();

struct Table {
    ColumnTable table;
    std::vector<const float*> data;
    ColumnsView view() {
        data.clear();
        for (std::size_t c = 0; c < kDataColumns.size(); ++c) data.push_back(table.data[c].data());
        return {table.size, table.time.data(), table.kind.data(), table.invalid.data(), table.present.data(), data};
    }
};

Table decoded(const Bytes& stream) {
    auto table = decode_columns(stream, {});
    EXPECT_TRUE(table.has_value());
    return {std::move(*table), {}};
}

std::string text(Table& t, TextFormat format) {
    auto lines = column_text(t.view(), format, {kLeading, kFieldKeys});
    EXPECT_TRUE(lines.has_value());
    return lines.value_or("");
}

TEST(ColumnText, CsvAndJsonLinesOfBothKinds) {
    Table t = decoded(concat({
        frame(0x80, concat({field(0x04, {0.1f, -0.0f, 1e-5f}), field(0x17, {1013.25f})})),
        frame(0x82, concat({field(0x21, {-12.5f}, 0), field(0x13, {0, 0, -9.80665f}, 0)})),
    }));
    const std::string empty3 = ",,,", empty4 = ",,,,";
    EXPECT_EQ(text(t, TextFormat::csv),
              "raw,0,,0.1,-0.0,1e-5" + empty3 + empty3 + empty3 + ",1013.25," + empty4 + empty4 + empty3 +
                  empty3 + empty3 + empty3 + "\n" +
              "estimated,0,\"estGravityVector,estPressureAlt\"" + empty3 + empty3 + empty3 + empty3 +
                  ",,-12.5" + empty4 + empty4 + empty3 + empty3 + empty3 + ",0.0,0.0,-9.80665\n");
    EXPECT_EQ(text(t, TextFormat::jsonl),
              "{\"packet_type\":\"raw\",\"timestamp\":0,\"invalid_fields\":null,\"scaled_accel\":[0.1,-0.0,1e-5],"
              "\"scaled_gyro\":null,\"delta_vel\":null,\"delta_theta\":null,\"scaled_ambient_pressure\":1013.25,"
              "\"est_pressure_alt\":null,\"est_orient_quaternion\":null,\"est_attitude_uncert_quaternion\":null,"
              "\"est_angular_rate\":null,\"est_compensated_accel\":null,\"est_linear_accel\":null,"
              "\"est_gravity_vector\":null}\n"
              "{\"packet_type\":\"estimated\",\"timestamp\":0,\"invalid_fields\":\"estGravityVector,estPressureAlt\","
              "\"scaled_accel\":null,\"scaled_gyro\":null,\"delta_vel\":null,\"delta_theta\":null,"
              "\"scaled_ambient_pressure\":null,\"est_pressure_alt\":-12.5,\"est_orient_quaternion\":null,"
              "\"est_attitude_uncert_quaternion\":null,\"est_angular_rate\":null,\"est_compensated_accel\":null,"
              "\"est_linear_accel\":null,\"est_gravity_vector\":[0.0,0.0,-9.80665]}\n");
}

TEST(ColumnText, ManyRowsOfTheLongestValues) {
    // Every value as long as a value's text gets: the buffer grows past its
    // first rows with nothing written out of bounds.
    Bytes stream;
    const float longest = -1.17549435e-38f;
    for (int k = 0; k < 3000; ++k) {
        const Bytes f = frame(0x80, concat({field(0x04, {longest, longest, longest}), field(0x05, {longest, longest, longest}),
                                             field(0x08, {longest, longest, longest}), field(0x07, {longest, longest, longest}),
                                             field(0x17, {longest})}));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    Table t = decoded(stream);
    for (TextFormat format : {TextFormat::csv, TextFormat::jsonl}) {
        const std::string lines = text(t, format);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3000);
        std::size_t values = 0;
        for (std::size_t at = 0; (at = lines.find("-1.1754944e-38,", at)) != std::string::npos; ++at) ++values;
        EXPECT_EQ(values, 3000u * (format == TextFormat::csv ? 13 : 9));
    }
}

TEST(ColumnText, PacketTextFormIsThePacketsOwn) {
    // Each row as the text of the packet decoded from the same payload, its
    // time as the timestamp: every kind, flagged and absent fields, values
    // that are not finite, a packet with nothing in it. Flagged fields come
    // in wire order, as a device sends them.
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<std::uint8_t, Bytes>> payloads = {
        {0x80, concat({field(0x04, {0.1f, -0.0f, 1e-5f}), field(0x05, {1, 2, 3}), field(0x08, {4, 5, 6}),
                       field(0x07, {7, 8, 9}), field(0x17, {1013.25f})})},
        {0x80, {}},
        {0x82, concat({field(0x13, {0, 0, -9.80665f}, 0), field(0x21, {-12.5f}, 0)})},
        {0x82, concat({field(0x03, {1, 0, 0, 0}, 1), field(0x12, {0.5f, 0.25f, 0.125f, 0.0625f}, 0),
                       field(0x0E, {std::nanf(""), inf, -inf}, 1)})},
        {0x82, {}},
    };
    Bytes stream;
    for (const auto& [set, payload] : payloads) stream = concat({stream, frame(set, payload)});
    Table t = decoded(stream);
    ASSERT_EQ(t.table.size, payloads.size());
    std::string expected;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        t.table.time.data()[i] = 1'700'000'000'123'456'789 + static_cast<std::int64_t>(i);
        std::optional<IMUPacket> p = decode_payload(payloads[i].first, payloads[i].second);
        ASSERT_TRUE(p.has_value());
        p->set_timestamp(static_cast<Timestamp>(t.table.time.data()[i]));
        expected += packet_text(*p) + "\n";
    }
    EXPECT_EQ(text(t, TextFormat::packet), expected);
    EXPECT_NE(expected.find("invalid_fields=Some("), std::string::npos);
}

TEST(ColumnText, RefusesCodesWithoutNames) {
    Table t = decoded(frame(0x80, {}));
    t.table.kind.data()[0] = 2;
    EXPECT_EQ(column_text(t.view(), TextFormat::csv, {}).error(), TextError::unknown_kind);
    t.table.kind.data()[0] = 0;
    t.table.invalid.data()[0] = 1u << schema::kValidityCount;
    EXPECT_EQ(column_text(t.view(), TextFormat::csv, {}).error(), TextError::unknown_invalid);
}

}  // namespace
}  // namespace brimlet::columns
