#include "host/options.h"

namespace qz::host {

py::tuple parse_command_line(std::initializer_list<Option> options) {
  return parse_command_line(std::vector<Option>(options));
}

py::tuple parse_command_line(const std::vector<Option>& options) {
  py::object parser = py::module_::import("optparse").attr("OptionParser")();
  for (const Option& o : options) {
    py::list flags;
    if (o.short_flag != nullptr) flags.append(text(o.short_flag));
    flags.append(text(o.long_flag));
    py::dict kw = o.flag ? kwargs({{"dest", text(o.dest)},
                                   {"action", text("store_true")},
                                   {"default", py::bool_(false)},
                                   {"help", text(o.help)}})
                         : kwargs({{"dest", text(o.dest)},
                                   {"default", o.default_value},
                                   {"help", text(o.help)}});
    parser.attr("add_option")(*flags, **kw);
  }
  return parser.attr("parse_args")();
}

py::tuple parse_platform_command_line(Option host, std::initializer_list<Option> own) {
  std::vector<Option> options = {
      host,
      {"-u", "--userid", "userid", text("guest"), "userid to authenticate as (default: %default)"},
      {"-p", "--password", "password", text("plovk562"),
       "password to authenticate with (default: %default)"},
  };
  options.insert(options.end(), own.begin(), own.end());
  options.push_back({nullptr, "--ssl", "ssl", py::none(), "Enable SSL (default: not enabled)", true});
  return parse_command_line(options);
}

}  // namespace qz::host
