#include "engines/scan_checkpoint.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace snapsave {
namespace {

// A checkpoint reads back as written; one cut short, changed or of another version is refused whole, so that
// a continued scan never starts from half a position.
TEST(ScanCheckpointFile, ReadsBackAndRefusesDamage) {
  ScanCheckpoint c;
  c.position = {2048, uint64_t{1} << 40, 77, 5000, 12, false};
  c.carverRecords = 9;
  c.metadataEntries = 31;
  c.streamStart = false;
  c.transportStreamInProgress = true;
  c.transportStreamRanges = {{100, 180}, {400, 401}};
  c.skipped = {{9000, 128}};
  c.unreadableSectors = 3;
  c.unreadable = {{700, 2}, {900, 1}};
  const std::vector<uint8_t> bytes = EncodeScanCheckpoint(c);
  const auto back = ParseScanCheckpoint(bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(EncodeScanCheckpoint(*back), bytes);
  EXPECT_EQ(back->position.runLength, c.position.runLength);
  EXPECT_FALSE(back->streamStart);
  EXPECT_TRUE(back->transportStreamInProgress);
  ASSERT_EQ(back->unreadable.size(), 2u);
  EXPECT_EQ(back->unreadable[1].firstSector, 900u);

  for (size_t cut = 0; cut < bytes.size(); cut += 7)
    EXPECT_FALSE(ParseScanCheckpoint(std::span(bytes).first(cut))) << cut;
  for (size_t at = 0; at < bytes.size(); ++at) {
    std::vector<uint8_t> changed = bytes;
    changed[at] ^= 0x10;
    EXPECT_FALSE(ParseScanCheckpoint(changed)) << at;
  }
}

// The metadata log keeps what a checkpoint counted and drops what came after it.
TEST(ScanCheckpointFile, TheMetadataLogKeepsTheCheckpointedEntries) {
  test::TempDir dir;
  const auto path = dir.path() / kMetadataLogFileName;
  MetadataLog log;
  ASSERT_EQ(log.Open(path, 0), 0u);
  for (uint16_t i = 0; i < 5000; ++i)
    log.Append({uint64_t{i} * 128, 128, static_cast<uint16_t>(i % 129), static_cast<uint16_t>(i % 128)});
  ASSERT_EQ(log.Sync(), 0u);
  for (uint16_t i = 0; i < 10; ++i) log.Append({1, 1, 1, 0});
  ASSERT_EQ(log.Sync(), 0u);
  log.Close();

  ASSERT_EQ(log.Open(path, 5000), 0u);
  EXPECT_EQ(log.Entries(), 5000u);
  uint64_t seen = 0;
  ASSERT_EQ(log.ForEach([&](const MetadataEntry& e) {
    EXPECT_EQ(e.chunkStart, seen * 128);
    EXPECT_EQ(e.validSectors, seen % 129);
    EXPECT_EQ(e.index, seen % 128);
    ++seen;
    return true;
  }),
            0u);
  EXPECT_EQ(seen, 5000u);
  EXPECT_EQ(std::filesystem::file_size(path), 5000 * kMetadataEntrySize);
}

}  // namespace
}  // namespace snapsave
