// Btrfs structures as crafted volumes present them: chunks that overlap or stripe across devices, items whose
// data lies outside their leaf, superblocks whose checksum fails, compressed streams cut short or damaged.
#include "fs/btrfs/btrfs_structures.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "fs/btrfs/btrfs_compression.h"

namespace snapsave {
namespace {

BtrfsChunk Chunk(uint64_t logical, uint64_t length, uint64_t type, std::vector<BtrfsStripe> stripes) {
  BtrfsChunk c;
  c.logical = logical;
  c.length = length;
  c.type = type;
  c.stripeLength = 65536;
  c.stripes = std::move(stripes);
  return c;
}

// A DUP chunk maps each byte to both copies; a striped chunk, one on another device and one overlapping a
// kept chunk are not mapped; nothing maps past a chunk's end.
TEST(BtrfsChunkMap, MapsEachCopyOfWhatLiesWholeOnThisDevice) {
  BtrfsChunkMap map(1);
  map.Add(Chunk(1 << 20, 1 << 20, kBtrfsChunkMetadata | 32, {{1, 5 << 20}, {1, 9 << 20}}));
  map.Add(Chunk(4 << 20, 1 << 20, kBtrfsChunkData | kBtrfsChunkRaid0, {{1, 20 << 20}, {1, 30 << 20}}));
  map.Add(Chunk(8 << 20, 1 << 20, kBtrfsChunkData, {{2, 40 << 20}}));
  map.Add(Chunk((1 << 20) + 4096, 1 << 20, kBtrfsChunkData, {{1, 50 << 20}}));
  ASSERT_EQ(map.Chunks().size(), 1u);
  const auto p = map.Map((1 << 20) + 100);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->copies, (std::vector<uint64_t>{(5 << 20) + 100, (9 << 20) + 100}));
  EXPECT_EQ(p->contiguous, (1u << 20) - 100);
  EXPECT_FALSE(map.Map(2 << 20).has_value());
  EXPECT_FALSE(map.Map((4 << 20) + 1).has_value());
  EXPECT_FALSE(map.Map(100).has_value());
}

// The checksum covers the superblock past its first 32 bytes; the probe's test does not look at it.
TEST(BtrfsSuperblock, IsRefusedWhenItsChecksumFails) {
  std::vector<uint8_t> b(kBtrfsSuperblockSize, 0);
  std::copy_n("_BHRfS_M", 8, b.begin() + 0x40);
  PutLe64(b, 0x30, kBtrfsSuperblockOffset);
  PutLe32(b, 0x90, 4096);
  PutLe32(b, 0x94, 16384);
  PutLe64(b, 0x88, 1);
  std::copy_n("LABEL", 5, b.begin() + 0x12B);
  PutLe32(b, 0, BtrfsCrc32c(ByteSpan(b).subspan(32)));
  const auto s = ParseBtrfsSuperblock(b);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->label, "LABEL");
  b[0x200] ^= 1;
  EXPECT_FALSE(ParseBtrfsSuperblock(b).has_value());
  EXPECT_TRUE(IsBtrfsSuperblock(b));
  PutLe32(b, 0x94, 3000);  // a node size no volume has
  EXPECT_FALSE(IsBtrfsSuperblock(b));
}

// An item whose data would lie outside the leaf, or over the item table, is left out; the others stay.
TEST(BtrfsLeaf, ItemsWhoseDataLiesOutsideTheLeafAreLeftOut) {
  std::vector<uint8_t> leaf(4096, 0);
  const auto item = [&](uint32_t i, uint64_t object, uint32_t offset, uint32_t size) {
    const size_t at = kBtrfsHeaderSize + i * 25;
    PutLe64(leaf, at, object);
    leaf[at + 8] = kBtrfsInodeItem;
    PutLe32(leaf, at + 17, offset);
    PutLe32(leaf, at + 21, size);
  };
  item(0, 256, 3000, 160);
  item(1, 257, 4000, 160);  // past the end
  item(2, 258, 10, 160);    // over the item table
  item(3, 259, 0xFFFFFFF0u, 0x20);
  const std::vector<BtrfsLeafItem> items = BtrfsLeafItems(leaf, 4);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].key.objectId, 256u);
  EXPECT_EQ(items[0].data.size(), 160u);
}

// A compressed extent's stated size may run past what its stream holds (the last sector's rest): zeros follow
// and the extent is whole. A damaged stream is not whole; an unknown method gives nothing.
TEST(BtrfsCompression, StreamsShortOfTheStatedSizeEndInZerosAndDamagedOnesAreNotWhole) {
  const std::string text(6000, 'x');
  const auto length = static_cast<uLong>(text.size());
  std::vector<uint8_t> packed(compressBound(length));
  auto size = static_cast<uLongf>(packed.size());
  ASSERT_EQ(compress(packed.data(), &size, reinterpret_cast<const Bytef*>(text.data()), length), Z_OK);
  packed.resize(size);
  auto x = BtrfsDecompress(packed, kBtrfsCompressZlib, 8192, 4096);
  ASSERT_TRUE(x.has_value());
  EXPECT_TRUE(x->whole);
  ASSERT_EQ(x->bytes.size(), 8192u);
  EXPECT_EQ(std::string(x->bytes.begin(), x->bytes.begin() + 6000), text);
  EXPECT_EQ(std::count(x->bytes.begin() + 6000, x->bytes.end(), 0), 2192);
  packed.resize(packed.size() / 2);
  x = BtrfsDecompress(packed, kBtrfsCompressZlib, 8192, 4096);
  ASSERT_TRUE(x.has_value());
  EXPECT_FALSE(x->whole);
  EXPECT_FALSE(BtrfsDecompress(packed, 7, 8192, 4096).has_value());
  EXPECT_FALSE(BtrfsDecompress(packed, kBtrfsCompressZlib, uint64_t{1} << 40, 4096).has_value());
  if (BtrfsCanDecompress(kBtrfsCompressLzo)) {
    // A length word that says more than the stream holds.
    std::vector<uint8_t> lzo(64, 0);
    PutLe32(lzo, 0, 5000);
    x = BtrfsDecompress(lzo, kBtrfsCompressLzo, 4096, 4096);
    ASSERT_TRUE(x.has_value());
    EXPECT_FALSE(x->whole);
  }
}

}  // namespace
}  // namespace snapsave
