// The container walkers on crafted structures: where each ends, where a broken structure stops it, and when
// it declines so that the plain rule measures.
#include "filetypes/format_walks.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "filetypes/carving_context.h"
#include "filetypes/format_support.h"
#include "tests/support/carve_test_support.h"
#include "tests/support/walk_test_support.h"

namespace snapsave {
namespace {

using test::Bytes;
using test::Of;
using test::Walked;

constexpr uint64_t kLimit = uint64_t{6} << 30;

uint64_t Iso(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return IsoMediaLength(f, kLimit); });
}
uint64_t Mkv(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return MatroskaLength(f, kLimit); });
}
uint64_t Flv(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return FlvLength(f, kLimit); });
}

TEST(IsoMediaWalk, EndsAfterItsLastBoxWhateverFollows) {
  // A 100 KiB mdat: the walk reads past its first 64 KiB window.
  Bytes mp4;
  mp4.Box("ftyp", 24).Box("moov", 700).Box("mdat", 100000).Box("free", 40);
  EXPECT_EQ(Iso(mp4), mp4.size());
  // A 64-bit size.
  Bytes large;
  large.Box("ftyp", 24).Be(1, 4).Raw("mdat").Be(5000, 8).Fill(5000 - 16).Box("moov", 300);
  EXPECT_EQ(Iso(large), large.size());
  // QuickTime files may open with their movie or free space.
  Bytes mov;
  mov.Box("wide", 8).Box("mdat", 3000).Box("moov", 500);
  EXPECT_EQ(Iso(mov), mov.size());
}

TEST(IsoMediaWalk, BrokenOrEndlessStructuresStopOrDecline) {
  // An unknown box type after the movie ends the file there.
  Bytes junk;
  junk.Box("ftyp", 24).Box("moov", 200).Box("zzzz", 64);
  EXPECT_EQ(Iso(junk), 224u);
  // A size smaller than a box header ends it too.
  Bytes tiny;
  tiny.Box("ftyp", 24).Box("mdat", 600).Be(4, 4).Raw("free");
  EXPECT_EQ(Iso(tiny), 624u);
  // "To the end of the file" and boxes without media leave it to the plain rule.
  Bytes open;
  open.Box("ftyp", 24).Be(0, 4).Raw("mdat").Fill(100);
  EXPECT_EQ(Iso(open), 0u);
  Bytes empty;
  empty.Box("ftyp", 24).Box("free", 100);
  EXPECT_EQ(Iso(empty), 0u);
  // A box that claims more than the medium holds is measured to its claim, and the rule cut at the medium.
  Bytes overlong;
  overlong.Box("ftyp", 24).Be(0x7FFFFFFF, 4).Raw("mdat").Fill(100);
  EXPECT_EQ(Iso(overlong), 24u + 0x7FFFFFFF);
  // Boxes that chain straight into another file's type box stop there: the head does not take that file.
  Bytes bait;
  bait.Box("ftyp", 24).Box("mdat", 1000).Box("free", 3 * 512 - 1024);
  const uint64_t head = bait.size();
  bait.Box("ftyp", 24).Box("moov", 700).Box("mdat", 5000);
  EXPECT_EQ(Iso(bait), head);
  // A long chain of the smallest boxes is walked to its end without trouble.
  Bytes chain;
  chain.Box("ftyp", 24).Box("moov", 8);
  for (int i = 0; i < 20000; ++i) chain.Box("free", 8);
  EXPECT_EQ(Iso(chain, 512 * 1024), chain.size());
}

TEST(MatroskaWalk, TheSegmentSizeOrItsChildrenEndTheFile) {
  Bytes header;
  header.Be(0x1A45DFA3, 4).Be(0x80 | 4, 1).Raw("webm");  // EBML header, 4 bytes of body
  // A Segment of 3000 bytes, its size in a 2-byte number.
  Bytes known = header;
  known.Be(0x18538067, 4).Be(0x4000 | 3000, 2).Fill(3000);
  EXPECT_EQ(Mkv(known), known.size());
  // A live recording: the Segment's size is unknown, its Info, Cluster and Cues say where it ends.
  Bytes live = header;
  live.Be(0x18538067, 4).Be(0x01FFFFFFFFFFFFFF, 8);
  live.Be(0x1549A966, 4).Be(0x80 | 20, 1).Fill(20);
  live.Be(0x1F43B675, 4).Be(0x4000 | 5000, 2).Fill(5000);
  live.Be(0x1C53BB6B, 4).Be(0x80 | 30, 1).Fill(30);
  const size_t end = live.size();
  live.Raw("not an element").Fill(100);
  EXPECT_EQ(Mkv(live), end);
  // A Cluster of unknown size stops the walk before it.
  Bytes unknownCluster = header;
  unknownCluster.Be(0x18538067, 4).Be(0xFF, 1).Be(0x1549A966, 4).Be(0x80 | 10, 1).Fill(10);
  const size_t beforeCluster = unknownCluster.size();
  unknownCluster.Be(0x1F43B675, 4).Be(0xFF, 1).Fill(100);
  EXPECT_EQ(Mkv(unknownCluster), beforeCluster);
  // No EBML header, or no Segment after it: the plain rule measures.
  Bytes none;
  none.Raw("\x1A\x45\xDF\xA4").Fill(100);
  EXPECT_EQ(Mkv(none), 0u);
  Bytes noSegment = header;
  noSegment.Be(0x1549A966, 4).Be(0x81, 1).Fill(1);
  EXPECT_EQ(Mkv(noSegment), 0u);
}

