// Framed video and sound cut in two with other data between the pieces: each family finds its second piece
// by what its own structure carries, and a file whose rest is not found is listed damaged.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/carve_layout.h"
#include "tests/support/carve_test_support.h"
#include "tests/support/scan_store.h"
#include "tests/support/walk_test_support.h"

namespace snapsave {
namespace {

using test::kCarveSector;
using test::Media;

std::vector<uint8_t> Head(const std::vector<uint8_t>& file, uint64_t sectors) {
  return {file.begin(), file.begin() + static_cast<ptrdiff_t>(sectors * kCarveSector)};
}
std::vector<uint8_t> Rest(const std::vector<uint8_t>& file, uint64_t sectors) {
  return {file.begin() + static_cast<ptrdiff_t>(sectors * kCarveSector), file.end()};
}

class SplitStreamsTest : public ::testing::Test {
 protected:
  std::map<uint64_t, test::Saved> CarveAndRecover(test::Layout& layout, uint64_t* stitched = nullptr) {
    test::SectorImage image(layout.bytes());
    test::Carver carver(image);
    carver.Pass();
    if (stitched != nullptr) *stitched = carver.engine.StitchedFiles();
    return test::RecoverAll(carver.engine, dir_.path());
  }
  test::ScratchScanStore appData_;
  test::TempDir dir_;
};

// Transport streams: cut inside a packet over random data, over another stream of the same kind (whose
// counters start afresh), over zeros for 192-byte packets. With the rest missing, and cut inside the last
// packet (nothing after the cut shows where the rest went), it ends where its packets do.
TEST_F(SplitStreamsTest, TransportStreamsAreJoinedWhereEveryStreamsCounterCarriesOn) {
  const auto ts = Media("long.ts");       // 395 packets, 146 sectors
  const auto other = Media("movie.ts");   // its own counters, from 0
  const auto m2ts = Media("movie.m2ts");  // 64 packets of 192 bytes, 24 sectors
  test::Layout layout;
  layout.Random(3);
  const uint64_t overRandom = layout.Place(Head(ts, 40), false);
  layout.Random(50);
  layout.Place(Rest(ts, 40), false);
  layout.Random(2);
  const uint64_t overStream = layout.Place(Head(ts, 97), false);
  layout.Random(1);
  const uint64_t between = layout.Place(other, false);
  layout.Random(7);
  layout.Place(Rest(ts, 97), false);
  layout.Random(2);
  const uint64_t timestamped = layout.Place(Head(m2ts, 13), false);
  layout.Zeros(30);
  layout.Place(Rest(m2ts, 13), false);
  layout.Random(2);
  const uint64_t lastPacket = layout.Place(Head(ts, 145), false);
  layout.Random(9);
  layout.Place(Rest(ts, 145), false);
  layout.Random(2);
  // Streams of 192-byte packets end where a unit of 32 packets does: a whole one is not joined to the next.
  const uint64_t wholeUnits = layout.Place(m2ts, false);
  layout.Random(3);
  const uint64_t nextUnits = layout.Place(m2ts, false);
  layout.Random(2);
  const uint64_t cutOff = layout.Place(Head(ts, 60), false);
  layout.Random(40);
  uint64_t stitched = 0;
  const auto saved = CarveAndRecover(layout, &stitched);

  for (const uint64_t at : {overRandom, overStream}) {
    SCOPED_TRACE(at);
    EXPECT_TRUE(saved.at(at).intact);
    EXPECT_EQ(saved.at(at).bytes, ts);
  }
  EXPECT_TRUE(saved.at(between).intact);
  EXPECT_EQ(saved.at(between).bytes, other);
  EXPECT_TRUE(saved.at(timestamped).intact);
  EXPECT_EQ(saved.at(timestamped).bytes, m2ts);
  EXPECT_EQ(stitched, 3u);
  for (const uint64_t at : {wholeUnits, nextUnits}) EXPECT_EQ(saved.at(at).bytes, m2ts) << at;
  // Without its rest a stream ends where its packets do, as one whose last sector holds old data.
  const auto& cut = saved.at(cutOff).bytes;
  ASSERT_EQ(cut.size(), (60 * kCarveSector / 188 + 1) * 188);
  EXPECT_TRUE(std::equal(cut.begin(), cut.begin() + 60 * kCarveSector, ts.begin()));
  EXPECT_EQ(saved.at(lastPacket).bytes.size(), ts.size() + 188) << "a random sync byte after its end";
  EXPECT_EQ(saved.size(), 8u) << "no second piece is carved on its own";
}

// A standard MIDI file of `tracks` tracks of notes, each about `notes` * 8 bytes.
std::vector<uint8_t> MidiFile(uint16_t tracks, uint32_t notes) {
  std::mt19937 rng(tracks * 31 + notes);
  auto be32 = [](std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
  };
  std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, static_cast<uint8_t>(tracks),
                               1,   0xE0};
  for (uint16_t t = 0; t < tracks; ++t) {
    std::vector<uint8_t> events = {0, 0xFF, 0x03, 5, 't', 'r', 'a', 'c', 'k'};
    for (uint32_t n = 0; n < notes; ++n) {
      const auto note = static_cast<uint8_t>(40 + rng() % 50);
      const auto wait = static_cast<uint32_t>(rng() % 300);  // one or two bytes of delta time
      if (wait >= 128) events.push_back(static_cast<uint8_t>(0x80 | (wait >> 7)));
      events.insert(events.end(), {static_cast<uint8_t>(wait & 0x7F), static_cast<uint8_t>(0x90 | t), note,
                                   static_cast<uint8_t>(40 + rng() % 80), 0x30, note, 0});
    }
    events.insert(events.end(), {0, 0xFF, 0x2F, 0});
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    be32(file, static_cast<uint32_t>(events.size()));
    file.insert(file.end(), events.begin(), events.end());
  }
  return file;
}

// MIDI files: a track's events parse to its end-of-track event only with its own bytes, so a cut inside a
// track is joined where the rest parses and the chunks after it follow, also inside the last track. Zeros
// parse as events too: cut over zeros, the file comes back whole in length, listed damaged. A file whose
// rest is missing is listed damaged.
TEST_F(SplitStreamsTest, MidiFilesAreJoinedWhereTheCutTracksEventsParseToTheirEnd) {
  const auto midi = MidiFile(3, 400);  // tracks of about 3 KiB: the second runs from sector 6 to 12
  ASSERT_GT(midi.size(), 17 * kCarveSector);
  test::Layout layout;
  layout.Random(2);
  const uint64_t middle = layout.Place(Head(midi, 9), false);
  layout.Random(40);
  layout.Place(Rest(midi, 9), false);
  layout.Random(2);
  const uint64_t last = layout.Place(Head(midi, 16), false);
  layout.Random(25);
  layout.Place(Rest(midi, 16), false);
  layout.Random(2);
  const uint64_t overZeros = layout.Place(Head(midi, 9), false);
  layout.Zeros(25);
  layout.Place(Rest(midi, 9), false);
  layout.Random(2);
  const uint64_t cutOff = layout.Place(Head(midi, 9), false);
  layout.Random(30);
  uint64_t stitched = 0;
  const auto saved = CarveAndRecover(layout, &stitched);
  for (const uint64_t at : {middle, last}) {
    SCOPED_TRACE(at);
    EXPECT_TRUE(saved.at(at).intact);
    EXPECT_EQ(saved.at(at).bytes, midi);
  }
  EXPECT_FALSE(saved.at(overZeros).intact);
  EXPECT_EQ(saved.at(overZeros).bytes.size(), midi.size());
  EXPECT_EQ(stitched, 3u);
  EXPECT_FALSE(saved.at(cutOff).intact);
}

// FLV and AVI: each tag or chunk says where the next starts, FLV tags are followed by their size and an AVI
// index names every chunk's place, so a cut is joined where they go on. Where the chunk the cut runs through
// spans more than one sector boundary nothing tells which split is right: the file comes back whole in
// length, listed damaged. A whole AVI whose index holds lets the pass move past it.
TEST_F(SplitStreamsTest, FlvAndAviAreJoinedWhereTheirTagsAndChunksGoOn) {
  const auto flv = Media("movie.flv");  // 7 sectors: the first frame's tag spans sectors 0 to 3
  const auto avi = Media("movie.avi");  // 18 sectors, an index at the end
  test::Layout layout;
  layout.Random(2);
  const uint64_t flvAt = layout.Place(Head(flv, 5), false);
  layout.Random(20);
  layout.Place(Rest(flv, 5), false);
  layout.Random(2);
  const uint64_t inLongTag = layout.Place(Head(flv, 3), false);
  layout.Random(20);
  layout.Place(Rest(flv, 3), false);
  layout.Random(2);
  const uint64_t aviAt = layout.Place(Head(avi, 9), false);
  layout.Random(33);
  layout.Place(Rest(avi, 9), false);
  layout.Random(2);
  const uint64_t whole = layout.Place(avi, false);
  layout.Random(2);
  const uint64_t cutOff = layout.Place(Head(avi, 12), false);
  layout.Random(40);
  test::SectorImage image(layout.bytes());
  test::Carver carver(image);
  const auto carved = carver.Pass();
  const auto saved = test::RecoverAll(carver.engine, dir_.path());
  EXPECT_TRUE(saved.at(flvAt).intact);
  EXPECT_EQ(saved.at(flvAt).bytes, flv);
  EXPECT_FALSE(saved.at(inLongTag).intact);
  EXPECT_EQ(saved.at(inLongTag).bytes.size(), flv.size());
  EXPECT_TRUE(saved.at(aviAt).intact);
  EXPECT_EQ(saved.at(aviAt).bytes, avi);
  EXPECT_TRUE(saved.at(whole).intact);
  EXPECT_EQ(saved.at(whole).bytes, avi);
  EXPECT_EQ(carved.at(whole).consumed, (avi.size() + kCarveSector - 1) / kCarveSector);
  EXPECT_EQ(carver.engine.StitchedFiles(), 3u);
  EXPECT_FALSE(saved.at(cutOff).intact);
}

// ASF: every packet's payload headers chain to its padding of zeros, so a split whose other data lands on a
// payload header or the padding is ruled out; where one split is left the join is exact.
TEST_F(SplitStreamsTest, AsfIsJoinedWhereItsPacketsGoOn) {
  const auto wmv = Media("movie.wmv");  // two packets of 3200 bytes from 639, an index after them
  test::Layout layout;
  layout.Random(2);
  const uint64_t inSecond = layout.Place(Head(wmv, 12), false);
  layout.Random(26);
  layout.Place(Rest(wmv, 12), false);
  layout.Random(2);
  const uint64_t whole = layout.Place(wmv, false);
  layout.Random(2);
  const uint64_t cutOff = layout.Place(Head(wmv, 5), false);
  layout.Random(40);
  test::SectorImage image(layout.bytes());
  test::Carver carver(image);
  const auto carved = carver.Pass();
  const auto saved = test::RecoverAll(carver.engine, dir_.path());
  EXPECT_TRUE(saved.at(inSecond).intact);
  EXPECT_EQ(saved.at(inSecond).bytes, wmv);
  EXPECT_TRUE(saved.at(whole).intact);
  EXPECT_EQ(carved.at(whole).consumed, (wmv.size() + kCarveSector - 1) / kCarveSector);
  EXPECT_EQ(carver.engine.StitchedFiles(), 1u);
  EXPECT_FALSE(saved.at(cutOff).intact);
}

// A ZIP archive of two stored members whose second starts at sector 2.
std::vector<uint8_t> TwoMemberZip() {
  test::Bytes zip;
  std::vector<std::pair<std::string, std::string>> members = {{"a.txt", std::string(989, 'a')},
                                                              {"b.txt", std::string(700, 'b')}};
  std::vector<uint32_t> offsets;
  auto crc = [](const std::string& d) {
    return crc32(0, reinterpret_cast<const Bytef*>(d.data()), static_cast<uInt>(d.size()));
  };
  for (const auto& [name, data] : members) {
    offsets.push_back(static_cast<uint32_t>(zip.size()));
    zip.Raw("PK\x03\x04").Le(20, 2).Le(0, 2).Le(0, 2).Le(0, 4).Le(crc(data), 4);
    zip.Le(data.size(), 4).Le(data.size(), 4).Le(name.size(), 2).Le(0, 2).Raw(name).Raw(data);
  }
  const uint64_t directory = zip.size();
  for (size_t i = 0; i < members.size(); ++i) {
    const auto& [name, data] = members[i];
    zip.Raw("PK\x01\x02").Le(20, 2).Le(20, 2).Le(0, 2).Le(0, 2).Le(0, 4).Le(crc(data), 4);
    zip.Le(data.size(), 4).Le(data.size(), 4).Le(name.size(), 2).Le(0, 2).Le(0, 2).Le(0, 2).Le(0, 2);
    zip.Le(0, 4).Le(offsets[i], 4).Raw(name);
  }
  const uint64_t directoryBytes = zip.size() - directory;
  zip.Raw("PK\x05\x06").Le(0, 2).Le(0, 2).Le(2, 2).Le(2, 2).Le(directoryBytes, 4).Le(directory, 4).Le(0, 2);
  return zip.data();
}

// A file cut just before one of its units whose second piece starts like a file of its own (a ZIP member's
// header is what a ZIP starts with): joined, and the second piece is not carved again as a file.
TEST_F(SplitStreamsTest, ASecondPieceStartsNoFileOfItsOwn) {
  const auto zip = TwoMemberZip();
  ASSERT_EQ(zip[1024], 'P');
  test::Layout layout;
  layout.Random(2);
  const uint64_t at = layout.Place(Head(zip, 2), false);
  layout.Random(15);
  layout.Place(Rest(zip, 2), false);
  layout.Random(3);
  uint64_t stitched = 0;
  const auto saved = CarveAndRecover(layout, &stitched);
  EXPECT_EQ(stitched, 1u);
  EXPECT_EQ(saved.at(at).bytes, zip);
  EXPECT_EQ(saved.size(), 1u);
}

// A WAV file of a chord of sines: `bytesPerSample` 2 or 3, each channel its own tones.
std::vector<uint8_t> ChordWav(uint32_t bytesPerSample, uint16_t channels, uint32_t rate, uint32_t frames) {
  std::vector<uint8_t> data;
  const double full = bytesPerSample == 2 ? 32767.0 : 8388607.0;
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint16_t c = 0; c < channels; ++c) {
      const double t = static_cast<double>(f) / rate;
      const double v = 0.3 * std::sin(2 * std::numbers::pi * (220 + 110 * c) * t) +
                       0.1 * std::sin(2 * std::numbers::pi * 1375 * t);
      const auto sample = static_cast<int32_t>(v * full);
      for (uint32_t i = 0; i < bytesPerSample; ++i) data.push_back(static_cast<uint8_t>(sample >> (8 * i)));
    }
  }
  test::Bytes wav;
  const uint32_t block = channels * bytesPerSample;
  wav.Raw("RIFF").Le(36 + data.size(), 4).Raw("WAVEfmt ").Le(16, 4);
  wav.Le(1, 2).Le(channels, 2).Le(rate, 4).Le(rate * block, 4).Le(block, 2).Le(8 * bytesPerSample, 2);
  wav.Raw("data").Le(data.size(), 4).Append(data);
  return wav.data();
}

