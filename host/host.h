// The one layer between our modules and the Python 2.7 host.
//
// Host objects are held by pybind11's owning references (py::object and kin);
// a failed host call throws py::error_already_set, which pybind11 turns back
// into the host's own error where control returns to the host. Raw PyObject
// pointers appear only on the line that calls the C API.
//
// Text trap: under Python 2, pybind11 converts C++ strings (py::str("..."),
// py::cast("..."), an argument "..." in a call) to *unicode* objects, and
// py::str(obj)/py::repr(obj) re-decode the host's byte strings as UTF-8. The
// host's own text kind is the byte string, so our modules build texts with
// text() and take string forms with str_of()/repr_of() below, and pass keywords
// with kwargs(), never py::str, "name"_a or a bare C++ string literal.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace py = pybind11;

namespace qz::host {

// A host byte string (the host's `str`) holding exactly these bytes.
py::bytes text(std::string_view s);

// Owns the new reference a C API call returned; a null result (the call
// failed and set the host's error) throws it as py::error_already_set.
py::object steal(PyObject* result);

// Sets the host's error to `value`, of kind `kind`, and throws it as
// py::error_already_set, as the host's `raise kind(value)` would.
[[noreturn]] void throw_error(py::handle kind, py::handle value);

// The exit status of a program whose settings (or command line) cannot
// work: EX_CONFIG of sysexits.h, which a supervisor can be told not to
// restart on, unlike the status 1 of a lost connection.
constexpr int kBadSettingStatus = 78;

// Ends the program's start on a bad setting, after its coded line was
// logged: `code` as the last line of standard error and the status
// kBadSettingStatus, by the host's SystemExit (so that finally-clauses and
// the host's own shutdown run).
[[noreturn]] void end_on_bad_setting(const char* code);

// True for the errors the host's `except Exception` catches. Interrupts
// (KeyboardInterrupt) and exit requests (SystemExit) are not among them and
// must pass through every handler untouched.
bool is_failure(const py::error_already_set& e);

// A host plain integer (`int`); pybind11's py::int_ makes a `long` under
// Python 2, which prints with an "L" in representations.
py::object integer(long v);

// The host's str(v) and repr(v): byte strings unless v's own __str__ or
// __repr__ hands back something else, exactly as the host would have it.
py::object str_of(py::handle v);
// str(v) as C++ text, for messages made in C++.
std::string str_text(py::handle v);
py::object repr_of(py::handle v);

// An error's one-line debug representation, naming its kind and carrying
// its message: repr(e), except for errors that keep their message outside
// their arguments (urllib2's HTTPError reads "HTTPError()"), which read
// Kind('<str(e)>',) as a one-argument error would.
py::object error_repr(py::handle e);

// Keyword arguments for a host call, keyed by byte strings as the host's own
// calls are (pybind11's "name"_a would key them by unicode under Python 2):
//   f(a, b, **kwargs({{"ch", ch}, {"tag", tag}}))
py::dict kwargs(std::initializer_list<std::pair<const char*, py::handle>> items);

// The host's truth test of v (its __nonzero__/__len__ rules).
bool truth(py::handle v);

// isinstance(v, kind), and v == other, as the host decides them; an error of
// the test raises.
bool is_instance(py::handle v, py::handle kind);
bool same(py::handle v, py::handle other);

// float(number) as a C double; the host's conversion error raises.
double as_double(py::handle number);

// sequence[i] with the host's own indexing (negative counts from the end).
py::object at(py::handle sequence, Py_ssize_t i);

// `module_globals[name]`: a module's constant, read at each use.
py::object global(const py::dict& module_globals, const char* name);

// The new reference a C API call returned, or an empty object (test with
// !result) when the call failed with an error of one of `expected` kinds,
// which is then cleared; any other error raises. For a call whose failure
// is an answer ("not a number", "not UTF-8"), not a fault.
py::object unless_raised(PyObject* result, std::initializer_list<PyObject*> expected);

// Whether the host's own UTF-8 decoder takes `bytes` (a byte string): the
// rule by which the host's JSON encoders take a byte string as text. It is
// Python 2's, which lets encoded surrogates through; host/utf8.h has the
// strict rule for what we write ourselves.
bool host_decodes_utf8(py::handle bytes);

// Old-style ("classic") instances and classes, which pybind11 does not know.
bool is_old_instance(py::handle v) noexcept;
bool is_old_class(py::handle v) noexcept;
py::handle old_instance_kind() noexcept;  // types.InstanceType, borrowed
py::handle old_class_kind() noexcept;     // types.ClassType, borrowed

// The current UTC time as "%Y-%m-%d %H:%M:%S.%f", formatted by the host.
py::object utc_now();

// Sleeps through the host's time.sleep, so that an interrupt (SIGINT) ends
// the pause with the host's KeyboardInterrupt instead of being deferred.
void sleep(double seconds);

// Guards one level of a recursive walk over host values the way the host's
// own C code does (_json.c): past the host's recursion limit the constructor
// throws with the host's RuntimeError instead of letting the C stack overflow.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where);
  ~RecursionGuard();
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace qz::host
