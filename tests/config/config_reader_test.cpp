#include "config/config_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

#include "driver/watchdog.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

using namespace std::string_literals;

using test::S;

// `text` with every backslash turned into this platform's separator, so paths
// can be written the way users write them.
std::string native(std::string text) {
  for (char& c : text) {
    if (c == '\\')
      c = platform::separator();
  }
  return text;
}

// The watchdog's folder and run stamp the reader is given here, fixed so that
// every derived name is known exactly.
const std::string kWatchdogDir = "E:" + S + "Watch";
const std::string kStamp = "20240601093005";

StatusLogDefaults fixedDefaults() {
  return StatusLogDefaults{kWatchdogDir, [] { return kStamp; }};
}

// Writes `content` as a configuration file and reads it back.
std::vector<ProgramConfig> readConfig(const std::string& content) {
  test::TempDir dir;
  test::writeFile(dir.file("TavrelonConfig.ini"), content);
  return readConfigFile(dir.file("TavrelonConfig.ini"), fixedDefaults());
}

// The one record of a file that must give exactly one.
ProgramConfig readSingle(const std::string& content) {
  std::vector<ProgramConfig> records = readConfig(content);
  EXPECT_EQ(records.size(), 1u);
  return records.empty() ? ProgramConfig() : records.front();
}

std::string defaultStatusLog() {
  return kWatchdogDir + S + "TavrelonLog.csv";
}

// The status log derived for the program file `name`: the watchdog's folder,
// "TavrelonLog_", the name, "_", the run stamp and ".csv".
std::string derivedStatusLog(const std::string& name) {
  return kWatchdogDir + S + "TavrelonLog_" + name + "_" + kStamp + ".csv";
}

TEST(ReadConfigFile, TheWatchdogsDefaultsAreItsOwnFolderAndTheLocalTimeNow) {
  const std::string before = platform::localTime("%Y%m%d%H%M%S");
  const StatusLogDefaults defaults = watchdogStatusLogDefaults();
  const std::string stamp = defaults.stamp();
  const std::string after = platform::localTime("%Y%m%d%H%M%S");
  EXPECT_EQ(defaults.directory, platform::executableDirectory());
  EXPECT_EQ(stamp.size(), 14u);
  EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << stamp;
  EXPECT_LE(before, stamp);
  EXPECT_LE(stamp, after);
}

TEST(ReadConfigFile, ReadsTheTwoBlockExampleIntoTwoRecords) {
  const std::string content = native(
      "#supervised programs\n"
      "ApplicationLogDir: D:\\shared\\logs\n"
      "ApplicationPath: D:\\Tests\\alpha.exe\n"
      "ApplicationArgument: -suite \"nightly run\"\n"
      "TimeOutMin: 30\n"
      "\n"
      "ApplicationPath : \"D:\\Tests\\beta.exe\"\n"
      "DebugOrNot: true\n"
      "DebugCrashScript: \\crash.bat\n"
      "TavrelonLog: D:\\status\\beta.csv\n"
      "Colour: blue\n");
  std::vector<ProgramConfig> records = readConfig(content);
  ASSERT_EQ(records.size(), 2u);

  const ProgramConfig& alpha = records[0];
  EXPECT_EQ(alpha.applicationPath, native("D:\\Tests\\alpha.exe"));
  EXPECT_EQ(alpha.applicationArgument, "-suite \"nightly run\"");
  EXPECT_EQ(alpha.applicationLogDir, native("D:\\shared\\logs"));
  EXPECT_EQ(alpha.statusLogPath, derivedStatusLog("alpha.exe"));
  EXPECT_EQ(alpha.dllDir, "");
  EXPECT_FALSE(alpha.debugOrNot);
  EXPECT_EQ(alpha.timeOutMin, 30);
  EXPECT_EQ(alpha.debugCrashScript, "");
  EXPECT_EQ(alpha.debugTimeoutScript, "");

  const ProgramConfig& beta = records[1];
  EXPECT_EQ(beta.applicationPath, native("D:\\Tests\\beta.exe"));
  EXPECT_EQ(beta.applicationArgument, "");
  EXPECT_EQ(beta.applicationLogDir, "");  // the first block's entry stays there
  EXPECT_EQ(beta.statusLogPath, native("D:\\status\\beta.csv"));
  EXPECT_EQ(beta.dllDir, "");
  EXPECT_TRUE(beta.debugOrNot);
  EXPECT_EQ(beta.timeOutMin, 2);
  EXPECT_EQ(beta.debugCrashScript, native("\\crash.bat"));
  EXPECT_EQ(beta.debugTimeoutScript, "");
}

