#include "tests/support/raw_record_host.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "host/host.h"
#include "host/host_file.h"
#include "host/image.h"
#include "tests/support/iff_builder.h"

namespace {

// ---- The host's offsets, as its published interface lays the records out -----------------------

// Members the module uses, and where the host puts them, from the host's published interface.
enum class Member {
    progressProc, maxData, dataFork, imageMode, imageSizeV, imageSizeH, depth, planes, imageHRes,
    imageVRes, data, theRectTop, theRectLeft, theRectBottom, theRectRight, loPlane, hiPlane,
    colBytes, rowBytes, planeBytes, bufferProcs, handleProcs, advanceState, count
};
const size_t kOffsets[][2] = {
    // 32-bit, 64-bit
    {8, 12},       // progressProc
    {12, 20},      // maxData
    {32, 40},      // dataFork
    {44, 64},      // imageMode
    {46, 66},      // imageSize.v
    {48, 68},      // imageSize.h
    {50, 70},      // depth
    {52, 72},      // planes
    {56, 76},      // imageHRes
    {60, 80},      // imageVRes
    {832, 852},    // data
    {836, 860},    // theRect.top
    {838, 862},    // theRect.left
    {840, 864},    // theRect.bottom
    {842, 866},    // theRect.right
    {844, 868},    // loPlane
    {846, 870},    // hiPlane
    {848, 872},    // colBytes
    {852, 876},    // rowBytes
    {856, 880},    // planeBytes
    {972, 1020},   // bufferProcs
    {988, 1052},   // handleProcs
    {1000, 1072},  // advanceState
};
static_assert(sizeof kOffsets / sizeof kOffsets[0] == static_cast<size_t>(Member::count), "one row a member");
// What today's hosts hand over, the members past advanceState included.
const size_t kRecordBytes[2] = {1308, 1472};

size_t Off(Member member) { return kOffsets[static_cast<size_t>(member)][sizeof(void*) == 4 ? 0 : 1]; }
size_t RecordBytes() { return kRecordBytes[sizeof(void*) == 4 ? 0 : 1]; }

// Suites: two 16-bit words (version, count), then one pointer per routine, naturally aligned.
struct SuiteOffsets {
    size_t routine[8];
    size_t bytes;
};
const SuiteOffsets kSuite32 = {{4, 8, 12, 16, 20, 24, 28, 32}, 36};
const SuiteOffsets kSuite64 = {{8, 16, 24, 32, 40, 48, 56, 64}, 72};

const SuiteOffsets& SuiteAt() { return sizeof(void*) == 4 ? kSuite32 : kSuite64; }

// The same as host/'s defaults, so that the module chooses the same way with either host.
const int32_t kMaxData = 64 * 1024 * 1024;
const int32_t kBufferSpace = 256 * 1024 * 1024;
const int16_t kRoutinesDeclared = 8;  // what today's hosts declare in each suite

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

template <typename T>
T Get(const std::vector<uint8_t>& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <typename F>
void PutRoutine(std::vector<uint8_t>& bytes, size_t offset, F* routine) {
    static_assert(sizeof routine == sizeof(void*), "routine addresses are pointer-sized");
    Put(bytes, offset, routine);
}

// What an open gave, or a save was given.
struct Opened {
    OSErr result = noErr;
    int16_t mode = 0, rows = 0, columns = 0, depth = 0, planes = 0;
    Fixed hRes = 0, vRes = 0;
    tniff::Image image;
    std::vector<std::pair<int32_t, int32_t>> progress;
};

class RawHost {
public:
    explicit RawHost(PluginEntryProc entry, std::vector<std::string>* problems)
        : entry_(entry), problems_(problems), record_(RecordBytes(), 0),
          bufferSuite_(SuiteAt().bytes, 0), handleSuite_(SuiteAt().bytes, 0) {
        const SuiteOffsets& s = SuiteAt();
        Put<int16_t>(bufferSuite_, 0, kCurrentBufferProcsVersion);
        Put<int16_t>(bufferSuite_, 2, kRoutinesDeclared);
        PutRoutine(bufferSuite_, s.routine[0], &AllocateBuffer);
        PutRoutine(bufferSuite_, s.routine[1], &LockBuffer);
        PutRoutine(bufferSuite_, s.routine[2], &UnlockBuffer);
        PutRoutine(bufferSuite_, s.routine[3], &FreeBuffer);
        PutRoutine(bufferSuite_, s.routine[4], &BufferSpace);
        Put<int16_t>(handleSuite_, 0, kCurrentHandleProcsVersion);
        Put<int16_t>(handleSuite_, 2, kRoutinesDeclared);
        PutRoutine(handleSuite_, s.routine[0], &NewHandle);
        PutRoutine(handleSuite_, s.routine[1], &DisposeHandle);
        PutRoutine(handleSuite_, s.routine[2], &GetHandleSize);
        PutRoutine(handleSuite_, s.routine[3], &SetHandleSize);
        PutRoutine(handleSuite_, s.routine[4], &LockHandle);
        PutRoutine(handleSuite_, s.routine[5], &UnlockHandle);
        PutRoutine(handleSuite_, s.routine[6], &RecoverSpace);

        PutRoutine(record_, Off(Member::progressProc), &Progress);
        PutRoutine(record_, Off(Member::advanceState), &AdvanceState);
        Write<void*>(Member::bufferProcs, bufferSuite_.data());
        Write<void*>(Member::handleProcs, handleSuite_.data());
        Write<intptr_t>(Member::dataFork, tniff::HostFile::kNoFile);
    }

    // The module keeps its state handle in the data word; a host disposes of it when done.
    ~RawHost() {
        if (dataWord_ != 0) {
            RawHost* previous = current_;
            current_ = this;
            DisposeHandle(reinterpret_cast<Handle>(dataWord_));
            current_ = previous;
        }
        if (!buffers_.empty() || !handles_.empty()) {
            Problem(std::to_string(buffers_.size()) + " buffers and " + std::to_string(handles_.size()) +
                    " handles were never given back");
        }
    }

    Opened Open(const std::string& path) {
        Opened got;
        if (!file_.Open(path, tniff::HostFile::Mode::read)) {
            Problem("cannot open " + path);
            got.result = -43;
            return got;
        }
        Write<intptr_t>(Member::dataFork, file_.handle());
        reading_ = true;
        const int16_t steps[] = {formatSelectorFilterFile, formatSelectorReadPrepare, formatSelectorReadStart,
                                 formatSelectorReadContinue};
        bool started = false;  // once ReadStart succeeded, ReadFinish always follows
        for (int16_t selector : steps) {
            got.result = Call(selector);
            if (got.result != noErr) break;
            if (selector == formatSelectorReadStart) {
                started = true;
                got.mode = Read<int16_t>(Member::imageMode);
                got.rows = Read<int16_t>(Member::imageSizeV);
                got.columns = Read<int16_t>(Member::imageSizeH);
                got.depth = Read<int16_t>(Member::depth);
                got.planes = Read<int16_t>(Member::planes);
                got.hRes = Read<Fixed>(Member::imageHRes);
                got.vRes = Read<Fixed>(Member::imageVRes);
                image_ = tniff::Image(got.columns, got.rows, got.planes, got.mode);
            }
        }
        if (started) {
            OSErr finish = Call(formatSelectorReadFinish);
            if (got.result == noErr) got.result = finish;
        }
        file_.Close();
        got.image = image_;
        got.progress = progress_;
        return got;
    }

    OSErr Save(const tniff::Image& image, const std::string& path) {
        if (!file_.Open(path, tniff::HostFile::Mode::write)) {
            Problem("cannot create " + path);
            return -43;
        }
        Write<intptr_t>(Member::dataFork, file_.handle());
        Write<int16_t>(Member::imageMode, image.mode());
        Write<int16_t>(Member::imageSizeV, static_cast<int16_t>(image.height()));
        Write<int16_t>(Member::imageSizeH, static_cast<int16_t>(image.width()));
        Write<int16_t>(Member::depth, 8);
        Write<int16_t>(Member::planes, static_cast<int16_t>(image.planes()));
        image_ = image;
        reading_ = false;
        OSErr result = noErr;
        for (int16_t selector = formatSelectorEstimatePrepare; selector <= formatSelectorWriteFinish; ++selector) {
            result = Call(selector);
            if (result != noErr) break;
        }
        file_.Close();
        return result;
    }

    const std::vector<std::pair<int32_t, int32_t>>& progress() const { return progress_; }

private:
    template <typename T>
    T Read(Member member) const {
        return Get<T>(record_, Off(member));
    }
    template <typename T>
    void Write(Member member, T value) {
        Put<T>(record_, Off(member), value);
    }

    struct Buffer {
        std::vector<char> bytes;
    };
    struct HandleBlock {
        char* master = nullptr;  // the handle is this member's address
        std::vector<char> bytes;
    };

    OSErr Call(int16_t selector) {
        if (selector == formatSelectorFilterFile || selector == formatSelectorReadStart) file_.Rewind();
        if (selector == formatSelectorReadPrepare || selector == formatSelectorEstimatePrepare) {
            Write<int32_t>(Member::maxData, kMaxData);
        }
        int16_t result = 0;
        RawHost* previous = current_;
        current_ = this;
        entry_(selector, record_.data(), &dataWord_, &result);
        current_ = previous;
        return result;
    }

    void Problem(const std::string& text) { problems_->push_back("raw record: " + text); }

    static RawHost* Current() { return current_; }

    Buffer* FindBuffer(BufferID id) {
        for (const auto& b : buffers_) {
            if (reinterpret_cast<BufferID>(b.get()) == id) return b.get();
        }
        Problem("a buffer id the host never gave");
        return nullptr;
    }

    HandleBlock* FindHandle(Handle h) {
        for (const auto& b : handles_) {
            if (&b->master == h) return b.get();
        }
        Problem("a handle the host never gave");
        return nullptr;
    }

    OSErr Transfer() {
        int top = Read<int16_t>(Member::theRectTop), left = Read<int16_t>(Member::theRectLeft);
        int bottom = Read<int16_t>(Member::theRectBottom), right = Read<int16_t>(Member::theRectRight);
        int lo = Read<int16_t>(Member::loPlane), hi = Read<int16_t>(Member::hiPlane);
        int64_t colBytes = Read<int16_t>(Member::colBytes);
        int64_t rowBytes = Read<int32_t>(Member::rowBytes);
        int64_t planeBytes = Read<int32_t>(Member::planeBytes);
        uint8_t* block = Read<uint8_t*>(Member::data);
        if (block == nullptr || top < 0 || left < 0 || bottom > image_.height() || right > image_.width() ||
            top >= bottom || left >= right || lo < 0 || hi < lo || hi >= image_.planes() || colBytes <= 0 ||
            rowBytes <= 0) {
            Problem("advanceState with a block outside the image");
            return formatBadParameters;
        }
        for (int p = lo; p <= hi; ++p) {
            for (int y = top; y < bottom; ++y) {
                for (int x = left; x < right; ++x) {
                    uint8_t* byte = block + (p - lo) * planeBytes + (y - top) * rowBytes + (x - left) * colBytes;
                    if (reading_) image_.at(p, y, x) = *byte;
                    else *byte = image_.at(p, y, x);
                }
            }
        }
        return noErr;
    }

    // ---- The callbacks, as plain C routines that find their host in current_

    static OSErr HOSTAPI_CDECL AllocateBuffer(int32_t size, BufferID* id) {
        RawHost* host = Current();
        if (size < 0 || size > kBufferSpace) {
            *id = nullptr;
            return memFullErr;
        }
        host->buffers_.push_back(std::unique_ptr<Buffer>(new Buffer{std::vector<char>(static_cast<size_t>(size))}));
        *id = reinterpret_cast<BufferID>(host->buffers_.back().get());
        return noErr;
    }
    static Ptr HOSTAPI_CDECL LockBuffer(BufferID id, Boolean) {
        Buffer* b = Current()->FindBuffer(id);
        return b == nullptr ? nullptr : b->bytes.data();
    }
    static void HOSTAPI_CDECL UnlockBuffer(BufferID id) { Current()->FindBuffer(id); }
    static void HOSTAPI_CDECL FreeBuffer(BufferID id) {
        RawHost* host = Current();
        if (host->FindBuffer(id) == nullptr) return;
        for (size_t i = 0; i < host->buffers_.size(); ++i) {
            if (reinterpret_cast<BufferID>(host->buffers_[i].get()) == id) {
                host->buffers_.erase(host->buffers_.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
        }
    }
    static int32_t HOSTAPI_CDECL BufferSpace() { return kBufferSpace; }

    static Handle HOSTAPI_CDECL NewHandle(int32_t size) {
        if (size < 0) return nullptr;
        RawHost* host = Current();
        host->handles_.push_back(std::unique_ptr<HandleBlock>(new HandleBlock));
        HandleBlock* b = host->handles_.back().get();
        b->bytes.resize(static_cast<size_t>(size) + 1);  // never an empty vector: master stays non-null
        b->master = b->bytes.data();
        return &b->master;
    }
    static void HOSTAPI_CDECL DisposeHandle(Handle h) {
        RawHost* host = Current();
        if (host->FindHandle(h) == nullptr) return;
        for (size_t i = 0; i < host->handles_.size(); ++i) {
            if (&host->handles_[i]->master == h) {
                host->handles_.erase(host->handles_.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
        }
    }
    static int32_t HOSTAPI_CDECL GetHandleSize(Handle h) {
        HandleBlock* b = Current()->FindHandle(h);
        return b == nullptr ? 0 : static_cast<int32_t>(b->bytes.size() - 1);
    }
    static OSErr HOSTAPI_CDECL SetHandleSize(Handle h, int32_t size) {
        HandleBlock* b = Current()->FindHandle(h);
        if (b == nullptr || size < 0) return memFullErr;
        b->bytes.resize(static_cast<size_t>(size) + 1);
        b->master = b->bytes.data();
        return noErr;
    }
    static Ptr HOSTAPI_CDECL LockHandle(Handle h, Boolean) {
        HandleBlock* b = Current()->FindHandle(h);
        return b == nullptr ? nullptr : b->master;
    }
    static void HOSTAPI_CDECL UnlockHandle(Handle h) { Current()->FindHandle(h); }
    static void HOSTAPI_CDECL RecoverSpace(int32_t) {}

    static OSErr HOSTAPI_CDECL AdvanceState() { return Current()->Transfer(); }
    static void HOSTAPI_CDECL Progress(int32_t done, int32_t total) {
        Current()->progress_.push_back(std::make_pair(done, total));
    }

    PluginEntryProc entry_;
    std::vector<std::string>* problems_;
    std::vector<uint8_t> record_;
    std::vector<uint8_t> bufferSuite_;
    std::vector<uint8_t> handleSuite_;
    intptr_t dataWord_ = 0;
    tniff::HostFile file_;
    tniff::Image image_;
    bool reading_ = true;
    std::vector<std::unique_ptr<Buffer>> buffers_;
    std::vector<std::unique_ptr<HandleBlock>> handles_;
    std::vector<std::pair<int32_t, int32_t>> progress_;

    static RawHost* current_;
};

RawHost* RawHost::current_ = nullptr;

std::string Text(const std::vector<std::pair<int32_t, int32_t>>& progress) {
    std::string text;
    for (const auto& p : progress) text += " " + std::to_string(p.first) + "/" + std::to_string(p.second);
    return text;
}

// host/'s open of the same file, in the same terms.
Opened OpenWithHost(PluginEntryProc entry, const std::string& path, std::vector<std::string>* problems) {
    tniff::Host host(entry);
    Opened got;
    got.result = host.Open(path);
    const FormatRecord& r = host.record();
    got.mode = r.imageMode;
    got.rows = r.imageSize.v;
    got.columns = r.imageSize.h;
    got.depth = r.depth;
    got.planes = r.planes;
    got.hRes = r.imageHRes;
    got.vRes = r.imageVRes;
    got.image = host.image();
    for (const tniff::ProgressCall& p : host.progressCalls()) got.progress.push_back(std::make_pair(p.done, p.total));
    for (const tniff::Violation& v : host.TakeViolations()) problems->push_back("host/: " + v.text);
    return got;
}

void CompareOpens(const std::string& what, const Opened& raw, const Opened& host, std::vector<std::string>* problems) {
    auto differ = [&](const std::string& field, int64_t a, int64_t b) {
        if (a != b) {
            problems->push_back(what + ": " + field + " " + std::to_string(a) + " on the raw record, " +
                                std::to_string(b) + " through host/");
        }
    };
    differ("result", raw.result, host.result);
    differ("imageMode", raw.mode, host.mode);
    differ("rows", raw.rows, host.rows);
    differ("columns", raw.columns, host.columns);
    differ("depth", raw.depth, host.depth);
    differ("planes", raw.planes, host.planes);
    differ("imageHRes", raw.hRes, host.hRes);
    differ("imageVRes", raw.vRes, host.vRes);
    if (raw.image != host.image) problems->push_back(what + ": the images differ");
    if (raw.progress != host.progress) {
        problems->push_back(what + ": progress" + Text(raw.progress) + " on the raw record," + Text(host.progress) +
                            " through host/");
    }
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    tniff::HostFile file;
    if (!file.Open(path, tniff::HostFile::Mode::read)) return bytes;
    uint8_t chunk[4096];
    for (;;) {
        uint32_t n = tniff::FileHandleRead(file.handle(), chunk, sizeof chunk);
        if (n == tniff::kFileCallFailed || n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    tniff::HostFile file;
    return file.Open(path, tniff::HostFile::Mode::write) &&
           tniff::FileHandleWrite(file.handle(), bytes.data(), static_cast<uint32_t>(bytes.size())) == bytes.size();
}

// Flat stretches (run-length tiles) beside noise (raw tiles), over more than one tile.
tniff::Image PatternImage(int width, int height, int planes) {
    tniff::Image image(width, height, planes);
    uint32_t state = 2463534242u;
    for (int p = 0; p < planes; ++p) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                image.at(p, y, x) = x < 64 ? static_cast<uint8_t>(40 * p + y / 8) : static_cast<uint8_t>(state >> 24);
            }
        }
    }
    return image;
}

}  // namespace

std::vector<std::string> CompareRawRecordWithHost(PluginEntryProc entry, const RawRecordFiles& files) {
    std::vector<std::string> problems;
    const std::string& rawSaved = files.rawSave;
    const std::string& hostSaved = files.hostSave;
    const std::string& depthFile = files.depth;

    // Saving: the same image, the same bytes.
    const tniff::Image image = PatternImage(90, 40, 4);
    std::vector<std::pair<int32_t, int32_t>> rawProgress, hostProgress;
    {
        RawHost raw(entry, &problems);
        OSErr result = raw.Save(image, rawSaved);
        if (result != noErr) problems.push_back("save on the raw record gives " + std::to_string(result));
        rawProgress = raw.progress();
    }
    {
        tniff::Host host(entry);
        OSErr result = host.Save(image, hostSaved);
        if (result != noErr) problems.push_back("save through host/ gives " + std::to_string(result));
        for (const tniff::ProgressCall& p : host.progressCalls()) hostProgress.push_back(std::make_pair(p.done, p.total));
        for (const tniff::Violation& v : host.TakeViolations()) problems.push_back("host/: " + v.text);
    }
    std::vector<uint8_t> rawBytes = FileBytes(rawSaved), hostBytes = FileBytes(hostSaved);
    if (rawBytes.empty() || rawBytes != hostBytes) {
        problems.push_back("saved files differ: " + std::to_string(rawBytes.size()) + " bytes on the raw record, " +
                           std::to_string(hostBytes.size()) + " through host/");
    }
    if (rawProgress != hostProgress) {
        problems.push_back("save progress" + Text(rawProgress) + " on the raw record," + Text(hostProgress) +
                           " through host/");
    }

    // Opening: what was saved, and a gray image with a depth buffer.
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(70, 30, 1, true);
    fileSpec.image.FillRandom(7, 5);
    fileSpec.image.FillRandomDepth(8);
    if (!WriteFileBytes(depthFile, iffbuild::BuildFile(fileSpec).bytes)) problems.push_back("cannot write " + depthFile);

    const std::pair<const char*, std::string> opens[] = {{"open of the saved RGBA image", rawSaved},
                                                         {"open of a gray image with depth", depthFile}};
    for (const auto& open : opens) {
        Opened raw;
        {
            RawHost host(entry, &problems);
            raw = host.Open(open.second);
        }
        Opened host = OpenWithHost(entry, open.second, &problems);
        if (raw.result != noErr) problems.push_back(std::string(open.first) + " gives " + std::to_string(raw.result));
        CompareOpens(open.first, raw, host, &problems);
        if (open.second == rawSaved && raw.image != image) problems.push_back("the saved image opens otherwise");
    }
    return problems;
}
