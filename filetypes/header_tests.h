// Header tests of the carving type table: each one says whether a sector begins a file of its kind and
// returns the type code it recognises (a test may choose among several codes) or kNoType. Most look at the
// sector alone; the few that read on or know the carve so far do it through the carver's context.
#pragma once

#include <array>
#include <cstdint>

#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "os/byte_reader.h"

namespace snapsave {

struct HeaderTest {
  uint32_t (*match)(const CarvingContext& ctx, ByteSpan sector);
  // Values byte 0 must hold for `match` to return anything but kNoType; leadCount 0 means any value may. Lets
  // DetectType skip tests that cannot match without changing which test wins.
  uint8_t leadCount = 0;
  std::array<uint8_t, 2> lead{};
};

// Video and audio.
extern const HeaderTest kMpegHeader;             // program stream or elementary video stream
extern const HeaderTest kMp4Header;              // ftyp iso*/mp42
extern const HeaderTest kRealMediaHeader;        // .RMF
extern const HeaderTest kAsfHeader;              // ASF header object
extern const HeaderTest kSwfHeader;              // FWS / CWS
extern const HeaderTest kAviHeader;              // RIFF AVI
extern const HeaderTest kFlvHeader;              // FLV
extern const HeaderTest k3gpHeader;              // ftyp 3gp
extern const HeaderTest kMatroskaHeader;         // EBML
extern const HeaderTest kTransportStreamHeader;  // 188-byte packets; reads through the carving context
extern const HeaderTest kTimestampedTsHeader;    // 192-byte packets with a PAT in the first one
extern const HeaderTest kMxfHeader;              // header partition pack
extern const HeaderTest kMp3Header;              // ID3v2 tag
extern const HeaderTest kMidiHeader;             // MThd + MTrk
extern const HeaderTest kApeHeader;              // MAC
extern const HeaderTest kWavHeader;              // RIFF WAVE
extern const HeaderTest kMovHeader;              // moov first, or ftyp qt
extern const HeaderTest kMp2Header;              // one fixed MPEG audio frame header
extern const HeaderTest kMmfHeader;              // MMMD
extern const HeaderTest kFlaHeader;              // first half of the compound-document signature
// Pictures.
extern const HeaderTest kGifHeader;
extern const HeaderTest kBmpHeader;
extern const HeaderTest kJpegHeader;  // JFIF or Exif APP segment first
extern const HeaderTest kPngHeader;
extern const HeaderTest kPsdHeader;
extern const HeaderTest kTiffHeader;
extern const HeaderTest kOggHeader;  // ogg, or opus by its first packet
extern const HeaderTest kWebpHeader;
extern const HeaderTest kAiffHeader;
extern const HeaderTest kAdtsHeader;  // four AAC frames; reads through the carving context
extern const HeaderTest kAmrHeader;
extern const HeaderTest kRafHeader;
extern const HeaderTest kFlacHeader;
extern const HeaderTest kIcoHeader;  // directory must add up
// Documents, archives and the rest.
extern const HeaderTest kCompoundDocumentHeader;  // doc/xls/ppt/ole; reads through the carving context
extern const HeaderTest kOfficeOpenXmlHeader;     // docx/xlsx/pptx by member names; reads through the context
extern const HeaderTest kPdfHeader;
extern const HeaderTest kGzipHeader;
extern const HeaderTest kBzip2Header;
extern const HeaderTest kXzHeader;
extern const HeaderTest k7zHeader;
extern const HeaderTest kZipHeader;
extern const HeaderTest kRarHeader;
extern const HeaderTest kCabHeader;
extern const HeaderTest kExecutableHeader;  // exe/dll/sys by PE characteristics
extern const HeaderTest kGhostHeader;
extern const HeaderTest kSqliteHeader;
extern const HeaderTest kDbxHeader;
extern const HeaderTest kPstHeader;
extern const HeaderTest kTrueTypeHeader;

}  // namespace snapsave
