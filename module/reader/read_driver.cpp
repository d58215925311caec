// ReadContinue and ReadFinish: find the tile group, decode every tile, hand each to the host with
// advanceState and report progress; with a depth buffer, survey the depth tiles for their range
// first, then go back and deliver everything.
#include "hostapi/plugin_interface.h"
#include "module/iffio/byte_stream.h"
#include "module/iffio/chunk_stack.h"
#include "module/iffio/iff_format.h"
#include "module/iffio/scratch_buffer.h"
#include "module/reader/depth_normalisation.h"
#include "module/reader/file_identification.h"
#include "module/reader/tile_decoding.h"
#include "module/shell/error_report.h"
#include "module/shell/hooks.h"
#include "module/shell/host_suites.h"
#include "module/shell/plugin_globals.h"
#include "module/shell/selector_handlers.h"

namespace {

// What one ReadContinue call keeps across tiles.
struct ReadState {
    uint32_t colourCount;  // "RGBA" tiles taken up in the delivery pass
    uint32_t depthCount;   // "ZBUF" tiles surveyed (survey pass) or taken up (delivery pass)
    bool surveying;
    DepthRange range;
    uint32_t savedPos;     // the first byte after the tile group's header
};

// A tile's rectangle in file coordinates (rows from the bottom, bounds inclusive).
struct TileGeometry {
    uint32_t x1, y1, x2, y2;
    uint32_t w, h;
};

enum class TileOutcome {
    decoded,  // the whole tile is in the scratch buffer
    failed,   // a read or a buffer failed; the code stands; the tile counts as attempted
    refused,  // the tile's chunk is malformed; formatCannotRead stands and the read ends
};

bool ErrorStands(const PluginGlobals* globals) { return *globals->resultWord != noErr; }

// Reads and checks the tile header, then decodes the pixel data with m bytes per pixel into the
// scratch buffer. The chunk is checked before anything is allocated for it: a header that does
// not fit the image must not make the module ask for a buffer of its would-be size.
TileOutcome DecodeTile(PluginGlobals* globals, const ChunkEntry& chunk, uint32_t m,
                       TileGeometry* tile) {
    if (ErrorStands(globals)) return TileOutcome::failed;  // the chunk header came up short
    // A chunk smaller than its tile header, or one whose aligned end lies past 4 GiB (closing it
    // would refuse it anyway), is refused before it is read.
    const uint64_t end = static_cast<uint64_t>(chunk.start) + kChunkHeaderSize + chunk.size;
    if (chunk.size < kTileHeaderSize || end > 0xFFFFFFFFu - (kChunkAlignment - 1)) {
        PostError(globals->resultWord, formatCannotRead);
        return TileOutcome::refused;
    }
    // The rectangle, four big-endian 16-bit values, in one read; what a short read does not
    // deliver stays 0 (and eofErr stands).
    uint8_t rectangle[kTileHeaderSize] = {0, 0, 0, 0, 0, 0, 0, 0};
    uint32_t count = kTileHeaderSize;
    ReadBytes(globals, &count, rectangle);
    tile->x1 = (static_cast<uint32_t>(rectangle[0]) << 8) | rectangle[1];
    tile->y1 = (static_cast<uint32_t>(rectangle[2]) << 8) | rectangle[3];
    tile->x2 = (static_cast<uint32_t>(rectangle[4]) << 8) | rectangle[5];
    tile->y2 = (static_cast<uint32_t>(rectangle[6]) << 8) | rectangle[7];
    if (ErrorStands(globals)) return TileOutcome::failed;
    if (tile->x2 < tile->x1 || tile->y2 < tile->y1 || tile->x2 >= globals->imageWidth ||
        tile->y2 >= globals->imageHeight) {
        PostError(globals->resultWord, formatCannotRead);
        return TileOutcome::refused;
    }
    tile->w = tile->x2 - tile->x1 + 1;
    tile->h = tile->y2 - tile->y1 + 1;
    uint32_t rawSize = 0;
    if (!DecodedTileSize(tile->w, tile->h, m, &rawSize)) {
        PostError(globals->resultWord, formatCannotRead);
        return TileOutcome::refused;
    }
    // Nothing marks a compressed tile but pixel data shorter than the raw pixels. rawSize is
    // below 2^31, so the sum cannot wrap.
    const uint32_t payloadLength = chunk.size - kTileHeaderSize;
    const bool compressed = chunk.size < rawSize + kTileHeaderSize;

    GrowScratch(globals, rawSize);
    if (globals->scratchPtr == nullptr) return TileOutcome::failed;
    bool whole = false;
    if (compressed) {
        BufferID payload = ReadPayloadToBuffer(globals, payloadLength);
        if (payload == nullptr) return TileOutcome::failed;
        // A payload cut short by the end of the file is not decoded.
        if (!ErrorStands(globals)) {
            whole = ReadCompressedTile(globals, tile->w, tile->h, m, payload, payloadLength);
        }
        BufferFree(globals->formatRecord->bufferProcs, payload);
    } else {
        whole = ReadRawTile(globals, tile->w, tile->h, m);
    }
    return whole && !ErrorStands(globals) ? TileOutcome::decoded : TileOutcome::failed;
}

// Describes the decoded tile in the scratch buffer to the host: the rectangle flipped to rows
// from the top, planes loPlane to hiPlane, bytesPerPixel bytes from pixel to pixel.
void DescribeTile(PluginGlobals* globals, const TileGeometry& tile, int16_t loPlane,
                  int16_t hiPlane, uint32_t bytesPerPixel) {
    FormatRecord* record = globals->formatRecord;
    // The tile lies inside an image of at most 32767 rows and columns, so every value fits.
    record->theRect.top = static_cast<int16_t>(globals->imageHeight - tile.y2 - 1);
    record->theRect.left = static_cast<int16_t>(tile.x1);
    record->theRect.bottom = static_cast<int16_t>(globals->imageHeight - tile.y1);
    record->theRect.right = static_cast<int16_t>(tile.x2 + 1);
    record->loPlane = loPlane;
    record->hiPlane = hiPlane;
    record->colBytes = static_cast<int16_t>(bytesPerPixel);
    record->rowBytes = static_cast<int32_t>(bytesPerPixel * tile.w);
    record->data = globals->scratchPtr;
}

// Hands the described block to the host, once, and only while no error stands.
void Deliver(PluginGlobals* globals) {
    if (ErrorStands(globals)) return;
    AdvanceStateProc advanceState = globals->formatRecord->advanceState;
    if (advanceState == nullptr) {
        // A host that cannot take pixels cannot open anything.
        PostError(globals->resultWord, formatBadParameters);
        return;
    }
    *globals->resultWord = advanceState();
}

void Progress(PluginGlobals* globals, const ReadState& state) {
    ProgressProc progress = globals->formatRecord->progressProc;
    if (progress == nullptr) return;
    const uint32_t done =
        state.colourCount < state.depthCount ? state.colourCount : state.depthCount;
    progress(static_cast<int32_t>(done), static_cast<int32_t>(globals->tileCount));
}

void TakeColourTile(PluginGlobals* globals, const ChunkEntry& chunk, ReadState* state) {
    TileGeometry tile = {};
    const uint32_t m = globals->channelCount;
    const TileOutcome outcome = DecodeTile(globals, chunk, m, &tile);
    CloseChunkForRead(globals);
    if (outcome == TileOutcome::refused) return;
    ++state->colourCount;
    if (outcome == TileOutcome::decoded) {
        DescribeTile(globals, tile, 0, static_cast<int16_t>(m - 1), m);
        Deliver(globals);
    }
    Progress(globals, *state);
}

void TakeDepthTile(PluginGlobals* globals, const ChunkEntry& chunk, ReadState* state) {
    TileGeometry tile = {};
    const TileOutcome outcome = DecodeTile(globals, chunk, kDepthBytesPerPixel, &tile);
    CloseChunkForRead(globals);
    if (outcome == TileOutcome::refused) return;
    ++state->depthCount;
    if (outcome == TileOutcome::decoded) {
        NormaliseDepth(state->range, globals->scratchPtr, tile.w * tile.h);
        const int16_t plane = static_cast<int16_t>(globals->channelCount);
        DescribeTile(globals, tile, plane, plane, 1);
        Deliver(globals);
    }
    Progress(globals, *state);
}

// The range is known: read the group again from its first tile and deliver.
void EndSurvey(PluginGlobals* globals, ReadState* state) {
    state->depthCount = 0;
    state->surveying = false;
    SeekTo(globals, state->savedPos);
}

void SurveyDepthTile(PluginGlobals* globals, const ChunkEntry& chunk, ReadState* state) {
    TileGeometry tile = {};
    const TileOutcome outcome = DecodeTile(globals, chunk, kDepthBytesPerPixel, &tile);
    CloseChunkForRead(globals);
    if (outcome == TileOutcome::refused) return;
    if (outcome == TileOutcome::decoded) {
        SurveyDepth(&state->range, globals->scratchPtr, tile.w * tile.h);
    }
    // A last depth tile cut by the end of the file leaves the survey to ReadContinue, which
    // forgives the end and delivers.
    if (++state->depthCount == globals->tileCount && !ErrorStands(globals)) {
        EndSurvey(globals, state);
    }
}

// Opens chunks until one is a "TBMP" group, which is left open. False when an error came first
// (every chunk opened on the way is closed again).
bool FindTileGroup(PluginGlobals* globals) {
    while (!ErrorStands(globals)) {
        const ChunkEntry chunk = OpenChunkForRead(globals);
        // Only a group carries a type; a short read cannot yield one.
        if (chunk.groupType == kTypeTBMP && !ErrorStands(globals)) return true;
        CloseChunkForRead(globals);
    }
    return false;
}

// Takes up tile chunks until both kinds are complete or an error stands. Each kind is counted on
// its own, in whatever order and interleaving the tiles come. Every pass over a chunk closes it,
// so the stream only moves forward (past at least a chunk header) except for the seek back after
// the survey.
void RunTileLoop(PluginGlobals* globals, bool hasDepth, ReadState* state) {
    while ((state->colourCount < globals->tileCount || state->depthCount < globals->tileCount) &&
           !ErrorStands(globals)) {
        const ChunkEntry chunk = OpenChunkForRead(globals);
        if (chunk.id == kIdZBUF && hasDepth) {
            if (state->surveying) {
                SurveyDepthTile(globals, chunk, state);
            } else {
                TakeDepthTile(globals, chunk, state);
            }
        } else if (chunk.id == kIdRGBA && !state->surveying && globals->channelCount != 0) {
            TakeColourTile(globals, chunk, state);
        } else {
            // Other chunks, tiles of a kind the header does not announce, and colour tiles during
            // the survey are passed over unread.
            CloseChunkForRead(globals);
        }
    }
}

}  // namespace

