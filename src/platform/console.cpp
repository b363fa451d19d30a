#include "platform/console.h"

#include <iostream>

namespace tavrelon {

void printLine(const std::string& text) {
  std::cout << text << std::endl;
}

}  // namespace tavrelon
