#include "fs/ext/ext_structures.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace snapsave {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  Put16(b, at, static_cast<uint16_t>(v));
  Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
void PutBe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Blocks of a pretend volume, 1 KiB each.
struct Blocks {
  std::map<uint64_t, Bytes> data;
  ExtBlockReader Reader() {
    return [this](uint64_t block, std::span<uint8_t> into) {
      const auto it = data.find(block);
      if (it == data.end()) return false;
      std::copy(it->second.begin(), it->second.end(), into.begin());
      return true;
    };
  }
};

ExtInode ExtentInode(uint16_t entries, uint16_t depth) {
  ExtInode n;
  n.mode = 0x8000;
  n.flags = kExtExtentsFlag;
  Bytes b(60, 0);
  Put16(b, 0, 0xF30A);
  Put16(b, 2, entries);
  Put16(b, 4, 4);
  Put16(b, 6, depth);
  std::copy(b.begin(), b.end(), n.block.begin());
  return n;
}

// Extent leaves in the inode and below an index node map in logical order, cut at the file's size; an index
// that points back at itself or a tree deeper than it says ends without looping.
TEST(ExtBlockMap, ExtentTreesMapInOrderAndEndOnLoops) {
  Blocks blocks;
  ExtInode n = ExtentInode(1, 1);
  Bytes root(60, 0);
  std::copy(n.block.begin(), n.block.end(), root.begin());
  Put32(root, 12, 0);    // first logical block
  Put32(root, 16, 500);  // index node at block 500
  std::copy(root.begin(), root.end(), n.block.begin());
  Bytes node(1024, 0);
  Put16(node, 0, 0xF30A);
  Put16(node, 2, 3);
  Put16(node, 6, 0);
  auto leaf = [&](size_t i, uint32_t logical, uint16_t length, uint32_t start) {
    Put32(node, 12 + i * 12, logical);
    Put16(node, 16 + i * 12, length);
    Put32(node, 20 + i * 12, start);
  };
  leaf(0, 4, 2, 900);
  leaf(1, 0, 32768 + 4, 100);  // uninitialised: four blocks all the same
  leaf(2, 6, 50, 902);         // runs on from the first, and past the size
  blocks.data[500] = node;
  ExtMapLimits limits{1000, 20};
  const auto runs = MapExtInode(n, 1024, limits, blocks.Reader());
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].logical, 0u);
  EXPECT_EQ(runs[0].physical, 100u);
  EXPECT_EQ(runs[0].count, 4u);
  EXPECT_EQ(runs[1].physical, 900u);
  EXPECT_EQ(runs[1].count, 16u);  // 2 + 14: cut at the file's 20 blocks

  // The node names itself as its child, and claims more depth than the root allows.
  Put16(node, 6, 1);
  Put32(node, 16, 500);
  blocks.data[500] = node;
  EXPECT_TRUE(MapExtInode(n, 1024, limits, blocks.Reader()).empty());
}

// Block pointers: twelve direct, then an indirect block; a zero pointer is a hole, pointers past the volume
// are dropped.
TEST(ExtBlockMap, BlockPointersWithAnIndirectBlock) {
  Blocks blocks;
  ExtInode n;
  n.mode = 0x8000;
  Bytes p(60, 0);
  for (uint32_t i = 0; i < 12; ++i) Put32(p, i * 4, i == 5 ? 0 : 200 + i);
  Put32(p, 48, 300);
  std::copy(p.begin(), p.end(), n.block.begin());
  Bytes indirect(1024, 0);
  Put32(indirect, 0, 212);
  Put32(indirect, 4, 5000);  // past the volume
  Put32(indirect, 8, 214);
  blocks.data[300] = indirect;
  const auto runs = MapExtInode(n, 1024, ExtMapLimits{1000, 15}, blocks.Reader());
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].count, 5u);  // 200-204
  EXPECT_EQ(runs[1].logical, 6u);
  EXPECT_EQ(runs[1].count, 7u);  // 206-212, the indirect block's first pointer joining on
  EXPECT_EQ(runs[2].logical, 14u);
  EXPECT_EQ(runs[2].physical, 214u);
}

