// tavrelon_report [-o FILE] PATH...
// Draws the status logs that PATH names (files, or folders searched with their
// sub-folders) as one self-contained HTML page and prints the page's path.
// Exit status: 0 when every PATH gave status logs; 1 when the page was written
// but a PATH was skipped; 2 when no page was written.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "report/report_html.h"
#include "report/report_input.h"
#include "report/report_model.h"

namespace {

using namespace tavrelon;

const char kUsage[] = "Usage: tavrelon_report [-o FILE] PATH...";

void printTo(std::FILE* stream, const std::string& line) {
  std::fputs((line + "\n").c_str(), stream);
  std::fflush(stream);
}

void printError(const std::string& line) {
  printTo(stderr, line);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string output;
  std::vector<std::string> paths;
  bool options = true;
  const std::vector<std::string> arguments = platform::programArguments(argc, argv);
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
      output = arguments[++i];
    } else if (options && argument.size() > 1 && argument[0] == '-') {
      printError("Error: Unknown option [" + argument + "]. " + kUsage);
      return 2;
    } else {
      paths.push_back(argument);
    }
  }
  if (paths.empty()) {
    printError(kUsage);
    return 2;
  }

  std::vector<std::string> errors;
  std::vector<report::FoundLog> found = report::collectStatusLogs(paths, errors);
  for (const std::string& error : errors)
    printError(error);
  if (found.empty()) {
    printError("Error: No status log to report on; no page written.");
    return 2;
  }

  if (output.empty())
    output = "TavrelonReport_" + platform::localTime("%Y%m%d%H%M%S") + ".html";
  platform::FileIdentity target;
  if (platform::fileIdentity(output, target)) {
    for (const report::FoundLog& log : found) {
      if (log.identity == target) {
        printError("Error: The page would replace the status log [" + output + "]");
        return 2;
      }
    }
  }

  report::NightReport night;
  if (!report::parseStatusTime(platform::localTime("%Y-%m-%d %H:%M:%S"), night.now)) {
    printError("Error: The system clock gives no time.");
    return 2;
  }
  for (report::FoundLog& log : found)
    night.logs.push_back(report::buildLogReport(log.path, std::move(log.rows), night.now));
  found.clear();
  report::finishReport(night);

  if (platform::replaceRegularFile(output, report::renderReportPage(night), "TavrelonReport") !=
      platform::FileOutcome::Done) {
    printError("Error: Cannot write the report [" + output + "]");
    return 2;
  }
  printTo(stdout, output);
  return errors.empty() ? 0 : 1;
}
