// The evidence services on Windows: the job's processes, a minidump of each
// through dbghelp (from a process snapshot where the system takes one), what Windows Error
// Reporting's LocalDumps would have kept, and folders and files that never follow a link.
#include <windows.h>
// After windows.h, which they need.
#include <dbghelp.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>

#include "platform/evidence.h"
#include "platform/evidence_backend.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrelon::platform {

namespace {

std::wstring wideOf(const std::string& text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], length);
  return wide;
}

std::string utf8Of(const wchar_t* text) {
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1)
    return std::string();
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], bytes, nullptr, nullptr);
  utf8.pop_back();  // the terminating NUL
  return utf8;
}

// `path` absolute with the \\?\ prefix, so that no length limit applies.
std::wstring longPath(const std::string& path) {
  std::wstring wide = wideOf(path);
  if (wide.empty() || wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0)
    return wide;
  const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0)
    return wide;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed)
    return wide;
  full.resize(length);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\')
    return L"\\\\?\\" + full;
  if (full.compare(0, 2, L"\\\\") == 0)
    return L"\\\\?\\UNC\\" + full.substr(2);
  return full;
}

struct SnapshotEntry {
  std::uint32_t parent = 0;
  std::string image;
};

// Every process of the system by id, with its parent and image name.
std::map<std::uint32_t, SnapshotEntry> processSnapshot() {
  std::map<std::uint32_t, SnapshotEntry> processes;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return processes;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    processes[entry.th32ProcessID] = {entry.th32ParentProcessID, utf8Of(entry.szExeFile)};
  }
  ::CloseHandle(snapshot);
  return processes;
}

// A folder's security: full control for its owner, the system and the
// administrators, nothing for anyone else, inherited by what it holds.
class PrivateSecurity {
 public:
  PrivateSecurity() {
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor_,
            nullptr)) {
      attributes_.nLength = sizeof attributes_;
      attributes_.lpSecurityDescriptor = descriptor_;
      attributes_.bInheritHandle = FALSE;
    }
  }
  ~PrivateSecurity() {
    if (descriptor_ != nullptr)
      ::LocalFree(descriptor_);
  }
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;
  // Null (the folder inherits its parent's) where the descriptor could not be made.
  SECURITY_ATTRIBUTES* attributes() { return descriptor_ != nullptr ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

bool isDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Empties the directory `path` (prefixed), links removed as links; false when
// something remained.
bool emptyDirectory(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE)
    return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  bool all = true;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..")
      continue;
    const std::wstring inner = path + L"\\" + name;
    const DWORD attributes = found.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_READONLY)
      ::SetFileAttributesW(inner.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A junction or directory link goes as the link; its target stays.
      if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        all = emptyDirectory(inner) && all;
      all = ::RemoveDirectoryW(inner.c_str()) && all;
    } else {
      all = ::DeleteFileW(inner.c_str()) && all;
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return all;
}

// The process snapshot functions of kernel32 (Windows 8.1 and later), which
// the headers at hand do not declare: loaded by name, both null where missing.
using CaptureSnapshotFunction = DWORD(WINAPI*)(HANDLE process, DWORD flags, DWORD contextFlags,
                                               HANDLE* snapshot);
using FreeSnapshotFunction = DWORD(WINAPI*)(HANDLE process, HANDLE snapshot);

struct SnapshotFunctions {
  CaptureSnapshotFunction capture = nullptr;
  FreeSnapshotFunction free = nullptr;
};

const SnapshotFunctions& snapshotFunctions() {
  static const SnapshotFunctions functions = [] {
    SnapshotFunctions found;
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
      return found;
    // Through the generic function type, which any function pointer casts to.
    found.capture = reinterpret_cast<CaptureSnapshotFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "PssCaptureSnapshot")));
    found.free = reinterpret_cast<FreeSnapshotFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "PssFreeSnapshot")));
    if (found.capture == nullptr || found.free == nullptr)
      found = SnapshotFunctions();
    return found;
  }();
  return functions;
}

// What a minidump is written from: a snapshot (a clone of the process's memory
// and its threads' contexts, after which the process runs on) or the process.
// The capture flags are those the documentation gives for dumping a snapshot.
class DumpSource {
 public:
  DumpSource(HANDLE process, bool offered) : process_(process) {
    constexpr DWORD kVaClone = 0x00000001, kHandles = 0x00000004, kHandleNames = 0x00000008,
                    kHandleBasics = 0x00000010, kHandleTypes = 0x00000020,
                    kHandleTrace = 0x00000040, kThreads = 0x00000080, kContexts = 0x00000100,
                    kContextsExtended = 0x00000200, kBreakawayOptional = 0x04000000,
                    kBreakaway = 0x08000000, kVmAllocations = 0x20000000,
                    kReleaseSection = 0x80000000;
    const SnapshotFunctions& functions = snapshotFunctions();
    if (functions.capture == nullptr) {
      why_ = "this system offers none";
      return;
    }
    if (!offered) {
      why_ = "the process could not be opened for one";
      return;
    }
    const DWORD flags = kVaClone | kHandles | kHandleNames | kHandleBasics | kHandleTypes |
                        kHandleTrace | kThreads | kContexts | kContextsExtended | kBreakaway |
                        kBreakawayOptional | kVmAllocations | kReleaseSection;
    HANDLE snapshot = nullptr;
    const DWORD error = functions.capture(process, flags, CONTEXT_ALL, &snapshot);
    if (error == ERROR_SUCCESS && snapshot != nullptr)
      snapshot_ = snapshot;
    else
      why_ = errorText(error);
  }
  ~DumpSource() {
    if (snapshot_ != nullptr)
      snapshotFunctions().free(::GetCurrentProcess(), snapshot_);
  }
  DumpSource(const DumpSource&) = delete;
  DumpSource& operator=(const DumpSource&) = delete;

