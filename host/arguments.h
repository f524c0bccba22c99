// Host-style argument parsing for operations that must take their arguments
// exactly as a host function `def name(a=..., b=...)` would: by position or
// keyword, with the host's own errors for a wrong count or an unknown name
// (PyArg_ParseTupleAndKeywords), rather than pybind11's overload errors.
#pragma once

#include "host/host.h"

#include <array>
#include <cstddef>
#include <utility>

namespace qz::host {

namespace detail {
template <std::size_t N, std::size_t... I>
int parse_into(PyObject* args, PyObject* kw, const char* format, char** keywords,
               std::array<PyObject*, N>& raw, std::index_sequence<I...>) {
  return PyArg_ParseTupleAndKeywords(args, kw, format, keywords, &raw[I]...);
}
}  // namespace detail

// `format` is a PyArg format of N "O" units, e.g. "|OOOO:dumptree"; each
// missing optional argument comes back as a null object (test with !ptr()).
template <std::size_t N>
std::array<py::object, N> parse_arguments(const py::args& args, const py::kwargs& kwargs,
                                          const char* format,
                                          const std::array<const char*, N>& names) {
  std::array<PyObject*, N> raw{};
  std::array<char*, N + 1> keywords{};
  for (std::size_t i = 0; i < N; ++i) keywords[i] = const_cast<char*>(names[i]);
  PyObject* kw = kwargs.size() > 0 ? kwargs.ptr() : nullptr;
  if (!detail::parse_into<N>(args.ptr(), kw, format, keywords.data(), raw,
                            std::make_index_sequence<N>{}))
    throw py::error_already_set();
  std::array<py::object, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = py::reinterpret_borrow<py::object>(raw[i]);
  return out;
}

}  // namespace qz::host
