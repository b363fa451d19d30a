#include "config/config_checker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/watchdog.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

// Status logs named in `folder` with a fixed run stamp, so that no check
// depends on where the tests run or on the clock.
StatusLogDefaults fixedDefaults(const std::string& folder) {
  return StatusLogDefaults{folder, [] { return std::string("20240601093005"); }};
}

// Every "{dir}" in `text` replaced by `dir`.
std::string within(std::string text, const std::string& dir) {
  for (std::string::size_type at; (at = text.find("{dir}")) != std::string::npos;)
    text.replace(at, 5, dir);
  return text;
}

struct Case {
  const char* name;
  const char* configuration;          // "{dir}" is a folder that exists
  std::vector<const char*> warnings;  // after "Warning: TavrelonConfig.ini line "
};

// Each mistake alone, and what the watchdog says about it; a clean file says nothing.
const Case kCases[] = {
    {"a clean configuration",
     "# nightly\n\nApplicationPath: a.exe\nApplicationArgument: -x \"y\" #1\n"
     "ApplicationLogDir: \"{dir}\"\nTimeOutMin:  30 \n   \n\t\nApplicationPath: b.exe\n"
     "ApplicationLogDir: {dir}\nTimeOutMin: -1\nTavrelonLog: b.csv\nDebugOrNot: false\n"
     "DebugCrashScript: c.bat\nDebugTimeoutScript: t.bat\ndllDir: lib\n"
     "EvidenceDir: evidence\nEvidenceFullDump: true\nEvidenceMaxMB: 100\n",
     {}},
    {"only comments and blank lines", "# one\n\n#two: x\n\n", {}},
    {"a key in another case",
     "ApplicationPath: a.exe\nTimeoutMin: 5\nApplicationLogDIR: {dir}\n",
     {"2: unknown key [TimeoutMin] is ignored; did you mean [TimeOutMin]?",
      "3: unknown key [ApplicationLogDIR] is ignored; did you mean [ApplicationLogDir]?"}},
    {"a key a slip away",
     "ApplicationPath: a.exe\nTavrelonLogs: s.csv\nApplicationDir: x\nAplicationArgument: -x\n",
     {"2: unknown key [TavrelonLogs] is ignored; did you mean [TavrelonLog]?",
      "3: unknown key [ApplicationDir] is ignored; did you mean [ApplicationLogDir]?",
      "4: unknown key [AplicationArgument] is ignored; did you mean [ApplicationArgument]?"}},
    {"a key like none",
     "ApplicationPath: a.exe\nColour: blue\nTime: 5\n",
     {"2: unknown key [Colour] is ignored.", "3: unknown key [Time] is ignored."}},
    {"lines that are no entries",
     "  # indented\nApplicationPath a.exe\n: value\nApplicationPath: a.exe\n",
     {"1: [# indented] is no comment (a \"#\" must be the line's first character) and is ignored.",
      "2: [ApplicationPath a.exe] has no \":\" between a key and a value and is ignored.",
      "3: no key before \":\"; the line is ignored."}},
    {"a TimeOutMin that is no whole number",
     "ApplicationPath: a.exe\nTimeOutMin: 0.5\nApplicationPath: b.exe\nTimeOutMin: 30m\n"
     "ApplicationPath: c.exe\nTimeOutMin:\nApplicationPath: d.exe\nTimeOutMin: +7\n",
     {"2: TimeOutMin [0.5] is not a whole number of minutes; it is taken as 0: the program is "
      "never timed out.",
      "4: TimeOutMin [30m] is not a whole number of minutes; it is taken as 30.",
      "6: TimeOutMin [] is not a whole number of minutes; it is taken as 0: the program is never "
      "timed out."}},
    {"a key given twice in one block",
     "TimeOutMin: 5\nApplicationPath: a.exe\nTimeOutMin: 9\nApplicationPath: b.exe\n"
     "TimeOutMin: 9\nApplicationArgument: -a\nApplicationArgument: -b\n",
     {"3: TimeOutMin is given twice in one program block (lines 1 and 3): the later value [9] is "
      "used.",
      "7: ApplicationArgument is given twice in one program block (lines 6 and 7): the later value "
      "[-b] is used."}},
    {"a TavrelonLog before its block's ApplicationPath",
     "ApplicationPath: a.exe\nTavrelonLog: early.csv\nApplicationPath:\n"
     "TavrelonLog: lost.csv\nApplicationPath: b.exe\nTavrelonLog: kept.csv\n",
     {"4: TavrelonLog comes before its block's ApplicationPath (line 5), which replaces it with "
      "the default name; move it below."}},
    {"a log folder that is missing, a file or empty",
     "ApplicationPath: a.exe\nApplicationLogDir: {dir}/missing\nApplicationPath: b.exe\n"
     "ApplicationLogDir: {dir}/file.csv\nTimeOutMin: 1\nApplicationPath: c.exe\n"
     "ApplicationLogDir:\nTimeOutMin: 0\n",
     {"2: ApplicationLogDir [{dir}/missing] does not exist: no log can grow there until something "
      "creates it, so each run is timed out after 2 minutes.",
      "4: ApplicationLogDir [{dir}/file.csv] is not a folder that can be read: no log can grow "
      "there, so each run is timed out after 1 minute.",
      "7: ApplicationLogDir is empty: no log is watched."}},
    {"the later of two log folders is checked",
     "ApplicationPath: a.exe\nApplicationLogDir: {dir}/missing\nApplicationLogDir: {dir}\n",
     {"3: ApplicationLogDir is given twice in one program block (lines 2 and 3): the later value "
      "[{dir}] is used."}},
    {"control characters and a long key",
     "ApplicationPath: a.exe\nK\x01y: v\n"
     "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
     "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
     "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
     "\xCE\xB1x: v\nx"
     "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
     "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
     "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1: "
     "v\n",
     {"2: unknown key [K?y] is ignored.",
      "3: unknown key [\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
      "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
      "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1...] is "
      "ignored.",
      "4: unknown key "
      "[x\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
      "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1"
      "\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1\xCE\xB1...] is ignored."}},
};

