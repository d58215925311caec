#include "cli/pending_output.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli/tool_error.h"

namespace tniff_cli {

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

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
        current = next[0] == '/' ? next : DirectoryOf(current) + "/" + next;
    }
}

std::string RefuseEndlessLinks(const std::string& path) {
    if (IsStandardStream(path)) return path;
    bool endless = false;
    const std::string target = FollowLinks(path, &endless);
    if (endless) {
        throw ToolError(path +
                        ": cannot write: its symbolic links never end (a loop, or more "
                        "than 40 in a row)");
    }
    return target;
}

namespace {
// Copies the temporary file to standard output.
void CopyToStdout(const std::string& temporary) {
    int fd = open(temporary.c_str(), O_RDONLY);
    if (fd < 0) throw ToolError(std::string("cannot read the written output: ") + std::strerror(errno));
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int error = errno;
            close(fd);
            throw ToolError(std::string("cannot read the written output: ") + std::strerror(error));
        }
        if (got == 0) break;
        for (ssize_t put = 0; put < got;) {
            ssize_t now = write(STDOUT_FILENO, buffer.data() + put, static_cast<size_t>(got - put));
            if (now < 0 && errno == EINTR) continue;
            if (now <= 0) {
                int error = now < 0 ? errno : EIO;
                close(fd);
                throw ToolError(std::string("cannot write to standard output: ") + std::strerror(error));
            }
            put += now;
        }
    }
    close(fd);
}
}  // namespace

bool IsStandardStream(const std::string& path) { return path == "-"; }

PendingOutput::PendingOutput(const std::string& destination)
    : destination_(RefuseEndlessLinks(destination)), toStdout_(IsStandardStream(destination)) {
    // Only the rename at the very end would find out, after all the work.
    struct stat target;
    if (!toStdout_ && stat(destination_.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
        throw ToolError(destination + ": cannot write: it is a directory");
    }
    // From the file's creation until it is in the table, a signal waits: it would otherwise
    // end the run with the file left behind.
    SignalsBlocked blocked;
    const char* tmp = std::getenv("TMPDIR");
    std::string directory = toStdout_ ? (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") : DirectoryOf(destination_);
    // Hidden, and named for the file it will become, so that a leftover after a crash explains itself.
    std::string pattern = directory + "/." + (toStdout_ ? std::string("stdout") : NameOf(destination_)) + ".tniff-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        throw ToolError(destination + ": cannot create a file in " + directory + ": " + std::strerror(errno));
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
        throw ToolError(destination + ": cannot prepare a file in " + directory + ": " + std::strerror(error));
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
        throw ToolError(destination_ + ": cannot flush the written file: " + std::strerror(error));
    }
    close(fd);
    if (std::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        throw ToolError(destination_ + ": cannot replace it with the written file: " + std::strerror(errno));
    }
    committed_ = true;
    Untrack(temporary_.c_str());
}

}  // namespace tniff_cli
