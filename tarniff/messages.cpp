// What front ends say of an opened file: its planes, and why it is not complete.
#include "tarniff/tarniff.h"

#include <algorithm>

#include "hostapi/plugin_interface.h"

namespace tarniff {

std::string ModeName(int16_t mode) {
    switch (mode) {
    case plugInModeBitmap: return "bitmap";
    case plugInModeGrayScale: return "grayscale";
    case plugInModeIndexedColor: return "indexed colour";
    case plugInModeRGBColor: return "RGB colour";
    case plugInModeCMYKColor: return "CMYK colour";
    case plugInModeMultichannel: return "multichannel";
    default: return "mode " + std::to_string(mode);
    }
}

std::string PlaneName(const OpenedFile& file, int plane) {
    if (plane == file.depthPlane) return "depth";
    if (file.colourPlanes == 1) return "gray";
    static const char* const kColourNames[] = {"red", "green", "blue", "alpha"};
    return plane >= 0 && plane < 4 ? kColourNames[plane] : "plane " + std::to_string(plane);
}

namespace {
// The tiles a file cut short lacks: "3 of the 12 colour tiles", "" when it is complete.
std::string TileShortfall(const OpenedFile& file) {
    std::string text;
    if (file.colourTilesRead < file.colourTilesExpected) {
        text += std::to_string(file.colourTilesRead) + " of the " +
                std::to_string(file.colourTilesExpected) + " colour tiles";
    }
    if (file.depthTilesRead < file.depthTilesExpected) {
        if (!text.empty()) text += " and ";
        text += std::to_string(file.depthTilesRead) + " of the " +
                std::to_string(file.depthTilesExpected) + " depth tiles";
    }
    return text;
}

}  // namespace

std::string DepthNotSaved(const std::string& name) {
    return name + ": the depth buffer is not saved; the format's writer stores none";
}

std::string DepthOnlyNote(const std::string& name) {
    return name +
           ": the file holds only a depth buffer; it is shown as a gray image (near is dark)";
}

std::string Incompleteness(const OpenedFile& file, const std::string& name) {
    if (file.complete()) return "";
    std::string shortfall = TileShortfall(file);
    if (!shortfall.empty()) {
        return name + ": truncated: the module read only " + shortfall +
               " that the file's header announces";
    }
    if (!file.layout.damagedTiles.empty())
        return name + ": damaged: " + DamagedTilesText(file.layout);
    // The file's size: under a reduced open the image is smaller than what the tiles cover.
    const uint64_t pixels =
        static_cast<uint64_t>(file.description.width) * file.description.height;
    const uint64_t colour = file.colourPixelsUncovered, depth = file.depthPixelsUncovered;
    const int announced = std::max(file.colourTilesExpected, file.depthTilesExpected);
    std::string text = name + ": incomplete: the header announces " + std::to_string(announced) +
                       (announced == 1 ? " tile" : " tiles") + ", and ";
    const bool both = file.colourPlanes > 0 && file.depthPlane >= 0 && colour != depth;
    if (both) {
        text += "no colour tile covers " + std::to_string(colour) + " and no depth tile " +
                std::to_string(depth) + " of the image's ";
    } else if (std::max(colour, depth) == pixels) {
        text += "no tile covers any of the image's ";
    } else {
        text += "no tile covers " + std::to_string(std::max(colour, depth)) + " of the image's ";
    }
    return text + std::to_string(pixels) + " pixels";
}

}  // namespace tarniff
