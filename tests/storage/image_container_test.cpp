// Container images as sources: every format made from one FAT volume by the real tools reads back as that
// volume, sector for sector; damaged containers are refused, never read as raw.
#include "storage/image_container.h"

#include <fmt/core.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/error.h"
#include "storage/image_layout.h"
#include "storage/sector_reader.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

class ImageContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    raw_ = dir_.path() / "holes16.img";
    test::GunzipFixture("fat/holes16.img.gz", raw_);
  }
  fs::path Unpacked(const std::string& name) {
    const fs::path p = dir_.path() / name;
    test::GunzipFixture("images/" + name + ".gz", p);
    return p;
  }
  // Every sector of `reader`, read in pieces of 200.
  static std::vector<uint8_t> AllOf(const SectorReader& reader) {
    std::vector<uint8_t> bytes(reader.TotalSectors() * 512);
    for (uint64_t s = 0; s < reader.TotalSectors(); s += 200) {
      const auto n = static_cast<int32_t>(std::min<uint64_t>(200, reader.TotalSectors() - s));
      uint32_t got = 0;
      EXPECT_EQ(reader.ReadSectors(std::span(bytes).subspan(s * 512, size_t(n) * 512), n, s, 512, &got), 0u);
      EXPECT_EQ(got, static_cast<uint32_t>(n));
    }
    return bytes;
  }
  test::TempDir dir_;
  fs::path raw_;
};

TEST_F(ImageContainerTest, EveryFormatReadsAsTheVolumeItHolds) {
#ifndef SNAPSAVE_HAVE_LIBYAL
  GTEST_SKIP() << "built without the libyal readers";
#endif
  const std::vector<uint8_t> volume = test::ReadFile(raw_);
  struct Case {
    const char* file;
    ImageFormat format;
    uint64_t extraSectors;  // qemu-img rounds a VHD up to a whole disk geometry, zero-filled
  };
  const Case kCases[] = {{"holes16.vhd", ImageFormat::kVhd, 4},    {"fixed.vhd", ImageFormat::kVhd, 4},
                         {"holes16.vhdx", ImageFormat::kVhdx, 0},  {"holes16.vmdk", ImageFormat::kVmdk, 0},
                         {"holes16.qcow2", ImageFormat::kQcow, 0}, {"holes16.E01", ImageFormat::kEwf, 0}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.file);
    const fs::path image = Unpacked(c.file);
    EXPECT_EQ(DetectImageFormat(image), c.format);
    SectorReader reader;
    ASSERT_EQ(reader.OpenFile(image), 0u);
    EXPECT_EQ(reader.TotalSectors(), volume.size() / 512 + c.extraSectors);
    EXPECT_EQ(ImageMediaBytes(image), reader.TotalSectors() * 512);
    std::vector<uint8_t> bytes = AllOf(reader);
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<ptrdiff_t>(volume.size()), bytes.end(),
                            [](uint8_t b) { return b == 0; }));
    bytes.resize(volume.size());
    EXPECT_TRUE(bytes == volume);
  }
  // Split raw: the first piece names the set; a piece on its own is raw.
  for (const char* piece : {"holes16.img.001", "holes16.img.002", "holes16.img.003"}) Unpacked(piece);
  const fs::path first = dir_.path() / "holes16.img.001";
  EXPECT_EQ(DetectImageFormat(first), ImageFormat::kSplitRaw);
  EXPECT_EQ(DetectImageFormat(dir_.path() / "holes16.img.002"), ImageFormat::kRaw);
  SectorReader split;
  ASSERT_EQ(split.OpenFile(first), 0u);
  EXPECT_TRUE(AllOf(split) == volume);
  // A read across the pieces' boundary at 3 MiB.
  std::vector<uint8_t> across(4 * 512);
  uint32_t got = 0;
  ASSERT_EQ(split.ReadSectors(across, 4, 3 * 2048 - 2, 512, &got), 0u);
  EXPECT_TRUE(std::equal(across.begin(), across.end(), volume.begin() + (3 * 2048 - 2) * 512));
  EXPECT_EQ(DetectImageFormat(raw_), ImageFormat::kRaw);
  EXPECT_EQ(ImageMediaBytes(raw_), volume.size());
}

