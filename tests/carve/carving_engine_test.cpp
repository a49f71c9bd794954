// The length rules and the carving engine over synthetic images built from real files.
#include <fmt/core.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "carve/file_type_recovery.h"
#include "engines/file_system_registry.h"
#include "filetypes/carving_context.h"
#include "filetypes/format_support.h"
#include "filetypes/jpeg_check.h"
#include "os/byte_reader.h"
#include "os/paths.h"
#include "tests/support/carve_layout.h"
#include "tests/support/carve_test_support.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"
#include "tests/support/walk_test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;
constexpr uint32_t kSector = 512;

using test::Carved;
using test::CarvePass;
using test::Carver;
using test::Layout;
using test::Media;

uint64_t RoundUp(uint64_t bytes) {
  return (bytes + kSector - 1) / kSector * kSector;
}

class CarvingTest : public ::testing::Test {
 protected:
  test::ScratchScanStore appData_;
  test::TempDir dir_;
};

// The real files, their carved extension, and what the rule can know: the exact length, or only the sectors
// up to the next file's header (a plain walk; a marker followed by random bytes is no end). Size-field
// formats move the pass on by one sector, unless their data was followed to its end (PCM, an AVI whose index
// holds, ASF packets).
struct MediaCase {
  const char* file;
  const char* extension;
  bool exactWithZeroTail;
  bool exactWithRandomTail;
  bool consumesOne;
};
constexpr MediaCase kMedia[] = {
    {"pic.jpg", "jpg", true, true, false},      {"photo.jpg", "jpg", true, true, false},
    {"pic.png", "png", true, true, false},      {"pic.gif", "gif", true, true, false},
    {"pic.bmp", "bmp", true, true, true},       {"pic.ico", "ico", true, true, true},
    {"pic.tif", "tif", true, true, false},      {"pic.psd", "psd", true, true, false},
    {"ps.vob", "mpeg", true, true, false},      {"ps.mpg", "mpeg", true, true, false},
    {"movie.ts", "ts", true, true, false},      {"movie.m2ts", "mts", true, true, false},
    {"long.ts", "ts", true, true, false},       {"movie.mp4", "mp4", true, true, false},
    {"movie.mov", "mov", true, true, false},    {"movie.mkv", "mkv", true, true, false},
    {"movie.flv", "flv", true, true, false},    {"movie.3gp", "3gp", true, true, false},
    {"movie.avi", "avi", true, true, false},    {"movie.wmv", "wmv", true, true, false},
    {"movie.rm", "rmvb", true, true, false},    {"tone.wav", "wav", true, true, false},
    {"tone.mp3", "mp3", true, true, false},     {"tone.ogg", "ogg", true, true, false},
    {"movie.ogg", "ogg", true, true, false},    {"tone.flac", "flac", true, true, false},
    {"docs.zip", "zip", true, true, false},     {"stream.zip", "zip", true, true, false},
    {"z64.zip", "zip", true, true, false},      {"letter.docx", "docx", true, true, false},
    {"letter.odt", "odt", true, true, false},   {"table.xlsx", "xlsx", true, true, false},
    {"letter.pdf", "pdf", true, true, false},   {"updated.pdf", "pdf", true, true, false},
    {"letter.txt.gz", "gz", true, true, false}, {"letter.txt.bz2", "bz2", true, true, false},
    {"letter.txt.xz", "xz", true, true, false}, {"docs.7z", "7z", true, true, false},
    {"notes.db", "db", true, true, false},      {"pic.webp", "webp", true, true, false},
    {"pic.heic", "heic", true, true, false},    {"pic.avif", "avif", true, true, false},
    {"tone.m4a", "m4a", true, true, false},     {"tone.opus", "opus", true, true, false},
    {"tone.aac", "aac", true, true, false},     {"tone.aiff", "aiff", true, true, false},
};

// A build without a stream's decoder (Windows) carves it to the end of its last sector.
bool Measurable([[maybe_unused]] std::string_view extension) {
#ifndef SNAPSAVE_HAVE_LIBFLAC
  if (extension == "flac") return false;
#endif
#ifndef SNAPSAVE_HAVE_BZIP2
  if (extension == "bz2") return false;
#endif
#ifndef SNAPSAVE_HAVE_LZMA
  if (extension == "xz") return false;
#endif
  return true;
}

