#include "tests/support/iff_builder.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace iffbuild {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::logic_error("iffbuild: " + what); }

// splitmix64: small, deterministic on every platform, good enough for test data.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }

 private:
  std::uint64_t state_;
};

template <typename T>
void Shuffle(std::vector<T>& items, std::uint64_t seed) {
  Rng rng(seed);
  for (std::size_t i = items.size(); i > 1; --i) {
    std::swap(items[i - 1], items[rng.Below(i)]);
  }
}

void CheckRect(const TileRect& rect) {
  if (rect.x2 < rect.x1 || rect.y2 < rect.y1) Fail("reversed tile rectangle");
}

// The byte of channel k of the pixel at file column x, file row y (row 0 at the bottom).
// For depth, channel k is bits 8k..8k+7 of the value, so channel 3 is the most significant byte.
// Pixels outside the image read as 0.
std::uint8_t ChannelValue(const Image& image, Kind kind, int x, int fileY, int k) {
  if (x < 0 || fileY < 0 || std::uint32_t(x) >= image.width ||
      std::uint32_t(fileY) >= image.height) {
    return 0;
  }
  const std::uint32_t row = image.height - 1 - std::uint32_t(fileY);
  if (kind == Kind::Colour) return image.At(std::uint32_t(x), row, k);
  if (!image.HasDepth()) return 0;
  return std::uint8_t(image.DepthAt(std::uint32_t(x), row) >> (8 * k));
}

std::uint32_t DepthValue(const Image& image, int x, int fileY) {
  std::uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = (v << 8) | ChannelValue(image, Kind::Depth, x, fileY, k);
  return v;
}

Bytes EncodeAsWritten(const Bytes& in) {
  // States: 0 nothing held; 1 one byte r held; 2 a run of k copies of r; 3 a literal of k bytes
  // in lit; 4 a literal whose last two bytes are equal.
  Bytes out;
  int state = 0;
  std::uint8_t r = 0, last = 0;
  int k = 0;
  std::uint8_t lit[128];
  auto emitRun = [&](int n, std::uint8_t v) {
    out.push_back(std::uint8_t(0x80 | (n - 1)));
    out.push_back(v);
  };
  auto emitLiteral = [&](int n) {
    out.push_back(std::uint8_t(n - 1));
    out.insert(out.end(), lit, lit + n);
  };
  for (std::uint8_t b : in) {
    switch (state) {
      case 0:
        r = b;
        state = 1;
        break;
      case 1:
        if (b == r) {
          k = 2;
          state = 2;
        } else {
          lit[0] = r;
          lit[1] = b;
          k = 2;
          last = b;
          state = 3;
        }
        break;
      case 2:
        if (b == r && k < 128) {
          ++k;
        } else {
          emitRun(k, r);
          r = b;
          state = 1;
        }
        break;
      case 3:
        if (b != last && k < 128) {
          lit[k++] = b;
          last = b;
        } else if (k == 127) {  // b repeats the last byte, and lit has room for one more only
          emitLiteral(126);
          r = b;
          k = 2;
          state = 2;
        } else if (k < 127) {
          lit[k++] = b;
          last = b;
          state = 4;
        } else {  // a full literal
          emitLiteral(128);
          r = b;
          state = 1;
        }
        break;
      default:  // 4
        if (b != last) {
          lit[k++] = b;
          last = b;
          state = 3;
        } else {  // a third equal byte: cut the literal before the pair
          emitLiteral(k - 2);
          r = b;
          k = 3;
          state = 2;
        }
        break;
    }
  }
  if (state == 1) {
    out.push_back(0x00);
    out.push_back(r);
  } else if (state == 2) {
    emitRun(k, r);
  } else if (state >= 3) {
    emitLiteral(k);
  }
  return out;
}

