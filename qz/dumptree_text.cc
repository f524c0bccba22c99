#include "qz/dumptree_text.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qz::dumptree {

namespace {

using qz::host::steal;

// Up to this size the bytes live in the ordinary heap (a small rendering
// should not pay for a mapping); past it in pages of their own, which grow
// without copying and go back to the system the moment they are copied out.
// The heap would keep them (and the allocator would copy on growth).
constexpr std::size_t kHeapLimit = std::size_t(1) << 20;
// take() copies and hands back this much at a time.
constexpr std::size_t kCopyStep = std::size_t(1) << 20;

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

bool has_non_ascii(const char* p, std::size_t n) {
  unsigned char any = 0;
  for (std::size_t i = 0; i < n; ++i) any |= static_cast<unsigned char>(p[i]);
  return any & 0x80;
}

}  // namespace

TextSink::~TextSink() { release(); }

void TextSink::release() {
  if (data_ != nullptr) {
    if (mapped_)
      munmap(data_, capacity_);
    else
      std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = non_ascii_end_ = 0;
  mapped_ = false;
  units_.clear();
  units_.shrink_to_fit();
  pieces_.clear();
  pieces_.shrink_to_fit();
  unicode_writes_ = 0;
}

void TextSink::grow(std::size_t extra) {
  std::size_t wanted = std::max({size_ + extra, capacity_ * 2, std::size_t(4096)});
  if (wanted <= kHeapLimit) {
    void* moved = std::realloc(data_, wanted);
    if (moved == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(moved);
    capacity_ = wanted;
    return;
  }
  std::size_t page = page_size();
  wanted = (wanted + page - 1) / page * page;
  void* moved;
  if (!mapped_) {
    moved = mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    std::memcpy(moved, data_, size_);
    std::free(data_);
    mapped_ = true;
  } else {
    moved = mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
  }
  data_ = static_cast<char*>(moved);
  capacity_ = wanted;
}

void TextSink::append_bytes(std::string_view s) {
  if (has_non_ascii(s.data(), s.size())) {
    std::size_t last = s.size();
    while (!(static_cast<unsigned char>(s[last - 1]) & 0x80)) --last;
    non_ascii_end_ = size_ + last;
  }
  write(s);
}

void TextSink::append_text(py::handle text) {
  PyObject* o = text.ptr();
  if (PyString_Check(o)) {
    append_bytes(std::string_view(PyString_AS_STRING(o),
                                  static_cast<std::size_t>(PyString_GET_SIZE(o))));
    return;
  }
  const Py_UNICODE* units = PyUnicode_AS_UNICODE(o);
  units_.insert(units_.end(), units, units + PyUnicode_GET_SIZE(o));
  if (!pieces_.empty() && pieces_.back().at == size_)
    pieces_.back().end = units_.size();
  else
    pieces_.push_back({size_, units_.size()});
  ++unicode_writes_;  // counted even when empty: u"" too makes the text unicode
}

py::object TextSink::bytes_between(std::size_t from, std::size_t to) const {
  return steal(PyString_FromStringAndSize(data_ + from, static_cast<Py_ssize_t>(to - from)));
}

std::size_t TextSink::find_newline(std::size_t from) const {
  if (from >= size_) return npos;
  const void* found = std::memchr(data_ + from, '\n', size_ - from);
  return found == nullptr ? npos : static_cast<const char*>(found) - data_;
}

std::size_t TextSink::rfind_newline() const {
  if (size_ == 0) return npos;
  const void* found = memrchr(data_, '\n', size_);
  return found == nullptr ? npos : static_cast<const char*>(found) - data_;
}

template <class Unit>
void TextSink::copy_out(Unit* out, std::size_t from, std::size_t to) {
  std::size_t page = page_size();
  for (std::size_t at = from; at < to;) {
    std::size_t step = std::min(kCopyStep, to - at);
    if constexpr (sizeof(Unit) == 1) {
      std::memcpy(out, data_ + at, step);
    } else {
      const unsigned char* in = reinterpret_cast<const unsigned char*>(data_ + at);
      for (std::size_t i = 0; i < step; ++i) out[i] = in[i];
    }
    out += step;
    at += step;
    // Everything before `at` has been copied and is not read again.
    if (mapped_) madvise(data_, at / page * page, MADV_DONTNEED);
  }
}

py::object TextSink::take() {
  if (unicode_writes_ != 0) return take_unicode();
  return take_bytes({}, 0, size_, {});
}

py::object TextSink::take_bytes(std::string_view head, std::size_t from, std::size_t to,
                                std::string_view tail) {
  py::object result = steal(PyString_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(head.size() + (to - from) + tail.size())));
  char* out = PyString_AS_STRING(result.ptr());
  std::memcpy(out, head.data(), head.size());
  copy_out(out + head.size(), from, to);
  std::memcpy(out + head.size() + (to - from), tail.data(), tail.size());
  release();
  return result;
}

// Byte runs decode by the host's default encoding. Under "ascii" (the host's
// setting unless a site has changed it) every byte that stands in a unicode
// text was already found to decode where it met unicode, so each byte is one
// character; any other encoding, or a byte outside ASCII, is decoded by the
// host run by run, so that its own error is the one raised.
py::object TextSink::take_unicode() {
  bool ascii = std::strcmp(PyUnicode_GetDefaultEncoding(), "ascii") == 0;
  if (!ascii || non_ascii_end_ != 0) {
    py::list parts;
    std::size_t at = 0, unit = 0;
    auto add_bytes = [&](std::size_t to) {
      if (to > at)
        parts.append(steal(PyUnicode_Decode(data_ + at, static_cast<Py_ssize_t>(to - at),
                                            nullptr, "strict")));
      at = to;
    };
    for (const Piece& piece : pieces_) {
      add_bytes(piece.at);
      parts.append(steal(PyUnicode_FromUnicode(units_.data() + unit,
                                               static_cast<Py_ssize_t>(piece.end - unit))));
      unit = piece.end;
    }
    add_bytes(size_);
    py::object empty = steal(PyUnicode_FromUnicode(nullptr, 0));
    py::object result = steal(PyUnicode_Join(empty.ptr(), parts.ptr()));
    release();
    return result;
  }
  py::object result =
      steal(PyUnicode_FromUnicode(nullptr, static_cast<Py_ssize_t>(size_ + units_.size())));
  Py_UNICODE* out = PyUnicode_AS_UNICODE(result.ptr());
  std::size_t at = 0, unit = 0;
  for (const Piece& piece : pieces_) {
    copy_out(out, at, piece.at);
    out += piece.at - at;
    at = piece.at;
    out = std::copy(units_.begin() + unit, units_.begin() + piece.end, out);
    unit = piece.end;
  }
  copy_out(out, at, size_);
  release();
  return result;
}

}  // namespace qz::dumptree
