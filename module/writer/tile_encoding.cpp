#include "module/writer/tile_encoding.h"

#include <cstddef>
#include <cstring>

#include "module/iffio/byte_stream.h"
#include "module/iffio/iff_format.h"
#include "module/iffio/raw_pixel_order.h"
#include "module/iffio/scratch_buffer.h"
#include "module/shell/error_report.h"
#include "module/shell/host_suites.h"
#include "module/shell/plugin_globals.h"

namespace {
// Host bytes per pixel the writer hands over: gray, gray and a second plane, RGB, RGB and a
// fourth plane.
const uint16_t kMinHostBytesPerPixel = 1;
const uint16_t kMaxHostBytesPerPixel = 4;

// The output of one plane's encoding: o bytes written of capacity.
struct PacketOutput {
    uint8_t* bytes;
    uint32_t used;
    uint32_t capacity;
};

bool RoomFor(const PacketOutput* out, uint32_t count) {
    return out->capacity - out->used >= count;  // used never exceeds capacity
}

// A run packet takes 2 bytes, which the caller has made sure of.
void EmitRun(PacketOutput* out, uint32_t count, uint8_t value) {
    out->bytes[out->used++] = static_cast<uint8_t>(kRunFlag | (count - 1));
    out->bytes[out->used++] = value;
}

// False, writing nothing, when the packet (count + 1 bytes) does not fit.
bool EmitLiteral(PacketOutput* out, const uint8_t* literal, uint32_t count) {
    if (!RoomFor(out, count + 1)) return false;
    out->bytes[out->used++] = static_cast<uint8_t>(count - 1);
    memcpy(out->bytes + out->used, literal, count);
    out->used += count;
    return true;
}

// Bytes of one whole tile of m channels: at most 64 x 64 x 4.
uint32_t TileBytes(uint32_t m) { return kTileEdge * kTileEdge * m; }

// A lower bound of the bytes the encoder needs for all planes of a tile, from its raw form of
// k bytes, m per pixel (the byte of file channel p of pixel i at raw[i * m + m - 1 - p], so each
// plane's bytes lie m apart in stored order). Packets can only save bytes inside a stretch of
// equal bytes: a run packet takes 2 bytes whatever its length, and a stretch of n equal bytes,
// however it is cut into packets, saves at most n - 2; every other byte costs at least itself.
// So the encoding takes at least k minus, for every stretch, its length less 2: one for every
// byte equal to the two before it in its plane.
uint32_t LeastEncodedSize(const uint8_t* raw, uint32_t k, uint32_t m) {
    uint32_t saved = 0;
    for (size_t j = 2 * m; j < k; ++j) {
        saved += static_cast<uint32_t>((raw[j] == raw[j - m]) & (raw[j - m] == raw[j - 2 * m]));
    }
    return k - saved;
}

// The m planes of a tile's raw form, each n bytes, in the order the file holds them (highest
// channel first, which is the raw form's first byte of each pixel).
template <uint32_t M>
void SplitRawTile(const uint8_t* __restrict raw, uint32_t n, uint8_t* planes) {
    uint8_t* __restrict p0 = planes;
    uint8_t* __restrict p1 = planes + n;
    uint8_t* __restrict p2 = planes + 2 * n;
    uint8_t* __restrict p3 = planes + (M > 3 ? 3 : 2) * n;
    for (size_t i = 0; i < n; ++i) {
        p0[i] = raw[i * M];
        p1[i] = raw[i * M + 1];
        p2[i] = raw[i * M + 2];
        if (M > 3) p3[i] = raw[i * M + 3];
    }
}

void SplitRawTile(const uint8_t* raw, uint32_t n, uint32_t m, uint8_t* planes) {
    switch (m) {
    case 3: SplitRawTile<3>(raw, n, planes); break;
    case 4: SplitRawTile<4>(raw, n, planes); break;
    default: break;
    }
}

}  // namespace

uint16_t FileChannelsFor(uint16_t s) { return s >= 3 ? s : static_cast<uint16_t>(s + 2); }

bool TakeTileWork(PluginGlobals* globals, uint16_t s, TileWork* work) {
    *work = TileWork{nullptr, nullptr, nullptr, {nullptr, nullptr, nullptr}};
    const uint16_t q = s < kMinHostBytesPerPixel   ? kMinHostBytesPerPixel
                       : s > kMaxHostBytesPerPixel ? kMaxHostBytesPerPixel
                                                   : s;
    const uint32_t part = TileBytes(FileChannelsFor(q));
    const BufferProcs* procs = globals->formatRecord->bufferProcs;
    // One buffer for all three parts when the host gives it; a refusal is not yet an error.
    BufferID whole = nullptr;
    if (BufferAllocate(procs, static_cast<int32_t>(3 * part), &whole) == noErr) {
        uint8_t* address = reinterpret_cast<uint8_t*>(BufferLock(procs, whole, false));
        if (address != nullptr) {
            *work =
                TileWork{address, address + part, address + 2 * part, {whole, nullptr, nullptr}};
            return true;
        }
        BufferFree(procs, whole);
    }
    uint8_t* parts[3] = {nullptr, nullptr, nullptr};
    for (int k = 0; k < 3; ++k) {
        parts[k] = reinterpret_cast<uint8_t*>(AllocateLockedBuffer(globals, part, &work->ids[k]));
        if (parts[k] == nullptr) {
            ReleaseTileWork(globals, work);
            return false;
        }
    }
    work->raw = parts[0];
    work->planes = parts[1];
    work->output = parts[2];
    return true;
}

