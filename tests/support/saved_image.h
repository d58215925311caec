// What the module's save keeps of an image, as opening the saved file gives it back.
#ifndef TNIFF_TESTS_SUPPORT_SAVED_IMAGE_H
#define TNIFF_TESTS_SUPPORT_SAVED_IMAGE_H

#include "host/image.h"

// Opening a saved file gives RGB, with alpha when a second (gray) or fourth (RGB) plane was saved:
// gray comes back as three equal channels, and a fifth plane is not there.
tniff::Image ExpectedAfterOpen(const tniff::Image& saved);

#endif
