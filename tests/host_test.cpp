// The host's own checks, driven by a fake plug-in entry that misbehaves on purpose, and a few
// runs of the real module's selector sequences through the host.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/module_loader.h"
#include "module/platform/platform.h"
#include "module/platform/portable_hooks.h"
#include "tests/support/host_checks.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"
#include "tests/support/ui_capture.h"

using tniff::FaultPlan;
using tniff::HandOver;
using tniff::Host;
using tniff::HostSetup;
using tniff::Image;
using tniff::Violation;
using tniff::ViolationKind;

namespace {

// ---- The fake plug-in ---------------------------------------------------------------------------

using Behaviour = std::function<void(int16_t selector, FormatRecord* record, intptr_t* data, int16_t* result)>;
Behaviour gBehaviour;
std::vector<int16_t> gSelectors;  // every selector the fake was called with

void FakeEntry(int16_t selector, void* record, intptr_t* data, int16_t* result) {
    gSelectors.push_back(selector);
    if (gBehaviour) {
        gBehaviour(selector, selector == formatSelectorAbout ? nullptr : static_cast<FormatRecord*>(record), data,
                   result);
    }
}

// Runs action as the whole of the fake's handling of one selector.
void OnSelector(int16_t wanted, std::function<void(FormatRecord*, intptr_t*, int16_t*)> action) {
    gBehaviour = [wanted, action](int16_t selector, FormatRecord* record, intptr_t* data, int16_t* result) {
        if (selector == wanted) action(record, data, result);
    };
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        gBehaviour = nullptr;
        gSelectors.clear();
    }
    void TearDown() override { gBehaviour = nullptr; }
};

// The problems handed to the sink while a SinkCapture lives.
class SinkCapture {
public:
    SinkCapture() {
        captured_.clear();
        Host::SetProblemSink(&Capture);
    }
    ~SinkCapture() { Host::SetProblemSink(&FailTestOnProblems); }
    const std::vector<Violation>& problems() const { return captured_; }

private:
    static void Capture(const std::vector<Violation>& problems) {
        captured_.insert(captured_.end(), problems.begin(), problems.end());
    }
    static std::vector<Violation> captured_;
};
std::vector<Violation> SinkCapture::captured_;

// ---- Buffer and handle misuse -------------------------------------------------------------------

struct MisuseCase {
    const char* name;
    std::function<void(FormatRecord*, intptr_t*)> misuse;
    ViolationKind expected;
};

TEST_F(HostTest, EachMisuseOfTheSuitesIsRecordedOnce) {
    int stackByte = 0;
    const MisuseCase cases[] = {
        {"buffer kept past the call",
         [](FormatRecord* r, intptr_t*) {
             BufferID id = nullptr;
             r->bufferProcs->allocateProc(10, &id);
         },
         ViolationKind::leak},
        {"buffer freed twice",
         [](FormatRecord* r, intptr_t*) {
             BufferID id = nullptr;
             r->bufferProcs->allocateProc(10, &id);
             r->bufferProcs->freeProc(id);
             r->bufferProcs->freeProc(id);
         },
         ViolationKind::doubleFree},
        {"buffer id never given out",
         [](FormatRecord* r, intptr_t*) {
             EXPECT_EQ(r->bufferProcs->lockProc(reinterpret_cast<BufferID>(0x1234), 0), nullptr);
         },
         ViolationKind::unknownId},
        {"freed buffer locked",
         [](FormatRecord* r, intptr_t*) {
             BufferID id = nullptr;
             r->bufferProcs->allocateProc(10, &id);
             r->bufferProcs->freeProc(id);
             EXPECT_EQ(r->bufferProcs->lockProc(id, 0), nullptr);
         },
         ViolationKind::useAfterFree},
        {"buffer unlocked without a lock",
         [](FormatRecord* r, intptr_t*) {
             BufferID id = nullptr;
             r->bufferProcs->allocateProc(10, &id);
             r->bufferProcs->unlockProc(id);
             r->bufferProcs->freeProc(id);
         },
         ViolationKind::unbalancedUnlock},
        {"handle disposed of while locked",
         [](FormatRecord* r, intptr_t*) {
             Handle h = r->handleProcs->newProc(8);
             r->handleProcs->lockProc(h, 0);
             r->handleProcs->disposeProc(h);
         },
         ViolationKind::freeLocked},
        {"handle disposed of twice",
         [](FormatRecord* r, intptr_t*) {
             Handle h = r->handleProcs->newProc(8);
             r->handleProcs->disposeProc(h);
             r->handleProcs->disposeProc(h);
         },
         ViolationKind::doubleFree},
        {"handle never given out",
         [&stackByte](FormatRecord* r, intptr_t*) {
             char* master = reinterpret_cast<char*>(&stackByte);
             r->handleProcs->disposeProc(&master);
         },
         ViolationKind::unknownId},
        {"disposed handle locked",
         [](FormatRecord* r, intptr_t*) {
             Handle h = r->handleProcs->newProc(8);
             r->handleProcs->disposeProc(h);
             EXPECT_EQ(r->handleProcs->lockProc(h, 0), nullptr);
         },
         ViolationKind::useAfterFree},
        {"handle neither disposed of nor kept",
         [](FormatRecord* r, intptr_t*) { r->handleProcs->newProc(8); },
         ViolationKind::leak},
        {"state handle left locked",
         [](FormatRecord* r, intptr_t* data) {
             Handle h = r->handleProcs->newProc(8);
             *data = reinterpret_cast<intptr_t>(h);
             r->handleProcs->lockProc(h, 1);
         },
         ViolationKind::lockedAcrossCalls},
    };
    for (const MisuseCase& c : cases) {
        SCOPED_TRACE(c.name);
        Host host(&FakeEntry);
        OnSelector(formatSelectorReadPrepare, [&c](FormatRecord* r, intptr_t* data, int16_t*) { c.misuse(r, data); });
        host.Call(formatSelectorReadPrepare);
        std::vector<Violation> found = host.TakeViolations();
        ASSERT_EQ(found.size(), 1u) << tniff::DescribeViolations(found);
        EXPECT_EQ(found[0].kind, c.expected) << found[0].text;
        // A second call does not report the same thing again.
        gBehaviour = nullptr;
        host.Call(formatSelectorReadPrepare);
        EXPECT_TRUE(host.TakeViolations().empty());
    }
}

