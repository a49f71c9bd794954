#include "storage/disk_image_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <system_error>

#include "os/clock.h"
#include "os/device.h"
#include "os/error.h"
#include "storage/image_container.h"
#include "storage/rescue_copy.h"

namespace snapsave {

namespace {

constexpr uint32_t kFileSectorSize = 512;

// The production source: the disk or file, opened read-only. Opened past the system's cache for rescue
// copies, and read through it again if the system refuses a direct read.
class FileSource final : public ImageSource {
 public:
  FileSource(os::File file, std::filesystem::path path, bool direct)
      : file_(std::move(file)), path_(std::move(path)), direct_(direct) {}
  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) override {
    uint32_t e = file_.ReadAt(offset, buffer, got);
    if (e == err::kInvalidParameter && direct_) {
      direct_ = false;
      if (uint32_t o = file_.OpenRead(path_); o != err::kSuccess) return o;
      e = file_.ReadAt(offset, buffer, got);
    }
    return e;
  }

 private:
  os::File file_;
  std::filesystem::path path_;
  bool direct_;
};

// A container image (E01, VHD, ...) as a source: the medium it holds.
// A logical volume's sectors read where its pieces lie.
class MappedSource final : public ImageSource {
 public:
  MappedSource(std::unique_ptr<ImageSource> inner, std::vector<SectorMapping> pieces, uint32_t sectorSize)
      : inner_(std::move(inner)), pieces_(std::move(pieces)), sectorSize_(sectorSize) {}
  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) override {
    got = 0;
    while (got < buffer.size()) {
      const uint64_t at = offset + got;
      const MappedRun run = MapSector(pieces_, at / sectorSize_);
      if (run.device > UINT64_MAX / sectorSize_) return err::kReadFault;
      const uint64_t room = run.count > UINT64_MAX / sectorSize_ ? UINT64_MAX : run.count * sectorSize_;
      const auto part = static_cast<size_t>(std::min<uint64_t>(room - at % sectorSize_, buffer.size() - got));
      size_t read = 0;
      const uint32_t e =
          inner_->ReadAt(run.device * sectorSize_ + at % sectorSize_, buffer.subspan(got, part), read);
      got += std::min(read, part);
      if (e != err::kSuccess || read < part) return e;
    }
    return err::kSuccess;
  }

 private:
  std::unique_ptr<ImageSource> inner_;
  std::vector<SectorMapping> pieces_;
  uint32_t sectorSize_;
};

class ContainerSource final : public ImageSource {
 public:
  explicit ContainerSource(std::unique_ptr<ImageContainer> container) : container_(std::move(container)) {}
  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) override {
    return container_->ReadAt(offset, buffer, got);
  }

 private:
  std::unique_ptr<ImageContainer> container_;
};

// Whole sectors per transfer, never zero (a sector larger than a transfer goes alone).
uint32_t SectorsPerTransfer(uint32_t sectorSize) {
  return std::max<uint32_t>(1, DiskImageWriter::kTransferBytes / sectorSize);
}

// Reads until `buffer` is full, the source ends (short `got`), or an error.
uint32_t ReadWhole(ImageSource& source, uint64_t offset, std::span<uint8_t> buffer, size_t& got) {
  got = 0;
  while (got < buffer.size()) {
    size_t n = 0;
    if (uint32_t e = source.ReadAt(offset + got, buffer.subspan(got), n); e != err::kSuccess) return e;
    if (n == 0) break;
    got += std::min(n, buffer.size() - got);
  }
  return err::kSuccess;
}

// The source seen from the first sector of the stretch being copied.
class OffsetSource final : public ImageSource {
 public:
  OffsetSource(ImageSource& source, uint64_t offset) : source_(source), offset_(offset) {}
  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) override {
    return source_.ReadAt(offset_ + offset, buffer, got);
  }

 private:
  ImageSource& source_;
  uint64_t offset_;
};

}  // namespace

