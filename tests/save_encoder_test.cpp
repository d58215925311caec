// The tile encoder: the packets of single planes, the capacity rule, and the pixel data of
// whole tiles saved through ENTRYPOINT (compressed only when strictly shorter than raw).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/support/host_checks.h"
#include "tests/support/iff_builder.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"
#include "module/writer/tile_encoding.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Repeat(size_t count, uint8_t value) { return Bytes(count, value); }
Bytes Distinct(size_t count) {
    Bytes bytes;
    for (size_t k = 0; k < count; ++k) bytes.push_back(uint8_t(k));
    return bytes;
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}
Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Encodes into a buffer with guard bytes after the capacity; fails the test if any is touched.
Bytes Encode(const Bytes& input, uint32_t capacity, uint32_t* answer) {
    const uint8_t kGuard = 0xA5;
    Bytes output(size_t(capacity) + 16, kGuard);
    *answer = EncodeRunLengthPlane(input.data(), uint32_t(input.size()), output.data(), capacity);
    for (size_t k = capacity; k < output.size(); ++k) EXPECT_EQ(output[k], kGuard) << "wrote at " << k;
    output.resize(*answer);
    return output;
}

struct PlaneCase {
    const char* name;
    Bytes input;
    Bytes expected;
};

TEST(SaveEncoderTest, SinglePlanesEncodeToTheExpectedPackets) {
    Bytes distinct127 = Distinct(127);
    Bytes distinct125 = Distinct(125);
    const PlaneCase cases[] = {
        {"A", Text("A"), {0x00, 0x41}},
        {"AA", Text("AA"), {0x81, 0x41}},
        {"AAA", Text("AAA"), {0x82, 0x41}},
        {"AB", Text("AB"), {0x01, 0x41, 0x42}},
        {"ABB", Text("ABB"), {0x02, 0x41, 0x42, 0x42}},
        {"ABBB", Text("ABBB"), {0x00, 0x41, 0x82, 0x42}},
        {"ABBC", Text("ABBC"), {0x03, 0x41, 0x42, 0x42, 0x43}},
        {"AAAB", Text("AAAB"), {0x82, 0x41, 0x00, 0x42}},
        {"128 x A", Repeat(128, 'A'), {0xFF, 0x41}},
        {"129 x A", Repeat(129, 'A'), {0xFF, 0x41, 0x00, 0x41}},
        {"130 x A", Repeat(130, 'A'), {0xFF, 0x41, 0x81, 0x41}},
        {"128 distinct", Distinct(128), Join({{0x7F}, Distinct(128)})},
        {"129 distinct", Distinct(129), Join({{0x7F}, Distinct(128), {0x00, 128}})},
        {"127 distinct, last again", Join({distinct127, {126}}),
         Join({{0x7D}, Distinct(126), {0x81, 126}})},
        {"125 distinct, last twice more", Join({distinct125, {124, 124}}),
         Join({{0x7B}, Distinct(124), {0x82, 124}})},
    };
    for (const PlaneCase& c : cases) {
        uint32_t answer = 0;
        Bytes output = Encode(c.input, 1000, &answer);
        EXPECT_EQ(answer, c.expected.size()) << c.name;
        EXPECT_EQ(output, c.expected) << c.name;
    }
}

TEST(SaveEncoderTest, AnEncodingMustStayBelowTheCapacity) {
    const Bytes ab = Text("AB");
    const uint32_t expected[] = {0, 0, 0, 0, 3, 3};  // capacity 0 to 5
    for (uint32_t capacity = 0; capacity < 6; ++capacity) {
        uint32_t answer = 99;
        Encode(ab, capacity, &answer);
        EXPECT_EQ(answer, expected[capacity]) << "capacity " << capacity;
    }
}

// Planes of many shapes, against the reference encoder written apart from the module; at every
// capacity the answer is the whole encoding's length when that is below it, 0 otherwise, and
// nothing is written at or past it.
TEST(SaveEncoderTest, MatchesTheReferenceEncoderAtEveryCapacity) {
    uint32_t state = 12345;
    auto next = [&state]() { return state = state * 1664525u + 1013904223u; };
    for (int trial = 0; trial < 200; ++trial) {
        const size_t length = 1 + next() % 400;
        const uint32_t changeOdds = 1 + next() % 16;  // 1: every byte may change
        const uint32_t levels = 2 + next() % 255;
        Bytes plane;
        uint8_t value = uint8_t(next() >> 24);
        for (size_t k = 0; k < length; ++k) {
            if (next() % changeOdds == 0) value = uint8_t((next() >> 16) % levels);
            plane.push_back(value);
        }
        const Bytes reference = iffbuild::EncodePlane(plane);
        uint32_t answer = 0;
        EXPECT_EQ(Encode(plane, uint32_t(reference.size()) + 1, &answer), reference) << "trial " << trial;
        EXPECT_EQ(answer, reference.size());
        // The exact size does not fit, nor does anything smaller.
        for (uint32_t capacity = 0; capacity <= reference.size(); ++capacity) {
            Encode(plane, capacity, &answer);
            EXPECT_EQ(answer, 0u) << "trial " << trial << ", capacity " << capacity;
        }
    }
}

