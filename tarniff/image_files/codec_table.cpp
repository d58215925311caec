// The readers and writers of the kinds of image file, behind one table (this format's are the
// module's).
#include "tarniff/tarniff.h"

#include <string>

#include "tarniff/image_files/codecs.h"

namespace tarniff {

namespace {

using Reader = void (*)(const std::string&, RowSink*, const ReadSettings&);
using Writer = void (*)(RowSource&, const std::string&, const std::string&, const WriteSettings&);

// The reader and writer of every kind but this format's, whose files only the module reads and
// writes. Rows of the kinds themselves are in file_kinds.cpp.
struct Codec {
    FileKind kind;
    Reader read;
    Writer write;
};
const Codec kCodecs[] = {
    {FileKind::png, ReadPng, WritePng},    {FileKind::pam, ReadNetpbm, WritePam},
    {FileKind::pgm, ReadNetpbm, WritePnm}, {FileKind::ppm, ReadNetpbm, WritePnm},
    {FileKind::tiff, ReadTiff, WriteTiff},
};

const Codec* CodecOf(FileKind kind) {
    for (const Codec& codec : kCodecs) {
        if (codec.kind == kind) return &codec;
    }
    return nullptr;
}

}  // namespace

void ReadImageFile(FileKind kind, const std::string& path, RowSink* sink,
                   const ReadSettings& settings) {
    const Codec* codec = CodecOf(kind);
    if (codec == nullptr)
        throw Error((settings.name.empty() ? path : settings.name) +
                    ": files of this format are read through the module");
    // The readers name the file as settings.name, the name the caller knows it by (the path
    // read may be a temporary copy of standard input).
    codec->read(path, sink, settings);
}

void WriteImageFile(FileKind kind, RowSource& rows, const std::string& path,
                    const std::string& name, const WriteSettings& settings) {
    const Codec* codec = CodecOf(kind);
    if (codec == nullptr) throw Error(name + ": files of this format are saved through the module");
    codec->write(rows, path, name, settings);
}

}  // namespace tarniff
