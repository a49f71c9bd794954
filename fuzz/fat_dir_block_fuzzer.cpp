// The FAT directory-block walk, the record builder, the sibling-name guess, the first-cluster probe and the
// content check over
// arbitrary bytes. The first byte picks the long-name policy and the sector size; the rest is both the block
// and, read as an image, the clusters the probe and the check look at.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "fs/fat/fat_dir_block.h"
#include "fuzz/memory_image.h"
#include "storage/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  const std::span<const uint8_t> block(data + 1, size - 1);
  const uint32_t sectorSize = 512u << (flags & 1);
  const auto overflow = (flags & 2) != 0 ? LongNameOverflow::kStartsOver : LongNameOverflow::kEndsDirectory;

  fuzz::MemoryImage memory(block.data(), block.size());
  if (!memory.ok()) return 0;
  SectorReader reader;
  if (reader.OpenFile(memory.path()) != 0) return 0;
  // Cluster n is sector n of the image, when there is one.
  const ClusterSectorRead read = [&](uint32_t cluster,
                                     std::vector<uint8_t>& sector) -> std::optional<uint64_t> {
    if (uint64_t{cluster} * sectorSize + sectorSize > block.size()) return std::nullopt;
    sector.assign(block.begin() + static_cast<std::ptrdiff_t>(uint64_t{cluster} * sectorSize),
                  block.begin() + static_cast<std::ptrdiff_t>(uint64_t{cluster} * sectorSize + sectorSize));
    return cluster;
  };
  const FatRecordSource source{u'F', SourceKind::kFatQuick, 4096, 100, 0};

  // The block's names as one folder's; a guess keeps the name's length and changes only its first byte.
  SiblingNames siblings;
  WalkDirectoryBlock(block, overflow, [&](DirItem&& item) { siblings.Note(item.entry); });
  size_t last = 0;
  bool first = true;
  const DirBlockWalk walk = WalkDirectoryBlock(block, overflow, [&](DirItem&& item) {
    // Entries come in order, whole, inside the block.
    if (item.offset + kDirEntrySize > block.size() || (!first && item.offset <= last)) std::abort();
    if (item.entry.bytes.data() != block.data() + item.offset) std::abort();
    first = false;
    last = item.offset;
    const bool isDir = item.entry.IsDirectory();
    bool guessed = false;
    const std::string name = GuessedShortName(item.entry, isDir, siblings, guessed);
    const std::string plain = BuildShortName(item.entry.bytes, isDir);
    if (name.size() != plain.size() || (!plain.empty() && name.substr(1) != plain.substr(1))) std::abort();
    if (guessed && (!item.entry.IsDeleted() || name[0] == '!')) std::abort();
    const FoundFileRecord r =
        MakeEntryRecord(source, item.entry,
                        item.longName ? *item.longName : BuildShortName(item.entry.bytes, isDir), 7, isDir);
    const uint32_t cluster =
        ProbeFirstCluster(item.entry.LowCluster() & 0x3F, isDir, r.Name(), read, reader, sectorSize);
    ContentCheck(cluster, r.Name(), read, reader, sectorSize);
    EntryCluster(item.entry, (flags & 4) != 0);
  });
  if (walk.openLongName && (walk.end != DirBlockEnd::kBlockEnd || *walk.openLongName >= block.size()))
    std::abort();
  StartsWithDots(block);
  return 0;
}
