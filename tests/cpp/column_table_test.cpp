#include "columns/column_table.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
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

// A file is read piece by piece, never mapped, into the same columns as its
// bytes in memory; a file that holds less than the length asked (it shrank)
// and a read that fails end the decode with their failure.
TEST(ColumnTable, AFileDecodesAsItsBytesAndFailuresAreValues) {
    Bytes stream;
    for (int k = 0; k < 60000; ++k) stream.insert(stream.end(), kRaw.begin(), kRaw.end());
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), std::fclose);
    ASSERT_TRUE(file);
    ASSERT_EQ(std::fwrite(stream.data(), 1, stream.size(), file.get()), stream.size());
    ASSERT_EQ(std::fflush(file.get()), 0);
    const int fd = ::fileno(file.get());
    const std::vector<std::uint64_t> ends{stream.size() / 2 + 3, stream.size()};
    const std::vector<std::int64_t> times{7, 9};
    auto from_file = decode_file_columns(fd, stream.size(), {ends, times});
    ASSERT_TRUE(from_file.has_value());
    const ColumnTable in_memory = decode(stream, ends, times);
    ASSERT_EQ(from_file->size, 60000u);
    ASSERT_EQ(in_memory.size, 60000u);
    EXPECT_EQ(std::memcmp(from_file->time.data(), in_memory.time.data(), 60000 * sizeof(std::int64_t)), 0);
    const std::size_t x = column_of("scaled_accel", "x");
    EXPECT_EQ(std::memcmp(from_file->data[x].data(), in_memory.data[x].data(), 60000 * sizeof(float)), 0);

    auto shrunk = decode_file_columns(fd, stream.size() + 100, {});
    ASSERT_FALSE(shrunk.has_value());
    EXPECT_EQ(shrunk.error().kind, DecodeError::Kind::ended_early);
    EXPECT_EQ(shrunk.error().bytes, stream.size());

    const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    auto failed = decode_file_columns(directory, 10, {});
    ::close(directory);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind, DecodeError::Kind::read_failed);
    EXPECT_EQ(failed.error().error_number, EISDIR);
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
