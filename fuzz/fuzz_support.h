// Pieces shared by the fuzz targets: a scratch directory for the files a
// target writes, and a check that aborts with a message on a finding.
#pragma once

#include <cstddef>
#include <string>

namespace tavrelon::fuzzing {

// A directory of this fuzzing process's own under the system's temporary
// directory, created on first use and removed when the process exits normally.
const std::string& scratchDirectory();

// scratchDirectory() + separator + `name`.
std::string scratchFile(const std::string& name);

// Writes `size` bytes at `data` to `path` exactly, replacing what was there.
void writeBytes(const std::string& path, const void* data, std::size_t size);

// Names of the entries left in scratchDirectory(), sorted.
std::string scratchListing();

// When `condition` is false: prints `what` and `detail` to standard error and
// aborts, so that libFuzzer keeps the input as a crash artifact.
void require(bool condition, const char* what, const std::string& detail = std::string());

}  // namespace tavrelon::fuzzing
