// Windows backend of the platform layer (KERNEL32 and the C runtime).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <limits>
#include <mutex>
#include <utility>

#include "platform/backend.h"
#include "platform/command_line.h"
#include "platform/evidence_backend.h"
#include "platform/platform.h"
#include "platform/program_guard.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

// The one place where a Windows error becomes the error code callers see.
std::uint32_t lastErrorCode() {
  return static_cast<std::uint32_t>(::GetLastError());
}

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
// Only a file on disk is read: a handle to a device, a pipe or a console (a
// path such as "NUL" or "CON" can name one) is closed again at once.
HANDLE openForReading(const std::string& path) {
  HANDLE file = ::CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE && ::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// Seconds since 1970 of a FILETIME (100 ns ticks since 1601).
std::int64_t secondsSince1970(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  const std::int64_t secondsFrom1601To1970 = 11644473600LL;
  return static_cast<std::int64_t>(ticks.QuadPart / 10000000ULL) - secondsFrom1601To1970;
}

// The creation time where the file system records one (a zero FILETIME means
// none, as on some network drives), else the last write time.
std::int64_t creationOrWrite(const FILETIME& creation, const FILETIME& write) {
  return creation.dwLowDateTime == 0 && creation.dwHighDateTime == 0 ? secondsSince1970(write)
                                                                     : secondsSince1970(creation);
}

// What a symbolic link or junction points to, opened for its attributes only
// and without reading (FILE_FLAG_BACKUP_SEMANTICS lets a directory be opened);
// false when the target cannot be reached.
bool linkTarget(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  OwnedFile target(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return target.isOpen() && ::GetFileInformationByHandle(target.get(), &info);
}

// The final path of the open `file` (UTF-8, in the \\?\ form the system gives
// it), every link resolved; empty when it cannot be told.
std::string finalPath(HANDLE file, DWORD flags) {
  // Success gives the length without the NUL; a buffer too small gets the
  // size needed with the NUL. The path may change between two calls.
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length =
        ::GetFinalPathNameByHandleW(file, &buffer[0], static_cast<DWORD>(buffer.size()), flags);
    if (length == 0)
      return std::string();
    if (length < buffer.size())
      return utf8FromWide(buffer.data(), length);
    buffer.resize(length);
  }
  return std::string();
}

// True for the reparse points that point elsewhere: symbolic links and
// junctions. Others (cloud placeholders, deduplicated files) are what their
// attributes say. `tag` is the reparse tag a listing gives in dwReserved0.
bool isLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
}

// The kind and times of a file or directory from its attributes.
template <typename Info>
void describe(const Info& info, DirectoryEntry& entry) {
  const DWORD attributes = info.dwFileAttributes;
  entry.isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.isFile = !entry.isDirectory && (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
  entry.hasTimes = true;
  entry.creationTime = creationOrWrite(info.ftCreationTime, info.ftLastWriteTime);
  entry.modificationTime = secondsSince1970(info.ftLastWriteTime);
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

// The console output code page before prepareWatchdogProcess(); 0: none saved.
UINT& savedConsoleOutputCodePage() {
  static UINT codePage = 0;
  return codePage;
}

}  // namespace

char separator() {
  return '\\';
}

bool isWindows() {
  return true;
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

std::vector<std::string> programArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    // Without the wide line the code page's view is all there is.
    for (int i = 1; i < argc; ++i)
      arguments.push_back(fromAnsiCodePage(argv[i]));
    return arguments;
  }
  for (int i = 1; i < count; ++i)
    arguments.push_back(utf8FromWide(wide[i], std::wcslen(wide[i])));
  // One block holds the pointers and the strings; LocalFree releases both.
  ::LocalFree(wide);
  return arguments;
}

bool backend::listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                            bool* brokenOff) {
  const std::wstring folder = systemPath(directory);
  std::wstring folderPrefix = folder;
  if (folderPrefix.empty() || folderPrefix.back() != L'\\')
    folderPrefix += L'\\';
  const std::wstring pattern = folderPrefix + L'*';

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
    DirectoryEntry entry;
    entry.name = utf8FromWide(name, std::wcslen(name));
    if (isLink(data.dwFileAttributes, data.dwReserved0)) {
      // A link counts as its target; one that does not resolve is neither kind.
      entry.isLink = true;
      BY_HANDLE_FILE_INFORMATION target;
      if (linkTarget(utf8FromWide(folderPrefix.data(), folderPrefix.size()) + entry.name, target))
        describe(target, entry);
    } else {
      describe(data, entry);
    }
    entries.push_back(std::move(entry));
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

std::string backend::resolvedPath(const std::string& path) {
  OwnedFile file(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.isOpen() ? finalPath(file.get(), FILE_NAME_NORMALIZED) : std::string();
}

bool backend::fileIdentity(const std::string& path, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!linkTarget(path, info))
    return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool backend::fileStatus(const std::string& path, FileStatus& status) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(systemPath(path).c_str(), GetFileExInfoStandard, &data))
    return false;
  status.creationTime = creationOrWrite(data.ftCreationTime, data.ftLastWriteTime);
  status.modificationTime = secondsSince1970(data.ftLastWriteTime);
  status.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                          data.nFileSizeLow);
  return true;
}

