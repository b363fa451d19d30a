#include <string>
#include <vector>

#include "report/report_html.h"

namespace tavrelon::report {

namespace {

// Whether `c` may stand in a link as it is.
bool isUrlSafe(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '/';
}

// `path` with '/' between its parts, a leading "\\?\" dropped; its root in `root`
// ("/" or "C:"); false when it is not absolute.
bool splitAbsolute(std::string path, std::string& root, std::string& rest) {
  for (char& c : path)
    c = c == '\\' ? '/' : c;
  if (path.compare(0, 4, "//?/") == 0)
    path.erase(0, 4);
  if (path.size() >= 3 && path[1] == ':' && path[2] == '/' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
    root = std::string(1, static_cast<char>(path[0] & ~0x20)) + ":";
    rest = path.substr(3);
    return true;
  }
  if (!path.empty() && path[0] == '/') {
    // "//server/share/...": its root is the share.
    root = "/";
    rest = path.substr(1);
    return true;
  }
  return false;
}

std::vector<std::string> partsOf(const std::string& rest) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : rest + "/") {
    if (c != '/') {
      part += c;
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  return parts;
}

std::string percentEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (isUrlSafe(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

std::string linkTo(const std::string& pageFolder, const std::string& file) {
  std::string pageRoot, pageRest, fileRoot, fileRest;
  if (!splitAbsolute(file, fileRoot, fileRest))
    return std::string();
  const bool unc = fileRoot == "/" && fileRest.compare(0, 1, "/") == 0;
  if (!unc && splitAbsolute(pageFolder, pageRoot, pageRest) && pageRoot == fileRoot) {
    const std::vector<std::string> from = partsOf(pageRest), to = partsOf(fileRest);
    std::size_t common = 0;
    while (common < from.size() && common + 1 < to.size() && from[common] == to[common])
      ++common;
    std::string link;
    for (std::size_t i = common; i < from.size(); ++i)
      link += "../";
    for (std::size_t i = common; i < to.size(); ++i)
      link += percentEncoded(to[i]) + (i + 1 < to.size() ? "/" : "");
    return link;
  }
  if (fileRoot == "/")  // "file:///a/b" for "/a/b", "file://server/share" for "//server/share"
    return "file:/" + std::string(unc ? "" : "//") + percentEncoded(fileRest);
  return "file:///" + fileRoot + "/" + percentEncoded(fileRest);
}

void appendEndLinks(HtmlWriter& html, const std::string& pageFolder, const Evidence& evidence,
                    const std::string& programLog) {
  if (!evidence.summary.empty()) {
    const std::string link = linkTo(pageFolder, evidence.summary);
    html.text(" ")
        .start("a")
        .attr("class", "evidence")
        .attr("href", link.empty() ? evidence.summary : link)
        .attr("title",
              evidence.summary + (evidence.ended.empty() ? "" : " \xC2\xB7 " + evidence.ended))
        .open()
        .text("evidence")
        .end("a");
    if (!evidence.ended.empty())
      html.text(" ").start("span").attr("class", "exit").open().text(evidence.ended).end("span");
    return;
  }
  const std::string link = linkTo(pageFolder, programLog);
  if (!link.empty())
    html.text(" ")
        .start("a")
        .attr("class", "log")
        .attr("href", link)
        .open()
        .text("program log")
        .end("a");
}

}  // namespace tavrelon::report
