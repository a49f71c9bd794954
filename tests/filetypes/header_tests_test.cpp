#include "filetypes/file_type_catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filetypes/carving_context.h"
#include "filetypes/file_categories.h"
#include "filetypes/file_type_catalogue.h"
#include "filetypes/mpeg_audio.h"
#include "tests/support/carve_test_support.h"

namespace snapsave {
namespace {

using namespace typecode;
using Bytes = std::vector<uint8_t>;
using namespace std::literals;

class HeaderTestsTest : public ::testing::Test {
 protected:
  // Runs DetectType on sector `n` of `image` with the context positioned there, as the carver would.
  uint32_t DetectAt(const test::SectorImage& image, uint64_t n) {
    ctx_.Begin(&image.reader(), 512, n);
    return DetectType(ctx_, image.Sector(n));
  }
  static void Put(Bytes& b, size_t off, std::string_view text) {
    std::memcpy(b.data() + off, text.data(), text.size());
  }
  static void Put(Bytes& b, size_t off, std::initializer_list<uint8_t> bytes) {
    for (uint8_t v : bytes) b[off++] = v;
  }

  CarvingContext ctx_;
};

// ---- Real files -------------------------------------------------------------------------------------------

struct RealFile {
  const char* name;
  uint32_t code;
};

TEST_F(HeaderTestsTest, RecognisesFilesMadeByRealTools) {
  const RealFile kFiles[] = {
      {"ps.vob", kMpeg},
      {"ps1.mpg", kMpeg},
      {"es.m2v", kMpeg},
      {"movie.mp4", kMp4},
      {"movie.3gp", k3gp},
      {"movie.mov", kMov},
      {"movie.rm", kRealMedia},
      {"movie.wmv", kAsf},
      {"tone.swf", kSwf},
      {"movie.avi", kAvi},
      {"movie.flv", kFlv},
      {"movie.mkv", kMkv},
      {"movie.ts", kTs},
      {"movie.mxf", kMxf},
      {"tone.mp3", kMp3},
      {"tone.wav", kWav},
      {"pic.gif", kGif},
      {"pic.bmp", kBmp},
      {"pic.jpg", kJpeg},
      {"pic.png", kPng},
      {"pic.psd", kPsd},
      {"pic.tif", kTiff},
      {"pic.ico", kIco},
      {"doc.pdf", kPdf},
      {"numbers.gz", kGzip},
      {"plain.zip", kZip},
      {"report.docx", kDocx},
      {"store.db", kSqlite},
      {"font.ttf", kTtf},
      {"tiny.exe", kExe},
      {"tiny.dll", kDll},
      // A plain zip whose first member is "wordlist.txt" passes for a word-processing document.
      {"words.zip", kDocx},
      {"tone.mp2", kMp2},
      {"movie.swf", kSwf},  // uncompressed, version 6 and later too
  };
  for (const auto& f : kFiles) {
    const test::SectorImage image(test::FixtureHead(f.name));
    EXPECT_EQ(DetectAt(image, 0), f.code) << f.name;
  }
}

// A camera RAW file is a TIFF underneath: its signature, a DNG version or its maker together with sensor data
// (sub-IFDs or a maker's compression) name it; an edited TIFF that kept the maker stays a TIFF. The maker's
// name may lie past the first sector.
TEST_F(HeaderTestsTest, CameraRawFilesAreNamedByTheirFormat) {
  auto tiff = [](std::initializer_list<std::pair<uint16_t, uint32_t>> tags, std::string_view make,
                 std::string_view model = "", size_t textAt = 200) {
    Bytes s(1024, 0);
    Put(s, 0, {'I', 'I', 0x2A, 0x00, 8, 0, 0, 0});
    const size_t count = tags.size() + 2;
    s[8] = static_cast<uint8_t>(count);
    size_t e = 10;
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t n, uint32_t value) {
      for (uint32_t v : {uint32_t{tag}, uint32_t{type}})
        s[e++] = static_cast<uint8_t>(v), s[e++] = static_cast<uint8_t>(v >> 8);
      for (uint32_t v : {n, value})
        for (int k = 0; k < 4; ++k) s[e++] = static_cast<uint8_t>(v >> (8 * k));
    };
    entry(0x10F, 2, static_cast<uint32_t>(make.size() + 1), static_cast<uint32_t>(textAt));
    entry(0x110, 2, static_cast<uint32_t>(model.size() + 1), static_cast<uint32_t>(textAt + 64));
    for (const auto& [tag, value] : tags) entry(tag, 3, 1, value);
    Put(s, textAt, make);
    Put(s, textAt + 64, model);
    return s;
  };
  auto at0 = [&](const Bytes& s) { return DetectAt(test::SectorImage(s), 0); };
  EXPECT_EQ(at0(tiff({{330, 900}}, "NIKON CORPORATION")), kNef);
  EXPECT_EQ(at0(tiff({{330, 900}}, "NIKON CORPORATION", "D90", 600)), kNef);  // read on for the maker
  EXPECT_EQ(at0(tiff({}, "NIKON CORPORATION")), kTiff);                       // edited: no sensor data
  EXPECT_EQ(at0(tiff({{330, 900}}, "SONY", "ILCE-7M3")), kArw);
  EXPECT_EQ(at0(tiff({{330, 900}}, "SONY", "DSC-R1")), kSr2);
  EXPECT_EQ(at0(tiff({{259, 65535}}, "PENTAX Corporation")), kPef);
  EXPECT_EQ(at0(tiff({{259, 5}}, "PENTAX Corporation")), kTiff);  // LZW is any editor's
  EXPECT_EQ(at0(tiff({{0xC612, 1}}, "Canon")), kDng);
  EXPECT_EQ(at0(tiff({{330, 900}}, "Canon")), kTiff);  // a Canon RAW carries its own mark
  Bytes canon = tiff({}, "Canon");
  Put(canon, 8, {'C', 'R', 2, 0, 0x10, 0, 0, 0});
  Put(canon, 4, {16, 0, 0, 0});
  EXPECT_EQ(at0(canon), kCr2);
  Bytes olympus(512, 0);
  Put(olympus, 0, {'I', 'I', 'R', 'O', 8, 0, 0, 0});
  EXPECT_EQ(DetectType(ctx_, olympus), kOrf);
  Put(olympus, 0, {'M', 'M', 'O', 'R', 0, 0, 0, 8});
  EXPECT_EQ(DetectType(ctx_, olympus), kOrf);
  Put(olympus, 0, {'I', 'I', 'U', 0, 0x18, 0, 0, 0});
  EXPECT_EQ(DetectType(ctx_, olympus), kRw2);
  Put(olympus, 0, {'I', 'I', 'U', 0, 0, 0, 0, 0});  // no first IFD
  EXPECT_EQ(DetectType(ctx_, olympus), kNoType);
  for (uint32_t code : {kCr2, kNef, kArw, kDng, kOrf, kPef, kRw2, kSr2})
    EXPECT_EQ(ClassifyFileName(std::string("x.") + std::string(FirstRowWithCode(code)->extension)),
              kCategoryPhoto);
}

// Every brand of a type box starts a movie of its family; QuickTime files may start with their movie, media
// data or free space instead; audio-only and picture brands get types of their own.
TEST_F(HeaderTestsTest, IsoMediaBrandsAndQuickTimeLeads) {
  auto typeBox = [](std::string_view brand, uint32_t size = 32) {
    Bytes s(512, 0);
    s[3] = static_cast<uint8_t>(size);
    Put(s, 4, "ftyp");
    Put(s, 8, brand);
    Put(s, size + 4, "moov");
    return s;
  };
  for (std::string_view brand : {"isom", "iso2", "mp41", "mp42", "avc1", "M4V ", "f4v ", "dash"})
    EXPECT_EQ(DetectType(ctx_, typeBox(brand)), kMp4) << brand;
  EXPECT_EQ(DetectType(ctx_, typeBox("M4A ")), kM4a);
  EXPECT_EQ(DetectType(ctx_, typeBox("M4B ")), kM4a);
  for (std::string_view brand : {"3gp4", "3gp6", "3g2a"})
    EXPECT_EQ(DetectType(ctx_, typeBox(brand)), k3gp) << brand;
  EXPECT_EQ(DetectType(ctx_, typeBox("qt  ")), kMov);
  // Pictures: by the major brand, or for the generic HEIF brand by a compatible one.
  EXPECT_EQ(DetectType(ctx_, typeBox("heic")), kHeic);
  EXPECT_EQ(DetectType(ctx_, typeBox("mif1")), kHeif);
  EXPECT_EQ(DetectType(ctx_, typeBox("avif")), kAvif);
  EXPECT_EQ(DetectType(ctx_, typeBox("crx ")), kCr3);
  Bytes avif = typeBox("mif1");
  Put(avif, 16, "mif1miafavif");
  EXPECT_EQ(DetectType(ctx_, avif), kAvif);
  Put(avif, 24, "heic");
  EXPECT_EQ(DetectType(ctx_, avif), kHeic);
  EXPECT_EQ(DetectType(ctx_, typeBox("isom", 12)), kNoType);  // too small for a type box
  EXPECT_EQ(DetectType(ctx_, typeBox("is\x01m")), kNoType);   // not a brand

  Bytes wide(512, 0);
  Put(wide, 0, {0, 0, 0, 8});
  Put(wide, 4, "wide");
  Put(wide, 8, {0, 0, 0x10, 0});
  Put(wide, 12, "mdat");
  EXPECT_EQ(DetectType(ctx_, wide), kMov);
  Put(wide, 12, "zzzz");
  EXPECT_EQ(DetectType(ctx_, wide), kNoType);  // free space before nothing known
  Bytes mdat(512, 0);
  Put(mdat, 0, {0, 0, 0x40, 0});
  Put(mdat, 4, "mdat");
  EXPECT_EQ(DetectType(ctx_, mdat), kMov);
}

// MP3 without its ID3v2 tag, and MP2: four frames of one stream in a row from the sector's start; the same
// frames cut short, or a lone frame header in random data, start nothing.
TEST_F(HeaderTestsTest, TaglessMpegAudioByARunOfFrames) {
  const Bytes tagged = test::FixtureHead("tone.mp3");
  const size_t tag =
      10 + ((size_t{tagged[6]} << 21) | (size_t{tagged[7]} << 14) | (size_t{tagged[8]} << 7) | tagged[9]);
  ASSERT_LT(tag, tagged.size());
  Bytes bare(tagged.begin() + static_cast<std::ptrdiff_t>(tag), tagged.end());
  ASSERT_EQ(bare[0], 0xFF);
  const test::SectorImage image(bare);
  EXPECT_EQ(DetectAt(image, 0), kMp3);
  // The second frame broken: no run.
  Bytes broken = bare;
  const auto first = ParseMpegAudioHeader(broken);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->layer, 3);
  broken[first->length] = 0x00;
  const test::SectorImage brokenImage(broken);
  EXPECT_EQ(DetectAt(brokenImage, 0), kNoType);
}

