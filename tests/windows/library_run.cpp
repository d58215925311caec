// The library's Windows part under Wine: the module found beside the program, opens from a path
// and from bytes, and outputs written whole on Windows files (the byte-range lock, ReplaceFile,
// leftovers of dead and live writers, a folder and a device as destinations).
//
//     library_run.exe SAMPLE WORKDIR     run every check, one line each
//
// The program expects TnIffFormat.8bi beside itself. Each check prints "PASS: wine: library: ..."
// or "FAIL: wine: library: ...". Exit status 1 when any check failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tarniff/outputs_parts.h"
#include "tarniff/tarniff.h"

namespace {

int gFailed = 0;

void Check(const std::string& name, const std::function<std::string()>& run) {
    std::string problem;
    try {
        problem = run();
    } catch (const std::exception& error) {
        problem = std::string("threw: ") + error.what();
    }
    if (problem.empty()) {
        std::printf("PASS: wine: library: %s\n", name.c_str());
    } else {
        ++gFailed;
        std::printf("FAIL: wine: library: %s: %s\n", name.c_str(), problem.c_str());
    }
}

std::vector<uint8_t> Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names in folder that a writer of ours gives its temporary files.
std::vector<std::string> TemporaryNames(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (std::strstr(found.cFileName, ".tniff-") != nullptr) names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

bool SamePixels(const tniff::Image& a, const tniff::Image& b, int planes) {
    const size_t bytes = size_t(planes) * a.width() * a.height();
    return a.width() == b.width() && a.height() == b.height() && a.size() >= bytes &&
           b.size() >= bytes && std::memcmp(a.data(), b.data(), bytes) == 0;
}

// The tag this machine's writers put in their names, read from a name a writer made here.
std::string ThisMachinesTag(const std::string& folder) {
    tarniff::PendingOutput probe(folder + "\\probe.iff");
    const std::string name = tarniff::FileNameOf(probe.path());
    const size_t marker = name.find(".tniff-");
    return name.substr(marker + 7, 16);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: library_run.exe SAMPLE WORKDIR\n");
        return 2;
    }
    const std::string sample = argv[1], work = argv[2];
    CreateDirectoryA(work.c_str(), nullptr);
    tarniff::ModuleFile module;

    Check("the module is found beside the program", [&]() -> std::string {
        char program[MAX_PATH];
        GetModuleFileNameA(nullptr, program, MAX_PATH);
        const std::string beside = tarniff::DirectoryOf(program) + "TnIffFormat.8bi";
        tarniff::ModuleSearch search;
        search.useVariable = false;
        search.candidates = tarniff::ModuleSearchPaths();
        if (tarniff::FindModulePath(search) != beside)
            return "found " + tarniff::FindModulePath(search) + ", not " + beside;
        module = tarniff::FindModule(search);
        return "";
    });
    if (module.entry == nullptr) {
        std::printf("0 passed, 1 failed\n");
        return 1;
    }

    tarniff::OpenSettings settings;
    settings.name = "render.iff";
    tarniff::OpenedFile opened;
    Check("a file opens alike from its path and from its bytes", [&]() -> std::string {
        opened = tarniff::OpenThroughModule(module, sample, settings);
        const std::vector<uint8_t> bytes = Contents(sample);
        const tarniff::OpenedFile fromBytes =
            tarniff::OpenBytesThroughModule(module, bytes.data(), bytes.size(), settings);
        if (!SamePixels(opened.image, fromBytes.image, opened.image.planes()))
            return "the pixels differ";
        if (!TemporaryNames(tarniff::outputs::TemporaryFolder()).empty())
            return "the copy of the bytes is left in the temporary folder";
        return "";
    });

    Check("a file cut short is refused with what is missing", [&]() -> std::string {
        const std::vector<uint8_t> bytes = Contents(sample);
        try {
            tarniff::OpenBytesThroughModule(module, bytes.data(), bytes.size() / 2, settings);
        } catch (const tarniff::Error& error) {
            const std::string said = error.what();
            return said.rfind("render.iff: truncated: the module read only ", 0) == 0
                       ? ""
                       : "said: " + said;
        }
        return "it opened";
    });

    const std::string output = work + "\\saved.iff";
    Check("a save replaces its destination whole and leaves no temporary file",
          [&]() -> std::string {
              Put(output, "an older file");
              for (int round = 0; round < 2; ++round) {
                  tarniff::PendingOutput pending(output);
                  tarniff::SaveSettings save;
                  save.name = output;
                  tarniff::SaveThroughModule(module, opened.image, pending.path(), save);
                  pending.Commit();
              }
              const tarniff::OpenedFile saved = tarniff::OpenThroughModule(module, output, {});
              if (!SamePixels(opened.image, saved.image, opened.colourPlanes))
                  return "the saved pixels differ";
              if (!TemporaryNames(work).empty()) return "left " + TemporaryNames(work)[0];
              return "";
          });

    Check("an output given up keeps the destination as it was", [&]() -> std::string {
        const std::vector<uint8_t> before = Contents(output);
        {
            tarniff::PendingOutput pending(output);
            Put(pending.path(), "half a file");
        }
        if (Contents(output) != before) return "the destination changed";
        if (!TemporaryNames(work).empty()) return "left " + TemporaryNames(work)[0];
        return "";
    });

    Check("a folder as destination is refused before anything is written", [&]() -> std::string {
        try {
            tarniff::PendingOutput pending(work);
        } catch (const tarniff::Error& error) {
            const std::string said = error.what();
            return said == work + ": cannot write: it is a directory" ? "" : "said: " + said;
        }
        return "it was taken";
    });

    Check("a device (NUL) is written into, not replaced", [&]() -> std::string {
        tarniff::PendingOutput pending("NUL");
        Put(pending.path(), "bytes for nobody");
        pending.Commit();
        const std::vector<std::string> left = TemporaryNames(tarniff::outputs::TemporaryFolder());
        return left.empty() ? "" : "left " + left[0];
    });

    Check("leftovers: a dead writer's file goes; a live writer's and another machine's stay",
          [&]() -> std::string {
              const std::string tag = ThisMachinesTag(work);
              // Process ids are multiples of 4 on Windows: this one is never a process.
              const std::string dead = work + "\\.saved.iff.tniff-" + tag + "-4294967291-aaaaaa";
              const std::string other =
                  work + "\\.saved.iff.tniff-0123456789abcdef-4294967291-bbbbbb";
              Put(dead, "left by a crash");
              Put(other, "another machine's");
              tarniff::PendingOutput live(output, false);
              tarniff::RemoveLeftovers(output);
              std::string problem;
              if (Exists(dead)) problem += "the dead writer's file stayed; ";
              if (!Exists(other)) problem += "another machine's file went; ";
              if (!Exists(live.path())) problem += "the live writer's file went; ";
              DeleteFileA(other.c_str());
              return problem;
          });

    std::printf("%d failed\n", gFailed);
    return gFailed == 0 ? 0 : 1;
}
