#include "storage/lvm_layout.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <set>

#include "storage/sector_reader.h"

namespace snapsave {

namespace {

constexpr std::string_view kLabelId = "LABELONE";
constexpr std::string_view kLabelType = "LVM2 001";
constexpr std::string_view kAreaMagic = " LVM2 x[5A%r0N*>";
constexpr size_t kSector = 512;
constexpr size_t kAreaHeaderBytes = 512;
// Larger than any metadata area LVM makes by default (1 MiB) by far, small enough to read whole.
constexpr uint64_t kMaxAreaBytes = 64ull << 20;
constexpr size_t kMaxDepth = 8;
constexpr size_t kMaxNodes = 200000;
constexpr size_t kMaxSegments = 4096;
constexpr size_t kMaxStripes = 128;
constexpr size_t kMaxOlderCopies = 256;

// LVM's checksum: CRC-32 without the final inversion, started from its own seed.
uint32_t LvmCrc(ByteSpan bytes) {
  constexpr uint32_t kSeed = 0xf597a6cfu;
  uLong crc = ~kSeed & 0xffffffffu;
  size_t at = 0;
  while (at < bytes.size()) {
    const auto piece = static_cast<uInt>(std::min<size_t>(bytes.size() - at, 1u << 30));
    crc = ::crc32(crc, bytes.data() + at, piece);
    at += piece;
  }
  return ~static_cast<uint32_t>(crc);
}

std::string WithoutDashes(std::string_view id) {
  std::string out;
  for (char c : id)
    if (c != '-') out += c;
  return out;
}

// The text format's tree: sections of named values and sections.
struct Value {
  bool isString = false;
  std::string text;
  int64_t number = 0;
};
struct Node {
  std::string name;
  bool section = false;
  std::vector<Value> values;  // one for "name = value", the items of a list
  std::vector<Node> children;

  const Node* Child(std::string_view key, bool wantSection) const {
    for (const Node& c : children)
      if (c.name == key && c.section == wantSection) return &c;
    return nullptr;
  }
  std::optional<int64_t> Number(std::string_view key) const {
    const Node* c = Child(key, false);
    if (c == nullptr || c->values.size() != 1 || c->values[0].isString) return std::nullopt;
    return c->values[0].number;
  }
  std::optional<std::string> Text(std::string_view key) const {
    const Node* c = Child(key, false);
    if (c == nullptr || c->values.size() != 1 || !c->values[0].isString) return std::nullopt;
    return c->values[0].text;
  }
};

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool ParseFile(Node& root) {
    root.section = true;
    if (!ParseItems(root, 0)) return false;
    SkipSpace();
    return at_ >= text_.size();
  }

 private:
  static bool NameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '+' || c == '-';
  }
  void SkipSpace() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '#') {
        while (at_ < text_.size() && text_[at_] != '\n') ++at_;
      } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++at_;
      } else {
        return;
      }
    }
  }
  bool Name(std::string& out) {
    SkipSpace();
    const size_t from = at_;
    while (at_ < text_.size() && NameChar(text_[at_])) ++at_;
    out.assign(text_.substr(from, at_ - from));
    return !out.empty();
  }
  bool Scalar(Value& v) {
    SkipSpace();
    if (at_ >= text_.size()) return false;
    if (text_[at_] == '"') {
      ++at_;
      v.isString = true;
      while (at_ < text_.size() && text_[at_] != '"') {
        if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
        v.text += text_[at_++];
      }
      if (at_ >= text_.size()) return false;
      ++at_;
      return true;
    }
    bool negative = false;
    if (text_[at_] == '-') {
      negative = true;
      ++at_;
    }
    const size_t from = at_;
    uint64_t n = 0;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      const auto digit = static_cast<uint64_t>(text_[at_] - '0');
      if (n > (static_cast<uint64_t>(INT64_MAX) - digit) / 10) return false;
      n = n * 10 + digit;
      ++at_;
    }
    if (at_ == from) return false;
    // Fractions (none in volume-group metadata) are read up to the point.
    if (at_ < text_.size() && text_[at_] == '.') {
      ++at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    }
    v.number = negative ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
    return true;
  }
  bool ParseItems(Node& into, size_t depth) {
    while (true) {
      SkipSpace();
      if (at_ >= text_.size() || text_[at_] == '}') return true;
      if (++nodes_ > kMaxNodes) return false;
      Node node;
      if (!Name(node.name)) return false;
      SkipSpace();
      if (at_ >= text_.size()) return false;
      if (text_[at_] == '{') {
        if (depth + 1 >= kMaxDepth) return false;
        ++at_;
        node.section = true;
        if (!ParseItems(node, depth + 1)) return false;
        if (at_ >= text_.size() || text_[at_] != '}') return false;
        ++at_;
      } else if (text_[at_] == '=') {
        ++at_;
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == '[') {
          ++at_;
          SkipSpace();
          while (at_ < text_.size() && text_[at_] != ']') {
            if (++nodes_ > kMaxNodes) return false;
            Value v;
            if (!Scalar(v)) return false;
            node.values.push_back(std::move(v));
            SkipSpace();
            if (at_ < text_.size() && text_[at_] == ',') {
              ++at_;
              SkipSpace();
            }
          }
          if (at_ >= text_.size()) return false;
          ++at_;
        } else {
          Value v;
          if (!Scalar(v)) return false;
          node.values.push_back(std::move(v));
        }
      } else {
        return false;
      }
      into.children.push_back(std::move(node));
    }
  }

  std::string_view text_;
  size_t at_ = 0;
  size_t nodes_ = 0;
};

