// One file handed to the decoder: its bytes, read from the stream once, what the header says,
// and the pixels, decoded on first demand (Explorer looks at the size of many files and decodes
// few). Shared by the decoder and its frame; safe to use from several threads at once.
#ifndef TNIFF_INTEGRATIONS_WIC_CODEC_SOURCE_H
#define TNIFF_INTEGRATIONS_WIC_CODEC_SOURCE_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "integrations/wic/codec_image.h"

namespace tniff_wic {

// The HRESULT WIC programs know each refusal by.
HRESULT ResultOf(Refusal refusal);

class Source {
public:
    // Takes the bytes and checks the header; the result says why the file is refused.
    Source(std::vector<uint8_t> bytes, std::string name);
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source();

    HRESULT headerResult() const { return headerResult_; }
    int width() const { return header_.width; }
    int height() const { return header_.height; }

    // The decoded image, decoded on the first call; the same result on every later one. The
    // image lives as long as the source.
    HRESULT Pixels(const BgraImage** image);

private:
    std::vector<uint8_t> bytes_;  // released once decoded
    std::string name_;
    HeaderCheck header_;
    HRESULT headerResult_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    bool decoded_ = false;
    HRESULT decodeResult_ = E_FAIL;
    BgraImage image_;
};

// Objects and server locks alive, for DllCanUnloadNow.
void ObjectCreated();
void ObjectDestroyed();
void ServerLock(bool lock);
bool ServerInUse();

}  // namespace tniff_wic

#endif
