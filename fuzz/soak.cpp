// The soak: one process opens and saves many varied small images through our host and checks
// every result, that nothing leaks and that resident memory stays flat.
//
//     tniff_soak [COUNT] [--max-growth PERCENT]
//
// Image i alternates between
//  - a save and an open again: 1 to 5 planes, 1 to 150 pixels a side, pixels of 2 to 256 levels
//    (so that tiles are written both compressed and raw); the opened image must be what a saved
//    image gives back;
//  - an open of a file composed with the test-side file builder: 0, 1, 3 or 4 colour channels,
//    with or without a depth buffer, tiles of 1 to 64 pixels a side in any order, raw or
//    compressed; the opened image must be the one the file was built from.
// Every host must end clean (no violation, no buffer left) and the module's global blocks must
// come back to their count. Resident memory is printed every 1000 images; with --max-growth the
// run fails when the figure at the end exceeds the one after the first 1000 images (or the first
// tenth of a shorter run) by more than PERCENT.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/host.h"
#include "module/iffio/chunk_stack.h"
#include "module/platform/portable_hooks.h"
#include "tests/support/iff_builder.h"
#include "tests/support/linked_module.h"
#include "tests/support/saved_image.h"

namespace {

struct Random {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 33);
    }
    int Between(int lo, int hi) { return lo + int(Next() % uint32_t(hi - lo + 1)); }
};

long ResidentKiB() {
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(statm);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void RequireCleanEnd(tniff::Host& host, const std::string& what) {
    fuzz::RequireClean(host, what.c_str());
    if (host.memory().LiveBuffers() != 0) fuzz::Fail(what + ": a buffer outlived the operation");
    if (ChunkStackDepth() != 0) fuzz::Fail(what + ": the chunk stack holds entries");
}

void SaveAndOpen(Random& random, const std::string& path, const std::string& what) {
    const int planes = random.Between(1, 5);
    tniff::Image image(random.Between(1, 150), random.Between(1, 150), planes);
    const int levels = random.Between(0, 2) == 0 ? 256 : random.Between(2, 4);
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) image.at(p, y, x) = uint8_t(random.Next() % uint32_t(levels) * 60);
    {
        LinkedHost saver;
        if (saver.Save(image, path) != noErr) fuzz::Fail(what + ": the save failed");
        RequireCleanEnd(saver, what + " save");
    }
    LinkedHost opener;
    if (opener.Open(path) != noErr) fuzz::Fail(what + ": the saved file does not open");
    RequireCleanEnd(opener, what + " open");
    if (opener.image() != ExpectedAfterOpen(image)) fuzz::Fail(what + ": the saved file opens to another image");
}

void OpenBuilt(Random& random, const std::string& path, const std::string& what) {
    static const int kChannels[] = {0, 1, 3, 4};
    iffbuild::FileSpec fileSpec;
    const int channels = kChannels[random.Between(0, 3)];
    const bool depth = channels == 0 || random.Between(0, 1) == 1;
    fileSpec.image = iffbuild::Image::Blank(uint32_t(random.Between(1, 150)), uint32_t(random.Between(1, 150)),
                                        channels, depth);
    fileSpec.image.FillRandom(random.Next(), random.Between(0, 2) == 0 ? 256 : random.Between(2, 4));
    if (depth) fileSpec.image.FillRandomDepth(random.Next());
    fileSpec.tileWidth = uint16_t(random.Between(0, 1) == 0 ? 64 : random.Between(1, 64));
    fileSpec.tileHeight = uint16_t(random.Between(0, 1) == 0 ? 64 : random.Between(1, 64));
    fileSpec.order = iffbuild::TileOrder(random.Between(0, 2));
    fileSpec.kinds = iffbuild::KindOrder(random.Between(0, 3));
    fileSpec.seed = random.Next();
    fileSpec.form = random.Between(0, 2) == 0 ? iffbuild::Form::Raw : iffbuild::Form::Smallest;
    const iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
    const iffbuild::ExpectedImage want = iffbuild::ExpectRead(fileSpec).image;
    fuzz::WriteFile(path, built.bytes.data(), built.bytes.size());

    LinkedHost opener;
    if (opener.Open(path) != noErr) fuzz::Fail(what + ": a built file does not open");
    RequireCleanEnd(opener, what + " open");
    const tniff::Image& got = opener.image();
    if (got.width() != int(want.width) || got.height() != int(want.height) || got.planes() != want.Planes()) {
        fuzz::Fail(what + ": a built file opens to an image of another size");
    }
    for (int p = 0; p < want.Planes(); ++p)
        for (uint32_t y = 0; y < want.height; ++y)
            for (uint32_t x = 0; x < want.width; ++x)
                if (got.at(p, int(y), int(x)) != want.At(x, y, p)) fuzz::Fail(what + ": a built file opens to other pixels");
}

}  // namespace

int main(int argc, char** argv) {
    long count = 10000;
    double maxGrowth = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--max-growth") == 0 && i + 1 < argc) {
            maxGrowth = std::atof(argv[++i]);
        } else {
            count = std::atol(argv[i]);
        }
    }
    if (count < 1) {
        std::fprintf(stderr, "usage: tniff_soak [COUNT] [--max-growth PERCENT]\n");
        return 2;
    }
    fuzz::InstallQuietStrictHost();
    const std::string path = fuzz::ScratchPath(".iff");
    const int blocks = PlatformGlobalBlocksInUse();
    const long mark = count >= 10000 ? 1000 : (count >= 10 ? count / 10 : 1);
    long residentAtMark = -1;
    Random random{20261208};
    for (long i = 1; i <= count; ++i) {
        const std::string what = "image " + std::to_string(i);
        if (i % 2 == 0) {
            SaveAndOpen(random, path, what);
        } else {
            OpenBuilt(random, path, what);
        }
        if (PlatformGlobalBlocksInUse() != blocks) fuzz::Fail(what + ": global memory blocks leaked");
        if (i % 1000 == 0 || i == mark || i == count) {
            const long resident = ResidentKiB();
            if (i == mark) residentAtMark = resident;
            std::printf("soak: %ld images, resident %ld KiB\n", i, resident);
            std::fflush(stdout);
        }
    }
    const long residentAtEnd = ResidentKiB();
    std::remove(path.c_str());
    const double growth = residentAtMark > 0 ? 100.0 * double(residentAtEnd - residentAtMark) / double(residentAtMark) : 0;
    std::printf("soak: %ld images right; resident %ld KiB after %ld, %ld KiB at the end (%+.1f%%)\n", count,
                residentAtMark, mark, residentAtEnd, growth);
    if (maxGrowth >= 0 && growth > maxGrowth) {
        std::fprintf(stderr, "soak: resident memory grew by more than %.1f%%\n", maxGrowth);
        return 1;
    }
    return 0;
}
