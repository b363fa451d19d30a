// Windows backend of the platform layer (KERNEL32 and the C runtime).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <limits>
#include <map>
#include <mutex>

#include "platform/backend.h"
#include "platform/command_line.h"
#include "platform/platform.h"

namespace tavrelon::platform {

namespace {

// The one place where a Windows error becomes the error code callers see.
std::uint32_t lastErrorCode() {
  return static_cast<std::uint32_t>(::GetLastError());
}

using backend::namesNoFile;

// ---- the edge between the watchdog's UTF-8 strings and the wide system calls

// `text` (UTF-8) as UTF-16; an invalid sequence becomes U+FFFD.
std::wstring wideFromUtf8(const std::string& text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return std::wstring();
  const int size = static_cast<int>(text.size());
  int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], length);
  return wide;
}

// `length` UTF-16 units at `text` as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8FromWide(const wchar_t* text, std::size_t length) {
  if (length == 0 || length > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return std::string();
  const int size = static_cast<int>(length);
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(std::max(bytes, 0)), '\0');
  if (bytes > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text, size, &utf8[0], bytes, nullptr, nullptr);
  return utf8;
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// When a path gets the \\?\ prefix that lifts the 260-character limit.
enum class Prefix {
  Always,    // file calls: every path, so that no length ever matters
  WhenLong,  // process image: only from 260 characters on, as programs expect
  Never,     // a process's current directory: programs do not take the prefix
};

// `path` (UTF-8, relative to our current directory or absolute) as the system
// takes it: absolute, with backslashes, "." and ".." resolved (the prefixed
// form is taken literally, so this must happen first), then with the prefix
// \\?\ before a drive path or \\?\UNC\ in place of a UNC path's leading
// two backslashes, as `prefix` says. A path already in the \\?\ namespace
// (or the \\.\ one of devices) is passed on as it is.
std::wstring systemPath(const std::string& path, Prefix prefix = Prefix::Always) {
  std::wstring wide = wideFromUtf8(path);
  if (wide.empty() || startsWith(wide, L"\\\\?\\") || startsWith(wide, L"\\\\.\\"))
    return wide;
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    DWORD length =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0)
      return wide;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);  // the size needed, the final NUL included
  }
  if (prefix == Prefix::Never || (prefix == Prefix::WhenLong && full.size() < MAX_PATH))
    return full;
  const bool drivePath = full.size() >= 3 && full[1] == L':' && full[2] == L'\\';
  if (drivePath)
    return L"\\\\?\\" + full;
  if (startsWith(full, L"\\\\") && !startsWith(full, L"\\\\?\\") && !startsWith(full, L"\\\\.\\"))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return full;
}

