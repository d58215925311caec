#include "host/tracked_memory.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

namespace tniff {

namespace {

// Ids live in the top half of the address space: kernel space on 32-bit Windows, non-canonical
// on x86-64, so a module that dereferences one faults at once. Steps of 16 keep them distinct
// from one another in every bit a careless truncation to 32 bits would keep.
uintptr_t BufferIdValue(int64_t serial) {
    const uintptr_t base = static_cast<uintptr_t>(1) << (sizeof(uintptr_t) * 8 - 1);
    return base + static_cast<uintptr_t>(serial) * 16u;
}

std::string BufferName(int64_t serial, int32_t size) {
    return "buffer #" + std::to_string(serial) + " (" + std::to_string(size) + " bytes)";
}

std::string HandleName(int64_t serial, int32_t size) {
    return "handle #" + std::to_string(serial) + " (" + std::to_string(size) + " bytes)";
}

std::unique_ptr<char[]> FreshBlock(int32_t size) {
    size_t length = size > 0 ? static_cast<size_t>(size) : 1;  // a distinct address even for 0 bytes
    std::unique_ptr<char[]> block(new char[length]);
    std::memset(block.get(), TrackedMemory::kFreshByte, length);
    return block;
}

}  // namespace

void TrackedMemory::Report(ViolationKind kind, const std::string& text) {
    violations_->push_back(Violation{kind, text});
}

// ---- buffers ------------------------------------------------------------------------------------

OSErr TrackedMemory::AllocateBuffer(int32_t size, BufferID* id) {
    *id = nullptr;
    if (size < 0 || size > maxBufferBytes) return memFullErr;
    int64_t serial = nextBuffer_++;
    BufferRecord& record = buffers_[BufferIdValue(serial)];
    record.serial = serial;
    record.size = size;
    record.bytes = FreshBlock(size);
    liveByAddress_[reinterpret_cast<uintptr_t>(record.bytes.get())] = &record;
    liveBufferBytes_ += size;
    peakBufferBytes_ = std::max(peakBufferBytes_, liveBufferBytes_);
    *id = reinterpret_cast<BufferID>(BufferIdValue(serial));
    return noErr;
}

TrackedMemory::BufferRecord* TrackedMemory::FindBuffer(BufferID id, const char* operation) {
    auto found = buffers_.find(reinterpret_cast<uintptr_t>(id));
    if (found == buffers_.end()) {
        Report(ViolationKind::unknownId, std::string(operation) + " of buffer id " +
                                             std::to_string(reinterpret_cast<uintptr_t>(id)) +
                                             ", which the host never gave out");
        return nullptr;
    }
    BufferRecord& record = found->second;
    if (record.freed) {
        Report(std::strcmp(operation, "free") == 0 ? ViolationKind::doubleFree : ViolationKind::useAfterFree,
               std::string(operation) + " of " + BufferName(record.serial, record.size) + ", already freed");
        return nullptr;
    }
    return &record;
}

Ptr TrackedMemory::LockBuffer(BufferID id) {
    BufferRecord* record = FindBuffer(id, "lock");
    if (record == nullptr) return nullptr;
    ++record->locks;
    return record->bytes.get();
}

void TrackedMemory::UnlockBuffer(BufferID id) {
    BufferRecord* record = FindBuffer(id, "unlock");
    if (record == nullptr) return;
    if (record->locks == 0) {
        Report(ViolationKind::unbalancedUnlock, "unlock of " + BufferName(record->serial, record->size) +
                                                    ", which is not locked");
        return;
    }
    --record->locks;
}

void TrackedMemory::FreeBuffer(BufferID id) {
    BufferRecord* record = FindBuffer(id, "free");
    if (record == nullptr) return;
    record->freed = true;
    record->locks = 0;
    liveByAddress_.erase(reinterpret_cast<uintptr_t>(record->bytes.get()));
    record->bytes.reset();
    liveBufferBytes_ -= record->size;
}

// ---- handles ------------------------------------------------------------------------------------

Handle TrackedMemory::NewHandle(int32_t size, bool hostOwned) {
    if (size < 0) return nullptr;
    std::unique_ptr<char*> master(new char*(nullptr));
    Handle handle = master.get();
    HandleRecord& record = handles_[handle];
    record.serial = nextHandle_++;
    record.size = size;
    record.hostOwned = hostOwned;
    record.block = FreshBlock(size);
    *master = record.block.get();
    record.master = std::move(master);
    return handle;
}

TrackedMemory::HandleRecord* TrackedMemory::FindHandle(Handle handle, const char* operation) {
    auto found = handles_.find(handle);
    if (found == handles_.end()) {
        Report(ViolationKind::unknownId, std::string(operation) + " of handle " +
                                             std::to_string(reinterpret_cast<uintptr_t>(handle)) +
                                             ", which the host never gave out");
        return nullptr;
    }
    HandleRecord& record = found->second;
    if (record.disposed) {
        Report(std::strcmp(operation, "dispose") == 0 ? ViolationKind::doubleFree : ViolationKind::useAfterFree,
               std::string(operation) + " of " + HandleName(record.serial, record.size) + ", already disposed of");
        return nullptr;
    }
    return &record;
}

void TrackedMemory::DisposeHandle(Handle handle) {
    HandleRecord* record = FindHandle(handle, "dispose");
    if (record == nullptr) return;
    if (record->locks > 0) {
        // Disposed of all the same, as a host would: the module may not count on the block.
        Report(ViolationKind::freeLocked, "dispose of " + HandleName(record->serial, record->size) +
                                              " while it is locked");
    }
    record->disposed = true;
    record->locks = 0;
    record->block.reset();
    *record->master = nullptr;
}

int32_t TrackedMemory::HandleSize(Handle handle) {
    HandleRecord* record = FindHandle(handle, "size");
    return record != nullptr ? record->size : -1;
}

OSErr TrackedMemory::SetHandleSize(Handle handle, int32_t size) {
    HandleRecord* record = FindHandle(handle, "resize");
    if (record == nullptr) return formatBadParameters;
    if (size < 0) return memFullErr;
    const OSErr memLockedErr = -117;  // a locked block cannot move
    if (record->locks > 0) return memLockedErr;
    std::unique_ptr<char[]> block = FreshBlock(size);
    std::memcpy(block.get(), record->block.get(), static_cast<size_t>(size < record->size ? size : record->size));
    record->block = std::move(block);
    record->size = size;
    *record->master = record->block.get();
    return noErr;
}

Ptr TrackedMemory::LockHandle(Handle handle) {
    HandleRecord* record = FindHandle(handle, "lock");
    if (record == nullptr) return nullptr;
    ++record->locks;
    return *record->master;
}

void TrackedMemory::UnlockHandle(Handle handle) {
    HandleRecord* record = FindHandle(handle, "unlock");
    if (record == nullptr) return;
    if (record->locks == 0) {
        Report(ViolationKind::unbalancedUnlock, "unlock of " + HandleName(record->serial, record->size) +
                                                    ", which is not locked");
        return;
    }
    --record->locks;
}

// ---- checks -------------------------------------------------------------------------------------

bool TrackedMemory::InLockedBuffer(const void* start, uint64_t length) const {
    uintptr_t first = reinterpret_cast<uintptr_t>(start);
    auto after = liveByAddress_.upper_bound(first);
    if (after == liveByAddress_.begin()) return false;
    const BufferRecord& record = *std::prev(after)->second;
    if (record.locks == 0) return false;
    uint64_t offset = first - std::prev(after)->first;
    uint64_t size = static_cast<uint64_t>(record.size);
    return offset <= size && length <= size - offset;
}

bool TrackedMemory::HandleDisposed(Handle handle) const {
    auto found = handles_.find(handle);
    return found != handles_.end() && found->second.disposed;
}

bool TrackedMemory::HandleLocked(Handle handle) const {
    auto found = handles_.find(handle);
    return found != handles_.end() && !found->second.disposed && found->second.locks > 0;
}

int TrackedMemory::LiveBuffers() const {
    int count = 0;
    for (const auto& entry : buffers_) count += entry.second.freed ? 0 : 1;
    return count;
}

int TrackedMemory::LiveHandles() const {
    int count = 0;
    for (const auto& entry : handles_) count += entry.second.disposed ? 0 : 1;
    return count;
}

void TrackedMemory::ReportLeaks(Handle keep) {
    for (auto& entry : buffers_) {
        BufferRecord& record = entry.second;
        if (record.freed || record.leakReported) continue;
        record.leakReported = true;
        Report(ViolationKind::leak, BufferName(record.serial, record.size) + " still allocated when the call returned");
    }
    for (auto& entry : handles_) {
        HandleRecord& record = entry.second;
        if (record.disposed || record.hostOwned || record.leakReported || entry.first == keep) continue;
        record.leakReported = true;
        Report(ViolationKind::leak, HandleName(record.serial, record.size) +
                                        " left behind: neither disposed of nor kept in the data word");
    }
}

}  // namespace tniff