TEST_F(HostTest, AWellBehavedModuleLeavesNothingToReport) {
    Host host(&FakeEntry);
    gBehaviour = [](int16_t, FormatRecord* r, intptr_t* data, int16_t*) {
        // The state handle: made once, kept in the data word, locked only during a call.
        if (*data == 0) *data = reinterpret_cast<intptr_t>(r->handleProcs->newProc(32));
        Handle state = reinterpret_cast<Handle>(*data);
        ASSERT_NE(r->handleProcs->lockProc(state, 1), nullptr);
        BufferID id = nullptr;
        ASSERT_EQ(r->bufferProcs->allocateProc(100, &id), noErr);
        ASSERT_NE(id, nullptr);
        ASSERT_NE(r->bufferProcs->lockProc(id, 0), nullptr);
        r->bufferProcs->unlockProc(id);
        r->bufferProcs->lockProc(id, 0);
        r->bufferProcs->freeProc(id);  // freeing a locked buffer is allowed
        r->handleProcs->unlockProc(state);
    };
    for (int16_t selector = formatSelectorReadPrepare; selector <= formatSelectorFilterFile; ++selector) {
        host.Call(selector);
    }
    EXPECT_TRUE(HostIsClean(host));
    EXPECT_EQ(host.memory().LiveHandles(), 1);
}

TEST_F(HostTest, BuffersAreDistinctUnclearedAndIdsArePointerSized) {
    Host host(&FakeEntry);
    OnSelector(formatSelectorReadPrepare, [](FormatRecord* r, intptr_t*, int16_t*) {
        BufferID first = nullptr;
        BufferID second = nullptr;
        ASSERT_EQ(r->bufferProcs->allocateProc(16, &first), noErr);
        ASSERT_EQ(r->bufferProcs->allocateProc(0, &second), noErr);
        EXPECT_NE(first, second);
        EXPECT_NE(second, nullptr);  // even an empty buffer has an id
        // Truncating an id to 32 bits loses it.
        EXPECT_NE(reinterpret_cast<uintptr_t>(first) & 0xFFFFFFFFu, reinterpret_cast<uintptr_t>(first));
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(r->bufferProcs->lockProc(first, 0));
        for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], tniff::TrackedMemory::kFreshByte);
        BufferID tooLarge = reinterpret_cast<BufferID>(1);
        EXPECT_EQ(r->bufferProcs->allocateProc(-1, &tooLarge), memFullErr);
        EXPECT_EQ(tooLarge, nullptr);
        r->bufferProcs->freeProc(first);
        r->bufferProcs->freeProc(second);
    });
    if (sizeof(void*) == 4) GTEST_SKIP() << "ids of a 32-bit host cannot be told from truncated ones";
    host.Call(formatSelectorReadPrepare);
    EXPECT_TRUE(HostIsClean(host));
}

// ---- Suite shapes -------------------------------------------------------------------------------

TEST_F(HostTest, SuiteShapesReachTheRecord) {
    HostSetup noSuites;
    noSuites.bufferSuite = false;
    noSuites.handleSuite = false;
    noSuites.advanceState = false;
    noSuites.progress = false;
    Host bare(&FakeEntry, noSuites);
    // Compared by value: the record is packed, so its pointers may sit off their natural alignment.
    EXPECT_TRUE(bare.record().bufferProcs == nullptr);
    EXPECT_TRUE(bare.record().handleProcs == nullptr);
    EXPECT_TRUE(bare.record().advanceState == nullptr);
    EXPECT_TRUE(bare.record().progressProc == nullptr);

    HostSetup odd;
    odd.bufferProcsVersion = 3;
    odd.numBufferProcs = 4;
    odd.missingBufferRoutine = tniff::BufferRoutine::space;
    odd.handleProcsVersion = 2;
    odd.numHandleProcs = 6;
    odd.missingHandleRoutine = tniff::HandleRoutine::setSize;
    Host host(&FakeEntry, odd);
    const BufferProcs* buffers = host.record().bufferProcs;
    ASSERT_NE(buffers, nullptr);
    EXPECT_EQ(buffers->bufferProcsVersion, 3);
    EXPECT_EQ(buffers->numBufferProcs, 4);
    EXPECT_NE(buffers->freeProc, nullptr);
    EXPECT_EQ(buffers->spaceProc, nullptr);
    const HandleProcs* handles = host.record().handleProcs;
    ASSERT_NE(handles, nullptr);
    EXPECT_EQ(handles->handleProcsVersion, 2);
    EXPECT_EQ(handles->numHandleProcs, 6);
    EXPECT_NE(handles->getSizeProc, nullptr);
    EXPECT_EQ(handles->setSizeProc, nullptr);
}

TEST_F(HostTest, RoutinesOfASuiteThatRulesThemOutAreViolations) {
    struct ShapeCase {
        const char* name;
        HostSetup setup;
    };
    HostSetup shortBuffers;
    shortBuffers.numBufferProcs = 4;  // allocate ... free are still counted; space is not
    HostSetup newBuffers;
    newBuffers.bufferProcsVersion = 3;
    HostSetup shortHandles;
    shortHandles.numHandleProcs = 6;
    const ShapeCase cases[] = {{"buffer suite of 4 routines", shortBuffers},
                               {"buffer suite of version 3", newBuffers},
                               {"handle suite of 6 routines", shortHandles}};
    const int expectedViolations[] = {1, 5, 1};
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        SCOPED_TRACE(cases[i].name);
        Host host(&FakeEntry, cases[i].setup);
        OnSelector(formatSelectorEstimatePrepare, [](FormatRecord* r, intptr_t*, int16_t*) {
            BufferID id = nullptr;
            r->bufferProcs->allocateProc(4, &id);
            r->bufferProcs->lockProc(id, 0);
            r->bufferProcs->unlockProc(id);
            r->bufferProcs->spaceProc();
            r->bufferProcs->freeProc(id);
            Handle h = r->handleProcs->newProc(4);
            r->handleProcs->lockProc(h, 0);
            r->handleProcs->unlockProc(h);
            r->handleProcs->recoverSpaceProc(0);  // the 7th routine
            r->handleProcs->disposeProc(h);
        });
        host.Call(formatSelectorEstimatePrepare);
        std::vector<Violation> found = host.TakeViolations();
        EXPECT_EQ(static_cast<int>(found.size()), expectedViolations[i]) << tniff::DescribeViolations(found);
        EXPECT_EQ(CountViolations(found, ViolationKind::undeclaredRoutine), static_cast<int>(found.size()));
    }
}

