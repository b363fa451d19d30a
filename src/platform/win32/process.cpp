// Windows processes: CreateProcessW, a job per program, ended with its job.
#include "platform/win32/support.h"

#include <mutex>

#include "platform/clock_backend.h"
#include "platform/command_line.h"
#include "platform/evidence_backend.h"
#include "platform/files_backend.h"
#include "platform/process.h"
#include "platform/process_backend.h"
#include "platform/program_guard.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

// What the backend holds for one started process, under a Handle from a
// counter that never repeats, so a closed Handle stays invalid instead of
// coming to name another process.
struct StartedProcess {
  HANDLE process = nullptr;
  HANDLE thread = nullptr;  // its first thread, for ending it with the process
  HANDLE job = nullptr;     // null when it runs without a job of its own
};

using ProcessTable = backend::HandleTable<StartedProcess>;

ProcessTable& processTable() {
  static ProcessTable table;
  return table;
}

// The process behind an open process Handle, or null (also while its start
// is under way). Call with the table locked.
StartedProcess* openProcess(ProcessTable& table, Handle hProcess) {
  StartedProcess* started = table.find(hProcess);
  return started == nullptr || started->process == nullptr ? nullptr : started;
}

// Puts `process` into a new job so that ending it later ends its descendants
// too. Returns 0 with the job in `job`, or the error code with `job` null when
// no job could be made or joined (an outer job that allows no nesting or
// breakaway); the process then runs without one.
std::uint32_t joinNewJob(HANDLE process, HANDLE& job) {
  job = ::CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr)
    return lastErrorCode();
  // Kill on close: a watchdog killed outright takes its programs with it
  // (closeHandle takes it back first). Breakaway allowed: a program that starts a helper with
  // CREATE_BREAKAWAY_FROM_JOB would fail with error 5 otherwise (the helper is
  // then not ended with it). Never silent breakaway: that would free them all.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;  // gone when we die
  ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  std::uint32_t error = backend::forcedJobAssignmentFailure();
  if (error == 0 && !::AssignProcessToJobObject(job, process))
    error = lastErrorCode();
  if (error != 0) {
    ::CloseHandle(job);
    job = nullptr;
  }
  return error;
}

// Waits until `job` holds no running process or `deadline` (GetTickCount64)
// has passed: TerminateJobObject only starts the ending of its processes.
void waitUntilEmpty(HANDLE job, ULONGLONG deadline) {
  for (;;) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                     sizeof accounting, nullptr) ||
        accounting.ActiveProcesses == 0 || ::GetTickCount64() >= deadline)
      return;
    ::Sleep(10);
  }
}

// Windows takes command lines of up to 32767 wide characters, the final NUL
// included, and refuses longer ones with ERROR_FILENAME_EXCED_RANGE. The check
// is made here too, so that no system (Wine accepts more) starts a program
// with a line that Windows would refuse.
bool fitsCommandLineLimit(const std::wstring& line) {
  constexpr std::size_t kMaxWideCharacters = 32767;
  return line.size() < kMaxWideCharacters;
}

}  // namespace

bool backend::processRuns(std::uint32_t processId) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
  // No such process: ERROR_INVALID_PARAMETER; any other failure (another
  // user's process) leaves it running as far as we can tell.
  if (process == nullptr)
    return ::GetLastError() != ERROR_INVALID_PARAMETER;
  const bool runs = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return runs;
}

namespace {

// The start-up block: the window shown or hidden as the launch says.
STARTUPINFOW startupInfo(const ProcessLaunch& launch) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = launch.showWindow ? SW_SHOWNORMAL : SW_HIDE;
  return startup;
}

DWORD creationFlags(const ProcessLaunch& launch) {
  DWORD flags = launch.newConsole ? CREATE_NEW_CONSOLE : CREATE_NO_WINDOW;
  // Suspended until it is in its job, so that nothing it starts escapes the job.
  if (launch.ownProcessGroup)
    flags |= CREATE_SUSPENDED;
  return flags;
}

