#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "module/platform/portable_hooks.h"

namespace fuzz {

std::string ScratchPath(const std::string& suffix) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    return path + "/tniff-fuzz-" + std::to_string(getpid()) + suffix;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) Fail("cannot create " + path);
    if (size != 0 && std::fwrite(data, 1, size, file) != size) Fail("cannot write " + path);
    if (std::fclose(file) != 0) Fail("cannot close " + path);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    uint8_t block[65536];
    size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + got);
    std::fclose(file);
    return bytes;
}

namespace {

void AbortOnProblems(const std::vector<tniff::Violation>& problems) {
    if (!problems.empty()) Fail("host violations left unclaimed:\n" + tniff::DescribeViolations(problems));
}

int AnswerOk(void*, intptr_t, const char*, const char*, uint32_t) { return 1; }
int PressOk(void*, int, intptr_t) { return 1; }

}  // namespace

void InstallQuietStrictHost() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    tniff::Host::SetProblemSink(&AbortOnProblems);
    PlatformUserInterfaceSink sink;
    sink.context = nullptr;
    sink.messageBox = &AnswerOk;
    sink.dialog = &PressOk;
    PlatformSetUserInterfaceSink(&sink);
}

void RequireClean(const tniff::Host& host, const char* what) {
    if (!host.violations().empty()) {
        Fail(std::string(what) + ": host violations:\n" + tniff::DescribeViolations(host.violations()));
    }
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
