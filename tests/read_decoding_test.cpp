// The tile decoders and depth scaling on their own: run streams byte by byte, the flips of rows
// and channels, streams that end early or run past their payload, and buffers that cannot be had.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "module/iffio/scratch_buffer.h"
#include "module/reader/depth_normalisation.h"
#include "module/reader/tile_decoding.h"
#include "module/shell/plugin_globals.h"
#include "tests/support/linked_module.h"
#include "tests/support/test_buffer_suite.h"
#include "tests/support/temp_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Decoding : public ::testing::Test {
protected:
    void SetUp() override {
        record_.bufferProcs = &buffers_.procs;
        globals_.resultWord = &result_;
        globals_.formatRecord = &record_;
    }
    void TearDown() override { FreeScratch(&globals_); }

    // A payload buffer holding these bytes, unlocked, as ReadPayloadToBuffer leaves it.
    BufferID Payload(const Bytes& bytes) {
        BufferID id = nullptr;
        EXPECT_EQ(TestBufferSuite::Allocate(int32_t(bytes.size()), &id), noErr);
        std::memcpy(buffers_.live[id].data(), bytes.data(), bytes.size());
        return id;
    }
    Bytes Contents(BufferID id) { return buffers_.live.at(id); }
    Bytes Scratch(size_t n) { return Bytes(globals_.scratchPtr, globals_.scratchPtr + n); }

    TestBufferSuite buffers_;
    FormatRecord record_{};
    int16_t result_ = 0;
    PluginGlobals globals_{};
};

Bytes Repeat(size_t n, uint8_t value) { return Bytes(n, value); }
// n bytes 1, 8, 15, ... after an optional leading byte.
Bytes Counting(size_t n, int lead = -1) {
    Bytes b;
    if (lead >= 0) b.push_back(uint8_t(lead));
    for (size_t i = 0; i < n; ++i) b.push_back(uint8_t(i * 7 + 1));
    return b;
}

// ---- One plane of a run stream ------------------------------------------------------------------

struct PlaneCase {
    const char* name;
    Bytes stream;
    uint32_t planeSize;
    uint32_t start;
    Bytes plane;
    uint32_t end;  // the position after the plane
};

TEST_F(Decoding, RunLengthPlanes) {
    const PlaneCase cases[] = {
        {"run of one", {0x80, 0x07}, 1, 0, {0x07}, 2},
        {"run of 128", {0xFF, 0x07}, 128, 0, Repeat(128, 0x07), 2},
        {"literal of one", {0x00, 0xAB}, 1, 0, {0xAB}, 2},
        {"literal of 128", Counting(128, 0x7F), 128, 0, Counting(128), 129},
        {"run ending at the plane's end", {0x83, 0x05}, 4, 0, {5, 5, 5, 5}, 2},
        {"run past the plane's end consumes its control byte only", {0x84, 0x05}, 4, 0, {0, 0, 0, 0}, 1},
        {"literal past the plane's end", {0x04, 1, 2, 3, 4, 5}, 4, 0, {0, 0, 0, 0}, 1},
        {"runs across rows, then the next plane's bytes", {0x81, 1, 0x01, 2, 3, 0x80, 9}, 4, 0, {1, 1, 2, 3}, 5},
        {"stream ending early leaves zeros", {0x81, 0x09}, 5, 0, {9, 9, 0, 0, 0}, 2},
        {"empty stream", {}, 3, 0, {0, 0, 0}, 0},
        {"starting inside the stream", {0x80, 1, 0x81, 2}, 2, 2, {2, 2}, 4},
        {"starting at the end", {0x80, 1}, 2, 2, {0, 0}, 2},
        // The payload ends inside a packet: reading stops at the payload's end.
        {"literal cut by the payload's end", {0x03, 1, 2}, 4, 0, {1, 2, 0, 0}, 3},
        {"run without its value", {0x83}, 4, 0, {0, 0, 0, 0}, 1},
    };
    for (const PlaneCase& c : cases) {
        SCOPED_TRACE(c.name);
        const BufferID payload = Payload(c.stream.empty() ? Bytes{0xEE} : c.stream);
        uint32_t position = c.start;
        const BufferID plane = DecodeRunLengthPlane(&globals_, c.planeSize, payload, uint32_t(c.stream.size()), &position);
        ASSERT_NE(plane, nullptr);
        EXPECT_EQ(result_, noErr);
        EXPECT_EQ(Contents(plane), c.plane);
        EXPECT_EQ(position, c.end);
        EXPECT_EQ(buffers_.locks[plane], 0);
        EXPECT_EQ(buffers_.locks[payload], 0);
        TestBufferSuite::Free(plane);
        TestBufferSuite::Free(payload);
    }
}

