#include "tests/support/host_checks.h"

void FailTestOnProblems(const std::vector<tniff::Violation>& problems) {
    ADD_FAILURE() << "the host recorded violations nobody claimed:\n" << tniff::DescribeViolations(problems);
}

namespace {
// Installed before main runs, so that no Host of any test goes unchecked.
const bool kSinkInstalled = (tniff::Host::SetProblemSink(&FailTestOnProblems), true);
}  // namespace

::testing::AssertionResult HostIsClean(const tniff::Host& host) {
    (void)kSinkInstalled;
    if (host.violations().empty() && host.memory().LiveBuffers() == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << host.memory().LiveBuffers()
                                         << " buffers held; violations:\n"
                                         << tniff::DescribeViolations(host.violations());
}

int CountViolations(const std::vector<tniff::Violation>& violations, tniff::ViolationKind kind) {
    int count = 0;
    for (const tniff::Violation& violation : violations) count += violation.kind == kind ? 1 : 0;
    return count;
}
