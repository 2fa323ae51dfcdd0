// The companion's status information (known controllers, selection).
#pragma once

class StatusBarInformation {
public:
    static StatusBarInformation& sharedInstance();
};
