// The speed benchmark: the module's save and open through ENTRYPOINT on our host, `tniff convert`
// both ways as a user runs it, and beside them, in the same run and the same folder, the I/O floor
// (the same pixel bytes written and read back with plain large transfers) and libpng's encode and
// decode of the same pixels at its defaults.
//
//   tniff_bench [--size N] [--runs R] [--small-count C] [--small-size S] [--dir DIR] [--tool PATH]
//               [--batch-count F] [--batch-size WxH] [--only W1|W2|W3|W4|B1]
//               [--python PACKAGE_PARENT [--python-exe PATH]]
//
// Workloads (made here, the same bytes on every run):
//   W1  N x N RGBA render-like: smooth shaded discs on a flat, transparent background
//   W2  N x N RGB noise
//   W3  N x N RGBA with a depth buffer, composed by the test-side file builder (open only)
//   W4  C images of S x S RGBA render-like, saved and opened one after another
//   B1  F frames of W x H RGBA render-like (200 of 1920 x 1080 unless told), .iff to PNG with
//       tniff: one command for each frame, then one command for all of them with -j 1 and -j 2
// With --python (the folder holding the built package tarniff), W1 and W3 also time
// tarniff.read of the same file in one Python process (python_read.py), and Pillow's
// Image.open(file).size, which reads the chunk headers only.
// Every figure is the median of R runs. One line per figure starting "BENCH" is for machines.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <png.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "host/host.h"
#include "host/image.h"
#include "tarniff/tarniff.h"
#include "tests/support/iff_builder.h"

extern char** environ;

namespace {

// The module as an editor has it: the module file, loaded once.
PluginEntryProc Entry() {
    static const tarniff::ModuleFile module = tarniff::LoadModuleFile(tarniff::DefaultModulePath());
    return module.entry;
}

struct Options {
    int size = 4096;
    int runs = 3;
    int smallCount = 200;
    int smallSize = 256;
    std::string dir = "bench-files";
    std::string only;  // run only this workload (W1 ... W4, B1); empty: all
    int batchCount = 200;
    int batchWidth = 1920;
    int batchHeight = 1080;
#ifdef TNIFF_TOOL_FILE
    std::string tool = TNIFF_TOOL_FILE;
#else
    std::string tool;
#endif
    std::string python;  // the folder holding the package tarniff; empty: no Python row
    std::string pythonExe = "/usr/bin/python3";  // Debian's, which has NumPy
};

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "tniff_bench: %s\n", why.c_str());
    std::exit(1);
}

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

uint64_t FileSize(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

// ---- Images -------------------------------------------------------------------------------------

// Pixels interleaved, rows from the top, as PNG and PAM files hold them.
struct Pixels {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> depth;  // render-like only: per pixel, 0 where nothing was drawn
};

struct Rng {
    uint64_t state;
    uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
};

// Shaded discs on a transparent background: long runs outside the shapes, slowly changing values
// inside, as in a rendered frame. Integer arithmetic only, so the bytes are the same everywhere.
Pixels RenderLike(int width, int height, uint64_t seed) {
    Pixels image{width, height, 4, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4, 0),
                 std::vector<uint32_t>(static_cast<size_t>(width) * height, 0)};
    Rng rng{seed * 0x9E3779B97F4A7C15ull + 1};
    const int shapes = 24;
    const int side = std::min(width, height);
    for (int s = 0; s < shapes; ++s) {
        const int64_t r = side / 16 + rng.Below(side / 6 + 1);
        const int cx = rng.Below(width), cy = rng.Below(height);
        const int base[3] = {64 + rng.Below(192), 64 + rng.Below(192), 64 + rng.Below(192)};
        const int64_t r2 = r * r;
        for (int y = std::max<int64_t>(0, cy - r); y < std::min<int64_t>(height, cy + r + 1); ++y) {
            for (int x = std::max<int64_t>(0, cx - r); x < std::min<int64_t>(width, cx + r + 1); ++x) {
                const int64_t dx = x - cx, dy = y - cy, d2 = dx * dx + dy * dy;
                if (d2 > r2) continue;
                const int64_t light = 96 + 160 * (r2 - d2) / r2;  // 96 at the rim, 256 in the middle
                uint8_t* pixel = &image.bytes[(static_cast<size_t>(y) * width + x) * 4];
                for (int c = 0; c < 3; ++c) pixel[c] = static_cast<uint8_t>(base[c] * light / 256);
                pixel[3] = 255;
                image.depth[static_cast<size_t>(y) * width + x] =
                    0x3F000000u + static_cast<uint32_t>(0x7FFFFF * d2 / r2);
            }
        }
    }
    return image;
}

