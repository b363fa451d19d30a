// The one decision the watchdog makes about the encoding of a text file that
// a person may have saved either way: UTF-8 or the ANSI code page.
#pragma once

#include <cstddef>
#include <string>

namespace tavrelon {

// The length (1 to 4) of the well-formed UTF-8 sequence that begins at
// `text[at]`, or 0 when none does there: a stray continuation byte, an overlong
// form, a surrogate, a value above U+10FFFF or a sequence cut off by the end.
std::size_t utf8SequenceLength(const std::string& text, std::size_t at);

// True when `bytes` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF. ASCII always is.
bool isValidUtf8(const std::string& bytes);

// `bytes` as UTF-8: unchanged when they are valid UTF-8 (a byte-order mark
// included), else read as the ANSI code page and converted (a leading
// byte-order mark kept as it is).
std::string textAsUtf8(const std::string& bytes);

}  // namespace tavrelon
