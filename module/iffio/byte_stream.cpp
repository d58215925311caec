#include "module/iffio/byte_stream.h"

#include "module/platform/platform.h"
#include "module/shell/error_report.h"
#include "module/shell/plugin_globals.h"

void ReadBytes(PluginGlobals* globals, uint32_t* count, void* destination) {
    const uint32_t wanted = *count;
    const uint32_t delivered =
        PlatformFileRead(globals->formatRecord->dataFork, destination, wanted);
    if (delivered == kPlatformFileError) {
        *count = 0;
        PostError(globals->resultWord, readErr);
        return;
    }
    *count = delivered;
    if (delivered < wanted) PostError(globals->resultWord, eofErr);
    globals->streamPos += delivered;
}

void WriteBytes(PluginGlobals* globals, uint32_t* count, const void* source) {
    const uint32_t asked = *count;
    const uint32_t written = PlatformFileWrite(globals->formatRecord->dataFork, source, asked);
    if (written == kPlatformFileError) {
        *count = 0;
        PostError(globals->resultWord, writErr);
        return;
    }
    *count = written;
    // A device that takes fewer bytes than asked without failing (a full disk) must not let the
    // save end with success.
    if (written < asked) PostError(globals->resultWord, writErr);
    globals->streamPos += written;
}

void SeekTo(PluginGlobals* globals, uint32_t offset) {
    PlatformFileSeek(globals->formatRecord->dataFork, offset);
    globals->streamPos = offset;
}

uint16_t ReadU16(PluginGlobals* globals) {
    uint8_t bytes[2] = {0, 0};  // what a short read does not deliver stays 0
    uint32_t count = sizeof bytes;
    ReadBytes(globals, &count, bytes);
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t ReadU32(PluginGlobals* globals) {
    uint8_t bytes[4] = {0, 0, 0, 0};  // what a short read does not deliver stays 0
    uint32_t count = sizeof bytes;
    ReadBytes(globals, &count, bytes);
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

void WriteU16(PluginGlobals* globals, uint32_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    uint32_t count = sizeof bytes;
    WriteBytes(globals, &count, bytes);
}

void WriteU32(PluginGlobals* globals, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    uint32_t count = sizeof bytes;
    WriteBytes(globals, &count, bytes);
}

void WriteByte(PluginGlobals* globals, uint32_t value) {
    const uint8_t byte = static_cast<uint8_t>(value);
    uint32_t count = 1;
    WriteBytes(globals, &count, &byte);
}
