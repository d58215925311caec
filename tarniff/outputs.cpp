// Outputs written whole or not at all, where writing a path ends up, bytes kept in a file, and
// the temporary files of both: named for the machine and process that write them, locked while
// they are alive, and removed only when they are provably left over. This part is the same on
// every system; outputs_posix.cpp and outputs_win32.cpp make, lock, replace and remove the files.
#include "tarniff/tarniff.h"

#include <dirent.h>
#include <sys/types.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <set>
#include <vector>

#include "host/host_file.h"
#include "tarniff/outputs_parts.h"

namespace tarniff {
namespace outputs {

PendingSlot gPending[kMostPending];

// ---- The stop's table ---------------------------------------------------------------------------

int Track(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kMostPending; ++i) {
        int free = 0;
        if (gPending[i].state.compare_exchange_strong(free, 1)) {
            std::memcpy(gPending[i].path, path.c_str(), path.size() + 1);
            gPending[i].state.store(2);
            return i;
        }
    }
    return -1;
}

void Untrack(int slot) {
    if (slot >= 0) gPending[slot].state.store(0);
}

// ---- Temporary names --------------------------------------------------------------------------

const char kWriterMarker[] = ".tniff-";
const size_t kMarkerSize = sizeof kWriterMarker - 1;
const size_t kSuffixSize = 6;
const size_t kLongestPid = 10;
// The longest file name the systems we run on take (NAME_MAX): a long NAME is cut to fit, the
// marker and what follows it never.
const size_t kLongestFileName = 255;

std::string TemporaryPrefix(const std::string& fileName) {
    const size_t room =
        kLongestFileName - (1 + kMarkerSize + kTagDigits + 1 + kLongestPid + 1 + kSuffixSize);
    return "." + fileName.substr(0, room) + kWriterMarker;
}

bool IsTagDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool IsSuffixCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool ParseWriterName(const char* name, WriterName* parsed) {
    const size_t size = std::strlen(name);
    if (size < 1 + 1 + kMarkerSize + kTagDigits + 1 + 1 + 1 + kSuffixSize || name[0] != '.')
        return false;
    size_t at = size - kSuffixSize;
    for (size_t i = at; i < size; ++i) {
        if (!IsSuffixCharacter(name[i])) return false;
    }
    if (name[--at] != '-') return false;
    const size_t pidEnd = at;
    while (at > 0 && name[at - 1] >= '0' && name[at - 1] <= '9') --at;
    const size_t pidStart = at, digits = pidEnd - pidStart;
    if (digits == 0 || digits > kLongestPid || name[pidStart] == '0') return false;
    if (at < 2 + kMarkerSize + kTagDigits + 1 || name[--at] != '-') return false;
    at -= kTagDigits;
    for (size_t i = at; i < at + kTagDigits; ++i) {
        if (!IsTagDigit(name[i])) return false;
    }
    if (std::strncmp(name + at - kMarkerSize, kWriterMarker, kMarkerSize) != 0) return false;
    parsed->prefixSize = at;
    parsed->tag.assign(name + at, kTagDigits);
    parsed->pid = std::strtoll(std::string(name + pidStart, digits).c_str(), nullptr, 10);
#if defined(_WIN32)
    return parsed->pid <= 0xffffffffll;  // a DWORD
#else
    return parsed->pid <= std::numeric_limits<pid_t>::max();
#endif
}

std::string FolderOf(const std::string& path) {
    const std::string directory = DirectoryOf(path);
    return directory.empty()       ? "."
           : directory.size() == 1 ? directory
                                   : directory.substr(0, directory.size() - 1);
}

void RemoveLeftoversIn(const std::string& folder, const std::string& prefix) {
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) return;
    std::vector<std::pair<std::string, WriterName>> candidates;
    while (const struct dirent* entry = readdir(directory)) {
        // A folder of frames holds many other files: they cost a comparison or two, not a copy.
        const char* name = entry->d_name;
        if (name[0] != '.') continue;
        if (!prefix.empty() && std::strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
        WriterName parsed;
        if (!ParseWriterName(name, &parsed)) continue;
        if (!prefix.empty() && parsed.prefixSize != prefix.size()) continue;
        candidates.emplace_back(name, parsed);
    }
    closedir(directory);
    const WriterTag self = ThisWriter();
    const time_t now = std::time(nullptr);
    for (const auto& candidate : candidates)
        RemoveIfLeftover(folder, candidate.first.c_str(), candidate.second, self, now);
}

void PlaceOfTemporary(const std::string& destination, bool stream, std::string* folder,
                      std::string* fileName) {
    *folder = stream ? TemporaryFolder() : FolderOf(destination);
    *fileName = FileNameOf(destination);
}

}  // namespace outputs

