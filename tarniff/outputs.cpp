// Outputs written whole or not at all, where writing a path ends up, bytes kept in a file, and
// the temporary files of both: named for the machine and process that write them, locked while
// they are alive, and removed only when they are provably left over.
#include "tarniff/tarniff.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <set>
#include <vector>

#include "host/host_file.h"

namespace tarniff {

namespace {

// ---- Temporary files for a signal to remove ---------------------------------------------------

// A signal handler reads this table, so it holds the paths themselves in fixed slots, claimed
// and given back with atomic stores: the handler never follows a pointer that a thread frees.
struct PendingSlot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 holds a path to remove
    char path[PATH_MAX];
};
// A tniff run has at most three at once (an output, its depth output, a copy of standard
// input); the rest is room for a program's threads. A file past it is left to the removal of
// leftovers.
const int kMostPending = 32;
PendingSlot gPending[kMostPending];

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

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

void RemovePendingAndRaise(int signal) {
    for (PendingSlot& slot : gPending) {
        if (slot.state.load() == 2) unlink(slot.path);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// From a temporary file's creation until it is in the table, a signal waits: it would otherwise
// end the run with the file left behind.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : kCleanupSignals) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

// ---- Who writes -------------------------------------------------------------------------------

// Up to 128 bytes of a small file of the system, without its line end; "" when unreadable.
std::string SystemValue(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char text[128];
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    std::string value(text, got > 0 ? static_cast<size_t>(got) : 0);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return value;
}

const size_t kTagDigits = 16;

// Which machine and PID namespace this process runs in, as 16 hex digits: a hash of the kernel's
// boot id (a new one at every boot, one per machine, the same in all its containers) and of the
// PID namespace's inode (one per container: a process id means something only inside it).
// Worked out on every call, as a process may move into a namespace of its own. known is false
// when either cannot be read: no file is then ever taken for this writer's own.
struct WriterTag {
    std::string tag;
    bool known = false;
};
WriterTag ThisWriter() {
    const std::string boot = SystemValue("/proc/sys/kernel/random/boot_id");
    struct stat ns;
    const bool haveNs = stat("/proc/self/ns/pid", &ns) == 0;
    WriterTag writer;
    writer.known = !boot.empty() && haveNs;
    std::string seed = boot + ":";
    if (haveNs) seed += std::to_string(ns.st_dev) + ":" + std::to_string(ns.st_ino);
    if (!writer.known) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        seed += std::string(":") + host;
    }
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : seed) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char text[kTagDigits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    writer.tag = text;
    return writer;
}

// ---- Temporary names --------------------------------------------------------------------------

// A temporary file is ".NAME.tniff-TAG-PID-XXXXXX": NAME the file it becomes, TAG the writer's
// machine and PID namespace, PID its process there, XXXXXX what mkstemp makes unique.
const char kWriterMarker[] = ".tniff-";
const size_t kMarkerSize = sizeof kWriterMarker - 1;
const size_t kSuffixSize = 6;
const size_t kLongestPid = 10;
// The longest file name the systems we run on take (NAME_MAX): a long NAME is cut to fit, the
// marker and what follows it never.
const size_t kLongestFileName = 255;

// ".NAME.tniff-", NAME cut to fit.
std::string TemporaryPrefix(const std::string& fileName) {
    const size_t room =
        kLongestFileName - (1 + kMarkerSize + kTagDigits + 1 + kLongestPid + 1 + kSuffixSize);
    return "." + fileName.substr(0, room) + kWriterMarker;
}

struct WriterName {
    size_t prefixSize = 0;  // ".NAME.tniff-"
    std::string tag;
    long long pid = 0;
};

bool IsTagDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool IsSuffixCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Whether name is exactly what a writer of ours makes, read from its end.
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
    return parsed->pid <= std::numeric_limits<pid_t>::max();
}

// ---- The writer's lock ------------------------------------------------------------------------

// A writer holds a lock on its temporary file from its creation until it is renamed or removed,
// and a remover removes nothing whose lock it cannot take: the one proof of death that holds on
// another machine too.
//
// Which lock: one of the open file description (F_OFD_SETLK; flock where the kernel has none).
// It stays held when another descriptor of the file is opened and closed in the same process, as
// the module's save through host/ does with the temporary path, and a forked child shares it; a
// process-associated fcntl lock would be dropped at the first such close, and would never
// conflict with a remover in the same process. Which bytes: one far past the end of any file of
// ours. NFS and SMB carry byte-range locks to the server, where the other machines see them, and
// SMB servers enforce them on writes: a lock on the data would refuse the module's own writes.
const off_t kLockedByte = std::numeric_limits<off_t>::max() / 2;

enum class Lock { taken, busy, unavailable };

Lock TakeLock(int fd, bool wait) {
#if defined(F_OFD_SETLK)
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kLockedByte;
    lock.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return Lock::taken;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return Lock::busy;
        if (errno != EINVAL) return Lock::unavailable;
        break;  // a kernel without them
    }
#endif
    while (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? Lock::busy : Lock::unavailable;
    }
    return Lock::taken;
}

