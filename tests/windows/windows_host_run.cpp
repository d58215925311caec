// The Windows run: our host of the plug-in interface, built as a Windows program, loads the
// module file with LoadLibrary and GetProcAddress as an editor does, and drives it on real
// Windows file handles (_lopen/_lcreat, which the module reads and writes with _lread, _lwrite
// and _llseek) and, when the host offers no handle suite, on the module's own GlobalAlloc
// handles. Dialogs and message boxes are real windows, read and closed by a WindowWatch.
//
//     windows_host_run.exe MODULE WORKDIR          run every check, one line each
//     windows_host_run.exe --show about MODULE MS  show the About box for MS milliseconds
//     windows_host_run.exe --show alert MODULE MS  show the host-insufficient alert
//
// Each check prints "PASS: wine: ...", "FAIL: wine: ..." or "SKIP: wine: ..." (a check of reading
// or saving while that part of the module does not exist yet: it is detected, not assumed).
// Exit status 1 when any check failed.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/module_loader.h"
#include "tests/support/iff_builder.h"
#include "tests/support/raw_record_host.h"
#include "tests/windows/window_watch.h"

namespace {

// ---- Reporting ----------------------------------------------------------------------------------

int gPassed = 0;
int gFailed = 0;
int gSkipped = 0;

void Pass(const std::string& name) {
    ++gPassed;
    std::printf("PASS: wine: %s\n", name.c_str());
}

void Fail(const std::string& name, const std::string& why) {
    ++gFailed;
    std::printf("FAIL: wine: %s: %s\n", name.c_str(), why.c_str());
}

void Skip(const std::string& name, const std::string& why) {
    ++gSkipped;
    std::printf("SKIP: wine: %s: %s\n", name.c_str(), why.c_str());
}

// A check collects what went wrong; it passes when nothing did.
struct Outcome {
    std::vector<std::string> problems;
    void Expect(bool ok, const std::string& what) {
        if (!ok) problems.push_back(what);
    }
};

void Report(const std::string& name, const Outcome& outcome) {
    if (outcome.problems.empty()) {
        Pass(name);
        return;
    }
    std::string why;
    for (size_t i = 0; i < outcome.problems.size() && i < 4; ++i) {
        why += (i ? "; " : "") + outcome.problems[i];
    }
    if (outcome.problems.size() > 4) why += "; ...";
    Fail(name, why);
}

// Violations a Host passes on when it goes: leaks, double frees, bad hand-overs.
std::vector<tniff::Violation> gUnclaimed;
void CollectProblems(const std::vector<tniff::Violation>& problems) {
    gUnclaimed.insert(gUnclaimed.end(), problems.begin(), problems.end());
}

// Runs body with a fresh Host and adds to the outcome whatever that Host held against the module.
void WithHost(PluginEntryProc entry, const tniff::HostSetup& setup, Outcome* outcome,
              const std::function<void(tniff::Host&)>& body) {
    gUnclaimed.clear();
    {
        tniff::Host host(entry, setup);
        body(host);
    }
    if (!gUnclaimed.empty()) {
        outcome->Expect(false, "host saw " + tniff::DescribeViolations(gUnclaimed));
    }
    gUnclaimed.clear();
}

std::string Code(int value) { return std::to_string(value); }

// ---- Files and images ---------------------------------------------------------------------------

std::string gWorkDir;

std::string WorkPath(const std::string& name) { return gWorkDir + "\\" + name; }

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(f);
    return bytes;
}

uint32_t BigEndian32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

// A picture with flat stretches and noise, so that files hold both run-length and raw tiles.
tniff::Image TestImage(int width, int height, int planes, uint32_t seed) {
    tniff::Image image(width, height, planes);
    uint32_t state = seed * 2654435761u + 1;
    for (int p = 0; p < planes; ++p) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                bool flat = ((x / 24) + (y / 16) + p) % 3 == 0;
                image.at(p, y, x) = flat ? static_cast<uint8_t>(p * 60 + y / 16)
                                         : static_cast<uint8_t>(state >> 24);
            }
        }
    }
    return image;
}

