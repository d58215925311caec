#include "cli/pam_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/tool_error.h"

namespace tniff_cli {

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

Raster ReadPam(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw ToolError(path + ": cannot open: " + std::strerror(errno));
    auto bad = [&path](const std::string& why) { return ToolError(path + ": not a usable PAM file: " + why); };

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
            if (start != std::string::npos && end >= start) value = line.substr(start, end - start + 1);
        }
        if (key == "ENDHDR") {
            ended = true;
            break;
        }
        long* field = key == "WIDTH" ? &width : key == "HEIGHT" ? &height : key == "DEPTH" ? &depth
                    : key == "MAXVAL" ? &maxval : nullptr;
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
    if (maxval != kOnlyMaxval) {
        throw ToolError(path + ": MAXVAL " + std::to_string(maxval) +
                        " is not supported: only 8-bit samples (MAXVAL 255) can be saved");
    }
    if (depth < kFewestPlanes || depth > kMostPlanes) {
        throw ToolError(path + ": DEPTH " + std::to_string(depth) +
                        " is not supported: the format saves 1 or 2 (gray) and 3 to 5 (RGB) planes");
    }
    if (width > kLargestSide || height > kLargestSide) {
        throw ToolError(path + ": " + std::to_string(width) + " by " + std::to_string(height) +
                        " is too large: at most " + std::to_string(kLargestSide) + " pixels on a side");
    }

    // The pixel data must be in the file before room is made for it: a header alone may describe
    // up to 5 GiB of samples.
    const size_t needed = static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(depth);
    const long dataStart = std::ftell(file.get());
    if (dataStart >= 0 && std::fseek(file.get(), 0, SEEK_END) == 0) {
        const long fileEnd = std::ftell(file.get());
        if (fileEnd >= dataStart && static_cast<unsigned long>(fileEnd - dataStart) < needed) {
            throw bad("it ends after " + std::to_string(fileEnd - dataStart) + " of " + std::to_string(needed) +
                      " bytes of pixel data");
        }
        if (std::fseek(file.get(), dataStart, SEEK_SET) != 0) throw bad("it cannot be read back");
    }

    Raster raster(static_cast<int>(width), static_cast<int>(height), static_cast<int>(depth));
    size_t got = std::fread(raster.pixels.data(), 1, raster.pixels.size(), file.get());
    if (got != raster.pixels.size()) {
        throw bad("it ends after " + std::to_string(got) + " of " + std::to_string(raster.pixels.size()) +
                  " bytes of pixel data");
    }
    return raster;
}

void WritePam(const Raster& raster, const std::string& tupleType, const std::string& path,
              const std::string& name) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw ToolError(name + ": cannot open for writing: " + std::strerror(errno));
    std::string header = "P7\nWIDTH " + std::to_string(raster.width) + "\nHEIGHT " + std::to_string(raster.height) +
                         "\nDEPTH " + std::to_string(raster.channels) + "\nMAXVAL 255\n";
    if (!tupleType.empty()) header += "TUPLTYPE " + tupleType + "\n";
    header += "ENDHDR\n";
    bool written = std::fwrite(header.data(), 1, header.size(), file.get()) == header.size() &&
                   std::fwrite(raster.pixels.data(), 1, raster.pixels.size(), file.get()) == raster.pixels.size();
    int closed = std::fclose(file.release());
    if (!written || closed != 0) throw ToolError(name + ": cannot write: " + std::strerror(errno));
}

}  // namespace tniff_cli
