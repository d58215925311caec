// The frame: the file's one image, 32bppBGRA with straight alpha, the format of WIC's own PNG
// decoder for images with alpha, which every WIC program takes and converts from.
#include <new>

#include "integrations/wic/codec_classes.h"

namespace tniff_wic {
namespace {

class Frame : public CountedObject<IWICBitmapFrameDecode> {
public:
    explicit Frame(std::shared_ptr<Source> source) : source_(std::move(source)) {}

    HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) override {
        if (width == nullptr || height == nullptr) return E_INVALIDARG;
        *width = static_cast<UINT>(source_->width());
        *height = static_cast<UINT>(source_->height());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) override {
        if (format == nullptr) return E_INVALIDARG;
        *format = GUID_WICPixelFormat32bppBGRA;
        return S_OK;
    }
    // The header look gives no resolution: the image is decoded for it.
    HRESULT STDMETHODCALLTYPE GetResolution(double* dpiX, double* dpiY) override {
        if (dpiX == nullptr || dpiY == nullptr) return E_INVALIDARG;
        try {
            const BgraImage* image = nullptr;
            const HRESULT result = source_->Pixels(&image);
            if (FAILED(result)) return result;
            *dpiX = image->horizontalDpi;
            *dpiY = image->verticalDpi;
            return S_OK;
        } catch (...) {
            return ResultOfException();
        }
    }
    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette*) override {
        return WINCODEC_ERR_PALETTEUNAVAILABLE;
    }
    HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rectangle, UINT stride, UINT bufferSize,
                                         BYTE* buffer) override {
        if (buffer == nullptr) return E_INVALIDARG;
        try {
            const BgraImage* image = nullptr;
            const HRESULT result = source_->Pixels(&image);
            if (FAILED(result)) return result;
            const WICRect whole = {0, 0, image->width, image->height};
            const WICRect& r = rectangle != nullptr ? *rectangle : whole;
            switch (
                CopyRectangle(*image, r.X, r.Y, r.Width, r.Height, stride, bufferSize, buffer)) {
            case CopyOutcome::ok: return S_OK;
            case CopyOutcome::badRectangle: return E_INVALIDARG;
            case CopyOutcome::badStride:
            case CopyOutcome::shortBuffer: return WINCODEC_ERR_INSUFFICIENTBUFFER;
            }
            return E_FAIL;
        } catch (...) {
            return ResultOfException();
        }
    }

    HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
        if (reader != nullptr) *reader = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    HRESULT STDMETHODCALLTYPE GetColorContexts(UINT count, IWICColorContext**,
                                               UINT* actual) override {
        if (actual == nullptr) return E_INVALIDARG;
        (void)count;
        *actual = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override {
        if (thumbnail != nullptr) *thumbnail = nullptr;
        return WINCODEC_ERR_CODECNOTHUMBNAIL;
    }

protected:
    bool Answers(REFIID iid) const override {
        return iid == IID_IWICBitmapSource || iid == IID_IWICBitmapFrameDecode;
    }

private:
    std::shared_ptr<Source> source_;
};

}  // namespace

HRESULT CreateFrame(const std::shared_ptr<Source>& source, IWICBitmapFrameDecode** frame) {
    *frame = new (std::nothrow) Frame(source);
    return *frame != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT ResultOfException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace tniff_wic
