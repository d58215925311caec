// PNG and TIFF on Windows through the system's imaging component (WIC), so that tniff.exe needs no
// codec library of its own. WIC decodes and encodes; what the Linux readers decide from the file
// itself (how many channels an image becomes, what is refused, where a cut file ends) is read
// here from the file's own bytes first, so that both systems say the same of the same file.
#include "tarniff/image_files/codecs.h"

#include <wincodec.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"

namespace tarniff {

namespace {

// ---- COM --------------------------------------------------------------------------------------

template <typename T>
class Com {
public:
    Com() = default;
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    ~Com() {
        if (p_ != nullptr) p_->Release();
    }
    T** out() { return &p_; }
    T* operator->() const { return p_; }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

// COM is started on the calling thread for the length of one read or write; a thread that
// already runs it in another model keeps it as it is.
class ComScope {
public:
    ComScope() {
        const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        started_ = result == S_OK || result == S_FALSE;
    }
    ~ComScope() {
        if (started_) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool started_ = false;
};

std::string Hex(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

// The system's words for a failure, on one line.
std::string SystemWords(HRESULT result) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(result), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string words;
    if (length > 0 && text != nullptr) {
        const int size = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0,
                                             nullptr, nullptr);
        words.resize(static_cast<size_t>(size));
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), &words[0], size, nullptr,
                            nullptr);
    }
    if (text != nullptr) LocalFree(text);
    std::replace(words.begin(), words.end(), '\r', ' ');
    std::replace(words.begin(), words.end(), '\n', ' ');
    while (!words.empty() && (words.back() == ' ' || words.back() == '.')) words.pop_back();
    return words.empty() ? "error " + Hex(result) : words + " (" + Hex(result) + ")";
}

Com<IWICImagingFactory>* NewFactory(Com<IWICImagingFactory>* factory, const std::string& name) {
    const HRESULT result =
        CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IWICImagingFactory, reinterpret_cast<void**>(factory->out()));
    if (FAILED(result))
        throw Error(name + ": the Windows imaging component is missing: " + SystemWords(result));
    return factory;
}

// The whole file, read with the system's own calls (names are UTF-8, Windows wants UTF-16).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* why) {
    HANDLE file = CreateFileW(WideText(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        *why = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? std::strerror(ENOENT)
               : code == ERROR_ACCESS_DENIED                                ? std::strerror(EACCES)
                                             : SystemWords(HRESULT_FROM_WIN32(code));
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) != 0 && size.QuadPart >= 0;
    if (ok) {
        bytes->resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        while (ok && done < bytes->size()) {
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - done, 1 << 24));
            ok = ReadFile(file, bytes->data() + done, want, &got, nullptr) != 0 && got > 0;
            done += got;
        }
    }
    if (!ok) *why = SystemWords(HRESULT_FROM_WIN32(GetLastError()));
    CloseHandle(file);
    return ok;
}

// Writes the bytes to the file at path, sharing it as the library's outputs do: "" or what went
// wrong, as ": cannot open for writing: ..." or ": cannot write: ...".
std::string WriteWholeFile(const std::string& path, const void* bytes, size_t size) {
    HANDLE file = CreateFileW(WideText(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ": cannot open for writing: " + SystemWords(HRESULT_FROM_WIN32(GetLastError()));
    const char* at = static_cast<const char*>(bytes);
    bool ok = true;
    while (ok && size > 0) {
        DWORD done = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1 << 24));
        ok = WriteFile(file, at, want, &done, nullptr) != 0 && done == want;
        at += done;
        size -= done;
    }
    const DWORD code = ok ? 0 : GetLastError();
    if (!CloseHandle(file) && ok)
        return ": cannot write: " + SystemWords(HRESULT_FROM_WIN32(GetLastError()));
    return ok ? "" : ": cannot write: " + SystemWords(HRESULT_FROM_WIN32(code));
}

// ---- Decoding ---------------------------------------------------------------------------------

// What the file's own bytes say the image becomes, as the Linux reader makes it.
struct Shape {
    int channels = 0;              // 1 gray, 2 gray and alpha, 3 RGB, 4 RGBA
    int sourceBits = 8;            // bits per sample as stored
    bool sixteen = false;          // samples are scaled from 16 bits here, not by WIC
    std::vector<uint8_t> palette;  // a TIFF palette image's colours, RGB, as Linux scales them
    bool associated = false;       // TIFF alpha that colours are multiplied by: made straight here
};

// A premultiplied colour sample made straight: rounded to nearest, never above the largest
// value, 0 where alpha is 0.
uint32_t Straight(uint32_t value, uint32_t alpha, uint32_t largest) {
    if (alpha == 0) return 0;
    const uint64_t straight = (static_cast<uint64_t>(value) * largest + alpha / 2) / alpha;
    return static_cast<uint32_t>(std::min<uint64_t>(straight, largest));
}

bool SameFormat(const WICPixelFormatGUID& a, const GUID& b) { return IsEqualGUID(a, b) != 0; }