TEST_F(HeaderTestsTest, RecognisedAnywhereOnTheMedium) {
  Bytes disk(512 * 3, 0);
  const auto ts = test::FixtureHead("movie.ts");
  disk.insert(disk.end(), ts.begin(), ts.end());
  const test::SectorImage image(disk);
  EXPECT_EQ(DetectAt(image, 3), kTs);
  EXPECT_EQ(DetectAt(image, 0), kNoType);
}

// ---- Thresholds of the single-sector tests ----------------------------------------------------------------

TEST_F(HeaderTestsTest, Id3TagNeedsSynchsafeSizeAndKnownFlags) {
  Bytes s(512, 0);
  Put(s, 0, {'I', 'D', '3', 0x03, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x7F});
  EXPECT_EQ(DetectType(ctx_, s), kMp3);
  s[5] = 0xE0;  // unsynchronisation, extended header, experimental
  EXPECT_EQ(DetectType(ctx_, s), kMp3);
  s[5] = 0x10;
  EXPECT_EQ(DetectType(ctx_, s), kNoType);
  s[5] = 0;
  s[6] = 0x80;
  EXPECT_EQ(DetectType(ctx_, s), kNoType);
  s[6] = 0;
  s[9] = 0x80;
  EXPECT_EQ(DetectType(ctx_, s), kNoType);
  s[9] = 0;
  s[3] = 0xFF;
  EXPECT_EQ(DetectType(ctx_, s), kNoType);
  EXPECT_EQ(DetectType(ctx_, std::span(s.data(), 9)), kNoType);
}

