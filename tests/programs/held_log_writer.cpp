// Plays a supervised program that keeps its log file open for its whole run.
//
//   held_log_writer --log FILE [--lines N] [--interval-ms N] [--code N]
//                   [--deny-read] [--hold-ms N] [--read-only]
//                   [--first-run-flag FLAG --first-run hang|crash]
//
// Opens FILE once (appending) and writes N lines "step,<i>" through that one
// open file, each flushed, INTERVAL_MS apart (defaults 5 and 20). With
// --deny-read (Windows) the open lets no one else read FILE while it is held,
// as some programs open their logs; POSIX has no such open and ignores it.
// Then the file stays open HOLD_MS more (default 0), and with --read-only
// every write permission is taken away from FILE. The run ends with
// exit code CODE (default 0) and the file still open; a FILE that cannot be
// opened gets no lines and the run ends at once. But while FLAG does not
// exist, the run creates it and instead hangs without writing or exits with
// code 3, as --first-run says.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#ifdef _WIN32
#include <share.h>
#endif

// FILE opened for appending; with `denyRead` on Windows no one else may read it meanwhile.
std::FILE* openLog(const std::string& path, bool denyRead) {
#ifdef _WIN32
  if (denyRead)
    return ::_wfsopen(std::filesystem::u8path(path).wstring().c_str(), L"ab", _SH_DENYRD);
#endif
  (void)denyRead;
  return std::fopen(path.c_str(), "ab");
}

int main(int argc, char** argv) {
  std::map<std::string, std::string> options{
      {"--lines", "5"}, {"--interval-ms", "20"}, {"--code", "0"}, {"--hold-ms", "0"}};
  bool readOnly = false;
  bool denyRead = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--read-only")
      readOnly = true;
    else if (word == "--deny-read")
      denyRead = true;
    else if (i + 1 < argc)
      options[word] = argv[++i];
  }
  const std::string path = options["--log"];
  if (path.empty()) {
    std::fprintf(stderr, "held_log_writer: --log FILE is required\n");
    return 2;
  }
  const int lines = std::atoi(options["--lines"].c_str());
  const auto interval = std::chrono::milliseconds(std::atoll(options["--interval-ms"].c_str()));

  std::FILE* log = openLog(path, denyRead);
  // A log that cannot be opened (read-only, say) gets no lines and no pauses.
  for (int i = 1; i <= lines && log != nullptr; ++i) {
    if (i > 1)
      std::this_thread::sleep_for(interval);
    std::fprintf(log, "step,%d\n", i);
    std::fflush(log);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(options["--hold-ms"].c_str())));
  if (readOnly) {
    std::error_code ignored;
    std::filesystem::permissions(path,
                                 std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove, ignored);
  }
  const std::string flag = options["--first-run-flag"];
  if (!flag.empty() && !std::filesystem::exists(flag)) {
    std::ofstream(flag) << "first run\n";
    if (options["--first-run"] == "hang") {
      for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::exit(3);
  }
  // Ends with the file still open: the exit closes it.
  std::exit(std::atoi(options["--code"].c_str()));
}
