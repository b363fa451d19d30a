#include "config/text_lines.h"

#include "platform/platform.h"

namespace tavrelon {

std::vector<std::string> splitLines(const std::string& content) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < content.size()) {
    std::string::size_type end = content.find('\n', start);
    if (end == std::string::npos) {
      // A last line without a line end is still a line.
      lines.emplace_back(content, start);
      break;
    }
    std::string::size_type length = end - start;
    if (length > 0 && content[end - 1] == '\r')
      --length;
    lines.emplace_back(content, start, length);
    start = end + 1;
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
