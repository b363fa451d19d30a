#include "platform/command_line.h"

namespace tavrelon::platform {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> splitArguments(const std::string& arguments) {
  std::vector<std::string> result;
  const std::size_t n = arguments.size();
  std::size_t i = 0;
  for (;;) {
    while (i < n && isBlank(arguments[i]))
      ++i;
    if (i == n)
      break;

    std::string argument;
    bool quoted = false;
    while (i < n && (quoted || !isBlank(arguments[i]))) {
      char c = arguments[i];
      if (c == '\\') {
        std::size_t run = 0;
        while (i + run < n && arguments[i + run] == '\\')
          ++run;
        i += run;
        if (i < n && arguments[i] == '"') {
          // Before a quote the backslashes pair up; an odd one out escapes it.
          argument.append(run / 2, '\\');
          if (run % 2 == 1) {
            argument += '"';
            ++i;
          }
        } else {
          argument.append(run, '\\');
        }
      } else if (c == '"') {
        if (quoted && i + 1 < n && arguments[i + 1] == '"') {
          // "" inside a quoted part is one literal quote, and the part goes on.
          argument += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument += c;
        ++i;
      }
    }
    result.push_back(argument);
  }
  return result;
}

std::string buildCommandLine(const std::string& path, const std::string& arguments) {
  bool needsQuotes = path.find_first_of(" \t") != std::string::npos;
  std::string line = needsQuotes ? "\"" + path + "\"" : path;
  return line + " " + arguments;
}

}  // namespace tavrelon::platform
