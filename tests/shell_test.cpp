// The plug-in shell through ENTRYPOINT: the About selector, the state record's life in the data
// word, selector dispatch, the host's suites and the module's own fallback handles, and the
// first-error rule.
#include <gtest/gtest.h>

#include <cstring>

#include "module/platform/portable_hooks.h"
#include "module/shell/about_box.h"
#include "module/shell/error_report.h"
#include "module/shell/fallback_handle.h"
#include "module/shell/host_suites.h"
#include "module/shell/module_instance.h"
#include "module/shell/plugin_globals.h"
#include "module/resources/resource_ids.h"
#include "tests/support/host_checks.h"
#include "tests/support/linked_module.h"
#include "tests/support/ui_capture.h"

using tniff::FaultPlan;
using tniff::HostSetup;

namespace {

// The state record the data word holds, read through the host's own view of the handle.
const PluginGlobals& StateRecord(tniff::Host& host) {
    Handle handle = reinterpret_cast<Handle>(host.dataWord());
    return *reinterpret_cast<const PluginGlobals*>(*handle);
}

// ---- About --------------------------------------------------------------------------------------

TEST(AboutSelector, ShowsDialog105OwnedByTheHostWindowAndTouchesNeitherWord) {
    UiCapture ui;
    PlatformData platform = {0x4242};
    AboutRecord about = {&platform, nullptr, nullptr, {}};
    intptr_t data = 0;
    int16_t result = -77;
    ENTRYPOINT(formatSelectorAbout, &about, &data, &result);
    EXPECT_EQ(data, 0);
    EXPECT_EQ(result, -77);
    ASSERT_EQ(ui.dialogs().size(), 1u);
    EXPECT_EQ(ui.dialogs()[0].dialogId, kAboutDialogId);
    EXPECT_EQ(ui.dialogs()[0].owner, 0x4242);
}

TEST(AboutSelector, CreatesNoStateRecordThroughTheHost) {
    UiCapture ui;
    LinkedHost host;
    EXPECT_EQ(host.Call(formatSelectorAbout, 5), 5);
    EXPECT_EQ(host.dataWord(), 0);
    EXPECT_EQ(host.counts().handleNews, 0);
    EXPECT_EQ(ui.dialogs().size(), 1u);
}

TEST(AboutSelector, OkAndEscapeEndTheDialogOtherControlsDoNot) {
    struct Case {
        int control;
        intptr_t dialogResult;
    };
    const Case cases[] = {
        {1, 0},                         // OK
        {2, 0},                         // the Escape key's cancel command
        {3, kPlatformDialogNotEnded},   // any other control is ignored
        {0, kPlatformDialogNotEnded},   // no command at all
    };
    for (const Case& c : cases) {
        UiCapture ui;
        ui.setDialogControl(c.control);
        EXPECT_EQ(PlatformDialogBox(ModuleInstance, kAboutDialogId, 0, AboutDialogProc, 0),
                  c.dialogResult)
            << "control " << c.control;
    }
}

TEST(AboutSelector, DialogProcedureAnswers) {
    EXPECT_EQ(AboutDialogProc(1, kPlatformMessageInitDialog, 0, 0), 1);
    EXPECT_EQ(AboutDialogProc(1, kPlatformMessageCommand, 7, 0), 0);
    EXPECT_EQ(AboutDialogProc(1, 0x0200 /* a mouse move */, 1, 0), 0);
    // Only the low 16 bits of the word parameter name the control.
    EXPECT_EQ(AboutDialogProc(1, kPlatformMessageCommand, 0x10001, 0), 1);
}

TEST(ModuleLoad, InstanceIsKnownBeforeTheFirstCall) { EXPECT_NE(ModuleInstance, nullptr); }

// ---- The state record ---------------------------------------------------------------------------

TEST(StateRecord, FirstCallCreatesAndInitialisesIt) {
    LinkedHost host;
    ASSERT_EQ(host.dataWord(), 0);
    EXPECT_EQ(host.Call(formatSelectorOptionsPrepare), noErr);
    ASSERT_NE(host.dataWord(), 0);
    const PluginGlobals& globals = StateRecord(host);
    EXPECT_EQ(globals.formatRecord, &host.record());
    EXPECT_EQ(globals.streamPos, 0u);
    EXPECT_EQ(globals.imageWidth, 0u);
    EXPECT_EQ(globals.imageHeight, 0u);
    EXPECT_EQ(globals.headerFlags, 0u);
    EXPECT_EQ(globals.compression, 0u);
    EXPECT_EQ(globals.tileCount, 0u);
    EXPECT_EQ(globals.channelCount, 0u);
    EXPECT_EQ(globals.scratchId, nullptr);
    EXPECT_EQ(globals.scratchPtr, nullptr);
    EXPECT_EQ(globals.scratchSize, 0u);
    // headerAuxC keeps what the new handle held: the host fills fresh memory with a marker.
    EXPECT_EQ(static_cast<uint16_t>(globals.headerAuxC),
              tniff::TrackedMemory::kFreshByte * 0x101u);
    EXPECT_EQ(host.counts().handleNews, 1);
    EXPECT_TRUE(HostIsClean(host));
}

TEST(StateRecord, IsKeptBetweenCallsAndNeverDisposed) {
    LinkedHost host;
    host.Call(formatSelectorOptionsPrepare);
    const intptr_t word = host.dataWord();
    // What a handler leaves in the record is there at the next call.
    reinterpret_cast<PluginGlobals*>(*reinterpret_cast<Handle>(word))->imageWidth = 1234;
    for (int16_t selector : {formatSelectorOptionsStart, formatSelectorEstimateContinue,
                             formatSelectorWriteContinue}) {
        EXPECT_EQ(host.Call(selector), noErr);
    }
    EXPECT_EQ(host.dataWord(), word);
    EXPECT_EQ(StateRecord(host).imageWidth, 1234u);
    EXPECT_EQ(host.counts().handleNews, 1);
    EXPECT_FALSE(host.HandleDisposed(reinterpret_cast<Handle>(word)));
    EXPECT_TRUE(HostIsClean(host));  // also: the handle is unlocked after every call
}

TEST(StateRecord, ResultWordAndRecordAreThoseOfTheCurrentCall) {
    LinkedHost host;
    EXPECT_EQ(host.Call(formatSelectorOptionsPrepare, -39), noErr);  // reset before any handler
    EXPECT_EQ(host.Call(formatSelectorOptionsFinish, 12), noErr);
    EXPECT_EQ(StateRecord(host).formatRecord, &host.record());
}

TEST(Dispatch, SelectorsWithNothingToDoChangeNothing) {
    for (int16_t selector : {5, 6, 7, 8, 11, 12, 13, 15}) {
        LinkedHost host;
        host.Call(formatSelectorOptionsPrepare);  // the state record exists from here on
        FormatRecord before = host.record();
        const PluginGlobals globalsBefore = StateRecord(host);
        EXPECT_EQ(host.Call(selector, -1), noErr) << "selector " << selector;
        EXPECT_EQ(memcmp(&before, &host.record(), sizeof before), 0) << "selector " << selector;
        const PluginGlobals& after = StateRecord(host);
        EXPECT_EQ(memcmp(&globalsBefore.streamPos, &after.streamPos,
                         sizeof(PluginGlobals) - offsetof(PluginGlobals, streamPos)),
                  0)
            << "selector " << selector;
        EXPECT_EQ(host.counts().fileReads + host.counts().fileWrites + host.counts().fileSeeks, 0);
    }
}

TEST(Dispatch, BadSelectorsGiveFormatBadParametersAndLeaveTheRecordUnlocked) {
    for (int16_t selector : {int16_t(18), int16_t(255), int16_t(-1), int16_t(-32768)}) {
        LinkedHost host;
        EXPECT_EQ(host.Call(selector), formatBadParameters) << "selector " << selector;
        EXPECT_NE(host.dataWord(), 0) << "the state record is created all the same";
        EXPECT_EQ(host.counts().fileReads + host.counts().fileSeeks, 0);
        // A second bad call finds the record that the first one made.
        EXPECT_EQ(host.Call(selector, 3), formatBadParameters);
        EXPECT_EQ(host.counts().handleNews, 1);
        EXPECT_TRUE(HostIsClean(host));  // unlocked after each call
    }
}

TEST(StateRecord, HandleThatCannotBeMadeGivesMemFullErrAndRunsNoHandler) {
    LinkedHost host;
    FaultPlan plan;
    plan.failHandleNew = 1;
    host.ArmFaults(plan);
    // FilterFile would read the file if it ran.
    EXPECT_EQ(host.Call(formatSelectorFilterFile), memFullErr);
    EXPECT_EQ(host.dataWord(), 0);
    EXPECT_EQ(host.counts().fileReads, 0);
}

TEST(StateRecord, NewHandleThatCannotBeLockedIsDisposedOf) {
    LinkedHost host;
    FaultPlan plan;
    plan.failHandleLock = 1;
    host.ArmFaults(plan);
    EXPECT_EQ(host.Call(formatSelectorFilterFile), memFullErr);
    EXPECT_EQ(host.dataWord(), 0);
    EXPECT_EQ(host.counts().fileReads, 0);
    EXPECT_EQ(host.memory().LiveHandles(), 0);
    EXPECT_TRUE(HostIsClean(host));
}

TEST(StateRecord, HeldHandleThatCannotBeLockedKeepsTheDataWord) {
    LinkedHost host;
    host.Call(formatSelectorOptionsPrepare);
    const intptr_t word = host.dataWord();
    FaultPlan plan;
    plan.failHandleLock = 1;
    host.ArmFaults(plan);
    EXPECT_EQ(host.Call(formatSelectorFilterFile), memFullErr);
    EXPECT_EQ(host.dataWord(), word);
    EXPECT_EQ(host.counts().fileReads, 0);
    // The next call locks it again.
    EXPECT_EQ(host.Call(formatSelectorOptionsStart), noErr);
}

// ---- The suites ---------------------------------------------------------------------------------

TEST(BufferSuite, UsableOnlyAsTheModuleKnowsIt) {
    auto noop = [](BufferID) {};
    BufferProcs complete = {2, 5, [](int32_t, BufferID*) -> OSErr { return noErr; },
                            [](BufferID, Boolean) -> Ptr { return nullptr; }, noop, noop,
                            []() -> int32_t { return 0; }};
    struct Case {
        const char* what;
        BufferProcs procs;
        bool usable;
        bool tooNew;
    };
    BufferProcs v1 = complete, v3 = complete, four = complete, noSpace = complete,
                noAllocate = complete, many = complete;
    v1.bufferProcsVersion = 1;
    v3.bufferProcsVersion = 3;
    four.numBufferProcs = 4;
    noSpace.spaceProc = nullptr;
    noAllocate.allocateProc = nullptr;
    many.numBufferProcs = 9;
    const Case cases[] = {
        {"complete", complete, true, false},    {"version 1", v1, false, false},
        {"version 3", v3, false, true},         {"4 routines", four, false, false},
        {"no spaceProc", noSpace, false, false}, {"no allocateProc", noAllocate, false, false},
        {"more routines than known", many, true, false},
    };
    for (const Case& c : cases) {
        bool tooNew = false;
        EXPECT_EQ(BufferSuiteUsable(&c.procs, &tooNew), c.usable) << c.what;
        EXPECT_EQ(tooNew, c.tooNew) << c.what;
        BufferID id = reinterpret_cast<BufferID>(1);
        if (!c.usable) {
            EXPECT_EQ(BufferAllocate(&c.procs, 16, &id), memFullErr) << c.what;
            EXPECT_EQ(id, nullptr) << c.what;
            EXPECT_EQ(BufferLock(&c.procs, id, false), nullptr) << c.what;
        }
    }
    bool tooNew = false;
    EXPECT_FALSE(BufferSuiteUsable(nullptr, &tooNew));
    EXPECT_FALSE(tooNew);
    tooNew = true;  // never cleared
    EXPECT_TRUE(BufferSuiteUsable(&complete, &tooNew));
    EXPECT_TRUE(tooNew);
}

TEST(HandleSuite, UsableOnlyAsTheModuleKnowsIt) {
    LinkedHost host;
    const HandleProcs complete = host.handleSuite();
    HandleProcs v0 = complete, v2 = complete, six = complete, noSetSize = complete,
                noLock = complete, noUnlock = complete;
    v0.handleProcsVersion = 0;
    v2.handleProcsVersion = 2;
    six.numHandleProcs = 6;
    noSetSize.setSizeProc = nullptr;
    noLock.lockProc = nullptr;
    noUnlock.unlockProc = nullptr;
    struct Case {
        const char* what;
        const HandleProcs* procs;
        bool usable;
        bool tooNew;
    };
    const Case cases[] = {
        {"complete", &complete, true, false}, {"absent", nullptr, false, false},
        {"version 0", &v0, false, false},     {"version 2", &v2, false, true},
        {"6 routines", &six, false, false},   {"no setSizeProc", &noSetSize, false, false},
        {"no lockProc", &noLock, false, false}, {"no unlockProc", &noUnlock, false, false},
    };
    for (const Case& c : cases) {
        bool tooNew = false;
        EXPECT_EQ(HandleSuiteUsable(c.procs, &tooNew), c.usable) << c.what;
        EXPECT_EQ(tooNew, c.tooNew) << c.what;
    }
}

// A host whose handle suite the module cannot use: version 1 with 6 routines, none at all, a
// newer version, or a null lock or unlock routine.
class WithoutHandleSuite : public ::testing::TestWithParam<int> {
protected:
    static HostSetup Setup(int variant) {
        HostSetup setup;
        if (variant == 0) setup.numHandleProcs = 6;
        if (variant == 1) setup.handleSuite = false;
        if (variant == 2) setup.handleProcsVersion = 2;
        if (variant == 3) setup.missingHandleRoutine = tniff::HandleRoutine::lock;
        if (variant == 4) setup.missingHandleRoutine = tniff::HandleRoutine::unlock;
        return setup;
    }
};

TEST_P(WithoutHandleSuite, StateRecordLivesInAFallbackHandle) {
    const int blocksBefore = PlatformGlobalBlocksInUse();
    intptr_t word = 0;
    {
        LinkedHost host(Setup(GetParam()));
        EXPECT_EQ(host.Call(formatSelectorOptionsPrepare, -5), noErr);
        word = host.dataWord();
        ASSERT_NE(word, 0);
        EXPECT_EQ(host.counts().handleNews, 0) << "the host's suite is never called";
        Handle handle = reinterpret_cast<Handle>(word);
        EXPECT_TRUE(FallbackHandleHasTag(handle));
        EXPECT_EQ(memcmp(reinterpret_cast<const char*>(handle) + sizeof(char*), "OTOF", 4), 0);
        EXPECT_EQ(HandleLock(host.record().handleProcs, handle, true), *handle);
        EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore + 2);
        const PluginGlobals& globals = *reinterpret_cast<const PluginGlobals*>(*handle);
        EXPECT_EQ(globals.streamPos, 0u);
        EXPECT_EQ(globals.headerAuxC, 0) << "fallback memory is zero-filled";
        // Kept between calls like a host handle.
        EXPECT_EQ(host.Call(int16_t(99), 0), formatBadParameters);
        EXPECT_EQ(host.dataWord(), word);
        EXPECT_TRUE(HostIsClean(host));
    }
    // The module never disposes of its state record; a test cleans up after it.
    FallbackDisposeHandle(reinterpret_cast<Handle>(word));
    EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore);
}