// What a host gets back on opening the file saved from image: three colour planes (a gray
// image's one plane three times), then alpha when the image had a second (gray) or fourth
// (colour) plane; a fifth plane is not saved.
tniff::Image ExpectedReadBack(const tniff::Image& saved) {
    int planes = saved.planes();
    bool gray = planes <= 2;
    bool alpha = planes == 2 || planes >= 4;
    tniff::Image out(saved.width(), saved.height(), alpha ? 4 : 3, plugInModeRGBColor);
    for (int y = 0; y < saved.height(); ++y) {
        for (int x = 0; x < saved.width(); ++x) {
            for (int c = 0; c < 3; ++c) out.at(c, y, x) = saved.at(gray ? 0 : c, y, x);
            if (alpha) out.at(3, y, x) = saved.at(gray ? 1 : 3, y, x);
        }
    }
    return out;
}

void ExpectSameImage(Outcome* o, const tniff::Image& got, const tniff::Image& want,
                     const std::string& what) {
    if (got.width() != want.width() || got.height() != want.height() || got.planes() != want.planes()) {
        o->Expect(false, what + ": opened " + Code(got.width()) + "x" + Code(got.height()) + "x" +
                             Code(got.planes()) + ", expected " + Code(want.width()) + "x" +
                             Code(want.height()) + "x" + Code(want.planes()));
        return;
    }
    o->Expect(got.mode() == want.mode(), what + ": mode " + Code(got.mode()) + ", expected " + Code(want.mode()));
    for (int p = 0; p < want.planes(); ++p) {
        for (int y = 0; y < want.height(); ++y) {
            for (int x = 0; x < want.width(); ++x) {
                if (got.at(p, y, x) != want.at(p, y, x)) {
                    o->Expect(false, what + ": plane " + Code(p) + " row " + Code(y) + " column " +
                                         Code(x) + " is " + Code(got.at(p, y, x)) + ", expected " +
                                         Code(want.at(p, y, x)));
                    return;
                }
            }
        }
    }
}

// ---- What of the module exists yet --------------------------------------------------------------

// A part counts as not built yet only on the exact signs of its placeholder: FilterFile refusing
// a well-formed file as not of the format, an open that ends without error and without a single
// tile, a save that ends without error having asked for no pixels and written no byte. Any other
// outcome means the part is there, and its checks run (and fail when it misbehaves).
struct Abilities {
    bool reading = false;
    bool saving = false;
    std::string readingWhy;
    std::string savingWhy;
};

Abilities Probe(PluginEntryProc entry) {
    Abilities a;
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(5, 3, 3);
    fileSpec.image.FillRandom(3);
    std::string probe = WorkPath("probe-read.iff");
    WriteBytes(probe, iffbuild::BuildFile(fileSpec).bytes);
    a.reading = true;
    {
        tniff::Host host(entry);
        OSErr filtered = host.OpenFile(probe, tniff::HostFile::Mode::read) ? host.Call(formatSelectorFilterFile) : OSErr(noErr);
        host.CloseFile();
        if (filtered == formatCannotRead) {
            a.reading = false;
            a.readingWhy = "reading is not built yet (FilterFile refuses a well-formed file)";
        }
    }
    if (a.reading) {
        tniff::Host host(entry);
        if (host.Open(probe) == noErr && host.handOvers().empty()) {
            a.reading = false;
            a.readingWhy = "reading is not built yet (an open of a well-formed file delivers no tile)";
        }
    }
    {
        tniff::Host host(entry);
        std::string path = WorkPath("probe-save.iff");
        OSErr result = host.Save(TestImage(5, 3, 3, 1), path);
        a.saving = !(result == noErr && host.counts().advanceStates == 0 && ReadBytes(path).empty());
        if (!a.saving) a.savingWhy = "saving is not built yet (a save asks for no pixels and writes no byte)";
    }
    gUnclaimed.clear();
    return a;
}

