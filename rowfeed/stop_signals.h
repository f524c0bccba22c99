// SIGTERM and SIGINT ask the feed to stop as the stop file does: what is
// pending is sent, the position of what Kafka took is saved, "Bye Rowfeed!"
// ends the log. A supervisor's stop (systemd sends SIGTERM) is an orderly
// stop, not a kill, and Ctrl-C is the same.
//
// The signals are held the house way (host/module.h): noted, and seen
// between two steps of the feed, never inside one. A read in progress
// completes (interrupted system calls restart); a pause ends early.
#pragma once

#include "host/host.h"

namespace qz::rowfeed {

// Holds the stop signals from here on; calling it again does nothing.
void install_stop_signals();

// The name of the first stop signal received ("SIGTERM", "SIGINT"), or
// null when none came.
const char* stop_signal();

}  // namespace qz::rowfeed
