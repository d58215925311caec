// The layout of an image file: its chunks, header values and tiles, listed from the chunk headers
// with the module's own stream layer linked in. Only headers are read; tile payloads are passed
// over, never decoded (the pixels reach tniff only through the module's ENTRYPOINT).
#ifndef TNIFF_CLI_IFF_LAYOUT_H
#define TNIFF_CLI_IFF_LAYOUT_H

#include <cstdint>
#include <string>
#include <vector>

namespace tniff_cli {

// The "TBHD" values, as stored.
struct HeaderValues {
    uint32_t payloadSize = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t auxA = 0;
    uint16_t auxB = 0;
    uint32_t flags = 0;
    uint16_t auxC = 0;
    uint16_t tileCount = 0;
    uint32_t compression = 0;
    bool hasAuxDE = false;  // only a payload of 32 bytes or more holds them
    uint32_t auxD = 0;
    uint32_t auxE = 0;
};

struct ChunkInfo {
    std::string id;         // four characters, unprintable bytes as \xNN
    std::string groupType;  // a "FOR4" group's type, else empty
    uint64_t offset = 0;
    uint32_t size = 0;      // the size field: bytes after the 8-byte header, pad not counted
};

struct TileInfo {
    bool depth = false;     // "ZBUF"; else "RGBA"
    uint64_t offset = 0;    // of the chunk's id
    uint32_t size = 0;      // the size field: 8 bytes of tile header, then the pixel data
    uint16_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // inclusive, rows counted from the bottom
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t storedBytes = 0;  // pixel data as stored
    uint64_t rawBytes = 0;     // pixel data when raw: width * height * bytes per pixel
    bool compressed = false;   // stored shorter than raw (the only mark the format has)
};

struct Layout {
    uint64_t fileSize = 0;
    bool recognised = false;   // starts with a "FOR4" group of type "CIMG"
    bool hasHeader = false;
    HeaderValues header;
    int colourChannels = 0;    // bytes per pixel of an "RGBA" tile: 0, 1, 3 or 4
    bool hasDepth = false;     // the flags announce "ZBUF" tiles
    std::vector<ChunkInfo> chunks;  // the outer group's children, in file order
    bool hasTileGroup = false;
    std::vector<TileInfo> tiles;    // in file order
    int otherChunksInTileGroup = 0;
    bool truncated = false;    // the file ends inside a chunk
    uint64_t storedBytes = 0;  // sums over the tiles
    uint64_t rawBytes = 0;

    int ColourTiles() const;
    int DepthTiles() const;
};

// Reads the layout of the file at path; throws ToolError when the file cannot be opened. A file
// of another shape gives recognised false; a file cut short gives truncated true.
Layout ReadLayout(const std::string& path);

// The names of the flag bits set, "rgb, alpha, depth"; "none" for 0.
std::string FlagNames(uint32_t flags);

}  // namespace tniff_cli

#endif
