// The night report as one self-contained HTML page: inline CSS and SVG, no
// script, nothing fetched; links only to the status logs and program logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/report_model.h"
#include "report/report_writer.h"

namespace tavrelon::report {

// `text` of at most `limit` characters (UTF-8 sequences counted as one): the
// middle cut out for "…" when longer, so both ends stay readable.
std::string middleShortened(const std::string& text, std::size_t limit);

// The link from a page in the folder `pageFolder` to the file `file`, both
// absolute ("/..." or "X:\..."; either separator): relative ("../a/b.csv")
// when they share a root (the same drive), else a file: URL; every byte but
// letters, digits and "-._~/" percent-encoded. Empty when `file` is not absolute.
std::string linkTo(const std::string& pageFolder, const std::string& file);

// The links after a failure's text in the page's lists: to its evidence's
// summary.txt, how the run ended beside it, where evidence was found; else to
// the program's log `programLog` (from Latest_Log) when it is absolute.
void appendEndLinks(HtmlWriter& html, const std::string& pageFolder, const Evidence& evidence,
                    const std::string& programLog);

// The page's geometry, in CSS pixels.
constexpr double kLabelWidth = 190;  // lane names left of the axis
constexpr double kPlotWidth = 770;   // the time axis
constexpr double kCountWidth = 240;  // each lane's counts and state right of it
constexpr double kMarkColumn = 4;    // one mark per this many pixels of a lane

// The failure groups and unplaced rows listed one by one, newest first; older
// ones are counted. Keeps a year of crash loops a page of a few megabytes.
constexpr std::size_t kMaxListed = 1000;
// The runs stopped by hand or interrupted, grouped as the failures are.
constexpr std::size_t kMaxSetAside = 200;

// How the page is written, beyond its report.
struct PageOptions {
  std::string pageFolder;             // absolute; where links start from (empty: no links)
  std::vector<std::string> logFiles;  // absolute path of each of report.logs ("" unknown)
  int refreshSeconds = 0;             // > 0: the page reloads itself this often (--watch)
};

// The whole page for `report` (finishReport done), titled with its time.
std::string renderReportPage(const NightReport& report, const PageOptions& options = {});

// The text every page starts with, by which a page this tool wrote is known.
extern const char* const kPageStart;

}  // namespace tavrelon::report
