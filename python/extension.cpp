// tarniff._tarniff: the package's bridge to the front-end library. It turns NumPy arrays into the
// library's images and back, and nothing else: files are opened and saved only through the
// module's ENTRYPOINT, with the library's checks, limits and words. The Python side (tarniff/
// __init__.py) checks arguments and gives the public names.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tarniff/tarniff.h"

namespace py = pybind11;
namespace lib = tarniff;

namespace {

// A loaded module is one instance per process, and our host runs one operation at a time on it
// (it keeps the operation's record in one place): Python threads take turns here, each with the
// GIL released while the module works.
std::mutex gModuleTurn;

bool InterpreterEnding() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// An interpreter that is ending stops a thread that asks it for the GIL by unwinding the
// thread's stack (pthread_exit), and an unwind through a noexcept destructor (pybind11's
// gil_scoped_release) ends the process with std::terminate. So the GIL is taken back here, in a
// plain call: a thread that finds the interpreter ending waits until the process ends instead,
// without touching Python objects that it no longer may; one that the end overtakes just after
// the look is unwound, which nothing on its way out refuses.
void TakeGilBack(PyThreadState* state) {
    while (InterpreterEnding()) std::this_thread::sleep_for(std::chrono::hours(1));
    PyEval_RestoreThread(state);
}

// work() run with the GIL released; what it gives or throws is handed on once the GIL is back.
template <class Work>
auto WithoutGil(Work&& work) -> decltype(work()) {
    PyThreadState* const state = PyEval_SaveThread();
    std::optional<decltype(work())> result;
    std::exception_ptr failure;
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    TakeGilBack(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// The same, with the module's turn taken: it is given up before the GIL is asked for.
template <class Work>
auto WithModule(Work&& work) -> decltype(work()) {
    return WithoutGil([&] {
        std::lock_guard<std::mutex> turn(gModuleTurn);
        return work();
    });
}

// The opened image handed to NumPy without a copy: the arrays share the host image's memory
// (plane after plane, each row after row), which the last of them to go frees. pixels is
// height x width x colour planes, a pixel's channels one plane apart; depth is height x width.
// pixels are the planes the library shows (PlanesShown): a file of depth alone is a gray image
// of its depth, as every front end shows it.
py::dict ImageArrays(tniff::Image&& opened, const lib::ShownPlanes& shown, int depthPlane) {
    auto* image = new tniff::Image(std::move(opened));
    py::capsule owner(image, [](void* image) { delete static_cast<tniff::Image*>(image); });
    const py::ssize_t h = image->height(), w = image->width(), plane = h * w, one = 1;
    const uint8_t* first = image->data() + shown.first * plane;
    py::dict arrays;
    arrays["pixels"] =
        py::array_t<uint8_t>({h, w, py::ssize_t(shown.count)}, {w, one, plane}, first, owner);
    arrays["depth_only"] = shown.depthOnly;
    arrays["depth"] =
        depthPlane < 0
            ? py::object(py::none())
            : py::array_t<uint8_t>({h, w}, {w, one}, image->data() + depthPlane * plane, owner);
    return arrays;
}

// Text for Python: a file name may hold any bytes, and those that are not UTF-8 show as U+FFFD,
// as in tniff's JSON.
py::str Text(const std::string& text) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "replace"));
}

// A file's bytes from any object that exports a buffer: only C-contiguous memory is taken (the
// exporter refuses a strided or reversed view with BufferError), and its length is the view's
// count of bytes, so nothing before or past the object is read.
class ContiguousBytes {
public:
    explicit ContiguousBytes(const py::buffer& source) {
        if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0)
            throw py::error_already_set();
    }
    ~ContiguousBytes() { PyBuffer_Release(&view_); }
    ContiguousBytes(const ContiguousBytes&) = delete;
    ContiguousBytes& operator=(const ContiguousBytes&) = delete;

    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// A path is handed to the system as a C string: a NUL byte inside it would silently name
// another file (the one before the NUL), so it is refused as open() refuses it.
void CheckPath(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throw py::value_error("tarniff: embedded null byte in the path");
}

