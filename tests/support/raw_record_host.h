// A second, minimal host that trusts nothing of hostapi/'s record declarations: it lays the
// format record and the two suites out as raw bytes at the offsets the host's published
// interface gives (written out here as numbers, for 4-byte and 8-byte pointers), puts its own
// callbacks and an open file there, and drives a module's ENTRYPOINT through an open and a save.
// Whatever the module does with such a record must equal what it does with host/'s.
#ifndef TNIFF_TESTS_SUPPORT_RAW_RECORD_HOST_H
#define TNIFF_TESTS_SUPPORT_RAW_RECORD_HOST_H

#include <string>
#include <vector>

#include "hostapi/plugin_interface.h"

// The files the comparison writes and reads.
struct RawRecordFiles {
    std::string rawSave;   // saved on the raw record, then opened
    std::string hostSave;  // saved through host/
    std::string depth;     // a gray image with a depth buffer, made by the test-side file builder
};

// Saves a small RGBA image and opens it again, and opens a gray image with a depth buffer,
// through entry once on a raw record and once through host/, and compares everything the module
// gives: result codes, the image described, every pixel, progress reports and the saved file's
// bytes; also that the raw host's buffers and handles all come back and that the saved image
// opens as it was. Gives what differed or went wrong, one line each; empty when all agree.
std::vector<std::string> CompareRawRecordWithHost(PluginEntryProc entry, const RawRecordFiles& files);

#endif
