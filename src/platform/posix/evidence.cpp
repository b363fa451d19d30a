// The evidence services on Linux: the process tree from /proc, the stacks of
// its threads through elfutils' libdw, and folders and files that never follow
// a link.
#include <cxxabi.h>
#include <dirent.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "platform/evidence.h"
#include "platform/evidence_backend.h"
#include "platform/paths.h"
#include "platform/posix/support.h"
#include "platform/process.h"
#include "platform/program_guard.h"

namespace tavrelon::platform {

namespace {

// A small /proc file's content ("" when it cannot be read).
std::string procText(const std::string& path) {
  std::string text;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return text;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

// The fields of a /proc stat file after the command name (which may hold
// blanks and parentheses), the state first; empty when unreadable.
std::vector<std::string> statFields(const std::string& path) {
  std::vector<std::string> fields;
  const std::string text = procText(path);
  const std::string::size_type end = text.rfind(')');
  if (end == std::string::npos)
    return fields;
  std::string::size_type at = end + 1;
  while (at < text.size()) {
    const std::string::size_type start = text.find_first_not_of(" \n", at);
    if (start == std::string::npos)
      break;
    at = text.find_first_of(" \n", start);
    fields.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
  }
  return fields;
}

// Field `number` of proc(5)'s stat numbering (state is 3) as a number; 0 when absent.
long long statNumber(const std::vector<std::string>& fields, std::size_t number) {
  return number >= 3 && number - 3 < fields.size() ? std::atoll(fields[number - 3].c_str()) : 0;
}

std::string withoutNewline(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
    text.pop_back();
  return text;
}

const char* stateName(char state) {
  switch (state) {
    case 'R':
      return "running";
    case 'S':
      return "sleeping";
    case 'D':
      return "disk sleep";
    case 'T':
      return "stopped";
    case 't':
      return "tracing stop";
    case 'Z':
      return "zombie";
    case 'X':
      return "dead";
    case 'I':
      return "idle";
    default:
      return "unknown";
  }
}

// The executable's file name of `pid`; its command name when the link is unreadable.
std::string imageOf(std::uint32_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::string target(4096, '\0');
  const ssize_t length = ::readlink((base + "/exe").c_str(), &target[0], target.size());
  if (length <= 0)
    return withoutNewline(procText(base + "/comm"));
  target.resize(static_cast<std::size_t>(length));
  return finalNameOf(target);
}

struct ProcInfo {
  std::uint32_t pid = 0;
  std::uint32_t parent = 0;
  std::uint32_t group = 0;
  long long startTicks = 0;
};

// The processes that run now (neither zombies nor dead), as the listing gives them.
std::vector<ProcInfo> runningProcesses() {
  std::vector<ProcInfo> found;
  for (const ProcessEntry& entry : allProcesses()) {
    if (entry.state == 'Z' || entry.state == 'X')
      continue;
    found.push_back({static_cast<std::uint32_t>(entry.pid),
                     static_cast<std::uint32_t>(entry.parent),
                     static_cast<std::uint32_t>(entry.group), std::max(entry.startTicks, 0LL)});
  }
  return found;
}

// ---- stacks through libdw

struct FrameWalk {
  Dwfl* dwfl = nullptr;
  std::string* out = nullptr;
  const std::function<bool()>* expired = nullptr;
  int frames = 0;
};

std::string demangled(const char* symbol) {
  int status = 0;
  char* plain = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  std::string name = status == 0 && plain != nullptr ? plain : symbol;
  std::free(plain);
  return name;
}

int onFrame(Dwfl_Frame* state, void* arg) {
  FrameWalk& walk = *static_cast<FrameWalk*>(arg);
  Dwarf_Addr pc = 0;
  bool activation = false;
  if (!dwfl_frame_pc(state, &pc, &activation))
    return DWARF_CB_ABORT;
  // A return address points past the call: look up the call itself.
  const Dwarf_Addr lookup = activation ? pc : pc - 1;
  Dwfl_Module* module = dwfl_addrmodule(walk.dwfl, lookup);
  const char* symbol = module != nullptr ? dwfl_module_addrname(module, lookup) : nullptr;
  const char* moduleName = module != nullptr ? dwfl_module_info(module, nullptr, nullptr, nullptr,
                                                                nullptr, nullptr, nullptr, nullptr)
                                             : nullptr;
  char line[64];
  std::snprintf(line, sizeof line, "    #%-3d 0x%016" PRIx64 " ", walk.frames,
                static_cast<std::uint64_t>(pc));
  *walk.out += line;
  *walk.out += symbol != nullptr ? demangled(symbol) : std::string("??");
  if (moduleName != nullptr)
    *walk.out += std::string(" [") + finalNameOf(moduleName) + "]";
  *walk.out += "\n";
  if (++walk.frames >= 256 || (*walk.expired)())
    return DWARF_CB_ABORT;
  return DWARF_CB_OK;
}

struct ThreadWalk {
  Dwfl* dwfl = nullptr;
  std::string* out = nullptr;
  const std::function<bool()>* expired = nullptr;
  std::map<pid_t, std::string> headers;  // read before any thread is stopped
};

int onThread(Dwfl_Thread* thread, void* arg) {
  ThreadWalk& walk = *static_cast<ThreadWalk*>(arg);
  const pid_t tid = dwfl_thread_tid(thread);
  auto header = walk.headers.find(tid);
  *walk.out +=
      header != walk.headers.end() ? header->second : "  thread " + std::to_string(tid) + "\n";
  FrameWalk frames;
  frames.dwfl = walk.dwfl;
  frames.out = walk.out;
  frames.expired = walk.expired;
  if (dwfl_thread_getframes(thread, onFrame, &frames) != 0 && frames.frames == 0)
    *walk.out += std::string("    (no stack: ") + dwfl_errmsg(-1) + ")\n";
  return (*walk.expired)() ? DWARF_CB_ABORT : DWARF_CB_OK;
}

// The header line of every thread of `pid`: name, state and wait channel.
std::map<pid_t, std::string> threadHeaders(std::uint32_t pid) {
  std::map<pid_t, std::string> headers;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr)
    return headers;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
      continue;
    const std::string base = tasks + "/" + entry->d_name;
    const std::vector<std::string> fields = statFields(base + "/stat");
    const char state = fields.empty() || fields[0].empty() ? '?' : fields[0][0];
    std::string wchan = withoutNewline(procText(base + "/wchan"));
    if (wchan.empty() || wchan == "0")
      wchan = "-";
    headers[static_cast<pid_t>(std::atol(entry->d_name))] =
        std::string("  thread ") + entry->d_name + " (" + withoutNewline(procText(base + "/comm")) +
        ")  state: " + state + " (" + stateName(state) + ")  wchan: " + wchan + "\n";
  }
  ::closedir(dir);
  return headers;
}

// The stacks of every thread of `process`, appended to `out`; a failure is
// also added to `problems`.
void stacksOf(const TreeProcess& process, const std::function<bool()>& expired, std::string& out,
              std::vector<std::string>& problems) {
  out += "process " + std::to_string(process.pid) + " (" + process.image + ")  parent " +
         std::to_string(process.parentPid) + "\n";
  ThreadWalk walk;
  walk.out = &out;
  walk.expired = &expired;
  walk.headers = threadHeaders(process.pid);
  static char* debuginfoPath = nullptr;
  static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo,
                                           nullptr, &debuginfoPath};
  Dwfl* dwfl = dwfl_begin(&callbacks);
  std::string failure;
  const pid_t pid = static_cast<pid_t>(process.pid);
  if (dwfl == nullptr) {
    failure = dwfl_errmsg(-1);
  } else if (dwfl_linux_proc_report(dwfl, pid) != 0 || dwfl_report_end(dwfl, nullptr, nullptr)) {
    failure = std::string("its modules could not be read: ") + dwfl_errmsg(-1);
  } else if (int rc = dwfl_linux_proc_attach(dwfl, pid, false); rc != 0) {
    failure = "it could not be attached to (ptrace refused?): " +
              std::string(rc > 0 ? std::strerror(rc) : dwfl_errmsg(-1));
  } else {
    walk.dwfl = dwfl;
    if (dwfl_getthreads(dwfl, onThread, &walk) == -1 && !expired())
      failure = std::string("its threads could not be walked: ") + dwfl_errmsg(-1);
  }
  if (dwfl != nullptr)
    dwfl_end(dwfl);  // detaches from every thread it stopped
  if (!failure.empty()) {
    // The states and wait channels are told even without stacks.
    for (const auto& [tid, header] : walk.headers) {
      if (out.find(header) == std::string::npos)
        out += header;
    }
    out += "  (no stacks: " + failure + ")\n";
    problems.push_back("stacks of process " + std::to_string(process.pid) + ": " + failure);
  }
  out += "\n";
}

