// What a deep scan saves as it goes, so that a scan killed at any moment (a crash, a power cut, a pulled
// cable) continues from its last checkpoint with exactly the files an uninterrupted scan finds.
//
// Two files in the scan's folder: "Deep_Checkpoint", rewritten in one step, holds the pass's position, how
// many records the carver's catalogue and the metadata log held at that moment, and the carving state that
// spans sectors; "Deep_Metadata" lists every sector the pass gave a file-system engine. The file-system
// engines' state is not saved but rebuilt: a continued scan reads those sectors again and hands them over in
// the same order, which rebuilds the same folders from far fewer reads than the pass made.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "catalog/deep_scan_control.h"
#include "catalog/saved_scan_store.h"
#include "os/file.h"

namespace snapsave {

inline constexpr char kCheckpointFileName[] = "Deep_Checkpoint";
inline constexpr char kMetadataLogFileName[] = "Deep_Metadata";

struct ScanCheckpoint {
  ScanPosition position;         // never finished: a finished scan keeps no checkpoint
  uint64_t carverRecords = 0;    // records of the carver's catalogue
  uint64_t metadataEntries = 0;  // entries of the metadata log
  bool streamStart = true;       // the carving context's transport-stream flags
  bool transportStreamInProgress = false;
  std::vector<std::pair<uint64_t, uint64_t>> transportStreamRanges;
  std::vector<UnreadableRange> skipped;     // jumped over, still to be read once more
  uint64_t unreadableSectors = 0;           // what stayed unreadable so far
  std::vector<UnreadableRange> unreadable;  // its first stretches
};

std::vector<uint8_t> EncodeScanCheckpoint(const ScanCheckpoint& checkpoint);
// Nothing for a file that is not a whole checkpoint of this version (its check sum included).
std::optional<ScanCheckpoint> ParseScanCheckpoint(std::span<const uint8_t> bytes);
std::optional<ScanCheckpoint> LoadScanCheckpoint(const std::filesystem::path& folder);

// One sector handed to a file-system engine: the chunk it came in (what of it read, the rest zeros) and its
// index there. The engines may look past the sector to the chunk's end, so the chunk is what is replayed.
struct MetadataEntry {
  uint64_t chunkStart = 0;  // absolute sector
  uint16_t chunkSectors = 0;
  uint16_t validSectors = 0;
  uint16_t index = 0;
};
inline constexpr size_t kMetadataEntrySize = 16;

// The append-only list of such entries.
class MetadataLog {
 public:
  // Opens `path`, keeping its first `keep` entries (none for a fresh scan) and dropping the rest.
  uint32_t Open(const std::filesystem::path& path, uint64_t keep);
  void Close();
  bool IsOpen() const { return file_.IsOpen(); }
  void Append(const MetadataEntry& entry);
  // Everything appended, written and on the medium. 0 or the error of writing.
  uint32_t Sync();
  uint64_t Entries() const { return entries_; }
  // Calls `visit` with the kept entries in order until it returns false. 0 or the error of reading.
  uint32_t ForEach(const std::function<bool(const MetadataEntry&)>& visit) const;

 private:
  uint32_t WritePending();

  os::File file_;
  uint64_t entries_ = 0;  // appended in all, the buffered ones included
  std::vector<uint8_t> pending_;
  uint32_t error_ = 0;
};

}  // namespace snapsave
