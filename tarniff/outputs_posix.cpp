// The outputs' part that POSIX systems do their own way: who writes (the boot id and PID
// namespace), the lock on a temporary file, the stop's cleanup on signals, symbolic links, the
// rename over the destination, and anonymous memory files for bytes kept.
#include "tarniff/tarniff.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <vector>

#include "host/host_file.h"
#include "tarniff/outputs_parts.h"

namespace tarniff {
namespace outputs {

namespace {

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

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

}  // namespace

// A hash of the kernel's boot id (a new one at every boot, one per machine, the same in all its
// containers) and of the PID namespace's inode (one per container: a process id means something
// only inside it). Worked out on every call, as a process may move into a namespace of its own;
// not known when either cannot be read.
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

namespace {

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

}  // namespace

// Private (0600) while it is written; the writer gives it its mode when it is complete.
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

std::string TemporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// ---- Removing leftovers -----------------------------------------------------------------------

// Only a file with no other name is a leftover: another name would be somebody's file.
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

namespace {

// A destination that is there and written into rather than replaced.
bool IsStream(const struct stat& status) {
    return S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode);
}

}  // namespace

bool IsStreamAt(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && IsStream(status);
}

void DropFile(int fd, const std::string& path, bool memory) {
    if (!memory) unlink(path.c_str());
    close(fd);
}

std::string LastFileError() { return std::strerror(errno); }

}  // namespace outputs

using namespace outputs;

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