INSTANTIATE_TEST_SUITE_P(Variants, WithoutHandleSuite, ::testing::Values(0, 1, 2, 3, 4));

TEST(FallbackHandle, BlocksAreZeroFilledTaggedAndReleasedTogether) {
    const int blocksBefore = PlatformGlobalBlocksInUse();
    Handle handle = FallbackNewHandle(100);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore + 2);
    for (int i = 0; i < 100; ++i) ASSERT_EQ((*handle)[i], 0);
    EXPECT_TRUE(FallbackHandleHasTag(handle));
    FallbackDisposeHandle(handle);
    EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore);
    FallbackDisposeHandle(nullptr);  // nothing to do
    EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore);
}

TEST(FallbackHandle, FailureLeavesNothingBehind) {
    const int blocksBefore = PlatformGlobalBlocksInUse();
    for (int nth : {1, 2}) {  // the master record, then the data block, cannot be had
        PlatformFailGlobalAlloc(nth);
        EXPECT_EQ(FallbackNewHandle(64), nullptr) << "allocation " << nth;
        EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore) << "allocation " << nth;
    }
    PlatformFailGlobalAlloc(0);
    EXPECT_EQ(FallbackNewHandle(-1), nullptr);
    EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore);
}

TEST(FallbackHandle, StateRecordThatCannotBeMadeGivesMemFullErr) {
    HostSetup setup;
    setup.handleSuite = false;
    LinkedHost host(setup);
    PlatformFailGlobalAlloc(2);
    EXPECT_EQ(host.Call(formatSelectorOptionsPrepare), memFullErr);
    PlatformFailGlobalAlloc(0);
    EXPECT_EQ(host.dataWord(), 0);
}

