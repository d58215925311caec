// A buffer suite of the test's own, for tests that call the module's buffer-using operations
// directly: our host serves buffers only during a call of ENTRYPOINT. Each buffer is exactly its
// size (sanitizers see any access outside it) and starts filled with 0xCB, not zeros; locks and
// frees are counted, and the nth allocation can be refused. One suite at a time.
#ifndef TNIFF_TESTS_SUPPORT_TEST_BUFFER_SUITE_H
#define TNIFF_TESTS_SUPPORT_TEST_BUFFER_SUITE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "hostapi/plugin_interface.h"

struct TestBufferSuite {
    static TestBufferSuite* current;
    std::map<BufferID, std::vector<uint8_t>> live;
    std::map<BufferID, int> locks;
    int allocations = 0;
    int frees = 0;
    int failAt = 0;  // the allocation that gives memFullErr (1 is the first); 0 for none
    intptr_t nextId = 1;
    BufferProcs procs{kCurrentBufferProcsVersion, kCurrentBufferProcsCount, Allocate, Lock, Unlock,
                      Free, Space};

    TestBufferSuite() { current = this; }
    ~TestBufferSuite() { current = nullptr; }
    TestBufferSuite(const TestBufferSuite&) = delete;
    TestBufferSuite& operator=(const TestBufferSuite&) = delete;

    static OSErr Allocate(int32_t size, BufferID* id) {
        TestBufferSuite& self = *current;
        if (++self.allocations == self.failAt) return memFullErr;
        *id = reinterpret_cast<BufferID>(self.nextId++);
        self.live[*id] = std::vector<uint8_t>(static_cast<size_t>(size), 0xCB);
        return noErr;
    }
    static Ptr Lock(BufferID id, Boolean) {
        auto found = current->live.find(id);
        if (found == current->live.end()) return nullptr;
        ++current->locks[id];
        return reinterpret_cast<Ptr>(found->second.data());
    }
    static void Unlock(BufferID id) { --current->locks[id]; }
    static void Free(BufferID id) {
        ++current->frees;
        current->live.erase(id);
        current->locks.erase(id);
    }
    static int32_t Space() { return 1 << 30; }
};

#endif