// A container cut short or spoiled in its headers is refused with an error; nothing reads it as raw.
TEST_F(ImageContainerTest, DamagedContainersAreRefused) {
  for (const char* name : {"holes16.vhdx", "holes16.vmdk", "holes16.qcow2", "holes16.E01", "holes16.vhd"}) {
    SCOPED_TRACE(name);
    const fs::path image = Unpacked(name);
    std::vector<uint8_t> bytes = test::ReadFile(image);
    const ImageFormat format = DetectImageFormat(image);
    bytes.resize(std::min<size_t>(bytes.size(), 600));  // the signature and little else
    test::WriteFile(image, bytes);
    EXPECT_EQ(DetectImageFormat(image), format);
    SectorReader reader;
    const uint32_t e = reader.OpenFile(image);
    if (e == 0) {
      // A library that accepts the stub must still give only what it holds.
      EXPECT_LT(reader.TotalSectors(), 16384u);
    } else {
      EXPECT_FALSE(reader.IsOpen());
    }
  }
#ifdef SNAPSAVE_HAVE_LIBYAL
  // Cut in half, where the tables point past the end: refused, or opened and said to be cut.
  for (const char* name : {"holes16.vhdx", "holes16.qcow2"}) {
    SCOPED_TRACE(name);
    const fs::path image = Unpacked(name);
    fs::resize_file(image, fs::file_size(image) / 2);
    SectorReader reader;
    if (reader.OpenFile(image) == 0) {
      EXPECT_NE(reader.Damage().find("the file is cut short or damaged"), std::string::npos) << reader.Damage();
    }
    EXPECT_FALSE(ImageProblem(image).empty());
  }
#endif
  SectorReader none;
  EXPECT_EQ(none.OpenFile(dir_.path() / "missing.qcow2"), err::kFileNotFound);
#ifdef SNAPSAVE_HAVE_LIBYAL
  // A descriptor naming an extent that is not beside it: the extent is named; one whose name holds a folder
  // is refused before the library reads it (which reads past such a name).
  const fs::path descriptor = dir_.path() / "flat" / "card.vmdk";
  fs::create_directories(descriptor.parent_path());
  if (std::system(("qemu-img convert -f raw -O vmdk -o subformat=monolithicFlat '" + raw_.string() + "' '" +
                   descriptor.string() + "' 2>/dev/null")
                      .c_str()) != 0)
    GTEST_SKIP() << "qemu-img missing";
  std::vector<uint8_t> text = test::ReadFile(descriptor);
  ASSERT_NE(std::string(text.begin(), text.end()).find("\"card-flat.vmdk\""), std::string::npos);
  fs::remove(descriptor.parent_path() / "card-flat.vmdk");
  for (const std::string& extent : {std::string("card-flat.vmdk"), std::string("sub/card-flat.vmdk")}) {
    std::string edited(text.begin(), text.end());
    edited.replace(edited.find("card-flat.vmdk"), 14, extent);
    test::WriteFile(descriptor, std::vector<uint8_t>(edited.begin(), edited.end()));
    SectorReader reader;
    EXPECT_NE(reader.OpenFile(descriptor), 0u);
    EXPECT_NE(reader.OpenProblem().find(extent), std::string::npos) << reader.OpenProblem();
    EXPECT_NE(ImageProblem(descriptor).find("VMDK image cannot be opened: its extent file"),
              std::string::npos);
  }
#endif
}