// The frame's pixels into the sink as shape's channels. Sixteen-bit samples are fetched as
// such and scaled with ScaleSample, as on Linux; everything else goes through WIC's 8-bit BGRA
// (or 8-bit gray for a gray image), from which the channels are picked.
void DecodeFrame(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, const Shape& shape,
                 RowSink* sink, const ReadSettings& settings, const std::string& name,
                 const std::string& kind) {
    UINT width = 0, height = 0;
    HRESULT result = frame->GetSize(&width, &height);
    if (FAILED(result)) throw Error(name + ": broken " + kind + " file: " + SystemWords(result));
    CheckFormatLimits(width, height, name);
    CheckImageSizeLimit(width, height, shape.channels, settings.maxImageBytes, name,
                        settings.raiseLimit);
    WICPixelFormatGUID native;
    result = frame->GetPixelFormat(&native);
    if (FAILED(result)) throw Error(name + ": broken " + kind + " file: " + SystemWords(result));

    const int w = static_cast<int>(width), h = static_cast<int>(height);
    // A TIFF palette's colours are scaled here, as on Linux: its indices are fetched as stored.
    const int indexBits = shape.palette.empty()                                ? 0
                          : SameFormat(native, GUID_WICPixelFormat8bppIndexed) ? 8
                          : SameFormat(native, GUID_WICPixelFormat4bppIndexed) ? 4
                          : SameFormat(native, GUID_WICPixelFormat2bppIndexed) ? 2
                          : SameFormat(native, GUID_WICPixelFormat1bppIndexed) ? 1
                                                                               : 0;
    if (indexBits > 0) {
        sink->Begin(w, h, 3, shape.sourceBits);
        const size_t stride = (static_cast<size_t>(width) * size_t(indexBits) + 7) / 8;
        const int block = sink->BlockRows(w, 3);
        std::vector<uint8_t> indices(stride * static_cast<size_t>(std::min(block, h)));
        const size_t entries = shape.palette.size() / 3;
        for (int top = 0; top < h; top += block) {
            const int count = std::min(block, h - top);
            WICRect rect = {0, top, w, count};
            result = frame->CopyPixels(&rect, static_cast<UINT>(stride),
                                       static_cast<UINT>(stride * static_cast<size_t>(count)),
                                       indices.data());
            if (FAILED(result))
                throw Error(name + ": broken " + kind + " file: " + SystemWords(result));
            uint8_t* out = sink->Rows(top, count);
            for (int y = 0; y < count; ++y) {
                const uint8_t* row = indices.data() + static_cast<size_t>(y) * stride;
                for (size_t x = 0; x < width; ++x, out += 3) {
                    const size_t bit = x * size_t(indexBits);
                    const int shift = 8 - indexBits - static_cast<int>(bit % 8);
                    size_t index = (row[bit / 8] >> shift) & ((1u << indexBits) - 1u);
                    if (index >= entries) index = 0;
                    std::memcpy(out, &shape.palette[index * 3], 3);
                }
            }
            sink->Filled(top, count);
            if (settings.progress) settings.progress(top + count, h);
        }
        return;
    }

    // The layout fetched: samples of 1 or 2 bytes, in the order of the format asked for.
    GUID wanted = GUID_WICPixelFormat32bppBGRA;
    int sampleBytes = 1, samples = 4;
    bool bgr = true;
    if (shape.sixteen) {
        sampleBytes = 2;
        bgr = false;
        // Taken as the decoder gives them where it gives 16-bit samples (not every system
        // converts between its 16-bit formats), else converted to 16-bit RGBA.
        struct Sixteen {
            const GUID* format;
            int samples;
            bool bgr;
        };
        const Sixteen kSixteen[] = {{&GUID_WICPixelFormat16bppGray, 1, false},
                                    {&GUID_WICPixelFormat48bppRGB, 3, false},
                                    {&GUID_WICPixelFormat48bppBGR, 3, true},
                                    {&GUID_WICPixelFormat64bppRGBA, 4, false},
                                    {&GUID_WICPixelFormat64bppBGRA, 4, true}};
        wanted = shape.associated ? GUID_WICPixelFormat64bppPRGBA : GUID_WICPixelFormat64bppRGBA;
        if (shape.channels == 1) {
            wanted = GUID_WICPixelFormat16bppGray;
            samples = 1;
        }
        for (const Sixteen& given : kSixteen) {
            if (shape.associated || !SameFormat(native, *given.format)) continue;
            if (given.samples == 1 && shape.channels != 1) continue;
            wanted = *given.format;
            samples = given.samples;
            bgr = given.bgr;
        }
    } else if (shape.associated) {
        wanted = GUID_WICPixelFormat32bppPBGRA;
    } else if (shape.channels == 1 && SameFormat(native, GUID_WICPixelFormat8bppGray)) {
        wanted = GUID_WICPixelFormat8bppGray;
        samples = 1;
    }
    Com<IWICBitmapSource> converted;
    IWICBitmapSource* source = frame;
    if (!SameFormat(native, wanted)) {
        result = WICConvertBitmapSource(wanted, frame, converted.out());
        if (FAILED(result)) {
            throw Error(name + ": unsupported " + kind +
                        " file: the Windows imaging component cannot convert its pixels: " +
                        SystemWords(result));
        }
        source = converted.get();
    }
    (void)factory;

    sink->Begin(w, h, shape.channels, shape.sourceBits);
    const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(samples * sampleBytes);
    const int block = sink->BlockRows(w, shape.channels);
    std::vector<uint8_t> fetched(stride * static_cast<size_t>(std::min(block, h)));
    // Where channel c of the output is among the samples fetched.
    int pick[4] = {0, 1, 2, 3};
    if (samples > 1) {
        // Gray comes as R = G = B.
        const int red = bgr ? 2 : 0, blue = bgr ? 0 : 2;
        const int gray[] = {red, 3}, colour[] = {red, 1, blue, 3};
        for (int c = 0; c < shape.channels; ++c)
            pick[c] = shape.channels <= 2 ? gray[c] : colour[c];
    }
    for (int top = 0; top < h; top += block) {
        const int count = std::min(block, h - top);
        WICRect rect = {0, top, w, count};
        result = source->CopyPixels(&rect, static_cast<UINT>(stride),
                                    static_cast<UINT>(stride * static_cast<size_t>(count)),
                                    fetched.data());
        if (FAILED(result))
            throw Error(name + ": broken " + kind + " file: " + SystemWords(result));
        uint8_t* out = sink->Rows(top, count);
        const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(count);
        if (!shape.sixteen && samples == 1) {
            std::memcpy(out, fetched.data(), pixels);
        } else {
            for (size_t i = 0; i < pixels; ++i) {
                const uint8_t* from =
                    fetched.data() + i * static_cast<size_t>(samples * sampleBytes);
                uint32_t values[4];
                for (int c = 0; c < shape.channels; ++c) {
                    uint16_t value = from[pick[c]];
                    if (sampleBytes == 2) std::memcpy(&value, from + pick[c] * 2, 2);
                    values[c] = value;
                }
                const uint32_t largest = sampleBytes == 2 ? 65535 : 255;
                const int alpha = shape.channels - 1;
                if (shape.associated) {
                    for (int c = 0; c < alpha; ++c)
                        values[c] = Straight(values[c], values[alpha], largest);
                }
                for (int c = 0; c < shape.channels; ++c) {
                    out[c] = sampleBytes == 2 ? ScaleSample(values[c], 65535)
                                              : static_cast<uint8_t>(values[c]);
                }
                out += shape.channels;
            }
        }
        sink->Filled(top, count);
        if (settings.progress) settings.progress(top + count, h);
    }
}

