#include "sessions/recovery_report.h"

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string_view>

#include "catalog/recovery_output.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/file.h"
#include "os/paths.h"
#include "os/sha256.h"
#include "os/text.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStateNames[] = {"intact", "damaged", "failed"};

// What the report says of one file.
struct Entry {
  std::string path;  // below the destination, with '/'
  std::string name;
  std::string source;
  std::string state;  // intact, damaged (unreadable sectors, or content that did not validate), failed
  std::string failure;
  uint64_t size = 0;  // bytes written
  std::string sha256;
  std::optional<bool> deleted;
  std::string modified, accessed, created;  // as the source recorded them (ISO 8601, no zone)
  std::vector<SectorStretch> runs, unreadable;
};

std::string IsoTime(uint64_t fileTime) {
  if (fileTime == 0) return {};
  const os::LocalTime t = os::CivilTimeOfFileTime(fileTime);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", t.year, t.month, t.day, t.hour, t.minute,
                     t.second);
}

Entry MakeEntry(const fs::path& destination, const RecoveryOutcome& f) {
  Entry e;
  std::error_code ec;
  fs::path relative = fs::relative(f.path, destination, ec);
  e.path = os::Utf8OfPath(ec || relative.empty() ? f.path : relative);
  for (char& c : e.path) c = c == '\\' ? '/' : c;
  e.name = os::Utf8OfPath(f.path.filename());
  e.source = f.source;
  e.failure = f.failure;
  e.unreadable = f.unreadable;
  e.runs = f.runs;
  const bool unchecked = f.record && f.record->isIntact == 0;
  e.state = std::string(f.state == RecoveryOutcome::State::kFailed                 ? kStateNames[2]
                        : f.state == RecoveryOutcome::State::kDamaged || unchecked ? kStateNames[1]
                                                                                   : kStateNames[0]);
  if (f.record) {
    e.deleted = WasDeleted(*f.record);
    e.modified = IsoTime(f.record->writeTime);
    e.accessed = IsoTime(f.record->accessTime);
    e.created = IsoTime(f.record->creationTime);
  }
  if (f.state != RecoveryOutcome::State::kFailed) {
    e.size = fs::file_size(f.path, ec);
    if (ec) e.size = 0;
    if (os::Sha256OfFile(f.path, e.sha256) != err::kSuccess) e.sha256.clear();
  }
  return e;
}

std::string XmlText(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control bytes are not allowed in XML 1.0; names from a disk may hold them.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n')
          out += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
        else
          out += c;
    }
  }
  return out;
}

