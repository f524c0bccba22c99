#include "rowfeed/bindings.h"

#include <chrono>

namespace qz::rowfeed {

Bindings* bound = nullptr;

py::object global(const char* name) { return qz::host::global(bound->globals, name); }

double now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace qz::rowfeed
