#include "supervision/program_watcher.h"

#include <exception>
#include <limits>
#include <utility>

#include "logging/kvt_log.h"
#include "platform/evidence.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/session_end.h"
#include "platform/watchdog_process.h"
#include "supervision/console.h"
#include "supervision/evidence.h"

namespace tavrelon {

namespace {

constexpr std::int64_t kPollPauseMs = 10000;
constexpr std::int64_t kRestartPauseMs = 1000;

// Ends the recorded process (with everything it started), then releases it.
void endProcess(platform::ProcessRecord& record) {
  platform::terminateProcess(record);
  record = platform::ProcessRecord();
}

// True when `path` names the watchdog's own executable file `self`, by
// whatever path or link: starting it would multiply watchdogs without bound.
bool isOwnExecutable(const std::string& path, const std::string& self) {
  platform::FileIdentity own, candidate;
  return !self.empty() && platform::fileIdentity(self, own) &&
         platform::fileIdentity(path, candidate) && own == candidate;
}

}  // namespace

WatchdogPlace watchdogPlace() {
  WatchdogPlace place;
  place.executablePath = platform::executablePath();
  place.directory = platform::directoryOf(place.executablePath);
  return place;
}

ProgramWatcher::ProgramWatcher() = default;

ProgramWatcher::ProgramWatcher(ProgramConfig settings, WatchdogPlace place)
    : config(std::move(settings)),
      testMode(true),
      status(),
      runStamp_(stampNow()),
      place_(std::move(place)) {
  const std::size_t name = platform::finalNameOffset(config.applicationPath);
  programDirectory_ = config.applicationPath.substr(0, name);
  programFileName_ = config.applicationPath.substr(name);
}

ProgramWatcher::ProgramWatcher(ProgramWatcher&& other) noexcept = default;
ProgramWatcher& ProgramWatcher::operator=(ProgramWatcher&& other) noexcept = default;
ProgramWatcher::~ProgramWatcher() = default;

bool ProgramWatcher::launchInto(platform::ProcessRecord& record,
                                const platform::ProcessLaunch& launch, std::uint32_t& errorCode) {
  platform::ProcessRecord started;
  errorCode = 0;
  if (!platform::startProcess(launch, started, errorCode))
    return false;
  record = std::move(started);
  return true;
}

platform::ProcessLaunch ProgramWatcher::programLaunch() const {
  // As launches are by default: with its arguments, a console of its own, and
  // a group of its own, so that ending the program ends its workers too.
  platform::ProcessLaunch launch;
  launch.path = programDirectory_ + programFileName_;
  launch.arguments = config.applicationArgument;
  // A bare file name runs in our own current directory (empty = inherited).
  launch.workingDirectory = programDirectory_;
  return launch;
}

void ProgramWatcher::warnIfWithoutJob() const {
  if (programProcess_.jobErrorCode == 0)
    return;
  printLine("Warning: [" + programFileName_ +
            "] runs without a job; a time-out ends the program only!  errorcode:" +
            std::to_string(programProcess_.jobErrorCode));
}

void ProgramWatcher::start() {
  runStamp_ = stampNow();
  if (!testMode)
    status.applicationId = applicationIdOf(programFileName_, runStamp_);
  startRun(false);
}

bool ProgramWatcher::launchProgram(const std::string& kind) {
  const platform::ProcessLaunch launch = programLaunch();
  std::string failure;
  std::uint32_t errorCode = 0;
  if (!platform::exists(launch.path)) {
    failure = "Specified " + kind + "program [" + programFileName_ + "] not found!";
  } else if (isOwnExecutable(launch.path, place_.executablePath)) {
    failure = "Specified program [" + programFileName_ + "] is the watchdog itself!";
  } else if (!launchInto(programProcess_, launch, errorCode)) {
    failure = "Start " + kind + "process failed!  errorcode:" + std::to_string(errorCode);
  }
  launchFailed_ = !failure.empty();
  const platform::StartFailure failureKind =
      errorCode != 0 ? platform::startFailureKind(errorCode) : platform::StartFailure::Lasting;
  launchMayPass_ = launchFailed_ && failureKind == platform::StartFailure::Passing;
  if (!launchFailed_) {
    saidFailure_.clear();
    return true;
  }
  // Retried once a second for as long as it lasts: said once per outage.
  if (failure != saidFailure_) {
    printLine(failure);
    if (failureKind == platform::StartFailure::NeedsElevation) {
      printLine("Specified " + kind + "program [" + programFileName_ +
                "] needs elevation, which the watchdog cannot give!");
    }
    saidFailure_ = failure;
  }
  stop();
  return false;
}

void ProgramWatcher::startRun(bool test) {
  if (!launchProgram(test ? "test " : ""))
    return;
  status.startTime = rowTimeNow();
  // A test-mode run's "running" row was written before its start.
  if (!test) {
    status.runningStatus = statusWord(RunStatus::Running);
    status.latestLog = kNoLatestLog;
    status.endTime.clear();
    addStatusRow();
  }
  runState_ = RunState::Started;

  printLine("");
  printLine(test ? "Start testing [" + status.applicationId + "]..."
                 : "Start running [" + programFileName_ + "]...");
  warnIfWithoutJob();

  if (config.debugOrNot && !launchDebugCrash())
    return;

  lastProgress_.clear();
  if (test)
    logTracker_ = std::make_unique<KVTLog>(config.applicationLogDir, config.statusLogPath,
                                           config.evidenceDir);
  else
    logTracker_ = std::make_unique<TestLog>(config.applicationLogDir, config.statusLogPath,
                                            config.evidenceDir);
}

std::int64_t ProgramWatcher::progress() {
  if (!logTracker_)
    return 0;
  const std::int64_t size = logTracker_->latestLogSize();
  sayTrackerError();
  return size;
}

std::string ProgramWatcher::latestLogLine() {
  if (!logTracker_)
    return std::string();
  std::string line = logTracker_->latestLogLine();
  sayTrackerError();
  return line;
}

void ProgramWatcher::sayTrackerError() {
  for (const std::string& line : logTracker_->takeMessages())
    printLine(line);
}

void ProgramWatcher::monitor() {
  for (;;) {
    runState_ = RunState::Idle;
    std::uint32_t exitCode = 0;
    platform::ProcessState state = platform::processState(programProcess_.hProcess, exitCode);
    if (state == platform::ProcessState::Unknown && launchMayPass_ && !platform::stopRequested()) {
      // A first start that met a passing shortage is tried again as a restart is.
      restartUntilLaunched();
      continue;
    }
    // No process behind the record: no start succeeded, or the last run was
    // ended and released; the start has said why, and nothing has finished.
    // A stop request with no run in progress ends the loop at once too.
    if (state == platform::ProcessState::Unknown ||
        (!programProcess_.holdsProcess() && platform::stopRequested())) {
      stop();
      return;
    }
    if (state == platform::ProcessState::Running && platform::stopRequested()) {
      endRunOnStop();
      return;
    }

    const PollEnd end = pollWhileRunning(state, exitCode);
    if (end == PollEnd::Stopped)
      return;
    if (end == PollEnd::TimedOut) {
      if (!endHungRun())
        return;
    } else if (platform::sessionEnding()) {
      // Ended as the session ends: the system's doing, neither a finish nor a crash.
      endRunOnStop();
      return;
    } else if (exitCode == 0) {
      closeFinishedRun();
      return;
    } else {
      // Any other code is a crash, 259 included: the platform tells it from running.
      closeCrashedRun(exitCode);
      // A stop request during the pause leaves the program down: the loop then ends.
      if (testMode && !platform::pauseUnlessStopped(kRestartPauseMs))
        return;
    }
    // The "running" row of a test-mode restart stands for all its attempts.
    if (testMode)
      appendTestRow();
    restartUntilLaunched();
  }
}

ProgramWatcher::PollEnd ProgramWatcher::pollWhileRunning(platform::ProcessState& state,
                                                         std::uint32_t& exitCode) {
  // Polls without growth before the time-out; 64 bits, as TimeOutMin may be
  // anything a 32-bit number holds. 0 or less never fires.
  const std::int64_t limit = static_cast<std::int64_t>(config.timeOutMin) * 60000 / kPollPauseMs;
  while (state == platform::ProcessState::Running) {
    if (pollTimesOut(limit))
      return PollEnd::TimedOut;
    platform::pauseUnlessStopped(kPollPauseMs);
    // Rows a failed write left pending, on any log, are tried again, silently
    // and without waiting for a lock held elsewhere, at every poll.
    if (statusLogs_)
      statusLogs_->retryPending();
    // A failed query keeps the last answer, so polling goes on.
    std::uint32_t code = exitCode;
    const platform::ProcessState now = platform::processState(programProcess_.hProcess, code);
    if (now != platform::ProcessState::Unknown) {
      state = now;
      exitCode = code;
    }
    // A program that ended meanwhile is recorded as it ended; one that still
    // runs is ended by the stop.
    if (state == platform::ProcessState::Running && platform::stopRequested()) {
      endRunOnStop();
      return PollEnd::Stopped;
    }
  }
  return PollEnd::Exited;
}

bool ProgramWatcher::pollTimesOut(std::int64_t limit) {
  const std::string text = std::to_string(progress());
  const std::string path = logTracker_ ? logTracker_->latestLogPath : std::string();
  printLine("");
  printLine(status.applicationId + "  " + path + "  " + text);
  if (text != lastProgress_) {
    lastProgress_ = text;
    unchangedPolls_ = 0;
    return false;
  }
  if (unchangedPolls_ < std::numeric_limits<std::int32_t>::max())
    ++unchangedPolls_;
  if (unchangedPolls_ != limit)
    return false;
  status.endTime = rowTimeNow();
  runState_ = RunState::TimedOut;
  unchangedPolls_ = 0;
  return true;
}

bool ProgramWatcher::endHungRun() {
  status.latestLog = latestLogLine();
  closeStatusRow(RunStatus::Timeout);
  printLine("");
  printLine("[" + status.applicationId + "] has timed out! Restarting now...");
  // Taken before the program is ended, bounded so that the restart follows.
  takeEvidence(RunStatus::Timeout, true);
  printLine("");
  if (config.debugOrNot && !launchDebugTimeout())
    return false;
  endProcess(programProcess_);
  return true;
}

void ProgramWatcher::closeCrashedRun(std::uint32_t exitCode) {
  status.endTime = rowTimeNow();
  status.latestLog = latestLogLine();
  runState_ = RunState::Crashed;
  closeStatusRow(RunStatus::Crashed);
  printLine("");
  printLine("[" + programFileName_ + "] has crashed!  Restarting now...");
  takeEvidence(RunStatus::Crashed, false, exitCode);
  stop();
}

void ProgramWatcher::closeFinishedRun() {
  status.endTime = rowTimeNow();
  runState_ = RunState::Finished;
  printLine("[" + status.applicationId + "] has finished!");
  printLine("");
  closeStatusRow(RunStatus::Finished);
  stop();
}

void ProgramWatcher::endRunOnStop() {
  // The program goes first, with everything it started, so that its log has
  // stopped growing when its last line is read; the row is closed as a
  // time-out closes it.
  stop();
  status.endTime = rowTimeNow();
  status.latestLog = latestLogLine();
  // The end of the user's session ended the run, not the operator.
  const RunStatus ended = platform::sessionEnding() ? RunStatus::Interrupted : RunStatus::Stopped;
  closeStatusRow(ended);
  printLine("[" + status.applicationId + "] has been stopped!");
  takeEvidence(ended, false);
}

void ProgramWatcher::restartUntilLaunched() {
  // A restart that cannot launch the program would leave nothing to poll and
  // end the supervision: keep trying once a second until the program is back.
  do {
    if (!platform::pauseUnlessStopped(kRestartPauseMs))
      return;
    if (testMode)
      startTest(status.applicationId);
    else
      start();
  } while (launchFailed_);
}

void ProgramWatcher::stop() {
  unchangedPolls_ = 0;
  runState_ = RunState::Idle;
  lastProgress_.clear();
  for (platform::ProcessRecord* record :
       {&programProcess_, &debugCrashProcess_, &debugTimeoutProcess_}) {
    if (!record->holdsProcess())
      continue;
    std::uint32_t exitCode = 0;
    if (platform::processState(record->hProcess, exitCode) == platform::ProcessState::Running) {
      endProcess(*record);
    }
    // An ended process keeps its handles: a failed restart reads its exit code again.
    record->letGo();
  }
}

void ProgramWatcher::takeEvidence(RunStatus ended, bool capture, std::uint32_t exitCode) {
  if (config.evidenceDir.empty())
    return;
  FailedRun run;
  run.applicationId = status.applicationId;
  run.status = ended;
  run.startTime = status.startTime;
  run.endTime = status.endTime;
  const platform::ProcessLaunch launch = programLaunch();
  run.commandLine = "\"" + launch.path + "\" " + launch.arguments;
  run.directory = launch.workingDirectory;
  run.image = programFileName_;
  run.latestLogPath = logTracker_ ? logTracker_->latestLogPath : std::string();
  if (capture) {
    run.endedBy = "no log growth for " + std::to_string(config.timeOutMin) + " minutes";
  } else if (ended == RunStatus::Crashed) {
    run.crashed = true;
    run.exitCode = exitCode;
    run.endedBy = platform::describeEnd(programProcess_, exitCode);
  } else if (ended == RunStatus::Interrupted) {
    run.endedBy = "ended with the user's session (log-off, shut-down or restart)";
  } else {
    run.endedBy = "ended by a stop request";
  }
  printLine(takeRunEvidence(config, run, programProcess_,
                            {debugCrashProcess_.dwProcessId, debugTimeoutProcess_.dwProcessId},
                            capture));
}

}  // namespace tavrelon
