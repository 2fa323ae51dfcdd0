// A decoded raster image (GdkPixbuf underneath).
#pragma once

#include <memory>

#include "platform/value.h"

typedef struct _GdkPixbuf GdkPixbuf;

namespace platform {

class PixbufImage {
public:
    // Decodes PNG, JPEG, GIF and the other formats the loaders know; null when the bytes are no image.
    static std::shared_ptr<PixbufImage> decode(const Bytes& bytes);
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