// How an open goes, from the Python side's arguments. An incomplete image opens as far as it
// goes: the Python side decides (partial=). maxImageBytes 0 is the library's default limit, and
// raiseLimit says how the caller raises it, in the caller's terms.
struct OpenArguments {
    std::string name;
    bool rawDepth = false;
    uint64_t maxImageBytes = 0;
    std::string raiseLimit;

    lib::OpenSettings Settings() const {
        lib::OpenSettings settings;
        settings.name = name;
        settings.rawDepth = rawDepth;
        settings.maxImageBytes = maxImageBytes;
        settings.raiseLimit = raiseLimit;
        settings.partial = true;
        return settings;
    }
};

struct Module {
    lib::ModuleFile file;

    explicit Module(const std::string& path) : file(lib::LoadModuleFile(path)) {}

    // The file at path opened through the module; name is what messages call it. rawDepth: also
    // the depth values as stored.
    py::dict Open(const std::string& path, const std::string& name, bool rawDepth,
                  uint64_t maxImageBytes, const std::string& raiseLimit) {
        CheckPath(path);
        const lib::OpenSettings settings =
            OpenArguments{name, rawDepth, maxImageBytes, raiseLimit}.Settings();
        lib::OpenedFile opened =
            WithModule([&] { return lib::OpenThroughModule(file, path, settings); });
        return Found(opened, name);
    }

    // The same for a file's bytes.
    py::dict OpenBytes(const py::buffer& bytes, const std::string& name, bool rawDepth,
                       uint64_t maxImageBytes, const std::string& raiseLimit) {
        const ContiguousBytes data(bytes);
        const lib::OpenSettings settings =
            OpenArguments{name, rawDepth, maxImageBytes, raiseLimit}.Settings();
        lib::OpenedFile opened = WithModule(
            [&] { return lib::OpenBytesThroughModule(file, data.data(), data.size(), settings); });
        return Found(opened, name);
    }

    // What `tniff info --json` says of the file at path, calling it name; a file the module
    // refuses raises instead.
    std::string Info(const std::string& path, const std::string& name, uint64_t maxImageBytes,
                     const std::string& raiseLimit) {
        CheckPath(path);
        const lib::OpenSettings settings =
            OpenArguments{name, false, maxImageBytes, raiseLimit}.Settings();
        lib::Inspection inspection;
        inspection.path = name;
        inspection.file = WithModule([&] { return lib::OpenThroughModule(file, path, settings); });
        inspection.opened = true;
        return lib::InfoJson(inspection);
    }

    std::string InfoBytes(const py::buffer& bytes, const std::string& name, uint64_t maxImageBytes,
                          const std::string& raiseLimit) {
        const ContiguousBytes data(bytes);
        const lib::OpenSettings settings =
            OpenArguments{name, false, maxImageBytes, raiseLimit}.Settings();
        lib::Inspection inspection;
        inspection.path = name;
        inspection.file = WithModule(
            [&] { return lib::OpenBytesThroughModule(file, data.data(), data.size(), settings); });
        inspection.opened = true;
        return lib::InfoJson(inspection);
    }

    static py::dict Found(lib::OpenedFile& opened, const std::string& name) {
        const std::string incompleteness =
            lib::Incompleteness(opened, name);  // before the image moves on
        const lib::ShownPlanes shown = lib::PlanesShown(opened, name);
        py::dict result = ImageArrays(std::move(opened.image), shown, opened.depthPlane);
        result["depth_only_note"] = Text(shown.note);
        result["dpi"] =
            py::make_tuple(opened.description.horizontalDpi, opened.description.verticalDpi);
        result["complete"] = opened.complete();
        result["incompleteness"] = Text(incompleteness);
        result["tiles"] = py::make_tuple(opened.colourTilesRead, opened.colourTilesExpected,
                                         opened.depthTilesRead, opened.depthTilesExpected);
        result["raw_depth"] = py::none();
        if (!opened.rawDepth.values.empty()) {
            const lib::RawDepth& raw = opened.rawDepth;
            py::array_t<uint32_t> values({py::ssize_t(raw.height), py::ssize_t(raw.width)});
            std::memcpy(values.mutable_data(), raw.values.data(), raw.values.size() * 4);
            result["raw_depth"] = values;
        }
        return result;
    }

