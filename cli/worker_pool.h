// The worker processes that convert a batch's files, and the one bar that shows them.
#ifndef TNIFF_CLI_WORKER_POOL_H
#define TNIFF_CLI_WORKER_POOL_H

#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/worker_process.h"
#include "tarniff/tarniff.h"

namespace tniff_cli {

// One input and what it becomes.
struct Job {
    std::string in;
    tarniff::FileKind inKind = tarniff::FileKind::iff;
    std::string out;
    std::string depth;       // the depth buffer's file; empty without --depth
    std::string rawDepth;    // the depth values as stored; empty without --raw-depth
    std::string refused;     // set: the file is not converted, and this is why
    bool outOfDate = false;  // --update: an output is there, older than the input
};

// What a batch counts besides its jobs: outputs skipped (there already, or up to date with
// --update) and frames of --frames that are missing, which count as failed.
struct BatchCounts {
    int skipped = 0;
    int missingFrames = 0;
};

// Converts the jobs in workers processes at once, each as the two-file form converts it; a job
// refused beforehand counts as failed, with its reason on a line of its own, and so does each
// missing frame (missingLines say which, first). Ends with the summary line (converted, failed,
// skipped; not with --quiet) and gives 1 when any file failed. A signal that stops the run stops
// the workers first, and no output is left half written.
int RunJobs(const Options& options, const tarniff::ModuleFile& module, const std::vector<Job>& jobs,
            tarniff::FileKind to, const BatchCounts& counts,
            const std::vector<std::string>& missingLines, int workers);

// A worker's side of RunJobs: converts the files it is handed on jobs, one at a time, and sends
// their progress and outcomes on results, until the files end.
void ServeJobs(const Options& options, const tarniff::ModuleFile& module, Channel jobs,
               Channel results);

}  // namespace tniff_cli

#endif
