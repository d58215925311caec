// The portable stand-in for the operating-system calls the module makes, for every platform but
// Windows: POSIX file descriptors as file handles, calloc'd blocks that never move, the string
// table compiled in from the one list of alert texts, and a message box and dialog that go to a
// replaceable sink.
#include "module/platform/platform.h"
#include "module/platform/portable_hooks.h"

#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// ---- Files --------------------------------------------------------------------------------------

// One platform call moves at most this many bytes; larger counts loop. Keeps every count inside
// the signed size that read() and write() report.
static const uint32_t kLargestTransfer = 1u << 30;

uint32_t PlatformPosixFileRead(intptr_t file, void* destination, uint32_t count) {
    uint8_t* to = static_cast<uint8_t*>(destination);
    uint32_t delivered = 0;
    while (delivered < count) {
        uint32_t piece = count - delivered;
        if (piece > kLargestTransfer) piece = kLargestTransfer;
        ssize_t got = read(static_cast<int>(file), to + delivered, piece);
        if (got < 0) {
            if (errno == EINTR) continue;
            return kPlatformFileError;
        }
        if (got == 0) break;  // end of file
        delivered += static_cast<uint32_t>(got);
    }
    return delivered;
}

uint32_t PlatformPosixFileWrite(intptr_t file, const void* source, uint32_t count) {
    const uint8_t* from = static_cast<const uint8_t*>(source);
    uint32_t written = 0;
    while (written < count) {
        uint32_t piece = count - written;
        if (piece > kLargestTransfer) piece = kLargestTransfer;
        ssize_t put = write(static_cast<int>(file), from + written, piece);
        if (put < 0) {
            if (errno == EINTR) continue;
            return kPlatformFileError;
        }
        if (put == 0) break;  // the device takes no more
        written += static_cast<uint32_t>(put);
    }
    return written;
}

uint32_t PlatformPosixFileSeek(intptr_t file, uint32_t offset) {
    off_t at = lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET);
    if (at < 0) return kPlatformFileError;
    return static_cast<uint32_t>(at);
}

static PlatformFileCalls gFileCalls;
static bool gFileCallsReplaced = false;

void PlatformSetFileCalls(const PlatformFileCalls* calls) {
    gFileCallsReplaced = calls != nullptr;
    if (calls != nullptr) gFileCalls = *calls;
}

uint32_t PlatformFileRead(intptr_t file, void* destination, uint32_t count) {
    if (gFileCallsReplaced) return gFileCalls.read(gFileCalls.context, file, destination, count);
    return PlatformPosixFileRead(file, destination, count);
}

uint32_t PlatformFileWrite(intptr_t file, const void* source, uint32_t count) {
    if (gFileCallsReplaced) return gFileCalls.write(gFileCalls.context, file, source, count);
    return PlatformPosixFileWrite(file, source, count);
}

uint32_t PlatformFileSeek(intptr_t file, uint32_t offset) {
    if (gFileCallsReplaced) return gFileCalls.seek(gFileCalls.context, file, offset);
    return PlatformPosixFileSeek(file, offset);
}

// ---- Global memory ------------------------------------------------------------------------------
// A block is one calloc'd allocation: a header, then the caller's bytes. The block never moves,
// so locking only counts. Live blocks are chained, so that PlatformGlobalHandle can tell a block's
// address from any other address without reading memory that is not ours.

namespace {
struct GlobalBlock {
    GlobalBlock* previous;
    GlobalBlock* next;
    uint32_t lockCount;
    uint32_t size;
    alignas(16) unsigned char bytes[1];
};

const size_t kHeaderSize = offsetof(GlobalBlock, bytes);
GlobalBlock* gBlocks = nullptr;
int gBlocksInUse = 0;

GlobalBlock* LiveBlock(const void* memory) {
    for (GlobalBlock* block = gBlocks; block != nullptr; block = block->next) {
        if (block == memory) return block;
    }
    return nullptr;
}
}  // namespace

namespace {
int gGlobalAllocsUntilFailure = 0;
}  // namespace

void PlatformFailGlobalAlloc(int nth) { gGlobalAllocsUntilFailure = nth; }

PlatformMemory PlatformGlobalAlloc(uint32_t size) {
    if (gGlobalAllocsUntilFailure > 0 && --gGlobalAllocsUntilFailure == 0) return nullptr;
    void* raw = calloc(1, kHeaderSize + (size == 0 ? 1 : static_cast<size_t>(size)));
    if (raw == nullptr) return nullptr;
    GlobalBlock* block = static_cast<GlobalBlock*>(raw);
    block->size = size;
    block->next = gBlocks;
    if (gBlocks != nullptr) gBlocks->previous = block;
    gBlocks = block;
    ++gBlocksInUse;
    return block;
}

void* PlatformGlobalLock(PlatformMemory memory) {
    GlobalBlock* block = LiveBlock(memory);
    if (block == nullptr) return nullptr;
    ++block->lockCount;
    return block->bytes;
}

void PlatformGlobalUnlock(PlatformMemory memory) {
    GlobalBlock* block = LiveBlock(memory);
    if (block != nullptr && block->lockCount > 0) --block->lockCount;
}

