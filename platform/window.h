// A top-level window on GTK. Closing it by the user hides it (its content survives) after the
// will-close notice; minimising and restoring post their notices. Coordinates: origin at the
// top left of the screen space.
#pragma once

#include <functional>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;

namespace platform {

inline constexpr const char* kWindowWillCloseNotification = "NSWindowWillCloseNotification";
inline constexpr const char* kWindowDidMiniaturizeNotification = "NSWindowDidMiniaturizeNotification";
inline constexpr const char* kWindowDidDeminiaturizeNotification = "NSWindowDidDeminiaturizeNotification";

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
    bool isZero() const { return x == 0 && y == 0 && width == 0 && height == 0; }
};

enum class WindowLevel { Normal, AboveMainMenu };

class Window {
public:
    Window();
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    GtkWindow* gtk() const { return window_; }
    void setContent(GtkWidget* child);
    void setTitle(const std::string& title);

    void show();
    void hide();
    bool isVisible() const;
    void makeKeyAndOrderFront();
    // The user's close: the will-close notice, then the window is hidden.
    void performClose();

    // While shown: the frame the display server has (a requested change shows once it is done).
    // Hidden and shown again, the window comes back with the frame it had.
    Rect frame() const;
    void setFrame(const Rect& r);
    // The size, keeping the origin. A window that was never shown has no origin of its own yet
    // (the window manager places it when it first shows): then only the size is asked for.
    void setSize(double width, double height);
    void setDefaultSize(int width, int height);

    // The title bar and border ("titled" style).
    bool isTitled() const;
    void setTitled(bool titled);
    WindowLevel level() const { return level_; }
    void setLevel(WindowLevel level);
    bool hidesOnDeactivate() const { return hidesOnDeactivate_; }
    void setHidesOnDeactivate(bool hides);

    // A keyboard shortcut of this window, in GTK's accelerator notation ("F11", "<Control>q").
    // Shortcuts go before the focused widget (the web view). Answers false for an unknown key.
    bool addKeyboardShortcut(const std::string& accelerator, std::function<void()> action);

    void setDarkAppearance();
    void setBackgroundBlack();
    void redisplay();

private:
    static int onDelete(GtkWidget*, void*, void* self);
    static int onWindowState(GtkWidget*, void* event, void* self);
    static int onMap(GtkWidget*, void*, void* self);
    static int onFocusIn(GtkWidget*, void*, void* self);
    static int onFocusOut(GtkWidget*, void*, void* self);
    void restoreShownFrame();
    GtkWindow* window_ = nullptr;
    WindowLevel level_ = WindowLevel::Normal;
    bool hidesOnDeactivate_ = false;
    bool iconified_ = false;
    bool hidePending_ = false;  // hidden by us, not mapped again since
    bool hiddenByDeactivation_ = false;
    unsigned long resignHandler_ = 0;
    void* accelGroup_ = nullptr;  // GtkAccelGroup, made with the first shortcut
    Rect shownFrame_;             // the frame when last hidden
    bool hasShownFrame_ = false;
};

}  // namespace platform