// Damage inside an EWF set is unreadable sectors, exactly where it lies and the same at every read: a chunk
// failing its checksum, the sectors of a missing segment, those past a cut end. Everything else reads as the
// medium; with zero-filling on, a read gives the good sectors and names the bad ones.
TEST_F(ImageContainerTest, EwfDamageIsUnreadableStretches) {
#ifndef SNAPSAVE_HAVE_LIBYAL
  GTEST_SKIP() << "built without the libyal readers";
#endif
  const fs::path raw = dir_.path() / "spread16.img";
  test::GunzipFixture("images/spread16.img.gz", raw);
  const std::vector<uint8_t> medium = test::ReadFile(raw);
  const uint64_t sectors = medium.size() / 512;
  const std::vector<fs::path> set = test::MakeEwfSet(raw, dir_.path() / "good", "sp", "1MiB");
  if (set.empty()) GTEST_SKIP() << "ewfacquirestream (ewf-tools) is needed";
  ASSERT_GE(set.size(), 10u);
  auto copySet = [&](const std::string& name) {
    const fs::path folder = dir_.path() / name;
    fs::create_directories(folder);
    for (const fs::path& segment : set) fs::copy_file(segment, folder / segment.filename());
    return folder;
  };
  // Reads every sector with zero-filling: the bytes and the stretches that could not be read.
  auto readAll = [&](const fs::path& first, std::vector<SectorStretch>& bad) {
    SectorReader reader;
    EXPECT_EQ(reader.OpenFile(first), 0u);
    EXPECT_EQ(reader.TotalSectors(), sectors);
    std::vector<uint8_t> bytes(sectors * 512);
    SectorReader::ZeroFill fill(reader);
    for (uint64_t s = 0; s < sectors; s += 256) {
      uint32_t got = 0;
      EXPECT_EQ(reader.ReadSectors(std::span(bytes).subspan(s * 512, 256 * 512), 256, s, 512, &got), 0u);
      EXPECT_EQ(got, 256u);
    }
    bad = fill.Stretches();
    return bytes;
  };
  auto sameOutside = [&](const std::vector<uint8_t>& bytes, const std::vector<SectorStretch>& bad) {
    std::vector<uint8_t> expected = medium;
    for (const SectorStretch& b : bad)
      std::fill_n(expected.begin() + static_cast<ptrdiff_t>(b.first * 512), b.count * 512, uint8_t{0});
    return bytes == expected;
  };

  {
    SCOPED_TRACE("a chunk failing its checksum");
    // The set is uncompressed: the second photo's first sector lies as it is in some segment.
    const fs::path folder = copySet("flipped");
    const uint64_t photo = 3264;
    const std::span<const uint8_t> head(medium.data() + photo * 512, 512);
    bool flipped = false;
    for (const fs::path& segment : set) {
      const auto at = test::FindInFile(folder / segment.filename(), head);
      if (!at) continue;
      std::vector<uint8_t> bytes = test::ReadFile(folder / segment.filename());
      bytes[*at + 100] ^= 0xFF;
      test::WriteFile(folder / segment.filename(), bytes);
      flipped = true;
      break;
    }
    ASSERT_TRUE(flipped);
    const fs::path first = folder / set.front().filename();
    std::vector<SectorStretch> bad, again;
    const std::vector<uint8_t> bytes = readAll(first, bad);
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_LE(bad[0].first, photo);
    EXPECT_GT(bad[0].first + bad[0].count, photo);
    EXPECT_EQ(bad[0].count, 64u);  // the set's chunk: 64 sectors
    EXPECT_TRUE(sameOutside(bytes, bad));
    readAll(first, again);
    EXPECT_EQ(again, bad);
    // Without zero-filling the read stops before the chunk, with what came before it.
    SectorReader reader;
    ASSERT_EQ(reader.OpenFile(first), 0u);
    EXPECT_TRUE(reader.Damage().empty());
    std::vector<uint8_t> buffer(128 * 512);
    uint32_t got = 0;
    EXPECT_NE(reader.ReadSectors(buffer, 128, bad[0].first - 8, 512, &got), 0u);
    EXPECT_EQ(got, 8u);
  }
  {
    SCOPED_TRACE("a missing segment");
    const fs::path folder = copySet("missing");
    fs::remove(folder / set[4].filename());
    const fs::path first = folder / set.front().filename();
    SectorReader reader;
    ASSERT_EQ(reader.OpenFile(first), 0u);
    EXPECT_EQ(reader.Damage(),
              "segment " + set[4].filename().string() + " is missing; the sectors it held cannot be read");
    std::vector<SectorStretch> bad;
    const std::vector<uint8_t> bytes = readAll(first, bad);
    // From the missing segment's first chunk to the end: the library reads no segment past a gap.
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_GT(bad[0].first, 0u);
    EXPECT_EQ(bad[0].first + bad[0].count, sectors);
    EXPECT_TRUE(sameOutside(bytes, bad));
  }
  {
    SCOPED_TRACE("a cut end");
    const fs::path folder = copySet("cut");
    const fs::path last = folder / set.back().filename();
    fs::resize_file(last, fs::file_size(last) / 2);
    const fs::path first = folder / set.front().filename();
    SectorReader reader;
    ASSERT_EQ(reader.OpenFile(first), 0u);
    EXPECT_NE(reader.Damage().find("it is cut short (its last segment, " + set.back().filename().string()),
              std::string::npos)
        << reader.Damage();
    std::vector<SectorStretch> bad;
    const std::vector<uint8_t> bytes = readAll(first, bad);
    ASSERT_FALSE(bad.empty());
    EXPECT_EQ(bad.back().first + bad.back().count, sectors);
    EXPECT_TRUE(sameOutside(bytes, bad));
  }
}

