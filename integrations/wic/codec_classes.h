// The codec's COM objects, made by the class factory and by the decoder. No C++ exception leaves
// a method of theirs: each one catches everything and answers with an HRESULT.
#ifndef TNIFF_INTEGRATIONS_WIC_CODEC_CLASSES_H
#define TNIFF_INTEGRATIONS_WIC_CODEC_CLASSES_H

#include <windows.h>

#include <wincodec.h>

#include <memory>

#include "integrations/wic/codec_source.h"

namespace tniff_wic {

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
