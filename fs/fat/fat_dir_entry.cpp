#include "fs/fat/fat_dir_entry.h"

#include <algorithm>
#include <string_view>

#include "os/clock.h"
#include "os/text.h"

namespace snapsave {

namespace {

// File times of 1990-01-01 and 2050-01-01: live entries outside this span are taken for garbage.
constexpr uint64_t kEarliestPlausible = 0x01B41E2A18D64000ull;
constexpr uint64_t kLatestPlausible = 0x01F7630BE39D8000ull;

bool IsNameByteIllegal(uint8_t c) {
  if (c < 0x20) return true;
  if (c >= 'a' && c <= 'z') return true;
  return std::string_view("\\:*?\"<>|.").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

uint64_t FatStampToFileTime(uint16_t date, uint16_t time, uint32_t extraSeconds, uint32_t milliseconds) {
  os::LocalTime t;
  t.year = 1980 + (date >> 9);
  t.month = (date >> 5) & 0x0F;
  t.day = date & 0x1F;
  t.hour = time >> 11;
  t.minute = (time >> 5) & 0x3F;
  t.second = static_cast<int>((time & 0x1F) * 2 + std::min<uint32_t>(extraSeconds, 60));
  t.millisecond = static_cast<int>(std::min<uint32_t>(milliseconds, 1000));
  return os::FileTimeOfCivilTime(t);
}

uint64_t DecodeCreationTime(ByteSpan e) {
  uint32_t fine = Le8(e, 13);
  uint32_t extra = 0;
  if (fine > 100) {
    extra = fine / 100;
    fine %= 100;
  }
  return FatStampToFileTime(Le16(e, 16), Le16(e, 14), extra, fine / 10 * 10);
}

uint64_t DecodeAccessTime(ByteSpan e) {
  return FatStampToFileTime(Le16(e, 18), 0, 0, 0);
}

uint64_t DecodeModificationTime(ByteSpan e) {
  return FatStampToFileTime(Le16(e, 24), Le16(e, 22), 0, 0);
}

bool IsDotPair(ByteSpan entries) {
  if (!Has(entries, 0, 2 * kDirEntrySize)) return false;
  const DirEntryView first{entries.first(kDirEntrySize)};
  const DirEntryView second{entries.subspan(kDirEntrySize, kDirEntrySize)};
  return first.First() == '.' && (first.Attributes() & fat_attr::kDirectory) != 0 && first.Size() == 0 &&
         BytesEqual(second.bytes, 0, "..") && (second.Attributes() & fat_attr::kDirectory) != 0 &&
         second.Size() == 0;
}

bool HasIllegalShortNameByte(ByteSpan entry) {
  for (size_t i = 0; i < 11; ++i) {
    if (IsNameByteIllegal(Le8(entry, i))) return true;
  }
  return false;
}

bool IsValidDirEntry(ByteSpan entries) {
  if (!Has(entries, 0, kDirEntrySize)) return false;
  if (IsDotPair(entries)) return true;
  const DirEntryView e{entries.first(kDirEntrySize)};
  const uint8_t attr = e.Attributes();
  const bool isDir = (attr & fat_attr::kDirectory) != 0 && !e.IsLongName();
  const bool hasCluster = e.HighCluster() != 0 || e.LowCluster() != 0;
  if (!isDir && e.Size() == 0 && hasCluster) return false;
  if (attr == fat_attr::kVolumeLabel) {
    if (e.Size() != 0 || hasCluster) return false;
  } else if ((attr & fat_attr::kVolumeLabel) != 0 && attr != fat_attr::kLongName) {
    return false;
  }
  if ((attr & fat_attr::kDirectory) != 0 && (attr & fat_attr::kReadOnly) != 0) return false;
  if ((attr & 0xC0) != 0) return false;
  if (!e.IsLongName()) {
    if (!e.IsDeleted() && !isDir) {
      for (uint64_t t :
           {DecodeCreationTime(e.bytes), DecodeAccessTime(e.bytes), DecodeModificationTime(e.bytes)}) {
        if (t < kEarliestPlausible || t > kLatestPlausible) return false;
      }
    }
    if (attr != fat_attr::kVolumeLabel && HasIllegalShortNameByte(e.bytes)) return false;
  } else if (!e.IsDeleted() && (e.First() & ~0x40u) > 18) {
    return false;
  }
  if (isDir && !e.IsDeleted() && e.Size() != 0) return false;
  if (e.IsLongName() && e.LowCluster() != 0) return false;
  if (attr > 0x3F) return false;
  if (attr != fat_attr::kVolumeLabel && !e.IsLongName() && !isDir && (attr & fat_attr::kArchive) == 0) {
    return false;
  }
  return true;
}

uint8_t ShortNameChecksum(ByteSpan entry) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i) {
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + Le8(entry, i));
  }
  return sum;
}

