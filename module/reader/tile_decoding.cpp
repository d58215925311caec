#include "module/reader/tile_decoding.h"

#include <cstring>

#include "module/iffio/byte_stream.h"
#include "module/iffio/iff_format.h"
#include "module/iffio/raw_pixel_order.h"
#include "module/iffio/scratch_buffer.h"
#include "module/shell/error_report.h"
#include "module/shell/host_suites.h"
#include "module/shell/plugin_globals.h"

bool DecodedTileSize(uint32_t w, uint32_t h, uint32_t m, uint32_t* size) {
    if (m == 0 || m > kMostBytesPerPixel) return false;
    // w and h are below 2^32 each and m at most 4, so the product is checked in 64 bits only once
    // the first factor is known to be small enough.
    const uint64_t pixels = static_cast<uint64_t>(w) * h;
    if (pixels > kLargestHostBuffer / m) return false;
    *size = static_cast<uint32_t>(pixels * m);
    return true;
}

uint32_t DecodeRunLengthInto(const uint8_t* input, uint32_t L, uint32_t* position, uint8_t* plane,
                             uint32_t P) {
    // Invariant: i <= P and *position <= L, so every byte touched below is inside its buffer.
    uint32_t i = 0;
    uint32_t pos = *position;
    while (i < P && pos < L) {
        const uint8_t control = input[pos++];
        const uint32_t n = (control & kCountMask) + 1u;
        if (n > P - i) break;  // a run never crosses into the next plane
        const uint32_t available = L - pos;
        if (control & kRunFlag) {
            if (available == 0) break;
            memset(plane + i, input[pos++], n);
            i += n;
        } else {
            const uint32_t copied = n < available ? n : available;
            memcpy(plane + i, input + pos, copied);
            pos += copied;
            i += copied;
        }
    }
    *position = pos;
    // What the runs did not reach stays 0; everything before it was written by them.
    memset(plane + i, 0, P - i);
    return i;
}

BufferID DecodeRunLengthPlane(PluginGlobals* globals, uint32_t P, BufferID payload, uint32_t L,
                              uint32_t* position) {
    const BufferProcs* procs = globals->formatRecord->bufferProcs;
    if (P > kLargestHostBuffer) {
        PostError(globals->resultWord, formatCannotRead);
        return nullptr;
    }
    BufferID planeId = nullptr;
    if (!PostError(globals->resultWord, BufferAllocate(procs, static_cast<int32_t>(P), &planeId))) {
        return nullptr;
    }
    uint8_t* plane = reinterpret_cast<uint8_t*>(BufferLock(procs, planeId, false));
    if (plane == nullptr) {
        BufferFree(procs, planeId);
        PostError(globals->resultWord, memFullErr);
        return nullptr;
    }
    const uint8_t* input = reinterpret_cast<const uint8_t*>(BufferLock(procs, payload, false));
    if (input == nullptr) {
        BufferUnlock(procs, planeId);
        BufferFree(procs, planeId);
        PostError(globals->resultWord, memFullErr);
        return nullptr;
    }
    DecodeRunLengthInto(input, L, position, plane, P);
    BufferUnlock(procs, planeId);
    BufferUnlock(procs, payload);
    return planeId;
}

namespace {
// One row of w pixels of M bytes from M plane rows, source[k] the row of channel k. The rows
// and the pixels never overlap.
template <uint32_t M>
void InterleaveRow(const uint8_t* const* source, uint32_t w, uint8_t* __restrict out) {
    const uint8_t* __restrict p0 = source[0];
    const uint8_t* __restrict p1 = source[M > 1 ? 1 : 0];
    const uint8_t* __restrict p2 = source[M > 2 ? 2 : 0];
    const uint8_t* __restrict p3 = source[M > 3 ? 3 : 0];
    for (size_t x = 0; x < w; ++x) {
        out[x * M] = p0[x];
        if (M > 1) out[x * M + 1] = p1[x];
        if (M > 2) out[x * M + 2] = p2[x];
        if (M > 3) out[x * M + 3] = p3[x];
    }
}

// The m planes of P bytes (plane k at planes + k * P, tile rows bottom first) as w x h pixels of
// M bytes, top row first.
template <uint32_t M>
void InterleavePlanes(const uint8_t* planes, uint32_t w, uint32_t h, uint8_t* out) {
    const uint32_t P = w * h;
    for (uint32_t r = 0; r < h; ++r) {
        const uint32_t s = (h - 1 - r) * w;
        const uint8_t* source[M];
        for (uint32_t k = 0; k < M; ++k) source[k] = planes + k * P + s;
        InterleaveRow<M>(source, w, out + static_cast<size_t>(r) * w * M);
    }
}

void InterleavePlanes(const uint8_t* planes, uint32_t w, uint32_t h, uint32_t m, uint8_t* out) {
    switch (m) {
    case 1: InterleavePlanes<1>(planes, w, h, out); break;
    case 2: InterleavePlanes<2>(planes, w, h, out); break;
    case 3: InterleavePlanes<3>(planes, w, h, out); break;
    case 4: InterleavePlanes<4>(planes, w, h, out); break;
    default: break;
    }
}
}  // namespace

bool ReadCompressedTile(PluginGlobals* globals, uint32_t w, uint32_t h, uint32_t m,
                        BufferID payload, uint32_t L) {
    const BufferProcs* procs = globals->formatRecord->bufferProcs;
    uint32_t tileBytes = 0;
    if (!DecodedTileSize(w, h, m, &tileBytes)) {
        PostError(globals->resultWord, formatCannotRead);
        return false;
    }
    const uint32_t P = w * h;  // fits: tileBytes does

    // All m planes in one buffer, plane k at k * P.
    BufferID planesId = nullptr;
    uint8_t* planes = reinterpret_cast<uint8_t*>(AllocateLockedBuffer(globals, tileBytes, &planesId));
    if (planes == nullptr) return false;
    const uint8_t* input = reinterpret_cast<const uint8_t*>(BufferLock(procs, payload, false));
    if (input == nullptr) {
        BufferFree(procs, planesId);
        PostError(globals->resultWord, memFullErr);
        return false;
    }
    uint32_t position = 0;
    // The payload holds the planes highest channel first.
    for (uint32_t k = m; k-- > 0;) {
        DecodeRunLengthInto(input, L, &position, planes + k * P, P);
    }
    BufferUnlock(procs, payload);

    GrowScratch(globals, tileBytes);
    uint8_t* out = globals->scratchPtr;
    if (out != nullptr) InterleavePlanes(planes, w, h, m, out);
    BufferFree(procs, planesId);
    return out != nullptr;
}

bool ReadRawTile(PluginGlobals* globals, uint32_t w, uint32_t h, uint32_t m) {
    uint32_t tileBytes = 0;
    if (!DecodedTileSize(w, h, m, &tileBytes)) {
        PostError(globals->resultWord, formatCannotRead);
        return false;
    }
    GrowScratch(globals, tileBytes);
    uint8_t* out = globals->scratchPtr;
    if (out == nullptr) return false;
    // The whole tile in one transfer. Reads never clear an earlier error, so one look tells
    // whether this tile and everything before it arrived; a cut tile is not handed over.
    uint32_t count = tileBytes;
    ReadBytes(globals, &count, out);
    if (count != tileBytes || *globals->resultWord != noErr) return false;
    // Stored bottom row first, each pixel's bytes from channel m - 1 down to channel 0.
    FlipRawPixelOrder(out, w, h, m);
    return true;
}