class RealFiles : public CarvingTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RealFiles, EachRuleMeasuresWhatItCanKnowAndRecoveryGivesItBack) {
  const bool randomTail = GetParam();
  Layout layout;
  std::map<uint64_t, const MediaCase*> placed;
  std::map<uint64_t, std::vector<uint8_t>> contents;
  for (const MediaCase& m : kMedia) {
    layout.Random(3);
    const uint64_t at = layout.Place(Media(m.file), randomTail);
    placed[at] = &m;
    contents[at] = Media(m.file);
    layout.Stopper();
    layout.Zeros(2);
  }
  test::SectorImage image(layout.bytes());
  Carver carver(image);
  const auto carved = carver.Pass();
  ASSERT_EQ(carved.size(), placed.size()) << "one record per file, none from the filler";
  for (const auto& [sector, m] : placed) {
    SCOPED_TRACE(m->file);
    ASSERT_TRUE(carved.count(sector));
    const Carved& c = carved.at(sector);
    const auto& file = contents.at(sector);
    const bool exact =
        (randomTail ? m->exactWithRandomTail : m->exactWithZeroTail) && Measurable(m->extension);
    EXPECT_EQ(c.name, std::to_string(sector) + "." + m->extension);
    EXPECT_EQ(c.size, exact ? file.size() : RoundUp(file.size()));
    EXPECT_EQ(c.consumed, m->consumesOne ? 1 : RoundUp(c.size) / kSector);

    RecordList records;
    ASSERT_EQ(carver.engine.ListFolder(nullptr, 0, records), 0u);
    const auto r = std::find_if(records.begin(), records.end(),
                                [&](const FoundFileRecord& f) { return f.entryLocation == sector; });
    ASSERT_NE(r, records.end());
    EXPECT_EQ(r->sourceKind, static_cast<uint32_t>(SourceKind::kCarved));
    EXPECT_EQ(r->clusterSize, kNoClusterSize);
    const fs::path out = dir_.path() / (randomTail ? "r" : "z") / c.name;
    ASSERT_EQ(carver.engine.RecoverRecord(&*r, out, 0), 0);
    const auto bytes = test::ReadFile(out);
    ASSERT_EQ(bytes.size(), c.size);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), bytes.begin()));
  }
  // No later sector of the carved stream may start a second one.
  const auto ts = std::find_if(placed.begin(), placed.end(),
                               [](const auto& p) { return std::string(p.second->file) == "movie.ts"; });
  EXPECT_TRUE(carver.engine.context().InTransportStreamRange(ts->first + 5));
}

INSTANTIATE_TEST_SUITE_P(Tails, RealFiles, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "RandomTail" : "ZeroTail"; });

// A picture or song whose end was found, then unrecognised data, then the next file of its kind a chunk
// later: the next file's end marker lies past the sector that stopped the walk and must not replace the end
// found.
TEST_F(CarvingTest, AnEndMarkerInsideTheNextFileIsNoCandidate) {
  for (const char* name : {"photo.jpg", "tone.mp3"}) {
    SCOPED_TRACE(name);
    Layout layout;
    const auto file = Media(name);
    const uint64_t first = layout.Place(file, false);
    layout.Zeros(140);
    layout.Place(file, false);
    layout.Zeros(4);
    test::SectorImage image(layout.bytes());
    Carver carver(image);
    const auto carved = carver.Pass();
    ASSERT_EQ(carved.size(), 2u);
    EXPECT_EQ(carved.at(first).size, file.size());
  }
}

// Standard MIDI files are measured by their chunk lengths, bounded by the stop test.
TEST_F(CarvingTest, MidiIsMeasuredByItsChunks) {
  auto midi = [](std::vector<uint32_t> trackLengths, uint16_t declared) {
    std::vector<uint8_t> f = {'M',
                              'T',
                              'h',
                              'd',
                              0,
                              0,
                              0,
                              6,
                              0,
                              1,
                              static_cast<uint8_t>(declared >> 8),
                              static_cast<uint8_t>(declared),
                              0x01,
                              0xE0};
    for (uint32_t n : trackLengths) {
      for (char c : std::string("MTrk")) f.push_back(static_cast<uint8_t>(c));
      for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<uint8_t>(n >> shift));
      for (uint32_t i = 0; i < n; ++i) f.push_back(static_cast<uint8_t>(0x80 | (i * 7)));
    }
    return f;
  };
  Layout layout;
  const auto twoTracks = midi({600, 300}, 2);  // ends in its third sector
  const auto oneTrack = midi({100}, 1);        // all in the header sector
  const auto damaged = midi({100, 50}, 5);     // declares more tracks than follow
  const uint64_t a = layout.Place(twoTracks, true);
  layout.Random(5);  // no header follows: only the chunks can end the file
  const uint64_t b = layout.Place(oneTrack, true);
  layout.Random(2);
  const uint64_t c = layout.Place(damaged, true);
  layout.Random(2);
  layout.Stopper();
  test::SectorImage image(layout.bytes());
  Carver carver(image);
  const auto carved = carver.Pass();
  EXPECT_EQ(carved.at(a).size, twoTracks.size());
  EXPECT_EQ(carved.at(a).name, std::to_string(a) + ".mid");
  EXPECT_EQ(carved.at(b).size, oneTrack.size());
  EXPECT_EQ(carved.at(c).size, 3u * kSector) << "a damaged chunk list falls back to the stop test";
}