TEST(FlvWalk, TagsEndWhereATrailingSizeDisagrees) {
  Bytes flv;
  flv.Raw("FLV").Be(1, 1).Be(5, 1).Be(9, 4).Be(0, 4);
  for (uint32_t size : {13u, 400u, 70000u}) {  // the last one crosses a 64 KiB window
    flv.Be(9, 1).Be(size, 3).Be(0, 4).Be(0, 3).Fill(size).Be(11 + size, 4);
  }
  const size_t end = flv.size();
  Bytes broken = flv;
  broken.Be(8, 1).Be(20, 3).Be(0, 4).Be(0, 3).Fill(20).Be(99, 4);  // a trailer that does not match
  EXPECT_EQ(Flv(flv), end);
  EXPECT_EQ(Flv(broken), end);
  Bytes badHeader;
  badHeader.Raw("FLV").Be(1, 1).Be(5, 1).Be(9, 4).Be(7, 4);  // the first trailer must be 0
  EXPECT_EQ(Flv(badHeader), 0u);
}

uint64_t Jpeg(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) {
    return JpegSegmentsLength(f, uint64_t{128} << 20, [](CarvingContext&, uint64_t, ByteSpan s) {
      return s.size() >= 3 && s[0] == 0xFF && s[1] == 0xD8 && s[2] == 0xFF;
    });
  });
}

// A segment of `marker` with `body` bytes.
void Segment(Bytes& b, uint8_t marker, const std::string& body) {
  b.Be(0xFF, 1).Be(marker, 1).Be(body.size() + 2, 2).Raw(body);
}

TEST(JpegWalk, TheMainImagesEoiEndsItNotAThumbnailsNorAMarkerInItsData) {
  Bytes thumb;
  thumb.Be(0xFFD8, 2);
  Segment(thumb, 0xDB, std::string(65, 'q'));
  Segment(thumb, 0xDA, std::string(10, 's'));
  thumb.Raw("thumbnail data").Be(0xFFD9, 2);
  std::string thumbBytes;
  {
    const auto img = thumb.Image(thumb.size());
    thumbBytes.assign(img.begin(), img.end());
  }
  Bytes jpeg;
  jpeg.Be(0xFFD8, 2);
  Segment(jpeg, 0xE1, "Exif\0\0" + thumbBytes);  // the thumbnail, EOI included, inside APP1
  Segment(jpeg, 0xDB, std::string(65, 'q'));
  Segment(jpeg, 0xC2, std::string(15, 'f'));  // progressive: several scans with tables between them
  Segment(jpeg, 0xDA, std::string(10, 's'));
  jpeg.Raw("scan one ").Be(0xFF00, 2).Raw(" stuffed ").Be(0xFFD3, 2).Raw(" restart ");
  jpeg.Fill(1500, 0x11);  // into the next sectors
  Segment(jpeg, 0xC4, std::string(30, 'h'));
  Segment(jpeg, 0xDA, std::string(10, 's'));
  jpeg.Raw("scan two").Fill(70000, 0x22).Be(0xFFD9, 2);  // past a 64 KiB window
  const size_t end = jpeg.size();
  jpeg.Be(0xFFD9, 2).Raw("random tail \xFF\xD9");
  EXPECT_EQ(Jpeg(jpeg), end);
}