// ---- advanceState -------------------------------------------------------------------------------

// A read whose ReadStart describes an image of 4 columns, 3 rows and 3 planes, and whose
// ReadContinue hands over one block from a locked 64-byte buffer after describe() has set it up.
struct BlockRead {
    std::function<void(FormatRecord*, char* buffer, BufferID id)> describe;
    OSErr advanceResult = 1;
};

void RunBlockRead(Host& host, BlockRead& read) {
    gBehaviour = [&read](int16_t selector, FormatRecord* r, intptr_t*, int16_t*) {
        if (selector == formatSelectorReadStart) {
            r->imageMode = plugInModeRGBColor;
            r->imageSize.v = 3;
            r->imageSize.h = 4;
            r->depth = 8;
            r->planes = 3;
        }
        if (selector != formatSelectorReadContinue) return;
        BufferID id = nullptr;
        ASSERT_EQ(r->bufferProcs->allocateProc(64, &id), noErr);
        char* buffer = r->bufferProcs->lockProc(id, 0);
        for (int i = 0; i < 64; ++i) buffer[i] = static_cast<char>(100 + i);
        read.describe(r, buffer, id);
        read.advanceResult = r->advanceState();
        r->bufferProcs->freeProc(id);
    };
    host.Call(formatSelectorReadStart);
    host.Call(formatSelectorReadContinue);
}

// A 2 by 2 block of planes 0 to 2, interleaved (colBytes 3, planeBytes 1), rows 8 bytes apart,
// for the rows 1 and 2 and columns 1 and 2 of the image.
void DescribeValidBlock(FormatRecord* r, char* buffer) {
    r->data = buffer;
    r->theRect = Rect16{1, 1, 3, 3};
    r->loPlane = 0;
    r->hiPlane = 2;
    r->colBytes = 3;
    r->rowBytes = 8;
    r->planeBytes = 1;
}

TEST_F(HostTest, AReadBlockLandsInTheImageWithItsStrides) {
    Host host(&FakeEntry);
    BlockRead read;
    read.describe = [](FormatRecord* r, char* buffer, BufferID) { DescribeValidBlock(r, buffer); };
    RunBlockRead(host, read);
    EXPECT_EQ(read.advanceResult, noErr);
    const Image& image = host.image();
    ASSERT_EQ(image.width(), 4);
    ASSERT_EQ(image.height(), 3);
    ASSERT_EQ(image.planes(), 3);
    for (int p = 0; p < 3; ++p) {
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 4; ++x) {
                bool inside = y >= 1 && y < 3 && x >= 1 && x < 3;
                int expected = inside ? 100 + (y - 1) * 8 + (x - 1) * 3 + p : 0;
                EXPECT_EQ(image.at(p, y, x), expected) << "plane " << p << " row " << y << " column " << x;
            }
        }
    }
    ASSERT_EQ(host.handOvers().size(), 1u);
    const HandOver& logged = host.handOvers()[0];
    EXPECT_TRUE(logged.reading);
    EXPECT_EQ(logged.rect.bottom, 3);
    EXPECT_EQ(logged.hiPlane, 2);
    EXPECT_EQ(logged.rowBytes, 8);
    EXPECT_EQ(logged.result, noErr);
}

TEST_F(HostTest, BadHandOversAreRefusedAndRecorded) {
    struct RefusalCase {
        const char* name;
        std::function<void(FormatRecord*, char*, BufferID)> spoil;
    };
    const RefusalCase cases[] = {
        {"null data", [](FormatRecord* r, char*, BufferID) { r->data = nullptr; }},
        {"empty rectangle", [](FormatRecord* r, char*, BufferID) { r->theRect.bottom = r->theRect.top; }},
        {"rectangle below the image", [](FormatRecord* r, char*, BufferID) { r->theRect.bottom = 4; }},
        {"rectangle left of the image", [](FormatRecord* r, char*, BufferID) { r->theRect.left = -1; }},
        {"rectangle right of the image", [](FormatRecord* r, char*, BufferID) { r->theRect.right = 5; }},
        {"plane past the last", [](FormatRecord* r, char*, BufferID) { r->hiPlane = 3; }},
        {"planes reversed", [](FormatRecord* r, char*, BufferID) { r->loPlane = 2, r->hiPlane = 1; }},
        {"negative plane", [](FormatRecord* r, char*, BufferID) { r->loPlane = -1; }},
        {"no column stride", [](FormatRecord* r, char*, BufferID) { r->colBytes = 0; }},
        {"buffer unlocked", [](FormatRecord* r, char*, BufferID id) { r->bufferProcs->unlockProc(id); }},
        // The block spans 14 bytes: at offset 50 it ends exactly at the buffer's end, at 51 one past.
        {"block past the buffer's end", [](FormatRecord* r, char* buffer, BufferID) { r->data = buffer + 51; }},
        {"memory that is not a host buffer", [](FormatRecord* r, char*, BufferID) {
             static char own[64];
             r->data = own;
         }},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        Host host(&FakeEntry);
        BlockRead read;
        read.describe = [&c](FormatRecord* r, char* buffer, BufferID id) {
            DescribeValidBlock(r, buffer);
            c.spoil(r, buffer, id);
        };
        RunBlockRead(host, read);
        EXPECT_EQ(read.advanceResult, formatBadParameters);
        std::vector<Violation> found = host.TakeViolations();
        ASSERT_EQ(found.size(), 1u) << tniff::DescribeViolations(found);
        EXPECT_EQ(found[0].kind, ViolationKind::badHandOver);
        EXPECT_EQ(host.image(), Image(4, 3, 3, plugInModeRGBColor)) << "a refused block changes nothing";
        ASSERT_EQ(host.handOvers().size(), 1u);
        EXPECT_EQ(host.handOvers()[0].result, formatBadParameters);
    }
}