void DiskImageWriter::UseRescuePasses(int retries, std::string commandLine) {
  rescue_ = true;
  retries_ = std::max(0, retries);
  commandLine_ = std::move(commandLine);
}

std::filesystem::path DiskImageWriter::MapPathOf(const std::filesystem::path& imagePath) {
  std::filesystem::path map = imagePath;
  map += ".map";
  return map;
}

int32_t DiskImageWriter::RescuePasses() {
  // The rescue writes the image and its map itself; the plain copy's handle would cut the image on closing.
  image_.Close();
  RescueOptions options;
  options.sectorSize = sectorSize_;
  options.retries = retries_;
  options.commandLine = commandLine_;
  const uint64_t total = sectorCount_ * sectorSize_;
  OffsetSource source(*source_, startSector_ * sectorSize_);
  const uint64_t startTick = os::TickMs();
  const int32_t result = RescueCopy::Run(
      source, total, imagePath_, MapPathOf(imagePath_), options, map_, [&](const RescueMap& map) -> int32_t {
        if (callback_ == nullptr || total == 0) return 0;
        // Settled: copied, or found bad sector by sector.
        const uint64_t done = map.Bytes(BlockStatus::kFinished) + map.Bytes(BlockStatus::kBad);
        const uint64_t elapsed = (os::TickMs() - startTick) / 1000;
        const int32_t secondsLeft = elapsed < 5 || done == 0
                                        ? -1
                                        : static_cast<int32_t>(std::min<uint64_t>(
                                              (total - done) / std::max<uint64_t>(1, done / elapsed),
                                              std::numeric_limits<int32_t>::max()));
        const uint64_t percent =
            total > std::numeric_limits<uint64_t>::max() / 100 ? done / (total / 100) : done * 100 / total;
        return callback_(context_, static_cast<int32_t>(std::min<uint64_t>(percent, 100)), done / sectorSize_,
                         sectorCount_, secondsLeft);
      });
  badSectors_.clear();
  for (const RescueMap::Range& r : map_.Ranges()) {
    if (r.status == BlockStatus::kBad)
      badSectors_.push_back({startSector_ + r.pos / sectorSize_, (r.size + sectorSize_ - 1) / sectorSize_});
  }
  sectorsCopied_ = (map_.Bytes(BlockStatus::kFinished) + map_.Bytes(BlockStatus::kBad)) / sectorSize_;
  source_.reset();
  return result;
}

int32_t DiskImageWriter::CreateImage(const std::filesystem::path& disk, uint64_t startSector,
                                     uint64_t sectorCount, const std::filesystem::path& imagePath,
                                     ImageProgressCallback callback, void* context) {
  if (uint32_t e = OpenForImage(disk, startSector, sectorCount, imagePath, callback, context);
      e != err::kSuccess) {
    CloseImage();
    return static_cast<int32_t>(e);
  }
  return Copy();
}

int32_t DiskImageWriter::CreateImageFromFile(const std::filesystem::path& sourcePath, uint64_t startSector,
                                             uint64_t sectorCount, const std::filesystem::path& imagePath,
                                             ImageProgressCallback callback, void* context) {
  if (uint32_t e = Open(sourcePath, false, startSector, sectorCount, imagePath, callback, context);
      e != err::kSuccess) {
    CloseImage();
    return static_cast<int32_t>(e);
  }
  return Copy();
}

uint32_t DiskImageWriter::OpenForImage(const std::filesystem::path& disk, uint64_t startSector,
                                       uint64_t sectorCount, const std::filesystem::path& imagePath,
                                       ImageProgressCallback callback, void* context) {
  if (disk.empty()) {
    CloseImage();
    return err::kFileNotFound;
  }
  return Open(disk, true, startSector, sectorCount, imagePath, callback, context);
}

