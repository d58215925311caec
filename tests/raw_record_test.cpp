// The module file driven by a host that lays the format record out as raw bytes at the host's
// published offsets, beside host/: the declaration in hostapi/ cannot hide a layout fault here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/module_loader.h"
#include "tests/support/raw_record_host.h"
#include "tests/support/temp_file.h"

namespace {

TEST(RawRecord, OpensAndSavesAsThroughHost) {
    std::string error;
    PluginEntryProc entry = tniff::LoadModule(TNIFF_MODULE_FILE, &error);
    ASSERT_NE(entry, nullptr) << error;
    TempFile rawSave, hostSave, depth;
    std::vector<std::string> problems =
        CompareRawRecordWithHost(entry, RawRecordFiles{rawSave.path(), hostSave.path(), depth.path()});
    std::string listed;
    for (const std::string& problem : problems) listed += problem + "\n";
    EXPECT_TRUE(problems.empty()) << listed;
}

}  // namespace
