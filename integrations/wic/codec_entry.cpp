// The DLL's entry points: DllMain keeps the DLL's own handle (the module file is looked for
// beside it), DllGetClassObject hands out the decoder's class factory, DllCanUnloadNow says when
// nothing of ours is alive, and DllRegisterServer / DllUnregisterServer are regsvr32's.
#include <new>

#include "integrations/wic/codec_classes.h"
#include "integrations/wic/codec_ids.h"
#include "integrations/wic/codec_module.h"
#include "integrations/wic/codec_registration.h"

namespace tniff_wic {
namespace {

class DecoderFactory : public CountedObject<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return CreateDecoder(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        ServerLock(lock != FALSE);
        return S_OK;
    }

protected:
    bool Answers(REFIID iid) const override { return iid == IID_IClassFactory; }

private:
};

}  // namespace

HRESULT CreateDecoderFactory(REFIID iid, void** object) {
    DecoderFactory* factory = new (std::nothrow) DecoderFactory();
    if (factory == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = factory->QueryInterface(iid, object);
    factory->Release();
    return result;
}

}  // namespace tniff_wic

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        tniff_wic::RememberCodecModule(instance);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != tniff_wic::kDecoderClsid) return CLASS_E_CLASSNOTAVAILABLE;
    return tniff_wic::CreateDecoderFactory(iid, object);
}

HRESULT WINAPI DllCanUnloadNow() { return tniff_wic::ServerInUse() ? S_FALSE : S_OK; }

HRESULT WINAPI DllRegisterServer() {
    try {
        return tniff_wic::RegisterCodec();
    } catch (...) {
        return tniff_wic::ResultOfException();
    }
}

HRESULT WINAPI DllUnregisterServer() {
    try {
        return tniff_wic::UnregisterCodec();
    } catch (...) {
        return tniff_wic::ResultOfException();
    }
}

}  // extern "C"
