// tavrelon_report as a user runs it, on status logs the real watchdog wrote:
// the page it draws of them, its messages and exit status for bad input, and
// that it leaves the logs exactly as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "logging/status_log.h"
#include "night_fixture.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/test_seams.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// Every file under `folder` with its bytes.
std::vector<std::pair<std::string, std::string>> snapshot(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    files.emplace_back(entry.path().string(), test::readFile(entry.path().string()));
  std::sort(files.begin(), files.end());
  return files;
}

TEST(ReportEndToEnd, DrawsANightOfTheWatchdogAndNamesWhatItSkipped) {
  test::TempDir dir;
  const std::string status = test::runWatchdogNight(dir);
  const std::string& s = test::S;
  const std::string alphaLog = status + s + "hostA" + s + "alpha.csv";
  const std::vector<StatusRecord> alpha = readStatusLog(alphaLog);
  const std::vector<StatusRecord> beta = readStatusLog(status + s + "hostB" + s + "beta.csv");
  ASSERT_EQ(alpha.size(), 2u);
  ASSERT_EQ(beta.size(), 1u);
  const auto before = snapshot(status);

  // The folder, a missing path and a program's own CSV file.
  const std::string results = status + s + "hostA" + s + "results.csv";
  std::string output, errors;
  EXPECT_EQ(test::runReport(
                dir.path(),
                "-o night.html \"" + status + "\" \"" + dir.file("gone") + "\" \"" + results + "\"",
                output, errors),
            1);
  EXPECT_EQ(output, "night.html\n");
  EXPECT_EQ(errors, "Error: No such file or folder [" + dir.file("gone") + "]\n" +
                        "Error: Not a status log, skipped [" + results + "]\n");
  EXPECT_EQ(snapshot(status), before) << "the report changed or added a file beside the logs";

  const std::string page = test::readFile(dir.file("night.html"));
  EXPECT_EQ(count(page, "<g class=\"lane\""), 2u);
  EXPECT_EQ(count(page, "<rect class=\"run "), 3u);
  EXPECT_EQ(count(page, "<rect class=\"run crashed\""), 1u);
  EXPECT_EQ(count(page, "<rect class=\"run finished\""), 2u);
  for (const StatusRecord& row : {alpha[0], alpha[1], beta[0]})
    EXPECT_NE(page.find("<title>" + row.applicationId + "\n" + row.runningStatus + "\n" +
                        row.startTime + " \xE2\x80\x93 " + row.endTime),
              std::string::npos)
        << row.applicationId;
  // The crash is the one failure, with the fake program's last line apart from its path.
  EXPECT_EQ(alpha[0].runningStatus, "crashed");
  EXPECT_EQ(count(page, "<li class=\"end "), 1u);
  std::smatch line;
  ASSERT_TRUE(std::regex_search(alpha[0].latestLog, line, std::regex(R"(\] (line 3 \d+)$)")));
  const std::string program = platform::finalNameOf(test::builtProgram("fake_program"));
  // The failure with its workstation, program and last line, linked to the
  // summary.txt of the evidence the watchdog left, found under the status
  // folder, with the exit code it gives.
  const std::string summary = "status/hostA/evidence/" + alpha[0].applicationId + "/summary.txt";
  ASSERT_TRUE(fs::is_regular_file(dir.file(summary)));
  EXPECT_NE(page.find("<span class=\"where\">hostA \xC2\xB7 " + program +
                      "</span> <b class=\"crashed\">crashed</b> " + alpha[0].endTime.substr(11, 5) +
                      " \xC2\xB7 <span class=\"line\">" + line[1].str() +
                      "</span> <a class=\"evidence\" href=\"" + summary + "\" title=\"" +
                      platform::resolvedPath(dir.file(summary)) + " \xC2\xB7 exit code 3"),
            std::string::npos);
  EXPECT_NE(page.find("\">evidence</a> <span class=\"exit\">exit code 3"), std::string::npos);
  // Summary: the program linked to its status log; runs, finished, crashed,
  // timed out, interrupted, stopped.
  EXPECT_NE(
      page.find("<a href=\"status/hostA/alpha.csv\">" + program + "</a></td><td title=\"finished "),
      std::string::npos);
  EXPECT_NE(page.find("<td class=\"n\">2</td><td class=\"n\">1</td><td class=\"n\">1</td><td "
                      "class=\"n\">0</td><td class=\"n\">0</td><td class=\"n\">0</td>"),
            std::string::npos);

  // Without -o: a page named by the time in the current folder, its name printed.
  test::TempDir here;
  EXPECT_EQ(test::runReport(here.path(), "\"" + alphaLog + "\"", output, errors), 0);
  EXPECT_TRUE(std::regex_match(output, std::regex(R"(TavrelonReport_\d{14}\.html\n)"))) << output;
  EXPECT_EQ(errors, "");
  EXPECT_TRUE(fs::is_regular_file(here.file(output.substr(0, output.size() - 1))));

  // No page where it cannot be written, and never in place of a log it reads.
  const std::string nowhere = dir.file("no-such-folder") + s + "page.html";
  EXPECT_EQ(
      test::runReport(dir.path(), "-o \"" + nowhere + "\" \"" + status + "\"", output, errors), 2);
  EXPECT_EQ(errors, "Error: Cannot write the report [" + nowhere + "]\n");
  EXPECT_EQ(
      test::runReport(dir.path(), "-o \"" + alphaLog + "\" \"" + status + "\"", output, errors), 2);
  EXPECT_EQ(errors, "Error: The page would replace the status log [" + alphaLog + "]\n");
  EXPECT_EQ(output, "");
  EXPECT_EQ(snapshot(status), before);
}

