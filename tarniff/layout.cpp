#include "tarniff/tarniff.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

namespace tarniff {

namespace {

// A four-character code as a number, its first character in the most significant byte, as the
// file stores it big-endian.
constexpr uint32_t Code(const char (&text)[5]) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(text[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3]));
}

const uint32_t kIdFor4 = Code("FOR4");    // the only group id
const uint32_t kTypeCimg = Code("CIMG");  // the outer group: the whole image
const uint32_t kTypeTbmp = Code("TBMP");  // the group of tiles
const uint32_t kIdTbhd = Code("TBHD");    // the image header
const uint32_t kIdRgba = Code("RGBA");    // a colour tile
const uint32_t kIdZbuf = Code("ZBUF");    // a depth tile

// Every chunk: a 4-byte id and a 4-byte size, then size bytes, then zero bytes up to the next
// file offset that is a multiple of 4. A group's payload starts with its 4-byte type.
const uint64_t kChunkHeaderSize = 8;
const uint32_t kGroupTypeSize = 4;
const uint64_t kGroupHeaderSize = kChunkHeaderSize + kGroupTypeSize;
const uint64_t kAlignment = 4;

// "TBHD": width, height (u32), auxA, auxB (u16), flags (u32), auxC, tile count (u16),
// compression (u32) in the first 24 bytes, which are all a reader takes; as written, auxD and
// auxE (u32) follow up to 32.
const uint32_t kHeaderValuesSize = 24;
const uint32_t kHeaderWrittenSize = 32;
const uint32_t kFlagRgb = 1;    // colour tiles carry three colour channels
const uint32_t kFlagAlpha = 2;  // ... and one of alpha
const uint32_t kFlagDepth = 4;  // the file has "ZBUF" tiles

// A tile's payload starts with its rectangle, x1, y1, x2, y2 (u16 each, inclusive), then the
// pixel data; a "ZBUF" pixel is one u32.
const uint32_t kRectangleSize = 8;
const uint32_t kDepthBytesPerPixel = 4;

// An image is 1 to 32767 pixels a side: the host holds image sizes in signed 16 bits.
const uint32_t kLargestSide = 32767;
// A tile is decoded into one host buffer, whose size is signed 32-bit.
const uint64_t kLargestTileBytes = 0x7FFFFFFF;

// Where the walk reads from. View gives up to count bytes at offset, at least one while offset
// lies inside the source (none past its end or when it cannot be read), valid until the next
// call; the walk reads forward, so a file is read once, a window at a time.
class Source {
public:
    virtual ~Source() = default;
    virtual const uint8_t* View(uint64_t offset, size_t count, size_t* got) = 0;
    // Fills count bytes at offset and answers how many it got.
    size_t Read(uint64_t offset, uint8_t* out, size_t count) {
        size_t done = 0;
        while (done < count) {
            size_t got = 0;
            const uint8_t* bytes = View(offset + done, count - done, &got);
            if (got == 0) break;
            std::memcpy(out + done, bytes, got);
            done += got;
        }
        return done;
    }
};

class MemorySource : public Source {
public:
    MemorySource(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    const uint8_t* View(uint64_t offset, size_t count, size_t* got) override {
        *got = offset >= size_ ? 0 : std::min<uint64_t>(count, size_ - offset);
        return *got == 0 ? nullptr : bytes_ + offset;
    }

private:
    const uint8_t* bytes_;
    size_t size_;
};

// A window of the file is read at once, so that the chunk headers of a file of thousands of
// tiles take a few hundred reads, not a seek and a read per header, and the pixel data checked
// is read in large reads.
class FileSource : public Source {
public:
    explicit FileSource(std::FILE* in) : in_(in), window_(kWindowBytes) {}
    const uint8_t* View(uint64_t offset, size_t count, size_t* got) override {
        // A range that fits a window but runs past this one (which the file goes on past) is read
        // afresh from its start, so that a tile's data comes whole whenever it can.
        const uint64_t wanted = std::min<uint64_t>(count, kWindowBytes);
        const bool runsPast =
            windowBytes_ == kWindowBytes && offset + wanted > windowStart_ + windowBytes_;
        if (offset < windowStart_ || offset >= windowStart_ + windowBytes_ || runsPast) {
            windowStart_ = offset;
            windowBytes_ = ReadFile(offset, window_.data(), kWindowBytes);
        }
        const uint64_t end = windowStart_ + windowBytes_;
        *got = offset >= end ? 0 : std::min<uint64_t>(count, end - offset);
        return window_.data() + (offset - windowStart_);
    }

private:
    static constexpr size_t kWindowBytes = 64 * 1024;

