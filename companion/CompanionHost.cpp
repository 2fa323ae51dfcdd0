#include "companion/CompanionHost.h"

#include "platform/application.h"

CompanionHost* CompanionHost::current() { return dynamic_cast<CompanionHost*>(platform::Application::shared().delegate()); }
