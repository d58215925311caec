// The pixel data of one "RGBA" tile chunk, made from a tile of host pixels: run-length
// compressed planes when their whole encoding is strictly shorter than the raw pixels, the raw
// pixels otherwise. Gray tiles are widened to three colour channels on the way. Only the bytes
// after the tile header are written, at the current stream position.
#ifndef TNIFF_WRITER_TILE_ENCODING_H
#define TNIFF_WRITER_TILE_ENCODING_H

#include <cstdint>

#include "hostapi/plugin_interface.h"

struct PluginGlobals;

// Bytes per pixel of a tile in the file for s host bytes per pixel: s for 3 and 4, s + 2 for 1
// and 2 (gray widened to three channels, a second plane kept as alpha).
uint16_t FileChannelsFor(uint16_t s);

// The encoder's work area for a whole save: room for a whole tile's raw form, its planes and its
// encoded planes. The host gives it as one buffer, or, when it refuses that, as one buffer for
// each part (no single request then exceeds a whole tile, 16 KiB at most); either way the same
// bytes are written.
struct TileWork {
    uint8_t* raw;
    uint8_t* planes;
    uint8_t* output;
    BufferID ids[3];  // the buffers holding them: the first alone, or one for each part
};

// Takes the work area for tiles of s host bytes per pixel (1 to 4) from the host's buffer
// suite. True when it is there. Otherwise the code of the allocation that failed last is posted
// and nothing is held; a refused single buffer alone posts nothing.
bool TakeTileWork(PluginGlobals* globals, uint16_t s, TileWork* work);
// Frees what TakeTileWork took; afterwards the work area holds nothing.
void ReleaseTileWork(PluginGlobals* globals, TileWork* work);

// Writes the pixel data of a tile of w by h pixels (1 to 64 each) of s bytes (1 to 4) in the
// host's plane order, h rows top first with no gap between rows. work was taken for s; its
// contents are not kept. Any other size, or no pixels or work area, is refused with
// formatBadParameters and nothing is written. The input is encoded whatever the result word
// holds.
void EncodeTile(PluginGlobals* globals, const uint8_t* pixels, uint32_t w, uint32_t h, uint16_t s,
                const TileWork& work);

// Run-length encodes length input bytes into output. Gives the length of the whole encoding
// when it is less than capacity, otherwise 0; never writes at or beyond output + capacity, and
// gives up as soon as the encoding cannot fit.
uint32_t EncodeRunLengthPlane(const uint8_t* input, uint32_t length, uint8_t* output,
                              uint32_t capacity);

// Widens w by h gray pixels of s bytes (1: gray; 2: gray and a second plane) to g, g, g or
// g, g, g, a: w * h * (s + 2) bytes into destination.
void ExpandGrayTile(const uint8_t* source, uint8_t* destination, uint32_t w, uint32_t h,
                    uint16_t s);

#endif