TEST(ReadConfigFile, FileWithoutApplicationPathGivesOneRecordWithStartingValues) {
  for (const std::string content : {"", "# only a comment\n#another", "Colour: blue\n"}) {
    ProgramConfig record = readSingle(content);
    EXPECT_EQ(record.applicationPath, "") << content;
    EXPECT_EQ(record.statusLogPath, defaultStatusLog()) << content;
    EXPECT_EQ(record.timeOutMin, 2) << content;
    EXPECT_FALSE(record.debugOrNot) << content;
  }
  // Other entries are still applied, and TavrelonLog replaces the starting name as given.
  ProgramConfig record = readSingle("dllDir: lib\nTimeOutMin: 9\nTavrelonLog: status.csv");
  EXPECT_EQ(record.applicationPath, "");
  EXPECT_EQ(record.dllDir, "lib");
  EXPECT_EQ(record.timeOutMin, 9);
  EXPECT_EQ(record.statusLogPath, "status.csv");
}

TEST(ReadConfigFile, MissingOrUnreadableFileGivesNoRecords) {
  test::TempDir dir;
  EXPECT_TRUE(readConfigFile(dir.file("TavrelonConfig.ini"), fixedDefaults()).empty());
  // A directory in the file's place cannot be read as one.
  EXPECT_TRUE(readConfigFile(dir.path(), fixedDefaults()).empty());
}

TEST(ReadConfigFile, OnlyAHashInTheFirstColumnMakesAComment) {
  ProgramConfig record = readSingle(
      "#TimeOutMin: 7\n"
      "  #TimeOutMin: 8\n"  // an entry with key "#TimeOutMin", which nothing uses
      "ApplicationPath: a.exe\n"
      "ApplicationArgument: -x #1\n"
      "dllDir: lib#2\n");
  EXPECT_EQ(record.timeOutMin, 2);
  EXPECT_EQ(record.applicationArgument, "-x #1");
  EXPECT_EQ(record.dllDir, "lib#2");
}

TEST(ReadConfigFile, KeysAreTrimmedOfSpacesButMatchedCaseSensitively) {
  ProgramConfig record = readSingle(
      "applicationpath: lower.exe\n"
      "TIMEOUTMIN: 5\n"
      "   TimeOutMin   :   7   \n"
      "dlldir: x\n"
      "\tdllDir: tabbed\n");  // a tab is not trimmed, so the key does not match
  EXPECT_EQ(record.applicationPath, "");
  EXPECT_EQ(record.timeOutMin, 7);
  EXPECT_EQ(record.dllDir, "");
}

TEST(ReadConfigFile, SplitsAtTheFirstColonOnly) {
  ProgramConfig record = readSingle(
      native("ApplicationPath: C:\\x.exe\n"
             "ApplicationArgument: --at=10:30 -y\n"
             "Colour\n"));  // no colon: key and value are the whole line, and nothing uses it
  EXPECT_EQ(record.applicationPath, native("C:\\x.exe"));
  EXPECT_EQ(record.applicationArgument, "--at=10:30 -y");
}

TEST(ReadConfigFile, StripsQuotesFromEveryValueButTheArgument) {
  ProgramConfig record =
      readSingle(native("ApplicationLogDir: \"D:\\My Logs\"\n"
                        "ApplicationArgument:  \"D:\\My Logs\"  \n"
                        "dllDir: \"\"\n"
                        "DebugCrashScript: \"\" spaced \"\"\n"
                        "DebugTimeoutScript:\t\"t.bat\"\n"));
  EXPECT_EQ(record.applicationLogDir, native("D:\\My Logs"));
  EXPECT_EQ(record.applicationArgument, native("\"D:\\My Logs\""));
  EXPECT_EQ(record.dllDir, "");
  // Quotes go after the spaces, so spaces inside them stay.
  EXPECT_EQ(record.debugCrashScript, " spaced ");
  // A tab after the colon stays at the front and shields the opening quote.
  EXPECT_EQ(record.debugTimeoutScript, "\t\"t.bat");
}

