// tniff convert IN... --to TYPE: the plan of a batch (what each input becomes, and which are
// refused or skipped); the worker pool converts it.
#include "cli/batch_convert.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

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
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

// Makes the folder and the folders above it that are missing.
void MakeFolders(const std::string& directory) {
    for (size_t end = directory.find('/', 1);; end = directory.find('/', end + 1)) {
        const std::string part = directory.substr(0, end);
        struct stat status;
        if (stat(part.c_str(), &status) != 0 &&
            (errno != ENOENT || mkdir(part.c_str(), 0777) != 0) && errno != EEXIST) {
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
    return WalkLayoutFile(path, &layout, &why, headersOnly) && layout.hasHeader &&
           !layout.hasDepth;
}

int DefaultJobs() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

}  // namespace

bool IsBatchForm(const Options& options) {
    if (!options.outputDirectory.empty() || options.jobs > 0 || options.overwrite ||
        options.stopOnError)
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
int ListPlan(const Options& options, const std::vector<Job>& jobs,
             const std::vector<std::string>& skips) {
    int refused = 0;
    for (const Job& job : jobs) {
        if (!job.refused.empty()) {
            ++refused;
            std::printf("fail %s\n", job.refused.c_str());
        } else {
            std::printf("convert %s -> %s%s\n", job.in.c_str(), job.out.c_str(),
                        job.depth.empty() ? "" : (" and " + job.depth).c_str());
        }
    }
    for (const std::string& skip : skips) std::printf("skip %s\n", skip.c_str());
    if (!options.quiet) {
        std::fprintf(stderr,
                     "tniff: would convert %d, fail %d, skip %zu (nothing written: --dry-run)\n",
                     static_cast<int>(jobs.size()) - refused, refused, skips.size());
    }
    return refused > 0 ? kExitFailure : 0;
}

}  // namespace

int RunBatchConvert(const Options& options) {
    std::vector<std::string> inputs = options.files;
    if (options.depthGiven) {
        // Here --depth takes no file: an operand after it is one more input.
        if (options.depthOperandAt == SIZE_MAX && !options.depthPath.empty()) {
            throw Error(
                "--depth takes no file when converting many files: each depth buffer goes to "
                "NAME-depth.png (NAME-depth.tiff with --to tiff) beside its output",
                kExitUsage);
        }
        if (!options.depthPath.empty()) {
            inputs.insert(inputs.begin() + static_cast<std::ptrdiff_t>(
                                               std::min(options.depthOperandAt, inputs.size())),
                          options.depthPath);
        }
    }
    if (options.to.empty()) {
        throw Error(
            "converting many files needs --to TYPE: each file's output type (see tniff convert "
            "--help)",
            kExitUsage);
    }
    FileKind to;
    if (!KindFromName(options.to, &to)) {
        throw Error("--to " + options.to + ": unknown file type: iff, png, pam, pgm, ppm or tiff",
                    kExitUsage);
    }
    for (const std::string& in : inputs) {
        if (IsStandardStream(in)) {
            throw Error("converting many files reads no standard input; name each file",
                        kExitUsage);
        }
    }
    std::string directory = options.outputDirectory;
    if (!directory.empty()) {
        struct stat status;
        if (stat(directory.c_str(), &status) != 0) {
            if (!options.dryRun) MakeFolders(directory);
        } else if (!S_ISDIR(status.st_mode)) {
            throw Error(directory + ": -o names a folder for the outputs, and this is not one",
                        kExitUsage);
        }
        while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
        if (directory != "/") directory += "/";
    }
    const FileKind depthKind = to == FileKind::tiff ? FileKind::tiff : FileKind::png;

    // What each input becomes. No output may replace an input or another output; a file named
    // twice (patterns that overlap) is converted once.
    std::set<std::pair<dev_t, ino_t>> inputFiles;
    std::vector<std::string> once;
    for (const std::string& in : inputs) {
        struct stat status;
        if (stat(in.c_str(), &status) != 0 ||
            inputFiles.insert({status.st_dev, status.st_ino}).second) {
            once.push_back(in);
        }
    }
    std::map<std::string, std::string> outputsOf;  // place of an output: the input it is for
    std::vector<Job> jobs;
    std::vector<std::string> skips;
    for (const std::string& in : once) {
        Job job;
        job.in = in;
        const std::string base = (directory.empty() ? DirectoryOf(in) : directory) + Stem(in);
        job.out = base + ExtensionOf(to);
        if (options.depthGiven) job.depth = base + "-depth" + ExtensionOf(depthKind);
        struct stat inStatus;
        if (stat(in.c_str(), &inStatus) != 0 && errno == ENOENT) {
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
            job.refused = in + ": neither it nor --to " + options.to +
                          " is .iff: tniff converts to and from this format";
        }
        for (const std::string* out : {&job.out, &job.depth}) {
            if (out->empty() || !job.refused.empty()) continue;
            struct stat status;
            if (stat(out->c_str(), &status) == 0 &&
                inputFiles.count({status.st_dev, status.st_ino}) != 0) {
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
        if (job.refused.empty() && !options.overwrite && Exists(job.out) &&
            (job.depth.empty() || Exists(job.depth) || HasNoDepth(in))) {
            skips.push_back(in + ": " + job.out + " is there already (--overwrite replaces it)");
            continue;
        }
        jobs.push_back(std::move(job));
    }
    const int skipped = static_cast<int>(skips.size());
    if (options.dryRun) return ListPlan(options, jobs, skips);

    ModuleFile module =
        LoadModuleFile(options.modulePath.empty() ? DefaultModulePath() : options.modulePath);
    int runnable = 0;
    for (const Job& job : jobs) runnable += job.refused.empty() ? 1 : 0;
    int workers = options.jobs > 0 ? options.jobs : DefaultJobs();
    workers = std::max(0, std::min(workers, runnable));
    // What killed runs left in the output folders is removed once per folder here, not once per
    // output: a folder of thousands of frames would otherwise be read through for every one.
    std::vector<std::string> outputs;
    for (const Job& job : jobs) {
        if (!job.refused.empty()) continue;
        for (const std::string* out : {&job.out, &job.depth}) {
            if (!out->empty()) outputs.push_back(*out);
        }
    }
    RemoveLeftoversBeside(outputs);
    Options batch = options;
    batch.leftoversGone = true;
    return RunJobs(batch, module, jobs, to, skipped, workers);
}

}  // namespace tniff_cli
