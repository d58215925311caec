#include "module/reader/depth_normalisation.h"

static uint32_t DepthValue(const uint8_t* p) {
    return (static_cast<uint32_t>(p[3]) << 24) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[1]) << 8) | static_cast<uint32_t>(p[0]);
}

DepthRange EmptyDepthRange() { return DepthRange{0xFFFFFFFFu, 0}; }

void SurveyDepth(DepthRange* range, const uint8_t* pixels, uint32_t count) {
    for (uint32_t o = 0; o < count; ++o) {
        const uint8_t* p = pixels + 4 * static_cast<uint64_t>(o);
        if (p[3] == 0) continue;  // no depth here
        const uint32_t v = DepthValue(p);
        if (v < range->minimum) range->minimum = v;
        if (range->maximum < v) range->maximum = v;
    }
}

void NormaliseDepth(const DepthRange& range, uint8_t* pixels, uint32_t count) {
    // Taken once: the stores below go through a byte pointer, which may alias the range.
    const uint32_t minimum = range.minimum;
    const uint32_t span = range.maximum - minimum;
    // Byte o is written after pixel o (at 4 x o, never before o) has been read, so compacting
    // in place is safe.
    for (uint32_t o = 0; o < count; ++o) {
        const uint8_t* p = pixels + 4 * static_cast<uint64_t>(o);
        uint8_t result = 0;
        if (p[3] != 0) {
            const uint32_t v = DepthValue(p);
            // A value outside the surveyed range (from a depth tile the survey did not see) is
            // clamped to its nearer end: below the minimum it gives 0, never a difference
            // wrapped round to the far end.
            if (v < minimum) {
                result = 0;
            } else if (span == 0) {
                result = 255;
            } else {
                // Exact in 64 bits: d x 256 is below 2^40.
                const uint64_t scaled = static_cast<uint64_t>(v - minimum) * 256u / span;
                result = scaled >= 255 ? 255 : static_cast<uint8_t>(scaled);
            }
        }
        pixels[o] = result;
    }
}
