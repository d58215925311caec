// Saving when the host fails the module: every write in turn, a short write, advanceState at
// each tile, the scratch buffer or a work buffer not obtained. The right code reaches the host,
// the chunk stack is empty afterwards and nothing is leaked (the host checks every buffer).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "module/iffio/chunk_stack.h"
#include "module/iffio/iff_format.h"
#include "module/shell/plugin_globals.h"
#include "tests/support/host_checks.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t U32At(const Bytes& bytes, size_t offset) {
    return (uint32_t(bytes.at(offset)) << 24) | (uint32_t(bytes.at(offset + 1)) << 16) |
           (uint32_t(bytes.at(offset + 2)) << 8) | uint32_t(bytes.at(offset + 3));
}

struct ChunkSeen {
    uint32_t size;
    std::vector<uint16_t> header;  // x1, y1, x2, y2
};

// The tile chunks of a written file; the group sizes must match the file's length.
std::vector<ChunkSeen> TileChunks(const Bytes& file) {
    std::vector<ChunkSeen> chunks;
    if (file.size() < 104) {
        ADD_FAILURE() << "file of " << file.size() << " bytes";
        return chunks;
    }
    EXPECT_EQ(U32At(file, 4), file.size() - 8);
    EXPECT_EQ(U32At(file, 96), file.size() - 100);
    size_t at = 104;
    while (at + 8 <= file.size()) {
        const uint32_t size = U32At(file, at + 4);
        ChunkSeen chunk{size, {}};
        for (size_t k = 0; k < 4 && at + 16 <= file.size(); ++k)
            chunk.header.push_back(uint16_t((file[at + 8 + 2 * k] << 8) | file[at + 9 + 2 * k]));
        chunks.push_back(chunk);
        at = (at + 8 + size + 3) / 4 * 4;
    }
    EXPECT_EQ(at, file.size());
    return chunks;
}

// Four tiles of 64x64, 1x64, 64x1 and 1x1 pixels, with stretches of equal bytes and noise, so
// that the tiles take both forms.
tniff::Image MixedImage(int planes) {
    tniff::Image image(65, 65, planes);
    uint32_t state = 99;
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < 65; ++y)
            for (int x = 0; x < 65; ++x) {
                state = state * 1664525u + 1013904223u;
                image.at(p, y, x) = y < 20 ? uint8_t(state >> 24) : uint8_t(x / 16 + p);
            }
    return image;
}

struct Saved {
    OSErr result;
    Bytes file;
};

Saved SaveWithFaults(tniff::Host& host, const tniff::Image& image, const tniff::FaultPlan& plan) {
    TempFile file;
    host.ArmFaults(plan);
    Saved saved{host.Save(image, file.path()), {}};
    saved.file = file.Read();
    return saved;
}

TEST(SaveFaultsTest, EveryWriteFailingInTurnGivesWriteError) {
    for (int planes : {1, 2, 3, 4}) {
        int64_t n = 1;
        for (;; ++n) {
            LinkedHost host;
            tniff::FaultPlan plan;
            plan.failFileWrite = n;
            Saved saved = SaveWithFaults(host, MixedImage(planes), plan);
            if (!host.faultFired()) {
                EXPECT_EQ(saved.result, noErr);
                break;
            }
            EXPECT_EQ(saved.result, writErr) << planes << " planes, write " << n;
            EXPECT_EQ(ChunkStackDepth(), 0) << "write " << n;
            EXPECT_TRUE(host.record().data == nullptr);
            EXPECT_TRUE(HostIsClean(host)) << "write " << n;
        }
        EXPECT_GT(n, 40) << "a save makes many writes";
    }
}

TEST(SaveFaultsTest, AWriteThatMovesFewerBytesThanAskedGivesWriteError) {
    for (int64_t n = 1;; ++n) {
        LinkedHost host;
        tniff::FaultPlan plan;
        plan.shortFileWrite = n;
        Saved saved = SaveWithFaults(host, MixedImage(3), plan);
        if (!host.faultFired()) break;
        EXPECT_EQ(saved.result, writErr) << "write " << n;
        EXPECT_EQ(ChunkStackDepth(), 0);
        EXPECT_TRUE(HostIsClean(host));
    }
}

TEST(SaveFaultsTest, AFailedHandOverStopsTheRequestsButTheFileStaysWellFormed) {
    const std::vector<std::vector<uint16_t>> headers = {
        {0, 0, 63, 63}, {64, 0, 64, 63}, {0, 64, 63, 64}, {64, 64, 64, 64}};
    for (OSErr code : std::vector<OSErr>{userCanceledErr, memFullErr, -1}) {
        for (int64_t tile = 1; tile <= 4; ++tile) {
            LinkedHost host;
            tniff::FaultPlan plan;
            plan.failAdvanceState = tile;
            plan.advanceStateError = code;
            Saved saved = SaveWithFaults(host, MixedImage(3), plan);
            EXPECT_EQ(saved.result, code) << "tile " << tile;
            EXPECT_EQ(int64_t(host.handOvers().size()), tile) << "no tile is requested after the failure";
            ASSERT_EQ(host.progressCalls().size(), 2u);
            EXPECT_EQ(host.progressCalls()[1].done, 2);
            const std::vector<ChunkSeen> chunks = TileChunks(saved.file);
            ASSERT_EQ(chunks.size(), 4u);
            for (size_t t = 0; t < 4; ++t) EXPECT_EQ(chunks[t].header, headers[t]);
            EXPECT_EQ(ChunkStackDepth(), 0);
            EXPECT_TRUE(HostIsClean(host));
        }
    }
}