// Formats no tool here writes, from crafted sectors: each rule's marker or field, and its quirks.
TEST_F(CarvingTest, CraftedFilesOfEveryOtherRule) {
  Layout layout;
  auto text = [](std::vector<uint8_t>& f, size_t at, std::string_view s) {
    if (f.size() < at + s.size()) f.resize(at + s.size(), 0x55);
    std::memcpy(&f[at], s.data(), s.size());
  };
  // APE: "MAC ", audio, a tag header and its footer.
  std::vector<uint8_t> ape(3000, 0x33);
  text(ape, 0, "MAC ");
  text(ape, 2000, std::string_view("APETAGEX\xD0\x07", 10));
  text(ape, 2968, std::string_view("APETAGEX\xD0\x07", 10));
  ape.resize(3000);
  // RealMedia closed by an empty index chunk.
  std::vector<uint8_t> rm(1500, 0x21);
  text(rm, 0, ".RMF");
  text(rm, 1480,
       std::string_view("INDX\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00", 20));
  // MP4 with the producer text some muxers leave at the end.
  std::vector<uint8_t> mp4(2100, 0x42);
  text(mp4, 0,
       std::string_view("\x00\x00\x00\x18"
                        "ftypisom\x00\x00\x02\x00isomiso2mp41",
                        28));
  text(mp4, 2060, "freeIsoMedia File Produced by Test");
  mp4.resize(2094);
  // Uncompressed SWF with its length field; an ASF broadcast; a BMP and an AVI whose fields claim more than
  // the medium holds.
  std::vector<uint8_t> swf(700, 0x11);
  text(swf, 0, "FWS\x05");
  PutLe32(swf, 4, 700);
  std::vector<uint8_t> asf(kSector, 0);
  text(asf, 0, std::string_view("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16));
  text(asf, 40, std::string_view("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16));
  PutLe64(asf, 80, 5000);
  PutLe32(asf, 128, 1);  // broadcast: the size is unknown
  const auto bmpBytes = Media("pic.bmp");
  std::vector<uint8_t> bmp(bmpBytes.begin(), bmpBytes.begin() + kSector);
  PutLe32(bmp, 2, 300'000'000);
  const auto aviBytes = Media("movie.avi");
  std::vector<uint8_t> avi(aviBytes.begin(), aviBytes.begin() + kSector);
  PutLe32(avi, 4, 0xFFFFFFF0);

  // A PNG whose trailer lies in the sector after another file's header: within one chunk the trailer wins.
  std::vector<uint8_t> png(3 * kSector, 0x55);
  text(png, 0, "\x89PNG\r\n\x1a\n");
  text(png, kSector, "%PDF-1.4\n");
  text(png, 2 * kSector + 100, "IEND\xAE\x42\x60\x82");
  std::fill(png.begin() + 2 * kSector + 108, png.end(), 0);

  const uint64_t pngAt = layout.Place(png, false);
  layout.Random(2);
  const uint64_t apeAt = layout.Place(ape, true);
  layout.Stopper();
  const uint64_t rmAt = layout.Place(rm, true);
  layout.Stopper();
  const uint64_t mp4At = layout.Place(mp4, false);
  layout.Stopper();
  const uint64_t swfAt = layout.Place(swf, true);
  layout.Stopper();
  const uint64_t asfAt = layout.Place(asf, true);
  layout.Stopper();
  const uint64_t aviAt = layout.Place(avi, true);
  layout.Random(4);
  const uint64_t bmpAt = layout.Place(bmp, true);
  layout.Random(4);
  test::SectorImage image(layout.bytes());
  Carver carver(image);
  const auto carved = carver.Pass();
  const uint64_t medium = layout.bytes().size();
  EXPECT_EQ(carved.at(pngAt).size, 2 * kSector + 108);
  EXPECT_EQ(carved.at(apeAt).size, 3000u);
  EXPECT_EQ(carved.at(rmAt).size, 1500u);
  EXPECT_EQ(carved.at(mp4At).size, 2094u);
  EXPECT_EQ(carved.at(swfAt).size, 700u);
  EXPECT_EQ(carved.at(asfAt).size, kSector);
  EXPECT_EQ(carved.at(aviAt).size, medium - aviAt * kSector) << "bounded by the medium";
  EXPECT_EQ(carved.at(aviAt).consumed, 1u);
  EXPECT_EQ(carved.at(bmpAt).size, medium - bmpAt * kSector);
}

TEST_F(CarvingTest, HeaderSectorEndsAndNames) {
  // A JPEG whose end marker closes its header sector exactly, carved at a sector number past 32 bits (the
  // reader's medium is small, so nothing past the header sector is read).
  const auto jpeg = Media("pic.jpg");
  std::vector<uint8_t> sector(jpeg.begin(), jpeg.begin() + 20);
  sector.resize(kSector, 0x5A);
  sector[kSector - 2] = 0xFF;
  sector[kSector - 1] = 0xD9;
  std::vector<uint8_t> cab(kSector, 0);
  std::memcpy(cab.data(), "MSCF", 4);
  std::vector<uint8_t> bytes = sector;
  bytes.insert(bytes.end(), cab.begin(), cab.end());
  test::SectorImage image(bytes);
  Carver carver(image);
  uint64_t consumed = 0;
  uint64_t found = 7;
  ASSERT_EQ(carver.engine.CarveAt(sector, 4294967296u, 0, 0, -1, &image.reader(), kSector, consumed, found),
            0);
  EXPECT_EQ(found, 8u);
  EXPECT_EQ(carver.At(1, consumed), static_cast<int32_t>(err::kInvalidParameter)) << "cab: no length rule";
  EXPECT_EQ(consumed, 1u);
  RecordList records;
  ASSERT_EQ(carver.engine.ListFolder(nullptr, 0, records), 0u);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Name(), "4294967296.jpg");
  EXPECT_EQ(records[0].fileSize, kSector);
  EXPECT_EQ(carver.engine.GetRecordCount(), 1u);
  uint32_t count = 0;
  EXPECT_EQ(carver.engine.CountFolderFiles(nullptr, 0, count), 0u);
  EXPECT_EQ(count, 1u);
  RecordList none;
  EXPECT_EQ(carver.engine.ListFolder(&records[0], 0, none), 0u);
  EXPECT_EQ(carver.engine.ListFolder(nullptr, 1, none), 0u);
  EXPECT_TRUE(none.empty());
  RecordList photos;
  EXPECT_EQ(carver.engine.SearchByType("*.jpg|", photos), 1u);
  EXPECT_EQ(photos.size(), 1u);
}

// Saving reads whole sectors and writes exactly fileSize; preview sends pictures to tmp.jpg and other types
// to the caller's buffer.
TEST_F(CarvingTest, RecoveryAndPreviewOfCarvedRecords) {
  Layout layout;
  layout.Random(6);
  test::SectorImage image(layout.bytes());
  Carver carver(image);
  FoundFileRecord r = MakeEmptyRecord();
  r.sourceKind = static_cast<uint32_t>(SourceKind::kCarved);
  r.entryLocation = 2;
  r.fileSize = 1000;
  r.SetName("2.dat");
  int calls = 0;
  carver.engine.SetCallbacks(
      nullptr,
      [](void* c, int32_t, int32_t, uint32_t, const fs::path&) {
        ++*static_cast<int*>(c);
        return 0;
      },
      &calls, 100);
  ASSERT_EQ(carver.engine.RecoverRecord(&r, dir_.path() / "a" / "2.dat", 0), 0);
  const auto written = test::ReadFile(dir_.path() / "a" / "2.dat");
  EXPECT_EQ(written, std::vector<uint8_t>(layout.bytes().begin() + 1024, layout.bytes().begin() + 2024));
  EXPECT_GE(calls, 1);
  std::vector<uint8_t> buffer(300);
  fs::path path;
  uint32_t size = 0;
  ASSERT_EQ(carver.engine.ExtractForPreview(&r, path, buffer, size, nullptr, nullptr), 0u);
  EXPECT_EQ(size, 300u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), written.begin()));
  r.SetName("2.jpg");
  ASSERT_EQ(carver.engine.ExtractForPreview(&r, path, {}, size, nullptr, nullptr), 0u);
  EXPECT_EQ(path.filename(), "tmp.jpg");
  EXPECT_EQ(test::ReadFile(path), written);
  // Past the medium: nothing to read.
  r.entryLocation = 100;
  EXPECT_EQ(carver.engine.RecoverRecord(&r, dir_.path() / "b.dat", 0), static_cast<int32_t>(err::kReadFault));
  EXPECT_EQ(carver.engine.RecoverRecord(nullptr, dir_.path() / "c.dat", 0),
            static_cast<int32_t>(err::kInvalidParameter));
}

int32_t CancelScan(void*, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, uint32_t) {
  return ScanCancelled;
}
int32_t KeepProgress(void* context, int32_t progress, int32_t, int32_t, uint64_t, uint64_t, uint64_t,
                     uint32_t) {
  static_cast<std::vector<int32_t>*>(context)->push_back(progress);
  return 0;
}

// A picture whose deflated image data states no length: measured by walking the sectors after it.
std::vector<uint8_t> PsdOfUnknownLength() {
  std::vector<uint8_t> psd(kSector, 0);
  const uint8_t header[] = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 64, 0, 0,
                            0,   64,  0,   8,   0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 2};
  std::copy(std::begin(header), std::end(header), psd.begin());  // three empty sections, ZIP data
  return psd;
}

