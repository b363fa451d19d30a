// tavrelon_report [-o FILE] [--watch SECONDS] [PATH...]
// Draws the status logs that PATH names (files, or folders searched with their
// sub-folders) as one self-contained HTML page and prints the page's path.
// Without PATH: the status logs beside the program, the page written there.
// Exit status: 0 when every PATH gave status logs; 1 when the page was written
// but a PATH was skipped; 2 when no page was written.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "logging/run_vocabulary.h"
#include "platform/clock.h"
#include "platform/console_window.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "report/report_html.h"
#include "report/report_input.h"
#include "report/report_model.h"
#include "report/report_output.h"

namespace {

using namespace tavrelon;

const char kUsage[] = "Usage: tavrelon_report [-o FILE] [--watch SECONDS] [PATH...]";

void printTo(std::FILE* stream, const std::string& line) {
  std::fputs((line + "\n").c_str(), stream);
  std::fflush(stream);
}

void printError(const std::string& line) {
  printTo(stderr, line);
}

// Reads the status logs that `paths` name into `night`, made at the clock's
// time, and prints a line for each path skipped. Returns 2 (the error printed)
// when there is no page to make, else 1 when a path was skipped, else 0.
int readNight(const std::vector<std::string>& paths, report::NightReport& night,
              std::vector<report::FoundLog>& found) {
  night.sources = paths;
  if (!report::parseStatusTime(rowTimeNow(), night.now)) {
    printError("Error: The system clock gives no time.");
    return 2;
  }
  std::vector<std::string> errors;
  std::vector<report::EvidenceFolder> evidence;
  // Each log is reduced to its runs as it is read, a line at a time: no row
  // is held longer than it takes to place it.
  found = report::collectIntoReport(paths, errors, night, &evidence);
  for (const std::string& error : errors)
    printError(error);
  if (found.empty()) {
    printError("Error: No status log to report on; no page written.");
    return 2;
  }
  report::finishReport(night);
  report::attachEvidence(night, evidence, report::kMaxListed);
  return errors.empty() ? 0 : 1;
}

// True when `output` is one of the status logs `found`.
bool isStatusLog(const std::string& output, const std::vector<report::FoundLog>& found) {
  platform::FileIdentity target;
  if (!platform::fileIdentity(output, target))
    return false;
  for (const report::FoundLog& log : found) {
    if (log.identity == target)
      return true;
  }
  return false;
}

// One page from `paths` to `output` (chosen on the first call when empty),
// its path printed unless `announced` already.
// Returns the exit status of a single run.
int makePage(const std::vector<std::string>& paths, std::string& output, bool& replaceable,
             bool& announced, int refreshSeconds) {
  report::NightReport night;
  std::vector<report::FoundLog> found;
  const int status = readNight(paths, night, found);
  if (status == 2)
    return status;
  if (output.empty())
    output = report::freePageName("TavrelonReport_" + stampNow());
  if (isStatusLog(output, found)) {
    printError("Error: The page would replace the status log [" + output + "]");
    return 2;
  }

  report::PageOptions options;
  options.refreshSeconds = refreshSeconds;
  const std::string folder = platform::directoryOf(output);
  options.pageFolder = platform::resolvedPath(folder == output ? std::string(".") : folder);
  for (const std::string& log : night.logs)
    options.logFiles.push_back(platform::resolvedPath(log));
  const std::string page = report::renderReportPage(night, options);
  night = report::NightReport();
  const std::string failure = report::writePage(output, page, replaceable);
  if (!failure.empty()) {
    printError(failure);
    return 2;
  }
  // The page this run wrote may be replaced by the next --watch cycle.
  replaceable = true;
  if (!announced)
    printTo(stdout, output);
  announced = true;
  return status;
}

// What the command line asks for.
struct Request {
  std::string output;              // -o FILE; empty: a new default name
  std::vector<std::string> paths;  // the PATHs
  int watchSeconds = 0;            // --watch SECONDS; 0: one page
};

// The seconds --watch's `value` names: a whole number from 1; 0 for anything else.
int watchSecondsOf(const std::string& value) {
  int seconds = 0;
  for (char c : value)
    seconds = c >= '0' && c <= '9' && seconds < 1000000 ? seconds * 10 + (c - '0') : -1;
  return value.empty() || seconds < 1 ? 0 : seconds;
}

// Reads `arguments` into `request`. Returns -1 to go on, else the exit status
// after the usage or an error line was printed.
int parseArguments(const std::vector<std::string>& arguments, Request& request) {
  bool options = true;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options && argument == "--") {
      options = false;
    } else if (options && (argument == "-h" || argument == "--help")) {
      printTo(stdout, kUsage);
      return 0;
    } else if (options && argument == "-o") {
      if (i + 1 == arguments.size()) {
        printError("Error: -o needs a file name. " + std::string(kUsage));
        return 2;
      }
      request.output = arguments[++i];
    } else if (options && argument == "--watch") {
      request.watchSeconds = watchSecondsOf(i + 1 < arguments.size() ? arguments[++i] : "");
      if (request.watchSeconds == 0) {
        printError("Error: --watch needs a whole number of seconds, 1 or more. " +
                   std::string(kUsage));
        return 2;
      }
    } else if (options && argument.size() > 1 && argument[0] == '-') {
      printError("Error: Unknown option [" + argument + "]. " + kUsage);
      return 2;
    } else {
      request.paths.push_back(argument);
    }
  }
  return -1;
}

int run(const std::vector<std::string>& arguments) {
  Request request;
  const int status = parseArguments(arguments, request);
  if (status >= 0)
    return status;
  std::string& output = request.output;
  std::vector<std::string>& paths = request.paths;
  // Without PATH: the logs the watchdog writes beside itself, the page there too.
  bool defaultName = false;
  if (paths.empty()) {
    defaultName = output.empty();
    paths.push_back(platform::executableDirectory());
    if (output.empty())
      output = report::freePageName(platform::joinPath(paths[0], "TavrelonReport_" + stampNow()));
  }
  // A page named with -o may be replaced when it is one of this tool's; a
  // page under the default name is always new.
  bool replaceable = !output.empty() && paths.size() > 0 && !defaultName;
  if (request.watchSeconds == 0) {
    bool announced = false;
    const int pageStatus = makePage(paths, output, replaceable, announced, 0);
    // Started with no argument in a console of its own (a double-click): its
    // window would close before the path could be read. With no input (a
    // scheduled task) nothing waits.
    if (arguments.empty() && platform::consoleOfItsOwn()) {
      printTo(stdout, "Press Enter to close this window.");
      for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
      }
    }
    return pageStatus;
  }
  // Until stopped; errors are said at every cycle, the page's path once.
  for (bool announced = false;;) {
    makePage(paths, output, replaceable, announced, request.watchSeconds);
    platform::sleepMilliseconds(static_cast<std::int64_t>(request.watchSeconds) * 1000);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  // Out of memory, the report says so once instead of aborting.
  try {
    return run(platform::programArguments(argc, argv));
  } catch (const std::bad_alloc&) {
    printError("Error: Out of memory; no page written.");
    return 2;
  }
}