// A status log of one finished run of `program` at <folder>/<name>, now-ish.
void writeLog(const std::string& folder, const std::string& name, const std::string& program) {
  fs::create_directories(folder);
  const std::string path = folder + "/" + name;
  test::writeFile(path, "");
  ASSERT_EQ(writeStatusLog({StatusRecord{program + "_1", "finished", "2026-01-01 10:00:00",
                                         "2026-01-01 11:00:00", "N/A"}},
                           path),
            StatusLogOutcome::Done);
}

TEST(ReportEndToEnd, ThePageNeverGoesThroughALinkNorOverAFileNotItsOwn) {
  test::TempDir dir;
  writeLog(dir.file("night/ws01"), "a.csv", "a.exe");
  test::writeFile(dir.file("private"), "someone's own");
  test::writeFile(dir.file("notes.html"), "<!DOCTYPE html>\nmy notes");
  std::error_code linked;
  fs::create_symlink(dir.file("private"), dir.file("page.html"), linked);
  std::string output, errors;
  if (!linked) {
    EXPECT_EQ(test::runReport(dir.path(), "-o page.html night", output, errors), 2);
    EXPECT_EQ(errors, "Error: The page would be written through a link, not written [page.html]\n");
    EXPECT_TRUE(fs::is_symlink(dir.file("page.html")));
  }
  EXPECT_EQ(test::runReport(dir.path(), "-o notes.html night", output, errors), 2);
  EXPECT_EQ(errors,
            "Error: A file that is no page of tavrelon_report is in the way, not replaced "
            "[notes.html]\n");
  EXPECT_EQ(test::readFile(dir.file("private")), "someone's own");
  EXPECT_EQ(test::readFile(dir.file("notes.html")), "<!DOCTYPE html>\nmy notes");

  // Its own page it replaces, with nothing left beside it.
  EXPECT_EQ(test::runReport(dir.path(), "-o own.html night", output, errors), 0) << errors;
  writeLog(dir.file("night/ws02"), "b.csv", "b.exe");
  EXPECT_EQ(test::runReport(dir.path(), "-o own.html night", output, errors), 0) << errors;
  EXPECT_EQ(count(test::readFile(dir.file("own.html")), "<g class=\"lane\""), 2u);
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path()))
    names.insert(entry.path().filename().string());
  std::set<std::string> expected{"night", "notes.html", "own.html", "private"};
  if (!linked)
    expected.insert("page.html");
  EXPECT_EQ(names, expected);
}