  // Writes the minidump of `pid` of `type` into `file`; false with the last error.
  bool write(DWORD pid, HANDLE file, MINIDUMP_TYPE type) const {
    if (snapshot_ == nullptr)
      return ::MiniDumpWriteDump(process_, pid, file, type, nullptr, nullptr, nullptr);
    // dbghelp asks whether the handle is a snapshot; S_FALSE says it is.
    MINIDUMP_CALLBACK_INFORMATION callback{};
    callback.CallbackRoutine = [](PVOID, const PMINIDUMP_CALLBACK_INPUT input,
                                  PMINIDUMP_CALLBACK_OUTPUT output) -> BOOL {
      if (input->CallbackType == IsProcessSnapshotCallback)
        output->Status = S_FALSE;
      return TRUE;
    };
    return ::MiniDumpWriteDump(snapshot_, pid, file, type, nullptr, nullptr, &callback);
  }
  // What the summary says of the dump's source.
  std::string said() const {
    return snapshot_ != nullptr ? "a process snapshot"
                                : "the running process (no process snapshot: " + why_ + ")";
  }

 private:
  HANDLE process_;
  HANDLE snapshot_ = nullptr;
  std::string why_;
};

// dbghelp's functions are single-threaded: one capture at a time.
std::mutex& dbghelpMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::vector<TreeProcess> processTree(const ProcessRecord& record,
                                     const std::vector<std::uint32_t>& leaveOut) {
  std::vector<TreeProcess> tree;
  std::vector<std::uint32_t> ids;
  if (!backend::jobProcessIds(record.hProcess, ids) && record.dwProcessId != 0)
    ids.push_back(record.dwProcessId);
  const std::map<std::uint32_t, SnapshotEntry> all = processSnapshot();
  std::vector<std::pair<int, TreeProcess>> ordered;
  for (std::uint32_t pid : ids) {
    auto found = all.find(pid);
    if (found == all.end() || std::find(leaveOut.begin(), leaveOut.end(), pid) != leaveOut.end())
      continue;
    // The console host that the system starts for the program's console joins
    // its job; its dump would show nothing of the program.
    if (_stricmp(found->second.image.c_str(), "conhost.exe") == 0)
      continue;
    // Its depth below the program among the ids: children first.
    int depth = 0;
    for (std::uint32_t up = found->second.parent; depth < 64; ++depth) {
      if (std::find(ids.begin(), ids.end(), up) == ids.end() || up == pid)
        break;
      auto parent = all.find(up);
      up = parent == all.end() ? 0 : parent->second.parent;
    }
    ordered.push_back({depth, {pid, found->second.parent, found->second.image}});
  }
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (auto& [depth, process] : ordered)
    tree.push_back(std::move(process));
  return tree;
}

bool backend::runningResourceUse(const std::vector<TreeProcess>&, ResourceUse&) {
  // The job's account covers running and ended processes alike.
  return false;
}

std::string backend::endDetailCoverage(const ProcessRecord& record) {
  return record.jobErrorCode == 0 ? "the program's job (peak: the job's committed memory)"
                                  : "the program alone (peak: its committed memory)";
}

std::string describeEnd(const ProcessRecord&, std::uint32_t exitCode) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", exitCode);
  const std::string name = statusCodeName(exitCode);
  return "exit code " + std::to_string(exitCode) + " (" + hex + (name.empty() ? "" : ", " + name) +
         ")";
}

std::vector<std::string> crashDumpCandidates(const std::string& image, std::uint32_t pid,
                                             const std::string&) {
  // Windows Error Reporting's LocalDumps: the program's own key, then the
  // general one, then the documented default folder.
  const std::wstring base = L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps";
  std::string folder;
  for (const std::wstring& key : {base + L"\\" + wideOf(image), base}) {
    wchar_t value[MAX_PATH * 2];
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DumpFolder", RRF_RT_REG_SZ, nullptr,
                       value, &size) == ERROR_SUCCESS) {
      folder = utf8Of(value);
      break;
    }
  }
  if (folder.empty()) {
    wchar_t local[MAX_PATH * 2];
    const DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2)
      return {};
    folder = utf8Of(local) + "\\CrashDumps";
  }
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
    folder.pop_back();
  return {joinPath(folder, image + "." + std::to_string(pid) + ".dmp")};
}

