#include "companion/Hubstation.h"

const char* const kPresenceDetectorDifferentRoomUUID = "F84E6145-5AAD-4ED3-A53B-16B23015C994";

bool Hubstation::hasDefaultRoom() const {
    return defaultRoomUUID && *defaultRoomUUID != kPresenceDetectorDifferentRoomUUID;
}