Bytes EncodeGreedy(const Bytes& in, int maxPacket, int minRun) {
  if (maxPacket < 1 || maxPacket > 128) Fail("maxPacket must be 1..128");
  if (minRun < 1) Fail("minRun must be at least 1");
  Bytes out, literal;
  auto flushLiteral = [&] {
    if (literal.empty()) return;
    out.push_back(std::uint8_t(literal.size() - 1));
    out.insert(out.end(), literal.begin(), literal.end());
    literal.clear();
  };
  std::size_t i = 0;
  while (i < in.size()) {
    std::size_t j = i;
    while (j < in.size() && in[j] == in[i] && j - i < std::size_t(maxPacket)) ++j;
    if (j - i >= std::size_t(minRun)) {
      flushLiteral();
      out.push_back(std::uint8_t(0x80 | (j - i - 1)));
      out.push_back(in[i]);
    } else {
      for (std::size_t t = i; t < j; ++t) {
        literal.push_back(in[t]);
        if (literal.size() == std::size_t(maxPacket)) flushLiteral();
      }
    }
    i = j;
  }
  flushLiteral();
  return out;
}

}  // namespace

std::uint32_t FourCC(const std::string& code) {
  if (code.size() != 4) Fail("a four-character code needs four characters: '" + code + "'");
  std::uint32_t v = 0;
  for (char c : code) v = (v << 8) | std::uint8_t(c);
  return v;
}