using namespace outputs;

std::string RefuseEndlessLinks(const std::string& path) {
    if (IsStandardStream(path)) return path;
    bool endless = false;
    std::string planted;
    const std::string target = FollowLinks(path, &endless, &planted);
    if (endless) {
        throw Error(path +
                    ": cannot write: its symbolic links never end (a loop, or more "
                    "than 40 in a row)");
    }
    if (!planted.empty()) {
        throw Error(path + ": cannot write: the symbolic link " + planted +
                    " in a sticky folder that others can write to belongs to another user, and "
                    "such a link is not followed");
    }
    return target;
}

bool IsStandardStream(const std::string& path) { return path == "-"; }

bool WriteFully(int fd, const void* bytes, size_t size) {
    const uint8_t* from = static_cast<const uint8_t*>(bytes);
    while (size > 0) {
        const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size, size_t(1) << 30));
        if (tniff::FileHandleWrite(fd, from, piece) != piece) return false;
        from += piece;
        size -= piece;
    }
    return true;
}

bool ReadFully(int fd, void* bytes, size_t size) {
    uint8_t* to = static_cast<uint8_t*>(bytes);
    while (size > 0) {
        const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size, size_t(1) << 30));
        if (tniff::FileHandleRead(fd, to, piece) != piece) return false;
        to += piece;
        size -= piece;
    }
    return true;
}

namespace {
// What ends a folder's name in a path: a slash, and on Windows a backslash too.
#if defined(_WIN32)
const char kSeparators[] = "/\\";
#else
const char kSeparators[] = "/";
#endif
}  // namespace

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void RemoveLeftovers(const std::string& path) {
    if (IsStandardStream(path)) {
        RemoveLeftoversIn(TemporaryFolder(), TemporaryPrefix("stdout"));
        return;
    }
    const std::string target = FollowLinks(path);
    std::string folder, fileName;
    PlaceOfTemporary(target, IsStreamAt(target), &folder, &fileName);
    RemoveLeftoversIn(folder, TemporaryPrefix(fileName));
}

void RemoveLeftoversBeside(const std::vector<std::string>& destinations) {
    std::set<std::string> folders;
    for (const std::string& destination : destinations) {
        try {
            folders.insert(FolderOf(RefuseEndlessLinks(destination)));
        } catch (const Error&) {
            // Nothing can be written there; its PendingOutput says so.
        }
    }
    for (const std::string& folder : folders) RemoveLeftoversIn(folder, "");
}

namespace {
// The most bytes of a file per byte of the image an open makes of it: a file of a depth buffer
// alone stores 4 bytes a pixel, which is one plane of 1 byte once open (16-bit samples of the
// other kinds take 2). The chunks, tiles' rectangles and other bytes around the pixels are
// allowed another 64 MiB.
const uint64_t kFileBytesPerImageByte = 4;
const uint64_t kBytesAroundPixels = uint64_t(64) << 20;
}  // namespace

