#include "fixtures.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <system_error>
#include <utility>
#include <vector>

namespace tavrelon::bench {

namespace fs = std::filesystem;

namespace {

// Owns the scratch directory; its destructor runs at normal process exit.
class Scratch {
 public:
  Scratch() {
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error)
      base = ".";
    std::mt19937_64 random(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path candidate = base / ("tavrelon-bench-" + std::to_string(random() % 1000000000));
      if (fs::create_directory(candidate, error) && !error) {
        path_ = candidate.string();
        return;
      }
    }
  }
  ~Scratch() {
    if (path_.empty())
      return;
    std::error_code error;
    fs::remove_all(path_, error);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Names as a test program would give them: long enough that a path per entry
// does not fit in a string's inline buffer, as with real logs.
std::string fileName(int index) {
  char name[64];
  if (index % 100 == 1) {
    std::snprintf(name, sizeof name, "TavrelonLog_alpha.exe_20240601%06d.csv", index);
  } else if (index % 5 == 0) {
    std::snprintf(name, sizeof name, "alpha_run_20240601_%06d.csv", index);
  } else if (index % 2 == 0) {
    std::snprintf(name, sizeof name, "alpha_trace_20240601_%06d.txt", index);
  } else {
    std::snprintf(name, sizeof name, "alpha_dump_20240601_%06d.bin", index);
  }
  return name;
}

bool isCandidate(int index) {
  return index % 100 != 1 && index % 5 == 0;
}

}  // namespace

bool writeBytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr)
    return false;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

TreeInfo makeLogTree(const std::string& root, int files, TreeShape shape) {
  TreeInfo info;
  info.root = root;
  std::error_code error;
  fs::create_directories(root, error);

  // Leaf directories: just the root when flat, 4 x 4 x 4 x 4 when nested.
  std::vector<std::string> leaves;
  if (shape == TreeShape::Flat) {
    leaves.push_back(root);
  } else {
    for (int leaf = 0; leaf < 256; ++leaf) {
      std::string path = root;
      const char* levels = "abcd";
      for (int level = 0; level < 4; ++level) {
        int digit = (leaf >> (2 * (3 - level))) & 3;
        path += "/";
        path += levels[level];
        path += static_cast<char>('0' + digit);
      }
      fs::create_directories(path, error);
      leaves.push_back(path);
    }
  }

  const std::string content = "step,1,ok\r\nstep,2,ok\r\n";
  for (int index = 0; index < files; ++index) {
    const std::string& leaf = leaves[static_cast<std::size_t>(index) % leaves.size()];
    if (writeBytes(leaf + "/" + fileName(index), content)) {
      ++info.files;
      if (isCandidate(index))
        ++info.candidates;
    }
  }
  return info;
}

const std::string& scratchDirectory() {
  static Scratch scratch;
  return scratch.path();
}

const TreeInfo& cachedLogTree(int files, TreeShape shape) {
  static std::map<std::pair<int, TreeShape>, TreeInfo> trees;
  auto key = std::make_pair(files, shape);
  auto found = trees.find(key);
  if (found != trees.end())
    return found->second;
  std::string root = scratchDirectory() + "/tree-" +
                     (shape == TreeShape::Flat ? "flat-" : "nested-") + std::to_string(files);
  return trees.emplace(key, makeLogTree(root, files, shape)).first->second;
}

bool makeSparseLog(const std::string& path, std::int64_t size, const std::string& tail) {
  if (size < static_cast<std::int64_t>(tail.size()))
    return false;
  if (!writeBytes(path, std::string()))
    return false;
  std::error_code error;
  // Extending with resize_file leaves a hole; only the tail gets a data block.
  fs::resize_file(path, static_cast<std::uintmax_t>(size) - tail.size(), error);
  if (error)
    return false;
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr)
    return false;
  bool written = std::fwrite(tail.data(), 1, tail.size(), file) == tail.size();
  return std::fclose(file) == 0 && written;
}

std::string makeStatusLog(const std::string& path, int rows) {
  std::string content = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log\r\n";
  content.reserve(content.size() + static_cast<std::size_t>(rows) * 120);
  std::string lastId;
  char line[256];
  for (int row = 0; row < rows; ++row) {
    // One run per minute or so; every third run crashed, the others timed out.
    int minute = row % 60;
    int hour = (row / 60) % 24;
    char id[64];
    std::snprintf(id, sizeof id, "alpha.exe_2024%04d%02d%02d05", 100 + row / 1440 % 1200, hour,
                  minute);
    // Ids must be unique for the close sequence to find the last row only.
    lastId = std::string(id) + "_" + std::to_string(row);
    bool crashed = row % 3 == 0;
    std::snprintf(line, sizeof line,
                  "%s,%s,2024-06-01 %02d:%02d:05,2024-06-01 %02d:%02d:41,"
                  "[D:\\shared\\logs\\run%d.csv] step 12 of 40 value 0.%05d\r\n",
                  lastId.c_str(), crashed ? "crashed" : "timeout", hour, minute, hour, minute,
                  row % 1000, row % 100000);
    content += line;
  }
  return writeBytes(path, content) ? lastId : std::string();
}

bool makeConfigFile(const std::string& path, int blocks) {
  std::string content;
  content.reserve(static_cast<std::size_t>(blocks) * 220);
  char block[512];
  for (int index = 0; index < blocks; ++index) {
    std::snprintf(block, sizeof block,
                  "# suite %d\r\n"
                  "ApplicationPath: D:\\Tests\\suite%05d\\runner.exe\r\n"
                  "ApplicationArgument: -suite \"nightly run %d\" -verbose\r\n"
                  "ApplicationLogDir: \"D:\\Tests\\suite%05d\\logs\"\r\n"
                  "TimeOutMin: %d\r\n"
                  "DebugOrNot: false\r\n"
                  "TavrelonLog: D:\\Status\\suite%05d.csv\r\n"
                  "\r\n",
                  index, index, index, index, 5 + index % 50, index);
    content += block;
  }
  return writeBytes(path, content);
}

}  // namespace tavrelon::bench