// A file handle that closes itself.
class OwnedFile {
 public:
  explicit OwnedFile(HANDLE handle) : handle_(handle) {}
  ~OwnedFile() {
    if (isOpen())
      ::CloseHandle(handle_);
  }
  OwnedFile(const OwnedFile&) = delete;
  OwnedFile& operator=(const OwnedFile&) = delete;

  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Opens `path` for reading only, letting others read, write, rename and delete
// it meanwhile, so that a supervised program writing its log is never disturbed.
HANDLE openForReading(const std::string& path) {
  if (namesNoFile(path))
    return INVALID_HANDLE_VALUE;
  return ::CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Seconds since 1970 of a FILETIME (100 ns ticks since 1601).
std::int64_t secondsSince1970(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  const std::int64_t secondsFrom1601To1970 = 11644473600LL;
  return static_cast<std::int64_t>(ticks.QuadPart / 10000000ULL) - secondsFrom1601To1970;
}

bool isZero(const FILETIME& time) {
  return time.dwLowDateTime == 0 && time.dwHighDateTime == 0;
}

// ReadFile and WriteFile move at most a DWORD at a time; stay well below it.
constexpr std::size_t kMaxTransfer = 1u << 30;

// Writes all of `bytes` to `file`; false on any failure.
bool writeAll(HANDLE file, const char* bytes, std::size_t length) {
  while (length > 0) {
    DWORD chunk = static_cast<DWORD>(std::min(length, kMaxTransfer));
    DWORD written = 0;
    if (!::WriteFile(file, bytes, chunk, &written, nullptr) || written == 0)
      return false;
    bytes += written;
    length -= written;
  }
  return true;
}

// What the backend holds for one started process. The process Handles it
// gives out are even numbers from a counter that never repeats, and the odd
// number above each is that process's thread Handle, so a closed Handle stays
// invalid instead of coming to name another process.
struct StartedProcess {
  HANDLE process = nullptr;  // null once the process Handle is closed
  HANDLE thread = nullptr;   // null once the thread Handle is closed
  HANDLE job = nullptr;      // null when it runs without a job of its own
};

struct ProcessTable {
  std::mutex mutex;
  Handle nextProcessHandle = 2;
  std::map<Handle, StartedProcess> processes;  // by process Handle
};

ProcessTable& processTable() {
  static ProcessTable table;
  return table;
}

bool isThreadHandle(Handle handle) {
  return (handle & 1) != 0;
}

// The process behind an open process Handle, or null. Call with the table locked.
StartedProcess* openProcess(ProcessTable& table, Handle hProcess) {
  if (hProcess == 0 || isThreadHandle(hProcess))
    return nullptr;
  auto found = table.processes.find(hProcess);
  if (found == table.processes.end() || found->second.process == nullptr)
    return nullptr;
  return &found->second;
}

// Puts `process` into a new job so that ending it later ends its descendants
// too. Returns 0 with the job in `job`, or the error code with `job` null when
// no job could be made or joined (an outer job that allows no nesting or
// breakaway); the process then runs without one.
std::uint32_t joinNewJob(HANDLE process, HANDLE& job) {
  job = ::CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr)
    return lastErrorCode();
  // No kill-on-close limit: a program that ends by itself leaves its children
  // alone. Breakaway allowed: a program that starts a helper with
  // CREATE_BREAKAWAY_FROM_JOB would fail with error 5 otherwise (the helper is
  // then not ended with it). Never silent breakaway: that would free them all.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
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

// The console output code page before prepareWatchdogProcess(); 0: none saved.
UINT& savedConsoleOutputCodePage() {
  static UINT codePage = 0;
  return codePage;
}

}  // namespace

char separator() {
  return '\\';
}

std::string executablePath() {
  // A too-small buffer gets a truncated path and the full size as result:
  // grow it until the result is shorter. Windows paths stop at 32767 wide
  // characters, so the limit only guards against a misbehaving call.
  std::wstring buffer(MAX_PATH, L'\0');
  while (buffer.size() <= (1u << 20)) {
    DWORD length = ::GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0)
      return std::string();
    if (length < buffer.size()) {
      buffer.resize(length);
      // Started by a prefixed path, the name carries the prefix: shown without it.
      if (startsWith(buffer, L"\\\\?\\UNC\\"))
        buffer.replace(0, 8, L"\\\\");
      else if (startsWith(buffer, L"\\\\?\\"))
        buffer.erase(0, 4);
      return utf8FromWide(buffer.data(), buffer.size());
    }
    buffer.resize(buffer.size() * 2);
  }
  return std::string();
}

std::string toAnsiCodePage(const std::string& utf8) {
  const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  // A system whose ANSI code page is UTF-8 needs no conversion (and takes no
  // replacement character for it).
  if (ascii || ::GetACP() == CP_UTF8)
    return utf8;
  const std::wstring wide = wideFromUtf8(utf8);
  const int size = static_cast<int>(wide.size());
  // No best fit: a character the code page lacks becomes '?', never a look-alike.
  int bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0,
                                    "?", nullptr);
  std::string ansi(static_cast<std::size_t>(std::max(bytes, 0)), '\0');
  if (bytes > 0)
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, &ansi[0], bytes, "?",
                          nullptr);
  return ansi;
}