    // A stream without its own buffer reads straight into out. (An unbuffered C++ stream may
    // instead fetch a byte per call, as WebAssembly's library does.)
    size_t ReadFile(uint64_t offset, uint8_t* out, size_t count) {
        if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
            fseeko(in_, static_cast<off_t>(offset), SEEK_SET) != 0)
            return 0;
        return std::fread(out, 1, count, in_);
    }

    std::FILE* in_;
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0;
    size_t windowBytes_ = 0;
};

uint32_t U32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

std::string CodeText(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned char c = static_cast<unsigned char>(code >> shift);
        if (c >= 0x20 && c < 0x7F) {
            text.push_back(static_cast<char>(c));
        } else {
            static const char kHex[] = "0123456789ABCDEF";
            text += "\\x";
            text.push_back(kHex[c >> 4]);
            text.push_back(kHex[c & 15]);
        }
    }
    return text;
}

std::string Number(uint64_t value) { return std::to_string(value); }

std::string Bytes(uint64_t count) { return Number(count) + (count == 1 ? " byte" : " bytes"); }

uint64_t Aligned(uint64_t offset) { return (offset + kAlignment - 1) / kAlignment * kAlignment; }

// A tile's pixel data, read forward from the source a view at a time.
class PayloadCursor {
public:
    PayloadCursor(Source& source, uint64_t start, uint64_t length)
        : source_(source), start_(start), length_(length) {}
    uint64_t position() const { return position_; }
    uint64_t length() const { return length_; }
    bool failed() const { return failed_; }
    // The next byte; false at the end of the data (or when the file cannot be read).
    bool Next(uint8_t* byte) {
        if (left_ == 0 && !Refill()) return false;
        *byte = *bytes_++;
        --left_;
        ++position_;
        return true;
    }
    // count bytes passed over, or copied to out when it is not null; false when the data ends
    // first (then what there was is copied).
    bool Take(uint64_t count, uint8_t* out) {
        while (count > 0) {
            if (left_ == 0 && !Refill()) return false;
            const size_t step = static_cast<size_t>(std::min<uint64_t>(count, left_));
            if (out != nullptr) {
                std::memcpy(out, bytes_, step);
                out += step;
            }
            bytes_ += step;
            left_ -= step;
            position_ += step;
            count -= step;
        }
        return true;
    }

private:
    bool Refill() {
        if (position_ >= length_) return false;
        const uint64_t want = std::min<uint64_t>(length_ - position_, size_t(1) << 20);
        bytes_ = source_.View(start_ + position_, static_cast<size_t>(want), &left_);
        failed_ = left_ == 0;
        return !failed_;
    }

    Source& source_;
    uint64_t start_, length_;
    uint64_t position_ = 0;
    const uint8_t* bytes_ = nullptr;
    size_t left_ = 0;
    bool failed_ = false;
};

// Whether the run stream at data (length bytes, all there) fills planes planes of planeBytes
// bytes exactly, by the rules below; when it does, *leftover is what follows the last plane. The
// check alone, one packet a step, for the walk over every compressed tile of a file.
bool FillsPlanes(const uint8_t* data, uint64_t length, uint32_t planes, uint64_t planeBytes,
                 uint64_t* leftover) {
    uint64_t position = 0;
    for (uint32_t p = 0; p < planes; ++p) {
        // Invariant: position <= length, so length - position cannot wrap.
        for (uint64_t filled = 0; filled < planeBytes;) {
            if (position == length) return false;
            const uint8_t control = data[position++];
            const uint64_t count = (control & 0x7Fu) + 1u;
            if (filled + count > planeBytes) return false;
            const uint64_t take = (control & 0x80u) ? 1 : count;
            if (take > length - position) return false;
            position += take;
            filled += count;
        }
    }
    *leftover = length - position;
    return true;
}

