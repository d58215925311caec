// The batch's worker pool: every file converted by the same code as the two-file form, in
// worker processes.
//
// Why processes: a loaded module file is one instance of the module per process, and a host
// runs one operation at a time on an instance. The module is loaded once here, and each worker
// (a fork) has its own copy of it and converts one file at a time. A worker is handed file
// numbers through a pipe, sends its progress and each file's outcome back through another, and
// its stderr (notes) goes through a third, so that only this process writes to the terminal. A
// worker that dies in the middle of a file (a crash on a broken file) costs only that file: the
// file counts as failed and a new worker takes over the rest.
#include "cli/worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli/convert_file.h"
#include "cli/progress_bar.h"

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

void Send(int fd, MessageType type, int job, int permille, int64_t pixels,
          const std::string& text = "") {
    std::string message(sizeof(MessageHead), '\0');
    MessageHead head = {type, job, permille, static_cast<uint32_t>(text.size()), pixels};
    std::memcpy(&message[0], &head, sizeof head);
    message += text;
    WriteFully(fd, message.data(), message.size());
}

// ---- A worker ---------------------------------------------------------------------------------

struct Reporter {
    int fd;
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
    Send(reporter->fd, kProgress, reporter->job, permille, 0);
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
                int index, int fd) {
    ProgressBar bar(false, "");
    Reporter reporter = {fd, index, -1, &bar};
    bar.Observe(&ReportProgress, &reporter);
    int64_t pixels = 0;
    const std::string failure = Convert(options, module, job, to, bar, &pixels);
    if (failure.empty())
        Send(fd, kConverted, index, 1000, pixels);
    else
        Send(fd, kFailed, index, 0, 0, failure);
}

// ---- The batch --------------------------------------------------------------------------------

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
int gSignalPipe[2] = {-1, -1};

void PassSignalOn(int signal) {
    const int saved = errno;
    unsigned char number = static_cast<unsigned char>(signal);
    if (write(gSignalPipe[1], &number, 1) < 0) {
        // The pipe is full: a signal is already waiting to be seen.
    }
    errno = saved;
}

struct Worker {
    pid_t pid = -1;
    int jobs = -1;     // we write file numbers
    int results = -1;  // we read messages
    int errors = -1;   // its stderr
    int job = -1;      // the file it is converting, -1 none
    int permille = 0;
    std::string resultBytes;  // received, not yet a whole message
    std::string errorBytes;   // received, not yet a whole line
};

void CloseFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

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
        std::string cannot;
        if (pipe(gSignalPipe) != 0) {
            cannot = std::string("cannot make a pipe: ") + std::strerror(errno);
        } else {
            fcntl(gSignalPipe[0], F_SETFD, FD_CLOEXEC);
            fcntl(gSignalPipe[1], F_SETFD, FD_CLOEXEC);
            fcntl(gSignalPipe[1], F_SETFL, O_NONBLOCK);
            struct sigaction action;
            std::memset(&action, 0, sizeof action);
            action.sa_handler = PassSignalOn;
            sigemptyset(&action.sa_mask);
            for (int s : kStopSignals) sigaction(s, &action, nullptr);
        }
        std::signal(SIGPIPE, SIG_IGN);  // a worker that died: its pipe says so, not a signal

        workers_.resize(static_cast<size_t>(workerCount));
        for (Worker& worker : workers_) {
            if (!cannot.empty() || next_ >= static_cast<int>(jobs_.size()) || stopping_) break;
            cannot = Start(&worker);
        }
        if (!cannot.empty()) NoteFewerProcesses(cannot);
        if (Running()) Redraw(true);
        while (Running()) {
            std::vector<pollfd> watched;
            watched.push_back({gSignalPipe[0], POLLIN, 0});
            for (const Worker& worker : workers_) {
                if (worker.results >= 0) watched.push_back({worker.results, POLLIN, 0});
                if (worker.errors >= 0) watched.push_back({worker.errors, POLLIN, 0});
            }
            int ready = poll(watched.data(), watched.size(), bar_.drawing() ? 250 : -1);
            if (ready < 0 && errno != EINTR)
                throw Error(std::string("cannot wait for the conversions: ") +
                            std::strerror(errno));
            unsigned char signal = 0;
            if (ready > 0 && (watched[0].revents & POLLIN) != 0 &&
                read(gSignalPipe[0], &signal, 1) == 1) {
                Interrupted(signal);
            }
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
            if (worker.pid > 0) return true;
        }
        return false;
    }

    // Says once why the batch runs with fewer processes than asked for, and with how many.
    void NoteFewerProcesses(const std::string& why) {
        if (notedFewer_) return;
        notedFewer_ = true;
        int running = 0;
        for (const Worker& worker : workers_) running += worker.pid > 0 ? 1 : 0;
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
        int jobPipe[2] = {-1, -1}, resultPipe[2] = {-1, -1}, errorPipe[2] = {-1, -1};
        if (pipe(jobPipe) != 0 || pipe(resultPipe) != 0 || pipe(errorPipe) != 0) {
            const std::string why = std::string("cannot make a pipe: ") + std::strerror(errno);
            for (int* ends : {jobPipe, resultPipe, errorPipe}) {
                CloseFd(&ends[0]);
                CloseFd(&ends[1]);
            }
            return why;
        }
        // Signals wait until the worker has put back their default handling.
        sigset_t stops, previous;
        sigemptyset(&stops);
        for (int s : kStopSignals) sigaddset(&stops, s);
        sigprocmask(SIG_BLOCK, &stops, &previous);
        const pid_t parent = getpid();
        pid_t pid = fork();
        if (pid == 0) {
            // A worker's signals end it, removing its temporary files, as a single convert's do.
            for (int s : kStopSignals) std::signal(s, SIG_DFL);
            RemoveTemporariesOnSignals();
            // This process ending in any way ends the worker, which then removes its temporary
            // file.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(kExitFailure);
            sigprocmask(SIG_SETMASK, &previous, nullptr);
            for (Worker& other : workers_) {
                CloseFd(&other.jobs);
                CloseFd(&other.results);
                CloseFd(&other.errors);
            }
            close(jobPipe[1]);
            close(resultPipe[0]);
            close(errorPipe[0]);
            close(gSignalPipe[0]);
            close(gSignalPipe[1]);
            dup2(errorPipe[1], STDERR_FILENO);
            close(errorPipe[1]);
            int32_t index = 0;
            while (ReadFully(jobPipe[0], &index, sizeof index) && index >= 0 &&
                   index < static_cast<int32_t>(jobs_.size())) {
                ConvertOne(options_, module_, jobs_[static_cast<size_t>(index)], to_, index,
                           resultPipe[1]);
            }
            _exit(0);
        }
        const int forkError = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        close(jobPipe[0]);
        close(resultPipe[1]);
        close(errorPipe[1]);
        if (pid < 0) {
            close(jobPipe[1]);
            close(resultPipe[0]);
            close(errorPipe[0]);
            return std::string("cannot start a conversion process: ") + std::strerror(forkError);
        }
        for (int fd : {jobPipe[1], resultPipe[0], errorPipe[0]}) fcntl(fd, F_SETFD, FD_CLOEXEC);
        *worker = Worker();
        worker->pid = pid;
        worker->jobs = jobPipe[1];
        worker->results = resultPipe[0];
        worker->errors = errorPipe[0];
        HandOut(worker);
        return "";
    }

    // Gives the worker the next file, or tells it there is none (it then ends).
    void HandOut(Worker* worker) {
        while (next_ < static_cast<int>(jobs_.size()) &&
               !jobs_[static_cast<size_t>(next_)].refused.empty())
            ++next_;
        if (stopping_ || next_ >= static_cast<int>(jobs_.size())) {
            CloseFd(&worker->jobs);
            return;
        }
        int32_t index = next_++;
        worker->job = index;
        worker->permille = 0;
        if (!WriteFully(worker->jobs, &index, sizeof index))
            CloseFd(&worker->jobs);  // it died; Listen sees that
    }

    void Listen(Worker* worker) {
        if (worker->pid <= 0) return;
        char buffer[4096];
        for (int* fd : {&worker->results, &worker->errors}) {
            if (*fd < 0) continue;
            pollfd one = {*fd, POLLIN, 0};
            if (poll(&one, 1, 0) <= 0) continue;
            ssize_t got = read(*fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                CloseFd(fd);
                continue;
            }
            if (fd == &worker->results) {
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
        if (worker->results < 0 && worker->errors < 0) Ended(worker);
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
                    if (other.job < 0) CloseFd(&other.jobs);
                }
            }
            Redraw(true);
        }
    }

    // The worker's pipes are closed: it has ended.
    void Ended(Worker* worker) {
        int status = 0;
        waitpid(worker->pid, &status, 0);
        worker->pid = -1;
        CloseFd(&worker->jobs);
        if (!worker->errorBytes.empty()) PrintLine(worker->errorBytes + "\n");
        if (worker->job >= 0) {
            const Job& job = jobs_[static_cast<size_t>(worker->job)];
            std::string how = WIFSIGNALED(status)
                                  ? std::string("killed by signal ") +
                                        std::to_string(WTERMSIG(status)) + " (" +
                                        strsignal(WTERMSIG(status)) + ")"
                                  : "ended with status " + std::to_string(WEXITSTATUS(status));
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

    void Interrupted(int signal) {
        for (Worker& worker : workers_) {
            if (worker.pid > 0) kill(worker.pid, signal);
        }
        for (Worker& worker : workers_) {
            if (worker.pid > 0) waitpid(worker.pid, nullptr, 0);
        }
        bar_.Clear();
        // What was done so far, as a farm's log needs it.
        Summarise(std::string("interrupted by ") + strsignal(signal) + ", ");
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        _exit(128 + signal);
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
            if (worker.pid > 0 && worker.job >= 0) part += worker.permille / 1000.0;
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

int RunJobs(const Options& options, const ModuleFile& module, const std::vector<Job>& jobs,
            FileKind to, const BatchCounts& counts, const std::vector<std::string>& missingLines,
            int workers) {
    Batch batch(options, module, jobs, to, counts);
    return batch.Run(workers, missingLines);
}

}  // namespace tniff_cli
