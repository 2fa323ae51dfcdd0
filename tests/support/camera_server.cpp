#include "tests/support/camera_server.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <stdexcept>

namespace testutil {

namespace {

void appendComment(platform::Bytes& out, const std::string& text) {
    std::size_t len = text.size() + 2;
    out.push_back(0xFF);
    out.push_back(0xFE);
    out.push_back(static_cast<std::uint8_t>(len >> 8));
    out.push_back(static_cast<std::uint8_t>(len & 0xFF));
    out.insert(out.end(), text.begin(), text.end());
}

const char* kRealm = "Kivano camera";

std::string queryValue(GHashTable* query, const char* key, const std::string& fallback) {
    if (!query) return fallback;
    auto* v = static_cast<const char*>(g_hash_table_lookup(query, key));
    return v ? std::string(v) : fallback;
}

platform::Bytes encodeJpeg(GdkPixbuf* pixbuf, int quality) {
    g_autofree gchar* buffer = nullptr;
    gsize size = 0;
    g_autoptr(GError) error = nullptr;
    std::string q = std::to_string(quality);
    gboolean ok = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", &error, "quality", q.c_str(), nullptr);
    if (!ok) throw std::runtime_error(std::string("cannot make a JPEG: ") + (error ? error->message : "unknown"));
    auto* p = reinterpret_cast<const std::uint8_t*>(buffer);
    return platform::Bytes(p, p + size);
}

// Soft colour fields that move with the variant, with a grain that JPEG cannot smooth away.
GdkPixbuf* makeScene(int variant, int width, int height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    int stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    guint32 seed = 2654435761u * static_cast<guint32>(variant + 1);
    double shift = variant * 0.7;
    for (int y = 0; y < height; ++y) {
        double v = static_cast<double>(y) / height;
        guchar* row = pixels + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            double u = static_cast<double>(x) / width;
            double base[3] = {128 + 90 * std::sin(6.0 * u + shift) * std::cos(4.0 * v),
                              128 + 90 * std::sin(5.0 * v - shift + 3.0 * u),
                              128 + 90 * std::cos(7.0 * (u + v) + shift)};
            for (int c = 0; c < 3; ++c) {
                seed = seed * 1664525u + 1013904223u;
                int grain = static_cast<int>((seed >> 24) & 31) - 16;
                row[x * 3 + c] = static_cast<guchar>(std::clamp(static_cast<int>(base[c]) + grain, 0, 255));
            }
        }
    }
    return pixbuf;
}

// The scene encoded at the quality whose size comes nearest to the target (sizes grow with it).
platform::Bytes sceneJpeg(int variant, int width, int height, std::size_t targetBytes) {
    g_autoptr(GdkPixbuf) pixbuf = makeScene(variant, width, height);
    platform::Bytes best;
    int low = 5, high = 95;
    while (low <= high) {
        int quality = (low + high) / 2;
        platform::Bytes jpeg = encodeJpeg(pixbuf, quality);
        auto distance = [&](const platform::Bytes& b) {
            return b.size() > targetBytes ? b.size() - targetBytes : targetBytes - b.size();
        };
        if (best.empty() || distance(jpeg) < distance(best)) best = jpeg;
        if (jpeg.size() < targetBytes) {
            low = quality + 1;
        } else {
            high = quality - 1;
        }
    }
    return best;
}

platform::Bytes numbered(const platform::Bytes& jpeg, int index) {
    platform::Bytes out(jpeg.begin(), jpeg.begin() + 2);  // start marker
    appendComment(out, "kvframe=" + std::to_string(index));
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

}  // namespace

platform::Bytes makeSizedJpeg(int index, int width, int height, std::size_t targetBytes) {
    return numbered(sceneJpeg(index % 8, width, height, targetBytes), index);
}

platform::Bytes makeTestJpeg(int index, std::size_t padding) {
    g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 16, 12);
    guint32 rgba = (static_cast<guint32>((index * 53) & 0xFF) << 24) | (static_cast<guint32>((index * 97) & 0xFF) << 16) |
                   (static_cast<guint32>((index * 29) & 0xFF) << 8) | 0xFF;
    gdk_pixbuf_fill(pixbuf, rgba);
    g_autofree gchar* buffer = nullptr;
    gsize size = 0;
    g_autoptr(GError) error = nullptr;
    gboolean ok = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", &error, "quality", "80", nullptr);
    if (!ok) throw std::runtime_error(std::string("cannot make a JPEG: ") + (error ? error->message : "unknown"));
    auto* p = reinterpret_cast<const std::uint8_t*>(buffer);
    platform::Bytes out(p, p + 2);  // start marker
    appendComment(out, "kvframe=" + std::to_string(index));
    while (padding > 0) {
        std::size_t n = std::min<std::size_t>(padding, 60000);
        appendComment(out, std::string(n, 'p'));
        padding -= n;
    }
    out.insert(out.end(), p + 2, p + size);
    return out;
}

