// What every fuzz target shares: the entry point libFuzzer calls, a scratch file of the
// process's own for inputs that have to be files, a host setup that aborts on any violation of
// the interface, and a message-box sink that answers without printing.
#ifndef TNIFF_FUZZ_FUZZ_SUPPORT_H
#define TNIFF_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

// A path in the temporary directory that only this process uses (the name ends with suffix).
std::string ScratchPath(const std::string& suffix);
// Replaces the file at path with these bytes; aborts when it cannot.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);
std::vector<uint8_t> ReadFile(const std::string& path);

// Once per process: violations left unclaimed abort, and the module's message boxes and dialogs
// are answered with OK without a line on stderr.
void InstallQuietStrictHost();

// Aborts with the violations when the host has recorded any.
void RequireClean(const tniff::Host& host, const char* what);

// Prints what and aborts: a finding.
[[noreturn]] void Fail(const std::string& what);

// Reads the input front to back; past its end every value is 0.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t U16() { return uint32_t(Byte()) << 8 | Byte(); }
    const uint8_t* rest() const { return data_ + at_; }
    size_t restSize() const { return size_ - at_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzz

#endif
