// Opens URLs with the default handler of their scheme: other applications, the browser.
#pragma once

#include "bridge/WHPlugin.h"

class AppLink : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    const ActionTable& actions() const override;

    void openAppWithURL(const WHInvokedUrlCommand& command);
};
