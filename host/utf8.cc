#include "host/utf8.h"

namespace qz::host {

std::size_t utf8_sequence(const unsigned char* s, std::size_t n) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i)
    if ((s[i] & 0xC0) != 0x80) return 0;
  return len;
}

bool is_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    std::size_t len = utf8_sequence(s + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void append_escaped_utf8(std::string& out, std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    std::size_t len = utf8_sequence(s + i, n - i);
    if (len == 0) {
      out += "\\x";
      out += digits[s[i] >> 4];
      out += digits[s[i] & 0xF];
      ++i;
    } else {
      out.append(bytes.data() + i, len);
      i += len;
    }
  }
}

}  // namespace qz::host