TEST_F(HeaderTestsTest, IcoDirectoryMustAddUp) {
  // The directory is built in a larger buffer so that one too long for the sector can be written.
  auto ico = [](uint16_t count) {
    Bytes s(1024, 0);
    Put(s, 0, {0x00, 0x00, 0x01, 0x00});
    PutLe16(s, 4, count);
    uint32_t offset = 6 + 16u * count;
    for (uint16_t i = 0; i < count; ++i) {
      const size_t e = 6 + 16 * size_t{i};
      s[e] = 16;
      s[e + 1] = 16;
      PutLe32(s, e + 8, 1000 + i);
      PutLe32(s, e + 12, offset);
      offset += 1000 + i;
    }
    return s;
  };
  auto sector = [](const Bytes& b) { return std::span(b.data(), 512); };
  EXPECT_EQ(DetectType(ctx_, sector(ico(1))), kIco);
  EXPECT_EQ(DetectType(ctx_, sector(ico(31))), kIco);  // directory ends at byte 502
  EXPECT_EQ(DetectType(ctx_, sector(ico(0))), kNoType);
  Bytes s = ico(32);  // directory would end at byte 518
  EXPECT_EQ(DetectType(ctx_, sector(s)), kNoType);
  EXPECT_EQ(DetectType(ctx_, std::span(s.data(), 518)), kIco);
  s = ico(3);
  PutLe32(s, 6 + 32 + 12, Le32(s, 6 + 32 + 12) + 1);  // third image not right behind the second
  EXPECT_EQ(DetectType(ctx_, sector(s)), kNoType);
  s = ico(3);
  s[6 + 16 + 3] = 1;  // reserved byte of the second entry
  EXPECT_EQ(DetectType(ctx_, sector(s)), kNoType);
  // Offsets add up in 64 bits: a size that wraps 32 bits cannot line up with the next offset.
  s = ico(2);
  PutLe32(s, 6 + 8, 0xFFFFFFFF);
  PutLe32(s, 6 + 16 + 12, 6 + 32 - 1);
  EXPECT_EQ(DetectType(ctx_, sector(s)), kNoType);
}

