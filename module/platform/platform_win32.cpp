// The Windows implementation of the module's operating-system calls: the real file, memory,
// resource and user-interface calls, and the library entry that Windows calls on load.
//
// File handles arrive from the host as intptr_t words; the 16-bit-era file calls take an HFILE
// (an int) and a UINT count, which is what the host's open file is on this platform.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "module/platform/platform.h"

static_assert(HFILE_ERROR == -1, "a failed file call answers -1");
static_assert(static_cast<uint32_t>(HFILE_ERROR) == kPlatformFileError,
              "the platform's file error word is HFILE_ERROR");
static_assert(kPlatformMessageOk == MB_OK && kPlatformMessageExclamation == MB_ICONEXCLAMATION,
              "message box styles pass through unchanged");
static_assert(kPlatformMessageInitDialog == WM_INITDIALOG &&
                  kPlatformMessageCommand == WM_COMMAND,
              "dialog messages pass through unchanged");
static_assert(kPlatformProcessAttach == DLL_PROCESS_ATTACH &&
                  kPlatformProcessDetach == DLL_PROCESS_DETACH,
              "load reasons pass through unchanged");
static_assert(sizeof(PlatformWindow) == sizeof(HWND), "a window fits the platform's window word");

namespace {

HFILE FileOf(intptr_t file) { return static_cast<HFILE>(file); }

}  // namespace

// ---- Files --------------------------------------------------------------------------------------

uint32_t PlatformFileRead(intptr_t file, void* destination, uint32_t count) {
    // _lread answers the count read as a UINT, HFILE_ERROR (all bits set) on failure: both are
    // the platform contract's words already.
    return static_cast<uint32_t>(_lread(FileOf(file), destination, static_cast<UINT>(count)));
}

uint32_t PlatformFileWrite(intptr_t file, const void* source, uint32_t count) {
    // _lwrite takes a non-const LPCCH in older headers; it never writes through it.
    return static_cast<uint32_t>(
        _lwrite(FileOf(file), static_cast<LPCCH>(source), static_cast<UINT>(count)));
}

uint32_t PlatformFileSeek(intptr_t file, uint32_t offset) {
    // _llseek takes a signed 32-bit offset; offsets of 2 GiB and more are out of its reach and
    // fail rather than wrap to a negative seek.
    if (offset > 0x7FFFFFFFu) return kPlatformFileError;
    LONG answer = _llseek(FileOf(file), static_cast<LONG>(offset), FILE_BEGIN);
    return answer == HFILE_ERROR ? kPlatformFileError : static_cast<uint32_t>(answer);
}

// ---- Movable global memory ----------------------------------------------------------------------

PlatformMemory PlatformGlobalAlloc(uint32_t size) {
    return static_cast<PlatformMemory>(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size));
}

void* PlatformGlobalLock(PlatformMemory memory) {
    return GlobalLock(static_cast<HGLOBAL>(memory));
}

void PlatformGlobalUnlock(PlatformMemory memory) {
    // The answer (still locked or not) and the last-error code of a final unlock tell the
    // module nothing it uses.
    GlobalUnlock(static_cast<HGLOBAL>(memory));
}

void PlatformGlobalFree(PlatformMemory memory) { GlobalFree(static_cast<HGLOBAL>(memory)); }

PlatformMemory PlatformGlobalHandle(const void* lockedAddress) {
    return static_cast<PlatformMemory>(GlobalHandle(lockedAddress));
}

// ---- Resources and user interface ---------------------------------------------------------------

int PlatformLoadString(PlatformInstance instance, uint32_t id, char* buffer, int bufferSize) {
    if (buffer == nullptr || bufferSize <= 0) return 0;
    buffer[0] = 0;
    // LoadStringA converts the table's 16-bit characters to the ANSI code page and always
    // terminates what it copies.
    return LoadStringA(static_cast<HINSTANCE>(instance), static_cast<UINT>(id), buffer, bufferSize);
}

int PlatformMessageBox(PlatformWindow owner, const char* text, const char* caption,
                       uint32_t style) {
    return MessageBoxA(reinterpret_cast<HWND>(owner), text, caption, static_cast<UINT>(style));
}

namespace {

// The module's dialog procedure has the platform's signature in portable types, Windows calls a
// DLGPROC; one forwarder translates, so no cast between function types is needed. Each dialog
// keeps its procedure in a window property from WM_INITDIALOG on; the few messages a dialog gets
// before that (WM_SETFONT among them) go to the procedure of the dialog being created.
const char kDialogProcedureProperty[] = "TnIffFormat.DialogProcedure";
PlatformDialogProc gProcedureBeingCreated = nullptr;

INT_PTR CALLBACK ForwardDialogMessage(HWND dialog, UINT message, WPARAM wordParam,
                                      LPARAM longParam) {
    PlatformDialogProc procedure =
        reinterpret_cast<PlatformDialogProc>(GetPropA(dialog, kDialogProcedureProperty));
    if (procedure == nullptr) procedure = gProcedureBeingCreated;
    if (message == WM_INITDIALOG && procedure != nullptr) {
        SetPropA(dialog, kDialogProcedureProperty, reinterpret_cast<HANDLE>(procedure));
    }
    if (message == WM_NCDESTROY) RemovePropA(dialog, kDialogProcedureProperty);
    if (procedure == nullptr) return FALSE;
    return static_cast<INT_PTR>(procedure(reinterpret_cast<PlatformWindow>(dialog),
                                          static_cast<uint32_t>(message),
                                          static_cast<uintptr_t>(wordParam),
                                          static_cast<intptr_t>(longParam)));
}

}  // namespace

intptr_t PlatformDialogBox(PlatformInstance instance, int dialogId, PlatformWindow owner,
                           PlatformDialogProc procedure, intptr_t initParam) {
    if (procedure == nullptr) return -1;
    PlatformDialogProc outer = gProcedureBeingCreated;
    gProcedureBeingCreated = procedure;
    INT_PTR answer = DialogBoxParamA(static_cast<HINSTANCE>(instance),
                                     MAKEINTRESOURCEA(dialogId), reinterpret_cast<HWND>(owner),
                                     ForwardDialogMessage, static_cast<LPARAM>(initParam));
    gProcedureBeingCreated = outer;
    return static_cast<intptr_t>(answer);
}

void PlatformEndDialog(PlatformWindow dialog, intptr_t result) {
    EndDialog(reinterpret_cast<HWND>(dialog), static_cast<INT_PTR>(result));
}

// ---- Library entry ------------------------------------------------------------------------------

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    // Attach and detach carry the same numbers on both sides; thread events pass through as
    // they are, and the module answers every one.
    return ModuleLoadEntry(static_cast<PlatformInstance>(instance), static_cast<uint32_t>(reason))
               ? TRUE
               : FALSE;
}
