// Saving: the estimate of the data size, and the writing of a whole file in one WriteStart call:
// the fixed head of chunks, then 64 by 64 tiles from the bottom tile row up, each requested from
// the host with advanceState and encoded.
#include <cstdint>

#include "module/iffio/byte_stream.h"
#include "module/iffio/chunk_stack.h"
#include "module/iffio/iff_format.h"
#include "module/iffio/scratch_buffer.h"
#include "module/shell/error_report.h"
#include "module/shell/hooks.h"
#include "module/shell/host_alert.h"
#include "module/shell/host_suites.h"
#include "module/shell/plugin_globals.h"
#include "module/shell/selector_handlers.h"
#include "module/writer/tile_encoding.h"

namespace {
// The host's plane counts for saving: gray, gray and a second plane, RGB, RGB and a fourth, RGB
// and two more (the fifth is never requested).
const int16_t kMinPlanes = 1;
const int16_t kMaxPlanes = 5;
// The last plane requested from the host; a fifth plane is dropped.
const int16_t kLastPlaneWritten = 3;
// The header's tile count is 16 bits wide; an image of more tiles cannot be described.
const uint32_t kMaxTiles = 65535;
// An indexed image's estimate counts its colour table: 256 entries of 3 bytes.
const int64_t kColourTableBytes = 768;
// The host's data sizes are signed 32-bit; a larger estimate is reported as the largest.
const int64_t kLargestEstimate = INT32_MAX;

const uint32_t kTileArea = kTileEdge * kTileEdge;

// The FLDS block's nested chunk: "FMT" and the byte 1, holding "ZVQ" and a zero byte.
const uint32_t kIdFieldsFormat = FourCharCode('F', 'M', 'T', '\x01');
const uint32_t kFieldsFormatTag = FourCharCode('Z', 'V', 'Q', '\0');

// The image as the host describes it for saving, with its tile grid.
struct SaveGeometry {
    uint32_t width;   // W, columns
    uint32_t height;  // H, rows
    int16_t planes;
    uint32_t tileColumns;
    uint32_t tileRows;
};

// Reads the image's size and planes from the record. Refuses with formatBadParameters a size
// below 1, a plane count the writer has no channel layout for, and more tiles than the header
// can count, so a file is never written with a wrong tile count.
bool DescribeImageToSave(PluginGlobals* globals, SaveGeometry* geometry) {
    const FormatRecord* record = globals->formatRecord;
    if (record->imageSize.h < 1 || record->imageSize.v < 1 || record->planes < kMinPlanes ||
        record->planes > kMaxPlanes) {
        return PostError(globals->resultWord, formatBadParameters);
    }
    geometry->width = static_cast<uint32_t>(record->imageSize.h);
    geometry->height = static_cast<uint32_t>(record->imageSize.v);
    geometry->planes = record->planes;
    // Both at most 512 for sides of at most 32767, so the product below cannot overflow.
    geometry->tileColumns = (geometry->width + kTileEdge - 1) / kTileEdge;
    geometry->tileRows = (geometry->height + kTileEdge - 1) / kTileEdge;
    if (geometry->tileColumns * geometry->tileRows > kMaxTiles) {
        return PostError(globals->resultWord, formatBadParameters);
    }
    return true;
}

// Host bytes per pixel for a plane count: a fifth plane is not requested.
uint16_t HostBytesPerPixel(int16_t planes) {
    return static_cast<uint16_t>(planes < kMaxPlanes ? planes : kLastPlaneWritten + 1);
}

// The header flags: three colour channels always, alpha when a second (gray) or fourth (RGB)
// plane is written.
uint32_t HeaderFlagsFor(uint16_t s) {
    return FileChannelsFor(s) == 4 ? (flagRgb | flagAlpha) : flagRgb;
}

void WriteHead(PluginGlobals* globals, const SaveGeometry& geometry, uint32_t flags) {
    BeginChunk(globals, kIdFOR4, kTypeCIMG);

    BeginChunk(globals, kIdFVER, 0);
    WriteU16(globals, kVersionMajor);
    WriteU16(globals, kVersionMinor);
    EndChunk(globals);

    BeginChunk(globals, kIdTBHD, 0);
    WriteU32(globals, geometry.width);
    WriteU32(globals, geometry.height);
    WriteU16(globals, kHeaderAuxAWritten);
    WriteU16(globals, kHeaderAuxBWritten);
    WriteU32(globals, flags);
    WriteU16(globals, 0);  // auxC
    WriteU16(globals, geometry.tileColumns * geometry.tileRows);
    WriteU32(globals, kHeaderCompressionWritten);
    WriteU32(globals, 0);  // auxD
    WriteU32(globals, 0);  // auxE
    EndChunk(globals);

    BeginChunk(globals, kIdFLDS, 0);
    BeginChunk(globals, kIdFieldsFormat, 0);
    WriteU32(globals, kFieldsFormatTag);
    EndChunk(globals);
    WriteU32(globals, 0);
    WriteU32(globals, 0);
    EndChunk(globals);
}

// The tile header: x1, y1, x2, y2 as big-endian 16-bit values (file rows from the bottom), in
// one write.
void WriteTileRectangle(PluginGlobals* globals, uint32_t x1, uint32_t y1, uint32_t x2,
                        uint32_t y2) {
    const uint8_t bytes[kTileHeaderSize] = {
        static_cast<uint8_t>(x1 >> 8), static_cast<uint8_t>(x1),      static_cast<uint8_t>(y1 >> 8),
        static_cast<uint8_t>(y1),      static_cast<uint8_t>(x2 >> 8), static_cast<uint8_t>(x2),
        static_cast<uint8_t>(y2 >> 8), static_cast<uint8_t>(y2)};
    uint32_t count = kTileHeaderSize;
    WriteBytes(globals, &count, bytes);
}

// Requests every tile from the host and writes its chunk: tile rows from the bottom of the
// image up, each left to right, progress after each row. After an error no tile is requested
// any more, but every chunk is still written, so the groups stay well formed.
void WriteTiles(PluginGlobals* globals, const SaveGeometry& geometry, uint16_t s,
                const TileWork& work) {
    FormatRecord* record = globals->formatRecord;
    const uint32_t width = geometry.width;
    const uint32_t height = geometry.height;
    for (uint32_t j = 0; j < geometry.tileRows; ++j) {
        // Host rows count from the top: tile row j ends 64 j rows above the image's bottom.
        const uint32_t bottom = height - kTileEdge * j;
        const uint32_t top = bottom > kTileEdge ? bottom - kTileEdge : 0;
        const uint32_t h = bottom - top;
        for (uint32_t i = 0; i < geometry.tileColumns; ++i) {
            const uint32_t left = kTileEdge * i;
            const uint32_t w = width - left < kTileEdge ? width - left : kTileEdge;
            // Every value fits: the image's sides are at most 32767.
            record->theRect.top = static_cast<int16_t>(top);
            record->theRect.left = static_cast<int16_t>(left);
            record->theRect.bottom = static_cast<int16_t>(bottom);
            record->theRect.right = static_cast<int16_t>(left + w);
            record->rowBytes = static_cast<int32_t>(w * s);
            if (*globals->resultWord == noErr) *globals->resultWord = record->advanceState();

            BeginChunk(globals, kIdRGBA, 0);
            WriteTileRectangle(globals, left, height - bottom, left + w - 1, height - top - 1);
            EncodeTile(globals, globals->scratchPtr, w, h, s, work);
            EndChunk(globals);
        }
        if (record->progressProc != nullptr) {
            record->progressProc(static_cast<int32_t>(j + 1),
                                 static_cast<int32_t>(geometry.tileRows));
        }
    }
}
}  // namespace

