// Copies a whole disk, or one stretch of it, sector by sector into a raw image file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/file.h"
#include "storage/image_source.h"
#include "storage/rescue_map.h"
#include "storage/sector_stretch.h"

namespace snapsave {

// percent 0..100; secondsLeft -1 while unknown. 0 goes on, anything else (ScanCancelled) stops the copy.
using ImageProgressCallback = int32_t (*)(void* context, int32_t percent, uint64_t sectorsDone,
                                          uint64_t totalSectors, int32_t secondsLeft);

class DiskImageWriter {
 public:
  static constexpr uint32_t kTransferBytes = 65536;
  static constexpr uint64_t kEstimateIntervalMs = 5000;

  // Sectors that could not be read even on a second try and were written as zeros.
  struct BadRange {
    uint64_t firstSector = 0;  // of the source disk
    uint64_t count = 0;
  };

  DiskImageWriter() = default;
  DiskImageWriter(const DiskImageWriter&) = delete;
  DiskImageWriter& operator=(const DiskImageWriter&) = delete;

  // Copies sectors [startSector, +sectorCount) of disk `disk` (its device; sectorCount 0: the whole disk) to
  // `imagePath`. 0 when complete, the callback's non-zero answer when it stopped the copy, 30 when
  // the source ended early, else a Win32 error. The image ends at the bytes copied.
  int32_t CreateImage(const std::filesystem::path& disk, uint64_t startSector, uint64_t sectorCount,
                      const std::filesystem::path& imagePath, ImageProgressCallback callback, void* context);
  // Same, from any readable file (an image of an image), taken to have 512-byte sectors.
  int32_t CreateImageFromFile(const std::filesystem::path& sourcePath, uint64_t startSector,
                              uint64_t sectorCount, const std::filesystem::path& imagePath,
                              ImageProgressCallback callback, void* context);

  // The steps of CreateImage. Opening never empties an existing image; CloseImage cuts it to what was copied.
  uint32_t OpenForImage(const std::filesystem::path& disk, uint64_t startSector, uint64_t sectorCount,
                        const std::filesystem::path& imagePath, ImageProgressCallback callback,
                        void* context);
  // Reads `sectors` sectors at the copy position into `buffer`; a sector that fails twice is zeroed and
  // recorded in BadSectors(). 30 when the source ends (nothing more to read).
  uint32_t ReadChunk(std::span<uint8_t> buffer, uint32_t sectors, uint32_t& sectorsRead);
  // Appends `sectors` sectors of `buffer` to the image: 0 or the Win32 error.
  uint32_t WriteChunk(std::span<const uint8_t> buffer, uint32_t sectors, uint32_t& sectorsWritten);
  uint32_t CloseImage();

  // The copies that follow read a logical volume whose extents lie apart through its pieces (in the disk's
  // sectors, VolumeInfo::pieces). Call before CreateImage; an empty list reads the sectors where they lie.
  void UseVolumePieces(std::vector<SectorMapping> pieces) { pieces_ = std::move(pieces); }

  // Replaces the source (tests: media with unreadable sectors). Call after opening, before the first read.
  void SetSource(std::unique_ptr<ImageSource> source, uint64_t sectorCount);

  // Makes the copies that follow rescue copies: in passes, with the map beside the image (IMAGE.map) saved as
  // they go, resumed from it when it is there, and the image left whole (not cut) when stopped. `retries`
  // passes over the sectors still bad at the end. Call before CreateImage.
  void UseRescuePasses(int retries, std::string commandLine = {});
  // The map of the last rescue copy (empty for plain copies).
  const RescueMap& Map() const { return map_; }
  static std::filesystem::path MapPathOf(const std::filesystem::path& imagePath);

  uint32_t SectorSize() const { return sectorSize_; }
  uint64_t StartSector() const { return startSector_; }
  uint64_t SectorCount() const { return sectorCount_; }
  uint64_t SectorsCopied() const { return sectorsCopied_; }
  const std::vector<BadRange>& BadSectors() const { return badSectors_; }
  uint64_t BadSectorCount() const;

 private:
  uint32_t Open(const std::filesystem::path& sourcePath, bool isDisk, uint64_t startSector,
                uint64_t sectorCount, const std::filesystem::path& imagePath, ImageProgressCallback callback,
                void* context);
  uint32_t OpenSource(const std::filesystem::path& sourcePath, bool isDisk);
  // How far a read of the source may reach: the device's sectors, or a mapped volume's last piece's end when
  // that lies further; nothing when a piece lies off the device.
  std::optional<uint64_t> MappedReach(uint64_t deviceSectors);
  uint32_t OpenImageFile(const std::filesystem::path& imagePath);
  int32_t Copy();
  int32_t RescuePasses();
  void NoteBadSector(uint64_t sector);

  uint32_t sectorSize_ = 512;
  uint64_t startSector_ = 0;
  uint64_t sectorCount_ = 0;
  uint64_t sectorsRead_ = 0;    // read position, relative to startSector_
  uint64_t sectorsCopied_ = 0;  // written to the image
  ImageProgressCallback callback_ = nullptr;
  void* context_ = nullptr;
  std::unique_ptr<ImageSource> source_;
  os::File image_;
  std::vector<BadRange> badSectors_;
  bool rescue_ = false;
  int retries_ = 0;
  std::string commandLine_;
  std::filesystem::path imagePath_;
  RescueMap map_;
  std::vector<SectorMapping> pieces_;
};

}  // namespace snapsave
