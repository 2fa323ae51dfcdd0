// A top-level window on GTK. Closing it by the user hides it (its content survives) after the
// will-close notice; minimising and restoring post their notices. Coordinates: origin at the
// top left of the screen space.
#pragma once

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

    Rect frame() const;
    void setFrame(const Rect& r);
    void setDefaultSize(int width, int height);

    // The title bar and border ("titled" style).
    bool isTitled() const;
    void setTitled(bool titled);
    WindowLevel level() const { return level_; }
    void setLevel(WindowLevel level);
    bool hidesOnDeactivate() const { return hidesOnDeactivate_; }
    void setHidesOnDeactivate(bool hides);

    void setDarkAppearance();
    void setBackgroundBlack();
    void redisplay();

private:
    static int onDelete(GtkWidget*, void*, void* self);
    static int onWindowState(GtkWidget*, void* event, void* self);
    static int onFocusIn(GtkWidget*, void*, void* self);
    static int onFocusOut(GtkWidget*, void*, void* self);
    GtkWindow* window_ = nullptr;
    WindowLevel level_ = WindowLevel::Normal;
    bool hidesOnDeactivate_ = false;
    bool iconified_ = false;
    bool hiddenByDeactivation_ = false;
    unsigned long resignHandler_ = 0;
};

}  // namespace platform
