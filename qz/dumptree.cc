// qz.dumptree: renders any host value as indented lines of name, type and content.
//
// Two stages: totree() turns a value into a tree of nodes {"name", "value",
// "type"} down to the depth limit MAXD, and printtree() writes the tree as
// lines "<tab><name> = <type><content>". Every string form, format, sort and
// truth test is the host's own, so the text is exactly what the host would
// produce, quirks included (unicode promotion, mixed-kind ordering).
#include "host/arguments.h"
#include "host/log.h"
#include "host/module.h"

#include <array>
#include <utility>

namespace {

using qz::host::text;
using qz::host::steal;

// Values made once at load. The module's namespace is where the library-wide
// TAB and MAXD live, so callers see them as module attributes and their
// absence before the first dumptree() is the host's NameError. Never freed:
// the host does not unload extension modules.
struct Library {
  py::dict globals;
  py::object depth_message = text("Max depth reached, change depth argument");
  py::object name_key = text("name");
  py::object value_key = text("value");
  py::object type_key = text("type");
  py::object empty = text("");
  py::object newline = text("\n");
  py::object line_format = text("%s%s = %s%s");
  py::object string_form = text("%s");
};
Library* library = nullptr;

// A library-wide value, read at each use as the host reads a global.
py::object library_value(const char* name) {
  PyObject* value = PyDict_GetItemString(library->globals.ptr(), name);  // borrowed
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

bool equal(py::handle a, py::handle b) {
  if (PyInt_CheckExact(a.ptr()) && PyInt_CheckExact(b.ptr()))
    return PyInt_AS_LONG(a.ptr()) == PyInt_AS_LONG(b.ptr());
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

py::object next_depth(py::handle depth) {
  if (PyInt_CheckExact(depth.ptr()) && PyInt_AS_LONG(depth.ptr()) < LONG_MAX)
    return steal(PyInt_FromLong(PyInt_AS_LONG(depth.ptr()) + 1));
  return steal(PyNumber_Add(depth.ptr(), qz::host::integer(1).ptr()));
}

// "%s" % obj, the host's string form (unicode when obj's __str__ gives unicode).
py::object string_form(py::handle obj) {
  return steal(PyString_Format(library->string_form.ptr(), obj.ptr()));
}

py::object item(py::handle container, py::handle key) {
  if (PyDict_CheckExact(container.ptr())) {
    PyObject* found = PyDict_GetItem(container.ptr(), key.ptr());  // borrowed
    if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
  }
  return steal(PyObject_GetItem(container.ptr(), key.ptr()));
}

// ---- expanders: the entries of one container, as a list of pairs ----

// zip(range(len(obj)), obj)
py::object listaddindex(py::handle obj) {
  if (PyList_CheckExact(obj.ptr())) {
    Py_ssize_t n = PyList_GET_SIZE(obj.ptr());
    py::list pairs(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
      py::tuple pair = py::make_tuple(qz::host::integer(i),
                                      py::handle(PyList_GET_ITEM(obj.ptr(), i)));
      PyList_SET_ITEM(pairs.ptr(), i, pair.release().ptr());
    }
    return std::move(pairs);
  }
  py::object builtins = py::module_::import("__builtin__");
  py::object positions = builtins.attr("range")(steal(PyInt_FromSsize_t(py::len(obj))));
  return builtins.attr("zip")(positions, obj);
}

// sorted(obj.items()): by key, by value where keys compare equal.
py::object dicttolist(py::handle obj) {
  py::object items = PyDict_CheckExact(obj.ptr()) ? steal(PyDict_Items(obj.ptr()))
                                                  : steal(PySequence_List(
                                                        obj.attr("items")().ptr()));
  if (PyList_Sort(items.ptr()) != 0) throw py::error_already_set();
  return items;
}

// [("%s" % obj, obj.__dict__)]: a class's own attributes, a module's globals.
py::object classtolist(py::handle obj) {
  py::object name = string_form(obj);
  py::list pairs;
  pairs.append(py::make_tuple(name, obj.attr("__dict__")));
  return std::move(pairs);
}

// [("%s" % obj, merged)]: the class's own attributes, each taking the
// instance's value where the instance has one that tests true.
py::object objtolist(py::handle obj) {
  py::object own = obj.attr("__dict__");
  py::object class_attributes = obj.attr("__class__").attr("__dict__");
  py::dict merged;
  for (py::handle pair : steal(PySequence_List(class_attributes.attr("items")().ptr()))) {
    py::object name = steal(PySequence_GetItem(pair.ptr(), 0));
    py::object class_value = steal(PySequence_GetItem(pair.ptr(), 1));
    int has = PySequence_Contains(own.ptr(), name.ptr());
    if (has < 0) throw py::error_already_set();
    py::object chosen = class_value;
    if (has) {
      py::object mine = item(own, name);
      if (qz::host::truth(mine)) chosen = mine;
    }
    merged[name] = chosen;
  }
  py::object name = string_form(obj);
  py::list pairs;
  pairs.append(py::make_tuple(name, merged));
  return std::move(pairs);
}

using Expander = py::object (*)(py::handle);

// The expander table, matched on the exact kind.
Expander expander_for(py::handle obj) {
  PyTypeObject* kind = Py_TYPE(obj.ptr());
  if (kind == &PyInstance_Type) return &objtolist;
  if (kind == &PyClass_Type || kind == &PyModule_Type) return &classtolist;
  if (kind == &PyList_Type) return &listaddindex;
  if (kind == &PyDict_Type) return &dicttolist;
  return nullptr;
}

// ---- stage one: the tree ----

py::object totree_at(py::handle obj, py::handle depth) {
  if (equal(depth, library_value("MAXD"))) return library->depth_message;
  Expander expand = expander_for(obj);
  if (expand == nullptr) return py::reinterpret_borrow<py::object>(obj);
  qz::host::RecursionGuard guard(" while building a tree");
  py::object pairs = expand(obj);
  py::object deeper = next_depth(depth);
  py::list tree;
  for (py::handle pair : pairs) {
    py::object name = steal(PySequence_GetItem(pair.ptr(), 0));
    py::object content = steal(PySequence_GetItem(pair.ptr(), 1));
    py::dict node;
    node[library->name_key] = name;
    node[library->value_key] = totree_at(content, deeper);
    node[library->type_key] = py::handle(reinterpret_cast<PyObject*>(Py_TYPE(content.ptr())));
    tree.append(node);
  }
  return std::move(tree);
}

// True for InstanceType, ClassType, ListType and DictType, compared by
// equality in that order; ModuleType is not among them.
bool explored(py::handle kind) {
  static PyTypeObject* const kinds[] = {&PyInstance_Type, &PyClass_Type, &PyList_Type,
                                        &PyDict_Type};
  PyTypeObject* meta = Py_TYPE(kind.ptr());
  bool plain = meta == &PyType_Type || meta == &PyClass_Type;  // equality is identity
  for (PyTypeObject* k : kinds) {
    if (plain ? kind.ptr() == reinterpret_cast<PyObject*>(k)
              : equal(kind, reinterpret_cast<PyObject*>(k)))
      return true;
  }
  return false;
}

// ---- stage two: the text ----

bool is_empty_text(py::handle tab) {
  if (PyString_CheckExact(tab.ptr())) return PyString_GET_SIZE(tab.ptr()) == 0;
  return equal(tab, library->empty);
}

py::object printtree_at(py::handle tree, py::handle tab) {
  if (Py_TYPE(tree.ptr()) != &PyList_Type) return py::reinterpret_borrow<py::object>(tree);
  qz::host::RecursionGuard guard(" while rendering a tree");
  py::object prefix = is_empty_text(tab) ? library->empty : library->newline;
  py::list lines;
  py::object symbols, next_tab;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tree.ptr()); ++i) {
    py::handle node = PyList_GET_ITEM(tree.ptr(), i);
    if (!next_tab) {
      symbols = library_value("SYMBOLS");
      next_tab = steal(PyNumber_Add(tab.ptr(), library_value("TAB").ptr()));
    }
    py::object name = item(node, library->name_key);
    int is_symbol = PySequence_Contains(symbols.ptr(), name.ptr());
    if (is_symbol < 0) throw py::error_already_set();
    py::object name_text = is_symbol ? item(symbols, name) : name;
    py::object kind = item(node, library->type_key);
    py::object type_text = explored(kind) ? kind : library->empty;
    py::object content = printtree_at(item(node, library->value_key), next_tab);
    py::tuple parts = py::make_tuple(py::reinterpret_borrow<py::object>(tab), name_text,
                                     type_text, content);
    lines.append(steal(PyString_Format(library->line_format.ptr(), parts.ptr())));
  }
  py::object joined = library->newline.attr("join")(lines);
  return steal(PyNumber_Add(prefix.ptr(), joined.ptr()));
}

py::object dumptree_of(py::handle obj, py::handle output, py::handle indent, py::handle depth) {
  if (!qz::host::truth(obj)) {
    qz::host::log("usage: dumptree(object[, output[, indent[, depth]]])");
    return py::none();
  }
  py::object tab = steal(PyNumber_Multiply(text(" ").ptr(), indent.ptr()));
  library->globals[text("TAB")] = tab;
  library->globals[text("MAXD")] = depth;
  py::object res = printtree_at(totree_at(obj, qz::host::integer(0)), library->empty);
  if (qz::host::truth(output)) qz::host::log(res);
  return res;
}

// ---- the operations, taking their arguments as host functions do ----

py::object default_or(const py::object& given, py::object fallback) {
  return given ? given : std::move(fallback);
}

using Four = std::array<py::object, 4>;

Four dump_arguments(const py::args& args, const py::kwargs& kwargs, const char* format) {
  Four a = qz::host::parse_arguments<4>(args, kwargs, format,
                                        {"obj", "output", "indent", "depth"});
  return {default_or(a[0], py::bool_(false)), default_or(a[1], py::bool_(true)),
          default_or(a[2], qz::host::integer(4)), default_or(a[3], qz::host::integer(10))};
}

py::object dumptree(py::args args, py::kwargs kwargs) {
  Four a = dump_arguments(args, kwargs, "|OOOO:dumptree");
  return dumptree_of(a[0], a[1], a[2], a[3]);
}

py::object qz_dumptree(py::args args, py::kwargs kwargs) {
  Four a = dump_arguments(args, kwargs, "|OOOO:qz_dumptree");
  py::list framed;
  framed.append(text("("));
  framed.append(a[0]);
  framed.append(text(")"));
  py::object res = dumptree_of(framed, a[1], a[2], a[3]);
  py::object lines = res.attr("split")(library->newline);
  if (PySequence_SetItem(lines.ptr(), 0, text("(").ptr()) != 0 ||
      PySequence_SetItem(lines.ptr(), -1, text(")").ptr()) != 0 ||
      PySequence_DelItem(lines.ptr(), 1) != 0)
    throw py::error_already_set();
  return library->newline.attr("join")(lines);
}

py::object totree(py::args args, py::kwargs kwargs) {
  auto a = qz::host::parse_arguments<2>(args, kwargs, "O|O:totree", {"obj", "depth"});
  return totree_at(a[0], default_or(a[1], qz::host::integer(0)));
}

py::object printtree(py::args args, py::kwargs kwargs) {
  auto a = qz::host::parse_arguments<2>(args, kwargs, "O|O:printtree", {"tree", "tab"});
  return printtree_at(a[0], default_or(a[1], library->empty));
}

template <py::object (*Expand)(py::handle)>
py::object one_argument(py::args args, py::kwargs kwargs, const char* format) {
  auto a = qz::host::parse_arguments<1>(args, kwargs, format, {"obj"});
  return Expand(a[0]);
}

py::object identity(py::handle obj) { return py::reinterpret_borrow<py::object>(obj); }

py::dict build_symbols() {
  static const std::pair<const char*, const char*> table[] = {
      {"__call__", "()"}, {"__getattr__", ".*"}, {"__getitem__", "[]"}, {"__setitem__", "[]"},
      {"__delitem__", "[]"}, {"__iter__", "for"}, {"__enter__", "with"}, {"__exit__", "with"},
      {"__contains__", "in"}, {"__add__", "+"}, {"__radd__", "+"}, {"__iadd__", "+="},
      {"__sub__", "-"}, {"__rsub__", "-"}, {"__isub__", "-="}, {"__mul__", "*"},
      {"__rmul__", "*"}, {"__imul__", "*="}, {"__div__", "/"}, {"__rdiv__", "/"},
      {"__truediv__", "/"}, {"__rtruediv__", "/"}, {"__floordiv__", "/"},
      {"__rfloordiv__", "/"}, {"__rdivmod__", "/"}, {"__idiv__", "/="}, {"__itruediv__", "/="},
      {"__ifloordiv__", "/="}, {"__mod__", "%"}, {"__rmod__", "%"}, {"__divmod__", "%"},
      {"__imod__", "%="}, {"__pow__", "**"}, {"__rpow__", "**"}, {"__ipow__", "**="},
      {"__lshift__", "<<"}, {"__rlshift__", "<<"}, {"__ilshift__", "<<="}, {"__rshift__", ">>"},
      {"__rrshift__", ">>"}, {"__irshift__", ">>="}, {"__and__", "&"}, {"__rand__", "&"},
      {"__iand__", "&="}, {"__xor__", "^"}, {"__rxor__", "^"}, {"__ixor__", "^="},
      {"__or__", "|"}, {"__ror__", "|"}, {"__ior__", "|="}, {"__pos__", "+@"},
      {"__neg__", "-@"}, {"__invert__", "~"}, {"__lt__", "<"}, {"__le__", "<="},
      {"__eq__", "=="}, {"__ne__", "!="}, {"__gt__", ">"}, {"__ge__", ">="},
      {"__abs__", "abs()"}, {"__nonzero__", "bool()"}, {"__complex__", "complex()"},
      {"__float__", "float()"}, {"__hex__", "hex()"}, {"__int__", "int()"},
      {"__len__", "len()"}, {"__long__", "long()"}, {"__oct__", "oct()"},
      {"__reversed__", "reversed()"}, {"__unicode__", "unicode()"},
  };
  py::dict symbols;
  for (const auto& [name, symbol] : table) symbols[text(name)] = text(symbol);
  return symbols;
}

}  // namespace