    // Saves pixels (height x width x channels, C-contiguous, checked by the caller) through the
    // module into the file at path. whole: the file appears complete or not at all.
    void Save(const py::array_t<uint8_t, py::array::c_style>& pixels, const std::string& path,
              const std::string& name, bool whole) {
        CheckPath(path);
        // Sizes the format cannot hold are refused before the pixels are copied.
        lib::CheckFormatLimits(pixels.shape(1), pixels.shape(0), name);
        const int width = static_cast<int>(pixels.shape(1));
        const int height = static_cast<int>(pixels.shape(0));
        const int channels = pixels.ndim() == 3 ? static_cast<int>(pixels.shape(2)) : 1;
        const uint8_t* source = pixels.data();
        WithoutGil([&] {
            lib::Raster raster(width, height, channels);
            std::memcpy(raster.pixels.data(), source, raster.pixels.size());
            const tniff::Image image = lib::ImageFromRaster(raster);
            raster = lib::Raster();
            std::lock_guard<std::mutex> turn(gModuleTurn);
            if (!whole) {
                lib::SaveThroughModule(file, image, path, lib::SaveSettings{name, nullptr});
                return true;
            }
            lib::PendingOutput output(path);
            lib::SaveThroughModule(file, image, output.path(), lib::SaveSettings{name, nullptr});
            output.Commit();
            return true;
        });
    }
};

// What the file's header and chunk headers say, without the module and without decoding a
// pixel: enough for a lazy open (Pillow's, whose image-size check comes before any pixel).
py::dict Look(const lib::HeaderLook& header) {
    py::dict look;
    look["recognised"] = header.recognised;
    look["has_header"] = header.hasHeader;
    look["whole"] = header.whole;
    look["width"] = header.width;
    look["height"] = header.height;
    look["channels"] = header.colourChannels;
    look["depth"] = header.hasDepth;
    return look;
}

py::dict LayoutOfFile(const std::string& path, const std::string& name) {
    CheckPath(path);
    return Look(WithoutGil([&] { return lib::LookAtHeader(path, name); }));
}

py::dict LayoutOfBytes(const py::buffer& bytes) {
    const ContiguousBytes data(bytes);
    return Look(WithoutGil([&] { return lib::LookAtHeader(data.data(), data.size()); }));
}

}  // namespace

PYBIND11_MODULE(_tarniff, m) {
    m.doc() = "The bridge from tarniff to the module file, on the TarnIFF front-end library.";

    // The library's failures become tarniff.Error, with the host's code and its name; a file
    // that cannot be opened also carries the system's error number, which the Python side turns
    // into the class open() raises for it (FileNotFoundError, ...).
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const lib::Error& error) {
            const char* name = error.hostCode() != 0 ? lib::HostCodeName(error.hostCode()) : "";
            py::object value = py::module_::import("tarniff").attr("_error")(
                Text(error.what()), error.hostCode(),
                name[0] != '\0' ? py::str(name) : py::object(py::none()), error.systemError());
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr());
        }
    });

    py::class_<Module>(m, "Module")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def_property_readonly("path", [](const Module& module) { return module.file.path; })
        .def("open", &Module::Open, py::arg("path"), py::arg("name"), py::arg("raw_depth") = false,
             py::arg("max_image_bytes") = 0, py::arg("raise_limit") = "")
        .def("open_bytes", &Module::OpenBytes, py::arg("data"), py::arg("name"),
             py::arg("raw_depth") = false, py::arg("max_image_bytes") = 0,
             py::arg("raise_limit") = "")
        .def("info", &Module::Info, py::arg("path"), py::arg("name"),
             py::arg("max_image_bytes") = 0, py::arg("raise_limit") = "")
        .def("info_bytes", &Module::InfoBytes, py::arg("data"), py::arg("name"),
             py::arg("max_image_bytes") = 0, py::arg("raise_limit") = "")
        .def("depth_not_saved",
             [](const Module&, const std::string& name) { return Text(lib::DepthNotSaved(name)); })
        .def("save", &Module::Save, py::arg("pixels"), py::arg("path"), py::arg("name"),
             py::arg("whole"));

    m.def("layout", &LayoutOfFile, py::arg("path"), py::arg("name"));
    m.def("layout_bytes", &LayoutOfBytes, py::arg("data"));
}