TEST_F(HostTest, ASaveBlockIsFilledFromTheImage) {
    Host host(&FakeEntry);
    Image image(3, 2, 4, plugInModeRGBColor);
    for (int p = 0; p < 4; ++p)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) image.at(p, y, x) = static_cast<uint8_t>(p * 50 + y * 10 + x);
    host.SetImage(image);
    std::vector<uint8_t> block;
    OnSelector(formatSelectorWriteStart, [&block](FormatRecord* r, intptr_t*, int16_t* result) {
        BufferID id = nullptr;
        ASSERT_EQ(r->bufferProcs->allocateProc(12, &id), noErr);
        char* buffer = r->bufferProcs->lockProc(id, 0);
        // Planes 1 and 3 of the whole image, two bytes a pixel, rows packed.
        r->data = buffer;
        r->theRect = Rect16{0, 0, 2, 3};
        r->loPlane = 1;
        r->hiPlane = 2;
        r->colBytes = 2;
        r->rowBytes = 6;
        r->planeBytes = 1;
        *result = r->advanceState();
        block.assign(buffer, buffer + 12);
        r->bufferProcs->freeProc(id);
    });
    ASSERT_EQ(host.Call(formatSelectorWriteStart), noErr);
    std::vector<uint8_t> expected;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            for (int p = 1; p <= 2; ++p) expected.push_back(static_cast<uint8_t>(p * 50 + y * 10 + x));
    EXPECT_EQ(block, expected);
    ASSERT_EQ(host.handOvers().size(), 1u);
    EXPECT_FALSE(host.handOvers()[0].reading);
    EXPECT_EQ(host.image(), image) << "saving leaves the image as it was";
}

// Rows long enough to be moved a plane at a time, both ways, for 2 to 4 planes from any first
// plane, the block's rows padded: every byte lands where its pixel and plane say, and nothing
// outside the rectangle is touched.
TEST_F(HostTest, LongRowsOfSeveralPlanesGoBothWays) {
    const int kWidth = 300, kHeight = 3, kPlanes = 4;
    const int left = 5, right = 297;  // 292 pixels a row
    auto pattern = [](size_t i) { return static_cast<uint8_t>(i * 7 + 3); };
    const struct {
        int lo, hi;
    } kPlaneRanges[] = {{0, 1}, {1, 3}, {0, 3}, {1, 2}, {2, 3}};
    for (const auto& range : kPlaneRanges) {
        const int planes = range.hi - range.lo + 1;
        SCOPED_TRACE("planes " + std::to_string(range.lo) + " to " + std::to_string(range.hi));
        const int rowBytes = (right - left) * planes + 7;
        const int32_t bytes = rowBytes * kHeight;
        auto describe = [&](FormatRecord* r, char* buffer) {
            r->data = buffer;
            r->theRect = Rect16{0, static_cast<int16_t>(left), kHeight, static_cast<int16_t>(right)};
            r->loPlane = static_cast<int16_t>(range.lo);
            r->hiPlane = static_cast<int16_t>(range.hi);
            r->colBytes = static_cast<int16_t>(planes);
            r->rowBytes = rowBytes;
            r->planeBytes = 1;
        };
        // The block's byte for pixel (x, y) of plane p, or -1 outside the rectangle and planes.
        auto at = [&](int p, int y, int x) -> int {
            if (x < left || x >= right || p < range.lo || p > range.hi) return -1;
            return y * rowBytes + (x - left) * planes + (p - range.lo);
        };

        Host reader(&FakeEntry);
        gBehaviour = [&](int16_t selector, FormatRecord* r, intptr_t*, int16_t* result) {
            if (selector == formatSelectorReadStart) {
                r->imageMode = plugInModeRGBColor;
                r->imageSize.v = kHeight;
                r->imageSize.h = kWidth;
                r->depth = 8;
                r->planes = kPlanes;
            }
            if (selector != formatSelectorReadContinue) return;
            BufferID id = nullptr;
            ASSERT_EQ(r->bufferProcs->allocateProc(bytes, &id), noErr);
            char* buffer = r->bufferProcs->lockProc(id, 0);
            for (int32_t i = 0; i < bytes; ++i) buffer[i] = static_cast<char>(pattern(size_t(i)));
            describe(r, buffer);
            *result = r->advanceState();
            r->bufferProcs->freeProc(id);
        };
        reader.Call(formatSelectorReadStart);
        ASSERT_EQ(reader.Call(formatSelectorReadContinue), noErr);
        Image expected(kWidth, kHeight, kPlanes, plugInModeRGBColor);
        for (int p = 0; p < kPlanes; ++p)
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    if (at(p, y, x) >= 0) expected.at(p, y, x) = pattern(size_t(at(p, y, x)));
        EXPECT_EQ(reader.image(), expected);

        Host saver(&FakeEntry);
        saver.SetImage(expected);
        std::vector<uint8_t> block;
        OnSelector(formatSelectorWriteStart, [&](FormatRecord* r, intptr_t*, int16_t* result) {
            BufferID id = nullptr;
            ASSERT_EQ(r->bufferProcs->allocateProc(bytes, &id), noErr);
            char* buffer = r->bufferProcs->lockProc(id, 0);
            std::memset(buffer, 0xEE, size_t(bytes));
            describe(r, buffer);
            *result = r->advanceState();
            block.assign(buffer, buffer + bytes);
            r->bufferProcs->freeProc(id);
        });
        ASSERT_EQ(saver.Call(formatSelectorWriteStart), noErr);
        std::vector<uint8_t> filled(size_t(bytes), 0xEE);  // the padding stays as it was
        for (int p = range.lo; p <= range.hi; ++p)
            for (int y = 0; y < kHeight; ++y)
                for (int x = left; x < right; ++x) filled[size_t(at(p, y, x))] = pattern(size_t(at(p, y, x)));
        EXPECT_EQ(block, filled);
    }
}

