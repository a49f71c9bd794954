#include "filetypes/carving_context.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "storage/sector_reader.h"

namespace snapsave {

void CarvingContext::Begin(const SectorReader* source, uint32_t sectorSize, uint64_t sector) {
  source_ = source;
  sectorSize_ = sectorSize;
  startSector_ = sector;
  currentSector_ = sector;
}

bool CarvingContext::ReadSectors(std::span<uint8_t> into, uint64_t firstSector, uint32_t count) const {
  if (source_ == nullptr || sectorSize_ == 0 || sectorSize_ > kMaxSectorSize) return false;
  if (count == 0 || count > static_cast<uint32_t>(INT32_MAX)) return false;
  if (uint64_t{count} * sectorSize_ > into.size()) return false;
  uint32_t got = 0;
  const uint32_t e = source_->ReadSectors(into, static_cast<int32_t>(count), firstSector, sectorSize_, &got);
  return e == 0 && got == count;
}

bool CarvingContext::AcquireWorkBuffer() {
  if (workBuffer_.size() != kWorkBufferBytes) {
    try {
      workBuffer_.assign(kWorkBufferBytes, 0);
    } catch (const std::bad_alloc&) {
      workBuffer_.clear();
      return false;
    }
  }
  return true;
}

void CarvingContext::ReleaseWorkBuffer() {
  workBuffer_.clear();
  workBuffer_.shrink_to_fit();
}

void CarvingContext::AddTransportStreamRange(uint64_t firstSector, uint64_t lastSector) {
  transportStreamRanges_.emplace_back(firstSector, lastSector);
}

bool CarvingContext::InTransportStreamRange(uint64_t sector) const {
  for (const auto& [first, last] : transportStreamRanges_) {
    if (sector >= first && sector <= last) return true;
  }
  return false;
}

void CarvingContext::AddClaimedRange(uint64_t firstSector, uint64_t lastSector) {
  if (lastSector < firstSector) return;
  // Merged with the ranges it touches, so that the ranges stay apart and a lookup is one search.
  auto it = claimedRanges_.upper_bound(firstSector);
  if (it != claimedRanges_.begin() && std::prev(it)->second >= firstSector - (firstSector != 0 ? 1 : 0)) --it;
  while (it != claimedRanges_.end() && it->first <= lastSector + (lastSector != UINT64_MAX ? 1 : 0)) {
    firstSector = std::min(firstSector, it->first);
    lastSector = std::max(lastSector, it->second);
    it = claimedRanges_.erase(it);
  }
  claimedRanges_.emplace(firstSector, lastSector);
}

bool CarvingContext::Claimed(uint64_t sector) const {
  auto it = claimedRanges_.upper_bound(sector);
  return it != claimedRanges_.begin() && std::prev(it)->second >= sector;
}

void CarvingContext::Reset() {
  source_ = nullptr;
  sectorSize_ = kDefaultSectorSize;
  startSector_ = 0;
  currentSector_ = 0;
  streamStart_ = true;
  transportStreamInProgress_ = false;
  transportStreamRanges_.clear();
  claimedRanges_.clear();
  outcome_ = Outcome{};
  stitchBudget_ = StitchBudget{};
  progress_ = Progress{};
  checksWanted_ = true;
}

}  // namespace snapsave
