// Names of the intercom's call-state notifications and the keys of their user information.
#pragma once

// Posted by the library wrapper on the thread of the event; relayed by the call controller.
inline constexpr const char* KvPjsuaInternalNotification = "KvPjsuaInternalNotification";
// Posted by the call controller on the main thread; the intercom plug-in observes it.
inline constexpr const char* KvPjsua2Notification = "KvPjsua2Notification";

inline constexpr const char* KvPjsua2NotifCode = "KvPjsua2NotifCode";
inline constexpr const char* KvPjsua2NotifCodeString = "KvPjsua2NotifCodeString";
inline constexpr const char* KvPjsua2NotifState = "KvPjsua2NotifState";
inline constexpr const char* KvPjsua2NotifStateString = "KvPjsua2NotifStateString";
inline constexpr const char* KvPjsua2NotifCodecName = "KvPjsua2NotifCodecName";
inline constexpr const char* KvPjsua2NotifErrorString = "KvPjsua2NotifErrorString";