uint32_t DiskImageWriter::Open(const std::filesystem::path& sourcePath, bool isDisk, uint64_t startSector,
                               uint64_t sectorCount, const std::filesystem::path& imagePath,
                               ImageProgressCallback callback, void* context) {
  // A copy still open from an earlier call is finished first, so its image keeps only what was copied.
  CloseImage();
  sectorSize_ = kFileSectorSize;
  startSector_ = startSector;
  sectorCount_ = sectorCount;
  sectorsRead_ = 0;
  sectorsCopied_ = 0;
  callback_ = callback;
  context_ = context;
  badSectors_.clear();

  if (uint32_t e = OpenSource(sourcePath, isDisk); e != err::kSuccess) return e;
  // Writing the image over its own source would destroy the very data being rescued.
  std::error_code ec;
  if (std::filesystem::equivalent(sourcePath, imagePath, ec)) {
    source_.reset();
    return err::kInvalidParameter;
  }
  imagePath_ = imagePath;
  map_ = RescueMap();
  if (uint32_t e = OpenImageFile(imagePath); e != err::kSuccess) {
    source_.reset();
    return e;
  }
  return err::kSuccess;
}

uint32_t DiskImageWriter::OpenSource(const std::filesystem::path& sourcePath, bool isDisk) {
  // A container image, whether named as a file or listed as a disk, is copied as the medium it holds.
  std::error_code ec;
  if (std::filesystem::is_regular_file(sourcePath, ec)) {
    if (const ImageFormat format = DetectImageFormat(sourcePath); format != ImageFormat::kRaw) {
      std::unique_ptr<ImageContainer> container;
      if (uint32_t e = OpenImageContainer(sourcePath, format, container); e != err::kSuccess) return e;
      const std::optional<uint64_t> deviceSectors = MappedReach(container->MediaBytes() / sectorSize_);
      if (!deviceSectors) return err::kInvalidParameter;
      if (sectorCount_ == 0 && startSector_ <= *deviceSectors) sectorCount_ = *deviceSectors - startSector_;
      if (startSector_ > *deviceSectors || sectorCount_ > *deviceSectors - startSector_)
        return err::kInvalidParameter;
      source_ = std::make_unique<ContainerSource>(std::move(container));
      if (!pieces_.empty())
        source_ = std::make_unique<MappedSource>(std::move(source_), pieces_, sectorSize_);
      return err::kSuccess;
    }
  }
  os::File file;
  bool direct = false;
  if (uint32_t e = rescue_ ? file.OpenReadUncached(sourcePath, direct) : file.OpenRead(sourcePath);
      e != err::kSuccess)
    return e;

  uint64_t deviceSectors = 0;
  if (isDisk) {
    os::DriveGeometry geo;
    if (uint32_t e = os::QueryGeometry(file, geo); e != err::kSuccess) return e;
    if (geo.bytesPerSector == 0) return err::kInvalidParameter;
    sectorSize_ = geo.bytesPerSector;
    uint64_t length = 0;
    if (os::QueryLength(file, length) == err::kSuccess) deviceSectors = length / sectorSize_;
    if (deviceSectors == 0) {
      const uint64_t perCylinder = uint64_t{geo.tracksPerCylinder} * geo.sectorsPerTrack;
      if (perCylinder != 0 && geo.cylinders <= std::numeric_limits<uint64_t>::max() / perCylinder)
        deviceSectors = geo.cylinders * perCylinder;
    }
  } else {
    uint64_t length = 0;
    if (uint32_t e = file.Size(length); e != err::kSuccess) return e;
    deviceSectors = length / sectorSize_;
  }

  const std::optional<uint64_t> reach = MappedReach(deviceSectors);
  if (!reach) return err::kInvalidParameter;
  deviceSectors = *reach;
  // No count: everything from the start sector on.
  if (sectorCount_ == 0 && startSector_ <= deviceSectors) sectorCount_ = deviceSectors - startSector_;
  // A stretch past the end would pad the image with whatever the reads return; refuse it instead. The byte
  // offsets of every sector in range must also be representable.
  if (startSector_ > deviceSectors || sectorCount_ > deviceSectors - startSector_)
    return err::kInvalidParameter;
  if (deviceSectors > std::numeric_limits<uint64_t>::max() / sectorSize_) return err::kInvalidParameter;

  source_ = std::make_unique<FileSource>(std::move(file), sourcePath, direct);
  if (!pieces_.empty()) source_ = std::make_unique<MappedSource>(std::move(source_), pieces_, sectorSize_);
  return err::kSuccess;
}