TEST(SaveFaultsTest, WithoutTheScratchBufferNoTileIsRequestedAndTheGroupsAreClosed) {
    LinkedHost host;
    tniff::FaultPlan plan;
    plan.failBufferAllocation = 1;  // the scratch buffer is the write's first
    Saved saved = SaveWithFaults(host, MixedImage(4), plan);
    EXPECT_EQ(saved.result, memFullErr);
    EXPECT_TRUE(host.handOvers().empty());
    EXPECT_EQ(host.counts().bufferAllocations, 1);
    // The head and an empty tile group: "TBMP" holds only its type.
    EXPECT_EQ(saved.file.size(), 104u);
    EXPECT_EQ(U32At(saved.file, 4), 96u);
    EXPECT_EQ(U32At(saved.file, 96), 4u);
    EXPECT_EQ(ChunkStackDepth(), 0);
    EXPECT_TRUE(host.record().data == nullptr);
    EXPECT_TRUE(HostIsClean(host));
}

// After the scratch buffer, the encoder's work area is the write's second allocation, taken once
// for every tile: one buffer when the host gives it, else one for each of its three parts (a
// whole tile each, so a host capping single buffers at 16 KiB still saves). A work area not had
// either way leaves the head and an empty tile group, and no tile is requested.
TEST(SaveFaultsTest, TheWorkAreaComesWholeOrInPartsAndWithoutItTheGroupsAreClosed) {
    struct Case {
        const char* name;
        int32_t maxBufferBytes;  // the host's largest single buffer
        int64_t failAllocation;
        bool persistent;
        OSErr result;
        int64_t allocations;
    };
    const int32_t uncapped = tniff::HostSetup().maxBufferBytes;
    const Case cases[] = {
        {"whole area given", uncapped, 3, false, noErr, 2},
        {"whole area refused once", uncapped, 2, false, noErr, 5},
        {"every request refused from the whole area on", uncapped, 2, true, memFullErr, 3},
        {"capped host", 16 * 1024, 0, false, noErr, 5},
        {"capped host, first part refused", 16 * 1024, 3, false, memFullErr, 3},
        {"capped host, second part refused", 16 * 1024, 4, false, memFullErr, 4},
        {"capped host, last part refused", 16 * 1024, 5, false, memFullErr, 5},
    };
    for (int planes : {1, 2, 3, 4}) {
        LinkedHost plain;
        const Saved want = SaveWithFaults(plain, MixedImage(planes), tniff::FaultPlan());
        ASSERT_EQ(want.result, noErr);
        ASSERT_EQ(TileChunks(want.file).size(), 4u);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(planes) + " planes");
            tniff::HostSetup setup;
            setup.maxBufferBytes = c.maxBufferBytes;
            LinkedHost host(setup);
            tniff::FaultPlan plan;
            plan.failBufferAllocation = c.failAllocation;
            plan.persistent = c.persistent;
            const Saved saved = SaveWithFaults(host, MixedImage(planes), plan);
            EXPECT_EQ(saved.result, c.result);
            EXPECT_EQ(host.counts().bufferAllocations, c.allocations);
            EXPECT_EQ(ChunkStackDepth(), 0);
            EXPECT_TRUE(HostIsClean(host));
            EXPECT_TRUE(host.record().data == nullptr);
            if (c.result == noErr) {
                EXPECT_EQ(saved.file, want.file);
                continue;
            }
            EXPECT_TRUE(host.handOvers().empty());
            // The head and an empty tile group: "TBMP" holds only its type.
            EXPECT_EQ(saved.file.size(), 104u);
            EXPECT_EQ(U32At(saved.file, 4), 96u);
            EXPECT_EQ(U32At(saved.file, 96), 4u);
        }
    }
}

TEST(SaveFaultsTest, ASaveAfterAnOperationThatLeftChunksOpenStartsFromAnEmptyStack) {
    LinkedHost host;
    // Fill the module-wide chunk stack to its bound, as operations that stop with chunks open
    // would over time.
    {
        TempFile junk;
        ASSERT_TRUE(host.OpenFile(junk.path(), tniff::HostFile::Mode::write));
        int16_t result = 0;
        PluginGlobals globals{};
        globals.resultWord = &result;
        globals.formatRecord = &host.record();
        for (int32_t k = 0; k < kChunkStackCapacity; ++k) BeginChunk(&globals, kIdFOR4, kTypeCIMG);
        ASSERT_EQ(result, noErr);
        ASSERT_EQ(ChunkStackDepth(), kChunkStackCapacity);
        host.CloseFile();
    }
    Saved saved = SaveWithFaults(host, MixedImage(3), tniff::FaultPlan());
    EXPECT_EQ(saved.result, noErr);
    EXPECT_EQ(TileChunks(saved.file).size(), 4u);
    EXPECT_EQ(ChunkStackDepth(), 0);
    EXPECT_TRUE(HostIsClean(host));
}

}  // namespace
