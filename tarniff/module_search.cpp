// Finding the module file and loading it.
#include "tarniff/tarniff.h"

#if defined(_WIN32)
#include <windows.h>
#endif
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/host.h"
#include "host/module_loader.h"

namespace tarniff {

#if defined(_WIN32)
const char kModuleFileName[] = "TnIffFormat.8bi";
#else
const char kModuleFileName[] = "TnIffFormat.so";
#endif

namespace {

// Violations found when a Host goes (leaks at the very end) are reported as warnings.
void PrintLateProblems(const std::vector<tniff::Violation>& problems) {
    for (const tniff::Violation& problem : problems) {
        std::fprintf(stderr, "tniff: warning: the module broke the plug-in interface: %s: %s\n",
                     tniff::ViolationKindName(problem.kind), problem.text.c_str());
    }
}

}  // namespace

std::vector<std::string> ModuleSearchPaths() {
    std::vector<std::string> paths;
#if defined(_WIN32)
    // On Windows the module is installed beside the program (and the imaging codec).
    std::vector<char> buffer(32768);
    const DWORD length =
        GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length > 0 && length < buffer.size()) {
        const std::string program(buffer.data(), length);
        paths.push_back(DirectoryOf(program) + kModuleFileName);
    }
#else
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length > 0) {
        std::string program(buffer.data(), static_cast<size_t>(length));
        size_t slash = program.find_last_of('/');
        std::string directory =
            slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
        // An installed tniff (a bin/ beside lib/tniff/, or the bin/ it was configured to go to)
        // uses its own module or none: never a module of the tree it was built in.
        struct stat status;
        bool installed =
            stat((directory + "../lib/tniff").c_str(), &status) == 0 && S_ISDIR(status.st_mode);
#ifdef TNIFF_INSTALLED_BIN
        char* real = realpath(directory.c_str(), nullptr);
        char* bin = realpath(TNIFF_INSTALLED_BIN, nullptr);
        installed = installed || (real != nullptr && bin != nullptr && std::strcmp(real, bin) == 0);
        std::free(real);
        std::free(bin);
#endif
        if (installed) return {directory + "../lib/tniff/" + kModuleFileName};
        paths.push_back(directory + kModuleFileName);  // the build: side by side
    }
#endif
#ifdef TNIFF_INSTALLED_MODULE
    paths.push_back(TNIFF_INSTALLED_MODULE);  // a copy of tniff anywhere: where it is installed
#endif
#ifdef TNIFF_BUILT_MODULE
    paths.push_back(TNIFF_BUILT_MODULE);  // ... or where it was built
#endif
    return paths;
}

const char kModuleVariable[] = "TNIFF_MODULE";
const char kNameModuleWithOption[] = "name it with --module PATH or set TNIFF_MODULE";
const char kNameModuleWithVariable[] = "set TNIFF_MODULE to its path";

namespace {

// The module $TNIFF_MODULE names when the search consults it: "" when it is unset or empty.
std::string VariableModule(const ModuleSearch& search) {
    if (!search.useVariable) return "";
    const char* named = std::getenv(kModuleVariable);
    return named != nullptr ? named : "";
}

}  // namespace

std::string FindModulePath(const ModuleSearch& search) {
    if (!search.named.empty()) return search.named;
    const std::string variable = VariableModule(search);
    if (!variable.empty()) return variable;
    for (const std::string& path : search.candidates) {
        if (access(path.c_str(), R_OK) == 0) return path;
    }
    std::string looked;
    for (const std::string& path : search.candidates) looked += (looked.empty() ? "" : ", ") + path;
    std::string text = std::string("cannot find the module ") + kModuleFileName;
    if (!looked.empty()) text += " (looked in " + looked + ")";
    if (!search.nameIt.empty()) text += "; " + search.nameIt;
    throw Error(text);
}

ModuleFile FindModule(const ModuleSearch& search) {
    const std::string path = FindModulePath(search);
    // A file the variable named, set perhaps long ago in a profile: the message says where the
    // name came from, as nothing on the command line does.
    if (search.named.empty() && path == VariableModule(search)) {
        try {
            return LoadModuleFile(path);
        } catch (const Error& error) {
            throw Error(std::string(error.what()) + " (" + kModuleVariable + " names it)");
        }
    }
    return LoadModuleFile(path);
}

std::string DefaultModulePath() {
    ModuleSearch search;
    search.useVariable = false;
    search.candidates = ModuleSearchPaths();
    search.nameIt = "name it with --module PATH";
    return FindModulePath(search);
}

std::string ModuleVersion(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return "";
    const std::string marker = "TarnIFF module version ";
    std::string contents;
    std::vector<char> buffer(1 << 16);
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
        contents.append(buffer.data(), got);
    std::fclose(file);
    size_t at = contents.find(marker);
    if (at == std::string::npos) return "";
    at += marker.size();
    size_t end = contents.find('\0', at);
    if (end == std::string::npos || end - at > 32) return "";
    return contents.substr(at, end - at);
}

ModuleFile LoadModuleFile(const std::string& path) {
    tniff::Host::SetProblemSink(&PrintLateProblems);
    ModuleFile module;
    module.path = path;
    if (access(path.c_str(), R_OK) != 0)
        throw Error(path + ": cannot load the module: " + std::strerror(errno));
    std::string why;
    module.entry = tniff::LoadModule(path, &why);
    if (module.entry == nullptr) throw Error("cannot load the module: " + why);
    return module;
}

}  // namespace tarniff
