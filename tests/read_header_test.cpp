// Recognising a file and reading its header, one selector at a time: FilterFile's answer,
// ReadStart's description of the image, the headers it refuses, and the chunk stack it leaves.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/read_expectations.h"

using iffbuild::Bytes;
using iffbuild::FileWriter;
using iffbuild::Header;
using readtest::HeaderOf;

namespace {

Bytes Group(const std::string& type, uint32_t size = 4) {
    FileWriter w;
    w.Id("FOR4").U32(size).Id(type);
    return w.Finish();
}

TEST(ReadFilterFile, AcceptsOnlyACimgGroupAtTheStart) {
    struct Case {
        const char* name;
        Bytes file;
        OSErr result;
    };
    Bytes cimgThenGarbage = Group("CIMG", 0xFFFFFFFF);
    cimgThenGarbage.insert(cimgThenGarbage.end(), {1, 2, 3, 4, 5});
    const Case cases[] = {
        {"cimg group of any size, anything after", cimgThenGarbage, noErr},
        {"cimg group header alone", Group("CIMG", 0), noErr},
        {"tbmp group", Group("TBMP"), formatCannotRead},
        {"form chunk", [] { FileWriter w; w.Id("FORM").U32(4).Id("CIMG"); return w.Finish(); }(), formatCannotRead},
        {"eight bytes", Bytes{'F', 'O', 'R', '4', 0, 0, 0, 4}, eofErr},
        {"eleven bytes", Bytes{'F', 'O', 'R', '4', 0, 0, 0, 4, 'C', 'I', 'M'}, eofErr},
        {"empty", Bytes{}, eofErr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinkedHost host;
        TempFile file;
        readtest::UseBytes(host, file, c.file);
        EXPECT_EQ(host.Call(formatSelectorFilterFile), c.result);
        EXPECT_EQ(ChunkStackDepth(), 0);
        host.CloseFile();
    }
}

// ReadPrepare and ReadStart on a file of these bytes, left open for the steps that follow; gives
// ReadStart's result word.
OSErr StartWith(LinkedHost& host, const TempFile& file, const Bytes& bytes) {
    readtest::UseBytes(host, file, bytes);
    EXPECT_EQ(host.Call(formatSelectorReadPrepare), noErr);
    EXPECT_EQ(host.record().maxData, 0);
    return host.Call(formatSelectorReadStart);
}

TEST(ReadStart, FlagsGiveThePlanesAndTheMode) {
    struct Case {
        uint32_t flags;
        int16_t planes;
        int16_t mode;
    };
    const Case cases[] = {
        {3, 4, plugInModeRGBColor}, {1, 3, plugInModeRGBColor}, {2, 1, plugInModeGrayScale},
        {7, 5, plugInModeRGBColor}, {6, 2, plugInModeGrayScale}, {5, 4, plugInModeRGBColor},
        {4, 1, plugInModeGrayScale},  // depth alone opens as one gray plane
        {0xFFFFFFF3, 4, plugInModeRGBColor},  // other bits are ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags));
        TempFile file;
        LinkedHost host;
        ASSERT_EQ(StartWith(host, file, readtest::FileAround(HeaderOf(300, 200, c.flags, 1), {})), noErr);
        const FormatRecord& r = host.record();
        EXPECT_EQ(r.planes, c.planes);
        EXPECT_EQ(r.colBytes, c.planes);
        EXPECT_EQ(r.imageMode, c.mode);
        EXPECT_EQ(r.imageSize.v, 200);
        EXPECT_EQ(r.imageSize.h, 300);
        EXPECT_EQ(r.depth, 8);
        EXPECT_EQ(r.planeBytes, 1);
        EXPECT_EQ(r.imageHRes, 72 << 16);
        EXPECT_EQ(r.imageVRes, 72 << 16);
        // The outer group stays open for ReadContinue.
        EXPECT_EQ(ChunkStackDepth(), 1);
        EXPECT_EQ(host.Call(formatSelectorReadContinue), noErr);
        EXPECT_EQ(ChunkStackDepth(), 0);
    }
}

// Sizes the host cannot hold, and headers with nothing to show, are refused before anything is
// described: the record keeps the host's unset values and no chunk stays open.
TEST(ReadStart, RefusesHeadersTheHostCannotHold) {
    struct Case {
        uint32_t width, height, flags;
        OSErr result;
    };
    const Case cases[] = {
        {32767, 1, 1, noErr},           {1, 32767, 2, noErr},           {70000, 10, 1, formatCannotRead},
        {32768, 10, 1, formatCannotRead}, {10, 32768, 3, formatCannotRead}, {0, 10, 1, formatCannotRead},
        {10, 0, 1, formatCannotRead},   {10, 10, 0, formatCannotRead},  {10, 10, 8, formatCannotRead},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " by " + std::to_string(c.height) + " flags " + std::to_string(c.flags));
        tniff::HostSetup setup;
        setup.maxImageBytes = 1;  // the host need not make the image to see what was described
        TempFile file;
        LinkedHost host(setup);
        EXPECT_EQ(StartWith(host, file, readtest::FileAround(HeaderOf(c.width, c.height, c.flags, 1), {})), c.result);
        if (c.result == noErr) {
            EXPECT_EQ(host.record().imageSize.h, int16_t(c.width));
            EXPECT_EQ(ChunkStackDepth(), 1);
        } else {
            EXPECT_EQ(host.record().imageSize.h, -1);
            EXPECT_EQ(host.record().planes, -1);
            EXPECT_EQ(ChunkStackDepth(), 0);
        }
        EXPECT_TRUE(host.TakeViolations().empty());
    }
}

// Where the header can stand: after any chunks and groups (a group is passed over whole, even
// when it holds a "TBHD"), and even after the outer group ends.
TEST(ReadStart, FindsTheFirstHeaderAmongTheChunks) {
    const Header wanted = HeaderOf(21, 12, 3, 1);
    const Header decoy = HeaderOf(5, 5, 1, 1);
    struct Case {
        const char* name;
        Bytes file;
    };
    auto build = [&](const std::function<void(FileWriter&)>& body) {
        FileWriter w;
        body(w);
        return w.Finish();
    };
    const Case cases[] = {
        {"first child", build([&](FileWriter& w) { w.BeginGroup("CIMG").Tbhd(wanted).Tbhd(decoy).EndChunk(); })},
        {"after fver", build([&](FileWriter& w) { w.BeginGroup("CIMG").Fver().Tbhd(wanted).EndChunk(); })},
        {"after a group holding another header",
         build([&](FileWriter& w) { w.BeginGroup("CIMG").BeginGroup("XXXX").Tbhd(decoy).EndChunk().Tbhd(wanted).EndChunk(); })},
        {"after odd-sized chunks",
         build([&](FileWriter& w) { w.BeginGroup("CIMG").Chunk("ABCD", {1}).Chunk("EFGH", {1, 2, 3, 4, 5}).Tbhd(wanted).EndChunk(); })},
        {"after the outer group", build([&](FileWriter& w) { w.BeginGroup("CIMG").Fver().EndChunk().Tbhd(wanted); })},
        {"longer header", build([&](FileWriter& w) {
             Header longer = wanted;
             longer.extra = Bytes(8, 0xFF);
             w.BeginGroup("CIMG").Tbhd(longer).Tbhd(decoy).EndChunk();
         })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file;
        LinkedHost host;
        ASSERT_EQ(StartWith(host, file, c.file), noErr);
        EXPECT_EQ(host.record().imageSize.h, 21);
        EXPECT_EQ(host.record().imageSize.v, 12);
        EXPECT_EQ(host.record().planes, 4);
        EXPECT_EQ(host.Call(formatSelectorReadContinue), noErr);
        EXPECT_EQ(ChunkStackDepth(), 0);
    }
}

TEST(ReadStart, FilesThatAreNotOursOrEndBeforeTheHeaderAreRefused) {
    struct Case {
        const char* name;
        Bytes file;
        OSErr result;
    };
    const Bytes good = readtest::FileAround(HeaderOf(8, 8, 1, 1), {});
    const Case cases[] = {
        {"first group not cimg", Group("TBMP", 40), readErr},
        {"first chunk not a group", iffbuild::ChunkBytes("TBHD", Bytes(32, 1)), readErr},
        {"no header", [] { FileWriter w; w.BeginGroup("CIMG").Fver().Flds().EndChunk(); return w.Finish(); }(), eofErr},
        {"ends inside the header's fields", iffbuild::Truncated(good, 12 + 12 + 8 + 23), eofErr},
        {"ends inside the chunk header", iffbuild::Truncated(good, 12 + 12 + 6), eofErr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file;
        LinkedHost host;
        EXPECT_EQ(StartWith(host, file, c.file), c.result);
        // Not ours: nothing described. A refused read leaves no chunk open for the next operation.
        if (c.result == readErr) {
            EXPECT_EQ(host.record().imageSize.h, -1);
        }
        EXPECT_EQ(ChunkStackDepth(), 0);
    }
    // The header's unread tail may be missing: the fields the reader uses are all there.
    TempFile file;
    LinkedHost host;
    EXPECT_EQ(StartWith(host, file, iffbuild::Truncated(good, 12 + 12 + 8 + 24)), noErr);
    EXPECT_EQ(host.Call(formatSelectorReadContinue), noErr);
    EXPECT_TRUE(host.handOvers().empty());
}

// A host that never calls ReadContinue after a refused or abandoned ReadStart leaves nothing
// behind: the next read starts on an empty chunk stack.
TEST(ReadStart, EveryReadStartsOnAnEmptyChunkStack) {
    const Bytes good = readtest::FileAround(HeaderOf(8, 8, 1, 1), {});
    TempFile file;
    LinkedHost host;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(StartWith(host, file, good), noErr);  // outer group left open, ReadContinue never called
        EXPECT_EQ(ChunkStackDepth(), 1);
    }
    EXPECT_EQ(host.Call(formatSelectorFilterFile), noErr);
    EXPECT_EQ(ChunkStackDepth(), 0);
}

}  // namespace
