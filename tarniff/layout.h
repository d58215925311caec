// The library for front ends, so far: the file-layout walker, which reads an image file's chunks,
// header values and tiles from the chunk headers and tile rectangles alone and finds the first
// place where the file is damaged, with the reason in plain words; and how much of an image a
// set of tiles covers.
//
// The walker is a reader of the format of its own, written from the format's facts and not from
// the module's code: it never includes a module header and never calls the module. Pixel data
// is passed over, never decoded, so a file of any size is walked in a few small reads.
#ifndef TNIFF_TARNIFF_LAYOUT_H
#define TNIFF_TARNIFF_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarniff {

// The "TBHD" values, as stored.
struct HeaderValues {
    uint32_t payloadSize = 0;  // the chunk's size field
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

// A direct child of the outer group.
struct ChunkInfo {
    std::string id;         // four characters, unprintable bytes as \xNN
    std::string groupType;  // a "FOR4" group's type, else empty
    uint64_t offset = 0;
    uint32_t size = 0;  // the size field: bytes after the 8-byte header, pad not counted
};

struct TileInfo {
    bool depth = false;   // "ZBUF"; else "RGBA"
    uint64_t offset = 0;  // of the chunk's id
    uint32_t size = 0;    // the size field: 8 bytes of rectangle, then the pixel data
    uint16_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // inclusive, rows counted from the bottom
    uint32_t width = 0;                       // 0 for a reversed rectangle
    uint32_t height = 0;
    uint64_t storedBytes = 0;  // pixel data as stored
    uint64_t rawBytes = 0;     // pixel data when raw: width * height * bytes per pixel
    bool compressed = false;   // stored shorter than raw (the only mark the format has)
};

// Where the walk stopped and why. Empty reason: the file is whole.
struct Damage {
    // Of the chunk at fault; where the file ends when it ends early; where the tile group (or the
    // outer group) ends when tiles are missing or leave pixels uncovered.
    uint64_t offset = 0;
    std::string chunk;   // the chunk at fault as the listing names it ("RGBA", "FOR4 TBMP")
    std::string groups;  // the groups around it, outermost first ("CIMG/TBMP")
    std::string reason;  // one sentence that names the offset and the chunk itself
};

struct Layout {
    uint64_t fileSize = 0;
    bool recognised = false;  // starts with a "FOR4" group of type "CIMG"
    bool hasHeader = false;   // a "TBHD" chunk whose 24 bytes of values are all there
    HeaderValues header;
    int colourChannels = 0;         // bytes per pixel of an "RGBA" tile: 0, 1, 3 or 4
    bool hasDepth = false;          // the flags announce "ZBUF" tiles
    std::vector<ChunkInfo> chunks;  // the outer group's children up to the damage, in file order
    bool hasTileGroup = false;
    std::vector<TileInfo> tiles;  // up to the damage, in file order; a tile cut short included
    int otherChunksInTileGroup = 0;
    bool truncated = false;    // the file ends inside a chunk
    uint64_t storedBytes = 0;  // sums over the tiles
    uint64_t rawBytes = 0;
    // The verdict: tiles of the kinds the flags announce, counted when the whole chunk is in the
    // file and its rectangle lies inside the image; expected is the header's tile count.
    int colourTilesFound = 0;
    int depthTilesFound = 0;
    int colourTilesExpected = 0;
    int depthTilesExpected = 0;
    // Pixels of the image that none of the announced colour (depth) tiles found reaches; set
    // when the walk gets through with every announced tile found.
    uint64_t colourPixelsUncovered = 0;
    uint64_t depthPixelsUncovered = 0;
    // The first damage; also set when there is no header, when tiles are missing, and when the
    // announced tiles leave pixels of the image uncovered.
    Damage damage;

    int ColourTiles() const;  // "RGBA" chunks listed in tiles
    int DepthTiles() const;   // "ZBUF" chunks listed in tiles
    // Recognised, undamaged, every announced tile found, and every pixel covered.
    bool Whole() const { return recognised && damage.reason.empty(); }
};

// Walks the size bytes at bytes. Never fails: a file that is not of this format gives
// recognised false, and anything the walk cannot get past is described in damage.
Layout WalkLayout(const uint8_t* bytes, size_t size);

// Walks the file at path, reading only chunk headers and tile rectangles. False, with the
// system's reason in *why ("No such file or directory", "it is a directory"), when the file
// cannot be opened and read as a regular file; *layout is then untouched.
bool WalkLayoutFile(const std::string& path, Layout* layout, std::string* why);

// A rectangle of pixels, columns [left, right) and rows [top, bottom). Which way rows are
// counted does not matter here, as long as all rectangles count them the same way.
struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// The pixels of a width x height image that none of rects reaches, each rectangle taken within
// the image (parts outside it and empty rectangles count for nothing). The module reads the
// tiles a header announces, however few: a file whose tiles leave pixels uncovered is not whole.
uint64_t UncoveredPixels(const std::vector<PixelRect>& rects, int width, int height);

// The names of the known flag bits set, in bit order: "rgb", "alpha", "depth".
std::vector<std::string> KnownFlagNames(uint32_t flags);
// The same joined, "rgb, alpha, depth", then "other bits" when unknown bits are set; "none"
// for 0.
std::string FlagNames(uint32_t flags);

}  // namespace tarniff

#endif