TEST(ReportEndToEnd, ASearchStaysInTheFoldersGivenAndNamesTheCsvFilesItCannotOpen) {
  test::TempDir dir;
  writeLog(dir.file("night/ws01"), "a.csv", "a.exe");
  writeLog(dir.file("elsewhere/ws09"), "secret.csv", "secret.exe");
  std::error_code linked;
  fs::create_directory_symlink(dir.file("elsewhere"), dir.file("night/rootfs"), linked);
  if (linked)
    GTEST_SKIP() << "no symbolic links here: " << linked.message();
  // A link inside the tree is followed; one to nothing is a CSV file not opened.
  fs::create_directory_symlink(dir.file("night/ws01"), dir.file("night/ws01-again"));
  fs::create_symlink(dir.file("night/gone.csv"), dir.file("night/ws01/broken.csv"));
  // A link out to a file: named when it is a CSV file, never read.
  fs::create_symlink(dir.file("elsewhere/ws09/secret.csv"), dir.file("night/ws01/secret.csv"));
  fs::create_symlink(dir.file("elsewhere/ws09/secret.csv"), dir.file("night/ws01/secret.txt"));
  const std::string& s = test::S;
  const std::string ws01 = "night" + s + "ws01" + s;
  std::string expected = "Error: Link out of the given folders, not followed [night" + s +
                         "rootfs]\nError: Cannot open, skipped [" + ws01 + "broken.csv]\n";
  if (!test::runningAsRoot()) {
    writeLog(dir.file("night/ws01"), "locked.csv", "locked.exe");
    fs::permissions(dir.file("night/ws01/locked.csv"), fs::perms::none);
    expected += "Error: Cannot open, skipped [" + ws01 + "locked.csv]\n";
  }
  expected += "Error: Link out of the given folders, not followed [" + ws01 + "secret.csv]\n";
  std::string output, errors;
  EXPECT_EQ(test::runReport(dir.path(), "-o page.html night", output, errors), 1);
  EXPECT_EQ(errors, expected);
  const std::string page = test::readFile(dir.file("page.html"));
  EXPECT_EQ(count(page, "<g class=\"lane\""), 1u);
  EXPECT_EQ(page.find("secret"), std::string::npos);
}

TEST(ReportEndToEnd, TimesAtTheEndsOfTheCalendarGiveAPageThatSaysSo) {
  test::TempDir dir;
  fs::create_directories(dir.file("night"));
  test::writeFile(dir.file("night/a.csv"), "");
  ASSERT_EQ(
      writeStatusLog(
          {StatusRecord{"a.exe_1", "finished", "2026-01-01 10:00:00", "9999-12-31 23:59:59", "N/A"},
           StatusRecord{"a.exe_2", "crashed", "1601-01-01 00:00:00", "9999-12-31 23:59:59", "N/A"},
           StatusRecord{"a.exe_3", "crashed", "0000-01-01 00:00:00", "2026-01-01 10:00:00", "N/A"}},
          dir.file("night/a.csv")),
      StatusLogOutcome::Done);
  std::string output, errors;
  EXPECT_EQ(test::runReport(dir.path(), "-o page.html night", output, errors), 0) << errors;
  const std::string page = test::readFile(dir.file("page.html"));
  EXPECT_NE(page.find("1 runs end far after the report's time"), std::string::npos);
  EXPECT_EQ(count(page, "Start_Time before 2000, off the timeline"), 2u);
  EXPECT_LT(page.size(), 100000u);
}

TEST(ReportEndToEnd, WithoutPathItReportsOnTheLogsBesideItselfAndWatchRewritesThePage) {
  test::TempDir dir;
  const std::string program = test::copyOfProgram("tavrelon_report", dir.file("Tavrelon"));
  writeLog(dir.file("Tavrelon"), "TavrelonLog_a.exe_20260101_100000.csv", "a.exe");
  std::string output, errors;
  // Started from a shell it shares the shell's console: it never waits.
  ASSERT_EQ(test::runCapturingOutput(program, "", output), 0);
  std::string page = test::withoutCarriageReturns(output);
  ASSERT_TRUE(std::regex_match(page, std::regex(".*TavrelonReport_\\d{14}\\.html\n"))) << page;
  EXPECT_EQ(platform::directoryOf(page.substr(0, page.size() - 1)), dir.file("Tavrelon"));
  EXPECT_NE(test::readFile(page.substr(0, page.size() - 1)).find("<g class=\"lane\""),
            std::string::npos);

  // In a console of its own (a double-click on Windows) it waits for Enter
  // before its window closes; on POSIX a new session has no console to keep.
  {
    platform::ProcessLaunch launch;
    launch.path = program;
    launch.withArguments = false;
    platform::ProcessRecord record;
    std::uint32_t error = 0;
    ASSERT_TRUE(platform::startProcess(launch, record, error)) << error;
    std::uint32_t exitCode = 0;
    const bool ended = test::waitUntil(
        [&] {
          return platform::processState(record.hProcess, exitCode) !=
                 platform::ProcessState::Running;
        },
        std::chrono::seconds(3));
    // Wine's hidden consoles read end-of-file at once, so there it ends too
    // (the wait itself is a check by hand on Windows).
    EXPECT_EQ(ended, !platform::isWindows() || platform::runningUnderWineForTesting());
    platform::terminateProcess(record);
  }

  // --watch: the page again every second, each time from the logs as they are.
  platform::ProcessLaunch launch;
  launch.path = program;
  launch.arguments =
      "--watch 1 -o \"" + dir.file("live.html") + "\" \"" + dir.file("Tavrelon") + "\"";
  launch.newConsole = false;
  platform::ProcessRecord record;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::startProcess(launch, record, error)) << error;
  EXPECT_TRUE(test::waitUntil([&] {
    return test::readFile(dir.file("live.html")).find("content=\"1\"") != std::string::npos;
  }));
  writeLog(dir.file("Tavrelon"), "b.csv", "b.exe");
  EXPECT_TRUE(test::waitUntil(
      [&] { return count(test::readFile(dir.file("live.html")), "<g class=\"lane\"") == 2; }));
  platform::terminateProcess(record);
  std::uint32_t code = 0;
  test::waitForEnd(record, code);
}

