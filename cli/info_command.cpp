// tniff info FILE...: what the module tells the host about each file, and the file's layout.
#include <algorithm>
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/file_type.h"
#include "cli/json_writer.h"
#include "cli/module_host.h"
#include "cli/tool_error.h"
#include "tarniff/layout.h"

namespace tniff_cli {

namespace {

std::string Percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

std::string Ratio(uint64_t raw, uint64_t stored) {
    if (stored == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f:1", static_cast<double>(raw) / static_cast<double>(stored));
    return text;
}

std::string Dpi(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

using tarniff::Layout;

int CompressedTiles(const Layout& layout) {
    int count = 0;
    for (const tarniff::TileInfo& tile : layout.tiles) count += tile.compressed ? 1 : 0;
    return count;
}

// What the module told the host and handed over.
void PrintModuleView(const std::string& path, const OpenedFile& file) {
    const Description& d = file.description;
    std::string planes;
    for (int p = 0; p < d.planes; ++p) planes += (p > 0 ? ", " : "") + PlaneName(file, p);
    std::printf("%s\n", path.c_str());
    std::printf("  image        %d x %d, %s, %d bits per channel, %d plane%s (%s)\n", d.width, d.height,
                ModeName(d.mode).c_str(), d.depthBits, d.planes, d.planes == 1 ? "" : "s", planes.c_str());
    std::printf("  resolution   %s x %s dpi\n", Dpi(d.horizontalDpi).c_str(), Dpi(d.verticalDpi).c_str());
    if (file.complete()) {
        std::printf("  read         complete: %d colour and %d depth tiles handed over\n", file.colourTilesRead,
                    file.depthTilesRead);
    } else {
        std::printf("  read         INCOMPLETE: %d of %d colour and %d of %d depth tiles handed over\n",
                    file.colourTilesRead, file.colourTilesExpected, file.depthTilesRead, file.depthTilesExpected);
    }
}

// The file's layout as the walker found it; for a file not whole, up to where the walk stopped,
// and why it stopped.
void PrintLayout(const Layout& layout) {
    std::printf("  file         %llu bytes%s\n", static_cast<unsigned long long>(layout.fileSize),
                layout.truncated ? ", truncated: it ends inside a chunk" : "");
    if (layout.hasHeader) {
        const tarniff::HeaderValues& h = layout.header;
        std::printf("  header       width %u, height %u, flags %u (%s), tile count %u, "
                    "compression %u\n",
                    h.width, h.height, h.flags, tarniff::FlagNames(h.flags).c_str(), h.tileCount,
                    h.compression);
        std::printf("               auxA %u, auxB %u, auxC %u", h.auxA, h.auxB, h.auxC);
        if (h.hasAuxDE) std::printf(", auxD %u, auxE %u", h.auxD, h.auxE);
        std::printf(" (%u bytes)\n", h.payloadSize);
    }
    std::printf("  chunks       FOR4 CIMG at 0\n");
    for (const tarniff::ChunkInfo& chunk : layout.chunks) {
        std::string name = chunk.id + (chunk.groupType.empty() ? "" : " " + chunk.groupType);
        std::printf("                 %-9s at %llu, %u bytes\n", name.c_str(), static_cast<unsigned long long>(chunk.offset),
                    chunk.size);
    }
    int compressed = CompressedTiles(layout);
    std::printf("  tiles        %zu: %d RGBA, %d ZBUF; %d compressed, %zu raw", layout.tiles.size(),
                layout.ColourTiles(), layout.DepthTiles(), compressed, layout.tiles.size() - compressed);
    if (layout.otherChunksInTileGroup > 0) std::printf("; %d other chunks", layout.otherChunksInTileGroup);
    std::printf("\n");
    if (!layout.tiles.empty()) {
        std::printf("  %5s  %-4s  %5s %5s %5s %5s  %9s  %-10s  %s\n", "#", "kind", "x1", "y1", "x2", "y2", "bytes",
                    "stored", "of raw");
    }
    for (size_t i = 0; i < layout.tiles.size(); ++i) {
        const tarniff::TileInfo& tile = layout.tiles[i];
        std::printf("  %5zu  %-4s  %5u %5u %5u %5u  %9llu  %-10s  %s\n", i, tile.depth ? "ZBUF" : "RGBA", tile.x1,
                    tile.y1, tile.x2, tile.y2, static_cast<unsigned long long>(tile.storedBytes),
                    tile.compressed ? "compressed" : "raw", Percent(tile.storedBytes, tile.rawBytes).c_str());
    }
    std::printf("  pixel data   %llu bytes stored for %llu raw: %s (%s)\n",
                static_cast<unsigned long long>(layout.storedBytes), static_cast<unsigned long long>(layout.rawBytes),
                Percent(layout.storedBytes, layout.rawBytes).c_str(), Ratio(layout.rawBytes, layout.storedBytes).c_str());
    if (!layout.Whole()) std::printf("  damage       %s\n", layout.damage.reason.c_str());
}

// The module's view as JSON keys of the file's object.
void WriteModuleJson(JsonWriter& json, const OpenedFile& file) {
    const Description& d = file.description;

    json.Key("image").BeginObject();
    json.Key("width").Integer(d.width).Key("height").Integer(d.height);
    json.Key("mode").String(ModeName(d.mode)).Key("modeCode").Integer(d.mode);
    json.Key("bitsPerChannel").Integer(d.depthBits).Key("planes").Integer(d.planes);
    json.Key("planeNames").BeginArray();
    for (int p = 0; p < d.planes; ++p) json.String(PlaneName(file, p));
    json.EndArray();
    json.Key("depthPlane");
    if (file.depthPlane >= 0) json.Integer(file.depthPlane);
    else json.Null();
    json.Key("horizontalDpi").Number(d.horizontalDpi).Key("verticalDpi").Number(d.verticalDpi);
    json.EndObject();

    json.Key("read").BeginObject();
    json.Key("complete").Bool(file.complete());
    json.Key("colourTiles").Integer(file.colourTilesRead).Key("colourTilesExpected").Integer(file.colourTilesExpected);
    json.Key("depthTiles").Integer(file.depthTilesRead).Key("depthTilesExpected").Integer(file.depthTilesExpected);
    json.EndObject();
}

// The layout as JSON keys of the file's object; "damage" only for a file not whole.
void WriteLayoutJson(JsonWriter& json, const Layout& layout) {
    json.Key("fileSize").Integer(static_cast<int64_t>(layout.fileSize));
    json.Key("truncated").Bool(layout.truncated);
    json.Key("header");
    if (layout.hasHeader) {
        const tarniff::HeaderValues& h = layout.header;
        json.BeginObject();
        json.Key("size").Integer(h.payloadSize).Key("width").Integer(h.width).Key("height").Integer(h.height);
        json.Key("auxA").Integer(h.auxA).Key("auxB").Integer(h.auxB).Key("flags").Integer(h.flags);
        json.Key("flagNames").BeginArray();
        for (const std::string& name : tarniff::KnownFlagNames(h.flags)) json.String(name);
        json.EndArray();
        json.Key("auxC").Integer(h.auxC).Key("tileCount").Integer(h.tileCount);
        json.Key("compression").Integer(h.compression);
        if (h.hasAuxDE) json.Key("auxD").Integer(h.auxD).Key("auxE").Integer(h.auxE);
        json.EndObject();
    } else {
        json.Null();
    }

    json.Key("chunks").BeginArray();
    for (const tarniff::ChunkInfo& chunk : layout.chunks) {
        json.BeginObject().Key("id").String(chunk.id);
        if (!chunk.groupType.empty()) json.Key("type").String(chunk.groupType);
        json.Key("offset").Integer(static_cast<int64_t>(chunk.offset)).Key("size").Integer(chunk.size);
        json.EndObject();
    }
    json.EndArray();

    json.Key("tiles").BeginArray();
    for (const tarniff::TileInfo& tile : layout.tiles) {
        json.BeginObject();
        json.Key("kind").String(tile.depth ? "ZBUF" : "RGBA");
        json.Key("offset").Integer(static_cast<int64_t>(tile.offset)).Key("size").Integer(tile.size);
        json.Key("x1").Integer(tile.x1).Key("y1").Integer(tile.y1).Key("x2").Integer(tile.x2).Key("y2").Integer(tile.y2);
        json.Key("width").Integer(tile.width).Key("height").Integer(tile.height);
        json.Key("compressed").Bool(tile.compressed);
        json.Key("storedBytes").Integer(static_cast<int64_t>(tile.storedBytes));
        json.Key("rawBytes").Integer(static_cast<int64_t>(tile.rawBytes));
        json.EndObject();
    }
    json.EndArray();
    json.Key("otherChunksInTileGroup").Integer(layout.otherChunksInTileGroup);

    int compressed = CompressedTiles(layout);
    json.Key("tileCounts").BeginObject();
    json.Key("total").Integer(static_cast<int64_t>(layout.tiles.size()));
    json.Key("colour").Integer(layout.ColourTiles()).Key("depth").Integer(layout.DepthTiles());
    json.Key("compressed").Integer(compressed).Key("raw").Integer(static_cast<int64_t>(layout.tiles.size()) - compressed);
    json.EndObject();
    json.Key("storedBytes").Integer(static_cast<int64_t>(layout.storedBytes));
    json.Key("rawBytes").Integer(static_cast<int64_t>(layout.rawBytes));
    json.Key("compressionRatio");
    if (layout.storedBytes > 0) json.Number(static_cast<double>(layout.rawBytes) / static_cast<double>(layout.storedBytes));
    else json.Null();
    if (!layout.Whole()) {
        const tarniff::Damage& damage = layout.damage;
        json.Key("damage").BeginObject();
        json.Key("offset").Integer(static_cast<int64_t>(damage.offset));
        json.Key("chunk").String(damage.chunk).Key("groups").String(damage.groups);
        json.Key("reason").String(damage.reason);
        json.EndObject();
    }
}

// One line from the header and the chunk headers: nothing is decoded and the module is not
// called, so a long sequence is checked in the time it takes to read a few hundred bytes a file.
// Tiles count as there when their chunk ends inside the file and their rectangle inside the
// image. True when the file is whole.
bool PrintBrief(const std::string& path) {
    CheckReadable(path);
    Layout layout;
    std::string why;
    if (!tarniff::WalkLayoutFile(path, &layout, &why)) {
        throw ToolError(path + ": cannot open: " + why);
    }
    const std::string refused = path + ": not an image in this format";
    if (!layout.recognised) {
        std::string content = DescribeContent(path);
        throw ToolError(refused + (content.empty() ? "" : ": it is " + content));
    }
    if (!layout.hasHeader) throw ToolError(refused + ": " + layout.damage.reason);
    const tarniff::HeaderValues& h = layout.header;
    const bool whole = layout.Whole();
    const char* colour = layout.colourChannels == 1 ? "gray" : layout.colourChannels == 3 ? "RGB"
                       : layout.colourChannels == 4 ? "RGBA" : "no colour";
    const int planes = layout.colourChannels + (layout.hasDepth ? 1 : 0);
    std::string tiles = whole ? "tiles complete" : "tiles INCOMPLETE";
    const int colourFound = std::min(layout.colourTilesFound, layout.colourTilesExpected);
    const int depthFound = std::min(layout.depthTilesFound, layout.depthTilesExpected);
    tiles += " (" + std::to_string(colourFound) + "/" + std::to_string(layout.colourTilesExpected) +
             " colour, " + std::to_string(depthFound) + "/" +
             std::to_string(layout.depthTilesExpected) + " depth)";
    if (!whole) tiles += "; " + layout.damage.reason;
    std::printf("%s: %u x %u, %s, %d plane%s, depth %s, %s\n", path.c_str(), h.width, h.height, colour, planes,
                planes == 1 ? "" : "s", layout.hasDepth ? "yes" : "no", tiles.c_str());
    return whole;
}

}  // namespace

int RunInfo(const Options& options) {
    if (options.files.empty()) throw ToolError("info takes one or more files (see tniff info --help)", kExitUsage);
    if (options.brief && options.json) throw ToolError("info takes --json or --brief, not both", kExitUsage);
    if (options.brief) {
        int status = 0;
        for (const std::string& path : options.files) {
            try {
                if (!PrintBrief(path)) status = kExitFailure;
            } catch (const ToolError& error) {
                std::fflush(stdout);
                std::fprintf(stderr, "tniff: %s\n", error.what());
                status = kExitFailure;
            }
            std::fflush(stdout);
        }
        return status;
    }
    ModuleFile module = LoadModuleFile(options.modulePath.empty() ? DefaultModulePath() : options.modulePath);
    int status = 0;
    JsonWriter json;
    if (options.json) json.BeginArray();
    for (size_t i = 0; i < options.files.size(); ++i) {
        const std::string& path = options.files[i];
        try {
            OpenedFile file;
            {
                ProgressBar progress(!options.quiet, "reading " + FileNameOf(path));
                file = OpenThroughModule(module, path, &progress, options.maxImageBytes);
            }
            if (options.json) {
                json.BeginObject().Key("file").String(path);
                WriteModuleJson(json, file);
                WriteLayoutJson(json, file.layout);
                json.EndObject();
            } else {
                if (i > 0) std::printf("\n");
                PrintModuleView(path, file);
                PrintLayout(file.layout);
                std::fflush(stdout);
            }
            if (!file.complete() || !file.layout.Whole()) status = kExitFailure;
        } catch (const ToolError& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "tniff: %s\n", error.what());
            // A damaged file the module refuses: its layout up to the damage, and why it stops.
            Layout layout;
            std::string why;
            const bool damaged = tarniff::WalkLayoutFile(path, &layout, &why) &&
                                 layout.recognised && !layout.Whole();
            if (options.json) {
                json.BeginObject().Key("file").String(path).Key("error").String(error.what());
                if (error.hostCode() != noErr) {
                    json.Key("code").Integer(error.hostCode()).Key("codeName").String(HostCodeName(error.hostCode()));
                }
                if (damaged) WriteLayoutJson(json, layout);
                json.EndObject();
            } else if (damaged) {
                if (i > 0) std::printf("\n");
                std::printf("%s\n", path.c_str());
                PrintLayout(layout);
                std::fflush(stdout);
            }
            status = kExitFailure;
        }
    }
    if (options.json) {
        json.EndArray();
        std::fputs(json.text().c_str(), stdout);
    }
    return status;
}

}  // namespace tniff_cli