// The command line CreateProcessW gets, in a copy of its own (it may write into
// it): empty for a launch without arguments. The path stays its first token,
// quoted when it holds a blank, as the program's own argument parsing expects.
// False with the error code for a line longer than Windows takes.
bool commandLineOf(const ProcessLaunch& launch, std::vector<wchar_t>& commandLine,
                   std::uint32_t& errorCode) {
  if (!launch.withArguments)
    return true;
  const std::wstring line = wideFromUtf8(buildCommandLine(launch.path, launch.arguments));
  if (!fitsCommandLineLimit(line)) {
    errorCode = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  commandLine.assign(line.begin(), line.end());
  commandLine.push_back(L'\0');
  return true;
}

// Puts the suspended process into a job of its own (`job` null and the error
// in `jobError` when it could not be) and lets it run. False with the error
// code, the process ended and all its handles closed, when it cannot resume.
bool runInOwnJob(const PROCESS_INFORMATION& info, HANDLE& job, std::uint32_t& jobError,
                 std::uint32_t& errorCode) {
  jobError = joinNewJob(info.hProcess, job);
  if (::ResumeThread(info.hThread) != static_cast<DWORD>(-1))
    return true;
  errorCode = lastErrorCode();
  ::TerminateProcess(info.hProcess, 0);
  for (HANDLE owned : {job, info.hThread, info.hProcess}) {
    if (owned != nullptr)
      ::CloseHandle(owned);
  }
  job = nullptr;
  return false;
}

}  // namespace

std::uint32_t backend::fileNotFoundError() {
  return ERROR_FILE_NOT_FOUND;
}

StartFailure startFailureKind(std::uint32_t errorCode) {
  // ERROR_ELEVATION_REQUIRED, which not every SDK's headers name.
  constexpr std::uint32_t kElevationRequired = 740;
  if (errorCode == kElevationRequired)
    return StartFailure::NeedsElevation;
  switch (errorCode) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_SHARING_VIOLATION:  // the program file is still open for writing (being copied in)
    case ERROR_LOCK_VIOLATION:
      return StartFailure::Passing;
    default:
      return StartFailure::Lasting;
  }
}

bool backend::environmentVariable(const std::string& name, std::string& value) {
  const std::wstring wideName = wideFromUtf8(name);
  wchar_t buffer[64];
  const DWORD length = ::GetEnvironmentVariableW(wideName.c_str(), buffer, 64);
  // 0: unset (or empty); 64 or more: longer than any mark we write, and no mark.
  if (length == 0 || length >= 64)
    return false;
  value = utf8FromWide(buffer, length);
  return true;
}

void backend::setEnvironmentVariable(const std::string& name, const std::string& value) {
  // The process's own block, which CreateProcessW passes on when given none.
  ::SetEnvironmentVariableW(wideFromUtf8(name).c_str(), wideFromUtf8(value).c_str());
}

std::uint32_t backend::currentProcessId() {
  return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

bool backend::startProcess(const ProcessLaunch& launch, ProcessRecord& record,
                           std::uint32_t& errorCode) {
  STARTUPINFOW startup = startupInfo(launch);
  // The checked file itself is the image to start: with the application name
  // given, Windows neither searches (our own directory first) nor appends
  // ".exe", and a relative name is made absolute against our directory here.
  const std::wstring applicationName = systemPath(launch.path, Prefix::WhenLong);
  std::vector<wchar_t> commandLine;
  if (!commandLineOf(launch, commandLine, errorCode))
    return false;
  // An empty directory means ours; CreateProcessW wants null for that, not "".
  const std::wstring directory = launch.workingDirectory.empty()
                                     ? std::wstring()
                                     : systemPath(launch.workingDirectory, Prefix::Never);

  // The table entry is made first, so that nothing can fail between creating
  // the process and handing its handles over.
  ProcessTable& table = processTable();
  Handle handle = 0;
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    handle = table.add();
  }
  auto forget = [&] {
    std::lock_guard<std::mutex> lock(table.mutex);
    table.entries.erase(handle);
  };

  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(applicationName.c_str(), commandLine.empty() ? nullptr : commandLine.data(),
                        nullptr, nullptr, FALSE, creationFlags(launch), nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
    errorCode = lastErrorCode();
    forget();
    return false;
  }
  HANDLE job = nullptr;
  std::uint32_t jobError = 0;
  if (launch.ownProcessGroup && !runInOwnJob(info, job, jobError, errorCode)) {
    forget();
    return false;
  }

  {
    std::lock_guard<std::mutex> lock(table.mutex);
    *table.find(handle) = StartedProcess{info.hProcess, info.hThread, job};
  }
  record.hProcess = handle;
  record.dwProcessId = info.dwProcessId;
  record.jobErrorCode = jobError;
  return true;
}

