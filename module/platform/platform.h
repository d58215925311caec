// The operating-system calls the module makes, and nothing else.
//
// On Windows these are the real calls (_lread, _lwrite, _llseek, GlobalAlloc and its kin,
// LoadStringA, MessageBoxA, DialogBoxParamA, EndDialog, DllMain). Elsewhere a small portable
// implementation stands in: POSIX file descriptors as file handles, calloc'd blocks that never
// move, a string table compiled in from module/resources/alert_texts.inc, and a message box and dialog
// that go to a replaceable sink (see platform/portable_hooks.h). No other module file includes
// an operating-system header.
#ifndef TNIFF_PLATFORM_PLATFORM_H
#define TNIFF_PLATFORM_PLATFORM_H

#include <cstdint>

#if defined(_WIN32)
#define PLATFORM_CALLBACK __stdcall
#else
#define PLATFORM_CALLBACK
#endif

typedef void* PlatformInstance;     // the loaded module (HINSTANCE on Windows)
typedef void* PlatformMemory;       // a movable global memory block (HGLOBAL on Windows)
typedef intptr_t PlatformWindow;    // a window (HWND on Windows); 0 = none

// ---- Files: the host's open file handle ---------------------------------------------------------

// The answer of a failed transfer (HFILE_ERROR).
const uint32_t kPlatformFileError = 0xFFFFFFFFu;

// Reads up to count bytes; gives the number delivered (fewer only at the end of the file), or
// kPlatformFileError when the call fails, in which case nothing counts as delivered.
uint32_t PlatformFileRead(intptr_t file, void* destination, uint32_t count);
// Writes count bytes; gives the number written, or kPlatformFileError when the call fails.
uint32_t PlatformFileWrite(intptr_t file, const void* source, uint32_t count);
// Moves to an absolute offset from the start of the file; gives the new offset, or
// kPlatformFileError.
uint32_t PlatformFileSeek(intptr_t file, uint32_t offset);

// ---- Movable, zero-filled global memory ---------------------------------------------------------

PlatformMemory PlatformGlobalAlloc(uint32_t size);            // 0 when it cannot be had
void* PlatformGlobalLock(PlatformMemory memory);              // null on failure
void PlatformGlobalUnlock(PlatformMemory memory);
void PlatformGlobalFree(PlatformMemory memory);
PlatformMemory PlatformGlobalHandle(const void* lockedAddress);  // the block an address belongs to

// ---- Resources and user interface ---------------------------------------------------------------

// Copies string id of the module's string table as a NUL-terminated 8-bit text into buffer
// (at most bufferSize - 1 characters); gives the count copied, 0 when there is no such string.
int PlatformLoadString(PlatformInstance instance, uint32_t id, char* buffer, int bufferSize);

enum : uint32_t {
    kPlatformMessageOk = 0x0000u,           // MB_OK
    kPlatformMessageExclamation = 0x0030u,  // MB_ICONEXCLAMATION
};

// A modal message box; caption null gives the platform's default. Gives the button pressed.
int PlatformMessageBox(PlatformWindow owner, const char* text, const char* caption, uint32_t style);

enum : uint32_t {
    kPlatformMessageInitDialog = 0x0110u,  // WM_INITDIALOG
    kPlatformMessageCommand = 0x0111u,     // WM_COMMAND
};

typedef intptr_t(PLATFORM_CALLBACK* PlatformDialogProc)(PlatformWindow dialog, uint32_t message,
                                                        uintptr_t wordParam, intptr_t longParam);

// Runs dialog resource dialogId of the module as a modal dialog owned by owner. Gives the result
// that the procedure passed to PlatformEndDialog, or -1 when the dialog could not be shown.
intptr_t PlatformDialogBox(PlatformInstance instance, int dialogId, PlatformWindow owner,
                           PlatformDialogProc procedure, intptr_t initParam);
void PlatformEndDialog(PlatformWindow dialog, intptr_t result);

// ---- Load entry ---------------------------------------------------------------------------------

enum : uint32_t {
    kPlatformProcessDetach = 0,
    kPlatformProcessAttach = 1,
};

// Supplied by the module (shell/): called by the platform's library entry on every load event.
// Gives 1 for success.
extern "C" int ModuleLoadEntry(PlatformInstance instance, uint32_t reason);

#endif
