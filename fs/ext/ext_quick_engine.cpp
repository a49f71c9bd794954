#include "fs/ext/ext_quick_engine.h"

#include <algorithm>

#include "catalog/catalogue_engine.h"
#include "os/error.h"

namespace snapsave {

namespace {
// Descriptor tables beyond this (a million groups of 64 bytes, 128 TiB of 4 KiB blocks) are not read.
constexpr uint64_t kMaxDescriptorBytes = uint64_t{64} << 20;
}  // namespace

uint32_t CFastExtRecovery::OpenImageFile(const std::filesystem::path& imagePath, char16_t /*driveLetter*/) {
  if (uint32_t e = reader_.OpenFile(imagePath); e != err::kSuccess) return e;
  volumeStart_ = 0;
  volumeSectors_ = reader_.TotalSectors();
  sectorSize_ = SectorReader::kImageSectorSize;
  ReadGeometry();
  return err::kSuccess;
}

uint32_t CFastExtRecovery::OpenPhysicalDisk(int32_t diskNumber, uint64_t volumeStartSector,
                                            uint64_t volumeSectorCount, char16_t /*driveLetter*/) {
  if (uint32_t e = reader_.OpenDisk(diskNumber); e != err::kSuccess) return e;
  volumeStart_ = volumeStartSector;
  volumeSectors_ = volumeSectorCount;
  sectorSize_ = reader_.DeviceSectorSize();
  ReadGeometry();
  return err::kSuccess;
}

void CFastExtRecovery::ReadGeometry() {
  geometry_.reset();
  groups_.clear();
  if (sectorSize_ == 0 || sectorSize_ > 4096 || 4096 % sectorSize_ != 0) return;
  std::vector<uint8_t> head(4096);
  uint32_t got = 0;
  reader_.ReadSectors(head, static_cast<int32_t>(4096 / sectorSize_), volumeStart_, sectorSize_, &got);
  if (uint64_t{got} * sectorSize_ < 2048) return;
  auto geometry = ParseExtSuperblock(std::span<const uint8_t>(head).subspan(1024, 1024));
  // Blocks smaller than a sector, and descriptor tables spread over the volume (meta_bg), give no map.
  if (!geometry || geometry->blockSize < sectorSize_ || (geometry->featureIncompat & kExtIncompatMetaBg) != 0)
    return;
  const uint64_t tableBytes = uint64_t{geometry->groupCount} * geometry->descriptorSize;
  if (tableBytes > kMaxDescriptorBytes) return;
  const uint64_t sectorsPerBlock = geometry->blockSize / sectorSize_;
  const uint64_t first = geometry->DescriptorTableBlock() * sectorsPerBlock;
  const uint64_t sectors = (tableBytes + sectorSize_ - 1) / sectorSize_;
  if (first + sectors > volumeSectors_) return;
  std::vector<uint8_t> table(sectors * sectorSize_);
  reader_.ReadSectors(table, static_cast<int32_t>(sectors), volumeStart_ + first, sectorSize_, &got);
  if (got != sectors) return;
  groups_ = ParseExtGroupDescriptors(table, *geometry);
  if (groups_.size() != geometry->groupCount) return;
  geometry_ = geometry;
}

int32_t CFastExtRecovery::BuildAllocationMap() {
  bitmapGroup_ = UINT64_MAX;
  return geometry_ ? 0 : 1;
}

bool CFastExtRecovery::BlockInUse(uint64_t block) {
  const ExtGeometry& g = *geometry_;
  if (block < g.firstDataBlock) return true;  // the boot block of a 1 KiB-block volume
  const uint64_t group = (block - g.firstDataBlock) / g.blocksPerGroup;
  if (group >= groups_.size()) return true;
  if (group != bitmapGroup_) {
    bitmapGroup_ = group;
    bitmap_.clear();
    const ExtGroupDescriptor& d = groups_[group];
    const uint64_t sectorsPerBlock = g.blockSize / sectorSize_;
    const bool uninitialised = g.GroupFlagsValid() && (d.flags & kExtGroupBlockUninit) != 0;
    if (!uninitialised && d.blockBitmap != 0 && d.blockBitmap < g.blocksCount &&
        d.blockBitmap < volumeSectors_ / sectorsPerBlock) {
      bitmap_.assign(g.blockSize, 0);
      uint32_t got = 0;
      reader_.ReadSectors(bitmap_, static_cast<int32_t>(sectorsPerBlock),
                          volumeStart_ + d.blockBitmap * sectorsPerBlock, sectorSize_, &got);
      if (got != sectorsPerBlock) bitmap_.clear();
    }
  }
  if (bitmap_.empty()) return false;
  const uint64_t bit = (block - g.firstDataBlock) % g.blocksPerGroup;
  return ((bitmap_[bit / 8] >> (bit % 8)) & 1) != 0;
}

int32_t CFastExtRecovery::NextUnallocatedRun(uint64_t& sector, uint64_t& length) {
  length = 0;
  if (!geometry_) return 0;
  const ExtGeometry& g = *geometry_;
  NextFreeClusterRun(sector, length, 0, g.blockSize / sectorSize_, g.blocksCount, volumeSectors_,
                     [&](uint64_t block) { return BlockInUse(block); });
  return 1;
}

}  // namespace snapsave
