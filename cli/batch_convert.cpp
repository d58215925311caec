// tniff convert IN... --to TYPE: the plan of a batch (what each input becomes, and which are
// refused or skipped); the worker pool converts it.
#include "cli/batch_convert.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/frame_operands.h"
#include "cli/system.h"
#include "cli/worker_pool.h"

namespace tniff_cli {

using namespace tarniff;

namespace {

// The file name without its last extension ("shot.0001.iff": "shot.0001").
std::string Stem(const std::string& path) {
    std::string name = FileNameOf(path);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool Exists(const std::string& path) {
    PathFacts facts;
    return LookAt(path, &facts);
}

// Whether out is there and was written no earlier than in was last changed, as make, cp -u and
// rsync -u decide it.
bool UpToDate(const std::string& out, const std::string& in) {
    PathFacts o, i;
    if (!LookAt(out, &o) || !LookAt(in, &i)) return false;
    return o.modifiedSeconds > i.modifiedSeconds ||
           (o.modifiedSeconds == i.modifiedSeconds &&
            o.modifiedNanoseconds >= i.modifiedNanoseconds);
}

// The extension outputs of --to's type get: the one --to names when it names one of the type's
// (--to tif writes .tif), else the type's own.
std::string OutputExtension(const std::string& to, FileKind kind) {
    std::string lower = to;
    if (!lower.empty() && lower[0] == '.') lower.erase(0, 1);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "tif" ? ".tif" : ExtensionOf(kind);
}

// Makes the folder and the folders above it that are missing.
void MakeFolders(const std::string& directory) {
    for (size_t end = directory.find('/', 1);; end = directory.find('/', end + 1)) {
        const std::string part = directory.substr(0, end);
        PathFacts facts;
        if (!LookAt(part, &facts) && (errno != ENOENT || !MakeFolder(part)) && errno != EEXIST) {
            throw Error(directory + ": cannot make the folder: " + std::strerror(errno));
        }
        if (end == std::string::npos) return;
    }
}

// Whether the file at path is of this format and announces no depth buffer.
bool HasNoDepth(const std::string& path) {
    Layout layout;
    std::string why;
    WalkSettings headersOnly;
    headersOnly.checkRunStreams = false;
    return WalkLayoutFile(path, &layout, &why, headersOnly) && layout.hasHeader && !layout.hasDepth;
}

int DefaultJobs() { return UsableCores(); }

}  // namespace

bool IsBatchForm(const Options& options) {
    if (!options.outputDirectory.empty() || options.jobs > 0 || options.overwrite ||
        options.update || options.stopOnError || options.framesGiven)
        return true;
    // A frame pattern makes many files, but for IN OUT only IN can be one: an OUT whose name
    // happens to hold a '#' is still one file.
    const bool inOut = options.to.empty() && options.files.size() == 2;
    if (AnyFramePattern(inOut ? std::vector<std::string>{options.files[0]} : options.files))
        return true;
    const size_t operands = options.files.size();
    if (options.to.empty()) return operands > 2;
    if (operands == 0) return false;  // IN OUT says what is missing
    // With --to only standard input or output makes IN OUT: files named with it are all inputs,
    // however many a pattern gave (two frames must not become IN and OUT).
    const bool stream = std::any_of(options.files.begin(), options.files.end(),
                                    [](const std::string& file) { return IsStandardStream(file); });
    return !(stream && operands <= 2);
}

namespace {

// --dry-run: what the batch would do, a line a file on stdout, and the summary it would end with.
// An output that --update redoes is listed as "update".
int ListPlan(const Options& options, const std::vector<Job>& jobs,
             const std::vector<std::string>& skips, const std::vector<std::string>& missing,
             int missingFrames) {
    int refused = 0;
    for (const std::string& line : missing) std::printf("fail %s\n", line.c_str());
    for (const Job& job : jobs) {
        if (!job.refused.empty()) {
            ++refused;
            std::printf("fail %s\n", job.refused.c_str());
        } else {
            std::printf("%s %s -> %s%s%s\n", job.outOfDate ? "update" : "convert", job.in.c_str(),
                        job.out.c_str(), job.depth.empty() ? "" : (" and " + job.depth).c_str(),
                        job.rawDepth.empty() ? "" : (" and " + job.rawDepth).c_str());
        }
    }
    for (const std::string& skip : skips) std::printf("skip %s\n", skip.c_str());
    if (!options.quiet) {
        std::fprintf(stderr,
                     "tniff: would convert %d, fail %d, skip %zu%s (nothing written: --dry-run)\n",
                     static_cast<int>(jobs.size()) - refused, refused + missingFrames, skips.size(),
                     options.update ? " (up to date)" : "");
    }
    return refused + missingFrames > 0 ? kExitFailure : 0;
}

}  // namespace

int RunBatchConvert(const Options& options) {
    if (options.floatDepth && !options.rawDepthGiven) {
        throw Error("--float-depth says how --raw-depth writes the depth values; give both",
                    kExitUsage);
    }
    // Here --depth and --raw-depth take no file: an operand after one is one more input, put
    // back where it stood (the later one first, so that the earlier place still holds).
    if (options.depthGiven && options.depthOperandAt == SIZE_MAX && !options.depthPath.empty()) {
        throw Error(
            "--depth takes no file when converting many files: each depth buffer goes to "
            "a file beside its output, frame_depth.1001.png for frame.1001.png (.tif or "
            ".tiff with --to tif or tiff)",
            kExitUsage);
    }
    if (options.rawDepthGiven && options.rawDepthOperandAt == SIZE_MAX &&
        !options.rawDepthPath.empty()) {
        throw Error(
            "--raw-depth takes no file when converting many files: each frame's depth values "
            "go to a file beside its output, frame_rawdepth.1001.tif for frame.1001.png",
            kExitUsage);
    }
    std::vector<std::pair<size_t, std::string>> taken;
    if (options.depthGiven && !options.depthPath.empty())
        taken.emplace_back(options.depthOperandAt, options.depthPath);
    if (options.rawDepthGiven && !options.rawDepthPath.empty())
        taken.emplace_back(options.rawDepthOperandAt, options.rawDepthPath);
    std::sort(taken.begin(), taken.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> operands = options.files;
    for (const auto& [at, operand] : taken) {
        operands.insert(
            operands.begin() + static_cast<std::ptrdiff_t>(std::min(at, operands.size())), operand);
    }
    if (options.update && options.overwrite) {
        throw Error(
            "--update redoes outputs older than their input and --overwrite every output: "
            "give one of them",
            kExitUsage);
    }
    // IN OUT of frame patterns, without --to: each frame's output is named by the second.
    FramePattern outPattern;
    bool outputPattern = false;
    FramePattern inPattern;
    if (options.to.empty() && operands.size() == 2 && !IsStandardStream(operands[0]) &&
        ParseFramePattern(operands[0], &inPattern)) {
        if (IsStandardStream(operands[1]) || !ParseFramePattern(operands[1], &outPattern)) {
            throw Error(operands[1] + ": the output of a frame pattern is a frame pattern too (" +
                            FileNameOf(inPattern.before) + "####.png), or give --to TYPE",
                        kExitUsage);
        }
        if (!options.outputDirectory.empty()) {
            throw Error("-o " + options.outputDirectory + " and the output pattern " + operands[1] +
                            " both say where the outputs go: give one of them",
                        kExitUsage);
        }
        outputPattern = true;
        operands.pop_back();
    }
    FileKind to;
    std::string extension;
    if (outputPattern) {
        to = KindOfPath(outPattern.text);  // its extension is then in the part after the frame
        extension = outPattern.after.substr(outPattern.after.find_last_of('.'));
    } else {
        if (options.to.empty()) {
            throw Error(
                "converting many files needs --to TYPE: each file's output type (see tniff "
                "convert --help)",
                kExitUsage);
        }
        if (!KindFromName(options.to, &to)) {
            throw Error("--to " + options.to + ": unknown file type: " + KindNames(), kExitUsage);
        }
        extension = OutputExtension(options.to, to);
    }
    for (const std::string& in : operands) {
        if (IsStandardStream(in)) {
            throw Error("converting many files reads no standard input; name each file",
                        kExitUsage);
        }
    }
    // Frame patterns: the frames asked for that are missing fail, on a line a pattern.
    std::vector<std::string> inputs;
    std::vector<int64_t> frameOf;  // with an output pattern: each input's frame
    std::vector<std::string> missing;
    int missingFrames = 0;
    for (const OperandFiles& operand : ExpandOperands(options, operands)) {
        for (size_t f = 0; f < operand.files.size(); ++f) {
            if (std::binary_search(operand.missing.begin(), operand.missing.end(),
                                   operand.isPattern ? operand.frames[f] : -1))
                continue;
            inputs.push_back(operand.files[f]);
            frameOf.push_back(operand.isPattern ? operand.frames[f] : -1);
        }
        if (!operand.missing.empty()) {
            missing.push_back(operand.operand +
                              ": missing frames: " + FrameRanges(operand.missing));
            missingFrames += static_cast<int>(operand.missing.size());
        }
    }
    std::string directory = options.outputDirectory;
    if (outputPattern) directory = DirectoryOf(outPattern.before);
    if (!directory.empty()) {
        PathFacts facts;
        if (!LookAt(directory, &facts)) {
            if (!options.dryRun) MakeFolders(directory);
        } else if (!facts.directory) {
            throw Error(directory + ": -o names a folder for the outputs, and this is not one",
                        kExitUsage);
        }
        while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
        if (directory != "/") directory += "/";
    }
    const std::string depthExtension = to == FileKind::tiff ? extension : ".png";

    // What each input becomes. No output may replace an input or another output; a file named
    // twice (patterns that overlap) is converted once.
    std::set<std::pair<uint64_t, uint64_t>> inputFiles;
    std::vector<size_t> once;
    for (size_t i = 0; i < inputs.size(); ++i) {
        PathFacts facts;
        if (!LookAt(inputs[i], &facts, true) ||
            inputFiles.insert({facts.device, facts.file}).second) {
            once.push_back(i);
        }
    }
    std::map<std::string, std::string> outputsOf;  // place of an output: the input it is for
    std::vector<Job> jobs;
    std::vector<std::string> skips;
    for (size_t i : once) {
        const std::string& in = inputs[i];
        Job job;
        job.in = in;
        job.out = outputPattern
                      ? FramePath(outPattern, frameOf[i])
                      : (directory.empty() ? DirectoryOf(in) : directory) + Stem(in) + extension;
        if (options.depthGiven) job.depth = DepthPathOf(job.out, depthExtension);
        if (options.rawDepthGiven) job.rawDepth = DepthPathOf(job.out, ".tif", "_rawdepth");
        PathFacts inFacts;
        if (!LookAt(in, &inFacts) && errno == ENOENT) {
            // Most likely an OUT named with --to, which makes every file an input.
            job.refused = in +
                          ": no such file; with --to every file named is an input (for IN OUT "
                          "leave out --to)";
        } else {
            try {
                std::string note;
                job.inKind = KindOfInput(in, &note);
                if (!note.empty()) Note(options, note);
            } catch (const Error& error) {
                job.refused = error.what();
            }
        }
        if (job.refused.empty() && job.inKind != FileKind::iff && to != FileKind::iff) {
            job.refused = in + ": neither it nor " +
                          (outputPattern ? "the output pattern" : "--to " + options.to) +
                          " is .iff: tniff converts to and from this format";
        }
        for (const std::string* out : {&job.out, &job.depth, &job.rawDepth}) {
            if (out->empty() || !job.refused.empty()) continue;
            PathFacts facts;
            if (LookAt(*out, &facts, true) && inputFiles.count({facts.device, facts.file}) != 0) {
                job.refused = *out + ": the output of " + in +
                              " would replace an input; write elsewhere with -o DIR";
                continue;
            }
            auto placed = outputsOf.emplace(PlaceOf(*out), in);
            if (!placed.second) {
                job.refused = *out + ": the output of both " + placed.first->second + " and " + in +
                              "; convert them into different folders";
            }
        }
        if (job.refused.empty() && !options.overwrite) {
            // The depth file counts as the colour output does, unless the file has no depth.
            auto there = [&](const std::string& out) {
                return options.update ? UpToDate(out, in) : Exists(out);
            };
            const bool depthThere = (job.depth.empty() || there(job.depth)) &&
                                    (job.rawDepth.empty() || there(job.rawDepth));
            if (there(job.out) && (depthThere || HasNoDepth(in))) {
                skips.push_back(in + ": " + job.out +
                                (options.update ? " is up to date" : " is there already") +
                                " (--overwrite replaces it)");
                continue;
            }
            job.outOfDate =
                options.update && (Exists(job.out) || (!job.depth.empty() && Exists(job.depth)) ||
                                   (!job.rawDepth.empty() && Exists(job.rawDepth)));
        }
        jobs.push_back(std::move(job));
    }
    const int skipped = static_cast<int>(skips.size());
    if (options.dryRun) return ListPlan(options, jobs, skips, missing, missingFrames);

    ModuleFile module = LoadToolModule(options);
    int runnable = 0;
    for (const Job& job : jobs) runnable += job.refused.empty() ? 1 : 0;
    int workers = options.jobs > 0 ? options.jobs : DefaultJobs();
    workers = std::max(0, std::min(workers, runnable));
    // What killed runs left in the output folders is removed once per folder here, not once per
    // output: a folder of thousands of frames would otherwise be read through for every one.
    std::vector<std::string> outputs;
    for (const Job& job : jobs) {
        if (!job.refused.empty()) continue;
        for (const std::string* out : {&job.out, &job.depth, &job.rawDepth}) {
            if (!out->empty()) outputs.push_back(*out);
        }
    }
    RemoveLeftoversBeside(outputs);
    Options batch = options;
    batch.leftoversGone = true;
    BatchCounts counts;
    counts.skipped = skipped;
    counts.missingFrames = missingFrames;
    return RunJobs(batch, module, jobs, to, counts, missing, workers);
}

}  // namespace tniff_cli
