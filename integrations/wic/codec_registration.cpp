#include "integrations/wic/codec_registration.h"

#include <shlobj.h>

#include <string>
#include <vector>

#include "integrations/wic/codec_ids.h"
#include "integrations/wic/codec_module.h"

#ifndef TNIFF_VERSION
#define TNIFF_VERSION "0.0.0"
#endif

namespace tniff_wic {
namespace {

const std::wstring kClasses = L"Software\\Classes\\";
// WIC's category of decoders: every decoder has an Instance entry under it.
const std::wstring kDecoderCategory = L"{7ED96837-96F0-4812-B211-F13C24117ED3}";
// 32bppBGRA, the one format the frame gives.
const wchar_t kBgraFormat[] = L"{6FDDC324-4E03-4BFE-B185-3D77768DC90F}";
// The shell's handler kinds, and the system's image handlers registered for them: the photo
// thumbnail provider and the photo viewer's preview handler, both WIC clients.
const std::wstring kThumbnailHandlerKind = L"{e357fccd-a995-4576-b01f-234630154e96}";
const wchar_t kPhotoThumbnailProvider[] = L"{C7657C4A-9F68-40fa-A4DF-96BC08EB3551}";
const std::wstring kPreviewHandlerKind = L"{8895b1c6-b41f-4c1c-a562-0d564250836f}";
const wchar_t kPhotoPreviewHandler[] = L"{FFE2A43C-56B9-4bf5-9A79-CC6D4285608A}";
const wchar_t kKindMap[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap";
const wchar_t kProgId[] = L"TarnIFF.Image";
const wchar_t kProgIdName[] = L"TarnIFF image";

// "FOR4", any 4 bytes of size, "CIMG".
const BYTE kPattern[12] = {'F', 'O', 'R', '4', 0, 0, 0, 0, 'C', 'I', 'M', 'G'};
const BYTE kMask[12] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};

std::wstring DecoderKey() { return kClasses + L"CLSID\\" + kDecoderClsidText; }
std::wstring InstanceKey() {
    return kClasses + L"CLSID\\" + kDecoderCategory + L"\\Instance\\" + kDecoderClsidText;
}
std::wstring ExtensionKey() { return kClasses + kExtension; }

HRESULT FromStatus(LONG status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

// Sets one value of the key at path (made when missing) in HKLM, in the view given (0: the
// process's own).
HRESULT SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
                 DWORD size, REGSAM view = 0) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE | view, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return FromStatus(status);
    status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return FromStatus(status);
}
HRESULT SetText(const std::wstring& path, const wchar_t* name, const std::wstring& text,
                REGSAM view = 0) {
    return SetValue(path, name, REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), view);
}
HRESULT SetNumber(const std::wstring& path, const wchar_t* name, DWORD number) {
    return SetValue(path, name, REG_DWORD, &number, sizeof number);
}
HRESULT MakeKey(const std::wstring& path) {
    HKEY key = nullptr;
    const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                        KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return FromStatus(status);
}

// The text value, or false when there is none (or it is no text).
bool GetText(const std::wstring& path, const wchar_t* name, std::wstring* text, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    bool found = status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
    if (found) {
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
        status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                  &size);
        found = status == ERROR_SUCCESS;
        if (found) *text = buffer.data();
    }
    RegCloseKey(key);
    return found;
}

bool KeyExists(const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Removes a key (named, so the key itself goes too) and everything under it; one that is not
// there is no failure.
HRESULT RemoveTree(const std::wstring& path) {
    const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(status);
}

// Removes a value where it still holds what the registration wrote.
HRESULT RemoveIfOurs(const std::wstring& path, const wchar_t* name, const std::wstring& ours,
                     REGSAM view = 0) {
    std::wstring text;
    if (!GetText(path, name, &text, view) || _wcsicmp(text.c_str(), ours.c_str()) != 0) return S_OK;
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE | view, &key);
    if (status != ERROR_SUCCESS) return FromStatus(status);
    status = RegDeleteValueW(key, name);
    RegCloseKey(key);
    return FromStatus(status);
}

// Removes a key that holds nothing any more: no value, no subkey.
HRESULT RemoveIfEmpty(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return S_OK;
    }
    DWORD subkeys = 0;
    DWORD values = 0;
    const LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                         &values, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || subkeys != 0 || values != 0) return S_OK;
    return FromStatus(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0));
}

// The registry view of the other width: where a decoder of the other width is registered. On a
// 32-bit system there is one view, so none.
REGSAM OtherView() {
#ifdef _WIN64
    return KEY_WOW64_32KEY;
#else
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) return KEY_WOW64_64KEY;
    return 0;
#endif
}

// Explorer is of the system's width: its kind map is the 64-bit view's on a 64-bit system
// (KEY_WOW64_64KEY is ignored on a 32-bit one).
const REGSAM kExplorerView = KEY_WOW64_64KEY;