Bytes Entry(uint32_t inode, uint16_t recordLength, std::string_view name, uint8_t type) {
  Bytes b(8 + name.size(), 0);
  Put32(b, 0, inode);
  Put16(b, 4, recordLength);
  b[6] = static_cast<uint8_t>(name.size());
  b[7] = type;
  std::copy(name.begin(), name.end(), b.begin() + 8);
  return b;
}

// A folder block: its live entries, a deleted one in the slack of the entry before it, no "." or "..", no
// checksum tail; a record length that leads out of the block ends the walk.
TEST(ExtDirBlock, LiveEntriesAndTheDeletedOnesInTheirSlack) {
  Bytes block(1024, 0);
  auto place = [&](size_t at, const Bytes& e) {
    std::copy(e.begin(), e.end(), block.begin() + static_cast<ptrdiff_t>(at));
  };
  place(0, Entry(2, 12, ".", 2));
  place(12, Entry(2, 12, "..", 2));
  place(24, Entry(11, 40, "keep.txt", 1));  // its slack holds the deleted entry after it
  place(40, Entry(12, 24, "gone.jpg", 1));
  place(64, Entry(13, 1024 - 64 - 12, "photos", 2));
  place(1024 - 12, Entry(0, 12, "", 0xDE));
  const auto entries = ParseExtDirBlock(block, 100, false);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "keep.txt");
  EXPECT_FALSE(entries[0].deleted);
  EXPECT_EQ(entries[1].name, "gone.jpg");
  EXPECT_TRUE(entries[1].deleted);
  EXPECT_EQ(entries[1].inode, 12u);
  EXPECT_EQ(entries[2].fileType, 2);

  // An inode number past the volume's is not a deleted entry; a broken length ends the block.
  Put32(block, 40, 1000);
  Put16(block, 64 + 4, 2000);
  const auto hostile = ParseExtDirBlock(block, 100, false);
  ASSERT_EQ(hostile.size(), 1u);
  EXPECT_EQ(hostile[0].name, "keep.txt");

  // An inner index block of a hashed folder: its hash and block pairs are never read as deleted entries.
  Bytes node(1024, 0);
  Put16(node, 4, 1024);
  const Bytes lookalike = Entry(5, 12, "ab", 1);
  std::copy(lookalike.begin(), lookalike.end(), node.begin() + 16);
  EXPECT_TRUE(ParseExtDirBlock(node, 100, false).empty());
}

