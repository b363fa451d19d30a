#include "report/report_output.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/files.h"
#include "report/report_html.h"

namespace tavrelon::report {

namespace {

namespace fs = std::filesystem;

// The path as the file system library takes it: the report's strings are UTF-8.
fs::path pathOf(const std::string& path) {
  return fs::u8path(path);
}

// What is at `path` itself, a link not followed.
fs::file_status entryAt(const std::string& path) {
  std::error_code error;
  return fs::symlink_status(pathOf(path), error);
}

// A name no one can guess before it exists.
std::string uniquePart() {
  std::random_device device;
  const auto clock = static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  const std::uint64_t value =
      (static_cast<std::uint64_t>(device()) << 32 ^ device()) ^ clock * 0x9E3779B97F4A7C15ull;
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int shift = 60; shift >= 0; shift -= 4)
    text += kHex[(value >> shift) & 15];
  return text;
}

}  // namespace

std::string freePageName(const std::string& stem) {
  std::string name = stem + ".html";
  for (int n = 2; fs::exists(entryAt(name)) || fs::is_symlink(entryAt(name)); ++n)
    name = stem + "_" + std::to_string(n) + ".html";
  return name;
}

std::string writePage(const std::string& path, const std::string& page, bool replaceable) {
  const fs::file_status status = entryAt(path);
  if (fs::is_symlink(status))
    return "Error: The page would be written through a link, not written [" + path + "]";
  if (status.type() != fs::file_type::not_found) {
    std::string start;
    const std::size_t length = std::strlen(kPageStart);
    if (!fs::is_regular_file(status) || !replaceable ||
        platform::readRegularFileStart(path, length, start) != platform::FileOutcome::Done ||
        start != kPageStart)
      return "Error: A file that is no page of tavrelon_report is in the way, not replaced [" +
             path + "]";
  }
  const std::string temporary = path + ".TavrelonReport-" + uniquePart() + ".tmp";
  if (platform::replaceRegularFile(temporary, page, "TavrelonReport") !=
      platform::FileOutcome::Done)
    return "Error: Cannot write the report [" + path + "]";
  // A rename replaces what is at the path itself, a link included, and never
  // writes into a link's target.
  std::error_code error;
  fs::rename(pathOf(temporary), pathOf(path), error);
  if (error) {
    fs::remove(pathOf(temporary), error);
    return "Error: Cannot write the report [" + path + "]";
  }
  return std::string();
}

}  // namespace tavrelon::report