TEST(ReadConfigFile, ApplicationPathOpensBlocksAndLaterEntriesWin) {
  std::vector<ProgramConfig> records = readConfig(
      native("TavrelonLog: early.csv\n"  // replaced by the first block's derived name
             "TimeOutMin: 4\n"           // belongs to the first program only
             "ApplicationPath: one.exe\n"
             "dllDir: first\n"
             "dllDir: second\n"
             "ApplicationPath:\n"  // closes the begun record and opens one with an empty path
             "ApplicationLogDir: logs\n"
             "ApplicationPath: \\tools\\two.exe\n"  // fills that record
             "ApplicationPath\n"));                 // the bare word is the path
  ASSERT_EQ(records.size(), 3u);

  EXPECT_EQ(records[0].applicationPath, "one.exe");
  EXPECT_EQ(records[0].timeOutMin, 4);
  EXPECT_EQ(records[0].dllDir, "second");
  EXPECT_EQ(records[0].statusLogPath, derivedStatusLog("one.exe"));

  EXPECT_EQ(records[1].applicationPath, native("\\tools\\two.exe"));
  EXPECT_EQ(records[1].applicationLogDir, "logs");
  EXPECT_EQ(records[1].timeOutMin, 2);
  EXPECT_EQ(records[1].dllDir, "");
  EXPECT_EQ(records[1].statusLogPath, derivedStatusLog("two.exe"));

  EXPECT_EQ(records[2].applicationPath, "ApplicationPath");
  EXPECT_EQ(records[2].applicationLogDir, "");
  EXPECT_EQ(records[2].statusLogPath, derivedStatusLog("ApplicationPath"));
}

TEST(ReadConfigFile, EachSwitchIsOnOnlyForLowerCaseTrueAndOnlyItself) {
  using Switch = bool ProgramConfig::*;
  const std::pair<const char*, Switch> switches[] = {
      {"DebugOrNot", &ProgramConfig::debugOrNot},
      {"EvidenceFullDump", &ProgramConfig::evidenceFullDump},
      {"ResumeQueue", &ProgramConfig::resumeQueue},
      {"AllowSleep", &ProgramConfig::allowSleep}};
  for (const auto& [key, member] : switches) {
    const std::string name = key;
    const ProgramConfig on = readSingle(name + ": true");
    for (const auto& [other, otherMember] : switches)
      EXPECT_EQ(on.*otherMember, other == name) << name << " turned on " << other;
    EXPECT_TRUE(readSingle(name + ": \"true\"").*member) << name;
    for (const char* value : {"TRUE", "True", "1", "yes", "true!", ""})
      EXPECT_FALSE(readSingle(name + ": " + value).*member) << name << " " << value;
    // A later false value switches it off again.
    EXPECT_FALSE(readSingle(name + ": true\n" + name + ": false").*member) << name;
  }
}

TEST(ReadConfigFile, ReadsTheEvidenceKeysWithTheirDefaults) {
  const ProgramConfig plain = readSingle("TimeOutMin: 5");
  EXPECT_EQ(plain.evidenceDir, "");
  EXPECT_FALSE(plain.evidenceFullDump);
  EXPECT_EQ(plain.evidenceMaxMB, 2048);
  // Kept as written, relative paths too, as TavrelonLog's.
  const ProgramConfig set =
      readSingle("EvidenceDir: \"evidence dir\"\nEvidenceFullDump: true\nEvidenceMaxMB: 100");
  EXPECT_EQ(set.evidenceDir, "evidence dir");
  EXPECT_TRUE(set.evidenceFullDump);
  EXPECT_EQ(set.evidenceMaxMB, 100);
  EXPECT_FALSE(readSingle("EvidenceFullDump: yes").evidenceFullDump);
  EXPECT_EQ(readSingle("EvidenceMaxMB: 0").evidenceMaxMB, 0);
  // A cap that is no size keeps the default rather than emptying the folder.
  for (const char* value : {"-5", "", "lots"})
    EXPECT_EQ(readSingle(std::string("EvidenceMaxMB: ") + value).evidenceMaxMB, 2048) << value;
}

TEST(ReadConfigFile, ReadsTimeOutMinAsALeadingInteger) {
  EXPECT_EQ(readSingle("TimeOutMin: 5min").timeOutMin, 5);
  EXPECT_EQ(readSingle("TimeOutMin: abc").timeOutMin, 0);
  EXPECT_EQ(readSingle("TimeOutMin: \"-3\"").timeOutMin, -3);
  EXPECT_EQ(readSingle("TimeOutMin: 123456789012345678901234567890").timeOutMin,
            std::numeric_limits<std::int32_t>::max());
}

TEST(ParseTimeOutMin, SkipsWhiteSpaceTakesSignAndDigitsUpToTheFirstNonDigit) {
  EXPECT_EQ(parseTimeOutMin("30"), 30);
  EXPECT_EQ(parseTimeOutMin("007"), 7);
  EXPECT_EQ(parseTimeOutMin(" \t\r\n\v\f12"), 12);
  EXPECT_EQ(parseTimeOutMin("+8"), 8);
  EXPECT_EQ(parseTimeOutMin("-7 minutes"), -7);
  EXPECT_EQ(parseTimeOutMin("1.5"), 1);
  for (const char* noDigits : {"", "abc", "-", "+", "- 5", "+-5", "x5"}) {
    EXPECT_EQ(parseTimeOutMin(noDigits), 0) << noDigits;
  }
}

