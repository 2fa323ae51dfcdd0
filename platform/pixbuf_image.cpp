#include "platform/pixbuf_image.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace platform {

std::shared_ptr<PixbufImage> PixbufImage::decode(const Bytes& bytes) {
    if (bytes.empty()) return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    bool ok = gdk_pixbuf_loader_write(loader, bytes.data(), bytes.size(), nullptr) != FALSE;
    // Closing also reports truncated data.
    ok = (gdk_pixbuf_loader_close(loader, nullptr) != FALSE) && ok;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf) g_object_ref(pixbuf);
    g_object_unref(loader);
    if (!pixbuf) return nullptr;
    return std::shared_ptr<PixbufImage>(new PixbufImage(pixbuf));
}

PixbufImage::~PixbufImage() {
    if (pixbuf_) g_object_unref(pixbuf_);
}

int PixbufImage::width() const { return gdk_pixbuf_get_width(pixbuf_); }
int PixbufImage::height() const { return gdk_pixbuf_get_height(pixbuf_); }

}  // namespace platform
