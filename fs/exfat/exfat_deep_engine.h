// CProfessionalExfatRecovery: rebuilds exFAT folders and files from entry sets found anywhere in the deep
// scan's pass. Each set carries its own checksum, name, size and first cluster, so a sector of sets is
// trusted as it stands; the volume's geometry (from its boot region) places every set in a cluster, and the
// folder whose clusters hold it is its parent. Sets whose folder was not found go to a lost folder named by
// their cluster.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "catalog/found_file_catalogue.h"
#include "catalog/volume_engine.h"
#include "fs/exfat/exfat_structures.h"
#include "fs/exfat/exfat_volume.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CProfessionalExfatRecovery final : public DeepVolumeEngine {
 public:
  // Sets kept from the pass: each costs its name and some forty bytes.
  static constexpr size_t kMaxSets = size_t{1} << 20;

  explicit CProfessionalExfatRecovery(SavedScanStore& store) : DeepVolumeEngine(store) {}

  // Clears what the last pass gathered, opens a catalogue (a fresh one without a name, else the saved scan
  // of that name) and takes the geometry of an exFAT boot region at the volume's first sector.
  uint32_t StartPass(std::string_view logName) override;
  // Sectors that pass IsExfatDirectorySector.
  bool Claims(ByteSpan sector) const override;
  // `rest` runs from the sector to the end of what the pass read, for sets that go on into the next sector.
  void Take(std::span<const uint8_t> rest, uint64_t sector) override;
  // Places the sets and catalogues them. 0 or the catalogue's error.
  int32_t FinishPass() override;
  std::string_view LogPrefix() const override { return log_prefix::kProExfat; }
  // Of either exFAT engine's records: the heap start and the first cluster.
  std::optional<uint64_t> FirstDataSector(const FoundFileRecord& record) const override;

  const ExfatGeometry* Geometry() const { return geometry_ ? &*geometry_ : nullptr; }
  size_t SetsFound() const { return sets_.size(); }

 private:
  struct FoundSet {
    uint64_t position = 0;  // absolute byte of its file entry
    ExfatEntrySet set;
  };

  uint32_t OpenVolume() override { return 0; }
  void TakeSet(ByteSpan entries, uint64_t position);
  void InferGeometry();
  FoundFileRecord MakeRecord(const FoundSet& found) const;
  // Every set the deep scan finds may have lost its chain to a format: where the FAT stops, the data is
  // taken to follow on.
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override { return 0; }

  std::optional<ExfatGeometry> geometry_;
  std::optional<ExfatVolume> volume_;
  std::vector<FoundSet> sets_;
  uint64_t lastPosition_ = 0;  // sets already taken end before this byte
  uint64_t dropped_ = 0;
};

}  // namespace snapsave
