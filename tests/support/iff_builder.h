// Test-side composer of image files, written apart from the module's code.
//
// The module's writer only ever produces one shape of file, so the reader is tested on files
// composed here: any chunk layout, header values, tile sizes and order, raw or run-length
// compressed tiles, depth tiles, extra chunks, wrong sizes, truncation. The expected result of a
// read is worked out from the description a file was built from (the test image and the tile
// list), never by decoding the file's bytes.
//
// Conventions used throughout:
//  - Images are held the way the host holds them: rows counted from the top, channels 0 red,
//    1 green, 2 blue, 3 alpha (a one-channel image has channel 0 only); depth is one uint32 per
//    pixel, 0 in the top byte meaning "no depth here".
//  - Tile rectangles are the file's: x1..x2, y1..y2 inclusive, row 0 at the bottom of the image,
//    so file row y is image row height - 1 - y.
//  - Every helper that meets a request it cannot honour (a forced compressed tile that would not
//    be shorter than raw, an unclosed chunk, a result it cannot model) throws std::logic_error,
//    which GoogleTest reports as a failure with the message.
#ifndef TNIFF_TESTS_SUPPORT_IFF_BUILDER_H
#define TNIFF_TESTS_SUPPORT_IFF_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace iffbuild {

using Bytes = std::vector<std::uint8_t>;

// A four-character code as a 32-bit value, first character in the most significant byte:
// FourCC("FOR4") == 0x464F5234. `code` must hold exactly four characters.
std::uint32_t FourCC(const std::string& code);

// ---------------------------------------------------------------------------------------------
// Header values of a "TBHD" chunk. The defaults are what the format's writer stores, apart from
// the image-dependent fields (width, height, flags, tileCount).
struct Header {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t auxA = 1;
  std::uint16_t auxB = 1;
  std::uint32_t flags = 1;  // 1 rgb, 2 alpha, 4 depth
  std::uint16_t auxC = 0;
  std::uint16_t tileCount = 0;
  std::uint32_t compression = 1;
  std::uint32_t auxD = 0;
  std::uint32_t auxE = 0;
  Bytes extra;  // appended after auxE: a longer header
};

enum : std::uint32_t { kFlagRgb = 1, kFlagAlpha = 2, kFlagDepth = 4 };

// Colour channels an "RGBA" tile carries under these flags: 0, 1, 3 or 4.
int ColourChannels(std::uint32_t flags);

// File coordinates of a tile, bounds inclusive, row 0 at the bottom.
struct TileRect {
  std::uint16_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  int Width() const { return int(x2) - int(x1) + 1; }
  int Height() const { return int(y2) - int(y1) + 1; }
};

// How the end of a chunk is written. The defaults give a well-formed chunk.
struct EndOptions {
  bool pad = true;                          // zero bytes up to the next multiple of 4
  std::optional<std::uint32_t> sizeField;   // store this instead of the true size
  std::int64_t sizeDelta = 0;               // added to the true size (ignored with sizeField)

  static EndOptions Unpadded() { EndOptions o; o.pad = false; return o; }
  static EndOptions WithSize(std::uint32_t size) { EndOptions o; o.sizeField = size; return o; }
  static EndOptions SizeOffBy(std::int64_t delta) { EndOptions o; o.sizeDelta = delta; return o; }
};

// Appends bytes to a growing file. Chunks nest; EndChunk back-patches the innermost open chunk's
// size (the bytes after its 8-byte header, pad bytes not counted) and pads to a file offset that
// is a multiple of 4, like the format's writer does.
class FileWriter {
 public:
  FileWriter& Byte(std::uint8_t value);
  FileWriter& U16(std::uint16_t value);  // big-endian
  FileWriter& U32(std::uint32_t value);  // big-endian
  FileWriter& Id(const std::string& code);  // four characters
  FileWriter& Append(const Bytes& bytes);
  FileWriter& Zeros(std::size_t count);
  FileWriter& PadTo4();