bool writeAllTo(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0)
      return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Removes every entry of the open directory `fd`, then closes it; links are
// removed as links. False when something remained.
bool emptyDirectory(int fd) {
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return false;
  }
  bool all = true;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  for (const std::string& name : names) {
    struct stat info;
    if (::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      all = false;
      continue;
    }
    if (S_ISDIR(info.st_mode)) {
      const int inner =
          ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      all = inner >= 0 && emptyDirectory(inner) && all;
      all = ::unlinkat(::dirfd(dir), name.c_str(), AT_REMOVEDIR) == 0 && all;
    } else {
      all = ::unlinkat(::dirfd(dir), name.c_str(), 0) == 0 && all;
    }
  }
  ::closedir(dir);
  return all;
}

}  // namespace

std::vector<TreeProcess> processTree(const ProcessRecord& record,
                                     const std::vector<std::uint32_t>& leaveOut) {
  std::vector<TreeProcess> tree;
  const std::uint32_t program = record.dwProcessId;
  if (program == 0)
    return tree;
  const std::vector<ProcInfo> all = runningProcesses();
  long long programStart = -1;
  for (const ProcInfo& info : all) {
    if (info.pid == program)
      programStart = info.startTicks;
  }
  if (programStart < 0)
    return tree;
  const std::uint32_t self = static_cast<std::uint32_t>(::getpid());
  // The program's group, and the orphans handed to us since it started that are
  // not ours otherwise; then the descendants of all of them.
  std::set<std::uint32_t> taken;
  for (const ProcInfo& info : all) {
    const bool excluded = std::find(leaveOut.begin(), leaveOut.end(), info.pid) != leaveOut.end() ||
                          info.pid == backend::guardianProcessId();
    const bool orphan = info.parent == self && info.startTicks >= programStart;
    if (!excluded && (info.group == program || info.pid == program || orphan))
      taken.insert(info.pid);
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (const ProcInfo& info : all) {
      if (taken.count(info.parent) != 0 && info.parent != self && taken.insert(info.pid).second)
        grew = true;
    }
  }
  std::vector<ProcInfo> chosen;
  for (const ProcInfo& info : all) {
    if (taken.count(info.pid) != 0)
      chosen.push_back(info);
  }
  // Children first: a child starts after its parent.
  std::sort(chosen.begin(), chosen.end(), [](const ProcInfo& a, const ProcInfo& b) {
    return a.startTicks != b.startTicks ? a.startTicks > b.startTicks : a.pid > b.pid;
  });
  for (const ProcInfo& info : chosen) {
    TreeProcess process;
    process.pid = info.pid;
    process.parentPid = info.parent;
    process.image = imageOf(info.pid);
    tree.push_back(process);
  }
  return tree;
}

