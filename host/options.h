// Command lines through the host's own option parser (optparse), so usage,
// help ("%default" filled in), errors and exit statuses 0/2 are the host's.
#pragma once

#include "host/host.h"

#include <initializer_list>
#include <vector>

namespace qz::host {

struct Option {
  const char* short_flag;  // "-u", or nullptr when there is none
  const char* long_flag;   // "--userid"
  const char* dest;
  py::object default_value;  // ignored for flags, whose default is False
  const char* help;
  bool flag = false;  // action "store_true"
};

// Builds OptionParser() (no usage text of our own), adds the options in the
// given order and parses sys.argv[1:]. Returns the parser's (options, args).
py::tuple parse_command_line(std::initializer_list<Option> options);
py::tuple parse_command_line(const std::vector<Option>& options);

// The command line every program of the platform shares, in this order:
// `host` (what it connects to, which differs per program), -u/--userid and
// -p/--password (guest and the platform's default password), the program's
// `own` options, then --ssl. Returns the parser's (options, args).
py::tuple parse_platform_command_line(Option host, std::initializer_list<Option> own);

}  // namespace qz::host