TEST_F(CarvingTest, CallbacksDuringAWalk) {
  Layout layout;
  const uint64_t at = layout.Place(PsdOfUnknownLength(), false);
  layout.Zeros(600);
  test::SectorImage image(layout.bytes());
  {
    // Stopping in the middle of a long measurement discards the file.
    Carver carver(image);
    carver.engine.SetCallbacks(CancelScan, nullptr, nullptr, 90);
    uint64_t consumed = 0;
    EXPECT_EQ(carver.At(at, consumed), ScanCancelled);
    EXPECT_EQ(carver.engine.GetRecordCount(), 0u);
  }
  {
    // A scan total of 0 reports progress without dividing by it.
    Carver carver(image);
    std::vector<int32_t> progress;
    carver.engine.SetCallbacks(KeepProgress, nullptr, &progress, 90);
    auto bytes = layout.bytes();
    uint64_t consumed = 0;
    uint64_t found = 0;
    std::vector<uint8_t> header(bytes.begin(), bytes.begin() + kSector);
    ASSERT_EQ(carver.engine.CarveAt(header, at, 0, 0, -1, &image.reader(), kSector, consumed, found), 0);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 10);
  }
}

TEST_F(CarvingTest, WithoutTheWorkBufferNothingIsCarved) {
  Layout layout;
  layout.Place(Media("pic.png"), false);
  test::SectorImage image(layout.bytes());
  Carver carver(image);
  CarvingContext& ctx = carver.engine.context();
  ctx.ReleaseWorkBuffer();
  ASSERT_TRUE(ctx.workBuffer().empty());
  uint64_t consumed = 0;
  EXPECT_EQ(carver.At(0, consumed), static_cast<int32_t>(err::kInvalidParameter));
  EXPECT_EQ(carver.engine.GetRecordCount(), 0u);
}

