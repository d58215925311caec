#include "integrations/qt/tarniff_handler.h"

#include <dlfcn.h>

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QSize>
#include <QVariant>

#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "integrations/common/module_access.h"

namespace {

Q_LOGGING_CATEGORY(tarniffLog, "tarniff")

using tarniff::Error;

// Where this plug-in file is, for the module installed apart from it.
std::string PluginPath() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&PluginPath), &info) == 0 || info.dli_fname == nullptr)
        return "";
    return info.dli_fname;
}

// tniff's module host keeps the running call in globals, and Qt programs read images in several
// threads at once (thumbnails, a viewer's preloading): one open through the module at a time.
std::mutex& ModuleLock() {
    static std::mutex lock;
    return lock;
}

// The module file, loaded once; to be called with ModuleLock held.
const tarniff::ModuleFile& Module() {
    static tarniff::ModuleFile module;
    if (module.entry == nullptr) {
        // Nothing but plug-ins may lie in Qt's imageformats folder (Qt tries each file there),
        // so the module is never beside this file: it is where tniff's is, found from here.
        std::vector<std::string> candidates;
#ifdef TNIFF_MODULE_FROM_QT_PLUGINS
        candidates.push_back(tarniff::DirectoryOf(PluginPath()) + TNIFF_MODULE_FROM_QT_PLUGINS +
                             "/" + tarniff::kModuleFileName);
#endif
        for (const std::string& path : tarniff::ModuleSearchPaths()) candidates.push_back(path);
        module = tniff_integration::LoadModuleFrom(candidates);
    }
    return module;
}

// What messages call the file: its own name when the device is a file, else this.
const char kUnnamed[] = "the .iff file";

std::string NameOf(QIODevice* device) {
    const QFile* file = qobject_cast<const QFile*>(device);
    if (file == nullptr || file->fileName().isEmpty()) return kUnnamed;
    return QFileInfo(file->fileName()).fileName().toStdString();
}

// The header and chunk headers of a file lie in its first bytes; this many are looked at.
const qint64 kHeadBytes = 64 << 10;

// The rest of the device, refused once it is larger than any file of an image within the
// image-size limit (a device of no size, a pipe, is refused as soon as it passes that).
std::vector<uint8_t> ReadAll(QIODevice* device, const std::string& name) {
    const uint64_t most = tarniff::MostKeptBytes(0);
    auto refuse = [&] {
        return Error(name + ": cannot read: it is larger than " + tarniff::Mebibytes(most) +
                     ", more than a file of any image within the image-size limit takes");
    };
    std::vector<uint8_t> bytes;
    if (!device->isSequential()) {
        const qint64 left = device->size() - device->pos();
        if (left > 0 && static_cast<uint64_t>(left) > most) throw refuse();
        if (left > 0) bytes.reserve(static_cast<size_t>(left));
    }
    std::vector<char> chunk(1 << 20);
    for (;;) {
        const qint64 got = device->read(chunk.data(), static_cast<qint64>(chunk.size()));
        if (got < 0) {
            throw Error(name + ": cannot read: " + device->errorString().toStdString());
        }
        if (got == 0 && (device->atEnd() || !device->waitForReadyRead(30000))) break;
        if (static_cast<uint64_t>(got) > most - bytes.size()) throw refuse();
        bytes.insert(bytes.end(), chunk.data(), chunk.data() + got);
    }
    return bytes;
}

// The image Qt gets for the planes a viewer shows: ARGB32 (not premultiplied) for colour with
// alpha, RGB32 for colour, Grayscale8 for gray and for a depth buffer alone.
QImage::Format FormatOf(int planesShown) {
    return planesShown == 4   ? QImage::Format_ARGB32
           : planesShown == 3 ? QImage::Format_RGB32
                              : QImage::Format_Grayscale8;
}

