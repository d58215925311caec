// Outputs written whole or not at all, where writing a path ends up, and bytes kept in a file.
#include "tarniff/tarniff.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "host/host_file.h"

namespace tarniff {

namespace {
// Temporary files not yet renamed or removed, for an interrupted run to remove on its way out.
// A signal handler reads this table, so it holds plain pointers and is changed only with the
// signals it handles blocked.
const int kMostPending = 4;
const char* gPendingPaths[kMostPending] = {};
const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RemovePendingAndRaise(int signal) {
    for (const char* path : gPendingPaths) {
        if (path != nullptr) unlink(path);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : kCleanupSignals) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

void Track(const char* path) {
    SignalsBlocked blocked;
    static bool installed = false;
    if (!installed) {
        for (int s : kCleanupSignals) std::signal(s, RemovePendingAndRaise);
        installed = true;
    }
    for (const char*& slot : gPendingPaths) {
        if (slot == nullptr) {
            slot = path;
            return;
        }
    }
}

void Untrack(const char* path) {
    SignalsBlocked blocked;
    for (const char*& slot : gPendingPaths) {
        if (slot == path) slot = nullptr;
    }
}

// What the temporary files of a PendingOutput are named by, after ".NAME":
// ".NAME.tniff-PID-XXXXXX".
const char kWriterMarker[] = ".tniff-";

// The folder a path is in, as a path of its own: "." for a bare name.
std::string FolderOf(const std::string& path) {
    const std::string directory = DirectoryOf(path);
    return directory.empty()       ? "."
           : directory.size() == 1 ? directory
                                   : directory.substr(0, directory.size() - 1);
}

}  // namespace

std::string FollowLinks(const std::string& path, bool* endless) {
    // The most links the kernel follows in one path (MAXSYMLINKS): past it, an open fails with
    // ELOOP.
    const int kMostLinks = 40;
    if (endless != nullptr) *endless = false;
    std::string current = path;
    for (int followed = 0;; ++followed) {
        struct stat status;
        if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return current;
        if (followed == kMostLinks) {
            if (endless != nullptr) *endless = true;
            return path;
        }
        std::vector<char> target(4096);
        ssize_t length = readlink(current.c_str(), target.data(), target.size() - 1);
        if (length <= 0) return current;
        std::string next(target.data(), static_cast<size_t>(length));
        current = next[0] == '/' ? next : FolderOf(current) + "/" + next;
    }
}

std::string RefuseEndlessLinks(const std::string& path) {
    if (IsStandardStream(path)) return path;
    bool endless = false;
    const std::string target = FollowLinks(path, &endless);
    if (endless) {
        throw Error(path +
                    ": cannot write: its symbolic links never end (a loop, or more "
                    "than 40 in a row)");
    }
    return target;
}

namespace {
// Copies the temporary file to standard output.
void CopyToStdout(const std::string& temporary) {
    int fd = open(temporary.c_str(), O_RDONLY);
    if (fd < 0) throw Error(std::string("cannot read the written output: ") + std::strerror(errno));
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const uint32_t got =
            tniff::FileHandleRead(fd, buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (got == tniff::kFileCallFailed) {
            int error = errno;
            close(fd);
            throw Error(std::string("cannot read the written output: ") + std::strerror(error));
        }
        if (got == 0) break;
        errno = EIO;
        if (!WriteFully(STDOUT_FILENO, buffer.data(), got)) {
            int error = errno;
            close(fd);
            throw Error(std::string("cannot write to standard output: ") + std::strerror(error));
        }
    }
    close(fd);
}
}  // namespace

bool IsStandardStream(const std::string& path) { return path == "-"; }

PendingOutput::PendingOutput(const std::string& destination, bool removeLeftovers)
    : destination_(RefuseEndlessLinks(destination)), toStdout_(IsStandardStream(destination)) {
    // Only the rename at the very end would find out, after all the work.
    struct stat target;
    if (!toStdout_ && stat(destination_.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
        throw Error(destination + ": cannot write: it is a directory");
    }
    // From the file's creation until it is in the table, a signal waits: it would otherwise
    // end the run with the file left behind.
    SignalsBlocked blocked;
    const char* tmp = std::getenv("TMPDIR");
    std::string directory =
        toStdout_ ? (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") : FolderOf(destination_);
    // Hidden, and named for the file it will become, so that a leftover after a crash explains
    // itself. The writer's process id is in the name: a later run for the same output removes what
    // a process that is gone (killed with SIGKILL, or by a power cut) left.
    if (!toStdout_ && removeLeftovers) RemoveLeftovers(destination_);
    std::string pattern = directory + "/." +
                          (toStdout_ ? std::string("stdout") : FileNameOf(destination_)) +
                          kWriterMarker + std::to_string(getpid()) + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        throw Error(destination + ": cannot create a file in " + directory + ": " +
                    std::strerror(errno));
    }
    // mkstemp makes the file private; the result should have the permissions of the file it
    // replaces (and its group, where the system lets us), or else those of any new file.
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = 0666 & ~mask;
    struct stat existing;
    if (!toStdout_ && stat(destination_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        mode = existing.st_mode & 07777;
        if (fchown(fd, static_cast<uid_t>(-1), existing.st_gid) != 0) {
            // Not a member of that group: the file keeps ours, as a new file would.
        }
    }
    if (fchmod(fd, mode) != 0) {
        int error = errno;
        close(fd);
        unlink(name.data());
        throw Error(destination + ": cannot prepare a file in " + directory + ": " +
                    std::strerror(error));
    }
    close(fd);
    temporary_ = name.data();
    Track(temporary_.c_str());
}

PendingOutput::~PendingOutput() {
    if (!committed_) unlink(temporary_.c_str());
    Untrack(temporary_.c_str());
}

void PendingOutput::Commit() {
    if (toStdout_) {
        CopyToStdout(temporary_);
        unlink(temporary_.c_str());
        committed_ = true;
        Untrack(temporary_.c_str());
        return;
    }
    int fd = open(temporary_.c_str(), O_RDONLY);
    if (fd < 0 || fsync(fd) != 0) {
        int error = errno;
        if (fd >= 0) close(fd);
        throw Error(destination_ + ": cannot flush the written file: " + std::strerror(error));
    }
    close(fd);
    if (std::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        throw Error(destination_ +
                    ": cannot replace it with the written file: " + std::strerror(errno));
    }
    committed_ = true;
    Untrack(temporary_.c_str());
}

bool WriteFully(int fd, const void* bytes, size_t size) {
    const uint8_t* from = static_cast<const uint8_t*>(bytes);
    while (size > 0) {
        const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size, size_t(1) << 30));
        if (tniff::FileHandleWrite(fd, from, piece) != piece) return false;
        from += piece;
        size -= piece;
    }
    return true;
}

bool ReadFully(int fd, void* bytes, size_t size) {
    uint8_t* to = static_cast<uint8_t*>(bytes);
    while (size > 0) {
        const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size, size_t(1) << 30));
        if (tniff::FileHandleRead(fd, to, piece) != piece) return false;
        to += piece;
        size -= piece;
    }
    return true;
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string PlaceOf(const std::string& path) {
    const std::string target = FollowLinks(path);
    char resolved[PATH_MAX];
    const std::string folder = FolderOf(target);
    return (realpath(folder.c_str(), resolved) != nullptr ? std::string(resolved) : folder) + "/" +
           FileNameOf(target);
}

bool SameFile(const std::string& a, const std::string& b) {
    if (IsStandardStream(a) || IsStandardStream(b)) return false;
    struct stat x, y;
    const bool xExists = stat(a.c_str(), &x) == 0, yExists = stat(b.c_str(), &y) == 0;
    if (xExists != yExists) return false;
    if (xExists) return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
    // Neither is there yet: the same place once links and the folder are resolved.
    return PlaceOf(a) == PlaceOf(b);
}

namespace {

// Removes the files in folder named ".NAME.tniff-PID-XXXXXX" whose process PID no longer runs,
// for the one NAME of prefix (".NAME.tniff-"), or for every NAME when prefix is empty.
void RemoveDeadWritersFiles(const std::string& folder, const std::string& prefix) {
    const size_t markerSize = sizeof kWriterMarker - 1;
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) return;
    std::vector<std::string> leftovers;
    while (const struct dirent* entry = readdir(directory)) {
        // A folder of frames holds many other files: they cost a comparison or two, not a copy.
        const char* name = entry->d_name;
        const size_t size = std::strlen(name);
        // From the end: "-XXXXXX", then the process id, then the marker.
        if (size < 2 + markerSize + 1 + 7 || name[0] != '.' || name[size - 7] != '-') continue;
        size_t digits = size - 7;
        while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
        const size_t count = size - 7 - digits;
        if (count == 0 || count > 9 || digits < 2 + markerSize ||
            std::strncmp(name + digits - markerSize, kWriterMarker, markerSize) != 0)
            continue;
        if (!prefix.empty() &&
            (digits != prefix.size() || std::strncmp(name, prefix.c_str(), prefix.size()) != 0))
            continue;
        const pid_t writer = static_cast<pid_t>(std::stol(std::string(name + digits, count)));
        if (writer > 0 && kill(writer, 0) != 0 && errno == ESRCH) leftovers.push_back(name);
    }
    closedir(directory);
    for (const std::string& name : leftovers) unlink((folder + "/" + name).c_str());
}

}  // namespace