TEST(JpegWalk, ACutOrGarbledImageIsLeftToThePlainRule) {
  Bytes cut;
  cut.Be(0xFFD8, 2);
  Segment(cut, 0xDB, std::string(65, 'q'));
  Segment(cut, 0xDA, std::string(10, 's'));
  cut.Fill(1024 - cut.size(), 0x33);
  cut.Be(0xFFD8FFE0, 4).Fill(600, 0x44).Be(0xFFD9, 2);  // the next photo starts on a sector: this one was cut
  EXPECT_EQ(Jpeg(cut), 0u);
  Bytes noScan;
  noScan.Be(0xFFD8, 2);
  Segment(noScan, 0xDB, std::string(65, 'q'));
  noScan.Be(0xFFD9, 2);  // an EOI before any scan is no image
  EXPECT_EQ(Jpeg(noScan), 0u);
  Bytes garbage;
  garbage.Be(0xFFD8, 2);
  Segment(garbage, 0xDB, std::string(65, 'q'));
  garbage.Raw("no marker here");
  EXPECT_EQ(Jpeg(garbage), 0u);
  Bytes zeroLength;
  zeroLength.Be(0xFFD8FFDB, 4).Be(0, 2);
  EXPECT_EQ(Jpeg(zeroLength), 0u);
  // The medium ends inside the scan.
  Bytes endless;
  endless.Be(0xFFD8, 2);
  Segment(endless, 0xDA, std::string(10, 's'));
  endless.Fill(4096, 0xFF);
  EXPECT_EQ(Jpeg(endless, 4096), 0u);
  // A medium of one sector, the scan running to its last byte (found by fuzzing: the window was not read).
  Bytes oneSector;
  oneSector.Be(0xFFD8, 2);
  Segment(oneSector, 0xDA, std::string(10, 's'));
  oneSector.Fill(512 - oneSector.size(), 0x12);
  EXPECT_EQ(Jpeg(oneSector, 512), 0u);
}

uint64_t Audio(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return MpegAudioLength(f, uint64_t{2} << 30); });
}

TEST(MpegAudioWalk, FramesAndTheirTagsWhateverFollows) {
  // The real song: ID3v2, frames, ID3v1; then the same without its ID3v1 and with an APEv2 tag instead.
  const std::vector<uint8_t> song = test::Media("tone.mp3");
  Bytes tagged;
  tagged.Raw(std::string(song.begin(), song.end()));
  EXPECT_EQ(Audio(tagged), song.size());
  Bytes ape;
  ape.Raw(std::string(song.begin(), song.end() - 128));
  ape.Raw("APETAGEX").Be(0xD0070000, 4).Be(0x28000000, 4).Be(0, 4).Be(0x000000A0, 4).Fill(8, 0);  // 40 bytes
                                                                                                  // follow
  ape.Fill(8, 'i').Raw("APETAGEX").Fill(24, 0);
  EXPECT_EQ(Audio(ape), ape.size());
  // Frames cut by something that is no frame: the song ends with the last frame whose header came before the
  // cut (its length says how far it reaches).
  Bytes cut;
  cut.Raw(std::string(song.begin(), song.begin() + 2000));
  const uint64_t end = Audio(cut, 4096);
  EXPECT_GT(end, 1000u);
  EXPECT_LT(end, 2000u + 1441);  // the longest frame of the stream
  // Fewer than four frames: the marker rule measures.
  Bytes few;
  few.Be(0xFFFB9064, 4).Fill(413, 0).Raw("nothing more");
  EXPECT_EQ(Audio(few), 0u);
}

uint64_t Tiff(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return TiffLength(f, uint64_t{256} << 20); });
}

// A little-endian TIFF entry.
void Tag(Bytes& b, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
  for (uint64_t v : {uint64_t{tag}, uint64_t{type}}) b.Be(((v & 0xFF) << 8) | (v >> 8), 2);
  for (uint32_t v : {count, value})
    b.Be((uint64_t{v & 0xFF} << 24) | (uint64_t{(v >> 8) & 0xFF} << 16) | (uint64_t{(v >> 16) & 0xFF} << 8) |
             (v >> 24),
         4);
}
void Le16(Bytes& b, uint16_t v) {
  const uint64_t w = v;
  b.Be(((w & 0xFF) << 8) | (w >> 8), 2);
}
void Le32(Bytes& b, uint32_t v) {
  b.Be((uint64_t{v & 0xFF} << 24) | (uint64_t{(v >> 8) & 0xFF} << 16) | (uint64_t{(v >> 16) & 0xFF} << 8) |
           (v >> 24),
       4);
}

