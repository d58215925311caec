// Every Host made in a test hands the violations nobody claimed to a sink that fails the running
// test, so a leak or a bad hand-over fails a test that asserts nothing about them. A test that
// provokes violations on purpose claims them with Host::TakeViolations.
#ifndef TNIFF_TESTS_SUPPORT_HOST_CHECKS_H
#define TNIFF_TESTS_SUPPORT_HOST_CHECKS_H

#include <gtest/gtest.h>

#include <vector>

#include "host/host.h"

// The sink the test program installs at start: each problem becomes a failure of the running test.
void FailTestOnProblems(const std::vector<tniff::Violation>& problems);

// Success when the host has recorded no violation so far and holds no buffer.
::testing::AssertionResult HostIsClean(const tniff::Host& host);

// How many of the violations are of that kind.
int CountViolations(const std::vector<tniff::Violation>& violations, tniff::ViolationKind kind);

#endif