// ---- progressProc -------------------------------------------------------------------------------

TEST_F(HostTest, ProgressIsLoggedAndOutOfRangeReportsAreViolations) {
    Host host(&FakeEntry);
    OnSelector(formatSelectorReadContinue, [](FormatRecord* r, intptr_t*, int16_t*) {
        r->progressProc(0, 3);
        r->progressProc(3, 3);
        r->progressProc(4, 3);
        r->progressProc(-1, 3);
    });
    host.Call(formatSelectorReadContinue);
    ASSERT_EQ(host.progressCalls().size(), 4u);
    EXPECT_EQ(host.progressCalls()[2].done, 4);
    EXPECT_EQ(host.progressCalls()[2].total, 3);
    std::vector<Violation> found = host.TakeViolations();
    EXPECT_EQ(found.size(), 2u);
    EXPECT_EQ(CountViolations(found, ViolationKind::badProgress), 2);
}

// ---- Fault countdowns ---------------------------------------------------------------------------

// Which of five attempts of one kind failed (true) under a plan.
using Attempts = std::function<std::vector<bool>(FormatRecord*)>;

std::vector<bool> TryFive(Host& host, int16_t selector, const Attempts& attempts) {
    std::vector<bool> failed;
    OnSelector(selector, [&](FormatRecord* r, intptr_t*, int16_t*) { failed = attempts(r); });
    host.Call(selector);
    return failed;
}

TEST_F(HostTest, FaultCountdownsFireAtTheNthCall) {
    struct CountdownCase {
        const char* name;
        std::function<void(FaultPlan&, int64_t)> arm;
        Attempts attempts;
    };
    const Attempts allocations = [](FormatRecord* r) {
        std::vector<bool> failed;
        for (int i = 0; i < 5; ++i) {
            BufferID id = nullptr;
            OSErr error = r->bufferProcs->allocateProc(8, &id);
            failed.push_back(error != noErr);
            if (error == noErr) r->bufferProcs->freeProc(id);
            else EXPECT_EQ(id, nullptr);
        }
        return failed;
    };
    const Attempts handleNews = [](FormatRecord* r) {
        std::vector<bool> failed;
        for (int i = 0; i < 5; ++i) {
            Handle h = r->handleProcs->newProc(8);
            failed.push_back(h == nullptr);
            if (h != nullptr) r->handleProcs->disposeProc(h);
        }
        return failed;
    };
    const Attempts handleLocks = [](FormatRecord* r) {
        std::vector<bool> failed;
        Handle h = r->handleProcs->newProc(8);
        for (int i = 0; i < 5; ++i) {
            Ptr p = r->handleProcs->lockProc(h, 0);
            failed.push_back(p == nullptr);
            if (p != nullptr) r->handleProcs->unlockProc(h);
        }
        r->handleProcs->disposeProc(h);
        return failed;
    };
    const Attempts advances = [](FormatRecord* r) {
        std::vector<bool> failed;
        BufferID id = nullptr;
        r->bufferProcs->allocateProc(1, &id);
        r->data = r->bufferProcs->lockProc(id, 0);
        r->theRect = Rect16{0, 0, 1, 1};
        r->loPlane = r->hiPlane = 0;
        r->colBytes = 1;
        r->rowBytes = 1;
        r->planeBytes = 1;
        for (int i = 0; i < 5; ++i) {
            OSErr error = r->advanceState();
            failed.push_back(error != noErr);
            if (error != noErr) {
                EXPECT_EQ(error, userCanceledErr);
            }
        }
        r->bufferProcs->freeProc(id);
        return failed;
    };
    const CountdownCase cases[] = {
        {"buffer allocation", [](FaultPlan& p, int64_t n) { p.failBufferAllocation = n; }, allocations},
        {"handle creation", [](FaultPlan& p, int64_t n) { p.failHandleNew = n; }, handleNews},
        {"handle lock", [](FaultPlan& p, int64_t n) { p.failHandleLock = n; }, handleLocks},
        {"advanceState", [](FaultPlan& p, int64_t n) { p.failAdvanceState = n; }, advances},
    };
    for (const CountdownCase& c : cases) {
        SCOPED_TRACE(c.name);
        Host host(&FakeEntry);
        host.SetImage(Image(1, 1, 1));

        FaultPlan once;
        c.arm(once, 3);
        host.ArmFaults(once);
        EXPECT_EQ(TryFive(host, formatSelectorWriteStart, c.attempts),
                  (std::vector<bool>{false, false, true, false, false}));
        EXPECT_TRUE(host.faultFired());

        FaultPlan fromThen = once;
        fromThen.persistent = true;
        host.ArmFaults(fromThen);  // counts restart
        EXPECT_EQ(TryFive(host, formatSelectorWriteStart, c.attempts),
                  (std::vector<bool>{false, false, true, true, true}));

        FaultPlan tooLate;
        c.arm(tooLate, 6);
        host.ArmFaults(tooLate);
        EXPECT_EQ(TryFive(host, formatSelectorWriteStart, c.attempts), std::vector<bool>(5, false));
        EXPECT_FALSE(host.faultFired());
    }
}

