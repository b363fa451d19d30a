// Reading a status log a line at a time, so that the report never holds a
// whole log: each row is handed on as soon as it is read.
#pragma once

#include <functional>
#include <string>

#include "logging/status_log.h"

namespace tavrelon::report {

// Called with each row in file order; it may take the row's strings.
using RowReader = std::function<void(StatusRecord& row)>;

// Reads the status log at `path` by the rules of readStatusLog (the same rows,
// the same outcome) but streaming: what is held is one piece of the file and
// the few lines a cell saved across line ends may span. With a byte-order mark
// the file is read twice: once to learn whether all of it is UTF-8, then for
// its rows. Rows handed on before an outcome other than Done (a file that
// breaks off, that grows past the bounds, someone else's file) must be
// dropped by the caller.
StatusLogOutcome streamStatusLog(const std::string& path, const RowReader& read);

}  // namespace tavrelon::report
