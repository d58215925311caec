// PNG and TIFF on Windows: not read or written yet; every call says so. (The readers and writers
// through the system's imaging component take this file's place.)
#include "tarniff/image_files/codecs.h"

namespace tarniff {

void ReadPng(const std::string& path, RowSink*, const ReadSettings& settings) {
    throw Error((settings.name.empty() ? path : settings.name) + ": PNG files are not read here");
}
void WritePng(RowSource&, const std::string&, const std::string& name, const WriteSettings&) {
    throw Error(name + ": PNG files are not written here");
}
void ReadTiff(const std::string& path, RowSink*, const ReadSettings& settings) {
    throw Error((settings.name.empty() ? path : settings.name) + ": TIFF files are not read here");
}
void WriteTiff(RowSource&, const std::string&, const std::string& name, const WriteSettings&) {
    throw Error(name + ": TIFF files are not written here");
}

}  // namespace tarniff
