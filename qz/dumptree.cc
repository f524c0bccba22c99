// qz.dumptree: renders any host value as indented lines of name, type and content.
//
// The rules come in two stages: totree() turns a value into a tree of nodes
// {"name", "value", "type"} down to the depth limit MAXD, and printtree()
// writes a tree as lines "<tab><name> = <type><content>". Both stay callable
// as such, but dumptree() and qz_dumptree() never build that tree: they walk
// the value once, expanding each container as totree would and writing its
// lines as printtree would, straight into one native text (TextSink), so a
// rendering costs about its own text in memory rather than a host mapping
// per node. Every string form, format, sort and truth test is still the
// host's own, so the text is exactly what the host would produce, quirks
// included (unicode promotion and its errors, mixed-kind ordering).
#include "host/arguments.h"
#include "host/log.h"
#include "host/module.h"
#include "qz/dumptree_text.h"

#include <array>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace {

using qz::dumptree::Mark;
using qz::dumptree::TextSink;
using qz::host::text;
using qz::host::steal;

// Values made once at load. The module's namespace is where the library-wide
// TAB and MAXD live, so callers see them as module attributes and their
// absence before the first dumptree() is the host's NameError. Never freed:
// the host does not unload extension modules.
struct Bindings {
  py::dict globals;
  py::object depth_message = text("Max depth reached, change depth argument");
  py::object name_key = text("name");
  py::object value_key = text("value");
  py::object type_key = text("type");
  py::object empty = text("");
  py::object newline = text("\n");
  py::object line_format = text("%s%s = %s%s");
  py::object line_start_format = text("%s%s = %s");  // a line whose content is a nested level
  py::object string_form = text("%s");
  // The kinds that show a type text, and their string forms (fixed: built-in types).
  std::array<PyObject*, 4> kinds = {reinterpret_cast<PyObject*>(&PyInstance_Type),
                                    reinterpret_cast<PyObject*>(&PyClass_Type),
                                    reinterpret_cast<PyObject*>(&PyList_Type),
                                    reinterpret_cast<PyObject*>(&PyDict_Type)};
  std::array<py::object, 4> kind_texts = {qz::host::str_of(kinds[0]), qz::host::str_of(kinds[1]),
                                          qz::host::str_of(kinds[2]), qz::host::str_of(kinds[3])};
};
Bindings* bound = nullptr;

