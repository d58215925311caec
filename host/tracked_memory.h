// The memory behind the host's buffer and handle suites. Every buffer and handle handed out is
// tracked for its whole life (size, lock count, freed or not), so that misuse by the module
// becomes a violation instead of a crash or a silent corruption.
#ifndef TNIFF_HOST_TRACKED_MEMORY_H
#define TNIFF_HOST_TRACKED_MEMORY_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "host/violation.h"
#include "hostapi/plugin_interface.h"

namespace tniff {

class TrackedMemory {
public:
    // Fresh buffers and handles are filled with this byte rather than zeros, as a real host's
    // memory is not cleared either: a module that relies on zeros shows it.
    static constexpr uint8_t kFreshByte = 0xCB;

    // Violations are appended to *violations, which must outlive this object.
    explicit TrackedMemory(std::vector<Violation>* violations) : violations_(violations) {}
    TrackedMemory(const TrackedMemory&) = delete;
    TrackedMemory& operator=(const TrackedMemory&) = delete;

    // ---- buffers: ids point nowhere (dereferencing one faults) and are never reused

    // Gives 0 and a new id, or memFullErr and a null id when size is negative or above
    // maxBufferBytes.
    OSErr AllocateBuffer(int32_t size, BufferID* id);
    // The buffer's bytes, counting one more lock; null for an id that is unknown or freed.
    Ptr LockBuffer(BufferID id);
    void UnlockBuffer(BufferID id);
    // Freeing a locked buffer is allowed; the bytes are released at once.
    void FreeBuffer(BufferID id);

    // ---- handles: real master pointers to blocks; a disposed handle keeps its master pointer
    // (set to null) until this object goes, so a handle value is never given out twice

    // A new handle, or null when size is negative. hostOwned marks a handle the host made for
    // itself (not a leak of the module's when it is still there).
    Handle NewHandle(int32_t size, bool hostOwned = false);
    void DisposeHandle(Handle handle);  // disposing of a locked handle is a violation
    int32_t HandleSize(Handle handle);  // -1 for a handle that is unknown or disposed
    OSErr SetHandleSize(Handle handle, int32_t size);
    Ptr LockHandle(Handle handle);
    void UnlockHandle(Handle handle);

    // ---- what the host checks

    // True when the bytes [start, start + length) lie inside one live, locked buffer.
    bool InLockedBuffer(const void* start, uint64_t length) const;
    bool IsHandle(Handle handle) const { return handles_.count(handle) != 0; }
    bool HandleDisposed(Handle handle) const;  // false for a handle the host never made
    bool HandleLocked(Handle handle) const;
    int LiveBuffers() const;
    int LiveHandles() const;
    // Records a leak, once each, for every live buffer and every live handle of the module's
    // other than keep (the handle the data word holds).
    void ReportLeaks(Handle keep);

    int32_t maxBufferBytes = 256 * 1024 * 1024;

    // The most bytes of buffers live at once since the last reset (what a module holds besides
    // the image).
    int64_t PeakBufferBytes() const { return peakBufferBytes_; }
    void ResetPeakBufferBytes() { peakBufferBytes_ = liveBufferBytes_; }

private:
    struct BufferRecord {
        int64_t serial;
        int32_t size;
        int locks = 0;
        bool freed = false;
        bool leakReported = false;
        std::unique_ptr<char[]> bytes;
    };
    struct HandleRecord {
        int64_t serial;
        int32_t size;
        int locks = 0;
        bool disposed = false;
        bool hostOwned = false;
        bool leakReported = false;
        std::unique_ptr<char*> master;
        std::unique_ptr<char[]> block;
    };

    BufferRecord* FindBuffer(BufferID id, const char* operation);
    HandleRecord* FindHandle(Handle handle, const char* operation);
    void Report(ViolationKind kind, const std::string& text);

    std::vector<Violation>* violations_;
    std::map<uintptr_t, BufferRecord> buffers_;
    // The live buffers by the address of their bytes: they never overlap, so a block can only
    // lie in the one that starts last at or before it.
    std::map<uintptr_t, const BufferRecord*> liveByAddress_;
    std::map<Handle, HandleRecord> handles_;
    int64_t nextBuffer_ = 1;
    int64_t liveBufferBytes_ = 0;
    int64_t peakBufferBytes_ = 0;
    int64_t nextHandle_ = 1;
};

}  // namespace tniff

#endif