QImage ImageOf(const tarniff::OpenedFile& file, const tarniff::ShownPlanes& shown) {
    const tniff::Image& planes = file.image;
    QImage image(planes.width(), planes.height(), FormatOf(shown.count));
    if (image.isNull()) throw std::bad_alloc();
    const int first = shown.first;
    for (int y = 0; y < planes.height(); ++y) {
        uchar* line = image.scanLine(y);
        if (shown.count == 1) {
            for (int x = 0; x < planes.width(); ++x) line[x] = planes.at(first, y, x);
            continue;
        }
        QRgb* row = reinterpret_cast<QRgb*>(line);
        for (int x = 0; x < planes.width(); ++x) {
            const int alpha = shown.count == 4 ? planes.at(first + 3, y, x) : 255;
            row[x] = qRgba(planes.at(first, y, x), planes.at(first + 1, y, x),
                           planes.at(first + 2, y, x), alpha);
        }
    }
    // Qt keeps resolution as dots per metre.
    const tarniff::Description& described = file.description;
    if (described.horizontalDpi > 0 && described.verticalDpi > 0) {
        image.setDotsPerMeterX(qRound(described.horizontalDpi / 0.0254));
        image.setDotsPerMeterY(qRound(described.verticalDpi / 0.0254));
    }
    return image;
}

}  // namespace

bool TarnIffHandler::CanRead(QIODevice* device) {
    if (device == nullptr) return false;
    // "FOR4", the group's size, "CIMG": the outer group says what the file is.
    const QByteArray head = device->peek(12);
    return tarniff::LookAtHeader(reinterpret_cast<const uint8_t*>(head.constData()),
                                 static_cast<size_t>(head.size()))
        .recognised;
}

bool TarnIffHandler::canRead() const {
    if (read_ || !CanRead(device())) return false;
    setFormat("iff");
    return true;
}

const tarniff::HeaderLook& TarnIffHandler::Look() const {
    if (!looked_ && device() != nullptr) {
        const QByteArray head = device()->peek(kHeadBytes);
        look_ = tarniff::LookAtHeader(reinterpret_cast<const uint8_t*>(head.constData()),
                                      static_cast<size_t>(head.size()));
        looked_ = true;
    }
    return look_;
}

bool TarnIffHandler::supportsOption(ImageOption option) const {
    return option == Size || option == ImageFormat;
}

QVariant TarnIffHandler::option(ImageOption option) const {
    if (!supportsOption(option) || read_) return QVariant();
    const tarniff::HeaderLook& look = Look();
    // A header the module would refuse gives no size: the read says why.
    if (!look.hasHeader || look.width < 1 || look.height < 1 ||
        look.width > tarniff::kLargestSide || look.height > tarniff::kLargestSide)
        return QVariant();
    if (option == Size) return QSize(look.width, look.height);
    if (look.colourChannels == 0 && !look.hasDepth) return QVariant();
    // A depth buffer alone is shown as gray, as the read makes it.
    return static_cast<int>(FormatOf(look.colourChannels == 0 ? 1 : look.colourChannels));
}

bool TarnIffHandler::read(QImage* image) {
    if (read_ || device() == nullptr) return false;
    read_ = true;
    const std::string name = NameOf(device());
    try {
        const std::vector<uint8_t> bytes = ReadAll(device(), name);
        tarniff::OpenSettings settings;
        settings.name = name;
        tarniff::OpenedFile file;
        {
            std::lock_guard<std::mutex> hold(ModuleLock());
            file = tarniff::OpenBytesThroughModule(Module(), bytes.data(), bytes.size(), settings);
        }
        const tarniff::ShownPlanes shown = tarniff::PlanesShown(file, name);
        if (!shown.note.empty()) qCInfo(tarniffLog).noquote() << ("note: " + shown.note).c_str();
        *image = ImageOf(file, shown);
        return true;
    } catch (const std::bad_alloc&) {
        qCWarning(tarniffLog).noquote() << (name + ": not enough memory for the image").c_str();
    } catch (const std::exception& failure) {
        qCWarning(tarniffLog).noquote() << failure.what();
    }
    return false;
}
