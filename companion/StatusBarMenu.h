// The status-bar menu. Until it shows a status item, no item is visible.
#pragma once

class StatusBarMenu {
public:
    static StatusBarMenu& sharedInstance();
    bool isStatusItemVisible() const { return statusItemVisible_; }

private:
    bool statusItemVisible_ = false;
};
