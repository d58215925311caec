#include "tests/support/run_program.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/support/temp_file.h"

namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// In the child: the limits asked for, then the program. Never returns.
[[noreturn]] void Exec(std::vector<char*>& argv, const RunSettings& settings) {
    if (settings.fileSizeLimit != RLIM_INFINITY) {
        struct rlimit limit = {settings.fileSizeLimit, settings.fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    }
    if (settings.openFiles != RLIM_INFINITY) {
        close_range(3, ~0u, 0);
        struct rlimit limit = {settings.openFiles, settings.openFiles};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    execvp(argv[0], argv.data());
    _exit(127);
}

int StatusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

pid_t StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& errPath, const std::string& outPath,
                   const RunSettings& settings) {
    std::vector<char*> argv = Argv(program, arguments);
    const pid_t child = fork();
    if (child == 0) {
        int in = open(settings.stdinPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(125);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        Exec(argv, settings);
    }
    return child;
}

int WaitForProgram(pid_t child, long* peakKilobytes) {
    int status = 0;
    struct rusage usage = {};
    wait4(child, &status, 0, &usage);
    if (peakKilobytes != nullptr) *peakKilobytes = usage.ru_maxrss;
    return StatusOf(status);
}

Outcome RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const RunSettings& settings) {
    Outcome outcome;
    ScratchDir capture;
    const std::string outPath = capture / "out", errPath = capture / "err";
    const bool onTerminal = settings.terminalStderr || settings.terminalStdout;
    if (!onTerminal) {
        outcome.status = WaitForProgram(
            StartProgram(program, arguments, errPath, outPath, settings), &outcome.peakKilobytes);
        outcome.out = ReadWhole(outPath);
        outcome.err = ReadWhole(errPath);
        return outcome;
    }

    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
        return outcome;
    }
    const std::string terminalName = ptsname(terminal);
    if (settings.terminalColumns != 0) {
        struct winsize size = {};
        size.ws_row = 24;
        size.ws_col = settings.terminalColumns;
        ioctl(terminal, TIOCSWINSZ, &size);
    }
    std::vector<char*> argv = Argv(program, arguments);
    pid_t child = fork();
    if (child == 0) {
        int out = settings.terminalStdout
                      ? open(terminalName.c_str(), O_RDWR)
                      : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = settings.terminalStderr
                      ? open(terminalName.c_str(), O_RDWR)
                      : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open(settings.stdinPath.c_str(), O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(125);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        Exec(argv, settings);
    }
    std::string& shown = settings.terminalStdout ? outcome.out : outcome.err;
    // Read the terminal while the child runs, so it never blocks on a full terminal.
    char buffer[4096];
    bool interrupted = false;
    for (;;) {
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got > 0) {
            shown.append(buffer, static_cast<size_t>(got));
            if (!settings.interruptWhenSeen.empty() && !interrupted &&
                shown.find(settings.interruptWhenSeen) != std::string::npos) {
                kill(child, SIGTERM);
                interrupted = true;
            }
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            outcome.status = StatusOf(status);
            break;
        }
        if (got <= 0) usleep(1000);  // EIO: nothing has the terminal open at the moment
    }
    close(terminal);
    if (settings.terminalStdout)
        outcome.err = ReadWhole(errPath);
    else
        outcome.out = ReadWhole(outPath);
    return outcome;
}

std::string Describe(const Outcome& outcome) {
    return "status " + std::to_string(outcome.status) + "\nstdout:\n" + outcome.out +
           "\nstderr:\n" + outcome.err;
}