// WAV files of PCM: cut over random data, over zeros and inside frames of three bytes a sample, each is
// joined where a sector carries the signal on and the joined sound runs to its end without a jump. Whole
// files are followed to their end and the pass moves past them; a file whose rest is missing is listed
// damaged, at the length its header states.
TEST_F(SplitStreamsTest, WavFilesAreJoinedWhereTheSignalCarriesOnWithoutAJump) {
  const auto tone = Media("tone.wav");            // 16-bit mono, 43 sectors
  const auto wide = ChordWav(3, 2, 48000, 6000);  // 24-bit stereo: frames run across sectors
  test::Layout layout;
  layout.Random(2);
  const uint64_t overRandom = layout.Place(Head(tone, 20), false);
  layout.Random(30);
  layout.Place(Rest(tone, 20), false);
  layout.Random(2);
  const uint64_t overZeros = layout.Place(Head(wide, 31), false);
  layout.Zeros(17);
  layout.Place(Rest(wide, 31), false);
  layout.Random(2);
  const uint64_t whole = layout.Place(tone, false);
  layout.Random(2);
  const uint64_t cutOff = layout.Place(Head(wide, 40), false);
  layout.Random(80);
  test::SectorImage image(layout.bytes());
  test::Carver carver(image);
  const auto carved = carver.Pass();
  const auto saved = test::RecoverAll(carver.engine, dir_.path());
  EXPECT_TRUE(saved.at(overRandom).intact);
  EXPECT_EQ(saved.at(overRandom).bytes, tone);
  EXPECT_TRUE(saved.at(overZeros).intact);
  EXPECT_EQ(saved.at(overZeros).bytes, wide);
  EXPECT_TRUE(saved.at(whole).intact);
  EXPECT_EQ(saved.at(whole).bytes, tone);
  EXPECT_EQ(carved.at(whole).consumed, (tone.size() + kCarveSector - 1) / kCarveSector);
  EXPECT_EQ(carver.engine.StitchedFiles(), 2u);
  EXPECT_FALSE(saved.at(cutOff).intact);
  EXPECT_EQ(saved.at(cutOff).bytes.size(), wide.size());
}

