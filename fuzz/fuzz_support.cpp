#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "platform/paths.h"

namespace tavrelon::fuzzing {

namespace fs = std::filesystem;

namespace {

void removeScratch() {
  std::error_code error;
  fs::remove_all(scratchDirectory(), error);
}

std::string makeScratch() {
  std::random_device random;
  for (;;) {
    fs::path candidate = fs::temp_directory_path() / ("tavrelon-fuzz-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error))
      return candidate.string();
  }
}

}  // namespace

const std::string& scratchDirectory() {
  // Never destroyed, so that the exit handler still finds it.
  static const std::string* directory = [] {
    const std::string* made = new std::string(makeScratch());
    std::atexit(removeScratch);
    return made;
  }();
  return *directory;
}

std::string scratchFile(const std::string& name) {
  return scratchDirectory() + platform::separator() + name;
}

void writeBytes(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  require(static_cast<bool>(out), "could not write the input file", path);
}

std::string scratchListing() {
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(scratchDirectory(), error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::string listing;
  for (const std::string& name : names)
    listing += name + "\n";
  return listing;
}

void require(bool condition, const char* what, const std::string& detail) {
  if (condition)
    return;
  std::fprintf(stderr, "FINDING: %s\n", what);
  if (!detail.empty())
    std::fprintf(stderr, "%s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace tavrelon::fuzzing
