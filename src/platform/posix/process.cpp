// POSIX processes: spawned children in their own sessions, reaped by us,
// ended with their whole family.
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "platform/clock_backend.h"
#include "platform/command_line.h"
#include "platform/evidence_backend.h"
#include "platform/files_backend.h"
#include "platform/posix/support.h"
#include "platform/process.h"
#include "platform/process_backend.h"
#include "platform/program_guard.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

bool backend::processRuns(std::uint32_t processId) {
  if (processId == 0 || processId > 0x7FFFFFFF)
    return false;
  // EPERM: it runs, as another user.
  return ::kill(static_cast<pid_t>(processId), 0) == 0 || errno != ESRCH;
}

namespace {

// What the backend knows about one started process. The pid is signalled only
// while the child is unreaped, so it can never name a stranger that reused it.
struct Child {
  pid_t pid = 0;
  bool leadsGroup = false;
  bool reaped = false;
  bool lost = false;  // reaped by someone else (SIGCHLD ignored, say): status unknown
  std::uint32_t exitCode = 0;
  int waitStatus = 0;  // as wait4 gave it once reaped, for the evidence
  struct rusage usage {};
};

struct ProcessTable : backend::HandleTable<Child> {
  // Children whose handle was closed while they ran; reaped once they end.
  std::vector<pid_t> letGo;
};

ProcessTable& processTable() {
  static ProcessTable table;
  return table;
}

std::uint32_t exitCodeOf(int status) {
  if (WIFSIGNALED(status))
    return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

// Collects the child's status if it has ended; true once it is known to be gone.
bool reapIfEnded(Child& child) {
  if (child.reaped || child.lost)
    return true;
  int status = 0;
  pid_t got = retryOnInterrupt([&] { return ::wait4(child.pid, &status, WNOHANG, &child.usage); });
  if (got == child.pid) {
    child.reaped = true;
    child.waitStatus = status;
    child.exitCode = exitCodeOf(status);
  } else if (got < 0) {
    child.lost = true;
  }
  return child.reaped || child.lost;
}

bool owns(const ProcessTable& table, pid_t pid) {
  if (std::find(table.letGo.begin(), table.letGo.end(), pid) != table.letGo.end())
    return true;
  for (const auto& [handle, child] : table.entries) {
    if (child.pid == pid && !child.reaped && !child.lost)
      return true;
  }
  return false;
}

// Reaps `pid` if it is a child of ours that the table does not own and has
// ended: an orphan handed to us, or a child we inherited from whoever exec'd us.
void reapIfStranger(const ProcessTable& table, const ProcessEntry& process, pid_t self) {
  if (process.parent != self || !process.zombie() || owns(table, process.pid))
    return;
  int status = 0;
  retryOnInterrupt([&] { return ::waitpid(process.pid, &status, WNOHANG); });
}

// Reaps the let-go children and, as the subreaper, the other children of ours
// that have ended, so that none lingers as a zombie.
void reapLetGo(ProcessTable& table) {
  auto ended = [](pid_t pid) {
    int status = 0;
    return retryOnInterrupt([&] { return ::waitpid(pid, &status, WNOHANG); }) != 0;
  };
  table.letGo.erase(std::remove_if(table.letGo.begin(), table.letGo.end(), ended),
                    table.letGo.end());
  // Only the watchdog reaps children it did not start: another process using
  // this layer (a test) may have children of its own that it waits for.
  if (!handedOrphans)
    return;
  const pid_t self = ::getpid();
  for (const ProcessEntry& process : allProcesses())
    reapIfStranger(table, process, self);
}

}  // namespace

void reapEndedOrphans() {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
}

namespace {

// The program's family in `processes`: every process in one of `sessions`
// (the program's own to begin with) and every descendant of a member, whose
// session joins `sessions` in turn. Handed to us or not, a process outside
// it was not started by this program, and is never signalled for it.
std::vector<ProcessEntry> familyOf(const std::vector<ProcessEntry>& processes,
                                   std::set<pid_t>& sessions) {
  std::set<pid_t> members;
  for (bool grew = true; grew;) {
    grew = false;
    for (const ProcessEntry& process : processes) {
      if (members.count(process.pid) != 0)
        continue;
      if (sessions.count(process.session) != 0 || members.count(process.parent) != 0) {
        members.insert(process.pid);
        sessions.insert(process.session);
        grew = true;
      }
    }
  }
  std::vector<ProcessEntry> family;
  for (const ProcessEntry& process : processes) {
    if (members.count(process.pid) != 0)
      family.push_back(process);
  }
  return family;
}

// Kills every living member of the family of `sessions` and reaps the ended
// ones handed to us; false when none was left alive.
bool killFamily(const ProcessTable& table, std::set<pid_t>& sessions) {
  const pid_t self = ::getpid();
  bool any = false;
  for (const ProcessEntry& process : familyOf(allProcesses(), sessions)) {
    if (process.zombie()) {
      reapIfStranger(table, process, self);
      continue;
    }
    any = true;
    ::kill(process.pid, SIGKILL);
  }
  return any;
}

// Ends the family of `sessions` until none of it is left: killing a member
// hands its own children to us in turn. Bounded to about 2 s.
void endFamily(const ProcessTable& table, std::set<pid_t>& sessions) {
  for (int round = 0; round < 200 && killFamily(table, sessions); ++round)
    backend::sleepForReal(10);
}

// The file to execute. A relative path names a file relative to our own
// current directory, not to the child's working directory.
std::string programToExecute(const ProcessLaunch& launch) {
  if (launch.workingDirectory.empty() || launch.path.empty() || launch.path[0] == '/') {
    return launch.path;
  }
  std::string buffer(4096, '\0');
  while (::getcwd(&buffer[0], buffer.size()) == nullptr) {
    if (errno != ERANGE)
      return launch.path;
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer + "/" + launch.path;
}

// The child's descriptors: stdin from /dev/null, stdout onto our stderr (our
// stdout carries only the watchdog's own lines), nothing else of ours.
int prepareFileActions(const ProcessLaunch& launch, posix_spawn_file_actions_t& actions) {
  int rc = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) {
    if (::fcntl(2, F_GETFD) >= 0) {
      rc = ::posix_spawn_file_actions_adddup2(&actions, 2, 1);
    } else {
      // Our stderr is closed: give the child a sink rather than fail the start.
      rc = ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      if (rc == 0)
        rc = ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
  }
  if (rc == 0 && !launch.workingDirectory.empty()) {
    rc = ::posix_spawn_file_actions_addchdir_np(&actions, launch.workingDirectory.c_str());
  }
  if (rc == 0)
    rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  return rc;
}

// A new session when the child is to lead a group of its own; signal mask and
// dispositions back to their defaults, whatever we block or ignore.
int prepareAttributes(const ProcessLaunch& launch, posix_spawnattr_t& attributes) {
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (launch.ownProcessGroup && backend::forcedJobAssignmentFailure() == 0)
    flags |= POSIX_SPAWN_SETSID;
  int rc = ::posix_spawnattr_setflags(&attributes, flags);
  if (rc == 0)
    rc = ::posix_spawnattr_setsigmask(&attributes, &none);
  if (rc == 0)
    rc = ::posix_spawnattr_setsigdefault(&attributes, &all);
  return rc;
}

}  // namespace

std::uint32_t backend::fileNotFoundError() {
  return ENOENT;
}

StartFailure startFailureKind(std::uint32_t errorCode) {
  switch (errorCode) {
    case EAGAIN:   // the process limit, for now
    case ENOMEM:   // memory, for now
    case ETXTBSY:  // the program file is still open for writing (being copied in)
    case EMFILE:
    case ENFILE:
      return StartFailure::Passing;
    default:
      return StartFailure::Lasting;
  }
}

bool backend::environmentVariable(const std::string& name, std::string& value) {
  const char* found = ::getenv(name.c_str());
  if (found == nullptr)
    return false;
  value = found;
  return true;
}

void backend::setEnvironmentVariable(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

std::uint32_t backend::currentProcessId() {
  return static_cast<std::uint32_t>(::getpid());
}

bool backend::startProcess(const ProcessLaunch& launch, ProcessRecord& record,
                           std::uint32_t& errorCode) {
  std::vector<std::string> arguments{launch.path};
  if (launch.withArguments) {
    for (std::string& argument : splitArguments(launch.arguments)) {
      arguments.push_back(std::move(argument));
    }
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  std::string program = programToExecute(launch);

  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  pid_t pid = 0;
  int rc = prepareFileActions(launch, actions);
  if (rc == 0)
    rc = prepareAttributes(launch, attributes);
  // glibc's posix_spawn returns the errno of a chdir or exec that failed in the
  // child, so a failed start is known here and now.
  if (rc == 0) {
    rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errorCode = static_cast<std::uint32_t>(rc);
    return false;
  }

  const Handle handle = table.add();
  Child& child = table.entries[handle];
  child.pid = pid;
  // The test seam's forced failure: the child stays in our group, as a Windows
  // program that could not join its job stays outside one.
  const std::uint32_t forcedFailure =
      launch.ownProcessGroup ? backend::forcedJobAssignmentFailure() : 0;
  child.leadsGroup = launch.ownProcessGroup && forcedFailure == 0;
  if (child.leadsGroup)
    backend::guardProcessGroup(static_cast<std::uint32_t>(pid));  // ended when we die
  record.hProcess = handle;
  record.dwProcessId = static_cast<std::uint32_t>(pid);
  record.jobErrorCode = forcedFailure;
  return true;
}

ProcessState processState(Handle hProcess, std::uint32_t& exitCode) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
  auto found = table.entries.find(hProcess);
  if (found == table.entries.end())
    return ProcessState::Unknown;
  Child& child = found->second;
  if (!reapIfEnded(child))
    return ProcessState::Running;
  if (child.lost)
    return ProcessState::Unknown;
  exitCode = child.exitCode;
  return ProcessState::Exited;
}

void terminateProcess(const ProcessRecord& record) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
  auto found = table.entries.find(record.hProcess);
  if (found == table.entries.end())
    return;
  Child& child = found->second;
  // An ended program keeps its status, and whatever it left behind runs on.
  if (reapIfEnded(child))
    return;

  // The program leads a session of its own: its whole family goes at once,
  // workers that left the session included while their parent still names
  // them. Without a session of its own it shares ours, and goes alone.
  std::set<pid_t> sessions{child.pid};
  // The family is taken before anything is killed: a worker's parent names it
  // only until the parent dies.
  if (child.leadsGroup) {
    killFamily(table, sessions);
    ::kill(-child.pid, SIGKILL);
  }
  ::kill(child.pid, SIGKILL);
  // At most 5 s, in real time whatever the test hook says: a child stuck in
  // the kernel stays recorded unreaped, and a later query reaps it.
  int status = 0;
  pid_t got = 0;
  for (int waited = 0; waited <= 5000; waited += 5) {
    got = retryOnInterrupt([&] { return ::wait4(child.pid, &status, WNOHANG, &child.usage); });
    if (got != 0)
      break;
    backend::sleepForReal(5);
  }
  // What the family left behind, handed to us or not, goes with it.
  if (child.leadsGroup)
    endFamily(table, sessions);
  if (got == 0)
    return;
  if (got != child.pid) {
    child.lost = true;
    return;
  }
  child.reaped = true;
  child.waitStatus = status;
  // A program that ended by itself just before the kill keeps its own code.
  bool endedByUs = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  child.exitCode = endedByUs ? 0 : exitCodeOf(status);
}

void closeHandle(Handle handle) {
  if (handle == 0)
    return;
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
  auto found = table.entries.find(handle);
  if (found == table.entries.end())
    return;
  if (!reapIfEnded(found->second))
    table.letGo.push_back(found->second.pid);
  table.entries.erase(found);
}

bool backend::endDetail(Handle hProcess, EndDetail& detail) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  const Child* child = table.find(hProcess);
  if (child == nullptr || !child->reaped)
    return false;
  detail.known = true;
  detail.signalled = WIFSIGNALED(child->waitStatus);
  detail.signal = detail.signalled ? WTERMSIG(child->waitStatus) : 0;
  detail.coreDumped = detail.signalled && WCOREDUMP(child->waitStatus);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  detail.userSeconds = seconds(child->usage.ru_utime);
  detail.kernelSeconds = seconds(child->usage.ru_stime);
  detail.peakBytes = static_cast<std::int64_t>(child->usage.ru_maxrss) * 1024;
  return true;
}

}  // namespace tavrelon::platform