// A temporary file made in folder for fileName ("stdout", "input" or an output's name), locked
// and in the signals' table. fd < 0 (errno set) when it cannot be made. Private (0600) while it
// is written; the writer gives it its mode when it is complete.
struct Temporary {
    std::string path;
    int fd = -1;
    int slot = -1;
};
Temporary MakeTemporary(const std::string& folder, const std::string& fileName) {
    SignalsBlocked blocked;
    const std::string pattern = folder + "/" + TemporaryPrefix(fileName) + ThisWriter().tag + "-" +
                                std::to_string(getpid()) + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    Temporary made;
    made.fd = mkostemp(name.data(), O_CLOEXEC);
    if (made.fd < 0) return made;
    // A file system without locks still gets its file: the writer's process id and the age then
    // keep it from the removers.
    TakeLock(made.fd, true);
    made.path = name.data();
    made.slot = Track(made.path);
    return made;
}

// The folder for temporary files of standard input and output, and of outputs that are streams.
std::string TemporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// The folder a path is in, as a path of its own: "." for a bare name.
std::string FolderOf(const std::string& path) {
    const std::string directory = DirectoryOf(path);
    return directory.empty()       ? "."
           : directory.size() == 1 ? directory
                                   : directory.substr(0, directory.size() - 1);
}

// ---- Removing leftovers -----------------------------------------------------------------------

// Removes the file folder/name (whose name parsed as a writer's) when it is a leftover: a
// regular file of this user with no other name, whose lock nobody holds, and either this
// machine's with its process gone or older than kLeftoverAgeSeconds.
void RemoveIfLeftover(const std::string& folder, const char* name, const WriterName& parsed,
                      const WriterTag& self, time_t now) {
    const std::string path = folder + "/" + name;
    struct stat named;
    if (lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_uid != geteuid() ||
        named.st_nlink != 1)
        return;
    // Read and write: NFS takes an exclusive lock only through a descriptor open for writing.
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat opened;
    if (fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
        TakeLock(fd, false) != Lock::busy) {
        const bool mine = self.known && parsed.tag == self.tag;
        const bool gone = mine && kill(static_cast<pid_t>(parsed.pid), 0) != 0 && errno == ESRCH;
        const bool old = now - opened.st_mtime > kLeftoverAgeSeconds;
        struct stat still;
        if ((gone || old) && lstat(path.c_str(), &still) == 0 && still.st_ino == opened.st_ino &&
            still.st_dev == opened.st_dev) {
            unlink(path.c_str());
        }
    }
    close(fd);  // and the lock with it
}

// Removes the leftovers in folder named prefix... (".NAME.tniff-"), or every writer's when prefix
// is empty.
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

