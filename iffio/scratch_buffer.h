// The scratch buffer (scratchId, scratchPtr, scratchSize of the state record): the one growable
// pixel buffer, from the host's buffer suite, held locked, only ever growing; and whole chunk
// payloads read into fresh host buffers.
#ifndef TNIFF_IFFIO_SCRATCH_BUFFER_H
#define TNIFF_IFFIO_SCRATCH_BUFFER_H

#include <cstdint>

#include "hostapi/plugin_interface.h"

struct PluginGlobals;

// Afterwards scratchPtr addresses at least size bytes, or is null when growing failed (the
// allocation's code is posted) or an error was already pending. Growth discards the contents;
// a size not above scratchSize keeps buffer and contents. Sizes above the host's signed 32-bit
// buffer size are refused with formatCannotRead.
void GrowScratch(PluginGlobals* globals, uint32_t size);
// Releases the scratch buffer, if any; the state record then says there is none.
void FreeScratch(PluginGlobals* globals);

// Allocates a host buffer of n bytes, reads n bytes into it and gives its id, unlocked; the
// caller frees it. Gives 0 (reading nothing) when the buffer cannot be had; the code is posted.
// The read's outcome is left in the result word.
BufferID ReadPayloadToBuffer(PluginGlobals* globals, uint32_t n);

#endif
