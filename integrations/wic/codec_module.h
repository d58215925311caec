// The module file the codec hosts: TnIffFormat.8bi beside the codec's own DLL, loaded once per
// process through the library and kept. Our host runs one operation at a time on a module
// instance, and WIC calls from many threads, so every open goes through one lock.
#ifndef TNIFF_INTEGRATIONS_WIC_CODEC_MODULE_H
#define TNIFF_INTEGRATIONS_WIC_CODEC_MODULE_H

#include <windows.h>

#include <string>

#include "integrations/wic/codec_image.h"

namespace tniff_wic {

// The codec DLL's own handle, from DllMain, which names the folder the module is looked for in.
void RememberCodecModule(HMODULE module);
HMODULE CodecModule();

// The codec DLL's path, or "" when the system does not give it.
std::wstring CodecPath();

// Decodes the bytes through the module (DecodeBgra), loading the module on first use. A module
// that cannot be found or loaded gives HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) and *message says
// why; otherwise S_OK, with the outcome in *decoded.
HRESULT DecodeWithModule(const uint8_t* bytes, size_t size, const std::string& name,
                         Decoded* decoded, std::string* message);

// Says the library's message to a debugger (WIC carries no text with an HRESULT).
void Report(const std::string& message);

}  // namespace tniff_wic

#endif