std::string JsonText(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      out += fmt::format("\\u{:04x}", u);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The file's runs in file order, each part that could not be read a run of its own.
struct Piece {
  uint64_t fileSector = 0;
  uint64_t first = 0;
  uint64_t count = 0;
  bool unreadable = false;
};
std::vector<Piece> Pieces(const std::vector<SectorStretch>& runs,
                          const std::vector<SectorStretch>& unreadable) {
  std::vector<Piece> pieces;
  uint64_t fileSector = 0;
  for (const SectorStretch& run : runs) {
    uint64_t at = run.first;
    const uint64_t end = run.first + run.count;
    while (at < end) {
      // The next unreadable stretch touching [at, end).
      const SectorStretch* bad = nullptr;
      for (const SectorStretch& u : unreadable) {
        if (u.first + u.count > at && u.first < end && (bad == nullptr || u.first < bad->first)) bad = &u;
      }
      if (bad == nullptr) {
        pieces.push_back({fileSector, at, end - at, false});
        fileSector += end - at;
        break;
      }
      if (bad->first > at) {
        pieces.push_back({fileSector, at, bad->first - at, false});
        fileSector += bad->first - at;
        at = bad->first;
      }
      const uint64_t badEnd = std::min(end, bad->first + bad->count);
      pieces.push_back({fileSector, at, badEnd - at, true});
      fileSector += badEnd - at;
      at = badEnd;
    }
  }
  return pieces;
}

// Digital Forensics XML as its schema has it: the state of a file shows as its runs, the ones that could
// not be read given as zero-filled runs of type "unreadable"; files that could not be written are named in
// comments. The JSON report says all of it in fields.
std::string Xml(const RecoveryReportInfo& info, const std::vector<Entry>& entries) {
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x += "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
       "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\" version=\"1.1.0\">\n";
  x += "  <metadata>\n    <dc:type>Recovery report</dc:type>\n  </metadata>\n";
  x += fmt::format("  <creator version=\"1.0\">\n    <program>{}</program>\n    <version>{}</version>\n",
                   XmlText(info.program), XmlText(info.version));
  const os::LocalTime now = os::Now();
  x += "    <execution_environment>\n";
  if (!info.commandLine.empty())
    x += fmt::format("      <command_line>{}</command_line>\n", XmlText(info.commandLine));
  x += fmt::format("      <start_time>{:04}-{:02}-{:02}T{:02}:{:02}:{:02}</start_time>\n", now.year,
                   now.month, now.day, now.hour, now.minute, now.second);
  x += "    </execution_environment>\n  </creator>\n";
  x +=
      fmt::format("  <source>\n    <image_filename>{}</image_filename>\n  </source>\n", XmlText(info.source));
  const uint64_t ss = info.sectorSize;
  for (const Entry& e : entries) {
    if (e.state == kStateNames[2]) {
      // "--" may not occur inside a comment.
      std::string text = XmlText(e.path + ": " + e.failure);
      for (size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at))
        text.replace(at, 2, "- -");
      x += fmt::format("  <!-- not recovered: {} -->\n", text);
      continue;
    }
    x += "  <fileobject>\n";
    x += fmt::format("    <filename>{}</filename>\n    <name_type>r</name_type>\n", XmlText(e.path));
    x += fmt::format("    <filesize>{}</filesize>\n", e.size);
    if (e.deleted) x += fmt::format("    <alloc>{}</alloc>\n", *e.deleted ? 0 : 1);
    if (!e.modified.empty()) x += fmt::format("    <mtime>{}</mtime>\n", e.modified);
    if (!e.accessed.empty()) x += fmt::format("    <atime>{}</atime>\n", e.accessed);
    if (!e.created.empty()) x += fmt::format("    <crtime>{}</crtime>\n", e.created);
    const std::vector<Piece> pieces = Pieces(e.runs, e.unreadable);
    if (!pieces.empty() || !e.unreadable.empty()) {
      x += "    <byte_runs>\n";
      for (const Piece& p : pieces) {
        const uint64_t offset = p.fileSector * ss;
        if (offset >= e.size) break;
        const uint64_t len = std::min(p.count * ss, e.size - offset);
        x += fmt::format("      <byte_run file_offset=\"{}\" img_offset=\"{}\" len=\"{}\"{}/>\n", offset,
                         p.first * ss, len, p.unreadable ? " fill=\"0\" type=\"unreadable\"" : "");
      }
      // Where the runs are not known, the stretches that could not be read stand alone.
      if (pieces.empty()) {
        for (const SectorStretch& u : e.unreadable)
          x += fmt::format("      <byte_run img_offset=\"{}\" len=\"{}\" fill=\"0\" type=\"unreadable\"/>\n",
                           u.first * ss, u.count * ss);
      }
      x += "    </byte_runs>\n";
    }
    if (!e.sha256.empty()) x += fmt::format("    <hashdigest type=\"sha256\">{}</hashdigest>\n", e.sha256);
    x += "  </fileobject>\n";
  }
  x += "</dfxml>\n";
  return x;
}

std::string Runs(const std::vector<SectorStretch>& runs) {
  std::string j = "[";
  for (size_t i = 0; i < runs.size(); ++i)
    j += fmt::format("{}{{\"firstSector\": {}, \"sectors\": {}}}", i == 0 ? "" : ", ", runs[i].first,
                     runs[i].count);
  return j + "]";
}

