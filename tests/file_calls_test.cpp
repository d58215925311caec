// The module moves whole tiles, payloads and headers in single transfers, never a pixel or a pad
// byte per file call. Counted, not timed: the host counts every read, write and seek, and a save
// or open of a 512 x 512 image may make only a small constant number of them per tile.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host/host.h"
#include "tests/support/host_checks.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"

namespace {

const int kSide = 512;
const int64_t kTiles = (kSide / 64) * (kSide / 64);
// Per tile: the chunk header, the rectangle, the pixel data, the pad bytes, and the size written
// back between two seeks (saving); the chunk header, the rectangle, the pixel data and the seek
// past the chunk (opening). The head of the file takes a few dozen more.
const int64_t kCallsPerTile = 8;
const int64_t kCallsForTheHead = 64;

uint32_t Next(uint32_t* state) {
    *state = *state * 1664525u + 1013904223u;
    return *state >> 24;
}

// Every byte different: every tile is stored raw.
tniff::Image Noise(int planes) {
    tniff::Image image(kSide, kSide, planes);
    uint32_t state = 7;
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x) image.at(p, y, x) = static_cast<uint8_t>(Next(&state));
    return image;
}

// Shaded discs on a transparent background: the tiles are mostly stored compressed.
tniff::Image RenderLike() {
    tniff::Image image(kSide, kSide, 4);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const int dx = x % 128 - 64, dy = y % 128 - 64, d2 = dx * dx + dy * dy;
            if (d2 > 48 * 48) continue;
            for (int p = 0; p < 3; ++p) image.at(p, y, x) = static_cast<uint8_t>(60 * p + 255 - d2 / 16);
            image.at(3, y, x) = 255;
        }
    return image;
}

struct Case {
    std::string name;
    tniff::Image image;
};

TEST(FileCallsTest, SavingAndOpeningTakeAFewFileCallsPerTile) {
    const Case cases[] = {{"RGB noise", Noise(3)}, {"gray noise", Noise(1)}, {"RGBA render", RenderLike()}};
    for (const Case& c : cases) {
        TempFile file;
        LinkedHost saver;
        ASSERT_EQ(saver.Save(c.image, file.path()), noErr) << c.name;
        const tniff::CallCounts& saved = saver.counts();
        EXPECT_LE(saved.fileReads + saved.fileWrites + saved.fileSeeks, kCallsPerTile * kTiles + kCallsForTheHead)
            << c.name << ": " << saved.fileWrites << " writes, " << saved.fileSeeks << " seeks";
        EXPECT_TRUE(HostIsClean(saver)) << c.name;

        LinkedHost opener;
        ASSERT_EQ(opener.Open(file.path()), noErr) << c.name;
        const tniff::CallCounts& opened = opener.counts();
        EXPECT_LE(opened.fileReads + opened.fileWrites + opened.fileSeeks, kCallsPerTile * kTiles + kCallsForTheHead)
            << c.name << ": " << opened.fileReads << " reads, " << opened.fileSeeks << " seeks";
        EXPECT_EQ(opened.advanceStates, kTiles) << c.name;
        EXPECT_TRUE(HostIsClean(opener)) << c.name;
        // What was saved is what is opened (gray comes back as three equal planes).
        if (c.image.planes() != 1) {
            EXPECT_TRUE(opener.image() == c.image) << c.name;
        }
    }
}

}  // namespace