// A plain walk that never meets another file's start runs to its limit: limit + one sector. The image is
// sparse.
TEST_F(CarvingTest, APlainWalkOverZerosEndsAtItsLimit) {
  const fs::path path = dir_.path() / "zeros.img";
  const std::vector<uint8_t> psd = PsdOfUnknownLength();
  test::WriteFile(path, psd);
  fs::resize_file(path, length_limit::k128MiB + 64 * kSector);
  SectorReader reader;
  ASSERT_EQ(reader.OpenFile(path), 0u);
  CFileTypeRecovery engine(appData_.store());
  ASSERT_EQ(
      engine.Attach(ImageVolume(path, u'C'), "File_Type_zeros", kSector, FoundFileCatalogue::Mode::kFresh),
      0u);
  uint64_t consumed = 0;
  uint64_t found = 0;
  ASSERT_EQ(engine.CarveAt(psd, 0, 0, 1, -1, &reader, kSector, consumed, found), 0);
  RecordList records;
  ASSERT_EQ(engine.ListFolder(nullptr, 0, records), 0u);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].fileSize, length_limit::k128MiB + kSector);
  EXPECT_EQ(consumed, length_limit::k128MiB / kSector + 1);
}

TEST(AcceptEndMarker, AtASectorEndOrBeforeZerosOnly) {
  std::vector<uint8_t> chunk(2 * kSector, 0);
  EXPECT_TRUE(AcceptEndMarker(chunk, kSector, kSector));
  EXPECT_TRUE(AcceptEndMarker(chunk, 100, kSector));
  chunk[kSector - 1] = 1;
  EXPECT_FALSE(AcceptEndMarker(chunk, 100, kSector));
  EXPECT_TRUE(AcceptEndMarker(chunk, kSector + 100, kSector));
  EXPECT_FALSE(AcceptEndMarker(chunk, 3 * kSector, kSector));
}

