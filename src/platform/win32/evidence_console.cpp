// The last screen of a hung program's console, as console.txt. A process is
// attached to one console at most, and the watchdog's own console is written by
// its console writer: the reading is done by a copy of the watchdog started
// for it, which leaves its own console, attaches to the program's, reads the
// screen buffer and writes the text as UTF-8.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/evidence.h"
#include "platform/evidence_backend.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/process_backend.h"
#include "platform/text.h"
#include "platform/win32/support.h"

namespace tavrelon::platform {

namespace {

// The hidden first argument of the reading copy: then the process id and the file.
const char* const kReaderSwitch = "--read-console-of";
// What the reading copy is allowed of the capture's time: the dumps come after.
constexpr std::int64_t kReaderLimitMs = 10000;

// The reading copy's steps, in the high byte of its exit code; the system's
// error code of the failed step is in the low bytes.
enum ReaderStep : DWORD {
  kAttach = 1,
  kOpenScreen = 2,
  kScreenSize = 3,
  kReadScreen = 4,
  kWriteFile = 5,
  kArguments = 6,
};

int failed(ReaderStep step, DWORD error) {
  return static_cast<int>((static_cast<DWORD>(step) << 24) | (error & 0xFFFFFFu));
}

// The text of the screen buffer behind `screen`: the rows of its window, or
// where the cursor has gone below the window, as many rows ending at the
// cursor's. Blanks at the ends of rows and empty rows at the end left out.
bool screenText(HANDLE screen, std::string& text, ReaderStep& step) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(screen, &info)) {
    step = kScreenSize;
    return false;
  }
  const int height = std::max(1, info.srWindow.Bottom - info.srWindow.Top + 1);
  const int bottom = std::max<int>(info.srWindow.Bottom, info.dwCursorPosition.Y);
  const int top = std::max(0, bottom - height + 1);
  const DWORD width = static_cast<DWORD>(std::max<SHORT>(info.dwSize.X, 1));
  std::vector<std::wstring> rows;
  std::wstring row(width, L' ');
  for (int y = top; y <= bottom && y < info.dwSize.Y; ++y) {
    DWORD read = 0;
    if (!::ReadConsoleOutputCharacterW(screen, &row[0], width, {0, static_cast<SHORT>(y)}, &read)) {
      step = kReadScreen;
      return false;
    }
    std::wstring line = row.substr(0, std::min(read, width));
    line.erase(line.find_last_not_of(L" \t\0", std::wstring::npos, 3) + 1);
    rows.push_back(std::move(line));
  }
  while (!rows.empty() && rows.back().empty())
    rows.pop_back();
  for (const std::wstring& line : rows)
    text += utf8FromWide(line.data(), line.size()) + "\n";
  return true;
}

// The reading copy's work: the screen of the console of `pid` into the new
// file `path`; its exit code (0, or the failed step and its error).
int readConsoleInto(DWORD pid, const std::string& path) {
  // Its own (windowless) console is left first: one console at most.
  ::FreeConsole();
  if (!::AttachConsole(pid))
    return failed(kAttach, ::GetLastError());
  // The screen buffer the console shows, whatever the standard handles hold.
  HANDLE screen =
      ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (screen == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    ::FreeConsole();
    return failed(kOpenScreen, error);
  }
  std::string text;
  ReaderStep step = kReadScreen;
  const bool read = screenText(screen, text, step);
  const DWORD error = read ? 0 : ::GetLastError();
  ::CloseHandle(screen);
  ::FreeConsole();
  if (!read)
    return failed(step, error);
  std::uint32_t writeError = 0;
  if (!writeNewFile(path, text, writeError))
    return failed(kWriteFile, writeError);
  return 0;
}

// What the reading copy's exit code `code`, reading the console of `pid`,
// says went wrong.
std::string readerFailure(DWORD code, std::uint32_t pid) {
  const DWORD error = code & 0xFFFFFFu;
  switch (code >> 24) {
    case kAttach:
      // Wine says "no console" for a process that is gone too.
      if (error == ERROR_INVALID_PARAMETER ||
          (error == ERROR_INVALID_HANDLE && !backend::processRuns(pid)))
        return "the program has ended";
      if (error == ERROR_INVALID_HANDLE)
        return "the program has no console";
      return "its console could not be attached to: " + errorText(error);
    case kOpenScreen:
      return "its console's screen buffer could not be opened: " + errorText(error);
    case kScreenSize:
      return "its console's screen size could not be read: " + errorText(error);
    case kReadScreen:
      return "its console's screen text could not be read: " + errorText(error);
    case kWriteFile:
      return errorText(error);
    default:
      return "the console reader ended with exit code " + std::to_string(code);
  }
}

}  // namespace

bool runConsoleReaderCall(int argc, char** argv, int& exitCode) {
  if (argc < 2 || std::string(argv[1]) != kReaderSwitch)
    return false;
  const std::vector<std::string> arguments = programArguments(argc, argv);
  char* end = nullptr;
  const unsigned long pid =
      arguments.size() == 3 ? std::strtoul(arguments[1].c_str(), &end, 10) : 0;
  if (pid == 0 || end == nullptr || *end != '\0' || arguments[2].empty())
    exitCode = failed(kArguments, ERROR_INVALID_PARAMETER);
  else
    exitCode = readConsoleInto(static_cast<DWORD>(pid), arguments[2]);
  return true;
}

void backend::captureConsole(const std::vector<TreeProcess>& tree, const std::string& folder,
                             const std::function<bool()>& expired, CaptureOutcome& outcome) {
  const char* const name = "console.txt";
  if (tree.empty())
    return;
  if (expired()) {
    outcome.problems.push_back(std::string(name) + ": not read in time");
    return;
  }
  // The program's own console: the one its first process was started with
  // (the last of the tree, children first), which its children share unless
  // they made their own.
  const TreeProcess& program = tree.back();
  const std::string path = joinPath(folder, name);
  ProcessLaunch launch;
  launch.path = consoleReaderProgram();
  // The file's name ends the path: no backslash before the closing quote.
  launch.arguments =
      std::string(kReaderSwitch) + " " + std::to_string(program.pid) + " \"" + path + "\"";
  launch.newConsole = false;
  launch.showWindow = false;
  launch.ownProcessGroup = false;
  ProcessRecord reader;
  std::uint32_t error = 0;
  if (!platform::startProcess(launch, reader, error)) {
    outcome.problems.push_back(std::string(name) +
                               ": the console reader could not start: " + errorText(error));
    return;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReaderLimitMs);
  std::uint32_t code = 0;
  ProcessState state = platform::processState(reader.hProcess, code);
  while (state == ProcessState::Running && !expired() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    state = platform::processState(reader.hProcess, code);
  }
  if (state == ProcessState::Exited && code == 0) {
    outcome.files.push_back(path);
    outcome.details.push_back({"Console_Of", std::to_string(program.pid) + " " + program.image});
    return;
  }
  if (state == ProcessState::Running) {
    platform::terminateProcess(reader);
    outcome.problems.push_back(std::string(name) + ": not read in time");
  } else if (state == ProcessState::Unknown) {
    outcome.problems.push_back(std::string(name) + ": the console reader could not be watched");
  } else {
    outcome.problems.push_back(std::string(name) + ": " + readerFailure(code, program.pid));
  }
  // What a reader ended half-way left is no evidence.
  ::DeleteFileW(systemPath(path).c_str());
}

}  // namespace tavrelon::platform
