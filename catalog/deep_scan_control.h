// What a front end may ask of a deep scan beyond the engine contract: its saved position, the merge of what
// several engines found, and the sectors it could not read. A deep scan's engine hands it out
// (IFileRecoveryParse::DeepControl), so that no front end needs to know the deep scan's class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalog/found_file_record.h"

namespace snapsave {

// Absolute sectors of the scanned source.
struct UnreadableRange {
  uint64_t firstSector = 0;
  uint64_t count = 0;
};
inline constexpr size_t kMaxUnreadableRanges = 1000;

// A volume the pass found by its own structures on a source that names none there (a whole disk whose
// partition table is gone): absolute sectors, and the file system's name as the registry gives it.
struct LostVolumeExtent {
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  std::string fileSystem;
};

class DeepScanControl {
 public:
  // A saved scan of this unchanged source was found at open; Discard forgets it and deletes its folder.
  virtual bool HasSavedProgress() const = 0;
  virtual void DiscardSavedProgress() = 0;
  // The saved scan ran to its end: continuing it reads its results back without scanning.
  virtual bool SavedScanFinished() const = 0;

  // The merge rule for a front end that walks the found trees itself: note every record first, then ask for
  // each whether a merged result keeps it (a carved copy of a file a file-system engine found is dropped).
  virtual void ClearMerge() = 0;
  virtual void NoteForMerge(const FoundFileRecord& record) = 0;
  virtual bool KeptInMerge(const FoundFileRecord& record) = 0;
  // The absolute sector a found file's bytes start at, whichever engine found it; nothing when that engine
  // cannot say.
  virtual std::optional<uint64_t> FirstSectorOf(const FoundFileRecord& record) = 0;

  // Sectors the pass could not read and skipped, and the first of them.
  virtual uint64_t UnreadableSectors() const = 0;
  virtual std::optional<uint64_t> FirstUnreadableSector() const = 0;
  // The stretches of them, in order; at most kMaxUnreadableRanges (the count above holds them all).
  virtual const std::vector<UnreadableRange>& UnreadableRanges() const = 0;

  // Carved files put back together from two pieces, and carved files that do not validate to their end (they
  // are listed and recovered as far as they go).
  virtual uint64_t JoinedFiles() const = 0;
  virtual uint64_t DamagedCarvedFiles() = 0;

  // Volumes found by their boot sectors and superblocks while the pass read a source on which no file system
  // starts (a whole disk or whole-disk image without a usable partition table); empty otherwise, and after a
  // stopped pass.
  virtual const std::vector<LostVolumeExtent>& LostVolumes() const = 0;

  // How often the scan saves a checkpoint it can continue from after a crash: after `milliseconds` or
  // `bytes` scanned, whichever comes first.
  virtual void SetCheckpointInterval(uint64_t milliseconds, uint64_t bytes) = 0;

 protected:
  DeepScanControl() = default;
  DeepScanControl(const DeepScanControl&) = default;
  DeepScanControl& operator=(const DeepScanControl&) = default;
  ~DeepScanControl() = default;
};

}  // namespace snapsave
