// The host's buffer and handle suites, reached only through these wrappers. Every wrapper tests
// its suite afresh: nothing about the host is remembered between calls. Without a usable handle
// suite, handles are the module's own fallback handles; without a usable buffer suite, every
// buffer request fails with memFullErr.
#ifndef TNIFF_SHELL_HOST_SUITES_H
#define TNIFF_SHELL_HOST_SUITES_H

#include "hostapi/plugin_interface.h"

// Usable: present, of the version this module knows, with enough routines, none of the used ones
// missing. tooNew (optional, never cleared) is set when the suite's version is above ours.
bool BufferSuiteUsable(const BufferProcs* procs, bool* tooNew = nullptr);
bool HandleSuiteUsable(const HandleProcs* procs, bool* tooNew = nullptr);

// Sets *bufferID to 0, then allocates; gives the host's code, memFullErr without a usable suite.
OSErr BufferAllocate(const BufferProcs* procs, int32_t size, BufferID* bufferID);
// Gives the buffer's address, or null (without a usable suite, or when the host refuses).
Ptr BufferLock(const BufferProcs* procs, BufferID bufferID, bool moveHigh);
void BufferUnlock(const BufferProcs* procs, BufferID bufferID);
void BufferFree(const BufferProcs* procs, BufferID bufferID);

// Gives a new handle of size bytes, or null.
Handle HandleNew(const HandleProcs* procs, int32_t size);
// Without a usable suite, disposes only of a handle that carries the fallback tag: a handle the
// host made is never released as if it were the module's.
void HandleDispose(const HandleProcs* procs, Handle handle);
// Gives the address of the handle's block, or null.
Ptr HandleLock(const HandleProcs* procs, Handle handle, bool moveHigh);
void HandleUnlock(const HandleProcs* procs, Handle handle);

#endif
