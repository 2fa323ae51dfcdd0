#include <gtest/gtest.h>

#include <unordered_set>

#include "companion/Hubstation.h"
#include "companion/KivanoControlState.h"
#include "companion/PresenceControl.h"

namespace {

TEST(CompanionRecords, DefaultRoom) {
    struct Case {
        std::optional<std::string> room;
        bool expect;
    };
    const Case cases[] = {
        {std::nullopt, false},
        {"F84E6145-5AAD-4ED3-A53B-16B23015C994", false},
        {"f84e6145-5aad-4ed3-a53b-16b23015c994", true},  // another text
        {"", true},
        {"0F1E2D3C-0000-4000-8000-000000000001", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.room.value_or("(absent)"));
        Hubstation h("504F9410B84A", "192.168.1.5", "dns.example.com:80", "admin", "secret");
        EXPECT_FALSE(h.name);
        h.defaultRoomUUID = c.room;
        EXPECT_EQ(h.hasDefaultRoom(), c.expect);
    }
}

TEST(CompanionRecords, PresenceControlAndState) {
    PresenceControl p("uuid-1", "Presence", "room-1", "Kitchen");
    EXPECT_EQ(p.UUID(), "uuid-1");
    EXPECT_EQ(p.name(), "Presence");
    EXPECT_EQ(p.roomUUID(), "room-1");
    EXPECT_EQ(p.roomName(), "Kitchen");

    std::unordered_set<KivanoControlState> states{KivanoControlState::Normal, KivanoControlState::Sending,
                                                  KivanoControlState::Error, KivanoControlState::Offline,
                                                  KivanoControlState::Inactive, KivanoControlState::Error};
    EXPECT_EQ(states.size(), 5u);
    EXPECT_EQ(static_cast<int>(KivanoControlState::Inactive), 4);
}

}  // namespace