// Whole-tile planes (up to 64 x 64 bytes) whose literals meet repeats at every offset around the
// longest packet: a literal of d distinct bytes followed by a stretch of r equal bytes, then more
// of the same, so pairs and runs fall on the 124th to 130th byte of a literal and beyond.
TEST(SaveEncoderTest, MatchesTheReferenceEncoderWhereLiteralsMeetRepeats) {
    uint32_t state = 777;
    auto next = [&state]() { return state = state * 1664525u + 1013904223u; };
    for (uint32_t distinct = 120; distinct <= 260; ++distinct) {
        for (uint32_t repeat = 1; repeat <= 4; ++repeat) {
            Bytes plane;
            while (plane.size() < 4096) {
                for (uint32_t k = 0; k < distinct && plane.size() < 4096; ++k) {
                    // Never equal to the byte before: a literal stretch.
                    uint8_t b = uint8_t(next() >> 24);
                    if (!plane.empty() && b == plane.back()) b = uint8_t(b + 1);
                    plane.push_back(b);
                }
                const uint8_t b = uint8_t(plane.empty() ? 0 : plane.back() + 1);
                for (uint32_t k = 0; k < repeat && plane.size() < 4096; ++k) plane.push_back(b);
                if (next() % 3 == 0) {
                    const size_t run = 1 + next() % 300;
                    for (size_t k = 0; k < run && plane.size() < 4096; ++k) plane.push_back(uint8_t(b + 1));
                }
            }
            // Also every shorter prefix ending near the longest packet, so the plane's end meets
            // a literal at each of those offsets too.
            for (size_t length : {size_t(4096), size_t(distinct), size_t(distinct + 1),
                                  size_t(distinct + repeat), size_t(distinct + repeat + 1)}) {
                const Bytes part(plane.begin(), plane.begin() + std::ptrdiff_t(length));
                const Bytes reference = iffbuild::EncodePlane(part);
                uint32_t answer = 0;
                EXPECT_EQ(Encode(part, uint32_t(reference.size()) + 1, &answer), reference)
                    << "distinct " << distinct << ", repeat " << repeat << ", length " << length;
                EXPECT_EQ(answer, reference.size());
                Encode(part, uint32_t(reference.size()), &answer);
                EXPECT_EQ(answer, 0u) << "distinct " << distinct << ", repeat " << repeat;
            }
        }
    }
}

// ---- Whole tiles, through ENTRYPOINT -----------------------------------------------------------

uint32_t U32At(const Bytes& bytes, size_t offset) {
    return (uint32_t(bytes.at(offset)) << 24) | (uint32_t(bytes.at(offset + 1)) << 16) |
           (uint32_t(bytes.at(offset + 2)) << 8) | uint32_t(bytes.at(offset + 3));
}

// Saves a one-tile image and gives the tile's pixel data (after the tile header).
Bytes SavedTileData(const tniff::Image& image) {
    LinkedHost host;
    TempFile file;
    EXPECT_EQ(host.Save(image, file.path()), noErr);
    EXPECT_TRUE(HostIsClean(host));
    const Bytes bytes = file.Read();
    const size_t tileChunk = 104;
    if (bytes.size() < tileChunk + 16) {
        ADD_FAILURE() << "file of " << bytes.size() << " bytes";
        return Bytes();
    }
    const uint32_t size = U32At(bytes, tileChunk + 4);
    EXPECT_EQ((tileChunk + 8 + size + 3) / 4 * 4, bytes.size());
    return Bytes(bytes.begin() + tileChunk + 16, bytes.begin() + std::ptrdiff_t(tileChunk + 8 + size));
}

// planes values per pixel, the same everywhere.
tniff::Image Uniform(int width, int height, std::vector<uint8_t> values) {
    tniff::Image image(width, height, int(values.size()));
    for (size_t p = 0; p < values.size(); ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) image.at(int(p), y, x) = values[p];
    return image;
}