bool backend::runningResourceUse(const std::vector<TreeProcess>& tree, ResourceUse& use) {
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  if (tree.empty() || ticks <= 0)
    return false;
  std::int64_t peak = 0;
  for (const TreeProcess& process : tree) {
    const std::string base = "/proc/" + std::to_string(process.pid);
    const std::vector<std::string> fields = statFields(base + "/stat");
    if (fields.empty())
      continue;
    use.known = true;
    // Its own time and that of the children it has waited for.
    use.userSeconds += static_cast<double>(statNumber(fields, 14) + statNumber(fields, 16)) / ticks;
    use.kernelSeconds +=
        static_cast<double>(statNumber(fields, 15) + statNumber(fields, 17)) / ticks;
    const std::string status = procText(base + "/status");
    const std::string::size_type at = status.find("VmHWM:");
    if (at != std::string::npos)
      peak += std::atoll(status.c_str() + at + 6) * 1024;
  }
  use.peakBytes = use.known ? peak : -1;
  use.note = "the program's processes while running (peak: their peak resident sets summed)";
  return true;
}

std::string backend::endDetailCoverage(const ProcessRecord&) {
  return "the program and the children it waited for (peak: the largest resident set)";
}

std::string describeEnd(const ProcessRecord& record, std::uint32_t exitCode) {
  backend::EndDetail detail;
  if (backend::endDetail(record.hProcess, detail) && detail.known && detail.signalled) {
    const char* name = ::sigabbrev_np(detail.signal);
    std::string text = "signal " + std::to_string(detail.signal);
    if (name != nullptr)
      text += std::string(" (SIG") + name + ")";
    return text + (detail.coreDumped ? ", core dumped" : ", no core dumped");
  }
  return "exit code " + std::to_string(exitCode);
}

