// tniff convert with many files, run as a user runs it: every output must be byte for byte what
// the two-file form writes for the same file, a broken file must cost only itself, and no
// interrupted or failed conversion may leave a file behind.
#if defined(TNIFF_TOOL_FILE)

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/iff_builder.h"
#include "tests/support/temp_file.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Outcome {
    int status = -1;  // 128 + n for a program killed by signal n
    std::string err;
    std::string out;
};

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

using Scratch = ScratchDir;

// Starts tniff with stderr to a file; stdout is dropped unless outPath names a file for it (the
// batch form writes nothing there but for --dry-run).
// openFiles, when given, is the limit of open files tniff starts under (with nothing open but
// its standard streams).
pid_t Start(const std::vector<std::string>& arguments, const std::string& errPath,
            const std::string& outPath = "/dev/null", rlim_t openFiles = RLIM_INFINITY) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(TNIFF_TOOL_FILE));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_RDWR);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || null < 0 || out < 0) _exit(125);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (openFiles != RLIM_INFINITY) {
            close_range(3, ~0u, 0);
            struct rlimit limit = {openFiles, openFiles};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

int Wait(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Outcome Tniff(const std::vector<std::string>& arguments, rlim_t openFiles = RLIM_INFINITY) {
    std::string errPath = (fs::temp_directory_path() / ("tniff_batch_err_" + std::to_string(getpid()))).string();
    const std::string outPath = errPath + "_out";
    Outcome outcome;
    outcome.status = Wait(Start(arguments, errPath, outPath, openFiles));
    outcome.err = ReadWhole(errPath);
    outcome.out = ReadWhole(outPath);
    std::remove(errPath.c_str());
    std::remove(outPath.c_str());
    return outcome;
}

std::string Describe(const Outcome& outcome) { return "status " + std::to_string(outcome.status) + "\n" + outcome.err; }

Bytes Frame(int width, int height, uint64_t seed, bool depth = false) {
    iffbuild::FileSpec layout;
    layout.image = iffbuild::Image::Blank(uint32_t(width), uint32_t(height), 4, depth);
    layout.image.FillRandom(seed, 6);
    if (depth) layout.image.FillRandomDepth(seed + 1);
    return iffbuild::BuildFile(layout).bytes;
}

// Three good frames and, between them, one cut short.
void MakeFrames(const Scratch& scratch, bool depth = false) {
    for (int i = 1; i <= 3; ++i) WriteFile(scratch / ("f" + std::to_string(i) + ".iff"), Frame(90, 70, uint64_t(i), depth));
    Bytes good = Frame(90, 70, 9, depth);
    WriteFile(scratch / "f2x.iff", Bytes(good.begin(), good.begin() + std::ptrdiff_t(good.size() / 2)));
}

// What the two-file form writes for in.
std::string Single(const Scratch& scratch, const std::string& in, const std::string& extension,
                   const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"convert", scratch / in, scratch / ("single" + extension)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    Outcome outcome = Tniff(arguments);
    EXPECT_EQ(outcome.status, 0) << Describe(outcome);
    std::string bytes = ReadWhole(scratch / ("single" + extension));
    std::remove((scratch / ("single" + extension)).c_str());
    EXPECT_FALSE(bytes.empty());
    return bytes;
}

const char kTruncated[] = "f2x.iff: truncated: the module read only 0 of the 4 colour tiles that the file's header "
                          "announces (use --partial to convert what there is)\n";

TEST(Batch, ABrokenFileCostsOnlyItselfUnlessToldToStop) {
    for (const char* jobs : {"1", "2", "3"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        Scratch scratch;
        MakeFrames(scratch);
        Outcome outcome = Tniff({"convert", "-j", jobs, "--to", "png", scratch / "f1.iff", scratch / "f2.iff",
                                 scratch / "f2x.iff", scratch / "f3.iff"});
        EXPECT_EQ(outcome.status, 1) << Describe(outcome);
        EXPECT_EQ(outcome.err, "tniff: " + (scratch / kTruncated) + "tniff: converted 3, failed 1, skipped 0\n");
        EXPECT_EQ(scratch.Names(), (std::set<std::string>{"f1.iff", "f2.iff", "f2x.iff", "f3.iff", "f1.png", "f2.png",
                                                          "f3.png"}));
        for (const char* name : {"f1", "f2", "f3"}) {
            EXPECT_EQ(ReadWhole(scratch / (std::string(name) + ".png")), Single(scratch, std::string(name) + ".iff", ".png"))
                << name;
        }
    }
    Scratch scratch;
    MakeFrames(scratch);
    Outcome stopped = Tniff({"convert", "--stop-on-error", "-j1", "--to", "pam", scratch / "f1.iff",
                             scratch / "f2x.iff", scratch / "f2.iff", scratch / "f3.iff"});
    EXPECT_EQ(stopped.status, 1) << Describe(stopped);
    EXPECT_EQ(stopped.err, "tniff: " + (scratch / kTruncated) +
                               "tniff: converted 1, failed 1, skipped 0; stopped at the first failure, 2 not "
                               "converted\n");
    EXPECT_EQ(scratch.Names(), (std::set<std::string>{"f1.iff", "f2.iff", "f2x.iff", "f3.iff", "f1.pam"}));
}

// Too few file descriptors for the processes asked for: the batch runs with those that start, or
// in tniff itself, says so, and converts every file as it would have.
TEST(Batch, ALowLimitOfOpenFilesRunsFewerProcessesAndSaysSo) {
    // tniff holds its 3 standard streams and 2 for signals; a process takes 6 while it starts, of
    // which tniff keeps 3. Three files take three processes of the four asked for.
    const struct {
        rlim_t openFiles;
        const char* how;  // empty: no note
    } kLimits[] = {{8, "converting in this process, one file at a time"},
                   {10, "converting in this process, one file at a time"},
                   {11, "converting with 1 process, not 3"},
                   {13, "converting with 1 process, not 3"},
                   {14, "converting with 2 processes, not 3"},
                   {17, ""}};
    for (const auto& limit : kLimits) {
        SCOPED_TRACE("at most " + std::to_string(limit.openFiles) + " open files");
        Scratch scratch;
        MakeFrames(scratch);
        std::remove((scratch / "f2x.iff").c_str());
        Outcome outcome = Tniff({"convert", "-j", "4", "--to", "png", scratch / "f1.iff", scratch / "f2.iff",
                                 scratch / "f3.iff"},
                                limit.openFiles);
        EXPECT_EQ(outcome.status, 0) << Describe(outcome);
        const std::string note =
            *limit.how != '\0' ? std::string("tniff: note: cannot make a pipe: Too many open files; ") + limit.how + "\n"
                                : "";
        EXPECT_EQ(outcome.err, note + "tniff: converted 3, failed 0, skipped 0\n");
        for (const char* name : {"f1", "f2", "f3"}) {
            EXPECT_EQ(ReadWhole(scratch / (std::string(name) + ".png")), Single(scratch, std::string(name) + ".iff", ".png"))
                << name;
        }
    }
}

// Into another folder with each depth buffer beside its output; what is there is skipped until
// --overwrite; and back to .iff.
TEST(Batch, IntoAFolderSkippingWhatIsThereUntilOverwrite) {
    Scratch scratch;
    MakeFrames(scratch, true);
    fs::create_directory(scratch / "out");
    WriteFile(scratch / "out/f1.png", Bytes{'o', 'l', 'd'});
    WriteFile(scratch / "out/f1-depth.png", Bytes{'o', 'l', 'd'});
    std::vector<std::string> run = {"convert", scratch / "f1.iff", scratch / "f3.iff", "--depth", "--to", "png",
                                    "-o", scratch / "out"};
    Outcome first = Tniff(run);
    ASSERT_EQ(first.status, 0) << Describe(first);
    EXPECT_EQ(first.err, "tniff: converted 1, failed 0, skipped 1\n");
    EXPECT_EQ(ReadWhole(scratch / "out/f1.png"), "old");
    run.insert(run.begin(), "--quiet");
    run.push_back("--overwrite");
    Outcome again = Tniff(run);
    ASSERT_EQ(again.status, 0) << Describe(again);
    EXPECT_EQ(again.err, "");  // quiet: no summary
    EXPECT_EQ(scratch.Names("out"), (std::set<std::string>{"f1.png", "f1-depth.png", "f3.png", "f3-depth.png"}));
    for (const char* name : {"f1", "f3"}) {
        EXPECT_EQ(ReadWhole(scratch / ("out/" + std::string(name) + ".png")), Single(scratch, std::string(name) + ".iff", ".png"));
        Single(scratch, std::string(name) + ".iff", ".pam", {"--depth", scratch / "single-depth.png"});
        EXPECT_EQ(ReadWhole(scratch / ("out/" + std::string(name) + "-depth.png")), ReadWhole(scratch / "single-depth.png"));
    }

    Outcome back = Tniff({"convert", "--to", "iff", scratch / "out/f1.png", scratch / "out/f3.png"});
    ASSERT_EQ(back.status, 0) << Describe(back);
    EXPECT_EQ(ReadWhole(scratch / "out/f1.iff"), Single(scratch, "out/f1.png", ".iff"));
}

// Which form a command line is, and outputs that would replace inputs. With --to, the files
// named are inputs however many a pattern finds, and no input is ever replaced.
TEST(Batch, FormsAndOutputsThatWouldReplaceInputs) {
    Scratch scratch;
    MakeFrames(scratch);
    auto clash = [&](const std::string& out, const std::string& in) {
        return "tniff: " + (scratch / out) + ": the output of " + (scratch / in) +
               " would replace an input; write elsewhere with -o DIR\n";
    };
    // Two .iff files and --to png: two inputs.
    Outcome two = Tniff({"convert", scratch / "f1.iff", scratch / "f2.iff", "--to", "png"});
    ASSERT_EQ(two.status, 0) << Describe(two);
    EXPECT_TRUE(fs::exists(scratch / "f1.png") && fs::exists(scratch / "f2.png"));
    // Two frames to their own type: two inputs too, each of which its output would replace.
    const std::string f2 = ReadWhole(scratch / "f2.iff");
    Outcome same = Tniff({"convert", scratch / "f1.iff", scratch / "f2.iff", "--to", "iff"});
    EXPECT_EQ(same.status, 1) << Describe(same);
    EXPECT_EQ(same.err,
              clash("f1.iff", "f1.iff") + clash("f2.iff", "f2.iff") + "tniff: converted 0, failed 2, skipped 0\n");
    EXPECT_TRUE(ReadWhole(scratch / "f2.iff") == f2) << "f2.iff was replaced";
    Outcome elsewhere =
        Tniff({"convert", scratch / "f1.iff", scratch / "f2.iff", "--to", "iff", "-o", scratch / "out"});
    ASSERT_EQ(elsewhere.status, 0) << Describe(elsewhere);
    EXPECT_EQ(scratch.Names("out"), (std::set<std::string>{"f1.iff", "f2.iff"}));
    EXPECT_EQ(ReadWhole(scratch / "out/f2.iff"), Single(scratch, "f2.iff", ".iff"));
    // An OUT named with --to is one more input.
    Outcome named = Tniff({"convert", scratch / "f3.iff", scratch / "other.png", "--to", "png"});
    EXPECT_EQ(named.status, 1) << Describe(named);
    EXPECT_EQ(named.err, "tniff: " + (scratch / "other.png") + ": no such file; with --to every file named is an input "
                         "(for IN OUT leave out --to)\ntniff: converted 1, failed 1, skipped 0\n");
    EXPECT_EQ(ReadWhole(scratch / "f3.png"), Single(scratch, "f3.iff", ".png"));

    // f1.png to f1.iff would replace the input f1.iff; f1.iff to itself likewise.
    Outcome clashes = Tniff({"convert", "--overwrite", "--to", "iff", scratch / "f1.png", scratch / "f1.iff"});
    EXPECT_EQ(clashes.status, 1) << Describe(clashes);
    EXPECT_EQ(clashes.err,
              clash("f1.iff", "f1.png") + clash("f1.iff", "f1.iff") + "tniff: converted 0, failed 2, skipped 0\n");

    Outcome noType = Tniff({"convert", "-o", scratch / "out", scratch / "f1.iff"});
    EXPECT_EQ(noType.status, 2);
    EXPECT_EQ(noType.err, "tniff: converting many files needs --to TYPE: each file's output type (see tniff convert "
                          "--help)\n");
}

// Ended by a signal while writing: the workers stop too, and no output or temporary file is left.
TEST(Batch, InterruptedBatchLeavesNothingBehind) {
    Scratch scratch;
    const Bytes big = Frame(1200, 1200, 5);  // random pixels: long enough a write to be caught in
    for (int i = 1; i <= 4; ++i) WriteFile(scratch / ("f" + std::to_string(i) + ".iff"), big);
    fs::create_directory(scratch / "out");
    pid_t child = Start({"convert", "-j2", "--png-level", "9", "--to", "png", "-o", scratch / "out", scratch / "f1.iff",
                         scratch / "f2.iff", scratch / "f3.iff", scratch / "f4.iff"},
                        scratch / "err");
    // Wait until a temporary file is being written, then end tniff (only tniff, not its workers).
    bool writing = false;
    for (int tries = 0; tries < 20000 && !writing; ++tries) {
        for (const std::string& name : scratch.Names("out")) writing = writing || name.find(".tniff-") != std::string::npos;
        if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(child, SIGTERM);
    EXPECT_EQ(Wait(child), 128 + SIGTERM);
    ASSERT_TRUE(writing) << ReadWhole(scratch / "err");
    // What was done so far is said before the run ends.
    EXPECT_NE(ReadWhole(scratch / "err").find("; interrupted by Terminated, "), std::string::npos)
        << ReadWhole(scratch / "err");
    for (const std::string& name : scratch.Names("out")) {
        EXPECT_EQ(name.find(".tniff-"), std::string::npos) << name;
    }
}

// What a render farm's batch needs around the conversions: --dry-run writes nothing and says
// what would be done; -o makes the folders missing; a frame named twice is converted once; a frame
// without depth under --depth gets its colour image and a note, and the next run skips it;
// --verbose says each file; and what a killed run left beside an output (its process gone) is
// removed by the next run for that output (a batch: for its output folder), while a running
// writer's file stays.
TEST(Batch, WhatAFarmNeedsAroundTheConversions) {
    Scratch scratch;
    MakeFrames(scratch);
    WriteFile(scratch / "d.iff", Frame(90, 70, 7, true));
    const std::string out = scratch / "a/b/c";
    const std::string f1 = scratch / "f1.iff", d = scratch / "d.iff";
    std::vector<std::string> run = {"convert", "-j1", "--depth", "--to", "png", "-o", out, f1, d, f1};

    std::vector<std::string> dry = run;
    dry.push_back("--dry-run");
    Outcome listed = Tniff(dry);
    ASSERT_EQ(listed.status, 0) << Describe(listed);
    EXPECT_EQ(listed.out, "convert " + f1 + " -> " + out + "/f1.png and " + out + "/f1-depth.png\nconvert " + d +
                              " -> " + out + "/d.png and " + out + "/d-depth.png\n");
    EXPECT_EQ(listed.err, "tniff: would convert 2, fail 0, skip 0 (nothing written: --dry-run)\n");
    EXPECT_FALSE(fs::exists(scratch / "a"));

    run.push_back("--verbose");
    Outcome first = Tniff(run);
    ASSERT_EQ(first.status, 0) << Describe(first);
    for (const std::string& line :
         {"tniff: note: " + f1 + ": the file has no depth buffer; only its colour image is written\n",
          "tniff: converted " + f1 + " to " + out + "/f1.png\n", "tniff: converted " + d + " to " + out + "/d.png\n"}) {
        EXPECT_NE(first.err.find(line), std::string::npos) << line << Describe(first);
    }
    EXPECT_NE(first.err.find("tniff: converted 2, failed 0, skipped 0\n"), std::string::npos) << Describe(first);
    EXPECT_EQ(scratch.Names("a/b/c"), (std::set<std::string>{"f1.png", "d.png", "d-depth.png"}));
    run.pop_back();
    Outcome again = Tniff(run);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "tniff: converted 0, failed 0, skipped 2\n");

    // Leftovers of a process that is gone and of one that runs (this one), for the output and for
    // another file. Both forms remove the gone writer's for their output and keep the running
    // one's; a batch looks at its output folder once and removes every gone writer's there.
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    Wait(gone);
    const std::string deadOwn = ".d.png.tniff-" + std::to_string(gone) + "-abcdef";
    const std::string liveOwn = ".d.png.tniff-" + std::to_string(getpid()) + "-ghijkl";
    const std::string deadOther = ".e.tiff.tniff-" + std::to_string(gone) + "-mnopqr";
    const std::string liveOther = ".e.tiff.tniff-" + std::to_string(getpid()) + "-stuvwx";
    const std::string notOne = ".input.tniff-yzABCD";  // a kept standard input: no process id
    const struct {
        const char* form;
        std::vector<std::string> arguments;
        bool deadOtherRemoved;
    } forms[] = {
        {"many files", {"convert", "--quiet", "--overwrite", "--to", "png", "-o", out, d}, true},
        {"IN OUT", {"convert", "--quiet", d, out + "/d.png"}, false},
    };
    for (const auto& form : forms) {
        for (const std::string& name : {deadOwn, liveOwn, deadOther, liveOther, notOne}) {
            WriteFile(out + "/" + name, Bytes{1});
        }
        Outcome over = Tniff(form.arguments);
        ASSERT_EQ(over.status, 0) << form.form << Describe(over);
        EXPECT_FALSE(fs::exists(out + "/" + deadOwn)) << form.form;
        EXPECT_EQ(fs::exists(out + "/" + deadOther), !form.deadOtherRemoved) << form.form;
        for (const std::string& name : {liveOwn, liveOther, notOne}) {
            EXPECT_TRUE(fs::exists(out + "/" + name)) << form.form << ": " << name;
        }
    }
}

}  // namespace

#endif  // TNIFF_TOOL_FILE
