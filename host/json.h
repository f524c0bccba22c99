// The JSON codec our modules use: the host's json module, or simplejson when
// json cannot be loaded (the platform's preference, in that order).
#pragma once

#include "host/host.h"

namespace qz::host {

// Imports the codec; raises the host's ImportError when neither loads.
py::module_ import_json();

// Raises the host's ValueError when `text` (a byte or unicode string) holds a
// number longer than `max_number` characters or arrays and objects nested
// deeper than `max_depth`, counted outside strings. The host's decoder turns
// a long integer in time quadratic in its length and recurses once per
// level, so untrusted JSON passes here before it reaches the decoder. Any
// other value is left for the decoder to refuse. One linear pass, no copy.
void check_json_budget(py::handle text, Py_ssize_t max_number, Py_ssize_t max_depth);

// `codec.dumps(value)` with every argument at its default, for hot loops.
//
// dumps builds its C encoder afresh on every call, which costs more than
// encoding a small object. This builds it once, from the codec's own default
// encoder and its own C constructor, exactly as that encoder would, so the
// text and every error are the codec's. Where the codec has no C encoder, or
// its defaults were changed, each call simply goes to dumps.
//
// Not reentrant: the encoder's cycle markers are shared between calls, which
// suits our single-threaded feed loop and nothing else.
class DefaultDumps {
 public:
  explicit DefaultDumps(py::module_ codec);
  py::object operator()(py::handle value) const;

 private:
  py::object dumps_;
  py::object encoder_;  // none: call dumps_
  py::dict markers_;
  py::object key_memo_;  // simplejson's; none for the host's json
};

}  // namespace qz::host