// Reads a run stream of planes planes of planeBytes bytes each. A packet starts with a control
// byte b and stands for n = (b & 0x7F) + 1 bytes: with b & 0x80 one value byte repeated n times,
// else n literal bytes. A plane ends exactly with a packet; a packet that does not fit ends the
// plane (its control byte consumed, nothing of it written), as a reader of the format takes it.
// When out is given, plane p is decoded into out[p] (zero-filled first). Answers "" when the
// stream fills every plane exactly, else what is wrong; *leftover is what follows the last plane.
std::string ReadRunStream(PayloadCursor& in, uint32_t planes, uint64_t planeBytes,
                          uint8_t* const* out, uint64_t* leftover) {
    std::string damage;
    const auto stream = [&in] { return "its run stream of " + Number(in.length()) + " bytes"; };
    auto at = [](uint64_t position) { return " at byte " + Number(position); };
    auto plane = [&](uint32_t p, uint64_t filled) {
        return "plane " + Number(p + 1) + " of " + Number(planes) + " (" + Number(filled) +
               " of its " + Number(planeBytes) + " bytes filled)";
    };
    for (uint32_t p = 0; p < planes; ++p) {
        uint8_t* target = out != nullptr ? out[p] : nullptr;
        if (target != nullptr) std::memset(target, 0, static_cast<size_t>(planeBytes));
        uint64_t filled = 0;
        while (filled < planeBytes) {
            const uint64_t start = in.position();
            uint8_t control = 0;
            if (!in.Next(&control)) {
                if (damage.empty()) damage = stream() + " ends in " + plane(p, filled);
                break;
            }
            const uint64_t count = (control & 0x7Fu) + 1u;
            if (filled + count > planeBytes) {
                if (damage.empty()) {
                    damage = "a packet of " + Bytes(count) + at(start) + " runs past the end of " +
                             plane(p, filled);
                }
                break;
            }
            if (control & 0x80u) {
                uint8_t value = 0;
                if (!in.Next(&value)) {
                    if (damage.empty()) {
                        damage = "the repeated-byte packet" + at(start) + " of " + stream() +
                                 " has no value byte: the stream ends";
                    }
                    break;
                }
                if (target != nullptr) std::memset(target + filled, value, count);
            } else if (!in.Take(count, target != nullptr ? target + filled : nullptr)) {
                if (damage.empty()) {
                    damage = "a literal packet of " + Bytes(count) + at(start) +
                             " runs past the end of " + stream();
                }
                break;
            }
            filled += count;
        }
    }
    if (in.failed()) return "the file could not be read inside the tile";
    *leftover = damage.empty() ? in.length() - in.position() : 0;
    return damage;
}

// A chunk header as read.
struct Chunk {
    uint64_t offset = 0;
    uint32_t id = 0;
    uint32_t size = 0;
    uint32_t type = 0;  // a group's type
    bool IsGroup() const { return id == kIdFor4; }
    // Just past the payload; the pad bytes follow.
    uint64_t End() const { return offset + kChunkHeaderSize + size; }
    std::string Name() const { return CodeText(id) + (IsGroup() ? " " + CodeText(type) : ""); }
};

// The group whose children are being walked.
struct Group {
    Chunk chunk;
    std::string path;  // its own and its enclosing groups' types, outermost first
};

class Walker {
public:
    Walker(Source& source, uint64_t size, const WalkSettings& settings)
        : source_(source), settings_(settings) {
        layout_.fileSize = size;
        layout_.runStreamsChecked = settings.checkRunStreams;
    }

    Layout Walk() {
        if (WalkOuterGroup()) Verdict();
        return layout_;
    }

private:
    // Records why the walk stops; always false, so that callers can return it.
    bool Stop(uint64_t offset, const std::string& chunk, const std::string& groups,
              const std::string& reason) {
        layout_.damage.offset = offset;
        layout_.damage.chunk = chunk;
        layout_.damage.groups = groups;
        layout_.damage.reason = reason;
        return false;
    }

    bool FileEndsIn(const Chunk& chunk, const std::string& groups) {
        layout_.truncated = true;
        return Stop(chunk.offset, chunk.Name(), groups,
                    "chunk \"" + chunk.Name() + "\" at offset " + Number(chunk.offset) +
                        " claims " + Number(chunk.size) + " bytes, but the file ends at " +
                        Number(layout_.fileSize));
    }

    // Only ever asked for bytes inside the file, so a short read is a failed read.
    bool ReadAt(uint64_t offset, uint8_t* out, size_t count, const std::string& groups) {
        if (source_.Read(offset, out, count) == count) return true;
        return Stop(offset, "", groups, "the file could not be read at offset " + Number(offset));
    }