Pixels Noise(int width, int height, int channels, uint64_t seed) {
    Pixels image{width, height, channels, std::vector<uint8_t>(static_cast<size_t>(width) * height * channels), {}};
    Rng rng{seed * 0x9E3779B97F4A7C15ull + 7};
    size_t i = 0;
    for (; i + 8 <= image.bytes.size(); i += 8) {
        const uint64_t v = rng.Next();
        std::memcpy(&image.bytes[i], &v, 8);
    }
    for (; i < image.bytes.size(); ++i) image.bytes[i] = static_cast<uint8_t>(rng.Next());
    return image;
}

tniff::Image HostImage(const Pixels& pixels) {
    tniff::Image image(pixels.width, pixels.height, pixels.channels);
    const size_t area = static_cast<size_t>(pixels.width) * pixels.height;
    for (int c = 0; c < pixels.channels; ++c) {
        uint8_t* plane = &image.at(c, 0, 0);
        const uint8_t* from = pixels.bytes.data() + c;
        for (size_t i = 0; i < area; ++i) plane[i] = from[i * pixels.channels];
    }
    return image;
}

// ---- Files --------------------------------------------------------------------------------------

void WriteAll(const std::string& path, const uint8_t* bytes, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Die(path + ": " + std::strerror(errno));
    const size_t kPiece = 8u << 20;
    for (size_t done = 0; done < size;) {
        ssize_t put = write(fd, bytes + done, std::min(kPiece, size - done));
        if (put <= 0) Die(path + ": write failed");
        done += static_cast<size_t>(put);
    }
    close(fd);
}

void ReadAll(const std::string& path, uint8_t* bytes, size_t size) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) Die(path + ": " + std::strerror(errno));
    const size_t kPiece = 8u << 20;
    for (size_t done = 0; done < size;) {
        ssize_t got = read(fd, bytes + done, std::min(kPiece, size - done));
        if (got <= 0) Die(path + ": read failed");
        done += static_cast<size_t>(got);
    }
    close(fd);
}

void WritePam(const std::string& path, const Pixels& pixels) {
    static const char* const kTypes[] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
    std::string header = "P7\nWIDTH " + std::to_string(pixels.width) + "\nHEIGHT " + std::to_string(pixels.height) +
                         "\nDEPTH " + std::to_string(pixels.channels) + "\nMAXVAL 255\nTUPLTYPE " +
                         kTypes[pixels.channels] + "\nENDHDR\n";
    std::vector<uint8_t> file(header.begin(), header.end());
    file.insert(file.end(), pixels.bytes.begin(), pixels.bytes.end());
    WriteAll(path, file.data(), file.size());
}

// ---- libpng at its defaults ---------------------------------------------------------------------

bool PngEncode(const Pixels& pixels, const std::string& path) {
    static const int kTypes[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                 PNG_COLOR_TYPE_RGB_ALPHA};
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows(static_cast<size_t>(pixels.height));
    for (size_t y = 0; y < rows.size(); ++y) {
        rows[y] = const_cast<png_bytep>(pixels.bytes.data() + y * pixels.width * pixels.channels);
    }
    bool ok = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_set_IHDR(png, info, static_cast<png_uint_32>(pixels.width), static_cast<png_uint_32>(pixels.height), 8,
                     kTypes[pixels.channels], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        png_write_image(png, rows.data());
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return ok;
}

bool PngDecode(const std::string& path, std::unique_ptr<uint8_t[]>* out) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    bool ok = false;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_read_info(png, info);
        const png_uint_32 height = png_get_image_height(png, info);
        const size_t rowBytes = png_get_rowbytes(png, info);
        out->reset(new uint8_t[rowBytes * height]);
        rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) rows[y] = out->get() + y * rowBytes;
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        ok = true;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return ok;
}

// ---- tniff as a user runs it --------------------------------------------------------------------

struct RunResult {
    double ms = 0;
    long peakKb = 0;
    double cpuMs = 0;  // user and system time of the run
};

// CPU time of every tniff run so far: on a busy machine the wall clock also counts the time
// other programs had the processor, so each figure is given in CPU time as well.
double gToolCpuMs = 0;

double CpuMsNow() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3 + gToolCpuMs;
}

// tniff runs are started by a small process forked before any image is made: a child's peak
// resident memory as the system reports it includes the memory of the process that started it
// (up to its exec), so the starter must be small for the figure to be tniff's own.
struct Launcher {
    int toLauncher = -1;
    int fromLauncher = -1;
};
Launcher gLauncher;

