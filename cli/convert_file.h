// One file's conversion, as every form of tniff convert runs it: between an .iff file, read or
// written only through the module, and a PNG, PAM, PGM or PPM file. Progress goes to the bar the
// caller gives (one that draws, or one whose observer passes it on); *pixels, when given, is set
// to the image's width times height once it is known.
#ifndef TNIFF_CLI_CONVERT_FILE_H
#define TNIFF_CLI_CONVERT_FILE_H

#include <cstdint>
#include <string>

#include "cli/commands.h"
#include "cli/progress_bar.h"
#include "tarniff/tarniff.h"

namespace tniff_cli {

// in (an .iff file; messages call it inName) to out of outKind, and the depth buffer to
// options.depthPath when that is set.
int ConvertFromIff(const Options& options, const tarniff::ModuleFile& module, const std::string& in,
                   const std::string& inName, const std::string& out, tarniff::FileKind outKind,
                   ProgressBar& progress, int64_t* pixels = nullptr);
// in (a PNG or Netpbm file of inKind) to the .iff file out.
int ConvertToIff(const Options& options, const tarniff::ModuleFile& module, const std::string& in,
                 const std::string& inName, tarniff::FileKind inKind, const std::string& out,
                 ProgressBar& progress, int64_t* pixels = nullptr);

}  // namespace tniff_cli

#endif