void PlatformGlobalFree(PlatformMemory memory) {
    GlobalBlock* block = LiveBlock(memory);
    if (block == nullptr) return;
    if (block->previous != nullptr) block->previous->next = block->next;
    else gBlocks = block->next;
    if (block->next != nullptr) block->next->previous = block->previous;
    --gBlocksInUse;
    free(block);
}

PlatformMemory PlatformGlobalHandle(const void* lockedAddress) {
    for (GlobalBlock* block = gBlocks; block != nullptr; block = block->next) {
        if (block->bytes == lockedAddress) return block;
    }
    return nullptr;
}

int PlatformGlobalBlocksInUse() { return gBlocksInUse; }

// ---- Strings ------------------------------------------------------------------------------------

namespace {
struct StringEntry {
    uint32_t id;
    const char* text;
};

#define ALERT_TEXT(id, text) {id, text},
const StringEntry kStringTable[] = {
#include "module/resources/alert_texts.inc"
};
#undef ALERT_TEXT
}  // namespace

int PlatformLoadString(PlatformInstance, uint32_t id, char* buffer, int bufferSize) {
    if (buffer == nullptr || bufferSize <= 0) return 0;
    buffer[0] = 0;
    for (const StringEntry& entry : kStringTable) {
        if (entry.id != id) continue;
        size_t length = strlen(entry.text);
        if (length > static_cast<size_t>(bufferSize - 1)) length = static_cast<size_t>(bufferSize - 1);
        memcpy(buffer, entry.text, length);
        buffer[length] = 0;
        return static_cast<int>(length);
    }
    return 0;
}

// ---- Message box and dialog ---------------------------------------------------------------------

namespace {
// The texts are Windows-1252; stderr wants UTF-8. Only the upper half of Latin-1 is widened,
// which covers every text the module shows.
void WriteLatin1AsUtf8(FILE* to, const char* text) {
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
        if (*c < 0x80) {
            fputc(*c, to);
        } else {
            fputc(0xC0 | (*c >> 6), to);
            fputc(0x80 | (*c & 0x3F), to);
        }
    }
}

int DefaultMessageBox(void*, intptr_t, const char* text, const char* caption, uint32_t) {
    fputs(caption != nullptr ? caption : "TarnIFF", stderr);
    fputs(": ", stderr);
    WriteLatin1AsUtf8(stderr, text != nullptr ? text : "");
    fputc('\n', stderr);
    return 1;  // OK
}

int DefaultDialog(void*, int dialogId, intptr_t) {
    fprintf(stderr, "TarnIFF: dialog %d shown and closed with OK\n", dialogId);
    return 1;  // OK
}

const PlatformUserInterfaceSink kDefaultSink = {nullptr, DefaultMessageBox, DefaultDialog};
PlatformUserInterfaceSink gSink = kDefaultSink;

// The one dialog that may be running; PlatformEndDialog records its result here.
struct RunningDialog {
    bool ended;
    intptr_t result;
};
RunningDialog* gRunningDialog = nullptr;

// A window value that stands for the running dialog in the procedure's calls.
const PlatformWindow kDialogWindow = 0x105;
}  // namespace

void PlatformSetUserInterfaceSink(const PlatformUserInterfaceSink* sink) {
    gSink = sink != nullptr ? *sink : kDefaultSink;
}

int PlatformMessageBox(PlatformWindow owner, const char* text, const char* caption, uint32_t style) {
    return gSink.messageBox(gSink.context, owner, text, caption, style);
}

intptr_t PlatformDialogBox(PlatformInstance, int dialogId, PlatformWindow owner,
                           PlatformDialogProc procedure, intptr_t initParam) {
    if (procedure == nullptr || gRunningDialog != nullptr) return -1;
    RunningDialog running = {false, 0};
    gRunningDialog = &running;
    int control = gSink.dialog(gSink.context, dialogId, owner);
    procedure(kDialogWindow, kPlatformMessageInitDialog, 0, initParam);
    if (!running.ended && control != 0) {
        procedure(kDialogWindow, kPlatformMessageCommand, static_cast<uintptr_t>(control) & 0xFFFFu,
                  0);
    }
    gRunningDialog = nullptr;
    return running.ended ? running.result : kPlatformDialogNotEnded;
}

void PlatformEndDialog(PlatformWindow dialog, intptr_t result) {
    if (gRunningDialog == nullptr || dialog != kDialogWindow) return;
    gRunningDialog->ended = true;
    gRunningDialog->result = result;
}

// ---- Load entry ---------------------------------------------------------------------------------
// The library's load entry: the address of this function identifies the loaded module.

__attribute__((constructor)) static void PlatformLibraryLoaded() {
    ModuleLoadEntry(reinterpret_cast<PlatformInstance>(&PlatformLibraryLoaded),
                    kPlatformProcessAttach);
}

__attribute__((destructor)) static void PlatformLibraryUnloaded() {
    ModuleLoadEntry(reinterpret_cast<PlatformInstance>(&PlatformLibraryLoaded),
                    kPlatformProcessDetach);
}
