// Render sequences: frame patterns ("frame.####.iff", "frame.%04d.iff"), frame lists
// ("1001-1120x2,1200"), the frames of a pattern that are on disk, the depth file's name beside a
// frame's output, and what a sequence check counts each file as.
#include "tarniff/tarniff.h"

#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarniff {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A frame number of more digits than this is not one: it would not fit the arithmetic of a
// range, and no renderer numbers frames so far.
const size_t kMostFrameDigits = 9;

// Digits at text[*at...] as a number; false when there are none or too many.
bool TakeNumber(const std::string& text, size_t* at, int64_t* value) {
    size_t end = *at;
    while (end < text.size() && IsDigit(text[end])) ++end;
    if (end == *at || end - *at > kMostFrameDigits) return false;
    *value = std::stoll(text.substr(*at, end - *at));
    *at = end;
    return true;
}

Error BadFrames(const std::string& text, const std::string& why) {
    return Error("--frames " + text + ": " + why +
                     "; give frames as 1001-1120, 1001-1120x2 or 1001,1005-1010",
                 kExitUsage);
}

// The name part of a path starts after its last slash.
size_t NameStart(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace

bool ParseFramePattern(const std::string& path, FramePattern* pattern) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0) return false;  // a file of that very name is that file
    const size_t nameStart = NameStart(path);
    // The last place in the name wins: "take#2.####.iff" numbers its frames in the second run.
    size_t hashEnd = path.find_last_of('#');
    size_t hashStart = std::string::npos;
    if (hashEnd != std::string::npos && hashEnd >= nameStart) {
        hashStart = hashEnd;
        while (hashStart > nameStart && path[hashStart - 1] == '#') --hashStart;
        ++hashEnd;
    }
    size_t printfStart = std::string::npos, printfEnd = 0;
    int printfPadding = 0;
    for (size_t at = path.find('%', nameStart); at != std::string::npos;
         at = path.find('%', at + 1)) {
        size_t end = at + 1;
        int padding = 0;
        if (end < path.size() && path[end] == '0') {
            ++end;
            while (end < path.size() && IsDigit(path[end]) && padding < 100)
                padding = padding * 10 + (path[end++] - '0');
            if (padding == 0 || padding > static_cast<int>(kMostFrameDigits)) continue;
        }
        if (end < path.size() && path[end] == 'd') {
            printfStart = at;
            printfEnd = end + 1;
            printfPadding = padding;
        }
    }
    FramePattern found;
    if (hashStart != std::string::npos &&
        (printfStart == std::string::npos || hashStart > printfStart)) {
        found.before = path.substr(0, hashStart);
        found.after = path.substr(hashEnd);
        found.padding = static_cast<int>(hashEnd - hashStart);
    } else if (printfStart != std::string::npos) {
        found.before = path.substr(0, printfStart);
        found.after = path.substr(printfEnd);
        found.padding = printfPadding;
    } else {
        return false;
    }
    if (found.padding > static_cast<int>(kMostFrameDigits)) return false;
    found.text = path;
    *pattern = found;
    return true;
}

std::string FramePath(const FramePattern& pattern, int64_t frame) {
    std::string digits = std::to_string(frame);
    if (digits.size() < static_cast<size_t>(pattern.padding))
        digits.insert(0, static_cast<size_t>(pattern.padding) - digits.size(), '0');
    return pattern.before + digits + pattern.after;
}

std::vector<int64_t> ParseFrameList(const std::string& text) {
    std::vector<int64_t> frames;
    size_t at = 0;
    if (text.empty()) throw BadFrames(text, "no frames");
    for (;;) {
        int64_t first = 0, last = 0, step = 1;
        if (at < text.size() && text[at] == '-')
            throw BadFrames(text, "frames are numbered from 0 up; a negative frame is not one");
        if (!TakeNumber(text, &at, &first)) throw BadFrames(text, "a frame number is missing");
        last = first;
        if (at < text.size() && text[at] == '-') {
            ++at;
            if (!TakeNumber(text, &at, &last)) throw BadFrames(text, "a range has no last frame");
            if (last < first)
                throw BadFrames(text, "the range " + std::to_string(first) + "-" +
                                          std::to_string(last) + " runs backwards");
            if (at < text.size() && text[at] == 'x') {
                ++at;
                if (!TakeNumber(text, &at, &step) || step < 1)
                    throw BadFrames(text, "a step is 1 or more");
            }
        }
        // Each range is checked before it is expanded, so that a typo cannot take the memory.
        if ((last - first) / step + 1 > kMostFrames - static_cast<int64_t>(frames.size())) {
            throw BadFrames(text, "more than " + std::to_string(kMostFrames) + " frames");
        }
        for (int64_t frame = first; frame <= last; frame += step) frames.push_back(frame);
        if (at == text.size()) break;
        if (text[at] != ',')
            throw BadFrames(text, "\"" + text.substr(at, 1) + "\" is not part of a frame list");
        ++at;
    }
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

std::vector<int64_t> FramesPresent(const FramePattern& pattern) {
    const size_t nameStart = NameStart(pattern.before);
    const std::string folder = nameStart == 0 ? "." : pattern.before.substr(0, nameStart);
    const std::string before = pattern.before.substr(nameStart);
    std::vector<int64_t> frames;
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) return frames;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.size() <= before.size() + pattern.after.size() ||
            name.compare(0, before.size(), before) != 0 ||
            name.compare(name.size() - pattern.after.size(), pattern.after.size(), pattern.after) !=
                0) {
            continue;
        }
        size_t at = before.size();
        int64_t frame = 0;
        // Only the name the pattern gives its frame counts: frame.01001.iff is not frame 1001 of
        // frame.####.iff, nor is frame.1001.bak.iff.
        if (!TakeNumber(name, &at, &frame) || at != name.size() - pattern.after.size()) continue;
        if (FramePath(pattern, frame) != pattern.before + name.substr(before.size())) continue;
        struct stat status;
        const std::string path = FramePath(pattern, frame);
        if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) continue;
        frames.push_back(frame);
    }
    closedir(directory);
    std::sort(frames.begin(), frames.end());
    return frames;
}