bool HasFlag(const Node& n, std::string_view key, std::string_view flag) {
  const Node* c = n.Child(key, false);
  if (c == nullptr) return false;
  return std::any_of(c->values.begin(), c->values.end(),
                     [&](const Value& v) { return v.isString && v.text == flag; });
}

std::optional<uint64_t> Count(const Node& n, std::string_view key) {
  const std::optional<int64_t> v = n.Number(key);
  if (!v || *v < 0) return std::nullopt;
  return static_cast<uint64_t>(*v);
}

// a * b, nothing when it would not fit.
std::optional<uint64_t> Times(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}

// The text from `offset` of the area's ring, `size` bytes, wrapping past the area's end to just after its
// header as LVM writes it.
std::optional<std::string> RingText(ByteSpan area, uint64_t offset, uint64_t size) {
  if (offset < kAreaHeaderBytes || offset >= area.size() || size == 0 || size > area.size())
    return std::nullopt;
  std::string out;
  const uint64_t first = std::min<uint64_t>(size, area.size() - offset);
  out.assign(reinterpret_cast<const char*>(area.data() + offset), static_cast<size_t>(first));
  const uint64_t rest = size - first;
  if (rest != 0) {
    if (rest > area.size() - kAreaHeaderBytes) return std::nullopt;
    out.append(reinterpret_cast<const char*>(area.data() + kAreaHeaderBytes), static_cast<size_t>(rest));
  }
  return out;
}

// Whether a sector of the ring starts a metadata text: a volume group's name and its opening brace.
bool StartsText(ByteSpan area, size_t at) {
  size_t i = at;
  while (i < area.size() && i - at < 128) {
    const auto c = static_cast<char>(area[i]);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
        c == '+' || c == '-') {
      ++i;
      continue;
    }
    break;
  }
  return i > at && BytesEqual(area, i, " {\n");
}

}  // namespace

bool LogicalVolumeOnDisk::Contiguous() const {
  return std::all_of(pieces.begin(), pieces.end(),
                     [](const SectorMapping& m) { return m.first == m.device; });
}

std::optional<LvmLabel> ParseLvmLabel(ByteSpan start) {
  for (size_t at = 0; at + kSector <= start.size() && at < kLvmLabelScanBytes; at += kSector) {
    const ByteSpan label = start.subspan(at, kSector);
    if (!BytesEqual(label, 0, kLabelId) || !BytesEqual(label, 24, kLabelType)) continue;
    if (Le64(label, 8) != at / kSector) continue;
    if (LvmCrc(label.subspan(20)) != Le32(label, 16)) continue;
    const uint32_t contents = Le32(label, 20);
    if (contents < 32 || contents + 32 + 8 > kSector) continue;
    LvmLabel out;
    out.uuid.assign(reinterpret_cast<const char*>(label.data() + contents), 32);
    out.deviceBytes = Le64(label, contents + 32);
    // The data areas, then the metadata areas, each list ended by an empty entry.
    size_t pos = contents + 40;
    bool ok = false;
    for (int list = 0; list < 2; ++list) {
      ok = false;
      while (Has(label, pos, 16)) {
        const uint64_t offset = Le64(label, pos);
        const uint64_t size = Le64(label, pos + 8);
        pos += 16;
        if (offset == 0) {
          ok = true;
          break;
        }
        if (list == 1) out.metadataAreas.push_back({offset, size});
      }
      if (!ok) break;
    }
    if (!ok) continue;
    return out;
  }
  return std::nullopt;
}

