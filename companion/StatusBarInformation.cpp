#include "companion/StatusBarInformation.h"

StatusBarInformation& StatusBarInformation::sharedInstance() {
    static StatusBarInformation* i = new StatusBarInformation;
    return *i;
}
