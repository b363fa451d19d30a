#include "driver/watchdog.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "config/config_checker.h"
#include "config/config_reader.h"
#include "driver/queue_journal.h"
#include "logging/run_vocabulary.h"
#include "logging/status_updates.h"
#include "platform/paths.h"
#include "platform/power.h"
#include "platform/process_identity.h"
#include "platform/session_end.h"
#include "platform/watchdog_process.h"
#include "supervision/console.h"
#include "supervision/interrupted_runs.h"
#include "supervision/program_watcher.h"

namespace tavrelon {

namespace {

constexpr std::int64_t kConsoleDrainMs = 2000;
// How many watchdogs above one make it refuse to supervise: at most three
// run in a chain of watchdogs that start one another.
constexpr std::int32_t kDeepestNesting = 3;

// With ResumeQueue in the configuration: fills `journal` for this watchdog
// (its program still 0, set per program by the caller), says where the queue
// resumes and returns that program's index; without it, 0 and `journal`
// left empty (program 0: no journal). `ownDirectory` is the watchdog's.
std::size_t resumeQueue(const std::vector<ProgramConfig>& programs, const std::string& startedAt,
                        const std::string& ownDirectory, const std::string& journalPath,
                        QueueJournal& journal, StatusLogQueues& statusLogs) {
  if (std::none_of(programs.begin(), programs.end(),
                   [](const ProgramConfig& program) { return program.resumeQueue; }))
    return 0;
  std::vector<std::string> lines;
  const std::size_t first =
      resumePoint(journalPath, programs, ownDirectory, rowTimeNow(), statusLogs, lines);
  for (const std::string& line : lines)
    printLine(line);
  journal.configuration = configurationDigest(programs);
  journal.watchdogId = platform::ownProcessId();
  platform::processStartMark(journal.watchdogId, journal.watchdogMark);
  journal.watchdogStart = startedAt;
  journal.program = static_cast<std::int32_t>(first) + 1;
  return first;
}

// Supervises every configured program in turn; the next one is taken up only
// once the previous run has been stopped. A stop request ends the loop: no
// further program is started. Every watcher queues its status rows in
// `statusLogs`. `place` is where the watchdog lies.
void superviseAll(ProgramWatcher& watcher, const std::shared_ptr<StatusLogQueues>& statusLogs,
                  const WatchdogPlace& place) {
  const std::string startedAt = rowTimeNow();
  // Without our own path there is no configuration to read: a relative or
  // root-level guess would read someone else's file.
  std::vector<ProgramConfig> programs;
  std::vector<std::string> warnings;
  if (!place.executablePath.empty()) {
    programs = readConfigFile(platform::joinPath(place.directory, "TavrelonConfig.ini"),
                              watchdogStatusLogDefaults(place.directory), warnings);
  }
  if (programs.empty() && !platform::stopRequested())
    printLine("Error: Failed to read TavrelonConfig.ini!");
  // Said once, before the first program; supervision goes on as configured.
  for (const std::string& warning : warnings)
    printLine(warning);
  // Rows that runs cut short by the machine's last stop left "running".
  closeRunsBeforeBoot(programs, place.directory, *statusLogs);

  // No sleep on idle while programs are supervised, unless AllowSleep says so.
  const bool keepAwake = !programs.empty() && std::none_of(programs.begin(), programs.end(),
                                                           [](const ProgramConfig& program) {
                                                             return program.allowSleep;
                                                           });
  if (keepAwake)
    platform::keepAwake();
  struct SleepAgain {
    bool on;
    ~SleepAgain() {
      if (on)
        platform::allowSleep();
    }
  } sleepAgain{keepAwake};
  QueueJournal journal;
  const std::string journalPath = queueJournalPath(place.directory);
  const std::size_t first =
      resumeQueue(programs, startedAt, place.directory, journalPath, journal, *statusLogs);
  for (std::size_t index = first; index < programs.size(); ++index) {
    const ProgramConfig& program = programs[index];
    const std::int32_t number = static_cast<std::int32_t>(index) + 1;
    if (platform::stopRequested())
      return;
    if (journal.program != 0) {
      journal.program = number;
      if (!writeQueueJournal(journalPath, journal))
        printLine("Error: Failed to write the queue journal [" + journalPath + "]!");
    }
    printLine("Program [" + std::to_string(number) + "]:");
    watcher = ProgramWatcher(program, place);
    // Rows a program could not write stay with its log for the next program.
    watcher.shareStatusLogs(statusLogs);
    // Runs that the watchdog starts itself never use test mode or the debug programs.
    watcher.testMode = false;
    watcher.config.debugOrNot = false;
    watcher.start();
    // A stop during the pause is taken up by the monitor loop, which closes the run.
    platform::pauseUnlessStopped(2000);
    watcher.monitor();
    watcher.stop();
  }
  // The queue is done: the next start begins at program 1.
  if (journal.program != 0 && !platform::stopRequested())
    platform::removeRegularFile(journalPath);
}

}  // namespace

StatusLogDefaults watchdogStatusLogDefaults(const std::string& ownDirectory) {
  return StatusLogDefaults{ownDirectory, [] { return stampNow(); }};
}

int runWatchdog(int argc, char* argv[]) {
  (void)argv;
  if (argc != 1)
    return 0;
  platform::prepareWatchdogProcess();
  platform::watchSessionEnd();
  startConsoleWriter();
  // A program that starts the watchdog again (a shell that execs it) would
  // otherwise make an unbounded chain of watchdogs.
  const std::int32_t depth = platform::markSupervisionDepth();
  if (depth >= kDeepestNesting) {
    printLine("Error: Started under " + std::to_string(depth) +
              " nested watchdogs (TAVRELON_DEPTH); supervising nothing!");
    stopConsoleWriter(kConsoleDrainMs);
    platform::restoreWatchdogProcess();
    return 0;
  }
  ProgramWatcher watcher;
  std::shared_ptr<StatusLogQueues> statusLogs;
  // Asked of the system once; everything below is handed it.
  WatchdogPlace place;
  try {
    place = watchdogPlace();
    statusLogs = std::make_shared<StatusLogQueues>();
    superviseAll(watcher, statusLogs, place);
  } catch (const std::exception& error) {
    // Nobody supervises the program any more: end it before saying why.
    try {
      watcher.stop();
    } catch (const std::exception&) {
    }
    printLine(error.what());
  }
  // Rows no sequence could write get one more try, then a file beside the
  // watchdog: none is lost without a word.
  try {
    if (statusLogs) {
      for (const std::string& line : statusLogs->finish(place.directory))
        printLine(line);
    }
  } catch (const std::exception& error) {
    printLine(error.what());
  }
  // Every line reaches a console that reads; one that stopped reading holds
  // the exit this long at most.
  stopConsoleWriter(kConsoleDrainMs);
  platform::restoreWatchdogProcess();
  return 0;
}

}  // namespace tavrelon