std::optional<uint64_t> DiskImageWriter::MappedReach(uint64_t deviceSectors) {
  const std::optional<uint64_t> end = SortAndCheckPieces(pieces_, deviceSectors);
  if (!end) return std::nullopt;
  return std::max(deviceSectors, *end);
}

uint32_t DiskImageWriter::OpenImageFile(const std::filesystem::path& imagePath) {
  // Not emptied here: CloseImage cuts the file to what was copied, so an older, longer image leaves no tail.
  return image_.OpenWrite(imagePath, /*truncate=*/false);
}

void DiskImageWriter::SetSource(std::unique_ptr<ImageSource> source, uint64_t sectorCount) {
  source_ = std::move(source);
  sectorCount_ = sectorCount;
  sectorsRead_ = 0;
}

uint32_t DiskImageWriter::ReadChunk(std::span<uint8_t> buffer, uint32_t sectors, uint32_t& sectorsRead) {
  sectorsRead = 0;
  if (!source_) return err::kInvalidParameter;
  if (sectorsRead_ >= sectorCount_) return sectors == 0 ? err::kSuccess : err::kReadFault;
  // Never past the stretch being copied, even when asked for more.
  const uint64_t wanted64 = std::min<uint64_t>(sectors, sectorCount_ - sectorsRead_);
  const uint64_t wantedBytes = wanted64 * sectorSize_;
  if (wantedBytes > buffer.size()) return err::kInvalidParameter;
  const auto wanted = static_cast<size_t>(wantedBytes);
  const uint64_t firstSector = startSector_ + sectorsRead_;
  if (firstSector + wanted64 > std::numeric_limits<uint64_t>::max() / sectorSize_)
    return err::kInvalidParameter;
  const uint64_t base = firstSector * sectorSize_;
  const size_t pieceBytes = size_t{SectorsPerTransfer(sectorSize_)} * sectorSize_;

  size_t filled = 0;
  uint32_t result = err::kSuccess;
  while (filled < wanted && result == err::kSuccess) {
    const size_t piece = std::min(pieceBytes, wanted - filled);
    size_t got = 0;
    uint32_t e = ReadWhole(*source_, base + filled, buffer.subspan(filled, piece), got);
    if (e == err::kSuccess) {
      filled += got;
      if (got < piece) result = err::kReadFault;  // the source ended early
      continue;
    }
    // A failed piece is taken apart so one bad sector costs only itself; whatever arrived of a partial
    // sector is read again with it.
    const size_t pieceEnd = filled + piece;
    filled += got - got % sectorSize_;
    while (filled < pieceEnd) {
      auto sector = buffer.subspan(filled, sectorSize_);
      uint32_t se = ReadWhole(*source_, base + filled, sector, got);
      if (se != err::kSuccess) se = ReadWhole(*source_, base + filled, sector, got);
      if (se != err::kSuccess) {
        std::memset(sector.data(), 0, sector.size());
        NoteBadSector(firstSector + filled / sectorSize_);
      } else if (got < sector.size()) {
        result = err::kReadFault;
        break;
      }
      filled += sectorSize_;
    }
  }

  sectorsRead = static_cast<uint32_t>(filled / sectorSize_);
  sectorsRead_ += sectorsRead;
  return result;
}