// Runs tavrelon_report on `log` in `folder` with 60 000 KiB of address space;
// its exit status.
int reportWithLittleMemory(const std::string& folder, const std::string& log) {
  const std::string command = "ulimit -v 60000; cd \"" + folder + "\" && \"" +
                              test::builtProgram("tavrelon_report") + "\" -o page.html " + log +
                              " > out 2> err";
  const int result = std::system(command.c_str());
  return (result >> 8) & 0xFF;
}

// The address-space limit is set by the POSIX shell, and the address sanitizer
// reserves more than the limit allows.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_WITHOUT_MEMORY_LIMIT() \
  GTEST_SKIP() << "the address sanitizer reserves more than the limit allows"
#else
#define SKIP_WITHOUT_MEMORY_LIMIT() \
  if (platform::isWindows())        \
  GTEST_SKIP() << "the limit is set by the POSIX shell"
#endif

TEST(ReportEndToEnd, OutOfMemoryItSaysSoOnceAndWritesNoPage) {
  SKIP_WITHOUT_MEMORY_LIMIT();
  test::TempDir dir;
  // 35 MB of rows: more than 60 MB of address space holds once read.
  std::vector<StatusRecord> rows(
      200000, StatusRecord{"a.exe_1", "crashed", "2026-01-01 10:00:00", "2026-01-01 10:00:01",
                           "[C:\\l.csv] " + std::string(100, 'x')});
  test::writeFile(dir.file("big.csv"), "");
  ASSERT_EQ(writeStatusLog(rows, dir.file("big.csv")), StatusLogOutcome::Done);
  rows.clear();
  EXPECT_EQ(reportWithLittleMemory(dir.path(), "big.csv"), 2);
  EXPECT_EQ(test::readFile(dir.file("err")), "Error: Out of memory; no page written.\n");
  EXPECT_EQ(test::readFile(dir.file("out")), "");
  EXPECT_FALSE(fs::exists(dir.file("page.html")));
}

TEST(ReportEndToEnd, ALogLargerThanItsMemoryIsReadALineAtATime) {
  SKIP_WITHOUT_MEMORY_LIMIT();
  test::TempDir dir;
  // 70 MB of rows that keep little each (times that cannot be placed are
  // counted past the first thousand): more than the address space given.
  std::string log = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log\r\n";
  const std::string line =
      "a.exe_1,crashed,not a time,,[C:\\l.csv] " + std::string(100, 'x') + "\r\n";
  log.reserve(log.size() + 500000 * line.size());
  for (int i = 0; i < 500000; ++i)
    log += line;
  log += "a.exe_2,crashed,2026-01-01 10:00:00,2026-01-01 10:00:01,[C:\\l.csv] the last line\r\n";
  test::writeFile(dir.file("big.csv"), log);
  log = std::string();
  EXPECT_EQ(reportWithLittleMemory(dir.path(), "big.csv"), 0);
  EXPECT_EQ(test::readFile(dir.file("err")), "");
  const std::string page = test::readFile(dir.file("page.html"));
  EXPECT_EQ(count(page, "<g class=\"lane\""), 1u);
  EXPECT_NE(page.find("the last line"), std::string::npos);
}

}  // namespace
}  // namespace tavrelon