int frameIndexOf(const platform::Bytes& jpeg) {
    static const std::string tag = "kvframe=";
    auto it = std::search(jpeg.begin(), jpeg.end(), tag.begin(), tag.end());
    if (it == jpeg.end()) return -1;
    it += static_cast<std::ptrdiff_t>(tag.size());
    int value = 0;
    bool any = false;
    for (; it != jpeg.end() && *it >= '0' && *it <= '9'; ++it) {
        value = value * 10 + (*it - '0');
        any = true;
    }
    return any ? value : -1;
}

// An answer written chunk by chunk from a timer on the server's context.
struct CameraServer::Stream {
    CameraServer* owner = nullptr;
    SoupServerMessage* msg = nullptr;
    GSource* timer = nullptr;
    std::deque<std::string> chunks;
    std::function<bool(std::deque<std::string>&)> nextPart;  // false when no part is left
    bool stallAtEnd = false;
    bool dropAtEnd = false;
    bool ended = false;

    static gboolean tick(gpointer data) {
        auto* s = static_cast<Stream*>(data);
        if (s->chunks.empty() && !(s->nextPart && s->nextPart(s->chunks))) {
            g_clear_pointer(&s->timer, g_source_unref);
            if (s->dropAtEnd) {
                s->owner->dropConnection(s);
                return G_SOURCE_REMOVE;
            }
            if (!s->stallAtEnd) {
                s->ended = true;
                soup_message_body_complete(soup_server_message_get_response_body(s->msg));
                soup_server_message_unpause(s->msg);
            }
            return G_SOURCE_REMOVE;
        }
        std::string chunk = std::move(s->chunks.front());
        s->chunks.pop_front();
        soup_message_body_append(soup_server_message_get_response_body(s->msg), SOUP_MEMORY_COPY, chunk.data(),
                                 chunk.size());
        soup_server_message_unpause(s->msg);
        return G_SOURCE_CONTINUE;
    }

    static void onFinished(SoupServerMessage*, gpointer data) {
        auto* s = static_cast<Stream*>(data);
        s->owner->finishedStream(s, true);
    }
};

void CameraServer::finishedStream(Stream* s, bool messageAlive) {
    if (s->timer) {
        g_source_destroy(s->timer);
        g_clear_pointer(&s->timer, g_source_unref);
    }
    {
        std::lock_guard lock(mutex_);
        streams_.erase(std::remove(streams_.begin(), streams_.end(), s), streams_.end());
    }
    if (messageAlive) g_signal_handlers_disconnect_by_data(s->msg, s);
    delete s;
}

void CameraServer::dropConnection(Stream* s) {
    g_clear_pointer(&s->timer, g_source_unref);  // called from the timer, which ends itself
    SoupServerMessage* msg = s->msg;
    finishedStream(s, true);
    if (g_autoptr(GIOStream) connection = soup_server_message_steal_connection(msg))
        g_io_stream_close(connection, nullptr, nullptr);
}

platform::Bytes CameraServer::frame(int index, std::size_t padding) {
    std::lock_guard lock(mutex_);
    auto key = std::make_pair(index, padding);
    auto it = frames_.find(key);
    if (it == frames_.end()) it = frames_.emplace(key, makeTestJpeg(index, padding)).first;
    return it->second;
}