bool sameFile(const std::string& first, const std::string& second) {
  // No access rights are needed for the identity; backup semantics let a
  // directory be opened too.
  auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    if (namesNoFile(path))
      return false;
    OwnedFile file(::CreateFileW(systemPath(path).c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.isOpen() && ::GetFileInformationByHandle(file.get(), &info) != 0;
  };
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  return identify(first, a) && identify(second, b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

std::string fromAnsiCodePage(const std::string& ansi) {
  const bool ascii = std::all_of(ansi.begin(), ansi.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || ansi.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return ansi;
  const int size = static_cast<int>(ansi.size());
  int length = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, &wide[0], length);
  return utf8FromWide(wide.data(), wide.size());
}

bool exists(const std::string& path) {
  return !namesNoFile(path) &&
         ::GetFileAttributesW(systemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                   bool* brokenOff) {
  if (directory.empty() || namesNoFile(directory))
    return false;
  const std::wstring folder = systemPath(directory);
  std::wstring pattern = folder;
  if (pattern.empty() || pattern.back() != L'\\')
    pattern += L'\\';
  pattern += L'*';

  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    // Systems before Windows 7 know neither the basic level nor large fetches.
    find = ::FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch,
                              nullptr, 0);
  }
  if (find == INVALID_HANDLE_VALUE) {
    // A drive's root can be empty, with not even "." and ".." to list.
    DWORD error = ::GetLastError();
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    return error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  const std::size_t first = entries.size();
  do {
    const wchar_t* name = data.cFileName;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0)
      continue;
    entries.push_back(DirectoryEntry{utf8FromWide(name, std::wcslen(name)),
                                     (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (::FindNextFileW(find, &data));
  // Only "no more files" ends a complete listing; any other error (a network
  // drive that went away) leaves half a folder, which must not pass for all of it.
  const DWORD error = ::GetLastError();
  ::FindClose(find);
  if (error != ERROR_NO_MORE_FILES) {
    entries.resize(first);
    if (brokenOff != nullptr)
      *brokenOff = true;
    return false;
  }
  return true;
}

bool fileStatus(const std::string& path, FileStatus& status) {
  if (namesNoFile(path))
    return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(systemPath(path).c_str(), GetFileExInfoStandard, &data))
    return false;
  status.modificationTime = secondsSince1970(data.ftLastWriteTime);
  // Some network drives record no creation time (0): the modification time
  // stands in, as on a platform without creation times.
  status.creationTime =
      isZero(data.ftCreationTime) ? status.modificationTime : secondsSince1970(data.ftCreationTime);
  status.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                          data.nFileSizeLow);
  return true;
}

bool readFile(const std::string& path, std::string& content) {
  OwnedFile file(openForReading(path));
  if (!file.isOpen())
    return false;
  content.clear();
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
      return false;
    if (got == 0)
      return true;
    content.append(buffer, got);
  }
}

bool openedFileSize(const std::string& path, std::int64_t& size) {
  OwnedFile file(openForReading(path));
  if (!file.isOpen())
    return false;
  LARGE_INTEGER length;
  if (!::GetFileSizeEx(file.get(), &length))
    return false;
  size = static_cast<std::int64_t>(length.QuadPart);
  return true;
}

bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes) {
  bytes.clear();
  if (offset < 0)
    return false;
  OwnedFile file(openForReading(path));
  if (!file.isOpen())
    return false;
  LARGE_INTEGER position;
  position.QuadPart = offset;
  if (!::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))
    return false;
  bytes.resize(length);
  std::size_t done = 0;
  while (done < length) {
    DWORD chunk = static_cast<DWORD>(std::min(length - done, kMaxTransfer));
    DWORD got = 0;
    if (!::ReadFile(file.get(), &bytes[done], chunk, &got, nullptr)) {
      bytes.clear();
      return false;
    }
    if (got == 0)
      break;
    done += got;
  }
  bytes.resize(done);
  return true;
}

bool replaceFileContent(const std::string& path, const std::string& content) {
  if (namesNoFile(path))
    return false;
  // The temporary's name carries "TavrelonLog" so that a log tracker never takes
  // it for a program's log, and a fixed name so that a crash leaves at most one.
  const std::wstring target = systemPath(path);
  const std::wstring temporary = systemPath(path + ".TavrelonLog-new");
  HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  bool written = writeAll(file, content.data(), content.size()) && ::FlushFileBuffers(file);
  written = ::CloseHandle(file) && written;
  if (!written || !::MoveFileExW(temporary.c_str(), target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

bool backend::localCalendarTime(std::time_t when, std::tm& local) {
  return ::localtime_s(&local, &when) == 0;
}

void backend::sleepForReal(std::int64_t milliseconds) {
  // Sleep takes a DWORD and treats 0xFFFFFFFF as "forever": sleep in pieces.
  while (milliseconds > 0) {
    DWORD piece = static_cast<DWORD>(std::min<std::int64_t>(milliseconds, 0x7FFFFFFF));
    ::Sleep(piece);
    milliseconds -= piece;
  }
}

// ---------------------------------------------------------------- stop requests

namespace {

// Manual-reset: once set, every wait ends at once until it is reset.
HANDLE stopEvent() {
  static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// The main thread, which finishes a stop and ends the process.
HANDLE mainThread = nullptr;

// Our console's input mode before QuickEdit was turned off.
bool consoleModeSaved = false;
DWORD savedConsoleMode = 0;

BOOL WINAPI onConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  requestStop();
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && mainThread != nullptr) {
    // Returning would let the system end the process at once: wait until the
    // main thread has closed the row and ended the process itself (the system
    // grants about 5 s on a close).
    ::WaitForSingleObject(mainThread, INFINITE);
  }
  return TRUE;
}

}  // namespace

void backend::wakeStopWaiters() {
  ::SetEvent(stopEvent());
}

void backend::resetStopWake() {
  ::ResetEvent(stopEvent());
}

void backend::waitForStopWake(std::int64_t milliseconds) {
  HANDLE event = stopEvent();
  if (event == nullptr) {
    sleepForReal(milliseconds);
    return;
  }
  // WaitForSingleObject takes a DWORD and treats 0xFFFFFFFF as "forever".
  while (milliseconds > 0 && !stopRequested()) {
    DWORD piece = static_cast<DWORD>(std::min<std::int64_t>(milliseconds, 0x7FFFFFFF));
    if (::WaitForSingleObject(event, piece) != WAIT_TIMEOUT)
      return;
    milliseconds -= piece;
  }
}

void prepareWatchdogProcess() {
  // Inherited by every program we start: a crash ends the program with its
  // exception code instead of a dialog that waits for a click (and a missing
  // DLL or an empty drive fails instead of asking).
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // Our lines are UTF-8. Without a console (output redirected) this fails: no matter.
  UINT codePage = ::GetConsoleOutputCP();
  if (codePage != 0 && ::SetConsoleOutputCP(CP_UTF8))
    savedConsoleOutputCodePage() = codePage;
  stopEvent();
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &mainThread,
                    SYNCHRONIZE, FALSE, 0);
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  // With QuickEdit on, a selection in our window suspends every write to it,
  // and so the whole supervision. Only when our standard input is a console.
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input != nullptr && input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode)) {
    if (::SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~DWORD{ENABLE_QUICK_EDIT_MODE})) {
      savedConsoleMode = mode;
      consoleModeSaved = true;
    }
  }
}

