// The stream layer on a real file: transfers and their errors, big-endian values, the chunk stack
// with alignment and back-patched sizes, the scratch buffer and whole payloads.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "module/iffio/byte_stream.h"
#include "module/iffio/chunk_stack.h"
#include "module/iffio/iff_format.h"
#include "module/iffio/scratch_buffer.h"
#include "module/shell/plugin_globals.h"
#include "tests/support/linked_module.h"
#include "tests/support/test_buffer_suite.h"
#include "tests/support/temp_file.h"

using tniff::FaultPlan;
using tniff::HostFile;

namespace {

class Stream : public ::testing::Test {
protected:
    void SetUp() override {
        record_ = host_.record();
        record_.bufferProcs = &buffers_.procs;
        globals_ = PluginGlobals{};
        globals_.resultWord = &result_;
        globals_.formatRecord = &record_;
        EmptyChunkStack();
    }
    void TearDown() override { EmptyChunkStack(); }

    void UseFile(const std::vector<uint8_t>& bytes) {
        file_.Write(bytes);
        ASSERT_TRUE(host_.OpenFile(file_.path(), HostFile::Mode::read));
        record_.dataFork = host_.record().dataFork;
    }
    void UseNewFile() {
        ASSERT_TRUE(host_.OpenFile(file_.path(), HostFile::Mode::write));
        record_.dataFork = host_.record().dataFork;
    }
    std::vector<uint8_t> Written() {
        host_.CloseFile();
        return file_.Read();
    }

    LinkedHost host_;
    TempFile file_;
    TestBufferSuite buffers_;
    FormatRecord record_{};
    int16_t result_ = 0;
    PluginGlobals globals_{};
};

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}

// ---- Transfers ----------------------------------------------------------------------------------

TEST_F(Stream, BigEndianValuesAndThePosition) {
    UseFile(Bytes({0x12, 0x34, 0x46, 0x4F, 0x52, 0x34, 0xFF}));
    EXPECT_EQ(ReadU16(&globals_), 0x1234);
    EXPECT_EQ(ReadU32(&globals_), kIdFOR4);
    EXPECT_EQ(globals_.streamPos, 6u);
    EXPECT_EQ(result_, noErr);
}

TEST_F(Stream, ShortValueReadYieldsMissingBytesAsZero) {
    UseFile(Bytes({0x46, 0x4F}));  // "FO" and then the end
    EXPECT_EQ(ReadU32(&globals_), 0x464F0000u);
    EXPECT_EQ(result_, eofErr);
    EXPECT_EQ(globals_.streamPos, 2u);
    EXPECT_EQ(ReadU16(&globals_), 0);
}

TEST_F(Stream, LargeReadsMoveTheirWholeCount) {
    for (uint32_t size : {65535u, 65536u, 65537u, 200000u}) {
        std::vector<uint8_t> bytes(size);
        for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
        UseFile(bytes);
        globals_.streamPos = 0;
        result_ = noErr;
        std::vector<uint8_t> read(size);
        uint32_t count = size;
        ReadBytes(&globals_, &count, read.data());
        EXPECT_EQ(count, size);
        EXPECT_EQ(result_, noErr) << size;
        EXPECT_EQ(read, bytes) << size;
        EXPECT_EQ(globals_.streamPos, size);
    }
}

