// The state of presence detection shown by the menu.
#pragma once

enum class KivanoControlState {
    Normal,    // running, no pulse confirmed yet, or a pulse is being retried
    Sending,   // the last pulse was confirmed
    Error,     // stopped with an error text
    Offline,   // the network is not reachable
    Inactive,  // no presence control selected
};