// A library-wide value, read at each use as the host reads a global.
py::object library_value(const char* name) {
  PyObject* value = PyDict_GetItemString(bound->globals.ptr(), name);  // borrowed
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
  return steal(PyString_Format(bound->string_form.ptr(), obj.ptr()));
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

// ---- stage one: the tree (totree, for its callers; dumptree walks the value itself) ----

py::object totree_at(py::handle obj, py::handle depth) {
  if (equal(depth, library_value("MAXD"))) return bound->depth_message;
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
    node[bound->name_key] = name;
    node[bound->value_key] = totree_at(content, deeper);
    node[bound->type_key] = py::handle(reinterpret_cast<PyObject*>(Py_TYPE(content.ptr())));
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
//
// The host would render a level as prefix + "\n".join(lines), each line
// "%s%s = %s%s" % (tab, name, type, content) with the nested level's text as
// the content. Renderer writes the same text straight into a TextSink, so no
// level's text is ever held as a host string. Where the host would meet a
// unicode text with a byte string (formatting a line, joining a level), it
// decodes the byte string with its default encoding; Renderer checks the
// same byte strings at the same points and raises the host's own decoding
// error for the first that fails, so the outcome (text, unicode promotion or
// UnicodeDecodeError) is the host's.

bool is_empty_text(py::handle tab) {
  if (PyString_CheckExact(tab.ptr())) return PyString_GET_SIZE(tab.ptr()) == 0;
  return equal(tab, bound->empty);
}

// The host's name text of an entry: its operator when SYMBOLS has the name.
py::object name_text(py::handle symbols, py::handle name) {
  int is_symbol = PySequence_Contains(symbols.ptr(), name.ptr());
  if (is_symbol < 0) throw py::error_already_set();
  return is_symbol ? item(symbols, name) : py::reinterpret_borrow<py::object>(name);
}

// The cached string form of one of the four explored kinds, or null. Their
// string forms are fixed (built-in types), so they are taken once at load.
PyObject* kind_text(PyObject* o) {
  for (std::size_t i = 0; i < bound->kinds.size(); ++i)
    if (o == bound->kinds[i]) return bound->kind_texts[i].ptr();
  return nullptr;
}

// True when "%s" of o is a byte string that the host makes without running
// any caller's code (no __str__, no unicode): such a line can be written
// piece by piece with the very text the host's formatting would produce.
bool plain(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  return t == &PyString_Type || t == &PyInt_Type || t == &PyFloat_Type || t == &PyLong_Type ||
         t == &PyBool_Type || o == Py_None || kind_text(o) != nullptr;
}

// One level's lines, and the byte lines among them that the host's join
// would decode if any line turns out unicode.
class Level {
 public:
  Level(TextSink& sink, bool ascii) : sink_(sink), ascii_(ascii) {}

  Mark begin_line() {
    if (lines_++ != 0) sink_.append_ascii("\n");
    return sink_.mark();
  }

  void end_line(const Mark& start, bool unicode) {
    if (unicode) {
      any_unicode_ = true;
    } else if (sink_.non_ascii_since(start.bytes) && (!ascii_ || byte_lines_.empty())) {
      // Under "ascii" the first such line is the one that fails; under
      // another encoding any of them may.
      byte_lines_.push_back({start.bytes, sink_.size()});
    }
  }

  // The join: every byte line decoded, in order, when any line is unicode.
  void join() {
    if (!any_unicode_) return;
    for (const auto& [from, to] : byte_lines_)
      steal(PyUnicode_FromEncodedObject(sink_.bytes_between(from, to).ptr(), nullptr, "strict"));
  }

 private:
  TextSink& sink_;
  bool ascii_;
  std::size_t lines_ = 0;
  bool any_unicode_ = false;
  std::vector<std::pair<std::size_t, std::size_t>> byte_lines_;
};

// The entries of one expanded container: a list's elements (named by their
// positions) or the (name, content) pairs of an expander.
struct Expansion {
  py::object items;  // an exact list of our own, never changed while it is walked
  bool positional = false;
};

// The expansion of obj, or an empty Expansion when its kind is not expanded.
Expansion expand(py::handle obj) {
  Expander expander = expander_for(obj);
  if (expander == nullptr) return {};
  if (expander == &listaddindex)  // zip(range(len(obj)), obj): a copy of the elements
    return {steal(PyList_GetSlice(obj.ptr(), 0, PY_SSIZE_T_MAX)), true};
  return {expander(obj), false};
}

class Renderer {
 public:
  explicit Renderer(TextSink& sink)
      : sink_(sink), ascii_(std::strcmp(PyUnicode_GetDefaultEncoding(), "ascii") == 0) {}

  // printtree(tree, tab) of a tree of host nodes (an exact list).
  void write_tree(py::handle tree, py::handle tab) {
    qz::host::RecursionGuard guard(" while rendering a tree");
    write_prefix(tab);
    Level level(sink_, ascii_);
    py::object symbols, next_tab;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tree.ptr()); ++i) {
      py::object node = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(tree.ptr(), i));
      if (!next_tab) read_level_values(tab, symbols, next_tab);
      py::object name = name_text(symbols, item(node, bound->name_key));
      py::object kind = item(node, bound->type_key);
      py::object type = explored(kind) ? kind : bound->empty;
      py::object value = item(node, bound->value_key);
      Mark line = level.begin_line();
      bool unicode;
      if (Py_TYPE(value.ptr()) == &PyList_Type)
        unicode = write_nested_line(tab, name, type, [&] { write_tree(value, next_tab); });
      else
        unicode = write_leaf_line(tab, name, type, value);
      level.end_line(line, unicode);
    }
    level.join();
  }

  // printtree(totree(obj, depth), tab) for an obj that expanded to `entries`
  // at `depth`; the caller holds the recursion guard of that expansion.
  void write_value(const Expansion& entries, py::handle depth, py::handle tab) {
    write_prefix(tab);
    Level level(sink_, ascii_);
    py::object deeper = next_depth(depth);
    py::object symbols, next_tab;
    PyObject* items = entries.items.ptr();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
      py::object name, content;
      PyObject* entry = PyList_GET_ITEM(items, i);
      if (entries.positional) {
        name = steal(PyInt_FromSsize_t(i));
        content = py::reinterpret_borrow<py::object>(entry);
      } else {
        name = steal(PySequence_GetItem(entry, 0));
        content = steal(PySequence_GetItem(entry, 1));
      }
      // totree's step for this entry: the depth cut, then the expansion.
      py::object leaf;
      Expansion nested;
      std::optional<qz::host::RecursionGuard> guard;
      if (equal(deeper, library_value("MAXD"))) {
        leaf = bound->depth_message;
      } else if (expander_for(content) == nullptr) {
        leaf = content;
      } else {
        guard.emplace(" while building a tree");
        nested = expand(content);
      }
      if (!next_tab) read_level_values(tab, symbols, next_tab);
      py::object name_shown = name_text(symbols, name);
      py::handle kind = reinterpret_cast<PyObject*>(Py_TYPE(content.ptr()));
      py::object type = explored(kind) ? py::reinterpret_borrow<py::object>(kind)
                                       : bound->empty;
      Mark line = level.begin_line();
      bool unicode;
      if (leaf)
        unicode = write_leaf_line(tab, name_shown, type, leaf);
      else
        unicode = write_nested_line(tab, name_shown, type,
                                    [&] { write_value(nested, deeper, next_tab); });
      level.end_line(line, unicode);
    }
    level.join();
  }

 private:
  // printtree reads SYMBOLS and TAB at a level's first node, as the host
  // reads globals at the moment of use.
  void read_level_values(py::handle tab, py::object& symbols, py::object& next_tab) {
    symbols = library_value("SYMBOLS");
    next_tab = steal(PyNumber_Add(tab.ptr(), library_value("TAB").ptr()));
  }

  void write_prefix(py::handle tab) {
    if (!is_empty_text(tab)) sink_.append_ascii("\n");
  }

  void write_plain(PyObject* o) {
    if (PyString_CheckExact(o)) {
      sink_.append_bytes(std::string_view(PyString_AS_STRING(o),
                                          static_cast<std::size_t>(PyString_GET_SIZE(o))));
      return;
    }
    PyObject* cached = kind_text(o);
    py::object shown = cached ? py::reinterpret_borrow<py::object>(cached)
                              : steal(PyObject_Str(o));
    sink_.append_text(shown);
  }

  // "%s%s = %s%s" % (tab, name, type, leaf); returns whether it is unicode.
  bool write_leaf_line(py::handle tab, py::handle name, py::handle type, py::handle leaf) {
    if (plain(tab.ptr()) && plain(name.ptr()) && plain(type.ptr()) && plain(leaf.ptr())) {
      write_plain(tab.ptr());
      write_plain(name.ptr());
      sink_.append_ascii(" = ");
      write_plain(type.ptr());
      write_plain(leaf.ptr());
      return false;
    }
    py::tuple parts = py::make_tuple(py::reinterpret_borrow<py::object>(tab),
                                     py::reinterpret_borrow<py::object>(name),
                                     py::reinterpret_borrow<py::object>(type),
                                     py::reinterpret_borrow<py::object>(leaf));
    py::object line = steal(PyString_Format(bound->line_format.ptr(), parts.ptr()));
    sink_.append_text(line);
    return PyUnicode_Check(line.ptr());
  }

  // The same line with a nested level as its content, written by
  // write_content after "%s%s = %s" % (tab, name, type). The host formats
  // such a line with the nested text in hand: a unicode start decodes a byte
  // nested text, a unicode nested text decodes a byte start. Returns whether
  // the line is unicode.
  template <class WriteContent>
  bool write_nested_line(py::handle tab, py::handle name, py::handle type,
                         WriteContent&& write_content) {
    Mark line = sink_.mark();
    bool start_unicode = false;
    if (plain(tab.ptr()) && plain(name.ptr()) && plain(type.ptr())) {
      write_plain(tab.ptr());
      write_plain(name.ptr());
      sink_.append_ascii(" = ");
      write_plain(type.ptr());
    } else {
      py::tuple parts = py::make_tuple(py::reinterpret_borrow<py::object>(tab),
                                       py::reinterpret_borrow<py::object>(name),
                                       py::reinterpret_borrow<py::object>(type));
      py::object start = steal(PyString_Format(bound->line_start_format.ptr(), parts.ptr()));
      sink_.append_text(start);
      start_unicode = PyUnicode_Check(start.ptr());
    }
    bool start_non_ascii = !start_unicode && sink_.non_ascii_since(line.bytes);
    Mark content = sink_.mark();
    write_content();
    bool content_unicode = sink_.unicode_since(content);
    if (start_unicode && !content_unicode && sink_.non_ascii_since(content.bytes))
      decode(content.bytes, sink_.size());
    else if (content_unicode && start_non_ascii)
      decode(line.bytes, content.bytes);
    return start_unicode || content_unicode;
  }

  // Decodes bytes [from, to) as the host would to meet unicode: its own
  // error when they do not decode.
  void decode(std::size_t from, std::size_t to) {
    steal(PyUnicode_FromEncodedObject(sink_.bytes_between(from, to).ptr(), nullptr, "strict"));
  }

  TextSink& sink_;
  bool ascii_;
};

