// A Qt image reader for the module's files: QImageReader (and so every Qt program that reads
// images with it) opens them as colour images with alpha, the depth buffer not shown. The file
// goes through the module's ENTRYPOINT on tniff's module host; nothing here reads the format.
#ifndef TNIFF_INTEGRATIONS_QT_TARNIFF_HANDLER_H
#define TNIFF_INTEGRATIONS_QT_TARNIFF_HANDLER_H

#include <QImageIOHandler>

#include "tarniff/tarniff.h"

class TarnIffHandler : public QImageIOHandler {
public:
    // Whether device's first bytes are those of a file of this format; nothing is consumed.
    static bool CanRead(QIODevice* device);

    bool canRead() const override;
    // The whole file through the module, refused as tniff refuses it (cut, damaged, tiles that
    // leave pixels uncovered): then false, no image, and tniff's words on the "tarniff" logging
    // category (Qt's QImageReader has no way to take a reader's own error string).
    bool read(QImage* image) override;
    // Size and ImageFormat from the header alone (a look at the file's first bytes), without a
    // tile decoded: what thumbnailers ask before they ask for the pixels.
    QVariant option(ImageOption option) const override;
    bool supportsOption(ImageOption option) const override;

private:
    const tarniff::HeaderLook& Look() const;
    mutable bool looked_ = false;
    mutable tarniff::HeaderLook look_;
    bool read_ = false;  // the file holds one image
};

#endif