TEST(ConfigWarnings, EachMistakeIsSaidOnceWithItsLineAndACleanFileSaysNothing) {
  for (const Case& c : kCases) {
    test::TempDir dir;
    test::writeFile(dir.file("file.csv"), "a,b\n");
    // Folders are written with "/", which both platforms take inside a path.
    const std::string folder = dir.path();
    const std::string configuration = within(c.configuration, folder);
    test::writeFile(dir.file("TavrelonConfig.ini"), configuration);

    std::vector<std::string> warnings{"left over"};
    const std::vector<ProgramConfig> checked =
        readConfigFile(dir.file("TavrelonConfig.ini"), fixedDefaults(dir.path()), warnings);
    std::vector<std::string> expected;
    for (const char* warning : c.warnings)
      expected.push_back("Warning: TavrelonConfig.ini line " + within(warning, folder));
    EXPECT_EQ(warnings, expected) << c.name;

    // The warnings change nothing in what is supervised.
    const std::vector<ProgramConfig> plain =
        readConfigFile(dir.file("TavrelonConfig.ini"), fixedDefaults(dir.path()));
    ASSERT_EQ(checked.size(), plain.size()) << c.name;
    for (std::size_t i = 0; i < plain.size(); ++i) {
      EXPECT_EQ(checked[i].applicationPath, plain[i].applicationPath) << c.name;
      EXPECT_EQ(checked[i].applicationLogDir, plain[i].applicationLogDir) << c.name;
      EXPECT_EQ(checked[i].timeOutMin, plain[i].timeOutMin) << c.name;
      EXPECT_EQ(checked[i].applicationArgument, plain[i].applicationArgument) << c.name;
    }
  }
}

TEST(ConfigWarnings, ManyMistakesAreListedUpToALimitAndTheRestCounted) {
  std::string configuration = "ApplicationPath: a.exe\n";
  const std::size_t mistakes = kMaxListedConfigWarnings + 5000;
  for (std::size_t i = 0; i < mistakes; ++i)
    configuration += "Colour: blue\n";
  test::TempDir dir;
  test::writeFile(dir.file("TavrelonConfig.ini"), configuration);
  std::vector<std::string> warnings;
  readConfigFile(dir.file("TavrelonConfig.ini"), fixedDefaults(dir.path()), warnings);
  ASSERT_EQ(warnings.size(), kMaxListedConfigWarnings + 1);
  EXPECT_EQ(warnings.front(),
            "Warning: TavrelonConfig.ini line 2: unknown key [Colour] is ignored.");
  EXPECT_EQ(warnings.back(), "Warning: TavrelonConfig.ini line " +
                                 std::to_string(kMaxListedConfigWarnings + 2) +
                                 ": 5000 more mistakes from here on, not listed.");
}

TEST(ConfigWarnings, AFileThatCannotBeOpenedGivesNoRecordsAndNoWarnings) {
  test::TempDir dir;
  std::vector<std::string> warnings{"left over"};
  EXPECT_TRUE(readConfigFile(dir.file("missing.ini"), fixedDefaults(dir.path()), warnings).empty());
  EXPECT_TRUE(warnings.empty());
}

}  // namespace
}  // namespace tavrelon
