// Generated inputs for the benchmarks: log trees, a large sparse log, status
// logs and configuration files, all under one scratch directory per process.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon::bench {

enum class TreeShape {
  Flat,    // every file in the tree's root directory
  Nested,  // four levels of sub-directories, four per level, files in the leaves
};

// What a generated log tree holds.
struct TreeInfo {
  std::string root;
  int files = 0;       // every file written
  int candidates = 0;  // files whose path holds ".csv" and not "TavrelonLog"
};

// Writes a tree of `files` small files under `root` (created if missing): a
// fifth are ".csv" logs the tracker considers, about one in a hundred are
// status logs named "TavrelonLog_..." that it must skip, the rest other files.
TreeInfo makeLogTree(const std::string& root, int files, TreeShape shape);

// The scratch directory of this process, created on first use and removed with
// everything in it when the process exits normally.
const std::string& scratchDirectory();

// A tree made once per size and shape under scratchDirectory() and handed out
// again on later calls.
const TreeInfo& cachedLogTree(int files, TreeShape shape);

// Makes `path` a file of exactly `size` bytes that ends with `tail` (the last
// lines of a log, line ends included), everything before it a hole: no data
// blocks on file systems that support sparse files, zero bytes when read.
bool makeSparseLog(const std::string& path, std::int64_t size, const std::string& tail);

// Writes a status log with the header and `rows` rows of realistic length
// (about 110 bytes each, CR LF line ends). Returns the id of the last row.
std::string makeStatusLog(const std::string& path, int rows);

// Writes a configuration file of `blocks` program blocks of six entries each,
// with a comment and an empty line between blocks.
bool makeConfigFile(const std::string& path, int blocks);

// Writes `bytes` to `path` as they are; false on failure.
bool writeBytes(const std::string& path, const std::string& bytes);

}  // namespace tavrelon::bench
