#include "integrations/wic/codec_module.h"

#include <new>

namespace tniff_wic {
namespace {

HMODULE gCodecModule = nullptr;

// Held for the load and for every open: one operation at a time on the one instance.
SRWLOCK gModuleLock = SRWLOCK_INIT;
bool gLoaded = false;
tarniff::ModuleFile gModule;

std::string FolderOfCodec() {
    const std::string path = tarniff::CodePageText(CodecPath());
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Only the module beside the codec: an Explorer that indexes a folder must not load whatever
// module a variable of some user's session names.
bool LoadModule(std::string* message) {
    if (gLoaded) return true;
    const std::string folder = FolderOfCodec();
    if (folder.empty()) {
        *message = "the imaging codec cannot tell the folder it is in";
        return false;
    }
    tarniff::ModuleSearch search;
    search.useVariable = false;
    search.candidates = {folder + tarniff::kModuleFileName};
    search.nameIt = std::string("install it beside TnIffCodec.dll");
    try {
        gModule = tarniff::FindModule(search);
        gLoaded = true;
        return true;
    } catch (const std::exception& error) {
        *message = error.what();
        return false;
    }
}

class Exclusive {
public:
    explicit Exclusive(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
    ~Exclusive() { ReleaseSRWLockExclusive(lock_); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

private:
    SRWLOCK* lock_;
};

}  // namespace

void RememberCodecModule(HMODULE module) { gCodecModule = module; }
HMODULE CodecModule() { return gCodecModule; }

std::wstring CodecPath() {
    // Long paths: grow the buffer until the name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(gCodecModule, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) return std::wstring();
        path.resize(path.size() * 2);
    }
}

HRESULT DecodeWithModule(const uint8_t* bytes, size_t size, const std::string& name,
                         Decoded* decoded, std::string* message) {
    Exclusive hold(&gModuleLock);
    if (!LoadModule(message)) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    *decoded = DecodeBgra(gModule, bytes, size, tarniff::DefaultMaxImageBytes(), name);
    return S_OK;
}

void Report(const std::string& message) {
    const std::wstring text = tarniff::WideText("TnIffCodec: " + message + "\n");
    OutputDebugStringW(text.c_str());
}

}  // namespace tniff_wic
