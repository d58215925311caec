// How failures are told: the host's result codes in words.
#include "tarniff/tarniff.h"

#include "host/host.h"

namespace tarniff {

const char* HostCodeName(OSErr code) {
    switch (code) {
    case noErr: return "noErr";
    case readErr: return "readErr";
    case writErr: return "writErr";
    case eofErr: return "eofErr";
    case tniff::kHostFileNotOpened: return "fnfErr";
    case memFullErr: return "memFullErr";
    case userCanceledErr: return "userCanceledErr";
    case formatBadParameters: return "formatBadParameters";
    case formatCannotRead: return "formatCannotRead";
    default: return "";
    }
}

namespace {
const char* Words(OSErr code, bool reading) {
    switch (code) {
    case readErr: return "the file could not be read";
    case writErr: return "the file could not be written completely";
    case eofErr:
        return reading ? "the file ends too early (truncated)" : "the file ended unexpectedly";
    case tniff::kHostFileNotOpened: return "the file could not be opened";
    case memFullErr: return "not enough memory for this image";
    case userCanceledErr: return "the module cancelled the operation";
    case formatBadParameters:
        return reading ? "the module was given bad parameters"
                       : "the module cannot save an image of this shape";
    case formatCannotRead: return "not an image in this format";
    default:
        return reading ? "the module could not open the file"
                       : "the module could not save the file";
    }
}
}  // namespace

std::string DescribeHostCode(OSErr code, bool reading, const std::string& systemReason) {
    std::string text = Words(code, reading);
    if (!systemReason.empty()) text += ": " + systemReason;
    std::string name = HostCodeName(code);
    text += " (";
    if (!name.empty()) text += name + ", ";
    text += std::to_string(code) + ")";
    return text;
}

}  // namespace tarniff
