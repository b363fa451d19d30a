#include "config/config_checker.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "platform/files.h"

namespace tavrelon {

namespace {

// The keys the reader knows, in the order the nearest one is chosen on a tie.
const char* const kKnownKeys[] = {
    "ApplicationPath",  "ApplicationArgument", "ApplicationLogDir",  "TimeOutMin", "TavrelonLog",
    "DebugOrNot",       "DebugCrashScript",    "DebugTimeoutScript", "dllDir",     "EvidenceDir",
    "EvidenceFullDump", "EvidenceMaxMB",       "ResumeQueue",        "AllowSleep"};

bool isKnownKey(const std::string& key) {
  return std::find(std::begin(kKnownKeys), std::end(kKnownKeys), key) != std::end(kKnownKeys);
}

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Insertions, deletions and substitutions that turn `a` into `b`.
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j)
    previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
    }
    std::swap(previous, current);
  }
  return previous[b.size()];
}

// The known key that `key` most likely meant: the same letters in another case,
// or one a few typing slips away (more slips allowed for longer keys); empty
// when none is that close.
std::string nearestKnownKey(const std::string& key) {
  const std::string lower = lowerCase(key);
  std::string best;
  std::size_t bestDistance = 0;
  for (const char* known : kKnownKeys) {
    const std::string candidate = lowerCase(known);
    // Far longer or shorter keys cannot be close; this also keeps a key of
    // megabytes from costing a quadratic comparison.
    if (lower.size() > candidate.size() + 3 || candidate.size() > lower.size() + 3)
      continue;
    const std::size_t allowed =
        std::max<std::size_t>(1, std::min<std::size_t>(3, candidate.size() / 4));
    const std::size_t distance = editDistance(lower, candidate);
    if (distance <= allowed && (best.empty() || distance < bestDistance)) {
      best = known;
      bestDistance = distance;
    }
  }
  return best;
}

// `text` as a console line may show it: control characters as "?", and cut
// (at a character boundary) after 60 bytes.
std::string shown(const std::string& text) {
  constexpr std::size_t kLimit = 60;
  std::string result = text.substr(0, kLimit);
  if (text.size() > kLimit) {
    // Never cut inside a UTF-8 sequence: a cut before a continuation byte goes
    // back to before the sequence's lead byte.
    std::size_t end = kLimit;
    auto continues = [&](std::size_t at) {
      return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    if (continues(end)) {
      while (end > 0 && continues(end - 1))
        --end;
      if (end > 0)
        --end;
    }
    result.resize(end);
    result += "...";
  }
  for (char& c : result) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      c = '?';
  }
  return "[" + result + "]";
}

bool onlyBlanks(const std::string& text) {
  return text.find_first_not_of(" \t") == std::string::npos;
}

// What a TimeOutMin value is read as when it is a whole number as written:
// white space around it, an optional sign, digits and nothing else.
bool isWholeNumber(const std::string& value) {
  const std::string blanks = " \t\n\v\f\r";
  std::string::size_type first = value.find_first_not_of(blanks);
  if (first == std::string::npos)
    return false;
  std::string::size_type last = value.find_last_not_of(blanks);
  if (value[first] == '+' || value[first] == '-')
    ++first;
  if (first > last)
    return false;
  for (std::string::size_type i = first; i <= last; ++i) {
    if (value[i] < '0' || value[i] > '9')
      return false;
  }
  return true;
}

std::string minutes(std::int32_t count) {
  return std::to_string(count) + (count == 1 ? " minute" : " minutes");
}

// One warning, kept with its line so that all can be put in line order.
struct Warning {
  std::size_t line;
  std::string text;
};

// The state of the program block being read, as far as its mistakes go.
class BlockChecker {
 public:
  explicit BlockChecker(std::vector<Warning>& warnings) : warnings_(&warnings) {}

  void take(const ConfigEntry& entry) {
    if (entry.key == "ApplicationPath") {
      takePath(entry);
      return;
    }
    std::size_t& earlier = lineOfKey_[entry.key];
    if (earlier != 0) {
      say(entry.line, entry.key + " is given twice in one program block (lines " +
                          std::to_string(earlier) + " and " + std::to_string(entry.line) +
                          "): the later value " + shown(entry.value) + " is used.");
    }
    earlier = entry.line;
    if (entry.key == "TimeOutMin") {
      timeOutMin_ = parseTimeOutMin(entry.value);
      if (!isWholeNumber(entry.value)) {
        say(entry.line, "TimeOutMin " + shown(entry.value) +
                            " is not a whole number of minutes; it is taken as " +
                            std::to_string(timeOutMin_) +
                            (timeOutMin_ <= 0 ? ": the program is never timed out." : "."));
      }
    } else if (entry.key == "ApplicationLogDir") {
      logDir_ = entry.value;
      logDirLine_ = entry.line;
    } else if (entry.key == "TavrelonLog") {
      earlyStatusLogLine_ = pathSet_ ? 0 : entry.line;
    }
  }

