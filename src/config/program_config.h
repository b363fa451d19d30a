// Settings of one supervised program, as one block of TavrelonConfig.ini gives them.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon {

// A plain value record, copied whole; the configuration reader assigns the
// starting values (status log path, time-out) when it begins a record.
struct ProgramConfig {
  std::string applicationPath;      // executable to supervise
  std::string applicationArgument;  // its argument string, double quotes kept
  std::string applicationLogDir;    // where the program writes its own CSV logs
  std::string statusLogPath;        // this program's status log file
  std::string dllDir;               // stored as read; nothing uses it
  bool debugOrNot = false;          // launch the DebugCrash/DebugTimeout programs
  std::int32_t timeOutMin = 2;      // minutes without log growth before "hung"
  std::string debugCrashScript;     // appended to the watchdog's own directory
  std::string debugTimeoutScript;   // appended to the watchdog's own directory

  // Evidence of failed runs: the folder (empty: none), full-memory minidumps
  // (Windows), and the cap of the whole folder in MiB.
  std::string evidenceDir;
  bool evidenceFullDump = false;
  std::int32_t evidenceMaxMB = 2048;

  // Queue-wide switches: on when any block sets them. ResumeQueue keeps a
  // journal beside the watchdog so that a start after an interruption goes on
  // at the program under way; AllowSleep lets the machine sleep while it runs.
  bool resumeQueue = false;
  bool allowSleep = false;
};

}  // namespace tavrelon