// Split raw sets numbered from .000, .001 or .aa are joined; a set with a piece missing or cut short in the
// middle is refused naming that piece, never read shifted.
TEST_F(ImageContainerTest, SplitSetsAreJoinedByEveryNamingAndRefusedWhenAPieceIsWrong) {
  const std::vector<uint8_t> volume = test::ReadFile(raw_);
  const size_t piece = 3 << 20;
  auto write = [&](const std::string& folder, const std::vector<std::string>& names) {
    const fs::path dir = dir_.path() / folder;
    for (size_t i = 0; i < names.size(); ++i) {
      const size_t from = i * piece, to = std::min(volume.size(), from + piece);
      test::WriteFile(dir / names[i], std::span(volume).subspan(from, to - from));
    }
    return dir / names.front();
  };
  for (const auto& names : std::vector<std::vector<std::string>>{{"card.000", "card.001", "card.002"},
                                                                 {"card.001", "card.002", "card.003"},
                                                                 {"card.aa", "card.ab", "card.ac"}}) {
    SCOPED_TRACE(names.front());
    const fs::path first = write(names.front(), names);
    EXPECT_EQ(DetectImageFormat(first), ImageFormat::kSplitRaw);
    SectorReader reader;
    ASSERT_EQ(reader.OpenFile(first), 0u);
    EXPECT_TRUE(AllOf(reader) == volume);
  }
  {
    const fs::path first = write("gap", {"card.001", "card.002", "card.003"});
    fs::remove(first.parent_path() / "card.002");
    SectorReader reader;
    EXPECT_EQ(reader.OpenFile(first), err::kFileNotFound);
    EXPECT_EQ(reader.OpenProblem(),
              "piece card.002 of the split image is missing (the pieces after it are there)");
    EXPECT_NE(ImageProblem(first).find("card.002"), std::string::npos);
  }
  {
    const fs::path first = write("short", {"card.001", "card.002", "card.003"});
    fs::resize_file(first.parent_path() / "card.002", piece - 4096);
    SectorReader reader;
    EXPECT_EQ(reader.OpenFile(first), err::kInvalidData);
    EXPECT_NE(
        reader.OpenProblem().find("piece card.002 of the split image holds 3141632 bytes where the others "
                                  "hold 3145728"),
        std::string::npos)
        << reader.OpenProblem();
  }
  // Asked to, a missing and a cut-short piece read as unreadable sectors where they lie; nothing moves.
  SetSplitGapsUnreadable(true);
  struct Reset {
    ~Reset() { SetSplitGapsUnreadable(false); }
  } reset;
  for (const bool missing : {true, false}) {
    SCOPED_TRACE(missing ? "missing" : "short");
    const fs::path first = write(missing ? "gap-read" : "short-read", {"card.001", "card.002", "card.003"});
    const fs::path second = first.parent_path() / "card.002";
    if (missing) {
      fs::remove(second);
    } else {
      fs::resize_file(second, 4096);
    }
    SectorReader reader;
    ASSERT_EQ(reader.OpenFile(first), 0u) << reader.OpenProblem();
    EXPECT_EQ(reader.TotalSectors(), volume.size() / 512);
    const uint64_t bad = missing ? piece / 512 : piece / 512 + 8;
    EXPECT_EQ(reader.Damage(),
              fmt::format("piece card.002 {}: sectors {}-{} are unreadable",
                          missing ? "is missing" : "is cut short", bad, 2 * piece / 512 - 1));
    std::vector<uint8_t> bytes(volume.size());
    {
      SectorReader::ZeroFill fill(reader);
      uint32_t got = 0;
      ASSERT_EQ(reader.ReadSectors(bytes, static_cast<int32_t>(bytes.size() / 512), 0, 512, &got), 0u);
      EXPECT_EQ(fill.Stretches(), (std::vector<SectorStretch>{{bad, 2 * piece / 512 - bad}}));
    }
    std::vector<uint8_t> expected = volume;
    std::fill(expected.begin() + static_cast<ptrdiff_t>(bad * 512), expected.begin() + 2 * piece, 0);
    EXPECT_TRUE(bytes == expected);
  }
}

