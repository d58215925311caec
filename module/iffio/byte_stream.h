// The byte stream on the host's open file (dataFork): a position counter of our own, big-endian
// values, and failures turned into host codes in the result word. Every byte of an image file
// passes through here. A transfer moves its whole count, in pieces when the platform needs it.
#ifndef TNIFF_IFFIO_BYTE_STREAM_H
#define TNIFF_IFFIO_BYTE_STREAM_H

#include <cstdint>

struct PluginGlobals;

// Reads *count bytes into destination; *count becomes the bytes delivered and streamPos grows by
// them. A failed call posts readErr and delivers nothing; a short read posts eofErr. Both follow
// the first-error rule: a read never clears an earlier error.
void ReadBytes(PluginGlobals* globals, uint32_t* count, void* destination);

// Writes *count bytes; *count becomes the bytes written. A failed call posts writErr and leaves
// streamPos; a write that moves fewer bytes than asked also posts writErr (first error stands).
void WriteBytes(PluginGlobals* globals, uint32_t* count, const void* source);

// Moves to an absolute offset; posts nothing. streamPos becomes offset.
void SeekTo(PluginGlobals* globals, uint32_t offset);

// Big-endian values. Bytes a short read did not deliver count as 0, so a value read across the
// end of the file can never be a chunk code such as "FOR4".
uint16_t ReadU16(PluginGlobals* globals);
uint32_t ReadU32(PluginGlobals* globals);
void WriteU16(PluginGlobals* globals, uint32_t value);  // the low 16 bits
void WriteU32(PluginGlobals* globals, uint32_t value);
void WriteByte(PluginGlobals* globals, uint32_t value); // the low 8 bits

#endif
