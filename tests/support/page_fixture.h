// A bundle of the test's own (config.xml, www/ with the page library) loaded into the real web
// view, with a probe plug-in the page calls to report what it saw.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Interface.h"
#include "bridge/WHPlugin.h"
#include "tests/support/test_util.h"

namespace testutil {

// Service "Probe" in the fixture's config.xml.
//   report(args...)   records the arguments; answers nothing
//   echo(args...)     answers OK with the argument array
//   burst([n])        answers n kept results 0..n-1, then a final one "done"
class ProbePlugin : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    const ActionTable& actions() const override;
    void report(const WHInvokedUrlCommand& c);
    void echo(const WHInvokedUrlCommand& c);
    void burst(const WHInvokedUrlCommand& c);
    void later(const WHInvokedUrlCommand& c);

    static std::vector<Value>& reports();
};

// Asks the page in `ui` for a text (console.log of `expression`) until the console line carrying it
// contains `wanted`; answers whether it did within the time-out.
bool pageShows(MainInterface& ui, LogCapture& log, const std::string& expression, const std::string& wanted,
               double timeout = 20.0);

class PageFixture {
public:
    // `pages`: file name below www/ -> content; "index.html" gets the library included by the caller.
    PageFixture(const std::map<std::string, std::string>& pages, const std::string& extraConfig = "");
    ~PageFixture();

    // Loads the interface and waits until the page reported "ready".
    bool load(double timeout = 30.0);
    // Waits until a report whose first element is `tag` arrived; answers it (null on time-out).
    Value waitForReport(const std::string& tag, double timeout = 15.0);
    std::vector<Value> reportsTagged(const std::string& tag) const;

    MainInterface& ui() { return *ui_; }
    const std::string& bundle() const { return dir_.path(); }
    // The library script tag to put into pages.
    static std::string libraryTag() { return "<script src=\"js/webhost.js\"></script>"; }
    // A page script helper: report(tag, ...values)
    static std::string reportHelper();

private:
    TempDir dir_;
    std::unique_ptr<MainInterface> ui_;
};

}  // namespace testutil
