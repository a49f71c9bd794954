// ASF files (WMV, WMA) by their structure: the header object, the data object's packets of one fixed size
// and the index objects after it, to the file size the header states. Each packet's payload headers chain to
// its padding, which is zeros, and send times never go back: a packet a cut runs through fails that, and the
// file is joined where the packets go on.
#include <algorithm>
#include <array>
#include <optional>

#include "filetypes/joining.h"

namespace snapsave {

namespace {

constexpr std::array<uint8_t, 16> kHeaderObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr std::array<uint8_t, 16> kFileProperties = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                     0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr std::array<uint8_t, 16> kDataObject = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr uint64_t kDataHeaderBytes = 50;
constexpr uint32_t kMaxPacketBytes = 65536;
constexpr uint32_t kMaxHeaderObjects = 256;

bool Same(ByteSpan b, const std::array<uint8_t, 16>& guid) {
  return b.size() >= 16 && std::equal(guid.begin(), guid.end(), b.begin());
}

// What the header object says: the file's size, the packets' size and where they start.
struct AsfLayout {
  uint64_t fileBytes = 0;
  uint64_t packetBytes = 0;
  uint64_t packets = 0;
  uint64_t dataStart = 0;  // the first packet
};

std::optional<AsfLayout> ReadLayout(FileBytes& file) {
  std::array<uint8_t, 100> h{};
  if (!file.Read(0, std::span(h).first(30)) || !Same(h, kHeaderObject)) return std::nullopt;
  const uint64_t headerBytes = Le64(h, 16);
  const uint32_t objects = Le32(h, 24);
  if (headerBytes < 30 || headerBytes > kMaxJoinedUnitBytes) return std::nullopt;
  AsfLayout out;
  uint64_t at = 30;
  for (uint32_t i = 0; i < objects && i < kMaxHeaderObjects && at + 24 <= headerBytes; ++i) {
    if (!file.Read(at, std::span(h).first(24))) return std::nullopt;
    const uint64_t size = Le64(h, 16);
    if (size < 24 || size > headerBytes - at) return std::nullopt;
    if (Same(h, kFileProperties)) {
      if (size < 104 || !file.Read(at, h)) return std::nullopt;
      // A broadcast's size is not known; packets of several sizes are not walked.
      if ((Le32(h, 88) & 1) != 0 || Le32(h, 92) != Le32(h, 96)) return std::nullopt;
      out.fileBytes = Le64(h, 40);
      out.packetBytes = Le32(h, 92);
    }
    at += size;
  }
  if (out.packetBytes == 0 || out.packetBytes > kMaxPacketBytes || out.fileBytes <= headerBytes)
    return std::nullopt;
  if (!file.Read(headerBytes, std::span(h).first(kDataHeaderBytes)) || !Same(h, kDataObject))
    return std::nullopt;
  out.packets = Le64(h, 40);
  out.dataStart = headerBytes + kDataHeaderBytes;
  if (out.packets > (out.fileBytes - out.dataStart) / out.packetBytes) return std::nullopt;
  return out;
}

// A field of 0, 1, 2 or 4 bytes, by its two-bit length type.
bool Field(ByteStream& in, uint32_t type, uint64_t& value) {
  static constexpr std::array<int, 4> kBytes = {0, 1, 2, 4};
  value = 0;
  for (int i = 0; i < kBytes[type & 3]; ++i) {
    uint8_t b = 0;
    if (!in.Next(b)) return false;
    value |= uint64_t{b} << (8 * i);
  }
  return true;
}

// Whether the packet at `at` parses: its payloads' headers and lengths chain to its padding, which is zeros.
// `sendTime` gets its send time.
bool PacketParses(FileBytes& file, uint64_t at, uint64_t packetBytes, uint32_t& sendTime) {
  ByteStream in(file, at);
  uint8_t first = 0;
  uint8_t lengths = 0;
  uint8_t properties = 0;
  if (!in.Next(first)) return false;
  lengths = first;
  if ((first & 0x80) != 0) {
    if ((first & 0x70) != 0 || (first & 0x0F) > 2) return false;  // error correction data of its usual form
    in.Skip(first & 0x0F);
    if (!in.Next(lengths)) return false;
  }
  if ((lengths & 0x80) != 0 || !in.Next(properties) || ((properties >> 6) & 3) != 1) return false;
  uint64_t packetLength = 0;
  uint64_t sequence = 0;
  uint64_t padding = 0;
  uint64_t time = 0;
  uint64_t duration = 0;
  if (!Field(in, lengths >> 5, packetLength) || !Field(in, lengths >> 1, sequence) ||
      !Field(in, lengths >> 3, padding) || !Field(in, 3, time) || !Field(in, 2, duration))
    return false;
  if (packetLength != 0 && packetLength != packetBytes) return false;
  sendTime = static_cast<uint32_t>(time);
  const uint64_t end = at + packetBytes;
  if (padding > packetBytes) return false;
  const uint64_t dataEnd = end - padding;
  auto payloadHead = [&]() {
    uint8_t stream = 0;
    uint64_t object = 0;
    uint64_t offset = 0;
    uint64_t replicated = 0;
    if (!in.Next(stream) || (stream & 0x7F) == 0 || !Field(in, properties >> 4, object) ||
        !Field(in, properties >> 2, offset) || !Field(in, properties, replicated))
      return false;
    in.Skip(replicated);
    return in.at() <= dataEnd;
  };
  if ((lengths & 1) != 0) {
    uint8_t flags = 0;
    if (!in.Next(flags) || (flags & 0x3F) == 0) return false;
    for (uint32_t i = 0; i < (flags & 0x3Fu); ++i) {
      uint64_t length = 0;
      if (!payloadHead() || !Field(in, flags >> 6, length) || in.at() > dataEnd || length > dataEnd - in.at())
        return false;
      in.Skip(length);
    }
  } else if (!payloadHead()) {
    return false;
  } else {
    in.Skip(dataEnd - in.at());
  }
  // What the payloads leave before the end is padding, stated or not: zeros.
  if (in.at() > end) return false;
  for (uint64_t left = end - in.at(); left > 0; --left) {
    uint8_t b = 0;
    if (!in.Next(b) || b != 0) return false;
  }
  return in.at() == end;
}

// A packet's start (error correction data of the usual form), or the index objects that follow the last.
constexpr std::array<uint8_t, 16> kSimpleIndex = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                                                  0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
constexpr std::array<uint8_t, 16> kIndex = {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11,
                                            0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE};

bool AsfPacketStart(ByteSpan b) {
  return (b.size() >= 3 && b[0] == 0x82 && b[1] == 0 && b[2] == 0) || Same(b, kSimpleIndex) ||
         Same(b, kIndex);
}

uint64_t AsfPacketBytes(FileBytes& file, uint64_t /*at*/) {
  const std::optional<AsfLayout> layout = ReadLayout(file);
  return layout ? layout->packetBytes : 0;
}

bool AsfPacketChecks(FileBytes& file, uint64_t at) {
  const std::optional<AsfLayout> layout = ReadLayout(file);
  uint32_t time = 0;
  return layout && PacketParses(file, at, layout->packetBytes, time);
}

// The file's end where its packets parse with send times that never go back and the objects after them end
// at the stated size; 0 otherwise. `broken`, where given, gets the packet a cut lies in.
uint64_t AsfWalk(FileBytes& file, const AsfLayout& layout, uint64_t* broken) {
  uint32_t last = 0;
  for (uint64_t k = 0; k < layout.packets; ++k) {
    const uint64_t at = layout.dataStart + k * layout.packetBytes;
    uint32_t time = 0;
    if (!PacketParses(file, at, layout.packetBytes, time) || time < last) {
      if (broken != nullptr) {
        // A packet that does not even start like one: the cut lies in the one before, or just before it.
        std::array<uint8_t, 3> b{};
        *broken = file.Read(at, b) && AsfPacketStart(b) ? at : at - (k > 0 ? layout.packetBytes : 0);
      }
      return 0;
    }
    last = time;
  }
  // The index objects after the data, to the stated size.
  uint64_t at = layout.dataStart + layout.packets * layout.packetBytes;
  std::array<uint8_t, 24> h{};
  for (uint32_t i = 0; i < kMaxHeaderObjects && at < layout.fileBytes; ++i) {
    if (!file.Read(at, h) || Le64(h, 16) < 24 || Le64(h, 16) > layout.fileBytes - at) return 0;
    at += Le64(h, 16);
  }
  return at == layout.fileBytes ? at : 0;
}

uint64_t AsfWhole(FileBytes& file) {
  const std::optional<AsfLayout> layout = ReadLayout(file);
  return layout ? AsfWalk(file, *layout, nullptr) : 0;
}

const FramedFormat kAsfFraming = {16, AsfPacketStart, AsfPacketBytes, AsfPacketChecks, AsfWhole, {}, true};

}  // namespace

std::optional<uint64_t> AsfJoinedLength(CarvingContext& ctx, ByteSpan header, bool& checked) {
  checked = false;
  uint64_t broken = 0;
  {
    FileBytes file(ctx, header);
    const std::optional<AsfLayout> layout = ReadLayout(file);
    if (!layout) return std::nullopt;
    if (const uint64_t n = AsfWalk(file, *layout, &broken); n != 0) {
      checked = true;
      return n;
    }
  }
  if (broken != 0) {
    if (const std::optional<Stitched> joined = StitchFramed(ctx, header, broken, kAsfFraming))
      return Joined(ctx, *joined);
  }
  ctx.outcome().intact = false;
  return std::nullopt;
}

}  // namespace snapsave