QZ_MODULE(dumptree, m) {
  library = new Library{py::reinterpret_borrow<py::dict>(m.attr("__dict__"))};
  m.attr("SYMBOLS") = build_symbols();
  m.def("totree", &totree);
  m.def("listaddindex", [](py::args a, py::kwargs k) {
    return one_argument<&listaddindex>(a, k, "O:listaddindex");
  });
  m.def("dicttolist", [](py::args a, py::kwargs k) {
    return one_argument<&dicttolist>(a, k, "O:dicttolist");
  });
  m.def("classtolist", [](py::args a, py::kwargs k) {
    return one_argument<&classtolist>(a, k, "O:classtolist");
  });
  m.def("objtolist", [](py::args a, py::kwargs k) {
    return one_argument<&objtolist>(a, k, "O:objtolist");
  });
  m.def("explored", [](py::args a, py::kwargs k) {
    auto t = qz::host::parse_arguments<1>(a, k, "O:explored", {"t"});
    return py::bool_(explored(t[0]));
  });
  m.def("default", [](py::args a, py::kwargs k) {
    return one_argument<&identity>(a, k, "O:default");
  });
  m.def("printtree", &printtree);
  m.def("dumptree", &dumptree);
  m.def("qz_dumptree", &qz_dumptree);
}