class FirstFailure {
public:
    void operator()(HRESULT result) {
        if (SUCCEEDED(result_) && FAILED(result)) result_ = result;
    }
    HRESULT result() const { return result_; }

private:
    HRESULT result_ = S_OK;
};

HRESULT WriteDecoderEntries(const std::wstring& codecPath) {
    const std::wstring decoder = DecoderKey();
    FirstFailure check;
    // A registration made over an older one starts clean: no stale pattern or format is kept.
    check(RemoveTree(decoder));
    check(SetText(decoder, L"FriendlyName", kFriendlyName));
    check(SetText(decoder, L"Author", L"The TarnIFF developers"));
    check(SetText(decoder, L"Vendor", kVendorText));
    check(SetText(decoder, L"ContainerFormat", kContainerFormatText));
    check(SetText(decoder, L"Version", tarniff::WideText(TNIFF_VERSION)));
    check(SetText(decoder, L"FileExtensions", kExtension));
    check(SetText(decoder, L"MimeTypes", kMimeType));
    check(SetNumber(decoder, L"SupportsAnimation", 0));
    check(SetNumber(decoder, L"SupportChromakey", 0));
    check(SetNumber(decoder, L"SupportLossless", 1));
    check(SetNumber(decoder, L"SupportMultiframe", 0));
    check(MakeKey(decoder + L"\\Formats\\" + kBgraFormat));
    const std::wstring pattern = decoder + L"\\Patterns\\0";
    check(SetNumber(pattern, L"Position", 0));
    check(SetNumber(pattern, L"Length", sizeof kPattern));
    check(SetValue(pattern, L"Pattern", REG_BINARY, kPattern, sizeof kPattern));
    check(SetValue(pattern, L"Mask", REG_BINARY, kMask, sizeof kMask));
    const std::wstring server = decoder + L"\\InprocServer32";
    check(SetText(server, nullptr, codecPath));
    check(SetText(server, L"ThreadingModel", L"Both"));
    const std::wstring instance = InstanceKey();
    check(SetText(instance, L"CLSID", kDecoderClsidText));
    check(SetText(instance, L"FriendlyName", kFriendlyName));
    return check.result();
}

HRESULT WriteExplorerEntries() {
    const std::wstring extension = ExtensionKey();
    FirstFailure check;
    // The extension's type is ours only when no other program has given it one.
    std::wstring progId;
    if (!GetText(extension, nullptr, &progId) || progId.empty() ||
        _wcsicmp(progId.c_str(), kProgId) == 0) {
        check(SetText(extension, nullptr, kProgId));
        check(SetText(kClasses + kProgId, nullptr, kProgIdName));
    }
    check(SetText(extension, L"Content Type", kMimeType));
    check(SetText(extension, L"PerceivedType", L"image"));
    check(SetText(extension + L"\\ShellEx\\" + kThumbnailHandlerKind, nullptr,
                  kPhotoThumbnailProvider));
    check(SetText(extension + L"\\ShellEx\\" + kPreviewHandlerKind, nullptr, kPhotoPreviewHandler));
    check(SetText(kKindMap, kExtension, L"picture", kExplorerView));
    return check.result();
}

HRESULT RemoveExplorerEntries() {
    const std::wstring extension = ExtensionKey();
    FirstFailure check;
    std::wstring progId;
    if (GetText(extension, nullptr, &progId) && _wcsicmp(progId.c_str(), kProgId) == 0) {
        check(RemoveIfOurs(extension, nullptr, kProgId));
        check(RemoveTree(kClasses + kProgId));
    }
    check(RemoveIfOurs(extension, L"Content Type", kMimeType));
    check(RemoveIfOurs(extension, L"PerceivedType", L"image"));
    const std::wstring thumbnail = extension + L"\\ShellEx\\" + kThumbnailHandlerKind;
    const std::wstring preview = extension + L"\\ShellEx\\" + kPreviewHandlerKind;
    check(RemoveIfOurs(thumbnail, nullptr, kPhotoThumbnailProvider));
    check(RemoveIfOurs(preview, nullptr, kPhotoPreviewHandler));
    check(RemoveIfEmpty(thumbnail));
    check(RemoveIfEmpty(preview));
    check(RemoveIfEmpty(extension + L"\\ShellEx"));
    check(RemoveIfEmpty(extension));
    check(RemoveIfOurs(kKindMap, kExtension, L"picture", kExplorerView));
    return check.result();
}

}  // namespace

HRESULT RegisterCodec() {
    const std::wstring path = CodecPath();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    FirstFailure check;
    check(WriteDecoderEntries(path));
    check(WriteExplorerEntries());
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return check.result();
}

HRESULT UnregisterCodec() {
    FirstFailure check;
    check(RemoveTree(DecoderKey()));
    check(RemoveTree(InstanceKey()));
    // The extension's entries serve both widths: they go with the last decoder registered.
    const REGSAM other = OtherView();
    if (other == 0 || !KeyExists(DecoderKey() + L"\\InprocServer32", other)) {
        check(RemoveExplorerEntries());
    }
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return check.result();
}

}  // namespace tniff_wic
