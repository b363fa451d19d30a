#include "platform/text_encoding.h"

#include "platform/platform.h"

namespace tavrelon {

bool isValidUtf8(const std::string& bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
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
      return false;
    }
    if (n - i < length)
      return false;
    const unsigned char second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < low || second > high)
      return false;
    for (std::size_t k = 2; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if (next < 0x80 || next > 0xBF)
        return false;
    }
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
