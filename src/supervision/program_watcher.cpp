#include "supervision/program_watcher.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>
#include <vector>

#include "logging/kvt_log.h"
#include "supervision/console.h"

namespace tavrelon {

namespace {

const char* const kStampPattern = "%Y%m%d%H%M%S";
const char* const kRowTimePattern = "%Y-%m-%d %H:%M:%S";

constexpr std::int64_t kPollPauseMs = 10000;
constexpr std::int64_t kRestartPauseMs = 1000;

// Closes both handles of `record` and clears it; the process is not ended.
void releaseHandles(platform::ProcessRecord& record) {
  platform::closeHandle(record.hThread);
  platform::closeHandle(record.hProcess);
  record = platform::ProcessRecord{};
}

// Ends the recorded process (with everything it started), then releases it.
void endProcess(platform::ProcessRecord& record) {
  platform::terminateProcess(record);
  releaseHandles(record);
}

// A debug program: started by its path alone, no console of its own.
platform::ProcessLaunch debugLaunch(const std::string& path, bool showWindow,
                                    const std::string& workingDirectory) {
  platform::ProcessLaunch launch;
  launch.path = path;
  launch.withArguments = false;
  launch.newConsole = false;
  launch.showWindow = showWindow;
  launch.workingDirectory = workingDirectory;
  return launch;
}

// True when `path` names the watchdog's own executable file, by whatever
// path or link: starting it would multiply watchdogs without bound.
bool isOwnExecutable(const std::string& path) {
  const std::string self = platform::executablePath();
  platform::FileIdentity own, candidate;
  return !self.empty() && platform::fileIdentity(self, own) &&
         platform::fileIdentity(path, candidate) && own == candidate;
}

}  // namespace

ProgramWatcher::ProgramWatcher() = default;

ProgramWatcher::ProgramWatcher(ProgramConfig settings)
    : config(std::move(settings)),
      status(),
      runStamp(platform::localTime(kStampPattern)),
      testMode(true) {
  const std::size_t name = platform::finalNameOffset(config.applicationPath);
  programDirectory = config.applicationPath.substr(0, name);
  programFileName = config.applicationPath.substr(name);
}

ProgramWatcher::ProgramWatcher(ProgramWatcher&& other) noexcept {
  *this = std::move(other);
}

ProgramWatcher& ProgramWatcher::operator=(ProgramWatcher&& other) noexcept {
  if (this == &other)
    return *this;
  // What this watcher still holds belongs to nobody after the move: release it.
  releaseHandles(programProcess);
  releaseHandles(debugCrashProcess);
  releaseHandles(debugTimeoutProcess);
  programProcess = std::exchange(other.programProcess, {});
  debugCrashProcess = std::exchange(other.debugCrashProcess, {});
  debugTimeoutProcess = std::exchange(other.debugTimeoutProcess, {});
  config = std::move(other.config);
  status = std::move(other.status);
  logTracker = std::move(other.logTracker);
  unchangedPolls = other.unchangedPolls;
  runStamp = std::move(other.runStamp);
  lastProgress = std::move(other.lastProgress);
  programFileName = std::move(other.programFileName);
  programDirectory = std::move(other.programDirectory);
  runState = other.runState;
  testMode = other.testMode;
  launchFailed = other.launchFailed;
  statusUpdates = std::move(other.statusUpdates);
  return *this;
}

ProgramWatcher::~ProgramWatcher() {
  releaseHandles(programProcess);
  releaseHandles(debugCrashProcess);
  releaseHandles(debugTimeoutProcess);
}

bool ProgramWatcher::launchInto(platform::ProcessRecord& record,
                                const platform::ProcessLaunch& launch, std::uint32_t& errorCode) {
  platform::ProcessRecord started;
  errorCode = 0;
  if (!platform::startProcess(launch, started, errorCode))
    return false;
  releaseHandles(record);
  record = started;
  return true;
}

platform::ProcessLaunch ProgramWatcher::programLaunch() const {
  platform::ProcessLaunch launch;
  launch.path = programDirectory + programFileName;
  launch.arguments = config.applicationArgument;
  launch.withArguments = true;
  launch.newConsole = true;
  launch.showWindow = true;
  // Ending the program ends the workers it started too.
  launch.ownProcessGroup = true;
  // A bare file name runs in our own current directory (empty = inherited).
  launch.workingDirectory = programDirectory;
  return launch;
}

void ProgramWatcher::warnIfWithoutJob() const {
  if (programProcess.jobErrorCode == 0)
    return;
  printLine("Warning: [" + programFileName +
            "] runs without a job; a time-out ends the program only!  errorcode:" +
            std::to_string(programProcess.jobErrorCode));
}

bool ProgramWatcher::launchDebugCrash() {
  const std::string ownDirectory = platform::executableDirectory();
  const std::string path = ownDirectory + config.debugCrashScript;
  if (!platform::exists(path)) {
    printLine("DebugCrash program not found!");
    stop();
    return false;
  }
  std::uint32_t errorCode = 0;
  if (!launchInto(debugCrashProcess, debugLaunch(path, false, ownDirectory), errorCode)) {
    // The supervised program is up; it is watched without the debug program.
    printLine("Start DebugCrash process failed!  errorcode:" + std::to_string(errorCode));
  }
  return true;
}

void ProgramWatcher::start() {
  runStamp = platform::localTime(kStampPattern);
  if (!testMode)
    status.applicationId = programFileName + "_" + runStamp;

  const platform::ProcessLaunch launch = programLaunch();
  if (!platform::exists(launch.path)) {
    printLine("Specified program [" + programFileName + "] not found!");
    launchFailed = true;
    stop();
    return;
  }
  if (isOwnExecutable(launch.path)) {
    printLine("Specified program [" + programFileName + "] is the watchdog itself!");
    launchFailed = true;
    stop();
    return;
  }
  std::uint32_t errorCode = 0;
  if (!launchInto(programProcess, launch, errorCode)) {
    printLine("Start process failed!  errorcode:" + std::to_string(errorCode));
    launchFailed = true;
    stop();
    return;
  }

  launchFailed = false;
  status.startTime = platform::localTime(kRowTimePattern);
  status.runningStatus = "running";
  status.latestLog = "N/A";
  status.endTime.clear();
  bool queued = true;
  try {
    statusUpdates.addRow(status);
  } catch (const std::exception&) {
    queued = false;  // out of memory: said as a failed write; supervision goes on
  }
  writeStatusRows(queued);
  runState = 1;

  printLine("");
  printLine("Start running [" + programFileName + "]...");
  warnIfWithoutJob();

  if (config.debugOrNot && !launchDebugCrash())
    return;

  lastProgress.clear();
  logTracker = std::make_unique<TestLog>(config.applicationLogDir, config.statusLogPath);
}

void ProgramWatcher::startTest(std::string applicationId) {
  status.applicationId = std::move(applicationId);

  const platform::ProcessLaunch launch = programLaunch();
  if (!platform::exists(launch.path)) {
    printLine("Specified test program [" + programFileName + "] not found!");
    launchFailed = true;
    stop();
    return;
  }
  if (isOwnExecutable(launch.path)) {
    printLine("Specified program [" + programFileName + "] is the watchdog itself!");
    launchFailed = true;
    stop();
    return;
  }
  std::uint32_t errorCode = 0;
  if (!launchInto(programProcess, launch, errorCode)) {
    printLine("Start test process failed!  errorcode:" + std::to_string(errorCode));
    launchFailed = true;
    stop();
    return;
  }

  launchFailed = false;
  status.startTime = platform::localTime(kRowTimePattern);
  runState = 1;
  printLine("");
  printLine("Start testing [" + status.applicationId + "]...");
  warnIfWithoutJob();

  if (config.debugOrNot && !launchDebugCrash())
    return;

  lastProgress.clear();
  logTracker = std::make_unique<KVTLog>(config.applicationLogDir, config.statusLogPath);
}

std::int64_t ProgramWatcher::progress() {
  if (!logTracker)
    return 0;
  const std::int64_t size = logTracker->latestLogSize();
  sayTrackerError();
  return size;
}

std::string ProgramWatcher::latestLogLine() {
  if (!logTracker)
    return std::string();
  std::string line = logTracker->latestLogLine();
  sayTrackerError();
  return line;
}

void ProgramWatcher::sayTrackerError() {
  const std::string error = logTracker->takeError();
  if (!error.empty())
    printLine(error);
}

void ProgramWatcher::closeStatusRow(const char* runningStatus) {
  status.runningStatus = runningStatus;
  bool queued = true;
  try {
    // The run's "running" row may be gone (its start could not write the log,
    // or someone edited it away): the closed row is then added, so the run is
    // not lost. A failed start's identifier names no run and gets no row.
    statusUpdates.closeRow(status, !launchFailed);
  } catch (const std::exception&) {
    queued = false;  // out of memory: said as a failed write
  }
  writeStatusRows(queued);
}

void ProgramWatcher::appendTestRow() {
  status.runningStatus = "running";
  status.latestLog = "N/A";
  status.startTime.clear();
  status.endTime.clear();
  bool queued = true;
  try {
    statusUpdates.addRow(status);
  } catch (const std::exception&) {
    queued = false;  // out of memory: said as a failed write
  }
  writeStatusRows(queued);
}

void ProgramWatcher::writeStatusRows(bool queued) {
  // Also with nothing new (a close of a failed start) the sequence reads and
  // rewrites the log, as every sequence does.
  if (!statusUpdates.apply(config.statusLogPath, true) || !queued)
    printLine("Error: Failed to write status log [" + config.statusLogPath + "]!");
}

void ProgramWatcher::monitor() {
  // 64 bits: TimeOutMin may be anything a 32-bit number holds. 0 or less never fires.
  const std::int64_t threshold = static_cast<std::int64_t>(config.timeOutMin) * 60 / 10;
  for (;;) {
    runState = 0;
    std::uint32_t exitCode = 0;
    platform::ProcessState state = platform::processState(programProcess.hProcess, exitCode);
    // A stop request with no run in progress (the start failed, or the last run
    // has been closed and not yet restarted) ends the loop at once.
    const bool noRun = state == platform::ProcessState::Unknown || programProcess.dwProcessId == 0;
    if (state == platform::ProcessState::Unknown || (noRun && platform::stopRequested())) {
      // No process behind the record: no start succeeded, or the last run was
      // ended and released. The start has said why; nothing has finished.
      stop();
      return;
    }
    if (state == platform::ProcessState::Running && platform::stopRequested()) {
      endOnStopRequest();
      return;
    }

    bool timedOut = false;
    while (state == platform::ProcessState::Running) {
      const std::string text = std::to_string(progress());
      const std::string path = logTracker ? logTracker->latestLogPath : std::string();
      printLine("");
      printLine(status.applicationId + "  " + path + "  " + text);
      if (text == lastProgress) {
        if (unchangedPolls < std::numeric_limits<std::int32_t>::max())
          ++unchangedPolls;
        if (unchangedPolls == threshold) {
          status.endTime = platform::localTime(kRowTimePattern);
          runState = 4;
          unchangedPolls = 0;
          timedOut = true;
          break;
        }
      } else {
        lastProgress = text;
        unchangedPolls = 0;
      }
      platform::pauseUnlessStopped(kPollPauseMs);
      // Rows a failed write left pending are tried again, silently, at every poll.
      if (statusUpdates.pending())
        statusUpdates.apply(config.statusLogPath, false);
      // A failed query keeps the last answer, so polling goes on.
      std::uint32_t code = exitCode;
      const platform::ProcessState now = platform::processState(programProcess.hProcess, code);
      if (now != platform::ProcessState::Unknown) {
        state = now;
        exitCode = code;
      }
      // A program that ended meanwhile is recorded as it ended; one that still
      // runs is ended by the stop.
      if (state == platform::ProcessState::Running && platform::stopRequested()) {
        endOnStopRequest();
        return;
      }
    }

    if (timedOut) {
      if (!handleTimeout())
        return;
    } else if (exitCode == 0) {
      handleFinish();
      return;
    } else {
      // Any other code is a crash, 259 included: the platform tells it from running.
      handleCrash();
    }
  }
}

bool ProgramWatcher::handleTimeout() {
  status.latestLog = latestLogLine();
  closeStatusRow("timeout");
  printLine("");
  printLine("[" + status.applicationId + "] has timed out! Restarting now...");
  printLine("");

  if (config.debugOrNot) {
    const std::string path = platform::executableDirectory() + config.debugTimeoutScript;
    if (!platform::exists(path)) {
      stop();
      return false;
    }
    std::uint32_t errorCode = 0;
    if (!launchInto(debugTimeoutProcess, debugLaunch(path, true, std::string()), errorCode)) {
      printLine("Start DebugTimeout process failed!");
      stop();
      return false;
    }
    if (debugCrashProcess.dwProcessId != 0)
      endProcess(debugCrashProcess);
  }

  endProcess(programProcess);
  restartAfterTimeout();
  return true;
}

void ProgramWatcher::restartAfterTimeout() {
  if (testMode)
    appendTestRow();
  // The ended run's handles are closed, so a restart that cannot launch the
  // program would leave nothing to poll and end the supervision. Like the
  // crash handling, keep trying once a second until the program is back; the
  // "running" row of a test-mode restart stands for all the attempts.
  do {
    if (!platform::pauseUnlessStopped(kRestartPauseMs))
      return;
    if (testMode)
      startTest(status.applicationId);
    else
      start();
  } while (launchFailed);
}

void ProgramWatcher::handleCrash() {
  status.endTime = platform::localTime(kRowTimePattern);
  status.latestLog = latestLogLine();
  runState = 3;
  closeStatusRow("crashed");
  printLine("");
  printLine("[" + programFileName + "] has crashed!  Restarting now...");
  stop();

  // A stop request during a pause leaves the program down: the loop then ends.
  if (!platform::pauseUnlessStopped(kRestartPauseMs))
    return;
  if (testMode) {
    appendTestRow();
    if (!platform::pauseUnlessStopped(kRestartPauseMs))
      return;
    startTest(status.applicationId);
  } else {
    start();
  }
}

void ProgramWatcher::handleFinish() {
  status.endTime = platform::localTime(kRowTimePattern);
  runState = 2;
  printLine("[" + status.applicationId + "] has finished!");
  printLine("");
  closeStatusRow("finished");
  stop();
}

void ProgramWatcher::endOnStopRequest() {
  // The program goes first, with everything it started, so that its log has
  // stopped growing when its last line is read; the row is closed as a
  // time-out closes it.
  stop();
  status.endTime = platform::localTime(kRowTimePattern);
  status.latestLog = latestLogLine();
  closeStatusRow("stopped");
  printLine("[" + status.applicationId + "] has been stopped!");
}

void ProgramWatcher::stop() {
  unchangedPolls = 0;
  runState = 0;
  lastProgress.clear();
  for (platform::ProcessRecord* record :
       {&programProcess, &debugCrashProcess, &debugTimeoutProcess}) {
    if (record->dwProcessId == 0)
      continue;
    std::uint32_t exitCode = 0;
    if (platform::processState(record->hProcess, exitCode) == platform::ProcessState::Running) {
      endProcess(*record);
    }
    // An ended process keeps its handles: a failed restart reads its exit code again.
    record->dwProcessId = 0;
  }
}

}  // namespace tavrelon
