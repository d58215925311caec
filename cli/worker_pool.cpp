// The batch's worker pool: every file converted by the same code as the two-file form, in
// worker processes.
//
// Why processes: a loaded module file is one instance of the module per process, and a host
// runs one operation at a time on an instance. Each worker (a fork of this process, or on
// Windows this program started again) has its own instance and converts one file at a time. A
// worker is handed its files through a pipe, sends its progress and each file's outcome back
// through another, and its stderr (notes) goes through a third, so that only this process writes to
// the terminal. A worker that dies in the middle of a file (a crash on a broken file) costs only
// that file: the file counts as failed and a new worker takes over the rest.
#include "cli/worker_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli/convert_file.h"
#include "cli/progress_bar.h"
#include "cli/worker_process.h"

namespace tniff_cli {

using namespace tarniff;

namespace {

std::string Duration(double seconds) {
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// ---- Messages from the workers
// -------------------------------------------------------------------

enum MessageType : int32_t { kProgress = 1, kConverted = 2, kFailed = 3 };

struct MessageHead {
    int32_t type;
    int32_t job;
    int32_t permille;  // kProgress: how much of the file is done
    uint32_t length;   // kFailed: bytes of the message that follow
    int64_t pixels;    // kConverted: the image's width times height
};

void Send(Channel channel, MessageType type, int job, int permille, int64_t pixels,
          const std::string& text = "") {
    std::string message(sizeof(MessageHead), '\0');
    MessageHead head = {type, job, permille, static_cast<uint32_t>(text.size()), pixels};
    std::memcpy(&message[0], &head, sizeof head);
    message += text;
    SendAll(channel, message.data(), message.size());
}

// ---- Files handed to the workers ----------------------------------------------------------
// A job goes as its number, the kinds and the four names, each name its length and bytes, so
// that a worker that is a program of its own needs nothing of this process's memory. A number
// below 0 ends the worker.

void PutNumber(std::string* message, int32_t number) {
    message->append(reinterpret_cast<const char*>(&number), sizeof number);
}

bool SendJob(Channel channel, int32_t index, const Job& job, FileKind to) {
    std::string message;
    PutNumber(&message, index);
    PutNumber(&message, static_cast<int32_t>(job.inKind));
    PutNumber(&message, static_cast<int32_t>(to));
    for (const std::string* name : {&job.in, &job.out, &job.depth, &job.rawDepth}) {
        PutNumber(&message, static_cast<int32_t>(name->size()));
        message += *name;
    }
    return SendAll(channel, message.data(), message.size());
}

bool ReceiveJob(Channel channel, int32_t* index, Job* job, FileKind* to) {
    int32_t kinds[2];
    if (!ReceiveAll(channel, index, sizeof *index) || *index < 0 ||
        !ReceiveAll(channel, kinds, sizeof kinds))
        return false;
    const int32_t last = static_cast<int32_t>(FileKind::tiff);
    if (kinds[0] < 0 || kinds[0] > last || kinds[1] < 0 || kinds[1] > last) return false;
    job->inKind = static_cast<FileKind>(kinds[0]);
    *to = static_cast<FileKind>(kinds[1]);
    for (std::string* name : {&job->in, &job->out, &job->depth, &job->rawDepth}) {
        int32_t length = 0;
        if (!ReceiveAll(channel, &length, sizeof length) || length < 0 || length > (1 << 20))
            return false;
        name->assign(static_cast<size_t>(length), '\0');
        if (length > 0 && !ReceiveAll(channel, &(*name)[0], static_cast<size_t>(length)))
            return false;
    }
    return true;
}

// ---- A worker ---------------------------------------------------------------------------------

struct Reporter {
    Channel channel;
    int job;
    int lastPermille;
    const ProgressBar* bar;
};

void ReportProgress(void* context, int32_t done, int32_t total) {
    Reporter* reporter = static_cast<Reporter*>(context);
    if (total < 1) total = 1;
    done = done < 0 ? 0 : done > total ? total : done;
    const int phases = reporter->bar->phases();
    const int permille = static_cast<int>(
        (int64_t(reporter->bar->phase()) * 1000 + int64_t(done) * 1000 / total) / phases);
    if (permille == reporter->lastPermille) return;
    reporter->lastPermille = permille;
    Send(reporter->channel, kProgress, reporter->job, permille, 0);
}

// Converts the job's file in this process: what went wrong, or nothing. The library's messages
// name the file they are about; the others are about the input.
std::string Convert(const Options& options, const ModuleFile& module, const Job& job, FileKind to,
                    ProgressBar& bar, int64_t* pixels) {
    Options one = options;
    one.depthPath = job.depth;
    one.rawDepthPath = job.rawDepth;
    try {
        if (job.inKind == FileKind::iff)
            ConvertFromIff(one, module, job.in, job.in, job.out, to, bar, pixels);
        else
            ConvertToIff(one, module, job.in, job.in, job.inKind, job.out, bar, pixels);
    } catch (const Error& error) {
        return error.what();
    } catch (const std::bad_alloc&) {
        return job.in + ": not enough memory";
    } catch (const std::exception& error) {
        return job.in + ": " + error.what();
    }
    return "";
}

void ConvertOne(const Options& options, const ModuleFile& module, const Job& job, FileKind to,
                int index, Channel channel) {
    ProgressBar bar(false, "");
    Reporter reporter = {channel, index, -1, &bar};
    bar.Observe(&ReportProgress, &reporter);
    int64_t pixels = 0;
    const std::string failure = Convert(options, module, job, to, bar, &pixels);
    if (failure.empty())
        Send(channel, kConverted, index, 1000, pixels);
    else
        Send(channel, kFailed, index, 0, 0, failure);
}

// ---- The batch --------------------------------------------------------------------------------

struct Worker {
    WorkerProcess process;
    int job = -1;  // the file it is converting, -1 none
    int permille = 0;
    std::string resultBytes;  // received, not yet a whole message
    std::string errorBytes;   // received, not yet a whole line
};

class Batch {
public:
    Batch(const Options& options, const ModuleFile& module, std::vector<Job> jobs, FileKind to,
          const BatchCounts& counts)
        : options_(options),
          module_(module),
          jobs_(std::move(jobs)),
          to_(to),
          skipped_(counts.skipped),
          missing_(counts.missingFrames),
          bar_(!options.quiet, "") {}

    int Run(int workerCount, const std::vector<std::string>& missingLines) {
        for (const std::string& line : missingLines) PrintLine("tniff: " + line + "\n");
        if (missing_ > 0 && options_.stopOnError) stopping_ = true;
        for (const Job& job : jobs_) {
            if (!job.refused.empty()) Refuse(job);
        }
        // Without the pipes a process needs (a low limit of open files), the batch runs with
        // as many processes as could be started, or converts here, one file at a time.
        std::string cannot = CatchStopRequests();

        workers_.resize(static_cast<size_t>(workerCount));
        for (Worker& worker : workers_) {
            if (!cannot.empty() || next_ >= static_cast<int>(jobs_.size()) || stopping_) break;
            cannot = Start(&worker);
        }
        if (!cannot.empty()) NoteFewerProcesses(cannot);
        if (Running()) Redraw(true);
        while (Running()) {
            const int request = WaitForWorkers(Processes(), bar_.drawing() ? 250 : -1);
            if (request != 0) Interrupted(request);
            for (Worker& worker : workers_) Listen(&worker);
            Redraw(false);
        }
        ConvertRestHere();
        bar_.Clear();
        Summarise(stopping_ ? "stopped at the first failure, " : "");
        return failed_ + missing_ > 0 ? kExitFailure : 0;
    }

private:
    // A file refused before any conversion starts.
    void Refuse(const Job& job) {
        ++failed_;
        PrintLine("tniff: " + job.refused + "\n");
        if (options_.stopOnError) stopping_ = true;
    }

    bool Running() const {
        for (const Worker& worker : workers_) {
            if (worker.process.id > 0) return true;
        }
        return false;
    }

    std::vector<WorkerProcess> Processes() const {
        std::vector<WorkerProcess> processes;
        for (const Worker& worker : workers_) processes.push_back(worker.process);
        return processes;
    }

    // Says once why the batch runs with fewer processes than asked for, and with how many.
    void NoteFewerProcesses(const std::string& why) {
        if (notedFewer_) return;
        notedFewer_ = true;
        int running = 0;
        for (const Worker& worker : workers_) running += worker.process.id > 0 ? 1 : 0;
        const int asked = static_cast<int>(workers_.size());
        PrintLine("tniff: note: " + why + "; " +
                  (running > 0 ? "converting with " + std::to_string(running) +
                                     (running == 1 ? " process" : " processes") + ", not " +
                                     std::to_string(asked)
                               : std::string("converting in this process, one file at a time")) +
                  "\n");
    }

    // Files no process is left to take (none could be started, or one that ended could not be
    // replaced) are converted here, one after another.
    void ConvertRestHere() {
        while (!stopping_) {
            while (next_ < static_cast<int>(jobs_.size()) &&
                   !jobs_[static_cast<size_t>(next_)].refused.empty())
                ++next_;
            if (next_ >= static_cast<int>(jobs_.size())) return;
            const Job& job = jobs_[static_cast<size_t>(next_++)];
            ProgressBar quiet(false, "");
            int64_t pixels = 0;
            const std::string failure = Convert(options_, module_, job, to_, quiet, &pixels);
            Finished(job, failure, pixels);
        }
    }

    // A file's conversion is over: failure says why it failed, or is empty.
    void Finished(const Job& job, const std::string& failure, int64_t pixels) {
        if (failure.empty()) {
            ++converted_;
            pixels_ += pixels;
            if (options_.verbose) PrintLine("tniff: converted " + job.in + " to " + job.out + "\n");
        } else {
            ++failed_;
            PrintLine("tniff: " + failure + "\n");
            if (options_.stopOnError) stopping_ = true;
        }
    }

    // Starts a process on the next file: what kept it from starting, or nothing (also when no
    // file is left).
    std::string Start(Worker* worker) {
        while (next_ < static_cast<int>(jobs_.size()) &&
               !jobs_[static_cast<size_t>(next_)].refused.empty())
            ++next_;
        if (next_ >= static_cast<int>(jobs_.size())) return "";
        // The new process's job is its first message: a worker of its own program needs the
        // module's path and the batch's options, which it takes from its command line.
        std::vector<std::string> arguments = {kWorkerSwitch, "--module", module_.path};
        for (const std::string& argument : RememberedArguments()) arguments.push_back(argument);
        const std::vector<WorkerProcess> others = Processes();
        WorkerProcess process;
        const std::string cannot = StartWorker(
            &process, others,
            [this](Channel jobs, Channel results) { ServeJobs(options_, module_, jobs, results); },
            arguments);
        if (!cannot.empty()) return cannot;
        *worker = Worker();
        worker->process = process;
        HandOut(worker);
        return "";
    }

    // Gives the worker the next file, or tells it there is none (it then ends).
    void HandOut(Worker* worker) {
        while (next_ < static_cast<int>(jobs_.size()) &&
               !jobs_[static_cast<size_t>(next_)].refused.empty())
            ++next_;
        if (stopping_ || next_ >= static_cast<int>(jobs_.size())) {
            CloseChannel(&worker->process.jobs);
            return;
        }
        int32_t index = next_++;
        worker->job = index;
        worker->permille = 0;
        if (!SendJob(worker->process.jobs, index, jobs_[static_cast<size_t>(index)], to_))
            CloseChannel(&worker->process.jobs);  // it died; Listen sees that
    }

    void Listen(Worker* worker) {
        if (worker->process.id <= 0) return;
        char buffer[4096];
        for (Channel* channel : {&worker->process.results, &worker->process.errors}) {
            if (*channel == kNoChannel) continue;
            const long got = ReadAvailable(*channel, buffer, sizeof buffer);
            if (got == 0) continue;
            if (got < 0) {
                CloseChannel(channel);
                continue;
            }
            if (channel == &worker->process.results) {
                worker->resultBytes.append(buffer, static_cast<size_t>(got));
                TakeMessages(worker);
            } else {
                worker->errorBytes.append(buffer, static_cast<size_t>(got));
                size_t end;
                while ((end = worker->errorBytes.find('\n')) != std::string::npos) {
                    PrintLine(worker->errorBytes.substr(0, end + 1));
                    worker->errorBytes.erase(0, end + 1);
                }
            }
        }
        if (worker->process.results == kNoChannel && worker->process.errors == kNoChannel)
            Ended(worker);
    }

    void TakeMessages(Worker* worker) {
        while (worker->resultBytes.size() >= sizeof(MessageHead)) {
            MessageHead head;
            std::memcpy(&head, worker->resultBytes.data(), sizeof head);
            if (worker->resultBytes.size() < sizeof head + head.length) return;
            std::string text = worker->resultBytes.substr(sizeof head, head.length);
            worker->resultBytes.erase(0, sizeof head + head.length);
            if (head.job != worker->job) continue;
            if (head.type == kProgress) {
                worker->permille = head.permille;
                continue;
            }
            Finished(jobs_[static_cast<size_t>(head.job)],
                     head.type == kConverted ? std::string() : text, head.pixels);
            worker->job = -1;
            HandOut(worker);
            if (stopping_) {
                for (Worker& other : workers_) {
                    if (other.job < 0) CloseChannel(&other.process.jobs);
                }
            }
            Redraw(true);
        }
    }

    // The worker's pipes are closed: it has ended.
    void Ended(Worker* worker) {
        const std::string how = ReapWorker(&worker->process);
        CloseChannel(&worker->process.jobs);
        if (!worker->errorBytes.empty()) PrintLine(worker->errorBytes + "\n");
        if (worker->job >= 0) {
            const Job& job = jobs_[static_cast<size_t>(worker->job)];
            RemoveLeftovers(job.out);
            if (!job.depth.empty()) RemoveLeftovers(job.depth);
            if (!job.rawDepth.empty()) RemoveLeftovers(job.rawDepth);
            ++failed_;
            PrintLine("tniff: " + job.in + ": the process converting it was " + how + "\n");
            worker->job = -1;
            if (options_.stopOnError) stopping_ = true;
            // The others go on; this one's place is taken by a new worker, if one can start.
            if (!stopping_) {
                const std::string cannot = Start(worker);
                if (!cannot.empty()) NoteFewerProcesses(cannot);
            }
        }
    }

    // The line the batch ends with: how many files were converted, failed and skipped, and why
    // the rest were not converted.
    void Summarise(const std::string& why) {
        if (options_.quiet) return;
        const int left = static_cast<int>(jobs_.size()) - converted_ - failed_;
        std::string summary = "converted " + std::to_string(converted_) + ", failed " +
                              std::to_string(failed_ + missing_) + ", skipped " +
                              std::to_string(skipped_) + (options_.update ? " (up to date)" : "");
        if (left > 0) summary += "; " + why + std::to_string(left) + " not converted";
        std::fprintf(stderr, "tniff: %s\n", summary.c_str());
        std::fflush(stderr);
    }

    void Interrupted(int request) {
        std::vector<WorkerProcess> processes = Processes();
        StopWorkers(&processes, request);
        // A worker that could not clean up after itself (ended from outside, as on Windows)
        // leaves its temporary files: they go now that it has ended.
        for (const Worker& worker : workers_) {
            if (worker.process.id <= 0 || worker.job < 0) continue;
            const Job& job = jobs_[static_cast<size_t>(worker.job)];
            for (const std::string* out : {&job.out, &job.depth, &job.rawDepth}) {
                if (!out->empty()) RemoveLeftovers(*out);
            }
        }
        bar_.Clear();
        // What was done so far, as a farm's log needs it.
        Summarise("interrupted by " + StopRequestName(request) + ", ");
        EndAsStopped(request);
    }

    void PrintLine(const std::string& line) {
        bar_.Clear();
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        Redraw(true);
    }

    void Redraw(bool now) {
        if (!bar_.drawing()) return;
        double part = 0;
        for (const Worker& worker : workers_) {
            if (worker.process.id > 0 && worker.job >= 0) part += worker.permille / 1000.0;
        }
        // "files 12/200 [#####...............] 24.9 Mpx 31.2 Mpx/s 0:53 left"
        const int files = static_cast<int>(jobs_.size()), done = converted_ + failed_;
        const double fraction = files > 0 ? std::min(1.0, (done + part) / files) : 1.0;
        const double elapsed = NowSeconds() - start_;
        char after[96];
        int length =
            std::snprintf(after, sizeof after, "%.1f Mpx", static_cast<double>(pixels_) / 1e6);
        if (elapsed > 0.5 && pixels_ > 0) {
            length += std::snprintf(after + length, sizeof after - static_cast<size_t>(length),
                                    " %.1f Mpx/s", static_cast<double>(pixels_) / 1e6 / elapsed);
        }
        if (elapsed > 0.5 && fraction > 0.01) {
            std::snprintf(after + length, sizeof after - static_cast<size_t>(length), " %s left",
                          Duration(elapsed * (1 - fraction) / fraction).c_str());
        }
        bar_.Show("files " + std::to_string(done) + "/" + std::to_string(files), fraction, after,
                  20, now);
    }

    const Options& options_;
    const ModuleFile& module_;
    std::vector<Job> jobs_;
    FileKind to_;
    int skipped_;
    int missing_;  // frames of --frames that are not there: failed before anything started
    ProgressBar bar_;
    double start_ = NowSeconds();
    std::vector<Worker> workers_;
    int next_ = 0;
    bool stopping_ = false;
    bool notedFewer_ = false;
    int converted_ = 0;
    int failed_ = 0;
    int64_t pixels_ = 0;
};

}  // namespace

void ServeJobs(const Options& options, const ModuleFile& module, Channel jobs, Channel results) {
    int32_t index = 0;
    Job job;
    FileKind to = FileKind::iff;
    while (ReceiveJob(jobs, &index, &job, &to))
        ConvertOne(options, module, job, to, index, results);
}

int RunJobs(const Options& options, const ModuleFile& module, const std::vector<Job>& jobs,
            FileKind to, const BatchCounts& counts, const std::vector<std::string>& missingLines,
            int workers) {
    Batch batch(options, module, jobs, to, counts);
    return batch.Run(workers, missingLines);
}

}  // namespace tniff_cli
