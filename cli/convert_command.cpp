// tniff convert IN OUT: between this format, read and written only through the module, and PNG,
// PAM, PGM, PPM or TIFF files. "-" reads standard input (its type from its first bytes) or writes
// standard output (its type from --to).
#include <unistd.h>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/batch_convert.h"
#include "cli/commands.h"
#include "cli/convert_file.h"
#include "cli/system.h"

namespace tniff_cli {

using namespace tarniff;

namespace {

// No output may replace the input or another output of the same command.
void RefuseClashes(const std::string& in, const std::string& out, const std::string& depth,
                   const char* option) {
    if (depth.empty()) return;
    if (SameFile(in, depth)) {
        throw Error(depth + ": the " + option + " output is the input file; write to another file",
                    kExitUsage);
    }
    if (SameFile(out, depth)) {
        throw Error(
            depth + ": named both as the output and as " + option + "; give each a file of its own",
            kExitUsage);
    }
}

}  // namespace

int RunConvert(const Options& options) {
    if (IsBatchForm(options)) return RunBatchConvert(options);
    if (options.depthGiven && options.depthPath.empty())
        throw Error("--depth needs a value", kExitUsage);
    std::vector<std::string> files = options.files;
    if (files.size() == 1 && IsStandardStream(files[0]) && !options.to.empty())
        files.push_back("-");  // a filter
    if (files.size() != 2) {
        throw Error("convert takes two files, IN and OUT (see tniff convert --help)", kExitUsage);
    }
    const std::string& in = files[0];
    const std::string& out = files[1];
    if (IsStandardStream(options.depthPath)) {
        throw Error("--depth needs a file name; only OUT can be standard output", kExitUsage);
    }
    if (IsStandardStream(options.rawDepthPath)) {
        throw Error("--raw-depth needs a file name; only OUT can be standard output", kExitUsage);
    }
    if (options.rawDepthGiven && options.rawDepthPath.empty())
        throw Error("--raw-depth needs a value", kExitUsage);
    if (options.floatDepth && !options.rawDepthGiven)
        throw Error("--float-depth says how --raw-depth FILE.tif is written; give both",
                    kExitUsage);
    FileKind outKind;
    if (!options.to.empty()) {
        if (!KindFromName(options.to, &outKind)) {
            throw Error("--to " + options.to + ": unknown file type: " + KindNames(), kExitUsage);
        }
    } else if (IsStandardStream(out)) {
        throw Error("writing to standard output needs --to " + KindNames(), kExitUsage);
    } else {
        outKind = KindOfPath(out);
    }
    // An image on a terminal is only noise and can upset it; as gzip does, it goes there only
    // when asked for.
    if (IsStandardStream(out) && isatty(STDOUT_FILENO) == 1 && !options.force) {
        throw Error(
            "standard output is a terminal: redirect it to a file or a pipe, or give --force "
            "to write the image there anyway");
    }
    // Standard input is read before anything else is decided, since its type is in its bytes.
    std::unique_ptr<TemporaryCopy> stdinCopy;
    FileKind inKind;
    if (IsStandardStream(in)) {
        stdinCopy = std::make_unique<TemporaryCopy>(StandardInput(), "standard input",
                                                    options.maxImageBytes);
        std::string what;
        const std::vector<uint8_t>& head = stdinCopy->head();
        if (!SniffKind(head.data(), head.size(), &inKind, &what)) {
            if (head.empty()) throw Error("standard input is empty");
            throw Error("standard input is " + NotAConvertedKind(what));
        }
    } else {
        std::string note;
        inKind = KindOfInput(in, &note);
        if (!note.empty()) Note(options, note);
    }
    if (inKind != FileKind::iff && outKind != FileKind::iff) {
        throw Error(
            "one of the two files must be an .iff file: tniff converts to and from this format",
            kExitUsage);
    }
    // Outputs that cannot be written are refused before any decoding.
    for (const std::string* output : {&out, &options.depthPath, &options.rawDepthPath}) {
        if (!output->empty()) RefuseEndlessLinks(*output);
    }
    if (SameFile(in, out))
        throw Error(out + ": the output is the input file; write to another file", kExitUsage);
    RefuseClashes(in, out, options.depthPath, "--depth");
    RefuseClashes(in, out, options.rawDepthPath, "--raw-depth");
    if (!options.depthPath.empty() && SameFile(options.depthPath, options.rawDepthPath)) {
        throw Error(options.rawDepthPath +
                        ": named both as --depth and as --raw-depth; give each a "
                        "file of its own",
                    kExitUsage);
    }
    const std::string inPath = stdinCopy ? stdinCopy->path() : in;
    const std::string inName = stdinCopy ? "stdin" : in;
    if (options.dryRun) {
        std::printf("convert %s -> %s%s%s\n", inName.c_str(),
                    IsStandardStream(out) ? "stdout" : out.c_str(),
                    options.depthPath.empty() ? "" : (" and " + options.depthPath).c_str(),
                    options.rawDepthPath.empty() ? "" : (" and " + options.rawDepthPath).c_str());
        return 0;
    }
    ModuleFile module = LoadToolModule(options);
    ProgressBar progress(!options.quiet, "");
    const int status = inKind == FileKind::iff
                           ? ConvertFromIff(options, module, inPath, inName, out, outKind, progress)
                           : ConvertToIff(options, module, inPath, inName, inKind, out, progress);
    if (options.verbose && status == 0) {
        std::fprintf(stderr, "tniff: converted %s to %s\n", inName.c_str(),
                     IsStandardStream(out) ? "stdout" : out.c_str());
    }
    return status;
}

}  // namespace tniff_cli