platform::Bytes CameraServer::sizedFrame(int index, int width, int height, std::size_t targetBytes) {
    auto key = std::make_tuple(width, height, targetBytes, index % 8);
    {
        std::lock_guard lock(mutex_);
        auto it = scenes_.find(key);
        if (it != scenes_.end()) return numbered(it->second, index);
    }
    platform::Bytes scene = sceneJpeg(index % 8, width, height, targetBytes);  // slow: outside the lock
    std::lock_guard lock(mutex_);
    auto it = scenes_.emplace(key, std::move(scene)).first;
    return numbered(it->second, index);
}

static std::string textOf(const platform::Bytes& b, std::size_t from, std::size_t to) {
    return std::string(reinterpret_cast<const char*>(b.data()) + from, to - from);
}

void CameraServer::handle(SoupServer*, void* msgPtr, const char* pathText, void* queryPtr, void* selfPtr) {
    auto* self = static_cast<CameraServer*>(selfPtr);
    auto* msg = static_cast<SoupServerMessage*>(msgPtr);
    auto* query = static_cast<GHashTable*>(queryPtr);
    std::string path = pathText;
    int number = 0;
    {
        std::lock_guard lock(self->mutex_);
        number = self->requests_[path]++;
    }
    std::string name = path.substr(path.rfind('/') + 1);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
    bool split = queryValue(query, "split", "0") == "1";
    std::size_t padding = std::stoul(queryValue(query, "padding", "0"));

    auto* stream = new Stream;
    stream->owner = self;
    stream->msg = msg;
    guint gapMs = 30;

    if (name == "stream.mjpg") {
        int count = std::stoi(queryValue(query, "count", "-1"));
        guint interval = static_cast<guint>(std::stoul(queryValue(query, "interval", "30")));
        std::string declared = queryValue(query, "declared", "kvframe");
        std::string used = queryValue(query, "used", "kvframe");
        int width = 0, height = 0;
        std::string size = queryValue(query, "size", "");
        if (std::sscanf(size.c_str(), "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0) width = height = 0;
        std::size_t bytes = std::stoul(queryValue(query, "bytes", "100000"));
        stream->stallAtEnd = queryValue(query, "after", "end") == "stall";
        stream->dropAtEnd = queryValue(query, "after", "end") == "drop";
        std::string type = "multipart/x-mixed-replace";
        if (declared != "none") type += ";boundary=" + declared;
        soup_message_headers_replace(headers, "Content-Type", type.c_str());
        gapMs = split ? std::max(1u, interval / 3) : std::max(1u, interval);
        auto next = std::make_shared<int>(0);
        bool stall = stream->stallAtEnd, drop = stream->dropAtEnd;
        stream->nextPart = [self, count, padding, used, split, stall, drop, next, width, height,
                            bytes](std::deque<std::string>& out) {
            if (count >= 0 && *next >= count) {
                if (*next > count || stall || drop || used == "none") return false;
                ++*next;
                out.push_back("--" + used + "--\r\n");
                return true;
            }
            platform::Bytes jpeg = width > 0 ? self->sizedFrame((*next)++, width, height, bytes)
                                             : self->frame((*next)++, padding);
            std::string head = used == "none" ? std::string()
                                              : "--" + used + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                                    std::to_string(jpeg.size()) + "\r\n\r\n";
            std::string part = head + textOf(jpeg, 0, jpeg.size()) + (used == "none" ? "" : "\r\n");
            if (split) {  // cut inside the start marker and inside the end marker
                std::size_t a = head.size() + 1, b = head.size() + jpeg.size() - 1;
                out.push_back(part.substr(0, a));
                out.push_back(part.substr(a, b - a));
                out.push_back(part.substr(b));
            } else {
                out.push_back(std::move(part));
            }
            return true;
        };
    } else if (name == "still.jpg") {
        soup_message_headers_replace(headers, "Content-Type", "image/jpeg");
        platform::Bytes jpeg = self->frame(number, padding);
        std::string all = textOf(jpeg, 0, jpeg.size());
        if (split) {
            stream->chunks = {all.substr(0, 1), all.substr(1, all.size() - 2), all.substr(all.size() - 1)};
        } else {
            stream->chunks = {all};
        }
    } else if (name == "huge.jpg") {
        soup_message_headers_replace(headers, "Content-Type", "image/jpeg");
        std::string start = "\xFF\xD8";
        stream->chunks = {start};
        for (int i = 0; i < 6; ++i) stream->chunks.push_back(std::string(1024 * 1024, '\0'));
        gapMs = 1;
    } else if (name == "redirect") {
        delete stream;
        soup_server_message_set_redirect(msg, 302, queryValue(query, "to", "/").c_str());
        return;
    } else if (name == "drop.mjpg") {  // the connection closes before any answer
        delete stream;
        if (g_autoptr(GIOStream) connection = soup_server_message_steal_connection(msg))
            g_io_stream_close(connection, nullptr, nullptr);
        return;
    } else {
        delete stream;
        if (name == "page.html") {
            const char* page = "<html><body>No camera here</body></html>";
            soup_server_message_set_status(msg, 200, nullptr);
            soup_server_message_set_response(msg, "text/html", SOUP_MEMORY_COPY, page, std::strlen(page));
        } else {
            const char* page = "<html><body>Not Found</body></html>";
            soup_server_message_set_status(msg, 404, nullptr);
            soup_server_message_set_response(msg, "text/html", SOUP_MEMORY_COPY, page, std::strlen(page));
        }
        return;
    }

    soup_server_message_set_status(msg, 200, nullptr);
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
    g_signal_connect(msg, "finished", G_CALLBACK(&Stream::onFinished), stream);
    {
        std::lock_guard lock(self->mutex_);
        self->streams_.push_back(stream);
    }
    soup_server_message_pause(msg);
    stream->timer = g_timeout_source_new(gapMs);
    g_source_set_callback(stream->timer, &Stream::tick, stream, nullptr);
    // The server thread's own context: while the server is being stopped, server_ is already null.
    g_source_attach(stream->timer, g_main_context_get_thread_default());
}

CameraServer::CameraServer() {
    server_ = std::make_unique<SoupServerThread>(
        "camera server",
        [this](SoupServer* server) {
            g_autoptr(SoupAuthDomain) basic = soup_auth_domain_basic_new("realm", kRealm, nullptr);
            soup_auth_domain_add_path(basic, "/basic");
            soup_auth_domain_basic_set_auth_callback(
                basic,
                [](SoupAuthDomain*, SoupServerMessage*, const char* user, const char* password, gpointer self) -> gboolean {
                    static_cast<CameraServer*>(self)->countCredentials();
                    return g_strcmp0(user, kUser) == 0 && g_strcmp0(password, kPassword) == 0;
                },
                this, nullptr);
            soup_server_add_auth_domain(server, basic);

            g_autoptr(SoupAuthDomain) digest = soup_auth_domain_digest_new("realm", kRealm, nullptr);
            soup_auth_domain_add_path(digest, "/digest");
            soup_auth_domain_digest_set_auth_callback(
                digest,
                [](SoupAuthDomain*, SoupServerMessage*, const char* user, gpointer self) -> char* {
                    static_cast<CameraServer*>(self)->countCredentials();
                    if (g_strcmp0(user, kUser) != 0) return nullptr;
                    return soup_auth_domain_digest_encode_password(user, kRealm, kPassword);
                },
                this, nullptr);
            soup_server_add_auth_domain(server, digest);

            soup_server_add_handler(server, nullptr, reinterpret_cast<SoupServerCallback>(&CameraServer::handle), this,
                                    nullptr);
        },
        [this] {
            std::vector<Stream*> left;
            {
                std::lock_guard lock(mutex_);
                left = streams_;
            }
            for (Stream* s : left) finishedStream(s, false);  // their messages are gone
        });
}

CameraServer::~CameraServer() { server_.reset(); }

std::string CameraServer::url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(port()) + pathAndQuery;
}

int CameraServer::requestCount(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = requests_.find(path);
    return it == requests_.end() ? 0 : it->second;
}

void CameraServer::countCredentials() {
    std::lock_guard lock(mutex_);
    ++credentials_;
}

int CameraServer::credentialsReceived() const {
    std::lock_guard lock(mutex_);
    return credentials_;
}

int CameraServer::openStreams() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(streams_.size());
}

}  // namespace testutil
