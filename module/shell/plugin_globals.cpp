#include "module/shell/plugin_globals.h"

#include "module/shell/host_suites.h"

static void AttachToCall(PluginGlobals* globals, int16_t* resultWord, FormatRecord* record) {
    globals->resultWord = resultWord;
    *resultWord = noErr;
    globals->formatRecord = record;
}

PluginGlobals* AcquirePluginGlobals(int16_t* resultWord, FormatRecord* record,
                                    HandleProcs* handleProcs, int32_t size, intptr_t* dataWord,
                                    PluginGlobalsInitialiser initialiser) {
    if (*dataWord != 0) {
        Handle held = reinterpret_cast<Handle>(*dataWord);
        PluginGlobals* globals =
            reinterpret_cast<PluginGlobals*>(HandleLock(handleProcs, held, true));
        if (globals == nullptr) return nullptr;
        AttachToCall(globals, resultWord, record);
        return globals;
    }
    Handle created = HandleNew(handleProcs, size);
    if (created == nullptr) return nullptr;
    PluginGlobals* globals = reinterpret_cast<PluginGlobals*>(HandleLock(handleProcs, created, true));
    if (globals == nullptr) {
        HandleDispose(handleProcs, created);
        return nullptr;
    }
    AttachToCall(globals, resultWord, record);
    initialiser(globals);
    *dataWord = reinterpret_cast<intptr_t>(created);
    return globals;
}

void InitPluginGlobals(PluginGlobals* globals) {
    globals->streamPos = 0;
    globals->imageWidth = 0;
    globals->imageHeight = 0;
    globals->headerFlags = 0;
    globals->compression = 0;
    globals->tileCount = 0;
    globals->channelCount = 0;
    globals->scratchId = nullptr;
    globals->scratchPtr = nullptr;
    globals->scratchSize = 0;
}