// ---- The checks ---------------------------------------------------------------------------------

void CheckAbout(PluginEntryProc entry) {
    const std::string name = "About (selector 0): dialog 105 with the 304 x 400 picture and a default OK button below it";
    Outcome o;
    WindowWatch watch;
    o.Expect(watch.installed(), "cannot watch windows (no hook)");
    WithHost(entry, tniff::HostSetup(), &o, [&](tniff::Host& host) {
        const int16_t preset = 12345;
        OSErr result = host.Call(formatSelectorAbout, preset);
        o.Expect(result == preset, "result word " + Code(result) + ", the host had set " + Code(preset));
        o.Expect(host.dataWord() == 0, "the data word is no longer 0");
    });
    o.Expect(watch.shown().size() == 1, Code(static_cast<int>(watch.shown().size())) + " dialogs shown");
    if (!watch.shown().empty()) {
        const ShownDialog& d = watch.shown()[0];
        o.Expect(d.hasOkButton && d.okText == "OK" && d.okIsDefault, "no default OK button (\"" + d.okText + "\")");
        o.Expect(d.hasPicture, "no bitmap picture");
        o.Expect(d.pictureWidth == 304 && d.pictureHeight == 400,
                 "picture " + Code(d.pictureWidth) + " x " + Code(d.pictureHeight));
        o.Expect(d.caption.empty(), "caption \"" + d.caption + "\"");
        // Laid out in MS Sans Serif 8, the picture fills the top of the dialog and the OK button
        // sits whole below it.
        const RECT& c = d.client;
        const RECT& b = d.okRect;
        o.Expect(b.left >= c.left && b.right <= c.right && b.top >= c.top && b.bottom <= c.bottom,
                 "the OK button (" + Code(b.left) + "," + Code(b.top) + ")-(" + Code(b.right) + "," + Code(b.bottom) +
                     ") is not inside the dialog's " + Code(c.right) + " x " + Code(c.bottom) + " client area");
        o.Expect(b.top >= d.pictureRect.bottom, "the OK button overlaps the picture");
    }
    Report(name, o);
}

// The state record in the module's own handles: movable global memory, kept between calls.
void CheckFallbackStateRecord(PluginEntryProc entry) {
    const std::string name = "no handle suite: the state record lives in GlobalAlloc memory across calls";
    Outcome o;
    tniff::HostSetup setup;
    setup.handleSuite = false;
    WithHost(entry, setup, &o, [&](tniff::Host& host) {
        OSErr first = host.Call(formatSelectorOptionsPrepare);
        intptr_t word = host.dataWord();
        o.Expect(first == noErr, "first call gives " + Code(first));
        o.Expect(word != 0, "no state handle in the data word");
        if (word == 0) return;
        // The handle is the locked address of a movable block whose first member is the locked
        // address of the data block: both must be blocks of the process's global heap.
        const void* master = reinterpret_cast<const void*>(word);
        HGLOBAL masterBlock = GlobalHandle(master);
        o.Expect(masterBlock != nullptr, "the handle is not a global memory block");
        o.Expect(masterBlock != nullptr && masterBlock != reinterpret_cast<HGLOBAL>(word),
                 "the handle's block is not movable memory");
        o.Expect(masterBlock != nullptr && (GlobalFlags(masterBlock) & GMEM_LOCKCOUNT) >= 1,
                 "the handle's block is not locked");
        if (masterBlock == nullptr) return;
        const void* data = *static_cast<void* const*>(master);
        HGLOBAL dataBlock = data != nullptr ? GlobalHandle(data) : nullptr;
        o.Expect(dataBlock != nullptr, "the state record is not a global memory block");
        o.Expect(dataBlock != nullptr && GlobalSize(dataBlock) >= 40,
                 "the state record's block is " + Code(dataBlock ? static_cast<int>(GlobalSize(dataBlock)) : 0) +
                     " bytes");
        for (int16_t selector : {int16_t(formatSelectorOptionsStart), int16_t(formatSelectorEstimateFinish), int16_t(18)}) {
            OSErr again = host.Call(selector);
            OSErr want = selector == 18 ? formatBadParameters : noErr;
            o.Expect(again == want, "selector " + Code(selector) + " gives " + Code(again));
            o.Expect(host.dataWord() == word, "selector " + Code(selector) + " replaced the state handle");
        }
    });
    Report(name, o);
}