// MPEG program streams (2048-byte packs of video and sound) cut at every sector after the first, over random
// data. A cut between packs, or in a packet whose own structure shows every sector (slices in row order with
// a start code in each, sound frames one after another), is joined whole; a cut through one that shows less
// is joined damaged, at the split whose packet shows the most; nothing that is not the file is listed intact.
// The clocks and slices running on past the seam keep a later pack of the same stream from passing for the
// second piece.
TEST_F(SplitStreamsTest, ProgramStreamsAreJoinedWhereTheirPacketsClocksAndSlicesGoOn) {
  const auto vob = Media("long.vob");  // 27 packs, 108 sectors
  const uint64_t sectors = vob.size() / kCarveSector;
  size_t exact = 0, exactIntact = 0;
  for (uint64_t k = 1; k < sectors; ++k) {
    SCOPED_TRACE(k);
    test::Layout layout;
    layout.Random(3);
    const uint64_t at = layout.Place(Head(vob, k), false);
    layout.Random(7);
    layout.Place(Rest(vob, k), false);
    layout.Random(3);
    const auto saved = CarveAndRecover(layout);
    const auto& s = saved.at(at);
    const bool same = s.bytes == vob;
    EXPECT_TRUE(same || !s.intact) << "listed intact, not the file";
    exact += same ? 1 : 0;
    exactIntact += same && s.intact ? 1 : 0;
  }
  EXPECT_GE(exactIntact, 34u);
  EXPECT_GE(exact, 66u);
  // Whole, it stays whole and takes nothing after it; cut with no rest anywhere (in a packet that cannot
  // show it), it is its first piece.
  test::Layout layout;
  layout.Random(2);
  const uint64_t whole = layout.Place(vob, false);
  layout.Random(2);
  const uint64_t cut = layout.Place(Head(vob, 50), false);
  layout.Random(20);
  const auto saved = CarveAndRecover(layout);
  EXPECT_TRUE(saved.at(whole).intact);
  EXPECT_EQ(saved.at(whole).bytes, vob);
  EXPECT_TRUE(
      std::equal(saved.at(cut).bytes.begin(), saved.at(cut).bytes.begin() + 50 * kCarveSector, vob.begin()));
}

