// What the outputs' portable part (outputs.cpp) and the system's part (outputs_posix.cpp,
// outputs_win32.cpp) share: the table of temporary files to remove when the program is stopped,
// the names writers give their temporary files, and the system's calls behind them. Inside the
// library.
#ifndef TNIFF_TARNIFF_OUTPUTS_PARTS_H
#define TNIFF_TARNIFF_OUTPUTS_PARTS_H

#include <atomic>
#include <climits>
#include <cstddef>
#include <ctime>
#include <string>

namespace tarniff {
namespace outputs {

// ---- Temporary files for a stop to remove (the system's handler reads the table) -------------

// The handler holds the paths themselves in fixed slots, claimed and given back with atomic
// stores: it never follows a pointer that a thread frees.
#if defined(PATH_MAX)
const size_t kLongestPath = PATH_MAX;
#else
const size_t kLongestPath = 4096;
#endif
struct PendingSlot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 holds a path to remove
    char path[kLongestPath];
};
// A tniff run has at most three at once (an output, its depth output, a copy of standard
// input); the rest is room for a program's threads. A file past it is left to the removal of
// leftovers.
const int kMostPending = 32;
extern PendingSlot gPending[kMostPending];
// The slot that now holds path, or -1 when none is free (or the path is too long).
int Track(const std::string& path);
void Untrack(int slot);

// ---- Who writes and what the temporary files are called ---------------------------------------

const size_t kTagDigits = 16;
// Which machine (and, where the system has them, PID namespace) this process runs in, as 16 hex
// digits. known is false when it cannot be told: no file is then ever taken for this writer's own.
struct WriterTag {
    std::string tag;
    bool known = false;
};
WriterTag ThisWriter();

// ".NAME.tniff-", NAME cut to fit: a temporary file is ".NAME.tniff-TAG-PID-XXXXXX", NAME the file
// it becomes, TAG the writer's, PID its process, XXXXXX what makes it unique.
std::string TemporaryPrefix(const std::string& fileName);
struct WriterName {
    size_t prefixSize = 0;  // ".NAME.tniff-"
    std::string tag;
    long long pid = 0;
};
// Whether name is exactly what a writer of ours makes, read from its end.
bool ParseWriterName(const char* name, WriterName* parsed);

// A temporary file made in folder for fileName ("stdout", "input" or an output's name), locked
// and in the stop's table; fd < 0 (errno set) when it cannot be made. On Windows fd is the
// file's handle as the host's file calls take it.
struct Temporary {
    std::string path;
    int fd = -1;
    int slot = -1;
};
Temporary MakeTemporary(const std::string& folder, const std::string& fileName);

// The folder for temporary files of standard input and output, and of outputs that are streams.
std::string TemporaryFolder();
// The folder a path is in, as a path of its own: "." for a bare name.
std::string FolderOf(const std::string& path);
// Where writing destination (links followed) puts its temporary file: beside it, or for a stream
// (a FIFO, a device) in the temporary folder. fileName is what the temporary name is made of.
void PlaceOfTemporary(const std::string& destination, bool stream, std::string* folder,
                      std::string* fileName);
// Whether path (links followed) is a stream: a FIFO or a device, written into, never replaced.
bool IsStreamAt(const std::string& path);
// Removes the file folder/name (whose name parsed as a writer's) when it is a leftover: a
// regular file of this user whose lock nobody holds, and either this machine's with its process
// gone or older than kLeftoverAgeSeconds.
void RemoveIfLeftover(const std::string& folder, const char* name, const WriterName& parsed,
                      const WriterTag& self, time_t now);
// Removes the leftovers in folder named prefix... (".NAME.tniff-"), or every writer's when
// prefix is empty.
void RemoveLeftoversIn(const std::string& folder, const std::string& prefix);
// Closes fd and removes the file at path unless it is an anonymous memory file (memory).
void DropFile(int fd, const std::string& path, bool memory);
// Text of the system's last error of a file call (errno's, or on Windows GetLastError's).
std::string LastFileError();

}  // namespace outputs
}  // namespace tarniff

#endif
