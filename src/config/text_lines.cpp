#include "config/text_lines.h"

#include "platform/files.h"

namespace tavrelon {

std::vector<std::string> splitLines(const std::string& content) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < content.size()) {
    std::string::size_type end = content.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      // A last line without a line end is still a line.
      lines.emplace_back(content, start);
      break;
    }
    lines.emplace_back(content, start, end - start);
    // CR LF, a lone LF and a lone CR (as old editors save) each end one line.
    start = end +
            (content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n' ? 2 : 1);
  }
  return lines;
}

bool readTextLines(const std::string& path, std::vector<std::string>& lines) {
  lines.clear();
  std::string content;
  if (!platform::readFile(path, content))
    return false;
  lines = splitLines(content);
  return true;
}

}  // namespace tavrelon
