// The container and document walkers
// over arbitrary media: each starts at the first sector of the input read as an image and follows whatever
// sizes it finds. A walk may decline (0) or end anywhere up to its limit, never past it, and the length rules
// built on them never pass the medium.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"
#include "filetypes/jpeg_check.h"
#include "fuzz/memory_image.h"
#include "storage/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  if (size < 512) return 0;
  fuzz::MemoryImage memory(data, size);
  if (!memory.ok()) return 0;
  SectorReader reader;
  if (reader.OpenFile(memory.path()) != 0) return 0;
  CarvingContext ctx;
  if (!ctx.AcquireWorkBuffer()) return 0;
  ctx.Begin(&reader, 512, 0);
  const std::span<const uint8_t> header(data, 512);
  // Limits small enough that the fuzzer reaches them.
  const uint64_t limit = uint64_t{1} << (20 + data[0] % 4);
  {
    FileBytes file(ctx, header);
    if (IsoMediaLength(file, limit) > limit || MatroskaLength(file, limit) > limit ||
        FlvLength(file, limit) > limit)
      std::abort();
    const SectorStop stop = [](CarvingContext&, uint64_t, ByteSpan sector) { return sector[0] == 0xFF; };
    if (JpegSegmentsLength(file, limit, stop) > limit || MpegAudioLength(file, limit) > limit ||
        TiffLength(file, limit) > limit || CompoundDocumentLength(file, limit) > limit ||
        PsdLength(file, limit) > limit || SwfLength(file, limit) > limit ||
        MpegProgramLength(file, limit) > limit || RealMediaLength(file, limit) > limit ||
        MxfLength(file, limit) > limit || SmafLength(file, limit) > limit ||
        M2tsLength(file, limit) > limit || PngLength(file, limit) > limit || GifLength(file, limit) > limit)
      std::abort();
    // Where a picture's structure breaks off, the end of its last whole unit lies within the limit too.
    uint64_t png = 0, gif = 0, jpeg = 0;
    if ((PngLength(file, limit, &png) == 0 && png > limit) ||
        (GifLength(file, limit, &gif) == 0 && gif > limit) ||
        (JpegSegmentsLength(file, limit, stop, &jpeg) == 0 && jpeg > limit))
      std::abort();
    uint64_t ogg = 0, flac = 0, zip = 0;
    if (OggLength(file, limit, &ogg) > limit || FlacLength(file, limit, &flac) > limit || ogg > limit ||
        flac > limit || ZipLength(file, limit, &zip) > limit || zip > limit)
      std::abort();
    uint64_t gz = 0, bz = 0, xz = 0;
    if (PdfLength(file, limit, stop) > limit || GzipLength(file, limit, &gz) > limit || gz > limit ||
        Bzip2Length(file, limit, &bz) > limit || bz > limit || XzLength(file, limit, &xz) > limit ||
        xz > limit || SevenZipLength(file, limit) > limit || RarLength(file, limit) > limit ||
        SqliteLength(file, limit) > limit || PstLength(file, limit) > limit ||
        AdtsLength(file, limit) > limit || AmrLength(file, limit) > limit || RafLength(file, limit) > limit ||
        IffLength(file, limit) > limit)
      std::abort();
  }
  const uint64_t medium = uint64_t{reader.TotalSectors()} * 512;
  // A file read in two pieces: reads stay on the medium whatever the split, and the unit checks and the
  // picture decode take whatever bytes they get.
  if (const uint64_t sectors = reader.TotalSectors(); sectors >= 3 && size > 4) {
    const uint64_t head = 1 + data[1] % (sectors - 2);
    const SplitAt split{head, head + 1 + data[2] % (sectors - head - 1)};
    FileBytes joined(ctx, header, split);
    if (joined.MediumBytes() > medium) std::abort();
    std::vector<uint8_t> probe(1 + data[3] * 7u);
    const uint64_t at = uint64_t{data[4]} * 61;
    if (joined.Read(at, probe) && at + probe.size() > joined.MediumBytes()) std::abort();
    PngChunkChecks(joined, at);
    OggPageChecks(joined, at);
    ZipMemberChecks(joined, at);
    JpegRows rows;
    CheckJpeg(joined, std::min<uint64_t>(joined.MediumBytes(), limit), uint64_t{4} << 20, &rows);
    FindSeam(rows);
  }
  // Every measure, on whatever the header sector holds.
  for (const CarvingTypeRow& row : CarvingTypeTable()) {
    if (!row.IsCarved()) continue;
    ctx.Begin(&reader, 512, 0);
    if (MeasureLength(ctx, row, header) > medium) std::abort();
  }
  return 0;
}
