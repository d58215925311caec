// The Qt image-format plug-in that hands QImageReader the module's reader (TarnIffHandler). Qt
// finds it by its key "iff" (a file's extension or a format asked for) and, for any other name,
// by asking it whether the bytes are of this format.
#include <QImageIOPlugin>

#include "integrations/qt/tarniff_handler.h"

class TarnIffPlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QImageIOHandlerFactoryInterface" FILE
                          "tarniff_plugin.json")

public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override {
        // Reading only: saving a render from a viewer is left to tniff and GIMP.
        if (device == nullptr) return format == "iff" ? CanRead : Capabilities();
        // A file named .iff of another kind (the older IFF images start "FORM") is left to the
        // readers that know it: the bytes decide, whatever the name or format asked.
        if (!format.isEmpty() && format != "iff") return Capabilities();
        return device->isReadable() && TarnIffHandler::CanRead(device) ? CanRead : Capabilities();
    }

    QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override {
        QImageIOHandler* handler = new TarnIffHandler;
        handler->setDevice(device);
        handler->setFormat(format.isEmpty() ? QByteArray("iff") : format);
        return handler;
    }
};

#include "tarniff_plugin.moc"