TEST(TiffWalk, TheFurthestStripTileThumbnailOrValueEndsIt) {
  // Header; IFD0 at 8 with two strips (offsets and counts in arrays), a SubIFD and an Exif IFD; IFD1 (a
  // thumbnail) chained after IFD0; the furthest piece is the thumbnail's data.
  Bytes t;
  t.Raw("II").Be(0x2A00, 2);
  Le32(t, 8);
  Le16(t, 6);                // IFD0 at 8: 6 entries, ends at 8 + 2 + 72 + 4 = 86
  Tag(t, 273, 4, 2, 200);    // strip offsets at 200
  Tag(t, 279, 4, 2, 208);    // strip counts at 208
  Tag(t, 330, 4, 1, 300);    // SubIFD at 300
  Tag(t, 34665, 4, 1, 400);  // Exif IFD at 400
  Tag(t, 270, 2, 40, 120);   // a description at 120..160
  Tag(t, 256, 3, 1, 64);     // inline
  Le32(t, 500);              // IFD1 at 500
  t.Fill(200 - t.size(), 0);
  Le32(t, 1000);  // strip 1 at 1000 ...
  Le32(t, 3000);  // strip 2 at 3000
  Le32(t, 1500);  // ... 1500 bytes
  Le32(t, 2000);  // 2000 bytes: to 5000
  t.Fill(300 - t.size(), 0);
  Le16(t, 2);  // the SubIFD: one tile ending at 6000
  Tag(t, 324, 4, 1, 5500);
  Tag(t, 325, 4, 1, 500);
  Le32(t, 0);
  t.Fill(400 - t.size(), 0);
  Le16(t, 1);  // Exif: a maker note blob to 7000
  Tag(t, 37500, 7, 1000, 6000);
  Le32(t, 0);
  t.Fill(500 - t.size(), 0);
  Le16(t, 2);  // IFD1: the thumbnail at 7000, 1234 bytes
  Tag(t, 513, 4, 1, 7000);
  Tag(t, 514, 4, 1, 1234);
  Le32(t, 8);  // and a link back to IFD0: a loop, walked once
  t.Fill(8234 - t.size(), 0x31);
  EXPECT_EQ(Tiff(t), 8234u);
}

TEST(TiffWalk, BadHeadersOrFirstIfdsDecline) {
  Bytes noMagic;
  noMagic.Raw("II").Be(0x2B00, 2).Fill(100);
  EXPECT_EQ(Tiff(noMagic), 0u);
  Bytes emptyIfd;
  emptyIfd.Raw("MM").Be(0x002A, 2).Be(8, 4).Be(0, 2).Fill(100);
  EXPECT_EQ(Tiff(emptyIfd), 0u);
  Bytes pastEnd;
  pastEnd.Raw("MM").Be(0x002A, 2).Be(0x7FFFFFF0, 4).Fill(100);
  EXPECT_EQ(Tiff(pastEnd), 0u);
  // Big-endian, one strip inline: header, IFD, strip.
  Bytes big;
  big.Raw("MM").Be(0x002A, 2).Be(8, 4).Be(2, 2);
  big.Be(273, 2).Be(4, 2).Be(1, 4).Be(100, 4);
  big.Be(279, 2).Be(4, 2).Be(1, 4).Be(900, 4);
  big.Be(0, 4).Fill(1000 - big.size(), 0x44);
  EXPECT_EQ(Tiff(big), 1000u);
}

// RAW files: Olympus and Panasonic magic numbers walk as TIFF; a Sony RAW's private block counts.
TEST(TiffWalk, CameraRawLayouts) {
  for (const char* magic : {"IIRO", "IIRS", "IIU"}) {
    Bytes t;
    t.Raw(magic);
    if (t.size() == 3) t.Fill(1, 0);
    Le32(t, 8);
    Le16(t, 3);
    Tag(t, 273, 4, 1, 100);
    Tag(t, 279, 4, 1, 400);
    Tag(t, 29184, 4, 1, 600);  // private block at 600 ...
    Le32(t, 0);
    t.Fill(1000 - t.size(), 0x55);
    EXPECT_EQ(Tiff(t), 500u) << magic;  // ... of no stated length: only the strip counts
  }
  Bytes sony;
  sony.Raw("II").Be(0x2A00, 2);
  Le32(sony, 8);
  Le16(sony, 4);
  Tag(sony, 273, 4, 1, 100);
  Tag(sony, 279, 4, 1, 400);
  Tag(sony, 29184, 4, 1, 600);
  Tag(sony, 29185, 4, 1, 2000);
  Le32(sony, 0);
  sony.Fill(3000 - sony.size(), 0x55);
  EXPECT_EQ(Tiff(sony), 2600u);
}

uint64_t Compound(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return CompoundDocumentLength(f, uint64_t{256} << 20); });
}