void ReleaseTileWork(PluginGlobals* globals, TileWork* work) {
    for (BufferID& id : work->ids) {
        if (id != nullptr) BufferFree(globals->formatRecord->bufferProcs, id);
        id = nullptr;
    }
    work->raw = work->planes = work->output = nullptr;
}

void EncodeTile(PluginGlobals* globals, const uint8_t* pixels, uint32_t w, uint32_t h, uint16_t s,
                const TileWork& work) {
    // With these bounds N is at most 4096 and K at most 16384, so nothing below can overflow and
    // the encoded planes always fit in one transfer.
    if (w < 1 || w > kTileEdge || h < 1 || h > kTileEdge || s < kMinHostBytesPerPixel ||
        s > kMaxHostBytesPerPixel || pixels == nullptr || work.raw == nullptr ||
        work.planes == nullptr || work.output == nullptr) {
        PostError(globals->resultWord, formatBadParameters);
        return;
    }
    const uint16_t m = FileChannelsFor(s);
    const uint32_t n = w * h;
    const uint32_t k = n * m;
    uint8_t* raw = work.raw;
    uint8_t* planes = work.planes;
    uint8_t* output = work.output;

    // The raw form first: it is what a raw tile writes, and the planes are taken from it. Gray
    // is widened to its file channels on the way, in the planes' room, which is free until then.
    if (s >= 3) {
        MakeRawTile(pixels, raw, w, h, s);
    } else {
        ExpandGrayTile(pixels, planes, w, h, s);
        MakeRawTile(planes, raw, w, h, m);
    }

    // When not even the least the planes could take stays below K, the tile is stored raw
    // without trying: noise is not encoded plane after plane only to be thrown away.
    bool compressed = LeastEncodedSize(raw, k, m) < k;
    // Each plane is offered only the room the planes before it left, so a compressed tile is
    // always shorter than its raw form, which is how a reader tells the two apart.
    uint32_t used = 0;
    if (compressed) {
        SplitRawTile(raw, n, m, planes);
        for (uint32_t q = 0; q < m; ++q) {
            const uint32_t encoded =
                EncodeRunLengthPlane(planes + q * n, n, output + used, k - used);
            if (encoded == 0) {
                compressed = false;
                break;
            }
            used += encoded;
        }
    }

    uint32_t count = compressed ? used : k;
    WriteBytes(globals, &count, compressed ? output : raw);
}

uint32_t EncodeRunLengthPlane(const uint8_t* input, uint32_t length, uint8_t* output,
                              uint32_t capacity) {
    PacketOutput out = {output, 0, capacity};
    // Every packet starts afresh at i: a byte followed by its repeat starts a run, any other a
    // literal. Packets are emitted only whole and only when they fit, so nothing is written at or
    // past the capacity, and the answer is all or nothing.
    uint32_t i = 0;
    while (i < length) {
        const uint8_t value = input[i];
        const uint32_t left = length - i;
        if (left >= 2 && input[i + 1] == value) {
            // A run takes every following equal byte, up to the longest packet.
            const uint32_t most = left < kLongestPacket ? left : kLongestPacket;
            uint32_t count = 2;
            // Eight bytes at a time while they all equal the run's byte, then byte by byte.
            const uint64_t pattern = 0x0101010101010101ull * value;
            while (most - count >= 8) {
                uint64_t word;
                memcpy(&word, input + i + count, sizeof word);
                if (word != pattern) break;
                count += 8;
            }
            while (count < most && input[i + count] == value) ++count;
            if (!RoomFor(&out, 2)) return 0;
            EmitRun(&out, count, value);
            i += count;
            continue;
        }
        // A literal. It takes in pairs of equal bytes, but ends before three equal bytes in a row
        // when they start within its first 126 bytes, since they cost less as a run. A repeat
        // whose first byte would be the literal's 127th leaves as a run of its own, and otherwise
        // the literal stops at the longest packet or the end of the plane.
        uint32_t count = left < kLongestPacket ? left : kLongestPacket;
        for (uint32_t t = 1; t + 1 < left && t < kLongestPacket - 1;) {
            const uint8_t b = input[i + t];
            if (input[i + t + 1] != b) {
                ++t;
                continue;
            }
            if (t == kLongestPacket - 2 || (t + 2 < left && input[i + t + 2] == b)) {
                count = t;
                break;
            }
            t += 2;  // a pair the literal keeps; the byte after it differs
        }
        if (!EmitLiteral(&out, input + i, count)) return 0;
        i += count;
    }
    return out.used < capacity ? out.used : 0;
}

void ExpandGrayTile(const uint8_t* source, uint8_t* destination, uint32_t w, uint32_t h,
                    uint16_t s) {
    const uint32_t sourceBytes = w * h * s;
    uint32_t o = 0;
    for (uint32_t index = 0; index < sourceBytes; ++index) {
        const uint8_t value = source[index];
        destination[o++] = value;
        if (s == 1 || (s == 2 && index % 2 == 0)) {
            destination[o++] = value;
            destination[o++] = value;
        }
    }
}
