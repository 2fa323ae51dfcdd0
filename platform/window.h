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

class WebView;

class Window {
public:
    Window();
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // The view as the window's only content.
    void setContent(WebView& view);
    void setTitle(const std::string& title);

    void show();
    void hide();
    bool isVisible() const;
    void makeKeyAndOrderFront();
    // The user's close: the will-close notice, then the window is hidden.
    void performClose();

    // While shown: the frame the display server has (a requested change shows once it is done).
    // Hidden and shown again, the window comes back with the frame it had. The origin is the
    // window's place as moves give it, the size that of its content as resizes give it: without
    // the shadows and title bar the window may draw itself. A Wayland session places windows
    // itself: there the origin is not applied (said once in the log).
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
    // A Wayland session keeps no window above the others: there the level is only recorded
    // (said once in the log).
    void setLevel(WindowLevel level);

    // Covers `r` (screens in window units): through the display server's own full-screen state
    // where that gives `r` (on Wayland, where it is the only way, on the screen at the origin of `r`
    // alone; on X11 when the window manager has that state and `r` is one screen), else by giving
    // the window `r` as its frame. Leaving ends that state; the frame is then the caller's.
    void enterFullScreen(const Rect& r);
    void leaveFullScreen();
    bool isInServerFullScreen() const { return serverFullScreen_; }
    bool hidesOnDeactivate() const { return hidesOnDeactivate_; }
    void setHidesOnDeactivate(bool hides);

    // A keyboard shortcut of this window, in GTK's accelerator notation ("F11", "<Control>q").
    // Shortcuts go before the focused widget (the web view). Answers false for an unknown key.
    bool addKeyboardShortcut(const std::string& accelerator, std::function<void()> action);

    // The dark variant of the theme, for every window of the application (see preferDarkAppearance).
    void setDarkAppearance();
    void setBackgroundBlack();
    void redisplay();

private:
    friend GtkWindow* gtkWindowOf(const Window& window);
    friend void setWindowContent(Window& window, GtkWidget* child);
    void setContentWidget(GtkWidget* child);
    static int onDelete(GtkWidget*, void*, void* self);
    static int onWindowState(GtkWidget*, void* event, void* self);
    static int onMap(GtkWidget*, void*, void* self);
    static int onConfigure(GtkWidget*, void*, void* self);
    static int onFocusIn(GtkWidget*, void*, void* self);
    static int onFocusOut(GtkWidget*, void*, void* self);
    void restoreShownFrame();
    void applyFrame(const Rect& r);
    void restoreAfterFullScreen(int changedState, int newState);
    void scheduleRestore();
    void requestServerFullScreen();
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
    bool serverFullScreen_ = false;  // in the display server's full-screen state by enterFullScreen
    int fullScreenScreen_ = -1;      // on that screen (index of the display's), -1: where it is
    bool leavingFullScreen_ = false;  // that state asked to end, the frame given meanwhile not had yet
    Rect frameAfterFullScreen_;       // the frame given meanwhile
    bool hasFrameAfterFullScreen_ = false;
    unsigned reapplySource_ = 0;
    int reapplies_ = 0;
};

// The dark variant of the theme for the application's windows. Asked for before the first widget
// exists, the theme is loaded once, in that variant; asked for later, GTK loads it again.
void preferDarkAppearance();

}  // namespace platform