// The decoder of container for the file's bytes, read already (the file is not opened again:
// the caller's temporary copy of standard input is held open, unshared), and its first frame.
void OpenFrame(IWICImagingFactory* factory, const std::vector<uint8_t>& file, const GUID& container,
               Com<IWICStream>* stream, Com<IWICBitmapDecoder>* decoder,
               Com<IWICBitmapFrameDecode>* frame, const std::string& name,
               const std::string& kind) {
    HRESULT result = factory->CreateStream(stream->out());
    if (SUCCEEDED(result)) {
        result = (*stream)->InitializeFromMemory(const_cast<BYTE*>(file.data()),
                                                 static_cast<DWORD>(file.size()));
    }
    if (FAILED(result)) throw Error(name + ": not enough memory to read it");
    result = factory->CreateDecoder(container, nullptr, decoder->out());
    if (FAILED(result)) {
        throw Error(name + ": the Windows imaging component has no " + kind +
                    " decoder: " + SystemWords(result));
    }
    result = (*decoder)->Initialize(stream->get(), WICDecodeMetadataCacheOnDemand);
    if (SUCCEEDED(result)) result = (*decoder)->GetFrame(0, frame->out());
    if (FAILED(result)) throw Error(name + ": broken " + kind + " file: " + SystemWords(result));
}

// ---- PNG: what the chunks say ------------------------------------------------------------------

uint32_t BigEndian32(const uint8_t* bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           bytes[3];
}

