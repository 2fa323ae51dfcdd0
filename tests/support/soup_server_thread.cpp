#include "tests/support/soup_server_thread.h"

#include <libsoup/soup.h>

#include <future>
#include <stdexcept>
#include <string>

namespace testutil {

SoupServerThread::SoupServerThread(const char* what, std::function<void(SoupServer*)> setup,
                                   std::function<void()> teardown) {
    std::promise<void> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready, setup = std::move(setup), teardown = std::move(teardown)] {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        loop_ = g_main_loop_new(context_, FALSE);
        SoupServer* server = soup_server_new(nullptr, nullptr);
        if (setup) setup(server);
        if (soup_server_listen_local(server, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr)) {
            g_autoslist(GUri) uris = soup_server_get_uris(server);
            if (uris) port_ = static_cast<unsigned>(g_uri_get_port(static_cast<GUri*>(uris->data)));
        }
        ready.set_value();
        if (port_ != 0) g_main_loop_run(loop_);
        soup_server_disconnect(server);
        if (teardown) teardown();
        g_object_unref(server);  // before its context goes
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    });
    started.wait();
    if (port_ == 0) {
        thread_.join();
        throw std::runtime_error(std::string(what) + " did not start");
    }
}

SoupServerThread::~SoupServerThread() {
    g_main_context_invoke(
        context_,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
}

}  // namespace testutil
