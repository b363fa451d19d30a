#include "supervision/evidence.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/evidence.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text_encoding.h"

namespace tavrelon {

namespace {

// Taking the evidence of one time-out is bounded so that supervision goes on.
constexpr std::int64_t kCaptureLimitMs = 60000;
constexpr std::size_t kLogLines = 50;
constexpr std::size_t kLogBytes = 64 * 1024;
const char* const kSummary = "summary.txt";
const char* const kIdKey = "Application_ID: ";

// A run folder of `dir` with what the cap orders it by.
struct RunFolder {
  std::string path;
  std::int64_t time = 0;
};

// `text` as one value: line breaks would start a key of their own.
std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// The run folders the watchdog made in `dir`, recognised by name and summary.
std::vector<RunFolder> runFolders(const std::string& dir) {
  std::vector<RunFolder> folders;
  std::vector<platform::DirectoryEntry> entries;
  if (!platform::listDirectory(dir, entries))
    return folders;
  for (const platform::DirectoryEntry& entry : entries) {
    if (!entry.isDirectory || entry.isLink)
      continue;
    const std::string path = platform::joinPath(dir, entry.name);
    const std::string summary = platform::joinPath(path, kSummary);
    std::vector<platform::DirectoryEntry> inside;
    platform::listDirectory(path, inside);
    const bool plainSummary = std::any_of(inside.begin(), inside.end(), [](const auto& item) {
      return item.name == kSummary && item.isFile && !item.isLink;
    });
    std::string head;
    if (!plainSummary ||
        platform::readRegularFileStart(summary, 4096, head) != platform::FileOutcome::Done ||
        head.compare(0, std::char_traits<char>::length(kIdKey), kIdKey) != 0)
      continue;
    const std::string::size_type end = head.find('\n');
    const std::string id =
        head.substr(std::char_traits<char>::length(kIdKey),
                    end == std::string::npos ? std::string::npos
                                             : end - std::char_traits<char>::length(kIdKey));
    if (id.empty() || entry.name.compare(0, id.size(), id) != 0)
      continue;
    platform::FileStatus status;
    platform::fileStatus(summary, status);
    folders.push_back({path, status.modificationTime});
  }
  std::sort(folders.begin(), folders.end(), [](const RunFolder& a, const RunFolder& b) {
    return a.time != b.time ? a.time < b.time : a.path < b.path;
  });
  return folders;
}

// A new folder for the run in `dir`: its Application_ID, or with "_2", "_3"
// behind it when a run of the same identifier (test mode) left one.
bool makeRunFolder(const std::string& dir, const std::string& id, std::string& folder,
                   std::uint32_t& error) {
  for (int attempt = 1; attempt < 1000; ++attempt) {
    folder = platform::joinPath(dir, attempt == 1 ? id : id + "_" + std::to_string(attempt));
    if (platform::createPrivateDirectory(folder, error))
      return true;
    if (platform::exists(folder) == false)
      return false;
  }
  return false;
}

void add(std::string& summary, const std::string& key, const std::string& value) {
  summary += key + ": " + oneLine(value) + "\n";
}

}  // namespace

std::vector<std::string> lastLines(const std::string& path, std::size_t maxLines,
                                   std::size_t maxBytes) {
  std::vector<std::string> lines;
  std::int64_t size = 0;
  if (!platform::openedFileSize(path, size))
    return lines;
  const std::int64_t offset = std::max<std::int64_t>(0, size - static_cast<std::int64_t>(maxBytes));
  std::string tail;
  if (!platform::readFileRange(path, offset, static_cast<std::size_t>(size - offset), tail))
    return lines;
  std::size_t start = 0;
  if (offset > 0) {
    // The first line begins before the part read: it is left out.
    const std::size_t feed = tail.find('\n');
    start = feed == std::string::npos ? tail.size() : feed + 1;
  }
  while (start < tail.size()) {
    std::size_t feed = tail.find('\n', start);
    std::string line =
        tail.substr(start, feed == std::string::npos ? std::string::npos : feed - start);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(std::move(line));
    start = feed == std::string::npos ? tail.size() : feed + 1;
  }
  if (lines.size() > maxLines)
    lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(maxLines));
  return lines;
}

