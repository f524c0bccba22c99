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

}  // namespace qz::host
