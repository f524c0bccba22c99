// The text that one dumptree rendering writes, held natively until it is
// handed to the host as one string.
//
// The host would build the rendering out of byte strings and unicode strings,
// promoting to unicode wherever the two meet. TextSink keeps both as they
// come: byte pieces in one buffer, unicode pieces beside it with the byte
// offset at which each stands. The caller decides, at the points where the
// host's own formatting and joining would meet the two, whether the bytes
// there decode (non_ascii_since(), bytes_between()); take() then builds the
// one host string: a byte string when no unicode piece was written, else
// unicode with every byte run decoded by the host's default encoding.
//
// Memory: the bytes live in memory of their own (mapped pages once past
// 1 MiB, grown without copying), and take() hands pages back to the system
// as it copies them into the result, so a rendering costs about one text,
// not two, at its peak.
#pragma once

#include "host/host.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace qz::dumptree {

// A position in the text: so many bytes and so many unicode texts written.
struct Mark {
  std::size_t bytes;
  std::size_t unicode_writes;
};

class TextSink {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  TextSink() = default;
  ~TextSink();
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;

  // Bytes known to be ASCII (the renderer's own punctuation).
  void append_ascii(std::string_view s) { write(s); }
  // Bytes from the host: noted when any is outside ASCII.
  void append_bytes(std::string_view s);
  // The text of an exact host str or unicode object.
  void append_text(py::handle text);

  Mark mark() const { return {size_, unicode_writes_}; }
  std::size_t size() const { return size_; }
  // True when a unicode text (even an empty one) was written since m.
  bool unicode_since(const Mark& m) const { return unicode_writes_ > m.unicode_writes; }
  bool has_unicode() const { return unicode_writes_ != 0; }
  // True when a byte outside ASCII was written at or after byte offset `from`.
  bool non_ascii_since(std::size_t from) const { return non_ascii_end_ > from; }
  // The bytes written between two byte offsets, as a host str; meaningful
  // only where no unicode piece stands between them.
  py::object bytes_between(std::size_t from, std::size_t to) const;

  // Byte offsets of "\n" (npos when none): the first at or after `from`,
  // and the last. Only for a text without unicode pieces.
  std::size_t find_newline(std::size_t from) const;
  std::size_t rfind_newline() const;

  // The whole text as one host string (see above); the sink is left empty.
  py::object take();
  // head + bytes [from, to) + tail as a host str; the sink is left empty.
  // Only for a text without unicode pieces.
  py::object take_bytes(std::string_view head, std::size_t from, std::size_t to,
                        std::string_view tail);

 private:
  struct Piece {
    std::size_t at;   // byte offset at which this unicode run stands
    std::size_t end;  // one past its last unit in units_
  };

  void write(std::string_view s) {
    if (capacity_ - size_ < s.size()) grow(s.size());
    if (!s.empty()) __builtin_memcpy(data_ + size_, s.data(), s.size());
    size_ += s.size();
  }
  void grow(std::size_t extra);
  // Copies bytes [from, to) to out (widened to unicode units when Unit is
  // Py_UNICODE), handing the source pages back as it goes.
  template <class Unit>
  void copy_out(Unit* out, std::size_t from, std::size_t to);
  py::object take_unicode();
  void release();

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
  std::size_t non_ascii_end_ = 0;  // one past the last byte outside ASCII
  std::vector<Py_UNICODE> units_;  // the unicode texts, run after run
  std::vector<Piece> pieces_;      // where each run stands; adjacent texts share one
  std::size_t unicode_writes_ = 0;
};

}  // namespace qz::dumptree
