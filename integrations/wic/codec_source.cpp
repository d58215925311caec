#include "integrations/wic/codec_source.h"

#include <wincodec.h>

#include <utility>

#include "integrations/wic/codec_module.h"

namespace tniff_wic {
namespace {

LONG gObjects = 0;
LONG gLocks = 0;

}  // namespace

HRESULT ResultOf(Refusal refusal) {
    switch (refusal) {
    case Refusal::none: return S_OK;
    case Refusal::notOurs: return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
    case Refusal::damaged: return WINCODEC_ERR_BADIMAGE;
    // The system's code for an image whose size it cannot take.
    case Refusal::tooLarge: return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    case Refusal::outOfMemory: return E_OUTOFMEMORY;
    }
    return E_FAIL;
}

Source::Source(std::vector<uint8_t> bytes, std::string name)
    : bytes_(std::move(bytes)), name_(std::move(name)) {
    header_ = CheckHeader(bytes_.data(), bytes_.size(), tarniff::DefaultMaxImageBytes(), name_);
    headerResult_ = ResultOf(header_.refusal);
    if (FAILED(headerResult_)) Report(header_.message);
    ObjectCreated();
}

Source::~Source() { ObjectDestroyed(); }

HRESULT Source::Pixels(const BgraImage** image) {
    AcquireSRWLockExclusive(&lock_);
    if (!decoded_) {
        Decoded decoded;
        std::string why;
        decodeResult_ = DecodeWithModule(bytes_.data(), bytes_.size(), name_, &decoded, &why);
        if (SUCCEEDED(decodeResult_)) {
            decodeResult_ = ResultOf(decoded.refusal);
            why = decoded.message;
            image_ = std::move(decoded.image);
        }
        if (FAILED(decodeResult_)) Report(why);
        // A failed load of the module is tried again next time; a decoded file is final.
        if (decodeResult_ != HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)) {
            decoded_ = true;
            std::vector<uint8_t>().swap(bytes_);
        }
    }
    const HRESULT result = decodeResult_;
    ReleaseSRWLockExclusive(&lock_);
    *image = SUCCEEDED(result) ? &image_ : nullptr;
    return result;
}

void ObjectCreated() { InterlockedIncrement(&gObjects); }
void ObjectDestroyed() { InterlockedDecrement(&gObjects); }
void ServerLock(bool lock) {
    if (lock) {
        InterlockedIncrement(&gLocks);
    } else {
        InterlockedDecrement(&gLocks);
    }
}
bool ServerInUse() { return gObjects != 0 || gLocks != 0; }

}  // namespace tniff_wic