TEST_F(HostTest, FileFaultsFailOrShortenTheNthTransfer) {
    TempFile file;
    std::vector<uint8_t> content(100);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
    file.Write(content);

    Host host(&FakeEntry);
    FaultPlan plan;
    plan.failFileRead = 2;
    plan.shortFileRead = 4;
    host.ArmFaults(plan);
    ASSERT_TRUE(host.OpenFile(file.path(), tniff::HostFile::Mode::read));
    intptr_t fd = host.record().dataFork;
    std::vector<uint32_t> answers;
    std::vector<uint8_t> firstBytes;
    for (int i = 0; i < 5; ++i) {
        uint8_t piece[10] = {0};
        answers.push_back(Host::FileRead(&host, fd, piece, 10));
        firstBytes.push_back(piece[0]);
    }
    EXPECT_EQ(answers, (std::vector<uint32_t>{10, tniff::kFileCallFailed, 10, 5, 10}));
    // The failed read moved nothing; the short one moved 5 bytes.
    EXPECT_EQ(firstBytes, (std::vector<uint8_t>{0, 0, 10, 20, 25}));
    EXPECT_EQ(host.counts().fileReads, 5);
    host.CloseFile();

    TempFile written;
    plan = FaultPlan();
    plan.failFileWrite = 1;
    plan.shortFileWrite = 3;
    host.ArmFaults(plan);
    ASSERT_TRUE(host.OpenFile(written.path(), tniff::HostFile::Mode::write));
    fd = host.record().dataFork;
    answers.clear();
    for (int i = 0; i < 4; ++i) answers.push_back(Host::FileWrite(&host, fd, "abcd", 4));
    EXPECT_EQ(Host::FileSeek(&host, fd, 1), 1u);
    EXPECT_EQ(Host::FileWrite(&host, fd, "Z", 1), 1u);
    host.CloseFile();
    EXPECT_EQ(answers, (std::vector<uint32_t>{tniff::kFileCallFailed, 4, 2, 4}));
    std::vector<uint8_t> bytes = written.Read();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "aZcdababcd");
}

TEST_F(HostTest, LinkedFileCallsRouteTheModulesFileCallsThroughTheHost) {
    TempFile file;
    file.Write({1, 2, 3, 4, 5, 6});
    Host host(&FakeEntry);
    ASSERT_TRUE(host.OpenFile(file.path(), tniff::HostFile::Mode::read));
    intptr_t fd = host.record().dataFork;
    uint8_t piece[4] = {0};
    {
        LinkedFileCalls calls(host);
        FaultPlan plan;
        plan.failFileRead = 2;
        host.ArmFaults(plan);
        EXPECT_EQ(PlatformFileRead(fd, piece, 2), 2u);
        EXPECT_EQ(PlatformFileRead(fd, piece, 2), kPlatformFileError);
        EXPECT_EQ(PlatformFileSeek(fd, 4), 4u);
        EXPECT_EQ(host.counts().fileReads, 2);
        EXPECT_EQ(host.counts().fileSeeks, 1);
    }
    // Afterwards the module's calls go straight to the file again.
    EXPECT_EQ(PlatformFileRead(fd, piece, 4), 2u);
    EXPECT_EQ(piece[0], 5);
    EXPECT_EQ(host.counts().fileReads, 2);
}

TEST_F(HostTest, UiCaptureRecordsMessagesAndPressesTheChosenControl) {
    static int pressed;
    pressed = -1;
    auto procedure = [](PlatformWindow dialog, uint32_t message, uintptr_t word, intptr_t) -> intptr_t {
        if (message != kPlatformMessageCommand) return 1;
        pressed = static_cast<int>(word & 0xFFFF);
        PlatformEndDialog(dialog, 40 + pressed);
        return 1;
    };
    UiCapture capture;
    capture.setMessageAnswer(7);
    capture.setDialogControl(2);
    EXPECT_EQ(PlatformMessageBox(0, "text \xAE", nullptr, kPlatformMessageOk | kPlatformMessageExclamation), 7);
    EXPECT_EQ(PlatformDialogBox(nullptr, 105, 9, procedure, 0), 42);
    ASSERT_EQ(capture.messages().size(), 1u);
    EXPECT_EQ(capture.messages()[0].text, "text \xAE");
    EXPECT_FALSE(capture.messages()[0].hasCaption);
    EXPECT_EQ(capture.messages()[0].style, kPlatformMessageExclamation);
    ASSERT_EQ(capture.dialogs().size(), 1u);
    EXPECT_EQ(capture.dialogs()[0].dialogId, 105);
    EXPECT_EQ(capture.dialogs()[0].owner, 9);
    EXPECT_EQ(pressed, 2);
}

// ---- Selector sequences -------------------------------------------------------------------------

TEST_F(HostTest, OpenStopsAtTheFirstErrorButFinishesAStartedRead) {
    struct SequenceCase {
        int16_t failing;  // 0: none
        OSErr code;
        std::vector<int16_t> expected;
    };
    const SequenceCase cases[] = {
        {0, noErr, {17, 1, 2, 3, 4}},
        {formatSelectorFilterFile, formatCannotRead, {17}},
        {formatSelectorReadPrepare, memFullErr, {17, 1}},
        {formatSelectorReadStart, readErr, {17, 1, 2}},
        {formatSelectorReadContinue, userCanceledErr, {17, 1, 2, 3, 4}},
        {formatSelectorReadFinish, memFullErr, {17, 1, 2, 3, 4}},
    };
    TempFile file;
    file.Write({'x'});
    for (const SequenceCase& c : cases) {
        SCOPED_TRACE(c.failing);
        gSelectors.clear();
        Host host(&FakeEntry);
        OnSelector(c.failing, [&c](FormatRecord*, intptr_t*, int16_t* result) { *result = c.code; });
        EXPECT_EQ(host.Open(file.path()), c.code);
        EXPECT_EQ(gSelectors, c.expected);
        EXPECT_EQ(FileHandle{host.record().dataFork}, tniff::HostFile::kNoFile) << "the file is closed afterwards";
    }
}

TEST_F(HostTest, SaveRunsTheEightStepsAndStopsAtTheFirstError) {
    TempFile file;
    for (int16_t failing : {0, 10, 14, 16}) {
        SCOPED_TRACE(failing);
        gSelectors.clear();
        Host host(&FakeEntry);
        OnSelector(failing, [](FormatRecord*, intptr_t*, int16_t* result) { *result = writErr; });
        EXPECT_EQ(host.Save(Image(2, 2, 3), file.path()), failing == 0 ? noErr : writErr);
        std::vector<int16_t> expected;
        for (int16_t s = 9; s <= (failing == 0 ? 16 : failing); ++s) expected.push_back(s);
        EXPECT_EQ(gSelectors, expected);
    }
}

