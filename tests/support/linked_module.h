// For tests that link the module in: its file calls go through a Host's file hooks, so that the
// host counts every read and write and its read and write faults reach the module.
#ifndef TNIFF_TESTS_SUPPORT_LINKED_MODULE_H
#define TNIFF_TESTS_SUPPORT_LINKED_MODULE_H

#include "host/host.h"
#include "module/shell/entry_point.h"

// Installs the host's file calls in the module's platform layer while it lives; its end restores
// the plain POSIX calls. One at a time: the platform layer holds one set of calls.
class LinkedFileCalls {
public:
    explicit LinkedFileCalls(tniff::Host& host);
    ~LinkedFileCalls();
    LinkedFileCalls(const LinkedFileCalls&) = delete;
    LinkedFileCalls& operator=(const LinkedFileCalls&) = delete;
};

// A Host on the linked-in ENTRYPOINT with its file calls installed: the usual way a test drives
// the module.
//     LinkedHost host;
//     EXPECT_EQ(host.Open(path), noErr);
class LinkedHost : public tniff::Host {
public:
    explicit LinkedHost(const tniff::HostSetup& setup = tniff::HostSetup()) : tniff::Host(&ENTRYPOINT, setup) {}

private:
    LinkedFileCalls files_{*this};
};

#endif
