// Finding the volumes of a disk whose partition table is gone or wrong: by their own structures. Boot
// sectors (FAT, NTFS, exFAT), ext, XFS and Btrfs superblocks are noted wherever they lie, with their copies
// (FAT32's at sector 6, NTFS's in the volume's last sector, exFAT's backup boot region, ext's in later
// groups) and the backup GPT at the disk's end; each place a volume would start is then checked (its geometry
// fits the disk, its first structures read: the FAT's media byte, the MFT's first record, exFAT's
// allocation-bitmap entry, ext's group descriptors, the free-space header of XFS's first allocation group),
// and of the volumes that hold, the set that does not overlap and covers the most of the disk is kept.
// Positions are in the disk's 512-byte sectors.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engines/file_system_registry.h"
#include "os/byte_reader.h"
#include "storage/sector_reader.h"

namespace snapsave {

struct FoundVolume {
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  // Null for a partition the backup GPT names whose content is of no file system the engines read.
  const FileSystem* fileSystem = nullptr;
  // Where it was found: its first structure, a copy of it, or the backup GPT (several are or-ed).
  enum Evidence : uint32_t { kMain = 1, kCopy = 2, kBackupGpt = 4 };
  uint32_t evidence = 0;
};

class VolumeSearch {
 public:
  // Places noted beyond this are not looked at: a disk made of boot-sector copies cannot make the search
  // read without end.
  static constexpr size_t kMaxPlaces = 4096;

  VolumeSearch(const SectorReader& reader, uint64_t diskSectors)
      : reader_(reader), diskSectors_(diskSectors) {}

  // Notes what the sectors from `firstSector` hold (whole 512-byte sectors of `bytes`), as a pass reads them.
  void Look(uint64_t firstSector, ByteSpan bytes);
  // Checks every place noted and the backup GPT; the volumes kept, by start.
  std::vector<FoundVolume> Finish();

 private:
  // A volume's possible start, what said so, and where that was (a copy's own sector).
  struct Place {
    uint64_t start = 0;
    uint32_t evidence = 0;
    uint64_t at = 0;
    bool operator<(const Place& o) const { return start < o.start || (start == o.start && at < o.at); }
  };
  void Note(uint64_t start, uint32_t evidence, uint64_t at);

  const SectorReader& reader_;
  uint64_t diskSectors_;
  std::vector<Place> places_;
};

// The volume whose structures start at `start`, when they hold (see above); nothing otherwise. Where its
// first sectors are gone, its copies are looked for where the volume keeps them, and at `copies` (sectors a
// search found copies of its boot sector or superblock at: NTFS keeps its copy where the volume ends).
std::optional<FoundVolume> CheckVolumeAt(const SectorReader& reader, uint64_t start, uint64_t diskSectors,
                                         const std::vector<uint64_t>& copies = {});

// CheckVolumeAt, and where that finds nothing at a start that was wiped (a volume whose copies are where only
// its lost first sectors say, as NTFS's at its end), the search over the disk from `start` on, for a volume
// starting there.
std::optional<FoundVolume> FindVolumeAt(const SectorReader& reader, uint64_t start, uint64_t diskSectors);

// Reads the whole disk once and finds its volumes. `progress(done, total)` is told how far it got (in
// sectors) and stops the search by answering false; a stopped search finds nothing.
std::vector<FoundVolume> SearchLostVolumes(const SectorReader& reader, uint64_t diskSectors,
                                           const std::function<bool(uint64_t, uint64_t)>& progress = {});

// "found volume at sector 2048 (FAT32, 100.0 MiB)" and the like, for listings.
std::string DescribeFoundVolume(const FoundVolume& volume, const std::string& fileSystemName,
                                const std::string& label);

}  // namespace snapsave