  FileWriter& BeginChunk(const std::string& id);
  FileWriter& BeginChunk(std::uint32_t id);
  FileWriter& BeginGroup(const std::string& type);  // "FOR4" + type
  FileWriter& EndChunk(const EndOptions& options = EndOptions());
  // A whole chunk: header, payload, size, padding.
  FileWriter& Chunk(const std::string& id, const Bytes& payload,
                    const EndOptions& options = EndOptions());

  // The chunks of the format, written as the format's writer writes them.
  FileWriter& Fver();                       // "FVER": u16 1, u16 1
  FileWriter& Flds();                       // "FLDS": the fixed 20-byte block
  FileWriter& Tbhd(const Header& header);   // "TBHD": 32 bytes + header.extra
  // A tile chunk: id, then x1, y1, x2, y2, then the pixel data verbatim.
  FileWriter& Tile(const std::string& id, const TileRect& rect, const Bytes& pixelData,
                   const EndOptions& options = EndOptions());

  void PatchU32(std::size_t offset, std::uint32_t value);  // overwrite 4 bytes in place
  std::size_t Offset() const { return bytes_.size(); }
  std::size_t OpenChunks() const { return open_.size(); }
  const Bytes& Data() const { return bytes_; }
  Bytes Finish() const;  // the bytes; throws if a chunk is still open

 private:
  Bytes bytes_;
  std::vector<std::size_t> open_;  // start offsets of open chunks, innermost last
};

// A whole chunk (or group with children) as bytes, composed at offset 0; since every well-formed
// chunk starts and ends on a multiple of 4, the bytes can be inserted at any aligned offset.
Bytes ChunkBytes(const std::string& id, const Bytes& payload);
Bytes GroupBytes(const std::string& type, const Bytes& children);

// The file cut after its first `length` bytes (the whole file when it is shorter).
Bytes Truncated(const Bytes& file, std::size_t length);

// ---------------------------------------------------------------------------------------------
// A test image in the host's terms.
struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int channels = 3;                 // colour channels per pixel: 0, 1, 3 or 4
  Bytes colour;                     // width*height*channels, rows top first, channel 0 first
  std::vector<std::uint32_t> depth;  // empty when there is no depth; else width*height, top first

  // All zero; depth present when withDepth (all pixels empty then).
  static Image Blank(std::uint32_t width, std::uint32_t height, int channels,
                     bool withDepth = false);
  bool HasDepth() const { return !depth.empty(); }
  std::uint8_t& At(std::uint32_t x, std::uint32_t row, int channel);
  std::uint8_t At(std::uint32_t x, std::uint32_t row, int channel) const;
  std::uint32_t& DepthAt(std::uint32_t x, std::uint32_t row);
  std::uint32_t DepthAt(std::uint32_t x, std::uint32_t row) const;

  // Deterministic pseudo-random colour values. With `levels` below 256 each value is one of
  // that many, so runs appear and tiles compress.
  void FillRandom(std::uint64_t seed, int levels = 256);
  // Deterministic pseudo-random depth in [lo, hi] (both with a non-zero top byte), about
  // `emptyPercent` of the pixels left empty (value 0). Creates the depth buffer if needed.
  void FillRandomDepth(std::uint64_t seed, std::uint32_t lo = 0x3F000000u,
                       std::uint32_t hi = 0x3F800000u, int emptyPercent = 10);
};

enum class Kind { Colour, Depth };  // "RGBA" and "ZBUF" tiles

// Bytes per pixel of a tile of this kind cut from this image: its channel count or 4.
int BytesPerPixel(const Image& image, Kind kind);

// ---------------------------------------------------------------------------------------------
// Run-length packets. A run packet is 0x80|(n-1) and one value standing for n copies; a literal
// packet is (n-1) and n bytes; n is 1..128.
Bytes RunPacket(int count, std::uint8_t value);
Bytes LiteralPacket(const Bytes& values);
Bytes Concat(const std::vector<Bytes>& parts);

