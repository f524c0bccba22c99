// Well-formed UTF-8 (RFC 3629: no overlong form, no surrogate, nothing past
// U+10FFFF), the one rule by which log lines and mail text decide which
// bytes are text. (Python 2's own decoder lets encoded surrogates through.)
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qz::host {

// Length of the well-formed UTF-8 sequence at s[0] (of n > 0 bytes), or 0 if
// there is none.
std::size_t utf8_sequence(const unsigned char* s, std::size_t n);

// True when every byte of `bytes` belongs to a well-formed sequence.
bool is_utf8(std::string_view bytes);

// Appends `bytes` to `out` as they are where they are UTF-8 and every other
// byte as the four characters \xNN (lower-case hex), so that the result is
// always UTF-8 and still shows every byte.
void append_escaped_utf8(std::string& out, std::string_view bytes);

}  // namespace qz::host
