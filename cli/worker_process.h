// The system's side of the batch's worker processes: starting one with its three pipes (file
// numbers in, messages out, its stderr), waiting until one of them has something to say, how a
// worker ended, and the stop requests (signals, Ctrl-C) that end a batch. The pool itself, what
// it hands out and counts, is worker_pool.cpp, the same on every system.
#ifndef TNIFF_CLI_WORKER_PROCESS_H
#define TNIFF_CLI_WORKER_PROCESS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tniff_cli {

// One end of a pipe: a file descriptor, or a Windows handle.
using Channel = intptr_t;
const Channel kNoChannel = -1;

struct WorkerProcess {
    intptr_t id = -1;              // the process id (a handle on Windows); -1: none running
    Channel jobs = kNoChannel;     // we write jobs
    Channel results = kNoChannel;  // we read messages
    Channel errors = kNoChannel;   // its stderr
};

// What a worker runs: reads jobs from one channel and sends messages on the other until the jobs
// end. Where the system cannot run a function in a new process (Windows), the worker is this
// program started again with WorkerArguments, and main runs the same function there.
using WorkerBody = std::function<void(Channel jobs, Channel results)>;

// Sets up the stop requests the batch waits for (SIGINT, SIGTERM, SIGHUP; Ctrl-C on Windows):
// what kept it from doing so, or "".
std::string CatchStopRequests();

// Starts a worker into *worker: what kept it from starting, or "". others are the workers
// running, whose pipes a new process must not hold; arguments are what this program is started
// with where a worker is a program of its own (the body is then run by main).
std::string StartWorker(WorkerProcess* worker, const std::vector<WorkerProcess>& others,
                        const WorkerBody& body, const std::vector<std::string>& arguments);

// Waits until a worker's results or errors have bytes or are closed, or timeoutMs passes (-1:
// no limit); gives the number of a stop request that came meanwhile (a signal), else 0.
int WaitForWorkers(const std::vector<WorkerProcess>& workers, int timeoutMs);

// What can be read from the channel now without waiting: bytes (> 0), 0 for none yet, -1 when
// it is closed at the other end.
long ReadAvailable(Channel channel, char* buffer, size_t size);
bool SendAll(Channel channel, const void* bytes, size_t size);
bool ReceiveAll(Channel channel, void* bytes, size_t size);
void CloseChannel(Channel* channel);

// Waits for the worker, whose pipes are closed, to end: how it ended ("killed by signal 11
// (Segmentation fault)", "ended with status 3").
std::string ReapWorker(WorkerProcess* worker);

// Passes a stop request on to every running worker and waits for them.
void StopWorkers(std::vector<WorkerProcess>* workers, int request);

// A stop request's name for messages ("Interrupt", "Terminated").
std::string StopRequestName(int request);

// Ends this process as the stop request ends it.
[[noreturn]] void EndAsStopped(int request);

// A worker that is a program of its own: its channels are its standard input and output, and
// anything else written to standard output goes to stderr.
void TakeWorkerChannels(Channel* jobs, Channel* results);

// The command line a worker is started with, where workers are programs of their own: the
// switch that makes one, then the module it loads and the batch's own arguments.
extern const char kWorkerSwitch[];
void RememberArguments(const std::vector<std::string>& arguments);
const std::vector<std::string>& RememberedArguments();

}  // namespace tniff_cli

#endif