void RemoveLeftovers(const std::string& path) {
    RemoveDeadWritersFiles(FolderOf(path), "." + FileNameOf(path) + kWriterMarker);
}

void RemoveLeftoversBeside(const std::vector<std::string>& destinations) {
    std::set<std::string> folders;
    for (const std::string& destination : destinations) {
        try {
            folders.insert(FolderOf(RefuseEndlessLinks(destination)));
        } catch (const Error&) {
            // Nothing can be written there; its PendingOutput says so.
        }
    }
    for (const std::string& folder : folders) RemoveDeadWritersFiles(folder, "");
}

void TemporaryCopy::Make(const std::string& name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/.input.tniff-XXXXXX";
    std::vector<char> made(pattern.begin(), pattern.end());
    made.push_back('\0');
    fd_ = mkstemp(made.data());
    if (fd_ < 0) throw Error("cannot keep " + name + " in a file: " + std::strerror(errno));
    path_ = made.data();
}

void TemporaryCopy::Put(const uint8_t* bytes, size_t size, const std::string& name) {
    if (head_.size() < 16)
        head_.insert(head_.end(), bytes, bytes + std::min<size_t>(size, 16 - head_.size()));
    errno = ENOSPC;
    if (!WriteFully(fd_, bytes, size))
        throw Error("cannot keep " + name + " in a file: " + std::strerror(errno));
}

void TemporaryCopy::Fill(const std::function<void()>& put) {
    try {
        put();
    } catch (...) {
        close(fd_);
        unlink(path_.c_str());
        throw;
    }
    close(fd_);
    fd_ = -1;
}

TemporaryCopy::TemporaryCopy(int fd, const std::string& name) {
    Make(name);
    Fill([&] {
        std::vector<uint8_t> buffer(1 << 16);
        for (;;) {
            const uint32_t got =
                tniff::FileHandleRead(fd, buffer.data(), static_cast<uint32_t>(buffer.size()));
            if (got == tniff::kFileCallFailed)
                throw Error("cannot read " + name + ": " + std::strerror(errno));
            if (got == 0) break;
            Put(buffer.data(), got, name);
        }
    });
}

TemporaryCopy::TemporaryCopy(const uint8_t* bytes, size_t size, const std::string& name) {
    Make(name);
    Fill([&] { Put(bytes, size, name); });
}

TemporaryCopy::~TemporaryCopy() { unlink(path_.c_str()); }

}  // namespace tarniff