  // Says what is wrong with the block's log folder; called when the block ends.
  void finish() {
    if (logDirLine_ == 0)
      return;
    std::string problem;
    if (logDir_.empty()) {
      problem = "ApplicationLogDir is empty: no log is watched";
    } else if (!platform::exists(logDir_)) {
      problem = "ApplicationLogDir " + shown(logDir_) +
                " does not exist: no log can grow there until something creates it";
    } else {
      std::vector<platform::DirectoryEntry> listing;
      if (!platform::listDirectory(logDir_, listing)) {
        problem = "ApplicationLogDir " + shown(logDir_) +
                  " is not a folder that can be read: no log can grow there";
      }
    }
    if (problem.empty())
      return;
    say(logDirLine_, problem + (timeOutMin_ > 0 ? ", so each run is timed out after " +
                                                      minutes(timeOutMin_) + "."
                                                : "."));
  }

 private:
  void takePath(const ConfigEntry& entry) {
    // The reader closes a record with a path and begins a new one; a record
    // without one takes this path and keeps what earlier lines gave it.
    if (pathSet_) {
      finish();
      *this = BlockChecker(*warnings_);
    }
    if (earlyStatusLogLine_ != 0) {
      say(earlyStatusLogLine_, "TavrelonLog comes before its block's ApplicationPath (line " +
                                   std::to_string(entry.line) +
                                   "), which replaces it with the default name; move it below.");
      earlyStatusLogLine_ = 0;
      lineOfKey_.erase("TavrelonLog");
    }
    pathSet_ = !entry.value.empty();
  }

  void say(std::size_t line, const std::string& text) { warnings_->push_back(Warning{line, text}); }

  std::vector<Warning>* warnings_;
  std::map<std::string, std::size_t> lineOfKey_;  // known key -> the line that last gave it
  bool pathSet_ = false;                          // the record has a non-empty ApplicationPath
  std::int32_t timeOutMin_ = 2;
  std::string logDir_;
  std::size_t logDirLine_ = 0;
  std::size_t earlyStatusLogLine_ = 0;  // a TavrelonLog given while pathSet_ was false
};

// What is wrong with an entry whose key the reader does not know, or "".
std::string unknownKeyProblem(const ConfigEntry& entry) {
  const std::string::size_type start = entry.key.find_first_not_of(" \t");
  if (start != std::string::npos && entry.key[start] == '#')
    return shown(entry.key) +
           " is no comment (a \"#\" must be the line's first character) and is "
           "ignored.";
  if (!entry.hasColon)
    return shown(entry.key) + " has no \":\" between a key and a value and is ignored.";
  if (entry.key.empty())
    return "no key before \":\"; the line is ignored.";
  const std::string nearest = nearestKnownKey(entry.key);
  return "unknown key " + shown(entry.key) + " is ignored" +
         (nearest.empty() ? "." : "; did you mean [" + nearest + "]?");
}

}  // namespace

std::vector<std::string> configWarnings(const std::vector<ConfigEntry>& entries) {
  std::vector<Warning> found;
  BlockChecker block(found);
  for (const ConfigEntry& entry : entries) {
    // A line of blanks looks empty to anyone reading the file.
    if (onlyBlanks(entry.key) && onlyBlanks(entry.value))
      continue;
    if (isKnownKey(entry.key))
      block.take(entry);
    else
      found.push_back(Warning{entry.line, unknownKeyProblem(entry)});
  }
  block.finish();

  std::stable_sort(found.begin(), found.end(),
                   [](const Warning& a, const Warning& b) { return a.line < b.line; });
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < found.size() && i < kMaxListedConfigWarnings; ++i)
    lines.push_back("Warning: TavrelonConfig.ini line " + std::to_string(found[i].line) + ": " +
                    found[i].text);
  if (found.size() > kMaxListedConfigWarnings) {
    const std::size_t rest = found.size() - kMaxListedConfigWarnings;
    lines.push_back("Warning: TavrelonConfig.ini line " +
                    std::to_string(found[kMaxListedConfigWarnings].line) + ": " +
                    std::to_string(rest) + (rest == 1 ? " more mistake" : " more mistakes") +
                    " from here on, not listed.");
  }
  return lines;
}

std::vector<ProgramConfig> readConfigFile(const std::string& path,
                                          const StatusLogDefaults& defaults,
                                          std::vector<std::string>& warnings) {
  std::vector<ConfigEntry> entries;
  warnings.clear();
  if (!readConfigEntries(path, entries))
    return std::vector<ProgramConfig>();
  warnings = configWarnings(entries);
  return recordsOf(entries, defaults);
}

}  // namespace tavrelon
