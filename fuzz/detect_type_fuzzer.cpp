// Header tests on arbitrary sectors, with an arbitrary medium behind them for the tests that read further
// sectors. Also checks that DetectType's first-byte shortcut picks the same test as running every row in
// order.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "fuzz/memory_image.h"
#include "os/byte_reader.h"
#include "storage/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  constexpr size_t kControl = 6;
  if (size < kControl) return 0;
  const ByteSpan control(data, kControl);
  const uint8_t flags = control[0];
  const uint32_t sectorSize = 512u << (flags & 3);
  const size_t sectorLength = Le16(control, 1) % (sectorSize + 1);
  const uint64_t startSector = control[3] % 8;
  const auto& row = CarvingTypeTable()[control[4] % CarvingTypeTable().size()];

  // The medium is everything behind the control bytes; the sector under test is taken from it where it
  // exists, so the further sectors the tests read really follow it.
  const uint8_t* image = data + kControl;
  const size_t imageSize = size - kControl;
  fuzz::MemoryImage memory(image, imageSize);
  if (!memory.ok()) return 0;
  SectorReader reader;
  if (reader.OpenFile(memory.path()) != 0) return 0;
  const uint64_t offset = startSector * sectorSize;
  const size_t available = offset < imageSize ? imageSize - static_cast<size_t>(offset) : 0;
  const std::span<const uint8_t> sector = available > 0
                                              ? std::span(image + offset, std::min(sectorLength, available))
                                              : std::span(image, std::min(sectorLength, imageSize));

  CarvingContext ctx;
  ctx.Begin((flags & 0x10) != 0 ? nullptr : &reader, sectorSize, startSector);
  ctx.SetStreamStart((flags & 4) != 0);
  ctx.SetTransportStreamInProgress((flags & 8) != 0);
  if ((flags & 0x20) != 0) ctx.AddTransportStreamRange(control[5] % 8, control[5] % 8 + (control[5] >> 3));

  const uint32_t fast = DetectType(ctx, sector);
  const uint32_t reference = DetectTypeSequential(ctx, sector);
  if (fast != reference || (fast != kNoType && FirstRowWithCode(fast) == nullptr)) std::abort();

  VerifyExtension(sector, row.extension, &reader, sectorSize, startSector);
  return 0;
}
