// The plain main() of a fuzz target: replays saved inputs without the fuzzer. Each argument is a
// file, or a directory whose files are replayed in name order. Exits 0 when every input ran
// through (a finding aborts before that); exits 2 when an argument cannot be read or no input
// was found. As under the fuzzer, a single allocation of more than 2 GiB is a finding.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

const size_t kLargestAllocation = size_t(2) << 30;

void* Allocate(size_t size) {
    if (size > kLargestAllocation) fuzz::Fail("an allocation of " + std::to_string(size) + " bytes");
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

bool Collect(const std::string& path, std::vector<std::string>* files) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode)) {
        files->push_back(path);
        return true;
    }
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return false;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) files->push_back(path + "/" + name);
    return true;
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!Collect(argv[i], &files)) {
            std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    for (const std::string& file : files) {
        const std::vector<uint8_t> bytes = fuzz::ReadFile(file);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replay: %zu inputs ran through\n", files.size());
    return 0;
}