// Photos cut in two with other data between the pieces, as a card written, partly deleted and written again
// leaves them: each is joined where the whole picture decodes, its record keeps both pieces (also for a
// saved scan reopened), and the pass goes on after the first piece. A picture whose rest is not found stays
// listed, damaged, and is still recovered.
TEST_F(CarvingTest, SplitPhotosAreJoinedWhereTheWholePictureDecodes) {
#ifndef SNAPSAVE_HAVE_LIBJPEG
  GTEST_SKIP() << "built without libjpeg";
#endif
  const auto photo = Media("photo.jpg");
  const std::vector<uint8_t> head(photo.begin(), photo.begin() + 8 * kSector);
  const std::vector<uint8_t> rest(photo.begin() + 8 * kSector, photo.end());
  // The rest with one sector of its coded data left out: it runs to an end marker but decodes wrong.
  std::vector<uint8_t> decoy = rest;
  decoy.erase(decoy.begin() + 3 * kSector, decoy.begin() + 4 * kSector);
  Layout layout;
  layout.Random(3);
  const uint64_t overRandom = layout.Place(head, false);
  layout.Random(70);
  layout.Place(rest, false);
  layout.Random(2);
  const uint64_t overZeros = layout.Place(head, false);
  layout.Zeros(40);
  layout.Place(rest, false);
  layout.Random(2);
  const uint64_t withDecoy = layout.Place(head, false);
  layout.Random(9);
  layout.Place(decoy, false);
  layout.Random(9);
  layout.Place(rest, false);
  layout.Random(2);
  const uint64_t cutOff = layout.Place(head, false);  // the medium ends: no rest anywhere
  test::SectorImage image(layout.bytes());
  auto carver = std::make_unique<Carver>(image);
  const auto carved = carver->Pass();

  auto recovered = [&](CFileTypeRecovery& engine, uint64_t sector) {
    RecordList records;
    EXPECT_EQ(engine.ListFolder(nullptr, 0, records), 0u);
    for (const FoundFileRecord& r : records) {
      if (r.entryLocation != sector) continue;
      const fs::path to = dir_.path() / fmt::format("{}-{}.jpg", sector, records.size());
      EXPECT_EQ(engine.RecoverRecord(&r, to, 0), 0);
      return std::make_pair(r.isIntact != 0, test::ReadFile(to));
    }
    ADD_FAILURE() << "nothing carved at " << sector;
    return std::make_pair(false, std::vector<uint8_t>());
  };
  for (const uint64_t at : {overRandom, overZeros, withDecoy}) {
    SCOPED_TRACE(at);
    EXPECT_EQ(carved.at(at).consumed, 8u) << "the pass goes on into the data between the pieces";
    EXPECT_EQ(recovered(carver->engine, at), std::make_pair(true, photo));
  }
  EXPECT_EQ(carver->engine.StitchedFiles(), 3u);
  const auto [whole, bytes] = recovered(carver->engine, cutOff);
  EXPECT_FALSE(whole);
  EXPECT_EQ(bytes, head);

  // A saved scan reopened reads the same pieces; a checkpoint before the joins drops them.
  ASSERT_EQ(carver->engine.Flush(), 0u);
  carver.reset();
  CFileTypeRecovery reopened(appData_.store());
  ASSERT_EQ(reopened.Attach(ImageVolume(image.path(), u'C'), "File_Type_test", kSector), 0u);
  EXPECT_EQ(reopened.StitchedFiles(), 3u);
  EXPECT_EQ(recovered(reopened, withDecoy), std::make_pair(true, photo));
  ASSERT_EQ(reopened.KeepRecords(1), 0u);
  EXPECT_EQ(reopened.StitchedFiles(), 1u);
}