ProcessState processState(Handle hProcess, std::uint32_t& exitCode) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  StartedProcess* started = openProcess(table, hProcess);
  if (started == nullptr)
    return ProcessState::Unknown;
  // Ask whether the process has ended rather than compare its exit code with
  // STILL_ACTIVE: a program may well end with exit code 259.
  DWORD waited = ::WaitForSingleObject(started->process, 0);
  if (waited == WAIT_TIMEOUT)
    return ProcessState::Running;
  if (waited != WAIT_OBJECT_0)
    return ProcessState::Unknown;
  DWORD code = 0;
  if (!::GetExitCodeProcess(started->process, &code))
    return ProcessState::Unknown;
  exitCode = code;
  return ProcessState::Exited;
}

void terminateProcess(const ProcessRecord& record) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  StartedProcess* started = openProcess(table, record.hProcess);
  if (started == nullptr)
    return;
  // An ended program keeps its exit code, and whatever it left behind runs on.
  if (::WaitForSingleObject(started->process, 0) != WAIT_TIMEOUT)
    return;
  // Termination completes asynchronously: within 5 s in all, the job's last
  // process and the program itself are waited for, so that nothing still holds
  // the program's files when a restart begins.
  const ULONGLONG deadline = ::GetTickCount64() + 5000;
  // The job first: it ends the program's own children and grandchildren too.
  if (started->job != nullptr && ::TerminateJobObject(started->job, 0))
    waitUntilEmpty(started->job, deadline);
  if (started->thread != nullptr)
    ::TerminateThread(started->thread, 0);
  ::TerminateProcess(started->process, 0);
  const ULONGLONG now = ::GetTickCount64();
  ::WaitForSingleObject(started->process, now < deadline ? static_cast<DWORD>(deadline - now) : 0);
}

void closeHandle(Handle handle) {
  if (handle == 0)
    return;
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.entries.find(handle);
  if (found == table.entries.end())
    return;
  if (found->second.job != nullptr)
    backend::releaseJobAtClose(found->second.job);  // its leftovers run on, as before
  for (HANDLE owned : {found->second.job, found->second.thread, found->second.process}) {
    if (owned != nullptr)
      ::CloseHandle(owned);
  }
  table.entries.erase(found);
}

// ---------------------------------------------------------------- evidence

bool backend::endDetail(Handle hProcess, EndDetail& detail) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  StartedProcess* started = openProcess(table, hProcess);
  if (started == nullptr)
    return false;
  // FILETIME and the job's times count 100-nanosecond units.
  auto seconds = [](ULONGLONG units) { return static_cast<double>(units) / 1e7; };
  if (started->job != nullptr) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (!::QueryInformationJobObject(started->job, JobObjectBasicAccountingInformation, &accounting,
                                     sizeof accounting, nullptr))
      return false;
    detail.known = true;
    detail.userSeconds = seconds(static_cast<ULONGLONG>(accounting.TotalUserTime.QuadPart));
    detail.kernelSeconds = seconds(static_cast<ULONGLONG>(accounting.TotalKernelTime.QuadPart));
    if (::QueryInformationJobObject(started->job, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits, nullptr))
      detail.peakBytes = static_cast<std::int64_t>(limits.PeakJobMemoryUsed);
    return true;
  }
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(started->process, &created, &exited, &kernel, &user))
    return false;
  auto units = [](const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  detail.known = true;
  detail.userSeconds = seconds(units(user));
  detail.kernelSeconds = seconds(units(kernel));
  return true;
}

bool backend::jobProcessIds(Handle hProcess, std::vector<std::uint32_t>& ids) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  StartedProcess* started = openProcess(table, hProcess);
  if (started == nullptr || started->job == nullptr)
    return false;
  // The list has room for `room` ids; a job that holds more asks for more.
  for (std::size_t room = 256; room <= 65536; room *= 4) {
    std::vector<ULONG_PTR> buffer(room + 2);
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    if (!::QueryInformationJobObject(started->job, JobObjectBasicProcessIdList, list,
                                     static_cast<DWORD>(buffer.size() * sizeof(ULONG_PTR)),
                                     nullptr)) {
      if (::GetLastError() == ERROR_MORE_DATA)
        continue;
      return false;
    }
    if (list->NumberOfProcessIdsInList < list->NumberOfAssignedProcesses)
      continue;
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i)
      ids.push_back(static_cast<std::uint32_t>(list->ProcessIdList[i]));
    return true;
  }
  return false;
}

}  // namespace tavrelon::platform
