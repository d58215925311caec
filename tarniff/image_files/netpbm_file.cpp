#include "tarniff/image_files/codecs.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "tarniff/tarniff.h"

namespace tarniff {

namespace {
// The plane counts the module saves: gray, gray and alpha, RGB, RGBA, RGBA and one more.
const int kFewestPlanes = 1;
const int kMostPlanes = 5;
const int kOnlyMaxval = 255;
// A header line longer than this is not a PAM header.
const size_t kLongestHeaderLine = 1024;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// One header line without its line end; false at the end of the file.
bool ReadLine(FILE* file, std::string* line) {
    line->clear();
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n') {
        if (line->size() >= kLongestHeaderLine) return false;
        line->push_back(static_cast<char>(c));
    }
    return c != EOF || !line->empty();
}

long ParseCount(const std::string& text);

// The widest samples Netpbm has: two bytes, most significant first.
const long kWidestMaxval = 65535;
}  // namespace

// One sample of maxval scaled to 8 bits. Samples of MAXVAL 65535 are scaled exactly as libpng
// scales 16-bit PNG samples, so that the same image read from either gives the same bytes.
uint8_t ScaleSample(uint32_t value, uint32_t maxval) {
    if (value > maxval) value = maxval;
    if (maxval == 65535) {
        int32_t high = static_cast<int32_t>(value >> 8), low = static_cast<int32_t>(value & 0xFF);
        return static_cast<uint8_t>(high + (((low - high + 128) * 65535) >> 24));
    }
    return static_cast<uint8_t>((value * 255 + maxval / 2) / maxval);
}

namespace {

// Reads 8-bit samples straight into the sink's rows, a block at a time, and gives the number of
// bytes read: fewer than the image's when the file ends early (the sink then lacks the rest).
size_t ReadPlainSamples(FILE* file, RowSink* sink, long width, long height, long depth) {
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(depth);
    const int block = sink->BlockRows(static_cast<int>(width), static_cast<int>(depth));
    size_t total = 0;
    for (long top = 0; top < height; top += block) {
        const int count = static_cast<int>(height - top < block ? height - top : block);
        const size_t bytes = static_cast<size_t>(count) * rowBytes;
        size_t got = std::fread(sink->Rows(static_cast<int>(top), count), 1, bytes, file);
        total += got;
        if (got != bytes) break;
        sink->Filled(static_cast<int>(top), count);
    }
    return total;
}

// The pixel data of a P5 or P6 file, or of a PAM file whose MAXVAL is not 255: one byte a sample
// up to MAXVAL 255, two above; every sample scaled to 8 bits.
void ReadScaledSamples(FILE* file, const std::string& name, long width, long height, long depth,
                       long maxval, RowSink* sink) {
    const size_t bytesPerSample = maxval > 255 ? 2 : 1;
    const size_t rowBytes =
        static_cast<size_t>(width) * static_cast<size_t>(depth) * bytesPerSample;
    auto ended = [&](size_t got) {
        return Error(name + ": not a usable Netpbm file: it ends after " + std::to_string(got) +
                     " of " + std::to_string(static_cast<size_t>(height) * rowBytes) +
                     " bytes of pixel data");
    };
    // The pixel data must be in the file before room is made for it, as for PAM files of MAXVAL
    // 255: a header alone may describe more than a GiB of samples. A short file is refused with
    // the words reading it would end with.
    const long dataStart = std::ftell(file);
    if (dataStart >= 0 && std::fseek(file, 0, SEEK_END) == 0) {
        const long fileEnd = std::ftell(file);
        if (fileEnd >= dataStart && static_cast<unsigned long>(fileEnd - dataStart) <
                                        static_cast<size_t>(height) * rowBytes) {
            throw ended(static_cast<size_t>(fileEnd - dataStart));
        }
        if (std::fseek(file, dataStart, SEEK_SET) != 0) {
            throw Error(name + ": not a usable Netpbm file: it cannot be read back");
        }
    }
    sink->Begin(static_cast<int>(width), static_cast<int>(height), static_cast<int>(depth),
                maxval > 255 ? 16 : 8);
    if (bytesPerSample == 1) {
        // Samples of one byte are read in place and scaled through a table of every value.
        uint8_t scaled[256];
        for (uint32_t v = 0; v < 256; ++v)
            scaled[v] = ScaleSample(v, static_cast<uint32_t>(maxval));
        const bool identity = maxval == 255;
        const int block = sink->BlockRows(static_cast<int>(width), static_cast<int>(depth));
        size_t total = 0;
        for (long top = 0; top < height; top += block) {
            const int count = static_cast<int>(height - top < block ? height - top : block);
            const size_t bytes = static_cast<size_t>(count) * rowBytes;
            uint8_t* to = sink->Rows(static_cast<int>(top), count);
            size_t got = std::fread(to, 1, bytes, file);
            total += got;
            if (got != bytes) throw ended(total);
            if (!identity) {
                for (size_t i = 0; i < bytes; ++i) to[i] = scaled[to[i]];
            }
            sink->Filled(static_cast<int>(top), count);
        }
        return;
    }
    std::vector<uint8_t> row(rowBytes);
    const int block = sink->BlockRows(static_cast<int>(width), static_cast<int>(depth));
    for (long top = 0; top < height; top += block) {
        const int count = static_cast<int>(height - top < block ? height - top : block);
        uint8_t* to = sink->Rows(static_cast<int>(top), count);
        for (long y = top; y < top + count; ++y) {
            size_t got = std::fread(row.data(), 1, row.size(), file);
            if (got != row.size()) throw ended(static_cast<size_t>(y) * row.size() + got);
            for (size_t i = 0; i < row.size(); i += 2) {
                *to++ = ScaleSample((uint32_t(row[i]) << 8) | row[i + 1],
                                    static_cast<uint32_t>(maxval));
            }
        }
        sink->Filled(static_cast<int>(top), count);
    }
}

// The next header token of a P5 or P6 file: white space and comments to the line end are passed
// over. Gives -1 for anything but a decimal number.
long NextNumber(FILE* file) {
    int c = std::fgetc(file);
    for (;;) {
        while (c != EOF && std::isspace(c)) c = std::fgetc(file);
        if (c != '#') break;
        while (c != EOF && c != '\n') c = std::fgetc(file);
    }
    std::string digits;
    while (c != EOF && c >= '0' && c <= '9' && digits.size() < 10) {
        digits.push_back(static_cast<char>(c));
        c = std::fgetc(file);
    }
    // Exactly one white-space character ends the number (the last one before the pixel data).
    if (c == EOF || !std::isspace(c)) return -1;
    return ParseCount(digits);
}

// A positive decimal number that fits an int, else -1.
long ParseCount(const std::string& text) {
    if (text.empty() || text.size() > 9) return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}
}  // namespace