    // Reads the header of the child of group at offset into *chunk, and checks that the child
    // lies inside the group.
    bool ReadChild(const Group& group, uint64_t offset, Chunk* chunk) {
        const uint64_t fileSize = layout_.fileSize;
        const Chunk& parent = group.chunk;
        if (offset >= fileSize) {
            layout_.truncated = true;
            return Stop(fileSize, parent.Name(), group.path,
                        "the file ends at " + Number(fileSize) + ", inside group \"" +
                            parent.Name() + "\" at offset " + Number(parent.offset) +
                            ", which claims " + Number(parent.size) + " bytes (up to " +
                            Number(parent.End()) + ")");
        }
        chunk->offset = offset;
        uint8_t head[kGroupHeaderSize];
        const bool headerCut = offset + kChunkHeaderSize > fileSize;
        if (!headerCut) {
            if (!ReadAt(offset, head, kChunkHeaderSize, group.path)) return false;
            chunk->id = U32(head);
            chunk->size = U32(head + 4);
        }
        if (headerCut || (chunk->IsGroup() && offset + kGroupHeaderSize > fileSize)) {
            layout_.truncated = true;
            return Stop(offset, "", group.path,
                        "the file ends at " + Number(fileSize) +
                            ", inside the header of the chunk at offset " + Number(offset));
        }
        if (chunk->IsGroup()) {
            if (!ReadAt(offset + kChunkHeaderSize, head, kGroupTypeSize, group.path)) {
                return false;
            }
            chunk->type = U32(head);
            if (chunk->size < kGroupTypeSize) {
                return Stop(offset, "FOR4", group.path,
                            "group \"FOR4\" at offset " + Number(offset) + " claims " +
                                Number(chunk->size) + " bytes, fewer than the " +
                                Number(kGroupTypeSize) + " of its type");
            }
        }
        // A child that runs past its group's end within the file contradicts the group's size;
        // one that runs past the end of the file is cut, which the caller tells.
        if (chunk->End() > parent.End() && parent.End() <= fileSize) {
            return Stop(offset, chunk->Name(), group.path,
                        "chunk \"" + chunk->Name() + "\" at offset " + Number(offset) +
                            " ends at " + Number(chunk->End()) + ", past the end of its group \"" +
                            parent.Name() + "\" at offset " + Number(parent.offset) + " (at " +
                            Number(parent.End()) + ")");
        }
        return true;
    }

    bool WalkOuterGroup() {
        const uint64_t fileSize = layout_.fileSize;
        if (fileSize < kGroupHeaderSize) {
            return Stop(0, "", "",
                        "the file is " + Number(fileSize) + " bytes long, too short for the " +
                            Number(kGroupHeaderSize) + "-byte group header an image starts with");
        }
        uint8_t head[kGroupHeaderSize];
        if (!ReadAt(0, head, kGroupHeaderSize, "")) return false;
        Group outer;
        outer.chunk.id = U32(head);
        outer.chunk.size = U32(head + 4);
        outer.chunk.type = U32(head + 8);
        if (outer.chunk.id != kIdFor4 || outer.chunk.type != kTypeCimg) {
            const std::string start = outer.chunk.id == kIdFor4 ? "a group \"" + outer.chunk.Name()
                                                                : "\"" + CodeText(outer.chunk.id);
            return Stop(0, "", "",
                        "the file starts with " + start + "\", not a group \"FOR4 CIMG\"");
        }
        layout_.recognised = true;
        outer.path = "CIMG";

        uint64_t offset = kGroupHeaderSize;
        while (offset < outer.chunk.End()) {
            Chunk chunk;
            if (!ReadChild(outer, offset, &chunk)) return false;
            ChunkInfo info;
            info.id = CodeText(chunk.id);
            if (chunk.IsGroup()) info.groupType = CodeText(chunk.type);
            info.offset = chunk.offset;
            info.size = chunk.size;
            layout_.chunks.push_back(info);

            // The first header and the first tile group after it are the ones that count;
            // other chunks and groups are opaque.
            if (chunk.id == kIdTbhd && !layout_.hasHeader) {
                if (!ReadHeader(chunk, outer.path)) return false;
            } else if (chunk.IsGroup() && chunk.type == kTypeTbmp && layout_.hasHeader &&
                       !layout_.hasTileGroup) {
                layout_.hasTileGroup = true;
                tileGroup_ = chunk;
                if (!WalkTileGroup(Group{chunk, outer.path + "/TBMP"})) return false;
            }
            if (chunk.End() > fileSize) return FileEndsIn(chunk, outer.path);
            offset = Aligned(chunk.End());
        }
        outerEnd_ = outer.chunk.End();
        if (!layout_.hasHeader) {
            return Stop(outerEnd_ < fileSize ? outerEnd_ : fileSize, "FOR4 CIMG", "",
                        "group \"FOR4 CIMG\" at offset 0 holds no header chunk \"TBHD\"");
        }
        return true;
    }