TEST_F(HeaderTestsTest, ExecutableKindFromCharacteristics) {
  Bytes s = test::FixtureHead("tiny.exe");
  s.resize(512);
  const uint32_t pe = Le32(s, 60);
  const uint16_t base = Le16(s, pe + 22);
  PutLe16(s, pe + 22, static_cast<uint16_t>(base | 0x1000 | 0x2000));
  EXPECT_EQ(DetectType(ctx_, s), kSys);
  PutLe16(s, pe + 22, static_cast<uint16_t>(base & ~0x0002));
  EXPECT_EQ(DetectType(ctx_, s), kNoType);
  PutLe16(s, pe + 22, base);
  PutLe32(s, 60, 489);
  EXPECT_EQ(DetectType(ctx_, s), kNoType);
  EXPECT_EQ(DetectType(ctx_, std::span(test::FixtureHead("tiny.exe").data(), 511)), kNoType);
}

TEST_F(HeaderTestsTest, SignatureDetailsWithoutARealFile) {
  struct Case {
    std::vector<uint8_t> head;
    uint32_t code;
  };
  auto text = [](std::string_view t) { return std::vector<uint8_t>(t.begin(), t.end()); };
  const Case kCases[] = {
      {text("MThd\0\0\0\x06\0\x01\0\x02\x01\xE0MTrk"sv), kMidi},
      {text("MThd\0\0\0\x07\0\x01\0\x02\x01\xE0MTrk"sv), kNoType},
      {{0xFF, 0xFD, 0xE4, 0x00}, kNoType},  // one MP2 frame header alone is no stream
      {text("CWS\x06\x40\0\0\0"sv), kSwf},
      {text("FWS\x0A\x40\0\0\0"sv), kSwf},
      {text("FWS\x0A\x04\0\0\0"sv), kNoType},  // shorter than a header
      {text("CWS\x10"sv), kNoType},
      {text("CWS\x05"sv), kNoType},
      {{0xD0, 0xCF, 0x11, 0xE0}, kNoType},  // half a compound-document signature
      {{0xFF, 0xD8, 0xFF, 0xE1, 0x10, 0x00, 'E', 'x', 'i', 'f'}, kJpeg},
      {{0xFF, 0xD8, 0xFF, 0xDB}, kNoType},  // a quantisation table of no length
      {{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x05, 1, 2, 3, 0xFF, 0xC0},
       kJpeg},                                                         // ... or of one, a frame header next
      {{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x05, 1, 2, 3, 0x00}, kNoType},  // ... but no marker behind it
      {text("GIF89A"sv), kNoType},
      {text("BM\0\0\0\0\0\0\0\0\0\0\0\0\x7C"sv), kNoType},          // a V5 header with no pixel data
      {text("BM\x00\x10\0\0\0\0\0\0\x8A\0\0\0\x7C"sv), kBmp},       // V5: pixels at 138 of 4096
      {{0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x03}, kNoType},  // default compression level
      {{0x47, 0x00, 0x00, 0x00}, kNoType},                          // sync byte with a null packet header
      {text("RIFF\x40\0\0\0WEBPVP8L"sv), kWebp},
      {text("RIFF\x40\0\0\0WEBPXYZ "sv), kNoType},
      {text("FORM\0\0\x40\0AIFFCOMM"sv), kAiff},
      {text("FORM\0\0\x40\0AIFFMARK"sv), kNoType},  // another first chunk: an IFF of some other kind
      {text("#!AMR\n\x3C"sv), kAmr},
      {text("#!AMR-WB\n\x44"sv), kAmr},
      {text("#!AMR\n\x38"sv), kNoType},  // a bad frame (quality bit clear)
      {text("#!AMR\n\x4C"sv), kNoType},  // a reserved frame type
      {text("BZh91AY&SY"sv), kBz2},
      {text("BZh0"sv), kNoType},
      {text("\xFD"
            "7zXZ\0\0\x04"sv),
       kXz},
      {text("\xFD"
            "7zXZ\0\0\x07"sv),
       kNoType},  // an undefined check type
      {text("FUJIFILMCCD-RAW 0201"sv), kRaf},
      {text("OggS\0\x02\0\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\0\0\0\x01\x13OpusHead"sv), kOpus},
  };
  for (const auto& c : kCases) {
    Bytes s(512, 0);
    std::copy(c.head.begin(), c.head.end(), s.begin());
    EXPECT_EQ(DetectType(ctx_, s), c.code) << std::string(c.head.begin(), c.head.end());
  }
}