// An inline folder: entries in the block map after the parent's number, and in the "system.data" attribute
// among the inode's extra bytes; an attribute whose value lies past the inode adds nothing. The inode's
// checksum covers its number and every byte but the checksum's own.
TEST(ExtInlineData, FolderEntriesInTheInodeAndItsAttribute) {
  Bytes raw(256, 0);
  auto place = [&](size_t at, const Bytes& e) {
    std::copy(e.begin(), e.end(), raw.begin() + static_cast<ptrdiff_t>(at));
  };
  Put16(raw, 0, 0x41ED);
  Put32(raw, 4, 60 + 20);
  Put32(raw, 0x20, kExtInlineDataFlag);
  Put32(raw, 0x28, 2);                         // the parent
  place(0x28 + 4, Entry(12, 56, "a.txt", 1));  // its slack holds a deleted entry
  place(0x28 + 4 + 16, Entry(13, 16, "b.txt", 1));
  Put16(raw, 0x80, 32);
  const size_t attrs = 128 + 32;
  Put32(raw, attrs, 0xEA020000);
  raw[attrs + 4] = 4;  // the name's length
  raw[attrs + 5] = 7;  // "system."
  Put16(raw, attrs + 4 + 2, 24);
  Put32(raw, attrs + 4 + 8, 20);
  place(attrs + 4 + 16, Bytes{'d', 'a', 't', 'a'});
  place(attrs + 4 + 24, Entry(14, 20, "c.txt", 1));
  auto names = [](const std::vector<ExtDirEntry>& entries) {
    std::vector<std::pair<std::string, bool>> v;
    for (const ExtDirEntry& e : entries) v.emplace_back(e.name, e.deleted);
    return v;
  };
  const auto inode = ParseExtInode(raw, 256);
  ASSERT_TRUE(inode.has_value());
  EXPECT_EQ(inode->inlineData.size(), 80u);
  EXPECT_EQ(names(ParseExtInlineDir(*inode, 100)),
            (std::vector<std::pair<std::string, bool>>{{"a.txt", false}, {"b.txt", true}, {"c.txt", false}}));

  Put16(raw, attrs + 4 + 2, 250);  // the value's offset past the inode
  EXPECT_EQ(ParseExtInode(raw, 256)->inlineData.size(), 60u);

  const std::string check = "123456789";
  EXPECT_EQ(~ExtCrc32c(~0u, std::span(reinterpret_cast<const uint8_t*>(check.data()), check.size())),
            0xE3069283u);
  const uint32_t sum = ExtInodeChecksum(raw, 256, 12, 0x1234);
  Put16(raw, 0x7C, static_cast<uint16_t>(sum));
  Put16(raw, 0x82, static_cast<uint16_t>(sum >> 16));
  EXPECT_TRUE(ExtInodeChecksumOk(raw, 256, 12, 0x1234));
  EXPECT_FALSE(ExtInodeChecksumOk(raw, 256, 13, 0x1234));
  raw[0x29] ^= 1;
  EXPECT_FALSE(ExtInodeChecksumOk(raw, 256, 12, 0x1234));
}

// Journal descriptors: tags of each layout (the journal's UUID after the first, 64-bit block numbers, v3
// check sums), up to the one flagged last; revoke blocks name their blocks.
TEST(ExtJournal, DescriptorTagsInEachLayoutAndRevokes) {
  Bytes sb(1024, 0);
  PutBe32(sb, 0, 0xC03B3998);
  PutBe32(sb, 4, 4);
  PutBe32(sb, 0xC, 1024);
  PutBe32(sb, 0x10, 256);
  PutBe32(sb, 0x14, 1);
  PutBe32(sb, 0x28, 0x2 | 0x10);  // 64-bit, check sums v3
  const auto journal = ParseJournalSuperblock(sb);
  ASSERT_TRUE(journal.has_value());
  EXPECT_EQ(journal->TagBytes(), 16u);

  Bytes d(1024, 0);
  PutBe32(d, 0, 0xC03B3998);
  PutBe32(d, 4, 1);
  PutBe32(d, 8, 7);
  PutBe32(d, 12, 35);  // first tag: no "same UUID" flag, so 16 bytes of UUID follow
  PutBe32(d, 16, 0);
  PutBe32(d, 20, 1);  // high half of the block number
  PutBe32(d, 44, 36);
  PutBe32(d, 48, 2 | 1);  // same UUID, escaped
  PutBe32(d, 60, 37);
  PutBe32(d, 64, 2 | 8);  // the last
  PutBe32(d, 76, 99);     // past the last: not a tag
  const auto tags = ParseJournalDescriptor(d, *journal);
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0].block, (uint64_t{1} << 32) | 35);
  EXPECT_TRUE(tags[1].escaped);
  EXPECT_EQ(tags[2].block, 37u);

  Bytes r(1024, 0);
  PutBe32(r, 0, 0xC03B3998);
  PutBe32(r, 4, 5);
  PutBe32(r, 12, 16 + 16);
  PutBe32(r, 20, 40);
  PutBe32(r, 28, 41);
  EXPECT_EQ(ParseJournalRevoke(r, *journal), (std::vector<uint64_t>{40, 41}));
  PutBe32(r, 12, 100000);  // a count past the block is cut at it
  EXPECT_EQ(ParseJournalRevoke(r, *journal).size(), (1024u - 16) / 8);
}

}  // namespace
}  // namespace snapsave
