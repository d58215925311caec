// Saving: the input chooses an image (1 to 256 pixels a side, 1 to 5 planes, its pixels), how
// the host presents itself (each suite present, absent, too old, too new or short of a routine;
// with or without progressProc and advanceState) and one fault (a buffer allocation, a new
// handle, a handle lock, a write, a short write or a hand-over failing at the Nth call, once or
// from then on). A save that succeeds must open again, on a plain host, to what a saved image
// gives back: gray as three equal channels, a second or fourth plane as alpha, a fifth plane
// dropped. A save that fails must leave nothing behind: no buffer, handle or global block.
//
// Input layout: width-1, height-1, planes, buffer suite, handle suite, host calls, fault kind,
// fault call (two bytes), then the pixels, repeated as often as the image needs.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/host.h"
#include "module/iffio/chunk_stack.h"
#include "module/platform/portable_hooks.h"
#include "module/shell/fallback_handle.h"
#include "module/shell/host_suites.h"
#include "tests/support/linked_module.h"
#include "tests/support/saved_image.h"

namespace {

void ChooseBufferSuite(uint8_t choice, tniff::HostSetup* setup) {
    switch (choice % 8) {
        case 0: setup->bufferSuite = false; break;
        case 1: setup->bufferProcsVersion = kCurrentBufferProcsVersion - 1; break;
        case 2: setup->bufferProcsVersion = kCurrentBufferProcsVersion + 1; break;
        case 3: setup->numBufferProcs = kCurrentBufferProcsCount - 1; break;
        case 4: setup->missingBufferRoutine = tniff::BufferRoutine(1 + (choice / 8) % 5); break;
        default: break;  // a complete suite
    }
}

void ChooseHandleSuite(uint8_t choice, tniff::HostSetup* setup) {
    switch (choice % 8) {
        case 0: setup->handleSuite = false; break;
        case 1: setup->handleProcsVersion = kCurrentHandleProcsVersion - 1; break;
        case 2: setup->handleProcsVersion = kCurrentHandleProcsVersion + 1; break;
        case 3: setup->numHandleProcs = kCurrentHandleProcsCount - 1; break;
        case 4: setup->missingHandleRoutine = tniff::HandleRoutine(1 + (choice / 8) % 7); break;
        default: break;
    }
}

tniff::FaultPlan ChooseFault(uint8_t kind, uint32_t call) {
    tniff::FaultPlan plan;
    const int64_t at = int64_t(call) + 1;
    switch (kind % 8) {
        case 1: plan.failBufferAllocation = at; break;
        case 2: plan.failHandleNew = at; break;
        case 3: plan.failHandleLock = at; break;
        case 4: plan.failFileWrite = at; break;
        case 5: plan.shortFileWrite = at; break;
        case 6: plan.failAdvanceState = at; break;
        default: break;  // no fault
    }
    plan.persistent = (kind & 0x80) != 0;
    return plan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InstallQuietStrictHost();
    static const std::string path = fuzz::ScratchPath(".iff");

    fuzz::InputReader input(data, size);
    const int width = 1 + input.Byte();
    const int height = 1 + input.Byte();
    const int planes = 1 + input.Byte() % 5;
    tniff::HostSetup setup;
    ChooseBufferSuite(input.Byte(), &setup);
    ChooseHandleSuite(input.Byte(), &setup);
    const uint8_t calls = input.Byte();
    setup.progress = (calls & 1) == 0;
    setup.advanceState = (calls & 2) == 0;
    const uint8_t faultKind = input.Byte();
    const tniff::FaultPlan plan = ChooseFault(faultKind, input.U16());

    tniff::Image image(width, height, planes);
    const uint8_t* pixels = input.rest();
    const size_t pixelCount = input.restSize();
    if (pixelCount != 0) {
        size_t i = 0;
        for (int p = 0; p < planes; ++p)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) image.at(p, y, x) = pixels[i++ % pixelCount];
    }

    const int blocksBefore = PlatformGlobalBlocksInUse();
    OSErr result = noErr;
    {
        LinkedHost saver(setup);
        saver.ArmFaults(plan);
        result = saver.Save(image, path);
        fuzz::RequireClean(saver, "save");
        if (ChunkStackDepth() != 0) fuzz::Fail("the chunk stack holds entries after a save");
        if (saver.memory().LiveBuffers() != 0) fuzz::Fail("a buffer outlived the save");
        // The module keeps its state record for the host's lifetime; a record in one of its own
        // handles is released here, as the host would on unloading it.
        Handle state = reinterpret_cast<Handle>(saver.dataWord());
        if (state != nullptr && !HandleSuiteUsable(saver.record().handleProcs)) {
            if (!FallbackHandleHasTag(state)) fuzz::Fail("the data word holds no handle of the module's");
            FallbackDisposeHandle(state);
        }
    }
    if (PlatformGlobalBlocksInUse() != blocksBefore) fuzz::Fail("global memory outlived the save");
    if (result != noErr) return 0;

    LinkedHost opener;
    if (opener.Open(path) != noErr) fuzz::Fail("a saved file does not open");
    fuzz::RequireClean(opener, "open after save");
    if (opener.image() != ExpectedAfterOpen(image)) fuzz::Fail("a saved file opens to another image");
    return 0;
}
