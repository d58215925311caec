// The run-length coder alone, through its two functions.
//  - Round trip (first byte even): the input after three bytes is a plane; it is encoded once
//    with room to spare and once into a buffer of exactly the capacity the input chooses. The
//    encoder never touches a byte at or past the capacity, gives the whole encoding exactly when
//    it is shorter than the capacity and 0 otherwise, and the whole encoding decodes to the plane.
//  - Any stream (first byte odd): the rest of the input is decoded as a run stream into a plane of
//    the size and from the start the input chooses. Nothing is read or written outside the
//    payload or plane, the position stays within the payload, and every buffer is unlocked and
//    released again.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "module/reader/tile_decoding.h"
#include "module/shell/plugin_globals.h"
#include "tests/support/test_buffer_suite.h"
#include "module/writer/tile_encoding.h"

namespace {

struct Decoder {
    TestBufferSuite buffers;
    FormatRecord record{};
    int16_t result = 0;
    PluginGlobals globals{};

    Decoder() {
        record.bufferProcs = &buffers.procs;
        globals.resultWord = &result;
        globals.formatRecord = &record;
    }

    BufferID Payload(const uint8_t* bytes, uint32_t length) {
        // Never empty: the test suite cannot lock a buffer of no bytes, where a host could.
        BufferID id = nullptr;
        if (TestBufferSuite::Allocate(int32_t(length == 0 ? 1 : length), &id) != noErr) fuzz::Fail("no payload buffer");
        if (length != 0) std::memcpy(buffers.live[id].data(), bytes, length);
        return id;
    }

    void RequireAllReleased(const char* what) {
        for (const auto& lock : buffers.locks)
            if (lock.second != 0) fuzz::Fail(std::string(what) + ": a buffer left locked");
        if (!buffers.live.empty()) fuzz::Fail(std::string(what) + ": a buffer left allocated");
    }
};

void RoundTrip(fuzz::InputReader& input) {
    const uint32_t capacity = input.U16();
    const uint8_t* plane = input.rest();
    const uint32_t length = uint32_t(input.restSize());

    // Literal packets add one byte in 128, so this always has room to spare.
    const uint32_t roomy = length + length / 64 + 16;
    std::vector<uint8_t> whole(roomy);
    const uint32_t wholeLength = EncodeRunLengthPlane(plane, length, whole.data(), roomy);
    if (length != 0 && wholeLength == 0) fuzz::Fail("an encoding with room to spare gave up");
    if (wholeLength >= roomy) fuzz::Fail("an encoding as long as its capacity was given");

    // Exactly capacity bytes: the sanitizer sees any byte written at or past it.
    std::unique_ptr<uint8_t[]> tight(new uint8_t[capacity]);
    const uint32_t tightLength = EncodeRunLengthPlane(plane, length, tight.get(), capacity);
    if (tightLength != 0) {
        if (tightLength != wholeLength) fuzz::Fail("the capacity changed the encoding's length");
        if (std::memcmp(tight.get(), whole.data(), tightLength) != 0) fuzz::Fail("the capacity changed the encoding");
    } else if (length != 0 && wholeLength < capacity) {
        fuzz::Fail("an encoding that fits was refused");
    }

    if (length == 0) return;
    Decoder decoder;
    BufferID payload = decoder.Payload(whole.data(), wholeLength);
    uint32_t position = 0;
    BufferID decoded = DecodeRunLengthPlane(&decoder.globals, length, payload, wholeLength, &position);
    if (decoded == nullptr) fuzz::Fail("no plane decoded");
    if (position != wholeLength) fuzz::Fail("decoding stopped before the end of the encoding");
    if (std::memcmp(decoder.buffers.live.at(decoded).data(), plane, length) != 0) {
        fuzz::Fail("a decoded plane differs from the encoded one");
    }
    TestBufferSuite::Free(decoded);
    TestBufferSuite::Free(payload);
    decoder.RequireAllReleased("round trip");
}

void AnyStream(fuzz::InputReader& input) {
    const uint32_t planeSize = 1 + input.U16() % 8192;  // a tile plane holds at least one pixel
    const uint8_t startChoice = input.Byte();
    const uint32_t length = uint32_t(input.restSize());
    const uint32_t start = length == 0 ? 0 : startChoice % (length + 1);
    Decoder decoder;
    BufferID payload = decoder.Payload(input.rest(), length);
    uint32_t position = start;
    BufferID decoded = DecodeRunLengthPlane(&decoder.globals, planeSize, payload, length, &position);
    if (decoded == nullptr) fuzz::Fail("no plane decoded");
    if (position < start || position > length) fuzz::Fail("the position left the payload");
    if (decoder.buffers.live.at(decoded).size() != planeSize) fuzz::Fail("a plane of another size");
    TestBufferSuite::Free(decoded);
    TestBufferSuite::Free(payload);
    decoder.RequireAllReleased("any stream");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    if ((input.Byte() & 1) == 0) {
        RoundTrip(input);
    } else {
        AnyStream(input);
    }
    return 0;
}
