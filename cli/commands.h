// tniff's commands. Each runs with the options parsed from its command line and gives the exit
// status; failures it can describe are thrown as ToolError.
#ifndef TNIFF_CLI_COMMANDS_H
#define TNIFF_CLI_COMMANDS_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"

namespace tniff_cli {

struct Options {
    std::string modulePath;               // --module; empty: $TNIFF_MODULE or the tool's own
    bool quiet = false;                   // --quiet: no progress bar, no notes
    std::vector<std::string> files;       // the command's operands
    std::string depthPath;                // convert --depth
    std::string rawDepthPath;             // convert --raw-depth: the depth values as stored, a TIFF
    bool rawDepthGiven = false;           // --raw-depth, with a file or (many files) without
    size_t rawDepthOperandAt = SIZE_MAX;  // as depthOperandAt, for --raw-depth's file
    size_t optionalFileAt = SIZE_MAX;     // while parsing: where an option's file stood
    bool floatDepth = false;              // convert --float-depth: those values' bits as floats
    bool partial = false;                 // convert --partial
    bool keepRgb = false;                 // convert --rgb: a gray image saved as RGB stays RGB
    bool force = false;          // convert --force: an image to standard output on a terminal
    bool json = false;           // info --json
    bool brief = false;          // info --brief
    std::string to;              // convert --to: OUT's type
    int pngLevel = -1;           // convert --png-level; -1: the default
    uint64_t maxImageBytes = 0;  // --max-image-size; 0: the default
    // convert with many files (see batch_convert.h)
    bool depthGiven = false;  // --depth, with a file or (many files) without
    size_t depthOperandAt =
        SIZE_MAX;  // where --depth's file stood among the operands; SIZE_MAX: --depth=FILE or none
    std::string outputDirectory;  // -o DIR
    int jobs = 0;                 // -j N; 0: not given
    bool overwrite = false;       // --overwrite
    bool stopOnError = false;     // --stop-on-error
    bool dryRun = false;          // --dry-run: list what would be done, do nothing
    bool verbose = false;         // --verbose: a line for every file converted
    bool update = false;          // --update: redo only outputs older than their input
    bool framesGiven = false;     // --frames
    std::string frames;           // --frames' list: "1001-1120x2,1200"
    bool leftoversGone = false;   // many files: the output folders' leftovers are already removed
};

// Where tniff finds its module: --module, then $TNIFF_MODULE, then beside tniff and the other
// places of tarniff::ModuleSearchPaths. The path alone (for --version), and the module loaded.
std::string ToolModulePath(const Options& options);
tarniff::ModuleFile LoadToolModule(const Options& options);

int RunConvert(const Options& options);
int RunInfo(const Options& options);
int RunAbout(const Options& options);

// A note on stderr ("tniff: note: ..."), unless quiet.
// What tniff's refusals of an image above the image-size limit add.
inline const char* kRaiseLimit = "--max-image-size raises it";

inline void Note(const Options& options, const std::string& text) {
    if (!options.quiet) std::fprintf(stderr, "tniff: note: %s\n", text.c_str());
}

}  // namespace tniff_cli

#endif
