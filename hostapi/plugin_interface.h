// The host's plug-in interface for format modules, as this module uses it.
//
// Declarations only. A build against another definition of the same interface replaces this
// folder and nothing else. Every word the host keeps for us (the data word, handles, buffer ids)
// is pointer-sized, so the same code serves 32- and 64-bit hosts.
#ifndef TNIFF_HOSTAPI_PLUGIN_INTERFACE_H
#define TNIFF_HOSTAPI_PLUGIN_INTERFACE_H

#include <cstdint>

// ---- Basic host types -------------------------------------------------------------------------

typedef int16_t OSErr;        // host error code, 0 = success
typedef uint8_t Boolean;      // host boolean: 0 false, anything else true
typedef char* Ptr;            // address of a block of bytes
typedef char** Handle;        // address of a master pointer that holds the block's address
typedef int32_t Fixed;        // 16.16 fixed point
typedef intptr_t FileHandle;  // the host's open file (a platform file handle)

struct BufferOpaque;
typedef BufferOpaque* BufferID;  // host buffer id; 0 (null) = no buffer

struct VPoint16 {
    int16_t v;  // rows
    int16_t h;  // columns
};

struct Rect16 {  // bottom and right are exclusive
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

// ---- Error codes --------------------------------------------------------------------------------

enum : OSErr {
    noErr = 0,
    readErr = -19,
    writErr = -20,
    eofErr = -39,
    memFullErr = -108,
    userCanceledErr = -128,
    formatBadParameters = -30500,
    formatCannotRead = -30501,
};

// ---- Selectors ----------------------------------------------------------------------------------

enum : int16_t {
    formatSelectorAbout = 0,
    formatSelectorReadPrepare = 1,
    formatSelectorReadStart = 2,
    formatSelectorReadContinue = 3,
    formatSelectorReadFinish = 4,
    formatSelectorOptionsPrepare = 5,
    formatSelectorOptionsStart = 6,
    formatSelectorOptionsContinue = 7,
    formatSelectorOptionsFinish = 8,
    formatSelectorEstimatePrepare = 9,
    formatSelectorEstimateStart = 10,
    formatSelectorEstimateContinue = 11,
    formatSelectorEstimateFinish = 12,
    formatSelectorWritePrepare = 13,
    formatSelectorWriteStart = 14,
    formatSelectorWriteContinue = 15,
    formatSelectorWriteFinish = 16,
    formatSelectorFilterFile = 17,
};

// ---- Image modes (the host's mode order) --------------------------------------------------------

enum : int16_t {
    plugInModeBitmap = 0,
    plugInModeGrayScale = 1,
    plugInModeIndexedColor = 2,
    plugInModeRGBColor = 3,
    plugInModeCMYKColor = 4,
    plugInModeHSLColor = 5,
    plugInModeHSBColor = 6,
    plugInModeMultichannel = 7,
    plugInModeDuotone = 8,
    plugInModeLabColor = 9,
    plugInModeGray16 = 10,
    plugInModeRGB48 = 11,
};

// ---- Buffer suite -------------------------------------------------------------------------------

typedef OSErr (*AllocateBufferProc)(int32_t size, BufferID* bufferID);
typedef Ptr (*LockBufferProc)(BufferID bufferID, Boolean moveHigh);
typedef void (*UnlockBufferProc)(BufferID bufferID);
typedef void (*FreeBufferProc)(BufferID bufferID);
typedef int32_t (*BufferSpaceProc)(void);

enum : int16_t { kCurrentBufferProcsVersion = 2, kCurrentBufferProcsCount = 5 };

struct BufferProcs {
    int16_t bufferProcsVersion;
    int16_t numBufferProcs;
    AllocateBufferProc allocateProc;
    LockBufferProc lockProc;
    UnlockBufferProc unlockProc;
    FreeBufferProc freeProc;
    BufferSpaceProc spaceProc;
};

// ---- Handle suite -------------------------------------------------------------------------------

typedef Handle (*NewPIHandleProc)(int32_t size);
typedef void (*DisposePIHandleProc)(Handle h);
typedef int32_t (*GetPIHandleSizeProc)(Handle h);
typedef OSErr (*SetPIHandleSizeProc)(Handle h, int32_t newSize);
typedef Ptr (*LockPIHandleProc)(Handle h, Boolean moveHigh);
typedef void (*UnlockPIHandleProc)(Handle h);
typedef void (*RecoverSpaceProc)(int32_t size);

enum : int16_t { kCurrentHandleProcsVersion = 1, kCurrentHandleProcsCount = 7 };

struct HandleProcs {
    int16_t handleProcsVersion;
    int16_t numHandleProcs;
    NewPIHandleProc newProc;
    DisposePIHandleProc disposeProc;
    GetPIHandleSizeProc getSizeProc;
    SetPIHandleSizeProc setSizeProc;
    LockPIHandleProc lockProc;
    UnlockPIHandleProc unlockProc;
    RecoverSpaceProc recoverSpaceProc;
};

// ---- Callbacks of the format record -------------------------------------------------------------

typedef OSErr (*AdvanceStateProc)(void);
typedef void (*ProgressProc)(int32_t done, int32_t total);

// ---- The format record (the members a format module uses) ---------------------------------------

struct FormatRecord {
    int32_t maxData;
    int32_t minDataBytes;
    int32_t maxDataBytes;
    FileHandle dataFork;
    ProgressProc progressProc;
    int16_t imageMode;
    VPoint16 imageSize;
    int16_t depth;
    int16_t planes;
    Fixed imageHRes;
    Fixed imageVRes;
    void* data;
    Rect16 theRect;
    int16_t loPlane;
    int16_t hiPlane;
    int16_t colBytes;
    int32_t rowBytes;
    int32_t planeBytes;
    AdvanceStateProc advanceState;
    Handle imageRsrcData;
    int32_t imageRsrcSize;
    BufferProcs* bufferProcs;
    HandleProcs* handleProcs;
};

// ---- The About selector's record ----------------------------------------------------------------

struct PlatformData {
    intptr_t hwnd;  // the host's main window
};

struct AboutRecord {
    void* serviceProcs;
    PlatformData* platformData;
};

// ---- The module's one export --------------------------------------------------------------------

// record: an AboutRecord for formatSelectorAbout, a FormatRecord for every other selector.
// data: the word the host keeps for the module between calls. result: the call's outcome.
typedef void (*PluginEntryProc)(int16_t selector, void* record, intptr_t* data, int16_t* result);

#endif
