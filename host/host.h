// Our host of the module's plug-in interface: what an image editor does around ENTRYPOINT, with
// every callback checked. One Host holds an image, an open file, a FormatRecord with its buffer
// and handle suites, advanceState and progressProc, the data word it keeps for the module, logs
// of every hand-over and progress report, and switchable faults.
//
//     tniff::Host host(&ENTRYPOINT);          // or tniff::LoadModule(path, &error)
//     OSErr result = host.Open("in.iff");      // FilterFile, ReadPrepare ... ReadFinish
//     const tniff::Image& image = host.image();
//     result = host.Save(image, "out.iff");    // EstimatePrepare ... WriteFinish
//
// Violations of the interface's contract (leaks, double frees, unknown ids, hand-overs outside
// the image ...) are recorded; whatever is left unclaimed when the Host goes is passed to the
// problem sink, which the tests turn into a failure.
#ifndef TNIFF_HOST_HOST_H
#define TNIFF_HOST_HOST_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/area_average.h"
#include "host/host_file.h"
#include "host/image.h"
#include "host/tracked_memory.h"
#include "host/violation.h"
#include "hostapi/plugin_interface.h"

namespace tniff {

// The code Open and Save give when the host itself cannot open the file (the host's fnfErr).
const OSErr kHostFileNotOpened = -43;

// Which member of a suite to leave null.
enum class BufferRoutine { none, allocate, lock, unlock, free, space };
enum class HandleRoutine { none, newHandle, dispose, getSize, setSize, lock, unlock, recoverSpace };

// How the host presents itself to the module. The defaults are a complete, current host.
struct HostSetup {
    bool bufferSuite = true;  // false: bufferProcs is null
    int16_t bufferProcsVersion = kCurrentBufferProcsVersion;
    int16_t numBufferProcs = kCurrentBufferProcsCount;
    BufferRoutine missingBufferRoutine = BufferRoutine::none;

    bool handleSuite = true;  // false: handleProcs is null
    int16_t handleProcsVersion = kCurrentHandleProcsVersion;
    int16_t numHandleProcs = kCurrentHandleProcsCount;
    HandleRoutine missingHandleRoutine = HandleRoutine::none;

    bool advanceState = true;  // false: advanceState is null
    bool progress = true;      // false: progressProc is null

    int32_t maxData = 64 * 1024 * 1024;         // maxData before ReadPrepare and EstimatePrepare
    int32_t maxBufferBytes = 256 * 1024 * 1024; // a larger buffer request fails with memFullErr
    uint64_t maxImageBytes = 1ull << 30;        // a larger image to open is refused (memFullErr)
    uint8_t newImageFill = 0;                   // what an opened image holds where nothing arrived

    // A reduced open: a side above 0 and shorter than the one ReadStart describes makes the
    // image that many columns (rows) long, each pixel the average of the full image's pixels
    // it stands for (AreaAverage), added up as the blocks are handed over; 0 keeps the side.
    // The hand-overs are checked against the full size described; the image-size limit holds
    // for the reduced image and its sums; newImageFill is not used (unreached pixels count 0).
    int fitWidth = 0;
    int fitHeight = 0;
};

// Faults to inject. Every count is 1-based and counts calls made since ArmFaults; 0 never fires.
struct FaultPlan {
    int64_t failBufferAllocation = 0;  // allocateProc gives memFullErr and a null id
    int64_t failHandleNew = 0;         // newProc gives null
    int64_t failHandleLock = 0;        // the handle suite's lockProc gives null
    int64_t failFileRead = 0;          // the read gives 0xFFFFFFFF and moves nothing
    int64_t shortFileRead = 0;         // the read moves half the bytes asked (rounded down)
    int64_t failFileWrite = 0;         // the write gives 0xFFFFFFFF and moves nothing
    int64_t shortFileWrite = 0;        // the write moves half the bytes asked (rounded down)
    int64_t failAdvanceState = 0;      // advanceState gives advanceStateError without a transfer
    OSErr advanceStateError = userCanceledErr;
    bool persistent = false;           // every call from the Nth on fails, not only the Nth
};

// One advanceState call as the module described the block.
struct HandOver {
    Rect16 rect;
    int16_t loPlane;
    int16_t hiPlane;
    int16_t colBytes;
    int32_t rowBytes;
    int32_t planeBytes;
    bool reading;  // true: block to image (open); false: image to block (save)
    OSErr result;  // what advanceState gave
};

struct ProgressCall {
    int32_t done;
    int32_t total;
};

// Calls counted since the Host was made.
struct CallCounts {
    int64_t entryCalls = 0;
    int64_t bufferAllocations = 0;
    int64_t handleNews = 0;
    int64_t handleLocks = 0;
    int64_t fileReads = 0;   // through the file hooks below
    int64_t fileWrites = 0;
    int64_t fileSeeks = 0;
    int64_t advanceStates = 0;
    int64_t progressCalls = 0;
};

// Receives the violations nobody claimed when a Host goes, and callbacks made outside any call.
typedef void (*ProblemSink)(const std::vector<Violation>& problems);

class Host {
public:
    explicit Host(PluginEntryProc entry, const HostSetup& setup = HostSetup());
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // ---- Whole operations. Each clears the logs first and closes the file at its end.

