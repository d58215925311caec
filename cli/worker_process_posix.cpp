// Workers as forks of this process: each has its own copy of the loaded module, and runs the
// body in the fork. Stop signals reach the loop through a pipe the handler writes to.
#include "cli/worker_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"

namespace tniff_cli {

const char kWorkerSwitch[] = "--batch-worker";

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
int gSignalPipe[2] = {-1, -1};
std::vector<std::string> gArguments;

void PassSignalOn(int signal) {
    const int saved = errno;
    unsigned char number = static_cast<unsigned char>(signal);
    if (write(gSignalPipe[1], &number, 1) < 0) {
        // The pipe is full: a signal is already waiting to be seen.
    }
    errno = saved;
}

void CloseFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

int Fd(Channel channel) { return static_cast<int>(channel); }

}  // namespace

void RememberArguments(const std::vector<std::string>& arguments) { gArguments = arguments; }
const std::vector<std::string>& RememberedArguments() { return gArguments; }

void TakeWorkerChannels(Channel* jobs, Channel* results) {
    *jobs = dup(STDIN_FILENO);
    *results = dup(STDOUT_FILENO);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

std::string CatchStopRequests() {
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
    return cannot;
}

std::string StartWorker(WorkerProcess* worker, const std::vector<WorkerProcess>& others,
                        const WorkerBody& body, const std::vector<std::string>&) {
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
        tarniff::RemoveTemporariesOnSignals();
        // This process ending in any way ends the worker, which then removes its temporary
        // file.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(tarniff::kExitFailure);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        for (const WorkerProcess& other : others) {
            for (Channel channel : {other.jobs, other.results, other.errors}) {
                if (channel >= 0) close(Fd(channel));
            }
        }
        close(jobPipe[1]);
        close(resultPipe[0]);
        close(errorPipe[0]);
        close(gSignalPipe[0]);
        close(gSignalPipe[1]);
        dup2(errorPipe[1], STDERR_FILENO);
        close(errorPipe[1]);
        body(jobPipe[0], resultPipe[1]);
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
    *worker = WorkerProcess();
    worker->id = pid;
    worker->jobs = jobPipe[1];
    worker->results = resultPipe[0];
    worker->errors = errorPipe[0];
    return "";
}

int WaitForWorkers(const std::vector<WorkerProcess>& workers, int timeoutMs) {
    std::vector<pollfd> watched;
    watched.push_back({gSignalPipe[0], POLLIN, 0});
    for (const WorkerProcess& worker : workers) {
        if (worker.results >= 0) watched.push_back({Fd(worker.results), POLLIN, 0});
        if (worker.errors >= 0) watched.push_back({Fd(worker.errors), POLLIN, 0});
    }
    int ready = poll(watched.data(), watched.size(), timeoutMs);
    if (ready < 0 && errno != EINTR)
        throw tarniff::Error(std::string("cannot wait for the conversions: ") +
                             std::strerror(errno));
    unsigned char signal = 0;
    if (ready > 0 && (watched[0].revents & POLLIN) != 0 && read(gSignalPipe[0], &signal, 1) == 1)
        return signal;
    return 0;
}

long ReadAvailable(Channel channel, char* buffer, size_t size) {
    pollfd one = {Fd(channel), POLLIN, 0};
    if (poll(&one, 1, 0) <= 0) return 0;
    ssize_t got = read(Fd(channel), buffer, size);
    if (got < 0 && errno == EINTR) return 0;
    return got <= 0 ? -1 : static_cast<long>(got);
}

bool SendAll(Channel channel, const void* bytes, size_t size) {
    return tarniff::WriteFully(Fd(channel), bytes, size);
}

bool ReceiveAll(Channel channel, void* bytes, size_t size) {
    return tarniff::ReadFully(Fd(channel), bytes, size);
}

void CloseChannel(Channel* channel) {
    if (*channel >= 0) close(Fd(*channel));
    *channel = kNoChannel;
}

std::string ReapWorker(WorkerProcess* worker) {
    int status = 0;
    waitpid(static_cast<pid_t>(worker->id), &status, 0);
    worker->id = -1;
    return WIFSIGNALED(status)
               ? std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
                     strsignal(WTERMSIG(status)) + ")"
               : "ended with status " + std::to_string(WEXITSTATUS(status));
}

void StopWorkers(std::vector<WorkerProcess>* workers, int request) {
    for (WorkerProcess& worker : *workers) {
        if (worker.id > 0) kill(static_cast<pid_t>(worker.id), request);
    }
    for (WorkerProcess& worker : *workers) {
        if (worker.id > 0) waitpid(static_cast<pid_t>(worker.id), nullptr, 0);
    }
}

std::string StopRequestName(int request) { return strsignal(request); }

void EndAsStopped(int request) {
    std::signal(request, SIG_DFL);
    std::raise(request);
    _exit(128 + request);
}

}  // namespace tniff_cli