    bool ReadHeader(const Chunk& chunk, const std::string& groups) {
        const std::string at = " at offset " + Number(chunk.offset);
        if (chunk.size < kHeaderValuesSize) {
            return Stop(chunk.offset, "TBHD", groups,
                        "header chunk \"TBHD\"" + at + " holds " + Number(chunk.size) +
                            " bytes, fewer than the " + Number(kHeaderValuesSize) +
                            " of its values");
        }
        const uint64_t payload = chunk.offset + kChunkHeaderSize;
        const uint64_t inFile = layout_.fileSize - payload;  // the chunk's header is in the file
        if (inFile < kHeaderValuesSize) return FileEndsIn(chunk, groups);
        const bool aux = chunk.size >= kHeaderWrittenSize && inFile >= kHeaderWrittenSize;
        uint8_t v[kHeaderWrittenSize];
        if (!ReadAt(payload, v, aux ? kHeaderWrittenSize : kHeaderValuesSize, groups)) {
            return false;
        }
        HeaderValues& h = layout_.header;
        h.payloadSize = chunk.size;
        h.width = U32(v);
        h.height = U32(v + 4);
        h.auxA = U16(v + 8);
        h.auxB = U16(v + 10);
        h.flags = U32(v + 12);
        h.auxC = U16(v + 16);
        h.tileCount = U16(v + 18);
        h.compression = U32(v + 20);
        h.hasAuxDE = aux;
        if (aux) {
            h.auxD = U32(v + 24);
            h.auxE = U32(v + 28);
        }
        layout_.hasHeader = true;
        layout_.colourChannels = ((h.flags & kFlagRgb) ? 3 : 0) + ((h.flags & kFlagAlpha) ? 1 : 0);
        layout_.hasDepth = (h.flags & kFlagDepth) != 0;
        layout_.colourTilesExpected = layout_.colourChannels > 0 ? h.tileCount : 0;
        layout_.depthTilesExpected = layout_.hasDepth ? h.tileCount : 0;

        const std::string header = "header \"TBHD\"" + at + ": ";
        const std::string side = "; an image is 1 to " + Number(kLargestSide) + " pixels ";
        if (h.width == 0 || h.width > kLargestSide) {
            return Stop(chunk.offset, "TBHD", groups,
                        header + "width " + Number(h.width) + side + "wide");
        }
        if (h.height == 0 || h.height > kLargestSide) {
            return Stop(chunk.offset, "TBHD", groups,
                        header + "height " + Number(h.height) + side + "high");
        }
        if (layout_.colourChannels == 0 && !layout_.hasDepth) {
            return Stop(
                chunk.offset, "TBHD", groups,
                header + "flags " + Number(h.flags) + " announce neither colour nor depth tiles");
        }
        if (layout_.hasDepth && settings_.rawDepth != nullptr) {
            RawDepth& depth = *settings_.rawDepth;
            depth.width = static_cast<int>(h.width);
            depth.height = static_cast<int>(h.height);
            depth.values.assign(static_cast<size_t>(h.width) * h.height, 0);
        }
        return true;
    }

    bool WalkTileGroup(const Group& group) {
        uint64_t offset = group.chunk.offset + kGroupHeaderSize;
        while (offset < group.chunk.End()) {
            Chunk chunk;
            if (!ReadChild(group, offset, &chunk)) return false;
            if (chunk.id == kIdRgba || chunk.id == kIdZbuf) {
                if (!WalkTile(chunk, group.path)) return false;
            } else {
                ++layout_.otherChunksInTileGroup;
                if (chunk.End() > layout_.fileSize) return FileEndsIn(chunk, group.path);
            }
            offset = Aligned(chunk.End());
        }
        return true;
    }

