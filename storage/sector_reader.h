// The one routine through which engines read whole sectors from a disk or an image file.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "os/file.h"
#include "storage/image_container.h"
#include "storage/rescue_map.h"
#include "storage/sector_stretch.h"

namespace snapsave {

class SectorReader {
 public:
  // Largest piece handed to the operating system at once.
  static constexpr uint32_t kChunkBytes = 65536;
  // Image files are taken to have 512-byte sectors.
  static constexpr uint32_t kImageSectorSize = 512;

  // Opens a whole disk by its device read-only (an image file listed as a disk too, read as OpenFile reads
  // it). Sector size from the device geometry.
  uint32_t OpenDisk(const std::filesystem::path& disk);
  // Opens an image file read-only: a raw image, or the medium inside a container (E01, VHD, VHDX, VMDK,
  // QCOW2, split raw), told apart by content. A trailing partial sector is not addressable. A raw image
  // with the map of the rescue copy that made it beside it (see FindRescueMapBeside) reads as the copy
  // went: what the map does not list as rescued cannot be read, as on the disk it came from.
  uint32_t OpenFile(const std::filesystem::path& path);
  // A volume of a disk: OpenDisk, then MapVolume with the volume's pieces when it has them.
  uint32_t OpenDiskVolume(const std::filesystem::path& disk, std::span<const SectorMapping> pieces);

  // Reads `count` sectors of `sectorSize` bytes from `startSector` into `buffer`, which must hold them all.
  // 87 for a range past the end (or one whose arithmetic would overflow), 30 when the sectors cannot be read,
  // 55 when the device is no longer there or has stopped answering (see SourceGone);
  // `sectorsRead` tells how many whole sectors arrived in every case.
  uint32_t ReadSectors(std::span<uint8_t> buffer, int32_t count, uint64_t startSector, uint32_t sectorSize,
                       uint32_t* sectorsRead) const;
  // The same, handed to the operating system in pieces of up to kLargeChunkBytes: for reading ahead of a pass
  // into large buffers, where a slow medium serves large requests much faster than many small ones.
  static constexpr uint32_t kLargeChunkBytes = 1 << 20;
  uint32_t ReadSectorsLarge(std::span<uint8_t> buffer, int32_t count, uint64_t startSector,
                            uint32_t sectorSize, uint32_t* sectorsRead) const;

  // While one lives, a sector that cannot be read is handed on as zeros and noted, instead of failing the
  // read: recovery and preview give what can be read of a file, and say what could not. The source gone still
  // fails. One at a time per reader.
  class ZeroFill {
   public:
    explicit ZeroFill(const SectorReader& reader);
    ~ZeroFill();
    ZeroFill(const ZeroFill&) = delete;
    ZeroFill& operator=(const ZeroFill&) = delete;
    // What was zero-filled so far, in order of reading, adjacent stretches joined.
    std::vector<SectorStretch> Stretches() const;

   private:
    friend class SectorReader;
    void Note(uint64_t sector);
    const SectorReader& reader_;
    mutable std::mutex mutex_;
    std::vector<SectorStretch> stretches_;
  };

  // Reads sectors [m.first, m.first + m.count) from the device's [m.device, ...) for each piece of `pieces`
  // (in the device's sectors): a logical volume whose extents lie apart, read as one run from its first
  // piece's start. Sectors outside every piece read as before. Refused (87) for pieces that overlap or lie
  // past the device's end.
  uint32_t MapVolume(std::span<const SectorMapping> pieces);

  void Close();
  // Why the last OpenFile failed, in words, where the container said (a missing piece, the library's reason);
  // empty otherwise.
  const std::string& OpenProblem() const { return openProblem_; }
  // What is wrong with the image that opened (a missing segment, a cut end); empty when nothing is known.
  std::string Damage() const { return container_ ? container_->Damage() : std::string(); }
  // After a failed read: the source is gone (unplugged, its connection lost), not just a bad area. Also once
  // it has stopped answering: when reads go on failing, a sector that read before is read again, and if it
  // fails too, every read from then on fails as if the source were gone (55) instead of grinding through
  // the rest of a dead medium.
  bool SourceGone() const;
  bool IsOpen() const { return file_.IsOpen() || container_ != nullptr; }

  uint64_t TotalSectors() const { return totalSectors_; }
  // Bytes per sector of the device as opened (512 for image files); reads still name their own size.
  uint32_t DeviceSectorSize() const { return deviceSectorSize_; }

 private:
  uint32_t Read(std::span<uint8_t> buffer, int32_t count, uint64_t startSector, uint32_t sectorSize,
                uint32_t* sectorsRead, uint32_t pieceBytes) const;
  // One read of whole sectors: 0 or the error, `filled` the bytes that arrived before it. Counts failures in
  // a row, to notice a source that stopped answering.
  uint32_t ReadRaw(std::span<uint8_t> buffer, uint64_t offset, uint32_t pieceBytes, uint64_t& filled) const;
  // The same, stopping where a rescue map says the image holds nothing read (30 from there).
  uint32_t ReadPieces(std::span<uint8_t> buffer, uint64_t offset, uint32_t pieceBytes,
                      uint64_t& filled) const;
  // Through the volume's pieces when it has them, else as ReadPieces.
  uint32_t ReadMapped(std::span<uint8_t> buffer, uint64_t offset, uint32_t pieceBytes,
                      uint64_t& filled) const;
  // Straight from the file or container, in pieces of `pieceBytes`.
  uint32_t ReadFromMedium(std::span<uint8_t> buffer, uint64_t offset, uint32_t pieceBytes,
                          uint64_t& filled) const;
  // After a read failed: whether the source still gives a sector it gave before (asked again after twice as
  // many failures in a row each time).
  bool StillAnswers(uint32_t failures) const;

  os::File file_;
  std::filesystem::path path_;
  std::unique_ptr<ImageContainer> container_;  // instead of file_ for images in a container format
  uint64_t totalSectors_ = 0;
  uint32_t deviceSectorSize_ = kImageSectorSize;
  std::string openProblem_;
  std::vector<RescueMap::Range> unrescued_;  // of a raw image's rescue map, in order
  std::vector<SectorMapping> pieces_;        // of a mapped volume, by `first`
  uint64_t deviceSectors_ = 0;               // the device's own length while a volume is mapped
  mutable std::atomic<ZeroFill*> fill_{nullptr};
  static constexpr uint64_t kNoSector = UINT64_MAX;
  static constexpr uint32_t kFirstProbe = 8;
  mutable std::atomic<uint64_t> answered_{kNoSector};  // byte offset of a sector that read
  mutable std::atomic<uint32_t> failuresInRow_{0};
  mutable std::atomic<uint32_t> nextProbe_{kFirstProbe};
  mutable std::atomic<bool> silent_{false};
};

}  // namespace snapsave