enum class RleStyle {
  // The packet choices of the format's writer: an equal pair at a packet start is a run of 2,
  // an equal pair inside a literal stays literal, a third equal byte starts a run of 3, and a
  // trailing pair stays in the literal.
  AsWritten,
  // A plain encoder: every stretch of at least `minRun` equal bytes is a run packet (split at
  // `maxPacket`), everything else literal packets of at most `maxPacket` bytes. With minRun 1
  // every byte is a run packet; with a huge minRun everything is literal.
  Greedy,
};
struct RleOptions {
  RleStyle style = RleStyle::AsWritten;
  int maxPacket = 128;  // Greedy only: 1..128
  int minRun = 2;       // Greedy only: at least 1
};

// One plane as a run stream.
Bytes EncodePlane(const Bytes& plane, const RleOptions& options = RleOptions());

// ---------------------------------------------------------------------------------------------
// Tile pixel data cut from an image. Pixels of the rectangle outside the image are 0. The
// rectangle must not be reversed.

// Raw layout: rows bottom first, each pixel's channels highest index first; depth big-endian.
Bytes RawPixels(const Image& image, Kind kind, const TileRect& rect);
// The planes as they decode: plane 0 is channel m-1 (depth: the most significant bytes), each
// plane rows bottom first; the planes follow each other.
Bytes TilePlanes(const Image& image, Kind kind, const TileRect& rect);
// The compressed layout: each plane of TilePlanes encoded on its own, streams concatenated.
Bytes CompressedPixels(const Image& image, Kind kind, const TileRect& rect,
                       const RleOptions& options = RleOptions());

// Raw, compressed (throws unless strictly shorter than raw, since a reader could not tell it
// from raw data otherwise), or compressed when that is shorter and raw otherwise.
enum class Form { Raw, Compressed, Smallest };
struct TilePixels {
  Bytes data;
  bool compressed = false;
};
TilePixels EncodeTilePixels(const Image& image, Kind kind, const TileRect& rect, Form form,
                            const RleOptions& options = RleOptions());

// ---------------------------------------------------------------------------------------------
// Whole files.

enum class TileOrder {
  BottomRowFirst,  // like the format's writer: tile rows from the bottom, each left to right
  TopRowFirst,     // tile rows from the top, each left to right
  Shuffled,        // a permutation drawn from `seed`
};
enum class KindOrder {
  ColourThenDepth,  // all "RGBA" tiles, then all "ZBUF" tiles
  DepthThenColour,
  Interleaved,      // per tile position: "RGBA" then "ZBUF"
  Mixed,            // both kinds shuffled together (from `seed`)
};

// Where an extra chunk goes. The plain layout is: CIMG { FVER TBHD FLDS TBMP { tiles } }.
enum class Place {
  CimgStart,   // first child of the outer group, before FVER
  AfterFver,   // between FVER and TBHD
  AfterTbhd,   // between TBHD and FLDS
  AfterFlds,   // between FLDS and TBMP
  InTbmp,      // inside TBMP before tile number `beforeTile` (in group order), or at its end
  AfterTbmp,   // inside the outer group, after TBMP
  AfterCimg,   // after the outer group, at file level
};
struct Extra {
  Place where = Place::AfterFlds;
  Bytes bytes;  // usually ChunkBytes(...) or GroupBytes(...)
  std::size_t beforeTile = std::numeric_limits<std::size_t>::max();  // InTbmp only
};

// A tile as planned for a file: its kind, rectangle and form, and where it ended up.
struct PlacedTile {
  Kind kind = Kind::Colour;
  TileRect rect;
  Form form = Form::Smallest;     // as requested
  bool compressed = false;        // as written
  std::size_t offset = 0;         // file offset of the chunk's id
  std::uint32_t sizeField = 0;    // the chunk's size field
  std::size_t End() const;        // offset just past the chunk and its pad bytes
};