TEST_F(HostTest, TheHostKeepsTheDataWordAndPresetsTheResultWord) {
    Host host(&FakeEntry);
    std::vector<intptr_t> seen;
    std::vector<int16_t> resultsSeen;
    gBehaviour = [&](int16_t, FormatRecord*, intptr_t* data, int16_t* result) {
        seen.push_back(*data);
        resultsSeen.push_back(*result);
        if (*data == 0) *data = 0x5151;
    };
    host.Call(formatSelectorReadPrepare);
    host.Call(formatSelectorReadStart, -5);
    host.Call(formatSelectorAbout);
    EXPECT_EQ(seen, (std::vector<intptr_t>{0, 0x5151, 0x5151}));
    EXPECT_EQ(resultsSeen, (std::vector<int16_t>{0, -5, 0}));
    EXPECT_EQ(host.dataWord(), 0x5151);
}

TEST_F(HostTest, AboutGetsAnAboutRecordAndTheDataWordStaysUntouched) {
    static const AboutRecord* received;
    received = nullptr;
    PluginEntryProc probe = [](int16_t, void* record, intptr_t*, int16_t*) {
        received = static_cast<const AboutRecord*>(record);
    };
    Host host(probe);
    host.Call(formatSelectorAbout);
    ASSERT_NE(received, nullptr);
    ASSERT_NE(received->platformData, nullptr);
    EXPECT_EQ(received->platformData->hwnd, 0);
    EXPECT_EQ(host.dataWord(), 0);
}

TEST_F(HostTest, TheFileIsRewoundBeforeFilterFileAndReadStart) {
    TempFile file;
    file.Write({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
    Host host(&FakeEntry);
    std::vector<std::string> reads;
    gBehaviour = [&reads](int16_t selector, FormatRecord* r, intptr_t*, int16_t*) {
        if (selector == formatSelectorReadFinish) return;
        char piece[3] = {0};
        tniff::FileHandleRead(r->dataFork, piece, 2);
        reads.push_back(piece);
    };
    EXPECT_EQ(host.Open(file.path()), noErr);
    EXPECT_EQ(reads, (std::vector<std::string>{"AB", "CD", "AB", "CD"}));
}

// Small images live on the heap, large ones (from 4 MiB) in pages mapped for them alone: both
// start as 0, copy, move and compare by their bytes.
TEST_F(HostTest, ImagesStartAsZeroAndCopyMoveAndCompareByTheirBytes) {
    struct SizeCase {
        int width, height, planes;
    };
    const SizeCase sizes[] = {{3, 2, 4}, {64, 64, 1}, {2048, 1024, 3}, {1500, 1000, 4}};
    auto allEqual = [](const Image& image, uint8_t value) {
        for (size_t i = 0; i < image.size(); ++i)
            if (image.data()[i] != value) return false;
        return true;
    };
    for (const SizeCase& c : sizes) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " x " + std::to_string(c.planes));
        Image image(c.width, c.height, c.planes);
        ASSERT_EQ(image.size(), size_t(c.width) * c.height * c.planes);
        ASSERT_NE(image.data(), nullptr);
        EXPECT_TRUE(allEqual(image, 0));
        EXPECT_EQ(image.address(c.planes - 1, c.height - 1, c.width - 1), image.data() + image.size() - 1);
        EXPECT_TRUE(allEqual(Image(c.width, c.height, c.planes, -1, 0xA5), 0xA5));

        image.at(c.planes - 1, c.height - 1, c.width - 1) = 7;
        Image copy(image);
        EXPECT_TRUE(copy == image);
        EXPECT_NE(copy.data(), image.data());
        copy.at(0, 0, 0) = 9;
        EXPECT_TRUE(copy != image) << "a copy has bytes of its own";
        EXPECT_EQ(image.at(0, 0, 0), 0);

        Image assigned(1, 1, 1);
        assigned = image;
        EXPECT_TRUE(assigned == image);
        const Image& same = assigned;
        assigned = same;
        EXPECT_TRUE(assigned == image) << "assigning an image to itself keeps it";

        Image moved(std::move(assigned));
        EXPECT_TRUE(moved == image);
        EXPECT_TRUE(assigned.empty());
        EXPECT_EQ(assigned.data(), nullptr);
        Image target(5, 5, 5, -1, 3);
        target = std::move(moved);
        EXPECT_TRUE(target == image);
        EXPECT_TRUE(moved.empty());

        target.fill(0x11);
        EXPECT_TRUE(allEqual(target, 0x11));
    }
    EXPECT_TRUE(Image().empty());
    EXPECT_EQ(Image().data(), nullptr);
    EXPECT_TRUE(Image(0, 5, 3).empty());
    EXPECT_TRUE(Image(-4, 5, 3) == Image(0, 5, 3));
}

TEST_F(HostTest, ReadStartDescribesTheImageTheHostMakes) {
    TempFile file;
    file.Write({'x'});
    Host host(&FakeEntry);
    std::vector<int> before;
    OnSelector(formatSelectorReadStart, [&before](FormatRecord* r, intptr_t*, int16_t*) {
        before = {r->imageMode, r->imageSize.v, r->imageSize.h, r->depth, r->planes, r->colBytes, r->planeBytes};
        EXPECT_TRUE(r->data == nullptr);  // not bound by reference: the member may be unaligned
        r->imageMode = plugInModeGrayScale;
        r->imageSize.v = 2;
        r->imageSize.h = 5;
        r->depth = 8;
        r->planes = 2;
    });
    EXPECT_EQ(host.Open(file.path()), noErr);
    EXPECT_EQ(before, std::vector<int>(7, -1)) << "fields the module does not set stay visibly unset";
    EXPECT_EQ(host.image(), Image(5, 2, 2, plugInModeGrayScale));

    // An image above the host's limit is refused: no ReadContinue, but ReadFinish.
    HostSetup small;
    small.maxImageBytes = 19;
    Host smallHost(&FakeEntry, small);
    gSelectors.clear();
    EXPECT_EQ(smallHost.Open(file.path()), memFullErr);
    EXPECT_EQ(gSelectors, (std::vector<int16_t>{17, 1, 2, 4}));
    EXPECT_TRUE(smallHost.imageRefused());
    EXPECT_TRUE(smallHost.image().empty());
}

