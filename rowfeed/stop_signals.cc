#include "rowfeed/stop_signals.h"

#include "host/module.h"

namespace qz::rowfeed {

void install_stop_signals() { qz::host::hold_stop_signals(); }

const char* stop_signal() { return qz::host::held_stop_signal(); }

}  // namespace qz::rowfeed
