// The CSV status log: one row per run of a supervised program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logging/status_log_format.h"
#include "logging/status_log_names.h"
#include "platform/files.h"

namespace tavrelon {

// A status log over this many bytes is neither read whole nor rewritten.
constexpr std::int64_t kMaxStatusLogBytes = std::int64_t{256} << 20;
// Nor one of more non-empty lines than this: their rows would take far more
// memory than the file's bytes.
constexpr std::int64_t kMaxStatusLogLines = 2000000;

// How a read or a write of the status log ended.
enum class StatusLogOutcome {
  Done,
  Missing,  // no file at the path (reads only)
  Busy,     // held by someone else for now; may pass on a retry
  Refused,  // not a status log (someone else's file, not a regular file, too
            // large), read-only, or no place to write it: fails again as things stand
};

// The file is written in the ANSI code page (a character that it lacks is
// stored as '?'); rows hold UTF-8. Read back, content after a UTF-8 byte-order
// mark is taken as UTF-8 when it is valid UTF-8, all else as the code page.

// The text of stored status-log bytes (whole or one line of them, any
// byte-order mark removed) as the rows hold it: the bytes themselves when the
// file reads as UTF-8 (`utf8`), else converted from the ANSI code page.
std::string statusLogText(std::string bytes, bool utf8);

// A read or write of the status log that ended as `outcome` in the file layer.
StatusLogOutcome statusLogOutcome(platform::FileOutcome outcome);

// Reads every row of the status log at `path`, in file order, into `rows`.
// Lines end in LF, CR LF or a lone CR; a UTF-8 byte-order mark is skipped;
// empty lines (spaces and tabs at most) and both header forms are skipped. A
// field quoted across line ends (a spreadsheet cell with a line break) is read
// whole, each break a space, when its quote closes within a few lines and the
// record then reads as a row. Other lines that do not split into five or six
// fields are no rows: `foreignLines`, when given, counts them. A file whose
// first non-empty line is neither header is someone else's: Refused, no rows;
// one of empty lines only is an empty log. `rows` is empty unless Done. Reads
// the file once (a missing one is Missing) and never creates it. `seen`, when
// given, tells what was read, for replaceStatusLog.
StatusLogOutcome readStatusLog(const std::string& path, std::vector<StatusRecord>& rows,
                               std::int64_t* foreignLines = nullptr,
                               platform::ReadSnapshot* seen = nullptr);

// The rows of readStatusLog(path, rows); empty whenever that is not Done.
std::vector<StatusRecord> readStatusLog(const std::string& path);

// Copies runningStatus, startTime, endTime and latestLog of `record` into the
// last row with the same applicationId (as given or as stored, '?' for what
// the code page lacks) and returns true; false, leaving `rows` alone, when
// none matches. `changed`, when given, says whether the row's values changed.
bool updateStatusRow(std::vector<StatusRecord>& rows, StatusRecord record, bool* changed = nullptr);

// Replaces the file's content with the header and `rows` (CR LF line ends, an
// empty latestLog written as "N/A") as platform::replaceRegularFile does, unless
// the file is someone else's: one whose first non-empty line is no header, or
// that holds a line that is neither blank, a header nor a row (see
// mayRewriteStatusLog). Such a file, anything but a regular file and content
// over the bounds are Refused untouched. The old content survives any failure.
StatusLogOutcome writeStatusLog(std::vector<StatusRecord> rows, const std::string& path);

// Whether a file that readStatusLog read as `read`, with `foreignLines` lines
// that are no rows, may be rewritten: only a missing file or a status log of
// rows, headers and empty lines alone. Lines that are neither (a program
// writing its results to the file, text typed by hand) are someone else's and
// are never dropped.
bool mayRewriteStatusLog(StatusLogOutcome read, std::int64_t foreignLines);

// Replaces the content of the file at `path` with `rows`, as writeStatusLog
// does, without reading it first: for a caller that has just read it, under the
// log's lock, and found mayRewriteStatusLog true. With `seen` (from that read
// of the resolved `path`), platform::replaceReadFile replaces it: Busy when the
// file changed since the read, which then stays as it is.
StatusLogOutcome replaceStatusLog(std::vector<StatusRecord> rows, const std::string& path,
                                  const platform::ReadSnapshot* seen = nullptr);

}  // namespace tavrelon
