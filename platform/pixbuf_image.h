// A decoded raster image (GdkPixbuf underneath).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/value.h"

typedef struct _GdkPixbuf GdkPixbuf;

namespace platform {

class PixbufImage {
public:
    // The most pixels a decoded picture may have: a 4K frame (3840 x 2160, 4096 x 2048) fits.
    static constexpr std::int64_t kMaximumPixels = 4096 * 2048;

    // Decodes PNG, JPEG, GIF and the other formats the loaders know; null when the bytes are no
    // image or the picture has more than `maximumPixels` pixels. The size is checked when the
    // picture's header has been read, before its pixels are allocated, so a small file that
    // decodes huge costs nothing. Runs on any thread.
    static std::shared_ptr<PixbufImage> decode(const Bytes& bytes, std::int64_t maximumPixels = kMaximumPixels);
    ~PixbufImage();
    PixbufImage(const PixbufImage&) = delete;
    PixbufImage& operator=(const PixbufImage&) = delete;

    int width() const;
    int height() const;
    GdkPixbuf* pixbuf() const { return pixbuf_; }

private:
    explicit PixbufImage(GdkPixbuf* pixbuf) : pixbuf_(pixbuf) {}
    GdkPixbuf* pixbuf_;
};

}  // namespace platform