uint32_t Crc32(const uint8_t* bytes, size_t size) {
    static uint32_t table[256];
    static bool made = false;
    if (!made) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        made = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

// Walks the chunks: the shape from IHDR (and tRNS, which becomes alpha), and the faults libpng
// stops at, in its words: a cut file names the part it ends in, a critical chunk's bad CRC names
// the chunk. WIC itself is asked only for the pixels.
Shape PngShapeOf(const std::vector<uint8_t>& file, const std::string& name) {
    auto cut = [&](const char* stage) {
        return Error(name + ": truncated PNG file: it ends inside its " + stage +
                     (std::string(stage) == "end chunk" ? " (the pixels are all there)" : ""));
    };
    Shape shape;
    bool header = false, transparency = false, data = false;
    int colourType = 0;
    size_t at = 8;
    for (;;) {
        const char* stage = !data ? "header" : "end chunk";
        if (file.size() - at < 8) throw cut(stage);
        const uint32_t length = BigEndian32(&file[at]);
        const std::string type(reinterpret_cast<const char*>(&file[at + 4]), 4);
        // libpng names a chunk with its letters, any other byte in hexadecimal: "IDA[AB]".
        std::string shown;
        bool letters = true;
        for (char c : type) {
            const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            letters = letters && letter;
            char hex[8];
            std::snprintf(hex, sizeof hex, "[%02X]", static_cast<unsigned char>(c));
            shown += letter ? std::string(1, c) : std::string(hex);
        }
        if (!letters) throw Error(name + ": broken PNG file: " + shown + ": invalid chunk type");
        if (type == "IDAT") stage = "image data";
        if (length > 0x7FFFFFFFu)
            throw Error(name + ": broken PNG file: PNG unsigned integer out of range");
        if (file.size() - at - 8 < uint64_t(length) + 4) throw cut(stage);
        const uint8_t* body = &file[at + 8];
        const bool critical = (type[0] & 0x20) == 0;
        if (critical && Crc32(&file[at + 4], length + 4) != BigEndian32(body + length))
            throw Error(name + ": broken PNG file: " + type + ": CRC error");
        if (!header) {
            if (type != "IHDR" || length != 13)
                throw Error(name + ": broken PNG file: Missing IHDR before " + type);
            header = true;
            shape.sourceBits = body[8];
            colourType = body[9];
        } else if (type == "tRNS") {
            transparency = true;
        } else if (type == "IDAT") {
            data = true;
        } else if (type == "IEND") {
            break;
        }
        at += 12 + length;
    }
    switch (colourType) {
    case 0: shape.channels = transparency ? 2 : 1; break;
    case 2:
    case 3: shape.channels = transparency ? 4 : 3; break;
    case 4: shape.channels = 2; break;
    case 6: shape.channels = 4; break;
    default: throw Error(name + ": broken PNG file: Invalid color type in IHDR");
    }
    shape.sixteen = shape.sourceBits == 16;
    return shape;
}

// ---- TIFF: what the first directory says -------------------------------------------------------

struct TiffTags {
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1, photometric = 1, sampleFormat = 1, compression = 1;
    bool photometricGiven = false;
    std::vector<uint16_t> extra;
    std::vector<uint64_t> offsets, counts;
    std::vector<uint16_t> colourMap;  // every red, then every green, then every blue
};

class TiffBytes {
public:
    explicit TiffBytes(const std::vector<uint8_t>& file) : file_(file), little_(file[0] == 'I') {}
    bool Has(uint64_t at, uint64_t size) const {
        return at <= file_.size() && size <= file_.size() - at;
    }
    uint64_t Get(uint64_t at, int size) const {
        uint64_t value = 0;
        for (int i = 0; i < size; ++i) {
            const uint8_t byte = file_[static_cast<size_t>(at) + (little_ ? size - 1 - i : i)];
            value = (value << 8) | byte;
        }
        return value;
    }

private:
    const std::vector<uint8_t>& file_;
    bool little_;
};

// The tags the Linux reader decides by, from the first directory (classic and BigTIFF).
TiffTags ReadTiffTags(const std::vector<uint8_t>& file, const std::string& name) {
    TiffBytes b(file);
    const bool big = file.size() >= 4 && b.Get(2, 2) == 43;
    const int offsetSize = big ? 8 : 4;
    if (!b.Has(big ? 8 : 4, static_cast<uint64_t>(offsetSize)))
        throw Error(name + ": broken TIFF file: Cannot read TIFF header");
    const uint64_t directory = b.Get(big ? 8 : 4, offsetSize);
    if (directory >= file.size()) {
        throw Error(name + ": truncated TIFF file: its first image directory is at byte " +
                    std::to_string(directory) + " and the file ends after " +
                    std::to_string(file.size()) + " bytes");
    }
    const int countSize = big ? 8 : 2, entrySize = big ? 20 : 12;
    if (!b.Has(directory, static_cast<uint64_t>(countSize)))
        throw Error(name + ": broken TIFF file: Cannot read TIFF directory count");
    const uint64_t entries = b.Get(directory, countSize);
    if (!b.Has(directory + static_cast<uint64_t>(countSize), entries * uint64_t(entrySize)))
        throw Error(name + ": broken TIFF file: Can not read TIFF directory");
    TiffTags tags;
    static const int kTypeSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
    for (uint64_t e = 0; e < entries; ++e) {
        const uint64_t at = directory + static_cast<uint64_t>(countSize) + e * uint64_t(entrySize);
        const uint16_t tag = static_cast<uint16_t>(b.Get(at, 2));
        const uint16_t type = static_cast<uint16_t>(b.Get(at + 2, 2));
        const uint64_t count = b.Get(at + 4, offsetSize);
        const int size = type < 19 ? kTypeSizes[type] : 0;
        if (size == 0 || count == 0) continue;
        uint64_t where = at + 4 + static_cast<uint64_t>(offsetSize);
        if (count * uint64_t(size) > uint64_t(offsetSize)) where = b.Get(where, offsetSize);
        if (count > (uint64_t(1) << 32) || !b.Has(where, count * uint64_t(size))) continue;
        auto value = [&](uint64_t i) { return b.Get(where + i * uint64_t(size), size); };
        switch (tag) {
        case 256: tags.width = static_cast<uint32_t>(value(0)); break;
        case 257: tags.height = static_cast<uint32_t>(value(0)); break;
        case 258: tags.bits = static_cast<uint16_t>(value(0)); break;
        case 259: tags.compression = static_cast<uint16_t>(value(0)); break;
        case 262:
            tags.photometric = static_cast<uint16_t>(value(0));
            tags.photometricGiven = true;
            break;
        case 277: tags.samples = static_cast<uint16_t>(value(0)); break;
        case 339: tags.sampleFormat = static_cast<uint16_t>(value(0)); break;
        case 320:
            for (uint64_t i = 0; i < count; ++i) tags.colourMap.push_back(uint16_t(value(i)));
            break;
        case 338:
            for (uint64_t i = 0; i < count; ++i) tags.extra.push_back(uint16_t(value(i)));
            break;
        case 273:
        case 324:
            for (uint64_t i = 0; i < count; ++i) tags.offsets.push_back(value(i));
            break;
        case 279:
        case 325:
            for (uint64_t i = 0; i < count; ++i) tags.counts.push_back(value(i));
            break;
        default: break;
        }
    }
    if (!tags.photometricGiven) tags.photometric = 1;
    return tags;
}

std::string PhotometricName(uint16_t photometric, uint16_t compression) {
    switch (photometric) {
    case 4: return "a transparency mask";
    case 5: return "a CMYK (separated) image";
    case 6:
        return compression == 7 || compression == 6 ? "a YCbCr image (JPEG compressed)"
                                                    : "a YCbCr image";
    case 8:
    case 9:
    case 10: return "a CIE L*a*b* image";
    case 32844:
    case 32845: return "a LogLuv high-dynamic-range image";
    case 32803: return "a raw camera (colour filter array) image";
    default: return "an image of photometric interpretation " + std::to_string(photometric);
    }
}

// The refusals of the Linux reader, in its words, and the shape of what it reads.
Shape TiffShapeOf(const TiffTags& tags, const std::string& name, uint64_t fileBytes) {
    const std::string layout = std::to_string(tags.samples) +
                               (tags.samples == 1 ? " sample" : " samples") + " of " +
                               std::to_string(tags.bits) + " bits per pixel";
    auto refuse = [&](const std::string& what) {
        return Error(
            name + ": unsupported TIFF file: it is " + what + ", " + layout +
            "; tniff reads gray, RGB and palette images of 1, 2, 4, 8 or 16 bits per sample");
    };
    int colourSamples = 0;
    switch (tags.photometric) {
    case 0:
    case 1:
    case 3: colourSamples = 1; break;
    case 2: colourSamples = 3; break;
    default: throw refuse(PhotometricName(tags.photometric, tags.compression));
    }
    const char* kind = tags.photometric == 2   ? "an RGB image"
                       : tags.photometric == 3 ? "a palette image"
                                               : "a gray image";
    if (tags.sampleFormat == 3) throw refuse(std::string(kind) + " of floating-point samples");
    if (tags.sampleFormat != 1) throw refuse(std::string(kind) + " of signed or complex samples");
    const bool lowBits = tags.bits == 1 || tags.bits == 2 || tags.bits == 4;
    if (!(tags.bits == 8 || tags.bits == 16 ||
          (lowBits && tags.samples == 1 && colourSamples == 1)))
        throw refuse(std::string(kind) + " of " + std::to_string(tags.bits) + "-bit samples");
    if (tags.samples < colourSamples)
        throw Error(name + ": broken TIFF file: " + kind + " of " + layout);
    if (tags.photometric == 3 && tags.samples != 1)
        throw refuse("a palette image with extra samples");
    if (tags.samples > 16) throw refuse(std::string(kind) + " with that many extra samples");
    if (tags.width == 0 || tags.height == 0)
        throw Error(name + ": broken TIFF file: the image is empty");

    uint64_t end = 0;
    for (size_t i = 0; i < tags.offsets.size() && i < tags.counts.size(); ++i) {
        const uint64_t offset = tags.offsets[i], bytes = tags.counts[i];
        if (offset > fileBytes || bytes > fileBytes - offset)
            end = std::max(end, offset + std::min(bytes, ~offset));
    }
    if (end > fileBytes) {
        throw Error(name + ": truncated TIFF file: its pixel data reaches byte " +
                    std::to_string(end) + " and the file ends after " + std::to_string(fileBytes) +
                    " bytes");
    }
    Shape shape;
    const bool alpha = tags.samples > colourSamples;
    shape.channels = (tags.photometric == 3 ? 3 : colourSamples) + (alpha ? 1 : 0);
    shape.sourceBits = tags.bits;
    shape.sixteen = tags.bits == 16 && tags.photometric != 3;
    // Alpha unless it says it is associated; unspecified extra samples are straight alpha.
    shape.associated = alpha && !tags.extra.empty() && tags.extra[0] == 1;
    if (tags.photometric == 3) {
        // Its entries are 16 bits, but some writers store 8-bit values in them; a map with no
        // entry above 255 is read as such.
        const size_t entries = size_t(1) << tags.bits;
        if (tags.colourMap.size() < entries * 3)
            throw Error(name + ": broken TIFF file: a palette image without a colour map");
        const bool sixteen = std::any_of(tags.colourMap.begin(),
                                         tags.colourMap.begin() + std::ptrdiff_t(entries * 3),
                                         [](uint16_t value) { return value > 255; });
        for (size_t i = 0; i < entries; ++i) {
            for (size_t k = 0; k < 3; ++k) {
                const uint16_t value = tags.colourMap[k * entries + i];
                shape.palette.push_back(sixteen ? ScaleSample(value, 65535) : uint8_t(value));
            }
        }
    }
    return shape;
}

// Reads the file whole, refusing one that is not of kind with the Linux readers' words.
std::vector<uint8_t> ReadChecked(const std::string& path, const std::string& name, FileKind kind,
                                 const char* label) {
    std::vector<uint8_t> file;
    std::string why;
    if (!ReadWholeFile(path, &file, &why)) throw Error(name + ": cannot open: " + why);
    FileKind found;
    std::string what;
    bool matches =
        SniffKind(file.data(), std::min<size_t>(file.size(), 16), &found, &what) && found == kind;
    if (!matches) {
        const std::string content = DescribeContent(path);
        throw Error(name + ": not a " + label + " file" +
                    (content.empty() ? "" : ": it is " + content));
    }
    return file;
}

// ---- Encoding ---------------------------------------------------------------------------------

// Rows of 1 to 4 channels written through an encoder of container: gray as 8-bit gray, the
// others as 8-bit BGR or BGRA (gray and alpha is written here, WriteGrayAlphaPng and
// WriteGrayAlphaTiff).
void Encode(RowSource& source, const std::string& path, const std::string& name,
            const WriteSettings& settings, const GUID& container, const char* kind,
            bool tiffOptions) {
    ComScope com;
    Com<IWICImagingFactory> factory;
    NewFactory(&factory, name);
    auto failed = [&](HRESULT result) {
        return Error(name + ": cannot write: " + SystemWords(result));
    };
    // Encoded into memory, then written to the file: the output's temporary file is held open
    // by the library, shared, which WIC's own file streams are not.
    Com<IStream> stream;
    HRESULT result = CreateStreamOnHGlobal(nullptr, TRUE, stream.out());
    if (FAILED(result)) throw Error(name + ": not enough memory to write it");
    Com<IWICBitmapEncoder> encoder;
    result = factory->CreateEncoder(container, nullptr, encoder.out());
    if (FAILED(result)) {
        throw Error(name + ": the Windows imaging component has no " + kind +
                    " encoder: " + SystemWords(result));
    }
    result = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
    Com<IWICBitmapFrameEncode> frame;
    Com<IPropertyBag2> options;
    if (SUCCEEDED(result)) result = encoder->CreateNewFrame(frame.out(), options.out());
    if (FAILED(result)) throw failed(result);
    if (tiffOptions && options.get() != nullptr) {
        // Deflate, as on Linux; an encoder without the option writes what it can.
        PROPBAG2 option = {};
        option.pstrName = const_cast<LPOLESTR>(L"TiffCompressionMethod");
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_UI1;
        value.bVal = WICTiffCompressionZIP;
        options->Write(1, &option, &value);
    }
    result = frame->Initialize(options.get());
    const int channels = source.channels();
    const UINT width = static_cast<UINT>(source.width()),
               height = static_cast<UINT>(source.height());
    if (SUCCEEDED(result)) result = frame->SetSize(width, height);
    WICPixelFormatGUID format = channels == 1   ? GUID_WICPixelFormat8bppGray
                                : channels == 3 ? GUID_WICPixelFormat24bppBGR
                                                : GUID_WICPixelFormat32bppBGRA;
    const WICPixelFormatGUID asked = format;
    if (SUCCEEDED(result)) result = frame->SetPixelFormat(&format);
    if (SUCCEEDED(result) && !SameFormat(format, asked))
        throw Error(name + ": the Windows " + kind + " encoder cannot write these channels");
    if (SUCCEEDED(result) && settings.resolution.horizontalDpi > 0 &&
        settings.resolution.verticalDpi > 0) {
        result = frame->SetResolution(settings.resolution.horizontalDpi,
                                      settings.resolution.verticalDpi);
    }
    if (FAILED(result)) throw failed(result);

    const int samples = channels == 1 ? 1 : channels == 3 ? 3 : 4;
    const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(samples);
    const int block = RowsPerBlock(source.width(), channels);
    std::vector<uint8_t> rows(stride * static_cast<size_t>(std::min(block, source.height())));
    for (int top = 0; top < source.height(); top += block) {
        const int count = std::min(block, source.height() - top);
        const uint8_t* in = source.Rows(top, count);
        const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(count);
        uint8_t* out = rows.data();
        if (channels == 1) {
            std::memcpy(out, in, pixels);
        } else {
            for (size_t i = 0; i < pixels; ++i, in += channels, out += samples) {
                const bool gray = channels == 2;
                out[0] = in[gray ? 0 : 2];
                out[1] = in[gray ? 0 : 1];
                out[2] = in[0];
                if (samples == 4) out[3] = in[channels - 1];
            }
        }
        result =
            frame->WritePixels(static_cast<UINT>(count), static_cast<UINT>(stride),
                               static_cast<UINT>(stride * static_cast<size_t>(count)), rows.data());
        if (FAILED(result)) throw failed(result);
        if (settings.progress) settings.progress(top + count, source.height());
    }
    result = frame->Commit();
    if (SUCCEEDED(result)) result = encoder->Commit();
    if (FAILED(result)) throw failed(result);
    STATSTG facts = {};
    HGLOBAL memory = nullptr;
    result = stream->Stat(&facts, STATFLAG_NONAME);
    if (SUCCEEDED(result)) result = GetHGlobalFromStream(stream.get(), &memory);
    if (FAILED(result)) throw failed(result);
    const void* bytes = GlobalLock(memory);
    const std::string why = WriteWholeFile(path, bytes, static_cast<size_t>(facts.cbSize.QuadPart));
    GlobalUnlock(memory);
    if (!why.empty()) throw Error(name + why);
}

// ---- Gray and alpha, and raw depth: files written here ----------------------------------------
// WIC's encoders hold no 8-bit gray with alpha and no two-sample 32-bit image: these are written
// here, uncompressed (PNG in stored deflate blocks), with the tags and chunks Linux writes, so
// that they read back with Linux's channels.

// The header and directory of a little-endian TIFF of two samples of bits each (the second
// unassociated alpha) in one strip that follows at once.
std::vector<uint8_t> TwoSampleTiffHead(uint32_t width, uint32_t height, int bits, int format,
                                       const Resolution& resolution, const std::string& name) {
    const uint64_t pixelBytes = uint64_t(width) * height * 2 * uint64_t(bits / 8);
    if (pixelBytes > 0xFFFFFFFFu - 4096)
        throw Error(name + ": too large for a TIFF file written on Windows (4 GiB)");
    std::vector<uint8_t> head;
    auto put = [&](uint64_t value, int size) {
        for (int i = 0; i < size; ++i) head.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put(tag, 2);
        put(type, 2);
        put(count, 4);
        put(value, 4);
    };
    const bool known = resolution.horizontalDpi > 0 && resolution.verticalDpi > 0;
    const int entries = known ? 16 : 13;
    const uint32_t rationals = 8 + 2 + uint32_t(entries) * 12 + 4;
    const uint32_t data = rationals + (known ? 16 : 0);
    const uint32_t b = static_cast<uint32_t>(bits), f = static_cast<uint32_t>(format);
    put('I', 1);
    put('I', 1);
    put(42, 2);
    put(8, 4);
    put(static_cast<uint64_t>(entries), 2);
    entry(256, 4, 1, width);
    entry(257, 4, 1, height);
    entry(258, 3, 2, b | (b << 16));
    entry(259, 3, 1, 1);  // no compression
    entry(262, 3, 1, 1);  // min-is-black
    entry(273, 4, 1, data);
    entry(274, 3, 1, 1);  // top left
    entry(277, 3, 1, 2);
    entry(278, 4, 1, height);
    entry(279, 4, 1, static_cast<uint32_t>(pixelBytes));
    if (known) {
        entry(282, 5, 1, rationals);
        entry(283, 5, 1, rationals + 8);
    }
    entry(284, 3, 1, 1);
    if (known) entry(296, 3, 1, 2);  // inches
    entry(338, 3, 1, 2);             // unassociated alpha
    entry(339, 3, 2, f | (f << 16));
    put(0, 4);
    if (head.size() != rationals) throw Error(name + ": the TIFF directory is laid out wrongly");
    if (known) {
        put(static_cast<uint32_t>(resolution.horizontalDpi * 10000 + 0.5), 4);
        put(10000, 4);
        put(static_cast<uint32_t>(resolution.verticalDpi * 10000 + 0.5), 4);
        put(10000, 4);
    }
    return head;
}

void WriteGrayAlphaTiff(RowSource& source, const std::string& path, const std::string& name,
                        const WriteSettings& settings) {
    std::vector<uint8_t> file =
        TwoSampleTiffHead(static_cast<uint32_t>(source.width()),
                          static_cast<uint32_t>(source.height()), 8, 1, settings.resolution, name);
    const int block = RowsPerBlock(source.width(), 2);
    for (int top = 0; top < source.height(); top += block) {
        const int count = std::min(block, source.height() - top);
        const uint8_t* rows = source.Rows(top, count);
        file.insert(file.end(), rows, rows + source.rowBytes() * static_cast<size_t>(count));
        if (settings.progress) settings.progress(top + count, source.height());
    }
    const std::string why = WriteWholeFile(path, file.data(), file.size());
    if (!why.empty()) throw Error(name + why);
}

void PutBigEndian32(std::vector<uint8_t>* bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes->push_back(static_cast<uint8_t>(value >> shift));
}

void PutChunk(std::vector<uint8_t>* file, const char* type, const std::vector<uint8_t>& data) {
    PutBigEndian32(file, static_cast<uint32_t>(data.size()));
    const size_t start = file->size();
    file->insert(file->end(), type, type + 4);
    file->insert(file->end(), data.begin(), data.end());
    PutBigEndian32(file, Crc32(file->data() + start, file->size() - start));
}

void WriteGrayAlphaPng(RowSource& source, const std::string& path, const std::string& name,
                       const WriteSettings& settings) {
    const uint32_t width = static_cast<uint32_t>(source.width());
    const uint32_t height = static_cast<uint32_t>(source.height());
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    PutBigEndian32(&header, width);
    PutBigEndian32(&header, height);
    header.insert(header.end(), {8, 4, 0, 0, 0});  // 8-bit gray and alpha, not interlaced
    PutChunk(&file, "IHDR", header);
    if (settings.resolution.horizontalDpi > 0 && settings.resolution.verticalDpi > 0) {
        // Pixels per metre, rounded, as Linux writes them.
        const double kInchesPerMetre = 1 / 0.0254;
        std::vector<uint8_t> physical;
        PutBigEndian32(&physical, static_cast<uint32_t>(
                                      settings.resolution.horizontalDpi * kInchesPerMetre + 0.5));
        PutBigEndian32(&physical, static_cast<uint32_t>(
                                      settings.resolution.verticalDpi * kInchesPerMetre + 0.5));
        physical.push_back(1);
        PutChunk(&file, "pHYs", physical);
    }
    // The rows, each after its filter byte (none), in stored deflate blocks.
    std::vector<uint8_t> raw;
    const int block = RowsPerBlock(source.width(), 2);
    for (int top = 0; top < source.height(); top += block) {
        const int count = std::min(block, source.height() - top);
        const uint8_t* rows = source.Rows(top, count);
        for (int y = 0; y < count; ++y) {
            raw.push_back(0);
            const uint8_t* row = rows + source.rowBytes() * static_cast<size_t>(y);
            raw.insert(raw.end(), row, row + source.rowBytes());
        }
        if (settings.progress) settings.progress(top + count, source.height());
    }
    std::vector<uint8_t> stream = {0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t at = 0;;) {
        const size_t size = std::min<size_t>(raw.size() - at, 65535);
        const bool last = at + size == raw.size();
        stream.push_back(last ? 1 : 0);
        stream.insert(stream.end(),
                      {uint8_t(size), uint8_t(size >> 8), uint8_t(~size), uint8_t(~size >> 8)});
        stream.insert(stream.end(), raw.begin() + std::ptrdiff_t(at),
                      raw.begin() + std::ptrdiff_t(at + size));
        at += size;
        if (last) break;
    }
    PutBigEndian32(&stream, (b << 16) | a);
    const size_t kChunkBytes = size_t(1) << 20;
    for (size_t at = 0; at < stream.size(); at += kChunkBytes) {
        const size_t size = std::min(kChunkBytes, stream.size() - at);
        PutChunk(&file, "IDAT",
                 std::vector<uint8_t>(stream.begin() + std::ptrdiff_t(at),
                                      stream.begin() + std::ptrdiff_t(at + size)));
    }
    PutChunk(&file, "IEND", {});
    const std::string why = WriteWholeFile(path, file.data(), file.size());
    if (!why.empty()) throw Error(name + why);
}

// The file's bytes decoded by the system's coder of container, as shape says, into sink.
void DecodeFile(const std::vector<uint8_t>& file, const GUID& container, const Shape& shape,
                RowSink* sink, const ReadSettings& settings, const std::string& name,
                const char* kind) {
    ComScope com;
    Com<IWICImagingFactory> factory;
    NewFactory(&factory, name);
    Com<IWICStream> stream;
    Com<IWICBitmapDecoder> decoder;
    Com<IWICBitmapFrameDecode> frame;
    OpenFrame(factory.get(), file, container, &stream, &decoder, &frame, name, kind);
    DecodeFrame(factory.get(), frame.get(), shape, sink, settings, name, kind);
}

}  // namespace

