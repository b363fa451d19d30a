// Portable search for the last line of a file's content.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon {

// The last line of a file of `fileSize` bytes whose final bytes are `tail`
// (tail.size() <= fileSize). A final line end (LF or CR LF) is stepped over, so
// "abc\ndef\n\n" gives "def"; a file without a final line end gives the text
// after its last line feed. Sets `needMore` when `tail` holds no line start and
// more bytes before it are needed.
std::string lastLineOf(const std::string& tail, std::int64_t fileSize, bool& needMore);

}  // namespace tavrelon
