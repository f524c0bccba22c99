// Log lines written the way the host's `print` statement lays out its items,
// as UTF-8 whatever standard output is, and never raising.
//
// log(a, b, c) lays out `print a, b, c`: each item's string form, one blank
// before every item but the first, where the host's "softspace" rule applies
// (a text ending in a blank still gets its separator, so it shows two; one
// ending in a newline or tab gets none), then a newline. Unlike print, the
// line's text does not depend on the stream: unicode items are written as
// UTF-8, byte strings as they are where they are UTF-8 and with \xNN for any
// other byte, so that a terminal, a file and a pipe (none of which has an
// encoding under a supervisor) all get the same bytes. An item whose str()
// fails is shown by its unicode form, its representation or its type's name.
// The line is written with one call; a stream that refuses it loses the line
// and the caller goes on. Only an interrupt or exit request passes through.
// Callers pass repr_of(e) for errors and records, whose print form would lose
// their kind.
#pragma once

#include "host/host.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace qz::host {

void print_items(const py::object* items, std::size_t count);

// Items may be host objects or C++ values; C++ strings become byte strings.
template <class... Items>
void log(const Items&... items);

// The usual line: the UTC time first, then the items.
template <class... Items>
void log_at_now(const Items&... items) {
  log(utc_now(), items...);
}

namespace detail {
template <class T>
py::object as_item(const T& v) {
  if constexpr (std::is_base_of_v<py::handle, T>) {
    return py::reinterpret_borrow<py::object>(v);
  } else if constexpr (py::detail::is_pyobject<T>::value) {
    return static_cast<py::object>(v);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return text(std::string_view(v));
  } else {
    return py::cast(v);
  }
}
}  // namespace detail

template <class... Items>
void log(const Items&... items) {
  if constexpr (sizeof...(Items) == 0) {
    print_items(nullptr, 0);
  } else {
    const py::object held[] = {detail::as_item(items)...};
    print_items(held, sizeof...(Items));
  }
}

}  // namespace qz::host
