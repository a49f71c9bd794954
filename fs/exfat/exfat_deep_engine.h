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

#include "catalog/catalogue_engine.h"
#include "catalog/found_file_catalogue.h"
#include "fs/exfat/exfat_structures.h"
#include "fs/exfat/exfat_volume.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CProfessionalExfatRecovery final : public CatalogueEngine {
 public:
  // Sets kept from the pass: each costs its name and some forty bytes.
  static constexpr size_t kMaxSets = size_t{1} << 20;

  explicit CProfessionalExfatRecovery(SavedScanStore& store) : CatalogueEngine(store) {}
  ~CProfessionalExfatRecovery() override = default;
  CProfessionalExfatRecovery(const CProfessionalExfatRecovery&) = delete;
  CProfessionalExfatRecovery& operator=(const CProfessionalExfatRecovery&) = delete;

  uint32_t OpenImageFile(const std::filesystem::path& imagePath, char16_t driveLetter) override;
  uint32_t OpenPhysicalDisk(int32_t diskNumber, uint64_t volumeStartSector, uint64_t volumeSectorCount,
                            char16_t driveLetter) override;
  int32_t SetCallbacks(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback,
                       void* context, int32_t weight) override;
  // The deep scan feeds the engine sector by sector; there is nothing to walk.
  int32_t Scan(std::string_view logName) override;
  int32_t RecoverRecord(const FoundFileRecord* record, const std::filesystem::path& destinationPath,
                        int32_t baseDepth) override;
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  int32_t BuildAllocationMap() override;
  uint32_t ExtractForPreview(const FoundFileRecord* record, std::filesystem::path& outPath,
                             std::span<uint8_t> buffer, uint32_t& outSize, PreviewProgressCallback callback,
                             void* context) override;

  // Clears what the last scan gathered and opens a catalogue: a fresh one without a name, else the saved
  // scan of that name.
  uint32_t StartScan(std::string_view logName);
  // The geometry of an exFAT boot region at the volume's first sector, when there is one.
  void ReadBootGuess();
  // A sector that passed IsExfatDirectorySector at absolute sector `sector`; `rest` runs from it to the end
  // of what the pass read, for sets that go on into the next sector.
  void TakeSector(std::span<const uint8_t> rest, uint64_t sector);
  // Places the sets and catalogues them. 0 or the catalogue's error.
  int32_t FinishScan();

  const ExfatGeometry* Geometry() const { return geometry_ ? &*geometry_ : nullptr; }
  size_t SetsFound() const { return sets_.size(); }

 private:
  struct FoundSet {
    uint64_t position = 0;  // absolute byte of its file entry
    ExfatEntrySet set;
  };

  void TakeSet(ByteSpan entries, uint64_t position);
  void InferGeometry();
  FoundFileRecord MakeRecord(const FoundSet& found) const;
  int32_t WriteOneFile(const FoundFileRecord& record, const std::filesystem::path& destination);
  uint32_t FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const override;

  SectorReader reader_;
  bool open_ = false;
  char16_t driveLetter_ = 0;
  uint64_t volumeStart_ = 0;  // device sectors
  uint64_t volumeSectors_ = 0;
  std::optional<ExfatGeometry> geometry_;
  std::optional<ExfatVolume> volume_;
  std::vector<FoundSet> sets_;
  uint64_t lastPosition_ = 0;  // sets already taken end before this byte
  uint64_t dropped_ = 0;
};

}  // namespace snapsave
