#include "tests/support/page_fixture.h"

#include <gtk/gtk.h>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/paths.h"

namespace testutil {

WH_REGISTER_PLUGIN(ProbePlugin);

std::vector<Value>& ProbePlugin::reports() {
    static std::vector<Value> r;
    return r;
}

const WHPlugin::ActionTable& ProbePlugin::actions() const {
    static const ActionTable t{WH_ACTION(ProbePlugin, report), WH_ACTION(ProbePlugin, echo),
                               WH_ACTION(ProbePlugin, burst), WH_ACTION(ProbePlugin, later)};
    return t;
}

void ProbePlugin::report(const WHInvokedUrlCommand& c) { reports().push_back(c.arguments()); }

void ProbePlugin::echo(const WHInvokedUrlCommand& c) {
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, c.arguments()),
                                        c.callbackId());
}

void ProbePlugin::burst(const WHInvokedUrlCommand& c) {
    int n = c.argumentAtIndex(0, 3, ArgKind::Number).get<int>();
    for (int i = 0; i < n; ++i) {
        auto r = WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, i);
        r.setKeepCallbackAsBool(true);
        commandDelegate()->sendPluginResult(r, c.callbackId());
    }
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK, "done"), c.callbackId());
}

// Answers from a background thread.
void ProbePlugin::later(const WHInvokedUrlCommand& c) {
    auto* d = commandDelegate();
    auto id = c.callbackId();
    auto args = c.arguments();
    d->runInBackground([d, id, args] {
        d->sendPluginResult(WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, args), id);
    });
}

std::string PageFixture::reportHelper() {
    return "<script>function report(){var a=Array.prototype.slice.call(arguments);"
           "window.webhostbridge.exec('INVALID','Probe','report',a);}</script>";
}

PageFixture::PageFixture(const std::map<std::string, std::string>& pages, const std::string& extraConfig) {
    ProbePlugin::reports().clear();
    platform::makeDirs(dir_.path() + "/www/js");
    std::string lib;
    platform::readFile(sourceDir() + "/www/js/webhost.js", lib);
    writeFile(dir_.path() + "/www/js/webhost.js", lib);
    for (const auto& [name, content] : pages) {
        auto slash = name.find_last_of('/');
        if (slash != std::string::npos) platform::makeDirs(dir_.path() + "/www/" + name.substr(0, slash));
        writeFile(dir_.path() + "/www/" + name, content);
    }
    writeFile(dir_.path() + "/config.xml",
              "<?xml version=\"1.0\"?><widget><content src=\"index.html\"/>"
              "<feature name=\"Probe\"><param name=\"osx-package\" value=\"ProbePlugin\"/></feature>"
              "<feature name=\"HandleOpenUrl\"><param name=\"osx-package\" value=\"KVHandleOpenURL\"/>"
              "<param name=\"onload\" value=\"true\"/></feature>"
              "<feature name=\"Logger\"><param name=\"osx-package\" value=\"WHLogger\"/></feature>" +
                  extraConfig + "</widget>");
    platform::Bundle::main().setResourcePathForTesting(dir_.path());
}

PageFixture::~PageFixture() {
    ui_.reset();
    platform::runMainLoopFor(0.05);
    platform::Bundle::main().setResourcePathForTesting("");
}

bool PageFixture::load(double timeout) {
    static bool gtkReady = false;
    if (!gtkReady) {
        gtk_init(nullptr, nullptr);
        platform::initMainThread();
        gtkReady = true;
    }
    ui_ = MainInterface::load();
    ui_->window->show();
    return !waitForReport("ready", timeout).is_null();
}

std::vector<Value> PageFixture::reportsTagged(const std::string& tag) const {
    std::vector<Value> out;
    for (const auto& r : ProbePlugin::reports()) {
        if (r.is_array() && !r.empty() && r[0] == tag) out.push_back(r);
    }
    return out;
}

Value PageFixture::waitForReport(const std::string& tag, double timeout) {
    Value found;
    spinUntil(
        [&] {
            auto r = reportsTagged(tag);
            if (r.empty()) return false;
            found = r.front();
            return true;
        },
        timeout);
    return found;
}

bool pageShows(MainInterface& ui, LogCapture& log, const std::string& expression, const std::string& wanted,
               double timeout) {
    return spinUntil(
        [&] {
            log.clear();
            ui.webView->evaluateScript("console.log('probe:' + (" + expression + "))");
            platform::runMainLoopFor(0.1);
            for (const auto& line : log.lines()) {
                if (line.rfind("probe:", 0) == 0 && line.find(wanted) != std::string::npos) return true;
            }
            return false;
        },
        timeout);
}

}  // namespace testutil
