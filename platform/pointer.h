// The mouse pointer on GTK: hiding it over the application's windows, and watching it move.
#pragma once

#include <functional>
#include <memory>

namespace platform {

// Hidden: a blank cursor on every window of the application and their sub-windows. While hidden,
// cursors that others set on those windows are remembered and come back when it is shown again.
// Requests are not counted: any number of hides is undone by one show.
void hidePointer();
void showPointer();
bool isPointerHidden();

// Calls `moved` on the main thread whenever the pointer moves (drags included).
//  Application: movement over the application's own windows (events as they arrive).
//  Global: movement anywhere on the screen; only where the display server lets us see it (X11),
//          elsewhere add() answers null.
class PointerMonitor {
public:
    enum class Scope { Application, Global };
    static std::unique_ptr<PointerMonitor> add(Scope scope, std::function<void()> moved);
    ~PointerMonitor();
    PointerMonitor(const PointerMonitor&) = delete;
    PointerMonitor& operator=(const PointerMonitor&) = delete;

    Scope scope() const { return scope_; }

private:
    PointerMonitor(Scope scope, std::function<void()> moved) : scope_(scope), moved_(std::move(moved)) {}
    friend struct PointerMonitorRegistry;
    Scope scope_;
    std::function<void()> moved_;
};

// Whether pointer movement outside our windows can be watched here.
bool canMonitorPointerGlobally();

}  // namespace platform
