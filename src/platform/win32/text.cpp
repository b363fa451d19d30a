// Windows text: the ANSI code page and the wide command line.
#include "platform/win32/support.h"

#include <shellapi.h>

#include <algorithm>
#include <limits>

#include "platform/command_line.h"
#include "platform/text.h"

namespace tavrelon::platform {

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

}  // namespace tavrelon::platform
