// The readers and writers behind ReadImageFile and WriteImageFile, one pair a kind of file. Inside
// the library; the fuzz targets call the readers one by one. Each throws Error naming the file by
// its path; ReadImageFile puts the caller's name in its place.
#ifndef TNIFF_TARNIFF_IMAGE_FILES_CODECS_H
#define TNIFF_TARNIFF_IMAGE_FILES_CODECS_H

#include <cstdint>
#include <string>

#include "tarniff/tarniff.h"

namespace tarniff {

// PNG through libpng: any PNG. Rows go to the sink a block at a time as they are decoded; an
// interlaced file is first decoded whole, into memory backed only as its passes reach it.
void ReadPng(const std::string& path, RowSink* sink, const ReadSettings& settings);
// Rows of 1 to 4 channels as an 8-bit PNG, deflated at settings.pngLevel, with a pHYs chunk
// (pixels per metre, rounded) when the resolution is known.
void WritePng(RowSource& rows, const std::string& path, const std::string& name,
              const WriteSettings& settings);

// Netpbm: PAM of DEPTH 1 to 5, PGM (P5) and PPM (P6), MAXVAL 1 to 65535; written with
// MAXVAL 255. ReadNetpbm reads whichever of them the first bytes say.
void ReadPam(const std::string& path, RowSink* sink, const ReadSettings& settings);
void ReadPnm(const std::string& path, RowSink* sink, const ReadSettings& settings);
void ReadNetpbm(const std::string& path, RowSink* sink, const ReadSettings& settings);
void WritePam(RowSource& rows, const std::string& path, const std::string& name,
              const WriteSettings& settings);
// Rows of 1 channel as PGM, of 3 as PPM.
void WritePnm(RowSource& rows, const std::string& path, const std::string& name,
              const WriteSettings& settings);

// One sample of maxval (1 to 65535) scaled to 8 bits; of maxval 65535 exactly as libpng scales
// 16-bit PNG samples. The Netpbm and TIFF readers scale with it, so one image gives the same
// bytes from a PNG, PAM or TIFF file.
uint8_t ScaleSample(uint32_t value, uint32_t maxval);

// TIFF through libtiff: the first image, gray (min-is-black or min-is-white), RGB and palette
// images of 8 or 16 bits per sample, gray and palette also of 1, 2 or 4; strips or tiles,
// samples interleaved or in separate planes; the first extra sample is alpha (associated alpha
// un-premultiplied, rounded to nearest, 0 where alpha is 0). Strips of interleaved samples and
// rows of tiles go to the sink as they are decoded; samples in separate planes are decoded
// whole first, into memory backed only as rows reach it. Any other kind (CMYK, YCbCr, floating
// point, 32-bit), a truncated or a broken file throws with one line saying what the file is or what
// is wrong.
void ReadTiff(const std::string& path, RowSink* sink, const ReadSettings& settings);
// Rows of 1 to 4 channels as an 8-bit TIFF in deflate-compressed strips, alpha as an
// unassociated extra sample, the resolution in inches when known, no date or other varying tag.
void WriteTiff(RowSource& rows, const std::string& path, const std::string& name,
               const WriteSettings& settings);

}  // namespace tarniff

#endif
