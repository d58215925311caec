// What regsvr32 writes and removes: the decoder's COM and WIC entries in the registry view of
// the DLL's own width, and the entries that make Explorer and the photo viewers take .iff files
// as pictures (thumbnails, previews, the kind).
#ifndef TNIFF_INTEGRATIONS_WIC_CODEC_REGISTRATION_H
#define TNIFF_INTEGRATIONS_WIC_CODEC_REGISTRATION_H

#include <windows.h>

namespace tniff_wic {

// Writes every entry; the first failure (HRESULT_FROM_WIN32 of the system's code) is returned.
HRESULT RegisterCodec();

// Removes what RegisterCodec wrote: the decoder's entries of this width, and the extension's
// entries once no width has the decoder registered, each only where it still holds what was
// written (an extension's type that another program set stays).
HRESULT UnregisterCodec();

}  // namespace tniff_wic

#endif
