// One presence-detector block of the controller's structure.
#pragma once

#include <string>

class PresenceControl {
public:
    PresenceControl(std::string UUIDAction, std::string controlName, std::string roomUUID, std::string roomName)
        : UUID_(std::move(UUIDAction)),
          name_(std::move(controlName)),
          roomUUID_(std::move(roomUUID)),
          roomName_(std::move(roomName)) {}

    const std::string& UUID() const { return UUID_; }  // forms the pulse path
    const std::string& name() const { return name_; }
    const std::string& roomUUID() const { return roomUUID_; }
    const std::string& roomName() const { return roomName_; }

private:
    std::string UUID_;
    std::string name_;
    std::string roomUUID_;
    std::string roomName_;
};
