// One supervised program: its settings, processes, status row, log tracker and
// polling state, with the four operations that run it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/program_config.h"
#include "logging/status_log.h"
#include "logging/status_updates.h"
#include "logging/test_log.h"
#include "platform/platform.h"

namespace tavrelon {

class ProgramWatcher {
 public:
  // An empty placeholder: no settings, no processes, no tracker.
  ProgramWatcher();
  // Ready for start(): settings copied, run stamp taken, path split at its
  // last separator, testMode true.
  explicit ProgramWatcher(ProgramConfig settings);
  // Moves every member; the previous tracker is released and the handles of
  // processes it had let go are closed. Running processes are not ended.
  ProgramWatcher(ProgramWatcher&& other) noexcept;
  ProgramWatcher& operator=(ProgramWatcher&& other) noexcept;
  ProgramWatcher(const ProgramWatcher&) = delete;
  ProgramWatcher& operator=(const ProgramWatcher&) = delete;
  // Releases the tracker and closes handles it still holds; ends no process.
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

  platform::ProcessRecord programProcess;
  platform::ProcessRecord debugCrashProcess;
  platform::ProcessRecord debugTimeoutProcess;
  ProgramConfig config;
  StatusRecord status;
  std::unique_ptr<TestLog> logTracker;  // replaced (and released) by every start
  std::int32_t unchangedPolls = 0;
  std::string runStamp;
  std::string lastProgress;
  std::string programFileName;
  std::string programDirectory;  // empty, or ends with the separator
  std::int32_t runState = 0;     // 0 idle/polling, 1 started, 2 finished, 3 crashed, 4 timed out
  bool testMode = false;

 private:
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
  // Reads the status log, applies `runningStatus` and the rest of `status` to
  // the newest row of this run (added when it has none) and writes the log back.
  void closeStatusRow(const char* runningStatus);
  // Appends the test-mode "running" row that precedes a startTest().
  void appendTestRow();
  // Writes the status-row changes still pending, with a short retry while the
  // log is held; prints the status-log error line when they could not be, or
  // when this sequence's change could not even be `queued` (out of memory).
  void writeStatusRows(bool queued);
  // Handles a time-out; false when the loop is to return (DebugTimeout trouble).
  bool handleTimeout();
  // The restart after a time-out; tried again about once a second while the
  // program cannot be launched.
  void restartAfterTimeout();
  void handleCrash();
  // Ends the running program (everything it started too), closes its row as
  // "stopped" with End_Time and Latest_Log, and says so.
  void endOnStopRequest();
  void handleFinish();
  // The tracker's view of the run; 0 and "" while no tracker exists.
  std::int64_t progress();
  std::string latestLogLine();
  // Prints what went wrong in the tracker's latest call, if anything did.
  void sayTrackerError();

  // True when the latest start() or startTest() could not launch the program
  // (file missing, creation failed); false once one has.
  bool launchFailed = false;
  // Status-row changes not yet written; every later write applies them first.
  StatusLogUpdates statusUpdates;
};

}  // namespace tavrelon
