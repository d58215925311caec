// The codec's COM objects, made by the class factory and by the decoder. No C++ exception leaves
// a method of theirs: each one catches everything and answers with an HRESULT.
#ifndef TNIFF_INTEGRATIONS_WIC_CODEC_CLASSES_H
#define TNIFF_INTEGRATIONS_WIC_CODEC_CLASSES_H

#include <windows.h>

#include <wincodec.h>

#include <memory>

#include "integrations/wic/codec_source.h"

namespace tniff_wic {

// What every object of the codec shares: its reference count, its place in the codec's count of
// live objects (DllCanUnloadNow), and a QueryInterface that answers IUnknown and the interfaces
// the object says it has (Answers), each as Interface.
template <typename Interface>
class CountedObject : public Interface {
public:
    CountedObject() { ObjectCreated(); }
    virtual ~CountedObject() { ObjectDestroyed(); }
    CountedObject(const CountedObject&) = delete;
    CountedObject& operator=(const CountedObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || Answers(iid)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

protected:
    virtual bool Answers(REFIID iid) const = 0;

private:
    LONG references_ = 1;
};

// A new decoder (IWICBitmapDecoder), asked for as iid.
HRESULT CreateDecoder(REFIID iid, void** object);

// The one frame of an initialised decoder's file.
HRESULT CreateFrame(const std::shared_ptr<Source>& source, IWICBitmapFrameDecode** frame);

// A new class factory for the decoder.
HRESULT CreateDecoderFactory(REFIID iid, void** object);

// The HRESULT for an exception caught at a COM boundary.
HRESULT ResultOfException();

}  // namespace tniff_wic

#endif
