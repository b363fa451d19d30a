// One supervised program: its settings, processes, status row, log tracker and
// polling state, with the four operations that run it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/program_config.h"
#include "logging/log_tracker.h"
#include "logging/run_vocabulary.h"
#include "logging/status_log.h"
#include "logging/status_updates.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrelon {

// What the watcher's run is at, as its operations last set it.
enum class RunState : std::int32_t {
  Idle = 0,  // no run, or one being polled
  Started = 1,
  Finished = 2,
  Crashed = 3,
  TimedOut = 4,
};

// Where the watchdog's own executable lies: asked of the system once, by the
// driver, and handed to every watcher.
struct WatchdogPlace {
  std::string executablePath;  // empty when the system cannot tell
  std::string directory;       // its directory, without a trailing separator
};

// The running watchdog's place, as the system tells it now.
WatchdogPlace watchdogPlace();

class ProgramWatcher {
 public:
  // An empty placeholder: no settings, no processes, no tracker.
  ProgramWatcher();
  // Ready for start(): settings copied, run stamp taken, path split at its
  // last separator, testMode true. The debug programs are found in
  // `place.directory`; the program may not be the watchdog's own file.
  explicit ProgramWatcher(ProgramConfig settings, WatchdogPlace place = watchdogPlace());
  // Moves every member; what the target held (its tracker, the handles of its
  // process records) is released. Running processes are not ended.
  ProgramWatcher(ProgramWatcher&& other) noexcept;
  ProgramWatcher& operator=(ProgramWatcher&& other) noexcept;
  ProgramWatcher(const ProgramWatcher&) = delete;
  ProgramWatcher& operator=(const ProgramWatcher&) = delete;
  // Releases the tracker and the process records' handles; ends no process.
  ~ProgramWatcher();

  // Starts a new run: new run stamp and (outside test mode) applicationId, the
  // process in a console of its own, a "running" row, a new TestLog.
  void start();
  // Polls the run until it finishes; restarts it after a time-out or a crash.
  // Returns early on a stop request: a run in progress is then ended and its
  // row closed as "stopped"; with none in progress it returns at once.
  void monitor();
  // Starts the program again under `applicationId` with a KVTLog (test mode).
  void startTest(std::string applicationId);
  // Ends every recorded process that still runs and resets the polling state.
  void stop();
  // Makes the watcher queue its status-row changes in `statusLogs`, which
  // the driver keeps across programs; until then it keeps a set of its own.
  void shareStatusLogs(std::shared_ptr<StatusLogQueues> statusLogs);

  // What the driver sets after construction (the runs it starts are never in
  // test mode, nor with the debug programs).
  ProgramConfig config;
  bool testMode = false;
  // The current status row. A start in test mode keeps its applicationId.
  StatusRecord status;

  // The watcher's own state, for reading.
  const platform::ProcessRecord& programProcess() const { return programProcess_; }
  const platform::ProcessRecord& debugCrashProcess() const { return debugCrashProcess_; }
  const platform::ProcessRecord& debugTimeoutProcess() const { return debugTimeoutProcess_; }
  // Replaced (and the previous one released) by every start; null before the first.
  const TestLog* logTracker() const { return logTracker_.get(); }
  std::int32_t unchangedPolls() const { return unchangedPolls_; }
  const std::string& runStamp() const { return runStamp_; }
  const std::string& lastProgress() const { return lastProgress_; }
  const std::string& programFileName() const { return programFileName_; }
  // Empty, or ends with the separator.
  const std::string& programDirectory() const { return programDirectory_; }
  RunState runState() const { return runState_; }

 private:
  // Lets a test set the polling state that only a long monitor() reaches.
  friend struct ProgramWatcherTestPeer;

  // How a stretch of polling a running program ended.
  enum class PollEnd { Exited, TimedOut, Stopped };

