// Plays the watchdog's console side for the tests: prints numbered lines
// through the console writer as fast as it can take them, then says so in a
// file and stops the writer as the watchdog does at its end.
//
//   console_writer COUNT WIDTH PRINTED_FILE
//
// Line i (from 1) is "line <i> " followed by WIDTH - 1 times 'x' and a '.'.
// PRINTED_FILE is written once every line has been handed to printLine.
#include <cstdio>
#include <fstream>
#include <string>

#include "supervision/console.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: console_writer COUNT WIDTH PRINTED_FILE\n");
    return 2;
  }
  const int count = std::stoi(argv[1]);
  const std::size_t width = static_cast<std::size_t>(std::stoi(argv[2]));
  tavrelon::startConsoleWriter();
  for (int i = 1; i <= count; ++i)
    tavrelon::printLine("line " + std::to_string(i) + " " + std::string(width - 1, 'x') + ".");
  std::ofstream(argv[3]) << "printed\n";
  tavrelon::stopConsoleWriter(2000);
  return 0;
}
