// Plays a program whose hang or crash leaves evidence: writes a few CSV log
// lines, then hangs inside tavrelonEvidenceHangsHere (in two threads, and in a
// worker copy of itself started in its own group or job), or crashes.
//
//   --log-dir DIR       write "line,<i>" lines to DIR/hang.csv first
//   --lines K           lines to write, default 3
//   --worker-pid FILE   start the worker and write its pid to FILE
//   --segv              end by writing through a null pointer instead of hanging
//   --worker            be the worker: hang at once
//   --say TEXT          print TEXT and a line break on its console first
//   --rows N            before that, print "row <i>" lines, i = 1..N
//   --fake-core         (POSIX) before the crash, write "core.<pid>" into the
//                       current directory, as a core pattern would
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "own_copy.h"
#include "platform/paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

// Not inlined and not static, so that its name stays in every stack.
extern "C" __attribute__((noinline)) void tavrelonEvidenceHangsHere() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    asm volatile("" ::: "memory");
  }
}

// A volatile pointer, so that the compiler keeps the faulting write.
int* volatile nowhere = nullptr;

// The faulting write, left alone by the sanitizers: in a sanitized build it
// must still end the process by the signal, not by a sanitizer's report.
__attribute__((no_sanitize("address", "undefined"))) void writeNowhere() {
  *nowhere = 1;
}

int main(int argc, char** argv) {
  std::string logDir, workerPid, say;
  int lines = 3;
  int rows = 0;
  bool segv = false;
  bool fakeCore = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--worker")
      tavrelonEvidenceHangsHere();
    else if (word == "--segv")
      segv = true;
    else if (word == "--fake-core")
      fakeCore = true;
    else if (word == "--log-dir" && i + 1 < argc)
      logDir = argv[++i];
    else if (word == "--lines" && i + 1 < argc)
      lines = std::atoi(argv[++i]);
    else if (word == "--worker-pid" && i + 1 < argc)
      workerPid = argv[++i];
    else if (word == "--say" && i + 1 < argc)
      say = argv[++i];
    else if (word == "--rows" && i + 1 < argc)
      rows = std::atoi(argv[++i]);
  }
  for (int i = 1; i <= rows; ++i)
    std::printf("row %d\n", i);
  if (!say.empty()) {
    std::printf("%s\n", say.c_str());
    std::fflush(stdout);
  }
  if (!workerPid.empty()) {
    std::uint32_t error = 0;
    tavrelon::test::startOwnCopy("--worker", false, workerPid, error);
  }
  if (!logDir.empty()) {
    for (int i = 1; i <= lines; ++i) {
      std::ofstream log(logDir + tavrelon::platform::separator() + "hang.csv",
                        std::ios::binary | std::ios::app);
      log << "line," << i << "\n";
    }
  }
  if (segv) {
#ifdef _WIN32
    // As on Windows under the watchdog, which passes this error mode on: the
    // crash ends the process with the exception's code and no dialog waits.
    // Wine would start its debugger instead, so the filter ends it so first.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* exception) -> LONG {
      ::TerminateProcess(::GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
      return EXCEPTION_EXECUTE_HANDLER;
    });
#endif
#ifdef _WIN32
    (void)fakeCore;
#else
    if (fakeCore)
      std::ofstream("core." + std::to_string(::getpid()), std::ios::binary) << "not a core\n";
    // A sanitizer's own handler would turn the crash into an exit code.
    std::signal(SIGSEGV, SIG_DFL);
#endif
    writeNowhere();
    return 0;
  }
  std::thread second(tavrelonEvidenceHangsHere);
  tavrelonEvidenceHangsHere();
  second.join();
  return 0;
}
