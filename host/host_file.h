// The host's open file, as the module's platform layer sees it: a POSIX file descriptor here, a
// file handle of the _lread family on Windows. The only host file besides the module loader that
// talks to the operating system.
#ifndef TNIFF_HOST_HOST_FILE_H
#define TNIFF_HOST_HOST_FILE_H

#include <cstdint>
#include <string>

namespace tniff {

// The answer of a transfer or seek that failed.
const uint32_t kFileCallFailed = 0xFFFFFFFFu;

// Plain transfers on a platform file handle. Read gives the bytes delivered (fewer only at the
// end of the file), write the bytes written, seek the new offset from the start of the file; each
// gives kFileCallFailed when the call fails.
uint32_t FileHandleRead(intptr_t file, void* destination, uint32_t count);
uint32_t FileHandleWrite(intptr_t file, const void* source, uint32_t count);
uint32_t FileHandleSeek(intptr_t file, uint32_t offset);

// One open file, closed when the object goes.
class HostFile {
public:
    enum class Mode {
        read,   // an existing file, read only
        write,  // created, or truncated to nothing, for reading and writing
    };

    static constexpr intptr_t kNoFile = -1;

    HostFile() = default;
    ~HostFile() { Close(); }
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;

    // Opens path at offset 0, closing whatever was open; false when it cannot be opened.
    bool Open(const std::string& path, Mode mode);
    void Close();
    bool isOpen() const { return handle_ != kNoFile; }
    // The platform handle for dataFork; kNoFile when nothing is open.
    intptr_t handle() const { return handle_; }
    // Moves to offset 0; false when nothing is open or the seek fails.
    bool Rewind();

private:
    intptr_t handle_ = kNoFile;
};

}  // namespace tniff

#endif