void EstimatePrepare(PluginGlobals* globals) { globals->formatRecord->maxData = 0; }

void EstimateStart(PluginGlobals* globals) {
    if (!PostCancelIf(globals->resultWord, !CheckHostSuites(globals))) return;
    SaveGeometry geometry = {};
    if (!DescribeImageToSave(globals, &geometry)) return;

    FormatRecord* record = globals->formatRecord;
    // The host's bytes, not the file's: compression shrinks the file, widened gray and chunk
    // headers grow it.
    int64_t estimate =
        static_cast<int64_t>(record->planes) * record->imageSize.v * record->imageSize.h;
    if (record->imageMode == plugInModeIndexedColor) estimate += kColourTableBytes;
    if (estimate > kLargestEstimate) estimate = kLargestEstimate;
    record->minDataBytes = static_cast<int32_t>(estimate);
    record->maxDataBytes = static_cast<int32_t>(estimate);
    record->data = nullptr;
}

void WriteStart(PluginGlobals* globals) {
    WriteStartHook(globals);
    // The chunk stack is emptied at the start of every write, so an operation that stopped with
    // chunks open cannot push this file's chunks deeper.
    EmptyChunkStack();
    if (*globals->resultWord != noErr) return;
    if (!PostCancelIf(globals->resultWord, !CheckHostSuites(globals))) return;
    SaveGeometry geometry = {};
    if (!DescribeImageToSave(globals, &geometry)) return;

    SeekTo(globals, 0);
    const uint16_t s = HostBytesPerPixel(geometry.planes);
    const uint32_t flags = HeaderFlagsFor(s);
    if (*globals->resultWord != noErr) return;

    WriteHead(globals, geometry, flags);

    // One full tile of host pixels; every tile is delivered into its start. The encoder's work
    // area is taken once for the whole file, not per tile.
    GrowScratch(globals, s * kTileArea);
    TileWork work = {};
    const bool working = globals->scratchPtr != nullptr && TakeTileWork(globals, s, &work);
    FormatRecord* record = globals->formatRecord;
    record->colBytes = static_cast<int16_t>(s);
    record->planeBytes = 1;
    record->data = globals->scratchPtr;
    record->loPlane = 0;
    record->hiPlane = static_cast<int16_t>(s - 1);

    BeginChunk(globals, kIdFOR4, kTypeTBMP);
    // Without pixel memory or the work area no tile can be requested or encoded; the
    // allocation's error stands and the groups are still closed.
    if (working) WriteTiles(globals, geometry, s, work);
    EndChunk(globals);  // "TBMP"
    EndChunk(globals);  // "CIMG": its size is then the file length - 8

    record->data = nullptr;
    ReleaseTileWork(globals, &work);
    FreeScratch(globals);
}

void WriteFinish(PluginGlobals* globals) { WriteFinishHook(globals); }
