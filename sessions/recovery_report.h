// The report a recovery leaves beside the files it wrote: report.xml in Digital Forensics XML, which forensic
// tools read, and the same facts in report.json. Each file with its name, where it was found, the sectors it
// was read from (where known), its size, SHA-256 and state, and the stretches that could not be read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "catalog/found_file_record.h"
#include "storage/sector_stretch.h"

namespace snapsave {

// What a recovery report says of the run itself.
struct RecoveryReportInfo {
  std::string program;      // "snapsave-cli"
  std::string version;      // "0.2.0"
  std::string commandLine;  // as run, where there was one
  std::string source;       // what was scanned
  uint32_t sectorSize = 512;
};

// One file a recovery finished or gave up on.
struct RecoveryOutcome {
  enum class State : uint8_t { kWritten, kDamaged, kFailed };
  std::filesystem::path path;  // where it was (to be) written
  State state = State::kWritten;
  std::string failure;                    // the reason, for a failed file
  std::vector<SectorStretch> unreadable;  // written as zeros, for a damaged one
  std::vector<SectorStretch> runs;        // where its data was read from, where the engine knows
  std::optional<FoundFileRecord> record;  // the found file, where the item was the file itself
  std::string source;                     // what it was found on
};

// The files earlier recoveries into a folder wrote there, as their reports (report.json, report(1).json, ...)
// list them, so that a recovery run again, after a broken run, replaces its own files instead of adding
// name(1) copies beside them.
class EarlierRecoveries {
 public:
  explicit EarlierRecoveries(const std::filesystem::path& destination);
  // Whether `path` (in the folder) is a file an earlier recovery wrote and nothing changed since (its hash
  // as reported), or one it failed to write whole.
  bool Wrote(const std::filesystem::path& path) const;

 private:
  std::filesystem::path destination_;
  std::multimap<std::string, std::string> written_;  // '/'-separated path in the folder -> SHA-256 or ""
};

// Writes report.xml and report.json into `destination` (as report(1).xml ... when such files exist there),
// hashing each file written. 0, or the error of writing; `xmlPath` and `jsonPath` name what was written.
uint32_t WriteRecoveryReport(const std::filesystem::path& destination, const RecoveryReportInfo& info,
                             const std::vector<RecoveryOutcome>& files, std::filesystem::path& xmlPath,
                             std::filesystem::path& jsonPath);

}  // namespace snapsave
