// The module's own handles, used in place of the host's whenever its handle suite is not usable.
// A fallback handle is the address of a master record: the data block's address, then the tag
// bytes "OTOF". Record and block are movable, zero-filled global memory, locked once when made and
// unlocked only when released, so the block never moves while the handle lives.
#ifndef TNIFF_SHELL_FALLBACK_HANDLE_H
#define TNIFF_SHELL_FALLBACK_HANDLE_H

#include "hostapi/plugin_interface.h"

// Gives a handle to a zero-filled block of size bytes, or null; a failure leaves nothing behind.
Handle FallbackNewHandle(int32_t size);
// Releases the block and the master record; null does nothing.
void FallbackDisposeHandle(Handle handle);
// True when handle is a live fallback handle (a master record of ours with the tag).
bool FallbackHandleHasTag(Handle handle);

#endif