TEST_F(Stream, ReadErrorsFollowTheFirstErrorRule) {
    UseFile(Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    FaultPlan plan;
    plan.failFileRead = 1;
    host_.ArmFaults(plan);
    uint8_t into[4];
    uint32_t count = 4;
    ReadBytes(&globals_, &count, into);
    EXPECT_EQ(result_, readErr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(globals_.streamPos, 0u) << "a failed read delivers nothing";
    // A later successful read does not wipe the error out.
    count = 4;
    ReadBytes(&globals_, &count, into);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(result_, readErr);
    // Nor does a later short read replace it.
    count = 8;
    ReadBytes(&globals_, &count, into);
    EXPECT_EQ(result_, readErr);
}

TEST_F(Stream, ShortReadPostsEofErrAndAdvancesByWhatArrived) {
    UseFile(Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    FaultPlan plan;
    plan.shortFileRead = 1;
    host_.ArmFaults(plan);
    uint8_t into[8];
    uint32_t count = 8;
    ReadBytes(&globals_, &count, into);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(result_, eofErr);
    EXPECT_EQ(globals_.streamPos, 4u);
}

TEST_F(Stream, WriteErrorsFailedOrShortPostWritErrAndTheFirstStands) {
    struct Case {
        bool shortWrite;
        uint32_t moved;
        uint32_t position;
    };
    for (const Case& c : {Case{false, 0, 0}, Case{true, 3, 3}}) {
        UseNewFile();
        result_ = noErr;
        globals_.streamPos = 0;
        FaultPlan plan;
        (c.shortWrite ? plan.shortFileWrite : plan.failFileWrite) = 1;
        host_.ArmFaults(plan);
        const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
        uint32_t count = 6;
        WriteBytes(&globals_, &count, bytes);
        EXPECT_EQ(result_, writErr);
        EXPECT_EQ(count, c.moved);
        EXPECT_EQ(globals_.streamPos, c.position);
        WriteU32(&globals_, 7);  // succeeds, and leaves the earlier error
        EXPECT_EQ(result_, writErr);
    }
}

TEST_F(Stream, EarlierErrorSurvivesAWrite) {
    UseNewFile();
    result_ = memFullErr;
    WriteU16(&globals_, 0xABCD);
    EXPECT_EQ(result_, memFullErr);
    EXPECT_EQ(Written(), Bytes({0xAB, 0xCD}));
}

// ---- The chunk stack, writing -------------------------------------------------------------------

TEST_F(Stream, EndingAChunkPadsAndBackPatchesItsSize) {
    struct Case {
        uint32_t payload;
        uint32_t endsAt;
    };
    for (const Case& c : {Case{5, 16}, Case{8, 16}, Case{0, 8}, Case{1, 12}, Case{3, 12}}) {
        TempFile file;
        ASSERT_TRUE(host_.OpenFile(file.path(), HostFile::Mode::write));
        record_.dataFork = host_.record().dataFork;
        globals_.streamPos = 0;
        BeginChunk(&globals_, FourCharCode('A', 'B', 'C', 'D'), 0);
        for (uint32_t i = 0; i < c.payload; ++i) WriteByte(&globals_, 0xE0 + i);
        EndChunk(&globals_);
        EXPECT_EQ(globals_.streamPos, c.endsAt) << c.payload;
        EXPECT_EQ(ChunkStackDepth(), 0);
        host_.CloseFile();
        std::vector<uint8_t> expected = Bytes({'A', 'B', 'C', 'D', 0, 0, 0, static_cast<int>(c.payload)});
        for (uint32_t i = 0; i < c.payload; ++i) expected.push_back(static_cast<uint8_t>(0xE0 + i));
        while (expected.size() % 4 != 0) expected.push_back(0);
        EXPECT_EQ(file.Read(), expected) << c.payload;
    }
    EXPECT_EQ(result_, noErr);
}

TEST_F(Stream, NestedGroupsCountTheirTypeAndInnerPadding) {
    UseNewFile();
    BeginChunk(&globals_, kIdFOR4, kTypeCIMG);
    BeginChunk(&globals_, kIdFOR4, kTypeTBMP);
    EndChunk(&globals_);  // an empty group: its size is its type alone
    BeginChunk(&globals_, kIdFVER, 0);
    WriteByte(&globals_, 9);
    EndChunk(&globals_);
    EndChunk(&globals_);
    EXPECT_EQ(result_, noErr);
    EXPECT_EQ(Written(), Bytes({'F', 'O', 'R', '4', 0, 0, 0, 28, 'C', 'I', 'M', 'G',
                                'F', 'O', 'R', '4', 0, 0, 0, 4,  'T', 'B', 'M', 'P',
                                'F', 'V', 'E', 'R', 0, 0, 0, 1,  9,   0,   0,   0}));
}

// ---- The chunk stack, reading -------------------------------------------------------------------

TEST_F(Stream, ClosingSeeksToTheAlignedEnd) {
    struct Case {
        uint32_t start;
        std::vector<uint8_t> header;
        uint32_t groupType;
        uint32_t endsAt;
    };
    const Case cases[] = {
        {12, Bytes({'A', 'B', 'C', 'D', 0, 0, 0, 4}), 0, 24},
        {12, Bytes({'A', 'B', 'C', 'D', 0, 0, 0, 5}), 0, 28},
        {0, Bytes({'F', 'O', 'R', '4', 0, 0, 0, 20, 'T', 'B', 'M', 'P'}), kTypeTBMP, 28},
        // Only "FOR4" is a group, whatever else a chunk's payload looks like.
        {0, Bytes({'F', 'O', 'R', '8', 0, 0, 0, 4, 'T', 'B', 'M', 'P'}), 0, 12},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(c.start, 0);
        bytes.insert(bytes.end(), c.header.begin(), c.header.end());
        bytes.resize(64, 0);
        UseFile(bytes);
        SeekTo(&globals_, c.start);
        ChunkEntry entry = OpenChunkForRead(&globals_);
        EXPECT_EQ(entry.start, c.start);
        EXPECT_EQ(entry.groupType, c.groupType);
        EXPECT_EQ(ChunkStackDepth(), 1) << "the first chunk opened occupies entry 0";
        CloseChunkForRead(&globals_);
        EXPECT_EQ(globals_.streamPos, c.endsAt);
        EXPECT_EQ(ChunkStackDepth(), 0);
    }
    EXPECT_EQ(result_, noErr);
}

TEST_F(Stream, ClosingAGroupForgivesEndOfFileOnly) {
    struct Case {
        uint32_t id;
        OSErr pending;
        OSErr after;
    };
    const Case cases[] = {
        {kIdFOR4, eofErr, noErr},
        {kIdFOR4, readErr, readErr},
        {kIdFOR4, memFullErr, memFullErr},
        {kIdRGBA, eofErr, eofErr},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = Bytes({0, 0, 0, 0, 0, 0, 0, 0, 'T', 'B', 'M', 'P'});
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(c.id >> (24 - 8 * i));
        UseFile(bytes);
        globals_.streamPos = 0;
        result_ = noErr;
        OpenChunkForRead(&globals_);
        result_ = c.pending;
        CloseChunkForRead(&globals_);
        EXPECT_EQ(result_, c.after);
    }
}

TEST_F(Stream, AFileEndingInsideAGroupHeaderIsNeverAGroup) {
    UseFile(Bytes({'F', 'O', 'R'}));
    ChunkEntry entry = OpenChunkForRead(&globals_);
    EXPECT_NE(entry.id, kIdFOR4);
    EXPECT_EQ(result_, eofErr);
    CloseChunkForRead(&globals_);
    EXPECT_EQ(result_, eofErr) << "closing a plain chunk clears nothing";
}

TEST_F(Stream, TheStackCanNeitherOverflowNorUnderflow) {
    std::vector<uint8_t> nested;
    for (int i = 0; i < 40; ++i) {
        for (uint8_t b : Bytes({'F', 'O', 'R', '4', 0, 0, 1, 0, 'X', 'X', 'X', 'X'})) nested.push_back(b);
    }
    UseFile(nested);
    for (int i = 0; i < kChunkStackCapacity; ++i) OpenChunkForRead(&globals_);
    EXPECT_EQ(result_, noErr);
    EXPECT_EQ(ChunkStackDepth(), kChunkStackCapacity);
    const uint32_t position = globals_.streamPos;
    ChunkEntry refused = OpenChunkForRead(&globals_);
    EXPECT_EQ(result_, formatCannotRead);
    EXPECT_EQ(refused.id, 0u);
    EXPECT_EQ(globals_.streamPos, position) << "nothing is read for a refused entry";
    EXPECT_EQ(ChunkStackDepth(), kChunkStackCapacity);

    EmptyChunkStack();
    result_ = noErr;
    CloseChunkForRead(&globals_);
    EXPECT_EQ(result_, formatCannotRead);
    EXPECT_EQ(globals_.streamPos, position) << "no seek without an open chunk";
    result_ = noErr;
    EndChunk(&globals_);
    EXPECT_EQ(result_, formatCannotRead);
    EXPECT_EQ(ChunkStackDepth(), 0);
}

TEST_F(Stream, AChunkEndingPast4GiBIsRefusedWithoutSeeking) {
    UseFile(Bytes({'A', 'B', 'C', 'D', 0xFF, 0xFF, 0xFF, 0xF8, 0, 0, 0, 0}));
    OpenChunkForRead(&globals_);
    EXPECT_EQ(result_, noErr);
    CloseChunkForRead(&globals_);  // 0 + 8 + 0xFFFFFFF8 is exactly 2^32
    EXPECT_EQ(result_, formatCannotRead);
    EXPECT_EQ(globals_.streamPos, 8u);
    EXPECT_EQ(ChunkStackDepth(), 0);
}

TEST_F(Stream, AChunkEndingJustBelow4GiBIsAccepted) {
    UseFile(Bytes({'A', 'B', 'C', 'D', 0xFF, 0xFF, 0xFF, 0xF4}));
    OpenChunkForRead(&globals_);
    CloseChunkForRead(&globals_);
    EXPECT_EQ(result_, noErr);
    EXPECT_EQ(globals_.streamPos, 0xFFFFFFFCu);
}

// ---- Scratch buffer and payloads ----------------------------------------------------------------

TEST_F(Stream, ScratchBufferOnlyGrows) {
    UseNewFile();
    GrowScratch(&globals_, 100);
    ASSERT_NE(globals_.scratchPtr, nullptr);
    EXPECT_EQ(globals_.scratchSize, 100u);
    memset(globals_.scratchPtr, 0x33, 100);
    const BufferID first = globals_.scratchId;
    GrowScratch(&globals_, 100);  // not larger: same buffer, same contents
    GrowScratch(&globals_, 10);
    EXPECT_EQ(globals_.scratchId, first);
    EXPECT_EQ(globals_.scratchPtr[99], 0x33);
    GrowScratch(&globals_, 101);  // larger: the old buffer goes first
    EXPECT_NE(globals_.scratchId, first);
    EXPECT_EQ(buffers_.frees, 1);
    EXPECT_EQ(buffers_.live.size(), 1u);
    FreeScratch(&globals_);
    EXPECT_EQ(globals_.scratchId, nullptr);
    EXPECT_EQ(globals_.scratchPtr, nullptr);
    EXPECT_EQ(globals_.scratchSize, 0u);
    EXPECT_TRUE(buffers_.live.empty());
    FreeScratch(&globals_);  // nothing held: nothing to do
    EXPECT_EQ(buffers_.frees, 2);
    EXPECT_EQ(result_, noErr);
}

TEST_F(Stream, ScratchBufferThatCannotGrowIsEmpty) {
    struct Case {
        const char* what;
        OSErr pending;
        int failAt;
        uint32_t size;
        OSErr after;
    };
    const Case cases[] = {
        {"allocation refused", noErr, 2, 200, memFullErr},
        {"error already pending", readErr, 0, 200, readErr},
        {"above the host's buffer size", noErr, 0, 0x80000000u, formatCannotRead},
    };
    for (const Case& c : cases) {
        result_ = noErr;
        buffers_.allocations = 0;
        buffers_.failAt = c.failAt;
        GrowScratch(&globals_, 100);
        ASSERT_NE(globals_.scratchPtr, nullptr) << c.what;
        result_ = c.pending;
        GrowScratch(&globals_, c.size);
        EXPECT_EQ(result_, c.after) << c.what;
        EXPECT_EQ(globals_.scratchPtr, nullptr) << c.what;
        EXPECT_EQ(globals_.scratchId, nullptr) << c.what;
        EXPECT_EQ(globals_.scratchSize, 0u) << c.what;
        EXPECT_TRUE(buffers_.live.empty()) << c.what;
    }
}

TEST_F(Stream, PayloadReadIntoAFreshBuffer) {
    UseFile(Bytes({9, 8, 7, 6, 5}));
    BufferID id = ReadPayloadToBuffer(&globals_, 5);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(result_, noErr);
    EXPECT_EQ(memcmp(buffers_.live[id].data(), "\x09\x08\x07\x06\x05", 5), 0);
    TestBufferSuite::Free(id);

    // A short payload: eofErr stands, the missing bytes are zero, not stale.
    SeekTo(&globals_, 2);
    id = ReadPayloadToBuffer(&globals_, 6);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(result_, eofErr);
    EXPECT_EQ(memcmp(buffers_.live[id].data(), "\x07\x06\x05\x00\x00\x00", 6), 0);
    TestBufferSuite::Free(id);

    // No buffer: nothing is read.
    result_ = noErr;
    buffers_.failAt = buffers_.allocations + 1;
    SeekTo(&globals_, 0);
    EXPECT_EQ(ReadPayloadToBuffer(&globals_, 5), nullptr);
    EXPECT_EQ(result_, memFullErr);
    EXPECT_EQ(globals_.streamPos, 0u);
}

}  // namespace
