#include "platform/pixbuf_image.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace platform {

namespace {

struct SizeCheck {
    std::int64_t maximumPixels;
    bool refused = false;
};

bool tooLarge(std::int64_t width, std::int64_t height, std::int64_t maximumPixels) {
    return width <= 0 || height <= 0 || width * height > maximumPixels;
}

// Before the loader allocates the picture: a size of 0 x 0 makes the raster loaders stop; the
// scalable ones render at the size asked for instead, so they get a single pixel.
void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    auto* check = static_cast<SizeCheck*>(data);
    if (!tooLarge(width, height, check->maximumPixels)) return;
    check->refused = true;
    GdkPixbufFormat* format = gdk_pixbuf_loader_get_format(loader);
    int side = format && gdk_pixbuf_format_is_scalable(format) ? 1 : 0;
    gdk_pixbuf_loader_set_size(loader, side, side);
}

}  // namespace

std::shared_ptr<PixbufImage> PixbufImage::decode(const Bytes& bytes, std::int64_t maximumPixels) {
    if (bytes.empty()) return nullptr;
    SizeCheck check{maximumPixels};
    g_autoptr(GdkPixbufLoader) loader = gdk_pixbuf_loader_new();
    g_signal_connect(loader, "size-prepared", G_CALLBACK(&onSizePrepared), &check);
    bool ok = gdk_pixbuf_loader_write(loader, bytes.data(), bytes.size(), nullptr) != FALSE;
    // Closing also reports truncated data.
    ok = (gdk_pixbuf_loader_close(loader, nullptr) != FALSE) && ok;
    GdkPixbuf* pixbuf = ok && !check.refused ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    // Loaders that read the whole file before they tell its size have allocated it already (their
    // pictures are no larger than their bytes); the limit holds for them all the same.
    if (pixbuf && tooLarge(gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf), maximumPixels)) pixbuf = nullptr;
    if (!pixbuf) return nullptr;
    return std::shared_ptr<PixbufImage>(new PixbufImage(GDK_PIXBUF(g_object_ref(pixbuf))));
}

PixbufImage::~PixbufImage() {
    if (pixbuf_) g_object_unref(pixbuf_);
}

int PixbufImage::width() const { return gdk_pixbuf_get_width(pixbuf_); }
int PixbufImage::height() const { return gdk_pixbuf_get_height(pixbuf_); }

}  // namespace platform
