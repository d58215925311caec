// Tile decoding: the pixel data of one tile chunk, raw or run-length compressed, becomes w x h
// interleaved pixels of m bytes in the scratch buffer, top row first, channel 0 first (the file
// stores the bottom row first and the highest channel first; both decoders turn that round). A
// depth pixel (m = 4) comes out as its 32-bit value, least significant byte first.
#ifndef TNIFF_READER_TILE_DECODING_H
#define TNIFF_READER_TILE_DECODING_H

#include <cstdint>

#include "hostapi/plugin_interface.h"

struct PluginGlobals;

// The decoders keep at most this many planes and a pixel of this many bytes.
const uint32_t kMostBytesPerPixel = 4;

// Bytes of a decoded tile, w x h x m, into *size; false (posting nothing) when that does not fit
// the host's signed 32-bit buffer size or m is not 1 to 4.
bool DecodedTileSize(uint32_t w, uint32_t h, uint32_t m, uint32_t* size);

// Decodes one plane of P bytes from the run stream input (L bytes), starting at and advancing
// *position, into plane: the bytes no run reaches are 0. Gives how many bytes the runs wrote.
// Runs never write past the plane nor read past the input: a run that would overflow the plane
// ends the plane with its control byte consumed, and a run cut by the input's end stops there.
uint32_t DecodeRunLengthInto(const uint8_t* input, uint32_t L, uint32_t* position, uint8_t* plane,
                             uint32_t P);

// Decodes one plane of P bytes from the run stream in the payload buffer (L bytes), starting at
// and advancing *position. Gives a new host buffer, unlocked, holding the plane (bytes no run
// reaches are 0), or 0 with the code posted when no buffer could be had. Runs never write past
// the plane nor read past the payload: a run that would overflow the plane ends the plane with
// its control byte consumed, and a run cut by the payload's end stops there.
BufferID DecodeRunLengthPlane(PluginGlobals* globals, uint32_t P, BufferID payload, uint32_t L,
                              uint32_t* position);

// Decodes the m planes of a compressed tile (the first plane of the payload is channel m - 1) and
// interleaves them into the scratch buffer, through one buffer for all planes. The payload buffer
// stays the caller's. True when the whole tile is in the scratch buffer; false when a buffer
// could not be had (the code is posted, nothing was written through a missing buffer, and every
// buffer taken here is freed again).
bool ReadCompressedTile(PluginGlobals* globals, uint32_t w, uint32_t h, uint32_t m,
                        BufferID payload, uint32_t L);

// Reads w x h x m raw bytes from the stream, which stands just after the tile header, in one
// transfer into the scratch buffer and puts them in the host's order there. True when every byte
// arrived; false when the scratch buffer could not be had or the read failed or came up short
// (the stream's code stands).
bool ReadRawTile(PluginGlobals* globals, uint32_t w, uint32_t h, uint32_t m);

#endif
