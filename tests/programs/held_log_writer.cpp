// Plays a supervised program that keeps its log file open for its whole run.
//
//   held_log_writer --log FILE [--lines N] [--interval-ms N] [--code N]
//                   [--read-only] [--first-run-flag FLAG --first-run hang|crash]
//
// Opens FILE once (appending) and writes N lines "step,<i>" through that one
// open file, each flushed, INTERVAL_MS apart (defaults 5 and 20). Then, with
// --read-only, takes every write permission away from FILE. The run ends with
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

int main(int argc, char** argv) {
  std::map<std::string, std::string> options{
      {"--lines", "5"}, {"--interval-ms", "20"}, {"--code", "0"}};
  bool readOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--read-only")
      readOnly = true;
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

  std::ofstream log(path, std::ios::binary | std::ios::app);
  // A log that cannot be opened (read-only, say) gets no lines and no pauses.
  for (int i = 1; i <= lines && log.is_open(); ++i) {
    if (i > 1)
      std::this_thread::sleep_for(interval);
    log << "step," << i << "\n" << std::flush;
  }
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
