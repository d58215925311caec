#include "module/shell/host_suites.h"

#include "module/shell/fallback_handle.h"

bool BufferSuiteUsable(const BufferProcs* procs, bool* tooNew) {
    if (procs == nullptr) return false;
    if (procs->bufferProcsVersion < kCurrentBufferProcsVersion) return false;
    if (procs->bufferProcsVersion > kCurrentBufferProcsVersion) {
        if (tooNew != nullptr) *tooNew = true;
        return false;
    }
    if (procs->numBufferProcs < kCurrentBufferProcsCount) return false;
    return procs->allocateProc != nullptr && procs->lockProc != nullptr &&
           procs->unlockProc != nullptr && procs->freeProc != nullptr &&
           procs->spaceProc != nullptr;
}

bool HandleSuiteUsable(const HandleProcs* procs, bool* tooNew) {
    if (procs == nullptr) return false;
    if (procs->handleProcsVersion < kCurrentHandleProcsVersion) return false;
    if (procs->handleProcsVersion > kCurrentHandleProcsVersion) {
        if (tooNew != nullptr) *tooNew = true;
        return false;
    }
    if (procs->numHandleProcs < kCurrentHandleProcsCount) return false;
    // Every routine the module calls is checked, lock and unlock too: the state record is locked
    // on every call, so a suite with either missing would be called through a null pointer.
    return procs->newProc != nullptr && procs->disposeProc != nullptr &&
           procs->getSizeProc != nullptr && procs->setSizeProc != nullptr &&
           procs->lockProc != nullptr && procs->unlockProc != nullptr;
}

OSErr BufferAllocate(const BufferProcs* procs, int32_t size, BufferID* bufferID) {
    *bufferID = nullptr;
    if (!BufferSuiteUsable(procs)) return memFullErr;
    return procs->allocateProc(size, bufferID);
}

Ptr BufferLock(const BufferProcs* procs, BufferID bufferID, bool moveHigh) {
    if (!BufferSuiteUsable(procs)) return nullptr;
    return procs->lockProc(bufferID, moveHigh ? 1 : 0);
}

void BufferUnlock(const BufferProcs* procs, BufferID bufferID) {
    if (BufferSuiteUsable(procs)) procs->unlockProc(bufferID);
}

void BufferFree(const BufferProcs* procs, BufferID bufferID) {
    if (BufferSuiteUsable(procs)) procs->freeProc(bufferID);
}

Handle HandleNew(const HandleProcs* procs, int32_t size) {
    if (HandleSuiteUsable(procs)) return procs->newProc(size);
    return FallbackNewHandle(size);
}

void HandleDispose(const HandleProcs* procs, Handle handle) {
    if (HandleSuiteUsable(procs)) {
        procs->disposeProc(handle);
    } else if (FallbackHandleHasTag(handle)) {
        FallbackDisposeHandle(handle);
    }
}

Ptr HandleLock(const HandleProcs* procs, Handle handle, bool moveHigh) {
    if (HandleSuiteUsable(procs)) return procs->lockProc(handle, moveHigh ? 1 : 0);
    if (!FallbackHandleHasTag(handle)) return nullptr;
    return *handle;
}

void HandleUnlock(const HandleProcs* procs, Handle handle) {
    // A fallback handle's block stays locked until the handle is released.
    if (HandleSuiteUsable(procs)) procs->unlockProc(handle);
}