struct RoundTripSize {
    int width;
    int height;
};
const RoundTripSize kRoundTripSizes[] = {{1, 1}, {64, 64}, {65, 63}, {130, 70}, {200, 129}};

void CheckRoundTrips(PluginEntryProc entry, const Abilities& can) {
    for (int planes = 1; planes <= 5; ++planes) {
        const std::string name = "save and open on Windows file handles, " + Code(planes) +
                                 (planes == 1 ? " plane" : " planes") + ", 5 sizes up to 200 x 129";
        if (!can.saving || !can.reading) {
            Skip(name, !can.saving ? can.savingWhy : can.readingWhy);
            continue;
        }
        Outcome o;
        for (const RoundTripSize& size : kRoundTripSizes) {
            const std::string what = Code(size.width) + "x" + Code(size.height);
            std::string path = WorkPath("round-trip-" + Code(planes) + "-" + what + ".iff");
            tniff::Image image = TestImage(size.width, size.height, planes, uint32_t(planes * 1000 + size.width));
            WithHost(entry, tniff::HostSetup(), &o, [&](tniff::Host& host) {
                OSErr saved = host.Save(image, path);
                o.Expect(saved == noErr, what + ": save gives " + Code(saved));
            });
            std::vector<uint8_t> bytes = ReadBytes(path);
            bool framed = bytes.size() >= 12 && BigEndian32(bytes, 0) == 0x464F5234u &&
                          BigEndian32(bytes, 8) == 0x43494D47u && bytes.size() % 4 == 0 &&
                          BigEndian32(bytes, 4) + 8 <= bytes.size();
            o.Expect(framed, what + ": the file written is not one FOR4 CIMG group (" +
                                 Code(static_cast<int>(bytes.size())) + " bytes)");
            WithHost(entry, tniff::HostSetup(), &o, [&](tniff::Host& host) {
                OSErr opened = host.Open(path);
                o.Expect(opened == noErr, what + ": open gives " + Code(opened));
                if (opened == noErr) ExpectSameImage(&o, host.image(), ExpectedReadBack(image), what);
            });
        }
        Report(name, o);
    }
}

struct DepthCase {
    const char* name;
    int width, height, channels;
    uint16_t tileWidth, tileHeight;
    iffbuild::TileOrder order;
    iffbuild::KindOrder kinds;
};
const DepthCase kDepthCases[] = {
    {"RGB and depth, 64 x 64 tiles, colour tiles then depth tiles", 150, 90, 3, 64, 64,
     iffbuild::TileOrder::BottomRowFirst, iffbuild::KindOrder::ColourThenDepth},
    {"RGBA and depth, 32 x 48 tiles, shuffled and interleaved", 97, 101, 4, 32, 48,
     iffbuild::TileOrder::Shuffled, iffbuild::KindOrder::Interleaved},
};

