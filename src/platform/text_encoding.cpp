#include "platform/text_encoding.h"

#include "platform/text.h"

namespace tavrelon {

std::size_t utf8SequenceLength(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80)
    return 1;
  std::size_t length = 0;
  // The range the second byte must fall in rules out overlong forms,
  // surrogates (ED A0..BF) and code points above U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      low = 0xA0;
    if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high)
    return 0;
  for (std::size_t k = at + 2; k < at + length; ++k) {
    if (byte(k) < 0x80 || byte(k) > 0xBF)
      return 0;
  }
  return length;
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
