// Fuzz target: the status log's read, write, read round trip.
//
// An input whose first byte is even is a status log file as found on disk (any
// line ends, a byte-order mark, trailing commas): the rows read from it, written
// back and read again must come back unchanged, and a line-by-line read of its
// lines must give the same rows; a file that is no status log must be neither
// read nor replaced, and one with lines that are no rows must not be replaced.
// An odd first byte makes the rest a list of rows with arbitrary field bytes,
// written and read back. Either way a row lost or changed on the way is a
// finding, the bytes written must be the format's own, a second write must
// give the same bytes as the first, and no temporary file may stay beside the log.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "logging/status_log.h"
#include "platform/text.h"
#include "platform/text_encoding.h"

namespace {

using tavrelon::StatusRecord;
using tavrelon::fuzzing::require;

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string show(const std::vector<StatusRecord>& rows) {
  std::string text;
  for (const StatusRecord& row : rows) {
    for (const std::string* field :
         {&row.applicationId, &row.runningStatus, &row.startTime, &row.endTime, &row.latestLog}) {
      text += "<";
      for (char c : *field) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
          text += c;
        } else {
          static const char digits[] = "0123456789abcdef";
          text += "\\x";
          text += digits[byte >> 4];
          text += digits[byte & 15];
        }
      }
      text += ">";
    }
    text += "\n";
  }
  return text;
}

// The rows of `bytes` read line by line, as a stream reader reads them: given
// in pieces of `piece` bytes (the bytes taken as they are: the fuzz inputs are
// read back on POSIX, where the code page is UTF-8).
std::vector<StatusRecord> rowsByLine(const std::string& bytes, std::size_t piece) {
  std::vector<StatusRecord> rows;
  tavrelon::StatusLineReader reader([&](tavrelon::StatusLine kind, StatusRecord& row) {
    if (kind == tavrelon::StatusLine::Row)
      rows.push_back(row);
  });
  tavrelon::StatusLineSplitter splitter;
  const auto line = [&](std::string& text) {
    reader.addLine(text);
    return true;
  };
  const std::size_t begin = tavrelon::startsWithByteOrderMark(bytes) ? 3 : 0;
  for (std::size_t at = begin; at < bytes.size(); at += piece)
    splitter.feed(bytes.data() + at, std::min(piece, bytes.size() - at), line);
  splitter.finish(line);
  reader.finish();
  return rows;
}

// The rows as a reader must see them after a write: an empty Latest_Log is
// written as "N/A", and a line break inside a field as a space.
std::vector<StatusRecord> asWritten(std::vector<StatusRecord> rows) {
  for (StatusRecord& row : rows) {
    if (row.latestLog.empty())
      row.latestLog = "N/A";
    for (std::string* field :
         {&row.applicationId, &row.runningStatus, &row.startTime, &row.endTime, &row.latestLog})
      for (char& c : *field)
        if (c == '\r' || c == '\n')
          c = ' ';
  }
  return rows;
}

std::vector<StatusRecord> rowsFrom(FuzzedDataProvider& provider) {
  std::vector<StatusRecord> rows(provider.ConsumeIntegralInRange<std::size_t>(0, 6));
  for (StatusRecord& row : rows) {
    row.applicationId = provider.ConsumeRandomLengthString(48);
    row.runningStatus = provider.ConsumeRandomLengthString(16);
    row.startTime = provider.ConsumeRandomLengthString(24);
    row.endTime = provider.ConsumeRandomLengthString(24);
    row.latestLog = provider.ConsumeRandomLengthString(96);
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  static const std::string path = tavrelon::fuzzing::scratchFile("TavrelonLog_fuzz.csv");

  std::vector<StatusRecord> first;
  if (data[0] % 2 == 0) {
    tavrelon::fuzzing::writeBytes(path, data + 1, size - 1);
    std::int64_t foreignLines = 0;
    if (tavrelon::readStatusLog(path, first, &foreignLines) != tavrelon::StatusLogOutcome::Done) {
      // Someone else's file: it is neither read nor replaced.
      require(first.empty(), "a file that is no status log gave rows");
      const std::string before = fileBytes(path);
      require(tavrelon::writeStatusLog({}, path) == tavrelon::StatusLogOutcome::Refused,
              "a file that is no status log was replaced");
      require(fileBytes(path) == before, "a file that is no status log was changed");
      return 0;
    }
    const std::string bytes = fileBytes(path);
    if (tavrelon::isValidUtf8(bytes))
      require(rowsByLine(bytes, data[0] / 2 % 16 + 1) == first,
              "a line-by-line read gave other rows");
    if (foreignLines > 0) {
      // Lines that are no rows are someone else's: never dropped.
      require(tavrelon::writeStatusLog(first, path) == tavrelon::StatusLogOutcome::Refused,
              "a file with lines that are no rows was replaced");
      require(fileBytes(path) == bytes, "a file with lines that are no rows was changed");
      tavrelon::fuzzing::writeBytes(path, data, 0);
    }
  } else {
    // An empty file is an empty status log, whatever the last input left.
    tavrelon::fuzzing::writeBytes(path, data, 0);
    FuzzedDataProvider provider(data + 1, size - 1);
    first = rowsFrom(provider);
  }

  require(tavrelon::writeStatusLog(first, path) == tavrelon::StatusLogOutcome::Done,
          "a status log could not be rewritten");
  const std::string written = fileBytes(path);
  require(written == tavrelon::platform::toAnsiCodePage(tavrelon::formatStatusLog(first)),
          "a written status log is not the format's bytes");
  require(written.rfind(std::string(tavrelon::kStatusLogHeader) + "\r\n", 0) == 0,
          "a written status log does not begin with the header line");
  std::vector<StatusRecord> second = tavrelon::readStatusLog(path);
  require(asWritten(first) == second, "the round trip lost or changed a row",
          "before:\n" + show(asWritten(first)) + "after:\n" + show(second));

  tavrelon::writeStatusLog(second, path);
  require(fileBytes(path) == written, "a second write of the same rows gave other bytes");
  require(tavrelon::fuzzing::scratchListing() == "TavrelonLog_fuzz.csv\n",
          "files other than the status log were left beside it",
          tavrelon::fuzzing::scratchListing());
  return 0;
}
