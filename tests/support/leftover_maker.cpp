#include "tests/support/leftover_maker.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "tarniff/tarniff.h"

namespace {

const int kNoNamespace = 77;

std::set<std::string> NamesIn(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* directory = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(directory)) names.insert(entry->d_name);
        closedir(directory);
    }
    return names;
}

std::string FolderOf(const std::string& path) {
    const std::string folder = tarniff::DirectoryOf(path);
    return folder.empty() ? "." : folder;
}

struct Leave {
    std::string destination;  // "" for a copy of standard input
};

// Starts the write and ends this process at once: no destructor removes the file.
void StartAndVanish(void* context) {
    const Leave& leave = *static_cast<const Leave*>(context);
    try {
        if (leave.destination.empty()) {
            // Standard input is what is kept in a file (bytes in memory stay in memory).
            int ends[2];
            if (pipe(ends) != 0 || write(ends[1], "FOR4", 4) != 4) _exit(1);
            close(ends[1]);
            new tarniff::TemporaryCopy(ends[0], "standard input");
        } else {
            new tarniff::PendingOutput(leave.destination);
        }
    } catch (...) {
        _exit(1);
    }
    _exit(0);
}

int RunHere(void (*body)(void*), void* context) {
    pid_t child = fork();
    if (child == 0) body(context);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Left(const std::string& folder, const std::set<std::string>& before,
                 const std::string& marker) {
    for (const std::string& name : NamesIn(folder)) {
        if (before.count(name) == 0 && name.find(marker) != std::string::npos) {
            return (folder.back() == '/' ? folder : folder + "/") + name;
        }
    }
    return "";
}

std::string LeaveFor(const std::string& destination, const std::string& folder, Writer writer,
                     std::string* why) {
    const std::set<std::string> before = NamesIn(folder);
    Leave leave{destination};
    const int status = writer == Writer::here
                           ? RunHere(&StartAndVanish, &leave)
                           : RunInOtherPidNamespace(&StartAndVanish, &leave, why);
    if (status != 0) {
        if (status != -1) *why = "the writer ended with status " + std::to_string(status);
        return "";
    }
    return Left(folder, before, ".tniff-");
}

}  // namespace

int RunInOtherPidNamespace(void (*body)(void*), void* context, std::string* why) {
    // A process id that no process here has, for the body to run as there: a remover that took
    // the other namespace's ids for its own would then find its writer gone.
    pid_t wanted = 300;
    while (kill(wanted, 0) == 0 || errno != ESRCH) ++wanted;
    int report[2];
    if (pipe(report) != 0) {
        *why = std::string("no pipe: ") + std::strerror(errno);
        return -1;
    }
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        // The namespace is for this process's children: the first of them is its pid 1.
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 && unshare(CLONE_NEWPID) != 0) {
            const int error = errno;
            if (write(report[1], &error, sizeof error) < 0) _exit(kNoNamespace);
            _exit(kNoNamespace);
        }
        close(report[1]);
        pid_t init = fork();
        if (init == 0) {
            // Its own /proc, as `unshare --pid --fork --mount-proc` gives: what reads its own
            // process there (LeakSanitizer) finds it. Where no mount may be made, the one of
            // this namespace stays, which the code under test does not need.
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
                mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
            }
            // Ids there are handed out in turn: short-lived children use them up to the one wanted.
            for (;;) {
                pid_t next = fork();
                if (next == 0) {
                    if (getpid() >= wanted) body(context);
                    _exit(0);
                }
                if (next < 0) _exit(kNoNamespace);
                int status = 0;
                waitpid(next, &status, 0);
                if (next >= wanted)
                    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    close(report[1]);
    int error = 0;
    const bool refused = read(report[0], &error, sizeof error) == sizeof error;
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (refused) {
        *why = std::string("the kernel gives no new PID namespace here: ") + std::strerror(error);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string LeaveLeftover(const std::string& destination, Writer writer, std::string* why) {
    return LeaveFor(destination, FolderOf(destination), writer, why);
}

std::string LeaveInputCopy(Writer writer, std::string* why) {
    const char* tmp = std::getenv("TMPDIR");
    return LeaveFor("", tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", writer, why);
}