    // Opens path and runs FilterFile, ReadPrepare, ReadStart, ReadContinue, ReadFinish, stopping
    // at the first non-zero result word; ReadFinish runs whenever ReadStart succeeded. Gives the
    // first non-zero code (memFullErr when the image described is above maxImageBytes; then
    // ReadContinue is skipped), or kHostFileNotOpened. image() holds what was delivered
    // (reduced, under a fit).
    OSErr Open(const std::string& path);
    // Creates or truncates path, describes image in the record and runs the selectors 9 to 16 in
    // order, stopping at the first non-zero result word, which it gives.
    // The image is read in place while the save runs (it is not copied); image() is left as it was.
    OSErr Save(const Image& image, const std::string& path);

    // ---- Single steps

    // Calls ENTRYPOINT once with the record (an AboutRecord for selector 0), the data word and a
    // result word preset to resultBefore; gives the result word. As a host does, it rewinds the
    // open file before FilterFile and ReadStart; before ReadStart it sets imageMode, imageSize,
    // depth, planes, colBytes, planeBytes and the resolutions to -1 and data to null, and after
    // a ReadStart that leaves 0 it makes the image from imageSize.v rows, imageSize.h columns
    // and planes (reduced under a fit, its pixels made when ReadFinish returns); before
    // ReadPrepare and EstimatePrepare it sets maxData. After every call it
    // records leaked buffers and handles and a state handle left locked.
    OSErr Call(int16_t selector, int16_t resultBefore = 0);
    // Opens a file for the steps that follow and puts its handle in dataFork; false on failure.
    bool OpenFile(const std::string& path, HostFile::Mode mode);
    void CloseFile();
    // The image to save: kept and described in the record (imageMode, imageSize, depth 8, planes).
    void SetImage(const Image& image);
    const Image& image() const { return image_; }
    // Hands the image over to the caller without a copy; image() is empty afterwards.
    Image TakeImage() { return std::move(image_); }
    // True when the last ReadStart described an image above maxImageBytes (none was made).
    bool imageRefused() const { return imageRefused_; }

    // The image the last ReadStart asked for, made or refused: the size described, the sides
    // made (reduced under a fit) and the bytes they take, with the sums a reduced open keeps
    // while it reads.
    struct PlannedImage {
        int fullWidth = 0;
        int fullHeight = 0;
        int width = 0;
        int height = 0;
        int planes = 0;
        uint64_t bytes = 0;
        bool reduced = false;
    };
    const PlannedImage& plannedImage() const { return planned_; }

    // ---- What the module sees and keeps

    FormatRecord& record() { return record_; }
    intptr_t& dataWord() { return dataWord_; }
    intptr_t dataWord() const { return dataWord_; }
    int16_t resultWord() const { return result_; }
    BufferProcs& bufferSuite() { return bufferProcs_; }
    HandleProcs& handleSuite() { return handleProcs_; }
    TrackedMemory& memory() { return memory_; }
    const TrackedMemory& memory() const { return memory_; }

    // Makes a host handle of size bytes and puts it in imageRsrcData (size in imageRsrcSize).
    Handle SetImageResources(int32_t size);
    // Whether a handle the host made has been disposed of (through the handle suite).
    bool HandleDisposed(Handle handle) const { return memory_.HandleDisposed(handle); }

    // ---- Logs