std::string Json(const RecoveryReportInfo& info, const std::vector<Entry>& entries) {
  size_t counts[3] = {0, 0, 0};
  for (const Entry& e : entries) counts[e.state == kStateNames[0] ? 0 : e.state == kStateNames[1] ? 1 : 2]++;
  std::string j = "{\n";
  j += fmt::format("  \"program\": {},\n  \"version\": {},\n  \"source\": {},\n  \"sectorSize\": {},\n",
                   JsonText(info.program), JsonText(info.version), JsonText(info.source), info.sectorSize);
  j += fmt::format("  \"intact\": {},\n  \"damaged\": {},\n  \"failed\": {},\n  \"files\": [", counts[0],
                   counts[1], counts[2]);
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    j += i == 0 ? "\n" : ",\n";
    j += fmt::format("    {{\"path\": {}, \"name\": {}, \"source\": {}, \"state\": {}, \"size\": {}",
                     JsonText(e.path), JsonText(e.name), JsonText(e.source), JsonText(e.state), e.size);
    if (!e.sha256.empty()) j += fmt::format(", \"sha256\": {}", JsonText(e.sha256));
    if (e.deleted) j += fmt::format(", \"deleted\": {}", *e.deleted ? "true" : "false");
    if (!e.modified.empty()) j += fmt::format(", \"modified\": {}", JsonText(e.modified));
    if (!e.accessed.empty()) j += fmt::format(", \"accessed\": {}", JsonText(e.accessed));
    if (!e.created.empty()) j += fmt::format(", \"created\": {}", JsonText(e.created));
    if (!e.runs.empty()) j += ", \"runs\": " + Runs(e.runs);
    if (!e.unreadable.empty()) j += ", \"unreadable\": " + Runs(e.unreadable);
    if (!e.failure.empty()) j += fmt::format(", \"failure\": {}", JsonText(e.failure));
    j += "}";
  }
  j += entries.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return j;
}

uint32_t WriteText(const fs::path& path, const std::string& text) {
  os::File file;
  if (uint32_t e = file.OpenWrite(path, /*truncate=*/true); e != err::kSuccess) return e;
  return file.WriteAllAt(0, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace

EarlierRecoveries::EarlierRecoveries(const fs::path& destination) : destination_(destination) {
  constexpr uint64_t kMaxReportBytes = uint64_t{256} << 20;
  std::error_code ec;
  for (fs::directory_iterator it(destination, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = os::Utf8OfPath(it->path().filename());
    if (name.rfind("report", 0) != 0 || name.size() < 11 || name.substr(name.size() - 5) != ".json") continue;
    os::File file;
    uint64_t size = 0;
    if (file.OpenRead(it->path()) != err::kSuccess || file.Size(size) != err::kSuccess ||
        size > kMaxReportBytes)
      continue;
    std::string text(static_cast<size_t>(size), '\0');
    size_t got = 0;
    if (file.ReadFullAt(0, std::span(reinterpret_cast<uint8_t*>(text.data()), text.size()), got) !=
        err::kSuccess)
      continue;
    text.resize(got);
    // Anyone may have edited it: only what it says of paths is used, to compare with the paths written now.
    const nlohmann::json report = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!report.is_object() || !report.contains("files") || !report["files"].is_array()) continue;
    for (const nlohmann::json& f : report["files"]) {
      if (!f.is_object() || !f.contains("path") || !f["path"].is_string()) continue;
      const std::string state =
          f.contains("state") && f["state"].is_string() ? f["state"].get<std::string>() : "";
      const std::string sha =
          f.contains("sha256") && f["sha256"].is_string() ? f["sha256"].get<std::string>() : "";
      if (state == "failed" || !sha.empty())
        written_.emplace(f["path"].get<std::string>(), state == "failed" ? "" : sha);
    }
  }
}

bool EarlierRecoveries::Wrote(const fs::path& path) const {
  if (written_.empty()) return false;
  std::error_code ec;
  std::string relative = os::Utf8OfPath(fs::relative(path, destination_, ec));
  if (ec || relative.empty()) return false;
  for (char& c : relative) c = c == '\\' ? '/' : c;
  const auto [first, last] = written_.equal_range(relative);
  if (first == last || !fs::is_regular_file(path, ec)) return false;
  std::string sha;
  for (auto it = first; it != last; ++it) {
    if (it->second.empty()) return true;  // failed half-way: what is there is broken
    if (sha.empty() && os::Sha256OfFile(path, sha) != err::kSuccess) return false;
    if (sha == it->second) return true;
  }
  return false;
}

uint32_t WriteRecoveryReport(const fs::path& destination, const RecoveryReportInfo& info,
                             const std::vector<RecoveryOutcome>& files, fs::path& xmlPath,
                             fs::path& jsonPath) {
  std::vector<Entry> entries;
  entries.reserve(files.size());
  for (const RecoveryOutcome& f : files) entries.push_back(MakeEntry(destination, f));
  xmlPath = MakeUniquePath(destination / "report.xml");
  if (uint32_t e = WriteText(xmlPath, Xml(info, entries)); e != err::kSuccess) return e;
  jsonPath = MakeUniquePath(destination / "report.json");
  return WriteText(jsonPath, Json(info, entries));
}

}  // namespace snapsave