bool IsDirectoryBlock(ByteSpan block) {
  const size_t count = block.size() / kDirEntrySize;
  for (size_t i = 0; i < count; ++i) {
    const size_t off = i * kDirEntrySize;
    const ByteSpan rest = block.subspan(off);
    const DirEntryView e{rest.first(kDirEntrySize)};
    if (e.First() == 0) {
      if (i == 0) return false;
      for (size_t k = off; k < block.size(); ++k) {
        if (block[k] != 0) return false;
      }
      return true;
    }
    if (!IsValidDirEntry(rest)) return false;
    // Repeating halves are filler, not entries.
    bool halvesEqual = true;
    for (size_t k = 0; k < 7 && halvesEqual; ++k) {
      halvesEqual = Le16(e.bytes, 1 + 2 * k) == Le16(e.bytes, 17 + 2 * k);
    }
    if (halvesEqual) return false;
    if (!e.IsLongName()) {
      if (!e.IsVolumeLabel() && DecodeCreationTime(e.bytes) == 0) return false;
      for (size_t part = 0; part < 2; ++part) {
        const size_t begin = part == 0 ? 0 : 8;
        const size_t end = part == 0 ? 8 : 11;
        bool blankSeen = false;
        for (size_t k = begin; k < end; ++k) {
          const uint8_t c = e.bytes[k];
          if (c < 0x20 || c == '.') return false;
          if (c == ' ') {
            blankSeen = true;
          } else if (blankSeen) {
            return false;
          }
        }
      }
      for (size_t k = e.IsDeleted() ? 1 : 0; k < 10; ++k) {
        if (e.bytes[k] >= 0x80) {
          if (e.bytes[k + 1] < 0x80) return false;
          ++k;
        }
      }
      continue;
    }
    // A long-name run must agree on one checksum and match the short entry that ends it.
    const uint8_t sum = Le8(e.bytes, 13);
    size_t j = i + 1;
    for (; j < count && j <= i + 18; ++j) {
      const ByteSpan next = block.subspan(j * kDirEntrySize);
      if (!IsValidDirEntry(next)) return false;
      const DirEntryView n{next.first(kDirEntrySize)};
      if (n.IsLongName()) {
        if (Le8(n.bytes, 13) != sum) return false;
        continue;
      }
      if (!n.IsDeleted() && ShortNameChecksum(n.bytes) != sum) return false;
      break;
    }
  }
  return true;
}

std::string BuildShortName(ByteSpan entry, bool isDirectory) {
  auto trimmed = [&](size_t off, size_t len) {
    std::string s;
    for (size_t i = 0; i < len; ++i) s.push_back(static_cast<char>(Le8(entry, off + i)));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  // Short names keep the capitals the volume shows them in, unless the entry's case flags
  // (byte 12: 0x08 base, 0x10 extension) say the name was written in lower case.
  const uint8_t caseFlags = Le8(entry, 12);
  std::string name = trimmed(0, 8);
  if (caseFlags & kLowerCaseBase) name = os::AsciiLower(name);
  // Appended in two steps: `"." + std::string` trips a false -Wrestrict in GCC 12 at -O3.
  if (!isDirectory && Le8(entry, 8) != ' ') {
    name.push_back('.');
    const std::string ext = trimmed(8, 3);
    name += caseFlags & kLowerCaseExtension ? os::AsciiLower(ext) : ext;
  }
  if (!name.empty() && static_cast<uint8_t>(name[0]) == kDeletedMark) name[0] = '!';
  return name;
}

bool LongNameCollector::Add(ByteSpan entry) {
  if (pieces_ >= kMaxPieces) return false;
  ++pieces_;
  const size_t base = kMaxChars - pieces_ * 13;
  static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; i < 13; ++i) buffer_[base + i] = Le16(entry, kOffsets[i]);
  return true;
}

std::optional<std::string> LongNameCollector::Take() {
  if (pieces_ == 0) return std::nullopt;
  const size_t begin = kMaxChars - pieces_ * 13;
  size_t end = begin;
  while (end < kMaxChars && buffer_[end] != 0) ++end;
  pieces_ = 0;
  std::string name = os::Utf16ToUtf8(std::u16string_view(buffer_.data() + begin, end - begin));
  if (name.size() > 259) {
    size_t n = 259;
    while (n > 0 && (static_cast<uint8_t>(name[n]) & 0xC0) == 0x80) --n;
    name.resize(n);
  }
  return name;
}

bool IsFatMetadataSector(ByteSpan s) {
  if (s.size() < 32) return false;
  if (s[0] == 0xEB && s[2] == 0x90) {
    for (std::string_view oem : {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1"}) {
      if (BytesEqual(s, 3, oem)) return true;
    }
  }
  return IsDirectoryBlock(s);
}

}  // namespace snapsave
