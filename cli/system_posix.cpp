#include "cli/system.h"

#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>

namespace tniff_cli {

bool LookAt(const std::string& path, PathFacts* facts, bool) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return false;
    facts->directory = S_ISDIR(status.st_mode);
    facts->modifiedSeconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    facts->modifiedNanoseconds = static_cast<int64_t>(status.st_mtim.tv_nsec);
    facts->device = static_cast<uint64_t>(status.st_dev);
    facts->file = static_cast<uint64_t>(status.st_ino);
    return true;
}

bool MakeFolder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

std::string RealPath(const std::string& path) {
    std::string real = path;
    if (char* resolved = realpath(path.c_str(), nullptr)) {
        real = resolved;
        std::free(resolved);
    }
    return real;
}

int UsableCores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

int StandardInput() { return STDIN_FILENO; }

int StderrColumns() {
    struct winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 0;
}

}  // namespace tniff_cli
