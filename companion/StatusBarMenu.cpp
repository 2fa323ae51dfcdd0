#include "companion/StatusBarMenu.h"

StatusBarMenu& StatusBarMenu::sharedInstance() {
    static StatusBarMenu* m = new StatusBarMenu;
    return *m;
}
