#include "writer/tile_encoding.h"

#include <cstring>

#include "iffio/byte_stream.h"
#include "iffio/iff_format.h"
#include "iffio/raw_pixel_order.h"
#include "shell/error_report.h"
#include "shell/host_suites.h"
#include "shell/plugin_globals.h"

namespace {
// Host bytes per pixel the writer hands over: gray, gray and a second plane, RGB, RGB and a
// fourth plane.
const uint16_t kMinHostBytesPerPixel = 1;
const uint16_t kMaxHostBytesPerPixel = 4;
// The host channel of the gray value, and of the plane that follows it in a two-plane image.
const uint16_t kGrayChannel = 0;
const uint16_t kGraySecondChannel = 1;
// The file channel of alpha when a tile carries four channels.
const uint16_t kAlphaFileChannel = 3;

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

// The host channel that file channel p of a tile of s host bytes per pixel is taken from.
uint16_t HostChannelFor(uint16_t s, uint16_t p) {
    if (s >= 3) return p;
    return p == kAlphaFileChannel ? kGraySecondChannel : kGrayChannel;
}

// One plane in stored pixel order: tile rows bottom first, each left to right.
void GatherPlane(const uint8_t* pixels, uint32_t w, uint32_t h, uint16_t s, uint16_t channel,
                 uint8_t* plane) {
    uint32_t k = 0;
    for (uint32_t y = h; y-- > 0;) {
        const uint8_t* row = pixels + y * w * s;
        for (uint32_t x = 0; x < w; ++x) plane[k++] = row[x * s + channel];
    }
}

// A lower bound of the bytes the encoder needs for file channel p of the tile. Packets can only
// save bytes inside a stretch of equal bytes: a run packet of k bytes takes 2, and a stretch of
// n equal bytes, however it is cut into packets, saves at most n - 2; every other byte costs at
// least itself. So the encoding takes at least N minus, for every stretch, its length less 2.
uint32_t LeastEncodedSize(const uint8_t* pixels, uint32_t w, uint32_t h, uint16_t s, uint16_t channel) {
    const uint32_t n = w * h;
    uint32_t saved = 0;
    // The bytes in stored order (rows bottom first); b1 and b2 are the two before the current one.
    int b1 = -1, b2 = -2;
    for (uint32_t y = h; y-- > 0;) {
        const uint8_t* row = pixels + y * w * s + channel;
        for (uint32_t x = 0; x < w; ++x) {
            const int b = row[x * s];
            saved += (b == b1) & (b1 == b2);
            b2 = b1;
            b1 = b;
        }
    }
    return n - saved;
}

// A locked host work buffer; id 0 when there is none.
struct WorkBuffer {
    BufferID id;
    uint8_t* bytes;
};

// Posts the allocation's code and gives false when the buffer cannot be had. A buffer that the
// host gives but will not lock is released again and counts as memory the host lacks.
bool ObtainWorkBuffer(PluginGlobals* globals, uint32_t size, WorkBuffer* buffer) {
    const BufferProcs* procs = globals->formatRecord->bufferProcs;
    buffer->bytes = nullptr;
    if (!PostError(globals->resultWord,
                   BufferAllocate(procs, static_cast<int32_t>(size), &buffer->id))) {
        buffer->id = nullptr;
        return false;
    }
    buffer->bytes = reinterpret_cast<uint8_t*>(BufferLock(procs, buffer->id, false));
    if (buffer->bytes == nullptr) {
        BufferFree(procs, buffer->id);
        buffer->id = nullptr;
        PostError(globals->resultWord, memFullErr);
        return false;
    }
    return true;
}

// The host releases a locked buffer whole; no unlock comes first.
void ReleaseWorkBuffer(PluginGlobals* globals, WorkBuffer* buffer) {
    if (buffer->id != nullptr) BufferFree(globals->formatRecord->bufferProcs, buffer->id);
    buffer->id = nullptr;
    buffer->bytes = nullptr;
}
}  // namespace

uint16_t FileChannelsFor(uint16_t s) { return s >= 3 ? s : static_cast<uint16_t>(s + 2); }

void EncodeTile(PluginGlobals* globals, const uint8_t* pixels, uint32_t w, uint32_t h,
                uint16_t s) {
    // With these bounds N is at most 4096 and K at most 16384, so nothing below can overflow and
    // the encoded planes always fit in one transfer.
    if (w < 1 || w > kTileEdge || h < 1 || h > kTileEdge || s < kMinHostBytesPerPixel ||
        s > kMaxHostBytesPerPixel || pixels == nullptr) {
        PostError(globals->resultWord, formatBadParameters);
        return;
    }
    const uint16_t m = FileChannelsFor(s);
    const uint32_t n = w * h;
    const uint32_t k = n * m;

    WorkBuffer plane;
    if (!ObtainWorkBuffer(globals, n, &plane)) return;
    WorkBuffer output;
    if (!ObtainWorkBuffer(globals, k, &output)) {
        ReleaseWorkBuffer(globals, &plane);
        return;
    }

    // Each plane is offered only the room the planes before it left, so a compressed tile is
    // always shorter than its raw form, which is how a reader tells the two apart.
    uint32_t used = 0;
    bool compressed = true;
    // When not even the least the planes could take stays below K, the tile is stored raw
    // without trying: noise is not encoded plane after plane only to be thrown away.
    uint32_t least = 0;
    for (uint16_t p = m; p-- > 0;) least += LeastEncodedSize(pixels, w, h, s, HostChannelFor(s, p));
    if (least >= k) compressed = false;
    for (uint16_t p = m; compressed && p-- > 0;) {
        GatherPlane(pixels, w, h, s, HostChannelFor(s, p), plane.bytes);
        uint32_t encoded = EncodeRunLengthPlane(plane.bytes, n, output.bytes + used, k - used);
        if (encoded == 0) {
            compressed = false;
            break;
        }
        used += encoded;
    }

    if (compressed) {
        uint32_t count = used;
        WriteBytes(globals, &count, output.bytes);
    } else if (s >= 3) {
        // The host's tile stays as it was given; its raw form is made in the output area.
        memcpy(output.bytes, pixels, k);
        WriteRawTile(globals, output.bytes, w, h, s);
    } else {
        ExpandGrayTile(pixels, output.bytes, w, h, s);
        WriteRawTile(globals, output.bytes, w, h, m);
    }
    ReleaseWorkBuffer(globals, &output);
    ReleaseWorkBuffer(globals, &plane);
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

void WriteRawTile(PluginGlobals* globals, uint8_t* pixels, uint32_t w, uint32_t h, uint16_t q) {
    if (q < 1 || q > kMaxHostBytesPerPixel) return;
    FlipRawPixelOrder(pixels, w, h, q);
    uint32_t count = w * h * q;  // at most 64 x 64 x 4
    WriteBytes(globals, &count, pixels);
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