void ReadPam(const std::string& path, RowSink* sink, const ReadSettings& settings) {
    const std::string& name = settings.name.empty() ? path : settings.name;
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw Error(name + ": cannot open: " + std::strerror(errno));
    auto bad = [&name](const std::string& why) {
        return Error(name + ": not a usable PAM file: " + why);
    };

    std::string line;
    if (!ReadLine(file.get(), &line) || line != "P7") throw bad("it does not start with \"P7\"");
    long width = -1, height = -1, depth = -1, maxval = -1;
    bool ended = false;
    while (ReadLine(file.get(), &line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t space = line.find_first_of(" \t");
        std::string key = line.substr(0, space);
        std::string value;
        if (space != std::string::npos) {
            size_t start = line.find_first_not_of(" \t", space);
            size_t end = line.find_last_not_of(" \t\r");
            if (start != std::string::npos && end >= start)
                value = line.substr(start, end - start + 1);
        }
        if (key == "ENDHDR") {
            ended = true;
            break;
        }
        long* field = key == "WIDTH"    ? &width
                      : key == "HEIGHT" ? &height
                      : key == "DEPTH"  ? &depth
                      : key == "MAXVAL" ? &maxval
                                        : nullptr;
        if (field != nullptr) {
            *field = ParseCount(value);
            if (*field < 0) throw bad(key + " \"" + value + "\" is not a number");
        } else if (key != "TUPLTYPE") {
            throw bad("unknown header line \"" + line + "\"");
        }
    }
    if (!ended) throw bad("the header has no ENDHDR line");
    if (width < 0 || height < 0 || depth < 0 || maxval < 0) {
        throw bad("the header lacks WIDTH, HEIGHT, DEPTH or MAXVAL");
    }
    if (width < 1 || height < 1) throw bad("the image is empty");
    if (maxval < 1 || maxval > kWidestMaxval) {
        throw Error(name + ": MAXVAL " + std::to_string(maxval) + " is not supported: 1 to 65535");
    }
    if (depth < kFewestPlanes || depth > kMostPlanes) {
        throw Error(name + ": DEPTH " + std::to_string(depth) +
                    " is not supported: the format saves 1 or 2 (gray) and 3 to 5 (RGB) planes");
    }
    CheckFormatLimits(width, height, name);
    CheckImageSizeLimit(width, height, static_cast<int>(depth), settings.maxImageBytes, name,
                        settings.raiseLimit);
    if (maxval != kOnlyMaxval)
        return ReadScaledSamples(file.get(), name, width, height, depth, maxval, sink);

    // The pixel data must be in the file before room is made for it: a header alone may describe
    // up to 5 GiB of samples.
    const size_t needed =
        static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(depth);
    const long dataStart = std::ftell(file.get());
    if (dataStart >= 0 && std::fseek(file.get(), 0, SEEK_END) == 0) {
        const long fileEnd = std::ftell(file.get());
        if (fileEnd >= dataStart && static_cast<unsigned long>(fileEnd - dataStart) < needed) {
            throw bad("it ends after " + std::to_string(fileEnd - dataStart) + " of " +
                      std::to_string(needed) + " bytes of pixel data");
        }
        if (std::fseek(file.get(), dataStart, SEEK_SET) != 0) throw bad("it cannot be read back");
    }

    sink->Begin(static_cast<int>(width), static_cast<int>(height), static_cast<int>(depth), 8);
    size_t got = ReadPlainSamples(file.get(), sink, width, height, depth);
    if (got != needed) {
        throw bad("it ends after " + std::to_string(got) + " of " + std::to_string(needed) +
                  " bytes of pixel data");
    }
}

namespace {
// The header, then the rows a block at a time; false when a write fails.
bool WriteRows(FILE* file, const std::string& header, RowSource& rows) {
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) return false;
    const int block = RowsPerBlock(rows.width(), rows.channels());
    for (int top = 0; top < rows.height(); top += block) {
        const int count = rows.height() - top < block ? rows.height() - top : block;
        const size_t bytes = static_cast<size_t>(count) * rows.rowBytes();
        if (std::fwrite(rows.Rows(top, count), 1, bytes, file) != bytes) return false;
    }
    return true;
}
}  // namespace

