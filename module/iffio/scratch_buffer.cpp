#include "module/iffio/scratch_buffer.h"

#include <cstring>

#include "module/iffio/byte_stream.h"
#include "module/shell/error_report.h"
#include "module/shell/host_suites.h"
#include "module/shell/plugin_globals.h"

Ptr AllocateLockedBuffer(PluginGlobals* globals, uint32_t size, BufferID* id) {
    const BufferProcs* procs = globals->formatRecord->bufferProcs;
    if (size > kLargestHostBuffer) {
        *id = nullptr;
        PostError(globals->resultWord, formatCannotRead);
        return nullptr;
    }
    if (!PostError(globals->resultWord, BufferAllocate(procs, static_cast<int32_t>(size), id))) {
        *id = nullptr;
        return nullptr;
    }
    Ptr address = BufferLock(procs, *id, false);
    if (address == nullptr) {
        BufferFree(procs, *id);
        *id = nullptr;
        PostError(globals->resultWord, memFullErr);
    }
    return address;
}

void GrowScratch(PluginGlobals* globals, uint32_t size) {
    if (size <= globals->scratchSize) return;
    // The old buffer goes before the new one is asked for, so the two never coexist.
    FreeScratch(globals);
    if (*globals->resultWord != noErr) return;
    BufferID id = nullptr;
    Ptr address = AllocateLockedBuffer(globals, size, &id);
    if (address == nullptr) return;
    globals->scratchId = id;
    globals->scratchPtr = reinterpret_cast<uint8_t*>(address);
    globals->scratchSize = size;
}

void FreeScratch(PluginGlobals* globals) {
    if (globals->scratchId == nullptr) return;
    BufferFree(globals->formatRecord->bufferProcs, globals->scratchId);
    globals->scratchId = nullptr;
    globals->scratchPtr = nullptr;
    globals->scratchSize = 0;
}

BufferID ReadPayloadToBuffer(PluginGlobals* globals, uint32_t n) {
    BufferID id = nullptr;
    Ptr address = AllocateLockedBuffer(globals, n, &id);
    if (address == nullptr) return nullptr;
    uint32_t count = n;
    ReadBytes(globals, &count, address);
    // A short read leaves eofErr standing; the bytes it did not deliver are zero, not stale.
    if (count < n) memset(address + count, 0, n - count);
    BufferUnlock(globals->formatRecord->bufferProcs, id);
    return id;
}