// Compound documents: a cut moves the FAT, directory or mini FAT sectors after it, which no other data
// imitates; they are found further on and the structure must hold with everything from the failing sector
// on read from there. Where the cut lies in a Word document's text, the text placed on both sides of it tells
// the split, and in a workbook its records; elsewhere the document comes back listed damaged, split where the
// sectors that look like noise fall outside it.
TEST_F(SplitStreamsTest, CompoundDocumentsAreJoinedWhereTheirStructureAndTextGoOn) {
  const auto doc = Media("letter.doc");  // the FAT in sector 0, text from sector 5, the directory last
  const auto xls = Media("table.xls");
  const uint64_t sectors = doc.size() / kCarveSector;
  size_t exactIntact = 0;
  for (uint64_t k = 1; k < sectors; ++k) {
    SCOPED_TRACE(k);
    test::Layout layout;
    layout.Random(3);
    const uint64_t at = layout.Place(Head(doc, k), false);
    layout.Random(40);
    layout.Place(Rest(doc, k), false);
    layout.Random(3);
    const auto saved = CarveAndRecover(layout);
    const auto& s = saved.at(at);
    // Where the streams cannot place the split, the sectors that look like noise do; listed damaged then.
    // The directory past the cut names the application even where the cut hid it from the first look.
    EXPECT_EQ(s.bytes, doc);
    EXPECT_EQ(s.name, std::to_string(at) + ".doc");
    exactIntact += s.intact ? 1u : 0u;
  }
  EXPECT_GE(exactIntact, 70u);
  // Text of several scripts, accents and emoji is text: a cut inside it is placed as well.
  const auto world = Media("world.doc");
  size_t worldIntact = 0;
  for (uint64_t k = 1; k < world.size() / kCarveSector; ++k) {
    SCOPED_TRACE(k);
    test::Layout layout;
    layout.Random(3);
    const uint64_t at = layout.Place(Head(world, k), false);
    layout.Random(40);
    layout.Place(Rest(world, k), false);
    layout.Random(3);
    const auto saved = CarveAndRecover(layout);
    EXPECT_EQ(saved.at(at).bytes, world);
    worldIntact += saved.at(at).intact ? 1u : 0u;
  }
  EXPECT_GE(worldIntact, 28u);
  // Over text (a copy of sectors from before the cut) the split cannot be told; over zeros it can. A workbook
  // cut inside its records is joined where they walk on. Whole, each stays whole; with its rest nowhere, it
  // is damaged.
  test::Layout layout;
  layout.Random(2);
  const uint64_t overText = layout.Place(Head(doc, 30), false);
  layout.Place(Rest(doc, 20), false);
  layout.Random(2);
  const uint64_t overZeros = layout.Place(Head(doc, 30), false);
  layout.Zeros(100);
  layout.Place(Rest(doc, 30), false);
  layout.Random(2);
  const uint64_t sheet = layout.Place(Head(xls, 10), false);
  layout.Random(33);
  layout.Place(Rest(xls, 10), false);
  layout.Random(2);
  const uint64_t whole = layout.Place(doc, false);
  layout.Random(2);
  const uint64_t wholeSheet = layout.Place(xls, false);
  layout.Random(2);
  const uint64_t cutOff = layout.Place(Head(doc, 40), false);
  layout.Random(60);
  const auto saved = CarveAndRecover(layout);
  EXPECT_FALSE(saved.at(overText).intact);
  EXPECT_EQ(saved.at(overText).bytes.size(), doc.size());
  EXPECT_TRUE(saved.at(overZeros).intact);
  EXPECT_EQ(saved.at(overZeros).bytes, doc);
  EXPECT_TRUE(saved.at(sheet).intact);
  EXPECT_EQ(saved.at(sheet).bytes, xls);
  EXPECT_TRUE(saved.at(whole).intact);
  EXPECT_EQ(saved.at(whole).bytes, doc);
  EXPECT_TRUE(saved.at(wholeSheet).intact);
  EXPECT_EQ(saved.at(wholeSheet).bytes, xls);
  EXPECT_FALSE(saved.at(cutOff).intact);
}

}  // namespace
}  // namespace snapsave
