// LVM2: a physical volume's label and metadata area, the volume group its text metadata describes, and the
// logical volumes it maps onto the disk, including those an older copy of the metadata still names.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/byte_reader.h"
#include "storage/sector_stretch.h"

namespace snapsave {

class SectorReader;

// The label in one of a physical volume's first four 512-byte sectors.
struct LvmLabel {
  std::string uuid;  // 32 characters, no dashes
  uint64_t deviceBytes = 0;
  struct Area {
    uint64_t offset = 0;  // bytes from the physical volume's start
    uint64_t size = 0;
  };
  std::vector<Area> metadataAreas;
};
inline constexpr size_t kLvmLabelScanBytes = 4 * 512;
// The label among `start` (the volume's first kLvmLabelScanBytes); nothing when none holds its checksum.
std::optional<LvmLabel> ParseLvmLabel(ByteSpan start);

// The metadata texts a metadata area holds (the area's bytes from its start, header included): the one its
// header points at first, then the older copies still in its ring, newest first. Nothing when the header
// is no metadata area's.
struct LvmMetadataTexts {
  std::string current;
  std::vector<std::string> older;
};
std::optional<LvmMetadataTexts> ReadLvmMetadataArea(ByteSpan area);

struct LvmSegment {
  uint64_t startExtent = 0;
  uint64_t extentCount = 0;
  std::string type;  // "striped" (one stripe: linear), "mirror", "raid1", "thin" ...
  uint64_t stripeSize = 0;
  struct Stripe {
    std::string physicalVolume;  // "pv0"
    uint64_t firstExtent = 0;
  };
  std::vector<Stripe> stripes;
};
struct LvmLogicalVolume {
  std::string name;
  std::string id;
  std::vector<LvmSegment> segments;
};
struct LvmPhysicalVolume {
  std::string name;      // "pv0"
  std::string id;        // dashes removed, as the label gives it
  uint64_t peStart = 0;  // 512-byte sectors from the physical volume's start
  uint64_t peCount = 0;
};
struct LvmVolumeGroup {
  std::string name;
  std::string id;
  uint64_t seqno = 0;
  uint64_t extentSize = 0;  // 512-byte sectors
  std::vector<LvmPhysicalVolume> physicalVolumes;
  std::vector<LvmLogicalVolume> logicalVolumes;
};
// The volume group of a metadata text; nothing when the text is not one (or is deeper, longer or larger than
// any LVM writes).
std::optional<LvmVolumeGroup> ParseLvmMetadata(std::string_view text);

// A physical volume found on a disk, in the disk's sectors of `sectorSize` bytes.
struct LvmPlace {
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
};

// A logical volume as the disk holds it.
struct LogicalVolumeOnDisk {
  std::string groupName;
  std::string name;
  bool removed = false;  // named only by an older copy of its group's metadata
  // What stands against reading it ("striped over 2 physical volumes", "on a physical volume not found"):
  // empty when it is read.
  std::string unreadable;
  uint64_t sectorCount = 0;  // disk sectors
  // Its pieces in order: `first` counts from the first piece's disk sector, so that a volume of one piece
  // reads straight from the disk.
  std::vector<SectorMapping> pieces;
  uint64_t StartSector() const { return pieces.empty() ? 0 : pieces.front().device; }
  bool Contiguous() const;
};

// The logical volumes of the volume groups whose physical volumes lie at `places` of the disk `reader`
// reads (sectors of `sectorSize` bytes), in the order their groups and metadata list them, then those
// only older metadata names. A place that holds no physical volume is passed over.
std::vector<LogicalVolumeOnDisk> FindLogicalVolumes(const SectorReader& reader, uint32_t sectorSize,
                                                    std::span<const LvmPlace> places);
// Whether the disk holds an LVM label at `startSector`.
bool HasLvmLabel(const SectorReader& reader, uint32_t sectorSize, uint64_t startSector);

}  // namespace snapsave
