// A WIC program of our own, for the imaging codec's checks under Wine:
//     wic_client.exe [--stream] FILE OUT.pam
// decodes FILE with whichever decoder WIC picks for it (by file name, or with --stream from a
// stream of the file's bytes left at offset 5, which the decoder must rewind), converts the frame
// to 32bppBGRA as a viewer does and writes it as a PAM file (RGB_ALPHA). It prints the decoder's
// friendly name, the size and the resolution. A failure prints "FILE: failed: 0xHHHHHHHH" and
// the system's text, writes nothing and ends with status 1.
//     wic_client.exe --list
// prints the friendly name of every decoder WIC knows.
// windows.h first: the other system headers need its declarations.
#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>
#include <wincodec.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Ends the program on a failed call, naming the file.
struct Failure {
    HRESULT result;
};
void Check(HRESULT result) {
    if (FAILED(result)) throw Failure{result};
}

template <typename T>
class Com {
public:
    Com() = default;
    ~Com() {
        if (p_ != nullptr) p_->Release();
    }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    T** out() { return &p_; }
    T* operator->() const { return p_; }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

std::wstring FriendlyName(IWICComponentInfo* info) {
    UINT length = 0;
    if (FAILED(info->GetFriendlyName(0, nullptr, &length)) || length == 0) return L"";
    std::wstring name(length, L'\0');
    if (FAILED(info->GetFriendlyName(length, &name[0], &length))) return L"";
    name.resize(wcslen(name.c_str()));
    return name;
}

int List(IWICImagingFactory* factory) {
    Com<IEnumUnknown> components;
    Check(factory->CreateComponentEnumerator(WICDecoder, WICComponentEnumerateDefault,
                                             components.out()));
    for (;;) {
        Com<IUnknown> item;
        ULONG fetched = 0;
        if (components->Next(1, item.out(), &fetched) != S_OK || fetched == 0) break;
        Com<IWICComponentInfo> info;
        if (SUCCEEDED(item->QueryInterface(IID_IWICComponentInfo,
                                           reinterpret_cast<void**>(info.out())))) {
            std::printf("%s\n", Narrow(FriendlyName(info.get())).c_str());
        }
    }
    return 0;
}

// The file's bytes as a stream, left at offset 5: a caller may hand over a stream anywhere.
void OpenAsStream(const std::wstring& path, IStream** stream) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) Check(HRESULT_FROM_WIN32(GetLastError()));
    std::vector<BYTE> bytes;
    BYTE chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        bytes.insert(bytes.end(), chunk, chunk + read);
    }
    CloseHandle(file);
    *stream = SHCreateMemStream(bytes.data(), static_cast<UINT>(bytes.size()));
    if (*stream == nullptr) Check(E_OUTOFMEMORY);
    LARGE_INTEGER at;
    at.QuadPart = 5;
    Check((*stream)->Seek(at, STREAM_SEEK_SET, nullptr));
}

void WritePam(const std::wstring& path, UINT width, UINT height, const std::vector<BYTE>& bgra) {
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (out == nullptr) Check(HRESULT_FROM_WIN32(ERROR_CANNOT_MAKE));
    std::fprintf(out, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
                 width, height);
    std::vector<BYTE> rgba(bgra.size());
    for (size_t i = 0; i + 3 < bgra.size(); i += 4) {
        rgba[i] = bgra[i + 2];
        rgba[i + 1] = bgra[i + 1];
        rgba[i + 2] = bgra[i];
        rgba[i + 3] = bgra[i + 3];
    }
    const bool written = std::fwrite(rgba.data(), 1, rgba.size(), out) == rgba.size();
    if (std::fclose(out) != 0 || !written) Check(HRESULT_FROM_WIN32(ERROR_WRITE_FAULT));
}

int Decode(IWICImagingFactory* factory, bool fromStream, const std::wstring& file,
           const std::wstring& pam) {
    Com<IWICBitmapDecoder> decoder;
    if (fromStream) {
        Com<IStream> stream;
        OpenAsStream(file, stream.out());
        Check(factory->CreateDecoderFromStream(stream.get(), nullptr,
                                               WICDecodeMetadataCacheOnDemand, decoder.out()));
    } else {
        Check(factory->CreateDecoderFromFilename(file.c_str(), nullptr, GENERIC_READ,
                                                 WICDecodeMetadataCacheOnDemand, decoder.out()));
    }
    Com<IWICBitmapDecoderInfo> info;
    Check(decoder->GetDecoderInfo(info.out()));
    Com<IWICBitmapFrameDecode> frame;
    Check(decoder->GetFrame(0, frame.out()));
    Com<IWICBitmapSource> converted;
    Check(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.get(), converted.out()));
    UINT width = 0, height = 0;
    Check(converted->GetSize(&width, &height));
    double dpiX = 0, dpiY = 0;
    Check(frame->GetResolution(&dpiX, &dpiY));
    const UINT stride = width * 4;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
    Check(converted->CopyPixels(nullptr, stride, static_cast<UINT>(pixels.size()), pixels.data()));
    WritePam(pam, width, height, pixels);
    std::printf("decoder: %s\nsize: %u x %u\nresolution: %g x %g dpi\n",
                Narrow(FriendlyName(info.get())).c_str(), width, height, dpiX, dpiY);
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args(argv + 1, argv + argc);
    LocalFree(argv);
    const bool list = args.size() == 1 && args[0] == L"--list";
    const bool fromStream = !args.empty() && args[0] == L"--stream";
    if (fromStream) args.erase(args.begin());
    if (!list && args.size() != 2) {
        std::fprintf(stderr, "usage: wic_client.exe [--stream] FILE OUT.pam | --list\n");
        return 2;
    }
    const std::string name = list ? "--list" : Narrow(args[0]);
    Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    int status = 0;
    try {
        Com<IWICImagingFactory> factory;
        Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IWICImagingFactory, reinterpret_cast<void**>(factory.out())));
        status = list ? List(factory.get()) : Decode(factory.get(), fromStream, args[0], args[1]);
    } catch (const Failure& failure) {
        wchar_t* text = nullptr;
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(failure.result), 0,
                       reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::string words = text != nullptr ? Narrow(text) : "";
        if (text != nullptr) LocalFree(text);
        while (!words.empty() && (words.back() == '\n' || words.back() == '\r')) words.pop_back();
        std::printf("%s: failed: 0x%08lX%s%s\n", name.c_str(),
                    static_cast<unsigned long>(failure.result), words.empty() ? "" : " ",
                    words.c_str());
        status = 1;
    }
    CoUninitialize();
    return status;
}
