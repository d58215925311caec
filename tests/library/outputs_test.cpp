// The library's outputs and temporary files, in process: what a destination that is not a
// regular file gets, which temporary files a writer removes as left over (and which it must
// never touch: another machine's, another user's, a live writer's, a file that only looks like
// one), signal dispositions left alone, and the copy of standard input bounded and cleaned.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/leftover_maker.h"
#include "tests/support/temp_file.h"

namespace {

namespace fs = std::filesystem;

const char kPayload[] = "the written bytes\n";

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Writes the payload into the output's temporary file, as a saver does.
void Fill(const tarniff::PendingOutput& output) { WriteText(output.path(), kPayload); }

std::string ErrorOf(const std::function<void()>& doing) {
    try {
        doing();
    } catch (const tarniff::Error& error) {
        return error.what();
    }
    return "";
}

bool IsThere(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> TemporariesIn(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".tniff-") != std::string::npos) found.push_back(name);
    }
    return found;
}

void MakeOld(const std::string& path) {
    const time_t then = std::time(nullptr) - tarniff::kLeftoverAgeSeconds - 3600;
    struct timespec times[2] = {{then, 0}, {then, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// ---- Destinations that are not regular files ---------------------------------------------------

// A FIFO or a character device is written into (a reader of the FIFO gets the bytes, and the
// node stays what it is), a block device is refused before anything is made, and a link counts
// as its target, unless it is one the kernel would not follow. Nothing is left
// beside the destination or in $TMPDIR.
TEST(Outputs, ADestinationThatIsNoRegularFileIsWrittenIntoOrRefused) {
    ScratchDir scratch;
    OwnTmpdir tmp(scratch / "tmp");
    fs::create_directory(scratch / "out");
    const std::string out = scratch / "out";
    fs::create_directory(scratch / "sticky");
    chmod((scratch / "sticky").c_str(), 01777);
    const bool root = geteuid() == 0;

    enum class Gets { replaced, writtenInto, refused };
    struct Row {
        const char* what;
        std::string destination;
        std::function<bool()> make;  // false: cannot be made here (the row is skipped)
        Gets gets;
        std::string refusal;  // what the message says
        std::string target;   // the file a link stands for, checked after
    };
    const std::string planted = "/sticky/planted.png";
    const std::vector<Row> rows = {
        {"FIFO", out + "/pipe.png", [&] { return mkfifo((out + "/pipe.png").c_str(), 0644) == 0; },
         Gets::writtenInto, "", ""},
        {"character device", "/dev/null", [] { return true; }, Gets::writtenInto, "", ""},
        {"link to a device", out + "/null.png",
         [&] { return symlink("/dev/null", (out + "/null.png").c_str()) == 0; }, Gets::writtenInto,
         "", ""},
        {"block device", out + "/disk.png",
         [&] { return mknod((out + "/disk.png").c_str(), S_IFBLK | 0600, makedev(7, 250)) == 0; },
         Gets::refused, "cannot write: not a regular file (a block device)", ""},
        {"link another user planted in a sticky folder", scratch.path() + planted,
         [&] {
             WriteText(out + "/victim.png", "victim");
             return root &&
                    symlink((out + "/victim.png").c_str(), (scratch.path() + planted).c_str()) ==
                        0 &&
                    lchown((scratch.path() + planted).c_str(), 4242, 4242) == 0;
         },
         Gets::refused, "is not followed", out + "/victim.png"},
        {"own link in a sticky folder", scratch / "sticky/own.png",
         [&] {
             WriteText(out + "/mine.png", "mine");
             return symlink((out + "/mine.png").c_str(), (scratch / "sticky/own.png").c_str()) == 0;
         },
         Gets::replaced, "", out + "/mine.png"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (!row.make()) {
            std::printf("skipped row \"%s\": it cannot be made here (%s)\n", row.what,
                        std::strerror(errno));
            continue;
        }
        struct stat before;
        ASSERT_EQ(lstat(row.destination.c_str(), &before), 0);
        std::string got;
        std::thread reader;
        if (S_ISFIFO(before.st_mode)) {
            reader = std::thread([&] {
                int fd = open(row.destination.c_str(), O_RDONLY);
                char buffer[256];
                ssize_t n;
                while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
                    got.append(buffer, size_t(n));
                if (fd >= 0) close(fd);
            });
        }
        const std::string error = ErrorOf([&] {
            tarniff::PendingOutput output(row.destination);
            Fill(output);
            output.Commit();
        });
        if (reader.joinable()) {
            if (!error.empty()) {  // the reader waits for a writer: give it one that writes nothing
                int fd = open(row.destination.c_str(), O_WRONLY);
                if (fd >= 0) close(fd);
            }
            reader.join();
        }
        struct stat after;
        ASSERT_EQ(lstat(row.destination.c_str(), &after), 0) << "the destination is gone";
        switch (row.gets) {
        case Gets::replaced:
            EXPECT_EQ(error, "");
            EXPECT_EQ(ReadWhole(row.target), kPayload);
            EXPECT_EQ(S_ISLNK(after.st_mode), S_ISLNK(before.st_mode)) << "a link must stay a link";
            break;
        case Gets::writtenInto:
            EXPECT_EQ(error, "");
            EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT)
                << "replaced by another kind of file";
            EXPECT_EQ(after.st_ino, before.st_ino) << "replaced";
            if (S_ISFIFO(before.st_mode)) {
                EXPECT_EQ(got, kPayload);
            }
            if (S_ISLNK(before.st_mode)) {
                struct stat device;
                ASSERT_EQ(stat("/dev/null", &device), 0);
                EXPECT_TRUE(S_ISCHR(device.st_mode));
            }
            break;
        case Gets::refused:
            EXPECT_NE(error.find(row.refusal), std::string::npos) << error;
            EXPECT_EQ(error.compare(0, row.destination.size() + 2, row.destination + ": "), 0)
                << error;
            EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
            EXPECT_EQ(after.st_ino, before.st_ino);
            if (!row.target.empty()) {
                EXPECT_EQ(ReadWhole(row.target), "victim");
            }
            break;
        }
        EXPECT_EQ(TemporariesIn(out), std::vector<std::string>());
        EXPECT_EQ(TemporariesIn(scratch / "sticky"), std::vector<std::string>());
        EXPECT_EQ(TemporariesIn(scratch / "tmp"), std::vector<std::string>());
    }
}

// A temporary file removed under a writer's feet: the commit says so, and the destination stays.
TEST(Outputs, ACommitSaysWhenItsTemporaryFileWasRemoved) {
    ScratchDir scratch;
    WriteText(scratch / "frame.png", "old");
    tarniff::PendingOutput output(scratch / "frame.png");
    Fill(output);
    ASSERT_EQ(unlink(output.path().c_str()), 0);
    const std::string error = ErrorOf([&] { output.Commit(); });
    EXPECT_NE(error.find(": cannot finish: its temporary file " +
                         fs::path(output.path()).filename().string() +
                         " was removed while it was written"),
              std::string::npos)
        << error;
    EXPECT_EQ(ReadWhole(scratch / "frame.png"), "old");
}

// An existing output is replaced only at the commit, and then whole: the new file has the mode
// any new file gets (not the temporary file's 0600), or the mode of the file it replaces, and
// nothing is left beside it.
TEST(Outputs, ReplacesAnExistingOutputOnlyWhenDone) {
    ScratchDir scratch;
    const mode_t mask = umask(0);
    umask(mask);
    for (const mode_t old : {mode_t(0), mode_t(0640), mode_t(0604)}) {
        SCOPED_TRACE(old == 0 ? std::string("a new file") : "a file of mode " + std::to_string(old));
        const std::string out = scratch / "out.iff";
        std::remove(out.c_str());
        if (old != 0) {
            WriteText(out, "an older file");
            ASSERT_EQ(chmod(out.c_str(), old), 0);
        }
        {
            tarniff::PendingOutput output(out);
            Fill(output);
            EXPECT_EQ(ReadWhole(out), old == 0 ? "" : "an older file");
            EXPECT_EQ(IsThere(out), old != 0);
            output.Commit();
        }
        EXPECT_EQ(ReadWhole(out), kPayload);
        struct stat status;
        ASSERT_EQ(stat(out.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, old == 0 ? (0666 & ~mask) : old);
        EXPECT_EQ(scratch.Names(), (std::set<std::string>{"out.iff"}));
    }
}

// ---- Leftovers ------------------------------------------------------------------------------

// Only what is provably left over goes: a writer of this machine and PID namespace that is gone,
// or any writer's file unlocked for longer than the stated age. A live writer's file (locked),
// another namespace's fresh file, another user's, a file of another type under such a name, one
// with a second name, and names a writer of ours does not make all stay, old or not.
TEST(Leftovers, OnlyWhatIsProvablyLeftOverIsRemoved) {
    ScratchDir scratch;
    const std::string out = scratch.path();
    std::string why;
    struct Row {
        std::string what;
        std::string path;
        bool removed;
    };
    std::vector<Row> rows;
    auto leave = [&](const std::string& what, const std::string& name,
                     Writer writer) -> std::string {
        std::string path = LeaveLeftover(out + "/" + name, writer, &why);
        if (path.empty()) std::printf("skipped row \"%s\": %s\n", what.c_str(), why.c_str());
        return path;
    };
    if (std::string p = leave("gone writer here", "a.png", Writer::here); !p.empty())
        rows.push_back({"gone writer here", p, true});
    if (std::string p = leave("another PID namespace", "c.png", Writer::otherPidNamespace);
        !p.empty())
        rows.push_back({"another PID namespace, fresh", p, false});
    if (std::string p = leave("another PID namespace, old", "d.png", Writer::otherPidNamespace);
        !p.empty()) {
        MakeOld(p);
        rows.push_back({"another PID namespace, old", p, true});
    }
    if (std::string p = leave("another user's", "e.png", Writer::here); !p.empty()) {
        if (geteuid() == 0 && chown(p.c_str(), 4242, 4242) == 0) {
            MakeOld(p);
            rows.push_back({"another user's, old", p, false});
        }
    }
    for (const char* kind : {"FIFO", "link", "second name"}) {
        std::string p = leave(kind, std::string(kind).substr(0, 4) + ".png", Writer::here);
        if (p.empty()) continue;
        const std::string kept = p + ".kept";
        if (std::string(kind) == "FIFO") {
            ASSERT_EQ(unlink(p.c_str()), 0);
            ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
        } else if (std::string(kind) == "link") {
            WriteText(kept, "x");
            ASSERT_EQ(unlink(p.c_str()), 0);
            ASSERT_EQ(symlink(kept.c_str(), p.c_str()), 0);
        } else {
            ASSERT_EQ(link(p.c_str(), kept.c_str()), 0);
        }
        MakeOld(p);
        rows.push_back({std::string(kind) + " under a gone writer's name", p, false});
    }
    // Names that only look like a writer's: an old form with a process id alone, a tag that is
    // not 16 hex digits, a suffix that is not mkstemp's, a process id with a leading zero.
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    for (const std::string& name : std::vector<std::string>{
             ".notes.txt.tniff-123456-backup", ".x.tniff-99999-2024-1",
             ".f.png.tniff-" + std::to_string(gone) + "-abcdef",
             ".f.png.tniff-0123456789ABCDEF-" + std::to_string(gone) + "-abcdef",
             ".f.png.tniff-0123456789abcde-" + std::to_string(gone) + "-abcdef",
             ".f.png.tniff-0123456789abcdef-" + std::to_string(gone) + "-abc_ef",
             ".f.png.tniff-0123456789abcdef-0" + std::to_string(gone) + "-abcdef",
             ".tniff-0123456789abcdef-" + std::to_string(gone) + "-abcdef"}) {
        WriteText(out + "/" + name, "not ours");
        MakeOld(out + "/" + name);
        rows.push_back({"look-alike " + name, out + "/" + name, false});
    }
    // A writer at work here, however old its file looks: its lock is held.
    WriteText(out + "/live.png", "old");
    tarniff::PendingOutput live(out + "/live.png");
    Fill(live);
    MakeOld(live.path());
    rows.push_back({"live writer here, old", live.path(), false});

    // For one destination, then for the whole folder.
    tarniff::RemoveLeftovers(out + "/a.png");
    for (const Row& row : rows) {
        if (row.path.find("/.a.png.") != std::string::npos) {
            EXPECT_FALSE(IsThere(row.path)) << row.what;
        } else {
            EXPECT_TRUE(IsThere(row.path)) << row.what << ": removed for another destination";
        }
    }
    tarniff::RemoveLeftoversBeside({out + "/frame.png"});
    for (const Row& row : rows) EXPECT_EQ(IsThere(row.path), !row.removed) << row.what;
    live.Commit();
    EXPECT_EQ(ReadWhole(out + "/live.png"), kPayload);
}

#if defined(TNIFF_TOOL_FILE)
struct NodeRun {
    std::vector<std::string> arguments;
};
void ExecTniff(void* context) {
    const NodeRun& run = *static_cast<const NodeRun*>(context);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(TNIFF_TOOL_FILE));
    for (const std::string& argument : run.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execv(argv[0], argv.data());
    _exit(127);
}

// Two nodes of a farm write into one folder: node B, a batch in a PID namespace of its own,
// looks for leftovers while node A (this process) is writing a frame there. A's process id means
// nothing to B, so A's file must stay and A's frame must be committed.
TEST(Leftovers, ABatchInAnotherPidNamespaceKeepsAWriterAtWork) {
    ScratchDir scratch;
    std::filesystem::copy_file(std::string(TNIFF_SOURCE_DIR) + "/samples/render.iff",
                               scratch / "b.iff");
    tarniff::PendingOutput nodeA(scratch / "a.png");
    Fill(nodeA);
    NodeRun nodeB{{"convert", "--quiet", "--to", "png", "-o", scratch.path(), scratch / "b.iff"}};
    std::string why;
    const int status = RunInOtherPidNamespace(&ExecTniff, &nodeB, &why);
    if (status == -1) GTEST_SKIP() << why;
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(IsThere(scratch / "b.png")) << "node B converted nothing";
    EXPECT_TRUE(IsThere(nodeA.path())) << "node B removed node A's file in progress";
    EXPECT_EQ(ErrorOf([&] { nodeA.Commit(); }), "");
    EXPECT_EQ(ReadWhole(scratch / "a.png"), kPayload);
}
#endif

// ---- Signals ----------------------------------------------------------------------------------

void OwnHandler(int) {}

using Handler = void (*)(int);
Handler DispositionOf(int signal) {
    struct sigaction now;
    sigaction(signal, nullptr, &now);
    return now.sa_handler;
}

// Writing outputs and copies leaves the program's own handlers, defaults and ignored signals as
// they were; a program that opts in gets its temporary files removed when a signal ends it, and
// keeps ignoring what it ignored.
TEST(Signals, TheLibraryLeavesDispositionsAloneUntilAProgramOptsIn) {
    ScratchDir scratch;
    OwnTmpdir tmp(scratch / "tmp");
    const Handler saved[] = {std::signal(SIGINT, SIG_DFL), std::signal(SIGTERM, OwnHandler),
                             std::signal(SIGHUP, SIG_IGN), std::signal(SIGPIPE, SIG_DFL)};
    {
        tarniff::PendingOutput output(scratch / "a.png");
        Fill(output);
        const uint8_t bytes[] = {1, 2, 3};
        tarniff::TemporaryCopy copy(bytes, sizeof bytes, "bytes");
        output.Commit();
        tarniff::PendingOutput unfinished(scratch / "b.png");
    }
    EXPECT_EQ(DispositionOf(SIGINT), SIG_DFL);
    EXPECT_EQ(DispositionOf(SIGTERM), &OwnHandler);
    EXPECT_EQ(DispositionOf(SIGHUP), SIG_IGN);
    EXPECT_EQ(DispositionOf(SIGPIPE), SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);

    for (int which : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        SCOPED_TRACE(strsignal(which));
        pid_t child = fork();
        if (child == 0) {
            std::signal(SIGHUP, which == SIGHUP ? SIG_DFL : SIG_IGN);
            tarniff::RemoveTemporariesOnSignals();
            // What it ignored stays ignored; the rest ends it.
            if (which != SIGHUP && DispositionOf(SIGHUP) != SIG_IGN) _exit(3);
            tarniff::PendingOutput output(scratch / "c.png");
            Fill(output);
            const uint8_t bytes[] = {1, 2, 3};
            tarniff::TemporaryCopy copy(bytes, sizeof bytes, "bytes");
            raise(which);
            _exit(4);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == which) << "status " << status;
        EXPECT_EQ(TemporariesIn(scratch.path()), std::vector<std::string>());
        EXPECT_EQ(TemporariesIn(scratch / "tmp"), std::vector<std::string>());
    }
    std::signal(SIGINT, saved[0]);
    std::signal(SIGTERM, saved[1]);
    std::signal(SIGHUP, saved[2]);
    std::signal(SIGPIPE, saved[3]);
}

// ---- The copy of standard input -----------------------------------------------------------------

// Reads a copy from a child process writing into a pipe: count bytes after head, or without end
// when count is negative.
std::string CopyFromPipe(const std::string& head, long long count, uint64_t maxImageBytes,
                         uint64_t* kept) {
    int ends[2];
    if (pipe(ends) != 0) return "no pipe";
    pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        std::signal(SIGPIPE, SIG_DFL);
        std::vector<char> block(1 << 16, 0);
        if (write(ends[1], head.data(), head.size()) < 0) _exit(1);
        const long long blockSize = static_cast<long long>(block.size());
        for (long long left = count; count < 0 || left > 0; left -= blockSize) {
            const size_t piece =
                count < 0 ? block.size() : static_cast<size_t>(std::min(left, blockSize));
            if (write(ends[1], block.data(), piece) < 0) _exit(1);
        }
        _exit(0);
    }
    close(ends[1]);
    std::string error = ErrorOf([&] {
        tarniff::TemporaryCopy copy(ends[0], "standard input", maxImageBytes);
        struct stat status;
        *kept = stat(copy.path().c_str(), &status) == 0 ? uint64_t(status.st_size) : 0;
        EXPECT_EQ(fs::path(copy.path()).filename().string().rfind(".input.tniff-", 0), 0u)
            << copy.path();
    });
    close(ends[0]);
    waitpid(child, nullptr, 0);
    return error;
}

// Endless bytes of no known kind are not waited for; bytes of a known kind are kept up to the
// bound the image-size limit sets, and past it refused with nothing left behind; a copy a gone
// process left is removed by the next one, and a copy goes with its object.
TEST(StandardInput, TheCopyIsBoundedAndCleaned) {
    ScratchDir scratch;
    OwnTmpdir tmp(scratch / "tmp");
    const std::string iffHead = std::string(
        "FOR4\0\0\0\x20"
        "CIMG",
        12);
    const uint64_t limit = 1000;  // MostKeptBytes: 4 * 1000 + 64 MiB
    struct Row {
        const char* what;
        std::string head;
        long long count;  // < 0: without end
        std::string error;
        uint64_t kept;  // 0: at most one read's worth
    };
    const Row rows[] = {
        {"zeros without end", "", -1, "", 0},
        {"a file just within the bound", iffHead, (64ll << 20) + 4000 - 12, "",
         (64ull << 20) + 4000},
        {"a file past the bound", iffHead, (64ll << 20) + 4000 - 11,
         "larger than 64.00 MiB (67112864 bytes)", 0},
    };
    EXPECT_EQ(tarniff::MostKeptBytes(limit), (64ull << 20) + 4000);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        uint64_t kept = 0;
        const std::string error = CopyFromPipe(row.head, row.count, limit, &kept);
        if (row.error.empty()) {
            EXPECT_EQ(error, "");
            if (row.kept != 0)
                EXPECT_EQ(kept, row.kept);
            else
                EXPECT_TRUE(kept >= 16 && kept <= 65536) << kept;
        } else {
            EXPECT_NE(error.find("cannot keep standard input in a file: it is " + row.error),
                      std::string::npos)
                << error;
        }
        EXPECT_EQ(TemporariesIn(scratch / "tmp"), std::vector<std::string>());
    }

    std::string why;
    const std::string left = LeaveInputCopy(Writer::here, &why);
    ASSERT_FALSE(left.empty()) << why;
    const std::string otherNode = LeaveInputCopy(Writer::otherPidNamespace, &why);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "FOR4", 4), 4);
    close(ends[1]);
    {
        tarniff::TemporaryCopy next(ends[0], "standard input");
        close(ends[0]);
        EXPECT_FALSE(IsThere(left)) << "a gone process's copy stayed";
        if (!otherNode.empty()) {
            EXPECT_TRUE(IsThere(otherNode)) << "another namespace's fresh copy went";
        }
        EXPECT_TRUE(IsThere(next.path()));
    }
    std::vector<std::string> after = TemporariesIn(scratch / "tmp");
    EXPECT_EQ(after.size(), otherNode.empty() ? 0u : 1u);
}

}  // namespace