struct FileSpec {
  Image image;
  // Header flags; by default from the image: channels 0/1/3/4 give 0/2/1/3, plus 4 with depth.
  std::optional<std::uint32_t> flags;
  std::uint16_t tileWidth = 64;
  std::uint16_t tileHeight = 64;
  TileOrder order = TileOrder::BottomRowFirst;
  KindOrder kinds = KindOrder::ColourThenDepth;
  std::uint64_t seed = 1;
  Form form = Form::Smallest;
  std::function<Form(std::size_t index, const PlacedTile& tile)> formFor;  // overrides `form`
  RleOptions rle;
  std::optional<std::uint16_t> tileCount;   // default: the number of tile positions
  std::function<void(Header&)> editHeader;  // last word on every header field
  bool fver = true, tbhd = true, flds = true;
  std::vector<Extra> extras;
};

struct BuiltFile {
  Bytes bytes;
  Header header;                  // as written
  std::size_t tbhdOffset = 0;     // 0 when no TBHD was written
  std::size_t tbmpOffset = 0;
  std::vector<PlacedTile> tiles;  // in the order they stand in the TBMP group
};

// The tile list the file will hold, in group order, before anything is encoded. Colour tiles are
// made when the image has colour channels, depth tiles when it has depth.
std::vector<PlacedTile> PlanTiles(const FileSpec& fileSpec);
// The header that BuildFile writes for this fileSpec.
Header HeaderFor(const FileSpec& fileSpec);
BuiltFile BuildFile(const FileSpec& fileSpec);

// The pixel data of the file's tile `index` (after its 8-byte rectangle) overwritten with zero
// bytes: as a run stream, one-byte literal packets that fill half as many bytes as there are, so
// a compressed tile's stream ends before its planes are full.
void ZeroTilePixels(BuiltFile& file, std::size_t index);

// ---------------------------------------------------------------------------------------------
// What the host ends up with after reading.

struct ExpectedImage {
  std::uint32_t width = 0;   // the low 16 bits of the header's values
  std::uint32_t height = 0;
  int colourPlanes = 0;      // channels 0..colourPlanes-1
  bool hasDepth = false;     // then plane colourPlanes is the depth, scaled to 0..255
  Bytes pixels;              // interleaved, rows top first, Planes() bytes per pixel

  int Planes() const { return colourPlanes + (hasDepth ? 1 : 0); }
  std::uint8_t At(std::uint32_t x, std::uint32_t row, int plane) const;
  Bytes Plane(int plane) const;  // width*height bytes, rows top first
  Bytes Planar() const;          // every Plane() one after another, plane 0 first
};

// One hand-over of a tile to the host, in host coordinates (bottom and right exclusive).
struct Delivery {
  Kind kind = Kind::Colour;
  int top = 0, left = 0, bottom = 0, right = 0;
  int loPlane = 0, hiPlane = 0;
};

struct ExpectedRead {
  ExpectedImage image;
  std::vector<Delivery> deliveries;                // in order
  std::vector<std::pair<int, int>> progress;       // (done, total) after each delivery
};

// The read of a file whose "TBMP" group holds `tiles` in this order, cut from `image`, under
// `header`. Tiles are taken as the reader takes them: with depth, a survey of the first
// tileCount "ZBUF" tiles fixes the range; then tiles are handed over in group order until
// tileCount of each kind announced by the flags has been handed over. Too few tiles of a kind
// leave the rest uncovered (0); with too few "ZBUF" tiles the range comes from those there are.
// Uncovered pixels are 0. Depth: empty (top byte 0) gives 0, otherwise
// min(255, floor(256 * (v - min) / (max - min))) with unsigned 32-bit differences; when the
// range is 0 every non-empty pixel gives 255.
ExpectedRead ExpectRead(const Image& image, const Header& header,
                        const std::vector<PlacedTile>& tiles);
// The read of the file BuildFile(fileSpec) makes, from the fileSpec.
ExpectedRead ExpectRead(const FileSpec& fileSpec);

}  // namespace iffbuild

#endif  // TNIFF_TESTS_SUPPORT_IFF_BUILDER_H