// A compound file of 512-byte sectors: the header, the FAT in sector 0 with `entries`, then `sectors` more.
Bytes CompoundFile(const std::vector<uint32_t>& entries, size_t sectors) {
  Bytes b;
  b.Raw("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1").Fill(16, 0);
  Le16(b, 0x3E);
  Le16(b, 3);
  Le16(b, 0xFFFE);
  Le16(b, 9);  // 512-byte sectors
  Le16(b, 6);
  b.Fill(10, 0);
  Le32(b, 1);  // one FAT sector
  Le32(b, 1);  // the directory at sector 1
  b.Fill(8, 0);
  Le32(b, 0xFFFFFFFE);  // no mini FAT
  Le32(b, 0);
  Le32(b, 0xFFFFFFFE);  // no DIFAT sectors
  Le32(b, 0);
  Le32(b, 0);  // the FAT is sector 0
  for (int i = 1; i < 109; ++i) Le32(b, 0xFFFFFFFF);
  for (uint32_t e : entries) Le32(b, e);
  for (size_t i = entries.size(); i < 128; ++i) Le32(b, 0xFFFFFFFF);
  b.Fill(512 * sectors, 0x6D);
  return b;
}

TEST(CompoundDocumentWalk, EndsAfterTheHighestSectorTheFatUses) {
  // Sector 0 the FAT, 1 the directory, 2..4 a stream, 5 free, 6 a last stream sector: the file is 8 sectors.
  const Bytes doc = CompoundFile({0xFFFFFFFD, 0xFFFFFFFE, 3, 4, 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFE}, 6);
  EXPECT_EQ(Compound(doc), 8u * 512);
  // The header claims something else than 512-byte sectors of version 3, or no FAT: declined.
  Bytes bad = doc;
  auto image = bad.Image(bad.size());
  image[30] = 10;
  Bytes odd;
  odd.Raw(std::string(image.begin(), image.end()));
  EXPECT_EQ(Compound(odd), 0u);
  Bytes noFat;
  noFat.Raw("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1").Fill(36, 0).Fill(500, 0);
  EXPECT_EQ(Compound(noFat), 0u);
  // A FAT that names a sector past every limit is no FAT.
  const Bytes huge = CompoundFile({0xFFFFFFFD}, 1);
  auto hugeImage = huge.Image(huge.size());
  hugeImage[76] = 0xF0;
  hugeImage[79] = 0x7F;
  Bytes hugeBytes;
  hugeBytes.Raw(std::string(hugeImage.begin(), hugeImage.end()));
  EXPECT_EQ(Compound(hugeBytes), 0u);
}

uint64_t Swf(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return SwfLength(f, uint64_t{256} << 20); });
}
uint64_t Psd(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return PsdLength(f, uint64_t{2} << 30); });
}

TEST(SwfWalk, AStatedLengthOrTheEndOfItsDeflateStream) {
  std::string movie(100000, 'x');
  for (size_t i = 0; i < movie.size(); i += 7) movie[i] = static_cast<char>(i * 31);
  std::vector<uint8_t> packed(compressBound(static_cast<uLong>(movie.size())));
  uLongf packedSize = static_cast<uLongf>(packed.size());
  ASSERT_EQ(compress(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(movie.data()),
                     static_cast<uLong>(movie.size())),
            Z_OK);
  Bytes cws;
  cws.Raw("CWS").Be(10, 1);
  Le32(cws, static_cast<uint32_t>(8 + movie.size()));
  cws.Raw(std::string(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packedSize)));
  EXPECT_EQ(Swf(cws), 8 + packedSize);
  // A stream that inflates to more than the header states is not this file.
  Bytes liar;
  liar.Raw("CWS").Be(10, 1);
  Le32(liar, 1000);
  liar.Raw(std::string(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packedSize)));
  EXPECT_EQ(Swf(liar), 0u);
  Bytes fws;
  fws.Raw("FWS").Be(8, 1);
  Le32(fws, 5000);
  EXPECT_EQ(Swf(fws), 5000u);
}