TEST(FallbackHandle, HostHandlesAreNeverReleasedAsTheModulesOwn) {
    HostSetup setup;
    LinkedHost host(setup);
    Handle hostHandle = host.SetImageResources(32);
    HandleProcs unusable = host.handleSuite();
    unusable.numHandleProcs = 6;
    const int blocksBefore = PlatformGlobalBlocksInUse();
    HandleDispose(&unusable, hostHandle);
    EXPECT_FALSE(host.HandleDisposed(hostHandle));
    EXPECT_EQ(HandleLock(&unusable, hostHandle, false), nullptr);
    EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore);
    // And a fallback handle is released by the wrapper when the suite is not usable.
    Handle own = HandleNew(&unusable, 8);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore + 2);
    HandleDispose(&unusable, own);
    EXPECT_EQ(PlatformGlobalBlocksInUse(), blocksBefore);
}

// ---- The first-error rule -----------------------------------------------------------------------

TEST(ErrorReport, FirstErrorStands) {
    struct Case {
        int16_t before;
        OSErr posted;
        bool answer;
        int16_t after;
    };
    const Case cases[] = {
        {0, 0, true, 0},         {-108, 0, true, -108},  {0, -39, false, -39},
        {-108, -39, false, -108}, {-19, -30501, false, -19},
    };
    for (const Case& c : cases) {
        int16_t word = c.before;
        EXPECT_EQ(PostError(&word, c.posted), c.answer) << c.before << " " << c.posted;
        EXPECT_EQ(word, c.after) << c.before << " " << c.posted;
    }
}

TEST(ErrorReport, CancelOnlyWhenTheConditionHoldsAndNoErrorStands) {
    int16_t word = 0;
    EXPECT_TRUE(PostCancelIf(&word, false));
    EXPECT_EQ(word, 0);
    EXPECT_FALSE(PostCancelIf(&word, true));
    EXPECT_EQ(word, userCanceledErr);
    word = memFullErr;
    EXPECT_FALSE(PostCancelIf(&word, true));
    EXPECT_EQ(word, memFullErr);
    EXPECT_TRUE(PostCancelIf(&word, false));
    EXPECT_EQ(word, memFullErr);
}

}  // namespace