// What dumptree's rendering left: the value itself (not expanded, or cut at
// the depth limit) in `value`, or the text in `text`; `usage` when obj was
// false and the usage line was printed instead.
struct Rendering {
  bool usage = false;
  py::object value;
  TextSink text;
};

// dumptree's steps 1 to 4: the truth test, TAB and MAXD, the rendering.
void render(Rendering& out, py::handle obj, py::handle indent, py::handle depth) {
  if (!qz::host::truth(obj)) {
    qz::host::log("usage: dumptree(object[, output[, indent[, depth]]])");
    out.usage = true;
    return;
  }
  py::object tab = steal(PyNumber_Multiply(text(" ").ptr(), indent.ptr()));
  bound->globals[text("TAB")] = tab;
  bound->globals[text("MAXD")] = depth;
  py::object top = qz::host::integer(0);
  if (equal(top, library_value("MAXD"))) {
    out.value = bound->depth_message;
    return;
  }
  if (expander_for(obj) == nullptr) {
    out.value = py::reinterpret_borrow<py::object>(obj);
    return;
  }
  qz::host::RecursionGuard guard(" while building a tree");
  Expansion entries = expand(obj);
  Renderer(out.text).write_value(entries, top, bound->empty);
}

py::object dumptree_of(py::handle obj, py::handle output, py::handle indent, py::handle depth) {
  Rendering r;
  render(r, obj, indent, depth);
  if (r.usage) return py::none();
  py::object res = r.value ? r.value : r.text.take();
  if (qz::host::truth(output)) qz::host::log(res);
  return res;
}

