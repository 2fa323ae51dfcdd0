// The status item in the desktop's tray area with its menu. The menu is a plain model of items
// (titles, key equivalents, actions, represented objects, states, submenus); a status item
// shows it and calls an item's action when the user chooses it. The system status bar puts the
// item on a tray indicator with GTK menus; tests install a scripted status bar, whose items
// keep the menu for inspection and can be activated without a tray host.
#pragma once

#include <any>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A run of an attributed title: font size in points (0: the default menu size), grey or plain.
struct TextRun {
    std::size_t start = 0;   // byte offsets into the text
    std::size_t length = 0;
    double fontSize = 0;
    bool grey = false;
};
struct AttributedTitle {
    std::string text;
    std::vector<TextRun> runs;
};

// Pango markup of an attributed title (text escaped; runs as sized or grey spans).
std::string menuTitleMarkup(const AttributedTitle& title);

class Menu;

class MenuItem {
public:
    using Action = std::function<void(MenuItem&)>;

    static std::shared_ptr<MenuItem> separatorItem();
    static std::shared_ptr<MenuItem> item(std::string title, std::string keyEquivalent = {}, Action action = {},
                                          std::string actionName = {});

    // The text shown: the attributed title's text when there is one.
    const std::string& displayTitle() const { return attributedTitle ? attributedTitle->text : title; }
    // Items without an action and without a submenu are disabled, as are separators.
    bool isEnabled() const { return !isSeparator && (action || submenu); }
    // Runs the action when the item is enabled; answers whether it ran.
    bool activate();

    std::string title;
    std::optional<AttributedTitle> attributedTitle;
    std::string keyEquivalent;
    Action action;
    std::string actionName;  // the action's message name, for inspection ("openTarragon:")
    std::any representedObject;
    bool stateOn = false;
    std::shared_ptr<Menu> submenu;
    bool isSeparator = false;
};

class Menu {
public:
    void addItem(std::shared_ptr<MenuItem> item) { items.push_back(std::move(item)); }
    void removeAllItems() { items.clear(); }
    // The first item whose shown title is the text; null when none.
    std::shared_ptr<MenuItem> itemWithTitle(const std::string& title) const;

    std::vector<std::shared_ptr<MenuItem>> items;
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
    // An image of the bundle's icons by name ("StatusBarButtonIcon").
    virtual void setImage(const std::string& imageName) = 0;
    virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
    // The menu given to setMenu was rebuilt in place; show its new content.
    virtual void menuDidChange() = 0;
};

class StatusBar {
public:
    virtual ~StatusBar() = default;
    // A new square item; it stays in the status bar until removed.
    virtual std::shared_ptr<StatusItem> statusItemWithSquareLength() = 0;
    virtual void removeStatusItem(const std::shared_ptr<StatusItem>& item) = 0;
};

// The icon theme name of a status item image: "StatusBarButtonIcon", "StatusBarButtonIconError",
// "StatusBarButtonIconOffline" and "StatusBarButtonIconPresence" are the application's symbolic
// tray icons ("<bundle id>-status[-error|-offline|-presence]-symbolic"); other names stay.
std::string statusIconName(const std::string& imageName);

// The desktop's status bar (a tray indicator); created on first use.
StatusBar& systemStatusBar();
// Replaces the system status bar (tests); null restores it.
void setSystemStatusBar(std::shared_ptr<StatusBar> bar);

// A status bar without a tray host: it records its items and their menus.
class ScriptedStatusBar : public StatusBar {
public:
    class Item : public StatusItem {
    public:
        void setImage(const std::string& imageName) override { image = imageName; }
        void setMenu(std::shared_ptr<Menu> m) override { menu = std::move(m); }
        void menuDidChange() override { ++menuChanges; }

        std::string image;
        std::shared_ptr<Menu> menu;
        int menuChanges = 0;
        bool removed = false;
    };

    std::shared_ptr<StatusItem> statusItemWithSquareLength() override;
    void removeStatusItem(const std::shared_ptr<StatusItem>& item) override;

    // Items in the status bar now, oldest first.
    std::vector<std::shared_ptr<Item>> visibleItems() const;
    std::vector<std::shared_ptr<Item>> created;
};

}  // namespace platform