TEST(ParseTimeOutMin, SaturatesAtThe32BitLimits) {
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  const std::int32_t min = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(parseTimeOutMin("2147483647"), max);
  EXPECT_EQ(parseTimeOutMin("2147483648"), max);
  EXPECT_EQ(parseTimeOutMin("-2147483648"), min);
  EXPECT_EQ(parseTimeOutMin("-2147483649"), min);
  EXPECT_EQ(parseTimeOutMin("9223372036854775808"), max);  // beyond 64 bits too
  EXPECT_EQ(parseTimeOutMin(std::string(100000, '9')), max);
  EXPECT_EQ(parseTimeOutMin("-" + std::string(100000, '9')), min);
  EXPECT_EQ(parseTimeOutMin("0000000000000000000042"), 42);
}

TEST(ReadConfigFile, CrLfFileLoneCrFileAndAByteOrderMarkReadLikeAnLfFile) {
  const std::string lf =
      "# c\nApplicationPath: a.exe\nApplicationArgument: \"x y\"\nTimeOutMin: 3\n\n"
      "ApplicationPath: b.exe\nTavrelonLog: b.csv\nDebugOrNot: true";
  std::string crlf, cr;
  for (char c : lf) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    cr += c == '\n' ? '\r' : c;
  }
  std::vector<ProgramConfig> fromLf = readConfig(lf);
  std::vector<ProgramConfig> fromCrLf = readConfig(crlf);
  ASSERT_EQ(fromLf.size(), 2u);
  for (const std::vector<ProgramConfig>& other : {fromCrLf, readConfig(cr)}) {
    ASSERT_EQ(other.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(other[i].applicationPath, fromLf[i].applicationPath);
      EXPECT_EQ(other[i].applicationArgument, fromLf[i].applicationArgument);
      EXPECT_EQ(other[i].timeOutMin, fromLf[i].timeOutMin);
      EXPECT_EQ(other[i].debugOrNot, fromLf[i].debugOrNot);
    }
  }
  EXPECT_EQ(fromCrLf[0].applicationArgument, "\"x y\"");
  EXPECT_EQ(fromCrLf[1].statusLogPath, "b.csv");
  EXPECT_TRUE(fromCrLf[1].debugOrNot);  // last line, no line end
  // A byte-order mark before the first key is skipped; one anywhere else is text.
  std::vector<ProgramConfig> fromBom = readConfig("\xEF\xBB\xBF" + crlf.substr(5));
  ASSERT_EQ(fromBom.size(), 2u);
  EXPECT_EQ(fromBom[0].applicationPath, "a.exe");
  EXPECT_EQ(fromBom[0].timeOutMin, 3);
  EXPECT_EQ(readSingle("ApplicationPath: a.exe\n\xEF\xBB\xBFTimeOutMin: 3").timeOutMin, 2);
}

TEST(ReadConfigFile, ReadsNulBytesAndBinaryDataWithoutHarm) {
  ProgramConfig record =
      readSingle("ApplicationPath: a\0b.exe\nTime\0OutMin: 9\nTimeOutMin: 5\0 7\ndllDir: \0\n"s);
  EXPECT_EQ(record.applicationPath, std::string("a\0b.exe", 7));
  EXPECT_EQ(record.timeOutMin, 5);
  EXPECT_EQ(record.dllDir, std::string(1, '\0'));

  std::mt19937 random(20240601);
  std::string noise(1 << 20, '\0');
  for (char& c : noise)
    c = static_cast<char>(random());
  EXPECT_FALSE(readConfig(noise).empty());
}

TEST(ReadConfigFile, ReadsHugeLinesAndMillionsOfLinesInLinearTime) {
  // A 4 MB value, and 4 MB runs of spaces and quotes that trimming must not
  // walk one character at a time.
  const std::string big(4 << 20, 'x');
  ProgramConfig record = readSingle("ApplicationPath: " + std::string(4 << 20, ' ') + "\"" + big +
                                    std::string(4 << 20, '"') + "\n" + std::string(4 << 20, ':'));
  EXPECT_EQ(record.applicationPath, big);

  // A million short lines, every tenth opening a block.
  std::string many;
  for (int i = 0; i < 1000000; ++i) {
    many += i % 10 == 0 ? "ApplicationPath: p.exe\n" : "TimeOutMin: 3\n";
  }
  std::vector<ProgramConfig> records = readConfig(many);
  ASSERT_EQ(records.size(), 100000u);
  EXPECT_EQ(records.back().timeOutMin, 3);
}

}  // namespace
}  // namespace tavrelon