// ---- qz_dumptree's frame ----
//
// The host's steps on the rendering of ["(", obj, ")"]: split at "\n",
// first line "(", last line ")", second line removed, joined with "\n".
// With at least four lines that is "(\n" + the text between the second and
// the last "\n" + "\n)", of the rendering's own kind, which is built here
// without splitting; shorter texts (and anything else) take the host's steps.

py::object frame_by_host_steps(py::handle res) {
  py::object lines = res.attr("split")(bound->newline);
  if (PySequence_SetItem(lines.ptr(), 0, text("(").ptr()) != 0 ||
      PySequence_SetItem(lines.ptr(), -1, text(")").ptr()) != 0 ||
      PySequence_DelItem(lines.ptr(), 1) != 0)
    throw py::error_already_set();
  return bound->newline.attr("join")(lines);
}

// The middle of a text of n units: the positions after its second "\n" and
// of its last "\n", when it has at least three.
template <class Unit>
std::optional<std::pair<std::size_t, std::size_t>> frame_middle(const Unit* s, std::size_t n) {
  std::size_t seen = 0, after_second = 0, last = 0;
  for (std::size_t i = 0; i < n && seen < 2; ++i)
    if (s[i] == '\n' && ++seen == 2) after_second = i + 1;
  if (seen < 2) return std::nullopt;
  for (last = n; last-- > after_second;)
    if (s[last] == '\n') return std::make_pair(after_second, last);
  return std::nullopt;
}

