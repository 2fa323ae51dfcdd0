// The connection record of the selected controller, shared by the status model, the menu and
// the presence detector.
#pragma once

#include <optional>
#include <string>

// A default room of this value means "no default room"; it comes from the web application's
// settings file and so stays this exact text.
extern const char* const kPresenceDetectorDifferentRoomUUID;

class Hubstation {
public:
    Hubstation(std::string serialNo, std::string localURL, std::string remoteURL, std::string username,
               std::string password)
        : serialNo(std::move(serialNo)),
          localURL(std::move(localURL)),
          remoteURL(std::move(remoteURL)),
          username(std::move(username)),
          password(std::move(password)) {}

    bool hasDefaultRoom() const;

    std::string serialNo;
    std::string localURL;   // host, optionally with ":" and port
    std::string remoteURL;
    std::string username;
    std::string password;
    std::optional<std::string> name;
    std::optional<std::string> defaultRoomUUID;
};
