#include "cli/pending_output.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
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

PendingOutput::PendingOutput(const std::string& destination) : destination_(destination) {
    std::string directory = DirectoryOf(destination);
    // Hidden, and named for the file it will become, so that a leftover after a crash explains itself.
    std::string pattern = directory + "/." + NameOf(destination) + ".tniff-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        throw ToolError(destination + ": cannot create a file in " + directory + ": " + std::strerror(errno));
    }
    // mkstemp makes the file private; the result should have the permissions of any new file.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) {
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