// The content check: whole only when every block decodes and the data ends at the end marker exactly; where
// data is missing the damage is found at or after it, never before.
TEST(CheckJpeg, WholeOnlyWhenTheDataDecodesToItsEndMarker) {
#ifndef SNAPSAVE_HAVE_LIBJPEG
  GTEST_SKIP() << "built without libjpeg";
#endif
  const auto photo = Media("photo.jpg");
  auto check = [&](const std::vector<uint8_t>& bytes, uint64_t length) {
    std::vector<uint8_t> laidOut = bytes;
    laidOut.resize(RoundUp(laidOut.size()) + kSector, 0);
    test::SectorImage image(laidOut);
    CarvingContext ctx;
    EXPECT_TRUE(ctx.AcquireWorkBuffer());
    ctx.Begin(&image.reader(), kSector, 0);
    const std::vector<uint8_t> header = image.Sector(0);
    FileBytes file(ctx, header);
    return CheckJpeg(file, length);
  };
  EXPECT_EQ(check(photo, photo.size()).verdict, JpegCheck::Verdict::kWhole);
  const JpegCheck cut = check(photo, photo.size() - 700);
  EXPECT_EQ(cut.verdict, JpegCheck::Verdict::kBroken);
  EXPECT_GE(cut.brokenAt, photo.size() - 1000);
  std::vector<uint8_t> gap = photo;
  gap.erase(gap.begin() + 10 * kSector, gap.begin() + 11 * kSector);
  const JpegCheck missing = check(gap, gap.size());
  EXPECT_EQ(missing.verdict, JpegCheck::Verdict::kBroken);
  EXPECT_GE(missing.brokenAt, 10u * kSector);
  std::vector<uint8_t> text(photo.begin(), photo.begin() + 2 * kSector);
  EXPECT_EQ(check(text, text.size()).verdict, JpegCheck::Verdict::kBroken);
}

// PNG, Ogg and ZIP files cut in two are joined where the unit that spans the cut passes its checksum and the
// next unit starts a whole number of sectors on: cut inside a chunk, page or member, and cut just before one.
TEST_F(CarvingTest, SplitPngOggAndZipAreJoinedWhereTheirChecksumsHold) {
  test::Bytes png;
  png.Raw("\x89PNG\r\n\x1a\n").PngChunk("IHDR", std::string(13, '\1'));
  std::mt19937 rng(5);
  for (int i = 0; i < 6; ++i) {
    std::string data(1500, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    png.PngChunk("IDAT", data);
  }
  png.PngChunk("IEND", "");
  const std::vector<uint8_t>& picture = png.data();
  // A cut at 6 sectors lies inside the third IDAT (3057 to 4569). In the second picture a chunk starts at
  // the cut, after the header sector: the tail starts with it.
  test::Bytes aligned;
  aligned.Raw("\x89PNG\r\n\x1a\n")
      .PngChunk("IHDR", std::string(13, '\1'))
      .PngChunk("tEXt", std::string(467, 't'));
  aligned.PngChunk("IDAT", std::string(900, 'x')).PngChunk("IEND", "");
  const std::vector<uint8_t>& other = aligned.data();
  const auto ogg = Media("movie.ogg");
  const auto zip = Media("docs.zip");
  Layout layout;
  layout.Random(2);
  const uint64_t pngAt =
      layout.Place(std::vector<uint8_t>(picture.begin(), picture.begin() + 6 * kSector), false);
  layout.Random(50);
  layout.Place(std::vector<uint8_t>(picture.begin() + 6 * kSector, picture.end()), false);
  layout.Random(3);
  const uint64_t oggAt = layout.Place(std::vector<uint8_t>(ogg.begin(), ogg.begin() + 11 * kSector), false);
  layout.Zeros(33);
  layout.Place(std::vector<uint8_t>(ogg.begin() + 11 * kSector, ogg.end()), false);
  layout.Random(3);
  const uint64_t alignedAt =
      layout.Place(std::vector<uint8_t>(other.begin(), other.begin() + kSector), false);
  layout.Random(20);
  layout.Place(std::vector<uint8_t>(other.begin() + kSector, other.end()), false);
  layout.Random(3);
  const uint64_t zipAt = layout.Place(std::vector<uint8_t>(zip.begin(), zip.begin() + 4 * kSector), false);
  layout.Random(15);
  layout.Place(std::vector<uint8_t>(zip.begin() + 4 * kSector, zip.end()), false);
  layout.Random(3);
  test::SectorImage image(layout.bytes());
  Carver carver(image);
  carver.Pass();
  RecordList records;
  ASSERT_EQ(carver.engine.ListFolder(nullptr, 0, records), 0u);
  std::map<uint64_t, std::vector<uint8_t>> saved;
  for (const FoundFileRecord& r : records) {
    const fs::path to = dir_.path() / std::string(r.Name());
    ASSERT_EQ(carver.engine.RecoverRecord(&r, to, 0), 0);
    EXPECT_EQ(r.isIntact, 1u) << r.Name();
    saved[r.entryLocation] = test::ReadFile(to);
  }
  EXPECT_EQ(saved[pngAt], picture);
  EXPECT_EQ(saved[oggAt], ogg);
  EXPECT_EQ(saved[alignedAt], other);
  EXPECT_EQ(saved[zipAt], zip);
  EXPECT_EQ(carver.engine.StitchedFiles(), 4u);
}

// Between the pieces, the end of another picture coded with the same tables: the first piece's data runs on
// through it without a decoding error, so the cut is found where the grey image jumps to the other
// picture's content, and of the joins around it that decode whole the one whose seam does not show is kept.
TEST_F(CarvingTest, APhotoCutAroundAnotherPicturesDataIsJoinedWhereItsSeamVanishes) {
#ifndef SNAPSAVE_HAVE_LIBJPEG
  GTEST_SKIP() << "built without libjpeg";
#endif
  const auto large = Media("large.jpg");
  const auto photo = Media("photo.jpg");
  Layout layout;
  layout.Random(2);
  const uint64_t at = layout.Place(std::vector<uint8_t>(large.begin(), large.begin() + 25 * kSector), false);
  layout.Place(std::vector<uint8_t>(photo.begin() + 3 * kSector, photo.end()), true);
  layout.Random(7);
  layout.Place(std::vector<uint8_t>(large.begin() + 25 * kSector, large.end()), false);
  layout.Random(2);
  test::SectorImage image(layout.bytes());
  Carver carver(image);
  carver.Pass();
  RecordList records;
  ASSERT_EQ(carver.engine.ListFolder(nullptr, 0, records), 0u);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].entryLocation, at);
  ASSERT_EQ(carver.engine.RecoverRecord(&records[0], dir_.path() / "large.jpg", 0), 0);
  EXPECT_EQ(test::ReadFile(dir_.path() / "large.jpg"), large);
  EXPECT_EQ(records[0].isIntact, 1u);
}

