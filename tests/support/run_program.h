// Programs run as a user runs them, for the tests of the tniff command and of what other programs
// make of its files: a child process whose exit status, standard output and standard error are
// collected, with its standard input, limits and terminal as a test asks.
#ifndef TNIFF_TESTS_SUPPORT_RUN_PROGRAM_H
#define TNIFF_TESTS_SUPPORT_RUN_PROGRAM_H

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct Outcome {
    int status = -1;  // exit status; 128 + n for a program killed by signal n
    std::string out;
    std::string err;
    long peakKilobytes = 0;  // the largest the program's resident memory grew (not on a terminal)
};

struct RunSettings {
    rlim_t fileSizeLimit = RLIM_INFINITY;  // bytes a written file may reach; writes past it fail
    // Open files the program may have; it starts with nothing open but its standard streams.
    rlim_t openFiles = RLIM_INFINITY;
    bool terminalStderr = false;          // stderr on a pseudo-terminal
    unsigned short terminalColumns = 0;   // with terminalStderr: its width; 0 leaves it as made
    bool terminalStdout = false;          // stdout (not stderr) on a pseudo-terminal
    std::string interruptWhenSeen;        // with terminalStderr: SIGTERM once stderr shows this
    std::string stdinPath = "/dev/null";  // what the program reads on stdin
};

// Starts program with stderr and stdout written to the files given (created or emptied); gives
// its process id. The terminal settings are not looked at.
pid_t StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& errPath, const std::string& outPath = "/dev/null",
                   const RunSettings& settings = RunSettings());
// Waits for a started program: its exit status, 128 + n when signal n ended it.
int WaitForProgram(pid_t child, long* peakKilobytes = nullptr);

// Runs program to its end; stdout and stderr are collected (through a pseudo-terminal when
// asked).
Outcome RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const RunSettings& settings = RunSettings());

// The outcome for a failed assertion's message.
std::string Describe(const Outcome& outcome);

#if defined(TNIFF_TOOL_FILE)
// The built tniff.
inline Outcome Tniff(const std::vector<std::string>& arguments,
                     const RunSettings& settings = RunSettings()) {
    return RunProgram(TNIFF_TOOL_FILE, arguments, settings);
}
inline pid_t StartTniff(const std::vector<std::string>& arguments, const std::string& errPath,
                        const std::string& outPath = "/dev/null",
                        const RunSettings& settings = RunSettings()) {
    return StartProgram(TNIFF_TOOL_FILE, arguments, errPath, outPath, settings);
}
#endif

#endif