    bool WalkTile(const Chunk& chunk, const std::string& groups) {
        const std::string name = CodeText(chunk.id);
        const std::string at = " at offset " + Number(chunk.offset);
        if (chunk.size < kRectangleSize) {
            return Stop(chunk.offset, name, groups,
                        "tile \"" + name + "\"" + at + " claims " + Number(chunk.size) +
                            " bytes, fewer than the " + Number(kRectangleSize) +
                            " of its rectangle");
        }
        const uint64_t rectangleAt = chunk.offset + kChunkHeaderSize;
        if (rectangleAt + kRectangleSize > layout_.fileSize) return FileEndsIn(chunk, groups);
        uint8_t r[kRectangleSize];
        if (!ReadAt(rectangleAt, r, kRectangleSize, groups)) return false;

        TileInfo tile;
        tile.depth = chunk.id == kIdZbuf;
        tile.offset = chunk.offset;
        tile.size = chunk.size;
        tile.x1 = U16(r);
        tile.y1 = U16(r + 2);
        tile.x2 = U16(r + 4);
        tile.y2 = U16(r + 6);
        const bool reversed = tile.x2 < tile.x1 || tile.y2 < tile.y1;
        tile.width = reversed ? 0 : static_cast<uint32_t>(tile.x2 - tile.x1 + 1);
        tile.height = reversed ? 0 : static_cast<uint32_t>(tile.y2 - tile.y1 + 1);
        const uint32_t bytesPerPixel =
            tile.depth ? kDepthBytesPerPixel : static_cast<uint32_t>(layout_.colourChannels);
        // At most 65536 * 65536 * 4: no overflow in 64 bits.
        tile.rawBytes = static_cast<uint64_t>(tile.width) * tile.height * bytesPerPixel;
        tile.storedBytes = chunk.size - kRectangleSize;
        // Nothing else marks the choice: pixel data shorter than raw is compressed.
        tile.compressed = tile.storedBytes < tile.rawBytes;
        layout_.tiles.push_back(tile);
        layout_.storedBytes += tile.storedBytes;
        layout_.rawBytes += tile.rawBytes;

        // Tiles of a kind the flags do not announce are passed over, whatever their rectangle.
        const bool announced = tile.depth ? layout_.hasDepth : layout_.colourChannels > 0;
        if (announced) {
            const HeaderValues& h = layout_.header;
            const std::string rectangle = "tile rectangle " + Number(tile.x1) + "," +
                                          Number(tile.y1) + "-" + Number(tile.x2) + "," +
                                          Number(tile.y2) + at;
            if (reversed) {
                return Stop(chunk.offset, name, groups,
                            rectangle + " is reversed: x2 or y2 lies before x1 or y1");
            }
            if (tile.x2 >= h.width || tile.y2 >= h.height) {
                return Stop(chunk.offset, name, groups,
                            rectangle + " lies outside the " + Number(h.width) + " x " +
                                Number(h.height) + " image");
            }
            if (tile.rawBytes > kLargestTileBytes) {
                return Stop(chunk.offset, name, groups,
                            "tile \"" + name + "\"" + at + " of " + Number(tile.width) + " x " +
                                Number(tile.height) + " pixels decodes to " +
                                Number(tile.rawBytes) + " bytes, more than the " +
                                Number(kLargestTileBytes) + " a tile may take");
            }
        }
        if (chunk.End() > layout_.fileSize) return FileEndsIn(chunk, groups);
        if (announced) {
            // The module reads on, taking every tile, until it has as many of each kind as the
            // header announces.
            const bool taken = layout_.colourTilesFound < layout_.colourTilesExpected ||
                               layout_.depthTilesFound < layout_.depthTilesExpected;
            // A reader takes the first tiles of each kind, as many as the header announces.
            int& found = tile.depth ? layout_.depthTilesFound : layout_.colourTilesFound;
            const int expected =
                tile.depth ? layout_.depthTilesExpected : layout_.colourTilesExpected;
            const PixelRect rect{tile.x1, tile.y1, tile.x2 + 1, tile.y2 + 1};
            if (found < expected) (tile.depth ? depthRects_ : colourRects_).push_back(rect);
            ++found;
            const bool keepDepth = tile.depth && taken && settings_.rawDepth != nullptr;
            if ((tile.compressed && settings_.checkRunStreams) || keepDepth) {
                if (!ReadPixels(layout_.tiles.size() - 1, bytesPerPixel, keepDepth)) return false;
            }
        }
        return true;
    }

