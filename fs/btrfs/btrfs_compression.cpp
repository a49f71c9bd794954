#include "fs/btrfs/btrfs_compression.h"

#include <zlib.h>

#include <algorithm>

#ifdef SNAPSAVE_HAVE_LZO
#include <lzo/lzo1x.h>
#endif
#ifdef SNAPSAVE_HAVE_ZSTD
#include <zstd.h>
#endif

#include "fs/btrfs/btrfs_structures.h"

namespace snapsave {

namespace {

bool Inflate(ByteSpan in, std::vector<uint8_t>& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int r = Z_OK;
  while (r == Z_OK && z.avail_out != 0) r = inflate(&z, Z_NO_FLUSH);
  inflateEnd(&z);
  return r == Z_STREAM_END || (r == Z_OK && z.avail_out == 0);  // short of the stated size: zeros follow
}

#ifdef SNAPSAVE_HAVE_LZO
// A length word first (the whole stream's), then segments: a length word and what expands to one sector at
// most. A length word never straddles a sector's end; the rest of that sector is padding then.
bool Unlzo(ByteSpan in, std::vector<uint8_t>& out, uint32_t sectorSize) {
  if (!Has(in, 0, 4) || sectorSize < 4) return false;
  const size_t total = Le32(in, 0);
  if (total > in.size()) return false;
  size_t at = 4;
  size_t done = 0;
  while (done < out.size()) {
    if (sectorSize - at % sectorSize < 4) at += sectorSize - at % sectorSize;
    if (at >= total) return true;  // the writer had no more: the rest of the extent is zeros
    if (at + 4 > total) return false;
    const uint32_t length = Le32(in, at);
    at += 4;
    if (length == 0 || length > total - at) return false;
    lzo_uint produced = std::min<size_t>(sectorSize, out.size() - done);
    if (lzo1x_decompress_safe(in.data() + at, length, out.data() + done, &produced, nullptr) != LZO_E_OK)
      return false;
    done += produced;
    at += length;
  }
  return true;
}
#endif

#ifdef SNAPSAVE_HAVE_ZSTD
bool Unzstd(ByteSpan in, std::vector<uint8_t>& out) {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  if (context == nullptr) return false;
  ZSTD_inBuffer from{in.data(), in.size(), 0};
  ZSTD_outBuffer to{out.data(), out.size(), 0};
  size_t r = 1;
  while (to.pos < to.size && from.pos < from.size) {
    r = ZSTD_decompressStream(context, &to, &from);
    if (ZSTD_isError(r) || r == 0) break;
  }
  ZSTD_freeDCtx(context);
  // A frame may end short of the extent's stated size: the writer had no more, the rest is zeros.
  return !ZSTD_isError(r) && (r == 0 || to.pos == to.size);
}
#endif

}  // namespace

bool BtrfsCanDecompress(uint8_t compression) {
  switch (compression) {
    case kBtrfsCompressNone:
    case kBtrfsCompressZlib:
      return true;
#ifdef SNAPSAVE_HAVE_LZO
    case kBtrfsCompressLzo:
      return true;
#endif
#ifdef SNAPSAVE_HAVE_ZSTD
    case kBtrfsCompressZstd:
      return true;
#endif
    default:
      return false;
  }
}

std::optional<BtrfsExpanded> BtrfsDecompress(ByteSpan stored, uint8_t compression, uint64_t ramBytes,
                                             [[maybe_unused]] uint32_t sectorSize) {
  if (ramBytes > (uint64_t{1} << 20)) return std::nullopt;
  BtrfsExpanded e;
  e.bytes.assign(static_cast<size_t>(ramBytes), 0);
  if (ramBytes == 0) {
    e.whole = true;
    return e;
  }
  switch (compression) {
    case kBtrfsCompressZlib:
      e.whole = Inflate(stored, e.bytes);
      return e;
#ifdef SNAPSAVE_HAVE_LZO
    case kBtrfsCompressLzo:
      e.whole = Unlzo(stored, e.bytes, sectorSize);
      return e;
#endif
#ifdef SNAPSAVE_HAVE_ZSTD
    case kBtrfsCompressZstd:
      e.whole = Unzstd(stored, e.bytes);
      return e;
#endif
    default:
      return std::nullopt;
  }
}

}  // namespace snapsave
