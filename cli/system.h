// What tniff asks the system about files, the machine and the terminal, each system's answers in
// a file of its own (system_posix.cpp, system_win32.cpp).
#ifndef TNIFF_CLI_SYSTEM_H
#define TNIFF_CLI_SYSTEM_H

#include <cstdint>
#include <string>
#include <vector>

namespace tniff_cli {

struct PathFacts {
    bool directory = false;
    int64_t modifiedSeconds = 0;  // the last change of its contents
    int64_t modifiedNanoseconds = 0;
    // Which file it is: two paths with the same pair are the same file.
    uint64_t device = 0;
    uint64_t file = 0;
};

// The facts of the file at path (a link followed); false with errno set (ENOENT: not there) when
// it cannot be looked at. The file's identity only when identity is asked for (on Windows it
// costs an open).
bool LookAt(const std::string& path, PathFacts* facts, bool identity = false);
// Makes one folder; false with errno set (EEXIST: something is there).
bool MakeFolder(const std::string& path);
// The path with every link and ".." resolved; the path itself when that cannot be done.
std::string RealPath(const std::string& path);
// The processor cores this process may run on: at least 1.
int UsableCores();
// The program's arguments after its name, in UTF-8 (on Windows taken as the system gives them, in
// UTF-16, and the console set to show UTF-8).
std::vector<std::string> ProgramArguments(int argc, char** argv);
// Standard input as the host's file calls read it (TemporaryCopy): its descriptor, or on Windows
// its handle.
int StandardInput();
// The width of the terminal on stderr; 0 when stderr is no terminal or its width is unknown.
int StderrColumns();

}  // namespace tniff_cli

#endif
