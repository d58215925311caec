// The stack of open chunks: the reader steps into and past chunks with it, the writer emits
// chunk headers whose sizes are filled in when the chunk ends. Every chunk ends at a file offset
// that is a multiple of 4. One stack per loaded module; reading and writing share it.
#ifndef TNIFF_IFFIO_CHUNK_STACK_H
#define TNIFF_IFFIO_CHUNK_STACK_H

#include <cstdint>

struct PluginGlobals;

struct ChunkEntry {
    uint32_t id;         // four-character code, first character in the most significant byte
    uint32_t start;      // file offset of the chunk's first header byte
    uint32_t size;       // bytes after the 8-byte header, pad bytes not counted
    uint32_t groupType;  // a "FOR4" group's type; 0 for any other chunk
};

// The deepest nesting the reader and writer reach is 3; the bound guards against files that
// would nest further or operations that stop with chunks still open.
const int32_t kChunkStackCapacity = 32;

struct ChunkStack {
    ChunkEntry entries[kChunkStackCapacity];
    int32_t top;  // index of the innermost open chunk; -1 when empty
};

// Empties the stack. FilterFile, ReadStart and WriteStart begin with it, so an operation that
// stopped with chunks open leaves nothing behind for the next.
void EmptyChunkStack();
// The number of open chunks (for tests and assertions).
int32_t ChunkStackDepth();

// Reads a chunk header at streamPos and pushes it; gives a copy of the entry. A 33rd entry is
// refused with formatCannotRead: nothing is read and an entry of zeros is given.
ChunkEntry OpenChunkForRead(PluginGlobals* globals);
// Pops the innermost chunk and seeks to its aligned end. Closing a "FOR4" group forgives exactly
// eofErr met inside it. An empty stack, or an end past 2^32 - 1, posts formatCannotRead (and
// seeks nowhere), so the reader never moves backwards.
void CloseChunkForRead(PluginGlobals* globals);

// Pushes a chunk and writes its header with a size placeholder (and the group type for "FOR4").
// A 33rd entry is refused with formatCannotRead and nothing is written.
void BeginChunk(PluginGlobals* globals, uint32_t id, uint32_t groupType);
// Pads the innermost chunk to a multiple of 4, writes its size into the header and pops it.
void EndChunk(PluginGlobals* globals);

#endif
