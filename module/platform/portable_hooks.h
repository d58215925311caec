// Hooks of the portable platform (not on Windows), for tests and command-line hosts that link
// the module in: where the message box and dialog go, and the file calls, so that a test host
// can see what a user would see and make the Nth read or write fail.
#ifndef TNIFF_PLATFORM_PORTABLE_HOOKS_H
#define TNIFF_PLATFORM_PORTABLE_HOOKS_H

#include <cstdint>

struct PlatformUserInterfaceSink {
    void* context;
    // A message box: gives the button pressed (1 for OK).
    int (*messageBox)(void* context, intptr_t owner, const char* text, const char* caption,
                      uint32_t style);
    // A modal dialog is about to run: gives the control id to press after the dialog has been
    // initialised (1 is OK, 2 is cancel), or 0 to close it without pressing anything.
    int (*dialog)(void* context, int dialogId, intptr_t owner);
};

// Replaces the sink; null restores the default, which writes one line on stderr per message box
// or dialog and presses OK.
void PlatformSetUserInterfaceSink(const PlatformUserInterfaceSink* sink);

struct PlatformFileCalls {
    void* context;
    uint32_t (*read)(void* context, intptr_t file, void* destination, uint32_t count);
    uint32_t (*write)(void* context, intptr_t file, const void* source, uint32_t count);
    uint32_t (*seek)(void* context, intptr_t file, uint32_t offset);
};

// Replaces the file calls (same contract as PlatformFileRead and its kin); null restores the
// plain POSIX calls. PlatformPosixFile* are those plain calls, for a replacement to forward to.
void PlatformSetFileCalls(const PlatformFileCalls* calls);
uint32_t PlatformPosixFileRead(intptr_t file, void* destination, uint32_t count);
uint32_t PlatformPosixFileWrite(intptr_t file, const void* source, uint32_t count);
uint32_t PlatformPosixFileSeek(intptr_t file, uint32_t offset);

// The number of global memory blocks currently allocated (for leak checks).
int PlatformGlobalBlocksInUse();
// Makes the nth PlatformGlobalAlloc from now fail (1 is the next one); 0 makes none fail.
void PlatformFailGlobalAlloc(int nth);

// The stand-in's dialog gives this when its procedure never ended it (on Windows such a dialog
// would stay open); a procedure that ends the dialog gives the result it passed.
const intptr_t kPlatformDialogNotEnded = -1;

#endif
