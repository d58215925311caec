#include "tests/support/saved_image.h"

#include "hostapi/plugin_interface.h"

tniff::Image ExpectedAfterOpen(const tniff::Image& saved) {
    const int planes = saved.planes();
    const int opened = (planes == 1 || planes == 3) ? 3 : 4;
    tniff::Image expected(saved.width(), saved.height(), opened, plugInModeRGBColor);
    for (int p = 0; p < opened; ++p) {
        int from = p;
        if (planes <= 2) from = p == 3 ? 1 : 0;
        for (int y = 0; y < saved.height(); ++y)
            for (int x = 0; x < saved.width(); ++x) expected.at(p, y, x) = saved.at(from, y, x);
    }
    return expected;
}