// A differencing image reads through the parent it was made from, found beside it; a missing parent is named,
// and a parent that is not the one it was made from is refused rather than mixed in.
TEST_F(ImageContainerTest, DifferencingImagesReadThroughTheirParents) {
#ifndef SNAPSAVE_HAVE_LIBYAL
  GTEST_SKIP() << "built without the libyal readers";
#endif
  const std::vector<uint8_t> volume = test::ReadFile(raw_);
  std::vector<uint8_t> changed = volume;
  std::fill(changed.begin() + (1 << 20), changed.begin() + (1 << 20) + (64 << 10), 0xAB);
  const fs::path other = dir_.path() / "other.img";
  test::WriteFile(other, std::vector<uint8_t>(volume.size(), 0x11));
  for (const std::string kind : {"qcow2", "vmdk"}) {
    SCOPED_TRACE(kind);
    const fs::path folder = dir_.path() / kind;
    fs::create_directories(folder);
    const fs::path base = folder / ("base." + kind), child = folder / ("child." + kind);
    const std::string make = "qemu-img convert -f raw -O " + kind + " '" + raw_.string() + "' '" +
                             base.string() + "' && qemu-img create -q -f " + kind + " -b base." + kind +
                             " -F " + kind + " '" + child.string() + "' && qemu-io -f " + kind +
                             " -c 'write -P 0xab 1M 64k' '" + child.string() + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "qemu-img and qemu-io (qemu-utils) are needed";
    {
      SectorReader reader;
      ASSERT_EQ(reader.OpenFile(child), 0u) << reader.OpenProblem();
      EXPECT_TRUE(AllOf(reader) == changed);
    }
    // Another image in the parent's place: a VMDK's content identifier tells; a QCOW2 keeps none, so only
    // its being a readable image of the format can be checked.
    fs::rename(base, folder / "kept");
    ASSERT_EQ(std::system(
                  ("qemu-img convert -f raw -O " + kind + " '" + other.string() + "' '" + base.string() + "'")
                      .c_str()),
              0);
    if (kind == "vmdk") {
      SectorReader reader;
      EXPECT_NE(reader.OpenFile(child), 0u);
      EXPECT_NE(reader.OpenProblem().find("is not the one it was made from"), std::string::npos)
          << reader.OpenProblem();
    }
    fs::remove(base);
    SectorReader reader;
    EXPECT_NE(reader.OpenFile(child), 0u);
    EXPECT_NE(reader.OpenProblem().find("its parent base." + kind + " is not there"), std::string::npos)
        << reader.OpenProblem();
  }
}

// A container of a whole disk shows its partition table and volumes as a raw disk image does.
TEST_F(ImageContainerTest, ThePartitionTableInsideAContainerIsRead) {
  const fs::path disk = dir_.path() / "disk.img";
  std::vector<uint8_t> bytes(20 << 20, 0);
  const std::vector<uint8_t> volume = test::ReadFile(raw_);
  std::copy(volume.begin(), volume.end(), bytes.begin() + 2048 * 512);
  // One MBR entry: FAT16 from sector 2048 for the volume's length.
  bytes[446 + 4] = 0x06;
  const uint32_t start = 2048, count = static_cast<uint32_t>(volume.size() / 512);
  for (size_t i = 0; i < 4; ++i) {
    bytes[446 + 8 + i] = static_cast<uint8_t>(start >> (8 * i));
    bytes[446 + 12 + i] = static_cast<uint8_t>(count >> (8 * i));
  }
  bytes[510] = 0x55;
  bytes[511] = 0xAA;
  test::WriteFile(disk, bytes);
  const fs::path qcow = dir_.path() / "disk.qcow2";
  if (std::system(
          ("qemu-img convert -f raw -O qcow2 '" + disk.string() + "' '" + qcow.string() + "' 2>/dev/null")
              .c_str()) != 0)
    GTEST_SKIP() << "qemu-img missing";
  ImageLayout layout;
  ASSERT_EQ(ReadImageLayout(qcow, layout), 0u);
  EXPECT_EQ(layout.scheme, "dos");
  ASSERT_EQ(layout.partitions.size(), 1u);
  EXPECT_EQ(layout.partitions[0].startSector, 2048u);
  EXPECT_EQ(layout.partitions[0].sectorCount, count);
  std::vector<DiskFacts> facts;
  ASSERT_TRUE(MakeImageDiskFacts(qcow, 100)->Collect(facts));
  ASSERT_EQ(facts.size(), 1u);
  EXPECT_EQ(facts[0].exactSectors, std::optional<uint64_t>(bytes.size() / 512));
  ASSERT_EQ(facts[0].partitions.size(), 1u);
  std::vector<DiskFacts> rawFacts;
  ASSERT_TRUE(MakeImageDiskFacts(disk, 101)->Collect(rawFacts));
  ASSERT_EQ(rawFacts[0].partitions.size(), 1u);
  EXPECT_EQ(facts[0].partitions[0].fileSystemName, rawFacts[0].partitions[0].fileSystemName);
  EXPECT_EQ(facts[0].partitions[0].label, rawFacts[0].partitions[0].label);
}

}  // namespace
}  // namespace snapsave
