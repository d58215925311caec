// The outputs' part that Windows does its own way: who writes (the machine's id), the lock on a
// temporary file (a byte-range lock, which SMB carries to the server), removal of the pending
// files on Ctrl+C or a closed console, and the replacement of the destination (ReplaceFile where
// it exists, so that it keeps its security and attributes; MoveFileEx where it does not). Paths
// are in the process's code page, as the host's file calls (_lopen, _lcreat) take them; tniff.exe
// declares UTF-8 as its code page.
#include "tarniff/tarniff.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "host/host_file.h"
#include "tarniff/outputs_parts.h"

namespace tarniff {
namespace outputs {

namespace {

// A file handle as the host's file calls take it (an HFILE: Windows keeps handle values within
// 32 bits so that they pass between 32- and 64-bit code).
HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }
int FdOf(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

std::string SystemMessage(DWORD code) {
    char* text = nullptr;
    const DWORD size = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = size != 0 && text != nullptr ? std::string(text, size) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    if (message.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "system error %lu", static_cast<unsigned long>(code));
        message = number;
    }
    return message;
}

// A writer locks one byte far past the end of any file of ours: a lock on the data would refuse
// the module's own writes through its other handle, since Windows enforces byte-range locks.
const DWORD kLockedByteLow = 0, kLockedByteHigh = 0x40000000;

enum class Lock { taken, busy, unavailable };

Lock TakeLock(HANDLE file, bool wait) {
    OVERLAPPED at = {};
    at.Offset = kLockedByteLow;
    at.OffsetHigh = kLockedByteHigh;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(file, flags, 0, 1, 0, &at)) return Lock::taken;
    const DWORD why = GetLastError();
    return why == ERROR_LOCK_VIOLATION || why == ERROR_IO_PENDING ? Lock::busy : Lock::unavailable;
}

// Opens an existing file for reading and writing with every kind of sharing, so that the host's
// own handles to it (_lopen, _lcreat) and a rename of it still work while it is open here.
HANDLE OpenShared(const std::string& path, DWORD disposition, DWORD attributes) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       attributes, nullptr);
}

