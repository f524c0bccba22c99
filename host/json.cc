#include "host/json.h"

namespace qz::host {

py::module_ import_json() {
  try {
    return py::module_::import("json");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
  }
  return py::module_::import("simplejson");
}

namespace {

template <class Char>
void scan_json_budget(const Char* p, Py_ssize_t n, Py_ssize_t max_number, Py_ssize_t max_depth) {
  bool in_string = false;
  bool escaped = false;
  Py_ssize_t depth = 0;
  Py_ssize_t run = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Char c = p[i];
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
      continue;
    }
    bool numeric = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
    run = numeric ? run + 1 : 0;
    if (run > max_number) {
      PyErr_Format(PyExc_ValueError, "JSON number longer than %zd characters at offset %zd",
                   max_number, i + 1 - run);
      throw py::error_already_set();
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) {
        PyErr_Format(PyExc_ValueError, "JSON nested deeper than %zd levels at offset %zd",
                     max_depth, i);
        throw py::error_already_set();
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

bool is_text(py::handle value, const char* expected) {
  return PyString_Check(value.ptr()) && py::cast<std::string>(value) == expected;
}

// The default encoder's settings that the prebuilt encoder assumes; any
// other choice (a program may have changed them) leaves the work to dumps.
bool plain_defaults(py::handle encoder) {
  return truth(encoder.attr("ensure_ascii")) && encoder.attr("indent").is_none() &&
         is_text(encoder.attr("encoding"), "utf-8") && truth(encoder.attr("check_circular"));
}

}  // namespace

void check_json_budget(py::handle text, Py_ssize_t max_number, Py_ssize_t max_depth) {
  PyObject* o = text.ptr();
  if (PyString_Check(o))
    scan_json_budget(PyString_AS_STRING(o), PyString_GET_SIZE(o), max_number, max_depth);
  else if (PyUnicode_Check(o))
    scan_json_budget(PyUnicode_AS_UNICODE(o), PyUnicode_GET_SIZE(o), max_number, max_depth);
}

// Mirrors JSONEncoder.iterencode of each codec (json of Python 2.7.18,
// simplejson 3.x) for an encoder whose defaults plain_defaults accepts.
DefaultDumps::DefaultDumps(py::module_ codec)
    : dumps_(codec.attr("dumps")), encoder_(py::none()), key_memo_(py::none()) {
  py::module_ module = py::module_::import(
      (py::cast<std::string>(codec.attr("__name__")) + ".encoder").c_str());
  py::object make = module.attr("c_make_encoder");
  py::object defaults = codec.attr("_default_encoder");
  if (make.is_none() || !plain_defaults(defaults)) return;
  auto a = [&](const char* name) { return defaults.attr(name); };
  py::object escape = module.attr("encode_basestring_ascii");
  if (hasattr(defaults, "use_decimal")) {  // simplejson
    py::dict memo;
    py::object bitcount =
        truth(a("bigint_as_string")) ? integer(53) : a("int_as_string_bitcount");
    encoder_ = make(markers_, a("default"), escape, a("indent"), a("key_separator"),
                    a("item_separator"), a("sort_keys"), a("skipkeys"), a("allow_nan"), memo,
                    a("use_decimal"), a("namedtuple_as_object"), a("tuple_as_array"), bitcount,
                    a("item_sort_key"), a("encoding"), a("for_json"), a("ignore_nan"),
                    py::module_::import("decimal").attr("Decimal"), a("iterable_as_array"));
    key_memo_ = memo;
  } else if (!truth(a("sort_keys"))) {  // the host's json: its one-shot path
    encoder_ = make(markers_, a("default"), escape, a("indent"), a("key_separator"),
                    a("item_separator"), a("sort_keys"), a("skipkeys"), a("allow_nan"));
  }
}

py::object DefaultDumps::operator()(py::handle value) const {
  // A lone string takes a shortcut in dumps that the encoder does not.
  if (encoder_.is_none() || (PyString_Check(value.ptr()) || PyUnicode_Check(value.ptr()))) return dumps_(value);
  py::object chunks;
  try {
    chunks = encoder_(value, integer(0));
  } catch (py::error_already_set&) {
    // An encoder stopped half-way leaves its cycle markers behind, which a
    // later object at a reused address would trip over.
    PyDict_Clear(markers_.ptr());
    if (!key_memo_.is_none()) PyDict_Clear(key_memo_.ptr());
    throw;
  }
  if (!key_memo_.is_none()) PyDict_Clear(key_memo_.ptr());
  // Made once and never freed, as the modules' other bound objects are; a
  // failure to make it is raised here, and the next call tries again.
  static PyObject* empty = nullptr;
  if (empty == nullptr && (empty = PyString_FromString("")) == nullptr)
    throw py::error_already_set();
  return steal(_PyString_Join(empty, chunks.ptr()));
}

}  // namespace qz::host
