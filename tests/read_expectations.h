// Helpers of the reading tests: open composed bytes through ENTRYPOINT and our host, and compare
// what the host ends with (image, hand-overs, progress) with what the file builder expects.
#ifndef TNIFF_TESTS_READ_EXPECTATIONS_H
#define TNIFF_TESTS_READ_EXPECTATIONS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <vector>

#include "host/host.h"
#include "hostapi/plugin_interface.h"
#include "module/iffio/chunk_stack.h"
#include "tarniff/tarniff.h"
#include "tests/support/host_checks.h"
#include "tests/support/iff_builder.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"

namespace readtest {

using iffbuild::Bytes;

// Opens bytes as a file with host's whole open sequence; gives the host's result.
inline OSErr OpenBytes(tniff::Host& host, const Bytes& bytes) {
    TempFile file;
    file.Write(bytes);
    return host.Open(file.path());
}

// Puts bytes in a file and opens it for single steps (host.Call); the file must outlive them.
inline void UseBytes(tniff::Host& host, const TempFile& file, const Bytes& bytes) {
    file.Write(bytes);
    ASSERT_TRUE(host.OpenFile(file.path(), tniff::HostFile::Mode::read));
}

inline int16_t ModeFor(int planes, int colourPlanes) {
    return colourPlanes >= 3 ? plugInModeRGBColor : (planes > 0 ? plugInModeGrayScale : -1);
}

// The host's image equals the expected one: size, planes, mode and every byte.
inline ::testing::AssertionResult ImageIs(const tniff::Image& got, const iffbuild::ExpectedImage& want) {
    if (got.width() != int(want.width) || got.height() != int(want.height) || got.planes() != want.Planes()) {
        return ::testing::AssertionFailure()
               << "image " << got.width() << "x" << got.height() << "x" << got.planes() << ", expected "
               << want.width << "x" << want.height << "x" << want.Planes();
    }
    if (got.mode() != ModeFor(want.Planes(), want.colourPlanes)) {
        return ::testing::AssertionFailure() << "mode " << got.mode();
    }
    for (int p = 0; p < want.Planes(); ++p)
        for (uint32_t y = 0; y < want.height; ++y)
            for (uint32_t x = 0; x < want.width; ++x)
                if (got.at(p, int(y), int(x)) != want.At(x, y, p)) {
                    return ::testing::AssertionFailure()
                           << "plane " << p << " row " << y << " column " << x << ": "
                           << int(got.at(p, int(y), int(x))) << ", expected " << int(want.At(x, y, p));
                }
    return ::testing::AssertionSuccess();
}

// The hand-overs are exactly the expected deliveries, in order, each described consistently:
// colour tiles with colourPlanes bytes per pixel, depth tiles with one.
inline ::testing::AssertionResult HandOversAre(const std::vector<tniff::HandOver>& got,
                                               const std::vector<iffbuild::Delivery>& want, int colourPlanes) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << got.size() << " hand-overs, expected " << want.size();
    }
    for (size_t i = 0; i < got.size(); ++i) {
        const tniff::HandOver& g = got[i];
        const iffbuild::Delivery& w = want[i];
        const int bytesPerPixel = w.kind == iffbuild::Kind::Colour ? colourPlanes : 1;
        const int width = w.right - w.left;
        if (g.rect.top != w.top || g.rect.left != w.left || g.rect.bottom != w.bottom ||
            g.rect.right != w.right || g.loPlane != w.loPlane || g.hiPlane != w.hiPlane ||
            g.colBytes != bytesPerPixel || g.rowBytes != bytesPerPixel * width || !g.reading) {
            return ::testing::AssertionFailure()
                   << "hand-over " << i << ": rect (" << g.rect.top << "," << g.rect.left << "," << g.rect.bottom
                   << "," << g.rect.right << ") planes " << g.loPlane << "-" << g.hiPlane << " colBytes "
                   << g.colBytes << " rowBytes " << g.rowBytes << "; expected (" << w.top << "," << w.left << ","
                   << w.bottom << "," << w.right << ") planes " << w.loPlane << "-" << w.hiPlane;
        }
    }
    return ::testing::AssertionSuccess();
}

inline std::vector<std::pair<int, int>> ProgressOf(const tniff::Host& host) {
    std::vector<std::pair<int, int>> calls;
    for (const tniff::ProgressCall& call : host.progressCalls()) calls.emplace_back(call.done, call.total);
    return calls;
}

