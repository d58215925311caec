// A file of its own for one test, in a directory removed when the test program ends, and the
// whole-file reads and writes tests need around it.
#ifndef TNIFF_TESTS_SUPPORT_TEMP_FILE_H
#define TNIFF_TESTS_SUPPORT_TEMP_FILE_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class TempFile {
public:
    // A path that no other TempFile of this program has; the file does not exist yet. The name
    // ends with suffix.
    explicit TempFile(const std::string& suffix = ".iff");
    ~TempFile();  // removes the file
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    // Replaces the file's contents.
    void Write(const std::vector<uint8_t>& bytes) const;
    // The whole file; empty when it does not exist.
    std::vector<uint8_t> Read() const;

private:
    std::string path_;
};

// A directory of its own for one test, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    // The names in the directory (or in its subdirectory sub), for checking that nothing was left
    // behind.
    std::set<std::string> Names(const std::string& sub = "") const;

private:
    std::string path_;
};

// $TMPDIR set to a folder of the test's own (made when missing) while it lives.
class OwnTmpdir {
public:
    explicit OwnTmpdir(const std::string& folder);
    ~OwnTmpdir();
    OwnTmpdir(const OwnTmpdir&) = delete;
    OwnTmpdir& operator=(const OwnTmpdir&) = delete;

private:
    bool had_ = false;
    std::string previous_;
};

// The whole file as text; empty when it cannot be read.
std::string ReadWhole(const std::string& path);

#endif