// ---- Transport streams ------------------------------------------------------------------------------------

// `sectors` sectors of 188-byte packets; the grid starts `shift` bytes into the first sector.
Bytes PacketGrid(size_t sectors, size_t shift) {
  Bytes b(sectors * 512, 0xEE);
  for (size_t p = shift; p < b.size(); p += 188) {
    b[p] = 0x47;
    if (p + 1 < b.size()) b[p + 1] = 0x01;
  }
  return b;
}

TEST_F(HeaderTestsTest, TransportStreamStartNeedsTwentyTwoPackets) {
  Bytes disk(512, 0);
  const Bytes grid = PacketGrid(9, 0);
  disk.insert(disk.end(), grid.begin(), grid.end());
  {
    const test::SectorImage image(disk);
    EXPECT_EQ(DetectAt(image, 1), kTs);
  }
  disk[512 + 21 * 188] = 0x00;  // packet 21 broken
  {
    const test::SectorImage image(disk);
    EXPECT_EQ(DetectAt(image, 1), kNoType);
  }
  disk[512 + 21 * 188] = 0x47;
  disk.resize(512 * 8);  // the 4096-byte probe runs off the medium
  {
    const test::SectorImage image(disk);
    EXPECT_EQ(DetectAt(image, 1), kNoType);
  }
  // No source: the probe cannot be read.
  ctx_.Begin(nullptr, 512, 1);
  EXPECT_EQ(DetectType(ctx_, std::span(grid.data(), 512)), kNoType);
}

