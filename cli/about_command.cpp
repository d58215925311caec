// tniff about: the module's About box, and what the module is.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/module_host.h"
#include "cli/tool_error.h"

namespace tniff_cli {

int RunAbout(const Options& options) {
    if (!options.files.empty()) throw ToolError("about takes no files (see tniff about --help)", kExitUsage);
    ModuleFile module = LoadModuleFile(options.modulePath.empty() ? DefaultModulePath() : options.modulePath);
    AboutOutcome about = CallAbout(module);

    std::printf("TarnIFF (TnIffFormat), an image-file format module\n");
    std::printf("  module file  %s\n", module.path.c_str());
    std::printf("  entry point  ENTRYPOINT\n");
    std::printf("  About box    %s\n", about.shown.empty() ? "(nothing shown)" : about.shown.c_str());
    if (about.result != noErr) std::printf("               the call gave %s\n", DescribeHostCode(about.result, true).c_str());
    std::printf("  extension    .iff\n");
    std::printf("  reads        \"FOR4\" groups of type \"CIMG\": a \"TBHD\" header and tiles \"RGBA\" (colour)\n"
                "               and \"ZBUF\" (depth), raw or run-length compressed; gives the host 8-bit gray,\n"
                "               RGB or RGBA, plus the depth buffer scaled to 0-255 as one more plane\n");
    std::printf("  writes       8-bit gray (1 or 2 planes) and RGB (3 to 5 planes) as 64 x 64 tiles, each\n"
                "               compressed when that is shorter; the second plane of a gray image and the\n"
                "               fourth of an RGB image as alpha; no depth buffer, and a fifth plane is dropped\n");
    return 0;
}

}  // namespace tniff_cli
