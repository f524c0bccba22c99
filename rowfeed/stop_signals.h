// SIGTERM and SIGINT ask the feed to stop as the stop file does: what is
// pending is sent, the position of what Kafka took is saved, "Bye Rowfeed!"
// ends the log. A supervisor's stop (systemd sends SIGTERM) is an orderly
// stop, not a kill, and Ctrl-C is the same.
//
// The handlers are the host's (its signal module), so that a signal is
// seen between two host operations, never inside one: a read in progress
// completes (the signals restart interrupted system calls) and a pause is
// cut short.
#pragma once

#include "host/host.h"

namespace qz::rowfeed {

// Installs the handlers. Call once, on the main thread.
void install_stop_signals();

// The name of the first stop signal received ("SIGTERM", "SIGINT"), or
// null when none came. Runs the handlers of signals still pending first.
const char* stop_signal();

}  // namespace qz::rowfeed
