// Saved images open again exactly: random images of many sizes, on both sides of the tile edge,
// with every plane count. Gray comes back as RGB with three equal channels, a second or fourth
// plane comes back as alpha, a fifth plane is dropped.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "hostapi/plugin_interface.h"
#include "module/iffio/chunk_stack.h"
#include "tests/support/host_checks.h"
#include "tests/support/linked_module.h"
#include "tests/support/saved_image.h"
#include "tests/support/temp_file.h"

namespace {

// Random pixels; with few levels runs appear, so that tiles of both forms are read back.
tniff::Image RandomImage(int width, int height, int planes, uint32_t seed, int levels) {
    tniff::Image image(width, height, planes);
    uint32_t state = seed * 2246822519u + 7;
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                state = state * 1664525u + 1013904223u;
                image.at(p, y, x) = uint8_t(((state >> 24) % uint32_t(levels)) * (255 / (levels - 1)));
            }
    return image;
}

class SaveRoundTripTest : public ::testing::TestWithParam<int> {};

TEST_P(SaveRoundTripTest, SavedImagesOpenExactly) {
    const int planes = GetParam();
    const int widths[] = {1, 3, 63, 64, 65, 128, 129, 300};
    const int heights[] = {1, 2, 64, 65, 127, 191, 257};
    uint32_t seed = uint32_t(planes) * 7919;
    for (int width : widths) {
        for (int height : heights) {
            ++seed;
            const int levels = seed % 3 == 0 ? 256 : (seed % 3 == 1 ? 4 : 2);
            const tniff::Image image = RandomImage(width, height, planes, seed, levels);
            TempFile file;
            LinkedHost saver;
            ASSERT_EQ(saver.Save(image, file.path()), noErr) << width << " by " << height;
            EXPECT_TRUE(HostIsClean(saver));

            LinkedHost opener;
            ASSERT_EQ(opener.Open(file.path()), noErr) << width << " by " << height;
            const tniff::Image expected = ExpectedAfterOpen(image);
            EXPECT_EQ(opener.image().planes(), expected.planes());
            EXPECT_EQ(opener.image().mode(), plugInModeRGBColor);
            EXPECT_TRUE(opener.image() == expected)
                << width << " by " << height << ", " << planes << " planes, " << levels << " levels";
            EXPECT_EQ(ChunkStackDepth(), 0);
            EXPECT_TRUE(HostIsClean(opener));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllCounts, SaveRoundTripTest, ::testing::Values(1, 2, 3, 4, 5));

// One host saves what it opened, opens that again, and gets the same image.
TEST(SaveRoundTripTest, AnOpenedImageSavesAndOpensUnchanged) {
    TempFile first;
    TempFile second;
    LinkedHost host;
    ASSERT_EQ(host.Save(RandomImage(150, 70, 4, 3, 3), first.path()), noErr);
    ASSERT_EQ(host.Open(first.path()), noErr);
    const tniff::Image opened = host.image();
    ASSERT_EQ(host.Save(opened, second.path()), noErr);
    EXPECT_EQ(first.Read(), second.Read());
    ASSERT_EQ(host.Open(second.path()), noErr);
    EXPECT_TRUE(host.image() == opened);
    EXPECT_TRUE(HostIsClean(host));
}

}  // namespace