uint32_t DiskImageWriter::WriteChunk(std::span<const uint8_t> buffer, uint32_t sectors,
                                     uint32_t& sectorsWritten) {
  sectorsWritten = 0;
  if (!image_.IsOpen()) return err::kInvalidParameter;
  const uint64_t bytes = uint64_t{sectors} * sectorSize_;
  if (bytes > buffer.size()) return err::kInvalidParameter;
  if (sectorsCopied_ > std::numeric_limits<uint64_t>::max() / sectorSize_) return err::kInvalidParameter;
  const uint64_t offset = sectorsCopied_ * sectorSize_;
  if (uint32_t e = image_.WriteAllAt(offset, buffer.first(static_cast<size_t>(bytes))); e != err::kSuccess)
    return e;
  sectorsWritten = sectors;
  sectorsCopied_ += sectors;
  return err::kSuccess;
}

uint32_t DiskImageWriter::CloseImage() {
  uint32_t result = err::kSuccess;
  if (image_.IsOpen()) {
    result = image_.Truncate(sectorsCopied_ * sectorSize_);
    image_.Close();
  }
  source_.reset();
  return result;
}

int32_t DiskImageWriter::Copy() {
  if (rescue_) return RescuePasses();
  const uint32_t chunkSectors = SectorsPerTransfer(sectorSize_);
  std::vector<uint8_t> buffer(size_t{chunkSectors} * sectorSize_);
  const uint64_t startTick = os::TickMs();
  uint64_t lastTick = startTick;
  int32_t secondsLeft = -1;
  // Open refused any stretch whose byte length does not fit.
  const uint64_t total = sectorCount_ * sectorSize_;
  uint64_t done = 0;
  int32_t result = 0;

  while (done < total) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(chunkSectors, (total - done) / sectorSize_));
    uint32_t got = 0;
    const uint32_t readError = ReadChunk(buffer, n, got);
    if (got != 0) {
      uint32_t written = 0;
      if (uint32_t e = WriteChunk(buffer, got, written); e != err::kSuccess) {
        result = static_cast<int32_t>(readError != err::kSuccess ? readError : e);
        break;
      }
      done += uint64_t{got} * sectorSize_;
    }
    if (readError != err::kSuccess || got == 0) {
      result = static_cast<int32_t>(readError != err::kSuccess ? readError : err::kReadFault);
      break;
    }

    const uint64_t now = os::TickMs();
    if (now - lastTick >= kEstimateIntervalMs) {
      const uint64_t elapsed = std::max<uint64_t>(1, (now - startTick) / 1000);
      const uint64_t rate = std::max<uint64_t>(1, done / elapsed);
      secondsLeft = static_cast<int32_t>(
          std::min<uint64_t>((total - done) / rate, std::numeric_limits<int32_t>::max()));
      lastTick = now;
    }
    if (callback_ != nullptr) {
      // done * 100 would wrap for lengths beyond about 184 PB.
      const uint64_t percent =
          total > std::numeric_limits<uint64_t>::max() / 100 ? done / (total / 100) : done * 100 / total;
      const int32_t answer = callback_(context_, static_cast<int32_t>(std::min<uint64_t>(percent, 100)),
                                       done / sectorSize_, total / sectorSize_, secondsLeft);
      if (answer != 0) {
        result = answer;
        break;
      }
    }
  }

  const uint32_t closeError = CloseImage();
  if (result == 0 && closeError != err::kSuccess) result = static_cast<int32_t>(closeError);
  return result;
}

uint64_t DiskImageWriter::BadSectorCount() const {
  uint64_t n = 0;
  for (const BadRange& r : badSectors_) n += r.count;
  return n;
}

void DiskImageWriter::NoteBadSector(uint64_t sector) {
  if (!badSectors_.empty() && badSectors_.back().firstSector + badSectors_.back().count == sector) {
    ++badSectors_.back().count;
    return;
  }
  badSectors_.push_back({sector, 1});
}

}  // namespace snapsave
