// FilterFile, ReadPrepare and ReadStart: is the file ours, and what image does its header
// describe.
#include "module/reader/file_identification.h"

#include "hostapi/plugin_interface.h"
#include "module/iffio/byte_stream.h"
#include "module/iffio/chunk_stack.h"
#include "module/iffio/iff_format.h"
#include "module/shell/error_report.h"
#include "module/shell/hooks.h"
#include "module/shell/plugin_globals.h"
#include "module/shell/selector_handlers.h"

// 72 pixels per inch as the host's 16.16 fixed-point value.
static const Fixed kResolution72 = 72 << 16;

static uint16_t ColourChannelCount(uint32_t flags) {
    uint16_t count = 0;
    if (flags & flagRgb) count += 3;
    if (flags & flagAlpha) count += 1;
    return count;
}

bool HeaderDescribesImage(const PluginGlobals* globals) {
    if (globals->imageWidth == 0 || globals->imageWidth > kLargestImageSide) return false;
    if (globals->imageHeight == 0 || globals->imageHeight > kLargestImageSide) return false;
    return ColourChannelCount(globals->headerFlags) != 0 || (globals->headerFlags & flagDepth) != 0;
}

void FilterFile(PluginGlobals* globals) {
    // The chunk stack is not used here, but emptying it keeps an operation that stopped with
    // chunks open from leaving them to the next one.
    EmptyChunkStack();
    SeekTo(globals, 0);
    const uint32_t id = ReadU32(globals);
    ReadU32(globals);  // the size says nothing about whether the file is ours
    const uint32_t groupType = ReadU32(globals);
    if (*globals->resultWord != noErr) return;  // shorter than a group header: eofErr stands
    if (id != kIdFOR4 || groupType != kTypeCIMG) PostError(globals->resultWord, formatCannotRead);
}

void ReadPrepare(PluginGlobals* globals) { globals->formatRecord->maxData = 0; }

// Reads the "TBHD" payload's first 24 bytes into the state record; the rest is never looked at.
static void ReadHeaderFields(PluginGlobals* globals) {
    globals->imageWidth = ReadU32(globals);
    globals->imageHeight = ReadU32(globals);
    ReadU16(globals);  // auxA
    ReadU16(globals);  // auxB
    globals->headerFlags = ReadU32(globals);
    globals->headerAuxC = static_cast<int16_t>(ReadU16(globals));
    globals->tileCount = ReadU16(globals);
    globals->compression = ReadU32(globals);
}

// Tells the host the image's size, mode, depth, planes, layout and resolution.
static void DescribeImage(PluginGlobals* globals) {
    FormatRecord* record = globals->formatRecord;
    const int16_t colourPlanes = static_cast<int16_t>(globals->channelCount);
    const int16_t planes = colourPlanes + ((globals->headerFlags & flagDepth) ? 1 : 0);
    // Both sides are at most 32767 here, so they fit the host's signed 16 bits.
    record->imageSize.v = static_cast<int16_t>(globals->imageHeight);
    record->imageSize.h = static_cast<int16_t>(globals->imageWidth);
    record->depth = 8;
    record->planes = planes;
    record->colBytes = planes;
    record->planeBytes = 1;
    record->imageHRes = kResolution72;
    record->imageVRes = kResolution72;
    // One channel is gray; so is a depth buffer without colour, which opens as one gray plane.
    record->imageMode = (colourPlanes == 1 || colourPlanes == 0) ? plugInModeGrayScale
                                                                 : plugInModeRGBColor;
}

void ReadStart(PluginGlobals* globals) {
    // A refused read or an earlier operation that stopped early may have left chunks open.
    EmptyChunkStack();
    ReadStartHook(globals);
    // The host hands the file over at its start.
    globals->streamPos = 0;

    const ChunkEntry outer = OpenChunkForRead(globals);
    if (outer.groupType != kTypeCIMG) {
        *globals->resultWord = readErr;  // replaces whatever the header read left
        EmptyChunkStack();
        return;
    }
    // The first "TBHD" is the header, wherever it stands after the outer group's start; the
    // search runs on until it is found or the file ends.
    while (*globals->resultWord == noErr) {
        const ChunkEntry chunk = OpenChunkForRead(globals);
        if (chunk.id == kIdTBHD) {
            ReadHeaderFields(globals);
            CloseChunkForRead(globals);
            break;
        }
        CloseChunkForRead(globals);
    }
    globals->channelCount = ColourChannelCount(globals->headerFlags);

    // A header the host could not hold, or one without anything to show, is refused before
    // anything is described; an error already standing (a file that ends early) stays first.
    if (HeaderDescribesImage(globals)) {
        DescribeImage(globals);
    } else {
        PostError(globals->resultWord, formatCannotRead);
    }
    // Only a read that goes on to ReadContinue keeps the outer group open.
    if (*globals->resultWord != noErr) EmptyChunkStack();
}