void LauncherLoop(int commands, int answers) {
    FILE* in = fdopen(commands, "r");
    static char line[1 << 16];
    while (in != nullptr && std::fgets(line, sizeof line, in) != nullptr) {
        std::vector<std::string> all;
        std::string current;
        for (const char* c = line; *c != '\0' && *c != '\n'; ++c) {
            if (*c == '\t') {
                all.push_back(current);
                current.clear();
            } else {
                current += *c;
            }
        }
        all.push_back(current);
        const std::string log = all[0];
        all.erase(all.begin());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const double start = NowMs();
        pid_t child = 0;
        int status = -1;
        struct rusage usage;
        std::memset(&usage, 0, sizeof usage);
        if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
            if (wait4(child, &status, 0, &usage) != child) status = -1;
        }
        const double ms = NowMs() - start;
        posix_spawn_file_actions_destroy(&actions);
        const int ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        char answer[128];
        const double cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
        const int length =
            std::snprintf(answer, sizeof answer, "%d %.3f %ld %.3f\n", ok, ms, usage.ru_maxrss, cpu);
        if (write(answers, answer, static_cast<size_t>(length)) != length) break;
    }
    _exit(0);
}

void StartLauncher() {
    int commands[2], answers[2];
    if (pipe(commands) != 0 || pipe(answers) != 0) Die("no pipes");
    pid_t pid = fork();
    if (pid < 0) Die("cannot fork");
    if (pid == 0) {
        close(commands[1]);
        close(answers[0]);
        LauncherLoop(commands[0], answers[1]);
    }
    close(commands[0]);
    close(answers[1]);
    gLauncher.toLauncher = commands[1];
    gLauncher.fromLauncher = answers[0];
}