TEST_F(Decoding, PlaneWithoutABufferDecodesNothing) {
    const BufferID payload = Payload({0x80, 1});
    buffers_.failAt = buffers_.allocations + 1;
    uint32_t position = 0;
    EXPECT_EQ(DecodeRunLengthPlane(&globals_, 1, payload, 2, &position), nullptr);
    EXPECT_EQ(result_, memFullErr);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(buffers_.live.size(), 1u);  // only the payload
}

// ---- Whole compressed tiles ----------------------------------------------------------------------

TEST_F(Decoding, CompressedTileFlipsRowsAndReversesPlanes) {
    // 2x2, 3 channels: planes blue, green, red in the stream, each bottom row first.
    const Bytes stream = {0x03, 0xB0, 0xB1, 0xB2, 0xB3, 0x03, 0x60, 0x61, 0x62, 0x63, 0x03, 0x20, 0x21, 0x22, 0x23};
    const BufferID payload = Payload(stream);
    ASSERT_TRUE(ReadCompressedTile(&globals_, 2, 2, 3, payload, uint32_t(stream.size())));
    EXPECT_EQ(Scratch(12), (Bytes{0x22, 0x62, 0xB2, 0x23, 0x63, 0xB3, 0x20, 0x60, 0xB0, 0x21, 0x61, 0xB1}));
    EXPECT_EQ(result_, noErr);
    EXPECT_EQ(buffers_.live.size(), 2u);  // the payload (the caller's) and the scratch buffer
}

TEST_F(Decoding, CompressedDepthTileGivesTheValueLeastSignificantByteFirst) {
    const Bytes stream = {0x80, 0x3F, 0x80, 0x80, 0x80, 0x00, 0x80, 0x00};
    const BufferID payload = Payload(stream);
    ASSERT_TRUE(ReadCompressedTile(&globals_, 1, 1, 4, payload, uint32_t(stream.size())));
    EXPECT_EQ(Scratch(4), (Bytes{0x00, 0x00, 0x80, 0x3F}));
}

TEST_F(Decoding, StreamEndingEarlyLeavesTheRemainingPlanesZero) {
    const Bytes stream = {0x81, 0x44, 0x80, 0x33};  // 2x1, 4 channels: alpha full, blue half
    const BufferID payload = Payload(stream);
    ASSERT_TRUE(ReadCompressedTile(&globals_, 2, 1, 4, payload, uint32_t(stream.size())));
    EXPECT_EQ(Scratch(8), (Bytes{0, 0, 0x33, 0x44, 0, 0, 0, 0x44}));
}

// Every buffer of a compressed decode refused in turn: the code stands, the tile is reported
// incomplete, and no plane buffer is left behind.
TEST_F(Decoding, EveryBufferOfACompressedTileRefusedInTurn) {
    const Bytes stream = {0x8B, 1, 0x8B, 2, 0x8B, 3, 0x8B, 4};  // 4x3, 4 channels
    for (int failAt = 1;; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt));
        FreeScratch(&globals_);
        result_ = noErr;
        const BufferID payload = Payload(stream);
        buffers_.allocations = 0;
        buffers_.failAt = failAt;
        const bool whole = ReadCompressedTile(&globals_, 4, 3, 4, payload, uint32_t(stream.size()));
        const bool failed = buffers_.allocations >= failAt;
        EXPECT_EQ(whole, !failed);
        EXPECT_EQ(result_, failed ? memFullErr : noErr);
        // Left: the payload, and the scratch buffer when it was had.
        EXPECT_EQ(buffers_.live.size(), 1u + (globals_.scratchId != nullptr ? 1u : 0u));
        if (globals_.scratchPtr == nullptr) {
            EXPECT_FALSE(whole);
        }
        TestBufferSuite::Free(payload);
        buffers_.failAt = 0;
        if (!failed) {
            EXPECT_EQ(Scratch(4), (Bytes{4, 3, 2, 1}));
            EXPECT_EQ(failAt, 3);  // the planes' buffer and the scratch buffer were each refused once
            break;
        }
    }
}

TEST_F(Decoding, TileSizesThatDoNotFitTheHostAreRefused) {
    uint32_t size = 0;
    EXPECT_TRUE(DecodedTileSize(32767, 32767, 1, &size));
    EXPECT_EQ(size, 32767u * 32767u);
    EXPECT_TRUE(DecodedTileSize(32767, 16384, 4, &size));
    EXPECT_EQ(size, 32767u * 16384u * 4u);
    EXPECT_FALSE(DecodedTileSize(32767, 32767, 4, &size));  // 4,294,705,156 bytes
    EXPECT_FALSE(DecodedTileSize(65535, 65535, 1, &size));
    EXPECT_FALSE(DecodedTileSize(0xFFFFFFFF, 0xFFFFFFFF, 4, &size));  // far beyond any host buffer
    EXPECT_FALSE(DecodedTileSize(1, 1, 5, &size));
    EXPECT_FALSE(DecodedTileSize(1, 1, 0, &size));

    const BufferID payload = Payload({0x80, 1});
    EXPECT_FALSE(ReadCompressedTile(&globals_, 32767, 32767, 4, payload, 2));
    EXPECT_EQ(result_, formatCannotRead);
    EXPECT_EQ(buffers_.allocations, 1);  // the payload only: nothing was asked for the tile
}