uint64_t MostKeptBytes(uint64_t maxImageBytes) {
    const uint64_t limit = maxImageBytes != 0 ? maxImageBytes : DefaultMaxImageBytes();
    const uint64_t most = std::numeric_limits<uint64_t>::max();
    return limit > (most - kBytesAroundPixels) / kFileBytesPerImageByte
               ? most
               : limit * kFileBytesPerImageByte + kBytesAroundPixels;
}

void TemporaryCopy::Make(const std::string& name) {
    const std::string folder = TemporaryFolder();
    RemoveLeftoversIn(folder, TemporaryPrefix("input"));
    Temporary made = MakeTemporary(folder, "input");
    if (made.fd < 0) throw Error("cannot keep " + name + " in a file: " + LastFileError());
    path_ = made.path;
    fd_ = made.fd;
    slot_ = made.slot;
}

void TemporaryCopy::Put(const uint8_t* bytes, size_t size, const std::string& name) {
    if (head_.size() < 16)
        head_.insert(head_.end(), bytes, bytes + std::min<size_t>(size, 16 - head_.size()));
    errno = ENOSPC;
    if (!WriteFully(fd_, bytes, size))
        throw Error("cannot keep " + name + " in a file: " + LastFileError());
}

void TemporaryCopy::Fill(const std::function<void()>& put) {
    try {
        put();
    } catch (...) {
        DropFile(fd_, path_, memory_);
        fd_ = -1;
        Untrack(slot_);
        slot_ = -1;
        throw;
    }
}

TemporaryCopy::TemporaryCopy(int fd, const std::string& name, uint64_t maxImageBytes) {
    Make(name);
    Fill([&] {
        const uint64_t most = MostKeptBytes(maxImageBytes);
        uint64_t kept = 0;
        std::vector<uint8_t> buffer(1 << 16);
        for (;;) {
            const uint32_t got =
                tniff::FileHandleRead(fd, buffer.data(), static_cast<uint32_t>(buffer.size()));
            if (got == tniff::kFileCallFailed)
                throw Error("cannot read " + name + ": " + LastFileError());
            if (got == 0) break;
            if (got > most - kept) {
                throw Error("cannot keep " + name + " in a file: it is larger than " +
                            Mebibytes(most) +
                            ", more than a file of any image within the image-size limit takes "
                            "(--max-image-size raises it)");
            }
            const bool unknownYet = head_.size() < 16;
            Put(buffer.data(), got, name);
            kept += got;
            // Bytes of no kind converted here are refused by every reader after their first few:
            // the rest (all of /dev/zero) is not waited for.
            FileKind kind;
            std::string description;
            if (unknownYet && head_.size() == 16 &&
                !SniffKind(head_.data(), head_.size(), &kind, &description))
                break;
        }
    });
}

TemporaryCopy::TemporaryCopy(const uint8_t* bytes, size_t size, const std::string& name)
    : TemporaryCopy(name) {
    Fill([&] {
        Append(bytes, size);
        Finish();
    });
}

void TemporaryCopy::Append(const uint8_t* bytes, size_t size) {
    if (head_.size() < 16)
        head_.insert(head_.end(), bytes, bytes + std::min<size_t>(size, 16 - head_.size()));
    // Zeros are looked for a page of the copy at a time (pages counted from the copy's start,
    // whatever the pieces appended); a page of them is left as a hole.
    const size_t kPage = 4096;
    static const uint8_t kZeros[kPage] = {};
    size_t written = 0;  // bytes before this are written or skipped
    const size_t first = static_cast<size_t>((kPage - size_ % kPage) % kPage);
    for (size_t at = std::min(first, size); at < size; at += kPage) {
        const size_t run = std::min(kPage, size - at);
        if (std::memcmp(bytes + at, kZeros, run) != 0) continue;
        PutAt(bytes + written, at - written, size_ + written);
        written = at + run;
    }
    PutAt(bytes + written, size - written, size_ + written);
    size_ += size;
}

}  // namespace tarniff
