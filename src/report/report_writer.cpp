#include "report/report_writer.h"

#include <cstdio>
#include <string_view>

#include "platform/text_encoding.h"

namespace tavrelon::report {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// True for a valid sequence that must not reach the page as it is: C1
// controls, which HTML forbids, and the bidirectional embeddings, overrides
// and isolates, which could make a path read as another.
bool isHiddenControl(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (byte(at) == 0xC2)
    return byte(at + 1) <= 0x9F;
  if (byte(at) != 0xE2)
    return false;
  return (byte(at + 1) == 0x80 && byte(at + 2) >= 0xAA && byte(at + 2) <= 0xAE) ||
         (byte(at + 1) == 0x81 && byte(at + 2) >= 0xA6 && byte(at + 2) <= 0xA9);
}

// What stands for the ASCII byte `c` in escaped text, or nullptr for itself;
// quotes stay themselves when `keepQuotes` (content only, never an attribute).
const char* asciiReplacement(unsigned char c, bool keepQuotes) {
  if (keepQuotes && (c == '"' || c == '\''))
    return nullptr;
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#39;";
    case '\t':
    case '\n':
    case '\r':
      return " ";
    default:
      return c < 0x20 || c == 0x7F ? kReplacement : nullptr;
  }
}

void appendEscapedText(std::string& out, const std::string& text, bool keepQuotes) {
  std::size_t plain = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char* replacement = nullptr;
    std::size_t length = 1;
    if (c >= 0x80) {
      length = utf8SequenceLength(text, i);
      if (length == 0) {
        length = 1;
        replacement = kReplacement;
      } else if (isHiddenControl(text, i)) {
        replacement = kReplacement;
      }
    } else {
      replacement = asciiReplacement(c, keepQuotes);
    }
    if (replacement != nullptr) {
      out.append(text, plain, i - plain);
      out += replacement;
      plain = i + length;
    }
    i += length;
  }
  out.append(text, plain, std::string::npos);
}

}  // namespace

void appendEscaped(std::string& out, const std::string& text) {
  appendEscapedText(out, text, false);
}

std::string escaped(const std::string& text) {
  std::string out;
  appendEscaped(out, text);
  return out;
}

void appendNumber(std::string& out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string_view digits(text);
  if (digits.size() > 2 && digits.substr(digits.size() - 2) == ".0")
    digits.remove_suffix(2);
  out += digits;
}

std::string numberText(double value) {
  std::string out;
  appendNumber(out, value);
  return out;
}

HtmlWriter& HtmlWriter::start(const char* name) {
  return put("<").put(name);
}

HtmlWriter& HtmlWriter::attr(const char* name, const std::string& value) {
  put(" ").put(name).put("=\"");
  appendEscaped(out_, value);
  return put("\"");
}

HtmlWriter& HtmlWriter::attr(const char* name, double value) {
  put(" ").put(name).put("=\"");
  appendNumber(out_, value);
  return put("\"");
}

HtmlWriter& HtmlWriter::end(const char* name) {
  return put("</").put(name).put(">");
}

HtmlWriter& HtmlWriter::element(const char* name, const std::string& content) {
  return start(name).open().text(content).end(name);
}

HtmlWriter& HtmlWriter::text(const std::string& content) {
  appendEscaped(out_, content);
  return *this;
}

HtmlWriter& HtmlWriter::prose(const std::string& content) {
  appendEscapedText(out_, content, true);
  return *this;
}

HtmlWriter& HtmlWriter::trustedMarkup(const std::string& markup) {
  out_ += markup;
  return *this;
}

HtmlWriter& HtmlWriter::put(const char* fixed) {
  out_ += fixed;
  return *this;
}

}  // namespace tavrelon::report