void CheckDepthFiles(PluginEntryProc entry, const Abilities& can) {
    for (const DepthCase& c : kDepthCases) {
        const std::string name = std::string("open a file with a depth buffer: ") + c.name;
        if (!can.reading) {
            Skip(name, can.readingWhy);
            continue;
        }
        Outcome o;
        iffbuild::FileSpec fileSpec;
        fileSpec.image = iffbuild::Image::Blank(c.width, c.height, c.channels, true);
        fileSpec.image.FillRandom(11, 5);
        fileSpec.image.FillRandomDepth(12);
        fileSpec.tileWidth = c.tileWidth;
        fileSpec.tileHeight = c.tileHeight;
        fileSpec.order = c.order;
        fileSpec.kinds = c.kinds;
        fileSpec.seed = 5;
        std::string path = WorkPath(std::string("depth-") + Code(c.channels) + ".iff");
        o.Expect(WriteBytes(path, iffbuild::BuildFile(fileSpec).bytes), "cannot write " + path);
        iffbuild::ExpectedRead expected = iffbuild::ExpectRead(fileSpec);
        WithHost(entry, tniff::HostSetup(), &o, [&](tniff::Host& host) {
            OSErr opened = host.Open(path);
            o.Expect(opened == noErr, "open gives " + Code(opened));
            if (opened != noErr) return;
            const tniff::Image& got = host.image();
            const iffbuild::ExpectedImage& want = expected.image;
            if (got.planes() != want.Planes() || got.width() != int(want.width) || got.height() != int(want.height)) {
                o.Expect(false, "opened " + Code(got.width()) + "x" + Code(got.height()) + "x" + Code(got.planes()));
                return;
            }
            for (int p = 0; p < want.Planes(); ++p) {
                iffbuild::Bytes plane = want.Plane(p);
                for (size_t i = 0; i < plane.size(); ++i) {
                    int y = int(i / want.width), x = int(i % want.width);
                    if (got.at(p, y, x) != plane[i]) {
                        o.Expect(false, "plane " + Code(p) + " row " + Code(y) + " column " + Code(x) + " is " +
                                            Code(got.at(p, y, x)) + ", expected " + Code(plane[i]));
                        return;
                    }
                }
            }
            o.Expect(host.handOvers().size() == expected.deliveries.size(),
                     Code(int(host.handOvers().size())) + " hand-overs, expected " +
                         Code(int(expected.deliveries.size())));
        });
        Report(name, o);
    }
}

struct MalformedCase {
    const char* name;
    bool needsReader;  // decided past FilterFile's first look at the file
    std::function<iffbuild::Bytes()> make;
    OSErr result;      // what the open gives
    int minHandOvers;  // tiles still delivered
    int maxHandOvers;
};

// 100 x 70 pixels, RGBA, 64 x 64 tiles: four tiles.
iffbuild::Bytes WellFormed() {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(100, 70, 4);
    fileSpec.image.FillRandom(21);
    return iffbuild::BuildFile(fileSpec).bytes;
}

void CheckMalformedFiles(PluginEntryProc entry, const Abilities& can) {
    const MalformedCase cases[] = {
        {"a text file is not of the format", false,
         [] {
             std::string text = "This is a text file, not an image.\r\n";
             return iffbuild::Bytes(text.begin(), text.end());
         },
         formatCannotRead, 0, 0},
        {"an empty file ends before the first chunk", false, [] { return iffbuild::Bytes(); }, eofErr, 0, 0},
        {"a CIMG group without a header ends the read at the end of the file", true,
         [] {
             iffbuild::FileWriter w;
             w.BeginGroup("CIMG").Fver().EndChunk();
             return w.Finish();
         },
         eofErr, 0, 0},
        {"a file cut off inside its header", true,
         [] {
             iffbuild::FileSpec fileSpec;
             fileSpec.image = iffbuild::Image::Blank(10, 10, 3);
             iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
             return iffbuild::Truncated(built.bytes, built.tbhdOffset + 20);
         },
         eofErr, 0, 0},
        {"a file cut off in its tiles delivers the tiles it holds, without error", true,
         [] {
             iffbuild::Bytes whole = WellFormed();
             return iffbuild::Truncated(whole, whole.size() * 2 / 3);
         },
         noErr, 1, 3},
    };
    int index = 0;
    for (const MalformedCase& c : cases) {
        const std::string name = std::string("malformed file, nothing leaked: ") + c.name + " (" + Code(c.result) + ")";
        if (c.needsReader && !can.reading) {
            Skip(name, can.readingWhy);
            continue;
        }
        Outcome o;
        std::string path = WorkPath("malformed-" + Code(index++) + ".iff");
        o.Expect(WriteBytes(path, c.make()), "cannot write " + path);
        WithHost(entry, tniff::HostSetup(), &o, [&](tniff::Host& host) {
            OSErr opened = host.Open(path);
            o.Expect(opened == c.result, "open gives " + Code(opened));
            int handOvers = static_cast<int>(host.handOvers().size());
            o.Expect(handOvers >= c.minHandOvers && handOvers <= c.maxHandOvers,
                     Code(handOvers) + " tiles delivered");
        });
        Report(name, o);
    }
}