// Where writing destination (links followed) puts its temporary file: beside it, or for a stream
// (a FIFO, a device) in the temporary folder. fileName is what the temporary name is made of.
void PlaceOfTemporary(const std::string& destination, bool stream, std::string* folder,
                      std::string* fileName) {
    *folder = stream ? TemporaryFolder() : FolderOf(destination);
    *fileName = FileNameOf(destination);
}

// A destination that is there and written into rather than replaced.
bool IsStream(const struct stat& status) {
    return S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode);
}

}  // namespace

void RemoveTemporariesOnSignals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RemovePendingAndRaise;
    sigemptyset(&action.sa_mask);
    for (int s : kCleanupSignals) sigaddset(&action.sa_mask, s);
    for (int s : kCleanupSignals) {
        // What the program was started to ignore (nohup's SIGHUP, a pipeline's SIGPIPE) stays
        // ignored.
        struct sigaction previous;
        if (sigaction(s, nullptr, &previous) == 0 && (previous.sa_flags & SA_SIGINFO) == 0 &&
            previous.sa_handler == SIG_IGN)
            continue;
        sigaction(s, &action, nullptr);
    }
}

namespace {
// Whether the link at path (link its lstat) is one the kernel's rule for sticky world-writable
// folders (fs.protected_symlinks) forbids following: a link there that belongs neither to the
// follower nor to the folder's owner may have been planted by another user. The rule is kept
// whatever this machine's setting: a shared folder is shared with machines that have it on.
bool ProtectedLink(const std::string& path, const struct stat& link) {
    if (link.st_uid == geteuid()) return false;
    struct stat folder;
    if (stat(FolderOf(path).c_str(), &folder) != 0) return false;
    if ((folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return false;
    return link.st_uid != folder.st_uid;
}
}  // namespace

std::string FollowLinks(const std::string& path, bool* endless, std::string* protectedLink) {
    // The most links the kernel follows in one path (MAXSYMLINKS): past it, an open fails with
    // ELOOP.
    const int kMostLinks = 40;
    if (endless != nullptr) *endless = false;
    if (protectedLink != nullptr) protectedLink->clear();
    std::string current = path;
    for (int followed = 0;; ++followed) {
        struct stat status;
        if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return current;
        if (followed == kMostLinks) {
            if (endless != nullptr) *endless = true;
            return path;
        }
        if (ProtectedLink(current, status)) {
            if (protectedLink != nullptr) *protectedLink = current;
            return path;
        }
        std::vector<char> target(4096);
        ssize_t length = readlink(current.c_str(), target.data(), target.size() - 1);
        if (length <= 0) return current;
        std::string next(target.data(), static_cast<size_t>(length));
        current = next[0] == '/' ? next : FolderOf(current) + "/" + next;
    }
}

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

PendingOutput::PendingOutput(const std::string& destination, bool removeLeftovers)
    : destination_(RefuseEndlessLinks(destination)), toStdout_(IsStandardStream(destination)) {
    // Only the rename at the very end would find these out, after all the work; and a rename
    // over a device or a FIFO would put a regular file in its place.
    struct stat target;
    if (!toStdout_ && stat(destination_.c_str(), &target) == 0 && !S_ISREG(target.st_mode)) {
        if (S_ISDIR(target.st_mode)) throw Error(destination + ": cannot write: it is a directory");
        // A FIFO or a character device (/dev/null, a terminal, /dev/stdout's target) is written
        // into, which is what naming one means; a block device or a socket never is.
        if (!IsStream(target)) {
            throw Error(destination + ": cannot write: not a regular file (" +
                        (S_ISBLK(target.st_mode) ? "a block device" : "a socket or the like") +
                        ")");
        }
        stream_ = true;
    }
    std::string folder, fileName;
    PlaceOfTemporary(destination_, toStdout_ || stream_, &folder, &fileName);
    if (toStdout_) fileName = "stdout";
    // Hidden, and named for the file it will become, so that a leftover after a crash explains
    // itself; named for its writer too, so that only its own machine may find it dead.
    if (removeLeftovers) RemoveLeftoversIn(folder, TemporaryPrefix(fileName));
    Temporary made = MakeTemporary(folder, fileName);
    if (made.fd < 0) {
        throw Error(destination + ": cannot create a file in " + folder + ": " +
                    std::strerror(errno));
    }
    temporary_ = made.path;
    fd_ = made.fd;
    slot_ = made.slot;
}

PendingOutput::~PendingOutput() {
    if (!committed_) unlink(temporary_.c_str());
    if (fd_ >= 0) close(fd_);
    Untrack(slot_);
}

void PendingOutput::CopyIntoStream() {
    int into = STDOUT_FILENO;
    const std::string shown = toStdout_ ? std::string("standard output") : destination_;
    if (!toStdout_) {
        // A FIFO's open waits for its reader, as a shell's redirection does.
        into = open(destination_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (into < 0) {
            throw Error(destination_ + ": cannot open for writing: " + std::strerror(errno));
        }
        struct stat status;
        if (fstat(into, &status) != 0 || !IsStream(status)) {
            close(into);
            throw Error(destination_ + ": cannot write: it is no longer a FIFO or a device");
        }
    }
    std::vector<char> buffer(1 << 16);
    int failure = 0;
    std::string doing;
    if (lseek(fd_, 0, SEEK_SET) != 0) {
        failure = errno;
        doing = "cannot read the written output: ";
    }
    while (failure == 0) {
        const uint32_t got =
            tniff::FileHandleRead(fd_, buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (got == tniff::kFileCallFailed) {
            failure = errno;
            doing = "cannot read the written output: ";
        } else if (got == 0) {
            break;
        } else {
            errno = EIO;
            if (!WriteFully(into, buffer.data(), got)) {
                failure = errno;
                doing = "cannot write to " + shown + ": ";
            }
        }
    }
    if (!toStdout_) close(into);
    if (failure != 0) {
        throw Error(toStdout_ ? doing + std::strerror(failure)
                              : destination_ + ": " + doing + std::strerror(failure));
    }
}

void PendingOutput::Commit() {
    if (toStdout_ || stream_) {
        CopyIntoStream();
    } else {
        // Removed by anything, the file would leave a rename that fails or, worse, one that
        // puts another writer's file in place.
        struct stat written, named;
        const bool gone = fstat(fd_, &written) != 0 || written.st_nlink == 0 ||
                          lstat(temporary_.c_str(), &named) != 0 ||
                          named.st_ino != written.st_ino || named.st_dev != written.st_dev;
        const std::string vanished =
            destination_ + ": cannot finish: its temporary file " + FileNameOf(temporary_) +
            " was removed while it was written (by another process or machine); the destination "
            "is as it was";
        if (gone) throw Error(vanished);
        if (fsync(fd_) != 0) {
            throw Error(destination_ + ": cannot flush the written file: " + std::strerror(errno));
        }
        // The permissions of the file it replaces (and its group, where the system lets us), or
        // else those of any new file.
        mode_t mask = umask(0);
        umask(mask);
        mode_t mode = 0666 & ~mask;
        struct stat existing;
        if (stat(destination_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
            mode = existing.st_mode & 07777;
            if (fchown(fd_, static_cast<uid_t>(-1), existing.st_gid) != 0) {
                // Not a member of that group: the file keeps ours, as a new file would.
            }
        }
        if (fchmod(fd_, mode) != 0) {
            throw Error(destination_ +
                        ": cannot give the written file its permissions: " + std::strerror(errno));
        }
        if (std::rename(temporary_.c_str(), destination_.c_str()) != 0) {
            if (errno == ENOENT) throw Error(vanished);
            throw Error(destination_ +
                        ": cannot replace it with the written file: " + std::strerror(errno));
        }
    }
    if (toStdout_ || stream_) unlink(temporary_.c_str());
    committed_ = true;
    close(fd_);
    fd_ = -1;
    Untrack(slot_);
    slot_ = -1;
}

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

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string PlaceOf(const std::string& path) {
    const std::string target = FollowLinks(path);
    char resolved[PATH_MAX];
    const std::string folder = FolderOf(target);
    return (realpath(folder.c_str(), resolved) != nullptr ? std::string(resolved) : folder) + "/" +
           FileNameOf(target);
}

bool SameFile(const std::string& a, const std::string& b) {
    if (IsStandardStream(a) || IsStandardStream(b)) return false;
    struct stat x, y;
    const bool xExists = stat(a.c_str(), &x) == 0, yExists = stat(b.c_str(), &y) == 0;
    if (xExists != yExists) return false;
    if (xExists) return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
    // Neither is there yet: the same place once links and the folder are resolved.
    return PlaceOf(a) == PlaceOf(b);
}

void RemoveLeftovers(const std::string& path) {
    if (IsStandardStream(path)) {
        RemoveLeftoversIn(TemporaryFolder(), TemporaryPrefix("stdout"));
        return;
    }
    const std::string target = FollowLinks(path);
    struct stat status;
    const bool stream = stat(target.c_str(), &status) == 0 && IsStream(status);
    std::string folder, fileName;
    PlaceOfTemporary(target, stream, &folder, &fileName);
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
    if (made.fd < 0) throw Error("cannot keep " + name + " in a file: " + std::strerror(errno));
    path_ = made.path;
    fd_ = made.fd;
    slot_ = made.slot;
}

void TemporaryCopy::Put(const uint8_t* bytes, size_t size, const std::string& name) {
    if (head_.size() < 16)
        head_.insert(head_.end(), bytes, bytes + std::min<size_t>(size, 16 - head_.size()));
    errno = ENOSPC;
    if (!WriteFully(fd_, bytes, size))
        throw Error("cannot keep " + name + " in a file: " + std::strerror(errno));
}

void TemporaryCopy::Fill(const std::function<void()>& put) {
    try {
        put();
    } catch (...) {
        if (!memory_) unlink(path_.c_str());
        close(fd_);
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
                throw Error("cannot read " + name + ": " + std::strerror(errno));
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

// Bytes a caller holds in memory are kept in memory too: an anonymous memory file costs no
// disk and leaves nothing behind even when the process is killed. Where the system has none
// (the page's WebAssembly, whose $TMPDIR is in memory anyway, and whose C library declares
// memfd_create without having it), the file in $TMPDIR.
TemporaryCopy::TemporaryCopy(const std::string& name) : name_(name) {
#if defined(MFD_CLOEXEC) && !defined(__EMSCRIPTEN__)
    fd_ = memfd_create("tniff-input", MFD_CLOEXEC);
    if (fd_ >= 0) {
        memory_ = true;
        path_ = "/proc/self/fd/" + std::to_string(fd_);
        return;
    }
#endif
    Make(name);
}

TemporaryCopy::TemporaryCopy(const uint8_t* bytes, size_t size, const std::string& name)
    : TemporaryCopy(name) {
    Fill([&] {
        Append(bytes, size);
        Finish();
    });
}

void TemporaryCopy::PutAt(const uint8_t* bytes, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t put = pwrite(fd_, bytes, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = ENOSPC;
            throw Error("cannot keep " + name_ + " in memory or a file: " + std::strerror(errno));
        }
        bytes += put;
        size -= static_cast<size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
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

void TemporaryCopy::Finish() {
    if (ftruncate(fd_, static_cast<off_t>(size_)) != 0)
        throw Error("cannot keep " + name_ + " in memory or a file: " + std::strerror(errno));
}

TemporaryCopy::~TemporaryCopy() {
    if (fd_ >= 0) {
        if (!memory_) unlink(path_.c_str());
        close(fd_);
    }
    Untrack(slot_);
}

}  // namespace tarniff