    // Reads the pixel data of the last tile listed: checks a compressed tile's run stream, and
    // for depth puts the values into the raw depth buffer when asked.
    bool ReadPixels(size_t index, uint32_t bytesPerPixel, bool keepDepth) {
        TileInfo& tile = layout_.tiles[index];
        const uint64_t planeBytes = static_cast<uint64_t>(tile.width) * tile.height;
        PayloadCursor in(source_, tile.offset + kChunkHeaderSize + kRectangleSize,
                         tile.storedBytes);
        uint8_t* planes[kDepthBytesPerPixel] = {};
        if (keepDepth) {
            planes_.resize(static_cast<size_t>(planeBytes * kDepthBytesPerPixel));
            for (uint32_t p = 0; p < kDepthBytesPerPixel; ++p)
                planes[p] = planes_.data() + p * planeBytes;
        }
        if (tile.compressed && !keepDepth) {
            // Most tiles are whole and their data lies in one view: checked in one tight loop; a
            // damaged one is read again below for what is wrong with it.
            size_t got = 0;
            const uint8_t* data = source_.View(tile.offset + kChunkHeaderSize + kRectangleSize,
                                               static_cast<size_t>(tile.storedBytes), &got);
            if (got == tile.storedBytes &&
                FillsPlanes(data, got, bytesPerPixel, planeBytes, &tile.leftoverBytes))
                return true;
        }
        if (tile.compressed) {
            const std::string damage = ReadRunStream(
                in, bytesPerPixel, planeBytes, keepDepth ? planes : nullptr, &tile.leftoverBytes);
            if (in.failed()) return UnreadableTile(tile);
            if (!damage.empty()) layout_.damagedTiles.push_back(TileDamage{index, damage});
        } else if (keepDepth) {
            // Raw: each pixel's four bytes, most significant first; gathered into planes here
            // so that both stored forms are placed the same way.
            std::vector<uint8_t>& raw = rawPixels_;
            raw.resize(static_cast<size_t>(planeBytes * kDepthBytesPerPixel));
            if (!in.Take(raw.size(), raw.data())) return UnreadableTile(tile);
            for (uint64_t i = 0; i < planeBytes; ++i) {
                for (uint32_t p = 0; p < kDepthBytesPerPixel; ++p)
                    planes[p][i] = raw[static_cast<size_t>(i * kDepthBytesPerPixel + p)];
            }
        }
        if (keepDepth) PlaceDepth(tile, planes);
        return true;
    }

    bool UnreadableTile(const TileInfo& tile) {
        return Stop(tile.offset, tile.depth ? "ZBUF" : "RGBA", "CIMG/TBMP",
                    "the file could not be read inside the tile at offset " + Number(tile.offset));
    }

    // Plane byte k of a tile is its row k / width counted from its bottom, column k % width;
    // the buffer's rows count from the top of the image.
    void PlaceDepth(const TileInfo& tile, uint8_t* const* planes) {
        RawDepth& depth = *settings_.rawDepth;
        const uint32_t imageHeight = layout_.header.height;
        for (uint32_t r = 0; r < tile.height; ++r) {
            const size_t row = imageHeight - 1 - (tile.y1 + r);
            uint32_t* to = depth.values.data() + row * static_cast<size_t>(depth.width) + tile.x1;
            const size_t from = static_cast<size_t>(r) * tile.width;
            for (uint32_t x = 0; x < tile.width; ++x) {
                to[x] = (static_cast<uint32_t>(planes[0][from + x]) << 24) |
                        (static_cast<uint32_t>(planes[1][from + x]) << 16) |
                        (static_cast<uint32_t>(planes[2][from + x]) << 8) | planes[3][from + x];
            }
        }
    }

    // The walk got through: are all the tiles the header announces there?
    void Verdict() {
        Layout& l = layout_;
        const bool colourShort = l.colourTilesFound < l.colourTilesExpected;
        const bool depthShort = l.depthTilesFound < l.depthTilesExpected;
        if (!colourShort && !depthShort) {
            Coverage();
            return;
        }
        std::string missing;
        if (colourShort) {
            missing = Number(l.colourTilesFound) + " of the " + Number(l.colourTilesExpected) +
                      " colour tiles";
        }
        if (depthShort) {
            missing += (missing.empty() ? "" : " and ") + Number(l.depthTilesFound) + " of the " +
                       Number(l.depthTilesExpected) + " depth tiles";
        }
        if (!l.hasTileGroup) {
            Stop(outerEnd_ < l.fileSize ? outerEnd_ : l.fileSize, "FOR4 CIMG", "",
                 "group \"FOR4 CIMG\" at offset 0 holds no tile group \"FOR4 TBMP\" after its "
                 "header, so none of the tiles the header announces");
            return;
        }
        Stop(tileGroup_.End(), "FOR4 TBMP", "CIMG",
             "tile group \"FOR4 TBMP\" at offset " + Number(tileGroup_.offset) + " ends at " +
                 Number(tileGroup_.End()) + " with only " + missing + " that the header announces");
    }

