// The test-side file builder checked against bytes written out by hand, so that reader tests
// built on it can be trusted.
#include "tests/support/iff_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <tuple>

namespace iffbuild {
namespace {

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Decodes one run stream into planes of `planeSize` bytes; fails the test on a packet that
// would cross a plane's end or on a stream that does not end on a plane boundary.
Bytes DecodePackets(const Bytes& stream, std::size_t planeSize) {
  Bytes out;
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::uint8_t control = stream[at++];
    const std::size_t n = (control & 0x7Fu) + 1u;
    const std::size_t filled = out.size() % planeSize;
    EXPECT_LE(filled + n, planeSize) << "packet crosses a plane at stream byte " << at - 1;
    if (control & 0x80u) {
      EXPECT_LT(at, stream.size());
      if (at >= stream.size()) break;
      out.insert(out.end(), n, stream[at++]);
    } else {
      EXPECT_LE(at + n, stream.size());
      if (at + n > stream.size()) break;
      out.insert(out.end(), stream.begin() + std::ptrdiff_t(at),
                 stream.begin() + std::ptrdiff_t(at + n));
      at += n;
    }
  }
  EXPECT_EQ(out.size() % planeSize, 0u);
  return out;
}

TEST(IffBuilderTest, OneByOneRgbFileMatchesHandWrittenBytes) {
  FileSpec fileSpec;
  fileSpec.image = Image::Blank(1, 1, 3);
  fileSpec.image.At(0, 0, 0) = 0x10;  // red
  fileSpec.image.At(0, 0, 1) = 0x20;
  fileSpec.image.At(0, 0, 2) = 0x30;  // blue
  const Bytes expected = Concat({
      Ascii("FOR4"), {0, 0, 0, 116}, Ascii("CIMG"),
      Ascii("FVER"), {0, 0, 0, 4, 0, 1, 0, 1},
      Ascii("TBHD"), {0, 0, 0, 32, 0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 1,
                      0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0},
      Ascii("FLDS"), {0, 0, 0, 20, 0x46, 0x4D, 0x54, 0x01, 0, 0, 0, 4, 0x5A, 0x56, 0x51, 0,
                      0, 0, 0, 0, 0, 0, 0, 0},
      Ascii("FOR4"), {0, 0, 0, 24}, Ascii("TBMP"),
      Ascii("RGBA"), {0, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0x30, 0x20, 0x10, 0},
  });
  ASSERT_EQ(expected.size(), 124u);

  const BuiltFile built = BuildFile(fileSpec);
  EXPECT_EQ(built.bytes, expected);
  EXPECT_EQ(built.tbhdOffset, 24u);
  EXPECT_EQ(built.tbmpOffset, 92u);
  ASSERT_EQ(built.tiles.size(), 1u);
  EXPECT_EQ(built.tiles[0].offset, 104u);
  EXPECT_EQ(built.tiles[0].End(), 124u);
  EXPECT_FALSE(built.tiles[0].compressed);

  const ExpectedRead read = ExpectRead(fileSpec);
  EXPECT_EQ(read.image.pixels, (Bytes{0x10, 0x20, 0x30}));
  EXPECT_EQ(read.progress, (std::vector<std::pair<int, int>>{{1, 1}}));
}

TEST(IffBuilderTest, ChunkSizesAndPadding) {
  struct Case {
    const char* name;
    Bytes got;
    Bytes want;
  };
  const Case cases[] = {
      {"5-byte payload: size 5, three pad bytes",
       ChunkBytes("ABCD", {1, 2, 3, 4, 5}),
       Concat({Ascii("ABCD"), {0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0}})},
      {"4-byte payload: no pad",
       ChunkBytes("ABCD", {1, 2, 3, 4}), Concat({Ascii("ABCD"), {0, 0, 0, 4, 1, 2, 3, 4}})},
      {"empty group has size 4", GroupBytes("TBMP", {}),
       Concat({Ascii("FOR4"), {0, 0, 0, 4}, Ascii("TBMP")})},
      {"inner pad counts in the outer size", GroupBytes("XXXX", ChunkBytes("ab c", {7})),
       Concat({Ascii("FOR4"), {0, 0, 0, 16}, Ascii("XXXX"), Ascii("ab c"), {0, 0, 0, 1, 7, 0, 0, 0}})},
      {"unpadded", FileWriter().Chunk("ABCD", {9}, EndOptions::Unpadded()).Finish(),
       Concat({Ascii("ABCD"), {0, 0, 0, 1, 9}})},
      {"size field given", FileWriter().Chunk("ABCD", {9}, EndOptions::WithSize(0xFFFFFFF0)).Finish(),
       Concat({Ascii("ABCD"), {0xFF, 0xFF, 0xFF, 0xF0, 9, 0, 0, 0}})},
      {"size off by -2", FileWriter().Chunk("ABCD", {9, 9, 9}, EndOptions::SizeOffBy(-2)).Finish(),
       Concat({Ascii("ABCD"), {0, 0, 0, 1, 9, 9, 9, 0}})},
      {"values big-endian", FileWriter().U16(0x1234).U32(0x56789ABC).Byte(0xDE).PadTo4().Finish(),
       {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.name;

  FileWriter open;
  open.BeginChunk("ABCD");
  EXPECT_THROW(open.Finish(), std::logic_error);
  EXPECT_THROW(FileWriter().EndChunk(), std::logic_error);
  EXPECT_EQ(Truncated(ChunkBytes("ABCD", {1}), 6), (Bytes{'A', 'B', 'C', 'D', 0, 0}));
}

TEST(IffBuilderTest, TwoByTwoTileLayouts) {
  // Colour, host rows top first: (1,2,3) (4,5,6) / (7,8,9) (10,11,12).
  Image rgb = Image::Blank(2, 2, 3);
  rgb.colour = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const TileRect all{0, 0, 1, 1};
  EXPECT_EQ(RawPixels(rgb, Kind::Colour, all), (Bytes{9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}));
  EXPECT_EQ(TilePlanes(rgb, Kind::Colour, all),
            (Bytes{9, 12, 3, 6, 8, 11, 2, 5, 7, 10, 1, 4}));
  // Four distinct bytes per plane cannot be stored shorter than raw.
  EXPECT_FALSE(EncodeTilePixels(rgb, Kind::Colour, all, Form::Smallest).compressed);
  EXPECT_THROW(EncodeTilePixels(rgb, Kind::Colour, all, Form::Compressed), std::logic_error);
  // A rectangle reaching past the image reads zeros there; a one-row tile cut from the top row.
  EXPECT_EQ(RawPixels(rgb, Kind::Colour, TileRect{1, 1, 2, 1}), (Bytes{6, 5, 4, 0, 0, 0}));

  // Depth, host rows top first: 3F800000 3F800000 / 3F400000 empty.
  Image depth = Image::Blank(2, 2, 0, true);
  depth.depth = {0x3F800000, 0x3F800000, 0x3F400000, 0};
  EXPECT_EQ(RawPixels(depth, Kind::Depth, all),
            (Bytes{0x3F, 0x40, 0, 0, 0, 0, 0, 0, 0x3F, 0x80, 0, 0, 0x3F, 0x80, 0, 0}));
  const TilePixels packed = EncodeTilePixels(depth, Kind::Depth, all, Form::Compressed);
  EXPECT_TRUE(packed.compressed);
  EXPECT_EQ(packed.data, (Bytes{0x03, 0x3F, 0, 0x3F, 0x3F, 0x03, 0x40, 0, 0x80, 0x80,
                                0x83, 0, 0x83, 0}));
  EXPECT_EQ(EncodeTilePixels(depth, Kind::Depth, all, Form::Raw).data,
            RawPixels(depth, Kind::Depth, all));

  // Two equal RGBA pixels would compress to 8 bytes, exactly their raw size: stored raw.
  Image pair = Image::Blank(2, 1, 4);
  pair.colour = {1, 2, 3, 4, 1, 2, 3, 4};
  EXPECT_FALSE(
      EncodeTilePixels(pair, Kind::Colour, TileRect{0, 0, 1, 0}, Form::Smallest).compressed);

  // Three equal RGB pixels in a row: three runs, blue plane first.
  Image row = Image::Blank(3, 1, 3);
  row.colour = {1, 2, 3, 1, 2, 3, 1, 2, 3};
  EXPECT_EQ(EncodeTilePixels(row, Kind::Colour, TileRect{0, 0, 2, 0}, Form::Smallest).data,
            (Bytes{0x82, 3, 0x82, 2, 0x82, 1}));

  // A tile chunk: id, size, header, pixel data, padding.
  EXPECT_EQ(FileWriter().Tile("ZBUF", TileRect{1, 2, 3, 4}, {0xAA}).Finish(),
            Concat({Ascii("ZBUF"), {0, 0, 0, 9, 0, 1, 0, 2, 0, 3, 0, 4, 0xAA, 0, 0, 0}}));
}

TEST(IffBuilderTest, AsWrittenEncoderPackets) {
  auto distinct = [](int n) {
    Bytes b;
    for (int i = 0; i < n; ++i) b.push_back(std::uint8_t(i));
    return b;
  };
  auto repeat = [](int n, std::uint8_t v) { return Bytes(std::size_t(n), v); };
  Bytes d127 = distinct(127);
  d127.push_back(126);
  Bytes d125 = distinct(125);
  d125.insert(d125.end(), {124, 124});
  const Bytes d128 = distinct(128), d129 = distinct(129);
  struct Case {
    Bytes in, out;
  };
  const Case cases[] = {
      {Ascii("A"), {0x00, 'A'}},
      {Ascii("AA"), {0x81, 'A'}},
      {Ascii("AAA"), {0x82, 'A'}},
      {Ascii("AB"), {0x01, 'A', 'B'}},
      {Ascii("ABB"), {0x02, 'A', 'B', 'B'}},
      {Ascii("ABBB"), {0x00, 'A', 0x82, 'B'}},
      {Ascii("ABBC"), {0x03, 'A', 'B', 'B', 'C'}},
      {Ascii("AAAB"), {0x82, 'A', 0x00, 'B'}},
      {repeat(128, 'A'), {0xFF, 'A'}},
      {repeat(129, 'A'), {0xFF, 'A', 0x00, 'A'}},
      {repeat(130, 'A'), {0xFF, 'A', 0x81, 'A'}},
      {d128, Concat({{0x7F}, d128})},
      {d129, Concat({{0x7F}, distinct(128), {0x00, 128}})},
      {d127, Concat({{0x7D}, distinct(126), {0x81, 126}})},
      {d125, Concat({{0x7B}, distinct(124), {0x82, 124}})},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(EncodePlane(cases[i].in), cases[i].out) << "case " << i;
  }
  EXPECT_EQ(Concat({RunPacket(4, 5), LiteralPacket({1, 2})}), (Bytes{0x83, 5, 0x01, 1, 2}));
  EXPECT_THROW(RunPacket(129, 0), std::logic_error);
  EXPECT_THROW(LiteralPacket({}), std::logic_error);
}

TEST(IffBuilderTest, FullTilesTakeTheFormTheWriterWouldChoose) {
  const TileRect full{0, 0, 63, 63};
  // Uniform: 32 packets FF v per plane, alpha plane first.
  Image uniform = Image::Blank(64, 64, 4);
  for (std::size_t i = 0; i < uniform.colour.size(); ++i) {
    uniform.colour[i] = std::uint8_t(i % 4 + 1);
  }
  const TilePixels flat = EncodeTilePixels(uniform, Kind::Colour, full, Form::Smallest);
  ASSERT_TRUE(flat.compressed);
  ASSERT_EQ(flat.data.size(), 256u);
  EXPECT_EQ(flat.data[1], 4);
  EXPECT_EQ(flat.data[255], 1);
  // Colour channels x + y: each colour plane needs 4128 bytes, more than its 4096 raw bytes.
  // With a constant fourth channel the total stays below 16384; with three channels it does not.
  for (int channels : {4, 3}) {
    Image diagonal = Image::Blank(64, 64, channels);
    for (std::uint32_t row = 0; row < 64; ++row) {
      for (std::uint32_t x = 0; x < 64; ++x) {
        for (int k = 0; k < 3; ++k) diagonal.At(x, row, k) = std::uint8_t(x + row);
        if (channels == 4) diagonal.At(x, row, 3) = 200;
      }
    }
    const TilePixels pixels = EncodeTilePixels(diagonal, Kind::Colour, full, Form::Smallest);
    EXPECT_EQ(pixels.compressed, channels == 4);
    EXPECT_EQ(pixels.data.size(), channels == 4 ? 12448u : 12288u);
  }
}

TEST(IffBuilderTest, EveryEncoderStyleDecodesToItsPlanes) {
  RleOptions asWritten, greedy, runsOnly, literalsOnly, shortPackets;
  greedy.style = runsOnly.style = literalsOnly.style = shortPackets.style = RleStyle::Greedy;
  runsOnly.minRun = 1;
  literalsOnly.minRun = 1000;
  shortPackets.maxPacket = 5;
  const RleOptions styles[] = {asWritten, greedy, runsOnly, literalsOnly, shortPackets};
  for (int channels : {1, 3, 4}) {
    for (int levels : {2, 5, 256}) {
      Image image = Image::Blank(37, 21, channels);
      image.FillRandom(std::uint64_t(channels * 1000 + levels), levels);
      image.FillRandomDepth(std::uint64_t(levels), 0x01000000u, 0x01000003u, 30);
      const TileRect rect{3, 2, 36, 20};
      const std::size_t n = std::size_t(rect.Width()) * std::size_t(rect.Height());
      for (Kind kind : {Kind::Colour, Kind::Depth}) {
        const Bytes planes = TilePlanes(image, kind, rect);
        for (std::size_t s = 0; s < std::size(styles); ++s) {
          const Bytes stream = CompressedPixels(image, kind, rect, styles[s]);
          EXPECT_EQ(DecodePackets(stream, n), planes)
              << "style " << s << " channels " << channels << " levels " << levels;
          if (&styles[s] == &shortPackets) {
            for (std::size_t at = 0; at < stream.size();) {  // no packet longer than 5
              EXPECT_LE(stream[at] & 0x7F, 4);
              at += (stream[at] & 0x80) ? 2 : std::size_t(stream[at] & 0x7F) + 2;
            }
          }
        }
      }
    }
  }
}

TEST(IffBuilderTest, TileOrderKindsAndExtras) {
  FileSpec fileSpec;
  fileSpec.image = Image::Blank(65, 65, 4, true);
  fileSpec.image.FillRandom(7, 3);
  fileSpec.image.FillRandomDepth(8);
  fileSpec.kinds = KindOrder::Interleaved;
  fileSpec.extras = {{Place::InTbmp, ChunkBytes("JUNK", {1, 2, 3}), 2},
                 {Place::AfterFver, GroupBytes("OTHR", ChunkBytes("TBHD", {})), 0},
                 {Place::AfterCimg, ChunkBytes("TAIL", {}), 0}};
  const BuiltFile built = BuildFile(fileSpec);
  EXPECT_EQ(built.header.tileCount, 4);
  EXPECT_EQ(built.header.flags, 7u);
  ASSERT_EQ(built.tiles.size(), 8u);
  const std::uint16_t rects[4][4] = {{0, 0, 63, 63}, {64, 0, 64, 63}, {0, 64, 63, 64},
                                     {64, 64, 64, 64}};
  for (std::size_t i = 0; i < 8; ++i) {
    const PlacedTile& t = built.tiles[i];
    EXPECT_EQ(t.kind, i % 2 ? Kind::Depth : Kind::Colour) << i;
    EXPECT_EQ(t.rect.x1, rects[i / 2][0]);
    EXPECT_EQ(t.rect.y1, rects[i / 2][1]);
    EXPECT_EQ(t.rect.x2, rects[i / 2][2]);
    EXPECT_EQ(t.rect.y2, rects[i / 2][3]);
    EXPECT_EQ(t.offset % 4, 0u);
    if (i + 1 < 8 && i != 1) {
      EXPECT_EQ(t.End(), built.tiles[i + 1].offset) << i;
    }
  }
  // The extra chunk inside the group stands between tiles 1 and 2.
  EXPECT_EQ(built.tiles[2].offset - built.tiles[1].End(), 12u);
  EXPECT_EQ(Bytes(built.bytes.begin() + std::ptrdiff_t(built.tiles[1].End()),
                  built.bytes.begin() + std::ptrdiff_t(built.tiles[1].End() + 4)),
            Ascii("JUNK"));
  EXPECT_EQ(built.tbhdOffset, 24u + 20u);  // after FVER and the 20-byte "OTHR" group
  // Outer size leaves out the trailing chunk; the file ends with it.
  const std::size_t outer = (std::size_t(built.bytes[4]) << 24) | (built.bytes[5] << 16) |
                            (built.bytes[6] << 8) | built.bytes[7];
  EXPECT_EQ(outer + 8 + 8, built.bytes.size());

  fileSpec.order = TileOrder::TopRowFirst;
  fileSpec.kinds = KindOrder::DepthThenColour;
  const std::vector<PlacedTile> top = PlanTiles(fileSpec);
  EXPECT_EQ(top[0].kind, Kind::Depth);
  EXPECT_EQ(top[4].kind, Kind::Colour);
  EXPECT_EQ(top[0].rect.y1, 64);
  EXPECT_EQ(top[2].rect.y1, 0);

  // Shuffled: the same tiles in another order, the same order for the same seed.
  fileSpec.order = TileOrder::Shuffled;
  fileSpec.kinds = KindOrder::Mixed;
  auto key = [](const PlacedTile& t) {
    return std::make_tuple(int(t.kind), t.rect.x1, t.rect.y1, t.rect.x2, t.rect.y2);
  };
  auto keys = [&](const std::vector<PlacedTile>& tiles) {
    std::vector<decltype(key(tiles[0]))> out;
    for (const PlacedTile& t : tiles) out.push_back(key(t));
    return out;
  };
  const auto plain = keys(built.tiles);
  const auto shuffled = keys(PlanTiles(fileSpec));
  EXPECT_NE(shuffled, plain);
  EXPECT_TRUE(std::is_permutation(shuffled.begin(), shuffled.end(), plain.begin(), plain.end()));
  EXPECT_EQ(keys(PlanTiles(fileSpec)), shuffled);
  fileSpec.seed = 2;
  EXPECT_NE(keys(PlanTiles(fileSpec)), shuffled);
}

TEST(IffBuilderTest, ExpectedReadFromDescription) {
  // Depth scaling: minimum 0, middle 128, maximum 255, empty 0; rows flipped to top first.
  Image image = Image::Blank(2, 2, 1, true);
  image.colour = {10, 20, 30, 40};
  image.depth = {0x3F000000, 0x3F400000, 0x3F800000, 0x00FFFFFF};
  FileSpec fileSpec;
  fileSpec.image = image;
  EXPECT_EQ(HeaderFor(fileSpec).flags, 6u);  // gray (alpha alone) and depth
  ExpectedRead read = ExpectRead(fileSpec);
  EXPECT_EQ(read.image.Planes(), 2);
  EXPECT_EQ(read.image.Plane(0), (Bytes{10, 20, 30, 40}));
  EXPECT_EQ(read.image.Plane(1), (Bytes{0, 128, 255, 0}));
  EXPECT_EQ(read.image.Planar(), (Bytes{10, 20, 30, 40, 0, 128, 255, 0}));
  ASSERT_EQ(read.deliveries.size(), 2u);
  EXPECT_EQ(read.deliveries[1].loPlane, 1);
  EXPECT_EQ(read.deliveries[1].bottom, 2);

  // All non-empty depth values equal: every one gives 255.
  fileSpec.image.depth = {0x40000000, 0, 0x40000000, 0x40000000};
  EXPECT_EQ(ExpectRead(fileSpec).image.Plane(1), (Bytes{255, 0, 255, 255}));

  // Depth alone: one plane. A missing depth tile: the one there is still arrives, scaled by
  // its own range.
  fileSpec.flags = kFlagDepth;
  EXPECT_EQ(ExpectRead(fileSpec).image.Planes(), 1);
  fileSpec.tileCount = 2;
  EXPECT_EQ(ExpectRead(fileSpec).deliveries.size(), 1u);
  EXPECT_EQ(ExpectRead(fileSpec).image.Plane(0), (Bytes{255, 0, 255, 255}));

  // Tile count 1 with two tiles of each kind: the range comes from the first depth tile only,
  // and the second colour tile still arrives while the depth tile is awaited.
  FileSpec late;
  late.image = Image::Blank(2, 1, 3, true);
  late.image.depth = {0x3F000000, 0x3F800000};
  late.tileWidth = 1;
  late.tileCount = 1;
  read = ExpectRead(late);
  ASSERT_EQ(read.deliveries.size(), 3u);
  EXPECT_EQ(read.deliveries[2].kind, Kind::Depth);
  EXPECT_EQ(read.image.Plane(3), (Bytes{255, 0}));
  EXPECT_EQ(read.progress[1], (std::pair<int, int>{0, 1}));

  // Colour tiles 2x2 over a 3x3 image, tile count 2 of 4: only the bottom row of tiles arrives,
  // the rest stays 0; progress counts both kinds.
  FileSpec colour;
  colour.image = Image::Blank(3, 3, 3);
  colour.image.FillRandom(3);
  colour.tileWidth = colour.tileHeight = 2;
  colour.tileCount = 2;
  read = ExpectRead(colour);
  ASSERT_EQ(read.deliveries.size(), 2u);
  EXPECT_EQ(read.deliveries[0].top, 1);
  EXPECT_EQ(read.deliveries[1].left, 2);
  EXPECT_EQ(read.progress[1], (std::pair<int, int>{2, 2}));
  for (std::uint32_t x = 0; x < 3; ++x) {
    EXPECT_EQ(read.image.At(x, 0, 0), 0) << x;
    EXPECT_EQ(read.image.At(x, 2, 1), colour.image.At(x, 2, 1)) << x;
  }
  colour.editHeader = [](Header& h) { h.flags = kFlagRgb | kFlagAlpha; };
  EXPECT_THROW(ExpectRead(colour), std::logic_error);  // 3-channel tiles under 4-channel flags
}

}  // namespace
}  // namespace iffbuild