// The file's identity (volume and index) of an open handle.
bool IdentityOf(HANDLE file, uint64_t* volume, uint64_t* index) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) return false;
    *volume = information.dwVolumeSerialNumber;
    *index = (uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool IdentityAt(const std::string& path, uint64_t* volume, uint64_t* index) {
    HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = IdentityOf(file, volume, index);
    CloseHandle(file);
    return known;
}

// What stands at path: 0 nothing, else FILE_TYPE_DISK (a file or folder), FILE_TYPE_CHAR (a
// device: NUL, CON) or FILE_TYPE_PIPE. Opened for no access, so that nothing is read or waited for.
DWORD KindAt(const std::string& path) {
    HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    const DWORD kind = GetFileType(file);
    CloseHandle(file);
    return kind == FILE_TYPE_UNKNOWN ? FILE_TYPE_DISK : kind;
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Whether the process pid of this machine has ended (or never was).
bool ProcessGone(long long pid) {
    if (pid <= 0 || pid > 0xffffffffll) return true;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// Six characters that make a name unique, from a counter, the time and the process.
std::string UniqueSuffix(unsigned attempt) {
    static volatile LONG counter = 0;
    uint64_t seed = GetTickCount64() ^ (uint64_t(GetCurrentProcessId()) << 20) ^
                    (uint64_t(InterlockedIncrement(&counter)) << 40) ^ (uint64_t(attempt) * 7919);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    seed ^= static_cast<uint64_t>(now.QuadPart) * 0x9e3779b97f4a7c15ull;
    static const char kLetters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string suffix(6, '0');
    for (char& c : suffix) {
        c = kLetters[seed % 62];
        seed /= 62;
    }
    return suffix;
}

BOOL WINAPI RemovePendingOnStop(DWORD) {
    for (PendingSlot& slot : gPending) {
        if (slot.state.load() == 2) DeleteFileA(slot.path);
    }
    return FALSE;  // and the program ends as it would have
}

}  // namespace

// A hash of the machine's id, which Windows gives every installation (the Cryptography key's
// MachineGuid), and of the computer's name; not known when the id cannot be read.
WriterTag ThisWriter() {
    // The 64-bit view of the registry holds it, whatever this program's width.
    char id[128] = {};
    bool haveId = false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        DWORD type = 0, size = sizeof id - 1;
        haveId = RegQueryValueExA(key, "MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(id),
                                  &size) == ERROR_SUCCESS &&
                 type == REG_SZ && id[0] != '\0';
        RegCloseKey(key);
    }
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD computerSize = sizeof computer;
    GetComputerNameA(computer, &computerSize);
    const std::string seed = std::string(id) + ":" + computer;
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : seed) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    WriterTag writer;
    writer.known = haveId;
    char text[kTagDigits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    writer.tag = text;
    return writer;
}

Temporary MakeTemporary(const std::string& folder, const std::string& fileName) {
    const std::string stem = folder + "\\" + TemporaryPrefix(fileName) + ThisWriter().tag + "-" +
                             std::to_string(GetCurrentProcessId()) + "-";
    Temporary made;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string path = stem + UniqueSuffix(attempt);
        HANDLE file = OpenShared(path, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return made;
        }
        // A file system without locks still gets its file: the writer's process id and the age
        // then keep it from the removers.
        TakeLock(file, true);
        made.path = path;
        made.fd = FdOf(file);
        made.slot = Track(path);
        return made;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return made;
}

std::string TemporaryFolder() {
    char folder[MAX_PATH + 1];
    const DWORD size = GetTempPathA(sizeof folder, folder);
    if (size == 0 || size > MAX_PATH) return ".";
    std::string path(folder, size);
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

bool IsStreamAt(const std::string& path) {
    const DWORD kind = KindAt(path);
    return kind == FILE_TYPE_CHAR || kind == FILE_TYPE_PIPE;
}

void RemoveIfLeftover(const std::string& folder, const char* name, const WriterName& parsed,
                      const WriterTag& self, time_t now) {
    const std::string path = folder + "\\" + name;
    HANDLE file = OpenShared(path, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION information;
    bool leftover = false;
    if (GetFileInformationByHandle(file, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        information.nNumberOfLinks == 1 && TakeLock(file, false) != Lock::busy) {
        const bool mine = self.known && parsed.tag == self.tag;
        const bool gone = mine && ProcessGone(parsed.pid);
        // 100-nanosecond steps since 1601 to seconds since 1970.
        const uint64_t written = (uint64_t(information.ftLastWriteTime.dwHighDateTime) << 32) |
                                 information.ftLastWriteTime.dwLowDateTime;
        const int64_t writtenAt = static_cast<int64_t>(written / 10000000ull) - 11644473600ll;
        const bool old = static_cast<int64_t>(now) - writtenAt > kLeftoverAgeSeconds;
        leftover = gone || old;
    }
    CloseHandle(file);  // and the lock with it
    if (leftover) DeleteFileA(path.c_str());
}

void DropFile(int fd, const std::string& path, bool) {
    CloseHandle(HandleOf(fd));
    DeleteFileA(path.c_str());
}

std::string LastFileError() {
    const DWORD code = GetLastError();
    return code != 0 ? SystemMessage(code) : std::string(std::strerror(errno));
}

}  // namespace outputs

using namespace outputs;

void RemoveTemporariesOnSignals() { SetConsoleCtrlHandler(RemovePendingOnStop, TRUE); }

// Windows' links (junctions, symbolic links) are followed by the system's own calls, and a
// replaced link is replaced: the path is taken as it stands.
std::string FollowLinks(const std::string& path, bool* endless, std::string* protectedLink) {
    if (endless != nullptr) *endless = false;
    if (protectedLink != nullptr) protectedLink->clear();
    return path;
}

PendingOutput::PendingOutput(const std::string& destination, bool removeLeftovers)
    : destination_(RefuseEndlessLinks(destination)), toStdout_(IsStandardStream(destination)) {
    // Only the replacement at the very end would find these out, after all the work.
    if (!toStdout_) {
        const DWORD kind = KindAt(destination_);
        if (kind == FILE_TYPE_DISK && IsFolder(destination_))
            throw Error(destination + ": cannot write: it is a directory");
        // A device (NUL, CON) or a named pipe is written into, which is what naming one means.
        stream_ = kind == FILE_TYPE_CHAR || kind == FILE_TYPE_PIPE;
    }
    std::string folder, fileName;
    PlaceOfTemporary(destination_, toStdout_ || stream_, &folder, &fileName);
    if (toStdout_) fileName = "stdout";
    if (removeLeftovers) RemoveLeftoversIn(folder, TemporaryPrefix(fileName));
    Temporary made = MakeTemporary(folder, fileName);
    if (made.fd < 0)
        throw Error(destination + ": cannot create a file in " + folder + ": " + LastFileError());
    temporary_ = made.path;
    fd_ = made.fd;
    slot_ = made.slot;
}

PendingOutput::~PendingOutput() {
    if (fd_ >= 0) CloseHandle(HandleOf(fd_));
    if (!committed_) DeleteFileA(temporary_.c_str());
    Untrack(slot_);
}

void PendingOutput::CopyIntoStream() {
    const std::string shown = toStdout_ ? std::string("standard output") : destination_;
    HANDLE into = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!toStdout_) {
        into = CreateFileA(destination_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (into == INVALID_HANDLE_VALUE)
            throw Error(destination_ + ": cannot open for writing: " + LastFileError());
    }
    std::vector<char> buffer(1 << 16);
    std::string failure;
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(HandleOf(fd_), start, nullptr, FILE_BEGIN))
        failure = "cannot read the written output: " + LastFileError();
    while (failure.empty()) {
        DWORD got = 0;
        if (!ReadFile(HandleOf(fd_), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                      nullptr)) {
            failure = "cannot read the written output: " + LastFileError();
            break;
        }
        if (got == 0) break;
        DWORD put = 0;
        for (DWORD at = 0; at < got; at += put) {
            if (!WriteFile(into, buffer.data() + at, got - at, &put, nullptr) || put == 0) {
                failure = "cannot write to " + shown + ": " + LastFileError();
                break;
            }
        }
    }
    if (!toStdout_) CloseHandle(into);
    if (!failure.empty()) throw Error(toStdout_ ? failure : destination_ + ": " + failure);
}

void PendingOutput::Commit() {
    if (toStdout_ || stream_) {
        CopyIntoStream();
        CloseHandle(HandleOf(fd_));
        fd_ = -1;
        DeleteFileA(temporary_.c_str());
    } else {
        // Removed by anything, the file would leave a replacement that fails or, worse, one that
        // puts another writer's file in place.
        uint64_t volume = 0, index = 0, namedVolume = 0, namedIndex = 0;
        const bool gone = !IdentityOf(HandleOf(fd_), &volume, &index) ||
                          !IdentityAt(temporary_, &namedVolume, &namedIndex) ||
                          volume != namedVolume || index != namedIndex;
        const std::string vanished =
            destination_ + ": cannot finish: its temporary file " + FileNameOf(temporary_) +
            " was removed while it was written (by another process or machine); the destination "
            "is as it was";
        if (gone) throw Error(vanished);
        if (!FlushFileBuffers(HandleOf(fd_)))
            throw Error(destination_ + ": cannot flush the written file: " + LastFileError());
        // The handle goes first: a file open without leave to delete it cannot be renamed.
        CloseHandle(HandleOf(fd_));
        fd_ = -1;
        const DWORD kind = KindAt(destination_);
        bool replaced = false;
        if (kind == FILE_TYPE_DISK) {
            // The file keeps its security, attributes and other streams; a destination that
            // cannot be replaced so (another file system, no leave to read its security) is
            // moved over instead.
            replaced = ReplaceFileA(destination_.c_str(), temporary_.c_str(), nullptr,
                                    REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
        }
        if (!replaced && !MoveFileExA(temporary_.c_str(), destination_.c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const DWORD why = GetLastError();
            if (why == ERROR_FILE_NOT_FOUND) throw Error(vanished);
            throw Error(destination_ +
                        ": cannot replace it with the written file: " + SystemMessage(why));
        }
    }
    committed_ = true;
    Untrack(slot_);
    slot_ = -1;
}

std::string PlaceOf(const std::string& path) {
    char full[MAX_PATH * 4];
    const DWORD size = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return size != 0 && size < sizeof full ? std::string(full, size) : path;
}

bool SameFile(const std::string& a, const std::string& b) {
    if (IsStandardStream(a) || IsStandardStream(b)) return false;
    uint64_t aVolume = 0, aIndex = 0, bVolume = 0, bIndex = 0;
    const bool aExists = IdentityAt(a, &aVolume, &aIndex),
               bExists = IdentityAt(b, &bVolume, &bIndex);
    if (aExists != bExists) return false;
    if (aExists) return aVolume == bVolume && aIndex == bIndex;
    // Neither is there yet: the same place once the folder is resolved (names are compared as
    // the file system does, without regard to case).
    return lstrcmpiA(PlaceOf(a).c_str(), PlaceOf(b).c_str()) == 0;
}

// Bytes held in memory are kept in a file of the temporary folder that the system keeps in its
// cache where it can (FILE_ATTRIBUTE_TEMPORARY); Windows has no anonymous memory file that the
// host could open by a name.
TemporaryCopy::TemporaryCopy(const std::string& name) : name_(name) { Make(name); }

void TemporaryCopy::PutAt(const uint8_t* bytes, size_t size, uint64_t offset) {
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD piece = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
        DWORD put = 0;
        if (!WriteFile(HandleOf(fd_), bytes, piece, &put, &at) || put == 0)
            throw Error("cannot keep " + name_ + " in memory or a file: " + LastFileError());
        bytes += put;
        size -= put;
        offset += put;
    }
}

void TemporaryCopy::Finish() {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size_);
    if (!SetFilePointerEx(HandleOf(fd_), end, nullptr, FILE_BEGIN) || !SetEndOfFile(HandleOf(fd_)))
        throw Error("cannot keep " + name_ + " in memory or a file: " + LastFileError());
    LARGE_INTEGER start = {};
    SetFilePointerEx(HandleOf(fd_), start, nullptr, FILE_BEGIN);
}

TemporaryCopy::~TemporaryCopy() {
    if (fd_ >= 0) DropFile(fd_, path_, false);
    Untrack(slot_);
}

}  // namespace tarniff
