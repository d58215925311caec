#include "tests/support/temp_file.h"

#include <atomic>
#include <random>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace {

// One directory per test program run, removed at its end.
class TempDirectory {
public:
    TempDirectory() {
        std::error_code error;
        std::filesystem::path base = std::filesystem::temp_directory_path(error);
        if (error) base = ".";
        // Each test may run in a process of its own, many at once: a random name keeps them apart.
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = base / ("tniff_tests_" + std::to_string(random()) + std::to_string(random()));
            if (std::filesystem::create_directory(path_, error)) break;
        }
    }
    ~TempDirectory() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

const std::filesystem::path& Directory() {
    static TempDirectory directory;
    return directory.path();
}

std::atomic<int> gNextFile{0};

}  // namespace

TempFile::TempFile(const std::string& suffix)
    : path_((Directory() / ("file" + std::to_string(gNextFile++) + suffix)).string()) {}

TempFile::~TempFile() {
    std::error_code error;
    std::filesystem::remove(path_, error);
}

void TempFile::Write(const std::vector<uint8_t>& bytes) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> TempFile::Read() const {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return {};
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tniff_scratch_XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) path_ = name.data();
}

ScratchDir::~ScratchDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::set<std::string> ScratchDir::Names(const std::string& sub) const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(sub.empty() ? path_ : path_ + "/" + sub)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

OwnTmpdir::OwnTmpdir(const std::string& folder) {
    const char* previous = std::getenv("TMPDIR");
    had_ = previous != nullptr;
    if (had_) previous_ = previous;
    std::filesystem::create_directories(folder);
    setenv("TMPDIR", folder.c_str(), 1);
}

OwnTmpdir::~OwnTmpdir() {
    if (had_)
        setenv("TMPDIR", previous_.c_str(), 1);
    else
        unsetenv("TMPDIR");
}
