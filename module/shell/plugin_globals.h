// The module's state record, kept between calls in a handle that the host holds in the data word.
#ifndef TNIFF_SHELL_PLUGIN_GLOBALS_H
#define TNIFF_SHELL_PLUGIN_GLOBALS_H

#include "hostapi/plugin_interface.h"

struct PluginGlobals {
    int16_t* resultWord;         // the current call's result word
    FormatRecord* formatRecord;  // the current call's record
    // Kept from one call to the next:
    uint32_t streamPos;          // bytes from the start of the file to the next transfer
    uint32_t imageWidth;         // from the file's header
    uint32_t imageHeight;
    uint32_t headerFlags;
    uint32_t compression;        // as read; nothing consults it
    uint16_t tileCount;          // tiles of each kind the header announces
    uint16_t channelCount;       // colour bytes per pixel of a colour tile: 0, 1, 3 or 4
    int16_t headerAuxC;          // as read; nothing consults it
    BufferID scratchId;          // the scratch buffer, 0 when there is none
    uint8_t* scratchPtr;         // its locked address, null when there is none
    uint32_t scratchSize;        // its capacity in bytes
};

typedef void (*PluginGlobalsInitialiser)(PluginGlobals* globals);

// Locks the state record held in *dataWord, creating and initialising it (and storing its handle
// in *dataWord) when the word is 0. On success the record points at this call's result word and
// record, and the result word is 0. Gives null when the handle cannot be made or locked; a new
// handle that cannot be locked is disposed of and *dataWord stays 0.
PluginGlobals* AcquirePluginGlobals(int16_t* resultWord, FormatRecord* record,
                                    HandleProcs* handleProcs, int32_t size, intptr_t* dataWord,
                                    PluginGlobalsInitialiser initialiser);

// The values of a new state record: everything from streamPos on is 0 or none, but headerAuxC,
// which keeps whatever the new handle holds.
void InitPluginGlobals(PluginGlobals* globals);

#endif
