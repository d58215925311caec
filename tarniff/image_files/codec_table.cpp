// The readers and writers of the kinds of image file, behind one table (this format's are the
// module's).
#include "tarniff/tarniff.h"

#include <string>

#include "tarniff/image_files/codecs.h"

namespace tarniff {

namespace {

using Reader = void (*)(const std::string&, RowSink*, const ReadSettings&);
using Writer = void (*)(RowSource&, const std::string&, const std::string&, const WriteSettings&);

// In FileKind's order.
struct Codec {
    Reader read;
    Writer write;
};
const Codec kCodecs[] = {
    {nullptr, nullptr},                                                      // iff
    {ReadPng, WritePng},    {ReadNetpbm, WritePam}, {ReadNetpbm, WritePnm},  // pgm
    {ReadNetpbm, WritePnm},                                                  // ppm
    {ReadTiff, WriteTiff},
};

const Codec& CodecOf(FileKind kind) { return kCodecs[static_cast<int>(kind)]; }

}  // namespace

void ReadImageFile(FileKind kind, const std::string& path, RowSink* sink,
                   const ReadSettings& settings) {
    const Codec& entry = CodecOf(kind);
    if (entry.read == nullptr)
        throw Error((settings.name.empty() ? path : settings.name) +
                    ": files of this format are read through the module");
    // The readers name the file as settings.name, the name the caller knows it by (the path
    // read may be a temporary copy of standard input).
    entry.read(path, sink, settings);
}

void WriteImageFile(FileKind kind, RowSource& rows, const std::string& path,
                    const std::string& name, const WriteSettings& settings) {
    const Codec& entry = CodecOf(kind);
    if (entry.write == nullptr)
        throw Error(name + ": files of this format are saved through the module");
    entry.write(rows, path, name, settings);
}

}  // namespace tarniff