RunResult RunProgram(const Options& options, const std::string& program,
                     const std::vector<std::string>& arguments) {
    const std::string log = options.dir + "/tool.log";
    std::string command = log + "\t" + program;
    for (const std::string& a : arguments) command += "\t" + a;
    command += "\n";
    if (write(gLauncher.toLauncher, command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
        Die("the launcher is gone");
    }
    std::string answer;
    char c;
    while (read(gLauncher.fromLauncher, &c, 1) == 1 && c != '\n') answer += c;
    int ok = 0;
    RunResult result;
    if (std::sscanf(answer.c_str(), "%d %lf %ld %lf", &ok, &result.ms, &result.peakKb, &result.cpuMs) != 4) {
        Die("the launcher is gone");
    }
    gToolCpuMs += result.cpuMs;
    if (!ok) Die(program + " failed: see " + log);
    return result;
}

RunResult RunTool(const Options& options, const std::vector<std::string>& arguments) {
    return RunProgram(options, options.tool, arguments);
}

// ---- Measuring and reporting ----------------------------------------------------------------------

struct Figure {
    std::string workload;
    std::string operation;  // save, open
    std::string who;        // module, tniff, floor, png
    double ms = 0;
    double cpuMs = 0;
    uint64_t pixelBytes = 0;
    uint64_t fileBytes = 0;
    long peakKb = -1;       // resident memory of a tniff run; -1 when not measured
    int64_t bufferBytes = -1;  // peak of the module's live host buffers; -1 when not measured
};

std::vector<Figure> gFigures;
std::string gBatchSummary;  // B1's comparison, said after the table

// Runs work runs times; the figure gets the median wall time and the median CPU time.
void Time(Figure* figure, int runs, const std::function<void()>& work) {
    std::vector<double> times, cpu;
    for (int r = 0; r < runs; ++r) {
        const double start = NowMs(), startCpu = CpuMsNow();
        work();
        times.push_back(NowMs() - start);
        cpu.push_back(CpuMsNow() - startCpu);
    }
    figure->ms = Median(times);
    figure->cpuMs = Median(cpu);
}

const Figure* Find(const std::string& workload, const std::string& operation, const std::string& who) {
    for (const Figure& f : gFigures) {
        if (f.workload == workload && f.operation == operation && f.who == who) return &f;
    }
    return nullptr;
}

std::string Ratio(const Figure& f, const Figure* base) {
    if (base == nullptr || base->ms <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", f.ms / base->ms);
    return text;
}

std::string CpuRatio(const Figure& f, const Figure* base) {
    if (base == nullptr || base->cpuMs <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", f.cpuMs / base->cpuMs);
    return text;
}

// One machine-readable line per figure.
void PrintLine(const Figure& f, int runs) {
    const double mbps = f.ms > 0 ? f.pixelBytes / 1e6 / (f.ms / 1000) : 0;
    const Figure* floor = Find(f.workload, f.operation, "floor");
    const Figure* png = Find(f.workload, f.operation, "png");
    std::printf("BENCH workload=%s op=%s who=%s ms=%.2f cpu_ms=%.2f mbps=%.1f floor_ratio=%s png_ratio=%s "
                "cpu_floor_ratio=%s cpu_png_ratio=%s pixel_bytes=%llu "
                "file_bytes=%llu peak_rss_kb=%ld module_buffer_peak_bytes=%lld runs=%d\n",
                f.workload.c_str(), f.operation.c_str(), f.who.c_str(), f.ms, f.cpuMs, mbps, Ratio(f, floor).c_str(),
                Ratio(f, png).c_str(), CpuRatio(f, floor).c_str(), CpuRatio(f, png).c_str(), static_cast<unsigned long long>(f.pixelBytes),
                static_cast<unsigned long long>(f.fileBytes), f.peakKb, static_cast<long long>(f.bufferBytes), runs);
}

// Each figure as soon as it is measured, so that an interrupted run still tells something.
void Record(const Figure& f) {
    gFigures.push_back(f);
    std::fprintf(stderr, "  %s %s %s: %.1f ms (CPU %.1f ms)\n", f.workload.c_str(), f.operation.c_str(),
                 f.who.c_str(), f.ms, f.cpuMs);
}

void Report(const Options& options) {
    std::printf("\n%-4s %-5s %-7s %9s %9s %8s %8s %8s %8s %8s %11s %9s %9s\n", "work", "op", "who", "ms", "CPU ms",
                "MB/s", "x floor", "x png", "CPU x fl", "CPU x png", "file bytes", "peak RSS", "mod bufs");
    for (const Figure& f : gFigures) {
        const double mbps = f.ms > 0 ? f.pixelBytes / 1e6 / (f.ms / 1000) : 0;
        const Figure* floor = Find(f.workload, f.operation, "floor");
        const Figure* png = Find(f.workload, f.operation, "png");
        std::string peak = f.peakKb >= 0 ? std::to_string(f.peakKb / 1024) + " MiB" : "-";
        std::string buffers = f.bufferBytes >= 0 ? std::to_string(f.bufferBytes / 1024) + " KiB" : "-";
        std::printf("%-4s %-5s %-7s %9.1f %9.1f %8.0f %8s %8s %8s %8s %11llu %9s %9s\n", f.workload.c_str(),
                    f.operation.c_str(), f.who.c_str(), f.ms, f.cpuMs, mbps, Ratio(f, floor).c_str(),
                    Ratio(f, png).c_str(), CpuRatio(f, floor).c_str(), CpuRatio(f, png).c_str(),
                    static_cast<unsigned long long>(f.fileBytes), peak.c_str(), buffers.c_str());
    }
    std::printf("\n");
    for (const Figure& f : gFigures) PrintLine(f, options.runs);
    if (!gBatchSummary.empty()) std::printf("\n%s", gBatchSummary.c_str());
    for (const char* workload : {"W1", "W3"}) {
        const Figure* python = Find(workload, "open", "python");
        const Figure* module = Find(workload, "open", "module");
        if (python == nullptr || module == nullptr || module->ms <= 0 || module->cpuMs <= 0) continue;
        std::printf("%s: tarniff.read takes %.2f times the module's open (CPU %.2f)\n", workload,
                    python->ms / module->ms, python->cpuMs / module->cpuMs);
        const Figure* size = Find(workload, "size", "pillow");
        if (size == nullptr || python->ms <= 0 || python->cpuMs <= 0) continue;
        std::printf("%s: Image.open(...).size takes %.4f of tarniff.read's time (CPU %.4f)\n", workload,
                    size->ms / python->ms, size->cpuMs / python->cpuMs);
    }
}

// tarniff.read of the file in one Python process, and Pillow's Image.open(file).size (the
// chunk headers only) where Pillow is there: the figures python_read.py prints.
void PythonRead(const Options& options, const std::string& name, const std::string& iff, uint64_t pixelBytes,
                uint64_t fileBytes) {
    if (options.python.empty()) return;
    const std::string command = options.pythonExe + " " + TNIFF_BENCH_PYTHON_SCRIPT + " '" + options.python + "' '" + iff +
                                "' " + std::to_string(options.runs);
    FILE* output = popen(command.c_str(), "r");
    if (output == nullptr) Die("cannot run " + command);
    Figure read{name, "open", "python", 0, 0, pixelBytes, fileBytes, -1, -1};
    Figure size{name, "size", "pillow", 0, 0, 0, fileBytes, -1, -1};
    const int got = std::fscanf(output, "%lf %lf %lf %lf", &read.ms, &read.cpuMs, &size.ms, &size.cpuMs);
    if (pclose(output) != 0 || got != 4) Die(name + ": the Python read failed: " + command);
    Record(read);
    if (size.ms >= 0) Record(size);
}

// One large image: module save and open in process, floor, PNG, and tniff both ways.
void LargeWorkload(const Options& options, const std::string& name, const Pixels& pixels) {
    const std::string base = options.dir + "/" + name;
    const uint64_t pixelBytes = pixels.bytes.size();
    const tniff::Image image = HostImage(pixels);
    const std::string iff = base + ".iff";

    Figure save{name, "save", "module", 0, 0, pixelBytes, 0, -1, -1};
    Time(&save, options.runs, [&] {
        tniff::Host host(Entry());
        host.memory().ResetPeakBufferBytes();
        if (host.Save(image, iff) != noErr) Die(name + ": the module's save failed");
        save.bufferBytes = host.memory().PeakBufferBytes();
    });
    save.fileBytes = FileSize(iff);
    Record(save);
    Figure open{name, "open", "module", 0, 0, pixelBytes, save.fileBytes, -1, -1};
    bool checked = false;  // the first open is compared with the image saved
    Time(&open, options.runs, [&] {
        tniff::Host host(Entry());
        host.memory().ResetPeakBufferBytes();
        if (host.Open(iff) != noErr) Die(name + ": the module's open failed");
        open.bufferBytes = host.memory().PeakBufferBytes();
        if (!checked) {
            checked = true;
            if (host.image() != image) Die(name + ": the image read back differs from the one saved");
        }
    });
    Record(open);
    PythonRead(options, name, iff, pixelBytes, save.fileBytes);

    // Every open, the floor's and libpng's too, puts the pixels into memory fresh from the
    // system, as a new image needs; reading into pages touched before would leave out its cost.
    const std::string raw = base + ".raw";
    Figure floorSave{name, "save", "floor", 0, 0, pixelBytes, pixelBytes, -1, -1};
    Time(&floorSave, options.runs, [&] { WriteAll(raw, pixels.bytes.data(), pixels.bytes.size()); });
    Figure floorOpen{name, "open", "floor", 0, 0, pixelBytes, pixelBytes, -1, -1};
    Time(&floorOpen, options.runs, [&] {
        std::unique_ptr<uint8_t[]> fresh(new uint8_t[pixels.bytes.size()]);
        ReadAll(raw, fresh.get(), pixels.bytes.size());
    });
    Record(floorSave);
    Record(floorOpen);

    const std::string png = base + ".png";
    Figure pngSave{name, "save", "png", 0, 0, pixelBytes, 0, -1, -1};
    Time(&pngSave, options.runs, [&] {
        if (!PngEncode(pixels, png)) Die(name + ": libpng could not encode");
    });
    pngSave.fileBytes = FileSize(png);
    Figure pngOpen{name, "open", "png", 0, 0, pixelBytes, pngSave.fileBytes, -1, -1};
    Time(&pngOpen, options.runs, [&] {
        std::unique_ptr<uint8_t[]> fresh;
        if (!PngDecode(png, &fresh)) Die(name + ": libpng could not decode");
    });
    Record(pngSave);
    Record(pngOpen);

    const std::string pam = base + ".pam", toolIff = base + "-tool.iff", backPam = base + "-back.pam";
    WritePam(pam, pixels);
    Figure toolSave{name, "save", "tniff", 0, 0, pixelBytes, 0, -1, -1};
    Figure toolOpen{name, "open", "tniff", 0, 0, pixelBytes, 0, -1, -1};
    if (!options.tool.empty()) {
        std::vector<double> saves, opens, saveCpu, openCpu;
        for (int r = 0; r < options.runs; ++r) {
            RunResult s = RunTool(options, {"convert", pam, toolIff});
            saves.push_back(s.ms);
            saveCpu.push_back(s.cpuMs);
            toolSave.peakKb = std::max(toolSave.peakKb, s.peakKb);
            RunResult o = RunTool(options, {"convert", toolIff, backPam});
            opens.push_back(o.ms);
            openCpu.push_back(o.cpuMs);
            toolOpen.peakKb = std::max(toolOpen.peakKb, o.peakKb);
        }
        toolSave.ms = Median(saves);
        toolOpen.ms = Median(opens);
        toolSave.cpuMs = Median(saveCpu);
        toolOpen.cpuMs = Median(openCpu);
        toolSave.fileBytes = FileSize(toolIff);
        toolOpen.fileBytes = toolSave.fileBytes;
    }

    if (!options.tool.empty()) {
        Record(toolSave);
        Record(toolOpen);
    }
    std::fprintf(stderr, "  %s done\n", name.c_str());
}

// RGBA with a depth buffer, composed by the test-side builder (the module never writes depth):
// the module's open, the floor for the pixel bytes the host receives, and tniff's open to PAM.
void DepthWorkload(const Options& options, const Pixels& pixels) {
    const std::string name = "W3";
    const std::string base = options.dir + "/" + name;
    iffbuild::FileSpec fileSpec;
    fileSpec.image.width = static_cast<uint32_t>(pixels.width);
    fileSpec.image.height = static_cast<uint32_t>(pixels.height);
    fileSpec.image.channels = 4;
    fileSpec.image.colour = pixels.bytes;
    fileSpec.image.depth = pixels.depth;
    const iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
    const std::string iff = base + ".iff";
    WriteAll(iff, built.bytes.data(), built.bytes.size());
    // What the host holds afterwards: four colour planes and the depth plane.
    const uint64_t pixelBytes = static_cast<uint64_t>(pixels.width) * pixels.height * 5;

    Figure open{name, "open", "module", 0, 0, pixelBytes, built.bytes.size(), -1, -1};
    Time(&open, options.runs, [&] {
        tniff::Host host(Entry());
        host.memory().ResetPeakBufferBytes();
        if (host.Open(iff) != noErr) Die(name + ": the module's open failed");
        open.bufferBytes = host.memory().PeakBufferBytes();
    });

    std::vector<uint8_t> bytes(pixelBytes, 0x5A);
    const std::string raw = base + ".raw";
    WriteAll(raw, bytes.data(), bytes.size());
    Figure floorOpen{name, "open", "floor", 0, 0, pixelBytes, pixelBytes, -1, -1};
    Time(&floorOpen, options.runs, [&] {
        std::unique_ptr<uint8_t[]> fresh(new uint8_t[pixelBytes]);
        ReadAll(raw, fresh.get(), pixelBytes);
    });

    Record(open);
    Record(floorOpen);
    PythonRead(options, name, iff, pixelBytes, built.bytes.size());
    if (!options.tool.empty()) {
        // tniff's open as a user runs it, median of the runs; then the same open with the depth
        // values as stored written beside, decoded by tniff's own reader in the walk it makes
        // anyway.
        auto toolOpen = [&](const char* who, const std::vector<std::string>& arguments) {
            Figure figure{name, "open", who, 0, 0, pixelBytes, built.bytes.size(), -1, -1};
            std::vector<double> opens, openCpu;
            for (int r = 0; r < options.runs; ++r) {
                RunResult o = RunTool(options, arguments);
                opens.push_back(o.ms);
                openCpu.push_back(o.cpuMs);
                figure.peakKb = std::max(figure.peakKb, o.peakKb);
            }
            figure.ms = Median(opens);
            figure.cpuMs = Median(openCpu);
            Record(figure);
        };
        toolOpen("tniff", {"convert", iff, base + "-back.pam"});
        toolOpen("tniff-raw", {"convert", iff, base + "-back.pam", "--raw-depth", base + "-z.tif"});
    }
    std::fprintf(stderr, "  %s done\n", name.c_str());
}

// Many small images one after another: the cost of each operation beyond its pixels.
void SmallWorkload(const Options& options) {
    const std::string name = "W4";
    const std::string base = options.dir + "/" + name;
    std::vector<Pixels> images;
    std::vector<tniff::Image> hostImages;
    for (int i = 0; i < options.smallCount; ++i) {
        images.push_back(RenderLike(options.smallSize, options.smallSize, 1000 + i));
        hostImages.push_back(HostImage(images.back()));
    }
    const uint64_t pixelBytes = static_cast<uint64_t>(options.smallCount) * options.smallSize * options.smallSize * 4;
    auto path = [&](int i, const char* extension) { return base + "-" + std::to_string(i) + extension; };

    Figure save{name, "save", "module", 0, 0, pixelBytes, 0, -1, -1};
    Time(&save, options.runs, [&] {
        for (int i = 0; i < options.smallCount; ++i) {
            tniff::Host host(Entry());
            if (host.Save(hostImages[i], path(i, ".iff")) != noErr) Die(name + ": the module's save failed");
        }
    });
    for (int i = 0; i < options.smallCount; ++i) save.fileBytes += FileSize(path(i, ".iff"));
    Figure open{name, "open", "module", 0, 0, pixelBytes, save.fileBytes, -1, -1};
    Time(&open, options.runs, [&] {
        for (int i = 0; i < options.smallCount; ++i) {
            tniff::Host host(Entry());
            if (host.Open(path(i, ".iff")) != noErr) Die(name + ": the module's open failed");
        }
    });

    Figure floorSave{name, "save", "floor", 0, 0, pixelBytes, pixelBytes, -1, -1};
    Time(&floorSave, options.runs, [&] {
        for (int i = 0; i < options.smallCount; ++i) {
            WriteAll(path(i, ".raw"), images[i].bytes.data(), images[i].bytes.size());
        }
    });
    Figure floorOpen{name, "open", "floor", 0, 0, pixelBytes, pixelBytes, -1, -1};
    Time(&floorOpen, options.runs, [&] {
        for (int i = 0; i < options.smallCount; ++i) {
            std::unique_ptr<uint8_t[]> fresh(new uint8_t[images[i].bytes.size()]);
            ReadAll(path(i, ".raw"), fresh.get(), images[i].bytes.size());
        }
    });
    Figure pngSave{name, "save", "png", 0, 0, pixelBytes, 0, -1, -1};
    Time(&pngSave, options.runs, [&] {
        for (int i = 0; i < options.smallCount; ++i) {
            if (!PngEncode(images[i], path(i, ".png"))) Die(name + ": libpng could not encode");
        }
    });
    for (int i = 0; i < options.smallCount; ++i) pngSave.fileBytes += FileSize(path(i, ".png"));
    Figure pngOpen{name, "open", "png", 0, 0, pixelBytes, pngSave.fileBytes, -1, -1};
    Time(&pngOpen, options.runs, [&] {
        for (int i = 0; i < options.smallCount; ++i) {
            std::unique_ptr<uint8_t[]> fresh;
            if (!PngDecode(path(i, ".png"), &fresh)) Die(name + ": libpng could not decode");
        }
    });
    for (const Figure& f : {save, open, floorSave, floorOpen, pngSave, pngOpen}) Record(f);

    if (!options.tool.empty()) {
        for (int i = 0; i < options.smallCount; ++i) WritePam(path(i, ".pam"), images[i]);
        Figure toolSave{name, "save", "tniff", 0, 0, pixelBytes, save.fileBytes, -1, -1};
        Figure toolOpen{name, "open", "tniff", 0, 0, pixelBytes, save.fileBytes, -1, -1};
        Time(&toolSave, options.runs, [&] {
            for (int i = 0; i < options.smallCount; ++i) {
                RunResult s = RunTool(options, {"convert", path(i, ".pam"), path(i, "-tool.iff")});
                toolSave.peakKb = std::max(toolSave.peakKb, s.peakKb);
            }
        });
        Time(&toolOpen, options.runs, [&] {
            for (int i = 0; i < options.smallCount; ++i) {
                RunResult o = RunTool(options, {"convert", path(i, "-tool.iff"), path(i, "-back.pam")});
                toolOpen.peakKb = std::max(toolOpen.peakKb, o.peakKb);
            }
        });
        Record(toolSave);
        Record(toolOpen);
    }
    std::fprintf(stderr, "  %s done\n", name.c_str());
}

// Frames of a render as a renderer leaves them, converted to PNG by tniff: each with a command
// of its own, as a shell loop does, and all with one command, one and two at a time. Every
// output of a batch must be the same bytes as the single command's.
void BatchWorkload(const Options& options) {
    const std::string name = "B1";
    const std::string base = options.dir + "/" + name;
    const int count = options.batchCount;
    auto frame = [&](int i, const std::string& folder, const char* extension) {
        char number[16];
        std::snprintf(number, sizeof number, "%04d", i);
        return base + folder + "/frame." + number + extension;
    };
    for (const char* folder : {"", "-single", "-j1", "-j2"}) mkdir((base + folder).c_str(), 0755);
    uint64_t fileBytes = 0;
    for (int i = 0; i < count; ++i) {
        tniff::Host host(Entry());
        if (host.Save(HostImage(RenderLike(options.batchWidth, options.batchHeight, 5000 + i)), frame(i, "", ".iff")) !=
            noErr) {
            Die(name + ": the module's save failed");
        }
        fileBytes += FileSize(frame(i, "", ".iff"));
    }
    const uint64_t pixelBytes = static_cast<uint64_t>(count) * options.batchWidth * options.batchHeight * 4;
    std::vector<std::string> inputs;
    for (int i = 0; i < count; ++i) inputs.push_back(frame(i, "", ".iff"));

    Figure single{name, "batch", "single", 0, 0, pixelBytes, fileBytes, -1, -1};
    Time(&single, options.runs, [&] {
        for (int i = 0; i < count; ++i) {
            RunResult r = RunTool(options, {"--quiet", "convert", inputs[static_cast<size_t>(i)], frame(i, "-single", ".png")});
            single.peakKb = std::max(single.peakKb, r.peakKb);
        }
    });
    Record(single);
    Figure byJobs[2];  // copies: recording more figures may move those in gFigures
    for (int jobs : {1, 2}) {
        const std::string folder = "-j" + std::to_string(jobs);
        Figure batch{name, "batch", "tniff-j" + std::to_string(jobs), 0, 0, pixelBytes, fileBytes, -1, -1};
        std::vector<std::string> arguments = {"--quiet", "convert", "--overwrite", "-j", std::to_string(jobs),
                                              "--to", "png", "-o", base + folder};
        arguments.insert(arguments.end(), inputs.begin(), inputs.end());
        Time(&batch, options.runs, [&] { batch.peakKb = std::max(batch.peakKb, RunTool(options, arguments).peakKb); });
        for (int i = 0; i < count; ++i) {
            std::string a, b;
            for (auto* text : {&a, &b}) {
                const std::string path = text == &a ? frame(i, "-single", ".png") : frame(i, folder, ".png");
                std::vector<uint8_t> bytes(FileSize(path));
                ReadAll(path, bytes.data(), bytes.size());
                text->assign(bytes.begin(), bytes.end());
            }
            if (a != b) Die(name + ": " + frame(i, folder, ".png") + " differs from the single command's output");
        }
        Record(batch);
        byJobs[jobs - 1] = batch;
    }
    // Checking the sequence (every tile's run stream included) against reading its bytes: the
    // floor of a check is cat of the same files.
    Figure check{name, "check", "tniff", 0, 0, pixelBytes, fileBytes, -1, -1};
    Figure cat{name, "check", "floor", 0, 0, pixelBytes, fileBytes, -1, -1};
    const std::string frames = "'" + base + "'/frame.*.iff";
    Time(&check, options.runs, [&] {
        check.peakKb = RunProgram(options, "/bin/sh",
                                  {"-c", "exec '" + options.tool + "' info --brief " + frames}).peakKb;
    });
    Time(&cat, options.runs,
         [&] { RunProgram(options, "/bin/sh", {"-c", "exec cat " + frames}); });
    Record(check);
    Record(cat);

    char summary[768];
    std::snprintf(summary, sizeof summary,
                  "B1: %d frames of %d x %d: -j 2 is %.2fx as fast as -j 1 (CPU %.2fx as much); -j 1 takes %.2f of "
                  "the time of %d single commands (CPU %.2f)\n",
                  count, options.batchWidth, options.batchHeight, byJobs[0].ms / byJobs[1].ms,
                  byJobs[1].cpuMs / byJobs[0].cpuMs, byJobs[0].ms / single.ms, count, byJobs[0].cpuMs / single.cpuMs);
    std::snprintf(summary + std::strlen(summary), sizeof summary - std::strlen(summary),
                  "B1: tniff info --brief of the %d frames takes %.2f times cat of them (CPU %.2f)\n", count,
                  check.ms / cat.ms, check.cpuMs / cat.cpuMs);
    gBatchSummary = summary;
    std::fprintf(stderr, "  %s", summary);
    std::fprintf(stderr, "  %s done\n", name.c_str());
}

int ParseInt(const char* text, const char* what) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 32767) Die(std::string("bad ") + what + ": " + text);
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) Die("usage: tniff_bench [--size N] [--runs R] [--small-count C] [--small-size S] "
                                  "[--dir DIR] [--tool PATH] [--batch-count F] [--batch-size WxH] "
                                  "[--only W1|W2|W3|W4|B1] [--python PACKAGE_PARENT [--python-exe PATH]]");
        if (a == "--size") options.size = ParseInt(value, "size");
        else if (a == "--runs") options.runs = ParseInt(value, "runs");
        else if (a == "--small-count") options.smallCount = ParseInt(value, "count");
        else if (a == "--small-size") options.smallSize = ParseInt(value, "size");
        else if (a == "--dir") options.dir = value;
        else if (a == "--tool") options.tool = value;
        else if (a == "--only") options.only = value;
        else if (a == "--python") options.python = value;
        else if (a == "--python-exe") options.pythonExe = value;
        else if (a == "--batch-count") options.batchCount = ParseInt(value, "count");
        else if (a == "--batch-size") {
            std::string text = value;
            size_t x = text.find('x');
            if (x == std::string::npos) Die(std::string("bad batch size: ") + value);
            options.batchWidth = ParseInt(text.substr(0, x).c_str(), "batch width");
            options.batchHeight = ParseInt(text.substr(x + 1).c_str(), "batch height");
        }
        else Die("unknown option " + a);
        ++i;
    }
    mkdir(options.dir.c_str(), 0755);
    StartLauncher();
    if (!options.tool.empty() && access(options.tool.c_str(), X_OK) != 0) Die(options.tool + ": not runnable");

    std::fprintf(stderr, "tniff_bench: %d x %d, %d small images of %d x %d, median of %d runs, in %s\n",
                 options.size, options.size, options.smallCount, options.smallSize, options.smallSize, options.runs,
                 options.dir.c_str());
    auto wanted = [&](const char* name) { return options.only.empty() || options.only == name; };
    const Pixels render = RenderLike(options.size, options.size, 1);
    if (wanted("W1")) LargeWorkload(options, "W1", render);
    if (wanted("W2")) LargeWorkload(options, "W2", Noise(options.size, options.size, 3, 2));
    if (wanted("W3")) DepthWorkload(options, render);
    if (wanted("W4")) SmallWorkload(options);
    // Starts tniff as a program: only where there is one to start.
    if (wanted("B1") && !options.tool.empty()) BatchWorkload(options);
    Report(options);
    return 0;
}
