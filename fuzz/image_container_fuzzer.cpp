// Container images (E01, VHD, VHDX, VMDK, QCOW2, split raw) over arbitrary bytes: the input is written as an
// image file named as its content suggests (the EWF reader finds its segments by extension) and opened as a
// scan would open it; every sector it then claims to hold is read. Opening may fail; nothing may crash, hang
// or hand back more than was asked for.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "storage/image_container.h"
#include "storage/sector_reader.h"

namespace {

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    auto p =
        std::filesystem::temp_directory_path() / ("snapsave-container-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  if (size < 8) return 0;
  // Split raw sets are named by their pieces: a first byte 's' makes a set of three, the input, its first
  // half (a middle piece cut short; missing when the second byte says so) and its first quarter; the
  // second byte also chooses whether such a set is refused or its gap read as unreadable.
  const bool split = data[0] == 's';
  SetSplitGapsUnreadable(split && (data[1] & 1) != 0);
  const std::filesystem::path image = Folder() / (split ? "image.001" : "image.E01");
  {
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const std::filesystem::path second = Folder() / "image.002", third = Folder() / "image.003";
  std::filesystem::remove(second);
  std::filesystem::remove(third);
  if (split) {
    if ((data[1] & 2) == 0)
      std::ofstream(second, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size / 2));
    std::ofstream(third, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size / 4));
  }

  SectorReader reader;
  if (reader.OpenFile(image) != 0) return 0;
  // What is wrong with it, as a warning would say (it reads the first and last sectors itself).
  if (reader.Damage().size() > 4096) std::abort();
  std::vector<uint8_t> buffer(64 * 512);
  // The first and last sectors, and a stretch in the middle: where the containers' tables send reads.
  const uint64_t total = reader.TotalSectors();
  for (uint64_t start : {uint64_t{0}, total / 2, total > 64 ? total - 64 : 0}) {
    const auto count = static_cast<int32_t>(std::min<uint64_t>(64, total - std::min(total, start)));
    uint32_t got = 0;
    reader.ReadSectors(buffer, count, start, 512, &got);
    if (got > static_cast<uint32_t>(count)) std::abort();
  }
  return 0;
}
