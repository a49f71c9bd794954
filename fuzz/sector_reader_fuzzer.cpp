// Reads arbitrary ranges of an arbitrary image: the range checks must refuse, never overrun.
#include <cstdint>
#include <vector>

#include "fuzz/memory_image.h"
#include "os/byte_reader.h"
#include "storage/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 16) return 0;
  snapsave::ByteSpan head(data, 16);
  const uint64_t start = snapsave::Le64(head, 0);
  const auto count = static_cast<int32_t>(snapsave::Le32(head, 8) % 300);
  const uint32_t sectorSize = 512u << (snapsave::Le8(head, 12) % 4);
  snapsave::fuzz::MemoryImage image(data + 16, size - 16);
  if (!image.ok()) return 0;
  snapsave::SectorReader reader;
  if (reader.OpenFile(image.path()) != 0) return 0;
  std::vector<uint8_t> buffer(static_cast<size_t>(count) * sectorSize);
  uint32_t got = 0;
  reader.ReadSectors(buffer, count, start, sectorSize, &got);
  return 0;
}
