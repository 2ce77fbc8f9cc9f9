#include "protocol/frame_scanner.hpp"

#include <gtest/gtest.h>

#include <random>

#include "test_support.hpp"

namespace brimlet {
namespace {

using test::Bytes;
using test::Floats;
using test::kind_name;
using test::value;
using test::VectorSender;

struct Scan {
    Bytes left;
    std::vector<IMUPacket> packets;
};

Scan scan(Bytes buffer) {
    VectorSender sender;
    scan_frames(buffer, sender);
    return {std::move(buffer), std::move(sender.packets)};
}

// The checksum by its definition, a byte at a time, for every length a
// frame can have and then some.
TEST(FrameScanner, ChecksumMatchesTheRunningSums) {
    std::mt19937 random(7);
    Bytes bytes(300);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    for (std::size_t n = 0; n <= bytes.size(); ++n) {
        std::uint8_t a = 0, b = 0;
        for (std::size_t k = 0; k < n; ++k) {
            a = static_cast<std::uint8_t>(a + bytes[k]);
            b = static_cast<std::uint8_t>(b + a);
        }
        const Checksum sum = frame_checksum(bytes.data(), n);
        ASSERT_EQ(sum.a, a) << n;
        ASSERT_EQ(sum.b, b) << n;
    }
}

TEST(FrameScanner, EmptyFramesOfBothSetsDecode) {
    auto raw = scan({0x75, 0x65, 0x80, 0x00, 0x5A, 0x03});
    ASSERT_EQ(raw.packets.size(), 1u);
    EXPECT_EQ(kind_name(raw.packets[0]), "raw");
    EXPECT_FALSE(value(raw.packets[0], "scaled_accel"));
    EXPECT_TRUE(raw.left.empty());

    auto est = scan({0x75, 0x65, 0x82, 0x00, 0x5C, 0x07});
    ASSERT_EQ(est.packets.size(), 1u);
    EXPECT_EQ(kind_name(est.packets[0]), "estimated");
}

TEST(FrameScanner, WholeFrameExamples) {
    auto accel = scan({0x75, 0x65, 0x80, 0x0E, 0x0E, 0x04, 0x3F, 0x80, 0, 0, 0x40, 0, 0, 0, 0x40, 0x40, 0, 0, 0xF9, 0xED});
    ASSERT_EQ(accel.packets.size(), 1u);
    EXPECT_EQ(value(accel.packets[0], "scaled_accel"), (Floats{1.0f, 2.0f, 3.0f}));
    EXPECT_FALSE(value(accel.packets[0], "scaled_gyro"));

    auto alt = scan({0x75, 0x65, 0x82, 0x08, 0x08, 0x21, 0x3F, 0x80, 0, 0, 0, 1, 0x4D, 0x51});
    ASSERT_EQ(alt.packets.size(), 1u);
    EXPECT_EQ(value(alt.packets[0], "est_pressure_alt"), Floats{1.0f});
    EXPECT_FALSE(invalid_fields_text(alt.packets[0]));
}

TEST(FrameScanner, WhatIsConsumedAndWhatRemains) {
    // No sync byte at all: everything goes.
    EXPECT_TRUE(scan({1, 2, 3, 0x65, 0x80}).left.empty());
    // A lone 0x75 at the end stays.
    EXPECT_EQ(scan({1, 2, 0x75}).left, (Bytes{0x75}));
    // An incomplete header stays whole.
    EXPECT_EQ(scan({0x75, 0x65, 0x80}).left, (Bytes{0x75, 0x65, 0x80}));
    // A valid frame of an unknown set is dropped silently.
    auto unknown = scan({0x75, 0x65, 0x01, 0x00, 0xDB, 0x05});
    EXPECT_TRUE(unknown.packets.empty());
    EXPECT_TRUE(unknown.left.empty());
    // A bad checksum costs one byte, and nothing else syncs.
    auto bad = scan({0x75, 0x65, 0x80, 0x00, 0x5A, 0x04});
    EXPECT_TRUE(bad.packets.empty());
    EXPECT_TRUE(bad.left.empty());
    // An empty buffer stays empty.
    EXPECT_TRUE(scan({}).left.empty());
}

TEST(FrameScanner, SecondSyncByteIsFoundAfterARepeatedFirst) {
    auto s = scan(test::concat({{0x75}, test::frame(0x80, {})}));
    EXPECT_EQ(s.packets.size(), 1u);
    EXPECT_TRUE(s.left.empty());
}

TEST(FrameScanner, LongIncompleteCandidateHoldsBackLaterFrames) {
    Bytes buffer{0x75, 0x65, 0x80, 0xFF};
    Bytes inner = test::frame(0x80, {});
    buffer.insert(buffer.end(), inner.begin(), inner.end());
    buffer.resize(104, 0x00);
    auto s = scan(buffer);
    EXPECT_TRUE(s.packets.empty());
    EXPECT_EQ(s.left.size(), 104u);
}

TEST(FrameScanner, FrameInsideADamagedFrameIsFound) {
    Bytes inner = test::frame(0x80, test::field(0x04, {1, 2, 3}));
    Bytes outer{0x75, 0x65, 0x80, static_cast<std::uint8_t>(inner.size())};
    outer.insert(outer.end(), inner.begin(), inner.end());
    outer.push_back(0);  // wrong checksum
    outer.push_back(0);
    auto s = scan(outer);
    ASSERT_EQ(s.packets.size(), 1u);
    EXPECT_EQ(value(s.packets[0], "scaled_accel"), (Floats{1, 2, 3}));
    EXPECT_TRUE(s.left.empty());
}

TEST(FrameScanner, BackToBackFramesInOrderAndLargestFrame) {
    Bytes big_payload;
    for (int k = 0; k < 17; ++k) {
        Bytes f = test::field(0x04, {float(k), 0, 0});
        big_payload.insert(big_payload.end(), f.begin(), f.end());
    }
    big_payload.resize(255, 0x00);  // the last field ends the walk (length 0)
    auto s = scan(test::concat({test::frame(0x82, {}), test::frame(0x80, big_payload), test::frame(0x80, {})}));
    ASSERT_EQ(s.packets.size(), 3u);
    EXPECT_EQ(kind_name(s.packets[0]), "estimated");
    EXPECT_EQ(value(s.packets[1], "scaled_accel"), (Floats{16, 0, 0}));
    EXPECT_EQ(kind_name(s.packets[2]), "raw");
}

TEST(FrameScanner, FailedSendRemovesNothing) {
    Bytes buffer = test::concat({{9, 9}, test::frame(0x80, {}), test::frame(0x80, {})});
    const Bytes before = buffer;
    VectorSender sender;
    sender.closed = true;
    scan_frames(buffer, sender);
    EXPECT_EQ(buffer, before);
}

TEST(FrameScanner, SplitFrameCompletesOnNextPass) {
    Bytes f = test::frame(0x80, test::field(0x17, {1013.25f}));
    VectorSender sender;
    Bytes buffer(f.begin(), f.begin() + 5);
    scan_frames(buffer, sender);
    EXPECT_TRUE(sender.packets.empty());
    EXPECT_EQ(buffer.size(), 5u);
    buffer.insert(buffer.end(), f.begin() + 5, f.end());
    scan_frames(buffer, sender);
    ASSERT_EQ(sender.packets.size(), 1u);
    EXPECT_EQ(value(sender.packets[0], "scaled_ambient_pressure"), Floats{1013.25f});
}

// A random stream scanned whole and scanned in random pieces gives the same
// packets in the same order.
TEST(FrameScanner, ChunkingDoesNotChangeTheResult) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 50; ++round) {
        Bytes stream;
        std::vector<float> expected;
        for (int k = 0; k < 200; ++k) {
            const float tag = float(round * 1000 + k);
            switch (rng() % 6) {
                case 0: stream = test::concat({stream, test::frame(0x80, test::field(0x04, {tag, 0, 0}))}); break;
                case 1: stream = test::concat({stream, test::frame(0x82, test::field(0x21, {tag}, 1))}); break;
                case 2: for (int g = rng() % 8; g > 0; --g) stream.push_back(static_cast<std::uint8_t>(rng())); break;
                case 3: stream = test::concat({stream, {0x75, 0x65}}); break;  // a false sync pair
                case 4: {
                    Bytes f = test::frame(0x80, test::field(0x04, {tag, 1, 1}));
                    f.back() ^= 0x5A;  // damaged checksum
                    stream = test::concat({stream, f});
                    break;
                }
                default: stream = test::concat({stream, test::frame(0x33, test::field(0x04, {tag, 0, 0}))}); break;
            }
        }
        VectorSender whole;
        Bytes buffer = stream;
        scan_frames(buffer, whole);

        VectorSender pieces;
        Bytes reader;
        for (std::size_t pos = 0; pos < stream.size();) {
            const std::size_t n = std::min<std::size_t>(1 + rng() % 300, stream.size() - pos);
            reader.insert(reader.end(), stream.begin() + pos, stream.begin() + pos + n);
            pos += n;
            scan_frames(reader, pieces);
            ASSERT_LT(reader.size(), kMaxFrame);
            if (!reader.empty()) {
                ASSERT_EQ(reader[0], kSync1);
            }
        }
        ASSERT_EQ(whole.packets.size(), pieces.packets.size());
        for (std::size_t k = 0; k < whole.packets.size(); ++k) {
            EXPECT_EQ(kind_name(whole.packets[k]), kind_name(pieces.packets[k]));
            EXPECT_EQ(value(whole.packets[k], "scaled_accel"), value(pieces.packets[k], "scaled_accel"));
            EXPECT_EQ(value(whole.packets[k], "est_pressure_alt"), value(pieces.packets[k], "est_pressure_alt"));
        }
    }
}

}  // namespace
}  // namespace brimlet
