// tniff convert with many files, run as a user runs it: every output must be byte for byte what
// the two-file form writes for the same file, a broken file must cost only itself, and no
// interrupted or failed conversion may leave a file behind.
#if defined(TNIFF_TOOL_FILE)

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
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

#include "tarniff/tarniff.h"
#include "tests/support/file_makers.h"
#include "tests/support/iff_builder.h"
#include "tests/support/leftover_maker.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_file.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using Scratch = ScratchDir;
using testfiles::WriteFile;

// An RGBA frame (with depth) of random pixels.
Bytes Frame(int width, int height, uint64_t seed, bool depth = false) {
    return testfiles::BuildIff(width, height, 4, depth, seed).bytes;
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
        RunSettings lowLimit;
        lowLimit.openFiles = limit.openFiles;
        Outcome outcome = Tniff({"convert", "-j", "4", "--to", "png", scratch / "f1.iff", scratch / "f2.iff",
                                 scratch / "f3.iff"},
                                lowLimit);
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
    WriteFile(scratch / "out/f1_depth.png", Bytes{'o', 'l', 'd'});
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
    EXPECT_EQ(scratch.Names("out"), (std::set<std::string>{"f1.png", "f1_depth.png", "f3.png", "f3_depth.png"}));
    for (const char* name : {"f1", "f3"}) {
        EXPECT_EQ(ReadWhole(scratch / ("out/" + std::string(name) + ".png")), Single(scratch, std::string(name) + ".iff", ".png"));
        Single(scratch, std::string(name) + ".iff", ".pam", {"--depth", scratch / "single-depth.png"});
        EXPECT_EQ(ReadWhole(scratch / ("out/" + std::string(name) + "_depth.png")), ReadWhole(scratch / "single-depth.png"));
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
    pid_t child = StartTniff({"convert", "-j2", "--png-level", "9", "--to", "png", "-o", scratch / "out", scratch / "f1.iff",
                         scratch / "f2.iff", scratch / "f3.iff", scratch / "f4.iff"},
                        scratch / "err");
    // Wait until a temporary file is being written, then end tniff (only tniff, not its workers).
    bool writing = false;
    for (int tries = 0; tries < 20000 && !writing; ++tries) {
        for (const std::string& name : scratch.Names("out")) writing = writing || name.find(".tniff-") != std::string::npos;
        if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(child, SIGTERM);
    EXPECT_EQ(WaitForProgram(child), 128 + SIGTERM);
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
    EXPECT_EQ(listed.out, "convert " + f1 + " -> " + out + "/f1.png and " + out + "/f1_depth.png\nconvert " + d +
                              " -> " + out + "/d.png and " + out + "/d_depth.png\n");
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
    EXPECT_EQ(scratch.Names("a/b/c"), (std::set<std::string>{"f1.png", "d.png", "d_depth.png"}));
    run.pop_back();
    Outcome again = Tniff(run);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "tniff: converted 0, failed 0, skipped 2\n");

    // Leftovers of a writer that is gone and of one at work (this process), for the output and
    // for another file, made by real writers. Both forms remove the gone writer's for their output
    // and keep the working one's; a batch looks at its output folder once and removes every gone
    // writer's there.
    tarniff::PendingOutput liveOwn(out + "/d.png"), liveOther(out + "/e.tiff");
    const std::string notOne = out + "/.input.tniff-yzABCD";  // no writer's name: kept as it is
    const struct {
        const char* form;
        std::vector<std::string> arguments;
        bool deadOtherRemoved;
    } forms[] = {
        {"many files", {"convert", "--quiet", "--overwrite", "--to", "png", "-o", out, d}, true},
        {"IN OUT", {"convert", "--quiet", d, out + "/d.png"}, false},
    };
    for (const auto& form : forms) {
        std::string why;
        const std::string deadOwn = LeaveLeftover(out + "/d.png", Writer::here, &why);
        const std::string deadOther = LeaveLeftover(out + "/e.tiff", Writer::here, &why);
        ASSERT_TRUE(!deadOwn.empty() && !deadOther.empty()) << why;
        WriteFile(notOne, Bytes{1});
        Outcome over = Tniff(form.arguments);
        ASSERT_EQ(over.status, 0) << form.form << Describe(over);
        EXPECT_FALSE(fs::exists(deadOwn)) << form.form;
        EXPECT_EQ(fs::exists(deadOther), !form.deadOtherRemoved) << form.form;
        for (const std::string& name : {liveOwn.path(), liveOther.path(), notOne}) {
            EXPECT_TRUE(fs::exists(name)) << form.form << ": " << name;
        }
    }
}

// Sets when the file was last written, in whole seconds.
void SetWritten(const std::string& path, time_t seconds) {
    const timeval times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

// Every "DIR" in text replaced by the scratch folder.
std::string InScratch(const Scratch& scratch, std::string text) {
    for (size_t at = text.find("DIR"); at != std::string::npos; at = text.find("DIR", at))
        text.replace(at, 3, scratch.path());
    return text;
}

const int kNotThere = 1 << 30;  // an output's age for an output that is not there

// Which outputs a run redoes: --update redoes the frame whose colour or depth output is older
// than the input (a re-rendered frame) and skips the rest as up to date; without it whatever is
// there is kept; --overwrite redoes everything. --dry-run says the same beforehand.
TEST(Batch, UpdateRedoesOutputsOlderThanTheirInput) {
    const struct {
        const char* name;
        const char* flag;  // "--update", "--overwrite" or ""
        int colourAge;     // seconds the output was written before the input; kNotThere
        int depthAge;
        const char* planned;  // --dry-run's first word
        const char* summary;
    } cases[] = {
        {"ReRenderedFrame", "--update", 60, 60, "update", "converted 1, failed 0, skipped 0 (up to date)"},
        {"BothNewer", "--update", -60, -60, "skip", "converted 0, failed 0, skipped 1 (up to date)"},
        {"SameSecond", "--update", 0, 0, "skip", "converted 0, failed 0, skipped 1 (up to date)"},
        {"OnlyTheDepthIsOlder", "--update", -60, 60, "update", "converted 1, failed 0, skipped 0 (up to date)"},
        {"DepthMissing", "--update", -60, kNotThere, "update", "converted 1, failed 0, skipped 0 (up to date)"},
        {"NothingThereYet", "--update", kNotThere, kNotThere, "convert",
         "converted 1, failed 0, skipped 0 (up to date)"},
        {"WithoutUpdateAnOlderOneIsKept", "", 60, 60, "skip", "converted 0, failed 0, skipped 1"},
        {"OverwriteRedoesANewerOne", "--overwrite", -60, -60, "convert", "converted 1, failed 0, skipped 0"},
    };
    const time_t rendered = 1700000000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        WriteFile(scratch / "shot.1001.iff", Frame(70, 50, 3, true));
        const std::string colour = scratch / "out/shot.1001.png", depth = scratch / "out/shot_depth.1001.png";
        fs::create_directory(scratch / "out");
        for (const auto& output : {std::make_pair(colour, c.colourAge), std::make_pair(depth, c.depthAge)}) {
            if (output.second == kNotThere) continue;
            WriteFile(output.first, Bytes{'o', 'l', 'd'});
            SetWritten(output.first, rendered - output.second);
        }
        SetWritten(scratch / "shot.1001.iff", rendered);
        std::vector<std::string> run = {"convert", "-j1", "--depth", "--to", "png", "-o", scratch / "out",
                                        scratch / "shot.1001.iff"};
        if (*c.flag != '\0') run.push_back(c.flag);
        std::vector<std::string> dry = run;
        dry.push_back("--dry-run");
        Outcome planned = Tniff(dry);
        EXPECT_EQ(planned.status, 0) << Describe(planned);
        EXPECT_EQ(planned.out.substr(0, planned.out.find(' ')), c.planned) << planned.out;

        Outcome done = Tniff(run);
        EXPECT_EQ(done.status, 0) << Describe(done);
        EXPECT_EQ(done.err, "tniff: " + std::string(c.summary) + "\n");
        const bool redone = std::string(c.planned) != "skip";
        EXPECT_EQ(ReadWhole(colour) != "old", redone);
        if (redone) {
            EXPECT_EQ(ReadWhole(colour), Single(scratch, "shot.1001.iff", ".png"));
            EXPECT_NE(ReadWhole(depth), "old");
            EXPECT_FALSE(ReadWhole(depth).empty());
        }
    }
}

// Frame patterns: '#' (one per digit, at least) and %04d; without --frames the frames that are
// there, with it the frames it names, the missing ones failed on one line; outputs named by -o,
// by --to beside the input, or by an output pattern; and command lines that make no sense.
TEST(Batch, FramePatternsAndFrameRanges) {
    Scratch scratch;
    fs::create_directory(scratch / "r");
    uint64_t seed = 1;
    // f.01003.iff is not a frame of f.####.iff (frame 1003 is f.1003.iff), nor is f.1001.bak.iff.
    for (const char* name : {"f.1001.iff", "f.1002.iff", "f.1004.iff", "f.10000.iff", "f.01003.iff", "f.1001.bak.iff"})
        WriteFile(scratch / ("r/" + std::string(name)), Frame(20, 20, seed++));
    const struct {
        const char* name;
        std::vector<std::string> arguments;  // DIR: the scratch folder
        int status;
        const char* out;  // DIR: the scratch folder
        const char* err;
    } cases[] = {
        {"HashesTakeTheFramesThatAreThere",
         {"convert", "DIR/r/f.####.iff", "--to", "png", "--dry-run"},
         0,
         "convert DIR/r/f.1001.iff -> DIR/r/f.1001.png\nconvert DIR/r/f.1002.iff -> DIR/r/f.1002.png\n"
         "convert DIR/r/f.1004.iff -> DIR/r/f.1004.png\nconvert DIR/r/f.10000.iff -> DIR/r/f.10000.png\n",
         "tniff: would convert 4, fail 0, skip 0 (nothing written: --dry-run)\n"},
        {"ARangeSaysWhichFramesAreMissing",
         {"convert", "DIR/r/f.%04d.iff", "--frames", "1001-1006", "--to", "png", "-o", "DIR/out", "--dry-run"},
         1,
         "fail DIR/r/f.%04d.iff: missing frames: 1003, 1005-1006\n"
         "convert DIR/r/f.1001.iff -> DIR/out/f.1001.png\nconvert DIR/r/f.1002.iff -> DIR/out/f.1002.png\n"
         "convert DIR/r/f.1004.iff -> DIR/out/f.1004.png\n",
         "tniff: would convert 3, fail 3, skip 0 (nothing written: --dry-run)\n"},
        {"StepsListsAndMoreDigits",
         {"convert", "DIR/r/f.####.iff", "--frames", "10000,1001-1004x3", "--to", "tif", "--depth", "--dry-run"},
         0,
         "convert DIR/r/f.1001.iff -> DIR/r/f.1001.tif and DIR/r/f_depth.1001.tif\n"
         "convert DIR/r/f.1004.iff -> DIR/r/f.1004.tif and DIR/r/f_depth.1004.tif\n"
         "convert DIR/r/f.10000.iff -> DIR/r/f.10000.tif and DIR/r/f_depth.10000.tif\n",
         "tniff: would convert 3, fail 0, skip 0 (nothing written: --dry-run)\n"},
        {"AnOutputPattern",
         {"convert", "DIR/r/f.####.iff", "DIR/png/g_%05d.tif", "--frames", "1002", "--depth", "--dry-run"},
         0,
         "convert DIR/r/f.1002.iff -> DIR/png/g_01002.tif and DIR/png/g_depth_01002.tif\n",
         "tniff: would convert 1, fail 0, skip 0 (nothing written: --dry-run)\n"},
        {"APatternThatMatchesNothing",
         {"convert", "DIR/r/x.####.iff", "--to", "png"},
         1,
         "",
         "tniff: DIR/r/x.####.iff: no file matches this frame pattern\n"},
        {"APatternThatMatchesNothingWithoutTo",
         {"convert", "DIR/r/x.####.iff", "DIR/x.####.png"},
         1,
         "",
         "tniff: DIR/r/x.####.iff: no file matches this frame pattern\n"},
        {"AnOutputThatIsNoPattern",
         {"convert", "DIR/r/f.####.iff", "DIR/f.png"},
         2,
         "",
         "tniff: DIR/f.png: the output of a frame pattern is a frame pattern too (f.####.png), or give --to TYPE\n"},
        {"FramesWithoutAPattern",
         {"convert", "DIR/r/f.1001.iff", "--frames", "1-3", "--to", "png"},
         2,
         "",
         "tniff: --frames 1-3: no frame pattern among the files (name them as frame.####.iff or frame.%04d.iff)\n"},
        {"ARangeBackwards",
         {"convert", "DIR/r/f.####.iff", "--frames", "1005-1001", "--to", "png"},
         2,
         "",
         "tniff: --frames 1005-1001: the range 1005-1001 runs backwards; give frames as 1001-1120, 1001-1120x2 or "
         "1001,1005-1010\n"},
        {"ANegativeFrame",
         {"info", "DIR/r/f.####.iff", "--frames", "-5-5"},
         2,
         "",
         "tniff: --frames -5-5: frames are numbered from 0 up; a negative frame is not one; give frames as "
         "1001-1120, 1001-1120x2 or 1001,1005-1010\n"},
        {"AStepOfNothing",
         {"convert", "DIR/r/f.####.iff", "--frames", "1-9x0", "--to", "png"},
         2,
         "",
         "tniff: --frames 1-9x0: a step is 1 or more; give frames as 1001-1120, 1001-1120x2 or 1001,1005-1010\n"},
        {"TooManyFrames",
         {"convert", "DIR/r/f.####.iff", "--frames", "0-999999999", "--to", "png"},
         2,
         "",
         "tniff: --frames 0-999999999: more than 1000000 frames; give frames as 1001-1120, 1001-1120x2 or "
         "1001,1005-1010\n"},
        {"UpdateAndOverwrite",
         {"convert", "DIR/r/f.####.iff", "--to", "png", "--update", "--overwrite"},
         2,
         "",
         "tniff: --update redoes outputs older than their input and --overwrite every output: give one of them\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments;
        for (const std::string& argument : c.arguments) arguments.push_back(InScratch(scratch, argument));
        Outcome outcome = Tniff(arguments);
        EXPECT_EQ(outcome.status, c.status) << Describe(outcome);
        EXPECT_EQ(outcome.out, InScratch(scratch, c.out));
        EXPECT_EQ(outcome.err, InScratch(scratch, c.err));
    }
    EXPECT_EQ(scratch.Names("r").size(), 6u) << "a dry run or a refused one wrote something";
    EXPECT_FALSE(fs::exists(scratch / "out"));

    // Converted for real: a missing frame fails, the others are what the two-file form writes, in
    // the folder the output pattern names (made as -o makes its folder).
    Outcome run = Tniff({"convert", "-j2", scratch / "r/f.%04d.iff", scratch / "png/g.####.png", "--frames", "1001-1003"});
    EXPECT_EQ(run.status, 1) << Describe(run);
    EXPECT_EQ(run.err, "tniff: " + (scratch / "r/f.%04d.iff") + ": missing frames: 1003\n"
                       "tniff: converted 2, failed 1, skipped 0\n");
    EXPECT_EQ(scratch.Names("png"), (std::set<std::string>{"g.1001.png", "g.1002.png"}));
    EXPECT_EQ(ReadWhole(scratch / "png/g.1002.png"), Single(scratch, "r/f.1002.iff", ".png"));
}

// The depth file's name keeps the sequence's grouping: "_depth" before the frame number (after
// '.' or '_'), or at the end of a name that has none; its type is TIFF for TIFF outputs, with
// --to's extension, and PNG for all others.
TEST(Batch, DepthFilesKeepTheSequenceGrouping) {
    const struct {
        const char* in;
        const char* to;
        const char* out;
        const char* depth;
    } cases[] = {
        {"frame.1001.iff", "png", "frame.1001.png", "frame_depth.1001.png"},
        {"shot_0042.iff", "tif", "shot_0042.tif", "shot_depth_0042.tif"},
        {"shot_0042.iff", "TIFF", "shot_0042.tiff", "shot_depth_0042.tiff"},
        {"v2.1001.iff", "pam", "v2.1001.pam", "v2_depth.1001.png"},
        {"take2.iff", "ppm", "take2.ppm", "take2_depth.png"},
        {"plate.iff", "png", "plate.png", "plate_depth.png"},
        {"1001.iff", "png", "1001.png", "1001_depth.png"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.in) + " --to " + c.to);
        Scratch scratch;
        WriteFile(scratch / c.in, Frame(70, 50, 4, true));
        Outcome run = Tniff({"convert", "--quiet", "--rgb", "--depth", "--to", c.to, scratch / c.in});
        EXPECT_EQ(run.status, 0) << Describe(run);
        EXPECT_EQ(scratch.Names(), (std::set<std::string>{c.in, c.out, c.depth}));
        const std::string depth = ReadWhole(scratch / c.depth);
        const bool tiff = std::string(c.depth).find(".tif") != std::string::npos;
        EXPECT_EQ(depth.substr(0, 4), tiff ? std::string("II*\0", 4) : "\x89PNG") << c.depth;
    }
}

// A file without depth under --depth: both forms write its colour image with a note and no
// depth file; a file with depth gets both, the same bytes in both forms.
TEST(Batch, DepthOfAFileWithoutOneAsTheTwoFileFormDoesIt) {
    const struct {
        const char* form;
        bool manyFiles;
        bool hasDepth;
    } cases[] = {
        {"IN OUT without depth", false, false},
        {"many without depth", true, false},
        {"IN OUT with depth", false, true},
        {"many with depth", true, true},
    };
    std::string depthBytes;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        Scratch scratch;
        WriteFile(scratch / "c.0001.iff", Frame(70, 50, 8, c.hasDepth));
        fs::create_directory(scratch / "out");
        const std::vector<std::string> arguments =
            c.manyFiles ? std::vector<std::string>{"convert", "--depth", "--to", "png", "-o", scratch / "out",
                                                   scratch / "c.0001.iff"}
                        : std::vector<std::string>{"convert", scratch / "c.0001.iff", scratch / "out/c.0001.png",
                                                   "--depth", scratch / "out/c_depth.0001.png"};
        Outcome run = Tniff(arguments);
        EXPECT_EQ(run.status, 0) << Describe(run);
        const std::string note = c.hasDepth ? "" : "tniff: note: " + (scratch / "c.0001.iff") +
                                                       ": the file has no depth buffer; only its colour image is written\n";
        EXPECT_EQ(run.err, note + (c.manyFiles ? "tniff: converted 1, failed 0, skipped 0\n" : ""));
        const std::set<std::string> written =
            c.hasDepth ? std::set<std::string>{"c.0001.png", "c_depth.0001.png"} : std::set<std::string>{"c.0001.png"};
        EXPECT_EQ(scratch.Names("out"), written);
        EXPECT_EQ(ReadWhole(scratch / "out/c.0001.png"), Single(scratch, "c.0001.iff", ".png"));
        if (c.hasDepth) {
            const std::string bytes = ReadWhole(scratch / "out/c_depth.0001.png");
            EXPECT_FALSE(bytes.empty());
            if (depthBytes.empty()) {
                depthBytes = bytes;
            } else {
                EXPECT_EQ(bytes, depthBytes) << "the two forms wrote different depth files";
            }
        }
    }
}

