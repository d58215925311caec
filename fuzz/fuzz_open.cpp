// Opening: the input is a file, opened through ENTRYPOINT on our host with every callback
// checked. Any violation of the interface (a leak, a hand-over outside the image, a buffer left
// locked ...) aborts, and so does a successful open that leaves the chunk stack holding entries
// or that has not delivered an image. The library's own reader of the format walks the same
// bytes, checking every run stream and decoding the depth values as stored.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/host.h"
#include "module/iffio/chunk_stack.h"
#include "tarniff/tarniff.h"
#include "tests/support/linked_module.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InstallQuietStrictHost();
    static const std::string path = fuzz::ScratchPath(".iff");
    fuzz::WriteFile(path, data, size);

    tniff::HostSetup setup;
    // Files may describe images of up to 65535 pixels a side; the host declines what does not
    // fit a small machine, as an editor would, so that the fuzzer's memory stays bounded.
    setup.maxImageBytes = 16u << 20;
    setup.maxBufferBytes = 16 << 20;
    {
        LinkedHost host(setup);
        const OSErr result = host.Open(path);
        fuzz::RequireClean(host, "open");
        if (result == noErr) {
            // An open that stopped early may leave chunks open: the next read or write empties
            // the stack before it starts. A complete one closes every chunk it opened.
            if (ChunkStackDepth() != 0) fuzz::Fail("the chunk stack holds entries after an open");
            const tniff::Image& image = host.image();
            if (image.empty() || image.planes() < 1 || image.planes() > 5) {
                fuzz::Fail("an open reported success without an image");
            }
        }
    }
    // The depth values as stored take 4 bytes a pixel of the header's image: only for images
    // the fuzzer's memory holds.
    const tarniff::Layout layout = tarniff::WalkLayout(data, size);
    if (layout.hasDepth && uint64_t(layout.header.width) * layout.header.height <= (4u << 20)) {
        tarniff::RawDepth raw;
        tarniff::WalkSettings settings;
        settings.rawDepth = &raw;
        const tarniff::Layout again = tarniff::WalkLayout(data, size, settings);
        if (again.damagedTiles.size() != layout.damagedTiles.size() ||
            again.damage.reason != layout.damage.reason) {
            fuzz::Fail("decoding the depth changed what the walk found");
        }
    }
    return 0;
}
