#include "cli/engine_choice.h"

#include <algorithm>
#include <vector>

#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_quick_engine.h"
#include "fs/ntfs/ntfs_boot_sector.h"
#include "fs/ntfs/ntfs_quick_engine.h"
#include "os/error.h"
#include "storage/sector_reader.h"

namespace snapsave::cli {

std::unique_ptr<IFileRecoveryParse> OpenQuickEngineForImage(const std::filesystem::path& image,
                                                            char16_t letter, uint32_t& error) {
  SectorReader reader;
  if (error = reader.OpenFile(image); error != err::kSuccess) return nullptr;
  std::vector<uint8_t> head(16384);
  const auto sectors = static_cast<int32_t>(std::min<uint64_t>(reader.TotalSectors(), head.size() / 512));
  uint32_t got = 0;
  if (sectors > 0) reader.ReadSectors(head, sectors, 0, 512, &got);
  if (got == 0) {
    error = err::kHandleEof;
    return nullptr;
  }
  const ByteSpan boot(head.data(), uint64_t{got} * 512);
  std::unique_ptr<IFileRecoveryParse> engine;
  if (IsNtfsBootSector(boot)) {
    engine = std::make_unique<CFastNtfsRecovery>();
  } else if (IsFatBootSector(boot)) {
    engine = std::make_unique<CFastFatRecovery>();
  }
  if (!engine) {
    error = err::kInvalidData;
    return nullptr;
  }
  if (error = engine->OpenImageFile(image, letter); error != err::kSuccess) return nullptr;
  return engine;
}

}  // namespace snapsave::cli