bool backend::readFile(const std::string& path, std::string& content) {
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

bool backend::openedFileSize(const std::string& path, std::int64_t& size) {
  // Attributes only: no share mode of another open stands against a query of
  // attributes, so a program that denies others reading its log is neither
  // disturbed nor taken for idle. A directory does not open without
  // FILE_FLAG_BACKUP_SEMANTICS.
  OwnedFile file(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.isOpen() || ::GetFileType(file.get()) != FILE_TYPE_DISK)
    return false;
  LARGE_INTEGER length;
  if (!::GetFileSizeEx(file.get(), &length))
    return false;
  size = static_cast<std::int64_t>(length.QuadPart);
  return true;
}

bool backend::readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                            std::string& bytes) {
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

namespace {

// The one place where the Windows error of a file operation becomes an
// outcome. Only a name that reaches no file is Missing. What passes by itself
// is Busy: another's open without sharing or byte lock, an old file still held
// while it is replaced, a network share that reconnects. All else is Refused,
// a denied access above all: permissions, Controlled Folder Access and a
// pending delete all answer ERROR_ACCESS_DENIED, and none passes on a retry.
FileOutcome classifyError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
      return FileOutcome::Missing;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_REM_NOT_LIST:
    case ERROR_BAD_NETPATH:
    case ERROR_NETWORK_BUSY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_NET_RESP:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_NETNAME_DELETED:
    case ERROR_SEM_TIMEOUT:
    case ERROR_NO_NETWORK:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
    case ERROR_CONNECTION_ABORTED:
      return FileOutcome::Busy;
    default:
      return FileOutcome::Refused;
  }
}

// A read that failed on `error`: its outcome; a failure (not a missing file)
// leaves its code for takeFileErrorCode.
FileOutcome outcomeOfError(DWORD error) {
  const FileOutcome outcome = classifyError(error);
  if (outcome != FileOutcome::Missing)
    backend::noteFileError(error);
  return outcome;
}

// A write finds no folder where a read finds no file: that is no transient state.
FileOutcome writeOutcomeOfError(DWORD error) {
  backend::noteFileError(error);
  const FileOutcome outcome = classifyError(error);
  return outcome == FileOutcome::Missing ? FileOutcome::Refused : outcome;
}

// True when the open file is an ordinary disk file, not a console, pipe or device.
bool isDiskFile(HANDLE file) {
  return ::GetFileType(file) == FILE_TYPE_DISK;
}

