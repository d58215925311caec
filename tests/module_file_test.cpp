// The shared module file as a host loads it: ENTRYPOINT is its only export, and it answers
// through the loaded copy just as when linked in.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "host/host.h"
#include "host/module_loader.h"
#include "tests/support/host_checks.h"

namespace {

std::string CommandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    pclose(pipe);
    return output;
}

TEST(ModuleFile, ExportsEntryPointAndNothingElse) {
    std::string output = CommandOutput("nm -D --defined-only '" TNIFF_MODULE_FILE "'");
    std::istringstream lines(output);
    std::string line;
    std::vector<std::string> exported;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, kind, name;
        fields >> address >> kind >> name;
        if (!name.empty()) exported.push_back(name);
    }
    ASSERT_EQ(exported.size(), 1u) << output;
    EXPECT_EQ(exported[0], "ENTRYPOINT");
}

TEST(ModuleFile, LoadedLikeAnEditorLoadsIt) {
    std::string error;
    PluginEntryProc entry = tniff::LoadModule(TNIFF_MODULE_FILE, &error);
    ASSERT_NE(entry, nullptr) << error;
    tniff::Host host(entry);
    EXPECT_EQ(host.Call(formatSelectorOptionsPrepare, -1), noErr);
    EXPECT_NE(host.dataWord(), 0);
    EXPECT_EQ(host.Call(18), formatBadParameters);
    EXPECT_TRUE(HostIsClean(host));

    std::string missing;
    EXPECT_EQ(tniff::LoadModule("/nonexistent/TnIffFormat.so", &missing), nullptr);
    EXPECT_FALSE(missing.empty());
}

}  // namespace