  // The sequence start() and startTest() share once the identifier is set:
  // launch, row (a plain start only), lines, debug program, tracker.
  void startRun(bool test);
  // Checks and launches the program; on failure says why (`kind` is "" or
  // "test ", as the lines name the start) and stops. False when it failed.
  bool launchProgram(const std::string& kind);
  // Starts `launch` into `record`. Only once the new process exists are the
  // handles the record still holds (an ended process let go) closed, so a
  // failed start leaves them readable for the crash retry.
  bool launchInto(platform::ProcessRecord& record, const platform::ProcessLaunch& launch,
                  std::uint32_t& errorCode);
  // The supervised program's launch: its own console, directory and group.
  platform::ProcessLaunch programLaunch() const;
  // Says once per start when the program could not be given a job of its own,
  // so that a time-out ends only the program and not what it started.
  void warnIfWithoutJob() const;
  // Launches the DebugCrash program beside the started one. False when its
  // file is missing: the run has then been stopped.
  bool launchDebugCrash();
  // Launches the DebugTimeout program and ends the DebugCrash one. False, the
  // run stopped, when it is missing or cannot be started.
  bool launchDebugTimeout();

  // Polls the program, `state` and `exitCode` as last read, once per poll
  // pause until it is no longer running, its log stops growing for the
  // time-out or a stop is requested (the run is then ended).
  PollEnd pollWhileRunning(platform::ProcessState& state, std::uint32_t& exitCode);
  // One poll's progress line and count; true when the count reaches `limit`
  // (the time-out is then recorded).
  bool pollTimesOut(std::int64_t limit);
  // Closes the hung run's row as "timeout", says so, takes its evidence,
  // launches DebugTimeout and ends the program. False when the monitor loop
  // is to return (DebugTimeout trouble) instead of restarting.
  bool endHungRun();
  // Closes the row of the run that ended with `exitCode` as "crashed", says
  // so, takes its evidence and stops.
  void closeCrashedRun(std::uint32_t exitCode);
  // Closes the row of the run that ended with 0 as "finished" and stops.
  void closeFinishedRun();
  // Ends the running program (everything it started too), closes its row as
  // "stopped" ("interrupted" as the session ends) with End_Time and
  // Latest_Log, and says so.
  void endRunOnStop();
  // Starts the program again after a restart pause, once per pause until it
  // is launched or a stop is requested.
  void restartUntilLaunched();
  // With an EvidenceDir: takes the evidence of the run that ended as `ended`
  // (with `exitCode` when crashed; its processes too when `capture`) and says
  // where it went.
  void takeEvidence(RunStatus ended, bool capture, std::uint32_t exitCode = 0);
  // The tracker's view of the run; 0 and "" while no tracker exists.
  std::int64_t progress();
  std::string latestLogLine();
  // Prints what the tracker had to say in its latest calls, if anything.
  void sayTrackerError();

  // The status rows (watcher_rows.cpp).
  // Reads the status log, applies `ended` and the rest of `status` to the
  // newest row of this run (added when it has none) and writes the log back.
  void closeStatusRow(RunStatus ended);
  // Queues `status` as a new row and writes the rows pending.
  void addStatusRow();
  // Appends the test-mode "running" row that precedes a startTest().
  void appendTestRow();
  // Writes the status-row changes still pending, with a short retry while the
  // log is held; prints the status-log error line when they could not be, or
  // when this sequence's change could not even be `queued` (out of memory).
  // `manyPending`: the queue has just grown to StatusLogUpdates::kMaxPending.
  void writeStatusRows(bool queued, bool manyPending);
  // The queue of this program's status log.
  StatusLogUpdates& statusUpdates();

  platform::ProcessRecord programProcess_;
  platform::ProcessRecord debugCrashProcess_;
  platform::ProcessRecord debugTimeoutProcess_;
  std::unique_ptr<TestLog> logTracker_;
  std::int32_t unchangedPolls_ = 0;
  std::string runStamp_;
  std::string lastProgress_;
  std::string programFileName_;
  std::string programDirectory_;
  RunState runState_ = RunState::Idle;
  WatchdogPlace place_;
  // True when the latest start() or startTest() could not launch the program
  // (file missing, creation failed); false once one has.
  bool launchFailed_ = false;
  // True when that failure was a passing shortage: a first start is then
  // tried again as a restart is.
  bool launchMayPass_ = false;
  // The failure line said in the current outage (launches failing in a row),
  // so that it is said once; empty once a launch succeeds.
  std::string saidFailure_;
  // Status-row changes not yet written, per status log; every later write on
  // a log applies its own first.
  std::shared_ptr<StatusLogQueues> statusLogs_;
};

}  // namespace tavrelon