void ReadPng(const std::string& path, RowSink* sink, const ReadSettings& settings) {
    const std::string& name = settings.name.empty() ? path : settings.name;
    const std::vector<uint8_t> file = ReadChecked(path, name, FileKind::png, "PNG");
    const Shape shape = PngShapeOf(file, name);
    DecodeFile(file, GUID_ContainerFormatPng, shape, sink, settings, name, "PNG");
}

void WritePng(RowSource& rows, const std::string& path, const std::string& name,
              const WriteSettings& settings) {
    if (rows.channels() < 1 || rows.channels() > 4) {
        throw Error(name + ": a PNG file holds 1 to 4 channels, not " +
                    std::to_string(rows.channels()));
    }
    if (rows.channels() == 2) return WriteGrayAlphaPng(rows, path, name, settings);
    Encode(rows, path, name, settings, GUID_ContainerFormatPng, "PNG", false);
}

void ReadTiff(const std::string& path, RowSink* sink, const ReadSettings& settings) {
    const std::string& name = settings.name.empty() ? path : settings.name;
    const std::vector<uint8_t> file = ReadChecked(path, name, FileKind::tiff, "TIFF");
    const Shape shape = TiffShapeOf(ReadTiffTags(file, name), name, file.size());
    DecodeFile(file, GUID_ContainerFormatTiff, shape, sink, settings, name, "TIFF");
}

