// The host's plug-in interface for format modules, as this module uses it.
//
// Declarations only. A build against another definition of the same interface replaces this
// folder and nothing else. Every word the host keeps for us (the data word, handles, buffer ids)
// is pointer-sized, so the same code serves 32- and 64-bit hosts.
#ifndef TNIFF_HOSTAPI_PLUGIN_INTERFACE_H
#define TNIFF_HOSTAPI_PLUGIN_INTERFACE_H

#include <cstddef>
#include <cstdint>

// Every routine the host hands over, and the module's export, use the C calling convention; on
// 32-bit Windows that is stated, as a compiler there may be told to default to another one.
#if defined(_WIN32) && !defined(_WIN64)
#define HOSTAPI_CDECL __cdecl
#else
#define HOSTAPI_CDECL
#endif

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

typedef OSErr (HOSTAPI_CDECL* AllocateBufferProc)(int32_t size, BufferID* bufferID);
typedef Ptr (HOSTAPI_CDECL* LockBufferProc)(BufferID bufferID, Boolean moveHigh);
typedef void (HOSTAPI_CDECL* UnlockBufferProc)(BufferID bufferID);
typedef void (HOSTAPI_CDECL* FreeBufferProc)(BufferID bufferID);
typedef int32_t (HOSTAPI_CDECL* BufferSpaceProc)(void);

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

typedef Handle (HOSTAPI_CDECL* NewPIHandleProc)(int32_t size);
typedef void (HOSTAPI_CDECL* DisposePIHandleProc)(Handle h);
typedef int32_t (HOSTAPI_CDECL* GetPIHandleSizeProc)(Handle h);
typedef OSErr (HOSTAPI_CDECL* SetPIHandleSizeProc)(Handle h, int32_t newSize);
typedef Ptr (HOSTAPI_CDECL* LockPIHandleProc)(Handle h, Boolean moveHigh);
typedef void (HOSTAPI_CDECL* UnlockPIHandleProc)(Handle h);
typedef void (HOSTAPI_CDECL* RecoverSpaceProc)(int32_t size);

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

typedef OSErr (HOSTAPI_CDECL* AdvanceStateProc)(void);
typedef void (HOSTAPI_CDECL* ProgressProc)(int32_t done, int32_t total);
typedef Boolean (HOSTAPI_CDECL* TestAbortProc)(void);
// Host routines the module never calls: only their size and place matter here.
typedef void (HOSTAPI_CDECL* UnusedHostProc)(void);

// ---- The format record --------------------------------------------------------------------------
// The host's layout, from its first member up to advanceState, the last one the module uses (the
// host's record goes on after it; the module reads nothing there). The host packs this record to
// 4 bytes on 32-bit and 64-bit targets alike, so on 64-bit ones pointers sit at 4-byte
// boundaries. No member is a `long` or otherwise platform-sized but for the pointers, so under
// the same packing Linux lays it out as Windows does for the same pointer size.

#pragma pack(push, 4)
struct FormatRecord {
    int32_t serialNumber;
    TestAbortProc abortProc;
    ProgressProc progressProc;
    int32_t maxData;
    int32_t minDataBytes;
    int32_t maxDataBytes;
    int32_t minRsrcBytes;
    int32_t maxRsrcBytes;
    FileHandle dataFork;
    intptr_t rsrcFork;
    void* fileSpec;
    int16_t imageMode;
    VPoint16 imageSize;
    int16_t depth;
    int16_t planes;
    Fixed imageHRes;
    Fixed imageVRes;
    uint8_t redLUT[256];
    uint8_t greenLUT[256];
    uint8_t blueLUT[256];
    void* data;
    Rect16 theRect;
    int16_t loPlane;
    int16_t hiPlane;
    int16_t colBytes;
    int32_t rowBytes;
    int32_t planeBytes;
    int16_t planeMap[16];
    Boolean canTranspose;
    Boolean needTranspose;
    uint32_t hostSig;
    UnusedHostProc hostProc;
    int16_t hostModes;
    Handle revertInfo;
    UnusedHostProc hostNewHdl;
    UnusedHostProc hostDisposeHdl;
    Handle imageRsrcData;
    int32_t imageRsrcSize;
    Fixed monitor[10];
    void* platformData;
    BufferProcs* bufferProcs;
    void* resourceProcs;
    UnusedHostProc processEvent;
    UnusedHostProc displayPixels;
    HandleProcs* handleProcs;
    uint32_t fileType;
    UnusedHostProc colorServices;
    AdvanceStateProc advanceState;
};
#pragma pack(pop)

