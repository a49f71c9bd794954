// The report a recovery leaves beside the files it wrote: report.xml in Digital Forensics XML, which forensic
// tools read, and the same facts in report.json. Each file with its name, where it was found, the sectors it
// was read from (where known), its size, SHA-256 and state, and the stretches that could not be read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sessions/recovery_session.h"

namespace snapsave {

// Writes report.xml and report.json into `destination` (as report(1).xml ... when such files exist there),
// hashing each file written. 0, or the error of writing; `xmlPath` and `jsonPath` name what was written.
uint32_t WriteRecoveryReport(const std::filesystem::path& destination, const RecoveryReportInfo& info,
                             const std::vector<RecoverySession::FileOutcome>& files,
                             std::filesystem::path& xmlPath, std::filesystem::path& jsonPath);

}  // namespace snapsave
