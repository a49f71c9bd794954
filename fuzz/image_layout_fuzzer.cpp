// Partition tables of disk images over arbitrary bytes: what libblkid reads from them, made safe by the
// sanitizer, must lie inside the image with no two entries overlapping, and so must the image's entries in
// the disk list; the sanitizer alone gets entries taken straight from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <vector>

#include "fuzz/memory_image.h"
#include "os/byte_reader.h"
#include "storage/image_layout.h"

namespace {

void CheckLayout(const snapsave::ImageLayout& layout, uint64_t sectors) {
  uint64_t end = 0;
  for (const snapsave::ImagePartition& p : layout.partitions) {
    if (p.sectorCount == 0 || p.startSector < end || p.startSector + p.sectorCount > sectors) std::abort();
    end = p.startSector + p.sectorCount;
  }
}

// The image as a disk of the list: volumes and free stretches in order, none overlapping, all inside.
void CheckListing(const std::filesystem::path& image, uint64_t sectors) {
  snapsave::DiskMap map(snapsave::MakeImageDiskFacts(image, 1000));
  if (!map.Refresh()) return;
  std::vector<snapsave::VolumeInfo> entries;
  map.GetAll(entries);
  uint64_t end = 0;
  for (const snapsave::VolumeInfo& v : entries) {
    if (v.sectorCount == 0 || v.startSector < end || v.startSector + v.sectorCount > sectors) std::abort();
    end = v.startSector + v.sectorCount;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::span<const uint8_t> bytes(data, size);

  // The sanitizer over entries read as (start, count, type) triples, with the image size first.
  if (size >= 8) {
    const uint64_t sectors = Le32(bytes, 0);
    std::vector<ImagePartition> entries;
    for (size_t at = 8; at + 9 <= size && entries.size() < 64; at += 9) {
      ImagePartition p;
      p.number = static_cast<int32_t>(entries.size() + 1);
      p.startSector = Le32(bytes, at);
      p.sectorCount = Le32(bytes, at + 4);
      p.typeByte = Le8(bytes, at + 8);
      entries.push_back(p);
    }
    CheckLayout(SanitizeLayout("dos", std::move(entries), sectors), sectors);
  }

  // The whole input as an image.
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  ImageLayout layout;
  if (ReadImageLayout(image.path(), layout) == 0) CheckLayout(layout, size / 512);
  // A table longer than the image (a copy cut short) is described, whatever it claims.
  if (layout.claimedSectors > layout.imageSectors && ImageShortfall(image.path()).empty()) std::abort();
  CheckListing(image.path(), size / 512);
  return 0;
}