// A movie written as cameras write it, media data first and the movie box after it, cut inside its media
// data: the movie box is found past the other data and the join keeps every sample's framing. Cut where
// samples start and end on both sides, the join is exact; cut inside the long first sample, whose framing
// says nothing of its middle, the movie comes back whole in size and box, listed damaged.
TEST_F(CarvingTest, AMovieCutInItsMediaDataGetsItsMovieBoxBack) {
  const auto movie = Media("movie.mp4");  // mdat at 36 (samples 44+1512, 1556+243, ...), moov at 2896
  Layout layout;
  layout.Random(2);
  std::map<uint64_t, uint64_t> cuts;  // start sector, sectors in the first piece
  for (const uint64_t cut : {uint64_t{4}, uint64_t{3}}) {
    cuts[layout.Place(
        std::vector<uint8_t>(movie.begin(), movie.begin() + static_cast<ptrdiff_t>(cut * kSector)), false)] =
        cut;
    layout.Random(25);
    layout.Place(std::vector<uint8_t>(movie.begin() + static_cast<ptrdiff_t>(cut * kSector), movie.end()),
                 false);
    layout.Random(2);
  }
  test::SectorImage image(layout.bytes());
  Carver carver(image);
  const auto carved = carver.Pass();
  RecordList records;
  ASSERT_EQ(carver.engine.ListFolder(nullptr, 0, records), 0u);
  ASSERT_EQ(records.size(), 2u);
  for (const FoundFileRecord& r : records) {
    SCOPED_TRACE(cuts[r.entryLocation]);
    const fs::path to = dir_.path() / std::string(r.Name());
    ASSERT_EQ(carver.engine.RecoverRecord(&r, to, 0), 0);
    const auto saved = test::ReadFile(to);
    ASSERT_EQ(saved.size(), movie.size());
    EXPECT_TRUE(std::equal(saved.begin() + 2896, saved.end(), movie.begin() + 2896)) << "the movie box";
    const bool exact = cuts[r.entryLocation] == 4;
    EXPECT_EQ(saved == movie, exact);
    EXPECT_EQ(r.isIntact != 0, exact);
    if (exact) {
      EXPECT_EQ(carved.at(r.entryLocation).consumed, 4u);
    }
  }
  EXPECT_EQ(carver.engine.StitchedFiles(), 2u);
}

}  // namespace
}  // namespace snapsave