int ColourChannels(std::uint32_t flags) {
  return ((flags & kFlagRgb) ? 3 : 0) + ((flags & kFlagAlpha) ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// FileWriter

FileWriter& FileWriter::Byte(std::uint8_t value) {
  bytes_.push_back(value);
  return *this;
}

FileWriter& FileWriter::U16(std::uint16_t value) {
  bytes_.push_back(std::uint8_t(value >> 8));
  bytes_.push_back(std::uint8_t(value));
  return *this;
}

FileWriter& FileWriter::U32(std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(std::uint8_t(value >> shift));
  return *this;
}

FileWriter& FileWriter::Id(const std::string& code) { return U32(FourCC(code)); }

FileWriter& FileWriter::Append(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

FileWriter& FileWriter::Zeros(std::size_t count) {
  bytes_.insert(bytes_.end(), count, 0);
  return *this;
}

FileWriter& FileWriter::PadTo4() { return Zeros((4 - bytes_.size() % 4) % 4); }

FileWriter& FileWriter::BeginChunk(const std::string& id) { return BeginChunk(FourCC(id)); }

FileWriter& FileWriter::BeginChunk(std::uint32_t id) {
  open_.push_back(bytes_.size());
  U32(id);
  return U32(0);  // size, patched by EndChunk
}

FileWriter& FileWriter::BeginGroup(const std::string& type) {
  BeginChunk("FOR4");
  return Id(type);
}

FileWriter& FileWriter::EndChunk(const EndOptions& options) {
  if (open_.empty()) Fail("EndChunk without an open chunk");
  const std::size_t start = open_.back();
  open_.pop_back();
  // The size is taken before padding: pad bytes never count.
  const std::int64_t trueSize = std::int64_t(bytes_.size() - start - 8);
  const std::uint32_t size = options.sizeField ? *options.sizeField
                                               : std::uint32_t(trueSize + options.sizeDelta);
  if (options.pad) PadTo4();
  PatchU32(start + 4, size);
  return *this;
}

FileWriter& FileWriter::Chunk(const std::string& id, const Bytes& payload,
                              const EndOptions& options) {
  BeginChunk(id);
  Append(payload);
  return EndChunk(options);
}

FileWriter& FileWriter::Fver() {
  BeginChunk("FVER");
  U16(1).U16(1);
  return EndChunk();
}

FileWriter& FileWriter::Flds() {
  BeginChunk("FLDS");
  U32(0x464D5401).U32(4).U32(0x5A565100);  // nested "FMT\1" of size 4 holding "ZVQ\0"
  U32(0).U32(0);
  return EndChunk();
}

FileWriter& FileWriter::Tbhd(const Header& h) {
  BeginChunk("TBHD");
  U32(h.width).U32(h.height).U16(h.auxA).U16(h.auxB).U32(h.flags);
  U16(h.auxC).U16(h.tileCount).U32(h.compression).U32(h.auxD).U32(h.auxE);
  Append(h.extra);
  return EndChunk();
}

FileWriter& FileWriter::Tile(const std::string& id, const TileRect& rect, const Bytes& pixelData,
                             const EndOptions& options) {
  BeginChunk(id);
  U16(rect.x1).U16(rect.y1).U16(rect.x2).U16(rect.y2);
  Append(pixelData);
  return EndChunk(options);
}

void FileWriter::PatchU32(std::size_t offset, std::uint32_t value) {
  if (offset + 4 > bytes_.size()) Fail("PatchU32 past the end of the file");
  for (int i = 0; i < 4; ++i) bytes_[offset + i] = std::uint8_t(value >> (24 - 8 * i));
}

Bytes FileWriter::Finish() const {
  if (!open_.empty()) Fail("Finish with " + std::to_string(open_.size()) + " chunk(s) open");
  return bytes_;
}

Bytes ChunkBytes(const std::string& id, const Bytes& payload) {
  return FileWriter().Chunk(id, payload).Finish();
}

Bytes GroupBytes(const std::string& type, const Bytes& children) {
  FileWriter w;
  w.BeginGroup(type).Append(children).EndChunk();
  return w.Finish();
}

Bytes Truncated(const Bytes& file, std::size_t length) {
  return Bytes(file.begin(), file.begin() + std::ptrdiff_t(std::min(length, file.size())));
}

// ---------------------------------------------------------------------------------------------
// Image

Image Image::Blank(std::uint32_t width, std::uint32_t height, int channels, bool withDepth) {
  if (channels != 0 && channels != 1 && channels != 3 && channels != 4) {
    Fail("an image has 0, 1, 3 or 4 colour channels");
  }
  Image image;
  image.width = width;
  image.height = height;
  image.channels = channels;
  image.colour.assign(std::size_t(width) * height * std::size_t(channels), 0);
  if (withDepth) image.depth.assign(std::size_t(width) * height, 0);
  return image;
}

std::uint8_t& Image::At(std::uint32_t x, std::uint32_t row, int channel) {
  return colour.at((std::size_t(row) * width + x) * std::size_t(channels) + std::size_t(channel));
}

std::uint8_t Image::At(std::uint32_t x, std::uint32_t row, int channel) const {
  return colour.at((std::size_t(row) * width + x) * std::size_t(channels) + std::size_t(channel));
}

std::uint32_t& Image::DepthAt(std::uint32_t x, std::uint32_t row) {
  return depth.at(std::size_t(row) * width + x);
}

std::uint32_t Image::DepthAt(std::uint32_t x, std::uint32_t row) const {
  return depth.at(std::size_t(row) * width + x);
}

void Image::FillRandom(std::uint64_t seed, int levels) {
  if (levels < 1 || levels > 256) Fail("levels must be 1..256");
  Rng rng(seed);
  colour.resize(std::size_t(width) * height * std::size_t(channels));
  // Spread the levels over 0..255 so that few levels still reach both ends.
  for (std::uint8_t& v : colour) {
    const std::uint64_t level = rng.Below(std::uint64_t(levels));
    v = levels == 1 ? 0 : std::uint8_t(level * 255 / std::uint64_t(levels - 1));
  }
}

void Image::FillRandomDepth(std::uint64_t seed, std::uint32_t lo, std::uint32_t hi,
                            int emptyPercent) {
  if ((lo >> 24) == 0 || lo > hi) Fail("depth range needs lo <= hi and a non-zero top byte");
  Rng rng(seed);
  depth.resize(std::size_t(width) * height);
  for (std::uint32_t& v : depth) {
    const bool empty = rng.Below(100) < std::uint64_t(std::max(emptyPercent, 0));
    v = empty ? 0 : std::uint32_t(lo + rng.Below(std::uint64_t(hi) - lo + 1));
  }
}

int BytesPerPixel(const Image& image, Kind kind) {
  return kind == Kind::Colour ? image.channels : 4;
}

// ---------------------------------------------------------------------------------------------
// Run-length packets

Bytes RunPacket(int count, std::uint8_t value) {
  if (count < 1 || count > 128) Fail("a run packet covers 1..128 bytes");
  return Bytes{std::uint8_t(0x80 | (count - 1)), value};
}

Bytes LiteralPacket(const Bytes& values) {
  if (values.empty() || values.size() > 128) Fail("a literal packet holds 1..128 bytes");
  // Sized once and filled: growing a one-byte vector by insert draws a false array-bounds
  // report from GCC 12 at -O3.
  Bytes out(values.size() + 1);
  out[0] = std::uint8_t(values.size() - 1);
  std::copy(values.begin(), values.end(), out.begin() + 1);
  return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes EncodePlane(const Bytes& plane, const RleOptions& options) {
  if (options.style == RleStyle::AsWritten) return EncodeAsWritten(plane);
  return EncodeGreedy(plane, options.maxPacket, options.minRun);
}

// ---------------------------------------------------------------------------------------------
// Tile pixel data

Bytes RawPixels(const Image& image, Kind kind, const TileRect& rect) {
  CheckRect(rect);
  const int m = BytesPerPixel(image, kind);
  Bytes out;
  out.reserve(std::size_t(rect.Width()) * std::size_t(rect.Height()) * std::size_t(m));
  for (int y = rect.y1; y <= rect.y2; ++y) {
    for (int x = rect.x1; x <= rect.x2; ++x) {
      for (int k = m - 1; k >= 0; --k) out.push_back(ChannelValue(image, kind, x, y, k));
    }
  }
  return out;
}

Bytes TilePlanes(const Image& image, Kind kind, const TileRect& rect) {
  CheckRect(rect);
  const int m = BytesPerPixel(image, kind);
  Bytes out;
  out.reserve(std::size_t(rect.Width()) * std::size_t(rect.Height()) * std::size_t(m));
  for (int k = m - 1; k >= 0; --k) {
    for (int y = rect.y1; y <= rect.y2; ++y) {
      for (int x = rect.x1; x <= rect.x2; ++x) out.push_back(ChannelValue(image, kind, x, y, k));
    }
  }
  return out;
}

Bytes CompressedPixels(const Image& image, Kind kind, const TileRect& rect,
                       const RleOptions& options) {
  const Bytes planes = TilePlanes(image, kind, rect);
  const std::size_t n = std::size_t(rect.Width()) * std::size_t(rect.Height());
  Bytes out;
  for (std::size_t start = 0; start < planes.size(); start += n) {
    const Bytes encoded = EncodePlane(
        Bytes(planes.begin() + std::ptrdiff_t(start), planes.begin() + std::ptrdiff_t(start + n)),
        options);
    out.insert(out.end(), encoded.begin(), encoded.end());
  }
  return out;
}

TilePixels EncodeTilePixels(const Image& image, Kind kind, const TileRect& rect, Form form,
                            const RleOptions& options) {
  TilePixels result;
  result.data = RawPixels(image, kind, rect);
  if (form == Form::Raw) return result;
  Bytes compressed = CompressedPixels(image, kind, rect, options);
  if (compressed.size() < result.data.size()) {
    result.data = std::move(compressed);
    result.compressed = true;
  } else if (form == Form::Compressed) {
    Fail("compressed tile of " + std::to_string(compressed.size()) +
         " bytes is not shorter than its " + std::to_string(result.data.size()) + " raw bytes");
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Whole files

std::size_t PlacedTile::End() const {
  const std::size_t end = offset + 8 + sizeField;
  return (end + 3) / 4 * 4;
}

namespace {

std::uint32_t DefaultFlags(const Image& image) {
  std::uint32_t flags = 0;
  switch (image.channels) {
    case 1: flags = kFlagAlpha; break;
    case 3: flags = kFlagRgb; break;
    case 4: flags = kFlagRgb | kFlagAlpha; break;
    default: break;
  }
  return image.HasDepth() ? (flags | kFlagDepth) : flags;
}

struct Grid {
  std::vector<TileRect> positions;  // bottom row first, each row left to right
  std::uint32_t columns = 0, rows = 0;
};

Grid MakeGrid(const FileSpec& fileSpec) {
  if (fileSpec.tileWidth == 0 || fileSpec.tileHeight == 0) Fail("tile size must be at least 1");
  const std::uint32_t w = fileSpec.image.width, h = fileSpec.image.height;
  if (w > 65536 || h > 65536) Fail("image too large for 16-bit tile coordinates");
  Grid grid;
  grid.columns = (w + fileSpec.tileWidth - 1) / fileSpec.tileWidth;
  grid.rows = (h + fileSpec.tileHeight - 1) / fileSpec.tileHeight;
  for (std::uint32_t j = 0; j < grid.rows; ++j) {
    for (std::uint32_t i = 0; i < grid.columns; ++i) {
      TileRect r;
      r.x1 = std::uint16_t(i * fileSpec.tileWidth);
      r.x2 = std::uint16_t(std::min(w, (i + 1) * fileSpec.tileWidth) - 1);
      r.y1 = std::uint16_t(j * fileSpec.tileHeight);
      r.y2 = std::uint16_t(std::min(h, (j + 1) * fileSpec.tileHeight) - 1);
      grid.positions.push_back(r);
    }
  }
  return grid;
}

}  // namespace

Header HeaderFor(const FileSpec& fileSpec) {
  const Grid grid = MakeGrid(fileSpec);
  Header h;
  h.width = fileSpec.image.width;
  h.height = fileSpec.image.height;
  h.flags = fileSpec.flags ? *fileSpec.flags : DefaultFlags(fileSpec.image);
  h.tileCount = fileSpec.tileCount ? *fileSpec.tileCount : std::uint16_t(grid.positions.size());
  if (fileSpec.editHeader) fileSpec.editHeader(h);
  return h;
}

std::vector<PlacedTile> PlanTiles(const FileSpec& fileSpec) {
  const Grid grid = MakeGrid(fileSpec);
  std::vector<TileRect> positions;
  switch (fileSpec.order) {
    case TileOrder::BottomRowFirst:
      positions = grid.positions;
      break;
    case TileOrder::TopRowFirst:
      for (std::uint32_t j = grid.rows; j-- > 0;) {
        for (std::uint32_t i = 0; i < grid.columns; ++i) {
          positions.push_back(grid.positions[j * grid.columns + i]);
        }
      }
      break;
    case TileOrder::Shuffled:
      positions = grid.positions;
      Shuffle(positions, fileSpec.seed);
      break;
  }

  const bool colour = fileSpec.image.channels > 0;
  const bool depth = fileSpec.image.HasDepth();
  auto tile = [](Kind kind, const TileRect& rect) {
    PlacedTile t;
    t.kind = kind;
    t.rect = rect;
    return t;
  };
  std::vector<PlacedTile> tiles;
  auto addAll = [&](Kind kind, bool wanted) {
    if (!wanted) return;
    for (const TileRect& r : positions) tiles.push_back(tile(kind, r));
  };
  switch (fileSpec.kinds) {
    case KindOrder::ColourThenDepth:
      addAll(Kind::Colour, colour);
      addAll(Kind::Depth, depth);
      break;
    case KindOrder::DepthThenColour:
      addAll(Kind::Depth, depth);
      addAll(Kind::Colour, colour);
      break;
    case KindOrder::Interleaved:
      for (const TileRect& r : positions) {
        if (colour) tiles.push_back(tile(Kind::Colour, r));
        if (depth) tiles.push_back(tile(Kind::Depth, r));
      }
      break;
    case KindOrder::Mixed:
      addAll(Kind::Colour, colour);
      addAll(Kind::Depth, depth);
      Shuffle(tiles, fileSpec.seed ^ 0x5DEECE66Dull);
      break;
  }
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    tiles[i].form = fileSpec.formFor ? fileSpec.formFor(i, tiles[i]) : fileSpec.form;
  }
  return tiles;
}

BuiltFile BuildFile(const FileSpec& fileSpec) {
  BuiltFile built;
  built.header = HeaderFor(fileSpec);
  built.tiles = PlanTiles(fileSpec);

  FileWriter w;
  auto extrasAt = [&](Place where, std::size_t tileIndex) {
    for (const Extra& e : fileSpec.extras) {
      if (e.where != where) continue;
      if (where == Place::InTbmp) {
        const bool atEnd = tileIndex == built.tiles.size();
        if (atEnd ? e.beforeTile < tileIndex : e.beforeTile != tileIndex) continue;
      }
      w.Append(e.bytes);
    }
  };

  w.BeginGroup("CIMG");
  extrasAt(Place::CimgStart, 0);
  if (fileSpec.fver) w.Fver();
  extrasAt(Place::AfterFver, 0);
  if (fileSpec.tbhd) {
    built.tbhdOffset = w.Offset();
    w.Tbhd(built.header);
  }
  extrasAt(Place::AfterTbhd, 0);
  if (fileSpec.flds) w.Flds();
  extrasAt(Place::AfterFlds, 0);
  built.tbmpOffset = w.Offset();
  w.BeginGroup("TBMP");
  for (std::size_t i = 0; i < built.tiles.size(); ++i) {
    extrasAt(Place::InTbmp, i);
    PlacedTile& t = built.tiles[i];
    const TilePixels pixels = EncodeTilePixels(fileSpec.image, t.kind, t.rect, t.form, fileSpec.rle);
    t.compressed = pixels.compressed;
    t.offset = w.Offset();
    t.sizeField = std::uint32_t(8 + pixels.data.size());
    w.Tile(t.kind == Kind::Colour ? "RGBA" : "ZBUF", t.rect, pixels.data);
  }
  extrasAt(Place::InTbmp, built.tiles.size());
  w.EndChunk();
  extrasAt(Place::AfterTbmp, 0);
  w.EndChunk();
  extrasAt(Place::AfterCimg, 0);
  built.bytes = w.Finish();
  return built;
}

void ZeroTilePixels(BuiltFile& file, std::size_t index) {
  const PlacedTile& tile = file.tiles.at(index);
  const std::size_t data = tile.offset + 8 + 8, end = tile.offset + 8 + tile.sizeField;
  if (tile.sizeField < 8 || end > file.bytes.size()) throw std::logic_error("no such tile data");
  std::fill(file.bytes.begin() + std::ptrdiff_t(data), file.bytes.begin() + std::ptrdiff_t(end), 0);
}

// ---------------------------------------------------------------------------------------------
// Expected result of a read

std::uint8_t ExpectedImage::At(std::uint32_t x, std::uint32_t row, int plane) const {
  return pixels.at((std::size_t(row) * width + x) * std::size_t(Planes()) + std::size_t(plane));
}

Bytes ExpectedImage::Plane(int plane) const {
  Bytes out;
  out.reserve(std::size_t(width) * height);
  for (std::uint32_t row = 0; row < height; ++row) {
    for (std::uint32_t x = 0; x < width; ++x) out.push_back(At(x, row, plane));
  }
  return out;
}

Bytes ExpectedImage::Planar() const {
  Bytes out;
  for (int p = 0; p < Planes(); ++p) {
    const Bytes plane = Plane(p);
    out.insert(out.end(), plane.begin(), plane.end());
  }
  return out;
}

ExpectedRead ExpectRead(const Image& image, const Header& header,
                        const std::vector<PlacedTile>& tiles) {
  ExpectedRead result;
  ExpectedImage& out = result.image;
  out.width = header.width & 0xFFFFu;
  out.height = header.height & 0xFFFFu;
  out.colourPlanes = ColourChannels(header.flags);
  out.hasDepth = (header.flags & kFlagDepth) != 0;
  const int planes = out.Planes();
  out.pixels.assign(std::size_t(out.width) * out.height * std::size_t(planes), 0);

  const std::uint32_t tileCount = header.tileCount;
  if (tileCount == 0) return result;

  auto checkTile = [](const PlacedTile& t) {
    CheckRect(t.rect);
    // The reader keeps a tile's pixel count in 16 bits; larger tiles are not modelled.
    if (std::uint64_t(t.rect.Width()) * std::uint64_t(t.rect.Height()) >= 65536) {
      Fail("tiles of 65536 pixels or more are not modelled");
    }
  };
  auto forEachPixel = [](const TileRect& r, auto&& fn) {
    for (int y = r.y1; y <= r.y2; ++y) {
      for (int x = r.x1; x <= r.x2; ++x) fn(x, y);
    }
  };

  // Survey: the range comes from the first tileCount depth tiles in group order.
  std::uint32_t lo = 0xFFFFFFFFu, hi = 0;
  if (out.hasDepth) {
    std::uint32_t surveyed = 0;
    for (const PlacedTile& t : tiles) {
      if (t.kind != Kind::Depth) continue;
      checkTile(t);
      forEachPixel(t.rect, [&](int x, int y) {
        const std::uint32_t v = DepthValue(image, x, y);
        if ((v >> 24) == 0) return;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      });
      if (++surveyed == tileCount) break;
    }
    // Too few depth tiles: the survey ends at the end of the file with the range of those it saw,
    // and every tile there is is handed over.
  }
  const std::uint32_t range = hi - lo;  // unsigned 32-bit, as the reader computes it
  auto scaled = [&](std::uint32_t v) -> std::uint8_t {
    if ((v >> 24) == 0) return 0;
    if (range == 0) return 255;
    const std::uint64_t t = std::uint64_t(std::uint32_t(v - lo)) * 256 / range;
    return std::uint8_t(std::min<std::uint64_t>(t, 255));
  };

  auto put = [&](int x, int fileY, int plane, std::uint8_t value) {
    const std::int64_t row = std::int64_t(out.height) - 1 - fileY;
    if (x < 0 || std::uint32_t(x) >= out.width || row < 0 || row >= std::int64_t(out.height)) {
      return;
    }
    out.pixels[(std::size_t(row) * out.width + std::size_t(x)) * std::size_t(planes) +
               std::size_t(plane)] = value;
  };

  std::uint32_t colourCount = out.colourPlanes == 0 ? tileCount : 0;
  std::uint32_t depthCount = out.hasDepth ? 0 : tileCount;
  for (const PlacedTile& t : tiles) {
    if (colourCount >= tileCount && depthCount >= tileCount) break;
    Delivery d;
    d.kind = t.kind;
    d.top = int(out.height) - t.rect.y2 - 1;
    d.left = t.rect.x1;
    d.bottom = int(out.height) - t.rect.y1;
    d.right = t.rect.x2 + 1;
    if (t.kind == Kind::Colour) {
      if (out.colourPlanes == 0) continue;
      if (image.channels != out.colourPlanes) {
        Fail("colour tiles of " + std::to_string(image.channels) + " channels under flags of " +
             std::to_string(out.colourPlanes) + " are not modelled");
      }
      checkTile(t);
      forEachPixel(t.rect, [&](int x, int y) {
        for (int k = 0; k < out.colourPlanes; ++k) {
          put(x, y, k, ChannelValue(image, Kind::Colour, x, y, k));
        }
      });
      d.loPlane = 0;
      d.hiPlane = out.colourPlanes - 1;
      ++colourCount;
    } else {
      if (!out.hasDepth) continue;
      checkTile(t);
      forEachPixel(t.rect, [&](int x, int y) {
        put(x, y, out.colourPlanes, scaled(DepthValue(image, x, y)));
      });
      d.loPlane = d.hiPlane = out.colourPlanes;
      ++depthCount;
    }
    result.deliveries.push_back(d);
    result.progress.emplace_back(int(std::min(colourCount, depthCount)), int(tileCount));
  }
  return result;
}

ExpectedRead ExpectRead(const FileSpec& fileSpec) {
  if (!fileSpec.tbhd) Fail("a file without a TBHD chunk is refused; nothing to expect");
  // Extra chunks are assumed to be passed over; ones the reader would take up are refused here.
  auto codeAt = [](const Bytes& b, std::size_t at) -> std::uint32_t {
    if (b.size() < at + 4) return 0;
    return (std::uint32_t(b[at]) << 24) | (std::uint32_t(b[at + 1]) << 16) |
           (std::uint32_t(b[at + 2]) << 8) | b[at + 3];
  };
  for (const Extra& e : fileSpec.extras) {
    const std::uint32_t id = codeAt(e.bytes, 0), type = codeAt(e.bytes, 8);
    const bool beforeTbhd = e.where == Place::CimgStart || e.where == Place::AfterFver;
    const bool beforeTbmp = e.where == Place::AfterTbhd || e.where == Place::AfterFlds;
    if ((beforeTbhd && id == FourCC("TBHD")) ||
        (beforeTbmp && id == FourCC("FOR4") && type == FourCC("TBMP")) ||
        (e.where == Place::InTbmp && (id == FourCC("RGBA") || id == FourCC("ZBUF")))) {
      Fail("an extra chunk the reader would take up is not modelled");
    }
  }
  return ExpectRead(fileSpec.image, HeaderFor(fileSpec), PlanTiles(fileSpec));
}

}  // namespace iffbuild