// Where the host puts every member the module uses, and where advanceState ends, for 4-byte and
// 8-byte pointers: a build that lays the record out otherwise does not compile.
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "pointers of 4 or 8 bytes");
#define HOSTAPI_AT(member, at32, at64)                                                      \
    static_assert(offsetof(FormatRecord, member) == (sizeof(void*) == 4 ? (at32) : (at64)), \
                  "FormatRecord::" #member " is not where the host puts it")
HOSTAPI_AT(progressProc, 8, 12);
HOSTAPI_AT(maxData, 12, 20);
HOSTAPI_AT(minDataBytes, 16, 24);
HOSTAPI_AT(maxDataBytes, 20, 28);
HOSTAPI_AT(dataFork, 32, 40);
HOSTAPI_AT(imageMode, 44, 64);
HOSTAPI_AT(imageSize, 46, 66);
HOSTAPI_AT(depth, 50, 70);
HOSTAPI_AT(planes, 52, 72);
HOSTAPI_AT(imageHRes, 56, 76);
HOSTAPI_AT(imageVRes, 60, 80);
HOSTAPI_AT(data, 832, 852);
HOSTAPI_AT(theRect, 836, 860);
HOSTAPI_AT(loPlane, 844, 868);
HOSTAPI_AT(hiPlane, 846, 870);
HOSTAPI_AT(colBytes, 848, 872);
HOSTAPI_AT(rowBytes, 852, 876);
HOSTAPI_AT(planeBytes, 856, 880);
HOSTAPI_AT(imageRsrcData, 920, 960);
HOSTAPI_AT(imageRsrcSize, 924, 968);
HOSTAPI_AT(bufferProcs, 972, 1020);
HOSTAPI_AT(handleProcs, 988, 1052);
HOSTAPI_AT(advanceState, 1000, 1072);
#undef HOSTAPI_AT
static_assert(sizeof(FormatRecord) == (sizeof(void*) == 4 ? 1004 : 1080),
              "FormatRecord does not end where the host's advanceState ends");
static_assert(offsetof(VPoint16, h) == 2 && offsetof(Rect16, right) == 6 && sizeof(Rect16) == 8,
              "points and rectangles of 16-bit members");

// ---- The About selector's record ----------------------------------------------------------------

struct PlatformData {
    intptr_t hwnd;  // the host's main window
};

struct AboutRecord {  // natural alignment
    PlatformData* platformData;
    void* sSPBasic;  // the host's service suites; the module uses none
    void* plugInRef;
    uint8_t reserved[244];
};

static_assert(offsetof(AboutRecord, platformData) == 0 && offsetof(PlatformData, hwnd) == 0,
              "AboutRecord::platformData and its hwnd come first");
static_assert(sizeof(AboutRecord) == (sizeof(void*) == 4 ? 256 : 272), "AboutRecord's size");
static_assert(offsetof(BufferProcs, allocateProc) == sizeof(void*) &&
                  offsetof(BufferProcs, spaceProc) == 5 * sizeof(void*),
              "BufferProcs' routines where the host puts them");
static_assert(offsetof(HandleProcs, newProc) == sizeof(void*) &&
                  offsetof(HandleProcs, recoverSpaceProc) == 7 * sizeof(void*),
              "HandleProcs' routines where the host puts them");

// ---- The module's one export --------------------------------------------------------------------

// record: an AboutRecord for formatSelectorAbout, a FormatRecord for every other selector.
// data: the word the host keeps for the module between calls. result: the call's outcome.
typedef void (HOSTAPI_CDECL* PluginEntryProc)(int16_t selector, void* record, intptr_t* data,
                                              int16_t* result);

#endif