void ReadContinue(PluginGlobals* globals) {
    // Only a header that ReadStart accepted leads here; anything else is not read from.
    if (!HeaderDescribesImage(globals)) {
        PostError(globals->resultWord, formatCannotRead);
    }
    if (globals->tileCount == 0 || !FindTileGroup(globals)) {
        // Nothing to deliver: only the outer group is still open. Closing it forgives an end of
        // file met while looking for the tiles.
        FreeScratch(globals);
        CloseChunkForRead(globals);
        return;
    }

    const bool hasDepth = (globals->headerFlags & flagDepth) != 0;
    ReadState state;
    state.colourCount = globals->channelCount == 0 ? globals->tileCount : 0;
    state.depthCount = hasDepth ? 0 : globals->tileCount;
    state.surveying = hasDepth;
    state.range = EmptyDepthRange();
    state.savedPos = globals->streamPos;

    RunTileLoop(globals, hasDepth, &state);
    if (state.surveying && *globals->resultWord == eofErr) {
        // The file ends before its last depth tile. The range of the whole depth tiles surveyed
        // stands, and the end of the file is forgiven as the group's closing would forgive it:
        // the delivery pass then hands over every whole tile there is, as in a file without
        // depth, instead of nothing at all.
        *globals->resultWord = noErr;
        EndSurvey(globals, &state);
        RunTileLoop(globals, hasDepth, &state);
    }

    CloseChunkForRead(globals);  // the tile group; forgives an end of file inside it
    FreeScratch(globals);
    globals->formatRecord->data = nullptr;
    CloseChunkForRead(globals);  // the outer group
}

void ReadFinish(PluginGlobals* globals) {
    FormatRecord* record = globals->formatRecord;
    // The image resources are the host's: they are released only through the host's own handle
    // suite, never taken for one of the module's fallback handles.
    if (record->imageRsrcData != nullptr && HandleSuiteUsable(record->handleProcs)) {
        HandleDispose(record->handleProcs, record->imageRsrcData);
        record->imageRsrcData = nullptr;
        record->imageRsrcSize = 0;
    }
    ReadFinishHook(globals);
}