TEST_F(HeaderTestsTest, TransportStreamGridRunningBackwardsIsNoStart) {
  // The grid starts in sector 0, so sector 1 starts at a packet only by chance of alignment: shift the grid
  // so that a packet begins exactly at sector 1 and one lies in sector 0 a whole number of packets before it.
  const size_t shift = 512 - 2 * 188;  // packets at 136, 324, then 512
  const test::SectorImage image(PacketGrid(10, shift));
  CarvingContext& ctx = ctx_;
  ASSERT_EQ(image.Sector(1)[0], 0x47);
  // Sector 1 would continue the grid, but 512 is not a multiple of 188: the packet at 512 - 188 = 324 shows
  // it.
  EXPECT_EQ(DetectAt(image, 1), kNoType);
  // Length rules clear the flag while they walk inside a carve of another type; then only the probe counts.
  ctx.Begin(&image.reader(), 512, 1);
  ctx.SetStreamStart(false);
  EXPECT_EQ(DetectType(ctx_, image.Sector(1)), kTs);
}

TEST_F(HeaderTestsTest, TransportStreamInsideACarvedRangeIsNoStart) {
  Bytes disk(512 * 10, 0);
  const Bytes grid = PacketGrid(9, 0);
  std::copy(grid.begin(), grid.end(), disk.begin() + 512);
  const test::SectorImage image(disk);
  CarvingContext& ctx = ctx_;
  ctx.AddTransportStreamRange(100, 200);
  EXPECT_EQ(DetectAt(image, 1), kTs);
  ctx.AddTransportStreamRange(1, 1);
  EXPECT_EQ(DetectAt(image, 1), kNoType);
  ctx.ClearTransportStreamRanges();
  ctx.AddTransportStreamRange(0, 1);
  EXPECT_EQ(DetectAt(image, 1), kNoType);
  ctx.SetStreamStart(false);
  EXPECT_EQ(DetectAt(image, 1), kTs);
}

// Second pieces of joined files: ranges that touch or overlap merge, and a sector is claimed only inside one,
// the ends of the medium included.
TEST(CarvingContextClaims, RangesMergeAndAnswerAtTheirEdges) {
  CarvingContext ctx;
  ctx.AddClaimedRange(30, 40);
  ctx.AddClaimedRange(10, 20);
  ctx.AddClaimedRange(21, 29);
  ctx.AddClaimedRange(35, 36);
  ctx.AddClaimedRange(0, 0);
  ctx.AddClaimedRange(UINT64_MAX - 1, UINT64_MAX);
  ctx.AddClaimedRange(50, 49);  // empty
  for (const uint64_t s : {uint64_t{0}, uint64_t{10}, uint64_t{25}, uint64_t{40}, UINT64_MAX})
    EXPECT_TRUE(ctx.Claimed(s)) << s;
  for (const uint64_t s :
       {uint64_t{1}, uint64_t{9}, uint64_t{41}, uint64_t{49}, uint64_t{50}, UINT64_MAX - 2})
    EXPECT_FALSE(ctx.Claimed(s)) << s;
  ctx.AddClaimedRange(5, 45);
  EXPECT_TRUE(ctx.Claimed(5));
  EXPECT_TRUE(ctx.Claimed(45));
  EXPECT_FALSE(ctx.Claimed(46));
  ctx.BeginSource();
  EXPECT_FALSE(ctx.Claimed(25));
}

TEST_F(HeaderTestsTest, TimestampedStreamRepeatsAreNoNewStart) {
  Bytes s(512, 0);
  Put(s, 4, {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00});
  CarvingContext& ctx = ctx_;
  EXPECT_EQ(DetectType(ctx_, s), kMts);
  ctx.SetTransportStreamInProgress(true);
  EXPECT_EQ(DetectType(ctx_, s), kMts);  // a zero arrival stamp starts a new stream
  PutLe32(s, 0, 0x1234);
  EXPECT_EQ(DetectType(ctx_, s), kNoType);
  ctx.SetTransportStreamInProgress(false);
  EXPECT_EQ(DetectType(ctx_, s), kMts);
}