std::string FrameRanges(const std::vector<int64_t>& frames) {
    std::string text;
    for (size_t i = 0; i < frames.size();) {
        size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += std::to_string(frames[i]);
        if (j > i) text += "-" + std::to_string(frames[j]);
        i = j + 1;
    }
    return text;
}

std::string DepthPathOf(const std::string& output, const std::string& extension,
                        const std::string& tag) {
    const size_t nameStart = NameStart(output);
    size_t dot = output.find_last_of('.');
    if (dot == std::string::npos || dot <= nameStart) dot = output.size();
    // The stem's last run of digits, when a '.' or '_' comes before it, is its frame number.
    size_t digits = dot;
    while (digits > nameStart && IsDigit(output[digits - 1])) --digits;
    const bool numbered = digits < dot && digits > nameStart + 1 &&
                          (output[digits - 1] == '.' || output[digits - 1] == '_');
    if (!numbered) return output.substr(0, dot) + tag + extension;
    return output.substr(0, digits - 1) + tag + output.substr(digits - 1, dot - digits + 1) +
           extension;
}

namespace {

// Whether the walk got through the file and only its verdict at the end found it wanting: the
// damage then lies at the end of the tile group, or of the outer group when there is none.
bool WalkedThrough(const Layout& layout) {
    const Damage& damage = layout.damage;
    if (damage.chunk == "FOR4 CIMG" && damage.groups.empty()) return layout.hasHeader;
    if (damage.chunk != "FOR4 TBMP" || damage.groups != "CIMG") return false;
    for (const ChunkInfo& chunk : layout.chunks) {
        if (chunk.id == "FOR4" && chunk.groupType == "TBMP" &&
            damage.offset == chunk.offset + 8 + chunk.size)
            return true;
    }
    return false;
}

}  // namespace

FileVerdict VerdictOfLayout(const Layout& layout) {
    if (layout.Whole()) return FileVerdict::whole;
    if (!layout.recognised) return FileVerdict::unreadable;
    // What a render that stopped early or a copy cut short leaves; anything else the walk found
    // wrong (a size or rectangle that does not fit, a damaged tile) is damage.
    if (layout.truncated) return FileVerdict::incomplete;
    const bool tilesMissing = layout.colourTilesFound < layout.colourTilesExpected ||
                              layout.depthTilesFound < layout.depthTilesExpected;
    const bool uncovered = layout.colourPixelsUncovered > 0 || layout.depthPixelsUncovered > 0;
    if (WalkedThrough(layout) && (tilesMissing || uncovered)) return FileVerdict::incomplete;
    return FileVerdict::damaged;
}

FileVerdict VerdictOfUnread(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return errno == ENOENT ? FileVerdict::missing : FileVerdict::unreadable;
    if (!S_ISREG(status.st_mode)) return FileVerdict::unreadable;
    // A file shorter than the outer group's header that begins as one is a frame cut short.
    static const char kStart[] = "FOR4";
    char bytes[4] = {};
    size_t count = 0;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        count = std::fread(bytes, 1, sizeof bytes, file);
        std::fclose(file);
    }
    const bool begins = std::memcmp(bytes, kStart, count) == 0;
    return status.st_size < 12 && begins ? FileVerdict::incomplete : FileVerdict::unreadable;
}

FileVerdict VerdictOf(const Inspection& inspection, const std::string& path) {
    if (inspection.Whole()) return FileVerdict::whole;
    if (inspection.opened) {
        const FileVerdict walked = VerdictOfLayout(inspection.file.layout);
        // The module may find less than the walk does: that is an incomplete image.
        return walked == FileVerdict::whole ? FileVerdict::incomplete : walked;
    }
    if (inspection.damaged) return VerdictOfLayout(inspection.layout);
    return VerdictOfUnread(path);
}

const char* VerdictName(FileVerdict verdict) {
    switch (verdict) {
    case FileVerdict::whole: return "whole";
    case FileVerdict::damaged: return "damaged";
    case FileVerdict::incomplete: return "incomplete";
    case FileVerdict::missing: return "missing";
    case FileVerdict::unreadable: return "not readable";
    }
    return "";
}

}  // namespace tarniff
