// tniff about: the module's About box, and what the module is.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/commands.h"
#include "cli/system.h"
#include "tarniff/tarniff.h"

namespace tniff_cli {

using namespace tarniff;

int RunAbout(const Options& options) {
    if (!options.files.empty())
        throw Error("about takes no files (see tniff about --help)", kExitUsage);
    ModuleFile module = LoadToolModule(options);
    AboutOutcome about = CallAbout(module);

    const std::string version = ModuleVersion(module.path);
    std::printf("TarnIFF (TnIffFormat) %s, a file-format plug-in for image editors\n",
                version.empty() ? "(version unknown)" : version.c_str());
    // The module's own path, not the way there (/usr/bin/../lib/tniff/...).
    const std::string shown = RealPath(module.path);
    std::printf("  module file  %s\n", shown.c_str());
    std::printf("  About box    %s\n", about.result == noErr
                                           ? (about.shown.empty() ? "nothing to show on this system"
                                                                  : "opens and closes normally")
                                           : "could not be shown");
    if (about.result != noErr)
        std::printf("               %s\n", DescribeHostCode(about.result, true).c_str());
    std::printf("  files        .iff tiled images (\"FOR4\" groups of type \"CIMG\")\n");
    std::printf(
        "  opens        8-bit gray, RGB and RGB with alpha, raw or run-length compressed tiles; a\n"
        "               depth buffer becomes one more channel, stretched to 0-255 (near is "
        "dark)\n");
    std::printf(
        "  saves        8-bit gray or RGB, with or without alpha, in 64 x 64 tiles compressed\n"
        "               wherever that is shorter; up to 32767 pixels a side and 65535 tiles; no "
        "depth\n"
        "               buffer, and a fifth channel is dropped\n");
    return 0;
}

}  // namespace tniff_cli
