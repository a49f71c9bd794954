// A fixture scanned and recovered the way both front ends do it (the factory's engine, its merged results,
// a recovery session into one folder), for the tests that check a whole scenario once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "catalog/found_file_record.h"
#include "tests/support/test_support.h"

namespace snapsave::test {

struct Scenario {
  int32_t scanned = -1;  // what the scan returned
  // Every file found, by its path in the found tree ("DCIM/IMG_0001.JPG"; a carved file "photo/777.jpg").
  std::map<std::string, FoundFileRecord> files;
  // Every file the recovery wrote, by its path below the recovery folder, with its CRC-32.
  std::map<std::string, uint32_t> recovered;
};

// Scans `image` (quick or deep) and recovers everything found into `out`; empty `out`: lists only. Files that
// still exist are left out, as the front ends leave them out unless asked (`all`).
Scenario ScanAndRecover(const std::filesystem::path& image, bool deep, const std::filesystem::path& out = {},
                        bool all = false);

// SHA-256 of a file, in lower-case hexadecimal.
std::string Sha256Of(const std::filesystem::path& file);
// Every regular file below `folder` by its path relative to it, with its CRC-32.
std::map<std::string, uint32_t> CrcsBelow(const std::filesystem::path& folder);
}  // namespace snapsave::test