void WriteTiff(RowSource& rows, const std::string& path, const std::string& name,
               const WriteSettings& settings) {
    if (rows.channels() < 1 || rows.channels() > 4) {
        throw Error(name + ": tniff writes TIFF files of 1 to 4 channels, not " +
                    std::to_string(rows.channels()));
    }
    if (rows.channels() == 2) return WriteGrayAlphaTiff(rows, path, name, settings);
    Encode(rows, path, name, settings, GUID_ContainerFormatTiff, "TIFF", true);
}

void WriteRawDepthTiff(const RawDepth& depth, const std::string& path, const std::string& name,
                       const RawDepthSettings& settings) {
    const uint32_t width = static_cast<uint32_t>(depth.width);
    const uint32_t height = static_cast<uint32_t>(depth.height);
    std::vector<uint8_t> file =
        TwoSampleTiffHead(width, height, 32, settings.asFloat ? 3 : 1, settings.resolution, name);
    const uint32_t present = settings.asFloat ? 0x3F800000u : 0xFFFFFFFFu;
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t* from = depth.values.data() + static_cast<size_t>(y) * width;
        for (size_t x = 0; x < width; ++x) {
            const uint32_t pair[2] = {from[x], RawDepth::Empty(from[x]) ? 0 : present};
            for (uint32_t value : pair) {
                for (int b = 0; b < 4; ++b) file.push_back(static_cast<uint8_t>(value >> (8 * b)));
            }
        }
        if (settings.progress && (y % 64 == 63 || y + 1 == height))
            settings.progress(int(y + 1), depth.height);
    }
    const std::string why = WriteWholeFile(path, file.data(), file.size());
    if (!why.empty()) throw Error(name + why);
}

}  // namespace tarniff
