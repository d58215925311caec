// A look at a file's header and chunk headers, for callers that want the size before the pixels.
#include "tarniff/tarniff.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace tarniff {

namespace {

const WalkSettings& HeadersOnly() {
    static const WalkSettings headers = [] {
        WalkSettings settings;
        settings.checkRunStreams = false;
        return settings;
    }();
    return headers;
}

HeaderLook LookOf(Layout layout) {
    HeaderLook look;
    look.recognised = layout.recognised;
    look.hasHeader = layout.hasHeader;
    if (layout.hasHeader) {
        look.width = static_cast<int>(std::min<uint32_t>(layout.header.width, INT32_MAX));
        look.height = static_cast<int>(std::min<uint32_t>(layout.header.height, INT32_MAX));
    }
    look.colourChannels = layout.colourChannels;
    look.hasDepth = layout.hasDepth;
    look.whole = layout.Whole();
    look.damage = layout.damage.reason;
    look.layout = std::move(layout);
    return look;
}

}  // namespace

HeaderLook LookAtHeader(const std::string& path, const std::string& givenName) {
    const std::string& name = givenName.empty() ? path : givenName;
    CheckReadable(path, name);
    Layout layout;
    std::string why;
    if (!WalkLayoutFile(path, &layout, &why, HeadersOnly()))
        throw Error(name + ": cannot open: " + why);
    return LookOf(std::move(layout));
}

HeaderLook LookAtHeader(const uint8_t* bytes, size_t size) {
    return LookOf(WalkLayout(bytes, size, HeadersOnly()));
}

}  // namespace tarniff
