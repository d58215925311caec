// tarniff._tarniff: the package's bridge to the front-end library. It turns NumPy arrays into the
// library's images and back, and nothing else: files are opened and saved only through the
// module's ENTRYPOINT, with the library's checks, limits and words. The Python side (tarniff/
// __init__.py) checks arguments and gives the public names.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "tarniff/tarniff.h"

namespace py = pybind11;
namespace lib = tarniff;

namespace {

// A loaded module is one instance per process, and our host runs one operation at a time on it
// (it keeps the operation's record in one place): Python threads take turns here, each with the
// GIL released while the module works.
std::mutex gModuleTurn;

// The opened image handed to NumPy without a copy: the arrays share the host image's memory
// (plane after plane, each row after row), which the last of them to go frees. pixels is
// height x width x colour planes, a pixel's channels one plane apart; depth is height x width.
py::dict ImageArrays(tniff::Image&& opened, int colourPlanes, int depthPlane) {
    auto* image = new tniff::Image(std::move(opened));
    py::capsule owner(image, [](void* image) { delete static_cast<tniff::Image*>(image); });
    const py::ssize_t h = image->height(), w = image->width(), plane = h * w, one = 1;
    py::dict arrays;
    arrays["pixels"] = py::array_t<uint8_t>({h, w, py::ssize_t(colourPlanes)}, {w, one, plane},
                                            image->data(), owner);
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

struct Module {
    lib::ModuleFile file;

    explicit Module(const std::string& path) : file(lib::LoadModuleFile(path)) {}

    // The file at path opened through the module; name is what messages call it. rawDepth: also
    // the depth values as stored.
    py::dict Open(const std::string& path, const std::string& name, bool rawDepth) {
        CheckPath(path);
        lib::OpenedFile opened;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> turn(gModuleTurn);
            opened = lib::OpenThroughModule(file, path, Settings(name, rawDepth));
        }
        return Found(opened, name);
    }

    // The same for a file's bytes.
    py::dict OpenBytes(const py::buffer& bytes, const std::string& name, bool rawDepth) {
        const ContiguousBytes data(bytes);
        lib::OpenedFile opened;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> turn(gModuleTurn);
            opened = lib::OpenBytesThroughModule(file, data.data(), data.size(),
                                                 Settings(name, rawDepth));
        }
        return Found(opened, name);
    }

    // An incomplete image opens as far as it goes: the Python side decides (partial=).
    static lib::OpenSettings Settings(const std::string& name, bool rawDepth) {
        lib::OpenSettings settings;
        settings.name = name;
        settings.rawDepth = rawDepth;
        settings.partial = true;
        return settings;
    }

    // What `tniff info --json` says of the file at path, calling it name; a file the module
    // refuses raises instead.
    std::string Info(const std::string& path, const std::string& name) {
        CheckPath(path);
        lib::Inspection inspection;
        inspection.path = name;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> turn(gModuleTurn);
            inspection.file = lib::OpenThroughModule(file, path, Settings(name, false));
        }
        inspection.opened = true;
        return lib::InfoJson(inspection);
    }

    std::string InfoBytes(const py::buffer& bytes, const std::string& name) {
        const ContiguousBytes data(bytes);
        lib::Inspection inspection;
        inspection.path = name;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> turn(gModuleTurn);
            inspection.file =
                lib::OpenBytesThroughModule(file, data.data(), data.size(), Settings(name, false));
        }
        inspection.opened = true;
        return lib::InfoJson(inspection);
    }

    static py::dict Found(lib::OpenedFile& opened, const std::string& name) {
        const std::string incompleteness =
            lib::Incompleteness(opened, name);  // before the image moves on
        py::dict result =
            ImageArrays(std::move(opened.image), opened.colourPlanes, opened.depthPlane);
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
        lib::Raster raster(static_cast<int>(pixels.shape(1)), static_cast<int>(pixels.shape(0)),
                           pixels.ndim() == 3 ? static_cast<int>(pixels.shape(2)) : 1);
        const uint8_t* source = pixels.data();
        py::gil_scoped_release unlocked;
        std::memcpy(raster.pixels.data(), source, raster.pixels.size());
        const tniff::Image image = lib::ImageFromRaster(raster);
        raster = lib::Raster();
        std::lock_guard<std::mutex> turn(gModuleTurn);
        if (!whole) {
            lib::SaveThroughModule(file, image, path, lib::SaveSettings{name, nullptr});
            return;
        }
        lib::PendingOutput output(path);
        lib::SaveThroughModule(file, image, output.path(), lib::SaveSettings{name, nullptr});
        output.Commit();
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
    lib::HeaderLook header;
    {
        py::gil_scoped_release unlocked;
        header = lib::LookAtHeader(path, name);
    }
    return Look(header);
}

py::dict LayoutOfBytes(const py::buffer& bytes) {
    const ContiguousBytes data(bytes);
    lib::HeaderLook header;
    {
        py::gil_scoped_release unlocked;
        header = lib::LookAtHeader(data.data(), data.size());
    }
    return Look(header);
}

}  // namespace

PYBIND11_MODULE(_tarniff, m) {
    m.doc() = "The bridge from tarniff to the module file, on the TarnIFF front-end library.";

    // The library's failures become tarniff.Error, with the host's code and its name.
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const lib::Error& error) {
            py::object type = py::module_::import("tarniff").attr("Error");
            const char* name = error.hostCode() != 0 ? lib::HostCodeName(error.hostCode()) : "";
            py::object value = type(Text(error.what()), error.hostCode(),
                                    name[0] != '\0' ? py::str(name) : py::object(py::none()));
            PyErr_SetObject(type.ptr(), value.ptr());
        }
    });

    py::class_<Module>(m, "Module")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def_property_readonly("path", [](const Module& module) { return module.file.path; })
        .def("open", &Module::Open, py::arg("path"), py::arg("name"), py::arg("raw_depth") = false)
        .def("open_bytes", &Module::OpenBytes, py::arg("data"), py::arg("name"),
             py::arg("raw_depth") = false)
        .def("info", &Module::Info, py::arg("path"), py::arg("name"))
        .def("info_bytes", &Module::InfoBytes, py::arg("data"), py::arg("name"))
        .def("depth_not_saved",
             [](const Module&, const std::string& name) { return Text(lib::DepthNotSaved(name)); })
        .def("save", &Module::Save, py::arg("pixels"), py::arg("path"), py::arg("name"),
             py::arg("whole"));

    m.def("layout", &LayoutOfFile, py::arg("path"), py::arg("name"));
    m.def("layout_bytes", &LayoutOfBytes, py::arg("data"));
}
