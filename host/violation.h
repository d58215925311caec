// What the host holds against a module: every breach of the interface's contract that the host
// notices while the module runs. Tests fail on any violation they did not provoke on purpose.
#ifndef TNIFF_HOST_VIOLATION_H
#define TNIFF_HOST_VIOLATION_H

#include <string>
#include <vector>

namespace tniff {

enum class ViolationKind {
    leak,                // a buffer outlived its call, or a handle was left behind
    doubleFree,          // a buffer freed, or a handle disposed of, a second time
    unknownId,           // a buffer id or handle the host never gave out
    useAfterFree,        // a freed buffer or disposed handle locked, unlocked or sized
    freeLocked,          // a handle disposed of while locked
    unbalancedUnlock,    // an unlock without a lock
    badRequest,          // a negative size asked for
    undeclaredRoutine,   // a routine of a suite whose version or routine count rules it out
    lockedAcrossCalls,   // the handle in the data word still locked when the call returned
    badHandOver,         // advanceState refused: no data, rectangle or planes outside the image
    badProgress,         // progressProc with done < 0 or done > total
    callbackOutsideCall, // a callback reached while no call into the module was running
};

struct Violation {
    ViolationKind kind;
    std::string text;
};

// A short fixed name for the kind ("leak", "double free", ...).
const char* ViolationKindName(ViolationKind kind);

// One line per violation: "kind: text".
std::string DescribeViolations(const std::vector<Violation>& violations);

}  // namespace tniff

#endif
