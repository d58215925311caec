// Netpbm files: PAM ("P7"), PGM ("P5") and PPM ("P6"). Written with 8 bits per sample (MAXVAL
// 255); read with any MAXVAL up to 65535, samples scaled to 8 bits.
#ifndef TNIFF_CLI_PAM_FILE_H
#define TNIFF_CLI_PAM_FILE_H

#include <cstdint>
#include <string>

#include "cli/raster.h"

namespace tniff_cli {

// Reads a PAM file of DEPTH 1 to 5 and MAXVAL 1 to 65535 (samples scaled to 8 bits as 16-bit
// PNG samples are); anything else, a malformed header or too little pixel data throws ToolError
// with the reason. The sink hears of the image only once the header passed every check.
void ReadPam(const std::string& path, RowSink* sink);
Raster ReadPam(const std::string& path);

// Writes the rows as a PAM file with MAXVAL 255 at path; tupleType may be empty. Throws
// ToolError, whose message names the file as name.
void WritePam(RowSource& rows, const std::string& tupleType, const std::string& path, const std::string& name);

// Reads a PGM (P5, one channel) or PPM (P6, three channels) file, MAXVAL 1 to 65535.
void ReadPnm(const std::string& path, RowSink* sink);
Raster ReadPnm(const std::string& path);
// Reads a PAM, PGM or PPM file, whichever its first bytes say it is.
void ReadNetpbm(const std::string& path, RowSink* sink);
Raster ReadNetpbm(const std::string& path);

// One sample of maxval (1 to 65535) scaled to 8 bits; of maxval 65535 exactly as libpng scales
// 16-bit PNG samples. The PAM and TIFF readers scale with it, so one image gives the same bytes
// from a PNG, PAM or TIFF file.
uint8_t ScaleSample(uint32_t value, uint32_t maxval);

// Writes rows of 1 channel as PGM or of 3 channels as PPM, MAXVAL 255.
void WritePnm(RowSource& rows, const std::string& path, const std::string& name);

}  // namespace tniff_cli

#endif
