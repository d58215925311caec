#include "host/host_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace tniff {

#if defined(_WIN32)

// The module's Windows platform layer transfers with _lread and _lwrite on an HFILE, so the host
// hands over the same kind of handle. One call moves less than 64 KiB.
uint32_t FileHandleRead(intptr_t file, void* destination, uint32_t count) {
    char* to = static_cast<char*>(destination);
    uint32_t delivered = 0;
    while (delivered < count) {
        uint32_t piece = count - delivered;
        if (piece > 0x8000u) piece = 0x8000u;
        UINT got = _lread(static_cast<HFILE>(file), to + delivered, piece);
        if (got == static_cast<UINT>(HFILE_ERROR)) return kFileCallFailed;
        if (got == 0) break;
        delivered += got;
    }
    return delivered;
}

uint32_t FileHandleWrite(intptr_t file, const void* source, uint32_t count) {
    const char* from = static_cast<const char*>(source);
    uint32_t written = 0;
    while (written < count) {
        uint32_t piece = count - written;
        if (piece > 0x8000u) piece = 0x8000u;
        UINT put = _lwrite(static_cast<HFILE>(file), from + written, piece);
        if (put == static_cast<UINT>(HFILE_ERROR)) return kFileCallFailed;
        if (put == 0) break;
        written += put;
    }
    return written;
}

uint32_t FileHandleSeek(intptr_t file, uint32_t offset) {
    LONG at = _llseek(static_cast<HFILE>(file), static_cast<LONG>(offset), FILE_BEGIN);
    if (at == HFILE_ERROR) return kFileCallFailed;
    return static_cast<uint32_t>(at);
}

bool HostFile::Open(const std::string& path, Mode mode) {
    Close();
    HFILE file = mode == Mode::read ? _lopen(path.c_str(), OF_READ) : _lcreat(path.c_str(), 0);
    if (file == HFILE_ERROR) return false;
    handle_ = static_cast<intptr_t>(file);
    return true;
}

void HostFile::Close() {
    if (handle_ == kNoFile) return;
    _lclose(static_cast<HFILE>(handle_));
    handle_ = kNoFile;
}

#else

uint32_t FileHandleRead(intptr_t file, void* destination, uint32_t count) {
    char* to = static_cast<char*>(destination);
    uint32_t delivered = 0;
    while (delivered < count) {
        uint32_t piece = count - delivered;
        if (piece > (1u << 30)) piece = 1u << 30;  // stays inside what read() can report
        ssize_t got = read(static_cast<int>(file), to + delivered, piece);
        if (got < 0) {
            if (errno == EINTR) continue;
            return kFileCallFailed;
        }
        if (got == 0) break;
        delivered += static_cast<uint32_t>(got);
    }
    return delivered;
}

uint32_t FileHandleWrite(intptr_t file, const void* source, uint32_t count) {
    const char* from = static_cast<const char*>(source);
    uint32_t written = 0;
    while (written < count) {
        uint32_t piece = count - written;
        if (piece > (1u << 30)) piece = 1u << 30;
        ssize_t put = write(static_cast<int>(file), from + written, piece);
        if (put < 0) {
            if (errno == EINTR) continue;
            return kFileCallFailed;
        }
        if (put == 0) break;
        written += static_cast<uint32_t>(put);
    }
    return written;
}

uint32_t FileHandleSeek(intptr_t file, uint32_t offset) {
    off_t at = lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET);
    if (at < 0) return kFileCallFailed;
    return static_cast<uint32_t>(at);
}

bool HostFile::Open(const std::string& path, Mode mode) {
    Close();
    int flags = mode == Mode::read ? O_RDONLY : (O_RDWR | O_CREAT | O_TRUNC);
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

void HostFile::Close() {
    if (handle_ == kNoFile) return;
    close(static_cast<int>(handle_));
    handle_ = kNoFile;
}

#endif

bool HostFile::Rewind() { return isOpen() && FileHandleSeek(handle_, 0) == 0; }

}  // namespace tniff
