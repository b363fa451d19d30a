// Writing HTML and SVG that is safe by construction: every text and every
// attribute value goes through one escape; tag and attribute names are the
// program's own words; markup taken as it is only through trustedMarkup, for
// the page's fixed prologue and style sheet.
#pragma once

#include <string>

namespace tavrelon::report {

// Appends `text` to `out` so that it reads as the same text in HTML content and
// in quoted attributes: & < > " ' as character references; tab, CR and LF as
// a space; bytes that are no valid UTF-8, other control characters and the
// bidirectional overrides as U+FFFD. Nothing of `text` is ever markup.
void appendEscaped(std::string& out, const std::string& text);

// appendEscaped into a new string.
std::string escaped(const std::string& text);

// `value` with one decimal, or none when it is whole: "12", "4.5".
void appendNumber(std::string& out, double value);
std::string numberText(double value);

// Appends elements to a string. Calls chain: start("a").attr("href", link)
// .open().text(name).end("a"). A tag's attributes come between start and
// open (or openEmpty); names are literals of the program, never data.
class HtmlWriter {
 public:
  explicit HtmlWriter(std::string& out) : out_(out) {}

  // "<name": attributes follow, then open() or openEmpty().
  HtmlWriter& start(const char* name);
  // ` name="value"`, the value escaped as appendEscaped does.
  HtmlWriter& attr(const char* name, const std::string& value);
  // ` name="12.5"`: a number as appendNumber writes it.
  HtmlWriter& attr(const char* name, double value);
  // ">" and "/>": the start tag ends, with content or without.
  HtmlWriter& open() { return put(">"); }
  HtmlWriter& openEmpty() { return put("/>"); }
  // "</name>".
  HtmlWriter& end(const char* name);
  // "<name>text</name>", the text escaped.
  HtmlWriter& element(const char* name, const std::string& text);

  // Content text, escaped as appendEscaped does: tabs and line ends as spaces.
  HtmlWriter& text(const std::string& text);
  // The page's own sentences, escaped as text() does but with quotes kept
  // as they read (content only: an attribute takes attr).
  HtmlWriter& prose(const std::string& text);
  // A line end: between elements, and a line break in a title's text.
  HtmlWriter& newline() { return put("\n"); }
  // "&nbsp;", a space that never breaks the line.
  HtmlWriter& nonBreakingSpace() { return put("&nbsp;"); }

  // `markup` as it is, unescaped: only for the fixed prologue and style sheet
  // that the program holds as constants, never for any text it reads.
  HtmlWriter& trustedMarkup(const std::string& markup);

 private:
  // Appends the program's own fixed text: a name or a piece of syntax.
  HtmlWriter& put(const char* fixed);

  std::string& out_;
};

}  // namespace tavrelon::report