template <class Unit>
void fill_frame(Unit* out, const Unit* middle, std::size_t length) {
  out[0] = '(';
  out[1] = '\n';
  std::copy(middle, middle + length, out + 2);
  out[2 + length] = '\n';
  out[3 + length] = ')';
}

py::object frame_text(py::handle res) {
  PyObject* o = res.ptr();
  if (PyString_CheckExact(o)) {
    const char* s = PyString_AS_STRING(o);
    if (auto m = frame_middle(s, static_cast<std::size_t>(PyString_GET_SIZE(o)))) {
      std::size_t length = m->second - m->first;
      py::object framed =
          steal(PyString_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length + 4)));
      fill_frame(PyString_AS_STRING(framed.ptr()), s + m->first, length);
      return framed;
    }
  } else if (PyUnicode_CheckExact(o)) {
    const Py_UNICODE* s = PyUnicode_AS_UNICODE(o);
    if (auto m = frame_middle(s, static_cast<std::size_t>(PyUnicode_GET_SIZE(o)))) {
      std::size_t length = m->second - m->first;
      py::object framed =
          steal(PyUnicode_FromUnicode(nullptr, static_cast<Py_ssize_t>(length + 4)));
      fill_frame(PyUnicode_AS_UNICODE(framed.ptr()), s + m->first, length);
      return framed;
    }
  }
  return frame_by_host_steps(res);
}

// The frame cut straight out of a byte text still in the sink.
py::object frame_sink(TextSink& sink) {
  std::size_t first = sink.find_newline(0);
  std::size_t second = first == TextSink::npos ? first : sink.find_newline(first + 1);
  std::size_t last = sink.rfind_newline();
  if (second == TextSink::npos || last == second) return frame_text(sink.take());
  return sink.take_bytes("(\n", second + 1, last, "\n)");
}

// ---- the operations, taking their arguments as host functions do ----

py::object default_or(const py::object& given, py::object fallback) {
  return given ? given : std::move(fallback);
}

using DumpArguments = std::array<py::object, 4>;

DumpArguments dump_arguments(const py::args& args, const py::kwargs& kwargs, const char* format) {
  DumpArguments a = qz::host::parse_arguments<4>(args, kwargs, format,
                                        {"obj", "output", "indent", "depth"});
  return {default_or(a[0], py::bool_(false)), default_or(a[1], py::bool_(true)),
          default_or(a[2], qz::host::integer(4)), default_or(a[3], qz::host::integer(10))};
}

py::object dumptree(py::args args, py::kwargs kwargs) {
  DumpArguments a = dump_arguments(args, kwargs, "|OOOO:dumptree");
  return dumptree_of(a[0], a[1], a[2], a[3]);
}

py::object qz_dumptree(py::args args, py::kwargs kwargs) {
  DumpArguments a = dump_arguments(args, kwargs, "|OOOO:qz_dumptree");
  py::list framed;
  framed.append(text("("));
  framed.append(a[0]);
  framed.append(text(")"));
  Rendering r;
  render(r, framed, a[2], a[3]);
  if (r.usage) return frame_by_host_steps(py::none());
  bool print = qz::host::truth(a[1]);
  if (!r.value && !print && !r.text.has_unicode()) return frame_sink(r.text);
  py::object res = r.value ? r.value : r.text.take();
  if (print) qz::host::log(res);
  return frame_text(res);
}

py::object totree(py::args args, py::kwargs kwargs) {
  auto a = qz::host::parse_arguments<2>(args, kwargs, "O|O:totree", {"obj", "depth"});
  return totree_at(a[0], default_or(a[1], qz::host::integer(0)));
}

py::object printtree(py::args args, py::kwargs kwargs) {
  auto a = qz::host::parse_arguments<2>(args, kwargs, "O|O:printtree", {"tree", "tab"});
  py::handle tree = a[0];
  py::object tab = default_or(a[1], bound->empty);
  if (Py_TYPE(tree.ptr()) != &PyList_Type) return py::reinterpret_borrow<py::object>(tree);
  TextSink sink;
  Renderer(sink).write_tree(tree, tab);
  return sink.take();
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
  bound = new Bindings{.globals = py::reinterpret_borrow<py::dict>(m.attr("__dict__"))};
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
