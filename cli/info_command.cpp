// tniff info FILE...: what the module tells the host about each file, and the file's layout.
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/frame_operands.h"
#include "cli/progress_bar.h"
#include "cli/system.h"
#include "tarniff/tarniff.h"

namespace tniff_cli {

using namespace tarniff;

namespace {

std::string Percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%",
                  100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

std::string Ratio(uint64_t raw, uint64_t stored) {
    if (stored == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f:1",
                  static_cast<double>(raw) / static_cast<double>(stored));
    return text;
}

std::string Dpi(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// What the module told the host and handed over.
void PrintModuleView(const std::string& path, const OpenedFile& file) {
    const Description& d = file.description;
    std::string planes;
    for (int p = 0; p < d.planes; ++p) planes += (p > 0 ? ", " : "") + PlaneName(file, p);
    std::printf("%s\n", path.c_str());
    // The module describes a depth buffer alone to the host as a gray image; it is not one.
    const std::string kind = file.colourPlanes == 0 && file.depthPlane >= 0
                                 ? std::string("a depth buffer alone")
                                 : ModeName(d.mode);
    std::printf("  image        %d x %d, %s, %d bits per channel, %d plane%s (%s)\n", d.width,
                d.height, kind.c_str(), d.depthBits, d.planes, d.planes == 1 ? "" : "s",
                planes.c_str());
    std::printf("  resolution   %s x %s dpi\n", Dpi(d.horizontalDpi).c_str(),
                Dpi(d.verticalDpi).c_str());
    if (file.complete()) {
        std::printf("  read         complete: %d colour and %d depth tiles handed over\n",
                    file.colourTilesRead, file.depthTilesRead);
    } else if (!file.layout.damagedTiles.empty()) {
        const size_t damaged = file.layout.damagedTiles.size();
        std::printf(
            "  read         DAMAGED: %d colour and %d depth tiles handed over, %zu of them "
            "damaged\n",
            file.colourTilesRead, file.depthTilesRead, damaged);
    } else {
        std::printf(
            "  read         INCOMPLETE: %d of %d colour and %d of %d depth tiles handed over\n",
            file.colourTilesRead, file.colourTilesExpected, file.depthTilesRead,
            file.depthTilesExpected);
    }
}

// The file's layout as the walker found it; for a file not whole, up to where the walk stopped,
// and why it stopped.
void PrintLayout(const Layout& layout) {
    std::printf("  file         %llu bytes%s\n", static_cast<unsigned long long>(layout.fileSize),
                layout.truncated ? ", truncated: it ends inside a chunk" : "");
    if (layout.hasHeader) {
        const HeaderValues& h = layout.header;
        std::printf(
            "  header       width %u, height %u, flags %u (%s), tile count %u, "
            "compression %u\n",
            h.width, h.height, h.flags, FlagNames(h.flags).c_str(), h.tileCount, h.compression);
        std::printf("               auxA %u, auxB %u, auxC %u", h.auxA, h.auxB, h.auxC);
        if (h.hasAuxDE) std::printf(", auxD %u, auxE %u", h.auxD, h.auxE);
        std::printf(" (%u bytes)\n", h.payloadSize);
    }
    std::printf("  chunks       FOR4 CIMG at 0\n");
    for (const ChunkInfo& chunk : layout.chunks) {
        std::string name = chunk.id + (chunk.groupType.empty() ? "" : " " + chunk.groupType);
        std::printf("                 %-9s at %llu, %u bytes\n", name.c_str(),
                    static_cast<unsigned long long>(chunk.offset), chunk.size);
    }
    int compressed = layout.CompressedTiles();
    std::printf("  tiles        %zu: %d RGBA, %d ZBUF; %d compressed, %zu raw", layout.tiles.size(),
                layout.ColourTiles(), layout.DepthTiles(), compressed,
                layout.tiles.size() - compressed);
    if (layout.otherChunksInTileGroup > 0)
        std::printf("; %d other chunks", layout.otherChunksInTileGroup);
    std::printf("\n");
    if (!layout.tiles.empty()) {
        // The pixel data's bytes, as --json's storedBytes; the chunk's size is 8 more.
        std::printf("  %5s  %-4s  %5s %5s %5s %5s  %11s  %-10s  %s\n", "#", "kind", "x1", "y1",
                    "x2", "y2", "pixel bytes", "stored", "of raw");
    }
    for (size_t i = 0; i < layout.tiles.size(); ++i) {
        const TileInfo& tile = layout.tiles[i];
        std::printf("  %5zu  %-4s  %5u %5u %5u %5u  %11llu  %-10s  %s\n", i,
                    tile.depth ? "ZBUF" : "RGBA", tile.x1, tile.y1, tile.x2, tile.y2,
                    static_cast<unsigned long long>(tile.storedBytes),
                    tile.compressed ? "compressed" : "raw",
                    Percent(tile.storedBytes, tile.rawBytes).c_str());
    }
    std::printf("  pixel data   %llu bytes stored for %llu raw: %s (%s)\n",
                static_cast<unsigned long long>(layout.storedBytes),
                static_cast<unsigned long long>(layout.rawBytes),
                Percent(layout.storedBytes, layout.rawBytes).c_str(),
                Ratio(layout.rawBytes, layout.storedBytes).c_str());
    for (size_t i = 0; i < layout.tiles.size(); ++i) {
        const TileInfo& tile = layout.tiles[i];
        if (tile.leftoverBytes == 0) continue;
        std::printf("  leftover     %s: %llu bytes after its last plane\n",
                    TileName(tile, i).c_str(), static_cast<unsigned long long>(tile.leftoverBytes));
    }
    for (const TileDamage& damaged : layout.damagedTiles) {
        std::printf("  damaged      %s: %s\n",
                    TileName(layout.tiles[damaged.tile], damaged.tile).c_str(),
                    damaged.reason.c_str());
    }
    if (!layout.damage.reason.empty())
        std::printf("  damage       %s\n", layout.damage.reason.c_str());
}

// The files' objects as one JSON array, laid out as each object is.
std::string JsonArray(const std::vector<std::string>& objects) {
    if (objects.empty()) return "[]\n";
    std::string text = "[";
    for (size_t i = 0; i < objects.size(); ++i) {
        text += i == 0 ? "\n  " : ",\n  ";
        std::string object = objects[i];
        while (!object.empty() && object.back() == '\n') object.pop_back();
        for (char c : object) text += c == '\n' ? std::string("\n  ") : std::string(1, c);
    }
    return text + "\n]\n";
}

// One line from the walk of the file: the module is not called and no pixel is handed over, so a
// long sequence is checked in the time it takes to read it. Tiles count as there when their
// chunk ends inside the file and their rectangle inside the image; a compressed tile whose run
// stream does not fill its planes is damaged. Gives what the file counts as; a file without a line
// of its own throws Error, with *verdict set when the walk could tell what it is.
FileVerdict PrintBrief(const std::string& path, const std::string& name, FileVerdict* verdict) {
    Layout layout;
    std::string why;
    if (!WalkLayoutFile(path, &layout, &why)) {
        throw Error(name + ": cannot open: " + why);
    }
    const std::string refused = name + ": not an image in this format";
    if (!layout.recognised) {
        if (layout.fileSize < 12) {
            throw Error(name + ": too short to be an image in this format (" +
                        std::to_string(layout.fileSize) + " bytes)");
        }
        std::string content = DescribeContent(path);
        throw Error(refused + (content.empty() ? "" : ": it is " + content));
    }
    if (!layout.hasHeader) {
        *verdict = VerdictOfLayout(layout);
        throw Error(refused + ": " + layout.damage.reason);
    }
    const HeaderValues& h = layout.header;
    const bool whole = layout.Whole();
    const char* colour = layout.colourChannels == 1   ? "gray"
                         : layout.colourChannels == 3 ? "RGB"
                         : layout.colourChannels == 4 ? "RGBA"
                                                      : "no colour";
    const int planes = layout.colourChannels + (layout.hasDepth ? 1 : 0);
    const bool damagedTiles = !layout.damagedTiles.empty();
    std::string tiles = whole          ? "tiles complete"
                        : damagedTiles ? "tiles DAMAGED"
                                       : "tiles INCOMPLETE";
    const int colourFound = std::min(layout.colourTilesFound, layout.colourTilesExpected);
    const int depthFound = std::min(layout.depthTilesFound, layout.depthTilesExpected);
    tiles += " (" + std::to_string(colourFound) + "/" + std::to_string(layout.colourTilesExpected) +
             " colour, " + std::to_string(depthFound) + "/" +
             std::to_string(layout.depthTilesExpected) + " depth)";
    if (!layout.damage.reason.empty()) tiles += "; " + layout.damage.reason;
    if (damagedTiles) tiles += "; " + DamagedTilesText(layout);
    std::printf("%s: %u x %u, %s, %d plane%s, depth %s, %s\n", name.c_str(), h.width, h.height,
                colour, planes, planes == 1 ? "" : "s", layout.hasDepth ? "yes" : "no",
                tiles.c_str());
    return VerdictOfLayout(layout);
}

// How many files of each verdict a check of several files found.
struct Tally {
    int files = 0;
    int counts[5] = {};
    void Add(FileVerdict verdict) {
        ++files;
        ++counts[static_cast<int>(verdict)];
    }
    // "tniff: 120 files: 115 whole, 1 damaged, 2 incomplete, 2 missing" (and "1 not readable"
    // when there are such).
    void Print(const Options& options) const {
        if (options.quiet) return;
        std::string line = std::to_string(files) + (files == 1 ? " file: " : " files: ");
        for (FileVerdict verdict :
             {FileVerdict::whole, FileVerdict::damaged, FileVerdict::incomplete,
              FileVerdict::missing, FileVerdict::unreadable}) {
            const int count = counts[static_cast<int>(verdict)];
            if (verdict == FileVerdict::unreadable && count == 0) continue;
            if (verdict != FileVerdict::whole) line += ", ";
            line += std::to_string(count) + " " + VerdictName(verdict);
        }
        std::fflush(stdout);
        std::fprintf(stderr, "tniff: %s\n", line.c_str());
    }
};

}  // namespace

int RunInfo(const Options& options) {
    if (options.files.empty())
        throw Error("info takes one or more files (see tniff info --help)", kExitUsage);
    if (options.brief && options.json)
        throw Error("info takes --json or --brief, not both", kExitUsage);
    // Patterns stand for their frames, missing ones included, each checked in its place.
    std::vector<std::string> files;
    for (const OperandFiles& operand : ExpandOperands(options, options.files))
        files.insert(files.end(), operand.files.begin(), operand.files.end());
    // A sequence ends with how many of its files are whole, damaged, incomplete and missing.
    const bool tally = files.size() > 1 || AnyFramePattern(options.files);
    Tally counted;
    // "-" is standard input, kept in a file for as long as the command runs.
    std::unique_ptr<TemporaryCopy> stdinCopy;
    auto pathOf = [&stdinCopy, &options](const std::string& file) -> std::string {
        if (!IsStandardStream(file)) return file;
        if (!stdinCopy)
            stdinCopy = std::make_unique<TemporaryCopy>(StandardInput(), "standard input",
                                                        options.maxImageBytes);
        return stdinCopy->path();
    };
    auto nameOf = [](const std::string& file) {
        return IsStandardStream(file) ? std::string("stdin") : file;
    };
    if (options.brief) {
        // A line on stdout for every file, also one that cannot be read, so that a sequence's
        // listing has all its frames in their order.
        int status = 0;
        for (const std::string& file : files) {
            const std::string path = pathOf(file), name = nameOf(file);
            FileVerdict verdict = FileVerdict::whole;
            try {
                verdict = PrintBrief(path, name, &verdict);
            } catch (const Error& error) {
                std::printf("%s\n", error.what());
                if (verdict == FileVerdict::whole) verdict = VerdictOfUnread(path);
            }
            if (verdict != FileVerdict::whole) status = kExitFailure;
            counted.Add(verdict);
            std::fflush(stdout);
        }
        if (tally) counted.Print(options);
        return status;
    }
    ModuleFile module = LoadToolModule(options);
    int status = 0;
    std::vector<std::string> objects;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string path = nameOf(files[i]);
        Inspection inspection;
        {
            ProgressBar progress(!options.quiet, "reading " + FileNameOf(path));
            OpenSettings settings;
            settings.name = path;
            settings.maxImageBytes = options.maxImageBytes;
            settings.raiseLimit = kRaiseLimit;
            settings.progress = progress.Reporter();
            inspection = Inspect(module, pathOf(files[i]), settings);
        }
        if (!inspection.Whole()) status = kExitFailure;
        counted.Add(VerdictOf(inspection, pathOf(files[i])));
        if (!inspection.opened) {
            std::fflush(stdout);
            std::fprintf(stderr, "tniff: %s\n", inspection.error.c_str());
        }
        if (options.json) {
            objects.push_back(InfoJson(inspection));
        } else if (inspection.opened || inspection.damaged) {
            if (i > 0) std::printf("\n");
            if (inspection.opened)
                PrintModuleView(path, inspection.file);
            else
                std::printf("%s\n", path.c_str());
            PrintLayout(inspection.opened ? inspection.file.layout : inspection.layout);
            std::fflush(stdout);
        }
    }
    if (options.json)
        std::fputs(JsonArray(objects).c_str(), stdout);
    else if (tally)
        counted.Print(options);
    return status;
}

}  // namespace tniff_cli
