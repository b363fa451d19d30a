#include "supervision/console.h"

#include <cstdio>
#include <iostream>

namespace tavrelon {

void printLine(const std::string& text) {
  std::cout << text << std::endl;
  if (!std::cout) {
    // A closed or broken output (a reader that went away) drops the line;
    // supervision goes on, and so do later lines.
    std::cout.clear();
    std::clearerr(stdout);
  }
}

}  // namespace tavrelon
