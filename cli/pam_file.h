// Netpbm PAM files ("P7"), 8 bits per sample (MAXVAL 255).
#ifndef TNIFF_CLI_PAM_FILE_H
#define TNIFF_CLI_PAM_FILE_H

#include <string>

#include "cli/raster.h"

namespace tniff_cli {

// Reads a PAM file of DEPTH 1 to 5 and MAXVAL 255; anything else, a malformed header or too
// little pixel data throws ToolError with the reason.
Raster ReadPam(const std::string& path);

// Writes the raster as a PAM file with MAXVAL 255 at path; tupleType may be empty. Throws
// ToolError, whose message names the file as name.
void WritePam(const Raster& raster, const std::string& tupleType, const std::string& path,
              const std::string& name);

}  // namespace tniff_cli

#endif
