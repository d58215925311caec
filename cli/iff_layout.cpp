#include "cli/iff_layout.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/tool_error.h"
#include "module/iffio/byte_stream.h"
#include "module/iffio/chunk_stack.h"
#include "module/iffio/iff_format.h"
#include "module/shell/plugin_globals.h"

namespace tniff_cli {

namespace {

std::string CodeText(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned char c = static_cast<unsigned char>(code >> shift);
        if (c >= 0x20 && c < 0x7F) {
            text.push_back(static_cast<char>(c));
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

uint64_t ChunkEnd(const ChunkEntry& entry) {  // without the pad bytes
    return static_cast<uint64_t>(entry.start) + kChunkHeaderSize + entry.size;
}

// The stream layer on one open file, as the module runs it inside a call: a state record whose
// record's dataFork is the file, and a result word.
class FileStream {
public:
    explicit FileStream(int fd) {
        record_ = FormatRecord();
        record_.dataFork = fd;
        globals_ = PluginGlobals();
        globals_.resultWord = &result_;
        globals_.formatRecord = &record_;
        EmptyChunkStack();
    }
    ~FileStream() { EmptyChunkStack(); }
    PluginGlobals* globals() { return &globals_; }
    bool ok() const { return result_ == noErr; }
    uint32_t position() const { return globals_.streamPos; }

private:
    FormatRecord record_;
    PluginGlobals globals_;
    int16_t result_ = 0;
};

void ReadHeader(PluginGlobals* globals, const ChunkEntry& entry, HeaderValues* header) {
    header->payloadSize = entry.size;
    header->width = ReadU32(globals);
    header->height = ReadU32(globals);
    header->auxA = ReadU16(globals);
    header->auxB = ReadU16(globals);
    header->flags = ReadU32(globals);
    header->auxC = ReadU16(globals);
    header->tileCount = ReadU16(globals);
    header->compression = ReadU32(globals);
    header->hasAuxDE = entry.size >= kHeaderPayloadSize;
    if (header->hasAuxDE) {
        header->auxD = ReadU32(globals);
        header->auxE = ReadU32(globals);
    }
}

// Lists the tiles of the group just opened; stops at its end or at the end of the file.
void ReadTiles(FileStream& stream, const ChunkEntry& group, Layout* layout) {
    PluginGlobals* globals = stream.globals();
    uint64_t groupEnd = ChunkEnd(group);
    while (stream.position() < groupEnd && stream.position() < layout->fileSize) {
        ChunkEntry chunk = OpenChunkForRead(globals);
        if (!stream.ok()) {
            layout->truncated = true;
            return;
        }
        if (ChunkEnd(chunk) > layout->fileSize) layout->truncated = true;
        if (chunk.id == kIdRGBA || chunk.id == kIdZBUF) {
            TileInfo tile;
            tile.depth = chunk.id == kIdZBUF;
            tile.offset = chunk.start;
            tile.size = chunk.size;
            tile.x1 = ReadU16(globals);
            tile.y1 = ReadU16(globals);
            tile.x2 = ReadU16(globals);
            tile.y2 = ReadU16(globals);
            if (!stream.ok()) {
                layout->truncated = true;
                return;
            }
            tile.width = static_cast<uint16_t>(tile.x2 - tile.x1 + 1);
            tile.height = static_cast<uint16_t>(tile.y2 - tile.y1 + 1);
            uint32_t bytesPerPixel = tile.depth ? kDepthBytesPerPixel : static_cast<uint32_t>(layout->colourChannels);
            tile.rawBytes = static_cast<uint64_t>(tile.width) * tile.height * bytesPerPixel;
            tile.storedBytes = chunk.size >= kTileHeaderSize ? chunk.size - kTileHeaderSize : 0;
            // The module's rule, in its 32-bit arithmetic: shorter than raw means compressed.
            tile.compressed = chunk.size < static_cast<uint32_t>(tile.rawBytes) + kTileHeaderSize;
            layout->storedBytes += tile.storedBytes;
            layout->rawBytes += tile.rawBytes;
            layout->tiles.push_back(tile);
        } else {
            ++layout->otherChunksInTileGroup;
        }
        CloseChunkForRead(globals);
    }
}

}  // namespace

int Layout::ColourTiles() const {
    int count = 0;
    for (const TileInfo& tile : tiles) count += tile.depth ? 0 : 1;
    return count;
}

int Layout::DepthTiles() const { return static_cast<int>(tiles.size()) - ColourTiles(); }

std::string FlagNames(uint32_t flags) {
    std::string names;
    auto add = [&names](const char* name) { names += names.empty() ? name : std::string(", ") + name; };
    if (flags & flagRgb) add("rgb");
    if (flags & flagAlpha) add("alpha");
    if (flags & flagDepth) add("depth");
    if (flags & ~(flagRgb | flagAlpha | flagDepth)) add("other bits");
    return names.empty() ? "none" : names;
}

Layout ReadLayout(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) throw ToolError(path + ": cannot open: " + std::strerror(errno));
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        throw ToolError(path + ": not a regular file");
    }
    Layout layout;
    layout.fileSize = static_cast<uint64_t>(status.st_size);
    {
        FileStream stream(fd);
        PluginGlobals* globals = stream.globals();
        SeekTo(globals, 0);
        ChunkEntry outer = OpenChunkForRead(globals);
        layout.recognised = stream.ok() && outer.id == kIdFOR4 && outer.groupType == kTypeCIMG;
        if (layout.recognised) {
            uint64_t outerEnd = ChunkEnd(outer);
            if (outerEnd > layout.fileSize) layout.truncated = true;
            while (stream.position() < outerEnd && stream.position() < layout.fileSize) {
                ChunkEntry child = OpenChunkForRead(globals);
                if (!stream.ok()) {
                    layout.truncated = true;
                    break;
                }
                if (ChunkEnd(child) > layout.fileSize) layout.truncated = true;
                ChunkInfo info;
                info.id = CodeText(child.id);
                if (child.id == kIdFOR4) info.groupType = CodeText(child.groupType);
                info.offset = child.start;
                info.size = child.size;
                layout.chunks.push_back(info);

                // The first header and the first tile group after it are the ones that count.
                if (child.id == kIdTBHD && !layout.hasHeader) {
                    ReadHeader(globals, child, &layout.header);
                    layout.hasHeader = true;
                    uint32_t flags = layout.header.flags;
                    layout.colourChannels = ((flags & flagRgb) ? 3 : 0) + ((flags & flagAlpha) ? 1 : 0);
                    layout.hasDepth = (flags & flagDepth) != 0;
                } else if (child.id == kIdFOR4 && child.groupType == kTypeTBMP && layout.hasHeader &&
                           !layout.hasTileGroup) {
                    layout.hasTileGroup = true;
                    ReadTiles(stream, child, &layout);
                    // The tile listing may stop inside a tile; the group's end is the way on.
                    while (ChunkStackDepth() > 2) CloseChunkForRead(globals);
                }
                if (!stream.ok()) {
                    layout.truncated = true;
                    break;
                }
                CloseChunkForRead(globals);
            }
        }
    }
    close(fd);
    return layout;
}

}  // namespace tniff_cli
