#include "host/host.h"

#include <cstdio>
#include <cstring>

namespace tniff {

Host* Host::current_ = nullptr;
ProblemSink Host::problemSink_ = nullptr;

namespace {

void PrintProblems(const std::vector<Violation>& problems) {
    std::fputs(DescribeViolations(problems).c_str(), stderr);
}

bool IsReadSelector(int16_t selector) {
    return (selector >= formatSelectorReadPrepare && selector <= formatSelectorReadFinish) ||
           selector == formatSelectorFilterFile;
}

bool IsWriteSelector(int16_t selector) {
    return selector >= formatSelectorEstimatePrepare && selector <= formatSelectorWriteFinish;
}

std::string RectText(const Rect16& rect) {
    return "(top " + std::to_string(rect.top) + ", left " + std::to_string(rect.left) + ", bottom " +
           std::to_string(rect.bottom) + ", right " + std::to_string(rect.right) + ")";
}

// Asks for the cache line at address ahead of its use, where the compiler offers that.
inline void Prefetch(const uint8_t* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}
const int64_t kRowsAhead = 4;

// The most planes a block of whole pixels side by side is moved for in one pass.
const int64_t kMostInterleavedPlanes = 4;
// Rows of at least this many pixels are moved a plane at a time (see TransferBlock).
const size_t kLongRow = 256;

// count pixels of P bytes from source to P rows, byte p of each pixel to row p; and back. The
// rows and the pixels never overlap.
template <int P>
void SplitPixelsOf(const uint8_t* __restrict source, size_t count, uint8_t* const* rows) {
    uint8_t* __restrict r0 = rows[0];
    uint8_t* __restrict r1 = rows[1];
    uint8_t* __restrict r2 = rows[P > 2 ? 2 : 1];
    uint8_t* __restrict r3 = rows[P > 3 ? 3 : 1];
    for (size_t x = 0; x < count; ++x) {
        r0[x] = source[x * P];
        r1[x] = source[x * P + 1];
        if (P > 2) r2[x] = source[x * P + 2];
        if (P > 3) r3[x] = source[x * P + 3];
    }
}

template <int P>
void JoinPixelsOf(const uint8_t* const* rows, size_t count, uint8_t* __restrict destination) {
    const uint8_t* __restrict r0 = rows[0];
    const uint8_t* __restrict r1 = rows[1];
    const uint8_t* __restrict r2 = rows[P > 2 ? 2 : 1];
    const uint8_t* __restrict r3 = rows[P > 3 ? 3 : 1];
    for (size_t x = 0; x < count; ++x) {
        destination[x * P] = r0[x];
        destination[x * P + 1] = r1[x];
        if (P > 2) destination[x * P + 2] = r2[x];
        if (P > 3) destination[x * P + 3] = r3[x];
    }
}

// Byte p of each of count pixels of P bytes from source to row; and back.
template <int P>
void TakePlaneOf(const uint8_t* __restrict source, int p, size_t count, uint8_t* __restrict row) {
    for (size_t x = 0; x < count; ++x) row[x] = source[x * P + p];
}

template <int P>
void PutPlaneOf(const uint8_t* __restrict row, int p, size_t count,
                uint8_t* __restrict destination) {
    for (size_t x = 0; x < count; ++x) destination[x * P + p] = row[x];
}

void TakePlane(const uint8_t* source, int planes, int p, size_t count, uint8_t* row) {
    switch (planes) {
    case 2: TakePlaneOf<2>(source, p, count, row); break;
    case 3: TakePlaneOf<3>(source, p, count, row); break;
    default: TakePlaneOf<4>(source, p, count, row); break;
    }
}

void PutPlane(const uint8_t* row, int planes, int p, size_t count, uint8_t* destination) {
    switch (planes) {
    case 2: PutPlaneOf<2>(row, p, count, destination); break;
    case 3: PutPlaneOf<3>(row, p, count, destination); break;
    default: PutPlaneOf<4>(row, p, count, destination); break;
    }
}

void SplitPixels(const uint8_t* source, int planes, size_t count, uint8_t* const* rows) {
    switch (planes) {
    case 1: std::memcpy(rows[0], source, count); break;
    case 2: SplitPixelsOf<2>(source, count, rows); break;
    case 3: SplitPixelsOf<3>(source, count, rows); break;
    default: SplitPixelsOf<4>(source, count, rows); break;
    }
}

void JoinPixels(const uint8_t* const* rows, int planes, size_t count, uint8_t* destination) {
    switch (planes) {
    case 1: std::memcpy(destination, rows[0], count); break;
    case 2: JoinPixelsOf<2>(rows, count, destination); break;
    case 3: JoinPixelsOf<3>(rows, count, destination); break;
    default: JoinPixelsOf<4>(rows, count, destination); break;
    }
}

}  // namespace

// The callbacks carry no context, so the host whose call into the module is running is kept
// here for as long as that call lasts.
class Host::CurrentHost {
public:
    explicit CurrentHost(Host* host) : previous_(current_) { current_ = host; }
    ~CurrentHost() { current_ = previous_; }
    CurrentHost(const CurrentHost&) = delete;
    CurrentHost& operator=(const CurrentHost&) = delete;

private:
    Host* previous_;
};

Host::Host(PluginEntryProc entry, const HostSetup& setup)
    : entry_(entry), setup_(setup), memory_(&violations_) {
    memory_.maxBufferBytes = setup.maxBufferBytes;

    bufferProcs_ = BufferProcs();
    bufferProcs_.bufferProcsVersion = setup.bufferProcsVersion;
    bufferProcs_.numBufferProcs = setup.numBufferProcs;
    bufferProcs_.allocateProc = setup.missingBufferRoutine == BufferRoutine::allocate ? nullptr : &AllocateBuffer;
    bufferProcs_.lockProc = setup.missingBufferRoutine == BufferRoutine::lock ? nullptr : &LockBuffer;
    bufferProcs_.unlockProc = setup.missingBufferRoutine == BufferRoutine::unlock ? nullptr : &UnlockBuffer;
    bufferProcs_.freeProc = setup.missingBufferRoutine == BufferRoutine::free ? nullptr : &FreeBuffer;
    bufferProcs_.spaceProc = setup.missingBufferRoutine == BufferRoutine::space ? nullptr : &BufferSpace;

    handleProcs_ = HandleProcs();
    handleProcs_.handleProcsVersion = setup.handleProcsVersion;
    handleProcs_.numHandleProcs = setup.numHandleProcs;
    handleProcs_.newProc = setup.missingHandleRoutine == HandleRoutine::newHandle ? nullptr : &NewHandle;
    handleProcs_.disposeProc = setup.missingHandleRoutine == HandleRoutine::dispose ? nullptr : &DisposeHandle;
    handleProcs_.getSizeProc = setup.missingHandleRoutine == HandleRoutine::getSize ? nullptr : &GetHandleSize;
    handleProcs_.setSizeProc = setup.missingHandleRoutine == HandleRoutine::setSize ? nullptr : &SetHandleSize;
    handleProcs_.lockProc = setup.missingHandleRoutine == HandleRoutine::lock ? nullptr : &LockHandle;
    handleProcs_.unlockProc = setup.missingHandleRoutine == HandleRoutine::unlock ? nullptr : &UnlockHandle;
    handleProcs_.recoverSpaceProc =
        setup.missingHandleRoutine == HandleRoutine::recoverSpace ? nullptr : &RecoverSpace;

    record_ = FormatRecord();
    record_.maxData = setup.maxData;
    record_.dataFork = HostFile::kNoFile;
    record_.progressProc = setup.progress ? &Progress : nullptr;
    record_.advanceState = setup.advanceState ? &AdvanceState : nullptr;
    record_.bufferProcs = setup.bufferSuite ? &bufferProcs_ : nullptr;
    record_.handleProcs = setup.handleSuite ? &handleProcs_ : nullptr;

    platformData_.hwnd = 0;
    about_ = AboutRecord();
    about_.platformData = &platformData_;
}

Host::~Host() {
    CloseFile();
    // The state handle in the data word is the module's to keep; anything else still held is a leak.
    memory_.ReportLeaks(reinterpret_cast<Handle>(dataWord_));
    if (!violations_.empty()) (problemSink_ != nullptr ? problemSink_ : &PrintProblems)(violations_);
}

// ---- Operations ---------------------------------------------------------------------------------

OSErr Host::Open(const std::string& path) {
    ClearLogs();
    image_ = Image();
    if (!OpenFile(path, HostFile::Mode::read)) return kHostFileNotOpened;
    OSErr result = noErr;
    const int16_t beforeStart[] = {formatSelectorFilterFile, formatSelectorReadPrepare, formatSelectorReadStart};
    for (int16_t selector : beforeStart) {
        result = Call(selector);
        if (result != noErr) {
            CloseFile();
            return result;
        }
    }
    // From here on the module has started a read, so it is always given ReadFinish to end it.
    result = imageRefused_ ? static_cast<OSErr>(memFullErr) : Call(formatSelectorReadContinue);
    OSErr finish = Call(formatSelectorReadFinish);
    if (result == noErr) result = finish;
    CloseFile();
    return result;
}

OSErr Host::Save(const Image& image, const std::string& path) {
    ClearLogs();
    // The caller's image is read in place for as long as the save runs: a copy of it would
    // double the memory a save needs.
    DescribeImage(image);
    if (!OpenFile(path, HostFile::Mode::write)) return kHostFileNotOpened;
    savedImage_ = &image;
    OSErr result = noErr;
    for (int16_t selector = formatSelectorEstimatePrepare; selector <= formatSelectorWriteFinish; ++selector) {
        result = Call(selector);
        if (result != noErr) break;
    }
    savedImage_ = nullptr;
    CloseFile();
    return result;
}

OSErr Host::Call(int16_t selector, int16_t resultBefore) {
    if (selector == formatSelectorFilterFile || selector == formatSelectorReadStart) file_.Rewind();
    if (selector == formatSelectorReadPrepare || selector == formatSelectorEstimatePrepare) {
        record_.maxData = setup_.maxData;
    }
    if (selector == formatSelectorReadStart) {
        // Whatever the module leaves alone stays visibly unset.
        record_.imageMode = -1;
        record_.imageSize.v = -1;
        record_.imageSize.h = -1;
        record_.depth = -1;
        record_.planes = -1;
        record_.colBytes = -1;
        record_.planeBytes = -1;
        record_.imageHRes = -1;
        record_.imageVRes = -1;
        record_.data = nullptr;
        image_ = Image();
        imageRefused_ = false;
        planned_ = PlannedImage();
        average_.reset();
    }

    result_ = resultBefore;
    ++counts_.entryCalls;
    {
        CurrentHost running(this);
        selector_ = selector;
        void* record = selector == formatSelectorAbout ? static_cast<void*>(&about_) : static_cast<void*>(&record_);
        entry_(selector, record, &dataWord_, &result_);
        selector_ = -1;
    }

    if (selector == formatSelectorReadStart && result_ == noErr) MakeImageFromRecord();
    if (selector == formatSelectorReadFinish && average_) {
        average_->Average(&image_);
        average_.reset();
    }
    CheckAfterCall();
    return result_;
}

bool Host::OpenFile(const std::string& path, HostFile::Mode mode) {
    bool opened = file_.Open(path, mode);
    record_.dataFork = file_.handle();
    return opened;
}

void Host::CloseFile() {
    file_.Close();
    record_.dataFork = HostFile::kNoFile;
}

void Host::SetImage(const Image& image) {
    image_ = image;
    DescribeImage(image);
}

void Host::DescribeImage(const Image& image) {
    imageRefused_ = false;
    record_.imageMode = image.mode();
    record_.imageSize.v = static_cast<int16_t>(image.height());
    record_.imageSize.h = static_cast<int16_t>(image.width());
    record_.depth = 8;
    record_.planes = static_cast<int16_t>(image.planes());
}

void Host::MakeImageFromRecord() {
    const int fullWidth = record_.imageSize.h, fullHeight = record_.imageSize.v;
    PlannedImage& plan = planned_;
    plan.fullWidth = fullWidth;
    plan.fullHeight = fullHeight;
    plan.planes = record_.planes;
    plan.width = setup_.fitWidth > 0 && setup_.fitWidth < fullWidth ? setup_.fitWidth : fullWidth;
    plan.height =
        setup_.fitHeight > 0 && setup_.fitHeight < fullHeight ? setup_.fitHeight : fullHeight;
    // A described size with no pixels makes an empty image, never a reduced one.
    plan.reduced = fullWidth > 0 && fullHeight > 0 &&
                   (plan.width != fullWidth || plan.height != fullHeight);
    if (!plan.reduced) {
        plan.width = fullWidth;
        plan.height = fullHeight;
    }
    // Sides and planes are 16-bit, so these products stay far below 2^64; whether they fit in
    // memory's sizes (size_t) is asked apart.
    auto count = [](int n) { return n > 0 ? static_cast<uint64_t>(n) : 0; };
    const uint64_t samples = count(plan.width) * count(plan.height) * count(plan.planes);
    const uint64_t sums =
        plan.reduced ? samples * AreaAverage::SumBytesEach(fullWidth, fullHeight, plan.width,
                                                           plan.height)
                     : 0;
    plan.bytes = samples + sums;
    if (plan.bytes > setup_.maxImageBytes || plan.bytes > static_cast<uint64_t>(SIZE_MAX)) {
        imageRefused_ = true;
        return;
    }
    if (!plan.reduced) {
        image_ = Image(fullWidth, fullHeight, plan.planes, record_.imageMode, setup_.newImageFill);
        return;
    }
    average_.reset(new AreaAverage(fullWidth, fullHeight, plan.planes, plan.width, plan.height));
    image_ = Image(plan.width, plan.height, plan.planes, record_.imageMode);
}

void Host::CheckAfterCall() {
    Handle state = reinterpret_cast<Handle>(dataWord_);
    memory_.ReportLeaks(state);
    if (!memory_.HandleLocked(state)) {
        lockedStateReported_ = nullptr;
    } else if (lockedStateReported_ != state) {
        lockedStateReported_ = state;
        Violate(ViolationKind::lockedAcrossCalls, "the state handle in the data word is still locked after the call");
    }
}

Handle Host::SetImageResources(int32_t size) {
    Handle handle = memory_.NewHandle(size, true);
    record_.imageRsrcData = handle;
    record_.imageRsrcSize = handle != nullptr ? size : 0;
    return handle;
}

void Host::ClearLogs() {
    handOvers_.clear();
    progressCalls_.clear();
}

void Host::ArmFaults(const FaultPlan& plan) {
    faults_ = plan;
    faultCounts_ = FaultCounts();
    faultFired_ = false;
}

std::vector<Violation> Host::TakeViolations() {
    std::vector<Violation> taken;
    taken.swap(violations_);
    return taken;
}

void Host::SetProblemSink(ProblemSink sink) { problemSink_ = sink; }

void Host::Violate(ViolationKind kind, const std::string& text) { violations_.push_back(Violation{kind, text}); }

bool Host::FaultDue(int64_t* counter, int64_t at) { return FaultAt(++*counter, at); }

bool Host::FaultAt(int64_t call, int64_t at) {
    if (at <= 0) return false;
    if (call == at || (faults_.persistent && call > at)) {
        faultFired_ = true;
        return true;
    }
    return false;
}

// ---- Routing of the callbacks -------------------------------------------------------------------

Host* Host::Current(const char* routine) {
    if (current_ == nullptr) {
        std::vector<Violation> stray{
            Violation{ViolationKind::callbackOutsideCall, std::string(routine) + " called while no call into the module was running"}};
        (problemSink_ != nullptr ? problemSink_ : &PrintProblems)(stray);
    }
    return current_;
}

// A module may use a suite's routine only when the suite is offered in the record, is of the
// version it knows and counts that routine among its routines.
bool Host::BufferRoutineDeclared(int index, const char* routine) {
    if (record_.bufferProcs == &bufferProcs_ && bufferProcs_.bufferProcsVersion == kCurrentBufferProcsVersion &&
        bufferProcs_.numBufferProcs > index) {
        return true;
    }
    Violate(ViolationKind::undeclaredRoutine, std::string("buffer suite's ") + routine +
                                                  " called, but the suite offered does not provide it");
    return false;
}

bool Host::HandleRoutineDeclared(int index, const char* routine) {
    if (record_.handleProcs == &handleProcs_ && handleProcs_.handleProcsVersion == kCurrentHandleProcsVersion &&
        handleProcs_.numHandleProcs > index) {
        return true;
    }
    Violate(ViolationKind::undeclaredRoutine, std::string("handle suite's ") + routine +
                                                  " called, but the suite offered does not provide it");
    return false;
}

// Undeclared routines are still carried out, so that one violation does not cascade into others.

OSErr Host::AllocateBuffer(int32_t size, BufferID* id) {
    Host* host = Current("allocateProc");
    if (host == nullptr) {
        *id = nullptr;
        return memFullErr;
    }
    host->BufferRoutineDeclared(0, "allocateProc");
    ++host->counts_.bufferAllocations;
    if (host->FaultDue(&host->faultCounts_.bufferAllocations, host->faults_.failBufferAllocation)) {
        *id = nullptr;
        return memFullErr;
    }
    return host->memory_.AllocateBuffer(size, id);
}

Ptr Host::LockBuffer(BufferID id, Boolean) {
    Host* host = Current("buffer lockProc");
    if (host == nullptr) return nullptr;
    host->BufferRoutineDeclared(1, "lockProc");
    return host->memory_.LockBuffer(id);
}

void Host::UnlockBuffer(BufferID id) {
    Host* host = Current("buffer unlockProc");
    if (host == nullptr) return;
    host->BufferRoutineDeclared(2, "unlockProc");
    host->memory_.UnlockBuffer(id);
}

void Host::FreeBuffer(BufferID id) {
    Host* host = Current("freeProc");
    if (host == nullptr) return;
    host->BufferRoutineDeclared(3, "freeProc");
    host->memory_.FreeBuffer(id);
}

int32_t Host::BufferSpace() {
    Host* host = Current("spaceProc");
    if (host == nullptr) return 0;
    host->BufferRoutineDeclared(4, "spaceProc");
    return host->memory_.maxBufferBytes;
}

Handle Host::NewHandle(int32_t size) {
    Host* host = Current("newProc");
    if (host == nullptr) return nullptr;
    host->HandleRoutineDeclared(0, "newProc");
    ++host->counts_.handleNews;
    if (host->FaultDue(&host->faultCounts_.handleNews, host->faults_.failHandleNew)) return nullptr;
    return host->memory_.NewHandle(size);
}

void Host::DisposeHandle(Handle handle) {
    Host* host = Current("disposeProc");
    if (host == nullptr) return;
    host->HandleRoutineDeclared(1, "disposeProc");
    host->memory_.DisposeHandle(handle);
}

int32_t Host::GetHandleSize(Handle handle) {
    Host* host = Current("getSizeProc");
    if (host == nullptr) return -1;
    host->HandleRoutineDeclared(2, "getSizeProc");
    return host->memory_.HandleSize(handle);
}

OSErr Host::SetHandleSize(Handle handle, int32_t size) {
    Host* host = Current("setSizeProc");
    if (host == nullptr) return memFullErr;
    host->HandleRoutineDeclared(3, "setSizeProc");
    return host->memory_.SetHandleSize(handle, size);
}

Ptr Host::LockHandle(Handle handle, Boolean) {
    Host* host = Current("handle lockProc");
    if (host == nullptr) return nullptr;
    host->HandleRoutineDeclared(4, "lockProc");
    ++host->counts_.handleLocks;
    if (host->FaultDue(&host->faultCounts_.handleLocks, host->faults_.failHandleLock)) return nullptr;
    return host->memory_.LockHandle(handle);
}

void Host::UnlockHandle(Handle handle) {
    Host* host = Current("handle unlockProc");
    if (host == nullptr) return;
    host->HandleRoutineDeclared(5, "unlockProc");
    host->memory_.UnlockHandle(handle);
}

void Host::RecoverSpace(int32_t) {
    Host* host = Current("recoverSpaceProc");
    if (host == nullptr) return;
    host->HandleRoutineDeclared(6, "recoverSpaceProc");
}

OSErr Host::AdvanceState() {
    Host* host = Current("advanceState");
    if (host == nullptr) return formatBadParameters;
    return host->TransferBlock();
}

void Host::Progress(int32_t done, int32_t total) {
    Host* host = Current("progressProc");
    if (host == nullptr) return;
    host->RecordProgress(done, total);
}

// ---- advanceState and progressProc --------------------------------------------------------------

// What is wrong with the block the module hands over in the record, "" when nothing is: the
// selector, the data, the rectangle and planes against the image, the steps, and that the whole
// block lies in a locked host buffer.
std::string Host::HandOverRefusal(int width, int height, int imagePlanes) const {
    const FormatRecord& r = record_;
    std::string refusal;
    int64_t rows = static_cast<int64_t>(r.theRect.bottom) - r.theRect.top;
    int64_t columns = static_cast<int64_t>(r.theRect.right) - r.theRect.left;
    int64_t planes = static_cast<int64_t>(r.hiPlane) - r.loPlane + 1;
    if (!IsReadSelector(selector_) && !IsWriteSelector(selector_)) {
        refusal = "advanceState called during selector " + std::to_string(selector_);
    } else if (r.data == nullptr) {
        refusal = "advanceState called with null data";
    } else if (rows <= 0 || columns <= 0) {
        refusal = "empty rectangle " + RectText(r.theRect);
    } else if (r.theRect.top < 0 || r.theRect.left < 0 || r.theRect.bottom > height ||
               r.theRect.right > width) {
        refusal = "rectangle " + RectText(r.theRect) + " outside the image of " + std::to_string(width) +
                  " by " + std::to_string(height);
    } else if (r.loPlane < 0 || r.hiPlane < r.loPlane || r.hiPlane >= imagePlanes) {
        refusal = "planes " + std::to_string(r.loPlane) + " to " + std::to_string(r.hiPlane) +
                  " outside the image's " + std::to_string(imagePlanes) + " planes";
    } else if (r.colBytes <= 0 || r.rowBytes <= 0 || (planes > 1 && r.planeBytes <= 0)) {
        refusal = "colBytes " + std::to_string(r.colBytes) + ", rowBytes " + std::to_string(r.rowBytes) +
                  ", planeBytes " + std::to_string(r.planeBytes) + " do not describe a block";
    } else {
        // Every operand is below 2^31 and there are three terms, so this cannot overflow.
        int64_t extent = (rows - 1) * r.rowBytes + (columns - 1) * r.colBytes +
                         (planes - 1) * (planes > 1 ? r.planeBytes : 0) + 1;
        if (!memory_.InLockedBuffer(r.data, static_cast<uint64_t>(extent))) {
            refusal = "the block of " + std::to_string(extent) + " bytes at data is not inside a locked host buffer";
        }
    }
    return refusal;
}

OSErr Host::TransferBlock() {
    ++counts_.advanceStates;
    const FormatRecord& r = record_;
    HandOver handOver{r.theRect, r.loPlane, r.hiPlane, r.colBytes, r.rowBytes, r.planeBytes,
                      !IsWriteSelector(selector_), noErr};

    // A save in progress reads the caller's image; everything else works on the host's own.
    const Image& image = savedImage_ != nullptr && !handOver.reading ? *savedImage_ : image_;
    bool faultDue = FaultDue(&faultCounts_.advanceStates, faults_.failAdvanceState);
    const int64_t rows = static_cast<int64_t>(r.theRect.bottom) - r.theRect.top;
    const int64_t columns = static_cast<int64_t>(r.theRect.right) - r.theRect.left;
    const int64_t planes = static_cast<int64_t>(r.hiPlane) - r.loPlane + 1;
    // A reduced open's blocks are of the full image described, and checked against its size.
    const bool reducing = average_ && handOver.reading;
    const std::string refusal =
        reducing ? HandOverRefusal(planned_.fullWidth, planned_.fullHeight, planned_.planes)
                 : HandOverRefusal(image.width(), image.height(), image.planes());
    if (!refusal.empty()) {
        Violate(ViolationKind::badHandOver, refusal);
        handOver.result = formatBadParameters;
        handOvers_.push_back(handOver);
        return formatBadParameters;
    }

    if (faultDue) {
        handOver.result = faults_.advanceStateError;
        handOvers_.push_back(handOver);
        return handOver.result;
    }

    uint8_t* block = static_cast<uint8_t*>(r.data);
    const int top = static_cast<int>(r.theRect.top);
    const int left = static_cast<int>(r.theRect.left);
    const size_t count = static_cast<size_t>(columns);
    if (reducing) {
        average_->Add(block, top, left, static_cast<int>(rows), static_cast<int>(columns),
                      static_cast<int>(r.loPlane), static_cast<int>(planes), r.colBytes,
                      r.rowBytes, r.planeBytes);
        handOvers_.push_back(handOver);
        return noErr;
    }
    if (r.colBytes == planes && (planes == 1 || r.planeBytes == 1) && planes <= kMostInterleavedPlanes &&
        r.rowBytes >= columns * planes) {
        // Whole pixels side by side, as both directions of the module hand them over: each row
        // of the block is taken apart into (or put together from) the planes' rows in one pass.
        const int lo = static_cast<int>(r.loPlane);
        // A long row goes one plane at a time. The planes' rows lie a plane apart, and when a
        // plane's size is a multiple of a large power of two (16384 x 16384) they fall in the same
        // cache sets, so that writing all of them at once (with the rows fetched ahead) evicts
        // one another's lines: handing over 4096-pixel tiles took ten times as long as for an
        // image one row shorter. A plane at a time, the block's row stays in the first-level
        // cache for the next plane. Short rows (the module's 64 x 64 tiles) are not affected
        // and keep the single pass.
        const bool planeByPlane = planes > 1 && count >= kLongRow;
        for (int64_t y = 0; y < rows; ++y) {
            uint8_t* row = block + y * r.rowBytes;
            const int line = top + static_cast<int>(y);
            // Each row of a plane lies a whole image row from the last, beyond what the
            // processor foresees: the rows a few steps ahead are asked for now.
            if (y + kRowsAhead < rows) {
                for (int64_t p = 0; p < planes; ++p) {
                    const uint8_t* ahead = image.address(lo + static_cast<int>(p), line + static_cast<int>(kRowsAhead), left);
                    Prefetch(ahead);
                    Prefetch(ahead + count - 1);
                }
            }
            if (planeByPlane) {
                for (int p = 0; p < static_cast<int>(planes); ++p) {
                    if (handOver.reading)
                        TakePlane(row, static_cast<int>(planes), p, count,
                                  &image_.at(lo + p, line, left));
                    else
                        PutPlane(image.address(lo + p, line, left), static_cast<int>(planes), p,
                                 count, row);
                }
            } else if (handOver.reading) {
                uint8_t* planeRows[kMostInterleavedPlanes];
                for (int64_t p = 0; p < planes; ++p) planeRows[p] = &image_.at(lo + static_cast<int>(p), line, left);
                SplitPixels(row, static_cast<int>(planes), count, planeRows);
            } else {
                const uint8_t* planeRows[kMostInterleavedPlanes];
                for (int64_t p = 0; p < planes; ++p) planeRows[p] = image.address(lo + static_cast<int>(p), line, left);
                JoinPixels(planeRows, static_cast<int>(planes), count, row);
            }
        }
        handOvers_.push_back(handOver);
        return noErr;
    }

    // Any other layout row by row: the image's row is contiguous, the block's pixels are
    // colBytes apart.
    const size_t step = static_cast<size_t>(r.colBytes);
    for (int64_t p = 0; p < planes; ++p) {
        for (int64_t y = 0; y < rows; ++y) {
            uint8_t* row = block + p * r.planeBytes + y * r.rowBytes;
            const int plane = static_cast<int>(r.loPlane + p);
            const int line = top + static_cast<int>(y);
            if (handOver.reading) {
                uint8_t* pixels = &image_.at(plane, line, left);
                if (step == 1) std::memcpy(pixels, row, count);
                else for (size_t x = 0; x < count; ++x) pixels[x] = row[x * step];
            } else {
                const uint8_t* pixels = image.address(plane, line, left);
                if (step == 1) std::memcpy(row, pixels, count);
                else for (size_t x = 0; x < count; ++x) row[x * step] = pixels[x];
            }
        }
    }
    handOvers_.push_back(handOver);
    return noErr;
}

void Host::RecordProgress(int32_t done, int32_t total) {
    ++counts_.progressCalls;
    progressCalls_.push_back(ProgressCall{done, total});
    if (done < 0 || done > total) {
        Violate(ViolationKind::badProgress,
                "progress " + std::to_string(done) + " of " + std::to_string(total));
    }
}

// ---- File calls ---------------------------------------------------------------------------------

uint32_t Host::FileRead(void* context, intptr_t file, void* destination, uint32_t count) {
    Host* host = static_cast<Host*>(context);
    if (host == nullptr) return FileHandleRead(file, destination, count);
    ++host->counts_.fileReads;
    int64_t n = ++host->faultCounts_.fileReads;
    if (host->FaultAt(n, host->faults_.failFileRead)) return kFileCallFailed;
    if (host->FaultAt(n, host->faults_.shortFileRead)) return FileHandleRead(file, destination, count / 2);
    return FileHandleRead(file, destination, count);
}

uint32_t Host::FileWrite(void* context, intptr_t file, const void* source, uint32_t count) {
    Host* host = static_cast<Host*>(context);
    if (host == nullptr) return FileHandleWrite(file, source, count);
    ++host->counts_.fileWrites;
    int64_t n = ++host->faultCounts_.fileWrites;
    if (host->FaultAt(n, host->faults_.failFileWrite)) return kFileCallFailed;
    if (host->FaultAt(n, host->faults_.shortFileWrite)) return FileHandleWrite(file, source, count / 2);
    return FileHandleWrite(file, source, count);
}

uint32_t Host::FileSeek(void* context, intptr_t file, uint32_t offset) {
    Host* host = static_cast<Host*>(context);
    if (host != nullptr) ++host->counts_.fileSeeks;
    return FileHandleSeek(file, offset);
}

}  // namespace tniff
