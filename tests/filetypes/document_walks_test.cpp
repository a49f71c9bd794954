// The document, archive and framed-audio walkers on real files and crafted ones: where each ends whatever
// follows, where damage stops it, and when it declines.
#include "filetypes/format_walks.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/walk_test_support.h"

namespace snapsave {
namespace {

using test::Bytes;
using test::Of;
using test::Walked;

constexpr uint64_t kLimit = uint64_t{2} << 30;
constexpr size_t kImage = 1 << 20;

template <typename F>
uint64_t Walk(const Bytes& b, F f) {
  return Walked(b, kImage, f);
}

uint32_t Crc(const std::vector<uint8_t>& v, size_t from, size_t to) {
  return static_cast<uint32_t>(crc32(0, v.data() + from, static_cast<uInt>(to - from)));
}

// ---- PDF

uint64_t Pdf(const Bytes& b) {
  const SectorStop stop = [](CarvingContext&, uint64_t, ByteSpan sector) {
    return BytesEqual(sector, 0, {0xFF, 0xD8, 0xFF});  // a JPEG starts there
  };
  return Walk(b, [&](FileBytes& f) { return PdfLength(f, kLimit, stop); });
}

// A PDF ends at the "%%EOF" its cross-reference closes, also with an incremental update after it; what
// follows that is not the file's, even when it holds another "%%EOF".
TEST(PdfWalk, TheLastTrailerThatClosesACrossReference) {
  for (const char* name : {"letter.pdf", "updated.pdf"}) {
    const std::vector<uint8_t> pdf = test::Media(name);
    EXPECT_EQ(Pdf(Of(pdf).Raw("garbage %%EOF\n")), pdf.size()) << name;
  }
  // The update of updated.pdf: its first part ends at its own "%%EOF" when the update is gone.
  const std::vector<uint8_t> letter = test::Media("letter.pdf");
  const std::vector<uint8_t> updated = test::Media("updated.pdf");
  EXPECT_EQ(Pdf(Of(updated, letter.size()).Raw("xyz 1 0 obj")), letter.size());

  // A trailer whose startxref points at no cross-reference: the last "%%EOF" before the next file.
  Bytes broken;
  broken.Raw("%PDF-1.4\n1 0 obj\n<< >>\nendobj\ntrailer\n<< >>\nstartxref\n5\n%%EOF\n");
  const size_t firstEof = broken.size();
  broken.Fill(700, 0x20).Raw("more %%EOF");
  const size_t secondEof = broken.size();
  broken.Fill(1024 - broken.size() % 512, 0x20).Raw("\xFF\xD8\xFF").Fill(600).Raw("%%EOF");
  EXPECT_EQ(Pdf(broken), secondEof);
  EXPECT_GT(secondEof, firstEof);
  Bytes none;
  none.Raw("%PDF-1.4\n").Fill(3000, 0x20);
  EXPECT_EQ(Pdf(none), 0u);

  // A crafted run of trailers, each sending the walk to read elsewhere: it examines a bounded number of them.
  Bytes many;
  many.Raw("%PDF-1.4\n");
  const std::string trailer = "startxref\n700000\n%%EOF\n";
  while (many.size() + trailer.size() < kImage) many.Raw(trailer);
  const uint64_t n = Pdf(many);
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, many.size() / 2);
}

// ---- Compressed streams

uint64_t Gzip(const Bytes& b, uint64_t* validEnd = nullptr) {
  return Walk(b, [&](FileBytes& f) { return GzipLength(f, kLimit, validEnd); });
}
[[maybe_unused]] uint64_t Bzip2(const Bytes& b) {
  return Walk(b, [&](FileBytes& f) { return Bzip2Length(f, kLimit); });
}
[[maybe_unused]] uint64_t Xz(const Bytes& b) {
  return Walk(b, [&](FileBytes& f) { return XzLength(f, kLimit); });
}

// Each stream decoded to its end, its checks verified: two in a row are one file, a damaged one is none, and
// a damaged second member leaves the first.
TEST(CompressedStreamWalks, GzipBzip2AndXzToTheirEnds) {
  struct Case {
    const char* name;
    uint64_t (*walk)(const Bytes&);
  };
  const Case kCases[] = {
      {"letter.txt.gz", [](const Bytes& b) { return Gzip(b); }},
#ifdef SNAPSAVE_HAVE_BZIP2
      {"letter.txt.bz2", Bzip2},
#endif
#ifdef SNAPSAVE_HAVE_LZMA
      {"letter.txt.xz", Xz},
#endif
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> file = test::Media(c.name);
    EXPECT_EQ(c.walk(Of(file).Fill(2000, 0x33)), file.size());
    EXPECT_EQ(c.walk(Of(file).Append(file).Fill(100, 0x33)), 2 * file.size());
    std::vector<uint8_t> damaged = file;
    damaged[damaged.size() - 9] ^= 0x01;  // in the check or the last block
    EXPECT_EQ(c.walk(Of(damaged).Fill(2000, 0x33)), 0u);
    EXPECT_EQ(c.walk(Of(file).Append(damaged)), file.size());
  }
  uint64_t validEnd = 7;
  EXPECT_EQ(Gzip(Of(test::Media("letter.txt.gz"), 300).Fill(3000, 0x44), &validEnd), 0u);
  EXPECT_EQ(validEnd, 0u);
}

// ---- 7z, RAR

uint64_t SevenZip(const Bytes& b) {
  return Walk(b, [](FileBytes& f) { return SevenZipLength(f, kLimit); });
}
uint64_t Rar(const Bytes& b) {
  return Walk(b, [](FileBytes& f) { return RarLength(f, kLimit); });
}

TEST(ArchiveWalks, SevenZipStartHeader) {
  const std::vector<uint8_t> archive = test::Media("docs.7z");
  EXPECT_EQ(SevenZip(Of(archive).Raw("7z\xBC\xAF\x27\x1C")), archive.size());
  std::vector<uint8_t> spoiled = archive;
  spoiled[20] ^= 0x01;  // the next header's size, which the start header's CRC covers
  EXPECT_EQ(SevenZip(Of(spoiled)), 0u);
}

// A RAR 4 block: CRC-16 (the low half of a CRC-32) of the header from its type on.
Bytes& Rar4Block(Bytes& b, uint8_t type, uint16_t flags, std::vector<uint8_t> rest, size_t dataBytes = 0) {
  std::vector<uint8_t> head = {type, static_cast<uint8_t>(flags), static_cast<uint8_t>(flags >> 8)};
  const size_t size = 7 + rest.size();
  head.push_back(static_cast<uint8_t>(size));
  head.push_back(static_cast<uint8_t>(size >> 8));
  head.insert(head.end(), rest.begin(), rest.end());
  b.Le(Crc(head, 0, head.size()) & 0xFFFF, 2).Append(head);
  return b.Fill(dataBytes, 0x6B);
}

// A RAR 5 block: CRC-32 of the size field and the header, whose fields are all one-byte numbers here.
Bytes& Rar5Block(Bytes& b, std::vector<uint8_t> fields, size_t dataBytes = 0) {
  std::vector<uint8_t> head = {static_cast<uint8_t>(fields.size())};
  head.insert(head.end(), fields.begin(), fields.end());
  b.Le(Crc(head, 0, head.size()), 4).Append(head);
  return b.Fill(dataBytes, 0x6B);
}

TEST(ArchiveWalks, RarBlocksToTheEndOfArchive) {
  std::vector<uint8_t> file(25, 0);  // packed size, unpacked size, host, CRC, time, versions, name length...
  file[0] = 100;                     // 100 bytes of packed data
  file[19] = 1;                      // a one-byte name
  file.push_back('a');
  Bytes rar4;
  rar4.Raw(std::string("Rar!\x1A\x07\x00", 7));
  Rar4Block(rar4, 0x73, 0, std::vector<uint8_t>(6, 0));
  const size_t mainEnd = rar4.size();
  Rar4Block(rar4, 0x74, 0x8000, file, 100);
  Rar4Block(rar4, 0x7B, 0, {});
  EXPECT_EQ(Rar(Of(rar4.data()).Raw("\x12\x34\x74\x00\x80\x20\x00")), rar4.size());
  std::vector<uint8_t> spoiled = rar4.data();
  spoiled[mainEnd + 10] ^= 0x01;  // the file header's CRC fails: the archive ends after its main header
  EXPECT_EQ(Rar(Of(spoiled)), mainEnd);
  // Without an end block, after the last valid block.
  EXPECT_EQ(Rar(Of(rar4.data(), rar4.size() - 7).Fill(40, 0)), rar4.size() - 7);

  Bytes rar5;
  rar5.Raw(std::string("Rar!\x1A\x07\x01\x00", 8));
  Rar5Block(rar5, {1, 0, 0});                // main: type, flags, archive flags
  Rar5Block(rar5, {2, 2, 90, 0, 0, 0}, 90);  // file with 90 bytes of data
  Rar5Block(rar5, {5, 0, 0});                // end of archive
  EXPECT_EQ(Rar(Of(rar5.data()).Fill(100, 0x01)), rar5.size());
  Bytes notFirst;
  notFirst.Raw(std::string("Rar!\x1A\x07\x01\x00", 8));
  Rar5Block(notFirst, {2, 0, 0});  // a file block first: no archive
  EXPECT_EQ(Rar(notFirst), 0u);
}

// ---- Databases and mail

TEST(DatabaseWalks, SqlitePagesAndPstEndOfFile) {
  const std::vector<uint8_t> db = test::Media("notes.db");
  EXPECT_EQ(Walk(Of(db).Fill(1000), [](FileBytes& f) { return SqliteLength(f, kLimit); }), db.size());
  std::vector<uint8_t> stale = db;
  stale[95] ^= 0x01;  // the page count was written by an older version: not to be trusted
  EXPECT_EQ(Walk(Of(stale), [](FileBytes& f) { return SqliteLength(f, kLimit); }), 0u);

  auto pst = [](uint16_t version, size_t at, uint64_t end, int bytes) {
    Bytes b;
    b.Raw("!BDN").Fill(4, 0).Raw("SM").Le(version, 2).Fill(at - 12, 0).Le(end, bytes).Fill(64, 0);
    return Walk(b, [](FileBytes& f) { return PstLength(f, uint64_t{64} << 30); });
  };
  EXPECT_EQ(pst(14, 0xA8, 271360, 4), 271360u);         // ANSI
  EXPECT_EQ(pst(23, 0xB8, 5ull << 32, 8), 5ull << 32);  // Unicode, past 4 GiB
  EXPECT_EQ(pst(99, 0xB8, 271360, 8), 0u);              // unknown version
  EXPECT_EQ(pst(23, 0xB8, 512, 8), 0u);                 // smaller than its own header
}

// ---- Framed audio and raw photos

TEST(FramedWalks, AdtsAmrRafAndAiff) {
  const std::vector<uint8_t> aac = test::Media("tone.aac");
  EXPECT_EQ(
      Walk(Of(aac).Raw("\xFF\xF1\x50\x80").Fill(900), [](FileBytes& f) { return AdtsLength(f, kLimit); }),
      aac.size());

  Bytes amr;
  amr.Raw("#!AMR\n");
  for (int i = 0; i < 20; ++i) amr.Raw("\x3C").Fill(31, 0x21);  // 12.2 kbit/s frames
  amr.Raw("\x44").Fill(5, 0x21).Raw("\x7C");                    // comfort noise, no data
  const size_t amrEnd = amr.size();
  amr.Raw("\x04").Fill(12, 0x21);  // a good frame of another mode: slack, not this recording
  EXPECT_EQ(Walk(amr, [](FileBytes& f) { return AmrLength(f, kLimit); }), amrEnd);

  Bytes raf;
  raf.Raw("FUJIFILMCCD-RAW 0201FF383501").Fill(84 - 28, 0x20);
  raf.Be(148, 4).Be(5000, 4).Be(5148, 4).Be(1000, 4).Be(6148, 4).Be(90000, 4);
  EXPECT_EQ(Walk(raf, [](FileBytes& f) { return RafLength(f, kLimit); }), 96148u);

  Bytes aiff;
  aiff.Raw("FORM").Be(1001, 4).Raw("AIFF");
  EXPECT_EQ(Walk(aiff, [](FileBytes& f) { return IffLength(f, kLimit); }), 1010u);  // padded to even
}

}  // namespace
}  // namespace snapsave