// The file that a write to `path` reaches: `path` itself, or the final target
// when it is a symbolic link; its attributes in `attributes`
// (INVALID_FILE_ATTRIBUTES when nothing is there).
FileOutcome writeTarget(const std::string& path, std::string& target, DWORD& attributes) {
  target = path;
  attributes = ::GetFileAttributesW(systemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? FileOutcome::Done : writeOutcomeOfError(error);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return FileOutcome::Refused;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return FileOutcome::Done;
  // The entry's reparse tag, from its folder's listing: nothing is opened, so a
  // cloud placeholder is not fetched.
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(systemPath(path).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return writeOutcomeOfError(::GetLastError());
  ::FindClose(find);
  // Only a link is resolved; any other reparse point is an ordinary file, written
  // in place whether or not the system can give its final path.
  if (isLink(data.dwFileAttributes, data.dwReserved0)) {
    OwnedFile link(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (!link.isOpen())
      return writeOutcomeOfError(::GetLastError());
    target = finalPath(link.get(), FILE_NAME_NORMALIZED);
    if (target.empty())
      return writeOutcomeOfError(::GetLastError());
    attributes = ::GetFileAttributesW(systemPath(target).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
      return writeOutcomeOfError(::GetLastError());
  }
  return FileOutcome::Done;
}

// A new, unique temporary beside `target`, created with CREATE_NEW (which
// never opens what is already there, a link included); INVALID_HANDLE_VALUE
// with the last error set on failure.
HANDLE createTemporary(const std::string& target, const std::string& tag, std::string& temporary) {
  const std::size_t name = finalNameOffset(target, true);
  const backend::TemporaryNames names(target.substr(name), tag);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = target.substr(0, name) + names.next();
    HANDLE file = ::CreateFileW(systemPath(temporary).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
      return file;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
      return INVALID_HANDLE_VALUE;
  }
  ::SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// ReplaceFileW of `target` by `temporary`, or the failure that the test seam
// forces in its place; FALSE with the last error set on failure.
BOOL replaceOld(const std::string& target, const std::string& temporary) {
  const DWORD forced = backend::forcedReplacementFailure();
  if (forced == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
    ::DeleteFileW(systemPath(target).c_str());
  if (forced != 0) {
    ::SetLastError(forced);
    return FALSE;
  }
  // Merge and security errors ignored: the new content matters more than the
  // old file's streams and access list.
  return ::ReplaceFileW(systemPath(target).c_str(), systemPath(temporary).c_str(), nullptr,
                        REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                        nullptr);
}

// Where a replacement keeps the new content of `target` that could not take
// its name (see recoverKeptReplacement).
std::string keptCopyPath(const std::string& target, const std::string& tag) {
  const std::size_t name = finalNameOffset(target, true);
  return target.substr(0, name) + backend::TemporaryNames(target.substr(name), tag).kept();
}

// Renames the temporary to the kept copy's name, replacing an older copy;
// false when even that fails (the temporary then stays as it is).
bool keepCopy(const std::string& temporary, const std::string& target, const std::string& tag) {
  return ::MoveFileExW(systemPath(temporary).c_str(), systemPath(keptCopyPath(target, tag)).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

// Renames the temporary to the target where no file is there; a few tries,
// for the short moments a scanner holds the new file after ReplaceFileW.
bool moveIntoPlace(const std::string& temporary, const std::string& target) {
  if (backend::forcedReplacementFailure() == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
    return false;
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExW(systemPath(temporary).c_str(), systemPath(target).c_str(),
                      MOVEFILE_WRITE_THROUGH))
      return true;
    if (attempt == 4)
      return false;
    backend::sleepForReal(100);
  }
}

}  // namespace

bool backend::exists(const std::string& path) {
  // Only a name that reaches no file is missing: a file that cannot be queried
  // now (held, on a share that reconnects) is there.
  return ::GetFileAttributesW(systemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES ||
         classifyError(::GetLastError()) != FileOutcome::Missing;
}

PathKind backend::pathKind(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return PathKind::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Other : PathKind::RegularFile;
}

FileOutcome backend::readRegular(const std::string& path, std::int64_t maxBytes, bool startOnly,
                                 std::string& content) {
  const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return FileOutcome::Refused;
  OwnedFile file(openForReading(path));
  if (!file.isOpen())
    return outcomeOfError(::GetLastError());
  LARGE_INTEGER size;
  if (!isDiskFile(file.get()) || !::GetFileSizeEx(file.get(), &size))
    return FileOutcome::Refused;
  return backend::readBounded(
      size.QuadPart, maxBytes, startOnly, content,
      [&](char* buffer, std::size_t length, FileOutcome& failure) {
        DWORD got = 0;
        if (::ReadFile(file.get(), buffer, static_cast<DWORD>(length), &got, nullptr))
          return static_cast<std::int64_t>(got);
        failure = outcomeOfError(::GetLastError());
        return std::int64_t{-1};
      });
}

FileOutcome backend::replaceRegularFile(const std::string& path, const std::string& content,
                                        const std::string& temporaryTag) {
  std::string target;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  FileOutcome outcome = writeTarget(path, target, attributes);
  if (outcome != FileOutcome::Done)
    return outcome;
  const bool hasOld = attributes != INVALID_FILE_ATTRIBUTES;
  BY_HANDLE_FILE_INFORMATION old{};
  if (hasOld) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return FileOutcome::Refused;
    // A file its owner made read-only stays as it is: refused as a write would be.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
      return writeOutcomeOfError(ERROR_ACCESS_DENIED);
    // A device name (NUL, COM1) or a pipe is no file to replace.
    OwnedFile probe(::CreateFileW(systemPath(target).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!probe.isOpen())
      return writeOutcomeOfError(::GetLastError());
    if (!isDiskFile(probe.get()) || !::GetFileInformationByHandle(probe.get(), &old))
      return FileOutcome::Refused;
  }

  std::string temporary;
  HANDLE file = createTemporary(target, temporaryTag, temporary);
  if (file == INVALID_HANDLE_VALUE)
    return writeOutcomeOfError(::GetLastError());
  bool written = writeAll(file, content.data(), content.size()) && ::FlushFileBuffers(file);
  DWORD error = written ? ERROR_SUCCESS : ::GetLastError();
  if (!::CloseHandle(file) && written) {
    written = false;
    error = ::GetLastError();
  }
  if (written)
    backend::beforeReplaceForTesting(target);
  // The replace takes the very file that was checked: one swapped in meanwhile
  // (a link turned elsewhere, another file put in its place) is someone else's for now.
  BY_HANDLE_FILE_INFORMATION now;
  if (written && hasOld &&
      (!linkTarget(target, now) || now.dwVolumeSerialNumber != old.dwVolumeSerialNumber ||
       now.nFileIndexHigh != old.nFileIndexHigh || now.nFileIndexLow != old.nFileIndexLow)) {
    written = false;
    error = ERROR_SHARING_VIOLATION;
  }
  if (written) {
    if (!hasOld) {
      // No old file to keep anything of: a plain rename, which fails rather
      // than replace a file someone created meanwhile.
      if (::MoveFileExW(systemPath(temporary).c_str(), systemPath(target).c_str(),
                        MOVEFILE_WRITE_THROUGH))
        return FileOutcome::Done;
      error = ::GetLastError();
      if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        error = ERROR_SHARING_VIOLATION;
    } else if (replaceOld(target, temporary)) {
      return FileOutcome::Done;
    } else {
      error = ::GetLastError();
      if (error == ERROR_ACCESS_DENIED) {
        // ReplaceFileW needs rights on the old file (its deletion, its security)
        // that a share's "Change" permission may not grant; a replacing rename
        // needs fewer. The old file's creation time and security go with it.
        if (::MoveFileExW(systemPath(temporary).c_str(), systemPath(target).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
          return FileOutcome::Done;
        error = ::GetLastError();
      } else if ((error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                  error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) &&
                 ::GetFileAttributesW(systemPath(target).c_str()) == INVALID_FILE_ATTRIBUTES) {
        // 1176: the old file is gone and the new one still has the temporary's
        // name; 1177 may leave the same. It is the only copy of the rows now.
        // Finish the move, so the path keeps a log; where the name stays taken
        // (someone still holds the removed file), keep the copy under the one
        // name no sweep takes, for the next sequence to put back first.
        if (moveIntoPlace(temporary, target) || keepCopy(temporary, target, temporaryTag))
          return FileOutcome::Done;
        // Not even that: the temporary stays as the only copy, the rows pending.
        writeOutcomeOfError(error);
        return FileOutcome::Busy;
      }
    }
  }
  ::DeleteFileW(systemPath(temporary).c_str());
  return writeOutcomeOfError(error);
}

FileOutcome backend::recoverKeptReplacement(const std::string& path,
                                            const std::string& temporaryTag) {
  std::string target;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  // A path that cannot be told now is left to the read, which fails on it too.
  if (writeTarget(path, target, attributes) != FileOutcome::Done)
    return FileOutcome::Done;
  const std::string kept = keptCopyPath(target, temporaryTag);
  const DWORD keptAttributes = ::GetFileAttributesW(systemPath(kept).c_str());
  if (keptAttributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    // None is the rule; one that cannot be told now keeps the log as it is.
    if (classifyError(error) == FileOutcome::Missing)
      return FileOutcome::Done;
    backend::noteFileError(error);
    return FileOutcome::Busy;
  }
  // A file at the path again came after the copy: it stays, and so does the
  // copy, for a person to look at. Only a regular file is put back.
  if (attributes != INVALID_FILE_ATTRIBUTES ||
      (keptAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
    return FileOutcome::Done;
  if (::MoveFileExW(systemPath(kept).c_str(), systemPath(target).c_str(), MOVEFILE_WRITE_THROUGH))
    return FileOutcome::Done;
  // The name may still be held (the removed file open somewhere): try again later.
  writeOutcomeOfError(::GetLastError());
  return FileOutcome::Busy;
}

void backend::removeStaleTemporaries(const std::string& path, const std::string& temporaryTag) {
  std::string target;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (writeTarget(path, target, attributes) != FileOutcome::Done)
    return;
  const std::size_t name = finalNameOffset(target, true);
  const std::string directory = target.substr(0, name);
  const backend::TemporaryNames names(target.substr(name), temporaryTag);
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(
      systemPath(directory + names.prefix() + "*" + backend::TemporaryNames::kSuffix).c_str(),
      &data);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    // The pattern also matches short 8.3 names: check the long name itself.
    const std::string entryName = utf8FromWide(data.cFileName, std::wcslen(data.cFileName));
    if (!names.writerGone(entryName))
      continue;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
      continue;
    ::DeleteFileW(systemPath(directory + entryName).c_str());
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

FileOutcome backend::resolveWriteTarget(const std::string& path, std::string& target) {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  return writeTarget(path, target, attributes);
}

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

// True when the open `file` is a plain file on disk: no directory, link or
// other reparse point, device or pipe.
bool isPlainDiskFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return isDiskFile(file) && ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

std::uintptr_t backend::openLockFile(const std::string& path, const std::string& /*like*/,
                                     FileOutcome& outcome, bool& notAFile) {
  outcome = FileOutcome::Refused;
  const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
  notAFile = attributes != INVALID_FILE_ATTRIBUTES &&
             (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
  if (notAFile)
    return 0;
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // A link is opened as itself, never followed: what the name holds is checked
  // before the handle that deletes it on close is made.
  OwnedFile named(::CreateFileW(systemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                                nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!named.isOpen()) {
    // A lock file pending deletion refuses every open with ERROR_ACCESS_DENIED
    // until its last handle closes: Busy, as a held one. A denial that lasts
    // is said once the wait is over.
    const DWORD error = ::GetLastError();
    outcome = error == ERROR_ACCESS_DENIED ? FileOutcome::Busy : writeOutcomeOfError(error);
    return 0;
  }
  if (!isPlainDiskFile(named.get())) {
    notAFile = true;
    return 0;
  }
  // The same file again, now to go with its last handle; full sharing, so that
  // every other watchdog can open it meanwhile and wait for its lock.
  HANDLE file = ::ReOpenFile(named.get(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll,
                             FILE_FLAG_DELETE_ON_CLOSE);
  if (file == INVALID_HANDLE_VALUE) {
    // No right to delete it: the lock works all the same, and the file stays.
    file = ::ReOpenFile(named.get(), GENERIC_READ | GENERIC_WRITE, kShareAll, 0);
    if (file == INVALID_HANDLE_VALUE) {
      outcome = writeOutcomeOfError(::GetLastError());
      return 0;
    }
  }
  outcome = FileOutcome::Done;
  return reinterpret_cast<std::uintptr_t>(file);
}

FileOutcome backend::tryLockOnce(std::uintptr_t handle) {
  OVERLAPPED at{};
  if (::LockFileEx(reinterpret_cast<HANDLE>(handle),
                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
    return FileOutcome::Done;
  const DWORD error = ::GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? FileOutcome::Busy
                                                                    : FileOutcome::Refused;
}

bool backend::lockIsAtPath(std::uintptr_t handle, const std::string& path) {
  // A file pending deletion cannot be opened by its name: not at the path any more.
  OwnedFile named(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION open;
  BY_HANDLE_FILE_INFORMATION atPath;
  return named.isOpen() && ::GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &open) &&
         ::GetFileInformationByHandle(named.get(), &atPath) &&
         open.dwVolumeSerialNumber == atPath.dwVolumeSerialNumber &&
         open.nFileIndexHigh == atPath.nFileIndexHigh && open.nFileIndexLow == atPath.nFileIndexLow;
}

void backend::releaseFileLock(std::uintptr_t handle, const std::string& /*path*/) {
  if (handle == 0)
    return;
  HANDLE file = reinterpret_cast<HANDLE>(handle);
  OVERLAPPED at{};
  // Fails harmlessly for a handle that was opened but never locked.
  ::UnlockFileEx(file, 0, 1, 0, &at);
  // The last handle of a delete-on-close file takes the file with it.
  ::CloseHandle(file);
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

bool writeStandardOutputLine(const std::string& line) {
  // The C runtime keeps this handle in step with its descriptor 1, also when
  // a console program redirects that descriptor itself.
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE)
    return false;
  const std::string bytes = line + "\r\n";
  DWORD mode = 0;
  const bool console = ::GetConsoleMode(output, &mode) != 0;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(
        bytes.size() - done, console ? std::numeric_limits<DWORD>::max() : std::size_t{1} << 20));
    DWORD written = 0;
    if (!::WriteFile(output, bytes.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    // Some consoles count UTF-8 output in characters rather than bytes: a
    // console has taken the whole line when the call succeeds.
    if (console)
      break;
    done += written;
  }
  return true;
}

bool runningUnderWineForTesting() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---------------------------------------------------------------- processes

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
