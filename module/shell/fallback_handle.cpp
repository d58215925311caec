#include "module/shell/fallback_handle.h"

#include "module/platform/platform.h"

namespace {
// The tag as it lies in memory: the value 0x464F544F stored little-endian.
const char kFallbackTag[4] = {'O', 'T', 'O', 'F'};

struct FallbackMaster {
    char* dataBlock;
    char tag[4];
};

// Allocates a movable, zero-filled block and locks it; null when either step fails (nothing kept).
void* NewLockedBlock(uint32_t size) {
    PlatformMemory memory = PlatformGlobalAlloc(size);
    if (memory == nullptr) return nullptr;
    void* address = PlatformGlobalLock(memory);
    if (address == nullptr) PlatformGlobalFree(memory);
    return address;
}

void ReleaseLockedBlock(void* address) {
    PlatformMemory memory = PlatformGlobalHandle(address);
    if (memory == nullptr) return;
    PlatformGlobalUnlock(memory);
    PlatformGlobalFree(memory);
}
}  // namespace

Handle FallbackNewHandle(int32_t size) {
    if (size < 0) return nullptr;
    FallbackMaster* master = static_cast<FallbackMaster*>(NewLockedBlock(sizeof(FallbackMaster)));
    if (master == nullptr) return nullptr;
    master->dataBlock = static_cast<char*>(NewLockedBlock(static_cast<uint32_t>(size)));
    if (master->dataBlock == nullptr) {
        ReleaseLockedBlock(master);
        return nullptr;
    }
    for (int i = 0; i < 4; ++i) master->tag[i] = kFallbackTag[i];
    return reinterpret_cast<Handle>(master);
}

void FallbackDisposeHandle(Handle handle) {
    if (handle == nullptr) return;
    FallbackMaster* master = reinterpret_cast<FallbackMaster*>(handle);
    if (master->dataBlock != nullptr) ReleaseLockedBlock(master->dataBlock);
    ReleaseLockedBlock(master);
}

bool FallbackHandleHasTag(Handle handle) {
    // Only an address that is the start of one of our global blocks is read: a handle the host
    // made is recognised as foreign without touching its memory.
    if (handle == nullptr || PlatformGlobalHandle(handle) == nullptr) return false;
    const FallbackMaster* master = reinterpret_cast<const FallbackMaster*>(handle);
    for (int i = 0; i < 4; ++i) {
        if (master->tag[i] != kFallbackTag[i]) return false;
    }
    return true;
}
