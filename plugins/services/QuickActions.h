// The page's quick-action list, kept as a keyed archive of QuickAction objects in the user
// defaults under "QuickActions".
#pragma once

#include <memory>
#include <vector>

#include "bridge/WHPlugin.h"
#include "plugins/services/QuickAction.h"

inline constexpr const char* kQuickActionsKey = "QuickActions";
inline constexpr const char* kQuickActionsChangedNotification = "kQuickActionsChangedNotification";
inline constexpr const char* kQuickActionsDefaultUUID = "B6D6599B-1645-4CE7-816A-D33A186E9643";

class QuickActions : public WHPlugin {
public:
    using WHPlugin::WHPlugin;

    const ActionTable& actions() const override;
    void getItems(const WHInvokedUrlCommand& command);
    void setItems(const WHInvokedUrlCommand& command);
    void onAppTerminate() override;

    // The stored list in stored order. Nothing when no list is stored or the stored value is no
    // archive of an array of quick actions; entries that do not decode are left out.
    static std::optional<std::vector<std::shared_ptr<const QuickAction>>> storedQuickActions();
    // The dictionary form handed to the page.
    static platform::Value dictionaryOf(const QuickAction& action);
    // The accepted entries of a setItems argument, in order.
    static std::vector<std::shared_ptr<const QuickAction>> quickActionsFromArgument(const platform::Value& argument);
};
