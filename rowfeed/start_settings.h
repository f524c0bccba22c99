// The feed's settings and command-line numbers, judged once at its start,
// before anything connects. What each setting accepts is said in
// qz.qzconfig; the pauses --interval and --sleep are numbers of seconds,
// finite and not negative.
#pragma once

#include "contracts/qzconfig.h"
#include "host/host.h"
#include "rowfeed/secure_connections.h"

#include <optional>

namespace qz::rowfeed {

// The first setting the feed reads (qzconfig's judgement) or the first of
// the options' interval and sleep texts that cannot work, as a BadSetting;
// nothing when all can. Only the settings module's SettingError becomes a
// BadSetting; any other error reaches the caller.
std::optional<BadSetting> start_setting_problem(const contracts::QzConfig& config,
                                                py::handle options);

}  // namespace qz::rowfeed