// A plane of 64 by 64 equal bytes: 32 run packets of 128.
Bytes UniformPlane(uint8_t value) {
    Bytes out;
    for (int k = 0; k < 32; ++k) {
        out.push_back(0xFF);
        out.push_back(value);
    }
    return out;
}

TEST(SaveTileTest, UniformTilesAreThirtyTwoRunsPerPlane) {
    EXPECT_EQ(SavedTileData(Uniform(64, 64, {1, 2, 3, 4})),
              Join({UniformPlane(4), UniformPlane(3), UniformPlane(2), UniformPlane(1)}));
    EXPECT_EQ(SavedTileData(Uniform(64, 64, {7})), Join({UniformPlane(7), UniformPlane(7), UniformPlane(7)}));
    EXPECT_EQ(SavedTileData(Uniform(64, 64, {7, 9})),
              Join({UniformPlane(9), UniformPlane(7), UniformPlane(7), UniformPlane(7)}));
}

// Colour planes in which no byte equals the one before it: column x plus row y of the tile,
// offset per channel so that the planes' order shows.
const uint8_t kChannelOffset[3] = {0, 50, 100};
tniff::Image Diagonal(int planes, uint8_t alpha) {
    tniff::Image image(64, 64, planes);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            for (int p = 0; p < planes; ++p)
                image.at(p, y, x) = p == 3 ? alpha : uint8_t(x + y + kChannelOffset[planes == 1 ? 0 : p]);
    return image;
}

TEST(SaveTileTest, PlanesLongerThanRawStillCompressWhileTheTotalStaysBelow) {
    Bytes expected = UniformPlane(200);
    for (int channel = 2; channel >= 0; --channel) {
        // Stored rows bottom first: host row 63 first; 32 literal packets of two rows each.
        for (int row = 63; row >= 0; row -= 2) {
            expected.push_back(0x7F);
            for (int y : {row, row - 1})
                for (int x = 0; x < 64; ++x) expected.push_back(uint8_t(x + y + kChannelOffset[channel]));
        }
    }
    ASSERT_EQ(expected.size(), 12448u);
    EXPECT_EQ(SavedTileData(Diagonal(4, 200)), expected);
}

TEST(SaveTileTest, TheSamePatternWithoutAlphaIsStoredRaw) {
    for (int planes : {3, 1}) {
        Bytes expected;
        for (int y = 63; y >= 0; --y)
            for (int x = 0; x < 64; ++x)
                for (int channel = 2; channel >= 0; --channel)
                    expected.push_back(uint8_t(x + y + kChannelOffset[planes == 1 ? 0 : channel]));
        ASSERT_EQ(expected.size(), 12288u);
        EXPECT_EQ(SavedTileData(Diagonal(planes, 0)), expected) << planes << " planes";
    }
}

struct SmallTile {
    const char* name;
    tniff::Image image;
    Bytes expected;
};

TEST(SaveTileTest, SmallTilesTakeTheShorterForm) {
    tniff::Image twoByTwo(2, 2, 3);
    const uint8_t pixels[2][2][3] = {{{1, 2, 3}, {4, 5, 6}}, {{7, 8, 9}, {10, 11, 12}}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            for (int p = 0; p < 3; ++p) twoByTwo.at(p, y, x) = pixels[y][x][p];
    const SmallTile cases[] = {
        {"1x1 RGB: the second plane finds 1 byte of room", Uniform(1, 1, {1, 2, 3}), {3, 2, 1}},
        {"1x1 gray", Uniform(1, 1, {9}), {9, 9, 9}},
        {"1x1 gray and second plane", Uniform(1, 1, {9, 5}), {5, 9, 9, 9}},
        {"2x1 RGBA, 8 bytes either way", Uniform(2, 1, {1, 2, 3, 4}), {4, 3, 2, 1, 4, 3, 2, 1}},
        {"3x1 RGB compresses to 6 of 9", Uniform(3, 1, {1, 2, 3}), {0x82, 3, 0x82, 2, 0x82, 1}},
        {"2x2 RGB raw, bottom row first", twoByTwo, {9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}},
        {"4x1 gray and second plane compresses", Uniform(4, 1, {9, 5}),
         {0x83, 5, 0x83, 9, 0x83, 9, 0x83, 9}},
    };
    for (const SmallTile& c : cases) EXPECT_EQ(SavedTileData(c.image), c.expected) << c.name;
}

}  // namespace