    // All the tiles there: do they reach every pixel? (A header may announce too few, even none.)
    void Coverage() {
        Layout& l = layout_;
        const int width = static_cast<int>(l.header.width);
        const int height = static_cast<int>(l.header.height);
        if (l.colourChannels > 0)
            l.colourPixelsUncovered = UncoveredPixels(colourRects_, width, height);
        if (l.hasDepth) l.depthPixelsUncovered = UncoveredPixels(depthRects_, width, height);
        const uint64_t colour = l.colourPixelsUncovered, depth = l.depthPixelsUncovered;
        if (colour == 0 && depth == 0) return;
        const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
        const uint16_t count = l.header.tileCount;
        std::string reason = "the header announces " + Number(count) +
                             (count == 1 ? " tile" : " tiles") + ", which leave ";
        if (colour != 0 && depth != 0 && colour != depth) {
            reason += Number(colour) + " of the image's " + Number(pixels) +
                      " pixels without colour and " + Number(depth) + " without depth";
        } else {
            reason += Number(colour != 0 ? colour : depth) + " of the image's " + Number(pixels) +
                      " pixels uncovered";
        }
        if (l.hasTileGroup) {
            Stop(tileGroup_.End(), "FOR4 TBMP", "CIMG", reason);
        } else {
            Stop(outerEnd_ < l.fileSize ? outerEnd_ : l.fileSize, "FOR4 CIMG", "", reason);
        }
    }

    Source& source_;
    const WalkSettings& settings_;
    Layout layout_;
    std::vector<uint8_t> planes_;  // a depth tile's four planes, most significant first
    std::vector<uint8_t> rawPixels_;
    std::vector<PixelRect> colourRects_;  // of the tiles a reader takes
    std::vector<PixelRect> depthRects_;
    Chunk tileGroup_;
    uint64_t outerEnd_ = 0;
};

}  // namespace

std::string TileName(const TileInfo& tile, size_t index) {
    return "tile " + Number(index) + " (" + (tile.depth ? "ZBUF " : "RGBA ") + Number(tile.x1) +
           "," + Number(tile.y1) + "-" + Number(tile.x2) + "," + Number(tile.y2) + " at offset " +
           Number(tile.offset) + ")";
}

std::string DamagedTilesText(const Layout& layout) {
    if (layout.damagedTiles.empty()) return "";
    const TileDamage& first = layout.damagedTiles.front();
    std::string text = TileName(layout.tiles[first.tile], first.tile) + ": " + first.reason;
    const size_t more = layout.damagedTiles.size() - 1;
    if (more > 0) text += " (and " + Number(more) + " more damaged tile" + (more == 1 ? ")" : "s)");
    return text;
}

int Layout::ColourTiles() const {
    int count = 0;
    for (const TileInfo& tile : tiles) count += tile.depth ? 0 : 1;
    return count;
}

int Layout::DepthTiles() const { return static_cast<int>(tiles.size()) - ColourTiles(); }

int Layout::CompressedTiles() const {
    int count = 0;
    for (const TileInfo& tile : tiles) count += tile.compressed ? 1 : 0;
    return count;
}

Layout WalkLayout(const uint8_t* bytes, size_t size, const WalkSettings& settings) {
    if (settings.rawDepth != nullptr) *settings.rawDepth = RawDepth();
    MemorySource source(bytes, size);
    return Walker(source, size, settings).Walk();
}

bool WalkLayoutFile(const std::string& path, Layout* layout, std::string* why,
                    const WalkSettings& settings) {
    namespace fs = std::filesystem;
#ifdef _WIN32
    // Names are UTF-8 (the programs' code page); a plain conversion would read them as Latin-1.
    const fs::path file = fs::u8path(path);
#else
    const fs::path file = path;
#endif
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (error) {
        *why = error.message();
        return false;
    }
    if (fs::is_directory(status)) {
        *why = "it is a directory";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        *why = "not a regular file";
        return false;
    }
    const uintmax_t size = fs::file_size(file, error);
    if (error) {
        *why = error.message();
        return false;
    }
    errno = 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
    if (!in) {
        *why = errno != 0 ? std::strerror(errno) : "it cannot be opened for reading";
        return false;
    }
    std::setvbuf(in.get(), nullptr, _IONBF, 0);  // FileSource keeps its own window
    FileSource source(in.get());
    if (settings.rawDepth != nullptr) *settings.rawDepth = RawDepth();
    *layout = Walker(source, static_cast<uint64_t>(size), settings).Walk();
    return true;
}

std::vector<std::string> KnownFlagNames(uint32_t flags) {
    std::vector<std::string> names;
    if (flags & kFlagRgb) names.push_back("rgb");
    if (flags & kFlagAlpha) names.push_back("alpha");
    if (flags & kFlagDepth) names.push_back("depth");
    return names;
}

std::string FlagNames(uint32_t flags) {
    std::vector<std::string> names = KnownFlagNames(flags);
    if (flags & ~(kFlagRgb | kFlagAlpha | kFlagDepth)) names.push_back("other bits");
    if (names.empty()) return "none";
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace tarniff
