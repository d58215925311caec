// Temporary files that writers which are gone left behind, made by real writers: a child process
// starts a PendingOutput or a TemporaryCopy and ends without removing it, as a process killed
// with SIGKILL or by a power cut does.
#ifndef TNIFF_TESTS_SUPPORT_LEFTOVER_MAKER_H
#define TNIFF_TESTS_SUPPORT_LEFTOVER_MAKER_H

#include <string>

enum class Writer {
    here,               // a process of this machine and PID namespace
    otherPidNamespace,  // a process in a PID namespace of its own: another container or node
};

// The path of the temporary file a writer that is gone left for destination ("" with *why set
// when such a writer cannot be made here, e.g. no new PID namespace for an unprivileged user).
std::string LeaveLeftover(const std::string& destination, Writer writer, std::string* why);

// The same for a copy of standard input, in $TMPDIR.
std::string LeaveInputCopy(Writer writer, std::string* why);

// Runs body in a child process in a PID namespace of its own, as a process id that no process of
// this namespace has; its exit status, or -1 with *why set when the kernel does not allow the
// namespace.
int RunInOtherPidNamespace(void (*body)(void* context), void* context, std::string* why);

#endif