// ---- Raw tiles -----------------------------------------------------------------------------------

class RawDecoding : public Decoding {
protected:
    void UseFile(const Bytes& bytes) {
        file_.Write(bytes);
        ASSERT_TRUE(host_.OpenFile(file_.path(), tniff::HostFile::Mode::read));
        record_.dataFork = host_.record().dataFork;
    }
    LinkedHost host_;  // only for its file; its file calls are installed while it lives
    TempFile file_;
};

TEST_F(RawDecoding, PixelsAreReversedAndRowsFlipped) {
    struct Case {
        uint32_t w, h, m;
        Bytes file;
        Bytes pixels;
    };
    const Case cases[] = {
        {1, 1, 4, {0x11, 0x22, 0x33, 0x44}, {0x44, 0x33, 0x22, 0x11}},
        {1, 2, 1, {0xAA, 0xBB}, {0xBB, 0xAA}},
        {1, 1, 4, {0x3F, 0x80, 0x00, 0x00}, {0x00, 0x00, 0x80, 0x3F}},
        {2, 2, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}},
    };
    for (const Case& c : cases) {
        FreeScratch(&globals_);
        UseFile(c.file);
        ASSERT_TRUE(ReadRawTile(&globals_, c.w, c.h, c.m));
        EXPECT_EQ(Scratch(c.pixels.size()), c.pixels);
        EXPECT_EQ(result_, noErr);
    }
}

TEST_F(RawDecoding, ShortFileStopsAtTheFirstMissingPixel) {
    UseFile({1, 2, 3, 4, 5});
    EXPECT_FALSE(ReadRawTile(&globals_, 3, 3, 1 + 1));
    EXPECT_EQ(result_, eofErr);
    EXPECT_EQ(globals_.streamPos, 5u);
    // The whole tile is asked for in one read, and a tile that came up short is not read on.
    EXPECT_EQ(host_.counts().fileReads, 1);
}

// ---- Depth scaling ----------------------------------------------------------------------------------

Bytes DepthPixels(const std::vector<uint32_t>& values) {
    Bytes b;
    for (uint32_t v : values) {
        for (int k = 0; k < 4; ++k) b.push_back(uint8_t(v >> (8 * k)));
    }
    return b;
}

TEST(DepthScaling, SurveyAndNormalise) {
    struct Case {
        std::vector<uint32_t> surveyed;
        std::vector<uint32_t> values;
        Bytes bytes;
    };
    const Case cases[] = {
        {{0x3F000000, 0x3F800000}, {0x3F400000, 0x3F800000, 0x3F000000, 0x00FFFFFF}, {128, 255, 0, 0}},
        {{0x7FFFFFFF, 0x80000001}, {0x80000001, 0x7FFFFFFF, 0x80000000}, {255, 0, 128}},
        {{0x01000000, 0xFFFFFFFF}, {0x01000000, 0xFFFFFFFF, 0x80800000}, {0, 255, 128}},
        // Spread 1: the minimum 0, the maximum 255 (256 capped).
        {{0x10000000, 0x10000001}, {0x10000000, 0x10000001}, {0, 255}},
        // No spread: every pixel with depth is the deepest.
        {{0x20000000, 0x20000000, 0}, {0x20000000, 0, 0x20000000}, {255, 0, 255}},
        // Values outside the surveyed range (a depth tile the survey did not see) take its
        // nearer end, with a spread or without.
        {{0x20000000, 0x30000000}, {0x10000000, 0x40000000}, {0, 255}},
        {{0x20000000}, {0x10000000, 0x30000000, 0x20000000}, {0, 255, 255}},
        // Nothing surveyed had depth: empty pixels stay 0.
        {{0, 0x00FFFFFF}, {0, 0x00ABCDEF}, {0, 0}},
    };
    for (const Case& c : cases) {
        DepthRange range = EmptyDepthRange();
        const Bytes surveyed = DepthPixels(c.surveyed);
        SurveyDepth(&range, surveyed.data(), uint32_t(c.surveyed.size()));
        Bytes pixels = DepthPixels(c.values);
        NormaliseDepth(range, pixels.data(), uint32_t(c.values.size()));
        EXPECT_EQ(Bytes(pixels.begin(), pixels.begin() + std::ptrdiff_t(c.values.size())), c.bytes);
    }
}

}  // namespace