void CheckWithoutHandleSuite(PluginEntryProc entry, const Abilities& can) {
    const std::string name = "no handle suite: open a saved 4-plane 150 x 80 image on fallback handles";
    if (!can.saving || !can.reading) {
        Skip(name, !can.saving ? can.savingWhy : can.readingWhy);
        return;
    }
    Outcome o;
    tniff::HostSetup setup;
    setup.handleSuite = false;
    tniff::Image image = TestImage(150, 80, 4, 77);
    std::string path = WorkPath("no-handle-suite.iff");
    // Saving checks the host first and refuses one without the handle suite (the alert checks
    // cover that), so the file is saved by a full host and opened by one without the suite.
    WithHost(entry, tniff::HostSetup(), &o, [&](tniff::Host& host) {
        OSErr saved = host.Save(image, path);
        o.Expect(saved == noErr, "save gives " + Code(saved));
    });
    WithHost(entry, setup, &o, [&](tniff::Host& host) {
        OSErr opened = host.Open(path);
        o.Expect(opened == noErr, "open without a handle suite gives " + Code(opened));
        if (opened == noErr) ExpectSameImage(&o, host.image(), ExpectedReadBack(image), "150x80");
        o.Expect(host.dataWord() != 0 && GlobalHandle(reinterpret_cast<void*>(host.dataWord())) != nullptr,
                 "the state record is not in the module's global memory");
    });
    Report(name, o);
}

struct AlertCase {
    const char* name;
    std::function<void(tniff::HostSetup&)> setUp;
    const char* text;
};

const char kRequires25[] = "This plug-in requires Adobe Photoshop\xAE 2.5 or later functionality.";
const char kRequires30[] = "This plug-in requires Adobe Photoshop\xAE 3.0 or later functionality.";
const char kTooNew[] = "This plug-in is incompatible with this version of the host program.";

void CheckHostAlerts(PluginEntryProc entry) {
    const AlertCase cases[] = {
        {"no buffer suite", [](tniff::HostSetup& s) { s.bufferSuite = false; }, kRequires25},
        {"a buffer suite too new (version 3)", [](tniff::HostSetup& s) { s.bufferProcsVersion = 3; }, kTooNew},
        {"no advanceState", [](tniff::HostSetup& s) { s.advanceState = false; }, kRequires30},
        {"no handle suite", [](tniff::HostSetup& s) { s.handleSuite = false; }, kRequires30},
    };
    for (const AlertCase& c : cases) {
        const std::string name = std::string("save on a host with ") + c.name +
                                 ": one warning box with the text, then cancel (-128)";
        Outcome o;
        tniff::HostSetup setup;
        c.setUp(setup);
        OSErr saved = noErr;
        size_t shownCount = 0;
        ShownDialog box;
        {
            WindowWatch watch;
            WithHost(entry, setup, &o, [&](tniff::Host& host) {
                saved = host.Save(TestImage(8, 8, 3, 5), WorkPath("alert.iff"));
            });
            shownCount = watch.shown().size();
            if (shownCount > 0) box = watch.shown()[0];
        }
        if (shownCount == 0 && saved == noErr) {
            Skip(name, "the check before saving is not built yet (no box, result 0)");
            continue;
        }
        o.Expect(saved == userCanceledErr, "save gives " + Code(saved));
        o.Expect(shownCount == 1, Code(int(shownCount)) + " boxes shown");
        if (shownCount > 0) {
            o.Expect(box.messageText == c.text, "text \"" + box.messageText + "\"");
            o.Expect(box.hasOkButton && box.okText == "OK", "no OK button");
            o.Expect(!box.caption.empty(), "no caption (the platform's default was expected)");
        }
        Report(name, o);
    }
}