TEST_F(HostTest, SaveDescribesTheImageAndTruncatesTheFile) {
    TempFile file;
    file.Write(std::vector<uint8_t>(50, 'o'));
    Host host(&FakeEntry);
    std::vector<int> described;
    gBehaviour = [&described](int16_t selector, FormatRecord* r, intptr_t*, int16_t*) {
        if (selector == formatSelectorEstimatePrepare) {
            described = {r->imageMode, r->imageSize.v, r->imageSize.h, r->depth, r->planes, r->maxData > 0};
        }
        if (selector == formatSelectorWriteStart) tniff::FileHandleWrite(r->dataFork, "xy", 2);
    };
    EXPECT_EQ(host.Save(Image(7, 3, 4, plugInModeRGBColor), file.path()), noErr);
    EXPECT_EQ(described, (std::vector<int>{plugInModeRGBColor, 3, 7, 8, 4, 1}));
    EXPECT_EQ(file.Read(), (std::vector<uint8_t>{'x', 'y'}));
    EXPECT_EQ(host.Open("/nonexistent/dir/file.iff"), tniff::kHostFileNotOpened);
}

TEST_F(HostTest, ImageResourcesAreTheHostsToSeeDisposedOrNot) {
    for (bool dispose : {true, false}) {
        SCOPED_TRACE(dispose);
        Host host(&FakeEntry);
        Handle resources = host.SetImageResources(16);
        ASSERT_NE(resources, nullptr);
        EXPECT_EQ(host.record().imageRsrcSize, 16);
        OnSelector(formatSelectorReadFinish, [dispose](FormatRecord* r, intptr_t*, int16_t*) {
            if (!dispose) return;
            r->handleProcs->disposeProc(r->imageRsrcData);
            r->imageRsrcData = nullptr;
            r->imageRsrcSize = 0;
        });
        host.Call(formatSelectorReadFinish);
        EXPECT_EQ(host.HandleDisposed(resources), dispose);
        EXPECT_TRUE(HostIsClean(host)) << "a resource handle left alone is no leak of the module's";
    }
}

// ---- What reaches the problem sink --------------------------------------------------------------

TEST_F(HostTest, UnclaimedViolationsAndStrayCallbacksReachTheSink) {
    SinkCapture sink;
    AdvanceStateProc kept = nullptr;
    {
        Host host(&FakeEntry);
        OnSelector(formatSelectorReadPrepare, [&kept](FormatRecord* r, intptr_t*, int16_t*) {
            kept = r->advanceState;
            BufferID id = nullptr;
            r->bufferProcs->allocateProc(3, &id);  // never freed
        });
        host.Call(formatSelectorReadPrepare);
        EXPECT_TRUE(sink.problems().empty()) << "nothing is reported while the host lives";
    }
    ASSERT_EQ(sink.problems().size(), 1u);
    EXPECT_EQ(sink.problems()[0].kind, ViolationKind::leak);

    // A callback kept by the module and called after its call returned.
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept(), formatBadParameters);
    ASSERT_EQ(sink.problems().size(), 2u);
    EXPECT_EQ(sink.problems()[1].kind, ViolationKind::callbackOutsideCall);
}

// ---- The real module through the host -----------------------------------------------------------

// Checks what every operation must leave: the state handle made once and kept, unlocked, and
// nothing else held. Violations are checked by the sink when the host goes.
void ExpectOnlyTheStateHandle(const Host& host) {
    EXPECT_NE(host.dataWord(), 0);
    EXPECT_EQ(host.memory().LiveHandles(), 1);
    EXPECT_FALSE(host.memory().HandleLocked(reinterpret_cast<Handle>(host.dataWord())));
    EXPECT_EQ(host.memory().LiveBuffers(), 0);
}

TEST(HostWithModule, SaveRunsAllEightStepsAndKeepsTheStateHandle) {
    TempFile file;
    LinkedHost host;
    EXPECT_EQ(host.Save(Image(1, 1, 1), file.path()), noErr);
    EXPECT_EQ(host.counts().entryCalls, 8);
    ExpectOnlyTheStateHandle(host);
    intptr_t state = host.dataWord();
    EXPECT_EQ(host.Save(Image(2, 3, 3), file.path()), noErr);
    EXPECT_EQ(host.dataWord(), state) << "the data word carries the state from one operation to the next";
    ExpectOnlyTheStateHandle(host);
}

TEST(HostWithModule, OpenOfAForeignFileStopsAtFilterFile) {
    TempFile file;
    file.Write({'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    LinkedHost host;
    EXPECT_EQ(host.Open(file.path()), formatCannotRead);
    EXPECT_EQ(host.counts().entryCalls, 1);
    ExpectOnlyTheStateHandle(host);
}

TEST(HostWithModule, AStateHandleThatCannotBeMadeEndsTheCallWithMemFull) {
    LinkedHost host;
    FaultPlan plan;
    plan.failHandleNew = 1;
    host.ArmFaults(plan);
    EXPECT_EQ(host.Call(formatSelectorReadPrepare), memFullErr);
    EXPECT_EQ(host.dataWord(), 0);
    EXPECT_EQ(host.Call(formatSelectorReadPrepare), noErr);
    ExpectOnlyTheStateHandle(host);
}

TEST(HostWithModule, TheModuleFileLoadsAndRunsLikeTheLinkedOne) {
    std::string error;
    EXPECT_EQ(tniff::LoadModule("/nonexistent/TnIffFormat.so", &error), nullptr);
    EXPECT_NE(error.find("/nonexistent/TnIffFormat.so"), std::string::npos) << error;

    PluginEntryProc entry = tniff::LoadModule(TNIFF_MODULE_FILE, &error);
    ASSERT_NE(entry, nullptr) << error;
    TempFile file;
    file.Write({'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    Host host(entry);
    EXPECT_EQ(host.Open(file.path()), formatCannotRead);
    ExpectOnlyTheStateHandle(host);
}

}  // namespace