bool runConsoleReaderCall(int, char**, int&) {
  // A terminal's screen is not readable by another process.
  return false;
}

std::vector<std::string> crashDumpCandidates(const std::string& image, std::uint32_t pid,
                                             const std::string& directory) {
  const std::string id = std::to_string(pid);
  // An empty directory is our own current one, which the program ran in.
  auto in = [&directory](const std::string& name) {
    return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
  };
  std::vector<std::string> candidates{in("core"), in("core." + id)};
  // A plain core pattern (no pipe, no folder) names a file in the program's
  // directory; the common placeholders are filled in.
  const std::string pattern = withoutNewline(procText("/proc/sys/kernel/core_pattern"));
  if (!pattern.empty() && pattern[0] != '|' && pattern.find('/') == std::string::npos) {
    std::string name;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      if (pattern[i] != '%' || i + 1 == pattern.size()) {
        name += pattern[i];
        continue;
      }
      const char code = pattern[++i];
      if (code == 'p' || code == 'P')
        name += id;
      else if (code == 'e')
        name += image.substr(0, 15);
      else if (code == '%')
        name += '%';
      else
        return candidates;  // a placeholder we cannot fill: no guess
    }
    if (std::find(candidates.begin(), candidates.end(), in(name)) == candidates.end())
      candidates.push_back(in(name));
  }
  return candidates;
}

bool createPrivateDirectory(const std::string& path, std::uint32_t& error) {
  // mkdir never follows a link at the final name: an existing entry fails.
  if (::mkdir(path.c_str(), 0700) != 0) {
    error = static_cast<std::uint32_t>(errno);
    return false;
  }
  return true;
}

bool createPrivateDirectories(const std::string& path, std::uint32_t& error) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    error = S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    return error == 0;
  }
  const std::string parent = directoryOf(path);
  if (!parent.empty() && parent != path && !createPrivateDirectories(parent, error))
    return false;
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = static_cast<std::uint32_t>(errno);
    return false;
  }
  error = ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  return error == 0;
}

bool writeNewFile(const std::string& path, const std::string& content, std::uint32_t& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = static_cast<std::uint32_t>(errno);
    return false;
  }
  const bool written = writeAllTo(fd, content);
  error = written ? 0 : static_cast<std::uint32_t>(errno);
  return ::close(fd) == 0 && written;
}

bool removeTree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return false;
  const bool emptied = emptyDirectory(fd);
  return ::rmdir(path.c_str()) == 0 && emptied;
}

std::string errorText(std::uint32_t error) {
  return std::strerror(static_cast<int>(error));
}

void backend::captureInto(const std::vector<TreeProcess>& tree, const std::string& folder, bool,
                          const std::function<bool()>& expired, CaptureOutcome& outcome) {
  std::string text;
  for (const TreeProcess& process : tree) {
    if (expired()) {
      outcome.problems.push_back("stacks of process " + std::to_string(process.pid) +
                                 ": not taken in time");
      continue;
    }
    stacksOf(process, expired, text, outcome.problems);
  }
  const std::string path = joinPath(folder, "stacks.txt");
  std::uint32_t error = 0;
  if (writeNewFile(path, text, error))
    outcome.files.push_back(path);
  else
    outcome.problems.push_back("stacks.txt could not be written: " + errorText(error));
}

}  // namespace tavrelon::platform
