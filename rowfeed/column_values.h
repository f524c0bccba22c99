// Column values as they go into a message's "hbase_json".
#pragma once

#include "host/host.h"

namespace qz::rowfeed {

// Binds the host's datetime C API for this room's use of it; once, at load.
void bind_datetime_api();

// A value as it goes into "hbase_json": date-and-time as whole UTC seconds;
// decimals stay (encoded with all their digits); dates as ISO 8601 text;
// times as signed durations; sets as sorted lists; byte strings that are not
// UTF-8 as base64 text. Everything else is left to the encoder.
py::object lossless(py::handle value);

}  // namespace qz::rowfeed
