#include "platform/text_encoding.h"

#include "platform/text.h"

namespace tavrelon {

namespace {

// The well-formed UTF-8 sequences by their lead byte: how long each is, and the
// range its second byte must fall in, which rules out overlong forms,
// surrogates (ED A0..BF) and code points above U+10FFFF. Later bytes are 80..BF.
struct Utf8Lead {
  unsigned char first, last, length, low, high;
};
constexpr Utf8Lead kUtf8Leads[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

}  // namespace

std::size_t utf8SequenceLength(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80)
    return 1;
  for (const Utf8Lead& form : kUtf8Leads) {
    if (lead < form.first || lead > form.last)
      continue;
    if (text.size() - at < form.length || byte(at + 1) < form.low || byte(at + 1) > form.high)
      return 0;
    for (std::size_t k = at + 2; k < at + form.length; ++k) {
      if (byte(k) < 0x80 || byte(k) > 0xBF)
        return 0;
    }
    return form.length;
  }
  return 0;
}

bool isValidUtf8(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = utf8SequenceLength(bytes, i);
    if (length == 0)
      return false;
    i += length;
  }
  return true;
}

std::string textAsUtf8(const std::string& bytes) {
  if (isValidUtf8(bytes))
    return bytes;
  // A byte-order mark stays as it is, so that whoever skips it still finds it.
  static const std::string kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0)
    return kByteOrderMark + platform::fromAnsiCodePage(bytes.substr(kByteOrderMark.size()));
  return platform::fromAnsiCodePage(bytes);
}

}  // namespace tavrelon