std::optional<LvmMetadataTexts> ReadLvmMetadataArea(ByteSpan area) {
  if (area.size() < kAreaHeaderBytes * 2 || !BytesEqual(area, 4, kAreaMagic) || Le32(area, 20) != 1)
    return std::nullopt;
  LvmMetadataTexts out;
  // The header's checksum is checked, and each text's against its own; a damaged header leaves the ring.
  if (LvmCrc(area.subspan(4, kAreaHeaderBytes - 4)) == Le32(area, 0)) {
    const uint64_t offset = Le64(area, 40);
    const uint64_t size = Le64(area, 48);
    if (std::optional<std::string> text = RingText(area, offset, size);
        text && LvmCrc({reinterpret_cast<const uint8_t*>(text->data()), text->size()}) == Le32(area, 56)) {
      // The stored size counts the text's ending zero.
      if (!text->empty() && text->back() == '\0') text->pop_back();
      out.current = std::move(*text);
    }
  }
  // Older copies: each was written from the start of a sector and ends at its zero.
  for (size_t at = kAreaHeaderBytes; at + 4 <= area.size() && out.older.size() < kMaxOlderCopies;
       at += kSector) {
    if (!StartsText(area, at)) continue;
    const auto* begin = area.data() + at;
    const auto* end = std::find(begin, area.data() + area.size(), uint8_t{0});
    std::string text(reinterpret_cast<const char*>(begin), static_cast<size_t>(end - begin));
    if (text != out.current) out.older.push_back(std::move(text));
    at += (static_cast<size_t>(end - begin) / kSector) * kSector;
  }
  // Newest first: later in the ring is newer until it wraps, so the order is settled by seqno afterwards.
  std::reverse(out.older.begin(), out.older.end());
  return out;
}

std::optional<LvmVolumeGroup> ParseLvmMetadata(std::string_view text) {
  Node root;
  if (!Parser(text).ParseFile(root)) return std::nullopt;
  const Node* vg = nullptr;
  for (const Node& c : root.children) {
    if (c.section) {
      vg = &c;
      break;
    }
  }
  if (vg == nullptr) return std::nullopt;
  LvmVolumeGroup out;
  out.name = vg->name;
  out.id = WithoutDashes(vg->Text("id").value_or(""));
  out.seqno = Count(*vg, "seqno").value_or(0);
  const std::optional<uint64_t> extent = Count(*vg, "extent_size");
  if (!extent || *extent == 0) return std::nullopt;
  out.extentSize = *extent;
  if (const Node* pvs = vg->Child("physical_volumes", true)) {
    for (const Node& pv : pvs->children) {
      if (!pv.section) continue;
      LvmPhysicalVolume p;
      p.name = pv.name;
      p.id = WithoutDashes(pv.Text("id").value_or(""));
      p.peStart = Count(pv, "pe_start").value_or(0);
      p.peCount = Count(pv, "pe_count").value_or(0);
      out.physicalVolumes.push_back(std::move(p));
    }
  }
  if (const Node* lvs = vg->Child("logical_volumes", true)) {
    for (const Node& lv : lvs->children) {
      // Volumes LVM keeps for itself (a pool's metadata, a mirror's legs) are not shown as such.
      if (!lv.section || !HasFlag(lv, "status", "VISIBLE")) continue;
      LvmLogicalVolume l;
      l.name = lv.name;
      l.id = WithoutDashes(lv.Text("id").value_or(""));
      for (const Node& seg : lv.children) {
        if (!seg.section || !seg.name.starts_with("segment")) continue;
        if (l.segments.size() >= kMaxSegments) return std::nullopt;
        LvmSegment s;
        s.startExtent = Count(seg, "start_extent").value_or(0);
        s.extentCount = Count(seg, "extent_count").value_or(0);
        s.type = seg.Text("type").value_or("");
        s.stripeSize = Count(seg, "stripe_size").value_or(0);
        if (const Node* stripes = seg.Child("stripes", false)) {
          for (size_t i = 0; i + 1 < stripes->values.size(); i += 2) {
            const Value& pv = stripes->values[i];
            const Value& first = stripes->values[i + 1];
            if (!pv.isString || first.isString || first.number < 0) return std::nullopt;
            s.stripes.push_back({pv.text, static_cast<uint64_t>(first.number)});
          }
        }
        l.segments.push_back(std::move(s));
      }
      std::sort(l.segments.begin(), l.segments.end(),
                [](const LvmSegment& a, const LvmSegment& b) { return a.startExtent < b.startExtent; });
      out.logicalVolumes.push_back(std::move(l));
    }
  }
  return out;
}

