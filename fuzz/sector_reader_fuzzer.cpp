// Reads arbitrary ranges of an arbitrary image: the range checks must refuse, never overrun. In half the
// runs the image has a rescue map beside it, from the input too: reads stop where it says nothing was
// rescued, and still never overrun.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/memory_image.h"
#include "os/byte_reader.h"
#include "storage/sector_reader.h"

namespace {

// A folder of this process's own for the image and the map beside it.
const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    auto p = std::filesystem::temp_directory_path() / ("snapsave-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  return folder;
}

void Write(const std::filesystem::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 16) return 0;
  snapsave::ByteSpan head(data, 16);
  const uint64_t start = snapsave::Le64(head, 0);
  const auto count = static_cast<int32_t>(snapsave::Le32(head, 8) % 300);
  const uint32_t sectorSize = 512u << (snapsave::Le8(head, 12) % 4);
  const bool withMap = (snapsave::Le8(head, 13) & 1) != 0;
  const size_t mapBytes = std::min<size_t>(size - 16, snapsave::Le16(head, 14) % 2048);
  snapsave::SectorReader reader;
  std::vector<uint8_t> buffer(static_cast<size_t>(count) * sectorSize);
  uint32_t got = 0;
  if (withMap) {
    const std::filesystem::path image = Folder() / "card.img";
    Write(image, data + 16 + mapBytes, size - 16 - mapBytes);
    Write(Folder() / "card.map", data + 16, mapBytes);
    if (reader.OpenFile(image) != 0) return 0;
    reader.ReadSectors(buffer, count, start, sectorSize, &got);
    snapsave::SectorReader::ZeroFill fill(reader);
    reader.ReadSectors(buffer, count, start, sectorSize, &got);
    return 0;
  }
  snapsave::fuzz::MemoryImage image(data + 16, size - 16);
  if (!image.ok()) return 0;
  if (reader.OpenFile(image.path()) != 0) return 0;
  reader.ReadSectors(buffer, count, start, sectorSize, &got);
  return 0;
}