// ---- Compound documents -----------------------------------------------------------------------------------

// A compound document of 512-byte sectors: header, first stream sector, directory in file sector `dirSector`.
Bytes CompoundDocument(uint32_t dirSector) {
  Bytes b(512 * (dirSector + 2), 0);
  const uint8_t sig[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(std::begin(sig), std::end(sig), b.begin());
  PutLe32(b, 48, dirSector);
  return b;
}

void PutEntryName(Bytes& b, size_t entry, std::string_view name) {
  for (size_t i = 0; i < name.size(); ++i) PutLe16(b, entry + 2 * i, static_cast<uint8_t>(name[i]));
}

// A Word document is found as a document, not as a Flash source; a compound file whose directory holds
// "Contents" and no Office stream is one.
TEST_F(HeaderTestsTest, CompoundDocumentsAreNamedByTheirContentNotAsFlash) {
  Bytes doc = CompoundDocument(3);
  PutLe16(doc, 512, 0xA5EC);
  const test::SectorImage image(doc);
  EXPECT_EQ(DetectAt(image, 0), kDoc);
  EXPECT_TRUE(VerifyExtension(image.Sector(0), "doc", &image.reader(), 512, 0));
  EXPECT_FALSE(VerifyExtension(image.Sector(0), "xls", &image.reader(), 512, 0));
  Bytes fla = CompoundDocument(2);
  PutEntryName(fla, 512 * 3, "Root Entry");
  PutEntryName(fla, 512 * 3 + 128, "Contents");
  const test::SectorImage flash(fla);
  EXPECT_EQ(DetectAt(flash, 0), kFla);
  EXPECT_TRUE(VerifyExtension(flash.Sector(0), "fla", &flash.reader(), 512, 0));
}

TEST_F(HeaderTestsTest, CompoundDocumentClassifier) {
  auto classify = [this](const Bytes& doc, uint64_t at = 0) {
    Bytes disk(512 * at, 0);
    disk.insert(disk.end(), doc.begin(), doc.end());
    const test::SectorImage image(disk);
    ctx_.Begin(&image.reader(), 512, at);
    return FirstRowWithExtension("doc")->MatchHeader(ctx_, image.Sector(at));
  };
  Bytes doc = CompoundDocument(2);
  EXPECT_EQ(classify(doc), kOle);
  PutLe16(doc, 512, 0xA5EC);
  EXPECT_EQ(classify(doc, 5), kDoc);

  doc = CompoundDocument(2);
  PutLe16(doc, 512, 0x0809);
  PutLe16(doc, 514, 0x0010);
  PutLe16(doc, 516, 0x0600);
  EXPECT_EQ(classify(doc), kXls);
  PutLe16(doc, 516, 0x0500);  // a BIFF5 BOF is not enough by itself
  EXPECT_EQ(classify(doc), kOle);

  // The root entry's class id, in the directory sector at 1 + 2.
  const size_t root = 512 * 3;
  const uint8_t kPowerPoint[16] = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                   0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
  doc = CompoundDocument(2);
  std::copy(std::begin(kPowerPoint), std::end(kPowerPoint), doc.begin() + root + 80);
  EXPECT_EQ(classify(doc), kPpt);
  Put(doc, root + 80,
      {0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46});
  EXPECT_EQ(classify(doc), kXls);

  // Stream names in any of the four entries of the sector.
  doc = CompoundDocument(2);
  PutEntryName(doc, root, "Root Entry");
  PutEntryName(doc, root + 3 * 128, "PowerPoint Document");
  EXPECT_EQ(classify(doc), kPpt);
  PutEntryName(doc, root + 128, "Workbook");
  EXPECT_EQ(classify(doc), kXls);
  PutEntryName(doc, root + 128, "Book");  // BIFF5 stream name
  EXPECT_EQ(classify(doc), kPpt);

  // An Outlook message: its property streams, or its class id.
  doc = CompoundDocument(2);
  PutEntryName(doc, root, "Root Entry");
  PutEntryName(doc, root + 2 * 128, "__substg1.0_0037001F");
  EXPECT_EQ(classify(doc), kMsg);
  doc = CompoundDocument(2);
  Put(doc, root + 80,
      {0x0B, 0x0D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46});
  EXPECT_EQ(classify(doc), kMsg);
}

TEST_F(HeaderTestsTest, UnreadableCompoundDocumentIsOle) {
  Bytes doc = CompoundDocument(2);
  PutEntryName(doc, 512 * 3, "WordDocument");
  {
    const test::SectorImage image(doc);
    ctx_.Begin(&image.reader(), 512, 0);
    EXPECT_EQ(FirstRowWithExtension("doc")->MatchHeader(ctx_, image.Sector(0)), kDoc);
    PutLe32(doc, 48, 0xFFFFFFFE);  // directory past the end of the medium
    ctx_.Begin(&image.reader(), 512, 0);
    EXPECT_EQ(FirstRowWithExtension("doc")->MatchHeader(ctx_, std::span(doc.data(), 512)), kOle);
    ctx_.Begin(&image.reader(), 512, UINT64_MAX);  // no sector after the header
    EXPECT_EQ(FirstRowWithExtension("doc")->MatchHeader(ctx_, std::span(doc.data(), 512)), kOle);
  }
  ctx_.Begin(nullptr, 512, 0);
  EXPECT_EQ(FirstRowWithExtension("doc")->MatchHeader(ctx_, std::span(doc.data(), 512)), kOle);
}

// ---- Office Open XML --------------------------------------------------------------------------------------

TEST_F(HeaderTestsTest, OfficeOpenXmlMemberNames) {
  auto zipWith = [](size_t headerAt, std::initializer_list<uint8_t> sig, size_t nameAt,
                    std::string_view name) {
    Bytes b(512 * 24, 0);
    Put(b, 0, {'P', 'K', 0x03, 0x04});
    Put(b, 30, "mimetype");
    Put(b, headerAt, sig);
    Put(b, headerAt + nameAt, name);
    return b;
  };
  auto detect = [this](const Bytes& b) {
    const test::SectorImage image(b);
    return DetectAt(image, 0);
  };
  EXPECT_EQ(detect(zipWith(700, {'P', 'K', 0x03, 0x04}, 30, "ppt/slides/slide1.xml")), kPptx);
  EXPECT_EQ(detect(zipWith(700, {'P', 'K', 0x01, 0x02}, 46, "xl/workbook.xml")), kXlsx);
  // A central entry straddling the first two reads is still found.
  EXPECT_EQ(detect(zipWith(2046, {'P', 'K', 0x01, 0x02}, 46, "word/document.xml")), kDocx);
  // Reads stop after 20 sectors.
  EXPECT_EQ(detect(zipWith(512 * 19 + 100, {'P', 'K', 0x03, 0x04}, 30, "word/a.xml")), kDocx);
  EXPECT_EQ(detect(zipWith(512 * 20 + 100, {'P', 'K', 0x03, 0x04}, 30, "word/a.xml")), kZip);
  // Members after the end of the central directory belong to something else.
  Bytes b = zipWith(900, {'P', 'K', 0x03, 0x04}, 30, "word/a.xml");
  Put(b, 600, {'P', 'K', 0x05, 0x06});
  EXPECT_EQ(detect(b), kZip);
  // The content-types name alone qualifies a sector, even one without a zip signature.
  Bytes named(512 * 4, 0);
  Put(named, 31, "[Content_Types].xml");
  Put(named, 1000, {'P', 'K', 0x03, 0x04});
  Put(named, 1030, "xl/styles.xml");
  EXPECT_EQ(detect(named), kXlsx);
}

TEST_F(HeaderTestsTest, OfficeOpenXmlAtTheEndOfTheMedium) {
  // Only two sectors follow the header: the read of four is cut to what exists.
  Bytes disk(512 * 5, 0);
  const auto docx = test::FixtureHead("report.docx");
  std::copy(docx.begin(), docx.begin() + 1024, disk.begin() + 512 * 3);
  const test::SectorImage image(disk);
  EXPECT_EQ(DetectAt(image, 3), kDocx);
  EXPECT_EQ(DetectAt(image, 4), kNoType);
}

}  // namespace
}  // namespace snapsave
