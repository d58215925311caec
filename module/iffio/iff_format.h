// The image file format: chunk codes, header layout and flags, tile geometry, run-length packets.
// Integers in files are big-endian; a four-character code read as a u32 has its first character
// in the most significant byte.
#ifndef TNIFF_IFFIO_IFF_FORMAT_H
#define TNIFF_IFFIO_IFF_FORMAT_H

#include <cstdint>

constexpr uint32_t FourCharCode(char a, char b, char c, char d) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(d));
}

// Chunk ids and group types.
const uint32_t kIdFOR4 = FourCharCode('F', 'O', 'R', '4');  // 46 4F 52 34: the only group id
const uint32_t kTypeCIMG = FourCharCode('C', 'I', 'M', 'G'); // the outer group's type
const uint32_t kTypeTBMP = FourCharCode('T', 'B', 'M', 'P'); // the tile group's type
const uint32_t kIdFVER = FourCharCode('F', 'V', 'E', 'R');
const uint32_t kIdTBHD = FourCharCode('T', 'B', 'H', 'D');  // the image header
const uint32_t kIdFLDS = FourCharCode('F', 'L', 'D', 'S');
const uint32_t kIdRGBA = FourCharCode('R', 'G', 'B', 'A');  // a colour tile
const uint32_t kIdZBUF = FourCharCode('Z', 'B', 'U', 'F');  // a depth tile

// Every chunk header: id, then size.
const uint32_t kChunkHeaderSize = 8;
// Chunks end at file offsets that are a multiple of this.
const uint32_t kChunkAlignment = 4;

// "TBHD" flags.
const uint32_t flagRgb = 1;    // colour tiles carry red, green, blue
const uint32_t flagAlpha = 2;  // colour tiles carry alpha after the colour channels
const uint32_t flagDepth = 4;  // the file has a depth buffer in "ZBUF" tiles

// "TBHD" payload as written: width, height, auxA, auxB, flags, auxC, tileCount, compression,
// auxD, auxE. The reader reads the first 24 bytes and skips the rest, however long.
const uint32_t kHeaderPayloadSize = 32;
const uint16_t kHeaderAuxAWritten = 1;
const uint16_t kHeaderAuxBWritten = 1;
const uint32_t kHeaderCompressionWritten = 1;  // also when some tiles are stored raw

// "FVER" payload: u16 1, u16 1.
const uint16_t kVersionMajor = 1;
const uint16_t kVersionMinor = 1;

// "FLDS" payload, written exactly so and skipped on reading: a nested "FMT\1" chunk of 4 bytes
// holding "ZVQ\0", then two u32 zeros.
const uint8_t kFieldsPayload[20] = {0x46, 0x4D, 0x54, 0x01, 0x00, 0x00, 0x00, 0x04, 0x5A, 0x56,
                                    0x51, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// Tile chunk payload: x1, y1, x2, y2 (u16 each, inclusive, rows counted from the bottom), then the
// pixel data.
const uint32_t kTileHeaderSize = 8;
// The writer's tile grid, anchored at the bottom-left corner.
const uint32_t kTileEdge = 64;
// A "ZBUF" pixel: one u32 depth value; a most significant byte of 0 marks a pixel without depth.
const uint32_t kDepthBytesPerPixel = 4;
// The file's head before the first tile as the writer lays it out: "FOR4"/"CIMG" group header,
// "FVER", "TBHD", "FLDS", "FOR4"/"TBMP" group header.
const uint32_t kWrittenHeadSize = 104;

// Run-length packets: control byte b, count (b & 0x7F) + 1; with b & 0x80 one value byte follows
// that stands for count copies, otherwise count literal bytes follow.
const uint8_t kRunFlag = 0x80;
const uint8_t kCountMask = 0x7F;
const uint32_t kLongestPacket = 128;

#endif
