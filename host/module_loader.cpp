#include "host/module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace tniff {

static const char kEntryName[] = "ENTRYPOINT";

#if defined(_WIN32)

PluginEntryProc LoadModule(const std::string& path, std::string* error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        if (error != nullptr) *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    FARPROC entry = GetProcAddress(library, kEntryName);
    if (entry == nullptr) {
        if (error != nullptr) *error = path + " has no export " + kEntryName;
        FreeLibrary(library);
        return nullptr;
    }
    return reinterpret_cast<PluginEntryProc>(reinterpret_cast<void*>(entry));
}

#else

PluginEntryProc LoadModule(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        if (error != nullptr) {
            const char* reason = dlerror();
            *error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
        }
        return nullptr;
    }
    void* entry = dlsym(library, kEntryName);
    if (entry == nullptr) {
        if (error != nullptr) *error = path + " has no export " + kEntryName;
        dlclose(library);
        return nullptr;
    }
    return reinterpret_cast<PluginEntryProc>(entry);
}

#endif

}  // namespace tniff