// Waits for a tniff run, for at most a minute: a run that waits for ever (on a FIFO) is ended and
// fails the test rather than hanging it.
int WaitAtMostAMinute(pid_t child) {
    for (int tries = 0; tries < 6000; ++tries) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(child, SIGKILL);
    WaitForProgram(child);
    return -1;
}

// A FIFO named as an input is refused at once, never opened (its open would wait for a writer
// for ever), by every command and in a batch among other files; a FIFO named as an output with a
// reader gets the whole file and stays a FIFO; and a copy of standard input goes when a run is
// ended while reading it.
TEST(Batch, FifosAreRefusedAsInputsAndWrittenIntoAsOutputs) {
    Scratch scratch;
    MakeFrames(scratch);
    const std::string fifo = scratch / "fifo.iff", pipe = scratch / "pipe.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    const std::string refused = "tniff: " + fifo + ": cannot open: not a regular file\n";
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        int status;
        std::string err;
        std::set<std::string> made;
        std::string out = "";
    } rows[] = {
        {"info", {"info", fifo}, 1, refused, {}},
        // --brief gives every file its line on stdout
        {"info --brief", {"info", "--brief", fifo}, 1, "", {}, refused.substr(7)},
        {"info --json", {"info", "--json", fifo}, 1, refused, {}},
        {"convert", {"convert", fifo, scratch / "out.png"}, 1, refused, {}},
        {"a batch", {"convert", "--to", "png", scratch / "f1.iff", fifo, scratch / "f3.iff"}, 1,
         refused + "tniff: converted 2, failed 1, skipped 0\n", {"f1.png", "f3.png"}},
        {"into a FIFO", {"convert", scratch / "f1.iff", pipe}, 0, "", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::set<std::string> before = scratch.Names();
        std::string got;
        std::thread reader;
        if (row.arguments.back() == pipe) {
            reader = std::thread([&] { got = ReadWhole(pipe); });
        }
        const int status = WaitAtMostAMinute(StartTniff(row.arguments, scratch / "err", scratch / "stdout"));
        if (reader.joinable()) {
            if (status != 0) {  // the reader still waits for a writer
                int fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) close(fd);
            }
            reader.join();
            EXPECT_EQ(got, Single(scratch, "f1.iff", ".png"));
        }
        std::set<std::string> expected = before;
        expected.insert(row.made.begin(), row.made.end());
        ASSERT_NE(status, -1) << "tniff waited for ever";
        EXPECT_EQ(status, row.status) << ReadWhole(scratch / "err");
        EXPECT_EQ(ReadWhole(scratch / "err"), row.err);
        if (!row.out.empty()) {
            EXPECT_EQ(ReadWhole(scratch / "stdout"), row.out);
        }
        std::remove((scratch / "err").c_str());
        std::remove((scratch / "stdout").c_str());
        EXPECT_EQ(scratch.Names(), expected);
        for (const std::string& name : row.made) std::remove((scratch / name).c_str());
    }
    struct stat status;
    ASSERT_EQ(lstat(pipe.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode)) << "the output FIFO was replaced";

    // convert - ended while it reads standard input: its copy in $TMPDIR goes with it.
    fs::create_directory(scratch / "tmp");
    setenv("TMPDIR", (scratch / "tmp").c_str(), 1);
    const std::string feed = scratch / "feed";
    ASSERT_EQ(mkfifo(feed.c_str(), 0644), 0);
    pid_t child = fork();
    if (child == 0) {
        int in = open(feed.c_str(), O_RDONLY);
        int err = open((scratch / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || err < 0) _exit(125);
        dup2(in, 0);
        dup2(err, 2);
        execl(TNIFF_TOOL_FILE, TNIFF_TOOL_FILE, "convert", "-", (scratch / "out.png").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    unsetenv("TMPDIR");
    int writer = open(feed.c_str(), O_WRONLY);
    const std::string start = ReadWhole(scratch / "f1.iff").substr(0, 100);
    ASSERT_EQ(write(writer, start.data(), start.size()), ssize_t(start.size()));
    bool copying = false;
    for (int tries = 0; tries < 20000 && !copying; ++tries) {
        for (const std::string& name : scratch.Names("tmp"))
            copying = copying || name.rfind(".input.tniff-", 0) == 0;
        if (!copying) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(child, SIGTERM);
    EXPECT_EQ(WaitAtMostAMinute(child), 128 + SIGTERM);
    close(writer);
    EXPECT_TRUE(copying) << "no copy of standard input was seen";
    EXPECT_EQ(scratch.Names("tmp"), std::set<std::string>());
}

}  // namespace

#endif  // TNIFF_TOOL_FILE