namespace {

struct FoundPv {
  LvmPlace place;
  std::string uuid;
};

// The pieces of `lv` on the disk, or why it cannot be read.
LogicalVolumeOnDisk MapVolume(const LvmVolumeGroup& vg, const LvmLogicalVolume& lv,
                              std::span<const FoundPv> pvs, uint32_t sectorSize) {
  LogicalVolumeOnDisk out;
  out.groupName = vg.name;
  out.name = lv.name;
  uint64_t nextExtent = 0;
  uint64_t logical = 0;  // bytes into the volume
  for (const LvmSegment& s : lv.segments) {
    if (s.type != "striped") {
      out.unreadable = "its layout (" + s.type + ") is not read";
      break;
    }
    const size_t ways = s.stripes.size();
    if (ways == 0 || ways > kMaxStripes) {
      out.unreadable = "its stripes are not named";
      break;
    }
    if (s.startExtent != nextExtent || s.extentCount == 0 || s.extentCount % ways != 0) {
      out.unreadable = "its extents leave gaps";
      break;
    }
    const std::optional<uint64_t> sectors = Times(s.extentCount, vg.extentSize);
    const std::optional<uint64_t> bytes = sectors ? Times(*sectors, kSector) : std::nullopt;
    const std::optional<uint64_t> stripeBytes = Times(s.extentCount / ways * vg.extentSize, kSector);
    const std::optional<uint64_t> chunkBytes = Times(s.stripeSize, kSector);
    if (!bytes || !stripeBytes || logical > UINT64_MAX - *bytes || *bytes % sectorSize != 0 ||
        (ways > 1 && (!chunkBytes || *chunkBytes == 0 || *chunkBytes % sectorSize != 0 ||
                      *stripeBytes % *chunkBytes != 0))) {
      out.unreadable = "its extents lie outside its physical volume";
      break;
    }
    for (size_t j = 0; j < ways && out.unreadable.empty(); ++j) {
      const LvmSegment::Stripe& stripe = s.stripes[j];
      const auto pv =
          std::find_if(vg.physicalVolumes.begin(), vg.physicalVolumes.end(),
                       [&](const LvmPhysicalVolume& p) { return p.name == stripe.physicalVolume; });
      const auto place =
          pv == vg.physicalVolumes.end()
              ? pvs.end()
              : std::find_if(pvs.begin(), pvs.end(), [&](const FoundPv& f) { return f.uuid == pv->id; });
      if (place == pvs.end()) {
        out.unreadable = "on a physical volume not found on this disk";
        break;
      }
      const std::optional<uint64_t> firstSector = Times(stripe.firstExtent, vg.extentSize);
      const std::optional<uint64_t> startBytes = firstSector && *firstSector <= UINT64_MAX - pv->peStart
                                                     ? Times(*firstSector + pv->peStart, kSector)
                                                     : std::nullopt;
      const std::optional<uint64_t> placeBytes = Times(place->place.sectorCount, sectorSize);
      if (!startBytes || !placeBytes || *startBytes > *placeBytes ||
          *stripeBytes > *placeBytes - *startBytes || *startBytes % sectorSize != 0) {
        out.unreadable = "its extents lie outside its physical volume";
        break;
      }
      SectorMapping m;
      m.device = place->place.startSector + *startBytes / sectorSize;
      m.count = *bytes / sectorSize;
      m.first = logical / sectorSize;  // made absolute below
      if (ways > 1) {
        m.stripes = static_cast<uint32_t>(ways);
        m.stripe = static_cast<uint32_t>(j);
        m.chunk = *chunkBytes / sectorSize;
      }
      out.pieces.push_back(m);
    }
    if (!out.unreadable.empty()) break;
    logical += *bytes;
    nextExtent += s.extentCount;
  }
  if (lv.segments.empty()) out.unreadable = "it holds no extents";
  if (!out.unreadable.empty()) {
    out.pieces.clear();
    return out;
  }
  const uint64_t base = out.pieces.front().device;
  for (SectorMapping& m : out.pieces) {
    if (m.first > UINT64_MAX - base) {
      out.unreadable = "its extents lie outside its physical volume";
      out.pieces.clear();
      return out;
    }
    m.first += base;
  }
  out.sectorCount = logical / sectorSize;
  return out;
}

bool ReadBytes(const SectorReader& reader, uint32_t sectorSize, uint64_t sector, std::vector<uint8_t>& out,
               uint64_t bytes) {
  const uint64_t count = (bytes + sectorSize - 1) / sectorSize;
  if (count > INT32_MAX) return false;
  out.assign(static_cast<size_t>(count * sectorSize), 0);
  uint32_t got = 0;
  if (reader.ReadSectors(out, static_cast<int32_t>(count), sector, sectorSize, &got) != 0) return false;
  out.resize(static_cast<size_t>(bytes));
  return true;
}

}  // namespace

