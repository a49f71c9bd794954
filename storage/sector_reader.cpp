#include "storage/sector_reader.h"

#include <algorithm>

#include "os/device.h"
#include "os/error.h"

namespace snapsave {

uint32_t SectorReader::OpenDisk(const std::filesystem::path& disk) {
  Close();
  if (disk.empty()) return err::kFileNotFound;
  // An image file listed as a disk: a container is read as the medium it holds.
  std::error_code ec;
  if (std::filesystem::is_regular_file(disk, ec)) {
    if (const ImageFormat format = DetectImageFormat(disk); format != ImageFormat::kRaw)
      return OpenFile(disk);
  }
  if (uint32_t e = file_.OpenRead(disk); e != err::kSuccess) return e;
  path_ = disk;
  os::DriveGeometry geo;
  if (uint32_t e = os::QueryGeometry(file_, geo); e != err::kSuccess) return e;
  deviceSectorSize_ = geo.bytesPerSector;
  uint64_t length = 0;
  if (os::QueryLength(file_, length) == err::kSuccess) totalSectors_ = length / deviceSectorSize_;
  if (totalSectors_ == 0)
    totalSectors_ = geo.cylinders * (uint64_t{geo.tracksPerCylinder} * geo.sectorsPerTrack);
  // A raw image file listed as a disk reads as its rescue map says, as when opened as a file.
  if (std::filesystem::is_regular_file(disk, ec)) {
    if (std::optional<MapBeside> map = FindRescueMapBeside(disk, length)) unrescued_ = map->map.Unrescued();
  }
  return err::kSuccess;
}

uint32_t SectorReader::OpenDiskVolume(const std::filesystem::path& disk,
                                      std::span<const SectorMapping> pieces) {
  if (const uint32_t e = OpenDisk(disk); e != err::kSuccess) return e;
  if (pieces.empty()) return err::kSuccess;
  if (const uint32_t e = MapVolume(pieces); e != err::kSuccess) {
    Close();
    return e;
  }
  return err::kSuccess;
}

uint32_t SectorReader::OpenFile(const std::filesystem::path& path) {
  Close();
  path_ = path;
  if (const ImageFormat format = DetectImageFormat(path); format != ImageFormat::kRaw) {
    if (uint32_t e = OpenImageContainer(path, format, container_, &openProblem_); e != err::kSuccess)
      return e;
    deviceSectorSize_ = kImageSectorSize;
    totalSectors_ = container_->MediaBytes() / kImageSectorSize;
    return err::kSuccess;
  }
  if (uint32_t e = file_.OpenRead(path); e != err::kSuccess) return e;
  uint64_t size = 0;
  if (uint32_t e = file_.Size(size); e != err::kSuccess) {
    file_.Close();
    return e;
  }
  deviceSectorSize_ = kImageSectorSize;
  totalSectors_ = size / kImageSectorSize;
  if (std::optional<MapBeside> map = FindRescueMapBeside(path, size)) unrescued_ = map->map.Unrescued();
  return err::kSuccess;
}

bool SectorReader::SourceGone() const {
  return IsOpen() && (silent_.load() || !os::StillAt(file_, path_));
}

void SectorReader::Close() {
  openProblem_.clear();
  file_.Close();
  path_.clear();
  container_.reset();
  totalSectors_ = 0;
  deviceSectorSize_ = kImageSectorSize;
  unrescued_.clear();
  pieces_.clear();
  deviceSectors_ = 0;
  answered_ = kNoSector;
  failuresInRow_ = 0;
  nextProbe_ = kFirstProbe;
  silent_ = false;
}

uint32_t SectorReader::ReadSectors(std::span<uint8_t> buffer, int32_t count, uint64_t startSector,
                                   uint32_t sectorSize, uint32_t* sectorsRead) const {
  return Read(buffer, count, startSector, sectorSize, sectorsRead, kChunkBytes);
}

uint32_t SectorReader::ReadSectorsLarge(std::span<uint8_t> buffer, int32_t count, uint64_t startSector,
                                        uint32_t sectorSize, uint32_t* sectorsRead) const {
  return Read(buffer, count, startSector, sectorSize, sectorsRead, kLargeChunkBytes);
}

uint32_t SectorReader::Read(std::span<uint8_t> buffer, int32_t count, uint64_t startSector,
                            uint32_t sectorSize, uint32_t* sectorsRead, uint32_t pieceBytes) const {
  if (sectorsRead != nullptr) *sectorsRead = 0;
  if (count < 0 || sectorSize == 0) return err::kInvalidParameter;
  const auto n = static_cast<uint64_t>(count);
  // Compare without forming startSector + count, which a huge start would wrap.
  if (n > totalSectors_ || startSector > totalSectors_ - n) return err::kInvalidParameter;
  if (startSector > UINT64_MAX / sectorSize) return err::kInvalidParameter;
  const uint64_t wanted = n * sectorSize;
  if (wanted > buffer.size()) return err::kInvalidParameter;
  if (!IsOpen()) return err::kInvalidParameter;

  const uint64_t offset = startSector * sectorSize;
  uint64_t filled = 0;
  uint32_t result = ReadRaw(buffer.first(static_cast<size_t>(wanted)), offset, pieceBytes, filled);
  ZeroFill* fill = fill_.load();
  if (result == err::kReadFault && fill != nullptr) {
    // Sector by sector past a failure, the rest whole again after a good one: a bad stretch costs one read
    // per bad sector, the good data around it is all read.
    uint64_t at = filled / sectorSize;
    bool lastFailed = true;
    while (at < n) {
      const uint64_t span = lastFailed ? 1 : n - at;
      uint64_t got = 0;
      const uint32_t e = ReadRaw(
          buffer.subspan(static_cast<size_t>(at * sectorSize), static_cast<size_t>(span * sectorSize)),
          offset + at * sectorSize, pieceBytes, got);
      if (e == err::kDeviceGone) {
        result = e;
        filled = at * sectorSize;
        break;
      }
      at += got / sectorSize;
      if (e == err::kSuccess) {
        lastFailed = false;
        continue;
      }
      if (at < n) {
        std::fill_n(buffer.begin() + static_cast<ptrdiff_t>(at * sectorSize), sectorSize, uint8_t{0});
        fill->Note(startSector + at);
        ++at;
      }
      lastFailed = true;
    }
    if (at >= n) {
      result = err::kSuccess;
      filled = wanted;
    }
  }
  if (sectorsRead != nullptr) *sectorsRead = static_cast<uint32_t>(filled / sectorSize);
  return result;
}

uint32_t SectorReader::ReadRaw(std::span<uint8_t> buffer, uint64_t offset, uint32_t pieceBytes,
                               uint64_t& filled) const {
  filled = 0;
  if (silent_.load()) return err::kDeviceGone;
  const uint32_t e = ReadMapped(buffer, offset, pieceBytes, filled);
  if (e == err::kSuccess) {
    // Loads first: the reads of a healthy source, from several threads, write nothing shared.
    if (!buffer.empty() && answered_.load(std::memory_order_relaxed) == kNoSector) {
      uint64_t none = kNoSector;
      answered_.compare_exchange_strong(none, offset);
    }
    if (failuresInRow_.load(std::memory_order_relaxed) != 0) {
      failuresInRow_ = 0;
      nextProbe_ = kFirstProbe;
    }
    return e;
  }
  if (e != err::kReadFault) return e;
  const uint32_t failures = ++failuresInRow_;
  if (failures < nextProbe_.load() || StillAnswers(failures)) return e;
  silent_ = true;
  return err::kDeviceGone;
}

bool SectorReader::StillAnswers(uint32_t failures) const {
  nextProbe_ = failures * 2;
  const uint64_t at = answered_.load();
  if (at == kNoSector) return true;  // nothing read yet to compare with: a bad area as far as is known
  // Read from the medium, not from what the system kept of it.
  if (!container_) file_.ForgetCached(at, deviceSectorSize_);
  std::vector<uint8_t> probe(deviceSectorSize_);
  uint64_t got = 0;
  return ReadMapped(probe, at, deviceSectorSize_, got) == err::kSuccess;
}

std::optional<uint64_t> SortAndCheckPieces(std::vector<SectorMapping>& pieces, uint64_t deviceSectors) {
  std::sort(pieces.begin(), pieces.end(), [](const SectorMapping& a, const SectorMapping& b) {
    return a.first != b.first ? a.first < b.first : a.stripe < b.stripe;
  });
  uint64_t end = 0;
  for (size_t i = 0; i < pieces.size();) {
    const SectorMapping& m = pieces[i];
    const uint32_t ways = std::max<uint32_t>(m.stripes, 1);
    if (m.count == 0 || m.first < end || m.first > UINT64_MAX - m.count || ways > pieces.size() - i)
      return {};
    uint64_t perStripe = m.count;
    if (ways > 1) {
      if (m.chunk == 0 || m.chunk > UINT64_MAX / ways || m.count % (m.chunk * ways) != 0) return {};
      perStripe = m.count / ways;
    }
    for (uint32_t j = 0; j < ways; ++j) {
      const SectorMapping& s = pieces[i + j];
      if (s.first != m.first || s.count != m.count || std::max<uint32_t>(s.stripes, 1) != ways ||
          s.stripe != j || (ways > 1 && s.chunk != m.chunk) || s.device > deviceSectors ||
          perStripe > deviceSectors - s.device)
        return {};
    }
    end = m.first + m.count;
    i += ways;
  }
  return end;
}

uint32_t SectorReader::MapVolume(std::span<const SectorMapping> pieces) {
  const uint64_t device = deviceSectors_ != 0 ? deviceSectors_ : totalSectors_;
  std::vector<SectorMapping> sorted(pieces.begin(), pieces.end());
  const std::optional<uint64_t> end = SortAndCheckPieces(sorted, device);
  if (!end || *end > UINT64_MAX / deviceSectorSize_) return err::kInvalidParameter;
  pieces_ = std::move(sorted);
  deviceSectors_ = device;
  totalSectors_ = std::max(device, *end);
  return err::kSuccess;
}

MappedRun MapSector(std::span<const SectorMapping> pieces, uint64_t sector) {
  const auto next = std::upper_bound(pieces.begin(), pieces.end(), sector,
                                     [](uint64_t s, const SectorMapping& m) { return s < m.first; });
  if (next != pieces.begin()) {
    const SectorMapping& m = *std::prev(next);
    const uint64_t into = sector - m.first;
    if (into < m.count) {
      if (m.stripes <= 1) return {m.device + into, m.count - into};
      // The piece's entries sit in a row, stripe 0 first; `m` is its last.
      const auto firstStripe = std::prev(next) - static_cast<std::ptrdiff_t>(m.stripe);
      const uint64_t chunk = into / m.chunk;
      const SectorMapping& s = *(firstStripe + static_cast<std::ptrdiff_t>(chunk % m.stripes));
      return {s.device + (chunk / m.stripes) * m.chunk + into % m.chunk, m.chunk - into % m.chunk};
    }
  }
  return {sector, next != pieces.end() ? next->first - sector : UINT64_MAX};
}

uint32_t SectorReader::ReadMapped(std::span<uint8_t> buffer, uint64_t offset, uint32_t pieceBytes,
                                  uint64_t& filled) const {
  filled = 0;
  if (pieces_.empty()) return ReadPieces(buffer, offset, pieceBytes, filled);
  const uint64_t size = deviceSectorSize_;
  while (filled < buffer.size()) {
    const uint64_t at = offset + filled;
    const MappedRun run = MapSector(pieces_, at / size);
    if (run.device >= deviceSectors_) return err::kReadFault;
    const uint64_t sectors = std::min(run.count, deviceSectors_ - run.device);
    const uint64_t from = run.device * size + at % size;
    const auto part =
        static_cast<size_t>(std::min<uint64_t>(sectors * size - at % size, buffer.size() - filled));
    uint64_t got = 0;
    const uint32_t e = ReadPieces(buffer.subspan(static_cast<size_t>(filled), part), from, pieceBytes, got);
    filled += got;
    if (e != err::kSuccess) return e;
  }
  return err::kSuccess;
}

uint32_t SectorReader::ReadPieces(std::span<uint8_t> buffer, uint64_t offset, uint32_t pieceBytes,
                                  uint64_t& filled) const {
  filled = 0;
  if (unrescued_.empty()) return ReadFromMedium(buffer, offset, pieceBytes, filled);
  // The first stretch the rescue did not get that ends past `offset`: the read stops where it starts.
  const auto hole =
      std::upper_bound(unrescued_.begin(), unrescued_.end(), offset,
                       [](uint64_t at, const RescueMap::Range& r) { return at < r.pos + r.size; });
  if (hole == unrescued_.end() || hole->pos - std::min(hole->pos, offset) >= buffer.size())
    return ReadFromMedium(buffer, offset, pieceBytes, filled);
  const auto good = static_cast<size_t>(hole->pos - std::min(hole->pos, offset));
  if (const uint32_t e = ReadFromMedium(buffer.first(good), offset, pieceBytes, filled); e != err::kSuccess)
    return e;
  return err::kReadFault;
}

uint32_t SectorReader::ReadFromMedium(std::span<uint8_t> buffer, uint64_t offset, uint32_t pieceBytes,
                                      uint64_t& filled) const {
  filled = 0;
  while (filled < buffer.size()) {
    auto chunk = static_cast<size_t>(std::min<uint64_t>(pieceBytes, buffer.size() - filled));
    size_t got = 0;
    const std::span<uint8_t> piece = buffer.subspan(static_cast<size_t>(filled), chunk);
    uint32_t e = container_ ? container_->ReadAt(offset + filled, piece, got)
                            : file_.ReadAt(offset + filled, piece, got);
    // A container hands over the good bytes before a stretch it cannot give.
    filled += std::min(got, chunk);
    if (e != err::kSuccess || got == 0) return e == err::kDeviceGone ? e : err::kReadFault;
  }
  return err::kSuccess;
}

SectorReader::ZeroFill::ZeroFill(const SectorReader& reader) : reader_(reader) {
  reader_.fill_.store(this);
}

SectorReader::ZeroFill::~ZeroFill() {
  ZeroFill* self = this;
  reader_.fill_.compare_exchange_strong(self, nullptr);
}

void SectorReader::ZeroFill::Note(uint64_t sector) {
  std::lock_guard lock(mutex_);
  if (!stretches_.empty() && stretches_.back().first + stretches_.back().count == sector) {
    ++stretches_.back().count;
  } else {
    stretches_.push_back({sector, 1});
  }
}

std::vector<SectorStretch> SectorReader::ZeroFill::Stretches() const {
  std::lock_guard lock(mutex_);
  return stretches_;
}

}  // namespace snapsave