// The record as raw bytes at the host's published offsets, beside host/'s declared one.
void CheckRawRecord(PluginEntryProc entry, const Abilities& can) {
    const std::string name = "a format record laid out as raw bytes opens and saves as through host/";
    if (!can.reading || !can.saving) {
        Skip(name, can.reading ? can.savingWhy : can.readingWhy);
        return;
    }
    Outcome o;
    o.problems = CompareRawRecordWithHost(
        entry, RawRecordFiles{WorkPath("raw-record-save.iff"), WorkPath("raw-record-host-save.iff"),
                              WorkPath("raw-record-depth.iff")});
    Report(name, o);
}

// ---- Entry --------------------------------------------------------------------------------------

int RunChecks(const std::string& modulePath) {
    std::string error;
    PluginEntryProc entry = tniff::LoadModule(modulePath, &error);
    if (entry == nullptr) {
        Fail("LoadLibrary and GetProcAddress(\"ENTRYPOINT\")", error);
        return 1;
    }
    Pass("LoadLibrary loads " + modulePath + " and GetProcAddress finds ENTRYPOINT");
    tniff::Host::SetProblemSink(&CollectProblems);

    Abilities can = Probe(entry);
    CheckAbout(entry);
    CheckFallbackStateRecord(entry);
    CheckHostAlerts(entry);
    CheckRoundTrips(entry, can);
    CheckDepthFiles(entry, can);
    CheckMalformedFiles(entry, can);
    CheckWithoutHandleSuite(entry, can);
    CheckRawRecord(entry, can);

    std::printf("wine: %d passed, %d failed, %d skipped\n", gPassed, gFailed, gSkipped);
    return gFailed == 0 ? 0 : 1;
}

// Shows one window and keeps it up for a while, for a screenshot.
int Show(const std::string& what, const std::string& modulePath, unsigned milliseconds) {
    std::string error;
    PluginEntryProc entry = tniff::LoadModule(modulePath, &error);
    if (entry == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    WindowWatch watch(milliseconds, true);
    if (what == "about") {
        tniff::Host host(entry);
        host.Call(formatSelectorAbout);
    } else if (what == "alert") {
        tniff::HostSetup setup;
        setup.bufferSuite = false;
        tniff::Host host(entry, setup);
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        host.Save(TestImage(4, 4, 3, 1), std::string(temp) + "tniff-alert.iff");
    } else {
        std::fprintf(stderr, "--show about|alert\n");
        return 2;
    }
    return watch.shown().size() == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    try {
        if (argc == 5 && std::string(argv[1]) == "--show") {
            return Show(argv[2], argv[3], static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
        }
        if (argc != 3) {
            std::fprintf(stderr, "usage: windows_host_run MODULE WORKDIR | --show about|alert MODULE MS\n");
            return 2;
        }
        gWorkDir = argv[2];
        CreateDirectoryA(gWorkDir.c_str(), nullptr);
        return RunChecks(argv[1]);
    } catch (const std::exception& e) {
        Fail("the run", std::string("stopped by an exception: ") + e.what());
        return 1;
    }
}