void restoreWatchdogProcess() {
  // The console outlives us (a cmd window): its code page goes back as it was.
  UINT& codePage = savedConsoleOutputCodePage();
  if (codePage != 0)
    ::SetConsoleOutputCP(codePage);
  codePage = 0;
  if (!consoleModeSaved)
    return;
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input != nullptr && input != INVALID_HANDLE_VALUE)
    ::SetConsoleMode(input, savedConsoleMode);
  consoleModeSaved = false;
}

bool runningUnderWineForTesting() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---------------------------------------------------------------- processes

bool startProcess(const ProcessLaunch& launch, ProcessRecord& record, std::uint32_t& errorCode) {
  if (namesNoFile(launch.path) || namesNoFile(launch.workingDirectory)) {
    errorCode = ERROR_FILE_NOT_FOUND;
    return false;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = launch.showWindow ? SW_SHOWNORMAL : SW_HIDE;

  DWORD flags = launch.newConsole ? CREATE_NEW_CONSOLE : CREATE_NO_WINDOW;
  // Suspended until it is in its job, so that nothing it starts escapes the job.
  if (launch.ownProcessGroup)
    flags |= CREATE_SUSPENDED;

  // The checked file itself is the image to start: with the application name
  // given, Windows neither searches (our own directory first) nor appends
  // ".exe", and a relative name is made absolute against our directory here.
  const std::wstring applicationName = systemPath(launch.path, Prefix::WhenLong);
  // CreateProcessW may write into its command line: it gets a copy of its own.
  // The path stays its first token, quoted when it holds a blank, as the
  // program's own argument parsing expects.
  std::vector<wchar_t> commandLine;
  if (launch.withArguments) {
    std::wstring line = wideFromUtf8(buildCommandLine(launch.path, launch.arguments));
    if (!fitsCommandLineLimit(line)) {
      errorCode = ERROR_FILENAME_EXCED_RANGE;
      return false;
    }
    commandLine.assign(line.begin(), line.end());
    commandLine.push_back(L'\0');
  }
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
    handle = table.nextProcessHandle;
    table.nextProcessHandle += 2;
    table.processes[handle];
  }
  auto forget = [&] {
    std::lock_guard<std::mutex> lock(table.mutex);
    table.processes.erase(handle);
  };

  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(applicationName.c_str(), commandLine.empty() ? nullptr : commandLine.data(),
                        nullptr, nullptr, FALSE, flags, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
    errorCode = lastErrorCode();
    forget();
    return false;
  }

  HANDLE job = nullptr;
  std::uint32_t jobError = 0;
  if (launch.ownProcessGroup) {
    jobError = joinNewJob(info.hProcess, job);
    if (::ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
      errorCode = lastErrorCode();
      ::TerminateProcess(info.hProcess, 0);
      if (job != nullptr)
        ::CloseHandle(job);
      ::CloseHandle(info.hThread);
      ::CloseHandle(info.hProcess);
      forget();
      return false;
    }
  }

  {
    std::lock_guard<std::mutex> lock(table.mutex);
    table.processes[handle] = StartedProcess{info.hProcess, info.hThread, job};
  }
  record.hProcess = handle;
  record.hThread = handle + 1;
  record.dwProcessId = info.dwProcessId;
  record.dwThreadId = info.dwThreadId;
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
  auto found = table.processes.find(handle & ~Handle{1});
  if (found == table.processes.end())
    return;
  StartedProcess& started = found->second;
  if (isThreadHandle(handle)) {
    if (started.thread != nullptr)
      ::CloseHandle(started.thread);
    started.thread = nullptr;
  } else {
    if (started.job != nullptr)
      ::CloseHandle(started.job);
    if (started.process != nullptr)
      ::CloseHandle(started.process);
    started.job = nullptr;
    started.process = nullptr;
  }
  if (started.thread == nullptr && started.process == nullptr)
    table.processes.erase(found);
}

}  // namespace tavrelon::platform