void trimEvidence(const std::string& dir, std::int64_t maxBytes) {
  std::vector<RunFolder> folders = runFolders(dir);
  std::int64_t total = platform::treeSize(dir);
  for (const RunFolder& folder : folders) {
    if (total < maxBytes)
      break;
    const std::int64_t size = platform::treeSize(folder.path);
    if (platform::removeTree(folder.path))
      total -= size;
  }
}

std::string takeRunEvidence(const ProgramConfig& config, const FailedRun& run,
                            const platform::ProcessRecord& record,
                            const std::vector<std::uint32_t>& leaveOut, bool capture) {
  const std::string notSaved = "Evidence of [" + run.applicationId + "] not saved: ";
  std::uint32_t error = 0;
  if (!platform::createPrivateDirectories(config.evidenceDir, error))
    return notSaved + "folder [" + config.evidenceDir + "] " + platform::errorText(error);
  // The resources and the tree are read before anything is stopped or written.
  const std::vector<platform::TreeProcess> tree =
      capture ? platform::processTree(record, leaveOut) : std::vector<platform::TreeProcess>();
  const platform::ResourceUse use = platform::resourceUse(record, tree);
  trimEvidence(config.evidenceDir,
               static_cast<std::int64_t>(std::max(config.evidenceMaxMB, 0)) * 1024 * 1024);
  std::string folder;
  if (!makeRunFolder(config.evidenceDir, run.applicationId, folder, error))
    return notSaved + "folder [" + folder + "] " + platform::errorText(error);

  platform::CaptureOutcome outcome;
  if (capture && !tree.empty())
    outcome = platform::captureProcesses(tree, folder, config.evidenceFullDump, kCaptureLimitMs);
  else if (capture)
    outcome.problems.push_back("no process of the program was left to capture");

  std::string summary;
  add(summary, "Application_ID", run.applicationId);
  add(summary, "Status", statusWord(run.status));
  add(summary, "Start_Time", run.startTime);
  add(summary, "End_Time", run.endTime);
  add(summary, "Command_Line", run.commandLine);
  add(summary, "Directory", run.directory);
  add(summary, "Ended_By", run.endedBy);
  if (run.crashed) {
    add(summary, "Exit_Code", std::to_string(run.exitCode));
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", run.exitCode);
    const std::string name = platform::statusCodeName(run.exitCode);
    if (platform::isWindows())
      add(summary, "Exit_Code_Hex",
          name.empty() ? std::string(hex) : std::string(hex) + " " + name);
  }
  for (const platform::TreeProcess& process : tree)
    add(summary, "Process",
        std::to_string(process.pid) + " " + process.image + " (parent " +
            std::to_string(process.parentPid) + ")");
  if (use.known) {
    add(summary, "CPU_User_Seconds", seconds(use.userSeconds));
    add(summary, "CPU_Kernel_Seconds", seconds(use.kernelSeconds));
    if (use.peakBytes >= 0)
      add(summary, "Peak_Memory_Bytes", std::to_string(use.peakBytes));
    add(summary, "Resources_Of", use.note);
  } else {
    outcome.problems.push_back("CPU time and peak memory: not told by the system");
  }
  if (run.crashed && record.holdsProcess()) {
    for (const std::string& dump :
         platform::crashDumpCandidates(run.image, record.dwProcessId, run.directory)) {
      platform::FileStatus status;
      if (platform::pathKind(dump) == platform::PathKind::RegularFile &&
          platform::fileStatus(dump, status))
        add(summary, "Crash_Dump", dump + " (" + std::to_string(status.size) + " bytes)");
    }
  }
  add(summary, "Latest_Log", run.latestLogPath.empty() ? kNoLatestLog : run.latestLogPath);
  if (!run.latestLogPath.empty()) {
    for (const std::string& line : lastLines(run.latestLogPath, kLogLines, kLogBytes))
      add(summary, "Log_Line", line);
  }
  for (const std::string& file : outcome.files) {
    platform::FileStatus status;
    platform::fileStatus(file, status);
    add(summary, "File",
        platform::finalNameOf(file) + " " + std::to_string(status.size) + " bytes");
  }
  for (const auto& [key, detail] : outcome.details)
    add(summary, key, detail);
  for (const std::string& problem : outcome.problems)
    add(summary, "Not_Taken", problem);
  if (!platform::writeNewFile(platform::joinPath(folder, kSummary), summary, error))
    return notSaved + "summary.txt in [" + folder + "] " + platform::errorText(error);
  return "Evidence of [" + run.applicationId + "] saved in [" + folder + "]";
}

}  // namespace tavrelon