bool HasLvmLabel(const SectorReader& reader, uint32_t sectorSize, uint64_t startSector) {
  std::vector<uint8_t> start;
  if (sectorSize == 0 || !ReadBytes(reader, sectorSize, startSector, start, kLvmLabelScanBytes)) return false;
  return ParseLvmLabel(start).has_value();
}

std::vector<LogicalVolumeOnDisk> FindLogicalVolumes(const SectorReader& reader, uint32_t sectorSize,
                                                    std::span<const LvmPlace> places) {
  std::vector<LogicalVolumeOnDisk> out;
  if (sectorSize == 0) return out;
  std::vector<FoundPv> pvs;
  // Per group, by id: its newest metadata and the older copies.
  struct Group {
    std::optional<LvmVolumeGroup> newest;
    std::vector<LvmVolumeGroup> older;
  };
  std::vector<std::pair<std::string, Group>> groups;
  auto groupOf = [&](const std::string& id) -> Group& {
    for (auto& [key, g] : groups)
      if (key == id) return g;
    return groups.emplace_back(id, Group{}).second;
  };
  std::vector<uint8_t> bytes;
  for (const LvmPlace& place : places) {
    if (!ReadBytes(reader, sectorSize, place.startSector, bytes, kLvmLabelScanBytes)) continue;
    const std::optional<LvmLabel> label = ParseLvmLabel(bytes);
    if (!label) continue;
    pvs.push_back({place, label->uuid});
    for (const LvmLabel::Area& a : label->metadataAreas) {
      const std::optional<uint64_t> placeBytes = Times(place.sectorCount, sectorSize);
      if (a.size > kMaxAreaBytes || a.offset % sectorSize != 0 || !placeBytes || a.offset > *placeBytes ||
          a.size > *placeBytes - a.offset)
        continue;
      if (!ReadBytes(reader, sectorSize, place.startSector + a.offset / sectorSize, bytes, a.size)) continue;
      const std::optional<LvmMetadataTexts> texts = ReadLvmMetadataArea(bytes);
      if (!texts) continue;
      std::optional<LvmVolumeGroup> current = ParseLvmMetadata(texts->current);
      std::vector<LvmVolumeGroup> older;
      for (const std::string& t : texts->older)
        if (std::optional<LvmVolumeGroup> g = ParseLvmMetadata(t)) older.push_back(std::move(*g));
      // A ring whose header is gone still tells its group by its newest copy.
      if (!current && !older.empty()) {
        auto newest = std::max_element(older.begin(), older.end(),
                                       [](const auto& x, const auto& y) { return x.seqno < y.seqno; });
        current = std::move(*newest);
        older.erase(newest);
      }
      if (!current) continue;
      Group& g = groupOf(current->id);
      if (!g.newest || g.newest->seqno < current->seqno) {
        if (g.newest) g.older.push_back(std::move(*g.newest));
        g.newest = std::move(current);
      }
      for (LvmVolumeGroup& o : older)
        if (o.id == g.newest->id) g.older.push_back(std::move(o));
    }
  }
  for (auto& [id, g] : groups) {
    if (!g.newest) continue;
    std::set<std::string> known;
    for (const LvmLogicalVolume& lv : g.newest->logicalVolumes) {
      known.insert(lv.id);
      out.push_back(MapVolume(*g.newest, lv, pvs, sectorSize));
    }
    // Volumes only older copies name, each from the newest copy that does.
    std::sort(g.older.begin(), g.older.end(), [](const auto& a, const auto& b) { return a.seqno > b.seqno; });
    for (const LvmVolumeGroup& older : g.older) {
      if (older.seqno >= g.newest->seqno) continue;
      for (const LvmLogicalVolume& lv : older.logicalVolumes) {
        if (!known.insert(lv.id).second) continue;
        LogicalVolumeOnDisk removed = MapVolume(older, lv, pvs, sectorSize);
        removed.removed = true;
        out.push_back(std::move(removed));
      }
    }
  }
  return out;
}

}  // namespace snapsave