void WritePam(RowSource& rows, const std::string& path, const std::string& name,
              const WriteSettings& settings) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw Error(name + ": cannot open for writing: " + std::strerror(errno));
    std::string header = "P7\nWIDTH " + std::to_string(rows.width()) + "\nHEIGHT " +
                         std::to_string(rows.height()) + "\nDEPTH " +
                         std::to_string(rows.channels()) + "\nMAXVAL 255\n";
    if (!settings.tupleType.empty()) header += "TUPLTYPE " + settings.tupleType + "\n";
    header += "ENDHDR\n";
    bool written = WriteRows(file.get(), header, rows);
    int closed = std::fclose(file.release());
    if (!written || closed != 0) throw Error(name + ": cannot write: " + std::strerror(errno));
}

void ReadPnm(const std::string& path, RowSink* sink, const ReadSettings& settings) {
    const std::string& name = settings.name.empty() ? path : settings.name;
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw Error(name + ": cannot open: " + std::strerror(errno));
    char magic[2] = {0, 0};
    if (std::fread(magic, 1, 2, file.get()) != 2 || magic[0] != 'P' ||
        (magic[1] != '5' && magic[1] != '6')) {
        throw Error(name +
                    ": not a usable PGM or PPM file: it does not start with \"P5\" or \"P6\"");
    }
    const long depth = magic[1] == '5' ? 1 : 3;
    const long width = NextNumber(file.get());
    const long height = NextNumber(file.get());
    const long maxval = NextNumber(file.get());
    if (width < 1 || height < 1 || maxval < 1 || maxval > kWidestMaxval) {
        throw Error(name + ": not a usable " + (depth == 1 ? "PGM" : "PPM") +
                    " file: its width, height or MAXVAL is missing or out of range");
    }
    CheckFormatLimits(width, height, name);
    CheckImageSizeLimit(width, height, static_cast<int>(depth), settings.maxImageBytes, name,
                        settings.raiseLimit);
    ReadScaledSamples(file.get(), name, width, height, depth, maxval, sink);
}

// A file is read as what its first bytes say, as standard input is: P5 as PGM, P6 as PPM and P7
// as PAM, whichever of the three extensions it has. Any other bytes are refused in the words
// standard input gets for them, so that one file gets one message whatever its name; only a file
// of a kind tniff reads under another extension (a PNG named .ppm) is told so.
void ReadNetpbm(const std::string& path, RowSink* sink, const ReadSettings& settings) {
    const std::string& name = settings.name.empty() ? path : settings.name;
    uint8_t head[16];
    size_t got = 0;
    {
        File file(std::fopen(path.c_str(), "rb"));
        if (!file) throw Error(name + ": cannot open: " + std::strerror(errno));
        got = std::fread(head, 1, sizeof head, file.get());
        if (got < sizeof head && std::ferror(file.get())) {
            throw Error(name + ": cannot read: " + std::strerror(errno));
        }
    }
    FileKind kind;
    std::string what;
    const bool converted = SniffKind(head, got, &kind, &what);
    if (converted && (kind == FileKind::pgm || kind == FileKind::ppm))
        return ReadPnm(path, sink, settings);
    if (converted && kind == FileKind::pam) return ReadPam(path, sink, settings);
    if (got == 0) throw Error(name + ": the file is empty");
    if (converted) {
        throw Error(name + ": not a PAM, PGM or PPM file: it is " + DescribeContent(path));
    }
    throw Error(name + ": " + NotAConvertedKind(what));
}

void WritePnm(RowSource& rows, const std::string& path, const std::string& name,
              const WriteSettings&) {
    if (rows.channels() != 1 && rows.channels() != 3) {
        throw Error(name + ": a PGM file holds 1 channel and a PPM file 3, not " +
                    std::to_string(rows.channels()));
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw Error(name + ": cannot open for writing: " + std::strerror(errno));
    std::string header = std::string(rows.channels() == 1 ? "P5" : "P6") + "\n" +
                         std::to_string(rows.width()) + " " + std::to_string(rows.height()) +
                         "\n255\n";
    bool written = WriteRows(file.get(), header, rows);
    int error = written ? 0 : errno;
    int closed = std::fclose(file.release());
    if (closed != 0 && error == 0) error = errno;
    if (!written || closed != 0) throw Error(name + ": cannot write: " + std::strerror(error));
}

}  // namespace tarniff
