// Recognising a file and reading its header (FilterFile, ReadPrepare and ReadStart are declared
// with the other selector handlers); what makes a header one the module can open.
#ifndef TNIFF_READER_FILE_IDENTIFICATION_H
#define TNIFF_READER_FILE_IDENTIFICATION_H

#include <cstdint>

struct PluginGlobals;

// The host's image sides are signed 16-bit, and the module declares 32767 as its largest side.
const uint32_t kLargestImageSide = 32767;

// True when the header values held in the state record describe an image the module can open:
// both sides from 1 to 32767, and colour channels or a depth buffer (or both).
bool HeaderDescribesImage(const PluginGlobals* globals);

#endif
