// The codec's fixed identities: what WIC, Explorer and the registry know it by. They never
// change once released, as registrations and caches of every machine that had the codec keep
// them.
#ifndef TNIFF_INTEGRATIONS_WIC_CODEC_IDS_H
#define TNIFF_INTEGRATIONS_WIC_CODEC_IDS_H

#include <windows.h>

namespace tniff_wic {

// {97A03B7D-F075-420E-857D-3EC56C6595D5}
const CLSID kDecoderClsid = {
    0x97a03b7d, 0xf075, 0x420e, {0x85, 0x7d, 0x3e, 0xc5, 0x6c, 0x65, 0x95, 0xd5}};
// {B309519A-2BB0-4F95-892D-451B68EB4C34}
const GUID kContainerFormat = {
    0xb309519a, 0x2bb0, 0x4f95, {0x89, 0x2d, 0x45, 0x1b, 0x68, 0xeb, 0x4c, 0x34}};
// {16ED3B98-15E4-4DAF-B6E3-A6F13B09B7C4}
const GUID kVendor = {0x16ed3b98, 0x15e4, 0x4daf, {0xb6, 0xe3, 0xa6, 0xf1, 0x3b, 0x09, 0xb7, 0xc4}};

const wchar_t kDecoderClsidText[] = L"{97A03B7D-F075-420E-857D-3EC56C6595D5}";
const wchar_t kContainerFormatText[] = L"{B309519A-2BB0-4F95-892D-451B68EB4C34}";
const wchar_t kVendorText[] = L"{16ED3B98-15E4-4DAF-B6E3-A6F13B09B7C4}";

const wchar_t kFriendlyName[] = L"TarnIFF Decoder";
const wchar_t kExtension[] = L".iff";
// The type the GdkPixbuf loader and the shared MIME entry give the same files.
const wchar_t kMimeType[] = L"image/x-tarniff";

}  // namespace tniff_wic

#endif