TEST(PsdWalk, SectionsThenRawOrRunLengthImageData) {
  auto header = [](uint16_t version, uint16_t compression) {
    Bytes p;
    p.Raw("8BPS").Be(version, 2).Fill(6, 0).Be(3, 2).Be(10, 4).Be(20, 4).Be(8, 2).Be(3, 2);
    p.Be(0, 4).Be(16, 4).Fill(16, 0x11);  // colour mode data, 16 bytes of image resources
    if (version == 2)
      p.Be(8, 8).Fill(8, 0x22);
    else
      p.Be(8, 4).Fill(8, 0x22);  // layers
    p.Be(compression, 2);
    return p;
  };
  Bytes raw = header(1, 0);
  const size_t rawEnd = raw.size() + 3 * 10 * 20;
  raw.Fill(3 * 10 * 20, 0x33);
  EXPECT_EQ(Psd(raw), rawEnd);
  Bytes rle = header(2, 1);  // a PSB: 4-byte row counts
  for (int r = 0; r < 30; ++r) rle.Be(5, 4);
  const size_t rleEnd = rle.size() + 30 * 5;
  rle.Fill(30 * 5, 0x44);
  EXPECT_EQ(Psd(rle), rleEnd);
  EXPECT_EQ(Psd(header(1, 2)), 0u);  // deflated data: left to the plain rule
  Bytes badDepth = header(1, 0);
  auto bytes = badDepth.Image(badDepth.size());
  bytes[23] = 7;
  Bytes odd;
  odd.Raw(std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(Psd(odd), 0u);
}

template <uint64_t (*Walker)(FileBytes&, uint64_t)>
uint64_t Walk(const Bytes& b, size_t image = 1 << 20) {
  return Walked(b, image, [](FileBytes& f) { return Walker(f, uint64_t{6} << 30); });
}

TEST(SmallerWalks, ProgramStreamsKlvAndChunks) {
  // An MPEG-2 program stream without an end code: packs and their packets, then bytes that start nothing.
  Bytes ps;
  for (int pack = 0; pack < 3; ++pack) {
    ps.Be(0x000001BA, 4).Be(0x44, 1).Fill(8, 0x01).Be(0xF8, 1);  // 14-byte pack header, no stuffing
    ps.Be(0x000001E0, 4).Be(100, 2).Fill(100, 0x77);             // a video packet
  }
  const size_t psEnd = ps.size();
  ps.Raw("garbage after the stream");
  EXPECT_EQ(Walk<MpegProgramLength>(ps), psEnd);
  Bytes closed;
  closed.Be(0x000001BA, 4).Be(0x44, 1).Fill(8, 0x01).Be(0xF8, 1).Be(0x000001E0, 4).Be(10, 2).Fill(10, 0);
  closed.Be(0x000001BA, 4).Be(0x44, 1).Fill(8, 0x01).Be(0xF8, 1).Be(0x000001B9, 4);
  EXPECT_EQ(Walk<MpegProgramLength>(closed), closed.size());
  Bytes onePack;
  onePack.Be(0x000001BA, 4).Be(0x44, 1).Fill(8, 0x01).Be(0xF8, 1).Raw("x");
  EXPECT_EQ(Walk<MpegProgramLength>(onePack), 0u);  // one pack is no stream

  // MXF: KLV triplets with short and long BER lengths, to the last whole one.
  Bytes mxf;
  const std::string key("\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00", 16);
  mxf.Raw(key).Be(0x10, 1).Fill(16, 1);
  mxf.Raw(key).Be(0x83, 1).Be(70000, 3).Fill(70000, 2);
  const size_t mxfEnd = mxf.size();
  mxf.Raw("not a key at all");
  EXPECT_EQ(Walk<MxfLength>(mxf), mxfEnd);

  // SMAF: its chunk's size.
  Bytes mmf;
  mmf.Raw("MMMD").Be(300, 4).Fill(300, 3);
  EXPECT_EQ(Walk<SmafLength>(mmf), 308u);

  // RealMedia: a header chunk too large to be one is declined.
  Bytes rm;
  rm.Raw(".RMF").Be(0x21212121, 4).Fill(100);
  EXPECT_EQ(Walk<RealMediaLength>(rm), 0u);
}

uint64_t Png(const Bytes& b, uint64_t* validEnd = nullptr) {
  return Walked(b, 1 << 20, [&](FileBytes& f) { return PngLength(f, uint64_t{6} << 30, validEnd); });
}
uint64_t Gif(const Bytes& b, uint64_t* validEnd = nullptr) {
  return Walked(b, 1 << 20, [&](FileBytes& f) { return GifLength(f, uint64_t{6} << 30, validEnd); });
}

TEST(PictureWalks, PngChunksAndGifBlocksEndThePictureNotAMarkerInItsData) {
  Bytes png;
  png.Raw("\x89PNG\r\n\x1a\n").PngChunk("IHDR", std::string(13, '\1'));
  png.PngChunk("tEXt", std::string("IEND\xAE\x42\x60\x82 in text") + std::string(4, '\0'));
  const size_t afterText = png.size();
  png.PngChunk("IEND", "");
  const size_t pngEnd = png.size();
  png.Raw("IEND\xAE\x42\x60\x82 after the end");
  EXPECT_EQ(Png(png), pngEnd);
  // Broken half-way: the last whole chunk is where a fragment would end.
  Bytes broken = png;
  broken.Cut(afterText).Raw("\xFF\xFF\xFF\xFF?!").Fill(40, 3);
  uint64_t validEnd = 0;
  EXPECT_EQ(Png(broken, &validEnd), 0u);
  EXPECT_EQ(validEnd, afterText);
  Bytes noHeader;
  noHeader.Raw("\x89PNG\r\n\x1a\n").Be(13, 4).Raw("IH?R").Fill(30, 1);
  validEnd = 0;
  EXPECT_EQ(Png(noHeader, &validEnd), 0u);
  EXPECT_EQ(validEnd, 0u);
  Bytes textFirst;
  textFirst.Raw("\x89PNG\r\n\x1a\n").Be(4, 4).Raw("tEXt").Fill(8, 1).Be(0, 4).Raw("IEND").Be(0xAE426082, 4);
  EXPECT_EQ(Png(textFirst), 0u);  // a picture starts with its header chunk

  Bytes gif;
  gif.Raw("GIF89a").Be(0x0A00, 2).Be(0x0A00, 2).Be(0x80, 1).Be(0, 2).Fill(6, 9);  // 2-colour table
  gif.Be(0x21F9, 2).Be(4, 1).Fill(4, 0x3B).Be(0, 1);                              // control extension
  const size_t afterExtension = gif.size();
  gif.Be(0x2C, 1).Fill(8, 0).Be(0, 1).Be(2, 1).Be(5, 1).Raw("\x3B\x3B\x3B\x3B\x3B").Be(0, 1);
  gif.Be(0x3B, 1);
  const size_t gifEnd = gif.size();
  gif.Raw("\x3B random tail");
  EXPECT_EQ(Gif(gif), gifEnd);
  Bytes brokenGif = gif;
  brokenGif.Cut(afterExtension).Raw("?").Fill(20, 0x3B);
  validEnd = 0;
  EXPECT_EQ(Gif(brokenGif, &validEnd), 0u);
  EXPECT_EQ(validEnd, afterExtension);
}

uint64_t Ogg(const Bytes& b, uint64_t* validEnd = nullptr) {
  return Walked(b, 1 << 20, [&](FileBytes& f) { return OggLength(f, uint64_t{2} << 30, validEnd); });
}
uint64_t Flac(const Bytes& b, uint64_t* validEnd = nullptr) {
  return Walked(b, 1 << 20, [&](FileBytes& f) { return FlacLength(f, uint64_t{2} << 30, validEnd); });
}

// Ogg pages carry CRCs and FLAC frames decode: a damaged page or frame ends the stream before it, where the
// rest of a split file would be missing.
TEST(AudioWalks, OggPagesAndFlacFramesToTheirStreamsEnd) {
  for (const char* name : {"tone.ogg", "movie.ogg"}) {
    const std::vector<uint8_t> ogg = test::Media(name);
    EXPECT_EQ(Ogg(Of(ogg).Raw("OggS and what follows")), ogg.size()) << name;
    // The last page's CRC spoiled: the stream ends after the page before it.
    std::vector<uint8_t> spoiled = ogg;
    spoiled.back() ^= 0x40;
    uint64_t validEnd = 0;
    EXPECT_EQ(Ogg(Of(spoiled), &validEnd), 0u) << name;
    EXPECT_GT(validEnd, 0u);
    EXPECT_LT(validEnd, ogg.size());
    EXPECT_EQ(std::string(ogg.begin() + static_cast<ptrdiff_t>(validEnd),
                          ogg.begin() + static_cast<ptrdiff_t>(validEnd) + 4),
              "OggS");
  }
  // A stream that begins after another's data is another file.
  const std::vector<uint8_t> tone = test::Media("tone.ogg");
  std::vector<uint8_t> twice = tone;
  twice.resize(twice.size() - 200);  // the first one cut: it never ends
  twice.insert(twice.end(), tone.begin(), tone.end());
  uint64_t validEnd = 0;
  EXPECT_EQ(Ogg(Of(twice), &validEnd), 0u);
  EXPECT_LT(validEnd, tone.size() - 200);

#ifndef SNAPSAVE_HAVE_LIBFLAC
  GTEST_SKIP() << "built without libFLAC";
#endif
  const std::vector<uint8_t> flac = test::Media("tone.flac");
  EXPECT_EQ(Flac(Of(flac).Raw("\xFF\xF8 frame-like bytes after the stream")), flac.size());
  std::vector<uint8_t> hurt = flac;
  const size_t damage = flac.size() - 1000;  // ffmpeg's 8 KiB of padding come before the frames
  hurt[damage] ^= 0x10;
  validEnd = 0;
  EXPECT_EQ(Flac(Of(hurt), &validEnd), 0u);
  EXPECT_GT(validEnd, 8192u);  // the frames before the damage
  EXPECT_LE(validEnd, damage);
  validEnd = 0;
  EXPECT_EQ(Flac(Of(flac, flac.size() - 100).Fill(400, 0x5A), &validEnd), 0u);  // cut in its last frame
  EXPECT_LT(validEnd, flac.size() - 100);
  Bytes noInfo;
  noInfo.Raw("fLaC").Be(0x80000022, 4).Fill(34, 0);  // a STREAMINFO of no stream
  EXPECT_EQ(Flac(noInfo), 0u);
}

uint64_t Zip(const Bytes& b, uint64_t* validEnd = nullptr) {
  return Walked(b, 1 << 20, [&](FileBytes& f) { return ZipLength(f, uint64_t{2} << 30, validEnd); });
}

// ZIP archives end after their end record and comment: plain, ZIP64, and with sizes after the data (found by
// inflating); an archive cut in a member ends after the members before it.
TEST(ZipWalk, MembersDirectoryAndEndRecord) {
  for (const char* name : {"docs.zip", "z64.zip", "stream.zip", "descriptor.zip", "letter.odt"}) {
    const std::vector<uint8_t> zip = test::Media(name);
    EXPECT_EQ(Zip(Of(zip).Raw("PK\x03\x04 and more")), zip.size()) << name;
  }
  const std::vector<uint8_t> zip = test::Media("docs.zip");
  const size_t firstEnd = 30 + size_t{zip[26]} + (size_t{zip[27]} << 8) + zip[28] + (size_t{zip[29]} << 8) +
                          (size_t{zip[18]} | size_t{zip[19]} << 8 | size_t{zip[20]} << 16);
  uint64_t validEnd = 0;
  EXPECT_EQ(Zip(Of(zip, firstEnd + 40).Fill(3000, 0x11), &validEnd), 0u);  // cut in the second member
  EXPECT_EQ(validEnd, firstEnd);
  Bytes claims;
  claims.Raw("PK\x03\x04").Fill(14, 0).Be(0xFFFFFF7F, 4).Fill(8, 0).Raw("x").Fill(100);  // 2 GiB of data
  EXPECT_EQ(Zip(claims), 0u);
}

// Through the length rules: a walked file is measured exactly, and cut at the medium's end when it claims
// more.
TEST(ContainerRules, MeasureExactlyAndNeverPastTheMedium) {
  Bytes mp4;
  mp4.Box("ftyp", 24).Box("moov", 700).Box("mdat", 3000);
  test::SectorImage image(mp4.Image(64 * 1024));
  CarvingContext ctx;
  ASSERT_TRUE(ctx.AcquireWorkBuffer());
  ctx.Begin(&image.reader(), 512, 0);
  const std::vector<uint8_t> header = image.Sector(0);
  EXPECT_EQ(MeasureLength(ctx, *FirstRowWithCode(typecode::kMp4), header), mp4.size());

  Bytes overlong;
  overlong.Box("ftyp", 24).Be(0x7FFFFFFF, 4).Raw("mdat").Fill(100);
  test::SectorImage cut(overlong.Image(64 * 1024));
  ctx.Begin(&cut.reader(), 512, 0);
  EXPECT_EQ(MeasureLength(ctx, *FirstRowWithCode(typecode::kMp4), cut.Sector(0)), 64u * 1024);
}

// A picture whose structure breaks off ends after its last whole unit, not at an end marker found further on
// (another picture's, on a reused card) nor at the next file's header.
TEST(ContainerRules, BrokenPicturesEndAtTheirLastWholeUnit) {
  CarvingContext ctx;
  ASSERT_TRUE(ctx.AcquireWorkBuffer());
  auto measure = [&](const Bytes& b, uint32_t code) {
    Bytes laidOut = b;
    laidOut.Fill(20000, 0xC3).Raw("IEND\xAE\x42\x60\x82\xFF\xD9").Fill(502, 0);  // a marker with zeros after
    test::SectorImage image(laidOut.Image(64 * 1024));
    ctx.Begin(&image.reader(), 512, 0);
    return MeasureLength(ctx, *FirstRowWithCode(code), image.Sector(0));
  };
  Bytes png;
  png.Raw("\x89PNG\r\n\x1a\n").PngChunk("IHDR", std::string(13, '\1'));
  png.PngChunk("IDAT", std::string(2000, '\7'));
  const size_t pngEnd = png.size();
  png.Be(0x7FFFFFFF, 4).Raw("IDAT");  // a chunk no medium holds: the rest was another file
  EXPECT_EQ(measure(png, typecode::kPng), pngEnd);

  Bytes jpeg;
  jpeg.Be(0xFFD8, 2).Be(0xFFE0, 2).Be(16, 2).Raw("JFIF").Fill(10, 0);
  jpeg.Be(0xFFDA, 2).Be(8, 2).Fill(6, 1).Fill(3000, 0xC2);  // a scan whose data runs into ...
  const size_t jpegEnd = jpeg.size();
  jpeg.Be(0xFF4B, 2).Fill(100, 0xC2);  // ... a marker no picture holds
  EXPECT_EQ(measure(jpeg, typecode::kJpeg), jpegEnd);
}

}  // namespace
}  // namespace snapsave
