// The scratch buffer (scratchId, scratchPtr, scratchSize of the state record): the one growable
// pixel buffer, from the host's buffer suite, held locked, only ever growing; and whole chunk
// payloads read into fresh host buffers.
#ifndef TNIFF_IFFIO_SCRATCH_BUFFER_H
#define TNIFF_IFFIO_SCRATCH_BUFFER_H

#include <cstdint>

#include "hostapi/plugin_interface.h"

struct PluginGlobals;

// The largest buffer a host can give: its buffer sizes are signed 32-bit.
const uint32_t kLargestHostBuffer = 0x7FFFFFFFu;

// Afterwards scratchPtr addresses at least size bytes, or is null when growing failed (the
// allocation's code is posted) or an error was already pending. Growth discards the contents;
// a size not above scratchSize keeps buffer and contents. Sizes above the host's signed 32-bit
// buffer size are refused with formatCannotRead.
void GrowScratch(PluginGlobals* globals, uint32_t size);
// Releases the scratch buffer, if any; the state record then says there is none.
void FreeScratch(PluginGlobals* globals);

// Allocates and locks a host buffer of size bytes and gives its address, its id in *id. On
// failure posts the host's code (memFullErr when the host gives a buffer it then cannot lock,
// formatCannotRead for a size above the host's signed 32-bit buffer size), frees what it got,
// and gives null with *id 0. The caller frees the buffer.
Ptr AllocateLockedBuffer(PluginGlobals* globals, uint32_t size, BufferID* id);

// Allocates a host buffer of n bytes, reads n bytes into it and gives its id, unlocked; the
// caller frees it. Gives 0 (reading nothing) when the buffer cannot be had; the code is posted.
// The read's outcome is left in the result word.
BufferID ReadPayloadToBuffer(PluginGlobals* globals, uint32_t n);

#endif
