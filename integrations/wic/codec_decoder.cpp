// The decoder: takes the stream WIC hands over, reads the file's bytes (from its start, wherever
// the stream was left) within the library's limits, and checks the header; the pixels wait for
// the frame's first demand.
#include <cstring>
#include <new>

#include "integrations/wic/codec_classes.h"
#include "integrations/wic/codec_ids.h"
#include "integrations/wic/codec_module.h"

namespace tniff_wic {
namespace {

// The file's first bytes as the registration's pattern matches them: "FOR4", the outer group's
// size, "CIMG".
const ULONG kPatternBytes = 12;
bool MatchesPattern(const uint8_t* bytes) {
    return std::memcmp(bytes, "FOR4", 4) == 0 && std::memcmp(bytes + 8, "CIMG", 4) == 0;
}

HRESULT SeekTo(IStream* stream, uint64_t position, uint64_t* previous) {
    LARGE_INTEGER move;
    ULARGE_INTEGER at;
    if (previous != nullptr) {
        move.QuadPart = 0;
        const HRESULT result = stream->Seek(move, STREAM_SEEK_CUR, &at);
        if (FAILED(result)) return result;
        *previous = at.QuadPart;
    }
    move.QuadPart = static_cast<LONGLONG>(position);
    return stream->Seek(move, STREAM_SEEK_SET, nullptr);
}

// What messages call the stream's file: the name Stat gives (a file's streams have one).
std::string NameOf(const STATSTG& stat, bool haveStat) {
    if (!haveStat || stat.pwcsName == nullptr) return "the image stream";
    return tarniff::CodePageText(stat.pwcsName);
}

// Reads the whole stream from its start; a stream longer than the most a file of an image within
// the limit can take is refused before (or as soon as) that much is read.
HRESULT ReadAll(IStream* stream, std::vector<uint8_t>* bytes, std::string* name) {
    HRESULT result = SeekTo(stream, 0, nullptr);
    if (FAILED(result)) return result;
    const uint64_t most = MostFileBytes(tarniff::DefaultMaxImageBytes());
    STATSTG stat;
    std::memset(&stat, 0, sizeof stat);
    const bool haveStat = SUCCEEDED(stream->Stat(&stat, STATFLAG_DEFAULT));
    *name = NameOf(stat, haveStat);
    if (haveStat && stat.pwcsName != nullptr) CoTaskMemFree(stat.pwcsName);
    if (haveStat) {
        if (stat.cbSize.QuadPart > most) {
            Report(*name + ": the file is larger than the most the image-size limit allows");
            return ResultOf(Refusal::tooLarge);
        }
        bytes->reserve(static_cast<size_t>(stat.cbSize.QuadPart));
    }
    const ULONG kChunk = 1 << 20;
    for (;;) {
        const size_t have = bytes->size();
        if (have > most) return ResultOf(Refusal::tooLarge);
        bytes->resize(have + kChunk);
        ULONG read = 0;
        result = stream->Read(bytes->data() + have, kChunk, &read);
        bytes->resize(have + read);
        if (FAILED(result)) return result;
        // S_FALSE, or nothing read: the end of the stream.
        if (result != S_OK || read == 0) return S_OK;
    }
}

class Decoder : public CountedObject<IWICBitmapDecoder> {
public:
    // Looks at the first bytes only, and leaves the stream where it was.
    HRESULT STDMETHODCALLTYPE QueryCapability(IStream* stream, DWORD* capability) override {
        if (stream == nullptr || capability == nullptr) return E_INVALIDARG;
        *capability = 0;
        uint64_t previous = 0;
        HRESULT result = SeekTo(stream, 0, &previous);
        if (FAILED(result)) return result;
        uint8_t head[kPatternBytes];
        ULONG read = 0;
        result = stream->Read(head, kPatternBytes, &read);
        const HRESULT back = SeekTo(stream, previous, nullptr);
        if (FAILED(result)) return result;
        if (FAILED(back)) return back;
        if (read == kPatternBytes && MatchesPattern(head)) {
            *capability = WICBitmapDecoderCapabilityCanDecodeAllImages;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, WICDecodeOptions) override {
        if (stream == nullptr) return E_INVALIDARG;
        try {
            AcquireSRWLockExclusive(&lock_);
            const HRESULT result = InitializeLocked(stream);
            ReleaseSRWLockExclusive(&lock_);
            return result;
        } catch (...) {
            ReleaseSRWLockExclusive(&lock_);
            return ResultOfException();
        }
    }

    HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID* format) override {
        if (format == nullptr) return E_INVALIDARG;
        *format = kContainerFormat;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetDecoderInfo(IWICBitmapDecoderInfo** info) override {
        if (info == nullptr) return E_INVALIDARG;
        *info = nullptr;
        IWICImagingFactory* factory = nullptr;
        HRESULT result =
            CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
        if (FAILED(result)) return result;
        IWICComponentInfo* component = nullptr;
        result = factory->CreateComponentInfo(kDecoderClsid, &component);
        factory->Release();
        if (FAILED(result)) return result;
        result =
            component->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(info));
        component->Release();
        return result;
    }

    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette*) override {
        return WINCODEC_ERR_PALETTEUNAVAILABLE;
    }
    HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
        if (reader != nullptr) *reader = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource** preview) override {
        if (preview != nullptr) *preview = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* actual) override {
        if (actual == nullptr) return E_INVALIDARG;
        *actual = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override {
        if (thumbnail != nullptr) *thumbnail = nullptr;
        return WINCODEC_ERR_CODECNOTHUMBNAIL;
    }

    HRESULT STDMETHODCALLTYPE GetFrameCount(UINT* count) override {
        if (count == nullptr) return E_INVALIDARG;
        std::shared_ptr<Source> source = Current();
        if (!source) return WINCODEC_ERR_NOTINITIALIZED;
        *count = 1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetFrame(UINT index, IWICBitmapFrameDecode** frame) override {
        if (frame == nullptr) return E_INVALIDARG;
        *frame = nullptr;
        try {
            std::shared_ptr<Source> source = Current();
            if (!source) return WINCODEC_ERR_NOTINITIALIZED;
            if (index != 0) return WINCODEC_ERR_FRAMEMISSING;
            return CreateFrame(source, frame);
        } catch (...) {
            return ResultOfException();
        }
    }

protected:
    bool Answers(REFIID iid) const override { return iid == IID_IWICBitmapDecoder; }

private:
    HRESULT InitializeLocked(IStream* stream) {
        if (source_) return WINCODEC_ERR_WRONGSTATE;
        std::vector<uint8_t> bytes;
        std::string name;
        const HRESULT result = ReadAll(stream, &bytes, &name);
        if (FAILED(result)) return result;
        auto source = std::make_shared<Source>(std::move(bytes), std::move(name));
        // A refused file leaves the decoder uninitialised, so no frame of it is ever handed out.
        if (FAILED(source->headerResult())) return source->headerResult();
        source_ = std::move(source);
        return S_OK;
    }

    std::shared_ptr<Source> Current() {
        AcquireSRWLockShared(&lock_);
        std::shared_ptr<Source> source = source_;
        ReleaseSRWLockShared(&lock_);
        return source;
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::shared_ptr<Source> source_;
};

}  // namespace

HRESULT CreateDecoder(REFIID iid, void** object) {
    Decoder* decoder = new (std::nothrow) Decoder();
    if (decoder == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = decoder->QueryInterface(iid, object);
    decoder->Release();
    return result;
}

}  // namespace tniff_wic
