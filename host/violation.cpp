#include "host/violation.h"

namespace tniff {

const char* ViolationKindName(ViolationKind kind) {
    switch (kind) {
        case ViolationKind::leak: return "leak";
        case ViolationKind::doubleFree: return "double free";
        case ViolationKind::unknownId: return "unknown id";
        case ViolationKind::useAfterFree: return "use after free";
        case ViolationKind::freeLocked: return "freed while locked";
        case ViolationKind::unbalancedUnlock: return "unbalanced unlock";
        case ViolationKind::badRequest: return "bad request";
        case ViolationKind::undeclaredRoutine: return "undeclared routine";
        case ViolationKind::lockedAcrossCalls: return "locked across calls";
        case ViolationKind::badHandOver: return "bad hand-over";
        case ViolationKind::badProgress: return "bad progress";
        case ViolationKind::callbackOutsideCall: return "callback outside a call";
    }
    return "violation";
}

std::string DescribeViolations(const std::vector<Violation>& violations) {
    std::string text;
    for (const Violation& violation : violations) {
        text += ViolationKindName(violation.kind);
        text += ": ";
        text += violation.text;
        text += '\n';
    }
    return text;
}

}  // namespace tniff