    const std::vector<HandOver>& handOvers() const { return handOvers_; }
    const std::vector<ProgressCall>& progressCalls() const { return progressCalls_; }
    const CallCounts& counts() const { return counts_; }
    // Empties the hand-over and progress logs (the counts stay).
    void ClearLogs();

    // ---- Faults

    // Replaces the fault plan and restarts its counts.
    void ArmFaults(const FaultPlan& plan);
    // True once a fault of the armed plan has fired: a fault loop ends when it stays false.
    bool faultFired() const { return faultFired_; }

    // ---- Violations

    const std::vector<Violation>& violations() const { return violations_; }
    // Gives the violations recorded so far and forgets them (a test that provoked them claims them).
    std::vector<Violation> TakeViolations();
    // Replaces the problem sink; null restores the default, which prints to stderr.
    static void SetProblemSink(ProblemSink sink);

    // ---- File calls for a module linked in (the members of the platform's PlatformFileCalls,
    // with the Host as context): the real transfer on the file handle, with the read and write
    // faults applied and counted.

    static uint32_t FileRead(void* host, intptr_t file, void* destination, uint32_t count);
    static uint32_t FileWrite(void* host, intptr_t file, const void* source, uint32_t count);
    static uint32_t FileSeek(void* host, intptr_t file, uint32_t offset);

private:
    struct FaultCounts {
        int64_t bufferAllocations = 0;
        int64_t handleNews = 0;
        int64_t handleLocks = 0;
        int64_t fileReads = 0;
        int64_t fileWrites = 0;
        int64_t advanceStates = 0;
    };

    class CurrentHost;

    // The callbacks: plain C function pointers without context, routed to the current host.
    static OSErr AllocateBuffer(int32_t size, BufferID* id);
    static Ptr LockBuffer(BufferID id, Boolean moveHigh);
    static void UnlockBuffer(BufferID id);
    static void FreeBuffer(BufferID id);
    static int32_t BufferSpace();
    static Handle NewHandle(int32_t size);
    static void DisposeHandle(Handle handle);
    static int32_t GetHandleSize(Handle handle);
    static OSErr SetHandleSize(Handle handle, int32_t size);
    static Ptr LockHandle(Handle handle, Boolean moveHigh);
    static void UnlockHandle(Handle handle);
    static void RecoverSpace(int32_t size);
    static OSErr AdvanceState();
    static void Progress(int32_t done, int32_t total);

    static Host* Current(const char* routine);
    bool BufferRoutineDeclared(int index, const char* routine);
    bool HandleRoutineDeclared(int index, const char* routine);
    bool FaultDue(int64_t* counter, int64_t at);  // counts the call, then FaultAt
    bool FaultAt(int64_t call, int64_t at);       // whether the call'th call fails; notes the firing
    OSErr TransferBlock();
    // What is wrong with the block in the record against an image of that size, "" if nothing.
    std::string HandOverRefusal(int width, int height, int planes) const;
    void RecordProgress(int32_t done, int32_t total);
    void MakeImageFromRecord();
    // Describes image in the record for saving: imageMode, imageSize, depth 8, planes.
    void DescribeImage(const Image& image);
    void CheckAfterCall();
    void Violate(ViolationKind kind, const std::string& text);

    PluginEntryProc entry_;
    HostSetup setup_;
    std::vector<Violation> violations_;
    TrackedMemory memory_;
    HostFile file_;
    Image image_;
    const Image* savedImage_ = nullptr;  // the caller's image while Save runs
    bool imageRefused_ = false;
    PlannedImage planned_;
    std::unique_ptr<AreaAverage> average_;  // while a reduced open reads

    FormatRecord record_;
    BufferProcs bufferProcs_;
    HandleProcs handleProcs_;
    PlatformData platformData_;
    AboutRecord about_;
    intptr_t dataWord_ = 0;
    int16_t result_ = 0;
    int16_t selector_ = -1;  // the selector of the call running, -1 between calls
    Handle lockedStateReported_ = nullptr;  // a state handle found locked, reported once

    std::vector<HandOver> handOvers_;
    std::vector<ProgressCall> progressCalls_;
    CallCounts counts_;
    FaultPlan faults_;
    FaultCounts faultCounts_;
    bool faultFired_ = false;

    static Host* current_;
    static ProblemSink problemSink_;
};

}  // namespace tniff

#endif
