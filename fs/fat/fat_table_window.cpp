#include "fs/fat/fat_table_window.h"

#include <algorithm>

#include "os/byte_reader.h"
#include "os/error.h"

namespace snapsave {

FatTableWindow::FatTableWindow(const SectorReader& reader, const FatGeometry& geometry)
    : reader_(reader), geo_(geometry) {
  const uint64_t fatBytes = uint64_t{geo_.fatSectors} * geo_.sectorSize;
  window_.resize(static_cast<size_t>(std::min<uint64_t>(kWindowBytes, fatBytes)));
}

uint32_t FatTableWindow::Load(uint64_t firstSector) {
  loaded_ = false;
  if (std::find(unreadable_.begin(), unreadable_.end(), firstSector) != unreadable_.end())
    return err::kReadFault;
  const uint64_t capacity = window_.size() / geo_.sectorSize;
  const uint64_t count = std::min<uint64_t>(capacity, geo_.fatSectors - firstSector);
  // Large reads of the first FAT. After one fails, sector by sector up to the sector that fails, which comes
  // from a copy, and on past the bad stretch the same way until a sector reads again: each bad sector costs
  // one failing read. The window ends before a sector no copy gives.
  enum class Mode { kLarge, kToBad, kPastBad } mode = Mode::kLarge;
  uint64_t filled = 0;
  uint32_t error = err::kSuccess;
  while (filled < count) {
    const uint64_t n = mode == Mode::kLarge ? count - filled : 1;
    if (n == 1 &&
        std::find(unreadable_.begin(), unreadable_.end(), firstSector + filled) != unreadable_.end())
      break;
    uint32_t got = 0;
    error = reader_.ReadSectors(std::span(window_).subspan(static_cast<size_t>(filled * geo_.sectorSize)),
                                static_cast<int32_t>(n), geo_.fatStart + firstSector + filled,
                                geo_.sectorSize, &got);
    filled += got;
    if (error == err::kDeviceGone) break;
    if (got == n) {
      if (mode == Mode::kPastBad) mode = Mode::kLarge;
      continue;
    }
    if (mode == Mode::kLarge) {
      mode = Mode::kToBad;
      continue;
    }
    const uint64_t bad = firstSector + filled;
    if (!ReadFromCopies(bad, std::span(window_).subspan(static_cast<size_t>(filled * geo_.sectorSize),
                                                        geo_.sectorSize))) {
      if (unreadable_.size() < kMaxUnreadable) unreadable_.push_back(bad);
      break;
    }
    ++filled;
    mode = Mode::kPastBad;
  }
  if (filled == 0) return error != err::kSuccess ? error : err::kReadFault;
  windowSector_ = firstSector;
  windowBytes_ = filled * geo_.sectorSize;
  loaded_ = true;
  return err::kSuccess;
}

bool FatTableWindow::ReadFromCopies(uint64_t sector, std::span<uint8_t> out) {
  for (uint32_t copy = 1; copy < geo_.fatCount; ++copy) {
    uint32_t got = 0;
    const uint64_t at = geo_.fatStart + uint64_t{copy} * geo_.fatSectors + sector;
    if (reader_.ReadSectors(out, 1, at, geo_.sectorSize, &got) == err::kSuccess && got == 1) return true;
  }
  return false;
}

FatTableWindow::Entry FatTableWindow::ReadEntry(uint32_t cluster) {
  uint64_t offset = 0;
  uint64_t width = 0;
  switch (geo_.width) {
    case FatWidth::k32:
      offset = uint64_t{cluster} * 4;
      width = 4;
      break;
    case FatWidth::k16:
      offset = uint64_t{cluster} * 2;
      width = 2;
      break;
    case FatWidth::k12:
      offset = uint64_t{cluster} + cluster / 2;
      width = 2;
      break;
  }
  const uint64_t fatBytes = uint64_t{geo_.fatSectors} * geo_.sectorSize;
  if (cluster > geo_.LastCluster() || offset + width > fatBytes) return {0, err::kInvalidParameter};
  const uint64_t windowStart = windowSector_ * geo_.sectorSize;
  if (!loaded_ || offset < windowStart || offset + width > windowStart + windowBytes_) {
    // A 12-bit entry may straddle two sectors; starting the window at the entry's sector keeps both bytes in
    // it.
    if (uint32_t e = Load(offset / geo_.sectorSize); e != err::kSuccess) return {0, e};
    if (offset + width > windowSector_ * geo_.sectorSize + windowBytes_) return {0, err::kReadFault};
  }
  const ByteSpan w(window_.data(), static_cast<size_t>(windowBytes_));
  const auto at = static_cast<size_t>(offset - windowSector_ * geo_.sectorSize);
  switch (geo_.width) {
    case FatWidth::k32:
      return {Le32(w, at) & 0x0FFFFFFFu, 0};
    case FatWidth::k16:
      return {Le16(w, at), 0};
    case FatWidth::k12: {
      const uint32_t pair = Le16(w, at);
      return {(cluster & 1) != 0 ? pair >> 4 : pair & 0x0FFFu, 0};
    }
  }
  return {0, err::kInvalidParameter};
}

bool FatTableWindow::IsEndOfChain(uint32_t value) const {
  switch (geo_.width) {
    case FatWidth::k32:
      return (value & 0x0FFFFFFFu) >= 0x0FFFFFF8u;
    case FatWidth::k16:
      return value >= 0xFFF8u;
    case FatWidth::k12:
      return value >= 0xFF8u;
  }
  return true;
}

uint32_t FatTableWindow::NextCluster(uint32_t cluster) {
  if (!geo_.IsDataCluster(cluster)) return 0;
  const Entry entry = ReadEntry(cluster);
  if (entry.status != 0) return 0;
  uint32_t next = 0;
  if (entry.value != 0) {
    next = IsEndOfChain(entry.value) ? 0 : entry.value;
  } else {
    next = NextFreeCluster(cluster);
  }
  return geo_.IsDataCluster(next) ? next : 0;
}

uint32_t FatTableWindow::NextFreeCluster(uint32_t cluster) {
  for (uint32_t n = cluster + 1; n > cluster && n <= geo_.LastCluster(); ++n) {
    const Entry entry = ReadEntry(n);
    if (entry.status != 0) return 0;
    if (entry.value == 0) return n;
  }
  return 0;
}

bool ChainGuard::Visit(uint32_t cluster) {
  // Clusters past the volume never come from a walk, which ends there; they count as visited.
  if (cluster > lastCluster_) return false;
  if (bits_.empty()) {
    if (std::find(list_.begin(), list_.end(), cluster) != list_.end()) return false;
    if (list_.size() < kListLimit) {
      list_.push_back(cluster);
      return true;
    }
    bits_.assign(size_t{lastCluster_} / 64 + 1, 0);
    for (uint32_t c : list_) bits_[c / 64] |= uint64_t{1} << (c % 64);
    list_.clear();
  }
  uint64_t& word = bits_[cluster / 64];
  const uint64_t bit = uint64_t{1} << (cluster % 64);
  if ((word & bit) != 0) return false;
  word |= bit;
  return true;
}

}  // namespace snapsave
