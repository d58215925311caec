#include "module/iffio/chunk_stack.h"

#include "hostapi/plugin_interface.h"
#include "module/iffio/byte_stream.h"
#include "module/iffio/iff_format.h"
#include "module/shell/error_report.h"
#include "module/shell/plugin_globals.h"

namespace {
ChunkStack chunkStack = {{}, -1};

bool StackFull() { return chunkStack.top + 1 >= kChunkStackCapacity; }
bool StackEmpty() { return chunkStack.top < 0; }
}  // namespace

void EmptyChunkStack() { chunkStack.top = -1; }

int32_t ChunkStackDepth() { return chunkStack.top + 1; }

ChunkEntry OpenChunkForRead(PluginGlobals* globals) {
    if (StackFull()) {
        PostError(globals->resultWord, formatCannotRead);
        return ChunkEntry{0, 0, 0, 0};
    }
    ChunkEntry& entry = chunkStack.entries[++chunkStack.top];
    entry.start = globals->streamPos;
    entry.id = ReadU32(globals);
    entry.size = ReadU32(globals);
    entry.groupType = entry.id == kIdFOR4 ? ReadU32(globals) : 0;
    return entry;
}

void CloseChunkForRead(PluginGlobals* globals) {
    if (StackEmpty()) {
        PostError(globals->resultWord, formatCannotRead);
        return;
    }
    const ChunkEntry entry = chunkStack.entries[chunkStack.top--];
    // Computed in 64 bits: a size near 2^32 must not wrap the end back before the chunk, or the
    // reader would walk the same chunks again.
    uint64_t end = static_cast<uint64_t>(entry.start) + kChunkHeaderSize + entry.size;
    end = (end + kChunkAlignment - 1) / kChunkAlignment * kChunkAlignment;
    if (end > UINT32_MAX) {
        PostError(globals->resultWord, formatCannotRead);
        return;
    }
    SeekTo(globals, static_cast<uint32_t>(end));
    // A group forgives an end of file met inside it (a file may end before all announced tiles);
    // any other error stands.
    if (entry.id == kIdFOR4 && *globals->resultWord == eofErr) *globals->resultWord = noErr;
}

void BeginChunk(PluginGlobals* globals, uint32_t id, uint32_t groupType) {
    if (StackFull()) {
        PostError(globals->resultWord, formatCannotRead);
        return;
    }
    ChunkEntry& entry = chunkStack.entries[++chunkStack.top];
    entry.start = globals->streamPos;
    entry.id = id;
    entry.size = 0;
    entry.groupType = groupType;
    WriteU32(globals, id);
    WriteU32(globals, 0);  // the size, filled in by EndChunk
    if (id == kIdFOR4) WriteU32(globals, groupType);
}

void EndChunk(PluginGlobals* globals) {
    if (StackEmpty()) {
        PostError(globals->resultWord, formatCannotRead);
        return;
    }
    ChunkEntry& entry = chunkStack.entries[chunkStack.top];
    uint32_t end = globals->streamPos;
    // The size counts everything after the header, a group's type included, and no pad bytes.
    entry.size = end - entry.start - kChunkHeaderSize;
    if (end % kChunkAlignment != 0) {
        static const uint8_t kPadBytes[kChunkAlignment] = {0, 0, 0, 0};
        uint32_t pad = kChunkAlignment - end % kChunkAlignment;
        end += pad;
        WriteBytes(globals, &pad, kPadBytes);  // all pad bytes in one transfer
    }
    SeekTo(globals, entry.start + 4);
    WriteU32(globals, entry.size);
    SeekTo(globals, end);
    --chunkStack.top;
}