bool createPrivateDirectory(const std::string& path, std::uint32_t& error) {
  PrivateSecurity security;
  // Fails on any existing entry, a link included: nothing is taken over.
  if (!::CreateDirectoryW(longPath(path).c_str(), security.attributes())) {
    error = ::GetLastError();
    return false;
  }
  return true;
}

bool createPrivateDirectories(const std::string& path, std::uint32_t& error) {
  const std::wstring wide = longPath(path);
  if (isDirectory(wide))
    return true;
  const std::string parent = directoryOf(path);
  if (!parent.empty() && parent != path && parent.back() != ':' &&
      !createPrivateDirectories(parent, error))
    return false;
  PrivateSecurity security;
  if (!::CreateDirectoryW(wide.c_str(), security.attributes()) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    error = ::GetLastError();
    return false;
  }
  error = isDirectory(wide) ? 0 : ERROR_DIRECTORY;
  return error == 0;
}

bool writeNewFile(const std::string& path, const std::string& content, std::uint32_t& error) {
  HANDLE file = ::CreateFileW(longPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return false;
  }
  std::size_t done = 0;
  bool written = true;
  while (written && done < content.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1 << 20));
    DWORD wrote = 0;
    written = ::WriteFile(file, content.data() + done, chunk, &wrote, nullptr) && wrote > 0;
    done += wrote;
  }
  error = written ? 0 : ::GetLastError();
  return ::CloseHandle(file) && written;
}

bool removeTree(const std::string& path) {
  const std::wstring wide = longPath(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  // A link given as the tree is not followed.
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  const bool emptied = emptyDirectory(wide);
  return ::RemoveDirectoryW(wide.c_str()) && emptied;
}

std::string errorText(std::uint32_t error) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length > 0 && buffer != nullptr ? utf8Of(buffer) : std::string();
  if (buffer != nullptr)
    ::LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : text;
}

void backend::captureInto(const std::vector<TreeProcess>& tree, const std::string& folder,
                          bool fullMemory, const std::function<bool()>& expired,
                          CaptureOutcome& outcome) {
  // The screen first: it is small, and the dumps may use the time up.
  backend::captureConsole(tree, folder, expired, outcome);
  // A capture abandoned at its time limit may still hold dbghelp: this one
  // then says so rather than wait behind it.
  std::unique_lock<std::mutex> lock(dbghelpMutex(), std::try_to_lock);
  if (!lock.owns_lock()) {
    outcome.problems.push_back("no minidump: an earlier capture that was abandoned still runs");
    return;
  }
  // Stacks, the module list and thread times; full memory on request.
  MINIDUMP_TYPE type =
      static_cast<MINIDUMP_TYPE>(MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules);
  DWORD access = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
  if (fullMemory) {
    type = static_cast<MINIDUMP_TYPE>(type | MiniDumpWithFullMemory | MiniDumpWithFullMemoryInfo |
                                      MiniDumpWithHandleData);
    access |= PROCESS_DUP_HANDLE;  // what MiniDumpWithHandleData reads through
  }
  constexpr DWORD kSnapshotAccess =
      PROCESS_CREATE_PROCESS | PROCESS_VM_OPERATION | PROCESS_DUP_HANDLE;
  for (const TreeProcess& process : tree) {
    const std::string name = process.image + "_" + std::to_string(process.pid) + ".dmp";
    if (expired()) {
      outcome.problems.push_back(name + ": not taken in time");
      continue;
    }
    // A snapshot needs the rights to clone the process and copy its handles;
    // without them the dump is taken from the process itself.
    HANDLE target = nullptr;
    if (snapshotFunctions().capture != nullptr)
      target = ::OpenProcess(access | kSnapshotAccess, FALSE, process.pid);
    const bool snapshotAccess = target != nullptr;
    if (target == nullptr)
      target = ::OpenProcess(access, FALSE, process.pid);
    if (target == nullptr) {
      outcome.problems.push_back(
          name + ": the process could not be opened: " + errorText(::GetLastError()));
      continue;
    }
    const std::string path = joinPath(folder, name);
    const std::wstring wide = longPath(path);
    HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      outcome.problems.push_back(name + ": " + errorText(::GetLastError()));
      ::CloseHandle(target);
      continue;
    }
    BOOL written = FALSE;
    DWORD error = 0;
    std::string source;
    {
      const DumpSource from(target, snapshotAccess);
      written = from.write(process.pid, file, type);
      // Its last error is an HRESULT.
      error = written ? 0 : ::GetLastError();
      source = from.said();
    }
    ::CloseHandle(file);
    ::CloseHandle(target);
    if (written) {
      outcome.files.push_back(path);
      outcome.details.push_back({"Dump_Source", name + ": " + source});
    } else {
      ::DeleteFileW(wide.c_str());
      char code[16];
      std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(error));
      outcome.problems.push_back(name + ": the minidump failed (" + code + ")");
    }
  }
}

}  // namespace tavrelon::platform