// The library's own reader of the format agrees with the module on a whole file: no run stream
// is damaged, and the depth values it decodes as stored, scaled from the smallest to the largest
// (min(255, floor(256 (v - min) / (max - min))), 255 for a range of 0, empty pixels 0), are the
// module's depth plane byte for byte. Files with more depth tiles than announced are left out:
// their range comes from the first tiles alone.
inline ::testing::AssertionResult SecondReaderAgrees(const Bytes& bytes, const tniff::Image& image,
                                                     int colourPlanes) {
    tarniff::RawDepth raw;
    tarniff::WalkSettings settings;
    settings.rawDepth = &raw;
    const tarniff::Layout layout = tarniff::WalkLayout(bytes.data(), bytes.size(), settings);
    if (!layout.damagedTiles.empty()) {
        return ::testing::AssertionFailure() << "damaged: " << tarniff::DamagedTilesText(layout);
    }
    if (!layout.hasDepth || layout.DepthTiles() > layout.depthTilesExpected) {
        return ::testing::AssertionSuccess();
    }
    if (raw.width != image.width() || raw.height != image.height()) {
        return ::testing::AssertionFailure() << "raw depth " << raw.width << "x" << raw.height;
    }
    uint32_t minimum = 0xFFFFFFFFu, maximum = 0;
    for (uint32_t v : raw.values) {
        if (tarniff::RawDepth::Empty(v)) continue;
        minimum = std::min(minimum, v);
        maximum = std::max(maximum, v);
    }
    for (int row = 0; row < raw.height; ++row) {
        for (int x = 0; x < raw.width; ++x) {
            const uint32_t v = raw.values[size_t(row) * size_t(raw.width) + size_t(x)];
            uint64_t scaled = 0;
            if (!tarniff::RawDepth::Empty(v)) {
                scaled = maximum == minimum ? 255 : uint64_t(v - minimum) * 256 / (maximum - minimum);
            }
            const int want = int(std::min<uint64_t>(scaled, 255));
            const int got = image.at(colourPlanes, row, x);
            if (got != want) {
                return ::testing::AssertionFailure() << "depth at row " << row << " column " << x << ": module "
                                                     << got << ", raw value " << v << " scales to " << want;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// Everything the builder expects of reading the file: result 0, image, hand-overs and progress;
// afterwards no chunk is left open and the host holds nothing of the module's; and the library's
// reader agrees with the module.
inline void ExpectOpens(tniff::Host& host, const Bytes& bytes, const iffbuild::ExpectedRead& want) {
    ASSERT_EQ(OpenBytes(host, bytes), noErr);
    EXPECT_TRUE(ImageIs(host.image(), want.image));
    EXPECT_TRUE(HandOversAre(host.handOvers(), want.deliveries, want.image.colourPlanes));
    EXPECT_EQ(ProgressOf(host), want.progress);
    EXPECT_TRUE(host.record().data == nullptr);
    EXPECT_EQ(ChunkStackDepth(), 0);
    EXPECT_TRUE(HostIsClean(host));
    EXPECT_TRUE(SecondReaderAgrees(bytes, host.image(), want.image.colourPlanes));
}

// A header of the given size and flags with a tile count to match.
inline iffbuild::Header HeaderOf(uint32_t width, uint32_t height, uint32_t flags, uint16_t tileCount) {
    iffbuild::Header header;
    header.width = width;
    header.height = height;
    header.flags = flags;
    header.tileCount = tileCount;
    return header;
}

// A whole file around the given tile chunks (and whatever else the caller puts in the group):
// CIMG { FVER TBHD FLDS TBMP { tileChunks } }.
inline Bytes FileAround(const iffbuild::Header& header, const Bytes& tileChunks) {
    iffbuild::FileWriter w;
    w.BeginGroup("CIMG").Fver().Tbhd(header).Flds().BeginGroup("TBMP").Append(tileChunks).EndChunk().EndChunk();
    return w.Finish();
}

// One tile chunk as bytes: id, the tile header, then the pixel data verbatim.
inline Bytes TileChunk(const std::string& id, iffbuild::TileRect rect, const Bytes& pixelData,
                       const iffbuild::EndOptions& options = iffbuild::EndOptions()) {
    iffbuild::FileWriter w;
    w.Tile(id, rect, pixelData, options);
    return w.Finish();
}

}  // namespace readtest

#endif
